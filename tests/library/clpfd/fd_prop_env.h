/* The kernel fixture with the propagation natives as predicates of module clpfd. A native the
 * resource does not install itself is defined through QX_define_c_predicate with the calling
 * convention of the foreign glue: input terms and outputs in term references of their own (outputs
 * unified afterwards), integers converted, the returned integer unified with the last argument,
 * and a cleared exception flag meaning failure or a raised error. Also: counting and reading the
 * queue entries of the open levels.
 */
#ifndef QX_FD_PROP_ENV_H
#define QX_FD_PROP_ENV_H

#include <vector>

#include "fd_kernel_env.h"
#include "fd_propagate.h"
#include "gc.h"
#include "saverest.h"
#include "unify.h"

namespace fd_prop_env {

/* Argument kinds: t input term, o output term, i input integer, r returned integer. */
struct shim {
  const char *name;
  const char *kinds;
  long (*call)(ORVALIS_API_STRUCT *api, QX_term_ref a);
};

inline ORVALIS_API_STRUCT *instance()
{
  for (qx_open_resource *r = qx_eg.open_resources; r; r = r->next)
    if (r->rname == atom_clpfd) return &r->qxenv;
  return nullptr;
}

inline int call_shim(QX_term_ref goal, void *data)
{
  const shim *s = (const shim *)data;
  ORVALIS_API_STRUCT *api = instance();
  worker *w = qx_w;
  TAGGED g = fd_ref_get(api, goal);
  int n = (int)std::strlen(s->kinds);
  QX_term_ref a = QX_new_term_refs(n);
  for (int i = 0; i < n; i++) {
    TAGGED arg = deref(StrArg(g, i + 1));
    if (s->kinds[i] == 'i' && !IsSmall(arg)) return qx_type_error(w, "integer", arg, i + 1);
    if (s->kinds[i] == 'o')
      QX_put_variable(a + i);
    else
      fd_ref_put(api, a + i, arg);
  }
  long result = s->call(api, a);
  if (w->fli_info.excp_flag == 0) return 0;
  g = fd_ref_get(api, goal);
  for (int i = 0; i < n; i++) {
    TAGGED out = s->kinds[i] == 'o'   ? fd_ref_get(api, a + i)
                 : s->kinds[i] == 'r' ? MakeSmall((int32_t)result)
                                      : 0;
    if (out && !cunify(w, StrArg(g, i + 1), out)) return 0;
  }
  return 1;
}

inline long small(ORVALIS_API_STRUCT *api, QX_term_ref r) { return GetSmall(fd_ref_get(api, r)); }

inline const shim shims[] = {
    {"$fd_begin", "",
     [](ORVALIS_API_STRUCT *api, QX_term_ref) -> long {
       prolog_fd_begin_qxenv_multi_qx(api);
       return 0;
     }},
    {"$fd_enqueue_all", "t",
     [](ORVALIS_API_STRUCT *api, QX_term_ref a) -> long {
       prolog_fd_enqueue_all_qxenv_multi_qx(api, a);
       return 0;
     }},
    {"$fd_global_enqueue", "t",
     [](ORVALIS_API_STRUCT *api, QX_term_ref a) -> long {
       prolog_fd_global_enqueue_qxenv_multi_qx(api, a);
       return 0;
     }},
    {"$fd_prune_and_enqueue", "tt",
     [](ORVALIS_API_STRUCT *api, QX_term_ref a) -> long {
       prolog_fd_prune_and_enqueue_qxenv_multi_qx(api, a, a + 1);
       return 0;
     }},
    {"$fd_evaluate_indexical", "or",
     [](ORVALIS_API_STRUCT *api, QX_term_ref a) -> long {
       return prolog_fd_evaluate_indexical_qxenv_multi_qx(api, a);
     }},
    {"$fd_post_global", "ttittt",
     [](ORVALIS_API_STRUCT *api, QX_term_ref a) -> long {
       prolog_fd_post_global_qxenv_multi_qx(api, a, a + 1, small(api, a + 2), a + 3, a + 4, a + 5);
       return 0;
     }},
    {"$fd_coref", "t",
     [](ORVALIS_API_STRUCT *api, QX_term_ref a) -> long {
       prolog_fd_coref_qxenv_multi_qx(api, a);
       return 0;
     }},
    {"$fd_in_interval", "ttti",
     [](ORVALIS_API_STRUCT *api, QX_term_ref a) -> long {
       prolog_fd_in_interval_qxenv_multi_qx(api, a, a + 1, a + 2, small(api, a + 3));
       return 0;
     }},
};

}  // namespace fd_prop_env

class FdPropTest : public FdKernelTest {
protected:
  FdPropTest()
  {
    define_shims();
    /* The collector reaches the queues through the installed manager hook. */
    if (!qx_gc_outside_roots)
      qx_gc_outside_roots = [](worker *, int operation, TAGGED *heap_start) {
        call_fd_manager(operation, heap_start);
      };
  }
  /* Blocks of constraints still suspended go as backtracking over their creation does. */
  ~FdPropTest() override
  {
    qx_untrail_to(w, qx_has_node(w) ? w->node_->trail_top : w->trail_start + 1);
  }

  /* Defines the natives the resource did not install (again after a reload). */
  void define_shims()
  {
    for (const fd_prop_env::shim &s : fd_prop_env::shims) {
      uint32_t arity = (uint32_t)std::strlen(s.kinds);
      TAGGED key =
          arity ? MakeFunctor(init_atom_check(s.name, 0), arity) : init_atom_check(s.name, 0);
      definition *d = find_definition(fd()->fd_module, key, nullptr, 0);
      if (d && d->predtyp == ENTER_FOREIGN) continue;
      QX_define_c_predicate(s.name, (int)arity, "clpfd", fd_prop_env::call_shim, (void *)&s);
    }
  }

  /* Adds clauses to a module. */
  void consult_in(const char *module, const std::string &text)
  {
    mod_def *m = find_module(init_atom_check(module, 0), 1);
    for (TAGGED clause : TermReader::clauses(w, text)) p.add_clause(clause, m);
  }

  /* The queue entries of the open levels, top level first, queue 0 to 5 (manager hook op 4). */
  std::vector<TAGGED> entries()
  {
    static std::vector<TAGGED> *seen;
    std::vector<TAGGED> out;
    seen = &out;
    fd_manager_hook(
        api, w, 4, (void *)+[](TAGGED *e) { seen->push_back(*e); });
    return out;
  }
  int levels()
  {
    int n = 0;
    for (propagator *p = fd()->current_propagator; p; p = p->next) n++;
    return n;
  }
  /* The Value of the level mutable (term reference 5). */
  TAGGED level_value()
  {
    TAGGED m = deref(*fd_ref_slot(api, 5));
    return deref(StrArg(m, 1));
  }
};

#endif
