/* Term support: standard order, list and code conversions. */
#ifndef QX_TERMOPS_H
#define QX_TERMOPS_H

#include <cstddef>
#include <cstdint>

#include "datadefs.h"

/* Standard order (negative, 0, positive): variables by address, then numbers by value (a float
 * before an integer of the same value), atoms by code points, compounds by arity, name and then
 * arguments from left to right. Iterative: the depth of the terms is not limited. */
int compare_terms(worker *w, TAGGED t1, TAGGED t2);

/* Length of a proper list; QX_LIST_PARTIAL when it ends in an unbound variable, QX_LIST_NOT_LIST
 * for anything else (a cyclic list included). */
constexpr long QX_LIST_PARTIAL = -1;
constexpr long QX_LIST_NOT_LIST = -2;
long list_length(TAGGED t);

/* Flags of qx_list_to_codes and its negative answers. */
constexpr int QX_CODES_CHARS = 1;   /* elements may also be one-character atoms */
constexpr int QX_CODES_PARTIAL = 2; /* an unbound tail ends the list */
constexpr int QX_CODES_NOT_LIST = -1;
constexpr int QX_CODES_BAD_ELEMENT =
    -2; /* neither a code (non-negative small integer) nor allowed char */
constexpr int QX_CODES_NO_MEMORY = -3;
/* The codes of a list in a new QX_malloc array (the caller frees it; none for an empty list):
 * the count, or a negative QX_CODES_ answer. */
int qx_list_to_codes(TAGGED list, int32_t **array, int flags);
/* Encodes the list's codes into buffer while they fit in n bytes; *count = bytes written. Answers
 * the rest of the list (the term itself when it is not a list), or 0 when an element read is not a
 * code. No NUL is added. */
TAGGED qx_list_to_n_codes(TAGGED list, size_t n, size_t *count, char *buffer);
/* 1 and the NUL-terminated text when term is a proper code list, else 0. mode 0: the text lives
 * in the shared scratch buffer (numbers.h) until its next use; mode 1: a new QX_malloc block. */
int qx_list_to_string(TAGGED term, int mode, char **text);
/* The list of the codes of the first n bytes of text (internal encoding; a byte that starts no
 * complete sequence stands for itself) ending in tail. Makes its own heap room: term[0..live-1]
 * are kept, term[live] is used to keep the tail. */
TAGGED qx_n_codes_to_list(worker *w, size_t n, const char *text, TAGGED tail, int live = 0);
/* The list of n codes, as integers (as_codes 1) or one-character atoms (0), ending in tail; first
 * makes room for 5n + 129 + extra words (term[0..live-1] kept, term[live] used for the tail);
 * n = 0 answers tail; 0 when a code has no character atom. */
TAGGED qx_n_ints_to_list(worker *w, size_t n, const int32_t *codes, TAGGED tail, int as_codes,
                         uint32_t extra, int live);

/* MD5 message digest (RFC 1321). */
struct MD5_CTX {
  uint32_t state[4];
  uint32_t count[2]; /* bits, low word first */
  unsigned char buffer[64];
};
void MD5Init(MD5_CTX *context);
void MD5Update(MD5_CTX *context, const unsigned char *input, size_t length);
void MD5Final(unsigned char digest[16], MD5_CTX *context);

#endif
