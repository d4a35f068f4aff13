// kvdevice's talk seen from a bare client: the talk reply, the device's tone in voice frames of
// its generation's codec (decoded by sox's reference coder and measured), what it hears kept as a
// WAV file and as codec bytes (the tone sent here is encoded by sox or libavcodec, never by the
// simulator's own coder), dropped connections, and uplink packets out of format.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include "tests/support/tone_quality.h"
#include "tests/tools/mctp_bare_client.h"

namespace {

using namespace kvdevice_mctp_test;
using Bytes = std::vector<uint8_t>;
using kv::test::RunCommand;

constexpr size_t kSettleSamples = 2000;  // G.726 adapts from its reset state here

struct Generation {
  const char* banner;   // --banner, which tells the device generation
  const char* codec;    // the talk codec by the name --audio gives it
  int value;            // the codec value of "CMD:TALK"
  int words;            // N of a 20 ms voice frame
  uint32_t auEncoding;  // Sun .au encoding for sox: 1 mu-law, 23 G.721 (G.726 at 32 kbit/s)
};

void PrintTo(const Generation& g, std::ostream* os) { *os << g.banner << " " << g.codec; }

const Generation kNewer{"v200", "g711u", 2, 80, 1};
const Generation kOlder{"plain", "g726-32", 16, 40, 23};

void PutLe32(std::string& out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>(v >> shift);
}
void PutBe32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(v >> shift);
}

std::vector<int16_t> Tone(double hz, size_t count) {
  std::vector<int16_t> samples(count);
  for (size_t i = 0; i < count; ++i) {
    samples[i] = static_cast<int16_t>(
        std::lround(16383 * std::sin(2 * std::numbers::pi * hz * static_cast<double>(i) / 8000)));
  }
  return samples;
}

std::vector<int16_t> ToSamples(const std::string& raw) {
  std::vector<int16_t> pcm(raw.size() / 2);
  std::memcpy(pcm.data(), raw.data(), pcm.size() * 2);
  return pcm;
}

// Decodes coded bytes with sox through a Sun .au file (codes packed least significant bit first).
std::vector<int16_t> SoxDecode(const Folder& folder, uint32_t encoding, const std::string& coded) {
  std::string au = ".snd";
  for (uint32_t v : {28u, static_cast<uint32_t>(coded.size()), encoding, 8000u, 1u, 0u}) {
    PutBe32(au, v);
  }
  au += coded;
  std::ofstream(folder / "coded.au", std::ios::binary) << au;
  kv::test::CommandResult r =
      RunCommand("sox -V1 " + (folder / "coded.au") + " -t raw -e signed-integer -b 16 -L " +
                     (folder / "decoded.raw"),
                 60);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return ToSamples(ReadFile(folder / "decoded.raw"));
}

// Encodes 16-bit samples to mu-law with sox (no dither).
std::string SoxMuLaw(const Folder& folder, const std::vector<int16_t>& pcm) {
  std::ofstream(folder / "pcm.raw", std::ios::binary)
      .write(reinterpret_cast<const char*>(pcm.data()),
             static_cast<std::streamsize>(pcm.size() * 2));
  kv::test::CommandResult r =
      RunCommand("sox -V1 -D -t raw -r 8000 -e signed-integer -b 16 -c 1 " + (folder / "pcm.raw") +
                     " -t raw -e u-law " + (folder / "mulaw.raw"),
                 60);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return ReadFile(folder / "mulaw.raw");
}

// Encodes 16-bit samples to G.726 at 32 kbit/s with libavcodec, codes least significant bit
// first, 160 samples at a time.
std::string AvcodecG726(const std::vector<int16_t>& pcm) {
  std::string coded;
  const AVCodec* codec = avcodec_find_encoder_by_name("g726le");
  if (codec == nullptr) {
    ADD_FAILURE() << "libavcodec has no g726le encoder";
    return coded;
  }
  AVCodecContext* c = avcodec_alloc_context3(codec);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  c->sample_rate = 8000;
  c->sample_fmt = AV_SAMPLE_FMT_S16;
  c->bit_rate = 32000;
  c->time_base = AVRational{1, 8000};
  av_channel_layout_default(&c->ch_layout, 1);
  if (avcodec_open2(c, codec, nullptr) != 0) {
    ADD_FAILURE() << "cannot open libavcodec's G.726 encoder";
  } else {
    for (size_t at = 0; at + 160 <= pcm.size(); at += 160) {
      frame->format = AV_SAMPLE_FMT_S16;
      frame->nb_samples = 160;
      frame->sample_rate = 8000;
      av_channel_layout_default(&frame->ch_layout, 1);
      if (av_frame_get_buffer(frame, 0) != 0) break;
      std::memcpy(frame->data[0], pcm.data() + at, 320);
      EXPECT_EQ(avcodec_send_frame(c, frame), 0);
      av_frame_unref(frame);
      while (avcodec_receive_packet(c, packet) == 0) {
        coded.append(reinterpret_cast<const char*>(packet->data),
                     static_cast<size_t>(packet->size));
        av_packet_unref(packet);
      }
    }
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&c);
  return coded;
}

// An uplink packet as the library builds it: length word, tick, voice frame.
std::string UplinkPacket(const std::string& payload, uint32_t tick) {
  std::string packet;
  const uint32_t length = 4 + static_cast<uint32_t>(payload.size());
  PutLe32(packet, length);
  PutLe32(packet, tick);
  packet += '\0';
  packet += '\1';
  packet += static_cast<char>(payload.size() / 2);
  packet += static_cast<char>(payload.size() / 2 >> 8);
  return packet + payload;
}

// Reads downlink voice frames; their payloads joined, and the N of each.
struct Downlink {
  std::string payload;
  std::vector<int> words;
  bool wellFormed = true;
};
Downlink ReadFrames(MctpClient& c, size_t frames) {
  Downlink d;
  for (size_t i = 0; i < frames; ++i) {
    const std::string header = c.receiveExactly(4, 5000);
    if (header.size() != 4) break;
    d.wellFormed = d.wellFormed && header[0] == 0 && header[1] == 1;
    const int n = static_cast<uint8_t>(header[2]) | static_cast<int8_t>(header[3]) << 8;
    d.words.push_back(n);
    if (n <= 0) break;
    d.payload += c.receiveExactly(2 * static_cast<size_t>(n), 5000);
  }
  return d;
}

std::string TalkReply(int audio, int result) {
  return "CMD:TALK MCTP/1.0 CS\n@" + std::to_string(audio) + "@" + std::to_string(result) + "@\n";
}

class KvDeviceMctpTalk : public ::testing::TestWithParam<Generation> {};

TEST_P(KvDeviceMctpTalk, DeviceSpeaksAToneInItsGenerationsCodec) {
  const Generation& g = GetParam();
  Folder folder;
  Device device(kLight + "--banner " + g.banner + " --talk-tone 500");
  ASSERT_TRUE(device.ok());
  MctpClient c(device.port());
  c.send(TalkRequest(1, g.value));
  const std::string reply = TalkReply(1, 1);
  EXPECT_EQ(c.receiveExactly(reply.size(), 5000), reply);
  const auto start = Clock::now();
  const Downlink d = ReadFrames(c, 75);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  ASSERT_EQ(d.words.size(), 75u);
  EXPECT_TRUE(d.wellFormed);
  EXPECT_EQ(d.words, std::vector<int>(75, g.words));
  EXPECT_GT(seconds, 0.8) << "1.5 s of sound comes in about real time, not at once";
  const std::vector<int16_t> pcm = SoxDecode(folder, g.auEncoding, d.payload);
  ASSERT_EQ(pcm.size(), 75u * 160);
  const double quality = kv::test::ToneQualityDb(pcm, 500, kSettleSamples);
  std::printf("device talks %s, sox hears the tone at %.1f dB\n", g.codec, quality);
  EXPECT_GE(quality, kv::test::ToneFloorDb(g.codec));
}

TEST_P(KvDeviceMctpTalk, DeviceKeepsWhatItHears) {
  const Generation& g = GetParam();
  Folder folder;
  const std::string log = folder / "mctp.log", wav = folder / "heard.wav",
                    kept = folder / "heard.coded";
  Device device(kLight + "--banner " + g.banner + " --talk-audio off --mctp-log " + log +
                " --talk-wav " + wav + " --talk-coded " + kept);
  ASSERT_TRUE(device.ok());
  const std::vector<int16_t> tone = Tone(1000, 80 * 160);
  const std::string coded = g.value == 2 ? SoxMuLaw(folder, tone) : AvcodecG726(tone);
  const size_t frameBytes = 2 * static_cast<size_t>(g.words);
  ASSERT_EQ(coded.size(), 80 * frameBytes);
  std::string stream;
  for (size_t i = 0; i < 80; ++i) {
    stream += UplinkPacket(coded.substr(i * frameBytes, frameBytes), 1000 + 20 * i);
  }
  {
    MctpClient c(device.port());
    c.send(TalkRequest(1, g.value));
    ASSERT_EQ(c.receiveOnce(5000), TalkReply(0, 1));
    // Packets cut anywhere: the device joins them.
    for (size_t at = 0; at < stream.size(); at += 500) c.send(stream.substr(at, 500));
  }
  ASSERT_TRUE(WaitForLog(log, "talk end closed by the client heard 80 bad 0 sent 0"));
  EXPECT_EQ(ReadFile(kept), coded) << "the codec bytes are kept as they came";
  // sox reads the WAV file's header and samples.
  kv::test::CommandResult info = RunCommand(
      "soxi -r " + wav + " && soxi -c " + wav + " && soxi -b " + wav + " && soxi -s " + wav, 30);
  EXPECT_EQ(info.out, "8000\n1\n16\n12800\n") << info.err;
  kv::test::CommandResult raw = RunCommand(
      "sox -V1 " + wav + " -t raw -e signed-integer -b 16 -L " + (folder / "heard.raw"), 30);
  ASSERT_EQ(raw.exitCode, 0) << raw.err;
  const std::vector<int16_t> heard = ToSamples(ReadFile(folder / "heard.raw"));
  ASSERT_EQ(heard.size(), tone.size());
  const double quality = kv::test::ToneQualityDb(heard, 1000, kSettleSamples);
  std::printf("device hears %s at %.1f dB\n", g.codec, quality);
  EXPECT_GE(quality, kv::test::ToneFloorDb(g.codec));
}

INSTANTIATE_TEST_SUITE_P(Generations, KvDeviceMctpTalk, ::testing::Values(kNewer, kOlder),
                         [](const auto& info) {
                           return std::string(info.param.banner == std::string("v200") ? "newer"
                                                                                       : "older");
                         });

TEST(KvDeviceMctpTalkFaults, RepliesWithoutAudioOrRefused) {
  Folder folder;
  const std::string control = folder / "control";
  Device quiet(kLight + "--talk-audio off --talk-fields 3 --mctp-control " + control);
  ASSERT_TRUE(quiet.ok());
  MctpClient c(quiet.port());
  c.send(TalkRequest(1, 2));
  const std::string reply = "CMD:TALK MCTP/1.0 CS\n@0@1@2@\n";
  EXPECT_EQ(c.receiveOnce(5000), reply);
  EXPECT_TRUE(Accepted(Command::kTalk, reply));
  EXPECT_FALSE(c.receiveOnce(800)) << "a device without audio sends nothing";
  // Bytes asked for in the control file go down as they are: a frame of a negative length.
  AppendLine(control, "talk-raw \\x00\\x01\\xff\\xff");
  EXPECT_EQ(c.receiveExactly(4, 5000), std::string("\x00\x01\xff\xff", 4));

  Device refusing(kLight + "--mctp-reply talk:refuse");
  ASSERT_TRUE(refusing.ok());
  EXPECT_EQ(OneShot(refusing.port(), TalkRequest(1, 2)), TalkReply(1, 0));
  Device malformed(kLight + "--talk-audio off --mctp-reply talk:malformed");
  ASSERT_TRUE(malformed.ok());
  std::optional<std::string> three = OneShot(malformed.port(), TalkRequest(1, 2));
  EXPECT_EQ(three, TalkReply(0, 1) + "END\n");
  EXPECT_FALSE(Accepted(Command::kTalk, three.value_or("")));
}

TEST(KvDeviceMctpTalkTiming, EchoesWhatItHearsAndTimesItsArrival) {
  Folder folder;
  const std::string log = folder / "mctp.log";
  Device device(kLight + "--talk-audio echo --mctp-log " + log);
  ASSERT_TRUE(device.ok());
  // Stamped, as the library stamps them, with milliseconds of the monotonic clock.
  const uint32_t stamp = static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
          .count());
  const std::string silence(160, '\xff');  // mu-law zero
  const std::string loud = SoxMuLaw(folder, Tone(1000, 160));
  std::string frames, stream;
  for (uint32_t i = 0; i < 20; ++i) {
    const std::string packet = UplinkPacket(i < 10 ? silence : loud, stamp + i);
    frames += packet.substr(8);
    stream += packet;
  }
  {
    MctpClient c(device.port());
    c.send(TalkRequest(1, 2));
    ASSERT_EQ(c.receiveOnce(5000), TalkReply(1, 1));
    c.send(stream);
    EXPECT_EQ(c.receiveExactly(frames.size(), 5000), frames) << "every frame comes back as it was";
  }
  ASSERT_TRUE(WaitForLog(log, "talk end closed by the client heard 20 bad 0 sent 20 transit "));
  EXPECT_TRUE(LogLines(log, "transit unknown").empty());
  const std::vector<std::string> starts = LogLines(log, "talk sound at clock ");
  ASSERT_EQ(starts.size(), 1u) << "one sound, starting with the eleventh frame";
  EXPECT_EQ(starts[0].substr(starts[0].find(" stamped ")),
            " stamped " + std::to_string(stamp + 10));
  const uint32_t clock =
      static_cast<uint32_t>(std::stoul(starts[0].substr(starts[0].find("clock ") + 6)));
  EXPECT_LT(clock - (stamp + 10), 60000u) << "arrived after it was stamped, on the same clock";
}

TEST(KvDeviceMctpTalkFaults, DropsAfterSecondsAndAcceptsAgain) {
  Folder folder;
  const std::string log = folder / "mctp.log";
  Device device(kLight + "--talk-drop-after 0.5 --mctp-log " + log);
  ASSERT_TRUE(device.ok());
  for (int attempt = 0; attempt < 2; ++attempt) {
    MctpClient c(device.port());
    c.send(TalkRequest(1, 2));
    ASSERT_EQ(c.receiveExactly(TalkReply(1, 1).size(), 5000), TalkReply(1, 1));
    EXPECT_TRUE(c.closes(10000));
  }
  EXPECT_TRUE(WaitForLog(log, "talk end dropped", 2));
  EXPECT_EQ(device.stop()["talks"], 2u);
}

TEST(KvDeviceMctpTalkFaults, UplinkOutOfFormat) {
  Folder folder;
  const std::string log = folder / "mctp.log";
  Device device(kLight + "--talk-audio off --mctp-log " + log);
  ASSERT_TRUE(device.ok());
  const std::string payload(160, '\x7f');
  {
    // The codec the request names is not the device's: noted, and talk goes on.
    MctpClient c(device.port());
    c.send(TalkRequest(1, 16));
    ASSERT_EQ(c.receiveOnce(5000), TalkReply(0, 1));
    // A frame whose N disagrees with its length is counted and skipped; framing holds.
    std::string wrongN = UplinkPacket(payload, 1);
    wrongN[10] = 79;
    c.send(wrongN + UplinkPacket(payload, 2));
    ASSERT_TRUE(WaitForLog(log, "talk bad frame"));
    // A length word with bits above 9 loses the framing: the device closes.
    std::string wide = UplinkPacket(payload, 3);
    wide[1] |= 0x04;
    c.send(wide);
    EXPECT_TRUE(c.closes(5000));
  }
  EXPECT_TRUE(WaitForLog(log, "talk end lost the uplink framing heard 2 bad 1"));
  EXPECT_EQ(LogLines(log, "asks for codec 16, the device talks 2").size(), 1u);
}

}  // namespace
