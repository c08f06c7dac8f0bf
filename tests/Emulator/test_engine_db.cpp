/* Definitions and the clause database seen from running programs: the logical update view,
 * reclaiming erased clauses, undefining, indexical destructors and call resolution. */
#include <random>

#include "emulcode.h"
#include "engine_fixture.h"
#include "memtest_support.h"

namespace {

using namespace engine_test;

definition *user_def(TAGGED head)
{
  head = deref(head);
  return find_definition(qx_eg.user_module, IsStr(head) ? StrFunctor(head) : head, nullptr, 1);
}

/* assertz(Clause) for facts and rules of module user. */
int t_assertz(worker *w)
{
  TAGGED c = deref(w->term[0]);
  TAGGED head =
      IsStr(c) && StrFunctor(c) == MakeFunctor(init_atom_check(":-", 0), 2) ? StrArg(c, 1) : c;
  definition *d = user_def(head);
  if (d->predtyp == ENTER_UNDEFINED) redefine_predicate(d, ENTER_INTERPRETED);
  insertz(d, qx_make_clause(w, d, c));
  return 1;
}

/* erase_first(Head): erases the first live clause of Head's predicate. */
int t_erase_first(worker *w)
{
  instance *ins = active_instance_call(user_def(w->term[0])->first_clause, 1);
  return ins && qx_erase_clause(ins);
}

/* dead(Head, N): erased clauses of the predicate still kept. */
int t_dead(worker *w)
{
  return cunify(w, w->term[1], MakeSmall((int32_t)user_def(w->term[0])->dead_count));
}

/* clause_arg(Head, X): X runs over the first arguments of the predicate's facts, dead or alive,
 * by walking the clause chain from a retry node that reaches the definition. */
int t_clause_arg(worker *w)
{
  instance *ins = user_def(w->term[0])->first_clause;
  if (!ins) return 0;
  if (ins->next) {
    w->term[2] = (TAGGED)(uintptr_t)ins->next | 3;
    qx_push_retry_reaching(w, 3, user_def(w->term[0]));
  }
  return cunify(w, w->term[1], ins->body[1]);
}
int t_clause_arg_retry(worker *w)
{
  TAGGED *state = qx_retry_state(w);
  instance *ins = (instance *)(uintptr_t)(state[2] & ~(TAGGED)3);
  TAGGED value = ins->body[1]; /* popping the node may free the clause */
  if (ins->next)
    state[2] = (TAGGED)(uintptr_t)ins->next | 3;
  else
    qx_pop_retry(w);
  return cunify(w, w->term[1], value);
}

/* store_big(L): asserts big(L). */
int t_store_big(worker *w)
{
  call_overflow(w, 4, 1);
  TAGGED *p = w->global_top;
  p[0] = MakeFunctor(init_atom_check("big", 0), 1);
  p[1] = w->term[0];
  w->global_top += 2;
  definition *d = user_def(MakeStr(p));
  insertz(d, qx_make_clause(w, d, MakeStr(p)));
  return 1;
}

/* A memory fault while the last clause of big/1 is tried, both clauses erased during the call:
 * once the fault has been caught, nothing reaches the predicate and its clauses are freed. The
 * ceiling leaves room for two copies of a 2.5-million-element list (20 MB each), not three. */
int fault_in_last_alternative()
{
  alarm(120);
  EnvGuard size("PROLOGMAXSIZE", "48M");
  TestProlog p;
  qx_define_native(qx_eg.prolog_module, "=", 2, t_unify, nullptr, ENTER_C);
  qx_define_native(qx_eg.prolog_module, "erase_first", 1, t_erase_first, nullptr, ENTER_C);
  qx_define_native(qx_eg.prolog_module, "mk_list", 2, t_mk_list, nullptr, ENTER_C);
  qx_define_native(qx_eg.prolog_module, "store_big", 1, t_store_big, nullptr, ENTER_C);
  ready_the_exception_path();
  p.consult("big(1).");
  if (p.run("mk_list(2500000, L), store_big(L), fail ; true") != 1) return 2; /* heap back */
  size_t stored = qx_space_in_use(QX_SPACE_DATABASE);
  if (p.run("catch((mk_list(2500000, H), big(X), erase_first(big(_)), erase_first(big(_)), fail), "
            "error(resource_error(R), _), true)") != 1)
    return 3;
  if (p.var("R") != "memory") return 4;
  definition *big = user_def(TermReader(p.w, "big(_)").read());
  if (big->active_calls != 0 || big->dead_count != 0 || qx_eg.dead_clause_count != 0) return 5;
  if (big->first_clause != nullptr || qx_space_in_use(QX_SPACE_DATABASE) + 20000000 > stored)
    return 6;
  p.consult("big(2).");
  if (p.run("big(X), X = 2") != 1) return 7;
  return 0;
}

/* Memory filled with f/2 clauses under a 48 MB ceiling, the resource error caught by a catcher
 * that unification must match; with `retract`, every clause is then retracted, twice over: all
 * are freed and the second fill stores as many. count_f notes the count, as no goal could be read
 * at exhaustion. Answers 0, or the number of the check that failed. */
definition *f_def;
uint32_t f_count;
int fill_memory(bool retract)
{
  alarm(120);
  EnvGuard size("PROLOGMAXSIZE", "48M");
  TestProlog p;
  ready_the_exception_path();
  p.consult("fill(N) :- assertz(f(N, [N])), M is N + 1, fill(M).");
  f_def = user_def(TermReader(p.w, "f(_, _)").read());
  qx_native_fn count_f = [](worker *) {
    f_count = f_def->clause_count;
    return 1;
  };
  qx_define_native(qx_eg.prolog_module, "count_f", 0, count_f, nullptr, ENTER_C);
  size_t base = qx_space_in_use(QX_SPACE_DATABASE);
  std::string then = retract ? ", count_f, (retract(f(_, _)), fail ; true)" : "";
  for (uint32_t round = 0, filled = 100000; round < (retract ? 2 : 1); round++) {
    if (p.run("catch(fill(0), error(resource_error(memory), _), true)" + then) != 1) return 2;
    if (retract && f_count < filled) return 3;
    filled = f_count / 10 * 9;
    if (retract && (f_def->active_calls || f_def->dead_count || f_def->first_clause ||
                    qx_space_in_use(QX_SPACE_DATABASE) > base + 65536))
      return 4;
  }
  return 0;
}

/* ---- indexical destructor hook ---- */
std::vector<void *> chains_destroyed;
void record_chain(void *cookie, void *chain)
{
  EXPECT_EQ(cookie, (void *)&chains_destroyed);
  chains_destroyed.push_back(chain);
}

class Database : public EngineTest {
protected:
  Database()
  {
    native("assertz", 1, t_assertz);
    native("erase_first", 1, t_erase_first);
    native("dead", 2, t_dead);
    native("clause_arg", 2, t_clause_arg, t_clause_arg_retry);
    chains_destroyed.clear();
  }
  ~Database() override { qx_fd_destructor_hook = nullptr; }
  definition *def(const char *name, uint32_t arity)
  {
    return insert_definition(qx_eg.user_module, init_atom_check(name, 0), arity, 1);
  }
};

}  // namespace

TEST_F(Database, ACallSeesTheClausesOfItsStart)
{
  p.consult("c(1). c(2). c(3).");
  ASSERT_EQ(p.run("(c(X), note(X), assertz(c(9)), fail ; true)"), 1);
  EXPECT_EQ(log(), "1,2,3");
  EXPECT_EQ(def("c", 1)->clause_count, 6u);
  log_text.clear();
  ASSERT_EQ(p.run("(c(X), note(X), erase_first(c(_)), fail ; true)"), 1);
  EXPECT_EQ(log(), "1,2,3,9,9,9") << "retracting during the iteration hides nothing from it";
  EXPECT_EQ(def("c", 1)->clause_count, 0u);
}

TEST_F(Database, ErasedClausesAreFreedOnceNothingReachesThem)
{
  p.consult("c(1). c(2). c(3).");
  ASSERT_EQ(
      p.run("c(X), erase_first(c(_)), erase_first(c(_)), dead(c(_), 2), X = 1, !, dead(c(_), 0)"),
      1);
  EXPECT_EQ(qx_eg.dead_clause_count, 0u);
  /* The last alternative leaves the predicate when it is tried: from then on nothing reaches it. */
  p.consult("c(4). c(5).");
  ASSERT_EQ(p.run("(c(X), erase_first(c(_)), dead(c(_), D), note(D), fail ; dead(c(_), 0))"), 1);
  EXPECT_EQ(log(), "1,2,0");
  EXPECT_EQ(def("c", 1)->clause_count, 0u);
  EXPECT_EQ(qx_eg.dead_clause_count, 0u);
}

TEST_F(Database, ANativeWalkingTheClausesKeepsErasedOnesAlive)
{
  p.consult("c(1). c(2). c(3).");
  /* Each step erases the clause the native's state points at next. */
  ASSERT_EQ(
      p.run("(clause_arg(c(_), X), note(X), erase_first(c(_)), erase_first(c(_)), fail ; true)"),
      1);
  EXPECT_EQ(log(), "1,2,3");
  EXPECT_EQ(def("c", 1)->dead_count, 0u);
  p.consult("d(1). d(2). d(3).");
  ASSERT_EQ(p.run("clause_arg(d(_), X), erase_first(d(_)), erase_first(d(_)), !, dead(d(_), 0)"),
            1);
  EXPECT_EQ(qx_eg.dead_clause_count, 0u);
}

TEST_F(Database, UndefiningKeepsNativeBuiltIns)
{
  p.consult("mine(1).");
  definition *mine = def("mine", 1);
  mine->properties.dynamic = 1;
  undefine_all(qx_eg.prolog_module, 1);
  undefine_all(qx_eg.user_module, 1);
  ASSERT_EQ(p.run("between(1, 2, X), X = 2"), 1);
  EXPECT_EQ(mine->predtyp, ENTER_UNDEFINED);
  EXPECT_EQ(mine->properties.dynamic, 0u);
  EXPECT_EQ(p.run("mine(_)"), -1);
  EXPECT_EQ(exception(), "error(existence_error(procedure,:(user,/(mine,1))),context(_,0))");
}

TEST_F(Database, IndexicalsGoThroughTheSolversDestructorOncePerChain)
{
  qx_fd_destructor_hook = record_chain;
  qx_fd_hook_cookie = &chains_destroyed;
  size_t in_use = qx_space_in_use(QX_FD_INFO_SPACE);
  static int chain_a, chain_b;
  auto give_indexicals = [&](definition *d) {
    void **info = (void **)qx_checkalloc(QX_FD_INFO_BYTES, QX_FD_INFO_SPACE);
    std::memset(info, 0, QX_FD_INFO_BYTES);
    info[1] = &chain_a;
    info[3] = &chain_b;
    d->fd_info = info;
    update_exports(d, FD_CONSTRAINT);
  };
  definition *d = def("ix", 2);
  give_indexicals(d);
  definition *importer =
      find_definition(find_module(init_atom_check("other", 0), 1), d->functor, nullptr, 1);
  import_predicate(d, qx_eg.user_module, importer->module);
  EXPECT_EQ(importer->fd_info, d->fd_info);
  undefine_predicate(importer); /* an import does not own the indexicals */
  EXPECT_TRUE(chains_destroyed.empty());
  undefine_predicate(d);
  EXPECT_EQ(chains_destroyed, (std::vector<void *>{&chain_a, &chain_b}));
  EXPECT_EQ(d->fd_info, nullptr);
  EXPECT_EQ(qx_space_in_use(QX_FD_INFO_SPACE), in_use);
  /* redefining as interpreted destroys them too; so does the engine's end */
  give_indexicals(d);
  redefine_predicate(d, ENTER_INTERPRETED);
  EXPECT_EQ(chains_destroyed.size(), 4u);
  give_indexicals(def("ix", 3));
  deinit_stream(); /* first, as at shutdown: closing a stream may run Prolog code */
  deinit_modules();
  EXPECT_EQ(chains_destroyed.size(), 6u);
  EXPECT_EQ(qx_space_in_use(QX_FD_INFO_SPACE), in_use);
  init_modules();
}

TEST_F(Database, ACallResolvesAgainAfterItsPredicateChanges)
{
  native("greet", 1, [](worker *w) { return cunify(w, w->term[0], init_atom_check("native", 0)); });
  ASSERT_EQ(p.run("greet(X)"), 1);
  EXPECT_EQ(p.var("X"), "native");
  definition *d = def("greet", 1);
  redefine_predicate(d, ENTER_INTERPRETED);
  insertz(d, qx_make_clause(p.w, d, TermReader(p.w, "greet(user)").read()));
  ASSERT_EQ(p.run("greet(X)"), 1);
  EXPECT_EQ(p.var("X"), "user");
  undefine_predicate(d);
  ASSERT_EQ(p.run("greet(X)"), 1);
  EXPECT_EQ(p.var("X"), "native");
}

/* The clause clock started below the points where a 32-bit clock, or one saved in 56 bits,
 * would wrap: a call made before the point sees its 40 clauses while 40 more are asserted past
 * it, and a call made after it sees all 80, born on both sides, while it erases them. */
TEST_F(Database, TheClauseClockDoesNotWrap)
{
  const uint64_t points[] = {(uint64_t)1 << 32, (uint64_t)1 << 56, (uint64_t)1 << 62};
  int round = 0;
  for (uint64_t point : points) {
    std::string c = "c" + std::to_string(round++);
    qx_eg.clause_clock = point - 45;
    std::string clauses, expected, zeros;
    for (int i = 1; i <= 40; i++) {
      clauses += c + "(" + std::to_string(i) + "). ";
      expected += (i > 1 ? "," : "") + std::to_string(i);
      zeros += ",0";
    }
    p.consult(clauses);
    log_text.clear();
    ASSERT_EQ(p.run("(" + c + "(X), note(X), assertz(" + c + "(0)), fail ; true)"), 1);
    EXPECT_EQ(log(), expected) << point;
    EXPECT_GT(qx_eg.clause_clock, point);
    log_text.clear();
    ASSERT_EQ(p.run("(" + c + "(X), note(X), erase_first(" + c + "(_)), fail ; true)"), 1);
    EXPECT_EQ(log(), expected + zeros) << point;
    EXPECT_EQ(def(c.c_str(), 1)->clause_count, 0u);
  }
}

TEST(EngineDb, AFaultInTheLastAlternativeLeavesNothingReachingTheClauses)
{
  EXPECT_EQ(run_in_child(fault_in_last_alternative), 0);
}

TEST(EngineDb, AtExhaustionAResourceErrorCatcherIsMatched)
{
  if (stress_mode_run()) GTEST_SKIP() << "near the limit the stress mode collects at every call";
  EXPECT_EQ(run_in_child([] { return fill_memory(false); }), 0);
}

TEST(EngineDb, AtExhaustionRetractingFreesEveryClauseForReuse)
{
  if (stress_mode_run()) GTEST_SKIP() << "near the limit the stress mode collects at every call";
  EXPECT_EQ(run_in_child([] { return fill_memory(true); }), 0);
}

/* The table that validates database references keeps only the live clauses' keys: 100,000
 * clauses made and erased one at a time (20,000 in the collector's stress mode, still more than
 * the bound) leave it at most 8,192 slots. */
TEST(EngineDb, ReferenceTableStaysProportionalToLiveClauses)
{
  TestProlog p;
  p.consult("churn(0) :- !. churn(N) :- assertz(t(N)), retract(t(N)), M is N - 1, churn(M).");
  ASSERT_EQ(p.run(qx_gc_stress ? "assertz(keep(1)), churn(20000)"
                               : "assertz(keep(1)), churn(100000)"),
            1);
  EXPECT_LE(sw_on_key_slots(qx_eg.dbrefs), 8192u);
  EXPECT_EQ(p.run("keep(1)"), 1);
  instance *kept = active_instance_call(
      find_definition(qx_eg.user_module, MakeFunctor(init_atom_check("keep", 0), 1), nullptr, 0)
          ->first_clause,
      0);
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(decode_dbref(cons_dbref(p.w, kept, 0)), kept)
      << "a live clause's reference still validates";
}

/* ---- first-argument indexing, against an oracle that simulates the clause list ---- */
namespace {

/* First arguments of the random programs: every kind of key, a few sharing a functor, and the
 * variable. Ground keys unify exactly when their texts are equal. */
const char *const kIndexKeys[] = {"a",
                                  "b",
                                  "[]",
                                  "0",
                                  "1",
                                  "-3",
                                  "7",
                                  "1.5",
                                  "2.5",
                                  "-0.0",
                                  "f(1)",
                                  "f(2)",
                                  "g(a, b)",
                                  "[1]",
                                  "[2]",
                                  "123456789012345",
                                  "123456789012346",
                                  "_"};
constexpr int kIndexKeyCount = sizeof kIndexKeys / sizeof kIndexKeys[0];
/* The key word an index would file a first argument under: compounds by name and arity. */
std::string key_class(const std::string &k)
{
  if (k[0] == 'f') return "f/1";
  if (k[0] == '[' && k.size() > 2) return "./2";
  return k;
}

struct SimClause {
  int id;
  std::string key;
  bool alive = true;
};

bool sim_unifies(const std::string &clause_key, const std::string &query_key)
{
  return clause_key == "_" || query_key == "_" || clause_key == query_key;
}
bool sim_candidate(const std::string &clause_key, const std::string &query_key)
{
  return clause_key == "_" || query_key == "_" || key_class(clause_key) == key_class(query_key);
}

std::vector<std::string> live_ids(const std::vector<SimClause> &db)
{
  std::vector<std::string> ids;
  for (const SimClause &c : db)
    if (c.alive) ids.push_back(std::to_string(c.id));
  return ids;
}

/* An operation run between two solutions of an iteration, and its effect on the simulation. */
struct DbOp {
  int kind; /* 0 assertz, 1 asserta, 2 retract by key */
  std::string key;
  int id;
  std::string goal() const
  {
    std::string fact = "p(" + key + ", " + std::to_string(id) + ")";
    if (kind == 0) return "assertz(" + fact + ")";
    if (kind == 1) return "asserta(" + fact + ")";
    return "(retract(p(" + key + ", _)) -> true ; true)";
  }
  void simulate(std::vector<SimClause> &db) const
  {
    if (kind == 0) db.push_back({id, key});
    if (kind == 1) db.insert(db.begin(), {id, key});
    if (kind == 2)
      for (SimClause &c : db)
        if (c.alive && sim_unifies(c.key, key)) {
          c.alive = false;
          break;
        }
  }
};

std::vector<DbOp> pending_ops;

/* mutate: runs the next pending operation as a query of its own. */
int t_mutate(worker *w)
{
  if (pending_ops.empty()) return 1;
  DbOp op = pending_ops.front();
  pending_ops.erase(pending_ops.begin());
  TermReader reader(w, op.goal());
  return qx_call_once(w, reader.read(), qx_eg.user_module) == 1;
}

/* nodes(N): the choicepoints of the running query above its own bottom node. */
int t_nodes(worker *w)
{
  int32_t n = 0;
  for (node *b = w->node_; NodeAlt(b)->op != QX_ALT_RUNBASE; b = qx_node_below(b)) n++;
  return cunify(w, w->term[0], MakeSmall(n));
}

class ClauseIndex : public EngineTest {
protected:
  ClauseIndex()
  {
    native("mutate", 0, t_mutate);
    native("nodes", 1, t_nodes);
    EXPECT_EQ(p.run("assertz(p(x, 0)), retract(p(x, 0))"), 1) << "p/2 is dynamic";
  }
  ~ClauseIndex() override { qx_index_linear = false; }

  /* Builds p/2 from the simulation's clauses, through assertz and asserta. */
  void build(std::mt19937 &rng, int count, std::vector<SimClause> &db)
  {
    std::string goal = "true";
    for (int id = 1; id <= count; id++) {
      std::string key = kIndexKeys[rng() % kIndexKeyCount];
      bool front = rng() % 4 == 0;
      goal += std::string(front ? ", asserta(" : ", assertz(") + "p(" + key + ", " +
              std::to_string(id) + "))";
      if (front)
        db.insert(db.begin(), {id, key});
      else
        db.push_back({id, key});
    }
    ASSERT_EQ(p.run(goal), 1);
  }
  std::vector<std::string> solutions(const std::string &goal)
  {
    log_text.clear();
    EXPECT_EQ(p.run("(" + goal + ", note(I), fail ; true)"), 1) << goal;
    std::vector<std::string> ids;
    size_t start = 0;
    while (start < log_text.size()) {
      size_t comma = log_text.find(',', start);
      if (comma == std::string::npos) comma = log_text.size();
      ids.push_back(log_text.substr(start, comma - start));
      start = comma + 1;
    }
    return ids;
  }
};

}  // namespace

/* Every key of a random program of facts, with the index and along the chain: the solutions in
 * chain order, and a choicepoint left exactly when a later clause has a compatible key. */
TEST_F(ClauseIndex, LookupsGiveTheSolutionsAndDeterminismOfTheClauseList)
{
  std::mt19937 rng(12);
  for (int round = 0; round < 60; round++) {
    std::vector<SimClause> db;
    ASSERT_EQ(p.run("retract(p(_, _)), fail ; true"), 1);
    build(rng, (int)(rng() % 40), db);
    for (bool linear : {false, true}) {
      qx_index_linear = linear;
      for (int k = 0; k < kIndexKeyCount + 2; k++) {
        std::string key = k < kIndexKeyCount ? kIndexKeys[k] : k == kIndexKeyCount ? "zz" : "99";
        std::vector<std::string> expected;
        int first = -1;
        for (size_t i = 0; i < db.size(); i++)
          if (sim_unifies(db[i].key, key)) {
            expected.push_back(std::to_string(db[i].id));
            if (first < 0) first = (int)i;
          }
        EXPECT_EQ(solutions("p(" + key + ", I)"), expected) << key << " linear " << linear;
        if (first < 0) continue;
        bool more = false;
        for (size_t i = first + 1; i < db.size(); i++) more |= sim_candidate(db[i].key, key);
        ASSERT_EQ(p.run("p(" + key + ", _), nodes(N)"), 1);
        EXPECT_EQ(p.var("N"), more ? "1" : "0") << key << " linear " << linear;
      }
    }
  }
}

/* Random asserts and retracts between the solutions of a running iteration: it gives the
 * clauses alive at its start, in order, and the database ends as the simulation does. */
TEST_F(ClauseIndex, ChangesDuringAnIterationFollowTheLogicalUpdateView)
{
  std::mt19937 rng(7);
  int next_id = 1000;
  for (int round = 0; round < 80; round++) {
    qx_index_linear = round % 2 == 1;
    std::vector<SimClause> db;
    ASSERT_EQ(p.run("retract(p(_, _)), fail ; true"), 1);
    build(rng, (int)(rng() % 30), db);
    std::string key = kIndexKeys[rng() % kIndexKeyCount];
    std::vector<std::string> expected;
    for (const SimClause &c : db)
      if (sim_unifies(c.key, key)) expected.push_back(std::to_string(c.id));
    pending_ops.clear();
    for (size_t i = 0; i < expected.size(); i++)
      for (int n = (int)(rng() % 4); n > 0; n--)
        pending_ops.push_back({(int)(rng() % 3), kIndexKeys[rng() % kIndexKeyCount], next_id++});
    std::vector<DbOp> ops = pending_ops;
    EXPECT_EQ(solutions("p(" + key + ", I), mutate, mutate, mutate"), expected) << key;
    /* The simulation runs the operations in the same order: three per solution. */
    for (const DbOp &op : ops) op.simulate(db);
    EXPECT_EQ(solutions("p(_, I)"), live_ids(db)) << key;
    definition *d = find_definition(qx_eg.user_module, MakeFunctor(p.atom("p"), 2), nullptr, 0);
    EXPECT_EQ(d->dead_count, 0u) << "nothing reaches the erased clauses any more";
  }
}

TEST_F(Database, CompiledClausesAreKeptOpaqueAndFreedWithTheirDefinition)
{
  definition *d = def("compiled", 1);
  definition *imp = insert_definition(find_module(init_atom_check("importer", 0), 1),
                                      init_atom_check("compiled", 0), 1, 1);
  import_predicate(d, d->module, imp->module);
  size_t before = qx_space_in_use(QX_SPACE_PROGRAM);
  update_exports(d, ENTER_COMPACTCODE);
  for (uint32_t size : {16u, 40u, 1000u}) {
    emul_info *clause = qx_alloc_emul_info(size);
    ASSERT_NE(clause, nullptr);
    EXPECT_EQ(clause->objsize, size);
    EXPECT_EQ(clause->elsecode, failcode);
    insert_compactcode(d, clause, 0x3FF, 0);
    EXPECT_EQ(clause->ix, 0x1FFu) << "index flags keep nine bits";
  }
  for (uint32_t size : {0u, 15u, QX_EMUL_INFO_MAX + 1, 0xFFFFFFFFu})
    EXPECT_EQ(qx_alloc_emul_info(size), nullptr) << size;
  EXPECT_EQ(qx_space_in_use(QX_SPACE_PROGRAM), before + 1056);
  int n = 0;
  for (emul_info *c = qx_first_compiled_clause(d); c; c = c->next) n++;
  EXPECT_EQ(n, 3) << "clauses stay in insertion order on one chain";
  EXPECT_EQ(qx_first_compiled_clause(imp), qx_first_compiled_clause(d));
  EXPECT_TRUE(d->properties.foreign_code);
  for (const char *module : {"user", "importer"}) { /* an import runs the exporter's code */
    EXPECT_EQ(p.run(std::string(module) + ":compiled(1)"), -1) << module;
    EXPECT_EQ(exception(),
              "error(system_error(compiled code is not supported: user:compiled/1),context(_,0))");
  }
  before = qx_space_in_use(QX_SPACE_PROGRAM) - 1056; /* running the goals made definitions */
  undefine_predicate(imp); /* an importer never frees the exporter's chain */
  EXPECT_EQ(qx_space_in_use(QX_SPACE_PROGRAM), before + 1056);
  undefine_predicate(d);
  EXPECT_EQ(qx_space_in_use(QX_SPACE_PROGRAM), before);
  EXPECT_EQ(d->predtyp, ENTER_UNDEFINED);
  update_exports(d, ENTER_COMPACTCODE_INDEXED);
  insert_compactcode(d, qx_alloc_emul_info(64), 0, 0);
  redefine_predicate(d, ENTER_INTERPRETED);
  EXPECT_EQ(qx_space_in_use(QX_SPACE_PROGRAM), before);
  EXPECT_FALSE(d->properties.foreign_code);
}

TEST_F(Database, ShutdownFreesCompiledClausesWhateverTheOrderOfTheModules)
{
  /* Each module exports a compiled predicate to the other, so one importer's module is freed
   * before its exporter whatever order the module table gives. */
  deinit_stream(); /* first, as at shutdown: closing a stream may run Prolog code */
  deinit_modules();
  size_t without_modules = qx_space_in_use(QX_SPACE_PROGRAM);
  init_modules();
  size_t before = qx_space_in_use(QX_SPACE_PROGRAM);
  mod_def *a = find_module(init_atom_check("mod_a", 0), 1);
  mod_def *b = find_module(init_atom_check("mod_b", 0), 1);
  for (auto [from, to, name] : {std::tuple{a, b, "from_a"}, std::tuple{b, a, "from_b"}}) {
    definition *d = insert_definition(from, init_atom_check(name, 0), 2, 1);
    update_exports(d, ENTER_COMPACTCODE);
    insert_compactcode(d, qx_alloc_emul_info(32), 0, 0);
    import_predicate(d, from, to);
  }
  ASSERT_GT(qx_space_in_use(QX_SPACE_PROGRAM), before);
  deinit_modules();
  EXPECT_EQ(qx_space_in_use(QX_SPACE_PROGRAM), without_modules);
  init_modules();
}

TEST_F(Database, AnImportedInterpretedPredicateRunsTheExportersClauses)
{
  mod_def *lib = find_module(init_atom_check("lib", 0), 1);
  definition *exported = insert_definition(lib, init_atom_check("colour", 0), 1, 1);
  redefine_predicate(exported, ENTER_INTERPRETED);
  for (const char *clause : {"colour(red)", "colour(green)"})
    insertz(exported, qx_make_clause(p.w, exported, goal(clause)));
  import_predicate(exported, lib, qx_eg.user_module);
  ASSERT_EQ(p.run("(colour(C), note(C), fail ; true)"), 1);
  EXPECT_EQ(log(), "red,green");
  insertz(exported, qx_make_clause(p.w, exported, goal("colour(blue)")));
  EXPECT_EQ(p.run("colour(blue)"), 1) << "a clause added to the exporter is seen at once";
  EXPECT_EQ(p.run("colour(black)"), 0);
}
