/* Indexicals: the compiled range expressions stored with an FD-defined predicate, their posted
 * ix/7 records, and the stack machine that evaluates them.
 *
 * Storage, installation, posting, linking and the saved-state hooks are in fd_indexical.cpp; the
 * machine and its set helpers in fd_ixmachine.cpp. Both read instructions through one operand
 * table (ix_operands), so that the evaluator, the relocator and the install-time check agree.
 */
#ifndef QX_FD_INDEXICAL_H
#define QX_FD_INDEXICAL_H

#include "datadefs.h"
#include "fd_kernel.h"

typedef uint32_t ix_byte;

/* Linkage word: change mask in bits 0-2 (1 dom, 2 min, 4 max), bit 3 a value dependency of a
 * propagating indexical, bit 4 of a checking one, the argument index from bit 8. */
constexpr ix_byte IX_LINK_MASK = 7, IX_LINK_VALUE_PROP = 8, IX_LINK_VALUE_CHECK = 16;
constexpr int IX_LINK_ARG_SHIFT = 8;

/* What the machine decodes of an indexical's code on its first run: a two-value pruning (two
 * values, each an argument's or a literal, plus or minus, a pruning by the result) is run without
 * the stack; other code is IX_PLAN_NONE. */
constexpr uint8_t IX_PLAN_UNKNOWN = 0, IX_PLAN_NONE = 1, IX_PLAN_VALUE = 2;
constexpr uint8_t IX_PLAN_AMIN = 1, IX_PLAN_MIN = 2, IX_PLAN_MAX = 3, IX_PLAN_LITERAL = 4;
struct ix_plan {
  uint8_t kind;
  uint8_t field[2]; /* amin (no entailment), min, max, or a literal */
  uint8_t arg[2];
  uint8_t subtract; /* minus, else plus */
  uint8_t prune;    /* its opcode */
  TAGGED literal[2];
};

struct indexical_info {
  definition *pred;
  ix_byte *linkage;
  uint32_t length_of_linkage;
  uint32_t length_of_bytecode;
  uint32_t length_of_literals;
  uint8_t pruned;
  uint8_t checking : 1;
  uint8_t truth_value : 1;
  ix_byte *code;
  TAGGED *
      literals; /* constants; FD-set blocks with the structure tag; hash tables with the list tag */
  indexical_info *next;
  ix_plan plan; /* decoded on the first run */
};

/* A definition's fd_info: four chains indexed by checking * 2 + truth_value. */
struct fd_info {
  indexical_info *info[4];
};
static_assert(sizeof(fd_info) == 16, "fd_info is the engine's 16-byte record");

/* ---- the instruction set ---- */

constexpr ix_byte IX_LAST_OPCODE = 86;
/* The machine's stack: worker term slots from IX_STACK_BASE on, at most IX_STACK_LIMIT words. */
constexpr int IX_STACK_BASE = 3, IX_STACK_LIMIT = QX_ARG_REGISTERS - IX_STACK_BASE;

/* The machine's locals (of the union loop, instructions 18 and 80 to 82), indices from 0. */
constexpr uint32_t IX_LOCALS = 16;

/* Operand words that follow an opcode (0 for opcodes above IX_LAST_OPCODE, which are skipped). */
int ix_operands(ix_byte opcode);

/* ---- storage and posting (fd_indexical.cpp) ---- */

/* Frees every record of a chain: linkage, code, literal blocks, literal array, record. */
void free_fd_info(ORVALIS_API_STRUCT *api, indexical_info *chain);
/* Links an evaluated indexical into the suspension lists of its arguments (once; sets the linked
 * status bit). ix is the ix/7 record. */
void fd_link_indexical(ORVALIS_API_STRUCT *api, worker *w, TAGGED ix);
/* Rewrites the literal references of code (the operand of 41 naming an FD set, the first operand
 * of 69) between literal indices (to_index) and addresses, walking from the second word; false,
 * with the code partly rewritten, when a reference names no literal of its kind or an opcode's
 * operands run past the end. */
bool relocate_bytecode(ix_byte *code, uint32_t length, const TAGGED *literals,
                       uint32_t length_of_literals, int to_index);

void fd_destructor_hook(void *api, void *chain);
/* Undefines every predicate the solver made FD-defined (their code goes with the solver), while
 * its destructor hook is still installed. */
void fd_release_indexicals(ORVALIS_API_STRUCT *api);
int fd_save_hook(void *api, saverest_record *record, definition *def,
                 uint32_t (*write)(const void *, uint32_t, saverest_info *), saverest_info *info);
int fd_restore_hook(void *api, saverest_record *record,
                    int (*read)(void *, uint32_t, saverest_info *), saverest_info *info);

long prolog_fd_install_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref name_arity,
                                      QX_term_ref module, long chain, long count, QX_term_ref list);
void prolog_fd_post_reified_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref pred,
                                           QX_term_ref args, QX_term_ref attrs, QX_term_ref b,
                                           QX_term_ref battr);
void prolog_fd_find_definition_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref head,
                                              QX_term_ref module, QX_term_ref def);
long prolog_fd_indexical_data_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref info,
                                             QX_term_ref kind);

/* ---- the machine (fd_ixmachine.cpp) ---- */

/* Evaluates one dequeued ix/7 record; false when the loop must fail (a pruning emptied a domain,
 * opcode 72, or an overflow in error mode). */
bool evaluate_indexical(ORVALIS_API_STRUCT *api, worker *w, TAGGED ix);

/* Set helpers, results in the temporary area. */
TAGGED fd_multiples(ORVALIS_API_STRUCT *api, worker *w, TAGGED n, TAGGED k);
TAGGED fd_setrem_interval(ORVALIS_API_STRUCT *api, worker *w, TAGGED min, TAGGED max, TAGGED m);
TAGGED fd_minus(ORVALIS_API_STRUCT *api, worker *w, TAGGED s1, TAGGED s2, TAGGED lo, TAGGED hi);
TAGGED fd_plus(ORVALIS_API_STRUCT *api, worker *w, TAGGED s1, TAGGED s2, TAGGED lo, TAGGED hi);

#endif
