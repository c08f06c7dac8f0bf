/* The clause database: chains of instances per definition under the logical update view. */
#ifndef QX_DATABASE_H
#define QX_DATABASE_H

#include "atoms.h"
#include "datadefs.h"
#include "instance.h"

/* The first-argument key of a clause head or a call: atom or small integer as is, the functor
 * word of a compound, a hash of a boxed number's value (a word no atom, integer or functor has),
 * 0 for a variable (matches anything). */
TAGGED qx_first_arg_key(TAGGED head);
TAGGED qx_box_key(TAGGED box);
/* The key of an argument itself. */
static inline TAGGED qx_arg_key(TAGGED arg)
{
  TAGGED a = deref(arg);
  switch (TagOf(a)) {
  case QX_TAG_REF: return 0;
  case QX_TAG_LST: return MakeFunctor(QX_ATOM_INDEX_dot << 3 | QX_TAG_ATOM, 2);
  case QX_TAG_STR: return IsBoxHeader(StrFunctor(a)) ? qx_box_key(a) : StrFunctor(a);
  default: return a;
  }
}
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

/* What a clause keeps beside its term, in the same block right after the body: its place in
 * its predicate's index and in the list of erased clauses, and its order in the chain. */
struct qx_clause_info {
  instance *ix_next; /* the clause's index list: the clauses of its key, or of a variable key */
  instance *ix_prev;
  instance *dead_next; /* erased clauses of the predicate waiting to be freed, then retired ones */
  int64_t rank;        /* chain order: insertz counts up, asserta down */
  uint32_t block_bytes;
  /* the code the interpreter runs (clause_code.h) */
  uint32_t nvars;     /* slots of a frame's variable table */
  uint32_t head_vars; /* the first slots, which a head that matched has set */
  uint32_t head_heap; /* heap words the head's bindings may build */
  uint32_t body;      /* first body instruction in code[], QX_NO_BODY for a fact */
  uint32_t blocks;    /* first word of the template blocks in code[] */
  uint32_t code[];    /* head argument cells, body instructions, template blocks */
};
constexpr uint32_t QX_NO_BODY = UINT32_MAX;
static inline qx_clause_info *qx_clause(const instance *ins)
{
  return (qx_clause_info *)((char *)ins + qx_instance_room_offset(ins->objsize));
}

/* A walk over the clauses a call may match: along the chain, or, for a call with a key on an
 * indexed predicate, along the clauses of that key merged by rank with those of a variable key.
 * Clauses are added only at the ends of the lists and freed only when no walk reaches the
 * predicate, so a walk saved in a retry node stays valid. */
struct qx_clause_walk {
  instance *at;     /* next clause of the chain or of the key's list */
  instance *var_at; /* next clause with a variable key (indexed walks) */
  bool indexed;
};
constexpr int QX_WALK_WORDS = 3;
/* A predicate is indexed once it has this many clauses. Test hook: qx_index_linear forces every
 * walk along the chain. */
extern uint32_t qx_index_threshold;
extern bool qx_index_linear;
void qx_walk_begin(const definition *def, TAGGED key, qx_clause_walk *walk);
/* A call's first candidate, now, and in *next the one after it (null: the call is
 * deterministic); the walk stands after *next. */
instance *qx_walk_call_indexed(const definition *def, TAGGED key, qx_clause_walk *walk,
                               instance **next);
static inline instance *qx_walk_call(const definition *def, TAGGED key, qx_clause_walk *walk,
                                     instance **next)
{
  if ((def->index && key && !qx_index_linear) || def->dead_count)
    return qx_walk_call_indexed(def, key, walk, next);
  /* Along a chain without erased clauses, at the current clock: every clause is visible. A call
   * without a key matches every clause; one with a key, those of its key or of none. */
  instance *first = def->first_clause;
  instance *second;
  if (key == 0) {
    second = first ? first->next : nullptr;
  } else {
    while (first && first->key != key && first->key != 0) first = first->next;
    second = first ? first->next : nullptr;
    while (second && second->key != key && second->key != 0) second = second->next;
  }
  *next = second;
  walk->at = second ? second->next : nullptr;
  walk->var_at = nullptr;
  walk->indexed = false;
  return first;
}
instance *qx_walk_next_indexed(qx_clause_walk *walk, uint64_t clock);
/* The next candidate visible at clock, or null. */
static inline instance *qx_walk_next(qx_clause_walk *walk, TAGGED key, uint64_t clock)
{
  if (walk->indexed) return qx_walk_next_indexed(walk, clock);
  for (instance *ins = walk->at; ins; ins = ins->next)
    if (qx_clause_visible(ins, clock) && qx_keys_match(ins->key, key)) {
      walk->at = ins->next;
      return ins;
    }
  walk->at = nullptr;
  return nullptr;
}
/* A walk kept in saved registers: clauses are 8-aligned, so with the low bits 11 their
 * addresses read as small integers. */
static inline void qx_save_walk(TAGGED *words, const qx_clause_walk *walk)
{
  words[0] = (TAGGED)(uintptr_t)walk->at | 3;
  words[1] = (TAGGED)(uintptr_t)walk->var_at | 3;
  words[2] = MakeSmall(walk->indexed);
}
static inline void qx_saved_walk(const TAGGED *words, qx_clause_walk *walk)
{
  walk->at = (instance *)(uintptr_t)(words[0] & ~(TAGGED)3);
  walk->var_at = (instance *)(uintptr_t)(words[1] & ~(TAGGED)3);
  walk->indexed = GetSmall(words[2]) != 0;
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
/* Erased clauses out of their chains are freed once no running clause body uses their code; an
 * erase looks now and then, and the interpreter when its outermost run ends. */
void qx_free_retired_clauses(worker *w);
/* Calls fn on each clause left its chain that a frame may still run (atom collection). */
void qx_visit_retired_clauses(void (*fn)(const instance *ins));
/* An iteration or retry node starts reaching def / stops: the last to go frees the clauses
 * erased meanwhile. */
static inline void qx_definition_enter(definition *def) { def->active_calls++; }
static inline void qx_definition_leave(definition *def)
{
  if (--def->active_calls == 0 && QX_UNLIKELY(def->dead_count != 0))
    qx_reclaim_dead_clauses(def, false);
}
void multifile_retractall(definition *def, TAGGED files);

/* Database references '$ref'(Address + 3, Stamp). */
TAGGED cons_dbref(worker *w, instance *ins, int flag);
instance *decode_dbref(TAGGED ref);
int init_database();
void deinit_database();

#endif
