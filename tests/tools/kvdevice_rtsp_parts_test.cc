// The simulated camera's RTSP parts alone: request framing, header values, Digest arithmetic
// (checked against Python's hashlib), and the H.264, JPEG and MPEG-4 packetisers, whose output
// is taken apart here by the rules of RFC 6184, RFC 2435 and RFC 3016.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/kvdevice/digest_auth.h"
#include "tools/kvdevice/h264_rtp.h"
#include "tools/kvdevice/jpeg_rtp.h"
#include "tools/kvdevice/mpeg4_rtp.h"
#include "tools/kvdevice/options.h"
#include "tools/kvdevice/rtsp_message.h"
#include "tools/kvdevice/sdp.h"
#include "tools/kvdevice/tcp_server.h"
#include "tools/kvdevice/video_encoder.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace {

using namespace kvdevice;
using Bytes = std::vector<uint8_t>;

std::string Shell(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char chunk[256];
  while (size_t n = fread(chunk, 1, sizeof chunk, pipe)) out.append(chunk, n);
  pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// The Digest response as Python's hashlib computes it, for the same six texts.
std::string PythonDigest(const std::string& user, const std::string& realm,
                         const std::string& password, const std::string& nonce,
                         const std::string& method, const std::string& uri) {
  return Shell(
      "/usr/bin/python3 -c 'import hashlib,sys; h=lambda t: hashlib.md5(t.encode()).hexdigest(); "
      "a=sys.argv[1:]; "
      "print(h(h(a[0]+\":\"+a[1]+\":\"+a[2])+\":\"+a[3]+\":\"+h(a[4]+\":\"+a[5])))' "
      "'" +
      user + "' '" + realm + "' '" + password + "' '" + nonce + "' '" + method + "' '" + uri + "'");
}

TEST(KvDeviceRtspParts, DigestMatchesRfc1321AndAnIndependentComputation) {
  EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");

  const std::string uri = "rtsp://127.0.0.1:554/1";
  const std::string mine =
      DigestResponse("admin", "MorvaLinder", "12345", "abc123", "DESCRIBE", uri);
  ASSERT_EQ(mine.size(), 32u);
  if (Shell("/usr/bin/python3 -c 'import hashlib' && echo yes") == "yes") {
    EXPECT_EQ(mine, PythonDigest("admin", "MorvaLinder", "12345", "abc123", "DESCRIBE", uri));
    EXPECT_EQ(DigestResponse("u", "r e", "p:w", "n", "SETUP", uri + "/trackID=1"),
              PythonDigest("u", "r e", "p:w", "n", "SETUP", uri + "/trackID=1"));
  }

  const DigestAccount account{"MorvaLinder", "abc123", "admin", "12345"};
  const std::string good =
      "Digest username=\"admin\", realm=\"MorvaLinder\", nonce=\"abc123\", uri=\"" + uri +
      "\", response=\"" + mine + "\"";
  EXPECT_TRUE(DigestAccepted(account, "DESCRIBE", good));
  EXPECT_FALSE(DigestAccepted(account, "SETUP", good)) << "the method is part of the response";
  DigestAccount otherPassword = account;
  otherPassword.password = "54321";
  EXPECT_FALSE(DigestAccepted(otherPassword, "DESCRIBE", good));
  DigestAccount otherNonce = account;
  otherNonce.nonce = "abc124";
  EXPECT_FALSE(DigestAccepted(otherNonce, "DESCRIBE", good));
  EXPECT_FALSE(DigestAccepted(account, "DESCRIBE", "Basic YWRtaW46MTIzNDU="));
  EXPECT_FALSE(DigestAccepted(account, "DESCRIBE", "Digest username=\"admin\""));
  // Unquoted values, other order, upper-case hex: still the same answer.
  std::string upper = mine;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(DigestAccepted(account, "DESCRIBE",
                             "digest response=" + upper + ", uri=\"" + uri +
                                 "\", nonce=abc123, realm=\"MorvaLinder\", username=\"admin\""));
  EXPECT_EQ(DigestChallenge(account), "Digest realm=\"MorvaLinder\", nonce=\"abc123\"");
}

TEST(KvDeviceRtspParts, RequestsAreFramedWhateverTheirPieces) {
  const std::string text =
      "\r\nSETUP rtsp://h/1/trackID=1 RTSP/1.0\r\nCSeq: 3\r\nTransport:  RTP/AVP;unicast "
      "\r\nContent-Length: 4\r\n\r\nbodyOPTIONS * RTSP/1.0\nCSeq: 4\n\n";
  RtspRequest r;
  size_t used = 0;
  for (size_t cut = 0; cut < 80; ++cut) {
    EXPECT_EQ(ReadRequest(std::string_view(text).substr(0, cut), r, used), Framing::kIncomplete);
  }
  ASSERT_EQ(ReadRequest(text, r, used), Framing::kRequest);
  EXPECT_EQ(r.method, "SETUP");
  EXPECT_EQ(r.uri, "rtsp://h/1/trackID=1");
  EXPECT_EQ(r.version, "RTSP/1.0");
  EXPECT_EQ(r.header("cseq"), "3");
  EXPECT_EQ(r.header("TRANSPORT"), "RTP/AVP;unicast");
  EXPECT_EQ(r.body, "body");
  EXPECT_FALSE(r.header("Session"));
  std::string rest = text.substr(used);
  ASSERT_EQ(ReadRequest(rest, r, used), Framing::kRequest) << "bare line feeds";
  EXPECT_EQ(r.method, "OPTIONS");
  EXPECT_EQ(used, rest.size());

  // The client's RTCP between requests is skipped whole.
  std::string interleaved("$\x01\x00\x03xyzOPTIONS", 12);
  EXPECT_EQ(ReadRequest(interleaved.substr(0, 6), r, used), Framing::kIncomplete);
  ASSERT_EQ(ReadRequest(interleaved, r, used), Framing::kInterleaved);
  EXPECT_EQ(used, 7u);

  EXPECT_EQ(ReadRequest("GET / HTTP/1.1\r\n\r\n", r, used), Framing::kBad);
  EXPECT_EQ(ReadRequest("PLAY\r\n\r\n", r, used), Framing::kBad);
  EXPECT_EQ(ReadRequest("PLAY x RTSP/1.0\r\nNoColon\r\n\r\n", r, used), Framing::kBad);
  EXPECT_EQ(ReadRequest("PLAY x RTSP/1.0\r\nContent-Length: -1\r\n\r\n", r, used), Framing::kBad);
  EXPECT_EQ(ReadRequest("PLAY x RTSP/1.0\r\nContent-Length: 99999999\r\n\r\n", r, used),
            Framing::kBad);
  EXPECT_EQ(ReadRequest("PLAY x RTSP/1.0\r\nX: " + std::string(9000, 'a'), r, used), Framing::kBad)
      << "a head that never ends is refused, not buffered without limit";
}

TEST(KvDeviceRtspParts, HeaderValuesAndAnswers) {
  auto udp = ParseTransport("RTP/AVP;unicast;client_port=1600-1601");
  ASSERT_TRUE(udp);
  EXPECT_FALSE(udp->tcp);
  EXPECT_EQ(udp->clientPort0, 1600);
  EXPECT_EQ(udp->clientPort1, 1601);
  auto tcp = ParseTransport("RTP/AVP/TCP;unicast;interleaved=2-3");
  ASSERT_TRUE(tcp);
  EXPECT_TRUE(tcp->tcp);
  EXPECT_EQ(tcp->channel0, 2);
  EXPECT_EQ(tcp->channel1, 3);
  auto chosen = ParseTransport("RTP/AVP/TCP;unicast,RTP/AVP;unicast;client_port=5000-5001");
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->channel0, 0) << "the first transport counts; the server picks channels";
  EXPECT_TRUE(ParseTransport("RTP/AVP/UDP;unicast;client_port=5000")->clientPort1 == 5001);
  EXPECT_TRUE(ParseTransport("RTP/AVP;multicast;client_port=5000-5001")->multicast);
  EXPECT_FALSE(ParseTransport("RTP/AVP;unicast"));
  EXPECT_FALSE(ParseTransport("RTP/AVP;unicast;client_port=0-1"));
  EXPECT_FALSE(ParseTransport("RTP/AVP;unicast;client_port=70000-70001"));
  EXPECT_FALSE(ParseTransport("RTP/AVP/TCP;interleaved=1-300"));
  EXPECT_FALSE(ParseTransport("RAW/RAW/UDP;unicast"));

  EXPECT_EQ(SessionIdOf(" 1oU+XFr2jdLKhAIG;timeout=60"), "1oU+XFr2jdLKhAIG");
  EXPECT_EQ(SessionIdOf("ebbd808183bf2276 ;timeout=60"), "ebbd808183bf2276");
  EXPECT_EQ(SessionIdOf("5678"), "5678");
  EXPECT_TRUE(ValidSessionId("1oU+XFr2jdLKhAIG"));
  EXPECT_FALSE(ValidSessionId("a;b"));
  EXPECT_FALSE(ValidSessionId(""));
  EXPECT_FALSE(ValidSessionId(std::string(65, '1')));

  RtspAnswer a{454, {}, {}};
  a.add("CSeq", "7");
  EXPECT_EQ(a.text(), "RTSP/1.0 454 Session Not Found\r\nCSeq: 7\r\n\r\n");
  a = RtspAnswer{200, {{"CSeq", "1"}}, "v=0\r\n"};
  EXPECT_EQ(a.text(), "RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Length: 5\r\n\r\nv=0\r\n");

  EXPECT_EQ(ClassifyFirstLine("DESCRIBE rtsp://h/1 RTSP/1.0\r\n"), Protocol::kRtsp);
  EXPECT_EQ(ClassifyFirstLine("CMD:MD MCTP/1.0 CS\n@2@1\n"), Protocol::kMctp);
  EXPECT_EQ(ClassifyFirstLine("CMD:PTZ MCTP/1.0\n"), Protocol::kMctp);
  EXPECT_EQ(ClassifyFirstLine("DESCRIBE rtsp://h/1 RTS"), Protocol::kIncomplete);
  EXPECT_EQ(ClassifyFirstLine("GET / HTTP/1.1\r\n"), Protocol::kUnknown);
  EXPECT_EQ(ClassifyFirstLine(std::string(5000, 'x')), Protocol::kUnknown);
}

TEST(KvDeviceRtspParts, DescriptionNamesEveryCodecAsTheClientLooksForIt) {
  SdpSettings s;
  s.host = "127.0.0.1";
  s.baseUrl = "rtsp://127.0.0.1:554/1";
  s.video = VideoCodec::kH264;
  s.videoFmtp = "packetization-mode=1";
  s.audio = AudioCodec::kG711A;
  std::string sdp = BuildSdp(s);
  EXPECT_NE(sdp.find("m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"), std::string::npos);
  EXPECT_NE(sdp.find("a=rtpmap:8 PCMA/8000\r\n"), std::string::npos);
  const size_t first = sdp.find("trackID=");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(sdp[first + 8], '1');
  EXPECT_EQ(sdp[sdp.find("trackID=", first + 1) + 8], '2');
  EXPECT_LT(sdp.find("m=video"), sdp.find("m=audio"));

  const std::pair<AudioCodec, const char*> audio[] = {
      {AudioCodec::kG711U, "a=rtpmap:0 PCMU/8000"},
      {AudioCodec::kG726_16, "a=rtpmap:97 G726-16/8000"},
      {AudioCodec::kG726_24, "a=rtpmap:97 G726-24/8000"},
      {AudioCodec::kG726_32, "a=rtpmap:97 G726-32/8000"},
      {AudioCodec::kG726_40, "a=rtpmap:97 G726-40/8000"}};
  for (auto [codec, line] : audio) {
    s.audio = codec;
    EXPECT_NE(BuildSdp(s).find(line), std::string::npos) << line;
  }
  s.audio = AudioCodec::kNone;
  s.video = VideoCodec::kMjpeg;
  s.videoFmtp.clear();
  sdp = BuildSdp(s);
  EXPECT_NE(sdp.find("a=rtpmap:26 JPEG/90000"), std::string::npos);
  EXPECT_EQ(sdp.find("m=audio"), std::string::npos);
  EXPECT_EQ(sdp.find("trackID=2"), std::string::npos);
  s.video = VideoCodec::kMpeg4;
  EXPECT_NE(BuildSdp(s).find("a=rtpmap:99 MP4V-ES/90000"), std::string::npos);
  s.control = "absolute";
  EXPECT_NE(BuildSdp(s).find("a=control:rtsp://127.0.0.1:554/1/stream=0\r\n"), std::string::npos);
  s.control = "stream";
  EXPECT_EQ(BuildSdp(s).find("trackID="), std::string::npos);
}

Bytes AnnexB(const std::vector<Bytes>& units) {
  Bytes out;
  for (const Bytes& u : units) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), u.begin(), u.end());
  }
  return out;
}

Bytes Unit(uint8_t header, size_t size) {
  Bytes u(size);
  u[0] = header;
  for (size_t i = 1; i < size; ++i) u[i] = static_cast<uint8_t>(i * 7 + 1);
  return u;
}

// Undoes RFC 6184 packetisation: single units, STAP-A and FU-A back into NAL units.
std::vector<Bytes> Depacketise(const std::vector<RtpPayload>& payloads) {
  std::vector<Bytes> units;
  for (const RtpPayload& p : payloads) {
    const Bytes& b = p.bytes;
    const int type = b[0] & 0x1F;
    if (type == 24) {
      for (size_t at = 1; at + 2 <= b.size();) {
        size_t n = size_t{b[at]} << 8 | b[at + 1];
        units.emplace_back(b.begin() + static_cast<long>(at) + 2,
                           b.begin() + static_cast<long>(at + 2 + n));
        at += 2 + n;
      }
    } else if (type == 28) {
      if (b[1] & 0x80) units.push_back({static_cast<uint8_t>((b[0] & 0xE0) | (b[1] & 0x1F))});
      units.back().insert(units.back().end(), b.begin() + 2, b.end());
    } else {
      units.push_back(b);
    }
  }
  return units;
}

TEST(KvDeviceRtspParts, H264UnitsAreSingleFragmentedOrAggregated) {
  const std::vector<Bytes> units = {Unit(0x67, 12), Unit(0x68, 4), Unit(0x06, 30), Unit(0x65, 3000),
                                    Unit(0x65, 1000)};
  const Bytes stream = AnnexB(units);
  std::vector<RtpPayload> plain = PacketiseH264(stream.data(), stream.size(), {1400, false});
  ASSERT_EQ(plain.size(), 3u + 3u + 1u) << "three small units, 2999 bytes in three fragments";
  EXPECT_EQ(plain[0].bytes, units[0]);
  for (size_t i = 3; i < 6; ++i) {
    EXPECT_EQ(plain[i].bytes[0], 0x7C) << "FU indicator keeps F and NRI, type 28";
    EXPECT_LE(plain[i].bytes.size(), 1400u);
  }
  EXPECT_EQ(plain[3].bytes[1], 0x85) << "start bit and type 5";
  EXPECT_EQ(plain[4].bytes[1], 0x05);
  EXPECT_EQ(plain[5].bytes[1], 0x45) << "end bit";
  for (size_t i = 0; i < plain.size(); ++i) EXPECT_EQ(plain[i].marker, i + 1 == plain.size());
  EXPECT_EQ(Depacketise(plain), units);

  std::vector<RtpPayload> aggregated = PacketiseH264(stream.data(), stream.size(), {1400, true});
  ASSERT_EQ(aggregated.size(), 1u + 3u + 1u);
  EXPECT_EQ(aggregated[0].bytes[0], 0x78) << "STAP-A with the highest NRI of its units";
  EXPECT_EQ(aggregated[0].bytes.size(), 1u + 2 + 12 + 2 + 4 + 2 + 30);
  EXPECT_EQ(Depacketise(aggregated), units);
  EXPECT_TRUE(aggregated.back().marker);

  H264Description d = DescribeH264(stream.data(), stream.size());
  EXPECT_EQ(d.profileLevelId, "080F16") << "bytes 1-3 of the SPS";
  EXPECT_EQ(d.parameterSets, "ZwgPFh0kKzI5QEdO,aAgPFg==") << "base64 as Python writes it";
}

// A libjpeg picture of the RTSP stream's encoder: 4:2:2 with restart markers is type 64, its
// tables and scan travel unchanged, cut at the payload limit with contiguous offsets.
TEST(KvDeviceRtspParts, JpegPicturesFollowRfc2435) {
  struct Case {
    int sampling, restart;
    uint8_t type;
  };
  for (Case c : {Case{420, 0, 1}, Case{422, 0, 0}, Case{420, 2, 65}, Case{422, 3, 64}}) {
    SCOPED_TRACE(c.type);
    Options o;
    o.videoCodec = VideoCodec::kMjpeg;
    o.width = 64;
    o.height = 48;
    o.rtsp.listen = "127.0.0.1:0";
    o.rtsp.jpegSampling = c.sampling;
    o.rtsp.jpegRestart = c.restart;
    std::string error;
    std::unique_ptr<VideoEncoder> encoder = VideoEncoder::Create(o, error);
    ASSERT_NE(encoder, nullptr) << error;
    AVFrame* f = encoder->picture();
    for (int plane = 0; plane < 3; ++plane) {
      const int h = plane == 0 ? 48 : 24, w = plane == 0 ? 64 : 32;
      for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) f->data[plane][y * f->linesize[plane] + x] = uint8_t(x * 3 + y);
      }
    }
    std::vector<EncodedPicture> out;
    ASSERT_TRUE(encoder->encode(0, false, out));
    ASSERT_EQ(out.size(), 1u);
    const Bytes& file = out[0].data;
    std::optional<JpegPicture> picture = ParseJpeg(file.data(), file.size());
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->type, c.type);
    EXPECT_EQ(picture->restartInterval, c.restart);
    EXPECT_EQ(picture->width, 64);
    EXPECT_EQ(picture->height, 48);

    std::vector<RtpPayload> payloads = PacketiseJpeg(*picture, {200, 255});
    ASSERT_GT(payloads.size(), 1u);
    const size_t header = c.type >= 64 ? 12 : 8;
    Bytes scan;
    for (size_t i = 0; i < payloads.size(); ++i) {
      const Bytes& b = payloads[i].bytes;
      ASSERT_LE(b.size(), 200u);
      EXPECT_EQ(size_t{b[1]} << 16 | size_t{b[2]} << 8 | b[3], scan.size()) << "fragment offset";
      EXPECT_EQ(b[4], c.type);
      EXPECT_EQ(b[5], 255);
      EXPECT_EQ(b[6], 8) << "width in 8-pixel units";
      EXPECT_EQ(b[7], 6);
      size_t data = header;
      if (c.type >= 64) {
        EXPECT_EQ(b[8] << 8 | b[9], c.restart);
        EXPECT_EQ(b[10], 0xFF) << "first and last bits, count 0x3FFF";
        EXPECT_EQ(b[11], 0xFF);
      }
      if (i == 0) {
        EXPECT_EQ(Bytes(b.begin() + header, b.begin() + header + 4), (Bytes{0, 0, 0, 128}));
        EXPECT_TRUE(std::equal(picture->luma.begin(), picture->luma.end(), b.begin() + header + 4));
        EXPECT_TRUE(
            std::equal(picture->chroma.begin(), picture->chroma.end(), b.begin() + header + 68));
        data += 132;
      }
      scan.insert(scan.end(), b.begin() + static_cast<long>(data), b.end());
      EXPECT_EQ(payloads[i].marker, i + 1 == payloads.size());
    }
    ASSERT_GE(file.size(), scan.size() + 2);
    EXPECT_TRUE(
        std::equal(scan.begin(), scan.end(), file.end() - 2 - static_cast<long>(scan.size())))
        << "the scan as the file has it, without its end-of-image marker";
  }
  EXPECT_EQ(JpegSizeField(2560), 68) << "the firmware's way of writing 2560";
  EXPECT_EQ(JpegSizeField(2040), 255);
  const Bytes notJpeg = {0xFF, 0xD8, 0xFF, 0xC2, 0x00, 0x02};
  EXPECT_FALSE(ParseJpeg(notJpeg.data(), notJpeg.size())) << "progressive";
  EXPECT_FALSE(ParseJpeg(notJpeg.data(), 3));
}

TEST(KvDeviceRtspParts, Mpeg4ConfigurationTravelsAloneOrWithThePicture) {
  Bytes config = {0, 0, 1, 0xB0, 0x03, 0, 0, 1, 0xB5, 0x09, 0, 0, 1, 0x20, 0x08, 0xC8};
  Bytes picture = config;
  Bytes vop(3000, 0x5A);
  vop[0] = 0, vop[1] = 0, vop[2] = 1, vop[3] = 0xB6;
  picture.insert(picture.end(), vop.begin(), vop.end());
  EXPECT_EQ(Mpeg4Config(picture.data(), picture.size()), config);
  EXPECT_TRUE(Mpeg4Config(vop.data(), vop.size()).empty());

  std::vector<RtpPayload> alone = PacketiseMpeg4(picture.data(), picture.size(), {1400, true});
  ASSERT_EQ(alone.size(), 1u + 3u);
  EXPECT_EQ(alone[0].bytes, config);
  EXPECT_TRUE(alone[0].marker) << "a short packet with the marker: the key point";
  EXPECT_EQ(Bytes(alone[1].bytes.begin(), alone[1].bytes.begin() + 4), (Bytes{0, 0, 1, 0xB6}));
  EXPECT_FALSE(alone[1].marker);
  EXPECT_FALSE(alone[2].marker);
  EXPECT_TRUE(alone[3].marker);
  std::vector<RtpPayload> joined = PacketiseMpeg4(picture.data(), picture.size(), {1400, false});
  ASSERT_EQ(joined.size(), 3u);
  EXPECT_EQ(Bytes(joined[0].bytes.begin(), joined[0].bytes.begin() + 16), config);
  Bytes whole;
  for (const RtpPayload& p : joined) whole.insert(whole.end(), p.bytes.begin(), p.bytes.end());
  EXPECT_EQ(whole, picture);

  Mpeg4Description d = DescribeMpeg4(config);
  EXPECT_EQ(d.profileLevelId, 3);
  EXPECT_EQ(d.config, "000001B003000001B5090000012008C8");
}

}  // namespace
