// Test doubles for client parts.
#include "tests/support/fake_parts.h"

#include <algorithm>

#include "sdk/core/net_client.h"
#include "sdk/media/conduit.h"
#include "sdk/platform/clock.h"

namespace kv::test {

void CallLog::Add(const std::string& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.push_back(entry);
}

std::vector<std::string> CallLog::Entries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_;
}

int CallLog::IndexOf(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find(entries_.begin(), entries_.end(), name);
  return it == entries_.end() ? -1 : static_cast<int>(it - entries_.begin());
}

FakeSource::FakeSource(std::shared_ptr<CallLog> log, FakeBehaviour behaviour)
    : log_(std::move(log)), behaviour_(behaviour) {}

FakeSource::~FakeSource() { log_->Add("source.destroy"); }

int FakeSource::Open() {
  log_->Add("source.open");
  return behaviour_.openFails ? 0 : 1;
}

void FakeSource::Close() { log_->Add("source.close"); }

int FakeSource::Run() {
  log_->Add("source.run");
  while (!StopRequested()) platform::Sleep(1);
  log_->Add("source.run-end");
  return 7;
}

int FakeSource::Stop() {
  log_->Add("source.stop");
  const uint8_t probe = 0;
  if (m_videoConduit != nullptr && m_audioConduit != nullptr &&
      !m_videoConduit->Write(&probe, 1, 0, 0, 0) && !m_audioConduit->Write(&probe, 1, 0, 0, 0)) {
    log_->Add("conduits.aborted");
  }
  return StopAndJoin();
}

FakeAudioPlayer::FakeAudioPlayer(std::shared_ptr<CallLog> log, FakeBehaviour behaviour)
    : log_(std::move(log)), behaviour_(behaviour) {}

int FakeAudioPlayer::PrepareBuffers() {
  log_->Add("audio.prepare");
  return behaviour_.prepareFails ? 0 : 1;
}

void FakeAudioPlayer::FreeBuffers() { log_->Add("audio.free"); }

int FakeAudioPlayer::StartThread() {
  log_->Add("audio.start");
  return behaviour_.audioStartFails ? -1 : 0;
}

void FakeAudioPlayer::Stop() { log_->Add("audio.stop"); }

ScopedFakeParts::ScopedFakeParts(FakeBehaviour behaviour)
    : log_(std::make_shared<CallLog>()), lastSource_(std::make_shared<FakeSource*>(nullptr)) {
  auto log = log_;
  auto last = lastSource_;
  ClientPartsFactory factory;
  factory.makeSource = [log, last, behaviour](CNetClient&) -> std::unique_ptr<CAVSource> {
    auto source = std::make_unique<FakeSource>(log, behaviour);
    *last = source.get();
    return source;
  };
  factory.makeAudioPlayer = [log, behaviour](CNetClient&) -> std::unique_ptr<IAudioPlayer> {
    return std::make_unique<FakeAudioPlayer>(log, behaviour);
  };
  previous_ = ReplacePartsFactoryForTest(std::move(factory));
}

ScopedFakeParts::~ScopedFakeParts() { ReplacePartsFactoryForTest(std::move(previous_)); }

}  // namespace kv::test
