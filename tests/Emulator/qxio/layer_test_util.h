// Devices under the transforming layers in their tests: a simple device (the library's user
// device) that serves a text in reads of chosen sizes and collects what is written, and a
// seekable file held in memory, a device layer class of the test's own.
#ifndef QXIO_LAYER_TEST_UTIL_H
#define QXIO_LAYER_TEST_UTIL_H

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "qxio.h"
#include "qxio_simple_device.h"

namespace qxio_test {

// What a simple device serves and records. The first read delivers `first` bytes (when not
// 0), every later one at most `chunk`. A write takes at most `write_limit` bytes (when not
// 0); with `fail_every` n, every n-th write call takes nothing and answers `fail_with`.
struct script {
  std::string input;
  size_t first = 0;
  size_t chunk = 1;
  size_t at = 0;
  int reads = 0;
  std::string written;
  size_t write_limit = 0;
  int fail_every = 0;
  qxio_t_error_code fail_with = QXIO_S_NOERR;
  int write_calls = 0;
  int closes = 0;
};

inline qxio_t_error_code script_read(void *data, void *room, size_t *size, uint32_t)
{
  script *s = static_cast<script *>(data);
  if (s->at >= s->input.size()) return QXIO_E_END_OF_FILE;
  size_t want = s->reads == 0 && s->first > 0 ? s->first : s->chunk;
  size_t n = std::min({want, *size, s->input.size() - s->at});
  memcpy(room, s->input.data() + s->at, n);
  s->at += n;
  s->reads++;
  *size = n;
  return QXIO_S_NOERR;
}

inline qxio_t_error_code script_write(void *data, const void *bytes, size_t *size, uint32_t)
{
  script *s = static_cast<script *>(data);
  s->write_calls++;
  if (s->fail_every > 0 && s->write_calls % s->fail_every == 0) {
    *size = 0;
    return s->fail_with;
  }
  if (s->write_limit > 0 && *size > s->write_limit) *size = s->write_limit;
  s->written.append(static_cast<const char *>(bytes), *size);
  return QXIO_S_NOERR;
}

inline qxio_t_error_code script_close(void **data_slot, uint32_t)
{
  static_cast<script *>(*data_slot)->closes++;
  return QXIO_S_NOERR;
}

// A byte device over the script: readable, writable, or both.
inline qxio_t_error_code open_script(QXIO *slot, script *s, bool readable, bool writable)
{
  return qxio_create_device(slot, s, "test-script", readable ? script_read : nullptr,
                            writable ? script_write : nullptr, nullptr, nullptr, script_close,
                            nullptr, nullptr, QXIO_DEVICE_BYTES);
}

// ---- a seekable file in memory ----

struct memory_file {
  qxio_t_layer layer;
  std::string *data;
  size_t pos;
  size_t chunk;  // bytes per read
  int reads;
};

inline memory_file *file_of(QXIO *slot) { return reinterpret_cast<memory_file *>(*slot); }

inline qxio_t_error_code file_read(QXIO *slot, qxio_t_buf *buf, uint32_t)
{
  memory_file *f = file_of(slot);
  if (f->pos >= f->data->size()) return QXIO_E_END_OF_FILE;
  size_t n = std::min(f->chunk, f->data->size() - f->pos);
  if (qxio_buf_concat_bytes(buf, f->data->data() + f->pos, n) < 0) return QXIO_E_OUT_OF_MEMORY;
  f->pos += n;
  f->reads++;
  return QXIO_S_NOERR;
}

inline qxio_t_error_code file_write(QXIO *slot, qxio_t_buf *buf, size_t *pos, uint32_t)
{
  memory_file *f = file_of(slot);
  size_t n = buf->extent - *pos;
  if (f->data->size() < f->pos + n) f->data->resize(f->pos + n);
  f->data->replace(f->pos, n, reinterpret_cast<const char *>(buf->buf + *pos), n);
  f->pos += n;
  *pos = buf->extent;
  return QXIO_S_NOERR;
}

inline qxio_t_error_code file_sync(QXIO *, uint32_t) { return QXIO_S_NOERR; }

inline qxio_t_error_code file_seek(QXIO *slot, int64_t offset, int64_t *new_offset, qxio_t_buf *,
                                   uint32_t options)
{
  memory_file *f = file_of(slot);
  int64_t base = (options & QXIO_SEEK_SET)   ? 0
                 : (options & QXIO_SEEK_END) ? (int64_t)f->data->size()
                                             : (int64_t)f->pos;
  if (base + offset < 0) return QXIO_E_SEEK_ERROR;
  f->pos = (size_t)(base + offset);
  *new_offset = base + offset;
  return QXIO_S_NOERR;
}

inline void file_destroy(qxio_t_layer *layer) { delete reinterpret_cast<memory_file *>(layer); }

inline qxio_t_error_code file_open(const qxio_t_funcs *, QXIO *, const qxio_t_arglist *, uint32_t)
{
  return QXIO_E_NOT_IMPLEMENTED;
}

inline const qxio_t_funcs memory_file_funcs = {sizeof(qxio_t_funcs),
                                               "test-memory-file",
                                               sizeof(memory_file),
                                               0,
                                               0,
                                               file_read,
                                               file_write,
                                               file_sync,
                                               file_seek,
                                               nullptr,
                                               nullptr,
                                               nullptr,
                                               file_destroy,
                                               file_open,
                                               nullptr};

// A readable, writable, seekable byte device over *data, reading `chunk` bytes at a time.
inline memory_file *open_memory_file(QXIO *slot, std::string *data, size_t chunk)
{
  memory_file *f = new memory_file();
  f->layer.funcs = &memory_file_funcs;
  f->layer.flags = QXIO_LAYER_HAS_INPUT | QXIO_LAYER_READABLE | QXIO_LAYER_READ_OPEN |
                   QXIO_LAYER_HAS_OUTPUT | QXIO_LAYER_WRITABLE | QXIO_LAYER_WRITE_OPEN |
                   QXIO_LAYER_SEEKABLE | QXIO_LAYER_READ_ITEM_1 | QXIO_LAYER_WRITE_ITEM_1;
  f->data = data;
  f->chunk = chunk;
  qxio_layer_push(slot, &f->layer);
  return f;
}

// Reads everything the stream delivers until it fails; returns that failure.
inline qxio_t_error_code read_all(QXIO *slot, std::string *out, uint32_t options)
{
  qxio_t_buf *buf = nullptr;
  qxio_t_error_code rc;
  while ((rc = qxio_read(slot, &buf, options)) >= 0) {
    out->append(reinterpret_cast<const char *>(buf->buf), buf->extent);
    buf->extent = 0;
  }
  qxio_buf_free(buf);
  return rc;
}

// One read of whatever the stream delivers next.
inline qxio_t_error_code read_once(QXIO *slot, std::string *out, uint32_t options)
{
  qxio_t_buf *buf = nullptr;
  qxio_t_error_code rc = qxio_read(slot, &buf, options);
  if (rc >= 0) out->assign(reinterpret_cast<const char *>(buf->buf), buf->extent);
  qxio_buf_free(buf);
  return rc;
}

}  // namespace qxio_test

#endif
