/* The engine as start-up builds it when no boot file is restored: the I/O library, the memory
 * manager, the OS character set, the one-time state (init_once) and the worker (create_worker).
 * For tests, benchmarks and fuzz targets, one engine at a time; the user streams come from the
 * stream hook set before the start. stop_whole_engine takes it down in the engine's own order. */
#ifndef QX_ENGINE_START_H
#define QX_ENGINE_START_H

#include <cstring>

#include "datadefs.h"
#include "memman.h"
#include "qxio/qxio.h"
#include "startup.h"
#include "wcx.h"

/* The current worker, or null when a step failed (what did start is left for the stop). */
inline worker *start_whole_engine()
{
  std::memset(&qx_eg, 0, sizeof qx_eg); /* the engine-global block starts zeroed */
  if (qxio_init(nullptr, nullptr, 0) != 0 || memman_init() != 0 || init_wcx() != 0 ||
      init_once() != 1)
    return nullptr;
  return create_worker();
}

inline void stop_whole_engine(worker *w)
{
  deinit_once(w);
  deinit_wcx();
  memman_deinit();
  qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN);
}

#endif
