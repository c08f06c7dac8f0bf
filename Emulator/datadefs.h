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
struct qx_t_qxio_stream_node_;
struct emul_info;
struct qx_qlinfo;

constexpr int QX_ARG_REGISTERS = 256;

/* Term-reference interface data the embedding API reads through word 0 of the worker. */
struct qx_fli_info {
  TAGGED *fli_stack_start;
  TAGGED *term;
  int excp_flag;
};

/* A client's handle to the engine: the public and support dispatch tables, a word the client
 * owns (a foreign resource keeps its per-instance state there) and the current worker, whose
 * first word points at its qx_fli_info. A term reference is an index into the worker's
 * foreign-interface stack of two-word slots. */
struct qx_dispatch_table;
struct ORVALIS_API_STRUCT {
  const qx_dispatch_table *dispatch_API_ORVALIS_H;
  const qx_dispatch_table *dispatch_API_SUPPORT_H;
  void *stash;
  qx_fli_info **fli_data;
};
typedef int QX_term_ref;

/* A block of global references: this header, then nrefs two-word term slots. The blocks form a
 * ring through backward and forward whose head lives in eglobal. */
struct globref_blk {
  uint32_t size; /* bytes of the whole block, header included */
  uint32_t nrefs;
  globref_blk *backward;
  globref_blk *forward;
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
  uint32_t wake_len; /* pending wake-ups when the node was made */
  uint32_t wake_count;
  TAGGED term[]; /* saved argument registers / state words */
};
constexpr size_t QX_NODE_HEADER_WORDS = sizeof(node) / sizeof(TAGGED);

/* The alternative code of a choicepoint: one per (kind, saved-register count). Halfword 6 is
 * the size in bytes of the nodes that resume here, so nodes are walked by it. */
struct alt_code {
  uint16_t op;
  uint16_t nregs;
  uint16_t a, b, c, d;
  int16_t node_size; /* halfword 6 */
  uint16_t pad;
  void *payload;
};
static_assert(offsetof(alt_code, node_size) == 12, "the node size is halfword 6 of the code");
/* The code of a node, without the collect mark of bit 0. */
static inline alt_code *NodeAlt(const node *n)
{
  return (alt_code *)((uintptr_t)n->next_alt & ~(uintptr_t)1);
}

/* What resumes at a continuation frame. */
enum qx_frame_kind : uint32_t {
  QX_FRAME_GOAL,         /* goal: a term */
  QX_FRAME_BODY,         /* pc, env: the rest of a clause's code and its variable table */
  QX_FRAME_ITE_THEN,     /* goal: the then branch, run after cutting back to barrier */
  QX_FRAME_CATCH_EXIT,   /* goal: the catch/3 call's activity flag; barrier: its node */
  QX_FRAME_CLEANUP_EXIT, /* goal: the call_cleanup/2 call's '$cleanup' record; barrier: its node */
};

/* An environment frame: what to run on return, the cut barrier of its clause and its context. */
struct frame {
  frame *next;
  uint32_t kind;  /* qx_frame_kind */
  uint32_t cut_b; /* offset of the barrier node from the top of the choicepoint area */
  mod_def *ctx;
  union {
    TAGGED goal;
    const uint32_t *pc;
  };
  union {
    TAGGED *env;
    uint32_t barrier; /* offset of a node, as cut_b */
  };
};

struct worker {
  /* word 0 */ qx_fli_info *fli_data;
  /* heap: [heap_start, global_top) used, [global_top, stack_start) free */
  TAGGED *heap_start;
  TAGGED *global_top;
  TAGGED *stack_start;
  TAGGED *heap_end;       /* end of the heap's reservation */
  TAGGED *global_uncond;  /* heap top at the newest choicepoint */
  TAGGED *heap_warn_soft; /* the event check compares the heap top with this; 0 forces it */
  TAGGED *int_heap_warn;  /* saved copy of the soft limit while an event is requested */
  TAGGED *heap_warn;      /* the real warning limit, recomputed by every growth */
  /* local stack (above the heap in the same reservation) */
  frame *local_start;
  frame *local_top;
  frame *local_end;    /* commit fence of the local stack */
  frame *local_uncond; /* local top at the newest choicepoint */
  frame *local_max;    /* end of the local stack's reservation */
  /* trail (upwards) and choicepoints (downwards) share one block */
  TAGGED *trail_start;
  TAGGED *trail_top;
  node *node_;        /* newest choicepoint */
  node *choice_start; /* top of the block: the choicepoint area's base */
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
  /* receives each cleanup goal that undoing the trail makes pending (null: none wanted) */
  void (*cleanup_hook)(worker *w, TAGGED goal);
  /* trail words from trail_start above which no '$free' or cleanup entry ends */
  uint32_t trail_special;
  uint32_t reserved_[7]; /* room for later fields before the registers */
  /* byte 180 */
  TAGGED term[QX_ARG_REGISTERS];
  TAGGED worker_vars[32];
  qx_fli_info fli_info;
};
static_assert(offsetof(worker, term) == 180, "argument registers must start at byte 180");

/* Whether n more term references fit in the worker's slots besides the one the engine keeps
 * spare (fewer than 2^26 slots: the sum stays in 32 bits). */
static inline bool qx_term_refs_fit(const worker *w, uint32_t n)
{
  return w->fli_stack_index + n < w->fli_stack_size;
}

/* Entry kinds of a predicate (predtyp). 0-3 compiled code (bit 0: indexed), 6 interpreted clauses,
 * 7 finite-domain indexicals; the others are the engine's own numbering. */
enum qx_entry_kind : uint16_t {
  ENTER_COMPACTCODE = 0,
  ENTER_COMPACTCODE_INDEXED = 1,
  ENTER_PROFILEDCODE = 2,
  ENTER_PROFILEDCODE_INDEXED = 3,
  ENTER_INTERPRETED = 6,
  FD_CONSTRAINT = 7,
  ENTER_UNDEFINED = 8,
  BUILTIN_DET = 11,     /* native, hidden ($-named) */
  BUILTIN_NONDET = 12,  /* native nondeterministic, hidden */
  BUILTIN_CONTROL = 13, /* control constructs handled by the interpreter itself */
  ENTER_C = 21,         /* native predicate */
  ENTER_C_NONDET = 20,  /* native nondeterministic predicate */
  ENTER_FOREIGN = 22,   /* foreign-resource function with declared argument kinds */
  ENTER_STASH = 23,     /* predicates defined through the embedding API's stash dispatcher */
  QX_ENTRY_KINDS = 49
};

typedef int (*qx_native_fn)(worker *w);

/* Property bits of a definition. The first six are the ones saved states carry, in this order. */
struct qx_def_props {
  uint32_t dynamic : 1;
  uint32_t block : 1;
  uint32_t meta : 1;
  uint32_t multifile : 1;
  uint32_t hidden : 1;
  uint32_t volatyle : 1;
  uint32_t spy : 1;
  uint32_t cut : 1;
  uint32_t marked : 1;
  uint32_t locked : 1;
  uint32_t builtin_row : 1;  /* code is a row of the built-in table: kept across restore */
  uint32_t foreign_code : 1; /* holds compiled clauses of an emulator this engine cannot run */
  uint32_t : 20;
};

struct qx_proc {
  TAGGED printname; /* name atom */
  uint32_t arity;
};

/* A predicate. */
struct definition {
  uint16_t predtyp; /* qx_entry_kind */
  uint16_t frame_size;
  qx_def_props properties;
  qx_proc proc;
  TAGGED functor;            /* name/arity as a functor word (the atom for arity 0) */
  mod_def *module;           /* module the definition belongs to */
  definition *imported_from; /* the exporting definition when this one is an import */
  mod_def *defined_in;
  definition *next_public; /* the module's exported definitions; the list ends with -1 */
  definition *importers;   /* definitions importing this one, chained by next_importer */
  definition *next_importer;
  TAGGED blockinfo;
  TAGGED metainfo;
  TAGGED filename;
  union {
    qx_native_fn native; /* native built-ins and predicates */
    void *code;          /* compiled code, foreign argument kinds, ... */
  } code;
  qx_native_fn retry; /* nondeterministic natives: the retry step */
  /* interpreted clauses: a chain of instances (logical update view) */
  instance *first_clause;
  instance *last_clause;
  uint32_t clause_count;
  uint32_t active_calls; /* retry nodes and running iterations that can reach dead clauses */
  uint32_t dead_count;   /* erased clauses still in the chain, waiting until nothing reaches them */
  void *fd_info;         /* finite-domain indexicals */
  instance *dead_clauses;        /* the erased clauses still in the chain */
  struct qx_clause_index *index; /* first-argument index of the clauses, once there are many */
};

/* What undefining a definition leaves of its code and declarations: nothing (the caller freed
 * what they held). */
static inline void qx_forget_definition(definition *def)
{
  def->code.code = nullptr;
  def->retry = nullptr;
  qx_def_props &p = def->properties;
  p.dynamic = p.block = p.meta = p.multifile = p.volatyle = p.spy = p.foreign_code = 0;
  def->blockinfo = def->metainfo = MakeAtom(0); /* [] */
}

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
  atom ***atom_chunks; /* up to 128 chunks of 8192 record pointers */
  uint32_t atom_count; /* next free index */
  atom **atom_hash;    /* open hash by the 28-bit name hash */
  uint32_t atom_hash_size;
  uint32_t atom_live;
  TAGGED one_char_atoms[256];
  uint32_t atoms_made;        /* atoms made since the last atom collection */
  uint32_t current_agcmargin; /* atoms made between automatic atom collections */
  /* ---- character classes ---- */
  int32_t chcode_hash[512];
  int8_t chtype_hash[512];
  /* ---- attributes ---- */
  uint32_t attr_no; /* attribute slots handed out */
  /* ---- flags read by streams and the tokenizer ---- */
  TAGGED current_prompt;
  TAGGED current_char_conversion;
  TAGGED current_double_quotes;
  TAGGED current_quoted_charset_flag;
  uint32_t current_gcmargin; /* KiB */
  /* ---- character conversion table of text input: pair i maps from[i] to to[i] ---- */
  uint32_t pcharconv; /* pairs in use */
  int32_t charconv_from[1024];
  int32_t charconv_to[1024];
  /* ---- file names ---- */
  char *cwd_ienc; /* the engine's current directory: absolute, ends with "/" (QX_malloc) */
  /* ---- modules and the database ---- */
  sw_on_key *modules;     /* name atom -> mod_def */
  mod_def *prolog_module; /* system module: lookups fall back to it */
  mod_def *user_module;
  mod_def *typein_mod;
  mod_def *attr_modules[64]; /* attribute slot -> module (slot numbers start at 1) */
  uint64_t clause_clock;     /* logical update view: 64 bits never wrap in a process's life */
  uint32_t dbref_stamp;
  sw_on_key *dbrefs; /* instance address + 3 -> stamp, for validating references */
  uint32_t dead_clause_count;
  TAGGED current_unknown; /* error, fail or warning */
  /* ---- exceptions and native errors ---- */
  instance *exception; /* pending exception ball */
  uint32_t pending_error_code;
  char pending_error_message[2048];
  instance *pending_error_culprit;
  TAGGED pending_error_module; /* module and functor of the goal in the error's context */
  TAGGED pending_error_functor;
  uint32_t pending_error_thrown; /* the record holds a term to throw as it is */
  int pending_error_arg;
  uint32_t def_generation; /* bumped whenever a call may resolve differently */
  /* ---- embedding API ---- */
  globref_blk globrefs; /* head of the ring of global-reference blocks */
  /* ---- numbers ---- */
  char *scratch; /* shared scratch text buffer for number formatting */
  uint32_t scratch_size;
  /* ---- streams ---- */
  qx_t_qxio_stream_node_ *input_stream_ptr; /* current input and output */
  qx_t_qxio_stream_node_ *output_stream_ptr;
  qx_t_qxio_stream_node_ *root_stream_ptr; /* the ring's sentinel */
  qx_t_qxio_stream_node_ *stream_user_input;
  qx_t_qxio_stream_node_ *stream_user_output;
  qx_t_qxio_stream_node_ *stream_user_error;
  qx_t_qxio_stream_node_ *persistent_null_stream;
  qx_t_qxio_stream_node_ *stream_user_input_orig; /* the standard streams made at start */
  qx_t_qxio_stream_node_ *stream_user_output_orig;
  qx_t_qxio_stream_node_ *stream_user_error_orig;
  void *embedded_resources; /* files with appended resources (resources.h), once scanned */
  /* ---- quick-load reader (qload.cpp) ---- */
  TAGGED *qlarray; /* slots -qloffset .. qllimit - qloffset - 1; null until first used */
  int32_t qloffset;
  int32_t qllimit;
  qx_qlinfo *qlstack;         /* the arrays saved by $push_qlinfo */
  emul_info *latest_bytecode; /* the clause object of the last code 75 */
  uint32_t latest_bytecode_size;
  emul_info *qlpending; /* clause objects read at this level that no definition took */
  void (*add_table_comp)(void *address, TAGGED file, int32_t line); /* source positions */
  /* ---- persistent start data: the linked-in resource tables (borrowed, null-terminated) ---- */
  const char *const *fli_pre_map;
  int (*const *fli_pre_linkage)(void *params);
  const struct qx_foreign_interface *const *fli_pre_interfaces; /* their Prolog interfaces */
  /* ---- foreign resources ---- */
  struct qx_open_resource *open_resources; /* loaded resources, in load order */
  TAGGED current_window_title;             /* registered atom, or 0 */
  /* ---- Prolog flags set at start (init_once, init_each_time) ---- */
  TAGGED current_compiling;
  TAGGED current_ferror_flag;
  TAGGED current_gcmode;
  TAGGED current_gctrace;
  uint32_t current_leash_mode;
  TAGGED current_source_info;
  TAGGED current_redefine_flag;
  TAGGED current_discontiguous_flag;
  TAGGED current_informational_flag;
  TAGGED current_single_var_flag;
  TAGGED current_syntax;
  TAGGED current_compatibility_flag;
  TAGGED current_version_flag;
  TAGGED current_system_type_flag; /* runtime or development */
  TAGGED global_vars[32];
  uint32_t current_breaklevel;
  TAGGED current_debugger_global;
};

/* ---- what the engine shares with library resources (the solver) through the support table ---- */

/* Space categories of engine blocks; QX_MAY_FAIL in the category word makes qx_checkalloc
 * return null instead of entering the memory-fault path. */
enum qx_space {
  QX_SPACE_MISC = 0,
  QX_SPACE_ATOM,
  QX_SPACE_PROGRAM,
  QX_SPACE_DATABASE,
  QX_SPACE_STACKS,
  QX_SPACE_NUMSTACK,
  QX_SPACE_FOREIGN,
  QX_SPACE_SOLVER,
  QX_SPACE_COUNT
};
constexpr int QX_MAY_FAIL = 0x100;

/* Finite-domain indexicals of a definition: fd_info is a record of QX_FD_INFO_BYTES (four chains,
 * zeroed when made), allocated by the solver with qx_checkalloc(QX_FD_INFO_BYTES, QX_FD_INFO_SPACE)
 * and freed by the engine when the definition is undefined, redefined or destroyed: the solver's
 * destructor hook is called once per non-empty chain first. */
constexpr uint32_t QX_FD_INFO_BYTES = 16;
constexpr int QX_FD_INFO_SPACE = QX_SPACE_SOLVER;

/* sw_on_key: an open-addressing table of key/value word pairs; one contiguous block of
 * 8 + 8 * slots bytes: word 0 = (slots - 1) << 3 with three flag bits, word 1 = count, then the
 * nodes. Key 0 marks a free node. The table doubles when more than three quarters full. */
struct sw_on_key_node {
  TAGGED key;
  TAGGED value;
};

struct sw_on_key {
  uint32_t mask_and_flags; /* (slots - 1) << 3 | flags */
  uint32_t count;
  sw_on_key_node node[];
};

static inline uint32_t sw_on_key_slots(const sw_on_key *t) { return (t->mask_and_flags >> 3) + 1; }

/* An instance: a relocatable copy of a term outside the stacks (instance.h), a 48-byte header
 * followed by the body. */
constexpr uint64_t QX_CLOCK_ALIVE = UINT64_MAX;

struct instance {
  instance *next; /* clause chain */
  instance *prev;
  definition *owner;
  TAGGED key;       /* first-argument key of a clause (0: any) */
  TAGGED extra;     /* source-file atom */
  uint32_t objsize; /* bytes, header included */
  uint32_t bdd_count;
  uint64_t birth; /* clause clocks: visible to calls made at birth <= clock < death */
  uint64_t death;
  uint32_t stamp; /* database-reference stamp */
  TAGGED body[];
};
static_assert(sizeof(instance) == 48, "the instance header is 48 bytes");
constexpr uint32_t QX_INSTANCE_HEADER_WORDS = 12;

static inline uint32_t qx_instance_body_words(const instance *ins)
{
  return (ins->objsize - (uint32_t)sizeof(instance)) / sizeof(TAGGED);
}

/* A saved state's record header: the tag and six words. The solver's saver and restorer hooks
 * read and write the records of finite-domain predicates (tag 13). */
struct saverest_record {
  int32_t tag;
  uint32_t w1, w2, w3, w4, w5, w6;
};
static_assert(sizeof(saverest_record) == 28, "a record header is seven words");

/* The solver's hooks (QX_install_fd_hooks): the collector's callback over the solver's outside
 * roots, and the restorer and saver of its tag-13 records. */
struct saverest_info;
typedef int (*qx_fd_manager_fn)(void *cookie, worker *w, int operation, void *argument);
typedef int (*qx_fd_restorer_fn)(void *cookie, saverest_record *record,
                                 int (*read)(void *, uint32_t, saverest_info *),
                                 saverest_info *info);
typedef int (*qx_fd_saver_fn)(void *cookie, saverest_record *record, definition *def,
                              uint32_t (*write)(const void *, uint32_t, saverest_info *),
                              saverest_info *info);

extern eglobal qx_eg;
extern worker *qx_w;

eglobal *qx_get_engine_global();

#endif
