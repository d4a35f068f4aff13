// kvnet's snapshots: asks the library to save the next shown picture and watches for the file,
// since the library says nothing once it has written it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "KvNetClient.h"

namespace kvnet {

class SnapshotRequests {
 public:
  // Where the snapshots of the 'c' key go: beside `anchor` (the --snapshot path) when it is
  // given, else in the current folder.
  explicit SnapshotRequests(const std::string& anchor = "");

  // Asks the client to save its next shown picture at path (made absolute) and prints the
  // request; false when the library refused it.
  bool Request(KVNET_HANDLE client, const std::string& path);
  // The 'c' key: a request for the next free "kvnet-snapshot-N.jpg".
  bool RequestNext(KVNET_HANDLE client);
  // Checks the pending files; prints "snapshot: PATH (N bytes)" for each one complete, or
  // "snapshot: PATH not written" once its time is up. Call every tick.
  void Poll();
  // Before the client stops: waits up to `grace` for pending files, then reports any still
  // missing as not written.
  void Finish(std::chrono::milliseconds grace);

  bool Pending() const { return !pending_.empty(); }
  // True once the file requested at path was written.
  bool Written(const std::string& path) const;
  int WrittenCount() const { return static_cast<int>(written_.size()); }

 private:
  struct Awaited {
    std::string path;
    std::chrono::steady_clock::time_point deadline;
    bool existed = false;
    std::chrono::nanoseconds oldTime{};
    uintmax_t lastSize = 0;
  };
  std::string folder_;
  int nextNumber_ = 1;
  std::vector<Awaited> pending_;
  std::vector<std::string> written_;
};

// The path as the library should get it: absolute, so that it always names a folder.
std::string AbsolutePath(const std::string& path);

}  // namespace kvnet
