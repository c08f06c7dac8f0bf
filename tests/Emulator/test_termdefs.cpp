#include <gtest/gtest.h>

#include "atoms.h"
#include "termdefs.h"

TEST(TermDefs, SmallIntegersUseTheTopTwentyNineBits)
{
  EXPECT_EQ(MakeSmall(0), 3u);
  EXPECT_EQ(MakeSmall(1), 11u);
  EXPECT_EQ(MakeSmall(-1), 0xFFFFFFFBu);
  EXPECT_EQ(GetSmall(MakeSmall(QX_SMALL_MIN)), QX_SMALL_MIN);
  EXPECT_EQ(GetSmall(MakeSmall(QX_SMALL_MAX)), QX_SMALL_MAX);
  EXPECT_TRUE(SmallFits(268435455));
  EXPECT_FALSE(SmallFits(268435456));
  EXPECT_FALSE(SmallFits(-268435457));
  /* The word just above the largest small integer marks an exhausted domain iterator. */
  EXPECT_EQ(MakeSmall(QX_SMALL_MAX) + 1, 0x7FFFFFFCu);
}

TEST(TermDefs, BoxHeadersGiveTheirSizes)
{
  EXPECT_TRUE(IsFloatHeader(QX_FLOAT_HEADER));
  EXPECT_FALSE(IsBignumHeader(QX_FLOAT_HEADER));
  EXPECT_EQ(BoxWords(QX_FLOAT_HEADER), 4);
  EXPECT_EQ(BoxWords(QX_BIGNUM1_HEADER), 3);
  for (int n = 1; n < 200; n++) {
    TAGGED h = BignumHeader(n);
    EXPECT_EQ((int32_t)h, -(n - 1) * 16 - 25);
    EXPECT_TRUE(IsBignumHeader(h));
    EXPECT_EQ(BignumLimbs(h), n);
  }
  /* Negative small integers are plain words, never headers. */
  EXPECT_FALSE(IsBoxHeader(MakeSmall(-5)));
  /* The attributed-variable marker shares the header bit pattern: heap walkers test it first. */
  EXPECT_EQ(QX_ATTVAR_MARK, 0xFFFFFFFFu);
}

TEST(TermDefs, FunctorWordsCarryTheArity)
{
  TAGGED f = MakeFunctor(MakeAtom(1000), 255);
  EXPECT_EQ(Arity(f), 255u);
  EXPECT_EQ(FunctorName(f), MakeAtom(1000));
  EXPECT_TRUE(IsFunctorCell(f));
  EXPECT_FALSE(IsAtom(f));
  EXPECT_TRUE(IsAtom(MakeAtom(QX_MAX_ATOMS)));
  EXPECT_EQ(AtomIndex(MakeAtom(QX_MAX_ATOMS)), QX_MAX_ATOMS);
}

TEST(TermDefs, PointerTagsRoundTrip)
{
  alignas(8) TAGGED cells[4] = {0, 0, 0, 0};
  cells[0] = MakeRef(&cells[0]);
  EXPECT_TRUE(IsUnbound(&cells[0]));
  EXPECT_EQ(deref(MakeRef(&cells[0])), MakeRef(&cells[0]));
  cells[1] = MakeRef(&cells[0]);
  cells[2] = MakeRef(&cells[1]);
  EXPECT_EQ(deref(MakeRef(&cells[2])), MakeRef(&cells[0]));
  cells[0] = MakeSmall(42);
  EXPECT_EQ(deref(MakeRef(&cells[2])), MakeSmall(42));
  EXPECT_EQ(StrPtr(MakeStr(&cells[1])), &cells[1]);
  EXPECT_EQ(LstPtr(MakeLst(&cells[2])), &cells[2]);
}

TEST(TermDefs, FixedAtomsComeInTheirOrder)
{
  EXPECT_EQ(atom_nil, 7u);
  EXPECT_EQ(AtomIndex(atom_dot), 1u);
  /* "," is a named fixed atom: the one-character atom of ',' is that one. */
  EXPECT_EQ(qx_char_atom_fixed(','), atom_comma);
  EXPECT_EQ(qx_char_atom_fixed('.'), atom_dot);
  /* The other one-character atoms follow the named ones in code order, without gaps. */
  EXPECT_EQ(AtomIndex(qx_char_atom_fixed(0)), (uint32_t)QX_FIXED_NAMED_COUNT);
  uint32_t prev = AtomIndex(qx_char_atom_fixed(0));
  for (uint32_t c = 1; c < 256; c++) {
    uint32_t idx = AtomIndex(qx_char_atom_fixed(c));
    if (idx >= QX_FIXED_NAMED_COUNT) {
      EXPECT_EQ(idx, prev + 1) << c;
      prev = idx;
    }
  }
  EXPECT_EQ(prev, QX_FIXED_NAMED_COUNT + 255u - 5u); /* '.', ',', ';', ':', 'v' are named */
  EXPECT_EQ(qx_char_atom_fixed('v'), atom_v);
}
