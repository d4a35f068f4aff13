// CNetClient: the object behind every client handle. A live client receives one channel of
// one device; a replay client plays one record file. Both own two conduits, a source, an
// audio player and a bit-rate meter, created by Build and torn down by Halt and Destroy.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "KvNetClient.h"
#include "sdk/control/control_seams.h"
#include "sdk/core/pacing_clock.h"
#include "sdk/media/motion_regions.h"
#include "sdk/media/stream_counters.h"

namespace kv {

class CAVSource;
class CBitRate;
class CBufferConduit;
class CIConduit;
class IAudioPlayer;

class CNetClient : public IDeviceEventSink {
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
  void Notify(int eventClass, int code);
  // Motion and alarm reports of the device's event connection.
  void OnDeviceEvent(int eventClass, int code) override { Notify(eventClass, code); }

  KVNET_HANDLE Handle() { return reinterpret_cast<KVNET_HANDLE>(m_self); }
  static CNetClient* FromHandle(KVNET_HANDLE handle) {
    return reinterpret_cast<CNetClient*>(handle);
  }

  // 1. The caller's parameter record.
  KVNET_CLIENT_PARAM m_param{};
  // 2. The conduits as the source sees them.
  CIConduit* m_videoConduit = nullptr;
  CIConduit* m_audioConduit = nullptr;
  // 3.
  int m_replay = 0;
  // 4.
  char m_recordPath[256]{};
  char m_snapshotPath[256]{};
  char m_alarmRecordPath[256]{};
  // 5. Milliseconds.
  std::atomic<uint32_t> m_recordStart{0};
  std::atomic<uint32_t> m_recordDuration{0};
  std::atomic<uint32_t> m_alarmRecordStart{0};
  std::atomic<uint32_t> m_alarmRecordDuration{0};
  // 6.
  char m_host[256]{};
  int16_t m_port = 554;
  int16_t m_port2 = 554;
  // 7.
  std::atomic<int32_t> m_state{0};
  // 8. Counters advanced by sources and decoders; rates written by the meter.
  StreamCounters m_counters;
  // 9.
  MotionRegionTable m_motion;
  std::atomic<int32_t> m_mdShowMode{2};
  // 10. Decode and display.
  std::atomic<int32_t> m_decodedWidth{0};
  std::atomic<int32_t> m_decodedHeight{0};
  std::atomic<int32_t> m_windowWidth{0};
  std::atomic<int32_t> m_windowHeight{0};
  std::atomic<int32_t> m_flip{0};
  std::atomic<int32_t> m_rotate{0};
  std::atomic<int32_t> m_drawing{0};
  std::atomic<int32_t> m_preBufferDepth{0};
  std::atomic<int32_t> m_framesWaiting{0};
  std::atomic<int32_t> m_recreateDecoder{0};
  std::atomic<uint32_t> m_videoWindow{0};
  std::atomic<int32_t> m_view{0};
  // 11. Stream description.
  std::atomic<int32_t> m_width{0};
  std::atomic<int32_t> m_height{0};
  std::atomic<int32_t> m_frameRate{0};
  std::atomic<int32_t> m_bitRate{0};
  std::atomic<int32_t> m_audioOn{0};
  std::atomic<int32_t> m_audioEnded{0};
  std::atomic<uint8_t> m_audioCodec{0};
  std::atomic<uint8_t> m_videoCodec{0};
  std::atomic<int32_t> m_deviceGeneration{0};
  // 12. Replay control.
  PacingClock m_pacing;
  std::atomic<int32_t> m_speed{0};
  std::atomic<int32_t> m_replayState{0};  // 0 play, 1 paused, 2 step
  std::atomic<int32_t> m_stepRequest{0};
  std::atomic<uint32_t> m_baseTime{0};
  std::atomic<uint32_t> m_totalTime{0};
  std::atomic<uint32_t> m_curTime{0};
  std::atomic<uint32_t> m_seekTarget{0};
  std::atomic<int32_t> m_seekPending{0};
  std::atomic<int32_t> m_seekWhilePaused{0};
  // 13.
  CNetClient* m_self = nullptr;
  std::atomic<int32_t> m_vertBlankDivisor{0};
  // 14. Owned parts.
  std::unique_ptr<CBufferConduit> m_ownedVideoConduit;
  std::unique_ptr<CBufferConduit> m_ownedAudioConduit;
  std::unique_ptr<CAVSource> m_source;
  std::unique_ptr<IAudioPlayer> m_audioPlayer;
  std::unique_ptr<CBitRate> m_bitRateMeter;
  // 15.
  char m_replayPath[260]{};
  // 16. Null while talk is off.
  std::unique_ptr<ITalkSession> m_talk;
  // 17. The device's event connection (RTSP clients only): the source starts it after PLAY
  // with the session id and stops it when the stream ends.
  std::unique_ptr<IEventReceiver> m_eventReceiver;
};

}  // namespace kv
