/* What the character-coder families share: the instance record, the byte tables, the
   detectors, and the two conversion drivers that apply the rules common to every class
   (byte-order marks, line ends, progress before failure, output growth). */
#ifndef QXIO_CODER_INTERNAL_H
#define QXIO_CODER_INTERNAL_H

#include <string.h>

#include "qxio_internal.h"

/* Instance of every built-in class: the head and the last character seen. */
typedef struct qxio_t_coder_byte {
  qxio_t_coder coder;
  qxio_t_wchar last_char; /* -2 at start (a mark may come), -1 none, 13 after CR made LF */
} qxio_t_coder_byte;

#define QXIO_CODER_STATE_START (-2)
#define QXIO_CODER_STATE_NONE (-1)

#define QXIO_CHAR_LF 0x0A
#define QXIO_CHAR_CR 0x0D
#define QXIO_CHAR_BOM 0xFEFF
#define QXIO_CHAR_REPLACEMENT 0xFFFD

/* Mapping tables of the five byte character sets (generated). */
extern const qxio_t_byte_to_utf32_table qxio_ascii_table;
extern const qxio_t_byte_to_utf32_table qxio_latin1_table;
extern const qxio_t_byte_to_utf32_table qxio_latin2_table;
extern const qxio_t_byte_to_utf32_table qxio_latin9_table;
extern const qxio_t_byte_to_utf32_table qxio_windows1252_table;

/* The UTS #22 loose form of a character-set name: ASCII letters folded to lower case and
   digits, a "0" kept only after another digit. A qxio_alloc copy; null when memory is short. */
char *tr22_transform_name(const char *name);

/* Detectors of an encoding from the bytes read so far. Options 0x1: the data is complete;
   0x2: require a seekable class. Result 0 with a class (a reference the caller releases),
   1 when nothing is found, QXIO_E_NOT_ENOUGH_DATA when more bytes could change the answer. */
qxio_t_error_code bom_encoding_detector(const qxio_t_buf *bytes, qxio_t_coder_funcs **funcs_out,
                                        uint32_t options);
qxio_t_error_code emacs_encoding_detector(const qxio_t_buf *bytes, qxio_t_coder_funcs **funcs_out,
                                          uint32_t options);

/* Registers (deinit 0) or unregisters (deinit 1) a family of static classes, in order
   (reverse order when unregistering); the first failure ends the walk. */
qxio_t_error_code qxio_coder_register_family(qxio_t_coder_funcs *const *classes, size_t count,
                                             uint32_t deinit);

/* Allocates an instance of a built-in class with the given flags and start state, holding a
   reference on the class. */
qxio_t_error_code qxio_coder_new_instance(qxio_t_coder_funcs *funcs, uint32_t flags,
                                          qxio_t_wchar start, qxio_t_coder **coder_out);
/* Releases the class reference and frees the record (the free slot of the built-in classes). */
qxio_t_error_code qxio_coder_free_instance(qxio_t_coder *coder);
/* The empty commit and rollback of the built-in classes. */
qxio_t_error_code qxio_coder_no_commit(qxio_t_coder *coder);

/* Makes room in out for at least `need` more bytes after the write cursor *o (toward `want`,
   growing geometrically); *o and the storage end *oend stay valid across the move. */
qxio_t_error_code qxio_coder_out_grow(qxio_t_buf *out, unsigned char **o, unsigned char **oend,
                                      size_t need, size_t want);

inline bool qxio_coder_replaces(uint32_t options)
{
  return (options & QXIO_CODER_REPLACE) && !(options & QXIO_CODER_STRICT);
}
inline bool qxio_coder_replaces_invalid(uint32_t options)
{
  return (options & QXIO_CODER_REPLACE_INVALID) && qxio_coder_replaces(options);
}

/* The bulk converter of a class without one: converts nothing. */
struct qxio_coder_no_bulk {
  void operator()(const unsigned char **, const unsigned char *, unsigned char **, unsigned char *,
                  bool) const
  {}
};

/* What the line-end rules make of a decoded code. */
enum qxio_t_line_end_action { QXIO_LINE_END_EMIT, QXIO_LINE_END_DROP, QXIO_LINE_END_WAIT };

/* Applies the line-end flags to a CR or LF just decoded at p (`*used` bytes): may turn it
   into LF, take the LF after it too, drop it, or ask to wait for what follows. `*state` is
   the state to keep once the code is written. */
template <typename Step>
qxio_t_line_end_action qxio_coder_line_end(Step step, const unsigned char *p,
                                           const unsigned char *end, uint32_t flags,
                                           uint32_t options, qxio_t_wchar last, qxio_t_wchar *code,
                                           size_t *used, qxio_t_wchar *state)
{
  if (*code == QXIO_CHAR_CR && (flags & QXIO_CODER_CRLF)) {
    /* CR LF is one LF; a CR that ends the available input waits for what follows. */
    qxio_t_wchar next = -1;
    size_t next_used = 0;
    qxio_t_error_code next_rc =
        p + *used < end ? step(p + *used, (size_t)(end - p - *used), options, &next, &next_used)
                        : QXIO_E_NOT_ENOUGH_DATA;
    if (next_rc == QXIO_E_NOT_ENOUGH_DATA && !(options & QXIO_CODER_END_OF_INPUT))
      return QXIO_LINE_END_WAIT;
    if (next_rc >= 0 && next == QXIO_CHAR_LF) {
      *code = *state = QXIO_CHAR_LF;
      *used += next_used;
    }
  } else if (*code == QXIO_CHAR_CR && (flags & QXIO_CODER_ANY_EOL)) {
    *code = QXIO_CHAR_LF;
    *state = QXIO_CHAR_CR; /* so that an LF right after it is dropped */
  } else if (*code == QXIO_CHAR_LF && last == QXIO_CHAR_CR && (flags & QXIO_CODER_ANY_EOL) &&
             !(flags & QXIO_CODER_CRLF)) {
    *state = QXIO_CODER_STATE_NONE;
    return QXIO_LINE_END_DROP;
  }
  return QXIO_LINE_END_EMIT;
}

/* Decoding driver. `step(p, avail, options, &code, &used)` reads one code from the avail
   bytes at p and answers 0, QXIO_E_NOT_ENOUGH_DATA (more input could complete it) or a
   failure; replacements are the step's business. The driver drops a leading mark, applies
   the line-end flags, writes codes as native words and returns 0 once it made progress
   (the stop reason then comes with the next call). `unit` is the smallest input item.
   `bulk(&p, end, &o, oend, line_ends)` may first convert a run of plain codes at once: it
   stops before anything the step must see (and, when `line_ends` is set, before CR and LF),
   and never writes past oend. */
template <typename Step, typename Bulk = qxio_coder_no_bulk>
qxio_t_error_code qxio_coder_decode_run(qxio_t_coder_byte *st, const qxio_t_buf *in, size_t *pos,
                                        qxio_t_buf *out, uint32_t options, size_t unit, Step step,
                                        Bulk bulk = Bulk())
{
  if (*pos > in->extent) return QXIO_E_PARAMETER_ERROR;
  const unsigned char *p = in->buf + *pos, *const end = in->buf + in->extent;
  unsigned char *o = out->buf + out->extent, *oend = out->buf + out->writable_size;
  const uint32_t flags = st->coder.flags;
  qxio_t_wchar last = st->last_char;
  qxio_t_error_code rc = QXIO_E_NOT_ENOUGH_DATA;
  bool progress = false;
  const bool line_ends = flags & (QXIO_CODER_CRLF | QXIO_CODER_ANY_EOL);
  while (p < end) {
    if (last != QXIO_CODER_STATE_START) {
      unsigned char *const run_start = o;
      bulk(&p, end, &o, oend, line_ends);
      if (o != run_start) {
        uint32_t word;
        memcpy(&word, o - 4, 4);
        last = (qxio_t_wchar)word;
        progress = true;
      }
      if (p == end) break;
    }
    if (oend - o < 4) {
      const size_t items = (size_t)(end - p) / unit;
      rc = qxio_coder_out_grow(out, &o, &oend, 4, items < SIZE_MAX / 4 ? items * 4 + 4 : SIZE_MAX);
      if (rc < 0) break;
    }
    qxio_t_wchar code;
    size_t used;
    rc = step(p, (size_t)(end - p), options, &code, &used);
    if (rc < 0) break;
    qxio_t_wchar state = code;
    if (__builtin_expect(last == QXIO_CODER_STATE_START, 0)) {
      last = QXIO_CODER_STATE_NONE;
      if (code == QXIO_CHAR_BOM && (flags & QXIO_CODER_DROP_BOM)) {
        p += used;
        progress = true;
        continue;
      }
    }
    if (__builtin_expect(code <= QXIO_CHAR_CR && line_ends, 0)) {
      qxio_t_line_end_action action =
          qxio_coder_line_end(step, p, end, flags, options, last, &code, &used, &state);
      if (action == QXIO_LINE_END_WAIT) {
        rc = QXIO_E_NOT_ENOUGH_DATA;
        break;
      }
      if (action == QXIO_LINE_END_DROP) {
        p += used;
        last = state;
        progress = true;
        continue;
      }
    }
    uint32_t word = (uint32_t)code;
    memcpy(o, &word, 4);
    o += 4;
    p += used;
    last = state;
    progress = true;
  }
  out->extent = (size_t)(o - out->buf);
  *pos = (size_t)(p - in->buf);
  st->last_char = last;
  return progress ? QXIO_S_NOERR : rc;
}

/* Encoding driver. `put(code, o, options)` writes one code (at most `max_bytes` bytes) and
   answers the number of bytes written or a failure; replacements are its business. A mark is
   written before the first output when the instance asks for one; LF becomes CR LF under
   QXIO_CODER_CRLF, and under QXIO_CODER_ANY_EOL fails with QXIO_E_NOT_IMPLEMENTED when
   `refuse_any_eol` is set. `bulk` converts runs of plain codes at once, as for decoding
   (with `line_ends`, it stops before LF). */
template <typename Put, typename Bulk = qxio_coder_no_bulk>
qxio_t_error_code qxio_coder_encode_run(qxio_t_coder_byte *st, const qxio_t_buf *in, size_t *pos,
                                        qxio_t_buf *out, uint32_t options, size_t max_bytes,
                                        bool refuse_any_eol, Put put, Bulk bulk = Bulk())
{
  if (*pos > in->extent) return QXIO_E_PARAMETER_ERROR;
  const unsigned char *p = in->buf + *pos, *const end = in->buf + in->extent;
  unsigned char *o = out->buf + out->extent, *oend = out->buf + out->writable_size;
  const uint32_t flags = st->coder.flags;
  const size_t worst = 3 * max_bytes; /* a mark, then CR and LF */
  qxio_t_wchar last = st->last_char;
  qxio_t_error_code rc = QXIO_E_NOT_ENOUGH_DATA;
  bool progress = false;
  const bool line_ends = flags & (QXIO_CODER_CRLF | QXIO_CODER_ANY_EOL);
  while (end - p >= 4) {
    if (last != QXIO_CODER_STATE_START) {
      const unsigned char *const run_start = p;
      bulk(&p, end, &o, oend, line_ends);
      if (p != run_start) progress = true;
      if (end - p < 4) break;
    }
    if ((size_t)(oend - o) < worst) {
      rc = qxio_coder_out_grow(out, &o, &oend, worst, (size_t)(end - p) / 4 * max_bytes + worst);
      if (rc < 0) break;
    }
    uint32_t word;
    memcpy(&word, p, 4);
    qxio_t_wchar code = (qxio_t_wchar)word;
    if (__builtin_expect(last == QXIO_CODER_STATE_START, 0)) {
      if (flags & QXIO_CODER_WRITE_BOM) {
        o += put(QXIO_CHAR_BOM, o, options);
        progress = true;
      }
      last = QXIO_CODER_STATE_NONE;
    }
    if (code == QXIO_CHAR_LF && line_ends) {
      if (flags & QXIO_CODER_CRLF) {
        o += put(QXIO_CHAR_CR, o, options);
      } else if (refuse_any_eol) {
        rc = QXIO_E_NOT_IMPLEMENTED;
        break;
      }
    }
    int n = put(code, o, options);
    if (n < 0) {
      rc = n;
      break;
    }
    o += n;
    p += 4;
    progress = true;
  }
  if (rc == QXIO_S_NOERR) rc = QXIO_E_NOT_ENOUGH_DATA;
  out->extent = (size_t)(o - out->buf);
  *pos = (size_t)(p - in->buf);
  st->last_char = last;
  return progress ? QXIO_S_NOERR : rc;
}

#endif
