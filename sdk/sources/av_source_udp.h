// CAVSource_UDP: the source of a live client on the proprietary UDP stream. It binds a local
// port, receives the device's datagrams, has them ordered (UdpSequencer), restarts decoding
// where a key picture begins and feeds the video conduit, the audio conduit and the record
// files.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "sdk/platform/socket.h"
#include "sdk/platform/voice_codec.h"
#include "sdk/sources/av_source.h"
#include "sdk/sources/udp_datagram.h"
#include "sdk/sources/udp_sequencer.h"

namespace kv {

class CAVDisplay;

class CAVSource_UDP : public CAVSource, private IUdpSequenceSink {
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

  // Handles one datagram as if the device had sent it at tick `now` (the length checks,
  // ordering and processing of the receive loop). For tests and fuzzing while the thread is
  // not running.
  void FeedDatagram(const uint8_t* data, size_t length, uint32_t now);
  void FeedDatagram(const uint8_t* data, size_t length);

  // The ordering of the datagrams, null before Open (tests).
  const UdpSequencer* Sequencer() const { return m_sequencer.get(); }
  // Voice frames that could not be decoded (neither played nor recorded).
  uint32_t AudioFramesNotDecoded() const { return m_audioNotDecoded.load(); }

 private:
  // Checks the length fields of a datagram from the device and hands it to the ordering.
  void onReceived(const uint8_t* raw, size_t rawLength, uint32_t now);
  // IUdpSequenceSink: a key picture begins (stream description, decoder restart, audio
  // decoder reset, LINK_CONNECTED), and each datagram in sequence.
  bool Synchronise(const UdpDatagram& key) override;
  void Deliver(const UdpDatagram& d) override;
  void processVideo(const UdpDatagram& d);
  void processAudio(const UdpDatagram& d);

  IRecord* m_recorder = nullptr;
  std::unique_ptr<CAVDisplay> m_display;
  std::unique_ptr<UdpSequencer> m_sequencer;
  std::mutex m_socketMutex;
  platform::Socket m_socket;
  platform::SocketAddress m_device;
  int m_lastError = 0;
  platform::VoiceCodecState m_g711{};
  platform::VoiceCodecState m_g726{};
  std::atomic<uint32_t> m_audioNotDecoded{0};
  // Receive and decode buffers, allocated once by Open.
  std::unique_ptr<uint8_t[]> m_datagram;
  std::unique_ptr<uint8_t[]> m_voiceFrame;
  std::unique_ptr<int16_t[]> m_pcm;
};

}  // namespace kv
