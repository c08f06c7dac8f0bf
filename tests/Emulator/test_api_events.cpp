/* Signals, interrupts and the event queue, with real signals: the ring's bound and order, the
 * interrupt and break requests, how a failing or throwing event ends the run, the final run,
 * disabled events, handlers installed through QX_signal, a signal that ends a blocked library
 * read, posting from signal handlers and threads under load, and the default process signal
 * set-up with its fault landing (the last two in forked children). */
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csetjmp>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

#include "builtins.h"
#include "engine_fixture.h"
#include "memman.h"
#include "orvalis.h"
#include "qxio.h"
#include "test_fork.h"
#include "stress_mode.h"

namespace {

using namespace engine_test;

std::vector<int> ran;                        /* ids of events run normally, in order */
std::vector<std::pair<int, int>> async_seen; /* (id, mode) of every call of an async event */

int id_of(void *data) { return (int)(intptr_t)data; }
void *as_data(int id) { return (void *)(intptr_t)id; }

int plain_event(void *data)
{
  ran.push_back(id_of(data));
  return 1;
}

int async_event(void *data, int mode)
{
  async_seen.push_back({id_of(data), mode});
  if (mode == QX_EVENT_RUN) ran.push_back(id_of(data));
  return QXIO_S_NOERR;
}

int noop_event(void *) { return 1; }

/* Stand-ins for what QX_fail and QX_raise_exception do inside a foreign function. */
void clear_excp_flag() { qx_w->fli_info.excp_flag = 0; }
void record_ball(const char *name) { qx_set_exception(qx_w, init_atom_check(name, 0)); }

int plain_fails(void *) { return 0; }
int plain_raises(void *)
{
  record_ball("oops");
  clear_excp_flag();
  return 0;
}
int plain_calls_fail(void *)
{
  clear_excp_flag();
  return 0;
}
int async_fails(void *, int) { return QXIO_S_PRIVATE_ERROR_1; }
int async_raises(void *, int)
{
  record_ball("oops");
  return QXIO_S_PRIVATE_ERROR_2;
}

/* Appends to the log that note/1 writes. */
void note_text(const char *text)
{
  if (!engine_test::log_text.empty()) engine_test::log_text += ",";
  engine_test::log_text += text;
}

/* What a QX_signal handler saw when it ran. */
struct handler_record {
  int calls = 0;
  int sig = 0;
  void *data = nullptr;
  bool on_engine_thread = false;
  bool signal_blocked = true; /* inside a signal handler the signal itself is blocked */
  bool query_running = false;
};
handler_record seen;
pthread_t engine_thread;

void recording_handler(int sig, void *data)
{
  seen.calls++;
  seen.sig = sig;
  seen.data = data;
  seen.on_engine_thread = pthread_equal(pthread_self(), engine_thread);
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  seen.signal_blocked = sigismember(&mask, sig) == 1;
  seen.query_running = qx_w->current_query != nullptr;
  note_text("handler");
}

int t_raise_usr1_twice(worker *)
{
  raise(SIGUSR1);
  raise(SIGUSR1);
  return 1;
}

int t_log_interrupt(worker *)
{
  note_text("interrupt");
  return 1;
}

int t_log_break(worker *)
{
  note_text("break");
  return 1;
}

void (*const handler_fn)(int, void *) = recording_handler;

class ApiEvents : public EngineTest {
protected:
  ApiEvents()
  {
    for (const qx_pred_row *r = qx_api_events_rows; r->name; r++)
      native(r->name, r->arity, r->function);
    native("raise_usr1_twice", 0, t_raise_usr1_twice);
    ran.clear();
    async_seen.clear();
    seen = handler_record{};
    engine_thread = pthread_self();
  }

  /* Posts no-op events until the queue refuses one: the slots that were free. */
  static int free_slots()
  {
    int n = 0;
    while (QX_event(noop_event, nullptr)) n++;
    return n;
  }
  static std::vector<int> ids(int from, int to)
  {
    std::vector<int> v((size_t)(to - from));
    std::iota(v.begin(), v.end(), from);
    return v;
  }
};

TEST_F(ApiEvents, The257thPostIsRefusedAndTheOthersRunInPostingOrder)
{
  for (int i = 0; i < 256; i++) {
    if (i % 2)
      ASSERT_EQ(QX_async_event(async_event, as_data(i), 0), QXIO_S_NOERR) << i;
    else
      ASSERT_EQ(QX_event(plain_event, as_data(i)), 1) << i;
  }
  EXPECT_EQ(QX_async_event(async_event, as_data(256), 0), QXIO_E_TRY_AGAIN);
  EXPECT_EQ(QX_event(plain_event, as_data(257)), 0);
  ASSERT_EQ(p.run("note(after)"), 1);
  EXPECT_EQ(ran, ids(0, 256));
  EXPECT_EQ(log(), "after") << "the events ran before the goal";
  /* Runs that leave the ring half full make the next posts wrap around its end. */
  ran.clear();
  for (int i = 0; i < 200; i++) ASSERT_EQ(QX_event(plain_event, as_data(i)), 1);
  ASSERT_EQ(p.run("true"), 1);
  for (int i = 200; i < 300; i++) ASSERT_EQ(QX_async_event(async_event, as_data(i), 0), 0);
  ASSERT_EQ(p.run("true"), 1);
  EXPECT_EQ(ran, ids(0, 300));
}

/* The limit words an event saw while it ran. */
TAGGED *seen_soft = nullptr, *seen_int = nullptr;
int limits_event(void *)
{
  seen_soft = qx_w->heap_warn_soft;
  seen_int = qx_w->int_heap_warn;
  return 1;
}

TEST_F(ApiEvents, PostingZeroesBothLimitWordsAndEachEventRunsWithThemRestored)
{
  ASSERT_NE(p.w->heap_warn, nullptr);
  ASSERT_EQ(QX_event(limits_event, nullptr), 1);
  EXPECT_EQ(p.w->heap_warn_soft, nullptr);
  EXPECT_EQ(p.w->int_heap_warn, nullptr);
  ASSERT_EQ(p.run("true"), 1);
  EXPECT_EQ(seen_soft, p.w->heap_warn);
  EXPECT_EQ(seen_int, p.w->heap_warn);
  /* Posted from an event: the next check runs it, the words stay zero for that. */
  ASSERT_EQ(QX_event([](void *) { return QX_event(limits_event, nullptr); }, nullptr), 1);
  seen_soft = seen_int = nullptr;
  ASSERT_EQ(p.run("note(a), note(b)"), 1);
  EXPECT_EQ(seen_soft, p.w->heap_warn);
  EXPECT_EQ(p.w->heap_warn_soft, p.w->heap_warn);
  /* A signal that arrives during the run keeps them zero: its handler runs at the next check. */
  ASSERT_NE(QX_signal(SIGUSR2, handler_fn, nullptr), QX_SIG_ERR);
  ASSERT_EQ(QX_event([](void *) { return raise(SIGUSR2) == 0 ? 1 : 0; }, nullptr), 1);
  ASSERT_EQ(QX_event(limits_event, nullptr), 1);
  ASSERT_EQ(p.run("note(c)"), 1);
  EXPECT_EQ(seen_soft, nullptr);
  EXPECT_EQ(seen_int, nullptr);
  EXPECT_EQ(log(), "a,b,handler,c") << "the check before the goal inside the query";
}

TEST_F(ApiEvents, RepeatedInterruptRequestsQueueOneEventUntilReset)
{
  native("control_c_handler", 0, t_log_interrupt);
  native("control_break_handler", 0, t_log_break);
  QX_ctrlc_action();
  QX_ctrlc_action();
  QX_ctrlbreak_action();
  QX_ctrlbreak_action();
  EXPECT_EQ(qx_get_ctrlc_pending(), 2);
  EXPECT_EQ(free_slots(), 254) << "one interrupt event and one break event";
  ASSERT_EQ(p.run("note(after)"), 1);
  EXPECT_EQ(log(), "break,interrupt,after") << "each handler is pushed as the next goal";
  /* Not reset: a further request is counted but queues nothing. */
  QX_ctrlc_action();
  EXPECT_EQ(qx_get_ctrlc_pending(), 3);
  EXPECT_EQ(free_slots(), 256);
  ASSERT_EQ(p.run("true"), 1);
  qx_reset_ctrlc_pending();
  EXPECT_EQ(qx_get_ctrlc_pending(), 0);
  QX_ctrlc_action();
  EXPECT_EQ(free_slots(), 255);
  ASSERT_EQ(p.run("true"), 1);
  EXPECT_EQ(log(), "break,interrupt,after,interrupt");
}

TEST_F(ApiEvents, InterruptAndBreakHandlersAbortTheQueryAndTakeTheirRequest)
{
  for (void (*action)(void) : {QX_ctrlc_action, QX_ctrlbreak_action}) {
    for (int round = 0; round < 2; round++) {
      action();
      EXPECT_EQ(p.run("note(never)"), -1) << round;
      EXPECT_EQ(exception(), "$reserved(3)");
      EXPECT_EQ(qx_get_ctrlc_pending(), 0);
    }
  }
  EXPECT_EQ(log(), "");
  EXPECT_EQ(p.run("note(later)"), 1);
  /* An interrupt event dropped because an earlier event failed is no longer pending: the
   * next request queues a new one. */
  for (void (*action)(void) : {QX_ctrlc_action, QX_ctrlbreak_action}) {
    ASSERT_EQ(QX_event(plain_fails, nullptr), 1);
    action();
    EXPECT_EQ(p.run("true"), 0);
    action();
    EXPECT_EQ(p.run("true"), -1);
    EXPECT_EQ(exception(), "$reserved(3)");
  }
}

TEST_F(ApiEvents, AnEventThatStopsTheRunTellsTheAsynchronousOnesLeftWhy)
{
  struct {
    const char *what;
    QX_EventFun plain;      /* the stopping event, plain ... */
    QX_AsyncEventFun async; /* ... or asynchronous */
    int query;              /* result of the query whose event check ran them */
    const char *ball;
    int mode; /* told to the asynchronous events left */
  } rows[] = {
      {"plain answers 0", plain_fails, nullptr, 0, nullptr, QX_EVENT_DISCARDED_FAILURE},
      {"plain raises", plain_raises, nullptr, -1, "oops", QX_EVENT_DISCARDED_EXCEPTION},
      {"plain calls QX_fail", plain_calls_fail, nullptr, 0, nullptr, QX_EVENT_DISCARDED_EXCEPTION},
      {"async fails", nullptr, async_fails, 0, nullptr, QX_EVENT_DISCARDED_FAILURE},
      {"async raises", nullptr, async_raises, -1, "oops", QX_EVENT_DISCARDED_EXCEPTION},
  };
  for (auto &row : rows) {
    SCOPED_TRACE(row.what);
    ran.clear();
    async_seen.clear();
    engine_test::log_text.clear();
    ASSERT_EQ(QX_event(plain_event, as_data(1)), 1);
    if (row.plain)
      ASSERT_EQ(QX_event(row.plain, nullptr), 1);
    else
      ASSERT_EQ(QX_async_event(row.async, nullptr, 0), 0);
    ASSERT_EQ(QX_event(plain_event, as_data(3)), 1);
    ASSERT_EQ(QX_async_event(async_event, as_data(4), 0), 0);
    ASSERT_EQ(QX_async_event(async_event, as_data(5), 0), 0);
    int caller_flag = p.w->fli_info.excp_flag;
    EXPECT_EQ(p.run("note(never)"), row.query);
    if (row.ball) {
      EXPECT_EQ(exception(), row.ball);
    }
    EXPECT_EQ(ran, std::vector<int>{1});
    EXPECT_EQ(async_seen, (std::vector<std::pair<int, int>>{{4, row.mode}, {5, row.mode}}));
    EXPECT_EQ(log(), "");
    EXPECT_EQ(p.w->events_disabled, 0);
    EXPECT_EQ(p.w->fli_info.excp_flag, caller_flag) << "the flag of the caller is back";
    /* Nothing is left over: the next query and its event run normally. */
    ASSERT_EQ(QX_event(plain_event, as_data(6)), 1);
    EXPECT_EQ(p.run("note(next)"), 1);
    EXPECT_EQ(ran, (std::vector<int>{1, 6}));
    EXPECT_EQ(log(), "next");
  }
}

TEST_F(ApiEvents, TheFinalRunCallsAsynchronousEventsWithMode1AndDropsPlainOnes)
{
  ASSERT_EQ(QX_event(plain_event, as_data(1)), 1);
  ASSERT_EQ(QX_async_event(async_event, as_data(2), 0), 0);
  ASSERT_EQ(QX_event(plain_event, as_data(3)), 1);
  ASSERT_EQ(QX_async_event(async_event, as_data(4), 0), 0);
  /* Shutdown disables events before its final run. */
  EXPECT_EQ(disable_events(), 1);
  EXPECT_EQ(qx_run_event(p.w, 1), 1);
  EXPECT_EQ(enable_events(), 0);
  EXPECT_TRUE(ran.empty());
  EXPECT_EQ(async_seen, (std::vector<std::pair<int, int>>{{2, 1}, {4, 1}}));
  /* No new events and no signal changes after the final run. */
  EXPECT_EQ(QX_event(plain_event, as_data(5)), 0);
  EXPECT_EQ(QX_async_event(async_event, as_data(6), 0), QXIO_E_INVALID_STATE);
  EXPECT_EQ(QX_signal(SIGUSR1, handler_fn, nullptr), QX_SIG_ERR);
  ASSERT_EQ(p.run("true"), 1);
  EXPECT_TRUE(ran.empty());
}

TEST_F(ApiEvents, NothingRunsWhileEventsAreDisabled)
{
  EXPECT_EQ(disable_events(), 1);
  EXPECT_EQ(disable_events(), 2);
  ASSERT_EQ(QX_event(plain_event, as_data(1)), 1);
  ASSERT_EQ(p.run("note(a)"), 1);
  EXPECT_EQ(qx_run_event(p.w, 0), 1) << "a normal run with events disabled runs nothing";
  EXPECT_EQ(enable_events(), 1);
  ASSERT_EQ(p.run("note(b)"), 1);
  EXPECT_TRUE(ran.empty());
  EXPECT_EQ(enable_events(), 0);
  EXPECT_EQ(p.w->heap_warn_soft, nullptr) << "enabling makes the next check look";
  EXPECT_EQ(p.w->int_heap_warn, nullptr);
  ASSERT_EQ(p.run("note(c)"), 1);
  EXPECT_EQ(ran, std::vector<int>{1});
  EXPECT_EQ(log(), "a,b,c");
  EXPECT_EQ(p.w->heap_warn_soft, p.w->heap_warn) << "both limit words are back";
  EXPECT_EQ(p.w->int_heap_warn, p.w->heap_warn);
}

TEST_F(ApiEvents, SignalRequestsOutsideTheTableOrTheRunningQueueAreRefused)
{
  struct {
    int sig;
    QX_SigFun handler;
  } refused[] = {{40, handler_fn},      {32, handler_fn},      {0, handler_fn},
                 {-1, handler_fn},      {SIGKILL, handler_fn}, {SIGSTOP, handler_fn},
                 {SIGKILL, QX_SIG_DFL}, {SIGUSR2, QX_SIG_DFL}, {SIGUSR2, QX_SIG_IGN}};
  for (auto &row : refused)
    EXPECT_EQ(QX_signal(row.sig, row.handler, nullptr), QX_SIG_ERR) << row.sig;
  EXPECT_EQ(QX_raise_signal(32), 0);
  EXPECT_EQ(QX_raise_signal(-1), 0);
  EXPECT_EQ(qx_raise_signal(SIGUSR2), 1) << "counted, though no handler runs for it";
  ASSERT_EQ(p.run("true"), 1);
  event_queue_remove();
  EXPECT_EQ(QX_signal(SIGUSR1, handler_fn, nullptr), QX_SIG_ERR);
  EXPECT_EQ(QX_raise_signal(SIGUSR1), 0);
  EXPECT_EQ(QX_event(plain_event, nullptr), 0);
  EXPECT_EQ(QX_async_event(async_event, nullptr, 0), QXIO_E_INVALID_STATE);
  EXPECT_EQ(seen.calls, 0);
}

TEST_F(ApiEvents, ASignalRunsItsHandlerOnceOnTheEngineThreadAtTheNextCall)
{
  int cookie = 0;
  QX_SigFun installed = QX_signal(SIGUSR1, handler_fn, &cookie);
  ASSERT_NE(installed, QX_SIG_ERR);
  struct sigaction action;
  ASSERT_EQ(sigaction(SIGUSR1, nullptr, &action), 0);
  EXPECT_NE(action.sa_handler, SIG_DFL);
  EXPECT_EQ(p.w->current_query, nullptr);
  ASSERT_EQ(p.run("note(before), raise_usr1_twice, note(after)"), 1);
  EXPECT_EQ(log(), "before,handler,after");
  EXPECT_EQ(seen.calls, 1) << "two deliveries before the check run the handler once";
  EXPECT_EQ(seen.sig, SIGUSR1);
  EXPECT_EQ(seen.data, &cookie);
  EXPECT_TRUE(seen.on_engine_thread);
  EXPECT_FALSE(seen.signal_blocked) << "not inside the signal handler";
  EXPECT_TRUE(seen.query_running);
  ASSERT_EQ(p.run("note(again)"), 1);
  EXPECT_EQ(seen.calls, 1);
  /* Back to the default action; a second reset finds the engine's no-op handler there. */
  EXPECT_EQ(QX_signal(SIGUSR1, QX_SIG_DFL, nullptr), installed);
  ASSERT_EQ(sigaction(SIGUSR1, nullptr, &action), 0);
  EXPECT_EQ(action.sa_handler, SIG_DFL);
  EXPECT_EQ(QX_signal(SIGUSR1, QX_SIG_IGN, nullptr), installed);
  ASSERT_EQ(sigaction(SIGUSR1, nullptr, &action), 0);
  EXPECT_EQ(action.sa_handler, SIG_IGN);
  raise(SIGUSR1);
  ASSERT_EQ(p.run("true"), 1);
  EXPECT_EQ(seen.calls, 1);
  /* Removing the queue gives the signal its default action back. */
  ASSERT_NE(QX_signal(SIGUSR1, handler_fn, &cookie), QX_SIG_ERR);
  event_queue_remove();
  ASSERT_EQ(sigaction(SIGUSR1, nullptr, &action), 0);
  EXPECT_EQ(action.sa_handler, SIG_DFL);
}

TEST_F(ApiEvents, ASignalEndsABlockedLibraryReadWithInterrupted)
{
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  QXIO stream = nullptr;
  ASSERT_EQ(qxio_layer_threaddevice_open_file_handle_unix(&stream, ends[0], QXIO_FD_READ), 0);
  ASSERT_NE(QX_signal(SIGUSR1, handler_fn, nullptr), QX_SIG_ERR);
  /* Sent until the read returns, so that one arrives while it is blocked. */
  std::atomic<bool> done{false};
  std::thread sender([&] {
    while (!done.load()) {
      pthread_kill(engine_thread, SIGUSR1);
      usleep(20000);
    }
  });
  qxio_t_buf *buf = nullptr;
  qxio_t_error_code rc = qxio_read(&stream, &buf, 0);
  done.store(true);
  sender.join();
  qxio_buf_free(buf);
  EXPECT_EQ(rc, QXIO_E_INTERRUPTED);
  EXPECT_EQ(seen.calls, 0) << "the handler waits for the engine's next call";
  ASSERT_EQ(p.run("note(after)"), 1);
  EXPECT_EQ(log(), "handler,after");
  EXPECT_TRUE(seen.on_engine_thread);
  close(ends[1]);
  EXPECT_EQ(qxio_close(&stream, 0), 0);
}

/* ---- posting under load ---- */

constexpr int ENGINE_POSTS = 20000;
constexpr int THREAD_POSTS = 20000;
constexpr int SIGNALS = 10000;
constexpr int ALL_IDS = ENGINE_POSTS + THREAD_POSTS + SIGNALS;

/* Shared with the parent, which watches progress. */
struct stress_state {
  std::atomic<uint32_t> progress;
  char failure[512];
};

struct stress_counts {
  std::atomic<uint8_t> accepted[ALL_IDS];
  int runs[ALL_IDS]; /* events run on the engine thread only */
  std::atomic<int> delivered;
};
stress_counts *counts;

int count_run(void *data, int mode)
{
  if (mode == QX_EVENT_RUN) counts->runs[id_of(data)]++;
  return QXIO_S_NOERR;
}

int count_run_plain(void *data)
{
  counts->runs[id_of(data)]++;
  return 1;
}

/* A client's own handler, installed with sigaction: posts one asynchronous event. */
void posting_handler(int)
{
  int saved_errno = errno;
  int id = ENGINE_POSTS + THREAD_POSTS + counts->delivered.load();
  if (QX_async_event(count_run, as_data(id), 0) == 0) counts->accepted[id].store(1);
  counts->delivered.fetch_add(1);
  errno = saved_errno;
}

/* The engine thread posts and runs events while a thread posts too and SIGUSR2 arrives 10,000
 * times, each delivery waited for before the next is sent. */
std::string stress_child(worker *w, stress_state *state)
{
  counts = new stress_counts();
  struct sigaction action {};
  action.sa_handler = posting_handler;
  sigemptyset(&action.sa_mask);
  sigaction(SIGUSR2, &action, nullptr);
  pthread_t engine = pthread_self();
  std::atomic<int> others_done{0};
  std::thread poster([&] {
    for (int i = 0; i < THREAD_POSTS; i++) {
      int id = ENGINE_POSTS + i;
      bool ok = i % 2 ? QX_async_event(count_run, as_data(id), 0) == 0
                      : QX_event(count_run_plain, as_data(id)) == 1;
      if (ok) counts->accepted[id].store(1);
    }
    others_done.fetch_add(1);
  });
  std::thread sender([&] {
    for (int i = 0; i < SIGNALS; i++) {
      pthread_kill(engine, SIGUSR2);
      while (counts->delivered.load() <= i) sched_yield();
      state->progress.fetch_add(1);
    }
    others_done.fetch_add(1);
  });
  for (int i = 0; others_done.load() < 2 || i < ENGINE_POSTS; i++) {
    if (i < ENGINE_POSTS && QX_async_event(count_run, as_data(i), 0) == 0)
      counts->accepted[i].store(1);
    qx_call_once(w, atom_true, qx_eg.user_module);
    state->progress.fetch_add(1);
  }
  poster.join();
  sender.join();
  qx_call_once(w, atom_true, qx_eg.user_module); /* what was posted last */
  std::string report;
  int wrong = 0;
  for (int id = 0; id < ALL_IDS; id++) {
    if (counts->runs[id] == counts->accepted[id].load()) continue;
    if (wrong++ < 5)
      report += "event " + std::to_string(id) + " accepted " +
                std::to_string(counts->accepted[id].load()) + " ran " +
                std::to_string(counts->runs[id]) + "; ";
  }
  if (wrong) report += std::to_string(wrong) + " wrong; ";
  if (counts->delivered.load() != SIGNALS)
    report += "deliveries " + std::to_string(counts->delivered.load());
  return report.empty() ? "ok" : report;
}

TEST_F(ApiEvents, PostingFromSignalHandlersAndThreadsUnderLoadNeverHangsNorLosesAnEvent)
{
  if (stress_mode_run())
    GTEST_SKIP() << "the collector has no part in posting; collecting at every call only slows "
                    "the engine loop the signals wait for";
  auto *state = (stress_state *)mmap(nullptr, sizeof(stress_state), PROT_READ | PROT_WRITE,
                                     MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(state, MAP_FAILED);
  new (state) stress_state();
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    std::string report = stress_child(p.w, state);
    std::snprintf(state->failure, sizeof state->failure, "%s", report.c_str());
    _exit(0);
  }
  ASSERT_GT(pid, 0);
  /* The watchdog: a child that makes no progress for 30 s hangs. */
  uint32_t last = 0;
  int quiet_polls = 0, status = 0;
  bool hung = false;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    usleep(10000);
    uint32_t now = state->progress.load();
    quiet_polls = now == last ? quiet_polls + 1 : 0;
    last = now;
    if (quiet_polls == 3000) {
      hung = true;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
  }
  EXPECT_FALSE(hung) << "no progress for 30 s after " << last << " steps";
  if (!hung) {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_STREQ(state->failure, "ok");
  }
  munmap(state, sizeof(stress_state));
}

/* ---- the default process signal set-up ---- */

/* Every catchable signal's action in a child that reset them all to the default first: the
 * signals whose action is not the default, as "sig:kind" with kind qx (the handler QX_signal
 * installs), ign, or fault (one other handler shared by all of them). */
std::string non_default_actions()
{
  QX_SigFun probe = QX_signal(SIGUSR2, handler_fn, nullptr);
  struct sigaction qx_action;
  sigaction(SIGUSR2, nullptr, &qx_action);
  QX_signal(SIGUSR2, QX_SIG_DFL, nullptr);
  if (probe == QX_SIG_ERR) return "QX_signal failed";
  std::string text;
  void (*fault)(int) = nullptr;
  for (int sig = 1; sig < 32; sig++) {
    struct sigaction a;
    if (sig == SIGUSR2 || sigaction(sig, nullptr, &a) != 0 || a.sa_handler == SIG_DFL) continue;
    const char *kind = "other";
    if (a.sa_handler == SIG_IGN)
      kind = "ign";
    else if (a.sa_handler == qx_action.sa_handler)
      kind = "qx";
    else if (fault == nullptr || a.sa_handler == fault)
      fault = a.sa_handler, kind = "fault";
    text += std::to_string(sig) + ":" + kind + " ";
  }
  return text;
}

void reset_all_actions()
{
  for (int sig = 1; sig < 32; sig++)
    if (sig != SIGKILL && sig != SIGSTOP) signal(sig, SIG_DFL);
}

std::string actions(std::initializer_list<std::pair<int, const char *>> list)
{
  std::string text;
  for (auto &a : list) text += std::to_string(a.first) + ":" + a.second + " ";
  return text;
}

TEST_F(ApiEvents, TheDefaultSetUpInstallsExactlyItsHandlers)
{
  const std::string full = actions({{SIGINT, "qx"},
                                    {SIGILL, "fault"},
                                    {SIGTRAP, "fault"},
                                    {SIGBUS, "fault"},
                                    {SIGSEGV, "fault"},
                                    {SIGPIPE, "ign"},
                                    {SIGVTALRM, "ign"},
                                    {SIGSYS, "fault"}});
  const std::string minimal = actions({{SIGINT, "qx"}, {SIGPIPE, "ign"}, {SIGVTALRM, "ign"}});
  const std::string long_yes = "y" + std::string(300, 'e');
  struct {
    const char *value; /* ORVALIS_MINIMAL_SIGNALS, null: unset */
    const std::string &expected;
  } rows[] = {
      {nullptr, full}, {"yes", minimal}, {"Y", minimal}, {"no", full}, {long_yes.c_str(), minimal},
      {"", full}};
  for (auto &row : rows) {
    SCOPED_TRACE(row.value ? row.value : "(unset)");
    forked_child child = run_forked([&] {
      if (row.value)
        setenv("ORVALIS_MINIMAL_SIGNALS", row.value, 1);
      else
        unsetenv("ORVALIS_MINIMAL_SIGNALS");
      /* the library's copy of the environment, taken when the engine started, afresh */
      qxio_init_environment(1);
      qxio_init_environment(0);
      reset_all_actions();
      ds_signals_init();
      std::string report = non_default_actions() + "| ";
      signals_disable_most();
      return report + non_default_actions();
    });
    EXPECT_TRUE(child.exited(0)) << child.status << child.err;
    EXPECT_EQ(child.report, row.expected + "| " + minimal);
  }
}

/* Raises each fault signal in turn with a recovery point set: the fault lands there with its
 * text, and again for a second fault of the same kind. */
std::string land_faults()
{
  reset_all_actions();
  unsetenv("ORVALIS_MINIMAL_SIGNALS");
  ds_signals_init();
  std::string report;
  for (int sig : {SIGBUS, SIGBUS, SIGSEGV, SIGILL, SIGTRAP, SIGSYS}) {
    static jmp_buf env;
    if (setjmp(env) == 0) {
      qx_set_abort_env(&env);
      raise(sig);
      report += "not landed ";
    } else {
      report += std::to_string(sig) + ":" + qx_get_abort_err_ienc() + ",";
    }
    qx_set_abort_env(nullptr);
  }
  return report;
}

TEST_F(ApiEvents, AFaultSignalLandsAtTheRecoveryPointWithItsText)
{
  forked_child child = run_forked(land_faults);
  EXPECT_TRUE(child.exited(0)) << child.status << child.err;
  EXPECT_EQ(child.report, std::to_string(SIGBUS) + ":bus error," + std::to_string(SIGBUS) +
                              ":bus error," + std::to_string(SIGSEGV) + ":segmentation violation," +
                              std::to_string(SIGILL) + ":illegal instruction," +
                              std::to_string(SIGTRAP) + ":trace trap," + std::to_string(SIGSYS) +
                              ":bad system call arg,");
  /* Without a recovery point the fault ends the process with its message, not with a core. */
  forked_child bare = run_forked([] {
    reset_all_actions();
    ds_signals_init();
    raise(SIGBUS);
    return std::string("survived");
  });
  EXPECT_TRUE(bare.exited(1)) << bare.status;
  EXPECT_EQ(bare.report, "");
  EXPECT_EQ(bare.err, "! bus error\n");
}

}  // namespace
