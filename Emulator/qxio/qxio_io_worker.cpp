/* Worker threads of the thread-backed device. A worker takes requests from its todo queue,
   executes them with cancellation allowed (so that a call blocked on a stuck peer can be
   cancelled), and publishes them on its finished queue, where the stream's thread collects
   them. A failed write latches the worker: later writes are skipped until the stream's thread
   has seen the failure, and then they are all queued again in order. */
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "qxio_io_worker.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace {

const size_t PENDING_COST_MAX = 65536;
const size_t READ_BLOCK = 65536;
/* The most bytes a write request hands to the system in one call. */
const size_t WRITE_PIECE = 16384;
/* How long a wait watches the worker's progress before it sleeps, and how often it looks at
   the clock meanwhile. */
const long SPIN_NSEC = 100000;
const int SPIN_CHECKS = 64;
/* A lone small request waits this long for more output to merge into it. */
const qxio_t_timespec MERGE_WAIT = {0, 10000000};

int abortive_write_cancel = 1;

inline void spin_pause()
{
#if defined(__i386__) || defined(__x86_64__)
  __builtin_ia32_pause();
#endif
}

qxio_t_io_request *request_of(qxio_t_queue_entry *entry)
{
  return reinterpret_cast<qxio_t_io_request *>(reinterpret_cast<char *>(entry) -
                                               offsetof(qxio_t_io_request, queue_entry));
}

void set_request_event(qxio_t_io_request *request)
{
  if (request->event != nullptr) qxio_event_set(request->event);
}

void default_free(qxio_t_io_request *request)
{
  qxio_buf_free(&request->buf);
  if (!(request->flags & IO_REQUEST_WORKER_EVENT)) qxio_event_free(request->event);
  qxio_free(request);
}

qxio_t_error_code no_error(qxio_t_io_request *request) { return QXIO_E_NOT_SUPPORTED; }

qxio_t_error_code mapped_error(qxio_t_io_request *request)
{
  return qxio_map_unix_error(request->os_error, QXIO_E_OS_ERROR);
}

int free_after_collection(qxio_t_io_request *request) { return 1; }

/* ---- request kinds ---- */

int reset_error_do(qxio_t_io_request *request)
{
  __atomic_and_fetch(&request->worker->worker_flags, ~IO_WORKER_ERROR_LATCH, __ATOMIC_RELAXED);
  return 1;
}

int reset_error_post(qxio_t_io_request *request)
{
  request->worker->reset_error_request = request;
  return IO_REQUEST_KEEP;
}

const qxio_t_io_request_funcs reset_error_funcs = {reset_error_do, default_free, no_error,
                                                   set_request_event, reset_error_post};

int simple_do(qxio_t_io_request *request)
{
  return static_cast<const qxio_t_io_simple_operation *>(request->cookie)->run(request);
}

qxio_t_error_code simple_error(qxio_t_io_request *request)
{
  return request->code == IO_STATUS_FAILED ? mapped_error(request) : QXIO_E_NOT_SUPPORTED;
}

void simple_pre_finished(qxio_t_io_request *request)
{
  qxio_event_set(request->worker->event);
  set_request_event(request);
}

const qxio_t_io_request_funcs simple_funcs = {simple_do, default_free, simple_error,
                                              simple_pre_finished, free_after_collection};

int set_event_do(qxio_t_io_request *request) { return 1; }

const qxio_t_io_request_funcs set_event_funcs = {set_event_do, default_free, no_error,
                                                 set_request_event, free_after_collection};

void record_failure(qxio_t_io_request *request, int error)
{
  request->os_error = error;
  request->code = IO_STATUS_FAILED;
}

/* Waits until the descriptor is ready (after EAGAIN on a non-blocking descriptor). */
void wait_ready(int fd, short events)
{
  struct pollfd pfd = {fd, events, 0};
  poll(&pfd, 1, -1);
}

/* Takes bytes that a write in progress has written off pending_cost and tells the writer
   that there is room. Runs on the worker, which must not be cancelled holding the lock. */
void release_written(qxio_t_io_request *request, size_t written)
{
  if (!(request->flags & IO_REQUEST_COST_COUNTED)) return;
  qxio_t_io_worker *worker = request->worker;
  int cancel_state;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
  qxio_queue_lock(worker->finished);
  worker->pending_cost -= written;
  request->cost -= written;
  qxio_event_set(worker->event);
  qxio_queue_unlock(worker->finished);
  __atomic_add_fetch(&worker->progress, 1, __ATOMIC_RELEASE);
  pthread_setcancelstate(cancel_state, nullptr);
}

/* A large request goes out in pieces, each of which leaves pending_cost as soon as it is
   written: a writer waiting for room goes on after the first piece, not the whole request. */
int write_do(qxio_t_io_request *request)
{
  qxio_t_io_worker *worker = request->worker;
  if (__atomic_load_n(&worker->worker_flags, __ATOMIC_RELAXED) & IO_WORKER_ERROR_LATCH) {
    request->code = IO_STATUS_SKIPPED;
    return 1;
  }
  bool sequential = request->flags & IO_REQUEST_SEQUENTIAL;
  while (request->buf_offset < request->buf.extent) {
    const unsigned char *bytes = request->buf.buf + request->buf_offset;
    size_t length = request->buf.extent - request->buf_offset;
    if (length > WRITE_PIECE) length = WRITE_PIECE;
    ssize_t n = sequential ? write(request->hFile, bytes, length)
                           : pwrite(request->hFile, bytes, length, request->file_pos);
    if (n > 0) {
      request->buf_offset += static_cast<size_t>(n);
      request->file_pos += n;
      /* the last bytes leave pending_cost when the request is published */
      if (request->buf_offset < request->buf.extent)
        release_written(request, static_cast<size_t>(n));
      continue;
    }
    int error = n < 0 ? errno : 0;
    if (error == EINTR) continue;
    if (error == EAGAIN || error == EWOULDBLOCK) {
      wait_ready(request->hFile, POLLOUT);
      continue;
    }
    record_failure(request, error != 0 ? error : EIO);
    __atomic_or_fetch(&worker->worker_flags, IO_WORKER_ERROR_LATCH, __ATOMIC_RELAXED);
    request->flags |= IO_REQUEST_FAILED_WRITE;
    break;
  }
  return 1;
}

/* Runs with the finished queue's lock held. */
void write_pre_finished(qxio_t_io_request *request)
{
  if (request->code != IO_STATUS_SKIPPED && (request->flags & IO_REQUEST_COST_COUNTED)) {
    request->worker->pending_cost -= request->cost;
    request->flags &= ~IO_REQUEST_COST_COUNTED;
  }
  set_request_event(request);
}

/* A write that is dropped unwritten (skipped, or never executed) leaves the pending count. */
void drop_cost(qxio_t_io_request *request)
{
  if (!(request->flags & IO_REQUEST_COST_COUNTED)) return;
  qxio_t_io_worker *worker = request->worker;
  qxio_queue_lock(worker->finished);
  worker->pending_cost -= request->cost;
  request->flags &= ~IO_REQUEST_COST_COUNTED;
  qxio_event_set(worker->event);
  qxio_queue_unlock(worker->finished);
}

int write_post_finished(qxio_t_io_request *request)
{
  drop_cost(request);
  return 1;
}

int read_do(qxio_t_io_request *request)
{
  if (__atomic_load_n(&request->worker->worker_flags, __ATOMIC_RELAXED) & IO_WORKER_ERROR_LATCH) {
    request->code = IO_STATUS_SKIPPED;
    return 1;
  }
  if (qxio_buf_reserve(&request->buf, READ_BLOCK) < 0) {
    request->code = IO_STATUS_READ_ENDED;
    request->os_error = ENOMEM;
    return 1;
  }
  bool sequential = request->flags & IO_REQUEST_SEQUENTIAL;
  for (;;) {
    unsigned char *room = request->buf.buf + request->buf.extent;
    size_t free_room = request->buf.writable_size - request->buf.extent;
    int64_t position = request->file_pos + static_cast<int64_t>(request->buf.extent);
    ssize_t n = sequential ? read(request->hFile, room, free_room)
                           : pread(request->hFile, room, free_room, position);
    if (n > 0) {
      request->buf.extent += static_cast<size_t>(n);
      return 1;
    }
    int error = n < 0 ? errno : 0;
    if (error == EINTR) continue;
    if (error == EAGAIN || error == EWOULDBLOCK) {
      wait_ready(request->hFile, POLLIN);
      continue;
    }
    request->code = IO_STATUS_READ_ENDED;
    request->os_error = error;
    return 1;
  }
}

qxio_t_error_code read_error(qxio_t_io_request *request)
{
  if (request->code != IO_STATUS_READ_ENDED) return QXIO_E_NOT_SUPPORTED;
  return request->os_error == 0 ? QXIO_E_END_OF_FILE : mapped_error(request);
}

int read_post_finished(qxio_t_io_request *request)
{
  qxio_queue_put_last(static_cast<qxio_t_queue *>(request->cookie), &request->queue_entry, 0);
  return IO_REQUEST_KEEP;
}

/* ---- simple operations ---- */

int fsync_run(qxio_t_io_request *request)
{
  int rc;
  do {
    rc = fsync(request->hFile);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) record_failure(request, errno);
  return 1;
}

/* EINTR counts as success: the descriptor is released either way. */
int close_run(qxio_t_io_request *request)
{
  if (close(request->hFile) != 0 && errno != EINTR) record_failure(request, errno);
  return 1;
}

int shutdown_run(qxio_t_io_request *request)
{
  uint32_t flags = request->flags;
  int how = SHUT_RDWR;
  if ((flags & IO_REQUEST_SHUT_READ) && !(flags & IO_REQUEST_SHUT_WRITE)) how = SHUT_RD;
  if ((flags & IO_REQUEST_SHUT_WRITE) && !(flags & IO_REQUEST_SHUT_READ)) how = SHUT_WR;
  int rc;
  do {
    rc = shutdown(request->hFile, how);
  } while (rc != 0 && errno == EINTR);
  /* a connection that is already gone counts as shut down */
  if (rc != 0 && errno != ENOTCONN && errno != ECONNRESET && errno != EPIPE)
    record_failure(request, errno);
  return 1;
}

int quit_run(qxio_t_io_request *request) { return IO_WORKER_QUIT; }

const qxio_t_io_simple_operation quit_operation = {quit_run};

/* ---- the worker thread ---- */

struct worker_hold {
  qxio_t_io_worker *worker;
  qxio_t_mutex *held; /* todo_mutex while the thread holds it */
  void *frame;        /* the worker function's frame */
};

/* Under AddressSanitizer a cancelled call leaves the shadow memory of the frames it unwound
   poisoned, and the landing pads that the unwinder runs next check stack memory there; it is
   cleared up to the worker function's frame. */
void unpoison_unwound_frames(void *frame)
{
#if defined(__SANITIZE_ADDRESS__)
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return;
  void *low = nullptr;
  size_t size = 0;
  pthread_attr_getstack(&attributes, &low, &size);
  pthread_attr_destroy(&attributes);
  if (low != nullptr && frame > low)
    __asan_unpoison_memory_region(low, static_cast<char *>(frame) - static_cast<char *>(low));
#endif
}

void worker_cleanup(void *arg)
{
  worker_hold *hold = static_cast<worker_hold *>(arg);
  qxio_mutex_unlock_cleanup(&hold->held);
  __atomic_store_n(&hold->worker->exiting, 1, __ATOMIC_RELEASE);
  unpoison_unwound_frames(hold->frame);
}

/* Steps 1 to 3: wait for work (cancellable), take the first request. */
qxio_t_io_request *take_work(qxio_t_io_worker *worker, worker_hold *hold)
{
  qxio_mutex_lock(worker->todo_mutex);
  hold->held = worker->todo_mutex;
  qxio_task_pthread_cancel_enable();
  for (;;) {
    while (qxio_queue_size(worker->todo) == 0)
      qxio_cond_var_wait(worker->todo_cond, worker->todo_mutex);
    if (qxio_queue_size(worker->todo) > 1 || worker->high_prio) break;
    qxio_cond_var_timedwait(worker->todo_cond, worker->todo_mutex, &MERGE_WAIT);
    /* the stream's thread may have emptied the queue meanwhile */
    if (qxio_queue_size(worker->todo) > 0) break;
  }
  qxio_t_queue_entry *entry = nullptr;
  qxio_queue_get_first(worker->todo, &entry, 0);
  qxio_t_io_request *request = request_of(entry);
  worker->state = QXIO_IO_WORKER_STATE_RUNNING_;
  worker->current = request;
  if (qxio_queue_size(worker->todo) == 0) worker->high_prio = 0;
  hold->held = nullptr;
  qxio_mutex_unlock(worker->todo_mutex);
  return request;
}

/* Step 5: publish the request, with cancellation forbidden. */
void publish(qxio_t_io_worker *worker, qxio_t_io_request *request, int result)
{
  qxio_task_pthread_cancel_disable();
  qxio_queue_lock(worker->finished);
  worker->state =
      result == IO_WORKER_QUIT ? QXIO_IO_WORKER_STATE_QUITTING_ : QXIO_IO_WORKER_STATE_WAITING_;
  request->funcs->pre_finished_fun(request);
  if (request->code == IO_STATUS_EXECUTED) request->code = IO_STATUS_FINISHED;
  request->flags |= IO_REQUEST_PUBLISHED;
  qxio_queue_put_last(worker->finished, &request->queue_entry, QXIO_QUEUE_LOCKED);
  worker->current = nullptr;
  qxio_queue_unlock(worker->finished);
  /* after the unlock: a stream's thread watching the count then finds the lock free */
  __atomic_add_fetch(&worker->progress, 1, __ATOMIC_RELEASE);
}

void *worker_main(qxio_t_task *task, void *arg)
{
  worker_hold hold = {static_cast<qxio_t_io_worker *>(arg), nullptr, __builtin_frame_address(0)};
  qxio_t_io_worker *worker = hold.worker;
  pthread_cleanup_push(worker_cleanup, &hold);
  int result;
  do {
    qxio_t_io_request *request = take_work(worker, &hold);
    request->code = IO_STATUS_EXECUTING;
    result = request->funcs->do_fun(request);
    if (request->code == IO_STATUS_EXECUTING) request->code = IO_STATUS_EXECUTED;
    publish(worker, request, result);
  } while (result != IO_WORKER_QUIT);
  pthread_cleanup_pop(1);
  return nullptr;
}

/* ---- collecting ---- */

qxio_t_io_request *take_finished(qxio_t_io_worker *worker, bool wait)
{
  qxio_t_queue_entry *entry = nullptr;
  if (qxio_queue_get_first(worker->finished, &entry, wait ? QXIO_QUEUE_WAIT : 0) < 0)
    return nullptr;
  return request_of(entry);
}

/* Takes the request off the worker's books; frees it unless its kind keeps it. An abortive
   post-finish drops every request but the parked reset-error one. */
void post_finish(qxio_t_io_worker *worker, qxio_t_io_request *request, bool abortive)
{
  worker->unfinished--;
  if (abortive && request->funcs == &reset_error_funcs) {
    reset_error_post(request);
    return;
  }
  if (abortive) {
    drop_cost(request);
  } else if (request->funcs->post_finished_fun(request) == IO_REQUEST_KEEP) {
    return;
  }
  request->funcs->free_fun(request);
}

/* Appends the re-issue list to todo in its order and wakes the worker. */
void reissue(qxio_t_io_worker *worker, qxio_t_queue *list)
{
  qxio_mutex_lock(worker->todo_mutex);
  qxio_t_queue_entry *entry;
  while (qxio_queue_get_first(list, &entry, 0) >= 0) {
    request_of(entry)->code = IO_STATUS_QUEUED;
    qxio_queue_put_last(worker->todo, entry, QXIO_QUEUE_LOCKED);
  }
  worker->high_prio = 1;
  qxio_mutex_unlock(worker->todo_mutex);
  qxio_io_wake(worker);
}

/* After a failed write: clear the latch, and keep the failed write (unless it is dropped) and
   every write skipped behind it queued in order. Answers how many were queued again. */
qxio_t_error_code recover_write_error(qxio_t_io_worker *worker, qxio_t_io_request *failed,
                                      bool abortive)
{
  qxio_t_error_code rc = qxio_io_worker_ensure_thread(worker);
  if (rc < 0) return rc;
  qxio_t_queue list = {nullptr, nullptr, nullptr, nullptr, 0};
  qxio_t_io_request *reset = worker->reset_error_request;
  worker->reset_error_request = nullptr;
  qxio_io_issue(worker, reset, IO_ISSUE_HIGH);
  if (failed != nullptr) {
    qxio_queue_lock(worker->finished);
    failed->cost = failed->buf.extent - failed->buf_offset;
    worker->pending_cost += failed->cost;
    failed->flags = (failed->flags | IO_REQUEST_COST_COUNTED) & ~IO_REQUEST_FAILED_WRITE;
    qxio_queue_unlock(worker->finished);
    qxio_queue_put_last(&list, &failed->queue_entry, 0);
  }
  for (;;) {
    qxio_t_io_request *request = take_finished(worker, true);
    if (request == reset) {
      post_finish(worker, request, false);
      break;
    }
    if (request->code == IO_STATUS_SKIPPED && request->funcs == &qxio_io_write_request_funcs &&
        !abortive)
      qxio_queue_put_last(&list, &request->queue_entry, 0);
    else
      post_finish(worker, request, abortive);
  }
  qxio_t_error_code count = static_cast<qxio_t_error_code>(list.size);
  if (count > 0) reissue(worker, &list);
  return count;
}

}  // namespace

const qxio_t_io_request_funcs qxio_io_write_request_funcs = {
    write_do, default_free, mapped_error, write_pre_finished, write_post_finished};
const qxio_t_io_request_funcs qxio_io_read_request_funcs = {read_do, default_free, read_error,
                                                            set_request_event, read_post_finished};
const qxio_t_io_simple_operation qxio_io_fsync_operation = {fsync_run};
const qxio_t_io_simple_operation qxio_io_close_operation = {close_run};
const qxio_t_io_simple_operation qxio_io_shutdown_operation = {shutdown_run};

void qxio_io_set_abortive_write_cancel(int cancel) { abortive_write_cancel = cancel; }

/* ---- requests ---- */

qxio_t_io_request *qxio_io_request_new(qxio_t_io_worker *worker,
                                       const qxio_t_io_request_funcs *funcs)
{
  qxio_t_io_request *request = static_cast<qxio_t_io_request *>(qxio_alloc(sizeof *request));
  if (request == nullptr) return nullptr;
  request->funcs = funcs;
  request->queue_entry.next = nullptr;
  request->worker = worker;
  request->cookie = nullptr;
  request->code = QXIO_E_INTERNAL_ERROR;
  qxio_buf_init_buf(&request->buf);
  request->flags = 0;
  request->os_error = -1;
  request->file_pos = -1;
  request->buf_offset = 0;
  request->hFile = -1;
  request->event = nullptr;
  request->cost = 0;
  request->generation = 0;
  return request;
}

void qxio_io_request_free(qxio_t_io_request *request)
{
  if (request != nullptr) request->funcs->free_fun(request);
}

/* The worker is woken after todo_mutex is released, so that it does not wake only to wait
   for the lock. */
bool qxio_io_issue(qxio_t_io_worker *worker, qxio_t_io_request *request, uint32_t options)
{
  bool locked = options & IO_ISSUE_LOCKED;
  if (!locked) qxio_mutex_lock(worker->todo_mutex);
  bool was_empty = qxio_queue_size(worker->todo) == 0;
  request->code = IO_STATUS_QUEUED;
  qxio_queue_put_last(worker->todo, &request->queue_entry, QXIO_QUEUE_LOCKED);
  worker->unfinished++;
  if (options & IO_ISSUE_HIGH) worker->high_prio = 1;
  bool wake = (options & IO_ISSUE_HIGH) || was_empty;
  if (locked) return wake;
  qxio_mutex_unlock(worker->todo_mutex);
  if (wake) qxio_io_wake(worker);
  return false;
}

void qxio_io_wake(qxio_t_io_worker *worker)
{
  qxio_cond_var_signal(worker->todo_cond, worker->todo_mutex, 0);
}

/* ---- workers ---- */

qxio_t_error_code qxio_io_worker_init(qxio_t_io_worker *worker)
{
  worker->state = QXIO_IO_WORKER_STATE_NONE_;
  worker->pending_cost_max = PENDING_COST_MAX;
  qxio_t_error_code rc = qxio_queue_new(&worker->todo, 0);
  if (rc >= 0) rc = qxio_queue_new(&worker->finished, QXIO_QUEUE_NEW_MUTEX | QXIO_QUEUE_NEW_COND);
  if (rc >= 0) rc = qxio_mutex_new(&worker->todo_mutex, 0);
  if (rc >= 0) rc = qxio_cond_var_new(&worker->todo_cond, 0);
  if (rc >= 0) rc = qxio_event_new(0, &worker->event);
  if (rc >= 0) {
    worker->reset_error_request = qxio_io_request_new(worker, &reset_error_funcs);
    if (worker->reset_error_request == nullptr) rc = QXIO_E_OUT_OF_MEMORY;
  }
  return rc;
}

qxio_t_error_code qxio_io_worker_ensure_thread(qxio_t_io_worker *worker)
{
  if (worker->task != nullptr) return QXIO_S_NOERR;
  worker->state = QXIO_IO_WORKER_STATE_WAITING_;
  qxio_t_error_code rc =
      qxio_task_create(QXIO_TASK_CANCELLABLE, worker_main, worker, &worker->task);
  if (rc < 0) worker->state = QXIO_IO_WORKER_STATE_NONE_;
  return rc;
}

int qxio_io_worker_running(qxio_t_io_worker *worker)
{
  return worker->task != nullptr && !__atomic_load_n(&worker->exiting, __ATOMIC_ACQUIRE);
}

/* Cancels the thread, whatever it is doing, and drops the request it was executing. */
static void kill_worker(qxio_t_io_worker *worker)
{
  qxio_task_cancel(worker->task, 0);
  qxio_task_free(worker->task);
  worker->task = nullptr;
  worker->state = QXIO_IO_WORKER_STATE_NONE_;
  __atomic_store_n(&worker->exiting, 0, __ATOMIC_RELAXED);
  __atomic_and_fetch(&worker->worker_flags, ~IO_WORKER_ERROR_LATCH, __ATOMIC_RELAXED);
  qxio_t_io_request *current = worker->current;
  worker->current = nullptr;
  if (current != nullptr) post_finish(worker, current, true);
}

void qxio_io_worker_empty(qxio_t_io_worker *worker)
{
  qxio_t_queue dropped = {nullptr, nullptr, nullptr, nullptr, 0};
  qxio_mutex_lock(worker->todo_mutex);
  qxio_t_queue_entry *entry;
  while (qxio_queue_get_first(worker->todo, &entry, 0) >= 0)
    qxio_queue_put_last(&dropped, entry, 0);
  qxio_mutex_unlock(worker->todo_mutex);
  while (qxio_queue_get_first(&dropped, &entry, 0) >= 0)
    post_finish(worker, request_of(entry), true);
  if (worker->task == nullptr) return;
  bool idle = false;
  if (!qxio_task_is_cancelled(worker->task)) {
    qxio_queue_lock(worker->finished);
    qxio_mutex_lock(worker->todo_mutex);
    idle = worker->state == QXIO_IO_WORKER_STATE_WAITING_ && qxio_queue_size(worker->todo) == 0;
    qxio_mutex_unlock(worker->todo_mutex);
    qxio_queue_unlock(worker->finished);
  }
  if (!idle) kill_worker(worker);
}

/* An idle thread is asked to quit and waited for; it answers at once. A busy one was killed
   by the emptying before, so that nothing here waits behind a blocked call. */
static void end_thread(qxio_t_io_worker *worker)
{
  qxio_io_worker_empty(worker);
  if (worker->task == nullptr) return;
  if (!__atomic_load_n(&worker->exiting, __ATOMIC_ACQUIRE)) {
    qxio_t_io_request *quit = qxio_io_request_new(worker, &simple_funcs);
    if (quit == nullptr) {
      kill_worker(worker);
      return;
    }
    quit->cookie = const_cast<qxio_t_io_simple_operation *>(&quit_operation);
    quit->flags |= IO_REQUEST_SYNCHRONOUS;
    qxio_io_issue(worker, quit, IO_ISSUE_HIGH);
  }
  qxio_task_free(worker->task);
  worker->task = nullptr;
  worker->state = QXIO_IO_WORKER_STATE_NONE_;
}

static void free_queue(qxio_t_queue *queue)
{
  if (queue == nullptr) return;
  qxio_t_queue_entry *entry;
  while (qxio_queue_get_first(queue, &entry, 0) >= 0) qxio_io_request_free(request_of(entry));
  qxio_queue_free(queue);
}

void qxio_io_worker_deinit(qxio_t_io_worker *worker)
{
  if (worker->todo != nullptr && worker->task != nullptr) end_thread(worker);
  free_queue(worker->todo);
  free_queue(worker->finished);
  qxio_io_request_free(worker->current);
  qxio_io_request_free(worker->reset_error_request);
  qxio_cond_var_free(worker->todo_cond);
  qxio_mutex_free(worker->todo_mutex);
  qxio_event_free(worker->event);
  memset(worker, 0, sizeof *worker);
}

/* ---- collecting, barriers, simple requests ---- */

qxio_t_error_code qxio_io_collect(qxio_t_io_worker *worker, bool abortive)
{
  qxio_t_error_code reissued = 0;
  for (;;) {
    qxio_t_io_request *request = take_finished(worker, false);
    if (request == nullptr) return reissued;
    bool failed = request->code == IO_STATUS_FAILED;
    qxio_t_error_code error = failed ? request->funcs->get_error_fun(request) : QXIO_S_NOERR;
    bool failed_write = request->flags & IO_REQUEST_FAILED_WRITE;
    bool keep_aside = failed && !(request->flags & IO_REQUEST_SYNCHRONOUS) && !abortive;
    if (!keep_aside) post_finish(worker, request, abortive);
    if (failed_write) {
      qxio_t_error_code count =
          recover_write_error(worker, keep_aside ? request : nullptr, abortive);
      if (count < 0) return count;
      reissued += count;
    } else if (keep_aside) {
      post_finish(worker, request, abortive);
    }
    if (failed && !abortive) return error;
  }
}

qxio_t_error_code qxio_io_wait(qxio_t_event *event)
{
  qxio_t_error_code rc = qxio_event_wait(&event, 1, nullptr);
  return rc < 0 ? rc : QXIO_S_NOERR;
}

uint32_t qxio_io_progress(qxio_t_io_worker *worker)
{
  return __atomic_load_n(&worker->progress, __ATOMIC_ACQUIRE);
}

/* On a single processor the worker cannot go on while this thread watches it. */
qxio_t_error_code qxio_io_wait_progress(qxio_t_io_worker *worker, uint32_t seen)
{
  static const bool several_processors = sysconf(_SC_NPROCESSORS_ONLN) > 1;
  if (!several_processors) return qxio_io_wait(worker->event);
  struct timespec start, now;
  clock_gettime(CLOCK_MONOTONIC, &start);
  do {
    for (int i = 0; i < SPIN_CHECKS; i++) {
      if (qxio_io_progress(worker) != seen) return QXIO_S_NOERR;
      spin_pause();
    }
    clock_gettime(CLOCK_MONOTONIC, &now);
  } while ((now.tv_sec - start.tv_sec) * 1000000000L + (now.tv_nsec - start.tv_nsec) < SPIN_NSEC);
  return qxio_io_wait(worker->event);
}

/* Issues a request at high priority and waits until it is published. The wait uses the
   worker's own event, reset only while the request is still out, so that it needs no
   descriptor of its own (a stream closes even when none is left); the publication sets the
   event again. An interrupt ends the wait only when asked. */
static qxio_t_error_code issue_and_wait(qxio_t_io_worker *worker, qxio_t_io_request *request,
                                        bool interruptible)
{
  request->flags |= IO_REQUEST_WORKER_EVENT;
  request->event = worker->event;
  qxio_io_issue(worker, request, IO_ISSUE_HIGH);
  for (;;) {
    qxio_queue_lock(worker->finished);
    bool published = request->flags & IO_REQUEST_PUBLISHED;
    if (!published) qxio_event_reset(worker->event);
    qxio_queue_unlock(worker->finished);
    if (published) return QXIO_S_NOERR;
    qxio_t_error_code rc = qxio_io_wait(worker->event);
    if (rc < 0 && (rc != QXIO_E_INTERRUPTED || interruptible)) return rc;
  }
}

qxio_t_error_code qxio_io_barrier(qxio_t_io_worker *worker, bool abortive)
{
  if (abortive && abortive_write_cancel) qxio_io_worker_empty(worker);
  /* a worker that never ran has nothing to wait for */
  if (worker->task == nullptr && worker->unfinished == 0) return QXIO_S_NOERR;
  qxio_t_error_code rc = qxio_io_worker_ensure_thread(worker);
  if (rc < 0) return rc;
  rc = qxio_io_collect(worker, abortive);
  if (rc < 0) return rc;
  do {
    qxio_t_io_request *marker = qxio_io_request_new(worker, &set_event_funcs);
    if (marker == nullptr) return QXIO_E_OUT_OF_MEMORY;
    rc = issue_and_wait(worker, marker, true);
    if (rc < 0) return rc;
    rc = qxio_io_collect(worker, abortive);
    if (rc < 0) return rc;
  } while (rc > 0);
  return QXIO_S_NOERR;
}

/* The wait is not cut by interrupts: the operation is short and its outcome is needed. */
qxio_t_error_code qxio_io_run_simple(qxio_t_io_worker *worker, int fd,
                                     const qxio_t_io_simple_operation *operation, uint32_t flags)
{
  qxio_t_error_code rc = qxio_io_worker_ensure_thread(worker);
  if (rc < 0) return rc;
  qxio_t_io_request *request = qxio_io_request_new(worker, &simple_funcs);
  if (request == nullptr) return QXIO_E_OUT_OF_MEMORY;
  request->cookie = const_cast<qxio_t_io_simple_operation *>(operation);
  request->flags |= IO_REQUEST_SYNCHRONOUS | flags;
  request->hFile = fd;
  rc = issue_and_wait(worker, request, false);
  if (rc < 0) return rc;
  return qxio_io_collect(worker, false);
}
