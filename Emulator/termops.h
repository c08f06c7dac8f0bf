/* Term support: standard order, list and code conversions. */
#ifndef QX_TERMOPS_H
#define QX_TERMOPS_H

#include <cstddef>
#include <cstdint>

#include "datadefs.h"

int compare_terms(worker *w, TAGGED t1, TAGGED t2);
long list_length(TAGGED t);
int qx_list_to_codes(TAGGED list, int32_t **array, int flags);
TAGGED qx_list_to_n_codes(TAGGED list, size_t n, size_t *count, char *buffer);
int qx_list_to_string(TAGGED term, int mode, char **text);
TAGGED qx_n_codes_to_list(worker *w, size_t n, const char *text, TAGGED tail);
TAGGED qx_n_ints_to_list(worker *w, size_t n, const int32_t *codes, TAGGED tail, int as_codes,
                         uint32_t extra, int live);

#endif
