/* Term built-ins: unification and standard order, type tests, construction and inspection of
 * compound terms, and copying. */
#include <cstring>
#include <vector>

#include "atoms.h"
#include "builtins.h"
#include "gc.h"
#include "errors.h"
#include "numbers.h"
#include "objareas.h"
#include "termops.h"
#include "unify.h"
#include "wam.h"

namespace {

constexpr TAGGED atom_less = qx_char_atom_fixed('<');
constexpr TAGGED atom_greater = qx_char_atom_fixed('>');

inline void heap_room(worker *w, uint32_t words, int live) { call_overflow(w, words + 8, live); }

/* ---- unification and comparison ---- */

int prolog_unify(worker *w) { return cunify(w, w->term[0], w->term[1]); }

/* Unifiable or not, leaving nothing bound: the unification runs under a temporary choicepoint
 * (so every binding is trailed) and is undone. */
int prolog_not_unify(worker *w)
{
  qx_push_node(w, failcode);
  int unifiable = cunify(w, w->term[0], w->term[1]);
  qx_undo_to(w, w->node_);
  qx_pop_node(w);
  return !unifiable;
}

int prolog_identical(worker *w) { return compare_terms(w, w->term[0], w->term[1]) == 0; }
int prolog_not_identical(worker *w) { return compare_terms(w, w->term[0], w->term[1]) != 0; }
int prolog_term_less(worker *w) { return compare_terms(w, w->term[0], w->term[1]) < 0; }
int prolog_term_greater(worker *w) { return compare_terms(w, w->term[0], w->term[1]) > 0; }
int prolog_term_not_greater(worker *w) { return compare_terms(w, w->term[0], w->term[1]) <= 0; }
int prolog_term_not_less(worker *w) { return compare_terms(w, w->term[0], w->term[1]) >= 0; }

int prolog_compare(worker *w)
{
  TAGGED order = deref(w->term[0]);
  if (!IsVar(order)) {
    if (!IsAtom(order)) return qx_type_error(w, "atom", order, 1);
    if (order != atom_less && order != atom_equal && order != atom_greater)
      return qx_domain_error(w, "order", order, 1);
  }
  int c = compare_terms(w, w->term[1], w->term[2]);
  return cunify(w, order, c < 0 ? atom_less : c == 0 ? atom_equal : atom_greater);
}

/* ---- type tests ---- */

inline TAGGED arg0(worker *w) { return deref(w->term[0]); }
inline bool is_callable(TAGGED t) { return IsAtom(t) || IsCompound(t); }

int prolog_var(worker *w) { return IsVar(arg0(w)); }
int prolog_nonvar(worker *w) { return !IsVar(arg0(w)); }
int prolog_atom(worker *w) { return IsAtom(arg0(w)); }
int prolog_number(worker *w) { return IsNumber(arg0(w)); }
int prolog_integer(worker *w) { return IsInteger(arg0(w)); }
int prolog_float(worker *w) { return IsFloat(arg0(w)); }
int prolog_atomic(worker *w) { return IsAtomic(arg0(w)); }
int prolog_compound(worker *w) { return IsCompound(arg0(w)); }
int prolog_callable(worker *w) { return is_callable(arg0(w)); }
int prolog_is_list(worker *w) { return list_length(w->term[0]) >= 0; }

/* ---- functor/3, arg/3, =../2 ---- */

/* Name and arity of a non-variable term; a list pair is '.'/2. */
void name_arity(TAGGED t, TAGGED *name, uint32_t *arity)
{
  if (IsLst(t)) {
    *name = atom_dot;
    *arity = 2;
  } else if (IsCompound(t)) {
    *name = FunctorName(StrFunctor(t));
    *arity = Arity(StrFunctor(t));
  } else {
    *name = t;
    *arity = 0;
  }
}

inline const TAGGED *args_of(TAGGED compound)
{
  return IsLst(compound) ? LstPtr(compound) : StrArgs(compound);
}

/* A compound name(A1..An) at the heap top (a list pair for '.'/2); args null: fresh variables.
 * The caller made room for n + 1 words. */
TAGGED lay_compound(worker *w, TAGGED name, uint32_t n, const TAGGED *args)
{
  bool pair = name == atom_dot && n == 2;
  TAGGED *p = w->global_top;
  TAGGED *cells = pair ? p : p + 1;
  if (!pair) p[0] = MakeFunctor(name, n);
  for (uint32_t i = 0; i < n; i++) cells[i] = args ? args[i] : MakeRef(cells + i);
  w->global_top = cells + n;
  return pair ? MakeLst(p) : MakeStr(p);
}

/* The arity argument of functor/3 when the term is to be built: -1 after raising its error. */
int32_t checked_arity(worker *w, TAGGED arity)
{
  if (!IsInteger(arity)) return qx_type_error(w, "integer", arity, 3), -1;
  bool negative = IsSmall(arity) ? GetSmall(arity) < 0 : bn_compare(arity, MakeSmall(0)) < 0;
  if (negative) return qx_domain_error(w, "not_less_than_zero", arity, 3), -1;
  if (!IsSmall(arity) || GetSmall(arity) > (int32_t)QX_MAX_ARITY)
    return qx_representation_error(w, "max_arity", 3), -1;
  return GetSmall(arity);
}

int prolog_functor(worker *w)
{
  TAGGED t = deref(w->term[0]);
  if (!IsVar(t)) {
    TAGGED name;
    uint32_t arity;
    name_arity(t, &name, &arity);
    return cunify(w, w->term[1], name) && cunify(w, w->term[2], MakeSmall((int32_t)arity));
  }
  TAGGED name = deref(w->term[1]);
  TAGGED arity = deref(w->term[2]);
  if (IsVar(name)) return qx_instantiation_error(w, 2);
  if (IsVar(arity)) return qx_instantiation_error(w, 3);
  if (!IsAtomic(name)) return qx_type_error(w, "atomic", name, 2);
  int32_t n = checked_arity(w, arity);
  if (n < 0) return 0;
  if (n == 0) return cunify(w, t, name);
  if (!IsAtom(name)) return qx_type_error(w, "atomic", name, 2);
  heap_room(w, (uint32_t)n + 1, 3);
  return cunify(w, w->term[0], lay_compound(w, name, (uint32_t)n, nullptr));
}

/* arg(N, T, A) with N unbound enumerates the arguments. */
int arg_solution(worker *w, int32_t index)
{
  TAGGED t = deref(w->term[1]);
  return cunify(w, w->term[0], MakeSmall(index)) && cunify(w, w->term[2], args_of(t)[index - 1]);
}

/* Tries the arguments from index on. While others remain a retry node exists (`iterating`),
 * its state word the next index; a mismatch is undone back to it. */
int arg_from(worker *w, uint32_t index, bool iterating)
{
  TAGGED name;
  uint32_t arity;
  name_arity(deref(w->term[1]), &name, &arity);
  for (; index <= arity; index++) {
    bool last = index == arity;
    if (iterating && last) {
      qx_pop_retry(w);
      iterating = false;
    } else if (iterating) {
      qx_retry_state(w)[3] = MakeSmall((int32_t)index + 1);
    } else if (!last) {
      w->term[3] = MakeSmall((int32_t)index + 1);
      qx_push_retry(w, 4);
      iterating = true;
    }
    if (arg_solution(w, (int32_t)index)) return 1;
    if (!iterating) return 0;
    qx_undo_to(w, w->node_);
    w->global_top = w->node_->global_top;
  }
  return 0;
}

int prolog_arg(worker *w)
{
  TAGGED n = deref(w->term[0]);
  TAGGED t = deref(w->term[1]);
  if (IsVar(t)) return qx_instantiation_error(w, 2);
  if (!IsVar(n) && !IsInteger(n)) return qx_type_error(w, "integer", n, 1);
  if (!IsCompound(t)) return qx_type_error(w, "compound", t, 2);
  TAGGED name;
  uint32_t arity;
  name_arity(t, &name, &arity);
  if (IsVar(n)) return arg_from(w, 1, false);
  if (!IsSmall(n) || GetSmall(n) < 1 || (uint32_t)GetSmall(n) > arity) return 0;
  return cunify(w, w->term[2], args_of(t)[GetSmall(n) - 1]);
}

int nd_arg(worker *w) { return arg_from(w, (uint32_t)GetSmall(qx_retry_state(w)[3]), true); }

/* T =.. L with T bound: the list [Name|Args]. */
int univ_decompose(worker *w, TAGGED t)
{
  TAGGED name;
  uint32_t arity;
  name_arity(t, &name, &arity);
  heap_room(w, 2 * (arity + 1), 2);
  t = deref(w->term[0]);
  TAGGED *p = w->global_top;
  w->global_top += 2 * (arity + 1);
  p[0] = name;
  const TAGGED *args = arity ? args_of(t) : nullptr;
  for (uint32_t i = 0; i < arity; i++) {
    p[2 * i + 1] = MakeLst(p + 2 * i + 2);
    p[2 * i + 2] = args[i];
  }
  p[2 * arity + 1] = atom_nil;
  return cunify(w, w->term[1], MakeLst(p));
}

int prolog_univ(worker *w)
{
  TAGGED t = deref(w->term[0]);
  TAGGED list = deref(w->term[1]);
  long length = list_length(list);
  if (length == QX_LIST_NOT_LIST) return qx_type_error(w, "list", list, 2);
  if (!IsVar(t)) return univ_decompose(w, t);
  if (length == QX_LIST_PARTIAL) return qx_instantiation_error(w, 2);
  if (length == 0) return qx_domain_error(w, "non_empty_list", atom_nil, 2);
  TAGGED head = deref(LstHead(list));
  if (IsVar(head)) return qx_instantiation_error(w, 2);
  if (length == 1)
    return IsCompound(head) ? qx_type_error(w, "atomic", head, 2) : cunify(w, t, head);
  if (!IsAtom(head)) return qx_type_error(w, IsCompound(head) ? "atomic" : "atom", head, 2);
  if (length - 1 > (long)QX_MAX_ARITY) return qx_representation_error(w, "max_arity", 2);
  TAGGED args[QX_MAX_ARITY];
  uint32_t n = 0;
  for (TAGGED l = deref(LstTail(list)); IsLst(l); l = deref(LstTail(l))) args[n++] = LstHead(l);
  qx_gc_root keep_args(args, n), keep_t(&t); /* a collection moves them */
  heap_room(w, n + 1, 2);
  return cunify(w, t, lay_compound(w, head, n, args));
}

/* ---- copy_term/2 ---- */

/* Copies a term to the heap top breadth first: each compound's block is laid with the source's
 * cells and converted when the scan reaches it, so no recursion is needed however deep the term
 * is. A source variable met first becomes a new variable in the copy and is forwarded to it
 * until the copy is done; attributed variables are copied as plain variables. Boxed numbers
 * are immutable and shared with the source. */
class TermCopy {
public:
  explicit TermCopy(worker *w) : w_(w) {}

  TAGGED copy(TAGGED term)
  {
    qx_gc_off off; /* source cells are forwarded into the copy while it is made */
    heap_room(w_, 2, 2);
    *w_->global_top++ = atom_nil; /* so that no copied variable follows an attribute marker */
    start_ = w_->global_top;
    *w_->global_top++ = term;
    try {
      for (TAGGED *scan = start_; scan < w_->global_top; scan++)
        if (!IsConst(*scan)) *scan = convert(scan);
    } catch (...) {
      unforward();
      throw;
    }
    unforward();
    return *start_;
  }

private:
  worker *w_;
  TAGGED *start_ = nullptr;
  std::vector<TAGGED *> forwarded_;

  TAGGED convert(TAGGED *at)
  {
    TAGGED v = deref(*at);
    if (IsVar(v)) {
      TAGGED *cell = RefPtr(v);
      if (cell >= start_ && cell < w_->global_top) return v; /* already a variable of the copy */
      forwarded_.push_back(cell);
      *cell = MakeRef(at);
      return MakeRef(at);
    }
    if (IsLst(v)) return MakeLst(lay(LstPtr(v), 2));
    if (IsStr(v) && !IsBoxHeader(StrFunctor(v)))
      return MakeStr(lay(StrPtr(v), Arity(StrFunctor(v)) + 1));
    return v;
  }

  TAGGED *lay(const TAGGED *src, uint32_t words)
  {
    heap_room(w_, words, 2);
    TAGGED *p = w_->global_top;
    std::memcpy(p, src, words * sizeof(TAGGED));
    w_->global_top += words;
    return p;
  }

  void unforward()
  {
    for (TAGGED *cell : forwarded_) *cell = MakeRef(cell);
    forwarded_.clear();
  }
};

int prolog_copy_term(worker *w)
{
  TAGGED copy = TermCopy(w).copy(w->term[0]);
  return cunify(w, w->term[1], copy);
}

}  // namespace

const qx_pred_row qx_bi_terms_rows[] = {
    {"=", prolog_unify, 2, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"\\=", prolog_not_unify, 2, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"==", prolog_identical, 2, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"\\==", prolog_not_identical, 2, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"@<", prolog_term_less, 2, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"@>", prolog_term_greater, 2, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"@=<", prolog_term_not_greater, 2, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"@>=", prolog_term_not_less, 2, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"compare", prolog_compare, 3, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"var", prolog_var, 1, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"nonvar", prolog_nonvar, 1, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"atom", prolog_atom, 1, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"number", prolog_number, 1, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"integer", prolog_integer, 1, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"float", prolog_float, 1, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"atomic", prolog_atomic, 1, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"compound", prolog_compound, 1, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"callable", prolog_callable, 1, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"is_list", prolog_is_list, 1, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"functor", prolog_functor, 3, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"arg", prolog_arg, 3, ENTER_C_NONDET, QX_MOD_PROLOG, nd_arg},
    {"=..", prolog_univ, 2, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"copy_term", prolog_copy_term, 2, ENTER_C, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
