// A process started with some of its standard streams closed: the library's own descriptors
// (event and interrupt pipes, the listener's, a child's pipes, the trace file) must not take
// the numbers 0 to 2, or the standard streams would wrap them. Each case runs in a fresh
// child process that closes the descriptors itself; the child reports failed checks on a
// copy of its standard error kept at a higher number.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "process_test_util.h"
#include "qxio.h"
#include "test_child.h"

namespace {

using qxio_test::read_all;
using qxio_test::write_all;

// Open descriptors as /proc lists them, the listing's own left out.
std::set<int> open_descriptors()
{
  std::set<int> fds;
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) return fds;
  while (struct dirent *entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    int fd = atoi(entry->d_name);
    if (fd != dirfd(dir)) fds.insert(fd);
  }
  closedir(dir);
  return fds;
}

std::string low_descriptors()
{
  std::string low;
  for (int fd : open_descriptors()) {
    if (fd < 3) low += std::to_string(fd) + " ";
  }
  return low;
}

// The child's report: failed checks, one a line, written to a copy of standard error.
int report_fd = -1;
std::string failures;

bool check(bool ok, const char *what)
{
  if (!ok) failures += std::string(what) + "\n";
  return ok;
}

void check_no_low_descriptor(const char *when)
{
  std::string low = low_descriptors();
  if (!low.empty()) failures += std::string("open below 3 ") + when + ": " + low + "\n";
}

// Keeps a copy of standard error above 2 for the report, then closes the descriptors given.
void close_standard(std::initializer_list<int> fds)
{
  report_fd = fcntl(2, F_DUPFD_CLOEXEC, 3);
  for (int fd : fds) close(fd);
}

int finish()
{
  if (!failures.empty()) write_all(report_fd, failures);
  close(report_fd);
  return failures.empty() ? 0 : 1;
}

qxio_t_error_code ignore_signal(void *, uint32_t) { return QXIO_S_NOERR; }

// A shell child with its input and output on pipes: what it reads comes back on its output.
void check_child_round_trip()
{
  int in = -1, out = -1;
  qxio_t_process child = 0;
  if (!check(qxio_process_create("read line; echo \"got $line\"", nullptr, nullptr, nullptr, &in,
                                 &out, nullptr, &child,
                                 QXIO_PROCESS_SHELL | QXIO_PROCESS_STDIN_PIPE |
                                     QXIO_PROCESS_STDOUT_PIPE | QXIO_PROCESS_STDERR_NULL) == 0,
             "child started"))
    return;
  check_no_low_descriptor("while a child runs");
  check(write_all(in, "x\n"), "written to the child");
  close(in);
  check(read_all(out) == "got x\n", "the child's answer");
  close(out);
  qxio_t_process_exit_status status = {};
  check(qxio_process_wait(child, nullptr, &status, QXIO_PROCESS_WAIT_REAP) == 0, "child reaped");
  check(status.flags == QXIO_PROCESS_EXITED && status.value == 0, "child exited with 0");
}

// No standard stream over a closed descriptor: asking gives none, and the null stream put in
// its place takes output and sends it nowhere.
void check_standard_stream_absent(uint32_t which, const char *what)
{
  QXIO stream = nullptr;
  if (!check(qxio_get_standard_stream(&stream, which) == QXIO_E_NOT_FOUND, what))
    qxio_close(&stream, 0);
  if (which != QXIO_STD_OUTPUT) return;
  check(qxio_get_standard_stream(&stream, which | QXIO_STD_NULL_IF_NONE) == 0, "null output");
  check(qxio_write_dbg(&stream, "lost\n") == 0, "write to the null output");
  check(qxio_close(&stream, 0) == 0, "close the null output");
}

int all_closed_at_start()
{
  close_standard({0, 1, 2});
  std::set<int> before = open_descriptors();
  if (!check(qxio_init(nullptr, nullptr, 0) == 0, "start")) return finish();
  check_no_low_descriptor("after start");
  qxio_t_event *event = nullptr;
  check(qxio_event_new(0, &event) == 0, "event made");
  check(qxio_add_event_listener(event, ignore_signal, nullptr, 0) == 0, "listener started");
  check_no_low_descriptor("with an event and a listener");
  check_child_round_trip();
  check_standard_stream_absent(QXIO_STD_INPUT, "no standard input");
  check_standard_stream_absent(QXIO_STD_OUTPUT, "no standard output");
  check_standard_stream_absent(QXIO_STD_ERROR, "no standard error");
  check(qxio_event_query(event) == 0, "the event stays clear after the output");
  {
    /* the interrupt pipe, moved too, still wakes a main-thread wait */
    qxio_test::interrupter interrupts;
    check(qxio_event_wait(&event, 1, nullptr) == QXIO_E_INTERRUPTED, "wait interrupted");
  }
  check(qxio_remove_event_listener(event, nullptr, nullptr, 0) == 0, "listener stopped");
  qxio_event_free(event);
  check_no_low_descriptor("before shutdown");
  check(qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN) == 0, "shutdown");
  check(open_descriptors() == before, "shutdown leaves the descriptors as they were");
  return finish();
}

int output_closed_at_start()
{
  close_standard({1});
  if (!check(qxio_init(nullptr, nullptr, 0) == 0, "start")) return finish();
  check(fcntl(1, F_GETFD) < 0, "descriptor 1 stays closed");
  check_standard_stream_absent(QXIO_STD_OUTPUT, "no standard output");
  QXIO error = nullptr;
  if (check(qxio_get_standard_stream(&error, QXIO_STD_ERROR) == 0, "standard error")) {
    check(qxio_write_dbg(&error, "through the error stream\n") == 0, "write to standard error");
    check(qxio_close(&error, 0) == 0, "close standard error");
  }
  check(qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN) == 0, "shutdown");
  return finish();
}

int trace_with_all_closed()
{
  close_standard({0, 1, 2});
  qxio_init_debug(0);
  qxio_trace_line("fun", "file.c", 12, "traced", 42, "text", 3);
  check_no_low_descriptor("after the first trace line");
  return finish();
}

// With no number from 3 up left under the descriptor limit, a pipe that lands on 0 and 1
// cannot be moved: making the event fails and leaves nothing open below 3.
int no_room_above_standard()
{
  close_standard({0, 1, 2});
  if (!check(qxio_init(nullptr, nullptr, 0) == 0, "start")) return finish();
  std::set<int> open = open_descriptors();
  int first_free = 3;
  while (open.count(first_free) != 0) first_free++;
  struct rlimit saved;
  getrlimit(RLIMIT_NOFILE, &saved);
  struct rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(first_free);
  qxio_t_event *event = nullptr;
  if (check(setrlimit(RLIMIT_NOFILE, &tight) == 0, "limit lowered")) {
    check(qxio_event_new(0, &event) < 0, "event fails without room");
    check(event == nullptr, "no event handed out");
    check_no_low_descriptor("after the failed event");
    setrlimit(RLIMIT_NOFILE, &saved);
  }
  if (check(qxio_event_new(0, &event) == 0, "event made with room again")) qxio_event_free(event);
  check(qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN) == 0, "shutdown");
  return finish();
}

const int modes = qxio_test::child_mode("all-closed-at-start", all_closed_at_start) +
                  qxio_test::child_mode("output-closed-at-start", output_closed_at_start) +
                  qxio_test::child_mode("trace-with-all-closed", trace_with_all_closed) +
                  qxio_test::child_mode("no-room-above-standard", no_room_above_standard);

bool exited_with_zero(const qxio_test::child_result &child)
{
  return WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0;
}

}  // namespace

TEST(LowDescriptors, LibraryKeepsClearOfClosedStandardStreams)
{
  qxio_test::child_result child = qxio_test::run_child("all-closed-at-start", {});
  EXPECT_EQ(child.err, "");
  EXPECT_TRUE(exited_with_zero(child)) << "status " << child.status;
}

TEST(LowDescriptors, ClosedOutputLeavesTheOtherStreamsInPlace)
{
  qxio_test::child_result child = qxio_test::run_child("output-closed-at-start", {});
  EXPECT_EQ(child.err, "through the error stream\n");
  EXPECT_TRUE(exited_with_zero(child)) << "status " << child.status;
}

TEST(LowDescriptors, DescriptorThatCannotMoveIsClosedAndReported)
{
  qxio_test::child_result child = qxio_test::run_child("no-room-above-standard", {});
  EXPECT_EQ(child.err, "");
  EXPECT_TRUE(exited_with_zero(child)) << "status " << child.status;
}

TEST(LowDescriptors, TraceFileKeepsClearOfClosedStandardStreams)
{
  qxio_test::temp_dir dir;
  std::string path = dir.file("trace");
  qxio_test::child_result child = qxio_test::run_child(
      "trace-with-all-closed", {"QXIO_TRACE_LEVEL=3", "QXIO_TRACE_FILE=" + path});
  EXPECT_EQ(child.err, "");
  EXPECT_TRUE(exited_with_zero(child)) << "status " << child.status;
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  EXPECT_NE(text.str().find("traced"), std::string::npos) << text.str();
}
