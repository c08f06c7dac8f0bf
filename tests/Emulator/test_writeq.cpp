/* write/1, writeq/1 and nl/0 on a file stream made the current output: whole terms in standard
 * operator syntax, byte for byte, and terms too deep or too long for a recursive walk. */
#include "stream_fixture.h"
#include "wam_internal.h"

namespace {

class WriteqTest : public StreamTest {
protected:
  /* What the goals name(term) leave in a file that is the current output meanwhile. */
  std::string written(const char *name, std::initializer_list<TAGGED> terms)
  {
    return file_output([&](QX_stream *s) {
      QX_stream *before = qx_eg.output_stream_ptr;
      qx_eg.output_stream_ptr = s;
      for (TAGGED t : terms) {
        bi_call r = call(name, {t});
        EXPECT_EQ(r.rc, 1);
        EXPECT_FALSE(r.raised);
      }
      qx_eg.output_stream_ptr = before;
    });
  }

  TAGGED f(const char *name, std::initializer_list<TAGGED> args) { return p.compound(name, args); }
  TAGGED i(int32_t v) { return MakeSmall(v); }
  TAGGED number(const char *text)
  {
    int status = 0;
    return qx_string_to_number(p.w, text, 10, &status);
  }
};

}  // namespace

TEST_F(WriteqTest, TermsWriteByteExactInStandardOperatorSyntax)
{
  TAGGED a = at("a"), b = at("b"), c = at("c");
  struct {
    TAGGED term;
    const char *write, *writeq;
  } rows[] = {
      {a, "a", "a"},
      {atom_nil, "[]", "[]"},
      {at("{}"), "{}", "{}"},
      {at("hello world"), "hello world", "'hello world'"},
      {at("Abc"), "Abc", "'Abc'"},
      {at(","), ",", "','"},
      {at("|"), "|", "'|'"},
      {at(";"), ";", ";"},
      {at("!"), "!", "!"},
      {at("+"), "+", "+"},
      {at("don't"), "don't", "'don\\'t'"},
      {at("."), ".", "'.'"},
      {at("/*"), "/*", "'/*'"},
      {at(""), "", "''"},
      {at("\\"), "\\", "\\"},
      {at("a1_B"), "a1_B", "a1_B"},
      {at("_x"), "_x", "'_x'"},
      {at("1a"), "1a", "'1a'"},
      {at("end."), "end.", "'end.'"},
      {at("=.."), "=..", "=.."},
      {f("f", {a, at("B")}), "f(a,B)", "f(a,'B')"},
      {f("hello world", {at("x")}), "hello world(x)", "'hello world'(x)"},
      {f("f", {at(";"), at("|"), atom_nil, at("{}")}), "f(;,|,[],{})", "f(;,'|',[],{})"},
      {p.list({a, b, c}), "[a,b,c]", "[a,b,c]"},
      {p.list({a, b}, c), "[a,b|c]", "[a,b|c]"},
      {p.list({p.list({})}), "[[]]", "[[]]"},
      {f("{}", {f(",", {a, b})}), "{a,b}", "{a,b}"},
      {f("{}", {a, b}), "{}(a,b)", "{}(a,b)"},
      {f("+", {i(1), f("*", {i(2), i(3)})}), "1+2*3", "1+2*3"},
      {f("*", {f("+", {i(1), i(2)}), i(3)}), "(1+2)*3", "(1+2)*3"},
      {f("-", {i(1), f("-", {i(2), i(3)})}), "1-(2-3)", "1-(2-3)"},
      {f("-", {f("-", {i(1), i(2)}), i(3)}), "1-2-3", "1-2-3"},
      {f("^", {i(2), f("^", {i(3), i(4)})}), "2^3^4", "2^3^4"},
      {f("^", {f("^", {i(2), i(3)}), i(4)}), "(2^3)^4", "(2^3)^4"},
      {f("**", {f("**", {i(2), i(3)}), i(4)}), "(2**3)**4", "(2**3)**4"},
      {f(":-", {a, f(",", {b, c})}), "a:-b,c", "a:-b,c"},
      {f(":-", {f(":-", {a, b}), c}), "(a:-b):-c", "(a:-b):-c"},
      {f("f", {f(":-", {a, b})}), "f((a:-b))", "f((a:-b))"},
      {f("f", {f(",", {a, b})}), "f((a,b))", "f((a,b))"},
      {p.list({f(":-", {a, b})}), "[(a:-b)]", "[(a:-b)]"},
      {f("f", {f("=", {a, b})}), "f(a=b)", "f(a=b)"},
      {f(";", {f("->", {a, b}), c}), "a->b;c", "a->b;c"},
      {f(",", {f(";", {a, b}), c}), "(a;b),c", "(a;b),c"},
      {f(":", {a, f(":", {b, c})}), "a:b:c", "a:b:c"},
      {f("-", {i(1)}), "-(1)", "-(1)"},
      {f("-", {number("1.0")}), "-(1.0)", "-(1.0)"},
      {f("-", {i(-1)}), "- -1", "- -1"},
      {f("-", {f("-", {i(1)})}), "- -(1)", "- -(1)"},
      {f("-", {a}), "-a", "-a"},
      {f("-", {f("-", {a})}), "- -a", "- -a"},
      {f("-", {i(1), i(-1)}), "1- -1", "1- -1"},
      {f("-", {a, f("-", {i(1)})}), "a- -(1)", "a- -(1)"},
      {f("+", {i(1), i(-2)}), "1+ -2", "1+ -2"},
      {i(-1), "-1", "-1"},
      {f("-", {f("^", {i(1), i(2)})}), "-(1^2)", "-(1^2)"},
      {f("^", {i(-1), i(2)}), "-1^2", "-1^2"},
      {f("-", {f("^", {a, b})}), "-a^b", "-a^b"},
      {f("^", {f("-", {a}), b}), "(-a)^b", "(-a)^b"},
      {f("-", {f(",", {a, b})}), "-((a,b))", "-((a,b))"},
      {f("-", {f("\\+", {a})}), "-(\\+a)", "-(\\+a)"},
      {f("\\+", {f("\\+", {a})}), "\\+ \\+a", "\\+ \\+a"},
      {f("\\+", {f(",", {a, b})}), "\\+((a,b))", "\\+((a,b))"},
      {f("=", {a, f("\\+", {b})}), "a=(\\+b)", "a=(\\+b)"},
      {f("=", {a, f("-", {b})}), "a= -b", "a= -b"},
      {f("=", {a, at("\\+")}), "a=(\\+)", "a=(\\+)"},
      {f("-", {at("-")}), "-(-)", "-(-)"},
      {f("-", {f("^", {at("+"), a})}), "-((+)^a)", "-((+)^a)"},
      {f("-", {f("^", {f("-", {i(1)}), a})}), "-(-(1)^a)", "-(-(1)^a)"},
      {f("f", {at("+"), at(":-")}), "f(+,:-)", "f(+,:-)"},
      {p.list({at("-")}), "[-]", "[-]"},
      {f("=", {at("+++"), a}), "+++ =a", "+++ =a"},
      {f("=", {a, at("+++")}), "a= +++", "a= +++"},
      {f("is", {at("x"), f("rem", {i(1), i(2)})}), "x is 1 rem 2", "x is 1 rem 2"},
      {f("mod", {i(-1), at("y")}), "-1 mod y", "-1 mod y"},
      {f("?-", {a}), "?-a", "?-a"},
      {f("+", {at("A"), at("b c")}), "A+b c", "'A'+'b c'"},
      {f("f", {at("\n")}), "f(\n)", "f('\\n')"},
      {f("-", {f("+", {i(1)}), i(1)}), "+(1)-1", "+(1)-1"},
      {number("-2.5"), "-2.5", "-2.5"},
      {number("1267650600228229401496703205376"), "1267650600228229401496703205376",
       "1267650600228229401496703205376"},
  };
  for (const auto &row : rows) {
    EXPECT_EQ(written("write", {row.term}), row.write) << row.writeq;
    EXPECT_EQ(written("writeq", {row.term}), row.writeq);
  }
  /* Variables: shared ones show the same name; nl/0 ends a line. */
  TAGGED x = fresh(), y = fresh();
  auto name = [&](TAGGED v) { return "_" + std::to_string(RefPtr(v) - p.w->heap_start); };
  std::string expected =
      "f(" + name(x) + "," + name(y) + "," + name(x) + ")" + name(x) + " is " + name(y) + "\n";
  EXPECT_EQ(file_output([&](QX_stream *s) {
              QX_stream *before = qx_eg.output_stream_ptr;
              qx_eg.output_stream_ptr = s;
              EXPECT_EQ(call("writeq", {f("f", {x, y, x})}).rc, 1);
              EXPECT_EQ(call("write", {f("is", {x, y})}).rc, 1);
              EXPECT_EQ(call("nl", {}).rc, 1);
              qx_eg.output_stream_ptr = before;
            }),
            expected);
}

TEST_F(WriteqTest, DeepTermsAndLongListsWriteWithoutRecursion)
{
  const int depth = 100000, length = 1000000;
  const uint32_t words = 6 * depth + 2 * length;
  qx_heap_room(p.w, words);
  ASSERT_GE(p.w->stack_start - p.w->global_top, (ptrdiff_t)words);
  TAGGED deep_f = at("a"), deep_minus = at("a"), deep_list = atom_nil;
  for (int k = 0; k < depth; k++) {
    deep_f = f("f", {deep_f});
    deep_minus = f("-", {deep_minus});
    deep_list = p.list({deep_list});
  }
  TAGGED long_list = atom_nil;
  for (int k = length; k > 0; k--) long_list = p.cons(MakeSmall(k % 10), long_list);
  std::string f_text, minus_text = "-", list_text, long_text = "[";
  for (int k = 0; k < depth; k++) f_text += "f(";
  f_text += "a" + std::string(depth, ')');
  for (int k = 1; k < depth; k++) minus_text += " -";
  minus_text += "a";
  list_text = std::string(depth, '[') + "[]" + std::string(depth, ']');
  for (int k = 1; k <= length; k++) {
    long_text += (char)('0' + k % 10);
    long_text += k < length ? ',' : ']';
  }
  EXPECT_EQ(written("writeq", {deep_f}), f_text);
  EXPECT_EQ(written("writeq", {deep_minus}), minus_text);
  EXPECT_EQ(written("write", {deep_list}), list_text);
  EXPECT_EQ(written("writeq", {long_list}), long_text);
}

TEST_F(WriteqTest, OutputErrorsRaiseTheMappedStreamErrorUnderEachName)
{
  QX_stream *s = refusing_stream(true);
  ASSERT_NE(s, nullptr);
  QX_stream *before = qx_eg.output_stream_ptr;
  qx_eg.output_stream_ptr = s;
  /* A long list of quoted atoms goes out in several pieces until one reaches the device. */
  std::vector<TAGGED> items(5000, at("a b"));
  TAGGED list = atom_nil;
  for (TAGGED item : items) list = p.cons(item, list);
  struct {
    const char *name;
    std::vector<TAGGED> args;
    const char *predicate;
  } rows[] = {
      {"writeq", {list}, "writeq/1"},
      {"write", {list}, "write/1"},
      {"nl", {}, "nl/0"},
  };
  rows_kept kept(rows);
  for (auto &row : rows) {
    bi_call r;
    for (int i = 0; i < 10000 && (r = call(row.name, row.args)).rc == 1; i++) {}
    EXPECT_EQ(r.rc, 0) << row.name;
    EXPECT_TRUE(r.raised);
    EXPECT_EQ(r.message, "QXIO_E_END_OF_FILE");
    EXPECT_EQ(r.predicate, row.predicate);
    EXPECT_EQ(s->flags & QX_SF_WRITING_TERM, 0u) << "the flag is put back after a failure";
  }
  qx_eg.output_stream_ptr = before;
  EXPECT_EQ(qx_fclose_internal(s, QX_FC_FORCE), 2);
}
