/* Built-in support: installing the built-in table and the role table. */
#include "builtins.h"

#include <cstring>
#include <vector>

#include "atoms.h"
#include "memman.h"
#include "modules.h"
#include "orvalis.h"
#include "wam.h"

namespace {

/* One family a line, so that adding a family is a one-line change. */
// clang-format off
const qx_pred_row *const families[] = {
    qx_bi_control_rows,
    qx_bi_terms_rows,
    qx_bi_arith_rows,
    qx_bi_atoms_rows,
    qx_bi_db_rows,
    qx_bi_attr_rows,
    qx_api_termrefs_rows,
    qx_api_queries_rows,
    qx_api_events_rows,
    qx_api_properties_rows,
    qx_chconv_rows,
    qx_bi_streams_rows,
    qx_stream_memory_rows,
    qx_stream_socket_rows,
    qx_stream_select_rows,
    qx_devlink_rows,
    qx_term_writer_rows,
    qx_tokenizer_rows,
    qx_bi_write_rows,
    qx_parser_rows,
    qx_bi_process_rows,
    qx_bi_paths_rows,
    qx_bi_time_rows,
    qx_bi_files_rows,
    qx_bi_engine_rows,
    qx_foreign_rows,
    qx_qload_rows,
    qx_saverest_save_rows,
    qx_saverest_restore_rows,
    qx_gc_rows,
    qx_atom_gc_rows,
    nullptr,
};
// clang-format on

mod_def *row_module(uint16_t flags)
{
  static const char *const names[] = {"prolog", "user", "clpfd", "alignments", "structs"};
  unsigned index = flags & 7;
  return find_module(init_atom_check(names[index < 5 ? index : 0], 0), 1);
}

}  // namespace

const qx_pred_row *const *pred_table = families;

void qx_install_builtins()
{
  for (const qx_pred_row *const *family = families; *family; family++)
    for (const qx_pred_row *r = *family; r->name; r++)
      qx_define_native(row_module(r->flags), r->name, r->arity, r->function, r->retry, r->kind);
}

definition *qx_role(const char *name, uint32_t arity)
{
  return insert_definition(qx_eg.prolog_module, init_atom_check(name, 0), arity, 0);
}

int init_wamsup()
{
  qx_install_builtins();
  return 1;
}

/* Definitions made by def_retry_c: records of their own, in no module's table. */
static std::vector<definition *> retry_defs;

void deinit_wamsup()
{
  for (definition *d : retry_defs) qx_checkdealloc(d, sizeof(definition), QX_SPACE_PROGRAM);
  retry_defs.clear();
}

/* A definition whose retry step is function: a retry node made for it resumes there. Each call
 * makes a record of its own, so that natives of the same arity do not share their retry step. */
definition *def_retry_c(qx_native_fn function, int arity)
{
  definition *d = (definition *)qx_checkalloc(sizeof(definition), QX_SPACE_PROGRAM);
  std::memset(d, 0, sizeof *d);
  d->predtyp = ENTER_C_NONDET;
  d->proc.printname = init_atom_check("$retry_c", 0);
  QX_register_atom(d->proc.printname); /* the record is in no module's table */
  d->proc.arity = (uint32_t)arity;
  d->functor = arity ? MakeFunctor(d->proc.printname, (uint32_t)arity) : d->proc.printname;
  d->module = d->defined_in = qx_eg.prolog_module;
  d->blockinfo = d->metainfo = d->filename = atom_nil;
  d->code.native = function;
  d->retry = function;
  d->properties.builtin_row = 1;
  d->properties.hidden = 1;
  retry_defs.push_back(d);
  return d;
}

definition *def_retry_prolog(definition *def) { return def; }
