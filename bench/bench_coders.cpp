/* Character coders: decode and encode throughput of UTF-8, UTF-16LE and ISO-8859-1 over a
   100 MB buffer of encoded text, beside the C library's iconv(3) on the same data. Figures
   are megabytes (10^6) of the encoded form per second, best of three runs. */
#include <iconv.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qxio.h"

namespace {

const size_t BUFFER_BYTES = 100u * 1000u * 1000u;
const int RUNS = 3;
const char *const NATIVE_UTF32 =
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? "UTF-32LE" : "UTF-32BE";

double now()
{
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

/* One line of mixed text: mostly ASCII, with Latin, Greek, Cyrillic, CJK, Hangul and emoji. */
const std::string mixed_line =
    "The quick brown fox jumps over the lazy dog; na\xC3\xAFve caf\xC3\xA9, Gr\xC3\xBC\xC3\x9F"
    "e. \xCE\x95\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAC \xD0\xA0\xD1\x83\xD1\x81"
    "\xD1\x81\xD0\xBA\xD0\xB8\xD0\xB9 \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xED\x95\x9C\xEA\xB5"
    "\xAD\xEC\x96\xB4 \xF0\x9F\x98\x80\xF0\x9F\x9A\x80 0123456789\n";

/* Whole lines of the mixed text, up to the given size in UTF-8. */
std::string mixed_utf8(size_t bytes)
{
  std::string text;
  text.reserve(bytes);
  while (text.size() + mixed_line.size() <= bytes) text += mixed_line;
  return text;
}

/* Printable ISO-8859-1 bytes, the upper half included. */
std::string latin1_bytes(size_t bytes)
{
  std::string text(bytes, ' ');
  for (size_t i = 0; i < bytes; i++) {
    unsigned v = (unsigned)(i * 7 % 190);
    text[i] = (char)(v < 95 ? 0x20 + v : 0xA0 + (v - 95));
  }
  return text;
}

struct buffer {
  qxio_t_buf *buf;
  explicit buffer(size_t capacity) : buf(qxio_buf_alloc(nullptr, capacity, 0))
  {
    if (buf == nullptr) {
      std::fprintf(stderr, "out of memory\n");
      std::exit(1);
    }
  }
  ~buffer() { qxio_buf_free(buf); }
};

qxio_t_coder *open_coder(const char *name, uint32_t options)
{
  qxio_t_coder_funcs *funcs = nullptr;
  qxio_t_coder *coder = nullptr;
  if (qxio_char_coder_find(&funcs, name, nullptr, 0) < 0 ||
      qxio_char_coder_open(funcs, &coder, nullptr, options) < 0) {
    std::fprintf(stderr, "cannot open the %s coder\n", name);
    std::exit(1);
  }
  qxio_coder_funcs_release(funcs);
  return coder;
}

/* Converts all of in with a fresh coder; seconds taken, output in out. */
double run_coder(const char *name, uint32_t open_options, const std::string &in, qxio_t_buf *out)
{
  qxio_t_coder *coder = open_coder(name, open_options);
  qxio_t_buf src;
  qxio_buf_init_buf(&src);
  src.buf = reinterpret_cast<unsigned char *>(const_cast<char *>(in.data()));
  src.extent = src.writable_size = in.size();
  out->extent = 0;
  size_t pos = 0;
  double start = now();
  qxio_t_error_code rc = QXIO_S_NOERR;
  while (rc >= 0) rc = qxio_char_coder_encode(coder, &src, &pos, out, QXIO_CODER_END_OF_INPUT);
  double seconds = now() - start;
  qxio_char_coder_close(coder);
  if (rc != QXIO_E_END_OF_FILE || pos != in.size()) {
    std::fprintf(stderr, "%s: conversion stopped with %s\n", name, qxio_error_name(rc));
    std::exit(1);
  }
  return seconds;
}

double run_iconv(const char *to, const char *from, const std::string &in, qxio_t_buf *out)
{
  iconv_t cd = iconv_open(to, from);
  if (cd == (iconv_t)-1) {
    std::perror("iconv_open");
    std::exit(1);
  }
  char *src = const_cast<char *>(in.data()), *dst = reinterpret_cast<char *>(out->buf);
  size_t src_left = in.size(), dst_left = out->writable_size;
  double start = now();
  size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
  double seconds = now() - start;
  iconv_close(cd);
  if (rc == (size_t)-1 || src_left != 0) {
    std::perror("iconv");
    std::exit(1);
  }
  out->extent = out->writable_size - dst_left;
  return seconds;
}

bool same(const qxio_t_buf *a, const qxio_t_buf *b)
{
  return a->extent == b->extent && std::memcmp(a->buf, b->buf, a->extent) == 0;
}

/* Decoding and encoding of one character set; `encoded` is its form of the test text. */
void bench_charset(const char *label, const char *name, const char *iconv_name,
                   const std::string &encoded)
{
  buffer codes(encoded.size() * 4 + 16), reference(encoded.size() * 4 + 16);
  double ours = 1e30, theirs = 1e30;
  for (int i = 0; i < RUNS; i++) {
    double t = run_coder(name, QXIO_CODER_OPEN_DECODE, encoded, codes.buf);
    if (t < ours) ours = t;
    t = run_iconv(NATIVE_UTF32, iconv_name, encoded, reference.buf);
    if (t < theirs) theirs = t;
  }
  if (!same(codes.buf, reference.buf))
    std::fprintf(stderr, "%s decode: output differs from iconv\n", label);
  const double mb = (double)encoded.size() / 1e6;
  std::printf("%s decode: %.1f MB/s (iconv %.1f MB/s)\n", label, mb / ours, mb / theirs);

  const std::string words(reinterpret_cast<const char *>(codes.buf->buf), codes.buf->extent);
  buffer bytes(encoded.size() + 16), reference_bytes(encoded.size() + 16);
  ours = theirs = 1e30;
  for (int i = 0; i < RUNS; i++) {
    double t = run_coder(name, 0, words, bytes.buf);
    if (t < ours) ours = t;
    t = run_iconv(iconv_name, NATIVE_UTF32, words, reference_bytes.buf);
    if (t < theirs) theirs = t;
  }
  if (!same(bytes.buf, reference_bytes.buf))
    std::fprintf(stderr, "%s encode: output differs from iconv\n", label);
  std::printf("%s encode: %.1f MB/s (iconv %.1f MB/s)\n", label, mb / ours, mb / theirs);
}

/* The text in UTF-16LE, through iconv (any correct converter would do). */
std::string to_utf16le(const std::string &utf8)
{
  buffer out(utf8.size() * 2 + 16);
  run_iconv("UTF-16LE", "UTF-8", utf8, out.buf);
  return std::string(reinterpret_cast<const char *>(out.buf->buf), out.buf->extent);
}

}  // namespace

int main()
{
  if (qxio_init_char_coder(0) < 0) {
    std::fprintf(stderr, "coder registry start failed\n");
    return 1;
  }
  const std::string utf8 = mixed_utf8(BUFFER_BYTES);
  std::printf("buffer: %.1f MB of mixed text, best of %d runs\n", (double)utf8.size() / 1e6, RUNS);
  bench_charset("utf8", "UTF-8", "UTF-8", utf8);
  /* As many lines as make about the same size in UTF-16. */
  const size_t line16 = to_utf16le(mixed_line).size();
  std::string utf16 = to_utf16le(mixed_utf8(BUFFER_BYTES / line16 * mixed_line.size()));
  bench_charset("utf16le", "UTF-16LE", "UTF-16LE", utf16);
  utf16.clear();
  utf16.shrink_to_fit();
  bench_charset("latin1", "ISO-8859-1", "ISO-8859-1", latin1_bytes(BUFFER_BYTES));
  qxio_init_char_coder(1);
  return 0;
}
