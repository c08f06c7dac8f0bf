/* Atom garbage collection: a million atoms of a failure-driven loop reclaimed with their indexes
 * reused, each kind of root keeping its atom, the hash chains and fresh atoms after a sweep,
 * external objects and process objects finalised once their link atom is gone, and the stress
 * mode's collection on table growth. */
#include <signal.h>

#include <cstring>
#include <functional>
#include <map>

#include "atoms.h"
#include "bi_process.h"
#include "emulcode.h"
#include "errors.h"
#include "hashtab.h"
#include "operators.h"
#include "qxio/qxio_process_internal.h"
#include "saverest.h"
#include "system_fixture.h"

namespace {

class AtomGcTest : public SystemTest {
protected:
  AtomGcTest() { qx_eg.current_agcmargin = 0; /* collections only where a test asks */ }

  uint32_t collect() { return qx_atom_gc(p.w); }
  static bool exists(const std::string &name) { return init_atom_check(name.c_str(), 1) != 0; }
  /* Forgets every heap term and trail entry made since the marks, and the argument registers,
   * so that an atom stays only where a test put it. */
  void forget_since(TAGGED *heap, TAGGED *trail)
  {
    p.w->global_top = heap;
    p.w->trail_top = trail;
    for (TAGGED &r : p.w->term) r = atom_nil;
  }
  static void bb_put(mod_def *m, TAGGED key, TAGGED value)
  {
    if (!m->bb) m->bb = (TAGGED)(uintptr_t)new_switch_on_key(8);
    sw_on_key *bb = (sw_on_key *)(uintptr_t)m->bb;
    dyn_puthash(&bb, key)->value = (TAGGED)(uintptr_t)qx_copy_to_instance(qx_w, value);
    m->bb = (TAGGED)(uintptr_t)bb;
  }
};

TEST_F(AtomGcTest, AMillionAtomsOfAFailureDrivenLoopAreReclaimedAndTheirIndexesReused)
{
  p.consult("btw(L, H, L) :- L =< H. "
            "btw(L, H, X) :- L < H, L1 is L + 1, btw(L1, H, X). "
            "digit(N, D, C) :- C is 48 + (N // D) mod 10. "
            "make(K, I) :- digit(I, 1, A), digit(I, 10, B), digit(I, 100, C), digit(K, 1, D), "
            "  digit(K, 10, E), digit(K, 100, F), atom_codes(_, [120, A, B, C, D, E, F]). "
            "outer(K, _) :- K =< 0, !. "
            "outer(K, N) :- \\+ (btw(1, N, I), make(K, I), fail), K1 is K - 1, outer(K1, N). ");
  /* the stress mode collects the heap at every overflow call: a tenth of the loop */
  int rounds = qx_gc_stress ? 100 : 1000;
  qx_eg.current_agcmargin = 10000;
  collect();
  uint32_t live = qx_eg.atom_live, count = qx_eg.atom_count;
  uint64_t runs = qx_agc_statistics()->collections;
  ASSERT_EQ(run("outer(" + std::to_string(rounds) + ", 1000)"), 1);
  EXPECT_GE(qx_agc_statistics()->collections - runs, (uint64_t)rounds * 1000 / 10010);
  EXPECT_LT(qx_eg.atom_count - count, 30000u) << "indexes were not reused";
  collect();
  EXPECT_LE(qx_eg.atom_live, live + 50);
  EXPECT_FALSE(exists("x999999"));
  TAGGED again = init_atom_check("x999999", 0);
  EXPECT_LT(AtomIndex(again), qx_eg.atom_count);
  EXPECT_STREQ(atom_name(again), "x999999");
}

/* One root each: the atom "keep_<root>" is put there, "drop_<root>" made the same way is not;
 * after a collection the first keeps its index and the second is gone. */
TEST_F(AtomGcTest, AnAtomHeldOnlyByOneRootSurvives)
{
  worker *w = p.w;
  TAGGED *heap = w->global_top, *trail = w->trail_top;
  QX_globref globref = QX_alloc_globrefs(1);
  std::string named = file("named.txt");
  QX_stream *stream = nullptr;
  TAGGED saved_var = qx_eg.global_vars[7];
  struct root {
    const char *name;
    std::function<void(TAGGED)> hold;
    std::string text = ""; /* the atom's name, else keep_<name> */
  };
  std::vector<root> roots = {
      {"clause", [&](TAGGED a) { p.add_clause(p.compound("held", {a}), qx_eg.user_module); }},
      {"global reference", [&](TAGGED a) { globref->term = a; }},
      {"term reference", [&](TAGGED a) { QX_put_atom(QX_new_term_ref(), a); }},
      {"reference count", [&](TAGGED a) { QX_register_atom(a); }},
      {"stream file name",
       [&](TAGGED a) {
         EXPECT_EQ(QX_fopen(named.c_str(), nullptr, QX_FO_WRITE | QX_FO_TEXT, &stream), 0);
         EXPECT_EQ(stream ? stream->filename_atom : 0, a);
       },
       named},
      {"blackboard key", [&](TAGGED a) { bb_put(qx_eg.user_module, a, MakeSmall(1)); }},
      {"blackboard value",
       [&](TAGGED a) { bb_put(qx_eg.user_module, MakeSmall(2), p.compound("v", {a})); }},
      {"stored exception", [&](TAGGED a) { qx_set_exception(w, p.compound("ball", {a})); }},
      {"module name", [&](TAGGED a) { find_module(a, 1); }},
      {"definition name", [&](TAGGED a) { insert_definition(qx_eg.user_module, a, 3, 1); }},
      {"flag", [&](TAGGED a) { qx_eg.global_vars[7] = a; }},
      {"state flag word", [&](TAGGED a) { qx_state_flags[13] = a; }},
      {"compiled clause operand",
       [&](TAGGED a) {
         emul_info *clause = qx_alloc_emul_info(sizeof(emul_info) + 10);
         std::memcpy((char *)clause->emulcode + 2, &a, sizeof a); /* 2-aligned, as operands */
         clause->filename = atom_nil;
         definition *d = insert_definition(qx_eg.user_module, at("compiled"), 0, 1);
         redefine_predicate(d, ENTER_COMPACTCODE);
         insert_compactcode(d, clause, 0, 0);
       }},
      {"argument register", [&](TAGGED) {}}, /* set below, once the registers are cleared */
  };
  std::vector<TAGGED> kept, dropped;
  for (const root &r : roots) {
    std::string name = r.name;
    kept.push_back(at((r.text.empty() ? "keep_" + name : r.text).c_str()));
    r.hold(kept.back());
    dropped.push_back(at(("drop_" + name).c_str()));
  }
  forget_since(heap, trail);
  w->term[QX_ARG_REGISTERS - 1] = kept.back();
  collect();
  for (size_t i = 0; i < roots.size(); i++) {
    SCOPED_TRACE(roots[i].name);
    const atom *a = atom_record(kept[i]);
    EXPECT_TRUE(a && init_atom_check(a->name, 1) == kept[i]) << "collected";
    EXPECT_EQ(atom_record(dropped[i]), nullptr) << "dropped atom still in the table";
  }
  /* released, each is collected in turn */
  QX_unregister_atom(kept[3]);
  qx_fclose_internal(stream, 0);
  qx_clear_exception();
  qx_eg.global_vars[7] = saved_var;
  qx_state_flags[13] = 0;
  QX_free_globrefs(globref);
  w->term[QX_ARG_REGISTERS - 1] = atom_nil;
  collect();
  for (size_t i : {1, 3, 4, 7, 10, 11, 13})
    EXPECT_EQ(atom_record(kept[i]), nullptr) << roots[i].name;
}

/* A clause's birth clock and reference stamp are counters, not terms: one whose word equals a
 * dropped atom's cell keeps nothing. */
TEST_F(AtomGcTest, ClauseCountersThatLookLikeAnAtomCellKeepNoAtom)
{
  uint64_t clock = qx_eg.clause_clock;
  const std::pair<const char *, std::function<void(TAGGED)>> counters[] = {
      {"birth", [](TAGGED a) { qx_eg.clause_clock = a - 1; }},
      {"stamp", [](TAGGED a) { qx_eg.dbref_stamp = a - 1; }},
  };
  for (const auto &[name, set] : counters) {
    SCOPED_TRACE(name);
    TAGGED a = at((std::string("drop_") + name).c_str());
    set(a);
    p.add_clause(p.compound("counted", {MakeSmall(1)}), qx_eg.user_module);
    qx_eg.clause_clock = std::max<uint64_t>(clock, a) + 1; /* the counters move on from a */
    qx_eg.dbref_stamp++;
    collect();
    EXPECT_EQ(atom_record(a), nullptr);
  }
}

/* After a sweep of many atoms, every survivor is found by name at its index, every freed name
 * is absent, and names made again get freed indexes with their own text and flags. */
TEST_F(AtomGcTest, SweptHashChainsStillFindSurvivorsAndFreshAtomsGetTheirOwnText)
{
  std::map<std::string, TAGGED> survivors;
  std::vector<std::string> freed;
  for (int i = 0; i < 20000; i++) {
    std::string name = (i % 2 ? "É" : "a b") + std::to_string(i);
    TAGGED a = at(name.c_str());
    if (i % 3 == 0) {
      QX_register_atom(a);
      survivors[name] = a;
    } else {
      freed.push_back(name);
    }
  }
  uint32_t count = qx_eg.atom_count;
  EXPECT_GE(collect(), freed.size());
  for (auto &[name, a] : survivors) EXPECT_EQ(init_atom_check(name.c_str(), 1), a) << name;
  for (const std::string &name : freed) EXPECT_FALSE(exists(name)) << name;
  for (const std::string &name : freed) {
    TAGGED a = at(name.c_str());
    atom *r = atom_record(a);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(std::string(r->name), name);
    EXPECT_EQ(r->length, name.size());
    EXPECT_EQ(r->is_ascii, name[0] == 'a');
    EXPECT_TRUE(r->needs_quoting) << name;
    EXPECT_EQ(init_atom_check(name.c_str(), 1), a);
  }
  EXPECT_EQ(qx_eg.atom_count, count) << "the table grew instead of reusing freed indexes";
  for (auto &[name, a] : survivors) EXPECT_EQ(init_atom_check(name.c_str(), 1), a) << name;
  /* operator names collected and made again are still operators */
  for (const char *op : {"rem", "=..", "-->", "mod", "@>="}) {
    collect();
    EXPECT_NE(find_op(at(op), 2), nullptr) << op;
  }
}

int finalised;
void count_finalised(void *, void *) { finalised++; }

/* An external object of a plain type (its finaliser counts) and a process object (its finaliser
 * releases the running child, which is then remembered): while a term names the link its atom is
 * kept; once the term is garbage only an atom collection lets the link be finalised, and that
 * happens once. */
TEST_F(AtomGcTest, ExternalObjectsAreFinalisedOnceAfterTheirAtomWasCollected)
{
  worker *w = p.w;
  finalised = 0;
  QX_external_object_type plain = QX_register_external_object_type(count_finalised, nullptr, 0);
  size_t remembered = qxio_process_unreaped_count();
  pid_t pid = 0;
  for (bool process : {false, true}) {
    SCOPED_TRACE(process ? "process" : "plain");
    QX_external_object_type type = process ? qx_process_object_type() : plain;
    TAGGED *heap = w->global_top, *trail = w->trail_top;
    QX_term_ref t = QX_new_term_ref();
    if (!process) {
      qx_gc_off still; /* as below */
      ASSERT_EQ(QX_put_external_object(t, QX_register_external_object(&finalised, type)), 1);
    } else {
      /* $process_create('/bin/sleep', ['30'], '', [], Options, In, Out, Err, Process, Result) */
      std::vector<TAGGED> a = {at("/bin/sleep"), p.list({at("30")}), at(""), atom_nil,
                               MakeSmall(0x2 | 0x20 | 0x200 | 0x1000)};
      for (int i = 0; i < 5; i++) a.push_back(fresh());
      qx_gc_off still; /* the heap stays where it is until the terms made here are forgotten */
      ASSERT_EQ(call("$process_create", a).rc, 1);
      ASSERT_EQ(deref(a[9]), MakeSmall(0));
      set(t, deref(a[8]));
      std::vector<TAGGED> id = {deref(a[8]), fresh(), fresh()};
      call("$process_id", id);
      pid = (pid_t)GetSmall(deref(id[1]));
    }
    auto released = [&] {
      return process ? qxio_process_unreaped_count() - remembered : finalised;
    };
    collect();
    EXPECT_EQ(QX_garbage_collect_external_objects(type), 0) << "its term still names the link";
    EXPECT_EQ(released(), 0u);
    QX_reset_term_refs(t);
    forget_since(heap, trail);
    EXPECT_EQ(QX_garbage_collect_external_objects(type), 0) << "the atom is collected only by agc";
    collect();
    EXPECT_EQ(QX_garbage_collect_external_objects(type), 1);
    EXPECT_EQ(released(), 1u);
    EXPECT_EQ(QX_garbage_collect_external_objects(type), 0);
    EXPECT_EQ(QX_garbage_collect_external_objects(nullptr), 0);
    EXPECT_EQ(released(), 1u) << "released a second time";
  }
  ASSERT_GT(pid, 0);
  kill(pid, SIGKILL);
  qxio_process_wait((qxio_t_process)(intptr_t)pid, nullptr, nullptr, 2);
}

/* garbage_collect_atoms/0 collects now; with the margin passed the interpreter collects at its
 * next goal; in the stress mode a table that grew is enough. */
TEST_F(AtomGcTest, CollectionRunsWhenAskedPastTheMarginAndOnGrowthInStressMode)
{
  bool stress = qx_gc_stress;
  qx_gc_stress = false;
  const uint64_t &runs = qx_agc_statistics()->collections;
  uint64_t before = runs;
  at("made_before_the_call");
  ASSERT_EQ(run("garbage_collect_atoms"), 1);
  EXPECT_EQ(runs, before + 1);
  EXPECT_FALSE(exists("made_before_the_call"));

  /* goals built of fixed atoms: reading a goal's text may make atoms */
  auto two_goals = [&] {
    return qx_call_once(p.w, p.compound(",", {atom_true, atom_true}), qx_eg.user_module);
  };
  /* a margin below what the last collection walked: the spacing it set holds */
  qx_eg.current_agcmargin = 3;
  collect();
  before = runs;
  uint32_t spacing = qx_agc_spacing();
  EXPECT_GT(spacing, 3u);
  for (uint32_t i = 0; i < spacing; i++) at(("m" + std::to_string(i)).c_str());
  ASSERT_EQ(two_goals(), 1);
  EXPECT_EQ(runs, before) << "collected before the spacing was passed";
  at("last");
  ASSERT_EQ(two_goals(), 1);
  EXPECT_EQ(runs, before + 1);
  EXPECT_FALSE(exists("m1"));

  qx_eg.current_agcmargin = 0;
  qx_gc_stress = true;
  at("m5"); /* a freed index: the table keeps its size */
  ASSERT_EQ(two_goals(), 1);
  EXPECT_EQ(runs, before + 1);
  uint32_t count = qx_eg.atom_count;
  for (int i = 0; (uint32_t)i <= count && qx_eg.atom_count == count; i++)
    at(("grow" + std::to_string(i)).c_str());
  ASSERT_EQ(two_goals(), 1);
  EXPECT_EQ(runs, before + 2);
  qx_gc_stress = stress;
}

/* Transient atoms made beside a large live heap: the collections are spaced by what they walk,
 * so the area words walked per atom made stay bounded (every 10,000 atoms, each collection
 * walked the whole heap). */
TEST_F(AtomGcTest, AtomsMadeBesideALargeLiveHeapWalkItABoundedNumberOfTimesPerAtom)
{
  if (qx_gc_stress) GTEST_SKIP() << "the stress mode collects atoms at every growth of the table";
  p.consult("mk(0, []) :- !. mk(N, [N|T]) :- N1 is N - 1, mk(N1, T). "
            "digit(N, D, C) :- C is 48 + (N // D) mod 10. "
            "atoms(0) :- !. "
            "atoms(N) :- digit(N, 1, A), digit(N, 10, B), digit(N, 100, C), digit(N, 1000, D), "
            "  digit(N, 10000, E), digit(N, 100000, F), atom_codes(_, [120, A, B, C, D, E, F]), "
            "  N1 is N - 1, atoms(N1). "
            "live(N, M) :- mk(M, L), atoms(N), L = [_|_].");
  qx_eg.current_agcmargin = 10000;
  for (int atoms : {30000, 300000}) {
    collect();
    const qx_agc_stats *stats = qx_agc_statistics();
    uint64_t walked = stats->area_words, runs = stats->collections;
    ASSERT_EQ(run("live(" + std::to_string(atoms) + ", 400000)"), 1) << p.exception();
    EXPECT_GE(stats->collections - runs, 1u) << atoms << " atoms: no collection";
    /* the first collection comes after the margin; each later one after as many atoms as it
     * walked words over 16 */
    EXPECT_LE(stats->area_words - walked, 2000000u + 16u * (uint64_t)atoms) << atoms;
  }
}

/* A native that keeps terms where no root reaches them turns the collectors off; a nested
 * query's atom collection then waits, so that its atoms outlive the query. */
bool native_atom_survived;
int holds_an_atom_across_a_query(worker *w)
{
  qx_gc_off off;
  TAGGED a = init_atom_check("held_by_a_native", 0);
  int rc = qx_call_once(w, init_atom_check("garbage_collect_atoms", 0), qx_eg.user_module);
  const char *name = atom_name(a);
  native_atom_survived = rc == 1 && name && std::strcmp(name, "held_by_a_native") == 0;
  return 1;
}

TEST_F(AtomGcTest, NativeWithTheCollectorsOffKeepsItsAtomsAcrossANestedQuery)
{
  qx_define_native(qx_eg.user_module, "holds", 0, holds_an_atom_across_a_query, nullptr, ENTER_C);
  native_atom_survived = false;
  ASSERT_EQ(run("holds"), 1);
  EXPECT_TRUE(native_atom_survived);
  ASSERT_EQ(run("garbage_collect_atoms"), 1);
  EXPECT_FALSE(exists("held_by_a_native"));
}

}  // namespace
