/* In-process pipes and tunnelled streams: simple devices whose callbacks move data between two
 * streams of the same engine.
 *
 * A pipe is two devices over one shared record: the read end takes bytes out of the buffer that
 * the write end appends to. A reader cannot wait for a writer of the same thread, so a blocking
 * read of an empty pipe whose write end is open is an error, not a wait.
 *
 * A tunnelled stream writes its text as lines over another stream (the tunnel): each flush of
 * its buffer becomes one "TUNNEL APPEND <name> <codes>" line, with line feed, NUL, 1 and carriage
 * return escaped so that the line stays one line.
 */
#include <cstring>

#include "orvalis.h"
#include "streams.h"

namespace {

/* ---- pipes ---- */

constexpr uint32_t PIPE_READ_OPEN = 0x1;
constexpr uint32_t PIPE_WRITE_OPEN = 0x2;

struct qxio_t_pipe_device_user_data_ {
  uint32_t flags;
  qxio_t_buf *buf;
  size_t offset; /* first unread byte of buf */
  qxio_t_event *read_event;
};
typedef qxio_t_pipe_device_user_data_ pipe_data;

/* The class both ends of a pipe carry. */
const char pipe_class[] = "pipe";

void pipe_compact(pipe_data *p)
{
  qxio_buf_contract(p->buf, (ptrdiff_t)p->offset);
  p->offset = 0;
}

qxio_t_error_code pipe_device_user_write(void *user_data, const void *data, size_t *size, uint32_t)
{
  pipe_data *p = (pipe_data *)user_data;
  if (!(p->flags & PIPE_WRITE_OPEN)) return QXIO_E_NOT_OPEN_WRITE;
  if (!(p->flags & PIPE_READ_OPEN)) return QXIO_E_END_OF_FILE;
  qxio_t_buf *b = p->buf;
  if (b->writable_size - b->extent < *size && p->offset > 0) pipe_compact(p);
  if (*size > 0 && p->read_event) qxio_event_set(p->read_event);
  return qxio_buf_concat_bytes(b, data, *size) < 0 ? QXIO_E_OUT_OF_MEMORY : QXIO_S_NOERR;
}

qxio_t_error_code pipe_device_user_read(void *user_data, void *room, size_t *size, uint32_t options)
{
  pipe_data *p = (pipe_data *)user_data;
  if (!(p->flags & PIPE_READ_OPEN)) return QXIO_E_NOT_OPEN_READ;
  qxio_t_buf *b = p->buf;
  size_t unread = b->extent - p->offset;
  if (unread > 0) {
    size_t n = *size < unread ? *size : unread;
    std::memcpy(room, b->buf + p->offset, n);
    p->offset += n;
    *size = n;
    size_t rest = b->extent - p->offset;
    if (rest > 0 && rest * 2 >= b->extent) pipe_compact(p);
    if (rest == 0) p->offset = 0, b->extent = 0;
    return QXIO_S_NOERR;
  }
  *size = 0;
  if (p->read_event) qxio_event_reset(p->read_event);
  if (!(p->flags & PIPE_WRITE_OPEN)) return QXIO_E_END_OF_FILE;
  if (options & QXIO_USER_NONBLOCKING) return QXIO_E_WOULD_BLOCK;
  return QXIO_E_INTERNAL_ERROR;
}

qxio_t_error_code pipe_device_user_ioctl(void *user_data, qxio_t_ioctl_operation operation,
                                         void *arg, uint32_t)
{
  pipe_data *p = (pipe_data *)user_data;
  if (operation == QXIO_IOCTL_READABLE_EVENT_) {
    if (!p->read_event) {
      qxio_t_error_code rc = qxio_event_new(0, &p->read_event);
      if (rc < 0) return rc;
      if (p->buf->extent > p->offset || !(p->flags & PIPE_WRITE_OPEN))
        qxio_event_set(p->read_event);
    }
    *(qxio_t_event **)arg = p->read_event;
    return QXIO_S_NOERR;
  }
  if (operation == QXIO_IOCTL_SIZE_) {
    *(int64_t *)arg = (int64_t)(p->buf->extent - p->offset);
    return QXIO_S_NOERR;
  }
  return QXIO_E_NOT_SUPPORTED;
}

qxio_t_error_code pipe_close_side(void **slot, uint32_t options, uint32_t side, uint32_t bit)
{
  pipe_data *p = (pipe_data *)*slot;
  if (!(options & side)) return QXIO_S_NOERR;
  p->flags &= ~bit;
  /* A reader waiting on the event must see the end of the data. */
  if (bit == PIPE_WRITE_OPEN && p->read_event) qxio_event_set(p->read_event);
  if (p->flags & (PIPE_READ_OPEN | PIPE_WRITE_OPEN)) return QXIO_S_NOERR;
  qxio_buf_free(p->buf);
  qxio_event_free(p->read_event);
  qxio_free(p);
  *slot = nullptr;
  return QXIO_S_DEALLOCATED;
}

qxio_t_error_code pipe_read_end_close(void **slot, uint32_t options)
{
  return pipe_close_side(slot, options, QXIO_USER_CLOSE_READ, PIPE_READ_OPEN);
}

qxio_t_error_code pipe_write_end_close(void **slot, uint32_t options)
{
  return pipe_close_side(slot, options, QXIO_USER_CLOSE_WRITE, PIPE_WRITE_OPEN);
}

/* Pushes the coder of encoding (when given) and makes the node of one end. */
int pipe_end_stream(QXIO *qxio, const char *encoding, bool read, uint32_t options,
                    QX_stream **stream)
{
  uint32_t create = (read ? QX_SC_INPUT : QX_SC_OUTPUT) | (encoding ? QX_SC_TEXT : QX_SC_BINARY) |
                    (options & QX_PIPE_STANDARD ? QX_SC_STANDARD : 0);
  if (encoding) {
    qxio_t_coder_funcs *funcs = nullptr;
    int rc = qxio_char_coder_find(&funcs, encoding, nullptr, 0);
    if (rc < 0) return rc;
    rc = qxio_push_encoding(qxio, read ? funcs : nullptr, read ? nullptr : funcs,
                            read ? 0x11 : 0x22);
    qxio_coder_funcs_release(funcs);
    if (rc < 0) return rc;
  }
  return QX_create_qxio_stream(qxio, stream, create);
}

/* ---- tunnels ---- */

constexpr uint32_t TUNNEL_OPEN = 0x1;
constexpr uint32_t TUNNEL_INTERACTIVE = 0x2;

struct qxio_t_tunnel_device_user_data_ {
  uint32_t flags;
  QX_stream *tunnel; /* null once the tunnel stream is gone */
  char name[1];      /* the tunnel's name, in the same block */
};
typedef qxio_t_tunnel_device_user_data_ tunnel_data;

const char tunnel_class[] = "tunnel";

void tunnel_device_tunnel_listener(QX_stream *stream, void *user_data, int event)
{
  tunnel_data *t = (tunnel_data *)user_data;
  if (event == QX_STREAM_EVENT_CLOSED && stream == t->tunnel) {
    t->tunnel = nullptr;
    remove_stream_event_listener(t);
  } else if (event == QX_STREAM_EVENT_RELEASED) {
    t->tunnel = nullptr;
  }
}

/* The tunnel stream when it is still a text output stream, else null with the link dropped. */
QX_stream *live_tunnel(tunnel_data *t)
{
  const uint32_t text_output = QX_SF_OUTPUT | QX_SF_TEXT;
  if (t->tunnel && find_stream(t->tunnel) && (t->tunnel->flags & text_output) == text_output)
    return t->tunnel;
  t->tunnel = nullptr;
  return nullptr;
}

qxio_t_error_code tunnel_device_user_write(void *user_data, const void *data, size_t *size,
                                           uint32_t)
{
  tunnel_data *t = (tunnel_data *)user_data;
  if (!(t->flags & TUNNEL_OPEN)) return QXIO_E_NOT_OPEN_WRITE;
  QX_stream *tunnel = live_tunnel(t);
  if (!tunnel) return QXIO_E_END_OF_FILE;
  static const char head[] = "TUNNEL APPEND ";
  const uint32_t *codes = (const uint32_t *)data;
  size_t n = *size / 4, name_length = std::strlen(t->name);
  size_t length = sizeof head - 1 + name_length + 1 + n + 1;
  for (size_t i = 0; i < n; i++)
    if (codes[i] == 0 || codes[i] == 1 || codes[i] == 13) length++;
  int rc = QX_put_codes(tunnel, nullptr, length, 0x1000);
  if (rc < 0) return rc;
  uint32_t *out = tunnel->pub.output_text.ptr;
  for (const char *c = head; *c; c++) *out++ = (unsigned char)*c;
  for (size_t i = 0; i < name_length; i++) *out++ = (unsigned char)t->name[i];
  *out++ = ' ';
  for (size_t i = 0; i < n; i++) {
    uint32_t c = codes[i];
    if (c == 10) {
      *out++ = 0;
    } else if (c == 0 || c == 1 || c == 13) {
      *out++ = 1;
      *out++ = c == 0 ? 2 : c == 1 ? 1 : 3;
    } else {
      *out++ = c;
    }
  }
  *out++ = 10;
  tunnel->pub.output_text.ptr = out;
  *size = n * 4;
  return QXIO_S_NOERR;
}

qxio_t_error_code tunnel_device_user_flush(void *user_data, uint32_t options)
{
  tunnel_data *t = (tunnel_data *)user_data;
  if (!(t->flags & TUNNEL_OPEN)) return QXIO_E_NOT_OPEN_WRITE;
  QX_stream *tunnel = live_tunnel(t);
  if (!tunnel) return QXIO_E_END_OF_FILE;
  int rc = QX_flush_output(tunnel, options & 0x1);
  return rc < 0 ? rc : 0;
}

qxio_t_error_code tunnel_device_user_close(void **slot, uint32_t options)
{
  tunnel_data *t = (tunnel_data *)*slot;
  if (!(options & QXIO_USER_CLOSE_WRITE)) return QXIO_S_NOERR;
  t->flags &= ~TUNNEL_OPEN;
  remove_stream_event_listener(t);
  t->tunnel = nullptr;
  qxio_free(t);
  *slot = nullptr;
  return QXIO_S_DEALLOCATED;
}

}  // namespace

int qx_create_pipe(const char *read_encoding, QX_stream **read_stream, const char *write_encoding,
                   QX_stream **write_stream, uint32_t options)
{
  pipe_data *p = (pipe_data *)qxio_alloc(sizeof(pipe_data));
  if (!p) return QXIO_E_OUT_OF_MEMORY;
  *p = {PIPE_READ_OPEN | PIPE_WRITE_OPEN, qxio_buf_alloc(nullptr, 0, 0), 0, nullptr};
  if (!p->buf) {
    qxio_free(p);
    return QXIO_E_OUT_OF_MEMORY;
  }
  QXIO rq = nullptr, wq = nullptr;
  QX_stream *rs = nullptr, *ws = nullptr;
  int rc =
      qxio_create_device(&rq, p, pipe_class, pipe_device_user_read, nullptr, nullptr, nullptr,
                         pipe_read_end_close, nullptr, pipe_device_user_ioctl, QXIO_DEVICE_BYTES);
  if (rc < 0) {
    p->flags &= ~PIPE_READ_OPEN; /* the write end's close frees the record */
    void *slot = p;
    pipe_write_end_close(&slot, QXIO_USER_CLOSE_WRITE);
    return rc;
  }
  rc = qxio_create_device(&wq, p, pipe_class, nullptr, pipe_device_user_write, nullptr, nullptr,
                          pipe_write_end_close, nullptr, nullptr, QXIO_DEVICE_BYTES);
  if (rc < 0) p->flags &= ~PIPE_WRITE_OPEN;
  if (rc >= 0) rc = pipe_end_stream(&rq, read_encoding, true, options, &rs);
  if (rc >= 0) rc = pipe_end_stream(&wq, write_encoding, false, options, &ws);
  if (rc < 0) {
    if (rs) qx_fclose_internal(rs, QX_FC_FORCE | QX_FC_FORGET);
    if (rq) qxio_close(&rq, QXIO_CLOSE_ABORTIVE);
    if (wq) qxio_close(&wq, QXIO_CLOSE_ABORTIVE);
    return rc;
  }
  *read_stream = rs;
  *write_stream = ws;
  return 0;
}

int qx_create_tunneled_stream(QX_stream *tunnel, const char *name, QX_stream **stream,
                              uint32_t options)
{
  size_t name_length = std::strlen(name);
  tunnel_data *t = (tunnel_data *)qxio_alloc(sizeof(tunnel_data) + name_length);
  if (!t) return QXIO_E_OUT_OF_MEMORY;
  t->flags = TUNNEL_OPEN | (options & QX_TUNNEL_INTERACTIVE ? TUNNEL_INTERACTIVE : 0);
  t->tunnel = tunnel;
  std::memcpy(t->name, name, name_length + 1);
  QXIO q = nullptr;
  int rc = qxio_create_device(&q, t, tunnel_class, nullptr, tunnel_device_user_write,
                              tunnel_device_user_flush, nullptr, tunnel_device_user_close, nullptr,
                              nullptr, QXIO_DEVICE_CHARS);
  if (rc < 0) {
    qxio_free(t);
    return rc;
  }
  rc = add_stream_event_listener(tunnel_device_tunnel_listener, t, QX_SEL_IN_FRONT);
  uint32_t create = QX_SC_OUTPUT | QX_SC_TEXT | QX_SC_AUTOFLUSH |
                    (options & QX_TUNNEL_INTERACTIVE ? QX_SC_INTERACTIVE : 0) |
                    (options & QX_TUNNEL_STANDARD ? QX_SC_STANDARD : 0);
  if (rc >= 0) rc = QX_create_qxio_stream(&q, stream, create);
  if (rc < 0) {
    qxio_close(&q, QXIO_CLOSE_ABORTIVE); /* the device's close drops the listener */
    return rc;
  }
  return 0;
}
