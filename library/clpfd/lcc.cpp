/* local_cardinality/2: the relation of global_cardinality/3 without costs, reasoned key by key on
 * the shared variable/value graph (fd_gcc.h): each count lies between the variables fixed to its
 * key and those that can take it, and within what the other counts leave of the active
 * variables; a count whose minimum is all its variables forces them to its key, and a count
 * saturated by fixed variables leaves every other variable. No flow and no components: a key
 * leaves a variable only by these two rules.
 *
 * Claims: in one iteration `component` marks a value that forced or saturated (component[j] = j)
 * and the variables it claimed (component[x] = j); every arc whose ends carry different marks
 * goes. The block keeps per value the number of its fixed variables in the graph's first flow
 * array, which this constraint does not use for a flow.
 */
#include <algorithm>

#include "fd_gcc.h"
#include "fd_globals.h"
#include "fd_sets.h"

namespace {

enum { ARG_NVARS = 1, ARG_NVALS, ARG_VARS, ARG_KEYS, ARG_HANDLE, ARG_STAMP };
const fd_vg_args lcc_args = {ARG_STAMP, ARG_NVARS, ARG_NVALS, ARG_VARS, ARG_KEYS};

int32_t low_of(const dvar *c) { return GetSmall(c->min); }
int32_t high_of(const dvar *c) { return GetSmall(c->max); }

/* Each count within its fixed and possible variables; nfixed per value. false on a wipe-out. */
bool lcc_graph_bounds(fd_vgraph *g, int64_t *summin, int64_t *summax, bool *flag)
{
  int *nfixed = g->mate[0];
  *summin = *summax = 0;
  for (int k = 0; k < g->nvaltargets; k++) {
    int j = g->valtarget[k], possible = g->out_degree[j];
    const int *vars = fd_vg_vars(g, j);
    nfixed[j] = 0;
    for (int i = 0; i < possible; i++) nfixed[j] += g->in_degree[vars[i]] == 1;
    dvar *c = &g->dv[j];
    if (fds_val(c->min) < nfixed[j] || fds_val(c->max) > possible) {
      if (dvar_fix_interval_t(c, MakeSmall(nfixed[j]), MakeSmall(possible)) < 0) return false;
      if (low_of(c) > nfixed[j] || high_of(c) < possible) *flag = true;
    }
    *summin += low_of(c);
    *summax += high_of(c);
  }
  return true;
}

/* Forcing and saturation of key j: false when a variable is claimed by two keys. */
bool propagate_values(fd_vgraph *g, int j, bool *flag)
{
  const int *nfixed = g->mate[0];
  if (g->component[j] == j || nfixed[j] >= g->out_degree[j]) return true;
  const int *vars = fd_vg_vars(g, j);
  if (low_of(&g->dv[j]) == g->out_degree[j]) {
    *flag = true;
    g->component[j] = j;
    for (int i = 0; i < g->out_degree[j]; i++) {
      int x = vars[i];
      if (g->component[x] != -1 && g->component[x] != j) return false;
      g->component[x] = j;
    }
  } else if (high_of(&g->dv[j]) == nfixed[j]) {
    *flag = true;
    g->component[j] = j;
    for (int i = 0; i < g->out_degree[j]; i++)
      if (g->in_degree[vars[i]] == 1) g->component[vars[i]] = j;
  }
  return true;
}

/* The sum passes with the forcing rules, until the counts' spread stays. false on failure. */
bool lcc_sum_passes(fd_vgraph *g, int64_t summin, int64_t summax, bool *flag)
{
  int64_t spread;
  do {
    spread = summax - summin;
    for (int k = 0; k < g->nvaltargets; k++) {
      int j = g->valtarget[k];
      dvar *c = &g->dv[j];
      int64_t othermin = summin - low_of(c), othermax = summax - high_of(c);
      int64_t lo = g->nvartargets - othermax, hi = g->nvartargets - othermin;
      if (low_of(c) < lo || high_of(c) > hi) {
        int32_t want_lo = (int32_t)std::clamp<int64_t>(lo, 0, g->nvars + 1);
        int32_t want_hi = (int32_t)std::clamp<int64_t>(hi, -1, g->nvars);
        if (dvar_fix_interval_t(c, MakeSmall(want_lo), MakeSmall(want_hi)) < 0) return false;
        if (low_of(c) > want_lo || high_of(c) < want_hi) *flag = true;
      }
      if (!propagate_values(g, j, flag)) return false;
      summin = othermin + low_of(c);
      summax = othermax + high_of(c);
    }
  } while (g->nvaltargets > 0 && summax - summin != spread);
  return true;
}

bool lcc_filter(ORVALIS_API_STRUCT *api, worker *w, fd_vgraph *g)
{
  for (;;) {
    bool flag = false;
    for (int k = 1; k < g->nactive - 1; k++) g->component[g->activeset[k]] = -1;
    int64_t summin, summax;
    if (!lcc_graph_bounds(g, &summin, &summax, &flag)) return false;
    if (g->nvaltargets > 0 && !lcc_sum_passes(g, summin, summax, &flag)) return false;
    if (!flag) return true;
    fd_vg_compress(api, w, g, nullptr);
  }
}

/* A value stays active while some of its variables is not fixed. */
void lcc_contract_vals(fd_vgraph *g)
{
  for (int k = 0; k < g->nvaltargets;) {
    int j = g->valtarget[k];
    if (g->mate[0][j] >= g->out_degree[j])
      fd_vg_settle(g, g->valtarget, k, &g->nvaltargets);
    else
      k++;
  }
}

int lcc_check(ORVALIS_API_STRUCT *api, worker *w, TAGGED s)
{
  return fd_vg_check_keyed(api, w, s, &lcc_args);
}

fd_vg_block *lcc_create(fd_entry *e) { return fd_vg_create_keyed(e, &lcc_args, sizeof(fd_vg_block)); }

int lcc_run(ORVALIS_API_STRUCT *api, worker *w, fd_vg_block *b, int32_t stamp)
{
  fd_vgraph *g = &b->g;
  fd_vg_start(api, w, b, stamp, &lcc_args, 0);
  if (!lcc_filter(api, w, g)) return -1;
  int outcome = fd_vg_new_domains(api, w, g);
  if (outcome < 0) return -1;
  for (int k = 0; k < g->nvaltargets; k++) dvar_pruning_done(api, w, &g->dv[g->valtarget[k]]);
  fd_vg_export(api, w, g, g->vartarget, g->nvartargets);
  fd_vg_export(api, w, g, g->valtarget, g->nvaltargets);
  lcc_contract_vals(g);
  fd_vg_contract_vars(g);
  fd_vg_store_targets(w, &lcc_args, g);
  return outcome;
}

}  // namespace

void prolog_fd_lcc_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                  QX_term_ref actions)
{
  static const fd_vg_kind kind = {lcc_args, lcc_check, lcc_create, lcc_run};
  fd_vg_entry(api, state0, state, actions, &kind);
}
