/* Helpers shared by the memory manager, data area and number stack tests. */
#ifndef QX_MEMTEST_SUPPORT_H
#define QX_MEMTEST_SUPPORT_H

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "memman.h"
#include "stress_mode.h"

/* The process's data size (VmData), in bytes. */
inline size_t vmdata_bytes()
{
  FILE *f = std::fopen("/proc/self/status", "r");
  char line[256];
  size_t kb = 0;
  while (f && std::fgets(line, sizeof line, f))
    if (std::sscanf(line, "VmData: %zu kB", &kb) == 1) break;
  if (f) std::fclose(f);
  return kb * 1024;
}

/* RLIMIT_DATA at the current data size plus headroom: 32-bit ASan starts with a large VmData,
 * so a limit is only meaningful relative to it. Call it in a forked child. */
inline void limit_data_segment(size_t headroom)
{
  rlimit limit;
  limit.rlim_cur = limit.rlim_max = (rlim_t)(vmdata_bytes() + headroom);
  setrlimit(RLIMIT_DATA, &limit);
}

/* Sets an environment variable for the life of the guard (the manager reads it at start). */
class EnvGuard {
public:
  EnvGuard(const char *name, const char *value) : name_(name) { setenv(name, value, 1); }
  ~EnvGuard() { unsetenv(name_); }
  EnvGuard(const EnvGuard &) = delete;
  EnvGuard &operator=(const EnvGuard &) = delete;

private:
  const char *name_;
};

/* Throws and catches one fault, so that the exception path's first-use allocations (the
 * unwinder's tables, the exception's buffer) are made before a limit leaves no room for them. */
inline void ready_the_exception_path()
{
  try {
    throw qx_fault{};
  } catch (const qx_fault &) {
  }
}

/* Runs fn inside an API recovery scope; answers the fault it raised (kind 0 when none). */
template <class Fn>
qx_fault catch_fault(Fn fn)
{
  qx_fault caught{};
  qx_recovery_scope scope(QX_RECOVERY_API);
  try {
    fn();
  } catch (const qx_fault &f) {
    caught = f;
  }
  return caught;
}

/* Runs fn in a forked child and answers its exit status (-1 when it did not exit). The child
 * leaves with _exit, so nothing it changed (limits, engine state) reaches the test process. */
template <class Fn>
int run_in_child(Fn fn)
{
  pid_t pid = fork();
  if (pid == 0) _exit(fn());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

/* Runs test `name` of this binary alone in a fresh process and answers its exit status (-1 when
 * it did not exit). The test's body sees QX_FRESH_CHILD set and exits with its result. Near a
 * data-size limit the sanitizer's own maps must not depend on what earlier tests left in the
 * process, so the child starts afresh and records no allocation stacks. */
inline int run_test_in_fresh_process(const char *name)
{
  pid_t pid = fork();
  if (pid == 0) {
    unsetenv("GTEST_TOTAL_SHARDS");
    unsetenv("GTEST_SHARD_INDEX");
    unsetenv("GTEST_OUTPUT");
    setenv("QX_FRESH_CHILD", "1", 1);
    const char *asan = std::getenv("ASAN_OPTIONS");
    std::string options = std::string(asan ? asan : "") + ":malloc_context_size=0";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
    std::string filter = std::string("--gtest_filter=") + name;
    execl("/proc/self/exe", "test", filter.c_str(), (char *)nullptr);
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

/* In the fresh process of run_test_in_fresh_process: true. */
inline bool in_fresh_child() { return std::getenv("QX_FRESH_CHILD") != nullptr; }

#endif
