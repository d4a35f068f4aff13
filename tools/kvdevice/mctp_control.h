// Reports and bytes the device sends on request: the control file (--mctp-control), whose
// lines are read as they are appended, and the bus that hands each command to the event or talk
// connections open at that moment, or to the next one when none is.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tools/kvdevice/mctp_log.h"

namespace kvdevice {

// One message an event connection writes: a motion or alarm report, or text as it is.
struct EventItem {
  enum class Kind { kMotion, kAlarm, kRaw };
  Kind kind = Kind::kRaw;
  std::vector<int> regions;  // motion: the moving regions
  int first = 2;             // alarm: the first field
  int code = 0;              // alarm: the second field
  std::string raw;           // raw text, or the bytes for a talk downlink
};

// What one command asks of a connection: messages written together in one segment (in two
// when split), or closing the connection.
struct Delivery {
  std::vector<EventItem> items;
  bool split = false;
  bool close = false;
};

enum class ControlTarget { kEvents = 0, kTalk = 1 };

struct ControlCommand {
  ControlTarget target = ControlTarget::kEvents;
  Delivery delivery;
};

enum class ControlParse { kCommand, kNothing, kBad };

// One line of the control file (see MctpUsageText); blank lines and "#" comments are nothing.
ControlParse ParseControlLine(std::string_view line, ControlCommand& command, std::string& error);

// A connection's queue of deliveries; the bus pushes, the connection's thread takes.
class Outbox {
 public:
  void push(const Delivery& delivery);
  std::vector<Delivery> take();

 private:
  std::mutex lock_;
  std::vector<Delivery> items_;
};

class EventBus {
 public:
  // Adds a connection's outbox and hands it what waited for one.
  void subscribe(ControlTarget target, Outbox* outbox);
  void unsubscribe(ControlTarget target, Outbox* outbox);
  // To every subscribed outbox of the target, or kept for the next one.
  void publish(ControlTarget target, const Delivery& delivery);

 private:
  std::mutex lock_;
  std::vector<Outbox*> subscribers_[2];
  std::vector<Delivery> pending_[2];
};

// Follows a file as lines are appended to it (it may not exist yet, and may be emptied), and
// publishes each command. Its thread runs from start() to stop().
class ControlFile {
 public:
  ControlFile(std::string path, EventBus& bus, MctpLog& log);
  ~ControlFile();
  ControlFile(const ControlFile&) = delete;
  ControlFile& operator=(const ControlFile&) = delete;

  void start();
  void stop();

 private:
  void run();
  void poll();

  const std::string path_;
  EventBus& bus_;
  MctpLog& log_;
  long offset_ = 0;
  std::mutex lock_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace kvdevice
