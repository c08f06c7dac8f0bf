/* The solver kernel's own costs, through the natives as the Prolog library calls them (the
 * resource linked in and loaded by load_clpfd_resource/0):
 *   - propagator runs per second on the path tell, wake, dequeue, run a minimal global (one that
 *     only answers its state and no actions), apply its actions: one variable whose maximum drops
 *     by one per step, watched by the global;
 *   - push a choicepoint, 100 tells to one variable, undo: cycles per second.
 * Each figure is the loop less the same loop with the natives replaced by a no-op, the best of
 * three; printed as "name value" lines (bench/fd_vs_gecode.sh reads them). */
#include "../tests/support/test_natives.h"
#include "bench_fd_common.h"
#include "hashtab.h"

namespace {

void minimal_global(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                    QX_term_ref actions)
{
  worker *w = fd_worker(api);
  w->numstack_end = nullptr;
  w->term[2] = atom_nil;
  fd_ref_put(api, state, w->term[0]);
  dvar_export_done(api, w, actions, 0);
}

int no_op(worker *) { return 1; }

const char *const program =
    "runs(N) :- clpfd:'$fd_in_interval'(X, 0, N, 1), "
    "clpfd:'$fd_post_global'(kb(X), st(_, 0), 0, kb(X), [dom(X)], _), "
    "clpfd:'$fd_evaluate_indexical'(_, 0), shrink(N, X).\n"
    "shrink(0, _) :- !.\n"
    "shrink(M, X) :- M1 is M - 1, clpfd:'$fd_in_interval'(X, 0, M1, 1), "
    "clpfd:'$fd_evaluate_indexical'(_, 0), shrink(M1, X).\n"
    "empty_runs(N) :- empty_shrink(N, _).\n"
    "empty_shrink(0, _) :- !.\n"
    "empty_shrink(M, X) :- M1 is M - 1, no_op(X, 0, M1, 1), no_op(_, 0), empty_shrink(M1, X).\n"
    "cycles(N) :- bench_between(1, N, _), (cycle(_), fail ; true), fail.\n"
    "cycles(_).\n"
    "cycle(X) :- clpfd:'$fd_in_interval'(X, 0, 1000, 0), tells(100, X).\n"
    "tells(0, _) :- !.\n"
    "tells(K, X) :- M is 900 + K, clpfd:'$fd_in_interval'(X, 0, M, 0), K1 is K - 1, "
    "tells(K1, X).\n"
    "empty_cycles(N) :- bench_between(1, N, _), (empty_cycle(_), fail ; true), fail.\n"
    "empty_cycles(_).\n"
    "empty_cycle(X) :- no_op(X, 0, 1000, 0), empty_tells(100, X).\n"
    "empty_tells(0, _) :- !.\n"
    "empty_tells(K, X) :- M is 900 + K, no_op(X, 0, M, 0), K1 is K - 1, empty_tells(K1, X).\n";

}  // namespace

int main(int argc, char **argv)
{
  int steps = argc > 1 ? std::atoi(argv[1]) : 100000;
  int cycles = argc > 2 ? std::atoi(argv[2]) : 5000;
  BenchEngine e;
  qx_define_native(qx_eg.user_module, "bench_between", 3, test_between, test_between_retry,
                   ENTER_C_NONDET);
  qx_define_native(qx_eg.user_module, "no_op", 4, no_op, nullptr, ENTER_C);
  qx_define_native(qx_eg.user_module, "no_op", 2, no_op, nullptr, ENTER_C);
  ORVALIS_API_STRUCT *api = bench_fd::load_clpfd(e);
  struct fd_state *fd = fd_state(api);
  dyn_puthash(&fd->dispatch, MakeFunctor(init_atom_check("kb", 0), 1))->value =
      (TAGGED)(uintptr_t)&minimal_global;
  e.consult(program);

  std::string n = std::to_string(steps);
  fd->resumptions = 0;
  if (e.run("runs(" + n + ")") != 1 || fd->resumptions != (uint32_t)steps + 1) {
    std::fprintf(stderr, "the propagation path did not run as expected (%u runs)\n",
                 fd->resumptions);
    return 1;
  }
  double with = bench_best([&] { e.run("runs(" + n + ")"); });
  double without = bench_best([&] { e.run("empty_runs(" + n + ")"); });
  std::printf("propagator_runs_per_second %.0f\n", steps / (with - without));

  std::string c = std::to_string(cycles);
  with = bench_best([&] { e.run("cycles(" + c + ")"); });
  without = bench_best([&] { e.run("empty_cycles(" + c + ")"); });
  std::printf("push_100_tells_undo_per_second %.0f\n", cycles / (with - without));
  return 0;
}
