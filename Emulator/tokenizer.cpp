/* The term tokenizer: $read_token(+Ch0, +PrevKind, -Token, -Ch1, -Kind, -Line) reads one token of
 * Prolog text from the current input stream. Lexical errors come back as a negative Kind with
 * the best token the text allows; stream errors are raised; a read that a signal interrupts
 * runs the pending events and goes on, keeping what the token already holds. */
#include <cstring>

#include "atoms.h"
#include "builtins.h"
#include "chconv.h"
#include "errors.h"
#include "memman.h"
#include "numbers.h"
#include "objareas.h"
#include "orvalis.h"
#include "streams.h"
#include "termops.h"
#include "tokenizer.h"
#include "unify.h"
#include "wam.h"
#include "wam_internal.h"
#include "wcx.h"

namespace {

enum tok_status {
  IO_ERROR = -10,
  ESCAPE_SYNTAX_ERR = -11,
  ESCAPE_DIGIT_ERR = -12,
  ESCAPE_VALUE_ERR = -13,
  LAYOUT_IN_QUOTES_ERR = -14,
  EOF_IN_QUOTES_ERR = -15,
  EOF_IN_CHARCODE_ERR = -16,
  EOF_IN_COMMENT_ERR = -17,
  CHARCODE_SYNTAX_ERR = -18,
  BASED_SYNTAX_ERR = -20,
  FLOAT_SYNTAX_ERR = -21,
  FLOAT_OVERFLOW_ERR = -22,
  UNDECIDED_CHAR_IN_QUOTES_ERR = -24,
  UNDECIDED_CHAR_ERR = -25,
};

/* The escape state shared by the two escape routines. */
int32_t escape_value;
int escape_log_base = -1;
int escape_flags;

/* Token text: a buffer on the caller's stack, moved to a growing block when outgrown. */
struct token_buffer {
  char local[512];
  char *data = local;
  size_t size = sizeof local, used = 0;
  ~token_buffer()
  {
    if (data != local) QX_free(data);
  }
  bool failed = false; /* a block could not be had: the token is cut short */
  bool ensure_buffer(size_t more)
  {
    if (used + more < size) return true; /* one byte kept for the closing NUL */
    if (failed) return false;
    size_t grown = size * 2;
    while (grown <= used + more) grown *= 2;
    char *block = (char *)(data == local ? QX_malloc(grown) : QX_realloc(data, grown));
    if (!block) return !(failed = true);
    if (data == local) std::memcpy(block, local, used);
    data = block;
    size = grown;
    return true;
  }
  void byte(char c)
  {
    if (ensure_buffer(1)) data[used++] = c;
  }
  void text_code(int32_t code) /* the internal encoding */
  {
    if (ensure_buffer(6)) used += (size_t)QX_code_wci(data + used, code);
  }
  void code32(int32_t code)
  {
    if (!ensure_buffer(4)) return;
    std::memcpy(data + used, &code, 4);
    used += 4;
  }
  const char *text()
  {
    data[used] = '\0';
    return data;
  }
};

constexpr int ABORT = -1000; /* the call ends: an error was raised or events failed */

/* At least `words` free heap words, the six arguments kept across a collection. */
void heap_room(worker *w, uint32_t words)
{
  if (qx_heap_short(w, words + 256)) call_overflow(w, words + 256, 6);
}

/* The existence error of a stream that an event closed while the read waited on it. */
int stream_gone(worker *w, QX_stream *s)
{
  heap_room(w, 8);
  save_error(QX_ERR_EXISTENCE, "stream", make_int64(w, (int32_t)(intptr_t)s));
  return raise_error(atom_prolog, init_atom_check("$read_token", 0), 6, 0);
}

struct reader {
  worker *w;
  QX_stream *s;
  bool conv_on;  /* conversion active for the call */
  bool conv;     /* conversion active now */
  int32_t raw;   /* the last code read, before conversion */
  int32_t saved; /* term reference block of the arguments, for event runs */

  /* The next code (converted when active), -1 at end of file, or ABORT. */
  int32_t next()
  {
    int32_t c;
    for (;;) {
      if (s->pub.input_text.ptr < s->pub.input_text.limit) {
        c = (int32_t)*s->pub.input_text.ptr++;
        break;
      }
      c = qx_get_code_helper(s, 0);
      if (c >= -1) break;
      if (c != QXIO_E_INTERRUPTED) {
        raise_qxio_error(c, false, "$read_token", 6, 0);
        return ABORT;
      }
      if (qx_run_pending_events("$read_token", 6) <= 0) return ABORT;
      if (!qx_restore_arguments(w, saved, 6)) return ABORT;
      if (!find_stream(s)) return stream_gone(w, s), ABORT; /* a handler closed it */
    }
    raw = c;
    return conv && c >= 0 ? conv_char(c) : c;
  }
};

int char_class(int32_t c) { return c < 0 ? CH_WHITE : qx_char_type(c); }
bool alnum(int32_t c)
{
  int k = char_class(c);
  return c >= 0 && (k == CH_LC || k == CH_UC || k == CH_DIGIT || c == '_');
}

}  // namespace

int first_iso_escape_char(int32_t c)
{
  static const char letters[] = "abdefnrtv";
  static const char values[] = {7, 8, 127, 27, 12, 10, 13, 9, 11};
  escape_log_base = -1;
  if (c > 0 && c < 128) {
    const char *l = std::strchr(letters, (int)c);
    if (l) return values[l - letters];
  }
  if (c == '\\' || c == '\'' || c == '"' || c == '`') return c;
  if (c >= '0' && c <= '7') {
    escape_value = c - '0', escape_log_base = 3, escape_flags = 0;
    return IO_ERROR;
  }
  if (c == 'x') {
    escape_value = 0, escape_log_base = 4, escape_flags = 1;
    return IO_ERROR;
  }
  return ESCAPE_SYNTAX_ERR;
}

int next_iso_escape_char(int32_t c, int cls)
{
  if (escape_flags == 4) {
    escape_log_base = -1;
    return ESCAPE_VALUE_ERR;
  }
  int digit = cls == CH_LC ? c - 87 : cls == CH_UC ? c - 55 : cls == CH_DIGIT ? c - 48 : -1;
  if (cls == CH_SYMBOL) {
    if (c != '\\' || (escape_flags & 1)) {
      escape_log_base = -1;
      return ESCAPE_DIGIT_ERR;
    }
    if ((escape_flags & 2) || escape_value < 0) {
      escape_flags = 4;
      return IO_ERROR;
    }
    escape_log_base = -1;
    return escape_value;
  }
  if (digit < 0 || digit >= (1 << escape_log_base)) {
    escape_log_base = -1;
    return ESCAPE_DIGIT_ERR;
  }
  if (escape_value > (2147483647 >> escape_log_base)) escape_flags |= 2;
  escape_value = (int32_t)(((uint32_t)escape_value << escape_log_base) + (uint32_t)digit);
  escape_flags &= ~1;
  return IO_ERROR;
}

namespace {

/* A token ready to be built. */
struct token {
  enum { ATOM, NAME, VAR, NUMBER, NUMBER_TEXT, STRING, SPECIAL, END, CODE } form = NAME;
  TAGGED atom = 0;
  int32_t hash = 0, code = 0;
  int kind = 0;
};

/* An escape sequence from c, the character after the backslash: its value or a negative
 * status (ABORT when the call ended). c is left on the last character read; *again is set when
 * that character is not part of the escape and must be read again. The characters of the escape
 * are appended to seen when given. */
int32_t read_escape(reader &r, int32_t &c, bool *again, token_buffer *seen)
{
  int32_t v = first_iso_escape_char(c);
  if (seen && c >= 0) seen->text_code(c);
  while (v == IO_ERROR) {
    c = r.next();
    if (c == ABORT) return ABORT;
    if (c == -1) {
      *again = true;
      return ESCAPE_DIGIT_ERR;
    }
    v = next_iso_escape_char(c, char_class(c));
    /* A failed digit is read again, except the backslash that closed an empty escape. */
    if (v == ESCAPE_VALUE_ERR || (v == ESCAPE_DIGIT_ERR && c != '\\'))
      *again = true;
    else if (seen)
      seen->text_code(c);
  }
  return v;
}

int build(worker *w, token &t, token_buffer &buf, int32_t ch1, int line, TAGGED dq)
{
  heap_room(w, 8); /* a boxed Ch1 */
  TAGGED tok;
  switch (t.form) {
  case token::NAME:
  case token::ATOM:
  case token::NUMBER_TEXT: {
    TAGGED a = t.atom ? t.atom : init_atom_check(buf.text(), 0);
    if (!a) return qx_resource_error(w, "atoms");
    heap_room(w, 8);
    tok =
        t.form == token::ATOM
            ? a
            : qx_make_struct(
                  w, MakeFunctor(init_atom_check(t.form == token::NAME ? "atom" : "number", 0), 1),
                  {a});
    break;
  }
  case token::VAR:
  case token::STRING: {
    size_t n = buf.used / 4;
    bool codes = t.form == token::VAR || dq == init_atom_check("codes", 0);
    TAGGED list =
        qx_n_ints_to_list(w, n, (const int32_t *)(void *)buf.data, atom_nil, codes, 16, 6);
    if (!list) return qx_resource_error(w, "atoms");
    if (t.form == token::VAR) {
      TAGGED v = MakeRef(w->global_top);
      *w->global_top = v;
      w->global_top++;
      tok = qx_make_struct(w, MakeFunctor(init_atom_check("var", 0), 3),
                           {MakeSmall(t.hash), list, v});
    } else {
      tok = qx_make_struct(w, MakeFunctor(init_atom_check("string", 0), 1), {list});
    }
    break;
  }
  case token::NUMBER: {
    int status = 0;
    buf.text();
    heap_room(w, (uint32_t)(buf.used / 8 + 16));
    TAGGED n = qx_string_to_number(w, buf.data, 10, &status);
    if (!n) {
      t.kind = status == QX_NUMBER_OVERFLOW ? FLOAT_OVERFLOW_ERR : FLOAT_SYNTAX_ERR;
      TAGGED a = init_atom_check(buf.data, 0);
      if (!a) return qx_resource_error(w, "atoms");
      n = a;
    }
    tok = qx_make_struct(w, MakeFunctor(init_atom_check("number", 0), 1), {n});
    break;
  }
  case token::CODE: tok = MakeSmall(t.code); break;
  default: tok = t.atom; break;
  }
  TAGGED ch = ch1 >= 0 && !SmallFits(ch1) ? make_int64(w, ch1) : MakeSmall(ch1);
  return cunify(w, w->term[2], tok) && cunify(w, w->term[3], ch) &&
         cunify(w, w->term[4], MakeSmall(t.kind)) && cunify(w, w->term[5], MakeSmall(line));
}

int line_now(QX_stream *s)
{
  int64_t lines = 0, position = 0;
  if (QX_get_stream_counts(s, nullptr, &lines, &position, 0) < 0) return 0;
  return (int)(lines + (position > 0 ? 1 : 0));
}

bool digit_of_base(int32_t c, int base)
{
  if (base == 16) return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  return c >= '0' && c < '0' + base;
}

/* One token from c (the converted lookahead, raw its code as read). Answers 1 with t, *ch1 and
 * *line filled, 0 to fail, ABORT when an error was raised. */
int scan(reader &r, int32_t &c, int prev_kind, token &t, token_buffer &buf, int32_t *ch1, int *line,
         TAGGED dq)
{
  worker *w = r.w;
  (void)w;
#define NEXT()                                                                                     \
  do {                                                                                             \
    c = r.next();                                                                                  \
    if (c == ABORT) return ABORT;                                                                  \
  } while (0)
  if (c == -1) {
    *line = line_now(r.s), t.form = token::SPECIAL, t.atom = atom_nil, t.kind = -1, *ch1 = -1;
    return 1;
  }
  if (c == '(' && prev_kind == 1) {
    *line = line_now(r.s), t.form = token::SPECIAL, t.atom = init_atom_check("(", 0);
    NEXT();
    *ch1 = r.raw;
    return 1;
  }
  for (;;) {
    *line = line_now(r.s);
    if (c == -1) {
      t.form = token::SPECIAL, t.atom = atom_nil, t.kind = -1, *ch1 = -1;
      return 1;
    }
    int k = char_class(c);
    if (k == CH_WHITE) {
      NEXT();
      continue;
    }
    if (k == CH_PERCENT) {
      while (c != 10 && c != -1) NEXT();
      if (c == -1) {
        t.form = token::SPECIAL, t.atom = atom_nil, t.kind = -2, *ch1 = -1;
        return 1;
      }
      NEXT();
      continue;
    }
    if (c == '/') {
      NEXT();
      if (c == '*') {
        int32_t prev = 0;
        for (;;) {
          NEXT();
          if (c == -1) {
            t.form = token::NAME, t.atom = init_atom_check("", 0), t.kind = EOF_IN_COMMENT_ERR;
            *ch1 = -1;
            return 1;
          }
          if (prev == '*' && c == '/') break;
          prev = c;
        }
        NEXT();
        continue;
      }
      buf.byte('/');
      while (c >= 0 && char_class(c) == CH_SYMBOL) {
        buf.text_code(c);
        NEXT();
      }
      t.form = token::NAME, t.kind = 1, *ch1 = r.raw;
      return 1;
    }
    switch (k) {
    case CH_LC:
    case CH_SYMBOL:
    case CH_SOLO: {
      if (c == '.') {
        int32_t dot = r.raw;
        NEXT();
        if (c == -1 || c == '%' || char_class(c) == CH_WHITE) {
          t.form = token::SPECIAL, t.atom = init_atom_check(".", 0), *ch1 = r.raw;
          (void)dot;
          return 1;
        }
        buf.byte('.');
      } else {
        buf.text_code(c);
        NEXT();
      }
      if (k == CH_LC)
        while (alnum(c)) {
          buf.text_code(c);
          NEXT();
        }
      else if (k == CH_SYMBOL)
        while (c >= 0 && char_class(c) == CH_SYMBOL) {
          buf.text_code(c);
          NEXT();
        }
      t.form = token::NAME, t.kind = 1, *ch1 = r.raw;
      return 1;
    }
    case CH_BANG:
    case CH_SEMICOLON:
      t.form = token::NAME, t.atom = init_atom_check(c == '!' ? "!" : ";", 0), t.kind = 1;
      NEXT();
      *ch1 = r.raw;
      return 1;
    case CH_UC:
    case CH_UNDERSCORE: {
      uint32_t h = 0;
      while (alnum(c)) {
        h = 16 * h + (uint32_t)c;
        if (h >= (1u << 28)) {
          uint32_t g = h & 0xF0000000u;
          h ^= g;
          h ^= g >> 28;
        }
        buf.code32(c);
        NEXT();
      }
      t.form = token::VAR, t.hash = (int32_t)h, *ch1 = r.raw;
      return 1;
    }
    case CH_LPAR:
    case CH_LBRACK:
    case CH_LBRACE:
    case CH_COMMA:
    case CH_BAR:
    case CH_RPAR:
    case CH_RBRACK:
    case CH_RBRACE: {
      char text[2] = {(char)c, 0};
      t.form = token::SPECIAL;
      t.atom = c == '(' ? init_atom_check(" (", 0) : init_atom_check(text, 0);
      t.kind = k == CH_RPAR || k == CH_RBRACK || k == CH_RBRACE ? 1 : 0;
      NEXT();
      *ch1 = r.raw;
      return 1;
    }
    case CH_UNDECIDED:
      t.form = token::CODE, t.code = c, t.kind = UNDECIDED_CHAR_ERR;
      NEXT();
      *ch1 = r.raw;
      return 1;
    case CH_SQUOTE:
    case CH_BACKQUOTE:
    case CH_DQUOTE: {
      int32_t q = c;
      bool as_codes = q == '"' && dq != init_atom_check("atom", 0);
      r.conv = r.conv_on && r.raw != c;
      int status = 0;
      NEXT();
      for (;;) {
        if (c == -1) {
          status = EOF_IN_QUOTES_ERR;
          break;
        }
        int32_t v = c;
        if (c == q) {
          NEXT();
          if (c != q) break;
        } else if (c == '\\') {
          NEXT();
          if (c == 10) {
            NEXT();
            continue;
          }
          if (c == -1) {
            status = ESCAPE_SYNTAX_ERR;
            continue;
          }
          bool again = false;
          v = read_escape(r, c, &again, nullptr);
          if (v == ABORT) return ABORT;
          if (v < 0) {
            status = v;
            if (!again) NEXT();
            continue;
          }
          if (as_codes)
            buf.code32(v);
          else
            buf.text_code(v);
          NEXT();
          continue;
        } else {
          int cls = char_class(c);
          if (cls == CH_WHITE && c != ' ') status = LAYOUT_IN_QUOTES_ERR;
          if (cls == CH_UNDECIDED && qxio_unicode_non_private_abstract_char(c) != 1)
            status = UNDECIDED_CHAR_IN_QUOTES_ERR;
        }
        if (as_codes)
          buf.code32(v);
        else
          buf.text_code(v);
        NEXT();
      }
      r.conv = r.conv_on;
      *ch1 = r.raw;
      t.form = as_codes ? token::STRING : token::NAME;
      t.kind = status ? status : q == '"' ? 0 : 1;
      return 1;
    }
    case CH_DIGIT: return -2; /* numbers: scan_number */
    default: return 0;
    }
  }
#undef NEXT
}

bool is_digit(int32_t c) { return c >= 0 && char_class(c) == CH_DIGIT; }

/* A number from its first digit c. */
int scan_number(reader &r, int32_t c, token &t, token_buffer &buf, int32_t *ch1)
{
#define NEXT()                                                                                     \
  do {                                                                                             \
    c = r.next();                                                                                  \
    if (c == ABORT) return ABORT;                                                                  \
  } while (0)
  t.form = token::NUMBER;
  buf.byte((char)c);
  bool zero = c == '0';
  NEXT();
  if (zero && c == '\'') {
    buf.byte('\'');
    t.form = token::NUMBER_TEXT;
    r.conv = r.conv_on && r.raw != c;
    NEXT();
    if (c == -1) {
      t.kind = EOF_IN_CHARCODE_ERR;
    } else if (c == '\'') {
      buf.byte('\'');
      NEXT();
      if (c == '\'') {
        t.form = token::CODE, t.code = 39;
        NEXT();
      } else
        t.kind = CHARCODE_SYNTAX_ERR;
    } else if (c == '\\') {
      buf.byte('\\');
      NEXT();
      bool again = false;
      int32_t v = read_escape(r, c, &again, &buf);
      if (v == ABORT) return ABORT;
      if (v < 0)
        t.kind = v;
      else
        t.form = token::CODE, t.code = v;
      if (!again && c != -1) NEXT();
    } else if (char_class(c) == CH_WHITE && c != ' ') {
      t.kind = CHARCODE_SYNTAX_ERR;
    } else {
      t.form = token::CODE, t.code = c;
      NEXT();
    }
    r.conv = r.conv_on;
    if (t.form == token::CODE) t.form = token::NUMBER_TEXT, t.atom = MakeSmall(t.code);
    *ch1 = r.raw;
    return 1;
  }
  if (zero && (c == 'b' || c == 'o' || c == 'x')) {
    int base = c == 'b' ? 2 : c == 'o' ? 8 : 16;
    buf.byte((char)c);
    NEXT();
    if (!digit_of_base(c, base)) {
      t.form = token::NUMBER_TEXT, t.kind = BASED_SYNTAX_ERR, *ch1 = r.raw;
      return 1;
    }
    while (digit_of_base(c, base)) {
      buf.byte((char)c);
      NEXT();
    }
    *ch1 = r.raw;
    return 1;
  }
  while (is_digit(c)) {
    buf.byte((char)c);
    NEXT();
  }
  if (c != '.') {
    *ch1 = r.raw;
    return 1;
  }
  int32_t dot = r.raw;
  NEXT();
  if (!is_digit(c)) {
    *ch1 = dot;
    return QX_unget_code(r.s, r.raw) < 0 ? -3 : 1;
  }
  buf.byte('.');
  while (is_digit(c)) {
    buf.byte((char)c);
    NEXT();
  }
  if (c != 'e' && c != 'E') {
    *ch1 = r.raw;
    return 1;
  }
  int32_t letter = c, letter_raw = r.raw;
  NEXT();
  if (c == '+' || c == '-') {
    int32_t sign = c, sign_raw = r.raw;
    NEXT();
    if (!is_digit(c)) {
      *ch1 = sign_raw, t.kind = 37 - letter;
      return QX_unget_code(r.s, r.raw) < 0 ? -3 : 1;
    }
    buf.byte((char)letter), buf.byte((char)sign);
  } else if (is_digit(c)) {
    buf.byte((char)letter);
  } else {
    *ch1 = letter_raw;
    return QX_unget_code(r.s, r.raw) < 0 ? -3 : 1;
  }
  while (is_digit(c)) {
    buf.byte((char)c);
    NEXT();
  }
  *ch1 = r.raw;
  return 1;
#undef NEXT
}

}  // namespace

int prolog_read_token(worker *w)
{
  QX_stream *s = qx_eg.input_stream_ptr;
  if (!s || !(s->mode & QX_SM_TEXT))
    return raise_qxio_error(s ? QXIO_E_GRANULARITY_ERROR : QXIO_E_PARAMETER_ERROR, false,
                            "$read_token", 6, 0);
  int64_t ch0 = 0, prev = 0;
  if (!qx_get_int64(deref(w->term[0]), &ch0) || !qx_get_int64(deref(w->term[1]), &prev)) return 0;
  escape_log_base = -1;
  QX_term_ref saved = qx_save_arguments(w, 6);
  bool on = qx_eg.current_char_conversion == init_atom_check("on", 0);
  reader r{w, s, on, on, (int32_t)ch0, (int32_t)saved};
  int32_t c = on && ch0 >= 0 ? conv_char((int32_t)ch0) : (int32_t)ch0;
  token t;
  token_buffer buf;
  int32_t ch1 = -1;
  int line = 0;
  TAGGED dq = qx_eg.current_double_quotes;
  int rc = scan(r, c, (int)prev, t, buf, &ch1, &line, dq);
  if (rc == -2) rc = scan_number(r, c, t, buf, &ch1);
  if (!qx_restore_arguments(w, saved, 6)) rc = 0;
  QX_reset_term_refs(saved);
  if (rc == -3) return raise_qxio_error(QXIO_E_PARAMETER_ERROR, false, "$read_token", 6, 0);
  if (rc <= 0) return 0;
  if (t.form == token::NUMBER_TEXT && t.atom && IsSmall(t.atom)) {
    heap_room(w, 8);
    TAGGED tok = qx_make_struct(w, MakeFunctor(init_atom_check("number", 0), 1), {t.atom});
    TAGGED ch = !SmallFits(ch1) ? make_int64(w, ch1) : MakeSmall(ch1);
    return cunify(w, w->term[2], tok) && cunify(w, w->term[3], ch) &&
           cunify(w, w->term[4], MakeSmall(t.kind)) && cunify(w, w->term[5], MakeSmall(line));
  }
  if (buf.failed) return qx_resource_error(w, "memory");
  return build(w, t, buf, ch1, line, dq);
}

const qx_pred_row qx_tokenizer_rows[] = {
    {"$read_token", prolog_read_token, 6, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
