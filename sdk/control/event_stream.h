// The device's event stream, pure: cutting "CMD ... END\n" messages out of the received bytes,
// and reading a motion or alarm report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kv {

// Holds the bytes received and not yet consumed.
class EventStreamBuffer {
 public:
  static constexpr size_t kCapacity = 4096;

  // Where to receive to, and how much room is left there.
  char* WritePointer() { return m_buffer + m_held; }
  size_t Room() const { return kCapacity - m_held; }
  // Adds n bytes received at WritePointer.
  void Commit(size_t n);
  // Cuts the next complete message (from "CMD" up to and including "END\n") out of the held
  // bytes; false when none is complete. Text before "CMD", and an "END\n" before the first
  // "CMD" with what precedes it, are dropped on the way.
  bool NextMessage(std::string* message);
  // A full buffer without a complete message can make no progress: its bytes are dropped.
  // True when that happened.
  bool DiscardIfFull();
  size_t held() const { return m_held; }

 private:
  void drop(size_t n);

  char m_buffer[kCapacity + 1] = {};
  size_t m_held = 0;
};

// What one message asks of the receiver.
struct EventMessage {
  enum class Kind { kIgnored, kMotion, kAlarm, kEndThread };
  Kind kind = Kind::kIgnored;
  // Motion: bit i set for each region reported moving, with its rectangle (left, top, right,
  // bottom) as the device sent it.
  uint32_t mask = 0;
  int32_t regions[16][4] = {};
  // Alarm: the code to raise.
  int alarmCode = 0;
};

// "CMD:MD" with 3 to 18 lines: region lines "@%d" x 8 whose second field is 1 and third a
// region 0..15 report motion (others are skipped). "CMD:ALARM": exactly 3 lines or the thread
// ends; "@%d@%d" with the first field 2 raises the second. Anything else is ignored.
EventMessage ParseEventMessage(const std::string& message);

}  // namespace kv
