/* Atom interning: 1M distinct names created, then 10M look-ups of them in a scattered order. */
#include <cinttypes>
#include <vector>

#include "bench_common.h"

namespace {

constexpr uint32_t NAMES = 1000000;
constexpr uint32_t LOOKUPS = 10000000;

/* The names, NUL-separated in one block, and where each starts. */
struct Names {
  std::string text;
  std::vector<uint32_t> start;
};

Names make_names()
{
  Names names;
  char buf[32];
  for (uint32_t i = 0; i < NAMES; i++) {
    /* mixed shapes and lengths, as program atoms are */
    int n = std::snprintf(buf, sizeof buf, i % 3 ? "name_%" PRIu32 : "Q%" PRIu32 "x", i * 7919u);
    names.start.push_back((uint32_t)names.text.size());
    names.text.append(buf, (size_t)n + 1);
  }
  return names;
}

}  // namespace

int main()
{
  BenchEngine e;
  Names names = make_names();
  const char *base = names.text.data();
  std::vector<TAGGED> atoms(NAMES);
  uint32_t before = qx_eg.atom_count;
  double create = bench_seconds([&] {
    for (uint32_t i = 0; i < NAMES; i++) atoms[i] = init_atom_check(base + names.start[i], 0);
  });
  if (qx_eg.atom_count - before != NAMES) {
    std::fprintf(stderr, "interning made %" PRIu32 " atoms\n", qx_eg.atom_count - before);
    return 1;
  }
  uint32_t misses = 0;
  double find = bench_seconds([&] {
    /* a stride coprime to NAMES visits the names in a scattered order */
    uint32_t k = 0;
    for (uint32_t i = 0; i < LOOKUPS; i++) {
      misses += init_atom_check(base + names.start[k], 1) != atoms[k];
      k += 611953;
      if (k >= NAMES) k -= NAMES;
    }
  });
  if (misses != 0) {
    std::fprintf(stderr, "%" PRIu32 " look-ups missed\n", misses);
    return 1;
  }
  std::printf("atom interning: %.2f M atoms/s (%u atoms, %.3f s)\n", NAMES / create / 1e6,
              (unsigned)NAMES, create);
  std::printf("atom look-up: %.2f M lookups/s (%u look-ups, %.3f s)\n", LOOKUPS / find / 1e6,
              (unsigned)LOOKUPS, find);
  return 0;
}
