/* The one-time engine state and the worker: what start-up builds before the first query, the
 * initial values of the Prolog flags, and the worker's set-up, teardown and rebuild. */
#include <cstring>

#include "atoms.h"
#include "builtins.h"
#include "chconv.h"
#include "database.h"
#include "filenames.h"
#include "foreign.h"
#include "memman.h"
#include "modules.h"
#include "objareas.h"
#include "orvalis.h"
#include "startup.h"
#include "bi_process.h"
#include "streams.h"
#include "system.h"
#include "wam.h"
#include "wcx.h"

namespace {

/* The engine's one worker: static storage, in use between create_worker and dealloc_worker. */
worker worker_storage;
bool worker_in_use = false;

TAGGED atom_of(const char *text) { return init_atom_check(text, 0); }

}  // namespace

void set_current_worker(worker *w) { qx_w = w; }

int init_once(void)
{
  if (init_atoms() != 0) return 0;
  clear_ch_type_hash();
  if (!atom_of("linux")) return 0;
  bool development = qx_start_kind() == 1;
  TAGGED on = atom_of("on"), off = atom_of("off");
  qx_eg.current_compiling = atom_of("compactcode");
  qx_eg.current_quoted_charset_flag = atom_of("prolog");
  qx_eg.current_ferror_flag = on;
  qx_eg.current_gcmargin = 1000;
  qx_eg.current_agcmargin = 10000;
  qx_eg.current_gcmode = on;
  qx_eg.current_gctrace = off;
  qx_eg.current_leash_mode = 31;
  qx_eg.current_source_info = off;
  qx_eg.current_double_quotes = atom_of("codes");
  qx_eg.current_redefine_flag = development ? on : off;
  qx_eg.current_discontiguous_flag = on;
  qx_eg.current_informational_flag = qx_eg.current_redefine_flag;
  qx_eg.current_single_var_flag = on;
  qx_eg.current_syntax = atom_of("error");
  qx_eg.current_unknown = atom_of("error");
  qx_eg.current_compatibility_flag = atom_of("iso");
  qx_eg.current_version_flag = atom_of(QX_get_emulator_version());
  qx_eg.current_system_type_flag = atom_of(development ? "development" : "runtime");
  for (TAGGED &v : qx_eg.global_vars) v = off;
  qx_eg.current_window_title = 0;
  QX_register_atom(qx_eg.current_version_flag);
  QX_register_atom(qx_eg.current_system_type_flag);
  init_char_conversion();
  if (init_once_file() != 1 || init_stream() != 1) return 0;
  if (init_modules() != 0 || init_database() != 0) return 0;
  qx_eg.typein_mod = qx_eg.prolog_module;
  if (init_wam() != 0) return 0;
  int ok = init_wamsup();
  /* The engine's tables cache the atoms made while it starts: they are kept for good. */
  qx_agc_keep_all();
  return ok;
}

int deinit_once(worker *w)
{
  /* the resources go first, each after the streams it made and before the engine state their
   * hooks and deinit functions use; closing a stream may run Prolog code: the worker is there */
  bool resources_written = !w || qx_unload_foreign_resources(w);
  int written = deinit_stream() && resources_written;
  qx_free_code_objects();
  deinit_file();
  dealloc_worker(w);
  deinit_wam();
  deinit_wamsup();
  deinit_modules();
  deinit_database();
  qx_free_retired_external_objects(); /* no atom, so no term, names them any more */
  deinit_atoms();
  return written;
}

void init_each_time(worker *w)
{
  set_current_worker(w);
  if (init_stacks(w) != 0) qx_memory_fault("worker", QX_SPACE_STACKS);
  numstack_init(w);
  w->fli_data = &w->fli_info;
  w->fli_info.term = w->term;
  for (int i = 0; i < 3; i++) w->term[i] = atom_nil;
  init_stream_again();
  qx_eg.current_breaklevel = 0;
  qx_eg.current_prompt = atom_of("|: ");
  qx_eg.current_debugger_global = atom_of("off");
  for (TAGGED &v : w->worker_vars) v = atom_of("off");
  event_queue_init();
  init_each_time_file();
  w->fli_info.excp_flag = 1;
}

worker *create_worker(void)
{
  worker *w = &worker_storage;
  worker_in_use = true;
  std::memset(w, 0, sizeof *w);
  init_each_time(w);
  return w;
}

void dealloc_worker(worker *w)
{
  if (w == nullptr || !worker_in_use) return;
  event_queue_remove();
  numstack_deinit();
  deinit_stacks(w);
  if (qx_w == w) set_current_worker(nullptr);
  worker_in_use = false;
}

void reinitialize(worker *w)
{
  if (!qx_prolog_initialized()) return;
  if (w == nullptr) w = qx_w;
  memman_reinit();
  dealloc_worker(w);
  worker *fresh = create_worker();
  set_current_worker(fresh);
  trimcore(fresh, 1);
}
