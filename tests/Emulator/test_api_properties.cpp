/* System properties and the environment API: start options before and after the memory manager
 * starts, malformed option blocks, values longer than the first buffer, boolean and size
 * settings, listings, the flags of qx_getenv_internal, and "$getenv"/2 in a child whose
 * environment the test wrote. Every value handed out is freed (the fixture checks the count). */
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gc.h"
#include "memman.h"
#include "orvalis.h"
#include "qxio.h"
#include "test_fork.h"
#include "test_prolog.h"

extern char **environ;

namespace {

QX_option_ prop(const char *key, const char *value)
{
  QX_option_ o{};
  o.type = QX_OPTION_PROP;
  o.prop.key = key;
  o.prop.value = value;
  return o;
}

QX_option_ reserved_option()
{
  QX_option_ o{};
  o.type = QX_OPTION_RESERVED;
  return o;
}

/* A lookup into a buffer of the given room: the value, or "<code>" and the size reported. */
std::string lookup(const char *key, size_t room, int mode, size_t *needed = nullptr)
{
  std::vector<char> buffer(room + 1, '#');
  size_t size = room;
  int rc = qx_get_system_property_internal(key, buffer.data(), &size, nullptr, mode);
  if (needed) *needed = size;
  return rc == 0 ? std::string(buffer.data()) : "<" + std::to_string(rc) + ">";
}

/* Start options live only until the memory manager runs: these tests start it themselves. */
TEST(ApiStartOptions, FoundBeforeTheMemoryManagerStartsAndAfterwardsAsAProperty)
{
  ASSERT_EQ(qxio_init(nullptr, nullptr, 0), 0);
  ASSERT_EQ(qxio_set_system_property("QX_T_OPT", "library", 0), 0);
  QX_option_ options[] = {reserved_option(), prop("QX_T_OPT", "from-options")};
  QX_options_ block{QX_OPTIONS_VERSION, 2, options};
  ASSERT_EQ(QX_set_initial_options(&block), 1);
  size_t needed = 0;
  EXPECT_EQ(lookup("QX_T_OPT", 64, 0, &needed), "from-options") << "the options come first";
  EXPECT_EQ(needed, 13u);
  EXPECT_EQ(lookup("QX_T_OPT", 12, 0, &needed), "<-10003>");
  EXPECT_EQ(needed, 13u);
  EXPECT_EQ(lookup("QX_T_OPT", 64, 1), "<-10008>") << "environment only";
  char *value = nullptr;
  EXPECT_EQ(qx_get_system_property_internal("QX_T_OPT", nullptr, nullptr, &value, 0),
            QXIO_E_INTERNAL_ERROR)
      << "no block of its own before the memory manager runs";

  ASSERT_EQ(memman_init(), 0);
  EXPECT_EQ(QX_set_initial_options(&block), 0) << "too late to be applied";
  EXPECT_EQ(qx_apply_initial_options(), 0);
  options[1].prop.value = "changed"; /* the block is forgotten */
  EXPECT_EQ(lookup("QX_T_OPT", 64, 0), "from-options");
  char buffer[64];
  size_t size = sizeof buffer;
  ASSERT_EQ(qxio_get_system_property("QX_T_OPT", buffer, &size, 1), 0);
  EXPECT_STREQ(buffer, "from-options") << "a set property now";
  ASSERT_EQ(QX_get_system_property("QX_T_OPT", &value, 0), 0);
  EXPECT_STREQ(value, "from-options");
  QX_free(value);
  EXPECT_EQ(qx_space_in_use(QX_SPACE_FOREIGN), 0u);
  memman_deinit();
  EXPECT_EQ(qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN), 0);
}

TEST(ApiStartOptions, MalformedBlocksAreRefusedAndKeepTheRecordedOne)
{
  QX_option_ good[] = {prop("QX_T_KEPT", "kept")};
  QX_option_ null_key[] = {prop(nullptr, "v")};
  QX_option_ null_value[] = {prop("k", nullptr)};
  QX_option_ unknown_type[] = {reserved_option()};
  unknown_type[0].type = 3;
  QX_option_ reserved_only[] = {reserved_option(), reserved_option()};
  struct {
    const char *what;
    QX_options_ block;
    int accepted;
  } rows[] = {
      {"version 0x40101", {0x40101, 1, good}, 0},
      {"version 0", {0, 1, good}, 0},
      {"version 0x30001", {0x30001, 1, good}, 0},
      {"type 2 with a null key", {QX_OPTIONS_VERSION, 1, null_key}, 0},
      {"type 2 with a null value", {QX_OPTIONS_VERSION, 1, null_value}, 0},
      {"type 3", {QX_OPTIONS_VERSION, 1, unknown_type}, 0},
      {"no array but a count", {QX_OPTIONS_VERSION, 1, nullptr}, 0},
      {"no array and no count", {QX_OPTIONS_VERSION, 0, nullptr}, 1},
      {"reserved options only", {QX_OPTIONS_VERSION, 2, reserved_only}, 1},
  };
  QX_options_ kept{QX_OPTIONS_VERSION, 1, good};
  for (auto &row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_EQ(QX_set_initial_options(&kept), 1);
    EXPECT_EQ(QX_set_initial_options(&row.block), row.accepted);
    EXPECT_EQ(lookup("QX_T_KEPT", 64, 0), row.accepted ? "<-10008>" : "kept");
  }
  EXPECT_EQ(QX_set_initial_options(nullptr), 1);
  EXPECT_EQ(lookup("QX_T_KEPT", 64, 0), "<-10008>");
}

class ApiProperties : public ::testing::Test {
protected:
  ApiProperties()
  {
    EXPECT_EQ(memman_init(), 0);
    EXPECT_EQ(qxio_init(nullptr, nullptr, 0), 0);
  }
  ~ApiProperties() override
  {
    EXPECT_EQ(qx_space_in_use(QX_SPACE_FOREIGN), 0u) << "every value handed out was freed";
    qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN);
    memman_deinit();
  }
  /* Sets an environment variable and refreshes the library's copy of the environment. */
  static void set_environment(const char *key, const char *value)
  {
    setenv(key, value, 1);
    ASSERT_EQ(qxio_get_system_properties(nullptr, nullptr, 0x10), 0);
  }
  /* The library has no removal of one property: start its environment module afresh. */
  static void forget_properties()
  {
    EXPECT_EQ(qxio_init_environment(1), 0);
    EXPECT_EQ(qxio_init_environment(0), 0);
  }
  /* The value through the public API, or "<code>". */
  static std::string get(const char *key, int flags = 0)
  {
    char *value = nullptr;
    int rc = QX_get_system_property(key, &value, flags);
    if (rc != 0) return "<" + std::to_string(rc) + ">";
    std::string text = value;
    QX_free(value);
    return text;
  }
};

TEST_F(ApiProperties, ValuesLongerThanTheFirstBufferComeBackWholeAfterOneRetry)
{
  /* The block handed out has exactly the size the lookup asked for: 20 bytes at first, then
   * what the library reported; each carries the allocator's 8-byte header. */
  struct {
    size_t length;
    size_t block;
  } rows[] = {{0, 20}, {19, 20}, {20, 21}, {40, 41}, {1000, 1001}};
  for (auto &row : rows) {
    std::string text(row.length, 'v');
    for (size_t i = 0; i < row.length; i++) text[i] = (char)('a' + i % 26);
    ASSERT_EQ(QX_set_system_property("QX_T_LONG", text.c_str(), 0), 0);
    char *value = nullptr;
    ASSERT_EQ(QX_get_system_property("QX_T_LONG", &value, 0), 0);
    EXPECT_EQ(std::string(value), text);
    EXPECT_EQ(qx_space_in_use(QX_SPACE_FOREIGN), row.block + 8) << row.length;
    QX_free(value);
  }
  EXPECT_EQ(get("QX_T_ABSENT"), "<-10008>");
}

TEST_F(ApiProperties, BooleanAndSizeSettingsFallBackToTheirDefaults)
{
  struct {
    const char *value; /* null: unset */
    int boolean;
  } booleans[] = {{"Yes", 1}, {"nO", 0},   {"YES", 1},  {"no", 0},   {"y", 7},
                  {"", 7},    {"yes ", 7}, {"true", 7}, {nullptr, 7}};
  for (auto &row : booleans) {
    if (row.value)
      ASSERT_EQ(QX_set_system_property("QX_T_BOOL", row.value, 0), 0);
    else
      forget_properties();
    EXPECT_EQ(get_boolean("QX_T_BOOL", 7), row.boolean) << (row.value ? row.value : "unset");
  }
  struct {
    const char *value;
    size_t dflt, size;
  } sizes[] = {{"1K", 1000, 4096},  {"8K", 1000, 8192},      {"2M", 1000, 2097152},
               {"abc", 1000, 4096}, {nullptr, 10000, 10000}, {"5G", 10000, 10000}};
  for (auto &row : sizes) {
    if (row.value)
      ASSERT_EQ(QX_set_system_property("QX_T_SIZE", row.value, 0), 0);
    else
      forget_properties();
    EXPECT_EQ(get_stack_size("QX_T_SIZE", row.dflt, 4096), row.size)
        << (row.value ? row.value : "unset");
  }
  /* get_boolean_property does not look at the environment. */
  set_environment("QX_T_BOOL_ENV", "yes");
  EXPECT_EQ(get_boolean("QX_T_BOOL_ENV", 7), 1);
  EXPECT_EQ(get_boolean_property("QX_T_BOOL_ENV", 7), 7);
  ASSERT_EQ(QX_set_system_property("QX_T_BOOL_ENV", "no", 0), 0);
  EXPECT_EQ(get_boolean_property("QX_T_BOOL_ENV", 7), 0);
  unsetenv("QX_T_BOOL_ENV");
}

TEST(ApiSettings, TextsOfBooleansAndSizes)
{
  struct {
    const char *text;
    int rc;
    size_t value;
  } sizes[] = {{"64M", 0, 67108864},
               {" \t12 k", 0, 12288},
               {"4194303K", 0, 4294966272u},
               {"4194304K", -20001, 0},
               {"4095m", 0, 4293918720u},
               {"4096M", -20001, 0},
               {"3G", 0, 3221225472u},
               {"4g", -20001, 0},
               {"4294967295", 0, 4294967295u},
               {"4294967296", -20001, 0},
               {"99999999999999999999", -20001, 0},
               {"12x", 0, 12},
               {"0", 0, 0},
               {"abc", -20001, 0},
               {"", -20001, 0},
               {"-5", -20001, 0}};
  for (auto &row : sizes) {
    size_t value = 12345;
    EXPECT_EQ(str_to_size(row.text, &value), row.rc) << row.text;
    if (row.rc == 0) {
      EXPECT_EQ(value, row.value) << row.text;
    }
  }
  struct {
    const char *text;
    int rc, value;
  } booleans[] = {{"yes", 0, 1},
                  {"YeS", 0, 1},
                  {"NO", 0, 0},
                  {"n", QXIO_E_ERROR, 0},
                  {"yess", QXIO_E_ERROR, 0},
                  {"", QXIO_E_ERROR, 0},
                  {"on", QXIO_E_ERROR, 0}};
  for (auto &row : booleans) {
    int value = -1;
    EXPECT_EQ(str_to_boolean(row.text, &value), row.rc) << row.text;
    if (row.rc == 0) {
      EXPECT_EQ(value, row.value) << row.text;
    }
  }
  int value = 0;
  EXPECT_EQ(str_to_boolean(nullptr, &value), QXIO_E_ERROR);
}

/* The entry of key in a listing, as the raw bytes up to the end of its value. */
std::string entry_of(char **block, const char *key)
{
  size_t key_length = std::strlen(key);
  for (char **entry = block; *entry; entry++) {
    if (std::strncmp(*entry, key, key_length) != 0) continue;
    char separator = (*entry)[key_length];
    if (separator != '=' && separator != '\0') continue;
    const char *value = *entry + key_length + 1;
    return std::string(*entry, key_length) + (separator ? "=" : "\\0") + value;
  }
  return "<none>";
}

TEST_F(ApiProperties, ListingsSeparateKeysAndValuesAsAskedAndNameTheirSources)
{
  ASSERT_EQ(QX_set_system_property("QX_T_LIST", "v1", 0), 0);
  set_environment("QX_T_LIST_ENV", "e1");
  struct {
    int flags;
    const char *property, *environment;
  } rows[] = {{0, "QX_T_LIST=v1", "<none>"},
              {1, "QX_T_LIST\\0v1", "<none>"},
              {2, "QX_T_LIST=v1", "QX_T_LIST_ENV=e1"},
              {3, "QX_T_LIST\\0v1", "QX_T_LIST_ENV\\0e1"},
              {6, "<none>", "QX_T_LIST_ENV=e1"}};
  for (auto &row : rows) {
    char **block = nullptr;
    ASSERT_EQ(QX_system_properties(&block, row.flags), 0) << row.flags;
    EXPECT_EQ(entry_of(block, "QX_T_LIST"), row.property) << row.flags;
    EXPECT_EQ(entry_of(block, "QX_T_LIST_ENV"), row.environment) << row.flags;
    QX_free(block);
  }
  EXPECT_EQ(QX_system_properties(nullptr, 2), 0) << "computed and discarded";
  char **copy = QX_copy_environ();
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(entry_of(copy, "QX_T_LIST"), "QX_T_LIST=v1");
  QX_free(copy);
  unsetenv("QX_T_LIST_ENV");
}

TEST_F(ApiProperties, SetenvAnswersZeroAndGetenvReadsItBack)
{
  EXPECT_EQ(QX_setenv("QX_T_SET", "value"), 0);
  char *value = QX_getenv("QX_T_SET");
  ASSERT_NE(value, nullptr);
  EXPECT_STREQ(value, "value");
  QX_free(value);
  EXPECT_EQ(QX_getenv("QX_T_ABSENT"), nullptr);
  qx_set_errno(0);
  EXPECT_EQ(QX_setenv(nullptr, "v"), 1);
  EXPECT_EQ(QX_get_errno(), QX_ERR_NULL_STRING);
  qx_set_errno(0);
  EXPECT_EQ(QX_getenv(nullptr), nullptr);
  EXPECT_EQ(QX_get_errno(), QX_ERR_NULL_STRING);
  EXPECT_EQ(QX_get_system_property(nullptr, &value, 0), QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(value, nullptr);
}

TEST_F(ApiProperties, GetenvInternalFlagsChooseEncodingAndSources)
{
  ASSERT_EQ(QX_set_system_property("QX_T_RAW", "a\xFF", 0), 0);
  ASSERT_EQ(QX_set_system_property("QX_T_TEXT", "value", 0), 0);
  set_environment("QX_T_ENV_ONLY", "env");
  struct {
    const char *key;
    int flags;
    const char *value; /* null: no value */
  } rows[] = {{"QX_T_TEXT", 0, nullptr},         {"QX_T_TEXT", 1, "value"},
              {"QX_T_TEXT", 2, "value"},         {"QX_T_RAW", 1, nullptr},
              {"QX_T_RAW", 2, "a\xFF"},          {"QX_T_RAW", 3, "a\xFF"},
              {"QX_T_ENV_ONLY", 1, "env"},       {"QX_T_ENV_ONLY", 1 | 4, nullptr},
              {"QX_T_TEXT", 1 | 8, nullptr},     {"QX_T_ENV_ONLY", 1 | 8, "env"},
              {"QX_T_TEXT", 1 | 4 | 8, nullptr}, {"QX_T_ABSENT", 3, nullptr}};
  for (auto &row : rows) {
    SCOPED_TRACE(std::string(row.key) + " flags " + std::to_string(row.flags));
    char *value = qx_getenv_internal(row.key, nullptr, nullptr, row.flags);
    EXPECT_EQ(value ? std::string(value) : "<null>", row.value ? row.value : "<null>");
    QX_free(value);
    /* The same into a caller's buffer, which is answered itself. */
    char buffer[16];
    size_t size = sizeof buffer;
    value = qx_getenv_internal(row.key, buffer, &size, row.flags);
    EXPECT_EQ(value ? std::string(value) : "<null>", row.value ? row.value : "<null>");
    if (value) {
      EXPECT_EQ(value, buffer);
    }
  }
  char small[3];
  size_t size = sizeof small;
  EXPECT_EQ(qx_getenv_internal("QX_T_TEXT", small, &size, 1), nullptr);
  EXPECT_EQ(size, 6u) << "the size needed";
  size = sizeof small;
  EXPECT_EQ(qx_getenv_anyenc("QX_T_RAW", small, &size), small);
  EXPECT_EQ(qx_checkenv("QX_T_TEXT"), 1);
  EXPECT_EQ(qx_checkenv("QX_T_ENV_ONLY"), 1);
  EXPECT_EQ(qx_checkenv("QX_T_ABSENT"), 0);
  unsetenv("QX_T_ENV_ONLY");
}

/* A child whose whole environment the test wrote answers "$getenv"/2 from it: the library's
 * copy reads a value that is not UTF-8 as ISO-8859-1, and values of any length come back. */
TEST(ApiGetenvBuiltin, AnswersFromTheEnvironmentTheChildWasGiven)
{
  const std::string long_value = "abcdefghijklmnopqrstuvwxyz0123"; /* 30 bytes */
  forked_child child = run_forked([&] {
    std::string ff = "QX_T_FF=a\xFF"
                     "b",
                lng = "QX_T_LONG=" + long_value, empty = "QX_T_EMPTY=";
    static char *crafted[4];
    crafted[0] = ff.data();
    crafted[1] = lng.data();
    crafted[2] = empty.data();
    crafted[3] = nullptr;
    environ = crafted;
    std::string report;
    {
      TestProlog p;
      for (const char *key : {"QX_T_FF", "QX_T_LONG", "QX_T_EMPTY", "QX_T_ABSENT", "PATH"}) {
        TAGGED v = p.TestEngine::var();
        qx_gc_root keep(&v); /* the query may collect */
        TAGGED goal = p.compound("$getenv", {p.atom(key), v});
        int r = qx_call_once(p.w, goal, qx_eg.user_module);
        report +=
            std::string(key) + (r == 1 ? "=" + std::string(atom_name(deref(v))) : ":fails") + ";";
      }
      TAGGED goal = p.compound("$getenv", {MakeSmall(1), p.TestEngine::var()});
      report += qx_call_once(p.w, goal, qx_eg.user_module) == 1 ? "number:answers" : "number:fails";
    }
    return report;
  });
  EXPECT_TRUE(child.exited(0)) << child.status << child.err;
  EXPECT_EQ(child.report, "QX_T_FF=a\xC3\xBF"
                          "b;QX_T_LONG=" +
                              long_value +
                              ";QX_T_EMPTY=;QX_T_ABSENT:fails;PATH:fails;number:fails");
}

}  // namespace
