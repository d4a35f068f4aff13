// Where the RTP depacketisers put what they make: pieces of conduit frames, record units and the
// raw-video callback for video; decoded samples and voice frames for audio. The RTSP sources
// implement these over their conduits, recorder and client; tests collect what arrives.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv {

// One piece of a record unit.
struct RecordPiece {
  const uint8_t* data = nullptr;
  uint32_t length = 0;
};

// A video unit for the record files: up to three pieces written after one unit header.
struct VideoRecordUnit {
  RecordPiece pieces[3];
  int pieceCount = 0;
  uint32_t length = 0;    // sum of the pieces
  uint32_t type = 0;      // frame type of the unit header (4 bits)
  bool keyPoint = false;  // takes an index entry

  void Add(const uint8_t* data, uint32_t bytes) {
    pieces[pieceCount++] = RecordPiece{data, bytes};
    length += bytes;
  }
};

// What the raw-video callback learns about a unit besides its bytes.
struct RawVideoUnit {
  uint32_t rtpTimestamp = 0;
  uint16_t nalType = 0;
  uint16_t fragment = 0;  // 1: the first fragment of a fragmented unit
};

class IRtpVideoSink {
 public:
  // One Write to the video conduit (time stamp 0); false when the conduit refused it.
  virtual bool WriteVideo(const void* data, int32_t length, int32_t endOfFrame, int32_t tag) = 0;
  // Empties the video conduit.
  virtual void ClearVideo() = 0;
  // Hands a unit to each open record file.
  virtual void RecordVideo(const VideoRecordUnit& unit) = 0;
  // The raw-video callback, when the caller set one.
  virtual bool WantsRawVideo() const = 0;
  virtual void RawVideo(const uint8_t* data, int32_t length, const RawVideoUnit& unit) = 0;

 protected:
  ~IRtpVideoSink() = default;
};

class IRtpAudioSink {
 public:
  // True while the caller wants sound played (samples then go to the audio conduit).
  virtual bool AudioOn() const = 0;
  // Bytes waiting in the audio conduit, emptying it, and one Write of samples.
  virtual int32_t AudioQueued() = 0;
  virtual void ClearAudio() = 0;
  virtual void WriteAudio(const int16_t* samples, int32_t bytes) = 0;
  // Hands one voice frame to each open record file as an audio unit.
  virtual void RecordAudio(uint32_t type, const uint8_t* voiceFrame, uint32_t length,
                           uint32_t rtpTimestamp) = 0;

 protected:
  ~IRtpAudioSink() = default;
};

}  // namespace kv
