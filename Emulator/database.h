/* The clause database: chains of instances per definition under the logical update view. */
#ifndef QX_DATABASE_H
#define QX_DATABASE_H

#include "datadefs.h"
#include "instance.h"

/* The first-argument key of a clause head or a call: atom or small integer as is, the functor
 * word of a compound, the box header of a boxed number, 0 for a variable (matches anything). */
TAGGED qx_first_arg_key(TAGGED head);
static inline bool qx_keys_match(TAGGED clause_key, TAGGED call_key)
{
  return clause_key == 0 || call_key == 0 || clause_key == call_key;
}
/* A clause is visible to a call made at clock c when born <= c < death. */
static inline bool qx_clause_visible(const instance *ins, uint64_t clock)
{
  return ins->birth <= clock && clock < ins->death;
}
/* A call's clause clock kept in saved registers: three small integers of 28, 28 and 8 bits.
 * Clocks are saved and read back only through this pair. */
constexpr int QX_CLOCK_WORDS = 3;
static inline void qx_save_clock(TAGGED *words, uint64_t clock)
{
  for (int i = 0; i < QX_CLOCK_WORDS; i++)
    words[i] = MakeSmall((int32_t)((clock >> (28 * i)) & 0x0FFFFFFF));
}
static inline uint64_t qx_saved_clock(const TAGGED *words)
{
  uint64_t clock = 0;
  for (int i = 0; i < QX_CLOCK_WORDS; i++) clock |= (uint64_t)GetSmall(words[i]) << (28 * i);
  return clock;
}

/* Store (Head :- Body) or Head as a new clause; answers the instance. */
instance *qx_make_clause(worker *w, definition *def, TAGGED clause);
void insertz(definition *def, instance *ins);
void qx_inserta(definition *def, instance *ins);
/* The first clause from ins on that is visible now (flag 0) or at any time (flag 1); null if none. */
instance *active_instance_call(instance *ins, int flag);
/* Erase a clause: it dies now; freed when nothing reaches it. 0 when it was already dead. */
int qx_erase_clause(instance *ins);
void qx_remove_all_clauses(definition *def);
/* Free the dead clauses of def when nothing reaches them (or always when force). */
void qx_reclaim_dead_clauses(definition *def, bool force);
void qx_definition_enter(definition *def); /* an iteration or retry node starts reaching def */
void qx_definition_leave(definition *def);
void multifile_retractall(definition *def, TAGGED files);

/* Database references '$ref'(Address + 3, Stamp). */
TAGGED cons_dbref(worker *w, instance *ins, int flag);
instance *decode_dbref(TAGGED ref);
int init_database();
void deinit_database();

#endif
