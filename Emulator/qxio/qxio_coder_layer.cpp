/* The layer class "char-coder": above it a stream of 32-bit character codes, below it bytes.
   Reading decodes what the stream below delivers, writing encodes into a buffer that goes
   down on flush, and positions translate between the two sides so that text streams can be
   repositioned. */
#include <string.h>

#include "qxio_coder_internal.h"

namespace {

typedef struct qxio_t_layer_coder {
  qxio_t_layer layer;
  qxio_t_buf *read_buf;     /* bytes read from below */
  size_t read_buf_consumed; /* bytes of read_buf already decoded */
  int64_t read_buf0_pos;    /* position below of the first byte of read_buf */
  int64_t read_pos;         /* position on the code side, in bytes of delivered items */
  bool read_ended;          /* the stream below reported its end */
  qxio_t_buf *write_buf;    /* encoded bytes waiting to go down */
  size_t write_buf_offset;  /* bytes of write_buf already written below */
  int64_t write_pos;        /* position on the code side */
  qxio_t_coder *read_coder;
  qxio_t_coder *write_coder;
  uint32_t read_coder_options; /* conversion options of every coding step */
  uint32_t write_coder_options;
} qxio_t_layer_coder;

const uint32_t flush_options = QXIO_WRITE_ALL | QXIO_WRITE_USER;
const uint32_t conversion_fallback_bits =
    QXIO_CODER_REPLACE_INVALID | QXIO_CODER_STRICT | QXIO_CODER_REPLACE;

qxio_t_layer_coder *coder_layer(QXIO *slot)
{
  return reinterpret_cast<qxio_t_layer_coder *>(*slot);
}

/* Item size (1, 2 or 4 bytes) from three item-size flag bits starting at `first`. */
size_t item_size(uint32_t flags, uint32_t first)
{
  if (flags & (first << 2)) return 4;
  if (flags & (first << 1)) return 2;
  return 1;
}

size_t read_item_size(const qxio_t_layer_coder *l)
{
  return item_size(l->layer.flags, QXIO_LAYER_READ_ITEM_1);
}

size_t write_item_size(const qxio_t_layer_coder *l)
{
  return item_size(l->layer.flags, QXIO_LAYER_WRITE_ITEM_1);
}

qxio_t_coder *coder_argument(const qxio_t_arglist *args, const char *key)
{
  void *coder = nullptr;
  if (args == nullptr || qxio_get_arg(args, key, QXIO_VARIANT_POINTER, &coder) < 0) return nullptr;
  return static_cast<qxio_t_coder *>(coder);
}

/* Writes the pending encoded bytes below. The bytes that went out leave the buffer; when the
   write below fails, the rest stays for the next flush and the failure is answered, even
   after some bytes went out: an interrupt or a would-block is the caller's to see and retry,
   and the caller must not take a cut-short flush for a whole one. */
qxio_t_error_code flush_write_buf(qxio_t_layer_coder *l, uint32_t extra_options)
{
  size_t pos = l->write_buf_offset;
  if (pos >= l->write_buf->extent) return QXIO_S_NOERR;
  qxio_t_error_code rc =
      qxio_write(&l->layer.next, l->write_buf, &pos, flush_options | extra_options);
  qxio_buf_contract(l->write_buf, (ptrdiff_t)pos);
  l->write_buf_offset = 0;
  return rc < 0 ? rc : QXIO_S_NOERR;
}

/* Drops the decoded bytes from the front of read_buf. */
void drop_consumed(qxio_t_layer_coder *l)
{
  if (l->read_buf_consumed == 0) return;
  qxio_buf_contract(l->read_buf, (ptrdiff_t)l->read_buf_consumed);
  l->read_buf0_pos += (int64_t)l->read_buf_consumed;
  l->read_buf_consumed = 0;
}

/* Forgets the buffered bytes: the stream below now stands at `position`. */
void empty_read_buf(qxio_t_layer_coder *l, int64_t position)
{
  l->read_buf->extent = 0;
  l->read_buf_consumed = 0;
  l->read_buf0_pos = position;
  l->read_ended = false;
}

void free_layer(qxio_t_layer_coder *l)
{
  qxio_char_coder_close(l->read_coder);
  qxio_char_coder_close(l->write_coder);
  qxio_buf_free(l->read_buf);
  qxio_buf_free(l->write_buf);
  qxio_free(l);
}

qxio_t_error_code coder_push(const qxio_t_funcs *funcs, QXIO *slot, const qxio_t_arglist *args,
                             uint32_t options)
{
  qxio_t_coder *read_coder = coder_argument(args, QXIO_ARG_READ_CHAR_CODER);
  qxio_t_coder *write_coder = coder_argument(args, QXIO_ARG_WRITE_CHAR_CODER);
  const uint32_t below = *slot != nullptr ? (*slot)->flags : 0;
  if (read_coder != nullptr && !(below & QXIO_LAYER_READABLE)) return QXIO_E_PARAMETER_ERROR;
  if (write_coder != nullptr && !(below & QXIO_LAYER_WRITABLE)) return QXIO_E_PARAMETER_ERROR;
  if (read_coder == nullptr && write_coder == nullptr) return QXIO_E_PUSH_ERROR;
  uint32_t flags = 0;
  if (options & QXIO_CODER_LAYER_SEEKABLE) {
    if (read_coder != nullptr && write_coder != nullptr) return QXIO_E_NOT_SUPPORTED;
    flags |= QXIO_LAYER_SEEKABLE;
  }
  qxio_t_layer_coder *l = static_cast<qxio_t_layer_coder *>(qxio_alloc(sizeof *l));
  if (l == nullptr) return QXIO_E_OUT_OF_MEMORY;
  memset(l, 0, sizeof *l);
  l->layer.funcs = funcs;
  bool short_of_memory = false;
  if (read_coder != nullptr) {
    l->read_buf = qxio_buf_alloc(nullptr, 0, 0);
    short_of_memory |= l->read_buf == nullptr;
    /* The read coder's produced-item bits 0 to 2 become the read-side item flags. */
    flags |= QXIO_LAYER_HAS_INPUT | QXIO_LAYER_READABLE | QXIO_LAYER_READ_OPEN |
             (read_coder->flags & 0x7u) * QXIO_LAYER_READ_ITEM_1;
  }
  if (write_coder != nullptr) {
    l->write_buf = qxio_buf_alloc(nullptr, 0, 0);
    short_of_memory |= l->write_buf == nullptr;
    flags |= QXIO_LAYER_HAS_OUTPUT | QXIO_LAYER_WRITABLE | QXIO_LAYER_WRITE_OPEN |
             ((write_coder->flags >> 3) & 0x7u) * QXIO_LAYER_WRITE_ITEM_1;
  }
  if (short_of_memory) {
    free_layer(l);
    return QXIO_E_OUT_OF_MEMORY;
  }
  l->layer.flags = flags;
  l->read_coder = read_coder;
  l->write_coder = write_coder;
  return qxio_layer_push(slot, &l->layer);
}

qxio_t_error_code coder_read(QXIO *slot, qxio_t_buf *buf, uint32_t options)
{
  qxio_t_layer_coder *l = coder_layer(slot);
  for (;;) {
    const uint32_t conversion =
        l->read_coder_options | (l->read_ended ? QXIO_CODER_END_OF_INPUT : 0);
    size_t consumed = l->read_buf_consumed, before = buf->extent;
    qxio_t_error_code rc =
        qxio_char_coder_encode(l->read_coder, l->read_buf, &consumed, buf, conversion);
    if (rc >= 0) {
      l->read_buf_consumed = consumed;
      qxio_char_coder_commit(l->read_coder);
      l->read_pos += (int64_t)(buf->extent - before);
      /* A step that only dropped a mark or a line feed delivers nothing yet. */
      if (buf->extent > before) return QXIO_S_NOERR;
      continue;
    }
    if (rc != QXIO_E_NOT_ENOUGH_DATA && rc != QXIO_E_END_OF_FILE) return rc;
    if (l->read_ended)
      return l->read_buf_consumed < l->read_buf->extent ? QXIO_E_ENCODING_INVALID
                                                        : QXIO_E_END_OF_FILE;
    drop_consumed(l);
    rc = qxio_read(&l->layer.next, &l->read_buf, (options & ~QXIO_READ_CODES) | QXIO_READ_BYTES);
    if (rc == QXIO_E_END_OF_FILE)
      l->read_ended = true;
    else if (rc < 0)
      return rc;
  }
}

qxio_t_error_code coder_write(QXIO *slot, qxio_t_buf *buf, size_t *pos, uint32_t options)
{
  qxio_t_layer_coder *l = coder_layer(slot);
  if (*pos > buf->extent) return QXIO_E_PARAMETER_ERROR;
  const size_t item = write_item_size(l), offered = buf->extent - *pos;
  if (offered % item != 0) return QXIO_E_GRANULARITY_ERROR;
  const bool end = options & QXIO_WRITE_END;
  const uint32_t nonblocking = options & QXIO_WRITE_NONBLOCKING;
  /* Nothing to encode: at the end of data, what was encoded before still goes down. */
  if (offered == 0) return end ? flush_write_buf(l, nonblocking | QXIO_WRITE_END) : QXIO_S_NOERR;
  if (l->write_buf->writable_size - l->write_buf->extent < offered / item) {
    qxio_t_error_code rc = flush_write_buf(l, nonblocking);
    if (rc < 0) return rc;
  }
  size_t at = *pos;
  qxio_t_error_code rc =
      qxio_char_coder_encode(l->write_coder, buf, &at, l->write_buf,
                             l->write_coder_options | (end ? QXIO_CODER_END_OF_INPUT : 0));
  if (rc == QXIO_E_NOT_ENOUGH_DATA || rc == QXIO_E_END_OF_FILE) return QXIO_E_NOT_ENOUGH_DATA;
  if (rc < 0) return rc;
  qxio_char_coder_commit(l->write_coder);
  l->write_pos += (int64_t)(at - *pos);
  *pos = at;
  /* The encoded bytes are taken either way; a failing end-of-data flush is still reported
     (they stay in write_buf for the next flush). */
  return end ? flush_write_buf(l, nonblocking | QXIO_WRITE_END) : QXIO_S_NOERR;
}

/* Gives the undecoded bytes back to the stream below. */
qxio_t_error_code give_back_read_ahead(qxio_t_layer_coder *l)
{
  drop_consumed(l);
  size_t held = l->read_buf->extent;
  if (held > 0) {
    qxio_t_error_code rc = qxio_seek(&l->layer.next, -(int64_t)held, nullptr, l->read_buf,
                                     QXIO_SEEK_CUR | QXIO_SEEK_READ);
    if (rc < 0) return rc;
  }
  empty_read_buf(l, l->read_buf0_pos);
  return QXIO_S_NOERR;
}

qxio_t_error_code coder_sync(QXIO *slot, uint32_t options)
{
  qxio_t_layer_coder *l = coder_layer(slot);
  qxio_t_error_code rc;
  if ((options & QXIO_SYNC_WRITE) && (l->layer.flags & QXIO_LAYER_WRITABLE)) {
    rc = flush_write_buf(l, (options & QXIO_SYNC_NONBLOCKING) ? QXIO_WRITE_NONBLOCKING : 0);
    if (rc < 0) return rc;
  }
  if ((options & QXIO_SYNC_READ) && (l->layer.flags & QXIO_LAYER_READABLE) &&
      !(options & QXIO_SYNC_KEEP_READAHEAD)) {
    rc = give_back_read_ahead(l);
    if (rc < 0) return rc;
  }
  if (options & QXIO_SYNC_DOWN) return qxio_sync(&l->layer.next, options);
  return QXIO_S_NOERR;
}

qxio_t_error_code seek_write_side(qxio_t_layer_coder *l, int64_t target)
{
  qxio_t_error_code rc = flush_write_buf(l, 0);
  if (rc < 0) return rc;
  int64_t distance;
  rc = qxio_char_coder_translate_offset(l->write_coder, target - l->write_pos, &distance);
  if (rc < 0) return rc;
  rc = qxio_seek(&l->layer.next, distance, nullptr, nullptr, QXIO_SEEK_CUR | QXIO_SEEK_WRITE);
  if (rc < 0) return rc;
  l->write_pos = target;
  return qxio_char_coder_seek(l->write_coder, target, 0);
}

/* Within the buffered bytes only the decoding point moves; elsewhere the stream below is
   repositioned and the buffer emptied. */
qxio_t_error_code seek_read_side(qxio_t_layer_coder *l, int64_t target)
{
  int64_t distance;
  qxio_t_error_code rc =
      qxio_char_coder_translate_offset(l->read_coder, target - l->read_pos, &distance);
  if (rc < 0) return rc;
  const int64_t byte_target = l->read_buf0_pos + (int64_t)l->read_buf_consumed + distance;
  if (byte_target < 0) return QXIO_E_INTERNAL_ERROR;
  const int64_t buffered_end = l->read_buf0_pos + (int64_t)l->read_buf->extent;
  if (byte_target < l->read_buf0_pos || (distance >= 0 && byte_target >= buffered_end)) {
    rc = qxio_seek(&l->layer.next, byte_target, nullptr, nullptr, QXIO_SEEK_SET | QXIO_SEEK_READ);
    if (rc < 0) return rc;
    empty_read_buf(l, byte_target);
  } else {
    l->read_buf_consumed = (size_t)(byte_target - l->read_buf0_pos);
  }
  l->read_pos = target;
  return qxio_char_coder_seek(l->read_coder, target, 0);
}

qxio_t_error_code coder_seek(QXIO *slot, int64_t offset, int64_t *new_offset, qxio_t_buf *buf,
                             uint32_t options)
{
  qxio_t_layer_coder *l = coder_layer(slot);
  const bool write_side = (options & QXIO_SEEK_WRITE) && (l->layer.flags & QXIO_LAYER_WRITABLE);
  if (options & QXIO_SEEK_END) return QXIO_E_NOT_SUPPORTED;
  int64_t base;
  if (options & QXIO_SEEK_SET)
    base = 0;
  else if (options & (QXIO_SEEK_CUR | QXIO_SEEK_CUR_ALT))
    base = write_side ? l->write_pos : l->read_pos;
  else
    return QXIO_E_PARAMETER_ERROR;
  int64_t target;
  if (__builtin_add_overflow(base, offset, &target) || target < 0) return QXIO_E_PARAMETER_ERROR;
  if (target % (int64_t)(write_side ? write_item_size(l) : read_item_size(l)) != 0)
    return QXIO_E_GRANULARITY_ERROR;
  qxio_t_error_code rc = write_side ? seek_write_side(l, target) : seek_read_side(l, target);
  if (rc < 0) return rc;
  *new_offset = target;
  return QXIO_S_NOERR;
}

qxio_t_error_code coder_open(const qxio_t_funcs *funcs, QXIO *slot, const qxio_t_arglist *args,
                             uint32_t options)
{
  return QXIO_E_NOT_IMPLEMENTED;
}

void coder_destroy(qxio_t_layer *layer)
{
  free_layer(reinterpret_cast<qxio_t_layer_coder *>(layer));
}

/* The conversion bits that an encoding-fallback request selects. */
uint32_t fallback_bits(uint32_t options)
{
  uint32_t bits = 0;
  if (options & QXIO_FALLBACK_INVALID) bits |= QXIO_CODER_REPLACE_INVALID;
  if (options & QXIO_FALLBACK_STRICT) bits |= QXIO_CODER_STRICT;
  if (options & QXIO_FALLBACK_REPLACE) bits |= QXIO_CODER_REPLACE;
  return bits;
}

qxio_t_error_code coder_ioctl(QXIO *slot, qxio_t_ioctl_operation operation, void *arg,
                              uint32_t options)
{
  qxio_t_layer_coder *l = coder_layer(slot);
  if (operation == QXIO_IOCTL_GET_ENCODING_NAME_) {
    qxio_t_coder *coder = (options & QXIO_IOCTL_READ_SIDE) ? l->read_coder : l->write_coder;
    if (coder == nullptr) return QXIO_E_NOT_SUPPORTED;
    *static_cast<const char **>(arg) = coder->funcs->name;
    return QXIO_S_NOERR;
  }
  if (operation == QXIO_IOCTL_ENCODING_FALLBACK_) {
    const uint32_t bits = fallback_bits(options);
    if (options & QXIO_FALLBACK_READ)
      l->read_coder_options = (l->read_coder_options & ~conversion_fallback_bits) | bits;
    if (options & QXIO_FALLBACK_WRITE)
      l->write_coder_options = (l->write_coder_options & ~conversion_fallback_bits) | bits;
    return QXIO_S_NOERR;
  }
  return QXIO_E_NOT_SUPPORTED;
}

}  // namespace

const qxio_t_funcs qxio_layer_coder_funcs = {sizeof(qxio_t_funcs),
                                             "char-coder",
                                             sizeof(qxio_t_layer_coder),
                                             0,
                                             0,
                                             coder_read,
                                             coder_write,
                                             coder_sync,
                                             coder_seek,
                                             qxio_layer_close_sides,
                                             coder_push,
                                             qxio_layer_sync_pop,
                                             coder_destroy,
                                             coder_open,
                                             coder_ioctl};

qxio_t_error_code qxio_init_layer_coder(uint32_t deinit)
{
  return qxio_register_layer(&qxio_layer_coder_funcs, deinit ? QXIO_REGISTER_REMOVE : 0);
}
