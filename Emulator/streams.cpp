/* Stream nodes: creation, the ring of all streams, the standard streams made at engine start,
 * null streams, and the mapping from Prolog terms to nodes.
 *
 * The ring's sentinel (qx_eg.root_stream_ptr) is a node of its own that is never a stream; its
 * counters are the shared line counters of the interactive streams. A node's address is only
 * dereferenced after find_stream found it in the ring or in a user slot.
 */
#include "streams.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "atoms.h"
#include "errors.h"
#include "foreign.h"
#include "memman.h"
#include "orvalis.h"
#include "qxio/qxio_simple_device.h"

namespace {

QX_UserStreamHook user_stream_hook;
void *user_stream_hook_data;
QX_UserStreamPostHook user_stream_post_hook;
void *user_stream_post_hook_data;
bool force_interactive;

/* Mode bit for each node flag it mirrors. */
constexpr struct {
  uint32_t flag, mode;
} mode_map[] = {
    {QX_SF_INPUT, QX_SM_INPUT},
    {QX_SF_OUTPUT, QX_SM_OUTPUT},
    {QX_SF_INTERACTIVE, QX_SM_INTERACTIVE},
    {QX_SF_STANDARD, QX_SM_STANDARD},
    {QX_SF_APPEND, QX_SM_APPEND},
    {QX_SF_HIDDEN, QX_SM_HIDDEN},
    {QX_SF_CAN_SEEK, QX_SM_CAN_SEEK},
    {QX_SF_EOF_CODE, QX_SM_EOF_CODE},
    {QX_SF_EOF_RESET, QX_SM_EOF_RESET},
    {QX_SF_BINARY, QX_SM_BINARY},
    {QX_SF_CLOSE_CLEANUP, QX_SM_CLOSE_CLEANUP},
    {QX_SF_TEXT, QX_SM_TEXT},
    {QX_SF_AUTOFLUSH, QX_SM_AUTOFLUSH},
};

/* Creation option -> node flag, for the options that are plain flags. */
constexpr struct {
  uint32_t option, flag;
} option_map[] = {
    {QX_SC_INPUT, QX_SF_INPUT},
    {QX_SC_OUTPUT, QX_SF_OUTPUT},
    {QX_SC_APPEND, QX_SF_APPEND | QX_SF_OUTPUT},
    {QX_SC_BINARY, QX_SF_BINARY},
    {QX_SC_TEXT, QX_SF_TEXT},
    {QX_SC_INTERACTIVE, QX_SF_INTERACTIVE},
    {QX_SC_HIDDEN, QX_SF_HIDDEN},
    {QX_SC_NO_QXIO, QX_SF_NO_QXIO},
    {QX_SC_STANDARD, QX_SF_STANDARD},
};

/* The item kind of one side of a layer: 1 bytes, 2 half-words, 4 codes, 0 none. */
uint32_t item_kind(uint32_t layer_flags, uint32_t first_bit)
{
  return (layer_flags & first_bit ? 1 : 0) | (layer_flags & (first_bit << 1) ? 2 : 0) |
         (layer_flags & (first_bit << 2) ? 4 : 0);
}

int check_layers(QXIO qxio, uint32_t options)
{
  bool in = options & QX_SC_INPUT, out = options & (QX_SC_OUTPUT | QX_SC_APPEND);
  uint32_t flags = qxio->flags;
  if (in && !(flags & QXIO_LAYER_READ_OPEN)) return QXIO_E_NOT_READ;
  if (out && !(flags & QXIO_LAYER_WRITE_OPEN)) return QXIO_E_NOT_WRITE;
  uint32_t read_kind = item_kind(flags, QXIO_LAYER_READ_ITEM_1);
  uint32_t write_kind = item_kind(flags, QXIO_LAYER_WRITE_ITEM_1);
  if (in && out && read_kind != write_kind) return QXIO_E_PARAMETER_ERROR;
  uint32_t kind = in ? read_kind : write_kind;
  if (kind != (options & QX_SC_BINARY ? 1u : 4u)) return QXIO_E_GRANULARITY_ERROR;
  return 0;
}

void link_at_end(QX_stream *node)
{
  QX_stream *root = qx_eg.root_stream_ptr;
  node->forward = root;
  node->backward = root->backward;
  root->backward->forward = node;
  root->backward = node;
}

bool in_ring(QX_stream *stream)
{
  QX_stream *root = qx_eg.root_stream_ptr;
  if (!root) return false;
  for (QX_stream *s = root->forward; s != root; s = s->forward)
    if (s == stream) return true;
  return false;
}

/* The integer a term holds when it is a small integer or a one-limb box. */
bool term_address(TAGGED t, uintptr_t *address)
{
  if (IsSmall(t)) {
    *address = (uintptr_t)(intptr_t)GetSmall(t);
    return true;
  }
  if (IsBignum(t) && BignumLimbs(StrFunctor(t)) == 1) {
    *address = (uintptr_t)(intptr_t)(int32_t)StrPtr(t)[1];
    return true;
  }
  return false;
}

QX_stream *default_hook(void *user_data, int which);
void default_post_hook(void *, int, QX_stream *) {}

}  // namespace

/* ---- nodes ---- */

QX_stream *alloc_stream(void)
{
  QX_stream *s = (QX_stream *)QX_malloc(sizeof(QX_stream));
  if (!s) return nullptr;
  std::memset(s, 0, sizeof *s);
  s->previous_line_length = s->previous_newline_count = s->eof_offset = -1;
  return s;
}

void resync_stream_mode(QX_stream *stream)
{
  uint32_t mode = QX_SM_ALWAYS;
  for (const auto &m : mode_map)
    if (stream->flags & m.flag) mode |= m.mode;
  stream->mode = mode;
}

int QX_create_qxio_stream(QXIO *qxio_slot_or_null, QX_stream **stream, uint32_t options)
{
  bool no_qxio = options & QX_SC_NO_QXIO;
  if ((qxio_slot_or_null == nullptr) != no_qxio) return QXIO_E_PARAMETER_ERROR;
  if (!(options & (QX_SC_INPUT | QX_SC_OUTPUT | QX_SC_APPEND))) return QXIO_E_PARAMETER_ERROR;
  if (!(options & QX_SC_BINARY) == !(options & QX_SC_TEXT)) return QXIO_E_PARAMETER_ERROR;
  if (!no_qxio) {
    if (*qxio_slot_or_null == nullptr) return QXIO_E_PARAMETER_ERROR;
    int rc = check_layers(*qxio_slot_or_null, options);
    if (rc < 0) return rc;
  }
  if (!qx_eg.root_stream_ptr) return QXIO_E_INVALID_STATE;
  QX_stream *node = alloc_stream();
  if (!node) return QXIO_E_OUT_OF_MEMORY;
  for (const auto &m : option_map)
    if (options & m.option) node->flags |= m.flag;
  bool output = node->flags & QX_SF_OUTPUT;
  if ((options & QX_SC_INTERACTIVE) && output) node->flags |= QX_SF_AUTOFLUSH;
  if ((options & QX_SC_AUTOFLUSH) && output) node->flags |= QX_SF_AUTOFLUSH;
  if (node->flags & QX_SF_INPUT) {
    if (options & QX_SC_EOF_CODE) node->flags |= QX_SF_EOF_CODE;
    if (options & QX_SC_EOF_RESET) node->flags |= QX_SF_EOF_RESET;
  }
  if (!no_qxio) {
    node->qxio = *qxio_slot_or_null;
    *qxio_slot_or_null = nullptr;
    if (node->qxio->flags & QXIO_LAYER_SEEKABLE) node->flags |= QX_SF_CAN_SEEK;
  }
  node->owner = no_qxio ? nullptr : qx_running_resource(); /* no device, no resource code */
  resync_stream_mode(node);
  link_at_end(node);
  *stream = node;
  return 0;
}

void stream_unlink_and_free(QX_stream *stream)
{
  stream->backward->forward = stream->forward;
  stream->forward->backward = stream->backward;
  if (stream->input_buf) qxio_buf_free(stream->input_buf);
  if (stream->output_buf) qxio_buf_free(stream->output_buf);
  if (stream->filename_atom) QX_unregister_atom(stream->filename_atom);
  QX_free(stream);
}

/* ---- lookup ---- */

QX_stream *find_stream(QX_stream *stream)
{
  if (!stream) return nullptr;
  if (stream == qx_eg.stream_user_input || stream == qx_eg.stream_user_output ||
      stream == qx_eg.stream_user_error)
    return stream;
  return in_ring(stream) ? stream : nullptr;
}

QX_stream *stream_to_ptr(TAGGED term, uint32_t required, uint32_t forbidden)
{
  TAGGED t = deref(term);
  bool quiet = required & QX_SM_QUIET;
  required &= ~QX_SM_QUIET; /* a request, not a mode bit */
  QX_stream *s = nullptr;
  uintptr_t address;
  if (IsAtom(t)) {
    if (!(forbidden & (QX_SM_STANDARD | QX_SM_HIDDEN))) {
      const char *name = atom_name(t);
      if (!std::strcmp(name, "user_input"))
        s = qx_eg.stream_user_input;
      else if (!std::strcmp(name, "user_output"))
        s = qx_eg.stream_user_output;
      else if (!std::strcmp(name, "user_error"))
        s = qx_eg.stream_user_error;
      else if (!std::strcmp(name, "user"))
        s = required & QX_SM_INPUT ? qx_eg.stream_user_input : qx_eg.stream_user_output;
    }
  } else if (term_address(t, &address)) {
    s = find_stream((QX_stream *)address);
  }
  if (!s) {
    if (!quiet) save_error(0x902, "", t);
    return nullptr;
  }
  if ((s->mode & required) != required || (s->mode & forbidden)) {
    if (!quiet) save_error(required & QX_SM_INPUT ? 0x106 : 0x206, "", t);
    return nullptr;
  }
  return s;
}

int QX_next_stream(QX_stream *stream, QX_stream **next)
{
  QX_stream *root = qx_eg.root_stream_ptr;
  if (!root) {
    *next = nullptr;
    return 0;
  }
  /* the walk starts after the sentinel or after stream; hidden nodes (the persistent null stream,
   * always first, among them) are never answered */
  QX_stream *s = stream ? stream->forward : root->forward;
  while (s != root && (s->flags & QX_SF_HIDDEN)) s = s->forward;
  *next = s == root ? nullptr : s;
  return 0;
}

QX_stream *QX_get_stdin(void) { return qx_eg.stream_user_input; }
QX_stream *QX_get_stdout(void) { return qx_eg.stream_user_output; }
QX_stream *QX_get_stderr(void) { return qx_eg.stream_user_error; }
QX_stream *QX_get_curin(void) { return qx_eg.input_stream_ptr; }
QX_stream *QX_get_curout(void) { return qx_eg.output_stream_ptr; }

QX_UserStreamHook QX_set_user_stream_hook(QX_UserStreamHook hook, void *user_data)
{
  QX_UserStreamHook previous = user_stream_hook;
  user_stream_hook = hook;
  user_stream_hook_data = user_data;
  return previous;
}

QX_UserStreamPostHook QX_set_user_stream_post_hook(QX_UserStreamPostHook hook, void *user_data)
{
  QX_UserStreamPostHook previous = user_stream_post_hook;
  user_stream_post_hook = hook;
  user_stream_post_hook_data = user_data;
  return previous;
}

void QX_force_interactive(void) { force_interactive = true; }

/* ---- null streams ---- */

QX_stream *null_stream(uint32_t options)
{
  uint32_t create = QX_SC_TEXT | QX_SC_NO_QXIO;
  if (options & 0x2) create |= QX_SC_INPUT;
  if (options & 0x4) create |= QX_SC_OUTPUT;
  if (options & 0x40) create |= QX_SC_HIDDEN;
  QX_stream *s = nullptr;
  return QX_create_qxio_stream(nullptr, &s, create) < 0 ? nullptr : s;
}

QX_stream *persistent_null_stream(void)
{
  QX_stream *s = qx_eg.persistent_null_stream;
  if (s) {
    stream_reset_state(s);
    return s;
  }
  return qx_eg.persistent_null_stream = null_stream(70);
}

/* ---- the standard streams ---- */

int qx_default_charset_name(const char *const *variables, char **name_out)
{
  *name_out = nullptr;
  for (; *variables; variables++) {
    char *value = qxio_get_system_property_allocate(*variables, 0);
    if (!value) continue;
    if (!*value) {
      qxio_free(value);
      continue;
    }
    if (*value == '/') {
      qxio_free(value);
      return QXIO_E_NOT_FOUND;
    }
    const char *dot = std::strrchr(value, '.');
    if (dot) {
      char *charset = qxio_alloc_string(dot + 1);
      qxio_free(value);
      if (!charset) return QXIO_E_OUT_OF_MEMORY;
      value = charset;
    }
    *name_out = value;
    return 0;
  }
  return qxio_unix_default_charset(name_out, 0);
}

namespace {

/* The coder class of the standard streams' character set, ISO-8859-1 when there is none. */
qxio_t_coder_funcs *standard_coder_class()
{
  static const char *const variables[] = {"QX_CTYPE_STDIO", "QX_CTYPE", nullptr};
  char *name = nullptr;
  qxio_t_coder_funcs *funcs = nullptr;
  if (qx_default_charset_name(variables, &name) >= 0 && name &&
      qxio_char_coder_find(&funcs, name, nullptr, 0) < 0)
    funcs = nullptr;
  if (name) qxio_free(name);
  if (!funcs && qxio_char_coder_find(&funcs, "ISO-8859-1", nullptr, 0) < 0) funcs = nullptr;
  return funcs;
}

/* Push-encoding bits of an end-of-line mode on the read or write side. */
uint32_t eol_push_bits(int eol, bool read)
{
  uint32_t lf = read ? 0x10 : 0x20, crlf = read ? 0x40 : 0x80, autob = read ? 0x100 : 0x200;
  return eol == QX_EOL_CRLF ? crlf : eol == QX_EOL_AUTO ? autob : lf;
}

QX_stream *default_hook(void *, int which)
{
  static const uint32_t std_which[] = {QXIO_STD_INPUT, QXIO_STD_OUTPUT, QXIO_STD_ERROR};
  QXIO qxio = nullptr;
  if (qxio_get_standard_stream(&qxio, std_which[which] | QXIO_STD_NULL_IF_NONE) < 0 || !qxio)
    return nullptr;
  qxio_t_device_type type = QXIO_DEVICE_TYPE_UNKNOWN;
  if (qxio_ioctl_device_type(&qxio, &type, QXIO_IOCTL_WALK) < 0) type = QXIO_DEVICE_TYPE_UNKNOWN;
  bool input = which == 0;
  uint32_t create = input ? QX_SC_INPUT | QX_SC_TEXT : QX_SC_OUTPUT | QX_SC_APPEND | QX_SC_TEXT;
  if (which != 2) create |= QX_SC_EOF_RESET;
  qxio_t_coder_funcs *funcs = standard_coder_class();
  int eol = eol_type("default", input ? "auto" : "os");
  QX_stream *node = nullptr;
  int rc = funcs ? 0 : QXIO_E_NOT_FOUND;
  if (rc >= 0)
    rc = qxio_push_encoding(&qxio, input ? funcs : nullptr, input ? nullptr : funcs,
                            (input ? 0x1 : 0x2) | eol_push_bits(eol, input));
  if (funcs) qxio_coder_funcs_release(funcs);
  if (rc >= 0) rc = qxio_ioctl_encoding_fallback(&qxio, input ? 74 : 76);
  if (rc >= 0) {
    if (type == QXIO_DEVICE_TYPE_TTY || force_interactive)
      create |= QX_SC_INTERACTIVE;
    else if (which == 2)
      create |= QX_SC_AUTOFLUSH;
    rc = QX_create_qxio_stream(&qxio, &node, create);
  }
  if (rc < 0) {
    if (qxio) qxio_close(&qxio, QXIO_CLOSE_ABORTIVE);
    return nullptr;
  }
  node->flags |= QX_SF_CLOSE_CLEANUP;
  if (input && eol == QX_EOL_AUTO) node->flags |= QX_SF_IN_AUTO;
  resync_stream_mode(node);
  return node;
}

}  // namespace

int init_stream(void)
{
  QX_stream *root = alloc_stream();
  if (!root) return 0;
  root->forward = root->backward = root;
  qx_eg.root_stream_ptr = root;
  qx_eg.stream_user_input = qx_eg.stream_user_output = qx_eg.stream_user_error = nullptr;
  qx_eg.stream_user_input_orig = qx_eg.stream_user_output_orig = nullptr;
  qx_eg.stream_user_error_orig = nullptr;
  qx_eg.input_stream_ptr = qx_eg.output_stream_ptr = nullptr;
  qx_eg.embedded_resources = nullptr;
  qx_eg.persistent_null_stream = nullptr;
  QX_stream **slots[] = {&qx_eg.stream_user_input, &qx_eg.stream_user_output,
                         &qx_eg.stream_user_error};
  if (!persistent_null_stream()) goto fail;
  if (!user_stream_hook) QX_set_user_stream_hook(default_hook, nullptr);
  if (!user_stream_post_hook) QX_set_user_stream_post_hook(default_post_hook, nullptr);
  for (int which = 0; which < 3; which++) {
    QX_stream *s = user_stream_hook(user_stream_hook_data, which);
    if (!s) goto fail;
    s->flags |= QX_SF_STANDARD;
    resync_stream_mode(s);
    *slots[which] = s;
  }
  for (int which = 0; which < 3; which++)
    user_stream_post_hook(user_stream_post_hook_data, which, *slots[which]);
  qx_eg.stream_user_input_orig = qx_eg.stream_user_input;
  qx_eg.stream_user_output_orig = qx_eg.stream_user_output;
  qx_eg.stream_user_error_orig = qx_eg.stream_user_error;
  init_stream_again();
  qx_read_autoflush_settings();
  return 1;
fail:
  /* Close whatever was made; the sentinel goes last. */
  while (root->forward != root) {
    QX_stream *s = root->forward;
    if (s->qxio) qxio_close(&s->qxio, QXIO_CLOSE_ABORTIVE);
    stream_unlink_and_free(s);
  }
  QX_free(root);
  qx_eg.root_stream_ptr = nullptr;
  qx_eg.persistent_null_stream = nullptr;
  for (QX_stream **slot : slots) *slot = nullptr;
  return 0;
}

void init_stream_again(void)
{
  qx_eg.input_stream_ptr = qx_eg.stream_user_input;
  qx_eg.output_stream_ptr = qx_eg.stream_user_output;
}

namespace {

/* Names a stream whose output shutdown could not write, on user_error. */
void report_lost_output(QX_stream *s, int rc)
{
  QX_stream *err = qx_eg.stream_user_error;
  if (!err || s == err) return;
  char number[24];
  std::snprintf(number, sizeof number, "stream %d", (int)(intptr_t)s);
  const char *name = s == qx_eg.stream_user_output ? "user_output"
                     : s->filename_atom            ? atom_name(s->filename_atom)
                                                   : number;
  QX_fprintf(err, "! Output to %s lost at shutdown: %s\n", name, qxio_error_name(rc));
  qx_flush_output(err, 0);
}

/* Writes out what a stream holds; false when some of it is lost (each loss is reported). A code
 * the encoding cannot hold is dropped by the flush that meets it: the codes after it go out with
 * the next flush, as they would with repeated unforced closes. */
bool flush_at_shutdown(QX_stream *s)
{
  if (!s || !(s->flags & QX_SF_OUTPUT)) return true;
  bool written = true;
  size_t left = SIZE_MAX;
  for (;;) {
    int rc = qx_flush_output(s, 0);
    if (rc == QXIO_E_INTERRUPTED) continue; /* events are off: a signal only cuts the wait */
    if (rc >= 0) return written;
    report_lost_output(s, rc);
    written = false;
    size_t before = left;
    left = s->output_buf ? s->output_buf->extent : 0;
    if (rc != QXIO_E_ENCODING_UNMAPPABLE || left >= before) return false;
  }
}

/* Every stream's output, user_error's last, since it carries the reports of the others. */
bool flush_all_at_shutdown(QX_stream *root)
{
  bool written = true;
  for (QX_stream *s = root->forward, *next; s != root; s = next) {
    next = s->forward;
    if (s != qx_eg.stream_user_error && !flush_at_shutdown(s)) written = false;
  }
  return flush_at_shutdown(qx_eg.stream_user_error) && written;
}

}  // namespace

bool qx_close_streams_of(const qx_open_resource *owner)
{
  QX_stream *root = qx_eg.root_stream_ptr;
  bool written = true;
  /* a close may run close_cleanup/2, which may close others: the walk starts again after each */
  for (bool closed = true; root && closed;) {
    closed = false;
    for (QX_stream *s = root->forward; s != root && !closed; s = s->forward)
      if (s->owner == owner) {
        if (!flush_at_shutdown(s)) written = false;
        /* the user slots and the current streams that held it go back to the standard ones */
        if (qx_fclose_internal(s, QX_FC_FORCE | QX_FC_STANDARD) != 2) s->owner = nullptr;
        closed = true;
      }
  }
  return written;
}

/* Shutdown: every stream's output is written out, then the persistent null stream and every
 * stream still open are closed (forced, forgotten by the engine's slots), then the sentinel
 * is freed. Answers 1, or 0 when some output could not be written. */
int deinit_stream(void)
{
  QX_stream *root = qx_eg.root_stream_ptr;
  if (!root) return 1;
  qx_free_embedded_resources(); /* closes the hidden streams of the resource files */
  bool written = flush_all_at_shutdown(root);
  const uint32_t shutdown = QX_FC_FORCE | QX_FC_STANDARD | QX_FC_FORGET;
  free_stream_event_listeners();
  if (qx_eg.persistent_null_stream) qx_fclose_internal(qx_eg.persistent_null_stream, shutdown);
  while (root->forward != root) {
    QX_stream *s = root->forward;
    if (qx_fclose_internal(s, shutdown) == 2) continue;
    if (s->qxio) qxio_close(&s->qxio, QXIO_CLOSE_ABORTIVE);
    stream_unlink_and_free(s);
  }
  QX_free(root);
  qx_eg.root_stream_ptr = nullptr;
  return written ? 1 : 0;
}
