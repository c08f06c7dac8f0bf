/* Control built-ins that are plain natives: halt/0,1. (Conjunction, disjunction, if-then-else,
 * negation, call/N, catch/3, throw/1 and call_cleanup/2 run inline in the interpreter.) */
#include "atoms.h"
#include "builtins.h"
#include "errors.h"
#include "numbers.h"
#include "objareas.h"

namespace {

/* halt(Code) throws '$reserved'(Code << 8 | 4), which catch/3 never catches, so that it reaches
 * the query's caller. */
int halt_with(worker *w, int32_t code)
{
  if (w->stack_start - w->global_top < 16) call_overflow(w, 16, 0);
  TAGGED *p = w->global_top;
  p[0] = MakeFunctor(atom_reserved, 1);
  p[1] = make_integer(w, (int32_t)(((uint32_t)code << 8) | 4));
  w->global_top += 2;
  return raise_exception(MakeStr(p));
}

int prolog_halt0(worker *w) { return halt_with(w, 0); }

int prolog_halt1(worker *w)
{
  TAGGED code = deref(w->term[0]);
  if (IsRef(code)) return qx_instantiation_error(w, 1);
  if (!IsSmall(code)) return qx_type_error(w, "integer", code, 1);
  return halt_with(w, GetSmall(code));
}

}  // namespace

const qx_pred_row qx_bi_control_rows[] = {
    {"halt", prolog_halt0, 0, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"halt", prolog_halt1, 1, ENTER_C, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
