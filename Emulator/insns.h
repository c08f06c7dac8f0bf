/* Compiled-code helpers: the instruction tables that walkers of compiled clauses read, the
 * try-node assembler, and the operand kinds of each instruction format.
 *
 * The engine runs no compiled clauses; it keeps them as opaque objects. Only what a walker needs
 * independently of the instruction set is known: instruction 5 (a try chain) and the operand kinds
 * of each format value. Every other instruction has the format QX_INSN_UNKNOWN, which tells a
 * walker that the code cannot be walked.
 */
#ifndef QX_INSNS_H
#define QX_INSNS_H

#include <array>
#include <cstdint>

constexpr int QX_INSTRUCTIONS = 350;
constexpr int QX_INSN_TRY = 5;              /* a try chain over a clause's alternatives */
constexpr uint8_t QX_INSN_UNKNOWN = 255;    /* format or class not known */
constexpr uint8_t QX_INSN_FMT_TRY = 254;    /* rebuilt with asm_try_insn, not walked by operands */
constexpr uint8_t QX_INSN_CLASS_LEAVES = 0; /* leaves the clause */
constexpr uint8_t QX_INSN_CLASS_STAYS = 1;  /* execution continues in the clause */

/* Per instruction number: its format value and its class. */
extern const std::array<uint8_t, QX_INSTRUCTIONS> insn_fmt;
extern const std::array<uint8_t, QX_INSTRUCTIONS> insn_class;

/* The operand kinds of a format value, in order: h 16-bit word, x argument register, w 32-bit
 * word, c tagged constant, a alternative address, p address (label or predicate), n inline boxed
 * number, z one zeroed word, Z two zeroed words, L counted list of 16-bit words; a format that
 * ends the clause's code is "$", a 16-bit count k followed by k - 1 words is "K", and a count k
 * followed by k pairs whose second word is a register is "P". "" for no operands. */
const char *qx_insn_operands(int fmt);

/* Writes a try-node entry at position: the instruction word (5 << 3), the halfwords a and b, then
 * the 32-bit alternative address; answers the position after it. */
uint16_t *asm_try_insn(uint16_t *position, const void *address, uint16_t a, uint16_t b);
/* Byte offset of the large operand of a compiled instruction: no instruction has one here, -1. */
int large_insn_offset(const void *insn);

#endif
