/* Tasks, mutexes and condition variables: results and cancellation of real threads, the
   signal mask a library thread runs with (as the kernel reports it), and timed waits. */
#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "qxio.h"

namespace {

const qxio_t_timespec kForever = {3600, 0};

void *return_arg(qxio_t_task *task, void *arg) { return arg; }

/* A gate that a task blocks on until the test opens it. */
struct Gate {
  qxio_t_event *open = nullptr;
  qxio_t_event *entered = nullptr;
  Gate()
  {
    EXPECT_EQ(qxio_event_new(0, &open), 0);
    EXPECT_EQ(qxio_event_new(0, &entered), 0);
  }
  ~Gate()
  {
    qxio_event_free(open);
    qxio_event_free(entered);
  }
  void wait_entered() { ASSERT_EQ(qxio_event_wait(&entered, 1, &kForever), 1); }
};

void *wait_at_gate(qxio_t_task *task, void *arg)
{
  Gate *gate = static_cast<Gate *>(arg);
  qxio_event_set(gate->entered);
  qxio_event_wait(&gate->open, 1, nullptr);
  return gate;
}

int64_t monotonic_ns()
{
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t realtime_ns()
{
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

TEST(Tasks, ResultIsTheFunctionsAfterTheTaskEnded)
{
  int value = 0;
  qxio_t_task *task = nullptr;
  ASSERT_EQ(qxio_task_create(0, return_arg, &value, &task), 0);
  qxio_t_event *ended;
  ASSERT_EQ(qxio_task_event(task, &ended), 0);
  ASSERT_EQ(qxio_event_wait(&ended, 1, &kForever), 1);
  void *result = nullptr;
  EXPECT_EQ(qxio_task_result(task, &result), 0);
  EXPECT_EQ(result, &value);
  EXPECT_EQ(qxio_task_result(task, nullptr), 0);
  EXPECT_EQ(qxio_task_is_running(task), 0);
  uint32_t bits = 99;
  EXPECT_EQ(qxio_task_status(task, &bits), 0);
  EXPECT_EQ(bits, 0u);
  EXPECT_EQ(qxio_task_is_cancelled(task), 0);
  EXPECT_EQ(qxio_task_free(task), 0);
}

TEST(Tasks, ResultOfARunningTaskIsThreadRunning)
{
  Gate gate;
  qxio_t_task *task = nullptr;
  ASSERT_EQ(qxio_task_create(0, wait_at_gate, &gate, &task), 0);
  gate.wait_entered();
  void *result = nullptr;
  EXPECT_EQ(qxio_task_result(task, &result), QXIO_E_THREAD_RUNNING);
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(qxio_task_is_running(task), 1);
  uint32_t bits = 0;
  EXPECT_EQ(qxio_task_status(task, &bits), 0);
  EXPECT_EQ(bits, QXIO_TASK_STATUS_RUNNING);
  qxio_event_set(gate.open);
  EXPECT_EQ(qxio_task_free(task), 0);
}

/* The out task is filled in before the thread runs, so the function may find itself there. */
void *compare_with_out_task(qxio_t_task *task, void *arg)
{
  qxio_t_task *published = *static_cast<qxio_t_task *volatile *>(arg);
  return reinterpret_cast<void *>(published == task ? 1 : 2);
}

TEST(Tasks, OutTaskIsSetBeforeTheThreadStarts)
{
  for (int i = 0; i < 20; i++) {
    qxio_t_task *task = nullptr;
    ASSERT_EQ(qxio_task_create(0, compare_with_out_task, &task, &task), 0);
    qxio_t_event *ended;
    qxio_task_event(task, &ended);
    ASSERT_EQ(qxio_event_wait(&ended, 1, &kForever), 1);
    void *result;
    ASSERT_EQ(qxio_task_result(task, &result), 0);
    EXPECT_EQ(result, reinterpret_cast<void *>(1));
    qxio_task_free(task);
  }
}

TEST(Tasks, NullTaskIsIgnored)
{
  EXPECT_EQ(qxio_task_free(nullptr), 0);
  EXPECT_EQ(qxio_task_is_running(nullptr), 0);
}

TEST(Tasks, CancelEventIsNotSupported)
{
  int value = 0;
  qxio_t_task *task;
  ASSERT_EQ(qxio_task_create(0, return_arg, &value, &task), 0);
  qxio_t_event *event = nullptr;
  EXPECT_EQ(qxio_task_cancel_event(task, &event), QXIO_E_NOT_SUPPORTED);
  qxio_task_free(task);
}

TEST(Tasks, CancellingATaskCreatedWithoutTheOptionIsNotSupported)
{
  Gate gate;
  qxio_t_task *task;
  ASSERT_EQ(qxio_task_create(0, wait_at_gate, &gate, &task), 0);
  gate.wait_entered();
  EXPECT_EQ(qxio_task_cancel(task, 0), QXIO_E_NOT_SUPPORTED);
  EXPECT_EQ(qxio_task_is_running(task), 1);
  EXPECT_EQ(qxio_task_is_cancelled(task), 0);
  qxio_event_set(gate.open);
  EXPECT_EQ(qxio_task_free(task), 0);
}

TEST(Tasks, CancellingAFinishedTaskSucceeds)
{
  int value = 0;
  qxio_t_task *task;
  ASSERT_EQ(qxio_task_create(QXIO_TASK_CANCELLABLE, return_arg, &value, &task), 0);
  qxio_t_event *ended;
  qxio_task_event(task, &ended);
  ASSERT_EQ(qxio_event_wait(&ended, 1, &kForever), 1);
  EXPECT_EQ(qxio_task_cancel(task, 0), 0);
  EXPECT_EQ(qxio_task_is_cancelled(task), 1);
  EXPECT_EQ(qxio_task_free(task), 0);
}

/* A task blocked in a read on a pipe that nobody writes, holding a mutex across the call
   with the unlock clean-up installed. */
struct BlockedReader {
  int fds[2];
  qxio_t_mutex *mutex = nullptr;
  qxio_t_event *entered = nullptr;
  std::atomic<int> returned{0};
};

void *read_in_cancel_window(qxio_t_task *task, void *arg)
{
  BlockedReader *reader = static_cast<BlockedReader *>(arg);
  qxio_t_mutex *held = reader->mutex;
  qxio_mutex_lock(held);
  pthread_cleanup_push(qxio_mutex_unlock_cleanup, &held);
  qxio_event_set(reader->entered);
  char byte;
  qxio_task_pthread_cancel_enable();
  ssize_t n = read(reader->fds[0], &byte, 1);
  qxio_task_pthread_cancel_disable();
  (void)n;
  reader->returned.store(1);
  pthread_cleanup_pop(1);
  return nullptr;
}

TEST(Tasks, CancelEndsABlockingCallAndRunsTheUnlockCleanup)
{
  BlockedReader reader;
  ASSERT_EQ(pipe(reader.fds), 0);
  ASSERT_EQ(qxio_mutex_new(&reader.mutex, 0), 0);
  ASSERT_EQ(qxio_event_new(0, &reader.entered), 0);
  qxio_t_task *task;
  ASSERT_EQ(qxio_task_create(QXIO_TASK_CANCELLABLE, read_in_cancel_window, &reader, &task), 0);
  ASSERT_EQ(qxio_event_wait(&reader.entered, 1, &kForever), 1);
  EXPECT_EQ(qxio_task_cancel(task, 0), 0);
  EXPECT_EQ(qxio_task_is_cancelled(task), 1);
  EXPECT_EQ(qxio_task_is_running(task), 0);
  EXPECT_EQ(reader.returned.load(), 0);
  /* the clean-up released the mutex the cancelled thread held */
  EXPECT_EQ(qxio_mutex_debug_is_unlocked(reader.mutex), 1);
  EXPECT_EQ(qxio_task_free(task), 0);
  qxio_mutex_free(reader.mutex);
  qxio_event_free(reader.entered);
  close(reader.fds[0]);
  close(reader.fds[1]);
}

TEST(Tasks, TerminationEventWakesEveryWaitingThread)
{
  Gate gate;
  qxio_t_task *task;
  ASSERT_EQ(qxio_task_create(0, wait_at_gate, &gate, &task), 0);
  qxio_t_event *ended;
  qxio_task_event(task, &ended);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; i++)
    waiters.emplace_back([&] {
      if (qxio_event_wait(&ended, 1, &kForever) == 1) woken.fetch_add(1);
    });
  qxio_event_set(gate.open);
  for (std::thread &waiter : waiters) waiter.join();
  EXPECT_EQ(woken.load(), 3);
  qxio_task_free(task);
}

/* ---- the signal mask of a library thread ---- */

namespace {

struct TidReporter {
  Gate gate;
  std::atomic<long> tid{0};
};

void *report_tid(qxio_t_task *task, void *arg)
{
  TidReporter *reporter = static_cast<TidReporter *>(arg);
  reporter->tid.store(syscall(SYS_gettid));
  return wait_at_gate(task, &reporter->gate);
}

/* The blocked-signal mask of a thread as the kernel shows it. */
uint64_t kernel_sigblk(long tid)
{
  std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigBlk:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
  }
  ADD_FAILURE() << "no SigBlk line for thread " << tid;
  return 0;
}

bool blocked(uint64_t mask, int signo) { return (mask >> (signo - 1)) & 1; }

uint64_t task_mask()
{
  TidReporter reporter;
  qxio_t_task *task;
  EXPECT_EQ(qxio_task_create(0, report_tid, &reporter, &task), 0);
  reporter.gate.wait_entered();
  uint64_t mask = kernel_sigblk(reporter.tid.load());
  qxio_event_set(reporter.gate.open);
  qxio_task_free(task);
  return mask;
}

const int kAsynchronousSignals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGUSR1,   SIGUSR2, SIGPIPE,
                                    SIGALRM, SIGTERM, SIGCHLD, SIGVTALRM, SIGPROF, SIGWINCH,
                                    SIGIO,   SIGURG,  SIGXCPU, SIGTSTP};
const int kFaultSignals[] = {SIGFPE, SIGILL, SIGSEGV, SIGBUS};

}  // namespace

TEST(TaskSignals, LibraryThreadBlocksAsynchronousSignalsOnly)
{
  sigset_t none, saved;
  sigemptyset(&none);
  pthread_sigmask(SIG_SETMASK, &none, &saved);
  uint64_t mask = task_mask();
  for (int signo : kAsynchronousSignals) EXPECT_TRUE(blocked(mask, signo)) << signo;
  for (int signo = SIGRTMIN; signo <= SIGRTMAX; signo++) EXPECT_TRUE(blocked(mask, signo)) << signo;
  for (int signo : kFaultSignals) EXPECT_FALSE(blocked(mask, signo)) << signo;
  EXPECT_FALSE(blocked(mask, SIGTTIN));
  EXPECT_FALSE(blocked(mask, SIGTTOU));
  /* the creating thread's own mask is as it was */
  EXPECT_EQ(kernel_sigblk(syscall(SYS_gettid)), 0u);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

TEST(TaskSignals, TerminalStopSignalsStayBlockedWhenTheCreatorBlocksThem)
{
  sigset_t terminal, saved;
  sigemptyset(&terminal);
  sigaddset(&terminal, SIGTTIN);
  sigaddset(&terminal, SIGTTOU);
  pthread_sigmask(SIG_SETMASK, &terminal, &saved);
  uint64_t mask = task_mask();
  EXPECT_TRUE(blocked(mask, SIGTTIN));
  EXPECT_TRUE(blocked(mask, SIGTTOU));
  for (int signo : kFaultSignals) EXPECT_FALSE(blocked(mask, signo)) << signo;
  uint64_t own = kernel_sigblk(syscall(SYS_gettid));
  EXPECT_TRUE(blocked(own, SIGTTIN));
  EXPECT_FALSE(blocked(own, SIGALRM));
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

/* ---- mutexes ---- */

TEST(Mutexes, NullMutexIsIgnored)
{
  EXPECT_EQ(qxio_mutex_lock(nullptr), 0);
  EXPECT_EQ(qxio_mutex_unlock(nullptr), 0);
  EXPECT_EQ(qxio_mutex_free(nullptr), 0);
  EXPECT_EQ(qxio_cond_var_free(nullptr), 0);
  qxio_t_mutex *none = nullptr;
  qxio_mutex_unlock_cleanup(&none);
  qxio_mutex_unlock_cleanup(nullptr);
}

TEST(Mutexes, DebugLockedByOtherSeesAnotherThreadsLock)
{
  qxio_t_mutex *mutex;
  ASSERT_EQ(qxio_mutex_new(&mutex, 0), 0);
  EXPECT_EQ(qxio_mutex_debug_is_locked_by_other(mutex), 0);
  EXPECT_EQ(qxio_mutex_debug_is_unlocked(mutex), 1);
  Gate gate;
  std::thread holder([&] {
    qxio_mutex_lock(mutex);
    qxio_event_set(gate.entered);
    qxio_event_wait(&gate.open, 1, nullptr);
    qxio_mutex_unlock(mutex);
  });
  gate.wait_entered();
  EXPECT_EQ(qxio_mutex_debug_is_locked_by_other(mutex), 1);
  EXPECT_EQ(qxio_mutex_debug_is_unlocked(mutex), 0);
  qxio_event_set(gate.open);
  holder.join();
  EXPECT_EQ(qxio_mutex_debug_is_locked_by_other(mutex), 0);
  /* the probe left the mutex free */
  EXPECT_EQ(qxio_mutex_lock(mutex), 0);
  EXPECT_EQ(qxio_mutex_unlock(mutex), 0);
  qxio_mutex_free(mutex);
}

TEST(Mutexes, UnlockCleanupReleasesAndClearsTheVariable)
{
  qxio_t_mutex *mutex;
  ASSERT_EQ(qxio_mutex_new(&mutex, 0), 0);
  qxio_t_mutex *held = mutex;
  qxio_mutex_lock(held);
  qxio_mutex_unlock_cleanup(&held);
  EXPECT_EQ(held, nullptr);
  EXPECT_EQ(qxio_mutex_debug_is_unlocked(mutex), 1);
  qxio_mutex_free(mutex);
}

/* ---- condition variables ---- */

namespace {

struct Monitor {
  qxio_t_mutex *mutex = nullptr;
  qxio_t_cond_var *cond = nullptr;
  Monitor()
  {
    EXPECT_EQ(qxio_mutex_new(&mutex, 0), 0);
    EXPECT_EQ(qxio_cond_var_new(&cond, 0), 0);
  }
  ~Monitor()
  {
    qxio_cond_var_free(cond);
    qxio_mutex_free(mutex);
  }
  /* A timed wait for a condition nobody signals; spurious wake-ups are waited through. */
  qxio_t_error_code wait_alone(const qxio_t_timespec &timeout)
  {
    qxio_mutex_lock(mutex);
    qxio_t_error_code rc;
    while ((rc = qxio_cond_var_timedwait(cond, mutex, &timeout)) == 0) {}
    qxio_mutex_unlock(mutex);
    return rc;
  }
};

}  // namespace

TEST(CondVars, RelativeTimeoutNeverEndsEarly)
{
  Monitor monitor;
  int64_t start = monotonic_ns();
  EXPECT_EQ(monitor.wait_alone({0, 200000000}), QXIO_E_TIMEOUT);
  EXPECT_GE(monotonic_ns() - start, 200000000);
}

TEST(CondVars, RelativeNanosecondsRoundUpToAMillisecond)
{
  Monitor monitor;
  int64_t start = monotonic_ns();
  EXPECT_EQ(monitor.wait_alone({0, 1}), QXIO_E_TIMEOUT);
  EXPECT_GE(monotonic_ns() - start, 1000000);
}

TEST(CondVars, LargeTimeoutIsAnAbsoluteDeadline)
{
  Monitor monitor;
  int64_t deadline = realtime_ns() + 300000000;
  qxio_t_timespec absolute = {long(deadline / 1000000000), long(deadline % 1000000000)};
  ASSERT_GE(absolute.sec, QXIO_ABSOLUTE_TIME_MIN);
  EXPECT_EQ(monitor.wait_alone(absolute), QXIO_E_TIMEOUT);
  EXPECT_GE(realtime_ns(), deadline);
}

TEST(CondVars, AbsoluteDeadlineInThePastTimesOutAtOnce)
{
  Monitor monitor;
  EXPECT_EQ(monitor.wait_alone({QXIO_ABSOLUTE_TIME_MIN, 0}), QXIO_E_TIMEOUT);
}

TEST(CondVars, MalformedTimeoutIsRefused)
{
  Monitor monitor;
  qxio_mutex_lock(monitor.mutex);
  qxio_t_timespec negative = {0, -1};
  EXPECT_EQ(qxio_cond_var_timedwait(monitor.cond, monitor.mutex, &negative),
            QXIO_E_PARAMETER_ERROR);
  qxio_t_timespec too_many_ns = {1, 1000000000};
  EXPECT_EQ(qxio_cond_var_timedwait(monitor.cond, monitor.mutex, &too_many_ns),
            QXIO_E_PARAMETER_ERROR);
  qxio_mutex_unlock(monitor.mutex);
}

/* Relative, and absolute past 2038-01-19 (beyond a signed 32-bit count of seconds). */
TEST(CondVars, SignalWakesATimedWaiterBeforeItsDeadline)
{
  const qxio_t_timespec limits[] = {kForever, {2208988800, 0}};
  for (const qxio_t_timespec &limit : limits) {
    Monitor monitor;
    bool ready = false;
    std::thread signaller([&] {
      qxio_mutex_lock(monitor.mutex);
      ready = true;
      qxio_cond_var_signal(monitor.cond, monitor.mutex, 0);
      qxio_mutex_unlock(monitor.mutex);
    });
    qxio_mutex_lock(monitor.mutex);
    qxio_t_error_code rc = 0;
    while (!ready && rc == 0) rc = qxio_cond_var_timedwait(monitor.cond, monitor.mutex, &limit);
    EXPECT_EQ(rc, 0) << limit.sec;
    EXPECT_TRUE(ready);
    qxio_mutex_unlock(monitor.mutex);
    signaller.join();
  }
}

TEST(CondVars, BroadcastWakesEveryWaiter)
{
  Monitor monitor;
  int generation = 0, waiting = 0, woken = 0;
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; i++)
    waiters.emplace_back([&] {
      qxio_mutex_lock(monitor.mutex);
      waiting++;
      qxio_cond_var_signal(monitor.cond, monitor.mutex, QXIO_COND_VAR_BROADCAST);
      while (generation == 0) qxio_cond_var_wait(monitor.cond, monitor.mutex);
      woken++;
      qxio_mutex_unlock(monitor.mutex);
    });
  qxio_mutex_lock(monitor.mutex);
  while (waiting < 4) qxio_cond_var_wait(monitor.cond, monitor.mutex);
  generation = 1;
  EXPECT_EQ(qxio_cond_var_signal(monitor.cond, monitor.mutex, QXIO_COND_VAR_BROADCAST), 0);
  qxio_mutex_unlock(monitor.mutex);
  for (std::thread &waiter : waiters) waiter.join();
  EXPECT_EQ(woken, 4);
}

TEST(CondVars, NowReadsTheRealTimeClock)
{
  int64_t before = realtime_ns();
  qxio_t_timespec now;
  ASSERT_EQ(qxio_cond_var_now(&now), 0);
  int64_t after = realtime_ns();
  int64_t read = int64_t(now.sec) * 1000000000 + now.nsec;
  EXPECT_LE(before, read);
  EXPECT_LE(read, after);
}
