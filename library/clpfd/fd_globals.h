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
  TAGGED handle; /* the state's Handle, dereferenced: unbound until the block exists */
  int32_t stamp; /* the input Stamp (a written state only) */
  int committed; /* the Handle is unbound or younger than the newest choicepoint */
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

/* The length of a proper list, -1 for anything else (a partial or cyclic list included). */
int fd_entry_length(const worker *w, TAGGED list);
/* Whether a list is still open at its end (a variable, or a list ending in one): not yet known,
 * so an instantiation error rather than a bad list. */
bool fd_entry_open_list(const worker *w, TAGGED list);
/* Bad input in a state term: an instantiation error for a variable culprit, else an error of
 * `kind` (a type error, or a domain error when `domain` is set) naming what was expected, a
 * compound culprit by its name (its attributes would lead back to the state). The native fails;
 * the entry returns at once. */
void fd_entry_error(ORVALIS_API_STRUCT *api, const char *expected, TAGGED culprit, int argument,
                    bool domain = false);
/* A counter of a first call's state (a live, dead or settled count) against the value the poster
 * gives it: true when it holds that value, else false after raising a domain error `what` on the
 * state argument (a type error when it is no integer). No call has run before a first call, so
 * any other value would make it skip entries it must look at. */
bool fd_entry_first_count(ORVALIS_API_STRUCT *api, TAGGED count, int32_t posted, const char *what);

/* A variable entry X-Attr (any structure of two arguments) into the references at ref, attribute
 * first: false when it is none or its variable is neither a variable nor an integer. */
bool fd_entry_refs(TAGGED entry, QX_globref ref);

/* ---- element/3 (relation.cpp) ---- */
void prolog_fd_element_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                      QX_term_ref state, QX_term_ref actions);

/* ---- all_different/1, pairing/2 and circuit/1 (alldifferent.cpp) ---- */
void prolog_fd_all_different_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                            QX_term_ref state, QX_term_ref actions);
void prolog_fd_pairing_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                      QX_term_ref state, QX_term_ref actions);
void prolog_fd_circuit_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                      QX_term_ref state, QX_term_ref actions);
/* Tests: 1 when circuit's block holds in head and tail the paths that the fixed successors of
 * the targets dead in a state of NDead form, 0 when not, -1 when the block is not in step with
 * that state (no call since the backtrack that restored it). */
int fd_circuit_paths_agree(const void *block, int ndead);

/* The single-circuit check over successor variables (nodes 0..n-1, value v is node v-1): views
 * of the n variables; target[0..live-1] the live ones, the others fixed (dead); head, tail and
 * stack (3 x n) are scratch, and so are the entries of the live nodes in visited. 0 when the live domains, with the fixed
 * successors contracted into paths, hold no Hamiltonian circuit or the search from the live
 * variable of largest domain reaches fewer than `kernel` nodes; else 1 (a necessary test). */
int fd_single_circuit(const dvar *dv, const int *target, int live, int kernel, int n, int *head,
                      int *tail, int *visited, int *stack);

/* global_cardinality/3 and global_cardinality_helper/2 (gcc.cpp) */
void prolog_fd_gcc_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                  QX_term_ref actions);
void prolog_fd_gcc_helper_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                         QX_term_ref state, QX_term_ref actions);

/* local_cardinality/2 (lcc.cpp) */
void prolog_fd_lcc_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                  QX_term_ref actions);

/* nvalue/2 (nvalue.cpp) */
void prolog_fd_nvalue_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                     QX_term_ref actions);
/* Calls in which the matching, independent-set and interval prunings removed arcs (tests). */
extern uint64_t fd_nvalue_prunings[3];

/* ---- scheduling (discrete.cpp) ---- */
void prolog_fd_disjoint1_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                        QX_term_ref state, QX_term_ref actions);
void prolog_fd_cumulative_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                         QX_term_ref state, QX_term_ref actions);

/* ---- cumulatives/3 (symmcum.cpp) ---- */
void prolog_fd_cumulatives_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                          QX_term_ref state, QX_term_ref actions);

/* ---- disjoint2/2 (disjoint2.cpp) ---- */
void prolog_fd_disjoint2_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                        QX_term_ref state, QX_term_ref actions);
/* Tests: the weighted least overlaps that the edge finder's sweep keeps for n items (bounds in
 * one dimension, weights; by increasing minimum origin when rising, else by decreasing maximum
 * end) with the windows of the fixed end `fixed` (U when rising, else L): energy[q] for the
 * window whose moving end is item q's minimum origin (rising) or maximum end, at the last item
 * of equal ones and while the window is not empty; -1 elsewhere. */
void fd_disjoint2_window_energies(int n, const int64_t *est, const int64_t *lct, const int64_t *dur,
                                  const int32_t *weight, int64_t fixed, int rising,
                                  int64_t *energy);

/* ---- geost/4 (geost.cpp) ---- */
void prolog_fd_geost_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                    QX_term_ref actions);

/* ---- small checks of state terms ---- */

/* The length of a proper list (within the heap's bound on list length), or -1. */
static inline int fd_proper_length(const worker *w, TAGGED list)
{
  int n = 0;
  uint32_t bound = fd_list_bound(w);
  for (list = deref(list); IsLst(list) && (uint32_t)n < bound; list = deref(LstTail(list))) n++;
  return list == atom_nil ? n : -1;
}
/* Whether t is a small integer within lo..hi. */
static inline bool fd_small_in(TAGGED t, int32_t lo, int32_t hi)
{
  t = deref(t);
  return IsSmall(t) && GetSmall(t) >= lo && GetSmall(t) <= hi;
}

/* ---- bounds-consistent all-different (bc_alldiff.cpp) ---- */
void prolog_fd_bc_alldiff_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                         QX_term_ref state, QX_term_ref actions);

/* ---- case/4 over a decision DAG (case.cpp) ---- */
/* Test hook: 0 evaluates every row without the date cache and the false-node set. */
extern int fd_case_caches;
void prolog_fd_case_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                   QX_term_ref actions);

/* ---- lex_chain/2 (lex.cpp) ---- */
void prolog_fd_lex_chain_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                        QX_term_ref state, QX_term_ref actions);

/* ---- sorting/3 (sorting.cpp) ---- */
void prolog_fd_sorting_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                      QX_term_ref state, QX_term_ref actions);

/* ---- minimum/2 and maximum/2 (relation.cpp) ---- */
void prolog_fd_minmax_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                     QX_term_ref actions);

/* ---- relation/3 (relation.cpp) ---- */
/* Test hook: 0 scans every tuple in full over the general map (mode G), never by the monotone
 * map's scans or from the removed values only. */
extern int fd_relation_incremental;
/* Tuple scans made from the removed values only (the monotone map's or the delta scan; tests). */
extern uint64_t fd_relation_delta_scans;
void prolog_fd_relation_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                       QX_term_ref state, QX_term_ref actions);
/* ---- all_distinct/1 and assignment/2 over the value graph (alldistinct.cpp) ---- */
void prolog_fd_all_distinct_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                           QX_term_ref state, QX_term_ref actions);
void prolog_fd_assignment_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                         QX_term_ref state, QX_term_ref actions);
void prolog_fd_assignment_helper_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                                QX_term_ref state, QX_term_ref actions);

#endif
