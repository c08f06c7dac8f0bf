/* Events and waiting. An event is a self-pipe (set by writing a byte, reset by draining it,
   signalled while its read end is readable) or the readiness of a descriptor. A wait of the
   main thread also watches the library's interrupt event, so that qxio_interrupt cuts it
   short with QXIO_E_INTERRUPTED. */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <atomic>

#include "qxio_internal.h"

struct qxio_t_event_funcs {
  qxio_t_error_code (*set)(qxio_t_event *event);
  qxio_t_error_code (*reset)(qxio_t_event *event);
  qxio_t_error_code (*query)(qxio_t_event *event);
  void (*release)(qxio_t_event *event);
};

struct qxio_t_event {
  const qxio_t_event_funcs *funcs;
  uint32_t flags; /* EVENT_... below */
};

namespace {

/* Bits 1 and 2 hold the reference count (at most three); bit 4 marks a descriptor event. */
const uint32_t EVENT_REF_ONE = 0x2;
const uint32_t EVENT_REF_MASK = 0x6;
const uint32_t EVENT_FD = 0x10;

const int CLOSED_END = -2;
const size_t FIXED_POLL_EVENTS = 10;
const long NSEC_PER_SEC = 1000000000L;
const long DEFAULT_LOOP_USEC = 500000;
/* A private code: the wait was cut by a signal and is made again. */
const qxio_t_error_code WAIT_AGAIN = QXIO_E_PRIVATE_ERROR_0;

struct qxio_t_pipe_event {
  qxio_t_event event;
  qxio_t_event_raw raw;
};

struct qxio_t_fd_event {
  qxio_t_event event;
  int read_fd;
  int write_fd;
};

/* Module state. The settings are written at module start and read by waits on any thread. */
std::atomic<int> use_poll{1};
std::atomic<int> timeout_loop{0};
std::atomic<long> timeout_loop_usec{DEFAULT_LOOP_USEC};
/* The interrupt event exists between module start and stop; the interrupt thread, which
   reads it, runs only within that time. */
std::atomic<qxio_t_event *> interrupt_event{nullptr};
std::atomic<int> main_waiting{0};
/* Interrupts already answered by a main-thread wait (main thread only). */
unsigned interrupts_consumed = 0;

/* ---- raw self-pipes ---- */

qxio_t_error_code create_pipe(int ends[2])
{
  if (qxio_pipe_above_std(ends, O_NONBLOCK | O_CLOEXEC) != 0) {
    ends[0] = ends[1] = CLOSED_END;
    return qxio_map_unix_error(errno, QXIO_E_OS_ERROR);
  }
  if (!use_poll.load(std::memory_order_relaxed) &&
      (ends[0] >= FD_SETSIZE || ends[1] >= FD_SETSIZE)) {
    close(ends[0]);
    close(ends[1]);
    ends[0] = ends[1] = CLOSED_END;
    return QXIO_E_OS_ERROR;
  }
  return QXIO_S_NOERR;
}

/* The acquiring half of a set: called when the pipe was found readable. */
void acquire_sets(const qxio_t_event_raw *raw)
{
  (void)__atomic_load_n(&raw->sets, __ATOMIC_ACQUIRE);
}

void close_pipe(int ends[2])
{
  for (int i = 0; i < 2; i++) {
    if (ends[i] >= 0) close(ends[i]);
    ends[i] = CLOSED_END;
  }
}

/* Reads until the pipe is empty. */
qxio_t_error_code drain_pipe(int fd)
{
  unsigned char bytes[100];
  for (;;) {
    ssize_t n = read(fd, bytes, sizeof bytes);
    if (n > 0) continue;
    if (n == 0) return QXIO_S_NOERR;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return QXIO_S_NOERR;
    return qxio_map_unix_error(errno, QXIO_E_ERROR);
  }
}

/* ---- time-outs ---- */

bool is_zero(const qxio_t_timespec *timeout)
{
  return timeout != nullptr && timeout->sec == 0 && timeout->nsec == 0;
}

qxio_t_error_code check_timeout(const qxio_t_timespec *timeout)
{
  if (timeout != nullptr && (timeout->sec < 0 || timeout->nsec < 0)) return QXIO_E_PARAMETER_ERROR;
  return QXIO_S_NOERR;
}

/* poll's time-out: milliseconds rounded up, -1 for none. */
qxio_t_error_code timeout_msec(const qxio_t_timespec *timeout, int *msec_out)
{
  if (timeout == nullptr) {
    *msec_out = -1;
    return QXIO_S_NOERR;
  }
  /* past the limit whatever the nanoseconds; checked first, so the product cannot overflow */
  if (timeout->sec > 0x7FFFFFFF / 1000) return QXIO_E_PRIVATE_ERROR_1;
  int64_t msec = timeout->sec * 1000 + (timeout->nsec + 999999LL) / 1000000;
  if (msec > 0x7FFFFFFF) return QXIO_E_PRIVATE_ERROR_1;
  *msec_out = static_cast<int>(msec);
  return QXIO_S_NOERR;
}

/* select's time-out: whole seconds carried out of the nanoseconds, the rest rounded up to
   microseconds. */
void timeout_timeval(const qxio_t_timespec *timeout, struct timeval *tv)
{
  tv->tv_sec = timeout->sec + timeout->nsec / NSEC_PER_SEC;
  tv->tv_usec = (timeout->nsec % NSEC_PER_SEC + 999) / 1000;
  if (tv->tv_usec >= 1000000) {
    tv->tv_sec += 1;
    tv->tv_usec -= 1000000;
  }
}

/* Waits until fd is readable: 0, QXIO_E_TIMEOUT or an error. */
qxio_t_error_code wait_readable(int fd, const qxio_t_timespec *timeout)
{
  qxio_t_error_code rc = check_timeout(timeout);
  if (rc < 0) return rc;
  if (use_poll.load(std::memory_order_relaxed)) {
    int msec;
    rc = timeout_msec(timeout, &msec);
    if (rc < 0) return rc;
    struct pollfd pfd = {fd, POLLIN, 0};
    int n;
    while ((n = poll(&pfd, 1, msec)) < 0 && errno == EINTR) {}
    if (n < 0) return qxio_map_unix_error(errno, QXIO_E_OS_ERROR);
    if (n == 0) return QXIO_E_TIMEOUT;
    if (pfd.revents & (POLLIN | POLLHUP)) return QXIO_S_NOERR;
    if (pfd.revents & POLLERR) return QXIO_E_OS_ERROR;
    if (pfd.revents & POLLNVAL) return QXIO_E_INTERNAL_ERROR;
    return QXIO_E_IMPOSSIBLE_ERROR;
  }
  if (fd < 0 || fd >= FD_SETSIZE) return QXIO_E_OS_ERROR;
  int n;
  do {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    struct timeval tv;
    if (timeout != nullptr) timeout_timeval(timeout, &tv);
    n = select(fd + 1, &readable, nullptr, nullptr, timeout != nullptr ? &tv : nullptr);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return qxio_map_unix_error(errno, QXIO_E_OS_ERROR);
  return n == 0 ? QXIO_E_TIMEOUT : QXIO_S_NOERR;
}

/* ---- the two event classes ---- */

qxio_t_event_raw *pipe_raw(qxio_t_event *event)
{
  return &reinterpret_cast<qxio_t_pipe_event *>(event)->raw;
}

qxio_t_error_code pipe_event_set(qxio_t_event *event)
{
  return qxio_event_raw_set(pipe_raw(event));
}

qxio_t_error_code pipe_event_reset(qxio_t_event *event)
{
  return qxio_event_raw_reset(pipe_raw(event));
}

qxio_t_error_code pipe_event_query(qxio_t_event *event)
{
  static const qxio_t_timespec zero = {0, 0};
  qxio_t_error_code rc = qxio_event_raw_wait(pipe_raw(event), &zero);
  if (rc == QXIO_E_TIMEOUT) return 0;
  return rc < 0 ? rc : 1;
}

void pipe_event_release(qxio_t_event *event)
{
  close_pipe(pipe_raw(event)->pipe);
  qxio_free(event);
}

const qxio_t_event_funcs pipe_event_funcs = {pipe_event_set, pipe_event_reset, pipe_event_query,
                                             pipe_event_release};

qxio_t_error_code fd_event_not_supported(qxio_t_event *event) { return QXIO_E_NOT_SUPPORTED; }

qxio_t_error_code fd_event_query(qxio_t_event *event)
{
  static const qxio_t_timespec zero = {0, 0};
  qxio_t_error_code rc = qxio_event_wait(&event, 1, &zero);
  if (rc == QXIO_E_TIMEOUT) return 0;
  return rc < 0 ? rc : 1;
}

void fd_event_release(qxio_t_event *event) { qxio_free(event); }

const qxio_t_event_funcs fd_event_funcs = {fd_event_not_supported, fd_event_not_supported,
                                           fd_event_query, fd_event_release};

/* Called for an event found ready by a wait. */
void acquire_ready(const qxio_t_event *event)
{
  if (!(event->flags & EVENT_FD))
    acquire_sets(&reinterpret_cast<const qxio_t_pipe_event *>(event)->raw);
}

/* The descriptor an event is watched on, and whether for writing. */
int event_descriptor(const qxio_t_event *event, bool *for_write)
{
  *for_write = false;
  if (event->flags & EVENT_FD) {
    const qxio_t_fd_event *fd_event = reinterpret_cast<const qxio_t_fd_event *>(event);
    if (fd_event->read_fd != -1) return fd_event->read_fd;
    *for_write = true;
    return fd_event->write_fd;
  }
  return reinterpret_cast<const qxio_t_pipe_event *>(event)->raw.pipe[0];
}

/* ---- waiting on several events ---- */

/* One wait: the events, the interrupt event's descriptor when it is watched, and the
   time-out of each round (a slice of the time-out loop, or the caller's). */
struct wait_plan {
  qxio_t_event *const *events;
  size_t count;
  int interrupt_fd; /* -1 when not watched */
  const qxio_t_timespec *round_timeout;
  bool sliced;
  struct pollfd *fds; /* poll only */
};

/* Whether an interrupt came that no main-thread wait has answered yet. */
bool interrupt_pending() { return qxio_interrupt_count() != interrupts_consumed; }

/* True once for every batch of interrupts not yet answered by a main-thread wait. */
bool take_interrupt()
{
  unsigned count = qxio_interrupt_count();
  if (count == interrupts_consumed) return false;
  interrupts_consumed = count;
  return true;
}

qxio_t_error_code poll_round(wait_plan *plan, const qxio_t_timespec *timeout, bool *interrupt_ready)
{
  size_t nfds = plan->count + (plan->interrupt_fd >= 0 ? 1 : 0);
  int msec;
  qxio_t_error_code rc = timeout_msec(timeout, &msec);
  if (rc < 0) return rc;
  int n = poll(plan->fds, nfds, msec);
  if (n < 0) return errno == EINTR ? WAIT_AGAIN : qxio_map_unix_error(errno, QXIO_E_OS_ERROR);
  int ready = 0;
  for (size_t i = 0; i < plan->count; i++) {
    if (plan->fds[i].revents & POLLNVAL) return QXIO_E_INTERNAL_ERROR;
    if (plan->fds[i].revents == 0) continue;
    acquire_ready(plan->events[i]);
    ready++;
  }
  if (plan->interrupt_fd >= 0 && plan->fds[plan->count].revents != 0) *interrupt_ready = true;
  return ready;
}

qxio_t_error_code select_round(wait_plan *plan, const qxio_t_timespec *timeout,
                               bool *interrupt_ready)
{
  fd_set readable, writable;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  int max_fd = plan->interrupt_fd;
  if (plan->interrupt_fd >= 0) FD_SET(plan->interrupt_fd, &readable);
  for (size_t i = 0; i < plan->count; i++) {
    bool for_write;
    int fd = event_descriptor(plan->events[i], &for_write);
    if (fd < 0 || fd >= FD_SETSIZE) return QXIO_E_OS_ERROR;
    FD_SET(fd, for_write ? &writable : &readable);
    if (fd > max_fd) max_fd = fd;
  }
  struct timeval tv;
  if (timeout != nullptr) timeout_timeval(timeout, &tv);
  int n = select(max_fd + 1, &readable, &writable, nullptr, timeout != nullptr ? &tv : nullptr);
  if (n < 0) return errno == EINTR ? WAIT_AGAIN : qxio_map_unix_error(errno, QXIO_E_OS_ERROR);
  int ready = 0;
  for (size_t i = 0; i < plan->count; i++) {
    bool for_write;
    int fd = event_descriptor(plan->events[i], &for_write);
    if (!FD_ISSET(fd, for_write ? &writable : &readable)) continue;
    acquire_ready(plan->events[i]);
    ready++;
  }
  if (plan->interrupt_fd >= 0 && FD_ISSET(plan->interrupt_fd, &readable)) *interrupt_ready = true;
  return ready;
}

/* Waits round after round until an event is ready, the time-out passes or (when the
   interrupt event is watched) an interrupt arrives. An event that is ready wins: a wait whose
   event is set succeeds even with an interrupt pending, which the next wait that would block
   answers. An interrupt that came before the wait makes its round a mere look, so that it is
   answered at once when nothing is ready. */
qxio_t_error_code wait_rounds(wait_plan *plan, bool poll_mode)
{
  static const qxio_t_timespec zero = {0, 0};
  bool watched = plan->interrupt_fd >= 0;
  for (;;) {
    const qxio_t_timespec *timeout = watched && interrupt_pending() ? &zero : plan->round_timeout;
    bool interrupt_ready = false;
    qxio_t_error_code rc = poll_mode ? poll_round(plan, timeout, &interrupt_ready)
                                     : select_round(plan, timeout, &interrupt_ready);
    if (rc == WAIT_AGAIN) continue;
    if (rc < 0) return rc;
    if (rc > 0) return rc;
    if (watched && take_interrupt()) return QXIO_E_INTERRUPTED;
    if (interrupt_ready) {
      /* set for an interrupt that an earlier wait answered already */
      qxio_event_reset(interrupt_event.load());
      continue;
    }
    if (!plan->sliced) return QXIO_E_TIMEOUT;
  }
}

void fill_pollfds(wait_plan *plan)
{
  for (size_t i = 0; i < plan->count; i++) {
    bool for_write;
    plan->fds[i].fd = event_descriptor(plan->events[i], &for_write);
    plan->fds[i].events = for_write ? POLLWRNORM : POLLRDNORM;
    plan->fds[i].revents = 0;
  }
  if (plan->interrupt_fd >= 0) {
    plan->fds[plan->count].fd = plan->interrupt_fd;
    plan->fds[plan->count].events = POLLRDNORM;
    plan->fds[plan->count].revents = 0;
  }
}

/* Makes the poll array (fixed for up to ten events) and waits. */
qxio_t_error_code poll_wait(wait_plan *plan)
{
  struct pollfd fixed[FIXED_POLL_EVENTS + 1];
  plan->fds = fixed;
  if (plan->count > FIXED_POLL_EVENTS) {
    if (qxio_is_in_main_thread() != 1) return QXIO_E_OUT_OF_MEMORY;
    plan->fds = static_cast<struct pollfd *>(qxio_alloc((plan->count + 1) * sizeof(struct pollfd)));
    if (plan->fds == nullptr) return QXIO_E_OUT_OF_MEMORY;
  }
  fill_pollfds(plan);
  qxio_t_error_code rc = wait_rounds(plan, true);
  if (plan->fds != fixed) qxio_free(plan->fds);
  return rc;
}

}  // namespace

/* ---- raw self-pipes ---- */

qxio_t_error_code qxio_event_raw_new(qxio_t_event_raw **raw_out)
{
  *raw_out = nullptr;
  qxio_t_event_raw *raw = static_cast<qxio_t_event_raw *>(qxio_alloc(sizeof(qxio_t_event_raw)));
  if (raw == nullptr) return QXIO_E_OUT_OF_MEMORY;
  raw->sets = 0;
  qxio_t_error_code rc = create_pipe(raw->pipe);
  if (rc < 0) {
    qxio_free(raw);
    return rc;
  }
  *raw_out = raw;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_event_raw_free(qxio_t_event_raw *raw)
{
  if (raw == nullptr) return QXIO_S_NOERR;
  close_pipe(raw->pipe);
  qxio_free(raw);
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_event_pipe_write(int fd)
{
  int saved_errno = errno;
  static const unsigned char one = 1;
  qxio_t_error_code rc = QXIO_S_NOERR;
  for (;;) {
    if (write(fd, &one, 1) == 1) break;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) rc = qxio_map_unix_error(errno, QXIO_E_ERROR);
    break;
  }
  errno = saved_errno;
  return rc;
}

qxio_t_error_code qxio_event_raw_set(qxio_t_event_raw *raw)
{
  __atomic_fetch_add(&raw->sets, 1, __ATOMIC_RELEASE);
  return qxio_event_pipe_write(raw->pipe[1]);
}

qxio_t_error_code qxio_event_raw_reset(qxio_t_event_raw *raw) { return drain_pipe(raw->pipe[0]); }

qxio_t_error_code qxio_event_raw_wait(qxio_t_event_raw *raw, const qxio_t_timespec *timeout)
{
  qxio_t_error_code rc = wait_readable(raw->pipe[0], timeout);
  if (rc == QXIO_S_NOERR) acquire_sets(raw);
  return rc;
}

/* ---- events ---- */

qxio_t_error_code qxio_event_new(uint32_t options, qxio_t_event **event_out)
{
  *event_out = nullptr;
  qxio_t_pipe_event *pipe_event =
      static_cast<qxio_t_pipe_event *>(qxio_alloc(sizeof(qxio_t_pipe_event)));
  if (pipe_event == nullptr) return QXIO_E_OUT_OF_MEMORY;
  pipe_event->event.funcs = &pipe_event_funcs;
  pipe_event->event.flags = EVENT_REF_ONE;
  pipe_event->raw.sets = 0;
  qxio_t_error_code rc = create_pipe(pipe_event->raw.pipe);
  if (rc >= 0 && (options & QXIO_EVENT_NEW_SIGNALLED)) rc = qxio_event_raw_set(&pipe_event->raw);
  if (rc < 0) {
    close_pipe(pipe_event->raw.pipe);
    qxio_free(pipe_event);
    return rc;
  }
  *event_out = &pipe_event->event;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_fd_event_new(int read_fd, int write_fd, uint32_t options,
                                    qxio_t_event **event_out)
{
  *event_out = nullptr;
  if ((read_fd == -1) == (write_fd == -1)) return QXIO_E_PARAMETER_ERROR;
  qxio_t_fd_event *fd_event = static_cast<qxio_t_fd_event *>(qxio_alloc(sizeof(qxio_t_fd_event)));
  if (fd_event == nullptr) return QXIO_E_OUT_OF_MEMORY;
  fd_event->event.funcs = &fd_event_funcs;
  fd_event->event.flags = EVENT_REF_ONE | EVENT_FD;
  fd_event->read_fd = read_fd;
  fd_event->write_fd = write_fd;
  *event_out = &fd_event->event;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_event_set(qxio_t_event *event)
{
  if (event == nullptr) return QXIO_E_PARAMETER_ERROR;
  qxio_t_error_code rc = event->funcs->set(event);
  return rc < 0 ? rc : QXIO_S_NOERR;
}

qxio_t_error_code qxio_event_reset(qxio_t_event *event)
{
  if (event == nullptr) return QXIO_E_PARAMETER_ERROR;
  qxio_t_error_code rc = event->funcs->reset(event);
  return rc < 0 ? rc : QXIO_S_NOERR;
}

int qxio_event_query(qxio_t_event *event)
{
  if (event == nullptr) return 0;
  return event->funcs->query(event) == 1 ? 1 : 0;
}

/* References are counted atomically: an event may be shared with a listener's thread. */
qxio_t_error_code qxio_event_add_ref(qxio_t_event *event)
{
  uint32_t flags = __atomic_load_n(&event->flags, __ATOMIC_RELAXED);
  do {
    if ((flags & EVENT_REF_MASK) == EVENT_REF_MASK) return QXIO_E_INTERNAL_ERROR;
  } while (!__atomic_compare_exchange_n(&event->flags, &flags, flags + EVENT_REF_ONE, true,
                                        __ATOMIC_ACQ_REL, __ATOMIC_RELAXED));
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_event_free(qxio_t_event *event)
{
  if (event == nullptr) return QXIO_S_NOERR;
  uint32_t flags = __atomic_load_n(&event->flags, __ATOMIC_RELAXED);
  do {
    if ((flags & EVENT_REF_MASK) == 0) return QXIO_E_INTERNAL_ERROR;
  } while (!__atomic_compare_exchange_n(&event->flags, &flags, flags - EVENT_REF_ONE, true,
                                        __ATOMIC_ACQ_REL, __ATOMIC_RELAXED));
  if (((flags - EVENT_REF_ONE) & EVENT_REF_MASK) == 0) event->funcs->release(event);
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_event_wait(qxio_t_event *const *events, size_t count,
                                  const qxio_t_timespec *timeout)
{
  if (count > 0 && events == nullptr) return QXIO_E_PARAMETER_ERROR;
  qxio_t_error_code rc = check_timeout(timeout);
  if (rc < 0) return rc;
  bool zero = is_zero(timeout);
  if (zero && count == 0) return QXIO_E_TIMEOUT;
  qxio_t_event *interrupt = interrupt_event.load();
  bool watch_interrupt = !zero && interrupt != nullptr && qxio_is_in_main_thread() == 1;
  qxio_t_timespec slice;
  wait_plan plan = {events, count, -1, timeout, false, nullptr};
  if (timeout == nullptr && timeout_loop.load(std::memory_order_relaxed)) {
    long usec = timeout_loop_usec.load(std::memory_order_relaxed);
    slice.sec = usec / 1000000;
    slice.nsec = (usec % 1000000) * 1000;
    plan.round_timeout = &slice;
    plan.sliced = true;
  }
  if (watch_interrupt) {
    plan.interrupt_fd = pipe_raw(interrupt)->pipe[0];
    main_waiting.store(1);
  }
  if (use_poll.load(std::memory_order_relaxed))
    rc = poll_wait(&plan);
  else
    rc = wait_rounds(&plan, false);
  if (watch_interrupt) main_waiting.store(0);
  if (rc == QXIO_E_INTERRUPTED) qxio_ensure_interrupts_done();
  return rc;
}

/* ---- module ---- */

namespace {

/* Runs on the interrupt thread: wake the main thread's wait, if there is one. */
void qxio_event_pipe_interrupt_hook(void *arg)
{
  qxio_t_event *interrupt = interrupt_event.load();
  if (main_waiting.load() && interrupt != nullptr) qxio_event_set(interrupt);
}

bool poll_wanted()
{
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 &&
      (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > 1024))
    return true;
  return qxio_get_boolean_system_property("QXIO_USE_POLL", 0) == 1;
}

}  // namespace

void qxio_event_pipe_get_settings(qxio_t_event_pipe_settings *settings_out)
{
  settings_out->use_poll = use_poll.load();
  settings_out->timeout_loop = timeout_loop.load();
  settings_out->timeout_loop_usec = timeout_loop_usec.load();
}

qxio_t_error_code qxio_init_event_pipe(uint32_t deinit)
{
  if (deinit) {
    qxio_register_interrupt_hook(qxio_event_pipe_interrupt_hook, nullptr,
                                 QXIO_INTERRUPT_HOOK_REMOVE);
    qxio_t_event *interrupt = interrupt_event.exchange(nullptr);
    return qxio_event_free(interrupt);
  }
  use_poll.store(poll_wanted() ? 1 : 0);
  timeout_loop.store(
      qxio_get_boolean_system_property("QXIO_EVENT_PIPE_SELECT_WITH_TIMEOUT_LOOP", 0) == 1 ? 1 : 0);
  long usec = qxio_get_ssize_system_property("QXIO_EVENT_PIPE_SELECT_WITH_TIMEOUT_LOOP_USEC",
                                             DEFAULT_LOOP_USEC);
  timeout_loop_usec.store(usec <= 9999 ? DEFAULT_LOOP_USEC : usec);
  qxio_t_event *interrupt;
  qxio_t_error_code rc = qxio_event_new(0, &interrupt);
  if (rc < 0) return rc;
  rc = qxio_register_interrupt_hook(qxio_event_pipe_interrupt_hook, nullptr, 0);
  if (rc < 0) {
    qxio_event_free(interrupt);
    return rc;
  }
  interrupts_consumed = qxio_interrupt_count();
  interrupt_event.store(interrupt);
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_init_event(uint32_t deinit)
{
  if (deinit) {
    qxio_event_listener_shutdown();
    return qxio_init_event_pipe(1);
  }
  return qxio_init_event_pipe(0);
}
