/* The public embedding API: what native code (the launcher, foreign resources, the stream
 * built-ins, the solver) calls to reach the engine.
 *
 * Functions answer 1 for success and 0 for failure (query functions 1, 0 or -1; lookups null)
 * and set the API error number on failure, leaving it unchanged on success. Texts crossing the
 * API are in the internal encoding.
 */
#ifndef QX_ORVALIS_H
#define QX_ORVALIS_H

#include "datadefs.h"

/* ---- API error numbers ---- */
enum {
  QX_ERR_NONE = 0,
  QX_ERR_NOT_INITIALIZED = 1,
  QX_ERR_INVALID_DEFINITION = 2,
  QX_ERR_BOOTFILE = 3,
  QX_ERR_NO_PREDICATE = 4,
  QX_ERR_BOOT = 5,
  QX_ERR_QUERY = 6,
  QX_ERR_NULL_STRING = 7,
  QX_ERR_ACTION = 8,
  QX_ERR_INQUIRY = 9,
  QX_ERR_EXCEPTION = 10,
  QX_ERR_TYPE = 11,
  QX_ERR_DOMAIN = 12,
  QX_ERR_NUMBER = 13,
  QX_ERR_STRING = 14,
  QX_ERR_SYSTEM = 15,
  QX_ERR_UNKNOWN = 16,
  QX_ERR_MEMORY_INIT = 18,
  QX_ERR_BOOTFILE_KIND = 19,
};

/* The engine-wide API error number. */
extern int qxerrno;

int QX_get_errno(void);
void qx_set_errno(int n);
/* The text of an API error number; numbers without a text give "Unknown error". */
const char *QX_error_message(int n);

#endif
