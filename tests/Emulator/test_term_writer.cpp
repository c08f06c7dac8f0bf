/* The primitive term writer, byte-exact on real file streams: quoting and escaping of atoms
 * under both quoted charsets, numbers with and without a float format, variables, functors of
 * compounds, options terms of every shape, the errors of the built-ins, and wr_tagged. */
#include <fstream>
#include <sstream>

#include "stream_fixture.h"
#include "term_writer.h"
#include "scratch_root.h"

namespace {

class TermWriterTest : public StreamTest {
protected:
  /* The options compound: argument 1 quote, 8 the charset, 9 the float format. */
  TAGGED options(bool quote, const char *charset, TAGGED format = atom_nil)
  {
    TAGGED z = MakeSmall(0);
    return p.compound("o",
                      {quote ? atom_true : at("false"), z, z, z, z, z, z, at(charset), format});
  }

  TAGGED number(const char *text)
  {
    int status = 0;
    TAGGED n = qx_string_to_number(p.w, text, 10, &status);
    EXPECT_NE(n, 0u) << text;
    return n;
  }
};

}  // namespace

TEST_F(TermWriterTest, PrimitiveTermsWriteByteExactUnderEachOptionsShape)
{
  TAGGED x = fresh();
  std::string var_name = "_" + std::to_string(RefPtr(x) - p.w->heap_start);
  TAGGED q_portable = options(true, "portable"), q_prolog = options(true, "prolog");
  TAGGED unquoted = options(false, "portable");
  struct {
    TAGGED term, opts;
    std::string expected;
  } rows[] = {
      {atom_nil, q_portable, "[]"},
      {at("\xC3\xA0"), q_portable, "'\\xE0\\'"}, /* a with grave accent */
      {at("\xC3\xA0"), q_prolog, "\xC3\xA0"},
      {at("\xC3\xA0"), unquoted, "\xC3\xA0"},
      {at("'"), q_portable, "'\\''"},
      {at("'"), q_prolog, "'\\''"},
      {at("'"), unquoted, "'"},
      {at("a\nb"), q_prolog, "'a\\nb'"},
      {at("a\xE2\x80\xA8"), q_prolog, "'a\\x2028\\'"}, /* line separator */
      {at("a\xE2\x80\xA8"), q_portable, "'a\\x2028\\'"},
      {at("\x7F"), q_portable, "'\\d'"},
      {at("\\ \t\x07\x1B"), q_prolog, "'\\\\ \\t\\a\\e'"},
      {at("hello world"), q_portable, "'hello world'"},
      {at("A\xC3\xA0"), q_prolog, "'A\xC3\xA0'"},  /* quoted, not escaped */
      {at("A\xC3\xA0"), q_portable, "'A\\xE0\\'"}, /* quoted and escaped */
      {at("\xC0\x80"), q_prolog, "'\\x0\\'"},      /* code 0 */
      {at("abc"), q_portable, "abc"},
      {at("Abc"), at("foo"), "Abc"},                    /* an atom is no options */
      {at("Abc"), p.compound("o", {atom_true}), "Abc"}, /* arity 1 is no options */
      {p.compound("hello world", {x}), q_portable, "'hello world'"},
      {p.compound("f", {x}), q_portable, "f"},
      {p.list({MakeSmall(1)}), q_portable, "."},
      {x, q_portable, var_name},
      {MakeSmall(-42), q_portable, "-42"},
      {number("1267650600228229401496703205376"), 0, "1267650600228229401496703205376"},
      {number("-1267650600228229401496703205376"), q_portable, "-1267650600228229401496703205376"},
      {number("0.1"), 0, "0.1"},
      {number("1.0e20"), q_portable, "1.0e20"},
      {number("0.1"), options(true, "portable", p.compound("f", {MakeSmall('e'), MakeSmall(9)})),
       "1.000000000e-01"},
      {number("0.25"), options(true, "portable", p.compound("f", {MakeSmall('f'), MakeSmall(4)})),
       "0.2500"},
      {number("0.1"), options(true, "portable", at("e")), "0.1"}, /* argument 9 not arity 2 */
      {number("0.1"), options(true, "portable", p.compound("f", {MakeSmall('e')})), "0.1"},
  };
  for (const auto &row : rows) {
    std::string got = file_output([&](QX_stream *s) {
      TAGGED opts = row.opts ? row.opts : MakeSmall(0);
      bi_call r = call("$write", {term(s), row.term, opts});
      EXPECT_EQ(r.rc, 1);
      EXPECT_FALSE(r.raised);
      EXPECT_EQ(s->flags & QX_SF_WRITING_TERM, 0u) << "the flag is put back";
    });
    EXPECT_EQ(got, row.expected) << TestProlog::show(row.term);
  }
  /* $display never quotes; no options. */
  std::string got = file_output([&](QX_stream *s) {
    for (TAGGED t : {at("hello world"), at("'"), number("0.1"), p.compound("A b", {x})})
      EXPECT_EQ(call("$display", {term(s), t}).rc, 1);
  });
  EXPECT_EQ(got, "hello world'0.1A b");
}

TEST_F(TermWriterTest, QuotedCharsetDefaultsToTheFlagWithoutOptions)
{
  TAGGED a_grave = at("\xC3\xA0");
  for (const char *charset : {"portable", "prolog"}) {
    qx_eg.current_quoted_charset_flag = at(charset);
    std::string got = file_output([&](QX_stream *s) {
      EXPECT_EQ(print_atom(s, a_grave, 0), 0);
      EXPECT_EQ(print_atom(s, at("x y"), MakeSmall(3)), 0);
    });
    EXPECT_EQ(got, std::string(charset) == "portable" ? "'\\xE0\\''x y'" : "\xC3\xA0'x y'");
  }
  qx_eg.current_quoted_charset_flag = 0;
}

TEST_F(TermWriterTest, BuiltinsRaiseTheStreamLookupErrorUnderTheirOwnNames)
{
  QX_stream *in = null_stream(0x2);
  ASSERT_NE(in, nullptr);
  TAGGED o = options(true, "portable");
  struct {
    const char *name;
    std::vector<TAGGED> args;
    uint32_t code;
    const char *predicate;
  } rows[] = {
      {"$write", {at("no_alias"), at("a"), o}, 0x902, "$writeq/2"},
      {"$write", {MakeSmall(12), at("a"), o}, 0x902, "$writeq/2"},
      {"$write", {term(in), at("a"), o}, 0x206, "$writeq/2"},
      {"$display", {at("no_alias"), at("a")}, 0x902, "$write/2"},
      {"$display", {term(in), at("a")}, 0x206, "$write/2"},
  };
  rows_kept kept(rows);
  for (auto &row : rows) {
    bi_call r;
    for (int i = 0; i < 10 && (r = call(row.name, row.args)).rc == 1; i++) {}
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(r.raised);
    EXPECT_EQ(r.code, row.code) << row.name;
    EXPECT_EQ(r.argument, 1);
    EXPECT_EQ(r.predicate, row.predicate);
  }
  EXPECT_EQ(qx_fclose_internal(in, 0), 2);
}

TEST_F(TermWriterTest, WrTaggedWritesWholeTermsAndCutsAtTheEleventhLevel)
{
  TAGGED deep = at("a");
  for (int i = 0; i < 10; i++) deep = p.compound("f", {deep});
  TAGGED nine = StrArg(deep, 1); /* f nested nine times around a */
  struct {
    TAGGED term;
    std::string expected;
  } rows[] = {
      {deep, "f(f(f(f(f(f(f(f(f(f(...))))))))))\n"},
      {nine, "f(f(f(f(f(f(f(f(f(a)))))))))\n"},
      {p.list({MakeSmall(1), at("x y"), number("2.5")}), "[1,'x y',2.5]\n"},
      {p.list({at("a")}, MakeSmall(7)), "[a|7]\n"},
      {p.compound("g", {p.list({at("[]")}), number("-1267650600228229401496703205376")}),
       "g([[]],-1267650600228229401496703205376)\n"},
  };
  for (const auto &row : rows) {
    wr_tagged(row.term);
    EXPECT_EQ(drain(peer[2]), row.expected);
  }
}

TEST_F(TermWriterTest, OutputErrorsRaiseTheMappedStreamError)
{
  QX_stream *s = refusing_stream(true);
  ASSERT_NE(s, nullptr);
  /* Long names fill the buffers of the node and the layers until one reaches the device. */
  std::string name(20000, 'x');
  struct {
    const char *name;
    std::vector<TAGGED> args;
    const char *predicate;
  } rows[] = {
      {"$write", {term(s), at(name.c_str()), options(true, "portable")}, "$writeq/2"},
      {"$display", {term(s), at(("A" + name).c_str())}, "$write/2"},
  };
  rows_kept kept(rows);
  for (auto &row : rows) {
    bi_call r;
    for (int i = 0; i < 10 && (r = call(row.name, row.args)).rc == 1; i++) {}
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(r.raised);
    EXPECT_EQ(r.code, 5u) << row.name;
    EXPECT_EQ(r.message, "QXIO_E_END_OF_FILE");
    EXPECT_EQ(r.predicate, row.predicate);
    EXPECT_EQ(s->flags & QX_SF_WRITING_TERM, 0u) << "the flag is put back after a failure";
  }
  EXPECT_EQ(qx_fclose_internal(s, QX_FC_FORCE), 2);
}

TEST_F(TermWriterTest, WriteTermWritesToTheCurrentOutputWithNoLineFeed)
{
  TAGGED x = fresh();
  std::string var_name = "_" + std::to_string(RefPtr(x) - p.w->heap_start);
  TAGGED deep = at("a");
  for (int i = 0; i < 11; i++) deep = p.compound("f", {deep});
  struct {
    TAGGED term;
    std::string expected;
  } rows[] = {
      {at("a"), "a"},
      {p.compound("f", {x, at("a b"), p.list({MakeSmall(1), atom_nil}, x), number("-2.5")}),
       "f(" + var_name + ",'a b',[1,[]|" + var_name + "],-2.5)"},
      {p.list({at("don't"), number("1267650600228229401496703205376"), at("\xC3\xA0")}),
       "['don\\'t',1267650600228229401496703205376,\xC3\xA0]"},
      {deep, "f(f(f(f(f(f(f(f(f(f(...))))))))))"},
  };
  QX_term_ref mark = QX_new_term_refs(0);
  std::string all;
  std::string written = file_output([&](QX_stream *s) {
    QX_stream *before = qx_eg.output_stream_ptr;
    qx_eg.output_stream_ptr = s;
    for (const auto &row : rows) {
      QX_term_ref t = QX_new_term_ref();
      set(t, row.term);
      QX_write_term(t);
      all += row.expected;
    }
    qx_eg.output_stream_ptr = before;
  });
  EXPECT_EQ(written, all);
  EXPECT_EQ(drain(peer[2]), ""); /* nothing on the user error stream */
  QX_reset_term_refs(mark);
}

/* The atom table holds well-formed internal encoding only, but that covers codes that are no
 * characters: surrogates, codes above 0x10FFFF in the five- and six-byte forms, and code 0 in
 * its two-byte form. Quoted they write as escapes under both charsets; unquoted, a UTF-8 file
 * cannot hold them and the stream reports the encoding error rather than losing it. */
TEST_F(TermWriterTest, AtomsOfCodesThatAreNoCharactersWriteAsEscapes)
{
  const char *const rows[][2] = {
      {"\xED\xA0\x80", "'\\xD800\\'"},
      {"a\xED\xBF\xBF", "'a\\xDFFF\\'"},
      {"\xF4\x90\x80\x80", "'\\x110000\\'"},
      {"\xF8\x88\x80\x80\x80", "'\\x200000\\'"},
      {"\xFD\xBF\xBF\xBF\xBF\xBF", "'\\x7FFFFFFF\\'"},
      {"\xC0\x80"
       "a",
       "'\\x0\\a'"},
  };
  for (const auto &row : rows) {
    TAGGED a = at(row[0]);
    ASSERT_NE(a, 0u) << row[1];
    for (const char *charset : {"portable", "prolog"}) {
      std::string got = file_output([&](QX_stream *s) {
        EXPECT_EQ(call("$write", {term(s), a, options(true, charset)}).rc, 1);
      });
      EXPECT_EQ(got, row[1]) << charset;
    }
    if (row[0][0] == '\xC0') continue; /* code 0 is a byte of UTF-8 */
    std::string path = qx_scratch_root() + "/qx_no_character";
    QX_stream *s = stream_over_fd(
        open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600), QX_SC_OUTPUT);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(call("$write", {term(s), a, options(false, "prolog")}).rc, 1);
    if (qx_fclose_internal(s, 0) >= 0)
      ADD_FAILURE() << "the encoding error is lost: " << row[1];
    else
      qx_fclose_internal(s, QX_FC_FORCE);
    unlink(path.c_str());
  }
  /* Malformed UTF-8 never becomes a name. */
  for (const char *bad : {"\x80", "\xC0\x81", "\xE0\x80\x80", "\xFE", "\xC3", "a\xFF"})
    EXPECT_EQ(at(bad), 0u);
}
