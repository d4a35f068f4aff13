// The default part makers.
#include "sdk/core/client_parts.h"

#include <mutex>

#include "sdk/core/audio_player.h"
#include "sdk/core/net_client.h"
#include "sdk/sources/av_source.h"

namespace kv {
namespace {

std::mutex gFactoryMutex;

ClientPartsFactory& Current() {
  static ClientPartsFactory factory = DefaultPartsFactory();
  return factory;
}

// Sources: none of the stream kinds is available in this build yet, so every client kind
// yields no source and the client's start fails cleanly.
std::unique_ptr<CAVSource> MakeDefaultSource(CNetClient&) { return nullptr; }

std::unique_ptr<IAudioPlayer> MakeDefaultAudioPlayer(CNetClient&) { return nullptr; }

}  // namespace

ClientPartsFactory DefaultPartsFactory() {
  return ClientPartsFactory{MakeDefaultSource, MakeDefaultAudioPlayer};
}

const ClientPartsFactory& PartsFactory() {
  std::lock_guard<std::mutex> lock(gFactoryMutex);
  return Current();
}

ClientPartsFactory ReplacePartsFactoryForTest(ClientPartsFactory factory) {
  std::lock_guard<std::mutex> lock(gFactoryMutex);
  ClientPartsFactory previous = Current();
  Current() = std::move(factory);
  return previous;
}

}  // namespace kv
