/* Control built-ins that are plain natives: halt/0,1. (Conjunction, disjunction, if-then-else,
 * negation, call/N, catch/3, throw/1 and call_cleanup/2 run inline in the interpreter.) */
#include "atoms.h"
#include "builtins.h"
#include "errors.h"
#include "numbers.h"
#include "objareas.h"

namespace {

/* halt(Code) throws '$reserved'(Code << 8 | 4), which catch/3 never catches, so that it reaches
 * the query's caller. The payload is built before the structure that holds it. */
int halt_with(worker *w, int64_t code)
{
  if (qx_heap_short(w, 16)) call_overflow(w, 16, 0);
  TAGGED payload = make_int64(w, code * 256 + 4);
  TAGGED *p = w->global_top;
  p[0] = MakeFunctor(atom_reserved, 1);
  p[1] = payload;
  w->global_top += 2;
  return raise_exception(MakeStr(p));
}

int prolog_halt0(worker *w) { return halt_with(w, 0); }

/* Any integer whose payload has 64 bits. */
int prolog_halt1(worker *w)
{
  TAGGED code = deref(w->term[0]);
  if (IsRef(code)) return qx_instantiation_error(w, 1);
  if (!IsInteger(code)) return qx_type_error(w, "integer", code, 1);
  int64_t value;
  if (!qx_get_int64(code, &value) || value > INT64_MAX / 256 || value < INT64_MIN / 256)
    return qx_representation_error(
        w, bn_compare(code, MakeSmall(0)) < 0 ? "min_integer" : "max_integer", 1);
  return halt_with(w, value);
}

}  // namespace

const qx_pred_row qx_bi_control_rows[] = {
    {"halt", prolog_halt0, 0, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"halt", prolog_halt1, 1, ENTER_C, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
