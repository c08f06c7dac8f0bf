/* Transient atoms: x<digits> made and dropped in a loop, the digits built by a clause that binds
 * its output before a cut; N and 4N atoms, once with a small live heap and once with a list of
 * two million elements kept live throughout. Each run in a child process, beside swipl -O:
 * seconds and peak resident size. */
#include "bench_child.h"

int main()
{
  const char *program = "digits(N, [A, B, C, D, E, F, G]) :- N >= 0, !, digit(N, 1, A), "
                        "digit(N, 10, B), digit(N, 100, C), digit(N, 1000, D), "
                        "digit(N, 10000, E), digit(N, 100000, F), digit(N, 1000000, G).\n"
                        "digits(_, [48]).\n"
                        "digit(N, D, C) :- C is 48 + (N // D) mod 10.\n"
                        "atoms(0) :- !.\n"
                        "atoms(N) :- digits(N, Ds), atom_codes(_, [120|Ds]), N1 is N - 1, "
                        "atoms(N1).\n"
                        "mk(0, []) :- !.\nmk(N, [N|T]) :- N1 is N - 1, mk(N1, T).\n"
                        "live(N, M) :- mk(M, L), atoms(N), L = [_|_].\n";
  bench_in_child("400,000 atoms", program, "atoms(400000)");
  bench_in_child("1,600,000 atoms", program, "atoms(1600000)");
  bench_in_child("400,000 atoms, 2M-element list", program, "live(400000, 2000000)");
  bench_in_child("1,600,000 atoms, 2M-element list", program, "live(1600000, 2000000)");
  return 0;
}
