/* A fuzz target's entry point for the test trees: every file of the seed directory named on the
 * command line goes to LLVMFuzzerTestOneInput once, in name order, in a buffer of exactly its
 * size. A failed property aborts; an empty or unreadable directory fails. */
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s SEED-DIRECTORY\n", argv[0]);
    return 2;
  }
  std::error_code error;
  std::vector<std::filesystem::path> seeds;
  for (std::filesystem::directory_iterator it(argv[1], error), end; !error && it != end;
       it.increment(error))
    if (it->is_regular_file()) seeds.push_back(it->path());
  if (error || seeds.empty()) {
    std::fprintf(stderr, "%s: no seeds (%s)\n", argv[1], error ? error.message().c_str() : "empty");
    return 1;
  }
  std::sort(seeds.begin(), seeds.end());
  for (const std::filesystem::path &seed : seeds) {
    std::ifstream in(seed, std::ios::binary);
    std::vector<char> bytes;
    char block[4096];
    while (in.read(block, sizeof block) || in.gcount() > 0)
      bytes.insert(bytes.end(), block, block + in.gcount());
    if (!in.eof() || in.bad()) {
      std::fprintf(stderr, "%s: cannot be read\n", seed.c_str());
      return 1;
    }
    /* named first, so that a crash says which seed it was */
    std::fprintf(stderr, "%s\n", seed.c_str());
    std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    LLVMFuzzerTestOneInput(exact.get(), bytes.size());
  }
  std::printf("%zu seeds of %s passed\n", seeds.size(), argv[1]);
  return 0;
}
