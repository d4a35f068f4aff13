// CRtspSession against the device simulator's RTSP camera: both transports, Digest accepted and
// refused, answers in pieces, each banner form, letter session ids, a=control tracks and the
// keep-alive; the depacketised pictures are decoded by libjpeg-turbo and ffprobe.
#include "sdk/sources/rtsp_session.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <fstream>

#include "KvNetClient.h"
#include "sdk/sources/rtp_h264.h"
#include "sdk/sources/rtp_jpeg.h"
#include "sdk/sources/rtp_mpeg4.h"
#include "tests/sources/rtp_test_sink.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/rtsp_bare_client.h"

namespace kv::test {
namespace {

using kvdevice_rtsp_test::Device;

RtspSessionConfig ConfigFor(const Device& device, int transport) {
  RtspSessionConfig c;
  c.transport = transport;
  c.host = "127.0.0.1";
  c.port = device.port();
  c.channel = 1;
  return c;
}

// Reads RTP video through the session until `frames` conduit frames were made.
CollectingSink ReceiveFrames(CRtspSession& session, int transport, uint8_t codec, size_t frames) {
  CollectingSink sink;
  RtpH264Depacketizer h264(H264Settings{});
  RtpJpegDepacketizer jpeg(10);
  EXPECT_TRUE(jpeg.Allocate());
  std::vector<uint8_t> buffer(65536);
  for (int packets = 0; packets < 20000 && sink.frames.size() < frames; ++packets) {
    int32_t length = 0;
    if (transport == TRANSPORT_RTSP_TCP) {
      const int channel = session.ReadInterleaved(buffer.data(), &length);
      if (channel < 0) break;
      if (channel != 0) continue;
    } else {
      platform::SocketAddress from;
      const long n = session.VideoSocket().ReceiveFrom(buffer.data(), buffer.size(), &from);
      if (n <= 0) break;
      length = static_cast<int32_t>(n);
    }
    RtpPacket rtp;
    if (!ParseRtpPacket(buffer.data(), static_cast<size_t>(length), &rtp)) continue;
    if (codec == VCODEC_H264) {
      h264.Process(rtp, 0, sink);
    } else if (codec == VCODEC_MJPEG) {
      jpeg.Process(rtp, sink);
    } else {
      ProcessMpeg4Packet(rtp, sink);
    }
  }
  return sink;
}

std::string ProbeStream(const CollectingSink& sink, const std::string& path, size_t skip) {
  std::ofstream out(path, std::ios::binary);
  for (size_t i = skip; i < sink.frames.size(); ++i) {
    out.write(reinterpret_cast<const char*>(sink.frames[i].bytes.data()),
              static_cast<std::streamsize>(sink.frames[i].bytes.size()));
  }
  out.close();
  return RunCommand(
             "ffprobe -v error -count_frames -select_streams v -show_entries "
             "stream=codec_name,width,height,nb_read_frames -of compact " +
                 path,
             60)
      .out;
}

struct PlayCase {
  const char* codec;
  int transport;
  const char* extra;
  uint8_t videoCodec;
  uint8_t audioCodec;
};

class RtspSessionPlay : public ::testing::TestWithParam<PlayCase> {};

TEST_P(RtspSessionPlay, NegotiatesAndDepacketisedPicturesDecode) {
  if (!kvdevice_rtsp_test::HaveFfmpeg()) GTEST_SKIP() << "ffprobe is not installed";
  const PlayCase& p = GetParam();
  Device device(std::string("--codec ") + p.codec + " --size 320x240 --key-interval 5 " + p.extra);
  ASSERT_TRUE(device.ok());
  CRtspSession session(ConfigFor(device, p.transport));
  ASSERT_EQ(session.OpenSockets(), 0);
  ASSERT_EQ(session.StartSession(), 1) << session.Response();
  EXPECT_EQ(session.StreamInfo().videoCodec, p.videoCodec);
  EXPECT_EQ(session.StreamInfo().audioCodec, p.audioCodec);
  EXPECT_TRUE(session.HasAudioTrack());
  EXPECT_FALSE(session.SessionId().empty());

  CollectingSink sink = ReceiveFrames(session, p.transport, p.videoCodec, 40);
  ASSERT_GE(sink.frames.size(), 40u);
  if (p.videoCodec == VCODEC_MJPEG) {
    tjhandle h = tjInitDecompress();
    for (const SinkFrame& f : sink.frames) {
      int w = 0, hh = 0, sub = 0, cs = 0;
      ASSERT_EQ(tjDecompressHeader3(h, f.bytes.data(), f.bytes.size(), &w, &hh, &sub, &cs), 0);
      EXPECT_EQ(w, 320);
      EXPECT_EQ(hh, 240);
      std::vector<uint8_t> rgb(static_cast<size_t>(w) * hh * 3);
      const int r =
          tjDecompress2(h, f.bytes.data(), f.bytes.size(), rgb.data(), w, 0, hh, TJPF_RGB, 0);
      EXPECT_TRUE(r == 0 || tjGetErrorCode(h) == TJERR_WARNING) << tjGetErrorStr2(h);
    }
    tjDestroy(h);
  } else {
    const std::filesystem::path dir = MakeUniqueTempDir("rtsp-session");
    const std::string name = p.videoCodec == VCODEC_H264 ? "stream.h264" : "stream.m4v";
    const std::string probe = ProbeStream(sink, (dir / name).string(), 0);
    std::filesystem::remove_all(dir);
    EXPECT_NE(probe.find("width=320|height=240"), std::string::npos) << probe;
    EXPECT_EQ(probe.find("nb_read_frames=0"), std::string::npos) << probe;
  }
  if (p.transport == TRANSPORT_RTSP_UDP) {
    EXPECT_EQ(session.SetTimeouts(500, 500), 1);
    EXPECT_EQ(session.TearDown(), 1) << session.Response();
  } else {
    EXPECT_EQ(session.TearDownNoReply(), 1);
  }
  session.CloseSockets();
}

INSTANTIATE_TEST_SUITE_P(
    CodecsAndTransports, RtspSessionPlay,
    ::testing::Values(
        PlayCase{"h264", TRANSPORT_RTSP_UDP, "--audio g711a", VCODEC_H264, ACODEC_G711A},
        PlayCase{"h264", TRANSPORT_RTSP_TCP, "--audio g726-32 --stap-a --rtcp", VCODEC_H264,
                 ACODEC_G726_32},
        PlayCase{"mjpeg", TRANSPORT_RTSP_UDP, "--audio g711u --jpeg-restart 4", VCODEC_MJPEG,
                 ACODEC_G711U},
        PlayCase{"mjpeg", TRANSPORT_RTSP_TCP, "--audio g726-16 --jpeg-sampling 422", VCODEC_MJPEG,
                 ACODEC_G726_16},
        PlayCase{"mpeg4", TRANSPORT_RTSP_TCP, "--audio g726-24 --answer-pieces 5", VCODEC_MPEG4,
                 ACODEC_G726_24},
        PlayCase{"mpeg4", TRANSPORT_RTSP_UDP, "--audio g726-40", VCODEC_MPEG4, ACODEC_G726_40}));

TEST(RtspSession, DigestAcceptedAndRefused) {
  Device device("--user admin --password s3cret --realm Cam --nonce 0a1b2c");
  ASSERT_TRUE(device.ok());
  RtspSessionConfig config = ConfigFor(device, TRANSPORT_RTSP_TCP);
  config.user = "admin";
  config.password = "s3cret";
  CRtspSession good(config);
  ASSERT_EQ(good.OpenSockets(), 0);
  EXPECT_EQ(good.StartSession(), 1) << good.Response();
  good.TearDownNoReply();
  config.password = "wrong";
  CRtspSession bad(config);
  ASSERT_EQ(bad.OpenSockets(), 0);
  EXPECT_EQ(bad.StartSession(), -1) << bad.Response();
}

TEST(RtspSession, BannerFormsAndPiecewiseAnswers) {
  struct Case {
    const char* args;
    bool generation, sized;
  } cases[] = {{"--banner v200 --answer-pieces 7", true, true},
               {"--banner plain", false, true},
               {"--banner none --answer-pieces 3", false, false}};
  for (const Case& c : cases) {
    Device device(std::string("--size 640x480 ") + c.args);
    ASSERT_TRUE(device.ok());
    CRtspSession session(ConfigFor(device, TRANSPORT_RTSP_UDP));
    ASSERT_EQ(session.OpenSockets(), 0);
    ASSERT_EQ(session.StartSession(), 1) << c.args << "\n" << session.Response();
    const StreamBanner& b = session.StreamInfo().banner;
    EXPECT_EQ(b.deviceGeneration, c.generation) << c.args;
    EXPECT_EQ(b.sizeStated, c.sized) << c.args;
    if (c.sized) {
      EXPECT_EQ(b.width, 640);
      EXPECT_EQ(b.height, 480);
    }
    EXPECT_GE(session.VideoClientPort(), 1600);
    EXPECT_EQ(session.VideoClientPort() % 2, 0);
    EXPECT_GE(session.AudioClientPort(), 1800);
    session.SetTimeouts(500, 500);
    EXPECT_EQ(session.TearDown(), 1);
  }
}

TEST(RtspSession, LetterSessionIdControlTracksAndKeepAlive) {
  Device device("--session-id ebbd808183bf2276 --session-timeout 4 --control stream");
  ASSERT_TRUE(device.ok());
  CRtspSession session(ConfigFor(device, TRANSPORT_RTSP_UDP));
  uint32_t now = 1000;
  session.SetClock([&now] { return now; });
  ASSERT_EQ(session.OpenSockets(), 0);
  ASSERT_EQ(session.StartSession(), 1) << session.Response();
  EXPECT_EQ(session.SessionId(), "ebbd808183bf2276");
  EXPECT_EQ(session.SessionTimeoutSeconds(), 4u);
  EXPECT_TRUE(session.HasAudioTrack());
  EXPECT_EQ(session.KeepAlive(), 0);
  now += 1999;
  EXPECT_EQ(session.KeepAlive(), 0);
  now += 1;
  EXPECT_EQ(session.KeepAlive(), 1);
  EXPECT_NE(std::string(session.Response()).find("200 OK"), std::string::npos)
      << session.Response();
  EXPECT_EQ(session.KeepAlive(), 0);
  session.SetTimeouts(500, 500);
  EXPECT_EQ(session.TearDown(), 1) << session.Response();
}

TEST(RtspSession, RefusedOrSilentDeviceAndUnresolvableHost) {
  RtspSessionConfig config;
  config.transport = TRANSPORT_RTSP_TCP;
  config.host = "127.0.0.1";
  config.port = FreeTcpPort();
  config.connectTimeoutMs = 1000;
  CRtspSession refused(config);
  ASSERT_EQ(refused.OpenSockets(), 0);
  EXPECT_EQ(refused.StartSession(), 0);
  config.host = "no-such-host.invalid";
  CRtspSession unresolved(config);
  EXPECT_EQ(unresolved.OpenSockets(), -2);
  config.host = "127.0.0.1";
  config.transport = 7;
  CRtspSession wrongKind(config);
  EXPECT_EQ(wrongKind.OpenSockets(), -1);
  config.transport = TRANSPORT_RTSP_TCP;
  config.host = std::string(250, 'a') + ".invalid";
  CRtspSession longUrl(config);
  EXPECT_EQ(longUrl.StartSession(), 0);
}

}  // namespace
}  // namespace kv::test
