// The fuzz targets as plain programs: each file named on the command line is one input. A
// target that must tidy up after its inputs defines KvnetFuzzFinish.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) void KvnetFuzzFinish();

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  if (KvnetFuzzFinish != nullptr) KvnetFuzzFinish();
  std::printf("ran %d inputs\n", argc - 1);
  return 0;
}
