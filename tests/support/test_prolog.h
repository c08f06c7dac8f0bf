/* An engine for interpreter tests: the whole engine (TestEngine's whole_engine: modules, the
 * database, the interpreter, the built-in table and the streams), with clauses consulted from
 * text through the engine's reader and queries run once. show() writes terms canonically
 * (independently of the engine's own writer) for assertions. */
#ifndef QX_TEST_PROLOG_H
#define QX_TEST_PROLOG_H

#include <string>

#include "database.h"
#include "errors.h"
#include "instance.h"
#include "modules.h"
#include "numbers.h"
#include "test_engine.h"
#include "read_terms.h"
#include "wam.h"

class TestProlog : public TestEngine {
public:
  TestProlog() : TestEngine(whole_engine{}) {}

  /* Add clauses (text, clauses ending in ". ") to module user (or the clause's M:). */
  void consult(const std::string &text)
  {
    for (TAGGED clause : TermReader::clauses(w, text)) add_clause(clause, qx_eg.user_module);
  }
  void add_clause(TAGGED clause, mod_def *module)
  {
    TAGGED c = deref(clause);
    TAGGED head = c;
    if (IsStr(c) && StrFunctor(c) == MakeFunctor(init_atom_check(":-", 0), 2))
      head = deref(StrArg(c, 1));
    TAGGED key = IsStr(head) ? StrFunctor(head) : head;
    definition *d = find_definition(module, key, nullptr, 1);
    if (d->predtyp == ENTER_UNDEFINED) redefine_predicate(d, ENTER_INTERPRETED);
    insertz(d, qx_make_clause(w, d, clause));
    qx_eg.def_generation++;
  }
  /* Run a goal once in module user: 1 success, 0 failure, -1 exception (see exception()). */
  int run(const std::string &text)
  {
    reader_ = std::make_unique<TermReader>(w, text);
    TAGGED goal = reader_->read();
    return qx_call_once(w, goal, qx_eg.user_module);
  }
  /* A variable of the last query, written canonically. */
  std::string var(const std::string &name) { return show(reader_->vars.at(name)); }
  std::string exception()
  {
    TAGGED ball = qx_exception_term(w);
    return ball ? show(ball) : std::string("<none>");
  }

  static std::string show(TAGGED t)
  {
    t = deref(t);
    switch (TagOf(t)) {
    case QX_TAG_REF: return "_";
    case QX_TAG_LST: {
      std::string s = "[" + show(LstHead(t));
      TAGGED tail = deref(LstTail(t));
      while (IsLst(tail)) {
        s += "," + show(LstHead(tail));
        tail = deref(LstTail(tail));
      }
      if (tail != atom_nil) s += "|" + show(tail);
      return s + "]";
    }
    case QX_TAG_STR: {
      TAGGED f = StrFunctor(t);
      if (IsFloatHeader(f)) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.15g", FloatValue(t));
        return buf;
      }
      if (IsBignumHeader(f)) {
        int64_t v;
        if (qx_get_int64(t, &v)) return std::to_string(v);
        return "<bignum>";
      }
      std::string s = atom_name(f);
      s += "(";
      for (uint32_t i = 1; i <= Arity(f); i++) s += (i > 1 ? "," : "") + show(StrArg(t, i));
      return s + ")";
    }
    default:
      if (IsSmall(t)) return std::to_string(GetSmall(t));
      return atom_name(t);
    }
  }

private:
  std::unique_ptr<TermReader> reader_;
};

#endif
