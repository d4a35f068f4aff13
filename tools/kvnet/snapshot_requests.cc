// Snapshot requests of kvnet, on the public C interface only.
#include "kvnet/snapshot_requests.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include "kvnet/console.h"

namespace kvnet {
namespace {

namespace fs = std::filesystem;

// A request not served by then is reported as not written (no picture was shown: the stream
// stopped, the view is off, or the file could not be opened).
constexpr std::chrono::seconds kPatience{5};

std::chrono::nanoseconds WriteTime(const fs::path& path, bool* exists) {
  std::error_code ec;
  const auto time = fs::last_write_time(path, ec);
  *exists = !ec;
  return ec ? std::chrono::nanoseconds{} : time.time_since_epoch();
}

// The file ends with the end-of-image marker.
bool EndsWithEoi(const fs::path& path, uintmax_t size) {
  if (size < 4) return false;
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(size - 2));
  char tail[2] = {};
  in.read(tail, 2);
  return in && static_cast<unsigned char>(tail[0]) == 0xFF &&
         static_cast<unsigned char>(tail[1]) == 0xD9;
}

}  // namespace

std::string AbsolutePath(const std::string& path) {
  if (path.empty()) return path;
  std::error_code ec;
  const fs::path absolute = fs::absolute(path, ec);
  return ec ? path : absolute.string();
}

SnapshotRequests::SnapshotRequests(const std::string& anchor)
    : folder_(anchor.empty() ? AbsolutePath(".")
                             : fs::path(AbsolutePath(anchor)).parent_path().string()) {}

bool SnapshotRequests::Request(KVNET_HANDLE client, const std::string& path) {
  const std::string absolute = AbsolutePath(path);
  Awaited p;
  p.path = absolute;
  p.oldTime = WriteTime(absolute, &p.existed);
  if (KVNET_ClientCapturePicture(client, absolute.c_str()) != 1) {
    PrintLine("snapshot: refused for " + absolute +
              " (the folder cannot be made, or the path is "
              "too long)");
    return false;
  }
  PrintLine("snapshot: asked for " + absolute);
  p.deadline = std::chrono::steady_clock::now() + kPatience;
  // A later request replaces an earlier one for the same client: only the newest is watched.
  pending_.clear();
  pending_.push_back(p);
  return true;
}

bool SnapshotRequests::RequestNext(KVNET_HANDLE client) {
  std::error_code ec;
  fs::path path;
  do {
    path = fs::path(folder_) / Format("kvnet-snapshot-%d.jpg", nextNumber_++);
  } while (fs::exists(path, ec));
  return Request(client, path.string());
}

void SnapshotRequests::Poll() {
  const auto now = std::chrono::steady_clock::now();
  for (auto it = pending_.begin(); it != pending_.end();) {
    bool exists = false;
    const auto time = WriteTime(it->path, &exists);
    std::error_code ec;
    const uintmax_t size = exists ? fs::file_size(it->path, ec) : 0;
    // New (or newly written) and no longer growing since the last look.
    const bool fresh = exists && !ec && (!it->existed || time != it->oldTime);
    if (fresh && size == it->lastSize && EndsWithEoi(it->path, size)) {
      PrintLine(Format("snapshot: %s (%ju bytes)", it->path.c_str(), size));
      written_.push_back(it->path);
      it = pending_.erase(it);
      continue;
    }
    it->lastSize = fresh ? size : 0;
    if (now >= it->deadline) {
      PrintLine("snapshot: " + it->path + " not written (no picture was shown to save)");
      it = pending_.erase(it);
      continue;
    }
    ++it;
  }
}

void SnapshotRequests::Finish(std::chrono::milliseconds grace) {
  const auto until = std::chrono::steady_clock::now() + grace;
  while (Pending() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Poll();
  }
  for (const Awaited& p : pending_) {
    PrintLine("snapshot: " + p.path + " not written (no picture was shown to save)");
  }
  pending_.clear();
}

bool SnapshotRequests::Written(const std::string& path) const {
  return std::find(written_.begin(), written_.end(), AbsolutePath(path)) != written_.end();
}

}  // namespace kvnet
