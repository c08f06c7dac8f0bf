/* The character conversion table: pairs in two parallel arrays of the engine global block,
 * searched linearly. Every from-code occurs at most once and no pair maps a code to itself, so
 * removing a conversion is adding the identity. */
#include "chconv.h"

#include "atoms.h"
#include "builtins.h"
#include "errors.h"
#include "numbers.h"

static_assert(sizeof qx_eg.charconv_from / sizeof qx_eg.charconv_from[0] == QX_CHARCONV_MAX);

namespace {

/* The index of from's pair, or -1. */
int find_pair(int32_t from)
{
  for (uint32_t i = 0; i < qx_eg.pcharconv; i++)
    if (qx_eg.charconv_from[i] == from) return (int)i;
  return -1;
}

/* A code argument: a small non-negative integer; else raises the error and answers false. */
bool code_argument(worker *w, int argument, int32_t *code)
{
  TAGGED t = deref(w->term[argument - 1]);
  if (IsVar(t)) return qx_instantiation_error(w, argument);
  if (!IsInteger(t)) return qx_type_error(w, "integer", t, argument);
  if (!IsSmall(t) || GetSmall(t) < 0) return qx_representation_error(w, "character_code", argument);
  *code = GetSmall(t);
  return true;
}

/* '$add_char_conversion'(From, To): From and To are character codes. Fails when From has no
 * pair yet and the table is full. */
int prolog_add_char_conversion(worker *w)
{
  int32_t from, to;
  if (!code_argument(w, 1, &from) || !code_argument(w, 2, &to)) return 0;
  return qx_add_char_conversion(from, to);
}

}  // namespace

void init_char_conversion()
{
  qx_eg.pcharconv = 0;
  qx_eg.current_char_conversion = atom_on;
}

int32_t conv_char(int32_t code)
{
  int i = find_pair(code);
  return i < 0 ? code : qx_eg.charconv_to[i];
}

bool qx_add_char_conversion(int32_t from, int32_t to)
{
  int i = find_pair(from);
  if (from != to) {
    if (i >= 0) {
      qx_eg.charconv_to[i] = to;
      return true;
    }
    if (qx_eg.pcharconv == QX_CHARCONV_MAX) return false;
    qx_eg.charconv_from[qx_eg.pcharconv] = from;
    qx_eg.charconv_to[qx_eg.pcharconv] = to;
    qx_eg.pcharconv++;
    return true;
  }
  if (i >= 0) { /* the last pair fills the freed place */
    uint32_t last = --qx_eg.pcharconv;
    qx_eg.charconv_from[i] = qx_eg.charconv_from[last];
    qx_eg.charconv_to[i] = qx_eg.charconv_to[last];
  }
  return true;
}

const qx_pred_row qx_chconv_rows[] = {
    {"$add_char_conversion", prolog_add_char_conversion, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
