// CAVSource_RTSP: what the two RTSP sources share. It owns the RTSP session and the decode
// worker, reaches the client's event receiver, takes the retry settings, copies what the
// session learnt into the client, and waits on a stop event (the retry interval ends at once
// when a stop is asked for).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "sdk/platform/event.h"
#include "sdk/sources/av_source.h"
#include "sdk/sources/rtsp_session.h"

namespace kv {

class CAVDisplay;
class IEventReceiver;

class CAVSource_RTSP : public CAVSource {
 public:
  ~CAVSource_RTSP() override;

  // The client's event receiver (not owned; may be null): started after PLAY, stopped at a
  // loss and at the end.
  void SetEventReceiver(IEventReceiver* receiver) { m_events = receiver; }
  IDisplayControl* Display() override;
  // The session, null before Open (tests).
  CRtspSession* Session() { return m_session.get(); }
  bool Connected() const { return m_connected.load() != 0; }

 protected:
  explicit CAVSource_RTSP(int32_t transport);

  // Creates the session from the client's address and credentials, and the decode worker.
  int openCommon();
  void closeCommon();

  // The retry count and interval (ms) in force when the attempt loop starts.
  static int RetryCount();
  static uint32_t RetryIntervalMs();
  // Waits the retry interval; false when a stop was asked for.
  bool waitRetryInterval();

  // OpenSockets, unless a stop was asked for (then -3); a stop after it closes what it opened.
  int openSockets();
  // Copies the codecs, banner and device generation into the client.
  void applyStreamInfo();
  // Sets up the decoder and starts the decode worker; false on failure (nothing left running).
  bool startDisplay();
  // Stops the worker's thread; with release, also frees its decoder.
  void stopDisplay(bool release);
  // Logs the event receiver in with the session id; true when it runs.
  bool startEvents();
  void stopEvents();

  void report(int code);
  void setState(int state);
  void stopRecordings();

  std::unique_ptr<CRtspSession> m_session;
  std::unique_ptr<CAVDisplay> m_display;
  IEventReceiver* m_events = nullptr;
  std::atomic<int32_t> m_connected{0};
  // Signalled (and left signalled) by Stop.
  platform::Event m_stopEvent{true, false};
  // Held by Stop while it closes sockets and by the source thread while it opens them, so no
  // socket opened after a stop survives it.
  std::mutex m_stopMutex;

 private:
  const int32_t m_transport;
};

}  // namespace kv
