/* Descriptor helpers on which the device layers build: opening, position, size, device type,
   closing and the descriptor flags; also the moving of the library's own descriptors clear of
   the standard streams' numbers. */
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qxio_internal.h"

qxio_t_error_code qxio_unix_open_file(const char *path, int open_flags, int creation_mode,
                                      int *fd_out)
{
  *fd_out = -1;
  int fd;
  do {
    fd = open(path, open_flags | O_CLOEXEC, creation_mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return qxio_map_unix_error(errno, QXIO_E_OPEN_ERROR);
  *fd_out = fd;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_unix_file_pos(int fd, int64_t *position_out, uint32_t options)
{
  off_t position = lseek(fd, 0, SEEK_CUR);
  if (position < 0) return qxio_map_unix_error(errno, QXIO_E_SEEK_ERROR);
  *position_out = position;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_unix_file_size(int fd, int64_t *size_out, uint32_t options)
{
  struct stat st;
  if (fstat(fd, &st) != 0) return qxio_map_unix_error(errno, QXIO_E_OS_ERROR);
  if (!S_ISREG(st.st_mode)) return QXIO_E_NOT_SUPPORTED;
  *size_out = st.st_size;
  return QXIO_S_NOERR;
}

qxio_t_device_type qxio_unix_device_type(int fd)
{
  if (fd == -1) return QXIO_DEVICE_TYPE_ILLEGAL;
  if (isatty(fd)) return QXIO_DEVICE_TYPE_TTY;
  struct stat st;
  if (fstat(fd, &st) != 0) return QXIO_DEVICE_TYPE_ILLEGAL;
  switch (st.st_mode & S_IFMT) {
  case S_IFREG: return QXIO_DEVICE_TYPE_FILE;
  case S_IFDIR: return QXIO_DEVICE_TYPE_DIRECTORY;
  case S_IFCHR: return QXIO_DEVICE_TYPE_CHARACTER;
  case S_IFBLK: return QXIO_DEVICE_TYPE_BLOCK;
  case S_IFIFO: return QXIO_DEVICE_TYPE_FIFO;
  case S_IFLNK: return QXIO_DEVICE_TYPE_LINK;
  case S_IFSOCK: return QXIO_DEVICE_TYPE_SOCKET;
  default: return QXIO_DEVICE_TYPE_UNKNOWN;
  }
}

/* close is never repeated: on Linux the descriptor is released even when close answers
   EINTR, and a second close could hit a descriptor another thread has just opened. */
qxio_t_error_code qxio_os_file_handle_close_unix(int fd, uint32_t options)
{
  if (!(options & QXIO_FD_CLOSE_NOT_SOCKET) && qxio_unix_device_type(fd) == QXIO_DEVICE_TYPE_SOCKET)
    return qxio_socket_close(fd,
                             (options & QXIO_FD_CLOSE_ABORTIVE) ? QXIO_SOCKET_CLOSE_ABORTIVE : 0);
  if (close(fd) == 0 || errno == EINTR || (options & QXIO_FD_CLOSE_ABORTIVE)) return QXIO_S_NOERR;
  return qxio_map_unix_error(errno, QXIO_E_CLOSE_ERROR);
}

qxio_t_error_code qxio_unix_SETFD(int fd, int mask, int value)
{
  int flags = fcntl(fd, F_GETFD);
  if (flags < 0) return qxio_map_unix_error(errno, QXIO_E_OS_ERROR);
  int wanted = (flags & ~mask) | (value & mask);
  if (wanted != flags && fcntl(fd, F_SETFD, wanted) < 0)
    return qxio_map_unix_error(errno, QXIO_E_OS_ERROR);
  return QXIO_S_NOERR;
}

int qxio_fd_move_above_std(int fd)
{
  if (fd < 0 || fd > 2) return fd;
  int flags = fcntl(fd, F_GETFD);
  int moved = flags < 0 ? -1 : fcntl(fd, (flags & FD_CLOEXEC) ? F_DUPFD_CLOEXEC : F_DUPFD, 3);
  int saved_errno = errno;
  close(fd);
  errno = saved_errno;
  return moved;
}

int qxio_pipe_above_std(int ends[2], int flags)
{
  int made[2];
  if (pipe2(made, flags) != 0) return -1;
  made[0] = qxio_fd_move_above_std(made[0]);
  made[1] = made[0] < 0 ? made[1] : qxio_fd_move_above_std(made[1]);
  if (made[0] < 0 || made[1] < 0) {
    int saved_errno = errno;
    if (made[0] >= 0) close(made[0]);
    if (made[1] >= 0) close(made[1]);
    errno = saved_errno;
    return -1;
  }
  ends[0] = made[0];
  ends[1] = made[1];
  return 0;
}
