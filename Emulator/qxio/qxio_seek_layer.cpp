/* The layer class "seek": keeps every item read from the stream below, so that the read
   position can move back to anything read since the push. Opened instead of pushed, it is a
   stream over memory: writes append to its buffer and reads deliver it. */
#include <string.h>

#include "qxio_internal.h"

namespace {

typedef struct qxio_t_layer_seek {
  qxio_t_layer layer;
  qxio_t_buf *buf; /* every byte read from below, or written in memory mode */
  size_t off;      /* the read position, an index into buf */
} qxio_t_layer_seek;

/* Memory mode is marked with the flag of an open input direction of the handle. */
const uint32_t memory_mode = QXIO_LAYER_OS_INPUT_OPEN;
const uint32_t read_items =
    QXIO_LAYER_READ_ITEM_1 | QXIO_LAYER_READ_ITEM_2 | QXIO_LAYER_READ_ITEM_4;

qxio_t_layer_seek *seek_layer(QXIO *slot) { return reinterpret_cast<qxio_t_layer_seek *>(*slot); }

size_t read_item_size(const qxio_t_layer_seek *l)
{
  if (l->layer.flags & QXIO_LAYER_READ_ITEM_4) return 4;
  if (l->layer.flags & QXIO_LAYER_READ_ITEM_2) return 2;
  return 1;
}

qxio_t_error_code seek_push(const qxio_t_funcs *funcs, QXIO *slot, const qxio_t_arglist *args,
                            uint32_t options)
{
  uint32_t flags;
  if (options & QXIO_SEEK_LAYER_MEMORY) {
    flags = memory_mode;
    if (options & QXIO_SEEK_LAYER_READ)
      flags |= QXIO_LAYER_HAS_INPUT | QXIO_LAYER_READABLE | QXIO_LAYER_READ_OPEN |
               QXIO_LAYER_READ_ITEM_1;
    if (options & QXIO_SEEK_LAYER_WRITE)
      flags |= QXIO_LAYER_HAS_OUTPUT | QXIO_LAYER_WRITABLE | QXIO_LAYER_WRITE_OPEN |
               QXIO_LAYER_WRITE_ITEM_1;
  } else {
    if (*slot == nullptr || !((*slot)->flags & QXIO_LAYER_READ_OPEN)) return QXIO_E_NOT_OPEN_READ;
    flags = QXIO_LAYER_HAS_INPUT | QXIO_LAYER_READABLE | QXIO_LAYER_READ_OPEN |
            ((*slot)->flags & read_items);
  }
  qxio_t_layer_seek *l = static_cast<qxio_t_layer_seek *>(qxio_alloc(sizeof *l));
  if (l == nullptr) return QXIO_E_OUT_OF_MEMORY;
  memset(l, 0, sizeof *l);
  l->buf = qxio_buf_alloc(nullptr, 0, 0);
  if (l->buf == nullptr) {
    qxio_free(l);
    return QXIO_E_OUT_OF_MEMORY;
  }
  l->layer.funcs = funcs;
  l->layer.flags = flags;
  return qxio_layer_push(slot, &l->layer);
}

qxio_t_error_code seek_open(const qxio_t_funcs *funcs, QXIO *slot, const qxio_t_arglist *args,
                            uint32_t options)
{
  uint32_t push_options = QXIO_OPTION_PASS_ALL | QXIO_SEEK_LAYER_MEMORY;
  if (options & QXIO_SEEK_OPEN_READ) push_options |= QXIO_SEEK_LAYER_READ;
  if (options & QXIO_SEEK_OPEN_WRITE) push_options |= QXIO_SEEK_LAYER_WRITE;
  return qxio_push(funcs, slot, args, push_options);
}

/* Reads more from below only once every buffered byte has been delivered. */
qxio_t_error_code seek_read(QXIO *slot, qxio_t_buf *buf, uint32_t options)
{
  qxio_t_layer_seek *l = seek_layer(slot);
  const size_t item = read_item_size(l);
  if (buf->writable_size - buf->extent < item) {
    qxio_t_error_code rc = qxio_buf_reserve(buf, item);
    if (rc < 0) return rc;
  }
  if (l->off >= l->buf->extent) {
    if (l->layer.flags & memory_mode) return QXIO_E_END_OF_FILE;
    uint32_t kind;
    if (l->layer.flags & QXIO_LAYER_READ_ITEM_1)
      kind = QXIO_READ_BYTES;
    else if (l->layer.flags & QXIO_LAYER_READ_ITEM_4)
      kind = QXIO_READ_CODES;
    else
      return QXIO_E_INTERNAL_ERROR;
    qxio_t_error_code rc =
        qxio_read(&l->layer.next, &l->buf, kind | (options & QXIO_READ_NONBLOCKING));
    if (rc < 0) return rc;
  }
  size_t n = l->buf->extent - l->off, room = buf->writable_size - buf->extent;
  if (n > room) n = room - room % item;
  memcpy(buf->buf + buf->extent, l->buf->buf + l->off, n);
  buf->extent += n;
  l->off += n;
  return QXIO_S_NOERR;
}

qxio_t_error_code seek_write(QXIO *slot, qxio_t_buf *buf, size_t *pos, uint32_t options)
{
  qxio_t_layer_seek *l = seek_layer(slot);
  if (!(l->layer.flags & memory_mode) ||
      !((options & QXIO_SEEK_LAYER_MEMORY) || (l->layer.flags & QXIO_LAYER_OS_OUTPUT_OPEN)))
    return QXIO_E_WRITE_ERROR;
  if (*pos > buf->extent) return QXIO_E_PARAMETER_ERROR;
  qxio_t_error_code rc = qxio_buf_concat_bytes(l->buf, buf->buf + *pos, buf->extent - *pos);
  if (rc < 0) return rc;
  *pos = buf->extent;
  return QXIO_S_NOERR;
}

qxio_t_error_code seek_seek(QXIO *slot, int64_t offset, int64_t *new_offset, qxio_t_buf *buf,
                            uint32_t options)
{
  qxio_t_layer_seek *l = seek_layer(slot);
  if (((options & QXIO_SEEK_WRITE) && (l->layer.flags & QXIO_LAYER_WRITABLE)) ||
      !(options & QXIO_SEEK_READ) || !(l->layer.flags & QXIO_LAYER_READABLE))
    return QXIO_E_SEEK_ERROR;
  int64_t target;
  if (options & QXIO_SEEK_SET)
    target = offset;
  else if ((options & (QXIO_SEEK_CUR | QXIO_SEEK_CUR_ALT)) && !(options & QXIO_SEEK_END)) {
    if (__builtin_add_overflow((int64_t)l->off, offset, &target)) return QXIO_E_PARAMETER_ERROR;
  } else {
    return QXIO_E_PARAMETER_ERROR;
  }
  if (target < 0 || target % (int64_t)read_item_size(l) != 0 || (uint64_t)target > l->buf->extent)
    return QXIO_E_PARAMETER_ERROR;
  l->off = (size_t)target;
  *new_offset = target;
  return QXIO_S_NOERR;
}

/* The layer has no output of its own to flush, and its read-ahead is what it is there to
   keep, so a sync only passes on below when asked to; a pushed layer that refused every sync
   could never be closed or popped. */
qxio_t_error_code seek_sync(QXIO *slot, uint32_t options)
{
  qxio_t_layer_seek *l = seek_layer(slot);
  if (options & QXIO_SYNC_DOWN) return qxio_sync(&l->layer.next, options);
  return QXIO_S_NOERR;
}

void seek_destroy(qxio_t_layer *layer)
{
  qxio_t_layer_seek *l = reinterpret_cast<qxio_t_layer_seek *>(layer);
  qxio_buf_free(l->buf);
  qxio_free(l);
}

}  // namespace

const qxio_t_funcs qxio_layer_seek_funcs = {sizeof(qxio_t_funcs),
                                            "seek",
                                            sizeof(qxio_t_layer_seek),
                                            0,
                                            0,
                                            seek_read,
                                            seek_write,
                                            seek_sync,
                                            seek_seek,
                                            qxio_layer_close_sides,
                                            seek_push,
                                            qxio_layer_sync_pop,
                                            seek_destroy,
                                            seek_open,
                                            nullptr};

qxio_t_error_code qxio_init_layer_seek(uint32_t deinit)
{
  return qxio_register_layer(&qxio_layer_seek_funcs, deinit ? QXIO_REGISTER_REMOVE : 0);
}
