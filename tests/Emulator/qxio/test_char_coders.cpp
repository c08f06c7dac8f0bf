// Character coders: the registry and its loose name matching, instances and the common
// conversion rules, encoding detection, the byte character sets and the Unicode property sets.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "budget_alloc.h"
#include "coder_test_util.h"
#include "layer_test_util.h"
#include "qxio_coder_internal.h"

#ifndef QXIO_CHARSET_REFERENCE
#error "QXIO_CHARSET_REFERENCE must name the generated reference file"
#endif

using qxio_test::Budget;
using qxio_test::BudgetScope;
using qxio_test::codes_t;
using qxio_test::END;
using qxio_test::REPLACE_ALL;
using qxio_test::TestCoder;
using qxio_test::words;

namespace {

std::string transformed(const char *name)
{
  char *t = tr22_transform_name(name);
  std::string s(t);
  qxio_free(t);
  return s;
}

qxio_t_coder_funcs *find(const char *name, uint32_t options = 0)
{
  qxio_t_coder_funcs *funcs = nullptr;
  if (qxio_char_coder_find(&funcs, name, nullptr, options) < 0) return nullptr;
  qxio_coder_funcs_release(funcs);
  return funcs;
}

class Registry : public qxio_test::CoderFixture {};
class CoderInstances : public qxio_test::CoderFixture {};
class LineEnds : public qxio_test::CoderFixture {};
class ByteOrderMarks : public qxio_test::CoderFixture {};
class Detection : public qxio_test::CoderFixture {};
class ByteSets : public qxio_test::CoderFixture {};

// ---- registry ----

TEST(NameTransform, KeepsLettersAndDigitsAndDropsLeadingZeros)
{
  EXPECT_EQ("utf8", transformed("UTF-8"));
  EXPECT_EQ("utf8", transformed("Utf_8"));
  EXPECT_EQ("iso885911987", transformed("ISO_8859-1:1987"));
  EXPECT_EQ("7", transformed("007"));
  EXPECT_EQ("ab", transformed("a0b"));
  EXPECT_EQ("10", transformed("10"));
  EXPECT_EQ("", transformed("-_:"));
}

TEST_F(Registry, LooseSpellingsFindTheSameClass)
{
  qxio_t_coder_funcs *utf8 = find("utf-8");
  ASSERT_NE(nullptr, utf8);
  EXPECT_STREQ("UTF-8", utf8->name);
  EXPECT_EQ(utf8, find("UTF8"));
  EXPECT_EQ(utf8, find("Utf_8"));
  EXPECT_STREQ("UTF-16BE", find("UTF-16")->name);
  EXPECT_STREQ("UTF-32BE", find("UTF-32")->name);
  EXPECT_STREQ("UTF-16LE", find("UTF-16 LE")->name);
  EXPECT_STREQ("ISO-8859-1", find("latin-1")->name);
  EXPECT_STREQ("ANSI_X3.4-1968", find("US-ASCII")->name);
  EXPECT_STREQ("ISO-8859-15", find("Latin-9")->name);
  EXPECT_STREQ("windows-1252", find("Windows_1252")->name);
}

TEST_F(Registry, UnknownAndEmptyNamesFail)
{
  qxio_t_coder_funcs *funcs = nullptr;
  EXPECT_EQ(QXIO_E_CHARSET_NOT_FOUND, qxio_char_coder_find(&funcs, "klingon", nullptr, 0));
  EXPECT_EQ(QXIO_E_PARAMETER_ERROR, qxio_char_coder_find(&funcs, "-_-", nullptr, 0));
  EXPECT_EQ(nullptr, funcs);
}

TEST_F(Registry, FindTakesAReferenceThatTheCallerDrops)
{
  qxio_t_coder_funcs *funcs = nullptr;
  ASSERT_EQ(0, qxio_char_coder_find(&funcs, "latin1", nullptr, 0));
  int32_t held = funcs->refcount;
  qxio_t_coder_funcs *again = nullptr;
  ASSERT_EQ(0, qxio_char_coder_find(&again, "l1", nullptr, 0));
  EXPECT_EQ(held + 1, funcs->refcount);
  qxio_coder_funcs_release(again);
  qxio_coder_funcs_release(funcs);
  EXPECT_EQ(held - 1, funcs->refcount);
}

TEST_F(Registry, SeekableRequirementRejectsUnicodeClasses)
{
  qxio_t_coder_funcs *funcs = nullptr;
  ASSERT_EQ(0, qxio_char_coder_find(&funcs, "ISO-8859-2", nullptr, 0x1));
  qxio_coder_funcs_release(funcs);
  qxio_t_coder_funcs *utf8 = find("UTF-8");
  int32_t held = utf8->refcount;
  funcs = nullptr;
  EXPECT_EQ(QXIO_E_SEEK_ERROR, qxio_char_coder_find(&funcs, "UTF-8", nullptr, 0x1));
  EXPECT_EQ(nullptr, funcs);
  EXPECT_EQ(held, utf8->refcount);
}

TEST_F(Registry, CanonicalNamesAndEquality)
{
  const char *canonical = nullptr;
  ASSERT_EQ(0, qxio_charset_canonical_name("csISOLatin1", &canonical));
  EXPECT_STREQ("iso88591", canonical);
  EXPECT_EQ(QXIO_E_CHARSET_NOT_FOUND, qxio_charset_canonical_name("klingon", &canonical));
  EXPECT_EQ(1, qxio_charset_name_equal("l1", "ISO_8859-1:1987"));
  EXPECT_EQ(1, qxio_charset_name_equal("UTF-16", "utf16be"));
  EXPECT_EQ(0, qxio_charset_name_equal("l1", "l2"));
  EXPECT_EQ(0, qxio_charset_name_equal("klingon", "klingon"));
}

TEST_F(Registry, CharsetWithAnEmptyAliasEntersNothing)
{
  const char *const aliases[] = {"tlh", "--", nullptr};
  EXPECT_EQ(QXIO_E_PARAMETER_ERROR, qxio_register_charset("klingon", aliases, 0));
  const char *canonical = nullptr;
  EXPECT_EQ(QXIO_E_CHARSET_NOT_FOUND, qxio_charset_canonical_name("tlh", &canonical));
  EXPECT_EQ(QXIO_E_CHARSET_NOT_FOUND, qxio_charset_canonical_name("klingon", &canonical));
}

TEST_F(Registry, CharsetAliasesCanBeEnteredAndRemoved)
{
  const char *const aliases[] = {"tlh", "Klingon-1", nullptr};
  ASSERT_EQ(0, qxio_register_charset("klingon", aliases, 0));
  EXPECT_EQ(1, qxio_charset_name_equal("TLH", "klingon1"));
  ASSERT_EQ(0, qxio_register_charset("klingon", aliases, 0x1));
  EXPECT_EQ(0, qxio_charset_name_equal("TLH", "klingon1"));
}

int destroyed;
void counting_destroy(qxio_t_coder_funcs *) { destroyed++; }

TEST_F(Registry, RegisteringTheSameNameReplacesAndReleasesTheOldClass)
{
  qxio_t_coder_funcs *latin1 = find("ISO-8859-1");
  qxio_t_coder_funcs replacement = *latin1;
  const char *const aliases[] = {"latin1", nullptr};
  replacement.aliases = aliases;
  replacement.refcount = 1;
  replacement.destroy = counting_destroy;
  destroyed = 0;
  int32_t old_refs = latin1->refcount;
  ASSERT_EQ(0, qxio_register_coder(nullptr, &replacement, 0));
  qxio_coder_funcs_release(&replacement);
  EXPECT_EQ(old_refs - 1, latin1->refcount);
  EXPECT_EQ(&replacement, find("latin1"));
  // The old class's other aliases left the name table with it.
  EXPECT_EQ(nullptr, find("l1"));
  ASSERT_EQ(0, qxio_register_coder(nullptr, &replacement, 0x1));
  EXPECT_EQ(1, destroyed);
  EXPECT_EQ(nullptr, find("ISO-8859-1"));
}

TEST_F(Registry, UnregisteringAnotherClassUnderTheNameDoesNothing)
{
  qxio_t_coder_funcs other = *find("UTF-8");
  EXPECT_EQ(0, qxio_register_coder("UTF-8", &other, 0x1));
  EXPECT_STREQ("UTF-8", find("utf8")->name);
  EXPECT_NE(&other, find("utf8"));
}

TEST_F(Registry, ExplicitNameRegistersOnlyThatName)
{
  qxio_t_coder_funcs *latin2 = find("ISO-8859-2");
  ASSERT_EQ(0, qxio_register_coder("Polish", latin2, 0));
  EXPECT_EQ(latin2, find("polish"));
  ASSERT_EQ(0, qxio_register_coder("Polish", latin2, 0x1));
  EXPECT_EQ(nullptr, find("polish"));
  EXPECT_EQ(latin2, find("latin2"));
}

TEST_F(Registry, ReplacementThatRunsOutOfMemoryLeavesTheOldClass)
{
  qxio_t_coder_funcs *latin1 = find("ISO-8859-1");
  qxio_t_coder_funcs replacement = *latin1;
  const char *const aliases[] = {"latin1", "Latin-One", nullptr};
  replacement.aliases = aliases;
  replacement.refcount = 1;
  bool replaced = false;
  for (long limit = 0; limit < 100 && !replaced; limit++) {
    int32_t old_refs = latin1->refcount;
    Budget budget;
    budget.remaining = limit;
    qxio_t_error_code rc;
    {
      BudgetScope scope(&budget);
      rc = qxio_register_coder(nullptr, &replacement, 0);
    }
    replaced = rc == 0;
    if (replaced) break;
    EXPECT_EQ(QXIO_E_OUT_OF_MEMORY, rc) << "limit " << limit;
    EXPECT_EQ(budget.allocations, budget.frees) << "limit " << limit;
    EXPECT_EQ(1, replacement.refcount) << "limit " << limit;
    EXPECT_EQ(old_refs, latin1->refcount) << "limit " << limit;
    for (const char *name : {"ISO-8859-1", "latin1", "l1", "csISOLatin1"})
      EXPECT_EQ(latin1, find(name)) << name << ", limit " << limit;
    EXPECT_EQ(nullptr, find("Latin-One")) << "limit " << limit;
  }
  ASSERT_TRUE(replaced);
  EXPECT_EQ(&replacement, find("latin_one"));
  EXPECT_EQ(nullptr, find("l1"));
  ASSERT_EQ(0, qxio_register_coder(nullptr, &replacement, 0x1));
  EXPECT_EQ(1, replacement.refcount);
}

TEST_F(Registry, UnregisteringNeedsNoMemoryWhateverTheNameLength)
{
  const std::string name(5000, 'x');
  const char *const aliases[] = {"Klingon", name.c_str(), nullptr};
  qxio_t_coder_funcs klingon = *find("ISO-8859-2");
  klingon.name = "tlhIngan Hol";
  klingon.aliases = aliases;
  klingon.refcount = 1;
  ASSERT_EQ(0, qxio_register_coder(nullptr, &klingon, 0));
  ASSERT_EQ(0, qxio_register_coder(name.c_str(), &klingon, 0));
  EXPECT_EQ(&klingon, find(name.c_str()));
  EXPECT_EQ(3, klingon.refcount);
  Budget budget;
  budget.remaining = 0;
  {
    BudgetScope scope(&budget);
    EXPECT_EQ(0, qxio_register_coder(name.c_str(), nullptr, 0x1));
    EXPECT_EQ(0, qxio_register_coder(nullptr, &klingon, 0x1));
    EXPECT_EQ(0, qxio_register_charset("ISO-8859-2", nullptr, 0x1));
  }
  EXPECT_EQ(1, klingon.refcount);
  for (const char *gone : {"tlhinganhol", "KLINGON", name.c_str()})
    EXPECT_EQ(nullptr, find(gone)) << gone;
  const char *canonical = nullptr;
  EXPECT_EQ(QXIO_E_CHARSET_NOT_FOUND, qxio_charset_canonical_name("ISO 8859 2", &canonical));
  EXPECT_EQ(0, qxio_charset_canonical_name("latin2", &canonical));  // its aliases stay
}

/* The module start is made to fail at each of its allocations in turn: a failed start gives
   back everything by itself, and the stop, with memory exhausted, succeeds after a failed
   start as after a whole one. */
TEST(RegistryLifecycle, StartThatRunsOutOfMemoryUndoesItselfAndTheStopNeedsNoMemory)
{
  bool started = false;
  int failures = 0;
  for (long limit = 0; limit < 5000 && !started; limit++) {
    Budget budget;
    budget.remaining = limit;
    BudgetScope scope(&budget);
    qxio_t_error_code rc = qxio_init_char_coder(0);
    started = rc == 0;
    budget.remaining = -1;
    if (started) {
      EXPECT_NE(nullptr, find("UTF-32 LE"));
      EXPECT_NE(nullptr, find("csASCII"));
    } else {
      failures++;
      EXPECT_EQ(QXIO_E_OUT_OF_MEMORY, rc) << "limit " << limit;
      EXPECT_EQ(budget.allocations, budget.frees) << "limit " << limit;
    }
    budget.remaining = 0;
    EXPECT_EQ(0, qxio_init_char_coder(1)) << "limit " << limit;
    EXPECT_EQ(budget.allocations, budget.frees) << "limit " << limit;
    EXPECT_EQ(nullptr, find("UTF-8")) << "limit " << limit;
    EXPECT_EQ(nullptr, find("US-ASCII")) << "limit " << limit;
  }
  EXPECT_TRUE(started);
  EXPECT_GT(failures, 20);
}

TEST(RegistryLifecycle, StartAndShutdownLeaveNothingAllocated)
{
  qxio_t_allocator_counts before, after;
  qxio_allocator_default_counts(&before);
  ASSERT_EQ(0, qxio_init_char_coder(0));
  qxio_t_coder_funcs *funcs = nullptr;
  ASSERT_EQ(0, qxio_char_coder_find(&funcs, "UTF-8", nullptr, 0));
  qxio_coder_funcs_release(funcs);
  ASSERT_EQ(0, qxio_init_char_coder(1));
  qxio_allocator_default_counts(&after);
  EXPECT_GT(after.allocations, before.allocations);
  EXPECT_EQ(after.allocations - before.allocations, after.frees - before.frees);
  EXPECT_EQ(QXIO_E_CHARSET_NOT_FOUND, qxio_char_coder_find(&funcs, "UTF-8", nullptr, 0));
}

// ---- instances ----

TEST_F(CoderInstances, FlagsFollowDirectionAndOptions)
{
  const struct {
    const char *name;
    uint32_t options;
    uint32_t flags;
  } cases[] = {
      {"ISO-8859-1", QXIO_CODER_OPEN_DECODE, 0x4C},
      {"ISO-8859-1", 0, 0x21},
      {"ISO-8859-1", QXIO_CODER_OPEN_DECODE | QXIO_CODER_OPEN_SEEKABLE, 0xCC},
      {"ISO-8859-1", QXIO_CODER_OPEN_DECODE | QXIO_CODER_OPEN_BOM, 0x4C},
      {"ISO-8859-1", QXIO_CODER_OPEN_CRLF | QXIO_CODER_OPEN_ANY_EOL, 0x321},
      {"UTF-8", QXIO_CODER_OPEN_DECODE | QXIO_CODER_OPEN_BOM, 0x84C},
      {"UTF-8", QXIO_CODER_OPEN_BOM, 0x1021},
      {"UTF-8", QXIO_CODER_OPEN_BOM | QXIO_CODER_OPEN_NO_UTF8_BOM, 0x21},
      {"UTF-16LE", QXIO_CODER_OPEN_BOM | QXIO_CODER_OPEN_NO_UTF8_BOM, 0x1021},
      {"UTF-32", QXIO_CODER_OPEN_DECODE | QXIO_CODER_OPEN_CRLF, 0x14C},
  };
  for (const auto &c : cases) {
    TestCoder coder(c.name, c.options);
    ASSERT_EQ(0, coder.open_rc()) << c.name << " " << c.options;
    EXPECT_EQ(c.flags, coder.get()->flags) << c.name << " " << c.options;
  }
}

TEST_F(CoderInstances, SeekableOpenIsRefusedWhereCodesAreNotOneByteEach)
{
  EXPECT_EQ(QXIO_E_NOT_SUPPORTED,
            TestCoder("ISO-8859-1", QXIO_CODER_OPEN_SEEKABLE | QXIO_CODER_OPEN_CRLF).open_rc());
  EXPECT_EQ(QXIO_E_NOT_SUPPORTED,
            TestCoder("ISO-8859-1", QXIO_CODER_OPEN_SEEKABLE | QXIO_CODER_OPEN_ANY_EOL).open_rc());
  EXPECT_EQ(QXIO_E_NOT_IMPLEMENTED, TestCoder("UTF-8", QXIO_CODER_OPEN_SEEKABLE).open_rc());
  EXPECT_EQ(QXIO_E_NOT_IMPLEMENTED, TestCoder("UTF-16LE", QXIO_CODER_OPEN_SEEKABLE).open_rc());
}

TEST_F(CoderInstances, InstancesHoldAReferenceOnTheirClass)
{
  qxio_t_coder_funcs *utf8 = find("UTF-8");
  int32_t held = utf8->refcount;
  {
    TestCoder coder("UTF-8", 0);
    EXPECT_EQ(held + 1, utf8->refcount);
  }
  EXPECT_EQ(held, utf8->refcount);
  EXPECT_EQ(0, qxio_char_coder_close(nullptr));
}

TEST_F(CoderInstances, ProgressComesFirstAndTheStopReasonWithTheNextCall)
{
  TestCoder coder("ISO-8859-1", 0);
  std::string in = words({'a', 0x20AC, 'b'}), out;
  size_t pos = 0;
  EXPECT_EQ(0, coder.step(in, &pos, &out, 0));
  EXPECT_EQ("a", out);
  EXPECT_EQ(4u, pos);
  EXPECT_EQ(QXIO_E_ENCODING_UNMAPPABLE, coder.step(in, &pos, &out, 0));
  EXPECT_EQ(4u, pos);
  EXPECT_EQ("a", out);
}

TEST_F(CoderInstances, EndOfInputTurnsMissingDataIntoEndOfFileOrInvalid)
{
  TestCoder coder("UTF-16LE", QXIO_CODER_OPEN_DECODE);
  std::string out;
  size_t pos = 0;
  EXPECT_EQ(QXIO_E_NOT_ENOUGH_DATA, coder.step("", &pos, &out, 0));
  EXPECT_EQ(QXIO_E_END_OF_FILE, coder.step("", &pos, &out, END));
  EXPECT_EQ(QXIO_E_NOT_ENOUGH_DATA, coder.step("A", &pos, &out, 0));
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, coder.step("A", &pos, &out, END));
  EXPECT_EQ(0u, pos);
  // A partial code point on the encoding side is invalid at the end too.
  TestCoder encoder("UTF-8", 0);
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, encoder.step(std::string("\x41\0", 2), &pos, &out, END));
  EXPECT_EQ("", out);
}

TEST_F(CoderInstances, CommitRollbackSeekAndTranslateReachTheClass)
{
  TestCoder coder("ISO-8859-1", QXIO_CODER_OPEN_DECODE | QXIO_CODER_OPEN_SEEKABLE);
  EXPECT_EQ(0, qxio_char_coder_commit(coder.get()));
  EXPECT_EQ(0, qxio_char_coder_rollback(coder.get()));
  int64_t off = 0;
  EXPECT_EQ(0, qxio_char_coder_translate_offset(coder.get(), 8, &off));
  EXPECT_EQ(2, off);
  EXPECT_EQ(0, qxio_char_coder_translate_offset(coder.get(), -12, &off));
  EXPECT_EQ(-3, off);
  EXPECT_EQ(QXIO_E_GRANULARITY_ERROR, qxio_char_coder_translate_offset(coder.get(), 6, &off));
  EXPECT_EQ(0, qxio_char_coder_seek(coder.get(), 16, 0));
  EXPECT_EQ(QXIO_E_GRANULARITY_ERROR, qxio_char_coder_seek(coder.get(), 3, 0));
  TestCoder crlf("ISO-8859-1", QXIO_CODER_OPEN_DECODE | QXIO_CODER_OPEN_CRLF);
  EXPECT_EQ(QXIO_E_NOT_SUPPORTED, qxio_char_coder_translate_offset(crlf.get(), 8, &off));
  EXPECT_EQ(QXIO_E_NOT_SUPPORTED, qxio_char_coder_seek(crlf.get(), 8, 0));
}

// ---- line ends ----

codes_t decoded(TestCoder &coder, const std::string &bytes, uint32_t options = 0)
{
  codes_t codes;
  EXPECT_EQ(QXIO_E_END_OF_FILE, coder.decode_all(bytes, &codes, options));
  return codes;
}

TEST_F(LineEnds, CrLfBecomesLfAndALoneCrStays)
{
  TestCoder coder("ISO-8859-1", QXIO_CODER_OPEN_DECODE | QXIO_CODER_OPEN_CRLF);
  EXPECT_EQ((codes_t{'a', '\n', 'b', '\r', 'c', '\n', '\r'}), decoded(coder, "a\r\nb\rc\n\r"));
}

TEST_F(LineEnds, CrAtTheEndOfAvailableInputWaitsForMore)
{
  TestCoder coder("ISO-8859-1", QXIO_CODER_OPEN_DECODE | QXIO_CODER_OPEN_CRLF);
  std::string out;
  size_t pos = 0;
  EXPECT_EQ(0, coder.step("a\r", &pos, &out, 0));
  EXPECT_EQ(1u, pos);
  EXPECT_EQ(QXIO_E_NOT_ENOUGH_DATA, coder.step("a\r", &pos, &out, 0));
  EXPECT_EQ(1u, pos);
  EXPECT_EQ(0, coder.step("a\r", &pos, &out, END));
  EXPECT_EQ((codes_t{'a', '\r'}), qxio_test::codes_of(out));
}

TEST_F(LineEnds, CrLfSplitAcrossUnitsOfUtf16)
{
  TestCoder coder("UTF-16BE", QXIO_CODER_OPEN_DECODE | QXIO_CODER_OPEN_CRLF);
  std::string out;
  size_t pos = 0;
  EXPECT_EQ(QXIO_E_NOT_ENOUGH_DATA, coder.step(std::string("\0\r\0", 3), &pos, &out, 0));
  EXPECT_EQ(0u, pos);
  EXPECT_EQ(0, coder.step(std::string("\0\r\0\n", 4), &pos, &out, 0));
  EXPECT_EQ(4u, pos);
  EXPECT_EQ((codes_t{'\n'}), qxio_test::codes_of(out));
}

TEST_F(LineEnds, AnyLineEndBecomesLf)
{
  TestCoder coder("ISO-8859-1", QXIO_CODER_OPEN_DECODE | QXIO_CODER_OPEN_ANY_EOL);
  EXPECT_EQ((codes_t{'a', '\n', 'b', '\n', 'c', '\n', '\n', '\n', '\n'}),
            decoded(coder, "a\r\nb\rc\n\r\r\n\n"));
}

TEST_F(LineEnds, AnyLineEndRemembersACrAcrossCalls)
{
  TestCoder coder("UTF-8", QXIO_CODER_OPEN_DECODE | QXIO_CODER_OPEN_ANY_EOL);
  std::string out;
  size_t pos = 0;
  EXPECT_EQ(0, coder.step("x\r", &pos, &out, 0));
  pos = 0;
  EXPECT_EQ(0, coder.step("\ny", &pos, &out, 0));
  EXPECT_EQ((codes_t{'x', '\n', 'y'}), qxio_test::codes_of(out));
}

TEST_F(LineEnds, EncodersWriteLfAsCrLf)
{
  std::string out;
  TestCoder latin1("ISO-8859-1", QXIO_CODER_OPEN_CRLF);
  EXPECT_EQ(QXIO_E_END_OF_FILE, latin1.encode_all({'a', '\n', 'b'}, &out, 0));
  EXPECT_EQ("a\r\nb", out);
  out.clear();
  TestCoder utf16("UTF-16LE", QXIO_CODER_OPEN_CRLF);
  EXPECT_EQ(QXIO_E_END_OF_FILE, utf16.encode_all({'\n'}, &out, 0));
  EXPECT_EQ(std::string("\r\0\n\0", 4), out);
}

TEST_F(LineEnds, EncodingWithAnyLineEndIsRefusedByByteSetsAndUtf8)
{
  std::string out;
  TestCoder latin1("ISO-8859-1", QXIO_CODER_OPEN_ANY_EOL);
  EXPECT_EQ(QXIO_E_NOT_IMPLEMENTED, latin1.encode_all({'\n'}, &out, 0));
  TestCoder utf8("UTF-8", QXIO_CODER_OPEN_ANY_EOL);
  EXPECT_EQ(QXIO_E_NOT_IMPLEMENTED, utf8.encode_all({'\n'}, &out, 0));
  TestCoder utf32("UTF-32LE", QXIO_CODER_OPEN_ANY_EOL);
  EXPECT_EQ(QXIO_E_END_OF_FILE, utf32.encode_all({'\n'}, &out, 0));
  EXPECT_EQ(std::string("\n\0\0\0", 4), out);
}

// ---- byte-order marks ----

TEST_F(ByteOrderMarks, DecoderDropsOnlyALeadingMark)
{
  TestCoder dropping("UTF-8", QXIO_CODER_OPEN_DECODE | QXIO_CODER_OPEN_BOM);
  EXPECT_EQ((codes_t{'a', 0xFEFF}), decoded(dropping, "\xEF\xBB\xBF"
                                                      "a\xEF\xBB\xBF"));
  TestCoder keeping("UTF-8", QXIO_CODER_OPEN_DECODE);
  EXPECT_EQ((codes_t{0xFEFF, 'a'}), decoded(keeping, "\xEF\xBB\xBF"
                                                     "a"));
  TestCoder utf16("UTF-16BE", QXIO_CODER_OPEN_DECODE | QXIO_CODER_OPEN_BOM);
  EXPECT_EQ((codes_t{'z'}), decoded(utf16, std::string("\xFE\xFF\0z", 4)));
}

TEST_F(ByteOrderMarks, EncoderWritesTheMarkBeforeTheFirstOutputOnly)
{
  TestCoder utf16("UTF-16LE", QXIO_CODER_OPEN_BOM);
  std::string out;
  EXPECT_EQ(QXIO_E_END_OF_FILE, utf16.encode_all({'a'}, &out, 0));
  EXPECT_EQ(QXIO_E_END_OF_FILE, utf16.encode_all({'b'}, &out, 0));
  EXPECT_EQ(std::string("\xFF\xFE"
                        "a\0b\0",
                        6),
            out);
  out.clear();
  TestCoder utf8("UTF-8", QXIO_CODER_OPEN_BOM);
  EXPECT_EQ(QXIO_E_END_OF_FILE, utf8.encode_all({'a'}, &out, 0));
  EXPECT_EQ("\xEF\xBB\xBF"
            "a",
            out);
  out.clear();
  TestCoder quiet("UTF-8", QXIO_CODER_OPEN_BOM | QXIO_CODER_OPEN_NO_UTF8_BOM);
  EXPECT_EQ(QXIO_E_END_OF_FILE, quiet.encode_all({'a'}, &out, 0));
  EXPECT_EQ("a", out);
}

// ---- detection ----

struct detection {
  qxio_t_error_code rc;
  std::string name;  // class found, "" for none
};

detection detect(qxio_t_error_code (*detector)(const qxio_t_buf *, qxio_t_coder_funcs **, uint32_t),
                 const std::string &bytes, uint32_t options)
{
  qxio_t_buf buf = qxio_test::wrap(bytes);
  qxio_t_coder_funcs *funcs = nullptr;
  detection d{detector(&buf, &funcs, options), ""};
  if (funcs != nullptr) {
    d.name = funcs->name;
    qxio_coder_funcs_release(funcs);
  }
  return d;
}

void expect_detection(const detection &d, qxio_t_error_code rc, const char *name)
{
  EXPECT_EQ(rc, d.rc);
  EXPECT_EQ(name, d.name);
}

TEST_F(Detection, ByteOrderMarksNameTheirClass)
{
  const struct {
    std::string bytes;
    const char *name;
  } cases[] = {
      {std::string("\0\0\xFE\xFF", 4), "UTF-32BE"},
      {std::string("\xFF\xFE\0\0", 4), "UTF-32LE"},
      {"\xEF\xBB\xBF"
       "abc",
       "UTF-8"},
      {"\xFE\xFF"
       "ab",
       "UTF-16BE"},
      {std::string("\xFF\xFE"
                   "a\0",
                   4),
       "UTF-16LE"},
  };
  for (const auto &c : cases)
    expect_detection(detect(bom_encoding_detector, c.bytes, 0), 0, c.name);
  expect_detection(detect(bom_encoding_detector, "abcd", 0), 1, "");
}

TEST_F(Detection, ShortDataWaitsUnlessTheMarkIsAlreadyCertain)
{
  expect_detection(detect(bom_encoding_detector, "\xFF\xFE", 0), QXIO_E_NOT_ENOUGH_DATA, "");
  expect_detection(detect(bom_encoding_detector, "\xFF\xFE", 0x1), 0, "UTF-16LE");
  expect_detection(detect(bom_encoding_detector, "\xFE\xFF", 0), 0, "UTF-16BE");
  expect_detection(detect(bom_encoding_detector, "\xEF\xBB\xBF", 0), 0, "UTF-8");
  expect_detection(detect(bom_encoding_detector, "ab", 0), QXIO_E_NOT_ENOUGH_DATA, "");
  expect_detection(detect(bom_encoding_detector, "ab", 0x1), 1, "");
  expect_detection(detect(bom_encoding_detector, "", 0x1), 1, "");
}

TEST_F(Detection, SeekableRequirementFailsForAMarkedUnicodeFile)
{
  expect_detection(detect(bom_encoding_detector,
                          "\xFE\xFF"
                          "ab",
                          0x2),
                   QXIO_E_SEEK_ERROR, "");
}

TEST_F(Detection, CodingDeclarationOnTheFirstLine)
{
  expect_detection(detect(emacs_encoding_detector, "% -*- mode: x; coding: latin-1 -*-\nfoo", 0), 0,
                   "ISO-8859-1");
  expect_detection(detect(emacs_encoding_detector, "\r\n\n-*-coding:utf-8-*-\n", 0), 0, "UTF-8");
  expect_detection(detect(emacs_encoding_detector, "-*- mode: c -*- -*- coding: utf-16le -*-\n", 0),
                   0, "UTF-16LE");
  expect_detection(detect(emacs_encoding_detector, "-*-\tcoding:\t windows-1252-*-\n", 0x2), 0,
                   "windows-1252");
}

TEST_F(Detection, CodingWithNothingAfterItIsASyntaxError)
{
  expect_detection(detect(emacs_encoding_detector, "-*- coding: -*-\n", 0), QXIO_E_SYNTAX_ERROR,
                   "");
}

TEST_F(Detection, DeclarationsOffTheFirstLineOrMalformedAreNotFound)
{
  expect_detection(detect(emacs_encoding_detector, "#!/bin/sh\n# -*- coding: latin-1 -*-\n", 0x1),
                   1, "");
  expect_detection(detect(emacs_encoding_detector, "-*- xcoding: latin-1 -*-\n", 0x1), 1, "");
  expect_detection(detect(emacs_encoding_detector, "-*- coding: latin-1\n -*-", 0x1), 1, "");
  expect_detection(detect(emacs_encoding_detector, "-*- coding:-*-\n", 0x1), 1, "");
  expect_detection(detect(emacs_encoding_detector, "-*- coding: klingon -*-\n", 0),
                   QXIO_E_CHARSET_NOT_FOUND, "");
}

TEST_F(Detection, UnfinishedDeclarationWaitsForMoreUnlessComplete)
{
  expect_detection(detect(emacs_encoding_detector, "-*- coding: latin-1", 0),
                   QXIO_E_NOT_ENOUGH_DATA, "");
  expect_detection(detect(emacs_encoding_detector, "-*- coding: latin-1 -*", 0x1), 1, "");
  expect_detection(detect(emacs_encoding_detector, "\n\n-*", 0), QXIO_E_NOT_ENOUGH_DATA, "");
  // Only the first 1024 bytes are examined, and then the answer is final.
  std::string long_line = "-*- " + std::string(1100, 'x') + " coding: latin-1 -*-\n";
  expect_detection(detect(emacs_encoding_detector, long_line, 0), 1, "");
}

// Detection over a seekable file read one byte at a time: the stream is back at its start
// afterwards, whatever was found.
detection detect_file(const std::string &content, uint32_t options)
{
  std::string data = content;
  QXIO stream = nullptr;
  qxio_test::memory_file *file = qxio_test::open_memory_file(&stream, &data, 1);
  qxio_t_coder_funcs *funcs = nullptr;
  detection d{qxio_detect_file_encoding(&stream, &funcs, options), ""};
  if (d.rc == 0) {
    d.name = funcs->name;
    qxio_coder_funcs_release(funcs);
  }
  EXPECT_EQ(0u, file->pos) << ::testing::PrintToString(content);
  EXPECT_EQ(0, qxio_close(&stream, 0));
  return d;
}

TEST_F(Detection, FileDetectionReadsWhatItNeedsAndSeeksBack)
{
  expect_detection(detect_file("-*- coding: latin-1 -*-\nabc", 0), 0, "ISO-8859-1");
  expect_detection(detect_file(std::string("\xFF\xFE"
                                           "A\0B\0",
                                           6),
                               0),
                   0, "UTF-16LE");
  expect_detection(detect_file("\xFF\xFE", 0), 0, "UTF-16LE");
  expect_detection(detect_file("\xEF\xBB\xBF"
                               "x",
                               0),
                   0, "UTF-8");
  expect_detection(detect_file("plain text\nmore", 0), 1, "");
  expect_detection(detect_file("", 0), 1, "");
}

TEST_F(Detection, FileDetectionFailuresAndOptions)
{
  expect_detection(detect_file("-*- coding: klingon -*-\n", 0), QXIO_E_CHARSET_NOT_FOUND, "");
  expect_detection(detect_file("-*- coding: klingon -*-\n", 0x1), 1, "");
  expect_detection(detect_file("\xFE\xFF\0a", 0x2), QXIO_E_SEEK_ERROR, "");
  expect_detection(detect_file("-*- coding: latin-2 -*-\n", 0x2), 0, "ISO-8859-2");
}

TEST_F(Detection, StreamsThatCannotSeekAreNotRead)
{
  qxio_test::script s;
  s.input = "\xFF\xFE"
            "a";
  QXIO stream = nullptr;
  ASSERT_EQ(0, qxio_test::open_script(&stream, &s, true, false));
  qxio_t_coder_funcs *funcs = nullptr;
  EXPECT_EQ(1, qxio_detect_file_encoding(&stream, &funcs, 0));
  EXPECT_EQ(nullptr, funcs);
  EXPECT_EQ(0, s.reads);
  EXPECT_EQ(0, qxio_close(&stream, 0));
}

// ---- byte character sets ----

// The reference decoding of every byte (Python's codecs): set name -> 256 codes, -1 unmapped.
std::map<std::string, std::vector<int32_t>> load_reference()
{
  std::map<std::string, std::vector<int32_t>> sets;
  std::ifstream in(QXIO_CHARSET_REFERENCE);
  std::string name, byte, code;
  while (in >> name >> byte >> code) {
    auto &codes = sets[name];
    codes.resize(256, -2);
    codes[std::stoi(byte, nullptr, 16)] = code == "-" ? -1 : std::stoi(code, nullptr, 16);
  }
  return sets;
}

TEST_F(ByteSets, EveryByteDecodesAsTheReferenceSays)
{
  auto sets = load_reference();
  ASSERT_EQ(5u, sets.size());
  for (const auto &[name, codes] : sets) {
    TestCoder coder(name.c_str(), QXIO_CODER_OPEN_DECODE);
    ASSERT_EQ(0, coder.open_rc()) << name;
    for (int byte = 0; byte < 256; byte++) {
      codes_t got;
      qxio_t_error_code rc = coder.decode_all(std::string(1, (char)byte), &got, REPLACE_ALL);
      if (codes[byte] < 0) {
        EXPECT_EQ(QXIO_E_ENCODING_INVALID, rc) << name << " byte " << byte;
        EXPECT_TRUE(got.empty());
      } else {
        EXPECT_EQ(QXIO_E_END_OF_FILE, rc) << name << " byte " << byte;
        EXPECT_EQ(codes_t{(uint32_t)codes[byte]}, got) << name << " byte " << byte;
      }
    }
  }
}

TEST_F(ByteSets, EncodingMapsExactlyTheReferenceCodes)
{
  auto sets = load_reference();
  ASSERT_EQ(5u, sets.size());
  for (const auto &[name, codes] : sets) {
    std::map<uint32_t, int> byte_of;
    for (int byte = 0; byte < 256; byte++)
      if (codes[byte] >= 0) byte_of[(uint32_t)codes[byte]] = byte;
    TestCoder coder(name.c_str(), 0);
    ASSERT_EQ(0, coder.open_rc()) << name;
    // Every code up to U+2FFF covers all the sets map to, and many they do not.
    for (uint32_t code = 0; code < 0x3000; code++) {
      std::string out;
      qxio_t_error_code rc = coder.encode_all({code}, &out, 0);
      auto it = byte_of.find(code);
      if (it == byte_of.end()) {
        ASSERT_EQ(QXIO_E_ENCODING_UNMAPPABLE, rc) << name << " code " << code;
        out.clear();
        ASSERT_EQ(QXIO_E_END_OF_FILE, coder.encode_all({code}, &out, QXIO_CODER_REPLACE));
        ASSERT_EQ("\x1A", out) << name << " code " << code;
      } else {
        ASSERT_EQ(QXIO_E_END_OF_FILE, rc) << name << " code " << code;
        ASSERT_EQ(std::string(1, (char)it->second), out) << name << " code " << code;
      }
    }
  }
}

TEST_F(ByteSets, EuroSignPerSet)
{
  std::string out;
  TestCoder latin9("ISO-8859-15", 0);
  EXPECT_EQ(QXIO_E_END_OF_FILE, latin9.encode_all({0x20AC}, &out, 0));
  EXPECT_EQ("\xA4", out);
  EXPECT_EQ(QXIO_E_ENCODING_UNMAPPABLE, latin9.encode_all({0xA4}, &out, 0));
  out.clear();
  TestCoder latin1("ISO-8859-1", 0);
  EXPECT_EQ(QXIO_E_ENCODING_UNMAPPABLE, latin1.encode_all({0x20AC}, &out, 0));
  // The strict option is not consulted by the byte sets.
  EXPECT_EQ(QXIO_E_END_OF_FILE,
            latin1.encode_all({0x20AC}, &out, QXIO_CODER_REPLACE | QXIO_CODER_STRICT));
  EXPECT_EQ("\x1A", out);
}

TEST_F(ByteSets, UnmappedBytesAreInvalidWhateverTheOptions)
{
  codes_t got;
  size_t pos = 0;
  TestCoder cp1252("windows-1252", QXIO_CODER_OPEN_DECODE);
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, cp1252.decode_all("ab\x81", &got, REPLACE_ALL, &pos));
  EXPECT_EQ((codes_t{'a', 'b'}), got);
  EXPECT_EQ(2u, pos);
  TestCoder ascii("US-ASCII", QXIO_CODER_OPEN_DECODE);
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, ascii.decode_all("\x80", &got, REPLACE_ALL));
}

TEST_F(ByteSets, CodesOutsideTheWordRangeAreUnmappable)
{
  std::string out;
  TestCoder latin1("ISO-8859-1", 0);
  EXPECT_EQ(QXIO_E_ENCODING_UNMAPPABLE, latin1.encode_all({0xFFFFFFFFu}, &out, 0));
  EXPECT_EQ(QXIO_E_ENCODING_UNMAPPABLE, latin1.encode_all({0x100}, &out, 0));
}

// ---- Unicode property sets ----

struct property_set {
  const qxio_t_utf32_range *ranges;
  size_t count;
};

TEST(PropertySets, SizesAndBoundsAreThoseOfUnicodeFive)
{
  const struct {
    property_set set;
    size_t nranges;
    uint64_t ncodes;
  } sets[] = {
      {{qxio_non_private_abstract_char_set, qxio_non_private_abstract_char_set_count}, 428, 99089},
      {{qxio_nfc_quick_check_yes_and_defined_set, qxio_nfc_quick_check_yes_and_defined_set_count},
       475,
       97872},
  };
  for (const auto &s : sets) {
    ASSERT_EQ(s.nranges, s.set.count);
    uint64_t total = 0;
    for (size_t i = 0; i < s.set.count; i++) {
      ASSERT_LE(s.set.ranges[i].low, s.set.ranges[i].high);
      if (i > 0) {
        ASSERT_GT(s.set.ranges[i].low, s.set.ranges[i - 1].high + 1);
      }
      total += s.set.ranges[i].high - s.set.ranges[i].low + 1;
    }
    EXPECT_EQ(s.ncodes, total);
    EXPECT_EQ(0xE0100u, s.set.ranges[s.set.count - 1].low);
    EXPECT_EQ(0xE01EFu, s.set.ranges[s.set.count - 1].high);
  }
  EXPECT_EQ(0x036Fu, qxio_non_private_abstract_char_set[0].high);
  EXPECT_EQ(0x02FFu, qxio_nfc_quick_check_yes_and_defined_set[0].high);
}

TEST(PropertySets, MembershipAgreesWithALinearScan)
{
  const property_set sets[] = {
      {qxio_non_private_abstract_char_set, qxio_non_private_abstract_char_set_count},
      {qxio_nfc_quick_check_yes_and_defined_set, qxio_nfc_quick_check_yes_and_defined_set_count},
  };
  for (const auto &s : sets) {
    size_t range = 0;
    for (uint32_t code = 0; code <= 0x10FFFF; code++) {
      while (range < s.count && s.ranges[range].high < code) range++;
      int expected = range < s.count && s.ranges[range].low <= code;
      ASSERT_EQ(expected, qxio_utf32_set_member((qxio_t_wchar)code, s.ranges, s.count)) << code;
    }
  }
  EXPECT_EQ(0, qxio_utf32_set_member(-1, qxio_non_private_abstract_char_set,
                                     qxio_non_private_abstract_char_set_count));
  EXPECT_EQ(0, qxio_utf32_set_member('a', qxio_non_private_abstract_char_set, 0));
}

TEST(PropertySets, NfcStableCharactersAreAssignedCharacters)
{
  for (uint32_t code = 0; code <= 0x10FFFF; code++) {
    if (qxio_unicode_nfc_quick_check_yes((qxio_t_wchar)code) == 1) {
      ASSERT_EQ(1, qxio_unicode_non_private_abstract_char((qxio_t_wchar)code)) << code;
    }
  }
}

TEST(PropertySets, KnownCharacters)
{
  EXPECT_EQ(0, qxio_unicode_non_private_abstract_char(0xE000));  // private use
  EXPECT_EQ(0, qxio_unicode_non_private_abstract_char(0xFFFE));  // noncharacter
  EXPECT_EQ(0, qxio_unicode_non_private_abstract_char(0x0370));  // assigned after 5.0
  EXPECT_EQ(0, qxio_unicode_non_private_abstract_char(0xD800));  // surrogate
  EXPECT_EQ(1, qxio_unicode_non_private_abstract_char(0x037B));
  EXPECT_EQ(1, qxio_unicode_non_private_abstract_char(0x0007));   // controls are included
  EXPECT_EQ(0, qxio_unicode_non_private_abstract_char(0x1F600));  // emoji came later
  EXPECT_EQ(QXIO_E_ENCODING_UNMAPPABLE, qxio_unicode_non_private_abstract_char(0x110000));
  EXPECT_EQ(1, qxio_unicode_nfc_quick_check_yes('e'));
  EXPECT_EQ(0, qxio_unicode_nfc_quick_check_yes(0x0301));  // combining acute: Maybe
  EXPECT_EQ(0, qxio_unicode_nfc_quick_check_yes(0x0340));  // No
  EXPECT_EQ(1, qxio_unicode_nfc_quick_check_yes(0xE9));
  EXPECT_EQ(QXIO_E_ENCODING_UNMAPPABLE, qxio_unicode_nfc_quick_check_yes(-5));
}

}  // namespace
