// The default part makers.
#include "sdk/core/client_parts.h"

#include <mutex>

#include "sdk/core/net_client.h"
#include "sdk/media/audio_player.h"
#include "sdk/media/av_sound.h"
#include "sdk/sources/av_source.h"
#include "sdk/sources/av_source_file.h"
#include "sdk/sources/av_source_rtsp_tcp.h"
#include "sdk/sources/av_source_udp.h"

namespace kv {
namespace {

std::mutex gFactoryMutex;

ClientPartsFactory& Current() {
  static ClientPartsFactory factory = DefaultPartsFactory();
  return factory;
}

// Sources by client kind: a replay client plays its record file; a live one gets the source
// of its transport, the RTSP ones with the client's event receiver.
std::unique_ptr<CAVSource> MakeDefaultSource(CNetClient& client) {
  if (client.m_link.replay) return std::make_unique<CAVSource_File>();
  switch (client.m_link.param.transport) {
    case TRANSPORT_UDP:
      return std::make_unique<CAVSource_UDP>();
    case TRANSPORT_RTSP_TCP: {
      auto source = std::make_unique<CAVSource_RTSP_TCP>();
      source->SetEventReceiver(client.m_eventReceiver.get());
      return source;
    }
    default:
      return nullptr;
  }
}

std::unique_ptr<IAudioPlayer> MakeDefaultAudioPlayer(CNetClient& client) {
  return std::make_unique<CAVSound>(&client.m_sound, client.m_audioConduit);
}

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
