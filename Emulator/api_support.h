/* Support-table functions that serve library resources only: small lookups and set-up steps of
 * the engine that a resource may need and nothing inside the engine calls. */
#ifndef QX_API_SUPPORT_H
#define QX_API_SUPPORT_H

#include "datadefs.h"

/* The definition of key (a functor word, or an atom for arity 0) in module itself: no import
 * and no fall back to the system module. Null when it has none. */
definition *find_def_in_module(mod_def *module, TAGGED key);
/* Makes the current worker's data areas anew (everything on them is discarded): 1, or 0. */
int init_ds(void);
/* Writes the printf-style message and a newline on the error stream and ends the process with
 * code. */
[[noreturn]] void qx_exitmsg(int code, const char *format, ...);
/* value as a small integer; a value out of range is a fault. */
TAGGED MakeSmall_checked(long value);
/* The worker the engine runs on. */
worker *get_current_worker(void);

#endif
