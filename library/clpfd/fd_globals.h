/* The entries of the global constraints, one block of lines per family. Each is called by the
 * kernel as entry(api, State0, State, Actions) (fd_kernel.h, fd_global_fn). */
#ifndef QX_FD_GLOBALS_H
#define QX_FD_GLOBALS_H

#include "fd_kernel.h"

/* all_distinct/1 (alldistinct.cpp) */
void prolog_fd_all_distinct_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                           QX_term_ref state, QX_term_ref actions);

#endif
