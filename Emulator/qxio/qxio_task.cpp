/* Tasks: the library's threads. A task runs one function on a POSIX thread that blocks every
   asynchronous signal and keeps cancellation disabled outside the windows its function opens;
   when the function ends (or the thread is cancelled) the task's termination event is set, so
   that any thread can wait for it like for any other event. */
#include <errno.h>
#include <pthread.h>
#include <signal.h>

#include "qxio_internal.h"

struct qxio_t_task {
  qxio_t_task_fun fun;
  void *arg;
  void *result;        /* set when the function returns */
  qxio_t_event *event; /* termination event, set once the thread has ended */
  uint32_t flags;      /* TASK_... below */
  uint32_t thread_flags;
};

namespace {

struct qxio_t_task_pthread {
  qxio_t_task task;
  pthread_t os_thread;
};

/* task flags */
const uint32_t TASK_CANCELLABLE = 0x1;
const uint32_t TASK_CANCELLED = 0x2;
const uint32_t TASK_CANCEL_REQUESTED = 0x4;
const uint32_t TASK_MUST_JOIN = 0x8;
const uint32_t TASK_NO_JOIN = 0x10;

/* thread flags */
const uint32_t THREAD_FINISHED = 0x1;
const uint32_t THREAD_RUNNING = 0x2;

/* The flag words are read by any thread that asks about the task, and written by its
   creator, its canceller and the thread itself. */
uint32_t load_flags(const uint32_t *word) { return __atomic_load_n(word, __ATOMIC_ACQUIRE); }
void set_flags(uint32_t *word, uint32_t bits) { __atomic_or_fetch(word, bits, __ATOMIC_ACQ_REL); }
void clear_flags(uint32_t *word, uint32_t bits)
{
  __atomic_and_fetch(word, ~bits, __ATOMIC_ACQ_REL);
}

/* Runs on the task's thread when its function returns, and as the cancellation clean-up. */
void end_of_task(void *arg)
{
  qxio_t_task *task = static_cast<qxio_t_task *>(arg);
  clear_flags(&task->thread_flags, THREAD_RUNNING);
  set_flags(&task->thread_flags, THREAD_FINISHED);
  qxio_event_set(task->event);
}

void *task_start(void *arg)
{
  qxio_t_task_pthread *task_pthread = static_cast<qxio_t_task_pthread *>(arg);
  qxio_t_task *task = &task_pthread->task;
  pthread_cleanup_push(end_of_task, task);
  __atomic_store_n(&task_pthread->os_thread, pthread_self(), __ATOMIC_RELEASE);
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  void *result = task->fun(task, task->arg);
  __atomic_store_n(&task->result, result, __ATOMIC_RELEASE);
  pthread_cleanup_pop(1);
  return nullptr;
}

/* The new thread's signal mask: everything but the synchronous fault signals, and but the
   terminal stop signals unless the creating thread blocks them already. */
void task_signal_mask(sigset_t *mask)
{
  sigset_t current;
  pthread_sigmask(SIG_BLOCK, nullptr, &current);
  sigfillset(mask);
  if (!sigismember(&current, SIGTTIN)) sigdelset(mask, SIGTTIN);
  if (!sigismember(&current, SIGTTOU)) sigdelset(mask, SIGTTOU);
  sigdelset(mask, SIGFPE);
  sigdelset(mask, SIGILL);
  sigdelset(mask, SIGSEGV);
  sigdelset(mask, SIGBUS);
}

/* Starts the thread of a prepared task; the thread inherits the mask that the creating
   thread holds for the moment of creation. */
qxio_t_error_code start_thread(qxio_t_task_pthread *task_pthread)
{
  qxio_t_task *task = &task_pthread->task;
  pthread_attr_t attributes;
  int error = pthread_attr_init(&attributes);
  if (error != 0) return qxio_map_unix_error(error, QXIO_E_OS_ERROR);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_JOINABLE);
  sigset_t mask, saved;
  task_signal_mask(&mask);
  pthread_sigmask(SIG_BLOCK, &mask, &saved);
  set_flags(&task->thread_flags, THREAD_RUNNING);
  set_flags(&task->flags, TASK_NO_JOIN);
  pthread_t thread;
  error = pthread_create(&thread, &attributes, task_start, task_pthread);
  qxio_t_error_code rc = QXIO_S_NOERR;
  if (error != 0) {
    clear_flags(&task->thread_flags, THREAD_RUNNING);
    rc = qxio_map_unix_error(error, QXIO_E_OS_ERROR);
  } else {
    __atomic_store_n(&task_pthread->os_thread, thread, __ATOMIC_RELEASE);
    set_flags(&task->flags, TASK_MUST_JOIN);
    clear_flags(&task->flags, TASK_NO_JOIN);
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  pthread_attr_destroy(&attributes);
  return rc;
}

pthread_t task_thread(qxio_t_task *task)
{
  return __atomic_load_n(&reinterpret_cast<qxio_t_task_pthread *>(task)->os_thread,
                         __ATOMIC_ACQUIRE);
}

}  // namespace

qxio_t_error_code qxio_task_create(uint32_t options, qxio_t_task_fun fun, void *arg,
                                   qxio_t_task **task_out)
{
  if (task_out != nullptr) *task_out = nullptr;
  if (fun == nullptr) return QXIO_E_PARAMETER_ERROR;
  qxio_t_task_pthread *task_pthread =
      static_cast<qxio_t_task_pthread *>(qxio_alloc(sizeof(qxio_t_task_pthread)));
  if (task_pthread == nullptr) return QXIO_E_OUT_OF_MEMORY;
  qxio_t_task *task = &task_pthread->task;
  task->fun = fun;
  task->arg = arg;
  task->result = nullptr;
  task->event = nullptr;
  task->flags = (options & QXIO_TASK_CANCELLABLE) ? TASK_CANCELLABLE : 0;
  task->thread_flags = 0;
  task_pthread->os_thread = pthread_t();
  qxio_t_error_code rc = qxio_event_new(0, &task->event);
  if (rc >= 0) {
    if (task_out != nullptr) *task_out = task;
    rc = start_thread(task_pthread);
  }
  if (rc < 0) {
    if (task_out != nullptr) *task_out = nullptr;
    qxio_event_free(task->event);
    qxio_free(task_pthread);
    return rc;
  }
  return QXIO_S_NOERR;
}

/* Interrupts that end a main-thread wait are not for this wait: it goes on. */
qxio_t_error_code qxio_task_wait_end(qxio_t_task *task)
{
  qxio_t_error_code rc;
  do {
    rc = qxio_event_wait(&task->event, 1, nullptr);
  } while (rc == QXIO_E_INTERRUPTED);
  return rc < 0 ? rc : QXIO_S_NOERR;
}

qxio_t_error_code qxio_task_free(qxio_t_task *task)
{
  if (task == nullptr) return QXIO_S_NOERR;
  qxio_t_error_code rc = qxio_task_wait_end(task);
  if (rc < 0) return rc;
  if (load_flags(&task->flags) & TASK_MUST_JOIN) {
    pthread_join(task_thread(task), nullptr);
    clear_flags(&task->flags, TASK_MUST_JOIN);
  }
  qxio_event_free(task->event);
  qxio_free(task);
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_task_cancel(qxio_t_task *task, uint32_t options)
{
  if (task == nullptr) return QXIO_E_PARAMETER_ERROR;
  if (!(load_flags(&task->flags) & TASK_CANCELLABLE)) return QXIO_E_NOT_SUPPORTED;
  set_flags(&task->flags, TASK_CANCEL_REQUESTED);
  if (!(load_flags(&task->thread_flags) & THREAD_FINISHED)) {
    int error = pthread_cancel(task_thread(task));
    if (error != 0 && error != ESRCH) return qxio_map_unix_error(error, QXIO_E_OS_ERROR);
    if (load_flags(&task->flags) & TASK_MUST_JOIN) {
      pthread_join(task_thread(task), nullptr);
      clear_flags(&task->flags, TASK_MUST_JOIN);
      set_flags(&task->flags, TASK_NO_JOIN);
    }
  }
  set_flags(&task->flags, TASK_CANCELLED);
  return qxio_task_wait_end(task);
}

int qxio_task_is_running(qxio_t_task *task)
{
  if (task == nullptr) return 0;
  return qxio_event_query(task->event) ? 0 : 1;
}

qxio_t_error_code qxio_task_status(qxio_t_task *task, uint32_t *bits_out)
{
  if (task == nullptr || bits_out == nullptr) return QXIO_E_PARAMETER_ERROR;
  *bits_out = qxio_task_is_running(task) ? QXIO_TASK_STATUS_RUNNING : 0;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_task_result(qxio_t_task *task, void **result_out)
{
  if (task == nullptr) return QXIO_E_PARAMETER_ERROR;
  if (qxio_task_is_running(task)) return QXIO_E_THREAD_RUNNING;
  if (result_out != nullptr) *result_out = __atomic_load_n(&task->result, __ATOMIC_ACQUIRE);
  return QXIO_S_NOERR;
}

int qxio_task_is_cancelled(qxio_t_task *task)
{
  if (task == nullptr) return 0;
  return (load_flags(&task->flags) & TASK_CANCELLED) ? 1 : 0;
}

qxio_t_error_code qxio_task_event(qxio_t_task *task, qxio_t_event **event_out)
{
  if (task == nullptr || event_out == nullptr) return QXIO_E_PARAMETER_ERROR;
  *event_out = task->event;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_task_cancel_event(qxio_t_task *task, qxio_t_event **event_out)
{
  return QXIO_E_NOT_SUPPORTED;
}

qxio_t_error_code qxio_thread_self(qxio_t_thread *thread_out)
{
  *thread_out = pthread_self();
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_task_pthread_cancel_enable(void)
{
  int error = pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
  return error == 0 ? QXIO_S_NOERR : qxio_map_unix_error(error, QXIO_E_OS_ERROR);
}

qxio_t_error_code qxio_task_pthread_cancel_disable(void)
{
  int error = pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  return error == 0 ? QXIO_S_NOERR : qxio_map_unix_error(error, QXIO_E_OS_ERROR);
}

qxio_t_error_code qxio_init_thread(uint32_t deinit) { return QXIO_S_NOERR; }
