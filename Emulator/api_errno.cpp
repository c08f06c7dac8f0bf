/* The API error number and its texts. */
#include "orvalis.h"

int qxerrno = 0;

int QX_get_errno(void) { return qxerrno; }

void qx_set_errno(int n) { qxerrno = n; }

const char *QX_error_message(int n)
{
  static const char *const texts[] = {
      "",
      "Prolog Runtime Kernel not initialized",
      "Invalid predicate definition",
      "Failed to load bootfile (qxrt.ql or qxds.ql)",
      "Predicate not found",
      "Failed to boot Prolog",
      "No or invalid query given",
      "Null string given",
      "Invalid action",
      "Invalid inquiry",
      "Uncaught exception",
      "Type error",
      "Domain error",
      "Invalid number",
      "Invalid string",
      "System error",
      "Unknown error",
      "Unknown error", /* 17 has no text of its own */
      "Memory Initialization Error",
      "Boot file of the wrong kind",
  };
  if (n < 0 || n >= (int)(sizeof texts / sizeof texts[0])) return texts[QX_ERR_UNKNOWN];
  return texts[n];
}
