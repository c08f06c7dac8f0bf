/* Saving: $save/3, $save_doit/7 and $save_increment/5.
 *
 * A save never harms the state already in the target file: it checks that the target can be
 * written without opening it, writes a temporary file in the same directory (the directory of the
 * file a symbolic link names, with the target's permission bits), and renames that over the
 * target only once the trailer is written, the file closed without error and forced to storage.
 */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "atoms.h"
#include "builtins.h"
#include "database.h"
#include "emulcode.h"
#include "errors.h"
#include "filenames.h"
#include "gc.h"
#include "hashtab.h"
#include "instance.h"
#include "memman.h"
#include "modules.h"
#include "orvalis.h"
#include "saverest.h"
#include "wam.h"

namespace {

/* What a save has written, by key: bit flags in the table's values. */
enum : TAGGED { W_RECORD = 4, W_SAVED = 8, W_CLAUSE = 16 };
/* A save ended by the compiled code of a predicate: info->error_text names it. */
constexpr int kCompiledCode = -200000;

TAGGED key_of(const void *p) { return (TAGGED)(uintptr_t)p; }

bool has(saverest_info *info, TAGGED key, TAGGED bit)
{
  sw_on_key_node *n = incore_gethash(info->hash, key);
  return n->key && (n->value & bit);
}

void mark(saverest_info *info, TAGGED key, TAGGED bit)
{
  sw_on_key_node *n = incore_gethash(info->hash, key);
  if (!n->key) {
    if (expansion_due(info->hash)) expand_sw_on_key(&info->hash);
    n = dyn_puthash(&info->hash, key);
  }
  n->value |= bit;
}

void put_record(saverest_info *info, int32_t tag, uint32_t w1, uint32_t w2 = 0, uint32_t w3 = 0,
                uint32_t w4 = 0, uint32_t w5 = 0, uint32_t w6 = 0)
{
  saverest_record r{tag, w1, w2, w3, w4, w5, w6};
  Fwrite(&r, sizeof r, info);
}

bool has_prefix(const char *name, const std::string &prefix)
{
  return !prefix.empty() && std::strncmp(name, prefix.c_str(), prefix.size()) == 0;
}

/* The atom record of an atom (or of a functor word's name), once; fixed atoms have none. */
void save_atom(saverest_info *info, TAGGED cell)
{
  if (!IsFunctorCell(cell)) return;
  TAGGED a = cell & QX_FUNCTOR_NAME_MASK;
  if (a <= 71 || has(info, a, W_RECORD)) return;
  mark(info, a, W_RECORD);
  const char *name = atom_name(a);
  uint32_t prefix = QX_PREFIX_NONE;
  size_t skip = 0;
  if (has_prefix(name, info->library_path)) {
    prefix = QX_PREFIX_LIBRARY;
    skip = info->library_path.size();
  } else if (has_prefix(name, info->dir_path)) {
    prefix = QX_PREFIX_STATE_DIR;
    skip = info->dir_path.size();
  }
  uint32_t n = (uint32_t)(std::strlen(name) - skip + 1);
  put_record(info, QX_REC_ATOM, a, n, prefix);
  Fwrite(name + skip, n, info);
}

void save_module_record(saverest_info *info, mod_def *m)
{
  if (has(info, key_of(m), W_RECORD)) return;
  save_atom(info, m->name);
  mark(info, key_of(m), W_RECORD);
  put_record(info, QX_REC_MODULE, key_of(m), m->name,
             4 * m->preds->count + 2 * (m->prop & QX_MODULE_HIDDEN));
}

void save_pred_record(saverest_info *info, definition *d)
{
  if (has(info, key_of(d), W_RECORD)) return;
  save_module_record(info, d->module);
  save_atom(info, d->functor);
  mark(info, key_of(d), W_RECORD);
  put_record(info, QX_REC_PREDICATE, key_of(d), key_of(d->module), d->functor);
}

uint32_t property_bits(const definition *d)
{
  const qx_def_props &p = d->properties;
  return p.dynamic | p.block << 1 | p.meta << 2 | p.multifile << 3 | p.hidden << 4 |
         p.volatyle << 5;
}

void save_definition(saverest_info *info, definition *d)
{
  save_pred_record(info, d);
  put_record(info, QX_REC_PROPERTIES, key_of(d), property_bits(d), d->predtyp);
  if (d->properties.meta) {
    std::string spec = IsAtom(d->metainfo) && d->metainfo != atom_nil ? atom_name(d->metainfo) : "";
    spec.resize(d->proc.arity, '?');
    Fwrite(spec.c_str(), d->proc.arity + 1, info);
  }
  if (IsAtom(d->blockinfo) && d->blockinfo != atom_nil) {
    std::string masks = atom_name(d->blockinfo);
    for (size_t at = 0; at <= masks.size();) {
      size_t end = masks.find(';', at);
      if (end == std::string::npos) end = masks.size();
      std::string mask = masks.substr(at, end - at);
      put_record(info, QX_REC_BLOCK, key_of(d), (uint32_t)mask.size() + 1);
      Fwrite(mask.c_str(), (uint32_t)mask.size() + 1, info);
      at = end + 1;
    }
  }
  if (IsAtom(d->filename) && d->filename != atom_nil) {
    save_atom(info, d->filename);
    put_record(info, QX_REC_SOURCE_FILE, key_of(d), d->filename);
  }
}

int save_data_predicate(saverest_info *info, mod_def *m, definition *d, bool force);

bool passes_filter(saverest_info *info, const definition *d, TAGGED file)
{
  if (!d->properties.multifile || !info->filter) return true;
  for (TAGGED f : info->filter_files)
    if (f == file) return true;
  return false;
}

/* Atoms of a stored term get their records; a database reference to an erased clause becomes
 * 0, 0, and one to a live clause not yet saved saves that clause's predicate first. */
int save_term_rel(TAGGED *cell, TAGGED key, saverest_info *info, int kind)
{
  if (kind == QX_REL_ATOM) {
    save_atom(info, key);
    return 0;
  }
  TAGGED a = cell[0], b = cell[1];
  instance *ins = nullptr;
  if (qx_dbref_valid_hook && qx_dbref_valid_hook(a, b))
    ins = (instance *)(uintptr_t)(a & ~(TAGGED)3);
  if (ins && ins->death == QX_CLOCK_ALIVE && !has(info, key_of(ins), W_CLAUSE) && ins->owner) {
    definition *owner = ins->owner;
    bool busy = false;
    for (definition *p : info->in_progress) busy |= p == owner;
    if (!busy && !has(info, key_of(owner), W_SAVED)) {
      int rc = save_data_predicate(info, owner->module, owner, true);
      if (rc < 0) return rc;
    }
  }
  if (!ins || ins->death != QX_CLOCK_ALIVE || !has(info, key_of(ins), W_CLAUSE))
    cell[0] = cell[1] = MakeSmall(0);
  return 0;
}

/* Tags 7 (code size in w3) and 11 (w3 the clause key, code size in w4): the header, then the instance's address and bdd_count, then its term code. */
int save_instance(saverest_info *info, int32_t tag, uint32_t w1, uint32_t w2, uint32_t w3,
                  instance *ins)
{
  uint32_t words = qx_instance_body_words(ins);
  std::vector<TAGGED> body(ins->body, ins->body + words);
  int rc = relocate_body(body.data(), words, save_term_rel, info);
  if (rc < 0) return rc;
  uint32_t c = words * 4;
  if (tag == QX_REC_BLACKBOARD)
    put_record(info, tag, w1, w2, c);
  else
    put_record(info, tag, w1, w2, w3, c);
  TAGGED head[2] = {key_of(ins), ins->bdd_count};
  Fwrite(head, sizeof head, info);
  Fwrite(body.data(), c, info);
  mark(info, key_of(ins), W_CLAUSE);
  return 0;
}

int save_clauses(saverest_info *info, definition *d)
{
  for (instance *ins = d->first_clause; ins; ins = ins->next) {
    if (ins->death != QX_CLOCK_ALIVE || !passes_filter(info, d, ins->extra)) continue;
    TAGGED file = IsAtom(ins->extra) ? ins->extra : atom_nil;
    save_atom(info, ins->key);
    save_atom(info, file);
    int rc = save_instance(info, QX_REC_DYNAMIC_CLAUSE, key_of(d), file,
                           IsFunctorCell(ins->key) ? ins->key : 0, ins);
    if (rc < 0) return rc;
  }
  return 0;
}

int compiled_code_error(saverest_info *info, definition *d)
{
  char text[1024];
  std::snprintf(text, sizeof text, "%s:%s/%u", atom_name(d->module->name),
                atom_name(d->proc.printname), d->proc.arity);
  info->error_text = text;
  return kCompiledCode;
}

int save_data_predicate(saverest_info *info, mod_def *m, definition *d, bool force)
{
  if (d->imported_from) {
    save_pred_record(info, d);
    save_pred_record(info, d->imported_from);
    put_record(info, QX_REC_IMPORT, key_of(d), key_of(d->imported_from->module),
               key_of(d->imported_from));
    return 0;
  }
  if (d->module != m || has(info, key_of(d), W_SAVED)) return 0;
  if (qx_first_compiled_clause(d)) return compiled_code_error(info, d);
  mark(info, key_of(d), W_SAVED);
  info->in_progress.push_back(d);
  int rc = 0;
  if (d->predtyp == FD_CONSTRAINT && qx_fd_saver_hook) {
    save_definition(info, d);
    saverest_record r{QX_REC_FD_PREDICATE, key_of(d), 0, 0, 0, 0, 0};
    if (!qx_fd_saver_hook(qx_fd_hook_cookie, &r, d, Fwrite, info) && !info->write_error)
      info->write_error = QXIO_E_INTERNAL_ERROR;
  } else {
    save_definition(info, d);
    if (d->predtyp == ENTER_INTERPRETED && (!d->properties.volatyle || force))
      rc = save_clauses(info, d);
  }
  info->in_progress.pop_back();
  return rc;
}

template <class T>
std::vector<T *> table_values_reversed(sw_on_key *t)
{
  std::vector<T *> out;
  for (uint32_t i = t ? sw_on_key_slots(t) : 0; i-- > 0;)
    if (t->node[i].key) out.push_back((T *)(uintptr_t)t->node[i].value);
  return out;
}

int save_data_module(saverest_info *info, mod_def *m, int mode)
{
  save_module_record(info, m);
  if (mode > 0) put_record(info, QX_REC_ATTRIBUTE, key_of(m), m->attr_no != 0);
  bool prolog = m == qx_eg.prolog_module;
  if ((IsAtom(m->filename) && m->filename != atom_nil) || prolog) {
    std::vector<TAGGED> keys;
    for (definition *d = m->public_lst; d && d != (definition *)(intptr_t)-1; d = d->next_public) {
      save_pred_record(info, d);
      keys.push_back(key_of(d));
    }
    save_atom(info, m->filename);
    put_record(info, QX_REC_EXPORTS, key_of(m), m->filename, (uint32_t)keys.size() * 4);
    Fwrite(keys.data(), (uint32_t)keys.size() * 4, info);
  }
  if (mode == 0) return 0;
  for (definition *d : table_values_reversed<definition>(m->preds)) {
    if (prolog && mode != 3 && !(d->properties.dynamic && !d->properties.volatyle)) continue;
    int rc = save_data_predicate(info, m, d, false);
    if (rc < 0) return rc;
  }
  sw_on_key *bb = (sw_on_key *)(uintptr_t)m->bb;
  for (uint32_t i = bb ? sw_on_key_slots(bb) : 0; i-- > 0;) {
    if (!bb->node[i].key) continue;
    TAGGED key = bb->node[i].key;
    save_atom(info, key);
    int rc = save_instance(info, QX_REC_BLACKBOARD, key_of(m), key, 0,
                           (instance *)(uintptr_t)bb->node[i].value);
    if (rc < 0) return rc;
  }
  return 0;
}

void save_flags(saverest_info *info)
{
  TAGGED words[QX_STATE_FLAG_WORDS];
  qx_get_state_flags(words);
  for (int i = 0; i < QX_STATE_FLAG_WORDS; i++)
    if (i != 4 && i != 6 && IsAtom(words[i])) save_atom(info, words[i]); /* 5 and 7 are raw */
  put_record(info, QX_REC_FLAGS, 0);
  Fwrite(words, sizeof words, info);
}

/* The target can be written: an existing one without opening it, else its directory. *mode is
 * the existing target's permission bits, else 0. */
int check_writable(const std::string &target, mode_t *mode)
{
  struct stat st;
  *mode = 0;
  if (stat(target.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode) || access(target.c_str(), W_OK) != 0) return QXIO_E_PERMISSION_ERROR;
    *mode = st.st_mode & 07777;
  } else if (errno != ENOENT) {
    return QXIO_E_PERMISSION_ERROR;
  }
  std::string dir = qx_directory_of(target);
  if (access(dir.empty() ? "." : dir.c_str(), W_OK | X_OK) != 0)
    return errno == ENOENT ? QXIO_E_FILE_NOT_FOUND : QXIO_E_PERMISSION_ERROR;
  return 0;
}

/* The file a save replaces: the target, or where its chain of symbolic links ends (a link to a
 * file not yet there names the file to make), so that a link stays a link. A chain too long is
 * left as it is: the check of the target then refuses it. */
std::string resolved_target(std::string path)
{
  for (int hops = 0; hops < 40; hops++) {
    struct stat st;
    char link[PATH_MAX];
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
    ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
    if (n < 0) break;
    link[n] = 0;
    path = link[0] == '/' ? std::string(link) : qx_directory_of(path) + link;
  }
  return path;
}

std::vector<mod_def *> modules_of(TAGGED list)
{
  std::vector<mod_def *> out;
  for (TAGGED l = deref(list); IsLst(l); l = deref(LstTail(l))) {
    TAGGED name = deref(LstHead(l));
    if (IsAtom(name)) out.push_back(find_module(name, 1));
  }
  return out;
}

int write_records(saverest_info *info, uint32_t kind, TAGGED a, TAGGED b, TAGGED preds)
{
  int rc = 0;
  if (kind != QX_SAVE_SELECTED) {
    int mode = kind == QX_SAVE_ALL ? 3 : 2;
    mod_def *prolog = qx_eg.prolog_module;
    std::vector<mod_def *> modules = table_values_reversed<mod_def>(qx_eg.modules);
    if (kind == QX_SAVE_ALL) rc = save_data_module(info, prolog, 3);
    for (mod_def *m : modules)
      if (rc == 0 && (m != prolog || kind != QX_SAVE_ALL)) rc = save_data_module(info, m, mode);
    if (rc == 0) save_flags(info);
  } else {
    std::vector<mod_def *> la = modules_of(a), lb = modules_of(b);
    for (auto *list : {&la, &lb})
      for (mod_def *m : *list) {
        save_module_record(info, m);
        put_record(info, QX_REC_RESET_MODULE, key_of(m));
      }
    for (mod_def *m : la)
      if (rc == 0) rc = save_data_module(info, m, 1);
    for (mod_def *m : lb)
      if (rc == 0) rc = save_data_module(info, m, 0);
    qx_gc_root keep(&preds); /* the filter is copied to the heap: a collection may come */
    qx_find_file_filter(info);
    for (TAGGED l = deref(preds); rc == 0 && IsLst(l); l = deref(LstTail(l))) {
      definition *d = parse_definition(LstHead(l), qx_eg.user_module);
      if (d && d->module != qx_eg.prolog_module)
        rc = save_data_predicate(info, d->module, d, false);
    }
  }
  if (rc == 0) put_record(info, QX_REC_END, 1, 1);
  return rc;
}

unsigned temp_counter;

/* Creates the temporary file in the directory of `real`, exclusively: ".qxsave<pid>_<n>", with n
 * counting on past names that exist (left by a process of the same pid that died), and gives it
 * `mode` unless 0. The name is short, not derived from the target's, so that it fits wherever a
 * target name of the longest length the file system takes fits. */
int open_temp(saverest_info *info, const std::string &real, mode_t mode)
{
  const uint32_t options = QX_FO_WRITE | QX_FO_BINARY | QX_FO_NO_EXPAND | QX_FO_EXCLUSIVE;
  const std::string dir = qx_directory_of(real);
  int rc = QXIO_E_FILE_EXISTS;
  for (int tries = 0; rc == QXIO_E_FILE_EXISTS && tries < 1000; tries++) {
    info->temp = dir + ".qxsave" + std::to_string(getpid()) + "_" + std::to_string(++temp_counter);
    rc = QX_fopen(info->temp.c_str(), nullptr, options, &info->stream);
  }
  if (rc < 0) {
    info->stream = nullptr;
    /* an open that failed after making the file leaves it to us; one that met a file of
     * that name made nothing */
    if (rc == QXIO_E_FILE_EXISTS) info->temp.clear();
    return rc;
  }
  if (mode && chmod(info->temp.c_str(), mode) != 0)
    return qxio_map_unix_error(errno, QXIO_E_PERMISSION_ERROR);
  return 0;
}

/* Renames the temporary file, already forced to storage, over `real` and forces the directory
 * too, so that a crash leaves under the name either the old state or the new one, whole. The
 * directory's sync is not checked: some file systems cannot sync a directory. */
int put_in_place(saverest_info *info, const std::string &real)
{
  if (rename(info->temp.c_str(), real.c_str()) != 0) return QXIO_E_PERMISSION_ERROR;
  std::string dir = qx_directory_of(real);
  int dir_fd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    fsync(dir_fd);
    close(dir_fd);
  }
  return 0;
}

}  // namespace

void save_deinit(saverest_info *info, int failed)
{
  if (!info) return;
  if (info->stream) QX_fclose(info->stream, QX_FC_FORCE);
  info->stream = nullptr;
  if (failed && !info->temp.empty()) unlink(info->temp.c_str());
  if (info->hash) dispose_switch_on_key(info->hash);
  if (info->filename) QX_unregister_atom(info->filename);
  delete info;
}

namespace {

/* Raises a save's failure: the recorded error with the file as culprit. */
int save_failed(saverest_info *info, int code, TAGGED file, TAGGED culprit, int argument)
{
  if (code == kCompiledCode) {
    TAGGED what = init_atom_check(info->error_text.c_str(), 0);
    save_deinit(info, 1);
    save_error(QX_ERR_PERMISSION, "save compiled_procedure", what);
  } else {
    save_deinit(info, 1);
    save_qxio_error(code, true, file);
  }
  return raise_error_goal(culprit, argument);
}

/* Whether some predicate is defined by indexicals: its records need the solver's saver. */
bool has_fd_predicates()
{
  bool found = false;
  qx_for_each_module([&](mod_def *m) {
    qx_for_each_definition(m, [&](definition *d) { found |= d->predtyp == FD_CONSTRAINT; });
  });
  return found;
}

/* Writes the state to a temporary file and renames it over the target; 0 or the error. lists
 * holds the module lists A and B and the predicate list, kept where a collection finds them. */
int save_to(saverest_info *info, TAGGED file, uint32_t kind, const TAGGED *lists)
{
  info->filename = file;
  QX_register_atom(file);
  std::string real = resolved_target(info->target);
  mode_t mode;
  int rc = check_writable(real, &mode);
  if (rc < 0) return rc;
  info->dir_path = qx_directory_of(info->target);
  info->library_path = qx_library_path();
  rc = open_temp(info, real, mode);
  if (rc < 0) return rc;
  info->hash = new_switch_on_key(256);
  info->savemask = info->restoremask = get_archmask(kind);
  info->written = 0;
  std::vector<std::string> resources;
  if (!qx_loaded_resource_names(resources)) return QXIO_E_INTERNAL_ERROR;
  qx_write_state_header(info, resources);
  /* An FD-defined predicate needs the solver's saver: it is loaded before the records are
   * written, since loading runs a query, which may collect. */
  if (!qx_fd_saver_hook && has_fd_predicates()) {
    rc = load_clpfd_resource();
    if (rc < 0) return rc;
    info->fd_saver = (void *)qx_fd_saver_hook;
  }
  rc = write_records(info, kind, lists[0], lists[1], lists[2]);
  if (rc < 0) return rc;
  qx_write_state_trailer(info, info->written);
  /* Forced to storage through the descriptor that wrote it (a flush of a file stream syncs its
   * device): the file already has the target's mode, which may not let it be opened again. */
  int synced = QX_flush_output(info->stream, 0);
  int closed = QX_fclose(info->stream, 0);
  info->stream = nullptr;
  rc = info->write_error ? info->write_error : synced < 0 ? synced : closed < 0 ? closed : 0;
  return rc < 0 ? rc : put_in_place(info, real);
}

int save_doit(TAGGED file, TAGGED selector, TAGGED a, TAGGED b, TAGGED preds, int argument,
              TAGGED culprit)
{
  qx_gc_root keep_culprit(&culprit); /* writing the records may collect */
  TAGGED lists[3] = {a, b, preds};   /* and loading the solver for them may */
  qx_gc_root keep_lists(lists, 3);
  file = deref(file);
  selector = deref(selector);
  if (!IsSmall(selector) || GetSmall(selector) < 0 || GetSmall(selector) > 2)
    return save_failed(nullptr, QXIO_E_INTERNAL_ERROR, file, culprit, argument);
  if (!IsAtom(file)) return save_failed(nullptr, QXIO_E_PARAMETER_ERROR, file, culprit, argument);
  static const uint32_t kinds[] = {QX_SAVE_ALL_BUT_PROLOG, QX_SAVE_ALL, QX_SAVE_SELECTED};
  uint32_t kind = kinds[GetSmall(selector)];
  char *expanded = qx_expand_file_name(atom_name(file), nullptr, 0);
  if (!expanded) return save_failed(nullptr, QXIO_E_PARAMETER_ERROR, file, culprit, argument);
  auto *info = new saverest_info;
  info->target = expanded;
  QX_free(expanded);
  int rc;
  try {
    rc = save_to(info, file, kind, lists);
  } catch (...) {
    save_deinit(info, 1); /* a fault: the partial file goes, the fault goes on */
    throw;
  }
  if (info->fd_saver) unload_clpfd_resource(); /* this save loaded the solver */
  if (rc < 0) return save_failed(info, rc, file, culprit, argument);
  save_deinit(info, 0);
  return 1;
}

/* $save_doit(File, Kind, ModulesA, ModulesB, Predicates, ArgNo, Culprit) */
int prolog_save_doit(worker *w)
{
  TAGGED argno = deref(w->term[5]);
  return save_doit(w->term[0], w->term[1], w->term[2], w->term[3], w->term[4],
                   IsSmall(argno) ? GetSmall(argno) : 0, w->term[6]);
}

/* $save(File, Mode, Culprit): Mode 0 saves all but the system module's code, else everything. */
int prolog_save(worker *w)
{
  TAGGED mode = deref(w->term[1]);
  return save_doit(w->term[0], MakeSmall(mode == MakeSmall(0) ? 0 : 1), atom_nil, atom_nil,
                   atom_nil, 1, w->term[2]);
}

/* $save_increment(ModulesA, ModulesB, Predicates, File, Culprit) */
int prolog_save_increment(worker *w)
{
  return save_doit(w->term[3], MakeSmall(2), w->term[0], w->term[1], w->term[2], 2, w->term[4]);
}

}  // namespace

const qx_pred_row qx_saverest_save_rows[] = {
    {"$save", prolog_save, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$save_doit", prolog_save_doit, 7, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$save_increment", prolog_save_increment, 5, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};

bool qx_loaded_resource_names(std::vector<std::string> &names)
{
  QX_pred_ref pred = QX_predicate("loaded_resource", 1, "prolog");
  if (!pred) return true;
  disable_events();
  QX_term_ref mark = QX_new_term_ref();
  bool text = mark != 0 && QX_put_variable(mark);
  QX_query_ref query = text ? QX_open_query(pred, mark) : 0;
  while (text && query && QX_next_solution(query) == 1) {
    const char *name;
    if (QX_get_string(mark, &name))
      names.emplace_back(name);
    else
      text = false;
  }
  if (query) QX_close_query(query);
  if (mark) QX_reset_term_refs(mark);
  enable_events();
  return text;
}
