// Helpers shared by the character-coder tests: a fixture that registers the coder classes,
// an owning wrapper around a coder instance, and conversions between byte strings and
// vectors of code points.
#ifndef QXIO_CODER_TEST_UTIL_H
#define QXIO_CODER_TEST_UTIL_H

#include <gtest/gtest.h>
#include <iconv.h>
#include <string.h>

#include <string>
#include <vector>

#include "qxio.h"

namespace qxio_test {

typedef std::vector<uint32_t> codes_t;

const uint32_t END = QXIO_CODER_END_OF_INPUT;
const uint32_t REPLACE_ALL = QXIO_CODER_REPLACE | QXIO_CODER_REPLACE_INVALID;

// Codes as the native 32-bit words a decoder produces and an encoder consumes.
inline std::string words(const codes_t &codes)
{
  std::string s(codes.size() * 4, '\0');
  if (!codes.empty()) memcpy(&s[0], codes.data(), s.size());
  return s;
}

inline codes_t codes_of(const std::string &s)
{
  codes_t codes(s.size() / 4);
  if (!codes.empty()) memcpy(codes.data(), s.data(), codes.size() * 4);
  return codes;
}

// A buffer over the bytes of s, not owning them (no room to append).
inline qxio_t_buf wrap(const std::string &s)
{
  qxio_t_buf buf;
  qxio_buf_init_buf(&buf);
  buf.buf = reinterpret_cast<unsigned char *>(const_cast<char *>(s.data()));
  buf.extent = s.size();
  buf.writable_size = s.size();
  return buf;
}

// Registers the built-in coder classes around each test.
class CoderFixture : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_EQ(0, qxio_init_char_coder(0)); }
  void TearDown() override { EXPECT_EQ(0, qxio_init_char_coder(1)); }
};

// An open coder instance of a registered class, closed at the end of the scope.
class TestCoder {
public:
  TestCoder(const char *name, uint32_t open_options)
  {
    qxio_t_coder_funcs *funcs = nullptr;
    open_rc_ = qxio_char_coder_find(&funcs, name, nullptr, 0);
    if (open_rc_ < 0) return;
    open_rc_ = qxio_char_coder_open(funcs, &coder_, nullptr, open_options);
    qxio_coder_funcs_release(funcs);
  }
  ~TestCoder() { qxio_char_coder_close(coder_); }
  TestCoder(const TestCoder &) = delete;
  TestCoder &operator=(const TestCoder &) = delete;

  qxio_t_error_code open_rc() const { return open_rc_; }
  qxio_t_coder *get() const { return coder_; }

  // One conversion call over input from *pos; what it produced is appended to *out.
  qxio_t_error_code step(const std::string &input, size_t *pos, std::string *out, uint32_t options)
  {
    qxio_t_buf in = wrap(input);
    qxio_t_buf *result = qxio_buf_alloc(nullptr, 4, 0);
    qxio_t_error_code rc = qxio_char_coder_encode(coder_, &in, pos, result, options);
    out->append(reinterpret_cast<const char *>(result->buf), result->extent);
    qxio_buf_free(result);
    return rc;
  }

  // Calls until one fails (a call that fails makes no progress); returns that failure and
  // leaves in *pos where the input stopped.
  qxio_t_error_code run(const std::string &input, std::string *out, uint32_t options,
                        size_t *pos = nullptr)
  {
    size_t at = 0;
    qxio_t_error_code rc;
    while ((rc = step(input, &at, out, options)) >= 0) {}
    if (pos != nullptr) *pos = at;
    return rc;
  }

  // Decodes all of bytes (as the end of input, replacing what the options allow).
  qxio_t_error_code decode_all(const std::string &bytes, codes_t *codes, uint32_t options,
                               size_t *pos = nullptr)
  {
    std::string out;
    qxio_t_error_code rc = run(bytes, &out, options | QXIO_CODER_END_OF_INPUT, pos);
    *codes = codes_of(out);
    return rc;
  }

  qxio_t_error_code encode_all(const codes_t &codes, std::string *bytes, uint32_t options,
                               size_t *pos = nullptr)
  {
    return run(words(codes), bytes, options | QXIO_CODER_END_OF_INPUT, pos);
  }

private:
  qxio_t_coder *coder_ = nullptr;
  qxio_t_error_code open_rc_ = QXIO_E_ERROR;
};

const uint32_t FFFD = 0xFFFD;
/* The name under which iconv reads and writes codes as this machine stores them. */
const char *const native_utf32 =
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? "UTF-32LE" : "UTF-32BE";

/* Conversion by the C library, the independent oracle; false when it rejects the input. */
inline bool iconv_convert(const char *to, const char *from, const std::string &in, std::string *out)
{
  iconv_t cd = iconv_open(to, from);
  if (cd == (iconv_t)-1) return false;
  out->assign(in.size() * 2 + 16, '\0');
  char *src = const_cast<char *>(in.data()), *dst = &(*out)[0];
  size_t src_left = in.size(), dst_left = out->size();
  size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
  iconv_close(cd);
  out->resize(out->size() - dst_left);
  return rc != (size_t)-1 && src_left == 0;
}

}  // namespace qxio_test

#endif
