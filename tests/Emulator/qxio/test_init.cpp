/* Start and shutdown of the library: what it leaves behind (threads as the kernel lists them,
   allocations as the allocator counts them), with the default allocator and with a hook that
   runs out of memory at every possible point of the start. */
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "qxio.h"

namespace {

/* Threads of this process as /proc lists them. */
int thread_count() {
  DIR *dir = opendir("/proc/self/task");
  int count = 0;
  while (struct dirent *entry = readdir(dir)) {
    if (entry->d_name[0] != '.') count++;
  }
  closedir(dir);
  return count;
}

/* The count before the library starts. A sanitizer's runtime starts a background thread of
   its own with the first thread of the process: one thread is run first so that it is there. */
int baseline_thread_count() {
  long tid = 0;
  std::thread([&tid] { tid = syscall(SYS_gettid); }).join();
  std::string gone = "/proc/self/task/" + std::to_string(tid);
  for (int i = 0; i < 2000 && access(gone.c_str(), F_OK) == 0; i++) usleep(1000);
  return thread_count();
}

/* A joined thread may linger in /proc for a moment; wait (boundedly) until it is gone. */
int settled_thread_count(int expected) {
  int count = thread_count();
  for (int i = 0; i < 2000 && count != expected; i++) {
    usleep(1000);
    count = thread_count();
  }
  return count;
}

long outstanding(const qxio_t_allocator_counts &counts) {
  return long(counts.allocations) - long(counts.frees);
}

/* An allocator hook that fails once its budget of allocations is spent. */
struct Budget {
  long allocations = 0, frees = 0;
  long remaining = -1; /* -1: no limit */
};

void *budget_hook(void *cookie, void *pointer, size_t size) {
  Budget *budget = static_cast<Budget *>(cookie);
  if (pointer == nullptr) {
    if (budget->remaining == 0) return nullptr;
    if (budget->remaining > 0) budget->remaining--;
    budget->allocations++;
    return malloc(size);
  }
  if (size == 0) {
    budget->frees++;
    free(pointer);
    return nullptr;
  }
  return realloc(pointer, size);
}

}  // namespace

TEST(Init, ShutdownGivesBackEveryAllocationAndThread) {
  int threads = baseline_thread_count();
  qxio_t_allocator_counts before, after;
  qxio_allocator_default_counts(&before);
  ASSERT_EQ(qxio_init(nullptr, nullptr, 0), 0);
  /* the interrupt thread */
  EXPECT_EQ(thread_count(), threads + 1);
  ASSERT_EQ(qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN), 0);
  qxio_allocator_default_counts(&after);
  EXPECT_GT(after.allocations, before.allocations);
  EXPECT_EQ(outstanding(after), outstanding(before));
  EXPECT_EQ(settled_thread_count(threads), threads);
}

TEST(Init, StartsAgainAfterShutdown) {
  int threads = baseline_thread_count();
  for (int round = 0; round < 3; round++) {
    ASSERT_EQ(qxio_init(nullptr, nullptr, 0), 0);
    qxio_t_event *event;
    ASSERT_EQ(qxio_event_new(QXIO_EVENT_NEW_SIGNALLED, &event), 0);
    EXPECT_EQ(qxio_event_wait(&event, 1, nullptr), 1);
    qxio_event_free(event);
    ASSERT_EQ(qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN), 0);
  }
  EXPECT_EQ(settled_thread_count(threads), threads);
}

TEST(Init, AllMemoryGoesThroughTheGivenHook) {
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

TEST(Init, StartThatRunsOutOfMemoryLeavesNothingBehind) {
  int threads = baseline_thread_count();
  int failures = 0;
  for (long limit = 0; limit < 200; limit++) {
    Budget budget;
    budget.remaining = limit;
    qxio_t_error_code rc = qxio_init(budget_hook, &budget, 0);
    if (rc == 0) {
      ASSERT_EQ(qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN), 0);
      qxio_init_allocator(nullptr, nullptr, 0);
      EXPECT_EQ(budget.allocations, budget.frees);
      break;
    }
    failures++;
    qxio_init_allocator(nullptr, nullptr, 0);
    EXPECT_EQ(rc, QXIO_E_OUT_OF_MEMORY) << "limit " << limit;
    EXPECT_EQ(budget.allocations, budget.frees) << "limit " << limit;
    EXPECT_EQ(settled_thread_count(threads), threads) << "limit " << limit;
  }
  EXPECT_GT(failures, 2);
  EXPECT_EQ(settled_thread_count(threads), threads);
}
