#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "test_engine.h"
#include "qxio.h"
#include "wcx.h"
#include "scratch_root.h"

namespace {

/* Switches LC_CTYPE for the test and back. */
class CtypeLocale {
public:
  explicit CtypeLocale(const char *name)
  {
    old_ = std::setlocale(LC_CTYPE, nullptr);
    ok_ = std::setlocale(LC_CTYPE, name) != nullptr;
  }
  ~CtypeLocale() { std::setlocale(LC_CTYPE, old_.c_str()); }
  bool ok() const { return ok_; }

private:
  std::string old_;
  bool ok_;
};

std::string encode(int32_t code)
{
  char buf[8];
  int n = QX_code_wci(buf, code);
  return std::string(buf, n);
}

/* The class of a code as the character table of the reader lists it, built from the lists. */
struct ClassOracle {
  int8_t table[256];
  ClassOracle()
  {
    for (int c = 0; c < 256; c++) table[c] = CH_WHITE;
    for (int c = 'a'; c <= 'z'; c++) table[c] = CH_LC;
    for (int c = 'A'; c <= 'Z'; c++) table[c] = CH_UC;
    for (int c = '0'; c <= '9'; c++) table[c] = CH_DIGIT;
    for (const char *p = "#$&*+-./:<=>?@^\\~"; *p; p++) table[(unsigned char)*p] = CH_SYMBOL;
    const struct {
      char c;
      CH_type t;
    } single[] = {{'!', CH_BANG},    {'|', CH_BAR},        {',', CH_COMMA},    {'"', CH_DQUOTE},
                  {'(', CH_LPAR},    {'{', CH_LBRACE},     {'[', CH_LBRACK},   {'%', CH_PERCENT},
                  {')', CH_RPAR},    {'}', CH_RBRACE},     {']', CH_RBRACK},   {';', CH_SEMICOLON},
                  {'\'', CH_SQUOTE}, {'_', CH_UNDERSCORE}, {'`', CH_BACKQUOTE}};
    for (auto &s : single) table[(unsigned char)s.c] = s.t;
    span(161, 169, CH_SYMBOL);
    span(171, 185, CH_SYMBOL);
    span(187, 191, CH_SYMBOL);
    table[215] = table[247] = CH_SYMBOL;
    table[170] = table[186] = CH_LC;
    span(223, 246, CH_LC);
    span(248, 255, CH_LC);
    span(192, 214, CH_UC);
    span(216, 222, CH_UC);
  }
  void span(int from, int to, CH_type t)
  {
    for (int c = from; c <= to; c++) table[c] = t;
  }
  int operator()(int32_t code) const
  {
    if (code == -1) return CH_WHITE;
    if (code >= 0 && code < 256) return table[code];
    if (code == 0x200E || code == 0x200F || code == 0x2028 || code == 0x2029) return CH_WHITE;
    return CH_UNDECIDED;
  }
};

}  // namespace

TEST(Wcx, EveryUnicodeCodeRoundTripsAsUtf8)
{
  CtypeLocale loc("C.UTF-8");
  ASSERT_TRUE(loc.ok());
  char buf[8], ref[MB_LEN_MAX];
  for (int32_t code = 1; code <= 0x10FFFF; code++) {
    int n = QX_code_wci(buf, code);
    ASSERT_EQ(n, QX_wci_len(code)) << code;
    if (code < 0xD800 || code > 0xDFFF) {
      /* the C library's encoder is the oracle for the Unicode range */
      std::mbstate_t st{};
      size_t m = std::wcrtomb(ref, (wchar_t)code, &st);
      ASSERT_EQ((size_t)n, m) << code;
      ASSERT_EQ(std::memcmp(buf, ref, m), 0) << code;
    }
    buf[n] = 0;
    int32_t back = -5;
    ASSERT_EQ(QX_wci_code(&back, buf), n) << code;
    ASSERT_EQ(back, code);
    ASSERT_EQ(wci_valid_string(buf), 1) << code;
  }
}

TEST(Wcx, CodesBeyondUnicodeUseFiveAndSixBytes)
{
  const struct {
    int32_t code;
    const char *bytes;
  } table[] = {{0x110000, "\xF4\x90\x80\x80"},          {0x1FFFFF, "\xF7\xBF\xBF\xBF"},
               {0x200000, "\xF8\x88\x80\x80\x80"},      {0x3FFFFFF, "\xFB\xBF\xBF\xBF\xBF"},
               {0x4000000, "\xFC\x84\x80\x80\x80\x80"}, {0x7FFFFFFF, "\xFD\xBF\xBF\xBF\xBF\xBF"},
               {0x12345678, "\xFC\x92\x8D\x85\x99\xB8"}};
  for (auto &t : table) {
    EXPECT_EQ(encode(t.code), t.bytes) << std::hex << t.code;
    EXPECT_EQ(QX_wci_len(t.code), (int)std::strlen(t.bytes));
    int32_t back = 0;
    EXPECT_EQ(QX_wci_code(&back, t.bytes), (int)std::strlen(t.bytes));
    EXPECT_EQ(back, t.code);
  }
  std::mt19937 rng(7);
  for (int i = 0; i < 200000; i++) {
    int32_t code = (int32_t)(rng() & 0x7FFFFFFF);
    std::string s = encode(code);
    int32_t back = 0;
    ASSERT_EQ(QX_wci_code(&back, s.c_str()), (int)s.size());
    ASSERT_EQ(back, code);
  }
}

TEST(Wcx, CodeZeroIsTwoBytes)
{
  EXPECT_EQ(encode(0), "\xC0\x80");
  EXPECT_EQ(QX_wci_len(0), 2);
  int32_t code = -1;
  EXPECT_EQ(QX_wci_code(&code, "\xC0\x80"), 2);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(wci_valid_string("a\xC0\x80"
                             "b"),
            1);
  /* the terminating NUL is not a character */
  EXPECT_EQ(QX_wci_code(&code, ""), 0);
  EXPECT_EQ(QX_wci_len(-3), 0);
  char buf[8] = "zzzzzzz";
  EXPECT_EQ(QX_code_wci(buf, -3), 0);
  EXPECT_EQ(buf[0], 'z');
}

TEST(Wcx, MalformedSequencesAreRejected)
{
  const char *bad[] = {"\xC0\x81",
                       "\xC0\xBF",
                       "\xC1\xBF",
                       "\xC0",
                       "\xE0\x80\x80",
                       "\xE0\x9F\xBF",
                       "\xF0\x80\x80\x80",
                       "\xF0\x8F\xBF\xBF",
                       "\xF8\x80\x80\x80\x80",
                       "\xF8\x87\xBF\xBF\xBF",
                       "\xFC\x80\x80\x80\x80\x80",
                       "\xFC\x83\xBF\xBF\xBF\xBF", /* overlong */
                       "\x80",
                       "\xBF",
                       "a\x80",
                       "\xC3\xA9\xA9", /* stray continuation */
                       "\xC3",
                       "\xE2\x98",
                       "\xE2\x98z",
                       "\xF4\x8F\xBF",
                       "\xFD\xBF\xBF\xBF\xBF", /* truncated */
                       "\xFE",
                       "\xFF",
                       "\xFE\x80\x80\x80\x80\x80\x80",
                       "ok\xFF"};
  for (const char *t : bad)
    EXPECT_EQ(wci_valid_string(t), 0) << testing::PrintToString(std::string(t));
  int32_t code;
  EXPECT_EQ(QX_wci_code(&code, "\xC1\xBF"), 0);
  EXPECT_EQ(QX_wci_code(&code, "\xBF"), 0);
  EXPECT_EQ(QX_wci_code(&code, "\xE2\x98"), 0);
  EXPECT_EQ(QX_wci_code(&code, "\xFF"), 0);
  const char *good[] = {"",
                        "abc",
                        "\xC3\xA9",
                        "\xC2\x80",
                        "\xE0\xA0\x80",
                        "\xF0\x90\x80\x80",
                        "\xF8\x88\x80\x80\x80",
                        "\xFC\x84\x80\x80\x80\x80"};
  for (const char *t : good)
    EXPECT_EQ(wci_valid_string(t), 1) << testing::PrintToString(std::string(t));
}

TEST(Wcx, ClassTableMatchesTheReaderClasses)
{
  TestEngine e;
  ClassOracle oracle;
  for (int c = 0; c < 256; c++) {
    EXPECT_EQ(default_chtype[c], oracle(c)) << "code " << c;
    EXPECT_EQ(qx_char_class(c), oracle(c)) << "code " << c;
    EXPECT_EQ(qx_char_type(c), oracle(c)) << "code " << c;
  }
  for (int32_t c : {0x100, 0x3A9, 0x200D, 0x200E, 0x200F, 0x2027, 0x2028, 0x2029, 0x202A, 0x10FFFF})
    EXPECT_EQ(qx_char_type(c), oracle(c)) << std::hex << c;
}

TEST(Wcx, EndOfFileIsLayout)
{
  TestEngine e;
  EXPECT_EQ(qx_char_type(-1), CH_WHITE);
  EXPECT_EQ(qx_char_type(-1), CH_WHITE); /* from the cache this time */
  EXPECT_EQ(qx_eg.chcode_hash[255], -1);
}

TEST(Wcx, ClearedCacheMatchesNoCode)
{
  TestEngine e;
  std::memset(qx_eg.chcode_hash, 0, sizeof qx_eg.chcode_hash);
  std::memset(qx_eg.chtype_hash, 0, sizeof qx_eg.chtype_hash);
  clear_ch_type_hash();
  for (int i = 0; i < 512; i++) EXPECT_EQ(qx_eg.chcode_hash[i], -2);
  /* neither code 0 nor end of file may hit an emptied entry */
  EXPECT_EQ(qx_char_type(0), CH_WHITE);
  EXPECT_EQ(qx_char_type(-1), CH_WHITE);
  EXPECT_EQ(qx_char_type('a'), CH_LC);
}

TEST(Wcx, CacheMovesWayOneToWayTwo)
{
  TestEngine e;
  clear_ch_type_hash();
  EXPECT_EQ(ch_type_hash('A'), CH_UC);
  EXPECT_EQ(qx_eg.chcode_hash['A'], 'A');
  EXPECT_EQ(qx_eg.chcode_hash[256 + 'A'], -2);
  EXPECT_EQ(ch_type_hash(0x2000 + 'A'), CH_UNDECIDED); /* same low byte */
  EXPECT_EQ(qx_eg.chcode_hash['A'], 0x2000 + 'A');
  EXPECT_EQ(qx_eg.chtype_hash['A'], CH_UNDECIDED);
  EXPECT_EQ(qx_eg.chcode_hash[256 + 'A'], 'A');
  EXPECT_EQ(qx_eg.chtype_hash[256 + 'A'], CH_UC);
  /* both are now answered from the cache */
  EXPECT_EQ(qx_char_type('A'), CH_UC);
  EXPECT_EQ(qx_char_type(0x2000 + 'A'), CH_UNDECIDED);
  EXPECT_EQ(ch_type_hash(0x4000 + 'A'), CH_UNDECIDED);
  EXPECT_EQ(qx_eg.chcode_hash[256 + 'A'], 0x2000 + 'A');
  EXPECT_EQ(qx_char_type('A'), CH_UC); /* evicted, classified again */
  EXPECT_EQ(qx_eg.chcode_hash['A'], 'A');
}

TEST(Wcx, CacheAnswersCorrectlyUnderARandomStream)
{
  TestEngine e;
  ClassOracle oracle;
  std::mt19937 rng(42);
  int moved = 0;
  for (int i = 0; i < 200000; i++) {
    int32_t code;
    switch (rng() % 5) {
    case 0: code = (int32_t)(rng() % 256); break;
    case 1: code = (int32_t)((rng() % 8) * 256 + 'a'); break; /* collide on one slot */
    case 2: code = 0x2028 + (int32_t)(rng() % 4) - 0x1A; break;
    case 3: code = -1; break;
    default: code = (int32_t)(rng() & 0x7FFFFFFF); break;
    }
    unsigned slot = (unsigned)code & 255;
    int32_t old_one = qx_eg.chcode_hash[slot];
    bool hit = old_one == code || qx_eg.chcode_hash[256 + slot] == code;
    ASSERT_EQ(qx_char_type(code), oracle(code)) << code;
    if (!hit) {
      ASSERT_EQ(qx_eg.chcode_hash[slot], code);
      ASSERT_EQ(qx_eg.chcode_hash[256 + slot], old_one);
      moved += old_one != -2;
    }
  }
  EXPECT_GT(moved, 1000);
}

TEST(Wcx, OsTextRoundTripsInAUtf8Locale)
{
  TestEngine e;
  CtypeLocale loc("C.UTF-8");
  ASSERT_TRUE(loc.ok());
  ASSERT_EQ(init_wcx(), 0);
  const char *texts[] = {"",
                         "plain",
                         "caf\xC3\xA9",
                         "\xE6\x97\xA5\xE6\x9C\xAC",
                         "\xF0\x9F\x98\x80 x",
                         "\xEF\xBF\xBF",
                         "\xF4\x8F\xBF\xBF"};
  for (const char *t : texts) {
    char *os = QX_to_os(t, 0);
    ASSERT_NE(os, nullptr) << t;
    EXPECT_STREQ(os, t);
    char *back = QX_from_os(os, 0);
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back, t);
    EXPECT_NE(back, os);
    QX_free(os);
    QX_free(back);
  }
  /* not UTF-8, or not a Unicode scalar value, or code 0 which an OS string cannot hold */
  for (const char *t : {"\xFF", "\xC0\x80", "a\xC3", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80"})
    EXPECT_EQ(QX_from_os(t, 0), nullptr) << testing::PrintToString(std::string(t));
  for (const char *t : {"a\xC0\x80"
                        "b",
                        "\xF8\x88\x80\x80\x80", "\xC3", "\xFE"})
    EXPECT_EQ(QX_to_os(t, 0), nullptr) << testing::PrintToString(std::string(t));
  EXPECT_EQ(QX_to_os(nullptr, 0), nullptr);
  deinit_wcx();
}

/* A locale of the given charmap compiled into a private directory with the system's locale
 * compiler; false when there is none. */
static bool compile_locale(const char *dir, const char *charmap)
{
  std::string target = std::string(dir) + "/C." + charmap;
  pid_t pid = fork();
  if (pid == 0) {
    execlp("localedef", "localedef", "-i", "C", "-f", charmap, target.c_str(), (char *)nullptr);
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(Wcx, OsTextConvertsInALatin1Locale)
{
  TestEngine e;
  std::string made = qx_scratch_mkdtemp("qx_wcx");
  ASSERT_NE(made, "");
  const char *dir = made.c_str();
  if (!compile_locale(dir, "ISO-8859-1")) {
    std::system(("rm -rf " + std::string(dir)).c_str());
    GTEST_SKIP() << "no locale compiler";
  }
  setenv("LOCPATH", dir, 1);
  {
    CtypeLocale loc("C.ISO-8859-1");
    ASSERT_TRUE(loc.ok());
    ASSERT_EQ(init_wcx(), 0);
    char *os = QX_to_os("caf\xC3\xA9 \xC3\xBF", 0);
    ASSERT_NE(os, nullptr);
    EXPECT_STREQ(os, "caf\xE9 \xFF");
    char *back = QX_from_os(os, 0);
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back, "caf\xC3\xA9 \xC3\xBF");
    QX_free(os);
    QX_free(back);
    EXPECT_EQ(QX_to_os("\xC4\x80", 0), nullptr); /* U+0100 has no Latin-1 byte */
    EXPECT_EQ(QX_to_os("\xC0\x80", 0), nullptr);
    for (const char *t : {"a\xC3", "\xC1\xBF", "\x80", "\xE2\x98"}) /* malformed internal text */
      EXPECT_EQ(QX_to_os(t, 0), nullptr) << testing::PrintToString(std::string(t));
    deinit_wcx();
  }
  unsetenv("LOCPATH");
  std::system(("rm -rf " + std::string(dir)).c_str());
}

/* Other charsets go through the I/O library's character coders. */
TEST(Wcx, OsTextConvertsThroughTheCoderOfTheLocalesCharset)
{
  TestEngine e;
  ASSERT_EQ(qxio_init(nullptr, nullptr, 0), QXIO_S_NOERR);
  std::string made = qx_scratch_mkdtemp("qx_wcx");
  ASSERT_NE(made, "");
  const char *dir = made.c_str();
  if (!compile_locale(dir, "ISO-8859-15")) {
    std::system(("rm -rf " + std::string(dir)).c_str());
    qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN);
    GTEST_SKIP() << "no locale compiler";
  }
  setenv("LOCPATH", dir, 1);
  {
    CtypeLocale loc("C.ISO-8859-15");
    ASSERT_TRUE(loc.ok());
    ASSERT_EQ(init_wcx(), 0);
    /* The euro sign is 0xA4 in ISO-8859-15 (the currency sign there in ISO-8859-1). */
    char *os = QX_to_os("\xE2\x82\xAC caf\xC3\xA9", 0);
    ASSERT_NE(os, nullptr);
    EXPECT_STREQ(os, "\xA4 caf\xE9");
    char *back = QX_from_os(os, 0);
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back, "\xE2\x82\xAC caf\xC3\xA9");
    QX_free(os);
    QX_free(back);
    EXPECT_EQ(QX_to_os("\xC2\xA4", 0), nullptr) << "U+00A4 has no byte in ISO-8859-15";
    EXPECT_EQ(QX_to_os("a\xC0\x80"
                       "b",
                       0),
              nullptr)
        << "code 0 cannot cross";
    deinit_wcx();
  }
  unsetenv("LOCPATH");
  std::system(("rm -rf " + std::string(dir)).c_str());
  EXPECT_EQ(qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN), QXIO_S_NOERR);
}
