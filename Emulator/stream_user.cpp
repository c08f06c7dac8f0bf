/* Streams over devices that native code supplies as callbacks, and streams over descriptors
 * that are already open. */
#include <cstring>

#include "orvalis.h"
#include "streams.h"

int QX_create_stream(void *user_data, const void *user_class, qxio_t_user_read read,
                     qxio_t_user_write write, qxio_t_user_flush_output flush_output,
                     qxio_t_user_seek seek, qxio_t_user_close close,
                     qxio_t_user_interrupt interrupt, qxio_t_user_ioctl ioctl,
                     const qxio_t_arglist *, uint32_t options, QX_stream **stream)
{
  if (!user_data || (!read && !write)) return QXIO_E_PARAMETER_ERROR;
  bool binary = options & QX_CS_BINARY;
  if (binary == !!(options & QX_CS_TEXT)) return QXIO_E_PARAMETER_ERROR;
  QXIO q = nullptr;
  int rc = qxio_create_device(&q, user_data, user_class, read, write, flush_output, seek, close,
                              interrupt, ioctl, binary ? QXIO_DEVICE_BYTES : QXIO_DEVICE_CHARS);
  if (rc < 0) return rc;
  uint32_t create = (read ? QX_SC_INPUT : 0) | (write ? QX_SC_OUTPUT : 0) |
                    (binary ? QX_SC_BINARY : QX_SC_TEXT) |
                    (options & QX_CS_INTERACTIVE ? QX_SC_INTERACTIVE : 0) |
                    (options & QX_CS_AUTOFLUSH ? QX_SC_AUTOFLUSH : 0) |
                    (options & QX_CS_EOF_CODE ? QX_SC_EOF_CODE : 0) |
                    (options & QX_CS_EOF_RESET ? QX_SC_EOF_RESET : 0);
  rc = QX_create_qxio_stream(&q, stream, create);
  if (rc < 0) qxio_close(&q, QXIO_CLOSE_ABORTIVE);
  return rc < 0 ? rc : 0;
}

int QX_get_stream_user_data(QX_stream *stream, const void *user_class, void **user_data)
{
  if (!stream || !find_stream(stream)) return QXIO_E_PARAMETER_ERROR;
  if (!stream->qxio) return QXIO_E_NOT_FOUND;
  int rc = qxio_get_device_user_data(&stream->qxio, user_class, user_data, 0);
  return rc < 0 ? rc : 0;
}

/* A refused descriptor stays the caller's whichever step refused it: once the device layer
 * holds it, that layer is told not to close it when the half-made stack goes. */
static void disown_descriptor(QXIO stack)
{
  if (stack == nullptr) return;
  qxio_t_layer *bottom = stack;
  while (bottom->next != nullptr) bottom = bottom->next;
  bottom->flags |= QXIO_LAYER_HANDLE_NOT_OWNED;
}

int QX_create_os_stream(int fd, QX_stream **stream, TAGGED encoding, uint32_t options)
{
  bool rd = options & QX_OS_READ, wr = options & QX_OS_WRITE, text = options & QX_OS_TEXT;
  if ((!rd && !wr) || text == !!(options & QX_OS_BINARY)) return QXIO_E_PARAMETER_ERROR;
  uint32_t fo = (rd ? QX_FO_READ : 0) | (wr ? QX_FO_WRITE : 0) |
                (options & QX_OS_REPOSITION ? QX_FO_REPOSITION : 0) |
                (options & QX_OS_ENCODING_TERM ? QX_FO_ENCODING_TERM : 0);
  qx_text_setup setup;
  int rc = 0;
  if (text) {
    char *os_name = nullptr;
    if ((options & QX_OS_PREFER_OS_CHARSET) && qxio_unix_default_charset(&os_name, 0) < 0)
      os_name = nullptr;
    rc = qx_text_setup_find(&setup, fo, encoding, os_name);
    if (os_name) qxio_free(os_name);
    if (rc == QXIO_E_PARAMETER_ERROR && setup.coders_found) rc = QXIO_E_INTERNAL_ERROR;
    if (rc < 0) return rc;
    /* The byte-order mark follows the options, not the encoding term. */
    setup.push &= ~0xCu;
    if (rd && (options & QX_OS_READ_BOM)) setup.push |= 0x4;
    if (wr && (options & (QX_OS_WRITE_BOM | QX_OS_WRITE_BOM_IF_CALLED_FOR))) setup.push |= 0x4;
    if (wr && (options & QX_OS_WRITE_BOM_IF_CALLED_FOR)) setup.push |= 0x8;
  }
  uint32_t fd_options = (rd ? QXIO_FD_READ : 0) | (wr ? QXIO_FD_WRITE : 0) |
                        (options & QX_OS_NOT_OWNED ? QXIO_FD_NOT_OWNED : 0) |
                        (options & QX_OS_SEQUENTIAL ? QXIO_FD_SEQUENTIAL : 0);
  rc = qxio_layer_async_unix_open_file_handle(&setup.qxio, fd, fd_options);
  if (rc < 0) return setup.qxio = nullptr, rc;
  uint32_t read_bits = 0, write_bits = 0;
  if (text) {
    rc = qx_text_setup_push(&setup, &read_bits, &write_bits);
    if (rc >= 0 && (options & (QX_OS_FALLBACK_INVALID | QX_OS_FALLBACK_REPLACE))) {
      uint32_t fallback = (rd ? QXIO_FALLBACK_READ : 0) | (wr ? QXIO_FALLBACK_WRITE : 0) |
                          (options & QX_OS_FALLBACK_INVALID ? QXIO_FALLBACK_INVALID : 0) |
                          (options & QX_OS_FALLBACK_REPLACE ? QXIO_FALLBACK_REPLACE : 0);
      rc = qxio_ioctl_encoding_fallback(&setup.qxio, fallback);
    }
    if (rc < 0) return disown_descriptor(setup.qxio), rc;
  }
  uint32_t create = (rd ? QX_SC_INPUT : 0) | (wr ? QX_SC_OUTPUT : 0) |
                    (text ? QX_SC_TEXT : QX_SC_BINARY) |
                    (options & QX_OS_AUTOFLUSH ? QX_SC_AUTOFLUSH : 0);
  if ((rc = QX_create_qxio_stream(&setup.qxio, stream, create)) < 0)
    return disown_descriptor(setup.qxio), rc;
  set_stream_encoding_bits(*stream, read_bits, write_bits);
  return 0;
}
