/* Attributed variables and the wake list.
 *
 * An attributed variable is a four-word heap record: the -1 marker, the variable cell, the
 * suspended goals ([] when none) and '$attrs'(S1, ..., Sn), where Sk is the attribute of the module
 * whose slot is k, or '$no_attr'. Binding the variable cell wakes the record: its cell joins the
 * worker's wake list, an array off the heap (so binding allocates nothing on the heap), the wake
 * count grows and the soft heap limit is zeroed so that the engine's next event check runs the
 * wake-ups.
 */
#include "atoms.h"
#include "memman.h"
#include "modules.h"
#include "objareas.h"
#include "unify.h"

/* Slots are handed out in order; the slot-to-module table lets a wake-up find each slot's hook. */
void save_attribute_info(mod_def *module)
{
  if (module->attr_no != 0) return;
  module->attr_no = ++qx_eg.attr_no;
  if (module->attr_no < sizeof qx_eg.attr_modules / sizeof qx_eg.attr_modules[0])
    qx_eg.attr_modules[module->attr_no] = module;
}

/* The module of an attribute slot: the table serves the first slots, the module table the rest. */
mod_def *qx_attr_module(uint32_t slot)
{
  const uint32_t cached = sizeof qx_eg.attr_modules / sizeof qx_eg.attr_modules[0];
  if (slot < cached) return qx_eg.attr_modules[slot];
  mod_def *found = nullptr;
  qx_for_each_module([&](mod_def *m) {
    if (m->attr_no == slot) found = m;
  });
  return found;
}

static void wake_register(worker *w, TAGGED *cell)
{
  if (w->wake_len == w->wake_cap) {
    uint32_t cap = w->wake_cap ? w->wake_cap * 2 : QX_FIRST_WAKE_CAP;
    w->wake_list = (TAGGED **)qx_checkrealloc(w->wake_list, w->wake_cap * sizeof(TAGGED *),
                                              cap * sizeof(TAGGED *), QX_SPACE_STACKS);
    w->wake_cap = cap;
  }
  w->wake_list[w->wake_len++] = cell;
}

void qx_attvar_bind(worker *w, TAGGED *cell, TAGGED value)
{
  qx_bind_plain(w, cell, value);
  wake_register(w, cell);
  w->wake_count++;
  w->heap_warn_soft = nullptr;
}

uint32_t qx_wake_take(worker *w, TAGGED **out, uint32_t max)
{
  uint32_t n = w->wake_len < max ? w->wake_len : max;
  for (uint32_t i = 0; i < n; i++) out[i] = w->wake_list[i];
  for (uint32_t i = n; i < w->wake_len; i++) w->wake_list[i - n] = w->wake_list[i];
  w->wake_len -= n;
  return n;
}

void qx_wake_put(worker *w, TAGGED *const *cells, uint32_t n)
{
  for (uint32_t i = 0; i < n; i++) wake_register(w, cells[i]);
}

/* Store both limit words, then zero the soft one again when an event or a wake-up arrived
 * meanwhile, so that a request made between the test and the store is not lost. Other threads
 * post events: the fence keeps the re-check from being answered before the stores are seen. */
void qx_restore_soft_limit(worker *w)
{
  if (w->event_flags != 0 || w->wake_len != 0) return;
  w->int_heap_warn = w->heap_warn;
  w->heap_warn_soft = w->heap_warn;
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
  if (__atomic_load_n(&w->event_flags, __ATOMIC_RELAXED) != 0 || w->wake_len != 0)
    w->heap_warn_soft = nullptr;
}

/* The record of a dereferenced variable, or null when it has no attributes. */
static TAGGED *attvar_record(TAGGED v)
{
  v = deref(v);
  TAGGED *cell = RefPtr(v);
  return IsVar(v) && qx_is_attvar_cell(qx_w, cell) ? cell - 1 : nullptr;
}

/* The address of module's slot in the record's '$attrs' term, or null when it has none. */
static TAGGED *attr_slot(TAGGED *record, mod_def *module)
{
  TAGGED attrs = deref(record[3]);
  uint32_t k = module->attr_no;
  if (k == 0 || k > Arity(StrFunctor(attrs))) return nullptr;
  return StrPtr(attrs) + k;
}

TAGGED get_attributes(TAGGED v, mod_def *module)
{
  v = deref(v);
  return IsVar(v) ? qx_attribute_in_slot(qx_w, v, module->attr_no) : 0;
}

/* Heap words for an attribute record or term; the caller has made room (the heap's margin of
 * 128 words covers 5 + attr_no), so a shortfall is a memory fault rather than a write past it. */
static TAGGED *take_heap(worker *w, uint32_t words)
{
  if ((uint32_t)(w->stack_start - w->global_top) < words) qx_memory_fault(nullptr, QX_SPACE_STACKS);
  TAGGED *p = w->global_top;
  w->global_top += words;
  return p;
}

static uint32_t attrs_arity()
{
  if (qx_eg.attr_no > QX_MAX_ARITY) QX_raise_fault("too many modules with attributes");
  return qx_eg.attr_no;
}

/* Lays '$attrs'(S1..Sn) at p with the slots of old (0: none) and '$no_attr' after them. */
static TAGGED fill_attrs(TAGGED *p, TAGGED old, uint32_t arity)
{
  uint32_t kept = old ? Arity(StrFunctor(old)) : 0;
  p[0] = MakeFunctor(atom_attrs, arity);
  for (uint32_t i = 1; i <= arity; i++) p[i] = i <= kept ? StrArg(old, (int)i) : atom_no_attr;
  return MakeStr(p);
}

static void trail_old_cell(worker *w, TAGGED *cell)
{
  if (qx_cell_is_old(w, cell)) qx_trail_cell_value(w, cell);
}

/* Stores a module's attribute (trailed). A plain variable gets a record and is bound to the
 * record's variable cell; an attributed one whose '$attrs' is too short for the module's slot
 * gets a longer copy. */
void put_attributes(TAGGED v, TAGGED attribute, mod_def *module)
{
  worker *w = qx_w;
  v = deref(v);
  save_attribute_info(module);
  uint32_t k = module->attr_no;
  TAGGED *record = attvar_record(v);
  if (!record) {
    uint32_t arity = attrs_arity();
    TAGGED *r = take_heap(w, 5 + arity);
    r[0] = QX_ATTVAR_MARK;
    r[1] = MakeRef(r + 1);
    r[2] = atom_nil;
    r[3] = fill_attrs(r + 4, 0, arity);
    r[4 + k] = attribute;
    qx_bind_plain(w, RefPtr(v), MakeRef(r + 1));
    return;
  }
  TAGGED *slot = attr_slot(record, module);
  if (!slot) {
    uint32_t arity = attrs_arity();
    TAGGED attrs = fill_attrs(take_heap(w, 1 + arity), deref(record[3]), arity);
    StrPtr(attrs)[k] = attribute;
    trail_old_cell(w, record + 3);
    record[3] = attrs;
    return;
  }
  trail_old_cell(w, slot);
  *slot = attribute;
}

/* Removes a module's attribute (trailed) and answers the variable cell, into which the caller
 * stores the value; the variable is registered on the wake list, since a binding follows and the
 * other modules' hooks must see it. The caller counts the wake-up. */
TAGGED *delete_attributes(TAGGED v, mod_def *module, int flag)
{
  worker *w = qx_w;
  v = deref(v);
  TAGGED *record = attvar_record(v);
  if (!record) return RefPtr(v);
  TAGGED *slot = attr_slot(record, module);
  if (slot && *slot != atom_no_attr) {
    trail_old_cell(w, slot);
    *slot = atom_no_attr;
  }
  wake_register(w, record + 1);
  return record + 1;
}

/* 1 when the variable has no suspended goals and no attribute of a module other than module. */
static int only_attribute_of(TAGGED v, mod_def *module)
{
  v = deref(v);
  return !IsVar(v) || qx_single_attribute_in_slot(qx_w, v, module->attr_no);
}

int pure_attributes(TAGGED v, mod_def *module) { return only_attribute_of(v, module); }

int single_attribute(TAGGED v, mod_def *module) { return only_attribute_of(v, module); }
