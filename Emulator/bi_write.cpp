/* write/1, writeq/1 and nl/0 on the current output stream: the whole term in standard operator
 * syntax, over the primitives of the term writer.
 *
 * The walk keeps its own stack of pending pieces (a term to write within a priority, a piece of
 * punctuation, the rest of a list), so that the depth of a term costs heap, not C++ frames. Each
 * token goes through emit(), which puts a space between two tokens that would otherwise read as
 * one (two letter-digit runs, two symbol-character runs, a digit and a quote).
 */
#include <cstring>
#include <string>
#include <vector>

#include "atoms.h"
#include "builtins.h"
#include "errors.h"
#include "numbers.h"
#include "operators.h"
#include "term_writer.h"
#include "wcx.h"

namespace {

/* The fixed standard operator table. */
const op_def standard_ops[] = {
    {":-", 1200, XFX}, {"-->", 1200, XFX}, {":-", 1200, FX},  {"?-", 1200, FX},  {";", 1100, XFY},
    {"->", 1050, XFY}, {",", 1000, XFY},   {"\\+", 900, FY},  {"=", 700, XFX},   {"\\=", 700, XFX},
    {"==", 700, XFX},  {"\\==", 700, XFX}, {"@<", 700, XFX},  {"@>", 700, XFX},  {"@=<", 700, XFX},
    {"@>=", 700, XFX}, {"=..", 700, XFX},  {"is", 700, XFX},  {"=:=", 700, XFX}, {"=\\=", 700, XFX},
    {"<", 700, XFX},   {">", 700, XFX},    {"=<", 700, XFX},  {">=", 700, XFX},  {":", 200, XFY},
    {"+", 500, YFX},   {"-", 500, YFX},    {"/\\", 500, YFX}, {"\\/", 500, YFX}, {"*", 400, YFX},
    {"/", 400, YFX},   {"//", 400, YFX},   {"rem", 400, YFX}, {"mod", 400, YFX}, {"div", 400, YFX},
    {"<<", 400, YFX},  {">>", 400, YFX},   {"**", 200, XFX},  {"^", 200, XFY},   {"-", 200, FY},
    {"+", 200, FY},    {"\\", 200, FY},
};

}  // namespace

/* The operator of name with the given arity (2 infix, 1 prefix), or null. */
const op_def *find_op(TAGGED name, uint32_t arity)
{
  const char *text = atom_name(name);
  for (const op_def &op : standard_ops)
    if ((op.kind <= YFX) == (arity == 2) && std::strcmp(op.name, text) == 0) return &op;
  return nullptr;
}

namespace {

bool is_op_atom(TAGGED name) { return find_op(name, 2) || find_op(name, 1); }

/* Character kinds for the spacing between tokens. */
enum glue { G_NONE, G_ALNUM, G_SYMBOL, G_DIGIT, G_QUOTE };

glue glue_of(int32_t code)
{
  if (code >= '0' && code <= '9') return G_DIGIT;
  if (code == '\'') return G_QUOTE;
  switch (qx_char_class(code)) {
  case CH_LC:
  case CH_UC:
  case CH_UNDERSCORE:
  case CH_DIGIT: return G_ALNUM;
  case CH_SYMBOL: return G_SYMBOL;
  default: return G_NONE;
  }
}

bool glues(glue left, glue right)
{
  bool left_alnum = left == G_ALNUM || left == G_DIGIT;
  bool right_alnum = right == G_ALNUM || right == G_DIGIT;
  return (left_alnum && right_alnum) || (left == G_SYMBOL && right == G_SYMBOL) ||
         (left == G_DIGIT && right == G_QUOTE);
}

/* A pending piece of the walk. */
struct piece {
  enum { TERM, OPERAND, TEXT, LIST_REST } kind;
  int priority; /* TERM, OPERAND: the highest priority written without parentheses */
  TAGGED term;
  const char *text;
};

class term_walk {
public:
  term_walk(QX_stream *stream, bool quote)
      : stream_(stream), quote_(quote),
        portable_(qx_eg.current_quoted_charset_flag == init_atom_check("portable", 0))
  {}

  int write(TAGGED term)
  {
    stack_.push_back({piece::TERM, 1200, term, nullptr});
    while (!stack_.empty()) {
      piece p = stack_.back();
      stack_.pop_back();
      int rc = 0;
      switch (p.kind) {
      case piece::TEXT: emit(p.text); break;
      case piece::LIST_REST: list_rest(p.term); break;
      default: rc = write_term(p.term, p.priority, p.kind == piece::OPERAND);
      }
      if (rc < 0 || (rc = flush(false)) < 0) return rc;
    }
    return flush(true);
  }

private:
  QX_stream *stream_;
  bool quote_, portable_;
  std::vector<piece> stack_;
  std::string out_, atom_buffer_;
  glue last_ = G_NONE;

  void push_text(const char *text) { stack_.push_back({piece::TEXT, 0, 0, text}); }
  void push_term(TAGGED term, int priority, bool operand = false)
  {
    stack_.push_back({operand ? piece::OPERAND : piece::TERM, priority, term, nullptr});
  }

  int flush(bool all)
  {
    if (out_.empty() || (!all && out_.size() < 4096)) return 0;
    int rc = QX_put_encoded_string(stream_, out_.c_str(), 0);
    out_.clear();
    return rc < 0 ? rc : 0;
  }

  /* One token, with a space before it when it would join the previous one. */
  void emit(const char *text)
  {
    if (!*text) return;
    int32_t code;
    if (QX_wci_code(&code, text) == 0) code = 128;
    if (glues(last_, glue_of(code))) out_ += ' ';
    out_ += text;
    const char *end = text + std::strlen(text) - 1;
    while (end > text && ((unsigned char)*end & 0xC0) == 0x80) end--;
    if (QX_wci_code(&code, end) == 0) code = 128;
    last_ = glue_of(code);
  }

  void emit_atom(TAGGED name) { emit(atom_text(name, quote_, portable_, atom_buffer_)); }

  int emit_variable(TAGGED *address)
  {
    if (glues(last_, G_ALNUM)) out_ += ' ';
    int rc = flush(true);
    if (rc < 0) return rc;
    last_ = G_DIGIT;
    return print_variable(stream_, address);
  }

  /* What the operand of a prefix operator, written within max, shows first: true when that is
   * an unsigned number or an opening parenthesis, which must not follow the operator. */
  bool starts_badly(TAGGED term, int max)
  {
    for (;;) {
      term = deref(term);
      if (IsSmall(term) || IsBox(term)) return qx_number_to_string(term, 10, 0)[0] != '-';
      if (IsAtom(term)) return is_op_atom(term); /* an operand: bracketed */
      if (!IsStr(term)) return false;
      TAGGED functor = StrFunctor(term);
      uint32_t arity = Arity(functor);
      const op_def *op = arity <= 2 ? find_op(FunctorName(functor), arity) : nullptr;
      if (!op) return false;
      if (op->priority > max) return true;
      if (arity == 1) return false;
      max = op->kind == YFX ? op->priority : op->priority - 1;
      term = StrArg(term, 1);
    }
  }

  int write_term(TAGGED term, int max, bool operand)
  {
    term = deref(term);
    if (IsRef(term)) return emit_variable(RefPtr(term));
    if (IsSmall(term) || IsBox(term)) {
      emit(qx_number_to_string(term, 10, 0));
      return 0;
    }
    if (IsAtom(term)) {
      bool bracket = operand && is_op_atom(term);
      if (bracket) emit("(");
      emit_atom(term);
      if (bracket) emit(")");
      return 0;
    }
    if (IsLst(term)) {
      emit("[");
      stack_.push_back({piece::LIST_REST, 0, LstTail(term), nullptr});
      push_term(LstHead(term), 999);
      return 0;
    }
    TAGGED functor = StrFunctor(term);
    TAGGED name = FunctorName(functor);
    uint32_t arity = Arity(functor);
    if (arity == 1 && name == atom_curly) {
      emit("{");
      push_text("}");
      push_term(StrArg(term, 1), 1200);
      return 0;
    }
    const op_def *op = arity <= 2 ? find_op(name, arity) : nullptr;
    if (op && arity == 1 && starts_badly(StrArg(term, 1), op->priority - (op->kind == FX)))
      op = nullptr; /* -(1), -((a,b)): the canonical form */
    if (!op) {
      emit_atom(name);
      emit("(");
      push_text(")");
      for (uint32_t i = arity; i >= 1; i--) {
        push_term(StrArg(term, (int)i), 999);
        if (i > 1) push_text(",");
      }
      return 0;
    }
    bool bracket = op->priority > max;
    if (bracket) {
      emit("(");
      push_text(")");
    }
    int p = op->priority;
    if (arity == 1) {
      emit_atom(name);
      push_term(StrArg(term, 1), op->kind == FY ? p : p - 1, true);
      return 0;
    }
    push_term(StrArg(term, 2), op->kind == XFY ? p : p - 1, true);
    bool alpha = glue_of((unsigned char)op->name[0]) == G_ALNUM;
    if (alpha) push_text(" ");
    stack_.push_back({piece::TEXT, 0, 0, name == atom_comma ? "," : atom_name(name)});
    if (alpha) push_text(" ");
    push_term(StrArg(term, 1), op->kind == YFX ? p : p - 1, true);
    return 0;
  }

  /* After a list element: the next one, the tail or the closing bracket. */
  void list_rest(TAGGED tail)
  {
    tail = deref(tail);
    if (IsLst(tail)) {
      emit(",");
      stack_.push_back({piece::LIST_REST, 0, LstTail(tail), nullptr});
      push_term(LstHead(tail), 999);
      return;
    }
    push_text("]");
    if (tail != atom_nil) {
      push_term(tail, 999);
      push_text("|");
    }
  }
};

int write_current(worker *w, TAGGED term, bool quote, const char *name)
{
  (void)w;
  QX_stream *stream = QX_get_curout();
  uint32_t before = stream->flags & QX_SF_WRITING_TERM;
  stream->flags |= QX_SF_WRITING_TERM;
  int rc = term_walk(stream, quote).write(term);
  stream->flags = (stream->flags & ~QX_SF_WRITING_TERM) | before;
  if (rc < 0) return raise_qxio_error(rc, true, name, 1, 0);
  return 1;
}

int prolog_write1(worker *w) { return write_current(w, w->term[0], false, "write"); }

int prolog_writeq1(worker *w) { return write_current(w, w->term[0], true, "writeq"); }

int prolog_nl0(worker *w)
{
  (void)w;
  int rc = QX_put_encoded_string(QX_get_curout(), "\n", 0);
  return rc < 0 ? raise_qxio_error(rc, true, "nl", 0, 0) : 1;
}

}  // namespace

const qx_pred_row qx_bi_write_rows[] = {
    {"write", prolog_write1, 1, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"writeq", prolog_writeq1, 1, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"nl", prolog_nl0, 0, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
