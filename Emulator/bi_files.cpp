/* File operation built-ins: they take names the Prolog side has made absolute and report the
 * I/O library's error code in a Result argument instead of raising, so that the Prolog side
 * decides between failing and raising.
 *
 *   $file_property(+File, +Which, -Value, -Result)   $rename_file(+Old, +New, +Options, -Result)
 *   $delete_file(+File, +Options, -Result)           $list_directory(+Dir, +Options, -Names, -Result)
 *   $create_directory(+Dir, +Options, -Result)       $test_file_access(+File, +Mode, -Result, -Class)
 *   $file_type(+File, ?Type, ?Name)
 */
#include <cstring>
#include <string>
#include <vector>

#include "atoms.h"
#include "builtins.h"
#include "filenames.h"
#include "memman.h"
#include "numbers.h"
#include "objareas.h"
#include "orvalis.h"
#include "qxio.h"
#include "streams.h"
#include "system.h"
#include "unify.h"

int qx_test_file_access(const char *path, uint32_t mode)
{
  if (url_object_ *url = create_url_object(path)) {
    url_object_free(url);
    if (mode & QXIO_ACCESS_DIRECTORY) return QXIO_E_FILE_NOT_DIRECTORY;
    if (mode & (QXIO_ACCESS_WRITE | QXIO_ACCESS_CREATE)) return QXIO_E_FILE_ACCESS;
    return 0;
  }
  int rc = qx_file_name_check(path);
  return rc < 0 ? rc : qxio_test_file_access(path, mode);
}

bool is_readable_file_ienc(const char *path)
{
  return qx_test_file_access(path, QXIO_ACCESS_READ | QXIO_ACCESS_REGULAR) >= 0;
}
bool is_file_ienc(const char *path) { return qx_test_file_access(path, QXIO_ACCESS_REGULAR) >= 0; }
bool is_dir_ienc(const char *path) { return qx_test_file_access(path, QXIO_ACCESS_DIRECTORY) >= 0; }

namespace {

/* The name argument checked for the library: null and *rc set when it is no usable name. */
const char *file_arg(TAGGED t, int *rc)
{
  const char *name = qx_atom_arg(t);
  *rc = name ? qx_file_name_check(name) : QXIO_E_PARAMETER_ERROR;
  return *rc < 0 ? nullptr : name;
}

/* A non-negative integer option word, or -1. */
int64_t options_arg(TAGGED t)
{
  int64_t v;
  return qx_get_int64(deref(t), &v) && v >= 0 && v <= UINT32_MAX ? v : -1;
}

int unify_result(worker *w, int index, int rc) { return cunify(w, w->term[index], MakeSmall(rc)); }

/* ---- $file_property/4 ---- */

struct selector {
  uint32_t bit, stat_options;
};
const selector selectors[] = {
    {16, QXIO_STAT_ACCESS},  {32, QXIO_STAT_MODE},    {64, QXIO_STAT_TIMES},
    {128, QXIO_STAT_TIMES},  {256, QXIO_STAT_SIZE},   {512, QXIO_STAT_OWNER},
    {1024, QXIO_STAT_OWNER}, {2048, QXIO_STAT_GROUP}, {4096, QXIO_STAT_GROUP},
};

/* The access bits of selector 16: read 1, write 2, execute 4, search 8. */
int32_t access_value(uint32_t mode)
{
  return (mode & QXIO_MODE_USER_READ ? 1 : 0) | (mode & QXIO_MODE_USER_WRITE ? 2 : 0) |
         (mode & QXIO_MODE_USER_EXECUTE ? 4 : 0) | (mode & QXIO_MODE_USER_SEARCH ? 8 : 0);
}

/* A name from the user or group database as an atom; 0 when there is none. */
TAGGED id_name_atom(uint32_t id, bool user)
{
  char *name = nullptr;
  int rc = user ? qxio_user_id_name(id, &name, 0) : qxio_group_id_name(id, &name, 0);
  TAGGED a = rc >= 0 && name ? init_atom_check(name, 0) : 0;
  qxio_free(name);
  return a;
}

/* The Value term of a selector; 0 when it cannot be built (the name lookups). */
TAGGED property_value(worker *w, uint32_t bit, const qxio_t_stat &st, int *rc)
{
  switch (bit) {
  case 16: return MakeSmall(access_value(st.mode));
  case 32: return MakeSmall((int32_t)((st.mode & 0xFFF) << 4));
  case 64: {
    TAGGED m = make_int64(w, st.modify_time), a = make_int64(w, st.access_time),
           c = make_int64(w, st.create_time);
    TAGGED *cells = w->global_top;
    cells[0] = MakeFunctor(init_atom_check("times", 0), 3);
    cells[1] = m, cells[2] = a, cells[3] = c;
    w->global_top += 4;
    return MakeStr(cells);
  }
  case 128: return make_int64(w, st.modify_time);
  case 256: return make_int64(w, (int64_t)st.size);
  case 512: return make_int64(w, st.owner);
  case 2048: return make_int64(w, st.group);
  default: {
    TAGGED a = id_name_atom(bit == 1024 ? st.owner : st.group, bit == 1024);
    if (!a) *rc = QXIO_E_NOT_FOUND;
    return a;
  }
  }
}

int prolog_file_property(worker *w)
{
  int rc;
  const char *file = file_arg(w->term[0], &rc);
  int64_t which = options_arg(w->term[1]);
  const selector *chosen = nullptr;
  for (const selector &s : selectors)
    if (which >= 0 && (which & s.bit)) {
      chosen = &s;
      break;
    }
  if (file == nullptr || chosen == nullptr)
    return unify_result(w, 3, file ? QXIO_E_PARAMETER_ERROR : rc);
  uint32_t options = chosen->stat_options | (which & 1 ? QXIO_STAT_MUST_BE_DIRECTORY : 0) |
                     (which & 2 ? QXIO_STAT_MUST_NOT_BE_DIRECTORY : 0);
  qxio_t_stat st;
  std::memset(&st, 0, sizeof st);
  rc = qxio_stat(file, &st, options);
  qxio_stat_deinit(&st);
  if (rc < 0) return unify_result(w, 3, rc);
  call_overflow(w, 32, 4);
  TAGGED value = property_value(w, chosen->bit, st, &rc);
  if (!value) return unify_result(w, 3, rc);
  return cunify(w, w->term[2], value) && unify_result(w, 3, 0);
}

/* ---- rename, delete, create ---- */

int prolog_rename_file(worker *w)
{
  int rc;
  const char *old_name = file_arg(w->term[0], &rc);
  const char *new_name = old_name ? file_arg(w->term[1], &rc) : nullptr;
  if (new_name && options_arg(w->term[2]) < 0) rc = QXIO_E_PARAMETER_ERROR;
  if (rc >= 0) rc = qxio_rename_file(old_name, new_name, 0);
  return unify_result(w, 3, rc);
}

int prolog_delete_file(worker *w)
{
  int rc;
  const char *file = file_arg(w->term[0], &rc);
  int64_t options = options_arg(w->term[1]);
  if (file && options < 0) rc = QXIO_E_PARAMETER_ERROR;
  if (rc >= 0) {
    uint32_t library = (options & 1 ? QXIO_DELETE_DIRECTORY : 0) | (options & 2 ? 2u : 0u) |
                       (options & 16 ? QXIO_DELETE_RECURSIVE : 0);
    rc = qxio_delete_file(file, library);
  }
  if (rc < 0 && rc != QXIO_E_PARAMETER_ERROR && options >= 0 && (options & 2)) rc = 1;
  return unify_result(w, 2, rc);
}

int prolog_create_directory(worker *w)
{
  int rc;
  const char *dir = file_arg(w->term[0], &rc);
  if (dir && options_arg(w->term[1]) < 0) rc = QXIO_E_PARAMETER_ERROR;
  if (rc >= 0) rc = qxio_create_directory(dir, 0);
  return unify_result(w, 2, rc);
}

/* ---- $list_directory/4 ---- */

/* The entries of dir other than "." and "..", as atoms in reading order, or an error code. */
int read_entries(const char *dir, uint32_t options, std::vector<TAGGED> *names)
{
  qxio_t_dir *handle = nullptr;
  int rc = qxio_open_directory(dir, &handle, options);
  if (rc < 0) return rc;
  for (;;) {
    qxio_t_dirent *entry = nullptr;
    rc = qxio_read_directory(handle, &entry, 0);
    if (rc < 0) break;
    const char *name = nullptr;
    rc = qxio_dirent_name(entry, &name);
    if (rc == QXIO_E_INVALID_NAME) continue;
    if (rc < 0) break;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    TAGGED a = init_atom_check(name, 0);
    if (!a) {
      rc = QXIO_E_INTERNAL_ERROR;
      break;
    }
    names->push_back(a);
  }
  qxio_close_directory(handle);
  return rc == QXIO_E_NO_MORE_ENTRIES ? 0 : rc;
}

int prolog_list_directory(worker *w)
{
  int rc;
  const char *dir = file_arg(w->term[0], &rc);
  int64_t options = options_arg(w->term[1]);
  if (dir && options < 0) rc = QXIO_E_PARAMETER_ERROR;
  std::vector<TAGGED> names;
  if (rc >= 0) rc = read_entries(dir, (uint32_t)(options & 3) | 4, &names);
  if (rc < 0) return unify_result(w, 3, rc);
  return qx_unify_atom_list(w, 2, names, 4) && unify_result(w, 3, 0);
}

/* ---- $test_file_access/4 ---- */

int access_class(int rc)
{
  switch (rc) {
  case 0: return 0;
  case QXIO_E_FILE_NOT_FOUND: return -2;
  case QXIO_E_FILE_ACCESS:
  case QXIO_E_FILE_IS_DIRECTORY:
  case QXIO_E_FILE_NOT_DIRECTORY:
  case QXIO_E_PERMISSION_ERROR: return -3;
  case QXIO_E_INVALID_NAME:
  case QXIO_E_PARAMETER_ERROR: return -4;
  default: return -10;
  }
}

int prolog_test_file_access(worker *w)
{
  const char *file = qx_atom_arg(w->term[0]);
  int64_t mode = options_arg(w->term[1]);
  int rc = file && mode >= 0 ? qx_test_file_access(file, (uint32_t)(mode & 127))
                             : QXIO_E_PARAMETER_ERROR;
  if (rc > 0) rc = 0;
  return unify_result(w, 2, rc) && unify_result(w, 3, access_class(rc));
}

/* ---- $file_type/3 ---- */

constexpr char OBJECT_MAGIC[] = "orvalis-";

/* object, ql or source from the first bytes of an open binary stream. */
const char *sniff_type(QX_stream *s)
{
  int first = qx_get_byte_helper(s, 0);
  if (first == '#') return "object";
  if (first == 'A') return "ql";
  if (first != OBJECT_MAGIC[0]) return "source";
  for (int i = 1; i < 8; i++)
    if (qx_get_byte_helper(s, 0) != OBJECT_MAGIC[i]) return "source";
  return "object";
}

/* File with its suffix replaced by ".pl" (appended when it has none). */
std::string source_name(const char *file)
{
  const char *suffix = qx_path_suffix(file);
  std::string name(file, suffix ? (size_t)(suffix - file) : std::strlen(file));
  return name + ".pl";
}

int prolog_file_type(worker *w)
{
  const char *file = qx_atom_arg(w->term[0]);
  QX_stream *s = nullptr;
  if (file == nullptr || QX_fopen(file, nullptr, QX_FO_READ | QX_FO_BINARY, &s) < 0) return 0;
  const char *type = sniff_type(s);
  QX_fclose(s, 0);
  bool source = std::strcmp(type, "source") == 0;
  return qx_unify_atom_text(w, w->term[1], type) &&
         qx_unify_atom_text(w, w->term[2], source ? file : source_name(file).c_str());
}

}  // namespace

const qx_pred_row qx_bi_files_rows[] = {
    {"$file_property", prolog_file_property, 4, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$rename_file", prolog_rename_file, 4, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$delete_file", prolog_delete_file, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$list_directory", prolog_list_directory, 4, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$create_directory", prolog_create_directory, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$test_file_access", prolog_test_file_access, 4, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$file_type", prolog_file_type, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
