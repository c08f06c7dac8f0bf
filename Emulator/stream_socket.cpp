/* Socket streams: client connections, listening and accepting, and the bidirectional Prolog
 * streams made over connected sockets (a descriptor stream on the thread-backed device, open for
 * reading and writing).
 *
 * Every built-in releases what it made (texts, descriptors, streams) before it reports an error
 * or fails. A descriptor handed to qx_open_socket_stream is the stream's from then on: a failure
 * closes it.
 */
#include <cstdio>
#include <cstring>

#include "atoms.h"
#include "builtins.h"
#include "numbers.h"
#include "objareas.h"
#include "orvalis.h"
#include "streams.h"
#include "unify.h"

int streams_qxio_sockets_init(uint32_t) { return 0; }

int qx_open_socket_stream(int fd, TAGGED encoding, QX_stream **stream, uint32_t options)
{
  QXIO q = nullptr;
  int rc = qxio_layer_async_unix_open_file_handle(&q, fd, QXIO_FD_READ | QXIO_FD_WRITE);
  if (rc < 0) {
    qxio_socket_close(fd, QXIO_SOCKET_CLOSE_ABORTIVE);
    return rc;
  }
  bool text = options & QX_SO_TEXT;
  uint32_t read_bits = 0, write_bits = 0;
  if (text) {
    uint32_t push =
        QX_FO_READ | QX_FO_WRITE | (options & QX_SO_ENCODING_TERM ? QX_FO_ENCODING_TERM : 0);
    rc = qx_push_encoding_term(&q, push, encoding, &read_bits, &write_bits);
  }
  QX_stream *s = nullptr;
  if (rc >= 0)
    rc = QX_create_qxio_stream(&q, &s,
                               QX_SC_INPUT | QX_SC_OUTPUT | (text ? QX_SC_TEXT : QX_SC_BINARY));
  if (rc < 0) {
    qxio_close(&q, QXIO_CLOSE_ABORTIVE);
    return rc;
  }
  set_stream_encoding_bits(s, read_bits, write_bits);
  *stream = s;
  return 0;
}

int qx_socket_connect_stream(const char *host, const char *service, TAGGED encoding,
                             QX_stream **stream, uint32_t options)
{
  int fd = -1;
  int rc =
      qxio_socket_connect(host, service, &fd, options & QX_SO_UNIX ? QXIO_SOCKET_CONNECT_UNIX : 0);
  if (rc < 0) return rc;
  return qx_open_socket_stream(fd, encoding, stream, options & (QX_SO_TEXT | QX_SO_ENCODING_TERM));
}

int QX_open_socket_stream(const char *host, const char *service, TAGGED encoding,
                          QX_stream **stream, uint32_t options)
{
  return qx_socket_connect_stream(host, service, encoding, stream, options);
}

namespace {

/* Options of the built-ins: the stream's kind and the node flags added to it. */
constexpr int64_t SO_STANDARD = 0x10;
constexpr int64_t SO_EOF_CODE = 0x200;
constexpr int64_t SO_EOF_RESET = 0x400;
constexpr int64_t SO_BINARY = 0x800;
constexpr int64_t SO_CLOSE_CLEANUP = 0x1000;
constexpr int64_t SO_TEXT = 0x4000;
constexpr int64_t SO_AUTOFLUSH = 0x8000;
/* A two-bit field; its value 3 asks for a Unix-domain socket, 0 to 2 for nothing. */
constexpr int64_t SO_FIELD = 0x300000;
constexpr int64_t SO_LISTENER_BITS = 0xF; /* passed to qxio_socket_listener */
/* A port is written in decimal or named; the text and its NUL fit the listener's buffer. */
constexpr size_t PORT_TEXT_MAX = 31;

struct socket_call {
  worker *w;
  const char *name;
  int arity;
  bool output_variant;
  int raise(int code) const { return raise_qxio_error(code, output_variant, name, arity, 1); }
};

bool unix_domain(int64_t options) { return (options & SO_FIELD) == SO_FIELD; }

uint32_t added_node_flags(int64_t options)
{
  return (options & SO_STANDARD ? QX_SF_STANDARD : 0) |
         (options & SO_EOF_CODE ? QX_SF_EOF_CODE : 0) |
         (options & SO_EOF_RESET ? QX_SF_EOF_RESET : 0) |
         (options & SO_CLOSE_CLEANUP ? QX_SF_CLOSE_CLEANUP : 0) |
         (options & SO_AUTOFLUSH ? QX_SF_AUTOFLUSH : 0);
}

/* The options integer: QXIO_E_INTERNAL_ERROR when not an integer, QXIO_E_PARAMETER_ERROR when
 * negative. */
int options_arg(TAGGED t, int64_t *options)
{
  if (!qx_get_int64(deref(t), options)) return QXIO_E_INTERNAL_ERROR;
  return *options < 0 ? QXIO_E_PARAMETER_ERROR : 0;
}

/* The stream options of qx_open_socket_stream from the built-in's options and encoding; binary
 * wins when both kinds are given. */
int stream_kind(int64_t options, TAGGED encoding, uint32_t *out)
{
  if (!(options & (SO_BINARY | SO_TEXT))) return QXIO_E_PARAMETER_ERROR;
  *out = (options & SO_BINARY ? 0 : QX_SO_TEXT) |
         (deref(encoding) == atom_nil ? 0 : QX_SO_ENCODING_TERM) |
         (unix_domain(options) ? QX_SO_UNIX : 0);
  return 0;
}

/* The text of a port: an atom names it, an integer is written in decimal; an unbound one is
 * empty (any port) where allowed. */
int port_text(TAGGED t, bool unbound_allowed, char out[PORT_TEXT_MAX + 1])
{
  t = deref(t);
  int64_t number;
  if (IsAtom(t)) {
    const char *name = atom_name(t);
    if (std::strlen(name) > PORT_TEXT_MAX) return QXIO_E_PARAMETER_ERROR;
    std::strcpy(out, name);
  } else if (qx_get_int64(t, &number)) {
    std::snprintf(out, PORT_TEXT_MAX + 1, "%lld", (long long)number);
  } else if (IsVar(t) && unbound_allowed) {
    out[0] = 0;
  } else {
    return QXIO_E_INTERNAL_ERROR;
  }
  return 0;
}

TAGGED text_atom(const char *text)
{
  TAGGED a = init_atom_check(text ? text : "", 0);
  return a ? a : init_atom_check("", 0);
}

/* Adds the node flags the options ask for and unifies the stream argument with the stream;
 * a failed unification closes the stream. */
int finish_stream(worker *w, QX_stream *s, int64_t options, int stream_argument)
{
  s->flags |= added_node_flags(options);
  resync_stream_mode(s);
  call_overflow(w, 8, stream_argument);
  if (cunify(w, w->term[stream_argument - 1], make_integer(w, (int32_t)(intptr_t)s))) return 1;
  qx_fclose_internal(s, QX_FC_FORCE);
  return 0;
}

/* $socket_open(+Host, +Port, +Options, +Encoding, -Stream) */
int prolog_socket_open(worker *w)
{
  socket_call c{w, "$socket_open", 5, true};
  TAGGED host = deref(w->term[0]);
  int64_t options = 0;
  uint32_t kind = 0;
  char port[PORT_TEXT_MAX + 1];
  int rc = IsAtom(host) ? 0 : QXIO_E_INTERNAL_ERROR;
  if (rc >= 0) rc = options_arg(w->term[2], &options);
  if (rc >= 0) rc = port_text(w->term[1], false, port);
  if (rc >= 0) rc = stream_kind(options, w->term[3], &kind);
  QX_stream *s = nullptr;
  if (rc >= 0) rc = qx_socket_connect_stream(atom_name(host), port, w->term[3], &s, kind);
  if (rc < 0) return c.raise(rc);
  return finish_stream(w, s, options, 5);
}

/* $socket_listen(+Host, ?Port, +Options, _, -Socket) */
int prolog_socket_listen(worker *w)
{
  socket_call c{w, "$socket_listen", 5, true};
  TAGGED host = deref(w->term[0]);
  int64_t options = 0;
  char port[PORT_TEXT_MAX + 1];
  int rc = IsAtom(host) ? 0 : QXIO_E_INTERNAL_ERROR;
  if (rc >= 0) rc = options_arg(w->term[2], &options);
  if (rc >= 0) rc = port_text(w->term[1], true, port);
  int fd = -1;
  uint32_t listen =
      (uint32_t)(options & SO_LISTENER_BITS) | (unix_domain(options) ? QXIO_SOCKET_UNIX : 0);
  if (rc >= 0) rc = qxio_socket_listener(atom_name(host), port, sizeof port, &fd, listen);
  if (rc < 0) return c.raise(rc);
  TAGGED port_atom = init_atom_check(port, 0);
  if (!port_atom) port_atom = init_atom_check("QXIO ERROR UNKNOWN", 0);
  if (cunify(w, w->term[1], port_atom) && cunify(w, w->term[4], MakeSmall(fd))) return 1;
  qxio_socket_close(fd, 0);
  return 0;
}

/* Accepts one connection on a listening descriptor, waiting for it in select without a
 * time-out: an interrupt ends the wait with QXIO_E_INTERRUPTED. */
int accept_waiting(int listener, char **host, char **service, int *fd)
{
  qxio_t_event *readable = nullptr;
  int rc;
  while ((rc = qxio_socket_accept(listener, host, service, fd, 0)) == QXIO_E_WOULD_BLOCK) {
    if (!readable && (rc = qxio_fd_event_new(listener, -1, 0, &readable)) < 0) break;
    if ((rc = qxio_event_wait(&readable, 1, nullptr)) < 0) break;
  }
  qxio_event_free(readable);
  return rc;
}

/* $socket_accept(+Socket, +Options, +Encoding, -ClientHost, -ClientService, -Stream) */
int prolog_socket_accept(worker *w)
{
  socket_call c{w, "$socket_accept", 6, false};
  TAGGED socket = deref(w->term[0]);
  int64_t options = 0;
  uint32_t kind = 0;
  int rc = IsSmall(socket) ? 0 : QXIO_E_INTERNAL_ERROR;
  if (rc >= 0) rc = options_arg(w->term[1], &options);
  if (rc >= 0) rc = stream_kind(options, w->term[2], &kind);
  char *host = nullptr, *service = nullptr;
  int fd = -1;
  if (rc >= 0) rc = accept_waiting(GetSmall(socket), &host, &service, &fd);
  QX_stream *s = nullptr;
  if (rc >= 0) rc = qx_open_socket_stream(fd, w->term[2], &s, kind & ~QX_SO_UNIX);
  TAGGED host_atom = text_atom(host), service_atom = text_atom(service);
  qxio_free(host);
  qxio_free(service);
  if (rc < 0) return c.raise(rc);
  if (cunify(w, w->term[3], host_atom) && cunify(w, w->term[4], service_atom))
    return finish_stream(w, s, options, 6);
  qx_fclose_internal(s, QX_FC_FORCE);
  return 0;
}

/* $socket_close(+Socket): anything but an integer is left alone. */
int prolog_socket_close(worker *w)
{
  TAGGED socket = deref(w->term[0]);
  if (IsSmall(socket)) qxio_socket_close(GetSmall(socket), 0);
  return 1;
}

/* $hostname(-Host, -Domain): Domain is the name from its first dot on, or ''. */
int prolog_hostname(worker *w)
{
  char *name = nullptr;
  if (qxio_hostname(&name, 0) < 0 || !name) return 0;
  const char *dot = std::strchr(name, '.');
  TAGGED host = init_atom_check(name, 0), domain = init_atom_check(dot ? dot : "", 0);
  qxio_free(name);
  return host && domain && cunify(w, w->term[0], host) && cunify(w, w->term[1], domain);
}

}  // namespace

const qx_pred_row qx_stream_socket_rows[] = {
    {"$socket_open", prolog_socket_open, 5, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$socket_listen", prolog_socket_listen, 5, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$socket_accept", prolog_socket_accept, 6, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$socket_close", prolog_socket_close, 1, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$hostname", prolog_hostname, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
