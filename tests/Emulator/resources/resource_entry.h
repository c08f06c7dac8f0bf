/* What the entry function of a test resource built as a shared object does: checks the block
 * the engine hands over and fills in its tables and its init and deinit functions, which take
 * the resource's API struct (flag 16). */
#ifndef QX_TEST_RESOURCE_ENTRY_H
#define QX_TEST_RESOURCE_ENTRY_H

#include "orvalis.h"

inline int fill_resource_entry(QX_MAINFUN_PARAMS_STRUCT *p, void (*const *funcs)(),
                               const char *const *names, const int *arities,
                               void (*init)(ORVALIS_API_STRUCT *, int),
                               void (*deinit)(ORVALIS_API_STRUCT *, int))
{
  if (p->version != QX_MAINFUN_PARAMS_VERSION) return 2;
  if (!p->qxenv || !p->qxenv->dispatch_API_ORVALIS_H) return 1;
  p->funcs = funcs;
  p->prednames = names;
  p->arities = arities;
  p->init_fun = (void (*)())init;
  p->deinit_fun = (void (*)())deinit;
  p->flags |= QX_MAINFUN_API_INIT;
  return 0;
}

#endif
