// CTalk2VS: connection, talk request, workers and reconnection.
#include "sdk/control/talk_session.h"

#include <utility>

#include "sdk/control/mctp_messages.h"
#include "sdk/control/talk_frames.h"

namespace kv {

using namespace kv::platform;

namespace {
constexpr CommandTimeouts kTalkTimeouts{3000, 10000, 10000};

TalkCodec currentCodec(const TalkSettings& settings) {
  return TalkCodecForGeneration(settings.deviceGeneration ? settings.deviceGeneration->load() : 0);
}

}  // namespace

CTalk2VS::CTalk2VS(TalkSettings settings) : settings_(std::move(settings)) {}

CTalk2VS::~CTalk2VS() { Halt(); }

bool CTalk2VS::StartSession() { return JThread::Start() == 0; }

void CTalk2VS::Halt() {
  stop_ = true;
  stopEvent_.Set();
  socket_.Abort();
  WaitForEnd();
  CloseHandle();
}

bool CTalk2VS::connectAndRequest() {
  ++attempts_;
  const platform::SocketAddress address =
      ResolveDevice(settings_.device.host, settings_.device.port);
  socket_.Close();
  if (stop_ || !address.IsValid()) return false;
  if (!socket_.Create(kTalkTimeouts.connectMs, kTalkTimeouts.sendMs, kTalkTimeouts.receiveMs,
                      address.Family())) {
    return false;
  }
  socket_.SetNoDelay();
  socket_.SetSendBuffer();
  socket_.SetReceiveBuffer();
  if (!socket_.Connect(address)) {
    socket_.Close();
    return false;
  }
  codec_ = currentCodec(settings_);
  const std::string request = TalkRequest(settings_.device.channel, codec_.wireCodec);
  char reply[kMctpReplyCapacity + 1];
  long got = -1;
  if (socket_.Send(request.data(), request.size()) == static_cast<long>(request.size())) {
    got = socket_.Receive(reply, kMctpReplyCapacity);
  }
  reply[got > 0 ? got : 0] = '\0';
  const TalkReply checked = got < 0 ? TalkReply{} : CheckTalkReply(reply);
  if (!checked.accepted) {
    socket_.Close();
    return false;
  }
  deviceSendsAudio_ = checked.deviceSendsAudio;
  ++connections_;
  return true;
}

void CTalk2VS::stopWorkers() {
  if (recv_) {
    recv_->StopAndJoin();
    recv_->CloseDevice();
    recv_.reset();
  }
  if (send_) {
    send_->StopAndJoin();
    send_->CloseDevice();
    send_.reset();
  }
}

int CTalk2VS::ThreadMain() {
  ThreadStarted();
  for (;;) {
    socket_.Close();
    stopWorkers();
    // Between attempts the thread waits on the stop event, so a halt ends the wait at once.
    while (!connectAndRequest()) {
      if (stop_ || stopEvent_.Wait(settings_.retryMs) == kWaitObject0) break;
    }
    if (stop_) break;

    sendFailed_.Reset();
    receiveFailed_.Reset();
    const int32_t mode = codec_.mode;
    if (deviceSendsAudio_) {
      recv_ =
          std::make_unique<CRecvThread>(&socket_, &receiveFailed_, mode, settings_.playbackDevice);
      if (!recv_->OpenDevice()) break;
      if (recv_->Start() != 0) break;
    }
    send_ = std::make_unique<CSendThread>(&socket_, &sendFailed_, mode, settings_.captureDevice);
    if (!send_->OpenDevice()) break;
    if (send_->Start() != 0) break;

    Event* events[] = {&stopEvent_, &sendFailed_, &receiveFailed_};
    if (WaitForMultipleEvents(events, 3, false, kInfinite) == kWaitObject0) break;
  }
  socket_.Close();
  stopWorkers();
  return 0;
}

}  // namespace kv
