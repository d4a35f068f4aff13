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
  bool OpenDevice() { return queue_.Open(captureDevice_); }
  void CloseDevice() { queue_.Close(); }
  // Sets the stop flag and waits for the thread.
  void StopAndJoin();
  uint64_t packetsSent() const { return packetsSent_.load(); }

 protected:
  int ThreadMain() override;

 private:
  CommandSocket* socket_;
  platform::Event* sendFailed_;
  int32_t mode_;
  std::string captureDevice_;
  std::atomic<int32_t> stop_{0};
  std::atomic<uint64_t> packetsSent_{0};
  WaveInQueue queue_;
};

class CRecvThread : public platform::JThread {
 public:
  CRecvThread(CommandSocket* socket, platform::Event* receiveFailed, int32_t mode,
              std::string playbackDevice);
  ~CRecvThread() override;
  bool OpenDevice() { return queue_.Open(playbackDevice_); }
  void CloseDevice() { queue_.Close(); }
  void StopAndJoin();

 protected:
  int ThreadMain() override;

 private:
  CommandSocket* socket_;
  platform::Event* receiveFailed_;
  int32_t mode_;
  std::string playbackDevice_;
  std::atomic<int32_t> stop_{0};
  WaveOutQueue queue_;
};

}  // namespace kv
