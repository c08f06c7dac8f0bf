/* Events and waits on real pipes, in both the poll and the select mode of the library; the
   interrupt of a main-thread wait by real signals; the event listener. */
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "qxio_internal.h"

namespace {

const qxio_t_timespec kZero = {0, 0};
const qxio_t_timespec kForever = {3600, 0};

int64_t monotonic_ns()
{
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

qxio_t_event *new_event(uint32_t options = 0)
{
  qxio_t_event *event = nullptr;
  EXPECT_EQ(qxio_event_new(options, &event), 0);
  return event;
}

/* Starts the library with the soft descriptor limit and the properties given, so that its
   event module picks poll or select; everything is put back afterwards. */
class EventLibrary {
public:
  EventLibrary(rlim_t soft_limit, const char *use_poll)
  {
    getrlimit(RLIMIT_NOFILE, &saved_);
    struct rlimit lowered = saved_;
    lowered.rlim_cur = soft_limit;
    EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    if (use_poll != nullptr) qxio_set_system_property("QXIO_USE_POLL", use_poll, 0);
    EXPECT_EQ(qxio_init(nullptr, nullptr, 0), 0);
  }
  ~EventLibrary()
  {
    EXPECT_EQ(qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN), 0);
    setrlimit(RLIMIT_NOFILE, &saved_);
  }
  int use_poll()
  {
    qxio_t_event_pipe_settings settings;
    qxio_event_pipe_get_settings(&settings);
    return settings.use_poll;
  }

private:
  struct rlimit saved_;
};

}  // namespace

TEST(EventModes, HighDescriptorLimitSelectsPoll)
{
  EventLibrary library(4096, "false");
  EXPECT_EQ(library.use_poll(), 1);
}

TEST(EventModes, LowDescriptorLimitSelectsSelectUnlessPollIsAsked)
{
  {
    EventLibrary library(1024, nullptr);
    EXPECT_EQ(library.use_poll(), 0);
  }
  {
    EventLibrary library(1024, "TRUE");
    EXPECT_EQ(library.use_poll(), 1);
  }
}

TEST(EventModes, TimeoutLoopIntervalBelowTenMillisecondsGivesTheDefault)
{
  qxio_set_system_property("QXIO_EVENT_PIPE_SELECT_WITH_TIMEOUT_LOOP", "true", 0);
  qxio_set_system_property("QXIO_EVENT_PIPE_SELECT_WITH_TIMEOUT_LOOP_USEC", "5000", 0);
  ASSERT_EQ(qxio_init(nullptr, nullptr, 0), 0);
  qxio_t_event_pipe_settings settings;
  qxio_event_pipe_get_settings(&settings);
  EXPECT_EQ(settings.timeout_loop, 1);
  EXPECT_EQ(settings.timeout_loop_usec, 500000);
  ASSERT_EQ(qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN), 0);
  qxio_set_system_property("QXIO_EVENT_PIPE_SELECT_WITH_TIMEOUT_LOOP", "yes", 0);
  qxio_set_system_property("QXIO_EVENT_PIPE_SELECT_WITH_TIMEOUT_LOOP_USEC", "20000", 0);
  ASSERT_EQ(qxio_init(nullptr, nullptr, 0), 0);
  qxio_event_pipe_get_settings(&settings);
  EXPECT_EQ(settings.timeout_loop_usec, 20000);
  /* a sliced wait without time-out still ends when another thread sets the event */
  qxio_t_event *event = new_event();
  std::thread setter([&] { qxio_event_set(event); });
  EXPECT_EQ(qxio_event_wait(&event, 1, nullptr), 1);
  setter.join();
  qxio_event_free(event);
  ASSERT_EQ(qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN), 0);
}

/* The basic behaviour of events, run in both waiting modes. */
class Events : public ::testing::TestWithParam<bool> {
protected:
  void SetUp() override { library_ = new EventLibrary(GetParam() ? 4096 : 1024, "false"); }
  void TearDown() override { delete library_; }
  EventLibrary *library_ = nullptr;
};

INSTANTIATE_TEST_SUITE_P(PollAndSelect, Events, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &info) {
                           return info.param ? "Poll" : "Select";
                         });

TEST_P(Events, ModeIsTheOneAsked) { EXPECT_EQ(library_->use_poll(), GetParam() ? 1 : 0); }

TEST_P(Events, ZeroTimeoutPollsWithoutBlocking)
{
  qxio_t_event *event = new_event();
  EXPECT_EQ(qxio_event_wait(&event, 1, &kZero), QXIO_E_TIMEOUT);
  EXPECT_EQ(qxio_event_query(event), 0);
  ASSERT_EQ(qxio_event_set(event), 0);
  EXPECT_EQ(qxio_event_wait(&event, 1, &kZero), 1);
  EXPECT_EQ(qxio_event_query(event), 1);
  qxio_event_free(event);
  EXPECT_EQ(qxio_event_wait(nullptr, 0, &kZero), QXIO_E_TIMEOUT);
}

TEST_P(Events, SettingTwiceAndResettingOnceLeavesItClear)
{
  qxio_t_event *event = new_event();
  qxio_event_set(event);
  qxio_event_set(event);
  EXPECT_EQ(qxio_event_reset(event), 0);
  EXPECT_EQ(qxio_event_query(event), 0);
  EXPECT_EQ(qxio_event_wait(&event, 1, &kZero), QXIO_E_TIMEOUT);
  qxio_event_free(event);
}

TEST_P(Events, CreatedSignalledWhenAsked)
{
  qxio_t_event *event = new_event(QXIO_EVENT_NEW_SIGNALLED);
  EXPECT_EQ(qxio_event_query(event), 1);
  qxio_event_free(event);
}

TEST_P(Events, SettingAFullPipeStillSucceeds)
{
  qxio_t_event *event = new_event();
  for (int i = 0; i < 70000; i++) ASSERT_EQ(qxio_event_set(event), 0);
  EXPECT_EQ(qxio_event_reset(event), 0);
  EXPECT_EQ(qxio_event_query(event), 0);
  qxio_event_free(event);
}

TEST_P(Events, WaitCountsTheSignalledEvents)
{
  qxio_t_event *events[3] = {new_event(), new_event(), new_event()};
  qxio_event_set(events[0]);
  qxio_event_set(events[2]);
  EXPECT_EQ(qxio_event_wait(events, 3, &kForever), 2);
  EXPECT_EQ(qxio_event_query(events[1]), 0);
  for (qxio_t_event *event : events) qxio_event_free(event);
}

TEST_P(Events, WaitEndsWhenAnotherThreadSets)
{
  qxio_t_event *events[2] = {new_event(), new_event()};
  std::thread setter([&] { qxio_event_set(events[1]); });
  EXPECT_EQ(qxio_event_wait(events, 2, nullptr), 1);
  setter.join();
  EXPECT_EQ(qxio_event_query(events[1]), 1);
  for (qxio_t_event *event : events) qxio_event_free(event);
}

TEST_P(Events, TimedWaitNeverEndsEarly)
{
  qxio_t_event *event = new_event();
  int64_t start = monotonic_ns();
  qxio_t_timespec timeout = {0, 50000000};
  EXPECT_EQ(qxio_event_wait(&event, 1, &timeout), QXIO_E_TIMEOUT);
  EXPECT_GE(monotonic_ns() - start, 50000000);
  qxio_event_free(event);
}

/* A time-out below a millisecond is rounded up (poll: to a whole millisecond, select: to a
   microsecond), never cut to a zero-length look; being a real wait, it is also ended by an
   interrupt, which a zero time-out leaves pending. */
TEST_P(Events, SubMillisecondTimeoutIsRoundedUp)
{
  qxio_t_event *event = new_event();
  const int64_t grain = GetParam() ? 1000000 : 1000;
  for (long nsec : {1L, 999L, 500000L, 999999L}) {
    qxio_t_timespec timeout = {0, nsec};
    int64_t start = monotonic_ns();
    EXPECT_EQ(qxio_event_wait(&event, 1, &timeout), QXIO_E_TIMEOUT) << nsec;
    EXPECT_GE(monotonic_ns() - start, (nsec + grain - 1) / grain * grain) << nsec;
    qxio_interrupt();
    EXPECT_EQ(qxio_event_wait(&event, 1, &kZero), QXIO_E_TIMEOUT) << nsec;
    EXPECT_EQ(qxio_event_wait(&event, 1, &timeout), QXIO_E_INTERRUPTED) << nsec;
  }
  qxio_event_free(event);
}

TEST_P(Events, NegativeTimeoutIsRefused)
{
  qxio_t_event *event = new_event();
  qxio_t_timespec negative = {-1, 0};
  EXPECT_EQ(qxio_event_wait(&event, 1, &negative), QXIO_E_PARAMETER_ERROR);
  qxio_event_free(event);
}

TEST_P(Events, DescriptorEventFollowsTheDescriptor)
{
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
  qxio_t_event *readable = nullptr, *writable = nullptr;
  ASSERT_EQ(qxio_fd_event_new(fds[0], -1, 0, &readable), 0);
  ASSERT_EQ(qxio_fd_event_new(-1, fds[1], 0, &writable), 0);
  EXPECT_EQ(qxio_event_set(readable), QXIO_E_NOT_SUPPORTED);
  EXPECT_EQ(qxio_event_reset(readable), QXIO_E_NOT_SUPPORTED);
  EXPECT_EQ(qxio_event_query(readable), 0);
  EXPECT_EQ(qxio_event_query(writable), 1);
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  EXPECT_EQ(qxio_event_query(readable), 1);
  /* fill the pipe: the write end stops being ready */
  char block[4096] = {};
  while (write(fds[1], block, sizeof block) > 0) {}
  while (write(fds[1], block, 1) > 0) {}
  EXPECT_EQ(qxio_event_query(writable), 0);
  EXPECT_EQ(qxio_event_wait(&writable, 1, &kZero), QXIO_E_TIMEOUT);
  qxio_event_free(readable);
  qxio_event_free(writable);
  /* the descriptors stay the caller's */
  EXPECT_NE(fcntl(fds[0], F_GETFD), -1);
  close(fds[0]);
  close(fds[1]);
}

TEST_P(Events, DescriptorEventNeedsExactlyOneDescriptor)
{
  qxio_t_event *event = nullptr;
  EXPECT_EQ(qxio_fd_event_new(-1, -1, 0, &event), QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(qxio_fd_event_new(3, 4, 0, &event), QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(event, nullptr);
}

TEST_P(Events, RawPipeWaitsAndResets)
{
  qxio_t_event_raw *raw = nullptr;
  ASSERT_EQ(qxio_event_raw_new(&raw), 0);
  EXPECT_EQ(qxio_event_raw_wait(raw, &kZero), QXIO_E_TIMEOUT);
  EXPECT_EQ(qxio_event_raw_set(raw), 0);
  EXPECT_EQ(qxio_event_raw_wait(raw, &kForever), 0);
  EXPECT_EQ(qxio_event_raw_reset(raw), 0);
  EXPECT_EQ(qxio_event_raw_wait(raw, &kZero), QXIO_E_TIMEOUT);
  EXPECT_EQ(qxio_event_raw_free(raw), 0);
}

TEST_P(Events, TheLastReferenceReleasesTheEvent)
{
  qxio_t_allocator_counts before, after;
  qxio_allocator_default_counts(&before);
  qxio_t_event *event = new_event();
  EXPECT_EQ(qxio_event_add_ref(event), 0);
  EXPECT_EQ(qxio_event_add_ref(event), 0);
  EXPECT_EQ(qxio_event_add_ref(event), QXIO_E_INTERNAL_ERROR); /* three at most */
  EXPECT_EQ(qxio_event_free(event), 0);
  EXPECT_EQ(qxio_event_free(event), 0);
  qxio_allocator_default_counts(&after);
  EXPECT_EQ(after.allocations - before.allocations, after.frees - before.frees + 1);
  EXPECT_EQ(qxio_event_query(event), 0); /* still alive and usable */
  EXPECT_EQ(qxio_event_free(event), 0);
  qxio_allocator_default_counts(&after);
  EXPECT_EQ(after.allocations - before.allocations, after.frees - before.frees);
  EXPECT_EQ(qxio_event_free(nullptr), 0);
}

TEST_P(Events, ManyEventsInTheMainThreadAndTenElsewhere)
{
  std::vector<qxio_t_event *> events;
  for (int i = 0; i < 14; i++) events.push_back(new_event());
  qxio_event_set(events[13]);
  qxio_event_set(events[4]);
  EXPECT_EQ(qxio_event_wait(events.data(), 14, &kZero), 2);
  qxio_t_error_code ten = 0, fourteen = 0;
  std::thread other([&] {
    ten = qxio_event_wait(events.data(), 10, &kZero);
    fourteen = qxio_event_wait(events.data(), 14, &kZero);
  });
  other.join();
  EXPECT_EQ(ten, 1);
  if (GetParam())
    EXPECT_EQ(fourteen, QXIO_E_OUT_OF_MEMORY);
  else
    EXPECT_EQ(fourteen, 2);
  for (qxio_t_event *event : events) qxio_event_free(event);
}

/* ---- interrupts of main-thread waits by real signals ---- */

namespace {

void interrupt_on_signal(int) { qxio_interrupt(); }

class Interrupts : public ::testing::Test {
protected:
  void SetUp() override
  {
    ASSERT_EQ(qxio_init(nullptr, nullptr, 0), 0);
    struct sigaction action = {};
    action.sa_handler = interrupt_on_signal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &action, &saved_), 0);
    never_ = new_event();
  }
  void TearDown() override
  {
    struct itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &saved_, nullptr);
    qxio_event_free(never_);
    ASSERT_EQ(qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN), 0);
  }
  /* A main-thread wait that is not about interrupts: they are waited through. */
  static qxio_t_error_code wait_through_interrupts(qxio_t_event *event)
  {
    qxio_t_error_code rc;
    while ((rc = qxio_event_wait(&event, 1, &kForever)) == QXIO_E_INTERRUPTED) {}
    return rc;
  }
  static void alarm_in(long usec)
  {
    struct itimerval timer = {};
    timer.it_value.tv_sec = usec / 1000000;
    timer.it_value.tv_usec = usec % 1000000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);
  }
  struct sigaction saved_;
  qxio_t_event *never_ = nullptr;
};

}  // namespace

namespace {

/* Turns a lost wake-up into a failure instead of a hang: when a round makes no progress for
   five seconds, the waited event is set, so the wait answers 1 instead of an interrupt. */
class Watchdog {
public:
  explicit Watchdog(qxio_t_event *event) : thread_([this, event] { watch(event); }) {}
  ~Watchdog()
  {
    stop_.store(1);
    thread_.join();
  }
  void next_round() { rounds_.fetch_add(1); }

private:
  void watch(qxio_t_event *event)
  {
    int seen = -1, quiet = 0;
    while (!stop_.load()) {
      usleep(10000);
      int now = rounds_.load();
      quiet = now == seen ? quiet + 1 : 0;
      seen = now;
      if (quiet == 500) qxio_event_set(event);
    }
  }
  std::atomic<int> rounds_{0};
  std::atomic<int> stop_{0};
  std::thread thread_;
};

}  // namespace

TEST_F(Interrupts, EndTheMainThreadsWaitButNotAnotherThreads)
{
  Watchdog watchdog(never_);
  qxio_t_event *other_event = new_event();
  std::atomic<int> other_result{1};
  std::atomic<int> other_done{0};
  std::thread other([&] {
    other_result.store(qxio_event_wait(&other_event, 1, nullptr));
    other_done.store(1);
  });
  alarm_in(20000);
  EXPECT_EQ(qxio_event_wait(&never_, 1, nullptr), QXIO_E_INTERRUPTED);
  /* a second interrupt, sent just before the wait */
  watchdog.next_round();
  qxio_interrupt();
  EXPECT_EQ(qxio_event_wait(&never_, 1, nullptr), QXIO_E_INTERRUPTED);
  EXPECT_EQ(other_done.load(), 0);
  qxio_event_set(other_event);
  other.join();
  EXPECT_EQ(other_result.load(), 1);
  qxio_event_free(other_event);
}

TEST_F(Interrupts, NoWakeUpIsLostAmongAThousandRandomSignals)
{
  Watchdog watchdog(never_);
  std::mt19937 random(20240607);
  for (int i = 0; i < 1000; i++) {
    watchdog.next_round();
    if (random() % 4 == 0)
      raise(SIGALRM); /* just before the wait starts */
    else
      alarm_in(1 + long(random() % 300));
    ASSERT_EQ(qxio_event_wait(&never_, 1, nullptr), QXIO_E_INTERRUPTED) << "round " << i;
  }
}

TEST_F(Interrupts, SignalHandledOnAnotherThreadEndsTheMainWait)
{
  Watchdog watchdog(never_);
  std::mt19937 random(7);
  for (int i = 0; i < 200; i++) {
    watchdog.next_round();
    long delay = long(random() % 200);
    std::thread sender([delay] {
      if (delay > 0) usleep(delay);
      raise(SIGALRM); /* the handler runs on this thread */
    });
    EXPECT_EQ(qxio_event_wait(&never_, 1, nullptr), QXIO_E_INTERRUPTED) << "round " << i;
    sender.join();
  }
}

TEST_F(Interrupts, ZeroTimeoutPollLeavesAnInterruptForTheNextWait)
{
  const qxio_t_timespec bounded = {5, 0};
  qxio_interrupt();
  EXPECT_EQ(qxio_event_wait(&never_, 1, &kZero), QXIO_E_TIMEOUT);
  EXPECT_EQ(qxio_event_wait(&never_, 1, &bounded), QXIO_E_INTERRUPTED);
  /* answered once: a signalled event is now reported as such */
  qxio_event_set(never_);
  EXPECT_EQ(qxio_event_wait(&never_, 1, &bounded), 1);
}

/* An event already set is found even with an interrupt pending, from qxio_interrupt or from
   a real signal; the interrupt is not lost: the next wait that would block answers it. */
TEST_F(Interrupts, EventAlreadySetWinsOverAPendingInterrupt)
{
  const qxio_t_timespec bounded = {5, 0};
  qxio_t_event *set = new_event(QXIO_EVENT_NEW_SIGNALLED);
  qxio_t_event *both[] = {never_, set};
  for (int round = 0; round < 4; round++) {
    if (round % 2 == 0)
      qxio_interrupt();
    else
      raise(SIGALRM);
    const qxio_t_timespec *timeout = round < 2 ? nullptr : &bounded;
    EXPECT_EQ(qxio_event_wait(&set, 1, timeout), 1) << "round " << round;
    EXPECT_EQ(qxio_event_wait(both, 2, timeout), 1) << "round " << round;
    EXPECT_EQ(qxio_event_wait(&never_, 1, &bounded), QXIO_E_INTERRUPTED) << "round " << round;
  }
  qxio_event_free(set);
}

TEST_F(Interrupts, HooksRunOnTheInterruptThreadInRegistrationOrder)
{
  struct Record {
    std::vector<int> order;
    std::thread::id thread;
    qxio_t_event *done;
  } record;
  record.done = new_event();
  auto first = [](void *arg) {
    Record *r = static_cast<Record *>(arg);
    r->order.push_back(1);
    r->thread = std::this_thread::get_id();
  };
  auto second = [](void *arg) {
    Record *r = static_cast<Record *>(arg);
    r->order.push_back(2);
    qxio_event_set(r->done);
  };
  ASSERT_EQ(qxio_register_interrupt_hook(first, &record, 0), 0);
  ASSERT_EQ(qxio_register_interrupt_hook(second, &record, 0), 0);
  qxio_interrupt();
  ASSERT_EQ(wait_through_interrupts(record.done), 1);
  EXPECT_EQ(record.order, (std::vector<int>{1, 2}));
  EXPECT_NE(record.thread, std::this_thread::get_id());
  /* after unregistering the first, only the second runs */
  ASSERT_EQ(qxio_register_interrupt_hook(first, nullptr, QXIO_INTERRUPT_HOOK_REMOVE), 0);
  ASSERT_EQ(qxio_register_interrupt_hook(first, nullptr, QXIO_INTERRUPT_HOOK_REMOVE), 0);
  qxio_event_reset(record.done);
  qxio_interrupt();
  ASSERT_EQ(wait_through_interrupts(record.done), 1);
  EXPECT_EQ(record.order, (std::vector<int>{1, 2, 2}));
  qxio_register_interrupt_hook(second, nullptr, QXIO_INTERRUPT_HOOK_REMOVE);
  qxio_event_free(record.done);
}

/* ---- the event listener ---- */

namespace {

struct ListenerProbe {
  qxio_t_event *watched = nullptr;
  qxio_t_event *called = nullptr;
  std::atomic<int> calls{0};
  qxio_t_error_code answer = QXIO_S_NOERR;
  ListenerProbe()
  {
    watched = new_event();
    called = new_event();
  }
  ~ListenerProbe()
  {
    qxio_event_free(watched);
    qxio_event_free(called);
  }
  void set_and_wait_for_call()
  {
    qxio_event_reset(called);
    qxio_event_set(watched);
    ASSERT_EQ(qxio_event_wait(&called, 1, &kForever), 1);
  }
};

qxio_t_error_code count_call(void *data, uint32_t options)
{
  ListenerProbe *probe = static_cast<ListenerProbe *>(data);
  qxio_event_reset(probe->watched);
  probe->calls.fetch_add(1);
  qxio_event_set(probe->called);
  return probe->answer;
}

}  // namespace

TEST(Listener, CallsBackEachTimeTheEventIsSet)
{
  ListenerProbe probe;
  ASSERT_EQ(qxio_add_event_listener(probe.watched, count_call, &probe, 0), 0);
  probe.set_and_wait_for_call();
  probe.set_and_wait_for_call();
  EXPECT_EQ(qxio_remove_event_listener(probe.watched, count_call, &probe, 0), 0);
  EXPECT_EQ(probe.calls.load(), 2);
  /* the listener's reference is gone: ours is the last */
  EXPECT_EQ(qxio_event_add_ref(probe.watched), 0);
  EXPECT_EQ(qxio_event_add_ref(probe.watched), 0);
  qxio_event_free(probe.watched);
  qxio_event_free(probe.watched);
}

TEST(Listener, RemovingWithAnotherEventOrCallbackDoesNothing)
{
  ListenerProbe probe, other;
  ASSERT_EQ(qxio_add_event_listener(probe.watched, count_call, &probe, 0), 0);
  EXPECT_EQ(qxio_remove_event_listener(other.watched, nullptr, nullptr, 0), 0);
  EXPECT_EQ(qxio_remove_event_listener(probe.watched, count_call, &other, 0), 0);
  probe.set_and_wait_for_call();
  EXPECT_EQ(probe.calls.load(), 1);
  EXPECT_EQ(qxio_remove_event_listener(probe.watched, nullptr, nullptr, 0), 0);
}

TEST(Listener, CallbackAnsweringDoneEndsTheListener)
{
  ListenerProbe probe;
  probe.answer = QXIO_S_DONE;
  ASSERT_EQ(qxio_add_event_listener(probe.watched, count_call, &probe, 0), 0);
  probe.set_and_wait_for_call();
  EXPECT_EQ(qxio_remove_event_listener(probe.watched, count_call, &probe, 0), 0);
  EXPECT_EQ(probe.calls.load(), 1);
}

TEST(Listener, AddingAnotherReplacesTheFirst)
{
  ListenerProbe first, second;
  ASSERT_EQ(qxio_add_event_listener(first.watched, count_call, &first, 0), 0);
  ASSERT_EQ(qxio_add_event_listener(second.watched, count_call, &second, 0), 0);
  /* the first listener is gone and has dropped its reference to the first event */
  EXPECT_EQ(qxio_event_add_ref(first.watched), 0);
  EXPECT_EQ(qxio_event_add_ref(first.watched), 0);
  EXPECT_EQ(qxio_event_add_ref(first.watched), QXIO_E_INTERNAL_ERROR);
  qxio_event_free(first.watched);
  qxio_event_free(first.watched);
  second.set_and_wait_for_call();
  EXPECT_EQ(qxio_remove_event_listener(second.watched, nullptr, nullptr, 0), 0);
  EXPECT_EQ(first.calls.load(), 0);
  EXPECT_EQ(second.calls.load(), 1);
}

TEST(Listener, LibraryShutdownStopsIt)
{
  ASSERT_EQ(qxio_init(nullptr, nullptr, 0), 0);
  ListenerProbe probe;
  ASSERT_EQ(qxio_add_event_listener(probe.watched, count_call, &probe, 0), 0);
  probe.set_and_wait_for_call();
  ASSERT_EQ(qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN), 0);
  EXPECT_EQ(probe.calls.load(), 1);
  /* the stopped listener dropped its reference */
  EXPECT_EQ(qxio_event_add_ref(probe.watched), 0);
  EXPECT_EQ(qxio_event_add_ref(probe.watched), 0);
  EXPECT_EQ(qxio_event_add_ref(probe.watched), QXIO_E_INTERNAL_ERROR);
  qxio_event_free(probe.watched);
  qxio_event_free(probe.watched);
}
