/* The solver's one sorting routine, instantiated per element type with its own comparator.
 *
 * A three-way-partitioning quicksort (median of three, or of three medians above 40 elements;
 * elements equal to the pivot gathered at both ends and swapped to the middle; insertion sort
 * below 7 elements and for input found already ordered). Written out here rather than taken from
 * the C library so that the order of equal elements is the same on every platform.
 *
 * The comparator takes two element pointers, or the API handle and two element pointers, and
 * returns a negative number, 0 or a positive number. Pass a lambda (its own type) so that each
 * instance is compiled with its comparator inline.
 */
#ifndef QX_FD_QSORT_H
#define QX_FD_QSORT_H

#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "datadefs.h"

namespace fd_qsort_detail {

template <typename T, typename Cmp>
inline int compare(ORVALIS_API_STRUCT *api, Cmp &cmp, const T *a, const T *b)
{
  if constexpr (std::is_invocable_v<Cmp &, ORVALIS_API_STRUCT *, const T *, const T *>)
    return cmp(api, a, b);
  else
    return cmp(a, b);
}

template <typename T>
inline void vecswap(T *a, T *b, ptrdiff_t n)
{
  for (; n > 0; n--) std::swap(*a++, *b++);
}

template <typename T, typename Cmp>
inline T *med3(ORVALIS_API_STRUCT *api, Cmp &cmp, T *a, T *b, T *c)
{
  if (compare(api, cmp, a, b) < 0)
    return compare(api, cmp, b, c) < 0 ? b : compare(api, cmp, a, c) < 0 ? c : a;
  return compare(api, cmp, b, c) > 0 ? b : compare(api, cmp, a, c) < 0 ? a : c;
}

template <typename T, typename Cmp>
inline void insertion_sort(ORVALIS_API_STRUCT *api, Cmp &cmp, T *a, size_t n)
{
  for (T *pm = a + 1; pm < a + n; pm++)
    for (T *pl = pm; pl > a && compare(api, cmp, pl - 1, pl) > 0; pl--) std::swap(*pl, *(pl - 1));
}

}  // namespace fd_qsort_detail

/* Sorts n elements of a in place into the comparator's ascending order. The smaller part of each
 * partition is sorted by recursion and the larger one by the loop, so the stack depth stays
 * logarithmic whatever the input; the partitions made, and so the result, do not depend on that
 * order. */
template <typename T, typename Cmp>
void fd_qsort(ORVALIS_API_STRUCT *api, T *a, size_t n, Cmp cmp)
{
  using namespace fd_qsort_detail;
  for (;;) {
    if (n < 7) {
      insertion_sort(api, cmp, a, n);
      return;
    }
    T *pm = a + n / 2;
    if (n > 7) {
      T *pl = a, *pn = a + n - 1;
      if (n > 40) {
        size_t d = n / 8;
        pl = med3(api, cmp, pl, pl + d, pl + 2 * d);
        pm = med3(api, cmp, pm - d, pm, pm + d);
        pn = med3(api, cmp, pn - 2 * d, pn - d, pn);
      }
      pm = med3(api, cmp, pl, pm, pn);
    }
    std::swap(*a, *pm);
    /* a[1..pa) and (pd..n-1] collect elements equal to the pivot a[0] */
    T *pa = a + 1, *pb = a + 1, *pc = a + n - 1, *pd = a + n - 1;
    bool swapped = false;
    for (;;) {
      int r;
      while (pb <= pc && (r = compare(api, cmp, pb, a)) <= 0) {
        if (r == 0) {
          swapped = true;
          std::swap(*pa++, *pb);
        }
        pb++;
      }
      while (pb <= pc && (r = compare(api, cmp, pc, a)) >= 0) {
        if (r == 0) {
          swapped = true;
          std::swap(*pc, *pd--);
        }
        pc--;
      }
      if (pb > pc) break;
      std::swap(*pb++, *pc--);
      swapped = true;
    }
    if (!swapped) { /* already in order around the pivot: finish by insertion */
      insertion_sort(api, cmp, a, n);
      return;
    }
    T *pn = a + n;
    ptrdiff_t r = std::min(pa - a, pb - pa);
    vecswap(a, pb - r, r);
    r = std::min(pd - pc, pn - pd - 1);
    vecswap(pb, pn - r, r);
    size_t left = (size_t)(pb - pa), right = (size_t)(pd - pc);
    if (left <= right) {
      if (left > 1) fd_qsort(api, a, left, cmp);
      if (right <= 1) return;
      a = pn - right;
      n = right;
    } else {
      if (right > 1) fd_qsort(api, pn - right, right, cmp);
      n = left;
    }
  }
}

#endif
