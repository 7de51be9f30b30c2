// Feeds every file of the given corpus directories once to a fuzz target,
// built with the ordinary compiler: the regression run of each corpus in the
// test suite. A failed check aborts; an empty corpus fails too.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i)
    for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[i]))
      if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    // Read into a buffer of exactly the file's bytes, so that a read past
    // them is a finding under AddressSanitizer, as in libFuzzer.
    std::vector<uint8_t> exact(std::filesystem::file_size(file));
    std::ifstream(file, std::ios::binary).read(reinterpret_cast<char*>(exact.data()), std::streamsize(exact.size()));
    std::fprintf(stderr, "%s\n", file.filename().c_str());
    LLVMFuzzerTestOneInput(exact.data(), exact.size());
  }
  std::printf("%zu corpus files passed\n", files.size());
  return files.empty() ? 1 : 0;
}
