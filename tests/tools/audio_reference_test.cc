// The simulated camera's coded sound, decoded by coders that are neither ours nor the
// simulator's: sox, whose Sun .au reader carries the CCITT reference G.721/G.723 code, for G.711
// and G.726 at 24, 32 and 40 kbit/s, and libavcodec for G.726 at 16 kbit/s, which .au files
// cannot hold. The decoded tone must come through as cleanly as the codec allows, so the
// simulator cannot drift from the standard coders unnoticed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include "tests/support/temp_dir.h"
#include "tests/support/tone_quality.h"
#include "tests/support/udp_test_sender.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr int kPictures = 50;            // two seconds at 25 pictures a second
constexpr size_t kSamples = 2 * 8000;    // the sound that goes with them
constexpr size_t kSettleSamples = 2000;  // G.726 adapts from its reset state here

std::string Kvdevice() {
  return (fs::read_symlink("/proc/self/exe").parent_path().parent_path() /
          "tools/kvdevice/kvdevice")
      .string();
}

// Runs a command to its end; returns its exit status and fills its output.
int RunCommand(const std::string& command, std::string& output) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) output += line;
  return pclose(pipe);
}

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void PutBe32(Bytes& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

// Decodes with sox through a Sun .au file of the given encoding (1 mu-law, 27 A-law, 23 G.721
// = G.726-32, 25 G.723-24, 26 G.723-40; codes packed least significant bit first).
std::vector<int16_t> SoxDecode(const fs::path& dir, uint32_t encoding, const Bytes& coded) {
  Bytes au{'.', 's', 'n', 'd'};
  au.reserve(28 + coded.size());
  PutBe32(au, 28);  // data offset: the 24-byte header and a 4-byte empty note
  PutBe32(au, static_cast<uint32_t>(coded.size()));
  PutBe32(au, encoding);
  PutBe32(au, 8000);
  PutBe32(au, 1);
  PutBe32(au, 0);
  au.insert(au.end(), coded.begin(), coded.end());
  const fs::path in = dir / "coded.au";
  const fs::path out = dir / "decoded.raw";
  std::ofstream(in, std::ios::binary)
      .write(reinterpret_cast<const char*>(au.data()), static_cast<std::streamsize>(au.size()));
  std::string output;
  const int status = RunCommand(
      "sox -V1 " + in.string() + " -t raw -e signed-integer -b 16 -L " + out.string(), output);
  EXPECT_EQ(status, 0) << output;
  const Bytes raw = ReadFile(out);
  std::vector<int16_t> pcm(raw.size() / 2);
  for (size_t i = 0; i < pcm.size(); ++i) {
    pcm[i] = static_cast<int16_t>(raw[2 * i] | raw[2 * i + 1] << 8);
  }
  return pcm;
}

// Decodes G.726 packed least significant bit first with libavcodec.
std::vector<int16_t> AvcodecDecodeG726(int bitsPerCode, const Bytes& coded) {
  std::vector<int16_t> pcm;
  const AVCodec* codec = avcodec_find_decoder_by_name("g726le");
  if (codec == nullptr) {
    ADD_FAILURE() << "libavcodec has no g726le decoder";
    return pcm;
  }
  AVCodecContext* context = avcodec_alloc_context3(codec);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  context->sample_rate = 8000;
  context->bits_per_coded_sample = bitsPerCode;
  av_channel_layout_default(&context->ch_layout, 1);
  if (avcodec_open2(context, codec, nullptr) == 0 &&
      av_new_packet(packet, int(coded.size())) == 0) {
    std::memcpy(packet->data, coded.data(), coded.size());
    EXPECT_EQ(avcodec_send_packet(context, packet), 0);
    while (avcodec_receive_frame(context, frame) == 0) {
      const auto* samples = reinterpret_cast<const int16_t*>(frame->data[0]);
      pcm.insert(pcm.end(), samples, samples + frame->nb_samples);
    }
  } else {
    ADD_FAILURE() << "cannot open libavcodec's G.726 decoder";
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&context);
  return pcm;
}

struct Case {
  const char* audio;  // kvdevice's --audio name
  int bitsPerSample;  // coded bits per sample
  uint32_t encoding;  // Sun .au encoding for sox; 0 = libavcodec decodes
};

class ReferenceDecoder : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(Kvdevice())) << "kvdevice is not built at " << Kvdevice();
    dir_ = kv::test::MakeUniqueTempDir("kvnet-audio-reference-");
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }
  fs::path dir_;
};

TEST_P(ReferenceDecoder, DecodesTheSimulatorsToneCleanly) {
  const Case c = GetParam();
  if (c.encoding != 0) {
    std::string version;
    ASSERT_EQ(RunCommand("sox --version", version), 0)
        << "sox is missing (scripts/setup.sh installs it)";
  }
  // Nobody listens on the target port: only the dump of what was sent is used.
  const fs::path dump = dir_ / "sent";
  std::string output;
  const int status =
      RunCommand("timeout 60 " + Kvdevice() + " --fast --quiet --target 127.0.0.1:" +
                     std::to_string(kv::test::FreeUdpPort()) + " --size 176x144 --frames " +
                     std::to_string(kPictures) + " --audio " + c.audio + " --dump " + dump.string(),
                 output);
  ASSERT_EQ(status, 0) << output;
  const Bytes coded = ReadFile(dump.string() + ".audio");
  ASSERT_EQ(coded.size(), kSamples * c.bitsPerSample / 8) << c.audio;

  const std::vector<int16_t> pcm = c.encoding != 0 ? SoxDecode(dir_, c.encoding, coded)
                                                   : AvcodecDecodeG726(c.bitsPerSample, coded);
  ASSERT_EQ(pcm.size(), kSamples) << c.audio;
  const double quality = kv::test::ToneQualityDb(pcm, 1000.0, kSettleSamples);
  std::printf("%s decoded by %s at %.1f dB\n", c.audio, c.encoding != 0 ? "sox" : "libavcodec",
              quality);
  EXPECT_GE(quality, kv::test::ToneFloorDb(c.audio)) << c.audio;
}

INSTANTIATE_TEST_SUITE_P(EveryCodec, ReferenceDecoder,
                         ::testing::Values(Case{"g711u", 8, 1}, Case{"g711a", 8, 27},
                                           Case{"g726-16", 2, 0}, Case{"g726-24", 3, 25},
                                           Case{"g726-32", 4, 23}, Case{"g726-40", 5, 26}),
                         [](const auto& info) {
                           std::string n = info.param.audio;
                           for (char& ch : n) ch = ch == '-' ? '_' : ch;
                           return n;
                         });

// The meter itself: a clean tone, a tone with noise of known power, a phase jump between two
// blocks and a tone of another pitch.
TEST(ToneQuality, MeasuresNoiseAndIgnoresGapsBetweenBlocks) {
  std::vector<int16_t> clean(8000), noisy(8000), jumped(8000), other(8000);
  uint32_t seed = 12345;
  double noisePower = 0;
  for (size_t i = 0; i < clean.size(); ++i) {
    const double t = static_cast<double>(i) / 8000;
    clean[i] = static_cast<int16_t>(std::lround(16000 * std::sin(2 * M_PI * 1000 * t)));
    seed = seed * 1664525 + 1013904223;
    const int noise = static_cast<int>(seed >> 24) - 128;  // about +-128, power 5461
    noisePower += double(noise) * noise;
    noisy[i] = static_cast<int16_t>(clean[i] + noise);
    // From the second block on, the tone goes on with another phase.
    jumped[i] = static_cast<int16_t>(
        std::lround(16000 * std::sin(2 * M_PI * 1000 * t + (i >= 400 ? M_PI * 0.37 : 0))));
    other[i] = static_cast<int16_t>(std::lround(16000 * std::sin(2 * M_PI * 1130 * t)));
  }
  const double expected = 10 * std::log10(16000.0 * 16000 / 2 / (noisePower / 8000));
  EXPECT_GT(kv::test::ToneQualityDb(clean, 1000, 0), 75);
  EXPECT_NEAR(kv::test::ToneQualityDb(noisy, 1000, 0), expected, 0.5);
  EXPECT_GT(kv::test::ToneQualityDb(jumped, 1000, 0), 75);
  EXPECT_LT(kv::test::ToneQualityDb(other, 1000, 0), 3);
  EXPECT_LT(kv::test::ToneQualityDb(clean, 1000, 7700), -999);  // no whole block left
}

}  // namespace
