// Generated test picture: moving colour bars, big digits and the frame-number block row.
#include "tools/kvdevice/pattern.h"

#include <algorithm>
#include <string>

extern "C" {
#include <libavutil/frame.h>
}

namespace kvdevice {
namespace {

struct Yuv {
  uint8_t y, u, v;
};

// 75 % colour bars in limited-range BT.601.
constexpr Yuv kBars[8] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                          {84, 184, 198},  {65, 100, 212}, {35, 212, 114}, {16, 128, 128}};
constexpr Yuv kWhite = {235, 128, 128};
constexpr Yuv kBlack = {16, 128, 128};

void FillRect(AVFrame* f, int x, int y, int w, int h, Yuv c) {
  int x0 = std::clamp(x, 0, f->width), x1 = std::clamp(x + w, 0, f->width);
  int y0 = std::clamp(y, 0, f->height), y1 = std::clamp(y + h, 0, f->height);
  for (int row = y0; row < y1; ++row) {
    std::fill(f->data[0] + row * f->linesize[0] + x0, f->data[0] + row * f->linesize[0] + x1, c.y);
  }
  for (int row = y0 / 2; row < (y1 + 1) / 2; ++row) {
    std::fill(f->data[1] + row * f->linesize[1] + x0 / 2,
              f->data[1] + row * f->linesize[1] + (x1 + 1) / 2, c.u);
    std::fill(f->data[2] + row * f->linesize[2] + x0 / 2,
              f->data[2] + row * f->linesize[2] + (x1 + 1) / 2, c.v);
  }
}

// Seven segments a..g of the digits 0-9, bit 0 = a (top), clockwise, bit 6 = g (middle).
constexpr uint8_t kSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};

// Draws one character ('0'-'9' or ':') at x, y in a cell of w x h; returns the advance.
int DrawChar(AVFrame* f, int x, int y, int w, int h, int t, char c) {
  if (c == ':') {
    FillRect(f, x, y + h / 4, t, t, kWhite);
    FillRect(f, x, y + 3 * h / 4 - t, t, t, kWhite);
    return 2 * t;
  }
  uint8_t s = kSegments[c - '0'];
  int half = h / 2;
  if (s & 0x01) FillRect(f, x, y, w, t, kWhite);
  if (s & 0x02) FillRect(f, x + w - t, y, t, half, kWhite);
  if (s & 0x04) FillRect(f, x + w - t, y + half, t, h - half, kWhite);
  if (s & 0x08) FillRect(f, x, y + h - t, w, t, kWhite);
  if (s & 0x10) FillRect(f, x, y + half, t, h - half, kWhite);
  if (s & 0x20) FillRect(f, x, y, t, half, kWhite);
  if (s & 0x40) FillRect(f, x, y + half - t / 2, w, t, kWhite);
  return w + t * 2;
}

void DrawText(AVFrame* f, int x, int y, int h, const std::string& text) {
  int w = std::max(3, h * 5 / 9);
  int t = std::max(1, h / 8);
  for (char c : text) x += DrawChar(f, x, y, w, h, t, c);
}

std::string TwoDigits(int64_t v) {
  return std::string(1, static_cast<char>('0' + v / 10 % 10)) + static_cast<char>('0' + v % 10);
}

}  // namespace

PatternSource::PatternSource(int frameRate, int toneHz)
    : frameRate_(frameRate), tone_(toneHz, 8000, 0.5) {}

bool PatternSource::nextPicture(int64_t number, AVFrame* f) {
  const int width = f->width, height = f->height;
  // Bars move four pixels to the left per picture.
  int shift = static_cast<int>((number * 4) % width);
  int barWidth = std::max(1, width / 8);
  for (int x = 0; x < width; x += 2) {
    int bar = std::min(7, ((x + shift) % width) / barWidth);
    FillRect(f, x, 0, 2, height, kBars[bar]);
  }
  // Text box: frame number on the first line, stream time on the second.
  int digitHeight = std::max(8, height / 8);
  int margin = std::max(2, height / 32);
  FillRect(f, 0, 0, width, margin * 3 + digitHeight * 2, kBlack);
  std::string counter = std::to_string(number % 1000000);
  counter.insert(0, 6 - counter.size(), '0');
  DrawText(f, margin, margin, digitHeight, counter);
  int64_t seconds = number / frameRate_;
  std::string clock = TwoDigits(seconds / 3600) + ":" + TwoDigits(seconds / 60 % 60) + ":" +
                      TwoDigits(seconds % 60);
  DrawText(f, margin, margin * 2 + digitHeight, digitHeight, clock);
  // Counter block row.
  int rowTop = height - height / 8;
  for (int bit = 0; bit < kCounterBits; ++bit) {
    int x0 = width * bit / kCounterBits, x1 = width * (bit + 1) / kCounterBits;
    bool set = (number >> (kCounterBits - 1 - bit)) & 1;
    FillRect(f, x0, rowTop, x1 - x0, height - rowTop, set ? kWhite : kBlack);
  }
  return true;
}

bool PatternSource::nextAudio(int16_t* samples, int count) {
  tone_.fill(samples, count);
  return true;
}

}  // namespace kvdevice
