// Tests of the decode worker's control of time and of its decoder: replay step, pause, seek
// while paused and speed levels (counted on a virtual pacing clock), live depth pacing, and
// decoder re-creation (a failed creation, a stop asked for during the worker's own rebuild).
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <vector>

#include "sdk/media/av_display.h"
#include "tests/media/display_worker_fixture.h"

namespace kv {
namespace {

using namespace display_test;  // the shared test bench
using test::EncodedStream;

// ---- Replay control ----

TEST_F(DisplayWorkerTest, ReplayStepLetsOnePictureThroughPerRequest) {
  const EncodedStream s = test::EncodeH264OpenH264({320, 240, 10, 4, 30, 3'000'000});
  SetReplay(0, 2);
  ASSERT_NO_FATAL_FAILURE(StartWorker(VCODEC_H264, 320, 240));
  ASSERT_NO_FATAL_FAILURE(Write(s, 0, s.frames.size()));
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= 1; }));
  SleepMs(300);
  EXPECT_EQ(gDraws.draws.load(), 1);
  for (int step = 1; step <= 3; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    client_.m_replayControl.stepRequest = 1;
    ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= step + 1; }));
    SleepMs(300);
    EXPECT_EQ(gDraws.draws.load(), step + 1);
    EXPECT_EQ(client_.m_replayControl.stepRequest.load(), 0);
    // The replay time follows the time stamps of the frames shown.
    EXPECT_EQ(client_.m_replayControl.curTime.load(), static_cast<uint32_t>(step));
  }
  EXPECT_EQ(gDraws.Numbers(), Range(0, 4));
  client_.m_replayControl.state = 0;
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= 10; }));
  ASSERT_TRUE(WaitProcessed());  // the replay time is set after the picture is drawn
  EXPECT_EQ(gDraws.Numbers(), Range(0, 10));
  EXPECT_EQ(client_.m_replayControl.curTime.load(), 9u);
}

TEST_F(DisplayWorkerTest, ReplayPauseHoldsServesCapturesAndSeeksOnePicture) {
  std::mutex captureMutex;
  std::vector<int> captured;
  CAVDisplay::SetSnapshotHook([&](const char*, const SnapshotPicture& p) {
    std::lock_guard<std::mutex> lock(captureMutex);
    captured.push_back(test::ReadPictureNumber(p.y, p.yStride, p.width, p.height));
  });
  // A key picture every 4.
  const EncodedStream s = test::EncodeH264OpenH264({320, 240, 8, 4, 4, 3'000'000});
  SetReplay(0, 1);
  ASSERT_NO_FATAL_FAILURE(StartWorker(VCODEC_H264, 320, 240));
  // The source has read ahead of the held picture.
  ASSERT_NO_FATAL_FAILURE(Write(s, 0, FirstFrameOf(s, 3)));
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= 1; }));
  SleepMs(300);
  EXPECT_EQ(gDraws.draws.load(), 1);

  // A capture asked for while paused is served with the picture on show.
  ASSERT_EQ(display_.RequestCapture("/nonexistent/unused.jpg"), 1);
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(captureMutex);
    return !captured.empty();
  }));
  {
    std::lock_guard<std::mutex> lock(captureMutex);
    EXPECT_EQ(captured, std::vector<int>{0});
  }

  // Seek while paused: the worker waits while the seek is pending, shows the picture the seek
  // lands on (the key picture 4), not one read ahead before it, and holds again.
  const auto asked = Clock::now();
  AskSeekWhilePaused();
  SleepMs(150);
  const int drawsWhilePending = gDraws.draws.load();
  // The worker gives a pending seek at most a second; only a check made within it can tell.
  if (Clock::now() - asked < std::chrono::milliseconds(900)) {
    EXPECT_EQ(drawsWhilePending, 1);
  }
  ServeSeek(s, FirstFrameOf(s, 4), s.frames.size());
  ASSERT_TRUE(WaitFor([&] { return gDraws.Numbers().back() == 4; }));
  SleepMs(400);
  EXPECT_EQ(gDraws.Numbers().back(), 4);
  EXPECT_EQ(client_.m_replayControl.seekWhilePaused.load(), 0);
  EXPECT_EQ(client_.m_replayControl.curTime.load(), 4u);

  client_.m_replayControl.state = 0;
  ASSERT_TRUE(WaitFor([&] { return gDraws.Numbers().back() == 7; }));
  const std::vector<int> numbers = gDraws.Numbers();
  // Within the second the worker gives the seek, nothing read ahead is shown.
  if (drawsWhilePending == 1) {
    EXPECT_EQ(numbers, (std::vector<int>{0, 4, 5, 6, 7}));
  }
  EXPECT_EQ(std::vector<int>(numbers.end() - 4, numbers.end()), (std::vector<int>{4, 5, 6, 7}));
}

TEST_F(DisplayWorkerTest, ReplaySeekServedBeforeThePausedWorkersFirstPictureHoldsTheLanding) {
  // A key picture every 4.
  const EncodedStream s = test::EncodeH264OpenH264({320, 240, 8, 4, 4, 3'000'000});
  SetReplay(0, 1);
  ASSERT_NO_FATAL_FAILURE(StartWorker(VCODEC_H264, 320, 240));
  // Opened paused and sought before anything was shown: the first picture the worker gets is
  // already from the new place, and it is the one held.
  AskSeekWhilePaused();
  ServeSeek(s, FirstFrameOf(s, 4), s.frames.size());
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= 1; }));
  SleepMs(400);
  EXPECT_EQ(gDraws.Numbers(), std::vector<int>{4});
  EXPECT_EQ(client_.m_replayControl.curTime.load(), 4u);
  EXPECT_EQ(client_.m_replayControl.seekWhilePaused.load(), 0);
}

TEST_F(DisplayWorkerTest, ReplaySeekServedLateStillMovesThePausedPicture) {
  // A key picture every 4.
  const EncodedStream s = test::EncodeH264OpenH264({320, 240, 8, 4, 4, 3'000'000});
  SetReplay(0, 1);
  ASSERT_NO_FATAL_FAILURE(StartWorker(VCODEC_H264, 320, 240));
  ASSERT_NO_FATAL_FAILURE(Write(s, 0, FirstFrameOf(s, 3)));
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= 1; }));
  // The source takes longer than the second the worker gives a seek: the worker lets one
  // picture from the old place through and holds it ...
  AskSeekWhilePaused();
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= 2; }));
  SleepMs(200);
  EXPECT_EQ(gDraws.Numbers(), (std::vector<int>{0, 1}));
  // ... and once the seek is served, that picture is from before it: the landing is shown.
  ServeSeek(s, FirstFrameOf(s, 4), s.frames.size());
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= 3; }));
  SleepMs(400);
  EXPECT_EQ(gDraws.Numbers(), (std::vector<int>{0, 1, 4}));
  EXPECT_EQ(client_.m_replayControl.curTime.load(), 4u);
}

TEST_F(DisplayWorkerTest, ReplaySpeedScalesThePictureRate) {
  SetPacingTimerForTest(&pacingTimer_);
  const EncodedStream s = test::EncodeH264OpenH264({320, 240, 40, 1, 40, 1'000'000});
  client_.m_stream.frameRate = 10;
  SetReplay(0, 0);
  ASSERT_NO_FATAL_FAILURE(StartWorker(VCODEC_H264, 320, 240));
  ASSERT_NO_FATAL_FAILURE(Write(s, 0, FirstFrameOf(s, 20)));
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= 20; }));
  // Speed 2 from picture 20 on; the pause after picture 19 may take either level.
  client_.m_replayControl.speed = 2;
  ASSERT_NO_FATAL_FAILURE(Write(s, FirstFrameOf(s, 20), s.frames.size()));
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= 40; }));
  EXPECT_EQ(gDraws.Numbers(), Range(0, 40));
  const std::vector<uint32_t> times = gDraws.PacingTimes();
  // 10 pictures a second: 100 ms apart; four times the rate: 25 ms.
  EXPECT_EQ(Intervals(times, 1, 20), std::vector<uint32_t>(19, 100));
  EXPECT_EQ(Intervals(times, 21, 40), std::vector<uint32_t>(19, 25));
}

// With the real clock the pacing really waits: however late a picture comes, none is shown
// before its time on the frame-rate clock (a bound that load cannot break).
TEST_F(DisplayWorkerTest, ReplayNeverRunsAheadOfTheFrameRate) {
  const EncodedStream s = test::EncodeH264OpenH264({320, 240, 8, 1, 8, 1'000'000});
  client_.m_stream.frameRate = 20;
  SetReplay(0, 0);
  ASSERT_NO_FATAL_FAILURE(StartWorker(VCODEC_H264, 320, 240));
  ASSERT_NO_FATAL_FAILURE(Write(s, 0, s.frames.size()));
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= 8; }));
  // The clock starts after picture 0; picture 7 is due 7 x 50 ms later (1 ms of rounding).
  const auto shown =
      std::chrono::duration_cast<std::chrono::milliseconds>(gDraws.TimeOf(7) - gDraws.TimeOf(0));
  EXPECT_GE(shown.count(), 7 * 50 - 1);
}

// ---- Decoder re-creation ----

// A stop that lands while the worker rebuilds its decoder after a failed re-creation: the
// worker must not clear it, or StopWorker (and so KVNET_ClientStop) waits for ever.
TEST_F(DisplayWorkerTest, AStopAskedForDuringTheWorkersOwnRebuildEndsTheWorker) {
  const EncodedStream s = test::EncodeH264OpenH264({320, 240, 10, 1, 5, 1'000'000});
  ASSERT_NO_FATAL_FAILURE(StartWorker(VCODEC_H264, 320, 240, /*avcodec=*/false));
  ASSERT_NO_FATAL_FAILURE(Write(s, 0, FirstFrameOf(s, 2)));
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= 2; }));
  ASSERT_TRUE(WaitProcessed());
  // The re-creation after the next picture fails just as the owner asks the worker to stop.
  display_.FailNextCreation([&] { display_.SetStopFlag(); });
  client_.m_viewState.recreateDecoder = 1;
  ASSERT_NO_FATAL_FAILURE(Write(s, FirstFrameOf(s, 2), s.frames.size()));
  EXPECT_EQ(display_.WaitForEnd(10000), platform::kWaitObject0)
      << "the worker cleared the stop it was asked for and kept running";
  EXPECT_EQ(display_.failures(), 1);
}

// The source asks for a new decoder (as the RTSP receivers do after a refused write) and the
// creation fails once: libavcodec decoding resumes at the next parameter set instead of
// failing every frame from then on.
TEST_F(DisplayWorkerTest, AFailedDecoderRecreationCostsFramesNotTheStream) {
  const EncodedStream s = test::EncodeH264OpenH264({320, 240, 30, 2, 10, 2'000'000});
  ASSERT_NO_FATAL_FAILURE(StartWorker(VCODEC_H264, 320, 240, /*avcodec=*/true));
  ASSERT_NO_FATAL_FAILURE(Write(s, 0, FirstFrameOf(s, 10)));
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= 10; }));
  ASSERT_TRUE(WaitProcessed());
  display_.FailNextCreation();
  client_.m_viewState.recreateDecoder = 1;
  // Picture 10 is decoded with the old decoder; the re-creation after it fails.
  ASSERT_NO_FATAL_FAILURE(Write(s, FirstFrameOf(s, 10), s.frames.size()));
  ASSERT_TRUE(WaitFor([&] { return gDraws.draws.load() >= 21; }))
      << "shown " << gDraws.draws.load() << " pictures; decoding never resumed";
  ASSERT_TRUE(WaitProcessed());
  std::vector<int> expected = Range(0, 11);
  for (int p = 20; p < 30; ++p) expected.push_back(p);
  EXPECT_EQ(gDraws.Numbers(), expected);
  EXPECT_EQ(display_.failures(), 1);
  EXPECT_EQ(client_.m_viewState.recreateDecoder.load(), 0);
}

// ---- Live depth pacing ----

TEST_F(DisplayWorkerTest, LiveWorkerReadsOnlyWhatTheQueueDepthAllows) {
  const EncodedStream s = test::EncodeH264OpenH264({320, 240, 4, 4, 30, 3'000'000});
  ASSERT_GE(s.frames.size(), 10u);
  client_.m_stream.frameRate = 45;
  ASSERT_NO_FATAL_FAILURE(StartWorker(VCODEC_H264, 320, 240));
  // Nothing queued: the worker counts the queue but never reads.
  ASSERT_TRUE(WaitFor([&] { return counting_.frameCountCalls.load() >= 5; }));
  SleepMs(100);
  EXPECT_EQ(counting_.readCalls.load(), 0);
  EXPECT_EQ(client_.m_viewState.framesWaiting.load(), 0);
  EXPECT_EQ(client_.m_stream.frameRate.load(), 30);

  // A pre-buffer depth of 20 (as a source sets for a low-rate stream): an emptied conduit is
  // refilled to half that depth before reading resumes.
  client_.m_viewState.preBufferDepth = 20;
  int polls = counting_.frameCountCalls.load();
  ASSERT_TRUE(WaitFor([&] { return counting_.frameCountCalls.load() >= polls + 3; }));
  ASSERT_NO_FATAL_FAILURE(Write(s, 0, 9));
  polls = counting_.frameCountCalls.load();
  ASSERT_TRUE(WaitFor([&] { return counting_.frameCountCalls.load() >= polls + 5; }));
  EXPECT_EQ(counting_.readCalls.load(), 0);
  EXPECT_EQ(client_.m_viewState.framesWaiting.load(), 9);
  ASSERT_NO_FATAL_FAILURE(Write(s, 9, 10));
  // Ten waiting: read down to one frame, which is held back again.
  ASSERT_TRUE(WaitFor([&] { return counting_.framesRead.load() >= 9; }));
  polls = counting_.frameCountCalls.load();
  ASSERT_TRUE(WaitFor([&] { return counting_.frameCountCalls.load() >= polls + 5; }));
  EXPECT_EQ(counting_.framesRead.load(), 9);
  EXPECT_EQ(client_.m_viewState.framesWaiting.load(), 1);
  EXPECT_EQ(buffer_.GetFrameCount(), 1);
}

}  // namespace
}  // namespace kv
