/* The worker's data areas: heap, local stack, trail and choicepoints, number stack; trail entries. */
#ifndef QX_OBJAREAS_H
#define QX_OBJAREAS_H

#include "datadefs.h"

int init_stacks(worker *w);      /* 0 on success */
void deinit_stacks(worker *w);
void trimcore(worker *w, int mode);

/* Make `words` heap words free; term[0..live-1] are roots. Never moves the heap. */
void call_overflow(worker *w, uint32_t words, int live);
/* Grow the trail/choicepoint block so that at least `pad` cells lie between the trail top and
 * the newest choicepoint. Choicepoints move; trail entries do not. */
void choice_overflow(worker *w, uint32_t pad);

/* Number stack: a chain of blocks, each twice the size of the one before. */
void numstack_init(worker *w);
void numstack_deinit();
void numstack_overflow(worker *w);
void numstack_trim(worker *w, char *mark);

/* ---- trail ----
 * Entries, read backwards by the tag of the newest word:
 *   plain:     address of a bound cell                                (tag 00)
 *   mutable:   address of '$mutable'/2, old Value, old Stamp           (top word a small int)
 *   cell value: old value, address + 1                                 (tag 01)
 *   $free:     address of the pair [V | '$free'(Block)] + 2            (tag 10)
 *   cleanup:   '$cleanup'(Goal, Done) structure, then the atom '$cleanup' (top word an atom)
 */
constexpr uint32_t QX_TRAIL_MARGIN_CELLS = 512;

static inline void qx_trail_check(worker *w)
{
  if ((char *)w->node_ - (char *)w->trail_top < (ptrdiff_t)(QX_TRAIL_MARGIN_CELLS * sizeof(TAGGED)))
    choice_overflow(w, QX_TRAIL_MARGIN_CELLS);
}
/* Trail index of the top (words from trail_start): stable across growth. */
static inline uint32_t qx_trail_index(const worker *w) { return (uint32_t)(w->trail_top - w->trail_start); }

void qx_trail_plain(worker *w, TAGGED *cell);
void qx_trail_cell_value(worker *w, TAGGED *cell);   /* saves *cell before the caller changes it */
void qx_trail_mutable(worker *w, TAGGED mutable_term);  /* saves Value/Stamp once per choicepoint */
void qx_trail_free(worker *w, TAGGED pair);            /* pair = list-tagged [V | '$free'(Block)] */
/* Undo the trail down to `to`, running $free destructors; leaves trail_top == to. */
void qx_untrail_to(worker *w, TAGGED *to);

/* Bind a variable cell with conditional trailing (heap below global_uncond, local below
 * local_uncond). Attributed variables register a wake-up. */
void qx_bind(worker *w, TAGGED *cell, TAGGED value);

#endif
