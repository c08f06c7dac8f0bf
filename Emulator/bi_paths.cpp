/* Built-ins of file names, the current directory, the argument vector and the process exit.
 *
 *   $absolute_path(+Name, +RelTo, +Options, -Abs)   $directory_path(+Path, -Dir)
 *   $split_env_path(+Var, -Dirs, -Result)           $orvalis_path(+Rel, ?Abs)
 *   $unix_cd(?Old, +New)                            $set_current_dir_options(?Old, +New)
 *   $argv(-Args)   $set_argv(+Args)                 $unix_exit(+Code)
 */
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "atoms.h"
#include "builtins.h"
#include "errors.h"
#include "filenames.h"
#include "memman.h"
#include "numbers.h"
#include "objareas.h"
#include "orvalis.h"
#include "qxio.h"
#include "start_data.h"
#include "streams.h"
#include "system.h"
#include "termops.h"
#include "unify.h"

/* ---- shared argument helpers ---- */

const char *qx_atom_arg(TAGGED t)
{
  t = deref(t);
  return IsAtom(t) ? atom_name(t) : nullptr;
}

bool qx_int32_arg(TAGGED t, int32_t *value)
{
  int64_t v;
  if (!qx_get_int64(deref(t), &v) || v < INT32_MIN || v > INT32_MAX) return false;
  *value = (int32_t)v;
  return true;
}

bool qx_unify_atom_text(worker *w, TAGGED t, const char *text)
{
  TAGGED a = text ? init_atom_check(text, 0) : 0;
  return a && cunify(w, t, a);
}

void qx_flush_user_output()
{
  /* A flush ends with a sync that waits until the write worker has written every byte. */
  if (qx_eg.stream_user_output) qx_flush_output(qx_eg.stream_user_output, 0);
  if (qx_eg.stream_user_error && qx_eg.stream_user_error != qx_eg.stream_user_output)
    qx_flush_output(qx_eg.stream_user_error, 0);
}

void qx_exit_keeping_output(int code)
{
  qx_flush_user_output();
  _exit(code);
}

bool qx_unify_atom_list(worker *w, int reg, const std::vector<TAGGED> &atoms, int live)
{
  call_overflow(w, (uint32_t)(2 * atoms.size() + 2), live);
  TAGGED list = atom_nil;
  for (TAGGED a : atoms) {
    TAGGED *pair = w->global_top;
    pair[0] = a;
    pair[1] = list;
    w->global_top += 2;
    list = MakeLst(pair);
  }
  return cunify(w, w->term[reg], list);
}

namespace {

/* An atom, or a proper list of atoms joined with "/"; false for anything else. */
bool path_text(TAGGED t, std::string *text)
{
  t = deref(t);
  if (IsAtom(t)) {
    *text = atom_name(t);
    return true;
  }
  if (list_length(t) < 0) return false;
  text->clear();
  for (; IsLst(t); t = deref(LstTail(t))) {
    TAGGED item = deref(LstHead(t));
    if (!IsAtom(item)) return false;
    if (!text->empty()) *text += '/';
    *text += atom_name(item);
  }
  return true;
}

/* The base directory of $absolute_path/4: RelTo expanded (accepting the root); when it names an
 * existing file that is no directory, its parent directory. Null for none, and *failed when
 * RelTo cannot be used. */
char *relative_base(const char *rel_to, bool *failed)
{
  *failed = false;
  if (rel_to[0] == '\0' || std::strcmp(rel_to, ".") == 0) return nullptr;
  char *base = qx_expand_file_name_internal(rel_to, nullptr, QX_EXPAND_ROOT_OK);
  if (base == nullptr) {
    *failed = true;
    return nullptr;
  }
  qxio_t_stat status;
  if (qx_file_name_check(base) >= 0 && qxio_stat(base, &status, QXIO_STAT_TYPE) >= 0 &&
      status.type != 1) {
    char *parent = qx_dirname(base);
    QX_free(base);
    *failed = parent == nullptr;
    return parent;
  }
  return base;
}

char *absolute_path(TAGGED name_term, TAGGED rel_to_term, TAGGED options_term)
{
  std::string name;
  const char *rel_to = qx_atom_arg(rel_to_term);
  int32_t options;
  if (!path_text(name_term, &name) || rel_to == nullptr || !qx_int32_arg(options_term, &options))
    return nullptr;
  if (url_object_ *url = create_url_object(name.c_str())) {
    url_object_free(url);
    return QX_strdup(name.c_str());
  }
  bool failed;
  char *base = relative_base(rel_to, &failed);
  if (failed) return nullptr;
  int expand = (options & 1 ? QX_EXPAND_DIRECTORY : 0) | (options & 2 ? QX_EXPAND_ROOT_OK : 0);
  char *result = qx_expand_file_name_internal(name.c_str(), base, expand);
  QX_free(base);
  return result;
}

/* Unifies t with the atom of a text of our own (freed here); false for a null text. */
bool unify_taking(worker *w, TAGGED t, char *text)
{
  bool ok = text && qx_unify_atom_text(w, t, text);
  QX_free(text);
  return ok;
}

int prolog_absolute_path(worker *w)
{
  char *result = absolute_path(w->term[0], w->term[1], w->term[2]);
  return unify_taking(w, w->term[3], result ? result : QX_strdup(""));
}

int prolog_directory_path(worker *w)
{
  const char *path = qx_atom_arg(w->term[0]);
  return unify_taking(w, w->term[1], path ? qx_dirname(path) : nullptr);
}

int prolog_split_env_path(worker *w)
{
  const char *var = qx_atom_arg(w->term[0]);
  if (var == nullptr)
    return cunify(w, w->term[1], atom_nil) &&
           cunify(w, w->term[2], MakeSmall(QXIO_E_PARAMETER_ERROR));
  char *value = qx_getenv_internal(var, nullptr, nullptr, 1);
  std::vector<TAGGED> dirs;
  for (const char *entry = value; entry && *entry;) {
    size_t length = std::strcspn(entry, ":");
    if (length > 0) {
      std::string text(entry, length);
      char *dir = qx_expand_file_name_internal(text.c_str(), nullptr,
                                               QX_EXPAND_DIRECTORY | QX_EXPAND_NO_VARIABLES);
      TAGGED a = dir ? init_atom_check(dir, 0) : 0;
      QX_free(dir);
      if (a) dirs.push_back(a);
    }
    entry += length;
    if (*entry == ':') entry++;
  }
  QX_free(value);
  return qx_unify_atom_list(w, 1, dirs, 3) && cunify(w, w->term[2], MakeSmall(0));
}

int prolog_orvalis_path(worker *w)
{
  const char *rel = qx_atom_arg(w->term[0]);
  return unify_taking(w, w->term[1], rel ? librarypath_ienc(rel) : nullptr);
}

int prolog_unix_cd(worker *w)
{
  const char *cwd = qx_cwd_ienc();
  if (cwd == nullptr || !qx_unify_atom_text(w, w->term[0], cwd)) return 0;
  const char *dir = qx_atom_arg(w->term[1]);
  if (dir == nullptr) return 0;
  return std::strcmp(dir, cwd) == 0 || QX_set_current_dir(dir) >= 0;
}

int prolog_set_current_dir_options(worker *w)
{
  call_overflow(w, 4, 2);
  if (!cunify(w, w->term[0], make_int64(w, qx_set_current_dir_default_options))) return 0;
  int64_t options;
  if (!qx_get_int64(deref(w->term[1]), &options) || options < 0 || options > UINT32_MAX) return 0;
  qx_set_current_dir_default_options = (uint32_t)options;
  return 1;
}

int prolog_argv(worker *w)
{
  std::vector<TAGGED> atoms;
  const char *const *argv = qx_argv_ienc();
  for (int i = qx_argc(); i-- > 0;) {
    TAGGED a = init_atom_check(argv[i], 0);
    if (!a) {
      save_error(1539, "prolog_flag", atom_nil);
      return raise_error_goal(0, 0);
    }
    atoms.push_back(a);
  }
  return qx_unify_atom_list(w, 0, atoms, 1);
}

int prolog_set_argv(worker *w)
{
  TAGGED list = deref(w->term[0]);
  long length = list_length(list);
  if (length < 0) return 0;
  std::vector<char *> texts;
  for (; IsLst(list); list = deref(LstTail(list))) {
    const char *text = qx_atom_arg(LstHead(list));
    if (text == nullptr) return 0;
    texts.push_back(const_cast<char *>(text));
  }
  return QX_set_argv((int)texts.size(), texts.data(), 0);
}

int prolog_unix_exit(worker *w)
{
  TAGGED code = deref(w->term[0]);
  if (!IsSmall(code)) return 0;
  qx_exit_keeping_output(GetSmall(code));
}

}  // namespace

const qx_pred_row qx_bi_paths_rows[] = {
    {"$absolute_path", prolog_absolute_path, 4, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$directory_path", prolog_directory_path, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$split_env_path", prolog_split_env_path, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$orvalis_path", prolog_orvalis_path, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$unix_cd", prolog_unix_cd, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$set_current_dir_options", prolog_set_current_dir_options, 2, BUILTIN_DET, QX_MOD_PROLOG,
     nullptr},
    {"$argv", prolog_argv, 1, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$set_argv", prolog_set_argv, 1, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$unix_exit", prolog_unix_exit, 1, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
