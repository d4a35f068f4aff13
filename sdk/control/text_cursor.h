// TextCursor: reads the lines of a NUL-terminated MCTP reply. A line ends after its "\n" or
// at the end of the text, so a last line without "\n" still counts.
#pragma once

#include <cstddef>

namespace kv {

class TextCursor {
 public:
  explicit TextCursor(const char* text = nullptr) { Init(text); }
  void Init(const char* text);
  // Lines in the text; the cursor is rewound to the start afterwards.
  unsigned CountLines();
  // Copies the next line (with its "\n") into destination, NUL-terminated and cut to fit its
  // capacity, and moves past the whole line. 1, or 0 when no text is left.
  int ReadLine(char* destination, size_t capacity);
  unsigned position() const { return m_position; }
  unsigned length() const { return m_length; }

 private:
  const char* m_text = nullptr;
  unsigned m_position = 0;
  unsigned m_length = 0;
};

}  // namespace kv
