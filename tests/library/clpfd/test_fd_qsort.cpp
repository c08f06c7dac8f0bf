/* The solver's quicksort: sorted permutations, the same order of equal elements as the classic
 * algorithm it follows, and a stack that stays shallow on input built to unbalance it. */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "fd.h"
#include "fd_qsort.h"
#include "stress_mode.h"

namespace {

struct Item {
  int key;
  int id;
};

/* The classic three-way quicksort, written from its description: recursion on the left part, loop
 * on the right part. Counts its recursion depth. */
template <typename T, typename C>
void reference_qsort(T *v, int n, C &cmp, int depth, int *max_depth)
{
  *max_depth = std::max(*max_depth, depth);
  for (;;) {
    auto insertion = [&](int count) {
      for (int i = 1; i < count; i++)
        for (int j = i; j > 0 && cmp(&v[j - 1], &v[j]) > 0; j--) std::swap(v[j], v[j - 1]);
    };
    if (n < 7) {
      insertion(n);
      return;
    }
    auto median = [&](int x, int y, int z) {
      if (cmp(&v[x], &v[y]) < 0) return cmp(&v[y], &v[z]) < 0 ? y : cmp(&v[x], &v[z]) < 0 ? z : x;
      return cmp(&v[y], &v[z]) > 0 ? y : cmp(&v[x], &v[z]) < 0 ? x : z;
    };
    int m = n / 2;
    if (n > 7) {
      int l = 0, h = n - 1;
      if (n > 40) {
        int d = n / 8;
        l = median(l, l + d, l + 2 * d);
        m = median(m - d, m, m + d);
        h = median(h - 2 * d, h - d, h);
      }
      m = median(l, m, h);
    }
    std::swap(v[0], v[m]);
    int ia = 1, ib = 1, ic = n - 1, id = n - 1;
    bool swapped = false;
    while (true) {
      int r;
      while (ib <= ic && (r = cmp(&v[ib], &v[0])) <= 0) {
        if (r == 0) swapped = true, std::swap(v[ia++], v[ib]);
        ib++;
      }
      while (ib <= ic && (r = cmp(&v[ic], &v[0])) >= 0) {
        if (r == 0) swapped = true, std::swap(v[ic], v[id--]);
        ic--;
      }
      if (ib > ic) break;
      swapped = true;
      std::swap(v[ib++], v[ic--]);
    }
    if (!swapped) {
      insertion(n);
      return;
    }
    int s = std::min(ia, ib - ia);
    for (int k = 0; k < s; k++) std::swap(v[k], v[ib - s + k]);
    s = std::min(id - ic, n - 1 - id);
    for (int k = 0; k < s; k++) std::swap(v[ib + k], v[n - s + k]);
    if (ib - ia > 1) reference_qsort(v + 0, ib - ia, cmp, depth + 1, max_depth);
    if (id - ic <= 1) return;
    v += n - (id - ic);
    n = id - ic;
  }
}

/* Deterministic inputs from a fixed-seed generator. */
std::vector<long> longs(std::mt19937 &rng, int n, int kind)
{
  std::vector<long> v(n);
  for (int i = 0; i < n; i++) {
    switch (kind) {
    case 0: v[i] = (long)(int32_t)rng(); break;  /* random */
    case 1: v[i] = 42; break;                    /* all equal */
    case 2: v[i] = i; break;                     /* sorted */
    case 3: v[i] = n - i; break;                 /* reversed */
    case 4: v[i] = i < n / 2 ? i : n - i; break; /* organ pipe */
    default: v[i] = (long)(rng() % 4); break;    /* few keys */
    }
  }
  return v;
}

TEST(FdQsort, SortsLongsLikeTheStandardSort)
{
  std::mt19937 rng(7);
  ORVALIS_API_STRUCT api{};
  std::vector<int> sizes;
  for (int n = 0; n <= 70; n++) sizes.push_back(n);
  for (int n : {100, 255, 1000, 4097, 20000}) sizes.push_back(n);
  for (int n : sizes)
    for (int kind = 0; kind < 6; kind++) {
      std::vector<long> v = longs(rng, n, kind), want = v;
      std::sort(want.begin(), want.end());
      fd_qsort_asc_long(&api, v.data(), n);
      ASSERT_EQ(v, want) << "n " << n << " kind " << kind;
    }
}

/* Sorts by key only; records every comparison as an unordered pair of ids. */
struct Recorder {
  std::vector<std::pair<int, int>> compared;
  int operator()(const Item *a, const Item *b)
  {
    compared.push_back({std::min(a->id, b->id), std::max(a->id, b->id)});
    return a->key < b->key ? -1 : a->key > b->key ? 1 : 0;
  }
};

std::vector<Item> items(std::mt19937 &rng, int n, int keys)
{
  std::vector<Item> v(n);
  for (int i = 0; i < n; i++) v[i] = {(int)(rng() % keys), i};
  return v;
}

std::vector<int> ids(const std::vector<Item> &v)
{
  std::vector<int> out;
  for (const Item &it : v) out.push_back(it.id);
  return out;
}

TEST(FdQsort, MakesTheSamePartitionsAndOrderAsTheClassicAlgorithm)
{
  if (stress_mode_run()) GTEST_SKIP() << "sorts plain arrays: the collector has no part in it";
  std::mt19937 rng(99);
  ORVALIS_API_STRUCT api{};
  for (int round = 0; round < 400; round++) {
    int n = round < 100 ? round : (int)(rng() % 3000);
    int keys = 1 + (int)(rng() % (round % 3 == 0 ? 5 : 1000));
    std::vector<Item> mine = items(rng, n, keys), theirs = mine;
    Recorder mine_cmp, theirs_cmp;
    int depth = 0;
    fd_qsort(&api, mine.data(), mine.size(), std::ref(mine_cmp));
    reference_qsort(theirs.data(), n, theirs_cmp, 0, &depth);
    ASSERT_EQ(ids(mine), ids(theirs)) << "n " << n << " keys " << keys;
    /* the parts are sorted in another order, so the comparisons come in another order */
    std::sort(mine_cmp.compared.begin(), mine_cmp.compared.end());
    std::sort(theirs_cmp.compared.begin(), theirs_cmp.compared.end());
    ASSERT_EQ(mine_cmp.compared, theirs_cmp.compared) << "n " << n;
  }
}

TEST(FdQsort, SmallAndDegenerateInputs)
{
  ORVALIS_API_STRUCT api{};
  Recorder cmp;
  std::vector<Item> none, one = {{5, 0}};
  fd_qsort(&api, none.data(), 0, std::ref(cmp));
  fd_qsort(&api, one.data(), 1, std::ref(cmp));
  EXPECT_TRUE(cmp.compared.empty()) << "0 and 1 elements return at once";

  /* 7 elements: the middle one is the pivot, taken without a median */
  std::vector<Item> seven = {{6, 0}, {5, 1}, {4, 2}, {3, 3}, {2, 4}, {1, 5}, {0, 6}};
  fd_qsort(&api, seven.data(), 7, std::ref(cmp));
  ASSERT_FALSE(cmp.compared.empty());
  EXPECT_EQ(cmp.compared[0], std::make_pair(1, 3)) << "first comparison against element 3";
  EXPECT_EQ(ids(seven), (std::vector<int>{6, 5, 4, 3, 2, 1, 0}));

  /* 100 equal elements: one partition pass, no recursion */
  std::vector<Item> equal(100);
  for (int i = 0; i < 100; i++) equal[i] = {1, i};
  cmp.compared.clear();
  fd_qsort(&api, equal.data(), 100, std::ref(cmp));
  EXPECT_LE(cmp.compared.size(), 12u + 99u);

  /* 100 sorted elements: one partition pass finds no swap, one insertion sort finishes */
  std::vector<Item> sorted(100);
  for (int i = 0; i < 100; i++) sorted[i] = {i, i};
  cmp.compared.clear();
  fd_qsort(&api, sorted.data(), 100, std::ref(cmp));
  for (int i = 0; i < 100; i++) EXPECT_EQ(sorted[i].id, i);
  EXPECT_LE(cmp.compared.size(), 12u + 99u + 2 * 99u) << "medians, one pass, one insertion sort";
}

TEST(FdQsort, EqualElementsComeOutInTheRecordedOrder)
{
  /* keys from a fixed linear congruential sequence; the order below was recorded from a run */
  std::vector<Item> v(100);
  uint32_t x = 1;
  for (int i = 0; i < 100; i++) {
    x = x * 1103515245u + 12345u;
    v[i] = {(int)((x >> 16) % 6), i};
  }
  ORVALIS_API_STRUCT api{};
  fd_qsort(&api, v.data(), v.size(), [](const Item *a, const Item *b) { return a->key - b->key; });
  const std::vector<int> golden = {
      76, 49, 12, 93, 21, 84, 1,  25, 83, 75, 39, 73, 9,  70, 5,  78, 77, 44, 34, 10,
      15, 62, 53, 27, 61, 47, 91, 60, 35, 95, 31, 13, 90, 19, 88, 0,  8,  45, 6,  41,
      81, 79, 66, 63, 54, 56, 98, 99, 2,  3,  4,  23, 24, 26, 37, 42, 43, 50, 57, 59,
      65, 82, 85, 86, 87, 94, 48, 71, 72, 40, 74, 36, 33, 32, 30, 29, 28, 96, 20, 55,
      52, 51, 64, 69, 14, 68, 16, 46, 22, 58, 97, 11, 38, 7,  89, 18, 17, 80, 92, 67,
  };
  EXPECT_EQ(ids(v), golden);
}

/* An input built against the sort while it runs (the adversary of McIlroy, turned round so that
 * the pivot comes out large and the big part lies on the left): every value stays "gas", below all
 * settled values, until a comparison needs it settled. */
std::vector<int> adversarial_input(int n)
{
  const int gas = -1;
  std::vector<int> value(n, gas), order(n);
  for (int i = 0; i < n; i++) order[i] = i;
  int next_solid = n - 1, candidate = 0;
  auto cmp = [&](const int *a, const int *b) {
    int x = *a, y = *b;
    if (value[x] == gas && value[y] == gas) value[x == candidate ? x : y] = next_solid--;
    if (value[x] == gas)
      candidate = x;
    else if (value[y] == gas)
      candidate = y;
    return value[x] < value[y] ? -1 : value[x] > value[y] ? 1 : 0;
  };
  ORVALIS_API_STRUCT api{};
  fd_qsort(&api, order.data(), order.size(), cmp);
  for (int &v : value)
    if (v == gas) v = next_solid--;
  return value;
}

TEST(FdQsort, AdversarialInputKeepsTheStackShallow)
{
  const int n = 3000;
  std::vector<int> input = adversarial_input(n);
  /* the classic algorithm recurses on this input once per few elements */
  std::vector<int> copy = input;
  auto plain = [](const int *a, const int *b) { return *a < *b ? -1 : *a > *b ? 1 : 0; };
  int reference_depth = 0;
  reference_qsort(copy.data(), n, plain, 0, &reference_depth);
  EXPECT_GT(reference_depth, n / 10) << "the input unbalances the partitions";

  /* how deep the comparator is called below this frame, in bytes */
  char *base = (char *)__builtin_frame_address(0), *deepest = base;
  auto probe = [&](const int *a, const int *b) {
    char *here = (char *)__builtin_frame_address(0);
    if (here < deepest) deepest = here;
    return *a < *b ? -1 : *a > *b ? 1 : 0;
  };
  ORVALIS_API_STRUCT api{};
  fd_qsort(&api, input.data(), input.size(), probe);
  EXPECT_TRUE(std::is_sorted(input.begin(), input.end()));
  ptrdiff_t used = base - deepest;
  RecordProperty("stack_bytes", (int)used);
  EXPECT_LT(used, 16 * 1024) << "a dozen levels, not one per few elements";
}

}  // namespace
