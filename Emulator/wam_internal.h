/* What the interpreter's files share: the functors of the control constructs, raw words in saved
 * registers, heap room, the choicepoint helpers of the loop and the queue of pending cleanup
 * goals. Not for use outside wam.cpp, choicepoints.cpp and events.cpp. */
#ifndef QX_WAM_INTERNAL_H
#define QX_WAM_INTERNAL_H

#include <initializer_list>

#include "datadefs.h"
#include "instance.h"
#include "objareas.h"
#include "wam.h"

/* Functors of the control constructs and of the terms the interpreter builds, made by init_wam. */
struct qx_control_functors {
  TAGGED semicolon, arrow, not_, catch3, throw1, call[9], ite_then, catch_exit, cleanup_exit,
      call_cleanup2, cleanup3, cut, false_, neck, reserved1, run_cleanup, attr_unify_hook2;
};
extern qx_control_functors qx_K;

/* Raw words: 8-aligned addresses kept in saved registers read as small integers. */
inline TAGGED qx_raw(const void *p) { return (TAGGED)(uintptr_t)p | 3; }
template <class T>
inline T *qx_unraw(TAGGED t)
{
  return (T *)(uintptr_t)(t & ~(TAGGED)3);
}

/* At least `words` free heap words plus a margin for the small terms the loop builds. */
inline void qx_heap_room(worker *w, uint32_t words)
{
  if ((uint32_t)(w->stack_start - w->global_top) < words + 256) call_overflow(w, words + 256, 0);
}
/* functor(args...) at the heap top; the caller has made room. */
TAGGED qx_make_struct(worker *w, TAGGED functor, std::initializer_list<TAGGED> args);

/* ---- choicepoints.cpp ---- */
/* Nodes that end a run of the loop: backtracking into one answers 0, an uncaught ball -1. */
static inline bool qx_is_bottom_op(int op)
{
  return op == QX_ALT_TERMCODE || op == QX_ALT_EXCPCODE || op == QX_ALT_RUNBASE;
}
/* Undo to node b and restore the state it saved (the node stays). */
void qx_restore_node(worker *w, node *b);
/* Conditional-binding limits from node n (choice_start: no node). */
void qx_set_uncond(worker *w, const node *n);
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
