/* The primitive term writer behind $write/3 and $display/2, and wr_tagged.
 *
 *   $write(+Stream, +Term, +Options)   one primitive term, quoted as Options ask
 *   $display(+Stream, +Term)           the same, never quoted
 *
 * A compound or list is written as its functor name ("." for a list pair): the Prolog writer
 * walks the term and hands each piece to these built-ins.
 */
#include "term_writer.h"

#include <string>

#include "atoms.h"
#include "builtins.h"
#include "errors.h"
#include "orvalis.h"
#include "numbers.h"
#include "wcx.h"

namespace {

/* The options compound, or 0 when options is not a compound of arity 9 or more. */
TAGGED options_compound(TAGGED options)
{
  if (!options) return 0;
  options = deref(options);
  if (!IsStr(options) || IsBox(options) || Arity(StrFunctor(options)) < 9) return 0;
  return options;
}

int put_text(QX_stream *stream, const char *text)
{
  int rc = QX_put_encoded_string(stream, text, 0);
  return rc < 0 ? rc : 0;
}

void append_hex_escape(std::string &out, uint32_t code)
{
  static const char digits[] = "0123456789ABCDEF";
  char text[8];
  int n = 0;
  do text[n++] = digits[code & 15];
  while (code >>= 4);
  out += "\\x";
  while (n > 0) out += text[--n];
  out += '\\';
}

/* The escaped form of one character inside quotes. */
void append_escaped(std::string &out, int32_t code, const char *bytes, int length, bool portable)
{
  if (code == '\'' || code == '\\') {
    out += '\\';
    out += (char)code;
    return;
  }
  if (code == ' ') {
    out += ' ';
    return;
  }
  int type = qx_char_class(code);
  if (type == CH_WHITE) {
    static const char codes[] = {7, 8, 9, 10, 11, 12, 13, 27, 127};
    static const char letters[] = "abtnvfred";
    for (int i = 0; i < 9; i++)
      if (code == codes[i]) {
        out += '\\';
        out += letters[i];
        return;
      }
    append_hex_escape(out, (uint32_t)code);
    return;
  }
  bool plain = type == CH_UNDECIDED ? !portable && qxio_unicode_nfc_quick_check_yes(code) == 1
                                    : code < 128 || !portable;
  if (plain)
    out.append(bytes, (size_t)length);
  else
    append_hex_escape(out, (uint32_t)code);
}

std::string escaped_name(const char *name, bool portable)
{
  std::string out;
  for (const char *p = name; *p;) {
    int32_t code;
    int length = QX_wci_code(&code, p);
    if (length == 0) code = 128, length = 1; /* a malformed sequence */
    append_escaped(out, code, p, length, portable);
    p += length;
  }
  return out;
}

TAGGED quoted_charset(TAGGED options)
{
  return options ? deref(StrArg(options, 8)) : qx_eg.current_quoted_charset_flag;
}

int write_checked(QX_stream *stream, TAGGED term, TAGGED options)
{
  term = deref(term);
  if (IsRef(term)) return print_variable(stream, RefPtr(term));
  if (IsSmall(term) || IsBox(term)) return print_number(stream, term, options);
  if (IsLst(term)) return put_text(stream, ".");
  TAGGED name = IsStr(term) ? FunctorName(StrFunctor(term)) : term;
  if (options && deref(StrArg(options, 1)) == atom_true) return print_atom(stream, name, options);
  return put_text(stream, atom_name(name));
}

/* The bounded recursion of wr_tagged: at most ten levels of C++ frames. */
int wr_tagged_rec(QX_stream *stream, TAGGED term, int depth)
{
  if (depth > 9) return put_text(stream, "...");
  term = deref(term);
  if (IsRef(term)) return print_variable(stream, RefPtr(term));
  if (IsAtom(term)) return print_atom(stream, term, 0);
  if (IsNumber(term)) return print_number(stream, term, 0);
  int rc;
  if (IsLst(term)) {
    if ((rc = put_text(stream, "[")) < 0) return rc;
    for (;;) {
      if ((rc = wr_tagged_rec(stream, LstHead(term), depth + 1)) < 0) return rc;
      term = deref(LstTail(term));
      if (!IsLst(term)) break;
      if ((rc = put_text(stream, ",")) < 0) return rc;
    }
    if (term != atom_nil) {
      if ((rc = put_text(stream, "|")) < 0) return rc;
      if ((rc = wr_tagged_rec(stream, term, depth + 1)) < 0) return rc;
    }
    return put_text(stream, "]");
  }
  TAGGED functor = StrFunctor(term);
  if ((rc = put_text(stream, atom_name(FunctorName(functor)))) < 0) return rc;
  for (uint32_t i = 1; i <= Arity(functor); i++) {
    if ((rc = put_text(stream, i == 1 ? "(" : ",")) < 0) return rc;
    if ((rc = wr_tagged_rec(stream, StrArg(term, (int)i), depth + 1)) < 0) return rc;
  }
  return put_text(stream, ")");
}

/* Shared body of the two built-ins; errors name errname/2. */
int write_builtin(worker *w, TAGGED options, const char *errname)
{
  QX_stream *stream = stream_to_ptr(w->term[0], QX_SM_OUTPUT | QX_SM_TEXT, 0);
  if (!stream) return raise_error(atom_prolog, init_atom_check(errname, 0), 2, 1);
  int rc = output_term(w->term[1], options, stream);
  if (rc < 0) return raise_qxio_error(rc, true, errname, 2, 1);
  return 1;
}

int prolog_write3(worker *w) { return write_builtin(w, w->term[2], "$writeq"); }

int prolog_display2(worker *w) { return write_builtin(w, 0, "$write"); }

}  // namespace

int output_term(TAGGED term, TAGGED options, QX_stream *stream)
{
  uint32_t before = stream->flags & QX_SF_WRITING_TERM;
  stream->flags |= QX_SF_WRITING_TERM;
  int rc = write_checked(stream, term, options_compound(options));
  stream->flags = (stream->flags & ~QX_SF_WRITING_TERM) | before;
  return rc;
}

int print_variable(QX_stream *stream, const TAGGED *address)
{
  std::string text = "_" + std::to_string((address - qx_w->heap_start));
  return put_text(stream, text.c_str());
}

int print_number(QX_stream *stream, TAGGED number, TAGGED options)
{
  const char *text = qx_number_to_string(number, 10, options_compound(options));
  return text ? put_text(stream, text) : 0;
}

int print_atom(QX_stream *stream, TAGGED atom_word, TAGGED options)
{
  options = options_compound(options);
  bool portable = quoted_charset(options) == init_atom_check("portable", 0);
  std::string buffer;
  return put_text(stream, atom_text(atom_word, true, portable, buffer));
}

const char *atom_text(TAGGED atom_word, bool quote, bool portable, std::string &buffer)
{
  const atom *record = atom_record(atom_word);
  if (!quote || (!record->needs_quoting && (record->is_ascii || !portable))) return record->name;
  bool escaping = record->needs_escaping || (!record->is_ascii && portable);
  buffer.assign(1, '\'');
  buffer += escaping ? escaped_name(record->name, portable) : std::string(record->name);
  buffer += '\'';
  return buffer.c_str();
}

void wr_tagged(TAGGED term)
{
  QX_stream *stream = qx_eg.stream_user_error;
  if (!stream) return;
  if (wr_tagged_rec(stream, term, 0) >= 0) put_text(stream, "\n");
  qx_ttyflush();
}

void QX_write_term(QX_term_ref t)
{
  QX_stream *stream = qx_eg.output_stream_ptr;
  if (stream) wr_tagged_rec(stream, qx_ref_term(t), 0);
}

const qx_pred_row qx_term_writer_rows[] = {
    {"$write", prolog_write3, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$display", prolog_display2, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
