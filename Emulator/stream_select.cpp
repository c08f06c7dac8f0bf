/* Waiting on streams: the notifier that the engine's signal handler calls. */
#include "orvalis.h"
#include "qxio.h"

/* Runs inside a signal handler: qxio_interrupt only records the interrupt and writes a byte to
 * a self-pipe, and the library's interrupt thread then ends the main thread's blocked wait. */
void qx_os_signal_delivered(void) { qxio_interrupt(); }
