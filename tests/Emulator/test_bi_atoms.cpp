#include <set>

#include "bi_test_support.h"

namespace {

class BiAtoms : public BuiltinTest {};

}  // namespace

TEST_F(BiAtoms, AtomCodesBothWays)
{
  ASSERT_EQ(p.run("atom_codes(abc, L)"), 1);
  EXPECT_EQ(p.var("L"), "[97,98,99]");
  ASSERT_EQ(p.run("atom_codes('', L)"), 1);
  EXPECT_EQ(p.var("L"), "[]");
  ASSERT_EQ(p.run("atom_codes(A, \"hello\")"), 1);
  EXPECT_EQ(p.var("A"), "hello");
  ASSERT_EQ(p.run("atom_codes(A, [])"), 1);
  EXPECT_EQ(p.var("A"), "");
  EXPECT_EQ(p.run("atom_codes(abc, [0'a|T]), T == [98, 99]"), 1);
  EXPECT_EQ(p.run("atom_codes(abc, [0'b|_])"), 0);
  EXPECT_EQ(p.run("atom_codes(abc, \"abc\")"), 1);
}

TEST_F(BiAtoms, CodesBeyondAsciiAndCodeZeroRoundTrip)
{
  ASSERT_EQ(p.run("atom_codes(A, [955, 0, 97, 128512]), atom_length(A, N), atom_codes(A, L)"), 1);
  EXPECT_EQ(p.var("N"), "4");
  EXPECT_EQ(p.var("L"), "[955,0,97,128512]");
  ASSERT_EQ(p.run("atom_codes(A, [955]), atom_codes(B, [955]), A == B"), 1) << "the same atom";
}

TEST_F(BiAtoms, AtomCodesErrors)
{
  EXPECT_EQ(thrown("atom_codes(A, L)"), iso("instantiation_error", "atom_codes", 2, 2));
  EXPECT_EQ(thrown("atom_codes(A, [0'a|_])"), iso("instantiation_error", "atom_codes", 2, 2));
  EXPECT_EQ(thrown("atom_codes(A, [0'a, C])"), iso("instantiation_error", "atom_codes", 2, 2));
  EXPECT_EQ(thrown("atom_codes(A, [97|foo])"),
            iso("type_error(list,[97|foo])", "atom_codes", 2, 2));
  EXPECT_EQ(thrown("atom_codes(A, foo)"), iso("type_error(list,foo)", "atom_codes", 2, 2));
  EXPECT_EQ(thrown("atom_codes(A, [a])"),
            iso("representation_error(character_code)", "atom_codes", 2, 2));
  EXPECT_EQ(thrown("atom_codes(A, [-1])"),
            iso("representation_error(character_code)", "atom_codes", 2, 2));
  EXPECT_EQ(thrown("atom_codes(1, L)"), iso("type_error(atom,1)", "atom_codes", 2, 1));
  EXPECT_EQ(thrown("atom_codes(f(x), L)"), iso("type_error(atom,f(x))", "atom_codes", 2, 1));
}

TEST_F(BiAtoms, AtomLengthCountsCharacters)
{
  ASSERT_EQ(p.run("atom_length(hello, N), atom_length('', Z)"), 1);
  EXPECT_EQ(p.var("N"), "5");
  EXPECT_EQ(p.var("Z"), "0");
  EXPECT_EQ(p.run("atom_length(abc, 3)"), 1);
  EXPECT_EQ(p.run("atom_length(abc, 4)"), 0);
  EXPECT_EQ(thrown("atom_length(A, N)"), iso("instantiation_error", "atom_length", 2, 1));
  EXPECT_EQ(thrown("atom_length(1, N)"), iso("type_error(atom,1)", "atom_length", 2, 1));
  EXPECT_EQ(thrown("atom_length(abc, foo)"), iso("type_error(integer,foo)", "atom_length", 2, 2));
  EXPECT_EQ(thrown("atom_length(abc, -1)"),
            iso("domain_error(not_less_than_zero,-1)", "atom_length", 2, 2));
}

TEST_F(BiAtoms, CurrentAtomChecksAndEnumeratesEveryAtomOnce)
{
  EXPECT_EQ(p.run("current_atom(abc)"), 1);
  EXPECT_EQ(p.run("current_atom(X), X == some_atom_made_by_this_query"), 1);
  EXPECT_EQ(thrown("current_atom(1)"), iso("type_error(atom,1)", "current_atom", 1, 1));
  ASSERT_EQ(p.run("(current_atom(A), assertz(seen(A)), fail ; true)"), 1);
  uint32_t live = 0;
  for (uint32_t i = 0; i < qx_eg.atom_count; i++) live += atom_record(MakeAtom(i)) != nullptr;
  definition *seen = find_definition(qx_eg.user_module, MakeFunctor(p.atom("seen"), 1), nullptr, 0);
  ASSERT_NE(seen, nullptr);
  EXPECT_EQ(seen->clause_count, live);
  /* Each one once: the clauses' atoms are pairwise distinct (the table holds each name once). */
  std::set<TAGGED> distinct;
  for (instance *ins = seen->first_clause; ins; ins = ins->next) distinct.insert(ins->key);
  EXPECT_EQ(distinct.size(), live);
}

TEST_F(BiAtoms, CharConversionFlag)
{
  ASSERT_EQ(p.run("'$char_conversion'(X, X)"), 1);
  EXPECT_EQ(p.var("X"), "on") << "on from the start";
  EXPECT_EQ(p.run("'$char_conversion'(on, off)"), 1);
  EXPECT_EQ(qx_eg.current_char_conversion, p.atom("off"));
  ASSERT_EQ(p.run("'$char_conversion'(X, X)"), 1);
  EXPECT_EQ(p.var("X"), "off");
  EXPECT_EQ(p.run("'$char_conversion'(off, on)"), 1);
  EXPECT_EQ(qx_eg.current_char_conversion, atom_on);
  EXPECT_EQ(p.run("'$char_conversion'(off, off)"), 0) << "the old value does not unify";
  EXPECT_EQ(qx_eg.current_char_conversion, atom_on);
  EXPECT_EQ(thrown("'$char_conversion'(_, maybe)"),
            iso("domain_error(flag_value,maybe)", "$char_conversion", 2, 2));
  EXPECT_EQ(thrown("'$char_conversion'(_, 1)"),
            iso("type_error(atom,1)", "$char_conversion", 2, 2));
  EXPECT_EQ(thrown("'$char_conversion'(_, _)"),
            iso("instantiation_error", "$char_conversion", 2, 2));
  EXPECT_EQ(qx_eg.current_char_conversion, atom_on);
  EXPECT_EQ(p.run("'$char_conversion'(on, off), '$char_conversion'(off, off)"), 1);
}
