/* Internals shared by the propagation kernel and the global-constraint services: mutables, the
 * fields of queued records, and heap room with extra roots. */
#ifndef QX_FD_PROPAGATE_H
#define QX_FD_PROPAGATE_H

#include "fd_kernel.h"

constexpr TAGGED functor_ix7 = atom_ix | (7u << QX_ARITY_SHIFT);
constexpr TAGGED functor_global5 = atom_global | (5u << QX_ARITY_SHIFT);
constexpr TAGGED functor_daemon5 = atom_daemon | (5u << QX_ARITY_SHIFT);
constexpr TAGGED functor_iff4 = atom_iff | (4u << QX_ARITY_SHIFT);
constexpr TAGGED functor_fdlists7 = atom_fdlists | (7u << QX_ARITY_SHIFT);

/* Argument positions shared by ix/7, global/5, daemon/5 and iff/4. */
constexpr int FD_ARG_STATUS = 3;
constexpr int FD_ARG_DEAD = 4;
/* Arguments of global/5 and of '$fdlists'/7. */
constexpr int FD_GLOBAL_STATE = 1, FD_GLOBAL_CONSTRAINT = 2, FD_GLOBAL_TERM = 5;
constexpr int FD_LISTS_COUNT = 1, FD_LISTS_MASK = 2, FD_LISTS_FIRST = 3;

/* Scratch term slots 0 to 4 are roots of every collection the kernel starts. */
constexpr int FD_LIVE = 5;

/* The last '$mutable' of a forwarding chain; its Value, read once on the way, in *value. */
static inline TAGGED fd_mutable_walk(TAGGED m, TAGGED *value)
{
  m = deref(m);
  for (;;) {
    TAGGED v = deref(StrArg(m, 1));
    if (!IsStr(v) || StrFunctor(v) != functor_mutable2) {
      *value = v;
      return m;
    }
    m = v;
  }
}
static inline TAGGED fd_mutable_last(TAGGED m)
{
  TAGGED value;
  return fd_mutable_walk(m, &value);
}
static inline TAGGED fd_mutable_value(TAGGED m)
{
  TAGGED value;
  fd_mutable_walk(m, &value);
  return value;
}

/* Whether no level is open once the level stack agrees with the level mutable: nothing is queued,
 * and a global posted now would be the loop's first run. */
bool fd_idle(ORVALIS_API_STRUCT *api, worker *w);

/* A suspension is dead once its fourth argument is bound. */
static inline bool fd_dead(TAGGED record) { return !IsVar(deref(StrArg(record, FD_ARG_DEAD))); }
static inline uint32_t fd_status(TAGGED record)
{
  return (uint32_t)GetSmall(fd_mutable_value(StrArg(record, FD_ARG_STATUS)));
}
static inline void fd_set_status(ORVALIS_API_STRUCT *api, worker *w, TAGGED record, uint32_t status)
{
  fd_update_mutable(api, w, MakeSmall((int32_t)status), StrArg(record, FD_ARG_STATUS));
}

/* The address kept in a term as a small-integer-tagged word (address + 3). */
static inline TAGGED fd_address_word(const void *p) { return (TAGGED)(uintptr_t)p + 3; }
static inline void *fd_word_address(TAGGED word) { return (void *)(uintptr_t)(word & ~(TAGGED)3); }

/* Makes `words` heap words free; the scratch slots and the n words at keep are roots. */
static inline void fd_room(ORVALIS_API_STRUCT *api, worker *w, uint32_t words,
                           TAGGED *keep = nullptr, uint32_t n = 0)
{
  if (fd_room_free(w, words)) return;
  if (n == 0) {
    call_overflow(w, words, FD_LIVE);
    return;
  }
  fd_roots root(api, keep, n);
  call_overflow(w, words, FD_LIVE);
}

/* A fresh heap structure of arity words after the functor; the caller made room. */
static inline TAGGED *fd_heap_words(worker *w, uint32_t words)
{
  TAGGED *p = w->global_top;
  w->global_top += words;
  return p;
}

/* Binds a variable cell to value without registering a wake-up, trailed when it is old. */
static inline void fd_bind(ORVALIS_API_STRUCT *api, worker *w, TAGGED var, TAGGED value)
{
  fd_bind_cell(api, w, RefPtr(var), value);
}

/* Ends global g entailed: the entailment counted and its Dead bound (trailed when older than the
 * newest choicepoint). */
static inline void fd_entailed(ORVALIS_API_STRUCT *api, worker *w, TAGGED g)
{
  fd_state(api)->entailments++;
  TAGGED dead = deref(StrArg(g, FD_ARG_DEAD));
  if (IsVar(dead)) fd_bind(api, w, dead, MakeSmall(1));
}

#endif
