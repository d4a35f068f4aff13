// "kvnet replay" of a recording made with "kvnet live": positions, the end event, the time
// limit, a missing file, and single keys typed on a pseudo-terminal.
#include <gtest/gtest.h>

#include "tests/tools/kvnet_harness.h"

namespace kv::kvnet_test {
namespace {

TEST_F(KvnetTest, ReplayPlaysARecordingToItsEndOrStopsAtTheTimeLimit) {
  const fs::path record = Record(4);
  ASSERT_FALSE(record.empty());
  const int length = IndexLengthSeconds(record);
  ASSERT_GE(length, 2) << "a 4 s recording";

  const fs::path output = dir_.path() / "replay.out";
  {
    Child kvnet({KvnetBinary(), "replay", record.string()}, liveEnv_, output);
    const std::optional<int> status = kvnet.Wait(milliseconds(length * 1000 + 15000));
    ASSERT_TRUE(status.has_value()) << "kvnet replay did not end\n" << ReadFile(output);
    EXPECT_EQ(*status, 0) << ReadFile(output);
  }
  std::string text = ReadFile(output);
  EXPECT_EQ(text.find("keys:"), std::string::npos) << "standard input is not a terminal";
  std::vector<Position> positions = Positions(text);
  ASSERT_GE(positions.size(), 2u) << text;
  for (size_t i = 0; i < positions.size(); ++i) {
    EXPECT_EQ(positions[i].length, length) << "line " << i << "\n" << text;
    EXPECT_LE(positions[i].seconds, positions[i].length) << "line " << i;
    if (i > 0) {
      EXPECT_GE(positions[i].seconds, positions[i - 1].seconds) << "line " << i;
    }
  }
  EXPECT_EQ(positions.back().seconds, length) << "the replay ends at the end\n" << text;
  EXPECT_EQ(CountOf(text, "event: REPLAY_END\n"), 1u) << text;
  EXPECT_LT(text.find("event: REPLAY_END\n"), text.find("replay: end of the file")) << text;
  EXPECT_NE(text.find("end of file reached"), std::string::npos) << text;

  // A quarter of normal speed, stopped after one second: far from the end.
  {
    Child kvnet({KvnetBinary(), "replay", record.string(), "--seconds", "1", "--speed", "-2"},
                liveEnv_, output);
    const std::optional<int> status = kvnet.Wait(milliseconds(10000));
    ASSERT_TRUE(status.has_value()) << "kvnet replay --seconds 1 did not end\n" << ReadFile(output);
    EXPECT_EQ(*status, 0) << ReadFile(output);
  }
  text = ReadFile(output);
  EXPECT_NE(text.find("replay: speed level -2 (x1/4)"), std::string::npos) << text;
  EXPECT_NE(text.find("replay: 1 s are up"), std::string::npos) << text;
  EXPECT_EQ(text.find("REPLAY_END"), std::string::npos) << text;
  positions = Positions(text);
  ASSERT_GE(positions.size(), 2u) << text;
  EXPECT_LT(positions.back().seconds, length) << text;
}

TEST_F(KvnetTest, ReplayOfAMissingFileExitsOne) {
  const fs::path output = dir_.path() / "replay.out";
  Child kvnet({KvnetBinary(), "replay", "/nonexistent/none.rec"}, liveEnv_, output);
  const std::optional<int> status = kvnet.Wait(milliseconds(5000));
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 1) << ReadFile(output);
  EXPECT_NE(ReadFile(output).find("replay: cannot open /nonexistent/none.rec"), std::string::npos)
      << ReadFile(output);
}

TEST_F(KvnetTest, ReplayTakesSingleKeysFromATerminalAndRestoresIt) {
  // Long enough that a 10 s jump from the start lands before the end.
  const fs::path record = Record(15);
  ASSERT_FALSE(record.empty());
  const int length = IndexLengthSeconds(record);
  ASSERT_GE(length, 11);
  // A loaded machine may lose a key picture while recording, so where a 10 s jump lands is
  // read from the file's own index.
  const int landing = SeekLandingSeconds(record, 10);
  ASSERT_GE(landing, 10);
  const std::string total = "/" + MinutesSeconds(length);
  const milliseconds timeout(5000);
  // Waits for a position line printed after the first `after` ones that is at least `at` s.
  auto waitForPosition = [&](PtyChild& child, size_t after, int at) {
    const auto deadline = Clock::now() + milliseconds(15000);
    do {
      const std::vector<Position> positions = Positions(child.Output());
      for (size_t i = after; i < positions.size(); ++i) {
        if (positions[i].seconds >= at) return true;
      }
      std::this_thread::sleep_for(milliseconds(20));
    } while (Clock::now() < deadline);
    return false;
  };

  {
    // --snapshot saves the picture held by the pause; 'c' saves another beside it.
    const fs::path first = dir_.path() / "paused.jpg";
    const fs::path keyed = dir_.path() / "kvnet-snapshot-1.jpg";
    PtyChild kvnet(
        {KvnetBinary(), "replay", record.string(), "--paused", "--snapshot", first.string()},
        liveEnv_);
    ASSERT_TRUE(kvnet.WaitFor("keys: ", timeout)) << kvnet.Output();
    const tcflag_t raw = kvnet.LocalModes();
    EXPECT_EQ(raw & (ICANON | ECHO), 0u) << "keys come without Enter and are not echoed";
    EXPECT_NE(raw & ISIG, 0u) << "Ctrl-C must still interrupt";
    // Paused: the position stays at the start for a second.
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(kvnet.WaitFor("replay: 00:00" + total + "\n", timeout)) << kvnet.Output();
    }
    EXPECT_NE(kvnet.Output().find("snapshot: " + first.string() + " ("), std::string::npos)
        << kvnet.Output();
    kvnet.Send("c");
    ASSERT_TRUE(kvnet.WaitFor("key: snapshot\n", timeout)) << kvnet.Output();
    ASSERT_TRUE(kvnet.WaitFor("snapshot: " + keyed.string() + " (", timeout)) << kvnet.Output();
    ExpectSnapshot(first, 352, 288);
    ExpectSnapshot(keyed, 352, 288);
    kvnet.Send("+");
    EXPECT_TRUE(kvnet.WaitFor("key: faster: speed level 1 (x2)\n", timeout)) << kvnet.Output();
    kvnet.Send("0");
    EXPECT_TRUE(kvnet.WaitFor("key: normal speed\n", timeout)) << kvnet.Output();
    const size_t beforeJump = Positions(kvnet.Output()).size();
    kvnet.Send(".");
    ASSERT_TRUE(kvnet.WaitFor("key: seek forward to 00:10" + total + "\n", timeout))
        << kvnet.Output();
    EXPECT_TRUE(waitForPosition(kvnet, beforeJump, 10)) << "the position after the jump\n"
                                                        << kvnet.Output();
    kvnet.Send(" ");
    ASSERT_TRUE(kvnet.WaitFor("key: continue\n", timeout)) << kvnet.Output();
    // Playing on from the jump. (A paused worker waits a second for the jump; on a machine
    // loaded enough it shows one more picture from before it first, and the position only
    // comes back once playing.)
    const size_t playing = Positions(kvnet.Output()).size();
    EXPECT_TRUE(waitForPosition(kvnet, playing, 10)) << kvnet.Output();
    kvnet.Send("q");
    EXPECT_TRUE(kvnet.WaitFor("key: quit\n", timeout)) << kvnet.Output();
    const std::optional<int> status = kvnet.Wait(milliseconds(10000));
    ASSERT_TRUE(status.has_value()) << "q did not end the replay\n" << kvnet.Output();
    EXPECT_EQ(*status, 0) << kvnet.Output();
    EXPECT_EQ(kvnet.LocalModes() & (ICANON | ECHO), ICANON | ECHO) << "terminal not restored";
    const std::vector<Position> positions = Positions(kvnet.Output());
    ASSERT_GE(positions.size(), 4u) << kvnet.Output();
    for (const Position& p : positions) {
      EXPECT_EQ(p.length, length);
      EXPECT_LE(p.seconds, p.length);
    }
    EXPECT_GE(positions.back().seconds, 10) << kvnet.Output();
  }

  // At the fastest level '+' reports the limit; the arrow keys seek; an unknown key shows the
  // keys again; Ctrl-C typed on the terminal ends the replay and the terminal gets its mode back.
  PtyChild kvnet({KvnetBinary(), "replay", record.string(), "--paused", "--speed", "4"}, liveEnv_);
  ASSERT_TRUE(kvnet.WaitFor("keys: ", timeout)) << kvnet.Output();
  kvnet.Send("+");
  EXPECT_TRUE(kvnet.WaitFor("key: faster: at the limit, speed level 4 (x16)\n", timeout))
      << kvnet.Output();
  kvnet.Send("\x1b[C");
  EXPECT_TRUE(kvnet.WaitFor("key: seek forward to 00:10" + total + "\n", timeout))
      << kvnet.Output();
  kvnet.Send("\x1b[D");
  // Back 10 s from the position: 00:00 from 00:10 while the seek is pending (or from a picture
  // shown from before the jump, when the paused worker's second of waiting ran out), or from
  // the key picture the jump landed on once it is shown; either may come first.
  ASSERT_TRUE(kvnet.WaitFor("key: seek back to ", timeout)) << kvnet.Output();
  const bool backToStart =
      kvnet.Output().find("key: seek back to 00:00" + total + "\n") != std::string::npos;
  const bool backFromLanding =
      kvnet.Output().find("key: seek back to " + MinutesSeconds(landing - 10) + total + "\n") !=
      std::string::npos;
  EXPECT_TRUE(backToStart || backFromLanding) << "the jump lands at " << landing << " s\n"
                                              << kvnet.Output();
  kvnet.Send("x");
  EXPECT_TRUE(kvnet.WaitFor("keys: ", timeout)) << kvnet.Output();
  kvnet.Send("\x03");
  EXPECT_TRUE(kvnet.WaitFor("replay: interrupted\n", timeout)) << kvnet.Output();
  const std::optional<int> status = kvnet.Wait(milliseconds(10000));
  ASSERT_TRUE(status.has_value()) << "Ctrl-C did not end the replay\n" << kvnet.Output();
  EXPECT_EQ(*status, 0) << kvnet.Output();
  EXPECT_EQ(kvnet.LocalModes() & (ICANON | ECHO), ICANON | ECHO) << "terminal not restored";
  EXPECT_EQ(CountOf(kvnet.Output(), "key: "), 3u) << "one line per key\n" << kvnet.Output();
}

}  // namespace
}  // namespace kv::kvnet_test
