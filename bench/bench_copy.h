/* The copy program on the portable I/O library: standard input to standard output through
   the library's standard streams, decoded from UTF-8 into character codes and encoded back.
   Shared by bench_copy and the tests that run it. */
#ifndef QX_BENCH_COPY_H
#define QX_BENCH_COPY_H

#include <stdio.h>

#include <string>

#include "qxio.h"

namespace qxio_copy {

/* Lines in several scripts: ASCII, Latin, Greek, Cyrillic, CJK and characters beyond the
   Basic Multilingual Plane, so that every UTF-8 sequence length occurs. */
inline std::string mixed_text(size_t bytes)
{
  static const char *const lines[] = {
      "The quick brown fox jumps over the lazy dog. 0123456789\n",
      "Voix ambigu\xC3\xAB d'un c\xC5\x93ur qui au z\xC3\xA9phyr pr\xC3\xA9"
      "f\xC3\xA8re les jattes de kiwis.\n",
      "\xCE\xA4\xCE\xB1\xCF\x87\xCE\xAF\xCF\x83\xCF\x84\xCE\xB7 "
      "\xCE\xB1\xCE\xBB\xCF\x8E\xCF\x80\xCE\xB7\xCE\xBE "
      "\xCE\xB2\xCE\xB1\xCF\x86\xCE\xAE\xCF\x82 \xCF\x88\xCE\xB7\xCE\xBC\xCE\xAD\xCE\xBD\xCE\xB7 "
      "\xCE\xB3\xCE\xB7\n",
      "\xD0\xA1\xD1\x8A\xD0\xB5\xD1\x88\xD1\x8C \xD0\xB6\xD0\xB5 \xD0\xB5\xD1\x89\xD1\x91 "
      "\xD1\x8D\xD1\x82\xD0\xB8\xD1\x85 "
      "\xD0\xBC\xD1\x8F\xD0\xB3\xD0\xBA\xD0\xB8\xD1\x85 "
      "\xD1\x84\xD1\x80\xD0\xB0\xD0\xBD\xD1\x86\xD1\x83\xD0\xB7\xD1\x81\xD0\xBA\xD0\xB8\xD1\x85\n",
      "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE6\x96\x87\xE7\xAB\xA0\xE3\x81\xA8\xE4\xB8"
      "\xAD\xE6\x96\x87\xE7\x9A\x84"
      "\xE6\x96\x87\xE5\xAD\x97 \xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4\n",
      "\xF0\x9F\x98\x80 \xF0\x9D\x84\x9E \xF0\x90\x8D\x88 mixed \xF0\x9F\x8C\x8D\xF0\x9F\x8C\x8E\n",
  };
  std::string text;
  text.reserve(bytes + 128);
  for (size_t i = 0; text.size() < bytes; i++) text += lines[(i * 7 + i / 5) % 6];
  return text;
}

/* Exit statuses: what a shell shows for a pipeline member whose reader went away, and for
   any other failure. */
const int EXIT_BROKEN_PIPE = 141;
const int EXIT_FAILURE_CODE = 1;

/* Codes read per step; the library reads ahead and writes behind on its own threads. */
const size_t COPY_CHUNK_CODES = 16384;

/* Pushes a UTF-8 coder layer: a decoder on an input stream, an encoder on an output one. */
inline qxio_t_error_code push_utf8(QXIO *stream, bool decode)
{
  qxio_t_coder_funcs *funcs = nullptr;
  qxio_t_error_code rc = qxio_char_coder_find(&funcs, "UTF-8", nullptr, 0);
  if (rc < 0) return rc;
  qxio_t_coder *coder = nullptr;
  rc = qxio_char_coder_open(funcs, &coder, nullptr, decode ? QXIO_CODER_OPEN_DECODE : 0);
  qxio_coder_funcs_release(funcs);
  if (rc < 0) return rc;
  qxio_t_property args[] = {
      qxio_arg_pointer(decode ? QXIO_ARG_READ_CHAR_CODER : QXIO_ARG_WRITE_CHAR_CODER, coder),
      qxio_arg_end()};
  rc = qxio_push(&qxio_layer_coder_funcs, stream, args, 0);
  if (rc < 0) qxio_char_coder_close(coder);
  return rc;
}

/* Copies codes from in to out until the end of in. */
inline qxio_t_error_code copy_codes(QXIO *in, QXIO *out)
{
  qxio_t_buf *buf = qxio_buf_alloc(nullptr, COPY_CHUNK_CODES * 4, 0);
  if (buf == nullptr) return QXIO_E_OUT_OF_MEMORY;
  qxio_t_error_code rc;
  while ((rc = qxio_read(in, &buf, QXIO_READ_CODES)) >= 0) {
    size_t pos = 0;
    rc = qxio_write(out, buf, &pos, QXIO_WRITE_ALL);
    if (rc < 0) break;
    buf->extent = 0;
  }
  qxio_buf_free(buf);
  return rc == QXIO_E_END_OF_FILE ? QXIO_S_NOERR : rc;
}

inline int exit_status(qxio_t_error_code rc, const char *what)
{
  if (rc >= 0) return 0;
  if (rc == QXIO_E_NET_CONNRESET) return EXIT_BROKEN_PIPE;
  fprintf(stderr, "bench_copy: %s: %s\n", what, qxio_error_name(rc));
  return EXIT_FAILURE_CODE;
}

/* The whole program: start the library, copy, close both streams (the output's close waits
   until every byte is written, and reports a failure of any write), shut the library down. */
inline int copy_program(void)
{
  qxio_t_error_code rc = qxio_init(nullptr, nullptr, 0);
  if (rc < 0) return exit_status(rc, "start");
  QXIO in = nullptr, out = nullptr;
  const char *what = "standard streams";
  rc = qxio_get_standard_stream(&in, QXIO_STD_INPUT | QXIO_STD_NULL_IF_NONE);
  if (rc >= 0) rc = qxio_get_standard_stream(&out, QXIO_STD_OUTPUT | QXIO_STD_NULL_IF_NONE);
  if (rc >= 0) rc = push_utf8(&in, true);
  if (rc >= 0) rc = push_utf8(&out, false);
  if (rc >= 0) {
    what = "copy";
    rc = copy_codes(&in, &out);
  }
  if (rc >= 0) {
    what = "close";
    rc = qxio_close(&out, 0);
  }
  qxio_close(&out, QXIO_CLOSE_ABORTIVE);
  qxio_close(&in, QXIO_CLOSE_ABORTIVE);
  qxio_t_error_code stop = qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN);
  if (rc >= 0 && stop < 0) {
    rc = stop;
    what = "shutdown";
  }
  return exit_status(rc, what);
}

}  // namespace qxio_copy

#endif
