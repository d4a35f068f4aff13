// The session's pure parts: request templates to the byte, Digest, answer parsing (banners,
// challenge, tracks, codecs, session ids, message length), a=control resolution and interleaved
// framing over a stream handed out in small pieces.
#include <gtest/gtest.h>

#include <cstring>

#include "KvNetClient.h"
#include "sdk/sources/digest_auth.h"
#include "sdk/sources/interleaved_reader.h"
#include "sdk/sources/rtsp_answer.h"
#include "sdk/sources/rtsp_requests.h"
#include "sdk/sources/sdp_description.h"

namespace kv {
namespace {

TEST(RtspRequests, TemplatesAndDigest) {
  const std::string url = RtspUrl("127.0.0.1", 554, 1);
  EXPECT_EQ(url, "rtsp://127.0.0.1:554/1");
  EXPECT_EQ(DescribeRequest(url, 1),
            "DESCRIBE rtsp://127.0.0.1:554/1 RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n"
            "User-Agent: Morvalinder Client\r\n\r\n");
  // Computed independently (Python's hashlib) for admin / Cam / s3cret / 0a1b2c.
  EXPECT_EQ(DigestResponse("admin", "Cam", "s3cret", "0a1b2c", "DESCRIBE", url),
            "44bb8e713934fc38e9779e8e44e69395");
  RtspCredentials c{true, "admin", "s3cret", "Cam", "0a1b2c"};
  const std::string auth = AuthorizationLine(c, "DESCRIBE", url);
  EXPECT_EQ(
      DescribeWithCredentials(url, 2, "admin", "Cam", "0a1b2c", "44bb8e713934fc38e9779e8e44e69395"),
      "DESCRIBE rtsp://127.0.0.1:554/1 RTSP/1.0\r\nCSeq: 2\r\nAccept: application/sdp\r\n" + auth +
          "User-Agent: Morvalinder Client\r\n\r\n");
  EXPECT_EQ(SetupRequest(url + "/trackID=1", 3, "", UdpTransportLine(1602), ""),
            "SETUP rtsp://127.0.0.1:554/1/trackID=1 RTSP/1.0\r\nCSeq: 3\r\n"
            "Transport: RTP/AVP;unicast;client_port=1602-1603\r\n"
            "User-Agent: Morvalinder Client\r\n\r\n");
  EXPECT_EQ(SetupRequest(url + "/trackID=2", 4, "5678", TcpTransportLine(true), ""),
            "SETUP rtsp://127.0.0.1:554/1/trackID=2 RTSP/1.0\r\nCSeq: 4\r\nSession: 5678\r\n"
            "Transport: RTP/AVP/TCP;unicast;interleaved=2-3\r\n"
            "User-Agent: Morvalinder Client\r\n\r\n");
  EXPECT_EQ(PlayRequest(url, 5, "5678", ""),
            "PLAY rtsp://127.0.0.1:554/1 RTSP/1.0\r\nCSeq: 5\r\nSession: 5678\r\n"
            "Rang: npt=0.000-\r\nUser-Agent: Morvalinder Client\r\n\r\n");
  EXPECT_EQ(SessionRequest("TEARDOWN", url, 6, "5678", ""),
            "TEARDOWN rtsp://127.0.0.1:554/1 RTSP/1.0\r\nCSeq: 6\r\nSession: 5678\r\n"
            "User-Agent: Morvalinder Client\r\n\r\n");
  EXPECT_EQ(AuthorizationLine(RtspCredentials{}, "PLAY", url), "");
}

TEST(RtspAnswer, BannersChallengeTracksAndCodecs) {
  StreamBanner b;
  ParseBannerFirstForm(
      "RTSP/1.0 200 OK\r\nServer: MorvaLinder Rtsp Server V200R001 1280*720*25*2048\r\n", &b);
  EXPECT_TRUE(b.deviceGeneration);
  EXPECT_TRUE(b.sizeStated);
  EXPECT_EQ(b.width, 1280);
  EXPECT_EQ(b.bitRate, 2097152);
  StreamBanner second;
  ParseBannerSecondForm("x\r\nServer: MorvaLinder Rtsp Server 704*576*30*512\r\n", &second);
  EXPECT_FALSE(second.deviceGeneration);
  EXPECT_EQ(second.height, 576);
  StreamBanner none;
  ParseBannerSecondForm("x\r\nServer: MorvaLinder Rtsp Server V200R001 1*2*3*4\r\n", &none);
  ParseBannerFirstForm("x\r\nServer: MorvaLinder Rtsp Server V200R001 1*2*3\r\n", &none);
  EXPECT_TRUE(none.deviceGeneration);
  EXPECT_FALSE(none.sizeStated);
  ParseBannerSecondForm("x\r\nServer: MorvaLinder Rtsp Server 1*2*3*99999999\r\n", &none);
  EXPECT_FALSE(none.sizeStated);  // the bit rate would not fit

  std::string realm, nonce;
  EXPECT_EQ(ParseDigestChallenge("RTSP/1.0 401 Unauthorized\r\nWWW-Authenticate: Digest "
                                 "realm=\"Cam\", nonce=\"0a1b2c\"\r\n\r\n",
                                 &realm, &nonce),
            ChallengeResult::kOk);
  EXPECT_EQ(realm, "Cam");
  EXPECT_EQ(nonce, "0a1b2c");
  EXPECT_EQ(ParseDigestChallenge("RTSP/1.0 401 Unauthorized\r\n\r\n", &realm, &nonce),
            ChallengeResult::kMissing);
  const std::string longNonce =
      "WWW-Authenticate: Digest realm=\"r\", nonce=\"" + std::string(65, 'n') + "\"\r\n";
  EXPECT_EQ(ParseDigestChallenge(longNonce.c_str(), &realm, &nonce), ChallengeResult::kTooLong);
  EXPECT_EQ(ParseDigestChallenge("WWW-Authenticate:", &realm, &nonce), ChallengeResult::kMissing);

  char v = 0, a = 0;
  FindTrackIds("a=control:trackID=1\r\nm=audio\r\na=control:trackID=2\r\n", &v, &a);
  EXPECT_EQ(v, '1');
  EXPECT_EQ(a, '2');
  FindTrackIds("a=control:trackID=3\r\n", &v, &a);
  EXPECT_EQ(v, '3');
  EXPECT_EQ(a, 0);
  FindTrackIds("trackID=", &v, &a);
  EXPECT_EQ(v, 0);

  StreamCodecs c = DetectCodecs("a=rtpmap:96 H264/90000\r\na=rtpmap:8 PCMA/8000\r\n");
  EXPECT_EQ(c.video, VCODEC_H264);
  EXPECT_EQ(c.audio, ACODEC_G711A);
  c = DetectCodecs("a=rtpmap:26 JPEG/90000\r\n");
  EXPECT_EQ(c.video, VCODEC_MJPEG);
  EXPECT_EQ(c.audio, ACODEC_G711U);
  c = DetectCodecs("a=rtpmap:99 MP4V-ES/90000\r\na=rtpmap:97 G726-40/8000\r\n");
  EXPECT_EQ(c.video, VCODEC_MPEG4);
  EXPECT_EQ(c.audio, ACODEC_G726_40);
}

TEST(RtspAnswer, SessionIdsAndMessageLength) {
  std::string id;
  uint32_t timeout = 0;
  EXPECT_EQ(ParseSessionId("Session: 5678;timeout=60\r\n", &id, &timeout), SessionIdResult::kOk);
  EXPECT_EQ(id, "5678");
  EXPECT_EQ(timeout, 60u);
  EXPECT_EQ(ParseSessionId("Session: 1oU+XFr2jdLKhAIG\r\nCSeq: 3\r\n", &id, &timeout),
            SessionIdResult::kOk);
  EXPECT_EQ(id, "1oU+XFr2jdLKhAIG");
  EXPECT_EQ(timeout, 0u);
  EXPECT_EQ(ParseSessionId("Session: ebbd808183bf2276 ;timeout=30", &id, &timeout),
            SessionIdResult::kOk);
  EXPECT_EQ(id, "ebbd808183bf2276");
  EXPECT_EQ(ParseSessionId(("Session: " + std::string(32, '7') + "\r\n").c_str(), &id, &timeout),
            SessionIdResult::kTooLong);
  EXPECT_EQ(ParseSessionId(("Session: " + std::string(31, '7') + "\r\n").c_str(), &id, &timeout),
            SessionIdResult::kOk);
  EXPECT_EQ(ParseSessionId("CSeq: 1\r\n", &id, &timeout), SessionIdResult::kNone);

  const char* answer = "RTSP/1.0 200 OK\r\ncontent-length: 5\r\n\r\nv=0\r\n$";
  EXPECT_EQ(RtspMessageLength(answer, std::strlen(answer)), std::strlen(answer) - 1);
  EXPECT_EQ(RtspMessageLength(answer, std::strlen(answer) - 3), 0u);
  EXPECT_EQ(RtspMessageLength("RTSP/1.0 200 OK\r\nCSeq: 1\r\n", 26), 0u);
  EXPECT_EQ(RtspMessageLength("RTSP/1.0 200 OK\r\n\r\nxyz", 22), 19u);
}

TEST(SdpDescription, ControlUrlsRelativeAbsoluteAndAggregate) {
  const std::string sdp =
      "v=0\r\na=control:*\r\nm=audio 0 RTP/AVP 8\r\na=control:stream=1\r\n"
      "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=control:stream=0\r\n";
  std::string video, audio;
  ASSERT_TRUE(FindControlUrls(sdp, "rtsp://h:8554/1/", &video, &audio));
  EXPECT_EQ(video, "rtsp://h:8554/1/stream=0");
  EXPECT_EQ(audio, "rtsp://h:8554/1/stream=1");
  ASSERT_TRUE(FindControlUrls("m=video 0 RTP/AVP 26\r\na=control:rtsp://cam/x/v\r\n", "rtsp://h/1",
                              &video, &audio));
  EXPECT_EQ(video, "rtsp://cam/x/v");
  EXPECT_EQ(audio, "");
  EXPECT_EQ(ResolveControl("rtsp://h/1", "track1"), "rtsp://h/1/track1");
  EXPECT_EQ(ResolveControl("rtsp://h/1", "*"), "rtsp://h/1");
  EXPECT_FALSE(FindControlUrls("m=audio 0 RTP/AVP 0\r\n", "rtsp://h/1", &video, &audio));
}

// A stream that hands out at most `step` bytes per receive.
class PieceStream : public IByteStream {
 public:
  PieceStream(std::vector<uint8_t> bytes, size_t step) : bytes_(std::move(bytes)), step_(step) {}
  long Receive(void* buffer, size_t length) override {
    if (at_ >= bytes_.size()) return 0;
    const size_t n = std::min({length, step_, bytes_.size() - at_});
    std::memcpy(buffer, bytes_.data() + at_, n);
    at_ += n;
    return static_cast<long>(n);
  }
  void PushBack(const uint8_t* data, size_t length) override {
    at_ -= length;
    EXPECT_EQ(std::memcmp(bytes_.data() + at_, data, length), 0);
  }

 private:
  std::vector<uint8_t> bytes_;
  size_t step_;
  size_t at_ = 0;
};

std::vector<uint8_t> Packet(uint8_t channel, size_t length, uint8_t fill) {
  std::vector<uint8_t> p = {'$', channel, static_cast<uint8_t>(length >> 8),
                            static_cast<uint8_t>(length)};
  p.insert(p.end(), length, fill);
  return p;
}

TEST(Interleaved, PacketsTextOversizeAndBrokenFraming) {
  for (size_t step : {1u, 3u, 5000u}) {
    std::vector<uint8_t> stream = Packet(0, 100, 0xA1);
    const std::string text = "RTSP/1.0 200 OK\r\nCSeq: 9\r\n\r\n";
    stream.insert(stream.end(), text.begin(), text.end());
    const std::vector<uint8_t> rtcp = Packet(1, 28, 0xB2);
    stream.insert(stream.end(), rtcp.begin(), rtcp.end());
    const std::vector<uint8_t> huge = Packet(2, 5000, 0xC3);
    stream.insert(stream.end(), huge.begin(), huge.end());
    const std::vector<uint8_t> last = Packet(0, 4096, 0xD4);
    stream.insert(stream.end(), last.begin(), last.end());
    const std::vector<uint8_t> bad = Packet(4, 10, 0);
    stream.insert(stream.end(), bad.begin(), bad.end());
    PieceStream s(stream, step);
    std::vector<uint8_t> out(kInterleavedBuffer);
    int32_t length = 0;
    ASSERT_EQ(ReadInterleavedPacket(s, out.data(), out.size(), &length), 0) << step;
    EXPECT_EQ(length, 100);
    EXPECT_EQ(out[99], 0xA1);
    // The answer comes back as text in one or more pieces that stop before the next packet.
    std::string got;
    int r = 0;
    while ((r = ReadInterleavedPacket(s, out.data(), out.size(), &length)) == kInterleavedText) {
      got.append(reinterpret_cast<const char*>(out.data()), static_cast<size_t>(length));
    }
    EXPECT_EQ(got, text) << step;
    EXPECT_EQ(r, 1);
    EXPECT_EQ(length, 28);
    EXPECT_EQ(ReadInterleavedPacket(s, out.data(), out.size(), &length), kInterleavedText);
    EXPECT_EQ(length, 0);  // the oversize packet was read past
    EXPECT_EQ(ReadInterleavedPacket(s, out.data(), out.size(), &length), 0);
    EXPECT_EQ(length, 4096);
    EXPECT_EQ(out[4095], 0xD4);
    EXPECT_EQ(ReadInterleavedPacket(s, out.data(), out.size(), &length), -1);  // channel 4
  }
  PieceStream zero(Packet(0, 0, 0), 10);
  std::vector<uint8_t> out(kInterleavedBuffer);
  int32_t length = 0;
  EXPECT_EQ(ReadInterleavedPacket(zero, out.data(), out.size(), &length), -1);
  std::vector<uint8_t> negative = {'$', 0, 0x80, 0x00};
  PieceStream neg(negative, 10);
  EXPECT_EQ(ReadInterleavedPacket(neg, out.data(), out.size(), &length), -1);
  PieceStream cut(std::vector<uint8_t>{'$', 0, 0, 10, 1, 2}, 10);
  EXPECT_EQ(ReadInterleavedPacket(cut, out.data(), out.size(), &length), -1);
}

}  // namespace
}  // namespace kv
