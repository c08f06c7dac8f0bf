/* Modules and predicate definitions.
 *
 * The module table maps name atoms to module records and each module's preds table maps functor
 * words to definitions; both are sw_on_key tables whose values are record addresses. A call that
 * finds nothing defined in its module falls back to the system module prolog, which stands for the
 * implicit import of the system predicates.
 */
#include "modules.h"

#include <cstring>

#include "atoms.h"
#include "database.h"
#include "emulcode.h"
#include "foreign.h"
#include "hashtab.h"
#include "instance.h"
#include "memman.h"
#include "saverest.h"

void (*qx_fd_destructor_hook)(void *cookie, void *chain);
void *qx_fd_hook_cookie;

namespace {

definition *const kEndOfPublic = (definition *)(intptr_t)-1;

mod_def *new_module(TAGGED name)
{
  mod_def *m = (mod_def *)qx_checkalloc(sizeof(mod_def), QX_SPACE_PROGRAM);
  std::memset(m, 0, sizeof *m);
  m->name = name;
  m->public_lst = kEndOfPublic;
  m->preds = new_switch_on_key(8);
  m->bb = 0;
  m->filename = atom_nil;
  return m;
}

definition *new_definition(mod_def *module, TAGGED key)
{
  definition *d = (definition *)qx_checkalloc(sizeof(definition), QX_SPACE_PROGRAM);
  std::memset(d, 0, sizeof *d);
  d->predtyp = ENTER_UNDEFINED;
  d->functor = key;
  d->proc.printname = FunctorName(key);
  d->proc.arity = IsAtom(key) ? 0 : Arity(key);
  d->module = module;
  d->defined_in = module;
  d->next_public = nullptr;
  d->blockinfo = atom_nil;
  d->metainfo = atom_nil;
  d->filename = atom_nil;
  return d;
}

/* A definition's own indexicals go; an import only forgets the exporter's. */
void destroy_fd_info(definition *def)
{
  void **chains = (void **)def->fd_info;
  def->fd_info = nullptr;
  if (!chains || def->imported_from) return;
  for (uint32_t i = 0; i < QX_FD_INFO_BYTES / sizeof(void *); i++)
    if (chains[i]) call_fd_destructor(chains[i]);
  qx_checkdealloc(chains, QX_FD_INFO_BYTES, QX_FD_INFO_SPACE);
}

/* A foreign predicate owns its call record; importers share the exporter's. */
static void release_foreign_code(definition *def)
{
  if ((def->predtyp == ENTER_FOREIGN || def->predtyp == ENTER_STASH) && !def->imported_from)
    qx_free_foreign_code(def);
}

void free_module(mod_def *m)
{
  qx_for_each_definition(m, [](definition *d) {
    release_foreign_code(d);
    destroy_fd_info(d);
    qx_free_compiled_clauses(d);
    qx_remove_all_clauses(d);
    qx_reclaim_dead_clauses(d, true);
    qx_checkdealloc(d, sizeof(definition), QX_SPACE_PROGRAM);
  });
  bb_remove(m);
  dispose_switch_on_key(m->preds);
  qx_checkdealloc(m, sizeof(mod_def), QX_SPACE_PROGRAM);
}

}  // namespace

int init_modules()
{
  init_fd_hooks();
  qx_reset_state_flags();
  qx_eg.modules = new_switch_on_key(16);
  qx_eg.prolog_module = find_module(atom_prolog, 1);
  qx_eg.user_module = find_module(atom_user, 1);
  qx_eg.typein_mod = qx_eg.user_module;
  if (!qx_eg.current_unknown) qx_eg.current_unknown = atom_error;
  return 0;
}

void deinit_modules()
{
  if (!qx_eg.modules) return;
  /* Compiled clauses first, while every importer that shares a chain still exists. */
  qx_for_each_module([](mod_def *m) {
    qx_for_each_definition(m, [](definition *d) { qx_free_compiled_clauses(d); });
  });
  qx_forget_foreign_resources();
  qx_for_each_module([](mod_def *m) { free_module(m); });
  dispose_switch_on_key(qx_eg.modules);
  qx_eg.modules = nullptr;
  qx_eg.prolog_module = qx_eg.user_module = qx_eg.typein_mod = nullptr;
}

mod_def *find_module(TAGGED name, int create)
{
  sw_on_key_node *n = incore_gethash(qx_eg.modules, name);
  if (n->key) return (mod_def *)(uintptr_t)n->value;
  if (!create) return nullptr;
  mod_def *m = new_module(name);
  dyn_puthash(&qx_eg.modules, name)->value = (TAGGED)(uintptr_t)m;
  return m;
}

definition *find_definition(mod_def *module, TAGGED key, void *scratch, int create)
{
  (void)scratch;
  sw_on_key_node *n = incore_gethash(module->preds, key);
  if (n->key) return (definition *)(uintptr_t)n->value;
  if (!create) return nullptr;
  definition *d = new_definition(module, key);
  dyn_puthash(&module->preds, key)->value = (TAGGED)(uintptr_t)d;
  return d;
}

definition *insert_definition(mod_def *module, TAGGED name, uint32_t arity, int create)
{
  if (!IsAtom(name) || arity > QX_MAX_ARITY) return nullptr;
  TAGGED key = arity ? MakeFunctor(name, arity) : name;
  return find_definition(module, key, nullptr, create);
}

/* The term after its module qualifications, module set to the innermost one; null when a
 * qualifier is no atom. */
static bool strip_modules(TAGGED *term, mod_def **module)
{
  TAGGED t = deref(*term);
  while (IsStr(t) && StrFunctor(t) == functor_colon2) {
    TAGGED m = deref(StrArg(t, 1));
    if (!IsAtom(m)) return false;
    *module = find_module(m, 1);
    t = deref(StrArg(t, 2));
  }
  *term = t;
  return true;
}

/* Name/Arity, Module:Name/Arity as written (read as (Module:Name)/Arity, since ':' binds
 * tighter than '/') or Module:(Name/Arity). */
definition *parse_definition(TAGGED spec, mod_def *module)
{
  if (!strip_modules(&spec, &module)) return nullptr;
  if (!IsStr(spec) || StrFunctor(spec) != MakeFunctor(qx_char_atom_fixed('/'), 2)) return nullptr;
  TAGGED name = StrArg(spec, 1);
  TAGGED arity = deref(StrArg(spec, 2));
  if (!strip_modules(&name, &module)) return nullptr;
  if (!IsAtom(name) || !IsSmall(arity) || GetSmall(arity) < 0) return nullptr;
  return insert_definition(module, name, (uint32_t)GetSmall(arity), 1);
}

definition *qx_resolve_call(mod_def *module, TAGGED key)
{
  definition *d = find_definition(module, key, nullptr, 0);
  /* An import runs the exporter's definition: its clauses live there, not in the importer. */
  while (d && d->imported_from) d = d->imported_from;
  if (d && (d->predtyp != ENTER_UNDEFINED || d->properties.dynamic)) return d;
  mod_def *sys = qx_eg.prolog_module;
  if (module != sys) {
    definition *s = find_definition(sys, key, nullptr, 0);
    if (s && (s->predtyp != ENTER_UNDEFINED || s->properties.dynamic)) return s;
  }
  return d;
}

void call_fd_destructor(void *chain)
{
  if (qx_fd_destructor_hook) qx_fd_destructor_hook(qx_fd_hook_cookie, chain);
}

void qx_release_fd_definitions(void)
{
  /* an import goes with its exporter (update_exports clears the copies) */
  qx_for_each_module([](mod_def *m) {
    qx_for_each_definition(m, [](definition *d) {
      if (d->fd_info && !d->imported_from) undefine_predicate(d);
    });
  });
}

/* A change of kind can change what a call resolves to: the interpreter's lookup cache is dropped. */
void set_enter_instr(definition *def, int kind)
{
  def->predtyp = (uint16_t)kind;
  qx_eg.def_generation++;
}

/* An import runs what its exporter runs. */
static void copy_entry(definition *imp, const definition *def)
{
  imp->predtyp = def->predtyp;
  imp->code = def->code;
  imp->retry = def->retry;
  imp->fd_info = def->fd_info;
}

/* Set the kind and pass kind and code on to every importer. */
void update_exports(definition *def, int kind)
{
  set_enter_instr(def, kind);
  for (definition *imp = def->importers; imp; imp = imp->next_importer) copy_entry(imp, def);
}

void redefine_predicate(definition *def, int kind)
{
  if (kind != FD_CONSTRAINT) destroy_fd_info(def);
  qx_free_compiled_clauses(def);
  release_foreign_code(def);
  qx_remove_all_clauses(def);
  def->properties.foreign_code = 0;
  update_exports(def, kind);
}

/* Native built-ins keep their code: undefining them would lose the engine's own predicates. An
 * undefined predicate keeps no clauses, indexicals or declarations: calling it is an existence
 * error again. */
void undefine_predicate(definition *def)
{
  if (def->properties.builtin_row) return;
  qx_free_compiled_clauses(def);
  qx_remove_all_clauses(def);
  destroy_fd_info(def);
  release_foreign_code(def);
  qx_forget_definition(def);
  update_exports(def, ENTER_UNDEFINED);
}

/* Saved states bring no native code: the predicates of loaded resources keep theirs (a state
 * that names them keeps them as they are). */
void undefine_all(mod_def *module, int flag)
{
  (void)flag;
  qx_for_each_definition(module, [](definition *d) {
    bool resource = (d->predtyp == ENTER_FOREIGN || d->predtyp == ENTER_STASH) && d->code.code &&
                    !d->imported_from;
    if (!resource) undefine_predicate(d);
  });
}

void import_predicate(definition *def, mod_def *module, mod_def *importer)
{
  (void)module;
  definition *imp = find_definition(importer, def->functor, nullptr, 1);
  if (imp == def || imp->imported_from == def) return;
  /* imported from elsewhere before: it leaves that exporter's importers, whose kind, code and
   * indexicals would otherwise go on being copied into it (and, through its link, into the new
   * exporter's importers) */
  if (definition *from = imp->imported_from)
    for (definition **p = &from->importers; *p; p = &(*p)->next_importer)
      if (*p == imp) {
        *p = imp->next_importer;
        break;
      }
  imp->imported_from = def;
  imp->defined_in = def->module;
  copy_entry(imp, def);
  imp->next_importer = def->importers;
  def->importers = imp;
  qx_eg.def_generation++;
}

/* Blackboard entries: a table of key -> instance per module. */
void bb_remove(mod_def *module)
{
  sw_on_key *bb = (sw_on_key *)(uintptr_t)module->bb;
  if (!bb) return;
  for (uint32_t i = 0; i < sw_on_key_slots(bb); i++)
    if (bb->node[i].key) qx_free_instance((instance *)(uintptr_t)bb->node[i].value);
  dispose_switch_on_key(bb);
  module->bb = 0;
}
