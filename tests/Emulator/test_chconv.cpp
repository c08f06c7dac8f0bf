/* The character conversion table through '$add_char_conversion'/2 and conv_char: replacing,
 * one-step images, removal by the identity pair, the full table, and argument errors. */
#include <utility>
#include <vector>

#include "bi_test_support.h"
#include "chconv.h"

namespace {

class CharConversion : public BuiltinTest {
protected:
  CharConversion() { init_char_conversion(); }
};

TEST_F(CharConversion, StartIsAnEmptyTableWithTheFlagOn)
{
  ASSERT_EQ(p.run("'$add_char_conversion'(0'a, 0'b), '$char_conversion'(_, off)"), 1);
  init_char_conversion();
  EXPECT_EQ(qx_eg.pcharconv, 0u);
  EXPECT_EQ(conv_char('a'), 'a');
  ASSERT_EQ(p.run("'$char_conversion'(X, X)"), 1);
  EXPECT_EQ(p.var("X"), "on");
}

TEST_F(CharConversion, PairsReplaceChainOnlyOneStepAndRemoveByIdentity)
{
  struct {
    const char *what;
    const char *goal;
    std::vector<std::pair<int32_t, int32_t>> images;
    std::vector<int32_t> from; /* the from-codes in table order */
  } rows[] = {
      {"a to b, then a to c", "add(0'a, 0'b), add(0'a, 0'c)", {{'a', 'c'}, {'b', 'b'}}, {'a'}},
      {"a to b, then b to c", "add(0'a, 0'b), add(0'b, 0'c)", {{'a', 'b'}, {'b', 'c'}}, {'a', 'b'}},
      {"a to a without a pair", "add(0'a, 0'a)", {{'a', 'a'}}, {}},
      {"a to a with a pair",
       "add(0'a, 0'b), add(0'x, 0'y), add(0'a, 0'a)",
       {{'a', 'a'}, {'x', 'y'}},
       {'x'}},
      {"removing the middle pair moves the last one there",
       "add(0'a, 0'b), add(0'c, 0'd), add(0'e, 0'f), add(0'c, 0'c)",
       {{'a', 'b'}, {'c', 'c'}, {'e', 'f'}, {'d', 'd'}},
       {'a', 'e'}},
      {"removing the last pair",
       "add(0'a, 0'b), add(0'c, 0'd), add(0'c, 0'c)",
       {{'a', 'b'}, {'c', 'c'}},
       {'a'}},
      {"codes beyond ASCII and code 0",
       "add(0, 955), add(128512, 0)",
       {{0, 955}, {128512, 0}, {955, 955}},
       {0, 128512}},
  };
  p.consult("add(F, T) :- '$add_char_conversion'(F, T). ");
  for (auto &row : rows) {
    SCOPED_TRACE(row.what);
    init_char_conversion();
    ASSERT_EQ(p.run(row.goal), 1);
    for (auto [code, image] : row.images) EXPECT_EQ(conv_char(code), image) << code;
    ASSERT_EQ(qx_eg.pcharconv, row.from.size());
    for (size_t i = 0; i < row.from.size(); i++) EXPECT_EQ(qx_eg.charconv_from[i], row.from[i]);
  }
}

TEST_F(CharConversion, AFullTableRefusesOnlyNewPairs)
{
  for (int32_t code = 1000; code < 1000 + (int32_t)QX_CHARCONV_MAX; code++)
    ASSERT_TRUE(qx_add_char_conversion(code, code + 5000));
  EXPECT_EQ(p.run("'$add_char_conversion'(97, 98)"), 0) << "the 1025th from-code";
  EXPECT_EQ(conv_char(97), 97);
  EXPECT_EQ(p.run("'$add_char_conversion'(1500, 98)"), 1) << "a new to-code for a pair";
  EXPECT_EQ(conv_char(1500), 98);
  EXPECT_EQ(p.run("'$add_char_conversion'(97, 97)"), 1) << "removing an absent pair";
  EXPECT_EQ(p.run("'$add_char_conversion'(1000, 1000), '$add_char_conversion'(97, 98)"), 1);
  EXPECT_EQ(conv_char(97), 98);
  EXPECT_EQ(conv_char(1000), 1000);
  EXPECT_EQ(conv_char(2023), 7023) << "the last pair, moved into the freed place";
  EXPECT_EQ(qx_eg.charconv_from[0], 2023);
  EXPECT_EQ(qx_eg.pcharconv, QX_CHARCONV_MAX);
}

TEST_F(CharConversion, ArgumentsMustBeCodes)
{
  struct {
    const char *goal;
    std::string ball;
  } rows[] = {
      {"'$add_char_conversion'(_, 97)", iso("instantiation_error", "$add_char_conversion", 2, 1)},
      {"'$add_char_conversion'(97, _)", iso("instantiation_error", "$add_char_conversion", 2, 2)},
      {"'$add_char_conversion'(a, 97)", iso("type_error(integer,a)", "$add_char_conversion", 2, 1)},
      {"'$add_char_conversion'(97, 1.0)",
       iso("type_error(integer,1)", "$add_char_conversion", 2, 2)},
      {"'$add_char_conversion'(-1, 97)",
       iso("representation_error(character_code)", "$add_char_conversion", 2, 1)},
      {"'$add_char_conversion'(97, 100000000000)",
       iso("representation_error(character_code)", "$add_char_conversion", 2, 2)},
  };
  for (auto &row : rows) EXPECT_EQ(thrown(row.goal), row.ball) << row.goal;
  EXPECT_EQ(qx_eg.pcharconv, 0u) << "no error left a pair behind";
}

}  // namespace
