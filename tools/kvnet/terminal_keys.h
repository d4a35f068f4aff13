// Single key presses from the terminal on standard input, read without Enter (raw mode).
#pragma once

#include <memory>
#include <string>

namespace kvnet {

class TerminalKeys {
 public:
  // Codes returned for keys that send escape sequences; plain keys are their character.
  static constexpr int kNone = 0;
  static constexpr int kLeft = 0x101;
  static constexpr int kRight = 0x102;

  // Switches standard input to raw mode (no line editing, no echo; Ctrl-C still interrupts) when
  // it is a terminal. Null when it is not one or its mode cannot be changed.
  static std::unique_ptr<TerminalKeys> Open();
  // Puts the terminal back the way it was.
  ~TerminalKeys();
  TerminalKeys(const TerminalKeys&) = delete;
  TerminalKeys& operator=(const TerminalKeys&) = delete;

  // The next key pressed, or kNone when none is waiting; never blocks. Unknown escape sequences
  // are swallowed whole.
  int Poll();
  // True once standard input has ended (the terminal went away).
  bool Ended() const { return ended_; }

 private:
  struct SavedMode;
  explicit TerminalKeys(std::unique_ptr<SavedMode> saved);
  // Takes one key off the front of pending_; kNone when pending_ holds no complete key.
  int takeKey(bool moreMayCome);

  std::unique_ptr<SavedMode> saved_;
  std::string pending_;
  bool ended_ = false;
};

}  // namespace kvnet
