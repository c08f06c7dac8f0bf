/* The layer class "async". Its open is the library's file opening, which builds the device
   layer that qxio_layer_async_unix_open_file_handle picks (the thread-backed one by default).
   Its own layers, the asynchronous layer, run every read, write and fsync as one
   asynchronous operation: output is buffered up to 64 KiB and handed to one write at a
   time, input is read ahead one 64 KiB block at a time. Nothing of the buffer in flight is
   touched until its write has been collected. */
#include <errno.h>
#include <fcntl.h>
#include <string.h>

#include "qxio_async_internal.h"

int qxio_async_abortive_write_cancel = 1;

namespace {

typedef struct qxio_t_layer_async_asynk {
  qxio_t_layer layer;
  int hFile; /* -1 once closed */
  qxio_t_device_type device_type;
  uint32_t async_options;
  qxio_t_async_info *read_async_info;
  qxio_t_async_info *write_async_info;
  qxio_t_buf write_buf; /* output not yet written; in flight while a write runs */
  qxio_t_async_info *fsync_async_info;
  int64_t read_pos;
  int64_t write_pos;           /* after the buffered output */
  int64_t write_buf_write_pos; /* position of write_buf's first byte; -1 when unknown */
  qxio_t_event *read_event;    /* set when a read ends */
  qxio_t_event *write_event;   /* set when no write runs */
} qxio_t_layer_async_asynk;

const size_t WRITE_BUFFER = 65536;
/* write option bit 21: write out everything buffered and wait for it */
const uint32_t WRITE_PUSH_OUT = 0x200000;
const uint32_t BOTH_SIDES = QXIO_CLOSE_READ | QXIO_CLOSE_WRITE;

qxio_t_layer_async_asynk *asynk_of(QXIO *slot)
{
  return reinterpret_cast<qxio_t_layer_async_asynk *>(*slot);
}

bool has(const qxio_t_layer_async_asynk *l, uint32_t flags)
{
  return (l->layer.flags & flags) == flags;
}

qxio_t_error_code as_write(QXIO *slot, qxio_t_buf *buf, size_t *pos, uint32_t options);
qxio_t_error_code push_out(QXIO *slot, uint32_t options);

/* Waits for the operation in the slot (options as qxio_async_wait) and collects it: it is
   freed, its result goes to *code_out and the bytes it moved to *nbytes_out (either may be
   null). Answers the wait's failure, which leaves the operation in its slot, else 0. The
   result is read once, after the wait that saw the operation end. */
qxio_t_error_code collect(qxio_t_async_info **slot, uint32_t wait_options,
                          qxio_t_error_code *code_out, size_t *nbytes_out)
{
  qxio_t_error_code rc = qxio_async_wait(*slot, wait_options);
  if (rc < 0) return rc;
  qxio_t_error_code code = QXIO_S_NOERR;
  qxio_async_error(*slot, &code);
  rc = qxio_async_return(slot, nullptr, nbytes_out);
  if (rc < 0) return rc;
  if (code_out != nullptr) *code_out = code < 0 ? code : QXIO_S_NOERR;
  return QXIO_S_NOERR;
}

/* ---- reading ---- */

qxio_t_error_code issue_read(qxio_t_layer_async_asynk *l)
{
  l->layer.flags &= ~QXIO_LAYER_PRIVATE_STALE;
  return qxio_async_unix_read(&l->read_async_info, l->read_pos, l->hFile, l->read_event,
                              l->async_options);
}

/* Ends the read-ahead: a running one is cancelled. A finished one from a device that cannot
   be read again (a pipe, a socket, a terminal) keeps its data or its end of file, unless
   drop is asked. */
qxio_t_error_code end_read_ahead(qxio_t_layer_async_asynk *l, bool drop)
{
  if (l->read_async_info == nullptr) return QXIO_S_NOERR;
  qxio_t_error_code rc = qxio_async_wait(l->read_async_info, QXIO_ASYNC_WAIT_CANCEL);
  if (rc < 0) return rc;
  qxio_t_error_code code = QXIO_S_NOERR;
  qxio_async_error(l->read_async_info, &code);
  if (!drop && code != QXIO_E_INTERRUPTED && !has(l, QXIO_LAYER_SEEKABLE)) return QXIO_S_NOERR;
  return collect(&l->read_async_info, 0, nullptr, nullptr);
}

/* A failure of a read-ahead issued before this call is not reported: the read is made
   again (a file may have grown, an error is confirmed). On a seekable device, data read
   ahead before a seek or a write is dropped and read again. */
qxio_t_error_code as_read(QXIO *slot, qxio_t_buf *buf, uint32_t options)
{
  qxio_t_layer_async_asynk *l = asynk_of(slot);
  bool issued_here = false;
  uint32_t wait_options = (options & QXIO_READ_NONBLOCKING) ? QXIO_ASYNC_WAIT_NONBLOCKING : 0;
  for (;;) {
    qxio_t_error_code rc;
    if (l->read_async_info == nullptr) {
      rc = issue_read(l);
      if (rc < 0) return rc;
      issued_here = true;
    }
    rc = qxio_async_wait(l->read_async_info, wait_options);
    if (rc < 0) return rc;
    qxio_t_error_code code = QXIO_S_NOERR;
    bool failed = qxio_async_error(l->read_async_info, &code) == 1;
    if (failed || has(l, QXIO_LAYER_SEEKABLE | QXIO_LAYER_PRIVATE_STALE)) {
      rc = collect(&l->read_async_info, 0, nullptr, nullptr);
      if (rc < 0) return rc;
      if (failed && (issued_here || (code == QXIO_E_END_OF_FILE && !has(l, QXIO_LAYER_SEEKABLE))))
        return code;
      continue;
    }
    size_t before = buf->extent;
    rc = qxio_async_return_buf(&l->read_async_info, buf);
    if (rc < 0) return rc;
    l->read_pos += static_cast<int64_t>(buf->extent - before);
    /* the next block is read ahead at once; a failure to start it shows at the next read */
    issue_read(l);
    return QXIO_S_NOERR;
  }
}

/* ---- writing ---- */

qxio_t_error_code issue_write(qxio_t_layer_async_asynk *l)
{
  l->layer.flags |= QXIO_LAYER_PRIVATE_STALE;
  return qxio_async_unix_write(&l->write_async_info, &l->write_buf, l->write_buf_write_pos,
                               l->hFile, l->write_event, l->async_options);
}

/* Waits for the write in flight and collects it; the rest of a partial write is written
   again. On success no write runs and write_buf is empty. A failed write's bytes stay
   buffered and its error is returned. */
qxio_t_error_code drain_write(qxio_t_layer_async_asynk *l, bool nonblocking)
{
  while (l->write_async_info != nullptr) {
    qxio_t_error_code code = QXIO_S_NOERR;
    size_t written = 0;
    qxio_t_error_code rc = collect(&l->write_async_info,
                                   nonblocking ? QXIO_ASYNC_WAIT_NONBLOCKING : 0, &code, &written);
    if (rc < 0) return rc;
    if (code < 0) return code;
    if (written == 0 && l->write_buf.extent > 0) return QXIO_E_WRITE_ERROR;
    l->write_buf_write_pos += static_cast<int64_t>(written);
    if (written >= l->write_buf.extent) {
      l->write_buf.extent = 0;
    } else {
      qxio_buf_contract(&l->write_buf, static_cast<ptrdiff_t>(written));
      rc = issue_write(l);
      if (rc < 0) return rc;
    }
  }
  return QXIO_S_NOERR;
}

/* Takes as many new bytes as fit into the write buffer's 64 KiB of room. */
qxio_t_error_code buffer_bytes(qxio_t_layer_async_asynk *l, const qxio_t_buf *buf, size_t *pos)
{
  size_t offered = buf->extent - *pos;
  if (offered == 0) return QXIO_S_NOERR;
  qxio_t_error_code rc = qxio_buf_reserve(&l->write_buf, WRITE_BUFFER);
  if (rc < 0) return rc;
  size_t room = l->write_buf.writable_size - l->write_buf.extent;
  size_t n = offered < room ? offered : room;
  if (l->write_buf.extent == 0) l->write_buf_write_pos = l->write_pos;
  rc = qxio_buf_concat_bytes(&l->write_buf, buf->buf + *pos, n);
  if (rc < 0) return rc;
  l->write_pos += static_cast<int64_t>(n);
  *pos += n;
  return QXIO_S_NOERR;
}

/* Buffers output and writes it 64 KiB at a time; a push-out writes everything and waits. */
qxio_t_error_code as_write(QXIO *slot, qxio_t_buf *buf, size_t *pos, uint32_t options)
{
  qxio_t_layer_async_asynk *l = asynk_of(slot);
  bool pushing_out = options & WRITE_PUSH_OUT;
  bool nonblocking = options & QXIO_WRITE_NONBLOCKING;
  if (*pos > buf->extent) return QXIO_E_PARAMETER_ERROR;
  qxio_t_error_code rc;
  if (!pushing_out && l->write_buf.extent > 0 &&
      l->write_buf_write_pos + static_cast<int64_t>(l->write_buf.extent) != l->write_pos) {
    /* output buffered for another position goes out first */
    rc = push_out(slot, options & QXIO_WRITE_NONBLOCKING);
    if (rc < 0) return rc;
  }
  for (;;) {
    rc = drain_write(l, nonblocking);
    if (rc >= 0) rc = buffer_bytes(l, buf, pos);
    if (rc < 0) return rc;
    if (l->write_buf.extent == 0 || (l->write_buf.extent < WRITE_BUFFER && !pushing_out))
      return QXIO_S_NOERR;
    rc = issue_write(l);
    if (rc < 0 || !pushing_out) return rc;
  }
}

/* ---- sync, seek, size ---- */

qxio_t_error_code collect_fsync(qxio_t_layer_async_asynk *l)
{
  if (l->fsync_async_info == nullptr) return QXIO_S_NOERR;
  qxio_t_error_code code = QXIO_S_NOERR;
  qxio_t_error_code rc = collect(&l->fsync_async_info, 0, &code, nullptr);
  return rc < 0 ? rc : code;
}

/* Writes out everything buffered and waits for it. */
qxio_t_error_code push_out(QXIO *slot, uint32_t options)
{
  qxio_t_buf nothing;
  qxio_buf_init_buf(&nothing);
  size_t at = 0;
  return as_write(slot, &nothing, &at, WRITE_PUSH_OUT | options);
}

qxio_t_error_code as_sync(QXIO *slot, uint32_t options)
{
  qxio_t_layer_async_asynk *l = asynk_of(slot);
  if (l->hFile < 0) return QXIO_S_NOERR;
  qxio_t_error_code rc = QXIO_S_NOERR;
  if ((options & QXIO_SYNC_WRITE) && has(l, QXIO_LAYER_WRITE_OPEN)) {
    rc = collect_fsync(l);
    if (rc >= 0)
      rc = push_out(slot, (options & QXIO_SYNC_NONBLOCKING) ? QXIO_WRITE_NONBLOCKING : 0);
    if (rc >= 0 && !(options & QXIO_SYNC_DEVICE_SKIP) &&
        (l->async_options & QXIO_ASYNC_OPTION_REGULAR_FILE)) {
      rc = qxio_async_unix_fsync(&l->fsync_async_info, l->hFile, l->write_event, l->async_options);
      if (rc >= 0) rc = collect_fsync(l);
    }
  }
  if ((options & QXIO_SYNC_READ) && has(l, QXIO_LAYER_READ_OPEN)) {
    qxio_t_error_code ended = end_read_ahead(l, false);
    if (rc >= 0) rc = ended;
  }
  return rc;
}

/* The file's size, but at least the end of the output still buffered. */
qxio_t_error_code layer_size(qxio_t_layer_async_asynk *l, int64_t *size_out)
{
  int64_t size = -1;
  qxio_t_error_code rc = qxio_unix_file_size(l->hFile, &size, 0);
  if (rc < 0)
    return (l->async_options & QXIO_ASYNC_OPTION_REGULAR_FILE) ? rc : QXIO_E_NOT_SUPPORTED;
  int64_t buffered_end = l->write_buf_write_pos + static_cast<int64_t>(l->write_buf.extent);
  if (has(l, QXIO_LAYER_WRITE_OPEN) && l->write_buf.extent > 0 && buffered_end > size)
    size = buffered_end;
  *size_out = size;
  return QXIO_S_NOERR;
}

qxio_t_error_code as_seek(QXIO *slot, int64_t offset, int64_t *new_offset, qxio_t_buf *buf,
                          uint32_t options)
{
  qxio_t_layer_async_asynk *l = asynk_of(slot);
  if (!has(l, QXIO_LAYER_SEEKABLE)) return QXIO_E_SEEK_ERROR;
  uint32_t kinds = options & (QXIO_SEEK_READ | QXIO_SEEK_WRITE);
  if (kinds == 0) kinds = QXIO_SEEK_READ | QXIO_SEEK_WRITE;
  if (!has(l, QXIO_LAYER_READ_OPEN)) kinds &= ~QXIO_SEEK_READ;
  if (!has(l, QXIO_LAYER_WRITE_OPEN)) kinds &= ~QXIO_SEEK_WRITE;
  if (kinds == 0) return QXIO_E_SEEK_ERROR;
  int64_t target;
  uint32_t request = kinds | (options & ~(QXIO_SEEK_READ | QXIO_SEEK_WRITE));
  qxio_t_error_code rc =
      qxio_fd_seek_target(slot, l->read_pos, l->write_pos, offset, request, &target);
  if (rc < 0) return rc;
  if (kinds & QXIO_SEEK_READ) {
    l->read_pos = target;
    l->layer.flags |= QXIO_LAYER_PRIVATE_STALE;
  }
  if (kinds & QXIO_SEEK_WRITE) l->write_pos = target;
  if (new_offset != nullptr) *new_offset = target;
  return QXIO_S_NOERR;
}

qxio_t_error_code as_ioctl(QXIO *slot, qxio_t_ioctl_operation operation, void *arg,
                           uint32_t options)
{
  qxio_t_layer_async_asynk *l = asynk_of(slot);
  if (operation == QXIO_IOCTL_SIZE_) return layer_size(l, static_cast<int64_t *>(arg));
  return qxio_fd_ioctl_common(&l->layer, l->read_event, l->write_event, l->device_type, operation,
                              arg);
}

/* ---- closing ---- */

/* Ends the write side's operations. An abortive close cancels them (a write blocked behind
   a peer that does not read ends at once) and drops what is buffered; a normal one writes
   everything out and waits. */
qxio_t_error_code finish_writes(QXIO *slot, bool abortive)
{
  qxio_t_layer_async_asynk *l = asynk_of(slot);
  if (!abortive) {
    qxio_t_error_code rc = collect_fsync(l);
    return rc < 0 ? rc : push_out(slot, 0);
  }
  uint32_t wait = qxio_async_abortive_write_cancel ? QXIO_ASYNC_WAIT_CANCEL : 0;
  qxio_t_async_info **operations[] = {&l->fsync_async_info, &l->write_async_info};
  for (qxio_t_async_info **operation : operations) {
    /* what an abortive close drops reports no failure */
    if (*operation != nullptr) collect(operation, wait, nullptr, nullptr);
  }
  l->write_buf.extent = 0;
  return QXIO_S_NOERR;
}

/* Shuts down the closing directions of a socket the layer owns, then closes the descriptor
   once neither direction remains. An abortive close that closes the descriptor sends no
   orderly end first, so that the peer sees the reset and not the end of the data. */
qxio_t_error_code close_directions(qxio_t_layer_async_asynk *l, uint32_t sides, bool abortive)
{
  uint32_t directions = 0;
  if ((sides & QXIO_CLOSE_READ) && has(l, QXIO_LAYER_OS_INPUT_OPEN))
    directions |= QXIO_LAYER_OS_INPUT_OPEN;
  if ((sides & QXIO_CLOSE_WRITE) && has(l, QXIO_LAYER_OS_OUTPUT_OPEN))
    directions |= QXIO_LAYER_OS_OUTPUT_OPEN;
  bool owned = !has(l, QXIO_LAYER_HANDLE_NOT_OWNED);
  uint32_t open_directions =
      l->layer.flags & (QXIO_LAYER_OS_INPUT_OPEN | QXIO_LAYER_OS_OUTPUT_OPEN);
  bool closes_descriptor = directions == open_directions;
  if (owned && directions != 0 && (l->async_options & QXIO_ASYNC_OPTION_SOCKET) &&
      !(abortive && closes_descriptor)) {
    uint32_t shut = ((directions & QXIO_LAYER_OS_INPUT_OPEN) ? QXIO_SOCKET_SHUT_READ : 0) |
                    ((directions & QXIO_LAYER_OS_OUTPUT_OPEN) ? QXIO_SOCKET_SHUT_WRITE : 0);
    qxio_t_error_code rc = qxio_socket_shutdown(l->hFile, shut);
    if (rc < 0 && !abortive) return rc;
  }
  l->layer.flags &= ~directions;
  if (has(l, QXIO_LAYER_OS_INPUT_OPEN) || has(l, QXIO_LAYER_OS_OUTPUT_OPEN)) return QXIO_S_NOERR;
  qxio_t_error_code rc = QXIO_S_NOERR;
  if (owned) rc = qxio_os_file_handle_close_unix(l->hFile, abortive ? QXIO_FD_CLOSE_ABORTIVE : 0);
  l->hFile = -1;
  return abortive ? QXIO_S_NOERR : rc;
}

qxio_t_error_code as_close(QXIO *slot, uint32_t options)
{
  qxio_t_layer_async_asynk *l = asynk_of(slot);
  bool abortive = options & QXIO_CLOSE_ABORTIVE;
  uint32_t sides = options & BOTH_SIDES;
  if (sides == 0) sides = BOTH_SIDES;
  if (!has(l, QXIO_LAYER_READ_OPEN)) sides &= ~QXIO_CLOSE_READ;
  if (!has(l, QXIO_LAYER_WRITE_OPEN)) sides &= ~QXIO_CLOSE_WRITE;
  if (l->hFile >= 0) {
    /* a read that waits for input would never end by itself: it is cancelled */
    qxio_t_error_code rc = (sides & QXIO_CLOSE_READ) ? end_read_ahead(l, true) : QXIO_S_NOERR;
    if (rc < 0 && !abortive) return rc;
    rc = (sides & QXIO_CLOSE_WRITE) ? finish_writes(slot, abortive) : QXIO_S_NOERR;
    if (rc < 0) return rc;
    rc = close_directions(l, sides, abortive);
    if (rc < 0) return rc;
  }
  if (sides & QXIO_CLOSE_READ) l->layer.flags &= ~QXIO_LAYER_READ_OPEN;
  if (sides & QXIO_CLOSE_WRITE) l->layer.flags &= ~QXIO_LAYER_WRITE_OPEN;
  if (has(l, QXIO_LAYER_READ_OPEN) || has(l, QXIO_LAYER_WRITE_OPEN)) return QXIO_S_NOERR;
  qxio_layer_pop(slot);
  qxio_layer_destroy(&l->layer);
  return QXIO_S_NOERR;
}

void as_destroy(qxio_t_layer *layer)
{
  qxio_t_layer_async_asynk *l = reinterpret_cast<qxio_t_layer_async_asynk *>(layer);
  qxio_async_free(l->read_async_info);
  qxio_async_free(l->write_async_info);
  qxio_async_free(l->fsync_async_info);
  qxio_buf_free(&l->write_buf);
  qxio_event_free(l->read_event);
  qxio_event_free(l->write_event);
  qxio_free(l);
}

qxio_t_error_code as_push(const qxio_t_funcs *funcs, QXIO *slot, const qxio_t_arglist *args,
                          uint32_t options)
{
  return QXIO_E_NOT_IMPLEMENTED;
}

qxio_t_error_code as_pop(const qxio_t_funcs *funcs, QXIO *slot, uint32_t options)
{
  return QXIO_E_NOT_IMPLEMENTED;
}

/* Opens the file named by the argument "pathname" and makes the library's device layer over
   it; the descriptor is closed again when that fails. */
qxio_t_error_code as_open(const qxio_t_funcs *funcs, QXIO *slot, const qxio_t_arglist *args,
                          uint32_t options)
{
  return qxio_open_path_with(slot, args, options, qxio_layer_async_unix_open_file_handle);
}

/* ---- making the layer over a descriptor ---- */

qxio_t_error_code set_up_directions(qxio_t_layer_async_asynk *l, int status_flags, uint32_t options)
{
  uint32_t flags = 0;
  qxio_t_error_code rc = qxio_fd_direction_flags(status_flags, options, &flags);
  if (rc < 0) return rc;
  l->layer.flags |= flags;
  if (options & QXIO_FD_SEQUENTIAL) l->async_options |= QXIO_ASYNC_OPTION_SEQUENTIAL;
  rc = qxio_event_new(0, &l->read_event);
  if (rc >= 0) rc = qxio_event_new(QXIO_EVENT_NEW_SIGNALLED, &l->write_event);
  return rc;
}

qxio_t_error_code set_up_file(qxio_t_layer_async_asynk *l, int status_flags, uint32_t options)
{
  qxio_t_error_code rc =
      qxio_fd_file_positions(l->hFile, status_flags, options, &l->read_pos, &l->write_pos);
  if (rc < 0) return rc;
  l->async_options |= QXIO_ASYNC_OPTION_REGULAR_FILE;
  if (options & QXIO_FD_WRITE) {
    if (status_flags & O_APPEND) l->async_options |= QXIO_ASYNC_OPTION_APPEND;
    l->layer.flags |= QXIO_LAYER_SYNC_STABLE;
  }
  if (!(options & QXIO_FD_SEQUENTIAL)) {
    l->layer.flags |= QXIO_LAYER_SEEKABLE;
    l->async_options |= QXIO_ASYNC_OPTION_POSITIONED;
  }
  return QXIO_S_NOERR;
}

/* The device kinds set async_options instead of layer flags. */
qxio_t_error_code set_up_device(qxio_t_layer_async_asynk *l, int status_flags, uint32_t options)
{
  qxio_t_error_code rc = qxio_fd_device_type_check(l->device_type);
  if (rc < 0) return rc;
  switch (l->device_type) {
  case QXIO_DEVICE_TYPE_TTY: l->async_options |= QXIO_ASYNC_OPTION_TERMINAL; break;
  case QXIO_DEVICE_TYPE_SOCKET: l->async_options |= QXIO_ASYNC_OPTION_SOCKET; break;
  case QXIO_DEVICE_TYPE_FIFO: l->async_options |= QXIO_ASYNC_OPTION_FIFO; break;
  case QXIO_DEVICE_TYPE_CHARACTER: l->async_options |= QXIO_ASYNC_OPTION_CHARACTER; break;
  default: return set_up_file(l, status_flags, options);
  }
  return QXIO_S_NOERR;
}

}  // namespace

const qxio_t_funcs qxio_layer_async_funcs = {sizeof(qxio_t_funcs),
                                             "async",
                                             sizeof(qxio_t_layer_async_asynk),
                                             0,
                                             0,
                                             as_read,
                                             as_write,
                                             as_sync,
                                             as_seek,
                                             as_close,
                                             as_push,
                                             as_pop,
                                             as_destroy,
                                             as_open,
                                             as_ioctl};

qxio_t_error_code qxio_layer_asynk_open_file_handle_unix(QXIO *slot, int fd, uint32_t options)
{
  int status_flags;
  qxio_t_error_code rc = qxio_fd_layer_status(slot, fd, options, &status_flags);
  if (rc < 0) return rc;
  qxio_t_layer_async_asynk *l = static_cast<qxio_t_layer_async_asynk *>(qxio_alloc(sizeof *l));
  if (l == nullptr) return QXIO_E_OUT_OF_MEMORY;
  memset(l, 0, sizeof *l);
  l->layer.funcs = &qxio_layer_async_funcs;
  l->hFile = fd;
  l->write_buf_write_pos = -1;
  qxio_buf_init_buf(&l->write_buf);
  rc = set_up_directions(l, status_flags, options);
  if (rc >= 0) {
    l->device_type = qxio_unix_device_type(fd);
    rc = set_up_device(l, status_flags, options);
  }
  if (rc < 0) {
    as_destroy(&l->layer);
    return rc;
  }
  return qxio_layer_push(slot, &l->layer);
}

qxio_t_error_code qxio_init_layer_async(uint32_t deinit)
{
  if (!deinit)
    qxio_async_abortive_write_cancel =
        qxio_get_boolean_system_property("QXIO_ABORTIVE_WRITE_CANCEL", 1) == 1;
  return qxio_register_layer(&qxio_layer_async_funcs, deinit ? QXIO_REGISTER_REMOVE : 0);
}
