/* An oracle for domains with infinite ends: a set of extended integers (inf and sup being the
 * points just outside the small-integer range) kept as sorted runs, its operations computed on
 * the segments between the breakpoints of both operands, so that no interval arithmetic of the
 * code under test is repeated. */
#ifndef QX_FD_DOM_MODEL_H
#define QX_FD_DOM_MODEL_H

#include <algorithm>
#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fd_set_model.h"

namespace fddom {

using fdmodel::INF;
using fdmodel::MAX;
using fdmodel::MIN;
using fdmodel::Pairs;
using fdmodel::SUP;

inline std::string show(const Pairs &p)
{
  std::ostringstream s;
  s << "[";
  for (auto &[lo, hi] : p) s << " " << lo << ".." << hi;
  s << " ]";
  return s.str();
}

inline bool contains(const Pairs &d, int64_t v)
{
  for (auto &[lo, hi] : d)
    if (v >= lo && v <= hi) return true;
  return false;
}

/* op 0: a and b, 1: a and not b. */
inline Pairs combine(const Pairs &a, const Pairs &b, int op)
{
  std::set<int64_t> cuts = {INF, (int64_t)SUP + 1};
  for (const Pairs *p : {&a, &b})
    for (auto &[lo, hi] : *p) cuts.insert(lo), cuts.insert((int64_t)hi + 1);
  std::vector<int64_t> at(cuts.begin(), cuts.end());
  Pairs out;
  for (size_t i = 0; i + 1 < at.size(); i++) {
    bool in_a = contains(a, at[i]), in_b = contains(b, at[i]);
    if (!(op == 0 ? in_a && in_b : in_a && !in_b)) continue;
    if (!out.empty() && out.back().second + (int64_t)1 == at[i])
      out.back().second = (int32_t)(at[i + 1] - 1);
    else
      out.push_back({(int32_t)at[i], (int32_t)(at[i + 1] - 1)});
  }
  return out;
}

inline Pairs interval(int32_t lo, int32_t hi) { return lo <= hi ? Pairs{{lo, hi}} : Pairs{}; }

inline int64_t successor(const Pairs &d, int64_t v)
{
  for (auto &[lo, hi] : d)
    if (hi > v) return std::max<int64_t>(lo, v + 1);
  return SUP;
}
inline int64_t predecessor(const Pairs &d, int64_t v)
{
  for (auto it = d.rbegin(); it != d.rend(); ++it)
    if (it->first < v) return std::min<int64_t>(it->second, v - 1);
  return INF;
}
inline bool finite(const Pairs &d) { return d.front().first != INF && d.back().second != SUP; }
inline int64_t count(const Pairs &d)
{
  int64_t n = 0;
  for (auto &[lo, hi] : d) n += (int64_t)hi - lo + 1;
  return n;
}

/* Every set of the values lo..hi, as runs. */
inline std::vector<Pairs> all_subsets(int32_t lo, int32_t hi)
{
  std::vector<Pairs> out;
  int n = hi - lo + 1;
  for (uint32_t bits = 0; bits < (1u << n); bits++) {
    Pairs p;
    for (int i = 0; i < n; i++)
      if (bits >> i & 1) {
        if (!p.empty() && p.back().second == lo + i - 1)
          p.back().second = lo + i;
        else
          p.push_back({lo + i, lo + i});
      }
    out.push_back(p);
  }
  return out;
}

/* Every interval with ends among the values (inf only as a start and sup only as an end). */
inline std::vector<Pairs> all_intervals(const std::vector<int32_t> &values)
{
  std::vector<Pairs> out;
  for (int32_t lo : values)
    for (int32_t hi : values)
      if (lo <= hi && lo != SUP && hi != INF) out.push_back({{lo, hi}});
  return out;
}

/* Sets of two intervals of the list, in order, neither touching. */
inline std::vector<Pairs> interval_pairs(const std::vector<Pairs> &intervals)
{
  std::vector<Pairs> out;
  for (auto &a : intervals)
    for (auto &b : intervals)
      if ((int64_t)a[0].second + 1 < b[0].first) out.push_back({a[0], b[0]});
  return out;
}

}  // namespace fddom

#endif
