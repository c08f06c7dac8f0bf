/* The indexical machine on a real engine: indexical records built here, ix/7 records queued by
 * ix_enqueue/1 and run by the propagation loop. Each instruction is checked by its effect on the
 * stack (its result joined with a marker set left below it, told to the pruned variable), every
 * end by what it binds, links and counts; the union loop, the case dispatch and the set helpers
 * against direct computations. */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <set>

#include "fd_dom_model.h"
#include "fd_indexical.h"
#include "fd_ix_asm.h"
#include "fd_prop_env.h"
#include "hashtab.h"
#include "unify.h"

using namespace fddom;
using fdmodel::tag;

namespace {

ORVALIS_API_STRUCT *the_api;
std::vector<Pairs> seen; /* what ix_dom/1 saw */

QX_term_ref arg_ref(QX_term_ref goal, int i)
{
  QX_term_ref r = QX_new_term_ref();
  QX_get_arg(i, goal, r);
  return r;
}

/* ix_enqueue(Ix): appends the record to queue 0 as posting does. */
int enqueue(QX_term_ref goal, void *)
{
  fd_enqueue_general(the_api, fd_worker(the_api), fd_ref_get(the_api, arg_ref(goal, 1)), 1);
  return 1;
}

/* ix_dom(X): records X's domain (its value as one when bound). */
int dom_probe(QX_term_ref goal, void *)
{
  TAGGED x = fd_ref_get(the_api, arg_ref(goal, 1));
  if (IsSmall(x)) {
    seen.push_back({{GetSmall(x), GetSmall(x)}});
  } else {
    TAGGED attr = IsVar(x) ? get_attributes(x, fd_state(the_api)->fd_module) : 0;
    seen.push_back(attr ? fdmodel::read(deref(StrArg(fd_attr_dom(attr), 1))) : Pairs{});
  }
  return 1;
}

/* heap_snap: copies the heap; heap_same: succeeds when the heap below the copy's top is as it was
 * (or a collection ran since, which moves it). */
std::vector<char> heap_copy;
uint64_t heap_collections;
int heap_snap(QX_term_ref, void *)
{
  worker *w = fd_worker(the_api);
  heap_copy.assign((char *)w->heap_start, (char *)w->global_top);
  heap_collections = qx_gc_statistics()->collections;
  return 1;
}
int heap_same(QX_term_ref, void *)
{
  worker *w = fd_worker(the_api);
  if (heap_collections != qx_gc_statistics()->collections) return 1;
  return (size_t)((char *)w->global_top - (char *)w->heap_start) == heap_copy.size() &&
         std::memcmp(heap_copy.data(), w->heap_start, heap_copy.size()) == 0;
}

constexpr TAGGED INF_W = atom_inf, SUP_W = atom_sup;
TAGGED S(int32_t v) { return MakeSmall(v); }

/* Code pieces: a literal push, and pieces joined. */
std::vector<ix_byte> L(TAGGED t) { return {41, t}; }
std::vector<ix_byte> cat(std::initializer_list<std::vector<ix_byte>> parts)
{
  std::vector<ix_byte> out;
  for (auto &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

/* The set of the values, as runs. */
Pairs runs(const std::set<int64_t> &vs)
{
  Pairs out;
  for (int64_t v : vs) out.push_back({(int32_t)v, (int32_t)v});
  return combine(out, {}, 1);
}

/* Marker set left below every instruction's inputs. */
constexpr int32_t MARK = 1000;

enum end_kind { PRUNED, GIVE_UP, OVERFLOW };

class FdIxMachine : public FdPropTest {
protected:
  FdIxMachine()
  {
    the_api = api;
    seen.clear();
    EXPECT_EQ(QX_define_c_predicate("ix_enqueue", 1, "user", enqueue, nullptr), 1);
    EXPECT_EQ(QX_define_c_predicate("ix_dom", 1, "user", dom_probe, nullptr), 1);
    EXPECT_EQ(QX_define_c_predicate("heap_snap", 0, "user", heap_snap, nullptr), 1);
    EXPECT_EQ(QX_define_c_predicate("heap_same", 0, "user", heap_same, nullptr), 1);
    consult_in("clpfd", "overflow_action(G) :- throw(overflowed(G)).");
  }
  ~FdIxMachine() override
  {
    for (sw_on_key *t : tables) dispose_switch_on_key(t);
  }

  /* An FD-set literal word: list cells in memory the test keeps. */
  TAGGED set(const Pairs &p)
  {
    if (p.empty()) return atom_nil;
    std::vector<TAGGED> &b = blocks.emplace_back(4 * p.size());
    for (size_t i = 0; i < p.size(); i++) {
      TAGGED *c = b.data() + 4 * i;
      c[0] = MakeLst(c + 2);
      c[1] = i + 1 < p.size() ? MakeLst(c + 4) : atom_nil;
      c[2] = tag(p[i].first);
      c[3] = tag(p[i].second);
    }
    return MakeLst(b.data());
  }
  /* A hash table of key -> code offset. */
  sw_on_key *table(const std::vector<std::pair<int32_t, uint32_t>> &cases)
  {
    sw_on_key *t = new_switch_on_key(2);
    for (auto &[key, at] : cases) dyn_puthash(&t, S(key))->value = S((int32_t)at);
    tables.push_back(t);
    return t;
  }
  /* The Info integer of a new record. */
  std::string info(std::vector<ix_byte> code, int pruned, int chain = 1,
                   std::vector<ix_byte> linkage = {})
  {
    codes.push_back(std::move(code));
    links.push_back(std::move(linkage));
    indexical_info &i = *infos.emplace_back(new indexical_info()); /* 8-aligned */
    i.code = codes.back().data();
    i.length_of_bytecode = (uint32_t)codes.back().size();
    i.linkage = links.back().data();
    i.length_of_linkage = (uint32_t)links.back().size();
    i.pruned = (uint8_t)pruned;
    i.checking = chain >> 1;
    i.truth_value = chain & 1;
    return std::to_string(GetSmall(fd_address_word(&i)));
  }
  /* Goal text: queue ix(Info, Args, '$mutable'(1, 0), Ent, B, Attrs, 0) and run the loop. */
  static std::string queue(const std::string &info, const std::string &args,
                           const std::string &b = "B")
  {
    return "clpfd:'$fd_check_arguments'(" + args + ", A), Ix = ix(" + info + ", " + args +
           ", '$mutable'(1, 0), Ent, " + b +
           ", A, 0), ix_enqueue(Ix), "
           "clpfd:'$fd_evaluate_indexical'(_, 0)";
  }

  /* What body changes below a choicepoint is undone to the byte when it is backtracked. */
  void undo_restores_heap(const std::string &setup, const std::string &body)
  {
    ASSERT_EQ(run(setup + "heap_snap, ( " + body + ", fail ; true ), heap_same"), 1) << exception();
  }

  std::deque<std::vector<TAGGED>> blocks;
  std::deque<std::vector<ix_byte>> codes, links;
  std::deque<std::unique_ptr<indexical_info>> infos;
  std::vector<sw_on_key *> tables;
};

/* Arguments a0..a3 of the instruction tests, X (argument 4) pruned. */
const char *const ARGS = "t(A0, A1, A2, A3, X)";
const char *const DOMAINS = "clpfd:'$fd_in_set'(A0, [[3|7],[9|9]], 1), A1 = 5, "
                            "clpfd:'$fd_in_interval'(A2, 0, sup, 0), "
                            "clpfd:'$fd_in_interval'(A3, -4, -2, 0), ";

struct op_case {
  const char *what;
  std::vector<ix_byte> code; /* after the marker; its result is on top */
  bool value;                /* the result is a bound: made a set first */
  end_kind end;
  Pairs result;
  bool all_fixed; /* every domain read was fixed: the run entails */
};

/* One small program per instruction: the marker {1000}, the inputs, the instruction; then the
 * result joined with the marker is told to X, so that an instruction taking the wrong number of
 * stack words shows in X's domain (or underflows). */
TEST_F(FdIxMachine, EachInstructionByItsStackEffect)
{
  auto LS = [&](const Pairs &p) { return L(set(p)); };
  TAGGED s1 = set({{1, 3}, {6, 6}}), s2 = set({{2, 7}}), s3 = set({{-3, 4}}), wide = set({{0, 9}});
  const std::vector<op_case> cases = {
      {"0 singleton", cat({L(S(4)), {0}}), false, PRUNED, {{4, 4}}, true},
      {"0 of sup", cat({L(SUP_W), {0}}), false, OVERFLOW, {}, true},
      {"1 universe", {1}, false, PRUNED, {{INF, SUP}}, true},
      {"2 upto", cat({L(S(5)), {2}}), false, PRUNED, {{INF, 5}}, true},
      {"2 upto inf", cat({L(INF_W), {2}}), false, PRUNED, {}, true},
      {"3 from", cat({L(S(5)), {3}}), false, PRUNED, {{5, SUP}}, true},
      {"3 from sup", cat({L(SUP_W), {3}}), false, PRUNED, {}, true},
      {"4 range", cat({L(S(2)), L(S(5)), {4}}), false, PRUNED, {{2, 5}}, true},
      {"4 reversed", cat({L(S(5)), L(S(2)), {4}}), false, PRUNED, {}, true},
      {"4 inf..inf", cat({L(INF_W), L(INF_W), {4}}), false, OVERFLOW, {}, true},
      {"4 sup..sup", cat({L(SUP_W), L(SUP_W), {4}}), false, OVERFLOW, {}, true},
      {"4 sup..", cat({L(SUP_W), L(S(3)), {4}}), false, PRUNED, {}, true},
      {"5 shift", cat({L(s1), L(S(10)), {5}}), false, PRUNED, {{11, 13}, {16, 16}}, true},
      {"5 shift past sup", cat({L(s1), L(S(MAX - 2)), {5}}), false, OVERFLOW, {}, true},
      {"6 unshift", cat({L(s1), L(S(1)), {6}}), false, PRUNED, {{0, 2}, {5, 5}}, true},
      {"7 mod narrow", cat({LS({{9, 11}}), L(S(5)), {7}}), false, PRUNED, {{0, 1}, {4, 4}}, true},
      {"7 mod inside", cat({LS({{6, 8}}), L(S(5)), {7}}), false, PRUNED, {{1, 3}}, true},
      {"7 mod negative", cat({LS({{6, 7}}), L(S(-5)), {7}}), false, PRUNED, {{-4, -3}}, true},
      {"7 mod at 0", cat({LS({{8, 9}}), L(S(-4)), {7}}), false, PRUNED, {{-3, -3}, {0, 0}}, true},
      {"7 mod wide", cat({L(wide), L(S(4)), {7}}), false, PRUNED, {{0, 3}}, true},
      {"7 mod infinite", cat({LS({{INF, -20}}), L(S(-3)), {7}}), false, PRUNED, {{-2, 0}}, true},
      {"7 mod 0", cat({L(s1), L(S(0)), {7}}), false, GIVE_UP, {}, true},
      {"8 not value", cat({L(S(4)), {8}}), false, PRUNED, {{INF, 3}, {5, SUP}}, true},
      {"9 complement", cat({L(s1), {9}}), false, PRUNED, {{INF, 0}, {4, 5}, {7, SUP}}, true},
      {"10 pair", cat({L(S(8)), L(S(2)), {10}}), false, PRUNED, {{2, 2}, {8, 8}}, true},
      {"11 add value", cat({L(s1), L(S(4)), {11}}), false, PRUNED, {{1, 4}, {6, 6}}, true},
      {"12 add to", cat({L(S(9)), L(s1), {12}}), false, PRUNED, {{1, 3}, {6, 6}, {9, 9}}, true},
      {"13 union", cat({L(s1), L(s2), {13}}), false, PRUNED, {{1, 7}}, true},
      {"14 equal", cat({L(S(3)), L(S(3)), {14}}), false, PRUNED, {{3, 3}}, true},
      {"14 unequal", cat({L(S(3)), L(S(4)), {14}}), false, PRUNED, {}, true},
      {"15 in", cat({L(S(6)), L(s1), {15}}), false, PRUNED, {{6, 6}}, true},
      {"15 not in", cat({L(S(5)), L(s1), {15}}), false, PRUNED, {}, true},
      {"16 contains", cat({L(s1), L(S(2)), {16}}), false, PRUNED, {{2, 2}}, true},
      {"16 lacks", cat({L(s1), L(S(4)), {16}}), false, PRUNED, {}, true},
      {"17 intersect", cat({L(s1), L(s2), {17}}), false, PRUNED, {{2, 3}, {6, 6}}, true},
      {"18 local", {18, 3}, true, PRUNED, {{0, 0}}, true},
      {"19 plus", cat({L(S(4)), L(S(-9)), {19}}), true, PRUNED, {{-5, -5}}, true},
      {"19 saturates", cat({L(S(MAX)), L(S(1)), {19, 0}}), false, OVERFLOW, {}, true},
      {"19 inf+sup", cat({L(INF_W), L(SUP_W), {19}}), false, GIVE_UP, {}, true},
      {"19 sup+int", cat({L(SUP_W), L(S(3)), {19, 3}}), false, PRUNED, {}, true},
      {"20 minus", cat({L(S(4)), L(S(9)), {20}}), true, PRUNED, {{-5, -5}}, true},
      {"20 int-inf", cat({L(S(4)), L(INF_W), {20, 3}}), false, PRUNED, {}, true},
      {"20 inf-inf", cat({L(INF_W), L(INF_W), {20}}), false, GIVE_UP, {}, true},
      {"20 sup-sup", cat({L(SUP_W), L(SUP_W), {20}}), false, GIVE_UP, {}, true},
      {"21 times", cat({L(S(-4)), {21, S(3)}}), true, PRUNED, {{-12, -12}}, true},
      {"21 0*inf", cat({L(INF_W), {21, S(0)}}), false, GIVE_UP, {}, true},
      {"22 div floor", cat({L(S(-7)), {22, S(2)}}), true, PRUNED, {{-4, -4}}, true},
      {"22 div 0", cat({L(S(7)), {22, S(0)}}), false, GIVE_UP, {}, true},
      {"22 inf/inf", cat({L(INF_W), {22, INF_W}}), false, GIVE_UP, {}, true},
      {"23 div ceil", cat({L(S(-7)), {23, S(2)}}), true, PRUNED, {{-3, -3}}, true},
      {"24 mod", cat({L(S(-7)), L(S(3)), {24}}), true, PRUNED, {{2, 2}}, true},
      {"24 mod sup", cat({L(S(-7)), L(SUP_W), {24}}), true, PRUNED, {{-7, -7}}, true},
      {"24 mod 0", cat({L(S(7)), L(S(0)), {24}}), false, GIVE_UP, {}, true},
      {"24 inf mod", cat({L(INF_W), L(S(3)), {24}}), false, GIVE_UP, {}, true},
      {"25 min", {25, 0}, true, PRUNED, {{3, 3}}, true},
      {"26 min0", {26}, true, PRUNED, {{3, 3}}, true},
      {"27 min1", {27}, true, PRUNED, {{5, 5}}, true},
      {"28 min2", {28}, true, PRUNED, {{0, 0}}, true},
      {"29 dom", {29, 3}, false, PRUNED, {{-4, -2}}, false},
      {"29 dom fixed", {29, 1}, false, PRUNED, {{5, 5}}, true},
      {"30 dom0", {30}, false, PRUNED, {{3, 7}, {9, 9}}, false},
      {"31 dom1", {31}, false, PRUNED, {{5, 5}}, true},
      {"32 dom2", {32}, false, PRUNED, {{0, SUP}}, false},
      {"33 min", {33, 3}, true, PRUNED, {{-4, -4}}, false},
      {"34 min0", {34}, true, PRUNED, {{3, 3}}, false},
      {"35 min1", {35}, true, PRUNED, {{5, 5}}, true},
      {"36 min2", {36}, true, PRUNED, {{0, 0}}, false},
      {"37 max", {37, 0}, true, PRUNED, {{9, 9}}, false},
      {"38 max0", {38}, true, PRUNED, {{9, 9}}, false},
      {"39 max1", {39}, true, PRUNED, {{5, 5}}, true},
      {"40 max2", {40, 3}, false, PRUNED, {}, false}, /* sup: no value; 3 = from, giving [] */
      {"41 literal", L(s3), false, PRUNED, {{-3, 4}}, true},
      {"42 times arg", cat({L(S(3)), {42, 1}}), true, PRUNED, {{15, 15}}, true},
      {"42 unfixed arg", cat({L(S(3)), {42, 0}}), false, GIVE_UP, {}, false},
      {"43 div arg", cat({L(S(-11)), {43, 1}}), true, PRUNED, {{-3, -3}}, true},
      {"44 div ceil arg", cat({L(S(11)), {44, 1}}), true, PRUNED, {{3, 3}}, true},
      {"65 size", {65, 3}, true, PRUNED, {{3, 3}}, false},
      {"66 size0", {66}, true, PRUNED, {{6, 6}}, false},
      {"67 size1", {67}, true, PRUNED, {{1, 1}}, true},
      {"68 size2", {68, 3}, false, PRUNED, {}, false}, /* sup */
      {"73 reflect", cat({L(s1), L(S(10)), {73}}), false, PRUNED, {{4, 4}, {7, 9}}, true},
      {"74 set plus",
       cat({L(s1), LS({{0, 1}, {10, 10}}), {74}}),
       false,
       PRUNED,
       {{1, 4}, {6, 7}, {11, 13}, {16, 16}},
       true},
      {"75 set minus", cat({L(s1), LS({{0, 1}}), {75}}), false, PRUNED, {{0, 3}, {5, 6}}, true},
      {"76 if not equal", cat({L(S(3)), L(S(4)), {76}}), false, PRUNED, {{3, 3}}, true},
      {"76 equal", cat({L(S(3)), L(S(3)), {76}}), false, PRUNED, {}, true},
      {"77 if not in", cat({L(S(4)), L(s1), {77}}), false, PRUNED, {{4, 4}}, true},
      {"77 in", cat({L(S(2)), L(s1), {77}}), false, PRUNED, {}, true},
      {"78 remove value",
       cat({L(s1), L(S(2)), {78}}),
       false,
       PRUNED,
       {{1, 1}, {3, 3}, {6, 6}},
       true},
      {"79 subtract", cat({L(s2), L(s1), {79}}), false, PRUNED, {{4, 5}, {7, 7}}, true},
      {"80 times local", cat({L(S(6)), {80, 0}}), true, PRUNED, {{0, 0}}, true},
      {"81 div local 0", cat({L(S(6)), {81, 0}}), false, GIVE_UP, {}, true},
      {"82 div local 0", cat({L(S(6)), {82, 0}}), false, GIVE_UP, {}, true},
      {"85 rem", cat({L(S(-7)), L(S(3)), {85}}), true, PRUNED, {{-1, -1}}, true},
      {"85 rem sup", cat({L(S(-7)), L(INF_W), {85}}), true, PRUNED, {{-7, -7}}, true},
      {"85 rem 0", cat({L(S(-7)), L(S(0)), {85}}), false, GIVE_UP, {}, true},
      {"86 setrem", cat({LS({{-6, 2}, {13, 14}}), L(S(-5)), {86}}), false, PRUNED, {{-4, 4}}, true},
      {"86 setrem narrow", cat({LS({{13, 14}}), L(S(5)), {86}}), false, PRUNED, {{3, 4}}, true},
      {"86 setrem 0", cat({L(s1), L(S(0)), {86}}), false, GIVE_UP, {}, true},
  };
  TAGGED marker = set({{MARK, MARK}});
  for (const op_case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<ix_byte> code = {41, marker};
    code.insert(code.end(), c.code.begin(), c.code.end());
    if (c.value) code.push_back(0);
    code.insert(code.end(), {13, 52, 0});
    std::string goal = std::string(DOMAINS) + queue(info(code, 4), ARGS);
    seen.clear();
    if (c.end == OVERFLOW) {
      EXPECT_EQ(run(goal), -1);
      EXPECT_EQ(exception(), "overflowed(t(_,5,_,_,_))");
      EXPECT_EQ(run("clpfd:'$fd_overflow'(_, fail, _), " + goal), 0) << exception();
      EXPECT_EQ(run("clpfd:'$fd_overflow'(_, error, _)"), 1);
      continue;
    }
    ASSERT_EQ(run(goal + ", ix_dom(X)"), 1) << exception();
    Pairs want = c.end == GIVE_UP ? Pairs{{INF, SUP}} : c.result;
    if (c.end == PRUNED) {
      if (!contains(want, MARK)) {
        want.push_back({MARK, MARK});
        std::sort(want.begin(), want.end());
      }
    }
    EXPECT_EQ(show(seen.at(0)), show(want));
    EXPECT_EQ(var("Ent"), c.all_fixed ? "1" : "_");
  }
}

/* The instruction 71 pushes argument 1's attribute; a done keeps the domain. */
TEST_F(FdIxMachine, AttributeOfArgumentOne)
{
  ASSERT_EQ(run(std::string(DOMAINS) + queue(info({71, 45}, 4), ARGS) + ", ix_dom(X)"), 1)
      << exception();
  EXPECT_EQ(show(seen.at(0)), show({{INF, SUP}}));
}

struct end_case {
  const char *what;
  int chain;
  const char *x; /* how X (argument 1) starts; Y (argument 0) is 0..9 */
  std::vector<ix_byte> code;
  int result;          /* of the goal */
  const char *ent, *b; /* their values after it */
  const char *status;  /* ix/7's status after it */
  uint32_t entailments, failures;
};

/* Every end: what it binds (Ent, B), whether it links (status bit 16) and what it counts. */
TEST_F(FdIxMachine, EveryEndBindsLinksAndCounts)
{
  const TAGGED three_to_five = set({{3, 5}});
  const std::vector<end_case> cases = {
      {"done, all fixed", 1, "X = 4", {45}, 1, "1", "_", "1", 1, 0},
      {"done after an unfixed read", 1, "true", {30, 45}, 1, "_", "_", "17", 0, 0},
      {"give up, all fixed", 1, "true", {41, S(5), 22, S(0)}, 1, "1", "_", "1", 1, 0},
      {"give up after an unfixed read", 1, "true", {33, 0, 22, S(0)}, 1, "_", "_", "17", 0, 0},
      {"entailed, chain 3", 3, "true", {53}, 1, "1", "1", "1", 1, 0},
      {"entailed, chain 2", 2, "true", {53}, 1, "0", "0", "1", 1, 0},
      {"disentailed, all fixed", 3, "X = 3", {41, S(4), 59}, 1, "0", "0", "1", 1, 0},
      {"disentailed after an unfixed read",
       3,
       "X = 3",
       {30, 41, S(4), 59},
       1,
       "_",
       "_",
       "17",
       0,
       0},
      {"undecided",
       3,
       "clpfd:'$fd_in_interval'(X, 0, 9, 0)",
       {41, three_to_five, 60},
       1,
       "_",
       "_",
       "17",
       0,
       0},
      {"in 0..10 with X fixed", 3, "X = 5", {41, S(0), 41, S(10), 56}, 1, "1", "1", "1", 1, 0},
      {"failure", 1, "true", {41, atom_nil, 52, 0}, 0, "", "", "", 0, 1},
      {"failure by 72", 1, "true", {72}, 0, "", "", "", 0, 0},
      {"pruned to inf..inf", 1, "true", {41, INF_W, 46}, -1, "", "", "", 0, 0},
  };
  for (const end_case &c : cases) {
    SCOPED_TRACE(c.what);
    std::string setup =
        "clpfd:'$fd_in_interval'(Y, 0, 9, 1), clpfd:'$fd_in_interval'(B, 0, 1, 0), " +
        std::string(c.x) + ", ";
    std::string body = queue(info(c.code, 1, c.chain, {1 + (1 << IX_LINK_ARG_SHIFT)}), "t(Y, X)") +
                       ", arg(3, Ix, M), arg(1, M, Status)";
    if (c.result >= 0) {
      ASSERT_NO_FATAL_FAILURE(undo_restores_heap(setup, body));
    }
    fd()->entailments = fd()->failures = 0;
    ASSERT_EQ(run(setup + body), c.result) << exception();
    if (c.result == 1) {
      EXPECT_EQ(var("Ent"), c.ent);
      EXPECT_EQ(var("B"), c.b);
      EXPECT_EQ(var("Status"), c.status);
    } else if (c.result < 0) {
      EXPECT_EQ(exception(), "overflowed(t(_,_))");
    }
    EXPECT_EQ(fd()->entailments, c.entailments);
    EXPECT_EQ(fd()->failures, c.failures);
  }
}

struct final_case {
  const char *what;
  int chain;     /* 1 pruning, 3 checking */
  const char *x; /* X's domain, a set; X is bound when it has one value */
  std::vector<ix_byte> code;
  int result;    /* of the goal: -1 an overflow */
  Pairs dom;     /* X's domain after a pruning */
  const char *b; /* B after a check */
};

/* The prunings, the checks (T the chain's truth value, but 1 - it for 57) and the jumps 61, 62, by
 * X's domain or B afterwards. */
TEST_F(FdIxMachine, PruningsChecksAndJumps)
{
  auto LS = [&](const Pairs &p) { return L(set(p)); };
  const char *const all = "[[0|9]]";
  TAGGED none = atom_nil, three_five = set({{3, 5}}), two_three = set({{2, 3}});
  const std::vector<final_case> cases = {
      {"46", 1, all, cat({L(S(5)), {46}}), 1, {{0, 5}}, ""},
      {"46 inf", 1, all, cat({L(INF_W), {46}}), -1, {}, ""},
      {"46 sup", 1, all, cat({L(SUP_W), {46}}), 1, {{0, 9}}, ""},
      {"46 empty", 1, all, cat({L(S(-1)), {46}}), 0, {}, ""},
      {"47", 1, all, cat({L(S(3)), {47}}), 1, {{3, 9}}, ""},
      {"47 sup", 1, all, cat({L(SUP_W), {47}}), -1, {}, ""},
      {"47 empty", 1, all, cat({L(S(10)), {47}}), 0, {}, ""},
      {"48", 1, all, cat({L(S(2)), L(S(7)), {48}}), 1, {{2, 7}}, ""},
      {"48 inf..inf", 1, all, cat({L(INF_W), L(INF_W), {48}}), -1, {}, ""},
      {"48 empty", 1, all, cat({L(S(7)), L(S(2)), {48}}), 0, {}, ""},
      {"49", 1, all, cat({L(S(4)), {49}}), 1, {{0, 3}, {5, 9}}, ""},
      {"49 inf", 1, all, cat({L(INF_W), {49}}), -1, {}, ""},
      {"49 next to sup", 1, "[[inf|sup]]", cat({L(S(MAX)), {49}}), -1, {}, ""},
      {"49 outside", 1, all, cat({L(S(20)), {49}}), 1, {{0, 9}}, ""},
      {"49 last", 1, "[[4|4],[6|6]]", cat({L(S(4)), {49}}), 1, {{6, 6}}, ""},
      {"50", 1, all, cat({LS({{2, 3}, {8, 8}}), {50}}), 1, {{0, 1}, {4, 7}, {9, 9}}, ""},
      {"50 all", 1, all, cat({LS({{-1, 10}}), {50}}), 0, {}, ""},
      {"50 none", 1, all, cat({L(none), {50}}), 1, {{0, 9}}, ""},
      {"51", 1, all, cat({L(S(4)), {51}}), 1, {{4, 4}}, ""},
      {"51 outside", 1, all, cat({L(S(12)), {51}}), 0, {}, ""},
      {"51 sup", 1, all, cat({L(SUP_W), {51}}), -1, {}, ""},
      {"52 several",
       1,
       all,
       cat({LS({{1, 2}, {5, 7}, {12, 12}}), {52, 0}}),
       1,
       {{1, 2}, {5, 7}},
       ""},
      {"52 one", 1, all, cat({L(three_five), {52, 0}}), 1, {{3, 5}}, ""},
      {"52 empty", 1, all, cat({L(none), {52, 0}}), 0, {}, ""},
      {"52 disjoint", 1, all, cat({LS({{12, 14}}), {52, 0}}), 0, {}, ""},
      {"83", 1, all, cat({LS({{1, 2}}), LS({{0, 0}, {5, 5}}), {83}}), 1, {{1, 2}, {6, 7}}, ""},
      {"83 clipped away", 1, all, cat({LS({{8, 9}}), LS({{5, 5}}), {83}}), 0, {}, ""},
      {"84", 1, all, cat({LS({{5, 9}}), LS({{1, 1}}), {84}}), 1, {{4, 8}}, ""},
      {"84 overflow", 1, "[[inf|sup]]", cat({LS({{MAX, MAX}}), LS({{-5, -5}}), {84}}), -1, {}, ""},
      {"54 inside", 3, all, cat({L(S(9)), {54}}), 1, {}, "1"},
      {"54 outside", 3, all, cat({L(S(-1)), {54}}), 1, {}, "0"},
      {"54 across", 3, all, cat({L(S(5)), {54}}), 1, {}, "_"},
      {"55 inside", 3, all, cat({L(S(0)), {55}}), 1, {}, "1"},
      {"55 outside", 3, all, cat({L(S(10)), {55}}), 1, {}, "0"},
      {"55 across", 3, all, cat({L(S(5)), {55}}), 1, {}, "_"},
      {"56 a = b in X", 3, all, cat({L(S(4)), L(S(4)), {56}}), 1, {}, "_"},
      {"56 a = b fixed", 3, "[[4|4]]", cat({L(S(4)), L(S(4)), {56}}), 1, {}, "1"},
      {"56 a = b = inf", 3, all, cat({L(INF_W), L(INF_W), {56}}), 1, {}, "0"},
      {"56 inside", 3, all, cat({L(S(0)), L(S(9)), {56}}), 1, {}, "1"},
      {"56 across", 3, all, cat({L(S(2)), L(S(12)), {56}}), 1, {}, "_"},
      {"56 disjoint", 3, all, cat({L(S(10)), L(S(12)), {56}}), 1, {}, "0"},
      {"56 empty", 3, all, cat({L(S(5)), L(S(3)), {56}}), 1, {}, "0"},
      {"57 fixed equal", 3, "[[4|4]]", cat({L(S(4)), {57}}), 1, {}, "0"},
      {"57 fixed other", 3, "[[4|4]]", cat({L(S(5)), {57}}), 1, {}, "1"},
      {"57 possible", 3, all, cat({L(S(4)), {57}}), 1, {}, "_"},
      {"57 impossible", 3, all, cat({L(S(12)), {57}}), 1, {}, "1"},
      {"58 empty", 3, all, cat({L(none), {58}}), 1, {}, "1"},
      {"58 disjoint", 3, all, cat({LS({{12, 13}}), {58}}), 1, {}, "1"},
      {"58 fixed inside", 3, "[[4|4]]", cat({LS({{4, 4}}), {58}}), 1, {}, "0"},
      {"58 fixed outside", 3, "[[4|4]]", cat({LS({{7, 7}}), {58}}), 1, {}, "1"},
      {"58 overlap", 3, all, cat({L(three_five), {58}}), 1, {}, "_"},
      {"58 X inside", 3, all, cat({LS({{0, 20}}), {58}}), 1, {}, "0"},
      {"59 fixed equal", 3, "[[4|4]]", cat({L(S(4)), {59}}), 1, {}, "1"},
      {"59 possible", 3, all, cat({L(S(4)), {59}}), 1, {}, "_"},
      {"59 impossible", 3, all, cat({L(S(12)), {59}}), 1, {}, "0"},
      {"60 empty", 3, all, cat({L(none), {60}}), 1, {}, "0"},
      {"60 fixed inside", 3, "[[4|4]]", cat({LS({{4, 4}}), {60}}), 1, {}, "1"},
      {"60 X inside", 3, all, cat({LS({{0, 20}}), {60}}), 1, {}, "1"},
      {"60 disjoint", 3, all, cat({LS({{12, 12}}), {60}}), 1, {}, "0"},
      {"60 overlap", 3, all, cat({L(three_five), {60}}), 1, {}, "_"},
      /* 0: lit t; 2: jump L; 4: lit {2..3}; 6: prune_set 0; 8: L: prune_set 0 */
      {"61 taken",
       1,
       all,
       cat({L(three_five), {61, 8}, L(two_three), {52, 0, 52, 0}}),
       1,
       {{0, 9}},
       ""},
      {"61 not taken",
       1,
       all,
       cat({L(none), {61, 8}, L(two_three), {52, 0, 52, 0}}),
       1,
       {{2, 3}},
       ""},
      {"62 taken", 1, all, cat({L(none), {62, 8}, L(two_three), {52, 0, 52, 0}}), 0, {}, ""},
      {"62 not taken",
       1,
       all,
       cat({L(three_five), {62, 8}, L(two_three), {52, 0, 52, 0}}),
       1,
       {{2, 3}},
       ""},
  };
  for (const final_case &c : cases) {
    SCOPED_TRACE(c.what);
    seen.clear();
    std::string setup =
        "clpfd:'$fd_in_set'(X, " + std::string(c.x) + ", 1), clpfd:'$fd_in_interval'(B, 0, 1, 0), ";
    std::string body = queue(info(c.code, 1, c.chain), "t(Y, X)");
    if (c.result >= 0) {
      ASSERT_NO_FATAL_FAILURE(undo_restores_heap(setup, body));
    }
    ASSERT_EQ(run(setup + body + ", ix_dom(X)"), c.result) << exception();
    if (c.result < 0) {
      EXPECT_EQ(exception(), "overflowed(t(_,_))");
    }
    if (c.result < 1) continue;
    if (c.chain == 1)
      EXPECT_EQ(show(seen.at(0)), show(c.dom));
    else
      EXPECT_EQ(var("B"), c.b);
  }
}

/* The interval prunings and the value removal on every domain within 1..5 with every operand in
 * 0..6, against the sets they leave; those that leave X as it is end without loading it. */
TEST_F(FdIxMachine, IntervalPruningsOnEveryDomain)
{
  /* the collector's stress mode takes every fourth domain: each query collects many times */
  int at = 0;
  for (const Pairs &x : all_subsets(1, 5)) {
    if (x.empty() || (qx_gc_stress && at++ % 4 != 0)) continue;
    std::string text;
    for (auto &[lo, hi] : x)
      text += (text.empty() ? "[" : ",[") + std::to_string(lo) + "|" + std::to_string(hi) + "]";
    for (int op : {46, 47, 48, 49, 51})
      for (int a = 0; a <= 6; a++)
        for (int b = op == 48 ? a : 6; b <= 6; b++) {
          SCOPED_TRACE(show(x) + " " + std::to_string(op) + " " + std::to_string(a));
          Pairs want = op == 49 ? combine(x, interval(a, a), 1)
                                : combine(x,
                                          op == 46   ? interval(INF, a)
                                          : op == 47 ? interval(a, SUP)
                                          : op == 48 ? interval(a, b)
                                                     : interval(a, a),
                                          0);
          std::vector<ix_byte> code = cat({L(S(a)), op == 48 ? L(S(b)) : std::vector<ix_byte>{}});
          code.push_back((ix_byte)op);
          seen.clear();
          ASSERT_EQ(run("clpfd:'$fd_in_set'(X, [" + text + "], 1), " +
                        queue(info(code, 1), "t(Y, X)") + ", ix_dom(X)"),
                    want.empty() ? 0 : 1)
              << exception();
          if (!want.empty()) {
            EXPECT_EQ(show(seen.at(0)), show(want)) << b;
          }
        }
  }
}

/* Two-value prunings (two of an argument's amin, min or max and a literal, plus or minus, 46, 47,
 * 49 or 51), which the machine decodes once and runs without its stack, against the same code on
 * the stack machine (decoding turned off), on random programs and domains: the outcome, the
 * error, X's domain and Ent. A literal that is no integer leaves the code to the stack machine. */
TEST_F(FdIxMachine, DecodedValuePruningsMatchTheStackMachine)
{
  std::mt19937 rng(35);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const ix_byte reads[] = {25, 26, 27, 28, 33, 34, 35, 36, 37, 38, 39, 40, 41},
                prunes[] = {46, 47, 49, 51};
  const TAGGED literals[] = {S(-2), S(0), S(3), S(QX_SMALL_MAX), SUP_W};
  const char *const doms[] = {"[[1|3]]",   "[[2|2]]",   "[[0|1],[4|6]]",
                              "[[inf|2]]", "[[3|sup]]", "[[268435455|268435455]]"};
  for (int round = 0; round < (qx_gc_stress ? 100 : 400); round++) {
    std::vector<ix_byte> code;
    for (int i = 0; i < 4; i++) {
      if (pick(0, 3) == 0) code.push_back(900);
      ix_byte op = i < 2 ? reads[pick(0, 12)] : i == 2 ? (ix_byte)pick(19, 20) : prunes[pick(0, 3)];
      code.push_back(op);
      if (op == 25 || op == 33 || op == 37) code.push_back((ix_byte)pick(0, 3));
      if (op == 41) code.push_back(literals[pick(0, 4)]);
    }
    /* an argument with a domain, or (one in seven) the integer 2 in the call */
    std::string setup, call = "t(";
    for (std::string v : {"A0", "A1", "X"}) {
      int d = v == "X" ? pick(0, 5) : pick(0, 6);
      if (d < 6) setup += "clpfd:'$fd_in_set'(" + v + ", " + doms[d] + ", 1), ";
      call += (d < 6 ? v : "2") + (v == "X" ? ")" : ", ");
    }
    SCOPED_TRACE(setup + call);
    std::string outcome[2];
    for (int stack : {0, 1}) {
      std::string ix = info(code, 2);
      if (stack) infos.back()->plan.kind = IX_PLAN_NONE;
      seen.clear();
      int r = run(setup + queue(ix, call) + ", ix_dom(X)");
      bool integers = std::count(code.begin(), code.end(), SUP_W) == 0;
      EXPECT_EQ(infos.back()->plan.kind, stack || !integers ? IX_PLAN_NONE : IX_PLAN_VALUE);
      outcome[stack] = std::to_string(r) + exception() +
                       (r == 1 ? show(seen.at(0)) + var("Ent") : std::string());
    }
    EXPECT_EQ(outcome[0], outcome[1]);
  }
}

/* An argument read through an attribute whose domain mutable forwards to another attribute (as
 * an alias leaves it): the domain is the other's, 5..20. */
TEST_F(FdIxMachine, ArgumentReadThroughAnAlias)
{
  ASSERT_EQ(run("clpfd:'$fd_in_interval'(B, 5, 20, 0), "
                "clpfd:'$fd_check_arguments'(t(B, X), t(BA, XA)), Ix = ix(" +
                info({26, 47}, 1) +
                ", t(A, X), '$mutable'(1, 0), _, _, t(v(1, 0, '$mutable'(BA, 0), 0), XA), 0), "
                "ix_enqueue(Ix), clpfd:'$fd_evaluate_indexical'(_, 0), ix_dom(X)"),
            1)
      << exception();
  EXPECT_EQ(show(seen.at(0)), show({{5, SUP}}));
}

/* An undecided check is linked: pruning X runs it again, and it then decides B. */
TEST_F(FdIxMachine, LinkedCheckRunsAgainWhenItsArgumentChanges)
{
  std::string ix = info({41, set({{3, 5}}), 60}, 1, 3, {1 + (1 << IX_LINK_ARG_SHIFT)});
  for (auto [narrow, expected] : {std::pair{"3, 4", "open11"}, {"6, 9", "open00"}}) {
    ASSERT_EQ(run("clpfd:'$fd_in_interval'(X, 0, 9, 1), clpfd:'$fd_in_interval'(B, 0, 1, 0), " +
                  queue(ix, "t(Y, X)") + ", ( var(B) -> B1 = open ; B1 = B ), " +
                  "clpfd:'$fd_in_interval'(X, " + narrow + ", 1), " +
                  "clpfd:'$fd_evaluate_indexical'(_, 0)"),
              1)
        << exception();
    EXPECT_EQ(var("B1") + var("B") + var("Ent"), expected);
  }
}

/* The union loop: for each x of S, the body's set; all of them joined. Body A: {x * m}; body B:
 * dom(Y) shifted by -x, so that the loop computes dom(Y) minus S pointwise. */
TEST_F(FdIxMachine, UnionLoopJoinsTheBodyOverEveryValue)
{
  std::mt19937 rng(7);
  int rounds = qx_gc_stress ? 4 : 40;
  for (int i = 0; i < rounds; i++) {
    Pairs s;
    for (int v = -6; v <= 6; v++)
      if (rng() % 3 == 0) s.push_back({v, v});
    s = combine(s, {}, 1); /* joined into runs */
    int32_t m = (int32_t)(rng() % 5) - 2;
    bool pointwise = i % 2;
    /* 0: lit S; 2: union_start END; 4: body; then union_step k BODY; END */
    std::vector<ix_byte> body =
        pointwise ? std::vector<ix_byte>{30, 18, 2, 6} : std::vector<ix_byte>{18, 2, 21, S(m), 0};
    std::vector<ix_byte> code = {41, set(s), 63, 0};
    code.insert(code.end(), body.begin(), body.end());
    code.insert(code.end(), {64, 2, 4});
    code[3] = (ix_byte)code.size();
    code.insert(code.end(), {41, set({{MARK, MARK}}), 13, 52, 0});
    seen.clear();
    ASSERT_EQ(run("clpfd:'$fd_in_set'(Y, [[-2|1],[5|5]], 1), " + queue(info(code, 1), "t(Y, X)") +
                  ", ix_dom(X)"),
              1)
        << exception();
    std::set<int64_t> want = {MARK};
    for (auto &[lo, hi] : s)
      for (int64_t x = lo; x <= hi; x++)
        if (pointwise)
          for (int64_t y : {-2, -1, 0, 1, 5}) want.insert(y - x);
        else
          want.insert(x * m);
    EXPECT_EQ(show(seen.at(0)), show(runs(want))) << show(s) << " m " << m;
  }
  /* An infinite set gives up. */
  ASSERT_EQ(run(queue(info({41, set({{0, SUP}}), 63, 8, 18, 0, 0, 64, 0, 4, 52, 0}, 1), "t(Y, X)") +
                ", ix_dom(X)"),
            1)
      << exception();
  EXPECT_EQ(var("Ent"), "1");
}

/* The case dispatch: a key found runs its case, whose value returns to the label; else []. */
TEST_F(FdIxMachine, CaseDispatchRunsTheCaseOfTheKey)
{
  /* 0: lit K; 2: case H END; 5: lit {10}; 7: return; 8: lit {20,21}; 10: return; 11: END */
  sw_on_key *h = table({{1, 5}, {2, 8}, {-7, 5}});
  TAGGED ten = set({{10, 10}}), twenty = set({{20, 21}});
  for (int32_t key : {1, 2, -7, 3, 0}) {
    SCOPED_TRACE(key);
    std::vector<ix_byte> code = {41,     S(key), 69, (ix_byte)(uintptr_t)h, 11, 41, ten, 70, 41,
                                 twenty, 70,     41, set({{MARK, MARK}}),   13, 52, 0};
    seen.clear();
    ASSERT_EQ(run(queue(info(code, 1), "t(Y, X)") + ", ix_dom(X)"), 1) << exception();
    Pairs want = key == 1 || key == -7 ? Pairs{{10, 10}} : key == 2 ? Pairs{{20, 21}} : Pairs{};
    want.push_back({MARK, MARK});
    EXPECT_EQ(show(seen.at(0)), show(want));
  }
}

/* Code that would leave its stack or its code is stopped with an error, never run on. */
TEST_F(FdIxMachine, BrokenCodeIsStoppedWithAnError)
{
  std::vector<ix_byte> deep;
  for (uint32_t i = 0; i <= (uint32_t)IX_STACK_LIMIT; i++) deep.insert(deep.end(), {41, S(1)});
  deep.push_back(45);
  const std::vector<std::pair<const char *, std::vector<ix_byte>>> cases = {
      {"pop of an empty stack", {52, 0}},
      {"binary on one word", {41, S(1), 13}},
      {"push past the last register", deep},
      {"no end", {41, S(1)}},
      {"operand past the end", {41}},
      {"jump past the end", {41, set({{1, 1}}), 61, 99}},
      {"local out of range", {18, IX_LOCALS}},
      {"argument out of range", {29, 7}},
      {"set operation on a bound", {41, S(1), 41, S(2), 13}},
      {"return to no address", {41, S(1), 41, S(2), 70}},
  };
  for (auto &[what, code] : cases) {
    SCOPED_TRACE(what);
    EXPECT_EQ(run(queue(info(code, 1), "t(Y, X)")), -1);
    EXPECT_NE(exception().find("system_error"), std::string::npos);
  }
  /* opcodes above 86 are skipped */
  ASSERT_EQ(run(queue(info({87, 200, 41, S(3), 1000, 51}, 1), "t(Y, X)")), 1) << exception();
  EXPECT_EQ(var("X"), "3");
}

/* The set helpers against brute force over small sets, and at the infinite ends. */
TEST_F(FdIxMachine, SetHelpersMatchBruteForce)
{
  auto values = [](const Pairs &p) {
    std::set<int64_t> out;
    for (auto &[lo, hi] : p)
      for (int64_t v = lo; v <= hi; v++) out.insert(v);
    return out;
  };
  std::mt19937 rng(11);
  auto random_set = [&]() {
    Pairs p;
    for (int v = -8; v <= 8; v++)
      if (rng() % 3 == 0) p.push_back({v, v});
    return combine(p, {}, 1);
  };
  int rounds = qx_gc_stress ? 30 : 300;
  for (int i = 0; i < rounds; i++) {
    w->numstack_end = nullptr;
    Pairs a = random_set(), b = random_set();
    int32_t lo = (int32_t)(rng() % 20) - 14, hi = lo + (int32_t)(rng() % 24);
    std::set<int64_t> plus, minus;
    for (int64_t x : values(a))
      for (int64_t y : values(b)) {
        if (x + y >= lo && x + y <= hi) plus.insert(x + y);
        if (x - y >= lo && x - y <= hi) minus.insert(x - y);
      }
    EXPECT_EQ(show(fdmodel::read(fd_plus(api, w, set(a), set(b), S(lo), S(hi)))), show(runs(plus)))
        << show(a) << " + " << show(b);
    EXPECT_EQ(show(fdmodel::read(fd_minus(api, w, set(a), set(b), S(lo), S(hi)))),
              show(runs(minus)))
        << show(a) << " - " << show(b);
    int32_t m = 1 + (int32_t)(rng() % 9), from = (int32_t)(rng() % 40) - 20;
    int32_t to = from + (int32_t)(rng() % 14);
    if (from < 0 && to > 0) to = -1; /* not across 0 */
    std::set<int64_t> rem;
    for (int64_t x = from; x <= to; x++) rem.insert(x % m);
    EXPECT_EQ(show(fdmodel::read(fd_setrem_interval(api, w, S(from), S(to), S(m)))),
              show(runs(rem)))
        << from << ".." << to << " rem " << m;
    int32_t n = (int32_t)(rng() % 6) - 1, k = (int32_t)(rng() % 9) - 4;
    std::set<int64_t> mult;
    for (int64_t j = 0; j <= n; j++) mult.insert(j * k);
    EXPECT_EQ(show(fdmodel::read(fd_multiples(api, w, S(n), S(k)))), show(runs(mult)))
        << n << " x " << k;
  }
  w->numstack_end = nullptr;
  EXPECT_EQ(show(fdmodel::read(fd_setrem_interval(api, w, S(0), SUP_W, S(4)))), show({{0, 3}}));
  EXPECT_EQ(show(fdmodel::read(fd_setrem_interval(api, w, INF_W, S(-1), S(4)))), show({{-3, 0}}));
  EXPECT_EQ(show(fdmodel::read(fd_plus(api, w, set({{INF, 2}}), set({{3, SUP}}), INF_W, SUP_W))),
            show({{INF, SUP}}));
  EXPECT_EQ(show(fdmodel::read(fd_minus(api, w, set({{INF, 2}}), set({{3, SUP}}), INF_W, SUP_W))),
            show({{INF, -1}}));
  EXPECT_EQ(show(fdmodel::read(fd_plus(api, w, set({{MAX - 1, MAX}}), set({{1, 2}}), S(0), SUP_W))),
            show({{MAX, SUP}}));
  EXPECT_EQ(fd()->fd_overflow, 0u);
  fd_multiples(api, w, S(MAX / 2), S(3));
  EXPECT_EQ(fd()->fd_overflow, 1u);
  fd()->fd_overflow = 0;
}

/* One operand table for every reader of code: 52 carries its f, 83, 84 and 24 carry nothing. */
TEST_F(FdIxMachine, OperandCounts)
{
  std::string counts;
  for (ix_byte op = 0; op <= 90; op++) counts += std::to_string(ix_operands(op));
  EXPECT_EQ(counts, "0000000000000000001001110100010001000100011110000000100000000111210002"
                    "000000000011100000000");
}

/* Installed and posted through the storage side: X =\= Y + 3 as two value-dependent indexicals;
 * fixing Y removes Y + 3 from X and entails the constraint (Ent is shared by both). A pruning
 * whose read is fixed ends the call entailed before it prunes: when that pruning fails,
 * backtracking brings the call back, and fixing Y afterwards still prunes X. */
TEST_F(FdIxMachine, PostedIndexicalsPropagateThroughTheLoop)
{
  fd_ix_asm::indexical x, y;
  x.pruned = 0;
  x.link(1, 9);
  x.code = "min1 lit #3 plus prune_remove";
  y.pruned = 1;
  y.link(0, 9);
  y.code = "min0 lit #3 minus prune_remove";
  ASSERT_EQ(run(fd_ix_asm::install("p/2", "user", 1, {x, y})), 1) << exception();
  std::string post = "clpfd:'$fd_find_definition'(p(_, _), user, D), "
                     "clpfd:'$fd_in_interval'(X, 0, 9, 1), clpfd:'$fd_in_interval'(Y, 0, 9, 0), "
                     "clpfd:'$fd_check_arguments'(p(X, Y), A), "
                     "clpfd:'$fd_post_reified'(D, p(X, Y), A, 1, 0), "
                     "clpfd:'$fd_evaluate_indexical'(_, 0), ";
  auto tell = [](std::string v, std::string value) {
    return "clpfd:'$fd_in_interval'(" + v + ", " + value + ", " + value + ", 1)";
  };
  auto fix = [&](std::string v, std::string value) {
    return tell(v, value) + ", clpfd:'$fd_evaluate_indexical'(_, 0)";
  };
  /* fixing one removes its value +-3 from the other; X = 5 leaves Y no 2 */
  const struct {
    std::string goal;
    const char *then;
    int result;
  } rows[] = {
      {fix("Y", "2"), "ix_dom(X)", 1},
      {fix("X", "8"), "ix_dom(Y)", 1},
      {fix("X", "5"), "Y == 2", 0},
      {"\\+ (" + tell("X", "5") + ", " + fix("Y", "2") + "), " + fix("Y", "2"), "ix_dom(X)", 1}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.goal);
    seen.clear();
    ASSERT_EQ(run(post + r.goal + ", " + r.then), r.result) << exception();
    if (r.result) {
      EXPECT_EQ(show(seen.at(0)), show({{0, 4}, {6, 9}}));
    }
  }
}

/* A pruning by 52 with a non-zero f wakes no indexical of the same call (they share its Ent); with
 * f = 0 they are woken as any other. */
TEST_F(FdIxMachine, PruningWithSelfWakesNoSibling)
{
  for (int f : {0, 1}) {
    SCOPED_TRACE(f);
    fd_ix_asm::indexical x, y;
    x.pruned = 0;
    x.link(1, 1);
    x.code = "dom1 prune_set " + std::to_string(f);
    y.pruned = 1;
    y.link(0, 1);
    y.code = "dom0 universe union prune_set 0";
    ASSERT_EQ(run(fd_ix_asm::install("q/2", "user", 1, {x, y})), 1) << exception();
    ASSERT_EQ(run("clpfd:'$fd_find_definition'(q(_, _), user, D), "
                  "clpfd:'$fd_in_interval'(X, 2, 6, 1), clpfd:'$fd_in_interval'(Y, 0, 10, 0), "
                  "clpfd:'$fd_check_arguments'(q(X, Y), A), "
                  "clpfd:'$fd_post_reified'(D, q(X, Y), A, 1, 0), "
                  "clpfd:'$fd_evaluate_indexical'(_, 0), clpfd:'$fd_statistics'(0, _), "
                  "clpfd:'$fd_in_set'(Y, [[0|3],[9|10]], 1), clpfd:'$fd_evaluate_indexical'(_, 0), "
                  "clpfd:'$fd_statistics'(0, R), ix_dom(X)"),
              1)
        << exception();
    EXPECT_EQ(var("R"), f ? "1" : "2");
    EXPECT_EQ(show(seen.back()), show({{2, 3}}));
  }
}

}  // namespace
