/* The one engine-global block and the current worker. */
#include "datadefs.h"

eglobal qx_eg;
worker *qx_w;

eglobal *qx_get_engine_global() { return &qx_eg; }
