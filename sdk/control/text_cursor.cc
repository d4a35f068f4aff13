// TextCursor: line counting and reading over a reply text.
#include "sdk/control/text_cursor.h"

#include <cstring>

namespace kv {

void TextCursor::Init(const char* text) {
  text_ = text;
  position_ = 0;
  length_ = text == nullptr ? 0 : static_cast<unsigned>(std::strlen(text));
}

unsigned TextCursor::CountLines() {
  position_ = 0;
  unsigned lines = 0;
  while (position_ < length_) {
    const void* end = std::memchr(text_ + position_, '\n', length_ - position_);
    position_ =
        end == nullptr ? length_ : static_cast<unsigned>(static_cast<const char*>(end) - text_) + 1;
    ++lines;
  }
  position_ = 0;
  return lines;
}

int TextCursor::ReadLine(char* destination, size_t capacity) {
  if (position_ >= length_ || capacity == 0) return 0;
  const void* end = std::memchr(text_ + position_, '\n', length_ - position_);
  const unsigned next =
      end == nullptr ? length_ : static_cast<unsigned>(static_cast<const char*>(end) - text_) + 1;
  size_t n = next - position_;
  if (n > capacity - 1) n = capacity - 1;
  std::memcpy(destination, text_ + position_, n);
  destination[n] = '\0';
  position_ = next;
  return 1;
}

}  // namespace kv
