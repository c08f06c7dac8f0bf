/* Non-tail recursion over a list: one frame per element stays on the local stack until the end
 * of the list. Two lengths (or the lengths given as arguments), each in a child process, beside
 * swipl -O: seconds and peak resident size. */
#include "bench_child.h"

int main(int argc, char **argv)
{
  const char *program = "mk(0, []) :- !.\nmk(N, [N|T]) :- N1 is N - 1, mk(N1, T).\n"
                        "len([], 0).\nlen([_|T], N) :- len(T, N0), N is N0 + 1.\n"
                        "run(N) :- mk(N, L), len(L, M), M =:= N.\n";
  std::vector<std::string> lengths = {"1000000", "4000000"};
  if (argc > 1) lengths.assign(argv + 1, argv + argc);
  for (const std::string &n : lengths)
    bench_in_child(("len/2 of " + n + " elements").c_str(), program, "run(" + n + ")");
  return 0;
}
