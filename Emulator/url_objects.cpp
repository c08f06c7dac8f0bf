/* URL names: "URL:", a scheme, ':' and the rest. Data resources open as read-only byte streams
 * over their bytes (never copied); URL objects answer existence and access questions and read
 * through one table of operations per scheme ("x-orvalis-resource" and "file").
 */
#include <strings.h>

#include <cerrno>
#include <cstring>

#include "filenames.h"
#include "memman.h"
#include "orvalis.h"
#include "qxio/qxio_simple_device.h"
#include "streams.h"

namespace {

const char URL_PREFIX[] = "URL:";
const char RESOURCE_SCHEME[] = "x-orvalis-resource";
/* Fields not yet set, and every field of a freed object. */
constexpr uintptr_t UNSET = 0xDEADDEAD;
enum { STATE_OPEN = 1, STATE_CLOSED = 2 };

}  // namespace

struct url_dispatch_ {
  const char *description;
  void (*free)(url_object_ *);
  url_object_ *(*validate)(url_object_ *);
  int (*exists)(url_object_ *);
  const char *(*extension)(url_object_ *);
  int (*readable)(url_object_ *);
  int (*open)(url_object_ *, const char *mode);
  long (*read)(url_object_ *, void *buffer, size_t size, size_t count);
  int (*close)(url_object_ *);
  int (*get)(url_object_ *);
};

struct url_object_ {
  const url_dispatch_ *dispatch;
  char *url; /* the text after "URL:", stored after the object */
  int errnum;
  union {
    struct {
      uintptr_t found;
      const unsigned char *data;
      size_t size;
      uintptr_t mtime;
      const char *name; /* after the last ':' of url */
      size_t position;
      uintptr_t state;
    } resource;
    struct {
      QX_stream *stream;
      uintptr_t state;
      const char *path; /* the expanded name, stored after url */
    } file;
    uintptr_t words[7];
  };
};

namespace {

/* An object with every field unset and the texts copied after it. */
url_object_ *new_url_object(const url_dispatch_ *dispatch, const char *url, const char *extra)
{
  size_t n = std::strlen(url) + 1, m = extra ? std::strlen(extra) + 1 : 0;
  url_object_ *o = (url_object_ *)QX_malloc(sizeof(url_object_) + n + m);
  if (!o) return nullptr;
  for (uintptr_t &w : o->words) w = UNSET;
  o->dispatch = dispatch;
  o->url = (char *)(o + 1);
  std::memcpy(o->url, url, n);
  if (extra) std::memcpy(o->url + n, extra, m);
  o->errnum = 0;
  return o;
}

void wipe_and_free(url_object_ *o)
{
  for (uintptr_t &w : o->words) w = UNSET;
  o->dispatch = (const url_dispatch_ *)UNSET;
  o->url = (char *)UNSET;
  o->errnum = (int)UNSET;
  QX_free(o);
}

url_object_ *self(url_object_ *o) { return o; }

/* A read needs the object open and a nonzero item size; else the generic error. */
bool may_read(url_object_ *o, uintptr_t state, size_t size)
{
  if (state == STATE_OPEN && size != 0) return true;
  url_object_set_generic_errno(o);
  return false;
}

/* ---- the resource scheme ---- */

void orvalis_resource_free(url_object_ *o) { wipe_and_free(o); }

int resource_exists(url_object_ *o)
{
  if (o->resource.found == UNSET) {
    uint32_t mtime = 0;
    o->resource.found =
        orvalis_resource_find_data(o->resource.name, &o->resource.data, &o->resource.size, &mtime);
    o->resource.mtime = mtime;
  }
  return o->resource.found == 1;
}

int resource_open(url_object_ *o, const char *mode)
{
  if (!resource_exists(o) || mode[std::strspn(mode, "rb")] != 0) {
    url_object_set_generic_errno(o);
    return -1;
  }
  o->resource.position = 0;
  o->resource.state = STATE_OPEN;
  return 0;
}

long resource_read(url_object_ *o, void *buffer, size_t size, size_t count)
{
  if (!may_read(o, o->resource.state, size)) return -1;
  uint64_t wanted = (uint64_t)size * count, left = o->resource.size - o->resource.position;
  size_t n = (size_t)(wanted < left ? wanted : left);
  std::memcpy(buffer, o->resource.data + o->resource.position, n);
  o->resource.position += n;
  return (long)(n / size);
}

int resource_close(url_object_ *o)
{
  o->resource.state = STATE_CLOSED;
  return 0;
}

const url_dispatch_ url_object_dispatch_orvalis_resource = {"Orvalis Resource URL Object",
                                                            orvalis_resource_free,
                                                            self,
                                                            resource_exists,
                                                            url_object_extension_default_method,
                                                            resource_exists,
                                                            resource_open,
                                                            resource_read,
                                                            resource_close,
                                                            url_object_default_get};

url_object_ *create_resource_object(const char *url)
{
  url_object_ *o = new_url_object(&url_object_dispatch_orvalis_resource, url, nullptr);
  if (!o) return nullptr;
  o->resource.name = std::strrchr(o->url, ':') + 1;
  if (!resource_exists(o)) {
    wipe_and_free(o);
    return nullptr;
  }
  return o;
}

/* ---- the file scheme ---- */

int file_close(url_object_ *o)
{
  if (o->file.state != STATE_OPEN) return -1;
  o->file.state = STATE_CLOSED;
  if (QX_fclose(o->file.stream, 0) < 0) {
    url_object_set_errno(o, 1);
    return -1;
  }
  return 0;
}

void file_object_free(url_object_ *o)
{
  if (o->file.state == STATE_OPEN) QX_fclose(o->file.stream, QX_FC_FORCE);
  wipe_and_free(o);
}

int file_exists(url_object_ *o) { return qxio_test_file_access(o->file.path, 0) == 0; }

int file_readable(url_object_ *o)
{
  return qxio_test_file_access(o->file.path, QXIO_ACCESS_READ) == 0;
}

int file_open(url_object_ *o, const char *mode)
{
  uint32_t options = 0;
  for (const char *m = mode; *m; m++) {
    switch (*m) {
    case 'r': options |= QX_FO_READ; break;
    case 'w': options |= QX_FO_WRITE; break;
    case 'a': options |= QX_FO_APPEND; break;
    case 'b': options |= QX_FO_BINARY; break;
    default: url_object_set_generic_errno(o); return -1;
    }
  }
  if (!(options & QX_FO_BINARY)) options |= QX_FO_TEXT;
  QX_stream *s = nullptr;
  if (o->file.state == STATE_OPEN ||
      QX_fopen(o->file.path, nullptr, options | QX_FO_NO_EXPAND, &s) < 0) {
    url_object_set_generic_errno(o);
    return -1;
  }
  o->file.stream = s;
  o->file.state = STATE_OPEN;
  return 0;
}

/* Bytes of a binary stream, codes below 256 of a text stream; a short read sets EIO. */
long file_read(url_object_ *o, void *buffer, size_t size, size_t count)
{
  if (!may_read(o, o->file.state, size)) return -1;
  QX_stream *s = o->file.stream;
  bool text = s->flags & QX_SF_TEXT;
  unsigned char *out = (unsigned char *)buffer;
  uint64_t wanted = (uint64_t)size * count, got = 0;
  while (got < wanted) {
    int c = text ? qx_get_code_helper(s, 0) : qx_get_byte_helper(s, 0);
    if (c < 0 || c > 0xFF) break;
    out[got++] = (unsigned char)c;
  }
  if (got < wanted) url_object_set_errno(o, EIO);
  return (long)(got / size);
}

const url_dispatch_ url_object_dispatch_file_object = {"Local file URL Object",
                                                       file_object_free,
                                                       self,
                                                       file_exists,
                                                       url_object_extension_default_method,
                                                       file_readable,
                                                       file_open,
                                                       file_read,
                                                       file_close,
                                                       url_object_default_get};

/* A URL names a file literally: no "$VAR" or "~" prefixes. */
constexpr int URL_FILE_EXPAND = QX_EXPAND_NO_VARIABLES | QX_EXPAND_NO_TILDE;

url_object_ *create_file_object(const char *url)
{
  const char *name = url_scheme_is(url, "file") ? url + 5 : url;
  char *path = qx_expand_file_name(name, nullptr, URL_FILE_EXPAND);
  if (!path) return nullptr;
  url_object_ *o = new_url_object(&url_object_dispatch_file_object, url, path);
  QX_free(path);
  if (!o) return nullptr;
  o->file.path = o->url + std::strlen(o->url) + 1;
  o->file.state = STATE_CLOSED;
  return o;
}

const struct {
  const char *scheme;
  url_object_ *(*create)(const char *url);
} url_creators[] = {
    {RESOURCE_SCHEME, create_resource_object}, {"file", create_file_object}, {nullptr, nullptr}};

/* ---- resources as byte streams ---- */

struct resource_reader {
  const unsigned char *data; /* borrowed from the resource */
  size_t size, position;
};

int reader_read(void *user_data, void *room, size_t *size, uint32_t)
{
  resource_reader *r = (resource_reader *)user_data;
  size_t left = r->size - r->position;
  if (left == 0) return *size = 0, QXIO_E_END_OF_FILE;
  size_t n = *size < left ? *size : left;
  std::memcpy(room, r->data + r->position, n);
  r->position += n;
  *size = n;
  return 0;
}

int reader_close(void **user_data_slot, uint32_t)
{
  qxio_free(*user_data_slot);
  *user_data_slot = nullptr;
  return 0;
}

const char resource_reader_class[] = "x-orvalis-resource";

/* text past a prefix written in any letter case, or null. */
const char *skip_any_case(const char *text, const char *prefix)
{
  size_t n = std::strlen(prefix);
  return strncasecmp(text, prefix, n) == 0 ? text + n : nullptr;
}

}  // namespace

bool url_scheme_is(const char *text, const char *scheme)
{
  const char *rest = skip_any_case(text, scheme);
  return rest && *rest == ':';
}

int qxio_open_url(QXIO *slot, const qxio_t_arglist *properties, uint32_t options)
{
  const char *path = nullptr;
  if (qxio_get_arg_string(properties, QXIO_ARG_PATHNAME, &path) < 0 || !path)
    return QXIO_E_PARAMETER_ERROR;
  const char *url = skip_any_case(path, URL_PREFIX);
  if (!url || !*url) return QXIO_E_INVALID_NAME;
  if (!url_scheme_is(url, RESOURCE_SCHEME)) return QXIO_E_NOT_SUPPORTED;
  const char *name = url + sizeof RESOURCE_SCHEME;
  if (!*name) return QXIO_E_INVALID_NAME;
  if (options & QXIO_OPEN_WRITE) return QXIO_E_PERMISSION_ERROR;
  if (!(options & QXIO_OPEN_READ)) return QXIO_E_PARAMETER_ERROR;
  const unsigned char *data;
  size_t size;
  uint32_t mtime;
  if (!orvalis_resource_find_data(name, &data, &size, &mtime)) return QXIO_E_FILE_NOT_FOUND;
  resource_reader *r = (resource_reader *)qxio_alloc(sizeof(resource_reader));
  if (!r) return QXIO_E_OUT_OF_MEMORY;
  *r = {data, size, 0};
  int rc = qxio_create_device(slot, r, resource_reader_class, reader_read, nullptr, nullptr,
                              nullptr, reader_close, nullptr, nullptr, QXIO_DEVICE_BYTES);
  if (rc < 0) qxio_free(r);
  return rc;
}

url_object_ *create_url_object(const char *text)
{
  if (std::strncmp(text, URL_PREFIX, sizeof URL_PREFIX - 1) != 0) return nullptr;
  const char *url = text + sizeof URL_PREFIX - 1;
  if (!std::strchr(url, ':')) return nullptr;
  for (size_t i = 0; url_creators[i].scheme; i++) {
    const char *scheme = url_creators[i].scheme;
    if (std::strcmp(scheme, "*") != 0 && !url_scheme_is(url, scheme)) continue;
    if (url_object_ *o = url_creators[i].create(url)) return o;
  }
  return nullptr;
}

void url_object_free(url_object_ *o)
{
  if (o) o->dispatch->free(o);
}

const char *url_object_description(url_object_ *o)
{
  return o ? o->dispatch->description : nullptr;
}
url_object_ *url_object_validate(url_object_ *o) { return o ? o->dispatch->validate(o) : nullptr; }
int url_object_exists(url_object_ *o) { return o ? o->dispatch->exists(o) : 0; }
const char *url_object_extension(url_object_ *o) { return o ? o->dispatch->extension(o) : nullptr; }
int url_object_readable(url_object_ *o) { return o ? o->dispatch->readable(o) : 0; }
int url_object_open(url_object_ *o, const char *mode)
{
  return o ? o->dispatch->open(o, mode) : -1;
}
long url_object_read(url_object_ *o, void *buffer, size_t size, size_t count)
{
  return o ? o->dispatch->read(o, buffer, size, count) : -1;
}
int url_object_close(url_object_ *o) { return o ? o->dispatch->close(o) : -1; }
int url_object_get(url_object_ *o) { return o ? o->dispatch->get(o) : -1; }
int url_object_get_errno(url_object_ *o) { return o ? o->errnum : -1; }
void url_object_set_errno(url_object_ *o, int errnum)
{
  if (o) o->errnum = errnum;
}
void url_object_set_generic_errno(url_object_ *o) { url_object_set_errno(o, -1); }
void url_object_clear_errno(url_object_ *o) { url_object_set_errno(o, 0); }

int url_object_default_get(url_object_ *o)
{
  unsigned char byte;
  return url_object_read(o, &byte, 1, 1) == 1 ? byte : -1;
}

const char *url_object_extension_default_method(url_object_ *o)
{
  if (!o || !o->url) return nullptr;
  const char *dot = std::strrchr(o->url, '.');
  return dot && !std::strchr(dot, '/') ? dot : nullptr;
}
