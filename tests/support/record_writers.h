// Test-side writers of record files in every layout the replay source reads (native, legacy,
// AVI), independent of the library's recorder, plus the generated content that goes in them:
// numbered H.264 and MJPEG pictures and G.711 voice frames.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace kv::test {

// One stored unit: kind 0 video (type = frame or NAL type), kind 1 audio (type = codec).
struct StoredUnit {
  uint32_t kind = 0;
  uint32_t type = 0;
  std::vector<uint8_t> data;  // video units that begin a coded unit include the start code
  uint32_t timeStamp = 0;
  int picture = -1;  // the picture a video unit belongs to (-1: headers, audio)
};

// A generated recording: units in file order at frameRate pictures per second.
struct StoredStream {
  std::vector<StoredUnit> units;
  uint8_t videoCodec = 0;
  uint8_t audioCodec = 0;
  int width = 0, height = 0;
  int pictures = 0;
  int frameRate = 25;
  std::vector<int16_t> pcm;  // what the stored voice frames decode to, in order
};

struct StreamOptions {
  int width = 320;
  int height = 240;
  int pictures = 50;
  int frameRate = 25;
  int keyInterval = 25;  // pictures between key pictures (H.264)
  bool audio = true;     // two 20 ms G.711 voice frames per picture
  uint32_t firstTimeStamp = 100000;
  int slices = 1;
};

// H.264 through OpenH264: one unit per NAL unit (start code included), type = NAL type.
StoredStream MakeH264Stream(const StreamOptions& options);
// MJPEG: one unit per picture, type 7, whole JPEG pictures.
StoredStream MakeMjpegStream(const StreamOptions& options);

// The native layout: header, units (12-byte headers), and the trailer when withTrailer.
// Index entries for video units of type 7 (also every unit when indexAll).
std::vector<uint8_t> WriteNativeBytes(const StoredStream& s, bool withTrailer, uint8_t codecCode,
                                      bool indexAll = false);
// The native layout written unit by unit, for files too large to build in memory.
class NativeFileWriter {
 public:
  NativeFileWriter(const std::string& path, uint8_t videoCodec, uint8_t audioCodec, int width,
                   int height, int frameRate);
  ~NativeFileWriter();
  NativeFileWriter(const NativeFileWriter&) = delete;
  NativeFileWriter& operator=(const NativeFileWriter&) = delete;
  // Appends a unit; a video unit of type 7 gets an index entry.
  void Add(const StoredUnit& u);
  // Writes the trailer and closes the file; false when any write failed.
  bool Finish();

 private:
  std::FILE* file_ = nullptr;
  int width_, height_;
  uint64_t offset_ = 0;
  std::vector<std::pair<uint64_t, uint32_t>> index_;
  bool ok_ = false;
};

// The legacy layout: 38-byte text, frame rate, units with 8-byte headers, optional trailer
// with 8-byte entries.
std::vector<uint8_t> WriteLegacyBytes(const StoredStream& s, bool withTrailer);
// The AVI layout with the maker text at 336: video chunks "00dc" (whole pictures) and the
// PCM in "01wb" chunks, two per picture, then the index.
std::vector<uint8_t> WriteAviBytes(const StoredStream& s, const char fourcc[4]);

// Records the stream through the library's own recorder (a live client with a fake source,
// KVNET_ClientStartRecord, RecordVideoUnit / RecordAudioUnit, KVNET_ClientStopRecord).
// False when the recording could not be made.
bool RecordWithRecorder(const StoredStream& s, const std::string& path);

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadFileBytes(const std::string& path);

// The PCM samples of a WAV file written by the WAV audio backend.
std::vector<int16_t> ReadWavSamples(const std::string& path);

}  // namespace kv::test
