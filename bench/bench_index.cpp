/* Clause selection by first argument: lookups of facts by an integer or an atom key in tables of
 * 1k, 16k and 64k facts (time per lookup: the loop with the lookup less the same loop calling a
 * one-clause predicate, best of three; flat across the sizes when selection does not depend on
 * the number of clauses, but for the caches), and asserting n facts then retracting them one by
 * one by key (time per operation: flat when the whole run grows linearly). Beside each figure,
 * the same program under swipl -O in the same run. */
#include "../tests/support/test_natives.h"
#include "bench_common.h"

namespace {

const int kSizes[] = {1000, 16000, 64000};
const int kFills[] = {25000, 50000, 100000};

std::string facts_text()
{
  std::string text;
  for (int size : kSizes) {
    std::string s = std::to_string(size);
    for (int i = 1; i <= size; i++) {
      std::string k = std::to_string(i);
      text += "i" + s + "(" + k + ", " + k + "). a" + s + "(k" + k + ", " + k + ").\n";
    }
  }
  for (int i = 1; i <= kSizes[2]; i++)
    text += "akey(" + std::to_string(i) + ", k" + std::to_string(i) + ").\n";
  return text;
}

/* The lookup loops and their baselines (the same loop with a one-clause predicate in place of
 * the table). */
std::string loops_text()
{
  std::string text = "dummy(_, _).\n";
  for (int size : kSizes) {
    std::string s = std::to_string(size);
    std::string key = "bench_between(1, N, I), K is (I mod " + s + ") * 4093 mod " + s + " + 1, ";
    text += "look_i" + s + "(N) :- " + key + "i" + s + "(K, _), fail.\nlook_i" + s + "(_).\n";
    text += "base_i" + s + "(N) :- " + key + "dummy(K, _), fail.\nbase_i" + s + "(_).\n";
    text += "look_a" + s + "(N) :- " + key + "akey(K, A), a" + s + "(A, _), fail.\nlook_a" + s +
            "(_).\n";
    text +=
        "base_a" + s + "(N) :- " + key + "akey(K, A), dummy(A, _), fail.\nbase_a" + s + "(_).\n";
  }
  text += "fill(N) :- bench_between(1, N, I), assertz(r(I, I)), fail.\nfill(_).\n"
          "drain(N) :- bench_between(1, N, I), retract(r(I, _)), fail.\ndrain(_).\n";
  return text;
}

/* The goal for the peer: every measurement, each printed by name. */
std::string peer_goal(int lookups)
{
  std::string n = std::to_string(lookups), goal;
  for (int size : kSizes)
    for (const char *kind : {"i", "a"}) {
      std::string name = kind + std::to_string(size);
      goal += "look_" + name + "(1000), bench_best(base_" + name + "(" + n + "), base_" + name +
              "), bench_best(look_" + name + "(" + n + "), look_" + name + "), ";
    }
  for (int fill : kFills) {
    std::string f = std::to_string(fill);
    goal += "bench_time(fill(" + f + "), fill" + f + "), bench_time(drain(" + f + "), drain" + f +
            "), ";
  }
  return goal + "true";
}

}  // namespace

int main(int argc, char **argv)
{
  int lookups = argc > 1 ? std::atoi(argv[1]) : 1000000;
  BenchEngine e;
  qx_define_native(qx_eg.user_module, "bench_between", 3, test_between, test_between_retry,
                   ENTER_C_NONDET);
  std::string facts = facts_text();
  std::string loops = loops_text();
  e.consult(facts);
  e.consult(loops);
  if (e.run("assertz(r(0, 0)), retract(r(0, 0))") != 1) return 1; /* r/2 dynamic, as below */
  std::map<std::string, double> peer =
      run_peer(":- dynamic(r/2).\n" + facts + loops, peer_goal(lookups));
  /* A peer figure, or -1 when the peer gave none. */
  auto peer_seconds = [&](const std::string &name) { return peer.count(name) ? peer[name] : -1.0; };
  auto ours = [&](const std::string &goal) { return bench_seconds([&] { e.run(goal); }); };
  std::string n = std::to_string(lookups);
  for (int size : kSizes)
    for (const char *kind : {"i", "a"}) {
      std::string name = kind + std::to_string(size);
      ours("look_" + name + "(1000)"); /* the peer's warm-up */
      double base = bench_best([&] { e.run("base_" + name + "(" + n + ")"); });
      double look = bench_best([&] { e.run("look_" + name + "(" + n + ")"); });
      double peer_look = peer_seconds("look_" + name) - peer_seconds("base_" + name);
      if (peer_seconds("look_" + name) < 0) peer_look = -1;
      std::string what = std::string("lookup by ") + (kind[0] == 'i' ? "integer" : "atom") + ", " +
                         std::to_string(size / 1000) + "k facts";
      print_versus(what.c_str(), (look - base) / lookups, peer_look / lookups, "us", 1e6);
    }
  for (int fill : kFills) {
    std::string f = std::to_string(fill);
    double filled = ours("fill(" + f + ")");
    double drained = ours("drain(" + f + ")");
    std::string what = "assertz, " + std::to_string(fill / 1000) + "k facts";
    print_versus(what.c_str(), filled / fill, peer_seconds("fill" + f) / fill, "us", 1e6);
    what = "retract by key, " + std::to_string(fill / 1000) + "k";
    print_versus(what.c_str(), drained / fill, peer_seconds("drain" + f) / fill, "us", 1e6);
  }
  return 0;
}
