/* A search driver for the solver's tests and benchmarks: it does the share of the solver's Prolog
 * library that the kernel needs to post global constraints and search, calling each native as
 * the predicate the clpfd resource installed (so the declared argument conversions run).
 *
 * Variables are held in term references (collector roots) and named by their index. Every native
 * step is one call of the installed predicate without a query; queries serve the slow path only
 * (a query of true/0 that lets the engine make heap room and run pending wake-ups).
 *
 * The first driver of an engine defines clpfd:attr_unify_hook/2, clpfd:call_action/1 and
 * clpfd:overflow_action/1; they act for the driver that exists (one per engine at a time).
 */
#ifndef QX_FD_DRIVER_H
#define QX_FD_DRIVER_H

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "fd_kernel.h"

namespace fd_driver {

/* How the search picks its variable. */
enum class choice { input, min, max, ff, delete_min, delete_max, delete_ff, delete_ffc };
/* How the left branch binds X to v. */
enum class binding { fd_unify, in_interval };

struct counts {
  uint64_t nodes = 0; /* propagated nodes, root included */
  uint64_t failures = 0;
  uint64_t solutions = 0;
};

/* Callbacks of the search around its choicepoints (tests check undo with them). */
struct observer {
  virtual ~observer() = default;
  /* A choicepoint whose saved heap top is top was made; everything since was undone. */
  virtual void pushed(worker *w, TAGGED *top) {}
  virtual void undone(worker *w, TAGGED *top) {}
  /* At every node's fixpoint, before the variable choice. false stops the search. */
  virtual bool fixpoint() { return true; }
};

class driver;

/* The tests' oracle around a search: at every fixpoint no global prunes on a rerun (when rerun
 * is set); after every undo the heap below the node's top is byte for byte as it was at the
 * push, unless a collection ran between (when heap is set). */
struct checker : observer {
  driver *d = nullptr;
  bool rerun = true, heap = false;
  int pruning = 0, compared = 0, differing = 0;
  void pushed(worker *w, TAGGED *top) override;
  void undone(worker *w, TAGGED *top) override;
  bool fixpoint() override;

private:
  std::vector<char> copies; /* the copies of the open nodes, one after another */
  std::vector<size_t> starts;
  std::vector<uint64_t> collections;
};

class driver {
public:
  explicit driver(ORVALIS_API_STRUCT *api);
  ~driver();
  driver(const driver &) = delete;
  driver &operator=(const driver &) = delete;

  /* A fresh variable with domain lo..hi (answers its index), or in a set of values. */
  int new_var(int32_t lo, int32_t hi);
  int new_var_in(const std::vector<int32_t> &values);
  int var_count() const { return (int)vars_.size(); }
  /* The variable's term (dereferenced) and its current domain as a list of values; a bound
   * variable gives its value. */
  TAGGED term(int x) const;
  std::vector<int32_t> domain(int x) const;
  bool bound(int x) const;
  int32_t value(int x) const;

  /* Posts the global constraint name(args...). Each argument is a variable index, an integer
   * parameter (up to 64 bits), a list of linear terms (coefficient, variable), each t(A, X, Attr),
   * or t(A, X, Attr, Dead) with Dead a mutable holding the empty FD set, or an FD set given as
   * intervals (INT32_MIN and INT32_MAX stand for inf and sup). The state term holds the arguments
   * in order, a variable as X, Attr, then Handle and Stamp 0. Susp and Status come from the
   * driver's table by key (minmax and 0 for keys it does not know); susp, when given, names the
   * suspension key of every variable instead ("" for []). 1 posted, 0 failed, -1 exception. */
  struct lin_term {
    int32_t a;
    int x;
  };
  struct arg {
    enum kind_t { variable, integer, terms, dead_terms, set } kind;
    int64_t v = 0;
    std::vector<lin_term> lin{};
    std::vector<std::pair<int32_t, int32_t>> ranges{};
  };
  static arg var(int x) { return {arg::variable, x}; }
  static arg param(int64_t k) { return {arg::integer, k}; }
  static arg terms(std::vector<lin_term> t, bool dead = false)
  {
    return {dead ? arg::dead_terms : arg::terms, 0, std::move(t)};
  }
  static arg fdset(std::vector<std::pair<int32_t, int32_t>> r)
  {
    return {arg::set, 0, {}, std::move(r)};
  }
  int post(const char *name, const std::vector<arg> &args, const char *susp = nullptr);

  /* A term template for post_state: a variable entry X-Attr, the variable X or its attribute
   * Attr (by index), an integer (64 bits), an atom ("[]" is the empty list), a list (improper:
   * its last element is the tail), a structure, an FD set (INT32_MIN and INT32_MAX stand for inf
   * and sup) a mutable '$mutable'(T, 0) or a fresh variable. */
  struct tmpl {
    enum kind_t { entry, variable, attribute, integer, atom, list, improper, structure, set,
                  mutable_, unbound } kind;
    int64_t v = 0;
    std::string name{};
    std::vector<tmpl> args{};
    std::vector<std::pair<int32_t, int32_t>> ranges{};
  };
  static tmpl t_entry(int x) { return {tmpl::entry, x}; }
  static tmpl t_var(int x) { return {tmpl::variable, x}; }
  static tmpl t_attr(int x) { return {tmpl::attribute, x}; }
  static tmpl t_int(int64_t v) { return {tmpl::integer, v}; }
  static tmpl t_atom(std::string a) { return {tmpl::atom, 0, std::move(a)}; }
  static tmpl t_list(std::vector<tmpl> e) { return {tmpl::list, 0, "", std::move(e)}; }
  static tmpl t_improper(std::vector<tmpl> e, tmpl tail)
  {
    e.push_back(std::move(tail));
    return {tmpl::improper, 0, "", std::move(e)};
  }
  static tmpl t_struct(std::string f, std::vector<tmpl> a)
  {
    return {tmpl::structure, 0, std::move(f), std::move(a)};
  }
  static tmpl t_set(std::vector<std::pair<int32_t, int32_t>> r)
  {
    return {tmpl::set, 0, "", {}, std::move(r)};
  }
  static tmpl t_mutable(tmpl t) { return {tmpl::mutable_, 0, "", {std::move(t)}}; }
  /* The entries X1-A1, ..., Xn-An of the variables. */
  static tmpl t_entries(const std::vector<int> &xs);
  /* The list [X1, ..., Xn] of the variables. */
  static tmpl t_vars(const std::vector<int> &xs);

  /* A global as the library would post it: the constraint term key(constraint...) (the kernel
   * dispatches on its functor), the state term key(state..., Handle, 0), the Susp list and the
   * status word. Susp: susp_each when not empty (a variable and its key, "none" for none(X)),
   * else susp for every variable of the state in order of occurrence (null: the key table's
   * row, "" no suspension). Status -1: the key table's row. 1 posted, 0 failed, -1 exception. */
  struct posting {
    std::string key;
    std::vector<tmpl> constraint{};
    std::vector<tmpl> state{};
    const char *susp = nullptr;
    std::vector<std::pair<int, std::string>> susp_each{};
    int status = -1;
  };
  int post_state(const posting &p) { return post_posting(p, false); }
  /* The global/5 record of the newest global posted at the top (not from an action), or []. */
  TAGGED last_global() const { return ref(last_); }
  /* A fresh variable in a set of intervals (INT32_MIN and INT32_MAX stand for inf and sup). */
  int new_var_ranges(const std::vector<std::pair<int32_t, int32_t>> &r);
  /* The variable's domain as intervals, INT64_MIN and INT64_MAX standing for inf and sup. */
  std::vector<std::pair<int64_t, int64_t>> ranges(int x) const;
  /* The list of posted globals and the newest top-level one, to be put back after an undo. */
  std::pair<TAGGED, TAGGED> posts() const { return {ref(globals_), ref(last_)}; }
  void set_posts(std::pair<TAGGED, TAGGED> p)
  {
    set(globals_, p.first);
    set(last_, p.second);
  }
  /* Forgets the variables from index count on (their references go). */
  void truncate(int count);
  /* sum of a*x over terms, relation rel (1 at most, 2 at least, 3 equal, 4 different) rhs:
   * scalar_product/4. A braced list of terms takes the initializer-list form: no vector is
   * allocated for it (the classic models post thousands of these). */
  int post_linear(const std::vector<lin_term> &t, int rel, int64_t rhs)
  {
    return post_linear(t.data(), t.size(), rel, rhs);
  }
  int post_linear(std::initializer_list<lin_term> t, int rel, int64_t rhs)
  {
    return post_linear(t.begin(), t.size(), rel, rhs);
  }
  int post_linear(const lin_term *t, size_t n, int rel, int64_t rhs);
  /* Posts a call of the indexical-defined predicate name(args...) of module user through
   * $fd_post_reified, reified by the 0..1 variable b (b < 0: B = 1), and propagates (fd_driver_ix.cpp). */
  int post_indexicals(const char *name, const std::vector<arg> &args, int b = -1);

  /* Propagation to the fixpoint: 1, 0 failure, -1 exception pending. */
  int propagate();
  /* The engine's unification of two variables (the hook merges them), then propagation. */
  int unify(int x, int y);
  /* $fd_unify(X, Y) on two variables, then propagation. */
  int fd_unify_vars(int x, int y);
  /* X = v by the chosen binding, then propagation. */
  int bind(int x, int32_t v, binding how);
  /* $fd_in_set(X, complement of {v}, 1), then propagation. */
  int exclude(int x, int32_t v);

  /* Depth-first search over vars (all variables when empty). on_solution answers false to stop;
   * null stops at the first solution. Answers 1 completed or stopped, -1 exception. */
  struct options {
    choice rule = choice::input;
    binding how = binding::fd_unify;
    bool largest = false;     /* try the maximum first */
    size_t largest_first = 0; /* with choice::input: the first this many of vars try it too */
    bool queries = false;     /* choicepoints as nested queries instead of nodes */
    observer *watch = nullptr;
    /* Branch-and-bound minimising this variable (an index, -1 none): every solution is
     * recorded as the incumbent, and every node entered after it first tells cost at most the
     * incumbent's bound less one. */
    int cost = -1;
  };
  int search(const std::vector<int> &vars, const options &opt,
             const std::function<bool(driver &)> &on_solution, counts *out);

  /* The incumbent record incumbent(Bound, [V1, ..., Vn]) of the last branch-and-bound search
   * (Bound sup and the values 0 before its first solution), read from the recorded instance:
   * false when none is recorded. */
  bool incumbent(TAGGED *bound, std::vector<int32_t> *values);

  /* Reruns every posted global through $fd_dispatch_global_fast on its current state and
   * answers the number whose actions would prune (0 at a fixpoint), or -1 on an error. */
  int rerun_globals();
  /* Debugging mode of the kernel. */
  void set_debugging(bool on);

  ORVALIS_API_STRUCT *api() const { return api_; }
  /* Driver errors (a key without native entry, an unsupported action) as text, last one. */
  const std::string &error() const { return error_; }
  /* Seconds spent in the natives and the slow-path queries while timing is set (the driver's
   * own share is the rest of the time). */
  double native_seconds() const;
  bool timing = false;

  /* Installed-predicate call with the arguments' terms: 1, 0, or -1 (exception pending). */
  int call(definition *def, std::initializer_list<TAGGED> args);

  /* The natives by name. */
  struct natives {
    definition *arg_attribute, *in_interval, *in_set, *begin, *post_global, *evaluate,
        *dispatch_fast, *prune_and_enqueue, *dom_intersection, *dom_complement, *debug,
        *enqueue_all, *fd_unify, *set_singleton, *labeling, *fd_delete, *update_incumbent,
        *incumbent_bound, *check_arguments;
  } n{};

private:
  friend struct hooks;
  int slow_path();
  int run_global(TAGGED global);
  int search_node(const std::vector<int> &vars, size_t from, const options &opt,
                  const std::function<bool(driver &)> &on_solution, counts *c);
  int choose(const std::vector<int> &vars, const options &opt, size_t *from, TAGGED *chosen);
  /* An argument of post_global that points at its terms or ranges instead of holding them. */
  struct arg_view {
    arg::kind_t kind;
    int64_t v;
    const lin_term *lin;
    size_t nlin;
    const std::pair<int32_t, int32_t> *ranges;
    size_t nranges;
  };
  /* spec: the key table's row of name, when the caller knows it (else looked up by name). */
  int post_global(const char *name, const arg_view *args, size_t count, const char *susp,
                  bool nested, const void *spec = nullptr);
  int post_args(const char *name, const std::vector<arg> &args, const char *susp, bool nested);
  int post_posting(const posting &p, bool nested);
  /* Ints held inline up to a few, on the C++ heap beyond: most postings name few variables. */
  class small_ints {
  public:
    small_ints() {} /* user-provided: a value-initialised member leaves inline_ uncleared */
    small_ints(const small_ints &) = delete;
    small_ints &operator=(const small_ints &) = delete;
    void push_back(int x)
    {
      if (n_ == cap_) grow();
      data_[n_++] = x;
    }
    const int *begin() const { return data_; }
    const int *end() const { return data_ + n_; }
    size_t size() const { return n_; }
    bool empty() const { return n_ == 0; }
    int operator[](size_t i) const { return data_[i]; }
    /* The first position of x (a variable's index), or size() when absent: a scan over few
     * ints, an index by value over many (a posting may name 10^5 variables). */
    size_t find(int x) const;

  private:
    void grow();
    int inline_[16];
    std::vector<int> more_;
    int *data_ = inline_;
    size_t n_ = 0, cap_ = 16;
    mutable std::vector<int> where_; /* value -> first position + 1 (0 absent) */
    mutable size_t indexed_ = 0;     /* the ints entered in where_ */
  };
  TAGGED build(const tmpl &t, const small_ints &xs, QX_term_ref attrs);
  TAGGED build_set(const std::pair<int32_t, int32_t> *ranges, size_t n);
  TAGGED build_mutable(TAGGED v);
  /* An integer's term: a small integer in place, else a bignum on the heap. */
  TAGGED int_term(int64_t v);
  /* A global being posted: its key and arities, the variables with an attribute (xs, once
   * each), those that suspend (one per occurrence), the heap words its arguments take. */
  struct posted {
    /* A constructor: aggregate initialisation would clear the inline arrays first. */
    posted(const char *k, int n) : key(k), arity(n) {}
    const char *key;
    int arity, arity_state = 0;
    const char *susp = nullptr;
    const void *spec = nullptr; /* the key table's row, or null: looked up by key */
    const std::vector<std::pair<int, std::string>> *susp_each = nullptr;
    int status = -1;
    small_ints xs{}, suspended{};
    uint32_t words = 0;
    void add_variable(int x);
    int attr_index(int x) const;
  };
  /* The atom of the key of a row of the driver's key table (the row), looked up once per
   * driver: the solver's instance keeps these atoms registered. */
  TAGGED key_atom(const void *row, const char *name);
  TAGGED terms_list(const lin_term *t, size_t n, bool dead, const posted &q, QX_term_ref attrs);
  template <typename F>
  int post_posted(posted &q, bool nested, F build_args);
  template <class... Word>
  int call_in_line(definition *def, Word... args);
  int timed_call(definition *def);
  int native_error(int ok);
  int post_short_linear(const lin_term *t, size_t n, int rel, int32_t rhs);
  int post_linear_posted(const lin_term *t, size_t n, int rel, int64_t rhs);
  int record_incumbent(size_t count);
  int tell_incumbent_bound(const options &opt);
  int new_incumbent(const std::vector<int> &vars, const options &opt);
  TAGGED fresh_var();
  int exclude_term(TAGGED x, int32_t v);
  TAGGED set_of(const std::vector<int32_t> &values);
  /* The reference slots through the worker (as fd_ref_get and fd_ref_put, one load fewer). */
  TAGGED ref(QX_term_ref r) const { return deref(w_->fli_stack_start[2 * r]); }
  void set(QX_term_ref r, TAGGED t) { w_->fli_stack_start[2 * r] = t; }

  ORVALIS_API_STRUCT *api_;
  worker *w_;
  QX_term_ref mark_;
  std::vector<QX_term_ref> vars_;
  QX_term_ref globals_;   /* list of the posted global/5 records */
  QX_term_ref labeling_;  /* the labeling record of the running search, or [] */
  QX_term_ref scratch_;   /* four scratch references */
  QX_term_ref incumbent_; /* the database reference of the incumbent record, or [] */
  QX_term_ref last_;      /* the newest global posted at the top, or [] */
  std::string error_;
  uint64_t native_ticks_ = 0;
  /* The key atoms looked up on this engine, shared by its drivers (see the constructor). */
  std::vector<std::pair<const void *, TAGGED>> *key_atoms_;
  std::pair<const void *, TAGGED> last_key_{nullptr, 0}; /* key_atom's last answer */
  bool stop_ = false;
  /* Branch-and-bound's decisions on the open path (fd_driver.cpp, search_node). */
  struct step {
    int k;
    int32_t v;
    bool left;
  };
  std::vector<step> path_;
  size_t frames_ = 0, replay_until_ = 0, probe_at_ = SIZE_MAX;
  int in_native_ = 0; /* hooks and actions being run: errors stay as error nodes */
  definition *true0_;
};

/* A choicepoint for the life of the scope, undone at its end: what a test posts inside (and the
 * blocks its propagators allocate) is gone after it. */
struct undo_scope {
  worker *w;
  node *n;
  explicit undo_scope(worker *w);
  ~undo_scope();
  undo_scope(const undo_scope &) = delete;
  undo_scope &operator=(const undo_scope &) = delete;
};

/* The driver whose hooks are installed, or null. */
driver *current();

/* cumulative/2 over tasks of fixed durations and uses at the origins' variables, each with a
 * fresh end variable in 0..horizon (the constraint ties it to origin + duration), the busy window
 * in 0..horizon, the option flags: the posting's status, -1 when a variable cannot be made. */
inline int post_cumulative(driver &d, const std::vector<int> &origins,
                           const std::vector<int> &durations, const std::vector<int> &uses,
                           int limit, int horizon, int flags = 0)
{
  using t = driver;
  std::vector<t::tmpl> tasks;
  for (size_t i = 0; i < origins.size(); i++) {
    int end = d.new_var(0, horizon);
    if (end < 0) return -1;
    tasks.push_back(
        t::t_struct("task", {t::t_entry(origins[i]), t::t_int(durations[i]), t::t_entry(end),
                             t::t_int(uses[i]), t::t_int((int64_t)i)}));
  }
  int lower = d.new_var(0, horizon), upper = d.new_var(0, horizon);
  if (lower < 0 || upper < 0) return -1;
  int64_t n = (int64_t)tasks.size();
  return d.post_state(
      {"cumulative",
       {t::t_atom("tasks"), t::t_atom("options")},
       {t::t_int(n), t::t_list(tasks), t::t_atom("[]"), t::t_int(limit), t::t_entry(lower),
        t::t_entry(upper), t::t_int(flags), t::t_int(n), t::t_int(0)}});
}

/* The redundant cumulatives of a packing of rectangles w x h at origins (x, y) in a W x H box:
 * the projections on x use their heights up to H, those on y their widths up to W. */
inline int post_packing_cumulatives(driver &d, const std::vector<int> &xs,
                                    const std::vector<int> &ys, const std::vector<int> &ws,
                                    const std::vector<int> &hs, int W, int H)
{
  int r = post_cumulative(d, xs, ws, hs, H, W);
  return r == 1 ? post_cumulative(d, ys, hs, ws, W, H) : r;
}

}  // namespace fd_driver

#endif
