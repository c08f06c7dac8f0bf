/* The simple device layer: a device layer over a set of user callbacks that move bytes or
   character codes (32-bit code points). It cannot seek and is not in the layer registry. */
#ifndef QXIO_SIMPLE_DEVICE_H
#define QXIO_SIMPLE_DEVICE_H

#include "qxio.h"

/* Fills up to *size bytes at room and sets *size to the bytes stored; 0, QXIO_E_END_OF_FILE
   at the end, or another failure. */
typedef qxio_t_error_code (*qxio_t_user_read)(void *user_data, void *room, size_t *size,
                                              uint32_t options);
/* Takes up to *size bytes (whole items) and sets *size to what it took. */
typedef qxio_t_error_code (*qxio_t_user_write)(void *user_data, const void *data, size_t *size,
                                               uint32_t options);
typedef qxio_t_error_code (*qxio_t_user_flush_output)(void *user_data, uint32_t options);
typedef qxio_t_error_code (*qxio_t_user_seek)(void *user_data, int64_t offset, int64_t *new_offset,
                                              uint32_t options);
/* Receives the address of the layer's user_data, which it may clear. */
typedef qxio_t_error_code (*qxio_t_user_close)(void **user_data_slot, uint32_t options);
typedef qxio_t_error_code (*qxio_t_user_interrupt)(void *user_data, uint32_t options);
typedef qxio_t_error_code (*qxio_t_user_ioctl)(void *user_data, qxio_t_ioctl_operation operation,
                                               void *arg, uint32_t options);

/* Options the callbacks receive. */
#define QXIO_USER_NONBLOCKING 0x1u /* read and flush; on write: bit 0 of the write options */
#define QXIO_USER_BYTES 0x2u       /* read and write: a byte device */
#define QXIO_USER_CHARS 0x4u       /* read and write: a character device */
#define QXIO_USER_CLOSE_READ 0x1u
#define QXIO_USER_CLOSE_WRITE 0x2u
#define QXIO_USER_CLOSE_ABORTIVE 0x4u

typedef struct qxio_t_simple_device {
  qxio_t_layer layer;
  void *user_data;        /* handed to every callback */
  const void *user_class; /* names the kind of device */
  qxio_t_user_read user_read;
  qxio_t_user_write user_write;
  qxio_t_user_flush_output user_flush_output;
  qxio_t_user_seek user_seek; /* never called by the layer */
  qxio_t_user_close user_close;
  qxio_t_user_interrupt user_interrupt; /* kept for the layer's clients */
  qxio_t_user_ioctl user_ioctl;
} qxio_t_simple_device;

/* The layer class "simple_device". */
extern const qxio_t_funcs qxio_simple_device_funcs;

/* qxio_create_device: exactly one of these. */
#define QXIO_DEVICE_BYTES 0x1u
#define QXIO_DEVICE_CHARS 0x2u

/* Pushes a simple device onto the slot (normally an empty one). Missing callbacks are
   replaced (read, write, seek and ioctl by ones that answer QXIO_E_NOT_IMPLEMENTED, flush by
   one that succeeds, interrupt by one that does nothing); the close callback is required,
   and so is a read or a write callback. */
qxio_t_error_code qxio_create_device(QXIO *slot, void *user_data, const void *user_class,
                                     qxio_t_user_read user_read, qxio_t_user_write user_write,
                                     qxio_t_user_flush_output user_flush_output,
                                     qxio_t_user_seek user_seek, qxio_t_user_close user_close,
                                     qxio_t_user_interrupt user_interrupt,
                                     qxio_t_user_ioctl user_ioctl, uint32_t options);
/* The user_data of the topmost simple device of the stream, if its user_class is user_class. */
qxio_t_error_code qxio_get_device_user_data(QXIO *slot, const void *user_class,
                                            void **user_data_out, uint32_t options);

#endif
