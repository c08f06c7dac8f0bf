/* The Unicode coder classes: UTF-8, UTF-16 and UTF-32 (both byte orders). What they accept,
   what they replace, and how they step over malformed input; byte-order marks, line ends and
   the progress rule come from the shared drivers. */
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "qxio_coder_internal.h"

namespace {

/* Sequence length announced by a lead byte: 0 for a byte that cannot start a sequence. */
size_t utf8_sequence_length(unsigned lead)
{
  if (lead < 0x80) return 1;
  if (lead < 0xC0) return 0;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead < 0xF8) return 4;
  if (lead < 0xFC) return 5;
  return lead < 0xFE ? 6 : 0;
}

const uint32_t max_code = 0x10FFFF;

bool is_surrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

/* One replacement for `length` bytes of invalid input, or the failure when not allowed. */
qxio_t_error_code invalid_input(size_t length, uint32_t options, qxio_t_wchar *code, size_t *used)
{
  if (!qxio_coder_replaces_invalid(options)) return QXIO_E_ENCODING_INVALID;
  *code = QXIO_CHAR_REPLACEMENT;
  *used = length;
  return QXIO_S_NOERR;
}

/* A code that cannot be written: the replacement character when allowed, else -1. */
int64_t encodable(qxio_t_wchar code, uint32_t options)
{
  uint32_t c = (uint32_t)code;
  if (c <= max_code && !is_surrogate(c)) return c;
  return qxio_coder_replaces(options) ? QXIO_CHAR_REPLACEMENT : -1;
}

/* ---- UTF-8 ---- */

/* The bytes that may follow a lead byte as its second byte without making the sequence
   invalid (overlong forms and surrogates are; forms beyond U+10FFFF are not, they stand for
   one U+FFFD as a whole). Leads C0 and C1 only ever make overlong forms. */
void utf8_second_byte_range(unsigned lead, unsigned *lo, unsigned *hi)
{
  *lo = 0x80;
  *hi = 0xBF;
  switch (lead) {
  case 0xC0:
  case 0xC1: *lo = 0xC0; break; /* empty */
  case 0xE0: *lo = 0xA0; break;
  case 0xED: *hi = 0x9F; break;
  case 0xF0: *lo = 0x90; break;
  case 0xF8: *lo = 0x88; break;
  case 0xFC: *lo = 0x84; break;
  default: break;
  }
}

/* How many leading bytes of the n at p (n at most the announced length) could still begin a
   sequence that decodes or stands as a whole for one U+FFFD: the maximal ill-formed subpart
   when the sequence fails (0 for a lead that can begin nothing). */
size_t utf8_viable_prefix(const unsigned char *p, size_t n)
{
  unsigned lo, hi;
  utf8_second_byte_range(p[0], &lo, &hi);
  if (lo > hi) return 0;
  if (n < 2 || p[1] < lo || p[1] > hi) return 1;
  size_t k = 2;
  while (k < n && is_continuation(p[k])) k++;
  return k;
}

/* The decoding outside the fast path: malformed input, forms beyond U+10FFFF, sequences cut
   off by the end of the available bytes. */
qxio_t_error_code utf8_step_slow(const unsigned char *p, size_t avail, uint32_t options,
                                 qxio_t_wchar *code, size_t *used)
{
  const size_t length = utf8_sequence_length(p[0]);
  if (length == 0) return invalid_input(1, options, code, used);
  const size_t n = avail < length ? avail : length;
  const size_t viable = utf8_viable_prefix(p, n);
  if (viable == length) {
    qxio_t_error_code rc = qxio_is_legal_utf8_prefix(p, length, 0);
    if (rc == QXIO_E_ENCODING_INVALID) return invalid_input(1, options, code, used);
    if (rc == QXIO_E_ENCODING_UNMAPPABLE) {
      /* Well formed but beyond U+10FFFF: one replacement for the whole sequence. */
      *code = QXIO_CHAR_REPLACEMENT;
      *used = length;
      return QXIO_S_NOERR;
    }
    uint32_t c = p[0] & (0x7Fu >> length);
    for (size_t i = 1; i < length; i++) c = (c << 6) | (p[i] & 0x3Fu);
    *code = (qxio_t_wchar)c;
    *used = length;
    return QXIO_S_NOERR;
  }
  if (viable == n && !(options & QXIO_CODER_END_OF_INPUT)) return QXIO_E_NOT_ENOUGH_DATA;
  return invalid_input(viable > 0 ? viable : 1, options, code, used);
}

/* The well-formed sequence of two to four bytes at p (its lead at least 0x80): its length,
   with its code in *code, or 0 when it is anything else and the slow path must decide. */
inline size_t utf8_decode_multi(const unsigned char *p, size_t avail, uint32_t *code)
{
  const unsigned b0 = p[0];
  if (b0 < 0xE0) {
    if (b0 < 0xC2 || avail < 2 || !is_continuation(p[1])) return 0;
    *code = ((b0 & 0x1Fu) << 6) | (p[1] & 0x3Fu);
    return 2;
  }
  if (b0 < 0xF0) {
    const unsigned lo = b0 == 0xE0 ? 0xA0 : 0x80, hi = b0 == 0xED ? 0x9F : 0xBF;
    if (avail < 3 || p[1] < lo || p[1] > hi || !is_continuation(p[2])) return 0;
    *code = ((b0 & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
    return 3;
  }
  if (b0 > 0xF4) return 0;
  const unsigned lo = b0 == 0xF0 ? 0x90 : 0x80, hi = b0 == 0xF4 ? 0x8F : 0xBF;
  if (avail < 4 || p[1] < lo || p[1] > hi || !is_continuation(p[2]) || !is_continuation(p[3]))
    return 0;
  *code = ((b0 & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
  return 4;
}

/* One code; the common well-formed forms are decoded inline. */
inline qxio_t_error_code utf8_step(const unsigned char *p, size_t avail, uint32_t options,
                                   qxio_t_wchar *code, size_t *used)
{
  const unsigned b0 = p[0];
  if (b0 < 0x80) {
    *code = (qxio_t_wchar)b0;
    *used = 1;
    return QXIO_S_NOERR;
  }
  uint32_t c;
  const size_t length = utf8_decode_multi(p, avail, &c);
  if (length == 0) return utf8_step_slow(p, avail, options, code, used);
  *code = (qxio_t_wchar)c;
  *used = length;
  return QXIO_S_NOERR;
}

/* Writes a code known to be encodable; answers its length. */
inline int utf8_write(uint32_t c, unsigned char *o)
{
  if (c < 0x80) {
    o[0] = (unsigned char)c;
    return 1;
  }
  if (c < 0x800) {
    o[0] = (unsigned char)(0xC0 | (c >> 6));
    o[1] = (unsigned char)(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    o[0] = (unsigned char)(0xE0 | (c >> 12));
    o[1] = (unsigned char)(0x80 | ((c >> 6) & 0x3F));
    o[2] = (unsigned char)(0x80 | (c & 0x3F));
    return 3;
  }
  o[0] = (unsigned char)(0xF0 | (c >> 18));
  o[1] = (unsigned char)(0x80 | ((c >> 12) & 0x3F));
  o[2] = (unsigned char)(0x80 | ((c >> 6) & 0x3F));
  o[3] = (unsigned char)(0x80 | (c & 0x3F));
  return 4;
}

inline int utf8_put(qxio_t_wchar code, unsigned char *o, uint32_t options)
{
  int64_t v = encodable(code, options);
  if (v < 0) return QXIO_E_ENCODING_UNMAPPABLE;
  return utf8_write((uint32_t)v, o);
}

/* ---- UTF-8 runs: sixteen ASCII characters at a time ---- */

inline void store_code(unsigned char *o, uint32_t code) { memcpy(o, &code, 4); }

/* Widens the sixteen bytes at p into codes at o (room for sixteen) and answers how many of
   them, from the first, are ASCII at or above `floor` (any others written are scratch). */
inline size_t utf8_widen_ascii16(const unsigned char *p, unsigned char *o, unsigned char floor)
{
#ifdef __SSE2__
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
  const __m128i zero = _mm_setzero_si128();
  const __m128i low = _mm_unpacklo_epi8(bytes, zero), high = _mm_unpackhi_epi8(bytes, zero);
  __m128i *const out = reinterpret_cast<__m128i *>(o);
  _mm_storeu_si128(out, _mm_unpacklo_epi16(low, zero));
  _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(low, zero));
  _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(high, zero));
  _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(high, zero));
  /* A signed comparison: bytes from 0x80 up are negative, so below any floor. */
  const unsigned stops =
      (unsigned)_mm_movemask_epi8(_mm_cmplt_epi8(bytes, _mm_set1_epi8((char)floor)));
  return stops == 0 ? 16 : (size_t)__builtin_ctz(stops);
#else
  size_t n = 0;
  for (; n < 16 && p[n] < 0x80 && p[n] >= floor; n++) store_code(o + 4 * n, p[n]);
  return n;
#endif
}

#ifndef __SSE2__
/* Narrows Count codes at p to bytes at o when all are ASCII (and, with `refuse_lf`, none is
   LF); answers whether it did. */
template <size_t Count>
inline bool utf8_narrow_ascii_scalar(const unsigned char *p, unsigned char *o, bool refuse_lf)
{
  uint32_t codes[Count];
  memcpy(codes, p, sizeof codes);
  for (uint32_t code : codes)
    if (code >= 0x80 || (refuse_lf && code == QXIO_CHAR_LF)) return false;
  for (size_t i = 0; i < Count; i++) o[i] = (unsigned char)codes[i];
  return true;
}
#endif

/* Narrows sixteen codes at p to bytes at o when all are ASCII (and, with `refuse_lf`, none
   is LF); answers whether it did. */
inline bool utf8_narrow_ascii16(const unsigned char *p, unsigned char *o, bool refuse_lf)
{
#ifdef __SSE2__
  const __m128i *const in = reinterpret_cast<const __m128i *>(p);
  const __m128i a = _mm_loadu_si128(in), b = _mm_loadu_si128(in + 1);
  const __m128i c = _mm_loadu_si128(in + 2), d = _mm_loadu_si128(in + 3);
  const __m128i high =
      _mm_and_si128(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d)), _mm_set1_epi32(~0x7F));
  if (_mm_movemask_epi8(_mm_cmpeq_epi32(high, _mm_setzero_si128())) != 0xFFFF) return false;
  const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
  if (refuse_lf && _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(QXIO_CHAR_LF))) != 0)
    return false;
  _mm_storeu_si128(reinterpret_cast<__m128i *>(o), bytes);
  return true;
#else
  return utf8_narrow_ascii_scalar<16>(p, o, refuse_lf);
#endif
}

/* Decodes a run of well-formed input, ASCII by blocks. Stops before anything utf8_step must
   judge (malformed, cut off, beyond U+10FFFF) and, with `line_ends`, before CR and LF. One
   byte makes at most one code, so the run is cut to the room at o. */
void utf8_decode_bulk(const unsigned char **pp, const unsigned char *end, unsigned char **op,
                      unsigned char *oend, bool line_ends)
{
  const unsigned char *p = *pp;
  unsigned char *o = *op;
  const size_t room = (size_t)(oend - o) / 4;
  const unsigned char *const lim = (size_t)(end - p) < room ? end : p + room;
  const unsigned char floor = line_ends ? QXIO_CHAR_CR + 1 : 0;
  while (p < lim) {
    const unsigned b0 = *p;
    if (b0 < 0x80) {
      if (lim - p >= 16) {
        const size_t n = utf8_widen_ascii16(p, o, floor);
        p += n;
        o += 4 * n;
        if (n > 0) continue;
      }
      if (line_ends && (b0 == QXIO_CHAR_LF || b0 == QXIO_CHAR_CR)) break;
      store_code(o, b0);
      o += 4;
      p++;
      continue;
    }
    uint32_t c;
    const size_t length = utf8_decode_multi(p, (size_t)(end - p), &c);
    if (length == 0) break;
    store_code(o, c);
    o += 4;
    p += length;
  }
  *pp = p;
  *op = o;
}

/* Narrows four codes at p to bytes at o when all are ASCII (and, with `refuse_lf`, none is
   LF); answers whether it did. */
inline bool utf8_narrow_ascii4(const unsigned char *p, unsigned char *o, bool refuse_lf)
{
#ifdef __SSE2__
  const __m128i codes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
  if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(codes, _mm_set1_epi32(~0x7F)),
                                        _mm_setzero_si128())) != 0xFFFF)
    return false;
  if (refuse_lf && _mm_movemask_epi8(_mm_cmpeq_epi32(codes, _mm_set1_epi32(QXIO_CHAR_LF))) != 0)
    return false;
  const __m128i half = _mm_packs_epi32(codes, codes);
  const uint32_t bytes = (uint32_t)_mm_cvtsi128_si32(_mm_packus_epi16(half, half));
  memcpy(o, &bytes, 4);
  return true;
#else
  return utf8_narrow_ascii_scalar<4>(p, o, refuse_lf);
#endif
}

/* Encodes a run of codes, ASCII by blocks. Stops before a code utf8_put must judge (a
   surrogate, beyond U+10FFFF) and, with `line_ends`, before LF. A code makes at most four
   bytes, so the run is cut to the room at o. */
void utf8_encode_bulk(const unsigned char **pp, const unsigned char *end, unsigned char **op,
                      unsigned char *oend, bool line_ends)
{
  const unsigned char *p = *pp;
  unsigned char *o = *op;
  const size_t room = (size_t)(oend - o) / 4, codes = (size_t)(end - p) / 4;
  const unsigned char *const lim = p + 4 * (codes < room ? codes : room);
  while (p < lim) {
    uint32_t c;
    memcpy(&c, p, 4);
    if (c < 0x80) {
      if (lim - p >= 16 && utf8_narrow_ascii4(p, o, line_ends)) {
        p += 16;
        o += 4;
        while (lim - p >= 64 && utf8_narrow_ascii16(p, o, line_ends)) {
          p += 64;
          o += 16;
        }
        continue;
      }
      if (line_ends && c == QXIO_CHAR_LF) break;
      *o++ = (unsigned char)c;
      p += 4;
      continue;
    }
    if (c > max_code || is_surrogate(c)) break;
    o += utf8_write(c, o);
    p += 4;
  }
  *pp = p;
  *op = o;
}

/* ---- UTF-16 and UTF-32 ---- */

template <bool BigEndian>
inline uint32_t read16(const unsigned char *p)
{
  return BigEndian ? (uint32_t)p[0] << 8 | p[1] : (uint32_t)p[1] << 8 | p[0];
}

template <bool BigEndian>
inline void write16(unsigned char *o, uint32_t unit)
{
  o[BigEndian ? 0 : 1] = (unsigned char)(unit >> 8);
  o[BigEndian ? 1 : 0] = (unsigned char)unit;
}

template <bool BigEndian>
inline uint32_t read32(const unsigned char *p)
{
  return BigEndian ? (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3]
                   : (uint32_t)p[3] << 24 | (uint32_t)p[2] << 16 | (uint32_t)p[1] << 8 | p[0];
}

template <bool BigEndian>
inline void write32(unsigned char *o, uint32_t unit)
{
  write16<BigEndian>(o + (BigEndian ? 0 : 2), unit >> 16);
  write16<BigEndian>(o + (BigEndian ? 2 : 0), unit & 0xFFFF);
}

/* A surrogate pair is one code; a lone surrogate is invalid and counts one unit; a single
   trailing byte is left for the next call. */
template <bool BigEndian>
inline qxio_t_error_code utf16_step(const unsigned char *p, size_t avail, uint32_t options,
                                    qxio_t_wchar *code, size_t *used)
{
  if (avail < 2) return QXIO_E_NOT_ENOUGH_DATA;
  uint32_t unit = read16<BigEndian>(p);
  if (!is_surrogate(unit)) {
    *code = (qxio_t_wchar)unit;
    *used = 2;
    return QXIO_S_NOERR;
  }
  if (unit >= 0xDC00) return invalid_input(2, options, code, used);
  if (avail < 4)
    return (options & QXIO_CODER_END_OF_INPUT) ? invalid_input(2, options, code, used)
                                               : QXIO_E_NOT_ENOUGH_DATA;
  uint32_t low = read16<BigEndian>(p + 2);
  if (low < 0xDC00 || low > 0xDFFF) return invalid_input(2, options, code, used);
  *code = (qxio_t_wchar)(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
  *used = 4;
  return QXIO_S_NOERR;
}

template <bool BigEndian>
inline int utf16_put(qxio_t_wchar code, unsigned char *o, uint32_t options)
{
  int64_t v = encodable(code, options);
  if (v < 0) return QXIO_E_ENCODING_UNMAPPABLE;
  uint32_t c = (uint32_t)v;
  if (c < 0x10000) {
    write16<BigEndian>(o, c);
    return 2;
  }
  c -= 0x10000;
  write16<BigEndian>(o, 0xD800 + (c >> 10));
  write16<BigEndian>(o + 2, 0xDC00 + (c & 0x3FF));
  return 4;
}

/* Units of 0x80000000 and above are invalid input; other values beyond U+10FFFF and
   surrogates are unmappable. */
template <bool BigEndian>
inline qxio_t_error_code utf32_step(const unsigned char *p, size_t avail, uint32_t options,
                                    qxio_t_wchar *code, size_t *used)
{
  if (avail < 4) return QXIO_E_NOT_ENOUGH_DATA;
  uint32_t unit = read32<BigEndian>(p);
  if (unit >= 0x80000000u) return invalid_input(4, options, code, used);
  if (unit > max_code || is_surrogate(unit)) {
    if (!qxio_coder_replaces(options)) return QXIO_E_ENCODING_UNMAPPABLE;
    unit = QXIO_CHAR_REPLACEMENT;
  }
  *code = (qxio_t_wchar)unit;
  *used = 4;
  return QXIO_S_NOERR;
}

template <bool BigEndian>
inline int utf32_put(qxio_t_wchar code, unsigned char *o, uint32_t options)
{
  int64_t v = encodable(code, options);
  if (v < 0) return QXIO_E_ENCODING_UNMAPPABLE;
  write32<BigEndian>(o, (uint32_t)v);
  return 4;
}

/* ---- the encode slot ---- */

typedef qxio_t_error_code (*unicode_step)(const unsigned char *p, size_t avail, uint32_t options,
                                          qxio_t_wchar *code, size_t *used);
typedef int (*unicode_put)(qxio_t_wchar code, unsigned char *o, uint32_t options);

typedef void (*unicode_bulk)(const unsigned char **p, const unsigned char *end, unsigned char **o,
                             unsigned char *oend, bool line_ends);

/* Adapts an optional bulk converter to the drivers. */
template <unicode_bulk Bulk>
struct unicode_run {
  void operator()(const unsigned char **p, const unsigned char *end, unsigned char **o,
                  unsigned char *oend, bool line_ends) const
  {
    if constexpr (Bulk != nullptr) Bulk(p, end, o, oend, line_ends);
  }
};

/* Converts in the instance's direction with a form's step (Unit: its smallest input item)
   or put (RefuseAnyEol: LF under the any-line-end flag cannot be written), with the
   form's bulk converters where it has them. */
template <size_t Unit, bool RefuseAnyEol, unicode_step Step, unicode_put Put,
          unicode_bulk DecodeBulk = nullptr, unicode_bulk EncodeBulk = nullptr>
qxio_t_error_code unicode_encode(qxio_t_coder *coder, const qxio_t_buf *in, size_t *pos,
                                 qxio_t_buf *out, uint32_t options)
{
  qxio_t_coder_byte *st = reinterpret_cast<qxio_t_coder_byte *>(coder);
  if (coder->flags & QXIO_CODER_DECODING)
    return qxio_coder_decode_run(
        st, in, pos, out, options, Unit,
        [](const unsigned char *p, size_t avail, uint32_t options, qxio_t_wchar *code,
           size_t *used) { return Step(p, avail, options, code, used); },
        unicode_run<DecodeBulk>());
  return qxio_coder_encode_run(
      st, in, pos, out, options, 4, RefuseAnyEol,
      [](qxio_t_wchar code, unsigned char *o, uint32_t options) { return Put(code, o, options); },
      unicode_run<EncodeBulk>());
}

/* ---- opening, seeking ---- */

qxio_t_error_code unicode_open(qxio_t_coder_funcs *funcs, qxio_t_coder **coder_out,
                               uint32_t options, bool is_utf8)
{
  if (options & QXIO_CODER_OPEN_SEEKABLE) return QXIO_E_NOT_IMPLEMENTED;
  const bool bom = options & QXIO_CODER_OPEN_BOM;
  uint32_t flags;
  if (options & QXIO_CODER_OPEN_DECODE) {
    flags = QXIO_CODER_DECODING | QXIO_CODER_CONSUMES_1 | QXIO_CODER_PRODUCES_4;
    if (bom) flags |= QXIO_CODER_DROP_BOM;
  } else {
    flags = QXIO_CODER_CONSUMES_4 | QXIO_CODER_PRODUCES_1;
    if (bom && !(is_utf8 && (options & QXIO_CODER_OPEN_NO_UTF8_BOM))) flags |= QXIO_CODER_WRITE_BOM;
  }
  if (options & QXIO_CODER_OPEN_CRLF) flags |= QXIO_CODER_CRLF;
  if (options & QXIO_CODER_OPEN_ANY_EOL) flags |= QXIO_CODER_ANY_EOL;
  return qxio_coder_new_instance(funcs, flags, QXIO_CODER_STATE_START, coder_out);
}

qxio_t_error_code utf8_open(qxio_t_coder_funcs *funcs, qxio_t_coder **coder_out,
                            const qxio_t_arglist *properties, uint32_t options)
{
  return unicode_open(funcs, coder_out, options, true);
}

qxio_t_error_code utf16_open(qxio_t_coder_funcs *funcs, qxio_t_coder **coder_out,
                             const qxio_t_arglist *properties, uint32_t options)
{
  return unicode_open(funcs, coder_out, options, false);
}

qxio_t_error_code utf8_seek(qxio_t_coder *coder, int64_t offset, uint32_t options)
{
  return QXIO_E_NOT_SUPPORTED;
}

/* Only a decoder may be told of a move, and only back to a start it already passed. */
qxio_t_error_code utf16_seek(qxio_t_coder *coder, int64_t offset, uint32_t options)
{
  if (!(coder->flags & QXIO_CODER_DECODING)) return QXIO_E_NOT_SUPPORTED;
  if (offset % 4 != 0) return QXIO_E_GRANULARITY_ERROR;
  return offset <= 0 ? QXIO_S_NOERR : QXIO_E_PARAMETER_ERROR;
}

qxio_t_error_code unicode_translate_offset(qxio_t_coder *coder, int64_t offset, int64_t *offset_out)
{
  return QXIO_E_NOT_SUPPORTED;
}

#define UNICODE_CLASS(name, aliases, encode, open, seek)                                           \
  {                                                                                                \
    sizeof(qxio_t_coder_funcs), name, aliases, 0, 0, qxio_coder_free_instance, encode,             \
        qxio_coder_no_commit, qxio_coder_no_commit, unicode_translate_offset, seek,                \
        qxio_coder_default_addref, qxio_coder_default_release, qxio_coder_default_destroy, open    \
  }

const char *const utf16_aliases[] = {"UTF-16", nullptr};
const char *const utf32_aliases[] = {"UTF-32", nullptr};

qxio_t_coder_funcs utf8_funcs = UNICODE_CLASS(
    "UTF-8", nullptr,
    (unicode_encode<1, true, utf8_step, utf8_put, utf8_decode_bulk, utf8_encode_bulk>), utf8_open,
    utf8_seek);
qxio_t_coder_funcs utf16_funcs_be = UNICODE_CLASS(
    "UTF-16BE", utf16_aliases, (unicode_encode<2, false, utf16_step<true>, utf16_put<true>>),
    utf16_open, utf16_seek);
qxio_t_coder_funcs utf16_funcs_le = UNICODE_CLASS(
    "UTF-16LE", nullptr, (unicode_encode<2, false, utf16_step<false>, utf16_put<false>>),
    utf16_open, utf16_seek);
/* UTF-32 opens and seeks as UTF-16 does. */
qxio_t_coder_funcs utf32_funcs_be = UNICODE_CLASS(
    "UTF-32BE", utf32_aliases, (unicode_encode<4, false, utf32_step<true>, utf32_put<true>>),
    utf16_open, utf16_seek);
qxio_t_coder_funcs utf32_funcs_le = UNICODE_CLASS(
    "UTF-32LE", nullptr, (unicode_encode<4, false, utf32_step<false>, utf32_put<false>>),
    utf16_open, utf16_seek);

}  // namespace

qxio_t_error_code qxio_init_char_coder_utf8(uint32_t deinit)
{
  qxio_t_coder_funcs *const classes[] = {&utf8_funcs};
  return qxio_coder_register_family(classes, 1, deinit);
}

qxio_t_error_code qxio_init_char_coder_utf16(uint32_t deinit)
{
  qxio_t_coder_funcs *const classes[] = {&utf16_funcs_be, &utf16_funcs_le};
  return qxio_coder_register_family(classes, 2, deinit);
}

qxio_t_error_code qxio_init_char_coder_utf32(uint32_t deinit)
{
  qxio_t_coder_funcs *const classes[] = {&utf32_funcs_be, &utf32_funcs_le};
  return qxio_coder_register_family(classes, 2, deinit);
}
