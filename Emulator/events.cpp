/* The slow path of the event check, and what it serves.
 *
 * The interpreter compares the heap top with heap_warn_soft before every goal and before a run
 * returns 1. Zeroing the soft limit (binding an attributed variable, queueing a cleanup goal,
 * posting an event) makes the next check take this path, which makes heap room, runs the
 * attributed-variable wake-ups, the pending cleanup goals and the event hook, and then puts the
 * soft limit back unless something arrived meanwhile.
 */
#include <vector>

#include "atoms.h"
#include "gc.h"
#include "modules.h"
#include "unify.h"
#include "wam_internal.h"

void (*qx_event_hook)(worker *w);

namespace {

/* Cleanup goals are held as instances: the heap they were on may be gone when they run. */
std::vector<instance *> pending_cleanups;

TAGGED conj(worker *w, TAGGED a, TAGGED b)
{
  if (a == 0) return b;
  if (b == 0) return a;
  return qx_make_struct(w, functor_comma2, {a, b});
}

/* Heap words the wake goals of one bound variable may take: a hook call per attribute slot
 * (Module:attr_unify_hook(A, V) and its conjunction) and the suspended goals. */
uint32_t wake_words() { return 9 * (qx_eg.attr_no + 1) + 6; }

/* The module's attr_unify_hook/2 as last looked up, and the generation of definitions it was
 * looked up in: a wake-up looks it up again only when a call may resolve differently. */
struct hook_lookup {
  mod_def *module;
  definition *hook;
  uint32_t generation;
} last_hook;

definition *unify_hook_of(mod_def *m)
{
  if (last_hook.module != m || last_hook.generation != qx_eg.def_generation)
    last_hook = {m, find_definition(m, qx_K.attr_unify_hook2, nullptr, 0), qx_eg.def_generation};
  return last_hook.hook;
}

/* Module:attr_unify_hook(A, V) at the heap top, room made. */
TAGGED hook_goal(worker *w, mod_def *m, TAGGED a, TAGGED value)
{
  TAGGED *p = w->global_top;
  w->global_top += 6;
  p[0] = qx_K.attr_unify_hook2, p[1] = a, p[2] = value;
  p[3] = functor_colon2, p[4] = m->name, p[5] = MakeStr(p);
  return MakeStr(p + 3);
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
    for (uint32_t slot = 1; slot <= n; slot++) {
      TAGGED a = StrArg(attrs, slot);
      mod_def *m = qx_attr_module(slot);
      if (deref(a) == atom_no_attr || !m) continue;
      definition *hook = unify_hook_of(m);
      if (!hook || hook->predtyp == ENTER_UNDEFINED) continue;
      result = conj(w, result, hook_goal(w, m, a, value));
    }
  }
  if (goals == atom_nil || goals == atom_true || IsVar(goals)) return result;
  /* Bound to another attributed variable: the goals stay suspended, now on that variable. */
  TAGGED other = deref(value);
  if (IsVar(other) && qx_is_attvar_cell(w, RefPtr(other))) {
    TAGGED *other_cell = RefPtr(other);
    TAGGED old = deref(other_cell[1]);
    TAGGED merged = old == atom_nil ? goals : qx_make_struct(w, functor_comma2, {old, goals});
    if (qx_cell_is_old(w, other_cell + 1)) qx_trail_cell_value(w, other_cell + 1);
    other_cell[1] = merged;
    return result;
  }
  return conj(w, result, qx_make_struct(w, functor_colon2, {atom_prolog, goals}));
}

TAGGED take_wakeups(worker *w)
{
  qx_heap_room(w, w->wake_len * wake_words());
  TAGGED goal = 0;
  for (uint32_t i = 0; i < w->wake_len; i++) goal = conj(w, goal, wake_goals(w, w->wake_list[i]));
  w->wake_len = 0;
  w->wake_count = 0;
  return goal;
}

/* Each pending cleanup goal, wrapped so that its failure or error is ignored. */
TAGGED take_cleanups(worker *w)
{
  uint32_t words = 0;
  for (instance *ins : pending_cleanups) words += qx_instance_heap_words(ins) + 5;
  qx_heap_room(w, words);
  TAGGED goal = 0;
  std::vector<instance *> todo;
  todo.swap(pending_cleanups);
  for (instance *ins : todo) {
    TAGGED g = qx_copy_from_instance(w, ins);
    qx_free_instance(ins);
    goal = conj(w, goal, qx_make_struct(w, qx_K.run_cleanup, {g}));
  }
  return goal;
}

bool event_due(const worker *w) { return w->event_flags && !w->events_disabled && qx_event_hook; }

/* What qx_pending_work does after the wake-ups: the goal with the pending cleanups after it, and
 * the posted event's hook run. */
[[gnu::noinline]] TAGGED cleanups_and_event(worker *w, TAGGED goal)
{
  qx_gc_root root(&goal); /* making room for the cleanups and the event hook may collect */
  if (!pending_cleanups.empty()) {
    TAGGED cleanups = take_cleanups(w); /* first: it moves the goal when it collects */
    goal = conj(w, goal, cleanups);
  }
  if (event_due(w)) {
    w->event_flags = 0;
    qx_event_hook(w);
  }
  return goal;
}

}  // namespace

void qx_queue_cleanup(worker *w, TAGGED goal)
{
  pending_cleanups.push_back(qx_copy_to_instance(w, goal));
  w->heap_warn_soft = nullptr;
}

bool qx_cleanup_pending() { return !pending_cleanups.empty(); }

void qx_cleanup_mark_atoms()
{
  for (const instance *ins : pending_cleanups) qx_agc_mark_instance(ins);
}

instance *qx_cleanup_take()
{
  if (pending_cleanups.empty()) return nullptr;
  instance *ins = pending_cleanups.front();
  pending_cleanups.erase(pending_cleanups.begin());
  return ins;
}

void qx_cleanup_deinit()
{
  for (instance *ins : pending_cleanups) qx_free_instance(ins);
  std::vector<instance *>().swap(pending_cleanups);
  last_hook = {}; /* the engine's modules and definitions go with it */
}

void qx_request_event(worker *w)
{
  w->event_flags |= 1;
  w->heap_warn_soft = nullptr;
}

TAGGED qx_pending_work(worker *w)
{
  /* The soft limit doubles as the heap warning: past it, make the GC margin free again. */
  if (w->heap_warn && w->global_top >= w->heap_warn) call_overflow(w, 1024, 0);
  if (qx_agc_due()) qx_atom_gc(w);
  TAGGED goal = w->wake_len ? take_wakeups(w) : 0;
  if (!pending_cleanups.empty() || event_due(w)) goal = cleanups_and_event(w, goal);
  qx_restore_soft_limit(w);
  return goal;
}
