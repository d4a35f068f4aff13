// The recording conduit double.
#include "tests/support/recording_conduit.h"

namespace kv::test {

bool RecordingConduit::Create(int32_t, bool, int32_t, bool mode) {
  frameMode = mode;
  return true;
}

void RecordingConduit::Clear() {
  pending.clear();
  sinceClear.clear();
  ++clears;
}

bool RecordingConduit::Write(const void* data, int32_t length, int32_t endOfFrame,
                             int32_t timestamp, int32_t tag) {
  if (data == nullptr || length < 0) return false;
  const auto* p = static_cast<const uint8_t*>(data);
  bytes.insert(bytes.end(), p, p + length);
  sinceClear.insert(sinceClear.end(), p, p + length);
  if (frameMode) {
    pending.insert(pending.end(), p, p + length);
    if (endOfFrame == 1) EndFrame(timestamp, tag);
  }
  return true;
}

void RecordingConduit::EndFrame(int32_t timestamp, int32_t) {
  if (!frameMode || pending.empty()) return;
  frames.push_back(Frame{std::move(pending), timestamp});
  pending.clear();
}

}  // namespace kv::test
