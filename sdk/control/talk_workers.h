// The two workers of a talk connection: CSendThread carries captured audio to the device,
// CRecvThread plays the device's audio. Both use the session's socket and signal the session's
// failure events; neither owns them. A worker lives for one connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "sdk/control/command_socket.h"
#include "sdk/control/wave_in_queue.h"
#include "sdk/control/wave_out_queue.h"
#include "sdk/platform/event.h"
#include "sdk/platform/jthread.h"

namespace kv {

class CSendThread : public platform::JThread {
 public:
  CSendThread(CommandSocket* socket, platform::Event* sendFailed, int32_t mode,
              std::string captureDevice);
  ~CSendThread() override;
  bool OpenDevice() { return m_queue.Open(m_captureDevice); }
  void CloseDevice() { m_queue.Close(); }
  // Sets the stop flag and waits for the thread.
  void StopAndJoin();
  uint64_t packetsSent() const { return m_packetsSent.load(); }

 protected:
  int ThreadMain() override;

 private:
  CommandSocket* m_socket;
  platform::Event* m_sendFailed;
  int32_t m_mode;
  std::string m_captureDevice;
  std::atomic<int32_t> m_stop{0};
  std::atomic<uint64_t> m_packetsSent{0};
  WaveInQueue m_queue;
};

class CRecvThread : public platform::JThread {
 public:
  CRecvThread(CommandSocket* socket, platform::Event* receiveFailed, int32_t mode,
              std::string playbackDevice);
  ~CRecvThread() override;
  bool OpenDevice() { return m_queue.Open(m_playbackDevice); }
  void CloseDevice() { m_queue.Close(); }
  void StopAndJoin();

 protected:
  int ThreadMain() override;

 private:
  CommandSocket* m_socket;
  platform::Event* m_receiveFailed;
  int32_t m_mode;
  std::string m_playbackDevice;
  std::atomic<int32_t> m_stop{0};
  WaveOutQueue m_queue;
};

}  // namespace kv
