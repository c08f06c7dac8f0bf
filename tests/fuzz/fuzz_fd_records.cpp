/* Fuzz target of the reader of saved indexicals: the input is the records of one definition as a
 * saved state holds them (each a 28-byte record and its payload), restored into user:p/3 through
 * the solver's restore hook as the saved-state reader calls it. Checked for every input:
 * - the restore answers without a crash or an access out of bounds;
 * - what it restored saves to bytes that restore and save again to the same bytes;
 * - once the definitions are undefined, the solver holds no more blocks than before. */
#include <cstdint>
#include <cstring>
#include <string>

#include "../../bench/bench_common.h"
#include "fd_indexical.h"
#include "fuzz_check.h"
#include "memman.h"
#include "modules.h"
#include "saverest.h"

namespace {

struct byte_reader {
  const uint8_t *data;
  size_t size, at;
};

int read_bytes(void *p, uint32_t n, saverest_info *info)
{
  auto *r = (byte_reader *)(void *)info;
  if (r->size - r->at < n) return 0;
  std::memcpy(p, r->data + r->at, n);
  r->at += n;
  return 1;
}

uint32_t write_bytes(const void *p, uint32_t n, saverest_info *info)
{
  ((std::string *)(void *)info)->append((const char *)p, n);
  return n;
}

/* The hooks are given the API struct that installed them: the engine's own, whose tables the
 * solver calls through. */
ORVALIS_API_STRUCT *api() { return QX_get_dispatch_40102(nullptr); }

definition *start(const char *name)
{
  static BenchEngine engine;
  QX_install_fd_hooks(api(), nullptr, fd_restore_hook, fd_save_hook, fd_destructor_hook, 1);
  return insert_definition(qx_eg.user_module, init_atom_check(name, 0), 3, 1);
}

/* Restores records into d until the input ends or a record is refused: false when refused. */
bool restore(definition *d, const uint8_t *data, size_t size)
{
  byte_reader r{data, size, 0};
  while (r.at < size) {
    saverest_record rec;
    if (!read_bytes(&rec, sizeof rec, (saverest_info *)(void *)&r)) return false;
    if (rec.tag != QX_REC_FD_PREDICATE) return false;
    rec.w1 = (uint32_t)(uintptr_t)d;
    if (!fd_restore_hook(api(), &rec, read_bytes, (saverest_info *)(void *)&r)) return false;
  }
  return true;
}

std::string save(definition *d)
{
  std::string out;
  saverest_record rec{QX_REC_FD_PREDICATE, 0x1000, 0, 0, 0, 0, 0};
  CHECK(fd_save_hook(api(), &rec, d, write_bytes, (saverest_info *)(void *)&out) == 1);
  return out;
}

size_t blocks() { return qx_space_in_use(QX_SPACE_SOLVER) + qx_space_in_use(QX_SPACE_MISC); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  definition *p = start("p"), *q = start("q");
  size_t before = blocks();
  restore(p, data, size);
  if (p->predtyp == FD_CONSTRAINT) {
    std::string first = save(p);
    CHECK(restore(q, (const uint8_t *)first.data(), first.size()));
    CHECK(save(q) == first);
  }
  undefine_predicate(p);
  undefine_predicate(q);
  CHECK(blocks() == before);
  return 0;
}
