/* The instances of the case and lex_chain rows, shared by bench_fd and bench_fd_gecode (standard
 * library only): a random table of 5-tuples over 0..4, the rows that overlap it along a chain of
 * variables, the count of the chain's solutions by dynamic programming (the rows' oracle), and
 * the random tuple sums of the lex chain. */
#ifndef QX_BENCH_FD_TABLES_H
#define QX_BENCH_FD_TABLES_H

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

namespace bench_fd_tables {

/* The table's seed gives the chain 64869 solutions (most seeds give millions). */
constexpr uint64_t SEED = 1;
constexpr int ARITY = 5, VALUES = 5, TUPLES = 200;
/* Row r constrains the variables STRIDE * r .. STRIDE * r + 4 (consecutive rows share three). */
constexpr int ROWS = 20, STRIDE = 2, CHAIN = STRIDE * (ROWS - 1) + ARITY;

using tuple = std::array<int, ARITY>;

/* splitmix64: the same stream on both sides. */
inline uint64_t next(uint64_t *s)
{
  uint64_t z = (*s += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

/* TUPLES distinct tuples over 0..VALUES-1, sorted. */
inline std::vector<tuple> table()
{
  uint64_t s = SEED;
  std::set<tuple> t;
  while ((int)t.size() < TUPLES) {
    tuple x;
    for (int &v : x) v = (int)(next(&s) % VALUES);
    t.insert(x);
  }
  return {t.begin(), t.end()};
}

/* The solutions of the chain: sequences of CHAIN values whose every row is in the table,
 * counted over the last ARITY - STRIDE values. */
inline long chain_solutions()
{
  std::vector<tuple> t = table();
  std::map<std::vector<int>, long> at; /* the shared suffix of the last row -> paths */
  for (const tuple &x : t) at[std::vector<int>(x.begin() + STRIDE, x.end())]++;
  for (int r = 1; r < ROWS; r++) {
    std::map<std::vector<int>, long> to;
    for (const tuple &x : t) {
      auto k = at.find(std::vector<int>(x.begin(), x.begin() + ARITY - STRIDE));
      if (k != at.end()) to[std::vector<int>(x.begin() + STRIDE, x.end())] += k->second;
    }
    at.swap(to);
  }
  long n = 0;
  for (auto &e : at) n += e.second;
  return n;
}

/* The lex chain: LEX_TUPLES tuples of LEX_VARS variables over 0..3, tuple i summing to
 * sums()[i]. */
constexpr int LEX_TUPLES = 10, LEX_VARS = 5;

inline std::vector<int> sums()
{
  uint64_t s = 44;
  std::vector<int> out;
  for (int i = 0; i < LEX_TUPLES; i++) out.push_back(4 + (int)(next(&s) % 8));
  return out;
}

}  // namespace bench_fd_tables

#endif
