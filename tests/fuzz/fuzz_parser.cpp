/* Fuzz target of the term reader and so of the tokenizer. The input bytes are the text of a
 * byte stream in memory read as UTF-8 (malformed sequences as the coder has them); up to 64
 * terms are read from it one after another. Checked for every input:
 * - every read answers 1, 0 or -1 (end of file), and after 0 or -1 the next read is not tried;
 * - a term's variable list is a proper list of Name=Var, names distinct atoms, Vars distinct
 *   unbound variables;
 * - writeq/1 of a term read, followed by " .", reads back as the same term up to a renaming of
 *   its variables (floats bit for bit). */
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "atoms.h"
#include "builtins.h"
#include "database.h"
#include "../support/engine_start.h"
#include "fuzz_check.h"
#include "memman.h"
#include "modules.h"
#include "numbers.h"
#include "parser.h"
#include "qxio.h"
#include "streams.h"
#include "../support/term_variant.h"
#include "termops.h"
#include "wam.h"
#include "wcx.h"

namespace {

worker *engine_worker;

/* The whole engine, for the run (double_quotes codes, as start-up sets it). */
bool start_engine()
{
  engine_worker = start_whole_engine();
  CHECK(engine_worker != nullptr);
  return true;
}

/* A UTF-8 text stream over buffer, which stays the caller's. */
QX_stream *over(qxio_t_buf *buffer, bool input)
{
  QXIO q = nullptr;
  if (qx_create_qxio_byte_device(&q, buffer, nullptr, nullptr,
                                 input ? QX_MD_READABLE : QX_MD_WRITABLE) < 0)
    return nullptr;
  qxio_t_coder_funcs *utf8 = nullptr;
  int rc = qxio_char_coder_find(&utf8, "UTF-8", nullptr, 0);
  if (rc >= 0) {
    rc =
        qxio_push_encoding(&q, input ? utf8 : nullptr, input ? nullptr : utf8, input ? 0x11 : 0x22);
    qxio_coder_funcs_release(utf8);
  }
  QX_stream *s = nullptr;
  if (rc >= 0)
    rc = QX_create_qxio_stream(&q, &s, (input ? QX_SC_INPUT : QX_SC_OUTPUT) | QX_SC_TEXT);
  if (rc < 0) {
    qxio_close(&q, QXIO_CLOSE_ABORTIVE);
    return nullptr;
  }
  return s;
}

/* Drops what a read raised. */
void forget_errors(worker *w, node *before)
{
  while (w->node_ != before) qx_pop_node(w);
  qx_clear_exception();
}

/* The text writeq/1 gives for term. */
std::string writeq(worker *w, TAGGED term)
{
  qxio_t_buf *buffer = qxio_buf_alloc(nullptr, 0, 0);
  CHECK(buffer);
  QX_stream *s = over(buffer, false);
  CHECK(s);
  static definition *d = insert_definition(qx_eg.prolog_module, init_atom_check("writeq", 0), 1, 0);
  QX_stream *before = qx_eg.output_stream_ptr;
  qx_eg.output_stream_ptr = s;
  w->term[0] = term;
  CHECK(d->code.native(w) == 1);
  qx_eg.output_stream_ptr = before;
  CHECK(qx_fclose_internal(s, 0) >= 0);
  std::string text((const char *)buffer->buf, buffer->extent);
  qxio_buf_free(buffer);
  return text;
}

void check_variables(TAGGED vars)
{
  std::set<TAGGED> names, cells;
  for (vars = deref(vars); IsLst(vars); vars = deref(LstTail(vars))) {
    TAGGED eq = deref(LstHead(vars));
    CHECK(IsStr(eq) && StrFunctor(eq) == MakeFunctor(init_atom_check("=", 0), 2));
    TAGGED name = deref(StrArg(eq, 1)), var = deref(StrArg(eq, 2));
    CHECK(IsAtom(name) && IsRef(var));
    CHECK(names.insert(name).second && cells.insert(var).second);
  }
  CHECK(vars == atom_nil);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  static bool started = start_engine();
  (void)started;
  worker *w = engine_worker;
  TAGGED *mark = w->global_top;
  node *before = w->node_;
  qxio_t_buf *buffer = qxio_buf_alloc(data, size, 0);
  CHECK(buffer);
  QX_stream *s = over(buffer, true);
  CHECK(s);
  int32_t ch = ' ';
  for (int n = 0; n < 64; n++) {
    TAGGED term = 0, vars = 0;
    int rc = qx_read_term(w, s, &ch, &term, &vars);
    CHECK(rc == 1 || rc == 0 || rc == -1);
    if (rc != 1) break;
    check_variables(vars);
    std::string text = writeq(w, term) + " .\n";
    qxio_t_buf *again = qxio_buf_alloc(text.data(), text.size(), 0);
    CHECK(again);
    QX_stream *t = over(again, true);
    CHECK(t);
    int32_t ch2 = ' ';
    TAGGED back = 0, back_vars = 0;
    if (qx_read_term(w, t, &ch2, &back, &back_vars) != 1 || !variant_terms(w, term, back)) {
      std::fprintf(stderr, "written as: %s\n", text.c_str());
      CHECK(!"writeq's text reads back as the term");
    }
    qx_fclose_internal(t, QX_FC_FORCE);
    qxio_buf_free(again);
    w->global_top = mark;
  }
  forget_errors(w, before);
  qx_fclose_internal(s, QX_FC_FORCE);
  qxio_buf_free(buffer);
  w->global_top = mark;
  return 0;
}
