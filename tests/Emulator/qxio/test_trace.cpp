// Trace lines, assertion reports and the debugger break, captured from real child processes
// whose environment chooses the levels and the trace stream.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qxio.h"
#include "test_child.h"
#include "scratch_root.h"

namespace {

void print_identity(void)
{
  printf("ID %ld@%ld\n", static_cast<long>(pthread_self()), static_cast<long>(getpid()));
  fflush(stdout);
}

// Trace lines of levels 1 to 9 in all three forms, then an assertion failure.
int trace_lines(void)
{
  qxio_init_debug(0);
  print_identity();
  qxio_trace_line("fun", "file.c", 12, "level-two", 1, "t", 2);
  qxio_trace_line("fun", "file.c", 12, "shown", 42, "text", 3);
  qxio_trace_line(nullptr, "nofun.c", 7, "plain", -5, nullptr, 9);
  qxio_trace_line_pointer("pf", "p.c", 1, "ptr", reinterpret_cast<void *>(0xabc), "pt", 3);
  qxio_trace_line_2("tf", "two.c", 2, "pair", 10, -20, "tt", 4);
  qxio_trace_line_2("tf", "two.c", 2, "pair-level-one", 10, -20, "tt", 1);
  for (uint32_t option : {0u, 1u, 2u}) qxio_debug_dump_backtrace("backtrace", option);
  int answer = qxio_assert_failure("af", "a.c", 99);
  printf("ASSERT %d\n", answer);
  return 0;
}

int assertion_only(void)
{
  qxio_init_debug(0);
  print_identity();
  int answer = QXIO_ASSERT(1 + 1 == 3);
  printf("ASSERT %d\n", answer);
  printf("HOLDS %d\n", QXIO_ASSERT(1 + 1 == 2));
  return 0;
}

void *write_many_lines(void *arg)
{
  long thread_number = reinterpret_cast<long>(arg);
  for (long i = 0; i < 200; i++)
    qxio_trace_line_2("writer", "threads.c", 1, "line", thread_number, i, "end-of-line", 5);
  return nullptr;
}

int trace_from_threads(void)
{
  qxio_init_debug(0);
  pthread_t threads[4];
  for (long t = 0; t < 4; t++)
    pthread_create(&threads[t], nullptr, write_many_lines, reinterpret_cast<void *>(t));
  for (pthread_t thread : threads) pthread_join(thread, nullptr);
  return 0;
}

int debug_break(void)
{
  qxio_init_debug(0);
  print_identity();
  qxio_debug_break("brk.c", 5);
}

const int modes = qxio_test::child_mode("trace-lines", trace_lines) +
                  qxio_test::child_mode("assertion-only", assertion_only) +
                  qxio_test::child_mode("trace-from-threads", trace_from_threads) +
                  qxio_test::child_mode("debug-break", debug_break);

// The "TID@PID" the child printed first on its standard output.
std::string identity_of(const qxio_test::child_result &child)
{
  size_t start = child.out.find("ID ");
  if (start == std::string::npos) return "?";
  size_t end = child.out.find('\n', start);
  return child.out.substr(start + 3, end - start - 3);
}

const char no_file_line[] = "QXIO_TRACE_FILE == NULL\n";

// The lines trace_lines writes at trace level 3 (`id` is the child's TID@PID).
std::string level_three_lines(const std::string &id)
{
  return "\nfile.c:12 fun() " + id + " QXIO shown (42) text\n" + "\nnofun.c:7 " + id +
         " QXIO plain (-5) \n" + "\np.c:1 pf() " + id + " QXIO ptr (0xabc) pt\n" +
         "\ntwo.c:2 tf()  " + id + " QXIO pair (10) (-20) tt\n" + "\na.c:99 af() " + id +
         " QXIO ASSERTION ERROR! (0) \n";
}

std::string read_file(const std::string &path)
{
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

TEST(TraceChild, LevelThreeWritesOnlyLinesOfLevelThreeOrMore)
{
  qxio_test::child_result child = qxio_test::run_child("trace-lines", {"QXIO_TRACE_LEVEL=3"});
  ASSERT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << child.err;
  std::string id = identity_of(child);
  EXPECT_EQ(no_file_line + level_three_lines(id), child.err);
  EXPECT_EQ("ID " + id + "\nASSERT 0\n", child.out);
}

TEST(TraceChild, DefaultLevelIsTwo)
{
  qxio_test::child_result child = qxio_test::run_child("trace-lines", {});
  ASSERT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << child.err;
  std::string id = identity_of(child);
  EXPECT_EQ(no_file_line + ("\nfile.c:12 fun() " + id + " QXIO level-two (1) t\n") +
                level_three_lines(id),
            child.err);
}

TEST(TraceChild, TraceFdOneSelectsStandardOutput)
{
  qxio_test::child_result child =
      qxio_test::run_child("trace-lines", {"QXIO_TRACE_LEVEL=3", "QXIO_TRACE_FD=0x1"});
  ASSERT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << child.err;
  std::string id = identity_of(child);
  EXPECT_EQ(no_file_line, child.err);
  EXPECT_EQ("ID " + id + "\n" + level_three_lines(id) + "ASSERT 0\n", child.out);
}

TEST(TraceChild, TraceFileReceivesTheLines)
{
  std::string dir = qx_scratch_mkdtemp("qxio-trace");
  ASSERT_NE(dir, "");
  std::string path = dir + "/trace.txt";
  qxio_test::child_result child = qxio_test::run_child(
      "trace-lines", {"QXIO_TRACE_LEVEL=3", "QXIO_TRACE_FILE=" + path, "QXIO_TRACE_FD=1"});
  ASSERT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << child.err;
  std::string id = identity_of(child);
  EXPECT_EQ("QXIO_TRACE_FILE == \"" + path + "\"\n", child.err);
  EXPECT_EQ("ID " + id + "\nASSERT 0\n", child.out);
  EXPECT_EQ(level_three_lines(id), read_file(path));
  unlink(path.c_str());
  rmdir(dir.c_str());
}

TEST(TraceChild, UnopenableTraceFileFallsBackToStandardError)
{
  const std::string path = "/nonexistent-qxio-dir/trace.txt";
  qxio_test::child_result child =
      qxio_test::run_child("trace-lines", {"QXIO_TRACE_LEVEL=3", "QXIO_TRACE_FILE=" + path});
  ASSERT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << child.err;
  EXPECT_EQ("QXIO_TRACE_FILE == \"" + path + "\"\n" + level_three_lines(identity_of(child)),
            child.err);
}

TEST(AssertionChild, ReportWritesTheLineWhateverTheTraceLevel)
{
  qxio_test::child_result child = qxio_test::run_child(
      "assertion-only", {"QXIO_ASSERTION_LEVEL=report", "QXIO_TRACE_LEVEL=99"});
  ASSERT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << child.err;
  std::string id = identity_of(child);
  EXPECT_NE(std::string::npos, child.err.find(" " + id + " QXIO ASSERTION ERROR! (0) \n"))
      << child.err;
  EXPECT_EQ(0u, child.err.find(std::string(no_file_line) + "\n")) << child.err;
  EXPECT_EQ("ID " + id + "\nASSERT 0\nHOLDS 1\n", child.out);
}

TEST(AssertionChild, DisableWritesNothing)
{
  qxio_test::child_result child =
      qxio_test::run_child("assertion-only", {"QXIO_ASSERTION_LEVEL=disable"});
  ASSERT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << child.err;
  EXPECT_EQ("", child.err);
  EXPECT_EQ("ID " + identity_of(child) + "\nASSERT 0\nHOLDS 1\n", child.out);
}

TEST(AssertionChild, UnknownLevelKeepsDebug)
{
  qxio_test::child_result child =
      qxio_test::run_child("assertion-only", {"QXIO_ASSERTION_LEVEL=loud"});
  ASSERT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << child.err;
  EXPECT_NE(std::string::npos, child.err.find("QXIO ASSERTION ERROR! (0)")) << child.err;
  EXPECT_EQ("ID " + identity_of(child) + "\nASSERT 0\nHOLDS 1\n", child.out);
}

TEST(AssertionChild, AbortLevelAbortsAfterTheLine)
{
  qxio_test::child_result child =
      qxio_test::run_child("assertion-only", {"QXIO_ASSERTION_LEVEL=abort"});
  ASSERT_TRUE(WIFSIGNALED(child.status)) << child.status;
  EXPECT_EQ(SIGABRT, WTERMSIG(child.status));
  EXPECT_NE(std::string::npos,
            child.err.find(" " + identity_of(child) + " QXIO ASSERTION ERROR! (0) \n"))
      << child.err;
  EXPECT_EQ(std::string::npos, child.out.find("ASSERT"));
}

TEST(TraceChild, LinesFromManyThreadsNeverInterleave)
{
  qxio_test::child_result child =
      qxio_test::run_child("trace-from-threads", {"QXIO_TRACE_LEVEL=5"});
  ASSERT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << child.err;
  ASSERT_EQ(0u, child.err.find(no_file_line));
  std::string rest = child.err.substr(sizeof no_file_line - 1);
  int counts[4] = {0, 0, 0, 0};
  size_t lines = 0;
  for (size_t at = 0; at < rest.size(); lines++) {
    size_t end = rest.find('\n', at + 1);
    ASSERT_NE(std::string::npos, end);
    std::string line = rest.substr(
        at, end + 1 - at);  // "\nthreads.c:1 writer()  T@P QXIO line (t) (i) end-of-line"
    ASSERT_EQ(0u, line.find("\nthreads.c:1 writer()  ")) << line;
    ASSERT_NE(std::string::npos, line.find(" QXIO line (")) << line;
    ASSERT_EQ(line.size() - strlen(") end-of-line\n"), line.find(") end-of-line")) << line;
    long thread_number = strtol(line.c_str() + line.find(" QXIO line (") + 12, nullptr, 10);
    ASSERT_TRUE(thread_number >= 0 && thread_number < 4) << line;
    counts[thread_number]++;
    at = end + 1;
  }
  EXPECT_EQ(800u, lines);
  for (int count : counts) EXPECT_EQ(200, count);
}

TEST(DebugBreakChild, WritesTheBannerAndWaits)
{
  const std::string hashes = "################################################\n";
  const std::string tail = "## Waiting in tight loop (expect 100% CPU)\n##\n" + hashes + hashes;
  qxio_test::child_result child = qxio_test::run_child("debug-break", {}, tail);
  ASSERT_TRUE(WIFSIGNALED(child.status)) << child.err;  // still spinning when killed
  EXPECT_EQ(SIGKILL, WTERMSIG(child.status));
  std::string id = identity_of(child);
  std::string pid = id.substr(id.find('@') + 1);
  EXPECT_EQ(no_file_line +
                ("\n\n" + hashes + hashes + "##\n##\n## brk.c:5 Debug Break\n##\n##\n" +
                 "## Waiting for debugger attach...(attach " + pid + " in gdb)\n##\n" + tail),
            child.err);
}

// ---- the main thread ----

TEST(MainThread, StarterIsTheMainThreadOthersAreNot)
{
  ASSERT_EQ(0, qxio_init_debug(0));
  EXPECT_EQ(1, qxio_is_in_main_thread());
  int other = -1;
  std::thread([&] { other = qxio_is_in_main_thread(); }).join();
  EXPECT_EQ(0, other);
  // once forgotten, the first thread that asks becomes the main thread
  ASSERT_EQ(0, qxio_init_debug(1));
  std::thread([&] { other = qxio_is_in_main_thread(); }).join();
  EXPECT_EQ(1, other);
  EXPECT_EQ(0, qxio_is_in_main_thread());
  ASSERT_EQ(0, qxio_init_debug(1));
  ASSERT_EQ(0, qxio_init_debug(0));
  EXPECT_EQ(1, qxio_is_in_main_thread());
}

}  // namespace
