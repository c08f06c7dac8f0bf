/* The interpreter.
 *
 * One loop runs goals: control constructs inline, predicates by their entry kind. Interpreted
 * clauses are selected by their first-argument key and unified against the stored instance
 * without copying it: a clause variable is bound in a per-try table to the caller's term, and only
 * the subterms that bind a caller's variable, and the body, are built on the heap.
 *
 * Failure restores the newest choicepoint and branches on its alternative. Exceptions unwind the
 * choicepoints newest first to an active catch/3 or to the run's bottom node.
 */
#include "wam.h"

#include <cassert>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "atoms.h"
#include "database.h"
#include "errors.h"
#include "memman.h"
#include "modules.h"
#include "unify.h"
#include "wam_internal.h"

qx_control_functors qx_K;

namespace {

frame exit_frame{nullptr, atom_true, 0, nullptr};

/* The native being run (for retry nodes and error contexts). */
definition *running_native;
TAGGED running_goal;
mod_def *running_context; /* the module the native was called from */

/* The catch/3 nodes active when a ball is thrown: kept allocated, so that a throw after a memory
 * fault needs no memory. */
std::vector<uint32_t> active_catches;
/* A memory fault is being unwound: the memory the run took is given back once its heap top is
 * restored, before the ball is unified with a catcher. */
bool trim_after_fault;

/* ---- clause-variable table: entries stamped per clause try, so no clearing is needed ---- */
struct VarSlot {
  uint32_t stamp;
  TAGGED value;
};
std::vector<VarSlot> vartab;
uint32_t var_stamp;
std::vector<TAGGED> unify_work;

/* A pending argument of build(): the heap cell to fill and the instance cell it copies. */
struct BuildItem {
  TAGGED *dest;
  TAGGED cell;
};
std::vector<BuildItem> build_stack;

/* qx_bind with its common case inline: most bindings in a clause try are of plain variables. */
inline void bind_var(worker *w, TAGGED var, TAGGED value)
{
  TAGGED *cell = RefPtr(var);
  if (QX_UNLIKELY(qx_is_attvar_cell(w, cell)))
    qx_attvar_bind(w, cell, value);
  else
    qx_bind_plain(w, cell, value);
}

/* One try of a clause: its body and its variables, kept in locals rather than re-read from the
 * globals after every call out. */
struct ClauseTry {
  VarSlot *vars;
  uint32_t stamp;
  const TAGGED *body;

  ClauseTry(const instance *ins, uint32_t words) : body(ins->body)
  {
    if (vartab.size() < words) vartab.resize(words + 64, VarSlot{0, 0});
    if (++var_stamp == 0) {
      for (VarSlot &s : vartab) s.stamp = 0;
      var_stamp = 1;
    }
    vars = vartab.data();
    stamp = var_stamp;
  }

  static uint32_t index(TAGGED offset_cell)
  {
    return ((offset_cell & ~(TAGGED)3) - sizeof(instance)) >> 2;
  }
  VarSlot &var(TAGGED c) { return vars[index(c)]; }
  const TAGGED *block(TAGGED c) { return body + index(c); }

  /* Fill dest from instance cell c when that needs no block of its own; false otherwise. */
  bool build_simple(TAGGED *dest, TAGGED c)
  {
    if (IsConst(c)) {
      *dest = c;
      return true;
    }
    if (IsRef(c)) {
      VarSlot &s = var(c);
      if (s.stamp != stamp) {
        *dest = MakeRef(dest); /* the argument cell becomes the variable */
        s = VarSlot{stamp, *dest};
      } else {
        *dest = s.value;
      }
      return true;
    }
    return false;
  }

  /* Lays out the block of instance cell c at the heap top and stores its reference in dest; the
   * arguments that need blocks of their own are left on the build stack. */
  void build_block(worker *w, TAGGED *dest, TAGGED c)
  {
    const TAGGED *src = block(c);
    TAGGED *p = w->global_top;
    if (IsLst(c)) {
      w->global_top += 2;
      *dest = MakeLst(p);
      if (!build_simple(&p[1], src[1])) build_stack.push_back(BuildItem{&p[1], src[1]});
      if (!build_simple(&p[0], src[0])) build_stack.push_back(BuildItem{&p[0], src[0]});
      return;
    }
    TAGGED f = src[0];
    *dest = MakeStr(p);
    if (IsBoxHeader(f)) {
      uint32_t n = (uint32_t)BoxWords(f);
      std::memcpy(p, src, n * sizeof(TAGGED));
      w->global_top += n;
      return;
    }
    uint32_t n = Arity(f);
    w->global_top += n + 1;
    /* A database reference's two raw words read as constants: it is built and unified as any
     * compound. A user's '$ref'/2 term is stored under a private functor. */
    p[0] = f == functor_ref_term2 ? functor_ref2 : f;
    for (uint32_t i = n; i >= 1; i--)
      if (!build_simple(&p[i], src[i])) build_stack.push_back(BuildItem{&p[i], src[i]});
  }

  /* Build the instance subterm c on the heap, clause variables resolved through the table. */
  TAGGED build(worker *w, TAGGED c)
  {
    if (IsConst(c)) return c;
    if (IsRef(c)) {
      VarSlot &s = var(c);
      if (s.stamp != stamp) {
        TAGGED *cell = w->global_top++;
        *cell = MakeRef(cell);
        s = VarSlot{stamp, *cell};
      }
      return s.value;
    }
    TAGGED result;
    size_t base = build_stack.size();
    build_block(w, &result, c);
    while (build_stack.size() > base) {
      BuildItem item = build_stack.back();
      build_stack.pop_back();
      build_block(w, item.dest, item.cell);
    }
    return result;
  }

  /* Unify heap term t with instance cell c. Pairs still to do are kept on an explicit stack. */
  bool unify(worker *w, TAGGED t, TAGGED c)
  {
    size_t base = unify_work.size();
    for (;;) {
      switch (TagOf(c)) {
      case QX_TAG_CONST: {
        t = deref(t);
        if (IsRef(t))
          bind_var(w, t, c);
        else if (t != c)
          goto fail;
        break;
      }
      case QX_TAG_REF: {
        VarSlot &s = var(c);
        if (s.stamp != stamp)
          s = VarSlot{stamp, t};
        else if (!cunify(w, t, s.value))
          goto fail;
        break;
      }
      case QX_TAG_STR: {
        const TAGGED *src = block(c);
        TAGGED f = src[0];
        t = deref(t);
        if (IsRef(t)) {
          bind_var(w, t, build(w, c));
          break;
        }
        if (!IsStr(t)) goto fail;
        const TAGGED *tp = StrPtr(t);
        if (IsBoxHeader(f)) {
          if (std::memcmp(tp, src, BoxWords(f) * sizeof(TAGGED)) != 0) goto fail;
          break;
        }
        if (tp[0] != (f == functor_ref_term2 ? functor_ref2 : f)) goto fail;
        for (uint32_t i = Arity(f); i > 1; i--) {
          unify_work.push_back(tp[i]);
          unify_work.push_back(src[i]);
        }
        t = tp[1];
        c = src[1];
        continue;
      }
      case QX_TAG_LST: {
        const TAGGED *src = block(c);
        t = deref(t);
        if (IsRef(t)) {
          bind_var(w, t, build(w, c));
          break;
        }
        if (!IsLst(t)) goto fail;
        const TAGGED *tp = LstPtr(t);
        unify_work.push_back(tp[1]);
        unify_work.push_back(src[1]);
        t = tp[0];
        c = src[0];
        continue;
      }
      }
      if (unify_work.size() == base) return true;
      c = unify_work.back();
      unify_work.pop_back();
      t = unify_work.back();
      unify_work.pop_back();
    }
  fail:
    unify_work.resize(base);
    return false;
  }
};

/* Unify the call with the clause's head and answer its body on the heap, or 0 when the head does
 * not match. */
TAGGED try_clause(worker *w, TAGGED goal, const instance *ins)
{
  uint32_t words = qx_instance_body_words(ins);
  const TAGGED *body = ins->body;
  qx_heap_room(w, words);
  ClauseTry clause(ins, words);
  TAGGED head_functor = body[0];
  uint32_t head_at = 0;
  TAGGED body_cell = atom_true;
  if (head_functor == qx_K.neck && words > 1) {
    TAGGED h = body[1];
    body_cell = body[2];
    if (IsConst(h)) return clause.build(w, body_cell); /* an atom head: nothing to unify */
    head_at = ClauseTry::index(h);
    head_functor = body[head_at];
  } else if (words == 1) {
    return atom_true; /* an atom fact */
  }
  uint32_t arity = Arity(head_functor);
  const TAGGED *args = StrArgs(goal);
  for (uint32_t i = 0; i < arity; i++)
    if (!clause.unify(w, args[i], body[head_at + 1 + i])) return 0;
  return clause.build(w, body_cell);
}

inline TAGGED call_key(TAGGED goal) { return IsStr(goal) ? qx_arg_key(StrArg(goal, 1)) : 0; }

/* Saved words of a clause retry node: the goal, the definition, the clause to try next, where
 * the walk over the candidates stands, and the call's clause clock. */
enum : int {
  RETRY_GOAL,
  RETRY_DEF,
  RETRY_CLAUSE,
  RETRY_WALK,
  RETRY_CLOCK = RETRY_WALK + QX_WALK_WORDS,
  RETRY_WORDS = RETRY_CLOCK + QX_CLOCK_WORDS
};

inline bool is_retry_op(int op) { return op == QX_ALT_RETRY_C || op == QX_ALT_RETRY_DB; }

/* The native being run, saved across a nested run of the loop. */
struct NativeContext {
  definition *def;
  TAGGED goal;
  mod_def *context;
};

inline void set_running_native(definition *def, TAGGED goal, mod_def *context = nullptr)
{
  running_native = def;
  running_goal = goal;
  running_context = context ? context : (def ? def->module : nullptr);
  qx_set_native_goal(goal, def ? def->module : nullptr);
}

/* An error of the interpreter itself (not of a native): no goal in its context. */
void interp_error(worker *w, uint32_t code, const char *message, TAGGED culprit)
{
  qx_heap_room(w, 64);
  qx_set_native_goal(0, nullptr);
  save_error(code, message, culprit);
  raise_error_goal(0, 0);
}

enum RunStart { START_GOAL, START_FAIL, START_THROW };

/* catch/3's activity flag: unbound while its goal runs, bound (trailed) once the goal exited. */
bool catch_active(const node *b) { return IsVar(deref(b->term[1])); }

bool ball_is_reserved()
{
  const instance *ins = qx_eg.exception;
  return ins && qx_instance_body_words(ins) > 1 && ins->body[0] == qx_K.reserved1;
}

int undefined_call(worker *w, definition *def, mod_def *ctx, TAGGED goal)
{
  TAGGED unknown = qx_eg.current_unknown;
  if (unknown == atom_fail) return 0;
  qx_heap_room(w, 32);
  TAGGED name = def ? def->proc.printname : (IsAtom(goal) ? goal : FunctorName(StrFunctor(goal)));
  uint32_t arity = def ? def->proc.arity : (IsAtom(goal) ? 0 : Arity(StrFunctor(goal)));
  if (unknown != atom_error) {
    std::fprintf(stderr, "* %s:%s/%u is undefined\n", atom_name(ctx->name), atom_name(name), arity);
    return 0;
  }
  TAGGED pi =
      qx_make_struct(w, MakeFunctor(qx_char_atom_fixed('/'), 2), {name, MakeSmall((int32_t)arity)});
  TAGGED culprit = qx_make_struct(w, functor_colon2, {ctx->name, pi});
  interp_error(w, QX_ERR_EXISTENCE, "procedure", culprit);
  return 0;
}

/* A predicate the interpreter cannot run: compiled clauses, indexicals, block declarations. */
void unsupported_call(worker *w, definition *def)
{
  const char *what = def->predtyp == FD_CONSTRAINT                ? "indexical code is"
                     : def->predtyp <= ENTER_PROFILEDCODE_INDEXED ? "compiled code is"
                     : def->properties.block                      ? "block declarations are"
                                                                  : "this kind of predicate is";
  char msg[512];
  std::snprintf(msg, sizeof msg, "%s not supported: %s:%s/%u", what, atom_name(def->module->name),
                atom_name(def->proc.printname), def->proc.arity);
  interp_error(w, QX_ERR_SYSTEM, msg, 0);
}

/* Goal with n extra arguments (call/N). 0 when goal is not callable. */
TAGGED add_args(worker *w, TAGGED goal, const TAGGED *extra, uint32_t n)
{
  goal = deref(goal);
  if (n == 0) return IsAtom(goal) || (IsStr(goal) && !IsBoxHeader(StrFunctor(goal))) ? goal : 0;
  qx_heap_room(w, 260 + n);
  if (IsAtom(goal)) {
    TAGGED *p = w->global_top;
    p[0] = MakeFunctor(goal, n);
    std::memcpy(p + 1, extra, n * sizeof(TAGGED));
    w->global_top += n + 1;
    return MakeStr(p);
  }
  if (!IsStr(goal) || IsBoxHeader(StrFunctor(goal))) return 0;
  uint32_t a = Arity(StrFunctor(goal));
  if (a + n > QX_MAX_ARITY) return 0;
  TAGGED *p = w->global_top;
  p[0] = MakeFunctor(FunctorName(StrFunctor(goal)), a + n);
  std::memcpy(p + 1, StrArgs(goal), a * sizeof(TAGGED));
  std::memcpy(p + 1 + a, extra, n * sizeof(TAGGED));
  w->global_top += a + n + 1;
  return MakeStr(p);
}

/* Lookup cache: (context, key) -> definition, valid for one definition generation. */
struct CacheEntry {
  TAGGED key;
  mod_def *ctx;
  definition *def;
  uint32_t generation;
};
CacheEntry call_cache[4096];

inline definition *lookup(mod_def *ctx, TAGGED key)
{
  CacheEntry &e = call_cache[((key >> 3) ^ ((uintptr_t)ctx >> 3)) & 4095];
  if (e.key == key && e.ctx == ctx && e.generation == qx_eg.def_generation) return e.def;
  definition *d = qx_resolve_call(ctx, key);
  e = CacheEntry{key, ctx, d, qx_eg.def_generation};
  return d;
}

inline frame *push_frame_cut(worker *w, TAGGED goal, uint32_t cut_b, mod_def *ctx)
{
  frame *f = qx_push_frame(w, goal, ctx);
  f->cut_b = cut_b;
  return f;
}

/* Unwinds to the catch/3 whose goal was running when the ball was thrown and whose catcher
 * unifies with the ball: answers true with its recovery goal and context, or false at the run's
 * bottom node (restored and left in place). Which catches are active is read before anything is
 * undone, since undoing the nodes of a goal that exited would make its catch look active again. */
bool unwind_to_catcher(worker *w, TAGGED *recovery, mod_def **ctx)
{
  std::vector<uint32_t> &active = active_catches;
  active.clear();
  if (!ball_is_reserved())
    for (node *b = w->node_; b < w->choice_start && !qx_is_bottom_op(NodeAlt(b)->op);
         b = qx_node_below(b))
      if (NodeAlt(b)->op == QX_ALT_CATCH && catch_active(b)) active.push_back(qx_node_offset(w, b));
  size_t next = 0;
  while (qx_has_node(w)) {
    node *b = w->node_;
    qx_restore_node(w, b);
    bool bottom = qx_is_bottom_op(NodeAlt(b)->op);
    bool candidate = next < active.size() && qx_node_offset(w, b) == active[next];
    if ((bottom || candidate) && trim_after_fault) {
      trim_after_fault = false;
      trimcore(w, 0);
    }
    if (bottom) return false;
    if (candidate) {
      next++;
      TAGGED ball = qx_exception_term(w);
      TAGGED catch_goal = b->term[0];
      mod_def *catch_ctx = qx_unraw<mod_def>(b->term[2]);
      /* Unifying may trail and so move the choicepoint area: b is not used afterwards. */
      if (cunify(w, StrArg(catch_goal, 2), ball)) {
        qx_clear_exception();
        qx_pop_node(w);
        *recovery = StrArg(catch_goal, 3);
        *ctx = catch_ctx;
        return true;
      }
      qx_restore_node(w, w->node_);
    }
    qx_pop_node(w);
  }
  return false;
}

/* The retry step of a nondeterministic native: state restored from node b. 0 when it fails. */
int retry_native(worker *w, node *b, const alt_code *alt)
{
  int nsaved = alt->nregs - (alt->op == QX_ALT_RETRY_DB ? 3 : 2);
  std::memcpy(w->term, b->term, (size_t)nsaved * sizeof(TAGGED));
  definition *def = qx_unraw<definition>(b->term[nsaved]);
  set_running_native(def, b->term[nsaved + 1]);
  uint32_t b_off = qx_node_offset(w, b);
  if (def->retry(w)) return 1;
  if (qx_node_offset(w, w->node_) == b_off) qx_pop_node(w);
  return 0;
}

int run(worker *w, TAGGED goal, uint32_t cut_b, mod_def *ctx, RunStart start)
{
  definition *def;
  TAGGED key;
  TAGGED body;        /* a clause's body after its head matched, or 0 */
  uint32_t clause_b0; /* and the barrier of its cuts */

  if (start == START_FAIL) goto fail;
  if (start == START_THROW) goto throw_ball;

next_goal:
  if (QX_UNLIKELY(w->global_top >= w->heap_warn_soft)) {
    /* The goal waits in a frame while the pending work runs, so that nothing lives only here. */
    frame *f = push_frame_cut(w, goal, cut_b, ctx);
    TAGGED work = qx_pending_work(w);
    if (work) {
      goal = work;
      cut_b = qx_node_offset(w, w->node_);
      ctx = qx_eg.user_module;
    } else if (w->cont != f) {
      goto proceed; /* an event inserted goals before it */
    } else {
      w->cont = f->next;
      w->local_top = f;
      goal = f->goal;
    }
  }
  goal = deref(goal);
  if (IsStr(goal)) {
    key = StrFunctor(goal);
    if (IsBoxHeader(key)) goto not_callable;
  } else if (IsAtom(goal)) {
    key = goal;
  } else if (IsRef(goal)) {
    interp_error(w, QX_ERR_INSTANTIATION, "", 0);
    goto fail;
  } else {
    goto not_callable;
  }

  /* ---- control constructs ---- */
  if (key == functor_comma2) {
    push_frame_cut(w, StrArg(goal, 2), cut_b, ctx);
    goal = StrArg(goal, 1);
    goto next_goal;
  }
  if (key == atom_true) goto proceed;
  if (key == qx_K.cut) {
    qx_cut_to(w, qx_offset_node(w, cut_b));
    goto proceed;
  }
  if (key == qx_K.semicolon) {
    TAGGED left = deref(StrArg(goal, 1));
    uint32_t here = qx_node_offset(w, w->node_);
    w->term[0] = StrArg(goal, 2);
    w->term[1] = qx_barrier_term(cut_b);
    w->term[2] = qx_raw(ctx);
    if (IsStr(left) && StrFunctor(left) == qx_K.arrow) {
      node *b = qx_push_node(w, qx_alt(QX_ALT_ITE_ELSE, 3));
      uint32_t cond_b = qx_node_offset(w, b);
      qx_heap_room(w, 8);
      push_frame_cut(w, qx_make_struct(w, qx_K.ite_then, {qx_barrier_term(here), StrArg(left, 2)}),
                     cut_b, ctx);
      goal = StrArg(left, 1);
      cut_b = cond_b;
      goto next_goal;
    }
    qx_push_node(w, qx_alt(QX_ALT_DISJ, 3));
    goal = left;
    goto next_goal;
  }
  if (key == qx_K.arrow || key == qx_K.not_) {
    /* (C -> T) is (C -> T ; fail); \+ G is (G -> fail ; true). */
    uint32_t here = qx_node_offset(w, w->node_);
    bool negation = key == qx_K.not_;
    w->term[0] = negation ? atom_true : atom_fail;
    w->term[1] = qx_barrier_term(cut_b);
    w->term[2] = qx_raw(ctx);
    node *b = qx_push_node(w, qx_alt(QX_ALT_ITE_ELSE, 3));
    uint32_t cond_b = qx_node_offset(w, b);
    qx_heap_room(w, 8);
    push_frame_cut(w,
                   qx_make_struct(w, qx_K.ite_then,
                                  {qx_barrier_term(here), negation ? atom_fail : StrArg(goal, 2)}),
                   cut_b, ctx);
    goal = StrArg(goal, 1);
    cut_b = cond_b;
    goto next_goal;
  }
  if (key == qx_K.ite_then) {
    qx_cut_to(w, qx_offset_node(w, qx_barrier_offset(deref(StrArg(goal, 1)))));
    goal = StrArg(goal, 2);
    goto next_goal;
  }
  if (key == atom_fail || key == qx_K.false_) goto fail;
  if (key == functor_colon2) {
    TAGGED m = deref(StrArg(goal, 1));
    if (IsRef(m)) {
      interp_error(w, QX_ERR_INSTANTIATION, "", 0);
      goto fail;
    }
    if (!IsAtom(m)) {
      interp_error(w, QX_ERR_TYPE, "atom", m);
      goto fail;
    }
    ctx = find_module(m, 1);
    goal = StrArg(goal, 2);
    goto next_goal;
  }
  if (IsStr(goal) && FunctorName(key) == atom_call) {
    uint32_t n = Arity(key);
    if (IsVar(deref(StrArg(goal, 1)))) {
      interp_error(w, QX_ERR_INSTANTIATION, "", 0);
      goto fail;
    }
    TAGGED g = add_args(w, StrArg(goal, 1), StrArgs(goal) + 1, n - 1);
    if (!g) {
      interp_error(w, QX_ERR_TYPE, "callable", deref(StrArg(goal, 1)));
      goto fail;
    }
    goal = g;
    cut_b = qx_node_offset(w, w->node_); /* call/N is opaque to cut */
    goto next_goal;
  }
  if (key == qx_K.catch3) {
    qx_heap_room(w, 16);
    TAGGED *flag = w->global_top++;
    *flag = MakeRef(flag);
    w->term[0] = goal;
    w->term[1] = *flag;
    w->term[2] = qx_raw(ctx);
    node *b = qx_push_node(w, qx_alt(QX_ALT_CATCH, 3));
    uint32_t here = qx_node_offset(w, b);
    push_frame_cut(w, qx_make_struct(w, qx_K.catch_exit, {*flag, qx_barrier_term(here)}), cut_b,
                   ctx);
    goal = StrArg(goal, 1);
    cut_b = here;
    goto next_goal;
  }
  if (key == qx_K.catch_exit) {
    node *b = qx_offset_node(w, qx_barrier_offset(deref(StrArg(goal, 2))));
    if (w->node_ == b)
      qx_cut_to(w, qx_node_below(b));
    else
      bind_var(w, deref(StrArg(goal, 1)),
               atom_nil); /* no longer catching; undone on backtracking */
    goto proceed;
  }
  if (key == qx_K.throw1) {
    TAGGED ball = deref(StrArg(goal, 1));
    if (IsRef(ball)) {
      interp_error(w, QX_ERR_INSTANTIATION, "", 0);
      goto fail;
    }
    qx_set_exception(w, ball);
    goto throw_ball;
  }
  if (key == qx_K.call_cleanup2) {
    /* '$cleanup'(M:Cleanup, Done, Exited) on the trail: Done once the cleanup ran (never undone),
     * Exited while the goal has exited with choicepoints left (undone on backtracking into it). */
    qx_heap_room(w, 16);
    TAGGED *flags = w->global_top;
    flags[0] = MakeRef(&flags[0]);
    flags[1] = MakeRef(&flags[1]);
    w->global_top += 2;
    TAGGED cleanup = qx_make_struct(
        w, qx_K.cleanup3,
        {qx_make_struct(w, functor_colon2, {ctx->name, StrArg(goal, 2)}), flags[0], flags[1]});
    qx_trail_cleanup(w, cleanup);
    uint32_t here = qx_node_offset(w, w->node_);
    push_frame_cut(w, qx_make_struct(w, qx_K.cleanup_exit, {cleanup, qx_barrier_term(here)}), cut_b,
                   ctx);
    goal = StrArg(goal, 1);
    cut_b = here;
    goto next_goal;
  }
  if (key == qx_K.cleanup_exit) {
    TAGGED cleanup = deref(StrArg(goal, 1));
    node *b = qx_offset_node(w, qx_barrier_offset(deref(StrArg(goal, 2))));
    TAGGED done = deref(StrArg(cleanup, 2));
    if (IsVar(done)) {
      if (w->node_ == b) {
        *RefPtr(done) = atom_true; /* deterministic exit: run it now, once */
        qx_heap_room(w, 4);
        goal = qx_make_struct(w, qx_K.run_cleanup, {StrArg(cleanup, 1)});
        cut_b = qx_node_offset(w, w->node_);
        goto next_goal;
      }
      bind_var(w, deref(StrArg(cleanup, 3)), atom_true);
      qx_mark_nodes(w); /* a cut that removes the goal's nodes runs the cleanup */
    }
    goto proceed;
  }
  if (key == qx_K.run_cleanup) {
    /* (catch(G, _, true) -> true ; true): errors and failure of a cleanup goal are ignored. */
    qx_heap_room(w, 16);
    TAGGED *any = w->global_top++;
    *any = MakeRef(any);
    TAGGED c = qx_make_struct(w, qx_K.catch3, {StrArg(goal, 1), *any, atom_true});
    goal = qx_make_struct(w, qx_K.semicolon,
                          {qx_make_struct(w, qx_K.arrow, {c, atom_true}), atom_true});
    goto next_goal;
  }

  /* ---- predicates ---- */
  def = lookup(ctx, key);
  if (QX_UNLIKELY(!def)) goto undefined;
  switch (def->predtyp) {
  case ENTER_INTERPRETED: {
    if (QX_UNLIKELY(def->properties.block)) {
      unsupported_call(w, def);
      goto fail;
    }
    uint64_t clock = qx_eg.clause_clock;
    TAGGED ckey = call_key(goal);
    qx_clause_walk walk;
    qx_walk_begin(def, ckey, &walk);
    instance *ins = qx_walk_next(&walk, ckey, clock);
    if (!ins) goto fail;
    uint32_t b0 = qx_node_offset(w, w->node_); /* offsets survive growth of the area */
    instance *alt = qx_walk_next(&walk, ckey, clock);
    if (alt) {
      w->term[RETRY_GOAL] = goal;
      w->term[RETRY_DEF] = qx_raw(def);
      w->term[RETRY_CLAUSE] = qx_raw(alt);
      qx_save_walk(&w->term[RETRY_WALK], &walk);
      qx_save_clock(&w->term[RETRY_CLOCK], clock);
      qx_push_node(w, qx_alt(QX_ALT_RETRY_CLAUSE, RETRY_WORDS));
      qx_definition_enter(def);
    }
    body = try_clause(w, goal, ins);
    clause_b0 = b0;
    goto enter_body;
  }
  case BUILTIN_DET:
  case ENTER_C:
  case BUILTIN_NONDET:
  case ENTER_C_NONDET: {
    uint32_t arity = def->proc.arity;
    if (arity) std::memcpy(w->term, StrArgs(goal), arity * sizeof(TAGGED));
    uint32_t before = qx_node_offset(w, w->node_);
    set_running_native(def, goal, ctx);
    if (!def->code.native(w)) {
      if (qx_node_offset(w, w->node_) != before && is_retry_op(NodeAlt(w->node_)->op))
        qx_pop_node(w);
      goto fail;
    }
    /* Success with an error node pushed would lose the error: a native's fault. */
    assert(qx_node_offset(w, w->node_) == before || NodeAlt(w->node_)->op != QX_ALT_ERROR);
    goto proceed;
  }
  case ENTER_UNDEFINED:
    if (def->properties.dynamic) goto fail;
    goto undefined;
  default: unsupported_call(w, def); goto fail;
  }

enter_body:
  if (!body) goto fail;
  goal = body;
  cut_b = clause_b0;
  ctx = def->module;
  goto next_goal;

undefined:
  if (!undefined_call(w, def, ctx, goal)) goto fail;
  goto proceed;

not_callable:
  interp_error(w, QX_ERR_TYPE, "callable", goal);
  goto fail;

proceed : {
  frame *f = w->cont;
  if (f == exitcode) {
    if (QX_UNLIKELY(w->global_top >= w->heap_warn_soft)) {
      TAGGED work = qx_pending_work(w);
      if (work) {
        goal = work;
        cut_b = qx_node_offset(w, w->node_);
        ctx = qx_eg.user_module;
        goto next_goal;
      }
      if (w->cont != exitcode) goto proceed;
    }
    return 1;
  }
  w->cont = f->next;
  goal = f->goal;
  cut_b = f->cut_b;
  ctx = f->ctx;
  w->local_top = f > w->local_uncond ? f : w->local_uncond;
  goto next_goal;
}

fail : {
  if (QX_UNLIKELY(!qx_has_node(w))) return 0;
  node *b = w->node_;
  qx_restore_node(w, b);
  alt_code *alt = NodeAlt(b);
  switch (alt->op) {
  case QX_ALT_TERMCODE:
  case QX_ALT_EXCPCODE:
  case QX_ALT_RUNBASE: return 0;
  case QX_ALT_DISJ:
  case QX_ALT_ITE_ELSE:
    goal = b->term[0];
    cut_b = qx_barrier_offset(b->term[1]);
    ctx = qx_unraw<mod_def>(b->term[2]);
    qx_pop_node(w);
    goto next_goal;
  case QX_ALT_RETRY_CLAUSE: {
    goal = b->term[RETRY_GOAL];
    def = qx_unraw<definition>(b->term[RETRY_DEF]);
    instance *ins = qx_unraw<instance>(b->term[RETRY_CLAUSE]);
    qx_clause_walk walk;
    qx_saved_walk(&b->term[RETRY_WALK], &walk);
    instance *alt_ins = qx_walk_next(&walk, call_key(goal), qx_saved_clock(&b->term[RETRY_CLOCK]));
    bool last = alt_ins == nullptr;
    clause_b0 = qx_node_offset(w, qx_node_below(b));
    if (!last) {
      b->term[RETRY_CLAUSE] = qx_raw(alt_ins);
      qx_save_walk(&b->term[RETRY_WALK], &walk);
      body = try_clause(w, goal, ins);
      goto enter_body;
    }
    /* The last clause: the node stays while it is tried, so that the clause is not freed under
     * the try and a fault inside it unwinds through the node like through any other; bindings
     * are trailed as though the node were gone. It is popped once the try is over. */
    qx_set_uncond(w, qx_node_below(b));
    body = try_clause(w, goal, ins);
    qx_pop_node(w);
    goto enter_body;
  }
  case QX_ALT_RETRY_C:
  case QX_ALT_RETRY_DB:
    if (!retry_native(w, b, alt)) goto fail;
    goto proceed;
  case QX_ALT_ERROR:
    qx_pop_node(w);
    qx_raise_pending(w);
    goto throw_ball;
  default: qx_pop_node(w); goto fail;
  }
}

throw_ball : {
  TAGGED recovery;
  mod_def *recovery_ctx;
  if (!unwind_to_catcher(w, &recovery, &recovery_ctx)) return -1;
  goal = recovery;
  ctx = recovery_ctx;
  cut_b = qx_node_offset(w, w->node_);
  goto next_goal;
}
}

TAGGED goal_of(worker *w, definition *def)
{
  uint32_t arity = def->proc.arity;
  if (arity == 0) return def->proc.printname;
  qx_heap_room(w, arity + 1);
  TAGGED *p = w->global_top;
  p[0] = MakeFunctor(def->proc.printname, arity);
  std::memcpy(p + 1, w->term, arity * sizeof(TAGGED));
  w->global_top += arity + 1;
  return MakeStr(p);
}

/* What do_wam restores when it returns: the caller's continuation, the native that called it, and
 * the scratch stacks of clause tries. */
struct RunFrame {
  frame *cont;
  frame *frame_;
  NativeContext native;
  size_t build_depth;
  size_t unify_depth;

  explicit RunFrame(worker *w)
      : cont(w->cont), frame_(w->frame_), native{running_native, running_goal, running_context},
        build_depth(build_stack.size()), unify_depth(unify_work.size())
  {}
  void reset_scratch()
  {
    build_stack.resize(build_depth);
    unify_work.resize(unify_depth);
  }
  void restore(worker *w)
  {
    w->cont = cont;
    w->frame_ = frame_;
    set_running_native(native.def, native.goal, native.context);
    reset_scratch();
  }
};

/* A fault inside the run becomes the pending exception, thrown from where the run stands. When a
 * fault comes again before the run got past the node of the last one, that node is dropped, so
 * that the unwinding makes progress towards the bottom node. */
RunStart recover(worker *w, RunFrame &run_frame, int kind, const char *message, uint32_t *fault_at)
{
  memman_reinit();
  run_frame.reset_scratch();
  if (kind == QX_FAULT_MEMORY) {
    trim_after_fault = true;
    qx_set_memory_fault_exception();
  } else {
    try {
      qx_heap_room(w, 8);
      TAGGED formal = qx_formal_error(w, QX_ERR_SYSTEM, message, 0);
      TAGGED *context = w->global_top;
      context[0] = MakeFunctor(init_atom_check("context", 0), 2);
      context[1] = MakeRef(&context[1]);
      context[2] = MakeSmall(0);
      w->global_top += 3;
      qx_set_exception(w,
                       qx_make_struct(w, MakeFunctor(atom_error, 2), {formal, MakeStr(context)}));
    } catch (const qx_fault &) {
      memman_reinit();
      qx_set_memory_fault_exception();
    }
  }
  uint32_t here = qx_node_offset(w, w->node_);
  if (here == *fault_at && qx_has_node(w) && !qx_is_bottom_op(NodeAlt(w->node_)->op)) {
    qx_restore_node(w, w->node_);
    qx_pop_node(w);
  }
  *fault_at = qx_node_offset(w, w->node_);
  return START_THROW;
}

/* Runs the cleanup goals left pending, each as a query of its own; a pending exception stays. */
void run_pending_cleanups(worker *w)
{
  if (!qx_cleanup_pending()) return;
  instance *exception = qx_eg.exception;
  qx_eg.exception = nullptr;
  while (instance *ins = qx_cleanup_take()) {
    qx_heap_room(w, qx_instance_heap_words(ins) + 4);
    TAGGED goal = qx_make_struct(w, qx_K.run_cleanup, {qx_copy_from_instance(w, ins)});
    qx_free_instance(ins);
    qx_call_once(w, goal, qx_eg.prolog_module);
    qx_clear_exception();
  }
  qx_eg.exception = exception;
}

}  // namespace

frame *const exitcode = &exit_frame;

TAGGED qx_make_struct(worker *w, TAGGED functor, std::initializer_list<TAGGED> args)
{
  TAGGED *p = w->global_top;
  p[0] = functor;
  uint32_t i = 1;
  for (TAGGED a : args) p[i++] = a;
  w->global_top += i;
  return MakeStr(p);
}

frame *qx_push_frame(worker *w, TAGGED goal, mod_def *ctx)
{
  if ((char *)(w->local_top + 1) > (char *)w->local_end) local_overflow(w, sizeof(frame));
  frame *f = w->local_top++;
  f->next = w->cont;
  f->goal = goal;
  f->cut_b = qx_node_offset(w, w->node_);
  f->ctx = ctx;
  w->cont = f;
  return f;
}

void qx_push_retry(worker *w, int nregs)
{
  w->term[nregs] = qx_raw(running_native);
  w->term[nregs + 1] = running_goal;
  qx_push_node(w, qx_alt(QX_ALT_RETRY_C, nregs + 2));
}

void qx_push_retry_reaching(worker *w, int nregs, definition *reached)
{
  w->term[nregs] = qx_raw(running_native);
  w->term[nregs + 1] = running_goal;
  w->term[nregs + 2] = qx_raw(reached);
  qx_push_node(w, qx_alt(QX_ALT_RETRY_DB, nregs + 3));
  qx_definition_enter(reached);
}

void qx_pop_retry(worker *w) { qx_pop_node(w); }

/* ---- entry points ---- */
int wam(worker *w, int mode, definition *def)
{
  if (mode == -2) return init_wam() == 0;
  return do_wam(w, mode, def);
}

int do_wam(worker *w, int mode, definition *def)
{
  if (mode != 3 && !qx_has_node(w)) return 0;
  RunFrame run_frame(w);
  w->cleanup_hook = qx_queue_cleanup;
  qx_recovery_scope recovery(QX_RECOVERY_EMULATOR);
  mod_def *ctx = def ? def->module : qx_eg.user_module;
  if (mode == 3) {
    qx_push_node(w, qx_alt(QX_ALT_RUNBASE, 0));
    w->cont = exitcode;
  }
  /* Backtracking in starts as the goal fail, so that the event check runs on entry too. */
  RunStart start = START_GOAL;
  bool need_goal = mode == 3;
  uint32_t fault_at = UINT32_MAX;
  int result;
  for (;;) {
    try {
      TAGGED goal = need_goal ? goal_of(w, def) : atom_fail;
      need_goal = false;
      result = run(w, goal, qx_node_offset(w, w->node_), ctx, start);
      break;
    } catch (const qx_fault &fault) {
      need_goal = false;
      start = recover(w, run_frame, fault.kind, fault.message, &fault_at);
    } catch (const std::bad_alloc &) {
      need_goal = false;
      start = recover(w, run_frame, QX_FAULT_MEMORY, "", &fault_at);
    }
  }
  run_frame.restore(w);
  if (result != 1) run_pending_cleanups(w);
  return result;
}

int qx_call_once(worker *w, TAGGED goal, mod_def *ctx)
{
  uint32_t base = qx_node_offset(w, w->node_);
  frame *saved_local = w->local_top;
  definition *call1 = find_definition(qx_eg.prolog_module, qx_K.call[1], nullptr, 0);
  qx_heap_room(w, 8);
  TAGGED query_goal = qx_make_struct(w, functor_colon2, {ctx ? ctx->name : atom_user, goal});
  /* The query's own node, laid out as queries from native code are: goal, first-call marker,
   * term-reference mark. */
  w->term[0] = query_goal;
  w->term[1] = MakeSmall(0);
  w->term[2] = MakeSmall((int32_t)w->fli_stack_index);
  w->current_query = qx_push_node(w, qx_alt(QX_ALT_TERMCODE, 3));
  w->term[0] = query_goal;
  int r = do_wam(w, 3, call1);
  qx_cut_to(w, qx_offset_node(w, base)); /* current_query goes back to the enclosing query */
  if (w->local_top > saved_local && w->local_uncond <= saved_local) w->local_top = saved_local;
  run_pending_cleanups(w);
  return r;
}

mod_def *qx_native_context() { return running_context ? running_context : qx_eg.user_module; }

int qx_call_native(worker *w, definition *def)
{
  uint32_t before = qx_node_offset(w, w->node_);
  NativeContext saved{running_native, running_goal, running_context};
  qx_heap_room(w, def->proc.arity + 1);
  set_running_native(def, goal_of(w, def));
  int r = def->code.native(w) ? 1 : 0;
  set_running_native(saved.def, saved.goal, saved.context);
  if (qx_node_offset(w, w->node_) != before && NodeAlt(w->node_)->op == QX_ALT_ERROR) {
    qx_pop_node(w);
    qx_raise_pending(w);
    r = -1;
  }
  qx_cut_to(w, qx_offset_node(w, before));
  return r;
}

definition *qx_define_native(mod_def *module, const char *name, uint32_t arity, qx_native_fn fn,
                             qx_native_fn retry, int kind)
{
  definition *d = insert_definition(module, init_atom_check(name, 0), arity, 1);
  d->code.native = fn;
  d->retry = retry;
  d->properties.builtin_row = 1;
  d->properties.hidden = kind == BUILTIN_DET || kind == BUILTIN_NONDET;
  update_exports(d, kind);
  qx_eg.def_generation++;
  return d;
}

/* call/1 as a definition, so that queries can name it; the interpreter runs it inline. */
static int call1_native(worker *w)
{
  (void)w;
  return 0;
}

int init_wam()
{
  termcode = qx_alt(QX_ALT_TERMCODE, 0);
  excpcode = qx_alt(QX_ALT_EXCPCODE, 0);
  auto f = [](const char *name, uint32_t arity) {
    TAGGED a = init_atom_check(name, 0);
    return arity ? MakeFunctor(a, arity) : a;
  };
  qx_K.semicolon = f(";", 2);
  qx_K.arrow = f("->", 2);
  qx_K.not_ = f("\\+", 1);
  qx_K.catch3 = f("catch", 3);
  qx_K.throw1 = f("throw", 1);
  for (uint32_t i = 1; i <= 8; i++) qx_K.call[i] = f("call", i);
  qx_K.call[0] = atom_call;
  qx_K.ite_then = f("$ite_then", 2);
  qx_K.catch_exit = f("$catch_exit", 2);
  qx_K.cleanup_exit = f("$cleanup_exit", 2);
  qx_K.call_cleanup2 = f("call_cleanup", 2);
  qx_K.cleanup3 = MakeFunctor(atom_cleanup, 3);
  qx_K.cut = f("!", 0);
  qx_K.false_ = f("false", 0);
  qx_K.neck = f(":-", 2);
  qx_K.reserved1 = f("$reserved", 1);
  qx_K.run_cleanup = f("$run_cleanup", 1);
  qx_K.attr_unify_hook2 = f("attr_unify_hook", 2);
  var_stamp = 0;
  active_catches.reserve(256);
  std::memset(call_cache, 0, sizeof call_cache);
  qx_eg.def_generation++;
  memory_fault_term();
  /* call/1 is named by queries from native code; the loop runs it inline. */
  qx_define_native(qx_eg.prolog_module, "call", 1, call1_native, nullptr, BUILTIN_CONTROL);
  return 0;
}

void deinit_wam()
{
  qx_clear_exception();
  qx_free_memory_fault_term();
  if (qx_eg.pending_error_culprit) qx_free_instance(qx_eg.pending_error_culprit);
  qx_eg.pending_error_culprit = nullptr;
  qx_cleanup_deinit();
  qx_alt_deinit();
  std::vector<VarSlot>().swap(vartab);
  std::vector<TAGGED>().swap(unify_work);
  std::vector<BuildItem>().swap(build_stack);
  std::vector<uint32_t>().swap(active_catches);
}
