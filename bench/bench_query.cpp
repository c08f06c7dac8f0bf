/* The embedding API's call paths: QX_query of a deterministic native and of an interpreted fact,
 * open/next/close over a million solutions of a nondeterministic native, and put/get round trips
 * of integers and atoms through a term reference. The peer of the one-shot queries is the
 * engine's own once-call (qx_call_once) of the same goal, without predicate reference or term
 * references. */
#include "../tests/support/test_natives.h"
#include "bench_common.h"
#include "orvalis.h"

namespace {

constexpr long CALLS = 1000000;
constexpr int SOLUTIONS = 1000000;

int det_native(worker *w) { return cunify(w, w->term[0], MakeSmall(1)); }

/* Best of `runs` timings of f; the heap cells a run leaves (cut queries keep theirs) are given
 * back between runs, as nothing refers to them any more. */
template <class F>
double best_of(worker *w, int runs, F f)
{
  double best = 0;
  for (int i = 0; i < runs; i++) {
    TAGGED *top = w->global_top;
    int mark = QX_new_term_refs(0);
    double s = bench_seconds(f);
    QX_reset_term_refs(mark);
    w->global_top = top;
    if (best == 0 || s < best) best = s;
  }
  return best;
}

void report(const char *what, double count, double seconds, const char *peer = nullptr,
            double peer_seconds = 0, const char *unit = "calls")
{
  std::printf("%-44s %8.3f s  %7.2f M %s/s", what, seconds, count / seconds / 1e6, unit);
  if (peer)
    std::printf("  (%s: %.2f M calls/s, ratio %.2f)", peer, count / peer_seconds / 1e6,
                seconds / peer_seconds);
  std::printf("\n");
}

bool check(bool ok, const char *what)
{
  if (!ok) std::fprintf(stderr, "bench_query: %s\n", what);
  return ok;
}

}  // namespace

int main(int argc, char **argv)
{
  int runs = argc > 1 ? std::atoi(argv[1]) : 3;
  BenchEngine e;
  worker *w = e.w;
  e.consult("fact(1). ");
  qx_define_native(qx_eg.user_module, "det", 1, det_native, nullptr, ENTER_C);
  qx_define_native(qx_eg.user_module, "between", 3, test_between, test_between_retry,
                   ENTER_C_NONDET);
  QX_pred_ref det = QX_predicate("det", 1, "user");
  QX_pred_ref fact = QX_predicate("fact", 1, "user");
  QX_pred_ref between = QX_predicate("between", 3, "user");
  QX_term_ref x = QX_new_term_ref();

  /* One-shot queries, each with a fresh variable; the answer is checked once. */
  auto one_shot = [&](QX_pred_ref pred) {
    long sum = 0;
    for (long i = 0; i < CALLS; i++) {
      QX_put_variable(x);
      if (QX_query(pred, x) != 1) return false;
      long v = 0;
      QX_get_integer(x, &v);
      sum += v;
    }
    return sum == CALLS;
  };
  auto once_call = [&](const char *name) {
    TAGGED functor = MakeFunctor(init_atom_check(name, 0), 1);
    for (long i = 0; i < CALLS; i++) {
      TAGGED *g = w->global_top;
      g[0] = functor;
      g[1] = MakeRef(&g[1]);
      w->global_top += 2;
      if (qx_call_once(w, MakeStr(g), qx_eg.user_module) != 1) return false;
    }
    return true;
  };
  bool ok = true;
  for (const char *name : {"det", "fact"}) {
    QX_pred_ref pred = name[0] == 'd' ? det : fact;
    double api = best_of(w, runs, [&] { ok &= check(one_shot(pred), "a one-shot query failed"); });
    double peer = best_of(w, runs, [&] { ok &= check(once_call(name), "a once-call failed"); });
    report(name[0] == 'd' ? "QX_query, deterministic native" : "QX_query, interpreted fact", CALLS,
           api, "qx_call_once", peer);
  }

  double all = best_of(w, runs, [&] {
    QX_term_ref lo = QX_new_term_ref(), hi = QX_new_term_ref();
    QX_put_integer(lo, 1);
    QX_put_integer(hi, SOLUTIONS);
    QX_put_variable(x);
    QX_query_ref q = QX_open_query(between, lo, hi, x);
    long n = 0, last = 0;
    while (QX_next_solution(q) == 1) {
      QX_get_integer(x, &last);
      n++;
    }
    QX_close_query(q);
    ok &= check(n == SOLUTIONS && last == SOLUTIONS, "between/3 gave the wrong solutions");
  });
  report("open/next/close, nondeterministic native", SOLUTIONS, all, nullptr, 0, "solutions");

  /* put_get(i) answers whether the value came back. */
  auto round_trips = [&](const char *what, auto put_get) {
    double s = best_of(w, runs, [&] {
      long same = 0;
      for (long i = 0; i < CALLS; i++) same += put_get(i);
      ok &= check(same == CALLS, what);
    });
    report(what, CALLS, s);
  };
  round_trips("put/get integer, small", [&](long i) {
    long v = -1;
    QX_put_integer(x, i);
    QX_get_integer(x, &v);
    return v == i;
  });
  round_trips("put/get integer, boxed", [&](long i) {
    long v = -1;
    QX_put_integer(x, i + 1000000000);
    QX_get_integer(x, &v);
    return v == i + 1000000000;
  });
  QX_atom atoms[16];
  for (int i = 0; i < 16; i++) atoms[i] = QX_atom_from_string(("atom" + std::to_string(i)).c_str());
  round_trips("put/get atom", [&](long i) {
    QX_atom a = 0;
    QX_put_atom(x, atoms[i & 15]);
    QX_get_atom(x, &a);
    return a == atoms[i & 15];
  });
  round_trips("atom from text and back", [&](long i) {
    const char *name = i & 1 ? "atom3" : "atom12";
    return std::strcmp(QX_string_from_atom(QX_atom_from_string(name)), name) == 0;
  });
  return ok ? 0 : 1;
}
