/* The public embedding API: what native code (the launcher, foreign resources, the stream
 * built-ins, the solver) calls to reach the engine.
 *
 * Functions answer 1 for success and 0 for failure (query functions 1, 0 or -1; lookups null)
 * and set the API error number on failure, leaving it unchanged on success. Texts crossing the
 * API are in the internal encoding.
 */
#ifndef QX_ORVALIS_H
#define QX_ORVALIS_H

#include "atoms.h"
#include "datadefs.h"

/* ---- API error numbers ---- */
enum {
  QX_ERR_NONE = 0,
  QX_ERR_NOT_INITIALIZED = 1,
  QX_ERR_INVALID_DEFINITION = 2,
  QX_ERR_BOOTFILE = 3,
  QX_ERR_NO_PREDICATE = 4,
  QX_ERR_BOOT = 5,
  QX_ERR_QUERY = 6,
  QX_ERR_NULL_STRING = 7,
  QX_ERR_ACTION = 8,
  QX_ERR_INQUIRY = 9,
  QX_ERR_EXCEPTION = 10,
  QX_ERR_TYPE_ERROR = 11, /* the _ERROR names keep clear of the native error classes */
  QX_ERR_DOMAIN_ERROR = 12,
  QX_ERR_NUMBER = 13,
  QX_ERR_STRING = 14,
  QX_ERR_SYSTEM_ERROR = 15,
  QX_ERR_UNKNOWN = 16,
  QX_ERR_MEMORY_INIT = 18,
  QX_ERR_BOOTFILE_KIND = 19,
};

/* The engine-wide API error number. */
extern int qxerrno;

int QX_get_errno(void);
void qx_set_errno(int n);
/* The text of an API error number; numbers without a text give "Unknown error". */
const char *QX_error_message(int n);

/* ---- term references and global references ----
 * Native code holds terms across engine calls only through term references (indexes into the
 * worker's stack of two-word term slots, valid until reset) or global references (slots in
 * blocks that live until freed). Both are roots: collection and area growth may move terms. */

/* A term slot: the tagged term and a word that belongs to the collector. */
struct QX_globref_ {
  TAGGED term;
  uint32_t gc;
};
typedef QX_globref_ *QX_globref;

/* Slots 0-4 and 9 hold variables, 5-8 '$mutable'(0, 0) (named clpfd, talpix, global, reserved);
 * the first reference handed out is 10. */
constexpr int QX_RESERVED_TERM_REFS = 10;
constexpr uint32_t QX_FIRST_FLI_STACK_SIZE = 256;

/* A new slot holding []. */
QX_term_ref QX_new_term_ref(void);
/* QX_new_term_refs out of line: for any n, when n is not a constant. */
QX_term_ref qx_new_term_refs_any(int n);
/* n new slots holding [], pushed in place where qx_term_refs_fit(w, n): cleared two at a time,
 * the last pair may reach the spare slot. */
static inline QX_term_ref qx_push_cleared_refs(worker *w, uint32_t n)
{
  uint32_t first = w->fli_stack_index;
  TAGGED *slot = w->fli_stack_start + 2 * first;
  for (uint32_t i = 0; i < n; i += 2, slot += 4)
    slot[0] = atom_nil, slot[1] = 0, slot[2] = atom_nil, slot[3] = 0;
  w->fli_stack_index = first + n;
  return (QX_term_ref)first;
}
/* n new consecutive slots holding []; n = 0 answers the top as a mark. A constant n up to 16 in
 * line while the stack has room beyond them, the one slot spare included (cleared two at a
 * time, the last pair may reach it): natives take a few references per run, and the call
 * would cost more than the stores. */
inline QX_term_ref QX_new_term_refs(int n)
{
  if (!__builtin_constant_p(n) || (uint32_t)n > 16) return qx_new_term_refs_any(n);
  worker *w = qx_w;
  return qx_term_refs_fit(w, (uint32_t)n) ? qx_push_cleared_refs(w, (uint32_t)n)
                                          : qx_new_term_refs_any(n);
}
/* Pops every slot at or above mark; a mark below the reserved slots or above the top: error 12,
 * nothing changes. */
inline int QX_reset_term_refs(QX_term_ref mark)
{
  worker *w = qx_w;
  /* the reserved slots are never popped: the next reference would be one of them */
  if (mark < QX_RESERVED_TERM_REFS || (uint32_t)mark > w->fli_stack_index) {
    qx_set_errno(QX_ERR_DOMAIN_ERROR);
    return 0;
  }
  w->fli_stack_index = (uint32_t)mark;
  return 1;
}
/* For engine code inside a native: n new slots, where running out of memory is a memory fault
 * (a resource error of the running goal) instead of the answer 0, which names a reserved slot. */
QX_term_ref qx_new_term_refs_checked(int n);
/* Argument registers 0..n-1 kept in n new slots, where the collectors find them (the first
 * slot; a memory fault as above), and put back from them: false when the slots were popped. */
QX_term_ref qx_save_arguments(worker *w, int n);
bool qx_restore_arguments(worker *w, QX_term_ref saved, int n);
/* The slot of term reference i, or null when i is not below the top. */
QX_globref qx_get_globref_checked(int i, worker *w);
/* The tagged word stored in term reference t, not dereferenced. */
TAGGED qx_ref_term(QX_term_ref t);
/* n global slots holding [] (null with error 15 when memory runs out); freed by
 * QX_free_globrefs with the first slot. */
QX_globref QX_alloc_globrefs(int n);
void QX_free_globrefs(QX_globref refs);
/* Bytes of a block of n global slots, header included: the room qx_link_globrefs needs. */
constexpr size_t qx_globrefs_bytes(uint32_t n)
{
  return sizeof(globref_blk) + (size_t)n * sizeof(QX_globref_);
}
/* n global slots in memory the caller keeps (qx_globrefs_bytes(n) bytes, aligned for a pointer),
 * linked into the ring at `ring` (the engine's: &qx_get_engine_global()->globrefs): a native's
 * block holds its references without an allocation of their own. The caller stores a term in
 * every slot before anything can collect. qx_unlink_globrefs takes them out of the ring and frees
 * nothing; it comes before the memory goes. Inline and given the ring: a native linked apart from
 * the engine reaches them without a dispatch slot. */
inline QX_globref qx_link_globrefs(globref_blk *ring, void *memory, uint32_t n)
{
  auto *blk = (globref_blk *)memory;
  blk->size = (uint32_t)qx_globrefs_bytes(n);
  blk->nrefs = n;
  blk->backward = ring;
  blk->forward = ring->forward;
  ring->forward->backward = blk;
  ring->forward = blk;
  return (QX_globref)(blk + 1);
}
inline void qx_unlink_globrefs(QX_globref refs)
{
  globref_blk *blk = (globref_blk *)refs - 1;
  blk->backward->forward = blk->forward;
  blk->forward->backward = blk->backward;
}
/* "_" and the offset in cells, from the heap start after the reserved cells, of the variable
 * that t dereferences to (the name it is printed with). buffer: 16 bytes suffice. */
void qx_variable_to_string(QX_term_ref t, char *buffer);
/* The worker's term-reference stack with its reserved slots (built in the reserved cells at the
 * heap bottom) and the global-reference ring; part of setting a worker up. false when the stack
 * cannot be allocated. */
bool fli_stack_init(worker *w);
void fli_stack_deinit(worker *w);

/* ---- term construction and inspection ----
 * Constructors make sure the heap has their cells plus 128 free before building. Every failure
 * sets qxerrno and leaves the target reference unchanged; running out of memory answers the
 * failure value with error 15. */
typedef TAGGED QX_atom; /* an atom word */

enum { QX_TERM_VARIABLE = 1, QX_TERM_INTEGER, QX_TERM_ATOM, QX_TERM_FLOAT, QX_TERM_COMPOUND };

int QX_put_variable(QX_term_ref t);
int QX_put_term(QX_term_ref t, QX_term_ref from);
int QX_put_integer(QX_term_ref t, long value);
int QX_put_float(QX_term_ref t, double value);
/* The address as a signed integer (one limb at most): QX_get_address gives it back. */
int QX_put_address(QX_term_ref t, void *address);
int QX_put_atom(QX_term_ref t, QX_atom atom);
int QX_put_string(QX_term_ref t, const char *text);
int QX_put_number_codes(QX_term_ref t, const char *text);
int QX_put_list_codes(QX_term_ref t, QX_term_ref tail, const char *text);
int QX_put_list_n_codes(QX_term_ref t, QX_term_ref tail, long n, const char *text);
int QX_put_list_n_bytes(QX_term_ref t, QX_term_ref tail, size_t n, const unsigned char *bytes);
int QX_put_functor(QX_term_ref t, QX_atom name, int arity);
int QX_put_list(QX_term_ref t);
/* size little-endian two's-complement bytes, or (native) a native integer of 2, 4 or 8 bytes. */
int QX_put_integer_bytes(QX_term_ref t, void *bytes, size_t size, int native);
int QX_cons_functor(QX_term_ref t, QX_atom name, int arity, ...);
int QX_cons_functor_array(QX_term_ref t, QX_atom name, int arity, const QX_term_ref *args);
int QX_cons_list(QX_term_ref t, QX_term_ref head, QX_term_ref tail);

int QX_get_integer(QX_term_ref t, long *value);
int QX_get_float(QX_term_ref t, double *value);
int QX_get_address(QX_term_ref t, void **address);
int QX_get_atom(QX_term_ref t, QX_atom *atom);
int QX_get_string(QX_term_ref t, const char **text);
int QX_get_number_codes(QX_term_ref t, const char **text);
int QX_get_list_codes(QX_term_ref t, const char **text);
int QX_get_list_n_codes(QX_term_ref t, QX_term_ref tail, size_t n, size_t *count, char *buffer);
int QX_get_list_n_bytes(QX_term_ref t, QX_term_ref tail, size_t n, size_t *count,
                        unsigned char *buffer);
int QX_get_functor(QX_term_ref t, QX_atom *name, int *arity);
int QX_get_list(QX_term_ref t, QX_term_ref head, QX_term_ref tail);
int QX_get_arg(int index, QX_term_ref t, QX_term_ref arg);
/* *size in: the buffer's bytes; out: the bytes the integer needs. */
int QX_get_integer_bytes(QX_term_ref t, void *buffer, size_t *size, int native);
int QX_term_type(QX_term_ref t);
int QX_is_variable(QX_term_ref t);
int QX_is_integer(QX_term_ref t);
int QX_is_float(QX_term_ref t);
int QX_is_atom(QX_term_ref t);
int QX_is_compound(QX_term_ref t);
int QX_is_list(QX_term_ref t);
int QX_is_atomic(QX_term_ref t);
int QX_is_number(QX_term_ref t);

QX_atom QX_atom_from_string(const char *text);
QX_atom QX_existing_atom_from_string(const char *text);
const char *QX_string_from_atom(QX_atom atom);
size_t QX_atom_length(QX_atom atom);
/* Reference counts saturate at 255, which then stays. */
int QX_register_atom(QX_atom atom);
int QX_unregister_atom(QX_atom atom);

int QX_unify(QX_term_ref t1, QX_term_ref t2);
int QX_compare(QX_term_ref t1, QX_term_ref t2);

/* ---- queries from native code and exceptions ----
 * A query is a choicepoint whose alternative is the termination code; its handle is the tagged
 * small integer of its distance in cells from the base of the choicepoint area. Only the
 * innermost open query may be asked for solutions; queries are removed innermost first. */
typedef definition QX_pred_ref_;
typedef QX_pred_ref_ *QX_pred_ref;
typedef int QX_query_ref;

/* The predicate name/arity of a module (null or "" the type-in module), made when absent. Null
 * with error 7 (null name), 14 (invalid text) or 4. */
QX_pred_ref QX_predicate(const char *name, long arity, const char *module);
QX_pred_ref QX_pred(QX_atom name, long arity, QX_atom module);
/* A query of pred with its arity's worth of arguments; 0 with error 1 (engine not started) or 2
 * (null predicate). */
QX_query_ref QX_open_query(QX_pred_ref pred, ...);
QX_query_ref QX_open_query_array(QX_pred_ref pred, const QX_term_ref *args);
/* 1 a solution, 0 no more, -1 with error 10 an exception pending, -1 with error 6 not the
 * innermost open query. */
int QX_next_solution(QX_query_ref query);
/* Remove the query keeping (cut) or undoing (close) its bindings: 1, or -1 with error 6. A query
 * already removed with an enclosing one answers 1. */
int QX_cut_query(QX_query_ref query);
int QX_close_query(QX_query_ref query);
/* The first solution, then cut (1) or close (0, -1); QX_query_cut_fail always closes. */
int QX_query(QX_pred_ref pred, ...);
int QX_query_cut_fail(QX_pred_ref pred, ...);
/* 1 and the pending exception in t (removing it), or 0 when none is pending. */
int QX_exception_term(QX_term_ref t);
/* Reads one term ending in "." from text into t, the elements of the null-terminated array vars
 * (may be null) unified in order with its named variables: 1, or 0 on a syntax error. */
int QX_read_from_string(QX_term_ref t, const char *text, QX_term_ref *vars);
/* Writes the term of t to the current output as the engine's debugging writer does (quoted
 * atoms, lists in brackets, "..." below the tenth level), with no line feed. */
void QX_write_term(QX_term_ref t);
/* From a native predicate: throw the term of t, or fail, when the native returns. */
void QX_raise_exception(QX_term_ref t);
void QX_fail(void);
/* Error codes: the class in the low byte, a detail in the high byte. Codes of the stream and file
 * layers are mapped by the table in errors.cpp; the QX_ERR_ codes below carry ISO error classes
 * whose type or domain name is the message text. */
enum : uint32_t {
  QX_ERR_SYSTEM = 5,             /* system_error(Message) */
  QX_ERR_INSTANTIATION = 0x1001, /* instantiation_error */
  QX_ERR_TYPE = 0x1002,          /* type_error(Message, Culprit) */
  QX_ERR_DOMAIN = 0x1003,        /* domain_error(Message, Culprit) */
  QX_ERR_EXISTENCE = 0x1004,     /* existence_error(Message, Culprit) */
  QX_ERR_PERMISSION = 0x1005, /* permission_error(Action, Type, Culprit), message "action type" */
  QX_ERR_REPRESENTATION = 0x1007,  /* representation_error(Message) */
  QX_ERR_EVALUATION = 0x1008,      /* evaluation_error(Message) */
  QX_ERR_RESOURCE = 0x1009,        /* resource_error(Message) */
  QX_ERR_UNINSTANTIATION = 0x100A, /* uninstantiation_error(Culprit) */
};
/* Record an error (one of the codes above, or a code of the stream and file layers) with the term
 * of t as culprit, then raise it for the goal module:name/arity naming argument `argument` (0:
 * none). */
void QX_save_error(int code, const char *message, QX_term_ref t);
void QX_raise_error(const char *module, const char *name, int arity, int argument);
/* For '$reserved'(N) with an integer N: N's low 8 bits (the kind), and N >> 8 in *code when the
 * kind is nonzero and code is not null. 0 for any other term. */
int QX_decode_reserved_exception(QX_term_ref t, int *code);
/* ---- signals, interrupts and the event queue ----
 * Signals and requests from other threads never run Prolog code at arbitrary moments: a signal
 * handler only counts its signal and asks the engine to look, other threads post functions to a
 * bounded ring, and the engine runs both at its next event check on its own thread. */

/* A handler installed with QX_signal, run on the engine thread as handler(sig, user_data). */
typedef void (*QX_SigFun)(int sig, void *user_data);
#define QX_SIG_DFL ((QX_SigFun)0)
#define QX_SIG_IGN ((QX_SigFun)1)
#define QX_SIG_ERR ((QX_SigFun)-1)

/* A plain event: nonzero to go on with the next one. */
typedef int (*QX_EventFun)(void *data);
/* An asynchronous event, told why it is called: */
enum {
  QX_EVENT_RUN = 0,                 /* run normally */
  QX_EVENT_SHUTDOWN = 1,            /* the engine is shutting down */
  QX_EVENT_DISCARDED_FAILURE = 2,   /* dropped: an earlier event failed */
  QX_EVENT_DISCARDED_EXCEPTION = 4, /* dropped: an earlier event raised an exception */
};
/* Answers a qxio_t_error_code; QXIO_S_PRIVATE_ERROR_1 means failure, _2 an exception. */
typedef int (*QX_AsyncEventFun)(void *data, int mode);

/* Both may be called from any thread and from signal handlers. QX_event answers 1 when queued,
 * else 0; QX_async_event answers 0, QXIO_E_TRY_AGAIN (queue full) or QXIO_E_INVALID_STATE (no
 * events accepted now). flags is not read. */
int QX_event(QX_EventFun fn, void *data);
int QX_async_event(QX_AsyncEventFun fn, void *data, int flags);

/* Install handler for sig (QX_SIG_DFL and QX_SIG_IGN reset it); answers QX_SIG_ERR, or the
 * engine's no-op handler on success. Only while the event queue is running. */
QX_SigFun QX_signal(int sig, QX_SigFun handler, void *user_data);
/* Record sig as delivered (what the process-level handler does): 1, or 0 when sig is outside
 * 0..31 or the signal table is off. Async-signal-safe. */
int QX_raise_signal(int sig);
int qx_raise_signal(int sig);

/* Request the interrupt (control_c_handler/0) or break (control_break_handler/0) handler. */
void QX_ctrlc_action(void);
void QX_ctrlbreak_action(void);
void qx_reset_ctrlc_pending(void);
int qx_get_ctrlc_pending(void);

/* Nesting count of disabled events, on the current worker; answer the new count. */
int disable_events(void);
int enable_events(void);
/* Run the pending signal handlers and events (mode bit 0: the final run of shutdown):
 * 1, or 0 when an event failed or raised an exception. run_event is the normal run. */
int qx_run_event(worker *w, int mode);
int run_event(worker *w);
/* Zero both limit words of the event check, so that the next check takes its slow path. */
void sync_heap_pointers(worker *w);
void event_queue_init(void);
void event_queue_remove(void);

/* The default process signal set-up for host programs: the interrupt handler on SIGINT, a fault
 * handler on the fault signals (unless ORVALIS_MINIMAL_SIGNALS begins with y or Y), SIGVTALRM
 * and SIGPIPE ignored. signals_disable_most gives the fault signals their default action. */
void ds_signals_init(void);
void ds_signals_reinit(void);
void signals_disable_most(void);

/* The stream layer's signal-delivered notifier: wakes blocked I/O. Async-signal-safe. */
void qx_os_signal_delivered(void);

/* ---- start options, system properties and the environment ----
 * The engine reads its configuration by name through one lookup: the start options while the
 * memory manager has not started, then the I/O library's system properties (its own copy of the
 * environment, which the engine can change), then the process environment. Lookups answer 0 or
 * a negative I/O-library code; values handed out are QX_malloc blocks owned by the caller. */

#define QX_OPTIONS_VERSION 0x40100
enum { QX_OPTION_RESERVED = 1, QX_OPTION_PROP = 2 };
/* One start option: type 1 carries nothing the engine reads, type 2 a key and a value (texts in
 * the internal encoding, both non-null). */
typedef struct QX_option_ {
  uint32_t type;
  union {
    struct {
      const char *key;
      const char *value;
    } prop;
  };
} QX_option_;
typedef struct QX_options_ {
  uint32_t version; /* QX_OPTIONS_VERSION */
  uint32_t noptions;
  QX_option_ *options;
} QX_options_;

/* Record a block of start options (null clears it): 1 when accepted; 0 when malformed or once
 * the memory manager runs (the block would never be applied). The block stays the caller's. */
int QX_set_initial_options(const QX_options_ *options);
/* The same without the start check, as start-up validates and records a block. */
int qx_set_initial_options(const QX_options_ *options);
/* Start-up, once the memory manager runs: each type-2 option becomes a system property, then
 * the block is forgotten. 0 or the first negative code of the I/O library. */
int qx_apply_initial_options(void);

/* Lookup mode bit 0: environment only (no start options or properties); bit 1: no environment.
 * With buffer and size the value is written there (size in: room, out: needed); without, it
 * comes back in *value as a QX_malloc block. */
int qx_get_system_property_internal(const char *key, char *buffer, size_t *size, char **value,
                                    int mode);
/* flags bit 0: no environment; bit 1: environment only. */
int QX_get_system_property(const char *key, char **value, int flags);
int QX_set_system_property(const char *key, const char *value, int flags);
char *QX_getenv(const char *key);
/* 0 on success, 1 on failure. */
int QX_setenv(const char *key, const char *value);
/* All properties as one QX_malloc block: a null-terminated array of pointers, then the texts.
 * flags bit 0: key and value separated by a NUL instead of "="; bit 1: include the environment
 * copy; bit 2: leave out the set properties. A null block computes and discards it. */
int QX_system_properties(char ***block, int flags);
char **QX_copy_environ(void);

/* flags bit 0: the value must be valid internal encoding; bit 1: any bytes (one of the two is
 * required); bit 2: no environment; bit 3: environment only. Answers the value (buffer, or a
 * QX_malloc block when buffer is null) or null. */
char *qx_getenv_internal(const char *key, char *buffer, size_t *size, int flags);
char *qx_getenv_anyenc(const char *key, char *buffer, size_t *size);
int qx_checkenv(const char *key);
/* Settings read at initialisation; a missing or malformed value gives the default. */
int get_boolean_property(const char *key, int default_value);
int get_boolean(const char *key, int default_value);
size_t get_stack_size(const char *key, size_t default_value, size_t minimum);
/* "yes" and "no" in any letter case: 0 with the value, else QXIO_E_ERROR. */
int str_to_boolean(const char *text, int *value);
/* Decimal digits with an optional K, M or G suffix: 0 with the value, else -20001. */
int str_to_size(const char *text, size_t *value);

/* ---- file names and the current directory ----
 * Names are internal-encoding texts, made absolute against the engine's own current directory
 * (filenames.h gives the rules and the expansion options). */

/* 0 and the absolute name in *result (a QX_malloc block), or QXIO_E_ERROR with *result null. */
int QX_expand_file_name(const char *name, const char *base, int options, char **result);
/* A QX_malloc copy of the engine's current directory, or null. */
char *QX_get_current_dir(void);
/* Makes dir, expanded as a directory, the current directory. 0; 1 when the engine's directory
 * changed but the process's could not; or QXIO_E_ENCODING_INVALID (dir is no valid text),
 * QXIO_E_INVALID_NAME (it does not expand, or cannot reach the system whole),
 * QXIO_E_FILE_NOT_DIRECTORY or another error of the I/O library, changing nothing. The process's
 * directory follows unless the default options keep it or the boolean system property
 * QX_ALLOW_CHDIR says no (yes overrides the default). */
int QX_set_current_dir(const char *dir);

/* ---- the argument vector ---- */
/* Stores argv[0..argc-1] as the engine's argument vector (start_data.h). */
int QX_set_argv(int argc, char **argv, int flags);

/* ---- data resources: appended to files, linked in, and URL objects ----
 * A data resource is found by name: in the table of linked-in resources, then as a symbol of the
 * program, then appended to one of the files the resource variables name. URLs of the form
 * "URL:x-orvalis-resource:NAME" open it as a read-only byte stream. */

/* A linked-in data resource: the blob's address immediately followed by the resource's name in
 * its C-name form. The table's map entry points at `name`. */
template <size_t N>
struct qx_named_resource {
  const unsigned char *blob;
  char name[N];
};
/* A blob: "Orvalis Resource", then the data size and the modification time as unsigned
 * big-endian 8-byte numbers (their low 32 bits are used), then the data. */
constexpr size_t QX_RESOURCE_BLOB_HEADER = 32;

/* The argument of a foreign resource's entry function. The engine fills version (0x30001),
 * qxenv and flags (1 load, 2 unload); the entry adds 8 (plain init and deinit functions taking
 * the reason) or 16 (functions taking the API struct and the reason) and hands out its parallel
 * tables: funcs ended by a null pointer, prednames and arities. */
constexpr uint32_t QX_MAINFUN_PARAMS_VERSION = 0x30001;
constexpr int QX_MAINFUN_LOAD = 1;
constexpr int QX_MAINFUN_UNLOAD = 2;
constexpr int QX_MAINFUN_PLAIN_INIT = 8;
constexpr int QX_MAINFUN_API_INIT = 16;
struct QX_MAINFUN_PARAMS_STRUCT {
  uint32_t version;
  ORVALIS_API_STRUCT *qxenv;
  int flags;
  void (*const *funcs)();
  const char *const *prednames;
  const int *arities;
  void (*init_fun)();   /* void (int reason), or with flag 16 void (ORVALIS_API_STRUCT *, int) */
  void (*deinit_fun)(); /* likewise */
};

/* The Prolog interface of a linked-in foreign resource, written as data beside the resource.
 *
 * A resource's entry function hands the engine parallel tables of functions, predicate names and
 * arities. What the resource's Prolog library would declare on top of that - which module gets
 * the predicates and how each argument is converted - is this record: load_foreign_resource/1
 * resolves each predicate through "$foreign_resource_symbols"/3 and defines it with the argument
 * kinds given here.
 *
 * Argument kinds, one word per argument, separated by single spaces, in argument order:
 *   +integer -integer   a C long in or out
 *   +float   -float     a C double in or out
 *   +atom    -atom      an atom word (TAGGED) in or out
 *   +term    -term      a term reference in; a fresh term reference, unified afterwards
 *   +string  -string    a NUL-terminated text in the internal encoding (const char *) in or out
 *   +address -address   a pointer in or out (0 for a null pointer)
 * and, as the last word only, the function's return value unified with the last argument:
 *   [-integer] [-float] [-atom] [-term] [-address]
 * The predicate's arity is the number of words.
 */
struct qx_foreign_pred {
  const char *name; /* the predicate's name, as in the resource's name table */
  const char *args; /* argument kinds as above; "" for arity 0 */
};

struct qx_foreign_interface {
  const char *resource;         /* resource name: the base name of its file, no extension */
  const char *module;           /* module that receives the predicates */
  const qx_foreign_pred *preds; /* ended by an entry whose name is null */
};

/* ---- dispatch tables and the API struct ----
 * Native code outside the engine (the launcher, foreign resources) holds an ORVALIS_API_STRUCT
 * and calls through the slots of its two tables. The slot list is Emulator/api_slots.list; a
 * resource that defines QX_RESOURCE_API (an expression giving its ORVALIS_API_STRUCT pointer)
 * before including this header has every public function it names turned into a call through
 * the table, and includes support.h for the support table's functions. */
constexpr uint32_t QX_API_VERSION = 0x301C3;
typedef void (*qx_api_fn)();
/* The pointer type through which a resource calls a slot whose function type F the list gives. */
template <class F>
using qx_slot_fn = F *;
struct qx_dispatch_slot {
  const char *name;
  qx_api_fn fn; /* null for an unavailable slot */
};
/* Header of a table: its size in bytes, its name and the API version; then the slots, then a
 * closing pair of nulls. Slot k's function lies at byte 16 + 8k. */
struct qx_dispatch_table {
  uint32_t size;
  const char *name;
  uint32_t version;
  qx_dispatch_slot slot[];
};

/* The engine's own struct: both tables, stash and fli_data null. The argument is not read. */
extern "C" ORVALIS_API_STRUCT *QX_get_dispatch_40102(void *ignored);
typedef ORVALIS_API_STRUCT *(*QX_get_dispatch_fn)(void *ignored);
/* Fills env with both tables, the stash and the worker as fli_data. */
void init_qxenv(worker *w, ORVALIS_API_STRUCT *env, void *stash);
/* Function of a slot whose function has not been linked in: error 16, answers 0. */
int qx_api_waiting(void);

/* Window title hooks: each setter answers the previous hook. Without a setter hook the title is
 * kept as a registered atom; without a getter hook get_window_title answers it, else the
 * emulator version text. */
typedef void (*QX_SetWindowTitleHook)(void *cookie, const char *title);
typedef const char *(*QX_GetWindowTitleHook)(void *cookie);
QX_SetWindowTitleHook QX_set_set_window_title_hook(QX_SetWindowTitleHook hook, void *cookie);
QX_GetWindowTitleHook QX_set_get_window_title_hook(QX_GetWindowTitleHook hook, void *cookie);
void set_window_title(const char *title);
const char *get_window_title(void);

/* Words kept for a host bridge; only the key 40102 reads or stores them. */
int qx_set_brolin_magic(void *magic, int key);
void *qx_get_brolin_magic(int key);
int qx_set_brolin_threadservermode(int mode, int key);
int qx_get_brolin_threadservermode(int *mode, int key);
/* Always 0. */
int qx_get_mem_usage(void);
/* This engine is always the runtime system: 0. */
int qx_is_development_system(void);

/* The character class (CH_type) of code c in 0..255 from the engine's class table; -1 for
 * other codes. */
int QX_latin1_chartype(int c);

/* Encodings of the I/O library's coders, for native code that converts texts itself.
 * QX_get_encoding: 1 and the canonical name (owned by the registry) of any spelling of a known
 * encoding, else 0 with error 12 (14 for a name that is no valid text). QX_encoding_open: a
 * handle on the encoding, released with QX_encoding_release; null with error 12 or 14.
 * QX_encode_from_codes: the n codes as bytes of the encoding in a new QX_malloc block (*bytes,
 * *size); QX_encode_to_codes: the size bytes as codes in a new QX_malloc block (*codes, *n).
 * Both answer 1, or 0 with error 12 (a code the encoding cannot hold, or malformed bytes) and
 * nothing allocated. */
typedef struct QX_encoding_ *QX_encoding;
int QX_get_encoding(const char *name, const char **canonical);
QX_encoding QX_encoding_open(const char *name);
int QX_encoding_release(QX_encoding encoding);
int QX_encode_from_codes(QX_encoding encoding, const int32_t *codes, size_t n,
                         unsigned char **bytes, size_t *size);
int QX_encode_to_codes(QX_encoding encoding, const unsigned char *bytes, size_t size,
                       int32_t **codes, size_t *n);

/* ---- several runtime instances in one process ----
 * The instances share one state (created by the first, never freed) with a recursive mutex that
 * serialises loading instances and creating API mutexes. A QX_mutex is one word: a recursive
 * mutex made on first lock; a zeroed one is valid and unlocked. The mutex functions and
 * QX_load_orvalis_run_time may be called from any thread. */
typedef void *QX_mutex;
struct QX_multi_qx_state;
/* 1, or 0 with error 16 when the mutex cannot be made (nothing is then locked). */
int QX_mutex_lock(QX_mutex *m);
/* 1, or 0 with error 16 for a mutex never locked. */
int QX_mutex_unlock(QX_mutex *m);
/* Destroys m's mutex, if any, and zeroes m: 1. */
int QX_mutex_destroy(QX_mutex *m);
/* The first call answers this instance's getter and a null handle; later ones load the next
 * instance library, libqxrt4-1-2-instance-XX.so beside the engine's code, and hand it the
 * shared state. 1, or -1. */
int QX_load_orvalis_run_time(QX_get_dispatch_fn *get_dispatch, void **handle);
/* Adopts state on the first call only: 1, later 0. */
int QX_set_multi_qx_state(QX_multi_qx_state *state);
/* Creates the shared state once (the one-time initialisation): 1, or 0. */
int multi_qx_init(void);

/* ---- foreign resources and native predicates ----
 * A foreign resource's Prolog interface (module and argument kinds of its predicates) is data
 * beside the resource (qx_foreign_interface above). */
/* The interfaces of the linked-in resources, a null-terminated array (borrowed; null: none).
 * load_foreign_resource/1 defines a linked-in resource's predicates from its entry here. */
void qx_set_linked_interfaces(const qx_foreign_interface *const *list);
/* Makes name/arity of module (null or "": the type-in module) a predicate that calls
 * function(goal, user_data), goal being the term name(A1, ..., An); it succeeds when function
 * answers 1 without failing or raising. 1, or 0 (arity outside 0..255, no such module, invalid
 * name text: error 14, or the definition failed: error 16). */
typedef int (*QX_CPredFun)(QX_term_ref goal, void *user_data);
int QX_define_c_predicate(const char *name, int arity, const char *module, QX_CPredFun function,
                          void *user_data);

/* The linked-in tables: two parallel null-terminated arrays; a null linkage entry marks a data
 * resource. Borrowed; null stands for an empty table. */
typedef int (*QX_pre_linkage_fn)(void *params);
void qx_set_linked_resources(const char *const *pre_map, const QX_pre_linkage_fn *pre_linkage);

/* The symbol name of a text: ASCII letters and digits kept, every other byte "_0x" and two
 * upper-case hexadecimal digits. A QX_malloc text, or null. */
char *qx_ensure_c_name(const char *text);
/* The blob linked in under "OrvalisResource_" and the C-name of name, among the program's
 * global symbols, or null; *size is set to 0 (the blob holds its size). */
const unsigned char *get_resource_data(const char *name, size_t *size);
/* 1 with the data, size and modification time of the resource, or 0. */
int orvalis_resource_find_data(const char *name, const unsigned char **data, size_t *size,
                               uint32_t *mtime);
/* How often the symbol and the appended-file routes were asked since start. */
void qx_resource_lookup_counts(uint32_t *symbol_lookups, uint32_t *appended_lookups);

/* A resource appended to a file: 0 with its bytes (owned by the resource list, valid until
 * qx_free_embedded_resources) and size, QXIO_E_NOT_FOUND, or an error of loading. */
int find_embedded_resource(const char *name, unsigned char **data, size_t *size);
/* Closes the scanned files and forgets what they held; the next lookup scans again. */
void qx_free_embedded_resources(void);

/* URL objects: "URL:", a scheme, ':' and the rest; one table of operations per scheme. Every
 * operation answers its failure value (null, 0 or -1) for a null object. */
typedef struct url_object_ url_object_;
url_object_ *create_url_object(const char *text);
void url_object_free(url_object_ *object);
const char *url_object_description(url_object_ *object);
url_object_ *url_object_validate(url_object_ *object);
int url_object_exists(url_object_ *object);
const char *url_object_extension(url_object_ *object);
int url_object_readable(url_object_ *object);
/* 0 or -1. */
int url_object_open(url_object_ *object, const char *mode);
/* The number of whole items of size bytes read, or -1. */
long url_object_read(url_object_ *object, void *buffer, size_t size, size_t count);
int url_object_close(url_object_ *object);
/* The next byte, or -1. */
int url_object_get(url_object_ *object);
int url_object_get_errno(url_object_ *object);
void url_object_set_errno(url_object_ *object, int errnum);
void url_object_set_generic_errno(url_object_ *object);
void url_object_clear_errno(url_object_ *object);
int url_object_default_get(url_object_ *object);
const char *url_object_extension_default_method(url_object_ *object);
/* text begins with scheme (ASCII case ignored) immediately followed by ':'. */
bool url_scheme_is(const char *text, const char *scheme);

/* ---- external objects ----
 * Native data named in Prolog by a term that holds its link's atom ("$ptr " and the link's
 * address, least significant hexadecimal digit first, as the letters A to P). A type supplies
 * the finaliser, called as finalizer(data, type_data) when the link goes, and the putter that
 * builds the term (1 or 0). Type records live as long as the process; links until they are
 * finalised. Engine thread only. */
struct QX_external_object_link_;
typedef struct QX_external_object_link_ *QX_external_object_link;
typedef void (*QX_external_object_finalizer)(void *data, void *type_data);
typedef int (*QX_external_object_putter)(QX_term_ref t, QX_external_object_link link);
typedef struct QX_external_object_info_ {
  QX_external_object_finalizer finalizer;
  QX_external_object_putter putter;
  void *type_data;
  struct QX_external_object_info_ *next; /* every type, newest first */
} QX_external_object_info_;
typedef QX_external_object_info_ *QX_external_object_type;
struct QX_external_object_link_ {
  void *data;
  QX_external_object_type object_type;
  QX_external_object_link next; /* every live link, newest first */
};
/* Called for each link of a walk (the link is off the list meanwhile): null puts it back. */
typedef void *(*QX_external_object_map_fn)(QX_external_object_link link, void *argument);

/* Null finaliser or putter: the defaults (nothing; '$external_object'(LinkAtom)). Null when
 * memory is short. */
QX_external_object_type QX_register_external_object_type(QX_external_object_finalizer finalizer,
                                                         QX_external_object_putter putter,
                                                         void *type_data);
QX_external_object_link QX_register_external_object(void *data, QX_external_object_type type);
/* The putter's answer; 0 for a null link. */
int QX_put_external_object(QX_term_ref t, QX_external_object_link link);
/* t receives the link atom (both the same atom): 1, or 0 for a null link. */
int QX_put_external_object_link(QX_term_ref t, QX_external_object_link link);
int QX_put_weak_external_object_link(QX_term_ref t, QX_external_object_link link);
/* name(LinkAtom) in t: 1 or 0. */
int QX_external_object_default_putter_helper(QX_term_ref t, QX_external_object_link link,
                                             QX_atom name);
/* 1 with the link when argument 1 of the term in t is the atom of a link still registered. */
int QX_get_external_object(QX_term_ref t, QX_external_object_link *link);
void *QX_get_external_object_data(QX_external_object_link link);
QX_external_object_type QX_get_external_object_type(QX_external_object_link link);
/* Takes a registered link off the list (1) and finalises it when finalize is nonzero; 0 for a
 * link that is not registered. */
int QX_unlink_external_object(QX_external_object_link link, int finalize);
/* Decodes t as QX_get_external_object does and finalises what it finds; *found (and the answer)
 * 1 or 0. */
int QX_finalize_external_object(QX_term_ref t, int *found);
/* Calls function for each link of type (every link for a null type). A non-null answer: mode 0
 * puts the link at the head and returns the answer, mode 1 returns it with the link left out,
 * mode 2 leaves the link out and goes on. Null at the end. */
void *QX_map_external_objects(QX_external_object_type type, QX_external_object_map_fn function,
                              void *argument, int mode);
/* Finalises every link of type (every link for null) whose atom is not in the atom table: the
 * number finalised. */
int QX_garbage_collect_external_objects(QX_external_object_type type);
/* Frees the finalised links kept while their atom existed: for the engine's teardown, when the
 * atom table and every term go. */
void qx_free_retired_external_objects(void);
#ifdef QX_RESOURCE_API
#include "orvalis_slots.h"
#endif

#endif
