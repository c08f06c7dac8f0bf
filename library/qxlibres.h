/* The three small library resources linked into the runtime: timeout (a goal under a limit of
 * CPU time), codesio (streams over lists of character codes) and random (the native half of the
 * random-number library).
 *
 * Each resource reaches the engine only through the API struct its entry function is given, and
 * describes its Prolog interface as data (foreign_interface.h). The functions below the entry
 * functions are the resources' predicates and the pieces their tests call directly.
 */
#ifndef QX_LIBRES_H
#define QX_LIBRES_H

#include <sys/time.h>

#include <cstdint>

#include "datadefs.h"
#include "foreign_interface.h"

struct qx_t_qxio_stream_node_;

/* ---- the entry protocol shared by the three resources ---- */

/* Entry functions, of the linked-in type QX_pre_linkage_fn: params is a
 * QX_MAINFUN_PARAMS_STRUCT. 2: a parameter block or a public table of another version; 1: no
 * API struct or public table; 0: tables, init and deinit handed out, flag 8 added. */
int qx_main_QXENV_timeout(void *params);
int qx_main_QXENV_codesio(void *params);
int qx_main_QXENV_random(void *params);

extern const qx_foreign_interface qx_timeout_interface;
extern const qx_foreign_interface qx_codesio_interface;
extern const qx_foreign_interface qx_random_interface;

/* The lowest API version the resources were written against, and its major part (upper half). */
constexpr uint32_t QX_LIBRES_API_VERSION = 0x301C3;
constexpr uint32_t QX_LIBRES_API_MAJOR = 3;

/* What a resource hands out: parallel tables (funcs ended by a null pointer) and plain init and
 * deinit functions taking the reason. */
struct qx_libres_tables {
  void (*const *funcs)();
  const char *const *prednames;
  const int *arities;
  void (*init)(int reason);
  void (*deinit)(int reason);
};
/* The entry step of every resource: checks the block as above, and on success stores the API
 * struct in *api and fills the block from tables. */
int qx_libres_entry(void *params, ORVALIS_API_STRUCT **api, const qx_libres_tables &tables);

/* ---- timeout ---- */

/* Clock ticks per second from the system's answer: 100 when that is below 1. */
long to_ticks_per_second(long clk_tck);
/* The limit in milliseconds that is armed for limit: one above the least limit a tick allows
 * when it is not above that. */
long to_effective_limit(long limit, long ticks);
/* limit milliseconds as whole ticks, rounded up, in seconds and microseconds. */
timeval to_timer_value(long limit, long ticks);

/* $start_timer_a(Deadline, Limit, Result): 0 armed or nothing to do, 1 the deadline has passed,
 * -1 a bad argument or a system error (raised). */
long to_start_timer_a(QX_term_ref deadline, QX_term_ref limit);
/* The expiry of the timer that was running (CPU milliseconds), or the atom off. */
QX_term_ref to_stop_timer_a(void);
long to_timer_now(void);
long to_clocks_per_second(void);

/* ---- codesio ---- */

/* The user data of a code-list stream. */
struct codesio_data {
  uint32_t *buffer;   /* the codes */
  uint32_t direction; /* CODESIO_READ, CODESIO_WRITE; a bit goes when that side closes */
  uint32_t position;  /* read: index of the next code; write: codes held */
  uint32_t count;     /* read: codes in all; write: capacity in codes */
};
constexpr uint32_t CODESIO_READ = 0x1;
constexpr uint32_t CODESIO_WRITE = 0x2;
constexpr uint32_t CODESIO_INITIAL_CAPACITY = 1024;

/* A read stream over the codes of text (internal encoding), or with a null text a write stream:
 * 0, QXIO_E_ERROR for a malformed text, QXIO_E_OUT_OF_MEMORY, or the stream layer's error;
 * *stream is null unless 0. */
int codesio_stream(const char *text, qx_t_qxio_stream_node_ **stream);
int codesio_user_read(void *data, void *buffer, size_t *size, uint32_t options);
int codesio_user_write(void *data, const void *buffer, size_t *size, uint32_t options);
int codesio_user_close(void **data_slot, uint32_t options);

void codes_to_stream(const char *text, void **stream);
void open_buf_stream(void **stream);
void stream_to_codes(void *stream, QX_term_ref codes, QX_term_ref tail);

/* ---- random ---- */

/* The generator state: three Wichmann-Hill seeds and the shift-register word. */
struct zkr_state {
  int32_t x, y, z;
  uint32_t b;
};
void ZKRget(long *x, long *y, long *z, long *b);
long ZKRput(long x, long y, long z, long b);
double ZKRnxt(void);
long ZKRmyb(long p, long q);
long ZKRbit(void);

#endif
