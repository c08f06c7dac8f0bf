/* Longest-hole tables: the time of fd_lh_init for 10, 30 and 100 random tasks at heights 10, 50
 * and 200 (budget 1000, maxfails 2), one row each; then, on small instances where the placement
 * oracle is cheap, the share of entries equal to the oracle's hole, closed-form and refined. */
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "../tests/library/clpfd/fd_lh_oracle.h"
#include "bench_fd_common.h"
#include "fd_sched.h"

/* 300 instances of 3..5 tasks (lengths 1..5), bbheight 2..6, slack 0..6: of all entries, the
 * share equal to the oracle's hole (capped at bblength), with tasks kept inside the hole (closed)
 * or sticking out on the left (open), and with tasks also sticking out on the right as the
 * refinement reads holes. */
void small_instances(ORVALIS_API_STRUCT *api, worker *w)
{
  std::mt19937 rng(29);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  long entries = 0, at[2][2] = {{0, 0}, {0, 0}}; /* [refined][right open] */
  for (int round = 0; round < 300; round++) {
    std::vector<lh_oracle::piece> ts(pick(3, 5));
    int bbheight = pick(2, 6), sigma = pick(0, 6), bblength = 40;
    for (lh_oracle::piece &p : ts) p = {pick(1, 5), pick(1, bbheight)};
    std::vector<int32_t> tab[2][2]; /* [refined][closed] */
    for (int refined : {0, 1}) {
      std::vector<lhs> list;
      for (const lh_oracle::piece &p : ts) list.push_back({p.l, p.h, 0});
      tab[refined][0].assign(bbheight, 0), tab[refined][1].assign(bbheight, 0);
      w->numstack_end = nullptr;
      fd_lh_init(api, w, sigma, 0, 1, bblength, bbheight, (int)list.size(), list.data(),
                 tab[refined][0].data(), tab[refined][1].data(), refined ? 1000 : -1, 2);
    }
    for (int eps = 1; eps <= bbheight; eps++)
      for (int c : {0, 1}) {
        entries++;
        for (int ro : {0, 1}) {
          int64_t want = std::min<int64_t>(bblength, lh_oracle::longest_hole(ts, eps, sigma, c, ro));
          for (int refined : {0, 1}) at[refined][ro] += tab[refined][c][eps - 1] == want;
        }
      }
  }
  std::printf("lh_small_entries %ld\n", entries);
  std::printf("lh_small_closed_form_at_oracle_share %.4f\n", (double)at[0][0] / entries);
  std::printf("lh_small_refined_at_oracle_share %.4f\n", (double)at[1][0] / entries);
  std::printf("lh_small_closed_form_at_right_open_oracle_share %.4f\n", (double)at[0][1] / entries);
  std::printf("lh_small_refined_at_right_open_oracle_share %.4f\n", (double)at[1][1] / entries);
}

int main()
{
  BenchEngine e;
  ORVALIS_API_STRUCT *api = bench_fd::load_clpfd(e);
  worker *w = fd_worker(api);
  std::mt19937 rng(17);
  for (int bbheight : {10, 50, 200})
    for (int n : {10, 30, 100}) {
      std::vector<lhs> tasks(n);
      int64_t energy = 0;
      for (lhs &t : tasks) {
        t = {std::uniform_int_distribution<int>(1, 20)(rng),
             std::uniform_int_distribution<int>(1, bbheight)(rng), 0};
        energy += (int64_t)t.l * t.h;
      }
      int32_t bblength = (int32_t)(energy / bbheight + 20);
      std::vector<int32_t> open(bbheight), closed(bbheight);
      int repeat = 0;
      double seconds = 0;
      auto start = std::chrono::steady_clock::now();
      while (seconds < 0.2) {
        std::vector<lhs> list = tasks;
        w->numstack_end = nullptr;
        fd_lh_init(api, w, (int64_t)bblength * bbheight - energy, 0, 1, bblength, bbheight, n,
                   list.data(), open.data(), closed.data(), 1000, 2);
        repeat++;
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      }
      std::printf("lh_init_%d_tasks_height_%d_ms %.4f\n", n, bbheight, 1000 * seconds / repeat);
    }
  small_instances(api, w);
  return 0;
}
