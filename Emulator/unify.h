/* Unification, attributed variables and the wake list. */
#ifndef QX_UNIFY_H
#define QX_UNIFY_H

#include "datadefs.h"

/* General unification, younger variables bound to older; nonzero on success. Does not undo
 * partial bindings on failure (the caller backtracks). */
int cunify(worker *w, TAGGED a, TAGGED b);

/* Attributes, per module slot. v is a dereferenced variable. */
TAGGED get_attributes(TAGGED v, mod_def *module);
void put_attributes(TAGGED v, TAGGED attribute, mod_def *module);
TAGGED *delete_attributes(TAGGED v, mod_def *module, int flag);
int pure_attributes(TAGGED v, mod_def *module);
int single_attribute(TAGGED v, mod_def *module);
/* Bind an attributed variable cell and register the wake-up. */
void qx_attvar_bind(worker *w, TAGGED *cell, TAGGED value);
/* Take the pending wake list (cells of bound attributed variables) / put a list back. */
uint32_t qx_wake_take(worker *w, TAGGED **out, uint32_t max);
void qx_wake_put(worker *w, TAGGED *const *cells, uint32_t n);
/* Restore the soft heap limit unless an event or a wake-up is pending. */
void qx_restore_soft_limit(worker *w);

#endif
