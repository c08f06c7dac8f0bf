// The copy program (bench_copy's copy, run as a child of this test binary): 5 MB of
// mixed-script UTF-8 through files and through pipes, byte for byte; empty input; a reader
// that goes away (head -1); invalid input; non-blocking pipes that force short writes and
// would-block reads; and EINTR injected by strace into the data reads and writes.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "../../../bench/bench_copy.h"
#include "fs_test_util.h"
#include "test_child.h"

namespace {

using qxio_test::read_file;
using qxio_test::temp_tree;
using qxio_test::write_file;

const int copy_registered = qxio_test::child_mode("copy", qxio_copy::copy_program);

const size_t kFiveMegabytes = 5 << 20;

std::string self_exe()
{
  char path[4096];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<size_t>(length)) : "";
}

// The shell command that runs the copy program.
std::string copy_command() { return "'" + self_exe() + "' --qxio-test-child copy"; }

struct piped_run {
  int status = -1;
  std::string out;
};

// Runs the copy program with pipes for its standard input (fed with `input` by `feed`) and
// output (drained by `drain`); fd_setup may change the pipe ends before the child starts.
piped_run run_piped(const std::string &input, void (*fd_setup)(int child_in, int child_out),
                    void (*feed)(int fd, const std::string &input), std::string (*drain)(int fd))
{
  piped_run result;
  signal(SIGPIPE, SIG_IGN);  // a child that dies early must not take this process along
  // a pipe end must not land on a standard descriptor that this process lacks
  for (int fd = 0; fd < 3; fd++) {
    if (fcntl(fd, F_GETFD) < 0) open("/dev/null", O_RDWR);
  }
  int to[2], from[2];
  if (pipe2(to, O_CLOEXEC) != 0 || pipe2(from, O_CLOEXEC) != 0) return result;
  if (fd_setup != nullptr) fd_setup(to[0], from[1]);
  std::string exe = self_exe();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(to[0], 0);
    dup2(from[1], 1);
    char flag[] = "--qxio-test-child", mode[] = "copy";
    char *argv[] = {const_cast<char *>(exe.c_str()), flag, mode, nullptr};
    execv(argv[0], argv);
    _exit(127);
  }
  close(to[0]);
  close(from[1]);
  std::thread feeder([&] {
    feed(to[1], input);
    close(to[1]);
  });
  result.out = drain(from[0]);
  feeder.join();
  close(from[0]);
  int status;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

void feed_all(int fd, const std::string &input) { qxio_test::write_all(fd, input); }

// ---- through files and pipes ----

TEST(CopyProgram, FiveMegabytesFileToFileAreByteIdentical)
{
  temp_tree tree;
  std::string text = qxio_copy::mixed_text(kFiveMegabytes);
  ASSERT_TRUE(write_file(tree.file("in"), text));
  ASSERT_EQ(qxio_test::shell(copy_command() + " < " + tree.file("in") + " > " + tree.file("out")),
            0);
  std::string out = read_file(tree.file("out"));
  EXPECT_EQ(out.size(), text.size());
  EXPECT_TRUE(out == text) << "the copy differs";
}

TEST(CopyProgram, FiveMegabytesPipeToPipeAreByteIdentical)
{
  std::string text = qxio_copy::mixed_text(kFiveMegabytes);
  piped_run run = run_piped(text, nullptr, feed_all, qxio_test::read_all);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.size(), text.size());
  EXPECT_TRUE(run.out == text) << "the copy differs";
}

TEST(CopyProgram, EmptyInputExitsZero)
{
  temp_tree tree;
  ASSERT_EQ(qxio_test::shell(copy_command() + " < /dev/null > " + tree.file("out")), 0);
  EXPECT_EQ(read_file(tree.file("out")), "");
}

TEST(CopyProgram, ReaderThatGoesAwayEndsItWithTheBrokenPipeCode)
{
  temp_tree tree;
  ASSERT_TRUE(write_file(tree.file("in"), qxio_copy::mixed_text(kFiveMegabytes)));
  std::string line = "( " + copy_command() + " < " + tree.file("in") + "; echo $? > " +
                     tree.file("status") + " ) | head -1 > " + tree.file("first");
  ASSERT_EQ(qxio_test::shell(line), 0);
  EXPECT_EQ(read_file(tree.file("status")), std::to_string(qxio_copy::EXIT_BROKEN_PIPE) + "\n");
  EXPECT_EQ(read_file(tree.file("first")),
            "The quick brown fox jumps over the lazy dog. 0123456789\n");
}

TEST(CopyProgram, InvalidUtf8IsReportedAsAFailure)
{
  temp_tree tree;
  ASSERT_TRUE(write_file(tree.file("in"), "fine\n\xFF\xFE\n"));
  std::string line = copy_command() + " < " + tree.file("in") + " > " + tree.file("out") + " 2> " +
                     tree.file("err");
  EXPECT_EQ(qxio_test::shell(line), qxio_copy::EXIT_FAILURE_CODE);
  EXPECT_NE(read_file(tree.file("err")).find("QXIO_E_ENCODING_INVALID"), std::string::npos);
}

// ---- short writes and would-block reads ----

// Both pipes non-blocking (the flag belongs to the shared open file, so the child sees it)
// and as small as the system allows.
void small_nonblocking(int child_in, int child_out)
{
  for (int fd : {child_in, child_out}) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETPIPE_SZ, 4096);
  }
}

// Writes the input in pieces of 1000 bytes with pauses, so that the reader often finds the
// pipe empty.
void feed_slowly(int fd, const std::string &input)
{
  for (size_t done = 0; done < input.size(); done += 1000) {
    size_t n = std::min<size_t>(1000, input.size() - done);
    if (!qxio_test::write_all(fd, input.substr(done, n))) return;
    if (done % 50000 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Reads in pieces of 100 bytes, so that the writer often finds the pipe full.
std::string drain_slowly(int fd)
{
  std::string out;
  char piece[100];
  ssize_t n;
  while ((n = read(fd, piece, sizeof piece)) != 0) {
    if (n > 0) out.append(piece, static_cast<size_t>(n));
    if (n < 0 && errno != EINTR) break;
  }
  return out;
}

TEST(CopyProgram, ShortWritesAndWouldBlockReadsLoseNothing)
{
  std::string text = qxio_copy::mixed_text(1 << 20);
  piped_run run = run_piped(text, small_nonblocking, feed_slowly, drain_slowly);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.size(), text.size());
  EXPECT_TRUE(run.out == text) << "the copy differs";
}

// ---- EINTR injected by strace ----

// The strace command line: EINTR for every second read and write on the given paths from
// the third on (each thread counted apart). LeakSanitizer cannot run under a tracer.
std::string strace_copy(const temp_tree &tree, const std::string &in, const std::string &out)
{
  return "ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o " + tree.file("trace.log") + " -P " + in +
         " -P " + out + " -e trace=read,write -e inject=read,write:error=EINTR:when=3+2 " +
         copy_command() + " < " + in + " > " + out;
}

TEST(CopyProgram, InjectedEintrOnFilesLosesAndRepeatsNothing)
{
  temp_tree tree;
  if (!qxio_test::strace_injection_works(tree)) GTEST_SKIP() << "strace cannot inject faults here";
  std::string text = qxio_copy::mixed_text(kFiveMegabytes);
  ASSERT_TRUE(write_file(tree.file("in"), text));
  ASSERT_EQ(qxio_test::shell(strace_copy(tree, tree.file("in"), tree.file("out"))), 0);
  EXPECT_GT(qxio_test::injected_count(read_file(tree.file("trace.log"))), 20u);
  std::string out = read_file(tree.file("out"));
  EXPECT_EQ(out.size(), text.size());
  EXPECT_TRUE(out == text) << "the copy differs";
}

TEST(CopyProgram, InjectedEintrOnPipesLosesAndRepeatsNothing)
{
  temp_tree tree;
  if (!qxio_test::strace_injection_works(tree)) GTEST_SKIP() << "strace cannot inject faults here";
  std::string text = qxio_copy::mixed_text(kFiveMegabytes);
  std::string in = tree.file("in.fifo"), out = tree.file("out.fifo");
  ASSERT_EQ(mkfifo(in.c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(out.c_str(), 0600), 0);
  std::string received;
  signal(SIGPIPE, SIG_IGN);
  std::thread feeder([&] {
    int fd = open(in.c_str(), O_WRONLY | O_CLOEXEC);
    qxio_test::write_all(fd, text);
    close(fd);
  });
  std::thread drainer([&] {
    int fd = open(out.c_str(), O_RDONLY | O_CLOEXEC);
    received = qxio_test::read_all(fd);
    close(fd);
  });
  int status = qxio_test::shell(strace_copy(tree, in, out));
  feeder.join();
  drainer.join();
  EXPECT_EQ(status, 0);
  EXPECT_GT(qxio_test::injected_count(read_file(tree.file("trace.log"))), 20u);
  EXPECT_EQ(received.size(), text.size());
  EXPECT_TRUE(received == text) << "the copy differs";
}

}  // namespace
