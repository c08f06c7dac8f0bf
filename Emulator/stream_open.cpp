/* Opening files as streams with their encoding, byte-order-mark and end-of-line settings,
 * closing streams side by side, and repositioning them with their counters.
 *
 * An open that fails leaves nothing behind: the I/O-library stream, the coders and the name's
 * atom are released on every failure path. A close that fails (unforced) leaves the stream open
 * and usable.
 */
#include <cstring>
#include <vector>

#include "atoms.h"
#include "filenames.h"
#include "memman.h"
#include "orvalis.h"
#include "qxio/qxio_simple_device.h"
#include "streams.h"
#include "wam.h"

namespace {

/* Options of qxio_push_encoding. */
constexpr uint32_t QX_PE_READ = 0x1;
constexpr uint32_t QX_PE_WRITE = 0x2;
constexpr uint32_t QX_PE_BOM = 0x4;
constexpr uint32_t QX_PE_BOM_IF_CALLED_FOR = 0x8;
constexpr uint32_t QX_PE_READ_LF = 0x10;
constexpr uint32_t QX_PE_WRITE_LF = 0x20;
constexpr uint32_t QX_PE_READ_CRLF = 0x40;
constexpr uint32_t QX_PE_WRITE_CRLF = 0x80;
constexpr uint32_t QX_PE_READ_AUTO = 0x100;
constexpr uint32_t QX_PE_WRITE_AUTO = 0x200;
constexpr uint32_t QX_PE_REPOSITION = 0x400;
/* What qxio_push_encoding answers when the read encoding came from the file itself. */
constexpr int ENCODING_DETECTED = 30001;

struct encoding_settings {
  const char *name = "default", *bom = "default", *eol = "default";
};

int read_encoding(uint32_t options, TAGGED encoding, encoding_settings *out)
{
  if (!(options & (QX_FO_ENCODING_TERM | QX_FO_ENCODING_REF))) return 0;
  TAGGED t = encoding;
  if (options & QX_FO_ENCODING_REF) {
    QX_globref slot = qx_get_globref_checked((int)encoding, qx_w);
    if (!slot) return QXIO_E_PARAMETER_ERROR;
    t = slot->term;
  }
  t = deref(t);
  if (t == atom_nil) return 0;
  if (!IsStr(t) || StrFunctor(t) != MakeFunctor(init_atom_check("encoding", 0), 3))
    return QXIO_E_PARAMETER_ERROR;
  const char **fields[] = {&out->name, &out->bom, &out->eol};
  for (uint32_t i = 0; i < 3; i++) {
    TAGGED a = deref(StrArg(t, i + 1));
    if (!IsAtom(a)) return QXIO_E_INTERNAL_ERROR;
    *fields[i] = atom_name(a);
  }
  return 0;
}

uint32_t eol_bits(int eol, uint32_t lf, uint32_t crlf, uint32_t autob)
{
  return eol == QX_EOL_CRLF ? crlf : eol == QX_EOL_AUTO ? autob : lf;
}

/* Everything an open makes, released together when a later step fails. */
struct open_parts : qx_text_setup {
  TAGGED atom = 0;
  ~open_parts()
  {
    if (atom) QX_unregister_atom(atom);
  }
};

int find_coders(qx_text_setup *parts, const encoding_settings &enc, uint32_t options,
                const char *preferred)
{
  const char *name = std::strcmp(enc.name, "default") ? enc.name : "ISO-8859-1";
  if (preferred && qxio_char_coder_find(&parts->read_class, preferred, nullptr, 0) >= 0) {
    qxio_coder_funcs_release(parts->read_class);
    parts->read_class = nullptr;
    name = preferred;
  }
  uint32_t find = options & QX_FO_REPOSITION ? 0x1u : 0u;
  if (options & QX_FO_READ) {
    int rc = qxio_char_coder_find(&parts->read_class, name, nullptr, find);
    if (rc < 0) return parts->read_class = nullptr, rc;
  }
  if (options & QX_FO_WRITE) {
    int rc = qxio_char_coder_find(&parts->write_class, name, nullptr, find);
    if (rc < 0) return parts->write_class = nullptr, rc;
  }
  return 0;
}

/* The push-encoding options of a text open, or an error. */
int push_options(const encoding_settings &enc, uint32_t options, uint32_t *out)
{
  bool rd = options & QX_FO_READ, wr = options & QX_FO_WRITE;
  bool repos = options & QX_FO_REPOSITION, append = options & QX_FO_APPEND;
  uint32_t push = (rd ? QX_PE_READ : 0) | (wr ? QX_PE_WRITE : 0) | (repos ? QX_PE_REPOSITION : 0);
  if (rd) {
    int eol = eol_type(enc.eol, repos ? "lf" : "auto");
    if (eol < 0) return eol;
    if (repos && eol != QX_EOL_LF) return QXIO_E_SEEK_ERROR;
    push |= eol_bits(eol, QX_PE_READ_LF, QX_PE_READ_CRLF, QX_PE_READ_AUTO);
    bool is_default = !std::strcmp(enc.bom, "default");
    if (!std::strcmp(enc.bom, "true") || (is_default && !repos)) push |= QX_PE_BOM;
  }
  if (wr) {
    int eol = eol_type(enc.eol, repos ? "lf" : "os");
    if (eol < 0) return eol;
    if (repos && eol != QX_EOL_LF) return QXIO_E_SEEK_ERROR;
    push |= eol_bits(eol, QX_PE_WRITE_LF, QX_PE_WRITE_CRLF, QX_PE_WRITE_AUTO);
    if (!std::strcmp(enc.bom, "true"))
      push |= QX_PE_BOM;
    else if (!std::strcmp(enc.bom, "default") && !repos && !append)
      push |= QX_PE_BOM | QX_PE_BOM_IF_CALLED_FOR;
  }
  *out = push;
  return 0;
}

int validate_qxio_push_encoding_options(uint32_t options)
{
  bool bom = options & QX_PE_BOM, called_for = options & QX_PE_BOM_IF_CALLED_FOR;
  if ((options & QX_PE_REPOSITION) &&
      (((options & QX_PE_READ) && bom) || ((options & QX_PE_WRITE) && (bom || called_for))))
    return QXIO_E_NOT_SUPPORTED;
  return 0;
}

int text_setup(qx_text_setup *setup, const encoding_settings &enc, uint32_t options,
               const char *preferred)
{
  int rc = find_coders(setup, enc, options, preferred);
  if (rc < 0) return rc;
  setup->coders_found = true;
  if ((rc = push_options(enc, options, &setup->push)) < 0) return rc;
  return validate_qxio_push_encoding_options(setup->push);
}

int open_checked(const char *path, uint32_t options, TAGGED encoding, QX_stream **stream)
{
  bool rd = options & QX_FO_READ, wr = options & QX_FO_WRITE, text = options & QX_FO_TEXT;
  bool repos = options & QX_FO_REPOSITION;
  if ((!rd && !wr) || !text == !(options & QX_FO_BINARY)) return QXIO_E_PARAMETER_ERROR;
  /* Internal text writes code 0 as two bytes, which the system would cut the name at. */
  int rc = qx_file_name_check(path);
  if (rc < 0) return rc;
  encoding_settings enc;
  rc = read_encoding(options, encoding, &enc);
  if (rc < 0) return rc;
  open_parts parts;
  if (text && (rc = text_setup(&parts, enc, options, nullptr)) < 0) return rc;
  if (repos && ((options & (QX_FO_URL | QX_FO_APPEND)) || (rd && wr))) return QXIO_E_SEEK_ERROR;
  parts.atom = init_atom_check(path, 0);
  if (!parts.atom) return QXIO_E_INVALID_NAME;
  QX_register_atom(parts.atom);
  qxio_t_arglist args[] = {qxio_arg_string(QXIO_ARG_PATHNAME, path), qxio_arg_end()};
  uint32_t open = (rd ? QXIO_OPEN_READ : 0) | (wr ? QXIO_OPEN_WRITE : 0) |
                  (options & QX_FO_APPEND ? QXIO_OPEN_APPEND : 0) |
                  (options & QX_FO_EXCLUSIVE ? QXIO_OPEN_EXCLUSIVE : 0);
  rc = options & QX_FO_URL ? qxio_open_url(&parts.qxio, args, open)
                           : qxio_open_by_name("async", &parts.qxio, args, open);
  if (rc < 0) return rc;
  if (repos && !(parts.qxio->flags & QXIO_LAYER_SEEKABLE)) return QXIO_E_SEEK_ERROR;
  uint32_t read_bits = 0, write_bits = 0;
  if (text && (rc = qx_text_setup_push(&parts, &read_bits, &write_bits)) < 0) return rc;
  uint32_t create = (rd ? QX_SC_INPUT : 0) | (wr ? QX_SC_OUTPUT : 0) |
                    (options & QX_FO_APPEND ? QX_SC_APPEND : 0) |
                    (text ? QX_SC_TEXT : QX_SC_BINARY) |
                    (options & QX_FO_INTERACTIVE ? QX_SC_INTERACTIVE : 0) |
                    (options & QX_FO_AUTOFLUSH ? QX_SC_AUTOFLUSH : 0) |
                    (options & QX_FO_HIDDEN ? QX_SC_HIDDEN : 0);
  QX_stream *node = nullptr;
  if ((rc = QX_create_qxio_stream(&parts.qxio, &node, create)) < 0) return rc;
  node->filename_atom = parts.atom;
  parts.atom = 0;
  set_stream_encoding_bits(node, read_bits, write_bits);
  *stream = node;
  return 0;
}

bool holds(QX_stream *slot, QX_stream *s) { return slot == s; }

/* Calls prolog:close_cleanup(Stream, Which) once with events off; what it leaves is dropped. */
void run_close_cleanup(QX_stream *s, const char *which)
{
  if (!qx_w || !qx_w->fli_stack_start) return;
  QX_pred_ref pred = QX_predicate("close_cleanup", 2, "prolog");
  if (!pred) return;
  QX_term_ref args = QX_new_term_refs(2);
  if (!args) return;
  if (QX_put_address(args, s) && QX_put_atom(args + 1, QX_atom_from_string(which))) {
    disable_events();
    if (QX_query_cut_fail(pred, args, args + 1) < 0) qx_clear_exception();
    enable_events();
  }
  QX_reset_term_refs(args);
}

/* Whether a close of the given sides leaves the stream open because the engine's slots
 * protect it: what release_slots answers, with nothing changed. */
bool stays_open(QX_stream *s, uint32_t options, bool close_in, bool close_out)
{
  if (options & QX_FC_FORGET) return false;
  if (!(options & QX_FC_STANDARD) && (s->mode & QX_SM_STANDARD)) return true;
  QX_stream *orig[] = {qx_eg.stream_user_input_orig, qx_eg.stream_user_output_orig,
                       qx_eg.stream_user_error_orig};
  for (int i = 0; i < 3; i++)
    if (holds(orig[i], s) && !((options & QX_FC_STANDARD) && (i == 0 ? close_in : close_out)))
      return true;
  return s == qx_eg.persistent_null_stream;
}

/* The engine slots: who still holds the stream after a close of the given sides. Answers
 * false when the stream must stay open. */
bool release_slots(QX_stream *s, uint32_t options, bool close_in, bool close_out)
{
  QX_stream **user[] = {&qx_eg.stream_user_input, &qx_eg.stream_user_output,
                        &qx_eg.stream_user_error};
  QX_stream **orig[] = {&qx_eg.stream_user_input_orig, &qx_eg.stream_user_output_orig,
                        &qx_eg.stream_user_error_orig};
  if (options & QX_FC_FORGET) {
    QX_stream **others[] = {&qx_eg.input_stream_ptr, &qx_eg.output_stream_ptr,
                            &qx_eg.persistent_null_stream};
    for (int i = 0; i < 3; i++) {
      if (holds(*user[i], s)) *user[i] = nullptr;
      if (holds(*orig[i], s)) *orig[i] = nullptr;
      if (holds(*others[i], s)) *others[i] = nullptr;
    }
    return true;
  }
  if (options & QX_FC_STANDARD) {
    for (int i = 0; i < 3; i++)
      if (holds(*orig[i], s) && (i == 0 ? close_in : close_out))
        *orig[i] = persistent_null_stream();
  } else if (s->mode & QX_SM_STANDARD) {
    return false;
  }
  for (int i = 0; i < 3; i++)
    if (holds(*user[i], s)) *user[i] = *orig[i];
  for (int i = 0; i < 3; i++)
    if (holds(*orig[i], s) || holds(*user[i], s)) return false;
  if (s == qx_eg.persistent_null_stream) return false;
  if (holds(qx_eg.input_stream_ptr, s)) qx_eg.input_stream_ptr = qx_eg.stream_user_input;
  if (holds(qx_eg.output_stream_ptr, s)) qx_eg.output_stream_ptr = qx_eg.stream_user_output;
  return true;
}

}  // namespace

qx_text_setup::~qx_text_setup()
{
  if (qxio) qxio_close(&qxio, QXIO_CLOSE_ABORTIVE);
  if (read_class) qxio_coder_funcs_release(read_class);
  if (write_class) qxio_coder_funcs_release(write_class);
}

int qx_text_setup_find(qx_text_setup *setup, uint32_t options, TAGGED encoding,
                       const char *preferred)
{
  encoding_settings enc;
  int rc = read_encoding(options, encoding, &enc);
  return rc < 0 ? rc : text_setup(setup, enc, options, preferred);
}

int qx_text_setup_push(qx_text_setup *setup, uint32_t *read_bits, uint32_t *write_bits)
{
  uint32_t push = setup->push;
  int rc = qxio_push_encoding(&setup->qxio, setup->read_class, setup->write_class, push);
  if (rc < 0) return rc;
  *read_bits = (rc == ENCODING_DETECTED ? 0x1 : 0) | (push & QX_PE_READ_CRLF ? 0x8 : 0) |
               (push & QX_PE_READ_AUTO ? 0x20 : 0);
  *write_bits = (push & QX_PE_WRITE_CRLF ? 0x10 : 0) | (push & QX_PE_WRITE_AUTO ? 0x40 : 0);
  return 0;
}

int eol_type(const char *name, const char *default_name)
{
  if (!std::strcmp(name, "default")) name = default_name;
  if (!std::strcmp(name, "os") || !std::strcmp(name, "lf")) return QX_EOL_LF;
  if (!std::strcmp(name, "crlf")) return QX_EOL_CRLF;
  if (!std::strcmp(name, "auto")) return QX_EOL_AUTO;
  return QXIO_E_PARAMETER_ERROR;
}

void set_stream_encoding_bits(QX_stream *s, uint32_t read_bits, uint32_t write_bits)
{
  if (!(s->flags & QX_SF_TEXT)) return;
  if (read_bits & 0x1) s->flags |= QX_SF_ENCODING_DETECTED;
  if (read_bits & 0x8) s->flags |= QX_SF_IN_CRLF;
  if (read_bits & 0x20) s->flags |= QX_SF_IN_AUTO;
  if (write_bits & 0x10) s->flags |= QX_SF_OUT_CRLF;
  if (write_bits & 0x40) s->flags |= QX_SF_OUT_AUTO;
  resync_stream_mode(s);
}

int qxio_push_encoding(QXIO *slot, qxio_t_coder_funcs *read_class, qxio_t_coder_funcs *write_class,
                       uint32_t options)
{
  int rc = validate_qxio_push_encoding_options(options);
  if (rc < 0) return rc;
  bool repos = options & QX_PE_REPOSITION;
  qxio_t_coder_funcs *detected = nullptr;
  if ((options & QX_PE_READ) && (options & QX_PE_BOM) &&
      qxio_detect_file_encoding(slot, &detected, 0x1) != 0)
    detected = nullptr;
  qxio_t_coder *reader = nullptr, *writer = nullptr;
  if (options & QX_PE_READ) {
    uint32_t open = QXIO_CODER_OPEN_DECODE | (repos ? QXIO_CODER_OPEN_SEEKABLE : 0) |
                    (options & QX_PE_READ_CRLF ? QXIO_CODER_OPEN_CRLF : 0) |
                    (options & QX_PE_READ_AUTO ? QXIO_CODER_OPEN_ANY_EOL : 0) |
                    (detected ? QXIO_CODER_OPEN_BOM | QXIO_CODER_OPEN_NO_UTF8_BOM : 0);
    rc = qxio_char_coder_open(detected ? detected : read_class, &reader, nullptr, open);
  }
  if (rc >= 0 && (options & QX_PE_WRITE)) {
    uint32_t open = (repos ? QXIO_CODER_OPEN_SEEKABLE : 0) |
                    (options & QX_PE_WRITE_CRLF ? QXIO_CODER_OPEN_CRLF : 0) |
                    (options & QX_PE_WRITE_AUTO ? QXIO_CODER_OPEN_ANY_EOL : 0) |
                    (options & QX_PE_BOM ? QXIO_CODER_OPEN_BOM : 0) |
                    (options & QX_PE_BOM_IF_CALLED_FOR ? QXIO_CODER_OPEN_NO_UTF8_BOM : 0);
    rc = qxio_char_coder_open(write_class, &writer, nullptr, open);
  }
  if (detected) qxio_coder_funcs_release(detected);
  if (rc >= 0) {
    qxio_t_arglist args[] = {qxio_arg_pointer(QXIO_ARG_READ_CHAR_CODER, reader),
                             qxio_arg_pointer(QXIO_ARG_WRITE_CHAR_CODER, writer), qxio_arg_end()};
    rc = qxio_push_by_name("char-coder", slot, args, repos ? QXIO_CODER_LAYER_SEEKABLE : 0);
    if (rc >= 0) return detected ? ENCODING_DETECTED : 0;
  }
  if (reader) qxio_char_coder_close(reader);
  if (writer) qxio_char_coder_close(writer);
  return rc;
}

int qx_push_encoding_term(QXIO *slot, uint32_t options, TAGGED encoding, uint32_t *read_bits,
                          uint32_t *write_bits)
{
  qx_text_setup setup;
  int rc = qx_text_setup_find(&setup, options, encoding, nullptr);
  if (rc < 0) return rc;
  /* Looking for a byte order mark would wait for input that may never come. */
  setup.push &= ~(QX_PE_BOM | QX_PE_BOM_IF_CALLED_FOR);
  setup.qxio = *slot; /* lent for the push: the caller keeps the stream whatever happens */
  rc = qx_text_setup_push(&setup, read_bits, write_bits);
  *slot = setup.qxio;
  setup.qxio = nullptr;
  return rc;
}

int qx_fopen_internal(const char *path, uint32_t options, TAGGED encoding, QX_stream **stream)
{
  if (options & QX_FO_APPEND) options |= QX_FO_WRITE;
  if (options & QX_FO_URL) options |= QX_FO_NO_EXPAND;
  if (options & QX_FO_NO_EXPAND) return open_checked(path, options, encoding, stream);
  char *expanded = qx_expand_file_name(path, nullptr, 0);
  if (!expanded) return QXIO_E_PARAMETER_ERROR;
  int rc = open_checked(expanded, options, encoding, stream);
  QX_free(expanded);
  return rc;
}

int QX_fopen(const char *path, void *, uint32_t options, QX_stream **stream)
{
  int rc =
      qx_fopen_internal(path, options & ~(QX_FO_ENCODING_TERM | QX_FO_ENCODING_REF), 0, stream);
  return rc < 0 ? rc : 0;
}

int qx_fclose_internal(QX_stream *s, uint32_t options)
{
  bool any = options & (QX_FC_INPUT | QX_FC_OUTPUT);
  bool close_in = (!any || (options & QX_FC_INPUT)) && (s->flags & QX_SF_INPUT);
  bool close_out = (!any || (options & QX_FC_OUTPUT)) && (s->flags & QX_SF_OUTPUT);
  bool force = options & QX_FC_FORCE;
  if (!close_in && !close_out) return 0;
  if (!force && close_out) {
    int rc = qx_flush_output(s, options & QX_FC_NONBLOCKING ? 0x1 : 0);
    if (rc < 0) return rc;
  }
  if (stays_open(s, options, close_in, close_out))
    return release_slots(s, options, close_in, close_out), 0;
  if (close_in) qx_drop_read_listener(s);
  if (s->qxio) {
    uint32_t close = (close_in ? QXIO_CLOSE_READ : 0) | (close_out ? QXIO_CLOSE_WRITE : 0) |
                     (options & QX_FC_NONBLOCKING ? 0x8 : 0) | (force ? QXIO_CLOSE_ABORTIVE : 0);
    int rc = qxio_close(&s->qxio, close);
    if (rc < 0) {
      if (!force) return rc; /* the slots still hold it: the stream stays as it was */
      s->qxio = nullptr;
    }
  }
  release_slots(s, options, close_in, close_out);
  s->flags &= ~((close_in ? QX_SF_INPUT : 0) | (close_out ? QX_SF_OUTPUT : 0));
  resync_stream_mode(s);
  bool in_left = s->flags & QX_SF_INPUT, out_left = s->flags & QX_SF_OUTPUT;
  if (s->flags & QX_SF_CLOSE_CLEANUP)
    run_close_cleanup(s, out_left ? "read" : in_left ? "write" : "all");
  if (in_left || out_left) {
    if (out_left) s->buf_items_counted = 0;
    return 0;
  }
  if (s->qxio) qxio_close(&s->qxio, QXIO_CLOSE_ABORTIVE);
  stream_unlink_and_free(s);
  qx_notify_stream_closed(s);
  return 2;
}

int QX_fclose(QX_stream *stream, uint32_t options)
{
  if (!(options & QX_FC_USER_CLASS)) {
    /* a stream the engine closed already (a resource's, before its deinit function) is no node */
    if (!find_stream(stream)) return QXIO_E_PARAMETER_ERROR;
    int rc = qx_fclose_internal(stream, options);
    return rc < 0 ? rc : 0;
  }
  const void *user_class = stream;
  QX_stream *root = qx_eg.root_stream_ptr;
  options &= ~QX_FC_USER_CLASS;
  auto of_class = [user_class](QX_stream *s) {
    void *data = nullptr;
    return s->qxio && qxio_get_device_user_data(&s->qxio, user_class, &data, 0) >= 0;
  };
  /* The members are listed first: a close_cleanup/2 run by one close may close others, so
   * each is looked up again before its own close. */
  std::vector<QX_stream *> members;
  for (QX_stream *s = root ? root->forward : nullptr; s && s != root; s = s->forward)
    if (of_class(s)) members.push_back(s);
  for (QX_stream *s : members) {
    if (!find_stream(s) || !of_class(s)) continue;
    int rc = qx_fclose_internal(s, options);
    if (rc < 0 && !(options & QX_FC_FORCE)) return rc;
  }
  return 0;
}

int set_stream_position(QX_stream *s, int64_t item_offset, int64_t newline_count,
                        int64_t line_length, uint32_t options)
{
  if (s->flags & QX_SF_OUTPUT) {
    int rc;
    do {
      rc = flush_output_buffer(s, 0);
    } while (rc >= 0 && s->output_buf && s->output_buf->extent > 0);
    if (rc < 0) return rc;
  }
  sync_stream_counters(s, false);
  uint32_t method = QXIO_SEEK_SET;
  if (options & QX_SP_RESET) {
    newline_count = line_length = 0;
    if (options & QX_SP_CURRENT) method = QXIO_SEEK_CUR;
    if (options & QX_SP_EOF) method = QXIO_SEEK_END;
  }
  /* A target beyond what a 64-bit offset holds fails like any other seek error. */
  if (method == QXIO_SEEK_CUR) {
    if (__builtin_add_overflow(item_offset, s->item_offset, &item_offset))
      return QXIO_E_PARAMETER_ERROR;
    method = QXIO_SEEK_SET;
  }
  int64_t isz = s->flags & QX_SF_TEXT ? 4 : 1;
  int64_t offset = item_offset;
  if (!s->qxio) {
    if (method != QXIO_SEEK_SET) return QXIO_E_SEEK_ERROR;
  } else {
    int64_t bytes = 0, byte_offset;
    if (__builtin_mul_overflow(item_offset, isz, &byte_offset)) return QXIO_E_PARAMETER_ERROR;
    int rc = qxio_seek(&s->qxio, byte_offset, &bytes, nullptr, method);
    if (rc < 0) return rc;
    offset = bytes / isz;
  }
  if (s->input_buf) qxio_buf_free(s->input_buf);
  s->input_buf = nullptr;
  s->item_offset = offset;
  s->line_length = line_length;
  s->newline_count = newline_count;
  s->buf_items_counted = 0;
  s->previous_line_length = s->previous_newline_count = -1;
  s->unget_offset = offset;
  stream_rederive_pointers(s);
  s->flags &= ~(QX_SF_AT_EOF | QX_SF_PAST_EOF);
  if (offset == s->eof_offset) {
    s->flags |= QX_SF_AT_EOF;
    s->unget_offset = 0;
  }
  return 0;
}
