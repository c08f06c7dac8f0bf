/* Resources appended to the files that QX_RT_PATH, QX_APP_PATH and QX_EMBEDDED_RESOURCES_PATH
 * name: each file is opened as a hidden binary stream and scanned once, at the first lookup;
 * files that hold resources stay open until the list is freed at shutdown.
 */
#include <cstring>

#include "datadefs.h"
#include "memman.h"
#include "orvalis.h"
#include "resources.h"
#include "streams.h"

namespace {

const char *const RESOURCE_FILE_VARIABLES[] = {"QX_RT_PATH", "QX_APP_PATH",
                                               "QX_EMBEDDED_RESOURCES_PATH"};

/* Reads n bytes from the stream's current position, through its buffer. */
int read_bytes(QX_stream *s, unsigned char *into, size_t n)
{
  while (n > 0) {
    auto &in = s->pub.input_binary;
    if (in.ptr && in.ptr < in.limit) {
      size_t k = (size_t)(in.limit - in.ptr) < n ? (size_t)(in.limit - in.ptr) : n;
      std::memcpy(into, in.ptr, k);
      in.ptr += k;
      into += k;
      n -= k;
      continue;
    }
    int c = qx_get_byte_helper(s, 0);
    if (c < 0) return c == -1 ? QXIO_E_END_OF_FILE : c;
    *into++ = (unsigned char)c;
    n--;
  }
  return 0;
}

int stream_read_at(void *stream, int64_t offset, void *into, size_t n)
{
  QX_stream *s = (QX_stream *)stream;
  int rc = set_stream_position(s, offset, 0, 0, 0);
  return rc < 0 ? rc : read_bytes(s, (unsigned char *)into, n);
}

void stream_close(void *stream) { qx_fclose_internal((QX_stream *)stream, QX_FC_FORCE); }

const qx_t_resource_source_funcs_ stream_source = {stream_read_at, stream_close};

/* The header of one file, with what its scan found; null when it holds no resource. */
qx_t_meta_info_header_ *scan_file(const char *path)
{
  QX_stream *s = nullptr;
  const uint32_t open = QX_FO_READ | QX_FO_BINARY | QX_FO_NO_EXPAND | QX_FO_HIDDEN;
  if (qx_fopen_internal(path, open, 0, &s) < 0) return nullptr;
  qx_t_meta_info_header_ *h = new_meta_info_header();
  if (!h || set_stream_position(s, 0, 0, 0, QX_SP_RESET | QX_SP_EOF) < 0) {
    qxio_free(h);
    qx_fclose_internal(s, QX_FC_FORCE);
    return nullptr;
  }
  h->stream = s;
  h->funcs = &stream_source;
  h->stream_length = s->item_offset;
  qx_scan_meta_info(h);
  if (!h->infos) {
    free_meta_info_header(h);
    return nullptr;
  }
  return h;
}

/* The list of files with resources; an empty header when none has any, so that the scan is
 * done once. */
qx_t_meta_info_header_ *scan_resource_files(void)
{
  qx_t_meta_info_header_ *list = nullptr, **tail = &list;
  for (const char *variable : RESOURCE_FILE_VARIABLES) {
    char *path = nullptr;
    if (qx_get_system_property_internal(variable, nullptr, nullptr, &path, 0) < 0 || !path)
      continue;
    if (qx_t_meta_info_header_ *h = scan_file(path)) {
      *tail = h;
      tail = &h->next;
    }
    QX_free(path);
  }
  return list ? list : new_meta_info_header();
}

}  // namespace

int find_embedded_resource(const char *name, unsigned char **data, size_t *size)
{
  if (!qx_eg.embedded_resources) qx_eg.embedded_resources = scan_resource_files();
  if (!qx_eg.embedded_resources) return QXIO_E_OUT_OF_MEMORY;
  return qx_meta_info_lookup((qx_t_meta_info_header_ *)qx_eg.embedded_resources, name, data, size);
}

void qx_free_embedded_resources(void)
{
  free_meta_info_header((qx_t_meta_info_header_ *)qx_eg.embedded_resources);
  qx_eg.embedded_resources = nullptr;
}
