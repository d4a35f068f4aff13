// "kvnet export": recordings made from the device simulator for each video codec, exported to
// Matroska and MP4 and checked with ffprobe / ffmpeg (picture count, duration, key marks, clean
// decoding, the tone in the sound); files of every layout; damaged and unreadable files.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "kvnet/record_exporter.h"
#include "tests/support/record_writers.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_streams.h"
#include "tests/support/tone_quality.h"

namespace {

namespace fs = std::filesystem;
using kv::test::RunCommand;

fs::path BuildDir() { return fs::read_symlink("/proc/self/exe").parent_path().parent_path(); }
std::string Kvnet() { return (BuildDir() / "tools/kvnet").string(); }
std::string Kvdevice() { return (BuildDir() / "tools/kvdevice/kvdevice").string(); }

int FreeUdpPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  ::close(fd);
  return port;
}

std::vector<uint8_t> ReadBytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), {});
}

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

// What a native record file holds, counted here on its own terms: the pictures from the first
// key picture on, their key marks and time stamps.
struct RecordPictures {
  std::vector<bool> key;
  std::vector<uint32_t> stamps;
};

RecordPictures CountPictures(const std::vector<uint8_t>& b, const std::string& codec) {
  RecordPictures r;
  size_t end = b.size();
  if (end > 12 && std::string(b.end() - 8, b.end()) == "ENDINDEX") {
    end -= 22 + size_t{Le32(&b[b.size() - 12])} * 16;
  }
  bool started = false;
  for (size_t pos = 39; pos + 12 <= end;) {
    const uint32_t word = Le32(&b[pos]);
    const uint32_t length = word >> 12;
    const uint8_t* d = &b[pos + 12];
    const bool start = length >= 5 && d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 1;
    if ((word & 3) == 0 && start) {
      bool picture = false, key = false;
      if (codec == "h264") {
        const int type = d[4] & 0x1F;
        picture = (type == 1 || type == 5) && length > 5 && (d[5] & 0x80);
        key = type == 5;
      } else if (codec == "mjpeg") {
        picture = d[4] == 0xFF;
        key = true;
      } else {
        for (size_t i = 0; i + 4 < length; ++i) {
          if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1 && d[i + 3] == 0xB6) {
            picture = true;
            key = (d[i + 4] >> 6) == 0;
            break;
          }
        }
      }
      if (picture && (started || key)) {
        started = true;
        r.key.push_back(key);
        r.stamps.push_back(Le32(d - 4));
      }
    }
    pos += 12 + length;
  }
  return r;
}

struct Probed {
  std::string codec;
  std::vector<bool> key;
  double duration = 0;
  std::string audioCodec;
};

// ffprobe's view of the video packets. The duration is the video stream's own (first picture to
// the end of the last), not the file's, which the sound may lengthen.
Probed Probe(const fs::path& file) {
  Probed p;
  const auto packets = RunCommand(
      "ffprobe -v error -select_streams v:0 -show_entries "
      "packet=pts_time,duration_time,flags -of csv=p=0 '" +
          file.string() + "'",
      120);
  std::istringstream lines(packets.out);
  double first = -1, end = 0;
  for (std::string line; std::getline(lines, line);) {
    // ffprobe prints the fields in its own order: pts_time, duration_time, flags.
    const size_t a = line.find(','), b = line.rfind(',');
    if (a == std::string::npos || b == a) continue;
    p.key.push_back(line[b + 1] == 'K');
    const double pts = std::atof(line.substr(0, a).c_str());
    const std::string d = line.substr(a + 1, b - a - 1);
    const double duration = d == "N/A" ? 1.0 / 25 : std::atof(d.c_str());
    if (first < 0) first = pts;
    end = std::max(end, pts + duration);
  }
  p.duration = first < 0 ? 0 : end - first;
  const auto v = RunCommand(
      "ffprobe -v error -select_streams v:0 -show_entries "
      "stream=codec_name -of csv=p=0 '" +
          file.string() + "'",
      60);
  p.codec = v.out.substr(0, v.out.find('\n'));
  const auto a = RunCommand(
      "ffprobe -v error -select_streams a:0 -show_entries "
      "stream=codec_name -of csv=p=0 '" +
          file.string() + "'",
      60);
  p.audioCodec = a.out.substr(0, a.out.find('\n'));
  return p;
}

// The exported sound decoded by ffmpeg, 8,000 samples/s.
std::vector<int16_t> DecodedSound(const fs::path& file) {
  const auto r = RunCommand(
      "ffmpeg -v error -i '" + file.string() + "' -map 0:a:0 -f s16le -ac 1 -ar 8000 -", 120);
  std::vector<int16_t> pcm(r.out.size() / 2);
  for (size_t i = 0; i < pcm.size(); ++i) {
    pcm[i] = static_cast<int16_t>(uint8_t(r.out[2 * i]) | uint8_t(r.out[2 * i + 1]) << 8);
  }
  return pcm;
}

class KvnetExport : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::access(Kvnet().c_str(), X_OK), 0) << "build kvnet first";
    ASSERT_EQ(::access(Kvdevice().c_str(), X_OK), 0) << "build kvdevice first";
    dir_ = kv::test::MakeUniqueTempDir("kvnet-export-");
    av_log_set_level(AV_LOG_ERROR);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // "kvnet live --record" of the simulator's stream; stopped as with Ctrl-C once the simulator
  // is done, so a slow start does not cut the recording short.
  fs::path Record(const std::string& codec, const std::string& audio) {
    const std::string address = "127.0.0.1:" + std::to_string(FreeUdpPort());
    const fs::path record = dir_ / (codec + ".rec");
    ::unsetenv("DISPLAY");
    ::setenv("KVNET_AUDIO_OUT", "null", 1);
    std::string ready, error;
    auto live = kv::test::ServerProcess::Start(
        {Kvnet(), "live", "--udp", address, "--seconds", "120", "--record", record.string()},
        "live: listening", 20000, (dir_ / "live.err").string(), &ready, &error);
    if (!live) {
      ADD_FAILURE() << "kvnet live: " << error;
      return {};
    }
    const auto device =
        RunCommand(Kvdevice() + " --target " + address + " --codec " + codec + " --audio " + audio +
                       " --key-interval 10 --duration 4 --quiet",
                   120);
    EXPECT_EQ(device.exitCode, 0) << device.err;
    ::usleep(500 * 1000);
    std::string output;
    EXPECT_EQ(live->Stop(20000, &output), 0) << output;
    EXPECT_NE(output.find("REC_STOPPED"), std::string::npos) << output;
    return record;
  }

  fs::path dir_;
};

struct CodecCase {
  const char* codec;
  const char* audio;
  const char* mkvAudio;
};

class KvnetExportCodec : public KvnetExport, public ::testing::WithParamInterface<CodecCase> {};

TEST_P(KvnetExportCodec, RecordingPlaysFromMatroskaAndMp4) {
  const CodecCase c = GetParam();
  const fs::path record = Record(c.codec, c.audio);
  ASSERT_FALSE(record.empty());
  const RecordPictures pictures = CountPictures(ReadBytes(record), c.codec);
  ASSERT_GE(pictures.key.size(), 20u) << "the recording is too short to check";
  const double frameInterval = 1.0 / 25;
  const double recordSeconds =
      (pictures.stamps.back() - pictures.stamps.front()) / 1000.0 + frameInterval;
  for (const char* ext : {".mkv", ".mp4"}) {
    SCOPED_TRACE(ext);
    const fs::path out = dir_ / (std::string(c.codec) + ext);
    const auto run =
        RunCommand(Kvnet() + " export '" + record.string() + "' '" + out.string() + "' 2>&1", 120);
    ASSERT_EQ(run.exitCode, 0) << run.out;
    EXPECT_NE(run.out.find("export: wrote " + out.string()), std::string::npos) << run.out;
    const Probed p = Probe(out);
    EXPECT_EQ(p.codec, c.codec);
    EXPECT_EQ(p.key, pictures.key) << "one packet per recorded picture, key pictures marked";
    EXPECT_NEAR(p.duration, recordSeconds, frameInterval);
    EXPECT_EQ(p.audioCodec, std::string(ext) == ".mkv" ? c.mkvAudio : "aac");
    // Every picture decodes without a complaint; the encoder's time base is the file's, so
    // that ffmpeg itself does not round two close time stamps into one.
    const auto decode = RunCommand(
        "ffmpeg -v error -i '" + out.string() + "' -enc_time_base -1 -f null - 2>&1", 180);
    EXPECT_EQ(decode.exitCode, 0);
    EXPECT_EQ(decode.out, "");
    const auto frames = RunCommand(
        "ffprobe -v error -count_frames -select_streams v:0 "
        "-show_entries stream=nb_read_frames -of csv=p=0 '" +
            out.string() + "'",
        180);
    EXPECT_EQ(std::atoi(frames.out.c_str()), static_cast<int>(pictures.key.size()));
    // The 1 kHz tone comes through the stored codec (and AAC) as the device sent it.
    const std::vector<int16_t> sound = DecodedSound(out);
    ASSERT_GT(sound.size(), 8000u) << "less than a second of sound";
    EXPECT_GT(kv::test::ToneQualityDb(sound, 1000, 2000), std::string(ext) == ".mkv" ? 20 : 15);
  }
}

INSTANTIATE_TEST_SUITE_P(Codecs, KvnetExportCodec,
                         ::testing::Values(CodecCase{"h264", "g711a", "pcm_alaw"},
                                           CodecCase{"mpeg4", "g726-32", "adpcm_g726"},
                                           CodecCase{"mjpeg", "g711u", "pcm_mulaw"}),
                         [](const auto& info) { return std::string(info.param.codec); });

// Files written as a recorder of every layout writes them, outside the library.
TEST_F(KvnetExport, EveryLayoutExports) {
  kv::test::StreamOptions o;
  o.width = 320;
  o.height = 240;
  o.pictures = 30;
  o.keyInterval = 10;
  const kv::test::StoredStream h264 = kv::test::MakeH264Stream(o);
  const kv::test::StoredStream mjpeg = kv::test::MakeMjpegStream(o);
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    int pictures;
    const char* codec;
  } files[] = {
      {"native", kv::test::WriteNativeBytes(h264, true, 96), 30, "h264"},
      {"native-cut", kv::test::WriteNativeBytes(h264, false, 96), 30, "h264"},
      {"mjpeg", kv::test::WriteNativeBytes(mjpeg, true, 26), 30, "mjpeg"},
      {"legacy", kv::test::WriteLegacyBytes(h264, true), 30, "h264"},
      {"avi", kv::test::WriteAviBytes(mjpeg, "MJPG"), 30, "mjpeg"},
  };
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    const fs::path in = dir_ / (std::string(f.name) + ".rec");
    ASSERT_TRUE(kv::test::WriteFileBytes(in.string(), f.bytes));
    const fs::path out = dir_ / (std::string(f.name) + ".mkv");
    kvnet::ExportSummary summary;
    std::string error;
    ASSERT_TRUE(kvnet::ExportRecordFile(in.string(), out.string(), nullptr, &summary, &error))
        << error;
    EXPECT_EQ(summary.pictures, f.pictures);
    const Probed p = Probe(out);
    EXPECT_EQ(p.codec, f.codec);
    EXPECT_EQ(static_cast<int>(p.key.size()), f.pictures);
    EXPECT_NEAR(p.duration, f.pictures / 25.0, 1.0 / 25);
    EXPECT_EQ(p.audioCodec, std::string(f.name) == "avi" ? "pcm_s16le" : "pcm_mulaw");
    // Only the file the recorder never finished says so.
    EXPECT_EQ(summary.warnings.size(), std::string(f.name) == "native-cut" ? 1u : 0u);
  }
}

TEST_F(KvnetExport, UnreadableFilesGiveAnErrorAndNoOutput) {
  const fs::path out = dir_ / "out.mp4";
  const fs::path garbage = dir_ / "garbage.rec";
  ASSERT_TRUE(kv::test::WriteFileBytes(garbage.string(), kv::test::RandomBytes(5000, 9)));
  for (const fs::path& in : {dir_ / "missing.rec", garbage}) {
    const auto run =
        RunCommand(Kvnet() + " export '" + in.string() + "' '" + out.string() + "' 2>&1", 60);
    EXPECT_EQ(run.exitCode, 1) << run.out;
    EXPECT_NE(run.out.find("nothing written"), std::string::npos) << run.out;
    EXPECT_FALSE(fs::exists(out));
  }
  // Audio only: no picture to show.
  kv::test::StoredStream s = kv::test::MakeMjpegStream(kv::test::StreamOptions{});
  std::erase_if(s.units, [](const kv::test::StoredUnit& u) { return u.kind == 0; });
  const fs::path audioOnly = dir_ / "audio.rec";
  ASSERT_TRUE(
      kv::test::WriteFileBytes(audioOnly.string(), kv::test::WriteNativeBytes(s, false, 26)));
  // An existing file is left as it was when the export fails; a wrong name is refused.
  std::ofstream(out) << "keep";
  kvnet::ExportSummary summary;
  std::string error;
  EXPECT_FALSE(
      kvnet::ExportRecordFile(audioOnly.string(), out.string(), nullptr, &summary, &error));
  EXPECT_NE(error.find("no key picture"), std::string::npos) << error;
  EXPECT_EQ(ReadBytes(out).size(), 4u);
  EXPECT_FALSE(fs::exists(out.string() + ".part"));
  EXPECT_FALSE(kvnet::ExportRecordFile(garbage.string(), (dir_ / "x.avi").string(), nullptr,
                                       &summary, &error));
  EXPECT_NE(error.find(".mkv or .mp4"), std::string::npos);
  const auto usage = RunCommand(Kvnet() + " export onlyone 2>&1", 30);
  EXPECT_EQ(usage.exitCode, 2);
}

// Damaged copies of real recordings (cut anywhere, bytes flipped, pieces overwritten): each
// exports what it can or fails cleanly, never crashing, and leaves a file only on success.
TEST_F(KvnetExport, DamagedFilesExportOrFailCleanly) {
  kv::test::StreamOptions o;
  o.width = 160;
  o.height = 128;
  o.pictures = 24;
  o.keyInterval = 6;
  const kv::test::StoredStream h264 = kv::test::MakeH264Stream(o);
  const kv::test::StoredStream mjpeg = kv::test::MakeMjpegStream(o);
  const std::vector<std::vector<uint8_t>> originals = {
      kv::test::WriteNativeBytes(h264, true, 96), kv::test::WriteLegacyBytes(h264, true),
      kv::test::WriteAviBytes(mjpeg, "MJPG"), kv::test::WriteNativeBytes(mjpeg, true, 26)};
  uint32_t seed = 1;
  int exported = 0, refused = 0, cutExported = 0;
  for (size_t f = 0; f < originals.size(); ++f) {
    const std::vector<uint8_t>& original = originals[f];
    std::vector<std::vector<uint8_t>> corpus;
    for (int i = 1; i <= 12; ++i)
      corpus.emplace_back(original.begin(), original.begin() + original.size() * i / 13);
    for (int i = 0; i < 24; ++i) {
      std::vector<uint8_t> b = original;
      const std::vector<uint8_t> noise = kv::test::RandomBytes(64, ++seed);
      const size_t at = noise[0] * b.size() / 256;
      for (size_t k = 0; k < (i % 3 == 0 ? 64u : 4u) && at + k < b.size(); ++k)
        b[at + k] = noise[k];
      corpus.push_back(std::move(b));
    }
    for (size_t i = 0; i < corpus.size(); ++i) {
      SCOPED_TRACE("file " + std::to_string(f) + " case " + std::to_string(i));
      const fs::path out = dir_ / (i % 2 ? "damaged.mkv" : "damaged.mp4");
      kv::MemoryRecordInput in(corpus[i].data(), corpus[i].size());
      kvnet::ExportSummary summary;
      std::string error;
      if (kvnet::ExportRecord(in, out.string(), nullptr, &summary, &error)) {
        ++exported;
        if (i < 12) ++cutExported;
        EXPECT_TRUE(fs::exists(out));
        EXPECT_GT(summary.pictures, 0);
        fs::remove(out);
      } else {
        ++refused;
        EXPECT_FALSE(error.empty());
        EXPECT_FALSE(fs::exists(out));
      }
      EXPECT_FALSE(fs::exists(out.string() + ".part"));
    }
  }
  // Most damage leaves something to export; some files cannot be read at all.
  EXPECT_GT(exported, refused);
  EXPECT_GT(refused, 0);
  EXPECT_GE(cutExported, 30) << "files cut after their first key picture still export";
}

}  // namespace
