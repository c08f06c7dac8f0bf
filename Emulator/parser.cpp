/* The term reader: an operator-precedence parser over $read_token/6. Its pending work (an
 * argument list, a list, a bracketed term, an operator waiting for its right operand) lives on an
 * explicit stack, so that the depth of a term costs heap, not C++ frames. The terms on its stacks
 * are collector roots while it reads (a walker names them), so reading may collect. */
#include "parser.h"

#include <string>
#include <vector>

#include "atoms.h"
#include "builtins.h"
#include "errors.h"
#include "gc.h"
#include "orvalis.h"
#include "unify.h"
#include "numbers.h"
#include "operators.h"
#include "streams.h"
#include "tokenizer.h"
#include "wam_internal.h"
#include "wcx.h"

namespace {

struct token {
  enum { NAME, PUNCT, VAR, STRING, NUMBER, END, BAD } form = BAD;
  TAGGED value = 0;   /* the atom, variable, code list or number */
  std::string name;   /* a variable's name */
  int32_t after = -1; /* the character after the token */
};

/* A piece of pending work on the parser's stack. */
struct frame {
  enum Kind { TOP, EXPR, PREFIX, INFIX, ARGS, LIST, TAIL, PAREN, CURLY } kind;
  int max;     /* EXPR: the highest priority allowed; PREFIX, INFIX: the operator's */
  TAGGED name; /* PREFIX, INFIX, ARGS: the functor's name */
  TAGGED left; /* INFIX: the left operand */
  size_t base; /* ARGS, LIST: where its items start on the item stack */
};

class parser {
public:
  parser(worker *w, QX_stream *s, int32_t ch) : w_(w), s_(s), ch_(ch)
  {
    qx_gc_add_walker(roots, this);
  }
  ~parser() { qx_gc_remove_walker(this); }
  parser(const parser &) = delete;
  parser &operator=(const parser &) = delete;

  int32_t ch() const { return ch_; }
  int line(int rc) const { return rc == 1 ? first_line_ : last_line_; }

  int read(TAGGED *term, TAGGED *vars)
  {
    stack_.push_back({frame::TOP, 0, 0, 0, 0});
    if (!start(1200)) return at_end_ ? -1 : 0;
    for (;;) {
      frame &f = stack_.back();
      switch (f.kind) {
      case frame::TOP: {
        if (!next(tok_) || tok_.form != token::END) return 0;
        int rc = make_var_list(vars); /* first: making room may move the result */
        *term = result_;
        return rc;
      }
      case frame::EXPR: {
        if (!peek()) return 0;
        const op_def *op = infix_of(ahead_);
        int left_max = op ? (op->kind == YFX ? op->priority : op->priority - 1) : 0;
        if (op && op->priority <= f.max && prec_ <= left_max) {
          TAGGED name = ahead_.form == token::PUNCT ? atom_comma : ahead_.value;
          has_ahead_ = false;
          stack_.push_back({frame::INFIX, op->priority, name, result_, 0});
          if (!start(op->kind == XFY ? op->priority : op->priority - 1)) return 0;
          continue;
        }
        if (prec_ > f.max) return 0;
        stack_.pop_back();
        continue;
      }
      case frame::PREFIX:
        room(2);
        result_ = qx_make_struct(w_, MakeFunctor(f.name, 1), {result_});
        prec_ = f.max;
        stack_.pop_back();
        continue;
      case frame::INFIX:
        room(3);
        result_ = qx_make_struct(w_, MakeFunctor(f.name, 2), {f.left, result_});
        prec_ = f.max;
        stack_.pop_back();
        continue;
      case frame::ARGS:
      case frame::LIST: {
        items_.push_back(result_);
        if (!next(tok_) || tok_.form != token::PUNCT) return 0;
        TAGGED p = tok_.value;
        if (p == atom_comma) {
          if (!start(999)) return 0;
          continue;
        }
        if (f.kind == frame::ARGS && p == close_paren_) {
          finish_compound(f);
          continue;
        }
        if (f.kind == frame::LIST && (p == close_bracket_ || p == bar_)) {
          if (p == bar_) {
            f.kind = frame::TAIL;
            if (!start(999)) return 0;
            continue;
          }
          finish_list(f, false);
          continue;
        }
        return 0;
      }
      case frame::TAIL:
        if (!next(tok_) || tok_.form != token::PUNCT || tok_.value != close_bracket_) return 0;
        finish_list(f, true);
        continue;
      case frame::PAREN:
      case frame::CURLY: {
        TAGGED closing = f.kind == frame::PAREN ? close_paren_ : close_brace_;
        if (!next(tok_) || tok_.form != token::PUNCT || tok_.value != closing) return 0;
        if (f.kind == frame::CURLY) {
          room(2);
          result_ = qx_make_struct(w_, MakeFunctor(atom_curly, 1), {result_});
        }
        prec_ = 0;
        stack_.pop_back();
        continue;
      }
      }
    }
  }

private:
  worker *w_;
  QX_stream *s_;
  int32_t ch_;
  int prev_kind_ = 0;
  std::vector<frame> stack_;
  std::vector<TAGGED> items_;
  std::vector<std::pair<std::string, TAGGED>> names_;
  token tok_, ahead_;
  bool has_ahead_ = false;
  bool read_any_ = false; /* whether a token came before */
  bool at_end_ = false;   /* whether end of file came before any token */
  TAGGED result_ = 0;
  int prec_ = 0;
  int first_line_ = 0, last_line_ = 0; /* of the first token and of the last one read */
  const TAGGED open_paren_ = init_atom_check("(", 0), open_paren_layout_ = init_atom_check(" (", 0),
               close_paren_ = init_atom_check(")", 0), open_bracket_ = init_atom_check("[", 0),
               close_bracket_ = init_atom_check("]", 0), open_brace_ = init_atom_check("{", 0),
               close_brace_ = init_atom_check("}", 0), bar_ = init_atom_check("|", 0),
               end_ = init_atom_check(".", 0), f_atom_ = MakeFunctor(init_atom_check("atom", 0), 1),
               f_var_ = MakeFunctor(init_atom_check("var", 0), 3),
               f_string_ = MakeFunctor(init_atom_check("string", 0), 1),
               f_number_ = MakeFunctor(init_atom_check("number", 0), 1),
               f_eq_ = MakeFunctor(init_atom_check("=", 0), 2);

  void room(uint32_t words) { qx_heap_room(w_, words); }

  /* The term words the parser holds: its stacks, the tokens and the result so far. */
  static void roots(void *data, qx_gc_slots &slots)
  {
    parser *p = (parser *)data;
    for (frame &f : p->stack_) slots.push_back(&f.left);
    for (TAGGED &t : p->items_) slots.push_back(&t);
    for (auto &n : p->names_) slots.push_back(&n.second);
    for (TAGGED *t : {&p->tok_.value, &p->ahead_.value, &p->result_}) slots.push_back(t);
  }

  /* One token from the tokenizer; false on a lexical error or a raised error. */
  bool next(token &t)
  {
    if (has_ahead_) {
      t = ahead_;
      has_ahead_ = false;
      return t.form != token::BAD;
    }
    t = token();
    room(4 + 8);
    TAGGED outs[4]; /* Token, Ch1, Kind and Line: roots, the tokenizer may collect */
    for (TAGGED &v : outs) {
      v = MakeRef(w_->global_top);
      *w_->global_top++ = v;
    }
    qx_gc_root keep(outs, 4);
    w_->term[0] = ch_ >= 0 && !SmallFits(ch_) ? make_int64(w_, ch_) : MakeSmall(ch_);
    w_->term[1] = MakeSmall(prev_kind_);
    for (int i = 0; i < 4; i++) w_->term[2 + i] = outs[i];
    QX_stream *before = qx_eg.input_stream_ptr;
    qx_eg.input_stream_ptr = s_;
    int rc = prolog_read_token(w_);
    /* A signal handler run by the read may have closed the stream that was current input. */
    qx_eg.input_stream_ptr = !before || find_stream(before) ? before : qx_eg.stream_user_input;
    if (!rc) return false;
    TAGGED out = outs[0], ch1 = outs[1], kind = outs[2];
    last_line_ = (int)GetSmall(deref(outs[3]));
    if (!read_any_) first_line_ = last_line_;
    int64_t c = 0;
    qx_get_int64(deref(ch1), &c);
    ch_ = t.after = (int32_t)c;
    int k = (int)GetSmall(deref(kind));
    prev_kind_ = k;
    at_end_ = !read_any_ && (k == -1 || k == -2);
    read_any_ = true;
    if (k < 0) return false; /* a lexical error, or end of file before the end token */
    TAGGED v = deref(out);
    if (IsAtom(v)) {
      t.form = v == end_ ? token::END : token::PUNCT;
      t.value = v;
      return true;
    }
    if (!IsStr(v)) return false;
    TAGGED f = StrFunctor(v), arg = deref(StrArg(v, 1));
    t.value = arg;
    if (f == f_atom_)
      t.form = token::NAME;
    else if (f == f_number_)
      t.form = token::NUMBER;
    else if (f == f_string_)
      t.form = token::STRING;
    else if (f == f_var_) {
      t.form = token::VAR;
      t.value = StrArg(v, 3);
      char buf[8];
      for (TAGGED l = deref(StrArg(v, 2)); IsLst(l); l = deref(LstTail(l))) {
        buf[QX_code_wci(buf, (int32_t)GetSmall(deref(LstHead(l))))] = 0;
        t.name += buf;
      }
    }
    return true;
  }

  bool peek()
  {
    if (has_ahead_) return ahead_.form != token::BAD;
    if (!next(ahead_)) ahead_.form = token::BAD;
    has_ahead_ = true;
    return ahead_.form != token::BAD;
  }

  const op_def *infix_of(const token &t)
  {
    if (t.form == token::PUNCT) return t.value == atom_comma ? find_op(atom_comma, 2) : nullptr;
    return t.form == token::NAME && t.value != atom_comma ? find_op(t.value, 2) : nullptr;
  }

  /* Whether t ends an operand: a prefix operator before it stands as an atom. */
  bool ends_operand(const token &t)
  {
    if (t.form == token::END) return true;
    if (t.form == token::PUNCT)
      return t.value == close_paren_ || t.value == close_bracket_ || t.value == close_brace_ ||
             t.value == bar_ || t.value == atom_comma;
    /* An infix operator in functional notation starts an operand. */
    return infix_of(t) && !find_op(t.value, 1) && t.after != '(';
  }

  /* Whether t, after an operand, ends an argument of a compound or an element of a list. */
  bool whole_argument(const token &t)
  {
    if (stack_.size() < 2 || t.form != token::PUNCT) return false;
    frame::Kind around = stack_[stack_.size() - 2].kind;
    if (around == frame::ARGS) return t.value == atom_comma || t.value == close_paren_;
    if (around == frame::LIST)
      return t.value == atom_comma || t.value == bar_ || t.value == close_bracket_;
    return around == frame::TAIL && t.value == close_bracket_;
  }

  /* A term within max: the first primary, its frames pushed for what follows. */
  bool start(int max)
  {
    for (;;) {
      stack_.push_back({frame::EXPR, max, 0, 0, 0});
      if (!next(tok_)) return false;
      prec_ = 0;
      switch (tok_.form) {
      case token::NUMBER:
      case token::STRING: result_ = tok_.value; return true;
      case token::VAR: result_ = variable(tok_); return true;
      case token::NAME: {
        TAGGED name = tok_.value;
        int32_t after = tok_.after;
        if (!peek()) return false;
        if (opens_arguments(name)) {
          max = 999;
          continue;
        }
        if (name == atom_minus && after >= '0' && after <= '9' && ahead_.form == token::NUMBER) {
          has_ahead_ = false;
          result_ = negate(ahead_.value);
          return result_ != 0;
        }
        const op_def *op = find_op(name, 1);
        if (op && !ends_operand(ahead_)) {
          int p = op->priority;
          if (p > max) return false; /* bracketed when written */
          stack_.push_back({frame::PREFIX, p, name, 0, 0});
          max = op->kind == FY ? p : p - 1;
          continue;
        }
        /* The atom of a prefix operator: where it is the operand of another operator, the
         * operator's priority counts; a whole argument or list element may be any atom. */
        result_ = name;
        if (op && !whole_argument(ahead_)) prec_ = op->priority;
        return true;
      }
      case token::PUNCT: {
        TAGGED p = tok_.value;
        if (p == open_paren_ || p == open_paren_layout_) {
          stack_.push_back({frame::PAREN, 0, 0, 0, 0});
          max = 1200;
          continue;
        }
        if (p == open_bracket_ || p == open_brace_) {
          if (!peek()) return false;
          TAGGED closing = p == open_bracket_ ? close_bracket_ : close_brace_;
          if (ahead_.form == token::PUNCT && ahead_.value == closing) {
            has_ahead_ = false;
            TAGGED name = p == open_bracket_ ? atom_nil : atom_curly;
            if (!peek()) return false;
            if (opens_arguments(name)) { /* [](a), {}(a) */
              max = 999;
              continue;
            }
            result_ = name;
            return true;
          }
          if (p == open_bracket_)
            stack_.push_back({frame::LIST, 0, 0, 0, items_.size()});
          else
            stack_.push_back({frame::CURLY, 0, 0, 0, 0});
          max = p == open_bracket_ ? 999 : 1200;
          continue;
        }
        return false;
      }
      default: return false;
      }
    }
  }

  /* After a name, with the next token peeked: when it is the parenthesis of functional
   * notation, the name's argument list opens. */
  bool opens_arguments(TAGGED name)
  {
    if (ahead_.form != token::PUNCT || ahead_.value != open_paren_) return false;
    has_ahead_ = false;
    stack_.push_back({frame::ARGS, 0, name, 0, items_.size()});
    return true;
  }

  TAGGED negate(TAGGED number)
  {
    std::string text = std::string("-") + qx_number_to_string(number, 10, 0);
    int status = 0;
    room((uint32_t)text.size() / 4 + 16);
    return qx_string_to_number(w_, text.c_str(), 10, &status);
  }

  TAGGED variable(const token &t)
  {
    if (t.name == "_") return t.value;
    for (auto &n : names_)
      if (n.first == t.name) return n.second;
    names_.push_back({t.name, t.value});
    return t.value;
  }

  void finish_compound(frame &f)
  {
    size_t n = items_.size() - f.base;
    if (f.name == end_ && n == 2) { /* '.'(H, T) is the list pair, as functor/3 builds it */
      result_ = items_.back();
      items_.pop_back();
      finish_list(f, true);
      return;
    }
    room((uint32_t)n + 1);
    TAGGED *h = w_->global_top;
    h[0] = MakeFunctor(f.name, (uint32_t)n);
    for (size_t i = 0; i < n; i++) h[i + 1] = items_[f.base + i];
    w_->global_top += n + 1;
    result_ = MakeStr(h);
    items_.resize(f.base);
    prec_ = 0;
    stack_.pop_back();
  }

  /* The list of the items, ending in the result (a tail after a bar) or []. */
  void finish_list(frame &f, bool with_tail)
  {
    size_t n = items_.size() - f.base;
    room((uint32_t)(2 * n));
    TAGGED tail = with_tail ? result_ : atom_nil;
    TAGGED *h = w_->global_top;
    for (size_t i = 0; i < n; i++) {
      h[2 * i] = items_[f.base + i];
      h[2 * i + 1] = i + 1 < n ? MakeLst(h + 2 * i + 2) : tail;
    }
    w_->global_top += 2 * n;
    result_ = MakeLst(h);
    items_.resize(f.base);
    prec_ = 0;
    stack_.pop_back();
  }

  int make_var_list(TAGGED *vars)
  {
    TAGGED list = atom_nil;
    qx_gc_root keep(&list);
    for (size_t i = names_.size(); i-- > 0;) {
      TAGGED name = init_atom_check(names_[i].first.c_str(), 0);
      if (!name) return qx_resource_error(w_, "atoms");
      room(5);
      TAGGED eq = qx_make_struct(w_, f_eq_, {name, names_[i].second});
      TAGGED *h = w_->global_top;
      h[0] = eq, h[1] = list;
      w_->global_top += 2;
      list = MakeLst(h);
    }
    *vars = list;
    return 1;
  }
};

}  // namespace

int qx_read_term(worker *w, QX_stream *stream, int32_t *ch, TAGGED *term, TAGGED *vars, int *line)
{
  parser p(w, stream, *ch);
  int rc = p.read(term, vars);
  *ch = p.ch();
  if (line) *line = p.line(rc);
  return rc;
}

namespace {

/* read_from_string_helper(+Stream, +Vars, -Term): Stream the address of a text stream as an
 * integer; the elements of Vars are unified in order with the named variables of the term. */
int prolog_read_from_string_helper(worker *w)
{
  int64_t address = 0;
  if (!qx_get_int64(deref(w->term[0]), &address)) return 0;
  QX_stream *s = find_stream((QX_stream *)(intptr_t)address);
  if (!s || !(s->mode & QX_SM_INPUT)) return 0;
  TAGGED given = w->term[1], out = w->term[2];
  qx_gc_root keep_given(&given), keep_out(&out); /* the read may collect */
  /* A layout character as the lookahead: the first read is the tokenizer's, which raises what
   * the stream reports and goes on after an interrupt. */
  int32_t ch = ' ';
  TAGGED term = 0, vars = 0;
  if (qx_read_term(w, s, &ch, &term, &vars) != 1) return 0;
  for (given = deref(given); IsLst(given) && IsLst(vars); given = deref(LstTail(given))) {
    if (!cunify(w, LstHead(given), StrArg(deref(LstHead(vars)), 2))) return 0;
    vars = deref(LstTail(vars));
  }
  return cunify(w, out, term);
}

}  // namespace

int QX_read_from_string(QX_term_ref t, const char *text, QX_term_ref *vars)
{
  worker *w = qx_w;
  QX_term_ref mark = QX_new_term_refs(0);
  QX_stream *s = nullptr;
  if (QX_stream_from_string(text, &s) != 1) return 0;
  QX_term_ref stream = QX_new_term_ref(), list = QX_new_term_ref();
  bool built = stream && list && QX_put_integer(stream, (long)(intptr_t)s) &&
               QX_put_atom(list, (QX_atom)atom_nil);
  if (built && vars) {
    int n = 0;
    while (vars[n]) n++;
    while (built && n-- > 0) built = QX_cons_list(list, vars[n], list);
  }
  int rc = 0;
  if (built && QX_put_variable(t)) {
    QX_pred_ref helper = QX_predicate("read_from_string_helper", 3, "prolog");
    w->events_disabled++;
    rc = helper ? QX_query(helper, stream, list, t) : 0;
    w->events_disabled--;
  }
  QX_fclose(s, QX_FC_FORCE);
  QX_reset_term_refs(mark);
  return rc == 1;
}

const qx_pred_row qx_parser_rows[] = {
    {"read_from_string_helper", prolog_read_from_string_helper, 3, BUILTIN_DET, QX_MOD_PROLOG,
     nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
