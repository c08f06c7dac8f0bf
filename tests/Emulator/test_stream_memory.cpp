/* Streams over memory buffers: the device's read, append and side-by-side close, text read
 * from a string, and streams over code lists. */
#include <vector>

#include "stream_fixture.h"

namespace {

class MemoryStreamTest : public StreamTest {
protected:
  TAGGED code_list(const std::vector<int> &codes)
  {
    TAGGED list = atom_nil;
    for (size_t i = codes.size(); i-- > 0;) list = p.cons(MakeSmall(codes[i]), list);
    return list;
  }

  /* The stream "$stream_from_codes" bound, or null when it failed. */
  QX_stream *from_codes(TAGGED list, int options)
  {
    TAGGED out = fresh();
    bi_call r = call("$stream_from_codes", {list, out, MakeSmall(options)});
    EXPECT_FALSE(r.raised);
    if (!r.rc) return nullptr;
    return stream_to_ptr(out, 0, 0);
  }

  static std::vector<int> codes_of(QX_stream *s)
  {
    std::vector<int> codes;
    for (int c; (c = qx_get_code_helper(s, 0)) >= 0;) codes.push_back(c);
    return codes;
  }

  /* The streams enumeration lists (QX_next_stream answers 0 and ends with null). */
  static int streams_open()
  {
    int n = 0;
    for (QX_stream *s = nullptr; QX_next_stream(s, &s) == 0 && s;) n++;
    return n;
  }
};

struct close_log {
  int calls = 0;
  uint32_t options = 0;
};

int log_close(void *cookie, uint32_t options)
{
  close_log *log = (close_log *)cookie;
  log->calls++;
  log->options = options;
  return 0;
}

}  // namespace

TEST_F(MemoryStreamTest, StringStreamsReadTextAndAnEmptyOneEndsAtOnce)
{
  struct {
    const char *text;
    std::vector<int> codes;
  } cases[] = {
      {"", {}},
      {"ab\n", {'a', 'b', '\n'}},
      {"\xC3\xA9\xF0\x9F\x98\x80", {0xE9, 0x1F600}},
  };
  for (const auto &c : cases) {
    QX_stream *s = nullptr;
    ASSERT_EQ(QX_stream_from_string(c.text, &s), 1) << c.text;
    EXPECT_TRUE(s->mode & QX_SM_INPUT);
    EXPECT_FALSE(s->mode & QX_SM_OUTPUT);
    EXPECT_EQ(codes_of(s), c.codes) << c.text;
    EXPECT_EQ(qx_get_code_helper(s, 0), -1);
    EXPECT_EQ(qx_fclose_internal(s, 0), 2);
  }
  QX_stream *s = nullptr;
  EXPECT_EQ(QX_stream_from_string("\xFF", &s), 0);
  EXPECT_EQ(QX_stream_from_string(nullptr, &s), 0);
}

TEST_F(MemoryStreamTest, ClosingTheInputSideKeepsTheDeviceForWriting)
{
  qxio_t_buf *buffer = qxio_buf_alloc(nullptr, 0, 0);
  const int32_t start[] = {'x', 0x10FFFF};
  qxio_buf_concat_bytes(buffer, start, sizeof start);
  close_log log;
  QXIO q = nullptr;
  ASSERT_EQ(qx_create_qxio_device(&q, buffer, &log, log_close, QX_MD_READABLE | QX_MD_WRITABLE), 0);
  QX_stream *s = nullptr;
  ASSERT_EQ(QX_create_qxio_stream(&q, &s, QX_SC_INPUT | QX_SC_OUTPUT | QX_SC_TEXT), 0);
  EXPECT_EQ(qx_get_code_helper(s, 0), 'x');
  EXPECT_EQ(qx_fclose_internal(s, QX_FC_INPUT), 0);
  EXPECT_EQ(log.calls, 0);
  const uint32_t more[] = {'y', 0x1F600};
  EXPECT_EQ(QX_put_codes(s, more, 2, 0), 0);
  EXPECT_EQ(qx_flush_output(s, 0), 0);
  ASSERT_EQ(buffer->extent, 16u);
  EXPECT_EQ(((int32_t *)buffer->buf)[2], 'y');
  EXPECT_EQ(((int32_t *)buffer->buf)[3], 0x1F600);
  EXPECT_EQ(qx_fclose_internal(s, 0), 2);
  EXPECT_EQ(log.calls, 1);
  EXPECT_EQ(buffer->extent, 16u) << "the buffer was not the device's to free";
  qxio_buf_free(buffer);
}

TEST_F(MemoryStreamTest, DeviceMovesWholeItemsAndAFailingCallbackBlocksOnlyUnforcedCloses)
{
  /* A byte device reads any count; the code device's read and write round down to whole codes. */
  unsigned char bytes[] = {1, 2, 3, 4, 5, 6, 7};
  for (uint32_t kind : {QX_MD_BYTES, 0u}) {
    qxio_t_buf *buffer = qxio_buf_alloc(bytes, sizeof bytes, QXIO_BUF_ALLOC_COPY);
    QXIO q = nullptr;
    ASSERT_EQ(qx_create_qxio_byte_device(&q, buffer, nullptr, nullptr,
                                         QX_MD_OWN_BUFFER | QX_MD_READABLE | QX_MD_WRITABLE),
              0);
    if (kind == 0) {
      qxio_close(&q, QXIO_CLOSE_ABORTIVE);
      buffer = qxio_buf_alloc(bytes, sizeof bytes, QXIO_BUF_ALLOC_COPY);
      ASSERT_EQ(qx_create_qxio_device(&q, buffer, nullptr, nullptr,
                                      QX_MD_OWN_BUFFER | QX_MD_READABLE | QX_MD_WRITABLE),
                0);
    }
    qxio_t_buf *got = nullptr;
    ASSERT_EQ(qxio_read(&q, &got, kind ? QXIO_READ_BYTES : QXIO_READ_CODES), 0);
    EXPECT_EQ(got->extent, kind ? 7u : 4u);
    qxio_t_buf *out = qxio_buf_alloc(bytes, 6, QXIO_BUF_ALLOC_COPY);
    size_t pos = 0;
    EXPECT_EQ(qxio_write(&q, out, &pos, 0), 0);
    EXPECT_EQ(pos, kind ? 6u : 4u);
    EXPECT_EQ(buffer->extent, kind ? 13u : 11u);
    qxio_buf_free(out);
    qxio_buf_free(got);
    EXPECT_EQ(qxio_close(&q, 0), 0);
  }
  close_log log;
  auto refuse = [](void *cookie, uint32_t options) {
    log_close(cookie, options);
    return (int)QXIO_E_PERMISSION_ERROR;
  };
  qxio_t_buf *buffer = qxio_buf_alloc(nullptr, 0, 0);
  QXIO q = nullptr;
  ASSERT_EQ(qx_create_qxio_device(&q, buffer, &log, refuse, QX_MD_OWN_BUFFER | QX_MD_READABLE), 0);
  EXPECT_EQ(qxio_close(&q, QXIO_CLOSE_READ), QXIO_E_PERMISSION_ERROR);
  EXPECT_NE(q, nullptr);
  EXPECT_EQ(qxio_close(&q, QXIO_CLOSE_READ | QXIO_CLOSE_ABORTIVE), 0);
  EXPECT_EQ(q, nullptr);
  EXPECT_EQ(log.calls, 2);
}

TEST_F(MemoryStreamTest, StreamFromCodesHonoursEachOptionBit)
{
  TAGGED a = at("a"), b = at("b");
  TAGGED tail = fresh();
  TAGGED partial = p.list({MakeSmall('h')}, tail);
  struct {
    const char *what;
    TAGGED list;
    int options;
    bool ok;
    std::vector<int> codes;
  } cases[] = {
      {"codes above U+FFFF",
       code_list({0x1F600, 0x10FFFF, 'a', 0}),
       4,
       true,
       {0x1F600, 0x10FFFF, 'a', 0}},
      {"empty", atom_nil, 4, true, {}},
      {"chars without bit 0", p.list({a, b}), 4, false, {}},
      {"chars with bit 0", p.list({a, b}), 5, true, {'a', 'b'}},
      {"partial without bit 1", partial, 4, false, {}},
      {"partial with bit 1", partial, 6, true, {'h'}},
      {"no direction", code_list({1}), 0, false, {}},
      {"negative options", code_list({1}), -4, false, {}},
      {"not a list", at("abc"), 4, false, {}},
  };
  rows_kept kept(cases, [](auto &c) -> TAGGED & { return c.list; });
  int before = streams_open();
  for (const auto &c : cases) {
    QX_stream *s = from_codes(c.list, c.options);
    EXPECT_EQ(s != nullptr, c.ok) << c.what;
    if (!s) continue;
    EXPECT_TRUE(s->mode & QX_SM_TEXT) << c.what;
    EXPECT_FALSE(s->mode & QX_SM_OUTPUT) << c.what;
    EXPECT_EQ(codes_of(s), c.codes) << c.what;
    EXPECT_EQ(qx_fclose_internal(s, 0), 2) << c.what;
  }
  EXPECT_EQ(streams_open(), before);

  /* Output only: a write stream with autoflush; read-write: what is written follows the list. */
  QX_stream *w = from_codes(code_list({'q'}), 8);
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE((w->mode & (QX_SM_OUTPUT | QX_SM_AUTOFLUSH)) == (QX_SM_OUTPUT | QX_SM_AUTOFLUSH));
  EXPECT_FALSE(w->mode & QX_SM_INPUT);
  EXPECT_EQ(qx_fclose_internal(w, 0), 2);
  QX_stream *rw = from_codes(code_list({'o', 'k'}), 12);
  ASSERT_NE(rw, nullptr);
  const uint32_t more[] = {0x1F600, '!'};
  EXPECT_EQ(QX_put_codes(rw, more, 2, 0), 0);
  EXPECT_EQ(qx_flush_output(rw, 0), 0);
  EXPECT_EQ(codes_of(rw), (std::vector<int>{'o', 'k', 0x1F600, '!'}));
  EXPECT_EQ(qx_fclose_internal(rw, 0), 2);

  /* A Stream argument that does not unify: the stream made is closed again. */
  bi_call r = call("$stream_from_codes", {code_list({'z'}), at("taken"), MakeSmall(4)});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(streams_open(), before);
}
