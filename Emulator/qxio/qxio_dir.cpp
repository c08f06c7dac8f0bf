/* Reading directories: entries one at a time through one reused entry record, optionally
   only the subdirectories or only the other entries. */
#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include "qxio_internal.h"

namespace {

const uint32_t FILTERS = QXIO_DIR_ONLY_DIRECTORIES | QXIO_DIR_ONLY_NON_DIRECTORIES;

DIR *os_dir(const qxio_t_dir *dir) { return static_cast<DIR *>(dir->os_dir); }

/* Whether the filter keeps the entry: its full path (the directory's path and the name) must
   have a status of the kind asked for. */
bool filter_keeps(qxio_t_dir *dir, const char *name)
{
  qxio_t_buf *path = &dir->os_path_buf;
  path->extent = dir->os_path_len;
  if (qxio_buf_concat_bytes(path, name, strlen(name) + 1) < 0) return false;
  struct stat st;
  int rc;
  do {
    rc = stat(reinterpret_cast<const char *>(path->buf), &st);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return false;
  bool directory = S_ISDIR(st.st_mode);
  return (dir->ent.flags & QXIO_DIR_ONLY_DIRECTORIES) ? directory : !directory;
}

void free_entry_name(qxio_t_dirent *entry)
{
  if (entry->flags & QXIO_DIRENT_NAME_ALLOCATED) qxio_free(entry->utf8_name);
  entry->flags &= ~QXIO_DIRENT_NAME_ALLOCATED;
  entry->utf8_name = nullptr;
}

}  // namespace

qxio_t_error_code qxio_open_directory(const char *path, qxio_t_dir **dir_out, uint32_t options)
{
  *dir_out = nullptr;
  DIR *handle = opendir(path);
  if (handle == nullptr) return qxio_map_unix_error(errno, QXIO_E_OS_ERROR);
  qxio_t_dir *dir = static_cast<qxio_t_dir *>(qxio_alloc(sizeof *dir));
  if (dir == nullptr) {
    closedir(handle);
    return QXIO_E_OUT_OF_MEMORY;
  }
  memset(dir, 0, sizeof *dir);
  dir->os_dir = handle;
  qxio_buf_init_buf(&dir->os_path_buf);
  dir->ent.dir = dir;
  dir->ent.flags = options & FILTERS;
  if (dir->ent.flags != 0) {
    size_t length = strlen(path);
    bool slash = length > 0 && path[length - 1] == '/';
    if (qxio_buf_concat_bytes(&dir->os_path_buf, path, length) < 0 ||
        (!slash && qxio_buf_push(&dir->os_path_buf, '/') < 0)) {
      qxio_close_directory(dir);
      return QXIO_E_OUT_OF_MEMORY;
    }
    dir->os_path_len = dir->os_path_buf.extent;
  }
  *dir_out = dir;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_read_directory(qxio_t_dir *dir, qxio_t_dirent **entry_out, uint32_t options)
{
  qxio_t_dirent *entry = &dir->ent;
  *entry_out = nullptr;
  for (;;) {
    errno = 0;
    struct dirent *os_ent = readdir(os_dir(dir));
    if (os_ent == nullptr) {
      int error = errno;
      free_entry_name(entry);
      entry->os_ent = nullptr;
      if (error == 0) return QXIO_E_NO_MORE_ENTRIES;
      if (error == EINTR) continue;
      return qxio_map_unix_error(error, QXIO_E_OS_ERROR);
    }
    if ((entry->flags & FILTERS) && !filter_keeps(dir, os_ent->d_name)) continue;
    free_entry_name(entry);
    entry->os_ent = os_ent;
    *entry_out = entry;
    return QXIO_S_NOERR;
  }
}

qxio_t_error_code qxio_dirent_name(qxio_t_dirent *entry, const char **name_out)
{
  *name_out = nullptr;
  free_entry_name(entry);
  if (entry->os_ent == nullptr) return QXIO_E_NO_MORE_ENTRIES;
  char *name;
  qxio_t_error_code rc = qxio_file_name_from_os_unix(
      static_cast<struct dirent *>(entry->os_ent)->d_name, &name, QXIO_OS_NAME_NO_COPY);
  if (rc < 0) return rc == QXIO_E_ENCODING_INVALID ? QXIO_E_INVALID_NAME : rc;
  entry->utf8_name = name;
  *name_out = name;
  return QXIO_S_NOERR;
}

/* closedir is not repeated after EINTR: the handle is gone whatever it answers. */
qxio_t_error_code qxio_close_directory(qxio_t_dir *dir)
{
  if (dir == nullptr) return QXIO_S_NOERR;
  int rc = closedir(os_dir(dir));
  int error = errno;
  qxio_buf_free(&dir->os_path_buf);
  free_entry_name(&dir->ent);
  qxio_free(dir);
  if (rc != 0 && error != EINTR) return qxio_map_unix_error(error, QXIO_E_OS_ERROR);
  return QXIO_S_NOERR;
}
