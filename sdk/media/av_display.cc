// CAVDisplay: decoder set-up and the decode loop every codec runs.
#include "sdk/media/av_display.h"

#include <cstring>
#include <mutex>

#include "sdk/media/avcodec_loader.h"
#include "sdk/media/ddraw_render.h"
#include "sdk/media/pacing.h"
#include "sdk/media/video_decoder.h"
#include "sdk/platform/clock.h"
#include "sdk/platform/debug_output.h"
#include "sdk/state/event_notifier.h"
#include "sdk/state/library_state.h"
#include "sdk/state/log_writer.h"

namespace kv {
namespace {

constexpr uint32_t kReadTimeoutMs = 60;
constexpr int32_t kLivePacingBitRateLimit = 0x300000;
constexpr uint8_t kNalSps = 7;
// An MPEG-4 frame no longer than this may be a stream header alone, where decoding resumes.
constexpr size_t kMpeg4HeaderFrameLimit = 32;
// The pause after a picture of a kind that is not shown.
constexpr uint32_t kNotShownSleepMs = 10;
// While paused or stepping, a capture request is served at least this often.
constexpr uint32_t kPausedCapturePeriodMs = 100;
// How long a seek asked for while paused is waited for.
constexpr uint32_t kSeekWhilePausedWaitMs = 1000;

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

void CAVDisplay::Bind(const DisplayBinding& binding) {
  m_link = binding.link;
  m_stream = binding.stream;
  m_view = binding.view;
  m_replay = binding.replay;
  m_counters = binding.counters;
  m_videoConduit = binding.videoConduit;
  m_drawCallback = Library().drawCallback.load();
  if (!m_renderer) m_renderer = std::make_unique<CDDrawRender>(m_view, binding.notifier);
  // The caller's draw callback gets the client's handle as its context, as it always has.
  m_renderer->SetDrawCallback(m_drawCallback,
                              binding.notifier != nullptr ? binding.notifier->Handle() : nullptr);
  m_renderer->SetRecordingQuery(binding.isRecording);
}

IDisplayControl* CAVDisplay::Control() { return m_renderer ? this : nullptr; }

void CAVDisplay::SetWindow(uint32_t window) { m_renderer->SetWindow(window); }

int CAVDisplay::Refresh() { return m_renderer->Refresh(); }

bool CAVDisplay::live() const { return m_link->replay == 0; }

int CAVDisplay::RequestCapture(const char* path) {
  char(&field)[256] = m_snapshotPath;
  if (path == nullptr || path[0] == '\0') return 0;
  size_t length = 0;
  while (length < sizeof field && path[length] != '\0') ++length;
  if (length == sizeof field) return 0;  // longer than the field: refused, never cut
  platform::FlaggedLock lock(m_captureLock);
  std::memcpy(field, path, length + 1);
  m_captureRequest = 1;
  // A paused or stepping worker serves it now rather than at the end of its period.
  if (m_replay != nullptr) m_replay->changed.Notify();
  return 1;
}

bool CAVDisplay::createDecoder() { return m_decoder->Open(); }

bool CAVDisplay::rebuildDecoder() {
  m_decoder->Close();
  m_frameBuffer.assign(m_decoder->Traits().frameBufferSize, 0);
  return createDecoder();
}

int CAVDisplay::SetupDecoder() {
  ReleaseDecoder();
  // Called by the owner before it starts the thread; never by the worker itself.
  m_stop = 0;
  if (m_stream == nullptr) return 0;
  const uint8_t codec = m_stream->videoCodec.load();
  const bool useAvcodec = codec == VCODEC_H264 && AvcodecLoad(&Library().codecLoaderLock);
  m_decoder = MakeVideoDecoder(codec, useAvcodec, *m_stream);
  if (!m_decoder) return 0;
  m_frameBuffer.assign(m_decoder->Traits().frameBufferSize, 0);
  m_decoder->Prepare();
  if (createDecoder()) return 1;
  ReleaseDecoder();
  return 0;
}

void CAVDisplay::ReleaseDecoder() {
  std::vector<uint8_t>().swap(m_frameBuffer);
  m_decoder.reset();
}

void CAVDisplay::StopWorker() {
  SetStopFlag();
  if (HasHandle()) {
    WaitForEnd(platform::kInfinite);
    CloseHandle();
  }
  ReleaseDecoder();
}

int CAVDisplay::ThreadMain() {
  ThreadStarted();
  return m_decoder ? decodeLoop() : 0;
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
  const int32_t configuredWidth = m_stream->width.load();
  const int32_t configuredHeight = m_stream->height.load();
  if (width <= configuredWidth && height <= configuredHeight) return false;
  WriteLogLine("device %s decoder exception W: %d(%d), H: %d(%d)\r\n", m_link->param.address, width,
               configuredWidth, height, configuredHeight);
  return true;
}

void CAVDisplay::showPicture(const uint8_t* y, const uint8_t* u, const uint8_t* v, int yStride,
                             int uvStride, int width, int height) {
  const uint32_t window = m_view->videoWindow.load();
  if (m_view->view.load() != 1 || window == 0) return;
  m_view->drawing = 1;
  // The view may have been switched off between the check and the flag; the stopping caller
  // waits for the flag, so look again before drawing.
  if (m_view->view.load() == 1)
    m_renderer->Render(window, y, u, v, yStride, uvStride, width, height);
  endDrawing();
}

void CAVDisplay::endDrawing() {
  if (m_view->drawing.exchange(0) != 0) m_view->drawingEnded.Notify();
}

bool CAVDisplay::captureDue() const {
  return m_captureRequest.load() != 0 && m_view->view.load() == 1;
}

void CAVDisplay::serveCapture(const SnapshotPicture* picture) {
  platform::FlaggedLock lock(m_captureLock);
  if (m_captureRequest.load() == 0) return;
  // With the view off nothing is on show: the request waits for the next picture shown once
  // the view is back (a picture drawn just before the view stopped is not the next one).
  // Read under the lock the request was stored under, so a request made after the view was
  // stopped always finds it stopped.
  if (m_view->view.load() != 1) return;
  m_captureRequest = 0;
  SnapshotHook hook;
  {
    std::lock_guard<std::mutex> guard(gSnapshotMutex);
    hook = Snapshot();
  }
  if (hook) {
    hook(m_snapshotPath, *picture);
  } else {
    SaveSnapshot(m_snapshotPath, *picture);
  }
}

bool CAVDisplay::replayControl(const SnapshotPicture* picture, const FrameEntry& entry) {
  ReplayControl& r = *m_replay;
  const uint32_t shownAt = (static_cast<uint32_t>(entry.timestamp) - r.baseTime.load()) / 1000u;
  r.curTime = shownAt;
  bool waited = false;
  // The source tags each frame with the number of seeks it had served when it read it, so a
  // picture from before the latest seek is told from one read after it.
  const auto beforeSeek = [&] { return entry.tag != r.seeksServed.load(); };
  while (r.state.load() == 1 && m_stop.load() == 0) {
    waited = true;
    if (r.seekWhilePaused.load() != 0 || beforeSeek()) {
      r.seekWhilePaused = 0;
      r.changed.WaitFor(kSeekWhilePausedWaitMs, [&] { return r.seekPending.load() == 0; });
      // A picture read after the seek was served is from the new place (or the seek found
      // no place to go and the picture stays): it is the one to hold, and the position is
      // its own again. Any other is let go, and the source's next picture is held instead.
      if (r.seekPending.load() == 0 && !beforeSeek()) {
        r.curTime = shownAt;
        continue;
      }
      break;
    }
    serveCapture(picture);
    // Within the capture period a request, a seek, a continue or a stop wakes the worker.
    r.changed.WaitFor(kPausedCapturePeriodMs, [&] {
      return r.state.load() != 1 || m_stop.load() != 0 || r.seekWhilePaused.load() != 0 ||
             beforeSeek() || captureDue();
    });
  }
  if (r.state.load() == 2) {
    while (true) {
      waited = true;
      if (m_stop.load() != 0) break;
      serveCapture(picture);
      r.changed.WaitFor(kPausedCapturePeriodMs, [&] {
        return r.stepRequest.load() != 0 || r.state.load() != 2 || m_stop.load() != 0 ||
               captureDue();
      });
      if (r.stepRequest.load() != 0) {
        r.stepRequest = 0;
        break;
      }
      if (r.state.load() != 2) break;
    }
  }
  if (waited) {
    r.pacing.count = 0;
    r.pacing.startTime = PacingNow();
  }
  return waited;
}

void CAVDisplay::afterPicture(const SnapshotPicture& picture, const FrameEntry& entry,
                              bool speedClock, int speed) {
  endDrawing();
  serveCapture(&picture);
  ++m_counters->frameCount;
  if (speedClock) {
    // Paced at the given speed (live too), then the replay controls.
    PaceFrame(speed, m_replay->pacing);
    if (!live()) replayControl(&picture, entry);
    return;
  }
  if (live()) return;
  replayControl(&picture, entry);
  PaceFrame(m_replay->speed.load(), m_replay->pacing);
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
  LoopPacing(ViewState& view, bool depth) : depthPacing(depth) {
    if (depthPacing) view.preBufferDepth = 0;
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
    m_view->framesWaiting = pacing.waiting;
    pacing.catchUp = true;
    if (!pacing.pacer.ShouldRead(pacing.waiting, m_view->preBufferDepth.load())) {
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

namespace {

// True when decoding may begin again at this frame.
bool BeginsStream(DecoderTraits::Resync rule, const uint8_t* frame, int32_t length) {
  switch (rule) {
    case DecoderTraits::Resync::kParameterSet:
      return NalType(frame, length) == kNalSps;
    case DecoderTraits::Resync::kHeaderFrame:
      return static_cast<size_t>(length) <= kMpeg4HeaderFrameLimit;
    case DecoderTraits::Resync::kAnyFrame:
      break;
  }
  return true;
}

}  // namespace

bool CAVDisplay::depthPacingOn(const DecoderTraits& traits) const {
  if (!live()) return false;
  const bool belowLimit = m_stream->bitRate.load() < kLivePacingBitRateLimit;
  switch (traits.depthPacing) {
    case DecoderTraits::DepthPacing::kNever:
      return false;
    case DecoderTraits::DepthPacing::kBelowBitRateLimit:
      return belowLimit;
    case DecoderTraits::DepthPacing::kBelowLimitOrUdp:
      return belowLimit || m_link->param.transport == TRANSPORT_UDP;
    case DecoderTraits::DepthPacing::kAlways:
      return true;
  }
  return false;
}

int CAVDisplay::decodeLoop() {
  const DecoderTraits& t = m_decoder->Traits();
  if (t.guardFrameRate) m_stream->frameRate = GuardedFrameRate(m_stream->frameRate.load());
  if (t.resetClockAtStart) {
    m_replay->pacing = PacingClock{m_stream->frameRate.load(), PacingNow(), 0, -1};
  }
  LoopPacing pacing(*m_view, depthPacingOn(t));
  pacing.ownClock = t.livePacing == DecoderTraits::LivePacing::kIntervalClock;
  bool resyncPending = false;
  while (m_stop.load() == 0) {
    int32_t left = 0;
    FrameEntry entry;
    const int32_t n = nextFrame(pacing, t.holdSleepMs, t.emptySleepMs, &entry, &left);
    if (n == 0) continue;
    const uint8_t* frame = m_frameBuffer.data();
    if (resyncPending) {
      if (!BeginsStream(t.resync, frame, n)) continue;
      if (t.flushAtResync) {
        m_decoder->Flush();
        resyncPending = false;
      }
    }
    if (m_view->view.load() != 1) {
      switch (t.viewOff) {
        case DecoderTraits::ViewOff::kKeepAndResync:
          resyncPending = true;
          break;
        case DecoderTraits::ViewOff::kCloseAndResync:
          if (m_decoder->IsOpen()) {
            m_decoder->Close();
            resyncPending = true;
          }
          break;
        case DecoderTraits::ViewOff::kClose:
          m_decoder->Close();
          break;
      }
      endDrawing();
      continue;
    }
    if (!m_decoder->IsOpen()) {
      // Closed while the view was off, or a re-creation after the last picture failed: made
      // again before this frame is decoded, so a passing failure costs a few frames, not the
      // stream.
      if (t.catchUpOnOpen) pacing.catchUp = true;
      if (!createDecoder()) {
        resyncPending = true;
        continue;
      }
      resyncPending = false;
      if (t.recreate == DecoderTraits::Recreate::kRetryBeforeNextDecode)
        m_view->recreateDecoder = 0;
    }
    // A live picture of the speed-clock kind is paced at speed 1 while frames wait.
    const int speed = live() ? (left > 1 ? 1 : 0) : m_replay->speed.load();
    VideoPicture pic;
    DecodeStatus status = m_decoder->Decode(frame, static_cast<size_t>(n), &pic);
    while (true) {
      if (status == DecodeStatus::kBroken) {
        if (!rebuildDecoder()) return 0;
        break;
      }
      if (status == DecodeStatus::kHeader) {
        m_view->decodedWidth = pic.width;
        m_view->decodedHeight = pic.height;
        break;
      }
      if (status == DecodeStatus::kNotShown) {
        platform::Sleep(kNotShownSleepMs);
        break;
      }
      if (status != DecodeStatus::kPicture) break;
      m_view->decodedWidth = pic.width;
      m_view->decodedHeight = pic.height;
      if (m_stream->sizeFromPicture.exchange(0) != 0) {
        m_stream->width = pic.width;
        m_stream->height = pic.height;
      }
      if (t.oversize != DecoderTraits::Oversize::kShow && pictureTooLarge(pic.width, pic.height)) {
        if (t.oversize == DecoderTraits::Oversize::kEndWorker) return 0;
        break;
      }
      if (live() && t.livePacing != DecoderTraits::LivePacing::kSpeedClock &&
          pacing.afterPicture(m_replay->pacing, m_stream->frameRate.load()) &&
          t.resetClockAfterCatchUp) {
        m_replay->pacing.count = 0;
        m_replay->pacing.startTime = PacingNow();
      }
      showPicture(pic.y, pic.u, pic.v, pic.yStride, pic.uvStride, pic.width, pic.height);
      SnapshotPicture snap{pic.y, pic.u, pic.v, pic.yStride, pic.uvStride, pic.width, pic.height};
      if (t.keepsCodedFrame) {
        // A capture saves the frame as it came (also while replay is paused or stepping).
        snap.jpeg = frame;
        snap.jpegLength = static_cast<size_t>(n);
      }
      afterPicture(snap, entry, t.livePacing == DecoderTraits::LivePacing::kSpeedClock, speed);
      if (t.drains) status = m_decoder->Drain(&pic);
      if (m_view->recreateDecoder.load() != 0) {
        if (!serveRecreate(t, &resyncPending)) return 0;
        // What the old decoder still held went with it: nothing more is drained.
        break;
      }
      if (!t.drains || m_stop.load() != 0) break;
    }
  }
  return 0;
}

bool CAVDisplay::serveRecreate(const DecoderTraits& t, bool* resyncPending) {
  switch (t.recreate) {
    case DecoderTraits::Recreate::kIgnore:
      return true;
    case DecoderTraits::Recreate::kRetryBeforeNextDecode:
      m_decoder->Close();
      // On failure the decoder stays closed and is made again before the next decode.
      if (createDecoder()) m_view->recreateDecoder = 0;
      // Either way the new decoder begins at the next parameter set.
      *resyncPending = true;
      return true;
    case DecoderTraits::Recreate::kRebuildOnFailure:
      m_decoder->Close();
      m_view->recreateDecoder = 0;
      if (!createDecoder() && !rebuildDecoder()) return false;
      return true;
  }
  return true;
}

}  // namespace kv
