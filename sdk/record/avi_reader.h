// Reading the AVI record layout: the walk over the four top-level chunks to the index chunk,
// index entries, chunk bounds, entry times (75 index entries per second) and the search for
// the key picture a seek starts from.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sdk/record/record_reader.h"

namespace kv {

constexpr size_t kAviEntrySize = 16;
constexpr uint32_t kAviEntriesPerSecond = 75;
constexpr uint32_t kAviIndexBytesPerSecond = kAviEntriesPerSecond * kAviEntrySize;  // 1,200
constexpr uint32_t kAviSeekStep = 3;  // entries between the video entries of one picture

// Where the index chunk's entries lie.
struct AviIndexLocation {
  uint64_t p0 = 0;   // first entry
  uint64_t end = 0;  // end of the entries, within the file
  uint64_t Count() const { return (end - p0) / kAviEntrySize; }
};

// Walks from offset 16 over the first list, the second chunk and the movie list to the
// index chunk ("idx1"). False when a size leads outside the file or the fourth chunk is not
// the index.
bool LocateAviIndex(RecordInput& in, AviIndexLocation* out);

enum class AviEntryKind { kVideo, kAudio, kOther };

struct AviEntry {
  AviEntryKind kind = AviEntryKind::kOther;
  uint32_t flags = 0;
  uint32_t offset = 0;  // absolute file offset of the chunk header
  uint32_t length = 0;  // chunk data bytes
};

// The entry at p (a position inside the index); false when no whole entry lies there.
bool ReadAviEntry(RecordInput& in, const AviIndexLocation& loc, uint64_t p, AviEntry* out);

// True when the entry's data (at offset + 8) lies inside the file and fits in limit bytes.
bool AviChunkReadable(const AviEntry& e, uint64_t fileSize, size_t limit);

// The time stamp of the picture read from the entry before position p: whole seconds of
// index (1,200 bytes each) in milliseconds.
uint32_t AviEntryTime(uint64_t p, uint64_t p0);

// True when a video chunk can start a seek: the byte 4 bytes into the data is 0x61 (the mark
// of the devices' key pictures), or it begins a key picture of the codec (H.264 parameter set
// or IDR slice among its first bytes, a JPEG picture, an MPEG-4 header or intra VOP).
bool IsAviKeyChunk(const uint8_t* data, size_t length, uint8_t codec);

// Finds the index entry a seek to seconds starts from: the target's entry (75 per second,
// the last entry beyond the end), then candidates backwards three entries apart, each the
// nearest video entry at or before that place, at most seconds x 25 + 1 of them. Returns
// the entry number of the first key chunk, or -1.
int64_t FindAviSeekEntry(RecordInput& in, const AviIndexLocation& loc, uint32_t seconds,
                         uint8_t codec);

}  // namespace kv
