/* lex_chain/2: random chains against an oracle of the lexicographic order (strict or not, with
 * increasing tuples or not), the constraint's edge cases, solution counts and mutated states. */
#include "fd_harness.h"

namespace {

using fd_harness::driver;
using fd_harness::instance;
using fd_harness::level;
using fd_harness::result;
using fd_harness::row;
using fd_harness::tuple;
using fd_oracle::domain;
using fd_oracle::range;

/* data: ntuples, nvars, flags (1 strict, 2 among, 4 increasing), then with flag 2 Least, Most
 * and the Values as a bit mask over 0..3. */
driver::posting lex_posting(const instance &in, const std::vector<int> &vars)
{
  int nt = (int)in.data[0], nv = (int)in.data[1];
  std::vector<driver::tmpl> tuples, ctuples, pairs;
  for (int i = 0; i < nt; i++) {
    std::vector<int> xs(vars.begin() + i * nv, vars.begin() + (i + 1) * nv);
    tuples.push_back(driver::t_entries(xs));
    ctuples.push_back(driver::t_vars(xs));
    if (i > 0) pairs.push_back({driver::tmpl::unbound});
  }
  std::vector<std::pair<int32_t, int32_t>> values;
  int64_t least = 0, most = 0, mask = 0;
  if (in.data.size() > 3) least = in.data[3], most = in.data[4], mask = in.data[5];
  for (int v = 0; v < 4; v++)
    if (mask >> v & 1) {
      if (!values.empty() && values.back().second == v - 1)
        values.back().second = v;
      else
        values.push_back({v, v});
    }
  driver::tmpl among = driver::t_struct("among", {driver::t_int(least), driver::t_int(most), driver::t_set(values)});
  driver::posting p{"lex_chain",
                    {driver::t_list(ctuples), driver::t_atom("[]")},
                    {driver::t_list(tuples), driver::t_int(nt), driver::t_int(nv),
                     driver::t_int(in.data[2]), among, driver::t_list(pairs)}};
  p.susp = "";
  return p;
}

bool lex_sat(const instance &in, const tuple &t)
{
  int nt = (int)in.data[0], nv = (int)in.data[1], flags = (int)in.data[2];
  for (int i = 0; i < nt; i++) {
    if (flags & 2) {
      int64_t in_values = 0;
      for (int j = 0; j < nv; j++) in_values += t[i * nv + j] >= 0 && t[i * nv + j] < 4 && (in.data[5] >> t[i * nv + j] & 1);
      if (in_values < in.data[3] || in_values > in.data[4]) return false;
    }
    if (flags & 4)
      for (int j = 0; j + 1 < nv; j++)
        if (t[i * nv + j] >= t[i * nv + j + 1]) return false;
    if (i + 1 == nt) continue;
    int c = 0;
    for (int j = 0; j < nv && c == 0; j++) c = (t[i * nv + j] > t[(i + 1) * nv + j]) - (t[i * nv + j] < t[(i + 1) * nv + j]);
    if (c > 0 || (c == 0 && (flags & 1))) return false;
  }
  return true;
}

row lex_row(std::vector<int> flag_choices, int max_nvars = 3)
{
  row r;
  r.name = "lex_chain";
  r.generate = [flag_choices, max_nvars](fd_harness::rng &g) {
    instance in;
    int nt = 2 + g.below(2), nv = 1 + g.below(max_nvars);
    in.data = {nt, nv, flag_choices[g.below((int)flag_choices.size())]};
    if (in.data[2] & 2) {
      int least = g.below(nv + 1);
      in.data.insert(in.data.end(), {least, least + g.below(nv + 1 - least), 1 + g.below(15)});
    }
    for (int i = 0; i < nt * nv; i++) in.doms.push_back(fd_harness::random_domain(g, 0, 2 + g.below(2), 20));
    return in;
  };
  r.sat = lex_sat;
  r.posting = lex_posting;
  /* pair mode decides a pair by posting x <= y + c at its first open position, chosen from the
   * domains: stated here as the order itself */
  r.residual = lex_sat;
  auto set_arg = [](int k, driver::tmpl t) { return [k, t](driver::posting &p) { p.state[k] = t; }; };
  r.mutations = {
      {"ntuples off", set_arg(1, driver::t_int(5))},
      {"nvars off", set_arg(2, driver::t_int(9))},
      {"among with Least above Most",
       [](driver::posting &p) {
         p.state[3] = driver::t_int(2);
         p.state[4] = driver::t_struct("among", {driver::t_int(2), driver::t_int(1), driver::t_atom("[]")});
       }},
      {"among's Values not a set",
       [](driver::posting &p) {
         p.state[3] = driver::t_int(2);
         p.state[4] = driver::t_struct("among", {driver::t_int(0), driver::t_int(1), driver::t_atom("a")});
       }},
      {"flags not an integer", set_arg(3, driver::t_atom("a"))},
      {"pairs one short", [](driver::posting &p) { p.state[5].args.pop_back(); }},
      {"a tuple one short", [](driver::posting &p) { p.state[0].args[0].args.pop_back(); }},
  };
  r.instances = 120;
  return r;
}

class LexChain : public fd_harness::FdHarness {
protected:
  std::string post_on(std::vector<int64_t> data, std::vector<domain> doms, bool *entailed = nullptr)
  {
    instance in;
    in.data = std::move(data);
    in.doms = std::move(doms);
    result r = run(lex_row({0}), in);
    if (entailed) *entailed = r.entailed;
    if (r.outcome != 1) return "fail";
    std::string s;
    for (const domain &x : r.doms) s += x.text() + " ";
    return s;
  }
  uint64_t count(int nt, int nv, int lo, int hi, int flags)
  {
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    instance in;
    in.data = {nt, nv, flags};
    std::vector<int> vars;
    for (int i = 0; i < nt * nv; i++) vars.push_back(d.new_var(lo, hi));
    EXPECT_EQ(d.post_state(lex_posting(in, vars)), 1);
    fd_driver::counts c;
    EXPECT_EQ(d.search(vars, {}, [](driver &) { return true; }, &c), 1);
    return c.solutions;
  }
};

TEST_F(LexChain, EveryProperty) { check_row(lex_row({0, 1, 4, 5})); }
TEST_F(LexChain, EveryPropertyWithAmong) { check_row(lex_row({2, 3, 6, 7})); }
/* four positions: the among rules on trial copies and across a two-choice zone */
TEST_F(LexChain, EveryPropertyWithAmongOnLongerTuples)
{
  row r = lex_row({2, 3, 6, 7}, 4);
  r.name = "lex_chain_4";
  r.instances = 40;
  check_row(r);
}

TEST_F(LexChain, SolutionCounts)
{
  EXPECT_EQ(count(3, 2, 0, 2, 0), 165u);
  EXPECT_EQ(count(3, 2, 0, 2, 1), 84u);
  EXPECT_EQ(count(2, 3, 0, 3, 4), 10u); /* 4 increasing triples over 0..3, pairs in order */
}

TEST_F(LexChain, EdgeCases)
{
  domain p2 = range(0, 9);
  bool entailed = true;
  /* pair mode: P1 and Q1 become 1..2, the pair stays open */
  EXPECT_EQ(post_on({2, 2, 0}, {range(1, 3), p2, range(0, 2), p2}, &entailed),
            "[[1|2]] [[0|9]] [[1|2]] [[0|9]] ");
  EXPECT_FALSE(entailed);
  /* position 2 surely greater: P1 #=< Q1 - 1 fixes both, the pair is decided */
  EXPECT_EQ(post_on({2, 2, 0}, {range(1, 3), range(5, 9), range(0, 2), range(0, 4)}, &entailed),
            "[[1|1]] [[5|9]] [[2|2]] [[0|4]] ");
  EXPECT_TRUE(entailed);
  /* strict, every position fixed to the same values */
  EXPECT_EQ(post_on({2, 2, 1}, {range(1, 1), range(2, 2), range(1, 1), range(2, 2)}), "fail");
  EXPECT_EQ(post_on({0, 2, 0}, {}, &entailed), "");
  EXPECT_TRUE(entailed);
  /* three tuples: the middle one lies between its neighbours (X1 = 2 wants X2 >= 5, X1 = 3 wants
   * X2 <= 1) */
  EXPECT_EQ(post_on({3, 2, 0}, {range(2, 2), range(5, 5), range(0, 9), range(0, 9), range(3, 3),
                                range(1, 1)}),
            "[[2|2]] [[5|5]] [[2|3]] [[0|1],[5|9]] [[3|3]] [[1|1]] ");
}

/* Among (flag 2, Values as a mask over 0..3): bound vectors that meet the counts, and the rules
 * that follow them. */
TEST_F(LexChain, AmongEdgeCases)
{
  domain b = range(0, 1), one = range(1, 1), zero = range(0, 0);
  struct {
    std::vector<int64_t> data;
    std::vector<domain> doms;
    const char *expected;
  } rows[] = {
      /* two or three of three in {1}, at most (1, 0, 1): the third position must be 1 */
      {{2, 3, 2, 2, 3, 2}, {b, b, b, one, zero, one}, "[[0|1]] [[0|1]] [[1|1]] [[1|1]] [[0|0]] [[1|1]] "},
      /* at least two of {1} strictly below (0, 1, 1): no such vector */
      {{2, 3, 3, 2, 3, 2}, {b, b, b, zero, one, one}, "fail"},
      /* exactly one in {2, 3}, increasing, at most (0, 1, 3): (0, 1, 2) or (0, 1, 3) */
      {{2, 3, 6, 1, 1, 12}, {range(0, 3), range(0, 3), range(0, 3), zero, one, range(3, 3)},
       "[[0|0]] [[1|1]] [[2|3]] [[0|0]] [[1|1]] [[3|3]] "},
  };
  for (auto &r : rows) EXPECT_EQ(post_on(r.data, r.doms), r.expected);
}

/* (1, 1, B, C), at most three in {1, 3}: once B loses 2 (keeping both its bound vector values),
 * C must leave the set. The settled prefix counts for the wake-up, not only the positions from
 * the two-choice limit on. */
TEST_F(LexChain, AmongWakeCountsTheSettledPrefix)
{
  driver d(api);
  fd_undo_scope undo(w, QX_ALT_FAILCODE);
  instance in;
  in.data = {1, 4, 2, 0, 3, 10};
  std::vector<int> vars = make_vars(d, {range(1, 1), range(1, 1), range(1, 3), range(0, 1)});
  ASSERT_EQ(d.post_state(lex_posting(in, vars)), 1);
  EXPECT_EQ(domains(d, vars)[3].text(), "[[0|1]]");
  ASSERT_EQ(d.exclude(vars[2], 2), 1);
  EXPECT_EQ(domains(d, vars)[3].text(), "[[0|0]]");
}

/* Three tuples without among or increasing: both pairs open at the post, each tuple in a run of
 * two undecided pairs, so the post reaches domain consistency. */
TEST_F(LexChain, ThreeTuplesAreDomainConsistentAtThePost)
{
  row rw = lex_row({0, 1});
  rw.claimed = level::domain;
  rw.generate = [](fd_harness::rng &g) {
    instance in;
    in.data = {3, 1 + g.below(3), g.below(2)};
    for (int i = 0; i < 3 * in.data[1]; i++)
      in.doms.push_back(fd_harness::random_domain(g, 0, 2 + g.below(2), 20));
    return in;
  };
  for (int k = 0; k < scaled(100) && !HasFailure(); k++) {
    fd_harness::rng g{0};
    instance in = seed(rw, k, &g);
    SCOPED_TRACE("instance " + std::to_string(k));
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    std::vector<int> vars = make_vars(d, in.doms);
    check_fixpoint(d, rw, in, vars, in.doms, post(d, rw, in, vars));
  }
}

}  // namespace
