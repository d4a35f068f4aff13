// Library-wide settings: start-up, wait times, callbacks and the log file.
#include "sdk/core/library.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "KvNetClient.h"
#include "sdk/state/log_writer.h"
#include "sdk/media/avcodec_loader.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(WaitTimes, ClampsAsDocumented) {
  auto& w = kv::Library().waitTimes;
  EXPECT_EQ(KVNET_SetWaitTime(0, -1, 0), 1);
  EXPECT_EQ(w.connectTimeout.load(), 5);
  EXPECT_EQ(w.retryCount.load(), -1);
  EXPECT_EQ(w.retryInterval.load(), 0);

  EXPECT_EQ(KVNET_SetWaitTime(-3, -2, -1), 1);
  EXPECT_EQ(w.connectTimeout.load(), 5);
  EXPECT_EQ(w.retryCount.load(), 1);
  EXPECT_EQ(w.retryInterval.load(), 10);

  EXPECT_EQ(KVNET_SetWaitTime(7, 0, 3), 1);
  EXPECT_EQ(w.connectTimeout.load(), 7);
  EXPECT_EQ(w.retryCount.load(), 0);
  EXPECT_EQ(w.retryInterval.load(), 3);
  KVNET_SetWaitTime(5, 1, 10);
}

void KVNET_CALL CallbackA(KVNET_HANDLE, int, int, int) {}
void KVNET_CALL CallbackB(KVNET_HANDLE, int, int, int) {}

TEST(Startup, StoresValuesAndInitialisesLocksOnce) {
  auto& lib = kv::Library();
  EXPECT_EQ(KVNET_Startup(1, 2, CallbackA, 4), 1);
  EXPECT_EQ(lib.eventCallback.load(), &CallbackA);
  EXPECT_EQ(lib.startupFirstValue.load(), 1);
  EXPECT_EQ(lib.startupSecondValue.load(), 2);
  EXPECT_EQ(lib.startupFourthValue.load(), 4);
  EXPECT_TRUE(lib.h264DecoderLock.IsInitialised());
  EXPECT_TRUE(lib.mjpegDecoderLock.IsInitialised());
  EXPECT_TRUE(lib.codecLoaderLock.IsInitialised());
  // A second start replaces the values; the locks are not initialised again.
  EXPECT_FALSE(lib.h264DecoderLock.Initialise());
  EXPECT_EQ(KVNET_Startup(9, 8, CallbackB, 7), 1);
  EXPECT_EQ(lib.eventCallback.load(), &CallbackB);
  EXPECT_EQ(lib.startupFirstValue.load(), 9);
  EXPECT_FALSE(lib.mjpegDecoderLock.Initialise());
  KVNET_Startup(0, 0, nullptr, 0);
}

TEST(ProcessCallbacks, SettersReturnWhatTheyStore) {
  auto av = [](KVNET_HANDLE, const uint8_t*, int, const KVNET_FRAME_INFO*, int) {};
  KVNET_AVCallback avCb = av;
  EXPECT_EQ(KVNET_SetAVCallback(avCb), avCb);
  EXPECT_EQ(kv::Library().avCallback.load(), avCb);
  EXPECT_EQ(KVNET_SetAVCallback(nullptr), nullptr);
  EXPECT_EQ(kv::Library().avCallback.load(), nullptr);

  auto draw = [](KVNET_HANDLE, void*, void*) { return 0; };
  KVNET_DrawCallback drawCb = draw;
  EXPECT_EQ(KVNET_SetDrawCallback(drawCb), drawCb);
  EXPECT_EQ(kv::Library().drawCallback.load(), drawCb);
  EXPECT_EQ(KVNET_SetDrawCallback(nullptr), nullptr);
  EXPECT_EQ(KVNET_ClientShowcallback(-1, 0, 12345), 1);
}

class LogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = kv::test::MakeUniqueTempDir("kvnet-log-");
    ASSERT_FALSE(dir_.empty());
    const char* old = std::getenv("XDG_STATE_HOME");
    saved_ = old ? old : "";
    hadSaved_ = old != nullptr;
    setenv("XDG_STATE_HOME", dir_.c_str(), 1);
  }
  void TearDown() override {
    if (hadSaved_) {
      setenv("XDG_STATE_HOME", saved_.c_str(), 1);
    } else {
      unsetenv("XDG_STATE_HOME");
    }
    std::filesystem::remove_all(dir_);
  }
  std::string ReadAll() {
    std::ifstream in(dir_ / "kvnet" / "kv_log.txt", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::filesystem::path dir_;
  std::string saved_;
  bool hadSaved_ = false;
};

// "HH-MM-SS" and two blanks, with a plausible time of day.
bool IsTimePrefix(const std::string& p) {
  auto two = [&](size_t at, int max) {
    return std::isdigit(static_cast<unsigned char>(p[at])) &&
           std::isdigit(static_cast<unsigned char>(p[at + 1])) &&
           (p[at] - '0') * 10 + (p[at + 1] - '0') <= max;
  };
  return p.size() == 10 && two(0, 23) && p[2] == '-' && two(3, 59) && p[5] == '-' && two(6, 60) &&
         p[8] == ' ' && p[9] == ' ';
}

TEST_F(LogFile, LinesCarryTheTimePrefixAndAppend) {
  EXPECT_EQ(kv::LogFilePath(), (dir_ / "kvnet" / "kv_log.txt").string());
  kv::WriteLogLine("device %s decoder exception W: %d(%d), H: %d(%d)\r\n", "10.0.0.9", 704, 720,
                   576, 576);
  kv::WriteLogLine("second %d\r\n", 2);
  const std::string text = ReadAll();
  const std::string first = "device 10.0.0.9 decoder exception W: 704(720), H: 576(576)\r\n";
  const std::string second = "second 2\r\n";
  ASSERT_EQ(text.size(), 10 + first.size() + 10 + second.size()) << text;
  EXPECT_TRUE(IsTimePrefix(text.substr(0, 10))) << text;
  EXPECT_EQ(text.substr(10, first.size()), first);
  EXPECT_TRUE(IsTimePrefix(text.substr(10 + first.size(), 10))) << text;
  EXPECT_EQ(text.substr(20 + first.size()), second);
}

TEST_F(LogFile, KvnetLogPrintsNothingOutsideALine) {
  EXPECT_EQ(KVNET_Log("outside %d", 1), 0);
  EXPECT_EQ(KVNET_Log(nullptr), 0);
  kv::WriteLogLine("x\r\n");
  EXPECT_EQ(KVNET_Log("after"), 0);
  EXPECT_EQ(ReadAll().find("after"), std::string::npos);
  KVNET_Cleanup();  // closes nothing that is open; must not disturb later lines
  kv::WriteLogLine("y\r\n");
  EXPECT_NE(ReadAll().find("  y\r\n"), std::string::npos);
}

TEST_F(LogFile, UnwritableLocationDropsTheLine) {
  std::filesystem::create_directories(dir_);
  // A file where the folder should be: the line cannot be written and is dropped.
  std::ofstream(dir_ / "kvnet") << "not a folder";
  kv::WriteLogLine("dropped\r\n");
  EXPECT_TRUE(std::filesystem::is_regular_file(dir_ / "kvnet"));
}

}  // namespace

namespace {

TEST(Cleanup, UnloadsTheCodecLibrary) {
  if (!kv::AvcodecLoad(&kv::Library().codecLoaderLock)) GTEST_SKIP() << "libavcodec not present";
  EXPECT_TRUE(kv::AvcodecAvailable());
  KVNET_Cleanup();
  EXPECT_FALSE(kv::AvcodecAvailable());
  EXPECT_EQ(kv::AvcodecEntryPoints(), nullptr);
  // A later decoder start loads it again.
  EXPECT_TRUE(kv::AvcodecLoad(&kv::Library().codecLoaderLock));
  KVNET_Cleanup();
}

}  // namespace
