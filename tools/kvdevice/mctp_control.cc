// Reports and bytes the device sends on request.
#include "tools/kvdevice/mctp_control.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>

#include "tools/kvdevice/mctp_message.h"

namespace kvdevice {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(20);

bool Int(std::string_view text, int& out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

// Splits off the first word; the rest without the blank after it.
std::string_view Word(std::string_view& text) {
  const size_t blank = text.find(' ');
  std::string_view word = text.substr(0, blank);
  text = blank == std::string_view::npos ? std::string_view() : text.substr(blank + 1);
  return word;
}

bool ParseItem(std::string_view text, EventItem& item, std::string& error) {
  std::string_view word = Word(text);
  if (word == "raw") {
    item.kind = EventItem::Kind::kRaw;
    if (!Unescape(text, item.raw) || item.raw.empty()) {
      error = "raw needs text with good escapes";
      return false;
    }
    return true;
  }
  if (word == "motion") {
    item.kind = EventItem::Kind::kMotion;
    if (text.empty() || text == "none") return true;
    for (;;) {
      const size_t comma = text.find(',');
      int region = 0;
      if (!Int(text.substr(0, comma), region) || region < 0 || region >= kMotionRegions ||
          std::count(item.regions.begin(), item.regions.end(), region) > 0) {
        error = "motion takes distinct regions 0..15 separated by commas, or none";
        return false;
      }
      item.regions.push_back(region);
      if (comma == std::string_view::npos) return true;
      text.remove_prefix(comma + 1);
    }
  }
  if (word == "alarm") {
    item.kind = EventItem::Kind::kAlarm;
    std::string_view code = Word(text);
    if (!Int(code, item.code) || (!text.empty() && !Int(text, item.first))) {
      error = "alarm takes a code and an optional first field";
      return false;
    }
    return true;
  }
  error = "unknown report \"" + std::string(word) + "\"";
  return false;
}

}  // namespace

ControlParse ParseControlLine(std::string_view line, ControlCommand& command, std::string& error) {
  command = ControlCommand();
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.find_first_not_of(' ') == std::string_view::npos || line.front() == '#') {
    return ControlParse::kNothing;
  }
  if (line == "drop-events") {
    command.delivery.close = true;
    return ControlParse::kCommand;
  }
  if (line.rfind("talk-raw ", 0) == 0) {
    command.target = ControlTarget::kTalk;
    EventItem item;
    if (!Unescape(line.substr(9), item.raw) || item.raw.empty()) {
      error = "talk-raw needs bytes with good escapes";
      return ControlParse::kBad;
    }
    command.delivery.items.push_back(std::move(item));
    return ControlParse::kCommand;
  }
  if (line.rfind("split ", 0) == 0) {
    command.delivery.split = true;
    line.remove_prefix(6);
  }
  for (;;) {
    const size_t plus = line.find(" + ");
    EventItem item;
    if (!ParseItem(line.substr(0, plus), item, error)) return ControlParse::kBad;
    command.delivery.items.push_back(std::move(item));
    if (plus == std::string_view::npos) return ControlParse::kCommand;
    line.remove_prefix(plus + 3);
  }
}

void Outbox::push(const Delivery& delivery) {
  std::lock_guard<std::mutex> hold(lock_);
  items_.push_back(delivery);
}

std::vector<Delivery> Outbox::take() {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<Delivery> taken;
  taken.swap(items_);
  return taken;
}

void EventBus::subscribe(ControlTarget target, Outbox* outbox) {
  const auto t = static_cast<size_t>(target);
  std::lock_guard<std::mutex> hold(lock_);
  subscribers_[t].push_back(outbox);
  for (const Delivery& d : pending_[t]) outbox->push(d);
  pending_[t].clear();
}

void EventBus::unsubscribe(ControlTarget target, Outbox* outbox) {
  const auto t = static_cast<size_t>(target);
  std::lock_guard<std::mutex> hold(lock_);
  std::erase(subscribers_[t], outbox);
}

void EventBus::publish(ControlTarget target, const Delivery& delivery) {
  const auto t = static_cast<size_t>(target);
  std::lock_guard<std::mutex> hold(lock_);
  if (subscribers_[t].empty()) {
    pending_[t].push_back(delivery);
    return;
  }
  for (Outbox* o : subscribers_[t]) o->push(delivery);
}

ControlFile::ControlFile(std::string path, EventBus& bus, MctpLog& log)
    : path_(std::move(path)), bus_(bus), log_(log) {}

ControlFile::~ControlFile() { stop(); }

void ControlFile::start() {
  thread_ = std::thread([this] { run(); });
}

void ControlFile::stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ControlFile::run() {
  std::unique_lock<std::mutex> hold(lock_);
  while (!stopping_) {
    hold.unlock();
    poll();
    hold.lock();
    wake_.wait_for(hold, kPollInterval, [this] { return stopping_; });
  }
}

void ControlFile::poll() {
  std::FILE* file = std::fopen(path_.c_str(), "rb");
  if (file == nullptr) return;
  std::string text;
  if (std::fseek(file, 0, SEEK_END) == 0) {
    const long size = std::ftell(file);
    if (size < offset_) offset_ = 0;  // emptied: start again
    if (size > offset_ && std::fseek(file, offset_, SEEK_SET) == 0) {
      text.resize(static_cast<size_t>(size - offset_));
      text.resize(std::fread(text.data(), 1, text.size(), file));
    }
  }
  std::fclose(file);
  // Only whole lines; a line still being written waits for its end.
  const size_t end = text.rfind('\n');
  if (end == std::string::npos) return;
  offset_ += static_cast<long>(end + 1);
  std::string_view lines(text.data(), end + 1);
  while (!lines.empty()) {
    const size_t at = lines.find('\n');
    const std::string_view line = lines.substr(0, at);
    lines.remove_prefix(at + 1);
    ControlCommand command;
    std::string error;
    switch (ParseControlLine(line, command, error)) {
      case ControlParse::kNothing:
        break;
      case ControlParse::kBad:
        log_.line("control " + Quoted(line) + " refused: " + error);
        break;
      case ControlParse::kCommand:
        log_.line("control " + Quoted(line));
        bus_.publish(command.target, command.delivery);
        break;
    }
  }
}

}  // namespace kvdevice
