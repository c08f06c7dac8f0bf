/* Mock tasks for the scheduling filters: task records whose start domain is a small set of values
 * (a bit mask over 0..63) and whose six operations apply and record what they are told, random
 * instances, and an oracle that enumerates start placements (optional tasks, variable durations,
 * precedence pairs with a difference range) for resources of any capacity.
 *
 * A mock keeps the domain "if present": an optional task whose domain empties is absent, an
 * obligatory one fails. propagate narrows starts to est .. lct - dur and the longest duration to
 * lctmax - est, then reloads est/lct/lctmax from what is left.
 */
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "fd_sched.h"
#include "fd_test_env.h"

namespace fd_tasks {

using mask = uint64_t;

struct call {
  std::string op;
  int task;
  int32_t a, b;
};

struct mock {
  mask starts;    /* start values if present */
  int dmin, dmax; /* durations */
  int height = 1;
  bool optional = false;
  bool absent = false;
};

/* A task should be a spec of an problem. */
struct spec {
  mask starts;
  int dmin, dmax, height = 1;
  bool optional = false;
  int lag = 0; /* the record's est starts this far below the least start, as a record the filter
                * narrowed lags its variable until it is reloaded */
};

struct precedence {
  int si, sj;
  int lo, hi; /* start(sj) - start(si) in lo..hi */
};

struct problem {
  std::vector<spec> tasks;
  std::vector<precedence> prec;
  int limit = 1;
};

/* The mocks of an problem and their records (contiguous, as the filters take them; diffid = id =
 * index). The operations find the set through the solver state's gdata, as a constraint's
 * operations find its block; install() points it here. */
struct mock_set {
  std::vector<mock> m;
  std::vector<task> t;
  std::vector<call> log;
  std::vector<dvar> diffvar;
  std::vector<diff_constraint> dc;

  explicit mock_set(const problem &in);
  void install(ORVALIS_API_STRUCT *api) { fd_state(api)->gdata = this; }
  /* Tasks that are present and not absent: their start masks. */
  mask starts(int i) const { return m[i].absent ? 0 : m[i].starts; }
};

inline int lowest(mask m) { return __builtin_ctzll(m); }
inline int highest(mask m) { return 63 - __builtin_clzll(m); }
inline mask range(int64_t lo, int64_t hi)
{
  lo = std::max<int64_t>(lo, 0), hi = std::min<int64_t>(hi, 63);
  if (lo > hi) return 0;
  return (hi - lo == 63 ? ~(mask)0 : (((mask)1 << (hi - lo + 1)) - 1)) << lo;
}

inline mock_set *set_of(ORVALIS_API_STRUCT *api) { return (mock_set *)fd_state(api)->gdata; }

/* Reloads the record's window from the mock (an empty domain leaves the fields). */
inline void reload(const mock &m, task *t)
{
  if (!m.starts) return;
  t->est = lowest(m.starts);
  t->lct = highest(m.starts) + t->dur;
  t->lctmax = highest(m.starts) + m.dmax;
}

/* After a narrowing: 0 unchanged, 1 pruned, 2 an obligatory task lost every start. */
inline int settle(mock &m, task *t, mask before, int dmax_before)
{
  if (!m.starts || m.dmax < m.dmin) {
    if (t->enable == TASK_PRESENT) return 2;
    m.absent = true;
    return 1;
  }
  reload(m, t);
  return m.starts != before || m.dmax != dmax_before ? 1 : 0;
}

inline mock &record(ORVALIS_API_STRUCT *api, task *t, const char *op, int32_t a = 0, int32_t b = 0)
{
  mock_set *s = set_of(api);
  s->log.push_back({op, t->id, a, b});
  return s->m[t->id];
}

inline int op_propagate(ORVALIS_API_STRUCT *api, task *t)
{
  mock &m = record(api, t, "propagate", t->est, t->lctmax);
  mask before = m.starts;
  int dmax_before = m.dmax;
  if (t->enable == TASK_ABSENT) {
    bool was = m.absent;
    m.absent = true;
    return was ? 0 : 1;
  }
  m.starts &= range(t->est, (int64_t)t->lct - t->dur);
  m.dmax = (int)std::min<int64_t>(m.dmax, (int64_t)t->lctmax - t->est);
  return settle(m, t, before, dmax_before);
}

inline void op_refresh(ORVALIS_API_STRUCT *api, task *t, worker *) { record(api, t, "refresh"); }

inline TAGGED op_set(ORVALIS_API_STRUCT *api, task *t, worker *w)
{
  mock &m = record(api, t, "set");
  FDCONS c;
  fdcons_init(&c);
  for (mask s = m.starts; s; s &= s - 1) fdcons_add(api, &c, w, MakeSmall(lowest(s)));
  return c.head;
}

inline int op_prune_interval(ORVALIS_API_STRUCT *api, task *t, int32_t a, int32_t b, worker *)
{
  mock &m = record(api, t, "prune_interval", a, b);
  mask before = m.starts;
  m.starts &= ~range(a, b);
  return settle(m, t, before, m.dmax);
}

inline int op_prune_set(ORVALIS_API_STRUCT *api, task *t, TAGGED set, worker *)
{
  mock &m = record(api, t, "prune_set");
  mask before = m.starts;
  FDITER it;
  fditer_init(&it, set);
  while (!fditer_empty(&it)) {
    TAGGED lo, hi;
    fditer_next_interval(&it, &lo, &hi);
    int64_t l = IsSmall(lo) ? GetSmall(lo) : INT32_MIN, h = IsSmall(hi) ? GetSmall(hi) : INT32_MAX;
    m.starts &= ~range(l, h);
  }
  return settle(m, t, before, m.dmax);
}

inline int op_is_interval(ORVALIS_API_STRUCT *api, task *t)
{
  mask s = set_of(api)->m[t->id].starts;
  return s && range(lowest(s), highest(s)) == s;
}

inline mock_set::mock_set(const problem &in) : m(in.tasks.size()), t(in.tasks.size())
{
  for (size_t i = 0; i < m.size(); i++) {
    const spec &s = in.tasks[i];
    m[i].starts = s.starts, m[i].dmin = s.dmin, m[i].dmax = s.dmax, m[i].height = s.height;
    m[i].optional = s.optional;
    task &r = t[i];
    r = task{};
    r.dur = s.dmin, r.res = s.height;
    r.enable = s.optional ? TASK_OPTIONAL : TASK_PRESENT;
    r.diffid = r.id = (int)i;
    r.propagate = op_propagate, r.refresh = op_refresh, r.set = op_set;
    r.prune_interval = op_prune_interval, r.prune_set = op_prune_set, r.is_interval = op_is_interval;
    reload(m[i], &r);
    r.est -= s.lag;
  }
  for (const precedence &p : in.prec) {
    dvar d;
    dvar_init_temp(&d, MakeSmall(p.lo), MakeSmall(p.hi));
    diffvar.push_back(d);
    dc.push_back({p.si, p.sj});
  }
}

/* What the feasible placements support. */
struct support {
  bool feasible = false;
  std::vector<mask> starts;     /* per task: starts used by some schedule with it present */
  std::vector<int> dmax;        /* per task: the longest duration used (-1 none) */
  std::vector<bool> present;    /* per task: present in some schedule */
  std::vector<int> dlo, dhi;    /* per precedence: the differences used */
  long schedules = 0;
};

/* Enumerates every placement: each task absent (when optional) or at a start with a duration;
 * present tasks with a positive length never exceed the limit at any time; precedence
 * differences stay in their ranges (pairs naming an absent task hold vacuously). */
class oracle {
public:
  explicit oracle(const problem &in) : in_(in), n_((int)in.tasks.size()) {}
  support run()
  {
    out_ = support{};
    out_.starts.assign(n_, 0);
    out_.dmax.assign(n_, -1);
    out_.present.assign(n_, false);
    out_.dlo.assign(in_.prec.size(), INT32_MAX);
    out_.dhi.assign(in_.prec.size(), INT32_MIN);
    start_.assign(n_, -1);
    dur_.assign(n_, 0);
    usage_.assign(128, 0);
    place(0);
    return out_;
  }

private:
  bool fits(int s, int d, int h) const
  {
    for (int x = s; x < s + d; x++)
      if (usage_[x] + h > in_.limit) return false;
    return true;
  }
  void use(int s, int d, int h)
  {
    for (int x = s; x < s + d; x++) usage_[x] += h;
  }
  bool precedences_hold(int upto) const
  {
    for (const precedence &p : in_.prec) {
      if (p.si > upto || p.sj > upto || start_[p.si] < 0 || start_[p.sj] < 0) continue;
      int d = start_[p.sj] - start_[p.si];
      if (d < p.lo || d > p.hi) return false;
    }
    return true;
  }
  void place(int i)
  {
    if (i == n_) {
      out_.feasible = true;
      out_.schedules++;
      for (int k = 0; k < n_; k++) {
        if (start_[k] < 0) continue;
        out_.present[k] = true;
        out_.starts[k] |= (mask)1 << start_[k];
        out_.dmax[k] = std::max(out_.dmax[k], dur_[k]);
      }
      for (size_t q = 0; q < in_.prec.size(); q++) {
        const precedence &p = in_.prec[q];
        if (start_[p.si] < 0 || start_[p.sj] < 0) continue;
        out_.dlo[q] = std::min(out_.dlo[q], start_[p.sj] - start_[p.si]);
        out_.dhi[q] = std::max(out_.dhi[q], start_[p.sj] - start_[p.si]);
      }
      return;
    }
    const spec &s = in_.tasks[i];
    if (s.optional) {
      start_[i] = -1;
      place(i + 1);
    }
    for (mask m = s.starts; m; m &= m - 1) {
      int st = lowest(m);
      for (int d = s.dmin; d <= s.dmax; d++) {
        if (!fits(st, d, s.height)) continue;
        start_[i] = st, dur_[i] = d;
        if (precedences_hold(i)) {
          use(st, d, s.height);
          place(i + 1);
          use(st, d, -s.height);
        }
      }
    }
    start_[i] = -1;
  }

  const problem &in_;
  int n_;
  support out_;
  std::vector<int> start_, dur_, usage_;
};

/* Random instances: n tasks, starts a random subset of 0..horizon-1 (holes), durations
 * dmin..dmin+dspread, some optional, some precedence pairs. */
struct generator {
  std::mt19937 rng;
  int horizon = 12;
  int max_dur = 4;
  int dspread = 0;
  double p_optional = 0;
  double p_hole = 0.3;
  int precedences = 0;
  int limit = 1, max_height = 1;

  explicit generator(uint32_t seed) : rng(seed) {}
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
  bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }

  problem make(int n)
  {
    problem in;
    in.limit = limit;
    for (int i = 0; i < n; i++) {
      spec s;
      int lo = pick(0, horizon - 1), hi = pick(lo, std::min(horizon - 1, lo + pick(0, horizon / 2)));
      s.starts = range(lo, hi);
      for (int v = lo + 1; v < hi; v++)
        if (chance(p_hole)) s.starts &= ~((mask)1 << v);
      s.dmin = pick(1, max_dur);
      s.dmax = s.dmin + pick(0, dspread);
      s.height = pick(1, max_height);
      s.optional = chance(p_optional);
      in.tasks.push_back(s);
    }
    for (int k = 0; k < precedences && n > 1; k++) {
      int i = pick(0, n - 1), j = pick(0, n - 2);
      if (j >= i) j++;
      int lo = pick(-horizon, horizon), hi = pick(lo, lo + horizon);
      in.prec.push_back({i, j, lo, hi});
    }
    return in;
  }
};

/* The problem with its tasks listed in the order perm (perm[q]: the task at position q). */
inline problem reordered(const problem &in, const std::vector<int> &perm)
{
  problem out = in;
  std::vector<int> at(perm.size());
  for (size_t q = 0; q < perm.size(); q++) out.tasks[q] = in.tasks[perm[q]], at[perm[q]] = (int)q;
  for (precedence &p : out.prec) p.si = at[p.si], p.sj = at[p.sj];
  return out;
}

inline std::string describe(const problem &in)
{
  std::string s;
  for (const spec &t : in.tasks) {
    s += "{";
    for (mask m = t.starts; m; m &= m - 1) s += std::to_string(lowest(m)) + " ";
    s += "d" + std::to_string(t.dmin) + ".." + std::to_string(t.dmax);
    if (t.height != 1) s += " h" + std::to_string(t.height);
    if (t.lag) s += " lag" + std::to_string(t.lag);
    s += t.optional ? " opt} " : "} ";
  }
  for (const precedence &p : in.prec)
    s += "s" + std::to_string(p.sj) + "-s" + std::to_string(p.si) + " in " + std::to_string(p.lo) +
         ".." + std::to_string(p.hi) + " ";
  return s;
}

}  // namespace fd_tasks
