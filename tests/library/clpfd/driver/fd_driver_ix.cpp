/* Posting calls of predicates defined by indexicals: the goal's arguments get their attributes
 * ($fd_check_arguments), the definition is found ($fd_find_definition) and its chains are posted
 * ($fd_post_reified) as the solver's library does for an FD-defined predicate. */
#include "fd_driver.h"
#include "modules.h"
#include "wam_internal.h"

namespace fd_driver {

int driver::post_indexicals(const char *name, const std::vector<arg> &args, int b)
{
  definition *find = QX_predicate("$fd_find_definition", 3, "clpfd");
  definition *check = QX_predicate("$fd_check_arguments", 2, "clpfd");
  definition *post = QX_predicate("$fd_post_reified", 5, "clpfd");
  if (!find || !check || !post) {
    error_ = "the indexical natives are missing";
    return -1;
  }
  QX_term_ref mark = QX_new_term_refs(0);
  QX_term_ref r = QX_new_term_refs(5); /* goal, definition, attributes, B, B's attribute */
  uint32_t arity = (uint32_t)args.size();
  qx_heap_room(w_, arity + 1);
  TAGGED *goal = w_->global_top;
  w_->global_top += arity + 1;
  goal[0] = MakeFunctor(init_atom_check(name, 0), arity);
  for (uint32_t i = 0; i < arity; i++)
    goal[i + 1] =
        args[i].kind == arg::variable ? term((int)args[i].v) : MakeSmall((int32_t)args[i].v);
  set(r, MakeStr(goal));
  for (int k = 1; k < 5; k++) set(r + k, fresh_var());
  if (b >= 0) set(r + 3, term(b));
  int ok = call(find, {ref(r), init_atom_check("user", 0), ref(r + 1)});
  if (ok == 1) ok = call(check, {ref(r), ref(r + 2)});
  if (ok == 1 && b < 0) set(r + 3, MakeSmall(1));
  if (ok == 1) ok = call(n.arg_attribute, {ref(r + 3), MakeSmall(0), ref(r + 4)});
  if (ok == 1) ok = call(n.begin, {});
  if (ok == 1) ok = call(post, {ref(r + 1), ref(r), ref(r + 2), ref(r + 3), ref(r + 4)});
  if (ok == 1) ok = propagate();
  QX_reset_term_refs(mark);
  return ok;
}

}  // namespace fd_driver
