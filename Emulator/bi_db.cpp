/* Database built-ins: assertz/1, asserta/1, retract/1, clause/2, erase/1 and current_module/1.
 *
 * clause/2 and retract/1 iterate over the clauses alive when they were called (logical update
 * view). While more candidates remain, the iteration's retry node reaches the definition, so
 * that its erased clauses stay in the chain until the node goes (by backtracking, cut or an
 * exception) and are freed then.
 */
#include <algorithm>
#include <cstring>
#include <vector>

#include "atoms.h"
#include "builtins.h"
#include "database.h"
#include "errors.h"
#include "modules.h"
#include "objareas.h"
#include "unify.h"
#include "wam.h"

namespace {

/* Addresses in saved state words: 8-aligned, so with the low bits 11 they read as constants. */
inline TAGGED raw(const void *p) { return (TAGGED)(uintptr_t)p | 3; }
template <class T>
inline T *unraw(TAGGED t)
{
  return (T *)(uintptr_t)(t & ~(TAGGED)3);
}

/* ---- clause terms ---- */

/* The term under any Module: qualifications, the innermost module in *module; 0 after raising
 * an error for a bad module. */
TAGGED strip_module(worker *w, TAGGED t, mod_def **module, int argument)
{
  t = deref(t);
  while (IsStr(t) && StrFunctor(t) == functor_colon2) {
    TAGGED m = deref(StrArg(t, 1));
    if (IsVar(m)) return qx_instantiation_error(w, argument);
    if (!IsAtom(m)) return qx_type_error(w, "atom", m, argument);
    *module = find_module(m, 1);
    t = deref(StrArg(t, 2));
  }
  return t;
}

struct ClauseParts {
  mod_def *module;
  TAGGED head;
  TAGGED body;
  TAGGED key; /* the predicate: functor word, or the atom of an arity-0 head */
};

/* Head and body of a clause term (M:(H :- B), (M:H :- B), H); false after raising an error. */
bool split_clause(worker *w, TAGGED clause, ClauseParts *out, int argument)
{
  out->module = qx_native_context();
  TAGGED c = strip_module(w, clause, &out->module, argument);
  if (!c) return false;
  if (IsVar(c)) return qx_instantiation_error(w, argument);
  out->head = c;
  out->body = atom_true;
  if (IsStr(c) && StrFunctor(c) == qx_clause_functor()) {
    out->head = strip_module(w, StrArg(c, 1), &out->module, argument);
    out->body = StrArg(c, 2);
    if (!out->head) return false;
  }
  if (IsVar(out->head)) return qx_instantiation_error(w, argument);
  if (!IsAtom(out->head) && !IsCompound(out->head))
    return qx_type_error(w, "callable", out->head, argument);
  out->key = IsAtom(out->head)  ? out->head
             : IsLst(out->head) ? MakeFunctor(atom_dot, 2)
                                : StrFunctor(out->head);
  return true;
}

TAGGED indicator(worker *w, TAGGED key)
{
  call_overflow(w, 16, 0);
  TAGGED *p = w->global_top;
  p[0] = MakeFunctor(qx_char_atom_fixed('/'), 2);
  p[1] = FunctorName(key);
  p[2] = MakeSmall(IsAtom(key) ? 0 : (int32_t)Arity(key));
  w->global_top += 3;
  return MakeStr(p);
}

int permission(worker *w, const char *action, const char *type, TAGGED key)
{
  return qx_permission_error(w, action, type, indicator(w, key), 1);
}

/* A native, control or otherwise non-interpreted predicate: its clauses cannot be read or changed. */
bool is_builtin(const definition *def, TAGGED key)
{
  return qx_is_control(key) ||
         (def && def->predtyp != ENTER_INTERPRETED && def->predtyp != ENTER_UNDEFINED);
}

/* ---- asserta/1, assertz/1 ---- */

/* Heap words convert_body may take for body: three for each transparent control construct or
 * variable goal. */
uint32_t body_words(TAGGED body)
{
  uint32_t words = 0;
  std::vector<TAGGED> todo{body};
  while (!todo.empty()) {
    TAGGED g = deref(todo.back());
    todo.pop_back();
    if (IsVar(g)) {
      words += 2;
    } else if (IsStr(g) && qx_is_transparent(StrFunctor(g))) {
      words += 3;
      todo.push_back(StrArg(g, 2));
      todo.push_back(StrArg(g, 1));
    }
  }
  return words;
}

/* The body with every variable in a goal position made call(V), as a stored clause runs it;
 * 0 when a part of it is not callable. Iterative: conjunctions may be long. The caller has made
 * body_words(body) of room. */
TAGGED convert_body(worker *w, TAGGED body)
{
  TAGGED result = 0;
  std::vector<std::pair<TAGGED, TAGGED *>> todo{{body, &result}};
  while (!todo.empty()) {
    auto [source, dest] = todo.back();
    todo.pop_back();
    TAGGED g = deref(source);
    TAGGED *p = w->global_top;
    if (IsVar(g)) {
      p[0] = MakeFunctor(atom_call, 1);
      p[1] = g;
      w->global_top += 2;
      *dest = MakeStr(p);
    } else if (IsStr(g) && qx_is_transparent(StrFunctor(g))) {
      p[0] = StrFunctor(g);
      w->global_top += 3;
      *dest = MakeStr(p);
      todo.push_back({StrArg(g, 2), p + 2});
      todo.push_back({StrArg(g, 1), p + 1});
    } else if (IsAtom(g) || (IsStr(g) && !IsBoxHeader(StrFunctor(g)))) {
      *dest = g;
    } else {
      return 0;
    }
  }
  return result;
}

/* The dynamic predicate to add a clause to, made when undefined; null after raising the
 * permission error for a static or built-in one. */
definition *assert_target(worker *w, mod_def *module, TAGGED key)
{
  definition *def = find_definition(module, key, nullptr, 0);
  if (def && def->predtyp == ENTER_INTERPRETED && def->properties.dynamic) return def;
  definition *system = module != qx_eg.prolog_module
                           ? find_definition(qx_eg.prolog_module, key, nullptr, 0)
                           : nullptr;
  bool undefined = !def || def->predtyp == ENTER_UNDEFINED;
  if (!undefined || is_builtin(system, key) ||
      (system && system->predtyp == ENTER_INTERPRETED && !system->properties.dynamic)) {
    permission(w, "modify", "static_procedure", key);
    return nullptr;
  }
  if (!def) def = find_definition(module, key, nullptr, 1);
  redefine_predicate(def, ENTER_INTERPRETED);
  def->properties.dynamic = 1;
  qx_eg.def_generation++;
  return def;
}

int add_clause(worker *w, bool at_end)
{
  ClauseParts c;
  if (!split_clause(w, w->term[0], &c, 1)) return 0;
  /* Room for the converted body and the clause first; the parts are read again after it. */
  call_overflow(w, body_words(c.body) + 16, 1);
  split_clause(w, w->term[0], &c, 1);
  TAGGED body = convert_body(w, c.body);
  if (!body) return qx_type_error(w, "callable", deref(c.body), 1);
  definition *def = assert_target(w, c.module, c.key);
  if (!def) return 0;
  TAGGED clause = c.head;
  if (deref(body) != atom_true) {
    TAGGED *p = w->global_top;
    p[0] = qx_clause_functor();
    p[1] = c.head;
    p[2] = body;
    w->global_top += 3;
    clause = MakeStr(p);
  }
  instance *ins = qx_make_clause(w, def, clause);
  if (at_end)
    insertz(def, ins);
  else
    qx_inserta(def, ins);
  return 1;
}

int prolog_assertz(worker *w) { return add_clause(w, true); }
int prolog_asserta(worker *w) { return add_clause(w, false); }

/* ---- clause/2, retract/1: iterations ----
 * State words: head, body, definition, next candidate, the walk over the candidates, the
 * call's clause clock. */
enum : int {
  ITER_HEAD,
  ITER_BODY,
  ITER_DEF,
  ITER_NEXT,
  ITER_WALK,
  ITER_CLOCK = ITER_WALK + QX_WALK_WORDS,
  kIterWords = ITER_CLOCK + QX_CLOCK_WORDS
};

/* Unifies head and body with a copy of the clause. */
bool match_clause(worker *w, const instance *ins)
{
  call_overflow(w, qx_instance_heap_words(ins) + 16, kIterWords);
  TAGGED c = qx_copy_from_instance(w, ins);
  TAGGED head = c, body = atom_true;
  if (IsStr(c) && StrFunctor(c) == qx_clause_functor()) {
    head = StrArg(c, 1);
    body = StrArg(c, 2);
  }
  return cunify(w, w->term[0], head) && cunify(w, w->term[1], body);
}

/* Tries the candidates from ins on, the walk standing after ins, state in term[]; the
 * iteration's retry node exists when `iterating`. A retract skips clauses that died since its
 * call and erases the one it matches. */
int iterate(worker *w, instance *ins, qx_clause_walk *walk, bool iterating, bool retracting)
{
  TAGGED key = qx_first_arg_key(w->term[ITER_HEAD]);
  uint64_t clock = qx_saved_clock(&w->term[ITER_CLOCK]);
  definition *def = unraw<definition>(w->term[ITER_DEF]);
  while (ins) {
    instance *next = qx_walk_next(walk, key, clock);
    if (iterating) {
      qx_retry_state(w)[ITER_NEXT] = raw(next);
      qx_save_walk(&qx_retry_state(w)[ITER_WALK], walk);
    } else if (next) {
      w->term[ITER_NEXT] = raw(next);
      qx_save_walk(&w->term[ITER_WALK], walk);
      qx_push_retry_reaching(w, kIterWords, def);
      iterating = true;
    }
    bool alive = ins->death == QX_CLOCK_ALIVE;
    if ((alive || !retracting) && match_clause(w, ins)) {
      if (retracting) qx_erase_clause(ins); /* may free it at once when nothing else reaches it */
      if (iterating && !next) qx_pop_retry(w);
      return 1;
    }
    if (iterating) {
      qx_undo_to(w, w->node_);
      w->global_top = w->node_->global_top;
    }
    ins = next;
  }
  if (iterating) qx_pop_retry(w);
  return 0;
}

/* Sets the state words for a first call and runs it. */
int start_iteration(worker *w, definition *def, TAGGED head, TAGGED body, bool retracting)
{
  uint64_t clock = qx_eg.clause_clock;
  w->term[ITER_HEAD] = head;
  w->term[ITER_BODY] = body;
  w->term[ITER_DEF] = raw(def);
  qx_save_clock(&w->term[ITER_CLOCK], clock);
  TAGGED key = qx_first_arg_key(head);
  qx_clause_walk walk;
  qx_walk_begin(def, key, &walk);
  return iterate(w, qx_walk_next(&walk, key, clock), &walk, false, retracting);
}

int nd_iterate(worker *w, bool retracting)
{
  qx_clause_walk walk;
  qx_saved_walk(&qx_retry_state(w)[ITER_WALK], &walk);
  return iterate(w, unraw<instance>(qx_retry_state(w)[ITER_NEXT]), &walk, true, retracting);
}

int prolog_clause(worker *w)
{
  mod_def *module = qx_native_context();
  TAGGED head = strip_module(w, w->term[0], &module, 1);
  if (!head) return 0;
  TAGGED body = deref(w->term[1]);
  if (IsVar(head)) return qx_instantiation_error(w, 1);
  if (!IsAtom(head) && !IsCompound(head)) return qx_type_error(w, "callable", head, 1);
  if (!IsVar(body) && !IsAtom(body) && !IsCompound(body))
    return qx_type_error(w, "callable", body, 2);
  TAGGED key = IsAtom(head) ? head : IsLst(head) ? MakeFunctor(atom_dot, 2) : StrFunctor(head);
  definition *def = qx_resolve_call(module, key);
  if (is_builtin(def, key)) return permission(w, "access", "private_procedure", key);
  if (!def || def->predtyp != ENTER_INTERPRETED) return 0;
  return start_iteration(w, def, head, body, false);
}

int nd_clause(worker *w) { return nd_iterate(w, false); }

int prolog_retract(worker *w)
{
  ClauseParts c;
  if (!split_clause(w, w->term[0], &c, 1)) return 0;
  definition *def = qx_resolve_call(c.module, c.key);
  if (is_builtin(def, c.key) ||
      (def && def->predtyp == ENTER_INTERPRETED && !def->properties.dynamic))
    return permission(w, "modify", "static_procedure", c.key);
  if (!def || def->predtyp != ENTER_INTERPRETED) return 0;
  return start_iteration(w, def, c.head, c.body, true);
}

int nd_retract(worker *w) { return nd_iterate(w, true); }

/* ---- erase/1 ---- */

int prolog_erase(worker *w)
{
  TAGGED ref = deref(w->term[0]);
  if (IsVar(ref)) return qx_instantiation_error(w, 1);
  if (!IsStr(ref) || StrFunctor(ref) != functor_ref2)
    return qx_type_error(w, "db_reference", ref, 1);
  instance *ins = decode_dbref(ref);
  return ins && qx_erase_clause(ins);
}

/* ---- current_module/1: enumerates a list of the module names made at the first call ---- */

int module_solution(worker *w, TAGGED names, bool retrying)
{
  TAGGED rest = deref(LstTail(names));
  if (retrying) {
    if (IsLst(rest))
      qx_retry_state(w)[1] = rest;
    else
      qx_pop_retry(w);
  } else if (IsLst(rest)) {
    w->term[1] = rest;
    qx_push_retry(w, 2);
  }
  return cunify(w, w->term[0], LstHead(names));
}

int prolog_current_module(worker *w)
{
  TAGGED m = deref(w->term[0]);
  if (!IsVar(m)) {
    if (!IsAtom(m)) return qx_type_error(w, "atom", m, 1);
    return find_module(m, 0) != nullptr;
  }
  uint32_t count = 0;
  qx_for_each_module([&](mod_def *) { count++; });
  if (count == 0) return 0;
  call_overflow(w, 2 * count + 16, 1);
  TAGGED *p = w->global_top;
  w->global_top += 2 * count;
  uint32_t i = 0;
  qx_for_each_module([&](mod_def *module) {
    p[2 * i] = module->name;
    p[2 * i + 1] = i + 1 < count ? MakeLst(p + 2 * i + 2) : atom_nil;
    i++;
  });
  return module_solution(w, MakeLst(p), false);
}

int nd_current_module(worker *w) { return module_solution(w, deref(qx_retry_state(w)[1]), true); }

}  // namespace

const qx_pred_row qx_bi_db_rows[] = {
    {"assertz", prolog_assertz, 1, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"asserta", prolog_asserta, 1, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"retract", prolog_retract, 1, ENTER_C_NONDET, QX_MOD_PROLOG, nd_retract},
    {"clause", prolog_clause, 2, ENTER_C_NONDET, QX_MOD_PROLOG, nd_clause},
    {"erase", prolog_erase, 1, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"current_module", prolog_current_module, 1, ENTER_C_NONDET, QX_MOD_PROLOG, nd_current_module},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
