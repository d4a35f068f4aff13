// CAVDisplay: a client's decode worker. It takes whole compressed frames from the video
// conduit, decodes them through the codec's decoder backend (H.264 through libavcodec or the
// platform decoder, MJPEG, MPEG-4), paces them live or for replay and hands each picture to
// the renderer. One loop serves every codec; the backend's traits say where they differ.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "KvNetClient.h"
#include "sdk/media/conduit.h"
#include "sdk/media/display_control.h"
#include "sdk/media/snapshot_writer.h"
#include "sdk/platform/critical_section.h"
#include "sdk/platform/jthread.h"
#include "sdk/state/client_state.h"
#include "sdk/state/stream_counters.h"

namespace kv {

class CDDrawRender;
class IVideoDecoder;
struct DecoderTraits;
class IEventNotifier;

// What a decode worker is given of its client: the groups it reads and writes, the handle for
// the draw callback, the video conduit and whether normal recording is on (the "Rec" mark).
struct DisplayBinding {
  const LinkSettings* link = nullptr;
  StreamDescription* stream = nullptr;
  ViewState* view = nullptr;
  ReplayControl* replay = nullptr;
  StreamCounters* counters = nullptr;
  const IEventNotifier* notifier = nullptr;
  CIConduit* videoConduit = nullptr;
  std::function<bool()> isRecording;
};

// Takes the place of the snapshot writer in tests: called with the snapshot path and the picture
// when a capture is served.
using SnapshotHook = std::function<void(const char* path, const SnapshotPicture& picture)>;

class CAVDisplay : public platform::JThread, public IDisplayControl {
 public:
  CAVDisplay();
  ~CAVDisplay() override;

  // Takes the client's groups, its video conduit and the draw routine; makes the renderer.
  void Bind(const DisplayBinding& binding);
  // Allocates the frame buffer and creates the decoder for the client's codec. 1 or 0.
  int SetupDecoder();
  // Frees the buffers and destroys the decoder.
  void ReleaseDecoder();
  // Stop flag, wait for the thread, close it, release the decoder.
  void StopWorker();
  // Asks the loop to end and wakes a paused or stepping worker.
  void SetStopFlag() {
    m_stop = 1;
    if (m_replay != nullptr) m_replay->changed.Notify();
  }

  // What the display exports reach; null before Bind.
  IDisplayControl* Control();
  CDDrawRender* Renderer() { return m_renderer.get(); }

  // IDisplayControl: the window and redraw go to the renderer. RequestCapture stores the path
  // and asks for the next shown picture (or, while replay is paused or
  // stepping, the picture on show) to be saved there; 0 when the path does not fit its field.
  void SetWindow(uint32_t window) override;
  int Refresh() override;
  int RequestCapture(const char* path) override;
  // Replaces the snapshot writer (none: SaveSnapshot).
  static void SetSnapshotHook(SnapshotHook hook);

 protected:
  int ThreadMain() override;
  // Opens the decoder chosen at set-up. Virtual so that tests can make a creation fail.
  virtual bool createDecoder();

 private:
  struct LoopPacing;

  int decodeLoop();
  // Whether the pictures waiting in the conduit pace this live stream.
  bool depthPacingOn(const DecoderTraits& traits) const;
  // Serves a source's request for a new decoder after a shown picture; false when the worker
  // must end.
  bool serveRecreate(const DecoderTraits& traits, bool* resyncPending);
  // The worker's own full rebuild (frame buffer and decoder). Unlike SetupDecoder it leaves
  // the stop flag alone, so a stop asked for meanwhile still ends the loop.
  bool rebuildDecoder();
  // Takes the next frame into the frame buffer: its length, or 0. A frame too big for the
  // buffer is taken out and dropped so it never blocks the frames behind it.
  int32_t readFrame(int32_t* framesLeft, FrameEntry* entry);
  // Depth pacing, then readFrame. 0 (after sleeping holdSleepMs or emptySleepMs) when there is
  // no frame to handle this time round.
  int32_t nextFrame(LoopPacing& pacing, uint32_t holdSleepMs, uint32_t emptySleepMs,
                    FrameEntry* entry, int32_t* framesLeft);
  // Logs a picture larger than the configured size; true when it is.
  bool pictureTooLarge(int width, int height);
  // Lowers the drawing flag and wakes whoever waits for it.
  void endDrawing();
  void showPicture(const uint8_t* y, const uint8_t* u, const uint8_t* v, int yStride, int uvStride,
                   int width, int height);
  // A capture is requested and the view is on, so it can be served.
  bool captureDue() const;
  // Saves the picture when a capture is requested and the view is on, under the capture lock.
  void serveCapture(const SnapshotPicture* picture);
  // After a shown picture: the capture, the count and, for replay, the controls and the pace.
  // With speedClock the picture is paced at speed, live too.
  void afterPicture(const SnapshotPicture& picture, const FrameEntry& entry, bool speedClock,
                    int speed);
  // Replay time, pause, step; true when it waited.
  bool replayControl(const SnapshotPicture* picture, const FrameEntry& entry);
  bool live() const;

  CIConduit* m_videoConduit = nullptr;
  std::unique_ptr<IVideoDecoder> m_decoder;
  std::atomic<int32_t> m_stop{0};
  std::unique_ptr<CDDrawRender> m_renderer;
  KVNET_DrawCallback m_drawCallback = nullptr;
  const LinkSettings* m_link = nullptr;
  StreamDescription* m_stream = nullptr;
  ViewState* m_view = nullptr;
  ReplayControl* m_replay = nullptr;
  StreamCounters* m_counters = nullptr;
  std::atomic<int32_t> m_captureRequest{0};
  char m_snapshotPath[256]{};  // written under the capture lock
  platform::FlaggedCriticalSection m_captureLock;
  std::vector<uint8_t> m_frameBuffer;
};

}  // namespace kv
