// Test-side record file writers and generated content.
#include "tests/support/record_writers.h"

#include <turbojpeg.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

#include "KvNetClient.h"
#include "sdk/core/net_client.h"
#include "sdk/platform/voice_codec.h"
#include "sdk/record/unit_recorder.h"
#include "tests/support/fake_parts.h"
#include "tests/support/test_streams.h"

namespace kv::test {
namespace {

void Put16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put64(std::vector<uint8_t>& b, uint64_t v) {
  for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Set32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutText(std::vector<uint8_t>& b, const char* text, size_t n) {
  for (size_t i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(text[i]));
}

uint32_t Word(const StoredUnit& u) {
  return (u.kind & 3u) | ((u.type & 15u) << 2) | (static_cast<uint32_t>(u.data.size()) << 12);
}

// Two 20 ms G.711 mu-law voice frames of a 440 Hz tone; the decoded samples go to pcm.
void AddVoice(StoredStream& s, uint32_t timeStamp, int& phase, platform::VoiceCodecState& enc,
              platform::VoiceCodecState& dec) {
  for (int f = 0; f < 2; ++f) {
    int16_t tone[platform::kVoiceSamplesPerFrame];
    for (int i = 0; i < platform::kVoiceSamplesPerFrame; ++i, ++phase) {
      tone[i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440.0 * phase / 8000.0));
    }
    std::vector<uint8_t> frame(platform::kVoiceMaxFrameBytes);
    platform::HI_VOICE_EncodeFrame(&enc, tone, frame.data(), frame.size(),
                                   platform::kVoiceSamplesPerFrame);
    frame.resize(platform::VoiceFrameBytes(ACODEC_G711U, platform::kVoiceSamplesPerFrame));
    int16_t out[1024];
    uint16_t n = 0;
    platform::HI_VOICE_DecodeFrame(&dec, frame.data(), frame.size(), out, 1024, &n);
    s.pcm.insert(s.pcm.end(), out, out + n);
    StoredUnit u;
    u.kind = 1;
    u.type = ACODEC_G711U;
    u.data = std::move(frame);
    u.timeStamp = timeStamp;
    s.units.push_back(std::move(u));
  }
}

uint32_t PictureTime(const StreamOptions& o, int picture) {
  return o.firstTimeStamp + static_cast<uint32_t>(picture * 1000 / o.frameRate);
}

}  // namespace

StoredStream MakeH264Stream(const StreamOptions& o) {
  StoredStream s;
  s.videoCodec = VCODEC_H264;
  s.audioCodec = o.audio ? ACODEC_G711U : 0;
  s.width = o.width;
  s.height = o.height;
  s.pictures = o.pictures;
  s.frameRate = o.frameRate;
  H264Options h;
  h.width = o.width;
  h.height = o.height;
  h.pictures = o.pictures;
  h.slices = o.slices;
  h.intraPeriod = o.keyInterval;
  h.bitrate = 1'000'000;
  const EncodedStream e = EncodeH264OpenH264(h);
  platform::VoiceCodecState enc{}, dec{};
  platform::HI_VOICE_EncReset(&enc, ACODEC_G711U);
  platform::HI_VOICE_DecReset(&dec, ACODEC_G711U);
  int phase = 0;
  int next = 0;  // the picture the next header units come before
  for (size_t i = 0; i < e.frames.size(); ++i) {
    StoredUnit u;
    u.kind = 0;
    u.data = e.frames[i];
    u.type = u.data.size() > 4 ? (u.data[4] & 0x1Fu) : 0;
    u.picture = e.pictureOfFrame[i];
    u.timeStamp = PictureTime(o, u.picture >= 0 ? u.picture : next);
    if (u.picture >= 0) next = u.picture + 1;
    s.units.push_back(std::move(u));
    const bool lastOfPicture =
        e.pictureOfFrame[i] >= 0 &&
        (i + 1 == e.frames.size() || e.pictureOfFrame[i + 1] != e.pictureOfFrame[i]);
    if (o.audio && lastOfPicture) AddVoice(s, PictureTime(o, e.pictureOfFrame[i]), phase, enc, dec);
  }
  return s;
}

StoredStream MakeMjpegStream(const StreamOptions& o) {
  StoredStream s;
  s.videoCodec = VCODEC_MJPEG;
  s.audioCodec = o.audio ? ACODEC_G711U : 0;
  s.width = o.width;
  s.height = o.height;
  s.pictures = o.pictures;
  s.frameRate = o.frameRate;
  platform::VoiceCodecState enc{}, dec{};
  platform::HI_VOICE_EncReset(&enc, ACODEC_G711U);
  platform::HI_VOICE_DecReset(&dec, ACODEC_G711U);
  int phase = 0;
  for (int i = 0; i < o.pictures; ++i) {
    StoredUnit u;
    u.kind = 0;
    u.type = 7;
    u.data = EncodeJpeg(MakeTestPicture(o.width, o.height, i), TJSAMP_420);
    u.picture = i;
    u.timeStamp = PictureTime(o, i);
    s.units.push_back(std::move(u));
    if (o.audio) AddVoice(s, PictureTime(o, i), phase, enc, dec);
  }
  return s;
}

namespace {

void PutNativeHeader(std::vector<uint8_t>& b, uint8_t videoCodec, uint8_t audioCodec, int width,
                     int height, int frameRate) {
  PutText(b, "Morvalinder", 11);
  b.push_back(videoCodec);
  b.push_back(audioCodec);
  Put16(b, static_cast<uint16_t>(width));
  Put16(b, static_cast<uint16_t>(height));
  b.push_back(0);
  b.resize(38, 0);
  b.push_back(static_cast<uint8_t>(frameRate));
}

void PutNativeUnitHeader(std::vector<uint8_t>& b, const StoredUnit& u, int width, int height) {
  Put32(b, Word(u));
  Put16(b, static_cast<uint16_t>(width));
  Put16(b, static_cast<uint16_t>(height));
  Put32(b, u.timeStamp);
}

void PutNativeTrailer(std::vector<uint8_t>& b,
                      const std::vector<std::pair<uint64_t, uint32_t>>& index) {
  PutText(b, "BEGININDEX", 10);
  for (auto& [offset, stamp] : index) {
    Put64(b, offset);
    Put32(b, stamp);
    Put32(b, 0);
  }
  Put32(b, static_cast<uint32_t>(index.size()));
  PutText(b, "ENDINDEX", 8);
}

}  // namespace

std::vector<uint8_t> WriteNativeBytes(const StoredStream& s, bool withTrailer, uint8_t codecCode,
                                      bool indexAll) {
  std::vector<uint8_t> b;
  PutNativeHeader(b, codecCode, s.audioCodec, s.width, s.height, s.frameRate);
  std::vector<std::pair<uint64_t, uint32_t>> index;
  for (const StoredUnit& u : s.units) {
    if (u.kind == 0 && (u.type == 7 || indexAll)) index.push_back({b.size(), u.timeStamp});
    PutNativeUnitHeader(b, u, s.width, s.height);
    b.insert(b.end(), u.data.begin(), u.data.end());
  }
  if (withTrailer) PutNativeTrailer(b, index);
  return b;
}

NativeFileWriter::NativeFileWriter(const std::string& path, uint8_t videoCodec, uint8_t audioCodec,
                                   int width, int height, int frameRate)
    : file_(std::fopen(path.c_str(), "wb")), width_(width), height_(height) {
  std::vector<uint8_t> b;
  PutNativeHeader(b, videoCodec, audioCodec, width, height, frameRate);
  ok_ = file_ != nullptr && std::fwrite(b.data(), 1, b.size(), file_) == b.size();
  offset_ = b.size();
}

NativeFileWriter::~NativeFileWriter() {
  if (file_ != nullptr) std::fclose(file_);
}

void NativeFileWriter::Add(const StoredUnit& u) {
  if (!ok_) return;
  if (u.kind == 0 && u.type == 7) index_.push_back({offset_, u.timeStamp});
  std::vector<uint8_t> b;
  PutNativeUnitHeader(b, u, width_, height_);
  ok_ = std::fwrite(b.data(), 1, b.size(), file_) == b.size() &&
        std::fwrite(u.data.data(), 1, u.data.size(), file_) == u.data.size();
  offset_ += b.size() + u.data.size();
}

bool NativeFileWriter::Finish() {
  if (file_ == nullptr) return false;
  std::vector<uint8_t> b;
  PutNativeTrailer(b, index_);
  ok_ = ok_ && std::fwrite(b.data(), 1, b.size(), file_) == b.size();
  ok_ = std::fclose(file_) == 0 && ok_;
  file_ = nullptr;
  return ok_;
}

std::vector<uint8_t> WriteLegacyBytes(const StoredStream& s, bool withTrailer) {
  std::vector<uint8_t> b;
  PutText(b, "Morvalinder video server record format", 38);
  b.push_back(static_cast<uint8_t>(s.frameRate));
  std::vector<std::pair<uint32_t, uint32_t>> index;
  for (const StoredUnit& u : s.units) {
    if (u.kind == 0 && u.type == 7) index.push_back({static_cast<uint32_t>(b.size()), u.timeStamp});
    Put32(b, Word(u));
    Put32(b, u.timeStamp);
    b.insert(b.end(), u.data.begin(), u.data.end());
  }
  if (withTrailer) {
    PutText(b, "BEGININDEX", 10);
    for (auto& [offset, stamp] : index) {
      Put32(b, offset);
      Put32(b, stamp);
    }
    Put32(b, static_cast<uint32_t>(index.size()));
    PutText(b, "ENDINDEX", 8);
  }
  return b;
}

std::vector<uint8_t> WriteAviBytes(const StoredStream& s, const char fourcc[4]) {
  // Whole pictures: the units of each picture (headers go with the picture after them).
  std::vector<std::vector<uint8_t>> pictures;
  std::vector<uint8_t> pending;
  for (const StoredUnit& u : s.units) {
    if (u.kind != 0) continue;
    pending.insert(pending.end(), u.data.begin(), u.data.end());
    if (u.picture >= 0) {
      const bool last = &u == &s.units.back() || [&] {
        for (const StoredUnit* n = &u + 1; n <= &s.units.back(); ++n)
          if (n->kind == 0) return n->picture != u.picture;
        return true;
      }();
      if (last) {
        pictures.push_back(std::move(pending));
        pending.clear();
      }
    }
  }
  const size_t pcmPerChunk = 160;  // samples: 20 ms
  std::vector<uint8_t> b;
  PutText(b, "RIFF", 4);
  Put32(b, 0);  // set at the end
  PutText(b, "AVI ", 4);
  PutText(b, "LIST", 4);
  Put32(b, 328);
  PutText(b, "hdrl", 4);
  PutText(b, "avih", 4);
  Put32(b, 56);
  Put32(b, 1000000 / s.frameRate);
  Put32(b, 0);
  Put32(b, 0);
  Put32(b, 0x10);
  Put32(b, static_cast<uint32_t>(pictures.size()));  // offset 48
  Put32(b, 0);
  Put32(b, 2);
  Put32(b, 1048576);
  Put32(b, static_cast<uint32_t>(s.width));  // 64
  Put32(b, static_cast<uint32_t>(s.height));
  b.resize(88, 0);
  PutText(b, "LIST", 4);
  Put32(b, 116);
  PutText(b, "strl", 4);
  PutText(b, "strh", 4);
  Put32(b, 56);
  PutText(b, "vids", 4);
  PutText(b, fourcc, 4);  // 112
  Put32(b, 0);
  Put32(b, 0);
  Put32(b, 0);
  Put32(b, 1);                                   // scale
  Put32(b, static_cast<uint32_t>(s.frameRate));  // rate, offset 132
  Put32(b, 0);
  Put32(b, static_cast<uint32_t>(pictures.size()));
  b.resize(164, 0);
  PutText(b, "strf", 4);
  Put32(b, 40);
  Put32(b, 40);
  Put32(b, static_cast<uint32_t>(s.width));
  Put32(b, static_cast<uint32_t>(s.height));
  Put16(b, 1);
  Put16(b, 24);
  PutText(b, fourcc, 4);  // 188
  b.resize(212, 0);
  PutText(b, "JUNK", 4);
  Put32(b, 128);
  b.resize(336, 0);
  PutText(b, "MorvaLinder", 11);
  b.resize(348, 0);
  PutText(b, "JUNK", 4);  // the second top-level chunk
  Put32(b, 4);
  Put32(b, 0);
  PutText(b, "LIST", 4);
  const size_t moviSize = b.size();
  Put32(b, 0);
  PutText(b, "movi", 4);
  struct Entry {
    const char* id;
    uint32_t offset, length;
  };
  std::vector<Entry> entries;
  size_t sample = 0;
  auto chunk = [&](const char* id, const uint8_t* data, size_t n) {
    entries.push_back({id, static_cast<uint32_t>(b.size()), static_cast<uint32_t>(n)});
    PutText(b, id, 4);
    Put32(b, static_cast<uint32_t>(n));
    b.insert(b.end(), data, data + n);
    if (n % 2 != 0) b.push_back(0);
  };
  for (const auto& picture : pictures) {
    chunk("00dc", picture.data(), picture.size());
    for (int a = 0; a < 2; ++a) {
      std::vector<int16_t> pcm(pcmPerChunk, 0);
      for (size_t i = 0; i < pcmPerChunk && sample < s.pcm.size(); ++i) pcm[i] = s.pcm[sample++];
      chunk("01wb", reinterpret_cast<const uint8_t*>(pcm.data()), pcm.size() * 2);
    }
  }
  Set32(b, moviSize, static_cast<uint32_t>(b.size() - moviSize - 4));
  PutText(b, "idx1", 4);
  Put32(b, static_cast<uint32_t>(entries.size() * 16));
  for (const Entry& e : entries) {
    PutText(b, e.id, 4);
    Put32(b, e.id[1] == '0' ? 0x10 : 0);
    Put32(b, e.offset);
    Put32(b, e.length);
  }
  Set32(b, 4, static_cast<uint32_t>(b.size() - 8));
  return b;
}

bool RecordWithRecorder(const StoredStream& s, const std::string& path) {
  ScopedFakeParts parts;
  KVNET_CLIENT_PARAM p;
  std::memset(&p, 0, sizeof p);
  p.transport = TRANSPORT_UDP;
  std::strcpy(p.address, "127.0.0.1:6000");
  KVNET_HANDLE handle = KVNET_ClientStart(&p);
  if (handle == nullptr) return false;
  CNetClient* c = CNetClient::FromHandle(handle);
  c->m_videoCodec = s.videoCodec;
  c->m_audioCodec = s.audioCodec;
  c->m_width = s.width;
  c->m_height = s.height;
  c->m_frameRate = s.frameRate;
  bool ok = KVNET_ClientStartRecord(handle, path.c_str(), 0) == 1;
  for (const StoredUnit& u : s.units) {
    if (!ok) break;
    if (u.kind == 0) {
      const bool begins = u.data.size() >= 4 && u.data[0] == 0 && u.data[1] == 0 &&
                          u.data[2] == 0 && u.data[3] == 1;
      VideoUnit v;
      v.data = u.data.data() + (begins ? 4 : 0);
      v.length = static_cast<uint32_t>(u.data.size() - (begins ? 4 : 0));
      v.type = u.type;
      v.beginsCodedUnit = begins;
      v.timeStamp = u.timeStamp;
      RecordVideoUnit(*c->m_source, *c, v);
    } else {
      RecordAudioUnit(*c->m_source, static_cast<uint8_t>(u.type), u.data.data(),
                      static_cast<uint32_t>(u.data.size()), u.timeStamp);
    }
  }
  if (ok) ok = KVNET_ClientStopRecord(handle) == 1;
  KVNET_ClientStop(handle);
  return ok;
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), {});
}

std::vector<int16_t> ReadWavSamples(const std::string& path) {
  const std::vector<uint8_t> b = ReadFileBytes(path);
  std::vector<int16_t> out;
  if (b.size() < 44 || std::memcmp(b.data(), "RIFF", 4) != 0) return out;
  size_t at = 12;
  while (at + 8 <= b.size()) {
    const uint32_t n = b[at + 4] | b[at + 5] << 8 | b[at + 6] << 16 | uint32_t(b[at + 7]) << 24;
    if (std::memcmp(&b[at], "data", 4) == 0) {
      // The size is written at close; the bytes present count when it is not yet there.
      const size_t bytes = std::min<size_t>(n == 0 ? b.size() - at - 8 : n, b.size() - at - 8);
      out.resize(bytes / 2);
      if (!out.empty()) std::memcpy(out.data(), &b[at + 8], out.size() * 2);
      return out;
    }
    at += 8 + n + (n & 1);
  }
  return out;
}

}  // namespace kv::test
