// CAVSource_UDP: socket set-up, the receive loop and the handling of each piece.
#include "sdk/sources/av_source_udp.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "KvNetClient.h"
#include "sdk/core/net_client.h"
#include "sdk/media/av_display.h"
#include "sdk/media/conduit.h"
#include "sdk/media/ddraw_render.h"
#include "sdk/platform/clock.h"
#include "sdk/platform/debug_output.h"
#include "sdk/record/unit_recorder.h"

namespace kv {
namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
constexpr uint32_t kReceiveTimeoutMs = 5000;
constexpr int kReceiveBuffer = 262144;
constexpr int32_t kAudioClearLevel = 3072;
constexpr size_t kMaxPayload = kUdpMaxDatagram - kUdpHeaderSize;
constexpr uint32_t kWaitReadableMs = 1000;
constexpr unsigned long kMaxLossWaitMs = 600000;

bool IsG711(uint8_t codec) { return codec == ACODEC_G711A || codec == ACODEC_G711U; }

// The most samples one datagram's voice payload decodes to, whatever the codec (G.726 at
// 16 kbit/s: two bits a sample).
size_t PcmCapacity() {
  return platform::VoiceMaxDecodedSamples(platform::kVoiceModeG726_16, kMaxPayload / 2);
}

// KVNET_UDP_LOSS_WAIT_MS: milliseconds after which a gap counts as lost (0: off, the default).
uint32_t LossWaitFromEnvironment() {
  const char* text = std::getenv("KVNET_UDP_LOSS_WAIT_MS");
  if (text == nullptr || text[0] < '0' || text[0] > '9') return 0;
  errno = 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || value > kMaxLossWaitMs) {
    platform::OutputDebugString("KVNET_UDP_LOSS_WAIT_MS ignored\n");
    return 0;
  }
  return static_cast<uint32_t>(value);
}

}  // namespace

CAVSource_UDP::CAVSource_UDP() = default;

CAVSource_UDP::~CAVSource_UDP() {
  Close();
  CloseHandle();
}

IDisplayControl* CAVSource_UDP::Display() { return m_display ? m_display->Control() : nullptr; }

int CAVSource_UDP::Open() {
  m_recorder = this;
  m_display.reset(new (std::nothrow) CAVDisplay());
  if (!m_display) return 0;
  m_sequencer.reset(new (std::nothrow) UdpSequencer(*this, LossWaitFromEnvironment()));
  if (!m_sequencer || !m_sequencer->IsValid()) return 0;
  m_datagram.reset(new (std::nothrow) uint8_t[kUdpMaxDatagram]);
  m_voiceFrame.reset(new (std::nothrow) uint8_t[platform::kVoiceFrameHeaderBytes + kMaxPayload]);
  m_pcm.reset(new (std::nothrow) int16_t[PcmCapacity()]);
  if (!m_datagram || !m_voiceFrame || !m_pcm) return 0;
  m_lastError = SetupSocket();
  m_display->Bind(m_client);
  return 1;
}

void CAVSource_UDP::Close() {
  m_sequencer.reset();
  {
    std::lock_guard<std::mutex> lock(m_socketMutex);
    m_socket.Close();
  }
  m_display.reset();
}

int CAVSource_UDP::SetupSocket() {
  const uint16_t port = static_cast<uint16_t>(m_client->m_port);
  const platform::ResolveResult resolved =
      platform::ResolveHost(m_client->m_host, port, platform::SocketType::kUdp);
  if (resolved.error != 0 || resolved.addresses.empty()) {
    platform::OutputDebugString("InitalUDPSocket error");
    return -1;
  }
  m_device = resolved.addresses.front();
  platform::Socket socket;
  if (!socket.Open(m_device.Family(), platform::SocketType::kUdp)) {
    platform::OutputDebugString("InitalUDPSocket error");
    return -2;
  }
  if (!socket.Bind(platform::SocketAddress::Any(m_device.Family(), port))) return -3;
  if (!socket.SetReceiveTimeout(kReceiveTimeoutMs)) return -4;
  if (!socket.SetReceiveBufferSize(kReceiveBuffer)) return -5;
  m_socket = std::move(socket);
  return 0;
}

int CAVSource_UDP::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_socketMutex);
    m_stopRequested = 1;
    m_socket.Close();
  }
  return StopAndJoin();
}

int CAVSource_UDP::Run() {
  m_client->m_preBufferDepth = 6;
  m_sequencer->Reset();
  while (!StopRequested()) {
    // With a loss wait, a gap may have to be given up while nothing arrives.
    const uint32_t lossWait = m_sequencer->LossWaitMs();
    const uint32_t waitMs = lossWait != 0 && m_sequencer->Waiting() != 0
                                ? std::min(lossWait, kWaitReadableMs)
                                : kWaitReadableMs;
    const int ready = m_socket.WaitReadable(waitMs);
    if (ready == 0) {
      m_sequencer->Poll(platform::GetTickCount());
      continue;
    }
    platform::SocketAddress from;
    const long n = ready > 0 ? m_socket.ReceiveFrom(m_datagram.get(), kUdpMaxDatagram, &from) : -1;
    if (n <= 0) {
      if (StopRequested()) break;
      platform::OutputDebugString("recvfrom <=0\n");
      std::lock_guard<std::mutex> lock(m_socketMutex);
      if (StopRequested()) break;
      m_socket.Close();
      if (SetupSocket() != 0) break;
      continue;
    }
    if (!from.SameHost(m_device)) {
      platform::OutputDebugString("recvfrom other source\n");
      continue;
    }
    onReceived(m_datagram.get(), static_cast<size_t>(n), platform::GetTickCount());
  }
  if (!StopRequested()) m_client->Notify(KV_EVENT_LINK, LINK_CLOSED);
  return 0;
}

void CAVSource_UDP::FeedDatagram(const uint8_t* data, size_t length, uint32_t now) {
  if (m_sequencer && data != nullptr && length <= kUdpMaxDatagram) onReceived(data, length, now);
}

void CAVSource_UDP::FeedDatagram(const uint8_t* data, size_t length) {
  FeedDatagram(data, length, platform::GetTickCount());
}

void CAVSource_UDP::onReceived(const uint8_t* raw, size_t rawLength, uint32_t now) {
  switch (m_sequencer->Receive(raw, rawLength, now)) {
    case UdpParseResult::kTooSmall:
      platform::OutputDebugString("udp ret length too small\n");
      break;
    case UdpParseResult::kBadLength:
      platform::OutputDebugString("udp data length err\n");
      break;
    case UdpParseResult::kOk:
      break;
  }
}

bool CAVSource_UDP::Synchronise(const UdpDatagram& d) {
  CNetClient& c = *m_client;
  c.m_bitRate = static_cast<int32_t>(d.bitRate);
  c.m_frameRate = static_cast<int32_t>(d.frameRate);
  c.m_width = static_cast<int32_t>(d.width);
  c.m_height = static_cast<int32_t>(d.height);
  c.m_deviceGeneration = d.deviceGeneration;
  c.m_videoCodec = d.videoCodec;
  c.m_audioCodec = d.audioCodec;

  if (m_display->HasHandle()) m_display->StopWorker();
  if (m_display->SetupDecoder() == 0) {
    platform::OutputDebugString("error!!!!!!!!!! create display failed\n");
    return false;
  }
  if (m_display->Start() != 0) {
    m_display->ReleaseDecoder();
    return false;
  }
  if (IsG711(d.audioCodec)) {
    if (platform::HI_VOICE_DecReset(&m_g711, d.audioCodec) != 0) {
      platform::OutputDebugString("audio dec reset g711 error!!");
    }
  } else if (platform::HI_VOICE_DecReset(&m_g726, d.audioCodec) != 0) {
    platform::OutputDebugString("audio dec reset g726 error!!");
  }
  c.m_state = LINK_CONNECTED;
  c.Notify(KV_EVENT_LINK, LINK_CONNECTED);
  return true;
}

void CAVSource_UDP::Deliver(const UdpDatagram& d) {
  if (d.mediaKind == kUdpVideo) {
    processVideo(d);
  } else if (d.mediaKind == kUdpAudio) {
    processAudio(d);
  } else {
    platform::OutputDebugString("other data type????\n");
  }
}

void CAVSource_UDP::processVideo(const UdpDatagram& d) {
  const bool opens = OpensUnit(d.fragment);
  if (opens) m_videoConduit->Write(kStartCode, 4, 0, 0, 0);
  m_videoConduit->Write(d.payload, static_cast<int32_t>(d.payloadLength),
                        ClosesUnit(d.fragment) ? 1 : 0, 0, 0);
  m_client->m_counters.byteCount += d.payloadLength;

  VideoUnit unit;
  unit.data = d.payload;
  unit.length = d.payloadLength;
  unit.type = d.frameType;
  unit.beginsCodedUnit = opens;
  unit.timeStamp = platform::GetTickCount();
  RecordVideoUnit(*m_recorder, *m_client, unit);
}

void CAVSource_UDP::processAudio(const UdpDatagram& d) {
  if (d.payloadLength % 2 != 0) {
    platform::OutputDebugString("audio data length error! \n");
    ++m_audioNotDecoded;
    return;
  }
  const uint16_t words = static_cast<uint16_t>(d.payloadLength / 2);
  uint8_t* frame = m_voiceFrame.get();
  frame[0] = 0x00;
  frame[1] = 0x01;
  frame[2] = static_cast<uint8_t>(words & 0xFF);
  frame[3] = static_cast<uint8_t>(words >> 8);
  std::memcpy(frame + 4, d.payload, d.payloadLength);
  const size_t frameBytes = platform::kVoiceFrameHeaderBytes + d.payloadLength;

  // The PCM buffer holds what the largest payload decodes to, so only a frame the codec
  // itself refuses (no usable state for its codec) is lost; it is counted.
  platform::VoiceCodecState& decoder = IsG711(d.audioCodec) ? m_g711 : m_g726;
  uint16_t samples = 0;
  if (platform::HI_VOICE_DecodeFrame(&decoder, frame, frameBytes, m_pcm.get(), PcmCapacity(),
                                     &samples) != 0) {
    platform::OutputDebugString("udp voice frame not decoded\n");
    ++m_audioNotDecoded;
    return;
  }
  if (m_client->m_audioOn.load() != 0) {
    if (m_audioConduit->GetDataSize() > kAudioClearLevel) m_audioConduit->Clear();
    m_audioConduit->Write(m_pcm.get(), samples * 2, 0, 0, 0);
  }
  RecordAudioUnit(*m_recorder, d.audioCodec, frame, static_cast<uint32_t>(frameBytes),
                  platform::GetTickCount());
}

}  // namespace kv
