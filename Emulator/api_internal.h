/* What the embedding API's files share: the current worker's term slots, heap room for the
 * constructors, the recovery point of each entry, and how a term built from references takes a
 * variable that lies outside the heap. Not for use outside the api_ files. */
#ifndef QX_API_INTERNAL_H
#define QX_API_INTERNAL_H

#include <new>

#include "memman.h"
#include "objareas.h"
#include "orvalis.h"

/* Free heap cells a constructor keeps beyond the cells it builds. */
constexpr uint32_t QX_API_HEAP_RESERVE = 128;

static inline TAGGED *qx_ref_cell(worker *w, QX_term_ref t) { return w->fli_stack_start + 2 * t; }
static inline TAGGED qx_ref_get(worker *w, QX_term_ref t) { return deref(*qx_ref_cell(w, t)); }
static inline void qx_ref_put(worker *w, QX_term_ref t, TAGGED value)
{
  *qx_ref_cell(w, t) = value;
}

/* The value of a small integer or a one-limb boxed integer. */
static inline bool qx_api_int32(TAGGED t, int32_t *value)
{
  if (IsSmall(t)) {
    *value = GetSmall(t);
    return true;
  }
  if (IsBignum(t) && BignumLimbs(StrFunctor(t)) == 1) {
    *value = (int32_t)StrPtr(t)[1];
    return true;
  }
  return false;
}

/* Runs an entry's body under a recovery point of its own: a fault inside (memory exhausted, or
 * an internal fault) makes the entry answer `failure` with error 15. Bodies check room before
 * they change anything, so a fault leaves the worker as it was. */
template <class R, class F>
R qx_api_call(R failure, F body)
{
  qx_recovery_scope recovery(QX_RECOVERY_API);
  try {
    return body();
  } catch (const qx_fault &) {
  } catch (const std::bad_alloc &) {}
  memman_reinit();
  qx_set_errno(QX_ERR_SYSTEM_ERROR);
  return failure;
}

/* cells plus the reserve free on the heap: false with error 15 when the heap cannot grow so far.
 * The room is the fence minus the top as a signed difference: a top past the fence has none.
 * cells stays far below 2^62 (it counts cells of terms that a caller describes). */
static inline bool qx_api_heap_room(worker *w, uint64_t cells)
{
  uint64_t need = cells + QX_API_HEAP_RESERVE;
  if (!qx_heap_short(w, need)) return true;
  return qx_api_call(false, [&] {
    if (need > UINT32_MAX) qx_memory_fault(nullptr, QX_SPACE_STACKS);
    call_overflow(w, (uint32_t)need, 0);
    return true;
  });
}

/* Stores value into dest, a new argument cell on the heap. An unbound variable outside the heap
 * (on the local stack) cannot be referenced from the heap: it is bound to dest, which becomes a
 * fresh variable, trailed when it is older than the newest choicepoint. */
void qx_api_arg(worker *w, TAGGED *dest, TAGGED value);

#endif
