/* An engine for the system built-ins: the stream fixture with goals run from text, a directory
 * of the test's own, and a child whose standard output is a pipe. */
#ifndef QX_SYSTEM_FIXTURE_H
#define QX_SYSTEM_FIXTURE_H

#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "filenames.h"
#include "start_data.h"
#include "stream_fixture.h"
#include "system.h"
#include "test_fork.h"
#include "scratch_root.h"

class SystemTest : public StreamTest {
public:
  explicit SystemTest(bool standard_streams = false) : StreamTest(standard_streams)
  {
    p.consult("member(X, [X|_]). member(X, [_|T]) :- member(X, T). ");
    char *cwd = getcwd(nullptr, 0);
    start = cwd ? cwd : "/";
    free(cwd);
    dir = qx_scratch_mkdtemp("qx_system");
  }
  ~SystemTest() override
  {
    qx_free_start_data(); /* what the tests set with $set_argv */
    if (chdir(start.c_str()) != 0) ADD_FAILURE() << "no way back to " << start;
    std::error_code ignored;
    if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
  }
  void TestBody() override {}

  int run(const std::string &text) { return p.run(text); }
  std::string v(const std::string &name) { return p.var(name); }
  /* Runs a goal binding R (and C) and answers them written, or what happened instead. */
  std::string result(const std::string &text, const char *vars = "R")
  {
    int rc = run(text);
    if (rc != 1) return rc ? "<exception>" : "<failed>";
    std::string out;
    for (const char *p = vars; *p; p++) {
      std::string value = "_"; /* a variable the goal does not name */
      try {
        value = v(std::string(1, *p));
      } catch (const std::out_of_range &) {}
      out += (out.empty() ? "" : " ") + value;
    }
    return out;
  }
  /* A path under the test's directory, made as a file (with text) or a directory. */
  std::string file(const std::string &name, const std::string &text = "x")
  {
    std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    return path;
  }
  std::string subdir(const std::string &name)
  {
    std::string path = dir + "/" + name;
    mkdir(path.c_str(), 0755);
    return path;
  }

  std::string dir, start;
};

/* What a child whose standard output is a pipe wrote there, and how it ended. */
struct piped_child {
  std::string out;
  int status = -1;
};
template <class Body>
piped_child run_with_stdout_pipe(Body body)
{
  piped_child result;
  int ends[2];
  if (pipe(ends) != 0) return result;
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    close(ends[0]);
    dup2(ends[1], 1);
    close(ends[1]);
    body();
    _exit(99);
  }
  close(ends[1]);
  result.out = read_to_end(ends[0]);
  close(ends[0]);
  waitpid(pid, &result.status, 0);
  return result;
}

#endif
