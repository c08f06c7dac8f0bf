/* Engine start-up and shutdown: the one-time initialisation, the worker, the boot-file search
 * and the restore of the boot file, and the engine-wide words that say how far start-up got. */
#ifndef QX_STARTUP_H
#define QX_STARTUP_H

#include <sys/resource.h>

#include "datadefs.h"
#include "memman.h"
#include "orvalis.h"

/* Public entries (slots of the public table). flags of qx_glue_initialize: bit 0 restores the
 * boot file, bit 8 says argv is already in the internal encoding. kind 0 runtime, 1
 * development. 1, or 0 with the error number set. */
int qx_glue_initialize(int argc, char **argv, const QX_options_ *options,
                       const QX_pre_linkage_fn *pre_linkage, const char *const *pre_map, int kind,
                       int flags);
void QX_deinitialize(void);
/* Memory hooks, before start only: hint 1 and no functions (the system allocator), or hint 0
 * and all four. 1, or 0 with error 16. */
int QX_set_memalloc_hooks(int hint, qx_memhook_init *init, qx_memhook_deinit *deinit,
                          qx_memhook_alloc *alloc, qx_memhook_free *free, void *cookie);
/* The result of QX_query_cut_fail of restore/1 (load_files/1) in the type-in module. */
int QX_restore(const char *path);
int QX_load(const char *path);
/* mode 0 restores a saved state, any other mode runs quick-load files: 1 or 0. */
int qx_qload_or_restore(const char *path, int mode);
const char *qx_get_failed_bootpath(void);
const char *qx_get_boot_path(void);
int qx_prolog_initialized(void);
const char *QX_get_emulator_version(void);
const char *QX_get_emulator_dir(void);

/* The worker and the one-time state. */
int init_once(void);
worker *create_worker(void);
void init_each_time(worker *w);
void dealloc_worker(worker *w);
/* The reverse of init_once and create_worker, for the shutdown and the test engines: the
 * streams, the restored code objects, the file state, the worker w, the interpreter, the
 * built-in table, the program store and the atoms. Answers 1, or 0 when output that a stream
 * held could not be written (each such stream is named on user_error). */
int deinit_once(worker *w);
void reinitialize(worker *w); /* null: the current worker */
void set_current_worker(worker *w);
/* The engine kind given to qx_glue_initialize (0 runtime, 1 development). */
int qx_start_kind(void);

/* The pieces of start-up, for the tests. */
/* QX_APP_DIR, QX_APP_PATH, QX_RT_DIR and QX_RT_PATH from the program's and the engine's paths:
 * 0, or -1 when neither path is known or a property cannot be set. */
int set_app_paths(void);
/* The first existing candidate boot directory followed by "bin/" (a QX_malloc text), or null. */
char *alloc_bootpath(const char *boot_file);
/* Whether the restored boot file fits the engine kind: a runtime has no prolog:compile_all/3, a
 * development system has it and prolog:gather_declarations/3 (defined ones; nothing is made). */
bool qx_boot_kind_matches(int kind);
/* The data-segment limit QX_ULIMIT_DATA_SEGMENT_SIZE asks for: false when it is not set. */
bool qx_data_limit_wanted(const char *text, rlim_t *limit);
/* Reads the setting and applies it with setrlimit; a refused setrlimit is ignored. */
void qx_apply_data_limit(void);

#endif
