/* The table-driven walk over compiled code.
 *
 * The walk decodes one instruction after another from the start of a clause's code: the
 * instruction word gives the instruction number, the tables its format (the operand kinds) and
 * its class. It runs twice: a first pass only decodes and answers whether the whole code can be
 * walked; the second rewrites and calls back. So a clause that cannot be walked is left exactly
 * as it was, and the callback never sees half a clause.
 */
#include "relocate.h"

#include <cstring>

#include "archmask.h"
#include "insns.h"
#include "termdefs.h"
#include "wam.h"

const qx_insn_tables qx_engine_insn_tables = {insn_fmt.data(), insn_class.data(), QX_INSTRUCTIONS};

namespace {

struct code_walk {
  const qx_insn_tables *tables;
  unsigned char *start, *end; /* the code */
  unsigned char *pos;
  bool swap;    /* the code is in the other byte order */
  bool restore; /* rewrite into this emulator's form (else only call back) */
  bool apply;   /* second pass: write and call back */
  int32_t delta;
  uint32_t old_failcode;
  int32_t xmove;                /* added to register operands */
  unsigned in_shift, out_shift; /* instruction word = number << shift */
  qx_rel_callback callback;
  void *info;
  bool seen_try;
  uintptr_t highest_label;
};

uint16_t swap16(uint16_t v) { return (uint16_t)(v << 8 | v >> 8); }
uint32_t swap32(uint32_t v) { return __builtin_bswap32(v); }

/* The 16-bit word at the position in this machine's order (stored so in the second pass of a
 * restore); false past the end of the code. */
bool half(code_walk &k, uint16_t *value, bool swapped = true)
{
  if (k.end - k.pos < 2) return false;
  uint16_t v;
  std::memcpy(&v, k.pos, 2);
  if (k.swap && swapped) {
    v = swap16(v);
    if (k.apply && k.restore) std::memcpy(k.pos, &v, 2);
  }
  *value = v;
  k.pos += 2;
  return true;
}

bool word(code_walk &k, uint32_t *value, unsigned char **at)
{
  if (k.end - k.pos < 4) return false;
  uint32_t v;
  std::memcpy(&v, k.pos, 4);
  if (k.swap) {
    v = swap32(v);
    if (k.apply && k.restore) std::memcpy(k.pos, &v, 4);
  }
  *at = k.pos;
  *value = v;
  k.pos += 4;
  return true;
}

void store(const code_walk &k, unsigned char *at, uint32_t value)
{
  if (k.apply && k.restore) std::memcpy(at, &value, 4);
}

void note_label(code_walk &k, uintptr_t label)
{
  if (label > k.highest_label) k.highest_label = label;
}

bool register_operand(code_walk &k)
{
  unsigned char *at = k.pos;
  uint16_t v;
  if (!half(k, &v)) return false;
  if (k.apply && k.restore) {
    v = (uint16_t)(v + k.xmove);
    std::memcpy(at, &v, 2);
  }
  return true;
}

/* An inline boxed number: its header, then the rest of the box by the header's length. */
bool number_operand(code_walk &k)
{
  unsigned char *at;
  uint32_t header;
  if (!word(k, &header, &at) || !IsBoxHeader(header)) return false;
  int words = BoxWords(header);
  if (words < 2 || (k.end - k.pos) / 4 < words - 1) return false;
  unsigned char *first = k.pos;
  for (int i = 1; i < words; i++) {
    uint32_t v;
    if (!word(k, &v, &at)) return false;
  }
  if (k.swap && k.apply && k.restore && IsFloatHeader(header)) { /* payload words exchanged */
    unsigned char low[4];
    std::memcpy(low, first, 4);
    std::memmove(first, first + 4, 4);
    std::memcpy(first + 4, low, 4);
  }
  return true;
}

/* An alternative address: the saver's failure code, the else-code before the first try chain,
 * else a label inside the clause. */
bool alternative_operand(code_walk &k)
{
  unsigned char *at;
  uint32_t v;
  if (!word(k, &v, &at)) return false;
  if (v == k.old_failcode) {
    store(k, at, (uint32_t)(uintptr_t)failcode);
  } else if (!k.seen_try) {
    store(k, at, (uint32_t)(uintptr_t)elsecode);
  } else {
    uint32_t moved = v + (uint32_t)k.delta;
    store(k, at, moved);
    note_label(k, moved);
  }
  return true;
}

/* An address: a label when, moved, it falls inside the code; else a predicate. */
bool address_operand(code_walk &k)
{
  unsigned char *at;
  uint32_t v;
  if (!word(k, &v, &at)) return false;
  uint32_t moved = v + (uint32_t)k.delta;
  if (moved >= (uintptr_t)k.start && moved < (uintptr_t)k.end) {
    store(k, at, moved);
    note_label(k, moved);
  } else if (k.apply && k.callback) {
    k.callback(at, v, k.info, QX_REL_PREDICATE);
  }
  return true;
}

bool constant_operand(code_walk &k)
{
  unsigned char *at;
  uint32_t v;
  if (!word(k, &v, &at)) return false;
  if ((v & 7) == QX_TAG_ATOM && (int32_t)v >= 0 && k.apply && k.callback)
    k.callback(at, v, k.info, QX_REL_ATOM);
  return true;
}

bool zeroed_operand(code_walk &k)
{
  unsigned char *at;
  uint32_t v;
  if (!word(k, &v, &at)) return false;
  store(k, at, 0);
  return true;
}

/* A count word, then its words: L the high byte counts 16-bit words; K the count less one
 * words, copied unswapped; P the count of pairs whose second word is a register. */
bool counted_operand(code_walk &k, char kind)
{
  uint16_t count;
  if (!half(k, &count)) return false;
  uint16_t v;
  if (kind == 'L') {
    for (int i = 0; i < count >> 8; i++)
      if (!half(k, &v)) return false;
  } else if (kind == 'K') {
    for (int i = 1; i < count; i++)
      if (!half(k, &v, false)) return false;
  } else {
    for (int i = 0; i < count; i++)
      if (!half(k, &v) || !register_operand(k)) return false;
  }
  return true;
}

bool operand(code_walk &k, char kind)
{
  uint16_t v;
  unsigned char *at;
  uint32_t w;
  switch (kind) {
  case 'h': return half(k, &v);
  case 'x': return register_operand(k);
  case 'w': return word(k, &w, &at);
  case 'c': return constant_operand(k);
  case 'a': return alternative_operand(k);
  case 'p': return address_operand(k);
  case 'n': return number_operand(k);
  case 'z': return zeroed_operand(k);
  case 'Z': return zeroed_operand(k) && zeroed_operand(k);
  default: return counted_operand(k, kind);
  }
}

/* A try-chain entry: rebuilt with its alternative moved. */
bool try_entry(code_walk &k, unsigned char *insn)
{
  uint16_t a, b;
  uint32_t address;
  unsigned char *at;
  if (!half(k, &a) || !half(k, &b) || !word(k, &address, &at)) return false;
  uint32_t moved = address + (uint32_t)k.delta;
  if (k.apply && k.restore)
    asm_try_insn((uint16_t *)(void *)insn, (const void *)(uintptr_t)moved, a, b);
  note_label(k, moved);
  k.seen_try = true;
  return true;
}

/* One pass over the code: true when every instruction it reaches could be decoded. */
bool walk(code_walk k)
{
  k.pos = k.start;
  k.seen_try = false;
  k.highest_label = 0;
  while (k.pos < k.end) {
    unsigned char *insn = k.pos;
    uint16_t insn_word;
    if (!half(k, &insn_word)) return false;
    unsigned number = insn_word >> k.in_shift;
    if (number >= (unsigned)k.tables->count) return false;
    uint8_t fmt = k.tables->fmt[number];
    if (fmt == QX_INSN_UNKNOWN) return false;
    if (k.apply && k.restore) {
      uint16_t rewritten = (uint16_t)(number << k.out_shift);
      std::memcpy(insn, &rewritten, 2);
    }
    if (fmt == QX_INSN_FMT_TRY) {
      if (!try_entry(k, insn)) return false;
    } else {
      const char *kinds = qx_insn_operands(fmt);
      if (kinds[0] == '$') break;
      for (const char *kind = kinds; *kind; kind++)
        if (!operand(k, *kind)) return false;
    }
    if (k.tables->cls[number] == QX_INSN_CLASS_LEAVES && k.highest_label <= (uintptr_t)insn) break;
  }
  return true;
}

bool walk_twice(code_walk &k)
{
  k.apply = false;
  if (!walk(k)) return false;
  k.apply = true;
  walk(k);
  return true;
}

code_walk code_of(emul_info *clause, const qx_insn_tables &tables)
{
  code_walk k{};
  k.tables = &tables;
  k.start = (unsigned char *)clause->emulcode;
  k.end = (unsigned char *)clause + clause->objsize;
  return k;
}

archmask_fields fields_of(uint32_t mask)
{
  archmask_fields f;
  put_archmask(mask, &f);
  return f;
}

unsigned shift_of(const archmask_fields &f) { return f.threaded ? 3 : 1; }

}  // namespace

int relocate_emul_data(emul_info *clause, int32_t delta, uint32_t old_failcode,
                       qx_rel_callback callback, uint32_t savemask, uint32_t restoremask,
                       void *info, const qx_insn_tables &tables)
{
  code_walk k = code_of(clause, tables);
  archmask_fields saved = fields_of(savemask), own = fields_of(restoremask);
  k.swap = saved.bigendian != own.bigendian;
  k.restore = true;
  k.delta = delta;
  k.old_failcode = old_failcode;
  k.xmove = 4 * ((int32_t)own.xoffset - (int32_t)saved.xoffset);
  k.in_shift = shift_of(saved);
  k.out_shift = shift_of(own);
  k.callback = callback;
  k.info = info;
  return walk_twice(k) ? 1 : 0;
}

int scan_code(emul_info *clause, qx_rel_callback callback, void *info, const qx_insn_tables &tables)
{
  code_walk k = code_of(clause, tables);
  k.old_failcode = (uint32_t)(uintptr_t)failcode;
  k.in_shift = k.out_shift = shift_of(fields_of(get_archmask(QX_SAVE_SELECTED)));
  k.callback = callback;
  k.info = info;
  return walk_twice(k) ? 1 : 0;
}
