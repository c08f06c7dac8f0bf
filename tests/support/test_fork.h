/* A forked child for tests that change process-wide state (signal actions, the environment) or
 * must survive a fatal path: the child runs a function that answers a report text, and the test
 * reads the report, what the child wrote on its standard error and how it ended. */
#ifndef QX_TEST_FORK_H
#define QX_TEST_FORK_H

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "scratch_root.h"

struct forked_child {
  int status = -1;    /* as waitpid gives it */
  std::string report; /* what the function answered */
  std::string err;    /* the child's standard error */
  bool exited(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
};

inline std::string read_to_end(int fd)
{
  std::string text;
  char chunk[4096];
  ssize_t n;
  while ((n = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, (size_t)n);
  return text;
}

/* Runs fn (answering a std::string) in a child that then leaves with _exit(0); a child that
 * leaves another way (a fatal signal, _exit elsewhere) reports nothing. */
template <class Fn>
forked_child run_forked(Fn fn)
{
  forked_child result;
  int report_pipe[2], err_pipe[2];
  if (pipe(report_pipe) != 0) return result;
  if (pipe(err_pipe) != 0) {
    close(report_pipe[0]);
    close(report_pipe[1]);
    return result;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  qx_scratch_root(); /* made here, so that what a child makes in it goes with this process */
  pid_t pid = fork();
  if (pid == 0) {
    close(report_pipe[0]);
    close(err_pipe[0]);
    dup2(err_pipe[1], 2);
    std::string report = fn();
    for (size_t done = 0; done < report.size();) {
      ssize_t n = write(report_pipe[1], report.data() + done, report.size() - done);
      if (n <= 0) break;
      done += (size_t)n;
    }
    _exit(0);
  }
  close(report_pipe[1]);
  close(err_pipe[1]);
  if (pid > 0) {
    result.report = read_to_end(report_pipe[0]);
    result.err = read_to_end(err_pipe[0]);
    waitpid(pid, &result.status, 0);
  }
  close(report_pipe[0]);
  close(err_pipe[0]);
  return result;
}

#endif
