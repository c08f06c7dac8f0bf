/* Natives for interpreter tests and benchmark programs that must not depend on the built-in
 * families: a nondeterministic between(Low, High, X) over small integers. */
#ifndef QX_TEST_NATIVES_H
#define QX_TEST_NATIVES_H

#include "unify.h"
#include "wam.h"

/* The retry step: state word 3 holds the last solution given. */
inline int test_between_retry(worker *w)
{
  TAGGED *state = qx_retry_state(w);
  int32_t next = GetSmall(state[3]) + 1;
  if (next >= GetSmall(deref(w->term[1])))
    qx_pop_retry(w);
  else
    state[3] = MakeSmall(next);
  return cunify(w, w->term[2], MakeSmall(next));
}

inline int test_between(worker *w)
{
  int32_t low = GetSmall(deref(w->term[0])), high = GetSmall(deref(w->term[1]));
  if (low > high) return 0;
  if (low < high) {
    w->term[3] = MakeSmall(low);
    qx_push_retry(w, 4);
  }
  return cunify(w, w->term[2], MakeSmall(low));
}

#endif
