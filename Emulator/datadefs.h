/* The engine's records: the worker, the engine-global block, choicepoints and frames, modules.
 *
 * Field names that code outside the core reads are kept as they are named there (global_top,
 * stack_start, global_uncond, heap_warn_soft, node_, term, ...). The argument registers sit at
 * byte 180 of the worker: saved-state descriptions and quick-load operands compute register
 * addresses from that offset.
 */
#ifndef QX_DATADEFS_H
#define QX_DATADEFS_H

#include <cstddef>
#include <cstdint>

#include "termdefs.h"

struct atom;
struct mod_def;
struct definition;
struct instance;
struct sw_on_key;
struct numstack_block;
struct frame;
struct alt_code;

constexpr int QX_ARG_REGISTERS = 256;

/* Term-reference interface data the embedding API reads through word 0 of the worker. */
struct qx_fli_info {
  TAGGED *fli_stack_start;
  TAGGED *term;
  int excp_flag;
};

/* A choicepoint. The alternative's code carries the node's size (halfword 6), so the nodes can
 * be walked from the newest outwards. Bit 0 of next_alt marks a node with entries to collect. */
struct node {
  alt_code *next_alt;
  TAGGED *trail_top;
  TAGGED *global_top;
  frame *local_top;
  frame *frame_;
  frame *cont;
  uint32_t wake_len;   /* pending wake-ups when the node was made */
  uint32_t wake_count;
  TAGGED term[];       /* saved argument registers / state words */
};
constexpr size_t QX_NODE_HEADER_WORDS = sizeof(node) / sizeof(TAGGED);

/* An environment frame: the goal to run on return and the cut barrier of its clause. */
struct frame {
  frame *next;
  TAGGED goal;
  uint32_t cut_b;      /* offset of the barrier node from the top of the choicepoint area */
  mod_def *ctx;
};

struct worker {
  /* word 0 */ qx_fli_info *fli_data;
  /* heap: [heap_start, global_top) used, [global_top, stack_start) free */
  TAGGED *heap_start;
  TAGGED *global_top;
  TAGGED *stack_start;
  TAGGED *heap_end;        /* end of the heap's reservation */
  TAGGED *global_uncond;   /* heap top at the newest choicepoint */
  TAGGED *heap_warn_soft;  /* the event check compares the heap top with this; 0 forces it */
  TAGGED *int_heap_warn;   /* saved copy of the soft limit while an event is requested */
  TAGGED *heap_warn;       /* the real warning limit, recomputed by every growth */
  /* local stack (above the heap in the same reservation) */
  frame *local_start;
  frame *local_top;
  frame *local_end;        /* commit fence of the local stack */
  frame *local_uncond;     /* local top at the newest choicepoint */
  /* trail (upwards) and choicepoints (downwards) share one block */
  TAGGED *trail_start;
  TAGGED *trail_top;
  node *node_;             /* newest choicepoint */
  node *choice_start;      /* top of the block: the choicepoint area's base */
  /* control */
  frame *frame_;
  frame *cont;
  node *current_query;
  /* number stack */
  char *numstack_top;
  char *numstack_end;
  numstack_block *numstack_first;
  numstack_block *numstack_cur;
  /* attributed-variable wake-ups: cells of bound attributed variables, off the heap */
  uint32_t wake_count;
  TAGGED **wake_list;
  uint32_t wake_len;
  uint32_t wake_cap;
  /* term references */
  TAGGED *fli_stack_start;
  uint32_t fli_stack_size;
  uint32_t fli_stack_index;
  /* events */
  int events_disabled;
  uint32_t event_flags;
  /* unification work stack (worker-owned, grows) */
  TAGGED *unify_stack;
  uint32_t unify_stack_size;
  uint32_t reserved_[10];  /* room for later fields before the registers */
  /* byte 180 */
  TAGGED term[QX_ARG_REGISTERS];
  TAGGED worker_vars[32];
  qx_fli_info fli_info;
};
static_assert(offsetof(worker, term) == 180, "argument registers must start at byte 180");

/* A module. preds maps functor words to definitions; attr_no is the attribute slot (0 none). */
struct mod_def {
  TAGGED name;
  uint32_t prop;
  definition *public_lst;
  sw_on_key *preds;
  sw_on_key *names;
  uint32_t attr_no;
  TAGGED bb;
  TAGGED filename;
};

/* The engine-global block: zeroed at start; each subsystem owns its group of fields. */
struct eglobal {
  /* ---- atoms ---- */
  atom ***atom_chunks;          /* up to 128 chunks of 8192 record pointers */
  uint32_t atom_count;          /* next free index */
  atom **atom_hash;             /* open hash by the 28-bit name hash */
  uint32_t atom_hash_size;
  uint32_t atom_live;
  TAGGED one_char_atoms[256];
  /* ---- character classes ---- */
  int32_t chcode_hash[512];
  int8_t chtype_hash[512];
  /* ---- attributes ---- */
  uint32_t attr_no;             /* attribute slots handed out */
  /* ---- flags read by streams and the tokenizer ---- */
  TAGGED current_prompt;
  TAGGED current_char_conversion;
  TAGGED current_double_quotes;
  TAGGED current_quoted_charset_flag;
  uint32_t current_gcmargin;    /* KiB */
  /* ---- numbers ---- */
  char *scratch;                /* shared scratch text buffer for number formatting */
  uint32_t scratch_size;
};

extern eglobal qx_eg;
extern worker *qx_w;

eglobal *qx_get_engine_global();

#endif
