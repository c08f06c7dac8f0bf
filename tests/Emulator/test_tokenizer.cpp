/* $read_token/6 over string streams: golden token tables, stream errors and interrupted reads. */
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include "chconv.h"
#include "memman.h"
#include "scratch_files.h"
#include "wcx.h"
#include "stream_fixture.h"

namespace {

class TokenizerTest : public StreamTest {
protected:
  explicit TokenizerTest(bool standard_streams = false) : StreamTest(standard_streams) {}

  /* "Token Kind Ch1 Line" of one call, Ch1 as a character when printable. */
  std::string one(int32_t *ch, int *kind)
  {
    TAGGED tok = fresh(), ch1 = fresh(), k = fresh(), line = fresh();
    bi_call r = call("$read_token", {num(*ch), MakeSmall(*kind), tok, ch1, k, line});
    if (r.raised) return "raised " + r.message;
    if (!r.rc) return "failed";
    int64_t c = 0;
    qx_get_int64(deref(ch1), &c);
    *ch = (int32_t)c;
    *kind = (int)GetSmall(deref(k));
    std::string shown = c > 32 && c < 127 ? std::string(1, (char)c) : std::to_string(c);
    return show(tok) + " " + std::to_string(*kind) + " " + shown + " " + show(line);
  }

  /* The tokens of the text up to end of file, joined by " | ". */
  std::string tokens(const char *text, int limit = 40)
  {
    QX_stream *s = nullptr;
    EXPECT_EQ(QX_stream_from_string(text, &s), 1);
    QX_stream *before = qx_eg.input_stream_ptr;
    std::string all = tokens_of(s, limit);
    qx_eg.input_stream_ptr = before;
    QX_fclose(s, 0);
    return all;
  }

  /* The tokens of stream s (made the current input) up to its end. */
  std::string tokens_of(QX_stream *s, int limit = 40)
  {
    qx_eg.input_stream_ptr = s;
    int32_t ch = qx_get_code_helper(s, 0);
    int kind = 0;
    std::string all;
    for (int i = 0; i < limit; i++) {
      std::string t = one(&ch, &kind);
      all += (i ? " | " : "") + t;
      if (kind == -1 || kind == -2 || t.rfind("raised", 0) == 0 || t == "failed") break;
    }
    return all;
  }
  static std::string show(TAGGED t) { return TestProlog::show(t); }
};

/* Each token: Token Kind Ch1 Line; Ch1 as a character when printable, else its code. */
TEST_F(TokenizerTest, GoldenTokenTables)
{
  const char *const table[][2] = {
      {"foo(bar) . foo (", "atom(foo) 1 ( 1 | ( 0 b 1 | atom(bar) 1 ) 1 | ) 1 32 1 | . 0 32 1 | "
                           "atom(foo) 1 32 1 |  ( 0 -1 1 | [] -1 -1 1"},
      {"'it''s' `b` \"ab\"",
       "atom(it's) 1 32 1 | atom(b) 1 32 1 | string([97,98]) 0 -1 1 | [] -1 -1 1"},
      {"'a\\x41\\b' 'a\\x41' x",
       "atom(aAb) 1 32 1 | atom(a) -12 32 1 | atom(x) 1 -1 1 | [] -1 -1 1"},
      {"'\\777777777777\\z' 'q\\101\\'", "atom(z) -13 32 1 | atom(qA) 1 -1 1 | [] -1 -1 1"},
      {"'a\tb' 'c", "atom(a\tb) -14 32 1 | atom(c) -15 -1 1 | [] -1 -1 1"},
      {"0'a 0''' 0' 0''a", "number(97) 0 32 1 | number(39) 0 32 1 | number(32) 0 0 1 | number(0'') "
                           "-18 a 1 | atom(a) 1 -1 1 | [] -1 -1 1"},
      {"0'\n", "number(0') -18 10 1 | [] -1 -1 1"},
      {"0x1F 0b102 0b2 0xg",
       "number(31) 0 32 1 | number(2) 0 2 1 | number(2) 0 32 1 | number(0b) -20 2 1 | number(2) 0 "
       "32 1 | number(0x) -20 g 1 | atom(g) 1 -1 1 | [] -1 -1 1"},
      {"1.e 1.5e+x 2.5E-y 1e10 3.25e2 1.0e400",
       "number(1) 0 . 1 | atom(.) 1 e 1 | atom(e) 1 32 1 | number(1.5) -64 + 1 | atom(+) 1 x 1 | "
       "atom(x) 1 32 1 | number(2.5) -32 - 1 | atom(-) 1 y 1 | atom(y) 1 32 1 | number(1) 0 e 1 | "
       "atom(e10) 1 32 1 | number(325) 0 32 1 | number(1.0e400) -22 -1 1 | [] -1 -1 1"},
      {"X1_y _ Abcdefghij",
       "var(374633,[88,49,95,121],_) 0 32 1 | var(95,[95],_) 0 32 1 | "
       "var(180135283,[65,98,99,100,101,102,103,104,105,106],_) 0 -1 1 | [] -1 -1 1"},
      {"a. b.% c\na.b", "atom(a) 1 . 1 | . 0 32 1 | atom(b) 1 . 1 | . 0 % 1 | atom(a) 1 . 2 | "
                        "atom(.) 1 b 2 | atom(b) 1 -1 2 | [] -1 -1 2"},
      {"/* x */ a /* y", "atom(a) 1 32 1 | atom() -17 -1 1 | [] -1 -1 1"},
      {"/*/ a */ b /**/ c", "atom(b) 1 32 1 | atom(c) 1 -1 1 | [] -1 -1 1"},
      {"a % end", "atom(a) 1 32 1 | [] -2 -1 1"},
      {"[a|B]{c},;!",
       "[ 0 a 1 | atom(a) 1 | 1 | | 0 B 1 | var(66,[66],_) 0 ] 1 | ] 1 { 1 | { 0 c 1 | atom(c) 1 } "
       "1 | } 1 , 1 | , 0 ; 1 | atom(;) 1 ! 1 | atom(!) 1 -1 1 | [] -1 -1 1"},
      {"+-*/ /x .. .(", "atom(+-*/) 1 32 1 | atom(/) 1 x 1 | atom(x) 1 32 1 | atom(..) 1 32 1 | "
                        "atom(.) 1 ( 1 | ( 0 -1 1 | [] -1 -1 1"},
  };
  for (auto &row : table) EXPECT_EQ(tokens(row[0]), row[1]) << row[0];
}

TEST_F(TokenizerTest, DoubleQuotesFlagAndCharacterConversion)
{
  struct {
    const char *flag, *text, *expected;
  } cases[] = {
      {"codes", "\"ab\"", "string([97,98]) 0 -1 1 | [] -1 -1 1"},
      {"chars", "\"ab\"", "string([a,b]) 0 -1 1 | [] -1 -1 1"},
      {"atom", "\"ab\"", "atom(ab) 0 -1 1 | [] -1 -1 1"},
      {"codes", "\"\"", "string([]) 0 -1 1 | [] -1 -1 1"},
  };
  for (const auto &c : cases) {
    qx_eg.current_double_quotes = at(c.flag);
    EXPECT_EQ(tokens(c.text), c.expected) << c.flag;
  }
  /* One step only (a to b, b to c); Ch1 stays unconverted; inside quotes conversion is off
   * unless the opening quote came from conversion. */
  qx_eg.current_char_conversion = at("on");
  ASSERT_TRUE(qx_add_char_conversion('a', 'b'));
  ASSERT_TRUE(qx_add_char_conversion('b', 'c'));
  ASSERT_TRUE(qx_add_char_conversion('#', '\''));
  ASSERT_TRUE(qx_add_char_conversion('+', '-'));
  EXPECT_EQ(tokens("ab 'ab' #ab# x+"),
            "atom(bc) 1 32 1 | atom(ab) 1 32 1 | atom(bc) 1 32 1 | atom(x) 1 + 1 | atom(-) 1 -1 1 "
            "| [] -1 -1 1");
  qx_eg.current_char_conversion = at("off");
  EXPECT_EQ(tokens("ab #a"), "atom(ab) 1 32 1 | atom(#) 1 a 1 | atom(a) 1 -1 1 | [] -1 -1 1");
}

/* The code list of an atom's text. */
std::vector<int32_t> atom_codes_of(TAGGED a)
{
  std::vector<int32_t> codes;
  for (const char *p = atom_name(a); *p;) {
    int32_t code;
    int n = QX_wci_code(&code, p);
    if (n <= 0) break;
    codes.push_back(code);
    p += n;
  }
  return codes;
}

TEST_F(TokenizerTest, BadInputBigNamesEscapesAndAFullAtomTable)
{
  struct {
    std::string text;
    std::vector<int32_t> codes;
    int kind;
  } cases[] = {
      {"'\\x7FFFFFFF\\'", {0x7FFFFFFF}, 1},
      {"'\\x7fffffff\\\\x10FFFF\\'", {0x7FFFFFFF, 0x10FFFF}, 1},
      {"'\\x80000000\\a'", {'a'}, -13},
      {"'a\\0\\b'", {'a', 0, 'b'}, 1},
      {"'\\x\\'", {}, -12},
      {std::string(1 << 20, 'a'), std::vector<int32_t>(1 << 20, 'a'), 1},
      {"'" + std::string(1 << 20, 'q') + "'", std::vector<int32_t>(1 << 20, 'q'), 1},
  };
  for (const auto &c : cases) {
    QX_stream *s = nullptr;
    ASSERT_EQ(QX_stream_from_string(c.text.c_str(), &s), 1);
    qx_eg.input_stream_ptr = s;
    size_t in_use = qx_space_in_use(QX_SPACE_FOREIGN);
    TAGGED tok = fresh(), kind = fresh();
    bi_call r = call("$read_token",
                     {num(qx_get_code_helper(s, 0)), MakeSmall(0), tok, fresh(), kind, fresh()});
    EXPECT_EQ(qx_space_in_use(QX_SPACE_FOREIGN), in_use) << "token buffer kept";
    QX_fclose(s, 0);
    ASSERT_EQ(r.rc, 1) << r.message;
    EXPECT_EQ(GetSmall(deref(kind)), c.kind) << c.text.substr(0, 40);
    EXPECT_EQ(atom_codes_of(StrArg(deref(tok), 1)), c.codes) << c.text.substr(0, 40);
  }
  /* A full atom table: a new name raises the resource error, a known one still reads. */
  char name[32];
  for (uint32_t i = qx_eg.atom_count; i < QX_MAX_ATOMS; i++) {
    std::snprintf(name, sizeof name, "%u", i);
    ASSERT_NE(init_atom_check(name, 0), 0u);
  }
  for (const char *text : {"never_seen", "'never seen'", "\"quoted\""}) {
    qx_eg.current_double_quotes = at("atom");
    EXPECT_EQ(tokens(text), "raised atoms") << text;
  }
  EXPECT_EQ(tokens("foo"), "raised atoms");
  EXPECT_EQ(tokens("atom"), "atom(atom) 1 -1 1 | [] -1 -1 1");
}

TEST_F(TokenizerTest, AStreamErrorIsRaisedNeverASilentFailure)
{
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  QX_stream *binary = stream_over_fd(ends[0], QX_SC_INPUT, false);
  ASSERT_NE(binary, nullptr);
  QX_stream *before = qx_eg.input_stream_ptr;
  qx_eg.input_stream_ptr = binary;
  bi_call r = call("$read_token", {num(' '), MakeSmall(0), fresh(), fresh(), fresh(), fresh()});
  qx_eg.input_stream_ptr = before;
  EXPECT_TRUE(r.raised);
  EXPECT_EQ(r.code, 5u);
  EXPECT_EQ(r.message, qxio_error_name(QXIO_E_GRANULARITY_ERROR));
  EXPECT_EQ(r.predicate, "$read_token/6");
  close(ends[1]);
  QX_fclose(binary, 0);
}

/* The tokens of text read from a file and from a pipe that a child fills one byte per write
 * (so multi-byte characters arrive split and every code may start a new buffer), against those
 * of a string stream. */
/* A file read token by token, the heap filled with garbage before each call so that the call
 * makes room, collecting (the tokens read before are garbage below the next): the tokens of the
 * same read without collection. */
TEST_F(TokenizerTest, AFileReadWithCollectionsBetweenTokensGivesTheTokensOfOneWithout)
{
  std::string text;
  for (int i = 0; i < 10; i++)
    text += "f" + std::to_string(i) + "(X, \"" + std::string(100 + i, 'a') + "\", " +
            std::to_string(i) + "123456789012345678901234567890, " + std::to_string(i) +
            ".25e3, 0'b, 'q" + std::to_string(i) + "').\n";
  std::string path = scratch_file("collected.pl", text);
  worker *w = p.w;
  bool stress = qx_gc_stress;
  std::string read[2];
  uint64_t collections[2];
  for (int collect = 0; collect < 2; collect++) {
    qx_gc_stress = collect == 1;
    qx_eg.current_gcmode = collect ? atom_on : atom_off;
    uint64_t before = qx_gc_statistics()->collections;
    QX_stream *file = stream_over_fd(open(path.c_str(), O_RDONLY | O_CLOEXEC), QX_SC_INPUT);
    ASSERT_NE(file, nullptr);
    QX_stream *input = qx_eg.input_stream_ptr;
    qx_eg.input_stream_ptr = file;
    int32_t ch = qx_get_code_helper(file, 0);
    for (int kind = 0, i = 0; i < 1000 && kind != -1; i++) {
      for (; collect && w->global_top < w->stack_start - 64; w->global_top++)
        *w->global_top = MakeSmall(0);
      read[collect] += one(&ch, &kind) + " | ";
    }
    qx_eg.input_stream_ptr = input;
    QX_fclose(file, 0);
    collections[collect] = qx_gc_statistics()->collections - before;
  }
  qx_gc_stress = stress;
  qx_eg.current_gcmode = atom_on;
  EXPECT_EQ(collections[0], 0u);
  EXPECT_GE(collections[1], 100u);
  EXPECT_NE(read[0].find("atom(q9) 1 ) 10 | ) 1 . 10 | . 0 10 10 | [] -1 -1 10 | "),
            std::string::npos)
      << read[0];
  EXPECT_EQ(read[1], read[0]);
}

TEST_F(TokenizerTest, FilesAndPipesGiveTheTokensOfAStringStream)
{
  std::vector<std::string> texts = {
      "foo(X, 'a b', [1|T], - 1, (a:-b), \"ab\").\n% c\nbar.",
      "'\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80' \xC3\xA0x 1.e 1.5e+x 2.5E-y 0'\xC3\xA9 /* "
      "\xE2\x82\xAC */ z",
      "'a\\x41' 0b102 'it''s' \"\\x20AC\\\"",
  };
  QX_stream *before = qx_eg.input_stream_ptr;
  for (int pad = 4090; pad <= 4100; pad++) /* a number ending early near a buffer's end */
    texts.push_back(std::string((size_t)pad, 'w') + " 1.e 12.x");
  /* Numbers that end two characters early, placed at every offset across the 64 KiB block a
   * file is read in; after two-byte characters also with the block ending inside a character. */
  const std::string tail = " 1.e 1.5e+x 0''a 12.x";
  const std::string golden_tail =
      "1 32 1 | number(1) 0 . 1 | atom(.) 1 e 1 | atom(e) 1 32 1 | number(1.5) -64 + 1 | "
      "atom(+) 1 x 1 | atom(x) 1 32 1 | number(0'') -18 a 1 | atom(a) 1 32 1 | number(12) 0 . 1 | "
      "atom(.) 1 x 1 | atom(x) 1 -1 1 | [] -1 -1 1";
  const size_t block = 65536;
  for (size_t pad = block - tail.size(); pad <= block; pad++)
    texts.push_back(std::string(pad, 'w') + tail);
  for (size_t pad = (block - tail.size()) / 2; pad <= block / 2; pad++) {
    std::string twos;
    for (size_t i = 0; i < pad; i++) twos += "\xC3\xA9";
    texts.push_back(twos + (pad % 2 ? "" : "w") + tail);
  }
  for (const std::string &text : texts) {
    std::string expected = tokens(text.c_str(), 1000);
    if (text.size() > tail.size() &&
        text.compare(text.size() - tail.size(), tail.size(), tail) == 0) {
      EXPECT_EQ(expected.substr(expected.size() - std::min(expected.size(), golden_tail.size())),
                golden_tail)
          << text.size();
    }
    std::string path = scratch_file("tokens.pl", text);
    QX_stream *file = stream_over_fd(open(path.c_str(), O_RDONLY | O_CLOEXEC), QX_SC_INPUT);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(tokens_of(file, 1000), expected) << text.substr(0, 60);
    QX_fclose(file, 0);
    if (text.size() > block / 2) continue; /* through a pipe, every byte is a boundary already */

    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
      for (char c : text)
        if (write(ends[1], &c, 1) != 1) _exit(1);
      _exit(0);
    }
    ASSERT_GT(pid, 0);
    close(ends[1]);
    QX_stream *piped = stream_over_fd(ends[0], QX_SC_INPUT);
    ASSERT_NE(piped, nullptr);
    EXPECT_EQ(tokens_of(piped, 1000), expected) << text.substr(0, 60);
    QX_fclose(piped, 0);
    int wait_status = 0;
    waitpid(pid, &wait_status, 0);
    EXPECT_TRUE(WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0);
  }
  qx_eg.input_stream_ptr = before;
  /* Characters outside the Unicode 5.0 repertoire are refused inside quotes. */
  EXPECT_EQ(tokens("'\xC3\xA9\xE2\x82\xAC' '\xF0\x9F\x98\x80'"),
            "atom(\xC3\xA9\xE2\x82\xAC) 1 32 1 | atom(\xF0\x9F\x98\x80) -24 -1 1 | [] -1 -1 1");
}

class ChildTokenizer : public TokenizerTest {
public:
  explicit ChildTokenizer(bool standard_streams) : TokenizerTest(standard_streams) {}
  void TestBody() override {}
  using TokenizerTest::call, TokenizerTest::fresh, TokenizerTest::num, TokenizerTest::tokens_of;
};

struct {
  int status_fd = -1; /* to the parent: "r" before reading, "h" per handler run */
  int handled = 0;
  QX_stream *close = nullptr; /* the stream the handler closes, if any */
} usr1;

void count_usr1(int, void *)
{
  usr1.handled++;
  if (usr1.close) QX_fclose(usr1.close, QX_FC_FORCE);
  EXPECT_EQ(write(usr1.status_fd, "h", 1), 1);
}

/* The parent's side of a child that reads its standard input, a pipe: writes first, signals the
 * child once it has slept a while in its read with the pipe empty, waits for the handler, writes
 * rest and ends the input. Answers what went wrong, then the child's report. */
std::string signal_mid_token(const reader_child &rc, const std::string &first,
                             const std::string &rest)
{
  pid_t pid = rc.pid;
  /* A child that ended early must fail the test, not end it by SIGPIPE. */
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  std::string log;
  if (await_byte(rc.status, 'r') &&
      write(rc.data, first.data(), first.size()) == (ssize_t)first.size()) {
    /* Best effort: the signal goes once the pipe is empty and the child has slept a while in
     * its read in the middle of a token. A signal that meets data on its way can be taken by
     * that read without an interrupt reaching the tokenizer. */
    for (int i = 0, quiet = 0; i < 20000 && quiet < 50; i++) {
      int queued = 0;
      ioctl(rc.data, FIONREAD, &queued);
      quiet = queued == 0 && thread_state(pid) == 'S' ? quiet + 1 : 0;
      usleep(1000);
    }
    kill(pid, SIGUSR1);
    if (!await_byte(rc.status, 'h')) log += "handler did not run;";
    if (write(rc.data, rest.data(), rest.size()) != (ssize_t)rest.size()) log += "short write;";
  } else {
    log += "no start;";
  }
  close(rc.data);
  sigaction(SIGPIPE, &previous, nullptr);
  char text[512] = {0};
  if (!await_bytes(rc.report, text, 1)) log += "hung;", kill(pid, SIGKILL);
  ssize_t more = read(rc.report, text + 1, sizeof text - 2);
  (void)more;
  int wait_status = 0;
  waitpid(pid, &wait_status, 0);
  close(rc.status), close(rc.report);
  if (!WIFEXITED(wait_status) || WEXITSTATUS(wait_status) != 0)
    log += "child ended with " + std::to_string(wait_status) + ";";
  return log + text;
}

/* A signal while $read_token/6 blocks in the middle of a token: the handler runs once and the
 * tokens come out whole. */
TEST(TokenizerRetry, ASignalDuringABlockedReadRunsItsHandlerAndKeepsThePartialToken)
{
  reader_child rc = fork_reader_child([](int status_fd) {
    usr1.status_fd = status_fd;
    setenv("QX_CTYPE_STDIO", "xx_YY.UTF-8", 1);
    ChildTokenizer e(true);
    if (QX_signal(SIGUSR1, count_usr1, nullptr) == QX_SIG_ERR) return std::string("no handler");
    if (write(status_fd, "r", 1) != 1) return std::string("no status pipe");
    std::string text = e.tokens_of(qx_eg.stream_user_input);
    text += " handled=" + std::to_string(usr1.handled);
    return text;
  });
  ASSERT_GT(rc.pid, 0);
  EXPECT_EQ(signal_mid_token(rc, "foo(bar", ", baz)."),
            "atom(foo) 1 ( 1 | ( 0 b 1 | atom(bar) 1 , 1 | , 0 32 1 | atom(baz) 1 ) "
            "1 | ) 1 . 1 | . 0 -1 1 | [] -1 -1 1 handled=1");
}

/* A handler that closes the stream a term is being read from, in the middle of a token: the
 * read raises the stream's existence error, and current input is a live stream again. */
TEST(TokenizerRetry, AHandlerThatClosesTheStreamEndsTheReadWithAnExistenceError)
{
  reader_child rc = fork_reader_child([](int status_fd) {
    usr1.status_fd = status_fd;
    ChildTokenizer e(false);
    QX_stream *s = usr1.close = e.stream_over_fd(dup(0), QX_SC_INPUT);
    if (!s || QX_signal(SIGUSR1, count_usr1, nullptr) == QX_SIG_ERR)
      return std::string("no set-up");
    if (write(status_fd, "r", 1) != 1) return std::string("no status pipe");
    qx_eg.input_stream_ptr = s;
    bi_call r = e.call("read_from_string_helper", {e.num((intptr_t)s), atom_nil, e.fresh()});
    bool same = r.culprit == std::to_string((int32_t)(intptr_t)s);
    return std::to_string(r.rc) + " " + std::to_string(r.code) + " " + r.message + " " +
           (same ? "the stream" : r.culprit) + " " + r.predicate + " input " +
           (qx_eg.input_stream_ptr == qx_eg.stream_user_input ? "user_input" : "other");
  });
  ASSERT_GT(rc.pid, 0);
  EXPECT_EQ(signal_mid_token(rc, "foo(bar", ""),
            std::to_string(0) + " " + std::to_string(QX_ERR_EXISTENCE) +
                " stream the stream $read_token/6 input user_input");
}

}  // namespace
