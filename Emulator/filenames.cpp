/* File names, path helpers and the engine's current directory.
 *
 * Expansion works on texts of any length: no fixed buffer, so a name longer than the system's
 * limit comes back whole and the system call that receives it reports the error. */
#include "filenames.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "datadefs.h"
#include "memman.h"
#include "orvalis.h"
#include "qxio.h"
#include "wcx.h"

uint32_t qx_set_current_dir_default_options = 0;

namespace {

/* The user-database lookup's buffer. */
constexpr size_t PASSWD_BUFFER_BYTES = 1024;

char *copy_span(const char *text, size_t length)
{
  char *copy = (char *)QX_malloc(length + 1);
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

/* Steps 5 to 8 of expansion over prefix + "/" + rest, folded in place: the result so far is
 * the root followed by components joined with "/", and it never gets ahead of the text still to
 * be read (each component after the first was preceded by at least one "/" there). */
char *fold_components(const char *prefix, const char *rest, int options)
{
  size_t prefix_length = std::strlen(prefix);
  size_t total = prefix_length + 1 + std::strlen(rest);
  char *text = (char *)QX_malloc(total + 3); /* room for a final "/" or "/." */
  if (text == nullptr) return nullptr;
  std::memcpy(text, prefix, prefix_length);
  text[prefix_length] = '/';
  std::strcpy(text + prefix_length + 1, rest);

  size_t root = (size_t)qx_get_root_len(text);
  size_t length = root;
  const char *p = text + root;
  while (root > 0 && *p) {
    while (*p == '/') p++;
    const char *start = p;
    while (*p && *p != '/') p++;
    size_t n = (size_t)(p - start);
    if (n == 0 || (n == 1 && start[0] == '.')) continue;
    if (n == 2 && start[0] == '.' && start[1] == '.') {
      if (length == root) { /* above the root */
        root = 0;
        break;
      }
      while (length > root && text[length - 1] != '/') length--;
      if (length > root) length--;
      continue;
    }
    if (length > root) text[length++] = '/';
    std::memmove(text + length, start, n);
    length += n;
  }
  bool at_root = length == root;
  if (root == 0 ||
      (at_root && !(options & (QX_EXPAND_DIRECTORY | QX_EXPAND_ROOT_OK | QX_EXPAND_ROOT_DOT)))) {
    QX_free(text);
    return nullptr;
  }
  if (at_root && !(options & (QX_EXPAND_DIRECTORY | QX_EXPAND_ROOT_OK)))
    text[length++] = '.';
  else if (!at_root && (options & QX_EXPAND_DIRECTORY))
    text[length++] = '/';
  text[length] = '\0';
  return text;
}

/* The value of the environment variable named by text[0, length), expanded as a directory. */
char *expand_variable(const char *text, size_t length, const char *base, int options)
{
  if (length == 0) return nullptr;
  char *key = copy_span(text, length);
  if (key == nullptr) return nullptr;
  char *value = qx_getenv_internal(key, nullptr, nullptr, 1);
  QX_free(key);
  char *expanded = nullptr;
  if (value != nullptr && value[0] != '\0')
    expanded = qx_expand_file_name_internal(value, base,
                                            options | QX_EXPAND_DIRECTORY | QX_EXPAND_NO_VARIABLES);
  QX_free(value);
  return expanded;
}

/* The home directory field of a user-database entry, by name or (name null) by the real user
 * id; an internal-encoding copy, or null. */
char *passwd_home(const char *os_name)
{
  char buffer[PASSWD_BUFFER_BYTES];
  struct passwd entry, *found = nullptr;
  int rc;
  do {
    rc = os_name ? getpwnam_r(os_name, &entry, buffer, sizeof buffer, &found)
                 : getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found);
  } while (rc == EINTR);
  if (rc != 0 || found == nullptr || found->pw_dir == nullptr) return nullptr;
  return QX_from_os(found->pw_dir, 0);
}

/* 0 when the directory path (ending with "/") names a directory, else the library's error.
 * The final slash is left out of the lookup: the system reports a file under it as a missing
 * directory component, not as a file that is no directory. */
int directory_status(char *path)
{
  size_t length = std::strlen(path);
  bool trimmed = length > 1 && path[length - 1] == '/';
  if (trimmed) path[length - 1] = '\0';
  qxio_t_stat status;
  int rc = qxio_stat(path, &status, QXIO_STAT_MUST_BE_DIRECTORY);
  if (trimmed) path[length - 1] = '/';
  return rc;
}

/* Replaces cwd_ienc with path (the old one freed). */
void set_cwd(char *path)
{
  QX_free(qx_eg.cwd_ienc);
  qx_eg.cwd_ienc = path;
}

/* The QX_ALLOW_CHDIR property, when set, overrides bit 1 of the default options. */
uint32_t chdir_options()
{
  uint32_t options = qx_set_current_dir_default_options;
  int allow = get_boolean_property("QX_ALLOW_CHDIR", -1);
  if (allow == 1) options &= ~QX_CHDIR_KEEP_PROCESS;
  if (allow == 0) options |= QX_CHDIR_KEEP_PROCESS;
  return options;
}

/* A directory from the I/O library (UTF-8), expanded as a start directory. */
char *expand_start_directory(const char *path)
{
  return qx_expand_file_name_internal(path, nullptr,
                                      QX_EXPAND_DIRECTORY | QX_EXPAND_ABSOLUTE |
                                          QX_EXPAND_NO_VARIABLES | QX_EXPAND_NO_TILDE);
}

/* Step 2 of init_once_file: the start directory, expanded; it becomes the current directory. */
char *start_directory()
{
  char *env = qx_getenv_internal("QX_STARTUP_DIR", nullptr, nullptr, 1 | 8);
  if (env != nullptr) {
    char *path = expand_start_directory(env);
    QX_free(env);
    if (path != nullptr && QX_set_current_dir(path) >= 0) return path;
    QX_free(path);
    return nullptr;
  }
  char *os_cwd = nullptr;
  if (qxio_get_working_directory(&os_cwd, QXIO_CWD_PROCESS | QXIO_CWD_LATIN1_FALLBACK) < 0)
    return nullptr;
  char *path = expand_start_directory(os_cwd);
  qxio_free(os_cwd);
  return path;
}

bool store_property(const char *key, const char *value)
{
  return qxio_set_system_property(key, value, 0) >= 0;
}

}  // namespace

/* ---- expansion ---- */

char *qx_expand_file_name_internal(const char *name, const char *base, int options)
{
  if (name == nullptr) return nullptr;
  char *prefix = nullptr; /* a block of our own, or null */
  const char *rest = name;
  if (name[0] == '/') {
    return fold_components("", name, options);
  } else if (name[0] == '~' && !(options & QX_EXPAND_NO_TILDE)) {
    size_t length = std::strcspn(name + 1, "/");
    char *user = length ? copy_span(name + 1, length) : nullptr;
    if (length && user == nullptr) return nullptr;
    prefix = qx_user_directory(user, 0);
    QX_free(user);
    rest = name + 1 + length;
  } else if (name[0] == '$' && !(options & QX_EXPAND_NO_VARIABLES)) {
    size_t length = std::strcspn(name + 1, "/");
    prefix = expand_variable(name + 1, length, base, options);
    rest = name + 1 + length;
  } else {
    if (options & QX_EXPAND_ABSOLUTE) return nullptr;
    const char *dir = base != nullptr && base[0] != '\0' ? base : qx_eg.cwd_ienc;
    return dir != nullptr ? fold_components(dir, name, options) : nullptr;
  }
  if (prefix == nullptr) return nullptr;
  char *result = fold_components(prefix, rest, options);
  QX_free(prefix);
  return result;
}

char *qx_expand_file_name(const char *name, const char *base, int options)
{
  if (base == nullptr) return qx_expand_file_name_internal(name, nullptr, options);
  char *dir = qx_expand_file_name_internal(base, nullptr, QX_EXPAND_DIRECTORY);
  if (dir == nullptr) return nullptr;
  char *result = qx_expand_file_name_internal(name, dir, options);
  QX_free(dir);
  return result;
}

char *qx_user_directory(const char *user, int options)
{
  char *home;
  if (user == nullptr || user[0] == '\0') {
    home = qx_getenv_internal("HOME", nullptr, nullptr, 1);
    if (home != nullptr && home[0] == '\0') {
      QX_free(home);
      home = nullptr;
    }
    if (home == nullptr) home = passwd_home(nullptr);
  } else {
    char *os_name = QX_to_os(user, 0);
    if (os_name == nullptr) return nullptr;
    home = passwd_home(os_name);
    QX_free(os_name);
  }
  if (home == nullptr) return nullptr;
  char *expanded = qx_expand_file_name_internal(home, nullptr, options | 13);
  QX_free(home);
  return expanded;
}

int qx_file_name_check(const char *path)
{
  return qxio_is_legal_utf8_string(path, std::strlen(path), 0) < 0 ? QXIO_E_INVALID_NAME
                                                                   : QXIO_S_NOERR;
}

int QX_expand_file_name(const char *name, const char *base, int options, char **result)
{
  *result = nullptr;
  if (name == nullptr || !wci_valid_string(name) || (base != nullptr && !wci_valid_string(base)))
    return QXIO_E_ERROR;
  *result = qx_expand_file_name(name, base, options);
  return *result != nullptr ? QXIO_S_NOERR : QXIO_E_ERROR;
}

/* ---- the current directory ---- */

const char *qx_cwd_ienc() { return qx_eg.cwd_ienc; }

char *QX_get_current_dir(void)
{
  return qx_eg.cwd_ienc != nullptr ? QX_strdup(qx_eg.cwd_ienc) : nullptr;
}

int QX_set_current_dir(const char *dir)
{
  uint32_t options = chdir_options();
  if (dir == nullptr || !wci_valid_string(dir)) return QXIO_E_ENCODING_INVALID;
  char *path = qx_expand_file_name_internal(dir, nullptr, QX_EXPAND_DIRECTORY);
  if (path == nullptr) return QXIO_E_INVALID_NAME;
  int rc = qx_file_name_check(path);
  if (rc >= 0) rc = directory_status(path);
  bool engine_changed = false;
  /* The library's cache first: when it fails, neither directory has changed. */
  if (rc >= 0 && !(options & QX_CHDIR_KEEP_ENGINE)) {
    rc = qxio_set_working_directory(path, QXIO_CWD_CACHED);
    engine_changed = rc >= 0;
  }
  if (rc >= 0 && !(options & QX_CHDIR_KEEP_PROCESS)) {
    rc = qxio_set_working_directory(path, QXIO_CWD_PROCESS);
    if (rc < 0 && engine_changed) rc = 1;
  }
  if (engine_changed)
    set_cwd(path);
  else
    QX_free(path);
  return rc < 0 ? rc : rc == 1 ? 1 : 0;
}

/* ---- path helpers ---- */

int qx_get_root_len(const char *path)
{
  int length = qxio_path_root_len(path);
  return length > 0 ? length : 0;
}

const char *qx_split_path(const char *path, const char **root_end, const char **base,
                          const char **suffix)
{
  size_t root = (size_t)qx_get_root_len(path);
  const char *name = path + root;
  const char *end = name;
  for (; *end; end++)
    if (*end == '/') name = end + 1;
  const char *dot = nullptr;
  for (const char *p = name; p < end; p++)
    if (*p == '.') dot = p;
  if (root_end) *root_end = root ? path + root : nullptr;
  if (base) *base = name;
  if (suffix) *suffix = dot;
  return end;
}

size_t parent_dir_end(const char *path)
{
  size_t root = (size_t)qx_get_root_len(path);
  size_t end = std::strlen(path);
  if (end > root && path[end - 1] == '/') end--; /* the last component is the base name */
  while (end > 0 && path[end - 1] != '/') end--;
  if (end <= 1 || end - 1 < root) return 0; /* the first character, or inside the root */
  return end - 1;
}

char *qx_dirname(const char *path)
{
  size_t slash = parent_dir_end(path);
  return slash ? copy_span(path, slash + 1) : nullptr;
}

char *qx_basename(const char *path, int strip_suffix)
{
  const char *base, *suffix;
  const char *end = qx_split_path(path, nullptr, &base, &suffix);
  if (strip_suffix && suffix) end = suffix;
  return copy_span(base, (size_t)(end - base));
}

const char *qx_path_suffix(const char *path)
{
  const char *suffix;
  qx_split_path(path, nullptr, nullptr, &suffix);
  return suffix;
}

/* ---- start-up ---- */

int init_once_file()
{
  char *path = start_directory();
  if (path == nullptr) return 0;
  bool stored = store_property("QX_STARTUP_DIR", path);
  if (stored && (qx_eg.cwd_ienc == nullptr || std::strcmp(qx_eg.cwd_ienc, path) != 0) &&
      qxio_set_working_directory(path, QXIO_CWD_CACHED) >= 0) {
    set_cwd(path);
    path = nullptr;
  }
  QX_free(path);
  char *temp = nullptr;
  if (qxio_temp_directory(&temp, 0) < 0) return 0;
  stored = store_property("QX_TEMP_DIR", temp) && stored && qx_eg.cwd_ienc != nullptr;
  qxio_free(temp);
  return stored ? 1 : 0;
}

void deinit_file() { set_cwd(nullptr); }

/* ---- the program's path ---- */

char *resolve_argv_execpath(const char *argv0, const char *env_name)
{
  if (std::strchr(argv0, '/') != nullptr) {
    char *copy = QX_strdup(argv0);
    if (copy == nullptr) qx_memory_fault("program path", QX_SPACE_FOREIGN);
    return copy;
  }
  char *list = qx_getenv_internal(env_name, nullptr, nullptr, 2);
  if (list == nullptr) return nullptr;
  size_t name_length = std::strlen(argv0);
  char *found = nullptr;
  for (const char *entry = list; found == nullptr; entry++) {
    size_t entry_length = std::strcspn(entry, ":");
    size_t length = entry_length;
    bool skip =
        length == 0 || (length >= 2 && entry[length - 1] == '/' && entry[length - 2] == '/');
    if (!skip) {
      const char *dir = entry;
      if (entry[length - 1] == '/') length--;
      if (length == 0) { /* the entry "/" */
        dir = "/.";
        length = 2;
      }
      char *candidate = (char *)QX_malloc(length + 1 + name_length + 1);
      if (candidate == nullptr) {
        QX_free(list);
        qx_memory_fault("program path", QX_SPACE_FOREIGN);
      }
      std::memcpy(candidate, dir, length);
      candidate[length] = '/';
      std::memcpy(candidate + length + 1, argv0, name_length + 1);
      if (qxio_test_file_access(candidate, QXIO_ACCESS_REGULAR) >= 0)
        found = candidate;
      else
        QX_free(candidate);
    }
    entry += entry_length;
    if (*entry == '\0') break;
  }
  QX_free(list);
  return found;
}
