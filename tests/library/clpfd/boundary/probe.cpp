/* A file of the solver's target, built with its include directories and definitions: with a
 * chief header as QX_PROBE_HEADER it compiles, with an engine-internal one it must not. */
#include "fd_kernel.h"
#include QX_PROBE_HEADER

int qx_boundary_probe(ORVALIS_API_STRUCT *api) { return fd_state(api) != nullptr; }
