// Fuzz target for the MCTP/1.0 reply checks: the input is one reply as a receive gives it (at
// most 1024 bytes, NUL-terminated), run through every command's rule and the line reader.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "sdk/control/mctp_messages.h"
#include "sdk/control/text_cursor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char reply[kv::kMctpReplyCapacity + 1];
  const size_t n = size < kv::kMctpReplyCapacity ? size : kv::kMctpReplyCapacity;
  std::memcpy(reply, data, n);
  reply[n] = '\0';

  KVNET_MD_INFO info;
  std::memset(&info, 0, sizeof info);
  kv::CheckMdGetReply(reply, &info);
  kv::CheckMdResultReply(reply);
  kv::CheckStopAlarmReply(reply);
  kv::CheckSetVideoParamReply(reply);
  uint8_t p1 = 0, p2 = 0, p3 = 0;
  kv::CheckGetVideoParamReply(reply, &p1, &p2, &p3);
  kv::CheckTalkReply(reply);
  kv::CheckLoginReply(reply);

  // Lines read in small pieces: each is cut to the destination and terminated.
  kv::TextCursor cursor(reply);
  const unsigned lines = cursor.CountLines();
  char line[8];
  unsigned read = 0;
  while (cursor.ReadLine(line, sizeof line)) {
    if (std::strlen(line) >= sizeof line) __builtin_trap();
    ++read;
  }
  if (read != lines) __builtin_trap();

  // The save request is refused, never overflowed, whatever the values.
  if (size >= sizeof info) {
    std::memcpy(&info, data, sizeof info);
    int channel = 0;
    std::memcpy(&channel, data + size - sizeof channel, sizeof channel);
    const auto request = kv::MdSaveRequest(channel, info);
    if (request && request->size() >= kv::kMctpRequestCapacity) __builtin_trap();
  }
  return 0;
}
