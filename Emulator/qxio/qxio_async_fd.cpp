/* Helpers shared by the device layers over descriptors (the asynchronous and the
   thread-backed one): open flags, the layer flags of a descriptor's directions, the device
   types they refuse, a regular file's starting positions, the common control requests and
   the target of a seek. */
#include <errno.h>
#include <fcntl.h>

#include "qxio_async_internal.h"

qxio_t_error_code qxio_open_path_with(QXIO *slot, const qxio_t_arglist *args, uint32_t options,
                                      qxio_t_error_code (*wrap)(QXIO *slot, int fd,
                                                                uint32_t options))
{
  const char *path;
  if (args == nullptr || qxio_get_arg_string(args, QXIO_ARG_PATHNAME, &path) < 0)
    return QXIO_E_PARAMETER_ERROR;
  int flags;
  qxio_t_error_code rc = qxio_open_flags(options, &flags);
  if (rc < 0) return rc;
  int fd;
  rc = qxio_unix_open_file(path, flags, 0666, &fd);
  if (rc < 0) return rc;
  rc = wrap(slot, fd, options & (QXIO_FD_READ | QXIO_FD_WRITE | QXIO_FD_APPEND));
  if (rc < 0) qxio_os_file_handle_close_unix(fd, QXIO_FD_CLOSE_ABORTIVE | QXIO_FD_CLOSE_NOT_SOCKET);
  return rc;
}

qxio_t_error_code qxio_fd_layer_status(QXIO *slot, int fd, uint32_t options, int *status_flags_out)
{
  if (slot == nullptr || fd == -1 || !(options & (QXIO_FD_READ | QXIO_FD_WRITE)))
    return QXIO_E_PARAMETER_ERROR;
  int status_flags = fcntl(fd, F_GETFL);
  if (status_flags < 0) return qxio_map_unix_error(errno, QXIO_E_OPEN_ERROR);
  *status_flags_out = status_flags;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_open_flags(uint32_t options, int *flags_out)
{
  uint32_t directions = options & (QXIO_OPEN_READ | QXIO_OPEN_WRITE);
  bool append = options & QXIO_OPEN_APPEND;
  int flags;
  if (directions == QXIO_OPEN_READ) {
    flags = O_RDONLY | O_NOCTTY;
  } else if (directions == QXIO_OPEN_WRITE) {
    flags = O_WRONLY | O_CREAT | O_NOCTTY | (append ? 0 : O_TRUNC);
  } else if (directions == (QXIO_OPEN_READ | QXIO_OPEN_WRITE) && !append) {
    flags = O_RDWR | O_CREAT | O_NOCTTY;
  } else {
    return QXIO_E_PARAMETER_ERROR;
  }
  if ((options & QXIO_OPEN_EXCLUSIVE) && (flags & O_CREAT)) flags |= O_EXCL;
  *flags_out = flags;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_fd_direction_flags(int status_flags, uint32_t options, uint32_t *flags_out)
{
  int access = status_flags & O_ACCMODE;
  uint32_t flags = 0;
  if (options & QXIO_FD_READ) {
    if (access != O_RDONLY && access != O_RDWR) return QXIO_E_NOT_READ;
    flags |= QXIO_LAYER_HAS_INPUT | QXIO_LAYER_READABLE | QXIO_LAYER_READ_OPEN |
             QXIO_LAYER_READ_ITEM_1 | QXIO_LAYER_OS_INPUT_OPEN;
  }
  if (options & QXIO_FD_WRITE) {
    if (access != O_WRONLY && access != O_RDWR) return QXIO_E_NOT_WRITE;
    flags |= QXIO_LAYER_HAS_OUTPUT | QXIO_LAYER_WRITABLE | QXIO_LAYER_WRITE_OPEN |
             QXIO_LAYER_WRITE_ITEM_1 | QXIO_LAYER_OS_OUTPUT_OPEN;
  }
  if (options & QXIO_FD_NOT_OWNED) flags |= QXIO_LAYER_HANDLE_NOT_OWNED;
  if (options & QXIO_FD_SEQUENTIAL) flags |= QXIO_LAYER_SEQUENTIAL;
  *flags_out = flags;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_fd_device_type_check(qxio_t_device_type type)
{
  switch (type) {
  case QXIO_DEVICE_TYPE_ILLEGAL: return QXIO_E_OPEN_ERROR;
  case QXIO_DEVICE_TYPE_DIRECTORY:
  case QXIO_DEVICE_TYPE_LINK: return QXIO_E_NOT_SUPPORTED;
  case QXIO_DEVICE_TYPE_BLOCK: return QXIO_E_NOT_IMPLEMENTED;
  case QXIO_DEVICE_TYPE_UNKNOWN: return QXIO_E_IMPOSSIBLE_ERROR;
  default: return QXIO_S_NOERR;
  }
}

/* Writing to a descriptor in append mode is allowed only sequentially: positioned writes
   would all land at the end. */
qxio_t_error_code qxio_fd_file_positions(int fd, int status_flags, uint32_t options,
                                         int64_t *read_pos, int64_t *write_pos)
{
  bool sequential = options & QXIO_FD_SEQUENTIAL;
  bool writing = options & QXIO_FD_WRITE;
  if (writing && (status_flags & O_APPEND) && !sequential) return QXIO_E_PARAMETER_ERROR;
  int64_t offset = 0;
  if (sequential && qxio_unix_file_pos(fd, &offset, 0) < 0) offset = 0;
  *write_pos = 0;
  if (writing && sequential)
    *write_pos = offset;
  else if (writing && (options & QXIO_FD_APPEND) && qxio_unix_file_size(fd, write_pos, 0) < 0)
    *write_pos = 0;
  *read_pos = sequential ? offset : 0;
  return QXIO_S_NOERR;
}

/* Relative to both positions only when they agree; from the end the stream's size is asked
   for the sides concerned. */
qxio_t_error_code qxio_fd_seek_target(QXIO *slot, int64_t read_pos, int64_t write_pos,
                                      int64_t offset, uint32_t options, int64_t *target_out)
{
  bool read_kind = options & QXIO_SEEK_READ, write_kind = options & QXIO_SEEK_WRITE;
  int64_t base;
  if (options & QXIO_SEEK_SET) {
    base = 0;
  } else if (options & (QXIO_SEEK_CUR | QXIO_SEEK_CUR_ALT)) {
    if (read_kind && write_kind && read_pos != write_pos) return QXIO_E_SEEK_ERROR;
    base = read_kind ? read_pos : write_pos;
  } else if (options & QXIO_SEEK_END) {
    uint32_t sides =
        (read_kind ? QXIO_IOCTL_READ_SIDE : 0) | (write_kind ? QXIO_IOCTL_WRITE_SIDE : 0);
    qxio_t_error_code rc = qxio_ioctl_size(slot, &base, sides);
    if (rc < 0) return rc == QXIO_E_INTERRUPTED ? rc : QXIO_E_SEEK_ERROR;
  } else {
    return QXIO_E_PARAMETER_ERROR;
  }
  int64_t target;
  if (__builtin_add_overflow(base, offset, &target)) return QXIO_E_SEEK_ERROR;
  if (target < 0) return QXIO_E_PARAMETER_ERROR;
  *target_out = target;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_fd_ioctl_common(const qxio_t_layer *layer, qxio_t_event *readable,
                                       qxio_t_event *writable, qxio_t_device_type type,
                                       qxio_t_ioctl_operation operation, void *arg)
{
  switch (operation) {
  case QXIO_IOCTL_READABLE_EVENT_:
    if (!(layer->flags & QXIO_LAYER_HAS_INPUT)) return QXIO_E_NOT_SUPPORTED;
    *static_cast<qxio_t_event **>(arg) = readable;
    return QXIO_S_NOERR;
  case QXIO_IOCTL_WRITABLE_EVENT_:
    if (!(layer->flags & QXIO_LAYER_HAS_OUTPUT)) return QXIO_E_NOT_SUPPORTED;
    *static_cast<qxio_t_event **>(arg) = writable;
    return QXIO_S_NOERR;
  case QXIO_IOCTL_DEVICE_TYPE_: *static_cast<qxio_t_device_type *>(arg) = type; return QXIO_S_NOERR;
  default: return QXIO_E_NOT_SUPPORTED;
  }
}
