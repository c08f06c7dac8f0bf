/* A small Prolog reader for tests: builds terms on the heap from text with the standard operator
 * table (no user operators, no special syntax beyond lists, strings as code lists, {}/1, quoted
 * atoms and 0'c). Variables with the same name in one read are shared. Throws std::runtime_error
 * on a syntax error. */
#ifndef QX_TEST_READER_H
#define QX_TEST_READER_H

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "atoms.h"
#include "datadefs.h"
#include "gc.h"
#include "numbers.h"
#include "objareas.h"

class TestReader {
public:
  TestReader(worker *w, const std::string &text) : w_(w), s_(text) {}
  /* The variables are collector roots while the reader lives, so that tests can read them after
   * queries that collected. */
  ~TestReader()
  {
    for (auto &named : vars) qx_gc_remove_root_range(&named.second);
  }
  TestReader(const TestReader &) = delete;
  TestReader &operator=(const TestReader &) = delete;

  /* Reads one term (a final '.' is optional). */
  TAGGED read()
  {
    qx_gc_off off; /* the term being built lives in this reader's C++ frames */
    room();
    TAGGED t = parse(1200);
    skip();
    if (peek() == '.') pos_++;
    skip();
    if (pos_ != s_.size()) fail("trailing text");
    return t;
  }
  /* Reads clauses separated by ". " into a vector. */
  static std::vector<TAGGED> clauses(worker *w, const std::string &text)
  {
    std::vector<TAGGED> out;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); i++) {
      if (text[i] == '\'' || text[i] == '"') {
        char q = text[i];
        for (i++; i < text.size() && text[i] != q; i++)
          if (text[i] == '\\') i++;
        continue;
      }
      if (text[i] == '0' && i + 1 < text.size() && text[i + 1] == '\'') {
        i += 2;
        continue;
      }
      if (text[i] == '.' && (i + 1 == text.size() || std::isspace((unsigned char)text[i + 1])) &&
          (i == 0 || !std::strchr("+-*/\\^<>=~:.?@#&$", text[i - 1]))) {
        out.push_back(TestReader(w, text.substr(start, i - start)).read());
        start = i + 1;
      }
    }
    return out;
  }
  std::map<std::string, TAGGED> vars;

private:
  struct Op {
    int prec;
    int left, right; /* max precedence of the arguments */
  };
  worker *w_;
  std::string s_;
  size_t pos_ = 0;

  [[noreturn]] void fail(const char *why)
  {
    throw std::runtime_error(std::string(why) + " at " + std::to_string(pos_) + " in: " + s_);
  }
  void room()
  {
    if (w_->stack_start - w_->global_top < (ptrdiff_t)(s_.size() * 8 + 1024))
      call_overflow(w_, (uint32_t)(s_.size() * 8 + 1024), 0);
  }
  char peek() const { return pos_ < s_.size() ? s_[pos_] : 0; }
  void skip()
  {
    for (;;) {
      while (pos_ < s_.size() && std::isspace((unsigned char)s_[pos_])) pos_++;
      if (peek() == '%') {
        while (pos_ < s_.size() && s_[pos_] != '\n') pos_++;
        continue;
      }
      break;
    }
  }
  static bool symch(char c) { return c && std::strchr("+-*/\\^<>=~:.?@#&$", c); }
  static bool alnum(char c) { return std::isalnum((unsigned char)c) || c == '_'; }

  TAGGED atom(const std::string &name) { return init_atom_check(name.c_str(), 0); }
  TAGGED make(const std::string &name, std::vector<TAGGED> args)
  {
    TAGGED *p = w_->global_top;
    p[0] = MakeFunctor(atom(name), (uint32_t)args.size());
    for (size_t i = 0; i < args.size(); i++) p[1 + i] = args[i];
    w_->global_top += args.size() + 1;
    return MakeStr(p);
  }
  TAGGED cons(TAGGED h, TAGGED t)
  {
    TAGGED *p = w_->global_top;
    p[0] = h;
    p[1] = t;
    w_->global_top += 2;
    return MakeLst(p);
  }
  static bool infix(const std::string &n, Op &op)
  {
    static const std::map<std::string, Op> table = {
        {":-", {1200, 1199, 1199}}, {"-->", {1200, 1199, 1199}}, {";", {1100, 1099, 1100}},
        {"|", {1100, 1099, 1100}},  {"->", {1050, 1049, 1050}},  {"*->", {1050, 1049, 1050}},
        {",", {1000, 999, 1000}},   {"=", {700, 699, 699}},      {"\\=", {700, 699, 699}},
        {"==", {700, 699, 699}},    {"\\==", {700, 699, 699}},   {"@<", {700, 699, 699}},
        {"@>", {700, 699, 699}},    {"@=<", {700, 699, 699}},    {"@>=", {700, 699, 699}},
        {"=..", {700, 699, 699}},   {"is", {700, 699, 699}},     {"=:=", {700, 699, 699}},
        {"=\\=", {700, 699, 699}},  {"<", {700, 699, 699}},      {">", {700, 699, 699}},
        {"=<", {700, 699, 699}},    {">=", {700, 699, 699}},     {":", {200, 199, 200}},
        {"+", {500, 500, 499}},     {"-", {500, 500, 499}},      {"/\\", {500, 500, 499}},
        {"\\/", {500, 500, 499}},   {"xor", {500, 500, 499}},    {"*", {400, 400, 399}},
        {"/", {400, 400, 399}},     {"//", {400, 400, 399}},     {"rem", {400, 400, 399}},
        {"mod", {400, 400, 399}},   {"div", {400, 400, 399}},    {"<<", {400, 400, 399}},
        {">>", {400, 400, 399}},    {"**", {200, 199, 199}},     {"^", {200, 199, 200}},
    };
    auto it = table.find(n);
    if (it == table.end()) return false;
    op = it->second;
    return true;
  }
  static int prefix(const std::string &n)
  {
    if (n == ":-" || n == "?-") return 1200;
    if (n == "\\+") return 900;
    if (n == "-" || n == "+" || n == "\\") return 200;
    return 0;
  }

  /* Next token: kind 'a' atom/name, 'v' variable, 'n' number, 'p' punctuation, 's' string. */
  struct Tok {
    char kind = 0;
    std::string text;
    TAGGED value = 0;
    bool quoted = false;
    bool functional = false; /* name immediately followed by '(' */
  };
  /* An integer of any size from its decimal text (with an optional '-'). */
  TAGGED integer(const std::string &text)
  {
    errno = 0;
    long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (errno == 0) return make_int64(w_, v);
    call_overflow(w_, (uint32_t)text.size() / 8 + 8, 0);
    TAGGED *box = w_->global_top;
    if (bn_from_string(text.c_str(), box, w_->stack_start, 10) != 0) fail("bad integer");
    w_->global_top += BoxWords(box[0]);
    return MakeStr(box);
  }
  int escape()
  {
    char c = s_[pos_++];
    switch (c) {
    case 'n': return '\n';
    case 't': return '\t';
    case '\\': return '\\';
    case '\'': return '\'';
    case '"': return '"';
    case 'a': return 7;
    case 'b': return 8;
    case 'f': return 12;
    case 'v': return 11;
    case 'r': return 13;
    case '0': return 0;
    default: return c;
    }
  }
  Tok next()
  {
    skip();
    Tok t;
    char c = peek();
    if (!c) return t;
    if (std::isdigit((unsigned char)c)) {
      size_t start = pos_;
      if (c == '0' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '\'') {
        pos_ += 2;
        int code = (unsigned char)s_[pos_++];
        if (code == '\\') code = escape();
        t.kind = 'n';
        t.value = MakeSmall(code);
        return t;
      }
      while (std::isdigit((unsigned char)peek())) pos_++;
      bool is_float = false;
      if (peek() == '.' && pos_ + 1 < s_.size() && std::isdigit((unsigned char)s_[pos_ + 1])) {
        is_float = true;
        pos_++;
        while (std::isdigit((unsigned char)peek())) pos_++;
        if (peek() == 'e' || peek() == 'E') {
          pos_++;
          if (peek() == '+' || peek() == '-') pos_++;
          while (std::isdigit((unsigned char)peek())) pos_++;
        }
      }
      std::string digits = s_.substr(start, pos_ - start);
      t.kind = 'n';
      t.text = digits;
      if (is_float && (s_.compare(pos_, 3, "Inf") == 0 || s_.compare(pos_, 3, "NaN") == 0)) {
        bool inf = s_[pos_] == 'I';
        pos_ += 3;
        t.value = qx_make_double(w_, inf ? HUGE_VAL : std::nan(""));
      } else if (is_float) {
        t.value = qx_make_double(w_, std::strtod(digits.c_str(), nullptr));
      } else {
        t.value = integer(digits);
      }
      return t;
    }
    if (c == '_' || std::isupper((unsigned char)c)) {
      size_t start = pos_;
      while (alnum(peek())) pos_++;
      t.kind = 'v';
      t.text = s_.substr(start, pos_ - start);
      return t;
    }
    if (std::islower((unsigned char)c)) {
      size_t start = pos_;
      while (alnum(peek())) pos_++;
      t.kind = 'a';
      t.text = s_.substr(start, pos_ - start);
    } else if (c == '\'') {
      pos_++;
      std::string text;
      for (;;) {
        if (pos_ >= s_.size()) fail("unterminated quoted atom");
        char d = s_[pos_++];
        if (d == '\'') {
          if (peek() == '\'') {
            text += '\'';
            pos_++;
            continue;
          }
          break;
        }
        if (d == '\\') d = (char)escape();
        text += d;
      }
      t.kind = 'a';
      t.text = text;
      t.quoted = true;
    } else if (c == '"') {
      pos_++;
      std::vector<int> codes;
      while (peek() != '"') {
        if (pos_ >= s_.size()) fail("unterminated string");
        int d = (unsigned char)s_[pos_++];
        if (d == '\\') d = escape();
        codes.push_back(d);
      }
      pos_++;
      TAGGED l = atom_nil;
      for (size_t i = codes.size(); i-- > 0;) l = cons(MakeSmall(codes[i]), l);
      t.kind = 's';
      t.value = l;
      return t;
    } else if (symch(c)) {
      size_t start = pos_;
      while (symch(peek())) pos_++;
      t.kind = 'a';
      t.text = s_.substr(start, pos_ - start);
    } else if (c == '!' || c == ';' || c == ',' || c == '|') {
      pos_++;
      t.kind = 'a';
      t.text = std::string(1, c);
    } else if (c == '[' && pos_ + 1 < s_.size() && s_[pos_ + 1] == ']') {
      pos_ += 2;
      t.kind = 'a';
      t.text = "[]";
    } else if (c == '{' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '}') {
      pos_ += 2;
      t.kind = 'a';
      t.text = "{}";
    } else {
      pos_++;
      t.kind = 'p';
      t.text = std::string(1, c);
      return t;
    }
    t.functional = peek() == '(';
    return t;
  }
  Tok peek_tok()
  {
    size_t save = pos_;
    Tok t = next();
    pos_ = save;
    return t;
  }
  TAGGED var(const std::string &name)
  {
    if (name != "_") {
      auto it = vars.find(name);
      if (it != vars.end()) return it->second;
    }
    TAGGED *cell = w_->global_top++;
    *cell = MakeRef(cell);
    if (name != "_") {
      vars[name] = *cell;
      qx_gc_add_root_range(&vars[name], 1);
    }
    return *cell;
  }
  std::vector<TAGGED> arglist()
  {
    std::vector<TAGGED> args;
    pos_++; /* '(' */
    for (;;) {
      args.push_back(parse(999));
      Tok t = next();
      if (t.kind == 'p' && t.text == ")") return args;
      if (!(t.kind == 'a' && t.text == ",")) fail("expected , or )");
    }
  }
  TAGGED primary(int max, int &prec)
  {
    prec = 0;
    Tok t = next();
    switch (t.kind) {
    case 'n': return t.value;
    case 's': return t.value;
    case 'v': return var(t.text);
    case 'p':
      if (t.text == "(") {
        TAGGED inner = parse(1200);
        expect(")");
        return inner;
      }
      if (t.text == "[") {
        std::vector<TAGGED> items;
        TAGGED tail = atom_nil;
        for (;;) {
          items.push_back(parse(999));
          Tok s = next();
          if (s.kind == 'a' && s.text == ",") continue;
          if (s.kind == 'a' && s.text == "|") {
            tail = parse(999);
            expect("]");
            break;
          }
          if (s.kind == 'p' && s.text == "]") break;
          fail("bad list");
        }
        for (size_t i = items.size(); i-- > 0;) tail = cons(items[i], tail);
        return tail;
      }
      if (t.text == "{") {
        TAGGED inner = parse(1200);
        expect("}");
        return make("{}", {inner});
      }
      fail("unexpected punctuation");
    case 'a': {
      if (t.functional) return make(t.text, arglist());
      if (t.text == "-" && std::isdigit((unsigned char)peek())) {
        Tok n = next();
        if (IsFloat(n.value)) return qx_make_double(w_, -FloatValue(n.value));
        return integer("-" + n.text);
      }
      int p = t.quoted ? 0 : prefix(t.text);
      if (p) {
        Tok n = peek_tok();
        bool operand = n.kind &&
                       !(n.kind == 'p' && (n.text == ")" || n.text == "]" || n.text == "}")) &&
                       !(n.kind == 'a' && !n.functional &&
                         (n.text == "," || n.text == "|" || is_infix(n.text)));
        if (operand) {
          if (p > max) p = 999;
          TAGGED arg = parse(t.text == "-" || t.text == "+" || t.text == "\\" ? p : p);
          prec = p;
          return make(t.text, {arg});
        }
      }
      return atom(t.text);
    }
    default: fail("unexpected end");
    }
  }
  bool is_infix(const std::string &n)
  {
    Op op;
    return infix(n, op);
  }
  void expect(const char *p)
  {
    Tok t = next();
    if (t.text != p) fail("expected closing bracket");
  }
  TAGGED parse(int max)
  {
    int left_prec;
    TAGGED left = primary(max, left_prec);
    for (;;) {
      size_t save = pos_;
      Tok t = next();
      Op op;
      if (t.kind != 'a' || t.functional || !infix(t.text, op) || op.prec > max ||
          left_prec > op.left) {
        pos_ = save;
        return left;
      }
      TAGGED right = parse(op.right);
      left = make(t.text == "|" ? ";" : t.text, {left, right});
      left_prec = op.prec;
    }
  }
};

#endif
