/* Small platform helpers shared by the engine and the I/O library. */
#ifndef QX_QXAUX_H
#define QX_QXAUX_H

#include "config.h"

#define QX_LIKELY(x) __builtin_expect(!!(x), 1)
#define QX_UNLIKELY(x) __builtin_expect(!!(x), 0)
#define QX_NORETURN [[noreturn]]
#define QX_ALIGN_UP(x, a) (((x) + ((a)-1)) & ~((a)-1))

#endif
