/* In-process pipes, tunnelled streams, streams over user callbacks and streams over open
 * descriptors (pipes, socketpairs, files). */
#include <sys/socket.h>

#include <fstream>
#include <vector>

#include "qxio/budget_alloc.h"
#include "stream_fixture.h"
#include "scratch_root.h"

namespace {

/* The read callback of a pipe end's device, asked for n bytes without blocking. */
int device_read(QX_stream *s, size_t n, std::string *out)
{
  auto *d = (qxio_t_simple_device *)s->qxio;
  std::vector<char> room(n);
  size_t size = n;
  int rc = d->user_read(d->user_data, room.data(), &size, QXIO_USER_NONBLOCKING | QXIO_USER_BYTES);
  if (rc >= 0) out->assign(room.data(), size);
  return rc;
}

std::vector<int> read_codes(QX_stream *s)
{
  std::vector<int> codes;
  for (int c; (c = qx_get_code_helper(s, 0x1)) >= 0;) codes.push_back(c);
  return codes;
}

std::string read_fd(int fd, size_t n)
{
  std::string text;
  char chunk[256];
  while (text.size() < n) {
    ssize_t k = read(fd, chunk, std::min(sizeof chunk, n - text.size()));
    if (k <= 0) break;
    text.append(chunk, (size_t)k);
  }
  return text;
}

/* A user device: writes are taken three bytes at a time; every read first answers that it
 * would block, then gives up to seven bytes of the source. */
struct trickle {
  std::string source, sink;
  size_t next = 0;
  bool block_next = true;
  int closes = 0;
};

qxio_t_error_code trickle_read(void *data, void *room, size_t *size, uint32_t)
{
  auto *t = (trickle *)data;
  if (t->block_next) {
    t->block_next = false;
    *size = 0;
    return QXIO_E_WOULD_BLOCK;
  }
  t->block_next = true;
  if (t->next == t->source.size()) return QXIO_E_END_OF_FILE;
  size_t n = std::min({*size, (size_t)7, t->source.size() - t->next});
  std::memcpy(room, t->source.data() + t->next, n);
  t->next += n;
  *size = n;
  return 0;
}

qxio_t_error_code trickle_write(void *data, const void *bytes, size_t *size, uint32_t)
{
  auto *t = (trickle *)data;
  *size = std::min(*size, (size_t)3);
  t->sink.append((const char *)bytes, *size);
  return 0;
}

qxio_t_error_code trickle_close(void **slot, uint32_t)
{
  ((trickle *)*slot)->closes++;
  return 0;
}

const char class_a[] = "a", class_b[] = "b";

}  // namespace

/* ---- pipes ---- */

TEST_F(StreamTest, PipeHandsOutWhatWasWrittenThenWouldBlockThenEndOfFile)
{
  QX_stream *rs = nullptr, *ws = nullptr;
  ASSERT_EQ(qx_create_pipe(nullptr, &rs, nullptr, &ws, 0), 0);
  qxio_t_event *readable = nullptr;
  ASSERT_EQ(qxio_ioctl_readable_event(&rs->qxio, &readable, 0), 0);
  EXPECT_EQ(qxio_event_query(readable), 0) << "nothing written yet";
  ASSERT_EQ(QX_put_bytes(ws, (const unsigned char *)"ab", 2, 0), 0);
  ASSERT_EQ(QX_flush_output(ws, 0), 0);
  EXPECT_EQ(qxio_event_query(readable), 1) << "the write sets the readable event";
  int64_t size = 0;
  ASSERT_EQ(qxio_ioctl_size(&rs->qxio, &size, QXIO_IOCTL_WALK), 0);
  EXPECT_EQ(size, 2);
  std::string got;
  ASSERT_EQ(device_read(rs, 1, &got), 0);
  EXPECT_EQ(got, "a");
  ASSERT_EQ(device_read(rs, 5, &got), 0);
  EXPECT_EQ(got, "b");
  EXPECT_EQ(device_read(rs, 5, &got), QXIO_E_WOULD_BLOCK);
  EXPECT_EQ(qxio_event_query(readable), 0) << "an empty pipe resets it";
  EXPECT_EQ(qx_get_byte_helper(rs, 0), QXIO_E_INTERNAL_ERROR)
      << "a blocking read cannot wait for a writer of its own thread";
  ASSERT_EQ(qx_fclose_internal(ws, 0), 2);
  EXPECT_EQ(device_read(rs, 5, &got), QXIO_E_END_OF_FILE);
  EXPECT_EQ(qx_get_byte_helper(rs, 0), -1);
  EXPECT_EQ(qx_fclose_internal(rs, 0), 2);
}

TEST_F(StreamTest, Utf8PipeCarriesCodesBeyondTheBasicPlaneInLargeAmounts)
{
  QX_stream *rs = nullptr, *ws = nullptr;
  ASSERT_EQ(qx_create_pipe("UTF-8", &rs, "UTF-8", &ws, QX_PIPE_STANDARD), 0);
  EXPECT_TRUE(rs->mode & QX_SM_TEXT && rs->mode & QX_SM_STANDARD && ws->mode & QX_SM_STANDARD);
  /* Writes interleaved with partial reads move the unread rest around in the shared buffer. */
  std::vector<uint32_t> sent;
  std::vector<int> got;
  for (uint32_t round = 0; round < 200; round++) {
    uint32_t codes[] = {0x1F600, 'a', 0xE9, 0x10FFFF, round, 0x800};
    sent.insert(sent.end(), std::begin(codes), std::end(codes));
    ASSERT_EQ(QX_put_codes(ws, codes, 6, 0), 0);
    ASSERT_EQ(QX_flush_output(ws, 0), 0);
    for (int k = 0; k < 4; k++) got.push_back(qx_get_code_helper(rs, 0x1));
  }
  for (int c : read_codes(rs)) got.push_back(c);
  EXPECT_EQ(got, std::vector<int>(sent.begin(), sent.end()));
  qx_fclose_internal(ws, QX_FC_STANDARD);
  qx_fclose_internal(rs, QX_FC_STANDARD);
}

TEST_F(StreamTest, EachPipeEndClosesOnlyItsOwnSideAndWritesAfterTheReaderAreErrors)
{
  QX_stream *rs = nullptr, *ws = nullptr;
  ASSERT_EQ(qx_create_pipe("UTF-8", &rs, "UTF-8", &ws, 0), 0);
  /* A device asked to close the other end's side keeps everything. */
  auto *rd = (qxio_t_simple_device *)rs->qxio->next; /* under the coder */
  void *data = rd->user_data;
  ASSERT_EQ(rd->user_close(&data, QXIO_USER_CLOSE_WRITE), 0);
  ASSERT_EQ(QX_put_codes(ws, (const uint32_t[]){'z'}, 1, 0), 0);
  ASSERT_EQ(QX_flush_output(ws, 0), 0) << "the write end is still open";
  EXPECT_EQ(qx_get_code_helper(rs, 0x1), 'z');
  TAGGED w = term(ws);
  ASSERT_EQ(qx_fclose_internal(rs, 0), 2);
  bi_call put = call("$put_code", {w, MakeSmall('q'), MakeSmall(0)});
  bi_call flush = call("$flush_output", {w, MakeSmall(0)});
  EXPECT_TRUE(put.raised || flush.raised) << "output to a pipe without reader is an error";
  EXPECT_EQ(qx_fclose_internal(ws, QX_FC_FORCE), 2);
}

/* ---- tunnels ---- */

TEST_F(StreamTest, TunnelWritesEscapedLinesAndEndsWithItsTunnel)
{
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  QX_stream *carrier = stream_over_fd(ends[1], QX_SC_OUTPUT);
  ASSERT_NE(carrier, nullptr);
  QX_stream *t = nullptr;
  ASSERT_EQ(qx_create_tunneled_stream(carrier, "t1", &t, 0), 0);
  EXPECT_EQ(t->mode, QX_SM_ALWAYS | QX_SM_OUTPUT | QX_SM_TEXT | QX_SM_AUTOFLUSH);
  const uint32_t codes[] = {'x', 13, 10};
  ASSERT_EQ(QX_put_codes(t, codes, 3, 0), 0);
  ASSERT_EQ(QX_flush_output(t, 0), 0);
  const std::string line("TUNNEL APPEND t1 x\x01\x03\x00\n", 22);
  EXPECT_EQ(drain(ends[0]), line);
  const uint32_t more[] = {0, 1, 0xE9};
  ASSERT_EQ(QX_put_codes(t, more, 3, 0), 0);
  ASSERT_EQ(QX_flush_output(t, 0), 0);
  const std::string second("TUNNEL APPEND t1 \x01\x02\x01\x01\xC3\xA9\n", 24);
  EXPECT_EQ(drain(ends[0]), second);
  /* The options of the tunnelled stream. */
  const struct {
    uint32_t options, mode;
  } kinds[] = {{QX_TUNNEL_INTERACTIVE, QX_SM_INTERACTIVE}, {QX_TUNNEL_STANDARD, QX_SM_STANDARD}};
  for (const auto &k : kinds) {
    QX_stream *other = nullptr;
    ASSERT_EQ(qx_create_tunneled_stream(carrier, "t2", &other, k.options), 0);
    EXPECT_EQ(other->mode & (QX_SM_INTERACTIVE | QX_SM_STANDARD), k.mode);
    EXPECT_EQ(qx_fclose_internal(other, QX_FC_STANDARD), 2);
  }
  ASSERT_EQ(qx_fclose_internal(carrier, 0), 2);
  auto *d = (qxio_t_simple_device *)t->qxio;
  size_t size = 4;
  EXPECT_EQ(d->user_write(d->user_data, codes, &size, 0), QXIO_E_END_OF_FILE);
  TAGGED tt = term(t);
  bi_call put = call("$put_code", {tt, MakeSmall('y'), MakeSmall(0)});
  bi_call flush = call("$flush_output", {tt, MakeSmall(0)});
  EXPECT_TRUE(put.raised || flush.raised) << "writing to a tunnel that is gone is an error";
  EXPECT_EQ(qx_fclose_internal(t, QX_FC_FORCE), 2);
  close(ends[0]);
}

/* ---- user streams ---- */

TEST_F(StreamTest, UserStreamOptionsAreChecked)
{
  trickle t;
  const struct {
    void *data;
    bool read, write;
    uint32_t options;
  } cases[] = {
      {&t, true, false, QX_CS_BINARY | QX_CS_TEXT},
      {&t, true, false, QX_CS_INTERACTIVE},
      {nullptr, true, false, QX_CS_BINARY},
      {&t, false, false, QX_CS_BINARY},
  };
  for (const auto &c : cases) {
    QX_stream *s = nullptr;
    EXPECT_EQ(QX_create_stream(c.data, class_a, c.read ? trickle_read : nullptr,
                               c.write ? trickle_write : nullptr, nullptr, nullptr, trickle_close,
                               nullptr, nullptr, nullptr, c.options, &s),
              QXIO_E_PARAMETER_ERROR)
        << std::hex << c.options;
  }
  EXPECT_EQ(t.closes, 0);
  QX_stream *s = nullptr;
  ASSERT_EQ(QX_create_stream(&t, class_a, trickle_read, nullptr, nullptr, nullptr, trickle_close,
                             nullptr, nullptr, nullptr,
                             QX_CS_TEXT | QX_CS_INTERACTIVE | QX_CS_EOF_CODE, &s),
            0);
  EXPECT_EQ(s->mode, QX_SM_ALWAYS | QX_SM_INPUT | QX_SM_TEXT | QX_SM_INTERACTIVE | QX_SM_EOF_CODE);
  qx_fclose_internal(s, 0);
}

TEST_F(StreamTest, UserDeviceThatTricklesLosesAndDoublesNothing)
{
  trickle t;
  for (int i = 0; i < 5000; i++) t.source.push_back((char)(i * 7 + i / 256));
  QX_stream *s = nullptr;
  ASSERT_EQ(QX_create_stream(&t, class_a, trickle_read, trickle_write, nullptr, nullptr,
                             trickle_close, nullptr, nullptr, nullptr, QX_CS_BINARY, &s),
            0);
  std::string written;
  for (int i = 0; i < 3000; i++) written.push_back((char)(i * 13));
  ASSERT_EQ(QX_put_bytes(s, (const unsigned char *)written.data(), written.size(), 0), 0);
  ASSERT_EQ(QX_flush_output(s, 0), 0);
  EXPECT_EQ(t.sink, written);
  std::string got;
  int blocked = 0;
  for (int c; (c = qx_get_byte_helper(s, 0x1)) != -1;) {
    if (c == QXIO_E_WOULD_BLOCK) {
      blocked++;
      continue;
    }
    ASSERT_GE(c, 0);
    got.push_back((char)c);
  }
  EXPECT_EQ(got, t.source);
  EXPECT_GT(blocked, 700);
  void *data = nullptr;
  EXPECT_EQ(QX_get_stream_user_data(s, class_a, &data), 0);
  EXPECT_EQ(data, &t);
  EXPECT_EQ(QX_get_stream_user_data(s, class_b, &data), QXIO_E_NOT_FOUND);
  EXPECT_EQ(QX_get_stream_user_data(nullptr, class_a, &data), QXIO_E_PARAMETER_ERROR);
  qx_fclose_internal(s, 0);
}

TEST_F(StreamTest, ClosingAUserClassClosesEveryStreamOfIt)
{
  trickle ta, tb;
  std::vector<QX_stream *> a;
  QX_stream *b = nullptr;
  for (int i = 0; i < 3; i++) {
    QX_stream *s = nullptr;
    ASSERT_EQ(QX_create_stream(&ta, class_a, nullptr, trickle_write, nullptr, nullptr,
                               trickle_close, nullptr, nullptr, nullptr, QX_CS_BINARY, &s),
              0);
    a.push_back(s);
  }
  ASSERT_EQ(QX_create_stream(&tb, class_b, nullptr, trickle_write, nullptr, nullptr, trickle_close,
                             nullptr, nullptr, nullptr, QX_CS_BINARY, &b),
            0);
  ASSERT_EQ(QX_put_bytes(a[1], (const unsigned char *)"kept", 4, 0), 0);
  /* The first one's cleanup closes the next one of the walk. */
  a[0]->flags |= QX_SF_CLOSE_CLEANUP;
  std::string cleanup = "close_cleanup(" + std::to_string((int32_t)(intptr_t)a[0]) +
                        ", all) :- '$close'(" + std::to_string((int32_t)(intptr_t)a[1]) + ", 0).";
  redefine_predicate(
      find_definition(qx_eg.prolog_module, MakeFunctor(at("close_cleanup"), 2), nullptr, 1),
      ENTER_INTERPRETED);
  for (TAGGED clause : TermReader::clauses(p.w, cleanup)) p.add_clause(clause, qx_eg.prolog_module);
  ASSERT_EQ(QX_fclose((QX_stream *)class_a, QX_FC_USER_CLASS), 0);
  EXPECT_EQ(ta.closes, 3);
  EXPECT_EQ(ta.sink, "kept") << "pending output is flushed by the close";
  for (QX_stream *s : a) EXPECT_EQ(find_stream(s), nullptr);
  EXPECT_EQ(find_stream(b), b);
  EXPECT_EQ(tb.closes, 0);
  qx_fclose_internal(b, 0);
}

/* ---- descriptor streams ---- */

TEST_F(StreamTest, DescriptorStreamsOverPipesAndSocketpairs)
{
  const struct {
    const char *encoding;
    uint32_t code;
    std::string bytes;
  } cases[] = {{"'UTF-8'", 0x1F600, "\xF0\x9F\x98\x80"}, {"'ISO-8859-1'", 0xE9, "\xE9"}};
  for (const auto &c : cases) {
    TAGGED enc = goal(std::string("encoding(") + c.encoding + ",default,lf)");
    int p1[2];
    ASSERT_EQ(pipe2(p1, O_CLOEXEC), 0);
    QX_stream *out = nullptr, *in = nullptr;
    ASSERT_EQ(QX_create_os_stream(p1[1], &out, enc, QX_OS_WRITE | QX_OS_TEXT | QX_OS_ENCODING_TERM),
              0);
    ASSERT_EQ(QX_create_os_stream(p1[0], &in, enc, QX_OS_READ | QX_OS_TEXT | QX_OS_ENCODING_TERM),
              0);
    const uint32_t codes[] = {c.code, 'x', 10};
    ASSERT_EQ(QX_put_codes(out, codes, 3, 0), 0);
    ASSERT_EQ(qx_fclose_internal(out, 0), 2);
    std::vector<int> got;
    for (int k; (k = qx_get_code_helper(in, 0)) != -1;) got.push_back(k);
    EXPECT_EQ(got, (std::vector<int>{(int)c.code, 'x', 10})) << c.encoding;
    qx_fclose_internal(in, 0);
    /* Both directions over one end of a socketpair. */
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    QX_stream *both = nullptr;
    ASSERT_EQ(QX_create_os_stream(sv[0], &both, enc,
                                  QX_OS_READ | QX_OS_WRITE | QX_OS_TEXT | QX_OS_ENCODING_TERM),
              0);
    ASSERT_EQ(QX_put_codes(both, codes, 3, 0), 0);
    ASSERT_EQ(QX_flush_output(both, 0), 0);
    EXPECT_EQ(read_fd(sv[1], c.bytes.size() + 2), c.bytes + "x\n");
    ASSERT_EQ(write(sv[1], c.bytes.data(), c.bytes.size()), (ssize_t)c.bytes.size());
    shutdown(sv[1], SHUT_WR);
    EXPECT_EQ(qx_get_code_helper(both, 0), (int)c.code);
    EXPECT_EQ(qx_get_code_helper(both, 0), -1);
    qx_fclose_internal(both, 0);
    close(sv[1]);
  }
}

TEST_F(StreamTest, DescriptorStreamByteOrderMarksAndEncodingErrors)
{
  TAGGED utf16 = goal("encoding('UTF-16LE',default,default)");
  TAGGED utf8 = goal("encoding('UTF-8',default,default)");
  const uint32_t w = QX_OS_WRITE | QX_OS_TEXT | QX_OS_ENCODING_TERM;
  const struct {
    TAGGED enc;
    uint32_t options;
    std::string bytes;
  } writes[] = {
      {utf8, w, "A"},
      {utf8, w | QX_OS_WRITE_BOM,
       "\xEF\xBB\xBF"
       "A"},
      {utf8, w | QX_OS_WRITE_BOM_IF_CALLED_FOR, "A"},
      {utf16, w | QX_OS_WRITE_BOM_IF_CALLED_FOR,
       std::string("\xFF\xFE"
                   "A\0",
                   4)},
  };
  for (const auto &c : writes) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    QX_stream *s = nullptr;
    ASSERT_EQ(QX_create_os_stream(ends[1], &s, c.enc, c.options), 0) << std::hex << c.options;
    ASSERT_EQ(QX_put_codes(s, (const uint32_t[]){'A'}, 1, 0), 0);
    ASSERT_EQ(qx_fclose_internal(s, 0), 2);
    EXPECT_EQ(read_fd(ends[0], 16), c.bytes) << std::hex << c.options;
    close(ends[0]);
  }
  /* Reading a file whose mark names its encoding, over the given ISO-8859-1. */
  std::string path = qx_scratch_root() + "/qx_os_stream";
  std::ofstream(path, std::ios::binary) << std::string("\xFF\xFE\x1F\x04\x0A\x00", 6);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  QX_stream *in = nullptr;
  ASSERT_EQ(QX_create_os_stream(fd, &in, 0, QX_OS_READ | QX_OS_TEXT | QX_OS_READ_BOM), 0);
  EXPECT_EQ(qx_get_code_helper(in, 0), 0x41F);
  EXPECT_EQ(qx_get_code_helper(in, 0), 10);
  EXPECT_EQ(qx_get_code_helper(in, 0), -1);
  qx_fclose_internal(in, 0);
  unlink(path.c_str());
  /* Refusals, and nothing made when they come. */
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  const struct {
    const char *enc;
    uint32_t options;
    int expected;
  } bad[] = {
      {"encoding('UTF-8',default,crlf)", QX_OS_REPOSITION, QXIO_E_SEEK_ERROR},
      {"encoding('UTF-8',default,auto)", QX_OS_REPOSITION, QXIO_E_SEEK_ERROR},
      {"encoding('UTF-8',default,sideways)", 0, QXIO_E_INTERNAL_ERROR},
      {"encoding('UTF-8',default,lf)", QX_OS_BINARY, QXIO_E_PARAMETER_ERROR},
  };
  for (const auto &c : bad) {
    QX_stream *s = nullptr;
    EXPECT_EQ(QX_create_os_stream(ends[0], &s, goal(c.enc),
                                  QX_OS_READ | QX_OS_TEXT | QX_OS_ENCODING_TERM | c.options),
              c.expected)
        << c.enc;
  }
  EXPECT_NE(fcntl(ends[0], F_GETFD), -1) << "a refused descriptor stays open";
  close(ends[1]);
  close(ends[0]);
  /* A descriptor that is closed: an error code, no stream. */
  QX_stream *s = nullptr;
  EXPECT_LT(QX_create_os_stream(ends[0], &s, 0, QX_OS_READ | QX_OS_BINARY), 0);
  EXPECT_EQ(s, nullptr);
}

/* Each allocation of the I/O library failing in turn: a refused descriptor stays the caller's
 * whichever step failed (open, so closed exactly once by the caller), and an accepted one is
 * the stream's. */
TEST_F(StreamTest, DescriptorStreamRefusedAtAnyAllocationLeavesTheDescriptorToTheCaller)
{
  const uint32_t kinds[] = {QX_OS_READ | QX_OS_TEXT | QX_OS_PREFER_OS_CHARSET,
                            QX_OS_WRITE | QX_OS_TEXT | QX_OS_AUTOFLUSH, QX_OS_READ | QX_OS_BINARY};
  for (uint32_t options : kinds) {
    int refusals = 0;
    for (long fail_at = 0; fail_at < 500; fail_at++) {
      int ends[2];
      ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
      int fd = options & QX_OS_READ ? ends[0] : ends[1];
      qxio_test::Budget budget;
      budget.fail_at = fail_at;
      QX_stream *s = nullptr;
      int rc;
      {
        qxio_test::BudgetScope scope(&budget);
        rc = QX_create_os_stream(fd, &s, 0, options);
      }
      if (rc == 0) {
        EXPECT_EQ(qx_fclose_internal(s, 0), 2);
        EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "closed with its stream";
      } else {
        refusals++;
        EXPECT_NE(fcntl(fd, F_GETFD), -1) << std::hex << options << " allocation " << fail_at;
        close(fd);
      }
      close(ends[0] == fd ? ends[1] : ends[0]);
      if (budget.attempts <= fail_at) break;
    }
    EXPECT_GT(refusals, 1) << std::hex << options;
  }
}
