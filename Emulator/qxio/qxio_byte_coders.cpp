/* The single-byte character sets (ASCII, ISO-8859-1, -2, -15, windows-1252): one set of
   operations driven by a per-set mapping table, and membership in the Unicode property
   range sets. The tables themselves are generated at build time. */
#include "qxio_coder_internal.h"

namespace {

const qxio_t_byte_to_utf32_table *table_of(const qxio_t_coder *coder)
{
  return reinterpret_cast<const qxio_t_coder_byte_funcs *>(coder->funcs)->table;
}

qxio_t_error_code byte_open(qxio_t_coder_funcs *funcs, qxio_t_coder **coder_out,
                            const qxio_t_arglist *properties, uint32_t options)
{
  uint32_t flags = (options & QXIO_CODER_OPEN_DECODE)
                       ? QXIO_CODER_DECODING | QXIO_CODER_CONSUMES_1 | QXIO_CODER_PRODUCES_4
                       : QXIO_CODER_CONSUMES_4 | QXIO_CODER_PRODUCES_1;
  if (options & QXIO_CODER_OPEN_SEEKABLE) {
    /* Line-end conversion changes lengths, so positions could no longer be translated. */
    if (options & (QXIO_CODER_OPEN_CRLF | QXIO_CODER_OPEN_ANY_EOL)) return QXIO_E_NOT_SUPPORTED;
    flags |= QXIO_CODER_SEEKABLE;
  }
  if (options & QXIO_CODER_OPEN_CRLF) flags |= QXIO_CODER_CRLF;
  if (options & QXIO_CODER_OPEN_ANY_EOL) flags |= QXIO_CODER_ANY_EOL;
  return qxio_coder_new_instance(funcs, flags, QXIO_CODER_STATE_NONE, coder_out);
}

/* The byte for a code, or -1 when the set has none. */
int byte_for_code(const qxio_t_byte_to_utf32_table *table, uint32_t code)
{
  if (code < 256 && table->codes[code] == (int32_t)code) return (int)code;
  for (uint32_t i = 0; i < table->exception_count; i++)
    if (table->exceptions[i].code == code) return (int)table->exceptions[i].byte;
  return -1;
}

qxio_t_error_code byte_encoder(qxio_t_coder *coder, const qxio_t_buf *in, size_t *pos,
                               qxio_t_buf *out, uint32_t options)
{
  qxio_t_coder_byte *st = reinterpret_cast<qxio_t_coder_byte *>(coder);
  const qxio_t_byte_to_utf32_table *table = table_of(coder);
  if (coder->flags & QXIO_CODER_DECODING) {
    qxio_t_error_code rc = qxio_coder_decode_run(
        st, in, pos, out, options, 1,
        [table](const unsigned char *p, size_t, uint32_t, qxio_t_wchar *code, size_t *used) {
          *code = table->codes[*p];
          *used = 1;
          return *code < 0 ? QXIO_E_ENCODING_INVALID : QXIO_S_NOERR;
        });
    return rc == QXIO_E_OUT_OF_MEMORY ? QXIO_E_ERROR : rc;
  }
  return qxio_coder_encode_run(st, in, pos, out, options, 1, true,
                               [table](qxio_t_wchar code, unsigned char *o, uint32_t options) {
                                 int byte = byte_for_code(table, (uint32_t)code);
                                 if (byte < 0) {
                                   if (!(options & QXIO_CODER_REPLACE))
                                     return (int)QXIO_E_ENCODING_UNMAPPABLE;
                                   byte = (int)(table->replacement & 0xFF);
                                 }
                                 *o = (unsigned char)byte;
                                 return 1;
                               });
}

/* Positions translate only while every code is exactly one byte. */
qxio_t_error_code check_translatable(const qxio_t_coder *coder, int64_t offset)
{
  if (coder->flags & (QXIO_CODER_CRLF | QXIO_CODER_ANY_EOL)) return QXIO_E_NOT_SUPPORTED;
  if (offset % 4 != 0) return QXIO_E_GRANULARITY_ERROR;
  return QXIO_S_NOERR;
}

qxio_t_error_code byte_seek(qxio_t_coder *coder, int64_t offset, uint32_t options)
{
  qxio_t_error_code rc = check_translatable(coder, offset);
  if (rc < 0) return rc;
  reinterpret_cast<qxio_t_coder_byte *>(coder)->last_char = QXIO_CODER_STATE_NONE;
  return QXIO_S_NOERR;
}

qxio_t_error_code byte_translate_offset(qxio_t_coder *coder, int64_t offset, int64_t *offset_out)
{
  qxio_t_error_code rc = check_translatable(coder, offset);
  if (rc < 0) return rc;
  *offset_out = offset / 4;
  return QXIO_S_NOERR;
}

#define BYTE_CLASS(name, aliases, table)                                                           \
  {                                                                                                \
    {sizeof(qxio_t_coder_funcs),                                                                   \
     name,                                                                                         \
     aliases,                                                                                      \
     QXIO_CODER_FEATURE_SEEKABLE,                                                                  \
     0,                                                                                            \
     qxio_coder_free_instance,                                                                     \
     byte_encoder,                                                                                 \
     qxio_coder_no_commit,                                                                         \
     qxio_coder_no_commit,                                                                         \
     byte_translate_offset,                                                                        \
     byte_seek,                                                                                    \
     qxio_coder_default_addref,                                                                    \
     qxio_coder_default_release,                                                                   \
     qxio_coder_default_destroy,                                                                   \
     byte_open},                                                                                   \
        &table                                                                                     \
  }

const char *const ascii_aliases[] = {
    "iso-ir-6", "ANSI_X3.4-1986", "ISO_646.irv:1991", "ASCII", "ISO646-US", "US-ASCII", "us",
    "IBM367",   "cp367",          "csASCII",          "646",   nullptr};
const char *const latin1_aliases[] = {"ISO_8859-1:1987", "iso-ir-100", "latin1",      "l1",
                                      "IBM819",          "CP819",      "csISOLatin1", nullptr};
const char *const latin2_aliases[] = {"ISO_8859-2:1987", "iso-ir-101", "latin2", "l2",
                                      "csISOLatin2",     nullptr};
const char *const latin9_aliases[] = {"Latin-9", nullptr};

qxio_t_coder_byte_funcs ascii_funcs = BYTE_CLASS("ANSI_X3.4-1968", ascii_aliases, qxio_ascii_table);
qxio_t_coder_byte_funcs latin1_funcs = BYTE_CLASS("ISO-8859-1", latin1_aliases, qxio_latin1_table);
qxio_t_coder_byte_funcs latin2_funcs = BYTE_CLASS("ISO-8859-2", latin2_aliases, qxio_latin2_table);
qxio_t_coder_byte_funcs latin9_funcs = BYTE_CLASS("ISO-8859-15", latin9_aliases, qxio_latin9_table);
qxio_t_coder_byte_funcs windows1252_funcs =
    BYTE_CLASS("windows-1252", nullptr, qxio_windows1252_table);

qxio_t_coder_funcs *const byte_classes[] = {&ascii_funcs.funcs, &latin1_funcs.funcs,
                                            &latin2_funcs.funcs, &latin9_funcs.funcs,
                                            &windows1252_funcs.funcs};

}  // namespace

qxio_t_error_code qxio_init_char_coder_byte(uint32_t deinit)
{
  return qxio_coder_register_family(byte_classes, sizeof byte_classes / sizeof byte_classes[0],
                                    deinit);
}

/* ---- Unicode property sets ---- */

int qxio_utf32_set_member(qxio_t_wchar code, const qxio_t_utf32_range *set, size_t count)
{
  if (code < 0 || count == 0) return 0;
  uint32_t c = (uint32_t)code;
  /* The last range whose low bound is at most c. */
  size_t lo = 0, hi = count;
  while (hi - lo > 1) {
    size_t mid = lo + (hi - lo) / 2;
    if (set[mid].low <= c)
      lo = mid;
    else
      hi = mid;
  }
  return set[lo].low <= c && c <= set[lo].high;
}

qxio_t_error_code qxio_unicode_non_private_abstract_char(qxio_t_wchar code)
{
  if ((uint32_t)code > 0x10FFFF) return QXIO_E_ENCODING_UNMAPPABLE;
  return qxio_utf32_set_member(code, qxio_non_private_abstract_char_set,
                               qxio_non_private_abstract_char_set_count);
}

qxio_t_error_code qxio_unicode_nfc_quick_check_yes(qxio_t_wchar code)
{
  if ((uint32_t)code > 0x10FFFF) return QXIO_E_ENCODING_UNMAPPABLE;
  return qxio_utf32_set_member(code, qxio_nfc_quick_check_yes_and_defined_set,
                               qxio_nfc_quick_check_yes_and_defined_set_count);
}
