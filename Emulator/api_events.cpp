/* Signals, interrupts and the event queue.
 *
 * A signal handler only counts its signal, wakes blocked I/O and zeroes the two limit words of
 * the engine's event check; code on any thread may post a function to a ring of at most 256
 * pending events. The engine runs the installed signal handlers and the queued functions at its
 * next event check, on its own thread, or discards them when it shuts down.
 *
 * event_queue_cs guards the queue, event_state and the signal table. Posting is allowed from
 * signal handlers, so a thread blocks the asynchronous signals while it holds the lock: a handler
 * can then never interrupt its own thread inside the critical section and wait for itself. The
 * signal counters and the limit words are the only state touched without the lock.
 */
#include <errno.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "atoms.h"
#include "builtins.h"
#include "instance.h"
#include "memman.h"
#include "modules.h"
#include "objareas.h"
#include "orvalis.h"
#include "qxio.h"
#include "wam.h"

namespace {

constexpr uint32_t EVENT_CAPACITY = 256;
constexpr int SIGNAL_SLOTS = 32;

enum : uint32_t { EVENT_PLAIN = 1, EVENT_ASYNC = 2 };

/* event_state */
enum : int { EVENTS_REMOVED = 0, EVENTS_FINAL = 1, EVENTS_ACCEPTING = 2, EVENTS_RUNNING = 3 };

struct qx_t_event_entry {
  void *function;
  void *data;
  uint32_t flags; /* EVENT_PLAIN or EVENT_ASYNC */
};

struct qx_t_event_queue_ {
  uint32_t next; /* write index */
  uint32_t nentries;
  uint32_t capacity;
  qx_t_event_entry entries[EVENT_CAPACITY];
};

struct user_signal_entry {
  QX_SigFun handler;
  void *data;
};

qx_t_event_queue_ event_queue;
int event_state = EVENTS_REMOVED;
/* Never destroyed: a poster that saw the flag set must still find a usable mutex. */
pthread_mutex_t event_queue_cs = PTHREAD_MUTEX_INITIALIZER;
std::atomic<bool> event_queue_cs_inited{false};
/* The signals blocked while the lock is held: all but the synchronous fault signals. */
sigset_t async_signals;

user_signal_entry user_signal_handler[SIGNAL_SLOTS];
/* The action each signal had before its first user handler was installed, given back when the
 * table is switched off. */
struct sigaction previous_action[SIGNAL_SLOTS];
std::atomic<uint32_t> signal_has_happened[SIGNAL_SLOTS];
std::atomic<bool> thread_safe_signals_inited{false};

std::atomic<int> qx_ctrlc_pending{0};
std::atomic<int> qx_ctrlc_event_installed{0};
std::atomic<int> qx_sigbrk_pending{0};

/* The critical section: the asynchronous signals stay blocked for as long as the lock is held,
 * and the thread's own mask comes back afterwards. */
class event_queue_lock {
public:
  event_queue_lock()
  {
    pthread_sigmask(SIG_BLOCK, &async_signals, &saved_);
    pthread_mutex_lock(&event_queue_cs);
  }
  ~event_queue_lock()
  {
    pthread_mutex_unlock(&event_queue_cs);
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }
  event_queue_lock(const event_queue_lock &) = delete;
  event_queue_lock &operator=(const event_queue_lock &) = delete;

private:
  sigset_t saved_;
};

void fill_async_signals()
{
  sigfillset(&async_signals);
  for (int sig : {SIGFPE, SIGILL, SIGSEGV, SIGBUS, SIGTRAP, SIGSYS}) sigdelset(&async_signals, sig);
}

/* Makes the current worker's next event check run the events. Safe from any thread and from
 * signal handlers: the flag is set before the limit words are zeroed, and the engine clears the
 * flag before it takes the lock to run the queue. */
void request_event_check()
{
  worker *w = __atomic_load_n(&qx_w, __ATOMIC_ACQUIRE);
  if (w == nullptr) return;
  __atomic_fetch_or(&w->event_flags, 1u, __ATOMIC_SEQ_CST);
  sync_heap_pointers(w);
}

int post_event(void *function, void *data, uint32_t flags)
{
  if (!event_queue_cs_inited.load(std::memory_order_acquire)) return QXIO_E_INVALID_STATE;
  event_queue_lock lock;
  if (event_state <= EVENTS_FINAL) return QXIO_E_INVALID_STATE;
  if (event_queue.nentries == event_queue.capacity) return QXIO_E_TRY_AGAIN;
  request_event_check();
  event_queue.entries[event_queue.next] = {function, data, flags};
  event_queue.next = (event_queue.next + 1) % event_queue.capacity;
  event_queue.nentries++;
  return QXIO_S_NOERR;
}

/* Takes the oldest entry; false when the queue is empty. */
bool take_event(qx_t_event_entry *entry)
{
  if (!event_queue_cs_inited.load(std::memory_order_acquire)) return false;
  event_queue_lock lock;
  if (event_queue.nentries == 0) return false;
  uint32_t oldest =
      (event_queue.capacity + event_queue.next - event_queue.nentries) % event_queue.capacity;
  *entry = event_queue.entries[oldest];
  event_queue.entries[oldest] = {};
  event_queue.nentries--;
  return true;
}

void lower_event_state(int at_most)
{
  if (!event_queue_cs_inited.load(std::memory_order_acquire)) return;
  event_queue_lock lock;
  if (event_state > at_most) event_state = at_most;
}

/* The interrupt and break events go with the queue. */
void clear_event_queue()
{
  std::memset(&event_queue, 0, sizeof event_queue);
  event_queue.capacity = EVENT_CAPACITY;
  qx_reset_ctrlc_pending();
  qx_sigbrk_pending.store(0);
}

/* ---- signals ---- */

void qx_signal_noop(int sig, void *data)
{
  (void)sig;
  (void)data;
}

void real_signal_handler(int sig)
{
  int saved_errno = errno;
  QX_raise_signal(sig);
  errno = saved_errno;
}

int set_action(int sig, void (*action)(int), int flags, struct sigaction *previous = nullptr)
{
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = action;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = flags;
  return sigaction(sig, &sa, previous);
}

/* Switching the table off gives every signal that had a user handler the action it had before
 * (an embedding program's own handler, or an ignored signal, stays as it was); switching either
 * way clears the handlers and the counters. Called under the lock. */
void switch_signal_table(bool on)
{
  for (int sig = 0; sig < SIGNAL_SLOTS; sig++) {
    if (!on && user_signal_handler[sig].handler != nullptr)
      sigaction(sig, &previous_action[sig], nullptr);
    user_signal_handler[sig] = {};
    signal_has_happened[sig].store(0);
  }
  thread_safe_signals_inited.store(on);
}

bool signal_pending()
{
  for (int sig = 0; sig < SIGNAL_SLOTS; sig++)
    if (signal_has_happened[sig].load() != 0) return true;
  return false;
}

/* Calls the handler of every signal counted since the last run, outside the lock. */
void run_signal_handlers()
{
  for (int sig = 0; sig < SIGNAL_SLOTS; sig++) {
    if (signal_has_happened[sig].load() == 0) continue;
    user_signal_entry entry;
    {
      event_queue_lock lock;
      entry = user_signal_handler[sig];
      signal_has_happened[sig].store(0);
    }
    if (entry.handler != nullptr) entry.handler(sig, entry.data);
  }
}

/* ---- running events ---- */

/* Both limit words back at the warning limit before an event runs, so that the queries it may
 * run do not take the slow path for nothing; zeroed again when a signal or a wake-up is pending.
 * Events posted meanwhile need no look: this run takes them. */
void restore_limit_words(worker *w)
{
  __atomic_store_n(&w->int_heap_warn, w->heap_warn, __ATOMIC_RELAXED);
  __atomic_store_n(&w->heap_warn_soft, w->heap_warn, __ATOMIC_RELAXED);
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
  if (w->wake_len != 0 || signal_pending()) sync_heap_pointers(w);
}

/* Calls one entry as a foreign function: 1 go on, 0 failed, -1 failed or raised an exception
 * (the function cleared excp_flag through QX_fail or QX_raise_exception). Term references made
 * by the function are dropped. */
int call_queue_entry(worker *w, const qx_t_event_entry &entry, int mode)
{
  uint32_t refs = w->fli_stack_index;
  int saved_flag = w->fli_info.excp_flag;
  w->fli_info.excp_flag = 1;
  int result;
  if (entry.flags == EVENT_PLAIN) {
    result = ((QX_EventFun)entry.function)(entry.data);
  } else {
    int code = ((QX_AsyncEventFun)entry.function)(entry.data, mode);
    result = code == QXIO_S_PRIVATE_ERROR_2 ? -1 : code == QXIO_S_PRIVATE_ERROR_1 ? 0 : 1;
  }
  w->fli_stack_index = refs;
  if (w->fli_info.excp_flag == 0) result = -1;
  w->fli_info.excp_flag = saved_flag;
  return result;
}

int interrupt_event(void *data);
int break_event(void *data);

/* An interrupt or break event that is dropped is no longer pending, so that the next request
 * queues a new one. */
void forget_plain_event(const qx_t_event_entry &entry)
{
  if (entry.function == (void *)interrupt_event) qx_reset_ctrlc_pending();
  if (entry.function == (void *)break_event) qx_sigbrk_pending.store(0);
}

/* Drops an entry at shutdown or after an event stopped the run: asynchronous events are told
 * why (mode), plain ones are forgotten. */
void drop_event(worker *w, const qx_t_event_entry &entry, int mode)
{
  if (entry.flags == EVENT_ASYNC)
    call_queue_entry(w, entry, mode);
  else
    forget_plain_event(entry);
}

void discard_events(worker *w, int mode)
{
  disable_events();
  qx_t_event_entry entry;
  while (take_event(&entry)) drop_event(w, entry, mode);
  enable_events();
  sync_heap_pointers(w);
}

/* Makes throw(Ball) the next goal; the caller made room for its two words. */
void push_throw_goal(worker *w, TAGGED ball)
{
  TAGGED *goal = w->global_top;
  w->global_top += 2;
  goal[0] = MakeFunctor(init_atom_check("throw", 0), 1);
  goal[1] = ball;
  qx_push_frame(w, MakeStr(goal), qx_eg.prolog_module);
}

/* The engine's event check: a run that stopped ends the goal in progress, by throwing the
 * exception an event raised, else by failing. */
void run_event_hook(worker *w)
{
  instance *before = qx_eg.exception;
  if (run_event(w) == 1) return;
  if (qx_eg.exception == nullptr || qx_eg.exception == before) {
    qx_push_frame(w, atom_fail, qx_eg.prolog_module);
    return;
  }
  uint32_t words = qx_instance_heap_words(qx_eg.exception) + 2;
  if (qx_heap_short(w, words)) call_overflow(w, words, 0);
  TAGGED ball = qx_exception_term(w);
  qx_clear_exception();
  push_throw_goal(w, ball);
}

/* ---- interrupt and break ---- */

/* Makes the role predicate name/0 the next goal. */
int push_role_goal(const char *name)
{
  qx_push_frame(qx_w, init_atom_check(name, 0), qx_eg.prolog_module);
  return 1;
}

int interrupt_event(void *data)
{
  (void)data;
  return push_role_goal("control_c_handler");
}

int break_event(void *data)
{
  (void)data;
  return push_role_goal("control_break_handler");
}

/* The runtime's interrupt and break handlers abort the running query: '$reserved'(3), which
 * catch/3 does not catch, is thrown as the next goal. */
int throw_abort(worker *w)
{
  if (qx_heap_short(w, 8)) call_overflow(w, 8, 0);
  TAGGED *ball = w->global_top;
  ball[0] = MakeFunctor(atom_reserved, 1);
  ball[1] = MakeSmall(3);
  w->global_top += 2;
  push_throw_goal(w, MakeStr(ball));
  return 1;
}

int prolog_control_c_handler(worker *w)
{
  qx_reset_ctrlc_pending();
  return throw_abort(w);
}

int prolog_control_break_handler(worker *w)
{
  qx_sigbrk_pending.store(0);
  return throw_abort(w);
}

/* ---- default process signal set-up ---- */

const char *fault_text(int sig)
{
  switch (sig) {
  case SIGINT: return "interrupted";
  case SIGILL: return "illegal instruction";
  case SIGTRAP: return "trace trap";
  case SIGBUS: return "bus error";
  case SIGFPE: return "floating point exception";
  case SIGSEGV: return "segmentation violation";
  case SIGSYS: return "bad system call arg";
  default: return "miscellaneous error condition";
  }
}

/* A fault signal becomes an engine fault, which lands at the innermost recovery point that can
 * be reached by a jump (or ends the process with the message). The jump leaves the handler, so
 * the signal is unblocked first: a later fault of the same kind must land too. */
void fault_handler(int sig)
{
  sigset_t own;
  sigemptyset(&own);
  sigaddset(&own, sig);
  pthread_sigmask(SIG_UNBLOCK, &own, nullptr);
  qx_recovery_signal_context(1);
  QX_raise_fault(fault_text(sig));
}

void ds_interrupt_handler(int sig, void *data)
{
  (void)sig;
  (void)data;
  QX_ctrlc_action();
}

bool minimal_signals()
{
  const char *key = "ORVALIS_MINIMAL_SIGNALS";
  char probe[1];
  size_t size = 0;
  qx_get_system_property_internal(key, probe, &size, nullptr, 0); /* size: what is needed */
  if (size == 0) return false;
  std::vector<char> value(size);
  return qx_getenv_internal(key, value.data(), &size, 2) != nullptr &&
         (value[0] == 'y' || value[0] == 'Y');
}

}  // namespace

/* ---- posting ---- */

int QX_event(QX_EventFun fn, void *data) { return post_event((void *)fn, data, EVENT_PLAIN) == 0; }

int QX_async_event(QX_AsyncEventFun fn, void *data, int flags)
{
  (void)flags;
  return post_event((void *)fn, data, EVENT_ASYNC);
}

void sync_heap_pointers(worker *w)
{
  __atomic_store_n(&w->int_heap_warn, nullptr, __ATOMIC_RELEASE);
  __atomic_store_n(&w->heap_warn_soft, nullptr, __ATOMIC_RELEASE);
}

/* ---- signals ---- */

int QX_raise_signal(int sig)
{
  if (sig < 0 || sig >= SIGNAL_SLOTS || !thread_safe_signals_inited.load()) return 0;
  uint32_t count = signal_has_happened[sig].load();
  while (!signal_has_happened[sig].compare_exchange_weak(count, count + 1 == 0 ? 1 : count + 1)) {}
  qx_os_signal_delivered();
  request_event_check();
  return 1;
}

int qx_raise_signal(int sig) { return QX_raise_signal(sig); }

QX_SigFun QX_signal(int sig, QX_SigFun handler, void *user_data)
{
  if (sig <= 0 || sig >= SIGNAL_SLOTS || !event_queue_cs_inited.load()) return QX_SIG_ERR;
  event_queue_lock lock;
  if (event_state != EVENTS_RUNNING) return QX_SIG_ERR;
  signal_has_happened[sig].store(0);
  user_signal_entry &entry = user_signal_handler[sig];
  if (handler != QX_SIG_DFL && handler != QX_SIG_IGN) {
    /* the action before the first handler is the one to give back */
    struct sigaction *previous = entry.handler == nullptr ? &previous_action[sig] : nullptr;
    if (set_action(sig, real_signal_handler, 0, previous) != 0) return QX_SIG_ERR;
    entry = {handler, user_data};
    return qx_signal_noop;
  }
  if (entry.handler == nullptr) return QX_SIG_ERR;
  entry = {qx_signal_noop, nullptr};
  set_action(sig, handler == QX_SIG_DFL ? SIG_DFL : SIG_IGN, 0);
  return qx_signal_noop;
}

/* ---- interrupt and break ---- */

void QX_ctrlc_action(void)
{
  qx_ctrlc_pending.fetch_add(1);
  if (qx_ctrlc_event_installed.fetch_add(1) == 0) QX_event(interrupt_event, nullptr);
}

void QX_ctrlbreak_action(void)
{
  if (qx_sigbrk_pending.fetch_add(1) == 0) QX_event(break_event, nullptr);
}

void qx_reset_ctrlc_pending(void)
{
  qx_ctrlc_pending.store(0);
  qx_ctrlc_event_installed.store(0);
}

int qx_get_ctrlc_pending(void) { return qx_ctrlc_event_installed.load(); }

/* ---- running ---- */

int disable_events(void) { return ++qx_w->events_disabled; }

int enable_events(void)
{
  int count = --qx_w->events_disabled;
  if (count == 0) sync_heap_pointers(qx_w);
  return count;
}

int qx_run_event(worker *w, int mode)
{
  bool final_run = mode & 1;
  if (w->events_disabled && !final_run) return 1;
  if (w->events_disabled || final_run) lower_event_state(EVENTS_ACCEPTING);
  run_signal_handlers();
  if (final_run) lower_event_state(EVENTS_FINAL);
  qx_t_event_entry entry;
  while (take_event(&entry)) {
    if (final_run) {
      drop_event(w, entry, QX_EVENT_SHUTDOWN);
      continue;
    }
    restore_limit_words(w);
    int result = call_queue_entry(w, entry, QX_EVENT_RUN);
    if (result != 1) {
      discard_events(w, result == -1 ? QX_EVENT_DISCARDED_EXCEPTION : QX_EVENT_DISCARDED_FAILURE);
      return 0;
    }
  }
  return 1;
}

int run_event(worker *w) { return qx_run_event(w, 0); }

void event_queue_init(void)
{
  if (!event_queue_cs_inited.load()) {
    fill_async_signals();
    event_queue_cs_inited.store(true, std::memory_order_release);
  }
  {
    event_queue_lock lock;
    clear_event_queue();
    event_state = EVENTS_ACCEPTING;
    if (thread_safe_signals_inited.load()) switch_signal_table(false);
    switch_signal_table(true);
    event_state = EVENTS_RUNNING;
  }
  qx_event_hook = run_event_hook;
}

void event_queue_remove(void)
{
  if (event_queue_cs_inited.load()) {
    {
      event_queue_lock lock;
      event_state = EVENTS_FINAL;
    }
    event_queue_cs_inited.store(false);
  }
  clear_event_queue();
  event_state = EVENTS_REMOVED;
  switch_signal_table(false);
  if (qx_event_hook == run_event_hook) qx_event_hook = nullptr;
}

/* ---- default process signal set-up ---- */

void ds_signals_init(void)
{
  bool minimal = minimal_signals();
  qx_reset_ctrlc_pending();
  QX_signal(SIGINT, ds_interrupt_handler, nullptr);
  if (!minimal)
    for (int sig : {SIGSEGV, SIGTRAP, SIGILL, SIGBUS, SIGSYS}) set_action(sig, fault_handler, 0);
  set_action(SIGVTALRM, SIG_IGN, 0);
  set_action(SIGPIPE, SIG_IGN, 0);
}

void ds_signals_reinit(void) { ds_signals_init(); }

void signals_disable_most(void)
{
  for (int sig : {SIGFPE, SIGSEGV, SIGTRAP, SIGILL, SIGBUS, SIGSYS}) set_action(sig, SIG_DFL, 0);
}

const qx_pred_row qx_api_events_rows[] = {
    {"control_c_handler", prolog_control_c_handler, 0, ENTER_C, QX_MOD_PROLOG | QX_ROW_ROLE,
     nullptr},
    {"control_break_handler", prolog_control_break_handler, 0, ENTER_C, QX_MOD_PROLOG | QX_ROW_ROLE,
     nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
