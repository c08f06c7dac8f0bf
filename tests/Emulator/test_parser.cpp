/* The term reader: texts read and written back by writeq/1, QX_read_from_string, random terms
 * that survive writeq/1 and a read, syntax errors, and terms too deep or too long for a
 * recursive parser. */
#include <algorithm>
#include <map>
#include <random>

#include "memtest_support.h"
#include "numbers.h"
#include "parser.h"
#include "stream_fixture.h"
#include "term_variant.h"
#include "termops.h"
#include "unify.h"

namespace {

class ParserTest : public StreamTest {
protected:
  ParserTest() { qx_eg.current_double_quotes = at("codes"); }

  /* The term of text, or 0 when the reader answers 0. */
  TAGGED read(const std::string &text, TAGGED *vars = nullptr)
  {
    QX_stream *s = nullptr;
    EXPECT_EQ(QX_stream_from_string(text.c_str(), &s), 1);
    int32_t ch = qx_get_code_helper(s, 0);
    TAGGED term = 0, names = 0;
    int rc = qx_read_term(p.w, s, &ch, &term, &names);
    QX_fclose(s, 0);
    if (vars) *vars = names;
    return rc == 1 ? term : 0;
  }

  std::string writeq(TAGGED term)
  {
    return file_output([&](QX_stream *s) {
      QX_stream *before = qx_eg.output_stream_ptr;
      qx_eg.output_stream_ptr = s;
      EXPECT_EQ(call("writeq", {term}).rc, 1);
      qx_eg.output_stream_ptr = before;
    });
  }

  bool variant(TAGGED a, TAGGED b) { return variant_terms(p.w, a, b); }
};

/* A 64 KiB heap, set before the engine starts. */
struct SmallHeap {
  EnvGuard size{"GLOBALSTKSIZE", "64K"};
};
class ParserSmallHeap : SmallHeap, public ParserTest {};

}  // namespace

TEST_F(ParserTest, ReadFromStringGivesTheTermAndItsVariables)
{
  QX_term_ref mark = QX_new_term_refs(0);
  QX_term_ref t = QX_new_term_ref(), x = QX_new_term_ref(), tail = QX_new_term_ref();
  QX_term_ref vars[] = {x, tail, 0};
  ASSERT_TRUE(QX_put_variable(x) && QX_put_variable(tail));
  ASSERT_EQ(QX_read_from_string(t, "foo(X, 'a b', [1|T], - 1, (a:-b), \"ab\").", vars), 1);
  TAGGED term = deref(qx_ref_term(t));
  ASSERT_TRUE(IsStr(term));
  EXPECT_TRUE(IsRef(deref(qx_ref_term(x))));
  EXPECT_EQ(deref(StrArg(term, 1)), deref(qx_ref_term(x)));
  EXPECT_EQ(deref(LstTail(deref(StrArg(term, 3)))), deref(qx_ref_term(tail)));
  EXPECT_TRUE(cunify(p.w, deref(qx_ref_term(x)), at("X")));
  EXPECT_TRUE(cunify(p.w, deref(qx_ref_term(tail)), at("T")));
  EXPECT_EQ(writeq(term), "foo('X','a b',[1|'T'],-(1),(a:-b),[97,98])");

  /* A syntax error: 0, and neither term references nor streams stay behind. */
  QX_term_ref before = QX_new_term_refs(0);
  auto streams = [] {
    int n = 0;
    for (QX_stream *s = qx_eg.root_stream_ptr->forward; s != qx_eg.root_stream_ptr; s = s->forward)
      n++;
    return n;
  };
  int open = streams();
  EXPECT_EQ(QX_read_from_string(t, "foo(X, .", vars), 0);
  EXPECT_EQ(QX_read_from_string(t, "foo(X)", nullptr), 0); /* no end token */
  /* The helper takes only the address of an open text input stream. */
  QX_stream *output = refusing_stream(true);
  for (int64_t address : {(int64_t)12345, (int64_t)(intptr_t)output})
    EXPECT_EQ(call("read_from_string_helper", {num(address), atom_nil, fresh()}).rc, 0);
  QX_fclose(output, QX_FC_FORCE);
  EXPECT_EQ(QX_new_term_refs(0), before);
  EXPECT_EQ(streams(), open);
  QX_reset_term_refs(mark);
}

TEST_F(ParserTest, TextsReadAsTheirCanonicalTerms)
{
  const char *const rows[][2] = {
      {"a.", "a"},
      {"foo(a,b).", "foo(a,b)"},
      {"- 1.", "-(1)"},
      {"-1.", "-1"},
      {"- a.", "-a"},
      {"-(1).", "-(1)"},
      {"-(-(1)).", "- -(1)"},
      {"- - a.", "- -a"},
      {"1 - -1.", "1- -1"},
      {"a-b-c.", "a-b-c"},
      {"a-(b-c).", "a-(b-c)"},
      {"a=b,c;d->e.", "a=b,c;d->e"},
      {"(a,b),c.", "(a,b),c"},
      {"a:-b,c.", "a:-b,c"},
      {":- a.", ":-a"},
      {"f((a:-b)).", "f((a:-b))"},
      {"2**(3**4).", "2**(3**4)"},
      {"2^3^4.", "2^3^4"},
      {"[1,2|[3]] = [1,2,3].", "[1,2,3]=[1,2,3]"},
      {"[a|[]].", "[a]"},
      {"{a,b}.", "{a,b}"},
      {"'hello world'('A', [], '[]').", "'hello world'('A',[],[])"},
      {"f(-, +, (:-), [-]).", "f(-,+,:-,[-])"},
      {"\\+ a = b.", "\\+a=b"},
      {"x is 1 + 2 * 3 mod 4.", "x is 1+2*3 mod 4"},
      {"0'a + 0x1F + 0b101 + 0o17.", "97+31+5+15"},
      {"123456789012345678901234567890.", "123456789012345678901234567890"},
      {"- 123456789012345678901234567890.", "-(123456789012345678901234567890)"},
      {"-123456789012345678901234567890.", "-123456789012345678901234567890"},
      {"1.5e10 + -2.25.", "15000000000.0+ -2.25"},
      {"\"ab\" % comment\n .", "[97,98]"},
      {"f(a) /* c */ .", "f(a)"},
      {"a- (b:-c).", "a-(b:-c)"},
      {"f(;, '|', '.').", "f(;,'|','.')"},
      /* '.'/2 is the list pair; [] and {} take functional notation, as writeq/1 writes them */
      {"'.'(a, '.'(b, [])) = .(c, d).", "[a,b]=[c|d]"},
      {"'.'(a, b, c).", "'.'(a,b,c)"},
      {"{}(a, b) + [](c) + {}(d) + f([], {}).", "{}(a,b)+[](c)+{d}+f([],{})"},
  };
  for (const auto &row : rows) {
    TAGGED vars = 0;
    TAGGED t = read(row[0], &vars);
    ASSERT_NE(t, 0u) << row[0];
    EXPECT_EQ(writeq(t), row[1]) << row[0];
  }
}

/* A prefix operator with no operand stands for its atom; where it is the operand of an infix
 * operator, the operator's priority counts (as a standard reader has it). */
TEST_F(ParserTest, PrefixOperatorWithoutOperandIsItsAtom)
{
  const char *const rows[][2] = {
      {"- .", "-"},
      {"- .\n", "-"},
      {"-\n.", "-"},
      {"- % comment\n.", "-"},
      {"\\+ .", "\\+"},
      {":- .", ":-"},
      {"- - .", "-(-)"},
      {"- - - .", "-(-(-))"},
      {"(-).", "-"},
      {"f(-).", "f(-)"},
      {"f(- ).", "f(-)"},
      {"f(-, a).", "f(-,a)"},
      {"f(a, -).", "f(a,-)"},
      {"f(:-).", "f(:-)"},
      {"f(\\+).", "f(\\+)"},
      {"f(- - ).", "f(-(-))"},
      {"[-].", "[-]"},
      {"[:-].", "[:-]"},
      {"[-, +].", "[-,+]"},
      {"[-|X].", "[-|_]"},
      {"[a|-].", "[a|-]"},
      {"[- | -].", "[-|-]"},
      {"{-}.", "{}(-)"},
      {"{:-}.", "{}(:-)"},
      {"- = X.", "=(-,_)"},
      {"X = - .", "=(_,-)"},
      {"- = - .", "=(-,-)"},
      {"- - = a.", "=(-(-),a)"},
      {"- , a.", ",(-,a)"},
      {"\\+ , a.", ",(\\+,a)"},
      {"a , \\+ .", ",(a,\\+)"},
      {"- , - .", ",(-,-)"},
      {"- ; a.", ";(-,a)"},
      {"- -> a.", "->(-,a)"},
      {"- * 2.", "*(-,2)"},
      {"- =.. X.", "=..(-,_)"},
      {"a :- - .", ":-(a,-)"},
      {"a = (- ).", "=(a,-)"},
      {"- (1).", "-(1)"},
      {"- a.", "-(a)"},
      {"- + 1.", "-(+(1))"},
      {"-. .", "-."}, /* "-." is one name */
      {"f(-.).", "f(-.)"},
  };
  for (const auto &row : rows) {
    TAGGED t = read(row[0]);
    ASSERT_NE(t, 0u) << row[0];
    EXPECT_EQ(TestProlog::show(t), row[1]) << row[0];
  }
  /* The atom of an operator above the priority allowed where it stands; no end token. */
  for (const char *text : {"\\+ = a.", ":- = a.", ":- :- .", "-.", "-.\n"})
    EXPECT_EQ(read(text), 0u) << text;
}

TEST_F(ParserTest, SyntaxErrorsAnswerZero)
{
  for (const char *text : {"foo(",     "foo(a", "a b.",  "f(a,).",  "f(,a).", "[a|b|c].",
                           "[a,].",    "(a.",   "{a.",   ").",      "1 2.",   "a :- b :- c.",
                           "2**3**4.", "f(a)",  "'abc",  "f(a) g.", "[a|].",  "- .x",
                           "",         ".",     "a = .", "'a\\q'."})
    EXPECT_EQ(read(text), 0u) << text;
}

namespace {

/* A device that gives part of a term, then a read error. */
qxio_t_error_code read_then_fail(void *data, void *room, size_t *size, uint32_t)
{
  int *calls = (int *)data;
  if ((*calls)++) return QXIO_E_READ_ERROR;
  *size = std::min(*size, (size_t)7);
  std::memcpy(room, "foo(bar", *size);
  return QXIO_S_NOERR;
}

}  // namespace

/* A stream that is not text, or whose read fails after part of a term, raises its error through
 * the reader. */
TEST_F(ParserTest, StreamErrorsAreRaisedNotFailures)
{
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  ASSERT_EQ(write(ends[1], "a. ", 3), 3);
  QX_stream *binary = stream_over_fd(ends[0], QX_SC_INPUT, false);
  int calls = 0;
  QXIO q = nullptr;
  ASSERT_GE(qxio_create_device(&q, &calls, "failing-device", read_then_fail, nullptr, nullptr,
                               nullptr, close_device, nullptr, nullptr, QXIO_DEVICE_BYTES),
            0);
  QX_stream *failing = stream_over(q, QX_SC_INPUT);
  ASSERT_NE(binary, nullptr);
  ASSERT_NE(failing, nullptr);
  for (QX_stream *s : {binary, failing}) {
    bi_call r = call("read_from_string_helper", {num((int64_t)(intptr_t)s), atom_nil, fresh()});
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(r.raised) << (s == binary ? "binary" : "failing");
    EXPECT_EQ(r.message,
              qxio_error_name(s == binary ? QXIO_E_GRANULARITY_ERROR : QXIO_E_READ_ERROR));
  }
  EXPECT_EQ(calls, 2);
  node *before = p.w->node_;
  int32_t ch = ' ';
  TAGGED term = 0, vars = 0;
  EXPECT_EQ(qx_read_term(p.w, binary, &ch, &term, &vars), 0);
  EXPECT_NE(p.w->node_, before);
  while (p.w->node_ != before) qx_pop_node(p.w);
  close(ends[1]);
  QX_fclose(binary, 0);
  QX_fclose(failing, 0);
}

/* A full atom table when a variable's name becomes an atom of the variable list raises the
 * resource error; a term of known names still reads. */
TEST_F(ParserTest, AFullAtomTableRaisesForANewVariableName)
{
  char name[32];
  for (uint32_t i = qx_eg.atom_count; i < QX_MAX_ATOMS; i++) {
    std::snprintf(name, sizeof name, "%u", i);
    ASSERT_NE(init_atom_check(name, 0), 0u);
  }
  EXPECT_NE(read("f(a, _)."), 0u);
  node *before = p.w->node_;
  qx_eg.pending_error_message[0] = 0;
  EXPECT_EQ(read("f(NeverSeenName)."), 0u);
  ASSERT_NE(p.w->node_, before) << "a silent failure";
  EXPECT_STREQ(qx_eg.pending_error_message, "atoms");
  while (p.w->node_ != before) qx_pop_node(p.w);
}

TEST_F(ParserTest, ClausesAreReadOneAfterAnotherFromOneStream)
{
  QX_stream *s = nullptr;
  ASSERT_EQ(QX_stream_from_string("a. b(X,\n Y) :- X = Y.\n% last\n[c]. d", &s), 1);
  int32_t ch = qx_get_code_helper(s, 0);
  TAGGED seen[4] = {};
  qx_gc_root keep(seen, 4); /* a read may collect */
  TAGGED term = 0, vars = 0;
  size_t n = 0;
  while (n < 4 && qx_read_term(p.w, s, &ch, &term, &vars) == 1) seen[n++] = term;
  QX_fclose(s, 0);
  ASSERT_EQ(n, 3u); /* "d" has no end token */
  /* End of file before a token, also within a last line comment, answers -1. */
  for (const char *text : {"a.", "a. % c", "a. /* c */ ", "a.\n\n"}) {
    ASSERT_EQ(QX_stream_from_string(text, &s), 1);
    ch = qx_get_code_helper(s, 0);
    EXPECT_EQ(qx_read_term(p.w, s, &ch, &term, &vars), 1) << text;
    EXPECT_EQ(qx_read_term(p.w, s, &ch, &term, &vars), -1) << text;
    QX_fclose(s, 0);
  }
  EXPECT_EQ(writeq(seen[0]), "a");
  TAGGED x = fresh(), y = fresh();
  EXPECT_TRUE(
      variant(seen[1], p.compound(":-", {p.compound("b", {x, y}), p.compound("=", {x, y})})));
  EXPECT_EQ(writeq(seen[2]), "[c]");
}

TEST_F(ParserTest, VariablesAreSharedByNameAndListedInOrder)
{
  TAGGED vars = 0;
  TAGGED t = read("f(B, _, A, B, _, _C).", &vars);
  ASSERT_NE(t, 0u);
  EXPECT_EQ(deref(StrArg(t, 1)), deref(StrArg(t, 4)));
  EXPECT_NE(deref(StrArg(t, 2)), deref(StrArg(t, 5)));
  ASSERT_TRUE(cunify(p.w, StrArg(t, 1), at("b")) && cunify(p.w, StrArg(t, 3), at("a")));
  ASSERT_TRUE(cunify(p.w, StrArg(t, 6), at("c")));
  EXPECT_EQ(writeq(vars), "['B'=b,'A'=a,'_C'=c]");
}

/* 10,000 random atoms, each of characters from random classes, written by writeq/1 under each
 * quoted charset and read back: the same atoms, and under portable nothing but ASCII. */
TEST_F(ParserTest, RandomAtomsSurviveWriteqUnderBothCharsets)
{
  const struct {
    int32_t low, high;
  } classes[] = {
      {'a', 'z'},
      {'A', 'Z'},
      {'0', '9'},
      {' ', '~'}, /* ASCII */
      {'\'', '\''},
      {'\\', '\\'},
      {'"', '"'},
      {'`', '`'}, /* quotes */
      {0, 0},
      {1, 31},
      {127, 127},
      {0x80, 0x9F}, /* controls */
      {0xA0, 0xFF},
      {0x100, 0x7FF},
      {0x800, 0xD7FF},
      {0xE000, 0xFFFD}, /* BMP */
      {0x2028, 0x2029},
      {0x10000, 0x1FFFF},
      {0x20000, 0x10FFFF}, /* above the BMP */
      {0xD800, 0xDFFF},
      {0x110000, 0x7FFFFFFF}, /* no characters, held all the same */
  };
  std::mt19937 rng(1616);
  std::vector<TAGGED> atoms;
  for (int i = 0; i < 10000; i++) {
    std::string name;
    char buf[8];
    for (int n = (int)(rng() % 6); n > 0; n--) {
      const auto &c = classes[rng() % std::size(classes)];
      int32_t code = c.low + (int32_t)(rng() % (uint32_t)(c.high - c.low + 1));
      name.append(buf, (size_t)QX_code_wci(buf, code));
    }
    atoms.push_back(at(name.c_str()));
    ASSERT_NE(atoms.back(), 0u) << i;
  }
  for (const char *charset : {"portable", "prolog"}) {
    qx_eg.current_quoted_charset_flag = at(charset);
    /* One file of "Atom ." lines, read back one term after another. */
    std::string text = file_output([&](QX_stream *s) {
      QX_stream *before = qx_eg.output_stream_ptr;
      qx_eg.output_stream_ptr = s;
      for (TAGGED a : atoms) {
        EXPECT_EQ(call("writeq", {a}).rc, 1);
        EXPECT_GE(QX_put_encoded_string(s, " .\n", 0), 0);
      }
      qx_eg.output_stream_ptr = before;
    });
    if (std::string(charset) == "portable") {
      EXPECT_TRUE(std::all_of(text.begin(), text.end(), [](char c) { return c > 0 && c < 127; }));
    }
    QX_stream *s = nullptr;
    ASSERT_EQ(QX_stream_from_string(text.c_str(), &s), 1) << charset;
    int32_t ch = qx_get_code_helper(s, 0);
    size_t line = 0;
    for (TAGGED a : atoms) {
      TAGGED term = 0, vars = 0;
      size_t end = text.find(" .\n", line);
      std::string written = text.substr(line, end - line);
      line = end + 3;
      if (qx_read_term(p.w, s, &ch, &term, &vars) != 1 || term != a) {
        ADD_FAILURE() << charset << ": " << written << " read as "
                      << (term ? writeq(term) : std::string("an error"));
        break;
      }
    }
    QX_fclose(s, 0);
  }
}

TEST_F(ParserTest, RandomTermsSurviveWriteqAndRead)
{
  std::mt19937 rng(16);
  const char *const atoms[] = {"a",
                               "[]",
                               "hello world",
                               "Abc",
                               "don't",
                               "-",
                               "+",
                               ":-",
                               ",",
                               "|",
                               "\\",
                               "\n",
                               "é",
                               "{}",
                               ";",
                               "'",
                               "mod",
                               "f",
                               "\t\x01",
                               "\xe6\xbc\xa2",
                               "\xf0\x9f\x98\x80",
                               "a\xe2\x80\xa8"
                               "b"};
  const char *const numbers[] = {"0",
                                 "-1",
                                 "17",
                                 "-268435457",
                                 "4294967296",
                                 "-123456789012345678901234567890",
                                 "1.5",
                                 "-0.1",
                                 "1.0E-300",
                                 "0.1",
                                 "3.141592653589793",
                                 "-2.5E-310",
                                 "1.7976931348623157E308"};
  const char *const ops[] = {"-", "+",  ":-", ",",   ";", "->",  "=", "is",
                             "*", "**", "^",  "\\+", ":", "mod", "f", "-->"};
  /* A finite double of random bits, or an integer of 1 to 40 random digits and random sign. */
  auto random_float = [&] {
    uint32_t low = rng(), high = rng();
    if ((high & 0x7FF00000) == 0x7FF00000) high &= ~0x40000000u; /* no infinity or NaN */
    return make_float(p.w, low, high);
  };
  auto random_integer = [&] {
    std::string digits = rng() % 2 ? "-" : "";
    for (int n = 1 + (int)(rng() % 40); n > 0; n--) digits += (char)('0' + rng() % 10);
    int status = 0;
    return qx_string_to_number(p.w, digits.c_str(), 10, &status);
  };
  QX_term_ref mark = QX_new_term_refs(0);
  for (int round = 0; round < 1000; round++) {
    TAGGED pool[3] = {fresh(), fresh(), fresh()};
    /* Built bottom-up from a stack of finished terms, so that no recursion is needed. */
    std::vector<TAGGED> made;
    for (int step = 0; step < 12; step++) {
      int pick = (int)(rng() % 7);
      if (made.empty() || pick < 3) {
        int leaf = (int)(rng() % 5);
        int status = 0;
        made.push_back(
            leaf == 0   ? at(atoms[rng() % std::size(atoms)])
            : leaf == 1 ? qx_string_to_number(p.w, numbers[rng() % std::size(numbers)], 10, &status)
            : leaf == 2 ? random_float()
            : leaf == 3 ? random_integer()
                        : pool[rng() % 3]);
      } else if (pick < 5 || made.size() < 2) {
        TAGGED x = made.back();
        made.pop_back();
        made.push_back(p.compound(ops[rng() % std::size(ops)], {x}));
      } else if (pick == 5) {
        TAGGED y = made.back();
        made.pop_back();
        TAGGED x = made.back();
        made.pop_back();
        made.push_back(p.compound(ops[rng() % std::size(ops)], {x, y}));
      } else {
        TAGGED y = made.back();
        made.pop_back();
        made.push_back(p.cons(y, rng() % 2 ? atom_nil : made.empty() ? pool[0] : made.back()));
      }
    }
    TAGGED original = made.back();
    qx_gc_root keep(&original); /* writing and reading may collect */
    std::string text = writeq(original);
    QX_term_ref t = QX_new_term_ref();
    ASSERT_EQ(QX_read_from_string(t, (text + " .").c_str(), nullptr), 1) << text;
    TAGGED back = qx_ref_term(t);
    EXPECT_TRUE(variant(original, back)) << text << " read as " << writeq(back);
    QX_reset_term_refs(mark);
  }
}

TEST_F(ParserTest, DeepAndLongTermsNeedNoRecursion)
{
  const int depth = 100000;
  std::string text;
  for (int i = 0; i < depth; i++) text += "f(";
  text += "a";
  text += std::string(depth, ')') + ".";
  TAGGED t = read(text);
  ASSERT_NE(t, 0u);
  int seen = 0;
  for (t = deref(t); IsStr(t); t = deref(StrArg(t, 1))) seen++;
  EXPECT_EQ(seen, depth);
  EXPECT_EQ(t, at("a"));

  std::string prefixes;
  for (int i = 0; i < depth; i++) prefixes += "- ";
  t = read(prefixes + "(a:-b).");
  ASSERT_NE(t, 0u);
  for (seen = 0, t = deref(t); StrFunctor(t) == MakeFunctor(atom_minus, 1); t = deref(StrArg(t, 1)))
    seen++;
  EXPECT_EQ(seen, depth);

  const int length = 1000000;
  std::string list = "[";
  for (int i = 0; i < length; i++) list += i ? ",7" : "7";
  t = read(list + "].");
  ASSERT_NE(t, 0u);
  EXPECT_EQ(list_length(t), length);
  std::string chain = "a";
  for (int i = 0; i < depth; i++) chain += "-a";
  t = read(chain + ".");
  ASSERT_NE(t, 0u);
  for (seen = 0, t = deref(t); IsStr(t); t = deref(StrArg(t, 1))) seen++;
  EXPECT_EQ(seen, depth);
}

/* A long clause read in a 64 KiB heap, collecting whenever the reader or the tokenizer makes room
 * (the tokens read before are garbage below the term being built): the term, its variables and
 * their sharing are those of the same read without collection. */
TEST_F(ParserSmallHeap, AReadWithCollectionsInTheMiddleGivesTheTermOfOneWithout)
{
  std::string text = "p(X, T, [";
  for (int i = 0; i < 300; i++)
    text += std::string(i ? ", " : "") + "f(X, 'a b', [1, " + std::to_string(i) + "|T], -" +
            std::to_string(i) +
            ".5e3, \"str\", 123456789012345678901234567890, - (1), (a :- b, c)" + ", Y" +
            std::to_string(i % 7) + ")";
  text += "]) :- X = T.";
  bool stress = qx_gc_stress;
  uint32_t margin = qx_eg.current_gcmargin;
  std::string written[2], names[2];
  uint64_t collections[2];
  for (int collect = 1; collect >= 0; collect--) { /* first while the heap is still small */
    qx_gc_stress = collect == 1;
    qx_eg.current_gcmode = collect ? atom_on : atom_off;
    qx_eg.current_gcmargin = 4; /* KiB: the heap is kept small by collecting */
    uint64_t before = qx_gc_statistics()->collections;
    TAGGED vars = 0;
    TAGGED t = read(text, &vars);
    collections[collect] = qx_gc_statistics()->collections - before;
    qx_gc_stress = false;
    qx_eg.current_gcmode = atom_off; /* the checks below leave the terms where they are */
    ASSERT_NE(t, 0u);
    for (TAGGED l = deref(vars); IsLst(l); l = deref(LstTail(l))) {
      TAGGED eq = deref(LstHead(l));
      names[collect] += writeq(StrArg(eq, 1)) + " ";
      /* each named variable is the one at its places in the term: bind it to its name */
      EXPECT_TRUE(cunify(p.w, StrArg(eq, 2), StrArg(eq, 1)));
    }
    written[collect] = writeq(t);
  }
  qx_gc_stress = stress;
  qx_eg.current_gcmode = atom_on;
  qx_eg.current_gcmargin = margin;
  EXPECT_EQ(collections[0], 0u);
  EXPECT_GE(collections[1], 5u);
  EXPECT_EQ(names[0], "'X' 'T' 'Y0' 'Y1' 'Y2' 'Y3' 'Y4' 'Y5' 'Y6' ");
  EXPECT_EQ(names[1], names[0]);
  EXPECT_EQ(written[0].rfind("p('X','T',[f('X','a b',[1,0|'T'],-500.0,[115,116,114],"
                             "123456789012345678901234567890,-(1),(a:-b,c),'Y0'),f(",
                             0),
            0u)
      << written[0].substr(0, 200);
  EXPECT_TRUE(written[1] == written[0]) << written[1].substr(0, 400);
}
