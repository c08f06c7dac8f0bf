/* The persistent start data: the argument vector and the boot directory. */
#include "start_data.h"

#include <cstdint>
#include <cstring>

#include "atoms.h"
#include "filenames.h"
#include "memman.h"
#include "orvalis.h"
#include "wcx.h"

namespace {

char **argv_ienc = nullptr;
int argc_stored = 0;
char *boot_path = nullptr;

void free_vector(char **vector, int count)
{
  if (vector == nullptr) return;
  for (int i = 0; i < count; i++) QX_free(vector[i]);
  QX_free(vector);
}

/* The internal-encoding copy of one argument, the atom's own text; null on any failure. */
char *argument_copy(const char *text, int flags)
{
  if (text == nullptr) return nullptr;
  char *converted = nullptr;
  if (flags & 1) {
    converted = QX_from_os(text, 0);
    if (converted == nullptr) return nullptr;
    text = converted;
  }
  TAGGED a = init_atom_check(text, 0);
  QX_free(converted);
  return a ? QX_strdup(atom_name(a)) : nullptr;
}

}  // namespace

int QX_set_argv(int argc, char **argv, int flags)
{
  if (argc < 0 || (size_t)argc > SIZE_MAX / sizeof(char *) || (argc > 0 && argv == nullptr)) {
    qx_set_errno(QX_ERR_STRING);
    return 0;
  }
  char **vector = (char **)QX_malloc(sizeof(char *) * (size_t)(argc > 0 ? argc : 1));
  if (vector == nullptr) {
    qx_set_errno(QX_ERR_STRING);
    return 0;
  }
  for (int i = 0; i < argc; i++) {
    vector[i] = argument_copy(argv[i], flags);
    if (vector[i] == nullptr) {
      free_vector(vector, i);
      qx_set_errno(QX_ERR_STRING);
      return 0;
    }
  }
  free_vector(argv_ienc, argc_stored);
  argv_ienc = vector;
  argc_stored = argc;
  return 1;
}

int qx_argc() { return argc_stored; }
const char *const *qx_argv_ienc() { return argv_ienc; }

const char *qx_boot_path_ienc() { return boot_path; }

int qx_set_boot_path(const char *path)
{
  char *copy = nullptr;
  if (path != nullptr && (copy = QX_strdup(path)) == nullptr) return 0;
  QX_free(boot_path);
  boot_path = copy;
  return 1;
}

char *librarypath_ienc(const char *rel)
{
  if (boot_path == nullptr || rel == nullptr) return nullptr;
  size_t boot = std::strlen(boot_path), length = std::strlen(rel);
  bool slash = boot > 0 && boot_path[boot - 1] == '/';
  char *joined = (char *)QX_malloc(boot + 4 + length + 1);
  if (joined == nullptr) return nullptr;
  std::memcpy(joined, boot_path, boot);
  std::memcpy(joined + boot, slash ? "../" : "/../", slash ? 3 : 4);
  std::memcpy(joined + boot + (slash ? 3 : 4), rel, length + 1);
  int options = length > 0 && rel[length - 1] == '/' ? QX_EXPAND_DIRECTORY : 0;
  char *expanded = qx_expand_file_name_internal(joined, nullptr, options);
  QX_free(joined);
  return expanded;
}

void qx_free_start_data()
{
  free_vector(argv_ienc, argc_stored);
  argv_ienc = nullptr;
  argc_stored = 0;
  QX_free(boot_path);
  boot_path = nullptr;
}
