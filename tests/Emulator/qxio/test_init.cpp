/* Start and shutdown of the library: what it leaves behind (threads as the kernel lists them,
   allocations as the allocator counts them), with the default allocator and with a hook that
   runs out of memory at every possible point of the start. */
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "budget_alloc.h"
#include "process_test_util.h"
#include "qxio.h"
#include "test_child.h"

namespace {

using qxio_test::Budget;
using qxio_test::budget_hook;
using qxio_test::settled_threads_since;
using qxio_test::threads_since;

/* The threads before the library starts. A sanitizer's runtime starts a background thread of
   its own with the first thread of the process: one thread is run first so that it is there. */
qxio_test::thread_baseline baseline_threads()
{
  std::thread([] {}).join();
  return {};
}

long outstanding(const qxio_t_allocator_counts &counts)
{
  return long(counts.allocations) - long(counts.frees);
}

/* Whether a registry that the start fills still holds one of its entries. */
bool registries_hold_something()
{
  qxio_t_coder_funcs *funcs = nullptr;
  qxio_t_error_code rc = qxio_char_coder_find(&funcs, "UTF-8", nullptr, 0);
  if (rc == 0) qxio_coder_funcs_release(funcs);
  const char *canonical = nullptr;
  return rc != QXIO_E_CHARSET_NOT_FOUND ||
         qxio_charset_canonical_name("latin1", &canonical) != QXIO_E_CHARSET_NOT_FOUND ||
         qxio_find_layer("seek", nullptr, 0) != QXIO_E_NOT_FOUND ||
         qxio_find_layer("char-coder", nullptr, 0) != QXIO_E_NOT_FOUND;
}

}  // namespace

TEST(Init, ShutdownGivesBackEveryAllocationAndThread)
{
  auto threads = baseline_threads();
  qxio_t_allocator_counts before, after;
  qxio_allocator_default_counts(&before);
  ASSERT_EQ(qxio_init(nullptr, nullptr, 0), 0);
  /* the interrupt thread */
  EXPECT_EQ(threads_since(threads), 1);
  ASSERT_EQ(qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN), 0);
  qxio_allocator_default_counts(&after);
  EXPECT_GT(after.allocations, before.allocations);
  EXPECT_EQ(outstanding(after), outstanding(before));
  EXPECT_EQ(settled_threads_since(threads), 0);
}

// The leak checks' thread baseline: a thread that ends during a case is not counted against
// it, one that starts and is still running is, until it has gone.
TEST(Init, ThreadBaselineCountsOnlyThreadsStartedSince)
{
  std::atomic<int> stage{0};
  std::thread older([&stage] { while (stage.load() < 1) usleep(100); });
  qxio_test::thread_baseline baseline = baseline_threads();
  stage = 1;
  older.join();
  std::thread newer([&stage] { while (stage.load() < 2) usleep(100); });
  EXPECT_EQ(threads_since(baseline), 1);
  stage = 2;
  newer.join();
  EXPECT_EQ(settled_threads_since(baseline), 0);
}

TEST(Init, StartsAgainAfterShutdown)
{
  auto threads = baseline_threads();
  for (int round = 0; round < 3; round++) {
    ASSERT_EQ(qxio_init(nullptr, nullptr, 0), 0);
    qxio_t_event *event;
    ASSERT_EQ(qxio_event_new(QXIO_EVENT_NEW_SIGNALLED, &event), 0);
    EXPECT_EQ(qxio_event_wait(&event, 1, nullptr), 1);
    qxio_event_free(event);
    ASSERT_EQ(qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN), 0);
  }
  EXPECT_EQ(settled_threads_since(threads), 0);
}

TEST(Init, AllMemoryGoesThroughTheGivenHook)
{
  Budget budget;
  qxio_t_allocator_counts before, after;
  qxio_allocator_default_counts(&before);
  ASSERT_EQ(qxio_init(budget_hook, &budget, 0), 0);
  QXIO stream = nullptr;
  ASSERT_EQ(qxio_get_standard_stream(&stream, QXIO_STD_OUTPUT | QXIO_STD_NULL_IF_NONE), 0);
  EXPECT_EQ(qxio_write_dbg(&stream, "nowhere"), 0);
  EXPECT_EQ(qxio_close(&stream, 0), 0);
  ASSERT_EQ(qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN), 0);
  qxio_init_allocator(nullptr, nullptr, 0);
  qxio_allocator_default_counts(&after);
  EXPECT_GT(budget.allocations, 0);
  EXPECT_EQ(budget.allocations, budget.frees);
  EXPECT_EQ(after.calls, before.calls);
}

/* Each allocation of the start is made to fail in turn, up to the first start that succeeds:
   a failed start gives back every allocation and thread and leaves no registry entry behind
   for the next start, and the start that succeeds has the coder and layer modules in. */
TEST(Init, StartThatRunsOutOfMemoryLeavesNothingBehind)
{
  auto threads = baseline_threads();
  int failures = 0;
  bool started = false;
  for (long limit = 0; limit < 5000 && !started; limit++) {
    Budget budget;
    budget.remaining = limit;
    qxio_t_error_code rc = qxio_init(budget_hook, &budget, 0);
    if (rc == 0) {
      started = true;
      budget.remaining = -1;
      qxio_t_coder_funcs *funcs = nullptr;
      EXPECT_EQ(qxio_char_coder_find(&funcs, "latin1", nullptr, 0), 0);
      if (funcs != nullptr) qxio_coder_funcs_release(funcs);
      EXPECT_EQ(qxio_find_layer("seek", nullptr, 0), 0);
      EXPECT_EQ(qxio_find_layer("char-coder", nullptr, 0), 0);
      ASSERT_EQ(qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN), 0);
      qxio_init_allocator(nullptr, nullptr, 0);
      EXPECT_EQ(budget.allocations, budget.frees);
      break;
    }
    failures++;
    qxio_init_allocator(nullptr, nullptr, 0);
    EXPECT_EQ(rc, QXIO_E_OUT_OF_MEMORY) << "limit " << limit;
    EXPECT_EQ(budget.allocations, budget.frees) << "limit " << limit;
    EXPECT_FALSE(registries_hold_something()) << "limit " << limit;
    EXPECT_EQ(settled_threads_since(threads), 0) << "limit " << limit;
  }
  EXPECT_TRUE(started);
  EXPECT_GT(failures, 2);
  EXPECT_EQ(settled_threads_since(threads), 0);
}

/* Shutting down allocates nothing: it works with memory exhausted and gives back all. */
TEST(Init, ShutdownNeedsNoMemory)
{
  Budget budget;
  ASSERT_EQ(qxio_init(budget_hook, &budget, 0), 0);
  budget.remaining = 0;
  EXPECT_EQ(qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN), 0);
  qxio_init_allocator(nullptr, nullptr, 0);
  EXPECT_GT(budget.allocations, 0);
  EXPECT_EQ(budget.allocations, budget.frees);
  EXPECT_FALSE(registries_hold_something());
}

/* ---- shutdown with output still queued ---- */

namespace {

const size_t QUEUED_OUTPUT = 124 * 1024;

std::string queued_output()
{
  std::string text;
  for (size_t i = 0; text.size() < QUEUED_OUTPUT; i++) text += "line " + std::to_string(i) + "\n";
  text.resize(QUEUED_OUTPUT);
  return text;
}

/* Writes text through the registered standard output and registers it again. */
int write_standard_output(const std::string &text)
{
  QXIO out = nullptr;
  if (qxio_get_standard_stream(&out, QXIO_STD_OUTPUT) < 0) return 11;
  qxio_t_buf buf;
  qxio_buf_init_buf(&buf);
  buf.buf = reinterpret_cast<unsigned char *>(const_cast<char *>(text.data()));
  buf.extent = buf.writable_size = text.size();
  size_t pos = 0;
  if (qxio_write(&out, &buf, &pos, QXIO_WRITE_ALL) < 0) return 12;
  if (qxio_set_standard_stream(&out, QXIO_STD_OUTPUT | QXIO_STD_CLOSE_WRITE) < 0) return 13;
  return 0;
}

/* A child whose standard output, a pipe its parent does not read yet, holds the queued output
   when an interrupt comes and the library shuts down; it says on standard error when it
   begins. Exit status 0: the shutdown succeeded and stopped every module. */
int interrupted_shutdown_child(void)
{
  if (qxio_init(nullptr, nullptr, 0) < 0) return 10;
  int rc = write_standard_output(queued_output());
  if (rc != 0) return rc;
  static const char begins[] = "shutting down\n";
  if (write(2, begins, sizeof begins - 1) < 0) return 14;
  qxio_interrupt();
  if (qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN) != 0) return 20;
  return registries_hold_something() ? 21 : 0;
}
const int interrupted_shutdown_registered =
    qxio_test::child_mode("interrupted-shutdown", interrupted_shutdown_child);

/* A child whose standard output is a pipe nobody reads any more: the shutdown reports the
   failed write and still stops every module after the standard streams. */
int failing_shutdown_child(void)
{
  signal(SIGPIPE, SIG_IGN);
  int ends[2];
  if (pipe(ends) != 0 || dup2(ends[1], 1) != 1) return 10;
  close(ends[0]);
  close(ends[1]);
  if (qxio_init(nullptr, nullptr, 0) < 0) return 10;
  int rc = write_standard_output("nobody reads this");
  if (rc != 0) return rc;
  if (qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN) != QXIO_E_NET_CONNRESET) return 20;
  return registries_hold_something() ? 21 : 0;
}
const int failing_shutdown_registered =
    qxio_test::child_mode("failing-shutdown", failing_shutdown_child);

}  // namespace

TEST(Shutdown, OutputQueuedWhenAnInterruptComesIsAllWritten)
{
  const std::vector<std::string> layers[] = {{}, {"QXIO_USE_LAYER_THREADDEVICE=false"}};
  for (const std::vector<std::string> &env : layers) {
    qxio_test::child_result result =
        qxio_test::run_child("interrupted-shutdown", env, "", "shutting down");
    ASSERT_TRUE(WIFEXITED(result.status)) << result.status;
    EXPECT_EQ(WEXITSTATUS(result.status), 0) << (env.empty() ? "thread-backed" : env[0]);
    EXPECT_EQ(result.out.size(), QUEUED_OUTPUT);
    EXPECT_TRUE(result.out == queued_output());
  }
}

TEST(Shutdown, FailingModuleDoesNotLeaveTheOthersRunning)
{
  qxio_test::child_result result = qxio_test::run_child("failing-shutdown", {});
  ASSERT_TRUE(WIFEXITED(result.status)) << result.status;
  EXPECT_EQ(WEXITSTATUS(result.status), 0);
}
