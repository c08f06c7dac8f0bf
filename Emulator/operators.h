/* The fixed standard operator table, shared by the term writer and the parser. */
#ifndef QX_OPERATORS_H
#define QX_OPERATORS_H

#include <cstdint>

#include "termdefs.h"

enum op_kind { XFX, XFY, YFX, FY, FX };

struct op_def {
  const char *name;
  int priority;
  op_kind kind;
};

/* The operator of name with the given arity (2 infix, 1 prefix), or null. */
const op_def *find_op(TAGGED name, uint32_t arity);

#endif
