/* Modules and predicate definitions. */
#ifndef QX_MODULES_H
#define QX_MODULES_H

#include "datadefs.h"
#include "memman.h"

int init_modules(); /* the table and the modules prolog and user; 0 on success */
void deinit_modules();

mod_def *find_module(TAGGED name, int create);
/* key: a functor word (or the atom of an arity-0 predicate). */
definition *find_definition(mod_def *module, TAGGED key, void *scratch, int create);
definition *insert_definition(mod_def *module, TAGGED name, uint32_t arity, int create);
definition *parse_definition(TAGGED spec, mod_def *module);
/* The definition a call of key in module runs: the module's own, else the system module's. */
definition *qx_resolve_call(mod_def *module, TAGGED key);

void update_exports(definition *def, int kind);
void set_enter_instr(definition *def, int kind);
void redefine_predicate(definition *def, int kind);
void undefine_predicate(definition *def);
void undefine_all(mod_def *module, int flag);
void import_predicate(definition *def, mod_def *module, mod_def *importer);
void bb_remove(mod_def *module);

extern void (*qx_fd_destructor_hook)(void *cookie, void *chain);
extern void *qx_fd_hook_cookie;
void call_fd_destructor(void *chain);
/* Every predicate defined by indexicals becomes undefined, its chains freed through the
 * destructor hook: done while the resource that installed the hook is still there. */
void qx_release_fd_definitions(void);

/* Visit every module / every definition of a module (in table order). */
template <class F>
void qx_for_each_module(F f);
template <class F>
void qx_for_each_definition(mod_def *module, F f);

#include "hashtab.h"
template <class F>
void qx_for_each_module(F f)
{
  sw_on_key *t = qx_eg.modules;
  for (uint32_t i = 0; t && i < sw_on_key_slots(t); i++)
    if (t->node[i].key) f((mod_def *)(uintptr_t)t->node[i].value);
}
template <class F>
void qx_for_each_definition(mod_def *module, F f)
{
  sw_on_key *t = module->preds;
  for (uint32_t i = 0; t && i < sw_on_key_slots(t); i++)
    if (t->node[i].key) f((definition *)(uintptr_t)t->node[i].value);
}

#endif
