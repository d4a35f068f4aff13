// CAVDisplay: decoder set-up and the four decode loops.
#include "sdk/media/av_display.h"

#include <cstring>
#include <mutex>

#include "sdk/core/library.h"
#include "sdk/core/log_writer.h"
#include "sdk/core/net_client.h"
#include "sdk/media/avcodec_loader.h"
#include "sdk/media/ddraw_render.h"
#include "sdk/media/pacing.h"
#include "sdk/platform/clock.h"
#include "sdk/platform/debug_output.h"
#include "sdk/sources/av_source.h"

namespace kv {
namespace {

constexpr size_t kH264FrameBuffer = 1048576;
constexpr size_t kMjpegFrameBuffer = 4194304;
constexpr size_t kMpeg4FrameBuffer = 2097152;
// The largest stream description taken as given: 8K pictures.
constexpr int64_t kMaxAnnouncedSide = 8192;
constexpr int64_t kMaxAnnouncedArea = 8192 * 4320;
constexpr uint32_t kReadTimeoutMs = 60;
constexpr int32_t kLivePacingBitRateLimit = 0x300000;
constexpr uint8_t kNalSps = 7;
constexpr size_t kMpeg4HeaderFrameLimit = 32;

std::mutex gSnapshotMutex;
SnapshotHook& Snapshot() {
  static SnapshotHook hook;
  return hook;
}

// Type of the NAL unit after a frame's 4-byte start code, or 0 for a shorter frame.
uint8_t NalType(const uint8_t* frame, int32_t length) {
  return length > 4 ? static_cast<uint8_t>(frame[4] & 0x1F) : 0;
}

}  // namespace

CAVDisplay::CAVDisplay() { m_captureLock.Initialise(); }

CAVDisplay::~CAVDisplay() {
  StopWorker();
  m_captureLock.Delete();
}

void CAVDisplay::SetSnapshotHook(SnapshotHook hook) {
  std::lock_guard<std::mutex> lock(gSnapshotMutex);
  Snapshot() = std::move(hook);
}

void CAVDisplay::Bind(CNetClient* client) {
  m_client = client;
  m_videoConduit = client->m_videoConduit;
  m_drawCallback = Library().drawCallback.load();
  if (!m_renderer) m_renderer = std::make_unique<CDDrawRender>(client);
  m_renderer->SetDrawCallback(m_drawCallback, client);
  m_renderer->SetRecordingQuery(
      [client] { return client->m_source != nullptr && client->m_source->IsRecording() != 0; });
}

IDisplayControl* CAVDisplay::Control() { return m_renderer ? this : nullptr; }

void CAVDisplay::SetWindow(uint32_t window) { m_renderer->SetWindow(window); }

int CAVDisplay::Refresh() { return m_renderer->Refresh(); }

bool CAVDisplay::live() const { return m_client->m_replay == 0; }

int CAVDisplay::RequestCapture(const char* path) {
  char(&field)[256] = m_client->m_snapshotPath;
  if (path == nullptr || path[0] == '\0') return 0;
  size_t length = 0;
  while (length < sizeof field && path[length] != '\0') ++length;
  if (length == sizeof field) return 0;  // longer than the field: refused, never cut
  platform::FlaggedLock lock(m_captureLock);
  std::memcpy(field, path, length + 1);
  m_captureRequest = 1;
  return 1;
}

bool CAVDisplay::createH264Decoder() {
  LibraryState& lib = Library();
  if (m_useAvcodec) return m_avcodec.Open(&lib.h264DecoderLock);
  platform::H264DecAttributes attributes{};
  attributes.widthInMacroblocks = static_cast<uint32_t>(m_client->m_width.load() / 16 + 1);
  attributes.heightInMacroblocks = static_cast<uint32_t>(m_client->m_height.load() / 16 + 1);
  const int32_t b = m_client->m_bitRate.load();
  attributes.bufferCount = b <= 32 ? 8 : (b >= 256 && b <= 1024 ? 2 : 1);
  platform::FlaggedLock lock(lib.h264DecoderLock);
  m_h264 = platform::Hi264DecCreate(&attributes);
  return m_h264 != nullptr;
}

void CAVDisplay::destroyH264Decoder() {
  LibraryState& lib = Library();
  if (m_avcodec.IsOpen()) m_avcodec.Close(&lib.h264DecoderLock);
  if (m_h264 != nullptr) {
    platform::FlaggedLock lock(lib.h264DecoderLock);
    platform::Hi264DecDestroy(m_h264);
    m_h264 = nullptr;
  }
}

bool CAVDisplay::createMjpegDecoder() {
  platform::MjpegDecAttributes attributes{};
  attributes.width = static_cast<uint32_t>(m_client->m_width.load());
  attributes.height = static_cast<uint32_t>(m_client->m_height.load());
  platform::FlaggedLock lock(Library().mjpegDecoderLock);
  m_mjpeg = platform::HiMJPEGDecCreate(&attributes);
  return m_mjpeg != nullptr;
}

void CAVDisplay::destroyMjpegDecoder() {
  if (m_mjpeg == nullptr) return;
  platform::FlaggedLock lock(Library().mjpegDecoderLock);
  platform::HiMJPEGDecDestroy(m_mjpeg);
  m_mjpeg = nullptr;
}

bool CAVDisplay::rebuildH264Decoder() {
  destroyH264Decoder();
  m_frameBuffer.assign(kH264FrameBuffer, 0);
  return createH264Decoder();
}

int CAVDisplay::SetupDecoder() {
  ReleaseDecoder();
  // Called by the owner before it starts the thread; never by the worker itself.
  m_stop = 0;
  if (m_client == nullptr) return 0;
  switch (m_client->m_videoCodec.load()) {
    case VCODEC_H264:
      m_frameBuffer.assign(kH264FrameBuffer, 0);
      m_useAvcodec = AvcodecLoad(&Library().codecLoaderLock);
      m_decoder = m_useAvcodec ? Decoder::kAvcodec : Decoder::kPlatformH264;
      if (createH264Decoder()) return 1;
      break;
    case VCODEC_MJPEG:
      m_frameBuffer.assign(kMjpegFrameBuffer, 0);
      m_decoder = Decoder::kMjpeg;
      if (createMjpegDecoder()) return 1;
      break;
    case VCODEC_MPEG4: {
      m_frameBuffer.assign(kMpeg4FrameBuffer, 0);
      // The announced size sizes the picture buffer. A size no camera sends (negative, or
      // beyond 8K) counts as missing, so a damaged or hostile stream description cannot make
      // the buffer gigabytes large; a larger picture is then refused by the decoder.
      const int64_t w = m_client->m_width.load(), h = m_client->m_height.load();
      if (w <= 0 || h <= 0 || w > kMaxAnnouncedSide || h > kMaxAnnouncedSide ||
          w * h > kMaxAnnouncedArea) {
        m_client->m_width = 1280;
        m_client->m_height = 720;
      }
      m_pictureBuffer.assign(
          static_cast<size_t>(m_client->m_width.load()) * m_client->m_height.load() * 2, 0);
      m_decoder = Decoder::kMpeg4;
      if (m_xvid.Create()) return 1;
      break;
    }
    default:
      return 0;
  }
  ReleaseDecoder();
  return 0;
}

void CAVDisplay::ReleaseDecoder() {
  std::vector<uint8_t>().swap(m_frameBuffer);
  std::vector<uint8_t>().swap(m_pictureBuffer);
  destroyMjpegDecoder();
  destroyH264Decoder();
  m_xvid.Destroy();
  m_decoder = Decoder::kNone;
}

void CAVDisplay::StopWorker() {
  m_stop = 1;
  if (HasHandle()) {
    WaitForEnd(platform::kInfinite);
    CloseHandle();
  }
  ReleaseDecoder();
}

int CAVDisplay::ThreadMain() {
  ThreadStarted();
  switch (m_decoder) {
    case Decoder::kAvcodec:
      return loopAvcodec();
    case Decoder::kPlatformH264:
      return loopPlatformH264();
    case Decoder::kMjpeg:
      return loopMjpeg();
    case Decoder::kMpeg4:
      return loopMpeg4();
    case Decoder::kNone:
      break;
  }
  return 0;
}

int32_t CAVDisplay::readFrame(int32_t* framesLeft, FrameEntry* entry) {
  *framesLeft = 0;
  entry->length = 0;
  const int32_t size = static_cast<int32_t>(m_frameBuffer.size());
  const int32_t n =
      m_videoConduit->ReadFrame(m_frameBuffer.data(), size, framesLeft, entry, kReadTimeoutMs);
  if (n == 0 && entry->length > size) {
    std::vector<uint8_t> discard(static_cast<size_t>(entry->length));
    m_videoConduit->ReadFrame(discard.data(), entry->length, framesLeft, entry, 0);
    platform::DebugPrintf("video frame of %d bytes dropped: larger than the frame buffer\n",
                          entry->length);
    return 0;
  }
  return n;
}

bool CAVDisplay::pictureTooLarge(int width, int height) {
  const int32_t configuredWidth = m_client->m_width.load();
  const int32_t configuredHeight = m_client->m_height.load();
  if (width <= configuredWidth && height <= configuredHeight) return false;
  WriteLogLine("device %s decoder exception W: %d(%d), H: %d(%d)\r\n", m_client->m_param.address,
               width, configuredWidth, height, configuredHeight);
  return true;
}

void CAVDisplay::showPicture(const uint8_t* y, const uint8_t* u, const uint8_t* v, int yStride,
                             int uvStride, int width, int height) {
  const uint32_t window = m_client->m_videoWindow.load();
  if (m_client->m_view.load() != 1 || window == 0) return;
  m_client->m_drawing = 1;
  // The view may have been switched off between the check and the flag; the stopping caller
  // waits for the flag, so look again before drawing.
  if (m_client->m_view.load() == 1)
    m_renderer->Render(window, y, u, v, yStride, uvStride, width, height);
  m_client->m_drawing = 0;
}

void CAVDisplay::serveCapture(const SnapshotPicture* picture) {
  platform::FlaggedLock lock(m_captureLock);
  if (m_captureRequest.load() == 0) return;
  m_captureRequest = 0;
  SnapshotHook hook;
  {
    std::lock_guard<std::mutex> guard(gSnapshotMutex);
    hook = Snapshot();
  }
  if (hook) {
    hook(m_client->m_snapshotPath, *picture);
  } else {
    SaveSnapshot(m_client->m_snapshotPath, *picture);
  }
}

bool CAVDisplay::replayControl(const SnapshotPicture* picture, const FrameEntry& entry) {
  CNetClient& c = *m_client;
  c.m_curTime = (static_cast<uint32_t>(entry.timestamp) - c.m_baseTime.load()) / 1000u;
  bool waited = false;
  while (c.m_replayState.load() == 1 && m_stop.load() == 0) {
    waited = true;
    if (c.m_seekWhilePaused.load() != 0) {
      c.m_seekWhilePaused = 0;
      for (int i = 0; i < 10 && c.m_seekPending.load() != 0; ++i) platform::Sleep(100);
      break;
    }
    serveCapture(picture);
    platform::Sleep(100);
  }
  if (c.m_replayState.load() == 2) {
    while (true) {
      waited = true;
      if (m_stop.load() != 0) break;
      serveCapture(picture);
      platform::Sleep(100);
      if (c.m_stepRequest.load() != 0) {
        c.m_stepRequest = 0;
        break;
      }
      if (c.m_replayState.load() != 2) break;
    }
  }
  if (waited) {
    c.m_pacing.count = 0;
    c.m_pacing.startTime = PacingNow();
  }
  return waited;
}

void CAVDisplay::afterPicture(const SnapshotPicture& picture, const FrameEntry& entry) {
  m_client->m_drawing = 0;
  serveCapture(&picture);
  ++m_client->m_counters.frameCount;
  if (live()) return;
  replayControl(&picture, entry);
  PaceFrame(m_client->m_speed.load(), m_client->m_pacing);
}

// Live pacing state of one decode loop: depth pacing before each read and the sleep after a
// live picture (the table while catching up, else the frame-rate clock).
struct CAVDisplay::LoopPacing {
  bool depthPacing = false;
  DepthPacer pacer;
  bool catchUp = false;
  int32_t waiting = 0;
  uint32_t last = platform::GetTickCount();
  // The MPEG-4 loop keeps its own interval clock instead of the frame-rate clock.
  bool ownClock = false;
  uint32_t anchor = last;
  uint32_t sinceAnchor = 0;

  // Sets the client's pre-buffer depth to 0 when depth pacing is on.
  LoopPacing(CNetClient& client, bool depth) : depthPacing(depth) {
    if (depthPacing) client.m_preBufferDepth = 0;
  }
  // Sleeps after a decoded live picture. True when it slept by the table (catch-up ends).
  bool afterPicture(PacingClock& clock, int32_t frameRate) {
    const uint32_t now = platform::GetTickCount();
    const bool table = catchUp;
    if (table) {
      const uint32_t ms = LiveCatchUpSleepMs(now, last, static_cast<uint32_t>(waiting));
      if (ms > 0) platform::Sleep(ms);
      catchUp = false;
      anchor = platform::GetTickCount();
      sinceAnchor = 0;
    } else if (ownClock) {
      ++sinceAnchor;
      const int64_t interval = 1000 / frameRate;
      const int64_t delay = interval * sinceAnchor + anchor - now;
      if (delay > 9) platform::Sleep(static_cast<uint32_t>(delay));
    } else {
      PaceFrame(0, clock);
    }
    last = platform::GetTickCount();
    return table;
  }
};

int32_t CAVDisplay::nextFrame(LoopPacing& pacing, uint32_t holdSleepMs, uint32_t emptySleepMs,
                              FrameEntry* entry, int32_t* framesLeft) {
  if (pacing.depthPacing) {
    pacing.waiting = m_videoConduit->GetFrameCount();
    m_client->m_framesWaiting = pacing.waiting;
    pacing.catchUp = true;
    if (!pacing.pacer.ShouldRead(pacing.waiting, m_client->m_preBufferDepth.load())) {
      platform::Sleep(holdSleepMs);
      return 0;
    }
  }
  *entry = FrameEntry{};
  const int32_t n = readFrame(framesLeft, entry);
  if (n == 0) {
    platform::Sleep(emptySleepMs);
    return 0;
  }
  if (!pacing.depthPacing) pacing.catchUp = *framesLeft > 0;
  return n;
}

int CAVDisplay::loopAvcodec() {
  CNetClient& c = *m_client;
  c.m_frameRate = GuardedFrameRate(c.m_frameRate.load());
  c.m_pacing = PacingClock{c.m_frameRate.load(), PacingNow(), 0, -1};
  LoopPacing pacing(c, live() && (c.m_bitRate.load() < kLivePacingBitRateLimit ||
                                  c.m_param.transport == TRANSPORT_UDP));
  bool resyncPending = false;
  while (m_stop.load() == 0) {
    int32_t left = 0;
    FrameEntry entry;
    const int32_t n = nextFrame(pacing, 10, 20, &entry, &left);
    if (n == 0) continue;
    const uint8_t* frame = m_frameBuffer.data();
    if (resyncPending) {
      if (NalType(frame, n) != kNalSps) continue;
      m_avcodec.Flush();
      resyncPending = false;
    }
    if (c.m_view.load() != 1) {
      resyncPending = true;
      c.m_drawing = 0;
      continue;
    }
    if (!m_avcodec.IsOpen()) {
      // The re-creation after the last picture failed: try again before decoding this frame
      // (a parameter set), so a passing failure costs a few frames, not the stream.
      if (!createH264Decoder()) {
        resyncPending = true;
        continue;
      }
      c.m_recreateDecoder = 0;
    }
    DecodedPicture pic;
    if (m_avcodec.Decode(frame, static_cast<size_t>(n), &pic) < 1) continue;
    c.m_decodedWidth = pic.width;
    c.m_decodedHeight = pic.height;
    if (pictureTooLarge(pic.width, pic.height)) return 0;
    if (live() && pacing.afterPicture(c.m_pacing, c.m_frameRate.load())) {
      c.m_pacing.count = 0;
      c.m_pacing.startTime = PacingNow();
    }
    showPicture(pic.y, pic.u, pic.v, pic.yStride, pic.uvStride, pic.width, pic.height);
    afterPicture(
        SnapshotPicture{pic.y, pic.u, pic.v, pic.yStride, pic.uvStride, pic.width, pic.height},
        entry);
    if (c.m_recreateDecoder.load() != 0) {
      destroyH264Decoder();
      // On failure the decoder stays closed and is made again before the next decode.
      if (createH264Decoder()) c.m_recreateDecoder = 0;
      // Either way the new decoder begins at the next parameter set.
      resyncPending = true;
    }
  }
  return 0;
}

int CAVDisplay::loopPlatformH264() {
  CNetClient& c = *m_client;
  c.m_frameRate = GuardedFrameRate(c.m_frameRate.load());
  LoopPacing pacing(c, live() && c.m_bitRate.load() < kLivePacingBitRateLimit);
  bool resyncPending = false;
  while (m_stop.load() == 0) {
    int32_t left = 0;
    FrameEntry entry;
    const int32_t n = nextFrame(pacing, 10, 20, &entry, &left);
    if (n == 0) continue;
    const uint8_t* frame = m_frameBuffer.data();
    if (resyncPending && NalType(frame, n) != kNalSps) continue;
    if (c.m_view.load() != 1) {
      if (m_h264 != nullptr) {
        destroyH264Decoder();
        resyncPending = true;
      }
      c.m_drawing = 0;
      continue;
    }
    if (m_h264 == nullptr) {
      pacing.catchUp = true;
      if (!createH264Decoder()) continue;
      resyncPending = false;
    }
    platform::H264DecPicture pic{};
    int32_t result = platform::Hi264DecFrame(m_h264, frame, static_cast<uint32_t>(n), 0, &pic, 0);
    while (true) {
      if (result == platform::kHi264DecNoPicture) {
        platform::OutputDebugString("HI_H264DEC_NO_PICTURE\n");
        break;
      }
      if (result == platform::kHi264DecHandleError) {
        if (!rebuildH264Decoder()) return 0;
        break;
      }
      if (result != platform::kHi264DecPicture) break;
      const int w = static_cast<int>(pic.width);
      const int h = static_cast<int>(pic.height);
      c.m_decodedWidth = w;
      c.m_decodedHeight = h;
      if (pictureTooLarge(w, h)) break;
      if (live()) pacing.afterPicture(c.m_pacing, c.m_frameRate.load());
      const int ys = static_cast<int>(pic.yStride);
      const int uvs = static_cast<int>(pic.uvStride);
      showPicture(pic.y, pic.u, pic.v, ys, uvs, w, h);
      afterPicture(SnapshotPicture{pic.y, pic.u, pic.v, ys, uvs, w, h}, entry);
      result = platform::Hi264DecFrame(m_h264, nullptr, 0, 0, &pic, 0);
      if (c.m_recreateDecoder.load() != 0) {
        destroyH264Decoder();
        c.m_recreateDecoder = 0;
        if (!createH264Decoder()) {
          if (!rebuildH264Decoder()) return 0;
          break;
        }
      }
      if (m_stop.load() != 0) break;
    }
  }
  return 0;
}

int CAVDisplay::loopMjpeg() {
  CNetClient& c = *m_client;
  c.m_pacing = PacingClock{c.m_frameRate.load(), PacingNow(), 0, -1};
  while (m_stop.load() == 0) {
    int32_t left = 0;
    FrameEntry entry{};
    const int32_t n = readFrame(&left, &entry);
    if (n == 0) {
      platform::Sleep(10);
      continue;
    }
    const int speed = live() ? (left > 1 ? 1 : 0) : c.m_speed.load();
    if (c.m_view.load() != 1) {
      destroyMjpegDecoder();
      c.m_drawing = 0;
      continue;
    }
    if (m_mjpeg == nullptr && !createMjpegDecoder()) continue;
    platform::MjpegDecPicture pic{};
    if (platform::HiMJPEGDecFrame(m_mjpeg, m_frameBuffer.data(), static_cast<uint32_t>(n), 0, &pic,
                                  0) != platform::kMjpegDecOk) {
      continue;
    }
    const int w = static_cast<int>(pic.width);
    const int h = static_cast<int>(pic.height);
    c.m_decodedWidth = w;
    c.m_decodedHeight = h;
    showPicture(pic.y, pic.u, pic.v, static_cast<int>(pic.yStride), static_cast<int>(pic.uvStride),
                w, h);
    // MJPEG pictures count towards the measured picture rate like the other codecs.
    ++c.m_counters.frameCount;
    SnapshotPicture snap{
        pic.y, pic.u, pic.v, static_cast<int>(pic.yStride), static_cast<int>(pic.uvStride), w, h};
    // A capture saves the frame as it came (also while replay is paused or stepping).
    snap.jpeg = m_frameBuffer.data();
    snap.jpegLength = static_cast<size_t>(n);
    serveCapture(&snap);
    PaceFrame(speed, c.m_pacing);
    if (!live()) replayControl(&snap, entry);
  }
  return 0;
}

int CAVDisplay::loopMpeg4() {
  CNetClient& c = *m_client;
  c.m_frameRate = GuardedFrameRate(c.m_frameRate.load());
  LoopPacing pacing(c, live());
  pacing.ownClock = true;
  bool resyncPending = false;
  while (m_stop.load() == 0) {
    int32_t left = 0;
    FrameEntry entry;
    const int32_t n = nextFrame(pacing, 1, 10, &entry, &left);
    if (n == 0) continue;
    if (resyncPending && static_cast<size_t>(n) > kMpeg4HeaderFrameLimit) continue;
    if (c.m_view.load() != 1) {
      if (m_xvid.IsCreated()) {
        m_xvid.Destroy();
        resyncPending = true;
      }
      c.m_drawing = 0;
      continue;
    }
    if (!m_xvid.IsCreated()) {
      pacing.catchUp = true;
      if (m_xvid.Create()) resyncPending = false;
      if (!m_xvid.IsCreated()) continue;
    }
    const int configuredWidth = c.m_width.load() != 0 ? c.m_width.load() : 1280;
    platform::XvidPicture pic;
    if (m_xvid.Decode(m_frameBuffer.data(), static_cast<size_t>(n), m_pictureBuffer.data(),
                      m_pictureBuffer.size(), configuredWidth, &pic) < 0) {
      continue;
    }
    if (pic.type == platform::kXvidTypeVol) {
      c.m_decodedWidth = pic.width;
      c.m_decodedHeight = pic.height;
      continue;
    }
    if (pic.type != platform::kXvidTypeIVop && pic.type != platform::kXvidTypePVop) {
      platform::Sleep(10);
      continue;
    }
    // A frame holding the stream header and a picture reports the picture, so the decoded size
    // is taken from every picture, not only from a header that comes alone.
    c.m_decodedWidth = pic.width;
    c.m_decodedHeight = pic.height;
    if (live()) pacing.afterPicture(c.m_pacing, c.m_frameRate.load());
    showPicture(pic.y, pic.u, pic.v, pic.yStride, pic.uvStride, pic.width, pic.height);
    afterPicture(
        SnapshotPicture{pic.y, pic.u, pic.v, pic.yStride, pic.uvStride, pic.width, pic.height},
        entry);
  }
  return 0;
}

}  // namespace kv
