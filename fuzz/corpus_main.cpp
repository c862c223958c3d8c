// Runs every file below the directories named on the command line through the fuzz
// target's entry point, once each. A crash or a sanitizer report fails the run; a
// missing directory is skipped (a target may have no regressions yet).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    if (!fs::is_directory(argv[i], ec)) continue;
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(argv[i]))
      if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
      std::ifstream in(file, std::ios::binary);
      const std::string data((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
      ++count;
    }
  }
  std::printf("%zu inputs ran without a fault\n", count);
  return 0;
}
