/* tak(24, 16, 8) on the interpreter, with the engine's is/2 and =</2.
 *
 * Logical inferences are counted as predicate calls other than control constructs: a call that
 * ends in the first clause makes 3 (tak, =<, =), one that recurses makes 5 (tak, =<, three is/2);
 * the numbers of each kind come from the same recursion done in C++. */
#include "bench_common.h"

namespace {

struct TakCount {
  double leaves = 0;
  double inner = 0;
};

int tak(int x, int y, int z, TakCount &count)
{
  if (x <= y) {
    count.leaves++;
    return z;
  }
  count.inner++;
  int a1 = tak(x - 1, y, z, count);
  int a2 = tak(y - 1, z, x, count);
  int a3 = tak(z - 1, x, y, count);
  return tak(a1, a2, a3, count);
}

}  // namespace

int main(int argc, char **argv)
{
  int runs = argc > 1 ? std::atoi(argv[1]) : 3;
  BenchEngine e;
  const std::string program =
      "tak(X, Y, Z, A) :- X =< Y, !, Z = A.\n"
      "tak(X, Y, Z, A) :- X1 is X - 1, Y1 is Y - 1, Z1 is Z - 1,\n"
      "  tak(X1, Y, Z, A1), tak(Y1, Z, X, A2), tak(Z1, X, Y, A3), tak(A1, A2, A3, A).\n"
      "best(0, Best, Best) :- !.\n"
      "best(N, Best0, Best) :- get_time(T0), (tak(24, 16, 8, _), fail ; true), get_time(T1),\n"
      "  T is min(Best0, T1 - T0), N1 is N - 1, best(N1, T, Best).\n";
  e.consult(program.substr(0, program.find("best(")));
  TakCount count;
  int expected = tak(24, 16, 8, count);
  if (e.run("tak(24, 16, 8, " + std::to_string(expected) + ")") != 1) {
    std::fprintf(stderr, "tak(24, 16, 8) did not give %d\n", expected);
    return 1;
  }
  double best = 0;
  for (int i = 0; i < runs; i++) {
    double s = bench_seconds([&] { e.run("tak(24, 16, 8, _), fail ; true"); });
    if (best == 0 || s < best) best = s;
  }
  auto peer =
      run_peer(program, "best(" + std::to_string(runs) + ", 1000, T), format(\"tak ~9f~n\", [T])");
  double inferences = 3 * count.leaves + 5 * count.inner;
  std::printf("tak(24,16,8), best of %d: %.1f MLIPS (%.0f logical inferences)\n", runs,
              inferences / best / 1e6, inferences);
  print_versus("tak(24,16,8)", best, peer.count("tak") ? peer["tak"] : -1, "s", 1);
  return 0;
}
