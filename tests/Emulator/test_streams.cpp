/* Stream nodes and the stream built-ins over real pipes, files and socketpairs: creation and
 * lookup, counting, end of stream and unget, output that a device refuses, and the error map. */
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <random>

#include "qxio/fs_test_util.h"
#include "qxio/qxio_simple_device.h"
#include "stream_fixture.h"
#include "test_fork.h"
#include "scratch_root.h"

namespace {

std::string temp_path(const char *name)
{
  return qx_scratch_root() + "/qx_stream_test_" + name;
}

void write_file(const std::string &path, const std::string &bytes)
{
  std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace

/* ---- creation and lookup ---- */

TEST_F(StreamTest, CreationChecksItsParametersAndTheLayersItemKinds)
{
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  QXIO bytes = nullptr;
  ASSERT_EQ(qxio_layer_threaddevice_open_file_handle_unix(&bytes, ends[0], QXIO_FD_READ), 0);
  struct {
    bool slot;
    uint32_t options;
    int expected;
  } cases[] = {
      {true, QX_SC_BINARY, QXIO_E_PARAMETER_ERROR}, /* no direction */
      {true, QX_SC_INPUT | QX_SC_BINARY | QX_SC_TEXT, QXIO_E_PARAMETER_ERROR},
      {true, QX_SC_INPUT, QXIO_E_PARAMETER_ERROR},               /* no kind */
      {false, QX_SC_INPUT | QX_SC_TEXT, QXIO_E_PARAMETER_ERROR}, /* no slot, no 0x100 */
      {true, QX_SC_INPUT | QX_SC_TEXT | QX_SC_NO_QXIO, QXIO_E_PARAMETER_ERROR},
      {true, QX_SC_OUTPUT | QX_SC_BINARY, QXIO_E_NOT_WRITE},      /* read end of a pipe */
      {true, QX_SC_INPUT | QX_SC_TEXT, QXIO_E_GRANULARITY_ERROR}, /* bytes, no coder */
  };
  for (const auto &c : cases) {
    QX_stream *s = nullptr;
    EXPECT_EQ(QX_create_qxio_stream(c.slot ? &bytes : nullptr, &s, c.options), c.expected)
        << std::hex << c.options;
    EXPECT_NE(bytes, nullptr) << "a refused creation leaves the stream with the caller";
  }
  QX_stream *s = nullptr;
  ASSERT_EQ(QX_create_qxio_stream(&bytes, &s, QX_SC_INPUT | QX_SC_BINARY | QX_SC_HIDDEN), 0);
  EXPECT_EQ(bytes, nullptr) << "the node took the stream over";
  EXPECT_EQ(s->mode, QX_SM_ALWAYS | QX_SM_INPUT | QX_SM_BINARY | QX_SM_HIDDEN);
  close(ends[1]);
}

TEST_F(StreamTest, LookupResolvesAliasesAndRefusesWhatIsNoLiveStream)
{
  EXPECT_EQ(stream_to_ptr(at("user"), QX_SM_INPUT, 0), qx_eg.stream_user_input);
  EXPECT_EQ(stream_to_ptr(at("user"), QX_SM_OUTPUT, 0), qx_eg.stream_user_output);
  EXPECT_EQ(stream_to_ptr(at("user_error"), QX_SM_OUTPUT, 0), qx_eg.stream_user_error);
  QX_stream *hidden = null_stream(0x4 | 0x40);
  ASSERT_NE(hidden, nullptr);
  EXPECT_EQ(stream_to_ptr(term(hidden), 0, 0), hidden);
  EXPECT_EQ(stream_to_ptr(term(hidden), 0, QX_SM_HIDDEN), nullptr);
  EXPECT_EQ(qx_eg.pending_error_code, 0x206u);
  /* Enumeration lists the visible nodes of the ring in order, none hidden: the persistent null
   * stream, always first, neither. */
  std::vector<QX_stream *> listed, visible;
  for (QX_stream *next = nullptr; QX_next_stream(next, &next) == 0 && next;) listed.push_back(next);
  for (QX_stream *s = qx_eg.root_stream_ptr->forward; s != qx_eg.root_stream_ptr; s = s->forward)
    if (!(s->mode & QX_SM_HIDDEN)) visible.push_back(s);
  EXPECT_EQ(listed, visible);
  EXPECT_EQ(qx_eg.root_stream_ptr->forward, qx_eg.persistent_null_stream);
  EXPECT_EQ(listed.size(), 3u) << "the user streams";
  TAGGED closed = term(hidden);
  ASSERT_EQ(qx_fclose_internal(hidden, 0), 2);
  /* Stream arguments that are no stream: 0x902 on argument 1, the term as culprit. */
  TAGGED not_streams[] = {closed, at("no_alias"), num(-8), num(int64_t(1) << 40), MakeSmall(0)};
  for (TAGGED t : not_streams) {
    bi_call r = call("$get_code", {t, fresh(), MakeSmall(0)});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.code, 0x902u) << TestProlog::show(t);
    EXPECT_EQ(r.argument, 1);
    EXPECT_EQ(r.culprit, TestProlog::show(t));
  }
  bi_call wrong = call("$put_code", {at("user_input"), MakeSmall(97), MakeSmall(0)});
  EXPECT_EQ(wrong.code, 0x206u);
  EXPECT_EQ(call("$get_code", {at("user_output"), fresh(), MakeSmall(0)}).code, 0x106u);
}

TEST_F(StreamTest, QuietLookupsSwitchTheCurrentStreamOrFailWithoutARecord)
{
  QX_stream *out = null_stream(0x4);
  TAGGED old = fresh();
  bi_call r = call("$output", {old, term(out)});
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(qx_eg.output_stream_ptr, out);
  EXPECT_EQ(TestProlog::show(old), std::to_string((int32_t)(intptr_t)qx_eg.stream_user_output));
  r = call("$input", {fresh(), at("user_input")});
  EXPECT_EQ(r.rc, 1);
  r = call("$input", {fresh(), term(out)});
  EXPECT_EQ(r.rc, 0);
  EXPECT_FALSE(r.raised);
  EXPECT_EQ(qx_eg.pending_error_code, 0u) << "a quiet lookup records nothing";
  EXPECT_EQ(qx_eg.input_stream_ptr, qx_eg.stream_user_input);
}

/* ---- counting, end of stream, unget ---- */

TEST_F(StreamTest, CountsItemsLinesAndLinePositionsOfReadCodes)
{
  ASSERT_EQ(write(peer[0], "a\nbc\td", 6), 6);
  close(peer[0]);
  peer[0] = -1;
  TAGGED in = at("user_input");
  std::string read;
  for (int i = 0; i < 4; i++) {
    TAGGED c = fresh();
    ASSERT_EQ(call("$get_code", {in, c, MakeSmall(0)}).rc, 1);
    read += (char)GetSmall(deref(c));
  }
  EXPECT_EQ(read, "a\nbc");
  TAGGED off = fresh(), lines = fresh(), pos = fresh();
  ASSERT_EQ(call("$stream_count", {in, off, lines, pos}).rc, 1);
  EXPECT_EQ(TestProlog::show(off) + " " + TestProlog::show(lines) + " " + TestProlog::show(pos),
            "4 1 2");
  ASSERT_EQ(call("$get_code", {in, fresh(), MakeSmall(0)}).rc, 1); /* the tab */
  ASSERT_EQ(call("$stream_count", {in, off = fresh(), lines = fresh(), pos = fresh()}).rc, 1);
  EXPECT_EQ(TestProlog::show(pos), "3");
}

TEST_F(StreamTest, EndOfStreamActions)
{
  std::string path = temp_path("eof");
  write_file(path, "x");
  struct {
    uint32_t flag;
    const char *expected; /* what four reads give; E: raised past end of stream */
  } cases[] = {{0, "x,-1,E,E"}, {QX_SF_EOF_CODE, "x,-1,-1,-1"}, {QX_SF_EOF_RESET, "x,-1,-1,-1"}};
  for (const auto &c : cases) {
    QX_stream *s = nullptr;
    ASSERT_EQ(qx_fopen_internal(path.c_str(), QX_FO_READ | QX_FO_TEXT, 0, &s), 0);
    s->flags |= c.flag;
    resync_stream_mode(s);
    std::string got;
    for (int i = 0; i < 4; i++) {
      TAGGED v = fresh();
      bi_call r = call("$get_code", {term(s), v, MakeSmall(0)});
      if (i) got += ",";
      if (r.raised) {
        EXPECT_EQ(r.code, 0x104u);
        EXPECT_EQ(r.argument, 1);
        got += "E";
      } else {
        int code = GetSmall(deref(v));
        got += code < 0 ? std::to_string(code) : std::string(1, (char)code);
      }
    }
    EXPECT_EQ(got, c.expected) << std::hex << c.flag;
    EXPECT_EQ(qx_fclose_internal(s, 0), 2);
  }
  unlink(path.c_str());
}

TEST_F(StreamTest, UngetAfterInlineReadsTakesBackTheLastCodeOnce)
{
  ASSERT_EQ(write(peer[0], "abc", 3), 3);
  close(peer[0]);
  peer[0] = -1;
  QX_stream *s = qx_eg.stream_user_input;
  EXPECT_EQ(QX_unget_code(s, 'a'), QXIO_E_PARAMETER_ERROR) << "nothing read yet";
  ASSERT_EQ(qx_get_code_helper(s, 0), 'a'); /* fills the buffer */
  ASSERT_LT(s->pub.input_text.ptr, s->pub.input_text.limit);
  EXPECT_EQ((int)*s->pub.input_text.ptr++, 'b'); /* the inline path: no counting */
  EXPECT_EQ(QX_unget_code(s, 'a'), QXIO_E_PARAMETER_ERROR) << "not the code just read";
  EXPECT_EQ(QX_unget_code(s, 'b'), 0);
  EXPECT_EQ(QX_unget_code(s, 'a'), QXIO_E_PARAMETER_ERROR) << "one unget between reads";
  int64_t offset;
  ASSERT_EQ(QX_get_stream_counts(s, &offset, nullptr, nullptr, 0), 0);
  EXPECT_EQ(offset, 1);
  EXPECT_EQ(qx_get_code_helper(s, 0), 'b');
  EXPECT_EQ(qx_get_code_helper(s, 0), 'c');
  EXPECT_EQ(QX_unget_code(s, -1), QXIO_E_PARAMETER_ERROR) << "not at end of stream";
  EXPECT_EQ(qx_get_code_helper(s, 0), -1);
  EXPECT_EQ(QX_unget_code(s, -1), 0);
  EXPECT_FALSE(s->flags & QX_SF_AT_EOF);
  EXPECT_EQ(qx_get_code_helper(s, 0), -1) << "the ungot end of stream, without a device read";
  EXPECT_FALSE(s->flags & QX_SF_PAST_EOF);
  /* Bytes keep no previous counters: the unget offset alone refuses a second unget. */
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  ASSERT_EQ(write(ends[1], "xy", 2), 2);
  QX_stream *b = stream_over_fd(ends[0], QX_SC_INPUT, false);
  for (int byte : {'x', 'y'}) ASSERT_EQ(qx_get_byte_helper(b, 0), byte);
  EXPECT_EQ(QX_unget_byte(b, 'y'), 0);
  EXPECT_EQ(QX_unget_byte(b, 'x'), QXIO_E_PARAMETER_ERROR);
  close(ends[1]);
  qx_fclose_internal(b, 0);
}

/* ---- writing ---- */
TEST_F(StreamTest, CountsOfBlocksMatchCountingCodeByCode)
{
  QX_stream *out = null_stream(0x4);
  std::mt19937 random(7);
  int64_t lines = 0, position = 0, items = 0;
  for (int round = 0; round < 200; round++) {
    std::vector<uint32_t> codes(random() % 40);
    for (uint32_t &c : codes) c = random() % 4 ? 'a' : '\n';
    for (uint32_t c : codes) position = c == '\n' ? (lines++, 0) : position + 1;
    items += (int64_t)codes.size();
    ASSERT_EQ(QX_put_codes(out, codes.data(), codes.size(), 0), 0);
    if (round % 3 == 0) {
      ASSERT_EQ(QX_flush_output(out, 0), 0);
    }
    int64_t got[3];
    ASSERT_EQ(QX_get_stream_counts(out, &got[0], &got[1], &got[2], 0), 0);
    ASSERT_EQ(std::vector<int64_t>(got, got + 3), (std::vector<int64_t>{items, lines, position}))
        << round;
  }
}

TEST_F(StreamTest, BlocksAndLongFormattedTextsArriveWhole)
{
  QX_stream *out = qx_eg.stream_user_output;
  std::vector<uint32_t> codes(3000);
  for (size_t i = 0; i < codes.size(); i++) codes[i] = 'a' + (uint32_t)(i % 26);
  ASSERT_EQ(QX_put_codes(out, codes.data(), codes.size(), 0), 0);
  EXPECT_GE(out->output_buf->writable_size, codes.size() * 4) << "the block was not split";
  std::string text(5000, 'z');
  text[4999] = 'E';
  ASSERT_EQ(QX_fprintf(out, "%s", text.c_str()), 0);
  ASSERT_EQ(QX_flush_output(out, 0), 0);
  std::string got = drain(peer[1]);
  ASSERT_EQ(got.size(), 8000u);
  EXPECT_EQ(got.substr(0, 26), "abcdefghijklmnopqrstuvwxyz");
  EXPECT_EQ(got.substr(3000), text);
}

namespace {
/* A binary output node without I/O-library stream. */
QX_stream *binary_null_stream()
{
  QX_stream *s = null_stream(0x4);
  s->flags = (s->flags & ~QX_SF_TEXT) | QX_SF_BINARY;
  resync_stream_mode(s);
  return s;
}

}  // namespace

TEST_F(StreamTest, OutputThatTheDeviceAnswersWithEndOfFileIsAnErrorAndStaysBuffered)
{
  QX_stream *s = refusing_stream(false);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(call("$put_byte", {term(s), MakeSmall(65), MakeSmall(0)}).rc, 1);
  bi_call r = call("$flush_output", {term(s), MakeSmall(0)});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.code, 5u);
  EXPECT_EQ(r.message, "QXIO_E_END_OF_FILE");
  EXPECT_EQ(r.argument, 1);
  EXPECT_EQ(s->pub.output_binary.ptr - s->output_buf->buf, 1) << "the byte is kept";
  EXPECT_EQ(qx_fclose_internal(s, QX_FC_FORCE), 2);
}

/* A code the encoding cannot hold raises once, at the flush or the put that meets it, and is
 * dropped: what came before it reaches the file and the stream goes on. */
TEST_F(StreamTest, AnUnencodableCodeRaisesOnceAndTheStreamGoesOn)
{
  std::string path = temp_path("unencodable");
  auto text = [&] {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  };
  for (auto [encoding, bad] :
       {std::pair{"'ISO-8859-1'", 0x263A}, {"'UTF-8'", 0xD800}, {"'UTF-8'", 0x110000}}) {
    QX_stream *s = nullptr;
    TAGGED enc = goal(std::string("encoding(") + encoding + ",default,lf)");
    ASSERT_EQ(
        qx_fopen_internal(path.c_str(), QX_FO_WRITE | QX_FO_TEXT | QX_FO_ENCODING_TERM, enc, &s),
        0);
    auto put = [&](int code) {
      return call("$put_code", {term(s), num(code), MakeSmall(0)}).raised;
    };
    int raised = put('a') + put('b') + put(bad) + put('c');
    raised += call("$flush_output", {term(s), MakeSmall(0)}).raised;
    EXPECT_EQ(text(), "ab") << bad;
    raised += put(bad);
    for (int i = 0; i < 5000; i++) raised += put('x');
    EXPECT_EQ(raised, 2) << bad;
    EXPECT_EQ(qx_fclose_internal(s, 0), 2);
    EXPECT_EQ(text(), "abc" + std::string(4999, 'x')) << bad;
  }
  unlink(path.c_str());
}

/* ---- the built-ins' argument errors and the error map ---- */

TEST_F(StreamTest, BuiltinsRejectMalformedArgumentsWithTheirCodes)
{
  TAGGED out = at("user_output"), b = term(binary_null_stream());
  struct {
    const char *name;
    std::vector<TAGGED> args;
    uint32_t code;
    const char *message;
    int argument;
  } cases[] = {
      {"$put_code", {out, MakeSmall(-1), MakeSmall(0)}, 0x202, "", 2},
      {"$put_code", {out, at("a"), MakeSmall(0)}, 0x202, "", 2},
      {"$put_code", {out, MakeSmall(97), at("x")}, 0x401, "integer", 3},
      {"$put_byte", {b, MakeSmall(256), MakeSmall(0)}, 2, "byte", 2},
      {"$put_byte", {b, MakeSmall(-1), MakeSmall(0)}, 2, "byte", 2},
      {"$put_byte", {b, at("a"), MakeSmall(0)}, 0x401, "integer", 2},
      {"$stream_set_line_count", {out, MakeSmall(-3)}, 0x501, "", 2},
      {"$stream_set_line_count", {out, at("a")}, 0x401, "integer", 2},
      {"$stream_set_line_count", {b, MakeSmall(2)}, 5, "QXIO_E_PARAMETER_ERROR", 2},
      {"$flush_output", {out, at("x")}, 0x401, "integer", 2},
      {"$close", {out, at("x")}, 0x401, "integer", 2},
      {"$tab", {out, at("x")}, 0x401, "integer", 2},
      {"$skip_code", {at("user_input"), MakeSmall(-2), MakeSmall(0)}, 0x202, "", 2},
      {"$unget_code",
       {at("user_input"), MakeSmall(97), MakeSmall(0)},
       5,
       "QXIO_E_PARAMETER_ERROR",
       2},
  };
  rows_kept kept(cases);
  for (auto &c : cases) {
    bi_call r = call(c.name, c.args);
    EXPECT_EQ(r.rc, 0) << c.name;
    EXPECT_EQ(r.code, c.code) << c.name << " " << TestProlog::show(c.args[1]);
    EXPECT_EQ(r.message, c.message) << c.name;
    EXPECT_EQ(r.argument, c.argument) << c.name;
  }
  /* Codes beyond Unicode go to the coder, which answers; nothing crashes. */
  EXPECT_EQ(call("$put_code", {out, num(0x110000), MakeSmall(0)}).rc, 1);
  QX_flush_output(qx_eg.stream_user_output, 0);
}

/* Every built-in against its errors, rows in order (some rows leave a stream where the next one
 * expects it). Expected: "true" and the bindings of the unbound arguments; "fail" (nothing
 * recorded); or the error: code, message, "@" argument, and the predicate when its name differs
 * from the built-in's. The culprit is always the value of the argument named. */
TEST_F(StreamTest, ErrorsOfEveryBuiltinAsTheTableGivesThem)
{
  std::string dir = temp_path("errors_dir");
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  std::string ab = dir + "/ab", empty = dir + "/empty";
  write_file(ab, "ab");
  write_file(empty, "");
  std::vector<QX_stream *> opened;
  auto open_file = [&](const std::string &path, uint32_t options) {
    QX_stream *s = nullptr;
    EXPECT_EQ(qx_fopen_internal(path.c_str(), options, 0, &s), 0) << path;
    opened.push_back(s);
    return term(s);
  };
  TAGGED text_in = open_file(ab, QX_FO_READ | QX_FO_TEXT),
         bin_in = open_file(ab, QX_FO_READ | QX_FO_BINARY),
         bin_end = open_file(empty, QX_FO_READ | QX_FO_BINARY),
         seekable = open_file(ab, QX_FO_READ | QX_FO_BINARY | QX_FO_REPOSITION);
  QX_stream *refusing_text = refusing_stream(true), *refusing_bin = refusing_stream(false);
  ASSERT_TRUE(refusing_text && refusing_bin);
  /* A null input stream meets end of stream at once, also when a read must not block. */
  QX_stream *closing = null_stream(0x4), *hidden = null_stream(0x4 | 0x40);
  TAGGED text_end = term(null_stream(0x2)), closed = term(closing), in = at("user_input"),
         out = at("user_output"), bin_out = term(binary_null_stream()), no_alias = at("no_alias"),
         big = num(int64_t(1) << 40), negative = num(-8), x = at("x"), zero = MakeSmall(0),
         a = MakeSmall('a');
  ASSERT_EQ(qx_fclose_internal(closing, 0), 2);
  auto V = [&] { return fresh(); };
  auto N = [&](int64_t v) { return num(v); };
  auto path = [&](const std::string &p) { return at(p.c_str()); };
  auto encoding = [&](TAGGED name, TAGGED eol) {
    return p.compound("encoding", {name, at("default"), eol});
  };
  struct {
    const char *name;
    std::vector<TAGGED> args;
    const char *expected;
  } rows[] = {
      /* $open/5: I/O errors on the file argument, the output variant when writing */
      {"$open", {path(dir + "/none"), at("read"), zero, atom_nil, V()}, "0x504 @1"},
      {"$open", {path(dir + "/none/x"), at("write"), zero, atom_nil, V()}, "0x504 @1"},
      {"$open", {path(ab), at("append"), N(0x100), atom_nil, V()}, "0x506 @1"},
      {"$open",
       {path(ab), at("read"), zero, encoding(at("UTF-8"), at("sideways")), V()},
       "0x5 QXIO_E_PARAMETER_ERROR @1"},
      {"$open",
       {path(ab), at("read"), zero, p.compound("coding", {x}), V()},
       "0x5 QXIO_E_PARAMETER_ERROR @1"},
      {"$open",
       {path(ab), at("read"), zero, encoding(MakeSmall(1), at("default")), V()},
       "0x5 internal error @1"},
      /* $close/2: a flush the device refuses leaves the stream open */
      {"$close", {no_alias, zero}, "0x902 @1"},
      {"$put_byte", {term(refusing_bin), MakeSmall(65), zero}, "true"},
      {"$close", {term(refusing_bin), zero}, "0x5 QXIO_E_END_OF_FILE @1"},
      {"$stream_flags", {term(refusing_bin), V()}, "true 2053"},
      {"$open_null", {x}, "fail"},
      {"$flush_output", {big, zero}, "0x902 @1"},
      {"$flush_output", {in, zero}, "0x206 @1"},
      /* the item family: stream, kind, item and options, end of stream */
      {"$get_code", {bin_in, V(), zero}, "0x106 @1"},
      {"$get_code", {text_in, V(), x}, "0x401 integer @3"},
      {"$peek_code", {closed, V(), zero}, "0x902 @1"},
      {"$peek_code", {out, V(), zero}, "0x106 @1"},
      {"$peek_code", {text_in, V(), x}, "0x401 integer @3"},
      {"$get_byte", {negative, V(), zero}, "0x902 @1"},
      {"$get_byte", {text_in, V(), zero}, "0x106 @1"},
      {"$get_byte", {bin_in, V(), x}, "0x401 integer @3"},
      {"$peek_byte", {no_alias, V(), zero}, "0x902 @1"},
      {"$peek_byte", {bin_out, V(), zero}, "0x106 @1"},
      {"$peek_byte", {bin_in, V(), x}, "0x401 integer @3"},
      {"$skip_code", {big, a, zero}, "0x902 @1"},
      {"$skip_code", {bin_in, a, zero}, "0x106 @1"},
      {"$skip_code", {text_in, x, zero}, "0x401 integer @2"},
      {"$skip_code", {text_in, a, x}, "0x401 integer @3"},
      {"$skip_byte", {closed, a, zero}, "0x902 @1"},
      {"$skip_byte", {text_in, a, zero}, "0x106 @1"},
      {"$skip_byte", {bin_in, x, zero}, "0x401 integer @2"},
      {"$skip_byte", {bin_in, MakeSmall(-1), zero}, "0x202 @2"},
      {"$skip_byte", {bin_in, MakeSmall(256), zero}, "0x2 byte @2"},
      {"$skip_byte", {bin_in, a, x}, "0x401 integer @3"},
      {"$unget_code", {negative, a, zero}, "0x902 @1"},
      {"$unget_code", {bin_in, a, zero}, "0x106 @1"},
      {"$unget_code", {text_in, x, zero}, "0x401 integer @2"},
      {"$unget_code", {text_in, a, x}, "0x401 integer @3"},
      {"$unget_byte", {big, a, zero}, "0x902 @1"},
      {"$unget_byte", {out, a, zero}, "0x106 @1"},
      {"$unget_byte", {bin_in, MakeSmall(256), zero}, "0x2 byte @2"},
      {"$unget_byte", {bin_in, a, zero}, "0x5 QXIO_E_PARAMETER_ERROR @2"}, /* nothing read */
      {"$get_byte", {bin_in, V(), zero}, "true 97"},
      {"$unget_byte", {bin_in, MakeSmall('b'), zero}, "0x5 QXIO_E_PARAMETER_ERROR @2"},
      {"$unget_byte", {bin_in, a, zero}, "true"},
      {"$unget_byte", {bin_in, a, zero}, "0x5 QXIO_E_PARAMETER_ERROR @2"}, /* twice */
      {"$skip_code", {text_in, MakeSmall('b'), zero}, "true"},
      {"$get_code", {text_in, V(), zero}, "true 98"},
      /* end of stream with the action error: peeks leave it, a read past it is an error */
      {"$end_of_stream", {closed, V()}, "0x902 @1 in $eof/2"},
      {"$end_of_stream", {out, V()}, "0x106 @1 in $eof/2"},
      {"$end_of_stream", {text_end, V()}, "true at"},
      {"$peek_code", {text_end, V(), zero}, "true -1"},
      {"$get_code", {text_end, V(), zero}, "true -1"},
      {"$end_of_stream", {text_end, V()}, "true past"},
      {"$peek_code", {text_end, V(), zero}, "0x104 @1"},
      {"$skip_code", {text_end, a, zero}, "0x104 @1"},
      {"$peek_byte", {bin_end, V(), zero}, "true -1"},
      {"$get_byte", {bin_end, V(), zero}, "true -1"},
      {"$peek_byte", {bin_end, V(), zero}, "0x104 @1"},
      {"$skip_byte", {bin_end, a, zero}, "0x104 @1"},
      /* writers */
      {"$put_code", {no_alias, a, zero}, "0x902 @1"},
      {"$put_code", {bin_out, a, zero}, "0x206 @1"},
      {"$put_byte", {closed, a, zero}, "0x902 @1"},
      {"$put_byte", {out, a, zero}, "0x206 @1"},
      {"$put_byte", {bin_out, a, x}, "0x401 integer @3"},
      {"$nl", {negative, zero}, "0x902 @1"},
      {"$nl", {in, zero}, "0x206 @1"},
      {"$nl", {bin_out, zero}, "0x206 @1"},
      {"$nl", {out, x}, "0x401 integer @2"},
      {"$tab", {big, MakeSmall(1)}, "0x902 @1"},
      {"$tab", {in, MakeSmall(1)}, "0x206 @1"},
      {"$tab", {out, MakeSmall(-4)}, "true"},
      {"$tab", {term(refusing_text), N(100000)}, "0x5 QXIO_E_END_OF_FILE @2"},
      /* current streams: quiet */
      {"$input", {V(), closed}, "fail"},
      {"$output", {V(), in}, "fail"},
      {"$stdinput", {V(), out}, "fail"},
      {"$stdoutput", {V(), in}, "fail"},
      {"$stderror", {V(), no_alias}, "fail"},
      /* stream facts */
      {"$stream_code", {V(), N(12345)}, "fail"},
      {"$stream_code", {V(), closed}, "fail"},
      {"$stream_code", {no_alias, V()}, "fail"},
      {"$stream_flags", {closed, V()}, "0x902 @1"},
      {"$set_stream_flags", {no_alias, zero}, "0x902 @1"},
      {"$set_stream_flags", {term(hidden), x}, "0x401 integer @2"},
      {"$set_stream_flags", {term(hidden), N(-1)}, "true"},
      {"$stream_properties", {big, V(), V(), V()}, "0x902 @1"},
      {"$stream_count", {negative, V(), V(), V()}, "0x902 @1"},
      {"$stream_offset", {closed, V()}, "0x902 @1"},
      {"$stream_set_line_count", {no_alias, zero}, "0x902 @1"},
      {"$stream_set_line_count", {bin_out, zero}, "true"},
      /* repositioning */
      {"$seek", {closed, zero, at("bof"), V()}, "fail"},
      {"$seek", {seekable, zero, at("middle"), V()}, "fail"},
      {"$seek", {seekable, x, at("bof"), V()}, "fail"},
      {"$seek", {in, zero, at("bof"), V()}, "fail"},
      {"$seek", {seekable, MakeSmall(1), at("bof"), V()}, "true 1"},
      {"$set_stream_position",
       {closed, zero, zero, zero, zero},
       "0x902 @1 in $stream_set_stream_position/5"},
      {"$set_stream_position",
       {seekable, zero, x, zero, zero},
       "0x5 QXIO_E_PARAMETER_ERROR @3 in $stream_set_stream_position/5"},
      {"$set_stream_position",
       {seekable, zero, zero, MakeSmall(-1), zero},
       "0x5 QXIO_E_PARAMETER_ERROR @4 in $stream_set_stream_position/5"},
      {"$set_stream_position",
       {seekable, zero, zero, zero, x},
       "0x5 QXIO_E_PARAMETER_ERROR @5 in $stream_set_stream_position/5"},
      {"$set_stream_position", {in, zero, zero, zero, zero}, "fail"}, /* cannot seek */
      {"$save_stream_position", {x, zero, zero, zero, zero}, "fail"},
      {"$save_stream_position", {big, zero, zero, zero, zero}, "fail"},
      /* the rest */
      {"$next_stream", {V(), V(), closed, atom_nil, zero}, "fail"},
      {"$next_stream", {V(), V(), term(hidden), atom_nil, zero}, "fail"},
      {"$next_stream", {V(), V(), out, atom_nil, N(QX_SM_OUTPUT)}, "fail"},
      {"$next_stream", {V(), V(), out, atom_nil, x}, "fail"},
      {"$qxio_error_name", {N(-123456), V()}, "true QXIO_E_ERROR"},
      {"$qxio_error_name", {N(123456), V()}, "true QXIO_S_NOERR"},
      {"$qxio_error_name", {x, V()}, "fail"},
      {"$errprintf", {MakeSmall(42)}, "fail"},
  };
  rows_kept kept(rows);
  for (auto &row : rows) {
    std::string expected = std::string(row.name) + " " + row.expected, got = row.name;
    std::vector<size_t> unbound;
    for (size_t i = 0; i < row.args.size(); i++)
      if (IsVar(deref(row.args[i]))) unbound.push_back(i);
    bi_call r = call(row.name, row.args);
    if (r.rc == 1) {
      got += " true";
      for (size_t i : unbound) got += " " + TestProlog::show(row.args[i]);
    } else if (!r.raised) {
      got += qx_eg.pending_error_code ? " fail, recording an error" : " fail";
    } else {
      char code[16];
      std::snprintf(code, sizeof code, " 0x%x", r.code);
      got += code + (r.message.empty() ? "" : " " + r.message) + " @" + std::to_string(r.argument);
      if (r.predicate != row.name + ("/" + std::to_string(row.args.size())))
        got += " in " + r.predicate;
      if (r.argument >= 1 && r.argument <= (int)row.args.size()) {
        EXPECT_EQ(r.culprit, TestProlog::show(row.args[(size_t)r.argument - 1])) << expected;
      }
    }
    EXPECT_EQ(got, expected);
  }
  EXPECT_EQ(qx_fclose_internal(refusing_bin, QX_FC_FORCE), 2);
  EXPECT_EQ(qx_fclose_internal(refusing_text, QX_FC_FORCE), 2);
  for (QX_stream *s : opened) EXPECT_EQ(qx_fclose_internal(s, 0), 2);
  for (const std::string &f : {ab, empty}) unlink(f.c_str());
  rmdir(dir.c_str());
}

TEST_F(StreamTest, IoErrorsMapToEngineCodes)
{
  struct {
    int code;
    bool output;
    uint32_t expected;
    const char *message;
  } cases[] = {
      {QXIO_E_SEEK_ERROR, false, 0x506, ""},
      {QXIO_E_FILE_NOT_FOUND, true, 0x504, ""},
      {QXIO_E_FILE_ACCESS, false, 0x306, ""},
      {QXIO_E_FILE_EXISTS, true, 0x406, ""},
      {QXIO_E_PERMISSION_ERROR, true, 0x406, ""},
      {QXIO_E_INTERRUPTED, false, 5, "interrupted"},
      {QXIO_E_INTERNAL_ERROR, false, 5, "internal error"},
      {QXIO_E_WOULD_BLOCK, false, 5, "QXIO_E_WOULD_BLOCK"},
      {QXIO_E_SEEK_ERROR, true, 0x506, ""},
      {QXIO_E_FILE_NOT_FOUND, false, 0x504, ""},
      {QXIO_E_FILE_ACCESS, true, 0x406, ""},
      {QXIO_E_FILE_EXISTS, false, 0x306, ""},
      {QXIO_E_PERMISSION_ERROR, false, 0x306, ""},
      {-10002, false, 5, "(unknown QXIO error)"}, /* no code of the library */
  };
  for (const auto &c : cases) {
    save_qxio_error(c.code, c.output, at("c"));
    EXPECT_EQ(qx_eg.pending_error_code, c.expected) << c.code;
    EXPECT_STREQ(qx_eg.pending_error_message, c.message) << c.code;
  }
  /* The culprit is the argument named, none for argument 0 or one above the arity. */
  native("$raise_on", 2, [](worker *w) {
    return raise_qxio_error(QXIO_E_SEEK_ERROR, false, "$raise_on", 2, GetSmall(deref(w->term[0])));
  });
  std::string got;
  for (int argument : {0, 1, 2, 3}) {
    bi_call r = call("$raise_on", {MakeSmall(argument), at("b")});
    got += std::to_string(r.code) + " " + r.predicate + " @" + std::to_string(r.argument) + " '" +
           r.culprit + "';";
  }
  EXPECT_EQ(got, "1286 $raise_on/2 @0 '';1286 $raise_on/2 @1 '1';1286 $raise_on/2 @2 'b';"
                 "1286 $raise_on/2 @3 '';");
}

TEST_F(StreamTest, SavedPositionsGoOnlyToRegisteredRecords)
{
  int32_t words[4] = {0, 0, 0, 0};
  ASSERT_EQ(qx_register_position_record(7, words), 1);
  std::mt19937 random(12345);
  for (int i = 0; i < 200; i++) {
    int32_t handle = (int32_t)(random() % (1u << 28));
    if (handle == 7) continue;
    EXPECT_EQ(call("$save_stream_position",
                   {MakeSmall(handle), MakeSmall(1), MakeSmall(2), MakeSmall(3), MakeSmall(4)})
                  .rc,
              0);
  }
  EXPECT_EQ(words[0], 0);
  EXPECT_EQ(call("$save_stream_position",
                 {MakeSmall(7), MakeSmall(1), MakeSmall(2), MakeSmall(3), MakeSmall(4)})
                .rc,
            1);
  EXPECT_EQ(words[3], 4);
  qx_unregister_position_record(7);
  EXPECT_EQ(call("$save_stream_position",
                 {MakeSmall(7), MakeSmall(1), MakeSmall(2), MakeSmall(3), MakeSmall(4)})
                .rc,
            0);
}

/* ---- retry on interrupt: a child engine blocked on its standard input, a parent that signals
 * it and then writes ---- */

namespace {

/* The user streams are the process's standard streams. */
class StdioStreams : public StreamTest {
public:
  StdioStreams() : StreamTest(true) {}
  void TestBody() override {}
  using StreamTest::at;
  using StreamTest::call;
  using StreamTest::fresh;
  using StreamTest::term;
};

struct retry_state {
  int status_fd = -1; /* to the parent: the pid and "r" before reading, "h" per handler run */
  bool handler_throws = false;
  int handled = 0;
};
retry_state retry;

int raise_stop_reading(void *)
{
  QX_term_ref ball = QX_new_term_ref();
  QX_put_atom(ball, QX_atom_from_string("stop_reading"));
  QX_raise_exception(ball);
  return 0;
}

void on_usr1(int, void *)
{
  retry.handled++;
  if (retry.handler_throws) QX_event(raise_stop_reading, nullptr);
  EXPECT_EQ(write(retry.status_fd, "h", 1), 1);
}

/* The child's report from fd (a guard kills a child that sends nothing for 20 s), then its
 * exit status; a hang is noted in *log. */
std::string child_report(int fd, pid_t pid, std::string *log, int *wait_status)
{
  char text[512] = {0};
  if (!await_bytes(fd, text, 1)) {
    *log += "hung;";
    kill(pid, SIGKILL);
  }
  ssize_t more = read(fd, text + 1, sizeof text - 2);
  (void)more;
  waitpid(pid, wait_status, 0);
  return text;
}

/* The child: an engine whose user_input is its standard input, a handler for SIGUSR1, one
 * $get_code/3 on user_input; answers what came of it. */
std::string retry_child(int status_fd, bool throws, const char *charset)
{
  retry = retry_state{status_fd, throws};
  setenv("QX_CTYPE_STDIO", charset, 1);
  StdioStreams e;
  if (QX_signal(SIGUSR1, on_usr1, nullptr) == QX_SIG_ERR) return "no handler";
  pid_t self = getpid();
  if (write(status_fd, &self, sizeof self) != (ssize_t)sizeof self || write(status_fd, "r", 1) != 1)
    return "no status pipe";
  TAGGED code = e.fresh();
  bi_call r = e.call("$get_code", {e.at("user_input"), code, MakeSmall(0)});
  std::string report = "rc=" + std::to_string(r.rc);
  if (r.rc == 1) report += " code=" + TestProlog::show(code);
  if (r.raised && r.code) {
    report += " error=" + std::to_string(r.code) + " " + r.message + " culprit=" + r.culprit +
              " argument=" + std::to_string(r.argument);
  } else if (qx_exception_term(qx_w)) {
    report += " raised=" + TestProlog::show(qx_exception_term(qx_w));
    qx_clear_exception();
  }
  report +=
      " handled=" + std::to_string(retry.handled) + " retries=" + std::to_string(qx_stream_retries);
  return report;
}

}  // namespace

TEST(StreamRetry, ASignalWhileGetCodeBlocksRunsItsHandlerOnceThenTheReadGoesOn)
{
  struct {
    bool throws;
    const char *charset, *input; /* what the parent writes after the handler ran */
    const char *expected;
  } cases[] = {
      {false, "xx_YY.UTF-8", "\xC3\xA9z", "rc=1 code=233 handled=1 retries=1"},
      {true, "xx_YY.UTF-8", "z", "rc=0 raised=stop_reading handled=1 retries=1"},
      /* An error after the retry names the argument the caller gave, not what the query left
       * in the argument registers. */
      {false, "xx_YY.US-ASCII", "\xC3",
       "rc=0 error=5 QXIO_E_ENCODING_INVALID culprit=user_input argument=1 handled=1 retries=1"},
  };
  struct sigaction ignore = {}, old_pipe;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old_pipe);
  for (const auto &c : cases) {
    reader_child rc = fork_reader_child(
        [&](int status_fd) { return retry_child(status_fd, c.throws, c.charset); });
    ASSERT_GT(rc.pid, 0);
    pid_t pid = rc.pid;
    int data[2] = {-1, rc.data}, status[2] = {rc.status, -1}, report[2] = {rc.report, -1};
    std::string parent_log;
    pid_t child = 0;
    if (await_bytes(status[0], &child, sizeof child) && await_byte(status[0], 'r')) {
      /* Best effort: the signal goes once the child sleeps in its read; a signal that comes
       * earlier must give the same verdict, since the interrupt stays raised until seen. */
      for (int i = 0; i < 20000 && thread_state(pid) != 'S'; i++) usleep(1000);
      kill(pid, SIGUSR1);
      if (!await_byte(status[0], 'h')) parent_log = "handler did not run;";
      /* A handler that throws ends the read without input: the child may be gone by now, and
       * the write then meets a closed pipe (EPIPE, with SIGPIPE ignored below). */
      ssize_t n = (ssize_t)std::strlen(c.input);
      if (write(data[1], c.input, (size_t)n) != n && !(c.throws && errno == EPIPE))
        parent_log += "short write;";
    } else {
      parent_log = "no start;";
    }
    close(data[1]);
    int wait_status = 0;
    std::string text = child_report(report[0], pid, &parent_log, &wait_status);
    close(status[0]);
    close(report[0]);
    EXPECT_EQ(parent_log, "");
    EXPECT_EQ(text, c.expected);
    EXPECT_TRUE(WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0) << wait_status;
  }
  sigaction(SIGPIPE, &old_pipe, nullptr);
}

TEST(StandardStreams, CharsetComesFromQxCtypeStdioInAChildReadingAFile)
{
  std::string path = temp_path("stdin_utf8");
  write_file(path, "\xC3\xA9\xE2\x82\xAC");
  struct {
    const char *ctype, *expected;
  } cases[] = {
      {"xx_YY.UTF-8", "233,8364, UTF-8"},
      /* A path is no charset name: the default hook falls back to ISO-8859-1. */
      {"/usr/share/i18n/charmaps/UTF-8", "195,169,226,130,172, ISO-8859-1"},
  };
  for (const auto &c : cases) {
    forked_child child = run_forked([&] {
      int fd = open(path.c_str(), O_RDONLY);
      if (fd < 0 || dup2(fd, 0) != 0) return std::string("no file");
      close(fd);
      setenv("QX_CTYPE_STDIO", c.ctype, 1);
      setenv("QX_CTYPE", "xx_YY.UTF-16LE", 1); /* the first variable that is set wins */
      StdioStreams e;
      std::string report;
      for (;;) {
        TAGGED code = e.fresh();
        if (e.call("$get_code", {e.at("user_input"), code, MakeSmall(0)}).rc != 1) break;
        if (GetSmall(deref(code)) < 0) break;
        report += std::to_string(GetSmall(deref(code))) + ",";
      }
      TAGGED read = e.fresh();
      e.call("$stream_properties", {e.at("user_input"), read, e.fresh(), e.fresh()});
      return report + " " + TestProlog::show(read);
    });
    EXPECT_TRUE(child.exited(0)) << child.err;
    EXPECT_EQ(child.report, c.expected) << c.ctype << child.err;
  }
  unlink(path.c_str());
}

/* ---- a pseudo-terminal as standard input and output ---- */

namespace {

/* The child: its standard input and output are the terminal, its standard error the prompt
 * pipe. Answers the codes read and the shared line position at three points. */
std::string terminal_child(int status_fd)
{
  StdioStreams e;
  qx_eg.current_prompt = e.at("|: ");
  std::string report;
  auto get = [&] {
    TAGGED code = e.fresh();
    if (e.call("$get_code", {e.at("user_input"), code, MakeSmall(0)}).rc != 1) return -2;
    int c = GetSmall(deref(code));
    report += c == '\n' ? std::string("\\n") : std::string(1, (char)c);
    return c;
  };
  auto position = [&] {
    int64_t at = -1;
    QX_get_stream_counts(qx_eg.stream_user_output, nullptr, nullptr, &at, 0);
    report += "@" + std::to_string(at) + " ";
  };
  for (int i = 0; i < 3; i++) get(); /* prompts: nothing written yet */
  for (int c : {'x', 'y'}) e.call("$put_code", {e.at("user_output"), MakeSmall(c), MakeSmall(0)});
  e.call("$flush_output", {e.at("user_output"), MakeSmall(0)});
  position(); /* the echo of "ab\n", then "xy" */
  if (write(status_fd, "w", 1) != 1) return "no status";
  get(); /* no prompt: the line holds "xy" */
  position();
  get(); /* the echoed newline */
  position();
  get(); /* prompts again */
  return report;
}

}  // namespace

TEST(TerminalStreams, PromptOnlyAtLinePositionZeroWithOutputAndEchoSharingIt)
{
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) GTEST_SKIP() << "no /dev/ptmx";
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  std::string slave = ptsname(master);
  int prompts[2], status[2], report[2];
  ASSERT_EQ(pipe(prompts), 0);
  ASSERT_EQ(pipe(status), 0);
  ASSERT_EQ(pipe(report), 0);
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(slave.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) _exit(2);
    dup2(fd, 0);
    dup2(fd, 1);
    dup2(prompts[1], 2);
    close(fd);
    close(master);
    close(prompts[0]);
    close(status[0]);
    close(report[0]);
    std::string text = terminal_child(status[1]);
    ssize_t n = write(report[1], text.data(), text.size());
    _exit(n == (ssize_t)text.size() ? 0 : 1);
  }
  ASSERT_GT(pid, 0);
  close(prompts[1]);
  close(status[1]);
  close(report[1]);
  std::string log;
  char got[4] = {0};
  /* Typed only after the prompt shows: input already there would be read without one. */
  if (await_bytes(prompts[0], got, 3) && std::string(got) == "|: ")
    log += write(master, "ab\n", 3) == 3 ? "" : "short;";
  else
    log += "no first prompt;";
  if (await_byte(status[0], 'w')) {
    for (int i = 0; i < 20000 && thread_state(pid) != 'S'; i++) usleep(1000);
    log += write(master, "c\n", 2) == 2 ? "" : "short;";
  }
  std::memset(got, 0, sizeof got);
  if (await_bytes(prompts[0], got, 3) && std::string(got) == "|: ")
    log += write(master, "d\n", 2) == 2 ? "" : "short;";
  else
    log += "no second prompt;";
  int wait_status = 0;
  std::string text = child_report(report[0], pid, &log, &wait_status);
  std::string rest = read_to_end(prompts[0]);
  EXPECT_EQ(log, "");
  EXPECT_EQ(rest, "") << "no prompt while the line held output";
  EXPECT_EQ(text, "ab\\n@2 c@3 \\n@0 d");
  EXPECT_TRUE(WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0) << wait_status;
  for (int fd : {master, prompts[0], status[0], report[0]}) close(fd);
}
