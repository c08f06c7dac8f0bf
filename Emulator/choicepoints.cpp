/* Choicepoints: alternative codes, pushing, popping, undoing and cutting, the marks that make a cut
 * collect trail entries, and the current query.
 *
 * Nodes live below choice_start and are walked from the newest outwards by the size their
 * alternative code carries. The area moves when it grows, so whatever names a node across a call
 * that may push (a frame's cut barrier, a saved position) holds its offset from choice_start.
 */
#include <algorithm>
#include <cstring>

#include "atoms.h"
#include "database.h"
#include "memman.h"
#include "modules.h"
#include "wam_internal.h"

alt_code *termcode;
alt_code *excpcode;

namespace {

constexpr int kAltKinds = QX_ALT_RETRY_LAST + 1;
constexpr int kMaxSaved = QX_ARG_REGISTERS + 8;
/* Static, so that pushing a node of a kind or size not met yet allocates nothing: a handler of
 * memory exhaustion may be the first to need it, with no memory left. */
alt_code alt_table[kAltKinds][kMaxSaved + 1];

/* A node leaves the stack: a retry node stops reaching its predicate's clauses. */
void discard_node(node *b)
{
  alt_code *alt = NodeAlt(b);
  if (qx_is_clause_retry(alt->op))
    qx_definition_leave(qx_unraw<definition>(b->term[QX_RETRY_DEF]));
  else if (alt->op == QX_ALT_RETRY_DB)
    qx_definition_leave(qx_unraw<definition>(b->term[alt->nregs - 1]));
}

/* The newest query node from b down, or null. */
node *newest_query(const worker *w, node *b)
{
  for (; b < w->choice_start; b = qx_node_below(b)) {
    int op = NodeAlt(b)->op;
    if (op == QX_ALT_TERMCODE || op == QX_ALT_EXCPCODE) return b;
  }
  return nullptr;
}

/* The query current when query node q was pushed (the newest query below it): read from q's link
 * where it has one, else found by walking (a node pushed without the query layout). q's words
 * are intact after it is popped or cut: nothing is pushed in between. */
node *enclosing_query(const worker *w, const node *q)
{
  if (NodeAlt(q)->nregs != QX_QUERY_WORDS) return newest_query(w, qx_node_below(q));
  TAGGED link = q->term[QX_QUERY_ENCLOSING];
  return link == MakeSmall(0) ? nullptr : qx_offset_node(w, qx_barrier_offset(link));
}

inline bool is_marked(const node *b) { return ((uintptr_t)b->next_alt & 1) != 0; }

/* Lowest trail position a walk may reach: word 0 of the trail is never an entry. */
inline TAGGED *trail_floor(const worker *w)
{
  return qx_has_node(w) ? w->node_->trail_top : w->trail_start + 1;
}

/* The goal of a '$cleanup'(Goal, Done, Exited) entry when it is still to run (Done unbound and,
 * unless any, its goal has exited); Done is then bound for good, untrailed. 0 otherwise. */
TAGGED take_cleanup(TAGGED cleanup, bool any)
{
  TAGGED done = deref(StrArg(cleanup, 2));
  if (!IsVar(done) || (!any && IsVar(deref(StrArg(cleanup, 3))))) return 0;
  *RefPtr(done) = atom_true;
  return StrArg(cleanup, 1);
}

/* Applies the cut rule to the trail entries above the newest node's trail top, newest first:
 * dead $free blocks go, and a cleanup goal still to run is queued, or, for the query API's
 * collection (first), answered at once. A cut takes only the cleanup goals of call_cleanup/2
 * calls whose goal has exited. Answers the goal taken first, or 0. */
TAGGED collect_entries(worker *w, bool first)
{
  TAGGED *down_to = trail_floor(w);
  /* the entries above the newest special one are plain: the walk starts below them */
  TAGGED *t = std::min(w->trail_top, w->trail_start + w->trail_special);
  while (t > down_to) {
    qx_trail_kind kind;
    t = qx_trail_step(t, &kind);
    if (kind == QX_TRAIL_FREE) {
      qx_trail_collect_free(t);
    } else if (kind == QX_TRAIL_CLEANUP) {
      TAGGED goal = take_cleanup(t[0], first);
      if (goal && first) return goal;
      if (goal) qx_queue_cleanup(w, goal);
    }
  }
  return 0;
}

}  // namespace

/* ---- alternative codes ---- */
alt_code *qx_alt(int op, int nregs)
{
  if (nregs == 0 && op == QX_ALT_FAILCODE) return failcode;
  if (nregs == 0 && op == QX_ALT_BARRIER) return elsecode;
  if (QX_UNLIKELY(op <= 0 || op >= kAltKinds || nregs < 0 || nregs > kMaxSaved))
    QX_raise_fault("choicepoint kind or size out of range");
  alt_code *a = &alt_table[op][nregs];
  if (!a->op) {
    a->op = (uint16_t)op;
    a->nregs = (uint16_t)nregs;
    a->node_size = (int16_t)(sizeof(node) + nregs * sizeof(TAGGED));
  }
  return a;
}

void qx_alt_deinit() { termcode = excpcode = nullptr; }

/* ---- nodes ---- */
node *qx_push_node(worker *w, alt_code *alt)
{
  node *b = qx_push_node_bare(w, alt);
  if (alt->nregs) std::memcpy(b->term, w->term, alt->nregs * sizeof(TAGGED));
  return b;
}

void qx_pop_node(worker *w)
{
  node *b = w->node_;
  discard_node(b);
  w->node_ = qx_node_below(b);
  qx_set_uncond(w, w->node_);
  if (b == w->current_query) w->current_query = enclosing_query(w, b);
}

void qx_undo_to(worker *w, node *n)
{
  qx_untrail_to(w, n->trail_top);
  if (w->wake_len > n->wake_len) w->wake_len = n->wake_len;
  w->wake_count = n->wake_count;
}

void qx_cut_to(worker *w, node *barrier)
{
  if (w->node_ >= barrier) return;
  bool marked = false;
  for (node *b = w->node_; b < barrier; b = qx_node_below(b)) {
    marked |= is_marked(b);
    discard_node(b);
  }
  w->node_ = barrier;
  qx_set_uncond(w, w->node_);
  node *q = w->current_query;
  if (q && q < barrier) {
    while (q && q < barrier) q = enclosing_query(w, q);
    w->current_query = q;
  }
  if (marked) {
    /* Entries below the survivor's trail top may still wait for an older node to go. */
    qx_mark_nodes(w);
    collect_entries(w, false);
  }
}

void qx_mark_nodes(worker *w)
{
  for (node *b = w->node_; b < w->choice_start && !is_marked(b); b = qx_node_below(b))
    b->next_alt = (alt_code *)((uintptr_t)b->next_alt | 1);
}

definition *collect_cleanup_from_trail(worker *w, definition *true_def)
{
  TAGGED goal = collect_entries(w, true);
  if (goal) {
    w->term[0] = goal;
    return find_definition(qx_eg.prolog_module, qx_K.call[1], nullptr, 0);
  }
  if (qx_has_node(w)) w->node_->next_alt = NodeAlt(w->node_);
  return true_def;
}

bool qx_node_older(const worker *w, const node *n) { return n >= w->node_; }

void refresh_current_query(worker *w) { w->current_query = newest_query(w, w->node_); }
