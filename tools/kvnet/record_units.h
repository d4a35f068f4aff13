// Reads the media of a record file of any of the four layouts (legacy native, AVI, native,
// native MJPEG) in file order, through the SDK's record readers: video units with their time
// stamps and audio units, stopping cleanly at the end of the readable data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sdk/record/avi_reader.h"
#include "sdk/record/record_reader.h"

namespace kvnet {

// What the beginning of a record file says about its media.
struct RecordMedia {
  int layout = -1;
  uint8_t videoCodec = 0;  // VCODEC_*; the stored units are sniffed when the file names none
  uint8_t audioCodec = 0;  // the header's ACODEC_* (native layouts); 0 when it names none
  bool pcmAudio = false;   // AVI: audio chunks are 16-bit PCM at 8,000 samples/s
  uint16_t width = 0;      // 0 when the file does not say
  uint16_t height = 0;
  int frameRate = 25;  // pictures per second
};

// One unit of the file. The data stays valid until the next call of Next.
struct RecordUnit {
  bool video = false;
  bool beginsCodedUnit = false;  // the data starts with a start code
  bool wholePicture = false;     // an AVI chunk: one whole picture
  uint32_t type = 0;             // audio: the codec code of the stored voice frame
  uint32_t timeStamp = 0;        // video: milliseconds (AVI: from the picture number)
  const uint8_t* data = nullptr;
  uint32_t length = 0;
};

class RecordUnitReader {
 public:
  explicit RecordUnitReader(kv::RecordInput& in) : in_(in) {}

  // Recognises the layout and where the units lie; false with *error for a file that is none
  // of the layouts or whose units cannot be found.
  bool Open(std::string* error);
  const RecordMedia& media() const { return media_; }

  enum class Result { kUnit, kEnd, kDamaged };
  // The next unit; kEnd after the last one, kDamaged when the rest cannot be read (damage()
  // then says why). Units that are unreadable on their own (an AVI chunk outside the file) are
  // skipped and counted.
  Result Next(RecordUnit* unit);
  const std::string& damage() const { return damage_; }
  uint32_t skippedUnits() const { return skipped_; }
  // False for a native or legacy file without its index trailer (the recording was not ended).
  bool hasTrailer() const { return hasTrailer_; }

  // Progress: where reading stands between 0 and end().
  uint64_t position() const { return position_; }
  uint64_t end() const { return end_; }

 private:
  Result nextUnit(RecordUnit* unit);
  Result nextAviEntry(RecordUnit* unit);
  uint8_t sniffCodec();

  kv::RecordInput& in_;
  RecordMedia media_;
  kv::AviIndexLocation avi_;
  uint64_t position_ = 0;
  uint64_t end_ = 0;
  uint64_t aviPictures_ = 0;
  uint32_t skipped_ = 0;
  bool hasTrailer_ = true;
  std::string damage_;
  std::vector<uint8_t> buffer_;
};

}  // namespace kvnet
