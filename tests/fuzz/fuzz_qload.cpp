/* Fuzz target of the quick-load reader: the input is a quick-load file, read term after term at
 * a level of its own until its end or a fault. Checked for every input:
 * - the reader writes nothing outside what it allocated (the sanitizer's part);
 * - a read ends with a term, end of file or one of the reader's fault messages;
 * - the heap top stays inside the heap;
 * - when the level is freed, every clause object it made is freed (checked when the input has
 *   no code 78, whose definitions take program space of their own). */
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "atoms.h"
#include "database.h"
#include "datadefs.h"
#include "../support/engine_start.h"
#include "../support/scratch_root.h"
#include "fuzz_check.h"
#include "memman.h"
#include "modules.h"
#include "numbers.h"
#include "objareas.h"
#include "qload.h"
#include "qxio.h"
#include "streams.h"
#include "wam.h"
#include "wcx.h"

namespace {

/* Reads per input: a file of many terms is cut short, not refused. */
constexpr int MAX_READS = 64;

worker *engine_worker;
std::string path;

void start_engine()
{
  engine_worker = start_whole_engine();
  CHECK(engine_worker != nullptr);
  path = qx_scratch_root() + "/fuzz_qload.ql"; /* the root goes when the run ends */
}

bool known_fault(const char *message)
{
  for (const char *m :
       {"$qload: invalid bytecode token", "$qload: miscalculated heap usage",
        "Unknown quick load code", "Quick load aborted.  Wrong version number.", "out of memory"})
    if (std::strncmp(message, m, std::strlen(m)) == 0) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  static bool started = (start_engine(), true);
  (void)started;
  FILE *f = std::fopen(path.c_str(), "wb");
  CHECK(f && std::fwrite(data, 1, size, f) == size && std::fclose(f) == 0);
  worker *w = engine_worker;
  TAGGED *heap_mark = w->global_top;
  size_t program = qx_space_in_use(QX_SPACE_PROGRAM);
  QX_stream *s = qopen(path.c_str());
  CHECK(s != nullptr);
  for (int reads = 0; reads < MAX_READS; reads++) {
    TAGGED result = 0;
    int got = 0;
    try {
      qx_recovery_scope scope(QX_RECOVERY_API);
      got = qread1(w, s, init_atom_check("fuzz.pl", 0), &result);
    } catch (const qx_fault &fault) {
      CHECK(known_fault(fault.message));
      break;
    } catch (const qx_qload_read_error &) {
      CHECK(false);
    }
    if (!got) break;
    CHECK(result != 0);
  }
  CHECK(w->global_top >= heap_mark && w->global_top <= w->stack_start);
  qx_qload_deinit();
  if (!std::memchr(data, 78, size)) CHECK(qx_space_in_use(QX_SPACE_PROGRAM) == program);
  w->global_top = heap_mark;
  CHECK(qclose(s) == 0);
  return 0;
}
