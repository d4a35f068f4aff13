// kvdevice, the simulated camera, seen from the wire: it is run as a process that sends to a
// plain UDP receiver written here, and what arrives is checked field by field, reassembled and
// decoded with libavcodec. Nothing of the SDK is used, so the two sides stay independent.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr size_t kHeader = 68;

std::string DeviceBinary() {
#ifdef KVDEVICE_BINARY
  return KVDEVICE_BINARY;
#else
  return (fs::read_symlink("/proc/self/exe").parent_path() / "../tools/kvdevice/kvdevice")
      .lexically_normal()
      .string();
#endif
}

uint32_t Be32(const Bytes& d, size_t at) {
  return uint32_t{d[at]} << 24 | uint32_t{d[at + 1]} << 16 | uint32_t{d[at + 2]} << 8 | d[at + 3];
}

struct Datagram {
  Bytes bytes;
  std::string from;
};

// The header fields this receiver checks, read at their fixed big-endian offsets.
struct Header {
  uint32_t streamId, sequence, length, width, height, frameRate, bitRate;
  uint8_t kind, videoCodec, frameType, position, generation, audioCodec;

  static Header Of(const Bytes& d) {
    return Header{Be32(d, 4),  Be32(d, 12), Be32(d, 24), Be32(d, 28), Be32(d, 32),
                  Be32(d, 36), Be32(d, 40), d[16],       d[17],       d[18],
                  d[19],       d[21],       d[22]};
  }
  Bytes payload(const Bytes& d) const { return Bytes(d.begin() + kHeader, d.end()); }
};

// A UDP socket on loopback with a receive thread that collects everything until told to stop.
class Receiver {
 public:
  explicit Receiver(int family) : family_(family) {
    fd_ = socket(family, SOCK_DGRAM, 0);
    EXPECT_GE(fd_, 0);
    int big = 32 << 20;
    // Root may raise the buffer past the system limit; otherwise take what is allowed.
    if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) != 0) {
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    }
    timeval tv{0, 100 * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_storage local{};
    socklen_t length;
    if (family == AF_INET6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(&local);
      a->sin6_family = AF_INET6;
      a->sin6_addr = in6addr_loopback;
      length = sizeof *a;
    } else {
      auto* a = reinterpret_cast<sockaddr_in*>(&local);
      a->sin_family = AF_INET;
      a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      length = sizeof *a;
    }
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&local), length), 0);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
    port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&local)->sin6_port
                                     : reinterpret_cast<sockaddr_in*>(&local)->sin_port);
    thread_ = std::thread([this] { loop(); });
  }
  ~Receiver() {
    finish();
    close(fd_);
  }

  std::string target() const {
    return (family_ == AF_INET6 ? "[::1]:" : "127.0.0.1:") + std::to_string(port_);
  }
  // Waits until the queue is drained (a quiet 100 ms after the sender ended) and returns it.
  std::vector<Datagram> finish() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  void loop() {
    std::vector<uint8_t> buffer(65536);
    for (;;) {
      sockaddr_storage from{};
      socklen_t fromLength = sizeof from;
      ssize_t n = recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from),
                           &fromLength);
      if (n < 0) {
        if (done_) return;
        continue;
      }
      char text[INET6_ADDRSTRLEN] = {};
      if (from.ss_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&from)->sin6_addr, text, sizeof text);
      } else {
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&from)->sin_addr, text, sizeof text);
      }
      received_.push_back(Datagram{Bytes(buffer.begin(), buffer.begin() + n), text});
    }
  }

  int family_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> done_{false};
  std::vector<Datagram> received_;
  std::thread thread_;
};

struct RunResult {
  int exitCode = -1;
  std::string output;
};

// Runs kvdevice with a hard time limit as a guard against a hang.
RunResult RunDevice(const std::string& arguments) {
  std::string command = "timeout 60 " + DeviceBinary() + " --quiet " + arguments + " 2>&1";
  RunResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char chunk[4096];
  while (size_t n = fread(chunk, 1, sizeof chunk, pipe)) result.output.append(chunk, n);
  int status = pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// Reads "name value" pairs of the summary line ("kvdevice sent: pictures N ...").
std::map<std::string, uint64_t> Summary(const std::string& output) {
  std::map<std::string, uint64_t> values;
  size_t at = output.find("kvdevice sent:");
  if (at == std::string::npos) return values;
  std::istringstream line(output.substr(at + 14, output.find('\n', at) - at - 14));
  std::string name;
  uint64_t value;
  while (line >> name >> value) values[name] = value;
  return values;
}

// One reassembled unit: a NAL unit (H.264) or a picture, with the frame type of its pieces.
struct Unit {
  Bytes bytes;
  uint8_t frameType = 0;
};

// Joins video pieces by fragment position; every piece must belong to exactly one unit and all
// pieces of a unit must agree on the frame type.
std::vector<Unit> Reassemble(const std::vector<Datagram>& datagrams) {
  std::vector<Unit> units;
  bool open = false;
  for (const Datagram& d : datagrams) {
    Header h = Header::Of(d.bytes);
    if (h.kind != 0) continue;
    Bytes payload = h.payload(d.bytes);
    switch (h.position) {
      case 0:
        EXPECT_FALSE(open) << "whole unit inside an open one, sequence " << h.sequence;
        units.push_back(Unit{payload, h.frameType});
        open = false;
        break;
      case 1:
        EXPECT_FALSE(open) << "first piece inside an open unit, sequence " << h.sequence;
        units.push_back(Unit{payload, h.frameType});
        open = true;
        break;
      case 2:
      case 3:
        EXPECT_TRUE(open) << "continuation without a first piece, sequence " << h.sequence;
        if (!open) break;
        EXPECT_EQ(units.back().frameType, h.frameType);
        units.back().bytes.insert(units.back().bytes.end(), payload.begin(), payload.end());
        open = h.position == 2;
        break;
      default:
        ADD_FAILURE() << "fragment position " << int{h.position};
    }
  }
  EXPECT_FALSE(open) << "the stream ended inside a unit";
  return units;
}

// The frame counter of the generated picture: 16 black/white cells across the bottom eighth,
// most significant bit on the left.
int ReadCounter(const AVFrame* f) {
  int y = f->height - f->height / 16;
  int value = 0;
  for (int bit = 0; bit < 16; ++bit) {
    int x = f->width * (2 * bit + 1) / 32;
    value = value << 1 | (f->data[0][y * f->linesize[0] + x] > 128 ? 1 : 0);
  }
  return value;
}

// Decodes packets with libavcodec and returns the counter of every picture.
std::vector<int> DecodeCounters(AVCodecID id, const std::vector<Bytes>& packets) {
  std::vector<int> counters;
  const AVCodec* codec = avcodec_find_decoder(id);
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  AVFrame* frame = av_frame_alloc();
  AVPacket* packet = av_packet_alloc();
  EXPECT_EQ(avcodec_open2(ctx, codec, nullptr), 0);
  auto drain = [&] {
    while (avcodec_receive_frame(ctx, frame) == 0) counters.push_back(ReadCounter(frame));
  };
  for (const Bytes& p : packets) {
    av_new_packet(packet, static_cast<int>(p.size()));
    std::memcpy(packet->data, p.data(), p.size());
    EXPECT_EQ(avcodec_send_packet(ctx, packet), 0);
    av_packet_unref(packet);
    drain();
  }
  avcodec_send_packet(ctx, nullptr);
  drain();
  av_packet_free(&packet);
  av_frame_free(&frame);
  avcodec_free_context(&ctx);
  return counters;
}

// Cuts an Annex B byte stream into pictures with libavcodec's H.264 parser.
std::vector<Bytes> ParseH264(const Bytes& stream) {
  std::vector<Bytes> pictures;
  AVCodecParserContext* parser = av_parser_init(AV_CODEC_ID_H264);
  AVCodecContext* ctx = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264));
  const uint8_t* data = stream.data();
  int left = static_cast<int>(stream.size());
  for (bool flushing = false;;) {
    uint8_t* out = nullptr;
    int outSize = 0;
    int used = av_parser_parse2(parser, ctx, &out, &outSize, data, flushing ? 0 : left,
                                AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (outSize > 0) pictures.emplace_back(out, out + outSize);
    if (flushing) break;
    data += used;
    left -= used;
    if (left == 0) flushing = true;
  }
  av_parser_close(parser);
  avcodec_free_context(&ctx);
  return pictures;
}

// NAL units of an Annex B byte stream (the dump), found independently of the device's splitter.
std::vector<Bytes> NalUnits(const Bytes& s) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 3 <= s.size(); ++i) {
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) starts.push_back(i + 3);
  }
  std::vector<Bytes> units;
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : s.size();
    while (end > starts[k] && s[end - 1] == 0) --end;
    units.emplace_back(s.begin() + starts[k], s.begin() + end);
  }
  return units;
}

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::vector<Datagram> OfKind(const std::vector<Datagram>& all, uint8_t kind) {
  std::vector<Datagram> out;
  for (const Datagram& d : all) {
    if (d.bytes.size() > kHeader && Header::Of(d.bytes).kind == kind) out.push_back(d);
  }
  return out;
}

class KvDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(DeviceBinary())) << "kvdevice not built at " << DeviceBinary();
    dir_ = fs::temp_directory_path() / ("kvdevice_test_" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs the device against a fresh receiver and returns what arrived.
  std::vector<Datagram> Stream(const std::string& arguments, int family = AF_INET,
                               RunResult* run = nullptr) {
    Receiver receiver(family);
    RunResult result = RunDevice("--fast --target " + receiver.target() + " " + arguments);
    std::vector<Datagram> got = receiver.finish();
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(Summary(result.output)["datagrams"], got.size()) << result.output;
    if (run != nullptr) *run = result;
    return got;
  }

  // Checks what every well-formed stream must satisfy and returns the headers.
  static void CheckCommon(const std::vector<Datagram>& got, uint32_t streamId) {
    ASSERT_FALSE(got.empty());
    uint32_t expected = 1;
    for (const Datagram& d : got) {
      ASSERT_GT(d.bytes.size(), kHeader);
      ASSERT_LE(d.bytes.size(), 4096u);
      Header h = Header::Of(d.bytes);
      EXPECT_EQ(h.length, d.bytes.size() - kHeader);
      EXPECT_EQ(h.streamId, streamId);
      EXPECT_EQ(h.sequence, expected++) << "sequence numbers rise by one per datagram";
      EXPECT_LE(h.kind, 1);
    }
  }

  fs::path dir_;
};

TEST_F(KvDeviceTest, H264OverIPv4IsFramedFragmentedAndDecodable) {
  const fs::path dump = dir_ / "h264";
  std::vector<Datagram> got = Stream(
      "--codec h264 --size 176x144 --fps 25 --bitrate 800 --key-interval 10 --slices 2 "
      "--audio g711u --max-payload 500 --generation 3 --stream-id 77 --frames 30 --dump " +
      dump.string());
  CheckCommon(got, 77);

  std::vector<Datagram> video = OfKind(got, 0);
  std::set<int> positions;
  for (const Datagram& d : got) {
    Header h = Header::Of(d.bytes);
    EXPECT_EQ(d.from, "127.0.0.1");
    EXPECT_EQ(h.videoCodec, 96);
    EXPECT_EQ(h.audioCodec, 2);
    EXPECT_EQ(h.generation, 3);
    if (h.kind != 0) continue;
    EXPECT_LE(h.length, 500u);
    positions.insert(h.position);
    if (h.frameType == 7) {
      EXPECT_EQ(h.width, 176u);
      EXPECT_EQ(h.height, 144u);
      EXPECT_EQ(h.frameRate, 25u);
      EXPECT_EQ(h.bitRate, 800u);
    } else {
      EXPECT_EQ(h.frameType, 1);
    }
  }
  EXPECT_EQ(positions, (std::set<int>{0, 1, 2, 3})) << "key slices exceed 500 bytes";

  // Units carry no start code; the key pictures are SPS, PPS and IDR slices, all of type 7.
  std::vector<Unit> units = Reassemble(video);
  std::map<int, int> keyNalTypes, otherNalTypes;
  Bytes annexB;
  std::vector<Bytes> sentUnits;
  for (const Unit& u : units) {
    ASSERT_GE(u.bytes.size(), 2u);
    EXPECT_FALSE(u.bytes[0] == 0 && u.bytes[1] == 0) << "a unit starts with a start code";
    int nalType = u.bytes[0] & 0x1F;
    ++(u.frameType == 7 ? keyNalTypes : otherNalTypes)[nalType];
    annexB.insert(annexB.end(), {0, 0, 0, 1});
    annexB.insert(annexB.end(), u.bytes.begin(), u.bytes.end());
    sentUnits.push_back(u.bytes);
  }
  EXPECT_EQ(keyNalTypes[7], 3);
  EXPECT_EQ(keyNalTypes[8], 3);
  EXPECT_EQ(keyNalTypes[5], 6) << "three IDR pictures of two slices";
  EXPECT_EQ(keyNalTypes[1], 0);
  EXPECT_EQ(otherNalTypes[1], 27 * 2);
  EXPECT_EQ(otherNalTypes[5] + otherNalTypes[7] + otherNalTypes[8], 0);

  std::vector<int> counters = DecodeCounters(AV_CODEC_ID_H264, ParseH264(annexB));
  ASSERT_EQ(counters.size(), 30u);
  for (int i = 0; i < 30; ++i) EXPECT_EQ(counters[i], i);

  // 1.2 s of G.711 in 20 ms frames of 160 bytes.
  std::vector<Datagram> audio = OfKind(got, 1);
  EXPECT_EQ(audio.size(), 60u);
  for (const Datagram& d : audio) EXPECT_EQ(Header::Of(d.bytes).length, 160u);

  // The dump holds the same NAL units, and its log the same pictures and sequence ranges.
  EXPECT_EQ(NalUnits(ReadFile(dump.string() + ".video")), sentUnits);
  EXPECT_EQ(ReadFile(dump.string() + ".audio").size(), 60u * 160u);
  std::ifstream log(dump.string() + ".log");
  std::string line;
  int pictures = 0;
  while (std::getline(log, line)) {
    unsigned number, key, stream, first, last, bytes;
    ASSERT_EQ(std::sscanf(line.c_str(), "picture %u key %u stream %u seq %u-%u bytes %u", &number,
                          &key, &stream, &first, &last, &bytes),
              6)
        << line;
    EXPECT_EQ(number, static_cast<unsigned>(pictures));
    EXPECT_EQ(key, number % 10 == 0 ? 1u : 0u);
    ASSERT_LE(last, got.size());
    for (unsigned s = first; s <= last; ++s) {
      Header h = Header::Of(got[s - 1].bytes);
      EXPECT_EQ(h.kind, 0);
      EXPECT_EQ(h.frameType == 7, key == 1);
    }
    ++pictures;
  }
  EXPECT_EQ(pictures, 30);
}

TEST_F(KvDeviceTest, Mpeg4OverIPv6WithG726SendsOnePictureAsOneUnit) {
  std::vector<Datagram> got = Stream(
      "--codec mpeg4 --size 176x144 --bitrate 600 --key-interval 5 --audio g726-32 --frames 20",
      AF_INET6);
  CheckCommon(got, 1);
  std::vector<Bytes> pictures;
  int keys = 0;
  for (const Unit& u : Reassemble(OfKind(got, 0))) {
    // Units travel without their leading start code (00 00 01): they begin with its value,
    // a visual object sequence (B0) before key pictures, else a picture (B6).
    ASSERT_GE(u.bytes.size(), 4u);
    EXPECT_TRUE(u.bytes[0] == 0xB0 || u.bytes[0] == 0xB6) << int(u.bytes[0]);
    EXPECT_EQ(u.bytes[0] == 0xB0, u.frameType == 7);
    keys += u.frameType == 7;
    Bytes picture{0, 0, 1};
    picture.insert(picture.end(), u.bytes.begin(), u.bytes.end());
    pictures.push_back(picture);
  }
  EXPECT_EQ(keys, 4);
  std::vector<int> counters = DecodeCounters(AV_CODEC_ID_MPEG4, pictures);
  ASSERT_EQ(counters.size(), 20u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(counters[i], i);
  for (const Datagram& d : got) {
    Header h = Header::Of(d.bytes);
    EXPECT_EQ(d.from, "::1");
    EXPECT_EQ(h.videoCodec, 97);
    EXPECT_EQ(h.audioCodec, 6);
    if (h.kind == 1) {
      EXPECT_EQ(h.length, 80u) << "G.726-32: 4 bits per sample";
    }
  }
  EXPECT_EQ(OfKind(got, 1).size(), 40u);
}

TEST_F(KvDeviceTest, MjpegPicturesAreWholeJpegsCutIntoPieces) {
  std::vector<Datagram> got =
      Stream("--codec mjpeg --size 176x144 --audio g711a --max-payload 300 --frames 5");
  CheckCommon(got, 1);
  std::vector<Bytes> pictures;
  for (const Unit& u : Reassemble(OfKind(got, 0))) {
    ASSERT_GT(u.bytes.size(), 300u);
    EXPECT_EQ(u.bytes[0], 0xFF);
    EXPECT_EQ(u.bytes[1], 0xD8);
    EXPECT_EQ(u.bytes[u.bytes.size() - 2], 0xFF);
    EXPECT_EQ(u.bytes.back(), 0xD9);
    EXPECT_EQ(u.frameType, 7) << "every JPEG is a key picture";
    pictures.push_back(u.bytes);
  }
  EXPECT_EQ(DecodeCounters(AV_CODEC_ID_MJPEG, pictures), (std::vector<int>{0, 1, 2, 3, 4}));
  for (const Datagram& d : got) EXPECT_EQ(Header::Of(d.bytes).videoCodec, 26);
  for (const Datagram& d : OfKind(got, 1)) {
    EXPECT_EQ(Header::Of(d.bytes).audioCodec, 1);
    EXPECT_EQ(Header::Of(d.bytes).length, 160u);
  }
}

TEST_F(KvDeviceTest, AudioPayloadSizeFollowsCodecAndFrameLength) {
  struct Case {
    const char* arguments;
    uint8_t code;
    uint32_t bytes;
    size_t frames;
  };
  const Case cases[] = {
      {"--audio g726-16", 4, 40, 20},  {"--audio g726-24", 5, 60, 20},
      {"--audio g726-40", 7, 100, 20}, {"--audio g711u --audio-samples 320", 2, 320, 10},
      {"--audio none", 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    std::vector<Datagram> got =
        Stream(std::string("--codec mjpeg --size 64x64 --fps 25 --frames 10 ") + c.arguments);
    std::vector<Datagram> audio = OfKind(got, 1);
    EXPECT_EQ(audio.size(), c.frames);
    for (const Datagram& d : audio) {
      EXPECT_EQ(Header::Of(d.bytes).audioCodec, c.code);
      EXPECT_EQ(Header::Of(d.bytes).length, c.bytes);
    }
  }
}

TEST_F(KvDeviceTest, SeededFaultsAreReproducibleAndVisibleOnTheWire) {
  const std::string faults =
      "--codec h264 --size 176x144 --frames 25 --key-interval 5 --max-payload 400 --reorder 6 "
      "--duplicate 5 --drop 5 --truncate 5 --garbage 5 --bad-length 5 ";
  RunResult run;
  std::vector<Datagram> first = Stream(faults + "--seed 7", AF_INET, &run);
  std::vector<Datagram> again = Stream(faults + "--seed 7");
  std::vector<Datagram> other = Stream(faults + "--seed 8");
  auto bytesOf = [](const std::vector<Datagram>& v) {
    std::vector<Bytes> out;
    for (const Datagram& d : v) out.push_back(d.bytes);
    return out;
  };
  EXPECT_EQ(bytesOf(first), bytesOf(again));
  EXPECT_NE(bytesOf(first), bytesOf(other));

  std::map<std::string, uint64_t> summary = Summary(run.output);
  uint64_t badLengths = 0, outOfOrder = 0, duplicates = 0;
  std::set<uint32_t> seen;
  uint32_t last = 0;
  for (const Datagram& d : first) {
    if (d.bytes.size() <= kHeader || Header::Of(d.bytes).length != d.bytes.size() - kHeader) {
      ++badLengths;
      continue;
    }
    uint32_t s = Header::Of(d.bytes).sequence;
    if (!seen.insert(s).second) ++duplicates;
    if (s < last) ++outOfOrder;
    last = std::max(last, s);
  }
  EXPECT_GT(summary["dropped"], 0u);
  EXPECT_GT(summary["truncated"] + summary["bad_length"] + summary["garbage"], 0u);
  EXPECT_GE(badLengths, summary["truncated"] + summary["bad_length"]);
  EXPECT_GT(outOfOrder, 0u);
  EXPECT_EQ(duplicates, summary["duplicated"]);
}

TEST_F(KvDeviceTest, StreamIdChangeRestartsSequenceAtAKeyFrame) {
  std::vector<Datagram> got = Stream(
      "--size 176x144 --fps 25 --frames 60 --key-interval 100 --stream-id 5 "
      "--stream-change 1");
  ASSERT_FALSE(got.empty());
  uint32_t stream = 5, expected = 1;
  for (const Datagram& d : got) {
    Header h = Header::Of(d.bytes);
    if (h.streamId != stream) {
      EXPECT_EQ(h.streamId, stream + 1);
      stream = h.streamId;
      expected = 1;
      EXPECT_EQ(h.kind, 0);
      EXPECT_EQ(h.frameType, 7) << "a new stream starts with a key frame";
    }
    EXPECT_EQ(h.sequence, expected++);
  }
  EXPECT_EQ(stream, 7u) << "changes at 1 s and 2 s of a 2.4 s stream";
}

TEST_F(KvDeviceTest, SendsFromTheGivenLocalAddress) {
  std::vector<Datagram> got = Stream("--bind 127.0.0.2 --size 64x64 --frames 3");
  ASSERT_FALSE(got.empty());
  for (const Datagram& d : got) EXPECT_EQ(d.from, "127.0.0.2");
}

TEST_F(KvDeviceTest, ReencodesAMediaFileAndEndsWithIt) {
  const fs::path dump = dir_ / "source";
  Stream("--codec h264 --size 176x144 --audio none --frames 12 --dump " + dump.string());
  fs::rename(dump.string() + ".video", dir_ / "source.h264");
  std::vector<Datagram> got = Stream("--input " + (dir_ / "source.h264").string() +
                                     " --codec mjpeg --size 176x144 --audio g711u --frames 100");
  std::vector<Bytes> pictures;
  for (const Unit& u : Reassemble(OfKind(got, 0))) pictures.push_back(u.bytes);
  std::vector<int> counters = DecodeCounters(AV_CODEC_ID_MJPEG, pictures);
  ASSERT_EQ(counters.size(), 12u) << "the stream ends with the file";
  for (int i = 0; i < 12; ++i) EXPECT_EQ(counters[i], i);
  // The file has no sound: mu-law silence.
  std::vector<Datagram> audio = OfKind(got, 1);
  ASSERT_FALSE(audio.empty());
  for (const Datagram& d : audio) {
    Bytes payload = Header::Of(d.bytes).payload(d.bytes);
    EXPECT_EQ(std::count(payload.begin(), payload.end(), 0xFF), 160);
  }
}

TEST_F(KvDeviceTest, RefusesBadOptions) {
  EXPECT_EQ(RunDevice("--codec vp9").exitCode, 2);
  EXPECT_EQ(RunDevice("--size 15x15").exitCode, 2);
  EXPECT_EQ(RunDevice("--drop 101").exitCode, 2);
  EXPECT_EQ(RunDevice("--frames").exitCode, 2);
  EXPECT_EQ(RunDevice("--fast --frames 1 --target 127.0.0.1:9 --bind ::1").exitCode, 1);
  EXPECT_EQ(RunDevice("--fast --frames 1 --input /nonexistent/file.mp4").exitCode, 1);
}

}  // namespace
