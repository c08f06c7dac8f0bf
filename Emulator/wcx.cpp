/* The internal text encoding, character classes and conversions to the operating system's
 * charset. */
#include "wcx.h"

#include <cstring>
#include <vector>
#include <langinfo.h>
#include <strings.h>

#include "datadefs.h"
#include "memman.h"
#include "qxio.h"

/* ---- character classes ---- */

#define W CH_WHITE
#define L CH_LC
#define U CH_UC
#define S CH_SYMBOL
#define D CH_DIGIT
/* Codes 0..255. Controls, space, DEL and 128..160 are layout; the Latin-1 letters follow
 * their case; the other Latin-1 signs are symbol characters. */
const int8_t default_chtype[256] = {
    W, W, W, W, W, W, W, W, W, W, W, W, W, W, W, W, /* 0x00 */
    W, W, W, W, W, W, W, W, W, W, W, W, W, W, W, W, /* 0x10 */
    /*   !        "          #  $  %           &  '          (          )          *  +  ,  -  .  / */
    W, CH_BANG, CH_DQUOTE, S, S, CH_PERCENT, S, CH_SQUOTE, CH_LPAR, CH_RPAR, S, S, CH_COMMA, S, S,
    S,
    /* 0-9 : ; < = > ? */
    D, D, D, D, D, D, D, D, D, D, S, CH_SEMICOLON, S, S, S, S,
    /* @ A-O */
    S, U, U, U, U, U, U, U, U, U, U, U, U, U, U, U,
    /* P-Z [ \ ] ^ _ */
    U, U, U, U, U, U, U, U, U, U, U, CH_LBRACK, S, CH_RBRACK, S, CH_UNDERSCORE,
    /* ` a-o */
    CH_BACKQUOTE, L, L, L, L, L, L, L, L, L, L, L, L, L, L, L,
    /* p-z { | } ~ DEL */
    L, L, L, L, L, L, L, L, L, L, L, CH_LBRACE, CH_BAR, CH_RBRACE, S, W, W, W, W, W, W, W, W, W, W,
    W, W, W, W, W, W, W,                            /* 0x80 */
    W, W, W, W, W, W, W, W, W, W, W, W, W, W, W, W, /* 0x90 */
    /* 160 is no-break space; 170 and 186 are the ordinal indicators */
    W, S, S, S, S, S, S, S, S, S, L, S, S, S, S, S, /* 0xA0 */
    S, S, S, S, S, S, S, S, S, S, L, S, S, S, S, S, /* 0xB0 */
    U, U, U, U, U, U, U, U, U, U, U, U, U, U, U, U, /* 0xC0 */
    U, U, U, U, U, U, U, S, U, U, U, U, U, U, U, L, /* 0xD0: 215 is the multiplication sign */
    L, L, L, L, L, L, L, L, L, L, L, L, L, L, L, L, /* 0xE0 */
    L, L, L, L, L, L, L, S, L, L, L, L, L, L, L, L, /* 0xF0: 247 is the division sign */
};
#undef W
#undef L
#undef U
#undef S
#undef D

/* The classification of codes outside the table: the layout marks and separators of Unicode
 * that may appear in program text are layout, everything else is left to the tokenizer. */
static int qx_char_type_hook(int32_t code)
{
  switch (code) {
  case 0x200E:
  case 0x200F:
  case 0x2028:
  case 0x2029: return CH_WHITE;
  default: return CH_UNDECIDED;
  }
}

int qx_char_class(int32_t code)
{
  if (code == -1) return CH_WHITE;
  if (code >= 0 && code < 256) return default_chtype[code];
  return qx_char_type_hook(code);
}

int ch_type_hash(int32_t code)
{
  unsigned slot = (unsigned)code & 255;
  int type = qx_char_class(code);
  /* the entry being replaced in way one survives in way two */
  qx_eg.chcode_hash[256 + slot] = qx_eg.chcode_hash[slot];
  qx_eg.chtype_hash[256 + slot] = qx_eg.chtype_hash[slot];
  qx_eg.chcode_hash[slot] = code;
  qx_eg.chtype_hash[slot] = (int8_t)type;
  return type;
}

/* -2 is no character code (-1 is end of file), so an empty entry never matches. */
void clear_ch_type_hash()
{
  for (int i = 0; i < 512; i++) {
    qx_eg.chcode_hash[i] = -2;
    qx_eg.chtype_hash[i] = 0;
  }
}

/* ---- the internal encoding ---- */

int QX_wci_len(int32_t code)
{
  if (code < 0) return 0;
  if (code == 0) return 2;
  if (code < 0x80) return 1;
  if (code < 0x800) return 2;
  if (code < 0x10000) return 3;
  if (code < 0x200000) return 4;
  if (code < 0x4000000) return 5;
  return 6;
}

int QX_code_wci(char *buf, int32_t code)
{
  static const unsigned char lead[7] = {0, 0, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};
  int n = QX_wci_len(code);
  if (n == 0) return 0;
  if (n == 1) {
    buf[0] = (char)code;
    return 1;
  }
  uint32_t c = (uint32_t)code;
  for (int i = n - 1; i > 0; i--) {
    buf[i] = (char)(0x80 | (c & 0x3F));
    c >>= 6;
  }
  buf[0] = (char)(lead[n] | c);
  return n;
}

int QX_wci_code(int32_t *code, const char *text)
{
  static const uint32_t least[7] = {0, 0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};
  const unsigned char *p = (const unsigned char *)text;
  unsigned b = p[0];
  int n;
  uint32_t c;
  *code = 0;
  if (b < 0x80) return b == 0 ? 0 : (*code = (int32_t)b, 1);
  if (b < 0xC0) return 0;                  /* stray continuation byte */
  if (b == 0xC0 && p[1] == 0x80) return 2; /* code 0 */
  if (b < 0xE0)
    n = 2, c = b & 0x1F;
  else if (b < 0xF0)
    n = 3, c = b & 0x0F;
  else if (b < 0xF8)
    n = 4, c = b & 0x07;
  else if (b < 0xFC)
    n = 5, c = b & 0x03;
  else if (b < 0xFE)
    n = 6, c = b & 0x01;
  else
    return 0;
  for (int i = 1; i < n; i++) {
    if ((p[i] & 0xC0) != 0x80) return 0; /* truncated (this also stops at the NUL) */
    c = (c << 6) | (p[i] & 0x3F);
  }
  if (c < least[n]) return 0; /* overlong */
  *code = (int32_t)c;
  return n;
}

int wci_valid_string(const char *text)
{
  int32_t code;
  while (*text) {
    int n = QX_wci_code(&code, text);
    if (n == 0) return 0;
    text += n;
  }
  return 1;
}

/* ---- conversions to and from the operating system's charset ---- */

/* UTF-8 and ISO-8859-1 are converted here directly; any other charset (ASCII of the C locale
 * among them, which refuses bytes above 127) through the I/O library's character coder of that
 * name, when the library has one registered, else as UTF-8. */
enum qx_os_charset { QX_OS_UTF8, QX_OS_LATIN1, QX_OS_CODER };
static qx_os_charset os_charset = QX_OS_UTF8;
static qxio_t_coder_funcs *os_coder;

/* Strict UTF-8 (Unicode scalar values, no C0 80) is the same text in both encodings. */
static char *copy_if_utf8(const char *text)
{
  if (qxio_is_legal_utf8_string(text, std::strlen(text), 0) < 0) return nullptr;
  return QX_strdup(text);
}

/* The codes of an internal-encoding text; false when it is malformed or holds code 0. */
static bool text_codes(const char *text, std::vector<qxio_t_wchar> &codes)
{
  int32_t code;
  for (const char *p = text; *p;) {
    int n = QX_wci_code(&code, p);
    if (n == 0 || code == 0) return false;
    codes.push_back(code);
    p += n;
  }
  return true;
}

static char *to_os_latin1(const char *text)
{
  std::vector<qxio_t_wchar> codes;
  if (!text_codes(text, codes)) return nullptr;
  char *out = (char *)QX_malloc(codes.size() + 1);
  if (!out) return nullptr;
  for (size_t i = 0; i < codes.size(); i++) {
    if (codes[i] > 255) {
      QX_free(out);
      return nullptr;
    }
    out[i] = (char)codes[i];
  }
  out[codes.size()] = 0;
  return out;
}

static char *internal_text(const qxio_t_wchar *codes, size_t n)
{
  char *out = (char *)QX_malloc(6 * n + 1);
  char *q = out;
  if (!out) return nullptr;
  for (size_t i = 0; i < n; i++) q += QX_code_wci(q, codes[i]);
  *q = 0;
  return out;
}

static char *from_os_latin1(const char *text)
{
  std::vector<qxio_t_wchar> codes;
  for (const unsigned char *p = (const unsigned char *)text; *p; p++) codes.push_back(*p);
  return internal_text(codes.data(), codes.size());
}

/* One strict conversion through a coder of the OS charset: bytes or codes in, bytes or codes out. */
static qxio_t_buf *coder_convert(const void *data, size_t size, uint32_t open_options)
{
  qxio_t_coder *coder = nullptr;
  qxio_t_buf *in = qxio_buf_alloc(data, size, 0);
  qxio_t_buf *out = qxio_buf_alloc(nullptr, 0, 0);
  size_t pos = 0;
  qxio_t_error_code rc = in && out ? qxio_char_coder_open(os_coder, &coder, nullptr, open_options)
                                   : QXIO_E_OUT_OF_MEMORY;
  if (rc >= 0)
    rc = qxio_char_coder_encode(coder, in, &pos, out, QXIO_CODER_END_OF_INPUT | QXIO_CODER_STRICT);
  if (rc >= 0 && pos != size) rc = QXIO_E_ENCODING_INVALID;
  qxio_char_coder_close(coder);
  if (in) qxio_buf_free(in);
  if (rc < 0 && out) {
    qxio_buf_free(out);
    out = nullptr;
  }
  return out;
}

static char *to_os_coder(const char *text)
{
  std::vector<qxio_t_wchar> codes;
  if (!text_codes(text, codes)) return nullptr;
  qxio_t_buf *bytes = coder_convert(codes.data(), codes.size() * sizeof(qxio_t_wchar), 0);
  if (!bytes) return nullptr;
  char *out = nullptr;
  if (!std::memchr(bytes->buf, 0, bytes->extent) && (out = (char *)QX_malloc(bytes->extent + 1))) {
    std::memcpy(out, bytes->buf, bytes->extent);
    out[bytes->extent] = 0;
  }
  qxio_buf_free(bytes);
  return out;
}

static char *from_os_coder(const char *text)
{
  qxio_t_buf *codes = coder_convert(text, std::strlen(text), QXIO_CODER_OPEN_DECODE);
  if (!codes) return nullptr;
  char *out = internal_text((const qxio_t_wchar *)codes->buf, codes->extent / sizeof(qxio_t_wchar));
  qxio_buf_free(codes);
  return out;
}

char *QX_to_os(const char *text, int mode)
{
  (void)mode;
  if (!text) return nullptr;
  switch (os_charset) {
  case QX_OS_LATIN1: return to_os_latin1(text);
  case QX_OS_CODER: return to_os_coder(text);
  default: return copy_if_utf8(text);
  }
}

char *QX_from_os(const char *text, int mode)
{
  (void)mode;
  if (!text) return nullptr;
  switch (os_charset) {
  case QX_OS_LATIN1: return from_os_latin1(text);
  case QX_OS_CODER: return from_os_coder(text);
  default: return copy_if_utf8(text);
  }
}

static bool codeset_is(const char *codeset, const char *const *names)
{
  for (; *names; names++)
    if (strcasecmp(codeset, *names) == 0) return true;
  return false;
}

int init_wcx()
{
  static const char *const latin1[] = {"ISO-8859-1", "ISO8859-1", "ISO_8859-1", "LATIN1", nullptr};
  static const char *const utf8[] = {"UTF-8", "UTF8", nullptr};
  const char *codeset = nl_langinfo(CODESET);
  deinit_wcx();
  if (codeset && codeset_is(codeset, latin1))
    os_charset = QX_OS_LATIN1;
  else if (codeset && !codeset_is(codeset, utf8) &&
           qxio_char_coder_find(&os_coder, codeset, nullptr, 0) >= 0)
    os_charset = QX_OS_CODER;
  clear_ch_type_hash();
  return 0;
}

void deinit_wcx()
{
  clear_ch_type_hash();
  if (os_coder) qxio_coder_funcs_release(os_coder);
  os_coder = nullptr;
  os_charset = QX_OS_UTF8;
}
