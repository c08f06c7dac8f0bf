/* bench_startup: the launcher from exec to exit with an application state whose main/0 is
 * `true`, the time its start spends restoring the two saved states, and beside them a program
 * that only starts and stops the I/O library (and `swipl -g halt` when it is installed).
 *
 *   bench_startup [RUNS]        (100 runs by default)
 *
 * The launcher is this program run again with --launch: its table keeps the linked-in runtime
 * state but not the application's, which it restores from the file QX_EMBEDDED_RESOURCES_PATH
 * names, written here first with its trailer. With --restore the child times the two restores
 * in process and prints them.
 */
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../tests/support/appended_resource.h"
#include "../tests/support/read_terms.h"
#include "launcher.h"
#include "orvalis.h"
#include "startup.h"
#include "wam.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr const char *APPLICATION = "URL:x-orvalis-resource:/tavro/tavro.sav";

double since(clock_type::time_point start)
{
  return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

/* Nulls the blob pointer (the word before the name) of the linked-in application's row. */
void without_linked_application()
{
  for (int i = 0; qx_pre_map[i]; i++)
    if (!qx_pre_linkage[i] && std::strstr(qx_pre_map[i], "tavro"))
      std::memset((char *)qx_pre_map[i] - sizeof(void *), 0, sizeof(void *));
}

/* In the child: boots the linked states, makes main/0 `true` and saves the application. */
int write_state(const std::string &file)
{
  if (qx_glue_initialize(0, nullptr, nullptr, qx_pre_linkage, qx_pre_map, 0, 1) != 1) return 2;
  if (QX_restore(APPLICATION) != 1) return 3;
  std::string goal =
      "retract((main :- _)), assertz(main), '$save_doit'('" + file + "', 0, [], [], [], 1, bench)";
  return qx_call_once(qx_w, TermReader(qx_w, goal).read(), qx_eg.prolog_module) == 1 ? 0 : 4;
}

/* Runs argv (argv[0] a path, or a name searched for with search) with the environment
 * variable set, standard output into *out when out is given; the milliseconds from fork to
 * the end of the wait, or -1 when it does not exit with 0. */
double run(std::vector<std::string> args, const char *variable, const std::string &value,
           std::string *out = nullptr, bool search = false)
{
  int p[2];
  if (pipe(p) != 0) return -1;
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  clock_type::time_point start = clock_type::now();
  pid_t pid = fork();
  if (pid == 0) {
    if (variable) setenv(variable, value.c_str(), 1);
    dup2(p[1], 1);
    close(p[0]);
    close(p[1]);
    search ? execvp(argv[0], argv.data()) : execv(argv[0], argv.data());
    _exit(127);
  }
  close(p[1]);
  std::string got;
  char buffer[256];
  for (ssize_t n; (n = read(p[0], buffer, sizeof buffer)) > 0;) got.append(buffer, (size_t)n);
  close(p[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  double ms = since(start);
  if (out) *out = got;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

struct figures {
  double median, p95;
};

figures summary(std::vector<double> v)
{
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  double median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  return {median, v[(n * 95 + 99) / 100 - 1]};
}

void print(const char *what, const std::vector<double> &v)
{
  figures f = summary(v);
  std::printf("%-44s median %8.3f ms   95th percentile %8.3f ms   (%zu runs)\n", what, f.median,
              f.p95, v.size());
}

/* Runs the program runs times; false (with a message) when a run fails. */
bool measure(const char *what, const std::vector<std::string> &argv, const char *variable,
             const std::string &value, int runs, bool search = false)
{
  std::vector<double> times;
  for (int i = 0; i < runs; i++) {
    double ms = run(argv, variable, value, nullptr, search);
    if (ms < 0) {
      std::printf("%-44s did not run\n", what);
      return false;
    }
    times.push_back(ms);
  }
  print(what, times);
  return true;
}

}  // namespace

int main(int argc, char **argv)
{
  if (argc >= 2 && std::strcmp(argv[1], "--launch") == 0) {
    without_linked_application();
    argv[1] = argv[0];
    return qx_main_internal(argc - 1, argv + 1);
  }
  if (argc >= 2 && std::strcmp(argv[1], "--restore") == 0) {
    without_linked_application();
    if (qx_glue_initialize(0, nullptr, nullptr, qx_pre_linkage, qx_pre_map, 0, 0) != 1) return 2;
    clock_type::time_point start = clock_type::now();
    if (qx_qload_or_restore("qxrt.sav", 0) != 1) return 3;
    double runtime = since(start);
    start = clock_type::now();
    if (QX_restore(APPLICATION) != 1) return 4;
    std::printf("%.6f %.6f\n", runtime, since(start));
    std::fflush(stdout);
    QX_deinitialize();
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--write") == 0 && argc == 3) return write_state(argv[2]);
  int runs = argc >= 2 ? std::atoi(argv[1]) : 100;
  if (runs < 1) runs = 1;

  char dir_template[] = "/tmp/bench_startup_XXXXXX";
  if (!mkdtemp(dir_template)) return 1;
  std::string dir = dir_template, saved = dir + "/main_true.sav", app = dir + "/app.res";
  std::string self = argv[0];
  if (run({self, "--write", saved}, nullptr, "") < 0) {
    std::fprintf(stderr, "bench_startup: cannot write the application state\n");
    return 1;
  }
  std::ifstream in(saved, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  std::ofstream(app, std::ios::binary) << with_trailer(bytes.str(), "/tavro/tavro.sav");

  std::printf("start-up, exec to exit, %d runs each\n", runs);
  bool ok =
      measure("launcher, main/0 true", {self, "--launch"}, "QX_EMBEDDED_RESOURCES_PATH", app, runs);
  std::vector<double> runtime, application;
  for (int i = 0; ok && i < runs; i++) {
    std::string out;
    double a = 0, b = 0;
    ok = run({self, "--restore"}, "QX_EMBEDDED_RESOURCES_PATH", app, &out) >= 0 &&
         std::sscanf(out.c_str(), "%lf %lf", &a, &b) == 2;
    runtime.push_back(a);
    application.push_back(b);
  }
  if (ok) {
    print("  restoring the runtime state (in process)", runtime);
    print("  restoring the application state", application);
  }
  ok = measure("I/O library start and stop only", {BENCH_IO_START}, nullptr, "", runs) && ok;
  measure("swipl -g halt (peer, if installed)", {"swipl", "-g", "halt"}, nullptr, "", runs, true);
  std::remove(saved.c_str());
  std::remove(app.c_str());
  rmdir(dir.c_str());
  return ok ? 0 : 1;
}
