// Debugger output capture across threads and formatting of long texts.
#include "sdk/platform/debug_output.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace kv::platform {
namespace {

TEST(DebugOutputTest, CaptureKeepsTextsOnlyWhileAlive) {
  OutputDebugString("before\n");
  std::vector<std::string> texts;
  {
    DebugCapture capture;
    OutputDebugString("first text\n");
    DebugPrintf("value %d of %s\n", 42, "kv");
    OutputDebugString(nullptr);  // ignored
    texts = capture.Texts();
    EXPECT_TRUE(capture.Contains("value 42 of kv"));
    EXPECT_FALSE(capture.Contains("before"));
  }
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "first text\n");
  EXPECT_EQ(texts[1], "value 42 of kv\n");
  DebugCapture later;
  OutputDebugString("after\n");
  EXPECT_FALSE(later.Contains("first text"));
  EXPECT_TRUE(later.Contains("after"));
}

TEST(DebugOutputTest, LongFormattedTextIsNotTruncated) {
  DebugCapture capture;
  const std::string longText(3000, 'x');
  DebugPrintf("<%s>", longText.c_str());
  const auto texts = capture.Texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], "<" + longText + ">");
}

TEST(DebugOutputTest, CollectsFromAllThreads) {
  DebugCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) DebugPrintf("thread %d line %d\n", t, i);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(capture.Texts().size(), 200u);
  EXPECT_TRUE(capture.Contains("thread 3 line 49"));
}

}  // namespace
}  // namespace kv::platform
