/* The solver's resource: its entry, the life of an instance, the native predicates' tables and
 * declarations, the dispatch of global constraints, the modes and counters, the overflow check
 * and the incumbent of an optimisation, all through the engine. */
#include <cstring>
#include <random>
#include <sstream>

#include "database.h"
#include "fd_kernel_env.h"
#include "instance.h"
#include "saverest.h"
#include "unify.h"

namespace {

/* Calls the entry with a block of version `block` over a public table of version `table`
 * (table 0: a null table; block 0: a null API struct). */
int entry(uint32_t block, uint32_t table, QX_MAINFUN_PARAMS_STRUCT *p, int flags = 1)
{
  static qx_dispatch_table header;
  static ORVALIS_API_STRUCT env;
  header.version = table;
  env = {};
  env.dispatch_API_ORVALIS_H = table ? &header : nullptr;
  *p = {};
  p->version = block;
  p->qxenv = block ? &env : nullptr;
  p->flags = flags;
  return qx_main_QXENV_clpfd(p);
}

int words_of(const char *kinds)
{
  std::istringstream in(kinds);
  int n = 0;
  for (std::string word; in >> word;) n++;
  return n;
}

}  // namespace

TEST(FdResourceEntry, VersionMatrix)
{
  struct {
    uint32_t block, table;
    int result;
  } rows[] = {
      {0x30001, 0x301C3, 0}, {0x30001, 0x301C4, 0}, {0x30001, 0x3FFFF, 0}, {0x30001, 0x301C2, 2},
      {0x30001, 0x401C3, 2}, {0x30001, 0x201C3, 2}, {0x30001, 0x30000, 2}, {0x30000, 0x301C3, 2},
      {0x30002, 0x301C3, 2}, {0x40001, 0x301C3, 2}, {0x30001, 0, 1},       {0, 0x301C3, 1},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(std::to_string(r.block) + " " + std::to_string(r.table));
    QX_MAINFUN_PARAMS_STRUCT p;
    if (r.block == 0) {
      p = {};
      p.version = 0x30001;
      p.flags = 1;
      EXPECT_EQ(qx_main_QXENV_clpfd(&p), 1);
      continue;
    }
    EXPECT_EQ(entry(r.block, r.table, &p), r.result);
    if (r.result != 0) {
      EXPECT_EQ(p.flags, 1);
      EXPECT_EQ(p.funcs, nullptr);
      EXPECT_EQ(p.init_fun, nullptr);
      continue;
    }
    EXPECT_EQ(p.flags, 1 | 16);
    EXPECT_EQ(p.init_fun, (void (*)())(void *)&fd_initialize_qxenv_multi_qx);
    EXPECT_EQ(p.deinit_fun, (void (*)())(void *)&fd_deinitialize_qxenv_multi_qx);
    ASSERT_TRUE(p.funcs && p.prednames && p.arities);
  }
}

/* The parallel arrays end together; each name is a "$fd_" native declared in the interface
 * record with as many argument kinds as its arity, in the same order. */
TEST(FdResourceEntry, TablesAndDeclarationsAgree)
{
  QX_MAINFUN_PARAMS_STRUCT p;
  ASSERT_EQ(entry(0x30001, 0x301C3, &p, 2), 0);
  EXPECT_EQ(p.flags, 2 | 16) << "the unload call is answered the same way";
  EXPECT_STREQ(qx_clpfd_interface.resource, "clpfd");
  EXPECT_STREQ(qx_clpfd_interface.module, "clpfd");
  int n = 0;
  for (; p.funcs[n]; n++) {
    SCOPED_TRACE(p.prednames[n]);
    EXPECT_EQ(std::strncmp(p.prednames[n], "$fd_", 4), 0);
    ASSERT_STREQ(qx_clpfd_interface.preds[n].name, p.prednames[n]);
    EXPECT_EQ(words_of(qx_clpfd_interface.preds[n].args), p.arities[n]);
    for (int k = 0; k < n; k++) EXPECT_STRNE(p.prednames[k], p.prednames[n]);
  }
  EXPECT_EQ(p.prednames[n], nullptr);
  EXPECT_EQ(p.arities[n], -1);
  EXPECT_EQ(qx_clpfd_interface.preds[n].name, nullptr);
  EXPECT_GE(n, 32);
}

namespace {

/* The reference counts of all atoms now; -1 for a free index. */
std::vector<int> atom_counts()
{
  std::vector<int> counts;
  for (uint32_t i = 0; i < qx_eg.atom_count; i++) {
    const atom *a = atom_record(MakeAtom(i));
    counts.push_back(a ? (int)a->refcount : -1);
  }
  return counts;
}

/* A propagator that records the two term slots it is given and answers State = State0 and an
 * empty actions list; with its first argument `overflow` it raises the overflow flag. */
std::string seen_slots;
void slot_recorder(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                   QX_term_ref actions)
{
  worker *w = fd_worker(api);
  if (!fd_check_global(api, w)) return;
  seen_slots = TestProlog::show(w->term[0]) + " " + TestProlog::show(w->term[1]);
  TAGGED c = deref(StrArg(deref(w->term[1]), 2));
  if (IsStr(c) && deref(StrArg(c, 1)) == init_atom_check("overflow", 0))
    fd_state(api)->fd_overflow = 1;
  fd_ref_put(api, state, fd_ref_get(api, state0));
  fd_ref_put(api, actions, atom_nil);
}

class FdInstance : public FdKernelTest {
protected:
  void enter(const char *name, uint32_t arity, fd_global_fn fn) { enter_global(name, arity, fn); }
  /* fd_state with the pointers left out: what a call may change. */
  std::vector<uint32_t> counters()
  {
    struct fd_state *s = fd();
    return {s->debugging, s->overflowing, s->resumptions, s->entailments,
            s->prunings,  s->failures,    s->constraints, s->fd_overflow};
  }
};

}  // namespace

/* Loading, unloading and loading again: each functor word is registered once per instance
 * (the count of a non-fixed name rises by its uses while loaded) and every count is back after
 * each unload; the engine's hooks follow the instance. */
TEST_F(FdInstance, LoadUnloadLoadKeepsAtomCounts)
{
  qx_gc_off snapshots; /* an atom collection between the snapshots would free other indexes */
  ASSERT_TRUE(loaded());
  EXPECT_EQ(qx_fd_manager_hook, &fd_manager_hook);
  std::vector<int> loaded1 = atom_counts();
  ASSERT_TRUE(unload());

  std::vector<int> unloaded1 = atom_counts();
  int counted = 0;
  for (const char *name : {"in_set", "minmax", "val", "none", "all_distinct", "t=<u+c", "min"}) {
    uint32_t i = (uint32_t)(init_atom_check(name, 1) >> 3);
    if (unloaded1.at(i) == 255) continue; /* an atom the engine keeps for good: its count sticks */
    /* all_distinct/1 is both a functor of the instance and a key of its dispatch table */
    int uses = std::string(name) == "all_distinct" ? 2 : 1;
    EXPECT_EQ(loaded1.at(i), unloaded1.at(i) + uses) << name;
    counted++;
  }
  EXPECT_GE(counted, 3);
  ASSERT_TRUE(load());
  std::vector<int> loaded2 = atom_counts();
  loaded1.resize(loaded2.size(), 0);
  EXPECT_EQ(loaded2, loaded1);
  ASSERT_EQ(go("load_clpfd_resource"), 1) << "a second load keeps the instance";
  EXPECT_EQ(atom_counts(), loaded2);
  ASSERT_TRUE(unload());
  std::vector<int> unloaded2 = atom_counts();
  unloaded1.resize(unloaded2.size(), 0);
  EXPECT_EQ(unloaded2, unloaded1);
  ASSERT_TRUE(load());
}

/* A constraint outlives the instance that posted it: with the solver unloaded and loaded again
 * under the choicepoint of its post, backtracking runs its block's destructor (through the
 * tables the entry was given: the instance is gone), and the new instance propagates. */
TEST_F(FdInstance, UnloadAndLoadWhileAConstraintLives)
{
  consult("post(X, Y) :- clpfd:'$fd_in_interval'(X, 0, 9, 0), clpfd:'$fd_in_interval'(Y, 0, 9, 0), "
          "get_attr(X, clpfd, XA), get_attr(Y, clpfd, YA), C = scalar_product([1, 1], 1, 3, 0), "
          "clpfd:'$fd_post_global'(C, s([t(1, X, XA), t(1, Y, YA)], 1, 3, 0, _, 0), 0, C, [], _), "
          "clpfd:'$fd_evaluate_indexical'(_, 0).\n"
          "max(X, M) :- get_attr(X, clpfd, v(_, _, DM, _)), arg(1, DM, dom(_, _, M, _)).\n");
  EXPECT_EQ(run("( post(X, Y), max(X, 3), unload_clpfd_resource, load_clpfd_resource, fail "
                "; \\+ \\+ ( post(X, Y), max(Y, 3) ) )"),
            1)
      << exception();
}

/* The blocks of dead constraints that an instance keeps to hand out again are freed with it:
 * posting and undoing linear constraints of many sizes under an instance, then unloading it,
 * leaves the engine's foreign blocks as they were before the load. */
TEST_F(FdInstance, UnloadFreesTheKeptBlocks)
{
  consult("terms(0, [], []) :- !.\n"
          "terms(N, [t(1, X, XA) | Ts], [1 | Cs]) :- clpfd:'$fd_in_interval'(X, 0, 9, 0), "
          "get_attr(X, clpfd, XA), M is N - 1, terms(M, Ts, Cs).\n"
          "post(N) :- terms(N, Ts, Cs), C = scalar_product(Cs, 1, 3, 0), "
          "clpfd:'$fd_post_global'(C, s(Ts, 1, 3, 0, _, 0), 0, C, [], _), "
          "clpfd:'$fd_evaluate_indexical'(_, 0).\n"
          "posts(N) :- N > 12, !.\n"
          "posts(N) :- \\+ \\+ post(N), M is N + 1, posts(M).\n");
  ASSERT_TRUE(unload());
  size_t in_use = qx_space_in_use(QX_SPACE_FOREIGN);
  ASSERT_TRUE(load());
  ASSERT_EQ(run("posts(1)"), 1) << exception();
  ASSERT_TRUE(unload());
  EXPECT_EQ(qx_space_in_use(QX_SPACE_FOREIGN), in_use);
  ASSERT_TRUE(load());
}

/* A fresh instance: modes, counters, no level, the attribute template's functors those of the
 * state, and the suspension lists' keys in the order of their waking masks. */
TEST_F(FdInstance, FreshInstanceState)
{
  struct fd_state *s = fd();
  EXPECT_EQ(counters(), (std::vector<uint32_t>{0, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(s->current_propagator, nullptr);
  EXPECT_EQ(fd_attribute[11], s->functor_dom4);
  EXPECT_EQ(fd_attribute[16], s->functor_lists7);
  const char *keys[] = {"dom", "min", "dom", "max", "dom", "minmax", "dom"};
  for (int i = 1; i < 8; i++)
    EXPECT_EQ(s->linkage_keys[i], MakeFunctor(init_atom_check(keys[i - 1], 0), 1)) << i;
}

/* Every native resolves, through the engine's lookup of the resource's symbols, to the function
 * at its index in the resource's table. */
TEST_F(FdInstance, EachNativeResolvesToItsFunction)
{
  QX_MAINFUN_PARAMS_STRUCT p;
  ASSERT_EQ(entry(0x30001, 0x301C3, &p), 0);
  for (int i = 0; p.funcs[i]; i++) {
    std::string args;
    for (int k = 0; k < p.arities[i]; k++) args += k ? ",_" : "_";
    std::string spec =
        "'" + std::string(p.prednames[i]) + "'" + (args.empty() ? "" : "(" + args + ")");
    ASSERT_EQ(run("'$foreign_resource_symbols'(clpfd, [f(x, x, " + spec + ", A)], _)"), 1)
        << spec << exception();
    EXPECT_EQ(var("A"), std::to_string((int32_t)(intptr_t)p.funcs[i])) << spec;
  }
}

/* $fd_dispatch_global_fast: a functor with an entry runs it with State0 in term slot 0 and the
 * global/5 record in slot 1 and answers 1; anything else answers 0 and changes nothing. An entry
 * that finds no global/5 record in slot 1 raises an error, whatever the record is. */
TEST_F(FdInstance, DispatchGlobalFast)
{
  enter("probe", 1, slot_recorder);
  enter("probe", 0, slot_recorder);
  const char *global = "global(M, probe(x), S, D, t)", *ran = "s(1) global(_,probe(x),_,_,t)";
  const struct {
    const char *constraint, *global, *result, *slots;
  } rows[] = {
      {"probe(x)", global, "1 s(1) []", ran},
      {"probe", global, "1 s(1) []", ran},
      {"probe(x, y)", global, "0 _ _", ""},
      {"unknown(x)", global, "0 _ _", ""},
      {"unknown", global, "0 _ _", ""},
      {"C", global, "0 _ _", ""},
      {"7", global, "0 _ _", ""},
      {"[probe]", global, "0 _ _", ""},
      {"probe(x)", "G", "instantiation_error", ""},
      {"probe(x)", "foo", "type_error(global,foo)", ""},
      {"probe(x)", "global(a, b, c, d)", "type_error(global,global(a,b,c,d))", ""},
      {"probe(x)", "glob(a, b, c, d, e)", "type_error(global,glob(a,b,c,d,e))", ""},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(std::string(r.constraint) + " " + r.global);
    seen_slots.clear();
    std::vector<uint32_t> before = counters();
    ASSERT_EQ(go(std::string("catch('$fd_dispatch_global_fast'(") + r.constraint +
                 ", s(1), S1, A, " + r.global + ", R), error(E, _), true)"),
              1)
        << exception();
    EXPECT_EQ(var("E") == "_" ? var("R") + " " + var("S1") + " " + var("A") : var("E"), r.result);
    EXPECT_EQ(seen_slots, r.slots) << "an entry that raises stops before its work";
    EXPECT_EQ(counters(), before);
  }
}

/* An overflow after a global's run, or a complement past an end of the integer range, ends the
 * call: in fail mode it fails without the action; in error mode the overflow action runs on the
 * culprit (the constraint, or fdset_complement(_, _)) and its exception reaches the caller (or the
 * call fails when the action succeeds). The flag stays set for the next loop to clear. A
 * representable complement is unaffected. */
TEST_F(FdInstance, OverflowAfterAGlobalsRunOrAComplement)
{
  enter("probe", 1, slot_recorder);
  ASSERT_EQ(go("assertz(clpfd:(overflow_action(C) :- assertz(user:acted(C)), "
               "user:action_throws, throw(overflowed(C)))), "
               "assertz(clpfd:(overflow_action(C) :- assertz(user:acted(C)))), "
               "assertz((action_throws :- throws))"),
            1)
      << exception();
  const char *dispatch = "'$fd_dispatch_global_fast'(probe(overflow), s, S, A, "
                         "global(M, probe(overflow), St, D, t), R)";
  const char *low = "'$fd_dom_complement'([[-268435456|3]], S)";
  const char *high = "'$fd_dom_complement'([[3|268435455]], S)";
  const struct {
    const char *mode, *call;
    bool throws;
    const char *outcome, *acted;
  } rows[] = {
      {"fail", dispatch, true, "failed", "none"},
      {"error", dispatch, true, "caught overflowed(probe(overflow))", "probe(overflow)"},
      {"error", dispatch, false, "failed", "probe(overflow)"},
      {"fail", low, true, "failed", "none"},
      {"error", low, true, "caught overflowed(fdset_complement(_,_))", "fdset_complement(_,_)"},
      {"fail", high, true, "failed", "none"},
      {"error", high, true, "caught overflowed(fdset_complement(_,_))", "fdset_complement(_,_)"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(std::string(r.mode) + " " + r.call + (r.throws ? " throws" : ""));
    ASSERT_EQ(go(std::string(
                     "(retract(throws), fail ; retract(acted(_)), fail ; assertz(acted(none))), ") +
                 (r.throws ? "assertz(throws), " : "") + "'$fd_overflow'(_, " + r.mode + ", 1)"),
              1)
        << exception();
    fd()->fd_overflow = 0;
    int rc = go(std::string("catch(") + r.call + ", B, true), nonvar(B)");
    EXPECT_EQ(rc == 1 ? "caught " + var("B") : rc == 0 ? "failed" : exception(), r.outcome);
    ASSERT_EQ(go("(acted(L), L \\== none -> true ; L = none)"), 1) << exception();
    EXPECT_EQ(var("L"), r.acted);
    EXPECT_EQ(fd()->fd_overflow, 1u);
  }
  fd()->fd_overflow = 0;
  EXPECT_EQ(fd_check_overflow(api, atom_nil), 1) << "a clear flag passes";
  ASSERT_EQ(go("'$fd_overflow'(_, error, _), '$fd_dom_complement'([[inf|3],[7|sup]], S)"), 1)
      << exception();
  EXPECT_EQ(var("S"), "[[4|6]]");
}

/* $fd_statistics reads and resets one counter by key; other keys answer 0 and change nothing. */
TEST_F(FdInstance, StatisticsReadAndReset)
{
  uint32_t fd_state::*fields[] = {&fd_state::resumptions, &fd_state::entailments,
                                  &fd_state::prunings, &fd_state::failures, &fd_state::constraints};
  for (int k = 0; k < 5; k++) fd()->*fields[k] = 10 + k;
  for (int key : {5, -1, 1000}) {
    ASSERT_EQ(go("'$fd_statistics'(" + std::to_string(key) + ", V)"), 1);
    EXPECT_EQ(var("V"), "0");
  }
  for (int k = 0; k < 5; k++) {
    ASSERT_EQ(go("'$fd_statistics'(" + std::to_string(k) +
                 ", V1), "
                 "'$fd_statistics'(" +
                 std::to_string(k) + ", V2)"),
              1);
    EXPECT_EQ(var("V1") + " " + var("V2"), std::to_string(10 + k) + " 0");
    for (int j = k + 1; j < 5; j++) EXPECT_EQ(fd()->*fields[j], (uint32_t)(10 + j));
  }
}

/* $fd_debug and $fd_overflow: Old unifies with the mode's atom, then the mode follows New;
 * when Old does not unify, Result 0 and nothing changes. */
TEST_F(FdInstance, DebugAndOverflowModes)
{
  struct {
    const char *pred;
    uint32_t fd_state::*field;
    std::string set, clear;
  } preds[] = {{"$fd_debug", &fd_state::debugging, "on", "off"},
               {"$fd_overflow", &fd_state::overflowing, "error", "fail"}};
  for (const auto &p : preds) {
    struct {
      uint32_t before;
      std::string old_arg, new_arg, result, x;
      uint32_t after;
    } rows[] = {
        {0, "X", p.set, "1", p.clear, 1},    {1, "X", p.clear, "1", p.set, 0},
        {1, "X", p.set, "1", p.set, 1},      {0, p.clear, p.set, "1", "_", 1},
        {0, p.set, p.set, "0", "_", 0},      {1, p.clear, p.clear, "0", "_", 1},
        {1, "X", "anything", "1", p.set, 0}, {0, "f(X)", p.set, "0", "_", 0},
    };
    for (const auto &r : rows) {
      SCOPED_TRACE(std::string(p.pred) + " " + std::to_string(r.before) + " " + r.old_arg + " " +
                   r.new_arg);
      fd()->*p.field = r.before;
      ASSERT_EQ(go("'" + std::string(p.pred) + "'(" + r.old_arg + ", " + r.new_arg + ", R), X = X"),
                1)
          << exception();
      EXPECT_EQ(var("R"), r.result);
      EXPECT_EQ(var("X"), r.x);
      EXPECT_EQ(fd()->*p.field, r.after);
    }
  }
}

/* Arguments of the wrong kind: an error from the declared conversion or a failure. */
TEST_F(FdInstance, BadArgumentsOfTheModeNatives)
{
  struct {
    const char *goal, *outcome;
  } rows[] = {
      {"'$fd_statistics'(_, _)", "instantiation_error"},
      {"'$fd_statistics'(a, _)", "type_error(integer,a)"},
      {"'$fd_statistics'(1.5, _)", "type_error(integer,1.5)"},
      {"'$fd_statistics'(100000000000000000000, _)", "type_error(integer,<bignum>)"},
      {"'$fd_statistics'(0, a)", "failed"},
      {"'$fd_debug'(_, _, _)", "instantiation_error"},
      {"'$fd_debug'(_, 1, _)", "type_error(atom,1)"},
      {"'$fd_overflow'(_, f(a), _)", "type_error(atom,f(a))"},
      {"'$fd_overflow'(_, error, 2)", "failed"},
      {"'$fd_minint_maxint'(a, _)", "failed"},
      {"'$fd_minint_maxint'(0, _)", "failed"},
      {"'$fd_minint_maxint'(-268435456, 268435455)", "_"},
      {"'$fd_incumbent_bound'(_, _)", "instantiation_error"},
      {"'$fd_update_incumbent'([], 1, [])", "type_error(db_reference,[])"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.goal);
    int rc = go(std::string("catch(") + r.goal + ", error(E, _), true)");
    EXPECT_EQ(rc == 1   ? var("E")
              : rc == 0 ? "failed"
                        : exception(),
              std::string(r.outcome) == "failed" ? "failed" : r.outcome);
  }
  EXPECT_EQ(fd()->overflowing, 1u);
  EXPECT_EQ(fd()->debugging, 0u);
}

namespace {

/* incumbent_ref(Name/Arity, Ref): a database reference to the first clause of user:Name/Arity. */
int t_incumbent_ref(worker *w)
{
  TAGGED spec = deref(w->term[0]);
  definition *d = find_definition(
      qx_eg.user_module,
      MakeFunctor(deref(StrArg(spec, 1)), (uint32_t)GetSmall(deref(StrArg(spec, 2)))), nullptr, 0);
  if (!d || !d->first_clause) return 0;
  call_overflow(w, 8, 2);
  return cunify(w, w->term[1], cons_dbref(w, d->first_clause, 0));
}

}  // namespace

/* The incumbent: Bound and the values are written into the recorded term in place, only into
 * the cells of its recorded list, only as small integers; every bad call raises an error and
 * writes nothing. */
TEST_F(FdInstance, IncumbentUpdateAndBound)
{
  qx_define_native(qx_eg.prolog_module, "incumbent_ref", 2, t_incumbent_ref, nullptr, ENTER_C);
  ASSERT_EQ(go("assertz(inc(sup, [0, 0, 0])), assertz(open(B, [0, f(x), 0])), "
               "assertz(odd(a, b, c)), assertz(gone(1, [0])), incumbent_ref(gone/2, R), "
               "retract(gone(_, _)), assertz(gone_ref(R))"),
            1)
      << exception();
  auto words = [](const char *name) {
    definition *d =
        find_definition(qx_eg.user_module, MakeFunctor(init_atom_check(name, 0), 2), nullptr, 0);
    return (const TAGGED *)d->first_clause;
  };
  const TAGGED *inc = words("inc");
  ASSERT_EQ(go("incumbent_ref(inc/2, R), '$fd_incumbent_bound'(R, B)"), 1) << exception();
  EXPECT_EQ(var("B"), "sup");
  struct {
    const char *bound, *values, *error;
    int32_t expect[4]; /* bound and the three elements after the call */
  } rows[] = {
      {"5", "[1, 2, 3]", nullptr, {5, 1, 2, 3}},
      {"4", "[7]", nullptr, {4, 7, 2, 3}},
      {"3", "[8, 9 | _]", nullptr, {3, 8, 9, 3}},
      {"2", "[]", nullptr, {2, 8, 9, 3}},
      {"1", "[1, 2, 3, 4]", "domain_error(incumbent,[1,2,3,4])", {2, 8, 9, 3}},
      {"1", "[1, a, 3]", "type_error(integer,a)", {2, 8, 9, 3}},
      {"1", "[1, _, 3]", "instantiation_error", {2, 8, 9, 3}},
      {"1", "[1, 1.5]", "type_error(integer,1.5)", {2, 8, 9, 3}},
      {"1", "[1, 1000000000000]", "type_error(integer,1000000000000)", {2, 8, 9, 3}},
      {"foo", "[1]", "type_error(integer,foo)", {2, 8, 9, 3}},
      {"_", "[1]", "instantiation_error", {2, 8, 9, 3}},
      {"f(1)", "[1]", "type_error(integer,f(1))", {2, 8, 9, 3}},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(std::string(r.bound) + " " + r.values);
    ASSERT_EQ(go(std::string("incumbent_ref(inc/2, R), catch('$fd_update_incumbent'(R, ") +
                 r.bound + ", " + r.values + "), error(E, _), true)"),
              1)
        << exception();
    EXPECT_EQ(var("E"), r.error ? r.error : "_");
    EXPECT_EQ(inc[13], MakeSmall(r.expect[0]));
    for (int i = 0; i < 3; i++) EXPECT_EQ(inc[15 + 2 * i], MakeSmall(r.expect[i + 1])) << i;
  }
  ASSERT_EQ(go("incumbent_ref(inc/2, R), '$fd_incumbent_bound'(R, B)"), 1) << exception();
  EXPECT_EQ(var("B"), "2");
  /* a compound element: its cell takes the value, the structure behind it stays unreached */
  ASSERT_EQ(go("incumbent_ref(open/2, R), \\+ '$fd_incumbent_bound'(R, _), "
               "'$fd_update_incumbent'(R, 7, [4, 5, 6]), '$fd_incumbent_bound'(R, B)"),
            1)
      << exception();
  EXPECT_EQ(var("B"), "7");
  instance *open = (instance *)words("open");
  call_overflow(w, qx_instance_heap_words(open) + 8, 0);
  EXPECT_EQ(TestProlog::show(qx_copy_from_instance(w, open)), "open(7,[4,5,6])");
  /* references that name no live incumbent record */
  for (auto [ref, error] :
       {std::pair{"foo", "type_error(db_reference,foo)"}, std::pair{"_", "instantiation_error"},
        std::pair{"'$ref'(3, 1)", "existence_error(db_reference,$ref(3,1))"},
        std::pair{"Gone", "existence_error(db_reference,$ref("},
        std::pair{"Odd", "domain_error(incumbent,$ref("}}) {
    for (const char *goal :
         {"'$fd_update_incumbent'(Ref, 1, [1])", "'$fd_incumbent_bound'(Ref, _)"}) {
      SCOPED_TRACE(std::string(ref) + " " + goal);
      ASSERT_EQ(go(std::string("gone_ref(Gone), incumbent_ref(odd/3, Odd), Ref = ") + ref +
                   ", catch(" + goal + ", error(E, _), true)"),
                1)
          << exception();
      EXPECT_EQ(var("E").substr(0, std::strlen(error)), error);
    }
  }
  EXPECT_EQ(inc[13], MakeSmall(2));
}

/* Random small terms as the arguments of this file's natives: every call succeeds, fails or
 * raises error(_, _), never anything else; afterwards the modes are as the calls left them and
 * a global still runs through the loop. */
TEST_F(FdInstance, RandomBadArgumentsLeaveAWorkingKernel)
{
  enter("probe", 1, slot_recorder);
  qx_define_native(qx_eg.prolog_module, "incumbent_ref", 2, t_incumbent_ref, nullptr, ENTER_C);
  ASSERT_EQ(go("assertz(inc(sup, [0, 0]))"), 1);
  const char *pool[] = {"_",
                        "a",
                        "0",
                        "-1",
                        "4",
                        "1.5",
                        "[]",
                        "[1|_]",
                        "f(X)",
                        "on",
                        "off",
                        "error",
                        "fail",
                        "[[1|2]]",
                        "s(1)",
                        "probe(x)",
                        "probe",
                        "100000000000000000000",
                        "global(a, b, c, d, e)",
                        "'$ref'(3, 1)",
                        "R",
                        "[1, 2, 3]"};
  const struct {
    const char *name;
    int arity;
  } natives[] = {{"$fd_statistics", 2},
                 {"$fd_debug", 3},
                 {"$fd_overflow", 3},
                 {"$fd_minint_maxint", 2},
                 {"$fd_update_incumbent", 3},
                 {"$fd_incumbent_bound", 2},
                 {"$fd_dispatch_global_fast", 6}};
  std::mt19937 random(2026);
  const size_t pool_size = sizeof pool / sizeof pool[0];
  for (int i = 0; i < 3000; i++) {
    const auto &n = natives[random() % (sizeof natives / sizeof natives[0])];
    std::string goal = std::string("'") + n.name + "'(";
    for (int k = 0; k < n.arity; k++)
      goal += (k ? ", " : "") + std::string(pool[random() % pool_size]);
    goal += ")";
    fd_undo_scope undo(w); /* the heap stays small: the stress mode's collections stay cheap */
    int rc = go("incumbent_ref(inc/2, R), catch(" + goal + ", error(_, _), true)");
    ASSERT_NE(rc, -1) << goal << " " << exception();
    fd()->fd_overflow = 0;
  }
  ASSERT_EQ(go("incumbent_ref(inc/2, R), '$fd_incumbent_bound'(R, B), "
               "'$fd_debug'(_, off, 1), '$fd_overflow'(_, error, 1)"),
            1)
      << exception();
  EXPECT_TRUE(var("B") == "sup" || var("B").find_first_not_of("-0123456789") == std::string::npos)
      << var("B");
  fd_test_global &g = add_test_global("tg", 2);
  g.prunes = {{2, MakeSmall(3), MakeSmall(4)}};
  ASSERT_EQ(go("'$fd_in_interval'(X, 0, 9, 1), '$fd_in_interval'(Y, 0, 9, 0), "
               "'$fd_post_global'(tg(X, Y), st(_, 0), 0, tg(X, Y), [dom(X)], _), "
               "'$fd_evaluate_indexical'(_, R), "
               "'$fd_arg_attribute'(Y, 0, v(_, _, '$mutable'(dom(S, _, _, _), _), _))"),
            1)
      << exception();
  EXPECT_EQ(var("R") + " " + var("S"), "0 [[3|4]]");
  EXPECT_EQ(g.runs, 1);
}
