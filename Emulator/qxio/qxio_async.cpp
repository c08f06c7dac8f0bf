/* One-shot asynchronous operations: each read, write or fsync runs on a short-lived task of
   its own that makes one system call, records the result and sets the operation's event.
   The thread allows cancellation only around its system call, so that a read that waits
   for input, or a write blocked behind a peer that does not read, can be ended. The result
   word is published with release order and read with acquire order: that is the only data
   the two threads share while the operation runs. */
#include <errno.h>
#include <pthread.h>
#include <unistd.h>

#include "qxio_async_internal.h"

namespace {

struct qxio_t_async_unix {
  qxio_t_async_info info; /* first, so that an info is its operation */
  int hFile;
  qxio_t_task *task;
  void (*do_fun)(qxio_t_async_unix *op);
  int os_error; /* the errno of a failed system call */
};

const size_t READ_BLOCK = 65536;

qxio_t_async_unix *operation_of(qxio_t_async_info *info)
{
  return reinterpret_cast<qxio_t_async_unix *>(info);
}

qxio_t_error_code load_code(const qxio_t_async_info *info)
{
  return __atomic_load_n(&info->code, __ATOMIC_ACQUIRE);
}

void publish(qxio_t_async_unix *op, qxio_t_error_code code, size_t nbytes)
{
  op->info.nbytes = nbytes;
  __atomic_store_n(&op->info.code, code, __ATOMIC_RELEASE);
}

/* The operation flags of the layer's async_options, bit by bit. */
uint32_t flags_of_options(uint32_t options)
{
  static const uint32_t map[][2] = {{QXIO_ASYNC_OPTION_SEQUENTIAL, QXIO_ASYNC_SEQUENTIAL},
                                    {QXIO_ASYNC_OPTION_REGULAR_FILE, QXIO_ASYNC_REGULAR_FILE},
                                    {QXIO_ASYNC_OPTION_FIFO, QXIO_ASYNC_FIFO},
                                    {QXIO_ASYNC_OPTION_TERMINAL, QXIO_ASYNC_TERMINAL},
                                    {QXIO_ASYNC_OPTION_SOCKET, QXIO_ASYNC_SOCKET},
                                    {QXIO_ASYNC_OPTION_CHARACTER, QXIO_ASYNC_CHARACTER},
                                    {QXIO_ASYNC_OPTION_POSITIONED, QXIO_ASYNC_POSITIONED},
                                    {QXIO_ASYNC_OPTION_APPEND, QXIO_ASYNC_APPEND}};
  uint32_t flags = 0;
  for (const auto &row : map) {
    if (options & row[0]) flags |= row[1];
  }
  return flags;
}

/* ---- on the operation's thread ---- */

/* The frames that a cancellation unwinds take no addresses of locals and carry no
   AddressSanitizer stack poison: forced unwinding skips the epilogues that would clear it,
   and the stale poison would be met by the clean-up that runs next. */
#define CANCELLABLE_FRAME __attribute__((noinline, no_sanitize("address")))

bool positioned(const qxio_t_async_info *info, bool writing)
{
  uint32_t flags = info->flags;
  return (flags & QXIO_ASYNC_POSITIONED) && !(flags & QXIO_ASYNC_SEQUENTIAL) &&
         !(writing && (flags & QXIO_ASYNC_APPEND));
}

/* The operation's one system call, inside a cancellation window; a call interrupted by a
   signal is made again. The errno of a failure goes to os_error. */
CANCELLABLE_FRAME ssize_t cancellable_call(qxio_t_async_unix *op)
{
  const qxio_t_async_info *info = &op->info;
  qxio_t_buf *buf = info->buf;
  ssize_t n;
  do {
    qxio_task_pthread_cancel_enable();
    if (info->flags & QXIO_ASYNC_READ) {
      n = positioned(info, false)
              ? pread(op->hFile, buf->buf + buf->extent, buf->writable_size - buf->extent,
                      info->file_offset)
              : read(op->hFile, buf->buf + buf->extent, buf->writable_size - buf->extent);
    } else if (info->flags & QXIO_ASYNC_WRITE) {
      n = positioned(info, true) ? pwrite(op->hFile, buf->buf, buf->extent, info->file_offset)
                                 : write(op->hFile, buf->buf, buf->extent);
    } else {
      n = fsync(op->hFile);
    }
    op->os_error = n < 0 ? errno : 0;
    qxio_task_pthread_cancel_disable();
  } while (n < 0 && op->os_error == EINTR);
  return n;
}

CANCELLABLE_FRAME void do_read(qxio_t_async_unix *op)
{
  ssize_t n = cancellable_call(op);
  int error = op->os_error;
  if (n > 0) {
    op->info.buf->extent += static_cast<size_t>(n);
    publish(op, QXIO_S_NOERR, static_cast<size_t>(n));
  } else if (n == 0 || error == ENOTCONN) {
    publish(op, QXIO_E_END_OF_FILE, 0);
  } else if (error == EAGAIN) {
    publish(op, QXIO_E_INTERNAL_ERROR, 0);
  } else if (error == ECONNRESET) {
    publish(op, QXIO_E_NET_CONNRESET, 0);
  } else if (error == ETIMEDOUT) {
    publish(op, QXIO_E_READ_ERROR, 0);
  } else {
    publish(op, qxio_map_unix_error(error, QXIO_E_READ_ERROR), 0);
  }
}

CANCELLABLE_FRAME void do_write(qxio_t_async_unix *op)
{
  ssize_t n = cancellable_call(op);
  int error = op->os_error;
  if (n >= 0) {
    publish(op, QXIO_S_NOERR, static_cast<size_t>(n));
  } else if (error == ECONNRESET || error == EPIPE) {
    publish(op, QXIO_E_NET_CONNRESET, 0);
  } else if (error == EAGAIN) {
    publish(op, QXIO_E_INTERNAL_ERROR, 0);
  } else {
    publish(op, qxio_map_unix_error(error, QXIO_E_WRITE_ERROR), 0);
  }
}

/* A device that cannot be synced is no error; only a regular file's failure counts. */
CANCELLABLE_FRAME void do_fsync(qxio_t_async_unix *op)
{
  ssize_t n = cancellable_call(op);
  qxio_t_error_code code = QXIO_S_NOERR;
  if (n < 0 && op->os_error != EINVAL && (op->info.flags & QXIO_ASYNC_REGULAR_FILE))
    code = qxio_map_unix_error(op->os_error, QXIO_E_SYNC_ERROR);
  publish(op, code, 0);
}

/* Cancellation clean-up: a system call cut short by cancellation. */
void operation_cancelled(void *arg)
{
  qxio_t_async_unix *op = static_cast<qxio_t_async_unix *>(arg);
  publish(op, QXIO_E_INTERRUPTED, 0);
  qxio_event_set(op->info.event);
}

void *run_operation(qxio_t_task *task, void *arg)
{
  qxio_t_async_unix *op = static_cast<qxio_t_async_unix *>(arg);
  pthread_cleanup_push(operation_cancelled, op);
  op->do_fun(op);
  pthread_cleanup_pop(0);
  qxio_event_set(op->info.event);
  return nullptr;
}

/* ---- on the caller's thread ---- */

qxio_t_async_unix *new_operation(int fd, qxio_t_event *event, uint32_t flags,
                                 void (*do_fun)(qxio_t_async_unix *))
{
  qxio_t_async_unix *op = static_cast<qxio_t_async_unix *>(qxio_alloc(sizeof(qxio_t_async_unix)));
  if (op == nullptr) return nullptr;
  op->info.flags = QXIO_ASYNC_IN_USE | flags;
  op->info.code = QXIO_E_AIO_INPROGRESS;
  op->info.buf_offset = 0;
  op->info.nbytes = 0;
  op->info.buf = nullptr;
  op->info.file_offset = 0;
  op->info.event = event;
  op->hFile = fd;
  op->task = nullptr;
  op->do_fun = do_fun;
  op->os_error = 0;
  return op;
}

/* Starts the operation's thread and puts the operation into the slot; an operation whose
   thread cannot start fails with QXIO_E_ERROR, is freed and its event set. */
qxio_t_error_code start_operation(qxio_t_async_info **slot, qxio_t_async_unix *op)
{
  qxio_event_reset(op->info.event);
  op->info.flags |= QXIO_ASYNC_HAS_TASK;
  qxio_t_error_code rc = qxio_task_create(QXIO_TASK_CANCELLABLE, run_operation, op, &op->task);
  if (rc < 0) {
    op->info.flags &= ~QXIO_ASYNC_HAS_TASK;
    op->info.code = QXIO_E_ERROR;
    qxio_event_set(op->info.event);
    qxio_async_free(&op->info);
    return rc;
  }
  *slot = &op->info;
  return QXIO_S_NOERR;
}

bool running(qxio_t_async_info *info) { return load_code(info) == QXIO_E_AIO_INPROGRESS; }

}  // namespace

qxio_t_error_code qxio_async_unix_read(qxio_t_async_info **slot, int64_t file_offset, int fd,
                                       qxio_t_event *event, uint32_t options)
{
  if (slot == nullptr || event == nullptr) return QXIO_E_PARAMETER_ERROR;
  qxio_async_free(*slot);
  *slot = nullptr;
  qxio_t_async_unix *op = new_operation(
      fd, event, QXIO_ASYNC_READ | QXIO_ASYNC_OWNS_BUF | flags_of_options(options), do_read);
  if (op == nullptr) return QXIO_E_OUT_OF_MEMORY;
  op->info.file_offset = file_offset;
  op->info.buf = qxio_buf_alloc(nullptr, READ_BLOCK, 0);
  if (op->info.buf == nullptr) {
    qxio_async_free(&op->info);
    return QXIO_E_OUT_OF_MEMORY;
  }
  return start_operation(slot, op);
}

qxio_t_error_code qxio_async_unix_write(qxio_t_async_info **slot, qxio_t_buf *buf,
                                        int64_t file_offset, int fd, qxio_t_event *event,
                                        uint32_t options)
{
  if (slot == nullptr || event == nullptr || buf == nullptr) return QXIO_E_PARAMETER_ERROR;
  qxio_async_free(*slot);
  *slot = nullptr;
  qxio_t_async_unix *op =
      new_operation(fd, event, QXIO_ASYNC_WRITE | flags_of_options(options), do_write);
  if (op == nullptr) return QXIO_E_OUT_OF_MEMORY;
  op->info.file_offset = file_offset;
  op->info.buf = buf;
  return start_operation(slot, op);
}

qxio_t_error_code qxio_async_unix_fsync(qxio_t_async_info **slot, int fd, qxio_t_event *event,
                                        uint32_t options)
{
  if (slot == nullptr || event == nullptr) return QXIO_E_PARAMETER_ERROR;
  qxio_async_free(*slot);
  *slot = nullptr;
  qxio_t_async_unix *op = new_operation(fd, event, flags_of_options(options), do_fsync);
  if (op == nullptr) return QXIO_E_OUT_OF_MEMORY;
  return start_operation(slot, op);
}

qxio_t_error_code qxio_async_error(qxio_t_async_info *info, qxio_t_error_code *code_out)
{
  if (info == nullptr) return QXIO_E_PARAMETER_ERROR;
  qxio_t_error_code code = load_code(info);
  if (code == QXIO_E_AIO_INPROGRESS) return QXIO_E_AIO_INPROGRESS;
  if (code_out != nullptr) *code_out = code;
  return code < 0 ? 1 : 0;
}

qxio_t_error_code qxio_async_suspend(qxio_t_async_info *const *list, size_t count,
                                     const qxio_t_timespec *timeout)
{
  if (count == 0) return QXIO_S_NOERR;
  if (count != 1 || list == nullptr || list[0] == nullptr) return QXIO_E_PARAMETER_ERROR;
  qxio_t_async_unix *op = operation_of(list[0]);
  if (!(op->info.flags & QXIO_ASYNC_HAS_TASK)) return QXIO_S_NOERR;
  qxio_t_event *ended;
  qxio_t_error_code rc = qxio_task_event(op->task, &ended);
  if (rc >= 0) rc = qxio_event_wait(&ended, 1, timeout);
  return rc < 0 ? rc : QXIO_S_NOERR;
}

qxio_t_error_code qxio_async_wait(qxio_t_async_info *info, uint32_t options)
{
  if (info == nullptr) return QXIO_E_PARAMETER_ERROR;
  if ((options & QXIO_ASYNC_WAIT_CANCEL) && running(info)) {
    qxio_t_error_code rc = qxio_async_cancel_unix(info);
    if (rc < 0) return rc;
  }
  /* An operation that has published its result is done: that result is taken as it is,
     never after a second wait that an interrupt could cut short. */
  if (!running(info)) return QXIO_S_NOERR;
  if (options & QXIO_ASYNC_WAIT_NONBLOCKING) return QXIO_E_WOULD_BLOCK;
  return qxio_async_suspend(&info, 1, nullptr);
}

qxio_t_error_code qxio_async_return(qxio_t_async_info **slot, int64_t *file_offset_out,
                                    size_t *nbytes_out)
{
  if (slot == nullptr || *slot == nullptr) return QXIO_E_PARAMETER_ERROR;
  qxio_t_async_info *info = *slot;
  qxio_t_error_code rc = qxio_async_wait(info, 0);
  if (rc < 0) return rc;
  qxio_t_error_code code = load_code(info);
  if (file_offset_out != nullptr) *file_offset_out = info->file_offset;
  if (nbytes_out != nullptr) *nbytes_out = code < 0 ? 0 : info->nbytes;
  qxio_async_free(info);
  *slot = nullptr;
  return code < 0 ? 1 : code;
}

qxio_t_error_code qxio_async_return_buf(qxio_t_async_info **slot, qxio_t_buf *buf)
{
  if (slot == nullptr || *slot == nullptr || buf == nullptr) return QXIO_E_PARAMETER_ERROR;
  qxio_t_async_info *info = *slot;
  qxio_t_error_code rc = qxio_async_wait(info, 0);
  if (rc < 0) return rc;
  qxio_t_error_code code = load_code(info);
  if (code >= 0 && (info->flags & QXIO_ASYNC_READ) && info->buf != nullptr) {
    rc = qxio_buf_concat_bytes(buf, info->buf->buf + info->buf_offset,
                               info->buf->extent - info->buf_offset);
    /* bytes taken from a pipe or a socket cannot be read again: the operation stays in its
       slot, and the next call delivers them */
    if (rc < 0) return rc;
  }
  qxio_async_free(info);
  *slot = nullptr;
  return code < 0 ? 1 : QXIO_S_NOERR;
}

int qxio_async_in_use(qxio_t_async_info *info)
{
  return info != nullptr && (info->flags & QXIO_ASYNC_IN_USE) ? 1 : 0;
}

void qxio_async_free(qxio_t_async_info *info)
{
  if (info == nullptr) return;
  qxio_t_async_unix *op = operation_of(info);
  if (op->task != nullptr) qxio_task_free(op->task);
  if ((info->flags & QXIO_ASYNC_OWNS_BUF) && info->buf != nullptr) qxio_buf_free(info->buf);
  qxio_free(op);
}

qxio_t_error_code qxio_async_cancel_unix(qxio_t_async_info *info)
{
  if (info == nullptr) return QXIO_E_PARAMETER_ERROR;
  qxio_t_async_unix *op = operation_of(info);
  if (!(info->flags & QXIO_ASYNC_HAS_TASK) || op->task == nullptr) return QXIO_E_INTERNAL_ERROR;
  qxio_t_error_code rc = qxio_task_cancel(op->task, 0);
  return rc < 0 && rc != QXIO_E_NOT_SUPPORTED ? rc : QXIO_S_NOERR;
}

int qxio_async_poll_for_completion_unix(qxio_t_async_info *info)
{
  return info != nullptr && !running(info) ? 1 : 0;
}
