// kvnet's device-control commands: ptz, md get|save|start|stop, alarm-reset, vparam get|set.
// Each runs one command through the public interface and prints its result.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KvNetClient.h"
#include "kvnet/commands.h"
#include "kvnet/console.h"
#include "kvnet/control_client.h"

namespace kvnet {
namespace {

bool ParseInt(const char* text, int* out) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || v < -2147483647L - 1 || v > 2147483647L) return false;
  *out = static_cast<int>(v);
  return true;
}

// Splits argv into the target's options and the plain words; false on a bad option.
bool SplitArguments(int argc, char** argv, ControlTarget* target, std::vector<std::string>* words,
                    std::string* error) {
  for (int i = 1; i < argc; ++i) {
    if (ParseTargetOption(argc, argv, &i, target, error)) {
      if (!error->empty()) return false;
      continue;
    }
    if (std::strncmp(argv[i], "--", 2) == 0 && std::strlen(argv[i]) > 2 &&
        !std::isdigit(static_cast<unsigned char>(argv[i][2]))) {
      *error = std::string("unknown option ") + argv[i];
      return false;
    }
    words->push_back(argv[i]);
  }
  return true;
}

// Prints what the command gave and returns the exit code: 0 when it succeeded. A failure says
// what may have caused it, since the library only tells success or failure.
int Report(const ControlTarget& target, const char* what, int result) {
  if (result == 1) {
    PrintLine(std::string(what) + ": ok");
    return 0;
  }
  std::string why;
  if (target.udpStream) {
    why = "device commands need an RTSP client, not a UDP stream client (--udp)";
  } else {
    // PTZ waits 0.5 s for its reply, the other commands 3 s.
    const char* wait = std::strcmp(what, "ptz") == 0 ? "0.5 s" : "3 s";
    why = "no accepted reply from " + target.address + " (refused, out of form, silent for " +
          wait + ", or no connection)";
  }
  PrintError("kvnet " + std::string(what) + ": failed: " + why);
  return 1;
}

void PrintRegions(const KVNET_MD_INFO& info) {
  for (int i = 0; i < 16; ++i) {
    const int32_t* r = info.region[i];
    PrintLine(
        Format("region %2d: setting %3d  %d,%d,%d,%d", i, info.setting[i], r[0], r[1], r[2], r[3]));
  }
}

// "I:LEFT,TOP,RIGHT,BOTTOM[:SETTING]"
bool ParseRegion(const std::string& text, KVNET_MD_INFO* info) {
  int index = 0, l = 0, t = 0, r = 0, b = 0, setting = 0, used = 0;
  int n = std::sscanf(text.c_str(), "%d:%d,%d,%d,%d%n", &index, &l, &t, &r, &b, &used);
  // Either the four numbers end the text or ":SETTING" does; nothing may follow.
  if (n == 5 && static_cast<size_t>(used) < text.size()) {
    int more = 0;
    if (std::sscanf(text.c_str() + used, ":%d%n", &setting, &more) != 1 ||
        static_cast<size_t>(used + more) != text.size()) {
      return false;
    }
  }
  if (n < 5 || index < 0 || index > 15 || setting < 0 || setting > 255) return false;
  info->region[index][0] = l;
  info->region[index][1] = t;
  info->region[index][2] = r;
  info->region[index][3] = b;
  info->setting[index] = static_cast<uint8_t>(setting);
  return true;
}

}  // namespace

int RunControl(int argc, char** argv) {
  const std::string command = argv[0];
  ControlTarget target;
  std::vector<std::string> words;
  std::string error;
  const char* usage =
      "usage: kvnet ptz HOST[:PORT] COMMAND PARAMETER\n"
      "       kvnet md get|start|stop HOST[:PORT]\n"
      "       kvnet md save HOST[:PORT] I:LEFT,TOP,RIGHT,BOTTOM[:SETTING] ...\n"
      "       kvnet alarm-reset HOST[:PORT] [VALUE]\n"
      "       kvnet vparam get HOST[:PORT]\n"
      "       kvnet vparam set HOST[:PORT] P1 P2 P3 [MODE]\n"
      "options: --channel N (default 1), --rtsp-udp, --udp, --user U, --password P";
  if (!SplitArguments(argc, argv, &target, &words, &error)) {
    PrintError("kvnet " + command + ": " + error);
    PrintError(usage);
    return 2;
  }
  // The sub-operation of md and vparam comes first.
  std::string operation;
  if ((command == "md" || command == "vparam") && !words.empty()) {
    operation = words.front();
    words.erase(words.begin());
  }
  if (words.empty()) {
    PrintError(usage);
    return 2;
  }
  target.address = words.front();
  words.erase(words.begin());
  std::vector<int> numbers;
  KVNET_MD_INFO regions{};
  for (const std::string& w : words) {
    int v = 0;
    if (command == "md" && operation == "save") {
      if (!ParseRegion(w, &regions)) {
        PrintError("kvnet md save: bad region " + w);
        PrintError(usage);
        return 2;
      }
    } else if (ParseInt(w.c_str(), &v)) {
      numbers.push_back(v);
    } else {
      PrintError("kvnet " + command + ": not a number: " + w);
      PrintError(usage);
      return 2;
    }
  }
  auto count = [&](size_t least, size_t most) {
    return numbers.size() >= least && numbers.size() <= most;
  };
  const bool valid =
      (command == "ptz" && count(2, 2)) ||
      (command == "md" &&
       (operation == "get" || operation == "start" || operation == "stop" || operation == "save") &&
       count(0, 0)) ||
      (command == "alarm-reset" && count(0, 1)) ||
      (command == "vparam" && operation == "get" && count(0, 0)) ||
      (command == "vparam" && operation == "set" && count(3, 4));
  if (!valid) {
    PrintError(usage);
    return 2;
  }

  ControlClient client(target);
  if (client.handle() == nullptr) return 1;
  KVNET_HANDLE h = client.handle();
  if (command == "ptz")
    return Report(target, "ptz", KVNET_ClientPTZCtrl(h, numbers[0], numbers[1]));
  if (command == "alarm-reset") {
    return Report(target, "alarm-reset",
                  KVNET_ClientStopAlarm(h, numbers.empty() ? 0 : numbers[0]));
  }
  if (command == "md") {
    if (operation == "start") return Report(target, "md start", KVNET_ClientStartMD(h));
    if (operation == "stop") return Report(target, "md stop", KVNET_ClientStopMD(h));
    if (operation == "save") return Report(target, "md save", KVNET_ClientSaveMDInfo(h, &regions));
    KVNET_MD_INFO info{};
    const int result = KVNET_ClientGetMDInfo(h, &info);
    if (result == 1) PrintRegions(info);
    return Report(target, "md get", result);
  }
  if (operation == "set") {
    return Report(target, "vparam set",
                  KVNET_ClientSetVideoParam(h, numbers[0], numbers[1], numbers[2],
                                            numbers.size() > 3 ? numbers[3] : 0));
  }
  uint8_t p1 = 0, p2 = 0, p3 = 0;
  const int result = KVNET_ClientGetVideoParam(h, &p1, &p2, &p3);
  if (result == 1) PrintLine(Format("video parameters: %d %d %d", p1, p2, p3));
  return Report(target, "vparam get", result);
}

}  // namespace kvnet
