#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "choicepoint_fixture.h"
#include "gc.h"
#include "memman.h"
#include "termops.h"

class TermOps : public ChoicepointTest {
protected:
  TAGGED box_int2(uint32_t low, uint32_t high)
  {
    TAGGED *p = w->global_top;
    p[0] = BignumHeader(2);
    p[1] = low;
    p[2] = high;
    p[3] = BignumHeader(2);
    w->global_top += 4;
    return MakeStr(p);
  }
  TAGGED codes(std::initializer_list<int32_t> cs, TAGGED tail = atom_nil)
  {
    std::vector<TAGGED> items;
    for (int32_t c : cs) items.push_back(MakeSmall(c));
    for (size_t i = items.size(); i-- > 0;) tail = engine.cons(items[i], tail);
    return tail;
  }
};

/* The documented order, written out by hand; every pair must compare in this order. */
TEST_F(TermOps, StandardOrderOfAMixedList)
{
  TAGGED v1 = engine.var(), v2 = engine.var();
  TAGGED x = engine.atom("x");
  std::vector<TAGGED> sorted = {
      v1,
      v2,
      box_int(-300000000),
      box_float(-2.5),
      MakeSmall(-1),
      box_float(0.0),
      MakeSmall(0),
      box_float(1.0),
      MakeSmall(1),
      box_float(1.5),
      MakeSmall(2),
      box_int(300000000),
      box_float(1.0e10),
      box_int2(0, 256), /* 2^40 */
      engine.atom(""),
      engine.atom("A"),
      atom_nil,
      engine.atom("a"),
      engine.atom("a\xC0\x80"),
      engine.atom("a\x01"),
      engine.atom("aa"),
      engine.atom("b"),
      engine.atom("z"),
      engine.atom("\xC3\xA9"),
      engine.atom("\xEF\xBF\xBF"),
      engine.atom("\xF0\x90\x80\x80"),
      engine.compound("a", {engine.atom("z")}),
      engine.compound("b", {engine.atom("a")}),
      engine.compound("f", {engine.atom("a")}),
      engine.compound("f", {engine.atom("b")}),
      engine.compound("f", {engine.compound("f", {engine.atom("a")})}),
      engine.compound("-", {MakeSmall(1), MakeSmall(2)}),
      engine.list({v1}),
      engine.list({x}),
      engine.list({x, engine.atom("y")}),
      engine.compound("a", {x, engine.atom("y")}),
      engine.compound("f", {MakeSmall(1), MakeSmall(2), MakeSmall(3)}),
      engine.compound("f", {MakeSmall(1), MakeSmall(2), MakeSmall(4)}),
  };
  for (size_t i = 0; i < sorted.size(); i++)
    for (size_t j = 0; j < sorted.size(); j++) {
      int c = compare_terms(w, sorted[i], sorted[j]);
      int want = i < j ? -1 : i > j ? 1 : 0;
      ASSERT_EQ((c > 0) - (c < 0), want) << "positions " << i << " and " << j;
    }
  std::vector<TAGGED> shuffled = sorted;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
  std::sort(shuffled.begin(), shuffled.end(),
            [&](TAGGED a, TAGGED b) { return compare_terms(w, a, b) < 0; });
  EXPECT_EQ(shuffled, sorted);
}

TEST_F(TermOps, EqualTermsAtDifferentAddressesCompareEqual)
{
  TAGGED v = engine.var();
  auto make = [&] {
    return engine.compound(
        "f", {box_int(300000000), box_float(2.5), engine.list({MakeSmall(1), v}), box_int2(1, 2)});
  };
  TAGGED a = make(), b = make();
  EXPECT_NE(a, b);
  EXPECT_EQ(compare_terms(w, a, b), 0);
  /* A bound variable compares as its value. */
  TAGGED bound = engine.var();
  ASSERT_TRUE(cunify(w, bound, a));
  EXPECT_EQ(compare_terms(w, bound, b), 0);
}

TEST_F(TermOps, DeepTermsCompareWithoutRecursion)
{
  const int n = 300000;
  call_overflow(w, 12 * n + 64, 0); /* three lists and two nested terms */
  TAGGED l1 = atom_nil, l2 = atom_nil, l3;
  for (int i = 0; i < n; i++) {
    l1 = engine.cons(MakeSmall(i), l1);
    l2 = engine.cons(MakeSmall(i), l2);
  }
  l3 = engine.cons(MakeSmall(0), atom_true);
  for (int i = 1; i < n; i++) l3 = engine.cons(MakeSmall(i), l3);
  EXPECT_EQ(compare_terms(w, l1, l2), 0);
  EXPECT_LT(compare_terms(w, l1, l3), 0); /* [] before the atom true at the very end */
  TAGGED g = engine.atom("g");
  TAGGED n1 = MakeSmall(0), n2 = MakeSmall(1);
  for (int i = 0; i < n; i++) {
    TAGGED *p = w->global_top;
    p[0] = MakeFunctor(g, 2);
    p[1] = n1;
    p[2] = atom_nil;
    p[3] = MakeFunctor(g, 2);
    p[4] = n2;
    p[5] = atom_nil;
    w->global_top += 6;
    n1 = MakeStr(p);
    n2 = MakeStr(p + 3);
  }
  EXPECT_LT(compare_terms(w, n1, n2), 0); /* decided at the innermost first argument */
  EXPECT_GT(compare_terms(w, n2, n1), 0);
}

TEST_F(TermOps, ListLengthOfProperPartialAndOtherTerms)
{
  TAGGED tail = engine.var();
  EXPECT_EQ(list_length(atom_nil), 0);
  EXPECT_EQ(list_length(engine.list({atom_true, atom_true, atom_true})), 3);
  EXPECT_EQ(list_length(engine.list({atom_true}, tail)), QX_LIST_PARTIAL);
  EXPECT_EQ(list_length(tail), QX_LIST_PARTIAL);
  EXPECT_EQ(list_length(engine.atom("foo")), QX_LIST_NOT_LIST);
  EXPECT_EQ(list_length(engine.list({atom_true}, engine.atom("foo"))), QX_LIST_NOT_LIST);
  /* A bound tail variable is followed. */
  TAGGED t2 = engine.var();
  TAGGED l = engine.list({atom_true, atom_true}, t2);
  ASSERT_TRUE(cunify(w, t2, engine.list({atom_true})));
  EXPECT_EQ(list_length(l), 3);
  /* Cycles of length 1 and 3. */
  TAGGED *p = w->global_top;
  p[0] = atom_true;
  p[1] = MakeLst(p);
  w->global_top += 2;
  EXPECT_EQ(list_length(MakeLst(p)), QX_LIST_NOT_LIST);
  TAGGED t3 = engine.var();
  TAGGED ring = engine.list({MakeSmall(1), MakeSmall(2), MakeSmall(3)}, t3);
  *RefPtr(t3) = ring;
  EXPECT_EQ(list_length(ring), QX_LIST_NOT_LIST);
  EXPECT_EQ(list_length(engine.cons(atom_true, ring)), QX_LIST_NOT_LIST);
}

TEST_F(TermOps, ListToCodesArray)
{
  int32_t *array = nullptr;
  ASSERT_EQ(qx_list_to_codes(codes({104, 0, 0x10FFFF}), &array, 0), 3);
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(array[0], 104);
  EXPECT_EQ(array[1], 0);
  EXPECT_EQ(array[2], 0x10FFFF);
  QX_free(array);
  EXPECT_EQ(qx_list_to_codes(atom_nil, &array, 0), 0);
  EXPECT_EQ(array, nullptr);
  TAGGED chars = engine.list({engine.atom("h"), engine.atom("\xC3\xA9"), MakeSmall(33)});
  EXPECT_EQ(qx_list_to_codes(chars, &array, 0), QX_CODES_BAD_ELEMENT);
  ASSERT_EQ(qx_list_to_codes(chars, &array, QX_CODES_CHARS), 3);
  EXPECT_EQ(array[1], 0xE9);
  QX_free(array);
  EXPECT_EQ(qx_list_to_codes(engine.list({engine.atom("ab")}), &array, QX_CODES_CHARS),
            QX_CODES_BAD_ELEMENT);
  EXPECT_EQ(qx_list_to_codes(codes({-1}), &array, 0), QX_CODES_BAD_ELEMENT);
  TAGGED partial = codes({65, 66}, engine.var());
  EXPECT_EQ(qx_list_to_codes(partial, &array, 0), QX_CODES_NOT_LIST);
  ASSERT_EQ(qx_list_to_codes(partial, &array, QX_CODES_PARTIAL), 2);
  QX_free(array);
  EXPECT_EQ(qx_list_to_codes(engine.atom("foo"), &array, QX_CODES_PARTIAL), QX_CODES_NOT_LIST);
  EXPECT_EQ(array, nullptr);
}

TEST_F(TermOps, ListToNCodesStopsAtTheBufferSize)
{
  char buf[16];
  size_t count = 99;
  TAGGED list = codes({0x61, 0xE9, 0x10000, 0x62});
  TAGGED rest = qx_list_to_n_codes(list, 4, &count, buf);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(std::string(buf, count), "a\xC3\xA9");
  ASSERT_TRUE(IsLst(rest));
  EXPECT_EQ(LstHead(rest), MakeSmall(0x10000));
  rest = qx_list_to_n_codes(list, sizeof buf, &count, buf);
  EXPECT_EQ(rest, atom_nil);
  EXPECT_EQ(std::string(buf, count), "a\xC3\xA9\xF0\x90\x80\x80"
                                     "b");
  EXPECT_EQ(qx_list_to_n_codes(codes({0}), 2, &count, buf), atom_nil);
  EXPECT_EQ(std::string(buf, count), "\xC0\x80");
  EXPECT_EQ(qx_list_to_n_codes(codes({65, -3}), 8, &count, buf), 0u);
  TAGGED foo = engine.atom("foo");
  EXPECT_EQ(qx_list_to_n_codes(foo, 8, &count, buf), foo);
  EXPECT_EQ(count, 0u);
}

TEST_F(TermOps, ListToStringEncodesCodes)
{
  char *text = nullptr;
  ASSERT_EQ(qx_list_to_string(codes({104, 0, 0xE9}), 0, &text), 1);
  EXPECT_STREQ(text, "h\xC0\x80\xC3\xA9");
  ASSERT_EQ(qx_list_to_string(codes({0x10000}), 1, &text), 1);
  EXPECT_STREQ(text, "\xF0\x90\x80\x80");
  QX_free(text);
  ASSERT_EQ(qx_list_to_string(atom_nil, 0, &text), 1);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(qx_list_to_string(codes({65}, engine.var()), 0, &text), 0);
  EXPECT_EQ(qx_list_to_string(engine.list({engine.atom("a")}), 0, &text), 0);
}

TEST_F(TermOps, NCodesToListDecodesTheText)
{
  TAGGED tail = engine.var();
  TAGGED l = qx_n_codes_to_list(w, 4, "h\xC3\xA9\xFF", tail);
  int32_t *array;
  ASSERT_EQ(qx_list_to_codes(l, &array, QX_CODES_PARTIAL), 3);
  EXPECT_EQ(array[0], 104);
  EXPECT_EQ(array[1], 0xE9);
  EXPECT_EQ(array[2], 0xFF); /* a stray byte stands for itself */
  QX_free(array);
  /* A sequence cut by n is not read past n. */
  l = qx_n_codes_to_list(w, 2, "a\xC3\xA9", atom_nil);
  ASSERT_EQ(list_length(l), 2);
  EXPECT_EQ(LstHead(LstTail(l)), MakeSmall(0xC3));
  EXPECT_EQ(qx_n_codes_to_list(w, 0, "abc", tail), tail);
  /* The largest code does not fit a small integer. */
  l = qx_n_codes_to_list(w, 6, "\xFD\xBF\xBF\xBF\xBF\xBF", atom_nil);
  ASSERT_TRUE(IsBignum(LstHead(l)));
  EXPECT_EQ(StrArg(LstHead(l), 1), 0x7FFFFFFFu);
  EXPECT_EQ(list_length(qx_n_codes_to_list(w, 3, "a\xC0\x80", atom_nil)), 2);
}

TEST_F(TermOps, NIntsToListAsCodesAndAsCharacters)
{
  const int32_t cs[] = {0x61, 0xE9, 0x10000};
  TAGGED tail = engine.atom("end");
  TAGGED l = qx_n_ints_to_list(w, 3, cs, tail, 1, 0, 0);
  EXPECT_EQ(LstHead(l), MakeSmall(0x61));
  EXPECT_EQ(LstHead(LstTail(LstTail(l))), MakeSmall(0x10000));
  EXPECT_EQ(LstTail(LstTail(LstTail(l))), tail);
  l = qx_n_ints_to_list(w, 3, cs, atom_nil, 0, 0, 0);
  EXPECT_EQ(LstHead(l), engine.atom("a"));
  EXPECT_EQ(LstHead(LstTail(l)), engine.atom("\xC3\xA9"));
  EXPECT_EQ(LstHead(LstTail(LstTail(l))), engine.atom("\xF0\x90\x80\x80"));
  EXPECT_EQ(qx_n_ints_to_list(w, 0, cs, tail, 1, 0, 0), tail);
  const int32_t bad[] = {0x61, -5};
  TAGGED *top = w->global_top;
  EXPECT_EQ(qx_n_ints_to_list(w, 2, bad, atom_nil, 0, 0, 0), 0u);
  EXPECT_EQ(w->global_top, top);
}

/* With the heap nearly full the list is built only after room was made. */
TEST_F(TermOps, NIntsToListMakesRoomFirstAndKeepsLiveRegisters)
{
  std::vector<int32_t> cs(20000);
  for (size_t i = 0; i < cs.size(); i++) cs[i] = (int32_t)i;
  qx_eg.current_gcmode =
      atom_off; /* the growth path: what is made here is garbage to a collection */
  TAGGED kept = engine.compound("keep", {atom_true});
  w->term[0] = kept;
  w->global_top = w->stack_start - 8;
  TAGGED tail = engine.list({atom_true}); /* right at the edge */
  TAGGED l = qx_n_ints_to_list(w, cs.size(), cs.data(), tail, 1, 0, 1);
  EXPECT_EQ(w->term[0], kept);
  EXPECT_EQ(list_length(l), (long)cs.size() + 1);
  EXPECT_LE(w->global_top, w->stack_start);
  TAGGED last = l;
  for (size_t i = 0; i < cs.size(); i++) {
    ASSERT_EQ(LstHead(last), MakeSmall((int32_t)i));
    last = LstTail(last);
  }
  EXPECT_EQ(last, tail);
}
