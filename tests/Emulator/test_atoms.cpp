#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "atoms.h"
#include "orvalis.h"
#include "test_engine.h"

namespace {

std::string name_of(TAGGED a)
{
  const char *n = atom_name(a);
  return n ? std::string(n) : std::string("<none>");
}

}  // namespace

TEST(Atoms, InterningGivesOneAtomPerName)
{
  TestEngine e;
  TAGGED a = init_atom_check("hello", 0);
  ASSERT_NE(a, 0u);
  EXPECT_TRUE(IsAtom(a));
  EXPECT_EQ(init_atom_check("hello", 0), a);
  EXPECT_EQ(init_atom_check("hello", 1), a);
  EXPECT_EQ(init_atom_check("hello", 2), a);
  EXPECT_NE(init_atom_check("hellO", 0), a);
  EXPECT_NE(init_atom_check("hell", 0), a);
  EXPECT_EQ(name_of(a), "hello");
  atom *r = atom_record(a);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->length, 5u);
  EXPECT_EQ(MakeAtom(r->index), a);
}

TEST(Atoms, FindOnlyModeNeverCreates)
{
  TestEngine e;
  uint32_t before = qx_eg.atom_count;
  EXPECT_EQ(init_atom_check("not_there_yet", 1), 0u);
  EXPECT_EQ(qx_eg.atom_count, before);
  TAGGED a = init_atom_check("not_there_yet", 0);
  EXPECT_EQ(qx_eg.atom_count, before + 1);
  EXPECT_EQ(init_atom_check("not_there_yet", 1), a);
  EXPECT_EQ(init_atom_check("x", 3), 0u);
  EXPECT_EQ(init_atom_check("x", -1), 0u);
  EXPECT_EQ(init_atom_check(nullptr, 0), 0u);
}

TEST(Atoms, FixedModeMakesAtomsPermanent)
{
  TestEngine e;
  TAGGED a = init_atom_check("kept_for_good", 2);
  ASSERT_NE(a, 0u);
  EXPECT_EQ(atom_record(a)->refcount, 255);
  EXPECT_EQ(atom_record(atom_true)->refcount, 255);
  EXPECT_EQ(atom_record(init_atom_check("ordinary", 0))->refcount, 0);
}

TEST(Atoms, InvalidTextIsRejectedInEveryMode)
{
  TestEngine e;
  const char *bad[] = {
      "\x80", "a\xBF",      "\xC0\x81",  "\xC1\xBF", "\xE0\x80\x80", "\xF0\x8F\xBF\xBF",
      "\xC3", "ab\xE2\x98", "\xE2\x98x", "\xFE",     "\xFF",         "x\xFE\x80"};
  uint32_t before = qx_eg.atom_count;
  for (const char *t : bad)
    for (int mode = 0; mode < 3; mode++)
      EXPECT_EQ(init_atom_check(t, mode), 0u) << "mode " << mode << " text " << t;
  EXPECT_EQ(qx_eg.atom_count, before);
  /* code 0 in its two-byte form is valid */
  EXPECT_EQ(init_atom_check("a\xC0\x80z", 0) != 0, true);
}

TEST(Atoms, FixedAtomsSitAtTheirConstants)
{
  TestEngine e;
  EXPECT_EQ(atom_nil, 7u); /* the empty list is atom 0 */
  struct {
    TAGGED atom;
    const char *name;
  } fixed[] = {{atom_nil, "[]"},
               {atom_dot, "."},
               {atom_curly, "{}"},
               {atom_true, "true"},
               {atom_fail, "fail"},
               {atom_comma, ","},
               {atom_semicolon, ";"},
               {atom_colon, ":"},
               {atom_mutable, "$mutable"},
               {atom_os_linux, "linux"},
               {atom_inf, "inf"},
               {atom_sup, "sup"},
               {atom_v, "v"},
               {atom_free, "$free"},
               {atom_ref, "$ref"},
               {atom_user, "user"},
               {atom_prolog, "prolog"},
               {atom_empty, ""},
               {atom_end_of_file, "end_of_file"},
               {atom_structs, "structs"},
               {atom_minus, "-"},
               {atom_equal, "="},
               {atom_plus, "+"}};
  for (auto &f : fixed) {
    EXPECT_EQ(name_of(f.atom), f.name);
    EXPECT_EQ(init_atom_check(f.name, 1), f.atom) << f.name;
  }
  /* the first nine atoms are the ones saved states translate to themselves */
  EXPECT_LE(atom_mutable, 71u);
}

/* After the named atoms come the one-character atoms not among them, in code order. */
TEST(Atoms, OneCharacterAtomsFollowInCodeOrder)
{
  TestEngine e;
  const char named_single[] = ".,;:v";
  uint32_t next = QX_FIXED_NAMED_COUNT;
  for (int c = 0; c < 256; c++) {
    const char *hit = c > 0 ? std::strchr(named_single, c) : nullptr;
    TAGGED expected = hit ? init_atom_check(std::string(1, (char)c).c_str(), 1) : MakeAtom(next++);
    EXPECT_EQ(qx_char_atom(c), expected) << "code " << c;
    EXPECT_EQ(qx_char_atom_fixed(c), expected) << "code " << c;
    EXPECT_EQ(qx_eg.one_char_atoms[c], expected);
  }
  EXPECT_EQ(qx_eg.atom_count, next);
}

TEST(Atoms, OneCharacterAtomNamesUseTheInternalEncoding)
{
  TestEngine e;
  for (int c = 0; c < 256; c++) {
    std::string want;
    if (c == 0)
      want = "\xC0\x80";
    else if (c < 128)
      want = std::string(1, (char)c);
    else
      want = {(char)(0xC0 | (c >> 6)), (char)(0x80 | (c & 0x3F))};
    EXPECT_EQ(name_of(qx_char_atom(c)), want) << "code " << c;
    EXPECT_EQ(atom_record(qx_char_atom(c))->length, want.size());
  }
}

TEST(Atoms, CharacterAtomsAbove255AreMadeOnDemand)
{
  TestEngine e;
  uint32_t before = qx_eg.atom_count;
  TAGGED smile = qx_char_atom(0x263A);
  ASSERT_NE(smile, 0u);
  EXPECT_EQ(name_of(smile), "\xE2\x98\xBA");
  EXPECT_EQ(qx_eg.atom_count, before + 1);
  EXPECT_EQ(qx_char_atom(0x263A), smile);
  EXPECT_EQ(qx_eg.atom_count, before + 1);
  EXPECT_EQ(name_of(qx_char_atom(0x10FFFF)), "\xF4\x8F\xBF\xBF");
  EXPECT_EQ(qx_char_atom(-1), 0u);
}

TEST(Atoms, TableGrowthKeepsEveryAtomFindable)
{
  TestEngine e;
  const int n = 200000;
  std::vector<TAGGED> made(n);
  char buf[32];
  for (int i = 0; i < n; i++) {
    std::snprintf(buf, sizeof buf, "g%d_x", i);
    made[i] = init_atom_check(buf, 0);
    ASSERT_NE(made[i], 0u);
  }
  EXPECT_GT(qx_eg.atom_hash_size, 1024u);
  for (int i = 0; i < n; i++) {
    std::snprintf(buf, sizeof buf, "g%d_x", i);
    ASSERT_EQ(init_atom_check(buf, 1), made[i]) << buf;
    ASSERT_STREQ(atom_name(made[i]), buf);
  }
  /* indexes are dense and spread over several chunks */
  EXPECT_EQ(AtomIndex(made[n - 1]) - AtomIndex(made[0]), (uint32_t)n - 1);
  EXPECT_EQ(name_of(atom_nil), "[]");
  EXPECT_EQ(init_atom_check("true", 1), atom_true);
}

TEST(Atoms, FullTableAnswersZero)
{
  TestEngine e;
  char buf[32];
  TAGGED last = 0;
  for (uint32_t i = qx_eg.atom_count; i < QX_MAX_ATOMS; i++) {
    std::snprintf(buf, sizeof buf, "%u", i);
    last = init_atom_check(buf, 0);
    ASSERT_NE(last, 0u) << i;
  }
  EXPECT_EQ(AtomIndex(last), QX_MAX_ATOMS - 1);
  EXPECT_TRUE(IsAtom(last)); /* the largest index still fits an atom cell */
  EXPECT_EQ(init_atom_check("one_too_many", 0), 0u);
  EXPECT_EQ(qx_char_atom(0x263A), 0u);
  EXPECT_EQ(init_atom_check("12345", 1) != 0, true);
  EXPECT_EQ(init_atom_check("12345", 0), init_atom_check("12345", 1));
}

/* Flags by the standard quoting rules, decided by hand. */
TEST(Atoms, FlagsFollowTheQuotingRules)
{
  TestEngine e;
  struct {
    const char *name;
    int punct, symbol, ascii, escaping, quoting;
  } table[] = {
      {"[]", 1, 0, 1, 0, 0},
      {"a", 0, 0, 1, 0, 0},
      {"A", 0, 0, 1, 0, 1},
      {"+", 0, 1, 1, 0, 0},
      {"hello world", 0, 0, 1, 0, 1},
      {"a\nb", 0, 0, 1, 1, 1},
      {"\xC3\xA9", 0, 0, 0, 0, 0},
      {"{}", 1, 0, 1, 0, 0},
      {"!", 1, 0, 1, 0, 0},
      {";", 1, 0, 1, 0, 0},
      {",", 1, 0, 1, 0, 1},
      {"|", 1, 0, 1, 0, 1},
      {"foo_Bar", 0, 0, 1, 0, 0},
      {"don't", 0, 0, 1, 1, 1},
      {"", 0, 0, 1, 0, 1},
      {".", 0, 1, 1, 0, 1},
      {"..", 0, 1, 1, 0, 0},
      {"/*", 0, 1, 1, 0, 1},
      {"*/", 0, 1, 1, 0, 0},
      {"\\", 0, 1, 1, 1, 0},
      {"a\\b", 0, 0, 1, 1, 1},
      {"_a", 0, 0, 1, 0, 1},
      {"1a", 0, 0, 1, 0, 1},
      {"a1B_", 0, 0, 1, 0, 0},
      {"[", 1, 0, 1, 0, 1},
      {"()", 1, 0, 1, 0, 1},
      {"!!", 1, 0, 1, 0, 1},
      {"a+", 0, 0, 1, 0, 1},
      {"a\tb", 0, 0, 1, 1, 1},
      {"\x7F", 0, 0, 1, 1, 1},
      {"\xC0\x80", 0, 0, 0, 1, 1},
      {"\xC3\x97", 0, 1, 0, 0, 0},
      {"\xC2\xAA"
       "b",
       0, 0, 0, 0, 0},
      {"\xC3\x80"
       "b",
       0, 0, 0, 0, 1},
      {"a\xC2\xA0"
       "b",
       0, 0, 0, 1, 1},
      {"\xCE\xA9", 0, 0, 0, 1, 1},
      {"a\xE2\x80\xA8", 0, 0, 0, 1, 1},
      {"-->", 0, 1, 1, 0, 0},
  };
  for (auto &t : table) {
    atom *a = atom_record(init_atom_check(t.name, 0));
    ASSERT_NE(a, nullptr) << t.name;
    EXPECT_EQ(a->is_punctchars, t.punct) << "punct of " << t.name;
    EXPECT_EQ(a->is_symbolchars, t.symbol) << "symbol of " << t.name;
    EXPECT_EQ(a->is_ascii, t.ascii) << "ascii of " << t.name;
    EXPECT_EQ(a->needs_escaping, t.escaping) << "escaping of " << t.name;
    EXPECT_EQ(a->needs_quoting, t.quoting) << "quoting of " << t.name;
    EXPECT_EQ(a->marked, 0u);
  }
}

TEST(Atoms, RegistrationCountSaturatesAndSticks)
{
  TestEngine e;
  TAGGED a = init_atom_check("registered", 0);
  atom *r = atom_record(a);
  QX_register_atom(a);
  QX_register_atom(MakeFunctor(a, 3)); /* a functor word counts for its name */
  EXPECT_EQ(r->refcount, 2);
  QX_unregister_atom(MakeFunctor(a, 255));
  EXPECT_EQ(r->refcount, 1);
  QX_unregister_atom(a);
  QX_unregister_atom(a);
  EXPECT_EQ(r->refcount, 0);
  for (int i = 0; i < 300; i++) QX_register_atom(a);
  EXPECT_EQ(r->refcount, 255);
  for (int i = 0; i < 10; i++) QX_unregister_atom(a);
  EXPECT_EQ(r->refcount, 255);
  qx_set_errno(0);
  EXPECT_EQ(QX_register_atom(MakeSmall(5)), 0); /* not an atom: a type error */
  EXPECT_EQ(QX_get_errno(), QX_ERR_TYPE_ERROR);
  EXPECT_EQ(QX_unregister_atom(MakeAtom(QX_MAX_ATOMS)), 0); /* no such atom */
}

TEST(Atoms, RecordsAreFoundFromFunctorWords)
{
  TestEngine e;
  TAGGED a = init_atom_check("f", 0);
  EXPECT_EQ(atom_record(MakeFunctor(a, 2)), atom_record(a));
  EXPECT_STREQ(atom_name(functor_minus2), "-");
  EXPECT_EQ(atom_record(MakeAtom(QX_MAX_ATOMS - 1)), nullptr); /* not made yet */
  EXPECT_EQ(atom_record(MakeSmall(1)), nullptr);
}

TEST(Atoms, TeardownFreesAllAndRebuildGivesTheSameHashes)
{
  TestEngine e;
  uint32_t h = atom_record(init_atom_check("stable name", 0))->hash;
  uint32_t fixed_count = QX_FIXED_NAMED_COUNT;
  EXPECT_GT(qx_space_in_use(QX_SPACE_ATOM), 0u);
  deinit_atoms();
  EXPECT_EQ(qx_space_in_use(QX_SPACE_ATOM), 0u); /* every record and table handed back */
  EXPECT_EQ(atom_record(atom_nil), nullptr);
  ASSERT_EQ(init_atoms(), 0);
  EXPECT_GE(qx_eg.atom_count, fixed_count);
  EXPECT_EQ(init_atom_check("stable name", 1), 0u);
  EXPECT_EQ(atom_record(init_atom_check("stable name", 0))->hash, h);
}
