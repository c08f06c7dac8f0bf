/* The engine fixture for the embedding API's tests: the interpreter fixture plus terms read into
 * term references, and natives written against the API as a foreign resource writes them. */
#ifndef QX_API_FIXTURE_H
#define QX_API_FIXTURE_H

#include <string>

#include "builtins.h"
#include "engine_fixture.h"
#include "orvalis.h"

class ApiTest : public EngineTest {
public:
  static void set(QX_term_ref r, TAGGED t) { qx_get_globref_checked(r, qx_w)->term = t; }
  static std::string show(QX_term_ref r) { return TestProlog::show(qx_ref_term(r)); }
  static QX_pred_ref pred(const char *name, int arity, const char *module = "user")
  {
    return QX_predicate(name, arity, module);
  }
  /* The argument registers of the running native as new term references. */
  static QX_term_ref arg_refs(worker *w, int n)
  {
    QX_term_ref first = QX_new_term_refs(n);
    for (int i = 0; i < n; i++) set(first + i, w->term[i]);
    return first;
  }

protected:
  ApiTest() { qx_set_errno(0); }

  /* A new term reference holding the term of text (its variables: var(name)). */
  QX_term_ref ref(const std::string &text)
  {
    QX_term_ref r = QX_new_term_ref();
    set(r, goal(text));
    return r;
  }
};

#endif
