/* Null streams: what the standard-stream table hands out when nothing is registered. An
   input null stream is always at its end; an output one takes and discards everything. */
#include "qxio_internal.h"
#include "qxio_simple_device.h"

const char QXIO_NULL_STREAM_CLASS[] = "null stream";

namespace {

/* The state word holds the sides still open. */
const uint32_t NULL_READ_SIDE = QXIO_USER_CLOSE_READ;
const uint32_t NULL_WRITE_SIDE = QXIO_USER_CLOSE_WRITE;

qxio_t_error_code null_read(void *user_data, void *room, size_t *size, uint32_t options)
{
  *size = 0;
  return QXIO_E_END_OF_FILE;
}

qxio_t_error_code null_write(void *user_data, const void *data, size_t *size, uint32_t options)
{
  return QXIO_S_NOERR;
}

qxio_t_error_code null_close(void **user_data_slot, uint32_t options)
{
  uint32_t *state = static_cast<uint32_t *>(*user_data_slot);
  *state &= ~(options & (NULL_READ_SIDE | NULL_WRITE_SIDE));
  if (*state == 0) {
    qxio_free(state);
    *user_data_slot = nullptr;
  }
  return QXIO_S_NOERR;
}

}  // namespace

qxio_t_error_code qxio_null_stream_new(QXIO *slot, uint32_t which)
{
  bool input = (which & 0x7) == QXIO_STD_INPUT;
  uint32_t *state = static_cast<uint32_t *>(qxio_alloc(sizeof(uint32_t)));
  if (state == nullptr) return QXIO_E_OUT_OF_MEMORY;
  *state = input ? NULL_READ_SIDE : NULL_WRITE_SIDE;
  qxio_t_error_code rc =
      qxio_create_device(slot, state, QXIO_NULL_STREAM_CLASS, input ? null_read : nullptr,
                         input ? nullptr : null_write, nullptr, nullptr, null_close, nullptr,
                         nullptr, QXIO_DEVICE_BYTES);
  if (rc < 0) qxio_free(state);
  return rc;
}
