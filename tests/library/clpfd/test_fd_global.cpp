/* The global-constraint protocol: persistent blocks and their destructor, state Stamps, and the
 * kernel services propagators call. */
#include "fd_prop_env.h"
#include "fd_sets.h"
#include "wam_internal.h"

namespace {

fd_test_global *watched;

/* Unifies the goal's argument with n. */
int answer(QX_term_ref goal, int n)
{
  return cunify(qx_w, StrArg(deref(qx_w->fli_info.fli_stack_start[2 * goal]), 1), MakeSmall(n));
}

}  // namespace

class FdGlobalTest : public FdPropTest {
protected:
  FdGlobalTest()
  {
    /* entail: the watched global ends with outcome 1 from its next run on; destroyed(N);
     * free_entries(N): $free entries on the trail. */
    QX_define_c_predicate(
        "entail", 0, "user", [](QX_term_ref, void *) { return watched->outcome = 1; }, nullptr);
    QX_define_c_predicate(
        "destroyed", 1, "user",
        [](QX_term_ref goal, void *) { return answer(goal, watched->destroyed); }, nullptr);
    QX_define_c_predicate(
        "free_entries", 1, "user",
        [](QX_term_ref goal, void *) {
          int n = 0;
          for (TAGGED *t = qx_w->trail_top; t > qx_w->trail_start + 1;) {
            qx_trail_kind kind;
            t = qx_trail_step(t, &kind);
            n += kind == QX_TRAIL_FREE;
          }
          return answer(goal, n);
        },
        nullptr);
  }
};

/* A block's destructor runs exactly once: backtracking over its creation; failure at its first
 * run; entailment in the creating segment (its trail entry dropped when it is the newest, skipped
 * later otherwise); entailment under a later choicepoint, then backtracking, or then a cut. */
TEST_F(FdGlobalTest, PersistentBlocksAreDestroyedOnce)
{
  const std::string with = "'$fd_post_global'(t(X), S, 0, t(X), [dom(X)], _), "
                           "'$fd_evaluate_indexical'(_, 0)";
  struct row {
    std::string goal;
    int inside;
    int first; /* the outcome of the first run */
  };
  const row rows[] = {
      /* backtracking over creation */
      {"S = s(_, 0), " + with + ", destroyed(N)", 0, 0},
      /* failed at its first run */
      {"S = s(_, 0), \\+ (" + with + "), destroyed(N)", 1, -1},
      /* entailed at its first run, nothing newer on the trail: destroyed, entry dropped */
      {"X = 1, copy_term(s(_, 0), S), " + with + ", free_entries(0), destroyed(N)", 1, 1},
      /* entailed at its first run with newer entries above the block's */
      {"S = s(_, 0), " + with + ", free_entries(1), destroyed(N)", 1, 1},
      /* entailed under a later choicepoint: alive again after backtracking to it */
      {"S = s(_, 0), " + with +
           ", ( entail, '$fd_in_interval'(X, 0, 9, 1), "
           "'$fd_evaluate_indexical'(_, 0), destroyed(0), fail ; destroyed(N) )",
       0, 0},
      /* the same, then a cut */
      {"S = s(_, 0), " + with +
           ", ( ( entail, '$fd_in_interval'(X, 0, 9, 1), "
           "'$fd_evaluate_indexical'(_, 0) ; true ) -> true ; true ), destroyed(N)",
       1, 0},
  };
  for (const row &r : rows) {
    fd_test_global &g = add_test_global("t", 1);
    watched = &g;
    g.outcome = r.first;
    ASSERT_EQ(go("( " + r.goal + ", assertz(seen(N)), fail ; true ), retract(seen(M))"), 1)
        << r.goal << exception();
    EXPECT_EQ(var("M"), std::to_string(r.inside)) << r.goal;
    EXPECT_EQ(g.blocks, 1) << r.goal;
    EXPECT_EQ(g.destroyed, 1) << r.goal;
  }
}

/* Two runs with no choicepoint between increment the state's Stamp in place; with one between,
 * the second run works on a copy, and backtracking brings back the old state and Stamp. */
TEST_F(FdGlobalTest, StampsInPlaceOrOnACopy)
{
  fd_test_global &g = add_test_global("t", 1);
  const std::string post = "copy_term(s(_, 0), S), "
                           "'$fd_post_global'(t(X), S, 0, t(X), [dom(X)], G), "
                           "'$fd_evaluate_indexical'(_, 0), G = global(M, _, _, _, _), ";
  const std::string wake = "'$fd_in_interval'(X, 0, 9, 1), '$fd_evaluate_indexical'(_, 0)";
  ASSERT_EQ(go(post + wake + ", '$mutable'(S2, _) = M, S2 == S, arg(2, S, N)"), 1) << exception();
  EXPECT_EQ(var("N"), "2");
  EXPECT_EQ(g.stamps, (std::vector<int>{0, 1}));
  ASSERT_EQ(go(post + "( " + wake +
               ", '$mutable'(S2, _) = M, S2 \\== S, arg(2, S, 1), "
               "arg(2, S2, 2), fail ; '$mutable'(S3, _) = M, S3 == S, arg(2, S, N) )"),
            1)
      << exception();
  EXPECT_EQ(var("N"), "1");
  EXPECT_EQ(g.stamps, (std::vector<int>{0, 1, 0, 1}));
}

/* A daemon's copy of the state follows the same rule, through the StateMutable. */
TEST_F(FdGlobalTest, DaemonCopiesTheStateWhenItIsOld)
{
  call_overflow(w, 64, 0);
  TAGGED *c = w->global_top;
  w->global_top += 12;
  c[0] = MakeFunctor(atom_global, 5);
  c[1] = MakeStr(c + 6);
  c[2] = c[3] = c[5] = atom_nil;
  c[4] = MakeRef(c + 4);
  c[6] = functor_mutable2;
  c[7] = MakeStr(c + 9);
  c[8] = MakeSmall(0);
  c[9] = MakeFunctor(init_atom_check("s", 0), 2);
  c[10] = MakeRef(c + 10);
  c[11] = MakeSmall(5);
  TAGGED kept[2] = {MakeStr(c), MakeStr(c + 9)}; /* the global and its first state */
  qx_gc_root roots(kept, 2);
  TAGGED state = fd_daemon_copy_state(api, w, &kept[0]);
  EXPECT_EQ(state, kept[1]); /* young: in place */
  EXPECT_EQ(StrArg(kept[1], 2), MakeSmall(6));
  node *b = qx_push_node(w, qx_alt(QX_ALT_BARRIER, 0));
  state = fd_daemon_copy_state(api, w, &kept[0]);
  EXPECT_NE(state, kept[1]);
  EXPECT_EQ(StrArg(state, 2), MakeSmall(7));
  EXPECT_EQ(fd_mutable_value(StrArg(kept[0], 1)), state);
  EXPECT_EQ(StrArg(kept[1], 2), MakeSmall(6));
  qx_restore_node(w, b);
  qx_pop_node(w);
  EXPECT_EQ(fd_mutable_value(StrArg(kept[0], 1)), kept[1]);
}

/* Scratch blocks: fresh ones without a held block; a held block is reused when big enough and
 * grown otherwise, and never freed by fd_perm_free2. */
TEST_F(FdGlobalTest, PermAlloc2KeepsOrGrowsTheHeldBlock)
{
  size_mem none{0, nullptr};
  void *a = fd_perm_alloc2(api, 40, &none), *b = fd_perm_alloc2(api, 40, &none);
  EXPECT_NE(a, b);
  EXPECT_EQ(none.size, 0u);
  fd_perm_free2(api, a, &none);
  fd_perm_free2(api, b, &none);
  size_mem held{100, QX_malloc(100)};
  void *first = held.mem;
  EXPECT_EQ(fd_perm_alloc2(api, 60, &held), first);
  EXPECT_EQ(held.size, 100u);
  void *grown = fd_perm_alloc2(api, 200, &held);
  EXPECT_EQ(grown, held.mem);
  EXPECT_EQ(held.size, 200u);
  std::memset(grown, 1, 200);
  fd_perm_free2(api, grown, &held);
  EXPECT_EQ(fd_perm_alloc2(api, 10, &held), grown);
  QX_free(held.mem);
}

/* List lengths of proper and partial lists; the variable and attribute of a suspension entry. */
TEST_F(FdGlobalTest, ListLengthAndSuspensionArguments)
{
  TAGGED t = p.TestEngine::var();
  EXPECT_EQ(fd_list_length(p.list({atom_true, atom_fail}, t)), 2);
  EXPECT_EQ(fd_list_length(p.list({atom_true}, atom_true)), 1);
  EXPECT_EQ(fd_list_length(atom_nil), 0);
  EXPECT_EQ(fd_list_length(atom_true), 0);
  EXPECT_EQ(fd_list_length(t), 0);
  TAGGED e = p.compound("e", {t, atom_fail, atom_true});
  fd_get_var_and_attr(e, w);
  EXPECT_EQ(w->term[2], t);
  EXPECT_EQ(w->term[0], atom_fail);
}

/* $fd_coref inside a query: shared first arguments succeed with the bindings kept until the
 * query is closed; none shared fails and binds nothing. */
TEST_F(FdGlobalTest, CorefInsideAClosedQuery)
{
  QX_pred_ref coref = QX_predicate("$fd_coref", 1, "clpfd");
  for (bool shared : {true, false}) {
    TAGGED xy[2] = {p.TestEngine::var(), p.TestEngine::var()};
    qx_gc_root keep(xy, 2); /* the query may collect */
    TAGGED &x = xy[0], &y = xy[1];
    QX_term_ref list = QX_new_term_ref();
    fd_ref_put(api, list,
               p.list({p.compound("f", {x}), p.compound("g", {y, atom_true}),
                       p.compound("h", {shared ? x : p.TestEngine::var()}), atom_fail}));
    QX_query_ref q = QX_open_query(coref, list);
    ASSERT_NE(q, 0);
    EXPECT_EQ(QX_next_solution(q), shared ? 1 : 0);
    if (shared) {
      EXPECT_EQ(deref(x), atom_nil);
      EXPECT_EQ(deref(y), atom_nil);
    }
    EXPECT_EQ(QX_close_query(q), 1);
    EXPECT_TRUE(IsVar(deref(x)) && IsVar(deref(y))) << shared;
  }
}

/* A set with a tail on the heap shares it and copies the rest, also when room is made first
 * (the tail then follows the collection); an all-heap set is itself. */
TEST_F(FdGlobalTest, GlobalizeUnsafeSharesAHeapTail)
{
  call_overflow(w, 64, 0);
  TAGGED kept = p.list({p.cons(MakeSmall(5), MakeSmall(6))});
  qx_gc_root root(&kept);
  for (uint32_t extra : {0u, (uint32_t)(w->stack_start - w->global_top)}) {
    TAGGED *temp = (TAGGED *)fd_temp_alloc(api, w, 4 * sizeof(TAGGED));
    temp[0] = MakeLst(temp + 2);
    temp[1] = kept;
    temp[2] = MakeSmall(1);
    temp[3] = MakeSmall(2);
    TAGGED copy = fd_globalize_unsafe(api, w, MakeLst(temp), extra, 0);
    EXPECT_EQ(LstTail(copy), kept);
    EXPECT_EQ(TestProlog::show(copy), "[[1|2],[5|6]]");
    EXPECT_TRUE(LstPtr(copy) >= w->heap_start && LstPtr(copy) < w->global_top);
  }
  EXPECT_EQ(fd_globalize_unsafe(api, w, kept, 0, 0), kept);
  EXPECT_EQ(fd_globalize_unsafe(api, w, atom_nil, 0, 0), atom_nil);
}
