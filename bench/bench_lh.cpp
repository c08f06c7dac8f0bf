/* Longest-hole tables: the time of fd_lh_init for 10, 30 and 100 random tasks at heights 10, 50
 * and 200 (budget 1000, maxfails 2), one row each. */
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "bench_fd_common.h"
#include "fd_sched.h"

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
        fd_init_profile(api);
        fd_lh_init(api, w, (int64_t)bblength * bbheight - energy, 0, 1, bblength, bbheight, n,
                   list.data(), open.data(), closed.data(), 1000, 2);
        repeat++;
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      }
      std::printf("lh_init_%d_tasks_height_%d_ms %.4f\n", n, bbheight, 1000 * seconds / repeat);
    }
  return 0;
}
