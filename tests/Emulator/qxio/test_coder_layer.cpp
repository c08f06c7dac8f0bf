// The character-coder layer: decoding over devices that deliver their bytes in every possible
// split, writing through its buffer, translating positions between codes and bytes when the
// stream is repositioned, and its push, close, pop and control requests.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <iconv.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "coder_test_util.h"
#include "fs_test_util.h"
#include "layer_test_util.h"

using qxio_test::codes_t;
using qxio_test::memory_file;
using qxio_test::script;
using qxio_test::words;

namespace {

const uint32_t CODES = QXIO_READ_CODES;
const uint32_t BYTES = QXIO_READ_BYTES;
const uint32_t FFFD = 0xFFFD;

qxio_t_coder *open_coder(const char *name, uint32_t options)
{
  qxio_t_coder_funcs *funcs = nullptr;
  qxio_t_coder *coder = nullptr;
  if (qxio_char_coder_find(&funcs, name, nullptr, 0) < 0) return nullptr;
  qxio_t_error_code rc = qxio_char_coder_open(funcs, &coder, nullptr, options);
  qxio_coder_funcs_release(funcs);
  return rc < 0 ? nullptr : coder;
}

// Pushes a coder layer; on failure the coders stay the caller's and are closed here.
qxio_t_error_code push_coders(QXIO *slot, qxio_t_coder *read_coder, qxio_t_coder *write_coder,
                              uint32_t options = 0)
{
  qxio_t_property args[] = {qxio_arg_pointer(QXIO_ARG_READ_CHAR_CODER, read_coder),
                            qxio_arg_pointer(QXIO_ARG_WRITE_CHAR_CODER, write_coder),
                            qxio_arg_end()};
  qxio_t_error_code rc = qxio_push(&qxio_layer_coder_funcs, slot, args, options);
  if (rc < 0) {
    qxio_char_coder_close(read_coder);
    qxio_char_coder_close(write_coder);
  }
  return rc;
}

qxio_t_error_code push_decoder(QXIO *slot, const char *name, uint32_t open_options = 0,
                               uint32_t push_options = 0)
{
  return push_coders(slot, open_coder(name, QXIO_CODER_OPEN_DECODE | open_options), nullptr,
                     push_options);
}

// The code points of UTF-8 text as the C library decodes it.
codes_t reference_codes(const std::string &utf8)
{
  iconv_t cd =
      iconv_open(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? "UTF-32LE" : "UTF-32BE", "UTF-8");
  std::string out(utf8.size() * 4, '\0');
  char *src = const_cast<char *>(utf8.data()), *dst = &out[0];
  size_t src_left = utf8.size(), dst_left = out.size();
  size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
  iconv_close(cd);
  EXPECT_NE((size_t)-1, rc);
  out.resize(out.size() - dst_left);
  return qxio_test::codes_of(out);
}

std::string without_cr_before_lf(const std::string &s)
{
  std::string out;
  for (size_t i = 0; i < s.size(); i++)
    if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')) out += s[i];
  return out;
}

class CoderLayer : public qxio_test::CoderFixture {
protected:
  void TearDown() override
  {
    if (stream != nullptr) {
      EXPECT_EQ(0, qxio_close(&stream, QXIO_CLOSE_ABORTIVE));
    }
    CoderFixture::TearDown();
  }
  // Decodes the script's input through a UTF-8 coder layer; returns the final failure.
  qxio_t_error_code decode_script(script *s, codes_t *codes, uint32_t open_options, bool replace)
  {
    stream = nullptr;
    EXPECT_EQ(0, qxio_test::open_script(&stream, s, true, false));
    EXPECT_EQ(0, push_decoder(&stream, "UTF-8", open_options));
    if (replace) {
      EXPECT_EQ(0,
                qxio_ioctl_encoding_fallback(&stream, QXIO_FALLBACK_READ | QXIO_FALLBACK_INVALID |
                                                          QXIO_FALLBACK_REPLACE));
    }
    std::string out;
    qxio_t_error_code rc = qxio_test::read_all(&stream, &out, CODES);
    *codes = qxio_test::codes_of(out);
    EXPECT_EQ(0, qxio_close(&stream, 0));
    return rc;
  }
  // What the stream's device works on; members, so that they outlive the stream.
  script s;
  std::string data;
  QXIO stream = nullptr;
};

const std::string mixed_text = "Gr\xC3\xBC\xC3\x9F"
                               "e, \xE4\xB8\x96\xE7\x95\x8C! \xF0\x9F\x98\x80 ok\r\n"
                               "\xC3\x86"
                               "ble \xE2\x80\x93 na\xC3\xAF"
                               "ve \xE2\x88\x91 \xF0\x9D\x84\x9E\r\r\n\xEF\xBB\xBF"
                               "end";

// ---- reading ----

TEST_F(CoderLayer, MixedUtf8DecodesIdenticallyAtEverySplitPoint)
{
  const codes_t expected = reference_codes(mixed_text);
  for (size_t chunk : {1u, 2u, 3u}) {
    for (size_t first = 0; first <= mixed_text.size(); first++) {
      script s;
      s.input = mixed_text;
      s.first = first;
      s.chunk = chunk;
      codes_t codes;
      ASSERT_EQ(QXIO_E_END_OF_FILE, decode_script(&s, &codes, 0, false));
      ASSERT_EQ(expected, codes) << "first read " << first << ", then " << chunk;
      EXPECT_EQ(1, s.closes);
    }
  }
}

TEST_F(CoderLayer, LineEndsConvertIdenticallyAtEverySplitPoint)
{
  const codes_t expected = reference_codes(without_cr_before_lf(mixed_text));
  for (size_t first = 0; first <= mixed_text.size(); first++) {
    script s;
    s.input = mixed_text;
    s.first = first;
    codes_t codes;
    ASSERT_EQ(QXIO_E_END_OF_FILE, decode_script(&s, &codes, QXIO_CODER_OPEN_CRLF, false));
    ASSERT_EQ(expected, codes) << "first read " << first;
  }
}

TEST_F(CoderLayer, MalformedInputIsReplacedIdenticallyAtEverySplitPoint)
{
  const std::string input = "a\xE2\x82"
                            "b\xF0\x9F\x98\x80\xC0\x80z\xED\xA0\x80\xF4\x90\x80\x80!\xE2\x82";
  const codes_t expected = {'a',  FFFD, 'b',  0x1F600, FFFD, FFFD, 'z',
                            FFFD, FFFD, FFFD, FFFD,    '!',  FFFD};
  for (size_t first = 0; first <= input.size(); first++) {
    script s;
    s.input = input;
    s.first = first;
    codes_t codes;
    ASSERT_EQ(QXIO_E_END_OF_FILE, decode_script(&s, &codes, 0, true));
    ASSERT_EQ(expected, codes) << "first read " << first;
  }
}

TEST_F(CoderLayer, TruncatedLastCharacterFailsAfterTheCompleteOnes)
{
  s.input = "ab\xE2\x82";
  s.chunk = 8;
  codes_t codes;
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, decode_script(&s, &codes, 0, false));
  EXPECT_EQ((codes_t{'a', 'b'}), codes);
}

TEST_F(CoderLayer, InvalidInputFailsUnlessTheFallbackAllowsReplacement)
{
  s.input = "ok\xFF";
  codes_t codes;
  EXPECT_EQ(QXIO_E_ENCODING_INVALID, decode_script(&s, &codes, 0, false));
  EXPECT_EQ((codes_t{'o', 'k'}), codes);
  script again;
  again.input = s.input;
  EXPECT_EQ(QXIO_E_END_OF_FILE, decode_script(&again, &codes, 0, true));
  EXPECT_EQ((codes_t{'o', 'k', FFFD}), codes);
}

TEST_F(CoderLayer, LayerFlagsFollowItsCoders)
{
  ASSERT_EQ(0, qxio_test::open_script(&stream, &s, true, true));
  ASSERT_EQ(0, push_coders(&stream, open_coder("UTF-8", QXIO_CODER_OPEN_DECODE), nullptr));
  EXPECT_EQ(QXIO_LAYER_HAS_INPUT | QXIO_LAYER_READABLE | QXIO_LAYER_READ_OPEN |
                QXIO_LAYER_READ_ITEM_4,
            stream->flags);
  QXIO output = nullptr;
  script t;
  ASSERT_EQ(0, qxio_test::open_script(&output, &t, false, true));
  ASSERT_EQ(0, push_coders(&output, nullptr, open_coder("ISO-8859-1", QXIO_CODER_OPEN_SEEKABLE),
                           QXIO_CODER_LAYER_SEEKABLE));
  EXPECT_EQ(QXIO_LAYER_HAS_OUTPUT | QXIO_LAYER_WRITABLE | QXIO_LAYER_WRITE_OPEN |
                QXIO_LAYER_WRITE_ITEM_4 | QXIO_LAYER_SEEKABLE,
            output->flags);
  EXPECT_EQ(0, qxio_close(&output, 0));
}

// ---- writing ----

TEST_F(CoderLayer, WritesGoDownOnSyncOrAtTheEndOfData)
{
  ASSERT_EQ(0, qxio_test::open_script(&stream, &s, false, true));
  ASSERT_EQ(0, push_coders(&stream, nullptr, open_coder("UTF-16LE", 0)));
  const std::string in_codes = words({'h', 'i'});
  qxio_t_buf in = qxio_test::wrap(in_codes);
  size_t pos = 0;
  ASSERT_EQ(0, qxio_write(&stream, &in, &pos, QXIO_WRITE_ALL));
  EXPECT_EQ(8u, pos);
  EXPECT_EQ("", s.written);
  ASSERT_EQ(0, qxio_sync(&stream, QXIO_SYNC_WRITE));
  EXPECT_EQ(std::string("h\0i\0", 4), s.written);
  const std::string more_codes = words({0x1F600});
  qxio_t_buf more = qxio_test::wrap(more_codes);
  pos = 0;
  ASSERT_EQ(0, qxio_write(&stream, &more, &pos, QXIO_WRITE_ALL | QXIO_WRITE_END));
  EXPECT_EQ(std::string("h\0i\0\x3D\xD8\x00\xDE", 8), s.written);
}

TEST_F(CoderLayer, PartialCodesAreAGranularityError)
{
  ASSERT_EQ(0, qxio_test::open_script(&stream, &s, false, true));
  ASSERT_EQ(0, push_coders(&stream, nullptr, open_coder("UTF-8", 0)));
  const std::string six("a\0\0\0b\0", 6);
  qxio_t_buf in = qxio_test::wrap(six);
  size_t pos = 0;
  EXPECT_EQ(QXIO_E_GRANULARITY_ERROR, qxio_write(&stream, &in, &pos, 0));
  EXPECT_EQ(0u, pos);
  ASSERT_EQ(0, qxio_sync(&stream, QXIO_SYNC_WRITE));
  EXPECT_EQ("", s.written);
}

TEST_F(CoderLayer, UnmappableCodeStopsTheWriteUnlessReplaced)
{
  ASSERT_EQ(0, qxio_test::open_script(&stream, &s, false, true));
  ASSERT_EQ(0, push_coders(&stream, nullptr, open_coder("ISO-8859-1", 0)));
  const std::string in_codes = words({'a', 0x20AC, 'b'});
  qxio_t_buf in = qxio_test::wrap(in_codes);
  size_t pos = 0;
  EXPECT_EQ(QXIO_E_ENCODING_UNMAPPABLE, qxio_write(&stream, &in, &pos, QXIO_WRITE_ALL));
  EXPECT_EQ(4u, pos);
  ASSERT_EQ(0, qxio_ioctl_encoding_fallback(&stream, QXIO_FALLBACK_WRITE | QXIO_FALLBACK_REPLACE));
  EXPECT_EQ(0, qxio_write(&stream, &in, &pos, QXIO_WRITE_ALL | QXIO_WRITE_END));
  EXPECT_EQ("a\x1A"
            "b",
            s.written);
  // The strict request takes replacement back.
  ASSERT_EQ(0, qxio_ioctl_encoding_fallback(&stream, QXIO_FALLBACK_WRITE | QXIO_FALLBACK_STRICT));
  pos = 4;
  EXPECT_EQ(QXIO_E_ENCODING_UNMAPPABLE, qxio_write(&stream, &in, &pos, QXIO_WRITE_ALL));
}

// n letters as code words.
std::string letter_codes(size_t n, size_t from = 0)
{
  codes_t codes;
  for (size_t i = from; i < from + n; i++) codes.push_back('a' + i % 26);
  return words(codes);
}

std::string letters(size_t n, size_t from = 0)
{
  std::string text;
  for (size_t i = from; i < from + n; i++) text += char('a' + i % 26);
  return text;
}

// Calls `step` while it answers `failure`, at most `limit` times; answers its last result and
// counts the failures.
template <typename Step>
qxio_t_error_code retry(Step step, qxio_t_error_code failure, int *failures, int limit = 1000)
{
  qxio_t_error_code rc;
  while ((rc = step()) == failure && ++*failures < limit) {}
  return rc;
}

// The device takes 16 bytes a call and fails every other call. Each failure reaches the
// caller; what did not go down stays buffered and goes on the next try, so that the sync,
// the end-of-data write and the close that finally succeed have delivered every byte.
TEST_F(CoderLayer, FlushCutShortKeepsTheRestAndReportsTheFailure)
{
  for (qxio_t_error_code failure : {QXIO_E_INTERRUPTED, QXIO_E_WOULD_BLOCK, QXIO_E_OUT_OF_MEMORY}) {
    SCOPED_TRACE(failure);
    script dev;
    dev.write_limit = 16;
    dev.fail_every = 2;
    dev.fail_with = failure;
    ASSERT_EQ(0, qxio_test::open_script(&stream, &dev, false, true));
    ASSERT_EQ(0, push_coders(&stream, nullptr, open_coder("UTF-8", 0)));
    const std::string codes = letter_codes(1000);
    qxio_t_buf in = qxio_test::wrap(codes);
    size_t pos = 0;
    ASSERT_EQ(0, qxio_write(&stream, &in, &pos, QXIO_WRITE_ALL));  // encoded, not yet down
    int failures = 0;
    EXPECT_EQ(0, retry([&] { return qxio_sync(&stream, QXIO_SYNC_WRITE); }, failure, &failures));
    EXPECT_EQ(letters(1000), dev.written);
    EXPECT_EQ(62, failures);  // 63 calls of at most 16 bytes, a failure between each two
    // the end-of-data flush fails at once; the bytes were taken and go with the next flush
    const std::string tail_codes = letter_codes(40, 1000);
    qxio_t_buf tail = qxio_test::wrap(tail_codes);
    pos = 0;
    EXPECT_EQ(failure, qxio_write(&stream, &tail, &pos, QXIO_WRITE_ALL | QXIO_WRITE_END));
    EXPECT_EQ(tail_codes.size(), pos);
    failures = 0;
    EXPECT_EQ(0, retry([&] { return qxio_write(&stream, &tail, &pos, QXIO_WRITE_END); }, failure,
                       &failures));
    EXPECT_EQ(letters(1040), dev.written);
    EXPECT_EQ(2, failures);
    // a close whose flush fails keeps the stream and the bytes
    const std::string last_codes = letter_codes(100, 1040);
    qxio_t_buf last = qxio_test::wrap(last_codes);
    pos = 0;
    ASSERT_EQ(0, qxio_write(&stream, &last, &pos, QXIO_WRITE_ALL));
    EXPECT_EQ(failure, qxio_close(&stream, 0));
    ASSERT_NE(nullptr, stream);
    EXPECT_EQ(0, dev.closes);
    failures = 0;
    EXPECT_EQ(0, retry([&] { return qxio_close(&stream, 0); }, failure, &failures));
    EXPECT_EQ(nullptr, stream);
    EXPECT_EQ(letters(1140), dev.written);
    EXPECT_EQ(1, dev.closes);
    stream = nullptr;
  }
}

// A write of no codes takes nothing and answers 0; at the end of data it still flushes what
// was encoded before.
TEST_F(CoderLayer, ZeroLengthWriteAnswersZeroAndFlushesAtTheEndOfData)
{
  ASSERT_EQ(0, qxio_test::open_script(&stream, &s, false, true));
  ASSERT_EQ(0, push_coders(&stream, nullptr, open_coder("UTF-16BE", 0)));
  const std::string codes = words({'o', 0x1F600, 'k'});
  qxio_t_buf in = qxio_test::wrap(codes);
  size_t pos = 0;
  ASSERT_EQ(0, qxio_write(&stream, &in, &pos, QXIO_WRITE_ALL));
  const std::string none;
  qxio_t_buf empty = qxio_test::wrap(none);
  for (uint32_t options : {0u, unsigned(QXIO_WRITE_ALL), unsigned(QXIO_WRITE_NONBLOCKING)}) {
    pos = 0;
    EXPECT_EQ(0, qxio_write(&stream, &empty, &pos, options));
    EXPECT_EQ(0u, pos);
    EXPECT_EQ("", s.written);
  }
  pos = codes.size();
  EXPECT_EQ(0, qxio_write(&stream, &in, &pos, QXIO_WRITE_END));
  EXPECT_EQ(codes.size(), pos);
  EXPECT_EQ(std::string("\0o\xD8\x3D\xDE\x00\0k", 8), s.written);
}

// The UTF-8 form of a code point, written out here as the oracle of the stream's encoder.
void append_utf8(std::string *out, uint32_t c)
{
  if (c < 0x80) {
    *out += char(c);
  } else if (c < 0x800) {
    *out += char(0xC0 | c >> 6);
    *out += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += char(0xE0 | c >> 12);
    *out += char(0x80 | (c >> 6 & 0x3F));
    *out += char(0x80 | (c & 0x3F));
  } else {
    *out += char(0xF0 | c >> 18);
    *out += char(0x80 | (c >> 12 & 0x3F));
    *out += char(0x80 | (c >> 6 & 0x3F));
    *out += char(0x80 | (c & 0x3F));
  }
}

// A text stream over a pipe (UTF-8 coder layer on the thread-backed device) written while
// another thread interrupts at short, uneven intervals and a third drains the pipe, pausing
// now and then.
// Every failure is an interrupt, repeated until the operation succeeds; the bytes that come
// out of the pipe are exactly the encoding of the codes every write took, close after close.
TEST(CoderLayerOverPipe, InterruptStormLosesNoTakenByte)
{
  qxio_test::library lib;
  const uint32_t alphabet[] = {'a', 'Z', '\n', 0xE9, 0x4E16, 0x1F600};
  std::mt19937 random(20260311);
  std::atomic<bool> storm_over{false};
  std::thread storm([&] {
    std::mt19937 gaps(7);
    while (!storm_over.load()) {
      qxio_interrupt();
      std::this_thread::sleep_for(std::chrono::microseconds(10 + gaps() % 1000));
    }
  });
  int interrupted = 0;
  for (int round = 0; round < 100 && !::testing::Test::HasFailure(); round++) {
    int ends[2];
    ASSERT_EQ(0, pipe2(ends, O_CLOEXEC));
    std::string received;
    const unsigned pause_every = 1 + random() % 64;
    std::thread drain([&, pause_every] {
      char piece[4096];
      ssize_t n;
      for (unsigned i = 1; (n = read(ends[0], piece, sizeof piece)) > 0; i++) {
        received.append(piece, size_t(n));
        if (i % pause_every == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    });
    QXIO stream = nullptr;
    ASSERT_EQ(0, qxio_layer_threaddevice_open_file_handle_unix(&stream, ends[1], QXIO_FD_WRITE));
    ASSERT_EQ(0, push_coders(&stream, nullptr, open_coder("UTF-8", 0)));
    std::string expected;
    for (int chunk = 0; chunk < 6; chunk++) {
      // the last one leaves more than the device's queue can take for the close to flush
      codes_t codes(chunk == 5 ? 40000 : 1 + random() % 20000);
      for (uint32_t &c : codes) c = alphabet[random() % 6];
      const std::string bytes = words(codes);
      qxio_t_buf in = qxio_test::wrap(bytes);
      const uint32_t end = chunk < 5 && random() % 3 == 0 ? QXIO_WRITE_END : 0;
      size_t pos = 0;
      for (int attempt = 0; attempt < 1000 && (attempt == 0 || pos < bytes.size()); attempt++) {
        size_t before = pos;
        qxio_t_error_code rc = qxio_write(&stream, &in, &pos, QXIO_WRITE_ALL | end);
        for (size_t at = before; at < pos; at += 4) append_utf8(&expected, codes[at / 4]);
        if (rc == QXIO_E_INTERRUPTED)
          interrupted++;
        else
          ASSERT_EQ(0, rc);
      }
    }
    int failures = 0;
    qxio_t_error_code rc =
        retry([&] { return qxio_close(&stream, 0); }, QXIO_E_INTERRUPTED, &failures, 1000000);
    interrupted += failures;
    EXPECT_EQ(0, rc);
    EXPECT_EQ(nullptr, stream);
    if (stream != nullptr) qxio_close(&stream, QXIO_CLOSE_ABORTIVE);
    drain.join();
    close(ends[0]);
    EXPECT_EQ(expected.size(), received.size()) << "round " << round;
    EXPECT_TRUE(expected == received) << "round " << round;
  }
  storm_over.store(true);
  storm.join();
  RecordProperty("interrupted", interrupted);
}

TEST_F(CoderLayer, CloseFlushesClosesTheDeviceAndEmptiesTheSlot)
{
  ASSERT_EQ(0, qxio_test::open_script(&stream, &s, true, true));
  ASSERT_EQ(0, push_coders(&stream, open_coder("UTF-8", QXIO_CODER_OPEN_DECODE),
                           open_coder("UTF-8", QXIO_CODER_OPEN_CRLF)));
  const std::string in_codes = words({'x', '\n'});
  qxio_t_buf in = qxio_test::wrap(in_codes);
  size_t pos = 0;
  ASSERT_EQ(0, qxio_write(&stream, &in, &pos, QXIO_WRITE_ALL));
  ASSERT_EQ(0, qxio_close(&stream, 0));
  EXPECT_EQ(nullptr, stream);
  EXPECT_EQ("x\r\n", s.written);
  EXPECT_EQ(1, s.closes);
}

TEST_F(CoderLayer, ClosingOneSideKeepsTheOther)
{
  s.input = "in";
  ASSERT_EQ(0, qxio_test::open_script(&stream, &s, true, true));
  ASSERT_EQ(
      0, push_coders(&stream, open_coder("UTF-8", QXIO_CODER_OPEN_DECODE), open_coder("UTF-8", 0)));
  ASSERT_EQ(0, qxio_close(&stream, QXIO_CLOSE_READ));
  ASSERT_NE(nullptr, stream);
  EXPECT_EQ(&qxio_layer_coder_funcs, stream->funcs);
  std::string out;
  EXPECT_EQ(QXIO_E_NOT_OPEN_READ, qxio_test::read_once(&stream, &out, CODES));
  const std::string in_codes = words({'o', 'k'});
  qxio_t_buf in = qxio_test::wrap(in_codes);
  size_t pos = 0;
  ASSERT_EQ(0, qxio_write(&stream, &in, &pos, QXIO_WRITE_ALL | QXIO_WRITE_END));
  EXPECT_EQ("ok", s.written);
  ASSERT_EQ(0, qxio_close(&stream, QXIO_CLOSE_WRITE));
  EXPECT_EQ(nullptr, stream);
  EXPECT_EQ(2, s.closes);  // once per side
}

// ---- push and control ----

TEST_F(CoderLayer, PushRequiresMatchingSidesBelow)
{
  ASSERT_EQ(0, qxio_test::open_script(&stream, &s, false, true));
  EXPECT_EQ(QXIO_E_PARAMETER_ERROR,
            push_coders(&stream, open_coder("UTF-8", QXIO_CODER_OPEN_DECODE), nullptr));
  EXPECT_EQ(QXIO_E_PUSH_ERROR, push_coders(&stream, nullptr, nullptr));
  QXIO empty = nullptr;
  EXPECT_EQ(QXIO_E_PARAMETER_ERROR, push_coders(&empty, nullptr, open_coder("UTF-8", 0)));
  EXPECT_EQ(&qxio_simple_device_funcs, stream->funcs);
}

TEST_F(CoderLayer, SeekableLayerHasOnlyOneSide)
{
  ASSERT_EQ(0, qxio_test::open_script(&stream, &s, true, true));
  EXPECT_EQ(QXIO_E_NOT_SUPPORTED,
            push_coders(&stream, open_coder("ISO-8859-1", QXIO_CODER_OPEN_DECODE),
                        open_coder("ISO-8859-1", 0), QXIO_CODER_LAYER_SEEKABLE));
}

TEST_F(CoderLayer, EncodingNamePerSide)
{
  ASSERT_EQ(0, qxio_test::open_script(&stream, &s, true, true));
  ASSERT_EQ(0, push_coders(&stream, open_coder("latin1", QXIO_CODER_OPEN_DECODE), nullptr));
  const char *name = nullptr;
  ASSERT_EQ(0, qxio_ioctl(&stream, QXIO_IOCTL_GET_ENCODING_NAME_, &name, QXIO_IOCTL_READ_SIDE));
  EXPECT_STREQ("ISO-8859-1", name);
  EXPECT_EQ(QXIO_E_NOT_SUPPORTED,
            qxio_ioctl(&stream, QXIO_IOCTL_GET_ENCODING_NAME_, &name, QXIO_IOCTL_WRITE_SIDE));
  qxio_t_device_type type = QXIO_DEVICE_TYPE_ILLEGAL;
  EXPECT_EQ(QXIO_E_NOT_SUPPORTED, qxio_ioctl(&stream, QXIO_IOCTL_DEVICE_TYPE_, &type, 0));
}

TEST(CoderLayerRegistry, ModuleStartRegistersTheClass)
{
  ASSERT_EQ(0, qxio_init_layer_coder(0));
  const qxio_t_funcs *funcs = nullptr;
  EXPECT_EQ(0, qxio_find_layer("char-coder", &funcs, 0));
  EXPECT_EQ(&qxio_layer_coder_funcs, funcs);
  ASSERT_EQ(0, qxio_init_layer_coder(1));
  EXPECT_EQ(QXIO_E_NOT_FOUND, qxio_find_layer("char-coder", &funcs, 0));
}

// ---- positions ----

// Bytes 0 to 255, so that an ISO-8859-1 code equals its byte offset.
std::string all_bytes()
{
  std::string s(256, '\0');
  for (int i = 0; i < 256; i++) s[i] = (char)i;
  return s;
}

codes_t next_codes(QXIO *slot)
{
  std::string out;
  EXPECT_EQ(0, qxio_test::read_once(slot, &out, CODES));
  return qxio_test::codes_of(out);
}

int64_t seek(QXIO *slot, int64_t offset, uint32_t options)
{
  int64_t position = -1;
  EXPECT_EQ(0, qxio_seek(slot, offset, &position, nullptr, options | QXIO_SEEK_READ));
  return position;
}

TEST_F(CoderLayer, SeeksTranslateCodePositionsIntoBytePositions)
{
  data = all_bytes();
  qxio_test::open_memory_file(&stream, &data, 1);
  ASSERT_EQ(
      0, push_decoder(&stream, "ISO-8859-1", QXIO_CODER_OPEN_SEEKABLE, QXIO_CODER_LAYER_SEEKABLE));
  for (uint32_t i = 0; i < 5; i++) EXPECT_EQ(codes_t{i}, next_codes(&stream));
  EXPECT_EQ(20, seek(&stream, 0, QXIO_SEEK_CUR));
  EXPECT_EQ(8, seek(&stream, 8, QXIO_SEEK_SET));
  EXPECT_EQ(codes_t{2}, next_codes(&stream));
  EXPECT_EQ(52, seek(&stream, 40, QXIO_SEEK_CUR));
  EXPECT_EQ(codes_t{13}, next_codes(&stream));
  EXPECT_EQ(800, seek(&stream, 800, QXIO_SEEK_SET));
  EXPECT_EQ(codes_t{200}, next_codes(&stream));
  EXPECT_EQ(codes_t{201}, next_codes(&stream));
  // Popping the layer leaves the stream below just after the last byte decoded.
  ASSERT_EQ(0, qxio_pop(nullptr, &stream, 0));
  EXPECT_EQ(&qxio_test::memory_file_funcs, stream->funcs);
  std::string out;
  ASSERT_EQ(0, qxio_test::read_once(&stream, &out, BYTES));
  EXPECT_EQ(std::string(1, (char)202), out);
}

TEST_F(CoderLayer, SeekingBackWithinTheBufferedBytesReadsNothingBelow)
{
  data = all_bytes();
  memory_file *file = qxio_test::open_memory_file(&stream, &data, 16);
  ASSERT_EQ(0, push_decoder(&stream, "ISO-8859-1", QXIO_CODER_OPEN_SEEKABLE));
  codes_t first = next_codes(&stream);
  ASSERT_EQ(16u, first.size());
  EXPECT_EQ(1, file->reads);
  EXPECT_EQ(12, seek(&stream, 12, QXIO_SEEK_SET));
  EXPECT_EQ(codes_t(first.begin() + 3, first.end()), next_codes(&stream));
  EXPECT_EQ(1, file->reads);
  EXPECT_EQ(160, seek(&stream, 160, QXIO_SEEK_SET));
  EXPECT_EQ(40u, next_codes(&stream).at(0));
  EXPECT_EQ(2, file->reads);
}

TEST_F(CoderLayer, PopGivesUndecodedBytesBack)
{
  data = "ab\xE2\x82\xAC"
         "cd";
  qxio_test::open_memory_file(&stream, &data, 3);
  ASSERT_EQ(0, push_decoder(&stream, "UTF-8"));
  EXPECT_EQ((codes_t{'a', 'b'}), next_codes(&stream));
  ASSERT_EQ(0, qxio_pop(&qxio_layer_coder_funcs, &stream, 0));
  std::string out;
  ASSERT_EQ(0, qxio_test::read_once(&stream, &out, BYTES));
  EXPECT_EQ("\xE2\x82\xAC", out);
}

TEST_F(CoderLayer, ReadSyncKeepsOrGivesBackReadAhead)
{
  data = "xy\xC3";
  data += "\xA9";
  qxio_test::open_memory_file(&stream, &data, 3);
  ASSERT_EQ(0, push_decoder(&stream, "UTF-8"));
  EXPECT_EQ((codes_t{'x', 'y'}), next_codes(&stream));
  ASSERT_EQ(0, qxio_sync(&stream, QXIO_SYNC_READ | QXIO_SYNC_KEEP_READAHEAD));
  EXPECT_EQ(3u, qxio_test::file_of(&stream->next)->pos);
  ASSERT_EQ(0, qxio_sync(&stream, QXIO_SYNC_READ));
  EXPECT_EQ(2u, qxio_test::file_of(&stream->next)->pos);
  EXPECT_EQ((codes_t{0xE9}), next_codes(&stream));
}

TEST_F(CoderLayer, SeekRequestsItCannotServe)
{
  data = all_bytes();
  qxio_test::open_memory_file(&stream, &data, 1);
  ASSERT_EQ(0, push_decoder(&stream, "ISO-8859-1", QXIO_CODER_OPEN_SEEKABLE));
  int64_t position = 0;
  EXPECT_EQ(QXIO_E_NOT_SUPPORTED, qxio_seek(&stream, 0, &position, nullptr, QXIO_SEEK_END));
  EXPECT_EQ(QXIO_E_PARAMETER_ERROR, qxio_seek(&stream, -4, &position, nullptr, QXIO_SEEK_SET));
  EXPECT_EQ(QXIO_E_PARAMETER_ERROR, qxio_seek(&stream, -4, &position, nullptr, QXIO_SEEK_CUR));
  EXPECT_EQ(QXIO_E_PARAMETER_ERROR, qxio_seek(&stream, 4, &position, nullptr, 0));
  EXPECT_EQ(codes_t{0}, next_codes(&stream));
  EXPECT_EQ(QXIO_E_PARAMETER_ERROR,
            qxio_seek(&stream, INT64_MAX - 2, &position, nullptr, QXIO_SEEK_CUR));
  EXPECT_EQ(QXIO_E_GRANULARITY_ERROR, qxio_seek(&stream, 6, &position, nullptr, QXIO_SEEK_SET));
  QXIO utf8 = nullptr;
  std::string text = "abc";
  qxio_test::open_memory_file(&utf8, &text, 1);
  ASSERT_EQ(0, push_decoder(&utf8, "UTF-8"));
  EXPECT_EQ(QXIO_E_NOT_SUPPORTED, qxio_seek(&utf8, 0, &position, nullptr, QXIO_SEEK_SET));
  EXPECT_EQ(0, qxio_close(&utf8, 0));
}

TEST_F(CoderLayer, WritePositionSeeksFlushFirstAndMoveTheBytesBelow)
{
  qxio_test::open_memory_file(&stream, &data, 1);
  ASSERT_EQ(0, push_coders(&stream, nullptr, open_coder("ISO-8859-15", QXIO_CODER_OPEN_SEEKABLE),
                           QXIO_CODER_LAYER_SEEKABLE));
  const std::string hello_codes = words({'h', 'e', 'l', 'l', 'o'});
  qxio_t_buf hello = qxio_test::wrap(hello_codes);
  size_t pos = 0;
  ASSERT_EQ(0, qxio_write(&stream, &hello, &pos, QXIO_WRITE_ALL));
  int64_t position = -1;
  ASSERT_EQ(0, qxio_seek(&stream, 4, &position, nullptr, QXIO_SEEK_SET | QXIO_SEEK_WRITE));
  EXPECT_EQ(4, position);
  EXPECT_EQ("hello", data);
  const std::string euro_codes = words({0x20AC});
  qxio_t_buf euro = qxio_test::wrap(euro_codes);
  pos = 0;
  ASSERT_EQ(0, qxio_write(&stream, &euro, &pos, QXIO_WRITE_ALL | QXIO_WRITE_END));
  EXPECT_EQ("h\xA4llo", data);
  ASSERT_EQ(0, qxio_seek(&stream, 4, &position, nullptr, QXIO_SEEK_CUR | QXIO_SEEK_WRITE));
  EXPECT_EQ(12, position);
}

}  // namespace
