// The intrusive request queue, with real threads on both ends.
#include <gtest/gtest.h>
#include <pthread.h>
#include <stddef.h>

#include <atomic>
#include <thread>
#include <vector>

#include "qxio.h"
#include "qxio_internal.h"

namespace {

struct request {
  int id;
  qxio_t_queue_entry link;
};

request *owner_of(qxio_t_queue_entry *entry)
{
  return reinterpret_cast<request *>(reinterpret_cast<char *>(entry) - offsetof(request, link));
}

class Queue : public ::testing::Test {
protected:
  qxio_t_queue *queue = nullptr;
  request r[4] = {{0, {}}, {1, {}}, {2, {}}, {3, {}}};
  void SetUp() override
  {
    ASSERT_EQ(0, qxio_queue_new(&queue, QXIO_QUEUE_NEW_MUTEX | QXIO_QUEUE_NEW_COND));
  }
  void TearDown() override
  {
    qxio_queue_signal = qxio_cond_var_signal;
    qxio_queue_free(queue);
  }
  int take_first(uint32_t options = 0)
  {
    qxio_t_queue_entry *entry = nullptr;
    qxio_t_error_code rc = qxio_queue_get_first(queue, &entry, options);
    return rc < 0 ? rc : owner_of(entry)->id;
  }
  int take_last(uint32_t options = 0)
  {
    qxio_t_queue_entry *entry = nullptr;
    qxio_t_error_code rc = qxio_queue_get_last(queue, &entry, options);
    return rc < 0 ? rc : owner_of(entry)->id;
  }
};

TEST_F(Queue, EmptyQueueHasNothingToGive)
{
  EXPECT_EQ(0u, qxio_queue_size(queue));
  EXPECT_EQ(QXIO_E_NOT_FOUND, take_first());
  EXPECT_EQ(QXIO_E_NOT_FOUND, take_last());
  EXPECT_EQ(QXIO_E_NOT_FOUND, qxio_queue_get_first(queue, nullptr, QXIO_QUEUE_PEEK));
}

TEST_F(Queue, EntriesComeOutFirstInFirstOut)
{
  for (request &req : r) ASSERT_EQ(0, qxio_queue_put_last(queue, &req.link, 0));
  EXPECT_EQ(4u, qxio_queue_size(queue));
  for (int id = 0; id < 4; id++) EXPECT_EQ(id, take_first());
  EXPECT_EQ(0u, qxio_queue_size(queue));
}

TEST_F(Queue, RemovingTheOnlyEntryEmptiesHeadAndTail)
{
  ASSERT_EQ(0, qxio_queue_put_last(queue, &r[0].link, 0));
  EXPECT_EQ(0, take_first());
  EXPECT_EQ(nullptr, queue->next);
  EXPECT_EQ(nullptr, queue->tail);
  EXPECT_EQ(0u, qxio_queue_size(queue));
  ASSERT_EQ(0, qxio_queue_put_last(queue, &r[1].link, 0));
  EXPECT_EQ(1, take_last());
  EXPECT_EQ(nullptr, queue->next);
  EXPECT_EQ(nullptr, queue->tail);
  EXPECT_EQ(0u, qxio_queue_size(queue));
}

TEST_F(Queue, PeekLeavesTheEntryQueued)
{
  ASSERT_EQ(0, qxio_queue_put_last(queue, &r[0].link, 0));
  ASSERT_EQ(0, qxio_queue_put_last(queue, &r[1].link, 0));
  EXPECT_EQ(0, take_first(QXIO_QUEUE_PEEK));
  EXPECT_EQ(1, take_last(QXIO_QUEUE_PEEK));
  EXPECT_EQ(2u, qxio_queue_size(queue));
  EXPECT_EQ(0, qxio_queue_get_first(queue, nullptr, QXIO_QUEUE_PEEK));
  EXPECT_EQ(2u, qxio_queue_size(queue));
}

TEST_F(Queue, GetLastFindsTheNewTail)
{
  for (request &req : r) ASSERT_EQ(0, qxio_queue_put_last(queue, &req.link, 0));
  EXPECT_EQ(3, take_last());
  EXPECT_EQ(&r[2].link, queue->tail);
  EXPECT_EQ(nullptr, r[2].link.next);
  ASSERT_EQ(0, qxio_queue_put_last(queue, &r[3].link, 0));
  EXPECT_EQ(3, take_last());
  EXPECT_EQ(2, take_last());
  EXPECT_EQ(0, take_first());
  EXPECT_EQ(1, take_first());
  EXPECT_EQ(0u, qxio_queue_size(queue));
}

TEST_F(Queue, CallerHeldMutexOptions)
{
  ASSERT_EQ(0, qxio_queue_lock(queue));
  ASSERT_EQ(0, qxio_queue_put_last(queue, &r[0].link, QXIO_QUEUE_LOCKED));
  ASSERT_EQ(0, qxio_queue_put_last(queue, &r[1].link, QXIO_QUEUE_LOCKED));
  EXPECT_EQ(1, take_last(QXIO_QUEUE_GET_LOCKED));
  ASSERT_EQ(0, qxio_queue_unlock(queue));
  EXPECT_EQ(0, take_first());
}

TEST_F(Queue, WaitingNeedsACondition)
{
  qxio_t_queue *plain = nullptr;
  ASSERT_EQ(0, qxio_queue_new(&plain, 0));
  EXPECT_EQ(nullptr, plain->mutex);
  EXPECT_EQ(nullptr, plain->not_empty_cond);
  qxio_t_queue_entry entry{};
  ASSERT_EQ(0, qxio_queue_put_last(plain, &entry, 0));
  EXPECT_EQ(QXIO_E_PARAMETER_ERROR, qxio_queue_get_first(plain, nullptr, QXIO_QUEUE_WAIT));
  EXPECT_EQ(QXIO_E_PARAMETER_ERROR, qxio_queue_get_last(plain, nullptr, QXIO_QUEUE_WAIT));
  EXPECT_EQ(1u, qxio_queue_size(plain));
  qxio_queue_free(plain);
  qxio_queue_free(nullptr);
}

qxio_t_error_code failing_signal(qxio_t_cond_var *, qxio_t_mutex *, uint32_t)
{
  return QXIO_E_OS_ERROR;
}

TEST_F(Queue, FailedSignalLeavesTheQueueUnchanged)
{
  ASSERT_EQ(0, qxio_queue_put_last(queue, &r[0].link, 0));
  qxio_queue_signal = failing_signal;
  EXPECT_EQ(QXIO_E_OS_ERROR, qxio_queue_put_last(queue, &r[1].link, 0));
  EXPECT_EQ(1u, qxio_queue_size(queue));
  EXPECT_EQ(&r[0].link, queue->tail);
  EXPECT_EQ(nullptr, r[0].link.next);
  qxio_queue_signal = qxio_cond_var_signal;
  // the refused entry is still the caller's and can be queued again
  ASSERT_EQ(0, qxio_queue_put_last(queue, &r[1].link, 0));
  EXPECT_EQ(0, take_first());
  EXPECT_EQ(1, take_first());
  EXPECT_EQ(QXIO_E_NOT_FOUND, take_first());
}

TEST_F(Queue, UnlockCleanupReleasesAndClearsTheSlot)
{
  ASSERT_EQ(0, qxio_queue_lock(queue));
  EXPECT_EQ(1, qxio_mutex_debug_is_locked_by_other(queue->mutex));
  qxio_t_queue *slot = queue;
  qxio_queue_unlock_cleanup(&slot);
  EXPECT_EQ(nullptr, slot);
  EXPECT_EQ(0, qxio_mutex_debug_is_locked_by_other(queue->mutex));
  qxio_queue_unlock_cleanup(&slot);  // an empty slot is ignored
}

TEST_F(Queue, WaitingGetReturnsWhenAnotherThreadAppends)
{
  int received = -1;
  std::thread waiter([&] { received = take_first(QXIO_QUEUE_WAIT); });
  ASSERT_EQ(0, qxio_queue_put_last(queue, &r[2].link, 0));
  waiter.join();
  EXPECT_EQ(2, received);
  EXPECT_EQ(0u, qxio_queue_size(queue));
}

TEST_F(Queue, ProducerAndConsumerKeepOrderAndCount)
{
  const int total = 5000;
  std::vector<request> requests(total);
  for (int i = 0; i < total; i++) requests[i].id = i;
  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (request &req : requests) ASSERT_EQ(0, qxio_queue_put_last(queue, &req.link, 0));
  });
  std::thread watcher([&] {  // the size is read without the lock while both ends work
    while (!done.load()) EXPECT_LE(qxio_queue_size(queue), static_cast<size_t>(total));
  });
  int expected = 0;
  for (; expected < total; expected++) {
    int id = expected % 2 == 0 ? take_first(QXIO_QUEUE_WAIT)
                               : take_first(QXIO_QUEUE_WAIT | QXIO_QUEUE_PEEK);
    ASSERT_EQ(expected, id);
    if (expected % 2 == 1) {
      ASSERT_EQ(expected, take_first());
    }
  }
  producer.join();
  done = true;
  watcher.join();
  EXPECT_EQ(0u, qxio_queue_size(queue));
}

void *cancellable_waiter(void *arg)
{
  qxio_t_queue *queue = static_cast<qxio_t_queue *>(arg);
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
  qxio_queue_get_first(queue, nullptr, QXIO_QUEUE_WAIT);
  return nullptr;
}

TEST_F(Queue, CancelledWaiterReleasesTheMutex)
{
  pthread_t thread;
  ASSERT_EQ(0, pthread_create(&thread, nullptr, cancellable_waiter, queue));
  ASSERT_EQ(0, pthread_cancel(thread));
  void *result = nullptr;
  ASSERT_EQ(0, pthread_join(thread, &result));
  EXPECT_EQ(PTHREAD_CANCELED, result);
  EXPECT_EQ(0, qxio_mutex_debug_is_locked_by_other(queue->mutex));
  ASSERT_EQ(0, qxio_queue_put_last(queue, &r[0].link, 0));
  EXPECT_EQ(0, take_first());
}

// Timed waits on the queue's own condition, as a worker waits with a time limit.
TEST_F(Queue, TimedWaitOnEmptyQueueTimesOutRelativeAndAbsolute)
{
  ASSERT_EQ(0, qxio_queue_lock(queue));
  qxio_t_timespec relative = {0, 20000000};
  EXPECT_EQ(QXIO_E_TIMEOUT,
            qxio_cond_var_timedwait(queue->not_empty_cond, queue->mutex, &relative));
  qxio_t_timespec now{};
  ASSERT_EQ(0, qxio_cond_var_now(&now));
  ASSERT_GE(now.sec, 86400);
  qxio_t_timespec absolute = {now.sec, now.nsec};  // already passed when the wait starts
  EXPECT_EQ(QXIO_E_TIMEOUT,
            qxio_cond_var_timedwait(queue->not_empty_cond, queue->mutex, &absolute));
  long nsec = now.nsec + 50000000;  // 50 ms from now, as an absolute deadline
  absolute = {now.sec + nsec / 1000000000, nsec % 1000000000};
  EXPECT_EQ(QXIO_E_TIMEOUT,
            qxio_cond_var_timedwait(queue->not_empty_cond, queue->mutex, &absolute));
  EXPECT_EQ(nullptr, queue->next);
  ASSERT_EQ(0, qxio_queue_unlock(queue));
}

TEST_F(Queue, TimedWaitWakesWhenAnotherThreadAppends)
{
  ASSERT_EQ(0, qxio_queue_lock(queue));
  std::thread producer([&] { ASSERT_EQ(0, qxio_queue_put_last(queue, &r[3].link, 0)); });
  qxio_t_timespec relative = {60, 0};
  qxio_t_error_code rc = QXIO_S_NOERR;
  while (queue->next == nullptr && rc >= 0)
    rc = qxio_cond_var_timedwait(queue->not_empty_cond, queue->mutex, &relative);
  EXPECT_EQ(0, rc);
  EXPECT_EQ(&r[3].link, queue->next);
  ASSERT_EQ(0, qxio_queue_unlock(queue));
  producer.join();
  EXPECT_EQ(3, take_first());
}

}  // namespace
