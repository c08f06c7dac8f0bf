/* Prolog streams on a file: 200 MB written and read back through a binary stream and through a
   UTF-8 text stream, item by item through the inline path of the public pointers and, for
   writing, in blocks (QX_put_bytes, QX_put_codes); beside C stdio doing the same in the same run
   (putc_unlocked and getc_unlocked, with a plain UTF-8 encoder and decoder for text). Figures
   are megabytes (10^6) of the file per second, best of three runs. */
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_common.h"
#include "qxio.h"
#include "streams.h"

namespace {

const size_t FILE_BYTES = 200u * 1000u * 1000u;
const size_t BLOCK_ITEMS = 64u * 1024u;
const int RUNS = 3;
TAGGED qx_encoding_term; /* encoding(UTF-8, no byte order mark, lf) */

double now()
{
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

/* One line of text: mostly ASCII, some Latin, Greek and CJK. */
const uint32_t LINE[] = {'T',    'h',    'e',  ' ', 'q',   'u',   'i',   'c', 'k',  ' ', 'c',
                         'a',    'f',    0xE9, ' ', 0x3B5, 'x',   ' ',   'f', 'o',  'x', ' ',
                         0x65E5, 0x672C, ' ',  'j', 'u',   'm',   'p',   's', ' ',  'o', 'v',
                         'e',    'r',    ' ',  't', 'h',   'e',   ' ',   'l', 'a',  'z', 'y',
                         ' ',    'd',    'o',  'g', '.',   ' ',   '0',   '1', '2',  '3', '4',
                         '5',    '6',    '7',  '8', '9',   0x3BB, 0x3B7, ' ', 0xFC, '\n'};
const size_t LINE_CODES = sizeof LINE / sizeof LINE[0];

size_t utf8_length(uint32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

/* Codes of whole lines whose UTF-8 form is at most FILE_BYTES. */
std::vector<uint32_t> text_codes()
{
  size_t line_bytes = 0;
  for (uint32_t c : LINE) line_bytes += utf8_length(c);
  std::vector<uint32_t> codes;
  codes.reserve(FILE_BYTES / line_bytes * LINE_CODES);
  for (size_t done = 0; done + line_bytes <= FILE_BYTES; done += line_bytes)
    codes.insert(codes.end(), LINE, LINE + LINE_CODES);
  return codes;
}

uint8_t byte_at(size_t i) { return (uint8_t)(i * 7 + (i >> 12)); }

struct figures {
  double write_items = 0, write_block = 0, read_items = 0;
};

void keep_best(double *best, double seconds)
{
  double rate = (double)FILE_BYTES / seconds / 1e6;
  if (rate > *best) *best = rate;
}

QX_stream *open_stream(const char *path, uint32_t options)
{
  QX_stream *s = nullptr;
  uint32_t text = options & QX_FO_TEXT ? QX_FO_ENCODING_TERM : 0;
  int rc = qx_fopen_internal(path, options | text, text ? qx_encoding_term : 0, &s);
  if (rc < 0) {
    std::fprintf(stderr, "open %s: %d\n", path, rc);
    std::exit(1);
  }
  return s;
}

/* ---- the Prolog stream ---- */

void qx_binary(const char *path, figures *f)
{
  double t = now();
  QX_stream *s = open_stream(path, QX_FO_WRITE | QX_FO_BINARY);
  for (size_t i = 0; i < FILE_BYTES; i++) {
    uint8_t b = byte_at(i);
    if (s->pub.output_binary.ptr < s->pub.output_binary.limit)
      *s->pub.output_binary.ptr++ = b;
    else if (qx_put_byte_helper(s, b, 0) < 0)
      std::exit(2);
  }
  if (qx_fclose_internal(s, 0) < 0) std::exit(2);
  keep_best(&f->write_items, now() - t);

  std::vector<unsigned char> block(BLOCK_ITEMS);
  t = now();
  s = open_stream(path, QX_FO_WRITE | QX_FO_BINARY);
  for (size_t i = 0; i < FILE_BYTES; i += BLOCK_ITEMS) {
    size_t n = FILE_BYTES - i < BLOCK_ITEMS ? FILE_BYTES - i : BLOCK_ITEMS;
    for (size_t k = 0; k < n; k++) block[k] = byte_at(i + k);
    if (QX_put_bytes(s, block.data(), n, 0) < 0) std::exit(2);
  }
  if (qx_fclose_internal(s, 0) < 0) std::exit(2);
  keep_best(&f->write_block, now() - t);

  t = now();
  s = open_stream(path, QX_FO_READ | QX_FO_BINARY);
  size_t i = 0;
  for (;; i++) {
    int b = s->pub.input_binary.ptr < s->pub.input_binary.limit ? *s->pub.input_binary.ptr++
                                                                : qx_get_byte_helper(s, 0);
    if (b < 0) break;
    if (b != byte_at(i)) std::exit(3);
  }
  if (i != FILE_BYTES) std::exit(3);
  qx_fclose_internal(s, 0);
  keep_best(&f->read_items, now() - t);
}

void qx_text(const char *path, const std::vector<uint32_t> &codes, figures *f)
{
  double t = now();
  QX_stream *s = open_stream(path, QX_FO_WRITE | QX_FO_TEXT);
  for (uint32_t c : codes) {
    if (s->pub.output_text.ptr < s->pub.output_text.limit)
      *s->pub.output_text.ptr++ = c;
    else if (qx_put_code_helper(s, (int32_t)c, 0) < 0)
      std::exit(2);
  }
  if (qx_fclose_internal(s, 0) < 0) std::exit(2);
  keep_best(&f->write_items, now() - t);

  t = now();
  s = open_stream(path, QX_FO_WRITE | QX_FO_TEXT);
  for (size_t i = 0; i < codes.size(); i += BLOCK_ITEMS) {
    size_t n = codes.size() - i < BLOCK_ITEMS ? codes.size() - i : BLOCK_ITEMS;
    if (QX_put_codes(s, codes.data() + i, n, 0) < 0) std::exit(2);
  }
  if (qx_fclose_internal(s, 0) < 0) std::exit(2);
  keep_best(&f->write_block, now() - t);

  t = now();
  s = open_stream(path, QX_FO_READ | QX_FO_TEXT);
  size_t i = 0;
  for (;; i++) {
    int c = s->pub.input_text.ptr < s->pub.input_text.limit ? (int)*s->pub.input_text.ptr++
                                                            : qx_get_code_helper(s, 0);
    if (c < 0) break;
    if ((uint32_t)c != codes[i]) std::exit(3);
  }
  if (i != codes.size()) std::exit(3);
  qx_fclose_internal(s, 0);
  keep_best(&f->read_items, now() - t);
}

/* ---- C stdio ---- */

void stdio_binary(const char *path, figures *f)
{
  double t = now();
  FILE *out = std::fopen(path, "wb");
  for (size_t i = 0; i < FILE_BYTES; i++) putc_unlocked(byte_at(i), out);
  std::fclose(out);
  keep_best(&f->write_items, now() - t);

  std::vector<unsigned char> block(BLOCK_ITEMS);
  t = now();
  out = std::fopen(path, "wb");
  for (size_t i = 0; i < FILE_BYTES; i += BLOCK_ITEMS) {
    size_t n = FILE_BYTES - i < BLOCK_ITEMS ? FILE_BYTES - i : BLOCK_ITEMS;
    for (size_t k = 0; k < n; k++) block[k] = byte_at(i + k);
    std::fwrite(block.data(), 1, n, out);
  }
  std::fclose(out);
  keep_best(&f->write_block, now() - t);

  t = now();
  FILE *in = std::fopen(path, "rb");
  size_t i = 0;
  for (int b; (b = getc_unlocked(in)) != EOF; i++)
    if (b != byte_at(i)) std::exit(3);
  std::fclose(in);
  if (i != FILE_BYTES) std::exit(3);
  keep_best(&f->read_items, now() - t);
}

/* The UTF-8 form of c at out; answers its length. */
inline size_t encode_utf8(uint32_t c, char *out)
{
  if (c < 0x80) return out[0] = (char)c, 1;
  size_t n = c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  static const unsigned char lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
  for (size_t k = n - 1; k > 0; k--, c >>= 6) out[k] = (char)(0x80 | (c & 0x3F));
  out[0] = (char)(lead[n] | c);
  return n;
}

inline void put_utf8(uint32_t c, FILE *out)
{
  char bytes[4];
  size_t n = encode_utf8(c, bytes);
  for (size_t k = 0; k < n; k++) putc_unlocked(bytes[k], out);
}

/* The next code of well-formed UTF-8, or -1 at the end. */
inline int get_utf8(FILE *in)
{
  int b = getc_unlocked(in);
  if (b < 0x80) return b;
  int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : 1;
  uint32_t c = (uint32_t)b & (0x3Fu >> extra);
  while (extra-- > 0) c = (c << 6) | ((uint32_t)getc_unlocked(in) & 0x3F);
  return (int)c;
}

void stdio_text(const char *path, const std::vector<uint32_t> &codes, figures *f)
{
  double t = now();
  FILE *out = std::fopen(path, "wb");
  for (uint32_t c : codes) put_utf8(c, out);
  std::fclose(out);
  keep_best(&f->write_items, now() - t);

  /* Blocks: encoded into a buffer, written with fwrite. */
  std::vector<char> block(BLOCK_ITEMS * 4);
  t = now();
  out = std::fopen(path, "wb");
  for (size_t i = 0; i < codes.size(); i += BLOCK_ITEMS) {
    size_t n = codes.size() - i < BLOCK_ITEMS ? codes.size() - i : BLOCK_ITEMS, len = 0;
    for (size_t k = 0; k < n; k++) len += encode_utf8(codes[i + k], block.data() + len);
    std::fwrite(block.data(), 1, len, out);
  }
  std::fclose(out);
  keep_best(&f->write_block, now() - t);

  t = now();
  FILE *in = std::fopen(path, "rb");
  size_t i = 0;
  for (int c; (c = get_utf8(in)) >= 0; i++)
    if ((uint32_t)c != codes[i]) std::exit(3);
  std::fclose(in);
  if (i != codes.size()) std::exit(3);
  keep_best(&f->read_items, now() - t);
}

void print(const char *what, const figures &qx, const figures &c)
{
  std::printf("%-7s write items %8.1f MB/s (stdio %8.1f, ratio %.2f)\n", what, qx.write_items,
              c.write_items, qx.write_items / c.write_items);
  std::printf("%-7s write blocks%8.1f MB/s (stdio %8.1f, ratio %.2f)\n", what, qx.write_block,
              c.write_block, qx.write_block / c.write_block);
  std::printf("%-7s read items  %8.1f MB/s (stdio %8.1f, ratio %.2f)\n", what, qx.read_items,
              c.read_items, qx.read_items / c.read_items);
}

}  // namespace

int main(int argc, char **argv)
{
  std::string dir = argc > 1 ? argv[1] : "/tmp";
  std::string path = dir + "/bench_stream_" + std::to_string(getpid());
  BenchEngine engine;
  TermReader reader(engine.w, "encoding('UTF-8', false, lf)");
  qx_encoding_term = reader.read();
  std::vector<uint32_t> codes = text_codes();
  figures qb, cb, qt, ct;
  for (int run = 0; run < RUNS; run++) {
    qx_binary(path.c_str(), &qb);
    stdio_binary(path.c_str(), &cb);
    qx_text(path.c_str(), codes, &qt);
    stdio_text(path.c_str(), codes, &ct);
  }
  unlink(path.c_str());
  std::printf("%zu MB through a file, best of %d runs\n", FILE_BYTES / 1000000, RUNS);
  print("binary", qb, cb);
  print("text", qt, ct);
  return 0;
}
