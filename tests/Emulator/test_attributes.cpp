#include <gtest/gtest.h>

#include "choicepoint_fixture.h"

class Attributes : public ChoicepointTest {
protected:
  mod_def clpfd{}, other{}, third{};

  /* The record of an attributed variable: marker, variable cell, goals, '$attrs'. */
  TAGGED *record_of(TAGGED v) { return RefPtr(deref(v)) - 1; }
  bool is_attributed(TAGGED v)
  {
    TAGGED d = deref(v);
    return IsVar(d) && RefPtr(d)[-1] == QX_ATTVAR_MARK;
  }
};

TEST_F(Attributes, PutMakesARecordAndGivesTheModuleASlot)
{
  TAGGED v = engine.var();
  TAGGED attr = engine.compound("dom", {MakeSmall(1), MakeSmall(5)});
  put_attributes(v, attr, &clpfd);
  EXPECT_EQ(clpfd.attr_no, 1u);
  EXPECT_EQ(qx_eg.attr_no, 1u);
  EXPECT_EQ(qx_eg.attr_modules[1], &clpfd);
  ASSERT_TRUE(is_attributed(v));
  TAGGED *r = record_of(v);
  EXPECT_EQ(r[0], QX_ATTVAR_MARK);
  EXPECT_EQ(r[1], MakeRef(r + 1));
  EXPECT_EQ(r[2], atom_nil);
  EXPECT_EQ(StrFunctor(r[3]), MakeFunctor(atom_attrs, 1));
  EXPECT_EQ(get_attributes(v, &clpfd), attr);
  EXPECT_EQ(get_attributes(v, &other), 0u); /* no slot */
}

TEST_F(Attributes, SecondModuleWidensTheAttributeTerm)
{
  TAGGED v = engine.var();
  put_attributes(v, atom_true, &clpfd);
  put_attributes(v, atom_fail, &other);
  EXPECT_EQ(other.attr_no, 2u);
  EXPECT_EQ(StrFunctor(record_of(v)[3]), MakeFunctor(atom_attrs, 2));
  EXPECT_EQ(get_attributes(v, &clpfd), atom_true);
  EXPECT_EQ(get_attributes(v, &other), atom_fail);
  /* A module with a slot but no attribute on this variable. */
  save_attribute_info(&third);
  EXPECT_EQ(get_attributes(v, &third), 0u);
  TAGGED plain = engine.var();
  EXPECT_EQ(get_attributes(plain, &clpfd), 0u);
}

TEST_F(Attributes, PutAndDeleteAreUndoneByBacktracking)
{
  TAGGED v = engine.var();
  TAGGED w_attr = engine.var(); /* an older variable that becomes attributed inside */
  put_attributes(v, atom_true, &clpfd);
  push_choicepoint();
  std::vector<TAGGED> heap = heap_image();
  put_attributes(v, atom_fail, &clpfd);
  put_attributes(v, MakeSmall(3), &other); /* widens: the record's '$attrs' cell changes */
  put_attributes(w_attr, atom_nil, &other);
  TAGGED *cell = delete_attributes(v, &clpfd, 0);
  EXPECT_EQ(cell, RefPtr(deref(v)));
  EXPECT_EQ(get_attributes(v, &clpfd), 0u);
  EXPECT_EQ(get_attributes(v, &other), MakeSmall(3));
  backtrack();
  EXPECT_EQ(get_attributes(v, &clpfd), atom_true);
  EXPECT_EQ(get_attributes(v, &other), 0u);
  EXPECT_FALSE(is_attributed(w_attr));
  EXPECT_EQ(heap_image(), heap);
}

TEST_F(Attributes, ChangesToNewRecordsAreNotTrailed)
{
  push_choicepoint();
  TAGGED v = engine.var();
  uint32_t top = trail_words();
  put_attributes(v, atom_true, &clpfd);
  put_attributes(v, atom_fail, &clpfd);
  delete_attributes(v, &clpfd, 0);
  EXPECT_EQ(trail_words(), top);
  backtrack();
}

TEST_F(Attributes, BindingAnAttributedVariableWakesItOnce)
{
  TAGGED v = engine.var();
  put_attributes(v, atom_true, &clpfd);
  TAGGED *cell = record_of(v) + 1;
  w->heap_warn_soft = w->heap_warn;
  ASSERT_TRUE(cunify(w, v, MakeSmall(7)));
  EXPECT_EQ(w->wake_len, 1u);
  EXPECT_EQ(w->wake_count, 1u);
  EXPECT_EQ(w->wake_list[0], cell);
  EXPECT_EQ(w->heap_warn_soft, nullptr);
  EXPECT_EQ(deref(v), MakeSmall(7));
}

TEST_F(Attributes, PlainVariableIsBoundToTheAttributedOneWithoutWaking)
{
  TAGGED plain_old = engine.var();
  TAGGED att = engine.var();
  put_attributes(att, atom_true, &clpfd);
  TAGGED plain_new = engine.var();
  w->heap_warn_soft = w->heap_warn;
  ASSERT_TRUE(cunify(w, plain_old, att));
  ASSERT_TRUE(cunify(w, att, plain_new));
  EXPECT_EQ(w->wake_len, 0u);
  EXPECT_EQ(w->wake_count, 0u);
  EXPECT_EQ(w->heap_warn_soft, w->heap_warn);
  EXPECT_TRUE(is_attributed(plain_old));
  EXPECT_TRUE(is_attributed(plain_new));
  EXPECT_EQ(deref(plain_old), deref(att));
}

TEST_F(Attributes, TwoAttributedVariablesWakeTheYounger)
{
  TAGGED older = engine.var();
  put_attributes(older, atom_true, &clpfd);
  TAGGED younger = engine.var();
  put_attributes(younger, atom_fail, &clpfd);
  TAGGED *younger_cell = RefPtr(deref(younger));
  TAGGED older_ref = deref(older);
  ASSERT_TRUE(cunify(w, older, younger));
  ASSERT_EQ(w->wake_len, 1u);
  EXPECT_EQ(w->wake_list[0], younger_cell);
  EXPECT_EQ(*younger_cell, older_ref);
  EXPECT_EQ(w->wake_count, 1u);
}

TEST_F(Attributes, BindUnderAChoicepointIsTrailedAndUndone)
{
  TAGGED v = engine.var();
  put_attributes(v, atom_true, &clpfd);
  push_choicepoint();
  qx_bind(w, RefPtr(deref(v)), atom_nil);
  EXPECT_EQ(w->wake_count, 1u);
  backtrack();
  EXPECT_TRUE(is_attributed(v));
  EXPECT_EQ(w->wake_len, 0u);
  EXPECT_EQ(w->wake_count, 0u);
}

TEST_F(Attributes, PureAndSingleAttributeSeeOtherModulesAndGoals)
{
  TAGGED v = engine.var();
  put_attributes(v, atom_true, &clpfd);
  EXPECT_EQ(pure_attributes(v, &clpfd), 1);
  EXPECT_EQ(single_attribute(v, &clpfd), 1);
  put_attributes(v, atom_true, &other);
  EXPECT_EQ(pure_attributes(v, &clpfd), 0);
  EXPECT_EQ(single_attribute(v, &clpfd), 0);
  delete_attributes(v, &other, 0);
  EXPECT_EQ(pure_attributes(v, &clpfd), 1);
  record_of(v)[2] = engine.list({engine.atom("goal")}); /* a suspended goal */
  EXPECT_EQ(pure_attributes(v, &clpfd), 0);
  EXPECT_EQ(single_attribute(v, &clpfd), 0);
  EXPECT_EQ(pure_attributes(engine.var(), &clpfd), 1);
}

/* The solver's queue-5 step: delete, store the value, trail, count; the other module's wake-up
 * is registered by the delete. */
TEST_F(Attributes, DeleteRegistersTheWakeUpForTheBindingThatFollows)
{
  TAGGED v = engine.var();
  put_attributes(v, atom_true, &clpfd);
  put_attributes(v, atom_fail, &other);
  push_choicepoint();
  TAGGED *cell = delete_attributes(v, &clpfd, 0);
  ASSERT_EQ(w->wake_len, 1u);
  EXPECT_EQ(w->wake_list[0], cell);
  *cell = MakeSmall(4);
  qx_trail_plain(w, cell);
  EXPECT_EQ(deref(v), MakeSmall(4));
  backtrack();
  EXPECT_EQ(get_attributes(v, &clpfd), atom_true);
  EXPECT_EQ(get_attributes(v, &other), atom_fail);
}

TEST_F(Attributes, WakeListTakeAndPutBack)
{
  TAGGED *cells[3];
  for (TAGGED *&c : cells) {
    TAGGED v = engine.var();
    put_attributes(v, atom_true, &clpfd);
    c = record_of(v) + 1;
    ASSERT_TRUE(cunify(w, v, atom_nil));
  }
  ASSERT_EQ(w->wake_len, 3u);
  TAGGED *taken[8];
  ASSERT_EQ(qx_wake_take(w, taken, 2), 2u); /* oldest first */
  EXPECT_EQ(taken[0], cells[0]);
  EXPECT_EQ(taken[1], cells[1]);
  ASSERT_EQ(w->wake_len, 1u);
  EXPECT_EQ(w->wake_list[0], cells[2]);
  qx_wake_put(w, taken + 1, 1);
  ASSERT_EQ(w->wake_len, 2u);
  EXPECT_EQ(w->wake_list[1], cells[1]);
  TAGGED *rest[8];
  EXPECT_EQ(qx_wake_take(w, rest, 8), 2u);
  EXPECT_EQ(w->wake_len, 0u);
}

TEST_F(Attributes, SoftLimitIsRestoredOnlyWhenNothingIsPending)
{
  TAGGED v = engine.var();
  put_attributes(v, atom_true, &clpfd);
  ASSERT_TRUE(cunify(w, v, atom_nil));
  ASSERT_EQ(w->heap_warn_soft, nullptr);
  qx_restore_soft_limit(w);
  EXPECT_EQ(w->heap_warn_soft, nullptr); /* a wake-up is pending */
  TAGGED *taken[1];
  qx_wake_take(w, taken, 1);
  w->event_flags = 1;
  qx_restore_soft_limit(w);
  EXPECT_EQ(w->heap_warn_soft, nullptr); /* an event is pending */
  w->event_flags = 0;
  qx_restore_soft_limit(w);
  EXPECT_EQ(w->heap_warn_soft, w->heap_warn);
  EXPECT_EQ(w->int_heap_warn, w->heap_warn);
}
