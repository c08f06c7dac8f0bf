/* The layer class "threaddevice": the default device layer over a descriptor. Writes are
   copied into queued requests (small ones merged) and done by the stream's write worker;
   reads are done ahead in 64 KiB blocks by its read worker; the caller only ever waits on
   events, which an interrupt can cut short. */
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>

#include "qxio_async_internal.h"
#include "qxio_io_worker.h"

namespace {

typedef struct qxio_t_layer_threaddevice {
  qxio_t_layer layer;
  int hFile; /* -1 once closed */
  qxio_t_device_type device_type;
  int64_t write_pos;
  int64_t read_pos;
  qxio_t_io_worker write_worker;
  qxio_t_io_worker read_worker;
  qxio_t_queue *completed_reads; /* read results in order (stream's thread only) */
  uint32_t write_generation;     /* counts writes, so that reads issued before one are stale */
} qxio_t_layer_threaddevice;

/* A request of at least this many bytes wakes the worker at once. */
const size_t WAKE_BYTES = 1000;
const size_t READ_BLOCK = 65536;

qxio_t_layer_threaddevice *device_of(QXIO *slot)
{
  return reinterpret_cast<qxio_t_layer_threaddevice *>(*slot);
}

qxio_t_io_request *request_of(qxio_t_queue_entry *entry)
{
  return reinterpret_cast<qxio_t_io_request *>(reinterpret_cast<char *>(entry) -
                                               offsetof(qxio_t_io_request, queue_entry));
}

bool has(const qxio_t_layer_threaddevice *l, uint32_t flags)
{
  return (l->layer.flags & flags) == flags;
}

/* Reads and writes that see each other's bytes: a positioned device open both ways. */
bool shared_file(const qxio_t_layer_threaddevice *l)
{
  return has(l, QXIO_LAYER_READ_OPEN | QXIO_LAYER_WRITE_OPEN) && !has(l, QXIO_LAYER_SEQUENTIAL);
}

/* ---- write ---- */

/* Appends n bytes to the last queued write when it ends at the write position; urgent says
   that no more output can follow soon (the queue is full), so the worker need not wait for
   more to merge. Runs under todo_mutex; *wake says whether the worker must be woken. */
bool merge_into_last(qxio_t_layer_threaddevice *l, const unsigned char *bytes, size_t n,
                     bool urgent, bool *wake)
{
  qxio_t_io_worker *worker = &l->write_worker;
  qxio_t_queue_entry *entry = nullptr;
  if (qxio_queue_get_last(worker->todo, &entry, QXIO_QUEUE_PEEK | QXIO_QUEUE_GET_LOCKED) < 0)
    return false;
  qxio_t_io_request *last = request_of(entry);
  if (last->funcs != &qxio_io_write_request_funcs) return false;
  size_t unwritten = last->buf.extent - last->buf_offset;
  if (last->file_pos + static_cast<int64_t>(unwritten) != l->write_pos) return false;
  qxio_t_buf *buf = &last->buf;
  if (buf->writable_size - buf->extent < n &&
      qxio_buf_reserve(buf, n > buf->extent ? n : buf->extent) < 0)
    return false;
  qxio_buf_concat_bytes(buf, bytes, n);
  last->cost += n;
  if (urgent) worker->high_prio = 1;
  *wake = unwritten + n > WAKE_BYTES || urgent;
  return true;
}

/* Queues n bytes as a new write request. Runs under todo_mutex; *wake as above. */
qxio_t_error_code queue_new_write(qxio_t_layer_threaddevice *l, const unsigned char *bytes,
                                  size_t n, bool urgent, bool *wake)
{
  qxio_t_io_worker *worker = &l->write_worker;
  qxio_t_io_request *request = qxio_io_request_new(worker, &qxio_io_write_request_funcs);
  if (request == nullptr) return QXIO_E_OUT_OF_MEMORY;
  if (qxio_buf_concat_bytes(&request->buf, bytes, n) < 0) {
    qxio_io_request_free(request);
    return QXIO_E_OUT_OF_MEMORY;
  }
  if (has(l, QXIO_LAYER_SEQUENTIAL)) request->flags |= IO_REQUEST_SEQUENTIAL;
  request->flags |= IO_REQUEST_WORKER_EVENT | IO_REQUEST_COST_COUNTED;
  request->file_pos = l->write_pos;
  request->hFile = l->hFile;
  request->event = worker->event;
  request->cost = n;
  *wake = qxio_io_issue(worker, request,
                        IO_ISSUE_LOCKED | (n >= WAKE_BYTES || urgent ? IO_ISSUE_HIGH : 0));
  return QXIO_S_NOERR;
}

/* Waits until fewer than pending_cost_max bytes are queued; on success the finished lock is
   held. */
qxio_t_error_code wait_for_room(qxio_t_io_worker *worker, uint32_t options)
{
  for (;;) {
    qxio_t_error_code rc = qxio_io_collect(worker, false);
    if (rc < 0) return rc;
    qxio_queue_lock(worker->finished);
    if (worker->pending_cost < worker->pending_cost_max) return QXIO_S_NOERR;
    uint32_t seen = qxio_io_progress(worker);
    qxio_queue_unlock(worker->finished);
    if (options & QXIO_WRITE_NONBLOCKING) return QXIO_E_WOULD_BLOCK;
    rc = qxio_io_wait_progress(worker, seen);
    if (rc < 0) return rc;
  }
}

/* The room is taken under the finished lock, and the bytes are copied after it is released,
   so that the worker, publishing a finished write, does not wait behind the copy. */
qxio_t_error_code td_write(QXIO *slot, qxio_t_buf *buf, size_t *pos, uint32_t options)
{
  qxio_t_layer_threaddevice *l = device_of(slot);
  qxio_t_io_worker *worker = &l->write_worker;
  if (*pos > buf->extent) return QXIO_E_PARAMETER_ERROR;
  if (*pos == buf->extent) return QXIO_S_NOERR;
  qxio_t_error_code rc = qxio_io_worker_ensure_thread(worker);
  if (rc < 0) return rc;
  rc = wait_for_room(worker, options);
  if (rc < 0) return rc;
  size_t room = worker->pending_cost_max - worker->pending_cost;
  size_t offered = buf->extent - *pos;
  size_t n = room < offered ? room : offered;
  /* A full queue makes the writer wait: a small last piece must not wait for more. */
  bool full = room <= offered;
  if (full) qxio_event_reset(worker->event);
  worker->pending_cost += n;
  qxio_queue_unlock(worker->finished);
  const unsigned char *bytes = buf->buf + *pos;
  bool wake = false;
  qxio_mutex_lock(worker->todo_mutex);
  if (!merge_into_last(l, bytes, n, full, &wake)) rc = queue_new_write(l, bytes, n, full, &wake);
  qxio_mutex_unlock(worker->todo_mutex);
  if (wake) qxio_io_wake(worker);
  if (rc < 0) {
    qxio_queue_lock(worker->finished);
    worker->pending_cost -= n;
    qxio_event_set(worker->event);
    qxio_queue_unlock(worker->finished);
    return rc;
  }
  l->write_pos += static_cast<int64_t>(n);
  *pos += n;
  l->write_generation++;
  return QXIO_S_NOERR;
}

/* ---- read ---- */

qxio_t_error_code issue_read(qxio_t_layer_threaddevice *l)
{
  qxio_t_io_worker *worker = &l->read_worker;
  qxio_t_io_request *request = qxio_io_request_new(worker, &qxio_io_read_request_funcs);
  if (request == nullptr) return QXIO_E_OUT_OF_MEMORY;
  if (qxio_buf_reserve(&request->buf, READ_BLOCK) < 0) {
    qxio_io_request_free(request);
    return QXIO_E_OUT_OF_MEMORY;
  }
  if (has(l, QXIO_LAYER_SEQUENTIAL)) request->flags |= IO_REQUEST_SEQUENTIAL;
  if (l->device_type == QXIO_DEVICE_TYPE_FILE) request->flags |= IO_REQUEST_REGULAR_FILE;
  request->flags |= IO_REQUEST_WORKER_EVENT;
  request->cookie = l->completed_reads;
  request->file_pos = l->read_pos;
  request->hFile = l->hFile;
  request->event = worker->event;
  request->generation = l->write_generation;
  if (qxio_queue_size(l->completed_reads) == 0 && worker->unfinished == 0)
    qxio_event_reset(worker->event);
  qxio_io_issue(worker, request, IO_ISSUE_HIGH);
  return QXIO_S_NOERR;
}

void drop_first_completed(qxio_t_layer_threaddevice *l)
{
  qxio_t_queue_entry *entry = nullptr;
  qxio_queue_get_first(l->completed_reads, &entry, 0);
  qxio_io_request_free(request_of(entry));
}

/* Step 4 for the first completed read. Answers 0 with bytes delivered, a failure to return,
   or 1 when the request was dropped and the reading goes on. */
qxio_t_error_code take_completed(qxio_t_layer_threaddevice *l, qxio_t_buf *buf, bool issued)
{
  qxio_t_queue_entry *entry = nullptr;
  qxio_queue_get_first(l->completed_reads, &entry, QXIO_QUEUE_PEEK);
  qxio_t_io_request *request = request_of(entry);
  if (request->code == IO_STATUS_READ_ENDED) {
    qxio_t_error_code error = request->funcs->get_error_fun(request);
    /* A read-ahead's end of a regular file, or its error, is confirmed by a fresh read. */
    if (!issued && (error != QXIO_E_END_OF_FILE || l->device_type == QXIO_DEVICE_TYPE_FILE)) {
      drop_first_completed(l);
      return 1;
    }
    drop_first_completed(l);
    return error;
  }
  size_t from = 0;
  if (!(request->flags & IO_REQUEST_SEQUENTIAL)) {
    int64_t end = request->file_pos + static_cast<int64_t>(request->buf.extent);
    bool stale = request->file_pos > l->read_pos || end <= l->read_pos ||
                 (shared_file(l) && request->generation != l->write_generation);
    if (stale) {
      drop_first_completed(l);
      return 1;
    }
    from = static_cast<size_t>(l->read_pos - request->file_pos);
  }
  size_t n = request->buf.extent - from;
  qxio_t_error_code rc = qxio_buf_concat_bytes(buf, request->buf.buf + from, n);
  if (rc < 0) return rc;
  l->read_pos += static_cast<int64_t>(n);
  drop_first_completed(l);
  return QXIO_S_NOERR;
}

/* Resets the read worker's event when no result can be waiting, so that a wait sleeps until
   the next one arrives. */
void reset_if_dry(qxio_t_layer_threaddevice *l)
{
  qxio_t_io_worker *worker = &l->read_worker;
  qxio_queue_lock(worker->finished);
  if (qxio_queue_size(worker->finished) == 0 && qxio_queue_size(l->completed_reads) == 0)
    qxio_event_reset(worker->event);
  qxio_queue_unlock(worker->finished);
}

/* One round of the read loop: collect, issue a read when none is under way, and take the
   first result. Answers 1 to go on. */
qxio_t_error_code read_round(qxio_t_layer_threaddevice *l, qxio_t_buf *buf, uint32_t options,
                             bool *issued)
{
  qxio_t_io_worker *worker = &l->read_worker;
  qxio_t_error_code rc = qxio_io_collect(worker, false);
  if (rc < 0) return rc;
  if (qxio_queue_size(l->completed_reads) == 0 && worker->unfinished == 0) {
    rc = issue_read(l);
    if (rc < 0) return rc;
    *issued = true;
  }
  if (qxio_queue_size(l->completed_reads) == 0) {
    if (options & QXIO_READ_NONBLOCKING) return QXIO_E_WOULD_BLOCK;
    reset_if_dry(l);
    rc = qxio_io_wait(worker->event);
    return rc < 0 ? rc : 1;
  }
  rc = take_completed(l, buf, *issued);
  if (rc == 1 && qxio_queue_size(l->completed_reads) == 0) reset_if_dry(l);
  return rc;
}

qxio_t_error_code td_read(QXIO *slot, qxio_t_buf *buf, uint32_t options)
{
  qxio_t_layer_threaddevice *l = device_of(slot);
  qxio_t_io_worker *worker = &l->read_worker;
  qxio_t_error_code rc = qxio_io_worker_ensure_thread(worker);
  if (rc < 0) return rc;
  /* Output queued to the same file must be there before it is read. */
  if (shared_file(l) && l->write_worker.unfinished > 0) {
    rc = qxio_io_barrier(&l->write_worker, false);
    if (rc < 0) return rc;
  }
  bool issued = false;
  do {
    rc = read_round(l, buf, options, &issued);
  } while (rc == 1);
  if (rc == QXIO_E_WOULD_BLOCK || rc == QXIO_E_INTERRUPTED) return rc;
  /* Read-ahead. A read-ahead that cannot be issued does not undo this read's result: the
     next read issues it again and reports a failure that persists. */
  if (qxio_queue_size(l->completed_reads) == 0 && worker->unfinished == 0) issue_read(l);
  return rc;
}

/* ---- sync, seek, ioctl ---- */

qxio_t_error_code td_sync(QXIO *slot, uint32_t options)
{
  qxio_t_layer_threaddevice *l = device_of(slot);
  if (l->hFile == -1 || !(options & QXIO_SYNC_WRITE) || !has(l, QXIO_LAYER_WRITABLE) ||
      (options & QXIO_SYNC_DEVICE_SKIP))
    return QXIO_S_NOERR;
  qxio_t_error_code rc = qxio_io_barrier(&l->write_worker, false);
  if (rc < 0 || !has(l, QXIO_LAYER_SYNC_STABLE)) return rc;
  /* a stream that never wrote has nothing to force out */
  if (!qxio_io_worker_running(&l->write_worker)) return rc;
  return qxio_io_run_simple(&l->write_worker, l->hFile, &qxio_io_fsync_operation, 0);
}

qxio_t_error_code td_seek(QXIO *slot, int64_t offset, int64_t *new_offset, qxio_t_buf *buf,
                          uint32_t options)
{
  qxio_t_layer_threaddevice *l = device_of(slot);
  if (!has(l, QXIO_LAYER_SEEKABLE)) return QXIO_E_SEEK_ERROR;
  int64_t target;
  qxio_t_error_code rc =
      qxio_fd_seek_target(slot, l->read_pos, l->write_pos, offset, options, &target);
  if (rc < 0) return rc;
  if (options & QXIO_SEEK_READ) l->read_pos = target;
  if (options & QXIO_SEEK_WRITE) l->write_pos = target;
  *new_offset = target;
  return QXIO_S_NOERR;
}

qxio_t_error_code file_size(qxio_t_layer_threaddevice *l, int64_t *size)
{
  if (has(l, QXIO_LAYER_WRITE_OPEN)) {
    qxio_t_error_code rc = qxio_io_barrier(&l->write_worker, false);
    if (rc < 0) return rc;
  }
  qxio_t_error_code rc = qxio_unix_file_size(l->hFile, size, 0);
  if (rc < 0 && l->device_type != QXIO_DEVICE_TYPE_FILE) return QXIO_E_NOT_SUPPORTED;
  return rc;
}

qxio_t_error_code td_ioctl(QXIO *slot, qxio_t_ioctl_operation operation, void *arg,
                           uint32_t options)
{
  qxio_t_layer_threaddevice *l = device_of(slot);
  if (operation != QXIO_IOCTL_SIZE_)
    return qxio_fd_ioctl_common(&l->layer, l->read_worker.event, l->write_worker.event,
                                l->device_type, operation, arg);
  if (l->hFile == -1) return QXIO_E_NOT_SUPPORTED;
  return file_size(l, static_cast<int64_t *>(arg));
}

/* ---- close, destroy ---- */

/* Step 3 of close: shut the closing directions of an owned socket down. */
qxio_t_error_code shut_down_socket(qxio_t_layer_threaddevice *l, uint32_t sides, bool abortive)
{
  uint32_t how = 0;
  if ((sides & QXIO_CLOSE_READ) && has(l, QXIO_LAYER_OS_INPUT_OPEN)) how |= IO_REQUEST_SHUT_READ;
  if ((sides & QXIO_CLOSE_WRITE) && has(l, QXIO_LAYER_OS_OUTPUT_OPEN)) how |= IO_REQUEST_SHUT_WRITE;
  if (how == 0) return QXIO_S_NOERR;
  if (abortive) how |= IO_REQUEST_SHUT_ABORTIVE;
  if (abortive && (sides & QXIO_CLOSE_WRITE)) {
    struct linger reset = {1, 0};
    setsockopt(l->hFile, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  }
  bool use_write =
      (sides & QXIO_CLOSE_WRITE) && has(l, QXIO_LAYER_HAS_OUTPUT) &&
      !(!qxio_io_worker_running(&l->write_worker) && qxio_io_worker_running(&l->read_worker));
  qxio_t_io_worker *worker = use_write ? &l->write_worker : &l->read_worker;
  return qxio_io_run_simple(worker, l->hFile, &qxio_io_shutdown_operation, how);
}

/* Step 4 of close: forget the closed directions; close an owned descriptor once neither
   remains. When no worker thread can be had, the descriptor is closed here rather than
   lost. */
qxio_t_error_code close_directions(qxio_t_layer_threaddevice *l, uint32_t sides, bool abortive)
{
  if (sides & QXIO_CLOSE_READ) l->layer.flags &= ~QXIO_LAYER_OS_INPUT_OPEN;
  if (sides & QXIO_CLOSE_WRITE) l->layer.flags &= ~QXIO_LAYER_OS_OUTPUT_OPEN;
  if (l->layer.flags & (QXIO_LAYER_OS_INPUT_OPEN | QXIO_LAYER_OS_OUTPUT_OPEN)) return QXIO_S_NOERR;
  qxio_t_error_code rc = QXIO_S_NOERR;
  if (l->hFile != -1 && !has(l, QXIO_LAYER_HANDLE_NOT_OWNED)) {
    qxio_t_io_worker *worker = has(l, QXIO_LAYER_HAS_OUTPUT) ? &l->write_worker : &l->read_worker;
    if (qxio_io_worker_ensure_thread(worker) < 0)
      rc = qxio_os_file_handle_close_unix(l->hFile, QXIO_FD_CLOSE_NOT_SOCKET |
                                                        (abortive ? QXIO_FD_CLOSE_ABORTIVE : 0));
    else
      rc = qxio_io_run_simple(worker, l->hFile, &qxio_io_close_operation, 0);
  }
  l->hFile = -1;
  return rc;
}

qxio_t_error_code td_close(QXIO *slot, uint32_t options)
{
  qxio_t_layer_threaddevice *l = device_of(slot);
  bool abortive = options & QXIO_CLOSE_ABORTIVE;
  uint32_t sides = 0;
  if ((options & QXIO_CLOSE_WRITE) && has(l, QXIO_LAYER_WRITE_OPEN)) sides |= QXIO_CLOSE_WRITE;
  if ((options & QXIO_CLOSE_READ) && has(l, QXIO_LAYER_READ_OPEN)) sides |= QXIO_CLOSE_READ;
  qxio_t_error_code rc;
  if (sides & QXIO_CLOSE_WRITE) {
    rc = qxio_io_barrier(&l->write_worker, abortive);
    if (rc < 0 && !abortive) return rc;
  }
  if (sides & QXIO_CLOSE_READ) {
    if (!abortive) qxio_event_set(l->read_worker.event);
    qxio_io_worker_empty(&l->read_worker);
    qxio_io_collect(&l->read_worker, abortive);
  }
  if (l->hFile != -1 && l->device_type == QXIO_DEVICE_TYPE_SOCKET &&
      !has(l, QXIO_LAYER_HANDLE_NOT_OWNED)) {
    rc = shut_down_socket(l, sides, abortive);
    if (rc < 0 && !abortive) return rc;
  }
  rc = close_directions(l, sides, abortive);
  if (rc < 0 && !abortive) return rc;
  if (sides & QXIO_CLOSE_READ) l->layer.flags &= ~(QXIO_LAYER_READ_OPEN | QXIO_LAYER_READABLE);
  if (sides & QXIO_CLOSE_WRITE) l->layer.flags &= ~(QXIO_LAYER_WRITE_OPEN | QXIO_LAYER_WRITABLE);
  if (!(l->layer.flags & (QXIO_LAYER_READ_OPEN | QXIO_LAYER_WRITE_OPEN))) {
    qxio_layer_pop(slot);
    qxio_layer_destroy(&l->layer);
  }
  return QXIO_S_NOERR;
}

void free_completed(qxio_t_queue *completed)
{
  if (completed == nullptr) return;
  qxio_t_queue_entry *entry;
  while (qxio_queue_get_first(completed, &entry, 0) >= 0) qxio_io_request_free(request_of(entry));
  qxio_queue_free(completed);
}

void td_destroy(qxio_t_layer *layer)
{
  qxio_t_layer_threaddevice *l = reinterpret_cast<qxio_t_layer_threaddevice *>(layer);
  l->read_pos = l->write_pos = -1;
  l->hFile = -1;
  qxio_io_worker_deinit(&l->write_worker);
  qxio_io_worker_deinit(&l->read_worker);
  free_completed(l->completed_reads);
  qxio_free(l);
}

qxio_t_error_code td_push(const qxio_t_funcs *funcs, QXIO *slot, const qxio_t_arglist *args,
                          uint32_t options)
{
  return QXIO_E_NOT_IMPLEMENTED;
}

qxio_t_error_code td_pop(const qxio_t_funcs *funcs, QXIO *slot, uint32_t options)
{
  return QXIO_E_NOT_IMPLEMENTED;
}

/* ---- making the layer ---- */

/* Steps 4 and 5: flags and positions by device type. */
qxio_t_error_code set_up_device(qxio_t_layer_threaddevice *l, int status_flags, uint32_t options)
{
  qxio_t_error_code rc = qxio_fd_device_type_check(l->device_type);
  if (rc < 0) return rc;
  switch (l->device_type) {
  case QXIO_DEVICE_TYPE_TTY:
  case QXIO_DEVICE_TYPE_FIFO:
  case QXIO_DEVICE_TYPE_CHARACTER: l->layer.flags |= QXIO_LAYER_SEQUENTIAL; return QXIO_S_NOERR;
  case QXIO_DEVICE_TYPE_SOCKET:
    l->layer.flags |= QXIO_LAYER_SEQUENTIAL | QXIO_LAYER_SOCKET;
    return QXIO_S_NOERR;
  default: break;
  }
  rc = qxio_fd_file_positions(l->hFile, status_flags, options, &l->read_pos, &l->write_pos);
  if (rc < 0) return rc;
  if (options & QXIO_FD_WRITE) l->layer.flags |= QXIO_LAYER_SYNC_STABLE;
  if (!(options & QXIO_FD_SEQUENTIAL)) l->layer.flags |= QXIO_LAYER_SEEKABLE;
  return QXIO_S_NOERR;
}

/* Steps 1 to 3: the directions asked for against the descriptor's access mode, and the
   workers they need. */
qxio_t_error_code set_up_directions(qxio_t_layer_threaddevice *l, int status_flags,
                                    uint32_t options)
{
  qxio_t_error_code rc = qxio_fd_direction_flags(status_flags, options, &l->layer.flags);
  if (rc >= 0 && (options & QXIO_FD_WRITE)) {
    rc = qxio_io_worker_init(&l->write_worker);
    if (rc >= 0) rc = qxio_event_set(l->write_worker.event);
  }
  if (rc >= 0 && (options & QXIO_FD_READ)) {
    rc = qxio_io_worker_init(&l->read_worker);
    if (rc >= 0) rc = qxio_queue_new(&l->completed_reads, 0);
  }
  return rc;
}

qxio_t_error_code td_open(const qxio_t_funcs *funcs, QXIO *slot, const qxio_t_arglist *args,
                          uint32_t options)
{
  return qxio_open_path_with(slot, args, options, qxio_layer_threaddevice_open_file_handle_unix);
}

}  // namespace

const qxio_t_funcs qxio_layer_threaddevice_funcs = {sizeof(qxio_t_funcs),
                                                    "threaddevice",
                                                    sizeof(qxio_t_layer_threaddevice),
                                                    0,
                                                    0,
                                                    td_read,
                                                    td_write,
                                                    td_sync,
                                                    td_seek,
                                                    td_close,
                                                    td_push,
                                                    td_pop,
                                                    td_destroy,
                                                    td_open,
                                                    td_ioctl};

qxio_t_error_code qxio_layer_threaddevice_open_file_handle_unix(QXIO *slot, int fd,
                                                                uint32_t options)
{
  int status_flags;
  qxio_t_error_code rc = qxio_fd_layer_status(slot, fd, options, &status_flags);
  if (rc < 0) return rc;
  qxio_t_layer_threaddevice *l = static_cast<qxio_t_layer_threaddevice *>(qxio_alloc(sizeof *l));
  if (l == nullptr) return QXIO_E_OUT_OF_MEMORY;
  memset(l, 0, sizeof *l);
  l->layer.funcs = &qxio_layer_threaddevice_funcs;
  l->hFile = fd;
  rc = set_up_directions(l, status_flags, options);
  if (rc >= 0) {
    l->device_type = qxio_unix_device_type(fd);
    rc = set_up_device(l, status_flags, options);
  }
  if (rc < 0) {
    td_destroy(&l->layer);
    return rc;
  }
  return qxio_layer_push(slot, &l->layer);
}

qxio_t_error_code qxio_init_layer_threaddevice(uint32_t deinit)
{
  if (!deinit)
    qxio_io_set_abortive_write_cancel(
        qxio_get_boolean_system_property("QXIO_ABORTIVE_WRITE_CANCEL", 1) == 1);
  return qxio_register_layer(&qxio_layer_threaddevice_funcs, deinit ? QXIO_REGISTER_REMOVE : 0);
}
