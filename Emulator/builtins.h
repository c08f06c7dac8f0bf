/* The built-in predicate table: each family file exports an array of rows ending with a row
 * whose name is null; init_wamsup installs the families in a fixed order. */
#ifndef QX_BUILTINS_H
#define QX_BUILTINS_H

#include <cstdint>

#include "datadefs.h"

/* Module index of a row (flags bits 0-2) and the role bit. */
enum : uint16_t {
  QX_MOD_PROLOG = 0,
  QX_MOD_USER = 1,
  QX_MOD_CLPFD = 2,
  QX_MOD_ALIGNMENTS = 3,
  QX_MOD_STRUCTS = 4,
  QX_ROW_ROLE = 0x100, /* also entered in the role table */
};

struct qx_pred_row {
  const char *name;
  qx_native_fn function;
  uint8_t arity;
  uint8_t kind; /* BUILTIN_DET, BUILTIN_NONDET, ENTER_C, ENTER_C_NONDET */
  uint16_t flags;
  qx_native_fn retry; /* nondeterministic rows: the retry step */
};

/* Families, in installation order. */
extern const qx_pred_row qx_bi_control_rows[];
extern const qx_pred_row qx_bi_terms_rows[];
extern const qx_pred_row qx_bi_arith_rows[];
extern const qx_pred_row qx_bi_atoms_rows[];
extern const qx_pred_row qx_bi_db_rows[];
extern const qx_pred_row qx_bi_attr_rows[];
extern const qx_pred_row qx_api_termrefs_rows[];
extern const qx_pred_row qx_api_queries_rows[];
extern const qx_pred_row qx_api_events_rows[];
extern const qx_pred_row qx_api_properties_rows[];
extern const qx_pred_row qx_chconv_rows[];
extern const qx_pred_row qx_bi_streams_rows[];
extern const qx_pred_row qx_stream_memory_rows[];
extern const qx_pred_row qx_stream_socket_rows[];
extern const qx_pred_row qx_stream_select_rows[];
extern const qx_pred_row qx_devlink_rows[];
extern const qx_pred_row qx_term_writer_rows[];
extern const qx_pred_row qx_tokenizer_rows[];
extern const qx_pred_row qx_parser_rows[];
extern const qx_pred_row qx_bi_write_rows[];
extern const qx_pred_row qx_bi_process_rows[];
extern const qx_pred_row qx_bi_paths_rows[];
extern const qx_pred_row qx_bi_time_rows[];
extern const qx_pred_row qx_bi_files_rows[];
extern const qx_pred_row qx_bi_engine_rows[];
extern const qx_pred_row qx_foreign_rows[];
extern const qx_pred_row qx_qload_rows[];
extern const qx_pred_row qx_saverest_save_rows[];
extern const qx_pred_row qx_saverest_restore_rows[];
extern const qx_pred_row qx_gc_rows[];
extern const qx_pred_row qx_atom_gc_rows[];

/* The assembled table (the families in installation order, ending with null) and the role table
 * (predicates the engine calls by role). */
extern const qx_pred_row *const *pred_table;
definition *qx_role(const char *name, uint32_t arity);

int init_wamsup(); /* 1 on success */
void deinit_wamsup();
void qx_install_builtins();

/* Arithmetic: the evaluable functors of this engine's atoms, found once per engine (init_wam),
 * and the small-integer path: functor (arity 1 or 2) applied to small integers x (and y), when
 * the result is an integer of 32 bits computed exactly as is/2 computes it; false when only the
 * general path can tell. */
void qx_arith_init();
bool qx_arith_small(TAGGED functor, int32_t x, int32_t y, int32_t *result);

/* Retry nodes of nondeterministic built-ins: def_retry_c makes a definition of its own whose retry
 * step is function (freed by deinit_wamsup); def_retry_prolog resumes through a Prolog predicate. */
definition *def_retry_c(qx_native_fn function, int arity);
definition *def_retry_prolog(definition *def);

#endif
