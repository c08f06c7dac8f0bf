/* The library resources' test helpers: loading through the entry as the engine's loader does. */
#ifndef QX_LIBRES_TEST_H
#define QX_LIBRES_TEST_H

#include <gtest/gtest.h>

#include "libres_api.h"

/* Loads the resource; the block as the entry left it. */
inline QX_MAINFUN_PARAMS_STRUCT libres_load(QX_pre_linkage_fn entry)
{
  QX_MAINFUN_PARAMS_STRUCT block;
  EXPECT_EQ(libres_load(entry, &block), 0);
  return block;
}

#endif
