// kvnet: the SDK's command-line client. It uses the public C interface only.
#include <cstdio>
#include <cstring>

#include "kvnet/commands.h"

namespace {

void Usage() {
  std::puts(
      "usage: kvnet <command> [options]\n"
      "commands:\n"
      "  demo    run the library end to end with what this build contains");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    Usage();
    return 2;
  }
  if (std::strcmp(argv[1], "demo") == 0) return kvnet::RunDemo(argc - 1, argv + 1);
  Usage();
  return 2;
}
