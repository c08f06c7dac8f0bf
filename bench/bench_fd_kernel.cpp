/* The solver kernel's own costs, through the natives as the Prolog library calls them (the
 * resource linked in and loaded by load_clpfd_resource/0):
 *   - propagator_runs_per_second: propagator runs per second on the path tell, wake, dequeue, run
 *     a minimal global registered here, apply its actions, all inside one $fd_evaluate_indexical
 *     call: a chain X0 < X1 < ... < XN of lt(X, Y) globals, each woken by its X's minimum and
 *     raising its Y's minimum, so that one tell at the front makes N runs in the native loop;
 *   - prolog_step_runs_per_second: the same path driven one run per step from Prolog (tell, then
 *     $fd_evaluate_indexical; interpreter and foreign glue included): one variable whose maximum
 *     drops by one per step, watched by a global that answers its state and no actions; the loop
 *     less the same loop with the natives replaced by a no-op;
 *   - push_100_tells_undo_per_second: push a choicepoint, 100 tells to one variable, undo; less the
 *     no-op loop.
 * Each figure is the best of three; printed as "name value" lines (bench/fd_vs_gecode.sh reads
 * them). */
#include <tuple>

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

/* lt(X, Y): Y's minimum raised above X's. */
void lt_global(ORVALIS_API_STRUCT *api, QX_term_ref, QX_term_ref state, QX_term_ref actions)
{
  worker *w = fd_worker(api);
  w->numstack_end = nullptr;
  w->term[2] = atom_nil;
  QX_term_ref refs = QX_new_term_refs(4); /* X's attribute and variable, then Y's */
  dvar views[2];
  for (int k = 0; k < 2; k++) {
    TAGGED arg = deref(StrArg(deref(StrArg(deref(w->term[1]), 2)), k + 1));
    fd_ref_put(api, refs + 2 * k + 1, arg);
    if (!fd_room_free(w, FD_ATTRIBUTE_WORDS + 128)) call_overflow(w, FD_ATTRIBUTE_WORDS + 128, 3);
    fd_load_argument(api, w, &views[k], fd_ref_slot(api, refs + 2 * k),
                     fd_ref_slot(api, refs + 2 * k + 1), atom_inf, atom_sup, atom_sup);
  }
  int outcome = 0;
  int mask = dvar_fix_interval_t(&views[1], MakeSmall(GetSmall(views[0].min) + 1), atom_sup);
  if (mask < 0) {
    outcome = -1;
  } else if (mask > 0) {
    dvar_pruning_done(api, w, &views[1]);
    dvar_export_do(api, w, &views[1]);
  }
  fd_ref_put(api, state, w->term[0]);
  QX_reset_term_refs(refs);
  dvar_export_done(api, w, actions, outcome);
}

int no_op(worker *) { return 1; }

const char *const program =
    "chain(N, K) :- clpfd:'$fd_in_interval'(X, 0, 100000000, 0), link(N, X), settle, "
    "steps(1, K, X).\n"
    "link(0, _) :- !.\n"
    "link(N, X) :- clpfd:'$fd_in_interval'(Y, 0, 100000000, 0), "
    "clpfd:'$fd_post_global'(lt(X, Y), st(_, 0), 0, lt(X, Y), [min(X)], _), N1 is N - 1, "
    "link(N1, Y).\n"
    "settle :- clpfd:'$fd_evaluate_indexical'(_, R), settle(R).\n"
    "settle(0) :- !.\n"
    "settle(1) :- settle.\n"
    "steps(I, K, _) :- I > K, !.\n"
    "steps(I, K, X) :- clpfd:'$fd_in_interval'(X, I, 100000000, 1), settle, I1 is I + 1, "
    "steps(I1, K, X).\n"
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
  int chain = argc > 3 ? std::atoi(argv[3]) : 1000;
  int pushes = argc > 4 ? std::atoi(argv[4]) : 1000;
  BenchEngine e;
  qx_define_native(qx_eg.user_module, "bench_between", 3, test_between, test_between_retry,
                   ENTER_C_NONDET);
  qx_define_native(qx_eg.user_module, "no_op", 4, no_op, nullptr, ENTER_C);
  qx_define_native(qx_eg.user_module, "no_op", 2, no_op, nullptr, ENTER_C);
  ORVALIS_API_STRUCT *api = bench_fd::load_clpfd(e);
  struct fd_state *fd = fd_state(api);
  /* the keys are registered, as the resource's own are, so that atom collection keeps them */
  for (auto [name, arity, fn] : {std::tuple{"kb", 1u, &minimal_global}, {"lt", 2u, &lt_global}}) {
    TAGGED key = MakeFunctor(init_atom_check(name, 0), arity);
    QX_register_atom(key);
    dyn_puthash(&fd->dispatch, key)->value = (TAGGED)(uintptr_t)fn;
  }
  e.consult(program);

  /* the chain: N runs to link it, then N per push at the front */
  std::string goal = "chain(" + std::to_string(chain) + ", " + std::to_string(pushes) + ")";
  uint64_t chain_runs = (uint64_t)chain * (uint64_t)(pushes + 1);
  fd->resumptions = 0;
  if (e.run(goal) != 1 || fd->resumptions != chain_runs) {
    std::fprintf(stderr, "the chain did not propagate as expected (%u runs)\n", fd->resumptions);
    return 1;
  }
  double chain_time = bench_best([&] { e.run(goal); });
  std::printf("propagator_runs_per_second %.0f\n", (double)chain_runs / chain_time);

  std::string n = std::to_string(steps);
  fd->resumptions = 0;
  if (e.run("runs(" + n + ")") != 1 || fd->resumptions != (uint32_t)steps + 1) {
    std::fprintf(stderr, "the propagation path did not run as expected (%u runs)\n",
                 fd->resumptions);
    return 1;
  }
  double with = bench_best([&] { e.run("runs(" + n + ")"); });
  double without = bench_best([&] { e.run("empty_runs(" + n + ")"); });
  std::printf("prolog_step_runs_per_second %.0f\n", steps / (with - without));

  std::string c = std::to_string(cycles);
  with = bench_best([&] { e.run("cycles(" + c + ")"); });
  without = bench_best([&] { e.run("empty_cycles(" + c + ")"); });
  std::printf("push_100_tells_undo_per_second %.0f\n", cycles / (with - without));
  return 0;
}
