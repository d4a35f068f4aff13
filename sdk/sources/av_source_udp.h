// CAVSource_UDP: the source of a live client on the proprietary UDP stream. It binds a local
// port, receives the device's datagrams, orders them, synchronises on key frames and feeds the
// video conduit, the audio conduit and the record files.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "sdk/platform/socket.h"
#include "sdk/platform/voice_codec.h"
#include "sdk/sources/av_source.h"
#include "sdk/sources/reorder_store.h"
#include "sdk/sources/udp_datagram.h"

namespace kv {

class CAVDisplay;

class CAVSource_UDP : public CAVSource {
 public:
  CAVSource_UDP();
  ~CAVSource_UDP() override;

  int Open() override;
  void Close() override;
  int Run() override;
  int Stop() override;
  IDisplayControl* Display() override;

  // The socket set-up: 0, or -1 (resolution), -2 (socket), -3 (bind), -4 (time-out),
  // -5 (buffer).
  int SetupSocket();
  // The last set-up result of Open.
  int LastSocketError() const { return m_lastError; }

  // Handles one datagram as if the device had sent it (the length checks, sequencing and
  // processing of the receive loop). For tests and fuzzing while the thread is not running.
  void FeedDatagram(const uint8_t* data, size_t length);

 private:
  struct LoopState {
    uint32_t streamId = 0;
    uint32_t last = 0;  // 0: not synchronised
    platform::VoiceCodecState g711{};
    platform::VoiceCodecState g726{};
  };

  // Checks the length fields of a datagram from the device and hands it on.
  void onReceived(LoopState& state, const uint8_t* raw, size_t rawLength);
  // Handles one accepted datagram according to the sequencing rules.
  void onDatagram(LoopState& state, const UdpDatagram& d, const uint8_t* raw, size_t rawLength);
  bool resynchronise(LoopState& state, const UdpDatagram& d);
  void process(LoopState& state, const UdpDatagram& d);
  void processVideo(const UdpDatagram& d);
  void processAudio(LoopState& state, const UdpDatagram& d);

  IRecord* m_recorder = nullptr;
  std::unique_ptr<CAVDisplay> m_display;
  std::unique_ptr<ReorderStore> m_store;
  std::mutex m_socketMutex;
  platform::Socket m_socket;
  platform::SocketAddress m_device;
  int m_lastError = 0;
  LoopState m_fedState;
  // Receive and decode buffers, allocated once by Open.
  std::unique_ptr<uint8_t[]> m_datagram;
  std::unique_ptr<uint8_t[]> m_voiceFrame;
  std::unique_ptr<int16_t[]> m_pcm;
};

}  // namespace kv
