/* Queries from native code, and exceptions across the boundary.
 *
 * A query is a choicepoint of its own: alternative termcode, saved words the goal Module:Goal,
 * the first-call marker and the term-reference mark. Asking for a solution runs the emulator on
 * call/1 with that goal on top of it (the first time) or backtracks into the nodes above it.
 * Its handle is the tagged small integer of the node's distance in cells from the base of the
 * choicepoint area, which stays the same when the area moves.
 */
#include <cstdarg>

#include "api_internal.h"
#include "atoms.h"
#include "builtins.h"
#include "errors.h"
#include "modules.h"
#include "unify.h"
#include "wam.h"
#include "wcx.h"

namespace {

enum : int { SAVED_GOAL = 0, SAVED_FIRST_CALL = 1, SAVED_MARK = 2, SAVED_WORDS = QX_QUERY_WORDS };
constexpr int32_t FIRST_CALL = 3; /* mode of the first run; later runs backtrack (mode 0) */
/* Heap cells a query's goal takes beyond its arguments, with the constructors' reserve. */
constexpr uint32_t GOAL_ROOM = 132;

bool engine_started() { return qx_w && qx_w->fli_stack_start && qx_eg.prolog_module && termcode; }

bool is_query_node(const node *b)
{
  int op = NodeAlt(b)->op;
  return op == QX_ALT_TERMCODE || op == QX_ALT_EXCPCODE;
}

QX_query_ref handle_of(worker *w, const node *q)
{
  return (QX_query_ref)MakeSmall((int32_t)(qx_node_offset(w, q) / sizeof(TAGGED)));
}

/* The node position a handle names, or null when the handle is not a small integer inside the
 * choicepoint area. */
node *handle_node(worker *w, QX_query_ref handle)
{
  TAGGED h = (TAGGED)handle;
  if (!IsSmall(h) || GetSmall(h) <= 0) return nullptr;
  uint64_t offset = (uint64_t)GetSmall(h) * sizeof(TAGGED);
  if (offset > (uint64_t)((char *)w->choice_start - (char *)w->trail_start)) return nullptr;
  return qx_offset_node(w, (uint32_t)offset);
}

enum class Found { QUERY, GONE, INVALID };

/* What a handle names for removal: a live query node, a position beyond the newest node (the
 * query went with an enclosing one), or nothing valid (not a node, or a node of another kind). */
Found find_query(worker *w, QX_query_ref handle, node **out)
{
  node *q = handle_node(w, handle);
  if (!q) return Found::INVALID;
  if (q < w->node_) return Found::GONE;
  for (node *b = w->node_; b <= q && b < w->choice_start; b = qx_node_below(b))
    if (b == q) {
      *out = q;
      return is_query_node(q) ? Found::QUERY : Found::INVALID;
    }
  return Found::INVALID;
}

/* Module:Goal of pred with the arguments' terms, at the heap top (room made). */
TAGGED build_goal(worker *w, definition *pred, const QX_term_ref *args)
{
  uint32_t arity = pred->proc.arity;
  TAGGED *p = w->global_top;
  p[0] = functor_colon2;
  p[1] = pred->defined_in->name;
  if (arity == 0) {
    p[2] = pred->proc.printname;
    w->global_top += 3;
    return MakeStr(p);
  }
  p[2] = MakeStr(&p[3]);
  p[3] = MakeFunctor(pred->proc.printname, arity);
  w->global_top += 4 + arity;
  for (uint32_t i = 0; i < arity; i++) qx_api_arg(w, &p[4 + i], *qx_ref_cell(w, args[i]));
  return MakeStr(p);
}

/* Room is made first, so that a fault leaves nothing behind. The goal is built after the node
 * is pushed, so that binding a variable outside the heap to its argument cell is trailed under
 * the query and undone when the query is closed. */
QX_query_ref open_query(definition *pred, const QX_term_ref *args)
{
  if (!engine_started()) return qx_set_errno(QX_ERR_NOT_INITIALIZED), 0;
  if (!pred) return qx_set_errno(QX_ERR_INVALID_DEFINITION), 0;
  worker *w = qx_w;
  uint32_t arity = pred->proc.arity;
  static alt_code *const alt = qx_alt(QX_ALT_TERMCODE, SAVED_WORDS); /* the table's entries stay */
  bool heap_short = qx_heap_short(w, GOAL_ROOM + arity);
  uint32_t pad = (uint32_t)alt->node_size / sizeof(TAGGED) + QX_TRAIL_MARGIN_CELLS + arity;
  bool choice_short = (size_t)((char *)w->node_ - (char *)w->trail_top) < pad * sizeof(TAGGED);
  /* the areas mostly have the room: no call, and no recovery scope, to find that out */
  if ((heap_short || choice_short) && !qx_api_call(false, [&] {
        if (heap_short) call_overflow(w, GOAL_ROOM + arity, 0);
        choice_overflow(w, pad);
        return true;
      }))
    return 0;
  w->term[SAVED_GOAL] = atom_nil;
  w->term[SAVED_FIRST_CALL] = MakeSmall(FIRST_CALL);
  w->term[SAVED_MARK] = MakeSmall((int32_t)w->fli_stack_index);
  w->term[QX_QUERY_ENCLOSING] = qx_query_link(w);
  uint32_t offset = qx_node_offset(w, qx_push_node(w, alt));
  TAGGED goal = build_goal(w, pred, args);
  node *q = qx_offset_node(w, offset); /* trailing may have moved the area */
  q->term[SAVED_GOAL] = goal;
  w->current_query = q;
  return handle_of(w, q);
}

/* Removing keeps the bindings (cut) or undoes them (close). Either way the pending cleanup goals
 * (of call_cleanup/2 calls whose goal exited under the query) run before this returns. */
int remove_query(QX_query_ref handle, bool cut)
{
  if (!engine_started()) return qx_set_errno(QX_ERR_QUERY), -1;
  worker *w = qx_w;
  node *q = nullptr;
  switch (find_query(w, handle, &q)) {
  case Found::GONE: return 1;
  case Found::INVALID: return qx_set_errno(QX_ERR_QUERY), -1;
  case Found::QUERY: break;
  }
  w->fli_stack_index = (uint32_t)GetSmall(q->term[SAVED_MARK]);
  if (cut) {
    w->local_top = q->local_top;
    w->frame_ = q->frame_;
    w->cont = q->cont;
    qx_cut_to(w, qx_node_below(q));
    qx_run_pending_cleanups(w);
  } else {
    qx_cut_to(w, q);
    do_wam(w, 0, nullptr); /* backtracks into q: every binding since the opening is undone */
    qx_pop_node(w);
  }
  return 1; /* the cut or the pop made the enclosing query current */
}

/* The first solution, then cut (keep and a solution) or close. */
int query_once(definition *pred, const QX_term_ref *args, bool keep)
{
  QX_query_ref query = open_query(pred, args);
  if (!query) return -1;
  int result = QX_next_solution(query);
  if (result == 1 && keep)
    QX_cut_query(query);
  else
    QX_close_query(query);
  return result;
}

/* The arguments of a variadic entry: as many term references as pred's arity. */
void read_args(definition *pred, va_list ap, QX_term_ref *args)
{
  uint32_t arity = pred ? pred->proc.arity : 0;
  for (uint32_t i = 0; i < arity; i++) args[i] = va_arg(ap, QX_term_ref);
}
#define QX_VARIADIC_ARGS(pred, args)                                                               \
  QX_term_ref args[QX_MAX_ARITY];                                                                  \
  va_list ap;                                                                                      \
  va_start(ap, pred);                                                                              \
  read_args(pred, ap, args);                                                                       \
  va_end(ap)

/* retract_exception(Ball): the pending exception, removed when it unifies with Ball. */
int prolog_retract_exception(worker *w)
{
  if (!qx_eg.exception) return 0;
  if (!cunify(w, w->term[0], qx_exception_term(w))) return 0;
  qx_clear_exception();
  return 1;
}

}  // namespace

const qx_pred_row qx_api_queries_rows[] = {
    {"retract_exception", prolog_retract_exception, 1, ENTER_C, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};

/* ---- predicates ---- */

QX_pred_ref QX_predicate(const char *name, long arity, const char *module)
{
  if (!name) return qx_set_errno(QX_ERR_NULL_STRING), nullptr;
  if (!wci_valid_string(name) || (module && !wci_valid_string(module)))
    return qx_set_errno(QX_ERR_STRING), nullptr;
  if (!engine_started()) return qx_set_errno(QX_ERR_NOT_INITIALIZED), nullptr;
  QX_atom name_atom = QX_atom_from_string(name);
  QX_atom module_atom = module && *module ? QX_atom_from_string(module) : qx_eg.typein_mod->name;
  if (!name_atom || !module_atom) return nullptr;
  QX_register_atom(module_atom);
  QX_pred_ref pred = QX_pred(name_atom, arity, module_atom);
  QX_unregister_atom(module_atom);
  return pred;
}

QX_pred_ref QX_pred(QX_atom name, long arity, QX_atom module)
{
  if (!engine_started()) return qx_set_errno(QX_ERR_NOT_INITIALIZED), nullptr;
  if (!IsAtom(name) || !IsAtom(module) || arity < 0 || arity > (long)QX_MAX_ARITY)
    return qx_set_errno(QX_ERR_NO_PREDICATE), nullptr;
  /* Valid name and arity: only running out of memory (error 15) stops the definition. */
  return qx_api_call((definition *)nullptr, [&] {
    definition *d = insert_definition(find_module(module, 1), name, (uint32_t)arity, 1);
    d->properties.locked = 1;
    return d;
  });
}

/* ---- queries ---- */

QX_query_ref QX_open_query(QX_pred_ref pred, ...)
{
  QX_VARIADIC_ARGS(pred, args);
  return open_query(pred, args);
}

QX_query_ref QX_open_query_array(QX_pred_ref pred, const QX_term_ref *args)
{
  return open_query(pred, args);
}

int QX_next_solution(QX_query_ref query)
{
  worker *w = qx_w;
  node *q = engine_started() ? handle_node(w, query) : nullptr;
  if (!q || q != w->current_query) return qx_set_errno(QX_ERR_QUERY), -1;
  w->fli_stack_index = (uint32_t)GetSmall(q->term[SAVED_MARK]);
  w->term[0] = q->term[SAVED_GOAL];
  int mode = q->term[SAVED_FIRST_CALL] == MakeSmall(FIRST_CALL) ? 3 : 0;
  q->term[SAVED_FIRST_CALL] = MakeSmall(0);
  int result = do_wam(w, mode, qx_call1_definition());
  qx_set_errno(result < 0 ? QX_ERR_EXCEPTION : QX_ERR_NONE);
  if (result != 1) refresh_current_query(w);
  return result;
}

int QX_cut_query(QX_query_ref query) { return remove_query(query, true); }

int QX_close_query(QX_query_ref query) { return remove_query(query, false); }

int QX_query(QX_pred_ref pred, ...)
{
  QX_VARIADIC_ARGS(pred, args);
  return query_once(pred, args, true);
}

int QX_query_cut_fail(QX_pred_ref pred, ...)
{
  QX_VARIADIC_ARGS(pred, args);
  return query_once(pred, args, false);
}

/* ---- exceptions ---- */

/* Events stay off while the ball is fetched: an event could raise an exception of its own. */
int QX_exception_term(QX_term_ref t)
{
  if (!qx_eg.exception) return 0;
  worker *w = qx_w;
  if (!QX_put_variable(t)) return 0;
  definition *retract =
      insert_definition(qx_eg.prolog_module, init_atom_check("retract_exception", 0), 1, 0);
  w->events_disabled++;
  int result = query_once(retract, &t, true);
  w->events_disabled--;
  return result == 1;
}

void QX_raise_exception(QX_term_ref t)
{
  worker *w = qx_w;
  TAGGED ball = qx_ref_get(w, t);
  qx_api_call(0, [&] { return raise_exception(ball); });
  w->fli_info.excp_flag = 0;
}

void QX_fail(void) { qx_w->fli_info.excp_flag = 0; }

void QX_save_error(int code, const char *message, QX_term_ref t)
{
  TAGGED culprit = qx_ref_get(qx_w, t);
  qx_api_call(0, [&] {
    save_error((uint32_t)code, message, culprit);
    return 0;
  });
}

void QX_raise_error(const char *module, const char *name, int arity, int argument)
{
  worker *w = qx_w;
  qx_api_call(0, [&] {
    TAGGED m = module ? init_atom_check(module, 0) : 0;
    TAGGED n = name ? init_atom_check(name, 0) : 0;
    return raise_error(m ? m : atom_user, n ? n : atom_empty, arity, argument);
  });
  w->fli_info.excp_flag = 0;
}

int QX_decode_reserved_exception(QX_term_ref t, int *code)
{
  TAGGED x = qx_ref_get(qx_w, t);
  int32_t n;
  if (!IsStr(x) || StrFunctor(x) != MakeFunctor(atom_reserved, 1) ||
      !qx_api_int32(deref(StrArg(x, 1)), &n))
    return 0;
  int kind = n & 0xFF;
  if (kind && code) *code = n >> 8;
  return kind;
}
