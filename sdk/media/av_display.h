// CAVDisplay: a client's decode worker. It takes whole compressed frames from the video
// conduit, decodes them (H.264 through libavcodec or the platform decoder, MJPEG, MPEG-4),
// paces them live or for replay and hands each picture to the renderer.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "KvNetClient.h"
#include "sdk/core/display_control.h"
#include "sdk/media/avcodec_h264.h"
#include "sdk/media/conduit.h"
#include "sdk/media/snapshot_writer.h"
#include "sdk/platform/critical_section.h"
#include "sdk/platform/hi264_dec.h"
#include "sdk/platform/hi_mjpeg_dec.h"
#include "sdk/platform/jthread.h"
#include "sdk/platform/xvid_dec.h"

namespace kv {

class CDDrawRender;
class CNetClient;

// Takes the place of the snapshot writer in tests: called with the snapshot path and the picture
// when a capture is served.
using SnapshotHook = std::function<void(const char* path, const SnapshotPicture& picture)>;

class CAVDisplay : public platform::JThread, public IDisplayControl {
 public:
  CAVDisplay();
  ~CAVDisplay() override;

  // Takes the client, its video conduit and the draw routine; gives the renderer the client.
  void Bind(CNetClient* client);
  // Allocates the frame buffer and creates the decoder for the client's codec. 1 or 0.
  int SetupDecoder();
  // Frees the buffers and destroys the decoder.
  void ReleaseDecoder();
  // Stop flag, wait for the thread, close it, release the decoder.
  void StopWorker();
  void SetStopFlag() { m_stop = 1; }

  // What the display exports reach; null before Bind.
  IDisplayControl* Control();
  CDDrawRender* Renderer() { return m_renderer.get(); }

  // IDisplayControl: the window and redraw go to the renderer. RequestCapture stores the path
  // in the client and asks for the next shown picture (or, while replay is paused or
  // stepping, the picture on show) to be saved there; 0 when the path does not fit its field.
  void SetWindow(uint32_t window) override;
  int Refresh() override;
  int RequestCapture(const char* path) override;
  // Replaces the snapshot writer (none: SaveSnapshot).
  static void SetSnapshotHook(SnapshotHook hook);

 protected:
  int ThreadMain() override;
  // Creates the H.264 decoder of the kind chosen at set-up (libavcodec or the platform one).
  // Virtual so that tests can make a creation fail.
  virtual bool createH264Decoder();

 private:
  enum class Decoder { kNone, kAvcodec, kPlatformH264, kMjpeg, kMpeg4 };
  struct LoopPacing;

  int loopAvcodec();
  int loopPlatformH264();
  int loopMjpeg();
  int loopMpeg4();

  void destroyH264Decoder();
  // The worker's own full rebuild (frame buffer and H.264 decoder, same kind). Unlike
  // SetupDecoder it leaves the stop flag alone, so a stop asked for meanwhile still ends the
  // loop.
  bool rebuildH264Decoder();
  bool createMjpegDecoder();
  void destroyMjpegDecoder();
  // Takes the next frame into the frame buffer: its length, or 0. A frame too big for the
  // buffer is taken out and dropped so it never blocks the frames behind it.
  int32_t readFrame(int32_t* framesLeft, FrameEntry* entry);
  // Depth pacing, then readFrame. 0 (after sleeping holdSleepMs or emptySleepMs) when there is
  // no frame to handle this time round.
  int32_t nextFrame(LoopPacing& pacing, uint32_t holdSleepMs, uint32_t emptySleepMs,
                    FrameEntry* entry, int32_t* framesLeft);
  // Logs a picture larger than the configured size; true when it is.
  bool pictureTooLarge(int width, int height);
  void showPicture(const uint8_t* y, const uint8_t* u, const uint8_t* v, int yStride, int uvStride,
                   int width, int height);
  // Saves the picture when a capture is requested, under the capture lock.
  void serveCapture(const SnapshotPicture* picture);
  // Shared tail of the H.264 and MPEG-4 loops after a shown picture.
  void afterPicture(const SnapshotPicture& picture, const FrameEntry& entry);
  // Replay time, pause, step; true when it waited.
  bool replayControl(const SnapshotPicture* picture, const FrameEntry& entry);
  bool live() const;

  CIConduit* m_videoConduit = nullptr;
  Decoder m_decoder = Decoder::kNone;
  std::atomic<int32_t> m_stop{0};
  std::unique_ptr<CDDrawRender> m_renderer;
  KVNET_DrawCallback m_drawCallback = nullptr;
  CNetClient* m_client = nullptr;
  std::atomic<int32_t> m_captureRequest{0};
  platform::FlaggedCriticalSection m_captureLock;
  std::vector<uint8_t> m_frameBuffer;
  std::vector<uint8_t> m_pictureBuffer;
  AvcodecH264Decoder m_avcodec;
  platform::Hi264DecHandle m_h264 = nullptr;
  platform::HiMjpegDecHandle m_mjpeg = nullptr;
  platform::XvidDecoder m_xvid;
  bool m_useAvcodec = false;
};

}  // namespace kv
