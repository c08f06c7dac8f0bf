/* Persistent blocks recorded on the trail as [V | '$free'(Block)]: the destructor runs exactly once
 * whichever way the block goes. The blocks and their free protocol are the solver's (engine_fixture.h
 * writes them out as the solver does); the destructor counts its runs per block. */
#include "engine_fixture.h"

namespace {

class FreeEntries : public EngineTest {};

}  // namespace

TEST_F(FreeEntries, BacktrackingOverTheCreationDestroysTheBlock)
{
  ASSERT_EQ(p.run("(perm_alloc(1, _), destroyed(1, 0), fail ; destroyed(1, 1))"), 1);
  /* with choicepoints made after the creation */
  ASSERT_EQ(p.run("(perm_alloc(2, _), between(1, 3, _), fail ; destroyed(2, 1))"), 1);
  EXPECT_EQ(destroyed(1), 1);
  EXPECT_EQ(destroyed(2), 1);
}

TEST_F(FreeEntries, FreeingABlockMadeSinceTheNewestChoicepointDestroysItNow)
{
  ASSERT_EQ(p.run("(perm_alloc(1, H), perm_free(H), destroyed(1, 1), fail ; destroyed(1, 1))"), 1);
  /* the same with the entry no longer on top of the trail */
  ASSERT_EQ(
      p.run("(perm_alloc(2, H), X = a, perm_free(H), destroyed(2, 1), X = b ; destroyed(2, 1))"),
      1);
  EXPECT_EQ(destroyed(1), 1);
  EXPECT_EQ(destroyed(2), 1);
}

TEST_F(FreeEntries, ADeadBlockGoesWhenACutRemovesItsChoicepoints)
{
  p.consult("k(Id) :- perm_alloc(Id, H), between(1, 3, _), perm_free(H), destroyed(Id, 0), !, "
            "destroyed(Id, 1).");
  ASSERT_EQ(p.run("k(1)"), 1);
  EXPECT_EQ(destroyed(1), 1);
  /* Backtracking over the creation afterwards, with the binding of V undone first, must not
   * destroy it again. */
  ASSERT_EQ(p.run("(k(2), fail ; destroyed(2, 1))"), 1);
  EXPECT_EQ(destroyed(2), 1);
}

TEST_F(FreeEntries, ADeadBlockGoesWhenBacktrackingUndoesItsCreation)
{
  ASSERT_EQ(
      p.run("(perm_alloc(1, H), between(1, 2, X), X = 1, perm_free(H), destroyed(1, 0), fail ; "
            "destroyed(1, 1))"),
      1);
  EXPECT_EQ(destroyed(1), 1);
}

TEST_F(FreeEntries, ACutAboveTheCreationLeavesADeadBlockToTheOlderChoicepoint)
{
  /* The block was made under the disjunction's choicepoint: the inner cut removes only newer
   * choicepoints, so the block stays until the disjunction is backtracked over. */
  p.consult("inner(H) :- between(1, 3, _), perm_free(H), !.");
  ASSERT_EQ(p.run("(perm_alloc(1, H), between(1, 2, _), inner(H), destroyed(1, 0), fail ; "
                  "destroyed(1, 1))"),
            1);
  EXPECT_EQ(destroyed(1), 1);
}

TEST_F(FreeEntries, LiveBlocksSurviveACutAndGoWithTheQuery)
{
  /* A live block made in a query that is cut stays alive: only backtracking over it ends it. */
  ASSERT_EQ(p.run("(perm_alloc(1, _), between(1, 3, _), !, destroyed(1, 0), fail ; true)"), 0);
  EXPECT_EQ(destroyed(1), 1);
}
