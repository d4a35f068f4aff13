// Event message extraction and report parsing.
#include "sdk/control/event_stream.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "sdk/control/text_cursor.h"

namespace kv {

void EventStreamBuffer::Commit(size_t n) {
  m_held += n < Room() ? n : Room();
  m_buffer[m_held] = '\0';
}

void EventStreamBuffer::drop(size_t n) {
  std::memmove(m_buffer, m_buffer + n, m_held - n);
  m_held -= n;
  m_buffer[m_held] = '\0';
}

bool EventStreamBuffer::NextMessage(std::string* message) {
  while (m_held > 0) {
    const std::string_view text(m_buffer, m_held);
    const size_t cmd = text.find("CMD");
    const size_t end = text.find("END\n");
    if (cmd == std::string_view::npos || end == std::string_view::npos) return false;
    const size_t consumed = end + 4;
    const bool complete = end > cmd;
    if (complete) message->assign(m_buffer + cmd, consumed - cmd);
    drop(consumed);
    if (complete) return true;
  }
  return false;
}

bool EventStreamBuffer::DiscardIfFull() {
  if (m_held < kCapacity) return false;
  drop(m_held);
  return true;
}

EventMessage ParseEventMessage(const std::string& message) {
  EventMessage result;
  // Replies are text: a NUL ends the message as it ends a C string.
  const char* text = message.c_str();
  TextCursor cursor(text);
  char line[EventStreamBuffer::kCapacity + 1];
  if (std::strstr(text, "CMD:MD") != nullptr) {
    const unsigned lines = cursor.CountLines();
    if (lines < 3 || lines > 18) return result;
    cursor.ReadLine(line, sizeof line);
    for (unsigned i = 0; i < lines - 2 && cursor.ReadLine(line, sizeof line); ++i) {
      int v[8] = {};
      if (std::sscanf(line, "@%d@%d@%d@%d@%d@%d@%d@%d\n", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                      &v[6], &v[7]) != 8) {
        continue;
      }
      if (v[1] != 1 || v[2] < 0 || v[2] > 15) continue;
      result.mask |= 1u << v[2];
      for (int k = 0; k < 4; ++k) result.regions[v[2]][k] = v[3 + k];
    }
    result.kind = EventMessage::Kind::kMotion;
    return result;
  }
  if (std::strstr(text, "CMD:ALARM") != nullptr) {
    if (cursor.CountLines() != 3) {
      result.kind = EventMessage::Kind::kEndThread;
      return result;
    }
    cursor.ReadLine(line, sizeof line);
    cursor.ReadLine(line, sizeof line);
    int v[2] = {};
    if (std::sscanf(line, "@%d@%d", &v[0], &v[1]) == 2 && v[0] == 2) {
      result.kind = EventMessage::Kind::kAlarm;
      result.alarmCode = v[1];
    }
  }
  return result;
}

}  // namespace kv
