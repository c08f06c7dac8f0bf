/* The internal text encoding and character classes.
 *
 * Internal encoding: UTF-8 shaped, 1 to 6 bytes per code (codes up to 0x7FFFFFFF), code 0 written
 * as the two bytes C0 80, so a text never holds a NUL byte before its end. */
#ifndef QX_WCX_H
#define QX_WCX_H

#include <cstddef>
#include <cstdint>

enum CH_type : int8_t {
  CH_WHITE = 1,
  CH_LC = 2,
  CH_UC = 3,
  CH_SOLO = 4,
  CH_SYMBOL = 5,
  CH_UNDECIDED = 6,
  CH_DIGIT = 7,
  CH_BANG = 8,
  CH_BAR = 9,
  CH_COMMA = 10,
  CH_DQUOTE = 11,
  CH_LPAR = 12,
  CH_LBRACE = 13,
  CH_LBRACK = 14,
  CH_PERCENT = 15,
  CH_RPAR = 16,
  CH_RBRACE = 17,
  CH_RBRACK = 18,
  CH_SEMICOLON = 19,
  CH_SQUOTE = 20,
  CH_UNDERSCORE = 21,
  CH_BACKQUOTE = 22,
};

extern const int8_t default_chtype[256];

/* 1 when text is well-formed internal encoding. */
int wci_valid_string(const char *text);
/* Decode one code at text into *code; answers the bytes used, 0 when malformed. */
int QX_wci_code(int32_t *code, const char *text);
/* Bytes the internal encoding of code takes (1..6). */
int QX_wci_len(int32_t code);
/* Encode code at buf (room for 6 bytes); answers the bytes written. */
int QX_code_wci(char *buf, int32_t code);

/* Class of a code through the two-way cache of the engine global block. */
int ch_type_hash(int32_t code);
/* Class of a code (-1 for end of file) straight from the table and the hook, bypassing the cache. */
int qx_char_class(int32_t code);
void clear_ch_type_hash();
static inline int qx_char_type(int32_t code);

/* Conversions between the internal encoding and the operating system's; new QX_malloc blocks,
 * null on failure. */
char *QX_to_os(const char *text, int mode);
char *QX_from_os(const char *text, int mode);
int init_wcx();
void deinit_wcx();

#include "datadefs.h"
static inline int qx_char_type(int32_t code)
{
  unsigned slot = (unsigned)code & 255;
  if (qx_eg.chcode_hash[slot] == code) return qx_eg.chtype_hash[slot];
  if (qx_eg.chcode_hash[256 + slot] == code) return qx_eg.chtype_hash[256 + slot];
  return ch_type_hash(code);
}

#endif
