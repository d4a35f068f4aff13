// kvdevice's RTSP server against a bare client written here that sends the SDK's own request
// templates: the Digest exchange (responses computed by Python's hashlib), banners, session ids,
// the RTP of both transports, and each seeded fault.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>

#include "tests/tools/rtsp_bare_client.h"

namespace {

using namespace kvdevice_rtsp_test;
using kv::test::RunCommand;

std::string PythonDigest(const std::string& user, const std::string& realm,
                         const std::string& password, const std::string& nonce,
                         const std::string& method, const std::string& uri) {
  kv::test::CommandResult r = RunCommand(
      "/usr/bin/python3 -c 'import hashlib,sys; h=lambda t: hashlib.md5(t.encode()).hexdigest(); "
      "a=sys.argv[1:]; print(h(h(a[0]+\":\"+a[1]+\":\"+a[2])+\":\"+a[3]+\":\"+h(a[4]+\":\"+a[5])), "
      "end=\"\")' " +
          user + " " + realm + " " + password + " " + nonce + " " + method + " " + uri,
      20);
  return r.exitCode == 0 ? r.out : std::string();
}

std::string Authorization(const std::string& user, const std::string& realm,
                          const std::string& nonce, const std::string& uri,
                          const std::string& response) {
  return "Authorization: Digest username=\"" + user + "\", realm=\"" + realm + "\", nonce=\"" +
         nonce + "\", uri=\"" + uri + "\", response=\"" + response + "\"\r\n";
}

TEST(KvDeviceRtspExchange, DigestChallengeAndAnswersAsTheClientSendsThem) {
  Device device("--user admin --password 12345 --realm MorvaLinder --nonce 7f3a9c");
  ASSERT_TRUE(device.ok());
  Client c(device.port());
  const std::string url = device.url();
  Received challenge = c.request(Describe(url, 1));
  EXPECT_EQ(challenge.status, 401);
  EXPECT_EQ(challenge.header("CSeq"), "1");
  EXPECT_EQ(challenge.header("WWW-Authenticate"), "Digest realm=\"MorvaLinder\", nonce=\"7f3a9c\"");
  EXPECT_TRUE(challenge.body().empty());

  const std::string describe =
      PythonDigest("admin", "MorvaLinder", "12345", "7f3a9c", "DESCRIBE", url);
  if (describe.empty()) GTEST_SKIP() << "no /usr/bin/python3 to compute the responses with";
  Received answer =
      c.request(Describe(url, 2, Authorization("admin", "MorvaLinder", "7f3a9c", url, describe)));
  ASSERT_EQ(answer.status, 200) << answer.text;
  EXPECT_EQ(answer.header("Content-Type"), "application/sdp");
  EXPECT_NE(answer.body().find("a=rtpmap:96 H264/90000"), std::string::npos);
  EXPECT_LT(answer.text.size(), 2047u) << "the whole answer fits the client's one receive";

  // SETUP names the track URL but signs the base URL, as the client does.
  const std::string setup = PythonDigest("admin", "MorvaLinder", "12345", "7f3a9c", "SETUP", url);
  std::string request = SetupRequest(url, '1', 3, "RTP/AVP/TCP;unicast;interleaved=0-1");
  std::string signedSetup = request;
  signedSetup.insert(signedSetup.find("User-Agent"),
                     Authorization("admin", "MorvaLinder", "7f3a9c", url, setup));
  EXPECT_EQ(c.request(request).status, 401) << "every request after OPTIONS needs credentials";
  Received set = c.request(signedSetup);
  EXPECT_EQ(set.status, 200) << set.text;
  // A response computed for another method is refused.
  std::string replayed = Play(url, 4, SessionOf(set));
  replayed.insert(replayed.find("Rang:"),
                  Authorization("admin", "MorvaLinder", "7f3a9c", url, setup));
  EXPECT_EQ(c.request(replayed).status, 401);
  EXPECT_EQ(c.request(Simple("OPTIONS", url, 5, "")).status, 200);
}

TEST(KvDeviceRtspExchange, BannersSdpAndTrackSetupFollowTheDevice) {
  struct Case {
    const char* arguments;
    const char* server;  // "" = no Server header
  };
  for (Case k : {Case{"--banner v200", "MorvaLinder Rtsp Server V200R001 640*480*15*2048"},
                 Case{"--banner plain", "MorvaLinder Rtsp Server 640*480*15*2048"},
                 Case{"--banner none", ""}}) {
    SCOPED_TRACE(k.arguments);
    Device device(std::string(k.arguments) +
                  " --size 640x480 --fps 15 --bitrate 2048 --codec mjpeg --audio g726-24");
    ASSERT_TRUE(device.ok());
    Client c(device.port());
    Received d = c.request(Describe(device.url(), 1));
    ASSERT_EQ(d.status, 200);
    EXPECT_EQ(d.header("Server"), k.server);
    const std::string sdp = d.body();
    EXPECT_NE(sdp.find("a=rtpmap:26 JPEG/90000"), std::string::npos) << sdp;
    EXPECT_NE(sdp.find("a=rtpmap:97 G726-24/8000"), std::string::npos) << sdp;
    EXPECT_EQ(d.header("Content-Base"), device.url() + "/");
    const size_t first = sdp.find("trackID=");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(sdp[first + 8], '1');
    EXPECT_EQ(sdp[sdp.find("trackID=", first + 1) + 8], '2');
    EXPECT_EQ(c.request(SetupRequest(device.url(), '3', 2, "RTP/AVP/TCP;unicast")).status, 404);
    EXPECT_EQ(c.request(SetupRequest(device.url(), '1', 3, "RTP/AVP;multicast")).status, 461);
    EXPECT_EQ(c.request(Simple("RECORD", device.url(), 4, "")).status, 501);
  }
}

TEST(KvDeviceRtspExchange, SessionIdsAreKeptWholeAndCheckedStrictly) {
  Device device("--session-id 1oU+XFr2jdLKhAIG --session-timeout 60");
  ASSERT_TRUE(device.ok());
  Client c(device.port());
  ASSERT_EQ(c.request(Describe(device.url(), 1)).status, 200);
  Received v = c.request(SetupRequest(device.url(), '1', 2, "RTP/AVP/TCP;unicast;interleaved=0-1"));
  EXPECT_EQ(v.header("Session"), "1oU+XFr2jdLKhAIG;timeout=60");
  EXPECT_EQ(v.header("Transport").rfind("RTP/AVP/TCP;unicast;interleaved=0-1;ssrc=", 0), 0u);
  // A client that keeps only the leading digits of the id is not playing this session.
  EXPECT_EQ(c.request(Play(device.url(), 3, "1")).status, 454);
  EXPECT_EQ(
      c.request(SetupRequest(device.url(), '2', 4, "RTP/AVP/TCP;unicast;interleaved=2-3", "1"))
          .status,
      454);
  Received a = c.request(SetupRequest(device.url(), '2', 5, "RTP/AVP/TCP;unicast;interleaved=2-3",
                                      "1oU+XFr2jdLKhAIG"));
  EXPECT_EQ(a.status, 200);
  Received p = c.request(Play(device.url(), 6, "1oU+XFr2jdLKhAIG"));
  EXPECT_EQ(p.status, 200);
  EXPECT_EQ(p.header("Session"), "1oU+XFr2jdLKhAIG;timeout=60");
  EXPECT_EQ(p.header("CSeq"), "6");
  EXPECT_NE(p.header("RTP-Info").find("url=" + device.url() + "/trackID=1;seq="),
            std::string::npos);
  EXPECT_EQ(c.request(Simple("TEARDOWN", device.url(), 7, "1oU+XFr2jdLKhAIG")).status, 200);
  EXPECT_EQ(c.request(Play(device.url(), 8, "1oU+XFr2jdLKhAIG")).status, 454);

  // Without a configured id every session has its own decimal one.
  Device decimal("");
  ASSERT_TRUE(decimal.ok());
  std::set<std::string> ids;
  for (int i = 0; i < 3; ++i) {
    Client k(decimal.port());
    std::string id = SessionOf(
        k.request(SetupRequest(decimal.url(), '1', 1, "RTP/AVP/TCP;unicast;interleaved=0-1")));
    EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos) << id;
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), 3u);
}

TEST(KvDeviceRtspExchange, InterleavedRtpIsWhatACameraSends) {
  Device device("--codec h264 --audio g711a --key-interval 5 --rtcp --stray-text 0.5");
  ASSERT_TRUE(device.ok());
  Client c(device.port());
  PlayInterleaved(c, device.url(), true);
  std::vector<Received> got = Collect(c, 2000);
  std::vector<Rtp> video, audio;
  int reports = 0, texts = 0;
  for (const Received& r : got) {
    if (!r.packet) {
      EXPECT_EQ(r.status, 200) << r.text;
      ++texts;
      continue;
    }
    if (r.channel == 1 || r.channel == 3) {
      EXPECT_EQ(r.data.size(), 28u);
      EXPECT_EQ(r.data[1], 200) << "sender report";
      ++reports;
      continue;
    }
    std::optional<Rtp> rtp = Rtp::Of(r.data);
    ASSERT_TRUE(rtp);
    ASSERT_TRUE(r.channel == 0 || r.channel == 2) << r.channel;
    (r.channel == 0 ? video : audio).push_back(*rtp);
  }
  EXPECT_GE(reports, 2);
  EXPECT_GE(texts, 2);
  ASSERT_GT(video.size(), 20u);
  ASSERT_GT(audio.size(), 40u);
  EXPECT_EQ(video[0].payload[0] & 0x1F, 7) << "the stream begins with the parameter sets";
  for (size_t i = 1; i < video.size(); ++i) {
    EXPECT_EQ(video[i].sequence, static_cast<uint16_t>(video[i - 1].sequence + 1));
    EXPECT_EQ(video[i].ssrc, video[0].ssrc);
    EXPECT_EQ(video[i].payloadType, 96);
    const uint32_t step = video[i].timestamp - video[i - 1].timestamp;
    EXPECT_TRUE(step == 0 ? !video[i - 1].marker : step == 3600 && video[i - 1].marker)
        << "one time stamp per picture, 90 kHz at 25 fps, marker on its last packet";
  }
  for (size_t i = 1; i < audio.size(); ++i) {
    EXPECT_EQ(audio[i].payloadType, 8);
    EXPECT_EQ(audio[i].payload.size(), 160u);
    EXPECT_EQ(audio[i].timestamp - audio[i - 1].timestamp, 160u);
    EXPECT_EQ(audio[i].sequence, static_cast<uint16_t>(audio[i - 1].sequence + 1));
  }
  EXPECT_NE(audio[0].ssrc, video[0].ssrc);
}

}  // namespace
