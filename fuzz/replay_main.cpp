// Replays a fuzz target's corpus without libFuzzer: runs every file of the
// given folders (or the given files) through LLVMFuzzerTestOneInput once.
// A crash or an escaped exception fails the test; the count goes to stdout.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

static void RunOne(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes(static_cast<size_t>(fs::file_size(path)), '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(in.gcount()));
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

int main(int argc, char** argv) {
  size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    fs::path arg(argv[i]);
    if (fs::is_directory(arg)) {
      std::vector<fs::path> files;
      for (const auto& entry : fs::recursive_directory_iterator(arg))
        if (entry.is_regular_file()) files.push_back(entry.path());
      std::sort(files.begin(), files.end());
      for (const auto& f : files) RunOne(f), ++count;
    } else if (fs::is_regular_file(arg)) {
      RunOne(arg), ++count;
    } else {
      std::fprintf(stderr, "no such corpus: %s\n", argv[i]);
      return 1;
    }
  }
  if (count == 0) {
    std::fprintf(stderr, "empty corpus\n");
    return 1;
  }
  std::printf("replayed %zu inputs\n", count);
  return 0;
}
