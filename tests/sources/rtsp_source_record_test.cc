// Recording an RTSP stream: the file is read back by the SDK's own record reader (layout,
// description, index) and its units walked; the video is checked by ffprobe (the H.264 and
// MPEG-4 units as an elementary stream, a JPEG picture as an image). JPEG pictures carry frame
// type 7 when they came interleaved and 10 when they came over RTP/UDP.
#include <algorithm>
#include <map>

#include "sdk/record/record_reader.h"
#include "tests/sources/rtsp_live_fixture.h"
#include "tests/support/jpeg_inspect.h"

namespace {

using namespace rtsp_live;

struct Unit {
  uint32_t kind, type;
  std::vector<uint8_t> data;
};

struct RecordCase {
  int transport;
  const char* video;
  const char* audio;
  uint8_t videoCode;
  uint8_t audioCode;
  uint32_t pictureType;  // frame type of a whole picture's unit (JPEG); 0: not checked
};

void PrintTo(const RecordCase& c, std::ostream* os) {
  *os << (c.transport == TRANSPORT_RTSP_TCP ? "tcp " : "udp ") << c.video << " " << c.audio;
}

class RtspRecord : public RtspLive, public ::testing::WithParamInterface<RecordCase> {};

// The units from the first one up to end, or up to the first unit not yet whole in a file
// still being written; whole (may be null) tells whether every unit up to end was read.
std::vector<Unit> ReadUnits(kv::FileRecordInput& in, int layout, uint64_t end,
                            bool* whole = nullptr) {
  std::vector<Unit> units;
  const size_t headerSize = kv::UnitHeaderSize(layout);
  bool complete = true;
  for (uint64_t at = kv::kFirstUnitOffset; at + headerSize <= end;) {
    std::vector<uint8_t> head(headerSize);
    complete = in.ReadExact(at, head.data(), headerSize);
    if (!complete) break;
    const kv::UnitHead h = kv::DecodeUnitHead(head.data(), layout);
    Unit u{h.kind, h.type, std::vector<uint8_t>(h.length)};
    complete = in.ReadExact(at + headerSize, u.data.data(), h.length);
    if (!complete) break;
    units.push_back(std::move(u));
    at += headerSize + h.length;
  }
  if (whole != nullptr) *whole = complete;
  return units;
}

// Video units that begin a picture: an H.264 slice (one per picture here), an MPEG-4 VOP, a
// whole JPEG picture.
bool BeginsPicture(const Unit& u, uint8_t codec) {
  if (u.kind != kv::kUnitVideo || u.data.size() < 5) return false;
  if (codec == VCODEC_MJPEG) return true;
  if (codec == VCODEC_H264) {
    const bool startCode = u.data[0] == 0 && u.data[1] == 0 && u.data[2] == 0 && u.data[3] == 1;
    return startCode && (u.type == 1 || u.type == 5);
  }
  for (size_t i = 0; i + 3 < u.data.size(); ++i) {
    if (u.data[i] == 0 && u.data[i + 1] == 0 && u.data[i + 2] == 1 && u.data[i + 3] == 0xB6)
      return true;
  }
  return false;
}

// Pictures already in a recording that is still being written (0 while it cannot be read).
int PicturesRecordedSoFar(const std::string& path, uint8_t codec) {
  kv::FileRecordInput in;
  kv::RecordDescription description;
  if (!in.Open(path.c_str()) || !kv::ReadRecordDescription(in, &description)) return 0;
  const std::vector<Unit> units = ReadUnits(in, description.layout, in.Size());
  return static_cast<int>(std::count_if(units.begin(), units.end(),
                                        [&](const Unit& u) { return BeginsPicture(u, codec); }));
}

TEST_P(RtspRecord, RecordingReadsBackAndDecodes) {
  const RecordCase& c = GetParam();
  Device device(std::string("--codec ") + c.video + " --audio " + c.audio +
                " --size 320x240 --fps 25 --key-interval 5");
  ASSERT_TRUE(device.ok());
  ASSERT_NE(Start({c.transport, device.port()}), nullptr);
  ASSERT_TRUE(WaitUntil([&] { return Pictures() >= 3; }));
  const std::string path = (dir_ / "rec" / "live.kv").string();
  ASSERT_EQ(KVNET_ClientStartRecord(handle_, path.c_str(), 0), 1);
  // Forty pictures in the file (what is drawn lags what is received, the more so on a loaded
  // machine, so the drawn count says little about the recording).
  ASSERT_TRUE(WaitUntil([&] { return PicturesRecordedSoFar(path, c.videoCode) >= 40; }));
  ASSERT_EQ(KVNET_ClientStopRecord(handle_), 1);
  EXPECT_TRUE(StopWithin(10));

  kv::FileRecordInput in;
  ASSERT_TRUE(in.Open(path.c_str()));
  kv::RecordDescription description;
  ASSERT_TRUE(kv::ReadRecordDescription(in, &description));
  EXPECT_EQ(description.layout,
            c.videoCode == VCODEC_MJPEG ? kv::kLayoutNativeMjpeg : kv::kLayoutNative);
  EXPECT_EQ(description.videoCodec, c.videoCode);
  EXPECT_EQ(description.audioCodec, c.audioCode);
  EXPECT_EQ(description.width, 320);
  EXPECT_EQ(description.height, 240);
  const kv::IndexReadResult index = kv::ReadRecordIndex(in, description.layout);
  ASSERT_TRUE(index.fromTrailer);
  EXPECT_GE(index.entries.size(), 2u);

  bool whole = false;
  const std::vector<Unit> units = ReadUnits(in, description.layout, index.dataEnd, &whole);
  ASSERT_TRUE(whole) << "a unit before the end of the data cannot be read";
  std::vector<uint8_t> video;
  std::vector<uint8_t> firstPicture;
  size_t audioUnits = 0;
  std::map<uint32_t, int> types;
  int pictures = 0;  // units that begin a coded picture (one slice each)
  for (const Unit& u : units) {
    if (u.kind == 1) {
      ++audioUnits;
      EXPECT_EQ(u.type, c.audioCode & 0xFu);
      // A voice frame: its 4-byte header, then the RTP payload (20 ms of sound).
      ASSERT_GE(u.data.size(), 4u);
      EXPECT_EQ(u.data[0] | u.data[1] << 8, 0x0100);
      EXPECT_EQ(size_t(u.data[2] | u.data[3] << 8) * 2, u.data.size() - 4);
      continue;
    }
    ++types[u.type];
    if (BeginsPicture(u, c.videoCode)) ++pictures;
    video.insert(video.end(), u.data.begin(), u.data.end());
    if (firstPicture.empty()) firstPicture = u.data;
  }
  EXPECT_GE(audioUnits, 40u);  // more than a second and a half of 20 ms frames
  EXPECT_GE(pictures, 40);
  if (c.pictureType != 0) {
    EXPECT_EQ(types.size(), 1u);
    EXPECT_GE(types[c.pictureType], 35);
  }

  const std::string out = (dir_ / (c.videoCode == VCODEC_MJPEG  ? "first.jpg"
                                   : c.videoCode == VCODEC_H264 ? "video.h264"
                                                                : "video.m4v"))
                              .string();
  std::ofstream(out, std::ios::binary)
      .write(reinterpret_cast<const char*>(c.videoCode == VCODEC_MJPEG ? firstPicture.data()
                                                                       : video.data()),
             static_cast<std::streamsize>(c.videoCode == VCODEC_MJPEG ? firstPicture.size()
                                                                      : video.size()));
  if (!kvdevice_rtsp_test::HaveFfmpeg()) GTEST_SKIP() << "ffprobe is not installed";
  if (c.videoCode == VCODEC_MJPEG) {
    EXPECT_EQ(kv::test::ProbeImage(out).substr(0, 13), "mjpeg,320,240");
    return;
  }
  const kv::test::CommandResult probe = kv::test::RunCommand(
      "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
      "stream=codec_name,width,height,nb_read_frames -of csv=p=0 " +
          out,
      60);
  ASSERT_EQ(probe.exitCode, 0) << probe.err;
  const std::string name = c.videoCode == VCODEC_H264 ? "h264" : "mpeg4";
  EXPECT_EQ(probe.out.substr(0, name.size() + 8), name + ",320,240") << probe.out;
  const int frames = std::atoi(probe.out.substr(probe.out.rfind(',') + 1).c_str());
  // Pictures before the first key picture of the file cannot be decoded (key interval 5).
  EXPECT_GE(frames, 35) << probe.out;
  if (c.videoCode == VCODEC_H264) {
    EXPECT_LE(frames, pictures);
    EXPECT_GE(frames, pictures - 4);
  }
}

INSTANTIATE_TEST_SUITE_P(
    TransportsAndCodecs, RtspRecord,
    ::testing::Values(
        RecordCase{TRANSPORT_RTSP_TCP, "h264", "g711a", VCODEC_H264, ACODEC_G711A, 0},
        RecordCase{TRANSPORT_RTSP_UDP, "mpeg4", "g726-32", VCODEC_MPEG4, ACODEC_G726_32, 0},
        RecordCase{TRANSPORT_RTSP_TCP, "mjpeg", "g711u", VCODEC_MJPEG, ACODEC_G711U, 7},
        RecordCase{TRANSPORT_RTSP_UDP, "mjpeg", "g711u", VCODEC_MJPEG, ACODEC_G711U, 10}),
    [](const ::testing::TestParamInfo<RecordCase>& info) {
      return std::string(info.param.transport == TRANSPORT_RTSP_TCP ? "tcp_" : "udp_") +
             info.param.video;
    });

}  // namespace
