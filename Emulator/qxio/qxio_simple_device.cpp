/* The simple device layer: turns user callbacks into the bottom layer of a stream. */
#include "qxio_simple_device.h"

#include "qxio_internal.h"

namespace {

qxio_t_simple_device *device_of(QXIO *slot)
{
  return reinterpret_cast<qxio_t_simple_device *>(*slot);
}

/* The item size of a side from its flags: 1 for bytes, 4 for character codes, 0 for any
   other combination. */
size_t item_size(uint32_t flags, uint32_t bytes_flag, uint32_t codes_flag)
{
  uint32_t sizes = flags & (bytes_flag | codes_flag);
  if (sizes == bytes_flag) return 1;
  if (sizes == codes_flag) return 4;
  return 0;
}

uint32_t user_item_option(size_t item) { return item == 1 ? QXIO_USER_BYTES : QXIO_USER_CHARS; }

qxio_t_error_code device_read(QXIO *slot, qxio_t_buf *buf, uint32_t options)
{
  qxio_t_simple_device *device = device_of(slot);
  size_t item = item_size(device->layer.flags, QXIO_LAYER_READ_ITEM_1, QXIO_LAYER_READ_ITEM_4);
  if (item == 0) return QXIO_E_INTERNAL_ERROR;
  if (buf->writable_size - buf->extent < item) {
    qxio_t_error_code rc = qxio_buf_reserve(buf, item);
    if (rc < 0) return rc;
  }
  size_t room = buf->writable_size - buf->extent;
  room -= room % item;
  size_t size = room;
  uint32_t user_options = user_item_option(item);
  if (options & QXIO_READ_NONBLOCKING) user_options |= QXIO_USER_NONBLOCKING;
  qxio_t_error_code rc =
      device->user_read(device->user_data, buf->buf + buf->extent, &size, user_options);
  if (rc < 0) return rc;
  if (size > room) return QXIO_E_INTERNAL_ERROR;
  buf->extent += size;
  return QXIO_S_NOERR;
}

qxio_t_error_code device_write(QXIO *slot, qxio_t_buf *buf, size_t *pos, uint32_t options)
{
  qxio_t_simple_device *device = device_of(slot);
  size_t item = item_size(device->layer.flags, QXIO_LAYER_WRITE_ITEM_1, QXIO_LAYER_WRITE_ITEM_4);
  if (item == 0) return QXIO_E_INTERNAL_ERROR;
  if (*pos > buf->extent) return QXIO_E_PARAMETER_ERROR;
  size_t offered = buf->extent - *pos;
  offered -= offered % item;
  if (offered == 0) return QXIO_S_NOERR;
  size_t size = offered;
  uint32_t user_options = user_item_option(item);
  if (options & QXIO_WRITE_USER) user_options |= QXIO_USER_NONBLOCKING;
  qxio_t_error_code rc =
      device->user_write(device->user_data, buf->buf + *pos, &size, user_options);
  if (rc < 0) return rc;
  if (size > offered) return QXIO_E_INTERNAL_ERROR;
  *pos += size;
  return QXIO_S_NOERR;
}

qxio_t_error_code device_sync(QXIO *slot, uint32_t options)
{
  qxio_t_simple_device *device = device_of(slot);
  if (!(options & QXIO_SYNC_WRITE) || !(device->layer.flags & QXIO_LAYER_WRITABLE))
    return QXIO_S_NOERR;
  qxio_t_error_code rc = device->user_flush_output(
      device->user_data, (options & QXIO_SYNC_NONBLOCKING) ? QXIO_USER_NONBLOCKING : 0);
  return rc < 0 ? rc : QXIO_S_NOERR;
}

qxio_t_error_code device_seek(QXIO *slot, int64_t offset, int64_t *new_offset, qxio_t_buf *buf,
                              uint32_t options)
{
  return QXIO_E_NOT_IMPLEMENTED;
}

/* Closes the requested sides that are still open; the layer goes once neither remains. A
   failing user close leaves the layer as it was. */
qxio_t_error_code device_close(QXIO *slot, uint32_t options)
{
  qxio_t_simple_device *device = device_of(slot);
  uint32_t sides = 0;
  if ((options & QXIO_CLOSE_READ) && (device->layer.flags & QXIO_LAYER_READ_OPEN))
    sides |= QXIO_USER_CLOSE_READ;
  if ((options & QXIO_CLOSE_WRITE) && (device->layer.flags & QXIO_LAYER_WRITE_OPEN))
    sides |= QXIO_USER_CLOSE_WRITE;
  if (sides != 0 && device->user_data != nullptr) {
    uint32_t user_options =
        sides | ((options & QXIO_CLOSE_ABORTIVE) ? QXIO_USER_CLOSE_ABORTIVE : 0);
    qxio_t_error_code rc = device->user_close(&device->user_data, user_options);
    if (rc < 0) return rc;
  }
  if (sides & QXIO_USER_CLOSE_READ)
    device->layer.flags &= ~(QXIO_LAYER_READABLE | QXIO_LAYER_READ_OPEN);
  if (sides & QXIO_USER_CLOSE_WRITE)
    device->layer.flags &= ~(QXIO_LAYER_WRITABLE | QXIO_LAYER_WRITE_OPEN);
  if (!(device->layer.flags & (QXIO_LAYER_READ_OPEN | QXIO_LAYER_WRITE_OPEN))) {
    qxio_layer_pop(slot);
    qxio_layer_destroy(&device->layer);
  }
  return QXIO_S_NOERR;
}

/* Push and open: a simple device is made by qxio_create_device only. */
qxio_t_error_code device_push_or_open(const qxio_t_funcs *funcs, QXIO *slot,
                                      const qxio_t_arglist *args, uint32_t options)
{
  return QXIO_E_NOT_IMPLEMENTED;
}

qxio_t_error_code device_pop(const qxio_t_funcs *funcs, QXIO *slot, uint32_t options)
{
  return QXIO_E_NOT_IMPLEMENTED;
}

void device_destroy(qxio_t_layer *layer) { qxio_free(layer); }

qxio_t_error_code device_ioctl(QXIO *slot, qxio_t_ioctl_operation operation, void *arg,
                               uint32_t options)
{
  qxio_t_simple_device *device = device_of(slot);
  return device->user_ioctl(device->user_data, operation, arg, options);
}

/* Stand-ins for callbacks the user left out. */
qxio_t_error_code missing_read(void *user_data, void *room, size_t *size, uint32_t options)
{
  return QXIO_E_NOT_IMPLEMENTED;
}
qxio_t_error_code missing_write(void *user_data, const void *data, size_t *size, uint32_t options)
{
  return QXIO_E_NOT_IMPLEMENTED;
}
qxio_t_error_code missing_flush(void *user_data, uint32_t options) { return QXIO_S_NOERR; }
qxio_t_error_code missing_seek(void *user_data, int64_t offset, int64_t *new_offset,
                               uint32_t options)
{
  return QXIO_E_NOT_IMPLEMENTED;
}
qxio_t_error_code missing_interrupt(void *user_data, uint32_t options) { return QXIO_S_NOERR; }
qxio_t_error_code missing_ioctl(void *user_data, qxio_t_ioctl_operation operation, void *arg,
                                uint32_t options)
{
  return QXIO_E_NOT_IMPLEMENTED;
}

uint32_t device_flags(bool reads, bool writes, bool bytes)
{
  uint32_t flags = 0;
  if (reads)
    flags |= QXIO_LAYER_HAS_INPUT | QXIO_LAYER_READABLE | QXIO_LAYER_READ_OPEN |
             (bytes ? QXIO_LAYER_READ_ITEM_1 : QXIO_LAYER_READ_ITEM_4);
  if (writes)
    flags |= QXIO_LAYER_HAS_OUTPUT | QXIO_LAYER_WRITABLE | QXIO_LAYER_WRITE_OPEN |
             (bytes ? QXIO_LAYER_WRITE_ITEM_1 : QXIO_LAYER_WRITE_ITEM_4);
  return flags;
}

}  // namespace

const qxio_t_funcs qxio_simple_device_funcs = {sizeof(qxio_t_funcs),
                                               "simple_device",
                                               sizeof(qxio_t_simple_device),
                                               0,
                                               0,
                                               device_read,
                                               device_write,
                                               device_sync,
                                               device_seek,
                                               device_close,
                                               device_push_or_open,
                                               device_pop,
                                               device_destroy,
                                               device_push_or_open,
                                               device_ioctl};

qxio_t_error_code qxio_create_device(QXIO *slot, void *user_data, const void *user_class,
                                     qxio_t_user_read user_read, qxio_t_user_write user_write,
                                     qxio_t_user_flush_output user_flush_output,
                                     qxio_t_user_seek user_seek, qxio_t_user_close user_close,
                                     qxio_t_user_interrupt user_interrupt,
                                     qxio_t_user_ioctl user_ioctl, uint32_t options)
{
  uint32_t kind = options & (QXIO_DEVICE_BYTES | QXIO_DEVICE_CHARS);
  if (slot == nullptr || (kind != QXIO_DEVICE_BYTES && kind != QXIO_DEVICE_CHARS))
    return QXIO_E_PARAMETER_ERROR;
  if ((user_read == nullptr && user_write == nullptr) || user_close == nullptr)
    return QXIO_E_PARAMETER_ERROR;
  qxio_t_simple_device *device =
      static_cast<qxio_t_simple_device *>(qxio_alloc(sizeof(qxio_t_simple_device)));
  if (device == nullptr) return QXIO_E_OUT_OF_MEMORY;
  device->layer.funcs = &qxio_simple_device_funcs;
  device->layer.next = nullptr;
  device->layer.flags =
      device_flags(user_read != nullptr, user_write != nullptr, kind == QXIO_DEVICE_BYTES);
  device->layer.pad = 0;
  device->user_data = user_data;
  device->user_class = user_class;
  device->user_read = user_read != nullptr ? user_read : missing_read;
  device->user_write = user_write != nullptr ? user_write : missing_write;
  device->user_flush_output = user_flush_output != nullptr ? user_flush_output : missing_flush;
  device->user_seek = user_seek != nullptr ? user_seek : missing_seek;
  device->user_close = user_close;
  device->user_interrupt = user_interrupt != nullptr ? user_interrupt : missing_interrupt;
  device->user_ioctl = user_ioctl != nullptr ? user_ioctl : missing_ioctl;
  return qxio_layer_push(slot, &device->layer);
}

qxio_t_error_code qxio_get_device_user_data(QXIO *slot, const void *user_class,
                                            void **user_data_out, uint32_t options)
{
  qxio_t_layer *layer;
  qxio_t_error_code rc = qxio_get_qxio_layer(slot, &qxio_simple_device_funcs, &layer, 0);
  if (rc < 0) return rc;
  qxio_t_simple_device *device = reinterpret_cast<qxio_t_simple_device *>(layer);
  if (device->user_class != user_class) return QXIO_E_NOT_FOUND;
  if (user_data_out != nullptr) *user_data_out = device->user_data;
  return QXIO_S_NOERR;
}
