/* The entries of the global constraints, one block of lines per family: each is called as
 * entry(api, State0, State, Actions) with the state term in w->term[0] and the global's record in
 * w->term[1] (see fd_global_fn). */
#ifndef QX_FD_GLOBALS_H
#define QX_FD_GLOBALS_H

#include "fd_kernel.h"

/* global_cardinality/3 and global_cardinality_helper/2 (gcc.cpp) */
void prolog_fd_gcc_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                  QX_term_ref actions);
void prolog_fd_gcc_helper_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                         QX_term_ref state, QX_term_ref actions);

/* local_cardinality/2 (lcc.cpp) */
void prolog_fd_lcc_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                  QX_term_ref actions);

/* nvalue/2 (nvalue.cpp) */
void prolog_fd_nvalue_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                     QX_term_ref state, QX_term_ref actions);
/* Calls in which the matching, independent-set and interval prunings removed arcs (tests). */
extern uint64_t fd_nvalue_prunings[3];

#endif
