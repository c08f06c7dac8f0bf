/* Prolog streams: the node that every stream read or written by Prolog or native code is, over an
 * I/O-library stream. The node's address is the stream's identity; every use first checks that
 * it is a live node of the ring of all streams.
 *
 * The public pointer pairs at the head of the node make the common get and put an inline compare,
 * load or store, and increment; the functions here are the slow paths taken at buffer boundaries.
 * Counting is deferred: items are counted in bulk when a buffer is refilled or flushed, or when
 * the counters are asked for.
 */
#ifndef QX_STREAMS_H
#define QX_STREAMS_H

#include <cstdarg>
#include <cstdint>

#include "datadefs.h"
#include "qxio.h"
#include "qxio/qxio_simple_device.h"

struct qx_t_public_stream_fields_ {
  struct {
    unsigned char *ptr, *limit;
  } input_binary, output_binary;
  struct {
    uint32_t *ptr, *limit;
  } input_text, output_text;
};

struct qx_t_qxio_stream_node_ {
  qx_t_public_stream_fields_ pub;
  uint32_t flags; /* QX_SF_ */
  uint32_t mode;  /* QX_SM_, recomputed from flags by resync_stream_mode */
  qxio_t_buf *input_buf;
  qxio_t_buf *output_buf;
  QXIO qxio; /* null for streams without layers */
  qx_t_qxio_stream_node_ *forward;
  qx_t_qxio_stream_node_ *backward;
  TAGGED filename_atom; /* registered while held; 0 without a name */
  int64_t item_offset;
  size_t buf_items_counted;
  int64_t line_length;
  int64_t newline_count;
  int64_t previous_line_length;   /* before the last counted item; -1 when not available */
  int64_t previous_newline_count; /* likewise */
  int64_t eof_offset;             /* item offset + 1 where end of stream was met, else -1 */
  int64_t unget_offset;           /* no unget while item_offset equals it */
  /* the foreign resource whose code was running when the node was made, or null: its device may
   * call into that resource, so the node is written out and closed before the resource goes */
  const struct qx_open_resource *owner;
};
typedef qx_t_qxio_stream_node_ QX_stream;

/* Node flags. */
constexpr uint32_t QX_SF_INPUT = 0x1;
constexpr uint32_t QX_SF_OUTPUT = 0x2;
constexpr uint32_t QX_SF_APPEND = 0x4;
constexpr uint32_t QX_SF_BINARY = 0x8;
constexpr uint32_t QX_SF_TEXT = 0x10;
constexpr uint32_t QX_SF_INTERACTIVE = 0x80;
constexpr uint32_t QX_SF_AUTOFLUSH = 0x100;
constexpr uint32_t QX_SF_WRITING_TERM = 0x800; /* a primitive term write is under way */
constexpr uint32_t QX_SF_AT_EOF = 0x1000;
constexpr uint32_t QX_SF_PAST_EOF = 0x2000;
constexpr uint32_t QX_SF_NO_QXIO = 0x4000;
constexpr uint32_t QX_SF_ENCODING_DETECTED = 0x8000;
constexpr uint32_t QX_SF_CAN_SEEK = 0x10000;
constexpr uint32_t QX_SF_EOF_CODE = 0x20000;
constexpr uint32_t QX_SF_EOF_RESET = 0x40000;
constexpr uint32_t QX_SF_CLOSE_CLEANUP = 0x80000;
constexpr uint32_t QX_SF_HIDDEN = 0x100000;
constexpr uint32_t QX_SF_STANDARD = 0x200000;
constexpr uint32_t QX_SF_READ_LISTENER = 0x400000;
constexpr uint32_t QX_SF_IN_CRLF = 0x800000;
constexpr uint32_t QX_SF_IN_AUTO = 0x1000000;
constexpr uint32_t QX_SF_OUT_CRLF = 0x2000000;
constexpr uint32_t QX_SF_OUT_AUTO = 0x4000000;

/* Mode word bits (what Prolog code tests). */
constexpr uint32_t QX_SM_ALWAYS = 0x1;
constexpr uint32_t QX_SM_INPUT = 0x2;
constexpr uint32_t QX_SM_OUTPUT = 0x4;
constexpr uint32_t QX_SM_INTERACTIVE = 0x8;
constexpr uint32_t QX_SM_STANDARD = 0x10;
constexpr uint32_t QX_SM_APPEND = 0x20;
constexpr uint32_t QX_SM_HIDDEN = 0x40;
constexpr uint32_t QX_SM_CAN_SEEK = 0x100;
constexpr uint32_t QX_SM_EOF_CODE = 0x200;
constexpr uint32_t QX_SM_EOF_RESET = 0x400;
constexpr uint32_t QX_SM_BINARY = 0x800;
constexpr uint32_t QX_SM_CLOSE_CLEANUP = 0x1000;
constexpr uint32_t QX_SM_TEXT = 0x4000;
constexpr uint32_t QX_SM_AUTOFLUSH = 0x8000;
constexpr uint32_t QX_SM_QUIET =
    0x40000; /* stream_to_ptr: record nothing on failure (no mode bit) */

/* Options of QX_create_qxio_stream. */
constexpr uint32_t QX_SC_INPUT = 0x1;
constexpr uint32_t QX_SC_OUTPUT = 0x2;
constexpr uint32_t QX_SC_APPEND = 0x4;
constexpr uint32_t QX_SC_BINARY = 0x8;
constexpr uint32_t QX_SC_TEXT = 0x10;
constexpr uint32_t QX_SC_INTERACTIVE = 0x20;
constexpr uint32_t QX_SC_AUTOFLUSH = 0x40;
constexpr uint32_t QX_SC_HIDDEN = 0x80;
constexpr uint32_t QX_SC_NO_QXIO = 0x100;
constexpr uint32_t QX_SC_EOF_CODE = 0x200;
constexpr uint32_t QX_SC_EOF_RESET = 0x400;
constexpr uint32_t QX_SC_STANDARD = 0x800;

/* ---- nodes, the ring, the standard streams (streams.cpp) ---- */
int QX_create_qxio_stream(QXIO *qxio_slot_or_null, QX_stream **stream, uint32_t options);
void resync_stream_mode(QX_stream *stream);
QX_stream *find_stream(QX_stream *stream);
/* The node a Prolog term names, or null with the error recorded (nothing with QX_SM_QUIET). */
QX_stream *stream_to_ptr(TAGGED term, uint32_t required, uint32_t forbidden);
int QX_next_stream(QX_stream *stream, QX_stream **next);
QX_stream *QX_get_stdin(void);
QX_stream *QX_get_stdout(void);
QX_stream *QX_get_stderr(void);
QX_stream *QX_get_curin(void);
QX_stream *QX_get_curout(void);
typedef QX_stream *(*QX_UserStreamHook)(void *user_data, int which);
typedef void (*QX_UserStreamPostHook)(void *user_data, int which, QX_stream *stream);
QX_UserStreamHook QX_set_user_stream_hook(QX_UserStreamHook hook, void *user_data);
QX_UserStreamPostHook QX_set_user_stream_post_hook(QX_UserStreamPostHook hook, void *user_data);
void QX_force_interactive(void);
QX_stream *null_stream(uint32_t options);
QX_stream *persistent_null_stream(void);
int init_stream(void);
int deinit_stream(void);
/* Writes out and closes every stream owner made (forced, so that nothing it holds waits for a
 * later close): false when some output was lost (each loss is named on user_error). */
bool qx_close_streams_of(const struct qx_open_resource *owner);
void init_stream_again(void);
/* Node allocation and release (the close of the last side frees through stream_free). */
QX_stream *alloc_stream(void);
void stream_unlink_and_free(QX_stream *stream);
/* The public pointers from the buffers (after any change of a buffer). */
void stream_rederive_pointers(QX_stream *stream);
/* The character set name the standard streams use: the first set and non-empty variable of the
 * list (ending with null), else the system's; a qxio_alloc text, or null. */
int qx_default_charset_name(const char *const *variables, char **name_out);
/* End-of-line mode of a name: QX_EOL_ or QXIO_E_PARAMETER_ERROR. */
enum { QX_EOL_LF = 1, QX_EOL_CRLF = 2, QX_EOL_AUTO = 3 };
int eol_type(const char *name, const char *default_name);
/* Pushes the coder layer (options QX_PE_ of stream_open.cpp); 30001 when the read encoding was
 * detected from the file, 0, or an error. */
int qxio_push_encoding(QXIO *qxio_slot, qxio_t_coder_funcs *read_class,
                       qxio_t_coder_funcs *write_class, uint32_t options);

/* ---- reading, writing, counting (stream_io.cpp) ---- */
int qx_get_code_helper(QX_stream *stream, uint32_t options);
int qx_get_byte_helper(QX_stream *stream, uint32_t options);
int qx_put_code_helper(QX_stream *stream, int32_t code, uint32_t options);
int qx_put_byte_helper(QX_stream *stream, int32_t byte, uint32_t options);
int QX_put_codes(QX_stream *stream, const uint32_t *codes, size_t n, uint32_t options);
int QX_put_bytes(QX_stream *stream, const unsigned char *bytes, size_t n, uint32_t options);
int QX_put_encoded_string(QX_stream *stream, const char *text, uint32_t options);
int QX_printf(const char *format, ...);
int QX_fprintf(QX_stream *stream, const char *format, ...);
int qx_ttyprintf(const char *format, ...);
int qx_flush_output(QX_stream *stream, uint32_t options);
int QX_flush_output(QX_stream *stream, uint32_t options);
int qx_ttyflush(void);
void qx_flush_autoflush_streams(QX_stream *except);
int QX_get_stream_counts(QX_stream *stream, int64_t *offset, int64_t *lines, int64_t *line_position,
                         uint32_t options);
int QX_unget_code(QX_stream *stream, int32_t code);
int QX_unget_byte(QX_stream *stream, int32_t byte);
void sync_stream_counters(QX_stream *stream, bool merge);
int flush_output_buffer(QX_stream *stream, uint32_t options);
/* Autoflush step of the output built-ins: flushes a node with autoflush unless suppressed. */
int qx_autoflush(QX_stream *stream);
void qx_read_autoflush_settings(void);
/* Empties both buffers and restores the counters of a fresh node. */
void stream_reset_state(QX_stream *stream);
typedef void (*QX_ErrprintfHook)(void *user_data, int level, const char *format, va_list args);
QX_ErrprintfHook QX_set_errprintf_hook(QX_ErrprintfHook hook, void *user_data);
void errprintf(int level, const char *format, ...);
void qx_qxio_trace_line(const char *function, const char *file, int line, const char *message,
                        long value, const char *text, int level);
const char *qx_qxio_error_name(int code);
[[noreturn]] void qx_qxio_debug_break(const char *file, int line);
int qx_qxio_assert_failure(const char *function, const char *file, int line);

/* ---- opening, closing, repositioning (stream_open.cpp) ---- */
constexpr uint32_t QX_FO_READ = 0x1;
constexpr uint32_t QX_FO_WRITE = 0x2;
constexpr uint32_t QX_FO_APPEND = 0x4;
constexpr uint32_t QX_FO_BINARY = 0x8;
constexpr uint32_t QX_FO_TEXT = 0x10;
constexpr uint32_t QX_FO_INTERACTIVE = 0x20;
constexpr uint32_t QX_FO_REPOSITION = 0x40;
constexpr uint32_t QX_FO_AUTOFLUSH = 0x80;
constexpr uint32_t QX_FO_NO_EXPAND = 0x100;
constexpr uint32_t QX_FO_EXCLUSIVE = 0x200;
constexpr uint32_t QX_FO_URL = 0x400;
constexpr uint32_t QX_FO_ENCODING_TERM = 0x2000;
constexpr uint32_t QX_FO_ENCODING_REF = 0x4000;
constexpr uint32_t QX_FO_HIDDEN = 0x10000;
/* encoding: a term (QX_FO_ENCODING_TERM), a term reference (QX_FO_ENCODING_REF) or unused. */
int qx_fopen_internal(const char *path, uint32_t options, TAGGED encoding, QX_stream **stream);
int QX_fopen(const char *path, void *reserved, uint32_t options, QX_stream **stream);
/* The opener of URL names (url_objects.cpp): a read-only byte stream over a data resource, or
 * QXIO_E_INVALID_NAME, QXIO_E_NOT_SUPPORTED, QXIO_E_PERMISSION_ERROR, QXIO_E_PARAMETER_ERROR,
 * QXIO_E_FILE_NOT_FOUND, QXIO_E_OUT_OF_MEMORY or the device's error. The name is the
 * "pathname" property; options are the QXIO_OPEN_ bits. */
int qxio_open_url(QXIO *stream_out, const qxio_t_arglist *properties, uint32_t options);
constexpr uint32_t QX_FC_FORCE = 0x1;
constexpr uint32_t QX_FC_INPUT = 0x2;
constexpr uint32_t QX_FC_OUTPUT = 0x4;
constexpr uint32_t QX_FC_NONBLOCKING = 0x8;
constexpr uint32_t QX_FC_USER_CLASS = 0x10;
constexpr uint32_t QX_FC_STANDARD = 0x20;
constexpr uint32_t QX_FC_FORGET = 0x40;
int qx_fclose_internal(QX_stream *stream, uint32_t options);
int QX_fclose(QX_stream *stream, uint32_t options);
constexpr uint32_t QX_SP_RESET = 0x1;
constexpr uint32_t QX_SP_BOF = 0x2;
constexpr uint32_t QX_SP_CURRENT = 0x4;
constexpr uint32_t QX_SP_EOF = 0x8;
int set_stream_position(QX_stream *stream, int64_t item_offset, int64_t newline_count,
                        int64_t line_length, uint32_t options);
void set_stream_encoding_bits(QX_stream *stream, uint32_t read_bits, uint32_t write_bits);
/* Pushes the coder layer an encoding term asks for (QX_FO_READ, QX_FO_WRITE and
 * QX_FO_ENCODING_TERM; `[]` or no term: ISO-8859-1) onto a stream over a descriptor that is not
 * repositioned; no byte order mark is read or written. The bits for set_stream_encoding_bits
 * come back. */
int qx_push_encoding_term(QXIO *slot, uint32_t options, TAGGED encoding, uint32_t *read_bits,
                          uint32_t *write_bits);
/* The coders and coder-layer options of a text open (QX_FO_ options and encoding as for
 * qx_fopen_internal; preferred, when given and known, is the character set tried first), and
 * their push onto qxio; what is left in the record is released with it. */
struct qx_text_setup {
  QXIO qxio = nullptr;
  qxio_t_coder_funcs *read_class = nullptr, *write_class = nullptr;
  uint32_t push = 0;
  bool coders_found = false;
  ~qx_text_setup();
};
int qx_text_setup_find(qx_text_setup *setup, uint32_t options, TAGGED encoding,
                       const char *preferred);
int qx_text_setup_push(qx_text_setup *setup, uint32_t *read_bits, uint32_t *write_bits);

/* ---- built-ins (bi_streams.cpp) ---- */
void save_qxio_error(int code, bool output_variant, TAGGED culprit);
int raise_qxio_error(int code, bool output_variant, const char *predicate_name, int arity,
                     int argument);
/* How many times a stream built-in started again after a signal interrupted it. */
extern uint32_t qx_stream_retries;
/* Runs pending signal handlers and events (the query true/0) after an interrupted read: 1 go on,
 * 0 fail, -1 an error or the handler's ball was raised. The argument registers are reused. */
int qx_run_pending_events(const char *name, int arity);
/* The four-word records $save_stream_position/5 writes into: the loading side registers each
 * record under the small integer handle Prolog code passes, and removes it when done. */
int qx_register_position_record(int32_t handle, int32_t *words);
void qx_unregister_position_record(int32_t handle);

/* ---- socket streams (stream_socket.cpp) ---- */
/* Options of the socket stream makers. */
constexpr uint32_t QX_SO_TEXT = 0x2;          /* else binary */
constexpr uint32_t QX_SO_ENCODING_TERM = 0x4; /* encoding is an encoding/3 term, else ISO-8859-1 */
constexpr uint32_t QX_SO_UNIX = 0x8;          /* host is a Unix-domain path */
int streams_qxio_sockets_init(uint32_t options);
/* A read-write stream over a connected socket; the descriptor is closed when this fails. */
int qx_open_socket_stream(int fd, TAGGED encoding, QX_stream **stream, uint32_t options);
int qx_socket_connect_stream(const char *host, const char *service, TAGGED encoding,
                             QX_stream **stream, uint32_t options);
int QX_open_socket_stream(const char *host, const char *service, TAGGED encoding,
                          QX_stream **stream, uint32_t options);

/* ---- streams over memory buffers (stream_memory.cpp) ---- */
/* Called once when a memory device goes away, with the device's close options; a negative
 * answer fails an unforced close. */
typedef int (*qx_memory_close_fn)(void *cookie, uint32_t options);
constexpr uint32_t QX_MD_OWN_BUFFER = 0x1; /* the device frees the buffer when it goes */
constexpr uint32_t QX_MD_READABLE = 0x2;
constexpr uint32_t QX_MD_WRITABLE = 0x4;
constexpr uint32_t QX_MD_BYTES = 0x8; /* a byte device; else one of 32-bit codes */
/* A device that reads buffer from its start and appends to it: 0 or a negative code. */
int qx_create_qxio_device(QXIO *slot, qxio_t_buf *buffer, void *cookie, qx_memory_close_fn callback,
                          uint32_t options);
int qx_create_qxio_byte_device(QXIO *slot, qxio_t_buf *buffer, void *cookie,
                               qx_memory_close_fn callback, uint32_t options);
/* A read-only text stream over internal-encoding text (not copied: it must outlive the
 * stream): 1, or 0 when the text is malformed or a step fails. */
int QX_stream_from_string(const char *text, QX_stream **stream);
/* ---- pipe, tunnelled, user-defined and descriptor streams (stream_pipe.cpp, stream_user.cpp) ---- */
/* Two streams over one in-process buffer; an encoding name (may be null) makes that end text. */
constexpr uint32_t QX_PIPE_STANDARD = 0x1;
int qx_create_pipe(const char *read_encoding, QX_stream **read_stream, const char *write_encoding,
                   QX_stream **write_stream, uint32_t options);
/* A text output stream whose text goes as "TUNNEL APPEND" lines over tunnel. */
constexpr uint32_t QX_TUNNEL_INTERACTIVE = 0x2;
constexpr uint32_t QX_TUNNEL_STANDARD = 0x4;
int qx_create_tunneled_stream(QX_stream *tunnel, const char *name, QX_stream **stream,
                              uint32_t options);
constexpr uint32_t QX_CS_BINARY = 0x1;
constexpr uint32_t QX_CS_TEXT = 0x2;
constexpr uint32_t QX_CS_INTERACTIVE = 0x4;
constexpr uint32_t QX_CS_AUTOFLUSH = 0x8;
constexpr uint32_t QX_CS_EOF_CODE = 0x10;
constexpr uint32_t QX_CS_EOF_RESET = 0x20;
int QX_create_stream(void *user_data, const void *user_class, qxio_t_user_read read,
                     qxio_t_user_write write, qxio_t_user_flush_output flush_output,
                     qxio_t_user_seek seek, qxio_t_user_close close,
                     qxio_t_user_interrupt interrupt, qxio_t_user_ioctl ioctl,
                     const qxio_t_arglist *args, uint32_t options, QX_stream **stream);
int QX_get_stream_user_data(QX_stream *stream, const void *user_class, void **user_data);
constexpr uint32_t QX_OS_READ = 0x1;
constexpr uint32_t QX_OS_WRITE = 0x2;
constexpr uint32_t QX_OS_BINARY = 0x4;
constexpr uint32_t QX_OS_TEXT = 0x8;
constexpr uint32_t QX_OS_NOT_OWNED = 0x20;
constexpr uint32_t QX_OS_SEQUENTIAL = 0x40;
constexpr uint32_t QX_OS_AUTOFLUSH = 0x80;
constexpr uint32_t QX_OS_FALLBACK_INVALID = 0x100;
constexpr uint32_t QX_OS_FALLBACK_REPLACE = 0x800;
constexpr uint32_t QX_OS_READ_BOM = 0x1000;
constexpr uint32_t QX_OS_WRITE_BOM = 0x4000;
constexpr uint32_t QX_OS_WRITE_BOM_IF_CALLED_FOR = 0x8000;
constexpr uint32_t QX_OS_REPOSITION = 0x10000;
constexpr uint32_t QX_OS_PREFER_OS_CHARSET = 0x20000;
constexpr uint32_t QX_OS_ENCODING_TERM = 0x40000;
/* encoding: an encoding(Name, Bom, Eol) term with QX_OS_ENCODING_TERM, else unused. On failure
 * the descriptor stays open and the caller's. */
int QX_create_os_stream(int fd, QX_stream **stream, TAGGED encoding, uint32_t options);

/* ---- select, idle hooks, stream listeners (stream_select.cpp) ---- */
int QX_select(int *read_fds, size_t *n_read_fds, int *write_fds, size_t *n_write_fds,
              QX_stream **read_streams, size_t *n_read_streams, QX_stream **write_streams,
              size_t *n_write_streams, const qxio_t_timespec *timeout, uint32_t options);
int qx_stream_select(int *read_fds, size_t *n_read_fds, int *write_fds, size_t *n_write_fds,
                     QX_stream **read_streams, size_t *n_read_streams, QX_stream **write_streams,
                     size_t *n_write_streams, const qxio_t_timespec *timeout, uint32_t options);
/* 30000 at end of stream, the item, or an error (QXIO_E_WOULD_BLOCK: not ready). */
int poll_read_stream(QX_stream *stream);
/* 0 or 30000 when output can go on now, else an error. */
int poll_write_stream(QX_stream *stream);
typedef int (*QX_IdleHook)(void *cookie);
constexpr uint32_t QX_IDLE_REMOVE = 0x1;
int QX_install_idle_hook(QX_IdleHook hook, void *cookie, uint32_t options);
/* One round of the idle loop of an interactive read that would block: passes over the hooks
 * until a pass does no work (then a short wait) or ten passes did; 1 when hooks ran, 0 when there
 * are none, or QXIO_E_INTERRUPTED. */
int qx_run_idle_hooks(void);
bool qx_idle_hooks_exist(void);
constexpr uint32_t QX_LISTEN_INPUT = 0x1;
int QX_add_stream_listener(QX_stream *stream, qxio_t_event_listener listener, void *cookie,
                           uint32_t options);
/* Stream event listeners: told 2 when a stream was closed (after its node was freed) and 1 when
 * they are released at shutdown. */
enum { QX_STREAM_EVENT_RELEASED = 1, QX_STREAM_EVENT_CLOSED = 2 };
typedef void (*qx_stream_event_listener)(QX_stream *stream, void *cookie, int event);
constexpr uint32_t QX_SEL_IN_FRONT = 0x1;
int add_stream_event_listener(qx_stream_event_listener listener, void *cookie, uint32_t options);
int remove_stream_event_listener(void *cookie);
void init_stream_event_listeners(void);
void free_stream_event_listeners(void);
void qx_notify_stream_closed(QX_stream *stream);
/* Stops the readable-event listener of a stream whose input side closes. */
void qx_drop_read_listener(QX_stream *stream);
void qx_os_signal_delivered(void);

/* ---- development-environment link (devlink.cpp) ---- */
/* Action 1 switches the debugger on at the next call (answers 1); others set error 8, answer 0. */
int qx_action(int action, void *argument);
void debugger_trap(void);
bool qx_debugger_trap_pending(void);
void qx_reset_debugger_trap(void);

#endif
