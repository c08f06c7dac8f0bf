/* The timeout resource: runs a goal under a limit of user CPU time. It arms the virtual interval
 * timer; the handler of its signal, installed through QX_signal, runs on the engine thread at the
 * next safe point, clears the armed flag and posts an event that raises time_out. */
#include <signal.h>
#include <sys/time.h>
#include <sys/times.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "datadefs.h"

static ORVALIS_API_STRUCT *qx_timeout_api;
#define QX_RESOURCE_API qx_timeout_api
#include "orvalis.h"
#include "qxlibres.h"

namespace {

constexpr int TO_SYSTEM_ERROR = 5; /* the native error code of system_error(Message) */
constexpr long TO_DEFAULT_TICKS = 100;

struct timeout_state {
  QX_atom off;    /* the atom off, registered while the resource is loaded */
  bool armed;     /* the timer is set and has not fired */
  int64_t expiry; /* CPU milliseconds at which the armed timer fires */
  long ticks;     /* clock ticks per second */
};
timeout_state to = {0, false, 0, TO_DEFAULT_TICKS};

/* Milliseconds of user CPU time. */
int64_t cpu_time_now()
{
  tms now;
  times(&now);
  return (int64_t)now.tms_utime * 1000 / to.ticks;
}

void raise_system_error(const char *message)
{
  QX_term_ref culprit = QX_new_term_ref();
  if (!culprit) { /* no room for the error: the call fails */
    QX_fail();
    return;
  }
  QX_put_integer(culprit, 0);
  QX_save_error(TO_SYSTEM_ERROR, message, culprit);
  QX_raise_error("prolog", "$start_timer_a", 3, 0);
}

int alarm_event(void *)
{
  QX_signal(SIGVTALRM, QX_SIG_IGN, nullptr);
  QX_term_ref ball = QX_new_term_ref();
  if (!ball) return 0;
  QX_put_string(ball, "time_out");
  QX_raise_exception(ball);
  return 0;
}

void alarm_h(int, void *)
{
  to.armed = false;
  QX_event(alarm_event, nullptr);
}

/* 0 or the error number of setitimer. The signal is ignored first, so that a timer that fires
 * meanwhile is lost rather than raised; QX_signal refuses that when no handler of ours was ever
 * installed, and then the signal was never ours to reset. */
int alarm_clock_off()
{
  QX_signal(SIGVTALRM, QX_SIG_IGN, nullptr);
  itimerval zero = {};
  int rc = setitimer(ITIMER_VIRTUAL, &zero, nullptr) == 0 ? 0 : errno;
  to.armed = false;
  return rc;
}

/* A time argument: 0 an atom (none), 1 an integer in *value, -1 anything else. */
int time_argument(QX_term_ref t, long *value)
{
  if (QX_is_atom(t)) return 0;
  return QX_is_integer(t) && QX_get_integer(t, value) ? 1 : -1;
}

/* Arms the timer for limit milliseconds: 0, or -1 with a system error raised. */
long arm_timer(int64_t now, long limit)
{
  itimerval value = {{0, 0}, to_timer_value(limit, to.ticks)};
  if (QX_signal(SIGVTALRM, alarm_h, nullptr) == QX_SIG_ERR) {
    raise_system_error("no handler for SIGVTALRM");
    return -1;
  }
  if (setitimer(ITIMER_VIRTUAL, &value, nullptr) != 0) {
    int error = errno;
    QX_signal(SIGVTALRM, QX_SIG_IGN, nullptr);
    raise_system_error(std::strerror(error));
    return -1;
  }
  to.expiry = now + limit;
  to.armed = true;
  return 0;
}

void to_init(int)
{
  to.ticks = to_ticks_per_second(sysconf(_SC_CLK_TCK));
  to.off = QX_atom_from_string("off");
  QX_register_atom(to.off);
  alarm_clock_off();
}

void to_deinit(int)
{
  alarm_clock_off();
  QX_unregister_atom(to.off);
}

void (*const timeout_funcs[])() = {(void (*)())to_start_timer_a, (void (*)())to_stop_timer_a,
                                   (void (*)())to_timer_now, (void (*)())to_clocks_per_second,
                                   nullptr};
const char *const timeout_names[] = {"$start_timer_a", "$stop_timer_a", "$timer_now",
                                     "$clocks_per_second"};
const int timeout_arities[] = {3, 1, 1, 1};

const qx_foreign_pred timeout_preds[] = {
    {"$start_timer_a", "+term +term [-integer]"},
    {"$stop_timer_a", "[-term]"},
    {"$timer_now", "[-integer]"},
    {"$clocks_per_second", "[-integer]"},
    {nullptr, nullptr},
};

}  // namespace

const qx_foreign_interface qx_timeout_interface = {"timeout", "prolog", timeout_preds};

int qx_main_QXENV_timeout(void *params)
{
  return qx_libres_entry(params, &qx_timeout_api,
                         {timeout_funcs, timeout_names, timeout_arities, to_init, to_deinit});
}

long to_ticks_per_second(long clk_tck) { return clk_tck < 1 ? TO_DEFAULT_TICKS : clk_tck; }

long to_effective_limit(long limit, long ticks)
{
  long least = (ticks + 999) / ticks;
  return limit <= least ? least + 1 : limit;
}

timeval to_timer_value(long limit, long ticks)
{
  int64_t whole_ticks =
      ((int64_t)(limit % 1000) * ticks + 999) / 1000 + (int64_t)(limit / 1000) * ticks;
  timeval value;
  value.tv_sec = (time_t)(whole_ticks / ticks);
  value.tv_usec = (suseconds_t)(((whole_ticks % ticks) * 1000000 + ticks - 1) / ticks);
  return value;
}

long to_start_timer_a(QX_term_ref deadline, QX_term_ref limit)
{
  int64_t now = cpu_time_now();
  long limit_ms = 0, deadline_ms = 0;
  int has_limit = time_argument(limit, &limit_ms);
  if (has_limit < 0) return -1;
  limit_ms = has_limit ? to_effective_limit(limit_ms, to.ticks) : 0;
  int has_deadline = time_argument(deadline, &deadline_ms);
  if (has_deadline < 0) return -1;
  if (has_deadline) {
    if (now >= deadline_ms) return 1;
    long left = (long)(deadline_ms - now);
    if (!has_limit || left < limit_ms) limit_ms = left;
  }
  if (limit_ms > 0) return arm_timer(now, limit_ms);
  if (to.armed) {
    int error = alarm_clock_off();
    if (error != 0) {
      raise_system_error(std::strerror(error));
      return -1;
    }
  }
  return 0;
}

QX_term_ref to_stop_timer_a(void)
{
  int64_t expiry = to.expiry;
  bool stopped = to.armed && alarm_clock_off() == 0;
  QX_term_ref result = QX_new_term_ref();
  if (!result) {
    QX_fail();
    return 0;
  }
  if (!stopped)
    QX_put_atom(result, to.off);
  else if (expiry >= LONG_MIN && expiry <= LONG_MAX)
    QX_put_integer(result, (long)expiry);
  else
    QX_put_integer_bytes(result, &expiry, sizeof expiry, 1);
  return result;
}

long to_timer_now(void) { return (long)cpu_time_now(); }

long to_clocks_per_second(void) { return to.ticks; }
