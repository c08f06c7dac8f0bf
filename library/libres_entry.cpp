/* The entry step the library resources share: the version checks of the parameter block and of
 * the public dispatch table, then the tables handed out. It calls no engine function. */
#include "orvalis.h"
#include "qxlibres.h"

int qx_libres_entry(void *params, ORVALIS_API_STRUCT **api, const qx_libres_tables &tables)
{
  auto *block = (QX_MAINFUN_PARAMS_STRUCT *)params;
  if (!block) return 1;
  if (block->version != QX_MAINFUN_PARAMS_VERSION) return 2;
  if (!block->qxenv || !block->qxenv->dispatch_API_ORVALIS_H) return 1;
  uint32_t version = block->qxenv->dispatch_API_ORVALIS_H->version;
  if (version >> 16 != QX_LIBRES_API_MAJOR || version < QX_LIBRES_API_VERSION) return 2;
  *api = block->qxenv;
  block->flags |= QX_MAINFUN_PLAIN_INIT;
  block->funcs = tables.funcs;
  block->prednames = tables.prednames;
  block->arities = tables.arities;
  block->init_fun = (void (*)())tables.init;
  block->deinit_fun = (void (*)())tables.deinit;
  return 0;
}
