/* Waiting on descriptors and streams, idle hooks during interactive reads on a pseudo-terminal,
 * and stream listeners, with child processes and threads as the other side. */
#include <sys/wait.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "stream_fixture.h"
#include "stream_kinds_fixture.h"

namespace {

/* A child that writes text to fd after a pause, then exits. */
pid_t child_writes_later(int fd, const char *text)
{
  pid_t pid = fork();
  if (pid == 0) {
    usleep(100000);
    ssize_t n = write(fd, text, std::strlen(text));
    _exit(n < 0 ? 1 : 0);
  }
  return pid;
}

void reap(pid_t pid)
{
  int status = 0;
  waitpid(pid, &status, 0);
}

/* A user device that never has data: its readable event is set from outside, and each read
 * answers that it would block and resets the event. */
struct restless {
  qxio_t_event *event = nullptr;
  qxio_t_error_code answer = QXIO_E_WOULD_BLOCK;
};

qxio_t_error_code restless_read(void *data, void *, size_t *size, uint32_t)
{
  qxio_event_reset(((restless *)data)->event);
  *size = 0;
  return ((restless *)data)->answer;
}

qxio_t_error_code restless_close(void **, uint32_t) { return 0; }

qxio_t_error_code restless_ioctl(void *data, qxio_t_ioctl_operation op, void *arg, uint32_t)
{
  if (op != QXIO_IOCTL_READABLE_EVENT_) return QXIO_E_NOT_SUPPORTED;
  *(qxio_t_event **)arg = ((restless *)data)->event;
  return 0;
}

/* Idle hooks that record their calls. */
std::vector<std::pair<int, intptr_t>> hook_calls;
int hook_a(void *cookie)
{
  hook_calls.push_back({0, (intptr_t)cookie});
  return 0;
}
int hook_b(void *cookie)
{
  hook_calls.push_back({1, (intptr_t)cookie});
  return 0;
}
int hook_removes_itself(void *cookie)
{
  hook_calls.push_back({2, (intptr_t)cookie});
  QX_install_idle_hook(hook_removes_itself, nullptr, QX_IDLE_REMOVE);
  return 0;
}
int hook_busy(void *cookie)
{
  hook_calls.push_back({3, (intptr_t)cookie});
  return 1;
}
int pty_master = -1;
int hook_types_a_line(void *)
{
  if (hook_calls.empty() && write(pty_master, "k\n", 2) != 2) return 0;
  hook_calls.push_back({4, 0});
  return 0;
}

/* Listener records. */
struct heard {
  std::mutex m;
  std::condition_variable cv;
  int calls = 0;
  uint32_t flags = 0;
  std::thread::id thread;
};

qxio_t_error_code listen(void *cookie, uint32_t flags)
{
  heard *h = (heard *)cookie;
  std::lock_guard<std::mutex> lock(h->m);
  h->calls++;
  h->flags = flags;
  h->thread = std::this_thread::get_id();
  h->cv.notify_all();
  return QXIO_S_DONE;
}

std::vector<std::pair<intptr_t, bool>> closes_seen;
QX_stream *closed_stream;
void on_close(QX_stream *stream, void *cookie, int event)
{
  if (event == QX_STREAM_EVENT_CLOSED && stream == closed_stream)
    closes_seen.push_back({(intptr_t)cookie, find_stream(stream) == nullptr});
}

}  // namespace

class SelectTest : public StreamTest {
protected:
  TAGGED flt(double d)
  {
    uint32_t words[2];
    std::memcpy(words, &d, sizeof d);
    return make_float(p.w, words[0], words[1]);
  }
  ~SelectTest() override
  {
    for (auto hook : {hook_a, hook_b, hook_removes_itself, hook_busy, hook_types_a_line})
      QX_install_idle_hook(hook, nullptr, QX_IDLE_REMOVE);
    hook_calls.clear();
  }
};

TEST_F(SelectTest, BufferedInputIsReadyAtOnceAndDescriptorsTimeOut)
{
  Watchdog dog("select on buffered input");
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  QX_stream *in = stream_over_fd(ends[0], QX_SC_INPUT);
  ASSERT_EQ(write(ends[1], "ab", 2), 2);
  ASSERT_EQ(qx_get_code_helper(in, 0), 'a'); /* "b" now waits in the node's buffer */
  QX_stream *streams[] = {in};
  size_t n = 1;
  ASSERT_EQ(
      QX_select(nullptr, nullptr, nullptr, nullptr, streams, &n, nullptr, nullptr, nullptr, 0), 0)
      << "no time-out, nothing left in the descriptor, yet ready";
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(streams[0], in);
  /* Descriptors alone: nothing ready with a zero time-out; then only the one with data. */
  int other[2];
  ASSERT_EQ(pipe2(other, O_CLOEXEC), 0);
  int fds[] = {ends[0], other[0]};
  size_t nf = 2;
  const qxio_t_timespec zero = {0, 0};
  EXPECT_EQ(QX_select(fds, &nf, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &zero, 0),
            QXIO_E_TIMEOUT);
  ASSERT_EQ(write(other[1], "z", 1), 1);
  nf = 2;
  ASSERT_EQ(QX_select(fds, &nf, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &zero, 0), 0);
  EXPECT_EQ(nf, 1u);
  EXPECT_EQ(fds[0], -1);
  EXPECT_EQ(fds[1], other[0]);
  /* A full pipe is not writable until its reader drains it. */
  fcntl(other[1], F_SETFL, O_NONBLOCK);
  char block[4096] = {};
  while (write(other[1], block, sizeof block) > 0) {}
  int wfds[] = {other[1]};
  size_t nw = 1;
  EXPECT_EQ(QX_select(nullptr, nullptr, wfds, &nw, nullptr, nullptr, nullptr, nullptr, &zero, 0),
            QXIO_E_TIMEOUT);
  while (read(other[0], block, sizeof block) == (ssize_t)sizeof block) {}
  nw = 1;
  EXPECT_EQ(QX_select(nullptr, nullptr, wfds, &nw, nullptr, nullptr, nullptr, nullptr, &zero, 0),
            0);
  EXPECT_EQ(nw, 1u);
  qx_fclose_internal(in, 0);
  for (int fd : {ends[1], other[0], other[1]}) close(fd);
}

TEST_F(SelectTest, WakeUpsWithNothingToReadDoNotRestartTheTimeOut)
{
  Watchdog dog("a 200 ms select woken every 20 ms", 30);
  restless r;
  ASSERT_EQ(qxio_event_new(0, &r.event), 0);
  QX_stream *s = nullptr;
  ASSERT_EQ(QX_create_stream(&r, "restless", restless_read, nullptr, nullptr, nullptr,
                             restless_close, nullptr, restless_ioctl, nullptr, QX_CS_BINARY, &s),
            0);
  std::atomic<bool> stop{false};
  std::thread setter([&] {
    while (!stop.load()) {
      qxio_event_set(r.event);
      usleep(20000);
    }
  });
  QX_stream *streams[] = {s};
  size_t n = 1;
  const qxio_t_timespec timeout = {0, 200000000};
  EXPECT_EQ(
      QX_select(nullptr, nullptr, nullptr, nullptr, streams, &n, nullptr, nullptr, &timeout, 0),
      QXIO_E_TIMEOUT);
  stop.store(true);
  setter.join();
  /* A read that fails is ready now: the reader's next read returns at once. */
  r.answer = QXIO_E_READ_ERROR;
  const qxio_t_timespec zero = {0, 0};
  EXPECT_EQ(QX_select(nullptr, nullptr, nullptr, nullptr, streams, &n, nullptr, nullptr, &zero, 0),
            0);
  EXPECT_EQ(n, 1u);
  qx_fclose_internal(s, 0);
  qxio_event_free(r.event);
}

TEST_F(SelectTest, SelectBuiltinWaitsForAChildAndChecksItsLists)
{
  Watchdog dog("$select/10 waiting for a child");
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  pid_t pid = child_writes_later(ends[1], "x");
  TAGGED fds = goal("[" + std::to_string(ends[0]) + "]");
  TAGGED ready = fresh(), result = fresh();
  bi_call r = call("$select", {fds, ready, at("[]"), fresh(), at("[]"), fresh(), at("[]"), fresh(),
                               flt(-1.0), result});
  ASSERT_EQ(r.rc, 1);
  EXPECT_EQ(TestProlog::show(ready), "[" + std::to_string(ends[0]) + "]");
  EXPECT_EQ(TestProlog::show(result), "0");
  reap(pid);
  /* A tiny positive time-out is a wait of one nanosecond, not a wait without limit. */
  char drained;
  ASSERT_EQ(read(ends[0], &drained, 1), 1);
  result = fresh();
  r = call("$select", {fds, fresh(), at("[]"), fresh(), at("[]"), fresh(), at("[]"), fresh(),
                       flt(1.0e-12), result});
  ASSERT_EQ(r.rc, 1);
  EXPECT_EQ(TestProlog::show(result), std::to_string(QXIO_E_TIMEOUT));
  /* Lists: elements that are no integers give the parameter error as Result; a dead stream
   * raises on its list's argument. */
  QX_stream *dead = null_stream(0x2);
  TAGGED dead_term = term(dead);
  qx_fclose_internal(dead, 0);
  const struct {
    int list;
    TAGGED elements;
    bool raises;
  } bad[] = {
      {0, goal("[a]"), false},
      {2, goal("[1.5]"), false},
      {0, goal("[1|_]"), false},
      {4, goal("[f(x)]"), false},
      {4, goal("[" + TestProlog::show(dead_term) + "]"), true},
      {6, goal("[user_input]"), true},
  };
  for (const auto &c : bad) {
    TAGGED args[10] = {at("[]"), fresh(),  at("[]"), fresh(),  at("[]"),
                       fresh(),  at("[]"), fresh(),  flt(0.0), fresh()};
    args[c.list] = c.elements;
    r = call("$select", {args[0], args[1], args[2], args[3], args[4], args[5], args[6], args[7],
                         args[8], args[9]});
    EXPECT_EQ(r.raised, c.raises) << TestProlog::show(c.elements);
    if (c.raises)
      EXPECT_EQ(r.argument, c.list + 1);
    else
      EXPECT_EQ(TestProlog::show(args[9]), std::to_string(QXIO_E_PARAMETER_ERROR));
  }
  close(ends[0]);
  close(ends[1]);
}

TEST_F(SelectTest, IdleHooksInstallReplaceRemoveAndRestartThePass)
{
  EXPECT_EQ(QX_install_idle_hook(nullptr, nullptr, 0), QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(QX_install_idle_hook(hook_a, nullptr, QX_IDLE_REMOVE), QXIO_E_NOT_FOUND);
  EXPECT_EQ(qx_run_idle_hooks(), 0) << "no hooks: nothing to run";
  ASSERT_EQ(QX_install_idle_hook(hook_a, (void *)1, 0), 0);
  ASSERT_EQ(QX_install_idle_hook(hook_a, (void *)2, 0), 0);
  EXPECT_EQ(qx_run_idle_hooks(), 1);
  EXPECT_EQ(hook_calls, (std::vector<std::pair<int, intptr_t>>{{0, 2}})) << "one entry, cookie 2";
  /* A hook that removes itself: the pass starts again and reaches the hook moved into its
   * place. */
  ASSERT_EQ(QX_install_idle_hook(hook_a, nullptr, QX_IDLE_REMOVE), 0);
  ASSERT_EQ(QX_install_idle_hook(hook_removes_itself, (void *)5, 0), 0);
  ASSERT_EQ(QX_install_idle_hook(hook_b, (void *)6, 0), 0);
  hook_calls.clear();
  EXPECT_EQ(qx_run_idle_hooks(), 1);
  EXPECT_EQ(hook_calls, (std::vector<std::pair<int, intptr_t>>{{2, 5}, {1, 6}}));
  /* Busy hooks: ten passes, then the read is tried again. */
  ASSERT_EQ(QX_install_idle_hook(hook_b, nullptr, QX_IDLE_REMOVE), 0);
  ASSERT_EQ(QX_install_idle_hook(hook_busy, (void *)7, 0), 0);
  hook_calls.clear();
  EXPECT_EQ(qx_run_idle_hooks(), 1);
  EXPECT_EQ(hook_calls.size(), 10u);
}

TEST_F(SelectTest, IdleHooksRunWhileAnInteractiveReadOnATerminalWaits)
{
  Watchdog dog("an interactive read with idle hooks");
  pty_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(pty_master, 0);
  ASSERT_EQ(grantpt(pty_master), 0);
  ASSERT_EQ(unlockpt(pty_master), 0);
  int slave = open(ptsname(pty_master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(slave, 0);
  QX_stream *in = stream_over_fd(slave, QX_SC_INPUT, true, QX_SC_INTERACTIVE);
  ASSERT_NE(in, nullptr);
  ASSERT_EQ(QX_install_idle_hook(hook_types_a_line, nullptr, 0), 0);
  EXPECT_EQ(qx_get_code_helper(in, 0), 'k') << "the line a hook typed";
  EXPECT_FALSE(hook_calls.empty());
  qx_fclose_internal(in, 0);
  close(pty_master);
}

TEST_F(SelectTest, ListenersHearInputAtOnceLaterAndClosesAfterTheFree)
{
  Watchdog dog("a listener waiting for a child");
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  QX_stream *in = stream_over_fd(ends[0], QX_SC_INPUT);
  EXPECT_EQ(QX_add_stream_listener(in, listen, nullptr, 0), QXIO_E_PARAMETER_ERROR);
  heard h;
  ASSERT_EQ(QX_add_stream_listener(in, listen, &h, QX_LISTEN_INPUT), 0);
  pid_t pid = child_writes_later(ends[1], "later");
  EXPECT_TRUE(in->flags & QX_SF_READ_LISTENER);
  {
    std::unique_lock<std::mutex> lock(h.m);
    h.cv.wait(lock, [&] { return h.calls > 0; });
  }
  EXPECT_NE(h.thread, std::this_thread::get_id()) << "called on the listener thread";
  reap(pid);
  /* Input is there now: the listener is called at once, on this thread, with 1. */
  heard now;
  EXPECT_EQ(QX_add_stream_listener(in, listen, &now, QX_LISTEN_INPUT), QXIO_S_DONE);
  EXPECT_EQ(now.calls, 1);
  EXPECT_EQ(now.flags, 1u);
  EXPECT_EQ(now.thread, std::this_thread::get_id());
  /* Closes: every live listener hears of it, after the node is gone. */
  ASSERT_EQ(add_stream_event_listener(on_close, (void *)1, 0), 0);
  ASSERT_EQ(add_stream_event_listener(on_close, (void *)2, QX_SEL_IN_FRONT), 0);
  ASSERT_EQ(add_stream_event_listener(on_close, (void *)3, 0), 0);
  EXPECT_EQ(remove_stream_event_listener((void *)3), 2);
  EXPECT_EQ(remove_stream_event_listener((void *)3), 1);
  closed_stream = in;
  ASSERT_EQ(qx_fclose_internal(in, 0), 2);
  EXPECT_EQ(closes_seen, (std::vector<std::pair<intptr_t, bool>>{{2, true}, {1, true}}));
  remove_stream_event_listener((void *)1);
  remove_stream_event_listener((void *)2);
  close(ends[1]);
}
