/* The internal text encoding, character classes and conversions to the operating system's
 * charset. */
#include "wcx.h"

#include <cstring>
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
    W, CH_BANG, CH_DQUOTE, S, S, CH_PERCENT, S, CH_SQUOTE, CH_LPAR, CH_RPAR, S, S, CH_COMMA, S, S, S,
    /* 0-9 : ; < = > ? */
    D, D, D, D, D, D, D, D, D, D, S, CH_SEMICOLON, S, S, S, S,
    /* @ A-O */
    S, U, U, U, U, U, U, U, U, U, U, U, U, U, U, U,
    /* P-Z [ \ ] ^ _ */
    U, U, U, U, U, U, U, U, U, U, U, CH_LBRACK, S, CH_RBRACK, S, CH_UNDERSCORE,
    /* ` a-o */
    CH_BACKQUOTE, L, L, L, L, L, L, L, L, L, L, L, L, L, L, L,
    /* p-z { | } ~ DEL */
    L, L, L, L, L, L, L, L, L, L, L, CH_LBRACE, CH_BAR, CH_RBRACE, S, W,
    W, W, W, W, W, W, W, W, W, W, W, W, W, W, W, W, /* 0x80 */
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
  case 0x200E: case 0x200F: case 0x2028: case 0x2029:
    return CH_WHITE;
  default:
    return CH_UNDECIDED;
  }
}

int qx_char_class(int32_t code)
{
  if (code == -1)
    return CH_WHITE;
  if (code >= 0 && code < 256)
    return default_chtype[code];
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
  if (code < 0)
    return 0;
  if (code == 0)
    return 2;
  if (code < 0x80)
    return 1;
  if (code < 0x800)
    return 2;
  if (code < 0x10000)
    return 3;
  if (code < 0x200000)
    return 4;
  if (code < 0x4000000)
    return 5;
  return 6;
}

int QX_code_wci(char *buf, int32_t code)
{
  static const unsigned char lead[7] = {0, 0, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};
  int n = QX_wci_len(code);
  if (n == 0)
    return 0;
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
  if (b < 0x80)
    return b == 0 ? 0 : (*code = (int32_t)b, 1);
  if (b < 0xC0)
    return 0; /* stray continuation byte */
  if (b == 0xC0 && p[1] == 0x80)
    return 2; /* code 0 */
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
    if ((p[i] & 0xC0) != 0x80)
      return 0; /* truncated (this also stops at the NUL) */
    c = (c << 6) | (p[i] & 0x3F);
  }
  if (c < least[n])
    return 0; /* overlong */
  *code = (int32_t)c;
  return n;
}

int wci_valid_string(const char *text)
{
  int32_t code;
  while (*text) {
    int n = QX_wci_code(&code, text);
    if (n == 0)
      return 0;
    text += n;
  }
  return 1;
}

/* ---- conversions to and from the operating system's charset ---- */

enum qx_os_charset { QX_OS_UTF8, QX_OS_LATIN1 };
static qx_os_charset os_charset = QX_OS_UTF8;

/* Strict UTF-8 (Unicode scalar values, no C0 80) is the same text in both encodings. */
static char *copy_if_utf8(const char *text)
{
  if (qxio_is_legal_utf8_string(text, std::strlen(text), 0) < 0)
    return nullptr;
  return QX_strdup(text);
}

static char *to_os_latin1(const char *text)
{
  int32_t code;
  char *out = (char *)QX_malloc(std::strlen(text) + 1);
  char *q = out;
  if (!out)
    return nullptr;
  for (const char *p = text; *p;) {
    int n = QX_wci_code(&code, p);
    if (n == 0 || code == 0 || code > 255) {
      QX_free(out);
      return nullptr;
    }
    *q++ = (char)code;
    p += n;
  }
  *q = 0;
  return out;
}

static char *from_os_latin1(const char *text)
{
  char *out = (char *)QX_malloc(2 * std::strlen(text) + 1);
  char *q = out;
  if (!out)
    return nullptr;
  for (const unsigned char *p = (const unsigned char *)text; *p; p++)
    q += QX_code_wci(q, *p);
  *q = 0;
  return out;
}

/* Until the I/O library's character coders take over, UTF-8 (and ASCII, its subset) and
 * ISO-8859-1 are converted here; any other charset is taken as UTF-8. The mode is not used. */
char *QX_to_os(const char *text, int mode)
{
  if (!text)
    return nullptr;
  return os_charset == QX_OS_LATIN1 ? to_os_latin1(text) : copy_if_utf8(text);
}

char *QX_from_os(const char *text, int mode)
{
  if (!text)
    return nullptr;
  return os_charset == QX_OS_LATIN1 ? from_os_latin1(text) : copy_if_utf8(text);
}

static bool codeset_is(const char *codeset, const char *const *names)
{
  for (; *names; names++)
    if (strcasecmp(codeset, *names) == 0)
      return true;
  return false;
}

int init_wcx()
{
  static const char *const latin1[] = {"ISO-8859-1", "ISO8859-1", "ISO_8859-1", "LATIN1", nullptr};
  const char *codeset = nl_langinfo(CODESET);
  os_charset = codeset && codeset_is(codeset, latin1) ? QX_OS_LATIN1 : QX_OS_UTF8;
  clear_ch_type_hash();
  return 0;
}

void deinit_wcx()
{
  clear_ch_type_hash();
  os_charset = QX_OS_UTF8;
}
