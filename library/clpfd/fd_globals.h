/* The entries of the global constraints: entry(api, State0, State, Actions), rows of the
 * instance's pred_table. One block of lines per constraint family. */
#ifndef QX_FD_GLOBALS_H
#define QX_FD_GLOBALS_H

#include "fd_kernel.h"

/* placement: disjoint2 */
void prolog_fd_disjoint2_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                        QX_term_ref state, QX_term_ref actions);

#endif
