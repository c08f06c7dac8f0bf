/* The interpreter: control, choicepoints, cut, exceptions and the native-call conventions.
 *
 * Goals are heap terms; the continuation is a chain of frames on the local stack, each holding a
 * goal, the cut barrier of the clause it belongs to and its context module. Choicepoints live in
 * the choicepoint area and resume at their alternative code.
 */
#ifndef QX_WAM_H
#define QX_WAM_H

#include "datadefs.h"
#include "objareas.h"

/* Alternative kinds. */
enum qx_alt_op : uint16_t {
  QX_ALT_TERMCODE = 1, /* backtracking into it ends the emulator with 0 */
  QX_ALT_EXCPCODE,     /* same, as the bottom of an exception-protected query */
  QX_ALT_RETRY_CLAUSE, /* next clause of an interpreted predicate */
  QX_ALT_RETRY_C,      /* next solution of a nondeterministic native */
  QX_ALT_RETRY_PROLOG, /* next solution through a Prolog predicate */
  QX_ALT_DISJ,         /* right branch of a disjunction */
  QX_ALT_ITE_ELSE,     /* else branch of if-then-else */
  QX_ALT_CATCH,        /* catch/3: fails through; catches while its goal runs */
  QX_ALT_ERROR,        /* a native's recorded error, thrown on backtracking */
  QX_ALT_FAILCODE,     /* plain failure (temporary nodes of the API) */
  QX_ALT_BARRIER,      /* fails through; marks a point to cut back to */
  QX_ALT_RUNBASE,      /* bottom of a run of do_wam: like termcode, but not a query's node */
  QX_ALT_RETRY_DB,     /* next solution of a native that walks a definition's clauses */
  QX_ALT_BODY_ELSE,    /* else branch of a disjunction or if-then-else in a clause's code */
  QX_ALT_RETRY_LAST,   /* the last candidate clause of an interpreted predicate */
};

/* The alternative code of a kind with nregs saved words (interned; node_size set). */
alt_code *qx_alt(int op, int nregs);
extern alt_code *termcode;
extern alt_code *excpcode;
/* The shared failure and else codes: static objects (also stored in restored compiled clauses). */
extern alt_code *const failcode;
extern alt_code *const elsecode;
/* A continuation frame that ends the emulator with 1. */
extern frame *const exitcode;

/* Choicepoints. nodes below choice_start; node_ == choice_start means none. */
node *qx_push_node(worker *w, alt_code *alt); /* saves term[0..alt->nregs-1] */
void qx_pop_node(worker *w);
/* Remove the nodes newer than barrier. When one of them was marked (bit 0 of its alternative),
 * the trail entries above the barrier's trail top are collected: dead $free blocks are destroyed
 * and the cleanup goals of call_cleanup/2 calls whose goal has exited become pending. */
void qx_cut_to(worker *w, node *barrier);
/* Mark the nodes from the newest towards the oldest, stopping at the first one already marked:
 * a cut that removes any of them then collects the trail entries above its survivor. */
void qx_mark_nodes(worker *w);
/* Applies the cut rule to the trail entries above the newest node's trail top and answers the
 * next cleanup goal not yet run, marked run: call/1's definition with Module:Goal in term[0].
 * When none is left, the newest node's mark is cleared and true_def is answered. */
definition *collect_cleanup_from_trail(worker *w, definition *true_def);
static inline bool qx_has_node(const worker *w) { return w->node_ != w->choice_start; }
static inline node *qx_node_below(const node *n)
{
  return (node *)((char *)n +
                  ((const alt_code *)((uintptr_t)n->next_alt & ~(uintptr_t)1))->node_size);
}
/* Cut barriers stored as offsets from the top of the choicepoint area (it moves when it grows). */
static inline uint32_t qx_node_offset(const worker *w, const node *n)
{
  return (uint32_t)((char *)w->choice_start - (char *)n);
}
static inline node *qx_offset_node(const worker *w, uint32_t offset)
{
  return (node *)((char *)w->choice_start - offset);
}
/* A barrier offset kept in a term or a saved register: a small integer counting words, which
 * holds every offset of an area of at most QX_CHOICE_BLOCK_MAX bytes. Barriers are written and
 * read only through this pair. */
static_assert(QX_CHOICE_BLOCK_MAX / sizeof(TAGGED) - 1 <= (size_t)QX_SMALL_MAX,
              "every offset in words of the largest area is a small integer");
static inline TAGGED qx_barrier_term(uint32_t offset)
{
  return MakeSmall((int32_t)(offset / sizeof(TAGGED)));
}
static inline uint32_t qx_barrier_offset(TAGGED barrier)
{
  return (uint32_t)GetSmall(barrier) * (uint32_t)sizeof(TAGGED);
}
/* True when n is older than or the same as the newest node. */
bool qx_node_older(const worker *w, const node *n);
/* current_query := the newest node whose alternative (mark ignored) is a termcode or excpcode. */
void refresh_current_query(worker *w);
/* A query's node saves four words: goal, first-call marker, term-reference mark and the query
 * that was current when it was pushed (qx_query_link), so that removing it finds the enclosing
 * query without walking the nodes between. */
enum : int { QX_QUERY_ENCLOSING = 3, QX_QUERY_WORDS = 4 };
static inline TAGGED qx_query_link(const worker *w)
{
  return w->current_query ? qx_barrier_term(qx_node_offset(w, w->current_query)) : MakeSmall(0);
}
void qx_undo_to(worker *w, node *n); /* undo bindings (and wake-ups) back to n's trail top */

/* Continuation frames. */
frame *qx_push_frame(worker *w, TAGGED goal, mod_def *ctx);

/* Running. wam(w, -2, null) builds the tables once. do_wam(w, 3, def) calls def with its arguments
 * in term[0..arity-1] on top of a node of its own; do_wam(w, 0, def) backtracks into the newest
 * choicepoint. Answers 1, 0 or -1 (exception pending in qx_eg.exception). Both leave the nodes
 * for the caller. A fault (qx_fault) inside becomes an exception: resource_error(memory) for
 * memory faults, system_error(Message) for the others. Cleanup goals left pending when the run
 * ends with 0 or -1 are run before returning. */
int wam(worker *w, int mode, definition *def);
int do_wam(worker *w, int mode, definition *def);
/* Run goal once in module ctx as a query of its own (a termcode node, current_query while it
 * runs); its nodes are cut afterwards, bindings kept. 1, 0 or -1. */
int qx_call_once(worker *w, TAGGED goal, mod_def *ctx);
/* prolog:call/1, the predicate queries run: looked up again only when definitions changed. */
definition *qx_call1_definition();
/* Call a native definition outside the emulator with its arguments in term[0..arity-1]: 1, 0,
 * or -1 when it raised an error (its error node is popped and the error is the pending
 * exception). Nodes it pushed are removed. */
int qx_call_native(worker *w, definition *def);

/* Natives. A nondeterministic native saves its state with qx_push_retry (arguments and state words in
 * term[0..nregs-1]); on backtracking the engine restores them and calls the definition's retry step,
 * which answers 1 (a solution, node kept), 0 (engine pops the node and fails) or pops the node itself
 * with qx_pop_retry before answering its last solution. */
void qx_push_retry(worker *w, int nregs);
/* The same for a native whose state points into the clause chain of `reached`: while the node
 * exists the definition's erased clauses are not freed (so read what the state points at before
 * popping the node). */
void qx_push_retry_reaching(worker *w, int nregs, definition *reached);
void qx_pop_retry(worker *w);
/* The node of the running retry step (its saved words hold the state). */
static inline TAGGED *qx_retry_state(worker *w) { return w->node_->term; }

/* The module the running native was called from (the context of unqualified arguments). */
mod_def *qx_native_context();

/* Goals the interpreter runs itself (control constructs, call/1..8, and list pairs, which no
 * clause head can define); ',', ';' and '->', whose arguments are goals of the same clause; and
 * ':-'/2, the functor of a clause with a body. */
bool qx_is_control(TAGGED key);
bool qx_is_transparent(TAGGED key);
TAGGED qx_clause_functor();

/* Define a native built-in in a module. */
definition *qx_define_native(mod_def *module, const char *name, uint32_t arity, qx_native_fn fn,
                             qx_native_fn retry, int kind);

/* Exceptions. */
void qx_set_exception(worker *w, TAGGED ball);
TAGGED qx_exception_term(worker *w); /* copies the pending ball to the heap */
void qx_clear_exception();

/* Pending cleanup goals, queued by trail undo and cut; run at the next call. */
void qx_queue_cleanup(worker *w, TAGGED goal);
/* Runs the pending cleanup goals now, each as a query of its own whose failure or error is
 * ignored; a pending exception stays. */
void qx_run_pending_cleanups(worker *w);
/* Atom collection: marks the atoms of the queued cleanup goals. */
void qx_cleanup_mark_atoms();

/* Events: the hook runs at the next call (before the next goal, or before a run returns 1) once
 * qx_request_event was called and events are enabled. It may insert goals to run first with
 * qx_push_frame. */
extern void (*qx_event_hook)(worker *w);
void qx_request_event(worker *w);

int init_wam();
void deinit_wam();

#endif
