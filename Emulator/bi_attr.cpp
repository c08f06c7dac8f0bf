/* Attributed-variable built-ins: put_attr/3, get_attr/3, del_attr/2 and freeze/2.
 *
 * Attributes live in the module slots of the variable's record (unify.h); freeze/2 adds its goal to
 * the record's suspended goals, a conjunction of Module:Goal terms that the interpreter runs when
 * the variable is bound, after the modules' attr_unify_hook/2.
 */
#include "atoms.h"
#include "builtins.h"
#include "errors.h"
#include "modules.h"
#include "objareas.h"
#include "unify.h"
#include "wam.h"

namespace {

/* The module named by an argument into *module (null when create is 0 and there is none);
 * false after raising the argument's error. */
bool module_arg(worker *w, int argument, int create, mod_def **module)
{
  TAGGED m = deref(w->term[argument - 1]);
  if (IsVar(m)) return qx_instantiation_error(w, argument);
  if (!IsAtom(m)) return qx_type_error(w, "atom", m, argument);
  *module = find_module(m, create);
  return true;
}

int prolog_put_attr(worker *w)
{
  TAGGED v = deref(w->term[0]);
  if (!IsVar(v)) {
    save_error(QX_ERR_UNINSTANTIATION, "", v);
    return raise_error_goal(0, 1);
  }
  mod_def *module = nullptr;
  if (!module_arg(w, 2, 1, &module)) return 0;
  call_overflow(w, qx_eg.attr_no + 16, 3);
  put_attributes(deref(w->term[0]), w->term[2], module); /* read again: a collection moves it */
  return 1;
}

int prolog_get_attr(worker *w)
{
  mod_def *module = nullptr;
  if (!module_arg(w, 2, 0, &module)) return 0;
  TAGGED v = deref(w->term[0]);
  TAGGED attribute = module && IsVar(v) ? get_attributes(v, module) : 0;
  return attribute && cunify(w, w->term[2], attribute);
}

/* Removing stores the slot's empty mark (trailed); the variable stays attributed. */
int prolog_del_attr(worker *w)
{
  mod_def *module = nullptr;
  if (!module_arg(w, 2, 0, &module)) return 0;
  TAGGED v = deref(w->term[0]);
  if (module && IsVar(v) && get_attributes(v, module)) put_attributes(v, atom_no_attr, module);
  return 1;
}

/* ---- freeze/2 ---- */

TAGGED make_pair(worker *w, TAGGED functor, TAGGED a, TAGGED b)
{
  TAGGED *p = w->global_top;
  p[0] = functor;
  p[1] = a;
  p[2] = b;
  w->global_top += 3;
  return MakeStr(p);
}

/* Suspends goal on an unbound variable: appended to the goals of its record, or in a new record
 * (laid out as unify.h describes, every module slot empty) to which the variable is bound. */
void suspend_goal(worker *w, TAGGED *cell, TAGGED goal)
{
  if (qx_is_attvar_cell(w, cell)) {
    TAGGED old = deref(cell[1]);
    TAGGED goals = old == atom_nil ? goal : make_pair(w, functor_comma2, old, goal);
    if (qx_cell_is_old(w, cell + 1)) qx_trail_cell_value(w, cell + 1);
    cell[1] = goals;
    return;
  }
  uint32_t slots = qx_eg.attr_no ? qx_eg.attr_no : 1;
  TAGGED *r = w->global_top;
  w->global_top += 5 + slots;
  r[0] = QX_ATTVAR_MARK;
  r[1] = MakeRef(r + 1);
  r[2] = goal;
  r[3] = MakeStr(r + 4);
  r[4] = MakeFunctor(atom_attrs, slots);
  for (uint32_t i = 1; i <= slots; i++) r[4 + i] = atom_no_attr;
  qx_bind_plain(w, cell, MakeRef(r + 1));
}

int prolog_freeze(worker *w)
{
  TAGGED goal = deref(w->term[1]);
  if (IsVar(goal)) return qx_instantiation_error(w, 2);
  if (!IsAtom(goal) && !IsCompound(goal)) return qx_type_error(w, "callable", goal, 2);
  call_overflow(w, qx_eg.attr_no + 32, 2);
  goal = deref(w->term[1]); /* read again: a collection moves it */
  mod_def *context = qx_native_context();
  if (!(IsStr(goal) && StrFunctor(goal) == functor_colon2))
    goal = make_pair(w, functor_colon2, context->name, goal);
  TAGGED v = deref(w->term[0]);
  if (IsVar(v))
    suspend_goal(w, RefPtr(v), goal);
  else
    qx_push_frame(w, goal, context); /* runs next, opaque to cut as call/1 */
  return 1;
}

}  // namespace

const qx_pred_row qx_bi_attr_rows[] = {
    {"put_attr", prolog_put_attr, 3, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"get_attr", prolog_get_attr, 3, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"del_attr", prolog_del_attr, 2, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"freeze", prolog_freeze, 2, ENTER_C, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
