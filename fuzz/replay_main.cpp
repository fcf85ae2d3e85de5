// The fuzz targets' main program in builds without libFuzzer: runs the target once over
// each file named, and over every file in each folder named, so that the corpus stays a
// set of regression tests in every build. A failing input stops the process (the target's
// checks abort); the input being run is printed first, so the log names it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void RunFile(const std::filesystem::path& path) {
  std::printf("running %s\n", path.c_str());
  std::fflush(stdout);
  std::ifstream file(path, std::ios::binary);
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t inputs = 0;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path path(argv[i]);
    if (!std::filesystem::is_directory(path)) {
      RunFile(path);
      ++inputs;
      continue;
    }
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) RunFile(file);
    inputs += files.size();
  }
  if (inputs == 0) {
    std::fprintf(stderr, "usage: %s FILE-OR-FOLDER...: no inputs found\n", argv[0]);
    return 2;
  }
  std::printf("%zu inputs passed\n", inputs);
  return 0;
}
