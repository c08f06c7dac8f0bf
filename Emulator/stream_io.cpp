/* Reading, writing and counting: the slow paths behind the public pointers of a stream node.
 *
 * Input: the items before input ptr are consumed, and the first buf_items_counted items of the
 * buffer are already in the counters. When a buffer is used up the last item read stays at its
 * start, so that it can still be ungot. Output: the items from the buffer's start up to output
 * ptr are pending; a flush that fails after part of them went out drops exactly that part from
 * the front and keeps the rest for the next flush.
 */
#include <cstdio>
#include <cstring>

#include "atoms.h"
#include "memman.h"
#include "orvalis.h"
#include "streams.h"

namespace {

bool suppress_autoflush;
bool autoflush_on_prompt;
bool autoflush_flush_other_streams = true;
QX_stream *last_flushed_autoflush_stream;
QX_ErrprintfHook errprintf_hook;
void *errprintf_hook_data;

/* The text formatting functions format into this much on the C stack before they allocate. */
constexpr size_t PRINTF_BUFFER = 2048;

inline bool is_text(const QX_stream *s) { return s->flags & QX_SF_TEXT; }
inline size_t item_size(const QX_stream *s) { return is_text(s) ? 4 : 1; }

inline unsigned char *in_ptr(QX_stream *s)
{
  return is_text(s) ? (unsigned char *)s->pub.input_text.ptr : s->pub.input_binary.ptr;
}
inline unsigned char *out_ptr(QX_stream *s)
{
  return is_text(s) ? (unsigned char *)s->pub.output_text.ptr : s->pub.output_binary.ptr;
}

void set_input(QX_stream *s, size_t ptr_index, size_t limit_index)
{
  unsigned char *base = s->input_buf ? s->input_buf->buf : nullptr;
  unsigned char *ptr = base ? base + ptr_index : nullptr;
  unsigned char *limit = base ? base + limit_index : nullptr;
  if (is_text(s)) {
    s->pub.input_text.ptr = (uint32_t *)ptr;
    s->pub.input_text.limit = (uint32_t *)limit;
  } else {
    s->pub.input_binary.ptr = ptr;
    s->pub.input_binary.limit = limit;
  }
}

/* Output: ptr at the end of the pending items, limit at the writable end. */
void set_output(QX_stream *s)
{
  qxio_t_buf *b = s->output_buf;
  unsigned char *ptr = b ? b->buf + b->extent : nullptr;
  unsigned char *limit = b ? b->buf + b->writable_size : nullptr;
  if (is_text(s)) {
    s->pub.output_text.ptr = (uint32_t *)ptr;
    s->pub.output_text.limit = (uint32_t *)limit;
  } else {
    s->pub.output_binary.ptr = ptr;
    s->pub.output_binary.limit = limit;
  }
}

/* Brings the output buffer's extent up to output ptr. */
void update_output_extent(QX_stream *s)
{
  if (s->output_buf) s->output_buf->extent = (size_t)(out_ptr(s) - s->output_buf->buf);
}

void count_code(QX_stream *s, uint32_t code)
{
  s->previous_line_length = s->line_length;
  s->previous_newline_count = s->newline_count;
  if (code == 10) {
    s->newline_count++;
    s->line_length = 0;
  } else {
    s->line_length++;
  }
}

/* Counts n codes into t's line counters: the newlines and where the last one was are all a
 * block needs; only its last code goes through count_code, for the previous counters. */
void count_codes(QX_stream *t, const uint32_t *codes, size_t n)
{
  if (n == 0) return;
  size_t m = n - 1, newlines = 0, last_newline = 0;
  for (size_t i = 0; i < m; i++) {
    bool newline = codes[i] == 10;
    newlines += newline;
    last_newline = newline ? i : last_newline;
  }
  t->newline_count += (int64_t)newlines;
  t->line_length = newlines ? (int64_t)(m - 1 - last_newline) : t->line_length + (int64_t)m;
  count_code(t, codes[m]);
}

void count_items(QX_stream *s, const unsigned char *from, size_t n)
{
  s->item_offset += (int64_t)n;
  if (!is_text(s)) return;
  const uint32_t *codes = (const uint32_t *)from;
  count_codes(s, codes, n);
  if (s->flags & QX_SF_INTERACTIVE) {
    QX_stream *shared = qx_eg.root_stream_ptr;
    count_codes(shared, codes, n);
    shared->item_offset += (int64_t)n;
  }
}

int end_of_stream_met(QX_stream *s)
{
  s->unget_offset = 0;
  s->flags |= QX_SF_AT_EOF;
  s->eof_offset = s->item_offset + 1;
  s->previous_line_length = s->previous_newline_count = -1;
  return -1;
}

/* After a peek met the end of the device: the state of an ungot end of stream, so that the
 * next read reports it at once. */
int end_of_stream_peeked(QX_stream *s)
{
  s->eof_offset = s->item_offset + 1;
  s->unget_offset = s->item_offset;
  s->previous_line_length = s->previous_newline_count = -1;
  return -1;
}

bool prompt_empty()
{
  TAGGED p = qx_eg.current_prompt;
  return p == 0 || p == atom_empty;
}

/* Writes the prompt to user_error when the shared terminal line position is 0. */
void show_prompt()
{
  if (autoflush_on_prompt) qx_flush_autoflush_streams(nullptr);
  QX_stream *err = qx_eg.stream_user_error;
  if (prompt_empty() || !err || qx_eg.root_stream_ptr->line_length != 0) return;
  QX_put_encoded_string(err, atom_name(qx_eg.current_prompt), 0);
  qx_flush_output(err, 0);
}

int device_read(QX_stream *s, uint32_t options)
{
  uint32_t kind = is_text(s) ? QXIO_READ_CODES : QXIO_READ_BYTES;
  bool nonblocking = options & 0x1;
  if (!(s->flags & QX_SF_INTERACTIVE) || nonblocking ||
      (prompt_empty() && !autoflush_on_prompt && !qx_idle_hooks_exist()))
    return qxio_read(&s->qxio, &s->input_buf, kind | (nonblocking ? QXIO_READ_NONBLOCKING : 0));
  int rc = qxio_read(&s->qxio, &s->input_buf, kind | QXIO_READ_NONBLOCKING);
  if (rc != QXIO_E_WOULD_BLOCK) return rc;
  show_prompt();
  /* Idle hooks run while nothing has come; the read blocks only once none remain. */
  while ((rc = qx_run_idle_hooks()) > 0) {
    rc = qxio_read(&s->qxio, &s->input_buf, kind | QXIO_READ_NONBLOCKING);
    if (rc != QXIO_E_WOULD_BLOCK) return rc;
  }
  if (rc < 0) return rc;
  return qxio_read(&s->qxio, &s->input_buf, kind);
}

/* The slow path of a get: the buffer is used up (ptr == limit). */
int get_item(QX_stream *s, uint32_t options, bool text)
{
  if (!s) return QXIO_E_PARAMETER_ERROR;
  if (!(s->flags & QX_SF_INPUT)) return QXIO_E_NOT_READ;
  if (text != is_text(s)) return QXIO_E_GRANULARITY_ERROR;
  bool peek = options & 0x2;
  size_t isz = item_size(s);
  qxio_t_buf *b = s->input_buf;
  if (b && in_ptr(s) < b->buf + b->extent) { /* the inline step, for callers that skip it */
    unsigned char *p = in_ptr(s);
    int item = text ? (int)*(uint32_t *)p : *p;
    if (!peek) set_input(s, (size_t)(p - b->buf) + isz, b->extent);
    return item;
  }
  if (b && b->extent > 0) {
    sync_stream_counters(s, text);
    std::memmove(b->buf, b->buf + b->extent - isz, isz);
    b->extent = isz;
    s->buf_items_counted = 1;
    set_input(s, isz, isz);
  }
  if (!(s->flags & QX_SF_AT_EOF) && s->eof_offset == s->item_offset + 1 &&
      s->unget_offset == s->item_offset)
    return peek ? -1 : end_of_stream_met(s);
  if (s->flags & QX_SF_AT_EOF) {
    if (peek && !(s->flags & QX_SF_EOF_RESET)) return -1;
    if (s->flags & QX_SF_EOF_CODE) {
      s->flags &= ~(QX_SF_AT_EOF | QX_SF_PAST_EOF);
      return end_of_stream_met(s);
    }
    if (!(s->flags & QX_SF_EOF_RESET)) {
      s->flags |= QX_SF_PAST_EOF;
      return -1;
    }
    s->flags &= ~(QX_SF_AT_EOF | QX_SF_PAST_EOF);
    s->eof_offset = -1;
  }
  if (!s->qxio) return peek ? end_of_stream_peeked(s) : end_of_stream_met(s);
  size_t before = s->input_buf ? s->input_buf->extent : 0;
  int rc = device_read(s, options);
  b = s->input_buf;
  if (rc == QXIO_E_END_OF_FILE || (rc >= 0 && (!b || b->extent <= before)))
    return peek ? end_of_stream_peeked(s) : end_of_stream_met(s);
  if (rc < 0) return rc;
  unsigned char *p = b->buf + before;
  int item = text ? (int)*(uint32_t *)p : *p;
  set_input(s, before + (peek ? 0 : isz), b->extent);
  return item;
}

int make_output_buffer(QX_stream *s)
{
  if (s->output_buf) return 0;
  s->output_buf = qxio_buf_alloc(nullptr, 0, 0);
  if (!s->output_buf) return QXIO_E_OUT_OF_MEMORY;
  set_output(s);
  return 0;
}

int check_output(QX_stream *s, bool text)
{
  if (!s) return QXIO_E_PARAMETER_ERROR;
  if (!(s->flags & QX_SF_OUTPUT)) return QXIO_E_NOT_WRITE;
  if (text != is_text(s)) return QXIO_E_GRANULARITY_ERROR;
  return make_output_buffer(s);
}

/* The slow path of a put: the buffer is full (ptr == limit) or not made yet. */
int put_item(QX_stream *s, uint32_t item, uint32_t options, bool text)
{
  int rc = check_output(s, text);
  if (rc < 0) return rc;
  if (out_ptr(s) >= s->output_buf->buf + s->output_buf->writable_size) {
    rc = flush_output_buffer(s, options & 0x1);
    if (rc < 0) return rc;
    if (out_ptr(s) >= s->output_buf->buf + s->output_buf->writable_size) return QXIO_E_WOULD_BLOCK;
  }
  if (text) {
    *s->pub.output_text.ptr++ = item;
  } else {
    *s->pub.output_binary.ptr++ = (unsigned char)item;
  }
  return (int)item;
}

/* Room for n items at output ptr: flush when they do not fit, then grow the buffer. */
int output_room(QX_stream *s, size_t n, uint32_t options, bool text)
{
  int rc = check_output(s, text);
  if (rc < 0) return rc;
  size_t bytes = n * item_size(s);
  if (n > SIZE_MAX / 4) return QXIO_E_OUT_OF_MEMORY;
  qxio_t_buf *b = s->output_buf;
  if ((size_t)(b->buf + b->writable_size - out_ptr(s)) >= bytes) return 0;
  rc = flush_output_buffer(s, options & 0x1);
  if (rc < 0) return rc;
  if ((size_t)(b->buf + b->writable_size - out_ptr(s)) >= bytes) return 0;
  update_output_extent(s);
  rc = qxio_buf_reserve(b, bytes);
  set_output(s);
  return rc < 0 ? rc : 0;
}

int put_block(QX_stream *s, const void *items, size_t n, uint32_t options, bool text)
{
  int rc = output_room(s, n, options, text);
  if (rc < 0 || (options & 0x1000)) return rc;
  size_t bytes = n * item_size(s);
  if (bytes) std::memcpy(out_ptr(s), items, bytes);
  if (text)
    s->pub.output_text.ptr += n;
  else
    s->pub.output_binary.ptr += n;
  return 0;
}

int vprintf_to(QX_stream *s, const char *format, va_list args)
{
  char local[PRINTF_BUFFER];
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(local, sizeof local, format, args);
  if (n < 0) {
    va_end(again);
    return QXIO_E_PARAMETER_ERROR;
  }
  char *text = local;
  if ((size_t)n >= sizeof local) {
    text = (char *)QX_malloc((size_t)n + 1);
    if (!text) {
      va_end(again);
      return QXIO_E_OUT_OF_MEMORY;
    }
    std::vsnprintf(text, (size_t)n + 1, format, again);
  }
  va_end(again);
  int rc = QX_put_encoded_string(s, text, 0);
  if (text != local) QX_free(text);
  return rc < 0 ? rc : 0;
}

/* "true" or "false" exactly; anything else leaves the setting. */
void read_boolean(const char *name, bool *setting)
{
  char *value = qxio_get_system_property_allocate(name, 0);
  if (!value) return;
  if (!std::strcmp(value, "true")) *setting = true;
  if (!std::strcmp(value, "false")) *setting = false;
  qxio_free(value);
}

}  // namespace

/* ---- counting ---- */

void sync_stream_counters(QX_stream *s, bool merge)
{
  QX_stream *root = qx_eg.root_stream_ptr;
  if (merge && (s->flags & QX_SF_INTERACTIVE) && root)
    for (QX_stream *o = root->forward; o != root; o = o->forward)
      if (o != s && (o->flags & (QX_SF_INTERACTIVE | QX_SF_TEXT | QX_SF_INPUT)) ==
                        (QX_SF_INTERACTIVE | QX_SF_TEXT | QX_SF_INPUT))
        sync_stream_counters(o, false);
  bool input = s->flags & QX_SF_INPUT;
  qxio_t_buf *b = input ? s->input_buf : s->output_buf;
  if (!b) return;
  unsigned char *ptr = input ? in_ptr(s) : out_ptr(s);
  size_t isz = item_size(s);
  size_t upto = (size_t)(ptr - b->buf) / isz;
  if (upto <= s->buf_items_counted) return;
  count_items(s, b->buf + s->buf_items_counted * isz, upto - s->buf_items_counted);
  s->buf_items_counted = upto;
}

void stream_rederive_pointers(QX_stream *s)
{
  size_t end = s->input_buf ? s->input_buf->extent : 0;
  set_input(s, end, end);
  set_output(s);
}

void stream_reset_state(QX_stream *s)
{
  if (s->input_buf) s->input_buf->extent = 0;
  if (s->output_buf) s->output_buf->extent = 0;
  stream_rederive_pointers(s);
  s->item_offset = s->line_length = s->newline_count = s->unget_offset = 0;
  s->buf_items_counted = 0;
  s->previous_line_length = s->previous_newline_count = s->eof_offset = -1;
  s->flags &= ~(QX_SF_AT_EOF | QX_SF_PAST_EOF);
}

int QX_get_stream_counts(QX_stream *s, int64_t *offset, int64_t *lines, int64_t *line_position,
                         uint32_t options)
{
  if ((options & 0x1) && !(s->flags & QX_SF_INPUT)) return QXIO_E_NOT_READ;
  if (options & 0x2) {
    if (!(s->flags & QX_SF_OUTPUT)) return QXIO_E_NOT_WRITE;
    if (s->flags & QX_SF_INPUT) return QXIO_E_NOT_SUPPORTED;
  }
  sync_stream_counters(s, true);
  bool shared = !(options & 0x3) && (s->flags & QX_SF_INTERACTIVE);
  const QX_stream *from = shared ? qx_eg.root_stream_ptr : s;
  if (offset)
    *offset = (s->flags & (QX_SF_INPUT | QX_SF_AT_EOF)) == (QX_SF_INPUT | QX_SF_AT_EOF)
                  ? s->eof_offset
                  : from->item_offset;
  if (lines) *lines = is_text(s) ? from->newline_count : 0;
  if (line_position) *line_position = is_text(s) ? from->line_length : 0;
  return 0;
}

/* ---- reading ---- */

int qx_get_code_helper(QX_stream *stream, uint32_t options)
{
  return get_item(stream, options, true);
}

int qx_get_byte_helper(QX_stream *stream, uint32_t options)
{
  return get_item(stream, options, false);
}

/* At most one unget between reads: the counters are brought up to date first, since reads on
 * the inline path leave item_offset behind. */
static int unget_item(QX_stream *s, int32_t item, bool text)
{
  if (!s || !(s->flags & QX_SF_INPUT) || text != is_text(s)) return QXIO_E_PARAMETER_ERROR;
  sync_stream_counters(s, text);
  if (item == -1) {
    if (!(s->flags & QX_SF_AT_EOF)) return QXIO_E_PARAMETER_ERROR;
    if (s->flags & QX_SF_PAST_EOF) {
      s->flags &= ~QX_SF_PAST_EOF;
      return 0;
    }
    s->flags &= ~QX_SF_AT_EOF;
    s->unget_offset = s->item_offset;
    s->previous_line_length = s->previous_newline_count = -1;
    return 0;
  }
  qxio_t_buf *b = s->input_buf;
  size_t isz = item_size(s);
  if ((s->flags & QX_SF_AT_EOF) || s->unget_offset == s->item_offset || !b || in_ptr(s) == b->buf ||
      s->buf_items_counted == 0)
    return QXIO_E_PARAMETER_ERROR;
  unsigned char *before = in_ptr(s) - isz;
  int32_t last = text ? (int32_t) * (uint32_t *)before : *before;
  if (last != item) return QXIO_E_PARAMETER_ERROR;
  if (text) {
    if (s->previous_line_length < 0 || s->previous_newline_count < 0) return QXIO_E_PARAMETER_ERROR;
    s->line_length = s->previous_line_length;
    s->newline_count = s->previous_newline_count;
  }
  s->item_offset--;
  s->buf_items_counted--;
  s->unget_offset = s->item_offset;
  s->previous_line_length = s->previous_newline_count = -1;
  set_input(s, (size_t)(before - b->buf), b->extent);
  return 0;
}

int QX_unget_code(QX_stream *stream, int32_t code) { return unget_item(stream, code, true); }
int QX_unget_byte(QX_stream *stream, int32_t byte) { return unget_item(stream, byte, false); }

/* ---- writing ---- */

int qx_put_code_helper(QX_stream *stream, int32_t code, uint32_t options)
{
  if (stream && is_text(stream) && stream->pub.output_text.ptr < stream->pub.output_text.limit) {
    *stream->pub.output_text.ptr++ = (uint32_t)code;
    return code;
  }
  return put_item(stream, (uint32_t)code, options, true);
}

int qx_put_byte_helper(QX_stream *stream, int32_t byte, uint32_t options)
{
  if (stream && !is_text(stream) &&
      stream->pub.output_binary.ptr < stream->pub.output_binary.limit) {
    *stream->pub.output_binary.ptr++ = (unsigned char)byte;
    return byte;
  }
  return put_item(stream, (uint32_t)byte, options, false);
}

int QX_put_codes(QX_stream *stream, const uint32_t *codes, size_t n, uint32_t options)
{
  return put_block(stream, codes, n, options, true);
}

int QX_put_bytes(QX_stream *stream, const unsigned char *bytes, size_t n, uint32_t options)
{
  return put_block(stream, bytes, n, options & ~0x1000u, false);
}

int QX_put_encoded_string(QX_stream *stream, const char *text, uint32_t options)
{
  size_t length = std::strlen(text);
  if (length == 0) return 0;
  int rc = output_room(stream, length, options, true);
  if (rc < 0) return rc;
  uint32_t *out = stream->pub.output_text.ptr;
  size_t i = 0;
  for (; i < length && (unsigned char)text[i] < 0x80; i++) *out++ = (unsigned char)text[i];
  if (i < length) {
    size_t count = length - i;
    /* Internal text: C0 80 is code 0, and codes beyond Unicode take up to 6 bytes. */
    rc = qxio_decode_utf8_to_utf32(text + i, length - i, out, &count, 0x3);
    if (rc < 0) return rc;
    out += count;
  }
  stream->pub.output_text.ptr = out;
  return 0;
}

int flush_output_buffer(QX_stream *s, uint32_t options)
{
  qxio_t_buf *b = s->output_buf;
  if (!b) return 0;
  update_output_extent(s);
  if (b->extent == 0) return 0;
  bool output_only = !(s->flags & QX_SF_INPUT);
  /* Input read from a terminal so far was echoed before this output: count it first. */
  if (output_only) sync_stream_counters(s, true);
  size_t isz = item_size(s);
  int rc = 0;
  size_t written = b->extent;
  if (s->qxio) {
    written = 0;
    uint32_t write_options = QXIO_WRITE_ALL | (is_text(s) ? 2u : 1u) |
                             (options & 0x1 ? (uint32_t)QXIO_WRITE_NONBLOCKING : 0u);
    rc = qxio_write(&s->qxio, b, &written, write_options);
    if (rc >= 0) written = b->extent;
  }
  written -= written % isz;
  /* A code that the encoding cannot hold stops the write there: it is dropped, so that the
   * error is reported once and the items after it go out with the next flush. */
  if (rc == QXIO_E_ENCODING_UNMAPPABLE && written < b->extent) written += isz;
  qxio_buf_contract(b, (ptrdiff_t)written);
  if (output_only) {
    size_t items = written / isz;
    s->buf_items_counted = s->buf_items_counted > items ? s->buf_items_counted - items : 0;
  }
  set_output(s);
  return rc < 0 ? rc : 0;
}

int qx_flush_output(QX_stream *s, uint32_t options)
{
  if (options & 0x2) {
    if (!(s->flags & QX_SF_OUTPUT)) return 0;
    if (autoflush_flush_other_streams && s != last_flushed_autoflush_stream) {
      last_flushed_autoflush_stream = s;
      qx_flush_autoflush_streams(s);
    }
  }
  int rc = 0;
  while (rc >= 0 && s->output_buf && out_ptr(s) > s->output_buf->buf)
    rc = flush_output_buffer(s, options & 0x1);
  /* After a code that the encoding cannot hold, what was encoded before it still goes down. */
  if ((rc < 0 && rc != QXIO_E_ENCODING_UNMAPPABLE) || !s->qxio || !(s->flags & QX_SF_OUTPUT))
    return rc;
  uint32_t sync = (options & 0x2 ? 76u : 12u) | (options & 0x1 ? 1u : 0u);
  int synced = qxio_sync(&s->qxio, sync);
  return rc < 0 ? rc : synced < 0 ? synced : 0;
}

int QX_flush_output(QX_stream *s, uint32_t options)
{
  if (!s || !(s->flags & QX_SF_OUTPUT)) return QXIO_E_NOT_WRITE;
  int rc = qx_flush_output(s, options);
  if (rc == QXIO_E_WOULD_BLOCK && (options & 0x2)) return 0;
  return rc < 0 ? rc : 0;
}

int qx_ttyflush(void)
{
  if (!qx_eg.stream_user_error) return 0;
  int rc = qx_flush_output(qx_eg.stream_user_error, 0);
  return rc < 0 ? rc : 0;
}

void qx_flush_autoflush_streams(QX_stream *except)
{
  QX_stream *root = qx_eg.root_stream_ptr;
  if (!root) return;
  const uint32_t want = QX_SF_OUTPUT | QX_SF_TEXT | QX_SF_AUTOFLUSH;
  for (QX_stream *s = root->forward; s != root; s = s->forward)
    if (s != except && (s->flags & want) == want) qx_flush_output(s, 0);
}

int qx_autoflush(QX_stream *s)
{
  if (!(s->flags & QX_SF_AUTOFLUSH) || suppress_autoflush) return 0;
  int rc = qx_flush_output(s, 0x2);
  return rc == QXIO_E_WOULD_BLOCK ? 0 : rc;
}

void qx_read_autoflush_settings(void)
{
  read_boolean("QX_SUPPRESS_AUTOFLUSH", &suppress_autoflush);
  autoflush_on_prompt = suppress_autoflush;
  read_boolean("QX_AUTOFLUSH_ON_PROMPT", &autoflush_on_prompt);
  read_boolean("QX_AUTOFLUSH_FLUSH_OTHER_STREAMS", &autoflush_flush_other_streams);
  last_flushed_autoflush_stream = nullptr;
}

/* ---- formatted output ---- */

int QX_fprintf(QX_stream *stream, const char *format, ...)
{
  va_list args;
  va_start(args, format);
  int rc = vprintf_to(stream, format, args);
  va_end(args);
  return rc;
}

int QX_printf(const char *format, ...)
{
  va_list args;
  va_start(args, format);
  int rc = vprintf_to(qx_eg.stream_user_output, format, args);
  va_end(args);
  return rc;
}

int qx_ttyprintf(const char *format, ...)
{
  va_list args;
  va_start(args, format);
  int rc = vprintf_to(qx_eg.stream_user_error, format, args);
  va_end(args);
  return rc;
}

QX_ErrprintfHook QX_set_errprintf_hook(QX_ErrprintfHook hook, void *user_data)
{
  QX_ErrprintfHook previous = errprintf_hook;
  errprintf_hook = hook;
  errprintf_hook_data = user_data;
  return previous;
}

void errprintf(int level, const char *format, ...)
{
  va_list args;
  va_start(args, format);
  if (errprintf_hook) {
    errprintf_hook(errprintf_hook_data, level, format, args);
  } else {
    std::fputc('\n', stderr);
    std::vfprintf(stderr, format, args);
    std::fflush(stderr);
  }
  va_end(args);
}

void qx_qxio_trace_line(const char *function, const char *file, int line, const char *message,
                        long value, const char *text, int level)
{
  qxio_trace_line(function, file, line, message, value, text, level);
}

const char *qx_qxio_error_name(int code) { return qxio_error_name(code); }

void qx_qxio_debug_break(const char *file, int line) { qxio_debug_break(file, line); }

int qx_qxio_assert_failure(const char *function, const char *file, int line)
{
  return qxio_assert_failure(function, file, line);
}
