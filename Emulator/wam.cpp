/* The interpreter.
 *
 * One loop runs goals: control constructs inline, predicates by their entry kind. Interpreted
 * clauses are selected by their first-argument key and unified against the stored instance
 * without copying it: a clause variable is bound in a per-try table to the caller's term, and only
 * the subterms that bind a caller's variable, and the body, are built on the heap.
 *
 * Failure restores the newest choicepoint and branches on its alternative. Exceptions unwind the
 * choicepoints newest first to an active catch/3 or to the query's bottom node.
 */
#include "wam.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "atoms.h"
#include "database.h"
#include "errors.h"
#include "instance.h"
#include "memman.h"
#include "modules.h"
#include "objareas.h"
#include "unify.h"

alt_code *termcode;
alt_code *excpcode;
alt_code *failcode;
alt_code *elsecode;
void (*qx_event_hook)(worker *w);

namespace {

frame exit_frame{nullptr, atom_true, 0, nullptr};

/* ---- raw words: 8-aligned addresses stored in saved registers read as small integers ---- */
inline TAGGED raw(const void *p) { return (TAGGED)(uintptr_t)p | 3; }
template <class T> inline T *unraw(TAGGED t) { return (T *)(uintptr_t)(t & ~(TAGGED)3); }

/* ---- functors of the control constructs, made once by init_wam ---- */
struct Control {
  TAGGED comma, semicolon, arrow, softarrow, not_, colon, catch3, throw1, call[9], ite_then,
      catch_exit, cleanup_exit, call_cleanup2, cut, true_, fail, false_, neck, reserved1,
      run_cleanup, attr_unify_hook2, ite_then_atom, catch_exit_atom;
} K;

/* ---- alternative codes, interned per (kind, saved words) ---- */
constexpr int kAltKinds = 16;
constexpr int kMaxSaved = QX_ARG_REGISTERS + 8;
alt_code *alt_table[kAltKinds][kMaxSaved + 1];

/* ---- clause-variable table: entries stamped per clause try, so no clearing is needed ---- */
struct VarSlot {
  uint32_t stamp;
  TAGGED value;
};
std::vector<VarSlot> vartab;
uint32_t var_stamp;
std::vector<TAGGED> unify_work;

/* Pending cleanup goals, held as instances: the heap they were on may be gone by the time they run. */
std::vector<instance *> pending_cleanups;

/* The native being run (for retry nodes and error contexts). */
definition *running_native;
TAGGED running_goal;

inline uint32_t body_index(TAGGED offset_cell) { return ((offset_cell & ~(TAGGED)3) - sizeof(instance)) >> 2; }

void new_var_stamp(uint32_t words)
{
  if (vartab.size() < words)
    vartab.resize(words + 64, VarSlot{0, 0});
  if (++var_stamp == 0) {
    for (VarSlot &s : vartab)
      s.stamp = 0;
    var_stamp = 1;
  }
}

inline void ensure_heap(worker *w, uint32_t words)
{
  if ((uint32_t)(w->stack_start - w->global_top) < words + 256)
    call_overflow(w, words + 256, 0);
}

/* A pending argument of build(): the heap cell to fill and the instance cell it copies. */
struct BuildItem {
  TAGGED *dest;
  TAGGED cell;
};
std::vector<BuildItem> build_stack;

/* Fill dest from instance cell c when that needs no block of its own; false otherwise. */
inline bool build_simple(TAGGED *dest, TAGGED c)
{
  if (IsConst(c)) {
    *dest = c;
    return true;
  }
  if (IsRef(c)) {
    VarSlot &s = vartab[body_index(c)];
    if (s.stamp != var_stamp) {
      *dest = MakeRef(dest);   /* the argument cell becomes the variable */
      s = VarSlot{var_stamp, *dest};
    } else {
      *dest = s.value;
    }
    return true;
  }
  return false;
}

/* Build the instance subterm c on the heap, clause variables resolved through the table. */
TAGGED build(worker *w, TAGGED c, const TAGGED *body)
{
  if (IsConst(c))
    return c;
  if (IsRef(c)) {
    VarSlot &s = vartab[body_index(c)];
    if (s.stamp != var_stamp) {
      TAGGED *cell = w->global_top++;
      *cell = MakeRef(cell);
      s = VarSlot{var_stamp, *cell};
    }
    return s.value;
  }
  TAGGED result;
  size_t base = build_stack.size();
  build_stack.push_back(BuildItem{&result, c});
  while (build_stack.size() > base) {
    BuildItem item = build_stack.back();
    build_stack.pop_back();
    const TAGGED *src = body + body_index(item.cell);
    TAGGED *p = w->global_top;
    if (IsLst(item.cell)) {
      w->global_top += 2;
      *item.dest = MakeLst(p);
      if (!build_simple(&p[1], src[1]))
        build_stack.push_back(BuildItem{&p[1], src[1]});
      if (!build_simple(&p[0], src[0]))
        build_stack.push_back(BuildItem{&p[0], src[0]});
      continue;
    }
    TAGGED f = src[0];
    *item.dest = MakeStr(p);
    if (IsBoxHeader(f)) {
      uint32_t n = (uint32_t)BoxWords(f);
      std::memcpy(p, src, n * sizeof(TAGGED));
      w->global_top += n;
      continue;
    }
    uint32_t n = Arity(f);
    w->global_top += n + 1;
    if (f == functor_ref2) {   /* a database reference: two raw words */
      p[0] = f;
      p[1] = src[1];
      p[2] = src[2];
      continue;
    }
    p[0] = f == functor_ref_term2 ? functor_ref2 : f;
    for (uint32_t i = n; i >= 1; i--)
      if (!build_simple(&p[i], src[i]))
        build_stack.push_back(BuildItem{&p[i], src[i]});
  }
  return result;
}

inline void bind_var(worker *w, TAGGED var, TAGGED value) { qx_bind(w, RefPtr(var), value); }

/* Unify heap term t with instance cell c. Pairs still to do are kept on an explicit stack. */
bool unify_inst(worker *w, TAGGED t, TAGGED c, const TAGGED *body)
{
  size_t base = unify_work.size();
  const TAGGED private_ref = functor_ref_term2;
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
      VarSlot &s = vartab[body_index(c)];
      if (s.stamp != var_stamp)
        s = VarSlot{var_stamp, t};
      else if (!cunify(w, t, s.value))
        goto fail;
      break;
    }
    case QX_TAG_STR: {
      const TAGGED *src = body + body_index(c);
      TAGGED f = src[0];
      t = deref(t);
      if (IsRef(t)) {
        bind_var(w, t, build(w, c, body));
        break;
      }
      if (!IsStr(t))
        goto fail;
      const TAGGED *tp = StrPtr(t);
      if (IsBoxHeader(f)) {
        if (std::memcmp(tp, src, BoxWords(f) * sizeof(TAGGED)) != 0)
          goto fail;
        break;
      }
      if (f == functor_ref2) {
        if (tp[0] != f || deref(tp[1]) != src[1] || deref(tp[2]) != src[2])
          goto fail;
        break;
      }
      if (tp[0] != (f == private_ref ? functor_ref2 : f))
        goto fail;
      for (uint32_t i = Arity(f); i > 1; i--) {
        unify_work.push_back(tp[i]);
        unify_work.push_back(src[i]);
      }
      t = tp[1];
      c = src[1];
      continue;
    }
    case QX_TAG_LST: {
      const TAGGED *src = body + body_index(c);
      t = deref(t);
      if (IsRef(t)) {
        bind_var(w, t, build(w, c, body));
        break;
      }
      if (!IsLst(t))
        goto fail;
      const TAGGED *tp = LstPtr(t);
      unify_work.push_back(tp[1]);
      unify_work.push_back(src[1]);
      t = tp[0];
      c = src[0];
      continue;
    }
    }
    if (unify_work.size() == base)
      return true;
    c = unify_work.back();
    unify_work.pop_back();
    t = unify_work.back();
    unify_work.pop_back();
  }
fail:
  unify_work.resize(base);
  return false;
}

/* Unify the call with the clause's head and answer its body on the heap, or 0 when the head does
 * not match. */
TAGGED try_clause(worker *w, TAGGED goal, const instance *ins)
{
  uint32_t words = qx_instance_body_words(ins);
  const TAGGED *body = ins->body;
  ensure_heap(w, words);
  new_var_stamp(words);
  TAGGED head_functor = body[0];
  uint32_t head_at = 0;
  TAGGED body_cell = atom_true;
  if (head_functor == K.neck && words > 1) {
    TAGGED h = body[1];
    body_cell = body[2];
    if (IsConst(h))
      return build(w, body_cell, body);   /* an atom head: nothing to unify */
    head_at = body_index(h);
    head_functor = body[head_at];
  } else if (words == 1) {
    return atom_true;                     /* an atom fact */
  }
  uint32_t arity = Arity(head_functor);
  const TAGGED *args = StrArgs(goal);
  for (uint32_t i = 0; i < arity; i++)
    if (!unify_inst(w, args[i], body[head_at + 1 + i], body))
      return 0;
  return build(w, body_cell, body);
}

inline TAGGED call_key(TAGGED goal)
{
  if (!IsStr(goal))
    return 0;
  TAGGED a = deref(StrArg(goal, 1));
  switch (TagOf(a)) {
  case QX_TAG_REF:
    return 0;
  case QX_TAG_LST:
    return MakeFunctor(atom_dot, 2);
  case QX_TAG_STR:
    return StrFunctor(a);
  default:
    return a;
  }
}

inline instance *next_match(instance *ins, TAGGED key, uint32_t clock)
{
  for (; ins; ins = ins->next)
    if (qx_clause_visible(ins, clock) && qx_keys_match(ins->key, key))
      return ins;
  return nullptr;
}

/* ---- choicepoint state ---- */
inline void set_uncond(worker *w)
{
  if (qx_has_node(w)) {
    w->global_uncond = w->node_->global_top;
    w->local_uncond = w->node_->local_top;
  } else {
    w->global_uncond = w->heap_start;
    w->local_uncond = w->local_start;
  }
}

void restore_node(worker *w, node *b)
{
  qx_untrail_to(w, b->trail_top);
  w->global_top = b->global_top;
  w->local_top = b->local_top;
  w->cont = b->cont;
  w->frame_ = b->frame_;
  if (w->wake_len > b->wake_len)
    w->wake_len = b->wake_len;
  w->wake_count = b->wake_count;
  w->global_uncond = b->global_top;
  w->local_uncond = b->local_top;
}

/* A node leaves the stack: retry nodes stop reaching their predicate's clauses. */
void discard_node(node *b)
{
  alt_code *alt = NodeAlt(b);
  if (alt->op == QX_ALT_RETRY_CLAUSE)
    qx_definition_leave(unraw<definition>(b->term[1]));
}

/* ---- pending work run at the event check ---- */
TAGGED conj(worker *w, TAGGED a, TAGGED b)
{
  if (a == 0)
    return b;
  if (b == 0)
    return a;
  TAGGED *p = w->global_top;
  p[0] = K.comma;
  p[1] = a;
  p[2] = b;
  w->global_top += 3;
  return MakeStr(p);
}

TAGGED make_struct(worker *w, TAGGED functor, std::initializer_list<TAGGED> args)
{
  TAGGED *p = w->global_top;
  p[0] = functor;
  uint32_t i = 1;
  for (TAGGED a : args)
    p[i++] = a;
  w->global_top += i;
  return MakeStr(p);
}

/* The goals that a bound attributed variable wakes: each module's attr_unify_hook(Attr, Value) in
 * slot order, then its suspended goals. */
TAGGED wake_goals(worker *w, TAGGED *cell)
{
  TAGGED value = *cell;
  TAGGED goals = deref(cell[1]);
  TAGGED attrs = deref(cell[2]);
  TAGGED result = 0;
  if (IsStr(attrs)) {
    uint32_t n = Arity(StrFunctor(attrs));
    for (uint32_t slot = 1; slot <= n && slot < 64; slot++) {
      TAGGED a = StrArg(attrs, slot);
      if (deref(a) == atom_no_attr || !qx_eg.attr_modules[slot])
        continue;
      mod_def *m = qx_eg.attr_modules[slot];
      definition *hook = find_definition(m, K.attr_unify_hook2, nullptr, 0);
      if (!hook || hook->predtyp == ENTER_UNDEFINED)
        continue;
      TAGGED g = make_struct(w, K.attr_unify_hook2, {a, value});
      result = conj(w, result, make_struct(w, K.colon, {m->name, g}));
    }
  }
  if (goals != atom_nil && goals != atom_true && !IsRef(goals))
    result = conj(w, result, make_struct(w, K.colon, {atom_prolog, goals}));
  return result;
}

TAGGED run_cleanup_goal(worker *w, TAGGED g)
{
  return make_struct(w, K.run_cleanup, {g});
}

/* Heap room, wake-ups, pending cleanups and events: answers the goal to run first (0 none). */
TAGGED pending_work(worker *w)
{
  if (w->heap_warn && w->global_top >= w->heap_warn)
    call_overflow(w, 1024, 0);
  ensure_heap(w, 64 + 16 * (w->wake_len + (uint32_t)pending_cleanups.size()));
  TAGGED goal = 0;
  for (uint32_t i = 0; i < w->wake_len; i++) {
    ensure_heap(w, 64);
    goal = conj(w, goal, wake_goals(w, w->wake_list[i]));
  }
  w->wake_len = 0;
  w->wake_count = 0;
  if (!pending_cleanups.empty()) {
    std::vector<instance *> todo;
    todo.swap(pending_cleanups);
    for (instance *ins : todo) {
      ensure_heap(w, qx_instance_heap_words(ins) + 16);
      goal = conj(w, goal, run_cleanup_goal(w, qx_copy_from_instance(w, ins)));
      qx_free_instance(ins);
    }
  }
  if (w->event_flags && !w->events_disabled && qx_event_hook) {
    w->event_flags = 0;
    qx_event_hook(w);
    /* The hook queues what it wants to run as cleanup-style goals. */
    for (instance *ins : pending_cleanups) {
      ensure_heap(w, qx_instance_heap_words(ins) + 16);
      goal = conj(w, goal, qx_copy_from_instance(w, ins));
      qx_free_instance(ins);
    }
    pending_cleanups.clear();
  }
  qx_restore_soft_limit(w);
  return goal;
}

void cleanup_hook(worker *w, TAGGED goal) { pending_cleanups.push_back(qx_copy_to_instance(w, goal)); }

/* Entries above a surviving node that a cut must collect: dead $free blocks are destroyed now and
 * cleanup goals whose choicepoints are gone become pending. Answers whether entries remain. */
bool collect_trail(worker *w, TAGGED *down_to)
{
  bool remain = false;
  TAGGED *t = w->trail_top;
  while (t > down_to) {
    TAGGED top = *--t;
    switch (TagOf(top)) {
    case QX_TAG_REF:
      break;
    case QX_TAG_STR:
      --t;
      break;
    case QX_TAG_LST: {
      TAGGED *pair = LstPtr(top);
      TAGGED v = deref(pair[0]);
      if (v == MakeSmall(1)) {
        TAGGED holder = deref(pair[1]);
        pair[0] = MakeSmall(0);   /* destroyed: never again */
        void **block = (void **)(uintptr_t)(deref(StrArg(holder, 1)) & ~(TAGGED)3);
        ((void (*)(void *))block[0])(block);
      } else if (IsRef(v)) {
        remain = true;
      }
      break;
    }
    default:
      if (IsSmall(top)) {
        t -= 2;
      } else {
        TAGGED cleanup = *--t;
        TAGGED done = deref(StrArg(cleanup, 2));
        if (IsRef(done)) {
          *RefPtr(done) = atom_true;   /* run once: never undone */
          pending_cleanups.push_back(qx_copy_to_instance(w, StrArg(cleanup, 1)));
          w->heap_warn_soft = nullptr;
        }
      }
      break;
    }
  }
  return remain;
}

}  // namespace

frame *const exitcode = &exit_frame;

/* ---- alternative codes ---- */
alt_code *qx_alt(int op, int nregs)
{
  alt_code *&a = alt_table[op][nregs];
  if (!a) {
    a = (alt_code *)qx_checkalloc(sizeof(alt_code), QX_SPACE_PROGRAM);
    std::memset(a, 0, sizeof *a);
    a->op = (uint16_t)op;
    a->nregs = (uint16_t)nregs;
    a->node_size = (int16_t)(sizeof(node) + nregs * sizeof(TAGGED));
  }
  return a;
}

/* ---- nodes ---- */
node *qx_push_node(worker *w, alt_code *alt)
{
  size_t size = (size_t)alt->node_size;
  if ((char *)w->node_ - size < (char *)w->trail_top + QX_TRAIL_MARGIN_CELLS * sizeof(TAGGED))
    choice_overflow(w, (uint32_t)(size / sizeof(TAGGED)) + QX_TRAIL_MARGIN_CELLS);
  node *b = (node *)((char *)w->node_ - size);
  b->next_alt = alt;
  b->trail_top = w->trail_top;
  b->global_top = w->global_top;
  b->local_top = w->local_top;
  b->frame_ = w->frame_;
  b->cont = w->cont;
  b->wake_len = w->wake_len;
  b->wake_count = w->wake_count;
  if (alt->nregs)
    std::memcpy(b->term, w->term, alt->nregs * sizeof(TAGGED));
  w->node_ = b;
  w->global_uncond = w->global_top;
  w->local_uncond = w->local_top;
  return b;
}

void qx_pop_node(worker *w)
{
  node *b = w->node_;
  discard_node(b);
  w->node_ = qx_node_below(b);
  set_uncond(w);
}

void qx_cut_to(worker *w, node *barrier)
{
  if (w->node_ >= barrier)
    return;
  bool marked = false;
  for (node *b = w->node_; b < barrier; b = qx_node_below(b)) {
    marked |= ((uintptr_t)b->next_alt & 1) != 0;
    discard_node(b);
  }
  w->node_ = barrier;
  set_uncond(w);
  if (marked) {
    TAGGED *down_to = qx_has_node(w) ? barrier->trail_top : w->trail_start;
    if (collect_trail(w, down_to) && qx_has_node(w))
      barrier->next_alt = (alt_code *)((uintptr_t)barrier->next_alt | 1);
  }
}

bool qx_node_older(const worker *w, const node *n) { return n >= w->node_; }

void qx_undo_to(worker *w, node *n)
{
  qx_untrail_to(w, n->trail_top);
  if (w->wake_len > n->wake_len)
    w->wake_len = n->wake_len;
  w->wake_count = n->wake_count;
}

void refresh_current_query(worker *w)
{
  for (node *b = w->node_; b < w->choice_start; b = qx_node_below(b)) {
    alt_code *alt = (alt_code *)((uintptr_t)b->next_alt);
    if (alt == termcode || alt == excpcode || NodeAlt(b)->op == QX_ALT_TERMCODE ||
        NodeAlt(b)->op == QX_ALT_EXCPCODE) {
      if (((uintptr_t)b->next_alt & 1) == 0) {
        w->current_query = b;
        return;
      }
    }
  }
  w->current_query = nullptr;
}

frame *qx_push_frame(worker *w, TAGGED goal, mod_def *ctx)
{
  if ((char *)(w->local_top + 1) > (char *)w->local_end)
    local_overflow(w, sizeof(frame));
  frame *f = w->local_top++;
  f->next = w->cont;
  f->goal = goal;
  f->cut_b = qx_node_offset(w, w->node_);
  f->ctx = ctx;
  w->cont = f;
  return f;
}

static inline frame *push_frame_cut(worker *w, TAGGED goal, uint32_t cut_b, mod_def *ctx)
{
  frame *f = qx_push_frame(w, goal, ctx);
  f->cut_b = cut_b;
  return f;
}

void qx_push_retry(worker *w, int nregs)
{
  w->term[nregs] = raw(running_native);
  w->term[nregs + 1] = running_goal;
  qx_push_node(w, qx_alt(QX_ALT_RETRY_C, nregs + 2));
}

void qx_pop_retry(worker *w) { qx_pop_node(w); }

void qx_queue_cleanup(worker *w, TAGGED goal)
{
  pending_cleanups.push_back(qx_copy_to_instance(w, goal));
  w->heap_warn_soft = nullptr;
}

void qx_request_event(worker *w)
{
  w->event_flags |= 1;
  w->heap_warn_soft = nullptr;
}

/* ---- exceptions ---- */
void qx_set_exception(worker *w, TAGGED ball)
{
  qx_clear_exception();
  qx_eg.exception = qx_copy_to_instance(w, ball);
}

TAGGED qx_exception_term(worker *w)
{
  if (!qx_eg.exception)
    return 0;
  ensure_heap(w, qx_instance_heap_words(qx_eg.exception));
  return qx_copy_from_instance(w, qx_eg.exception);
}

void qx_clear_exception()
{
  if (qx_eg.exception)
    qx_free_instance(qx_eg.exception);
  qx_eg.exception = nullptr;
}

static bool ball_is_reserved()
{
  const instance *ins = qx_eg.exception;
  return ins && qx_instance_body_words(ins) > 1 && ins->body[0] == K.reserved1;
}

/* ---- the loop ---- */
namespace {

/* An error of the interpreter itself (not of a native): no goal in its context. */
void interp_error(worker *w, uint32_t code, const char *message, TAGGED culprit)
{
  ensure_heap(w, 64);
  qx_set_native_goal(0, nullptr);
  save_error(code, message, culprit);
  raise_error_goal(0, 0);
}

enum RunStart { START_GOAL, START_FAIL, START_THROW };

bool catch_active(const node *b) { return IsRef(deref(b->term[1])); }

int undefined_call(worker *w, definition *def, mod_def *ctx, TAGGED goal)
{
  TAGGED unknown = qx_eg.current_unknown;
  if (unknown == atom_fail)
    return 0;
  ensure_heap(w, 32);
  TAGGED name = def ? def->proc.printname : (IsAtom(goal) ? goal : FunctorName(StrFunctor(goal)));
  uint32_t arity = def ? def->proc.arity : (IsAtom(goal) ? 0 : Arity(StrFunctor(goal)));
  if (unknown != atom_error) {
    std::fprintf(stderr, "* %s:%s/%u is undefined\n", atom_name(ctx->name), atom_name(name), arity);
    return 0;
  }
  TAGGED pi = make_struct(w, MakeFunctor(qx_char_atom_fixed('/'), 2), {name, MakeSmall((int32_t)arity)});
  TAGGED culprit = make_struct(w, K.colon, {ctx->name, pi});
  interp_error(w, QX_ERR_EXISTENCE, "procedure", culprit);
  return 0;
}

/* Goal with n extra arguments (call/N). 0 when goal is not callable. */
TAGGED add_args(worker *w, TAGGED goal, const TAGGED *extra, uint32_t n)
{
  goal = deref(goal);
  if (n == 0)
    return goal;
  ensure_heap(w, 260 + n);
  if (IsAtom(goal)) {
    TAGGED *p = w->global_top;
    p[0] = MakeFunctor(goal, n);
    std::memcpy(p + 1, extra, n * sizeof(TAGGED));
    w->global_top += n + 1;
    return MakeStr(p);
  }
  if (!IsStr(goal) || IsBoxHeader(StrFunctor(goal)))
    return 0;
  uint32_t a = Arity(StrFunctor(goal));
  if (a + n > QX_MAX_ARITY)
    return 0;
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
  if (e.key == key && e.ctx == ctx && e.generation == qx_eg.def_generation)
    return e.def;
  definition *d = qx_resolve_call(ctx, key);
  e = CacheEntry{key, ctx, d, qx_eg.def_generation};
  return d;
}

int run(worker *w, TAGGED goal, uint32_t cut_b, mod_def *ctx, RunStart start)
{
  definition *def;
  TAGGED key;

  if (start == START_FAIL)
    goto fail;
  if (start == START_THROW)
    goto throw_ball;

next_goal:
  if (QX_UNLIKELY(w->global_top >= w->heap_warn_soft)) {
    TAGGED work = pending_work(w);
    if (work) {
      push_frame_cut(w, goal, cut_b, ctx);
      goal = work;
      cut_b = qx_node_offset(w, w->node_);
    }
  }
  goal = deref(goal);
  if (IsStr(goal)) {
    key = StrFunctor(goal);
    if (IsBoxHeader(key))
      goto not_callable;
  } else if (IsAtom(goal)) {
    key = goal;
  } else if (IsRef(goal)) {
    interp_error(w, QX_ERR_INSTANTIATION, "", 0);
    goto fail;
  } else {
    goto not_callable;
  }

  /* ---- control constructs ---- */
  if (key == K.comma) {
    push_frame_cut(w, StrArg(goal, 2), cut_b, ctx);
    goal = StrArg(goal, 1);
    goto next_goal;
  }
  if (key == atom_true)
    goto proceed;
  if (key == K.cut) {
    qx_cut_to(w, qx_offset_node(w, cut_b));
    goto proceed;
  }
  if (key == K.semicolon) {
    TAGGED left = deref(StrArg(goal, 1));
    uint32_t here = qx_node_offset(w, w->node_);
    w->term[0] = StrArg(goal, 2);
    w->term[1] = MakeSmall((int32_t)cut_b);
    w->term[2] = raw(ctx);
    if (IsStr(left) && StrFunctor(left) == K.arrow) {
      node *b = qx_push_node(w, qx_alt(QX_ALT_ITE_ELSE, 3));
      ensure_heap(w, 8);
      push_frame_cut(w, make_struct(w, K.ite_then, {MakeSmall((int32_t)here), StrArg(left, 2)}), cut_b, ctx);
      goal = StrArg(left, 1);
      cut_b = qx_node_offset(w, b);
      goto next_goal;
    }
    qx_push_node(w, qx_alt(QX_ALT_DISJ, 3));
    goal = left;
    goto next_goal;
  }
  if (key == K.arrow || key == K.not_) {
    /* (C -> T) is (C -> T ; fail); \+ G is (G -> fail ; true). */
    uint32_t here = qx_node_offset(w, w->node_);
    bool negation = key == K.not_;
    w->term[0] = negation ? atom_true : atom_fail;
    w->term[1] = MakeSmall((int32_t)cut_b);
    w->term[2] = raw(ctx);
    node *b = qx_push_node(w, qx_alt(QX_ALT_ITE_ELSE, 3));
    ensure_heap(w, 8);
    push_frame_cut(w, make_struct(w, K.ite_then, {MakeSmall((int32_t)here), negation ? atom_fail : StrArg(goal, 2)}),
                   cut_b, ctx);
    goal = StrArg(goal, 1);
    cut_b = qx_node_offset(w, b);
    goto next_goal;
  }
  if (key == K.ite_then) {
    qx_cut_to(w, qx_offset_node(w, (uint32_t)GetSmall(deref(StrArg(goal, 1)))));
    goal = StrArg(goal, 2);
    goto next_goal;
  }
  if (key == atom_fail || key == K.false_)
    goto fail;
  if (key == K.colon) {
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
    TAGGED g = add_args(w, StrArg(goal, 1), StrArgs(goal) + 1, n - 1);
    if (!g) {
      interp_error(w, QX_ERR_TYPE, "callable", deref(StrArg(goal, 1)));
      goto fail;
    }
    goal = g;
    cut_b = qx_node_offset(w, w->node_);   /* call/N is opaque to cut */
    goto next_goal;
  }
  if (key == K.catch3) {
    ensure_heap(w, 16);
    TAGGED *flag = w->global_top++;
    *flag = MakeRef(flag);
    w->term[0] = goal;
    w->term[1] = *flag;
    w->term[2] = raw(ctx);
    node *b = qx_push_node(w, qx_alt(QX_ALT_CATCH, 3));
    uint32_t here = qx_node_offset(w, b);
    push_frame_cut(w, make_struct(w, K.catch_exit, {*flag, MakeSmall((int32_t)here)}), cut_b, ctx);
    goal = StrArg(goal, 1);
    cut_b = here;
    goto next_goal;
  }
  if (key == K.catch_exit) {
    node *b = qx_offset_node(w, (uint32_t)GetSmall(deref(StrArg(goal, 2))));
    if (w->node_ == b)
      qx_pop_node(w);
    else
      bind_var(w, deref(StrArg(goal, 1)), atom_nil);   /* no longer catching; undone on backtracking */
    goto proceed;
  }
  if (key == K.throw1) {
    TAGGED ball = deref(StrArg(goal, 1));
    if (IsRef(ball)) {
      interp_error(w, QX_ERR_INSTANTIATION, "", 0);
      goto fail;
    }
    qx_set_exception(w, ball);
    goto throw_ball;
  }
  if (key == K.call_cleanup2) {
    ensure_heap(w, 16);
    TAGGED *done = w->global_top++;
    *done = MakeRef(done);
    TAGGED cleanup = make_struct(w, functor_cleanup2, {make_struct(w, K.colon, {ctx->name, StrArg(goal, 2)}), *done});
    qx_trail_cleanup(w, cleanup);
    uint32_t here = qx_node_offset(w, w->node_);
    push_frame_cut(w, make_struct(w, K.cleanup_exit, {cleanup, MakeSmall((int32_t)here)}), cut_b, ctx);
    goal = StrArg(goal, 1);
    cut_b = here;
    goto next_goal;
  }
  if (key == K.cleanup_exit) {
    TAGGED cleanup = deref(StrArg(goal, 1));
    node *b = qx_offset_node(w, (uint32_t)GetSmall(deref(StrArg(goal, 2))));
    TAGGED *done = RefPtr(deref(StrArg(cleanup, 2)));
    if (IsRef(*done) && *done == MakeRef(done)) {
      if (w->node_ == b) {
        *done = atom_true;      /* deterministic exit: run it now, once */
        goal = run_cleanup_goal(w, StrArg(cleanup, 1));
        cut_b = qx_node_offset(w, w->node_);
        goto next_goal;
      }
      w->node_->next_alt = (alt_code *)((uintptr_t)w->node_->next_alt | 1);   /* collect at cut */
    }
    goto proceed;
  }
  if (key == K.run_cleanup) {
    /* (catch(G, _, true) -> true ; true): errors and failure of a cleanup goal are ignored. */
    ensure_heap(w, 16);
    TAGGED *any = w->global_top++;
    *any = MakeRef(any);
    TAGGED c = make_struct(w, K.catch3, {StrArg(goal, 1), *any, atom_true});
    goal = make_struct(w, K.semicolon, {make_struct(w, K.arrow, {c, atom_true}), atom_true});
    goto next_goal;
  }

  /* ---- predicates ---- */
  def = lookup(ctx, key);
  if (QX_UNLIKELY(!def))
    goto undefined;
  switch (def->predtyp) {
  case ENTER_INTERPRETED: {
    uint32_t clock = qx_eg.clause_clock;
    TAGGED ckey = call_key(goal);
    instance *ins = next_match(def->first_clause, ckey, clock);
    if (!ins)
      goto fail;
    uint32_t b0 = qx_node_offset(w, w->node_);   /* offsets survive growth of the area */
    instance *alt = next_match(ins->next, ckey, clock);
    if (alt) {
      w->term[0] = goal;
      w->term[1] = raw(def);
      w->term[2] = raw(alt);
      w->term[3] = MakeSmall((int32_t)(clock & 0xFFFF));
      w->term[4] = MakeSmall((int32_t)(clock >> 16));
      qx_push_node(w, qx_alt(QX_ALT_RETRY_CLAUSE, 5));
      qx_definition_enter(def);
    }
    TAGGED body = try_clause(w, goal, ins);
    if (!body)
      goto fail;
    goal = body;
    cut_b = b0;
    ctx = def->module;
    goto next_goal;
  }
  case BUILTIN_DET:
  case ENTER_C:
  case BUILTIN_NONDET:
  case ENTER_C_NONDET: {
    uint32_t arity = def->proc.arity;
    if (arity)
      std::memcpy(w->term, StrArgs(goal), arity * sizeof(TAGGED));
    uint32_t before = qx_node_offset(w, w->node_);
    running_native = def;
    running_goal = goal;
    qx_set_native_goal(goal, def->module);
    if (!def->code.native(w)) {
      if (qx_node_offset(w, w->node_) != before && NodeAlt(w->node_)->op == QX_ALT_RETRY_C)
        qx_pop_node(w);
      goto fail;
    }
    goto proceed;
  }
  case ENTER_UNDEFINED:
    if (def->properties.dynamic)
      goto fail;
    goto undefined;
  default: {
    ensure_heap(w, 64);
    char msg[256];
    std::snprintf(msg, sizeof msg, "%s code is not supported: %s:%s/%u",
                  def->predtyp == FD_CONSTRAINT ? "indexical" : "compiled", atom_name(def->module->name),
                  atom_name(def->proc.printname), def->proc.arity);
    interp_error(w, QX_ERR_SYSTEM, msg, 0);
    goto fail;
  }
  }

undefined:
  if (!undefined_call(w, def, ctx, goal))
    goto fail;
  goto proceed;

not_callable:
  interp_error(w, QX_ERR_TYPE, "callable", goal);
  goto fail;

proceed: {
  frame *f = w->cont;
  if (f == exitcode) {
    if (QX_UNLIKELY(w->global_top >= w->heap_warn_soft)) {
      TAGGED work = pending_work(w);
      if (work) {
        goal = work;
        cut_b = qx_node_offset(w, w->node_);
        ctx = qx_eg.user_module;
        goto next_goal;
      }
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

fail: {
  node *b = w->node_;
  restore_node(w, b);
  alt_code *alt = NodeAlt(b);
  switch (alt->op) {
  case QX_ALT_TERMCODE:
  case QX_ALT_EXCPCODE:
    return 0;
  case QX_ALT_DISJ:
  case QX_ALT_ITE_ELSE:
    goal = b->term[0];
    cut_b = (uint32_t)GetSmall(b->term[1]);
    ctx = unraw<mod_def>(b->term[2]);
    qx_pop_node(w);
    goto next_goal;
  case QX_ALT_RETRY_CLAUSE: {
    goal = b->term[0];
    def = unraw<definition>(b->term[1]);
    instance *ins = unraw<instance>(b->term[2]);
    uint32_t clock = (uint32_t)GetSmall(b->term[3]) | ((uint32_t)GetSmall(b->term[4]) << 16);
    instance *alt_ins = next_match(ins->next, call_key(goal), clock);
    bool last = alt_ins == nullptr;
    uint32_t b0 = qx_node_offset(w, qx_node_below(b));
    if (last) {
      w->node_ = qx_offset_node(w, b0);   /* popped; the predicate is left after the try */
      set_uncond(w);
    } else {
      b->term[2] = raw(alt_ins);
    }
    TAGGED body = try_clause(w, goal, ins);
    if (last)
      qx_definition_leave(def);
    if (!body)
      goto fail;
    goal = body;
    cut_b = b0;
    ctx = def->module;
    goto next_goal;
  }
  case QX_ALT_RETRY_C: {
    int nregs = alt->nregs - 2;
    std::memcpy(w->term, b->term, (size_t)nregs * sizeof(TAGGED));
    def = unraw<definition>(b->term[nregs]);
    running_native = def;
    running_goal = b->term[nregs + 1];
    qx_set_native_goal(running_goal, def->module);
    uint32_t b_off = qx_node_offset(w, b);
    if (!def->retry(w)) {
      if (qx_node_offset(w, w->node_) == b_off)
        qx_pop_node(w);
      goto fail;
    }
    goto proceed;
  }
  case QX_ALT_ERROR: {
    qx_pop_node(w);
    qx_raise_pending(w);
    goto throw_ball;
  }
  default:
    qx_pop_node(w);
    goto fail;
  }
}

throw_ball:
  for (;;) {
    node *b = w->node_;
    alt_code *alt = NodeAlt(b);
    if (alt->op == QX_ALT_TERMCODE || alt->op == QX_ALT_EXCPCODE) {
      restore_node(w, b);
      return -1;
    }
    if (alt->op == QX_ALT_CATCH && catch_active(b) && !ball_is_reserved()) {
      restore_node(w, b);
      TAGGED ball = qx_exception_term(w);
      TAGGED catch_goal = b->term[0];
      mod_def *catch_ctx = unraw<mod_def>(b->term[2]);
      /* Unifying may trail and so move the choicepoint area: b is re-read afterwards. */
      if (cunify(w, StrArg(catch_goal, 2), ball)) {
        qx_clear_exception();
        ctx = catch_ctx;
        qx_pop_node(w);
        goal = StrArg(catch_goal, 3);
        cut_b = qx_node_offset(w, w->node_);
        goto next_goal;
      }
    }
    restore_node(w, w->node_);
    qx_pop_node(w);
  }
}

}  // namespace

/* ---- entry points ---- */
int wam(worker *w, int mode, definition *def)
{
  if (mode == -2)
    return init_wam() == 0;
  return do_wam(w, mode, def);
}

static TAGGED goal_of(worker *w, definition *def)
{
  uint32_t arity = def->proc.arity;
  if (arity == 0)
    return def->proc.printname;
  ensure_heap(w, arity + 1);
  TAGGED *p = w->global_top;
  p[0] = MakeFunctor(def->proc.printname, arity);
  std::memcpy(p + 1, w->term, arity * sizeof(TAGGED));
  w->global_top += arity + 1;
  return MakeStr(p);
}

int do_wam(worker *w, int mode, definition *def)
{
  frame *saved_cont = w->cont;
  frame *saved_frame = w->frame_;
  qx_recovery_scope recovery(QX_RECOVERY_EMULATOR);
  RunStart start = START_FAIL;
  TAGGED goal = 0;
  mod_def *ctx = def ? def->module : qx_eg.user_module;
  if (mode == 3) {
    goal = goal_of(w, def);
    qx_push_node(w, termcode);
    w->cont = exitcode;
    start = START_GOAL;
  }
  int result;
  for (;;) {
    try {
      result = run(w, goal, qx_node_offset(w, w->node_), ctx, start);
      break;
    } catch (const qx_fault &fault) {
      memman_reinit();
      ensure_heap(w, 64);
      TAGGED formal = fault.kind == QX_FAULT_MEMORY
                          ? make_struct(w, MakeFunctor(init_atom_check("resource_error", 0), 1),
                                        {init_atom_check("memory", 0)})
                          : make_struct(w, MakeFunctor(init_atom_check("system_error", 0), 1),
                                        {init_atom_check(fault.message, 0)});
      qx_set_exception(w, make_struct(w, MakeFunctor(atom_error, 2), {formal, atom_nil}));
      start = START_THROW;
    }
  }
  w->cont = saved_cont;
  w->frame_ = saved_frame;
  return result;
}

int qx_call_once(worker *w, TAGGED goal, mod_def *ctx)
{
  node *base = w->node_;
  frame *saved_local = w->local_top;
  definition *call1 = find_definition(qx_eg.prolog_module, K.call[1], nullptr, 0);
  ensure_heap(w, 8);
  w->term[0] = make_struct(w, K.colon, {ctx ? ctx->name : atom_user, goal});
  int r = do_wam(w, 3, call1);
  qx_cut_to(w, base);
  if (w->local_top > saved_local && w->local_uncond <= saved_local)
    w->local_top = saved_local;
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
  failcode = qx_alt(QX_ALT_FAILCODE, 0);
  elsecode = qx_alt(QX_ALT_BARRIER, 0);
  auto f = [](const char *name, uint32_t arity) {
    TAGGED a = init_atom_check(name, 0);
    return arity ? MakeFunctor(a, arity) : a;
  };
  K.comma = functor_comma2;
  K.semicolon = f(";", 2);
  K.arrow = f("->", 2);
  K.softarrow = f("*->", 2);
  K.not_ = f("\\+", 1);
  K.colon = functor_colon2;
  K.catch3 = f("catch", 3);
  K.throw1 = f("throw", 1);
  for (uint32_t i = 1; i <= 8; i++)
    K.call[i] = f("call", i);
  K.call[0] = atom_call;
  K.ite_then = f("$ite_then", 2);
  K.catch_exit = f("$catch_exit", 2);
  K.cleanup_exit = f("$cleanup_exit", 2);
  K.call_cleanup2 = f("call_cleanup", 2);
  K.cut = f("!", 0);
  K.false_ = f("false", 0);
  K.neck = f(":-", 2);
  K.reserved1 = f("$reserved", 1);
  K.run_cleanup = f("$run_cleanup", 1);
  K.attr_unify_hook2 = f("attr_unify_hook", 2);
  pending_cleanups.clear();
  var_stamp = 0;
  std::memset(call_cache, 0, sizeof call_cache);
  qx_eg.def_generation++;
  if (qx_w)
    qx_w->cleanup_hook = cleanup_hook;
  /* call/1 is named by queries from native code; the loop runs it inline. */
  qx_define_native(qx_eg.prolog_module, "call", 1, call1_native, nullptr, BUILTIN_CONTROL);
  return 0;
}

void deinit_wam()
{
  qx_clear_exception();
  if (qx_eg.pending_error_culprit)
    qx_free_instance(qx_eg.pending_error_culprit);
  qx_eg.pending_error_culprit = nullptr;
  for (instance *ins : pending_cleanups)
    qx_free_instance(ins);
  pending_cleanups.clear();
  for (auto &row : alt_table)
    for (alt_code *&a : row)
      if (a) {
        qx_checkdealloc(a, sizeof(alt_code), QX_SPACE_PROGRAM);
        a = nullptr;
      }
  termcode = excpcode = failcode = elsecode = nullptr;
  std::vector<VarSlot>().swap(vartab);
  std::vector<TAGGED>().swap(unify_work);
  std::vector<BuildItem>().swap(build_stack);
}
