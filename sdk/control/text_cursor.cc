// TextCursor: line counting and reading over a reply text.
#include "sdk/control/text_cursor.h"

#include <cstring>

namespace kv {

void TextCursor::Init(const char* text) {
  m_text = text;
  m_position = 0;
  m_length = text == nullptr ? 0 : static_cast<unsigned>(std::strlen(text));
}

unsigned TextCursor::CountLines() {
  m_position = 0;
  unsigned lines = 0;
  while (m_position < m_length) {
    const void* end = std::memchr(m_text + m_position, '\n', m_length - m_position);
    m_position = end == nullptr ? m_length
                                : static_cast<unsigned>(static_cast<const char*>(end) - m_text) + 1;
    ++lines;
  }
  m_position = 0;
  return lines;
}

int TextCursor::ReadLine(char* destination, size_t capacity) {
  if (m_position >= m_length || capacity == 0) return 0;
  const void* end = std::memchr(m_text + m_position, '\n', m_length - m_position);
  const unsigned next =
      end == nullptr ? m_length : static_cast<unsigned>(static_cast<const char*>(end) - m_text) + 1;
  size_t n = next - m_position;
  if (n > capacity - 1) n = capacity - 1;
  std::memcpy(destination, m_text + m_position, n);
  destination[n] = '\0';
  m_position = next;
  return 1;
}

}  // namespace kv
