// Raw-mode key reading for kvnet's interactive commands.
#include "kvnet/terminal_keys.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace kvnet {

struct TerminalKeys::SavedMode {
  termios mode{};
};

std::unique_ptr<TerminalKeys> TerminalKeys::Open() {
  if (::isatty(STDIN_FILENO) != 1) return nullptr;
  auto saved = std::make_unique<SavedMode>();
  if (::tcgetattr(STDIN_FILENO, &saved->mode) != 0) return nullptr;
  termios raw = saved->mode;
  // Keys arrive one by one and are not echoed; ISIG stays on so Ctrl-C still raises SIGINT,
  // and output processing stays on so lines still end where they should.
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  if (::tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return nullptr;
  return std::unique_ptr<TerminalKeys>(new TerminalKeys(std::move(saved)));
}

TerminalKeys::TerminalKeys(std::unique_ptr<SavedMode> saved) : saved_(std::move(saved)) {}

TerminalKeys::~TerminalKeys() { ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_->mode); }

int TerminalKeys::Poll() {
  while (!ended_) {
    pollfd in{STDIN_FILENO, POLLIN, 0};
    if (::poll(&in, 1, 0) <= 0) break;
    char bytes[64];
    const ssize_t n = ::read(STDIN_FILENO, bytes, sizeof bytes);
    if (n > 0) {
      pending_.append(bytes, static_cast<size_t>(n));
      if (pending_.size() > 256) pending_.erase(0, pending_.size() - 256);
    } else if (n == 0 || (in.revents & (POLLHUP | POLLERR)) != 0) {
      ended_ = true;
    } else {
      break;
    }
  }
  return takeKey(!ended_);
}

int TerminalKeys::takeKey(bool moreMayCome) {
  while (!pending_.empty()) {
    const unsigned char first = static_cast<unsigned char>(pending_[0]);
    if (first != 0x1b) {
      pending_.erase(0, 1);
      return first;
    }
    // ESC alone is a key of its own (ignored); ESC [ or ESC O starts a sequence that ends with a
    // byte from '@' to '~'. An unfinished sequence waits for the rest of its bytes.
    if (pending_.size() == 1) {
      if (moreMayCome) return kNone;
      pending_.clear();
      return kNone;
    }
    if (pending_[1] != '[' && pending_[1] != 'O') {
      pending_.erase(0, 1);
      continue;
    }
    size_t end = 2;
    while (end < pending_.size() && (pending_[end] < '@' || pending_[end] > '~')) ++end;
    if (end == pending_.size()) {
      if (!moreMayCome) pending_.clear();
      return kNone;
    }
    const char final = pending_[end];
    const bool plain = end == 2;  // no parameters: ESC [ C, ESC O D ...
    pending_.erase(0, end + 1);
    if (plain && final == 'C') return kRight;
    if (plain && final == 'D') return kLeft;
  }
  return kNone;
}

}  // namespace kvnet
