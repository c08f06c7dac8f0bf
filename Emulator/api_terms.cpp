/* Term construction and inspection for native code.
 *
 * A constructor first makes room for its cells plus 128, then builds: either the whole term is
 * made, or (memory exhausted) nothing is and the entry answers 0 with error 15. Inspectors read
 * the dereferenced term of a reference and build nothing. Every failure leaves the target
 * reference as it was.
 */
#include <cstdarg>
#include <cstring>

#include "api_internal.h"
#include "atoms.h"
#include "numbers.h"
#include "termops.h"
#include "unify.h"
#include "wam.h"
#include "wcx.h"

namespace {

inline int fail_with(int error)
{
  qx_set_errno(error);
  return 0;
}

/* An atom handle: an atom word (not a functor word) naming an atom of the table. */
inline bool is_atom_handle(TAGGED a) { return IsAtom(a) && atom_record(a) != nullptr; }

/* A fresh variable in the heap cell. */
inline TAGGED fresh(TAGGED *cell)
{
  *cell = MakeRef(cell);
  return *cell;
}

/* The floats QX_get_integer converts: strictly between -4294967297.0 and 4294967296.0, truncated
 * toward zero through 64 bits, keeping the low 32 (so values up to 2^32 - 1 arrive unsigned). */
inline bool float_as_long(double d, long *value)
{
  if (!(d > -4294967297.0 && d < 4294967296.0)) return false;
  *value = (long)(int32_t)(uint32_t)(int64_t)d;
  return true;
}

/* name(args...) or, for '.'/2, a list cell; arity 0 is the atom. 11 for a name that is not an
 * atom, 12 for an arity above 255. args == null makes fresh variables. */
int build_functor(QX_term_ref t, QX_atom name, int arity, const QX_term_ref *args)
{
  if (!is_atom_handle(name)) return fail_with(QX_ERR_TYPE_ERROR);
  if (arity < 0 || arity > (int)QX_MAX_ARITY) return fail_with(QX_ERR_DOMAIN_ERROR);
  worker *w = qx_w;
  if (arity == 0) {
    qx_ref_put(w, t, name);
    return 1;
  }
  if (!qx_api_heap_room(w, (uint32_t)arity + 1)) return 0;
  bool list = name == atom_dot && arity == 2;
  TAGGED *p = w->global_top;
  TAGGED *cells = list ? p : p + 1;
  if (!list) p[0] = MakeFunctor(name, (uint32_t)arity);
  w->global_top = cells + arity;
  for (int i = 0; i < arity; i++) {
    if (args)
      qx_api_arg(w, &cells[i], *qx_ref_cell(w, args[i]));
    else
      fresh(&cells[i]);
  }
  qx_ref_put(w, t, list ? MakeLst(p) : MakeStr(p));
  return 1;
}

}  // namespace

void qx_api_arg(worker *w, TAGGED *dest, TAGGED value)
{
  TAGGED v = deref(value);
  TAGGED *cell = RefPtr(v);
  if (IsVar(v) && !(cell >= w->heap_start && cell < dest)) {
    qx_bind_plain(w, cell, fresh(dest));
    return;
  }
  *dest = v;
}

/* ---- building ---- */

int QX_put_variable(QX_term_ref t)
{
  worker *w = qx_w;
  if (!qx_api_heap_room(w, 1)) return 0;
  qx_ref_put(w, t, fresh(w->global_top++));
  return 1;
}

int QX_put_term(QX_term_ref t, QX_term_ref from)
{
  worker *w = qx_w;
  qx_ref_put(w, t, *qx_ref_cell(w, from));
  return 1;
}

int QX_put_integer(QX_term_ref t, long value)
{
  worker *w = qx_w;
  if (!qx_api_heap_room(w, 3)) return 0;
  qx_ref_put(w, t, make_integer(w, (int32_t)value));
  return 1;
}

int QX_put_float(QX_term_ref t, double value)
{
  worker *w = qx_w;
  if (!qx_api_heap_room(w, 4)) return 0;
  qx_ref_put(w, t, qx_make_double(w, value));
  return 1;
}

/* Signed, so that an address at or above 2^31 stays one limb and reads back as the same word;
 * it may need a box, so it takes the room an integer takes. */
int QX_put_address(QX_term_ref t, void *address)
{
  return QX_put_integer(t, (long)(intptr_t)address);
}

int QX_put_atom(QX_term_ref t, QX_atom atom)
{
  if (!is_atom_handle(atom)) return fail_with(QX_ERR_TYPE_ERROR);
  qx_ref_put(qx_w, t, atom);
  return 1;
}

int QX_put_string(QX_term_ref t, const char *text)
{
  QX_atom atom = QX_atom_from_string(text);
  if (!atom) return 0;
  qx_ref_put(qx_w, t, atom);
  return 1;
}

int QX_put_number_codes(QX_term_ref t, const char *text)
{
  if (!text) return fail_with(QX_ERR_NULL_STRING);
  worker *w = qx_w;
  uint64_t room = std::strlen(text) / 8 + 4;
  for (;;) {
    if (!qx_api_heap_room(w, room)) return 0;
    int status = 0;
    TAGGED number = qx_string_to_number(w, text, 10, &status);
    if (number) {
      qx_ref_put(w, t, number);
      return 1;
    }
    if (status <= 0) return fail_with(QX_ERR_NUMBER);
    room = (uint64_t)status;
  }
}

int QX_put_list_codes(QX_term_ref t, QX_term_ref tail, const char *text)
{
  if (!text) return fail_with(QX_ERR_NULL_STRING);
  return QX_put_list_n_codes(t, tail, (long)std::strlen(text), text);
}

int QX_put_list_n_codes(QX_term_ref t, QX_term_ref tail, long n, const char *text)
{
  if (!text) return fail_with(QX_ERR_NULL_STRING);
  if (n < 0) return fail_with(QX_ERR_DOMAIN_ERROR);
  worker *w = qx_w;
  TAGGED list = qx_api_call(
      (TAGGED)0, [&] { return qx_n_codes_to_list(w, (size_t)n, text, qx_ref_get(w, tail)); });
  if (!list) return 0;
  qx_ref_put(w, t, list);
  return 1;
}

int QX_put_list_n_bytes(QX_term_ref t, QX_term_ref tail, size_t n, const unsigned char *bytes)
{
  if (!bytes) return fail_with(QX_ERR_NULL_STRING);
  worker *w = qx_w;
  if (!qx_api_heap_room(w, 2 * (uint64_t)n)) return 0;
  TAGGED list = qx_ref_get(w, tail);
  if (n > 0) {
    TAGGED *cells = w->global_top;
    w->global_top += 2 * n;
    for (size_t i = 0; i < n; i++) {
      cells[2 * i] = MakeSmall(bytes[i]);
      cells[2 * i + 1] = MakeLst(&cells[2 * i + 2]);
    }
    cells[2 * n - 1] = list;
    list = MakeLst(cells);
  }
  qx_ref_put(w, t, list);
  return 1;
}

int QX_put_functor(QX_term_ref t, QX_atom name, int arity)
{
  return build_functor(t, name, arity, nullptr);
}

int QX_put_list(QX_term_ref t) { return build_functor(t, atom_dot, 2, nullptr); }

int QX_put_integer_bytes(QX_term_ref t, void *bytes, size_t size, int native)
{
  if (native && size != 2 && size != 4 && size != 8) return fail_with(QX_ERR_INVALID_DEFINITION);
  if (!bytes && size) return fail_with(QX_ERR_NULL_STRING);
  worker *w = qx_w;
  /* Native integers are little-endian on this target: their bytes are the two's-complement array. */
  if (!qx_api_heap_room(w, size / 4 + 3)) return 0;
  TAGGED *box = w->global_top;
  if (bn_from_bytes((const unsigned char *)bytes, size, box, w->stack_start - QX_API_HEAP_RESERVE))
    return qx_api_call(0, [] {
      QX_raise_fault("miscalculated size of bignum");
      return 0;
    });
  TAGGED value;
  if (BignumLimbs(box[0]) == 1 && SmallFits((int32_t)box[1])) {
    value = MakeSmall((int32_t)box[1]);
  } else {
    w->global_top += BoxWords(box[0]);
    value = MakeStr(box);
  }
  qx_ref_put(w, t, value);
  return 1;
}

int QX_cons_functor(QX_term_ref t, QX_atom name, int arity, ...)
{
  QX_term_ref args[QX_MAX_ARITY];
  if (arity < 0 || arity > (int)QX_MAX_ARITY) return build_functor(t, name, arity, nullptr);
  va_list ap;
  va_start(ap, arity);
  for (int i = 0; i < arity; i++) args[i] = va_arg(ap, QX_term_ref);
  va_end(ap);
  return build_functor(t, name, arity, args);
}

int QX_cons_functor_array(QX_term_ref t, QX_atom name, int arity, const QX_term_ref *args)
{
  return build_functor(t, name, arity, args);
}

int QX_cons_list(QX_term_ref t, QX_term_ref head, QX_term_ref tail)
{
  QX_term_ref args[2] = {head, tail};
  return build_functor(t, atom_dot, 2, args);
}

/* ---- inspecting ---- */

int QX_get_integer(QX_term_ref t, long *value)
{
  TAGGED x = qx_ref_get(qx_w, t);
  int32_t v;
  if (qx_api_int32(x, &v)) {
    *value = v;
    return 1;
  }
  if (IsFloat(x) && float_as_long(FloatValue(x), value)) return 1;
  return fail_with(QX_ERR_TYPE_ERROR);
}

int QX_get_float(QX_term_ref t, double *value)
{
  TAGGED x = qx_ref_get(qx_w, t);
  if (!IsNumber(x)) return fail_with(QX_ERR_TYPE_ERROR);
  *value = spi_get_float(x);
  return 1;
}

int QX_get_address(QX_term_ref t, void **address)
{
  int32_t v;
  if (!qx_api_int32(qx_ref_get(qx_w, t), &v)) return fail_with(QX_ERR_TYPE_ERROR);
  *address = (void *)(intptr_t)v;
  return 1;
}

int QX_get_atom(QX_term_ref t, QX_atom *atom)
{
  TAGGED x = qx_ref_get(qx_w, t);
  if (!IsAtom(x)) return fail_with(QX_ERR_TYPE_ERROR);
  *atom = x;
  return 1;
}

int QX_get_string(QX_term_ref t, const char **text)
{
  TAGGED x = qx_ref_get(qx_w, t);
  if (!IsAtom(x)) return fail_with(QX_ERR_TYPE_ERROR);
  *text = atom_name(x);
  return 1;
}

int QX_get_number_codes(QX_term_ref t, const char **text)
{
  TAGGED x = qx_ref_get(qx_w, t);
  const char *digits = IsNumber(x) ? qx_api_call((const char *)nullptr,
                                                 [&] { return qx_number_to_string(x, 10, 0); })
                                   : nullptr;
  if (!digits) return fail_with(IsNumber(x) ? QX_ERR_SYSTEM_ERROR : QX_ERR_TYPE_ERROR);
  *text = digits;
  return 1;
}

int QX_get_list_codes(QX_term_ref t, const char **text)
{
  TAGGED x = qx_ref_get(qx_w, t);
  char *codes = nullptr;
  int found = qx_api_call(-1, [&] { return qx_list_to_string(x, 0, &codes); });
  if (found <= 0) return found < 0 ? 0 : fail_with(QX_ERR_TYPE_ERROR);
  *text = codes;
  return 1;
}

int QX_get_list_n_codes(QX_term_ref t, QX_term_ref tail, size_t n, size_t *count, char *buffer)
{
  if (!buffer) return fail_with(QX_ERR_NULL_STRING);
  worker *w = qx_w;
  TAGGED rest = qx_list_to_n_codes(qx_ref_get(w, t), n, count, buffer);
  if (!rest) return fail_with(QX_ERR_DOMAIN_ERROR);
  qx_ref_put(w, tail, rest);
  return 1;
}

/* The bytes read before an element that is not a byte stay in the buffer, counted. */
int QX_get_list_n_bytes(QX_term_ref t, QX_term_ref tail, size_t n, size_t *count,
                        unsigned char *buffer)
{
  if (!buffer) return fail_with(QX_ERR_NULL_STRING);
  worker *w = qx_w;
  TAGGED list = qx_ref_get(w, t);
  size_t used = 0;
  for (; used < n && IsLst(list); used++) {
    TAGGED head = deref(LstHead(list));
    if (!IsSmall(head) || GetSmall(head) < 0 || GetSmall(head) > 255) {
      *count = used;
      return fail_with(QX_ERR_DOMAIN_ERROR);
    }
    buffer[used] = (unsigned char)GetSmall(head);
    list = deref(LstTail(list));
  }
  *count = used;
  qx_ref_put(w, tail, list);
  return 1;
}

int QX_get_functor(QX_term_ref t, QX_atom *name, int *arity)
{
  TAGGED x = qx_ref_get(qx_w, t);
  if (IsAtom(x)) {
    *name = x;
    *arity = 0;
  } else if (IsLst(x)) {
    *name = atom_dot;
    *arity = 2;
  } else if (IsCompound(x)) {
    *name = FunctorName(StrFunctor(x));
    *arity = (int)Arity(StrFunctor(x));
  } else {
    return fail_with(QX_ERR_TYPE_ERROR);
  }
  return 1;
}

int QX_get_list(QX_term_ref t, QX_term_ref head, QX_term_ref tail)
{
  worker *w = qx_w;
  TAGGED x = qx_ref_get(w, t);
  if (!IsLst(x)) return fail_with(QX_ERR_TYPE_ERROR);
  qx_ref_put(w, head, LstHead(x));
  qx_ref_put(w, tail, LstTail(x));
  return 1;
}

int QX_get_arg(int index, QX_term_ref t, QX_term_ref arg)
{
  worker *w = qx_w;
  TAGGED x = qx_ref_get(w, t);
  int arity = IsLst(x) ? 2 : IsCompound(x) ? (int)Arity(StrFunctor(x)) : 0;
  if (index < 1 || index > arity) return fail_with(QX_ERR_TYPE_ERROR);
  qx_ref_put(w, arg, IsLst(x) ? LstPtr(x)[index - 1] : StrArg(x, index));
  return 1;
}

/* The minimal two's-complement bytes, little-endian, the rest of the buffer filled with the sign:
 * in a buffer of 2, 4 or 8 bytes that is the native integer of that width on this target. */
int QX_get_integer_bytes(QX_term_ref t, void *buffer, size_t *size, int native)
{
  TAGGED x = qx_ref_get(qx_w, t);
  if (!IsInteger(x)) return fail_with(QX_ERR_TYPE_ERROR);
  if (native && *size != 2 && *size != 4 && *size != 8) return fail_with(QX_ERR_TYPE_ERROR);
  if (!buffer && *size) return fail_with(QX_ERR_NULL_STRING);
  if (!bn_to_bytes(x, (unsigned char *)buffer, size)) return fail_with(QX_ERR_UNKNOWN);
  return 1;
}

int QX_term_type(QX_term_ref t)
{
  TAGGED x = qx_ref_get(qx_w, t);
  if (IsVar(x)) return QX_TERM_VARIABLE;
  if (IsInteger(x)) return QX_TERM_INTEGER;
  if (IsAtom(x)) return QX_TERM_ATOM;
  if (IsFloat(x)) return QX_TERM_FLOAT;
  return QX_TERM_COMPOUND;
}

int QX_is_variable(QX_term_ref t) { return IsVar(qx_ref_get(qx_w, t)); }
int QX_is_integer(QX_term_ref t) { return IsInteger(qx_ref_get(qx_w, t)); }
int QX_is_float(QX_term_ref t) { return IsFloat(qx_ref_get(qx_w, t)); }
int QX_is_atom(QX_term_ref t) { return IsAtom(qx_ref_get(qx_w, t)); }
int QX_is_compound(QX_term_ref t) { return IsCompound(qx_ref_get(qx_w, t)); }
int QX_is_list(QX_term_ref t) { return IsLst(qx_ref_get(qx_w, t)); }
int QX_is_atomic(QX_term_ref t) { return IsAtomic(qx_ref_get(qx_w, t)); }
int QX_is_number(QX_term_ref t) { return IsNumber(qx_ref_get(qx_w, t)); }

/* ---- atoms ---- */

QX_atom QX_atom_from_string(const char *text)
{
  if (!text) return fail_with(QX_ERR_NULL_STRING);
  if (!wci_valid_string(text)) return fail_with(QX_ERR_STRING);
  QX_atom atom = init_atom_check(text, 0);
  return atom ? atom : fail_with(QX_ERR_SYSTEM_ERROR); /* the table is full or memory ran out */
}

QX_atom QX_existing_atom_from_string(const char *text)
{
  return text ? init_atom_check(text, 1) : 0;
}

const char *QX_string_from_atom(QX_atom atom)
{
  if (!is_atom_handle(atom)) {
    qx_set_errno(QX_ERR_TYPE_ERROR);
    return nullptr;
  }
  return atom_name(atom);
}

size_t QX_atom_length(QX_atom atom)
{
  if (!is_atom_handle(atom)) return (size_t)fail_with(QX_ERR_TYPE_ERROR);
  return atom_record(atom)->length;
}

/* ---- relations ---- */

/* Under a node of its own every binding is trailed, so a failed unification is undone whole:
 * bindings, the trail and the wake-ups of attributed variables. */
int QX_unify(QX_term_ref t1, QX_term_ref t2)
{
  worker *w = qx_w;
  TAGGED a = *qx_ref_cell(w, t1), b = *qx_ref_cell(w, t2);
  if (!qx_api_call(false, [&] {
        qx_push_node(w, failcode);
        return true;
      }))
    return 0;
  int unified = qx_api_call(0, [&] { return cunify(w, a, b) ? 1 : 0; });
  if (!unified) qx_undo_to(w, w->node_);
  qx_pop_node(w);
  return unified;
}

int QX_compare(QX_term_ref t1, QX_term_ref t2)
{
  worker *w = qx_w;
  TAGGED a = qx_ref_get(w, t1), b = qx_ref_get(w, t2);
  if (a == b) return 0;
  if (IsVar(a) && IsVar(b)) return a < b ? -1 : 1;
  if (IsVar(a)) return -1;
  if (IsVar(b)) return 1;
  int order = qx_api_call(0, [&] { return compare_terms(w, a, b); });
  return order < 0 ? -1 : order > 0 ? 1 : 0;
}
