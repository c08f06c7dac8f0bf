/* Internal declarations of the asynchronous operations and the asynchronous layer. */
#ifndef QXIO_ASYNC_INTERNAL_H
#define QXIO_ASYNC_INTERNAL_H

#include "qxio_internal.h"

/* Waits for an operation: QXIO_ASYNC_WAIT_CANCEL cancels it first when it still runs;
   QXIO_ASYNC_WAIT_NONBLOCKING answers QXIO_E_WOULD_BLOCK while it runs. */
#define QXIO_ASYNC_WAIT_CANCEL 0x1u
#define QXIO_ASYNC_WAIT_NONBLOCKING 0x2u
qxio_t_error_code qxio_async_wait(qxio_t_async_info *info, uint32_t options);

/* ---- shared by the device layers over descriptors ---- */

/* The system's open flags for the options of a file-opening class (QXIO_OPEN_...):
   QXIO_E_PARAMETER_ERROR for no direction, or for appending to a file open both ways. */
qxio_t_error_code qxio_open_flags(uint32_t options, int *flags_out);
/* Opens the file named by the argument "pathname" with the options of a file-opening class and
   makes a device layer over it with wrap (options passed on: the directions and append); the
   descriptor is closed again when that fails. */
qxio_t_error_code qxio_open_path_with(QXIO *slot, const qxio_t_arglist *args, uint32_t options,
                                      qxio_t_error_code (*wrap)(QXIO *slot, int fd,
                                                                uint32_t options));
/* The checks every layer over a descriptor makes first: a slot, a descriptor and at least one
   direction; then the descriptor's status flags. */
qxio_t_error_code qxio_fd_layer_status(QXIO *slot, int fd, uint32_t options, int *status_flags_out);
/* The layer flags of the directions and options asked (QXIO_FD_...), checked against the
   descriptor's access mode (QXIO_E_NOT_READ, QXIO_E_NOT_WRITE). */
qxio_t_error_code qxio_fd_direction_flags(int status_flags, uint32_t options, uint32_t *flags_out);
/* The error for a device type that no descriptor layer takes, else 0. */
qxio_t_error_code qxio_fd_device_type_check(qxio_t_device_type type);
/* The starting read and write positions of a regular file; writing to a descriptor in
   append mode needs QXIO_FD_SEQUENTIAL (else QXIO_E_PARAMETER_ERROR). */
qxio_t_error_code qxio_fd_file_positions(int fd, int status_flags, uint32_t options,
                                         int64_t *read_pos, int64_t *write_pos);
/* The control requests every descriptor layer answers alike: its readable and writable
   events (for the sides it has) and its device type; others are QXIO_E_NOT_SUPPORTED. */
qxio_t_error_code qxio_fd_ioctl_common(const qxio_t_layer *layer, qxio_t_event *readable,
                                       qxio_t_event *writable, qxio_t_device_type type,
                                       qxio_t_ioctl_operation operation, void *arg);
/* The position a seek (options as qxio_seek, the kinds already limited to the open sides)
   reaches from the layer's read and write positions. */
qxio_t_error_code qxio_fd_seek_target(QXIO *slot, int64_t read_pos, int64_t write_pos,
                                      int64_t offset, uint32_t options, int64_t *target_out);

/* Whether an abortive close cancels a write that is still running (QXIO_ABORTIVE_WRITE_CANCEL,
   read at start); tests may change it. */
extern int qxio_async_abortive_write_cancel;

#endif
