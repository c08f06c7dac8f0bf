/* Engine start-up and shutdown.
 *
 * qx_glue_initialize builds the engine in a fixed order (I/O library, memory manager, start
 * options, one-time state, paths, worker) and, when asked, restores the boot file; the engine
 * counts as initialised only after a successful restore or quick load. QX_deinitialize takes it
 * down again in the reverse order so that a later qx_glue_initialize starts from scratch. The
 * saved-state reader and the quick-load reader are Prolog built-ins found by name at run time:
 * without them a boot restore fails with the boot-file error. */
#include "startup.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "atoms.h"
#include "builtins.h"
#include "database.h"
#include "filenames.h"
#include "foreign.h"
#include "gc.h"
#include "memman.h"
#include "modules.h"
#include "numbers.h"
#include "system.h"
#include "qxio.h"
#include "start_data.h"
#include "streams.h"
#include "wam.h"
#include "wcx.h"

namespace {

constexpr const char *EMULATOR_VERSION =
    "Orvalis 4.1.2 (x86-linux-glibc2.7): Wed Apr 28 22:42:37 CEST 2010";
constexpr const char *EMULATOR_DIR = "orvalis-4.1.2";
constexpr const char *RESOURCE_URL = "URL:x-orvalis-resource:/";

/* Engine-wide words outside eglobal. */
int QX_prolog_initialized = 0;
char *failed_bootfile = nullptr;
bool qxio_inited = false;
bool memory_manager_initialized = false;
int dsp_global = 0;

/* The definition records replaced by do_restore: kept alive while the engine runs (a native
 * may still hold one), freed at shutdown. */
definition *replaced_definitions = nullptr;

void set_failed_bootfile(const char *path)
{
  std::free(failed_bootfile);
  failed_bootfile = path ? strdup(path) : nullptr;
}

/* name/arity of module prolog when it is defined; nothing is created. */
definition *defined_prolog_predicate(const char *name, uint32_t arity)
{
  TAGGED atom = init_atom_check(name, 1);
  if (!atom || !qx_eg.prolog_module) return nullptr;
  TAGGED key = arity ? MakeFunctor(atom, arity) : atom;
  definition *d = find_definition(qx_eg.prolog_module, key, nullptr, 0);
  return d && d->predtyp != ENTER_UNDEFINED ? d : nullptr;
}

/* name(args...) on the heap of w. */
TAGGED heap_goal(worker *w, const char *name, std::initializer_list<TAGGED> args)
{
  TAGGED held[4];
  size_t n = 0;
  for (TAGGED a : args) held[n++] = a;
  {
    qx_gc_root keep(held, n); /* making room may collect */
    call_overflow(w, (uint32_t)n + 1, 0);
  }
  TAGGED *p = w->global_top;
  p[0] = MakeFunctor(init_atom_check(name, 0), (uint32_t)n);
  for (size_t i = 0; i < n; i++) p[i + 1] = held[i];
  w->global_top += n + 1;
  return MakeStr(p);
}

TAGGED heap_var(worker *w)
{
  call_overflow(w, 1, 0);
  TAGGED *cell = w->global_top++;
  *cell = MakeRef(cell);
  return *cell;
}

/* Runs a goal in module prolog: 1 or 0; an exception counts as failure and is dropped. */
int run_prolog_goal(worker *w, TAGGED goal)
{
  int rc = qx_call_once(w, goal, qx_eg.prolog_module);
  if (rc < 0) qx_clear_exception();
  return rc == 1;
}

/* Each public definition of module prolog becomes a fresh copy: the list, the module's table,
 * the importers and the clauses point at the copy; the old record stays alive until shutdown. */
void copy_public_definitions()
{
  mod_def *m = qx_eg.prolog_module;
  definition **link = &m->public_lst;
  for (definition *old = *link; old && old != (definition *)(intptr_t)-1; old = *link) {
    definition *copy = (definition *)qx_checkalloc(sizeof(definition), QX_SPACE_PROGRAM);
    std::memcpy(copy, old, sizeof *copy);
    for (definition *importer = copy->importers; importer; importer = importer->next_importer)
      if (importer->imported_from == old) importer->imported_from = copy;
    for (instance *ins = copy->first_clause; ins; ins = ins->next) ins->owner = copy;
    if (sw_on_key_node *n = incore_gethash(m->preds, copy->functor))
      if (n->key == copy->functor) n->value = (TAGGED)(uintptr_t)copy;
    *link = copy;
    link = &copy->next_public;
    /* the retired record keeps no chains of its own */
    old->first_clause = old->last_clause = old->dead_clauses = nullptr;
    old->index = nullptr;
    old->fd_info = nullptr;
    old->importers = nullptr;
    old->next_public = replaced_definitions;
    replaced_definitions = old;
  }
  qx_eg.def_generation++;
}

void free_replaced_definitions()
{
  while (definition *d = replaced_definitions) {
    replaced_definitions = d->next_public;
    qx_checkdealloc(d, sizeof(definition), QX_SPACE_PROGRAM);
  }
}

/* Restores the saved state at path through prolog:'$restore'/2: 1 or 0. */
int do_restore(const char *path)
{
  worker *w = qx_w;
  TAGGED file = init_atom_check(path, 0);
  if (!w || !file || !defined_prolog_predicate("$restore", 2)) return 0;
  if (!run_prolog_goal(w, heap_goal(w, "$restore", {file, atom_nil}))) return 0;
  copy_public_definitions();
  return 1;
}

/* Runs every item of one quick-load file: false when the file cannot be opened or the reader
 * is missing. */
bool qload_file(const char *path)
{
  worker *w = qx_w;
  TAGGED file = init_atom_check(path, 0);
  if (!w || !file || !defined_prolog_predicate("$qread", 3)) return false;
  QX_stream *s = nullptr;
  if (QX_fopen(path, nullptr, 9, &s) < 0 || s == nullptr) return false;
  TAGGED stream = make_integer(w, (int32_t)(intptr_t)s), item = 0;
  /* the goals run below may collect: the stream's number (a box when large), the item and the
   * file's atom are held where the collectors find them */
  qx_gc_root keep_stream(&stream), keep_item(&item), keep_file(&file);
  bool stack =
      defined_prolog_predicate("$push_qlinfo", 0) && defined_prolog_predicate("$pop_qlinfo", 0);
  if (stack) run_prolog_goal(w, init_atom_check("$push_qlinfo", 0));
  for (;;) {
    item = heap_var(w);
    if (!run_prolog_goal(w, heap_goal(w, "$qread", {stream, file, item}))) break;
    item = deref(item);
    if (item == MakeSmall(-1)) break;
    int rc = qx_call_once(w, item, qx_eg.typein_mod ? qx_eg.typein_mod : qx_eg.user_module);
    if (rc < 0) qx_clear_exception();
  }
  if (stack) run_prolog_goal(w, init_atom_check("$pop_qlinfo", 0));
  QX_fclose(s, 0);
  return true;
}

/* After a successful restore or quick load: module user becomes the type-in module and the
 * engine counts as initialised. */
int mark_initialized()
{
  mod_def *user = find_module(init_atom_check("user", 0), 1);
  if (!user) return 0;
  qx_eg.typein_mod = user;
  QX_prolog_initialized = 1;
  return 1;
}

/* ---- paths ---- */

/* path made absolute against the process's working directory; a QX_malloc text or null. */
char *absolute_path(const char *path)
{
  char *cwd = nullptr;
  if (qxio_get_working_directory(&cwd, 0) < 0) cwd = nullptr;
  char *result =
      qx_expand_file_name_internal(path, cwd, QX_EXPAND_NO_VARIABLES | QX_EXPAND_NO_TILDE);
  qxio_free(cwd);
  return result;
}

/* The path up to its last separator (without it); a QX_malloc text. */
char *directory_of(const char *path)
{
  const char *slash = std::strrchr(path, '/');
  size_t length = slash ? (size_t)(slash - path) : 0;
  if (slash == path) length = 1; /* the root keeps its separator */
  char *dir = (char *)QX_malloc(length + 1);
  if (dir) {
    std::memcpy(dir, path, length);
    dir[length] = '\0';
  }
  return dir;
}

/* The program's own path: /proc/self/exe, else the object that defines main. */
char *application_path()
{
  char buffer[4097];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n >= 1 && n <= 4096) {
    buffer[n] = '\0';
    return absolute_path(buffer);
  }
  char *result = nullptr;
  if (void *self = dlopen(nullptr, RTLD_LAZY)) {
    Dl_info info;
    void *main_symbol = dlsym(self, "main");
    if (main_symbol && dladdr(main_symbol, &info) && info.dli_fname && *info.dli_fname)
      result = absolute_path(info.dli_fname);
    dlclose(self);
  }
  return result;
}

/* The path of the object that holds the engine's code. */
char *runtime_path()
{
  Dl_info info;
  if (dladdr((void *)&qx_glue_initialize, &info) && info.dli_fname && *info.dli_fname)
    return absolute_path(info.dli_fname);
  return nullptr;
}

bool set_property(const char *key, const char *value)
{
  return value == nullptr || qxio_set_system_property(key, value, 0) >= 0;
}

bool is_directory(const char *path)
{
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

/* ---- start-up ---- */

/* Takes down what a start built, newest part first: the resources still loaded (their deinit
 * functions stop what they started) and then the engine (deinit_once). Each step copes with a
 * part that was never built, so that what a failed start left goes as well as a running engine.
 * false when output was lost. */
bool take_down_engine()
{
  bool written = deinit_once(qx_w);
  qx_free_start_data();
  free_replaced_definitions();
  deinit_wcx();
  memman_deinit();
  memory_manager_initialized = false;
  if (qxio_inited) {
    qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN);
    qxio_inited = false;
  }
  QX_prolog_initialized = 0;
  return written;
}

/* The steps of qx_glue_initialize after the recovery point: 1, or 0 with the error set. */
int start_engine(int argc, char **argv, const QX_options_ *options,
                 const QX_pre_linkage_fn *pre_linkage, const char *const *pre_map, int kind,
                 int flags)
{
  /* an earlier start that failed or restored nothing, and was not shut down, goes first */
  if (qxio_inited) take_down_engine();
  memory_manager_initialized = false;
  /* the linked-in resources' interfaces are registered by the program before it starts us */
  const qx_foreign_interface *const *interfaces = qx_eg.fli_pre_interfaces;
  std::memset(&qx_eg, 0, sizeof qx_eg);
  qx_eg.fli_pre_interfaces = interfaces;
  (void)qxio_is_in_main_thread(); /* the calling thread becomes the main thread */
  if (!qxio_inited) {
    if (qxio_init(nullptr, nullptr, 0) < 0) return qx_set_errno(QX_ERR_SYSTEM_ERROR), 0;
    qxio_inited = true;
  }
  if (options) {
    if (options->version != QX_OPTIONS_VERSION) return qx_set_errno(QX_ERR_UNKNOWN), 0;
    if (!qx_set_initial_options(options)) return qx_set_errno(QX_ERR_SYSTEM_ERROR), 0;
  }
  qx_apply_data_limit();
  set_memalloc_default();
  if (memman_init() != 0) return qx_set_errno(QX_ERR_MEMORY_INIT), 0;
  memory_manager_initialized = true;
  if (qx_apply_initial_options() < 0) return qx_set_errno(QX_ERR_SYSTEM_ERROR), 0;
  dsp_global = kind;
  const char *boot_file =
      kind == 1 ? (flags & 1 ? "qxds.sav" : "qxds.ql") : (flags & 1 ? "qxrt.sav" : "qxrt.ql");
  qx_set_linked_resources(pre_map, pre_linkage);
  qx_free_start_data();
  if (init_wcx() != 0) return qx_set_errno(QX_ERR_SYSTEM_ERROR), 0;
  if (init_once() != 1) return qx_set_errno(QX_ERR_SYSTEM_ERROR), 0;
  if (set_app_paths() != 0) return qx_set_errno(QX_ERR_SYSTEM_ERROR), 0;
  char *boot = alloc_bootpath(boot_file);
  bool stored = boot && qx_set_boot_path(boot);
  QX_free(boot);
  if (!stored) return qx_set_errno(QX_ERR_SYSTEM_ERROR), 0;
  QX_set_argv(argc, argv, flags & 0x100 ? 0 : 1);
  set_current_worker(create_worker());
  if (char *library = librarypath_ienc("library/")) {
    qxio_set_system_property("QX_LIBRARY_DIR", library, 0);
    QX_free(library);
  }
  if (flags & 1) {
    set_window_title(EMULATOR_VERSION);
    size_t length = std::strlen(qx_boot_path_ienc()) + std::strlen(boot_file) + 1;
    char *path = (char *)QX_malloc(length);
    if (!path) return qx_set_errno(QX_ERR_SYSTEM_ERROR), 0;
    std::snprintf(path, length, "%s%s", qx_boot_path_ienc(), boot_file);
    int restored = qx_qload_or_restore(path, 0);
    if (!restored) set_failed_bootfile(path);
    QX_free(path);
    if (!restored) return qx_set_errno(QX_ERR_BOOTFILE), 0;
    if (!qx_boot_kind_matches(kind)) return qx_set_errno(QX_ERR_BOOTFILE_KIND), 0;
  }
  return 1;
}

}  // namespace

bool qx_boot_kind_matches(int kind)
{
  bool compile_all = defined_prolog_predicate("compile_all", 3) != nullptr;
  bool gather = defined_prolog_predicate("gather_declarations", 3) != nullptr;
  return kind == 0 ? !compile_all : compile_all && gather;
}

/* ---- the data-segment limit ---- */

bool qx_data_limit_wanted(const char *text, rlim_t *limit)
{
  if (text == nullptr) return false;
  /* the word unlimited, the empty text, a malformed or overflowing size and 0: no limit */
  *limit = RLIM_INFINITY;
  size_t bytes = 0;
  if (*text == '\0' || strcasecmp(text, "unlimited") == 0 || str_to_size(text, &bytes) != 0 ||
      bytes == 0)
    return true;
  *limit = (rlim_t)bytes;
  return true;
}

void qx_apply_data_limit(void)
{
  char buffer[256];
  size_t size = sizeof buffer;
  const char *text = qx_getenv_internal("QX_ULIMIT_DATA_SEGMENT_SIZE", buffer, &size, 2);
  rlim_t limit;
  if (!qx_data_limit_wanted(text, &limit)) return;
  struct rlimit rl = {limit, limit};
  (void)setrlimit(RLIMIT_DATA, &rl); /* refused: start-up goes on with the limit as it is */
}

/* ---- paths ---- */

int set_app_paths(void)
{
  char *app = application_path();
  char *rt = runtime_path();
  char *app_dir = app ? directory_of(app) : nullptr;
  char *rt_dir = rt ? directory_of(rt) : nullptr;
  int result = -1;
  if ((app || rt) && set_property("QX_APP_DIR", app_dir ? app_dir : rt_dir) &&
      set_property("QX_APP_PATH", app) && set_property("QX_RT_DIR", rt_dir ? rt_dir : app_dir) &&
      set_property("QX_RT_PATH", rt))
    result = 0;
  QX_free(app);
  QX_free(rt);
  QX_free(app_dir);
  QX_free(rt_dir);
  return result;
}

char *alloc_bootpath(const char *boot_file)
{
  (void)boot_file; /* looked up inside the directory by the caller */
  static const char *const candidates[] = {
      "$QX_APP_DIR/qx-4.1.2/orvalis-4.1.2/",
      "$QX_RT_DIR/orvalis-4.1.2/",
      "$QX_PATH/",
      "$QX_APP_DIR/",
  };
  for (const char *candidate : candidates) {
    char *dir = qx_expand_file_name_internal(candidate, nullptr, QX_EXPAND_DIRECTORY);
    if (dir && is_directory(dir)) {
      size_t length = std::strlen(dir);
      char *boot = (char *)QX_malloc(length + 5);
      if (boot)
        std::snprintf(boot, length + 5, "%s%sbin/", dir,
                      length && dir[length - 1] == '/' ? "" : "/");
      QX_free(dir);
      return boot;
    }
    QX_free(dir);
  }
  return nullptr;
}

/* ---- public entries ---- */

int qx_glue_initialize(int argc, char **argv, const QX_options_ *options,
                       const QX_pre_linkage_fn *pre_linkage, const char *const *pre_map, int kind,
                       int flags)
{
  qx_set_errno(QX_ERR_NONE);
  jmp_buf env;
  volatile int ok = 1;
  if (setjmp(env) != 0) {
    ok = 0;
  } else {
    qx_set_abort_env(&env);
    if (!QX_prolog_initialized) {
      try {
        ok = start_engine(argc, argv, options, pre_linkage, pre_map, kind, flags);
      } catch (const qx_fault &) {
        ok = 0;
      }
    }
  }
  qx_set_initial_options(nullptr);
  qx_set_abort_env(nullptr);
  if (!ok && QX_get_errno() == QX_ERR_NONE) qx_set_errno(QX_ERR_SYSTEM_ERROR);
  return ok;
}

void QX_deinitialize(void)
{
  if (!QX_prolog_initialized) {
    if (qxio_inited) take_down_engine(); /* what a start that failed or restored nothing left */
    return;
  }
  worker *w = qx_w;
  free_stream_event_listeners();
  disable_events();
  qx_run_event(w, 1);
  set_failed_bootfile(nullptr);
  if (definition *d = defined_prolog_predicate("qx_deinitialize", 0)) QX_query_cut_fail(d);
  /* 15 tells the caller that output was lost (deinit_once named the streams on user_error) */
  qx_set_errno(take_down_engine() ? QX_ERR_NONE : QX_ERR_SYSTEM_ERROR);
}

int QX_set_memalloc_hooks(int hint, qx_memhook_init *init, qx_memhook_deinit *deinit,
                          qx_memhook_alloc *alloc, qx_memhook_free *free, void *cookie)
{
  if (qx_memman_set_hooks(hint, init, deinit, alloc, free, cookie)) return 1;
  qx_set_errno(QX_ERR_UNKNOWN);
  return 0;
}

namespace {
int query_path(const char *name, const char *path)
{
  QX_pred_ref pred = QX_predicate(name, 1, nullptr);
  if (!pred) return 0;
  QX_term_ref arg = QX_new_term_ref();
  QX_atom atom = path ? QX_atom_from_string(path) : 0;
  if (!arg || !atom) return 0;
  QX_put_atom(arg, atom);
  return QX_query_cut_fail(pred, arg);
}
}  // namespace

int QX_restore(const char *path) { return query_path("restore", path); }
int QX_load(const char *path) { return query_path("load_files", path); }

int qx_qload_or_restore(const char *path, int mode)
{
  if (path == nullptr) return 0;
  if (mode == 0) {
    const char *base = nullptr;
    qx_split_path(path, nullptr, &base, nullptr);
    size_t length = std::strlen(RESOURCE_URL) + std::strlen(base ? base : path) + 1;
    char *url = (char *)QX_malloc(length);
    if (!url) return 0;
    std::snprintf(url, length, "%s%s", RESOURCE_URL, base ? base : path);
    int restored = do_restore(url) || do_restore(path);
    QX_free(url);
    return restored ? mark_initialized() : 0;
  }
  if (!qload_file(path)) return 0;
  size_t length = std::strlen(path);
  if (length >= 3) {
    char *sibling = (char *)QX_malloc(length + 2);
    if (sibling) {
      std::memcpy(sibling, path, length - 3);
      std::memcpy(sibling + length - 3, "p.ql", 5);
      qload_file(sibling);
      QX_free(sibling);
    }
  }
  return mark_initialized();
}

int qx_start_kind(void) { return dsp_global; }
const char *qx_get_failed_bootpath(void) { return failed_bootfile; }
const char *qx_get_boot_path(void) { return qx_boot_path_ienc(); }
int qx_prolog_initialized(void) { return QX_prolog_initialized; }
const char *QX_get_emulator_version(void) { return EMULATOR_VERSION; }
const char *QX_get_emulator_dir(void) { return EMULATOR_DIR; }
