/* The global constraints' entries (one block of lines per family) and the few protocol helpers
 * they share: the start and end of an entry call and the life of its persistent block. */
#ifndef QX_FD_GLOBALS_H
#define QX_FD_GLOBALS_H

#include "fd_kernel.h"

/* ---- the entry protocol (fd_global.cpp) ---- */

/* One entry call: its worker and what the output state gave. */
struct fd_entry {
  ORVALIS_API_STRUCT *api;
  worker *w;
  TAGGED handle;  /* the state's Handle, dereferenced: unbound until the block exists */
  int32_t stamp;  /* the input Stamp (a written state only) */
  int committed;  /* the Handle is unbound or younger than the newest choicepoint */
};

/* Starts an entry call: the worker set up (term[0] the input state, term[2] the empty actions,
 * the temporary area dropped), then the output state, copied and stamped when `written` (the
 * entry writes into it or keys its block to the Stamp), else read as it is. The state must be
 * a structure of `arity` arguments (0: any, at least two) with a Handle as the protocol leaves
 * it; else a type error is raised. False when the call must return at once (the native fails). */
bool fd_entry_begin(fd_entry *e, ORVALIS_API_STRUCT *api, QX_term_ref state0, int arity,
                    bool written);
/* Ends it with outcome 1 entailed (the block dies), 0 suspended or -1 failed (nothing is
 * exported by the caller then): the output state into `state`, the actions into `actions`. */
void fd_entry_end(fd_entry *e, QX_term_ref state, QX_term_ref actions, int outcome);
/* The persistent block of a first call: bytes, zeroed, with its destructor and daemon (or null)
 * stored, and nrefs global references made (refs, null for none). */
void *fd_entry_block(fd_entry *e, size_t bytes, void (*destructor)(void *),
                     int (*daemon)(ORVALIS_API_STRUCT *, worker *, void *, TAGGED *, TAGGED),
                     int nrefs, QX_globref *refs);
/* The destructor's work for such a block: its references, then the block. */
void fd_entry_destroy(void *block, QX_globref refs);
/* Blocks made by fd_entry_block and destroyed by fd_entry_destroy since the start (tests). */
extern uint64_t fd_entry_blocks_made, fd_entry_blocks_destroyed;

/* A variable entry X-Attr (any structure of two arguments) into the references at ref, attribute
 * first: false when it is none or its variable is neither a variable nor an integer. */
bool fd_entry_refs(TAGGED entry, QX_globref ref);

/* global_cardinality/3 and global_cardinality_helper/2 (gcc.cpp) */
void prolog_fd_gcc_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                  QX_term_ref actions);
void prolog_fd_gcc_helper_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                         QX_term_ref state, QX_term_ref actions);

/* local_cardinality/2 (lcc.cpp) */
void prolog_fd_lcc_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                  QX_term_ref actions);

/* nvalue/2 (nvalue.cpp) */
void prolog_fd_nvalue_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                     QX_term_ref state, QX_term_ref actions);
/* Calls in which the matching, independent-set and interval prunings removed arcs (tests). */
extern uint64_t fd_nvalue_prunings[3];

/* ---- scheduling (discrete.cpp) ---- */
void prolog_fd_disjoint1_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                        QX_term_ref state, QX_term_ref actions);
void prolog_fd_cumulative_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                         QX_term_ref state, QX_term_ref actions);

/* ---- disjoint2/2 (disjoint2.cpp) ---- */
void prolog_fd_disjoint2_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                        QX_term_ref state, QX_term_ref actions);

/* ---- bounds-consistent all-different (bc_alldiff.cpp) ---- */
void prolog_fd_bc_alldiff_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                         QX_term_ref state, QX_term_ref actions);

/* ---- case/4 over a decision DAG (case.cpp) ---- */
void prolog_fd_case_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                   QX_term_ref actions);

/* ---- lex_chain/2 (lex.cpp) ---- */
void prolog_fd_lex_chain_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                        QX_term_ref state, QX_term_ref actions);

#endif
