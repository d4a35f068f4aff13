// AVI record layout: chunk walk, index entries and seek positioning.
#include "sdk/record/avi_reader.h"

#include <algorithm>
#include <cstring>

#include "KvNetClient.h"
#include "sdk/record/record_format.h"

namespace kv {

bool LocateAviIndex(RecordInput& in, AviIndexLocation* out) {
  const uint64_t size = in.Size();
  uint64_t sizeAt = 16;
  uint8_t v[4];
  // Three skips: each is the stored size plus the next chunk's 4-byte id.
  for (int chunk = 0; chunk < 3; ++chunk) {
    if (!in.ReadExact(sizeAt, v, 4)) return false;
    sizeAt += 4 + uint64_t{GetLe32(v)} + 4;
    if (sizeAt > size) return false;
  }
  uint8_t id[4];
  if (!in.ReadExact(sizeAt - 4, id, 4) || std::memcmp(id, "idx1", 4) != 0) return false;
  if (!in.ReadExact(sizeAt, v, 4)) return false;
  out->p0 = sizeAt + 4;
  out->end = std::min(out->p0 + uint64_t{GetLe32(v)}, size);
  return out->p0 <= out->end;
}

bool ReadAviEntry(RecordInput& in, const AviIndexLocation& loc, uint64_t p, AviEntry* out) {
  if (p < loc.p0 || p > loc.end || loc.end - p < kAviEntrySize) return false;
  uint8_t e[kAviEntrySize];
  if (!in.ReadExact(p, e, sizeof e)) return false;
  if (std::memcmp(e, "00dc", 4) == 0) {
    out->kind = AviEntryKind::kVideo;
  } else if (std::memcmp(e, "01wb", 4) == 0) {
    out->kind = AviEntryKind::kAudio;
  } else {
    out->kind = AviEntryKind::kOther;
  }
  out->flags = GetLe32(e + 4);
  out->offset = GetLe32(e + 8);
  out->length = GetLe32(e + 12);
  return true;
}

bool AviChunkReadable(const AviEntry& e, uint64_t fileSize, size_t limit) {
  const uint64_t start = uint64_t{e.offset} + 8;
  return e.length <= limit && start <= fileSize && fileSize - start >= e.length;
}

uint32_t AviEntryTime(uint64_t p, uint64_t p0) {
  return static_cast<uint32_t>((p - p0) / kAviIndexBytesPerSecond * 1000u);
}

bool IsAviKeyChunk(const uint8_t* data, size_t length, uint8_t codec) {
  if (data == nullptr) return false;
  // The devices' own mark: their key pictures are chunks whose byte 4 (the NAL header after
  // the start code, in H.264) is 0x61. Chunks that start decoding by themselves (parameter
  // sets, IDR slices, JPEG pictures, MPEG-4 headers and intra VOPs) count as well.
  if (length > 4 && data[4] == 0x61) return true;
  if ((codec == VCODEC_MJPEG || codec == 0) && length >= 2 && data[0] == 0xFF && data[1] == 0xD8) {
    return true;
  }
  if (codec == VCODEC_H264 || codec == 0) {
    // Any parameter set or IDR slice among the first units (an access unit delimiter or SEI
    // may come first).
    for (size_t i = 0; i + 3 < length; ++i) {
      if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
        const uint8_t header = data[i + 3];
        const int type = header & 0x1F;
        if ((header & 0x80) == 0 && (type == 5 || type == 7)) return true;
        i += 2;
      }
    }
  }
  if (codec == VCODEC_MPEG4) {
    size_t i = 0;
    while (i < length && i < 4 && data[i] == 0) ++i;
    if (i < 2 || i + 1 >= length || data[i] != 1) return false;
    const uint8_t code = data[i + 1];
    if (code == 0xB0 || code <= 0x2F) return true;  // sequence, object or layer header
    if (code == 0xB6 && i + 2 < length && (data[i + 2] >> 6) == 0) return true;  // intra VOP
  }
  return false;
}

int64_t FindAviSeekEntry(RecordInput& in, const AviIndexLocation& loc, uint32_t seconds,
                         uint8_t codec) {
  const uint64_t count = loc.Count();
  if (count == 0) return -1;
  int64_t at =
      static_cast<int64_t>(std::min<uint64_t>(uint64_t{seconds} * kAviEntriesPerSecond, count - 1));
  const uint64_t candidates = uint64_t{seconds} * 25u + 1u;
  uint8_t head[64];
  for (uint64_t n = 0; n < candidates && at >= 0; ++n) {
    // The nearest video entry at or before this place, within one step.
    int64_t video = -1;
    for (int64_t k = at; k >= 0 && k > at - static_cast<int64_t>(kAviSeekStep); --k) {
      AviEntry e;
      if (ReadAviEntry(in, loc, loc.p0 + static_cast<uint64_t>(k) * kAviEntrySize, &e) &&
          e.kind == AviEntryKind::kVideo) {
        video = k;
        if (AviChunkReadable(e, in.Size(), SIZE_MAX)) {
          const size_t want = std::min<size_t>(e.length, sizeof head);
          if (in.ReadExact(uint64_t{e.offset} + 8, head, want) &&
              IsAviKeyChunk(head, want, codec)) {
            return k;
          }
        }
        break;
      }
    }
    at = (video >= 0 ? video : at) - static_cast<int64_t>(kAviSeekStep);
  }
  return -1;
}

}  // namespace kv
