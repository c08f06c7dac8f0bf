/* Streams as stacks of layers: the registry of layer classes by name, and the public stream
   operations, each of which masks its options and calls the top layer's class. */
#include <string.h>

#include "qxio_internal.h"

namespace {

/* The registry of layer classes, created by the first registration and freed with the last
   class. */
qxio_t_hash *registry = nullptr;

int skip_abortive_sync = 1;

/* A layer that keeps answering success without moving any data is broken; after this many
   such answers in a row the operation fails instead of spinning. */
const int MAX_EMPTY_TRANSFERS = 1000;

const uint32_t LOW_OPTION_BITS = 0xFFFFFu;

/* Options as a layer sees them: bits 0 to 19, or with bit 20 every bit but 20. */
uint32_t layer_options(uint32_t options)
{
  if (options & QXIO_OPTION_PASS_ALL) return options & ~QXIO_OPTION_PASS_ALL;
  return options & LOW_OPTION_BITS;
}

qxio_t_error_code success_to_zero(qxio_t_error_code rc) { return rc > 0 ? QXIO_S_NOERR : rc; }

qxio_t_error_code check_funcs(const qxio_t_funcs *funcs)
{
  if (funcs == nullptr) return QXIO_E_PARAMETER_ERROR;
  if (funcs->sizeof_qxio_t_funcs != sizeof(qxio_t_funcs)) return QXIO_E_VERSION_ERROR;
  if (funcs->name == nullptr || funcs->layer_size < sizeof(qxio_t_layer))
    return QXIO_E_PARAMETER_ERROR;
  if (funcs->read == nullptr || funcs->write == nullptr || funcs->sync == nullptr ||
      funcs->seek == nullptr || funcs->destroy == nullptr || funcs->open == nullptr)
    return QXIO_E_PARAMETER_ERROR;
  return QXIO_S_NOERR;
}

qxio_t_error_code unregister_layer(const char *name)
{
  if (name == nullptr) return QXIO_E_PARAMETER_ERROR;
  if (registry == nullptr) return QXIO_S_NOERR;
  qxio_hash_delete_string(registry, name);
  if (qxio_hash_nentries(registry) == 0) {
    qxio_hash_free(registry);
    registry = nullptr;
  }
  return QXIO_S_NOERR;
}

qxio_t_error_code close_top(QXIO *slot, uint32_t options)
{
  qxio_t_layer *top = *slot;
  if (top->funcs->close == nullptr) return qxio_layer_close_sides(slot, options);
  return success_to_zero(top->funcs->close(slot, options));
}

/* Marks every layer of the stack as closing the given sides. */
void mark_closing(QXIO stream, uint32_t sides)
{
  uint32_t set = 0, clear = 0;
  if (sides & QXIO_CLOSE_READ) {
    set |= QXIO_LAYER_READ_CLOSING;
    clear |= QXIO_LAYER_READABLE;
  }
  if (sides & QXIO_CLOSE_WRITE) {
    set |= QXIO_LAYER_WRITE_CLOSING;
    clear |= QXIO_LAYER_WRITABLE;
  }
  for (qxio_t_layer *layer = stream; layer != nullptr; layer = layer->next)
    layer->flags = (layer->flags | set) & ~clear;
}

/* Undoes mark_closing after a failed close, on the layers that keep the sides open. */
void unmark_closing(QXIO stream, uint32_t sides)
{
  for (qxio_t_layer *layer = stream; layer != nullptr; layer = layer->next) {
    if (sides & QXIO_CLOSE_READ) {
      layer->flags &= ~QXIO_LAYER_READ_CLOSING;
      if (layer->flags & QXIO_LAYER_READ_OPEN) layer->flags |= QXIO_LAYER_READABLE;
    }
    if (sides & QXIO_CLOSE_WRITE) {
      layer->flags &= ~QXIO_LAYER_WRITE_CLOSING;
      if (layer->flags & QXIO_LAYER_WRITE_OPEN) layer->flags |= QXIO_LAYER_WRITABLE;
    }
  }
}

uint32_t closing_bits(uint32_t sides)
{
  return ((sides & QXIO_CLOSE_READ) ? QXIO_LAYER_READ_CLOSING : 0) |
         ((sides & QXIO_CLOSE_WRITE) ? QXIO_LAYER_WRITE_CLOSING : 0);
}

}  // namespace

/* ---- registry ---- */

qxio_t_error_code qxio_register_layer(const qxio_t_funcs *funcs, uint32_t options)
{
  if (funcs == nullptr) return QXIO_E_PARAMETER_ERROR;
  if (options & QXIO_REGISTER_REMOVE) return unregister_layer(funcs->name);
  qxio_t_error_code rc = check_funcs(funcs);
  if (rc < 0) return rc;
  bool created = false;
  if (registry == nullptr) {
    rc = qxio_hash_new(&registry);
    if (rc < 0) return rc;
    created = true;
  }
  qxio_t_variant value = {QXIO_VARIANT_POINTER, {}};
  value.u.pointer = const_cast<qxio_t_funcs *>(funcs);
  rc = qxio_hash_put_string(registry, funcs->name, &value);
  if (rc < 0 && created) {
    qxio_hash_free(registry);
    registry = nullptr;
  }
  return success_to_zero(rc);
}

qxio_t_error_code qxio_find_layer(const char *name, const qxio_t_funcs **funcs_out,
                                  uint32_t options)
{
  if (funcs_out != nullptr) *funcs_out = nullptr;
  if (name == nullptr) return QXIO_E_PARAMETER_ERROR;
  if (registry == nullptr) return QXIO_E_NOT_FOUND;
  qxio_t_variant *value;
  qxio_t_error_code rc = qxio_hash_get_string(registry, name, &value);
  if (rc < 0) return rc;
  if (funcs_out != nullptr) *funcs_out = static_cast<const qxio_t_funcs *>(value->u.pointer);
  return QXIO_S_NOERR;
}

/* ---- layer helpers ---- */

qxio_t_error_code qxio_layer_push(QXIO *slot, qxio_t_layer *layer)
{
  if (slot == nullptr || layer == nullptr) return QXIO_E_PARAMETER_ERROR;
  layer->next = *slot;
  *slot = layer;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_layer_pop(QXIO *slot)
{
  if (slot == nullptr || *slot == nullptr) return QXIO_E_PARAMETER_ERROR;
  qxio_t_layer *top = *slot;
  *slot = top->next;
  top->next = nullptr;
  return QXIO_S_NOERR;
}

void qxio_layer_destroy(qxio_t_layer *layer)
{
  if (layer != nullptr) layer->funcs->destroy(layer);
}

/* The shared close of the transforming layers, and the close of a class that has none. */
qxio_t_error_code qxio_layer_close_sides(QXIO *slot, uint32_t options)
{
  qxio_t_layer *layer = *slot;
  qxio_t_error_code rc = qxio_close(&layer->next, options);
  if (rc < 0) return rc;
  if (options & QXIO_CLOSE_READ) layer->flags &= ~(QXIO_LAYER_READABLE | QXIO_LAYER_READ_OPEN);
  if (options & QXIO_CLOSE_WRITE) layer->flags &= ~(QXIO_LAYER_WRITABLE | QXIO_LAYER_WRITE_OPEN);
  if (!(layer->flags & (QXIO_LAYER_READ_OPEN | QXIO_LAYER_WRITE_OPEN))) {
    qxio_layer_pop(slot);
    qxio_layer_destroy(layer);
  }
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_layer_sync_pop(const qxio_t_funcs *funcs, QXIO *slot, uint32_t options)
{
  if (*slot == nullptr || (*slot)->funcs != funcs) return QXIO_E_PARAMETER_ERROR;
  /* Both sides: output goes down, read-ahead goes back to the stream below. */
  qxio_t_error_code rc = qxio_sync(slot, QXIO_SYNC_READ | QXIO_SYNC_WRITE);
  if (rc < 0) return rc;
  qxio_t_layer *layer = *slot;
  qxio_layer_pop(slot);
  qxio_layer_destroy(layer);
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_get_qxio_layer(QXIO *slot, const qxio_t_funcs *funcs,
                                      qxio_t_layer **layer_out, uint32_t options)
{
  if (layer_out != nullptr) *layer_out = nullptr;
  if (slot == nullptr) return QXIO_E_PARAMETER_ERROR;
  int skip = (options & QXIO_GET_LAYER_SECOND) ? 1 : 0;
  for (qxio_t_layer *layer = *slot; layer != nullptr; layer = layer->next) {
    if (layer->funcs != funcs) continue;
    if (skip-- > 0) continue;
    if (layer_out != nullptr) *layer_out = layer;
    return QXIO_S_NOERR;
  }
  return QXIO_E_NOT_FOUND;
}

/* ---- open, push, pop ---- */

qxio_t_error_code qxio_open(const qxio_t_funcs *funcs, QXIO *slot, const qxio_t_arglist *args,
                            uint32_t options)
{
  if (funcs == nullptr || slot == nullptr) return QXIO_E_PARAMETER_ERROR;
  if (funcs->open == nullptr) return QXIO_E_NOT_IMPLEMENTED;
  return success_to_zero(funcs->open(funcs, slot, args, layer_options(options)));
}

namespace {

typedef qxio_t_error_code (*class_entry)(const qxio_t_funcs *funcs, QXIO *slot,
                                         const qxio_t_arglist *args, uint32_t options);

qxio_t_error_code call_by_name(class_entry entry, const char *name, QXIO *slot,
                               const qxio_t_arglist *args, uint32_t options)
{
  const qxio_t_funcs *funcs;
  qxio_t_error_code rc = qxio_find_layer(name, &funcs, 0);
  if (rc < 0) return rc;
  return entry(funcs, slot, args, options);
}

}  // namespace

qxio_t_error_code qxio_open_by_name(const char *name, QXIO *slot, const qxio_t_arglist *args,
                                    uint32_t options)
{
  return call_by_name(qxio_open, name, slot, args, options);
}

qxio_t_error_code qxio_push(const qxio_t_funcs *funcs, QXIO *slot, const qxio_t_arglist *args,
                            uint32_t options)
{
  if (funcs == nullptr || slot == nullptr) return QXIO_E_PARAMETER_ERROR;
  if (funcs->push == nullptr) return QXIO_E_NOT_IMPLEMENTED;
  return success_to_zero(funcs->push(funcs, slot, args, layer_options(options)));
}

qxio_t_error_code qxio_push_by_name(const char *name, QXIO *slot, const qxio_t_arglist *args,
                                    uint32_t options)
{
  return call_by_name(qxio_push, name, slot, args, options);
}

qxio_t_error_code qxio_pop(const qxio_t_funcs *funcs, QXIO *slot, uint32_t options)
{
  if (slot == nullptr) return QXIO_E_PARAMETER_ERROR;
  if (funcs == nullptr) {
    if (*slot == nullptr) return QXIO_E_PARAMETER_ERROR;
    funcs = (*slot)->funcs;
  }
  if (funcs->pop == nullptr) return QXIO_E_NOT_IMPLEMENTED;
  return success_to_zero(funcs->pop(funcs, slot, layer_options(options)));
}

/* ---- transfers ---- */

qxio_t_error_code qxio_read(QXIO *slot, qxio_t_buf **buf_slot, uint32_t options)
{
  if (slot == nullptr || buf_slot == nullptr) return QXIO_E_PARAMETER_ERROR;
  if (*slot == nullptr || !((*slot)->flags & QXIO_LAYER_READABLE)) return QXIO_E_NOT_OPEN_READ;
  uint32_t layer_opts = layer_options(options);
  qxio_t_buf *buf = *buf_slot;
  bool allocated = buf == nullptr;
  if (allocated) {
    buf = qxio_buf_alloc(nullptr, 0, 0);
    if (buf == nullptr) return QXIO_E_OUT_OF_MEMORY;
  }
  size_t extent = buf->extent;
  qxio_t_error_code rc = QXIO_S_NOERR;
  for (int empty = 0;; empty++) {
    if (empty == MAX_EMPTY_TRANSFERS) {
      rc = QXIO_E_READ_ERROR;
      break;
    }
    qxio_t_layer *top = *slot;
    if (top == nullptr) {
      rc = QXIO_E_NOT_OPEN_READ;
      break;
    }
    rc = top->funcs->read(slot, buf, layer_opts);
    if (rc < 0 || buf->extent > extent) break;
  }
  if (rc < 0) {
    if (allocated) qxio_buf_free(buf);
    return rc;
  }
  if (allocated) *buf_slot = buf;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_write(QXIO *slot, qxio_t_buf *buf, size_t *pos, uint32_t options)
{
  if (slot == nullptr || buf == nullptr || pos == nullptr) return QXIO_E_PARAMETER_ERROR;
  if (*slot == nullptr || !((*slot)->flags & QXIO_LAYER_WRITABLE)) return QXIO_E_NOT_OPEN_WRITE;
  uint32_t layer_opts = layer_options(options);
  bool all = (options & QXIO_WRITE_ALL) != 0;
  int empty = 0;
  do {
    size_t before = *pos;
    qxio_t_error_code rc = (*slot)->funcs->write(slot, buf, pos, layer_opts);
    if (rc < 0) return rc;
    empty = *pos == before ? empty + 1 : 0;
    if (empty == MAX_EMPTY_TRANSFERS) return QXIO_E_WRITE_ERROR;
  } while (all && *pos < buf->extent && *slot != nullptr);
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_sync(QXIO *slot, uint32_t options)
{
  if (slot == nullptr) return QXIO_E_PARAMETER_ERROR;
  if (*slot == nullptr) return QXIO_S_NOERR;
  return success_to_zero((*slot)->funcs->sync(slot, layer_options(options)));
}

qxio_t_error_code qxio_seek(QXIO *slot, int64_t offset, int64_t *new_offset, qxio_t_buf *buf,
                            uint32_t options)
{
  if (slot == nullptr) return QXIO_E_PARAMETER_ERROR;
  qxio_t_layer *top = *slot;
  if (top == nullptr) return QXIO_E_SEEK_ERROR;
  uint32_t layer_opts = layer_options(options);
  uint32_t kinds = layer_opts & (QXIO_SEEK_READ | QXIO_SEEK_WRITE);
  if (kinds == 0) kinds = QXIO_SEEK_READ | QXIO_SEEK_WRITE;
  if (!(top->flags & QXIO_LAYER_READ_OPEN)) kinds &= ~QXIO_SEEK_READ;
  if (!(top->flags & QXIO_LAYER_WRITE_OPEN)) kinds &= ~QXIO_SEEK_WRITE;
  if (kinds == 0) return QXIO_E_SEEK_ERROR;
  layer_opts = (layer_opts & ~(QXIO_SEEK_READ | QXIO_SEEK_WRITE)) | kinds;
  int64_t local_offset;
  if (new_offset == nullptr) new_offset = &local_offset;
  return success_to_zero(top->funcs->seek(slot, offset, new_offset, buf, layer_opts));
}

/* Two phases: unless abortive, sync the sides first; then mark every layer as closing them,
   and let the top layer's close work its way down the stack. */
qxio_t_error_code qxio_close(QXIO *slot, uint32_t options)
{
  if (slot == nullptr) return QXIO_E_PARAMETER_ERROR;
  uint32_t layer_opts = layer_options(options);
  uint32_t sides = layer_opts & (QXIO_CLOSE_READ | QXIO_CLOSE_WRITE);
  if (sides == 0) sides = QXIO_CLOSE_READ | QXIO_CLOSE_WRITE;
  layer_opts |= sides;
  bool abortive = (layer_opts & QXIO_CLOSE_ABORTIVE) != 0;
  uint32_t closing = closing_bits(sides);
  bool synced = false, marked = false;
  for (;;) {
    if (*slot == nullptr) return QXIO_S_NOERR;
    if (((*slot)->flags & closing) == closing) {
      qxio_t_error_code rc = close_top(slot, layer_opts);
      /* a failed close leaves the stream as it was: open and usable */
      if (rc < 0 && marked && !abortive && *slot != nullptr) unmark_closing(*slot, sides);
      return rc;
    }
    if (!synced && !(abortive && skip_abortive_sync)) {
      qxio_t_error_code rc = qxio_sync(slot, sides | QXIO_SYNC_DOWN | QXIO_SYNC_KEEP_READAHEAD);
      if (rc < 0 && !abortive) return rc;
      synced = true;
      if (*slot == nullptr) continue;
    }
    mark_closing(*slot, sides);
    marked = true;
  }
}

qxio_t_error_code qxio_ioctl(QXIO *slot, qxio_t_ioctl_operation operation, void *arg,
                             uint32_t options)
{
  if (slot == nullptr) return QXIO_E_PARAMETER_ERROR;
  uint32_t layer_opts = layer_options(options);
  for (QXIO *current = slot; *current != nullptr; current = &(*current)->next) {
    qxio_t_layer *layer = *current;
    qxio_t_error_code rc = layer->funcs->ioctl != nullptr
                               ? layer->funcs->ioctl(current, operation, arg, layer_opts)
                               : QXIO_E_NOT_SUPPORTED;
    if (rc != QXIO_E_NOT_SUPPORTED) return rc;
    if (!(layer_opts & QXIO_IOCTL_WALK)) break;
  }
  return QXIO_E_NOT_SUPPORTED;
}

qxio_t_error_code qxio_ioctl_readable_event(QXIO *slot, qxio_t_event **event_out, uint32_t options)
{
  return qxio_ioctl(slot, QXIO_IOCTL_READABLE_EVENT_, event_out, options | QXIO_IOCTL_WALK);
}

qxio_t_error_code qxio_ioctl_writable_event(QXIO *slot, qxio_t_event **event_out, uint32_t options)
{
  return qxio_ioctl(slot, QXIO_IOCTL_WRITABLE_EVENT_, event_out, options | QXIO_IOCTL_WALK);
}

qxio_t_error_code qxio_ioctl_device_type(QXIO *slot, qxio_t_device_type *type_out, uint32_t options)
{
  qxio_t_error_code rc =
      qxio_ioctl(slot, QXIO_IOCTL_DEVICE_TYPE_, type_out, options | QXIO_IOCTL_WALK);
  if (rc == QXIO_E_NOT_SUPPORTED) {
    *type_out = QXIO_DEVICE_TYPE_UNKNOWN;
    return QXIO_S_NOERR;
  }
  return rc;
}

qxio_t_error_code qxio_ioctl_get_encoding_name(QXIO *slot, const char **name_out, uint32_t options)
{
  bool read_side = (options & QXIO_IOCTL_READ_SIDE) != 0;
  bool write_side = (options & QXIO_IOCTL_WRITE_SIDE) != 0;
  if (read_side == write_side) return QXIO_E_PARAMETER_ERROR;
  return qxio_ioctl(slot, QXIO_IOCTL_GET_ENCODING_NAME_, name_out, options | QXIO_IOCTL_WALK);
}

qxio_t_error_code qxio_ioctl_encoding_fallback(QXIO *slot, uint32_t options)
{
  qxio_t_error_code rc =
      qxio_ioctl(slot, QXIO_IOCTL_ENCODING_FALLBACK_, nullptr, options & ~QXIO_IOCTL_WALK);
  return rc == QXIO_E_NOT_SUPPORTED ? QXIO_S_NOT_SUPPORTED : rc;
}

qxio_t_error_code qxio_ioctl_size(QXIO *slot, int64_t *size_out, uint32_t options)
{
  const uint32_t both = QXIO_IOCTL_READ_SIDE | QXIO_IOCTL_WRITE_SIDE;
  if (!(options & both)) options |= both;
  *size_out = -42;
  return qxio_ioctl(slot, QXIO_IOCTL_SIZE_, size_out, options | QXIO_IOCTL_WALK);
}

qxio_t_error_code qxio_write_dbg(QXIO *slot, const char *text)
{
  qxio_t_buf buf;
  qxio_buf_init_buf(&buf);
  buf.buf = reinterpret_cast<unsigned char *>(const_cast<char *>(text));
  buf.extent = buf.writable_size = strlen(text);
  size_t pos = 0;
  qxio_t_error_code rc = qxio_write(slot, &buf, &pos, QXIO_WRITE_ALL | QXIO_WRITE_USER);
  qxio_t_error_code sync_rc = qxio_sync(slot, QXIO_SYNC_WRITE);
  if (rc < 0) return rc;
  return sync_rc < 0 ? sync_rc : QXIO_S_NOERR;
}

void qxio_stream_set_skip_abortive_sync(int skip) { skip_abortive_sync = skip; }
