/* The first call of every global constraint: its state term comes as the poster built it, so each
 * counter a later call rewrites holds its posting value (a live count equal to the list's length,
 * a dead or settled count of 0, a decided-pair flag unbound). A first call that took anything
 * else would read the state as if earlier calls had run, and could entail a non-solution; it
 * raises a domain error instead. Then the option words: a bit no entry defines is refused too;
 * and a list of the state still open at its end is an instantiation error, not a bad list.
 */
#include <algorithm>

#include "fd_harness.h"
#include "models/fd_models.h"

namespace {

using fd_harness::driver;
using fd_harness::set_arg;
using fd_oracle::domain;
using fd_oracle::range;
using tmpl = driver::tmpl;

/* One entry: the variables' domains, a valid first-call posting over them, and the counters,
 * each set to values that no first call holds. */
struct entry_row {
  const char *name;
  std::vector<domain> doms;
  std::function<driver::posting(const std::vector<int> &)> posting;
  std::vector<std::pair<std::string, std::function<void(driver::posting &)>>> bad;
};

/* Values of counter k (a state argument from 0) other than its posting value. */
void out_of_range(entry_row *r, const std::string &what, int k,
                  std::initializer_list<int64_t> values)
{
  for (int64_t v : values)
    r->bad.push_back({what + " " + std::to_string(v), set_arg(k, driver::t_int(v))});
}

/* Splits (NTargets at state argument k, NSources at k + 1) other than every item a target. */
void split_out_of_range(entry_row *r, int k,
                        std::initializer_list<std::pair<int64_t, int64_t>> splits)
{
  for (auto [t, s] : splits)
    r->bad.push_back({"NTargets " + std::to_string(t) + ", NSources " + std::to_string(s),
                      [k, t, s](driver::posting &p) {
                        p.state[k] = driver::t_int(t);
                        p.state[k + 1] = driver::t_int(s);
                      }});
}

std::vector<int> slice(const std::vector<int> &v, size_t from, size_t n)
{
  return {v.begin() + (long)from, v.begin() + (long)(from + n)};
}

std::vector<entry_row> entries()
{
  std::vector<entry_row> rows;
  rows.reserve(32); /* add answers a pointer into it */
  auto add = [&](const char *name, std::vector<domain> doms,
                 std::function<driver::posting(const std::vector<int> &)> f) {
    rows.push_back({name, std::move(doms), std::move(f), {}});
    return &rows.back();
  };
  const domain d13 = range(1, 3);

  /* element(X, Y, List, N, Flag) */
  entry_row *r =
      add("element", {d13, range(0, 9), range(0, 5), range(0, 5), range(0, 5)},
          [](const std::vector<int> &v) {
            std::vector<int> xs = slice(v, 2, 3);
            return driver::posting{"element",
                                   {driver::t_var(v[0]), driver::t_vars(xs), driver::t_var(v[1])},
                                   {driver::t_entry(v[0]), driver::t_entry(v[1]),
                                    driver::t_entries(xs), driver::t_int(3), driver::t_int(0)}};
          });
  out_of_range(r, "N", 3, {2, 4});

  /* minimum(Y, List, Count, Direction) and maximum: Count starts at n */
  for (int dir : {0, 1}) {
    r = add(dir ? "maximum" : "minimum", {range(0, 9), d13, range(2, 5), range(0, 4)},
            [dir](const std::vector<int> &v) {
              std::vector<int> xs = slice(v, 1, 3);
              driver::posting p{dir ? "maximum" : "minimum",
                                {driver::t_var(v[0]), driver::t_vars(xs)},
                                {driver::t_entry(v[0]), driver::t_entries(xs), driver::t_int(3),
                                 driver::t_int(dir)}};
              p.susp_each = {{v[0], "minmax"}};
              return p;
            });
    out_of_range(r, "Count", 2, {0, 1, 2, 4});
  }

  /* relation(Map, Options, Tuples, Live): Live starts at the number of tuples */
  r = add("relation", {range(0, 1), range(0, 1), range(0, 1), range(0, 1)},
          [](const std::vector<int> &v) {
            auto one = [](int x) { return driver::t_set({{x, x}}); };
            auto iv = [](int x) {
              return driver::t_list({driver::t_improper({driver::t_int(x)}, driver::t_int(x))});
            };
            tmpl map = driver::t_list(
                {driver::t_struct("-", {iv(0), one(0)}), driver::t_struct("-", {iv(1), one(1)})});
            tmpl none = driver::t_mutable(driver::t_atom("[]"));
            std::vector<tmpl> tuples, cx;
            for (int t = 0; t < 2; t++) {
              int x = v[2 * t], y = v[2 * t + 1];
              tuples.push_back(driver::t_struct("t", {driver::t_var(x), driver::t_attr(x), none,
                                                      driver::t_var(y), driver::t_attr(y), none}));
              cx.push_back(driver::t_struct("-", {driver::t_var(x), driver::t_var(y)}));
            }
            driver::posting p{"relation",
                              {driver::t_list(cx), map, driver::t_int(0)},
                              {map, driver::t_int(0), driver::t_list(tuples), driver::t_int(2)}};
            p.susp = "";
            return p;
          });
  out_of_range(r, "Live", 3, {0, 1, 3});

  /* all_different, circuit: NDead starts at 0; all_distinct its two dead counts; bc_alldiff */
  for (const char *key : {"all_different", "circuit", "all_distinct", "bc_alldiff"}) {
    r = add(key, {d13, d13, d13},
            [key](const std::vector<int> &v) { return fd_models::distinct(key, v); });
    out_of_range(r, "NDead", 1, {1, 3});
    if (std::string(key) == "all_distinct") out_of_range(r, "NDeadVals", 2, {1});
  }
  /* pairing(Xs, Ys, NDead) */
  r = add("pairing", {range(1, 2), range(1, 2), range(1, 2), range(1, 2)},
          [](const std::vector<int> &v) {
            std::vector<int> xs = slice(v, 0, 2), ys = slice(v, 2, 2);
            return driver::posting{
                "pairing",
                {driver::t_vars(xs), driver::t_vars(ys)},
                {driver::t_entries(xs), driver::t_entries(ys), driver::t_int(0)}};
          });
  out_of_range(r, "NDead", 2, {1, 2});

  /* sorting(X, P, Y, N, Settled, Offset): the window starts whole */
  r = add("sorting", {range(1, 2), range(1, 2), range(1, 2), range(1, 2), range(1, 2), range(1, 2)},
          [](const std::vector<int> &v) {
            std::vector<tmpl> lists, clists;
            for (int a = 0; a < 3; a++) {
              lists.push_back(driver::t_entries(slice(v, 2 * a, 2)));
              clists.push_back(driver::t_vars(slice(v, 2 * a, 2)));
            }
            return driver::posting{"sorting",
                                   clists,
                                   {lists[0], lists[1], lists[2], driver::t_int(2),
                                    driver::t_int(0), driver::t_int(0)}};
          });
  out_of_range(r, "Settled", 4, {1, 2});
  out_of_range(r, "Offset", 5, {1});

  /* lex_chain(Tuples, NTuples, NVars, Flags, Among, Pairs): every pair undecided */
  r = add("lex_chain", {range(1, 2), range(1, 2), range(1, 2)}, [](const std::vector<int> &v) {
    std::vector<tmpl> tuples, ctuples;
    for (int x : v)
      tuples.push_back(driver::t_entries({x})), ctuples.push_back(driver::t_vars({x}));
    tmpl among =
        driver::t_struct("among", {driver::t_int(0), driver::t_int(0), driver::t_atom("[]")});
    driver::posting p{"lex_chain",
                      {driver::t_list(ctuples), driver::t_atom("[]")},
                      {driver::t_list(tuples), driver::t_int(3), driver::t_int(1), driver::t_int(0),
                       among, driver::t_list({{tmpl::unbound}, {tmpl::unbound}})}};
    p.susp = "";
    return p;
  });
  for (int k : {0, 1})
    r->bad.push_back({"pair " + std::to_string(k) + " decided",
                      [k](driver::posting &p) { p.state[5].args[k] = driver::t_int(1); }});

  /* case(Posting, RowsLeft): one node over two rows, every row left */
  r = add("case", {d13, d13, d13, d13}, [](const std::vector<int> &v) {
    tmpl branch = driver::t_struct(
        "b", {driver::t_struct("i", {driver::t_int(1), driver::t_int(2)}), driver::t_atom("true")});
    tmpl node = driver::t_struct(
        "node", {driver::t_int(0), driver::t_int(0), driver::t_int(0), driver::t_list({branch})});
    std::vector<tmpl> kinds(2, driver::t_atom("dom"));
    tmpl posting = driver::t_struct(
        "case_posting",
        {driver::t_int(2), driver::t_int(1), driver::t_int(1),
         driver::t_list({driver::t_entries(slice(v, 0, 2)), driver::t_entries(slice(v, 2, 2))}),
         driver::t_list({node}), driver::t_list(kinds), driver::t_list(kinds)});
    tmpl none = driver::t_atom("[]");
    driver::posting p{"case", {driver::t_vars(v), none, none, none}, {posting, driver::t_int(2)}};
    p.susp = "";
    return p;
  });
  out_of_range(r, "RowsLeft", 1, {0, 1, 3});

  /* cumulatives(NTasks, NMachines, Options, Tasks, Machines, NTargets, NSources) */
  r = add("cumulatives",
          {range(0, 2), range(1, 1), range(1, 3), range(1, 1), range(1, 1), range(0, 2),
           range(1, 1), range(1, 3), range(1, 1), range(1, 1)},
          [](const std::vector<int> &v) {
            std::vector<tmpl> tasks;
            for (int t = 0; t < 2; t++) {
              std::vector<tmpl> e;
              for (int k = 0; k < 5; k++) e.push_back(driver::t_entry(v[5 * t + k]));
              tasks.push_back(driver::t_struct("task", e));
            }
            tmpl machine = driver::t_struct("machine", {driver::t_int(1), driver::t_int(1)});
            return driver::posting{
                "cumulatives",
                {driver::t_atom("tasks"), driver::t_atom("machines"), driver::t_atom("options")},
                {driver::t_int(2), driver::t_int(1), driver::t_int(1), driver::t_list(tasks),
                 driver::t_list({machine}), driver::t_int(2), driver::t_int(0)}};
          });
  split_out_of_range(r, 5, {{0, 0}, {1, 0}, {1, 1}});

  /* disjoint1(NItems, Options, Items, NTargets, NSources) */
  r = add("disjoint1", {d13, range(1, 2), d13, range(1, 2)}, [](const std::vector<int> &v) {
    std::vector<tmpl> items;
    for (int i = 0; i < 2; i++)
      items.push_back(driver::t_struct(
          "item", {driver::t_var(v[2 * i]), driver::t_attr(v[2 * i]), driver::t_var(v[2 * i + 1]),
                   driver::t_attr(v[2 * i + 1]), driver::t_atom("t")}));
    tmpl opt = driver::t_struct(
        "opt", {driver::t_int(0), driver::t_int(0), driver::t_int(0), driver::t_atom("[]")});
    return driver::posting{
        "disjoint1",
        {driver::t_atom("items"), driver::t_atom("options")},
        {driver::t_int(2), opt, driver::t_list(items), driver::t_int(2), driver::t_int(0)}};
  });
  split_out_of_range(r, 3, {{0, 0}, {1, 0}, {0, 1}, {1, 1}, {0, 2}});

  /* cumulative(NTasks, Tasks, Diffs, Limit, Lower, Upper, Flags, NTargets, NSources) */
  r = add("cumulative",
          {range(0, 2), range(1, 1), range(1, 3), range(1, 1), range(0, 2), range(1, 1),
           range(1, 3), range(1, 1), range(1, 2), range(0, 2), range(1, 3), range(-2, 2)},
          [](const std::vector<int> &v) {
            std::vector<tmpl> tasks;
            for (int t = 0; t < 2; t++) {
              std::vector<tmpl> e;
              for (int k = 0; k < 4; k++) e.push_back(driver::t_entry(v[4 * t + k]));
              e.push_back(driver::t_int(10 + t));
              tasks.push_back(driver::t_struct("task", e));
            }
            tmpl pair = driver::t_struct(
                "p", {driver::t_int(11), driver::t_int(10), driver::t_entry(v[11])});
            return driver::posting{"cumulative",
                                   {driver::t_atom("tasks"), driver::t_atom("options")},
                                   {driver::t_int(2), driver::t_list(tasks), driver::t_list({pair}),
                                    driver::t_entry(v[8]), driver::t_entry(v[9]),
                                    driver::t_entry(v[10]), driver::t_int(0), driver::t_int(2),
                                    driver::t_int(0)}};
          });
  split_out_of_range(r, 7, {{0, 0}, {1, 0}, {1, 1}, {0, 2}});

  /* disjoint2(NItems, Options, Items, NTargets, NSources): every item a target, no source; with
   * two items (2x2 squares, origins 0..3) and with none */
  for (int n : {2, 0}) {
    std::vector<domain> doms;
    for (int k = 0; k < 4 * n; k++) doms.push_back(k % 2 ? range(2, 2) : range(0, 3));
    r = add(n ? "disjoint2" : "disjoint2, no items", doms, [n](const std::vector<int> &v) {
      std::vector<tmpl> items;
      for (int i = 0; i < n; i++) {
        std::vector<tmpl> a;
        for (int x : slice(v, 4 * (size_t)i, 4)) a.push_back(driver::t_var(x)), a.push_back(driver::t_attr(x));
        a.push_back(driver::t_int(0));
        items.push_back(driver::t_struct("i", a));
      }
      tmpl zero = driver::t_int(0), list = driver::t_list(items);
      tmpl opt = driver::t_struct("opt", {zero, zero, zero, zero, zero, driver::t_atom("[]")});
      return driver::posting{"disjoint2", {list, opt}, {driver::t_int(n), opt, list, driver::t_int(n), zero}};
    });
    out_of_range(r, "NTargets", 3, {n ? 0 : 2, 1, 3});
    out_of_range(r, "NSources", 4, {1, 2});
    r->bad.push_back({"NTargets 1, NSources 1", [](driver::posting &p) {
                        p.state[3] = driver::t_int(1);
                        p.state[4] = driver::t_int(1);
                      }});
  }

  /* global_cardinality(Xs, Keys, Counts) with costs and without: every variable and key active,
   * FixedCost 0 */
  for (bool costs : {true, false}) {
    r = add(costs ? "global_cardinality, costs" : "global_cardinality",
            {range(1, 2), range(1, 2), range(0, 2), range(0, 2), range(0, 20)},
            [costs](const std::vector<int> &v) {
              std::vector<tmpl> xs = {driver::t_var(v[0]), driver::t_var(v[1])}, keys, counts, entries;
              for (int j = 0; j < 2; j++) {
                keys.push_back(driver::t_int(j + 1));
                counts.push_back(driver::t_var(v[2 + j]));
                entries.push_back(driver::t_struct("-", {driver::t_int(j + 1), driver::t_entry(v[2 + j])}));
              }
              tmpl matrix = driver::t_list({driver::t_list({driver::t_int(1), driver::t_int(5)}),
                                            driver::t_list({driver::t_int(5), driver::t_int(1)})});
              tmpl cost = costs ? driver::t_struct("c", {driver::t_var(v[4]), driver::t_attr(v[4]), matrix})
                                : driver::t_atom("[]");
              return driver::posting{"global_cardinality",
                                     {driver::t_list(xs), driver::t_list(keys), driver::t_list(counts)},
                                     {driver::t_int(2), driver::t_int(2), driver::t_list(xs),
                                      driver::t_list(entries), driver::t_int(costs), cost, driver::t_int(0)}};
            });
    out_of_range(r, "NVarTargets", 0, {0, 1, 3});
    out_of_range(r, "NValTargets", 1, {0, 1, 3});
    out_of_range(r, "FixedCost", 6, {1, -1, 9});
  }

  /* scalar_product(Terms, Rel, RHS, Dropped): nothing dropped yet */
  r = add("scalar_product", {d13, d13}, [](const std::vector<int> &v) {
    std::vector<tmpl> terms;
    for (int x : v)
      terms.push_back(
          driver::t_struct("t", {driver::t_int(1), driver::t_var(x), driver::t_attr(x)}));
    std::vector<tmpl> args = {driver::t_list(terms), driver::t_int(3), driver::t_int(4),
                              driver::t_int(0)};
    return driver::posting{"scalar_product", args, args};
  });
  out_of_range(r, "Dropped", 3, {1, 2});
  return rows;
}

/* Option words (a state argument from 0 of a row above, or argument sub of that structure) and
 * values with a bit the entry does not define. */
struct option_row {
  const char *name;
  int arg, sub;
  std::vector<int64_t> values;
};
const option_row option_words[] = {
    {"relation", 1, -1, {4, 8, 6, -1}},    {"cumulatives", 2, -1, {16, 17, -1}},
    {"lex_chain", 3, -1, {8, -1}},         {"all_distinct", 3, -1, {2, 4, -1}},
    {"disjoint1", 1, 0, {16, 64, 17, -1}}, {"cumulative", 6, -1, {4, 8, 10, 1 << 20, -1}},
    {"disjoint2", 1, 0, {0x80, 0x81, -1}},
};

/* Lists of a row's state, reached in a posting (setting what makes them read). */
struct list_row {
  const char *name, *what;
  std::function<tmpl &(driver::posting &)> list;
};
const list_row state_lists[] = {
    {"cumulatives", "Tasks", [](driver::posting &p) -> tmpl & { return p.state[3]; }},
    {"cumulatives", "Machines", [](driver::posting &p) -> tmpl & { return p.state[4]; }},
    {"cumulative", "Tasks", [](driver::posting &p) -> tmpl & { return p.state[1]; }},
    {"cumulative", "Diffs", [](driver::posting &p) -> tmpl & { return p.state[2]; }},
    {"disjoint1", "Items", [](driver::posting &p) -> tmpl & { return p.state[2]; }},
    {"disjoint1", "Margins",
     [](driver::posting &p) -> tmpl & {
       p.state[1].args[0] = driver::t_int(4);
       tmpl m = driver::t_struct("m", {driver::t_atom("t"), driver::t_atom("t"), driver::t_int(1)});
       return p.state[1].args[3] = driver::t_list({m, m});
     }},
};

const entry_row *row_named(const std::vector<entry_row> &rows, const char *name)
{
  for (const entry_row &e : rows)
    if (e.name == std::string(name)) return &e;
  return nullptr;
}

class FdFirstCall : public fd_harness::FdHarness {
protected:
  /* The post of a posting over fresh variables: 1, 0 failed, -1 an exception (in *error). */
  int post(const entry_row &r, const std::function<void(driver::posting &)> &mutate,
           std::string *error)
  {
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    driver::posting p = r.posting(make_vars(d, r.doms));
    if (mutate) mutate(p);
    int rc = d.post_state(p);
    *error = rc < 0 ? exception() : "";
    return rc;
  }
  static void expect_domain_error(int rc, const std::string &error, const std::string &what)
  {
    EXPECT_TRUE(rc == -1 && error.rfind("error(domain_error(", 0) == 0) << what << ": "
                                                                        << (rc == 1   ? "taken"
                                                                            : rc == 0 ? "failed"
                                                                                      : error);
  }
};

TEST_F(FdFirstCall, CountersOutOfTheirFirstCallRangeAreDomainErrors)
{
  for (const entry_row &r : entries()) {
    SCOPED_TRACE(r.name);
    std::string error;
    EXPECT_EQ(post(r, nullptr, &error), 1) << "the posting itself is refused: " << error;
    for (const auto &[what, mutate] : r.bad) {
      int rc = post(r, mutate, &error);
      expect_domain_error(rc, error, std::string(r.name) + ", " + what);
    }
  }
}

TEST_F(FdFirstCall, UndefinedOptionBitsAreDomainErrors)
{
  std::vector<entry_row> rows = entries();
  for (const option_row &o : option_words) {
    const entry_row *r = row_named(rows, o.name);
    ASSERT_TRUE(r) << o.name;
    for (int64_t v : o.values) {
      std::string error;
      tmpl word = driver::t_int(v);
      int rc = post(*r, o.sub < 0 ? set_arg(o.arg, word) : fd_harness::set_sub(o.arg, o.sub, word),
                    &error);
      expect_domain_error(rc, error, std::string(o.name) + ", options " + std::to_string(v));
    }
  }
}

/* A list open at its end after each of its elements (none included) is an instantiation error;
 * closed there, the posting is taken. */
TEST_F(FdFirstCall, PartialListsAreInstantiationErrors)
{
  std::vector<entry_row> rows = entries();
  for (const list_row &l : state_lists) {
    const entry_row *r = row_named(rows, l.name);
    ASSERT_TRUE(r) << l.name;
    for (size_t keep = 0;; keep++) {
      SCOPED_TRACE(std::string(l.name) + ", " + l.what + ", elements " + std::to_string(keep));
      size_t length = 0;
      auto cut = [&](driver::posting &p, tmpl tail) {
        tmpl &list = l.list(p);
        length = list.args.size();
        std::vector<tmpl> head(list.args.begin(), list.args.begin() + (long)std::min(keep, length));
        list = driver::t_improper(head, tail);
      };
      std::string error;
      int rc = post(
          *r, [&](driver::posting &p) { cut(p, {tmpl::unbound}); }, &error);
      EXPECT_TRUE(rc == -1 && error.rfind("error(instantiation_error", 0) == 0)
          << (rc == 1   ? "taken"
              : rc == 0 ? "failed"
                        : error);
      if (keep >= length) break;
    }
    std::string error;
    EXPECT_EQ(post(
                  *r, [&](driver::posting &p) { l.list(p); }, &error),
              1)
        << error;
  }
}

}  // namespace
