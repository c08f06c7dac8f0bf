/* The native entries of the global constraints, one block per family. Each is called as
 * entry(api, State0, State, Actions) by the kernel's dispatch (fd_instance.cpp's pred_table). */
#ifndef QX_FD_GLOBALS_H
#define QX_FD_GLOBALS_H

#include "fd_kernel.h"

/* scheduling (discrete.cpp) */
void prolog_fd_disjoint1_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                        QX_term_ref state, QX_term_ref actions);

#endif
