/* What the interpreter's files share: the functors of the control constructs and the kinds of
 * goals, raw words in saved registers, heap room, the layout of clause retry nodes, the
 * choicepoint helpers of the loop and the queue of pending cleanup goals. Not for use outside
 * the interpreter's files (wam, clause_code, clause_try, choicepoints, events). */
#ifndef QX_WAM_INTERNAL_H
#define QX_WAM_INTERNAL_H

#include <initializer_list>
#include <vector>

#include "database.h"
#include "datadefs.h"
#include "instance.h"
#include "objareas.h"
#include "wam.h"

/* Functors of the control constructs and of the terms the interpreter builds, made by init_wam. */
struct qx_control_functors {
  TAGGED semicolon, arrow, not_, catch3, throw1, call[9], call_cleanup2, cleanup3, cut, false_,
      neck, reserved1, run_cleanup, attr_unify_hook2, soft_arrow, is2;
  TAGGED compare2[6]; /* =:= =\= < > =< >= */
};
extern qx_control_functors qx_K;

/* What a goal is, by its functor (an atom for arity 0): a predicate, a control construct, or a
 * built-in a clause body may run inline. */
enum qx_goal_kind_t : uint8_t {
  QX_GOAL_PRED,
  QX_GOAL_CONJ,
  QX_GOAL_TRUE,
  QX_GOAL_CUT,
  QX_GOAL_DISJ,
  QX_GOAL_ARROW,
  QX_GOAL_NOT,
  QX_GOAL_FAIL,
  QX_GOAL_COLON,
  QX_GOAL_CALL, /* call/1..8 */
  QX_GOAL_CATCH,
  QX_GOAL_THROW,
  QX_GOAL_CALL_CLEANUP,
  QX_GOAL_RUN_CLEANUP,
  QX_GOAL_TERM,   /* (clause code only) a goal run as a term */
  QX_GOAL_INLINE, /* =/2, is/2 and the comparisons, in the order of qx_inline from its UNIFY */
};
/* One multiplication and one comparison: a table with a place for each kind's functor. */
struct qx_goal_slot {
  TAGGED key;
  uint8_t kind;
};
constexpr uint32_t QX_GOAL_TABLE_BITS = 7;
extern qx_goal_slot qx_goal_table[1u << QX_GOAL_TABLE_BITS];
extern uint32_t qx_goal_mult;
inline int qx_goal_kind(TAGGED key)
{
  const qx_goal_slot &s = qx_goal_table[(key * qx_goal_mult) >> (32 - QX_GOAL_TABLE_BITS)];
  return s.key == key ? (int)s.kind : (int)QX_GOAL_PRED;
}

/* Saved words of a clause retry node: the definition, the clause to try next, where the walk
 * over the candidates stands and the call's clause clock, then the call's arguments. */
enum : int {
  QX_RETRY_DEF,
  QX_RETRY_CLAUSE,
  QX_RETRY_WALK,
  QX_RETRY_CLOCK = QX_RETRY_WALK + QX_WALK_WORDS,
  QX_RETRY_ARGS = QX_RETRY_CLOCK + QX_CLOCK_WORDS
};

/* A clause retry node whose call knew its last candidate saves only the definition, that clause
 * and the arguments: no walk goes on from it, so neither the walk nor the clock is kept. */
enum : int { QX_LAST_DEF, QX_LAST_CLAUSE, QX_LAST_ARGS };
static_assert((int)QX_LAST_DEF == (int)QX_RETRY_DEF, "both kinds of retry node name the definition first");
static inline bool qx_is_clause_retry(int op)
{
  return op == QX_ALT_RETRY_CLAUSE || op == QX_ALT_RETRY_LAST;
}

/* Raw words: 8-aligned addresses kept in saved registers read as small integers. */
inline TAGGED qx_raw(const void *p) { return (TAGGED)(uintptr_t)p | 3; }
template <class T>
inline T *qx_unraw(TAGGED t)
{
  return (T *)(uintptr_t)(t & ~(TAGGED)3);
}

/* At least `words` free heap words plus a margin for the small terms the loop builds; term[0..
 * live-1] hold terms the caller still needs. */
inline bool qx_heap_tight(const worker *w, uint32_t words)
{
  /* qx_heap_short for word counts far below 2^31: a 32-bit difference decides the common case. */
  bool near = w->stack_start - w->global_top < (ptrdiff_t)words;
  return QX_UNLIKELY(near || qx_gc_stress) && qx_heap_short(w, words);
}
inline void qx_heap_room(worker *w, uint32_t words, int live = 0)
{
  if (qx_heap_tight(w, words + 256)) call_overflow(w, words + 256, live);
}
/* functor(args...) at the heap top; the caller has made room. */
TAGGED qx_make_struct(worker *w, TAGGED functor, std::initializer_list<TAGGED> args);

/* Adds to `running` the clauses whose code a frame, node or suspended run may still resume;
 * answers the number of frames and nodes looked at. */
size_t qx_running_clauses(worker *w, std::vector<const qx_clause_info *> &running);

/* ---- choicepoints.cpp ---- */
/* Nodes that end a run of the loop: backtracking into one answers 0, an uncaught ball -1. */
static inline bool qx_is_bottom_op(int op)
{
  return op == QX_ALT_TERMCODE || op == QX_ALT_EXCPCODE || op == QX_ALT_RUNBASE;
}
/* A node whose saved words the caller fills in (alt->nregs of them). */
static QX_HOT_INLINE node *qx_push_node_bare(worker *w, alt_code *alt)
{
  size_t size = (size_t)alt->node_size;
  if (QX_UNLIKELY((char *)w->node_ - size <
                  (char *)w->trail_top + QX_TRAIL_MARGIN_CELLS * sizeof(TAGGED)))
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
  w->node_ = b;
  w->global_uncond = w->global_top;
  w->local_uncond = w->local_top;
  return b;
}
/* Undo to node b and restore the state it saved (the node stays). Plain bindings, nearly all
 * entries, are undone here; the first entry of another kind hands the rest to the trail's own
 * walk. */
static inline void qx_restore_node(worker *w, node *b)
{
  TAGGED *t = w->trail_top, *to = b->trail_top;
  while (t > to && IsRef(t[-1])) {
    t--;
    *RefPtr(*t) = *t;
  }
  w->trail_top = t;
  if (QX_UNLIKELY(t > to))
    qx_untrail_to(w, to);
  else
    qx_trail_lower_special(w, to);
  w->global_top = b->global_top;
  w->local_top = b->local_top;
  w->cont = b->cont;
  w->frame_ = b->frame_;
  if (w->wake_len > b->wake_len) w->wake_len = b->wake_len;
  w->wake_count = b->wake_count;
  w->global_uncond = b->global_top;
  w->local_uncond = b->local_top;
}
/* Conditional-binding limits from node n (choice_start: no node). */
static inline void qx_set_uncond(worker *w, const node *n)
{
  if (n != w->choice_start) {
    w->global_uncond = n->global_top;
    w->local_uncond = n->local_top;
  } else {
    w->global_uncond = w->heap_start;
    w->local_uncond = w->local_start;
  }
}
void qx_alt_deinit();

/* ---- events.cpp ---- */
/* Cleanup goals of call_cleanup/2 made pending by undoing or cutting, oldest first. */
bool qx_cleanup_pending();
instance *qx_cleanup_take(); /* null when none; the caller frees it */
void qx_cleanup_deinit();
/* The slow path of the event check: heap room, wake-ups, pending cleanups and posted events.
 * Answers the goal to run before the interrupted one, or 0; a posted event's hook may also
 * insert continuation frames. */
TAGGED qx_pending_work(worker *w);

#endif
