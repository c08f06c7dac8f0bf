/* Clauses in the form the interpreter runs, made once when a clause is stored, beside its term.
 *
 * A clause's code follows its qx_clause_info: the head's argument cells, a word giving the
 * distance back to the instance, the template blocks, and the body's instructions. A template
 * cell is a constant as it is; a variable of the clause (its slot in the frame's variable table,
 * and whether this occurrence is the first one the interpreter meets); a block of the code (a
 * compound's functor and argument cells, a list pair's two cells, a boxed number's words); or a
 * ground subterm of the instance itself, whose cells are the instance's own (offsets from its
 * start), so that a clause's ground data is stored once. Blocks are laid out on the heap only
 * where a term is needed: a goal's argument, or a binding the head makes. First occurrences are
 * known when the code is made, so a frame's table needs no clearing: a first occurrence stores,
 * every other one reads.
 *
 * The clause's term stays in the instance: clause/2, listing and error contexts read it there.
 */
#ifndef QX_CLAUSE_CODE_H
#define QX_CLAUSE_CODE_H

#include <vector>

#include "atoms.h"
#include "database.h"

/* ---- template cells: the low two bits as a term's tag; bit 2 a variable's first occurrence,
 * or a block of the instance rather than of the code; bit 3 of a code block: every argument cell
 * is a variable or a constant (a flat block, unified and built without a walk) ---- */
enum : uint32_t { QX_T_VAR = 0, QX_T_STR = 1, QX_T_LST = 2, QX_T_CONST = 3 };
constexpr uint32_t QX_T_BIT = 4;
constexpr uint32_t QX_T_FLAT = 8;
static inline uint32_t qx_t_var(uint32_t slot, bool first) { return slot << 3 | (first ? 4 : 0); }
static inline bool qx_t_first(uint32_t t) { return (t & QX_T_BIT) != 0; }
static inline uint32_t qx_t_slot(uint32_t t) { return t >> 3; }
/* A cell that needs no walk: a variable or a constant. */
static inline bool qx_t_simple(uint32_t t) { return (t & 1) == (t >> 1 & 1); }
/* A block `index` words into the clause's blocks. */
static inline uint32_t qx_t_block(uint32_t index, uint32_t tag, bool flat)
{
  return index << 4 | (flat ? QX_T_FLAT : 0) | tag;
}
static inline bool qx_t_flat(uint32_t t) { return (t & (QX_T_BIT | QX_T_FLAT)) == QX_T_FLAT; }
/* A ground subterm of the instance, whose block is `offset` bytes from the instance's start. */
static inline uint32_t qx_t_ground(uint32_t offset, uint32_t tag)
{
  return offset << 1 | QX_T_BIT | tag;
}
/* The instance of a clause from its blocks: the word before them holds the distance. */
static inline const char *qx_t_instance(const uint32_t *blocks)
{
  return (const char *)blocks - blocks[-1];
}
/* The block of a compound template cell t, and whether its argument cells are the instance's. */
static inline const uint32_t *qx_t_block_of(const uint32_t *blocks, uint32_t t, bool *ground)
{
  *ground = (t & QX_T_BIT) != 0;
  if (*ground) return (const uint32_t *)(qx_t_instance(blocks) + ((t & ~7u) >> 1));
  return blocks + (t >> 4);
}
/* The block of a compound cell of the instance (an offset from its start with its tag). */
static inline const uint32_t *qx_t_instance_block(const uint32_t *blocks, uint32_t c)
{
  return (const uint32_t *)(qx_t_instance(blocks) + (c & ~3u));
}
/* A functor word as a term has it: a user's '$ref'/2 is stored under a private functor. */
static inline TAGGED qx_t_functor(TAGGED f) { return f == functor_ref_term2 ? functor_ref2 : f; }

/* ---- body instructions: an opcode in the low byte of the first word ---- */
enum qx_op : uint8_t {
  /* A predicate call: | arity << 8 | QX_CALL_LAST | inline kind << QX_CALL_INLINE_SHIFT;
   * heap words its arguments take; functor; the site's cache (generation, definition | 1 when
   * it may run inline); the argument cells. */
  QX_OP_CALL,
  /* A goal run as a term (control constructs with their own rules, variables, non-callables):
   * | QX_CALL_LAST | QX_GOAL_LOCAL_CUT; heap words; the cut's slot when local; the goal's cell. */
  QX_OP_GOAL,
  QX_OP_CUT,       /* cut to the clause's barrier */
  QX_OP_CUT_LOCAL, /* slot: cut inside a condition, back to its if-then-else node */
  QX_OP_FAIL,
  /* Addresses count words from the body's first instruction. */
  QX_OP_DISJ,    /* else address: a node that resumes there */
  QX_OP_ITE,     /* slot, else address: the same, the node's place kept in the slot */
  QX_OP_THEN,    /* slot: the condition succeeded; cut back to below its node */
  QX_OP_JUMP,    /* address */
  QX_OP_INIT,    /* slot: a fresh variable (a branch that did not meet one its sibling did) */
  QX_OP_PROCEED, /* the body is done */
};
constexpr uint32_t QX_CALL_LAST = 1u << 16;
constexpr uint32_t QX_GOAL_LOCAL_CUT = 1u << 17;
/* A call that is not inline whose argument cells are all variables met before: its arguments
 * are the table's words as they are, and it takes no heap. */
constexpr uint32_t QX_CALL_SEEN = 1u << 18;
constexpr uint32_t QX_CALL_INLINE_SHIFT = 20;
constexpr uint32_t QX_CALL_WORDS = 5; /* words before the argument cells */

/* Built-ins a call may run inline while its site resolves to the system's own definition. */
enum qx_inline : uint8_t {
  QX_INLINE_NONE,
  QX_INLINE_UNIFY, /* =/2 */
  QX_INLINE_IS,
  QX_INLINE_EQ, /* =:= */
  QX_INLINE_NE,
  QX_INLINE_LT,
  QX_INLINE_GT,
  QX_INLINE_LE,
  QX_INLINE_GE,
  QX_INLINE_ASSIGN, /* =/2 whose first cell is a first occurrence missing from the other */
};
static inline int qx_call_arity(uint32_t w0) { return (w0 >> 8) & 0xFF; }
static inline int qx_call_inline(uint32_t w0) { return (int)(w0 >> QX_CALL_INLINE_SHIFT) & 15; }

/* What the maker reports besides the code words. */
struct qx_code_shape {
  uint32_t nvars;     /* slots of the frame's table */
  uint32_t head_vars; /* slots 0..head_vars-1 are first met in the head, the others in the body */
  uint32_t head_heap; /* heap words the head's bindings may build */
  uint32_t body;      /* first body instruction, QX_NO_BODY for a fact */
  uint32_t blocks;    /* first word of the template blocks */
};

/* Makes the code of a clause from its instance body (words cells, :-(H, B) or H); the code will
 * be `code_offset` bytes from the instance's start. */
void qx_code_make(const TAGGED *body, uint32_t words, uint32_t code_offset,
                  std::vector<uint32_t> &code, qx_code_shape *shape);

#endif
