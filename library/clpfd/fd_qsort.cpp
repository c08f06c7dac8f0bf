/* The kernel's own sorting instance: arrays of longs, ascending. */
#include "fd.h"
#include "fd_qsort.h"

static int cmp_asc_long(const long *a, const long *b) { return *a < *b ? -1 : *a > *b ? 1 : 0; }

static void fd_qsort_asc_long1(ORVALIS_API_STRUCT *api, long *array, int n)
{
  if (n > 1)
    fd_qsort(api, array, (size_t)n,
             [](const long *a, const long *b) { return cmp_asc_long(a, b); });
}

void fd_qsort_asc_long(ORVALIS_API_STRUCT *api, long *array, int n)
{
  fd_qsort_asc_long1(api, array, n);
}
