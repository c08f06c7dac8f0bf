/* Compiled-code walkers of the engine-information built-ins: mapping a code address back to its
 * clause, the disassembler and the predicate printer.
 *
 * Compiled clauses are opaque objects here (the engine runs no compiled code), so the walkers use
 * only their ranges: the disassembler lists an object as its raw halfwords, and interpreted
 * clauses as their terms. */
#include <cinttypes>
#include <cstdio>

#include "atoms.h"
#include "emulcode.h"
#include "hashtab.h"
#include "insns.h"
#include "instance.h"
#include "memman.h"
#include "modules.h"
#include "numbers.h"
#include "objareas.h"
#include "streams.h"
#include "system.h"

namespace {

/* A code object that belongs to no definition. */
struct code_object {
  code_object *next;
  emul_info *object;
  TAGGED module, name;
  int arity;
};
code_object *code_objects = nullptr;

bool contains(const emul_info *clause, uintptr_t pc)
{
  uintptr_t start = (uintptr_t)clause;
  return pc >= start && pc - start < clause->objsize;
}

/* The clause of the chain that contains pc, and its index among the clauses with its source
 * information (among all of them when it has none). */
const emul_info *find_in_chain(const emul_info *first, uintptr_t pc, uint32_t *index)
{
  const emul_info *found = nullptr;
  for (const emul_info *c = first; c && !found; c = c->next)
    if (contains(c, pc)) found = c;
  if (found == nullptr) return nullptr;
  *index = 0;
  for (const emul_info *c = first;; c = c->next) {
    if (found->filename == atom_nil || c->filename == found->filename) ++*index;
    if (c == found) return found;
  }
}

bool in_module(mod_def *module, uintptr_t pc, qx_pc_location *where)
{
  sw_on_key *table = module->preds;
  for (uint32_t i = table ? sw_on_key_slots(table) : 0; i-- > 0;) {
    if (!table->node[i].key) continue;
    definition *def = (definition *)(uintptr_t)table->node[i].value;
    if (def->module != module || def->imported_from || def->predtyp > ENTER_PROFILEDCODE_INDEXED)
      continue;
    const emul_info *c = find_in_chain(qx_first_compiled_clause(def), pc, &where->index);
    if (c == nullptr) continue;
    where->module = IsAtom(module->name) ? module->name : atom_nil;
    where->name = def->proc.printname;
    where->arity = (int)def->proc.arity;
    where->info = c->filename != atom_nil ? c->filename : def->filename;
    where->clause = c;
    return true;
  }
  return false;
}

const char *kind_name(int kind)
{
  switch (kind) {
  case ENTER_COMPACTCODE:
  case ENTER_COMPACTCODE_INDEXED:
  case ENTER_PROFILEDCODE:
  case ENTER_PROFILEDCODE_INDEXED: return "compiled";
  case ENTER_INTERPRETED: return "interpreted";
  case ENTER_UNDEFINED: return "undefined";
  case BUILTIN_DET:
  case BUILTIN_NONDET:
  case ENTER_C:
  case ENTER_C_NONDET: return "native";
  case BUILTIN_CONTROL: return "control";
  case ENTER_FOREIGN:
  case ENTER_STASH: return "foreign";
  default: return "other";
  }
}

uint32_t compiled_clause_count(const definition *def)
{
  uint32_t n = 0;
  for (const emul_info *c = qx_first_compiled_clause(def); c; c = c->next) n++;
  return n;
}

uint32_t code_halfwords(const emul_info *c)
{
  return (c->objsize - (uint32_t)sizeof(emul_info)) / 2;
}

/* code(Address, Halfwords) of a compiled clause, in room the caller made (2 * halfwords + 8). */
TAGGED code_term(worker *w, const emul_info *c)
{
  uint32_t n = code_halfwords(c);
  TAGGED words = atom_nil;
  for (uint32_t i = n; i-- > 0;) {
    TAGGED *pair = w->global_top;
    pair[0] = MakeSmall(c->emulcode[i]), pair[1] = words;
    w->global_top += 2;
    words = MakeLst(pair);
  }
  TAGGED address = make_integer(w, (int32_t)(uintptr_t)c);
  TAGGED *cells = w->global_top;
  cells[0] = MakeFunctor(init_atom_check("code", 0), 2);
  cells[1] = address, cells[2] = words;
  w->global_top += 3;
  return MakeStr(cells);
}

}  // namespace

bool pc_info(uintptr_t pc, qx_pc_location *where)
{
  bool found = false;
  qx_for_each_module([&](mod_def *module) {
    if (!found) found = in_module(module, pc, where);
  });
  if (found) return true;
  const emul_info *c =
      find_in_chain(code_objects ? code_objects->object : nullptr, pc, &where->index);
  if (c == nullptr) return false;
  const code_object *o = code_objects;
  while (o->object != c) o = o->next;
  bool unknown = o->arity < 0;
  where->module = unknown ? init_atom_check("$unknown", 0) : o->module;
  where->name = unknown ? init_atom_check("$unknown", 0) : o->name;
  where->arity = unknown ? -1 : o->arity;
  where->info = c->filename;
  where->clause = c;
  return true;
}

/* The objects are chained through their own next links too, in the order of the records. */
void qx_add_code_object(emul_info *object, TAGGED module, TAGGED name, int arity)
{
  auto *o = (code_object *)qx_checkalloc(sizeof(code_object), QX_SPACE_PROGRAM);
  *o = {nullptr, object, module, name, arity};
  object->next = nullptr;
  code_object **tail = &code_objects;
  while (*tail) {
    if (!(*tail)->next) (*tail)->object->next = object;
    tail = &(*tail)->next;
  }
  *tail = o;
}

void qx_code_objects_mark_atoms(void (*mark_code)(emul_info *chain))
{
  for (const code_object *o = code_objects; o; o = o->next) {
    qx_agc_mark_word(o->module);
    qx_agc_mark_word(o->name);
  }
  if (code_objects) mark_code(code_objects->object);
}

void qx_free_code_objects()
{
  while (code_object *o = code_objects) {
    code_objects = o->next;
    qx_free_emul_info(o->object);
    qx_checkdealloc(o, sizeof(code_object), QX_SPACE_PROGRAM);
  }
}

definition *qx_find_named_predicate(TAGGED module_name, TAGGED name)
{
  mod_def *module = find_module(module_name, 0);
  definition *found = nullptr;
  if (module)
    qx_for_each_definition(module, [&](definition *def) {
      if (!found && def->proc.printname == name) found = def;
    });
  return found;
}

TAGGED da_predicate(worker *w, definition *def)
{
  /* Room for every item and its pair first, so that no collection moves the list while it is
   * built; the items are built first to last and linked in that order. term[0..2] stay roots. */
  uint64_t words = 16;
  for (const emul_info *c = qx_first_compiled_clause(def); c; c = c->next)
    words += 2 * (uint64_t)code_halfwords(c) + 8 + 2;
  if (def->predtyp == ENTER_INTERPRETED)
    for (instance *ins = def->first_clause; ins; ins = ins->next)
      if (ins->death == QX_CLOCK_ALIVE) words += qx_instance_heap_words(ins) + 2;
  if (words > UINT32_MAX) qx_memory_fault(nullptr, QX_SPACE_STACKS);
  call_overflow(w, (uint32_t)words, 3);
  TAGGED list = atom_nil;
  TAGGED *tail = &list;
  auto append = [&](TAGGED item) {
    TAGGED *pair = w->global_top;
    pair[0] = item, pair[1] = atom_nil;
    w->global_top += 2;
    *tail = MakeLst(pair);
    tail = pair + 1;
  };
  for (const emul_info *c = qx_first_compiled_clause(def); c; c = c->next) append(code_term(w, c));
  if (def->predtyp == ENTER_INTERPRETED)
    for (instance *ins = def->first_clause; ins; ins = ins->next)
      if (ins->death == QX_CLOCK_ALIVE) append(qx_copy_from_instance(w, ins));
  return list;
}

void da_code(uintptr_t address)
{
  qx_pc_location where;
  if (!pc_info(address, &where)) {
    QX_printf("%#" PRIxPTR ": no code\n", address);
    return;
  }
  const emul_info *clause = where.clause;
  QX_printf("%s:%s/%d clause %u\n", atom_name(where.module), atom_name(where.name), where.arity,
            where.index);
  uint32_t n = (clause->objsize - (uint32_t)sizeof(emul_info)) / 2;
  for (uint32_t i = 0; i < n; i++) {
    uint16_t h = clause->emulcode[i];
    uint32_t insn = h >> 3;
    if (insn < (uint32_t)QX_INSTRUCTIONS)
      QX_printf("  %#" PRIxPTR ": %04x  insn %u\n", (uintptr_t)&clause->emulcode[i], h, insn);
    else
      QX_printf("  %#" PRIxPTR ": %04x\n", (uintptr_t)&clause->emulcode[i], h);
  }
}

void wr_predicate(definition *def)
{
  const qx_def_props &p = def->properties;
  TAGGED module = def->module && IsAtom(def->module->name) ? def->module->name : atom_nil;
  QX_printf("%s:%s/%u\n", atom_name(module), atom_name(def->proc.printname), def->proc.arity);
  QX_printf("  kind: %s (%u)\n", kind_name(def->predtyp), (unsigned)def->predtyp);
  QX_printf("  properties:%s%s%s%s%s%s%s\n", p.dynamic ? " dynamic" : "",
            p.multifile ? " multifile" : "", p.block ? " block" : "", p.meta ? " meta" : "",
            p.hidden ? " hidden" : "", p.spy ? " spy" : "", p.foreign_code ? " foreign_code" : "");
  uint32_t clauses = def->predtyp == ENTER_INTERPRETED ? def->clause_count - def->dead_count
                                                       : compiled_clause_count(def);
  QX_printf("  clauses: %u\n", clauses);
  if (def->imported_from && def->imported_from->module)
    QX_printf("  imported from: %s\n", atom_name(def->imported_from->module->name));
}
