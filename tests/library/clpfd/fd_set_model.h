/* A model of FD sets for differential tests: the values of a window of integers as bits, plus two
 * "lumps" standing for everything below and above the window (inf and sup included). Bounds are
 * plain integers here, inf and sup being the points just outside the small-integer range. */
#ifndef QX_FD_SET_MODEL_H
#define QX_FD_SET_MODEL_H

#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

#include "fd.h"
#include "test_engine.h"

namespace fdmodel {

constexpr int32_t INF = -268435457;
constexpr int32_t SUP = 268435456;
constexpr int32_t MIN = -268435456;
constexpr int32_t MAX = 268435455;

inline int32_t ext(TAGGED b)
{
  if (b == atom_inf) return INF;
  if (b == atom_sup) return SUP;
  return GetSmall(b);
}
inline TAGGED tag(int32_t v) { return v == INF ? atom_inf : v == SUP ? atom_sup : MakeSmall(v); }

typedef std::vector<std::pair<int32_t, int32_t>> Pairs;

/* Values L..H; a lump is a bit standing for all values beyond that end of the window. */
struct Window {
  int32_t L, H;
  bool lump_below, lump_above;
  const char *name;
};
inline const std::vector<Window> &windows()
{
  static const std::vector<Window> all = {
      {-20, 20, true, true, "middle"},
      {MAX - 12, SUP, true, false, "top"},    /* sup is a point of the window */
      {INF, MIN + 12, false, true, "bottom"}, /* inf is a point of the window */
  };
  return all;
}

class Model {
public:
  explicit Model(const Window &w) : win(&w), bits(w.H - w.L + 3, false) {}
  int size() const { return (int)bits.size(); }
  int index_of(int32_t v) const
  {
    return v < win->L ? 0 : v > win->H ? size() - 1 : v - win->L + 1;
  }
  bool has(int64_t v) const
  {
    if (v < win->L) return win->lump_below && bits[0];
    if (v > win->H) return win->lump_above && bits[size() - 1];
    return bits[v - win->L + 1];
  }
  int32_t low_value(int i) const
  {
    return i == 0 ? INF : i == size() - 1 ? win->H + 1 : win->L + i - 1;
  }
  int32_t high_value(int i) const
  {
    return i == 0 ? win->L - 1 : i == size() - 1 ? SUP : win->L + i - 1;
  }
  bool finite() const { return !bits[0] && !bits[size() - 1] && !has(INF) && !has(SUP); }
  Pairs runs() const
  {
    Pairs out;
    for (int i = 0; i < size(); i++) {
      if (!bits[i]) continue;
      int j = i;
      while (j + 1 < size() && bits[j + 1]) j++;
      out.push_back({low_value(i), high_value(j)});
      i = j;
    }
    return out;
  }
  int count() const
  {
    int n = 0;
    for (bool b : bits) n += b;
    return n;
  }
  Model combine(const Model &o, int op) const /* 0 and, 1 or, 2 and-not */
  {
    Model r(*win);
    for (int i = 0; i < size(); i++)
      r.bits[i] = op == 0   ? bits[i] && o.bits[i]
                  : op == 1 ? bits[i] || o.bits[i]
                            : bits[i] && !o.bits[i];
    return r;
  }
  Model complement() const
  {
    Model r(*win);
    for (int i = 0; i < size(); i++) r.bits[i] = !bits[i];
    if (!win->lump_below) r.bits[0] = false;
    if (!win->lump_above) r.bits[size() - 1] = false;
    return r;
  }

  const Window *win;
  std::vector<bool> bits;
};

/* Random well-formed input: runs of varied length, no interval starting at sup or ending at inf. */
inline Model random_model(const Window &w, std::mt19937 &rng, bool finite = false)
{
  Model m(w);
  std::uniform_int_distribution<int> pct(0, 99);
  int flip = 10 + pct(rng) / 2;
  bool on = pct(rng) < 50;
  for (int i = 0; i < m.size(); i++) {
    if (pct(rng) < flip) on = !on;
    m.bits[i] = on;
  }
  if (!w.lump_below || finite) m.bits[0] = false;
  if (!w.lump_above || finite) m.bits[m.size() - 1] = false;
  if (finite) {
    if (w.L == INF) m.bits[1] = false;
    if (w.H == SUP) m.bits[m.size() - 2] = false;
  }
  if (w.L == INF && m.bits[1]) m.bits[2] = true; /* [inf|inf] is no input */
  if (w.H == SUP && m.bits[m.size() - 2]) m.bits[m.size() - 3] = true;
  return m;
}

/* A set on the heap. */
inline TAGGED build(TestEngine &engine, const Pairs &pairs)
{
  TAGGED set = atom_nil;
  for (size_t i = pairs.size(); i-- > 0;)
    set = engine.cons(engine.cons(tag(pairs[i].first), tag(pairs[i].second)), set);
  return set;
}

/* The intervals of a result, checking that it is well formed. */
inline Pairs read(TAGGED set)
{
  Pairs out;
  int64_t prev = INT64_MIN;
  for (; IsLst(set); set = LstTail(set)) {
    TAGGED pair = LstHead(set);
    EXPECT_TRUE(IsLst(pair));
    if (!IsLst(pair)) return out;
    TAGGED lo = LstHead(pair), hi = LstTail(pair);
    bool bounds = (IsSmall(lo) || lo == atom_inf || lo == atom_sup) &&
                  (IsSmall(hi) || hi == atom_inf || hi == atom_sup);
    EXPECT_TRUE(bounds) << std::hex << lo << " " << hi;
    if (!bounds) return out;
    int32_t l = ext(lo), h = ext(hi);
    EXPECT_LE(l, h) << "interval out of order";
    if (prev != INT64_MIN) {
      EXPECT_GT((int64_t)l, prev + 1) << "intervals overlap or touch";
    }
    EXPECT_TRUE(out.empty() || (lo != atom_inf && hi != atom_inf))
        << "inf after the first interval";
    if (!out.empty()) {
      EXPECT_NE(out.back().second, SUP) << "sup before the last interval";
    }
    out.push_back({l, h});
    prev = h;
  }
  EXPECT_EQ(set, atom_nil) << "not a proper list";
  return out;
}

/* The words of a set's cells, to see that an operation left it alone. */
typedef std::vector<std::pair<TAGGED *, TAGGED>> Snapshot;
inline Snapshot snapshot(TAGGED set)
{
  Snapshot s;
  for (; IsLst(set); set = LstTail(set)) {
    TAGGED *cell = LstPtr(set), *pair = LstPtr(LstHead(set));
    for (TAGGED *p : {cell, cell + 1, pair, pair + 1}) s.push_back({p, *p});
  }
  return s;
}
inline bool unchanged(const Snapshot &s)
{
  for (auto &[p, v] : s)
    if (*p != v) return false;
  return true;
}

inline bool contains(const Pairs &pairs, int64_t v)
{
  for (auto &[lo, hi] : pairs)
    if (v >= lo && v <= hi) return true;
  return false;
}

}  // namespace fdmodel

#endif
