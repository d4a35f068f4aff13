// Makers of the parts a client owns: its stream source and its audio player. The default
// makers choose by the client's kind; tests install their own.
#pragma once

#include <functional>
#include <memory>

namespace kv {

class CAVSource;
class CNetClient;
class IAudioPlayer;

struct ClientPartsFactory {
  // Null when the client's kind of source cannot be made.
  std::function<std::unique_ptr<CAVSource>(CNetClient&)> makeSource;
  std::function<std::unique_ptr<IAudioPlayer>(CNetClient&)> makeAudioPlayer;
};

// The makers in force (the defaults unless a test replaced them).
const ClientPartsFactory& PartsFactory();
// The built-in makers.
ClientPartsFactory DefaultPartsFactory();
// Replaces the makers until the returned value is restored (tests).
ClientPartsFactory ReplacePartsFactoryForTest(ClientPartsFactory factory);

}  // namespace kv
