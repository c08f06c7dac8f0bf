/* Operand words per opcode for the tests, until the machine's table is linked in: a weak
 * definition, so that the machine's own one replaces it. */
#include "fd_indexical.h"

__attribute__((weak)) int ix_operands(ix_byte op)
{
  switch (op) {
  case 64:
  case 69: return 2;
  case 18:
  case 21:
  case 22:
  case 23:
  case 25:
  case 29:
  case 33:
  case 37:
  case 41:
  case 42:
  case 43:
  case 44:
  case 52:
  case 61:
  case 62:
  case 63:
  case 65:
  case 80:
  case 81:
  case 82: return 1;
  default: return 0;
  }
}
