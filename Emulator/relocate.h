/* The walk over a compiled clause's code: relocation of a clause read from another process
 * (its addresses, registers, byte order and instruction-word form) and the visit of the atoms
 * and predicates a clause refers to.
 *
 * The walk is driven by instruction tables (format and class per instruction number). With the
 * engine's own tables, which know only the try chain, every other instruction is unknown and the
 * walk answers that the code cannot be walked; nothing is changed then.
 */
#ifndef QX_RELOCATE_H
#define QX_RELOCATE_H

#include <cstdint>

#include "emulcode.h"

/* Formats and classes per instruction number (count entries each). */
struct qx_insn_tables {
  const uint8_t *fmt;
  const uint8_t *cls;
  int count;
};
extern const qx_insn_tables qx_engine_insn_tables;

/* Callback kinds: a tagged constant that is an atom or functor cell, a predicate address. */
enum { QX_REL_ATOM = 1, QX_REL_PREDICATE = 2 };
/* cell: the operand's 32 bits in the code (2-byte aligned only; use memcpy), already in this
 * machine's byte order; key: its value. */
typedef void (*qx_rel_callback)(void *cell, uint32_t key, void *info, int kind);

/* Relocates a clause restored at its present address from a state saved with savemask into this
 * emulator's form (restoremask): delta is the clause's address change (new end - saved end),
 * old_failcode the saver's shared failure code. 1 when done; 0 when the code cannot be walked
 * (an unknown instruction, or an operand past the end of the code), and then nothing changed. */
int relocate_emul_data(emul_info *clause, int32_t delta, uint32_t old_failcode,
                       qx_rel_callback callback, uint32_t savemask, uint32_t restoremask,
                       void *info, const qx_insn_tables &tables = qx_engine_insn_tables);
/* Visits the atoms and predicates of a clause in this emulator's form without changing it:
 * 1 when walked, 0 when it cannot be. */
int scan_code(emul_info *clause, qx_rel_callback callback, void *info = nullptr,
              const qx_insn_tables &tables = qx_engine_insn_tables);

#endif
