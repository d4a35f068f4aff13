// Reading snapshot JPEG files back in tests, from the JPEG standard (T.81 Annex C and F).
#include "tests/support/jpeg_inspect.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>

namespace kv::test {
namespace {

PlanarPicture Blank(int width, int height, int extraStride) {
  PlanarPicture p;
  p.width = width;
  p.height = height;
  p.yStride = width + extraStride;
  p.uvStride = p.chromaWidth() + extraStride / 2;
  p.y.assign(static_cast<size_t>(p.yStride) * height, 0);
  p.u.assign(static_cast<size_t>(p.uvStride) * p.chromaHeight(), 0);
  p.v.assign(p.u.size(), 0);
  return p;
}

uint8_t Clamp(double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

// A decoding table of one Huffman table (T.81 F.2.2.3): per code length the smallest and
// largest code and where its symbols start.
struct DecodeTable {
  int minCode[17]{}, maxCode[17]{}, firstSymbol[17]{};
  std::vector<uint8_t> symbols;
};

DecodeTable MakeDecodeTable(const std::vector<uint8_t>& dht, size_t at, size_t* used) {
  DecodeTable t;
  const uint8_t* counts = &dht[at];
  size_t total = 0;
  for (int i = 0; i < 16; ++i) total += counts[i];
  t.symbols.assign(dht.begin() + at + 16, dht.begin() + at + 16 + total);
  int code = 0, k = 0;
  for (int length = 1; length <= 16; ++length) {
    t.firstSymbol[length] = k;
    t.minCode[length] = code;
    code += counts[length - 1];
    k += counts[length - 1];
    t.maxCode[length] = counts[length - 1] > 0 ? code - 1 : -1;
    code <<= 1;
  }
  *used = 16 + total;
  return t;
}

class BitReader {
 public:
  BitReader(const std::vector<uint8_t>& data, size_t start) : data_(data), at_(start) {}
  // The next bit, or -1 at a marker or the end.
  int Bit() {
    if (left_ == 0) {
      if (at_ >= data_.size() || atMarker_) return -1;
      uint8_t b = data_[at_];
      if (b == 0xFF) {
        if (at_ + 1 >= data_.size() || data_[at_ + 1] != 0x00) {
          atMarker_ = true;
          return -1;
        }
        ++at_;  // the stuffed zero
      }
      ++at_;
      byte_ = b;
      left_ = 8;
    }
    --left_;
    return (byte_ >> left_) & 1;
  }
  int Bits(int n) {
    int v = 0;
    for (int i = 0; i < n; ++i) {
      const int b = Bit();
      if (b < 0) return -1;
      v = (v << 1) | b;
    }
    return v;
  }
  int Decode(const DecodeTable& t) {
    int code = 0;
    for (int length = 1; length <= 16; ++length) {
      const int b = Bit();
      if (b < 0) return -1;
      code = (code << 1) | b;
      if (t.maxCode[length] >= 0 && code <= t.maxCode[length]) {
        return t.symbols[static_cast<size_t>(t.firstSymbol[length] + code - t.minCode[length])];
      }
    }
    return -1;
  }
  int BitsLeftInByte() const { return left_; }
  void SkipRestOfByte() { left_ = 0; }
  uint8_t CurrentByte() const { return byte_; }
  size_t Offset() const { return at_; }

 private:
  const std::vector<uint8_t>& data_;
  size_t at_;
  uint8_t byte_ = 0;
  int left_ = 0;
  bool atMarker_ = false;
};

// A value of `category` bits as sent (T.81 F.2.2.1 EXTEND).
int Extend(int bits, int category) {
  return category == 0 ? 0 : (bits < (1 << (category - 1)) ? bits - (1 << category) + 1 : bits);
}

}  // namespace

PlanarPicture MakeNaturalPicture(int width, int height, uint32_t seed, int extraStride) {
  PlanarPicture p = Blank(width, height, extraStride);
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  // A few soft-edged discs over smooth shading.
  struct Disc {
    double x, y, r, level;
  };
  std::vector<Disc> discs;
  for (int i = 0; i < 6; ++i) {
    discs.push_back({unit(random) * width, unit(random) * height,
                     (0.1 + 0.25 * unit(random)) * std::min(width, height) + 2,
                     (unit(random) - 0.5) * 70});
  }
  std::normal_distribution<double> grain(0.0, 1.5);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      double v = 120 + 45 * std::sin(x * 0.011 + y * 0.007) + 20 * std::cos(y * 0.023 - x * 0.004);
      for (const Disc& d : discs) {
        const double dist = std::hypot(x - d.x, y - d.y);
        v += d.level / (1 + std::exp((dist - d.r) / 2.0));
      }
      p.y[static_cast<size_t>(y) * p.yStride + x] = Clamp(v + grain(random));
    }
  }
  for (int y = 0; y < p.chromaHeight(); ++y) {
    for (int x = 0; x < p.chromaWidth(); ++x) {
      const size_t i = static_cast<size_t>(y) * p.uvStride + x;
      p.u[i] = Clamp(128 + 30 * std::sin(x * 0.03) + 10 * std::cos(y * 0.05));
      p.v[i] = Clamp(128 + 25 * std::cos(x * 0.02 + y * 0.04));
    }
  }
  return p;
}

PlanarPicture MakeNoisePicture(int width, int height, uint32_t seed) {
  PlanarPicture p = Blank(width, height, 0);
  std::mt19937 random(seed);
  for (auto* plane : {&p.y, &p.u, &p.v}) {
    for (uint8_t& b : *plane) b = static_cast<uint8_t>(random());
  }
  return p;
}

PlanarPicture MakeFlatPicture(int width, int height, uint8_t y, uint8_t u, uint8_t v) {
  PlanarPicture p = Blank(width, height, 0);
  std::fill(p.y.begin(), p.y.end(), y);
  std::fill(p.u.begin(), p.u.end(), u);
  std::fill(p.v.begin(), p.v.end(), v);
  return p;
}

std::vector<JpegSegment> ReadSegments(const std::vector<uint8_t>& file, size_t* entropyStart) {
  std::vector<JpegSegment> segments;
  *entropyStart = 0;
  if (file.size() < 4 || file[0] != 0xFF || file[1] != 0xD8) return {};
  size_t at = 2;
  while (at + 4 <= file.size()) {
    if (file[at] != 0xFF) return {};
    JpegSegment s;
    s.marker = file[at + 1];
    s.offset = at;
    const size_t length = static_cast<size_t>(file[at + 2]) << 8 | file[at + 3];
    if (length < 2 || at + 2 + length > file.size()) return {};
    s.payload.assign(file.begin() + at + 4, file.begin() + at + 2 + length);
    segments.push_back(std::move(s));
    at += 2 + length;
    if (segments.back().marker == 0xDA) {
      *entropyStart = at;
      return segments;
    }
  }
  return {};
}

EntropyContents ReadEntropy(const std::vector<uint8_t>& file) {
  EntropyContents result;
  size_t start = 0;
  const std::vector<JpegSegment> segments = ReadSegments(file, &start);
  if (segments.empty()) {
    result.error = "no segments up to SOS";
    return result;
  }
  std::map<int, DecodeTable> tables;  // class << 4 | id
  int width = 0, height = 0;
  std::vector<int> componentTables;  // per component: DC id << 4 | AC id
  for (const JpegSegment& s : segments) {
    if (s.marker == 0xC4) {
      for (size_t at = 0; at < s.payload.size();) {
        const int key = s.payload[at];
        size_t used = 0;
        tables[key] = MakeDecodeTable(s.payload, at + 1, &used);
        at += 1 + used;
      }
    } else if (s.marker == 0xC0) {
      height = s.payload[1] << 8 | s.payload[2];
      width = s.payload[3] << 8 | s.payload[4];
    } else if (s.marker == 0xDA) {
      for (int c = 0; c < s.payload[0]; ++c) componentTables.push_back(s.payload[2 + 2 * c]);
    }
  }
  if (width == 0 || height == 0 || componentTables.empty()) {
    result.error = "no frame or scan header";
    return result;
  }
  BitReader reader(file, start);
  const size_t mcus = static_cast<size_t>((width + 7) / 8) * ((height + 7) / 8);
  std::vector<int> lastDc(componentTables.size(), 0);
  for (size_t m = 0; m < mcus; ++m) {
    for (size_t c = 0; c < componentTables.size(); ++c) {
      const DecodeTable& dc = tables[componentTables[c] >> 4];
      const DecodeTable& ac = tables[0x10 | (componentTables[c] & 0x0F)];
      CodedBlock block;
      block.component = static_cast<int>(c);
      block.dcCategory = reader.Decode(dc);
      if (block.dcCategory < 0) {
        result.error = "DC code unreadable in MCU " + std::to_string(m);
        return result;
      }
      lastDc[c] += Extend(reader.Bits(block.dcCategory), block.dcCategory);
      block.zigzag[0] = lastDc[c];
      for (int k = 1; k < 64;) {
        const int symbol = reader.Decode(ac);
        if (symbol < 0) {
          result.error = "AC code unreadable in MCU " + std::to_string(m);
          return result;
        }
        block.acSymbols.push_back(static_cast<uint8_t>(symbol));
        if (symbol == 0x00) break;
        const int run = symbol >> 4, category = symbol & 15;
        k += run;
        if (k > 63) {
          result.error = "run past the block in MCU " + std::to_string(m);
          return result;
        }
        if (category != 0)
          block.zigzag[static_cast<size_t>(k)] = Extend(reader.Bits(category), category);
        ++k;
      }
      result.blocks.push_back(block);
    }
  }
  // Padding: the bits left in the current byte must be ones, then the marker follows.
  result.paddingBits = reader.BitsLeftInByte();
  const int mask = (1 << result.paddingBits) - 1;
  result.paddingAllOnes = (reader.CurrentByte() & mask) == mask;
  reader.SkipRestOfByte();
  if (reader.Bit() >= 0) {
    result.error = "more data after the last block";
    return result;
  }
  result.markerOffset = reader.Offset();
  return result;
}

bool DecodeWithTurbo(const std::vector<uint8_t>& file, Planes444* out) {
  tjhandle tj = tjInitDecompress();
  if (tj == nullptr) return false;
  int w = 0, h = 0, subsampling = -1, colourspace = -1;
  bool ok =
      tjDecompressHeader3(tj, file.data(), file.size(), &w, &h, &subsampling, &colourspace) == 0 &&
      subsampling == TJSAMP_444;
  if (ok) {
    out->width = w;
    out->height = h;
    out->y.assign(static_cast<size_t>(w) * h, 0);
    out->cb.assign(out->y.size(), 0);
    out->cr.assign(out->y.size(), 0);
    unsigned char* planes[3] = {out->y.data(), out->cb.data(), out->cr.data()};
    int strides[3] = {w, w, w};
    ok = tjDecompressToYUVPlanes(tj, file.data(), file.size(), planes, w, strides, h, 0) == 0;
  }
  tjDestroy(tj);
  return ok;
}

std::vector<uint8_t> UpsampledChroma(const PlanarPicture& p, bool v) {
  const std::vector<uint8_t>& plane = v ? p.v : p.u;
  std::vector<uint8_t> full(static_cast<size_t>(p.width) * p.height);
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      full[static_cast<size_t>(y) * p.width + x] =
          plane[static_cast<size_t>(y / 2) * p.uvStride + x / 2];
    }
  }
  return full;
}

std::string ProbeImage(const std::string& path) {
  if (path.find('\'') != std::string::npos) return "";
  const std::string command =
      "ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width,height,pix_fmt "
      "-of csv=p=0 '" +
      path + "' 2>/dev/null";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string text;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
  if (::pclose(pipe) != 0) return "";
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace kv::test
