/* The link to the development environment: tunnelled output streams over the connection, and an
 * input listener that copies what arrives on the environment's input into a pipe that Prolog
 * reads, turning suspend requests into an interrupt even while Prolog code is busy.
 *
 * The listener's callback runs on the I/O library's listener thread and only posts an engine
 * event; the event reads, buffers and writes on the engine thread, then listens again.
 */
#include <cstring>

#include "atoms.h"
#include "builtins.h"
#include "memman.h"
#include "numbers.h"
#include "objareas.h"
#include "orvalis.h"
#include "streams.h"
#include "unify.h"
#include "wcx.h"

namespace {

bool debugger_trap_pending;

struct qx_t_test_data_ {
  QX_stream *stream;        /* listened to */
  QX_stream *write_pipe;    /* the write end of the pipe Prolog reads */
  qxio_t_buf *bytes;        /* complete lines not yet written to the pipe */
  qxio_t_buf *current_line; /* the line being assembled */
};
typedef qx_t_test_data_ test_data;

int test_event(void *data, int flags);

void free_test_data(test_data *t, bool abortive)
{
  if (find_stream(t->write_pipe)) qx_fclose_internal(t->write_pipe, abortive ? QX_FC_FORCE : 0);
  if (find_stream(t->stream)) qx_fclose_internal(t->stream, QX_FC_INPUT);
  if (t->bytes) qxio_buf_free(t->bytes);
  if (t->current_line) qxio_buf_free(t->current_line);
  QX_free(t);
}

qxio_t_error_code test_listener(void *data, uint32_t)
{
  QX_async_event(test_event, data, 0);
  qxio_interrupt();
  return QXIO_S_DONE;
}

size_t skip_blanks(const char *s, size_t i, size_t n)
{
  while (i < n && (s[i] == ' ' || s[i] == '\t')) i++;
  return i;
}

/* "REQUEST", blanks, digits, blanks and "suspend" ending the line (its line feed left out). */
bool is_suspend_request(const char *line, size_t n)
{
  static const char request[] = "REQUEST", suspend[] = "suspend";
  if (n < sizeof request - 1 || std::memcmp(line, request, sizeof request - 1)) return false;
  size_t i = sizeof request - 1, j = skip_blanks(line, i, n);
  if (j == i) return false;
  for (i = j; i < n && line[i] >= '0' && line[i] <= '9'; i++) {}
  if (i == j) return false;
  j = skip_blanks(line, i, n);
  if (j == i) return false;
  return n - j == sizeof suspend - 1 && !std::memcmp(line + j, suspend, n - j);
}

void suspend_requested()
{
  /* A boolean property: "true" or the engine's "yes" switch it on. */
  char *trace = qxio_get_system_property_allocate("TALPIX_SUSPEND_REQUEST_TRACE", 0);
  int on = 0;
  if (trace && str_to_boolean(trace, &on) < 0) on = !std::strcmp(trace, "true");
  qxio_free(trace);
  if (on)
    qx_action(1, nullptr);
  else
    QX_ctrlc_action();
}

/* Moves the buffered lines into the pipe. */
int forward_lines(test_data *t)
{
  qxio_t_buf *b = t->bytes;
  int rc = QX_put_bytes(t->write_pipe, b->buf, b->extent, 0);
  if (rc < 0) return rc;
  b->extent = 0;
  return QX_flush_output(t->write_pipe, 0);
}

int take_code(test_data *t, int code)
{
  /* The internal encoding is UTF-8 for every Unicode code but 0, which it writes as two bytes. */
  char utf8[6] = {0};
  size_t n = code == 0 ? 1 : (size_t)QX_code_wci(utf8, code);
  qxio_t_buf *line = t->current_line;
  if (qxio_buf_concat_bytes(line, utf8, n) < 0) return QXIO_E_OUT_OF_MEMORY;
  if (code != 10) return 0;
  if (qxio_buf_concat_bytes(t->bytes, line->buf, line->extent) < 0) return QXIO_E_OUT_OF_MEMORY;
  bool request = is_suspend_request((const char *)line->buf, line->extent - 1);
  line->extent = 0;
  if (request) suspend_requested();
  return 0;
}

int test_event(void *data, int flags)
{
  test_data *t = (test_data *)data;
  if (flags & (QX_EVENT_DISCARDED_FAILURE | QX_EVENT_DISCARDED_EXCEPTION)) {
    if (QX_async_event(test_event, data, 0) < 0) free_test_data(t, true);
    return 0;
  }
  if ((flags & QX_EVENT_SHUTDOWN) || !find_stream(t->stream) || !find_stream(t->write_pipe)) {
    free_test_data(t, true);
    return 0;
  }
  for (;;) {
    int code = qx_get_code_helper(t->stream, 0x1);
    if (code == QXIO_E_INTERRUPTED) continue;
    if (code == QXIO_E_WOULD_BLOCK) {
      int rc = forward_lines(t);
      if (rc >= 0) rc = QX_add_stream_listener(t->stream, test_listener, t, QX_LISTEN_INPUT);
      if (rc < 0) free_test_data(t, true);
      return 0;
    }
    if (code == QXIO_E_END_OF_FILE || code == QXIO_E_NET_CONNRESET) {
      bool forwarded = forward_lines(t) >= 0;
      free_test_data(t, !forwarded);
      return 0;
    }
    if (code < 0 || take_code(t, code) < 0) {
      free_test_data(t, true);
      return 0;
    }
  }
}

/* The integer argument i as a non-negative value, or false. */
bool natural_arg(worker *w, int i, int64_t *value)
{
  return qx_get_int64(deref(w->term[i]), value) && *value >= 0;
}

bool unify_stream(worker *w, int i, QX_stream *s)
{
  call_overflow(w, 8, 4);
  return cunify(w, w->term[i], make_integer(w, (int32_t)(intptr_t)s));
}

}  // namespace

void debugger_trap(void) { debugger_trap_pending = true; }

bool qx_debugger_trap_pending(void) { return debugger_trap_pending; }

void qx_reset_debugger_trap(void) { debugger_trap_pending = false; }

int qx_action(int action, void *)
{
  if (action != 1) {
    qx_set_errno(8);
    return 0;
  }
  debugger_trap();
  return 1;
}

int prolog_open_tunnel_stream(worker *w)
{
  QX_stream *tunnel_stream = stream_to_ptr(w->term[0], 0x44004, 0);
  TAGGED name = deref(w->term[1]);
  int64_t options;
  if (!tunnel_stream || !IsAtom(name) || !natural_arg(w, 2, &options)) return 0;
  uint32_t tunnel_options =
      (options & 1 ? QX_TUNNEL_INTERACTIVE : 0) | (options & 2 ? QX_TUNNEL_STANDARD : 0);
  QX_stream *s = nullptr;
  if (qx_create_tunneled_stream(tunnel_stream, atom_name(name), &s, tunnel_options) < 0) return 0;
  if (unify_stream(w, 3, s)) return 1;
  qx_fclose_internal(s, QX_FC_FORCE | QX_FC_STANDARD);
  return 0;
}

int prolog_add_stream_listener(worker *w)
{
  QX_stream *s = stream_to_ptr(w->term[0], 0x40002, 0);
  if (!s) return 0;
  test_data *t = (test_data *)QX_malloc(sizeof(test_data));
  if (!t) return 0;
  *t = {s, nullptr, qxio_buf_alloc(nullptr, 0, 0), qxio_buf_alloc(nullptr, 0, 0)};
  QX_stream *read_pipe = nullptr;
  bool ok = t->bytes && t->current_line &&
            qx_create_pipe("UTF-8", &read_pipe, nullptr, &t->write_pipe, 0) >= 0;
  /* Pipe is bound before listening starts, so that a failed unification leaves nothing. */
  ok = ok && unify_stream(w, 1, read_pipe);
  ok = ok && QX_add_stream_listener(s, test_listener, t, QX_LISTEN_INPUT) >= 0;
  if (ok) return 1;
  if (read_pipe) qx_fclose_internal(read_pipe, QX_FC_FORCE);
  if (t->write_pipe) qx_fclose_internal(t->write_pipe, QX_FC_FORCE);
  if (t->bytes) qxio_buf_free(t->bytes);
  if (t->current_line) qxio_buf_free(t->current_line);
  QX_free(t);
  return 0;
}

const qx_pred_row qx_devlink_rows[] = {
    {"$open_tunnel_stream", prolog_open_tunnel_stream, 4, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$add_stream_listener", prolog_add_stream_listener, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
