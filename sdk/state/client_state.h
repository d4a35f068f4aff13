// A client's state in the groups its parts share: what the caller asked for, what the stream
// is, the sound switch, the view and render state, the replay controls and the recording
// settings. The client owns one of each; every part is given only the groups it reads or
// writes. Fields written on one thread and read on another are 32-bit atomics.
#pragma once

#include <atomic>
#include <cstdint>

#include "KvNetClient.h"
#include "sdk/state/motion_regions.h"
#include "sdk/state/pacing_clock.h"
#include "sdk/state/state_signal.h"

namespace kv {

// The caller's parameter record and what Init made of it.
struct LinkSettings {
  KVNET_CLIENT_PARAM param{};
  int replay = 0;  // 1 for a replay client
  char host[256]{};
  int16_t port = 554;
  char replayPath[260]{};
  std::atomic<int32_t> state{0};  // LINK_CONNECTED ... LINK_CLOSED
};

// What the source learnt of the stream (or the file).
struct StreamDescription {
  std::atomic<int32_t> width{0};
  std::atomic<int32_t> height{0};
  std::atomic<int32_t> frameRate{0};
  std::atomic<int32_t> bitRate{0};
  std::atomic<uint8_t> audioCodec{0};
  std::atomic<uint8_t> videoCodec{0};
  std::atomic<int32_t> deviceGeneration{0};
  // 1 when the device stated no picture size: the decode worker takes the first decoded
  // picture's size as the stream's (and clears this).
  std::atomic<int32_t> sizeFromPicture{0};
};

// The sound switch of the exports and the player's end of playback.
struct SoundState {
  std::atomic<int32_t> on{0};
  std::atomic<int32_t> ended{0};
};

// What is drawn, where and how, and what the decode worker reports back.
struct ViewState {
  std::atomic<int32_t> view{0};
  std::atomic<uint32_t> videoWindow{0};
  std::atomic<int32_t> drawing{0};
  std::atomic<int32_t> decodedWidth{0};
  std::atomic<int32_t> decodedHeight{0};
  std::atomic<int32_t> windowWidth{0};
  std::atomic<int32_t> windowHeight{0};
  std::atomic<int32_t> flip{0};
  std::atomic<int32_t> rotate{0};
  std::atomic<int32_t> vertBlankDivisor{0};
  std::atomic<int32_t> mdShowMode{2};
  MotionRegionTable motion;
  std::atomic<int32_t> preBufferDepth{0};  // frames held back before decoding
  std::atomic<int32_t> framesWaiting{0};
  std::atomic<int32_t> recreateDecoder{0};  // a source asks for a new decoder
  // Notified when drawing ends: KVNET_ClientStopView waits on it.
  StateSignal drawingEnded;
};

// Replay transport: pacing, speed, pause and step, the position and seeking.
struct ReplayControl {
  PacingClock pacing;
  std::atomic<int32_t> speed{0};
  std::atomic<int32_t> state{0};  // 0 play, 1 paused, 2 step
  std::atomic<int32_t> stepRequest{0};
  std::atomic<uint32_t> baseTime{0};
  std::atomic<uint32_t> totalTime{0};
  std::atomic<uint32_t> curTime{0};
  std::atomic<uint32_t> seekTarget{0};
  std::atomic<int32_t> seekPending{0};
  std::atomic<int32_t> seekWhilePaused{0};
  // Seeks the replay source has served by moving (emptying the conduits); it tags every video
  // frame with this count.
  std::atomic<int32_t> seeksServed{0};
  // Notified when the transport changes (pause, continue, step, seek, a seek served): the
  // paused or stepping decode worker waits on it.
  StateSignal changed;
};

// Where the two recordings go and how long they last (milliseconds). Written under the
// recording's record lock.
struct RecordSettings {
  char path[256]{};
  char alarmPath[256]{};
  std::atomic<uint32_t> start{0};
  std::atomic<uint32_t> duration{0};
  std::atomic<uint32_t> alarmStart{0};
  std::atomic<uint32_t> alarmDuration{0};
};

}  // namespace kv
