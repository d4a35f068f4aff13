// Coded pictures from record units.
#include "kvnet/picture_assembler.h"

#include <algorithm>

#include "KvNetClient.h"

namespace kvnet {
namespace {

// Offset of the first byte after the next 00 00 01 at or after from; size when none.
size_t NextStartCode(const uint8_t* d, size_t size, size_t from) {
  for (size_t i = from; i + 3 <= size; ++i) {
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) return i + 3;
  }
  return size;
}

// The H.264 NAL unit type of a unit starting with a start code; -1 when it is too short.
int NalType(const std::vector<uint8_t>& u) {
  const size_t at = NextStartCode(u.data(), u.size(), 0);
  return at < u.size() ? (u[at] & 0x1F) : -1;
}

// A slice whose first_mb_in_slice is 0 (the first bit of its header is 1) begins a picture.
bool BeginsPicture(const std::vector<uint8_t>& u) {
  const size_t at = NextStartCode(u.data(), u.size(), 0);
  return at + 1 < u.size() && (u[at + 1] & 0x80) != 0;
}

// Leading zero bytes a recorder put before the codec's own start (MPEG-4, JPEG).
size_t CodecStart(uint8_t codec, const std::vector<uint8_t>& u) {
  if (codec == VCODEC_MJPEG) {
    for (size_t i = 0; i + 1 < u.size() && i <= 4; ++i) {
      if (u[i] == 0xFF && u[i + 1] == 0xD8) return i;
    }
    return 0;
  }
  size_t i = 0;
  while (i + 3 < u.size() && u[i] == 0 && u[i + 1] == 0 && u[i + 2] == 0) ++i;
  return i;
}

bool HasMpeg4Vop(const uint8_t* d, size_t size) {
  for (size_t at = NextStartCode(d, size, 0); at < size; at = NextStartCode(d, size, at)) {
    if (d[at] == 0xB6) return true;
  }
  return false;
}

}  // namespace

bool IsKeyPicture(uint8_t codec, const uint8_t* d, size_t size) {
  if (codec == VCODEC_MJPEG) return size >= 2 && d[0] == 0xFF && d[1] == 0xD8;
  for (size_t at = NextStartCode(d, size, 0); at < size; at = NextStartCode(d, size, at)) {
    if (codec == VCODEC_H264) {
      const int type = d[at] & 0x1F;
      if (type == 5) return true;
    } else if (codec == VCODEC_MPEG4 && d[at] == 0xB6) {
      // vop_coding_type 0: intra.
      return at + 1 < size && (d[at + 1] >> 6) == 0;
    }
  }
  return false;
}

std::vector<uint8_t> DecoderSetup(uint8_t codec, const std::vector<uint8_t>& p) {
  std::vector<uint8_t> setup;
  const uint8_t* d = p.data();
  const size_t size = p.size();
  if (codec == VCODEC_H264) {
    size_t at = NextStartCode(d, size, 0);
    while (at < size) {
      const size_t next = NextStartCode(d, size, at);
      // The unit ends where the next start code begins, without the zero bytes before it.
      size_t end = next < size ? next - 3 : size;
      while (end > at && d[end - 1] == 0) --end;
      const int type = d[at] & 0x1F;
      if (type == 7 || type == 8) {
        static const uint8_t kStart[4] = {0, 0, 0, 1};
        setup.insert(setup.end(), kStart, kStart + 4);
        setup.insert(setup.end(), d + at, d + end);
      }
      at = next;
    }
  } else if (codec == VCODEC_MPEG4) {
    for (size_t at = NextStartCode(d, size, 0); at < size; at = NextStartCode(d, size, at)) {
      if (d[at] == 0xB6) {
        if (at > 3) setup.assign(d, d + (at - 3));
        break;
      }
    }
  }
  return setup;
}

void PictureAssembler::emit(std::vector<Picture>* out) {
  if (pictureHasData_) {
    picture_.key = IsKeyPicture(codec_, picture_.data.data(), picture_.data.size());
    out->push_back(std::move(picture_));
  }
  picture_ = Picture{};
  pictureHasData_ = false;
  pictureHasSlice_ = false;
}

void PictureAssembler::addNal(std::vector<Picture>* out) {
  const int type = NalType(unit_);
  const bool slice = type >= 1 && type <= 5;
  // A new picture starts with the first slice of a picture or with the units that may only
  // come before one (delimiter, SEI, parameter sets) once the current picture has its slices.
  if (pictureHasSlice_ &&
      ((slice && BeginsPicture(unit_)) || type == 6 || type == 7 || type == 8 || type == 9)) {
    emit(out);
  }
  if (!pictureHasData_) picture_.timeStamp = unitTime_;
  picture_.data.insert(picture_.data.end(), unit_.begin(), unit_.end());
  pictureHasData_ = true;
  if (slice) pictureHasSlice_ = true;
}

void PictureAssembler::endCodedUnit(std::vector<Picture>* out) {
  if (!inUnit_) return;
  inUnit_ = false;
  if (codec_ == VCODEC_H264) {
    addNal(out);
  } else {
    const size_t skip = CodecStart(codec_, unit_);
    // MPEG-4 headers wait for the picture that follows them; a VOP or JPEG ends a picture.
    if (!pictureHasData_) picture_.timeStamp = unitTime_;
    picture_.data.insert(picture_.data.end(), unit_.begin() + static_cast<long>(skip), unit_.end());
    pictureHasData_ = true;
    if (codec_ != VCODEC_MPEG4 || HasMpeg4Vop(picture_.data.data(), picture_.data.size())) {
      emit(out);
    }
  }
  unit_.clear();
}

void PictureAssembler::Add(const uint8_t* data, uint32_t length, bool beginsCodedUnit,
                           bool wholePicture, uint32_t timeStamp, std::vector<Picture>* out) {
  if (wholePicture) {
    endCodedUnit(out);
    emit(out);
    unit_.assign(data, data + length);
    const size_t skip = codec_ == VCODEC_H264 ? 0 : CodecStart(codec_, unit_);
    picture_.data.assign(unit_.begin() + static_cast<long>(skip), unit_.end());
    picture_.timeStamp = timeStamp;
    pictureHasData_ = !picture_.data.empty();
    unit_.clear();
    emit(out);
    return;
  }
  if (beginsCodedUnit) {
    endCodedUnit(out);
    inUnit_ = true;
    unitTime_ = timeStamp;
  } else if (!inUnit_) {
    dropped_ += length;
    return;
  }
  unit_.insert(unit_.end(), data, data + length);
}

void PictureAssembler::Finish(std::vector<Picture>* out) {
  endCodedUnit(out);
  // MPEG-4 headers without a picture after them are no picture.
  if (codec_ == VCODEC_MPEG4 && !HasMpeg4Vop(picture_.data.data(), picture_.data.size())) {
    picture_ = Picture{};
    pictureHasData_ = false;
  }
  if (codec_ == VCODEC_H264 && !pictureHasSlice_) {
    picture_ = Picture{};
    pictureHasData_ = false;
  }
  emit(out);
}

}  // namespace kvnet
