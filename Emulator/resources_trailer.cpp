/* The trailer scan of resources appended to files, and the lookup by name.
 *
 * The scan trusts nothing in the file: lines are bounded, numbers are checked for overflow, and
 * a resource is kept only when its bytes lie inside the file and its length fits in memory, so
 * that loading it later reads nothing outside the file and allocates what it reads.
 */
#include <cstring>

#include "qxio.h"
#include "resources.h"

namespace {

/* Longest trailer line, its leading line feed included. */
constexpr size_t MAX_LINE = 500;
const char TRAILER_END[] = "\n# META_INFO_SUFFIX END";
const char TRAILER_START[] = "\n# META_INFO_SUFFIX 1";
constexpr size_t TRAILER_START_LENGTH = sizeof TRAILER_START - 1;

char *copy_text(const unsigned char *bytes, size_t n)
{
  char *text = (char *)qxio_alloc(n + 1);
  if (text) {
    std::memcpy(text, bytes, n);
    text[n] = 0;
  }
  return text;
}

/* One line read backwards up to and including its leading line feed; *line points into room. */
int read_line_backwards(qx_t_backwards_stream_ *r, unsigned char (&room)[MAX_LINE],
                        const unsigned char **line, size_t *length)
{
  size_t n = 0;
  for (;;) {
    int c = get_backwards_byte(r);
    if (c < 0) return c == -1 ? QXIO_E_END_OF_FILE : c;
    if (n == MAX_LINE) return QXIO_E_OUT_OF_MEMORY;
    room[MAX_LINE - ++n] = (unsigned char)c;
    if (c == '\n') break;
  }
  *line = room + MAX_LINE - n;
  *length = n;
  return 0;
}

/* "0x" and hexadecimal digits, at most 63 bits. */
int parse_size(const char *text, int64_t *size)
{
  if (text[0] != '0' || text[1] != 'x') return QXIO_E_NOT_FOUND;
  int64_t value = 0;
  for (const char *p = text + 2; *p; p++) {
    int digit = *p >= '0' && *p <= '9'   ? *p - '0'
                : *p >= 'a' && *p <= 'f' ? *p - 'a' + 10
                : *p >= 'A' && *p <= 'F' ? *p - 'A' + 10
                                         : -1;
    if (digit < 0 || value > (INT64_MAX - digit) / 16) return QXIO_E_NOT_FOUND;
    value = value * 16 + digit;
  }
  *size = value;
  return 0;
}

/* What one trailer collects while its lines are read. */
struct trailer {
  qx_t_meta_info_property_ *properties = nullptr;
  int64_t size = -1;
  ~trailer() { free_meta_info_property(properties); }
};

/* A line "\n# key=\"value\"": the size is kept apart, other keys go to the front of the list.
 * Lines of another shape are not properties (answers 1). */
int take_property(trailer *t, const unsigned char *line, size_t n)
{
  if (n < 3 || line[2] != ' ') return 1;
  const unsigned char *eq = (const unsigned char *)std::memchr(line + 3, '=', n - 3);
  if (!eq || eq == line + 3 || (size_t)(eq - line) + 2 >= n || eq[1] != '"' || line[n - 1] != '"')
    return 1;
  qx_t_meta_info_property_ *p =
      (qx_t_meta_info_property_ *)qxio_alloc(sizeof(qx_t_meta_info_property_));
  if (!p) return QXIO_E_OUT_OF_MEMORY;
  p->key = copy_text(line + 3, (size_t)(eq - line) - 3);
  p->value = copy_text(eq + 2, (size_t)(line + n - 1 - (eq + 2)));
  p->next = nullptr;
  if (!p->key || !p->value) return free_meta_info_property(p), QXIO_E_OUT_OF_MEMORY;
  if (std::strcmp(p->key, "size") != 0) {
    p->next = t->properties;
    t->properties = p;
    return 0;
  }
  int rc = t->size >= 0 ? QXIO_E_INVALID_STATE : parse_size(p->value, &t->size);
  free_meta_info_property(p);
  return rc;
}

/* The resource whose header line begins at `header_at`, when its bytes lie inside the file and
 * its length fits in memory; else nothing. */
int add_resource(qx_t_meta_info_header_ *h, trailer *t, int64_t header_at)
{
  if (t->size < 0) return QXIO_E_NOT_FOUND;
  int64_t offset = header_at - t->size;
  if (offset < 0 || (uint64_t)t->size > SIZE_MAX || offset + t->size > h->stream_length) return 0;
  qx_t_meta_info_ *info = (qx_t_meta_info_ *)qxio_alloc(sizeof(qx_t_meta_info_));
  if (!info) return QXIO_E_OUT_OF_MEMORY;
  info->file_offset = offset;
  info->length = t->size;
  info->data = nullptr;
  info->properties = t->properties;
  t->properties = nullptr;
  info->next = h->infos;
  h->infos = info;
  return 0;
}

/* The lines of one trailer whose end has been matched, up to its header line. */
int scan_trailer(qx_t_meta_info_header_ *h, qx_t_backwards_stream_ *r)
{
  trailer t;
  unsigned char room[MAX_LINE];
  for (;;) {
    const unsigned char *line;
    size_t n;
    int rc = read_line_backwards(r, room, &line, &n);
    if (rc < 0) return rc;
    if (n < 2 || line[1] != '#') return QXIO_E_NOT_FOUND;
    if (n == 2) continue;
    if (n == TRAILER_START_LENGTH && std::memcmp(line, TRAILER_START, n) == 0)
      return add_resource(h, &t, r->stream_pos + (int64_t)r->held);
    if ((rc = take_property(&t, line, n)) < 0) return rc;
  }
}

}  // namespace

int get_backwards_byte(qx_t_backwards_stream_ *r)
{
  if (r->held == 0) {
    if (r->stream_pos <= 0) return -1;
    int64_t start = r->stream_pos > (int64_t)QX_BACKWARDS_CHUNK
                        ? r->stream_pos - (int64_t)QX_BACKWARDS_CHUNK
                        : 0;
    size_t n = (size_t)(r->stream_pos - start);
    int rc = r->file->funcs->read_at(r->file->stream, start, r->buf, n);
    if (rc < 0) return rc == -1 ? QXIO_E_READ_ERROR : rc;
    r->stream_pos = start;
    r->held = n;
  }
  return r->buf[--r->held];
}

int backwards_looking_at_byte(qx_t_backwards_stream_ *r, int byte)
{
  int c = get_backwards_byte(r);
  if (c < 0) return c;
  return c == byte ? 0 : QXIO_E_NOT_FOUND;
}

int qx_scan_meta_info(qx_t_meta_info_header_ *h)
{
  qx_t_backwards_stream_ r;
  r.file = h;
  r.stream_length = r.stream_pos = h->stream_length;
  r.held = 0;
  for (;;) {
    int rc = backwards_looking_at_byte(&r, '\n');
    for (size_t i = sizeof TRAILER_END - 1; rc == 0 && i > 0; i--)
      rc = backwards_looking_at_byte(&r, (unsigned char)TRAILER_END[i - 1]);
    if (rc == QXIO_E_NOT_FOUND || rc == -1) return 0;
    if (rc < 0 || (rc = scan_trailer(h, &r)) < 0) return rc;
  }
}

int qx_meta_info_lookup(qx_t_meta_info_header_ *list, const char *name, unsigned char **data,
                        size_t *size)
{
  size_t name_length = std::strlen(name);
  for (qx_t_meta_info_header_ *h = list; h; h = h->next)
    for (qx_t_meta_info_ *info = h->infos; info; info = info->next) {
      const char *file = nullptr, *given = nullptr;
      for (qx_t_meta_info_property_ *p = info->properties; p; p = p->next) {
        if (!file && !std::strcmp(p->key, "file")) file = p->value;
        if (!given && !std::strcmp(p->key, "name")) given = p->value;
      }
      size_t file_length = file ? std::strlen(file) : 0;
      bool match = (given && !std::strcmp(given, name)) ||
                   (file && file_length >= name_length &&
                    !std::strcmp(file + file_length - name_length, name));
      if (!match) continue;
      if (!info->data) {
        size_t length = (size_t)info->length;
        unsigned char *bytes = (unsigned char *)qxio_alloc(length ? length : 1);
        if (!bytes) return QXIO_E_OUT_OF_MEMORY;
        int rc = length ? h->funcs->read_at(h->stream, info->file_offset, bytes, length) : 0;
        if (rc < 0) return qxio_free(bytes), rc;
        info->data = bytes;
      }
      *data = info->data;
      *size = (size_t)info->length;
      return 0;
    }
  return QXIO_E_NOT_FOUND;
}

qx_t_meta_info_header_ *new_meta_info_header(void)
{
  qx_t_meta_info_header_ *h = (qx_t_meta_info_header_ *)qxio_alloc(sizeof *h);
  if (h) std::memset(h, 0, sizeof *h);
  return h;
}

void free_meta_info_header(qx_t_meta_info_header_ *list)
{
  while (list) {
    qx_t_meta_info_header_ *next = list->next;
    if (list->stream && list->funcs) list->funcs->close(list->stream);
    free_meta_info(list->infos);
    qxio_free(list);
    list = next;
  }
}

void free_meta_info(qx_t_meta_info_ *list)
{
  while (list) {
    qx_t_meta_info_ *next = list->next;
    free_meta_info_property(list->properties);
    qxio_free(list->data);
    qxio_free(list);
    list = next;
  }
}

void free_meta_info_property(qx_t_meta_info_property_ *list)
{
  while (list) {
    qx_t_meta_info_property_ *next = list->next;
    qxio_free(list->key);
    qxio_free(list->value);
    qxio_free(list);
    list = next;
  }
}
