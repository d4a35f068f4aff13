// replay_snapshot: replays a record file as fast as the library allows, saves a JPEG snapshot
// of a picture on the way, and prints the position until the end of the file. It uses only
// the installed KvNetClient.
//
//   c++ -std=c++17 -o replay_snapshot replay_snapshot.cpp $(pkg-config --cflags --libs kvnetclient)
//   ./replay_snapshot recordings/live.rec shots/first.jpg
#include <KvNetClient.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

namespace {

std::atomic<bool> g_ended{false};

void KVNET_CALL OnEvent(KVNET_HANDLE, int eventClass, int, int) {
  if (eventClass == KV_EVENT_REPLAY_END) g_ended = true;
}

// A finished JPEG file: it ends with the end-of-image marker.
bool SnapshotWritten(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in || in.tellg() < 4) return false;
  in.seekg(-2, std::ios::end);
  char end[2] = {};
  in.read(end, 2);
  return static_cast<unsigned char>(end[0]) == 0xFF && static_cast<unsigned char>(end[1]) == 0xD9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s RECORD_FILE SNAPSHOT.jpg\n", argv[0]);
    return 2;
  }
  // The library wants a folder in the path: a bare name is taken in the current folder.
  std::string snapshot = argv[2];
  if (snapshot.find('/') == std::string::npos) snapshot = "./" + snapshot;
  std::remove(snapshot.c_str());
  if (!KVNET_Startup(0, 0, OnEvent, 0)) return 1;
  // No window: the pictures are decoded but drawn nowhere. Start paused on the first picture.
  KVNET_HANDLE replay = KVNET_OpenFile(argv[1], 0, 1);
  if (replay == nullptr) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    KVNET_Cleanup();
    return 1;
  }
  std::printf("replay: %s, %u s\n", argv[1], KVNET_ReplayTotalTime(replay));
  if (KVNET_ClientCapturePicture(replay, snapshot.c_str()) != 1) {
    std::fprintf(stderr, "cannot ask for a snapshot at %s\n", snapshot.c_str());
  }
  using Clock = std::chrono::steady_clock;
  const auto snapshotDeadline = Clock::now() + std::chrono::seconds(10);
  bool saved = false;
  while (!saved && Clock::now() < snapshotDeadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    saved = SnapshotWritten(snapshot);
  }
  std::printf(saved ? "snapshot: %s\n" : "snapshot: %s was not written\n", snapshot.c_str());

  // Play the rest at the highest speed, printing the position twice a second.
  while (KVNET_SpeedFast(replay) == 1) {
  }
  KVNET_ReplayContinue(replay);
  const auto endDeadline = Clock::now() + std::chrono::seconds(60);
  while (!g_ended && Clock::now() < endDeadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::printf("position: %u of %u s\n", KVNET_ReplayCurTime(replay),
                KVNET_ReplayTotalTime(replay));
  }
  std::printf(g_ended ? "replay: end of file\n" : "replay: no end within 60 s\n");
  KVNET_CloseFile(replay);
  KVNET_Cleanup();
  return saved && g_ended ? 0 : 1;
}
