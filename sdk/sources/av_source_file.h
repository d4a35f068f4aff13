// CAVSource_File: the source of a replay client. It recognises the record file's layout,
// finds or builds its key-frame index and feeds the stored video and audio into the
// client's conduits in file order; the display worker paces what it is given. Seeking, the
// end of the file and the audio are handled here.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "sdk/platform/voice_codec.h"
#include "sdk/record/avi_reader.h"
#include "sdk/record/record_reader.h"
#include "sdk/sources/av_source.h"

namespace kv {

class CAVDisplay;

class CAVSource_File : public CAVSource {
 public:
  CAVSource_File();
  ~CAVSource_File() override;

  int Open() override;
  void Close() override;
  int Run() override;
  int Stop() override;
  IDisplayControl* Display() override;

  // Open without the display worker: recognises the file, reads its description and index,
  // allocates the buffers and puts the reading position at the start. Open does this first.
  // For tests and fuzzing, with ReadSteps in place of the thread.
  int OpenReader();
  // OpenReader on bytes the caller holds (read in place of the client's replay path; not
  // owned, they must outlive the reading). For fuzzing.
  int OpenReader(RecordInput& input);
  // Runs the read loop on the calling thread for at most maxSteps units (index entries in
  // AVI), serving a pending seek after each; returns early at the end of the file (after
  // serving a seek that was pending there). Writers wait while the video conduit is full, so
  // the conduits must be drained. For tests and fuzzing while the thread is not running.
  size_t ReadSteps(size_t maxSteps);

  // The layout number (RecordLayout), -1 before a successful Open.
  int Kind() const { return m_kind; }
  const std::vector<IndexEntry>& ReplayIndex() const { return m_replayIndex; }
  // How the index was found (tests).
  bool IndexFromTrailer() const { return m_indexFromTrailer; }

 private:
  // Every video frame carries the count of seeks served before it was read.
  int32_t frameTag() const { return m_replay->seeksServed.load(); }
  // What distinguishes the loops over native-style units.
  struct UnitLoop {
    bool startAtIndex;   // native: start at the first index entry
    bool wholePictures;  // MJPEG: every video unit is one picture
    int32_t frameLimit;  // complete frames the video conduit may hold before a write
    uint32_t retryMs;    // sleep between refused video writes
    size_t sampleLimit;  // decoded audio must have fewer samples than this
    uint32_t endWaitMs;  // sleep while at the end of the file
  };
  enum class Step { kUnit, kEnd };

  bool openFile();
  uint8_t sniffUnitsCodec();
  uint8_t sniffAviCodec();
  // The loop settings of the file's layout (unit layouts).
  const UnitLoop& unitLoop() const;
  // Back to the start of the file with fresh audio decoding.
  void rewind();
  // Reads the next unit or index entry at m_position.
  Step readNext();
  // At the end of the data: closes the coded unit being assembled, reports the end.
  void endOfData();
  // Carries out a pending seek for the layout; true when the position moved.
  bool serveSeek();
  Step readUnit(const UnitLoop& loop, uint64_t* position);
  Step readAviEntry(uint64_t* p);
  // Writes to the video conduit once it holds at most frameLimit frames; false when a
  // seek or a stop came first.
  bool writeVideo(const uint8_t* data, uint32_t length, int32_t endOfFrame, int32_t timeStamp,
                  int32_t frameLimit, uint32_t retryMs);
  // Writes PCM to the audio conduit in pieces it can take, retrying while refused.
  void writeAudio(const uint8_t* pcm, size_t bytes);
  void playVoice(uint32_t codec, const uint8_t* frame, uint32_t length, size_t sampleLimit);
  bool audioWanted() const;
  // Carries out a pending seek; true when the position moved.
  bool serveUnitSeek(uint64_t* position, bool wholePictures);
  // Reads and decodes the unit header at `offset`; false when it is not wholly in the units.
  bool readUnitHead(uint64_t offset, UnitHead* head);
  // True when the unit at `offset` is a video piece that does not begin a coded unit.
  bool unitContinuesPicture(uint64_t offset);
  bool serveAviSeek(uint64_t* p);
  void reachEnd();
  void waitAtEnd(uint32_t sleepMs, bool* atEnd, const std::function<bool()>& serveSeek);

  std::vector<IndexEntry> m_replayIndex;
  std::unique_ptr<uint8_t[]> m_readBuffer;
  size_t m_readBufferSize = 0;
  FileRecordInput m_file;
  RecordInput* m_external = nullptr;  // given to OpenReader in place of the file
  RecordInput* m_input = &m_file;     // what is read
  int m_kind = -1;
  bool m_indexFromTrailer = false;
  uint64_t m_dataEnd = 0;
  AviIndexLocation m_avi;
  std::unique_ptr<CAVDisplay> m_display;
  // Audio decoding state of the running loop.
  platform::VoiceCodecState m_g711{};
  platform::VoiceCodecState m_g726{};
  int32_t m_g711Mode = 0;  // mode the state was reset for; 0 not yet
  int32_t m_g726Mode = 0;
  std::unique_ptr<int16_t[]> m_pcm;
  // The frame being assembled in the video conduit (native and legacy).
  uint32_t m_pendingTimeStamp = 0;
  // Where the next unit (or AVI index entry) is read.
  uint64_t m_position = 0;
};

}  // namespace kv
