// CNetClient: the object behind every client handle. A live client receives one channel of
// one device; a replay client plays one record file. Both own two conduits, a source, an
// audio player and a bit-rate meter, created by Build and torn down by Halt and Destroy.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "KvNetClient.h"
#include "sdk/control/control_seams.h"
#include "sdk/state/client_state.h"
#include "sdk/state/event_notifier.h"
#include "sdk/state/stream_counters.h"

namespace kv {

class CAVSource;
class CBitRate;
class CBufferConduit;
class CIConduit;
class IAudioPlayer;
struct DisplayBinding;
struct SourceContext;

class CNetClient final : public IEventNotifier, public IDeviceEventSink {
 public:
  CNetClient();
  ~CNetClient() override;
  CNetClient(const CNetClient&) = delete;
  CNetClient& operator=(const CNetClient&) = delete;

  // Init for a live client; false when a text field of param is not terminated in its field.
  bool InitLive(const KVNET_CLIENT_PARAM& param);
  // Init for a replay client; false when the path does not fit its field.
  bool InitReplay(const char* path, KVNET_HWND window);
  // Creates conduits, source, audio player and meter; false on any failure.
  bool Build();
  // Starts the audio player, the source and the meter; false on any failure.
  bool Start();
  // Stops talk, aborts the conduits, stops the source, player and meter.
  void Halt();
  // Deletes the parts in their fixed order.
  void Destroy();

  // Reports an event to the caller: callback, else posted message, else dropped.
  void Notify(int eventClass, int code) override;
  // Motion and alarm reports of the device's event connection.
  void OnDeviceEvent(int eventClass, int code) override { Notify(eventClass, code); }

  KVNET_HANDLE Handle() const override { return reinterpret_cast<KVNET_HANDLE>(m_self); }
  static CNetClient* FromHandle(KVNET_HANDLE handle) {
    return reinterpret_cast<CNetClient*>(handle);
  }

  // What a source of this client is given: the groups, the notifier and these conduits.
  SourceContext SourceParts(CIConduit* videoConduit, CIConduit* audioConduit);
  // What a decode worker of this client is given (the "Rec" mark follows the client's source).
  DisplayBinding DisplayParts();

  // The client's state, by group; each part is given the groups it uses.
  LinkSettings m_link;
  StreamDescription m_stream;
  SoundState m_sound;
  ViewState m_viewState;
  ReplayControl m_replayControl;
  RecordSettings m_recordSettings;
  // Advanced by sources and decoders; rates written by the meter.
  StreamCounters m_counters;
  // The conduits as the source sees them.
  CIConduit* m_videoConduit = nullptr;
  CIConduit* m_audioConduit = nullptr;
  CNetClient* m_self = nullptr;
  // Owned parts.
  std::unique_ptr<CBufferConduit> m_ownedVideoConduit;
  std::unique_ptr<CBufferConduit> m_ownedAudioConduit;
  std::unique_ptr<CAVSource> m_source;
  std::unique_ptr<IAudioPlayer> m_audioPlayer;
  std::unique_ptr<CBitRate> m_bitRateMeter;
  // Null while talk is off.
  std::unique_ptr<ITalkSession> m_talk;
  // The device's event connection (RTSP clients only): the source starts it after PLAY
  // with the session id and stops it when the stream ends.
  std::unique_ptr<IEventReceiver> m_eventReceiver;
};

}  // namespace kv
