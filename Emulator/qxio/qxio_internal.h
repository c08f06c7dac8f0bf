/* Internal declarations shared by the files of the I/O library (not for its clients). */
#ifndef QXIO_INTERNAL_H
#define QXIO_INTERNAL_H

#include "qxio.h"

/* ---- allocator ---- */

/* Round up to a multiple of 4 bytes, the unit of buffer capacities. */
#define QXIO_ROUND4(n) (((n) + 3u) & ~(size_t)3u)

/* ---- buffers ---- */

/* Items (of 4 bytes) in a buffer of default capacity; set by qxio_init_buf. */
size_t qxio_buf_default_items(void);

/* ---- transforming layers ---- */

/* close of a transforming layer: the requested sides below, then its own; pops and destroys
   the layer once neither side remains. */
qxio_t_error_code qxio_layer_close_sides(QXIO *slot, uint32_t options);
/* pop of a transforming layer of class funcs: syncs both sides, then pops and destroys it. */
qxio_t_error_code qxio_layer_sync_pop(const qxio_t_funcs *funcs, QXIO *slot, uint32_t options);

/* ---- request queue ---- */

/* Signals the not-empty condition of a queue; qxio_cond_var_signal unless a test replaces it. */
typedef qxio_t_error_code (*qxio_t_queue_signal_fun)(qxio_t_cond_var *cond, qxio_t_mutex *mutex,
                                                     uint32_t options);
extern qxio_t_queue_signal_fun qxio_queue_signal;

/* ---- descriptors ---- */

/* A descriptor the library made for its own use, moved to 3 or above when it took one of the
   numbers 0 to 2 (free because the process runs with a standard stream closed), where it
   would pass for a standard stream to whatever uses that number later. Close-on-exec is
   kept. Answers the descriptor, or -1 with errno set and the original closed. */
int qxio_fd_move_above_std(int fd);
/* pipe2 with flags, both ends moved as by qxio_fd_move_above_std: 0, or -1 with errno set
   and nothing left open. */
int qxio_pipe_above_std(int ends[2], int flags);

/* ---- events ---- */

/* A self-pipe without an event class (the interrupt module's); a closed end holds -2. */
typedef struct qxio_t_event_raw {
  int pipe[2];
  /* Counts the sets; a waiter that finds the pipe readable reads it, so that what the setter
     wrote before setting is visible to the waiter in the memory model, not only in fact. */
  unsigned sets;
} qxio_t_event_raw;

qxio_t_error_code qxio_event_raw_new(qxio_t_event_raw **raw_out);
qxio_t_error_code qxio_event_raw_free(qxio_t_event_raw *raw);
qxio_t_error_code qxio_event_raw_set(qxio_t_event_raw *raw);
qxio_t_error_code qxio_event_raw_reset(qxio_t_event_raw *raw);
/* 0 when signalled, else QXIO_E_TIMEOUT or an error; a null time-out waits without limit. */
qxio_t_error_code qxio_event_raw_wait(qxio_t_event_raw *raw, const qxio_t_timespec *timeout);
/* Writes the byte 1 to a pipe's write end (a full pipe counts as success); async-signal-safe. */
qxio_t_error_code qxio_event_pipe_write(int fd);
/* Adds a reference (an event carries at most three). */
qxio_t_error_code qxio_event_add_ref(qxio_t_event *event);
/* How waits are made, as read at module start. */
typedef struct qxio_t_event_pipe_settings {
  int use_poll;           /* poll, else select */
  int timeout_loop;       /* waits without time-out run in slices */
  long timeout_loop_usec; /* the slice */
} qxio_t_event_pipe_settings;
void qxio_event_pipe_get_settings(qxio_t_event_pipe_settings *settings_out);
/* Stops the event listener, if any (module stop). */
qxio_t_error_code qxio_event_listener_shutdown(void);

/* ---- tasks ---- */

/* Waits until the task has ended, waiting on through interrupts of a main-thread wait. */
qxio_t_error_code qxio_task_wait_end(qxio_t_task *task);

/* ---- streams ---- */

/* Whether an abortive close skips the sync before it (QXIO_SKIP_ABORTIVE_SYNC, read at start). */
void qxio_stream_set_skip_abortive_sync(int skip);
/* Makes a null stream on an empty slot: input (QXIO_STD_INPUT) reads end of file, output and
   error streams take and discard everything. */
qxio_t_error_code qxio_null_stream_new(QXIO *slot, uint32_t which);

/* ---- interrupts ---- */

/* Number of qxio_interrupt calls since the process started; a main-thread wait that sees it
   change returns QXIO_E_INTERRUPTED. */
unsigned qxio_interrupt_count(void);

/* ---- system properties and environment ---- */

/* Size in bytes of a compact environment's block. */
size_t qxio_compact_env_size(char *const *block);

/* ---- UTF-8 helpers ---- */

/* Sequence length announced by each lead byte: 1 to 6, or 0 for a byte that starts none. */
extern const uint8_t qxio_utf8_sequence_length[256];

#endif
