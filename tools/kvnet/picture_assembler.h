// Groups a record file's video units into whole coded pictures: H.264 NAL units into access
// units, MPEG-4 headers with the picture that follows them, JPEG pieces into one picture; tells
// key pictures, and takes the decoder set-up (H.264 parameter sets, MPEG-4 headers) from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvnet {

struct Picture {
  std::vector<uint8_t> data;  // H.264: Annex B with start codes; MPEG-4 and JPEG as coded
  uint32_t timeStamp = 0;     // the time stamp of its first unit
  bool key = false;           // decoding can start here
};

class PictureAssembler {
 public:
  explicit PictureAssembler(uint8_t videoCodec) : codec_(videoCodec) {}

  // One video unit: beginsCodedUnit when it starts with a start code (or is a whole JPEG
  // picture), wholePicture when it is a picture by itself. Finished pictures go to out.
  void Add(const uint8_t* data, uint32_t length, bool beginsCodedUnit, bool wholePicture,
           uint32_t timeStamp, std::vector<Picture>* out);
  // Ends the stream: the picture under way goes to out when it is whole enough to decode.
  void Finish(std::vector<Picture>* out);
  // Bytes that continued no coded unit (the file started inside one) and were dropped.
  uint64_t droppedBytes() const { return dropped_; }

 private:
  void endCodedUnit(std::vector<Picture>* out);
  void addNal(std::vector<Picture>* out);
  void emit(std::vector<Picture>* out);

  uint8_t codec_;
  std::vector<uint8_t> unit_;  // the coded unit under way
  uint32_t unitTime_ = 0;
  bool inUnit_ = false;
  Picture picture_;  // the picture under way
  bool pictureHasData_ = false;
  bool pictureHasSlice_ = false;
  uint64_t dropped_ = 0;
};

// True when the picture can start decoding: an H.264 IDR slice, an MPEG-4 intra VOP, any JPEG.
bool IsKeyPicture(uint8_t videoCodec, const uint8_t* data, size_t length);

// The decoder set-up a container stores beside the stream: H.264 sequence and picture
// parameter sets (Annex B), or the MPEG-4 headers before the first VOP. Empty for JPEG or
// when the picture carries none.
std::vector<uint8_t> DecoderSetup(uint8_t videoCodec, const std::vector<uint8_t>& keyPicture);

}  // namespace kvnet
