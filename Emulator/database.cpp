/* The clause database under the logical update view.
 *
 * A definition's clauses form a doubly linked chain of instances. Every change ticks the global
 * clause clock: a new clause is born at the new time, an erased one dies at it, and a call sees the
 * clauses alive at its start. Erased clauses stay in the chain while any retry node or running
 * iteration can reach the definition (active_calls); the last one to leave frees them, walking
 * the definition's list of erased clauses rather than its chain.
 *
 * A definition with many clauses also keeps a first-argument index: a hash table from key to
 * the list of clauses with that key, in chain order, and the list of clauses whose first argument
 * is a variable. Every clause is in exactly one of those lists; a call with a key walks its key's
 * list and the variable list together, by the clauses' ranks.
 */
#include "database.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "atoms.h"
#include "clause_code.h"
#include "hashtab.h"
#include "memman.h"
#include "wam_internal.h"

uint32_t qx_index_threshold = 8;
bool qx_index_linear = false;

struct qx_index_bucket {
  TAGGED key; /* 0: free slot */
  instance *first;
  instance *last;
};

struct qx_clause_index {
  uint32_t mask; /* slots - 1 */
  uint32_t keys;
  qx_index_bucket *table;
  instance *var_first; /* clauses whose first argument is a variable */
  instance *var_last;
};

namespace {

/* Ranks of clauses added at the end grow, of those added at the front shrink: within one
 * definition they follow the chain. */
int64_t rank_last, rank_first;

/* ---- the index ---- */
inline uint32_t key_hash(TAGGED key) { return (key >> 3) * 2654435761u; }

qx_index_bucket *alloc_table(uint32_t slots)
{
  auto *t = (qx_index_bucket *)qx_checkalloc(slots * sizeof(qx_index_bucket), QX_SPACE_DATABASE);
  std::memset(t, 0, slots * sizeof(qx_index_bucket));
  return t;
}

/* The slot of key, or the free slot where it would go. */
qx_index_bucket *find_slot(const qx_clause_index *ix, TAGGED key)
{
  for (uint32_t i = key_hash(key) & ix->mask;; i = (i + 1) & ix->mask) {
    qx_index_bucket *b = &ix->table[i];
    if (b->key == key || b->key == 0) return b;
  }
}

void grow_table(qx_clause_index *ix)
{
  qx_index_bucket *old = ix->table;
  uint32_t old_slots = ix->mask + 1;
  ix->table = alloc_table(2 * old_slots);
  ix->mask = 2 * old_slots - 1;
  for (uint32_t i = 0; i < old_slots; i++)
    if (old[i].key) *find_slot(ix, old[i].key) = old[i];
  qx_checkdealloc(old, old_slots * sizeof(qx_index_bucket), QX_SPACE_DATABASE);
}

/* The ends of the list a clause of key `key` belongs to, made when missing. */
void list_of(qx_clause_index *ix, TAGGED key, instance ***first, instance ***last)
{
  if (key == 0) {
    *first = &ix->var_first;
    *last = &ix->var_last;
    return;
  }
  qx_index_bucket *b = find_slot(ix, key);
  if (b->key == 0) {
    if (4 * (ix->keys + 1) > 3 * (ix->mask + 1)) {
      grow_table(ix);
      b = find_slot(ix, key);
    }
    b->key = key;
    ix->keys++;
  }
  *first = &b->first;
  *last = &b->last;
}

void index_add(qx_clause_index *ix, instance *ins, bool at_end)
{
  instance **first, **last;
  list_of(ix, ins->key, &first, &last);
  qx_clause_info *c = qx_clause(ins);
  if (at_end) {
    c->ix_next = nullptr;
    c->ix_prev = *last;
    if (*last)
      qx_clause(*last)->ix_next = ins;
    else
      *first = ins;
    *last = ins;
  } else {
    c->ix_prev = nullptr;
    c->ix_next = *first;
    if (*first)
      qx_clause(*first)->ix_prev = ins;
    else
      *last = ins;
    *first = ins;
  }
}

void index_remove(qx_clause_index *ix, instance *ins)
{
  instance **first, **last;
  list_of(ix, ins->key, &first, &last);
  qx_clause_info *c = qx_clause(ins);
  if (c->ix_prev)
    qx_clause(c->ix_prev)->ix_next = c->ix_next;
  else
    *first = c->ix_next;
  if (c->ix_next)
    qx_clause(c->ix_next)->ix_prev = c->ix_prev;
  else
    *last = c->ix_prev;
}

void index_build(definition *def)
{
  auto *ix = (qx_clause_index *)qx_checkalloc(sizeof(qx_clause_index), QX_SPACE_DATABASE);
  std::memset(ix, 0, sizeof *ix);
  uint32_t slots = 16;
  while (slots < def->clause_count) slots *= 2;
  ix->table = alloc_table(slots);
  ix->mask = slots - 1;
  for (instance *ins = def->first_clause; ins; ins = ins->next) index_add(ix, ins, true);
  def->index = ix;
}

void index_free(definition *def)
{
  qx_clause_index *ix = def->index;
  if (!ix) return;
  qx_checkdealloc(ix->table, (ix->mask + 1) * sizeof(qx_index_bucket), QX_SPACE_DATABASE);
  qx_checkdealloc(ix, sizeof(qx_clause_index), QX_SPACE_DATABASE);
  def->index = nullptr;
}

TAGGED ref_key(const instance *ins) { return (TAGGED)(uintptr_t)ins | 3; }

void unlink_clause(definition *def, instance *ins)
{
  if (ins->prev)
    ins->prev->next = ins->next;
  else
    def->first_clause = ins->next;
  if (ins->next)
    ins->next->prev = ins->prev;
  else
    def->last_clause = ins->prev;
}

/* Keys of freed clauses in the reference table (their stamp is 0). */
uint32_t dead_refs;

/* The table without the keys of freed clauses: open addressing cannot delete a key, so the table
 * is rebuilt once most of it is dead, which keeps it proportional to the live clauses. Freeing
 * only marks keys dead; the rebuild comes with the next clause stored, where memory may run out
 * (before anything changed) without harm, so that retracting at exhaustion allocates nothing. */
void compact_dbrefs()
{
  sw_on_key *old = qx_eg.dbrefs;
  if (dead_refs <= 1024 || 2 * dead_refs <= old->count) return;
  uint32_t live = old->count - dead_refs, slots = 64;
  while (slots < 2 * live) slots *= 2;
  sw_on_key *fresh = new_switch_on_key(slots);
  for (uint32_t i = 0; i < sw_on_key_slots(old); i++)
    if (old->node[i].key && old->node[i].value)
      dyn_puthash(&fresh, old->node[i].key)->value = old->node[i].value;
  dispose_switch_on_key(old);
  qx_eg.dbrefs = fresh;
  dead_refs = 0;
}

void forget_dbref(const instance *ins)
{
  sw_on_key_node *n = incore_gethash(qx_eg.dbrefs, ref_key(ins));
  if (!n->key || n->value == 0) return;
  n->value = 0; /* stamp 0 never validates */
  dead_refs++;
}

void free_block(instance *ins)
{
  qx_checkdealloc(ins, qx_clause(ins)->block_bytes, QX_SPACE_DATABASE);
}

/* Clauses out of their chains whose code a running body may still be using (its frame's table
 * names the clause): freed by qx_free_retired_clauses once no frame does. Linked through their
 * dead_next words, so that retiring a clause allocates nothing. */
instance *retired;
size_t retired_count;
size_t next_scan = 64; /* retired clauses that make an erase look for frames */

/* A dead clause leaves its chain, its index list and the reference table; its block goes now
 * (force: no body can be running) or once no running body uses it. */
void free_clause(definition *def, instance *ins, bool force)
{
  unlink_clause(def, ins);
  if (def->index) index_remove(def->index, ins);
  forget_dbref(ins);
  if (force) {
    free_block(ins);
  } else {
    qx_clause(ins)->dead_next = retired;
    retired = ins;
    retired_count++;
  }
}

/* The code of the clause being stored, made while its instance is sized. */
std::vector<uint32_t> clause_code;
qx_code_shape clause_shape;

uint32_t clause_room(const TAGGED *body, uint32_t words, void *arg)
{
  (void)arg;
  uint32_t objsize = (uint32_t)sizeof(instance) + words * (uint32_t)sizeof(TAGGED);
  uint32_t code_offset =
      qx_instance_room_offset(objsize) + (uint32_t)offsetof(qx_clause_info, code);
  qx_code_make(body, words, code_offset, clause_code, &clause_shape);
  return (uint32_t)(sizeof(qx_clause_info) + clause_code.size() * sizeof(uint32_t));
}

}  // namespace

int init_database()
{
  qx_eg.dbrefs = new_switch_on_key(64);
  dead_refs = 0;
  qx_dbref_valid_hook = [](TAGGED a, TAGGED b) -> int {
    a = deref(a);
    b = deref(b);
    if (!IsSmall(a) || !IsSmall(b)) return 0;
    sw_on_key_node *n = incore_gethash(qx_eg.dbrefs, a);
    return n->key && n->value != 0 && n->value == b;
  };
  return 0;
}

void deinit_database()
{
  while (instance *ins = retired) {
    retired = qx_clause(ins)->dead_next;
    free_block(ins);
  }
  retired_count = 0;
  next_scan = 64;
  std::vector<uint32_t>().swap(clause_code);
  if (qx_eg.dbrefs) dispose_switch_on_key(qx_eg.dbrefs);
  qx_eg.dbrefs = nullptr;
  qx_dbref_valid_hook = nullptr;
}

/* A number by its value: a hash of its words, shaped like a box header, which no key of another
 * kind has. Equal numbers have equal words. */
TAGGED qx_box_key(TAGGED box)
{
  uint32_t h = 0;
  const TAGGED *p = StrPtr(box);
  for (int i = 0; i < BoxWords(p[0]); i++) h = (h ^ p[i]) * 16777619u;
  return 0x80000007u | (h & 0x7FFFFFF8u);
}

TAGGED qx_first_arg_key(TAGGED head)
{
  head = deref(head);
  return IsStr(head) ? qx_arg_key(StrArg(head, 1)) : 0;
}

instance *qx_make_clause(worker *w, definition *def, TAGGED clause)
{
  TAGGED c = deref(clause);
  TAGGED head = (IsStr(c) && StrFunctor(c) == qx_K.neck) ? StrArg(c, 1) : c;
  /* The reference table's room first: once the clause is made, entering it allocates nothing. */
  compact_dbrefs();
  if (expansion_due(qx_eg.dbrefs)) expand_sw_on_key(&qx_eg.dbrefs);
  instance *ins = qx_copy_to_instance_room(w, clause, clause_room, nullptr);
  qx_clause_info *info = qx_clause(ins);
  std::memset(info, 0, sizeof(qx_clause_info));
  uint32_t code_bytes = (uint32_t)(clause_code.size() * sizeof(uint32_t));
  info->block_bytes = qx_instance_room_offset(ins->objsize) + sizeof(qx_clause_info) + code_bytes;
  info->nvars = clause_shape.nvars;
  info->head_vars = clause_shape.head_vars;
  info->head_heap = clause_shape.head_heap;
  info->body = clause_shape.body;
  info->blocks = clause_shape.blocks;
  std::memcpy(info->code, clause_code.data(), code_bytes);
  ins->owner = def;
  ins->key = qx_first_arg_key(head);
  ins->stamp = ++qx_eg.dbref_stamp & 0x0FFFFFFF;
  if (ins->stamp == 0) ins->stamp = qx_eg.dbref_stamp = 1;
  sw_on_key_node *old = incore_gethash(qx_eg.dbrefs, ref_key(ins));
  if (old->key && old->value == 0) dead_refs--; /* the address of a freed clause, reused */
  dyn_puthash(&qx_eg.dbrefs, ref_key(ins))->value = MakeSmall((int32_t)ins->stamp);
  return ins;
}

/* A clause joins def's chain now: calls made from here on see it. */
static void born(definition *def, instance *ins, bool at_end)
{
  ins->owner = def;
  ins->birth = ++qx_eg.clause_clock;
  ins->death = QX_CLOCK_ALIVE;
  qx_clause(ins)->rank = at_end ? ++rank_last : --rank_first;
  def->clause_count++;
  if (def->index)
    index_add(def->index, ins, at_end);
  else if (def->clause_count >= qx_index_threshold && def->proc.arity > 0)
    index_build(def); /* the new clause is linked in the chain by then */
}

void insertz(definition *def, instance *ins)
{
  ins->next = nullptr;
  ins->prev = def->last_clause;
  if (def->last_clause)
    def->last_clause->next = ins;
  else
    def->first_clause = ins;
  def->last_clause = ins;
  born(def, ins, true);
}

void qx_inserta(definition *def, instance *ins)
{
  ins->prev = nullptr;
  ins->next = def->first_clause;
  if (def->first_clause)
    def->first_clause->prev = ins;
  else
    def->last_clause = ins;
  def->first_clause = ins;
  born(def, ins, false);
}

void qx_walk_begin(const definition *def, TAGGED key, qx_clause_walk *walk)
{
  const qx_clause_index *ix = def->index;
  walk->indexed = key != 0 && ix && !qx_index_linear;
  if (!walk->indexed) {
    walk->at = def->first_clause;
    walk->var_at = nullptr;
    return;
  }
  const qx_index_bucket *b = find_slot(ix, key);
  walk->at = b->key ? b->first : nullptr;
  walk->var_at = ix->var_first;
}

instance *qx_walk_call_indexed(const definition *def, TAGGED key, qx_clause_walk *walk,
                               instance **next)
{
  qx_walk_begin(def, key, walk);
  uint64_t clock = qx_eg.clause_clock;
  instance *first = qx_walk_next(walk, key, clock);
  *next = first ? qx_walk_next(walk, key, clock) : nullptr;
  return first;
}

instance *qx_walk_next_indexed(qx_clause_walk *walk, uint64_t clock)
{
  for (;;) {
    instance *a = walk->at, *v = walk->var_at, *pick;
    if (a && (!v || qx_clause(a)->rank < qx_clause(v)->rank)) {
      pick = a;
      walk->at = qx_clause(a)->ix_next;
    } else if (v) {
      pick = v;
      walk->var_at = qx_clause(v)->ix_next;
    } else {
      return nullptr;
    }
    if (qx_clause_visible(pick, clock)) return pick;
  }
}

instance *active_instance_call(instance *ins, int flag)
{
  uint64_t now = qx_eg.clause_clock;
  for (; ins; ins = ins->next)
    if (flag ? ins->death == QX_CLOCK_ALIVE : qx_clause_visible(ins, now)) return ins;
  return nullptr;
}

int qx_erase_clause(instance *ins)
{
  if (ins->death != QX_CLOCK_ALIVE) return 0;
  definition *def = ins->owner;
  ins->death = ++qx_eg.clause_clock;
  def->clause_count--;
  def->dead_count++;
  qx_clause(ins)->dead_next = def->dead_clauses;
  def->dead_clauses = ins;
  qx_eg.dead_clause_count++;
  if (def->active_calls == 0) qx_reclaim_dead_clauses(def, false);
  if (retired_count >= next_scan) qx_free_retired_clauses(qx_w);
  return 1;
}

void qx_visit_retired_clauses(void (*fn)(const instance *ins))
{
  for (instance *ins = retired; ins; ins = qx_clause(ins)->dead_next) fn(ins);
}

void qx_free_retired_clauses(worker *w)
{
  if (!retired) return;
  std::vector<const qx_clause_info *> running;
  size_t walked = qx_running_clauses(w, running);
  std::sort(running.begin(), running.end());
  instance **link = &retired;
  while (instance *ins = *link) {
    if (std::binary_search(running.begin(), running.end(), qx_clause(ins))) {
      link = &qx_clause(ins)->dead_next;
    } else {
      *link = qx_clause(ins)->dead_next;
      retired_count--;
      free_block(ins);
    }
  }
  /* As many retirements again as the walk took before the next one: linear in all. */
  next_scan = retired_count + (walked > 64 ? walked : 64);
}

void qx_remove_all_clauses(definition *def)
{
  /* Keep hold of the rest of the chain: erasing may free the clause at once. */
  def->active_calls++;
  for (instance *ins = def->first_clause; ins; ins = ins->next) qx_erase_clause(ins);
  qx_definition_leave(def);
}

void qx_reclaim_dead_clauses(definition *def, bool force)
{
  if (def->dead_count == 0 || (def->active_calls && !force)) return;
  /* One clause at a time off the list: the definition stays whole at every step. */
  while (instance *ins = def->dead_clauses) {
    def->dead_clauses = qx_clause(ins)->dead_next;
    def->dead_count--;
    qx_eg.dead_clause_count--;
    free_clause(def, ins, force);
  }
  if (!def->first_clause) index_free(def);
}

/* Remove the clauses whose source file is one of the atoms of the list files. */
void multifile_retractall(definition *def, TAGGED files)
{
  def->active_calls++; /* the chain stays whole until the walk is done */
  for (instance *ins = def->first_clause; ins; ins = ins->next) {
    for (TAGGED l = deref(files); IsLst(l); l = deref(LstTail(l)))
      if (deref(LstHead(l)) == ins->extra) {
        qx_erase_clause(ins);
        break;
      }
  }
  qx_definition_leave(def);
}

TAGGED cons_dbref(worker *w, instance *ins, int flag)
{
  (void)flag;
  TAGGED *p = w->global_top;
  p[0] = functor_ref2;
  p[1] = ref_key(ins);
  p[2] = MakeSmall((int32_t)ins->stamp);
  w->global_top += 3;
  return MakeStr(p);
}

instance *decode_dbref(TAGGED ref)
{
  ref = deref(ref);
  if (!IsStr(ref) || StrFunctor(ref) != functor_ref2) return nullptr;
  TAGGED a = deref(StrArg(ref, 1));
  TAGGED b = deref(StrArg(ref, 2));
  if (!IsSmall(a) || !IsSmall(b)) return nullptr;
  sw_on_key_node *n = incore_gethash(qx_eg.dbrefs, a);
  if (!n->key || n->value == 0 || n->value != b) return nullptr;
  return (instance *)(uintptr_t)(a & ~(TAGGED)3);
}
