/* Atom built-ins: atom_codes/2, atom_length/2, current_atom/1 and the char_conversion flag. */
#include "atoms.h"
#include "builtins.h"
#include "errors.h"
#include "numbers.h"
#include "objareas.h"
#include "termops.h"
#include "unify.h"
#include "wam.h"

namespace {

/* Characters of a name in the internal encoding: every byte but the continuation bytes of a
 * sequence starts one (code 0 is the two bytes C0 80). */
uint32_t char_count(const char *name)
{
  uint32_t n = 0;
  for (const unsigned char *p = (const unsigned char *)name; *p; p++) n += (*p & 0xC0) != 0x80;
  return n;
}

/* True when the list is a proper list of character codes; else raises the error. */
bool check_code_list(worker *w, TAGGED list)
{
  long length = list_length(list);
  if (length == QX_LIST_PARTIAL) return qx_instantiation_error(w, 2);
  if (length == QX_LIST_NOT_LIST) return qx_type_error(w, "list", deref(list), 2);
  for (TAGGED l = deref(list); IsLst(l); l = deref(LstTail(l))) {
    TAGGED code = deref(LstHead(l));
    if (IsVar(code)) return qx_instantiation_error(w, 2);
    if (!IsSmall(code) || GetSmall(code) < 0)
      return qx_representation_error(w, "character_code", 2);
  }
  return true;
}

int prolog_atom_codes(worker *w)
{
  TAGGED a = deref(w->term[0]);
  if (IsAtom(a)) {
    const atom *record = atom_record(a);
    TAGGED codes = qx_n_codes_to_list(w, record->length, record->name, atom_nil, 2);
    return cunify(w, w->term[1], codes);
  }
  if (!IsVar(a)) return qx_type_error(w, "atom", a, 1);
  if (!check_code_list(w, w->term[1])) return 0;
  char *text;
  if (!qx_list_to_string(w->term[1], 0, &text)) return qx_resource_error(w, "memory");
  TAGGED made = init_atom_check(text, 0);
  if (!made) return qx_resource_error(w, "atoms");
  return cunify(w, a, made);
}

int prolog_atom_length(worker *w)
{
  TAGGED a = deref(w->term[0]);
  TAGGED length = deref(w->term[1]);
  if (IsVar(a)) return qx_instantiation_error(w, 1);
  if (!IsAtom(a)) return qx_type_error(w, "atom", a, 1);
  if (!IsVar(length)) {
    if (!IsInteger(length)) return qx_type_error(w, "integer", length, 2);
    if (IsSmall(length) ? GetSmall(length) < 0 : bn_compare(length, MakeSmall(0)) < 0)
      return qx_domain_error(w, "not_less_than_zero", length, 2);
  }
  return cunify(w, length, MakeSmall((int32_t)char_count(atom_name(a))));
}

/* ---- current_atom/1: the state word holds the next index of the atom table to look at ---- */

/* The first index from `from` on that holds an atom, or atom_count when none. */
uint32_t live_atom_from(uint32_t from)
{
  while (from < qx_eg.atom_count && !atom_record(MakeAtom(from))) from++;
  return from;
}

/* The atom at index, pushing or updating the retry state when another one follows. */
int current_atom_at(worker *w, uint32_t index, bool retrying)
{
  uint32_t next = live_atom_from(index + 1);
  if (retrying) {
    if (next < qx_eg.atom_count)
      qx_retry_state(w)[1] = MakeSmall((int32_t)next);
    else
      qx_pop_retry(w);
  } else if (next < qx_eg.atom_count) {
    w->term[1] = MakeSmall((int32_t)next);
    qx_push_retry(w, 2);
  }
  return cunify(w, w->term[0], MakeAtom(index));
}

int prolog_current_atom(worker *w)
{
  TAGGED a = deref(w->term[0]);
  if (!IsVar(a)) return IsAtom(a) ? 1 : qx_type_error(w, "atom", a, 1);
  uint32_t first = live_atom_from(0);
  if (first >= qx_eg.atom_count) return 0;
  return current_atom_at(w, first, false);
}

int nd_current_atom(worker *w)
{
  uint32_t index = live_atom_from((uint32_t)GetSmall(qx_retry_state(w)[1]));
  if (index >= qx_eg.atom_count) return 0; /* the rest were collected meanwhile */
  return current_atom_at(w, index, true);
}

/* ---- '$char_conversion'(Old, New) ---- */

/* Unifies Old with the flag's value (off until first set), then stores New, which must be on or
 * off. Old is unified first so that '$char_conversion'(V, V) reads the flag. */
int prolog_char_conversion(worker *w)
{
  if (!qx_eg.current_char_conversion) qx_eg.current_char_conversion = atom_off;
  if (!cunify(w, w->term[0], qx_eg.current_char_conversion)) return 0;
  TAGGED value = deref(w->term[1]);
  if (IsVar(value)) return qx_instantiation_error(w, 2);
  if (!IsAtom(value)) return qx_type_error(w, "atom", value, 2);
  if (value != atom_on && value != atom_off) return qx_domain_error(w, "flag_value", value, 2);
  qx_eg.current_char_conversion = value;
  return 1;
}

}  // namespace

const qx_pred_row qx_bi_atoms_rows[] = {
    {"atom_codes", prolog_atom_codes, 2, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"atom_length", prolog_atom_length, 2, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"current_atom", prolog_current_atom, 1, ENTER_C_NONDET, QX_MOD_PROLOG, nd_current_atom},
    {"$char_conversion", prolog_char_conversion, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
