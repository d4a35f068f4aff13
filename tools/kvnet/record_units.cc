// Record units in file order, over the SDK's layout, index and AVI readers.
#include "kvnet/record_units.h"

#include <algorithm>

#include "KvNetClient.h"
#include "sdk/record/codec_sniffer.h"
#include "sdk/record/record_format.h"

namespace kvnet {
namespace {

// Units looked at when the codec has to be recognised from the stored video.
constexpr int kSniffUnits = 256;
constexpr size_t kSniffBytes = 64;
// AVI chunks larger than this are damage (a device picture is far smaller).
constexpr size_t kMaxAviChunk = 16 << 20;

bool StartsWithStartCode(const uint8_t* d, uint32_t n) {
  return (n >= 4 && d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 1) ||
         (n >= 3 && d[0] == 0 && d[1] == 0 && d[2] == 1);
}

}  // namespace

uint8_t RecordUnitReader::sniffCodec() {
  uint8_t bytes[kSniffBytes];
  if (media_.layout == kv::kLayoutAvi) {
    for (uint64_t i = 0; i < std::min<uint64_t>(avi_.Count(), kSniffUnits); ++i) {
      kv::AviEntry e;
      if (!kv::ReadAviEntry(in_, avi_, avi_.p0 + i * kv::kAviEntrySize, &e)) break;
      if (e.kind != kv::AviEntryKind::kVideo || e.length == 0 ||
          !kv::AviChunkReadable(e, in_.Size(), SIZE_MAX)) {
        continue;
      }
      const size_t n = std::min<size_t>(e.length, sizeof bytes);
      if (!in_.ReadExact(uint64_t{e.offset} + 8, bytes, n)) continue;
      if (const uint8_t codec = kv::SniffVideoCodec(bytes, n)) return codec;
    }
    return 0;
  }
  const size_t headerSize = kv::UnitHeaderSize(media_.layout);
  uint64_t pos = kv::kFirstUnitOffset;
  for (int i = 0; i < kSniffUnits; ++i) {
    uint8_t head[kv::kUnitHeaderSize];
    if (pos > end_ || end_ - pos < headerSize || !in_.ReadExact(pos, head, headerSize)) break;
    const kv::UnitHead h = kv::DecodeUnitHead(head, media_.layout);
    if (h.length > end_ - pos - headerSize) break;
    if (h.kind == kv::kUnitVideo && h.length > 0) {
      const size_t n = std::min<size_t>(h.length, sizeof bytes);
      if (!in_.ReadExact(pos + headerSize, bytes, n)) break;
      if (const uint8_t codec = kv::SniffVideoCodec(bytes, n)) return codec;
    }
    pos += headerSize + h.length;
  }
  return 0;
}

bool RecordUnitReader::Open(std::string* error) {
  kv::RecordDescription d;
  if (!kv::ReadRecordDescription(in_, &d)) {
    *error = "not a record file (none of the known layouts, or cut short in its header)";
    return false;
  }
  media_.layout = d.layout;
  if (d.layout == kv::kLayoutAvi) {
    if (!kv::LocateAviIndex(in_, &avi_)) {
      *error = "the AVI file's index cannot be found";
      return false;
    }
    media_.pcmAudio = true;
    media_.width = d.aviWidth;
    media_.height = d.aviHeight;
    media_.frameRate = d.aviRate >= 1 && d.aviRate <= 240 ? static_cast<int>(d.aviRate) : 25;
    media_.videoCodec = kv::CodecFromFourCc(d.aviFourCc);
    position_ = avi_.p0;
    end_ = avi_.end;
  } else {
    const kv::IndexReadResult index = kv::ReadRecordIndex(in_, d.layout);
    // A trailer naming no entry is damage: the units before it are read by themselves.
    end_ = index.failed ? in_.Size() : index.dataEnd;
    hasTrailer_ = index.fromTrailer;
    if (d.layout != kv::kLayoutLegacy) {
      media_.videoCodec = d.videoCodec;
      media_.audioCodec = d.audioCodec;
      media_.width = d.width;
      media_.height = d.height;
    }
    media_.frameRate = kv::ReplayFrameRate(d.frameRateByte);
    position_ = kv::kFirstUnitOffset;
  }
  if (!kv::IsKnownVideoCodec(media_.videoCodec)) media_.videoCodec = sniffCodec();
  if (media_.videoCodec == 0) {
    *error = "the file's video codec is not recognised";
    return false;
  }
  return true;
}

RecordUnitReader::Result RecordUnitReader::Next(RecordUnit* unit) {
  return media_.layout == kv::kLayoutAvi ? nextAviEntry(unit) : nextUnit(unit);
}

RecordUnitReader::Result RecordUnitReader::nextUnit(RecordUnit* unit) {
  const size_t headerSize = kv::UnitHeaderSize(media_.layout);
  if (position_ >= end_) return Result::kEnd;
  uint8_t head[kv::kUnitHeaderSize];
  if (end_ - position_ < headerSize || !in_.ReadExact(position_, head, headerSize)) {
    damage_ = "the file ends inside a unit header at offset " + std::to_string(position_);
    return Result::kDamaged;
  }
  const kv::UnitHead h = kv::DecodeUnitHead(head, media_.layout);
  if (h.length > end_ - position_ - headerSize) {
    damage_ = "the unit at offset " + std::to_string(position_) + " runs past the end of the data";
    return Result::kDamaged;
  }
  if (h.kind != kv::kUnitVideo && h.kind != kv::kUnitAudio) {
    damage_ = "the unit at offset " + std::to_string(position_) + " is of no known kind";
    return Result::kDamaged;
  }
  buffer_.resize(h.length);
  if (h.length != 0 && !in_.ReadExact(position_ + headerSize, buffer_.data(), h.length)) {
    damage_ = "the unit at offset " + std::to_string(position_) + " cannot be read";
    return Result::kDamaged;
  }
  position_ += headerSize + h.length;
  *unit = RecordUnit{};
  unit->video = h.kind == kv::kUnitVideo;
  unit->type = h.type;
  unit->timeStamp = h.timeStamp;
  unit->data = buffer_.data();
  unit->length = h.length;
  unit->beginsCodedUnit = unit->video && StartsWithStartCode(buffer_.data(), h.length);
  // A whole JPEG picture may be stored without a start code in front.
  if (unit->video && media_.videoCodec == VCODEC_MJPEG && h.length >= 2 && buffer_[0] == 0xFF &&
      buffer_[1] == 0xD8) {
    unit->beginsCodedUnit = true;
  }
  return Result::kUnit;
}

RecordUnitReader::Result RecordUnitReader::nextAviEntry(RecordUnit* unit) {
  while (true) {
    if (position_ >= end_ || end_ - position_ < kv::kAviEntrySize) return Result::kEnd;
    kv::AviEntry e;
    if (!kv::ReadAviEntry(in_, avi_, position_, &e)) {
      damage_ = "the AVI index cannot be read at offset " + std::to_string(position_);
      return Result::kDamaged;
    }
    position_ += kv::kAviEntrySize;
    if (e.kind == kv::AviEntryKind::kOther) continue;
    if (!kv::AviChunkReadable(e, in_.Size(), kMaxAviChunk) || e.length == 0) {
      ++skipped_;
      continue;
    }
    buffer_.resize(e.length);
    if (!in_.ReadExact(uint64_t{e.offset} + 8, buffer_.data(), e.length)) {
      ++skipped_;
      continue;
    }
    *unit = RecordUnit{};
    unit->video = e.kind == kv::AviEntryKind::kVideo;
    unit->data = buffer_.data();
    unit->length = e.length;
    if (unit->video) {
      unit->beginsCodedUnit = true;
      unit->wholePicture = true;
      unit->timeStamp =
          static_cast<uint32_t>(aviPictures_ * 1000u / static_cast<uint64_t>(media_.frameRate));
      ++aviPictures_;
    }
    return Result::kUnit;
  }
}

}  // namespace kvnet
