/* The clause database under the logical update view.
 *
 * A definition's clauses form a doubly linked chain of instances. Every change ticks the global
 * clause clock: a new clause is born at the new time, an erased one dies at it, and a call sees the
 * clauses alive at its start. Erased clauses stay in the chain while any retry node or running
 * iteration can reach the definition (active_calls); the last one to leave frees them.
 */
#include "database.h"

#include "atoms.h"
#include "hashtab.h"
#include "memman.h"

namespace {

TAGGED neck_functor()
{
  static TAGGED f = 0;
  static TAGGED name = 0;
  TAGGED n = init_atom_check(":-", 0);
  if (n != name) {
    name = n;
    f = MakeFunctor(n, 2);
  }
  return f;
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
 * is rebuilt once most of it is dead, which keeps it proportional to the live clauses. */
void compact_dbrefs()
{
  sw_on_key *old = qx_eg.dbrefs;
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
  if (++dead_refs > 1024 && 2 * dead_refs > qx_eg.dbrefs->count) compact_dbrefs();
}

void free_clause(definition *def, instance *ins)
{
  unlink_clause(def, ins);
  forget_dbref(ins);
  qx_free_instance(ins);
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
  if (qx_eg.dbrefs) dispose_switch_on_key(qx_eg.dbrefs);
  qx_eg.dbrefs = nullptr;
  qx_dbref_valid_hook = nullptr;
}

TAGGED qx_first_arg_key(TAGGED head)
{
  head = deref(head);
  if (!IsStr(head)) return 0;
  TAGGED a = deref(StrArg(head, 1));
  if (IsRef(a)) return 0;
  if (IsLst(a)) return MakeFunctor(atom_dot, 2);
  if (IsStr(a)) return StrFunctor(a); /* a functor word, or the header of a boxed number */
  return a;
}

instance *qx_make_clause(worker *w, definition *def, TAGGED clause)
{
  TAGGED c = deref(clause);
  TAGGED head = (IsStr(c) && StrFunctor(c) == neck_functor()) ? StrArg(c, 1) : c;
  instance *ins = qx_copy_to_instance(w, clause);
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
static void born(definition *def, instance *ins)
{
  ins->owner = def;
  ins->birth = ++qx_eg.clause_clock;
  ins->death = QX_CLOCK_ALIVE;
  def->clause_count++;
}

void insertz(definition *def, instance *ins)
{
  born(def, ins);
  ins->next = nullptr;
  ins->prev = def->last_clause;
  if (def->last_clause)
    def->last_clause->next = ins;
  else
    def->first_clause = ins;
  def->last_clause = ins;
}

void qx_inserta(definition *def, instance *ins)
{
  born(def, ins);
  ins->prev = nullptr;
  ins->next = def->first_clause;
  if (def->first_clause)
    def->first_clause->prev = ins;
  else
    def->last_clause = ins;
  def->first_clause = ins;
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
  qx_eg.dead_clause_count++;
  if (def->active_calls == 0) qx_reclaim_dead_clauses(def, false);
  return 1;
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
  instance *ins = def->first_clause;
  while (ins) {
    instance *next = ins->next;
    if (ins->death != QX_CLOCK_ALIVE) {
      free_clause(def, ins);
      def->dead_count--;
      qx_eg.dead_clause_count--;
    }
    ins = next;
  }
}

void qx_definition_enter(definition *def) { def->active_calls++; }

void qx_definition_leave(definition *def)
{
  if (--def->active_calls == 0) qx_reclaim_dead_clauses(def, false);
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
