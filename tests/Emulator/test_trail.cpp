#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "choicepoint_fixture.h"
#include "engine_fixture.h"
#include "gc.h"
#include "memman.h"

using Trail = ChoicepointTest;

static TAGGED value_of(TAGGED mutable_term) { return StrArg(mutable_term, 1); }
static int32_t stamp_of(TAGGED mutable_term) { return GetSmall(StrArg(mutable_term, 2)); }
/* Update a mutable the way the solver does: save, then overwrite the value. */
static void update(worker *w, TAGGED m, TAGGED value)
{
  qx_trail_mutable(w, m);
  StrPtr(m)[1] = value;
}

TEST_F(Trail, BindTrailsOnlyCellsOlderThanTheChoicepoint)
{
  TAGGED old_var = engine.var();
  TAGGED old_local = local_var();
  push_choicepoint();
  TAGGED new_var = engine.var();
  TAGGED new_local = local_var();
  uint32_t before = trail_words();
  qx_bind(w, RefPtr(new_var), atom_true);
  qx_bind(w, RefPtr(new_local), atom_true);
  EXPECT_EQ(trail_words(), before);
  qx_bind(w, RefPtr(old_var), atom_fail);
  qx_bind(w, RefPtr(old_local), atom_fail);
  ASSERT_EQ(trail_words(), before + 2);
  EXPECT_EQ(w->trail_top[-2], old_var);
  EXPECT_EQ(w->trail_top[-1], old_local);
  backtrack();
  EXPECT_EQ(*RefPtr(old_var), old_var);
  EXPECT_EQ(*RefPtr(old_local), old_local);
}

TEST_F(Trail, CellValueEntryRestoresTheOldWord)
{
  TAGGED f = engine.compound("f", {atom_true});
  push_choicepoint();
  TAGGED *arg = StrPtr(f) + 1;
  qx_trail_cell_value(w, arg);
  *arg = MakeSmall(42);
  backtrack();
  EXPECT_EQ(*arg, atom_true);
}

TEST_F(Trail, UndoRunsEntriesNewestFirst)
{
  TAGGED f = engine.compound("f", {engine.var()});
  TAGGED *arg = StrPtr(f) + 1;
  TAGGED original = *arg;
  push_choicepoint();
  qx_trail_cell_value(w, arg);
  *arg = atom_true;
  qx_trail_cell_value(w, arg);
  *arg = atom_fail;
  backtrack();
  EXPECT_EQ(*arg, original); /* the oldest saved value is restored last */
}

/* The Stamp rule: an update under a choicepoint saves the value once; a choicepoint pushed right
 * after the save (no trail entry between) must still get its own save. */
TEST_F(Trail, MutableSavedOncePerChoicepointAndAgainUnderANewerOne)
{
  TAGGED m = mutable_term(atom_nil);
  push_choicepoint(); /* CP1 */
  uint32_t cp1_top = trail_words();
  update(w, m, MakeSmall(1));
  EXPECT_EQ(trail_words(), cp1_top + 3);
  EXPECT_EQ(stamp_of(m), (int32_t)cp1_top);
  update(w, m, MakeSmall(2));
  EXPECT_EQ(trail_words(), cp1_top + 3); /* already saved under CP1 */
  push_choicepoint();                    /* CP2, nothing trailed since the save */
  update(w, m, MakeSmall(3));
  EXPECT_EQ(trail_words(), cp1_top + 6);
  backtrack(); /* to CP2 */
  EXPECT_EQ(value_of(m), MakeSmall(2));
  EXPECT_EQ(stamp_of(m), (int32_t)cp1_top);
  backtrack(); /* to CP1 */
  EXPECT_EQ(value_of(m), atom_nil);
  EXPECT_EQ(stamp_of(m), 0);
}

TEST_F(Trail, MutableRetrySavesAgainAfterFailingToTheChoicepoint)
{
  TAGGED m = mutable_term(atom_nil);
  push_choicepoint();
  update(w, m, MakeSmall(1));
  push_choicepoint();
  update(w, m, MakeSmall(2));
  backtrack();
  push_choicepoint(); /* the retry of the same alternative */
  update(w, m, MakeSmall(3));
  backtrack();
  EXPECT_EQ(value_of(m), MakeSmall(1));
  backtrack();
  EXPECT_EQ(value_of(m), atom_nil);
}

TEST_F(Trail, MutableAfterACutRemovingTheNewerChoicepoint)
{
  TAGGED m = mutable_term(atom_nil);
  push_choicepoint(); /* CP1 */
  update(w, m, MakeSmall(1));
  push_choicepoint(); /* CP2 */
  update(w, m, MakeSmall(2));
  cut(); /* CP2 goes; CP1 is newest again */
  uint32_t top = trail_words();
  update(w, m, MakeSmall(3));
  EXPECT_EQ(trail_words(), top); /* CP1's value is already saved */
  backtrack();
  EXPECT_EQ(value_of(m), atom_nil);

  /* CP2 pushed right after CP1, the save made under CP2, then CP2 cut. */
  push_choicepoint();
  push_choicepoint();
  update(w, m, MakeSmall(4));
  cut();
  update(w, m, MakeSmall(5));
  backtrack();
  EXPECT_EQ(value_of(m), atom_nil);
}

TEST_F(Trail, MutableNewerThanTheChoicepointIsNotSaved)
{
  push_choicepoint();
  TAGGED m = mutable_term(atom_nil);
  uint32_t top = trail_words();
  update(w, m, MakeSmall(1));
  EXPECT_EQ(trail_words(), top);
  backtrack();
}

TEST_F(Trail, MutableWithoutAnyChoicepointIsNotSaved)
{
  TAGGED m = mutable_term(atom_nil);
  uint32_t top = trail_words();
  update(w, m, MakeSmall(1));
  EXPECT_EQ(trail_words(), top);
  EXPECT_EQ(value_of(m), MakeSmall(1));
}

/* ---- $free entries ---- */

static int destroyed;
static void count_destroy(void *block)
{
  destroyed++;
  QX_free(block);
}

class TrailFree : public ChoicepointTest {
protected:
  /* [V | '$free'(Block)] for a new block whose destructor counts. */
  TAGGED perm_pair()
  {
    void **block = (void **)QX_malloc(16);
    block[0] = (void *)&count_destroy;
    TAGGED *p = w->global_top;
    p[0] = functor_free1;
    p[1] = (TAGGED)(uintptr_t)block + QX_TAG_SMALL;
    w->global_top += 2;
    return engine.cons(engine.var(), MakeStr(p));
  }
  void SetUp() override { destroyed = 0; }
};

TEST_F(TrailFree, UndoDestroysTheBlockOnce)
{
  push_choicepoint();
  qx_trail_free(w, perm_pair());
  backtrack();
  EXPECT_EQ(destroyed, 1);
}

TEST_F(TrailFree, BlockAlreadyDestroyedIsSkipped)
{
  push_choicepoint();
  TAGGED pair = perm_pair();
  qx_trail_free(w, pair);
  /* Death in the same run: the owner destroys the block and binds V to 0, untrailed. */
  void **block = (void **)(uintptr_t)(StrArg(LstTail(pair), 1) - QX_TAG_SMALL);
  count_destroy(block);
  *RefPtr(LstHead(pair)) = MakeSmall(0);
  backtrack();
  EXPECT_EQ(destroyed, 1);
}

TEST_F(TrailFree, DeadUnderAnOlderChoicepointIsDestroyedWhenUndone)
{
  push_choicepoint();
  TAGGED pair = perm_pair();
  qx_trail_free(w, pair);
  push_choicepoint();
  /* Death under a newer choicepoint: V is bound to 1, trailed. */
  qx_bind(w, RefPtr(LstHead(pair)), MakeSmall(1));
  backtrack();
  EXPECT_EQ(destroyed, 0);
  backtrack();
  EXPECT_EQ(destroyed, 1);
}

TEST_F(TrailFree, ManyBlocksEachDestroyedOnce)
{
  push_choicepoint();
  for (int i = 0; i < 50; i++) {
    qx_trail_free(w, perm_pair());
    qx_bind(w, RefPtr(engine.var()), atom_true);
  }
  backtrack();
  EXPECT_EQ(destroyed, 50);
}

/* A cut collects the dead blocks above the surviving choicepoint's trail top whatever plain
 * entries were pushed after them, and only those: random pushes, bindings, deaths, backtracks and
 * cuts, the destroyed count after each step against the same steps with the collection's walk
 * made to start at the trail top. */
TEST_F(TrailFree, CutCollectsDeadBlocksUnderLaterPlainEntries)
{
  int collected_at_cuts = 0;
  for (unsigned seed = 1; seed <= 40; seed++) {
    std::vector<int> counts[2];
    for (int from_top = 0; from_top < 2; from_top++) {
      destroyed = 0;
      std::mt19937 rng(seed);
      std::vector<TAGGED> vars, pairs, mutables;
      for (int i = 0; i < 300; i++) vars.push_back(engine.var()); /* older than every choicepoint */
      for (int i = 0; i < 4; i++) mutables.push_back(mutable_term(atom_nil));
      push_choicepoint();
      for (size_t step = 0, next_var = 0; step < 300; step++) {
        switch (rng() % 8) {
        case 0:
        case 1:
          if (depth() < 8) push_choicepoint();
          break;
        case 2: /* three-word entries: a walk must start on an entry's end */
          update(w, mutables[rng() % mutables.size()], MakeSmall((int32_t)step));
          break;
        case 3:
          for (int k = 0; k < 3 && next_var < vars.size(); k++)
            qx_bind(w, RefPtr(vars[next_var++]), atom_true);
          break;
        case 4: pairs.push_back(perm_pair()), qx_trail_free(w, pairs.back()); break;
        case 5:
          if (!pairs.empty()) {
            TAGGED v = deref(LstHead(pairs[rng() % pairs.size()]));
            if (IsVar(v)) qx_bind(w, RefPtr(v), MakeSmall(1));
          }
          break;
        case 6:
          if (depth() > 1) backtrack();
          break;
        default:
          if (depth() > 1) {
            int keep = 1 + (int)(rng() % (unsigned)(depth() - 1));
            if (from_top) w->trail_special = trail_words();
            qx_mark_nodes(w);
            int before = destroyed;
            qx_cut_to(w, node_at(keep - 1));
            collected_at_cuts += destroyed - before;
            while (depth() > keep) cut();
          }
        }
        counts[from_top].push_back(destroyed);
      }
      while (depth() > 0) backtrack();
    }
    ASSERT_EQ(counts[0], counts[1]) << "seed " << seed;
  }
  EXPECT_GT(collected_at_cuts, 0) << "no cut met a dead block";
}

/* ---- cleanup entries ---- */

static std::vector<TAGGED> pending_goals;
static void take_cleanup(worker *, TAGGED goal) { pending_goals.push_back(goal); }

TEST_F(Trail, CleanupGoalGoesToTheHookUnlessDone)
{
  pending_goals.clear();
  w->cleanup_hook = take_cleanup;
  push_choicepoint();
  TAGGED pending = engine.compound("$cleanup", {engine.atom("first"), engine.var()});
  qx_trail_cleanup(w, pending);
  TAGGED done = engine.compound("$cleanup", {engine.atom("second"), atom_true});
  qx_trail_cleanup(w, done);
  backtrack();
  ASSERT_EQ(pending_goals.size(), 1u);
  EXPECT_EQ(pending_goals[0], engine.atom("first"));
}

TEST_F(Trail, CleanupWithoutAHookIsDropped)
{
  w->cleanup_hook = nullptr;
  push_choicepoint();
  qx_trail_cleanup(w, engine.compound("$cleanup", {engine.atom("g"), engine.var()}));
  TAGGED v = engine.var();
  push_choicepoint();
  backtrack();
  qx_bind(w, RefPtr(v), atom_true);
  backtrack();
  EXPECT_EQ(trail_words(), 1u);
}

/* ---- growth ---- */

TEST_F(Trail, PushesKeepTheMarginAndSurviveGrowth)
{
  TAGGED m = mutable_term(atom_nil);
  const int n = 200000;
  std::vector<TAGGED> vars;
  for (int i = 0; i < n; i++) vars.push_back(engine.var());
  push_choicepoint();
  update(w, m, MakeSmall(1));
  int32_t stamp = stamp_of(m);
  TAGGED *start_before = w->trail_start;
  for (int i = 0; i < n; i++) {
    qx_bind(w, RefPtr(vars[i]), MakeSmall(i));
    ASSERT_GE((char *)w->node_ - (char *)w->trail_top,
              (ptrdiff_t)(QX_TRAIL_MARGIN_CELLS * sizeof(TAGGED)));
  }
  EXPECT_NE(w->trail_start, start_before) << "the area was expected to grow";
  EXPECT_EQ(stamp_of(m), stamp); /* indexes, not addresses */
  EXPECT_EQ(trail_words(), (uint32_t)stamp + 3 + n);
  backtrack();
  for (int i = 0; i < n; i++) ASSERT_EQ(*RefPtr(vars[i]), vars[i]);
  EXPECT_EQ(value_of(m), atom_nil);
}

/* ---- tidying: programs that cut after binding, run with and without tidying collections ---- */

namespace {

/* h/2 binds its output in the head under its own choicepoint, then cuts: one dead entry a call. */
const char *const kCutLoop = "h(N, f(N, N)) :- N > 0, !. h(N, g(N)). "
                             "loopd(0) :- !. "
                             "loopd(N) :- h(N, R), keep(R), N1 is N - 1, loopd(N1). "
                             "keep(_).";

size_t choice_block_bytes(const worker *w)
{
  return (size_t)((char *)w->choice_start - (char *)w->trail_start);
}
size_t committed_heap_bytes(const worker *w)
{
  return (size_t)((char *)w->stack_start - (char *)w->heap_start);
}

/* The committed sizes of the trail block and the heap after loopd(n) in a fresh engine: each
 * area only grows, so they are its high-water marks. With gc_mode off only choice_overflow
 * tidies the trail. */
std::pair<size_t, size_t> loop_high_water(int n, bool collect = true)
{
  TestProlog p;
  if (!collect) qx_eg.current_gcmode = atom_off;
  p.consult(kCutLoop);
  EXPECT_EQ(p.run("loopd(" + std::to_string(n) + ")"), 1);
  return {choice_block_bytes(p.w), committed_heap_bytes(p.w)};
}

}  // namespace

TEST(TrailTidy, ALoopThatCutsAfterBindingItsOutputKeepsTrailAndHeapBounded)
{
  auto small = loop_high_water(40000), large = loop_high_water(400000);
  EXPECT_LE(large.first, small.first) << "the trail block grew with the loop's length";
  EXPECT_LE(large.second, small.second + small.second / 2) << "the heap grew with the length";
  EXPECT_EQ(loop_high_water(400000, false).first, small.first)
      << "the trail grew without the collector";
}

namespace {

/* A '$mutable' older than every choicepoint of a run, kept where collections relocate it. */
TAGGED the_mutable;
size_t tidied_words;

int t_mset(worker *w)
{
  qx_trail_mutable(w, the_mutable);
  StrPtr(the_mutable)[1] = deref(w->term[0]);
  return 1;
}
int t_mget(worker *w) { return cunify(w, w->term[0], StrArg(the_mutable, 1)); }
/* solutions: fails until the run has seen kMaxSolutions, then throws stop (some programs have
 * far too many). */
constexpr int kMaxSolutions = 300;
int solutions_seen;
int t_solutions(worker *)
{
  if (++solutions_seen < kMaxSolutions) return 0;
  return raise_exception(init_atom_check("stop", 0));
}
/* tidy_gc: tidies the trail itself (counting what went), then collects the heap. */
int t_tidy_gc(worker *w)
{
  tidied_words += qx_trail_tidy(w);
  qx_gc_collect(w, 0);
  return 1;
}

/* A random program over p0..p5 (pI calls only pJ with J > I). Heads and bodies share variables
 * only through plain variables, so no term is cyclic; bodies bind older variables under
 * choicepoints of disjunctions and clause alternatives, cut (qcut binds in its head and cuts),
 * set attributes, update the mutable and set up cleanup goals. GC stands where the collecting
 * run tidies and collects. */
std::string random_program(std::mt19937 &rng)
{
  auto pick = [&](int n) { return (int)(rng() % (unsigned)n); };
  auto var = [&] { return std::string(1, "XYZW"[pick(4)]); };
  auto value = [&] {
    const char *values[] = {"a", "b", "1", "f(_)", "g(_, c)"};
    return std::string(values[pick(5)]);
  };
  auto head_arg = [&](const char *name) { return pick(3) == 0 ? value() : std::string(name); };
  std::string text;
  for (int i = 0; i < 6; i++) {
    int nclauses = 1 + pick(3);
    for (int c = 0; c < nclauses; c++) {
      std::string body = "true";
      int ngoals = 1 + pick(6);
      for (int g = 0; g < ngoals; g++) {
        std::string callee = i < 5 ? "p" + std::to_string(i + 1 + pick(5 - i)) : "";
        std::string goal;
        std::string call = callee.empty() ? "true" : callee + "(" + var() + ", " + var() + ")";
        switch (pick(15)) {
        case 0: goal = var() + " = " + value(); break;
        case 1: goal = var() + " = " + var(); break;
        case 2: goal = "!"; break;
        case 3:
        case 4: goal = call; break;
        case 5: {
          std::string v = var();
          goal =
              "(var(" + v + ") -> put_attr(" + v + ", m, " + std::to_string(pick(9)) + ") ; true)";
          break;
        }
        case 6: goal = "mset(" + std::to_string(pick(9)) + ")"; break;
        case 7: goal = "call_cleanup(" + call + ", note(c" + std::to_string(pick(9)) + "))"; break;
        case 8:
        case 9: goal = "GC"; break;
        case 10:
        case 11: goal = "(" + var() + " = 1 ; " + var() + " = 2 ; " + var() + " = 3)"; break;
        case 12: goal = "(" + call + ", " + var() + " = " + value() + ", ! ; true)"; break;
        case 13: goal = "qcut(" + var() + ")"; break;
        default: goal = "\\+ " + var() + " = a"; break;
        }
        body += ", " + goal;
      }
      text += "p" + std::to_string(i) + "(" + head_arg("X") + ", " + head_arg("Y") + ") :- " +
              body + ".\n";
    }
  }
  return text;
}

std::string replace_all(std::string text, const std::string &from, const std::string &to)
{
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

/* Every solution of p0 with the mutable's value and the attributes of both arguments, the
 * cleanup notes among them, and the mutable's value once all were undone. */
std::string run_program(const std::string &program, bool collect)
{
  TestProlog p;
  engine_test::log_text.clear();
  qx_define_native(qx_eg.user_module, "note", 1, engine_test::t_note, nullptr, ENTER_C);
  qx_define_native(qx_eg.user_module, "mset", 1, t_mset, nullptr, ENTER_C);
  qx_define_native(qx_eg.user_module, "mget", 1, t_mget, nullptr, ENTER_C);
  qx_define_native(qx_eg.user_module, "tidy_gc", 0, t_tidy_gc, nullptr, ENTER_C);
  qx_define_native(qx_eg.user_module, "solutions", 0, t_solutions, nullptr, ENTER_C);
  solutions_seen = 0;
  p.add_clause(TermReader(p.w, "attr_unify_hook(_, _)").read(),
               find_module(init_atom_check("m", 0), 1));
  p.consult("attr_of(X, T) :- ( var(X), get_attr(X, m, T) -> true ; T = none ). "
            "qcut(f(_)) :- !. qcut(_). " +
            replace_all(program, "GC", collect ? "tidy_gc" : "true"));
  call_overflow(p.w, 8, 0);
  TAGGED *m = p.w->global_top;
  p.w->global_top += 3;
  m[0] = functor_mutable2, m[1] = MakeSmall(0), m[2] = MakeSmall(0);
  the_mutable = MakeStr(m);
  qx_gc_root keep(&the_mutable);
  int rc = p.run("catch(( p0(A, B), mget(V), attr_of(A, TA), attr_of(B, TB), "
                 "note(s(A, B, V, TA, TB)), solutions ; true ), stop, note(stopped)), "
                 "mget(V), note(end(V))");
  std::string ex = rc < 0 ? p.exception() : "";
  return std::to_string(rc) + ex + ": " + engine_test::log_text;
}

}  // namespace

TEST(TrailTidy, RandomProgramsWithCutsGiveTheSameSolutionsWhenCollectionsTidyTheTrail)
{
  tidied_words = 0;
  int with_solutions = 0;
  for (unsigned seed = 1; seed <= 200; seed++) {
    std::mt19937 rng(seed);
    std::string program = random_program(rng);
    std::string plain = run_program(program, false);
    std::string tidied = run_program(program, true);
    ASSERT_EQ(plain, tidied) << "seed " << seed << "\n" << program;
    with_solutions += plain.find("s(") != std::string::npos;
  }
  EXPECT_GT(with_solutions, 30);
  EXPECT_GT(tidied_words, 0u) << "no run left an entry to tidy";
}
