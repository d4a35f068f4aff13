// kvdevice's RTSP server seen from outside: ffprobe and ffmpeg (clients nobody here wrote) play
// every video codec over each transport, with and without Digest; a bare-socket client written
// here checks the exchange byte by byte, the RTP it receives and every seeded fault.
#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>

#include "tests/tools/rtsp_bare_client.h"

namespace {

using namespace kvdevice_rtsp_test;
using kv::test::RunCommand;

// ---------------------------------------------------------------------------------------------
// ffprobe and ffmpeg play the stream.

struct PlayCase {
  const char* codec;
  const char* transport;
  bool digest;
  const char* extra;  // packetiser variants: JPEG types, STAP-A, MPEG-4 headers
  const char* audio;
  const char* videoName;
  const char* audioName;
};

void PrintTo(const PlayCase& p, std::ostream* os) {
  *os << p.codec << " " << p.transport << (p.digest ? " digest " : " ") << p.audio << " "
      << p.extra;
}

class KvDeviceRtspPlay : public ::testing::TestWithParam<PlayCase> {};

TEST_P(KvDeviceRtspPlay, FfprobeAndFfmpegDecodeWithoutErrors) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffprobe/ffmpeg are not installed";
  const PlayCase& p = GetParam();
  std::string arguments = std::string("--codec ") + p.codec + " --audio " + p.audio +
                          " --size 320x240 --key-interval 5 --max-payload 1200 " + p.extra;
  if (p.digest) arguments += " --user admin --password s3cret --realm Cam --nonce 0a1b2c";
  Device device(arguments);
  ASSERT_TRUE(device.ok());
  const std::string url = device.url(p.digest ? "admin:s3cret@" : "");
  const std::string input = std::string("-rtsp_transport ") + p.transport + " -i " + url;

  kv::test::CommandResult probe = RunCommand(
      "ffprobe -v error " + input +
          " -show_entries stream=codec_type,codec_name,width,height,sample_rate -of compact",
      60);
  ASSERT_EQ(probe.exitCode, 0) << probe.err;
  EXPECT_NE(probe.out.find(std::string("codec_name=") + p.videoName +
                           "|codec_type=video|width=320|height=240"),
            std::string::npos)
      << probe.out;
  EXPECT_NE(probe.out.find(std::string("codec_name=") + p.audioName +
                           "|codec_type=audio|sample_rate=8000"),
            std::string::npos)
      << probe.out;

  // Every picture and audio frame decodes: ffmpeg reports nothing at level "error".
  kv::test::CommandResult decode =
      RunCommand("ffmpeg -nostdin -v error -xerror " + input + " -frames:v 20 -f null -", 60);
  EXPECT_EQ(decode.exitCode, 0) << decode.err;
  EXPECT_EQ(decode.err, "");

  std::map<std::string, uint64_t> served = device.stop();
  EXPECT_GE(served["sessions"], 2u);
  EXPECT_GT(served["packets"], 20u);
}

INSTANTIATE_TEST_SUITE_P(
    CodecsTransportsAuth, KvDeviceRtspPlay,
    ::testing::Values(
        PlayCase{"h264", "udp", false, "", "g711a", "h264", "pcm_alaw"},
        PlayCase{"h264", "tcp", false, "--rtcp", "g711u", "h264", "pcm_mulaw"},
        PlayCase{"h264", "udp", true, "--stap-a", "g726-32", "h264", "adpcm_g726le"},
        PlayCase{"h264", "tcp", true, "--stap-a --banner none", "g711a", "h264", "pcm_alaw"},
        PlayCase{"mjpeg", "udp", false, "", "g711u", "mjpeg", "pcm_mulaw"},
        PlayCase{"mjpeg", "tcp", false, "--jpeg-sampling 422 --jpeg-restart 5", "g726-16", "mjpeg",
                 "adpcm_g726le"},
        PlayCase{"mjpeg", "udp", true, "--jpeg-sampling 422", "g711a", "mjpeg", "pcm_alaw"},
        PlayCase{"mjpeg", "tcp", true, "--jpeg-restart 2 --jpeg-q 200", "g726-40", "mjpeg",
                 "adpcm_g726le"},
        PlayCase{"mpeg4", "udp", false, "", "g711a", "mpeg4", "pcm_alaw"},
        PlayCase{"mpeg4", "tcp", false, "--mpeg4-config joined", "g726-24", "mpeg4",
                 "adpcm_g726le"},
        PlayCase{"mpeg4", "udp", true, "--mpeg4-config joined --control stream", "g711u", "mpeg4",
                 "pcm_mulaw"},
        PlayCase{"mpeg4", "tcp", true, "--control absolute --banner plain", "g711a", "mpeg4",
                 "pcm_alaw"}),
    [](const ::testing::TestParamInfo<PlayCase>& info) {
      return std::string(info.param.codec) + "_" + info.param.transport +
             (info.param.digest ? "_digest" : "") + "_" + std::to_string(info.index);
    });

TEST(KvDeviceRtsp, WrongCredentialsAreRefusedToFfprobe) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffprobe/ffmpeg are not installed";
  Device device("--user admin --password right");
  ASSERT_TRUE(device.ok());
  kv::test::CommandResult probe =
      RunCommand("ffprobe -v error -rtsp_transport tcp -i " + device.url("admin:wrong@"), 60);
  EXPECT_NE(probe.exitCode, 0);
  EXPECT_NE(probe.err.find("401"), std::string::npos) << probe.err;
}

TEST(KvDeviceRtsp, RefusesBadServerOptions) {
  const std::string device = DeviceBinary() + " --listen 127.0.0.1:0 --quiet ";
  for (const char* bad :
       {"--codec mjpeg --size 100x100", "--refuse DESCRIBE", "--refuse PLAY:99",
        "--session-id 'a;b'", "--expire-sessions", "--user a\\\"b", "--banner other", "--control x",
        "--jpeg-q 100", "--password x", "--jpeg-sampling 444", "--oversize 101"}) {
    EXPECT_EQ(RunCommand(device + bad, 20).exitCode, 2) << bad;
  }
  EXPECT_EQ(RunCommand(DeviceBinary() + " --quiet --listen 127.0.0.1:99999", 20).exitCode, 1);
}

}  // namespace
