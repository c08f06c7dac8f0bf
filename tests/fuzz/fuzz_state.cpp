/* Fuzz target of the saved-state reader: the input is the records of a state, after a valid
 * header of kind ALL_BUT_PROLOG. Checked for every input:
 * - the restore answers (success, failure or a raised error) without a crash or a leak;
 * - every key the reader left entered is released (no definition stays marked);
 * - the engine stays usable: a good state restored afterwards gives exactly its one clause. */
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "../../bench/bench_common.h"
#include "atoms.h"
#include "builtins.h"
#include "database.h"
#include "../support/scratch_root.h"
#include "fuzz_check.h"
#include "instance.h"
#include "memman.h"
#include "modules.h"
#include "objareas.h"
#include "qxio.h"
#include "saverest.h"
#include "streams.h"
#include "wam.h"
#include "wcx.h"

namespace {

std::string path;

void start()
{
  static BenchEngine engine; /* the engine with the built-ins and streams, for the whole run */
  (void)engine;
  path = qx_scratch_root() + "/fuzz_state.sav"; /* the root goes when the run ends */
}

/* $restore(File, c): 1 success, 0 failure, a raised error or a fault (a state may ask for more
 * than the engine can give: that state is rejected, not a crash). */
int restore(const std::string &bytes)
{
  FILE *f = std::fopen(path.c_str(), "wb");
  CHECK(f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
  std::fclose(f);
  worker *w = qx_w;
  definition *d = insert_definition(qx_eg.prolog_module, init_atom_check("$restore", 0), 2, 0);
  CHECK(d && d->code.native);
  w->term[0] = init_atom_check(path.c_str(), 0);
  w->term[1] = atom_true;
  node *before = w->node_;
  int rc = 0;
  try {
    qx_recovery_scope scope(QX_RECOVERY_API);
    rc = d->code.native(w);
  } catch (const qx_fault &) {
  }
  bool raised = w->node_ != before;
  while (w->node_ != before) qx_pop_node(w);
  return rc && !raised;
}

void word(std::string &s, uint32_t w) { s.append((const char *)&w, 4); }

const char kHeader[] = "#! /bin/sh\n# META_INFO 1\n# META_INFO END\nversion=3 archmask=0x2d85a\n";

/* user:p/1 with the clause p(foo). */
std::string good_state()
{
  std::string s = kHeader;
  const TAGGED user = MakeAtom(3000), p = MakeAtom(3001), foo = MakeAtom(3002);
  auto rec = [&](int32_t tag, uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4 = 0) {
    for (uint32_t w : {(uint32_t)tag, w1, w2, w3, w4, 0u, 0u}) word(s, w);
  };
  rec(QX_REC_ATOM, user, 5, 3);
  s.append("user", 5);
  rec(QX_REC_ATOM, p, 2, 3);
  s.append("p", 2);
  rec(QX_REC_ATOM, foo, 4, 3);
  s.append("foo", 4);
  rec(QX_REC_MODULE, 0x1000, user, 0);
  rec(QX_REC_PREDICATE, 0x2000, 0x1000, MakeFunctor(p, 1));
  rec(QX_REC_PROPERTIES, 0x2000, 1, ENTER_INTERPRETED);
  rec(QX_REC_DYNAMIC_CLAUSE, 0x2000, atom_nil, 0, 8);
  for (uint32_t w : {0x3000u, 0u, MakeFunctor(p, 1), foo}) word(s, w);
  rec(QX_REC_END, 1, 1, 0);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  static bool started = (start(), true);
  (void)started;
  restore(kHeader + std::string((const char *)data, size));
  CHECK(restore(good_state()));
  definition *d = insert_definition(qx_eg.user_module, init_atom_check("p", 0), 1, 0);
  CHECK(d && d->clause_count == 1 && d->first_clause && !d->properties.locked);
  CHECK(d->first_clause->body[1] == init_atom_check("foo", 0));
  unlink(path.c_str());
  return 0;
}
