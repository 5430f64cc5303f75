// Runs a fuzz target over saved inputs without libFuzzer: the regular builds
// (any compiler, the sanitizer builds, the 32-bit targets) replay the
// committed corpus and crash inputs through each target as a test.
// Usage: <target>_replay FILE|DIR...
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

void collect(const std::string &path, std::vector<std::string> &files) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    files.push_back(path);
    return;
  }
  DIR *dir = opendir(path.c_str());
  if (dir == nullptr) return;
  while (const dirent *e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") collect(path + "/" + name, files);
  }
  closedir(dir);
}

}  // namespace

int main(int argc, char **argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) collect(argv[i], files);
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    fprintf(stderr, "%s: no inputs in the paths given\n", argv[0]);
    return 2;
  }
  for (const std::string &f : files) {
    std::ifstream in(f, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>()};
    // A copy of exactly the input's size, so that a read past its end is
    // caught as it is under libFuzzer.
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(data.empty() ? nullptr : data.data(), data.size());
  }
  printf("%zu inputs replayed\n", files.size());
  return 0;
}
