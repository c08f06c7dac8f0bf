/* Shared set-up of the interpreter benchmarks: one engine with the built-ins, clauses consulted
 * from text. */
#ifndef QX_BENCH_COMMON_H
#define QX_BENCH_COMMON_H

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>
#include <string>

#include "../tests/support/engine_start.h"
#include "../tests/support/read_terms.h"
#include "atoms.h"
#include "builtins.h"
#include "database.h"
#include "memman.h"
#include "modules.h"
#include "objareas.h"
#include "unify.h"
#include "wam.h"
#include "wcx.h"

struct BenchEngine {
  worker *w = start_whole_engine();

  BenchEngine()
  {
    if (w) return;
    std::fprintf(stderr, "engine start failed\n");
    std::exit(1);
  }
  ~BenchEngine() { stop_whole_engine(w); }
  BenchEngine(const BenchEngine &) = delete;
  BenchEngine &operator=(const BenchEngine &) = delete;
  void consult(const std::string &text)
  {
    for (TAGGED clause : TermReader::clauses(w, text)) {
      TAGGED c = deref(clause);
      TAGGED head = c;
      if (IsStr(c) && StrFunctor(c) == MakeFunctor(init_atom_check(":-", 0), 2))
        head = deref(StrArg(c, 1));
      TAGGED key = IsStr(head) ? StrFunctor(head) : head;
      definition *d = find_definition(qx_eg.user_module, key, nullptr, 1);
      if (d->predtyp == ENTER_UNDEFINED) redefine_predicate(d, ENTER_INTERPRETED);
      insertz(d, qx_make_clause(w, d, clause));
      qx_eg.def_generation++;
    }
  }
  int run(const std::string &goal)
  {
    TermReader reader(w, goal);
    return qx_call_once(w, reader.read(), qx_eg.user_module);
  }
};

/* The peer system, run on the same program text in the same run of a benchmark: the program is
 * written to a file with `peer_prelude` in front, `swipl -O` runs `goal`, and every line it
 * prints as "name seconds" comes back by name. Empty when the peer is not installed. */
inline const char *peer_prelude =
    "bench_between(L, H, X) :- between(L, H, X).\n"
    "bench_time(Goal, Name) :- get_time(T0), ignore(Goal), get_time(T1), T is T1 - T0, "
    "format(\"~w ~9f~n\", [Name, T]).\n"
    "bench_best(Goal, Name) :- findall(T, (between(1, 3, _), get_time(T0), ignore(Goal), "
    "get_time(T1), T is T1 - T0), Ts), min_list(Ts, T), format(\"~w ~9f~n\", [Name, T]).\n";
inline std::map<std::string, double> run_peer(const std::string &program, const std::string &goal)
{
  std::map<std::string, double> figures;
  char path[] = "/tmp/bench_peer_XXXXXX.pl";
  int fd = mkstemps(path, 3);
  if (fd < 0) return figures;
  std::string text = std::string(peer_prelude) + program;
  bool written = write(fd, text.data(), text.size()) == (ssize_t)text.size();
  close(fd);
  std::string command = "swipl -O -q -g '" + goal + "' -t halt " + path + " 2>/dev/null";
  if (FILE *out = written ? popen(command.c_str(), "r") : nullptr) {
    char name[128];
    double seconds;
    while (std::fscanf(out, "%127s %lf", name, &seconds) == 2) figures[name] = seconds;
    pclose(out);
  }
  unlink(path);
  return figures;
}

/* One line of a comparison: this system's figure, the peer's and the ratio of their speeds
 * (above 1: this system is faster). A negative peer figure: the peer gave none. */
inline void print_versus(const char *what, double ours, double peer, const char *unit, double scale)
{
  if (peer >= 0)
    std::printf("%-28s %10.3f %s   swipl -O %10.3f %s   speed ratio %.2f\n", what, ours * scale,
                unit, peer * scale, unit, peer / ours);
  else
    std::printf("%-28s %10.3f %s   swipl -O: not run\n", what, ours * scale, unit);
}

/* Seconds taken by f(); the least of three runs. */
template <class F>
double bench_best(F f)
{
  double best = 0;
  for (int i = 0; i < 3; i++) {
    auto start = std::chrono::steady_clock::now();
    f();
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (i == 0 || s < best) best = s;
  }
  return best;
}

/* Seconds taken by f(). */
template <class F>
double bench_seconds(F f)
{
  auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

#endif
