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
    : socket_(socket),
      sendFailed_(sendFailed),
      mode_(mode),
      captureDevice_(std::move(captureDevice)) {}

CSendThread::~CSendThread() {
  StopAndJoin();
  queue_.Close();
}

void CSendThread::StopAndJoin() {
  stop_ = 1;
  WaitForEnd();
  CloseHandle();
}

int CSendThread::ThreadMain() {
  ThreadStarted();
  VoiceCodecState encoder{};
  if (HI_VOICE_EncReset(&encoder, mode_) != 0) return 0;
  uint8_t block[WaveInQueue::kBlockBytes];
  // The first blocks of a connection may hold what the device captured before it settled.
  queue_.Take(block, 10);
  queue_.Take(block, 10);

  uint8_t frame[kVoiceMaxFrameBytes];
  uint8_t packet[kVoiceMaxFrameBytes + kUplinkHeaderBytes];
  while (stop_ == 0) {
    if (!queue_.Take(block, 10)) continue;
    int16_t pcm[kVoiceSamplesPerFrame];
    for (int i = 0; i < kVoiceSamplesPerFrame; ++i) {
      pcm[i] = static_cast<int16_t>(block[2 * i] | (block[2 * i + 1] << 8));
    }
    if (HI_VOICE_EncodeFrame(&encoder, pcm, frame, sizeof frame, kVoiceSamplesPerFrame) != 0) {
      continue;
    }
    const size_t frameBytes = VoiceFrameBytes(mode_, kVoiceSamplesPerFrame);
    const size_t length =
        BuildUplinkPacket(frame, frameBytes, GetTickCount(), packet, sizeof packet);
    if (length == 0) continue;
    if (socket_->Send(packet, length) != static_cast<long>(length)) {
      sendFailed_->Set();
      break;
    }
    ++packetsSent_;
  }
  return 0;
}

CRecvThread::CRecvThread(CommandSocket* socket, Event* receiveFailed, int32_t mode,
                         std::string playbackDevice)
    : socket_(socket),
      receiveFailed_(receiveFailed),
      mode_(mode),
      playbackDevice_(std::move(playbackDevice)) {}

CRecvThread::~CRecvThread() {
  StopAndJoin();
  queue_.Close();
}

void CRecvThread::StopAndJoin() {
  stop_ = 1;
  WaitForEnd();
  CloseHandle();
}

int CRecvThread::ThreadMain() {
  ThreadStarted();
  DownlinkReader reader(mode_);
  if (!reader.Reset()) return 0;
  const DownlinkReader::ReceiveAll receiveAll = [this](size_t n, void* buffer) {
    return socket_->ReceiveAll(n, buffer);
  };
  const DownlinkReader::Play play = [this](const uint8_t* pcm, int bytes) {
    queue_.Write(pcm, bytes);
  };
  while (stop_ == 0) {
    if (!reader.Step(receiveAll, play)) {
      receiveFailed_->Set();
      break;
    }
  }
  return 0;
}

}  // namespace kv
