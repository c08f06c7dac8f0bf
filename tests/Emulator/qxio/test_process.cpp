// Child processes: real children (the shell, and this test program in a child mode that
// reports what it sees), real pipes and real signals.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "process_test_util.h"
#include "qxio.h"
#include "qxio_process_internal.h"
#include "test_child.h"

extern char **environ;

using qxio_test::read_all;
using qxio_test::counts_back_to;
using qxio_test::resource_counts;
using qxio_test::temp_dir;
using qxio_test::write_all;

namespace {

// ---- child modes of this program ----

// Prints "descriptor:target" for every open descriptor but the listing's own.
int list_descriptors(void)
{
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) return 2;
  while (struct dirent *entry = readdir(dir)) {
    if (entry->d_name[0] == '.' || atoi(entry->d_name) == dirfd(dir)) continue;
    char target[PATH_MAX] = "";
    std::string link = std::string("/proc/self/fd/") + entry->d_name;
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n > 0) target[n] = '\0';
    printf("%s:%s\n", entry->d_name, target);
  }
  closedir(dir);
  return 0;
}

// Writes every environment entry followed by a NUL.
int print_environment(void)
{
  for (char **entry = environ; *entry != nullptr; entry++)
    fwrite(*entry, 1, strlen(*entry) + 1, stdout);
  return 0;
}

[[maybe_unused]] const int registered_modes =
    qxio_test::child_mode("list-descriptors", list_descriptors) +
    qxio_test::child_mode("print-environment", print_environment);

std::string own_program()
{
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  path[n] = '\0';
  return path;
}

// ---- argument lists ----

// One argument per text, each a single "string" part.
struct argument_list {
  std::vector<std::vector<qxio_t_property>> parts;
  std::vector<const qxio_t_property *> pointers;
  explicit argument_list(
      const std::vector<std::vector<std::pair<const char *, const char *>>> &args)
  {
    for (const auto &arg : args) {
      std::vector<qxio_t_property> list;
      for (const auto &part : arg) list.push_back(qxio_arg_string(part.first, part.second));
      list.push_back(qxio_arg_end());
      parts.push_back(list);
    }
    for (const auto &list : parts) pointers.push_back(list.data());
    pointers.push_back(nullptr);
  }
  const qxio_t_property *const *get() const { return pointers.data(); }
};

argument_list plain_args(const std::vector<const char *> &texts)
{
  std::vector<std::vector<std::pair<const char *, const char *>>> args;
  for (const char *text : texts) args.push_back({{"string", text}});
  return argument_list(args);
}

const uint32_t STDIO_NULL_OUT_PIPE =
    QXIO_PROCESS_STDIN_NULL | QXIO_PROCESS_STDOUT_PIPE | QXIO_PROCESS_STDERR_NULL;
const uint32_t STDIO_ALL_PIPES =
    QXIO_PROCESS_STDIN_PIPE | QXIO_PROCESS_STDOUT_PIPE | QXIO_PROCESS_STDERR_PIPE;

class Process : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_EQ(qxio_init(nullptr, nullptr, 0), 0); }
  void TearDown() override { EXPECT_EQ(qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN), 0); }

  // Starts a child with standard output piped and reads that to the end; the child stays
  // waitable (0 when it could not be started).
  qxio_t_process run_to_end(const char *program, const qxio_t_property *const *args,
                            uint32_t options, std::string *output = nullptr,
                            const char *directory = nullptr,
                            const char *const *environment = nullptr)
  {
    int out = -1;
    qxio_t_process child = 0;
    EXPECT_EQ(qxio_process_create(program, args, directory, environment, nullptr, &out, nullptr,
                                  &child, options),
              0);
    if (out < 0) return 0;
    std::string text = read_all(out);
    close(out);
    if (output != nullptr) *output = text;
    return child;
  }

  // The same, then reaps the child; gives its output and exit status.
  std::string run_child(const char *program, const qxio_t_property *const *args, uint32_t options,
                        qxio_t_process_exit_status *status, const char *directory = nullptr,
                        const char *const *environment = nullptr)
  {
    std::string output;
    qxio_t_process child = run_to_end(program, args, options, &output, directory, environment);
    if (child == 0) return "";
    EXPECT_EQ(qxio_process_wait(child, nullptr, status, QXIO_PROCESS_WAIT_REAP), 0);
    return output;
  }

  std::string run_shell(const char *command, qxio_t_process_exit_status *status,
                        const char *directory = nullptr)
  {
    return run_child(command, nullptr, QXIO_PROCESS_SHELL | STDIO_NULL_OUT_PIPE, status, directory);
  }

  // Runs this program in a child mode, which must succeed.
  std::string run_mode(const char *mode, uint32_t options, const char *const *environment = nullptr)
  {
    std::string program = own_program();
    argument_list args = plain_args({"--qxio-test-child", mode});
    qxio_t_process_exit_status status = {};
    std::string output =
        run_child(program.c_str(), args.get(), options, &status, nullptr, environment);
    EXPECT_EQ(status.flags, QXIO_PROCESS_EXITED);
    EXPECT_EQ(status.value, 0);
    return output;
  }

  // A shell child that waits for a line on its standard input (a pipe) before it ends.
  qxio_t_process start_waiting_child(int *stdin_fd, const char *command = "read line")
  {
    qxio_t_process child = 0;
    EXPECT_EQ(qxio_process_create(command, nullptr, nullptr, nullptr, stdin_fd, nullptr, nullptr,
                                  &child,
                                  QXIO_PROCESS_SHELL | QXIO_PROCESS_STDIN_PIPE |
                                      QXIO_PROCESS_STDOUT_NULL | QXIO_PROCESS_STDERR_NULL),
              0);
    return child;
  }
};

// ---- standard streams ----

TEST_F(Process, ShellEchoReadsBackThroughPipe)
{
  qxio_t_process_exit_status status = {99, 99};
  EXPECT_EQ(run_shell("echo hi", &status), "hi\n");
  EXPECT_EQ(status.flags, QXIO_PROCESS_EXITED);
  EXPECT_EQ(status.value, 0);
}

TEST_F(Process, AllThreePipesCarryInputOutputAndErrors)
{
  int in = -1, out = -1, err = -1;
  qxio_t_process child = 0;
  ASSERT_EQ(qxio_process_create("cat; echo oops >&2", nullptr, nullptr, nullptr, &in, &out, &err,
                                &child, QXIO_PROCESS_SHELL | STDIO_ALL_PIPES),
            0);
  EXPECT_NE(fcntl(in, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_NE(fcntl(out, F_GETFD) & FD_CLOEXEC, 0);
  ASSERT_TRUE(write_all(in, "some input\n"));
  close(in);
  EXPECT_EQ(read_all(out), "some input\n");
  EXPECT_EQ(read_all(err), "oops\n");
  close(out);
  close(err);
  qxio_t_process_exit_status status = {};
  EXPECT_EQ(qxio_process_wait(child, nullptr, &status, QXIO_PROCESS_WAIT_REAP), 0);
  EXPECT_EQ(status.flags, QXIO_PROCESS_EXITED);
}

TEST_F(Process, InheritedStreamsAreTheParentsOwn)
{
  int input[2], output[2];
  ASSERT_EQ(pipe(input), 0);
  ASSERT_EQ(pipe(output), 0);
  fflush(stdout);
  int saved_in = dup(0), saved_out = dup(1);
  dup2(input[0], 0);
  dup2(output[1], 1);
  qxio_t_process child = 0;
  qxio_t_error_code rc =
      qxio_process_create("cat", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &child,
                          QXIO_PROCESS_SHELL | QXIO_PROCESS_STDIN_INHERIT |
                              QXIO_PROCESS_STDOUT_INHERIT | QXIO_PROCESS_STDERR_NULL);
  dup2(saved_in, 0);
  dup2(saved_out, 1);
  close(saved_in);
  close(saved_out);
  close(input[0]);
  close(output[1]);
  ASSERT_EQ(rc, 0);
  ASSERT_TRUE(write_all(input[1], "through the parent's descriptors"));
  close(input[1]);
  EXPECT_EQ(read_all(output[0]), "through the parent's descriptors");
  close(output[0]);
  EXPECT_EQ(qxio_process_wait(child, nullptr, nullptr, QXIO_PROCESS_WAIT_REAP), 0);
}

TEST_F(Process, NullStreamsAreTheNullDevice)
{
  std::string listing = run_mode("list-descriptors", STDIO_NULL_OUT_PIPE);
  EXPECT_NE(listing.find("0:/dev/null\n"), std::string::npos) << listing;
  EXPECT_NE(listing.find("2:/dev/null\n"), std::string::npos) << listing;
  EXPECT_NE(listing.find("1:pipe:"), std::string::npos) << listing;
}

// The parent holds inheritable descriptors (no close-on-exec); the child must see only 0, 1
// and 2, whichever way it closes the rest.
class ProcessDescriptors : public Process,
                           public ::testing::WithParamInterface<qxio_t_child_close_method> {};

TEST_P(ProcessDescriptors, ChildKeepsOnlyItsStandardStreams)
{
  int leaked[2];
  ASSERT_EQ(pipe(leaked), 0);
  int high = fcntl(leaked[0], F_DUPFD, 200);
  ASSERT_GE(high, 200);
  int null_fd = open("/dev/null", O_RDONLY);
  ASSERT_GE(null_fd, 0);
  qxio_t_child_close_method saved = qxio_child_close_method;
  qxio_child_close_method = GetParam();
  std::string listing = run_mode("list-descriptors", STDIO_NULL_OUT_PIPE);
  qxio_child_close_method = saved;
  std::vector<int> open_fds;
  for (size_t at = 0; at < listing.size();) {
    size_t end = listing.find('\n', at);
    open_fds.push_back(atoi(listing.substr(at, end - at).c_str()));
    at = end == std::string::npos ? listing.size() : end + 1;
  }
  std::sort(open_fds.begin(), open_fds.end());
  EXPECT_EQ(open_fds, (std::vector<int>{0, 1, 2})) << listing;
  close(leaked[0]);
  close(leaked[1]);
  close(high);
  close(null_fd);
}

INSTANTIATE_TEST_SUITE_P(CloseMethods, ProcessDescriptors,
                         ::testing::Values(QXIO_CHILD_CLOSE_RANGE, QXIO_CHILD_CLOSE_LISTING));

// ---- arguments, program and directory ----

TEST_F(Process, ArgumentPartsAreJoined)
{
  std::vector<std::vector<std::pair<const char *, const char *>>> args = {
      {{"string", "-c"}},   {{"string", "printf '%s|' \"$@\""}},
      {{"string", "zero"}}, {{"string", "dir"}, {"file", "/name"}, {"string", ".txt"}},
      {{"file", "plain"}},  {}};
  argument_list list(args);
  EXPECT_EQ(run_child("/bin/sh", list.get(), STDIO_NULL_OUT_PIPE, nullptr), "dir/name.txt|plain||");
}

TEST_F(Process, ShellCommandTakesArgumentsAfterIt)
{
  argument_list list = plain_args({"first", "second"});
  EXPECT_EQ(
      run_child("echo \"$0+$1\"", list.get(), QXIO_PROCESS_SHELL | STDIO_NULL_OUT_PIPE, nullptr),
      "first+second\n");
}

TEST_F(Process, ShellComesFromTheShellProperty)
{
  ASSERT_EQ(qxio_set_system_property("SHELL", "/nonexistent/shell", 0), 0);
  qxio_t_process_exit_status status = {};
  EXPECT_EQ(run_shell("echo never", &status), "");
  EXPECT_EQ(status.flags, QXIO_PROCESS_EXITED);
  EXPECT_EQ(status.value, 1);
}

TEST_F(Process, ChildRunsInTheGivenDirectory)
{
  temp_dir dir;
  char resolved[PATH_MAX];
  ASSERT_NE(realpath(dir.path.c_str(), resolved), nullptr);
  qxio_t_process_exit_status status = {};
  EXPECT_EQ(run_shell("pwd -P", &status, dir.path.c_str()), std::string(resolved) + "\n");
  EXPECT_EQ(status.value, 0);
}

// ---- environment ----

std::map<std::string, std::string> environment_of(const std::string &block)
{
  std::map<std::string, std::string> result;
  for (size_t at = 0; at < block.size();) {
    size_t end = block.find('\0', at);
    std::string entry = block.substr(at, end - at);
    size_t equals = entry.find('=');
    result[entry.substr(0, equals)] = equals == std::string::npos ? "" : entry.substr(equals + 1);
    at = end + 1;
  }
  return result;
}

std::vector<std::string> keys_in_order(const std::string &block)
{
  std::vector<std::string> keys;
  for (size_t at = 0; at < block.size();) {
    size_t end = block.find('\0', at);
    keys.push_back(block.substr(at, block.find('=', at) - at));
    at = end + 1;
  }
  return keys;
}

TEST_F(Process, EnvironmentListReplacesCopyEntriesInKeyOrder)
{
  std::map<std::string, std::string> expected = environment_of([] {
    std::string block;
    for (char **entry = environ; *entry != nullptr; entry++)
      block.append(*entry, strlen(*entry) + 1);
    return block;
  }());
  expected["QXIO_TEST_ADDED"] = "added value";
  expected["PATH"] = "/replaced";
  const char list_texts[] = "QXIO_TEST_ADDED\0added value\0PATH\0/replaced";
  const char *entries[] = {list_texts, list_texts + 28, nullptr};
  std::string output =
      run_mode("print-environment", STDIO_NULL_OUT_PIPE | QXIO_PROCESS_ENVIRONMENT, entries);
  EXPECT_EQ(environment_of(output), expected);
  std::vector<std::string> keys = keys_in_order(output);
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end())) << output;
}

TEST_F(Process, EmptyBaseGivesExactlyTheListInKeyEqualsValueForm)
{
  const char *entries[] = {"ZED=last", "ALPHA=first=with equals", nullptr};
  std::string output = run_mode("print-environment",
                                STDIO_NULL_OUT_PIPE | QXIO_PROCESS_ENVIRONMENT |
                                    QXIO_PROCESS_EMPTY_BASE | QXIO_PROCESS_ENV_KEY_EQUALS_VALUE,
                                entries);
  EXPECT_EQ(output, std::string("ALPHA=first=with equals\0ZED=last\0", 33));
}

TEST_F(Process, SetPropertiesDoNotReachTheChild)
{
  ASSERT_EQ(qxio_set_system_property("QXIO_TEST_PROPERTY_ONLY", "x", 0), 0);
  std::string output =
      run_mode("print-environment", STDIO_NULL_OUT_PIPE | QXIO_PROCESS_ENVIRONMENT);
  EXPECT_EQ(environment_of(output).count("QXIO_TEST_PROPERTY_ONLY"), 0u);
  EXPECT_GT(environment_of(output).size(), 0u);
}

TEST_F(Process, WithoutEnvironmentOptionTheProcessEnvironmentIsInherited)
{
  // set after the library took its copy: only the process environment has it
  ASSERT_EQ(setenv("QXIO_TEST_LATE", "late", 1), 0);
  std::string inherited = run_mode("print-environment", STDIO_NULL_OUT_PIPE);
  std::string built = run_mode("print-environment", STDIO_NULL_OUT_PIPE | QXIO_PROCESS_ENVIRONMENT);
  unsetenv("QXIO_TEST_LATE");
  EXPECT_EQ(environment_of(inherited)["QXIO_TEST_LATE"], "late");
  EXPECT_EQ(environment_of(built).count("QXIO_TEST_LATE"), 0u);
}

// ---- waiting and status ----

TEST_F(Process, WaitingWithoutReapGivesTheSameStatusAgain)
{
  qxio_t_process child = run_to_end("exit 7", nullptr, QXIO_PROCESS_SHELL | STDIO_NULL_OUT_PIPE);
  ASSERT_GT(child, 0);
  qxio_t_process_exit_status first = {}, second = {}, reaped = {};
  EXPECT_EQ(qxio_process_wait(child, nullptr, &first, 0), 0);
  EXPECT_EQ(qxio_process_wait(child, nullptr, &second, 0), 0);
  EXPECT_EQ(qxio_process_wait(child, nullptr, &reaped, QXIO_PROCESS_WAIT_REAP), 0);
  for (const qxio_t_process_exit_status &status : {first, second, reaped}) {
    EXPECT_EQ(status.flags, QXIO_PROCESS_EXITED);
    EXPECT_EQ(status.value, 7);
  }
  EXPECT_EQ(qxio_process_wait(child, nullptr, nullptr, QXIO_PROCESS_WAIT_REAP), QXIO_E_NOT_FOUND);
}

TEST_F(Process, NonBlockingWaitOnRunningChildWouldBlock)
{
  int in = -1;
  qxio_t_process child = start_waiting_child(&in);
  qxio_t_timespec zero = {0, 0}, one_second = {1, 0};
  EXPECT_EQ(qxio_process_wait(child, nullptr, nullptr, QXIO_PROCESS_WAIT_NONBLOCKING),
            QXIO_E_WOULD_BLOCK);
  EXPECT_EQ(qxio_process_wait(child, &zero, nullptr, 0), QXIO_E_WOULD_BLOCK);
  EXPECT_EQ(qxio_process_wait(child, &one_second, nullptr, 0), QXIO_E_NOT_SUPPORTED);
  write_all(in, "go\n");
  close(in);
  qxio_t_process_exit_status status = {};
  EXPECT_EQ(qxio_process_wait(child, nullptr, &status, QXIO_PROCESS_WAIT_REAP), 0);
  EXPECT_EQ(status.flags, QXIO_PROCESS_EXITED);
  EXPECT_EQ(status.value, 0);
}

TEST_F(Process, KilledChildReportsTheSignal)
{
  int in = -1;
  qxio_t_process child = start_waiting_child(&in);
  EXPECT_EQ(qxio_process_kill(child, SIGKILL, 0), 0);
  qxio_t_process_exit_status status = {};
  EXPECT_EQ(qxio_process_wait(child, nullptr, &status, QXIO_PROCESS_WAIT_REAP), 0);
  EXPECT_EQ(status.flags, QXIO_PROCESS_KILLED);
  EXPECT_EQ(status.value, SIGKILL);
  close(in);
}

// The core bit must say whether a core image was written: the system writes it as "core"
// (or "core.PID") into the child's directory when it does.
TEST_F(Process, CoreDumpFlagMatchesTheCoreFile)
{
  temp_dir dir;
  qxio_t_process_exit_status status = {};
  // dash, which (unlike bash) does not ignore SIGQUIT
  ASSERT_EQ(qxio_set_system_property("SHELL", "/bin/sh", 0), 0);
  run_shell("ulimit -c unlimited 2>/dev/null; kill -s QUIT $$", &status, dir.path.c_str());
  EXPECT_EQ(status.flags & ~QXIO_PROCESS_CORE_DUMPED, QXIO_PROCESS_KILLED);
  EXPECT_EQ(status.value, SIGQUIT);
  bool core_written = false;
  DIR *listing = opendir(dir.path.c_str());
  ASSERT_NE(listing, nullptr);
  while (struct dirent *entry = readdir(listing)) {
    if (strncmp(entry->d_name, "core", 4) == 0) core_written = true;
  }
  closedir(listing);
  EXPECT_EQ((status.flags & QXIO_PROCESS_CORE_DUMPED) != 0, core_written);
}

TEST_F(Process, StoppedAndContinuedChildrenAreReported)
{
  int in = -1;
  qxio_t_process child = start_waiting_child(&in);
  qxio_t_process_exit_status status = {};
  ASSERT_EQ(qxio_process_kill(child, SIGSTOP, 0), 0);
  EXPECT_EQ(qxio_process_wait(child, nullptr, &status, 0), 0);
  EXPECT_EQ(status.flags, QXIO_PROCESS_STOPPED);
  EXPECT_EQ(status.value, SIGSTOP);
  ASSERT_EQ(qxio_process_kill(child, SIGCONT, 0), 0);
  // the stop was not consumed, so wait until the continuation replaced it
  do {
    ASSERT_EQ(qxio_process_wait(child, nullptr, &status, 0), 0);
  } while (status.flags == QXIO_PROCESS_STOPPED);
  EXPECT_EQ(status.flags, QXIO_PROCESS_CONTINUED);
  EXPECT_EQ(status.value, 0);
  // consume the continuation, then the child may end
  EXPECT_EQ(qxio_process_wait(child, nullptr, &status, QXIO_PROCESS_WAIT_REAP), 0);
  EXPECT_EQ(status.flags, QXIO_PROCESS_CONTINUED);
  close(in);
  EXPECT_EQ(qxio_process_wait(child, nullptr, &status, QXIO_PROCESS_WAIT_REAP), 0);
  EXPECT_EQ(status.flags, QXIO_PROCESS_EXITED);
}

// ---- release and the remembered children ----

// The child prints its identifier, then waits for a line; it was started without an out
// process, so the library remembers it.
pid_t start_released_child(int *in, int *out)
{
  EXPECT_EQ(qxio_process_create("echo $$; read line", nullptr, nullptr, nullptr, in, out, nullptr,
                                nullptr,
                                QXIO_PROCESS_SHELL | QXIO_PROCESS_STDIN_PIPE |
                                    QXIO_PROCESS_STDOUT_PIPE | QXIO_PROCESS_STDERR_NULL),
            0);
  char line[32] = "";
  ssize_t n = read(*out, line, sizeof line - 1);
  if (n > 0) line[n] = '\0';
  return atoi(line);
}

TEST_F(Process, ReleasedChildIsReapedByTheNextWait)
{
  int in = -1, out = -1;
  pid_t released = start_released_child(&in, &out);
  ASSERT_GT(released, 0);
  EXPECT_EQ(qxio_process_unreaped_count(), 1u);
  close(in);
  close(out);
  siginfo_t info = {};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(released), &info, WEXITED | WNOWAIT), 0);
  // any wait, here one for another child, reaps it
  qxio_t_process other = run_to_end("exit 0", nullptr, QXIO_PROCESS_SHELL | STDIO_NULL_OUT_PIPE);
  ASSERT_GT(other, 0);
  EXPECT_EQ(qxio_process_wait(other, nullptr, nullptr, QXIO_PROCESS_WAIT_REAP), 0);
  EXPECT_EQ(qxio_process_unreaped_count(), 0u);
  errno = 0;
  EXPECT_EQ(waitid(P_PID, static_cast<id_t>(released), &info, WEXITED | WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(Process, ReleaseOfRunningChildWouldBlockUnlessRemembered)
{
  int in = -1;
  qxio_t_process child = start_waiting_child(&in);
  EXPECT_EQ(qxio_process_release(child, 0), QXIO_E_WOULD_BLOCK);
  EXPECT_EQ(qxio_process_release(child, QXIO_PROCESS_RELEASE_NOTHING), 0);
  EXPECT_EQ(qxio_process_unreaped_count(), 0u);
  EXPECT_EQ(qxio_process_release(child, QXIO_PROCESS_RELEASE_REMEMBER), 0);
  EXPECT_EQ(qxio_process_unreaped_count(), 1u);
  close(in);
  siginfo_t info = {};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
  // a wait that keeps the others leaves it remembered
  EXPECT_EQ(qxio_process_wait(child, nullptr, nullptr, QXIO_PROCESS_WAIT_KEEP_OTHERS), 0);
  EXPECT_EQ(qxio_process_unreaped_count(), 1u);
  EXPECT_EQ(qxio_process_wait(child, nullptr, nullptr, 0), QXIO_E_NOT_FOUND);
  EXPECT_EQ(qxio_process_unreaped_count(), 0u);
}

TEST_F(Process, ShutdownForgetsChildrenStillRunning)
{
  int in = -1, out = -1;
  pid_t released = start_released_child(&in, &out);
  ASSERT_GT(released, 0);
  EXPECT_EQ(qxio_init_process(QXIO_INIT_SHUTDOWN), 0);
  EXPECT_EQ(qxio_process_unreaped_count(), 0u);
  // still running and still ours: the test ends it
  siginfo_t info = {};
  EXPECT_EQ(waitid(P_PID, static_cast<id_t>(released), &info, WEXITED | WNOHANG), 0);
  EXPECT_EQ(info.si_pid, 0);
  close(in);
  close(out);
  EXPECT_EQ(waitpid(released, nullptr, 0), released);
  EXPECT_EQ(qxio_init_process(0), 0);
}

// ---- identities and kill ----

TEST_F(Process, IdentityConversionsRejectIdsBelowOne)
{
  qxio_t_process process = 0;
  int64_t id = 0;
  EXPECT_EQ(qxio_process_from_id(0, &process), QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(qxio_process_from_id(-3, &process), QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(qxio_process_from_id(1234, &process), 0);
  EXPECT_EQ(qxio_process_id(process, &id), 0);
  EXPECT_EQ(id, 1234);
  EXPECT_EQ(qxio_process_self_id(&id), 0);
  EXPECT_EQ(id, getpid());
  EXPECT_EQ(qxio_process_wait(0, nullptr, nullptr, 0), QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(qxio_process_kill(-1, SIGTERM, 0), QXIO_E_PARAMETER_ERROR);
}

TEST_F(Process, KillReportsMissingProcessesAndBadSignals)
{
  EXPECT_EQ(qxio_process_kill(INT32_MAX, 0, 0), QXIO_E_NOT_FOUND);
  int in = -1;
  qxio_t_process child = start_waiting_child(&in);
  EXPECT_EQ(qxio_process_kill(child, 9999, 0), QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(qxio_process_kill(child, 0, 0), 0);
  close(in);
  EXPECT_EQ(qxio_process_wait(child, nullptr, nullptr, QXIO_PROCESS_WAIT_REAP), 0);
}

// ---- bad input: documented errors, nothing leaked, no child left ----

bool has_no_children()
{
  siginfo_t info = {};
  return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
}

TEST_F(Process, BadArgumentKeyIsAParameterError)
{
  resource_counts before;
  std::vector<std::vector<std::pair<const char *, const char *>>> args = {{{"string", "a"}},
                                                                          {{"bogus", "b"}}};
  argument_list list(args);
  int out = -1;
  qxio_t_process child = 0;
  EXPECT_EQ(qxio_process_create("/bin/echo", list.get(), nullptr, nullptr, nullptr, &out, nullptr,
                                &child, STDIO_NULL_OUT_PIPE),
            QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(out, -1);
  EXPECT_TRUE(has_no_children());
  EXPECT_TRUE(counts_back_to(before));
}

TEST_F(Process, StreamOptionsMustNameOneKindEach)
{
  resource_counts before;
  qxio_t_process child = 0;
  EXPECT_EQ(qxio_process_create("/bin/true", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                &child, QXIO_PROCESS_STDIN_NULL | QXIO_PROCESS_STDOUT_NULL),
            QXIO_E_INTERNAL_ERROR);
  EXPECT_EQ(qxio_process_create("/bin/true", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                &child,
                                QXIO_PROCESS_STDIN_NULL | QXIO_PROCESS_STDIN_PIPE |
                                    QXIO_PROCESS_STDOUT_NULL | QXIO_PROCESS_STDERR_NULL),
            QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(qxio_process_create(
                "/bin/true", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &child,
                QXIO_PROCESS_STDIN_NULL | QXIO_PROCESS_STDOUT_NULL | QXIO_PROCESS_STDERR_NULL |
                    QXIO_PROCESS_ENVIRONMENT | QXIO_PROCESS_EMPTY_BASE),
            QXIO_E_PARAMETER_ERROR);
  const char *malformed[] = {"NO_EQUALS_SIGN", nullptr};
  EXPECT_EQ(qxio_process_create(
                "/bin/true", nullptr, nullptr, malformed, nullptr, nullptr, nullptr, &child,
                QXIO_PROCESS_STDIN_NULL | QXIO_PROCESS_STDOUT_NULL | QXIO_PROCESS_STDERR_NULL |
                    QXIO_PROCESS_ENVIRONMENT | QXIO_PROCESS_ENV_KEY_EQUALS_VALUE),
            QXIO_E_PARAMETER_ERROR);
  EXPECT_TRUE(has_no_children());
  EXPECT_TRUE(counts_back_to(before));
}

TEST_F(Process, NonexistentProgramExitsWithOne)
{
  resource_counts before;
  qxio_t_process_exit_status status = {};
  EXPECT_EQ(run_child("/nonexistent/program", nullptr, STDIO_NULL_OUT_PIPE, &status), "");
  EXPECT_EQ(status.flags, QXIO_PROCESS_EXITED);
  EXPECT_EQ(status.value, 1);
  EXPECT_TRUE(counts_back_to(before));
}

TEST_F(Process, MissingOrUnreadableDirectoryExitsWithOne)
{
  resource_counts before;
  temp_dir dir;
  std::string locked = dir.file("locked");
  ASSERT_EQ(mkdir(locked.c_str(), 0), 0);
  qxio_t_process_exit_status status = {};
  EXPECT_EQ(run_shell("echo never", &status, "/nonexistent/directory"), "");
  EXPECT_EQ(status.flags, QXIO_PROCESS_EXITED);
  EXPECT_EQ(status.value, 1);
  // a directory without search permission stops the child, unless it runs as the superuser
  if (geteuid() != 0) {
    EXPECT_EQ(run_shell("echo never", &status, locked.c_str()), "");
    EXPECT_EQ(status.value, 1);
  }
  rmdir(locked.c_str());
  EXPECT_TRUE(counts_back_to(before));
}

}  // namespace
