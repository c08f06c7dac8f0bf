/* Growable byte buffers: the carrier of all data that moves through layers. */
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "qxio_internal.h"

namespace {

size_t default_items = 100;

size_t default_capacity(void) { return default_items * 4; }

/* Gives the buffer a capacity of `request` rounded up to 4 (4 for 0), copying storage it does
   not own into owned storage; on failure the buffer is left as it was. */
qxio_t_error_code buf_resize(qxio_t_buf *buf, size_t request)
{
  if (request > SIZE_MAX - 3) return QXIO_E_OUT_OF_MEMORY;
  size_t capacity = request == 0 ? 4 : QXIO_ROUND4(request);
  size_t keep = buf->extent < capacity ? buf->extent : capacity;
  if (buf->flags & QXIO_BUF_FLAG_STORAGE_NOT_OWNED) {
    if (buf->flags & QXIO_BUF_FLAG_FIXED) return QXIO_E_OUT_OF_MEMORY;
    unsigned char *storage = static_cast<unsigned char *>(qxio_alloc(capacity));
    if (storage == nullptr) return QXIO_E_OUT_OF_MEMORY;
    if (keep > 0) memcpy(storage, buf->buf, keep);
    buf->buf = storage;
    buf->flags &= ~QXIO_BUF_FLAG_STORAGE_NOT_OWNED;
  } else if (capacity != buf->writable_size || buf->buf == nullptr) {
    unsigned char *storage = static_cast<unsigned char *>(qxio_realloc(buf->buf, capacity));
    if (storage == nullptr) return QXIO_E_OUT_OF_MEMORY;
    buf->buf = storage;
  }
  buf->writable_size = capacity;
  buf->extent = keep;
  return QXIO_S_NOERR;
}

}  // namespace

size_t qxio_buf_default_items(void) { return default_items; }

qxio_t_buf *qxio_buf_alloc(const void *data, size_t size, uint32_t options)
{
  unsigned char *storage = nullptr;
  size_t capacity = 0;
  size_t extent = 0;
  uint32_t flags = 0;
  if (data == nullptr || (options & QXIO_BUF_ALLOC_COPY)) {
    if (data == nullptr) {
      capacity = size == 0 ? default_capacity() : QXIO_ROUND4(size);
    } else {
      capacity = size == 0 ? 4 : QXIO_ROUND4(size);
      extent = size;
    }
    if (capacity < size) return nullptr; /* the rounding overflowed */
    storage = static_cast<unsigned char *>(qxio_alloc(capacity));
    if (storage == nullptr) return nullptr;
    if (extent > 0) memcpy(storage, data, extent);
  } else {
    /* wrap the caller's bytes without owning them */
    storage = static_cast<unsigned char *>(const_cast<void *>(data));
    capacity = extent = size;
    flags |= QXIO_BUF_FLAG_STORAGE_NOT_OWNED;
  }
  qxio_t_buf *buf = static_cast<qxio_t_buf *>(qxio_alloc(sizeof(qxio_t_buf)));
  if (buf == nullptr) {
    if (!(flags & QXIO_BUF_FLAG_STORAGE_NOT_OWNED)) qxio_free(storage);
    return nullptr;
  }
  if (options & QXIO_BUF_ALLOC_NO_ROOM) capacity = 0;
  if (options & QXIO_BUF_ALLOC_FIXED) flags |= QXIO_BUF_FLAG_FIXED;
  buf->buf = storage;
  buf->extent = extent;
  buf->writable_size = capacity;
  buf->flags = flags;
  buf->pad = 0;
  return buf;
}

qxio_t_error_code qxio_buf_init_buf(qxio_t_buf *buf)
{
  buf->buf = nullptr;
  buf->extent = 0;
  buf->writable_size = 0;
  buf->flags = QXIO_BUF_FLAG_STORAGE_NOT_OWNED | QXIO_BUF_FLAG_RECORD_NOT_OWNED;
  buf->pad = 0;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_buf_free(qxio_t_buf *buf)
{
  if (buf == nullptr) return QXIO_S_NOERR;
  buf->flags |= QXIO_BUF_FLAG_FREED;
  buf->extent = 0;
  buf->writable_size = 0;
  if (!(buf->flags & QXIO_BUF_FLAG_STORAGE_NOT_OWNED)) qxio_free(buf->buf);
  buf->buf = nullptr;
  if (!(buf->flags & QXIO_BUF_FLAG_RECORD_NOT_OWNED)) qxio_free(buf);
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_buf_reserve(qxio_t_buf *buf, size_t n)
{
  if (n == 0) n = 1;
  if (n <= buf->writable_size && buf->extent <= buf->writable_size - n) return QXIO_S_NOERR;
  size_t grow = n > default_capacity() ? n : default_capacity();
  if (grow > SIZE_MAX - buf->extent) return QXIO_E_OUT_OF_MEMORY;
  return buf_resize(buf, buf->extent + grow);
}

qxio_t_error_code qxio_buf_trim(qxio_t_buf *buf)
{
  if (buf->flags & QXIO_BUF_FLAG_STORAGE_NOT_OWNED) return QXIO_S_NOERR;
  return buf_resize(buf, buf->extent);
}

qxio_t_error_code qxio_buf_push(qxio_t_buf *buf, unsigned char byte)
{
  if (buf->extent >= buf->writable_size) {
    qxio_t_error_code rc = qxio_buf_reserve(buf, 1);
    if (rc < 0) return rc;
  }
  buf->buf[buf->extent++] = byte;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_buf_pop(qxio_t_buf *buf, unsigned char *byte_out)
{
  if (buf->extent == 0) return QXIO_E_ERROR;
  unsigned char byte = buf->buf[--buf->extent];
  if (byte_out != nullptr) *byte_out = byte;
  return QXIO_S_NOERR;
}

/* The bytes may lie inside the buffer itself (appending a buffer to itself): they are found
   again by their offset after the storage moved. */
qxio_t_error_code qxio_buf_concat_bytes(qxio_t_buf *buf, const void *bytes, size_t n)
{
  if (n == 0) return QXIO_S_NOERR;
  uintptr_t from = reinterpret_cast<uintptr_t>(bytes);
  uintptr_t start = reinterpret_cast<uintptr_t>(buf->buf);
  bool inside = buf->buf != nullptr && from >= start && from < start + buf->extent;
  size_t offset = from - start;
  qxio_t_error_code rc = qxio_buf_reserve(buf, n);
  if (rc < 0) return rc;
  const void *source = inside ? buf->buf + offset : bytes;
  memmove(buf->buf + buf->extent, source, n);
  buf->extent += n;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_buf_concat_string(qxio_t_buf *buf, const char *text)
{
  return qxio_buf_concat_bytes(buf, text, strlen(text));
}

qxio_t_error_code qxio_buf_concat(qxio_t_buf *buf, const qxio_t_buf *other, uint32_t options)
{
  return qxio_buf_concat_bytes(buf, other->buf, other->extent);
}

qxio_t_error_code qxio_buf_contract(qxio_t_buf *buf, ptrdiff_t n)
{
  if (n > 0) {
    size_t count = static_cast<size_t>(n);
    if (count > buf->extent) return QXIO_E_PARAMETER_ERROR;
    memmove(buf->buf, buf->buf + count, buf->extent - count);
    buf->extent -= count;
  } else if (n < 0) {
    size_t count = static_cast<size_t>(0) - static_cast<size_t>(n);
    if (count > buf->extent) return QXIO_E_PARAMETER_ERROR;
    buf->extent -= count;
  }
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_buf_reset(qxio_t_buf *buf, size_t n)
{
  size_t old_extent = buf->extent;
  buf->extent = 0;
  qxio_t_error_code rc = qxio_buf_reserve(buf, n);
  if (rc < 0) buf->extent = old_extent;
  return rc;
}

qxio_t_error_code qxio_buf_get_buf(qxio_t_buf *buf, unsigned char **data_out, size_t *size_out)
{
  size_t extent = buf->extent;
  if (!(buf->flags & QXIO_BUF_FLAG_STORAGE_NOT_OWNED)) {
    *data_out = buf->buf;
    buf->buf = nullptr;
    buf->extent = 0;
    buf->writable_size = 0;
  } else {
    unsigned char *copy = static_cast<unsigned char *>(qxio_alloc(extent));
    if (copy == nullptr) return QXIO_E_OUT_OF_MEMORY;
    if (extent > 0) memcpy(copy, buf->buf, extent);
    *data_out = copy;
  }
  if (size_out != nullptr) *size_out = extent;
  return QXIO_S_NOERR;
}

/* Reads QXIO_DEFAULT_BUFITEMS (decimal, 0x hexadecimal or 0 octal); a value that does not
   parse whole, is below 1 or would overflow a capacity keeps the default of 100. */
qxio_t_error_code qxio_init_buf(uint32_t options)
{
  if (options & 1) return QXIO_S_NOERR;
  default_items = 100;
  char value[30];
  size_t size = sizeof value;
  if (qxio_get_system_property("QXIO_DEFAULT_BUFITEMS", value, &size, 0) < 0 || value[0] == '\0')
    return QXIO_S_NOERR;
  char *end = nullptr;
  errno = 0;
  long items = strtol(value, &end, 0);
  if (errno == 0 && end != value && *end == '\0' && items >= 1 &&
      static_cast<unsigned long>(items) <= SIZE_MAX / 8)
    default_items = static_cast<size_t>(items);
  return QXIO_S_NOERR;
}
