/* Calls of one arithmetic step (a Wichmann-Hill seed update) through the three ways a native
 * function becomes a predicate: a foreign resource's function through the glue with declared
 * argument kinds, a QX_define_c_predicate predicate through the stash dispatcher, and a core
 * native built-in; and the random resource's ZKRnxt through the glue. Each is called a million times from the same interpreted loop, which a
 * fourth line times with a call of true/0 in the step's place. */
#include "bench_common.h"
#include "foreign_interface.h"
#include "orvalis.h"
#include "qxlibres.h"

namespace {

constexpr long CALLS = 1000000;

inline long seed_step(long s) { return (171 * s) % 30269; }

/* The foreign resource: linked in, plain functions. */
long glue_step(long s) { return seed_step(s); }
void (*const funcs[])() = {(void (*)())glue_step, nullptr};
const char *const names[] = {"glue_step", nullptr};
const int arities[] = {2, 0};
int bench_entry(void *arg)
{
  auto *p = (QX_MAINFUN_PARAMS_STRUCT *)arg;
  p->funcs = funcs;
  p->prednames = names;
  p->arities = arities;
  p->flags |= QX_MAINFUN_PLAIN_INIT;
  return 0;
}
const char *const pre_map[] = {"bench", "random", nullptr};
const QX_pre_linkage_fn pre_linkage[] = {bench_entry, qx_main_QXENV_random, nullptr};
const qx_foreign_pred preds[] = {{"glue_step", "+integer [-integer]"}, {nullptr, nullptr}};
const qx_foreign_interface bench_interface = {"bench", "user", preds};
const qx_foreign_interface *const interfaces[] = {&bench_interface, &qx_random_interface, nullptr};

/* The QX_define_c_predicate function: stash_step(S0, S). */
int stash_step(QX_term_ref goal, void *)
{
  QX_term_ref a = QX_new_term_ref(), b = QX_new_term_ref();
  long s;
  QX_get_arg(1, goal, a);
  QX_get_arg(2, goal, b);
  if (!QX_get_integer(a, &s)) return 0;
  QX_put_integer(a, seed_step(s));
  return QX_unify(a, b);
}

/* The core native: native_step(S0, S). */
int native_step(worker *w)
{
  TAGGED s = deref(w->term[0]);
  return IsSmall(s) && cunify(w, w->term[1], MakeSmall((int32_t)seed_step(GetSmall(s))));
}

}  // namespace

int main()
{
  BenchEngine e;
  qx_set_linked_resources(pre_map, pre_linkage);
  qx_set_linked_interfaces(interfaces);
  qx_define_native(qx_eg.user_module, "native_step", 2, native_step, nullptr, ENTER_C);
  if (e.run("load_foreign_resource(bench)") != 1 || e.run("load_foreign_resource(random)") != 1 ||
      !QX_define_c_predicate("stash_step", 2, "user", stash_step, nullptr)) {
    std::fprintf(stderr, "bench_foreign: set-up failed\n");
    return 1;
  }
  e.consult("loop(_, 0, _) :- !.\n"
            "loop(glue, N, S0) :- glue_step(S0, S), N1 is N - 1, loop(glue, N1, S).\n"
            "loop(stash, N, S0) :- stash_step(S0, S), N1 is N - 1, loop(stash, N1, S).\n"
            "loop(native, N, S0) :- native_step(S0, S), N1 is N - 1, loop(native, N1, S).\n"
            "loop(zkrnxt, N, S) :- 'ZKRnxt'(_), N1 is N - 1, loop(zkrnxt, N1, S).\n"
            "loop(none, N, S) :- true, N1 is N - 1, loop(none, N1, S).\n");
  std::printf("%-36s %12s\n", "path (1e6 calls each)", "calls/s");
  for (const char *kind : {"glue", "zkrnxt", "stash", "native", "none"}) {
    std::string goal = "loop(" + std::string(kind) + ", " + std::to_string(CALLS) + ", 1)";
    int result = 1;
    double s = bench_best([&] { result &= e.run(goal); });
    if (result != 1) {
      std::fprintf(stderr, "bench_foreign: %s loop failed\n", kind);
      return 1;
    }
    const char *label = std::string(kind) == "glue"     ? "foreign glue (+integer [-integer])"
                        : std::string(kind) == "zkrnxt" ? "ZKRnxt of random ([-float])"
                        : std::string(kind) == "stash"  ? "QX_define_c_predicate dispatcher"
                        : std::string(kind) == "native" ? "core native built-in"
                                                        : "loop alone (true/0)";
    std::printf("%-36s %12.0f calls/s\n", label, CALLS / s);
  }
  return 0;
}
