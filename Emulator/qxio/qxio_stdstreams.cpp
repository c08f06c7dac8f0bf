/* The standard-stream table: one entry each for standard input, output and error, holding a
   stream and the options it was registered with. */
#include "qxio_internal.h"

namespace {

struct standard_stream_entry {
  QXIO stream;
  uint32_t which;
};

const int NSTANDARD_STREAMS = 3;
standard_stream_entry standard_streams[NSTANDARD_STREAMS];

const uint32_t WHICH_KIND_BITS = 0x7;

/* The entry index (0 to 2) of which, or -1 when which names no standard stream. */
int entry_index(uint32_t which)
{
  uint32_t kind = which & WHICH_KIND_BITS;
  if (kind != QXIO_STD_INPUT && kind != QXIO_STD_OUTPUT && kind != QXIO_STD_ERROR) return -1;
  return ((which & 0x2) ? 1 : 0) + ((which & 0x4) ? 2 : 0);
}

}  // namespace

/* The stream that was registered before is closed on the sides its registration asked for,
   unless it is registered again. */
qxio_t_error_code qxio_set_standard_stream(QXIO *slot, uint32_t which)
{
  int index = entry_index(which);
  if (index < 0) return QXIO_E_PARAMETER_ERROR;
  if (slot != nullptr && *slot == nullptr) return QXIO_E_PARAMETER_ERROR;
  standard_stream_entry *entry = &standard_streams[index];
  QXIO old = entry->stream;
  uint32_t old_which = entry->which;
  entry->stream = slot != nullptr ? *slot : nullptr;
  entry->which = slot != nullptr ? which : 0;
  if (old == nullptr || old == entry->stream) return QXIO_S_NOERR;
  uint32_t sides = ((old_which & QXIO_STD_CLOSE_READ) ? QXIO_CLOSE_READ : 0) |
                   ((old_which & QXIO_STD_CLOSE_WRITE) ? QXIO_CLOSE_WRITE : 0);
  if (sides == 0) return QXIO_S_NOERR;
  return qxio_close(&old, sides);
}

qxio_t_error_code qxio_get_standard_stream(QXIO *stream_out, uint32_t which)
{
  int index = entry_index(which);
  if (index < 0 || stream_out == nullptr) return QXIO_E_PARAMETER_ERROR;
  standard_stream_entry *entry = &standard_streams[index];
  if (entry->stream == nullptr) {
    if (!(which & QXIO_STD_NULL_IF_NONE)) return QXIO_E_NOT_FOUND;
    *stream_out = nullptr;
    return qxio_null_stream_new(stream_out, which & WHICH_KIND_BITS);
  }
  *stream_out = entry->stream;
  entry->stream = nullptr;
  entry->which = 0;
  return QXIO_S_NOERR;
}
