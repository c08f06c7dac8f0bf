/* Throughput of FD-set intersection, union and subtraction on sets of 1, 10 and 1,000 intervals
 * that overlap partly (every interval of one set meets one of the other). */
#include <chrono>
#include <cstdio>
#include <cstring>

#include "atoms.h"
#include "fd.h"
#include "memman.h"
#include "objareas.h"
#include "wcx.h"

namespace {

worker the_worker;

/* k intervals [step*i + offset .. step*i + offset + 5] in the temporary area. */
TAGGED make_set(ORVALIS_API_STRUCT *api, worker *w, int k, int offset)
{
  FDCONS cons;
  fdcons_init(&cons);
  for (int i = 0; i < k; i++)
    fdcons_add_interval(api, &cons, w, MakeSmall(10 * i + offset), MakeSmall(10 * i + offset + 5));
  return cons.head;
}

typedef TAGGED (*operation)(ORVALIS_API_STRUCT *, worker *, TAGGED, TAGGED);

/* Operations per second, running for about a quarter of a second. The temporary area is reset
 * before each operation, as the kernel does before each propagator step; the arguments live in a
 * block allocated before the mark so that the reset does not discard them. */
double measure(ORVALIS_API_STRUCT *api, worker *w, operation op, TAGGED a, TAGGED b)
{
  using clock = std::chrono::steady_clock;
  char *mark = w->numstack_top;
  long done = 0, batch = 16;
  auto start = clock::now();
  double seconds = 0;
  volatile TAGGED sink = 0;
  while (seconds < 0.25) {
    for (long i = 0; i < batch; i++) {
      numstack_trim(w, mark);
      sink = op(api, w, a, b);
    }
    done += batch;
    batch *= 2;
    seconds = std::chrono::duration<double>(clock::now() - start).count();
  }
  (void)sink;
  return (double)done / seconds;
}

void report(const char *name, int k, double per_second)
{
  if (per_second >= 1e6)
    std::printf("%s %dx%d: %.1f Mops/s\n", name, k, k, per_second / 1e6);
  else
    std::printf("%s %dx%d: %.1f kops/s\n", name, k, k, per_second / 1e3);
}

}  // namespace

int main()
{
  if (memman_init() != 0 || init_atoms() != 0) {
    std::fprintf(stderr, "engine start failed\n");
    return 1;
  }
  clear_ch_type_hash();
  worker *w = &the_worker;
  if (init_stacks(w) != 0) {
    std::fprintf(stderr, "data areas failed\n");
    return 1;
  }
  numstack_init(w);
  struct fd_state state;
  std::memset(&state, 0, sizeof state);
  ORVALIS_API_STRUCT api{};
  api.stash = &state;
  api.fli_data = (qx_fli_info **)w;

  struct {
    const char *name;
    operation op;
  } ops[] = {{"intersection", fd_intersection}, {"union", fd_union}, {"subtraction", fd_subtract}};
  for (int k : {1, 10, 1000}) {
    TAGGED a = make_set(&api, w, k, 0), b = make_set(&api, w, k, 3);
    for (auto &o : ops) report(o.name, k, measure(&api, w, o.op, a, b));
  }
  numstack_deinit();
  deinit_stacks(w);
  deinit_atoms();
  memman_deinit();
  return 0;
}
