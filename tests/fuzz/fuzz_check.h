/* The property check of the fuzz targets: a failed one names itself and aborts, which libFuzzer
 * reports as a crash and saves the input for. */
#ifndef QX_FUZZ_CHECK_H
#define QX_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define CHECK(cond)                                                                                \
  do {                                                                                             \
    if (!(cond)) {                                                                                 \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond);             \
      std::abort();                                                                                \
    }                                                                                              \
  } while (0)

#endif
