/* The solver's side of the engine boundary.
 *
 * The solver reaches the engine only through the two dispatch tables of its API handle: its
 * target is compiled with QX_RESOURCE_API defined as `api`, so that every engine function that
 * orvalis.h and support.h name is a call through the handle in scope (a function that calls the
 * engine takes the handle as `api`). Besides the cell layout of the chief headers, what the
 * solver does on the worker's areas itself is here: the trail entries it pushes (the engine
 * grows the trail through choice_overflow), plain bindings, the marks on choicepoints that have
 * trail entries to collect, and boxed 64-bit integers.
 */
#ifndef QX_FD_ENGINE_H
#define QX_FD_ENGINE_H

#include <cstddef>
#include <cstdint>

#include "atoms.h"
#include "datadefs.h"
#include "objareas.h"
#include "orvalis.h"
#include "support.h"

/* The engine's tables as the resource's entry was given them (a handle with no instance behind
 * it), for code that runs without a handle: the destructor of a persistent block, which may run
 * after the instance that made the block is gone. The tables never change. */
extern ORVALIS_API_STRUCT fd_engine_tables;

/* Whether the collector runs on every heap overflow call (the QX_GC_STRESS build option, or
 * QX_GC_STRESS=1 in the environment): the solver then asks for room at every check instead of
 * only when the heap runs short, so that each check is a collection. */
extern const bool fd_gc_stress;

/* ---- the trail ---- */

/* After a push: the engine grows the trail when its top comes within QX_TRAIL_MARGIN_CELLS of
 * the newest choicepoint. */
static inline void fd_trail_check(ORVALIS_API_STRUCT *api, worker *w)
{
  if ((char *)w->node_ - (char *)w->trail_top < (ptrdiff_t)(QX_TRAIL_MARGIN_CELLS * sizeof(TAGGED)))
    choice_overflow(w, QX_TRAIL_MARGIN_CELLS);
}

/* A one-word entry: the address of a bound cell, or a list-tagged [V | '$free'(Block)] pair. */
static inline void fd_trail_push(ORVALIS_API_STRUCT *api, worker *w, TAGGED entry)
{
  *w->trail_top++ = entry;
  fd_trail_check(api, w);
}

/* Binds a cell known not to be an attributed variable, trailing it when it is old. */
static inline void fd_bind_cell(ORVALIS_API_STRUCT *api, worker *w, TAGGED *cell, TAGGED value)
{
  *cell = value;
  if (qx_cell_is_old(w, cell)) fd_trail_push(api, w, MakeRef(cell));
}

/* A '$mutable'(Value, Stamp) about to change is saved once per choicepoint (objareas.h). The
 * caller writes the new Value afterwards. */
static inline void fd_trail_mutable(ORVALIS_API_STRUCT *api, worker *w, TAGGED mutable_term)
{
  if (qx_trail_mutable_push(w, mutable_term)) fd_trail_check(api, w);
}

/* Marks the choicepoints from the newest towards the oldest, up to the first one already marked,
 * as having trail entries to collect when they go (bit 0 of the alternative). */
static inline void fd_mark_choicepoints(worker *w)
{
  for (node *b = w->node_; b < w->choice_start && !((uintptr_t)b->next_alt & 1);
       b = (node *)((char *)b + NodeAlt(b)->node_size))
    b->next_alt = (alt_code *)((uintptr_t)b->next_alt | 1);
}

/* ---- integers beyond the small range ---- */

/* The value of an integer term of at most 64 bits: a small integer or a boxed one of one or two
 * limbs (least significant first, two's complement). */
static inline bool fd_get_int64(TAGGED t, int64_t *value)
{
  if (IsSmall(t)) {
    *value = GetSmall(t);
    return true;
  }
  if (!IsBignum(t) || BignumLimbs(StrFunctor(t)) > 2) return false;
  const TAGGED *p = StrPtr(t);
  *value = BignumLimbs(p[0]) == 1 ? (int64_t)(int32_t)p[1]
                                  : (int64_t)(((uint64_t)p[2] << 32) | (uint64_t)p[1]);
  return true;
}

/* Heap words that fd_make_int64 may take. */
constexpr uint32_t FD_INT64_WORDS = 4;

/* The integer term of a 64-bit value in its shortest form; the caller made FD_INT64_WORDS heap
 * words free. */
static inline TAGGED fd_make_int64(worker *w, int64_t value)
{
  if (SmallFits(value)) return MakeSmall((int32_t)value);
  int limbs = value >= INT32_MIN && value <= INT32_MAX ? 1 : 2;
  TAGGED *box = w->global_top;
  box[0] = box[limbs + 1] = BignumHeader(limbs);
  box[1] = (TAGGED)(uint64_t)value;
  if (limbs == 2) box[2] = (TAGGED)((uint64_t)value >> 32);
  w->global_top = box + limbs + 2;
  return MakeStr(box);
}

#endif
