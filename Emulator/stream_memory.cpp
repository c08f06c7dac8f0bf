/* Streams over memory: a user device that reads from, and appends to, one growable buffer, and
 * the two Prolog streams made over it (a text read with QX_stream_from_string, a code list with
 * "$stream_from_codes"/3).
 *
 * A text device moves whole 32-bit codes only, so its buffer always holds a whole number of
 * codes; a byte device moves single bytes. Reads consume from a read offset; writes append, so
 * what a read-write device is written is read after what it held.
 */
#include <cstring>

#include "builtins.h"
#include "memman.h"
#include "numbers.h"
#include "objareas.h"
#include "orvalis.h"
#include "qxio/qxio_simple_device.h"
#include "streams.h"
#include "termops.h"
#include "unify.h"
#include "wcx.h"

namespace {

/* Device record flags. */
constexpr uint32_t MEM_OWNS_BUFFER = 0x1;
constexpr uint32_t MEM_INPUT_OPEN = 0x2;
constexpr uint32_t MEM_OUTPUT_OPEN = 0x4;

struct memory_device {
  uint32_t flags;
  qxio_t_buf *buffer;
  size_t position; /* read offset in bytes */
  void *cookie;
  qx_memory_close_fn close_callback;
};

/* Names the device class for qxio_get_device_user_data. */
const char memory_device_class[] = "memory";

size_t item_of(uint32_t options) { return options & QXIO_USER_BYTES ? 1 : 4; }

qxio_t_error_code memory_read(void *user_data, void *room, size_t *size, uint32_t options)
{
  memory_device *d = (memory_device *)user_data;
  size_t remaining = d->buffer->extent - d->position;
  if (remaining == 0) return QXIO_E_END_OF_FILE;
  size_t n = remaining < *size ? remaining : *size;
  n -= n % item_of(options);
  std::memcpy(room, d->buffer->buf + d->position, n);
  d->position += n;
  *size = n;
  return 0;
}

qxio_t_error_code memory_write(void *user_data, const void *data, size_t *size, uint32_t options)
{
  memory_device *d = (memory_device *)user_data;
  size_t n = *size - *size % item_of(options);
  qxio_t_error_code rc = qxio_buf_concat_bytes(d->buffer, data, n);
  if (rc < 0) return rc;
  *size = n;
  return 0;
}

/* The device stays while a direction that is not being closed remains open. */
qxio_t_error_code memory_close(void **slot, uint32_t options)
{
  memory_device *d = (memory_device *)*slot;
  bool close_in = options & QXIO_USER_CLOSE_READ, close_out = options & QXIO_USER_CLOSE_WRITE;
  uint32_t named = (close_in ? MEM_INPUT_OPEN : 0) | (close_out ? MEM_OUTPUT_OPEN : 0);
  if (!close_out && (d->flags & MEM_OUTPUT_OPEN)) {
    d->flags &= ~named;
    return 0;
  }
  if (!close_in && (d->flags & MEM_INPUT_OPEN)) {
    d->flags &= ~named;
    return 0;
  }
  if (d->close_callback) {
    int rc = d->close_callback(d->cookie, options);
    if (rc < 0 && !(options & QXIO_USER_CLOSE_ABORTIVE)) return rc;
  }
  if (d->flags & MEM_OWNS_BUFFER) qxio_buf_free(d->buffer);
  qxio_free(d);
  *slot = nullptr;
  return 0;
}

/* The close callback of a code-list stream: frees the code array. */
int free_code_array(void *cookie, uint32_t)
{
  QX_free(cookie);
  return 0;
}

}  // namespace

int qx_create_qxio_device(QXIO *slot, qxio_t_buf *buffer, void *cookie, qx_memory_close_fn callback,
                          uint32_t options)
{
  bool readable = options & QX_MD_READABLE, writable = options & QX_MD_WRITABLE;
  memory_device *d = (memory_device *)qxio_alloc(sizeof(memory_device));
  if (!d) return QXIO_E_OUT_OF_MEMORY;
  d->flags = (options & QX_MD_OWN_BUFFER ? MEM_OWNS_BUFFER : 0) | (readable ? MEM_INPUT_OPEN : 0) |
             (writable ? MEM_OUTPUT_OPEN : 0);
  d->buffer = buffer;
  d->position = 0;
  d->cookie = cookie;
  d->close_callback = callback;
  uint32_t kind = options & QX_MD_BYTES ? QXIO_DEVICE_BYTES : QXIO_DEVICE_CHARS;
  int rc = qxio_create_device(slot, d, memory_device_class, readable ? memory_read : nullptr,
                              writable ? memory_write : nullptr, nullptr, nullptr, memory_close,
                              nullptr, nullptr, kind);
  if (rc < 0) qxio_free(d);
  return rc;
}

int qx_create_qxio_byte_device(QXIO *slot, qxio_t_buf *buffer, void *cookie,
                               qx_memory_close_fn callback, uint32_t options)
{
  int rc = qx_create_qxio_device(slot, buffer, cookie, callback, options | QX_MD_BYTES);
  return rc < 0 ? rc : 0;
}

int QX_stream_from_string(const char *text, QX_stream **stream)
{
  if (!text || !wci_valid_string(text)) return 0;
  qxio_t_buf *buffer = qxio_buf_alloc(text, std::strlen(text), 0);
  if (!buffer) return 0;
  QXIO q = nullptr;
  if (qx_create_qxio_byte_device(&q, buffer, nullptr, nullptr, QX_MD_OWN_BUFFER | QX_MD_READABLE) <
      0) {
    qxio_buf_free(buffer);
    return 0;
  }
  qxio_t_coder_funcs *utf8 = nullptr;
  int rc = qxio_char_coder_find(&utf8, "UTF-8", nullptr, 0);
  if (rc >= 0) {
    /* read side, line feeds as they are */
    rc = qxio_push_encoding(&q, utf8, nullptr, 0x11);
    qxio_coder_funcs_release(utf8);
  }
  if (rc >= 0) rc = QX_create_qxio_stream(&q, stream, QX_SC_INPUT | QX_SC_TEXT);
  if (rc >= 0) return 1;
  qxio_close(&q, QXIO_CLOSE_ABORTIVE);
  return 0;
}

namespace {

constexpr int64_t SFC_LIST_FLAGS = 0x3; /* passed to qx_list_to_codes */
constexpr int64_t SFC_INPUT = 0x4;
constexpr int64_t SFC_OUTPUT = 0x8;

/* "$stream_from_codes"(+Codes, -Stream, +Options): fails on any error. */
int prolog_stream_from_codes(worker *w)
{
  TAGGED options_term = deref(w->term[2]);
  if (!IsSmall(options_term) || GetSmall(options_term) < 0) return 0;
  int64_t options = GetSmall(options_term);
  bool input = options & SFC_INPUT, output = options & SFC_OUTPUT;
  if (!input && !output) return 0;
  int32_t *codes = nullptr;
  int n = qx_list_to_codes(w->term[0], &codes, (int)(options & SFC_LIST_FLAGS));
  if (n < 0) return 0;
  qxio_t_buf *buffer = qxio_buf_alloc(codes, (size_t)n * sizeof(int32_t), 0);
  if (!buffer) return QX_free(codes), 0;
  QXIO q = nullptr;
  uint32_t device = QX_MD_OWN_BUFFER | (input ? QX_MD_READABLE : 0) | (output ? QX_MD_WRITABLE : 0);
  if (qx_create_qxio_device(&q, buffer, codes, codes ? free_code_array : nullptr, device) < 0) {
    qxio_buf_free(buffer);
    QX_free(codes);
    return 0;
  }
  QX_stream *s = nullptr;
  uint32_t create =
      QX_SC_TEXT | QX_SC_AUTOFLUSH | (input ? QX_SC_INPUT : 0) | (output ? QX_SC_OUTPUT : 0);
  if (QX_create_qxio_stream(&q, &s, create) < 0) {
    qxio_close(&q, QXIO_CLOSE_ABORTIVE);
    return 0;
  }
  call_overflow(w, 8, 2);
  if (cunify(w, w->term[1], make_integer(w, (int32_t)(intptr_t)s))) return 1;
  qx_fclose_internal(s, QX_FC_FORCE);
  return 0;
}

}  // namespace

const qx_pred_row qx_stream_memory_rows[] = {
    {"$stream_from_codes", prolog_stream_from_codes, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
