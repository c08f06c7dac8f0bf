/* The standard-streams module: at start it makes streams over descriptors 0, 1 and 2 and
   registers them as the standard streams; at shutdown it flushes and closes those still
   registered, so that a program's last output is never lost. Also the library's entry for
   streams over descriptors, which picks the device layer class. */
#include <stdlib.h>
#include <string.h>

#include "qxio_internal.h"

namespace {

/* QXIO_USE_LAYER_THREADDEVICE, read at module start: the thread-backed layer (the default),
   else the asynchronous one. */
bool use_thread_device = true;

const uint32_t STD_READ_OPTIONS = QXIO_FD_READ | QXIO_FD_NOT_OWNED | QXIO_FD_SEQUENTIAL;
const uint32_t STD_WRITE_OPTIONS = QXIO_FD_WRITE | QXIO_FD_NOT_OWNED | QXIO_FD_SEQUENTIAL;

struct standard_stream {
  int fd;
  uint32_t open_options;
  uint32_t which;
};

const standard_stream STANDARD_STREAMS[] = {
    {0, STD_READ_OPTIONS, QXIO_STD_INPUT | QXIO_STD_CLOSE_READ},
    {1, STD_WRITE_OPTIONS, QXIO_STD_OUTPUT | QXIO_STD_CLOSE_WRITE},
    {2, STD_WRITE_OPTIONS, QXIO_STD_ERROR | QXIO_STD_CLOSE_WRITE},
};
const size_t NSTANDARD = sizeof STANDARD_STREAMS / sizeof STANDARD_STREAMS[0];

/* A normal close, then an abortive one when that fails; answers the first failure. An
   interrupt does not cut the normal close short: the output still queued is a program's
   last, and the close goes on until it is written. */
qxio_t_error_code close_stream(QXIO *stream)
{
  qxio_t_error_code rc;
  do {
    rc = qxio_close(stream, 0);
  } while (rc == QXIO_E_INTERRUPTED);
  if (rc < 0) qxio_close(stream, QXIO_CLOSE_ABORTIVE);
  return rc;
}

qxio_t_error_code start_standard_streams(void)
{
  const char *setting = getenv("QXIO_USE_LAYER_THREADDEVICE");
  if (setting != nullptr && strcmp(setting, "true") == 0) use_thread_device = true;
  if (setting != nullptr && strcmp(setting, "false") == 0) use_thread_device = false;
  qxio_t_error_code rc = qxio_find_layer("async", nullptr, 0);
  if (rc < 0) return rc;
  QXIO streams[NSTANDARD] = {};
  for (size_t i = 0; i < NSTANDARD; i++) {
    /* a descriptor that cannot carry a stream is left out */
    if (qxio_layer_async_unix_open_file_handle(&streams[i], STANDARD_STREAMS[i].fd,
                                               STANDARD_STREAMS[i].open_options) < 0)
      streams[i] = nullptr;
  }
  size_t registered = 0;
  for (; registered < NSTANDARD && rc >= 0; registered++) {
    if (streams[registered] != nullptr)
      rc = qxio_set_standard_stream(&streams[registered], STANDARD_STREAMS[registered].which);
  }
  if (rc >= 0) return QXIO_S_NOERR;
  /* Taking a stream back empties its entry without closing it. */
  for (size_t i = 0; i < NSTANDARD; i++) {
    QXIO taken = nullptr;
    if (i + 1 < registered) qxio_get_standard_stream(&taken, STANDARD_STREAMS[i].which);
    close_stream(&streams[i]);
  }
  return rc;
}

/* Every stream still registered is flushed and closed; the first failure is reported after
   all three are done. */
qxio_t_error_code stop_standard_streams(void)
{
  qxio_t_error_code first_error = QXIO_S_NOERR;
  for (size_t i = 0; i < NSTANDARD; i++) {
    QXIO stream = nullptr;
    if (qxio_get_standard_stream(&stream, STANDARD_STREAMS[i].which) < 0) continue;
    qxio_t_error_code rc = close_stream(&stream);
    if (rc < 0 && first_error >= 0) first_error = rc;
  }
  return first_error;
}

}  // namespace

qxio_t_error_code qxio_layer_async_unix_open_file_handle(QXIO *slot, int fd, uint32_t options)
{
  if (use_thread_device) return qxio_layer_threaddevice_open_file_handle_unix(slot, fd, options);
  return qxio_layer_asynk_open_file_handle_unix(slot, fd, options);
}

qxio_t_error_code qxio_init_standard_streams(uint32_t deinit)
{
  return deinit ? stop_standard_streams() : start_standard_streams();
}
