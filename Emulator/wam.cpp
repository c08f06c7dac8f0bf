/* The interpreter.
 *
 * One loop runs goals of two shapes: terms (queries, call/N, the goals control constructs take
 * apart), and the code of clause bodies, made when a clause is stored (clause_code.h), which runs
 * over a variable table of its frame without copying the body to the heap. Both dispatch by kind
 * in a switch: a term by the kind of its functor, code by its instruction. Predicates are called
 * with their arguments in term[]; interpreted clauses are selected by their first-argument key
 * (the index or the chain), and the head is unified with the arguments against the clause's code.
 *
 * Failure restores the newest choicepoint and branches on its alternative. Exceptions unwind the
 * choicepoints newest first to an active catch/3 or to the run's bottom node.
 */
#include "wam.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>
#include <vector>

#include "atoms.h"
#include "builtins.h"
#include "clause_try.h"
#include "database.h"
#include "errors.h"
#include "foreign.h"
#include "gc.h"
#include "memman.h"
#include "modules.h"
#include "qload.h"
#include "unify.h"
#include "wam_internal.h"

qx_control_functors qx_K;
qx_goal_slot qx_goal_table[1u << QX_GOAL_TABLE_BITS];
uint32_t qx_goal_mult;

namespace {

frame exit_frame{nullptr, QX_FRAME_GOAL, 0, nullptr, {atom_true}, {nullptr}};

/* The native being run (for retry nodes and error contexts). */
definition *running_native;
TAGGED running_goal;      /* its functor word, or a goal term */
mod_def *running_context; /* the module the native was called from */

/* The catch/3 nodes active when a ball is thrown: kept allocated, so that a throw after a memory
 * fault needs no memory. */
std::vector<uint32_t> active_catches;
/* A memory fault is being unwound: the memory the run took is given back once its heap top is
 * restored, before the ball is unified with a catcher. */
bool trim_after_fault;

/* Saved words of a node resuming in a clause's code: the frame's table (words from the local
 * stack's start), the resumption (words from the body's first instruction), the cut barrier and
 * the context. The clause is found through the table's header word. */
enum : int { ELSE_ENV, ELSE_PC, ELSE_CUT, ELSE_CTX, ELSE_WORDS };

/* The word before a table's slots: its clause's template blocks, from which the clause is found
 * (the resumption of a frame needs the blocks at once, the clause seldom). */
inline const uint32_t *env_blocks(const TAGGED *env)
{
  return (const uint32_t *)(uintptr_t)env[-1];
}
inline const qx_clause_info *env_clause(const TAGGED *env)
{
  return qx_clause((const instance *)qx_t_instance(env_blocks(env)));
}
/* The first instruction of the body a table belongs to: code addresses count from it. */
inline const uint32_t *body_code(const TAGGED *env)
{
  const qx_clause_info *c = env_clause(env);
  return c->code + c->body;
}

/* The alternative codes of clause retry nodes by arity (walking on, and of a last candidate),
 * made when first needed. */
alt_code *retry_alts[QX_ARG_REGISTERS + 1];
alt_code *retry_last_alts[QX_ARG_REGISTERS + 1];
inline alt_code *retry_alt(uint32_t arity)
{
  alt_code *&a = retry_alts[arity];
  if (QX_UNLIKELY(!a)) a = qx_alt(QX_ALT_RETRY_CLAUSE, QX_RETRY_ARGS + (int)arity);
  return a;
}
inline alt_code *retry_last_alt(uint32_t arity)
{
  alt_code *&a = retry_last_alts[arity];
  if (QX_UNLIKELY(!a)) a = qx_alt(QX_ALT_RETRY_LAST, QX_LAST_ARGS + (int)arity);
  return a;
}

/* Copies a call's n argument words: a few stores for the common small arities instead of a
 * library call. */
QX_HOT_INLINE void copy_args(TAGGED *to, const TAGGED *from, uint32_t n)
{
  switch (n) {
  case 6: to[5] = from[5]; [[fallthrough]];
  case 5: to[4] = from[4]; [[fallthrough]];
  case 4: to[3] = from[3]; [[fallthrough]];
  case 3: to[2] = from[2]; [[fallthrough]];
  case 2: to[1] = from[1]; [[fallthrough]];
  case 1: to[0] = from[0]; [[fallthrough]];
  case 0: return;
  default: std::memcpy(to, from, n * sizeof(TAGGED));
  }
}

/* The arguments of a call whose cells are all variables met before: the table's words. */
QX_HOT_INLINE void put_seen(TAGGED *to, const TAGGED *env, const uint32_t *cells, int n)
{
  switch (n) {
  case 4: to[3] = env[qx_t_slot(cells[3])]; [[fallthrough]];
  case 3: to[2] = env[qx_t_slot(cells[2])]; [[fallthrough]];
  case 2: to[1] = env[qx_t_slot(cells[1])]; [[fallthrough]];
  case 1: to[0] = env[qx_t_slot(cells[0])]; [[fallthrough]];
  case 0: return;
  default:
    for (int i = 0; i < n; i++) to[i] = env[qx_t_slot(cells[i])];
  }
}

/* Pops the newest node, a clause retry node (never a query's). */
inline void pop_retry_clause(worker *w)
{
  node *b = w->node_;
  qx_definition_leave(qx_unraw<definition>(b->term[QX_RETRY_DEF]));
  w->node_ = qx_node_below(b);
  qx_set_uncond(w, w->node_);
}

/* qx_cut_to with its common cases inline: nothing to cut, or one unmarked node of a clause or
 * an if-then-else (no query's node, no trail entries waiting for it to go). */
QX_HOT_INLINE void cut_to(worker *w, node *barrier)
{
  node *b = w->node_;
  if (b >= barrier) return;
  uintptr_t alt = (uintptr_t)b->next_alt;
  int op = (alt & 1) ? -1 : ((const alt_code *)alt)->op;
  bool plain = qx_is_clause_retry(op) || op == QX_ALT_ITE_ELSE || op == QX_ALT_BODY_ELSE;
  if (plain && qx_node_below(b) == barrier) {
    if (qx_is_clause_retry(op)) qx_definition_leave(qx_unraw<definition>(b->term[QX_RETRY_DEF]));
    w->node_ = barrier;
    qx_set_uncond(w, barrier);
    return;
  }
  qx_cut_to(w, barrier);
}

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
  qx_gc_root keep(&culprit);
  qx_heap_room(w, 64);
  qx_set_native_goal(0, nullptr);
  save_error(code, message, culprit);
  raise_error_goal(0, 0);
}

/* The runs of do_wam under way, oldest first: the continuation each suspended (clause bodies
 * resume from them), the goal of the native that started it (in its RunFrame) and the goal its
 * run is taking apart (null between runs); the goals are collector roots. */
struct SuspendedRun {
  frame *cont;
  TAGGED *native_goal;
  TAGGED *run_goal;
};
std::vector<SuspendedRun> suspended_runs;

/* The goal a run takes apart, a collector root while the run is under way. The address stored
 * is taken back before the run's frame goes. */
struct RunGoalRoot {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
  explicit RunGoalRoot(TAGGED *goal) { suspended_runs.back().run_goal = goal; }
#pragma GCC diagnostic pop
  ~RunGoalRoot() { suspended_runs.back().run_goal = nullptr; }
  RunGoalRoot(const RunGoalRoot &) = delete;
  RunGoalRoot &operator=(const RunGoalRoot &) = delete;
};

enum RunStart { START_GOAL, START_FAIL, START_THROW };

/* catch/3's activity flag: unbound while its goal runs, bound (trailed) once the goal exited. */
bool catch_active(const node *b) { return IsVar(deref(b->term[1])); }

bool ball_is_reserved()
{
  const instance *ins = qx_eg.exception;
  return ins && qx_instance_body_words(ins) > 1 && ins->body[0] == qx_K.reserved1;
}

/* A call of `key` (a functor word, or an atom) with no clauses and no code. */
int undefined_call(worker *w, mod_def *ctx, TAGGED key)
{
  TAGGED unknown = qx_eg.current_unknown;
  if (unknown == atom_fail) return 0;
  qx_heap_room(w, 32);
  TAGGED name = FunctorName(key);
  uint32_t arity = IsAtom(key) ? 0 : Arity(key);
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

/* Goal with n extra arguments (call/N). 0 when goal is not callable. The caller has made room
 * for 260 + n words. */
TAGGED add_args(worker *w, TAGGED goal, const TAGGED *extra, uint32_t n)
{
  goal = deref(goal);
  if (n == 0) return IsAtom(goal) || (IsStr(goal) && !IsBoxHeader(StrFunctor(goal))) ? goal : 0;
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

/* Deterministic clause selections: (definition, first-argument key) -> the one candidate, valid
 * while the clause clock stands where it stood: every clause born or dead moves it, and a clause
 * is freed only after its death (a definition only with its clauses). */
struct SelectEntry {
  const definition *def;
  TAGGED key;
  const qx_clause_info *clause;
  uint64_t clock;
};
SelectEntry select_cache[1024];

inline uint32_t select_slot(const definition *def, TAGGED key)
{
  return (uint32_t)(((uintptr_t)def >> 4) ^ (key >> 3) ^ (key >> 13)) & 1023;
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

/* The text of the C++ exception being handled; a fault or bad_alloc is thrown on, to be
 * recovered from as a fault. */
void exception_text(char *text, size_t size)
{
  try {
    throw;
  } catch (const qx_fault &) {
    throw;
  } catch (const std::bad_alloc &) {
    throw;
  } catch (const std::exception &e) {
    size_t used = 0;
    qx_append_valid_text(text, size, &used, e.what());
  } catch (...) {
    std::snprintf(text, size, "unknown exception");
  }
}

/* A C++ exception left a native called with the newest node at offset `before`, term references
 * up to `mark` and the foreign-call flag `flag`. Those come back; a fault then goes on to the
 * run's recovery point, any other exception becomes system_error naming the predicate, raised
 * once the nodes the native pushed are undone and gone. */
[[gnu::cold, gnu::noinline]] int native_threw(worker *w, definition *def, uint32_t before,
                                              uint32_t mark, int flag)
{
  w->fli_stack_index = mark;
  w->fli_info.excp_flag = flag;
  char what[512], text[640], arity[16];
  exception_text(what, sizeof what);
  std::snprintf(arity, sizeof arity, "/%u: ", def->proc.arity);
  /* the predicate's name first, so that a long message is what gets cut */
  size_t used = 0;
  for (const char *piece : {"C++ exception in ", atom_name(def->module->name), ":",
                            atom_name(def->proc.printname), (const char *)arity, (const char *)what})
    if (!qx_append_valid_text(text, sizeof text, &used, piece)) break;
  while (qx_node_offset(w, w->node_) > before) {
    qx_restore_node(w, w->node_);
    qx_pop_node(w);
  }
  save_error(QX_ERR_SYSTEM, text, 0);
  return raise_error(def->module->name, def->proc.printname, (int)def->proc.arity, 0);
}

/* Every native is called through here: a try block costs nothing unless something is thrown. */
template <class Call>
inline int native_boundary(worker *w, definition *def, uint32_t before, Call call)
{
  uint32_t mark = w->fli_stack_index;
  int flag = w->fli_info.excp_flag;
  try {
    return call();
  } catch (...) {
    return native_threw(w, def, before, mark, flag);
  }
}

/* The retry step of a nondeterministic native: state restored from node b. 0 when it fails. */
int retry_native(worker *w, node *b, const alt_code *alt)
{
  int nsaved = alt->nregs - (alt->op == QX_ALT_RETRY_DB ? 3 : 2);
  std::memcpy(w->term, b->term, (size_t)nsaved * sizeof(TAGGED));
  definition *def = qx_unraw<definition>(b->term[nsaved]);
  set_running_native(def, b->term[nsaved + 1]);
  uint32_t b_off = qx_node_offset(w, b);
  if (native_boundary(w, def, b_off, [&] { return def->retry(w); })) return 1;
  if (qx_node_offset(w, w->node_) == b_off) qx_pop_node(w);
  return 0;
}

inline frame *push_frame_cut(worker *w, TAGGED goal, uint32_t cut_b, mod_def *ctx)
{
  frame *f = qx_push_frame(w, goal, ctx);
  f->cut_b = cut_b;
  return f;
}

/* A control construct's marker: what to do when its goal exits (no term on the heap). */
inline void push_marker(worker *w, uint32_t kind, TAGGED goal, uint32_t barrier, uint32_t cut_b,
                        mod_def *ctx)
{
  frame *f = push_frame_cut(w, goal, cut_b, ctx);
  f->kind = kind;
  f->barrier = barrier;
}

/* The rest of a clause's code as the continuation. */
QX_HOT_INLINE frame *push_body(worker *w, const uint32_t *pc, TAGGED *env, uint32_t cut_b,
                               mod_def *ctx)
{
  if (QX_UNLIKELY((char *)(w->local_top + 1) > (char *)w->local_end))
    local_overflow(w, sizeof(frame));
  frame *f = w->local_top++;
  f->next = w->cont;
  f->kind = QX_FRAME_BODY;
  f->cut_b = cut_b;
  f->ctx = ctx;
  f->pc = pc;
  f->env = env;
  w->cont = f;
  return f;
}

/* The slow path of the event check: true when work is to run first, as the goal (opaque to cut,
 * in module user). */
inline bool take_pending_work(worker *w, TAGGED *goal, uint32_t *cut_b, mod_def **ctx)
{
  TAGGED work = qx_pending_work(w);
  if (!work) return false;
  *goal = work;
  *cut_b = qx_node_offset(w, w->node_);
  *ctx = qx_eg.user_module;
  return true;
}

/* A clause's variable table goes once its last goal is called, unless a node still needs it. */
inline void release_env(worker *w, TAGGED *env)
{
  frame *base = (frame *)(env - 1);
  w->local_top = base > w->local_uncond ? base : w->local_uncond;
}

/* The event check before an instruction that starts a goal; after the check ran for it, the
 * instruction runs whatever the limit says (events may stay pending while they are disabled). */
#define CODE_EVENT_CHECK                                                                           \
  if (QX_UNLIKELY(w->global_top >= w->heap_warn_soft) && !event_done) goto code_event;             \
  event_done = false

/* Heap room while clause code runs: the running clause's table is a root during a collection. */
inline void code_room(worker *w, uint32_t words, TAGGED *env)
{
  if (!qx_heap_tight(w, words + 256)) return;
  qx_gc_root table(env, env_clause(env)->nvars);
  call_overflow(w, words + 256, 0);
}

/* The loop's speed depends on where its hot paths fall in 64-byte lines (how the branches of a
 * clause call share them): its start is fixed to a line, so that the placement measured is the
 * one every link order gives. */
__attribute__((aligned(64))) int run(worker *w, TAGGED goal, uint32_t cut_b, mod_def *ctx,
                                     RunStart start)
{
  RunGoalRoot goal_root(&goal); /* the goal being taken apart lives only here */
  definition *def;
  TAGGED key;
  const uint32_t *pc = nullptr; /* code mode: the next instruction, */
  TAGGED *env = nullptr;        /* the frame's variable table */
  const uint32_t *blocks = nullptr;
  const qx_clause_info *clause; /* a clause to try, */
  uint32_t clause_b0;      /* the barrier of its cuts */
  bool pop_after_try;      /* the last alternative: its retry node goes once the head is tried */
  bool event_done = false; /* the event check before the next instruction or marker has run */

  if (start == START_FAIL) goto fail;
  if (start == START_THROW) goto throw_ball;

  /* ---- goals as terms ---- */
next_goal:
  if (QX_UNLIKELY(w->global_top >= w->heap_warn_soft)) {
    /* The goal waits in a frame while the pending work runs, so that nothing lives only here. */
    frame *f = push_frame_cut(w, goal, cut_b, ctx);
    if (take_pending_work(w, &goal, &cut_b, &ctx)) goto next_goal;
    if (w->cont != f) goto proceed; /* an event inserted goals before it */
    w->cont = f->next;
    w->local_top = f;
    goal = f->goal;
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

  switch (qx_goal_kind(key)) {
  case QX_GOAL_CONJ:
    push_frame_cut(w, StrArg(goal, 2), cut_b, ctx);
    goal = StrArg(goal, 1);
    goto next_goal;
  case QX_GOAL_TRUE: goto proceed;
  case QX_GOAL_CUT: cut_to(w, qx_offset_node(w, cut_b)); goto proceed;
  case QX_GOAL_FAIL: goto fail;
  case QX_GOAL_DISJ: {
    TAGGED left = deref(StrArg(goal, 1));
    uint32_t here = qx_node_offset(w, w->node_);
    w->term[0] = StrArg(goal, 2);
    w->term[1] = qx_barrier_term(cut_b);
    w->term[2] = qx_raw(ctx);
    if (IsStr(left) && StrFunctor(left) == qx_K.arrow) {
      node *b = qx_push_node(w, qx_alt(QX_ALT_ITE_ELSE, 3));
      uint32_t cond_b = qx_node_offset(w, b);
      push_marker(w, QX_FRAME_ITE_THEN, StrArg(left, 2), here, cut_b, ctx);
      goal = StrArg(left, 1);
      cut_b = cond_b;
      goto next_goal;
    }
    qx_push_node(w, qx_alt(QX_ALT_DISJ, 3));
    goal = left;
    goto next_goal;
  }
  case QX_GOAL_ARROW:
  case QX_GOAL_NOT: {
    /* (C -> T) is (C -> T ; fail); \+ G is (G -> fail ; true). */
    uint32_t here = qx_node_offset(w, w->node_);
    bool negation = key == qx_K.not_;
    w->term[0] = negation ? atom_true : atom_fail;
    w->term[1] = qx_barrier_term(cut_b);
    w->term[2] = qx_raw(ctx);
    node *b = qx_push_node(w, qx_alt(QX_ALT_ITE_ELSE, 3));
    uint32_t cond_b = qx_node_offset(w, b);
    push_marker(w, QX_FRAME_ITE_THEN, negation ? atom_fail : StrArg(goal, 2), here, cut_b, ctx);
    goal = StrArg(goal, 1);
    cut_b = cond_b;
    goto next_goal;
  }
  case QX_GOAL_COLON: {
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
  case QX_GOAL_CALL: {
    uint32_t n = Arity(key);
    if (IsVar(deref(StrArg(goal, 1)))) {
      interp_error(w, QX_ERR_INSTANTIATION, "", 0);
      goto fail;
    }
    qx_heap_room(w, 260 + n);
    TAGGED g = add_args(w, StrArg(goal, 1), StrArgs(goal) + 1, n - 1);
    if (!g) {
      interp_error(w, QX_ERR_TYPE, "callable", deref(StrArg(goal, 1)));
      goto fail;
    }
    goal = g;
    cut_b = qx_node_offset(w, w->node_); /* call/N is opaque to cut */
    goto next_goal;
  }
  case QX_GOAL_CATCH: {
    qx_heap_room(w, 4);
    TAGGED *flag = w->global_top++;
    *flag = MakeRef(flag);
    w->term[0] = goal;
    w->term[1] = *flag;
    w->term[2] = qx_raw(ctx);
    node *b = qx_push_node(w, qx_alt(QX_ALT_CATCH, 3));
    uint32_t here = qx_node_offset(w, b);
    push_marker(w, QX_FRAME_CATCH_EXIT, *flag, here, cut_b, ctx);
    goal = StrArg(goal, 1);
    cut_b = here;
    goto next_goal;
  }
  case QX_GOAL_THROW: {
    TAGGED ball = deref(StrArg(goal, 1));
    if (IsRef(ball)) {
      interp_error(w, QX_ERR_INSTANTIATION, "", 0);
      goto fail;
    }
    qx_set_exception(w, ball);
    goto throw_ball;
  }
  case QX_GOAL_CALL_CLEANUP: {
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
    push_marker(w, QX_FRAME_CLEANUP_EXIT, cleanup, here, cut_b, ctx);
    goal = StrArg(goal, 1);
    cut_b = here;
    goto next_goal;
  }
  case QX_GOAL_RUN_CLEANUP: {
    /* (catch(G, _, true) -> true ; true): errors and failure of a cleanup goal are ignored. */
    qx_heap_room(w, 16);
    TAGGED *any = w->global_top++;
    *any = MakeRef(any);
    TAGGED c = qx_make_struct(w, qx_K.catch3, {StrArg(goal, 1), *any, atom_true});
    goal = qx_make_struct(w, qx_K.semicolon,
                          {qx_make_struct(w, qx_K.arrow, {c, atom_true}), atom_true});
    goto next_goal;
  }
  default: break; /* a predicate */
  }
  def = lookup(ctx, key);
  if (QX_UNLIKELY(!def)) goto undefined;
  copy_args(w->term, StrArgs(goal), def->proc.arity);
  goto call_pred;

  /* ---- clause code ---- */
next_instr:
  switch (*pc & 0xFF) {
  case QX_OP_CALL: {
    CODE_EVENT_CHECK;
    uint32_t w0 = pc[0];
    int arity = qx_call_arity(w0);
    if (QX_UNLIKELY(pc[3] != qx_eg.def_generation)) {
      definition *d = lookup(ctx, pc[2]);
      bool own = d && d->module == qx_eg.prolog_module && d->properties.builtin_row;
      uint32_t *site = const_cast<uint32_t *>(pc);
      site[3] = qx_eg.def_generation;
      site[4] = (uint32_t)(uintptr_t)d | (own ? 1 : 0);
    }
    def = (definition *)(uintptr_t)(pc[4] & ~1u);
    const uint32_t *cells = pc + QX_CALL_WORDS;
    if (w0 & QX_CALL_SEEN) {
      put_seen(w->term, env, cells, arity);
    } else {
      if (pc[1]) code_room(w, pc[1], env);
      if (int kind = qx_call_inline(w0); kind && (pc[4] & 1)) {
        int r = qx_try_inline(w, kind, cells, blocks, env);
        if (r == 0) goto fail;
        if (r > 0) {
          if (w0 & QX_CALL_LAST) goto proceed;
          pc = cells + arity;
          goto next_instr;
        }
      }
      for (int i = 0; i < arity; i++) w->term[i] = qx_try_put(w, blocks, env, cells[i]);
    }
    if (w0 & QX_CALL_LAST)
      release_env(w, env);
    else
      push_body(w, cells + arity, env, cut_b, ctx);
    if (QX_UNLIKELY(!def)) {
      key = pc[2];
      goto undefined;
    }
    if (def->predtyp == ENTER_INTERPRETED) goto call_clauses;
    goto call_pred;
  }
  case QX_OP_GOAL: {
    CODE_EVENT_CHECK;
    uint32_t w0 = pc[0];
    if (pc[1]) code_room(w, pc[1], env);
    uint32_t goal_cut = cut_b;
    const uint32_t *cell = pc + 2;
    if (w0 & QX_GOAL_LOCAL_CUT) goal_cut = qx_barrier_offset(env[*cell++]);
    goal = qx_try_put(w, blocks, env, *cell);
    if (w0 & QX_CALL_LAST)
      release_env(w, env);
    else
      push_body(w, cell + 1, env, cut_b, ctx);
    cut_b = goal_cut; /* the goal is transparent to the cut of its place */
    goto next_goal;
  }
  case QX_OP_CUT:
    CODE_EVENT_CHECK;
    cut_to(w, qx_offset_node(w, cut_b));
    pc += 1;
    goto next_instr;
  case QX_OP_CUT_LOCAL:
    CODE_EVENT_CHECK;
    cut_to(w, qx_offset_node(w, qx_barrier_offset(env[pc[1]])));
    pc += 2;
    goto next_instr;
  case QX_OP_FAIL: CODE_EVENT_CHECK; goto fail;
  case QX_OP_DISJ:
  case QX_OP_ITE: {
    CODE_EVENT_CHECK;
    bool ite = (*pc & 0xFF) == QX_OP_ITE;
    w->term[ELSE_ENV] = MakeSmall((int32_t)(env - (TAGGED *)w->local_start));
    w->term[ELSE_PC] = MakeSmall((int32_t)pc[ite ? 2 : 1]);
    w->term[ELSE_CUT] = qx_barrier_term(cut_b);
    w->term[ELSE_CTX] = qx_raw(ctx);
    node *b = qx_push_node(w, qx_alt(QX_ALT_BODY_ELSE, ELSE_WORDS));
    if (ite) env[pc[1]] = qx_barrier_term(qx_node_offset(w, b));
    pc += ite ? 3 : 2;
    goto next_instr;
  }
  case QX_OP_THEN:
    CODE_EVENT_CHECK;
    cut_to(w, qx_node_below(qx_offset_node(w, qx_barrier_offset(env[pc[1]]))));
    pc += 2;
    goto next_instr;
  case QX_OP_JUMP: pc = body_code(env) + pc[1]; goto next_instr;
  case QX_OP_INIT: {
    code_room(w, 1, env);
    TAGGED *cell = w->global_top++;
    *cell = MakeRef(cell);
    env[pc[1]] = *cell;
    pc += 2;
    goto next_instr;
  }
  default: goto proceed; /* QX_OP_PROCEED */
  }

code_event : {
  /* As for a term goal: the rest of the code waits in a frame while the pending work runs. */
  frame *f = push_body(w, pc, env, cut_b, ctx);
  if (take_pending_work(w, &goal, &cut_b, &ctx)) goto next_goal;
  if (w->cont != f) goto proceed;
  w->cont = f->next;
  w->local_top = f;
  event_done = true; /* the instruction runs now, whatever the limit says */
  goto next_instr;
}

  /* ---- predicates: def, arguments in term[] ---- */
call_pred:
  switch (def->predtyp) {
  case ENTER_INTERPRETED: goto call_clauses;
  case BUILTIN_DET:
  case ENTER_C:
  case BUILTIN_NONDET:
  case ENTER_C_NONDET:
  case ENTER_FOREIGN:
  case ENTER_STASH: {
    uint32_t before = qx_node_offset(w, w->node_);
    set_running_native(def, def->functor, ctx);
    if (!native_boundary(w, def, before, [&] {
          return def->predtyp >= ENTER_FOREIGN ? qx_call_foreign(w, def) : def->code.native(w);
        })) {
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
    key = def->functor;
    goto undefined;
  default: unsupported_call(w, def); goto fail;
  }

call_clauses : {
  if (QX_UNLIKELY(def->properties.block)) {
    unsupported_call(w, def);
    goto fail;
  }
  uint32_t arity = def->proc.arity;
  TAGGED ckey = arity ? qx_arg_key(w->term[0]) : 0;
  clause_b0 = qx_node_offset(w, w->node_); /* offsets survive growth of the area */
  pop_after_try = false;
  /* A selection made before at the same clock: the clause without a walk (and without the chain
   * of loads the walk makes before the clause's code is known). Integer keys are left out: they
   * seldom come again (counters), and keeping each would cost every call. */
  SelectEntry *known = IsSmall(ckey) ? nullptr : &select_cache[select_slot(def, ckey)];
  if (known && known->def == def && known->key == ckey && known->clock == qx_eg.clause_clock) {
    clause = known->clause;
    goto try_clause;
  }
  qx_clause_walk walk;
  instance *alt;
  instance *ins = qx_walk_call(def, ckey, &walk, &alt);
  if (!ins) goto fail;
  clause = qx_clause(ins);
  if (!alt && known) *known = SelectEntry{def, ckey, clause, qx_eg.clause_clock};
  if (alt && !walk.at && !walk.var_at) {
    node *b = qx_push_node_bare(w, retry_last_alt(arity));
    b->term[QX_LAST_DEF] = qx_raw(def);
    b->term[QX_LAST_CLAUSE] = qx_raw(alt);
    copy_args(&b->term[QX_LAST_ARGS], w->term, arity);
    qx_definition_enter(def);
  } else if (alt) {
    node *b = qx_push_node_bare(w, retry_alt(arity));
    b->term[QX_RETRY_DEF] = qx_raw(def);
    b->term[QX_RETRY_CLAUSE] = qx_raw(alt);
    qx_save_walk(&b->term[QX_RETRY_WALK], &walk);
    qx_save_clock(&b->term[QX_RETRY_CLOCK], qx_eg.clause_clock);
    copy_args(&b->term[QX_RETRY_ARGS], w->term, arity);
    qx_definition_enter(def);
  }
  goto try_clause;
}

try_clause : {
  /* The frame's variable table sits at the local top behind a header word naming the clause's
   * blocks; it stays only when the clause has a body. */
  const qx_clause_info *c = clause;
  uint32_t table_bytes = (c->nvars + 1) * (uint32_t)sizeof(TAGGED);
  if (QX_UNLIKELY((char *)w->local_top + table_bytes + sizeof(frame) > (char *)w->local_end))
    local_overflow(w, table_bytes + (uint32_t)sizeof(frame));
  TAGGED *table = (TAGGED *)w->local_top + 1;
  table[-1] = (TAGGED)(uintptr_t)(c->code + c->blocks);
  if (c->head_heap) qx_heap_room(w, c->head_heap, (int)def->proc.arity); /* the arguments */
  bool matched = qx_try_head(w, c, table, def->proc.arity);
  if (pop_after_try) pop_retry_clause(w);
  if (!matched) goto fail;
  if (c->body == QX_NO_BODY) goto proceed;
  /* A head that matched set its own slots; the body's are cleared, so that the collector finds
   * no stale words in the slots not met yet. */
  for (uint32_t i = c->head_vars; i < c->nvars; i++) table[i] = 0;
  env = table;
  w->local_top = (frame *)(env + c->nvars);
  pc = c->code + c->body;
  blocks = c->code + c->blocks;
  cut_b = clause_b0;
  ctx = def->module;
  goto next_instr;
}

undefined:
  if (!undefined_call(w, ctx, key)) goto fail;
  goto proceed;

not_callable:
  interp_error(w, QX_ERR_TYPE, "callable", goal);
  goto fail;

proceed : {
  frame *f = w->cont;
  if (f == exitcode) {
    if (QX_UNLIKELY(w->global_top >= w->heap_warn_soft)) {
      if (take_pending_work(w, &goal, &cut_b, &ctx)) goto next_goal;
      if (w->cont != exitcode) goto proceed;
    }
    return 1;
  }
  if (QX_UNLIKELY(f->kind > QX_FRAME_BODY && w->global_top >= w->heap_warn_soft) && !event_done) {
    /* A marker acts like a goal: the event check comes first, the marker waiting in its frame. */
    event_done = true;
    if (take_pending_work(w, &goal, &cut_b, &ctx)) goto next_goal;
    goto proceed;
  }
  event_done = false;
  w->cont = f->next;
  cut_b = f->cut_b;
  ctx = f->ctx;
  w->local_top = f > w->local_uncond ? f : w->local_uncond;
  switch (f->kind) {
  case QX_FRAME_BODY:
    pc = f->pc;
    env = f->env;
    blocks = env_blocks(env);
    goto next_instr;
  case QX_FRAME_ITE_THEN:
    cut_to(w, qx_offset_node(w, f->barrier));
    goal = f->goal;
    goto next_goal;
  case QX_FRAME_CATCH_EXIT: {
    node *b = qx_offset_node(w, f->barrier);
    if (w->node_ == b)
      qx_cut_to(w, qx_node_below(b));
    else
      qx_try_bind(w, deref(f->goal), atom_nil); /* no longer catching; undone on backtracking */
    goto proceed;
  }
  case QX_FRAME_CLEANUP_EXIT: {
    TAGGED cleanup = deref(f->goal);
    node *b = qx_offset_node(w, f->barrier);
    TAGGED done = deref(StrArg(cleanup, 2));
    if (IsVar(done)) {
      if (w->node_ == b) {
        *RefPtr(done) = atom_true; /* deterministic exit: run it now, once */
        goal = cleanup;            /* a root across the heap room */
        qx_heap_room(w, 4);
        goal = qx_make_struct(w, qx_K.run_cleanup, {StrArg(goal, 1)});
        cut_b = qx_node_offset(w, w->node_);
        goto next_goal;
      }
      qx_try_bind(w, deref(StrArg(cleanup, 3)), atom_true);
      qx_mark_nodes(w); /* a cut that removes the goal's nodes runs the cleanup */
    }
    goto proceed;
  }
  default: goal = f->goal; goto next_goal;
  }
}

fail : {
  /* The goal last taken apart may lie above the heap top undone to: the root must not name the
   * words that will be built there (a collection would read whatever lands there as that goal). */
  goal = atom_nil;
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
  case QX_ALT_BODY_ELSE:
    env = (TAGGED *)w->local_start + GetSmall(b->term[ELSE_ENV]);
    pc = body_code(env) + GetSmall(b->term[ELSE_PC]);
    blocks = env_blocks(env);
    cut_b = qx_barrier_offset(b->term[ELSE_CUT]);
    ctx = qx_unraw<mod_def>(b->term[ELSE_CTX]);
    qx_pop_node(w);
    goto next_instr;
  case QX_ALT_RETRY_CLAUSE: {
    def = qx_unraw<definition>(b->term[QX_RETRY_DEF]);
    instance *ins = qx_unraw<instance>(b->term[QX_RETRY_CLAUSE]);
    clause = qx_clause(ins);
    uint32_t arity = def->proc.arity;
    copy_args(w->term, &b->term[QX_RETRY_ARGS], arity);
    qx_clause_walk walk;
    qx_saved_walk(&b->term[QX_RETRY_WALK], &walk);
    instance *next = qx_walk_next(&walk, arity ? qx_arg_key(w->term[0]) : 0,
                                  qx_saved_clock(&b->term[QX_RETRY_CLOCK]));
    clause_b0 = qx_node_offset(w, qx_node_below(b));
    pop_after_try = next == nullptr;
    if (next) {
      b->term[QX_RETRY_CLAUSE] = qx_raw(next);
      qx_save_walk(&b->term[QX_RETRY_WALK], &walk);
    } else {
      /* The last clause: the node stays while it is tried, so that the clause is not freed under
       * the try and a fault inside it unwinds through the node like through any other; bindings
       * are trailed as though the node were gone. It is popped once the head is tried. */
      qx_set_uncond(w, qx_node_below(b));
    }
    goto try_clause;
  }
  case QX_ALT_RETRY_LAST:
    /* As the last clause of a walk (see above). */
    def = qx_unraw<definition>(b->term[QX_LAST_DEF]);
    clause = qx_clause(qx_unraw<instance>(b->term[QX_LAST_CLAUSE]));
    copy_args(w->term, &b->term[QX_LAST_ARGS], def->proc.arity);
    clause_b0 = qx_node_offset(w, qx_node_below(b));
    pop_after_try = true;
    qx_set_uncond(w, qx_node_below(b));
    goto try_clause;
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
  goal = atom_nil; /* as when failing: the unwinding undoes the heap */
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
  qx_heap_room(w, arity + 1, (int)arity);
  TAGGED *p = w->global_top;
  p[0] = MakeFunctor(def->proc.printname, arity);
  copy_args(p + 1, w->term, arity);
  w->global_top += arity + 1;
  return MakeStr(p);
}

/* What do_wam restores when it returns: the caller's continuation and the native that called it.
 * No walk over clause code is under way when a run starts (walks never call out). */
struct RunFrame {
  frame *cont;
  frame *frame_;
  NativeContext native;

  explicit RunFrame(worker *w)
      : cont(w->cont), frame_(w->frame_), native{running_native, running_goal, running_context}
  {
    suspended_runs.push_back({cont, &native.goal, nullptr});
  }
  ~RunFrame() { suspended_runs.pop_back(); }
  void reset_scratch() { qx_try_reset(); }
  void restore(worker *w)
  {
    w->cont = cont;
    w->frame_ = frame_;
    set_running_native(native.def, native.goal, native.context);
  }
};

constexpr uint32_t kFrameSeen = 0x80000000u; /* a mark in a frame's kind while frames are walked */

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

}  // namespace

frame *const exitcode = &exit_frame;

/* Runs the cleanup goals left pending, each as a query of its own; a pending exception stays. */
void qx_run_pending_cleanups(worker *w)
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

size_t qx_running_clauses(worker *w, std::vector<const qx_clause_info *> &running)
{
  if (!termcode) return 0; /* the interpreter is gone (or not yet made): nothing runs */
  std::vector<frame *> seen;
  auto walk = [&](frame *f) {
    for (; f && f != exitcode && !(f->kind & kFrameSeen); f = f->next) {
      f->kind |= kFrameSeen;
      seen.push_back(f);
      if ((f->kind & ~kFrameSeen) == QX_FRAME_BODY) running.push_back(env_clause(f->env));
    }
  };
  walk(w->cont);
  for (const SuspendedRun &r : suspended_runs) walk(r.cont);
  size_t nodes = 0;
  for (node *b = w->node_; b < w->choice_start; b = qx_node_below(b), nodes++) {
    walk(b->cont);
    if (NodeAlt(b)->op == QX_ALT_BODY_ELSE)
      running.push_back(env_clause((TAGGED *)w->local_start + GetSmall(b->term[ELSE_ENV])));
  }
  for (frame *f : seen) f->kind &= ~kFrameSeen;
  return seen.size() + nodes;
}

namespace {

/* Each frame and each table is listed once: a walked frame carries kFrameSeen in its kind and a
 * listed table bit 0 in its header word (a code address, so the bit is free) until the walk
 * ends. A list that cannot grow ends the walk early; the marks go either way. */
struct root_walk {
  std::vector<frame *, qx_gc_allocator<frame *>> frames;
  std::vector<TAGGED *, qx_gc_allocator<TAGGED *>> tables;

  void table(TAGGED *env)
  {
    if (env[-1] & 1) return;
    tables.push_back(env);
    env[-1] |= 1;
  }
  void walk(frame *f, qx_gc_slots &slots)
  {
    for (; f && f != exitcode && !(f->kind & kFrameSeen); f = f->next) {
      frames.push_back(f);
      f->kind |= kFrameSeen;
      if (f->kind == (QX_FRAME_BODY | kFrameSeen))
        table(f->env);
      else
        slots.push_back(&f->goal);
    }
  }
  ~root_walk()
  {
    for (frame *f : frames) f->kind &= ~kFrameSeen;
    for (TAGGED *env : tables) env[-1] &= ~(TAGGED)1;
  }
};

}  // namespace

void qx_interpreter_roots(worker *w, qx_gc_slots &slots)
{
  slots.push_back(&running_goal);
  for (const SuspendedRun &r : suspended_runs) {
    slots.push_back(r.native_goal);
    if (r.run_goal) slots.push_back(r.run_goal);
  }
  if (!termcode) return;
  root_walk walk;
  walk.frames.reserve(4096); /* one mapping each for the usual walk */
  walk.tables.reserve(4096);
  walk.walk(w->cont, slots);
  for (const SuspendedRun &r : suspended_runs) walk.walk(r.cont, slots);
  for (node *b = w->node_; b < w->choice_start; b = qx_node_below(b)) {
    walk.walk(b->cont, slots);
    if (NodeAlt(b)->op == QX_ALT_BODY_ELSE)
      walk.table((TAGGED *)w->local_start + GetSmall(b->term[ELSE_ENV]));
  }
  for (TAGGED *env : walk.tables) {
    env[-1] &= ~(TAGGED)1;
    for (uint32_t i = 0, n = env_clause(env)->nvars; i < n; i++) slots.push_back(&env[i]);
  }
}

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
  f->kind = QX_FRAME_GOAL;
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
    static alt_code *const runbase = qx_alt(QX_ALT_RUNBASE, 0); /* the table's entries stay */
    qx_push_node(w, runbase);
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
    } catch (...) { /* natives have their own boundary: this is the loop's own code */
      need_goal = false;
      char what[256], text[300];
      exception_text(what, sizeof what);
      std::snprintf(text, sizeof text, "C++ exception: %s", what);
      start = recover(w, run_frame, QX_FAULT_MESSAGE, text, &fault_at);
    }
  }
  run_frame.restore(w);
  if (result != 1) qx_run_pending_cleanups(w);
  if (suspended_runs.size() == 1) qx_free_retired_clauses(w); /* the outermost run ends */
  return result;
}

namespace {
/* prolog:call/1 as last looked up, and the generation of definitions it was looked up in. */
definition *call1_found;
uint32_t call1_generation;
}  // namespace

definition *qx_call1_definition()
{
  if (QX_UNLIKELY(!call1_found || call1_generation != qx_eg.def_generation)) {
    call1_found = find_definition(qx_eg.prolog_module, qx_K.call[1], nullptr, 0);
    call1_generation = qx_eg.def_generation;
  }
  return call1_found;
}

int qx_call_once(worker *w, TAGGED goal, mod_def *ctx)
{
  uint32_t base = qx_node_offset(w, w->node_);
  frame *saved_local = w->local_top;
  definition *call1 = qx_call1_definition();
  {
    qx_gc_root keep(&goal);
    qx_heap_room(w, 8);
  }
  TAGGED query_goal = qx_make_struct(w, functor_colon2, {ctx ? ctx->name : atom_user, goal});
  /* The query's own node, laid out as queries from native code are: goal, first-call marker,
   * term-reference mark. */
  w->term[0] = query_goal;
  w->term[1] = MakeSmall(0);
  w->term[2] = MakeSmall((int32_t)w->fli_stack_index);
  w->term[QX_QUERY_ENCLOSING] = qx_query_link(w);
  w->current_query = qx_push_node(w, qx_alt(QX_ALT_TERMCODE, QX_QUERY_WORDS));
  w->term[0] = query_goal;
  int r = do_wam(w, 3, call1);
  qx_cut_to(w, qx_offset_node(w, base)); /* current_query goes back to the enclosing query */
  if (w->local_top > saved_local && w->local_uncond <= saved_local) w->local_top = saved_local;
  qx_run_pending_cleanups(w);
  if (suspended_runs.empty()) qx_free_retired_clauses(w);
  return r;
}

mod_def *qx_native_context() { return running_context ? running_context : qx_eg.user_module; }

int qx_call_native(worker *w, definition *def)
{
  uint32_t before = qx_node_offset(w, w->node_);
  NativeContext saved{running_native, running_goal, running_context};
  qx_gc_root keep(&saved.goal);
  qx_heap_room(w, def->proc.arity + 1, (int)def->proc.arity);
  set_running_native(def, goal_of(w, def));
  int r = native_boundary(w, def, before, [&] { return def->code.native(w); }) ? 1 : 0;
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

bool qx_is_control(TAGGED key)
{
  int kind = qx_goal_kind(key);
  return (kind != QX_GOAL_PRED && kind < QX_GOAL_RUN_CLEANUP) || key == qx_K.soft_arrow ||
         key == MakeFunctor(atom_dot, 2);
}

bool qx_is_transparent(TAGGED key)
{
  int kind = qx_goal_kind(key);
  return kind == QX_GOAL_CONJ || kind == QX_GOAL_DISJ || kind == QX_GOAL_ARROW;
}

TAGGED qx_clause_functor() { return qx_K.neck; }

/* call/1 as a definition, so that queries can name it; the interpreter runs it inline. */
static int call1_native(worker *w)
{
  (void)w;
  return 0;
}

namespace {

constexpr uint8_t inline_kind(qx_inline kind)
{
  return (uint8_t)((int)QX_GOAL_INLINE + (int)kind - (int)QX_INLINE_UNIFY);
}

/* The goal kinds' table: a multiplier that puts every kind's functor in a place of its own. */
void make_goal_table()
{
  const struct {
    TAGGED key;
    uint8_t kind;
  } rows[] = {
      {functor_comma2, QX_GOAL_CONJ},
      {atom_true, QX_GOAL_TRUE},
      {qx_K.cut, QX_GOAL_CUT},
      {qx_K.semicolon, QX_GOAL_DISJ},
      {qx_K.arrow, QX_GOAL_ARROW},
      {qx_K.not_, QX_GOAL_NOT},
      {atom_fail, QX_GOAL_FAIL},
      {qx_K.false_, QX_GOAL_FAIL},
      {functor_colon2, QX_GOAL_COLON},
      {qx_K.catch3, QX_GOAL_CATCH},
      {qx_K.throw1, QX_GOAL_THROW},
      {qx_K.call_cleanup2, QX_GOAL_CALL_CLEANUP},
      {qx_K.run_cleanup, QX_GOAL_RUN_CLEANUP},
      {qx_K.call[1], QX_GOAL_CALL},
      {qx_K.call[2], QX_GOAL_CALL},
      {qx_K.call[3], QX_GOAL_CALL},
      {qx_K.call[4], QX_GOAL_CALL},
      {qx_K.call[5], QX_GOAL_CALL},
      {qx_K.call[6], QX_GOAL_CALL},
      {qx_K.call[7], QX_GOAL_CALL},
      {qx_K.call[8], QX_GOAL_CALL},
      {MakeFunctor(atom_equal, 2), inline_kind(QX_INLINE_UNIFY)},
      {qx_K.is2, inline_kind(QX_INLINE_IS)},
      {qx_K.compare2[0], inline_kind(QX_INLINE_EQ)},
      {qx_K.compare2[1], inline_kind(QX_INLINE_NE)},
      {qx_K.compare2[2], inline_kind(QX_INLINE_LT)},
      {qx_K.compare2[3], inline_kind(QX_INLINE_GT)},
      {qx_K.compare2[4], inline_kind(QX_INLINE_LE)},
      {qx_K.compare2[5], inline_kind(QX_INLINE_GE)},
  };
  for (uint32_t mult = 2654435761u;; mult += 2) {
    std::memset(qx_goal_table, 0, sizeof qx_goal_table);
    bool clash = false;
    for (const auto &row : rows) {
      qx_goal_slot &slot = qx_goal_table[(row.key * mult) >> (32 - QX_GOAL_TABLE_BITS)];
      clash |= slot.key != 0 && slot.key != row.key;
      slot = qx_goal_slot{row.key, row.kind};
    }
    if (!clash) {
      qx_goal_mult = mult;
      return;
    }
  }
}

}  // namespace

int init_wam()
{
  std::memset(retry_alts, 0, sizeof retry_alts); /* the codes of an earlier start are gone */
  std::memset(retry_last_alts, 0, sizeof retry_last_alts);
  termcode = qx_alt(QX_ALT_TERMCODE, 0);
  excpcode = qx_alt(QX_ALT_EXCPCODE, 0);
  auto f = [](const char *name, uint32_t arity) {
    TAGGED a = init_atom_check(name, 0);
    return arity ? MakeFunctor(a, arity) : a;
  };
  qx_K.semicolon = f(";", 2);
  qx_K.arrow = f("->", 2);
  qx_K.soft_arrow = f("*->", 2);
  qx_K.not_ = f("\\+", 1);
  qx_K.catch3 = f("catch", 3);
  qx_K.throw1 = f("throw", 1);
  for (uint32_t i = 1; i <= 8; i++) qx_K.call[i] = f("call", i);
  qx_K.call[0] = atom_call;
  qx_K.call_cleanup2 = f("call_cleanup", 2);
  qx_K.cleanup3 = MakeFunctor(atom_cleanup, 3);
  qx_K.cut = f("!", 0);
  qx_K.false_ = f("false", 0);
  qx_K.neck = f(":-", 2);
  qx_K.reserved1 = f("$reserved", 1);
  qx_K.run_cleanup = f("$run_cleanup", 1);
  qx_K.attr_unify_hook2 = f("attr_unify_hook", 2);
  qx_K.is2 = f("is", 2);
  const char *const comparisons[] = {"=:=", "=\\=", "<", ">", "=<", ">="};
  for (int i = 0; i < 6; i++) qx_K.compare2[i] = f(comparisons[i], 2);
  make_goal_table();
  qx_arith_init();
  active_catches.reserve(256);
  std::memset(call_cache, 0, sizeof call_cache);
  call1_found = nullptr;
  std::memset(select_cache, 0, sizeof select_cache);
  qx_eg.def_generation++;
  memory_fault_term();
  /* call/1 is named by queries from native code; the loop runs it inline. */
  qx_define_native(qx_eg.prolog_module, "call", 1, call1_native, nullptr, BUILTIN_CONTROL);
  qx_agc_keep_all(); /* the functors above and the tables built from them */
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
  qx_try_deinit();
  qx_qload_deinit();
  std::vector<uint32_t>().swap(active_catches);
  std::vector<SuspendedRun>().swap(suspended_runs);
}
