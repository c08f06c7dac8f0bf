/* Numbers: small integers, boxed one- and two-limb integers, bignums, floats, and their text. */
#ifndef QX_NUMBERS_H
#define QX_NUMBERS_H

#include <cstddef>
#include <cstdint>

#include "datadefs.h"

/* ---- building (the caller has made heap room: at most 4 words for these) ---- */
TAGGED make_integer(worker *w, int32_t value);
TAGGED qx_make_integer(worker *w, int32_t value); /* always the 3-word box -25, v, -25 */
TAGGED make_int64(worker *w, int64_t value);
TAGGED make_float(worker *w, uint32_t low, uint32_t high);
TAGGED qx_make_double(worker *w, double value);

/* ---- reading ---- */
int32_t spi_get_integer(TAGGED boxed);
int64_t spi_get_int64(TAGGED boxed);
double spi_get_float(TAGGED boxed); /* any boxed number (bignums correctly rounded) */
/* An integer term as int64: 1 when it fits, 0 otherwise. */
int qx_get_int64(TAGGED t, int64_t *value);
/* Standard-order comparison of two numbers (-1, 0, 1): by value; a float before an integer of
 * the same value; -0.0 before 0.0; NaN before every other number. */
int qx_compare_numbers(TAGGED a, TAGGED b);
/* The same for two floats. */
int qx_compare_floats(double a, double b);

/* ---- bignums: limbs least significant first, two's complement, minimal length ---- */
/* The functions that take a TAGGED integer accept small integers and boxes of any length. */

/* Writes the box of minimal length (header, limbs, header; at least one limb, even for values
 * that fit a small integer) of a digit text with an optional sign at dest, using no word at or
 * past limit: 0 when written, 1 when it does not fit, -1 when the text is not a digit string
 * in the base (2 to 36, either letter case). The caller advances by BoxWords(dest[0]). */
int bn_from_string(const char *text, TAGGED *dest, TAGGED *limit, int base);
/* The same for len digits (no sign) and an explicit sign. */
int bn_from_digits(const char *digits, size_t len, bool negative, TAGGED *dest, TAGGED *limit,
                   int base);
/* Writes the box of minimal length of n little-endian two's-complement bytes at top (n = 0 is
 * 0): 0 when written, else the number of cells missing below limit. */
int bn_from_bytes(const unsigned char *bytes, size_t n, TAGGED *top, TAGGED *limit);
/* The minimal little-endian two's-complement bytes of an integer into buf, the rest of the
 * *size bytes filled with the sign byte; *size becomes the minimal count. 1 when done, 0 when
 * *size is too small (*size then holds the need). */
int bn_to_bytes(TAGGED integer, unsigned char *buf, size_t *size);
/* Compare two integer terms: -1, 0, 1. */
int bn_compare(TAGGED a, TAGGED b);
/* Compare an integer term with a double exactly: -1, 0, 1 (1 against NaN). */
int bn_compare_double(TAGGED integer, double value);
/* The minimal integer term of nlimbs limbs (a small integer when it fits), built at the heap
 * top (at most nlimbs + 2 words). */
TAGGED bn_make(worker *w, const uint32_t *limbs, int nlimbs);
/* The value of a digit character in bases up to 36 (letters in either case), else 99. */
int bn_digit_value(int c);
/* The number of limbs left when redundant sign limbs are dropped (at least 1). */
int bn_minimal_limbs(const uint32_t *limbs, int nlimbs);
/* The value of an integer term as a double, correctly rounded (to nearest, ties to even). */
double bn_to_double(TAGGED integer);
/* Bytes bn_to_string needs at buf for an integer in a base (2 to 36): digits, sign, NUL and
 * room for a working copy of the limbs. */
size_t bn_string_size(TAGGED integer, int base);
/* The digits of an integer in a base (lower-case letters, '-' for negatives) at buf, which is
 * 4-aligned and holds bn_string_size bytes. Returns buf. */
char *bn_to_string(TAGGED integer, int base, char *buf);

/* ---- text ---- */
/* The shared scratch buffer of the number printers, at least size bytes, 8-aligned; growing it
 * keeps its contents. Texts the printers return live here until the next printer call. */
char *qx_scratch(size_t size);

/* Statuses of qx_string_to_number besides 0 (done) and the positive number of heap words to
 * make free before calling again (the number was not built). */
constexpr int QX_NUMBER_SYNTAX = -21;   /* not a number in the base */
constexpr int QX_NUMBER_OVERFLOW = -22; /* a float text whose value is not finite */
/* The number term an ASCII text denotes, built at the heap top (room checked against
 * stack_start), or 0 with *status (may be null) saying why. Text: an optional '-', then digits
 * of the base (2, 8, 10 or 16; letters in either case). In base 10 also a float
 * (digits "." digits, optionally e or E, an optional sign and digits; or the texts of the
 * infinities and NaN, "1.0Inf" and "1.5NaN"), a character code "0'" followed by what
 * single_quoted_character accepts, and the prefixes 0b, 0o, 0x followed by digits. Room: at most
 * strlen(text) / 8 + 4 words. */
TAGGED qx_string_to_number(worker *w, const char *text, int base, int *status);
/* The text after "0'": 1 and *code when it is exactly one character ("''" for the quote, an
 * escape sequence after a backslash, or any one-byte character other than layout below space
 * and DEL), else 0. */
int single_quoted_character(const char *text, int32_t *code);
/* The text of a number in the scratch buffer: integers in the base (2 to 36); floats by
 * format_float with the letter and precision of argument 9 of the options compound (its
 * arguments 1 and 2, small integers), else 'H' and 3. options may be 0. Null for a term that is
 * not a number or a base out of range. */
const char *qx_number_to_string(TAGGED number, int base, TAGGED options);
/* A double in the scratch buffer. Letters e, E, f, F, g, G as printf with that precision;
 * 'H' (and any other letter): the shortest decimal that reads back as the same double, with at
 * least max(precision, 1) fraction digits, in exponent form ("1.0e20", "2.5e-7") outside
 * [1e-4, 1e15); the infinities are "1.0Inf" and "-1.0Inf", NaN is "1.5NaN". Always a '.'. */
const char *format_float(int letter, int precision, double value);
/* A decimal text as the correctly rounded double (the C locale's syntax); *error (may be null):
 * 0, 1 when the text is not one number as a whole, 2 when the value overflows. */
double ieee_atof(const char *text, int *error);
/* The digits of value in base (2 to 36, else 10; '-' for negatives) into buffer (66 bytes
 * suffice); returns buffer. */
char *qx_ltostr(int64_t value, int base, char *buffer);

#endif
