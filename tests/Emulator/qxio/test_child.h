// Child processes for tests that need a fresh process with an environment of their own: the
// test binary runs itself again with the arguments "--qxio-test-child MODE" and exactly the
// environment the test gives. In the child, a static initializer of the file that registered
// MODE runs the mode's function before any test and exits with its result, so the child's
// environment holds nothing the test did not put there.
#ifndef QXIO_TEST_CHILD_H
#define QXIO_TEST_CHILD_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace qxio_test {

struct child_result {
  int status = -1;  // as waitpid gives it
  std::string out;  // standard output
  std::string err;  // standard error
};

// The mode this process was started for, from its own command line ("" when none).
inline std::string own_child_mode(void)
{
  int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  std::string cmdline;
  char chunk[256];
  ssize_t n;
  while ((n = read(fd, chunk, sizeof chunk)) > 0) cmdline.append(chunk, static_cast<size_t>(n));
  close(fd);
  std::vector<std::string> args;
  for (size_t start = 0; start < cmdline.size();) {
    size_t end = cmdline.find('\0', start);
    if (end == std::string::npos) end = cmdline.size();
    args.push_back(cmdline.substr(start, end - start));
    start = end + 1;
  }
  if (args.size() == 3 && args[1] == "--qxio-test-child") return args[2];
  return "";
}

// Registers a child mode; in a child started for it, runs `fun` and exits with its result.
inline int child_mode(const char *name, int (*fun)(void))
{
  if (own_child_mode() != name) return 0;
  int rc = fun();
  fflush(stdout);
  fflush(stderr);
  exit(rc);
}

// Starts the child for `mode` with exactly `env`, collects its output and waits for it. With
// `kill_after`, the child is killed once its standard error contains that text. With
// `hold_output_until`, its standard output is not read before its standard error contains
// that text (or ends), so that what the child writes first stays in the pipe.
inline child_result run_child(const char *mode, const std::vector<std::string> &env,
                              const std::string &kill_after = "",
                              const std::string &hold_output_until = "")
{
  child_result result;
  char exe[4096];
  ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (length <= 0) return result;
  exe[length] = '\0';
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return result;
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return result;
  }
  std::vector<char *> envp;
  for (const std::string &entry : env) envp.push_back(const_cast<char *>(entry.c_str()));
  envp.push_back(nullptr);
  char child_flag[] = "--qxio-test-child";
  char *argv[] = {exe, child_flag, const_cast<char *>(mode), nullptr};
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    execve(exe, argv, envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string *sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  bool killed = false;
  while (pid > 0 && open_count > 0) {
    bool holding = !hold_output_until.empty() && fds[1].fd >= 0 &&
                   result.err.find(hold_output_until) == std::string::npos;
    if (poll(holding ? &fds[1] : fds, holding ? 1 : 2, -1) < 0) continue;
    for (int i = holding ? 1 : 0; i < 2; i++) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[4096];
      ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        sinks[i]->append(chunk, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        open_count--;
      }
    }
    if (!killed && !kill_after.empty() && result.err.find(kill_after) != std::string::npos) {
      kill(pid, SIGKILL);
      killed = true;
    }
  }
  for (const pollfd &p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  if (pid > 0) waitpid(pid, &result.status, 0);
  return result;
}

}  // namespace qxio_test

#endif
