/* Interrupts. qxio_interrupt, called from the engine's signal handler, only records the
   interrupt and writes a byte to a self-pipe; the interrupt thread wakes up and calls the
   registered hooks (which set the events that blocked waits watch). */
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "qxio_internal.h"

namespace {

struct qxio_t_interrupt_record {
  qxio_t_event_raw *raw;
  qxio_t_task *task;
  std::atomic<int> quit;
  std::atomic<int> exited;
  std::atomic<int> running; /* the thread has entered its loop */
};

struct interrupt_hook_entry {
  qxio_t_interrupt_hook fun;
  void *arg;
};

/* What a signal handler touches: lock-free words only. The write end of the self-pipe is
   published here rather than read from the record, which shutdown frees; handlers_inside
   lets shutdown wait until no handler can still write to the descriptor. */
std::atomic<int> interrupted{0};
std::atomic<unsigned> interrupt_calls{0};
std::atomic<int> interrupt_write_fd{-1};
std::atomic<int> handlers_inside{0};

unsigned interrupt_number = 0; /* interrupt thread only */
qxio_t_interrupt_record *record = nullptr;

/* The hooks; the lock lets a hook be added while the interrupt thread runs the others. */
pthread_mutex_t hooks_lock = PTHREAD_MUTEX_INITIALIZER;
interrupt_hook_entry *hooks = nullptr;
size_t nhooks = 0;

void call_hooks()
{
  pthread_mutex_lock(&hooks_lock);
  for (size_t i = 0; i < nhooks; i++) hooks[i].fun(hooks[i].arg);
  pthread_mutex_unlock(&hooks_lock);
}

void *interrupt_loop(qxio_t_task *task, void *arg)
{
  qxio_t_interrupt_record *self = static_cast<qxio_t_interrupt_record *>(arg);
  self->running.store(1);
  for (;;) {
    if (qxio_event_raw_wait(self->raw, nullptr) < 0) break;
    qxio_event_raw_reset(self->raw);
    if (interrupted.exchange(0)) {
      interrupt_number++;
      call_hooks();
    }
    if (self->quit.load()) break;
  }
  self->exited.store(1);
  return nullptr;
}

void free_record(qxio_t_interrupt_record *dead)
{
  qxio_event_raw_free(dead->raw);
  dead->~qxio_t_interrupt_record();
  qxio_free(dead);
}

/* Stops the thread: no handler may write to the pipe once it is closed. */
qxio_t_error_code interrupt_deinit(void)
{
  if (record == nullptr) return QXIO_S_NOERR;
  record->quit.store(1);
  qxio_event_raw_set(record->raw);
  uint32_t status = 0;
  qxio_task_status(record->task, &status);
  if (status & QXIO_TASK_STATUS_RUNNING) qxio_task_wait_end(record->task);
  if (!record->exited.load()) return QXIO_E_INTERNAL_ERROR;
  interrupt_write_fd.store(-1);
  while (handlers_inside.load() != 0) {}
  qxio_task_free(record->task);
  free_record(record);
  record = nullptr;
  return QXIO_S_NOERR;
}

qxio_t_error_code interrupt_start(void)
{
  interrupted.store(0);
  interrupt_number = 0;
  void *memory = qxio_alloc(sizeof(qxio_t_interrupt_record));
  if (memory == nullptr) return QXIO_E_OUT_OF_MEMORY;
  qxio_t_interrupt_record *fresh = new (memory) qxio_t_interrupt_record();
  qxio_t_error_code rc = qxio_event_raw_new(&fresh->raw);
  if (rc >= 0) rc = qxio_task_create(0, interrupt_loop, fresh, &fresh->task);
  if (rc < 0) {
    free_record(fresh);
    return rc;
  }
  /* Start returns once the thread runs its own code: a thread still being set up may hold
   * process-wide locks (the loader's, the runtime's), which a child forked right after the
   * start would inherit held for good. */
  while (!fresh->running.load() && !fresh->exited.load()) sched_yield();
  record = fresh;
  interrupt_write_fd.store(fresh->raw->pipe[1]);
  return QXIO_S_NOERR;
}

}  // namespace

qxio_t_error_code qxio_interrupt_init(uint32_t deinit)
{
  return deinit ? interrupt_deinit() : interrupt_start();
}

void qxio_interrupt(void)
{
  handlers_inside.fetch_add(1);
  interrupted.store(1);
  interrupt_calls.fetch_add(1);
  int fd = interrupt_write_fd.load();
  if (fd >= 0) qxio_event_pipe_write(fd);
  handlers_inside.fetch_sub(1);
}

unsigned qxio_interrupt_count(void) { return interrupt_calls.load(); }

qxio_t_error_code qxio_ensure_interrupts_done(void) { return QXIO_S_NOERR; }

qxio_t_error_code qxio_register_interrupt_hook(qxio_t_interrupt_hook fun, void *arg,
                                               uint32_t options)
{
  if (fun == nullptr) return QXIO_E_PARAMETER_ERROR;
  qxio_t_error_code rc = QXIO_S_NOERR;
  pthread_mutex_lock(&hooks_lock);
  if (options & QXIO_INTERRUPT_HOOK_REMOVE) {
    for (size_t i = 0; i < nhooks; i++) {
      if (hooks[i].fun != fun) continue;
      hooks[i] = hooks[--nhooks];
      if (nhooks == 0) {
        qxio_free(hooks);
        hooks = nullptr;
      }
      break;
    }
  } else {
    void *grown = qxio_realloc(hooks, (nhooks + 1) * sizeof(interrupt_hook_entry));
    if (grown == nullptr) {
      rc = QXIO_E_OUT_OF_MEMORY;
    } else {
      hooks = static_cast<interrupt_hook_entry *>(grown);
      hooks[nhooks++] = {fun, arg};
    }
  }
  pthread_mutex_unlock(&hooks_lock);
  return rc;
}
