// Talk's send and receive workers.
#include "sdk/control/talk_workers.h"

#include <utility>

#include "sdk/control/talk_frames.h"
#include "sdk/platform/clock.h"
#include "sdk/platform/voice_codec.h"

namespace kv {

using namespace kv::platform;

CSendThread::CSendThread(CommandSocket* socket, Event* sendFailed, int32_t mode,
                         std::string captureDevice)
    : m_socket(socket),
      m_sendFailed(sendFailed),
      m_mode(mode),
      m_captureDevice(std::move(captureDevice)) {}

CSendThread::~CSendThread() {
  StopAndJoin();
  m_queue.Close();
}

void CSendThread::StopAndJoin() {
  m_stop = 1;
  WaitForEnd();
  CloseHandle();
}

int CSendThread::ThreadMain() {
  ThreadStarted();
  VoiceCodecState encoder{};
  if (HI_VOICE_EncReset(&encoder, m_mode) != 0) return 0;
  uint8_t block[WaveInQueue::kBlockBytes];
  // The first blocks of a connection may hold what the device captured before it settled.
  m_queue.Take(block, 10);
  m_queue.Take(block, 10);

  uint8_t frame[kVoiceMaxFrameBytes];
  uint8_t packet[kVoiceMaxFrameBytes + kUplinkHeaderBytes];
  while (m_stop == 0) {
    if (!m_queue.Take(block, 10)) continue;
    int16_t pcm[kVoiceSamplesPerFrame];
    for (int i = 0; i < kVoiceSamplesPerFrame; ++i) {
      pcm[i] = static_cast<int16_t>(block[2 * i] | (block[2 * i + 1] << 8));
    }
    if (HI_VOICE_EncodeFrame(&encoder, pcm, frame, sizeof frame, kVoiceSamplesPerFrame) != 0) {
      continue;
    }
    const size_t frameBytes = VoiceFrameBytes(m_mode, kVoiceSamplesPerFrame);
    const size_t length =
        BuildUplinkPacket(frame, frameBytes, GetTickCount(), packet, sizeof packet);
    if (length == 0) continue;
    if (m_socket->Send(packet, length) != static_cast<long>(length)) {
      m_sendFailed->Set();
      break;
    }
    ++m_packetsSent;
  }
  return 0;
}

CRecvThread::CRecvThread(CommandSocket* socket, Event* receiveFailed, int32_t mode,
                         std::string playbackDevice)
    : m_socket(socket),
      m_receiveFailed(receiveFailed),
      m_mode(mode),
      m_playbackDevice(std::move(playbackDevice)) {}

CRecvThread::~CRecvThread() {
  StopAndJoin();
  m_queue.Close();
}

void CRecvThread::StopAndJoin() {
  m_stop = 1;
  WaitForEnd();
  CloseHandle();
}

int CRecvThread::ThreadMain() {
  ThreadStarted();
  DownlinkReader reader(m_mode);
  if (!reader.Reset()) return 0;
  const DownlinkReader::ReceiveAll receiveAll = [this](size_t n, void* buffer) {
    return m_socket->ReceiveAll(n, buffer);
  };
  const DownlinkReader::Play play = [this](const uint8_t* pcm, int bytes) {
    m_queue.Write(pcm, bytes);
  };
  while (m_stop == 0) {
    if (!reader.Step(receiveAll, play)) {
      m_receiveFailed->Set();
      break;
    }
  }
  return 0;
}

}  // namespace kv
