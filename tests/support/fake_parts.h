// Test doubles for the parts a client owns: a source whose thread idles until stopped and an
// audio player, both writing what happens to them into a shared call log. At Stop the
// source logs "conduits.aborted" when both conduits already refuse writes.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sdk/media/audio_player.h"
#include "sdk/core/client_parts.h"
#include "sdk/sources/av_source.h"

namespace kv::test {

class CallLog {
 public:
  void Add(const std::string& entry);
  std::vector<std::string> Entries() const;
  // Index of the first entry equal to name, or -1.
  int IndexOf(const std::string& name) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> entries_;
};

struct FakeBehaviour {
  bool openFails = false;
  bool prepareFails = false;
  bool audioStartFails = false;
};

class FakeSource : public CAVSource {
 public:
  FakeSource(std::shared_ptr<CallLog> log, FakeBehaviour behaviour);
  ~FakeSource() override;
  int Open() override;
  void Close() override;
  int Run() override;
  int Stop() override;
  // Lets tests reach the recorder protocol.
  using CAVSource::StopAndJoin;

 private:
  std::shared_ptr<CallLog> log_;
  FakeBehaviour behaviour_;
};

class FakeAudioPlayer : public IAudioPlayer {
 public:
  FakeAudioPlayer(std::shared_ptr<CallLog> log, FakeBehaviour behaviour);
  int PrepareBuffers() override;
  void FreeBuffers() override;
  int StartThread() override;
  void Stop() override;

 private:
  std::shared_ptr<CallLog> log_;
  FakeBehaviour behaviour_;
};

// Installs fake makers for the life of the object and restores the previous ones after.
class ScopedFakeParts {
 public:
  explicit ScopedFakeParts(FakeBehaviour behaviour = {});
  ~ScopedFakeParts();
  std::shared_ptr<CallLog> log() const { return log_; }
  // The source made for the most recent client (owned by that client).
  FakeSource* lastSource() const { return *lastSource_; }

 private:
  std::shared_ptr<CallLog> log_;
  std::shared_ptr<FakeSource*> lastSource_;
  ClientPartsFactory previous_;
};

}  // namespace kv::test
