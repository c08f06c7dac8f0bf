/* cumulatives/3: tasks placed on machines, each machine with a capacity that the heights of the
 * tasks running on it must not exceed (at-most mode) or must reach (at-least mode) at every point
 * that some task on it covers. Heights may be negative.
 *
 * At-least mode is at-most mode on negated heights and capacities, so the propagator works on
 * "effective" heights throughout: h in at-most mode, -h in at-least mode.
 *
 * The work is driven by a queue of time intervals: at each call the windows of the tasks whose
 * fingerprint moved since the snapshot of this branch (the last call's, or the posting's after a
 * backtrack) are queued; each interval is swept machine by machine over events (compulsory parts
 * of tasks fixed on a machine, the least negative heights over whole windows) and the tasks
 * waiting on a prune stack are pruned against the level of each stretch. A task that changes
 * queues its window again. Options: 0x1 at-most mode; 0x2 generalization (a task on several
 * candidate machines loses the values forbidden on all of them); 0x4 task intervals (energy
 * reasoning over the windows of the targets); 0x8 on a new branch only the tasks up to the first
 * one not entirely fixed are pruned.
 *
 * State: cumulatives(NTasks, NMachines, Options, Tasks, Machines, NTargets, NSources, Handle,
 * Stamp); a task is task(O, D, E, H, M) of variable entries, a machine machine(Id, Capacity) in
 * ascending Id order.
 */
#include <algorithm>
#include <climits>
#include <cstring>

#include "fd_globals.h"
#include "fd_qsort.h"
#include "fd_sets.h"

namespace {

constexpr int VARS = 5; /* origin, duration, end, height, machine */
constexpr int OPTIONS = 0xf; /* the option bits defined above */
enum { ORG, DUR, END, HGT, MCH };
/* Infinite bounds as numbers far beyond the small integers: sums of a few of them keep their
 * side, and any result beyond the small integers is infinite again. */
constexpr int64_t BIG = int64_t(1) << 40;

/* task flags */
constexpr int TF_ORG = 0x1, TF_END = 0x2, TF_DUR = 0x4, TF_HGT = 0x8, TF_MCH = 0x10,
              TF_PRUNE = 0x20, TF_TAKEN = 0x40;
constexpr int TF_CHANGED = TF_ORG | TF_END | TF_DUR | TF_HGT | TF_MCH;
constexpr int var_bit[VARS] = {TF_ORG, TF_DUR, TF_END, TF_HGT, TF_MCH};

/* event flags */
constexpr unsigned EV_START = 0x1, EV_END = 0x2, EV_IF_HARMLESS = 0x4, EV_ALWAYS = 0x8,
                   EV_UNLESS_HARMLESS = 0x10, EV_COMPULSORY = 0x20, EV_FIXED = 0x40,
                   EV_PRUNE = 0x80;

struct event {
  int64_t date;
  int task;
  int64_t height;
  int machine;   /* compulsory: machine position */
  TAGGED mset;   /* non-compulsory: the task's machine identifiers when the event was made */
  unsigned flags;
};

/* Generalization: the values of one variable of a task forbidden on the machine being swept. */
constexpr int GVARS = 4; /* origin, end, duration, height */
constexpr int gen_var[GVARS] = {ORG, END, DUR, HGT};

struct task_col {
  int flags, m_status;
  int64_t htask, lctkey;
};

struct symmcum_data {
  daemon_frame frame;
  ORVALIS_API_STRUCT *qxenv;
  QX_globref refbase; /* 10 references per task */
  int32_t options, stamp;
  int ntasks, nmachines;
  int last_to_prune, ntargets, nsources;
  int64_t capacity_min, capacity_max, max_duration; /* effective capacities */
  int64_t min_min_height, max_min_height, min_max_height, max_max_height;
  int *target;   /* targets sorted by lctkey, then sources */
  int64_t *minest;
  int64_t *initial_size, *initial_est, *initial_lct;
  int64_t *previous_size, *previous_est, *previous_lct;
  int64_t *table_size, *table_est, *table_lct;
  int32_t *real, *capacity; /* per machine position */
  task_col *task;
  dvar *dv; /* VARS per task */
};

void symmcum_destructor(void *block)
{
  fd_entry_destroy(block, ((symmcum_data *)block)->refbase);
}

inline int64_t num(TAGGED b)
{
  int32_t v = fds_val(b);
  return v == FDS_INF ? -BIG : v == FDS_SUP ? BIG : v;
}
inline TAGGED bound(int64_t v)
{
  return v < QX_SMALL_MIN ? atom_inf : v > QX_SMALL_MAX ? atom_sup : MakeSmall((int32_t)v);
}
inline bool finite(int64_t v) { return v > -BIG && v < BIG; }
inline int64_t ceil_div(int64_t a, int64_t b) { return (a + b - 1) / b; } /* a >= 0, b > 0 */

/* One call's working state. */
struct sweeper {
  ORVALIS_API_STRUCT *api;
  worker *w;
  symmcum_data *b;
  bool upper, generalize, intervals;
  TAGGED queue = atom_nil; /* time intervals still to sweep */
  /* Narrowings so far: a task's fingerprint moved since a point when this count moved (its
   * bounds only narrow at their ends, its machines lose values). */
  uint64_t narrowed = 0;
  /* per interval */
  int nfiltered = 0, *filtered = nullptr;
  TAGGED *mset = nullptr; /* per task: its machine identifiers when taken */
  int *size_ = nullptr;   /* per task: candidate machines counted by generalization */
  event *eventqc = nullptr, *eventqnc = nullptr;
  int nqc = 0, nqnc = 0;
  int top_prune = 0, *stack_prune = nullptr;
  int nconstrained = 0;
  int64_t profile = 0;
  /* generalization: per task and variable, the count of machines forbidding each value, the
   * values forbidden on the machine being swept and that machine (-1: none) */
  struct profile **gprofile = nullptr;
  TAGGED *tempo = nullptr;
  int *tempo_machine = nullptr;
  int *gen_entry = nullptr, ngen = 0; /* task * GVARS + variable, opened on this machine */
  /* frontier lists: heads per machine, links per task */
  int *first_sweep = nullptr, *first_prune = nullptr, *first_check = nullptr;
  int *next_sweep = nullptr, *next_prune = nullptr, *next_check = nullptr;
  int64_t *start_frontier = nullptr, *end_frontier = nullptr, *best_status = nullptr;
  bool *init_status = nullptr;
  /* task intervals */
  int64_t *min_len = nullptr, *max_len = nullptr, *max_min_len = nullptr;
  bool *inside = nullptr;

  dvar *v(int t, int k) const { return &b->dv[VARS * t + k]; }
  int64_t lo(int t, int k) const { return num(v(t, k)->min); }
  int64_t hi(int t, int k) const { return num(v(t, k)->max); }
  int64_t hlo(int t) const { return upper ? lo(t, HGT) : -hi(t, HGT); }
  int64_t hhi(int t) const { return upper ? hi(t, HGT) : -lo(t, HGT); }
  int64_t cap(int m) const { return upper ? b->capacity[m] : -(int64_t)b->capacity[m]; }
  static bool harmless(int64_t h, int64_t c) { return h <= 0 && h <= c; }
  bool fixed_machine(int t) const { return lo(t, MCH) == hi(t, MCH); }
  bool holds(int t, int m) const { return dvar_contains_value_t(v(t, MCH), MakeSmall(b->real[m])); }
  bool task_fixed(int t) const
  {
    for (int k = 0; k < VARS; k++)
      if (lo(t, k) != hi(t, k)) return false;
    return true;
  }
  /* The first machine position whose identifier is >= id. */
  int virtual_machine(int64_t id) const
  {
    int l = 0, h = b->nmachines;
    while (l < h) {
      int mid = (l + h) / 2;
      if (b->real[mid] < id)
        l = mid + 1;
      else
        h = mid;
    }
    return l;
  }
  /* Changes of the bounds, of the relevant height bound or of the machine values. */
  int64_t task_state(int t) const
  {
    int64_t s = 0;
    for (int k : {ORG, END, DUR}) s += std::min(hi(t, k) - lo(t, k), BIG);
    return s - std::max(hlo(t), -BIG) + dvar_value_count(v(t, MCH));
  }

  bool note(int t, int k, int mask)
  {
    if (mask < 0) return false;
    if (mask > 0) b->task[t].flags |= var_bit[k], narrowed++;
    return true;
  }
  bool fix(int t, int k, int64_t lb, int64_t ub)
  {
    if (lb <= lo(t, k) && ub >= hi(t, k)) return true;
    return note(t, k, dvar_fix_interval_t(v(t, k), bound(lb), bound(ub)));
  }
  /* Removes lb..ub where it touches a bound: no holes are punched. */
  bool prune(int t, int k, int64_t lb, int64_t ub)
  {
    if (lb > ub || ub < lo(t, k) || lb > hi(t, k) || (lb > lo(t, k) && ub < hi(t, k))) return true;
    if (lb <= lo(t, k)) return fix(t, k, ub + 1, BIG);
    return fix(t, k, -BIG, lb - 1);
  }
  /* Effective heights within lb..ub, or without them. */
  bool fix_height(int t, int64_t lb, int64_t ub) { return upper ? fix(t, HGT, lb, ub) : fix(t, HGT, -ub, -lb); }
  bool prune_height(int t, int64_t lb, int64_t ub)
  {
    return upper ? prune(t, HGT, lb, ub) : prune(t, HGT, -ub, -lb);
  }
  bool prune_machine_value(int t, int m)
  {
    TAGGED id = MakeSmall(b->real[m]);
    return note(t, MCH, dvar_prune_interval_t(api, v(t, MCH), id, id, w));
  }

  /* origin + duration = end on bounds. */
  bool task_renormalize(int t)
  {
    for (;;) {
      int64_t ol = lo(t, ORG), oh = hi(t, ORG), dl = lo(t, DUR), dh = hi(t, DUR), el = lo(t, END),
              eh = hi(t, END);
      if (ol >= el - dh && oh <= eh - dl && dl >= el - oh && dh <= eh - ol && el >= dl + ol &&
          eh <= dh + oh)
        return true;
      int before = b->task[t].flags;
      if (!fix(t, ORG, el - dh, eh - dl) || !fix(t, DUR, el - oh, eh - ol) ||
          !fix(t, END, ol + dl, oh + dh))
        return false;
      if (b->task[t].flags == before && ol == lo(t, ORG) && oh == hi(t, ORG) && dl == lo(t, DUR) &&
          dh == hi(t, DUR) && el == lo(t, END) && eh == hi(t, END))
        return true; /* infinite bounds that cannot narrow */
    }
  }
  void enqueue(int64_t low, int64_t up)
  {
    if (low <= up) queue = fd_union_interval(api, w, queue, bound(low), bound(up));
  }
  /* After t was pruned (the count of narrowings moved since f): its bounds consistent again, its
   * window swept again. */
  bool requeue_if_changed(int t, uint64_t f)
  {
    if (narrowed == f) return true;
    if (!task_renormalize(t)) return false;
    enqueue(b->table_est[t], b->table_lct[t]);
    return true;
  }

  bool prunable(int t) const
  {
    return (b->task[t].flags & TF_PRUNE) && t <= b->last_to_prune;
  }
  template <typename F>
  void each_task_of(int64_t low, int64_t up, F take);
  bool interval(int64_t low, int64_t up);
  void widen(int64_t *low, int64_t *up);
  void make_events(int t, int64_t low, int64_t up);
  bool sweep_machine(int m, int64_t low, int64_t up);
  bool check_resource(int m, int64_t low, int64_t up);
  void cd_update(int t, int k, int m, int64_t lb, int64_t ub);
  bool close_generalization(int m);
  bool prune_generalize(int t);
  void update_frontier(int m, int64_t d, int64_t date);
  bool frontier_pruning(int m);
  bool task_intervals();
  bool ti_task_interval(int64_t low, int64_t up, TAGGED M);
  int64_t ti_max_length_intersection(int64_t low, int64_t up, int t) const;
  void alloc_scratch();
  int run(bool first, bool fresh, int32_t stamp);
  void sort_targets();
  void update_task_states();
};

void sweeper::alloc_scratch()
{
  int n = b->ntasks, nm = b->nmachines;
  auto ints = [&](int k) { return (int *)fd_temp_alloc(api, w, (size_t)k * sizeof(int)); };
  auto longs = [&](int k) { return (int64_t *)fd_temp_alloc(api, w, (size_t)k * sizeof(int64_t)); };
  filtered = ints(n);
  stack_prune = ints(n);
  size_ = ints(n);
  mset = (TAGGED *)fd_temp_alloc(api, w, (size_t)n * sizeof(TAGGED));
  eventqc = (event *)fd_temp_alloc(api, w, (size_t)2 * n * sizeof(event));
  eventqnc = (event *)fd_temp_alloc(api, w, (size_t)4 * n * sizeof(event));
  first_sweep = ints(nm), first_prune = ints(nm), first_check = ints(nm);
  next_sweep = ints(n), next_prune = ints(n), next_check = ints(n);
  start_frontier = longs(n), end_frontier = longs(n), best_status = longs(n);
  init_status = (bool *)fd_temp_alloc(api, w, (size_t)n);
  min_len = longs(n), max_len = longs(n), max_min_len = longs(nm);
  inside = (bool *)fd_temp_alloc(api, w, (size_t)n);
  if (generalize) {
    gprofile = (struct profile **)fd_temp_alloc(api, w, (size_t)GVARS * n * sizeof(void *));
    tempo = (TAGGED *)fd_temp_alloc(api, w, (size_t)GVARS * n * sizeof(TAGGED));
    tempo_machine = ints(GVARS * n);
    gen_entry = ints(GVARS * n);
    for (int i = 0; i < GVARS * n; i++) gprofile[i] = nullptr;
  }
}

/* The tasks that may meet low..up: the targets from the first whose lctkey exceeds low, then the
 * sources, each part while its least origin min stays below up. */
template <typename F>
void sweeper::each_task_of(int64_t low, int64_t up, F take)
{
  int l = 0, h = b->ntargets;
  while (l < h) {
    int mid = (l + h) / 2;
    if (b->task[b->target[mid]].lctkey <= low)
      l = mid + 1;
    else
      h = mid;
  }
  for (int i = l; i < b->ntargets && b->minest[i] < up; i++) take(b->target[i]);
  for (int i = b->ntargets; i < b->ntargets + b->nsources && b->minest[i] < up; i++)
    take(b->target[i]);
}

/* Widens low..up to the windows of the tasks that meet it, until none sticks out: the stretches
 * of a sweep then depend on the tasks' windows only, not on which interval was queued. */
void sweeper::widen(int64_t *low, int64_t *up)
{
  for (bool wider = true; wider;) {
    wider = false;
    int64_t l = *low, u = *up;
    each_task_of(l, u, [&](int t) {
      if (!(b->task[t].flags & TF_TAKEN) || hi(t, END) <= l || lo(t, ORG) >= u || hi(t, DUR) < 1)
        return;
      if (lo(t, ORG) < *low) *low = lo(t, ORG), wider = true;
      if (hi(t, END) > *up) *up = hi(t, END), wider = true;
    });
  }
}

void sweeper::make_events(int t, int64_t low, int64_t up)
{
  task_col &tc = b->task[t];
  int64_t h = hlo(t), omin = lo(t, ORG), omax = hi(t, ORG), emin = lo(t, END), emax = hi(t, END);
  tc.htask = h;
  tc.m_status = -1;
  bool fixedm = fixed_machine(t);
  int vm = fixedm ? virtual_machine(lo(t, MCH)) : -1;
  int64_t c = fixedm ? cap(vm) : 0;
  bool compulsory = omax < emin && omax < up && emin > low && lo(t, DUR) >= 1;
  auto nc = [&](int64_t from, int64_t to, int64_t height, unsigned flags) {
    eventqnc[nqnc++] = {std::max(from, low), t, height, -1, mset[t], flags | EV_START};
    if (to < up) eventqnc[nqnc++] = {to, t, height, -1, mset[t], flags | EV_END};
  };
  auto comp = [&](int64_t height) {
    eventqc[nqc++] = {std::max(omax, low), t, height, vm, 0, EV_COMPULSORY | EV_ALWAYS | EV_FIXED | EV_START};
    if (emin < up) eventqc[nqc++] = {emin, t, height, vm, 0, EV_COMPULSORY | EV_ALWAYS | EV_FIXED | EV_END};
  };
  if (prunable(t)) nc(omin, emax, 0, EV_PRUNE | EV_ALWAYS);
  if (fixedm ? harmless(h, c) : h <= 0) {
    /* A height of at most 0 lowers the level wherever the task may be: counted over its whole
     * window on every candidate machine. */
    unsigned open = harmless(h, b->capacity_min) ? EV_IF_HARMLESS
                    : h > b->capacity_max      ? EV_UNLESS_HARMLESS
                                               : EV_IF_HARMLESS | EV_UNLESS_HARMLESS;
    nc(omin, emax, h, fixedm ? EV_FIXED | EV_ALWAYS : open);
  } else if (!fixedm) {
    /* a positive height on an open machine counts nowhere */
  } else if (h > 0) {
    next_check[t] = first_check[vm];
    first_check[vm] = t;
    if (compulsory) {
      comp(h);
    } else if (omax >= emin && omax + 2 - emin <= b->max_duration && emin - 1 >= low &&
               lo(t, DUR) >= 1) {
      start_frontier[t] = emin - 1;
      end_frontier[t] = omax;
      init_status[t] = false;
      next_sweep[t] = first_sweep[vm];
      first_sweep[vm] = t;
    }
  } else { /* fixed machine, 0 >= h > c: the task may not run alone */
    if (compulsory) comp(0);
    nc(omin, emax, h, EV_FIXED | EV_ALWAYS);
  }
}

/* Whether an event counts on machine m. */
inline bool counts(unsigned flags, int64_t h, int64_t c)
{
  if (flags & EV_ALWAYS) return true;
  bool harm = h <= 0 && h <= c;
  return ((flags & EV_IF_HARMLESS) && harm) || ((flags & EV_UNLESS_HARMLESS) && !harm);
}

bool sweeper::sweep_machine(int m, int64_t low, int64_t up)
{
  profile = 0;
  nconstrained = 0;
  top_prune = 0;
  ngen = 0;
  int64_t d = low, c = cap(m);
  TAGGED id = MakeSmall(b->real[m]);
  int ic = 0, inc = 0;
  while (ic < nqc && eventqc[ic].machine < m) ic++;
  for (;;) {
    while (inc < nqnc && !fd_member(id, eventqnc[inc].mset)) inc++;
    bool hasc = ic < nqc && eventqc[ic].machine == m;
    if (!hasc && inc == nqnc) break;
    const event &e = hasc && (inc == nqnc || eventqc[ic].date <= eventqnc[inc].date)
                         ? eventqc[ic++]
                         : eventqnc[inc++];
    if (e.flags & EV_PRUNE) {
      if (e.flags & EV_START) stack_prune[top_prune++] = e.task;
      continue;
    }
    if (e.date > d) {
      if (!check_resource(m, d, e.date)) return false;
      update_frontier(m, d, e.date);
      d = e.date;
    }
    if (!counts(e.flags, e.height, c)) continue;
    bool start = e.flags & EV_START;
    profile += start ? e.height : -e.height;
    if (e.flags & EV_COMPULSORY) nconstrained += start ? 1 : -1;
    b->task[e.task].m_status = start ? m : -1;
  }
  if (d < up) {
    if (!check_resource(m, d, up)) return false;
    update_frontier(m, d, up);
  }
  return !generalize || close_generalization(m);
}

/* The stretch low..up of machine m against the level: failure, or the tasks of the prune stack
 * forced to cover it, kept off it, or capped in height over it. */
bool sweeper::check_resource(int m, int64_t low, int64_t up)
{
  int64_t L = profile, c = cap(m);
  if (nconstrained > 0 && L > c) return false;
  int kept = 0;
  for (int i = 0; i < top_prune; i++) {
    int t = stack_prune[i];
    if (hi(t, END) > up) stack_prune[kept++] = t;
    if (!holds(t, m)) continue;
    task_col &tc = b->task[t];
    uint64_t f = narrowed;
    int64_t h = hlo(t), own = tc.m_status == m ? tc.htask : 0;
    bool fixedm = fixed_machine(t), open = !fixedm && generalize && size_[t] > 1;
    if (h <= 0 && nconstrained > 0 && L - own > c) {
      /* only t can lower the level: it runs on m over the whole stretch */
      int64_t dmax = hi(t, DUR);
      if (!fix(t, MCH, b->real[m], b->real[m]) || !fix(t, ORG, up - dmax, low) ||
          !fix(t, END, up, low + dmax) ||
          !fix(t, DUR, std::min(up - hi(t, ORG), lo(t, END) - low), dmax))
        return false;
      fixedm = true;
    }
    if ((h > c || h > 0) && L - own + tc.htask > c) {
      /* t must not run on m during the stretch */
      int64_t dmin = lo(t, DUR);
      if (low < lo(t, END) && up > hi(t, ORG) && dmin >= 1) {
        if (!prune_machine_value(t, m)) return false;
      } else {
        int64_t dmax = std::max({low - lo(t, ORG), int64_t(0), hi(t, END) - up});
        if (fixedm) {
          if (dmin > 0 && (!prune(t, ORG, low - dmin + 1, up - 1) || !prune(t, END, low + 1, up + dmin - 1)))
            return false;
          if (!fix(t, DUR, dmin, dmax)) return false;
        } else if (open) {
          if (dmin > 0) {
            cd_update(t, 0, m, low - dmin + 1, up - 1);
            cd_update(t, 1, m, low + 1, up + dmin - 1);
          }
          cd_update(t, 2, m, dmax + 1, hi(t, DUR));
        }
      }
    }
    if (low < lo(t, END) && up > hi(t, ORG) && lo(t, DUR) >= 1) {
      int64_t bmax = c - (L - own);
      if (fixedm) {
        if (!fix_height(t, -BIG, bmax)) return false;
      } else if (open) {
        cd_update(t, 3, m, bmax + 1, hhi(t));
      }
    }
    if (!requeue_if_changed(t, f)) return false;
  }
  top_prune = kept;
  return true;
}

/* Generalization bookkeeping: values lb..ub of variable k of t forbidden on machine m. */
void sweeper::cd_update(int t, int k, int m, int64_t lb, int64_t ub)
{
  int g = GVARS * t + k;
  int64_t vlo = k == 3 ? hlo(t) : lo(t, gen_var[k]), vhi = k == 3 ? hhi(t) : hi(t, gen_var[k]);
  lb = std::max(lb, vlo);
  ub = std::min(ub, vhi);
  if (lb > ub) return;
  if (tempo_machine[g] != m) {
    tempo_machine[g] = m;
    tempo[g] = atom_nil;
    gen_entry[ngen++] = g;
  }
  tempo[g] = fd_union_interval(api, w, tempo[g], bound(lb), bound(ub));
}

/* The end of machine m's sweep: each variable's forbidden values count once more in its task's
 * profile; a task whose variable has no value left on m cannot run on m. */
bool sweeper::close_generalization(int m)
{
  for (int i = 0; i < ngen; i++) {
    int g = gen_entry[i], t = g / GVARS, k = g % GVARS;
    TAGGED f = tempo[g];
    tempo_machine[g] = -1;
    for (TAGGED s = f; s != atom_nil; s = fds_next(s))
      gprofile[g] = fd_profile_update(api, w, gprofile[g], fds_lo(s), (long)fds_hi(s) + 1, 1);
    if (k == 3 && !upper) f = fd_neg_offset(api, w, f, MakeSmall(0));
    TAGGED left = fd_subtract(api, w, dvar_set(api, v(t, gen_var[k]), w), f);
    if (left == atom_nil && holds(t, m)) {
      uint64_t st = narrowed;
      if (!prune_machine_value(t, m) || !requeue_if_changed(t, st)) return false;
    }
  }
  ngen = 0;
  return true;
}

/* Values forbidden on every candidate machine of t go. */
bool sweeper::prune_generalize(int t)
{
  uint64_t f = narrowed;
  for (int k = 0; k < GVARS; k++) {
    struct profile *p = gprofile[GVARS * t + k], *rest;
    long pb, pe, erg;
    while (fd_profile_next(p, &pb, &pe, &erg, &rest)) {
      if (erg >= size_[t] && !(k == 3 ? prune_height(t, pb, pe - 1) : prune(t, gen_var[k], pb, pe - 1)))
        return false;
      p = rest;
    }
  }
  return requeue_if_changed(t, f);
}

/* After the stretch d..date of machine m at the current level: frontier tasks whose window
 * meets it record the least level seen; a window passed moves to the prune list. */
void sweeper::update_frontier(int m, int64_t d, int64_t date)
{
  int64_t c = cap(m), L = profile;
  for (int *link = &first_sweep[m]; *link >= 0;) {
    int t = *link;
    if (end_frontier[t] >= d && start_frontier[t] < date && !(init_status[t] && best_status[t] <= L)) {
      if (hlo(t) + b->max_min_height + L <= c) { /* never a violation at this level */
        *link = next_sweep[t];
        continue;
      }
      best_status[t] = L;
      init_status[t] = true;
    }
    if (end_frontier[t] < date) {
      *link = next_sweep[t];
      next_prune[t] = first_prune[m];
      first_prune[m] = t;
      continue;
    }
    link = &next_sweep[t];
  }
}

/* A task w fixed on m must not cover the whole window of a frontier task u when their heights
 * and the least level over that window exceed the capacity: u covers a point of its window. */
bool sweeper::frontier_pruning(int m)
{
  int64_t c = cap(m);
  for (int wt = first_check[m]; wt >= 0; wt = next_check[wt]) {
    uint64_t f = narrowed;
    for (int u = first_prune[m]; u >= 0; u = next_prune[u]) {
      if (u == wt || !init_status[u] || !prunable(wt)) continue;
      int64_t s = start_frontier[u], e = end_frontier[u], bs = best_status[u];
      if (hi(wt, ORG) < lo(wt, END) && hi(wt, ORG) <= e && lo(wt, END) - 1 >= s &&
          (b->min_min_height < 0 || hlo(wt) + hlo(u) <= c))
        continue;
      if (hlo(wt) + hlo(u) + bs <= c) continue;
      int64_t len = e - s + 1, dmin = lo(wt, DUR);
      if (dmin >= len && (!prune(wt, ORG, e + 1 - dmin, s) || !prune(wt, END, e + 1, s + dmin)))
        return false;
      if (len <= hi(wt, DUR) && s >= lo(wt, ORG) && e + 1 <= hi(wt, END) &&
          !fix(wt, DUR, -BIG, std::max({e - lo(wt, ORG), hi(wt, END) - s - 1, int64_t(0)})))
        return false;
    }
    if (!requeue_if_changed(wt, f)) return false;
  }
  return true;
}

/* One interval of the queue: its tasks, their events, the sweep of every candidate machine. */
bool sweeper::interval(int64_t low, int64_t up)
{
  nfiltered = nqc = nqnc = 0;
  TAGGED M = atom_nil;
  each_task_of(low, up, [&](int t) {
    if (!(b->task[t].flags & TF_TAKEN) || hi(t, END) <= low || lo(t, ORG) >= up || hi(t, DUR) < 1)
      return;
    filtered[nfiltered++] = t;
    mset[t] = dvar_set(api, v(t, MCH), w);
    M = fd_union(api, w, M, mset[t]);
    size_[t] = 1;
    if (generalize && prunable(t) && !fixed_machine(t)) {
      size_[t] = dvar_value_count(v(t, MCH));
      for (int k = 0; k < GVARS; k++) {
        fd_profile_dispose(api, gprofile[GVARS * t + k]);
        gprofile[GVARS * t + k] = nullptr;
        tempo_machine[GVARS * t + k] = -1;
      }
    }
  });
  for (int m = 0; m < b->nmachines; m++) first_sweep[m] = first_prune[m] = first_check[m] = -1;
  for (int i = 0; i < nfiltered; i++) make_events(filtered[i], low, up);
  fd_qsort(api, eventqc, (size_t)nqc, [](const event *x, const event *y) {
    return x->machine != y->machine ? (x->machine < y->machine ? -1 : 1)
                                    : (x->date < y->date ? -1 : x->date > y->date);
  });
  fd_qsort(api, eventqnc, (size_t)nqnc, [](const event *x, const event *y) {
    return x->date != y->date ? (x->date < y->date ? -1 : 1)
                              : (x->flags < y->flags ? -1 : x->flags > y->flags);
  });
  bool ok = true;
  for (TAGGED s = M; ok && s != atom_nil; s = fds_next(s))
    for (int64_t id = fds_lo(s); ok && id <= fds_hi(s); id++) {
      int m = virtual_machine(id);
      ok = m < b->nmachines && b->real[m] == id && sweep_machine(m, low, up) && frontier_pruning(m);
    }
  for (int i = 0; ok && generalize && i < nfiltered; i++) {
    int t = filtered[i];
    if (size_[t] >= 2) ok = prune_generalize(t);
  }
  for (int i = 0; generalize && i < nfiltered; i++)
    for (int k = 0; k < GVARS; k++) {
      fd_profile_dispose(api, gprofile[GVARS * filtered[i] + k]);
      gprofile[GVARS * filtered[i] + k] = nullptr;
    }
  return ok;
}

int64_t sweeper::ti_max_length_intersection(int64_t low, int64_t up, int t) const
{
  int64_t omin = lo(t, ORG), omax = hi(t, ORG), dmax = hi(t, DUR), L = up - low, a, F;
  if (omax < low - dmax + 1 || up <= omin || dmax <= 0) return 0;
  if (dmax >= L) {
    a = up - dmax;
    if (a > omax) return L - (a - omax);
    F = L;
  } else {
    a = low;
    if (low > omax) return dmax - (low - omax);
    F = dmax;
  }
  int64_t bb = up - F;
  if (omin > bb) return up - omin;
  int64_t from = std::max(a, omin), to = std::min(omax, bb);
  const dvar *o = v(t, ORG);
  if (from <= to && num(dvar_successor_t(o, bound(from - 1))) <= to) return F;
  /* the nearest origins outside a..bb */
  int64_t k = 0, below = num(dvar_predecessor_t(o, bound(a))), above = num(dvar_successor_t(o, bound(bb)));
  if (finite(below)) k = std::max(k, F - (a - below));
  if (finite(above)) k = std::max(k, F - (above - bb));
  return k;
}

/* Energy of the tasks that may run on the machines M within low..up against what those machines
 * hold there. */
bool sweeper::ti_task_interval(int64_t low, int64_t up, TAGGED M)
{
  if (low >= up || !finite(low) || !finite(up)) return true;
  int n = 0;
  int64_t sum_max = 0, S = 0, E = 0;
  for (TAGGED s = M; s != atom_nil; s = fds_next(s))
    for (int64_t id = fds_lo(s); id <= fds_hi(s); id++) max_min_len[virtual_machine(id)] = 0;
  bool unbounded = false;
  each_task_of(low, up, [&](int t) {
    if (!(b->task[t].flags & TF_TAKEN) || hi(t, END) <= low || lo(t, ORG) >= up || hi(t, DUR) < 1)
      return;
    TAGGED ms = dvar_set(api, v(t, MCH), w);
    if (fd_intersection_size(ms, M) == 0) return;
    if (!finite(hlo(t))) unbounded = true;
    filtered[n++] = t;
    inside[t] = fd_subtract(api, w, ms, M) == atom_nil;
    min_len[t] = std::max<int64_t>(std::min({lo(t, END) - low, lo(t, DUR), up - hi(t, ORG), up - low}), 0);
    max_len[t] = ti_max_length_intersection(low, up, t);
    sum_max += max_len[t];
    if (fixed_machine(t)) {
      int vm = virtual_machine(lo(t, MCH));
      max_min_len[vm] = std::max(max_min_len[vm], min_len[t]);
    }
  });
  if (unbounded) return true; /* energies need finite heights */
  for (TAGGED s = M; s != atom_nil; s = fds_next(s))
    for (int64_t id = fds_lo(s); id <= fds_hi(s); id++) {
      int m = virtual_machine(id);
      E += cap(m) >= 0 ? cap(m) * std::min(up - low, sum_max) : cap(m) * max_min_len[m];
    }
  auto contribution = [&](int t) {
    int64_t h = hlo(t);
    return h <= 0 ? h * max_len[t] : inside[t] ? h * min_len[t] : 0;
  };
  for (int i = 0; i < n; i++) S += contribution(filtered[i]);
  if (S > E) return false;
  for (int i = 0; i < n; i++) {
    int t = filtered[i];
    if (!prunable(t)) continue;
    uint64_t f = narrowed;
    int64_t h = hlo(t), rest = S - contribution(t), slack = rest > E ? rest - E : E - rest;
    if (h <= 0 && rest > E) {
      /* t must lower the energy: on M, overlapping low..up by at least need */
      int64_t need = ceil_div(slack, -h), dmax = hi(t, DUR), x = max_len[t];
      if (x == 0 || !note(t, MCH, dvar_fix_set(api, v(t, MCH), M, w))) return false;
      if (!fix(t, ORG, low + need - dmax, up - need) || !fix(t, END, low + need, up - need + dmax) ||
          !fix(t, DUR, need, BIG) ||
          (low > hi(t, ORG) && !fix(t, DUR, low - hi(t, ORG) + need, BIG)) ||
          (up < lo(t, END) && !fix(t, DUR, lo(t, END) - up + need, BIG)) ||
          !fix_height(t, -BIG, -ceil_div(slack, x)))
        return false;
    } else if (h > 0 && !inside[t]) {
      if (h * min_len[t] + S > E) {
        int mask = dvar_prune_set(api, v(t, MCH), M, w);
        if (!note(t, MCH, mask)) return false;
      }
    } else if (h > 0) {
      /* the overlap of t stays below need */
      int64_t need = slack / h + 1, dmin = lo(t, DUR);
      if (need <= up - low) {
        if (dmin >= need &&
            (!prune(t, ORG, low + need - dmin, up - need) || !prune(t, END, low + need, up - need + dmin)))
          return false;
        if (up - need >= lo(t, ORG) && hi(t, END) >= low + need && need <= hi(t, DUR) &&
            !fix(t, DUR, -BIG,
                 std::max({low + need - lo(t, ORG) - 1, hi(t, END) - up + need - 1, need - 1})))
          return false;
      }
      if (min_len[t] >= 1 && !fix_height(t, -BIG, slack / min_len[t])) return false;
    }
    if (!requeue_if_changed(t, f)) return false;
  }
  return true;
}

/* The task-interval pass over the windows of the targets. */
bool sweeper::task_intervals()
{
  for (int i = 0; i < b->ntargets; i++) {
    int t = b->target[i];
    int64_t h = hlo(t);
    TAGGED M = dvar_set(api, v(t, MCH), w);
    if (harmless(h, b->capacity_min)) {
      if (!ti_task_interval(b->table_est[t], lo(t, ORG), M) ||
          !ti_task_interval(hi(t, END), b->table_lct[t], M))
        return false;
    } else if (!(fixed_machine(t) && hi(t, ORG) < lo(t, END)) &&
               !ti_task_interval(lo(t, ORG), hi(t, END), M)) {
      return false;
    }
  }
  return true;
}

/* Targets by lctkey (their end max), and the least origin min from each position on. */
void sweeper::sort_targets()
{
  int nt = b->ntargets, na = nt + b->nsources;
  for (int i = 0; i < nt; i++) b->task[b->target[i]].lctkey = hi(b->target[i], END);
  task_col *tc = b->task;
  fd_qsort(api, b->target, (size_t)nt, [tc](const int *x, const int *y) {
    return tc[*x].lctkey < tc[*y].lctkey ? -1 : tc[*x].lctkey > tc[*y].lctkey;
  });
  for (int i = na - 1; i >= 0; i--) {
    int64_t o = lo(b->target[i], ORG);
    b->minest[i] = i == nt - 1 || i == na - 1 ? o : std::min(o, b->minest[i + 1]);
  }
}

/* Fixed targets join the sources; the trailing sources that can meet no target leave. */
void sweeper::update_task_states()
{
  int nt = b->ntargets, live = 0;
  for (int i = 0; i < nt; i++) {
    int t = b->target[i];
    if (!task_fixed(t)) {
      std::swap(b->target[live++], b->target[i]);
    } else {
      b->task[t].flags &= ~TF_PRUNE;
    }
  }
  bool moved = live != nt;
  b->ntargets = live;
  b->nsources += nt - live;
  /* The initial windows of the live targets, and of the sources that meet them, until none
   * more does: an interval swept later, widened over the windows that meet it, stays inside. */
  TAGGED windows = atom_nil;
  auto add = [&](int t) {
    windows = fd_union_interval(api, w, windows, bound(b->initial_est[t]), bound(b->initial_lct[t] - 1));
  };
  for (int i = 0; i < live; i++) {
    int t = b->target[i];
    if (lo(t, ORG) != hi(t, END) && b->initial_est[t] < b->initial_lct[t]) add(t);
  }
  int end = b->ntargets + b->nsources;
  bool *in = inside; /* scratch: the source's window is in */
  for (int i = live; i < end; i++) in[i - live] = false;
  for (bool more = true; more;) {
    more = false;
    for (int i = live; i < end; i++) {
      int t = b->target[i];
      if (in[i - live] || hi(t, DUR) <= 0 || b->initial_est[t] >= b->initial_lct[t] ||
          fd_intersection_size(windows, fd_interval(api, w, bound(b->initial_est[t]),
                                                    bound(b->initial_lct[t] - 1))) == 0)
        continue;
      in[i - live] = more = true;
      add(t);
    }
  }
  while (end > b->ntargets && !in[end - 1 - live]) {
    b->task[b->target[end - 1]].flags &= ~TF_TAKEN;
    end--;
  }
  b->nsources = end - b->ntargets;
  if (moved) sort_targets();
}

/* One call on the block: -1 failure, 0 suspended, 1 entailed. */
int sweeper::run(bool first, bool fresh, int32_t stamp)
{
  int n = b->ntasks;
  bool same = b->stamp == stamp;
  for (int i = 0; i < VARS * n; i++)
    dvar_init(&b->dv[i], &b->refbase[2 * i].term, &b->refbase[2 * i + 1].term);
  if (first)
    for (int t = 0; t < n; t++) {
      b->initial_est[t] = lo(t, ORG);
      b->initial_lct[t] = hi(t, END);
    }
  std::memcpy(b->table_size, same ? b->previous_size : b->initial_size, n * sizeof(int64_t));
  std::memcpy(b->table_est, same ? b->previous_est : b->initial_est, n * sizeof(int64_t));
  std::memcpy(b->table_lct, same ? b->previous_lct : b->initial_lct, n * sizeof(int64_t));
  b->last_to_prune = n;
  for (int i = 0; i < b->ntargets; i++) {
    int t = b->target[i];
    b->task[t].flags = TF_PRUNE | TF_TAKEN;
    if ((b->options & 8) && !same && t < b->last_to_prune && !task_fixed(t)) b->last_to_prune = t;
  }
  for (int i = b->ntargets; i < b->ntargets + b->nsources; i++) b->task[b->target[i]].flags = TF_TAKEN;
  if (!same) sort_targets();
  b->stamp = stamp + 1;
  alloc_scratch();
  for (int t = 0; first && t < n; t++) {
    /* a task runs on a listed machine only */
    if (!fix(t, MCH, b->real[0], b->real[b->nmachines - 1])) return -1;
    for (int m = 0; m + 1 < b->nmachines; m++)
      if (b->real[m] + 1 < b->real[m + 1] &&
          !note(t, MCH, dvar_prune_interval_t(api, v(t, MCH), MakeSmall(b->real[m] + 1),
                                              MakeSmall(b->real[m + 1] - 1), w)))
        return -1;
  }
  for (int i = 0; i < b->ntargets; i++) {
    int t = b->target[i];
    if (task_state(t) == b->table_size[t]) continue;
    if (!task_renormalize(t)) return -1;
    enqueue(b->table_est[t], b->table_lct[t]);
  }
  for (;;) {
    if (queue == atom_nil && intervals && !task_intervals()) return -1;
    if (queue == atom_nil) break;
    int64_t low = num(fds_interval(queue)[0]), up = num(fds_interval(queue)[1]);
    queue = fds_next(queue);
    if (up <= low) continue;
    widen(&low, &up);
    if (!interval(low, up)) return -1;
  }
  for (int i = 0; i < b->ntargets; i++) {
    int t = b->target[i];
    b->previous_size[t] = task_state(t);
    b->previous_est[t] = lo(t, ORG);
    b->previous_lct[t] = hi(t, END);
    if (fresh) {
      b->initial_size[t] = b->previous_size[t];
      b->initial_est[t] = b->previous_est[t];
      b->initial_lct[t] = b->previous_lct[t];
    }
  }
  int nt = b->ntargets;
  update_task_states();
  for (int pass = 0; pass < 2; pass++)
    for (int i = 0; i < nt; i++) {
      int t = b->target[i];
      for (int k = 0; k < VARS && (b->task[t].flags & TF_CHANGED); k++) {
        dvar *d = v(t, k);
        if (d->flags & (DV_SET_TOLD | DV_MIN_RAISED | DV_MAX_LOWERED))
          pass == 0 ? dvar_pruning_done(api, w, d) : dvar_export_do(api, w, d);
      }
    }
  return b->ntargets == 0 ? 1 : 0;
}

/* ---- the state term ---- */

/* Checks the first call's state: counts matching the lists, tasks of five variable entries,
 * machines of two integers in strictly ascending identifier order. False after raising an error. */
bool check_state(ORVALIS_API_STRUCT *api, worker *w, TAGGED s)
{
  /* a list still open at its end is not yet known: an instantiation error, not a bad list */
  for (int k : {4, 5})
    if (fd_entry_open_list(w, StrArg(s, k))) return fd_instantiation_error(api, 1), false;
  TAGGED nt = deref(StrArg(s, 1)), nm = deref(StrArg(s, 2));
  if (!fd_small_in(nt, 0, 1 << 20) || fd_proper_length(w, StrArg(s, 4)) != GetSmall(nt))
    return fd_domain_error(api, "cumulatives_tasks", fd_error_culprit(StrArg(s, 4)), 1), false;
  if (!fd_small_in(nm, 0, 1 << 20) || fd_proper_length(w, StrArg(s, 5)) != GetSmall(nm))
    return fd_domain_error(api, "cumulatives_machines", fd_error_culprit(StrArg(s, 5)), 1), false;
  if (!IsSmall(deref(StrArg(s, 3))))
    return fd_type_error(api, "integer", fd_error_culprit(StrArg(s, 3)), 1), false;
  if (!fd_small_in(StrArg(s, 3), 0, OPTIONS))
    return fd_domain_error(api, "cumulatives_options", deref(StrArg(s, 3)), 1), false;
  /* every task is a target before the first call */
  if (!fd_entry_first_count(api, StrArg(s, 6), GetSmall(nt), "cumulatives_counts") ||
      !fd_entry_first_count(api, StrArg(s, 7), 0, "cumulatives_counts"))
    return false;
  QX_globref_ probe[2];
  for (TAGGED l = deref(StrArg(s, 4)); IsLst(l); l = deref(LstTail(l))) {
    TAGGED t = deref(LstHead(l));
    bool ok = IsStr(t) && !IsBox(t) && Arity(StrFunctor(t)) == VARS;
    for (int k = 1; ok && k <= VARS; k++) ok = fd_entry_refs(StrArg(t, k), probe);
    if (!ok) return fd_type_error(api, "cumulatives_task", fd_error_culprit(t), 1), false;
  }
  int64_t last = INT64_MIN;
  for (TAGGED l = deref(StrArg(s, 5)); IsLst(l); l = deref(LstTail(l))) {
    TAGGED m = deref(LstHead(l));
    if (!IsStr(m) || IsBox(m) || Arity(StrFunctor(m)) != 2 || !IsSmall(deref(StrArg(m, 1))) ||
        !IsSmall(deref(StrArg(m, 2))) || GetSmall(deref(StrArg(m, 1))) <= last)
      return fd_domain_error(api, "cumulatives_machine", fd_error_culprit(m), 1), false;
    last = GetSmall(deref(StrArg(m, 1)));
  }
  return true;
}

/* Bump allocation of the block's columns, each aligned for its type. */
struct carver {
  char *base;
  size_t at = 0;
  template <typename T>
  T *take(size_t n)
  {
    at = (at + alignof(T) - 1) & ~(alignof(T) - 1);
    T *p = base ? (T *)(base + at) : nullptr;
    at += n * sizeof(T);
    return p;
  }
};

void carve(symmcum_data *b, carver &c, int n, int nm)
{
  for (int64_t **col : {&b->minest, &b->initial_size, &b->initial_est, &b->initial_lct,
                        &b->previous_size, &b->previous_est, &b->previous_lct, &b->table_size,
                        &b->table_est, &b->table_lct})
    *col = c.take<int64_t>(n);
  b->dv = c.take<dvar>((size_t)VARS * n);
  b->task = c.take<task_col>(n);
  b->target = c.take<int>(n);
  b->real = c.take<int32_t>(nm);
  b->capacity = c.take<int32_t>(nm);
}

symmcum_data *first_call(fd_entry *e, int *outcome)
{
  TAGGED s = deref(e->w->term[0]);
  if (!check_state(e->api, e->w, s)) {
    *outcome = -2;
    return nullptr;
  }
  int n = GetSmall(deref(StrArg(s, 1))), nm = GetSmall(deref(StrArg(s, 2)));
  int32_t options = GetSmall(deref(StrArg(s, 3)));
  symmcum_data probe{};
  carver size{nullptr, sizeof(symmcum_data)};
  carve(&probe, size, n, nm);
  QX_globref refs;
  auto *b = (symmcum_data *)fd_entry_block(e, size.at, symmcum_destructor, nullptr, 2 * VARS * n, &refs);
  carver at{(char *)b, sizeof(symmcum_data)};
  carve(b, at, n, nm);
  b->qxenv = e->api;
  b->refbase = refs;
  b->options = options;
  b->stamp = e->stamp - 1;
  b->ntasks = n;
  b->nmachines = nm;
  bool upper = options & 1;
  s = deref(e->w->term[0]);
  int i = 0;
  for (TAGGED l = deref(StrArg(s, 5)); IsLst(l); l = deref(LstTail(l)), i++) {
    TAGGED m = deref(LstHead(l));
    b->real[i] = GetSmall(deref(StrArg(m, 1)));
    b->capacity[i] = GetSmall(deref(StrArg(m, 2)));
  }
  b->capacity_min = BIG, b->capacity_max = -BIG;
  for (int m = 0; m < nm; m++) {
    int64_t c = upper ? b->capacity[m] : -(int64_t)b->capacity[m];
    b->capacity_min = std::min(b->capacity_min, c);
    b->capacity_max = std::max(b->capacity_max, c);
  }
  b->min_min_height = b->min_max_height = BIG;
  b->max_min_height = b->max_max_height = -BIG;
  i = 0;
  for (TAGGED l = deref(StrArg(s, 4)); IsLst(l); l = deref(LstTail(l)), i++) {
    TAGGED t = deref(LstHead(l));
    for (int k = 0; k < VARS; k++) fd_entry_refs(StrArg(t, k + 1), &refs[2 * (VARS * i + k)]);
    b->target[i] = i;
    b->initial_size[i] = INT64_MAX;
    dvar h, d;
    dvar_init(&h, &refs[2 * (VARS * i + HGT)].term, &refs[2 * (VARS * i + HGT) + 1].term);
    dvar_init(&d, &refs[2 * (VARS * i + DUR)].term, &refs[2 * (VARS * i + DUR) + 1].term);
    int64_t hl = upper ? num(h.min) : -num(h.max), hh = upper ? num(h.max) : -num(h.min);
    b->min_min_height = std::min(b->min_min_height, hl);
    b->max_min_height = std::max(b->max_min_height, hl);
    b->min_max_height = std::min(b->min_max_height, hh);
    b->max_max_height = std::max(b->max_max_height, hh);
    if (!(hl <= 0 && hl <= b->capacity_min)) b->max_duration = std::max(b->max_duration, num(d.max));
  }
  b->ntargets = n;
  StrPtr(s)[4] = atom_nil;
  StrPtr(s)[5] = atom_nil;
  return b;
}

/* One call on a block: -1, 0, 1, or -2 after an error. */
int symmcum_run(fd_entry *e, symmcum_data *b, bool first)
{
  ORVALIS_API_STRUCT *api = e->api;
  worker *w = e->w;
  TAGGED s = deref(w->term[0]);
  TAGGED nt = deref(StrArg(s, 6)), ns = deref(StrArg(s, 7));
  int n = b->ntasks;
  if (!fd_small_in(nt, 0, n) || !fd_small_in(ns, 0, n) || GetSmall(nt) + GetSmall(ns) > n) {
    fd_domain_error(api, "cumulatives_counts", fd_error_culprit(s), 1);
    return -2;
  }
  if (n == 0) return 1;
  if (b->nmachines == 0) return -1; /* no machine to run on */
  b->ntargets = GetSmall(nt);
  b->nsources = GetSmall(ns);
  int32_t options = b->options;
  sweeper sw{api, w, b, (options & 1) != 0, (options & 2) != 0, (options & 4) != 0};
  int outcome = sw.run(first, e->committed != 0, e->stamp);
  TAGGED *state = StrPtr(deref(w->term[0]));
  state[6] = MakeSmall(b->ntargets);
  state[7] = MakeSmall(b->nsources);
  return outcome;
}

}  // namespace

void prolog_fd_cumulatives_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                          QX_term_ref state, QX_term_ref actions)
{
  fd_entry e;
  if (!fd_entry_begin(&e, api, state0, 9, true)) return;
  fd_init_profile(api);
  int outcome = 1;
  symmcum_data *b = nullptr;
  bool first = IsVar(e.handle);
  if (first)
    b = first_call(&e, &outcome);
  else if (IsVar(deref(LstHead(e.handle))))
    b = (symmcum_data *)fd_perm_data(e.handle);
  if (b) {
    fd_state(api)->gdata = b;
    outcome = symmcum_run(&e, b, first);
  }
  if (outcome == -2) {
    fd_native_fail(api);
    return;
  }
  fd_entry_end(&e, state, actions, outcome);
}
