/* Engine information built-ins and the native memory built-ins of the foreign-memory library.
 *
 *   $platform_name(-Name)   $current_version(-Id)   $version(+N)   $running_on_valgrind(-X)
 *   alignments: endianness(-E), pointer_alignment(-Size, -Align), primitive_type_size(+T, -S, -A)
 *   structs: calloc(+Count, +Size, -Address), free(+Address)
 *   $message_digest(+Codes, -Digest, -Hash)   $pc_info(+PC, -M, -N, -A, -Info, -Index)
 *   $disassemble_predicate(+Name, +Module, -Out)   $disassemble(+Address)   $predinfo(+Name, +Module)
 */
#include <cstdio>
#include <cstring>

#include "atoms.h"
#include "builtins.h"
#include "emulcode.h"
#include "hashtab.h"
#include "memman.h"
#include "modules.h"
#include "numbers.h"
#include "objareas.h"
#include "streams.h"
#include "system.h"
#include "termops.h"
#include "unify.h"

namespace {

constexpr char PLATFORM_NAME[] = "x86-linux-glibc2.7";
constexpr char VERSION_ID[] = "orvalis4.1_x86-linux-glibc2.7";
constexpr int32_t VERSION_NUMBER = 1040102;

int prolog_platform_name(worker *w) { return qx_unify_atom_text(w, w->term[0], PLATFORM_NAME); }

/* Every engine kind answers the development engine's identifier. */
int prolog_current_version(worker *w) { return qx_unify_atom_text(w, w->term[0], VERSION_ID); }

int prolog_version(worker *w)
{
  TAGGED n = deref(w->term[0]);
  if (n == MakeSmall(VERSION_NUMBER)) return 1;
  int32_t found = 0;
  qx_int32_arg(n, &found);
  /* The message goes through the engine's error stream, which the exit then flushes. */
  if (qx_eg.stream_user_error)
    QX_fprintf(qx_eg.stream_user_error,
               "Wrong version number in saved state.  Found %d, expected %d.\n", (int)found,
               (int)VERSION_NUMBER);
  else
    std::fprintf(stderr, "Wrong version number in saved state.  Found %d, expected %d.\n",
                 (int)found, (int)VERSION_NUMBER);
  qx_exit_keeping_output(1);
}

int prolog_running_on_valgrind(worker *w) { return cunify(w, w->term[0], MakeSmall(0)); }

/* ---- alignments ---- */

int prolog_endianness(worker *w) { return qx_unify_atom_text(w, w->term[0], "little_endian"); }

int prolog_pointer_alignment(worker *w)
{
  return cunify(w, w->term[0], MakeSmall(4)) && cunify(w, w->term[1], MakeSmall(4));
}

struct type_size {
  const char *type;
  int32_t size, align; /* 0: the atom opaque */
};
const type_size type_sizes[] = {
    {"integer", 4, 4},    {"integer_32", 4, 4}, {"unsigned", 4, 4},    {"unsigned_32", 4, 4},
    {"address", 4, 4},    {"atom", 4, 4},       {"string", 4, 4},      {"float_32", 4, 4},
    {"float", 8, 4},      {"integer_16", 2, 2}, {"unsigned_16", 2, 2}, {"integer_8", 1, 1},
    {"unsigned_8", 1, 1}, {"opaque", 0, 0},
};

int prolog_primitive_type_size(worker *w)
{
  const char *type = qx_atom_arg(w->term[0]);
  if (type == nullptr) return 0;
  for (const type_size &t : type_sizes)
    if (std::strcmp(t.type, type) == 0) {
      TAGGED opaque = init_atom_check("opaque", 0);
      return cunify(w, w->term[1], t.size ? MakeSmall(t.size) : opaque) &&
             cunify(w, w->term[2], t.align ? MakeSmall(t.align) : opaque);
    }
  return 0;
}

/* ---- structs ---- */

int prolog_calloc(worker *w)
{
  int32_t count, size;
  if (!qx_int32_arg(w->term[0], &count) || !qx_int32_arg(w->term[1], &size) || count < 0 ||
      size < 0)
    return 0;
  uint64_t bytes = (uint64_t)(uint32_t)count * (uint32_t)size;
  if (bytes > UINT32_MAX) return 0; /* a smaller block would be a silent truncation */
  void *block = QX_malloc(bytes ? (size_t)bytes : 1);
  if (block == nullptr) qx_memory_fault("calloc", QX_SPACE_FOREIGN);
  std::memset(block, 0, (size_t)bytes);
  call_overflow(w, 4, 3);
  return cunify(w, w->term[2], make_integer(w, (int32_t)(uintptr_t)block));
}

int prolog_free(worker *w)
{
  int32_t address;
  if (!qx_int32_arg(w->term[0], &address)) return 0;
  QX_free((void *)(uintptr_t)(uint32_t)address);
  return 1;
}

/* ---- $message_digest/3 ---- */

int prolog_message_digest(worker *w)
{
  MD5_CTX context;
  MD5Init(&context);
  for (TAGGED l = deref(w->term[0]); IsLst(l); l = deref(LstTail(l))) {
    int64_t code;
    if (!qx_get_int64(deref(LstHead(l)), &code)) continue;
    unsigned char byte = (unsigned char)code;
    MD5Update(&context, &byte, 1);
  }
  unsigned char digest[16];
  MD5Final(digest, &context);
  if (!IsVar(deref(w->term[1]))) return 0;
  call_overflow(w, 2 * 16 + 8, 3);
  TAGGED list = atom_nil;
  for (int i = 16; i-- > 0;) {
    TAGGED *pair = w->global_top;
    pair[0] = MakeSmall(digest[i]), pair[1] = list;
    w->global_top += 2;
    list = MakeLst(pair);
  }
  uint32_t hash = 0;
  for (int i = 0; i < 16; i += 4)
    hash ^= (uint32_t)digest[i] << 24 | (uint32_t)digest[i + 1] << 16 |
            (uint32_t)digest[i + 2] << 8 | digest[i + 3];
  return cunify(w, w->term[1], list) && cunify(w, w->term[2], make_int64(w, hash));
}

/* ---- $pc_info/6 ---- */

int prolog_pc_info(worker *w)
{
  int32_t pc;
  qx_pc_location where;
  if (!qx_int32_arg(w->term[0], &pc) || !pc_info((uintptr_t)(uint32_t)pc, &where)) return 0;
  return cunify(w, w->term[1], where.module) && cunify(w, w->term[2], where.name) &&
         cunify(w, w->term[3], MakeSmall(where.arity)) && cunify(w, w->term[4], where.info) &&
         cunify(w, w->term[5], MakeSmall((int32_t)where.index));
}

/* ---- the disassembler and the predicate printer ---- */

definition *named_predicate(worker *w)
{
  TAGGED name = deref(w->term[0]), module = deref(w->term[1]);
  return IsAtom(name) && IsAtom(module) ? qx_find_named_predicate(module, name) : nullptr;
}

int prolog_disassemble_predicate(worker *w)
{
  definition *def = named_predicate(w);
  if (!def) return 0;
  TAGGED list = da_predicate(w, def); /* may collect: term[2] is read after */
  return cunify(w, w->term[2], list);
}

int prolog_disassemble(worker *w)
{
  int32_t address;
  if (!qx_int32_arg(w->term[0], &address)) return 0;
  da_code((uintptr_t)(uint32_t)address);
  return 1;
}

int prolog_predinfo(worker *w)
{
  definition *def = named_predicate(w);
  if (def == nullptr) return 0;
  wr_predicate(def);
  return 1;
}

}  // namespace

const qx_pred_row qx_bi_engine_rows[] = {
    {"$platform_name", prolog_platform_name, 1, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$current_version", prolog_current_version, 1, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$version", prolog_version, 1, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$running_on_valgrind", prolog_running_on_valgrind, 1, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"endianness", prolog_endianness, 1, ENTER_C, QX_MOD_ALIGNMENTS, nullptr},
    {"pointer_alignment", prolog_pointer_alignment, 2, ENTER_C, QX_MOD_ALIGNMENTS, nullptr},
    {"primitive_type_size", prolog_primitive_type_size, 3, ENTER_C, QX_MOD_ALIGNMENTS, nullptr},
    {"calloc", prolog_calloc, 3, ENTER_C, QX_MOD_STRUCTS, nullptr},
    {"free", prolog_free, 1, ENTER_C, QX_MOD_STRUCTS, nullptr},
    {"$message_digest", prolog_message_digest, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$pc_info", prolog_pc_info, 6, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$disassemble_predicate", prolog_disassemble_predicate, 3, BUILTIN_DET, QX_MOD_PROLOG,
     nullptr},
    {"$disassemble", prolog_disassemble, 1, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$predinfo", prolog_predinfo, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
