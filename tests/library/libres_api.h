/* Loading a library resource the way the engine's loader does: the entry is given the engine's
 * API struct for the current worker and fills the parameter block, then its init runs. Shared by
 * the tests and the benchmarks. libres_api is a hand-made struct whose public table is only a
 * header (size, name, version), for the entry's version checks, which call nothing through it. */
#ifndef QX_LIBRES_API_H
#define QX_LIBRES_API_H

#include "orvalis.h"
#include "qxlibres.h"

struct libres_api {
  uint32_t header[3] = {12, 0, QX_LIBRES_API_VERSION};
  ORVALIS_API_STRUCT api = {(const qx_dispatch_table *)header, nullptr, nullptr, nullptr};
  explicit libres_api(uint32_t version = QX_LIBRES_API_VERSION) { header[2] = version; }
};

inline QX_MAINFUN_PARAMS_STRUCT libres_block(ORVALIS_API_STRUCT *api, int flags = QX_MAINFUN_LOAD)
{
  return {QX_MAINFUN_PARAMS_VERSION, api, flags, nullptr, nullptr, nullptr, nullptr, nullptr};
}

/* The entry's answer for a load; on 0 the init function has run with reason 0. */
inline int libres_load(QX_pre_linkage_fn entry, QX_MAINFUN_PARAMS_STRUCT *block)
{
  static ORVALIS_API_STRUCT api;
  init_qxenv(qx_w, &api, nullptr);
  *block = libres_block(&api);
  int rc = entry(block);
  if (rc == 0 && block->init_fun) ((void (*)(int))block->init_fun)(0);
  return rc;
}

inline void libres_unload(const QX_MAINFUN_PARAMS_STRUCT &block)
{
  if (block.deinit_fun) ((void (*)(int))block.deinit_fun)(0);
}

#endif
