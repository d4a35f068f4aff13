// CAVSource_File: opening a record file and the four read loops (native, MJPEG, legacy, AVI).
#include "sdk/sources/av_source_file.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "KvNetClient.h"
#include "sdk/media/av_display.h"
#include "sdk/media/conduit.h"
#include "sdk/platform/clock.h"
#include "sdk/platform/debug_output.h"
#include "sdk/record/codec_sniffer.h"
#include "sdk/record/record_format.h"
#include "sdk/state/event_notifier.h"

namespace kv {
namespace {

constexpr size_t kMjpegReadBuffer = 4194304;
constexpr size_t kReadBuffer = 1048576;
constexpr size_t kPcmCapacity = 8192;  // samples
// The replay audio conduit holds 2,048 bytes: PCM goes in pieces that fit beside another.
constexpr size_t kAudioPiece = 1024;
constexpr uint32_t kAudioRetryMs = 10;
constexpr uint32_t kSeekWaitMs = 100;
// Units looked at when the codec has to be recognised from the stored video.
constexpr int kSniffUnits = 256;
constexpr size_t kSniffBytes = 64;

bool BeginsCodedUnit(const uint8_t* data, uint32_t length) {
  if (length >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1) return true;
  return length >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1;
}

// How far apart in time the pieces of one picture may be stored.
constexpr uint32_t kPiecesSpanMs = 1000;

bool IsG711(uint32_t codec) { return codec == ACODEC_G711A || codec == ACODEC_G711U; }

}  // namespace

// A replay source plays a file: it owns no recorders.
CAVSource_File::CAVSource_File() : CAVSource(false) {}

CAVSource_File::~CAVSource_File() {
  Close();
  CloseHandle();
}

IDisplayControl* CAVSource_File::Display() { return m_display ? m_display->Control() : nullptr; }

uint8_t CAVSource_File::sniffUnitsCodec() {
  const size_t headerSize = UnitHeaderSize(m_kind);
  uint64_t pos = kFirstUnitOffset;
  uint8_t bytes[kSniffBytes];
  for (int i = 0; i < kSniffUnits; ++i) {
    UnitHead h;
    if (!readUnitHead(pos, &h)) break;
    if (h.length > m_dataEnd - pos - headerSize) break;
    if (h.kind == kUnitVideo && h.length > 0) {
      const size_t n = std::min<size_t>(h.length, sizeof bytes);
      if (!m_input->ReadExact(pos + headerSize, bytes, n)) break;
      if (const uint8_t codec = SniffVideoCodec(bytes, n)) return codec;
    }
    pos += headerSize + h.length;
  }
  return 0;
}

uint8_t CAVSource_File::sniffAviCodec() {
  uint8_t bytes[kSniffBytes];
  for (uint64_t i = 0; i < std::min<uint64_t>(m_avi.Count(), kSniffUnits); ++i) {
    AviEntry e;
    if (!ReadAviEntry(*m_input, m_avi, m_avi.p0 + i * kAviEntrySize, &e)) break;
    if (e.kind != AviEntryKind::kVideo || e.length == 0 ||
        !AviChunkReadable(e, m_input->Size(), SIZE_MAX)) {
      continue;
    }
    const size_t n = std::min<size_t>(e.length, sizeof bytes);
    if (!m_input->ReadExact(uint64_t{e.offset} + 8, bytes, n)) continue;
    if (const uint8_t codec = SniffVideoCodec(bytes, n)) return codec;
  }
  return 0;
}

bool CAVSource_File::openFile() {
  m_kind = -1;
  m_replayIndex.clear();
  m_indexFromTrailer = false;
  m_dataEnd = 0;
  m_avi = AviIndexLocation{};
  if (m_external != nullptr) {
    m_input = m_external;
  } else {
    if (!m_file.Open(m_link->replayPath)) return false;
    m_input = &m_file;
  }
  RecordDescription d;
  if (!ReadRecordDescription(*m_input, &d)) return false;
  m_kind = d.layout;
  uint8_t codec = 0;
  if (m_kind == kLayoutAvi) {
    m_stream->frameRate = static_cast<int32_t>(std::min<uint32_t>(d.aviRate, INT32_MAX));
    m_replay->totalTime = d.aviRate != 0 ? d.aviFrames / d.aviRate : 0;
    if (!LocateAviIndex(*m_input, &m_avi)) return false;
    if (d.aviWidth != 0 && d.aviHeight != 0) {
      m_stream->width = d.aviWidth;
      m_stream->height = d.aviHeight;
    }
    codec = CodecFromFourCc(d.aviFourCc);
    if (codec == 0) codec = sniffAviCodec();
  } else {
    if (m_kind != kLayoutLegacy) {
      m_stream->audioCodec = d.audioCodec;
      // A size of zero cannot configure a decoder: the defaults stay.
      if (d.width != 0 && d.height != 0) {
        m_stream->width = d.width;
        m_stream->height = d.height;
      }
      m_stream->deviceGeneration = d.deviceGeneration;
    }
    m_stream->frameRate = ReplayFrameRate(d.frameRateByte);
    IndexReadResult index = ReadRecordIndex(*m_input, m_kind);
    if (index.failed) return false;
    m_replayIndex = std::move(index.entries);
    m_indexFromTrailer = index.fromTrailer;
    m_dataEnd = index.dataEnd;
    if (!m_replayIndex.empty()) {
      m_replay->baseTime = m_replayIndex.front().timeStamp;
      m_replay->totalTime = IndexTotalSeconds(m_replayIndex);
      m_replay->curTime = 0;
    }
    codec = IsKnownVideoCodec(d.videoCodec) ? d.videoCodec : sniffUnitsCodec();
    // Whole JPEG pictures are read by the MJPEG loop whatever the descriptor said.
    if (m_kind == kLayoutNative && codec == VCODEC_MJPEG) m_kind = kLayoutNativeMjpeg;
    if (m_kind == kLayoutNativeMjpeg && codec != VCODEC_MJPEG && codec != 0) m_kind = kLayoutNative;
  }
  if (codec == 0) {
    platform::OutputDebugString("replay: the file's video codec is not recognised\n");
    return false;
  }
  m_stream->videoCodec = codec;
  return true;
}

int CAVSource_File::OpenReader() {
  if (!attached() || m_videoConduit == nullptr || m_audioConduit == nullptr) return 0;
  if (!openFile()) {
    m_file.Close();
    return 0;
  }
  // Buffers of the right size from an earlier opening are used again.
  const size_t size = m_kind == kLayoutNativeMjpeg ? kMjpegReadBuffer : kReadBuffer;
  if (!m_readBuffer || m_readBufferSize != size) {
    m_readBufferSize = size;
    m_readBuffer.reset(new (std::nothrow) uint8_t[m_readBufferSize]);
  }
  if (!m_pcm) m_pcm.reset(new (std::nothrow) int16_t[kPcmCapacity]);
  if (!m_readBuffer || !m_pcm) {
    Close();
    return 0;
  }
  rewind();
  return 1;
}

int CAVSource_File::OpenReader(RecordInput& input) {
  m_external = &input;
  const int result = OpenReader();
  if (result == 0) m_external = nullptr;
  return result;
}

int CAVSource_File::Open() {
  if (OpenReader() == 0) return 0;
  m_display.reset(new (std::nothrow) CAVDisplay());
  if (!m_display) {
    Close();
    return 0;
  }
  // The clock is set before the worker starts, so both threads see it without a race.
  m_replay->pacing = PacingClock{m_stream->frameRate.load(), platform::timeGetTime(), 0, -1};
  m_display->Bind(displayBinding());
  if (m_display->SetupDecoder() == 0 || m_display->Start() != 0) {
    m_display->ReleaseDecoder();
    Close();
    return 0;
  }
  return 1;
}

void CAVSource_File::Close() {
  m_display.reset();
  m_file.Close();
  m_input = &m_file;
  m_external = nullptr;
  m_readBuffer.reset();
  m_readBufferSize = 0;
  m_pcm.reset();
}

int CAVSource_File::Stop() {
  if (m_display) m_display->StopWorker();
  return StopAndJoin();
}

const CAVSource_File::UnitLoop& CAVSource_File::unitLoop() const {
  static constexpr UnitLoop kNative{true, false, 5, 20, 1024, 100};
  static constexpr UnitLoop kMjpeg{false, true, 3, 10, 960, 50};
  static constexpr UnitLoop kLegacy{false, false, 5, 20, kPcmCapacity + 1, 50};
  if (m_kind == kLayoutNativeMjpeg) return kMjpeg;
  if (m_kind == kLayoutLegacy) return kLegacy;
  return kNative;
}

void CAVSource_File::rewind() {
  m_g711Mode = 0;
  m_g726Mode = 0;
  m_pendingTimeStamp = 0;
  if (m_kind == kLayoutAvi) {
    m_position = m_avi.p0;
  } else {
    m_position = kFirstUnitOffset;
    if (unitLoop().startAtIndex && !m_replayIndex.empty())
      m_position = m_replayIndex.front().offset;
  }
}

CAVSource_File::Step CAVSource_File::readNext() {
  return m_kind == kLayoutAvi ? readAviEntry(&m_position) : readUnit(unitLoop(), &m_position);
}

void CAVSource_File::endOfData() {
  // The last coded unit has nothing after it to close it.
  if (m_kind != kLayoutAvi && !unitLoop().wholePictures) {
    m_videoConduit->EndFrame(static_cast<int32_t>(m_pendingTimeStamp), frameTag());
  }
  reachEnd();
}

bool CAVSource_File::serveSeek() {
  return m_kind == kLayoutAvi ? serveAviSeek(&m_position)
                              : serveUnitSeek(&m_position, unitLoop().wholePictures);
}

int CAVSource_File::Run() {
  if (!attached() || !m_readBuffer || m_kind < 0) return 0;
  rewind();
  const uint32_t endWaitMs = m_kind == kLayoutAvi ? kSeekWaitMs : unitLoop().endWaitMs;
  const std::function<bool()> seek = [this] { return serveSeek(); };
  bool atEnd = false;
  while (!StopRequested()) {
    if (readNext() == Step::kEnd) {
      endOfData();
      atEnd = true;
      waitAtEnd(endWaitMs, &atEnd, seek);
    } else if (m_replay->seekPending.load() != 0) {
      serveSeek();
    }
  }
  return 0;
}

size_t CAVSource_File::ReadSteps(size_t maxSteps) {
  if (!attached() || !m_readBuffer || m_kind < 0) return 0;
  size_t steps = 0;
  while (steps < maxSteps && !StopRequested()) {
    ++steps;
    if (readNext() == Step::kEnd) {
      endOfData();
      if (m_replay->seekPending.load() == 0 || !serveSeek()) break;
    } else if (m_replay->seekPending.load() != 0) {
      serveSeek();
    }
  }
  return steps;
}

bool CAVSource_File::audioWanted() const {
  return m_sound->on.load() != 0 && m_replay->speed.load() == 0;
}

bool CAVSource_File::writeVideo(const uint8_t* data, uint32_t length, int32_t endOfFrame,
                                int32_t timeStamp, int32_t frameLimit, uint32_t retryMs) {
  CIConduit& v = *m_videoConduit;
  while (true) {
    const int32_t frames = v.GetFrameCount();
    if (frames <= frameLimit) {
      if (v.Write(data, static_cast<int32_t>(length), endOfFrame, timeStamp, frameTag()))
        return true;
      // Refused with no whole frame queued: the ring is full of one unfinished frame that
      // nothing will drain. Closing it lets the worker take (or drop) it.
      if (frames == 0) v.EndFrame(static_cast<int32_t>(m_pendingTimeStamp), frameTag());
    }
    if (StopRequested()) return false;
    // A seek asked for meanwhile is served here. When it moves, this frame is from the old
    // place and is dropped; when it finds nowhere to go, the frame is still the next one.
    if (m_replay->seekPending.load() != 0 && serveSeek()) return false;
    platform::Sleep(retryMs);
  }
}

void CAVSource_File::writeAudio(const uint8_t* pcm, size_t bytes) {
  while (bytes > 0 && !StopRequested()) {
    const size_t piece = std::min(bytes, kAudioPiece);
    while (!m_audioConduit->Write(pcm, static_cast<int32_t>(piece), 0, 0, 0)) {
      if (StopRequested() || m_replay->seekPending.load() != 0 || m_sound->ended.load() != 0) {
        return;
      }
      platform::Sleep(kAudioRetryMs);
    }
    pcm += piece;
    bytes -= piece;
  }
}

void CAVSource_File::playVoice(uint32_t codec, const uint8_t* frame, uint32_t length,
                               size_t sampleLimit) {
  if (m_sound->ended.load() != 0) return;
  const bool g711 = IsG711(codec);
  platform::VoiceCodecState& state = g711 ? m_g711 : m_g726;
  int32_t& mode = g711 ? m_g711Mode : m_g726Mode;
  if (mode != static_cast<int32_t>(codec)) {
    if (platform::HI_VOICE_DecReset(&state, static_cast<int32_t>(codec)) != 0) {
      mode = 0;  // tried again with the next unit
      return;
    }
    mode = static_cast<int32_t>(codec);
  }
  if (!audioWanted()) return;
  if (length < platform::kVoiceFrameHeaderBytes) return;
  const size_t words = (length - platform::kVoiceFrameHeaderBytes) / 2;
  if (platform::VoiceMaxDecodedSamples(static_cast<int32_t>(codec), words) > kPcmCapacity) return;
  uint16_t samples = 0;
  if (platform::HI_VOICE_DecodeFrame(&state, frame, length, m_pcm.get(), kPcmCapacity, &samples) !=
      0) {
    return;
  }
  if (samples == 0 || samples >= sampleLimit) return;
  writeAudio(reinterpret_cast<const uint8_t*>(m_pcm.get()), size_t{samples} * 2);
}

void CAVSource_File::reachEnd() { m_notifier->Notify(KV_EVENT_REPLAY_END, 0); }

void CAVSource_File::waitAtEnd(uint32_t sleepMs, bool* atEnd,
                               const std::function<bool()>& serveSeek) {
  if (m_replay->seekPending.load() != 0 && serveSeek()) *atEnd = false;
  while (*atEnd && !StopRequested()) {
    platform::Sleep(sleepMs);
    if (m_replay->seekPending.load() != 0 && serveSeek()) *atEnd = false;
  }
}

// ---- Native, MJPEG and legacy layouts ----

bool CAVSource_File::readUnitHead(uint64_t offset, UnitHead* head) {
  const size_t headerSize = UnitHeaderSize(m_kind);
  uint8_t bytes[kUnitHeaderSize];
  if (offset > m_dataEnd || m_dataEnd - offset < headerSize ||
      !m_input->ReadExact(offset, bytes, headerSize)) {
    return false;
  }
  *head = DecodeUnitHead(bytes, m_kind);
  return true;
}

bool CAVSource_File::unitContinuesPicture(uint64_t offset) {
  UnitHead h;
  if (!readUnitHead(offset, &h) || h.kind != kUnitVideo || h.length == 0) return false;
  const uint64_t dataAt = offset + UnitHeaderSize(m_kind);
  uint8_t start[4] = {};
  const uint32_t n = h.length < 4 ? h.length : 4;
  if (m_dataEnd - dataAt < n || !m_input->ReadExact(dataAt, start, n)) return false;
  return !BeginsCodedUnit(start, n);
}

bool CAVSource_File::serveUnitSeek(uint64_t* position, bool wholePictures) {
  const uint32_t target = m_replay->seekTarget.load();
  m_replay->curTime = target;
  bool moved = false;
  if (const IndexEntry* e = FindSeekEntry(m_replayIndex, m_replay->baseTime.load(), target)) {
    // Devices mark every piece of a key picture as key, so each piece may have an entry of
    // its own. Starting at a later piece would hand the decoder a frame without its start;
    // step back to the entry of the piece that begins the picture. Only entries close in
    // time belong to the same picture; when no beginning is found among them the entry
    // found first is kept.
    if (!wholePictures) {
      const IndexEntry* begin = e;
      bool continues = unitContinuesPicture(begin->offset);
      while (continues && begin != m_replayIndex.data() &&
             static_cast<uint32_t>(e->timeStamp - (begin - 1)->timeStamp) <= kPiecesSpanMs) {
        --begin;
        continues = unitContinuesPicture(begin->offset);
      }
      if (!continues) e = begin;
    }
    m_videoConduit->Clear();
    m_audioConduit->Clear();
    // What is read from now on is from the new place.
    ++m_replay->seeksServed;
    *position = e->offset;
    moved = true;
  }
  m_replay->seekPending = 0;
  m_replay->changed.Notify();
  return moved;
}

CAVSource_File::Step CAVSource_File::readUnit(const UnitLoop& loop, uint64_t* position) {
  const size_t headerSize = UnitHeaderSize(m_kind);
  const uint64_t pos = *position;
  UnitHead h;
  if (!readUnitHead(pos, &h)) return Step::kEnd;
  // A unit longer than what is left of the units or than the buffer is damage: the end.
  if (h.length > m_dataEnd - pos - headerSize || h.length > m_readBufferSize) return Step::kEnd;
  uint8_t* data = m_readBuffer.get();
  if (h.length != 0 && !m_input->ReadExact(pos + headerSize, data, h.length)) return Step::kEnd;
  *position = pos + headerSize + h.length;

  if (h.kind == kUnitAudio) {
    playVoice(h.type, data, h.length, loop.sampleLimit);
  } else if (h.kind == kUnitVideo && h.length != 0) {
    const int32_t stamp = static_cast<int32_t>(h.timeStamp);
    if (loop.wholePictures) {
      writeVideo(data, h.length, 1, stamp, loop.frameLimit, loop.retryMs);
    } else {
      // A new coded unit closes the one before it, under that one's own time stamp.
      if (BeginsCodedUnit(data, h.length)) {
        m_videoConduit->EndFrame(static_cast<int32_t>(m_pendingTimeStamp), frameTag());
        m_pendingTimeStamp = h.timeStamp;
      }
      writeVideo(data, h.length, 0, stamp, loop.frameLimit, loop.retryMs);
    }
  }
  return Step::kUnit;
}

// ---- AVI layout ----

bool CAVSource_File::serveAviSeek(uint64_t* p) {
  const uint32_t target = m_replay->seekTarget.load();
  m_replay->curTime = target;
  const int64_t k = FindAviSeekEntry(*m_input, m_avi, target, m_stream->videoCodec.load());
  bool moved = false;
  if (k >= 0) {
    m_videoConduit->Clear();
    m_audioConduit->Clear();
    ++m_replay->seeksServed;
    const uint64_t at = m_avi.p0 + static_cast<uint64_t>(k) * kAviEntrySize;
    AviEntry e;
    // The key chunk is shown first; reading goes on right after its entry.
    if (ReadAviEntry(*m_input, m_avi, at, &e) &&
        AviChunkReadable(e, m_input->Size(), m_readBufferSize) &&
        m_input->ReadExact(uint64_t{e.offset} + 8, m_readBuffer.get(), e.length)) {
      m_replay->seekPending = 0;
      m_replay->changed.Notify();
      m_videoConduit->Write(m_readBuffer.get(), static_cast<int32_t>(e.length), 1,
                            static_cast<int32_t>(AviEntryTime(at + kAviEntrySize, m_avi.p0)),
                            frameTag());
    }
    *p = at + kAviEntrySize;
    moved = true;
  }
  m_replay->seekPending = 0;
  m_replay->changed.Notify();
  return moved;
}

CAVSource_File::Step CAVSource_File::readAviEntry(uint64_t* p) {
  AviEntry e;
  if (!ReadAviEntry(*m_input, m_avi, *p, &e)) return Step::kEnd;
  *p += kAviEntrySize;
  if (e.kind == AviEntryKind::kOther) return Step::kUnit;
  // Entries whose chunk leaves the file or the buffer are damage and skipped.
  if (!AviChunkReadable(e, m_input->Size(), m_readBufferSize)) return Step::kUnit;
  if (e.kind == AviEntryKind::kAudio && m_sound->ended.load() != 0) return Step::kUnit;
  uint8_t* data = m_readBuffer.get();
  if (e.length != 0 && !m_input->ReadExact(uint64_t{e.offset} + 8, data, e.length))
    return Step::kEnd;
  if (e.kind == AviEntryKind::kVideo) {
    if (e.length != 0) {
      writeVideo(data, e.length, 1, static_cast<int32_t>(AviEntryTime(*p, m_avi.p0)), INT32_MAX,
                 10);
    }
  } else if (audioWanted()) {
    writeAudio(data, e.length & ~size_t{1});
  }
  return Step::kUnit;
}

}  // namespace kv
