/* The solver's resource: its entry function, the per-instance state and its life, the table of
 * global constraints (looked up by functor word) and the native predicates with their Prolog
 * interface.
 *
 * The natives and their argument conversions are one table, clpfd_natives; the parallel arrays
 * that the entry hands to the engine and the interface record are made from it.
 */
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <type_traits>

#include "fd_globals.h"
#include "fd_indexical.h"

namespace {

/* Byte offsets into the attribute template, tagged as the pointers they stand for. */
constexpr TAGGED str_at(int word) { return (TAGGED)(4 * word) | QX_TAG_STR; }
constexpr TAGGED lst_at(int word) { return (TAGGED)(4 * word) | QX_TAG_LST; }

/* ---- the native predicates ---- */

typedef void (*native_fn)();

/* The function the engine calls for native F: F itself, recorded as the native running, so that
 * an error it raises names its goal. A tail call: nothing is left to do after F, and a native
 * that runs another through a query records itself again once the query is over. */
template <auto F>
struct native_entry;
template <class R, class... A, R (*F)(ORVALIS_API_STRUCT *, A...)>
struct native_entry<F> {
  static R run(ORVALIS_API_STRUCT *api, A... args)
  {
    fd_state(api)->native = (const void *)F;
    /* term slot 2 may hold a caller's argument word: only the propagation loop's mark skips a
     * propagator's checks (fd_global_run) */
    fd_worker(api)->term[2] = atom_nil;
    return F(api, args...);
  }
};
#define FD_NATIVE(f) (native_fn)(void *)&f, (native_fn)(void *)&native_entry<&f>::run

struct native_row {
  const char *name;
  int arity;
  native_fn function;
  native_fn entry;   /* what the engine calls: native_entry<function> */
  const char *kinds; /* argument conversions, as qx_foreign_interface describes them */
};

/* In the engine's table order. Outputs that a native stores in a term reference are -term. */
// clang-format off
const native_row clpfd_natives[] = {
    {"$fd_size", 3, FD_NATIVE(prolog_fd_size_qxenv_multi_qx), "+term -term [-integer]"},
    {"$fd_range", 4, FD_NATIVE(prolog_fd_range_qxenv_multi_qx), "+term +term -term [-integer]"},
    {"$fd_cons", 5, FD_NATIVE(prolog_fd_cons_qxenv_multi_qx), "+term +term +term -term [-integer]"},
    {"$fd_dom_complement", 2, FD_NATIVE(prolog_fd_dom_complement_qxenv_multi_qx), "+term -term"},
    {"$fd_dom_subtract", 3, FD_NATIVE(prolog_fd_dom_subtract_qxenv_multi_qx), "+term +term -term"},
    {"$fd_dom_intersection", 3, FD_NATIVE(prolog_fd_dom_intersection_qxenv_multi_qx), "+term +term -term"},
    {"$fd_dom_union", 3, FD_NATIVE(prolog_fd_dom_union_qxenv_multi_qx), "+term +term -term"},
    {"$fd_dom_contains", 2, FD_NATIVE(prolog_fd_dom_contains_qxenv_multi_qx), "+term +term"},
    {"$fd_dom_insert", 3, FD_NATIVE(prolog_fd_dom_insert_qxenv_multi_qx), "+term +term -term"},
    {"$fd_dom_delete", 3, FD_NATIVE(prolog_fd_dom_delete_qxenv_multi_qx), "+term +term -term"},
    {"$fd_dom_intersect", 3, FD_NATIVE(prolog_fd_dom_intersect_qxenv_multi_qx), "+term +term [-integer]"},
    {"$fd_negate", 3, FD_NATIVE(prolog_fd_negate_qxenv_multi_qx), "+term +term -term"},
    {"$fd_arg_attribute", 3, FD_NATIVE(prolog_fd_arg_attribute_qxenv_multi_qx), "+term +integer -term"},
    {"$fd_dvar_list", 2, FD_NATIVE(prolog_fd_dvar_list_qxenv_multi_qx), "+term +integer"},
    {"$fd_coref", 1, FD_NATIVE(prolog_fd_coref_qxenv_multi_qx), "+term"},
    {"$fd_begin", 0, FD_NATIVE(prolog_fd_begin_qxenv_multi_qx), ""},
    {"$fd_tell", 3, FD_NATIVE(prolog_fd_tell_qxenv_multi_qx), "+term +term [-integer]"},
    {"$fd_check_arguments", 2, FD_NATIVE(prolog_fd_check_arguments_qxenv_multi_qx), "+term -term"},
    {"$fd_post_global", 6, FD_NATIVE(prolog_fd_post_global_qxenv_multi_qx), "+term +term +integer +term +term -term"},
    {"$fd_prune_and_enqueue", 2, FD_NATIVE(prolog_fd_prune_and_enqueue_qxenv_multi_qx), "+term +term"},
    {"$fd_global_enqueue", 1, FD_NATIVE(prolog_fd_global_enqueue_qxenv_multi_qx), "+term"},
    {"$fd_statistics", 2, FD_NATIVE(prolog_fd_statistics_qxenv_multi_qx), "+integer [-integer]"},
    {"$fd_debug", 3, FD_NATIVE(prolog_fd_debug_qxenv_multi_qx), "+term +atom [-integer]"},
    {"$fd_overflow", 3, FD_NATIVE(prolog_fd_overflow_qxenv_multi_qx), "+term +atom [-integer]"},
    {"$fd_in_set", 3, FD_NATIVE(prolog_fd_in_set_qxenv_multi_qx), "+term +term +integer"},
    {"$fd_in_interval", 4, FD_NATIVE(prolog_fd_in_interval_qxenv_multi_qx), "+term +term +term +integer"},
    {"$fd_evaluate_indexical", 2, FD_NATIVE(prolog_fd_evaluate_indexical_qxenv_multi_qx), "-term [-integer]"},
    {"$fd_enqueue_all", 1, FD_NATIVE(prolog_fd_enqueue_all_qxenv_multi_qx), "+term"},
    {"$fd_labeling", 4, FD_NATIVE(prolog_fd_labeling_qxenv_multi_qx), "+term -term -term +term"},
    {"$fd_delete", 3, FD_NATIVE(prolog_fd_delete_qxenv_multi_qx), "+term -term +integer"},
    {"$fd_update_incumbent", 3, FD_NATIVE(prolog_fd_update_incumbent_qxenv_multi_qx), "+term +term +term"},
    {"$fd_incumbent_bound", 2, FD_NATIVE(prolog_fd_incumbent_bound_qxenv_multi_qx), "+term -term"},
    {"$fd_minint_maxint", 2, FD_NATIVE(prolog_fd_minint_maxint_qxenv_multi_qx), "-integer -integer"},
    {"$fd_dispatch_global_fast", 6, FD_NATIVE(prolog_fd_dispatch_global_fast_qxenv_multi_qx), "+term +term -term -term +term [-integer]"},
    {"$fd_set_singleton", 2, FD_NATIVE(prolog_fd_set_singleton_qxenv_multi_qx), "+term +term"},
    {"$fd_unify", 2, FD_NATIVE(prolog_fd_unify_qxenv_multi_qx), "+term +term"},
    {"$fd_bool", 3, FD_NATIVE(prolog_fd_bool_qxenv_multi_qx), "+term -term -term"},
    {"$fd_ac_linear", 3, FD_NATIVE(prolog_fd_ac_linear_qxenv_multi_qx), "+term -term -term"},
    {"$fd_product", 3, FD_NATIVE(prolog_fd_product_qxenv_multi_qx), "+term -term -term"},
    {"$fd_square", 3, FD_NATIVE(prolog_fd_square_qxenv_multi_qx), "+term -term -term"},
    {"$fd_quotient", 3, FD_NATIVE(prolog_fd_quotient_qxenv_multi_qx), "+term -term -term"},
    {"$fd_modulo", 3, FD_NATIVE(prolog_fd_modulo_qxenv_multi_qx), "+term -term -term"},
    {"$fd_remainder", 3, FD_NATIVE(prolog_fd_remainder_qxenv_multi_qx), "+term -term -term"},
    {"$fd_le_iff", 3, FD_NATIVE(prolog_fd_le_iff_qxenv_multi_qx), "+term -term -term"},
    {"$fd_eq_iff", 3, FD_NATIVE(prolog_fd_eq_iff_qxenv_multi_qx), "+term -term -term"},
    {"$fd_in_set_iff", 3, FD_NATIVE(prolog_fd_in_set_iff_qxenv_multi_qx), "+term -term -term"},
    {"$fd_oneof", 3, FD_NATIVE(prolog_fd_oneof_qxenv_multi_qx), "+term -term -term"},
    {"$fd_abs", 3, FD_NATIVE(prolog_fd_abs_qxenv_multi_qx), "+term -term -term"},
    {"$fd_linear", 3, FD_NATIVE(prolog_fd_linear_qxenv_multi_qx), "+term -term -term"},
    {"$fd_install", 5, FD_NATIVE(prolog_fd_install_qxenv_multi_qx), "+term +term +integer +integer +term"},
    {"$fd_post_reified", 5, FD_NATIVE(prolog_fd_post_reified_qxenv_multi_qx), "+term +term +term +term +term"},
    {"$fd_find_definition", 3, FD_NATIVE(prolog_fd_find_definition_qxenv_multi_qx), "+term +term -term"},
    {"$fd_indexical_data", 3, FD_NATIVE(prolog_fd_indexical_data_qxenv_multi_qx), "+term -term [-integer]"},
};
// clang-format on
constexpr size_t NATIVES = sizeof clpfd_natives / sizeof clpfd_natives[0];

/* The arrays handed to the engine, each ended by its terminator; and the interface record. */
native_fn clpfd_funcs[NATIVES + 1];
const char *clpfd_prednames[NATIVES + 1];
int clpfd_arities[NATIVES + 1];
qx_foreign_pred clpfd_preds[NATIVES + 1];

void fill_tables()
{
  for (size_t i = 0; i < NATIVES; i++) {
    clpfd_funcs[i] = clpfd_natives[i].entry;
    clpfd_prednames[i] = clpfd_natives[i].name;
    clpfd_arities[i] = clpfd_natives[i].arity;
    clpfd_preds[i] = {clpfd_natives[i].name, clpfd_natives[i].kinds};
  }
  clpfd_funcs[NATIVES] = nullptr;
  clpfd_prednames[NATIVES] = nullptr;
  clpfd_arities[NATIVES] = -1;
  clpfd_preds[NATIVES] = {nullptr, nullptr};
}

/* ---- the global constraints whose propagators are linked in ---- */

const pred_spec pred_table[] = {
    {"bool", 4, prolog_fd_bool_qxenv_multi_qx},
    {"ac_linear", 3, prolog_fd_ac_linear_qxenv_multi_qx},
    {"x*y=z", 3, prolog_fd_product_qxenv_multi_qx},
    {"x*x=y", 2, prolog_fd_square_qxenv_multi_qx},
    {"x/y=z", 3, prolog_fd_quotient_qxenv_multi_qx},
    {"x mod y=z", 3, prolog_fd_modulo_qxenv_multi_qx},
    {"x rem y=z", 3, prolog_fd_remainder_qxenv_multi_qx},
    {"le_iff", 3, prolog_fd_le_iff_qxenv_multi_qx},
    {"eq_iff", 3, prolog_fd_eq_iff_qxenv_multi_qx},
    {"in_set_iff", 3, prolog_fd_in_set_iff_qxenv_multi_qx},
    {"oneof", 3, prolog_fd_oneof_qxenv_multi_qx},
    {"abs", 2, prolog_fd_abs_qxenv_multi_qx},
    {"scalar_product", 4, prolog_fd_linear_qxenv_multi_qx},
    {"element", 3, prolog_fd_element_qxenv_multi_qx},
    {"all_different", 1, prolog_fd_all_different_qxenv_multi_qx},
    {"pairing", 2, prolog_fd_pairing_qxenv_multi_qx},
    {"circuit", 1, prolog_fd_circuit_qxenv_multi_qx},
    {"global_cardinality", 3, prolog_fd_gcc_qxenv_multi_qx},
    {"global_cardinality_helper", 2, prolog_fd_gcc_helper_qxenv_multi_qx},
    {"local_cardinality", 2, prolog_fd_lcc_qxenv_multi_qx},
    {"nvalue", 2, prolog_fd_nvalue_qxenv_multi_qx},
    {"disjoint1", 2, prolog_fd_disjoint1_qxenv_multi_qx},
    {"cumulative", 2, prolog_fd_cumulative_qxenv_multi_qx},
    {"disjoint2", 2, prolog_fd_disjoint2_qxenv_multi_qx},
    {"cumulatives", 3, prolog_fd_cumulatives_qxenv_multi_qx},
    {"bc_alldiff", 1, prolog_fd_bc_alldiff_qxenv_multi_qx},
    {"case", 4, prolog_fd_case_qxenv_multi_qx},
    {"lex_chain", 2, prolog_fd_lex_chain_qxenv_multi_qx},
    {"sorting", 3, prolog_fd_sorting_qxenv_multi_qx},
    {"minimum", 2, prolog_fd_minmax_qxenv_multi_qx},
    {"maximum", 2, prolog_fd_minmax_qxenv_multi_qx},
    {"relation", 3, prolog_fd_relation_qxenv_multi_qx},
    {"all_distinct", 1, prolog_fd_all_distinct_qxenv_multi_qx},
    {"assignment", 2, prolog_fd_assignment_qxenv_multi_qx},
    {"assignment_helper", 2, prolog_fd_assignment_helper_qxenv_multi_qx},
    {"geost", 4, prolog_fd_geost_qxenv_multi_qx},
    {nullptr, 0, nullptr},
};

/* ---- functor words of the instance, registered while it lives ---- */

struct functor_slot {
  TAGGED fd_state::*field;
  const char *name;
  uint32_t arity;
};
const functor_slot functor_slots[] = {
    {&fd_state::functor_dom4, "dom", 4},
    {&fd_state::functor_in_set2, "in_set", 2},
    {&fd_state::functor_dom, "dom", 1},
    {&fd_state::functor_min, "min", 1},
    {&fd_state::functor_max, "max", 1},
    {&fd_state::functor_minmax, "minmax", 1},
    {&fd_state::functor_val, "val", 1},
    {&fd_state::functor_none, "none", 1},
    {&fd_state::functor_call, "call", 1},
    {&fd_state::functor_eq, "=", 2},
    {&fd_state::functor_lists7, "$fdlists", 7},
    {&fd_state::functor_leqc, "t=<u+c", 3},
    {&fd_state::functor_alldiff, "all_distinct", 1},
    {&fd_state::token_a, "a", 1},
    {&fd_state::token_d, "d", 1},
    {&fd_state::token_h, "h", 1},
    {&fd_state::token_l, "l", 1},
    {&fd_state::token_t, "t", 1},
};

TAGGED registered_functor(ORVALIS_API_STRUCT *api, const char *name, uint32_t arity)
{
  TAGGED word = fd_functor_word(QX_atom_from_string(name), arity);
  QX_register_atom(word);
  return word;
}

}  // namespace

const qx_foreign_interface qx_clpfd_interface = {"clpfd", "clpfd", clpfd_preds};

TAGGED fd_attribute[FD_ATTRIBUTE_WORDS] = {
    functor_v4,
    MakeSmall(1),
    MakeSmall(0),
    str_at(5),
    str_at(8), /* v/4 */
    functor_mutable2,
    str_at(11),
    MakeSmall(0), /* '$mutable'(Dom, 0) */
    functor_mutable2,
    str_at(16),
    MakeSmall(0), /* '$mutable'(Lists, 0) */
    0,
    lst_at(24),
    atom_inf,
    atom_sup,
    atom_sup, /* dom(Set, Min, Max, Size) */
    0,
    MakeSmall(0),
    MakeSmall(0),
    atom_nil,
    atom_nil, /* '$fdlists'(Count, Mask, */
    atom_nil,
    atom_nil,
    atom_nil, /*   five lists) */
    lst_at(13),
    atom_nil, /* [[Min|Max]] */
};

ORVALIS_API_STRUCT fd_engine_tables;

const bool fd_gc_stress = [] {
#ifdef QX_GC_STRESS
  return true;
#else
  const char *stress = std::getenv("QX_GC_STRESS");
  return stress && stress[0] == '1';
#endif
}();

int qx_main_QXENV_clpfd(QX_MAINFUN_PARAMS_STRUCT *p)
{
  if (p->version != QX_MAINFUN_PARAMS_VERSION) return 2;
  if (!p->qxenv || !p->qxenv->dispatch_API_ORVALIS_H) return 1;
  uint32_t version = p->qxenv->dispatch_API_ORVALIS_H->version;
  if (version >> 16 != 3 || version < 0x301C3) return 2;
  fd_engine_tables.dispatch_API_ORVALIS_H = p->qxenv->dispatch_API_ORVALIS_H;
  fd_engine_tables.dispatch_API_SUPPORT_H = p->qxenv->dispatch_API_SUPPORT_H;
  fill_tables();
  p->flags |= QX_MAINFUN_API_INIT;
  p->funcs = clpfd_funcs;
  p->prednames = clpfd_prednames;
  p->arities = clpfd_arities;
  p->init_fun = (native_fn)(void *)&fd_initialize_qxenv_multi_qx;
  p->deinit_fun = (native_fn)(void *)&fd_deinitialize_qxenv_multi_qx;
  return 0;
}

void fd_initialize_qxenv_multi_qx(ORVALIS_API_STRUCT *api, int when)
{
  (void)when;
  struct fd_state *fd = (struct fd_state *)QX_malloc(sizeof(struct fd_state));
  if (!fd) qx_memory_fault(nullptr, -1);
  std::memset(fd, 0, sizeof *fd);
  fd->overflowing = 1;
  api->stash = fd;
  fd_spares_open();
  for (const functor_slot &f : functor_slots)
    fd->*f.field = registered_functor(api, f.name, f.arity);
  fd_attribute[11] = fd->functor_dom4;
  fd_attribute[16] = fd->functor_lists7;
  static const TAGGED fd_state::*const keys[8] = {nullptr,
                                                  &fd_state::functor_dom,
                                                  &fd_state::functor_min,
                                                  &fd_state::functor_dom,
                                                  &fd_state::functor_max,
                                                  &fd_state::functor_dom,
                                                  &fd_state::functor_minmax,
                                                  &fd_state::functor_dom};
  for (int i = 1; i < 8; i++) fd->linkage_keys[i] = fd->*keys[i];
  fd->fd_module = find_module(atom_clpfd, 1);
  fd_define_predicates(api, 1);
  fd->call_action1 = (definition *)QX_predicate("call_action", 1, "clpfd");
  fd->overflow_action1 = (definition *)QX_predicate("overflow_action", 1, "clpfd");
  fd->dispatch = new_switch_on_key(32, 0);
  for (const pred_spec *row = pred_table; row->name; row++)
    dyn_puthash(&fd->dispatch, registered_functor(api, row->name, (uint32_t)row->arity))->value =
        (TAGGED)(uintptr_t)row->function;
}

void fd_deinitialize_qxenv_multi_qx(ORVALIS_API_STRUCT *api, int when)
{
  (void)when;
  struct fd_state *fd = fd_state(api);
  if (!fd) return;
  for (const pred_spec *row = pred_table; row->name; row++)
    QX_unregister_atom(fd_functor_word(QX_atom_from_string(row->name), (uint32_t)row->arity));
  dispose_switch_on_key(fd->dispatch);
  fd->dispatch = nullptr;
  for (const functor_slot &f : functor_slots) QX_unregister_atom(fd->*f.field);
  fd_define_predicates(api, 0);
  fd_dealloc(api);
  fd_spares_close(api);
  QX_free(fd);
  api->stash = nullptr;
}

void fd_define_predicates(ORVALIS_API_STRUCT *api, int enable)
{
  if (!enable) fd_release_indexicals(api);
  QX_install_fd_hooks(api, fd_manager_hook, fd_restore_hook, fd_save_hook, fd_destructor_hook,
                      enable);
}

/* The table is filled once, when the instance starts, so a key's value never changes: the cache
 * of keys and values, hashed on the whole key, spares the propagation loop most lookups (a key the
 * table lacks is kept with the value 0). */
fd_global_fn fd_global_function_lookup(ORVALIS_API_STRUCT *api, TAGGED key)
{
  struct fd_state *fd = fd_state(api);
  auto &c = fd->dispatch_cache[fd_dispatch_slot(key)];
  sw_on_key_node *node = incore_gethash(fd->dispatch, key);
  c = {key, node->key == key ? node->value : 0};
  return (fd_global_fn)(uintptr_t)c.value;
}

int dispatch_global_fast(ORVALIS_API_STRUCT *api, worker *w, TAGGED constraint, QX_term_ref state0,
                         QX_term_ref state, QX_term_ref actions, QX_term_ref global)
{
  fd_global_fn run = fd_global_function(api, deref(constraint));
  if (!run) return 0;
  w->term[0] = fd_ref_get(api, state0);
  w->term[1] = fd_ref_get(api, global);
  w->term[2] = atom_nil; /* no loop mark: the run checks the record */
  run(api, state0, state, actions);
  return fd_state(api)->fd_overflow ? 0 : 1;
}

void fd_running_native(ORVALIS_API_STRUCT *api, const char **name, int *arity)
{
  *name = "";
  *arity = 0;
  const void *running = fd_state(api)->native;
  for (const native_row &row : clpfd_natives)
    if (running && (const void *)row.function == running) {
      *name = row.name;
      *arity = row.arity;
    }
}

int fd_check_global(ORVALIS_API_STRUCT *api, worker *w)
{
  TAGGED g = deref(w->term[1]);
  if (IsStr(g) && StrFunctor(g) == MakeFunctor(atom_global, 5)) return 1;
  if (IsVar(g))
    fd_instantiation_error(api, 0);
  else
    fd_type_error(api, "global", g, 0);
  fd_native_fail(api);
  return 0;
}

long prolog_fd_dispatch_global_fast_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref constraint,
                                                   QX_term_ref state0, QX_term_ref state,
                                                   QX_term_ref actions, QX_term_ref global)
{
  worker *w = fd_worker(api);
  for (QX_term_ref r : {constraint, state0, global}) fd_ref_put(api, r, fd_ref_get(api, r));
  if (dispatch_global_fast(api, w, fd_ref_get(api, constraint), state0, state, actions, global))
    return 1;
  /* A run that overflowed ends the call: failure, or the overflow action's exception. The
   * propagator's own overflow check may have done so already. */
  if (fd_state(api)->fd_overflow && w->fli_info.excp_flag)
    fd_check_overflow(api, fd_ref_get(api, constraint));
  return 0;
}
