/* Terms read from text for tests and benchmarks, through the engine's term reader, on a started
 * engine (its streams up). Strings read as code lists unless double_quotes was set. A text
 * without a term, or with a syntax error, throws std::runtime_error. */
#ifndef QX_READ_TERMS_H
#define QX_READ_TERMS_H

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "atoms.h"
#include "datadefs.h"
#include "gc.h"
#include "parser.h"
#include "streams.h"

class TermReader {
public:
  TermReader(worker *w, const std::string &text) : w_(w), text_(text) {}
  /* The variables are collector roots while the reader lives, so that tests can read them after
   * queries that collected. */
  ~TermReader()
  {
    for (auto &named : vars) qx_gc_remove_root_range(&named.second);
  }
  TermReader(const TermReader &) = delete;
  TermReader &operator=(const TermReader &) = delete;

  /* Reads one term; its end token may be left out. Fills vars with its named variables. */
  TAGGED read()
  {
    /* The line feed ends a trailing comment and keeps the added end token a token of its own. */
    TAGGED t = each(w_, text_ + "\n.\n", &vars, true).at(0);
    for (auto &named : vars) qx_gc_add_root_range(&named.second, 1);
    return t;
  }
  /* Reads every clause of text, each ending in an end token. */
  static std::vector<TAGGED> clauses(worker *w, const std::string &text)
  {
    return each(w, text + "\n", nullptr, false);
  }
  std::map<std::string, TAGGED> vars;

private:
  worker *w_;
  std::string text_;

  static std::vector<TAGGED> each(worker *w, const std::string &text,
                                  std::map<std::string, TAGGED> *vars, bool first_only)
  {
    qx_gc_off off; /* closing the stream may run a query; the terms read are in locals */
    QX_stream *s = nullptr;
    if (QX_stream_from_string(text.c_str(), &s) != 1)
      throw std::runtime_error("no stream over: " + text);
    TAGGED quotes = qx_eg.current_double_quotes;
    if (!quotes) qx_eg.current_double_quotes = init_atom_check("codes", 0);
    std::vector<TAGGED> out;
    int32_t ch = qx_get_code_helper(s, 0);
    int rc = 1;
    while (rc == 1 && !(first_only && !out.empty())) {
      TAGGED term = 0, names = 0;
      rc = qx_read_term(w, s, &ch, &term, &names);
      if (rc != 1) break;
      out.push_back(term);
      for (names = deref(names); vars && IsLst(names); names = deref(LstTail(names))) {
        TAGGED eq = deref(LstHead(names));
        (*vars)[atom_name(deref(StrArg(eq, 1)))] = StrArg(eq, 2);
      }
    }
    qx_eg.current_double_quotes = quotes;
    QX_fclose(s, QX_FC_FORCE);
    if (rc == 0 || out.empty()) throw std::runtime_error("syntax error in: " + text);
    return out;
  }
};

#endif
