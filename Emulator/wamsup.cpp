/* Built-in support: installing the built-in table and the role table. */
#include "builtins.h"

#include "atoms.h"
#include "modules.h"
#include "wam.h"

namespace {

const qx_pred_row *const families[] = {
    qx_bi_control_rows,
};

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
  for (const qx_pred_row *rows : families)
    for (const qx_pred_row *r = rows; r->name; r++)
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

void deinit_wamsup() {}

definition *def_retry_c(qx_native_fn function, int arity)
{
  definition *d = insert_definition(qx_eg.prolog_module, init_atom_check("$retry_c", 0), (uint32_t)arity, 1);
  d->retry = function;
  return d;
}

definition *def_retry_prolog(definition *def) { return def; }
