// libavcodec's own complaints stay off the host's standard error: a program that does not bring
// libavcodec itself replays a damaged H.264 recording with nothing on standard error, and with
// KVNET_DEBUG set the complaints come through the debug output instead. A program that brought
// its own libavcodec keeps its log settings.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include "sdk/media/avcodec_loader.h"
#include "sdk/platform/dynamic_library.h"
#include "tests/support/record_writers.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

fs::path BuildDir() { return fs::read_symlink("/proc/self/exe").parent_path().parent_path(); }

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class AvcodecQuiet : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = kv::test::MakeUniqueTempDir("kvnet-quiet-");
    // Every slice refers to a picture parameter set the stream never carries.
    kv::test::StreamOptions o;
    o.pictures = 25;
    o.keyInterval = 25;
    o.audio = false;
    kv::test::StoredStream s = kv::test::MakeH264Stream(o);
    std::erase_if(s.units,
                  [](const kv::test::StoredUnit& u) { return u.kind == 0 && u.type == 8; });
    file_ = dir_ / "damaged.kv";
    ASSERT_TRUE(kv::test::WriteFileBytes(file_.string(), kv::test::WriteNativeBytes(s, true, 96)));
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Replays the file with kvnet (which links only the library); returns its standard error.
  std::string ReplayStderr(bool debug) {
    const fs::path out = dir_ / "out.txt", err = dir_ / "err.txt";
    const std::string command =
        std::string("env -u KVNET_DEBUG ") + (debug ? "KVNET_DEBUG=1 " : "") +
        "KVNET_AUDIO_OUT=null KVNET_WINDOW_SYSTEM=headless timeout 60 " +
        (BuildDir() / "tools/kvnet").string() + " replay " + file_.string() + " --seconds 3 >" +
        out.string() + " 2>" + err.string();
    EXPECT_EQ(std::system(command.c_str()), 0) << ReadText(out) << ReadText(err);
    return ReadText(err);
  }

  fs::path dir_, file_;
};

TEST_F(AvcodecQuiet, ADamagedStreamLeavesStandardErrorEmpty) {
  if (!fs::exists(BuildDir() / "tools/kvnet")) GTEST_SKIP() << "kvnet is not built";
  EXPECT_EQ(ReplayStderr(false), "");
  // The same complaints reach the debug output when it is asked for.
  EXPECT_NE(ReplayStderr(true).find("non-existing PPS"), std::string::npos);
}

TEST(AvcodecLogSettings, AHostThatBroughtLibavcodecKeepsItsOwn) {
  // This program links libavcodec itself.
  ASSERT_GT(avcodec_version(), 0u);
  ASSERT_TRUE(kv::platform::DynamicLibrary::IsLoaded(kv::AvcodecLibraryName()));
  av_log_set_level(AV_LOG_WARNING);
  kv::AvcodecUnload();
  if (!kv::AvcodecLoad(nullptr)) GTEST_SKIP() << "libavcodec does not load";
  EXPECT_EQ(av_log_get_level(), AV_LOG_WARNING);
  av_log_set_level(AV_LOG_INFO);
}

}  // namespace
