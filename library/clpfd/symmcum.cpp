/* cumulatives/3: tasks placed on machines, each machine with a capacity that the heights of the
 * tasks running on it must not exceed (at-most mode) or must reach (at-least mode) at every point
 * that some task on it covers. Heights may be negative.
 *
 * At-least mode is at-most mode on negated heights and capacities, so the propagator works on
 * "effective" heights throughout: h in at-most mode, -h in at-least mode.
 *
 * Each call re-derives everything from the current domains and runs to its own fixpoint: keep
 * origin + duration = end, then sweep every machine over the breakpoints of its candidate tasks'
 * windows with a lower bound of the level (compulsory parts of tasks fixed on the machine at
 * their least positive height, every candidate's least negative height over its whole window).
 * Against that level a stretch fails, forces a lowering task to cover it, forbids a task to run
 * over it on the machine, or caps a covering task's height. The result depends on the domains
 * only, so a fresh post on the same domains reaches the same fixpoint.
 *
 * State: cumulatives(NTasks, NMachines, Options, Tasks, Machines, NTargets, NSources, Handle,
 * Stamp); a task is task(O, D, E, H, M) of variable entries, a machine machine(Id, Capacity) in
 * ascending Id order. Options: 0x1 at-most mode; 0x2 generalization: a task on several candidate
 * machines takes, per bound, the loosest of what it would get on each of them, and loses the
 * machines on which it cannot run at all. 0x4 task intervals: energy reasoning over the intervals
 * between the candidates' windows on each machine. 0x8: only the tasks up to the first one not
 * entirely fixed are pruned.
 */
#include <algorithm>
#include <cstring>

#include "fd_globals.h"
#include "fd_sets.h"

namespace {

constexpr int VARS = 5; /* origin, duration, end, height, machine */
enum { ORG, DUR, END, HGT, MCH };

struct symmcum_data {
  daemon_frame frame;
  ORVALIS_API_STRUCT *qxenv;
  QX_globref refbase; /* 10 references per task */
  int32_t options, stamp;
  int ntasks, nmachines;
  int32_t *real, *capacity; /* per machine position */
  int *target;              /* live targets first, then the settled tasks */
  dvar *dv;                 /* VARS per task */
};

void symmcum_destructor(void *block)
{
  fd_entry_destroy(block, ((symmcum_data *)block)->refbase);
}

/* Saturating sum: an infinite operand keeps the result infinite. */
inline int64_t add(int64_t a, int64_t b)
{
  if (a <= FDS_INF || b <= FDS_INF) return a >= FDS_SUP || b >= FDS_SUP ? 0 : FDS_INF;
  if (a >= FDS_SUP || b >= FDS_SUP) return FDS_SUP;
  return a + b;
}
inline int64_t neg(int64_t a) { return a <= FDS_INF ? FDS_SUP : a >= FDS_SUP ? FDS_INF : -a; }
inline TAGGED bound(int64_t v) { return fds_bound(v < FDS_INF ? FDS_INF : v > FDS_SUP ? FDS_SUP : (int32_t)v); }

/* One call's working state. */
struct sweeper {
  ORVALIS_API_STRUCT *api;
  worker *w;
  symmcum_data *b;
  bool upper;
  bool changed = false;
  int64_t *cut = nullptr; /* breakpoints of one machine, scratch of 2 x ntasks */
  /* Generalization (option 0x2): per task on an open machine, the bounds it would have if fixed
   * on the machine being swept (`what_if`), and their hull over its machines so far. */
  bool generalize = false, intervals = false;
  /* Option 0x8: tasks after the first one not entirely fixed are not pruned (their loads still
   * count). Taken from the domains at each round, so the result depends on the domains only. */
  bool prune_next = false;
  int last_to_prune = 0;
  bool task_fixed(int t) const
  {
    for (int k = 0; k < VARS; k++)
      if (lo(t, k) != hi(t, k)) return false;
    return true;
  }
  bool prunable(int t) const { return !prune_next || t <= last_to_prune; }
  struct bounds {
    int64_t olo, ohi, elo, ehi, dhi, hhi;
    bool dead;
  };
  bounds *what_if = nullptr, *hull = nullptr;
  int8_t *gen_state = nullptr; /* 0 no machine yet, 1 hull valid, 2 not generalized */

  dvar *v(int t, int k) const { return &b->dv[VARS * t + k]; }
  int64_t lo(int t, int k) const { return fds_val(v(t, k)->min); }
  int64_t hi(int t, int k) const { return fds_val(v(t, k)->max); }
  /* Effective height bounds. */
  int64_t hlo(int t) const { return upper ? lo(t, HGT) : neg(hi(t, HGT)); }
  int64_t hhi(int t) const { return upper ? hi(t, HGT) : neg(lo(t, HGT)); }
  bool open(int t) const { return lo(t, MCH) != hi(t, MCH); }
  int64_t cap(int m) const { return upper ? b->capacity[m] : -(int64_t)b->capacity[m]; }
  bool may_run_on(int t, int m) const
  {
    return dvar_contains_value_t(v(t, MCH), MakeSmall(b->real[m]));
  }
  bool fixed_on(int t, int m) const { return lo(t, MCH) == b->real[m] && hi(t, MCH) == b->real[m]; }

  bool note(int mask)
  {
    if (mask < 0) return false;
    if (mask > 0) changed = true;
    return true;
  }
  bool fix(int t, int k, int64_t lb, int64_t ub)
  {
    if (lb <= lo(t, k) && ub >= hi(t, k)) return true;
    return note(dvar_fix_interval_t(v(t, k), bound(lb), bound(ub)));
  }
  /* Removes lb..ub where it touches a bound: no holes are punched. */
  bool prune(int t, int k, int64_t lb, int64_t ub)
  {
    if (lb > ub || ub < lo(t, k) || lb > hi(t, k)) return true;
    if (lb <= lo(t, k)) return fix(t, k, add(ub, 1), FDS_SUP);
    if (ub >= hi(t, k)) return fix(t, k, FDS_INF, add(lb, -1));
    return true;
  }
  bool drop_machine(int t, int m)
  {
    return note(dvar_prune_interval_t(api, v(t, MCH), MakeSmall(b->real[m]), MakeSmall(b->real[m]), w));
  }
  /* Caps the effective height at c. */
  bool cap_height(int t, int64_t c) { return upper ? fix(t, HGT, FDS_INF, c) : fix(t, HGT, neg(c), FDS_SUP); }

  /* origin + duration = end on bounds. */
  bool renormalize(int t)
  {
    for (int round = 0; round < 2; round++) {
      if (!fix(t, ORG, add(lo(t, END), neg(hi(t, DUR))), add(hi(t, END), neg(lo(t, DUR)))) ||
          !fix(t, END, add(lo(t, ORG), lo(t, DUR)), add(hi(t, ORG), hi(t, DUR))) ||
          !fix(t, DUR, add(lo(t, END), neg(hi(t, ORG))), add(hi(t, END), neg(lo(t, ORG)))))
        return false;
    }
    return true;
  }

  /* The task's contribution to the level's lower bound over a..b on machine m. */
  int64_t own(int t, int m, int64_t a, int64_t e) const
  {
    int64_t c = 0;
    if (hlo(t) < 0 && lo(t, ORG) <= a && hi(t, END) >= e) c += hlo(t);
    if (hlo(t) > 0 && compulsory(t, m, a, e)) c += hlo(t);
    return c;
  }
  /* t fixed on m covers a..e in every solution. */
  bool compulsory(int t, int m, int64_t a, int64_t e) const
  {
    return fixed_on(t, m) && covers(t, a, e);
  }
  bool covers(int t, int64_t a, int64_t e) const
  {
    return lo(t, DUR) >= 1 && hi(t, ORG) <= a && lo(t, END) >= e;
  }
  bool candidate(int t, int m) const
  {
    return hi(t, DUR) >= 1 && lo(t, ORG) < hi(t, END) && may_run_on(t, m);
  }

  bool stretch(int m, int64_t a, int64_t e);
  void suppose(int t, int64_t a, int64_t e, int64_t others, int64_t c);
  void gen_start(int m);
  bool gen_close(int m);
  bool gen_apply();
  bool task_intervals(int m);
  bool energy(int m, int64_t low, int64_t up);
  int64_t least_overlap(int t, int64_t low, int64_t up) const
  {
    return std::max<int64_t>(std::min({lo(t, END) - low, lo(t, DUR), up - hi(t, ORG), up - low}), 0);
  }
  int64_t largest_overlap(int t, int64_t low, int64_t up) const
  {
    return std::max<int64_t>(std::min({up - low, hi(t, DUR), hi(t, END) - low, up - lo(t, ORG)}), 0);
  }
  /* t's least energy on m within low..up: the most negative its height allows when that is
   * at most 0, else its least overlap at its least height when it surely runs on m. */
  int64_t least_energy(int t, int m, int64_t low, int64_t up) const
  {
    if (hlo(t) <= 0) return hlo(t) * largest_overlap(t, low, up);
    return fixed_on(t, m) ? hlo(t) * least_overlap(t, low, up) : 0;
  }
  bool machine(int m);
  int run();
};

/* The stretch a..e of machine m, on which no candidate's window starts or ends. */
bool sweeper::stretch(int m, int64_t a, int64_t e)
{
  int n = b->ntasks;
  int64_t level = 0, c = cap(m);
  int ncov = 0;
  for (int t = 0; t < n; t++) {
    if (!candidate(t, m) || lo(t, ORG) > a || hi(t, END) < e) continue;
    level += own(t, m, a, e);
    if (compulsory(t, m, a, e)) ncov++;
  }
  if (ncov > 0 && level > c) return false;
  for (int t = 0; t < n; t++) {
    if (!candidate(t, m) || lo(t, ORG) > a || hi(t, END) < e) continue;
    if (!prunable(t)) continue;
    bool mine = compulsory(t, m, a, e);
    int64_t others = level - own(t, m, a, e);
    if (hlo(t) < 0 && ncov > (mine ? 1 : 0) && others > c) {
      /* only t lowers the level enough: it runs on m over the whole stretch */
      if (!fix(t, MCH, b->real[m], b->real[m]) || !fix(t, ORG, FDS_INF, a) ||
          !fix(t, END, e, FDS_SUP) || !renormalize(t))
        return false;
      mine = true;
    }
    if (others + hlo(t) > c) {
      /* t cannot cover any point of the stretch on m */
      if (lo(t, DUR) >= 1 && hi(t, ORG) < e && lo(t, END) > a) {
        if (!drop_machine(t, m)) return false;
      } else if (fixed_on(t, m)) {
        int64_t dmin = lo(t, DUR);
        int64_t room = std::max<int64_t>({a - lo(t, ORG), hi(t, END) - e, 0});
        if (dmin >= 1 && (!prune(t, ORG, a - dmin + 1, e - 1) || !prune(t, END, a + 1, e + dmin - 1)))
          return false;
        if (!fix(t, DUR, FDS_INF, room) || !renormalize(t)) return false;
      }
    } else if (mine && !cap_height(t, c - others)) {
      return false;
    }
    if (generalize && gen_state[t] != 2 && open(t)) suppose(t, a, e, others, c);
  }
  return true;
}

/* What rules 2 and 3 of a stretch would do to t if it ran on the machine swept. */
void sweeper::suppose(int t, int64_t a, int64_t e, int64_t others, int64_t c)
{
  bounds &h = what_if[t];
  int64_t dlo = lo(t, DUR);
  if (h.dead) return;
  if (others + hlo(t) > c) {
    if (dlo >= 1 && h.ohi < e && h.elo > a) {
      h.dead = true;
      return;
    }
    if (dlo >= 1) {
      if (h.olo >= a - dlo + 1 && h.olo <= e - 1) h.olo = e;
      if (h.ohi <= e - 1 && h.ohi >= a - dlo + 1) h.ohi = a - dlo;
      if (h.elo >= a + 1 && h.elo <= e + dlo - 1) h.elo = e + dlo;
      if (h.ehi <= e + dlo - 1 && h.ehi >= a + 1) h.ehi = a;
    }
    h.dhi = std::min(h.dhi, std::max<int64_t>({a - h.olo, h.ehi - e, 0}));
    h.dead = h.olo > h.ohi || h.elo > h.ehi || h.dhi < dlo;
  } else if (dlo >= 1 && h.ohi <= a && h.elo >= e) {
    h.hhi = std::min(h.hhi, c - others);
    h.dead = h.hhi < hlo(t);
  }
}

void sweeper::gen_start(int m)
{
  for (int t = 0; t < b->ntasks; t++) {
    if (gen_state[t] == 2 || !open(t) || !may_run_on(t, m)) continue;
    if (!candidate(t, m) || !prunable(t)) {
      gen_state[t] = 2; /* covers nothing: no hull */
      continue;
    }
    what_if[t] = {lo(t, ORG), hi(t, ORG), lo(t, END), hi(t, END), hi(t, DUR), hhi(t), false};
  }
}

/* A machine on which t cannot run goes from its domain; the others widen its hull. */
bool sweeper::gen_close(int m)
{
  for (int t = 0; t < b->ntasks; t++) {
    if (gen_state[t] == 2 || !open(t) || !may_run_on(t, m)) continue;
    const bounds &h = what_if[t];
    if (h.dead) {
      if (!drop_machine(t, m)) return false;
      continue;
    }
    bounds &u = hull[t];
    if (gen_state[t] == 0)
      u = h;
    else
      u = {std::min(u.olo, h.olo), std::max(u.ohi, h.ohi), std::min(u.elo, h.elo),
           std::max(u.ehi, h.ehi), std::max(u.dhi, h.dhi), std::max(u.hhi, h.hhi), false};
    gen_state[t] = 1;
  }
  return true;
}

/* Each task still open takes the hull of its bounds over its machines. */
bool sweeper::gen_apply()
{
  for (int t = 0; t < b->ntasks; t++) {
    const bounds &u = hull[t];
    if (gen_state[t] != 1 || !open(t)) continue;
    if (!fix(t, ORG, u.olo, u.ohi) || !fix(t, END, u.elo, u.ehi) || !fix(t, DUR, FDS_INF, u.dhi) ||
        !cap_height(t, u.hhi))
      return false;
  }
  return true;
}

/* Task intervals (option 0x4): the least energy of the tasks that may run on m within low..up
 * against what the machine can hold there. Heights at most 0 may be forced to overlap the
 * interval; only positive heights are limited in how much they overlap it. */
bool sweeper::energy(int m, int64_t low, int64_t up)
{
  int n = b->ntasks;
  int64_t c = cap(m), sum = 0, reach = 0, covered = 0;
  for (int t = 0; t < n; t++) {
    if (!candidate(t, m) || hi(t, END) <= low || lo(t, ORG) >= up) continue;
    sum += least_energy(t, m, low, up);
    reach += largest_overlap(t, low, up);
    if (fixed_on(t, m)) covered = std::max(covered, least_overlap(t, low, up));
  }
  /* the points covered within low..up: at most `reach`, at least `covered` */
  int64_t room = c >= 0 ? c * std::min(up - low, reach) : c * covered;
  if (sum > room) return false;
  for (int t = 0; t < n; t++) {
    if (!candidate(t, m) || hi(t, END) <= low || lo(t, ORG) >= up || !prunable(t)) continue;
    int64_t h = hlo(t), rest = sum - least_energy(t, m, low, up);
    if (h < 0 && rest > room) {
      /* t must lower the load: on m, overlapping low..up by at least k */
      int64_t need = rest - room, k = (need - h - 1) / -h, x = largest_overlap(t, low, up);
      if (x == 0 || !fix(t, MCH, b->real[m], b->real[m]) ||
          !fix(t, ORG, low + k - hi(t, DUR), up - k) || !fix(t, END, low + k, up - k + hi(t, DUR)) ||
          !fix(t, DUR, k, FDS_SUP) || !cap_height(t, -((need + x - 1) / x)) || !renormalize(t))
        return false;
    } else if (h > 0 && !fixed_on(t, m)) {
      if (h * least_overlap(t, low, up) + sum > room && !drop_machine(t, m)) return false;
    } else if (h > 0) {
      /* the overlap of t stays below k */
      int64_t slack = room - rest, k = slack / h + 1, dmin = lo(t, DUR);
      if (k <= up - low && dmin >= k &&
          (!prune(t, ORG, low + k - dmin, up - k) || !prune(t, END, low + k, up - k + dmin)))
        return false;
      if (k <= up - low && k <= hi(t, DUR) &&
          !fix(t, DUR, FDS_INF, std::max({low + k - lo(t, ORG) - 1, hi(t, END) - up + k - 1, k - 1})))
        return false;
      int64_t x = least_overlap(t, low, up);
      if (x >= 1 && !cap_height(t, slack / x)) return false;
      if (!renormalize(t)) return false;
    }
  }
  return true;
}

/* Every interval from an origin min to an end max of m's candidates. */
bool sweeper::task_intervals(int m)
{
  for (int i = 0; i < b->ntasks; i++)
    for (int j = 0; j < b->ntasks; j++)
      if (candidate(i, m) && candidate(j, m) && lo(i, ORG) < hi(j, END) &&
          !energy(m, lo(i, ORG), hi(j, END)))
        return false;
  return true;
}

/* Sweeps machine m over the breakpoints of its candidates' windows. */
bool sweeper::machine(int m)
{
  if (generalize) gen_start(m);
  int k = 0;
  for (int t = 0; t < b->ntasks; t++)
    if (candidate(t, m)) {
      cut[k++] = lo(t, ORG);
      cut[k++] = hi(t, END);
    }
  for (int i = 1; i < k; i++) /* insertion sort: few tasks per machine */
    for (int j = i; j > 0 && cut[j - 1] > cut[j]; j--) std::swap(cut[j - 1], cut[j]);
  for (int i = 0; i + 1 < k; i++)
    if (cut[i] < cut[i + 1] && !stretch(m, cut[i], cut[i + 1])) return false;
  return !generalize || gen_close(m);
}

/* The fixpoint of the rules over every task and machine: -1 failure, else 0. */
int sweeper::run()
{
  int n = b->ntasks;
  cut = (int64_t *)fd_temp_alloc(api, w, 2 * n * sizeof(int64_t));
  if (generalize) {
    what_if = (bounds *)fd_temp_alloc(api, w, 2 * n * sizeof(bounds));
    hull = what_if + n;
    gen_state = (int8_t *)fd_temp_alloc(api, w, n);
  }
  do {
    changed = false;
    if (generalize) std::memset(gen_state, 0, n);
    for (last_to_prune = 0; last_to_prune < n && task_fixed(last_to_prune); last_to_prune++) {
    }
    for (int t = 0; t < n; t++)
      if (!renormalize(t)) return -1;
    for (int m = 0; m < b->nmachines; m++)
      if (!machine(m)) return -1;
    if (generalize && !gen_apply()) return -1;
    for (int m = 0; intervals && m < b->nmachines; m++)
      if (!task_intervals(m)) return -1;
  } while (changed);
  return 0;
}

/* ---- the state term ---- */

/* Checks the first call's state: counts matching the lists, tasks of five variable entries,
 * machines of two integers in strictly ascending identifier order. False after raising an error. */
bool check_state(ORVALIS_API_STRUCT *api, worker *w, TAGGED s)
{
  TAGGED nt = deref(StrArg(s, 1)), nm = deref(StrArg(s, 2));
  if (!fd_small_in(nt, 0, 1 << 20) || fd_proper_length(w, StrArg(s, 4)) != GetSmall(nt))
    return fd_domain_error(api, "cumulatives_tasks", fd_error_culprit(StrArg(s, 4)), 1), false;
  if (!fd_small_in(nm, 0, 1 << 20) || fd_proper_length(w, StrArg(s, 5)) != GetSmall(nm))
    return fd_domain_error(api, "cumulatives_machines", fd_error_culprit(StrArg(s, 5)), 1), false;
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

symmcum_data *first_call(fd_entry *e, int *outcome)
{
  TAGGED s = deref(e->w->term[0]);
  if (!check_state(e->api, e->w, s)) {
    *outcome = -2;
    return nullptr;
  }
  int n = GetSmall(deref(StrArg(s, 1))), nm = GetSmall(deref(StrArg(s, 2)));
  QX_globref refs;
  size_t bytes = sizeof(symmcum_data) + (size_t)n * (VARS * sizeof(dvar) + sizeof(int)) +
                 (size_t)nm * 2 * sizeof(int32_t);
  auto *b = (symmcum_data *)fd_entry_block(e, bytes, symmcum_destructor, nullptr, 2 * VARS * n, &refs);
  b->qxenv = e->api;
  b->refbase = refs;
  b->ntasks = n;
  b->nmachines = nm;
  b->dv = (dvar *)(b + 1);
  b->target = (int *)(b->dv + VARS * n);
  b->real = (int32_t *)(b->target + n);
  b->capacity = b->real + nm;
  s = deref(e->w->term[0]);
  int i = 0;
  for (TAGGED l = deref(StrArg(s, 4)); IsLst(l); l = deref(LstTail(l)), i++) {
    TAGGED t = deref(LstHead(l));
    for (int k = 0; k < VARS; k++) fd_entry_refs(StrArg(t, k + 1), &refs[2 * (VARS * i + k)]);
    b->target[i] = i;
  }
  i = 0;
  for (TAGGED l = deref(StrArg(s, 5)); IsLst(l); l = deref(LstTail(l)), i++) {
    TAGGED m = deref(LstHead(l));
    b->real[i] = GetSmall(deref(StrArg(m, 1)));
    b->capacity[i] = GetSmall(deref(StrArg(m, 2)));
  }
  StrPtr(s)[4] = atom_nil;
  StrPtr(s)[5] = atom_nil;
  return b;
}

/* A task may only run on a listed machine: keep the listed identifiers in its machine domain. */
bool listed_machines_only(sweeper &sw, int t)
{
  symmcum_data *b = sw.b;
  if (b->nmachines == 0) return false;
  if (!sw.fix(t, MCH, b->real[0], b->real[b->nmachines - 1])) return false;
  for (int m = 0; m + 1 < b->nmachines; m++)
    if (b->real[m] + 1 < b->real[m + 1] &&
        !sw.note(dvar_prune_interval_t(sw.api, sw.v(t, MCH), MakeSmall(b->real[m] + 1),
                                       MakeSmall(b->real[m + 1] - 1), sw.w)))
      return false;
  return true;
}

/* One call on a block: -1, 0, 1, or -2 after an error. */
int symmcum_run(fd_entry *e, symmcum_data *b, bool first)
{
  ORVALIS_API_STRUCT *api = e->api;
  worker *w = e->w;
  TAGGED s = deref(w->term[0]);
  TAGGED opt = deref(StrArg(s, 3)), nt = deref(StrArg(s, 6)), ns = deref(StrArg(s, 7));
  int n = b->ntasks;
  if (!IsSmall(opt) || !fd_small_in(nt, 0, n) || !fd_small_in(ns, 0, n) ||
      GetSmall(nt) + GetSmall(ns) != n) {
    fd_domain_error(api, "cumulatives_counts", fd_error_culprit(s), 1);
    return -2;
  }
  sweeper sw{api, w, b, (GetSmall(opt) & 1) != 0};
  sw.generalize = (GetSmall(opt) & 2) != 0;
  sw.intervals = (GetSmall(opt) & 4) != 0;
  sw.prune_next = (GetSmall(opt) & 8) != 0;
  b->options = GetSmall(opt);
  b->stamp = e->stamp + 1;
  for (int i = 0; i < VARS * n; i++)
    dvar_init(&b->dv[i], &b->refbase[2 * i].term, &b->refbase[2 * i + 1].term);
  for (int t = 0; first && t < n; t++)
    if (!listed_machines_only(sw, t)) return -1;
  if (sw.run() < 0) return -1;
  for (int pass = 0; pass < 2; pass++)
    for (int i = 0; i < VARS * n; i++)
      if (b->dv[i].flags & (DV_SET_TOLD | DV_MIN_RAISED | DV_MAX_LOWERED))
        pass == 0 ? dvar_pruning_done(api, w, &b->dv[i]) : dvar_export_do(api, w, &b->dv[i]);
  /* settled tasks go behind the live targets */
  int live = GetSmall(nt);
  for (int k = 0; k < live;)
    if (sw.task_fixed(b->target[k]))
      std::swap(b->target[k], b->target[--live]);
    else
      k++;
  TAGGED *state = StrPtr(deref(w->term[0]));
  state[6] = MakeSmall(live);
  state[7] = MakeSmall(n - live);
  return live == 0 ? 1 : 0;
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
