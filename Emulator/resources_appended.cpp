/* Resources appended to the files that QX_RT_PATH, QX_APP_PATH and QX_EMBEDDED_RESOURCES_PATH
 * name: each regular file among them is opened and scanned once, at the first lookup; files that
 * hold resources stay open until the list is freed at shutdown.
 */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "datadefs.h"
#include "memman.h"
#include "orvalis.h"
#include "resources.h"
#include "streams.h"

namespace {

const char *const RESOURCE_FILE_VARIABLES[] = {"QX_RT_PATH", "QX_APP_PATH",
                                               "QX_EMBEDDED_RESOURCES_PATH"};

/* A scanned file: its descriptor, read with pread so that no position is shared. */
struct file_source {
  int fd;
};

int file_read_at(void *source, int64_t offset, void *into, size_t n)
{
  int fd = ((file_source *)source)->fd;
  char *to = (char *)into;
  while (n > 0) {
    ssize_t k = pread(fd, to, n, (off_t)offset);
    if (k < 0 && errno == EINTR) continue;
    if (k < 0) return qxio_map_unix_error(errno, QXIO_E_READ_ERROR);
    if (k == 0) return QXIO_E_END_OF_FILE;
    to += k;
    offset += k;
    n -= (size_t)k;
  }
  return 0;
}

void file_close(void *source)
{
  close(((file_source *)source)->fd);
  qxio_free(source);
}

const qx_t_resource_source_funcs_ file_funcs = {file_read_at, file_close};

/* The header of one file, with what its scan found; null when it holds no resource. The file is
 * opened without blocking and taken only when it is a regular file: a FIFO or a device named by
 * the variable would otherwise block the open or the reads. */
qx_t_meta_info_header_ *scan_file(const char *path)
{
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return nullptr;
  struct stat st;
  file_source *source = nullptr;
  qx_t_meta_info_header_ *h = nullptr;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      !(source = (file_source *)qxio_alloc(sizeof(file_source))) || !(h = new_meta_info_header())) {
    qxio_free(source);
    close(fd);
    return nullptr;
  }
  source->fd = fd;
  h->stream = source;
  h->funcs = &file_funcs;
  h->stream_length = st.st_size;
  qx_scan_meta_info(h);
  if (!h->infos) {
    free_meta_info_header(h);
    return nullptr;
  }
  return h;
}

/* The list of files with resources; an empty header when none has any, so that the scan is
 * done once. */
qx_t_meta_info_header_ *scan_resource_files(void)
{
  qx_t_meta_info_header_ *list = nullptr, **tail = &list;
  for (const char *variable : RESOURCE_FILE_VARIABLES) {
    char *path = nullptr;
    if (qx_get_system_property_internal(variable, nullptr, nullptr, &path, 0) < 0 || !path)
      continue;
    if (qx_t_meta_info_header_ *h = scan_file(path)) {
      *tail = h;
      tail = &h->next;
    }
    QX_free(path);
  }
  return list ? list : new_meta_info_header();
}

}  // namespace

int find_embedded_resource(const char *name, unsigned char **data, size_t *size)
{
  if (!qx_eg.embedded_resources) qx_eg.embedded_resources = scan_resource_files();
  if (!qx_eg.embedded_resources) return QXIO_E_OUT_OF_MEMORY;
  return qx_meta_info_lookup((qx_t_meta_info_header_ *)qx_eg.embedded_resources, name, data, size);
}

void qx_free_embedded_resources(void)
{
  free_meta_info_header((qx_t_meta_info_header_ *)qx_eg.embedded_resources);
  qx_eg.embedded_resources = nullptr;
}
