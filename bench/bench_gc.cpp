/* The heap collector: naive reverse of 30 elements in a deterministic loop with a 256 KiB initial
 * heap beside a large one (MLIPS and the share of time spent collecting), and the time of one
 * collection per MB of live data and per MB of heap for heaps of 10, 100 and 500 MB with 10% and
 * 50% live, with the longest pause; one atom collection over a table of a million atoms, none
 * or half of them on a heap list. Each configuration runs in a child process of its own, since
 * the heap's initial size is read when the engine starts. */
#include <sys/wait.h>

#include "atoms.h"
#include "bench_common.h"
#include "gc.h"

namespace {

constexpr double MB = 1024.0 * 1024.0;

void nrev_loop(const char *heap, int runs)
{
  setenv("GLOBALSTKSIZE", heap, 1);
  BenchEngine e;
  e.consult("app([], L, L). app([H|T], L, [H|R]) :- app(T, L, R). "
            "nrev([], []). nrev([H|T], R) :- nrev(T, RT), app(RT, [H], R). "
            "list30([1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,"
            "29,30]). "
            "loop(0) :- !. loop(N) :- list30(L), nrev(L, _), N1 is N - 1, loop(N1). ");
  e.run("loop(100)");
  const qx_gc_stats *s = qx_gc_statistics();
  uint64_t collections = s->collections;
  double collecting = s->seconds;
  double seconds = bench_seconds([&] { e.run("loop(" + std::to_string(runs) + ")"); });
  collecting = s->seconds - collecting;
  std::printf("nrev30 loop, initial heap %-5s %6.1f MLIPS  %5llu collections  %4.1f%% of the "
              "time collecting  longest pause %.3f ms  heap %.1f MB\n",
              heap, 496.0 * runs / seconds / 1e6,
              (unsigned long long)(s->collections - collections), 100 * collecting / seconds,
              s->longest * 1000, (double)((char *)e.w->stack_start - (char *)e.w->heap_start) / MB);
}

/* A heap of `heap_mb` MB of list pairs of which every k-th is on the live list in term[0]. */
void one_collection(int heap_mb, int live_percent)
{
  BenchEngine e;
  worker *w = e.w;
  qx_eg.current_gcmode = atom_off;
  size_t pairs = (size_t)heap_mb * 1024 * 1024 / 8;
  call_overflow(w, (uint32_t)(pairs * 2 + 1024), 0);
  TAGGED *p = w->global_top;
  w->global_top += 2 * pairs;
  TAGGED live = atom_nil;
  size_t kept = 0;
  for (size_t i = 0; i < pairs; i++) {
    p[2 * i] = MakeSmall((int32_t)(i & 0xFFFF));
    if (i * live_percent / 100 != (i + 1) * live_percent / 100) {
      p[2 * i + 1] = live;
      live = MakeLst(&p[2 * i]);
      kept++;
    } else {
      p[2 * i + 1] = atom_nil;
    }
  }
  w->term[0] = live;
  double seconds = bench_seconds([&] { qx_gc_collect(w, 1); });
  double live_mb = (double)kept * 8 / MB;
  std::printf("heap %4d MB, %2d%% live: %8.1f ms  %6.2f ms per MB live  %6.2f ms per MB heap\n",
              heap_mb, live_percent, seconds * 1000, seconds * 1000 / live_mb,
              seconds * 1000 / heap_mb);
}

/* A million atoms, every k-th on a heap list in term[0] for `live_percent`; one collection. */
void atom_collection(int live_percent)
{
  BenchEngine e;
  worker *w = e.w;
  constexpr int kAtoms = 1000000;
  call_overflow(w, 2 * kAtoms + 1024, 0);
  TAGGED live = atom_nil;
  int kept = 0;
  for (int i = 0; i < kAtoms; i++) {
    char name[16];
    std::snprintf(name, sizeof name, "a%d", i);
    TAGGED a = init_atom_check(name, 0);
    if (i * live_percent / 100 != (i + 1) * live_percent / 100) {
      TAGGED *p = w->global_top;
      w->global_top += 2;
      p[0] = a;
      p[1] = live;
      live = MakeLst(p);
      kept++;
    }
  }
  w->term[0] = live;
  uint32_t freed = 0;
  double seconds = bench_seconds([&] { freed = qx_atom_gc(w); });
  std::printf("agc 1M atoms, %2d%% live: %8.1f ms  (%u freed, %d kept)\n", live_percent,
              seconds * 1000, freed, kept);
}

template <class F>
void in_child(F f)
{
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    f();
    std::fflush(stdout);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::printf("  (the run failed)\n");
}

}  // namespace

int main(int argc, char **argv)
{
  int runs = argc > 1 ? std::atoi(argv[1]) : 20000;
  in_child([&] { nrev_loop("256K", runs); });
  in_child([&] { nrev_loop("512M", runs); });
  for (int mb : {10, 100, 500})
    for (int percent : {10, 50}) in_child([&] { one_collection(mb, percent); });
  for (int percent : {0, 50}) in_child([&] { atom_collection(percent); });
  return 0;
}
