/* The escape decoder of quoted Prolog text, shared by the tokenizer and number conversion. */
#ifndef QX_TOKENIZER_H
#define QX_TOKENIZER_H

#include <cstdint>

/* What the escape routines answer while a numeric escape wants more characters. */
constexpr int QX_ESCAPE_MORE = -10;

/* The character c after a backslash: the escape's value, QX_ESCAPE_MORE when a numeric escape
 * starts, or -11 when c starts no escape. */
int first_iso_escape_char(int32_t c);
/* The next character c (of class cls) of a numeric escape: QX_ESCAPE_MORE until the closing
 * backslash gives the value; -12 for a character that is no digit of the base (or a closing
 * backslash before any digit), -13 for the character after an escape whose value overflowed. */
int next_iso_escape_char(int32_t c, int cls);

struct worker;
/* $read_token/6 on the worker's term registers 0..5. */
int prolog_read_token(worker *w);

#endif
