/* UTF-8 validity and decoding helpers used by the text, environment and file-name
   conversions. */
#include "qxio_internal.h"

/* Sequence length announced by each lead byte (0: not a lead byte). */
const uint8_t qxio_utf8_sequence_length[256] = {
    /* 0x00-0x7F */
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    /* 0x80-0xBF: continuation bytes */
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    /* 0xC0-0xDF */
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    /* 0xE0-0xEF */
    3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3,
    /* 0xF0-0xF7, 0xF8-0xFB, 0xFC-0xFD, 0xFE-0xFF */
    4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 6, 6, 0, 0};

namespace {

/* Marker bits of a sequence of each length (1 to 6), as the accumulation shifts them. */
constexpr uint32_t utf8_adjust_magic[6] = {0x0u,       0x3080u,     0xE2080u,
                                           0x3C82080u, 0xFA082080u, 0x82082080u};

const unsigned char *as_bytes(const void *bytes)
{
  return static_cast<const unsigned char *>(bytes);
}

/* Checks the lead byte of a sequence whose continuation bytes are already known good. */
qxio_t_error_code check_lead(const unsigned char *s, uint32_t options)
{
  bool extended = options & 0x2;
  switch (s[0]) {
  case 0xC0: return (options & 0x1) && s[1] == 0x80 ? QXIO_S_NOERR : QXIO_E_ENCODING_INVALID;
  case 0xC1: return QXIO_E_ENCODING_INVALID;
  case 0xE0: return s[1] >= 0xA0 ? QXIO_S_NOERR : QXIO_E_ENCODING_INVALID;
  case 0xED: return s[1] >= 0xA0 && !extended ? QXIO_E_ENCODING_INVALID : QXIO_S_NOERR;
  case 0xF0: return s[1] >= 0x90 ? QXIO_S_NOERR : QXIO_E_ENCODING_INVALID;
  case 0xF4: return s[1] >= 0x90 && !extended ? QXIO_E_ENCODING_UNMAPPABLE : QXIO_S_NOERR;
  case 0xF8:
    if (s[1] < 0x88) return QXIO_E_ENCODING_INVALID;
    break;
  case 0xFC:
    if (s[1] < 0x84) return QXIO_E_ENCODING_INVALID;
    break;
  default: break;
  }
  if (extended) return s[0] > 0xFD ? QXIO_E_ENCODING_INVALID : QXIO_S_NOERR;
  return s[0] >= 0xF5 ? QXIO_E_ENCODING_UNMAPPABLE : QXIO_S_NOERR;
}

}  // namespace

/* A sequence is checked against the length its lead byte announces: a continuation byte or
   0xFE/0xFF as lead, or a length other than announced, is invalid. */
qxio_t_error_code qxio_is_legal_utf8_prefix(const void *bytes, size_t length, uint32_t options)
{
  const unsigned char *s = as_bytes(bytes);
  if (length == 0 || length > 6) return QXIO_E_ENCODING_INVALID;
  if (length == 1) return s[0] < 0x80 ? QXIO_S_NOERR : QXIO_E_ENCODING_INVALID;
  if (qxio_utf8_sequence_length[s[0]] != length) return QXIO_E_ENCODING_INVALID;
  for (size_t i = 1; i < length; i++) {
    if (s[i] < 0x80 || s[i] > 0xBF) return QXIO_E_ENCODING_INVALID;
  }
  return check_lead(s, options);
}

qxio_t_error_code qxio_is_legal_utf8_string(const void *bytes, size_t length, uint32_t options)
{
  const unsigned char *s = as_bytes(bytes);
  size_t i = 0;
  while (i < length) {
    size_t n = qxio_utf8_sequence_length[s[i]];
    if (n == 0 || n > length - i) return QXIO_E_ENCODING_INVALID;
    qxio_t_error_code rc = qxio_is_legal_utf8_prefix(s + i, n, options);
    if (rc < 0) return rc;
    i += n;
  }
  return QXIO_S_NOERR;
}

/* On failure the count still receives the codes written before the offending sequence. */
qxio_t_error_code qxio_decode_utf8_to_utf32(const void *bytes, size_t length, uint32_t *codes,
                                            size_t *count, uint32_t options)
{
  const unsigned char *s = as_bytes(bytes);
  size_t capacity = *count;
  size_t written = 0;
  size_t i = 0;
  qxio_t_error_code rc = QXIO_S_NOERR;
  while (i < length) {
    size_t n = qxio_utf8_sequence_length[s[i]];
    if (n > length - i) {
      rc = QXIO_E_NOT_ENOUGH_DATA;
      break;
    }
    rc = qxio_is_legal_utf8_prefix(s + i, n, options & 0x3);
    if (rc < 0) break;
    if (written == capacity) {
      rc = QXIO_E_OUT_OF_MEMORY;
      break;
    }
    uint32_t code = 0;
    for (size_t k = 0; k < n; k++) code = (code << 6) + s[i + k];
    codes[written++] = code - utf8_adjust_magic[n - 1];
    i += n;
  }
  *count = written;
  return rc < 0 ? rc : QXIO_S_NOERR;
}
