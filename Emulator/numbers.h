/* Numbers: small integers, boxed one- and two-limb integers, bignums, floats, and their text. */
#ifndef QX_NUMBERS_H
#define QX_NUMBERS_H

#include <cstddef>
#include <cstdint>

#include "datadefs.h"

/* ---- building (the caller has made heap room: at most 4 words for these) ---- */
TAGGED make_integer(worker *w, int32_t value);
TAGGED qx_make_integer(worker *w, int32_t value);   /* always the 3-word box -25, v, -25 */
TAGGED make_int64(worker *w, int64_t value);
TAGGED make_float(worker *w, uint32_t low, uint32_t high);
TAGGED qx_make_double(worker *w, double value);

/* ---- reading ---- */
int32_t spi_get_integer(TAGGED boxed);
int64_t spi_get_int64(TAGGED boxed);
double spi_get_float(TAGGED boxed);   /* any boxed number (bignums correctly rounded) */
/* An integer term as int64: 1 when it fits, 0 otherwise. */
int qx_get_int64(TAGGED t, int64_t *value);
/* Standard-order comparison of two numbers by value (ints before floats when equal). */
int qx_compare_numbers(TAGGED a, TAGGED b);

/* ---- bignums: limbs least significant first, two's complement, minimal length ---- */
/* Writes the boxed bignum (or one-limb box) of a digit text (optional leading '-') at dest,
 * not past limit; nonzero when it does not fit. */
int bn_from_string(const char *text, TAGGED *dest, TAGGED *limit, int base);
/* A bignum from n little-endian two's-complement bytes at top: 0, or the cells missing. */
int bn_from_bytes(const unsigned char *bytes, size_t n, TAGGED *top, TAGGED *limit);
/* Bytes of a bignum into buf; 0 when *size is too small (*size then holds the need). */
int bn_to_bytes(TAGGED bignum, unsigned char *buf, size_t *size);
/* Compare two integer terms (small or boxed). */
int bn_compare(TAGGED a, TAGGED b);
/* The minimal-length integer term for limbs (normalised; may become a small integer). */
TAGGED bn_make(worker *w, const uint32_t *limbs, int nlimbs);

/* ---- text ---- */
/* Shared scratch buffer used by the number printers. */
char *qx_scratch(size_t size);
TAGGED qx_string_to_number(worker *w, const char *text, int base, int *status);
const char *qx_number_to_string(TAGGED number, int base, TAGGED options);
const char *format_float(int letter, int precision, double value);
double ieee_atof(const char *text, int *error);
char *qx_ltostr(int64_t value, int base, char *buffer);

#endif
