// System properties, the environment copy and compact environments.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "budget_alloc.h"
#include "qxio.h"
#include "qxio_internal.h"
#include "test_child.h"

namespace {

std::string hex(const char *text)
{
  std::string out;
  char digits[3];
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
    snprintf(digits, sizeof digits, "%02x", *p);
    out += digits;
  }
  return out;
}

std::vector<std::string> entries_of(char **block)
{
  std::vector<std::string> entries;
  for (char **entry = block; *entry != nullptr; entry++) {
    std::string key = *entry;
    entries.push_back(key + "\n" + (*entry + key.size() + 1));
  }
  return entries;
}

// ---- a child process with a crafted environment ----

const char *const size_keys[] = {"S_K",   "S_M",    "S_G",    "S_ABC", "S_TAB", "S_NEGK",   "S_BIG",
                                 "S_MIN", "S_LONG", "S_NEG0", "S_1G",  "S_X",   "S_MISSING"};
const char *const boolean_keys[] = {"B_YES", "B_Y",    "B_TRUE",  "B_FALSE",
                                    "B_NO",  "B_LONG", "B_EMPTY", "B_MISSING"};

// Reports what the library answers about its own environment, one "KEY=answer" line each.
int report_environment(void)
{
  if (qxio_init_environment(0) < 0) return 2;
  if (qxio_set_system_property("TMPDIR", "/prop/tmp", 0) < 0) return 3;
  for (const char *key : size_keys) printf("%s=%d\n", key, qxio_get_ssize_system_property(key, -7));
  for (const char *key : boolean_keys)
    printf("%s=%d\n", key, qxio_get_boolean_system_property(key, 7));
  char value[200];
  for (const char *key : {"HIGH", "ACCENT", "NOEQ", "PATH"}) {
    size_t size = sizeof value;
    qxio_t_error_code rc = qxio_get_system_property(key, value, &size, 0);
    printf("%s=%d:%s:%zu\n", key, rc, rc == 0 ? hex(value).c_str() : "", size);
  }
  size_t size = 100;
  qxio_t_error_code long_rc = qxio_get_system_property("S_LONG", value, &size, 0);
  printf("S_LONG100=%d:%zu\n", long_rc, size);
  size = sizeof value;
  qxio_get_system_property("TMPDIR", value, &size, 0);
  printf("TMPDIR=%s\n", value);
  size = sizeof value;
  qxio_get_system_property("TMPDIR", value, &size, 0x2);
  printf("TMPDIR_ENV=%s\n", value);
  char **block = nullptr;
  if (qxio_get_system_properties(&block, &size, 0x8) < 0) return 4;
  for (char **entry = block; *entry != nullptr; entry++) printf("LIST %s\n", hex(*entry).c_str());
  qxio_free(block);
  qxio_init_environment(1);
  return 0;
}

const int report_environment_mode = qxio_test::child_mode("report-environment", report_environment);

std::vector<std::string> lines_of(const std::string &text)
{
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

std::vector<std::string> lines_starting(const std::vector<std::string> &lines,
                                        const std::string &prefix)
{
  std::vector<std::string> kept;
  for (const std::string &line : lines) {
    if (line.compare(0, prefix.size(), prefix) == 0) kept.push_back(line.substr(prefix.size()));
  }
  return kept;
}

std::string hex_of(const std::string &text) { return hex(text.c_str()); }

TEST(EnvironmentChild, CraftedEnvironmentAnswersAsSpecified)
{
  const std::string long_size = "5" + std::string(98, ' ') + "K";  // 100 bytes
  const std::string long_boolean = "yes" + std::string(97, ' ');   // 100 bytes
  const std::vector<std::string> env = {"PATH=/bin",
                                        "TMPDIR=/env/tmp",
                                        "HIGH=caf\xff",
                                        "ACCENT=\xc3\xa9",
                                        "S_K=64K",
                                        "S_M=- 3 m",
                                        "S_G=2G",
                                        "S_ABC=abc",
                                        "S_TAB=\t12 k",
                                        "S_NEGK=-2097152K",
                                        "S_BIG=2147483648",
                                        "S_MIN=-2147483648",
                                        "S_LONG=" + long_size,
                                        "S_NEG0=-",
                                        "S_1G=1g",
                                        "S_X=12x",
                                        "B_YES=Yes",
                                        "B_Y=y",
                                        "B_TRUE=TRUE",
                                        "B_FALSE=fALSE",
                                        "B_NO=no",
                                        "B_LONG=" + long_boolean,
                                        "B_EMPTY=",
                                        "NOEQ"};
  qxio_test::child_result child = qxio_test::run_child("report-environment", env);
  ASSERT_TRUE(WIFEXITED(child.status)) << child.err;
  ASSERT_EQ(0, WEXITSTATUS(child.status)) << child.err;
  std::vector<std::string> lines = lines_of(child.out);
  auto answer = [&](const std::string &key) {
    std::vector<std::string> found = lines_starting(lines, key + "=");
    return found.size() == 1 ? found[0] : "<" + std::to_string(found.size()) + " answers>";
  };
  EXPECT_EQ("65536", answer("S_K"));
  EXPECT_EQ("-3145728", answer("S_M"));
  EXPECT_EQ("-7", answer("S_G"));
  EXPECT_EQ("0", answer("S_ABC"));
  EXPECT_EQ("12288", answer("S_TAB"));
  EXPECT_EQ("-7", answer("S_NEGK"));
  EXPECT_EQ("-7", answer("S_BIG"));
  EXPECT_EQ("-2147483648", answer("S_MIN"));
  EXPECT_EQ("-7", answer("S_LONG"));
  EXPECT_EQ("0", answer("S_NEG0"));
  EXPECT_EQ("1073741824", answer("S_1G"));
  EXPECT_EQ("12", answer("S_X"));
  EXPECT_EQ("-7", answer("S_MISSING"));
  EXPECT_EQ("1", answer("B_YES"));
  EXPECT_EQ("7", answer("B_Y"));
  EXPECT_EQ("1", answer("B_TRUE"));
  EXPECT_EQ("0", answer("B_FALSE"));
  EXPECT_EQ("0", answer("B_NO"));
  EXPECT_EQ("7", answer("B_LONG"));
  EXPECT_EQ("7", answer("B_EMPTY"));
  EXPECT_EQ("7", answer("B_MISSING"));
  // the 0xFF byte sends the whole copy through the ISO-8859-1 fallback of the C locale: the
  // byte becomes C3 BF, and the UTF-8 "é" of another entry is read as two Latin-1 characters
  EXPECT_EQ("0:636166c3bf:6", answer("HIGH"));
  EXPECT_EQ("0:c383c2a9:5", answer("ACCENT"));
  EXPECT_EQ("0::1", answer("NOEQ"));
  EXPECT_EQ("0:2f62696e:5", answer("PATH"));
  EXPECT_EQ(std::to_string(QXIO_E_INSUFFICIENT_BUFFER) + ":101", answer("S_LONG100"));
  EXPECT_EQ("/prop/tmp", answer("TMPDIR"));
  EXPECT_EQ("/env/tmp", answer("TMPDIR_ENV"));

  // listed as key=value: the set property first, then the environment in its own order
  // without the entry the property hides
  std::vector<std::string> expected = {hex_of("TMPDIR=/prop/tmp")};
  for (const std::string &entry : env) {
    if (entry.compare(0, 7, "TMPDIR=") == 0) continue;
    std::string converted = entry;
    if (entry.compare(0, 5, "HIGH=") == 0) converted = "HIGH=caf\xc3\xbf";
    if (entry.compare(0, 7, "ACCENT=") == 0) converted = "ACCENT=\xc3\x83\xc2\xa9";
    if (entry == "NOEQ") converted = "NOEQ=";
    expected.push_back(hex_of(converted));
  }
  EXPECT_EQ(expected, lines_starting(lines, "LIST "));
}

TEST(EnvironmentChild, ValidUtf8EnvironmentIsCopiedUnchanged)
{
  const std::vector<std::string> env = {"PATH=/bin", "ACCENT=\xc3\xa9", "TMPDIR=/env/tmp"};
  qxio_test::child_result child = qxio_test::run_child("report-environment", env);
  ASSERT_TRUE(WIFEXITED(child.status)) << child.err;
  ASSERT_EQ(0, WEXITSTATUS(child.status)) << child.err;
  std::vector<std::string> lines = lines_of(child.out);
  EXPECT_EQ(std::vector<std::string>{"0:c3a9:3"}, lines_starting(lines, "ACCENT="));
  std::vector<std::string> expected = {hex_of("TMPDIR=/prop/tmp"), hex_of("PATH=/bin"),
                                       hex_of("ACCENT=\xc3\xa9")};
  EXPECT_EQ(expected, lines_starting(lines, "LIST "));
}

// ---- properties in this process ----

class Properties : public ::testing::Test {
protected:
  void SetUp() override
  {
    setenv("QXIO_TEST_TMPDIR", "/env/tmp", 1);
    unsetenv("QXIO_TEST_LATE");
    ASSERT_EQ(0, qxio_init_environment(0));
  }
  void TearDown() override
  {
    qxio_init_environment(1);
    unsetenv("QXIO_TEST_TMPDIR");
    unsetenv("QXIO_TEST_LATE");
  }
  std::string get(const char *key, uint32_t options = 0)
  {
    char value[256];
    size_t size = sizeof value;
    qxio_t_error_code rc = qxio_get_system_property(key, value, &size, options);
    return rc < 0 ? qxio_error_name(rc) : value;
  }
};

TEST_F(Properties, SetPropertyHidesTheEnvironment)
{
  EXPECT_EQ("/env/tmp", get("QXIO_TEST_TMPDIR"));
  ASSERT_EQ(0, qxio_set_system_property("QXIO_TEST_TMPDIR", "/prop/tmp", 0));
  EXPECT_EQ("/prop/tmp", get("QXIO_TEST_TMPDIR"));
  EXPECT_EQ("/prop/tmp", get("QXIO_TEST_TMPDIR", 0x1));
  EXPECT_EQ("/env/tmp", get("QXIO_TEST_TMPDIR", 0x2));
  EXPECT_EQ("QXIO_E_NOT_FOUND", get("QXIO_TEST_ABSENT"));
  EXPECT_EQ("QXIO_E_NOT_FOUND", get("HOME_NOT_SET_AS_PROPERTY", 0x1));
}

TEST_F(Properties, TooSmallBufferTellsTheSizeNeeded)
{
  ASSERT_EQ(0, qxio_set_system_property("K", "12345", 0));
  char value[6];
  size_t size = 5;
  EXPECT_EQ(QXIO_E_INSUFFICIENT_BUFFER, qxio_get_system_property("K", value, &size, 0));
  EXPECT_EQ(6u, size);
  EXPECT_EQ(0, qxio_get_system_property("K", value, &size, 0));
  EXPECT_STREQ("12345", value);
  size = 0;
  EXPECT_EQ(QXIO_E_INSUFFICIENT_BUFFER, qxio_get_system_property("K", nullptr, &size, 0));
  EXPECT_EQ(6u, size);
}

TEST_F(Properties, ResettingKeepsTheOrderOfFirstSetting)
{
  ASSERT_EQ(0, qxio_set_system_property("ONE", "1", 0));
  ASSERT_EQ(0, qxio_set_system_property("TWO", "2", 0));
  ASSERT_EQ(0, qxio_set_system_property("ONE", "uno", 0));
  ASSERT_EQ(0, qxio_set_system_property("TWO", "2", 0));
  char **block = nullptr;
  size_t size = 0;
  ASSERT_EQ(0, qxio_get_system_properties(&block, &size, 0x2));
  EXPECT_EQ((std::vector<std::string>{"ONE\nuno", "TWO\n2"}), entries_of(block));
  EXPECT_EQ(3 * sizeof(char *) + strlen("ONE") + strlen("uno") + strlen("TWO") + strlen("2") + 4,
            size);
  qxio_free(block);
  EXPECT_EQ(QXIO_E_PARAMETER_ERROR, qxio_set_system_property("X", nullptr, 0));
}

TEST_F(Properties, AllocatedCopiesOfShortAndLongValues)
{
  std::string long_value(300, 'v');
  ASSERT_EQ(0, qxio_set_system_property("SHORT", "s", 0));
  ASSERT_EQ(0, qxio_set_system_property("LONG", long_value.c_str(), 0));
  char *copy = qxio_get_system_property_allocate("SHORT", 0);
  EXPECT_STREQ("s", copy);
  qxio_free(copy);
  copy = qxio_get_system_property_allocate("LONG", 0);
  EXPECT_EQ(long_value, copy);
  qxio_free(copy);
  EXPECT_EQ(nullptr, qxio_get_system_property_allocate("QXIO_TEST_ABSENT", 0));
}

TEST_F(Properties, BooleansIgnoreLetterCase)
{
  const struct {
    const char *value;
    int answer;
  } cases[] = {{"yes", 1}, {"YES", 1}, {"True", 1}, {"fALSE", 0}, {"No", 0},
               {"y", 9},   {"1", 9},   {"yes ", 9}, {"", 9}};
  for (const auto &c : cases) {
    ASSERT_EQ(0, qxio_set_system_property("FLAG", c.value, 0));
    EXPECT_EQ(c.answer, qxio_get_boolean_system_property("FLAG", 9)) << '"' << c.value << '"';
  }
}

TEST_F(Properties, RefreshSeesLaterProcessChanges)
{
  setenv("QXIO_TEST_LATE", "late", 1);
  EXPECT_EQ("QXIO_E_NOT_FOUND", get("QXIO_TEST_LATE"));
  char value[16];
  size_t size = sizeof value;
  EXPECT_EQ(0, qxio_unix_getenv("QXIO_TEST_LATE", value, &size, 0x2));
  ASSERT_EQ(0, qxio_get_system_properties(nullptr, nullptr, 0x10));
  EXPECT_EQ("late", get("QXIO_TEST_LATE"));
}

TEST_F(Properties, ListingOptionsSelectAndShapeEntries)
{
  ASSERT_EQ(0, qxio_set_system_property("QXIO_TEST_TMPDIR", "/prop/tmp", 0));
  char **block = nullptr;
  size_t size = 0;
  auto count_key = [&](const char *key) {
    int n = 0;
    for (char **entry = block; *entry != nullptr; entry++) n += strcmp(*entry, key) == 0;
    return n;
  };
  ASSERT_EQ(0, qxio_get_system_properties(&block, &size, 0));
  EXPECT_EQ(1, count_key("QXIO_TEST_TMPDIR"));
  EXPECT_EQ(size, qxio_compact_env_size(block));
  qxio_free(block);
  ASSERT_EQ(0, qxio_get_system_properties(&block, &size, 0x1));
  EXPECT_EQ(2, count_key("QXIO_TEST_TMPDIR"));
  EXPECT_STREQ("/prop/tmp", block[0] + strlen(block[0]) + 1);
  qxio_free(block);
  ASSERT_EQ(0, qxio_get_system_properties(&block, &size, 0x4));
  EXPECT_EQ(1, count_key("QXIO_TEST_TMPDIR"));
  EXPECT_EQ(0, count_key("QXIO_TEST_ABSENT"));
  qxio_free(block);
  ASSERT_EQ(0, qxio_get_system_properties(&block, &size, 0x4 | 0x8));
  bool found = false;
  for (char **entry = block; *entry != nullptr; entry++)
    found |= strcmp(*entry, "QXIO_TEST_TMPDIR=/env/tmp") == 0;
  EXPECT_TRUE(found);
  qxio_free(block);
}

TEST_F(Properties, EnvironmentAccessOptions)
{
  char **block = nullptr;
  size_t size = 0;
  EXPECT_EQ(QXIO_E_PARAMETER_ERROR, qxio_unix_get_environ(&block, &size, 0));
  EXPECT_EQ(QXIO_E_PARAMETER_ERROR, qxio_unix_get_environ(&block, &size, 0x2 | 0x1));
  EXPECT_EQ(QXIO_E_PARAMETER_ERROR, qxio_unix_get_environ(&block, &size, 0x2 | 0x4));
  ASSERT_EQ(0, qxio_unix_get_environ(&block, &size, 0x2));  // a fresh copy, the caller's
  EXPECT_EQ(std::vector<std::string>{"/env/tmp"}, [&] {
    std::vector<std::string> values;
    for (char **entry = block; *entry != nullptr; entry++)
      if (strcmp(*entry, "QXIO_TEST_TMPDIR") == 0) values.push_back(*entry + strlen(*entry) + 1);
    return values;
  }());
  qxio_free(block);
  char **owned = nullptr;
  ASSERT_EQ(0, qxio_unix_get_environ(&owned, &size, 0x1));  // the library's own copy
  char **again = nullptr;
  ASSERT_EQ(0, qxio_unix_get_environ(&again, &size, 0x1));
  EXPECT_EQ(owned, again);
}

TEST_F(Properties, GetenvWithoutACopy)
{
  qxio_init_environment(1);
  char value[32];
  size_t size = sizeof value;
  EXPECT_EQ(QXIO_E_INVALID_STATE, qxio_unix_getenv("QXIO_TEST_TMPDIR", value, &size, 0x1));
  EXPECT_EQ(0, qxio_unix_getenv("QXIO_TEST_TMPDIR", value, &size, 0));
  EXPECT_STREQ("/env/tmp", value);
  EXPECT_EQ("/env/tmp", get("QXIO_TEST_TMPDIR"));
}

/* The start is made to fail at each of its allocations in turn: a failed start keeps nothing
   (no copy of the environment, no allocation), without a stop to clean up after it. */
TEST(EnvironmentStart, StartThatRunsOutOfMemoryKeepsNothing)
{
  qxio_init_environment(1);
  bool started = false;
  for (long limit = 0; limit < 100 && !started; limit++) {
    qxio_test::Budget budget;
    budget.remaining = limit;
    qxio_t_error_code rc;
    {
      qxio_test::BudgetScope scope(&budget);
      rc = qxio_init_environment(0);
      started = rc == 0;
      if (started) qxio_init_environment(1);
    }
    EXPECT_EQ(budget.allocations, budget.frees) << "limit " << limit;
    if (started) break;
    EXPECT_EQ(QXIO_E_OUT_OF_MEMORY, rc) << "limit " << limit;
    char value[8];
    size_t size = sizeof value;
    EXPECT_EQ(QXIO_E_INVALID_STATE, qxio_unix_getenv("PATH", value, &size, 0x1))
        << "limit " << limit;
  }
  EXPECT_TRUE(started);
}

TEST(Charset, CLocaleNamesAscii)
{
  char *name = nullptr;
  ASSERT_EQ(0, qxio_unix_default_charset(&name, 0));
  EXPECT_STREQ("ANSI_X3.4-1968", name);
  qxio_free(name);
}

// ---- compact environments ----

TEST(CompactEnv, BuildFromPairsOrKeyEqualsValue)
{
  const char *const pairs[] = {"A\0one", "BB\0", nullptr};
  char **block = nullptr;
  size_t size = 0;
  ASSERT_EQ(0, qxio_make_compact_env(pairs, &block, &size, 0));
  EXPECT_EQ((std::vector<std::string>{"A\none", "BB\n"}), entries_of(block));
  EXPECT_EQ(3 * sizeof(char *) + 6 + 4, size);
  qxio_free(block);
  const char *const texts[] = {"A=one", "BB=", "C=x=y", nullptr};
  ASSERT_EQ(0, qxio_make_compact_env(texts, &block, &size, 0x1));
  EXPECT_EQ((std::vector<std::string>{"A\none", "BB\n", "C\nx=y"}), entries_of(block));
  EXPECT_EQ(4 * sizeof(char *) + 6 + 4 + 6, size);
  qxio_free(block);
  const char *const no_equals[] = {"A=1", "B", nullptr};
  EXPECT_EQ(QXIO_E_PARAMETER_ERROR, qxio_make_compact_env(no_equals, &block, &size, 0x1));
  const char *const leading_equals[] = {"=v", nullptr};
  EXPECT_EQ(QXIO_E_PARAMETER_ERROR, qxio_make_compact_env(leading_equals, &block, &size, 0x1));
}

struct compact {
  char **block = nullptr;
  size_t size = 0;
  explicit compact(std::initializer_list<const char *> texts)
  {
    std::vector<const char *> list(texts);
    list.push_back(nullptr);
    qxio_make_compact_env(list.data(), &block, &size, 0x1);
  }
  ~compact() { qxio_free(block); }
};

TEST(CompactEnv, MergeLetsTheFirstHideTheSecond)
{
  compact a{"B=a1", "A=a2"}, b{"C=b1", "B=b2", "A=b3"};
  char **merged = nullptr;
  size_t size = 0;
  ASSERT_EQ(0, qxio_merge_compact_envs(a.block, a.size, b.block, b.size, &merged, &size, 0));
  EXPECT_EQ((std::vector<std::string>{"A\na2", "B\na1", "C\nb1"}), entries_of(merged));
  qxio_free(merged);
  ASSERT_EQ(0, qxio_merge_compact_envs(a.block, a.size, b.block, b.size, &merged, &size, 0x4));
  EXPECT_EQ((std::vector<std::string>{"B\na1", "A\na2", "C\nb1"}), entries_of(merged));
  qxio_free(merged);
  ASSERT_EQ(0, qxio_merge_compact_envs(a.block, a.size, b.block, b.size, &merged, &size, 0x1));
  EXPECT_EQ((std::vector<std::string>{"A\na2", "A\nb3", "B\na1", "B\nb2", "C\nb1"}),
            entries_of(merged));
  qxio_free(merged);
  ASSERT_EQ(0,
            qxio_merge_compact_envs(a.block, a.size, b.block, b.size, &merged, &size, 0x1 | 0x4));
  EXPECT_EQ((std::vector<std::string>{"B\na1", "A\na2", "C\nb1", "B\nb2", "A\nb3"}),
            entries_of(merged));
  qxio_free(merged);
  EXPECT_EQ(QXIO_E_PARAMETER_ERROR,
            qxio_merge_compact_envs(a.block, a.size, b.block, b.size, &merged, &size, 0x2 | 0x4));
}

TEST(CompactEnv, KeyOrderPutsInternalNulFirstAndPrefixesBeforeLongerKeys)
{
  EXPECT_EQ(0, qxio_compare_environment_keys("PATH", "PATH"));
  EXPECT_EQ(-1, qxio_compare_environment_keys("AB", "ABC"));
  EXPECT_EQ(1, qxio_compare_environment_keys("ABC", "AB"));
  EXPECT_EQ(-1, qxio_compare_environment_keys("A\xc0\x80", "A\x01"));
  EXPECT_EQ(1, qxio_compare_environment_keys("A\x01", "A\xc0\x80"));
  EXPECT_EQ(-1, qxio_compare_environment_keys("A\xc0\x80Z", "A\xc0\x81"));
  EXPECT_EQ(1, qxio_compare_environment_keys("a\xff", "a\x7f"));  // unsigned bytes
  EXPECT_EQ(-1, qxio_compare_environment_keys("A", "A\xc0\x80"));
}

}  // namespace
