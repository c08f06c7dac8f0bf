/* geost/4 end to end: random instances through the shared harness against brute force (k = 1, 2,
 * 3, shapes of several boxes, origins with holes, the bounding-box corners), the meaning-changing
 * options against their own relations, bad input; one sweep against the regions it sees; the
 * option edits of the first initialisation; the daemon's marks; witnesses across backtracking;
 * known packings. */
#include <map>
#include <memory>
#include <set>

#include "fd_geost.h"
#include "fd_geost_test.h"
#include "fd_harness.h"

namespace {

using fd_harness::domain;
using fd_harness::driver;
using fd_harness::instance;
using fd_harness::rng;
using fd_harness::row;
using fd_harness::tuple;
using T = driver;

/* An instance's data: k, n, opt, the number of sboxes, each sbox as sid, k translations, k
 * sizes, then the lex chain as its length and the object indexes. The variables: per object its
 * shape and k origins, then the k lower and the k upper corners, the fix switch, the volume. */
struct geo {
  int k, n, opt, nb;
  std::vector<geost_test::sbox_spec> boxes;
  std::vector<int> chain;
  explicit geo(const instance &in)
      : k((int)in.data[0]), n((int)in.data[1]), opt((int)in.data[2]), nb((int)in.data[3])
  {
    size_t at = 4;
    for (int j = 0; j < nb; j++) {
      geost_test::sbox_spec s{(int)in.data[at++], {}, {}};
      for (int d = 0; d < k; d++) s.t.push_back((int)in.data[at++]);
      for (int d = 0; d < k; d++) s.l.push_back((int)in.data[at++]);
      boxes.push_back(s);
    }
    if (at < in.data.size())
      for (int c = (int)in.data[at++]; c > 0; c--) chain.push_back((int)in.data[at++]);
  }
  int var_shape(int o) const { return o * (k + 1); }
  int var_origin(int o, int d) const { return o * (k + 1) + 1 + d; }
  int var_lower(int d) const { return n * (k + 1) + d; }
  int var_upper(int d) const { return n * (k + 1) + k + d; }
  int var_fix() const { return n * (k + 1) + 2 * k; }
  int var_volume() const { return var_fix() + 1; }
  int nvars() const { return var_volume() + 1; }
  /* The union volume of shape sid, cell by cell. */
  int64_t svolume(int sid) const
  {
    std::vector<int> lo(k, 1 << 20), hi(k, -(1 << 20));
    for (const auto &s : boxes)
      if (s.sid == sid)
        for (int d = 0; d < k; d++) lo[d] = std::min(lo[d], s.t[d]), hi[d] = std::max(hi[d], s.t[d] + s.l[d] - 1);
    if (lo[0] > hi[0]) return 0;
    int64_t v = 0;
    geost_test::each_point(lo, hi, [&](const std::vector<int> &c) { v += geost_test::covers(boxes, sid, std::vector<int>(k, 0), c); });
    return v;
  }
};

std::vector<int> origin_of(const geo &g, const tuple &x, int o)
{
  std::vector<int> p;
  for (int d = 0; d < g.k; d++) p.push_back((int)x[g.var_origin(o, d)]);
  return p;
}

/* Two objects overlap when some pair of their sboxes does. */
bool overlap(const geo &g, const tuple &x, int a, int b)
{
  for (const auto &s : g.boxes) {
    if (s.sid != x[g.var_shape(a)]) continue;
    for (const auto &t : g.boxes) {
      if (t.sid != x[g.var_shape(b)]) continue;
      bool meet = true;
      for (int d = 0; d < g.k && meet; d++) {
        int64_t a0 = x[g.var_origin(a, d)] + s.t[d], b0 = x[g.var_origin(b, d)] + t.t[d];
        meet = a0 < b0 + t.l[d] && b0 < a0 + s.l[d];
      }
      if (meet) return true;
    }
  }
  return false;
}

/* The decoded instance of the oracle's last call (the oracle asks about one instance at a time). */
const geo &decoded(const instance &in)
{
  static std::vector<int64_t> data;
  static std::unique_ptr<geo> g;
  if (!g || data != in.data) data = in.data, g = std::make_unique<geo>(in);
  return *g;
}

bool sat(const instance &in, const tuple &x)
{
  const geo &g = decoded(in);
  for (int d = 0; d < g.k; d++) { /* the corners are the hull of every sbox */
    int64_t lo = INT64_MAX, hi = INT64_MIN;
    for (int o = 0; o < g.n; o++)
      for (const auto &s : g.boxes)
        if (s.sid == x[g.var_shape(o)])
          lo = std::min(lo, x[g.var_origin(o, d)] + s.t[d]), hi = std::max(hi, x[g.var_origin(o, d)] + s.t[d] + s.l[d]);
    if (x[g.var_lower(d)] != lo || x[g.var_upper(d)] != hi) return false;
  }
  if (!(g.opt & (GEOST_OVERLAP | GEOST_OVERLAP_TOO)))
    for (int a = 0; a < g.n; a++)
      for (int b = a + 1; b < g.n; b++)
        if (overlap(g, x, a, b)) return false;
  if (g.opt & GEOST_LEX)
    for (size_t i = 0; i + 1 < g.chain.size(); i++)
      if (origin_of(g, x, g.chain[i]) > origin_of(g, x, g.chain[i + 1])) return false;
  if (g.opt & GEOST_VOLUME) {
    int64_t v = 0;
    for (int o = 0; o < g.n; o++) v += g.svolume((int)x[g.var_shape(o)]);
    if (x[g.var_volume()] != v) return false;
  }
  return true;
}

/* The option variants of the redundant options (each alone, then all), added to the instance's. */
constexpr int REDUNDANT[] = {0,      GEOST_DISJUNCTIVE, GEOST_CUMULATIVE, GEOST_DYNAMIC_PROGRAMMING | GEOST_CUMULATIVE,
                             GEOST_POLYMORPHISM, GEOST_PARCONFLICT, GEOST_VISAVIS_INIT, GEOST_VISAVIS,
                             GEOST_CORNERS, GEOST_TASK_INTERVALS, GEOST_LONGEST_HOLE, GEOST_LONGEST_HOLE_ALL,
                             GEOST_VISAVIS_FLOATING | GEOST_LONGEST_HOLE, 0x7ff2 & ~0x8};

T::posting posting(const instance &in, const std::vector<int> &v)
{
  geo g(in);
  std::vector<T::tmpl> objs, boxes, lows, ups, chain;
  for (int o = 0; o < g.n; o++) {
    std::vector<T::tmpl> origin;
    for (int d = 0; d < g.k; d++) origin.push_back(T::t_entry(v[g.var_origin(o, d)]));
    objs.push_back(T::t_struct("object", {T::t_int(10 + o), T::t_entry(v[g.var_shape(o)]), T::t_list(origin),
                                          T::t_mutable(T::t_atom("none")), T::t_mutable(T::t_atom("none"))}));
  }
  std::map<int, int> per;
  int maxn = 0;
  for (const auto &s : g.boxes) {
    std::vector<T::tmpl> t, l;
    for (int d = 0; d < g.k; d++) t.push_back(T::t_int(s.t[d])), l.push_back(T::t_int(s.l[d]));
    boxes.push_back(T::t_struct("sbox", {T::t_int(s.sid), T::t_list(t), T::t_list(l)}));
    maxn = std::max(maxn, ++per[s.sid]);
  }
  for (int d = 0; d < g.k; d++) lows.push_back(T::t_entry(v[g.var_lower(d)])), ups.push_back(T::t_entry(v[g.var_upper(d)]));
  for (int o : g.chain) chain.push_back(T::t_int(10 + o));
  /* the variant past the redundant options' table: pallet loading */
  int opt = g.opt | (in.variant < (int)std::size(REDUNDANT) ? REDUNDANT[in.variant] : GEOST_PALLET_LOADING);
  return T::posting{"geost",
                    {T::t_atom("objects"), T::t_atom("shapes"), T::t_atom("options"), T::t_atom("rules")},
                    {T::t_int(g.k), T::t_int(g.n), T::t_int(g.nb), T::t_int(maxn), T::t_int(g.n), T::t_list(objs),
                     T::t_list(boxes), T::t_entry(v[g.var_fix()]), T::t_struct("bb", {T::t_list(lows), T::t_list(ups)}),
                     T::t_entry(v[g.var_volume()]), T::t_int(opt), T::t_atom("[]"), T::t_list({T::t_list(chain)}),
                     T::t_int(1000), T::t_atom("[]"), T::t_int(0), T::t_int(0)}};
}

/* The instance's variables: shapes and origins from the objects, the corners around the hull of
 * the placements, the switch 0 and the volume in its possible range. */
instance make_instance(rng &r, int k, const std::vector<geost_test::object_spec> &objs,
                       const std::vector<geost_test::sbox_spec> &boxes, int opt, bool holes)
{
  instance in;
  in.data = {k, (int64_t)objs.size(), opt, (int64_t)boxes.size()};
  for (const auto &s : boxes) {
    in.data.push_back(s.sid);
    for (int x : s.t) in.data.push_back(x);
    for (int x : s.l) in.data.push_back(x);
  }
  std::vector<int64_t> lo(k, INT64_MAX), hi(k, INT64_MIN);
  for (const auto &o : objs) {
    in.doms.push_back(fd_oracle::range(o.shape_lo, o.shape_hi));
    for (int d = 0; d < k; d++) {
      in.doms.push_back(holes ? fd_harness::random_domain(r, o.origin[d].first, o.origin[d].second, 30)
                              : fd_oracle::range(o.origin[d].first, o.origin[d].second));
      for (const auto &s : boxes)
        if (s.sid >= o.shape_lo && s.sid <= o.shape_hi) {
          lo[d] = std::min<int64_t>(lo[d], o.origin[d].first + s.t[d]);
          hi[d] = std::max<int64_t>(hi[d], o.origin[d].second + s.t[d] + s.l[d]);
        }
    }
  }
  for (int d = 0; d < k; d++) in.doms.push_back(holes ? fd_harness::random_domain(r, lo[d], lo[d] + 2, 20) : fd_oracle::range(lo[d], lo[d] + 3));
  for (int d = 0; d < k; d++) in.doms.push_back(holes ? fd_harness::random_domain(r, hi[d] - 3, hi[d], 20) : fd_oracle::range(hi[d] - 4, hi[d]));
  in.doms.push_back(fd_oracle::range(0, 0));
  in.doms.push_back(fd_oracle::range(0, opt & GEOST_VOLUME ? 30 : 0));
  return in;
}

/* Random objects and shapes (fd_geost_test's generator), up to 3 objects in k = 1, else 2. */
instance generate(rng &r, int k, int opt)
{
  std::vector<geost_test::object_spec> objs;
  std::vector<geost_test::sbox_spec> boxes;
  geost_test::random_instance(r, k, &objs, &boxes);
  if (k > 1 && objs.size() > 2) objs.resize(2);
  if (k == 3) /* two values per origin at most: the oracle's product stays small */
    for (auto &o : objs)
      for (auto &iv : o.origin) iv.second = std::min(iv.second, iv.first + 1);
  instance in = make_instance(r, k, objs, boxes, opt, true);
  uint64_t product = 1;
  for (const domain &x : in.doms)
    if (x.finite()) product *= (uint64_t)(x.max() - x.min() + 1);
  if (product > 40000) return generate(r, k, opt); /* the oracle enumerates the product */
  if (opt & GEOST_LEX) {
    in.data.push_back((int64_t)objs.size());
    for (size_t o = 0; o < objs.size(); o++) in.data.push_back((int64_t)o);
  }
  return in;
}

/* Bad input: each is an error or a failure at the first call. */
std::vector<std::pair<std::string, std::function<void(T::posting &)>>> mutations()
{
  auto arg = [](T::posting &p, int i) -> T::tmpl & { return p.state[i - 1]; };
  auto first_box = [arg](T::posting &p) -> T::tmpl & { return arg(p, 7).args[0]; };
  return {
      {"k below 1", [arg](T::posting &p) { arg(p, 1) = T::t_int(0); }},
      {"object count", [arg](T::posting &p) { arg(p, 2) = T::t_int(arg(p, 6).args.size() + 1); }},
      {"sbox count", [arg](T::posting &p) { arg(p, 3) = T::t_int(arg(p, 7).args.size() + 1); }},
      {"max_nsboxes below a shape's", [arg](T::posting &p) { arg(p, 4) = T::t_int(0); }},
      {"boxes not sorted", [arg](T::posting &p) {
         auto &l = arg(p, 7).args;
         l.push_back(l.front());
         l.back().args[0] = T::t_int(-5);
         arg(p, 3) = T::t_int(l.size());
       }},
      {"translations not of length k", [first_box](T::posting &p) { first_box(p).args[1].args.push_back(T::t_int(0)); }},
      {"sizes not of length k", [first_box](T::posting &p) { first_box(p).args[2].args.pop_back(); }},
      {"size below 1", [first_box](T::posting &p) { first_box(p).args[2].args[0] = T::t_int(0); }},
      {"duplicated ids", [arg](T::posting &p) {
         auto &l = arg(p, 6).args;
         l.push_back(l.front());
         arg(p, 2) = T::t_int(l.size());
       }},
      {"shape with no boxes", [arg](T::posting &p) {
         for (auto &b : arg(p, 7).args) b.args[0] = T::t_int(b.args[0].v + 100);
       }},
      {"fixall order not a multiple of k+1", [arg](T::posting &p) { arg(p, 12) = T::t_list({T::t_int(-1)}); }},
      {"fixall order naming no dimension", [arg](T::posting &p) {
         std::vector<T::tmpl> g(arg(p, 1).v + 1, T::t_int(9));
         arg(p, 12) = T::t_list(g);
       }},
      {"object not a term", [arg](T::posting &p) { arg(p, 6).args[0] = T::t_int(3); }},
      {"state of the wrong arity", [](T::posting &p) { p.state.pop_back(); }},
      {"witness not a mutable", [arg](T::posting &p) { arg(p, 6).args[0].args[3] = T::t_atom("none"); }},
      {"rule depending on no object", [arg](T::posting &p) {
         arg(p, 11) = T::t_int(arg(p, 11).v | GEOST_RULES);
         arg(p, 15) = T::t_list({T::t_struct("rule", {T::t_int(0), T::t_int(0), T::t_int(2), T::t_int(0), T::t_int(0),
                                                        T::t_int(1), T::t_atom("[]"), T::t_list({T::t_int(7)})})});
       }},
      {"bad rule", [arg](T::posting &p) {
         arg(p, 11) = T::t_int(arg(p, 11).v | GEOST_RULES);
         arg(p, 15) = T::t_list({T::t_struct("rule", {T::t_int(0), T::t_int(0), T::t_int(2), T::t_int(0), T::t_int(2),
                                                        T::t_int(0), T::t_list({T::t_int(99), T::t_int(0)}), T::t_atom("[]")})});
       }},
  };
}

row geost_row(const std::string &name, int k, int opt, int instances)
{
  row rw;
  rw.name = name;
  rw.generate = [k, opt](rng &r) { return generate(r, k, opt); };
  rw.sat = sat;
  rw.posting = posting;
  rw.instances = instances;
  rw.walks = 2;
  rw.steps = 16;
  rw.mutations = mutations();
  return rw;
}

class FdGeostEntry : public fd_harness::FdHarness {
protected:
  /* The block of the newest global (null when none is left). */
  geost_data *block(driver &d)
  {
    TAGGED state = fd_mutable_value(StrArg(d.last_global(), FD_GLOBAL_STATE));
    TAGGED h = deref(StrArg(state, 18));
    return IsLst(h) && IsVar(deref(LstHead(h))) ? (geost_data *)fd_perm_data(h) : nullptr;
  }
  std::string state_of(driver &d) { return fd_harness::written(fd_mutable_value(StrArg(d.last_global(), FD_GLOBAL_STATE))); }
  /* A driver with the instance's variables and geost posted on them, undone at the end. */
  struct session {
    driver d;
    fd_undo_scope undo;
    std::vector<int> vars;
    int outcome;
    session(FdGeostEntry &t, const instance &in)
        : d(t.api), undo(t.w, QX_ALT_FAILCODE), vars(t.make_vars(d, in.doms)), outcome(d.post_state(posting(in, vars)))
    {}
  };
};

/* (a)-(g) on random instances in one, two and three dimensions. */
TEST_F(FdGeostEntry, RandomInstancesAgreeWithBruteForce)
{
  for (int k = 1; k <= 3; k++) check_row(geost_row("geost k" + std::to_string(k), k, 0, 100));
}

}  // namespace

namespace {

/* A packing of a w x h box (fd_geost_test's exact packings), the corners fixed to the box; with
 * drop, one piece of area 1 or 2 is left out when there is one (slack 1 or 2). */
instance packing_instance(rng &r, int opt, bool drop)
{
  int w = 3 + r.below(2), h = 3 + r.below(2);
  geost_test::packing pk = geost_test::make_packing(r, w, h);
  if (drop)
    for (size_t i = 0; i < pk.objs.size(); i++) {
      int area = 0;
      for (const auto &s : pk.boxes)
        if (s.sid == pk.sid[i]) area += s.l[0] * s.l[1];
      if (area > 2 || pk.objs[i].shape_hi != pk.objs[i].shape_lo) continue;
      pk.objs.erase(pk.objs.begin() + (long)i);
      break;
    }
  instance in = make_instance(r, 2, pk.objs, pk.boxes, opt, false);
  geo g(in);
  for (int d = 0; d < 2; d++) {
    in.doms[g.var_lower(d)] = fd_oracle::range(0, 0);
    in.doms[g.var_upper(d)] = fd_oracle::range(d ? h : w, d ? h : w);
  }
  uint64_t product = 1;
  for (const domain &x : in.doms) product *= (uint64_t)(x.max() - x.min() + 1);
  return product > 60000 ? packing_instance(r, opt, drop) : in;
}

/* Pallet instances: n copies of one a x b item, each either way round, in a box. */
instance pallet_instance(rng &r, int opt)
{
  int a = 1 + r.below(2), b = a + 1, n = 2 + r.below(2), W = 3 + r.below(2), H = 3;
  std::vector<geost_test::sbox_spec> boxes = {{0, {0, 0}, {a, b}}, {1, {0, 0}, {b, a}}};
  std::vector<geost_test::object_spec> objs;
  for (int o = 0; o < n; o++) objs.push_back({0, 1, {{0, W - a}, {0, H - a}}});
  instance in = make_instance(r, 2, objs, boxes, opt, false);
  geo g(in);
  for (int d = 0; d < 2; d++) in.doms[g.var_lower(d)] = fd_oracle::range(0, 0), in.doms[g.var_upper(d)] = fd_oracle::range(0, d ? H : W);
  return in;
}

/* The redundant options, each alone and all together, find the solutions of none. */
TEST_F(FdGeostEntry, RedundantOptionsKeepTheSolutionSets)
{
  std::vector<int> all;
  for (size_t v = 0; v < std::size(REDUNDANT); v++) all.push_back((int)v);
  row rw = geost_row("geost options", 2, 0, 40);
  rw.variants = all;
  rw.mutations.clear();
  rw.walks = 1;
  check_row(rw);
  for (bool drop : {false, true}) {
    row pk = rw;
    pk.name = drop ? "geost near-exact packings" : "geost exact packings";
    pk.generate = [drop](rng &r) { return packing_instance(r, 0, drop); };
    pk.instances = 24;
    check_row(pk);
  }
  row pl = rw;
  pl.name = "geost pallets";
  pl.generate = [](rng &r) { return pallet_instance(r, 0); };
  pl.variants = {0, (int)std::size(REDUNDANT)}; /* pallet loading: the variant past the table */
  pl.instances = 16;
  check_row(pl);
}

/* The options that change the relation: lex chains, the volume variable, overlapping objects. */
TEST_F(FdGeostEntry, MeaningChangingOptionsAgreeWithTheirRelations)
{
  for (int k = 1; k <= 2; k++) {
    check_row(geost_row("geost lex k" + std::to_string(k), k, GEOST_LEX, 50));
    check_row(geost_row("geost volume k" + std::to_string(k), k, GEOST_VOLUME, 50));
    check_row(geost_row("geost overlap k" + std::to_string(k), k, GEOST_OVERLAP, 30));
    check_row(geost_row("geost 0x80000 k" + std::to_string(k), k, GEOST_OVERLAP_TOO, 30));
  }
}

/* Two dimensions, one box per shape, fixed shapes: geost and disjoint2 place the same origins. */
TEST_F(FdGeostEntry, SameSolutionsAsDisjoint2)
{
  int placed = 0;
  for (int i = 0; i < scaled(30); i++) {
    rng r{(uint64_t)i * 131 + 7};
    int n = 2 + r.below(2);
    std::vector<geost_test::sbox_spec> boxes;
    std::vector<geost_test::object_spec> objs;
    for (int o = 0; o < n; o++) {
      boxes.push_back({o, {0, 0}, {1 + r.below(3), 1 + r.below(3)}});
      objs.push_back({o, o, {{0, 1 + r.below(3)}, {0, 1 + r.below(3)}}});
    }
    instance in = make_instance(r, 2, objs, boxes, 0, true);
    geo g(in);
    for (int d = 0; d < 2; d++) in.doms[g.var_lower(d)] = fd_oracle::range(-1, 8), in.doms[g.var_upper(d)] = fd_oracle::range(0, 12);
    std::set<tuple> by[2];
    for (int which = 0; which < 2; which++) {
      driver d(api);
      fd_undo_scope undo(w, QX_ALT_FAILCODE);
      std::vector<int> vars = make_vars(d, in.doms);
      int posted;
      if (which == 0) {
        posted = d.post_state(posting(in, vars));
      } else {
        std::vector<T::tmpl> items;
        for (int o = 0; o < n; o++) {
          int len[2] = {d.new_var(boxes[o].l[0], boxes[o].l[0]), d.new_var(boxes[o].l[1], boxes[o].l[1])};
          std::vector<T::tmpl> a;
          for (int x : {vars[g.var_origin(o, 0)], len[0], vars[g.var_origin(o, 1)], len[1]})
            a.push_back(T::t_var(x)), a.push_back(T::t_attr(x));
          a.push_back(T::t_int(0));
          items.push_back(T::t_struct("i", a));
        }
        T::tmpl opt = T::t_struct("opt", {T::t_int(0), T::t_int(0), T::t_int(0), T::t_int(0), T::t_int(0), T::t_atom("[]")});
        posted = d.post_state({"disjoint2", {T::t_list(items), opt}, {T::t_int(n), opt, T::t_list(items), T::t_int(n), T::t_int(0)}});
      }
      ASSERT_GE(posted, 0) << exception();
      std::vector<int> origins;
      for (int o = 0; o < n; o++) origins.push_back(vars[g.var_origin(o, 0)]), origins.push_back(vars[g.var_origin(o, 1)]);
      auto record = [&](driver &dd) {
        tuple t;
        for (int x : origins) t.push_back(dd.value(x));
        by[which].insert(t);
        return true;
      };
      if (posted == 1) {
        ASSERT_EQ(d.search(origins, {}, record, nullptr), 1) << exception();
      }
    }
    EXPECT_TRUE(by[0] == by[1]) << "instance " << i << ": geost " << by[0].size() << ", disjoint2 " << by[1].size();
    placed += !by[1].empty();
  }
  EXPECT_GE(placed, scaled(30) / 2) << "too few instances with solutions to compare";
}

}  // namespace

namespace {

/* One sweep of an object of a fixed shape: each origin's new bounds are coordinate d of the least
 * and the greatest point, in the order putting d first, within the origin box and outside every
 * region the call sees (the other objects' relative regions turned absolute, the corners'); -1
 * exactly when there is none. */
TEST_F(FdGeostEntry, OneSweepAgainstTheRegionsItSees)
{
  int checked = 0;
  for (int i = 0; i < scaled(300); i++) {
    rng g{(uint64_t)i * 977 + 3};
    int k = 1 + i % 3;
    std::vector<geost_test::object_spec> objs;
    std::vector<geost_test::sbox_spec> boxes;
    geost_test::random_instance(g, k, &objs, &boxes);
    for (auto &o : objs) o.shape_hi = o.shape_lo;
    geost_test::test_block tb(api, k, objs, boxes);
    geost_data *b = tb.b;
    for (int o = 0; o < b->nobjects; o++) b->object.oid[o] = o;
    std::vector<int> box(k, -1000);
    box.resize(2 * k, 1000);
    tb.put(1, box);
    int sid = objs[0].shape_lo;
    all_relative_fr(api, b, 0);
    b->fr.end_absolute = b->fr.end_relative;
    absolute_fr(api, b, w, 0, sid, &b->fr.end_absolute, absolute_cont);
    std::vector<std::vector<int>> regions;
    for (int r = b->fr.end_relative; r < b->fr.end_absolute; r++) regions.push_back(tb.region(r));
    std::vector<int> lo, hi;
    for (int d = 0; d < k; d++) lo.push_back(objs[0].origin[d].first), hi.push_back(objs[0].origin[d].second);
    for (int d = 0; d < k; d++)
      for (int j = 0; j < k; j++) b->object.minwit[d * k + j] = lo[j], b->object.maxwit[d * k + j] = hi[j];
    std::vector<int> least(k, INT_MAX), most(k, INT_MIN);
    geost_test::each_point(lo, hi, [&](const std::vector<int> &p) {
      for (const auto &r : regions) {
        bool in = true;
        for (int d = 0; d < k && in; d++) in = r[d] <= p[d] && p[d] <= r[k + d];
        if (in) return;
      }
      for (int d = 0; d < k; d++) least[d] = std::min(least[d], p[d]), most[d] = std::max(most[d], p[d]);
    });
    int r = filter_object_for_shape(api, b, w, 0, sid, 0, 1);
    SCOPED_TRACE("instance " + std::to_string(i));
    ASSERT_EQ(r < 0, least[0] == INT_MAX);
    if (r < 0) continue;
    checked++;
    for (int d = 0; d < k; d++) {
      EXPECT_EQ(fds_val(b->dvar[1 + d].min), least[d]) << "dimension " << d;
      EXPECT_EQ(fds_val(b->dvar[1 + d].max), most[d]) << "dimension " << d;
    }
  }
  EXPECT_GT(checked, scaled(300) / 3);
}

/* A 2-d instance of two objects that stay open: unit boxes, or big ones. */
instance open_instance(int k, int opt, int size, bool polymorphic)
{
  rng r{1};
  std::vector<geost_test::sbox_spec> boxes = {{0, std::vector<int>(k, 0), std::vector<int>(k, size)},
                                              {1, std::vector<int>(k, 0), std::vector<int>(k, 1)}};
  std::vector<geost_test::object_spec> objs;
  for (int o = 0; o < 2; o++) objs.push_back({0, polymorphic && o ? 1 : 0, std::vector<std::pair<int, int>>(k, {0, 3 * size})});
  instance in = make_instance(r, k, objs, boxes, opt, false);
  geo g(in);
  for (int d = 0; d < k; d++) in.doms[g.var_lower(d)] = fd_oracle::range(-1, 10 * size), in.doms[g.var_upper(d)] = fd_oracle::range(0, 10 * size);
  return in;
}

/* The first initialisation edits the option word: k other than 2, overlap, slack other than
 * the exact slack, a volume that overflows. */
TEST_F(FdGeostEntry, FirstInitialisationEditsTheOptions)
{
  struct edit {
    int k, opt, size;
    bool polymorphic;
    int cleared, kept;
  } table[] = {
      {1, 0x3202 | 0x10, 1, false, 0x3202, 0x10},
      {3, 0x3202 | 0x10, 1, false, 0x3202, 0x10},
      {2, 0x3202 | 0x10, 1, false, 0, 0x3202 | 0x10},
      {2, GEOST_OVERLAP | 0x4fff2, 1, false, 0x4fff2, GEOST_OVERLAP},
      {2, GEOST_OVERLAP_TOO | 0x4fff2, 1, false, 0x4fff2, GEOST_OVERLAP_TOO},
      {2, 0x3000 | 0x10, 1, true, 0x3000, 0x10},
      {2, 0x3000 | 0x10, 1, false, 0, 0x3000 | 0x10},
      {2, 0xfff2 | GEOST_LEX, 40000, false, 0xfff2, GEOST_LEX},
  };
  for (const edit &e : table) {
    SCOPED_TRACE("k " + std::to_string(e.k) + " opt " + std::to_string(e.opt));
    instance in = open_instance(e.k, e.opt, e.size, e.polymorphic);
    session ss(*this, in);
    ASSERT_EQ(ss.outcome, 1) << exception();
    driver &d = ss.d;
    geost_data *b = block(d);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->opt & e.cleared, 0);
    EXPECT_EQ(b->opt & e.kept, e.kept);
  }
}

/* A lex chain naming an identifier no object has is broken there, not an error. */
TEST_F(FdGeostEntry, LexChainWithAnUnknownIdentifier)
{
  instance in = open_instance(2, GEOST_LEX, 1, false);
  session ss(*this, in);
  ASSERT_EQ(ss.outcome, 1) << exception();
  {
    driver &d = ss.d;
    T::posting p = posting(in, ss.vars);
    p.state[12] = T::t_list({T::t_list({T::t_int(10), T::t_int(99), T::t_int(11)}), T::t_list({T::t_int(11), T::t_int(10)})});
    ASSERT_EQ(d.post_state(p), 1) << exception();
    geost_data *b = block(d);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->object.lex_next[1], 0) << "the second chain links 11 before 10";
    EXPECT_EQ(b->object.lex_prev[1], -1) << "99 broke the first chain";
  }
}

/* The daemon marks what changed: an origin its dimension and its object, a corner every active
 * object, a shape the shape flag; a Stamp it did not follow reloads the live count. */
TEST_F(FdGeostEntry, DaemonMarksWhatChanged)
{
  instance in = open_instance(2, 0, 1, true);
  session ss(*this, in);
  ASSERT_EQ(ss.outcome, 1) << exception();
  driver &d = ss.d;
  geost_data *b = block(d);
  ASSERT_NE(b, nullptr);
  TAGGED g = d.last_global();
  fd_set_status(api, w, g, fd_status(g) | FD_ST_QUEUED); /* already queued: the daemon only marks */
  geost_frame *f = geost_frames(b);
  auto clear = [b] {
    b->object.flags[0] = b->object.flags[1] = 0;
    b->pruneddim[0] = b->pruneddim[1] = b->prunedsid = 0;
  };
  clear();
  EXPECT_EQ(geost_daemon(api, w, &f[3 + 2], nullptr, g), 0); /* object 1, dimension 1 */
  EXPECT_EQ(b->pruneddim[0], 0);
  EXPECT_EQ(b->pruneddim[1], 1);
  EXPECT_EQ(b->object.flags[0], 0);
  EXPECT_EQ(b->object.flags[1], 1);
  EXPECT_EQ(b->prunedsid, 0);
  clear();
  geost_daemon(api, w, &f[3], nullptr, g); /* object 1's shape */
  EXPECT_EQ(b->prunedsid, 1);
  EXPECT_EQ(b->object.flags[1], 1);
  for (int c = 0; c < 4; c++) { /* the corners, after the switch: every active object */
    clear();
    geost_daemon(api, w, &f[7 + c], nullptr, g);
    EXPECT_EQ(b->object.flags[0] & 1, 1);
    EXPECT_EQ(b->object.flags[1] & 1, 1);
    EXPECT_EQ(b->pruneddim[0] + b->pruneddim[1], 0);
  }
  b->ntargets = 1;
  b->stamp += 3;
  geost_daemon(api, w, &f[1], nullptr, g);
  EXPECT_EQ(b->ntargets, 2) << "the live count not reloaded from the state";
  EXPECT_EQ(b->stamp, GetSmall(deref(StrArg(fd_mutable_value(StrArg(g, FD_GLOBAL_STATE)), 19))));
}

/* Witnesses live in the mutables: after a call the object's mutable holds its k*k witness
 * values; a branch that moves them writes a new list, and backtracking brings back the old one,
 * which the next call reads into the block. Backtracking past a call that retired an object
 * brings back the live count, and the next call equals a fresh post. */
TEST_F(FdGeostEntry, WitnessesAndRetirementFollowBacktracking)
{
  instance in = open_instance(2, 0, 2, false);
  geo g(in);
  session ss(*this, in);
  ASSERT_EQ(ss.outcome, 1) << exception();
  driver &d = ss.d;
  std::vector<int> &vars = ss.vars;
  geost_data *b = block(d);
  ASSERT_NE(b, nullptr);
  auto mutable_of = [&](int o, int which) {
    TAGGED s = fd_mutable_value(StrArg(d.last_global(), FD_GLOBAL_STATE));
    TAGGED l = deref(StrArg(s, 6));
    for (int i = 0; i < o; i++) l = deref(LstTail(l));
    return fd_harness::written(StrArg(deref(LstHead(l)), which));
  };
  auto block_list = [&](int o) {
    std::string t = "[]";
    for (int i = 3; i >= 0; i--) t = "[" + std::to_string(b->object.minwit[o * 4 + i]) + "|" + t + "]";
    return t;
  };
  std::string before = mutable_of(0, 4), state = state_of(d);
  EXPECT_EQ(before.rfind("$mutable(" + block_list(0), 0), 0u) << before;
  {
    fd_undo_scope branch(w, QX_ALT_FAILCODE);
    ASSERT_EQ(d.exclude(vars[g.var_origin(0, 0)], 0), 1);
    ASSERT_EQ(d.bind(vars[g.var_origin(1, 0)], 0, fd_driver::binding::in_interval), 1);
    ASSERT_EQ(d.bind(vars[g.var_origin(1, 1)], 0, fd_driver::binding::in_interval), 1);
    EXPECT_NE(mutable_of(0, 4), before);
    EXPECT_NE(state_of(d), state) << "object 1 fixed, yet not retired";
    EXPECT_EQ(block(d)->ntargets, 1);
  }
  EXPECT_EQ(mutable_of(0, 4), before) << "the old witnesses not back";
  EXPECT_EQ(state_of(d), state);
  std::vector<domain> now = domains(d, vars);
  now[g.var_origin(1, 1)] = fd_harness::without(now[g.var_origin(1, 1)], 6);
  ASSERT_EQ(d.exclude(vars[g.var_origin(1, 1)], 6), 1);
  EXPECT_EQ(b->ntargets, 2);
  EXPECT_EQ(mutable_of(0, 4).rfind("$mutable(" + block_list(0), 0), 0u);
  row rw = geost_row("witnesses", 2, 0, 1);
  check_fresh(d, rw, in, now, read(d, vars, 1));
}

/* Rerunning the constraint at a fixpoint under a choicepoint (its state older than it) prunes
 * nothing and leaves that state as it was: the entry copies an old state before writing. */
TEST_F(FdGeostEntry, RerunUnderAChoicepointLeavesTheOldState)
{
  instance in = open_instance(2, 0, 2, true);
  session ss(*this, in);
  ASSERT_EQ(ss.outcome, 1) << exception();
  driver &d = ss.d;
  std::vector<int> &vars = ss.vars;
  std::string state = state_of(d);
  EXPECT_EQ(d.rerun_globals(), 0);
  EXPECT_EQ(state_of(d), state);
  ASSERT_EQ(d.exclude(vars[1], 0), 1);
  EXPECT_EQ(d.rerun_globals(), 0);
}

}  // namespace

namespace {

/* Known answers: the smallest square holding the squares 1..n has side 1, 3, 5, 7, 9, 11, ...
 * (feasible at the side, infeasible one below), by search over the origins. */
TEST_F(FdGeostEntry, SmallestSquareForSquaresOneToN)
{
  const int sides[] = {1, 3, 5, 7, 9, 11, 13, 15, 18};
  int last = qx_gc_stress ? 4 : 9;
  for (int n = 1; n <= last; n++)
    for (int S : {sides[n - 1], sides[n - 1] - 1}) {
      if (S < 1) continue;
      std::vector<geost_test::sbox_spec> boxes;
      std::vector<geost_test::object_spec> objs;
      for (int i = n; i >= 1; i--) {
        boxes.insert(boxes.begin(), {i - 1, {0, 0}, {i, i}});
        objs.push_back({i - 1, i - 1, {{0, S - i}, {0, S - i}}});
      }
      rng r{1};
      instance in = make_instance(r, 2, objs, boxes, 0, false);
      geo g(in);
      for (int d = 0; d < 2; d++) in.doms[g.var_lower(d)] = fd_oracle::range(0, S), in.doms[g.var_upper(d)] = fd_oracle::range(0, S);
      driver d(api);
      fd_undo_scope undo(w, QX_ALT_FAILCODE);
      std::vector<int> vars = make_vars(d, in.doms), origins;
      for (int o = 0; o < n; o++) origins.push_back(vars[g.var_origin(o, 0)]), origins.push_back(vars[g.var_origin(o, 1)]);
      int posted = d.post_state(posting(in, vars));
      ASSERT_GE(posted, 0) << exception();
      bool found = false;
      auto first = [&](driver &) { return !(found = true); };
      if (posted == 1) {
        ASSERT_EQ(d.search(origins, {}, first, nullptr), 1) << exception();
      }
      EXPECT_EQ(found, S == sides[n - 1]) << n << " squares in side " << S;
    }
}

}  // namespace

namespace {

/* Known answer: the 33 x 32 rectangle has 4 tilings by the squares 1, 4, 7, 8, 9, 10, 14, 15, 18. */
TEST_F(FdGeostEntry, TilingsOfThirtyThreeByThirtyTwo)
{
  if (qx_gc_stress) GTEST_SKIP() << "a search too long for the collector's stress mode";
  const int sq[] = {18, 15, 14, 10, 9, 8, 7, 4, 1}, W = 33, H = 32;
  std::vector<geost_test::sbox_spec> boxes;
  std::vector<geost_test::object_spec> objs;
  for (int i = 0; i < 9; i++) {
    boxes.push_back({i, {0, 0}, {sq[i], sq[i]}});
    objs.push_back({i, i, {{0, W - sq[i]}, {0, H - sq[i]}}});
  }
  rng r{1};
  instance in = make_instance(r, 2, objs, boxes, 0, false);
  geo g(in);
  for (int d = 0; d < 2; d++) in.doms[g.var_lower(d)] = fd_oracle::range(0, 0), in.doms[g.var_upper(d)] = fd_oracle::range(d ? H : W, d ? H : W);
  driver d(api);
  fd_undo_scope undo(w, QX_ALT_FAILCODE);
  std::vector<int> vars = make_vars(d, in.doms), origins;
  for (int o = 0; o < 9; o++) origins.push_back(vars[g.var_origin(o, 0)]), origins.push_back(vars[g.var_origin(o, 1)]);
  ASSERT_EQ(d.post_state(posting(in, vars)), 1) << exception();
  fd_driver::counts c;
  ASSERT_EQ(d.search(origins, {}, [](driver &) { return true; }, &c), 1) << exception();
  EXPECT_EQ(c.solutions, 4u);
}

}  // namespace

namespace {

/* The option groups of geost (redundant ones and the meaning-changing lex and volume); every
 * pair of them is posted by the rows below, and the whole redundant word. */
constexpr int GROUPS[] = {GEOST_LEX, GEOST_DISJUNCTIVE, GEOST_CUMULATIVE, GEOST_CUMULATIVE | GEOST_DYNAMIC_PROGRAMMING,
                          GEOST_POLYMORPHISM, GEOST_PARCONFLICT, GEOST_VISAVIS_INIT, GEOST_VISAVIS, GEOST_CORNERS,
                          GEOST_TASK_INTERVALS, GEOST_LONGEST_HOLE, GEOST_LONGEST_HOLE_ALL,
                          GEOST_VISAVIS_FLOATING | GEOST_LONGEST_HOLE, GEOST_PALLET_LOADING, GEOST_VOLUME};

std::vector<int> option_words()
{
  const int whole[] = {0x7ff2, GEOST_LONGEST_HOLE_ALL | GEOST_VISAVIS, 0x7ff2 | GEOST_LEX | GEOST_VOLUME};
  std::vector<int> v;
  int n = (int)std::size(GROUPS);
  for (int a = 0; a < n; a++)
    for (int b = a + 1; b < n; b++) {
      if (v.size() % 3 == 0) v.push_back(whole[v.size() / 3 % 3]); /* the many-sided words often */
      v.push_back(GROUPS[a] | GROUPS[b]);
    }
  return v;
}

/* n objects (3..5) of one or two shapes, spread out so that some stand apart; in two dimensions
 * half of them the (near-)exact packings above. */
instance crowd_try(rng &r, int k, int opt)
{
  if (k == 2 && r.below(2)) return packing_instance(r, opt, r.below(2));
  int n = 3 + r.below(3), nshapes = 1 + r.below(2);
  std::vector<geost_test::sbox_spec> boxes;
  for (int sid = 0; sid < nshapes; sid++)
    for (int j = 1 + r.below(2); j > 0; j--) {
      geost_test::sbox_spec s{sid, {}, {}};
      for (int d = 0; d < k; d++) s.t.push_back(j == 2 ? r.below(2) : 0), s.l.push_back(1 + r.below(k == 2 ? 3 : 2));
      boxes.push_back(s);
    }
  std::vector<geost_test::object_spec> objs(n, {0, nshapes - 1, {}});
  for (auto &os : objs) {
    if (r.below(3)) os.shape_lo = os.shape_hi = r.below(nshapes);
    for (int d = 0, lo; d < k; d++) lo = r.below(k == 2 ? 2 + n : 3), os.origin.push_back({lo, lo + (r.below(3) == 0)});
  }
  instance in = make_instance(r, k, objs, boxes, opt, false);
  geo g(in);
  for (int d = 0; d < k; d++) { /* one value off the extreme hull at most */
    int64_t lo = in.doms[g.var_lower(d)].min(), hi = in.doms[g.var_upper(d)].max();
    in.doms[g.var_lower(d)] = fd_oracle::range(lo, lo + 1), in.doms[g.var_upper(d)] = fd_oracle::range(hi - 1, hi);
  }
  return in;
}

/* crowd_try until the oracle's product is small enough, the lex chain added when asked for. */
instance crowd_instance(rng &r, int k, int opt)
{
  for (;;) {
    instance in = crowd_try(r, k, opt);
    geo g(in);
    uint64_t product = 1;
    for (const domain &x : in.doms) product *= (uint64_t)(x.max() - x.min() + 1);
    if (g.n < 3 || product > 30000) continue;
    if (opt & GEOST_LEX) {
      in.data.push_back(g.n);
      for (int o = 0; o < g.n; o++) in.data.push_back(o);
    }
    return in;
  }
}

/* Three to five objects under every pair of option groups: along walks of narrowing and
 * backtracking no solution is lost, and every variant's search finds the solutions. */
TEST_F(FdGeostEntry, CrowdsUnderPairsOfOptions)
{
  std::vector<int> words = option_words();
  for (int k : {2, 3}) {
    row rw = geost_row("geost crowds k" + std::to_string(k), k, 0, k == 2 ? (int)words.size() : 24);
    rw.generate = [k, words, count = std::make_shared<int>(0)](rng &r) {
      return crowd_instance(r, k, words[(size_t)(*count)++ % words.size()]);
    };
    rw.fresh = false; /* tables built once at the first call make the pruning depend on the path */
    rw.mutations.clear();
    check_row(rw);
  }
}

/* States that went wrong, each posted, narrowed step by step, then searched: the search finds
 * the oracle's solutions. Longest holes for every slack with vis-a-vis contacts, once the
 * bounding box of the active objects has shrunk away from a placed object (the gap to it lies
 * outside that box, its empty cells not counted in the box's slack); a lex chain with the
 * cumulative check (whose precedences are made afresh on every run of its loop). */
TEST_F(FdGeostEntry, KnownStatesAfterNarrowing)
{
  struct step {
    int object, dim, value;
    bool exclude;
  };
  struct kase {
    std::vector<geost_test::sbox_spec> boxes;
    std::vector<geost_test::object_spec> objs;
    std::vector<std::vector<int64_t>> values; /* per object and dimension (empty: the range) */
    std::pair<int, int> lower[2], upper[2]; /* the corners' ranges */
    std::vector<step> steps;
    std::vector<int> opts;
    bool chain;
  } table[] = {
      {{{1, {0, 0}, {2, 3}}, {2, {0, 0}, {3, 2}}}, {{1, 1, {{2, 2}, {5, 5}}}, {2, 2, {{5, 5}, {4, 5}}}}, {},
       {{0, 3}, {2, 5}}, {{7, 9}, {7, 9}}, {}, {GEOST_LONGEST_HOLE_ALL | GEOST_VISAVIS, 0x7ff2}, false},
      {{{0, {0, 0}, {2, 2}}}, {{0, 0, {{1, 2}, {0, 3}}}, {0, 0, {{1, 3}, {0, 1}}}, {0, 0, {{1, 3}, {0, 3}}}},
       {{1, 2}, {0, 3}, {}, {}, {1, 3}, {}}, {{-1, 2}, {-1, 1}}, {{4, 6}, {4, 6}},
       {{0, 1, 0, false}, {1, 1, 0, false}, {2, 0, 1, false}, {2, 1, 2, true}},
       {GEOST_LONGEST_HOLE_ALL | GEOST_VISAVIS, 0x7ff2}, false},
      {{{0, {0, 0}, {3, 2}}, {1, {1, 0}, {3, 1}}, {2, {0, 0}, {1, 1}}, {2, {1, 0}, {2, 1}}},
       {{0, 1, {{-1, 0}, {-1, 1}}}, {1, 1, {{-2, 0}, {2, 3}}}, {2, 2, {{0, 1}, {2, 2}}}}, {}, {{0, 0}, {0, 0}},
       {{3, 3}, {4, 4}}, {}, {GEOST_LEX | GEOST_CUMULATIVE, 0x7ff2 | GEOST_LEX | GEOST_VOLUME}, true},
  };
  int c = 0;
  for (const kase &e : table) {
    for (int opt : e.opts) {
      SCOPED_TRACE("case " + std::to_string(c) + " options " + std::to_string(opt));
      rng r{1};
      instance in = make_instance(r, 2, e.objs, e.boxes, opt, false);
      geo g(in);
      for (size_t i = 0; i < e.values.size(); i++)
        if (!e.values[i].empty()) in.doms[g.var_origin((int)i / 2, (int)i % 2)] = domain::of(e.values[i]);
      for (int d = 0; d < 2; d++) {
        in.doms[g.var_lower(d)] = fd_oracle::range(e.lower[d].first, e.lower[d].second);
        in.doms[g.var_upper(d)] = fd_oracle::range(e.upper[d].first, e.upper[d].second);
      }
      if (e.chain) in.data.insert(in.data.end(), {3, 0, 1, 2});
      session ss(*this, in);
      ASSERT_EQ(ss.outcome, 1) << exception();
      for (const step &st : e.steps) {
        int v = g.var_origin(st.object, st.dim);
        in.doms[v] = st.exclude ? fd_harness::without(in.doms[v], st.value) : fd_oracle::range(st.value, st.value);
        int ok = st.exclude ? ss.d.exclude(ss.vars[v], st.value)
                            : ss.d.bind(ss.vars[v], st.value, fd_driver::binding::in_interval);
        ASSERT_EQ(ok, 1) << "a step lost the solutions " << exception();
      }
      std::set<tuple> oracle, found;
      fd_oracle::each_assignment(values_of(in.doms, 6), [&](const tuple &t) {
        if (sat(in, t)) oracle.insert(t);
      });
      auto record = [&](driver &dd) {
        tuple t;
        for (int x : ss.vars) t.push_back(dd.value(x));
        found.insert(t);
        return true;
      };
      ASSERT_EQ(ss.d.search(ss.vars, {}, record, nullptr), 1) << exception();
      EXPECT_FALSE(oracle.empty());
      EXPECT_TRUE(found == oracle) << "found " << found.size() << " solutions, the oracle " << oracle.size();
    }
    c++;
  }
}

}  // namespace

namespace {

/* Bad input to the placement constraints, one answer each: option bits geost does not define;
 * a negative margin given to disjoint2 (the error disjoint1 raises for it); lists that end in a
 * variable. */
TEST_F(FdGeostEntry, BadPlacementInputsRaiseTheirErrors)
{
  using D = driver;
  /* disjoint2 (or, with one dimension, disjoint1) of two unit items, margins between type 0
   * and itself when given */
  auto boxes = [](D &d, int dims, std::vector<D::tmpl> margins, const D::tmpl *tail) {
    std::vector<D::tmpl> items;
    for (int i = 0; i < 2; i++) {
      std::vector<D::tmpl> a;
      for (int k = 0; k < dims; k++)
        for (int x : {d.new_var(0, 3), d.new_var(1, 1)}) a.push_back(D::t_var(x)), a.push_back(D::t_attr(x));
      a.push_back(D::t_int(0));
      items.push_back(D::t_struct("i", a));
    }
    D::tmpl list = tail ? D::t_improper(items, *tail) : D::t_list(items);
    int flags = margins.empty() ? 0 : dims == 2 ? 8 : 4;
    if (dims == 1)
      return D::posting{"disjoint1", {D::t_atom("items"), D::t_atom("options")},
                        {D::t_int(2), D::t_struct("opt", {D::t_int(flags), D::t_int(0), D::t_int(0), D::t_list(margins)}),
                         list, D::t_int(2), D::t_int(0)}};
    D::tmpl opt = D::t_struct("opt", {D::t_int(flags), D::t_int(0), D::t_int(0), D::t_int(0), D::t_int(0), D::t_list(margins)});
    return D::posting{"disjoint2", {list, opt}, {D::t_int(2), opt, list, D::t_int(2), D::t_int(0)}};
  };
  auto margin = [](int dims, int64_t amount) {
    std::vector<D::tmpl> a = {D::t_int(0), D::t_int(0)};
    for (int k = 0; k < dims; k++) a.push_back(k ? D::t_int(0) : D::t_int(amount));
    return std::vector<D::tmpl>{D::t_struct("m", a)};
  };
  auto geost_with = [this](D &d, int64_t opt) {
    instance in = open_instance(2, 0, 1, false);
    D::posting p = posting(in, make_vars(d, in.doms));
    p.state[10] = D::t_int(opt);
    return p;
  };
  const D::tmpl hole{D::tmpl::unbound};
  const struct {
    std::string what;
    std::function<D::posting(D &)> make;
    std::string expect; /* the error's first argument; empty: taken */
  } table[] = {
      {"geost options -1", [&](D &d) { return geost_with(d, -1); }, "domain_error(geost_options,-1)"},
      {"geost option bit 0x100000", [&](D &d) { return geost_with(d, 0x100000); }, "domain_error(geost_options,1048576)"},
      {"geost every defined option", [&](D &d) { return geost_with(d, 0xfffff & ~GEOST_RULES); }, ""},
      {"disjoint1 margin -1", [&](D &d) { return boxes(d, 1, margin(1, -1), nullptr); }, "type_error(margin_amount,-1)"},
      {"disjoint2 margin -1", [&](D &d) { return boxes(d, 2, margin(2, -1), nullptr); }, "type_error(margin_amount,-1)"},
      {"disjoint2 margin 0", [&](D &d) { return boxes(d, 2, margin(2, 0), nullptr); }, ""},
      {"disjoint2 partial item list", [&](D &d) { return boxes(d, 2, {}, &hole); }, "instantiation_error"},
      {"disjoint2 partial margin list", [&](D &d) {
         D::posting p = boxes(d, 2, margin(2, 1), nullptr);
         p.state[1].args[5] = D::t_improper(p.state[1].args[5].args, hole);
         return p;
       }, "instantiation_error"},
      {"disjoint2 item list ending in an atom", [&](D &d) {
         D::tmpl x = D::t_atom("x");
         return boxes(d, 2, {}, &x);
       }, "domain_error(item_list,"},
  };
  for (const auto &row : table) {
    SCOPED_TRACE(row.what);
    driver d(api);
    fd_undo_scope undo(w, QX_ALT_FAILCODE);
    int r = d.post_state(row.make(d));
    std::string e = r < 0 ? exception() : "";
    if (row.expect.empty()) {
      EXPECT_EQ(r, 1) << e;
    } else {
      EXPECT_LT(r, 0);
      EXPECT_EQ(e.rfind("error(" + row.expect, 0), 0u) << e;
    }
  }
}

}  // namespace
