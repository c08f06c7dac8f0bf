/* The file system: portable file status, access tests for the current user, renaming,
   deleting, creating directories, the working directory (the process's and the library's
   cached copy), the temporary directory, user and group names, and the conversion of names
   between the library's UTF-8 and the system. Calls that a signal can interrupt are
   repeated. */
#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qxio_internal.h"

namespace {

/* The library's copy of the working directory (module state). */
char *cached_cwd = nullptr;

int stat_path(const char *path, struct stat *st)
{
  int rc;
  do {
    rc = stat(path, st);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

/* The read, write and execute bits (4, 2, 1) of the class the current user falls in:
   owner, else the file's group among the effective or supplementary groups, else others. */
unsigned user_class_bits(const struct stat *st)
{
  unsigned mode = st->st_mode;
  if (geteuid() == st->st_uid) return (mode >> 6) & 7;
  bool in_group = getegid() == st->st_gid;
  if (!in_group) {
    int count = getgroups(0, nullptr);
    if (count > 0) {
      gid_t *groups = static_cast<gid_t *>(qxio_alloc(sizeof(gid_t) * count));
      if (groups != nullptr) {
        count = getgroups(count, groups);
        for (int i = 0; i < count && !in_group; i++) in_group = groups[i] == st->st_gid;
        qxio_free(groups);
      }
    }
  }
  return in_group ? (mode >> 3) & 7 : mode & 7;
}

/* One class's bits in the record's layout: read, write, then execute for a file or search
   for a directory. */
uint32_t class_mode(unsigned rwx, bool directory)
{
  uint32_t bits = 0;
  if (rwx & 4) bits |= QXIO_MODE_OWNER_READ;
  if (rwx & 2) bits |= QXIO_MODE_OWNER_WRITE;
  if (rwx & 1) bits |= directory ? QXIO_MODE_OWNER_SEARCH : QXIO_MODE_OWNER_EXECUTE;
  return bits;
}

uint32_t permission_mode(const struct stat *st, bool directory)
{
  unsigned mode = st->st_mode;
  return class_mode((mode >> 6) & 7, directory) | class_mode((mode >> 3) & 7, directory) << 4 |
         class_mode(mode & 7, directory) << 8;
}

uint32_t user_access_mode(const struct stat *st, bool directory)
{
  unsigned rwx = user_class_bits(st);
  uint32_t bits = 0;
  if (rwx & 4) bits |= QXIO_MODE_USER_READ;
  if (rwx & 2) bits |= QXIO_MODE_USER_WRITE;
  if (rwx & 1) bits |= directory ? QXIO_MODE_USER_SEARCH : QXIO_MODE_USER_EXECUTE;
  return bits;
}

void fill_stat(const struct stat *st, qxio_t_stat *record, uint32_t options)
{
  bool directory = S_ISDIR(st->st_mode);
  if (options & QXIO_STAT_MODE) record->mode |= permission_mode(st, directory);
  if (options & QXIO_STAT_ACCESS) record->mode |= user_access_mode(st, directory);
  if (options & QXIO_STAT_TYPE) record->type = directory ? 1 : 0;
  if (options & QXIO_STAT_TIMES) {
    record->access_time = st->st_atime;
    record->modify_time = st->st_mtime;
    record->create_time = st->st_ctime;
  }
  if (options & QXIO_STAT_SIZE) record->size = static_cast<uint64_t>(st->st_size);
  if (options & QXIO_STAT_OWNER) record->owner = st->st_uid;
  if (options & QXIO_STAT_GROUP) record->group = st->st_gid;
}

/* The directory part of an absolute path ("/a/b/c" and "/a/b/c/" give "/a/b/"), a qxio_alloc
   copy; null when memory is short. */
char *parent_directory(const char *path)
{
  size_t length = strlen(path);
  if (length > 1 && path[length - 1] == '/') length--;
  while (length > 0 && path[length - 1] != '/') length--;
  char *parent = static_cast<char *>(qxio_alloc(length + 1));
  if (parent == nullptr) return nullptr;
  memcpy(parent, path, length);
  parent[length] = '\0';
  return parent;
}

/* Step 1 of the access test for a missing file that may be created: its directory must be
   writable. On success *st holds the directory's status and *options the adjusted request. */
qxio_t_error_code stat_parent_for_create(const char *path, struct stat *st, uint32_t *options)
{
  if (qxio_path_root_len(path) < 0) return QXIO_E_FILE_NOT_FOUND;
  char *parent = parent_directory(path);
  if (parent == nullptr) return QXIO_E_OUT_OF_MEMORY;
  int rc = stat_path(parent, st);
  int saved_errno = errno;
  qxio_free(parent);
  if (rc != 0) return qxio_map_unix_error(saved_errno, QXIO_E_FILE_NOT_FOUND);
  if (!S_ISDIR(st->st_mode)) return QXIO_E_FILE_NOT_FOUND;
  *options = (*options | QXIO_ACCESS_WRITE) & ~QXIO_ACCESS_SEARCH;
  return QXIO_S_NOERR;
}

/* Step 2: the kind of file must match the request. */
qxio_t_error_code check_kind(const struct stat *st, uint32_t options)
{
  bool directory = S_ISDIR(st->st_mode);
  if (directory && !(options & QXIO_ACCESS_DIRECTORY)) return QXIO_E_FILE_IS_DIRECTORY;
  if (!directory && (options & QXIO_ACCESS_DIRECTORY)) return QXIO_E_FILE_NOT_DIRECTORY;
  if ((options & QXIO_ACCESS_REGULAR) && !S_ISREG(st->st_mode)) return QXIO_E_FILE_ACCESS;
  return QXIO_S_NOERR;
}

/* Steps 4 and 5: every needed bit of the user's class must be set. */
qxio_t_error_code check_bits(const struct stat *st, uint32_t options)
{
  unsigned needed = 0;
  if (options & QXIO_ACCESS_READ) needed |= 4;
  if (options & QXIO_ACCESS_WRITE) needed |= 2;
  if (S_ISDIR(st->st_mode) ? (options & QXIO_ACCESS_SEARCH) : (options & QXIO_ACCESS_EXECUTE))
    needed |= 1;
  if (needed == 0) return QXIO_S_NOERR;
  return (user_class_bits(st) & needed) == needed ? QXIO_S_NOERR : QXIO_E_FILE_ACCESS;
}

/* Copies `length` bytes into a new NUL-terminated qxio_alloc text. */
char *copy_text(const void *bytes, size_t length)
{
  char *text = static_cast<char *>(qxio_alloc(length + 1));
  if (text == nullptr) return nullptr;
  memcpy(text, bytes, length);
  text[length] = '\0';
  return text;
}

/* Each byte as ISO-8859-1: bytes of 0x80 and above become two UTF-8 bytes. */
char *latin1_to_utf8(const unsigned char *bytes, size_t length, size_t *length_out)
{
  size_t needed = length;
  for (size_t i = 0; i < length; i++) needed += bytes[i] >= 0x80;
  char *text = static_cast<char *>(qxio_alloc(needed + 1));
  if (text == nullptr) return nullptr;
  size_t n = 0;
  for (size_t i = 0; i < length; i++) {
    if (bytes[i] < 0x80) {
      text[n++] = static_cast<char>(bytes[i]);
    } else {
      text[n++] = static_cast<char>(0xC0 | (bytes[i] >> 6));
      text[n++] = static_cast<char>(0x80 | (bytes[i] & 0x3F));
    }
  }
  text[n] = '\0';
  *length_out = n;
  return text;
}

/* The process's working directory as getcwd gives it, in a buffer grown until it fits. */
qxio_t_error_code process_cwd(char **bytes_out)
{
  size_t size = 256;
  for (;;) {
    char *buffer = static_cast<char *>(qxio_alloc(size));
    if (buffer == nullptr) return QXIO_E_OUT_OF_MEMORY;
    if (getcwd(buffer, size) != nullptr) {
      *bytes_out = buffer;
      return QXIO_S_NOERR;
    }
    int error = errno;
    qxio_free(buffer);
    if (error != ERANGE) return qxio_map_unix_error(error, QXIO_E_OS_ERROR);
    size *= 2;
  }
}

/* The process's working directory in UTF-8 (options: QXIO_CWD_LATIN1_FALLBACK). */
qxio_t_error_code process_cwd_utf8(char **path_out, uint32_t options)
{
  char *bytes = nullptr;
  qxio_t_error_code rc = process_cwd(&bytes);
  if (rc < 0) return rc;
  uint32_t from_options = (options & QXIO_CWD_LATIN1_FALLBACK) ? QXIO_OS_NAME_LATIN1_FALLBACK : 0;
  rc = qxio_file_name_from_os_unix(bytes, path_out, from_options);
  qxio_free(bytes);
  return rc < 0 ? rc : QXIO_S_NOERR;
}

/* Looks a name up in the user or group database with a reentrant call; `lookup` fills the
   name from a buffer of the given size, answering an errno (ERANGE: buffer too small) or
   0 with found set. */
template <typename Lookup>
qxio_t_error_code database_name(int size_name, char **name_out, Lookup lookup)
{
  *name_out = nullptr;
  long recommended = sysconf(size_name);
  size_t size = recommended > 0 ? static_cast<size_t>(recommended) : 1024;
  for (;;) {
    char *buffer = static_cast<char *>(qxio_alloc(size));
    if (buffer == nullptr) return QXIO_E_OUT_OF_MEMORY;
    const char *name = nullptr;
    int error;
    do {
      error = lookup(buffer, size, &name);
    } while (error == EINTR);
    if (error == 0 && name != nullptr) {
      *name_out = qxio_alloc_string(name);
      qxio_free(buffer);
      return *name_out != nullptr ? QXIO_S_NOERR : QXIO_E_OUT_OF_MEMORY;
    }
    qxio_free(buffer);
    if (error == ERANGE) {
      size *= 2;
      continue;
    }
    /* Systems answer a missing entry with 0 or with one of several errno values. */
    if (error == ENOMEM) return QXIO_E_OUT_OF_MEMORY;
    if (error == EIO || error == EMFILE || error == ENFILE)
      return qxio_map_unix_error(error, QXIO_E_OS_ERROR);
    return QXIO_E_NOT_FOUND;
  }
}

}  // namespace

/* ---- status ---- */

qxio_t_error_code qxio_stat(const char *path, qxio_t_stat *record, uint32_t options)
{
  memset(record, 0, sizeof *record);
  struct stat st;
  if (stat_path(path, &st) != 0) return qxio_map_unix_error(errno, QXIO_E_FILE_NOT_FOUND);
  bool directory = S_ISDIR(st.st_mode);
  if ((options & QXIO_STAT_MUST_BE_DIRECTORY) && !directory) return QXIO_E_FILE_NOT_DIRECTORY;
  if ((options & QXIO_STAT_MUST_NOT_BE_DIRECTORY) && directory) return QXIO_E_FILE_IS_DIRECTORY;
  fill_stat(&st, record, options);
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_stat_add_deiniter(qxio_t_stat *record, qxio_t_stat_deiniter_fun fun,
                                         void *data)
{
  size_t count = (record->flags & QXIO_STAT_FLAG_DEINITERS) ? record->deiniters_count : 0;
  qxio_t_stat_deiniter *grown = static_cast<qxio_t_stat_deiniter *>(
      qxio_realloc(count > 0 ? record->deiniters : nullptr, (count + 1) * sizeof *grown));
  if (grown == nullptr) return QXIO_E_OUT_OF_MEMORY;
  grown[count].fun = fun;
  grown[count].data = data;
  record->deiniters = grown;
  record->deiniters_count = count + 1;
  record->flags |= QXIO_STAT_FLAG_DEINITERS;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_stat_deinit(qxio_t_stat *record)
{
  if (record->flags & QXIO_STAT_FLAG_DEINITERS) {
    for (size_t i = 0; i < record->deiniters_count; i++)
      record->deiniters[i].fun(record, record->deiniters[i].data);
    qxio_free(record->deiniters);
    record->deiniters = nullptr;
    record->deiniters_count = 0;
  }
  record->flags = 0;
  return QXIO_S_NOERR;
}

/* ---- access, rename, delete, create ---- */

qxio_t_error_code qxio_test_file_access(const char *path, uint32_t options)
{
  struct stat st;
  if (stat_path(path, &st) != 0) {
    int error = errno;
    if (options & QXIO_ACCESS_REGULAR) return QXIO_E_FILE_NOT_FOUND;
    if (!(options & QXIO_ACCESS_CREATE) || error != ENOENT)
      return qxio_map_unix_error(error, QXIO_E_FILE_NOT_FOUND);
    qxio_t_error_code rc = stat_parent_for_create(path, &st, &options);
    if (rc < 0) return rc;
    return check_bits(&st, options);
  }
  qxio_t_error_code rc = check_kind(&st, options);
  if (rc < 0) return rc;
  if (options & QXIO_ACCESS_CREATE) options |= QXIO_ACCESS_WRITE;
  return check_bits(&st, options);
}

qxio_t_error_code qxio_rename_file(const char *old_path, const char *new_path, uint32_t options)
{
  int rc;
  do {
    rc = rename(old_path, new_path);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? QXIO_S_NOERR : qxio_map_unix_error(errno, QXIO_E_FILE_ACCESS);
}

qxio_t_error_code qxio_delete_file(const char *path, uint32_t options)
{
  if (options & QXIO_DELETE_DIRECTORY) {
    if (options & QXIO_DELETE_RECURSIVE) return QXIO_E_NOT_IMPLEMENTED;
    int rc;
    do {
      rc = rmdir(path);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return QXIO_S_NOERR;
    if (errno == EEXIST || errno == ENOTEMPTY) return QXIO_E_DIR_NOT_EMPTY;
    if (errno == ENOTDIR) return QXIO_E_FILE_NOT_DIRECTORY;
    return qxio_map_unix_error(errno, QXIO_E_FILE_ACCESS);
  }
  int rc;
  do {
    rc = unlink(path);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return QXIO_S_NOERR;
  if (errno == ENOENT) return QXIO_E_FILE_NOT_FOUND;
  if (errno == EISDIR) return QXIO_E_FILE_IS_DIRECTORY;
  return qxio_map_unix_error(errno, QXIO_E_FILE_ACCESS);
}

qxio_t_error_code qxio_create_directory(const char *path, uint32_t options)
{
  int rc;
  do {
    rc = mkdir(path, 0777);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? QXIO_S_NOERR : qxio_map_unix_error(errno, QXIO_E_OS_ERROR);
}

/* ---- working and temporary directories ---- */

qxio_t_error_code qxio_set_working_directory(const char *path, uint32_t options)
{
  if (options & QXIO_CWD_PROCESS) {
    int rc;
    do {
      rc = chdir(path);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return qxio_map_unix_error(errno, QXIO_E_OS_ERROR);
  }
  if (options & QXIO_CWD_CACHED) {
    char *copy = qxio_alloc_string(path);
    if (copy == nullptr) return QXIO_E_OUT_OF_MEMORY;
    qxio_free(cached_cwd);
    cached_cwd = copy;
  }
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_get_working_directory(char **path_out, uint32_t options)
{
  *path_out = nullptr;
  if (options & QXIO_CWD_PROCESS) return process_cwd_utf8(path_out, options);
  if (cached_cwd == nullptr) return QXIO_E_INVALID_STATE;
  *path_out = qxio_alloc_string(cached_cwd);
  return *path_out != nullptr ? QXIO_S_NOERR : QXIO_E_OUT_OF_MEMORY;
}

qxio_t_error_code qxio_temp_directory(char **path_out, uint32_t options)
{
  *path_out = nullptr;
  char *value = qxio_get_system_property_allocate("TMPDIR", 0);
  const char *directory = value != nullptr && value[0] != '\0' ? value : "/tmp";
  size_t length = strlen(directory);
  bool slash = directory[length - 1] == '/';
  char *path = static_cast<char *>(qxio_alloc(length + (slash ? 1 : 2)));
  if (path != nullptr) {
    memcpy(path, directory, length);
    if (!slash) path[length++] = '/';
    path[length] = '\0';
  }
  qxio_free(value);
  if (path == nullptr) return QXIO_E_OUT_OF_MEMORY;
  *path_out = path;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_path_root_len(const char *path)
{
  return path[0] == '/' ? 1 : QXIO_E_FILE_NOT_ABSOLUTE;
}

/* ---- users and groups ---- */

qxio_t_error_code qxio_user_id_name(qxio_t_uid uid, char **name_out, uint32_t options)
{
  return database_name(_SC_GETPW_R_SIZE_MAX, name_out,
                       [uid](char *buffer, size_t size, const char **name) {
                         struct passwd entry, *found = nullptr;
                         int error = getpwuid_r(uid, &entry, buffer, size, &found);
                         if (error == 0 && found != nullptr) *name = found->pw_name;
                         return error;
                       });
}

qxio_t_error_code qxio_group_id_name(qxio_t_gid gid, char **name_out, uint32_t options)
{
  return database_name(_SC_GETGR_R_SIZE_MAX, name_out,
                       [gid](char *buffer, size_t size, const char **name) {
                         struct group entry, *found = nullptr;
                         int error = getgrgid_r(gid, &entry, buffer, size, &found);
                         if (error == 0 && found != nullptr) *name = found->gr_name;
                         return error;
                       });
}

/* ---- names to and from the system ---- */

qxio_t_error_code qxio_file_name_for_os_unix(const char *name, char **os_name_out, uint32_t options)
{
  if (options & QXIO_OS_NAME_NO_COPY) {
    *os_name_out = const_cast<char *>(name);
    return QXIO_S_NOERR;
  }
  *os_name_out = qxio_alloc_string(name);
  return *os_name_out != nullptr ? QXIO_S_NOERR : QXIO_E_OUT_OF_MEMORY;
}

qxio_t_error_code qxio_file_name_from_os_unix(const char *os_name, char **name_out,
                                              uint32_t options)
{
  size_t length;
  return qxio_from_os_unix(os_name, strlen(os_name), name_out, &length, options);
}

qxio_t_error_code qxio_from_os_unix(const void *bytes, size_t length, char **text_out,
                                    size_t *length_out, uint32_t options)
{
  *text_out = nullptr;
  if (options & QXIO_OS_NAME_UNSUPPORTED) return QXIO_E_NOT_SUPPORTED;
  if (qxio_is_legal_utf8_string(bytes, length, 0) >= 0) {
    *text_out = (options & QXIO_OS_NAME_NO_COPY) ? static_cast<char *>(const_cast<void *>(bytes))
                                                 : copy_text(bytes, length);
    if (*text_out == nullptr) return QXIO_E_OUT_OF_MEMORY;
    *length_out = length;
    return 0;
  }
  if (!(options & QXIO_OS_NAME_LATIN1_FALLBACK)) return QXIO_E_ENCODING_INVALID;
  *text_out = latin1_to_utf8(static_cast<const unsigned char *>(bytes), length, length_out);
  return *text_out != nullptr ? 1 : QXIO_E_OUT_OF_MEMORY;
}

/* ---- module ---- */

qxio_t_error_code qxio_init_file(uint32_t deinit)
{
  qxio_free(cached_cwd);
  cached_cwd = nullptr;
  if (deinit) return QXIO_S_NOERR;
  return process_cwd_utf8(&cached_cwd, QXIO_CWD_LATIN1_FALLBACK);
}
