/* The quick-load reader.
 *
 * Every index the file gives is checked before it is used: slots grow the array on either side
 * (up to QX_QL_MAX_WORDS), every write into a clause object and every chain offset stays inside
 * its m + 16 bytes, and heap pushes stay inside the room the last code 64 reserved (a read
 * starts with none). A breach is a fault; nothing is written outside what was allocated.
 */
#include "qload.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "atoms.h"
#include "builtins.h"
#include "emulcode.h"
#include "errors.h"
#include "gc.h"
#include "insns.h"
#include "memman.h"
#include "modules.h"
#include "numbers.h"
#include "objareas.h"
#include "unify.h"
#include "wam.h"

/* A level saved by $push_qlinfo. */
struct qx_qlinfo {
  qx_qlinfo *prev;
  TAGGED *qlarray;
  int32_t qloffset, qllimit;
  emul_info *latest_bytecode;
  uint32_t latest_bytecode_size;
  emul_info *qlpending;
};

namespace {

const char *const BAD_TOKEN = "$qload: invalid bytecode token";
const char *const HEAP_USAGE = "$qload: miscalculated heap usage";
const char *const UNKNOWN_CODE = "Unknown quick load code";
const char *const WRONG_VERSION = "Quick load aborted.  Wrong version number.";
constexpr int32_t BYTECODE_VERSION = 4;
/* Heap words one code 64 may ask for; more is taken as a memory shortage. */
constexpr int32_t MAX_ROOM = 1 << 26;
/* Characters of a text that goes to the small-integer path. */
constexpr size_t SMALL_TEXT_MAX = 9;

/* A read runs: the array's slots are roots. */
bool reading;

struct reader {
  worker *w;
  QX_stream *stream;
  TAGGED file;
  TAGGED *room_end; /* end of the heap room of the last code 64 */
  /* The compound of the last code 72 or 73 while its cells are being pushed (0: none), and
   * where its cells end (null: a structure whose functor is not pushed yet). */
  TAGGED open;
  TAGGED *open_end;
};

int next_byte(reader &r)
{
  QX_stream *s = r.stream;
  if (s->pub.input_binary.ptr < s->pub.input_binary.limit) return *s->pub.input_binary.ptr++;
  int c = qx_get_byte_helper(s, 0);
  if (c < -1) throw qx_qload_read_error{c};
  return c;
}

/* ---- operands ---- */

/* NUL-terminated text into the scratch buffer (doubled as needed); first is a byte already
 * read, or -1. End of file inside an operand is a format error. */
const char *spi_get_string(reader &r, int first = -1)
{
  size_t size = 64, n = 0;
  char *text = qx_scratch(size);
  for (int c = first >= 0 ? first : next_byte(r); c != 0; c = next_byte(r)) {
    if (c < 0) QX_raise_fault(BAD_TOKEN);
    if (n + 1 == size) text = qx_scratch(size *= 2);
    text[n++] = (char)c;
  }
  text[n] = '\0';
  return text;
}

/* Signed decimal text of a 32-bit value; anything else is a format error. */
int32_t spi_get_long(reader &r, int first = -1)
{
  const char *text = spi_get_string(r, first);
  const char *p = text + (*text == '-');
  if (!*p) QX_raise_fault(BAD_TOKEN);
  int64_t value = 0;
  for (; *p; p++) {
    if (*p < '0' || *p > '9') QX_raise_fault(BAD_TOKEN);
    value = value * 10 + (*p - '0');
    if (value > (int64_t)1 << 32) QX_raise_fault(BAD_TOKEN);
  }
  if (*text == '-') value = -value;
  if (value < INT32_MIN || value > INT32_MAX) QX_raise_fault(BAD_TOKEN);
  return (int32_t)value;
}

/* A decimal that must lie in [low, high]. */
int32_t get_ranged(reader &r, int32_t low, int32_t high, int first = -1)
{
  int32_t v = spi_get_long(r, first);
  if (v < low || v > high) QX_raise_fault(BAD_TOKEN);
  return v;
}

/* A 16-bit operand: signed or unsigned decimal. */
uint16_t spi_get_short(reader &r, int first = -1)
{
  return (uint16_t)get_ranged(r, INT16_MIN, UINT16_MAX, first);
}

/* A float text by the engine's IEEE conversion; every NaN is the canonical one. */
double spi_get_double(reader &r)
{
  const char *text = spi_get_string(r);
  int error = 0;
  double value = std::strcmp(text, "1.5NaN") == 0 ? NAN : ieee_atof(text, &error);
  if (error == 1) QX_raise_fault(BAD_TOKEN);
  return std::isnan(value) ? std::numeric_limits<double>::quiet_NaN() : value;
}

/* Pushes n words: inside the reserved room only. A box cannot be a cell of an open compound. */
TAGGED *push(reader &r, int32_t n)
{
  if (n > 1 && r.open) QX_raise_fault(BAD_TOKEN);
  if (r.room_end - r.w->global_top < n) QX_raise_fault(HEAP_USAGE);
  TAGGED *p = r.w->global_top;
  r.w->global_top += n;
  return p;
}

/* An integer: a small integer for a short text that fits, else a box by the bignum routine. */
TAGGED spi_get_large(reader &r)
{
  const char *text = spi_get_string(r);
  size_t length = std::strlen(text);
  if (length <= SMALL_TEXT_MAX) {
    const char *p = text + (*text == '-');
    int32_t value = 0;
    bool digits = *p != '\0';
    for (; *p && digits; p++) {
      digits = *p >= '0' && *p <= '9';
      value = value * 10 + (*p - '0');
    }
    if (!digits) QX_raise_fault(BAD_TOKEN);
    if (*text == '-') value = -value;
    if (SmallFits(value)) return MakeSmall(value);
  }
  TAGGED *box = r.w->global_top;
  int rc = bn_from_string(text, box, r.room_end, 10);
  if (rc < 0) QX_raise_fault(BAD_TOKEN);
  if (rc > 0) QX_raise_fault(HEAP_USAGE);
  push(r, BoxWords(box[0]));
  return MakeStr(box);
}

/* ---- the array ---- */

TAGGED *alloc_words(int32_t n)
{
  size_t bytes = (size_t)n * sizeof(TAGGED);
  TAGGED *words = (TAGGED *)qx_checkalloc(bytes, QX_SPACE_MISC);
  std::memset(words, 0, bytes);
  return words;
}

void fresh_array()
{
  qx_eg.qlarray = alloc_words(QX_QL_FRESH_WORDS);
  qx_eg.qllimit = QX_QL_FRESH_WORDS;
  qx_eg.qloffset = QX_QL_FRESH_OFFSET;
}

/* Slot i, the array grown on either side until it holds it. */
TAGGED &slot(int32_t i)
{
  if (!qx_eg.qlarray) fresh_array();
  for (;;) {
    int64_t index = (int64_t)i + qx_eg.qloffset;
    if (index >= 0 && index < qx_eg.qllimit) return qx_eg.qlarray[index];
    if (qx_eg.qllimit >= QX_QL_MAX_WORDS) QX_raise_fault(BAD_TOKEN);
    expand_qload();
  }
}

/* The value of a slot that was set. */
TAGGED slot_value(int32_t i)
{
  TAGGED v = slot(i);
  if (v == 0) QX_raise_fault(BAD_TOKEN);
  return v;
}

/* A term of a slot: not the compound whose cells are still being pushed. */
TAGGED term_slot(reader &r, int32_t i)
{
  TAGGED v = slot_value(i);
  if (r.open && v == r.open) QX_raise_fault(BAD_TOKEN);
  return v;
}

/* Codes 72 and 73: a compound whose cells the next pushes are; one at a time. */
void open_compound(reader &r, int32_t i, TAGGED compound, TAGGED *end)
{
  if (r.open) QX_raise_fault(BAD_TOKEN);
  slot(i) = compound;
  r.open = compound;
  r.open_end = end;
}

/* A cell was pushed: it counts towards the open compound, whose first cell, for a structure,
 * is its functor. */
void pushed_cell(reader &r, TAGGED *cell)
{
  if (!r.open) return;
  if (!r.open_end) {
    if (!IsFunctorCell(*cell) || Arity(*cell) == 0) QX_raise_fault(BAD_TOKEN);
    r.open_end = cell + 1 + Arity(*cell);
  }
  if (r.w->global_top == r.open_end) r.open = 0;
}

/* Heap terms live for one read: slots that held them are unset when the next read begins. */
void forget_heap_slots()
{
  for (int32_t i = 0; i < qx_eg.qllimit; i++)
    if (!IsConst(qx_eg.qlarray[i])) qx_eg.qlarray[i] = 0;
}

/* ---- clause objects ---- */

void put(unsigned char *code, uint32_t m, uint32_t *pos, const void *bytes, uint32_t n)
{
  if (m - *pos < n) QX_raise_fault(BAD_TOKEN);
  std::memcpy(code + *pos, bytes, n);
  *pos += n;
}

void put16(unsigned char *code, uint32_t m, uint32_t *pos, uint32_t v)
{
  uint16_t half = (uint16_t)v;
  put(code, m, pos, &half, 2);
}

void put32(unsigned char *code, uint32_t m, uint32_t *pos, uint32_t v) { put(code, m, pos, &v, 4); }

/* A code offset of an object with m code bytes. */
uint32_t code_offset(reader &r, uint32_t m) { return (uint32_t)get_ranged(r, 0, (int32_t)m - 1); }

/* A big integer written in place at pos: built in an aligned buffer no larger than the room. */
void put_bignum(reader &r, unsigned char *code, uint32_t m, uint32_t *pos)
{
  const char *text = spi_get_string(r);
  size_t words = std::min<size_t>((m - *pos) / 4, std::strlen(text) / 8 + 4);
  std::vector<TAGGED> box(words + 1);
  if (bn_from_string(text, box.data(), box.data() + words, 10) != 0) QX_raise_fault(BAD_TOKEN);
  put(code, m, pos, box.data(), (uint32_t)BoxWords(box[0]) * 4);
}

void put_float(reader &r, unsigned char *code, uint32_t m, uint32_t *pos)
{
  double value = spi_get_double(r);
  TAGGED box[4] = {QX_FLOAT_HEADER, 0, 0, QX_FLOAT_HEADER};
  std::memcpy(box + 1, &value, sizeof value);
  put(code, m, pos, box, sizeof box);
}

/* One token; false at the NUL that ends the bytecode. */
bool bytecode_token(reader &r, unsigned char *code, uint32_t m, uint32_t *pos)
{
  int c = next_byte(r);
  if (c < 0) QX_raise_fault(BAD_TOKEN);
  if (c == 0) return false;
  if ((c >= '0' && c <= '9') || c == '-') {
    put16(code, m, pos, spi_get_short(r, c));
    return true;
  }
  switch (c) {
  case '+': put32(code, m, pos, (uint32_t)spi_get_long(r)); break;
  case 'R': put32(code, m, pos, (uint32_t)(uintptr_t)(code + (code_offset(r, m) & ~1u))); break;
  case 'T': {
    uint32_t target = code_offset(r, m);
    uint16_t a = spi_get_short(r), b = spi_get_short(r);
    uint16_t entry[5];
    asm_try_insn(entry, code + target, a, b);
    put(code, m, pos, entry, sizeof entry);
    break;
  }
  case 'O': put16(code, m, pos, (uint32_t)get_ranged(r, 0, UINT16_MAX >> 3) << 3); break;
  case 'X': put16(code, m, pos, 4 * (uint32_t)get_ranged(r, 0, QX_ARG_REGISTERS - 1) + 180); break;
  case 'Y': put16(code, m, pos, (uint32_t)get_ranged(r, 0, UINT16_MAX - 8) + 8); break;
  case 'e': put32(code, m, pos, (uint32_t)(uintptr_t)elsecode); break;
  case 'f': put32(code, m, pos, (uint32_t)(uintptr_t)failcode); break;
  case 'F': put_float(r, code, m, pos); break;
  case 'L': put_bignum(r, code, m, pos); break;
  default: QX_raise_fault(BAD_TOKEN);
  }
  return true;
}

/* The tokens of an object's code, up to the NUL in token position. */
void spi_get_bytecode(reader &r, emul_info *object, uint32_t m)
{
  unsigned char *code = (unsigned char *)object->emulcode;
  uint32_t pos = 0;
  while (bytecode_token(r, code, m, &pos)) {}
}

/* Code 75: the object belongs to this level (on its pending list) before its code is read, so
 * that a fault in the middle leaves it to be freed with the level. */
void read_clause_object(reader &r)
{
  int32_t i = spi_get_long(r);
  int32_t m = spi_get_long(r);
  if (spi_get_long(r) != BYTECODE_VERSION) QX_raise_fault(WRONG_VERSION);
  if (m < 0 || (uint32_t)m > QX_EMUL_INFO_MAX - sizeof(emul_info)) QX_raise_fault(BAD_TOKEN);
  uint32_t size = (uint32_t)m + sizeof(emul_info);
  emul_info *object = qx_alloc_emul_info(size);
  if (!object) qx_memory_fault("clause object", QX_SPACE_PROGRAM);
  object->filename = r.file;
  object->next = qx_eg.qlpending;
  qx_eg.qlpending = object;
  qx_eg.latest_bytecode = object;
  qx_eg.latest_bytecode_size = size;
  spi_get_bytecode(r, object, (uint32_t)m);
  slot(i) = (TAGGED)(uintptr_t)object | 3;
}

/* Codes 77 and 78: each word of the chain holds the code offset of the next (0 ends it) and
 * is replaced by value. A chain longer than the code has words must come round again. */
void fill_chain(int32_t offset, uint32_t value)
{
  emul_info *object = qx_eg.latest_bytecode;
  if (!object || offset < 0) QX_raise_fault(BAD_TOKEN);
  uint32_t m = qx_eg.latest_bytecode_size - sizeof(emul_info);
  unsigned char *code = (unsigned char *)object->emulcode;
  uint32_t at = (uint32_t)offset;
  for (uint32_t steps = 0;; steps++) {
    if (at > m || m - at < 4 || steps > m) QX_raise_fault(BAD_TOKEN);
    uint32_t next;
    std::memcpy(&next, code + at, 4);
    std::memcpy(code + at, &value, 4);
    if (next == 0) return;
    at = next;
  }
}

/* Code 100: a source position in the latest object. */
void source_position(reader &r)
{
  int32_t offset = spi_get_long(r);
  int32_t line = spi_get_long(r);
  emul_info *object = qx_eg.latest_bytecode;
  if (!object || offset < 0 || (uint32_t)offset >= qx_eg.latest_bytecode_size - 4)
    QX_raise_fault(BAD_TOKEN);
  if (qx_eg.add_table_comp && qx_eg.current_source_info != atom_off)
    qx_eg.add_table_comp((char *)object + 4 + offset, r.file, line);
}

void unknown_code(reader &r, int code)
{
  int64_t offset = 0;
  QX_get_stream_counts(r.stream, &offset, nullptr, nullptr, 0);
  qx_ttyprintf("quick load code = %d at position %lx\n", code, (unsigned long)(offset - 1));
  QX_raise_fault(UNKNOWN_CODE);
}

/* One code other than 76. */
void read_code(reader &r, int code)
{
  worker *w = r.w;
  switch (code) {
  case 0: break;
  case 64: {
    int32_t n = get_ranged(r, 0, INT32_MAX);
    if (n > MAX_ROOM) qx_memory_fault(nullptr, QX_SPACE_STACKS);
    if (r.open) { /* the cells of a compound being pushed have no root: room by growth only */
      qx_gc_off off;
      call_overflow(w, (uint32_t)n, 0);
    } else {
      call_overflow(w, (uint32_t)n, 0);
    }
    r.room_end = w->global_top + n;
    break;
  }
  case 65: {
    int32_t i = spi_get_long(r);
    TAGGED atom = init_atom_check(spi_get_string(r), 0);
    if (!atom) QX_raise_fault(BAD_TOKEN);
    slot(i) = atom;
    break;
  }
  case 66: {
    int32_t i = spi_get_long(r), j = spi_get_long(r);
    int32_t arity = get_ranged(r, 0, QX_MAX_ARITY);
    TAGGED name = slot_value(j);
    if (!IsAtom(name)) QX_raise_fault(BAD_TOKEN);
    slot(i) = arity ? MakeFunctor(name, (uint32_t)arity) : name;
    break;
  }
  case 67: {
    int32_t i = spi_get_long(r);
    slot(i) = MakeSmall(get_ranged(r, QX_SMALL_MIN, QX_SMALL_MAX));
    break;
  }
  case 68: {
    int32_t i = spi_get_long(r);
    slot(i) = spi_get_large(r);
    break;
  }
  case 69: {
    int32_t i = spi_get_long(r);
    double value = spi_get_double(r);
    TAGGED *box = push(r, 4);
    w->global_top = box;
    slot(i) = qx_make_double(w, value);
    break;
  }
  case 70: {
    int32_t i = spi_get_long(r);
    TAGGED *cell = push(r, 1);
    *cell = MakeRef(cell);
    slot(i) = *cell;
    pushed_cell(r, cell);
    break;
  }
  case 71: slot(spi_get_long(r)) = atom_nil; break;
  case 72: open_compound(r, spi_get_long(r), MakeLst(w->global_top), w->global_top + 2); break;
  case 73: open_compound(r, spi_get_long(r), MakeStr(w->global_top), nullptr); break;
  case 74: {
    TAGGED v = term_slot(r, spi_get_long(r));
    TAGGED *cell = push(r, 1);
    *cell = v;
    pushed_cell(r, cell);
    break;
  }
  case 75: read_clause_object(r); break;
  case 77: {
    TAGGED v = slot_value(spi_get_long(r));
    fill_chain(spi_get_long(r), v);
    break;
  }
  case 78: {
    definition *def = parse_definition(term_slot(r, spi_get_long(r)), qx_eg.typein_mod);
    if (!def) QX_raise_fault(BAD_TOKEN);
    fill_chain(spi_get_long(r), (uint32_t)(uintptr_t)def);
    break;
  }
  case 100: source_position(r); break;
  default: unknown_code(r, code);
  }
}

/* ---- levels ---- */

void free_pending(emul_info *pending)
{
  while (pending) {
    emul_info *next = pending->next;
    qx_free_emul_info(pending);
    pending = next;
  }
}

/* Frees the current level's array and the objects no definition took. */
void free_level()
{
  emul_info *pending = qx_eg.qlpending;
  qx_eg.qlpending = nullptr;
  free_pending(pending);
  if (qx_eg.qlarray)
    qx_checkdealloc(qx_eg.qlarray, (size_t)qx_eg.qllimit * sizeof(TAGGED), QX_SPACE_MISC);
  qx_eg.qlarray = nullptr;
  qx_eg.qllimit = qx_eg.qloffset = 0;
  qx_eg.latest_bytecode = nullptr;
  qx_eg.latest_bytecode_size = 0;
}

/* Frees the current level and takes back the one saved last (none: a fresh start). */
void pop_level()
{
  free_level();
  qx_qlinfo *saved = qx_eg.qlstack;
  if (!saved) return;
  qx_eg.qlstack = saved->prev;
  qx_eg.qlarray = saved->qlarray;
  qx_eg.qloffset = saved->qloffset;
  qx_eg.qllimit = saved->qllimit;
  qx_eg.latest_bytecode = saved->latest_bytecode;
  qx_eg.latest_bytecode_size = saved->latest_bytecode_size;
  qx_eg.qlpending = saved->qlpending;
  qx_checkdealloc(saved, sizeof *saved, QX_SPACE_MISC);
}

/* Unlinks a clause object from the pending list that holds it. */
void unlink_pending(emul_info **head, emul_info *clause)
{
  for (emul_info **p = head; *p; p = &(*p)->next)
    if (*p == clause) {
      *p = clause->next;
      return;
    }
}

/* ---- built-ins ---- */

int prolog_qread(worker *w)
{
  QX_stream *s = stream_to_ptr(w->term[0], QX_SM_INPUT | QX_SM_BINARY, 0);
  if (!s) return raise_error(atom_prolog, init_atom_check("$qread", 0), 3, 1);
  TAGGED file = deref(w->term[1]);
  if (!IsAtom(file)) return qx_type_error(w, "atom", file, 2);
  TAGGED result = 0, out = w->term[2];
  qx_gc_root keep(&out); /* the read may collect */
  int got;
  try {
    got = qread1(w, s, file, &result);
  } catch (const qx_qload_read_error &e) {
    return raise_qxio_error(e.code, false, "$qread", 3, 1);
  }
  return cunify(w, out, got ? result : MakeSmall(-1));
}

int prolog_push_qlinfo(worker *)
{
  qx_qlinfo *saved = (qx_qlinfo *)qx_checkalloc(sizeof(qx_qlinfo), QX_SPACE_MISC);
  *saved = {qx_eg.qlstack,  qx_eg.qlarray,         qx_eg.qloffset,
            qx_eg.qllimit,  qx_eg.latest_bytecode, qx_eg.latest_bytecode_size,
            qx_eg.qlpending};
  qx_eg.qlstack = saved;
  qx_eg.qlarray = nullptr;
  qx_eg.qlpending = nullptr;
  qx_eg.latest_bytecode = nullptr;
  qx_eg.latest_bytecode_size = 0;
  fresh_array();
  return 1;
}

int prolog_pop_qlinfo(worker *)
{
  pop_level();
  return 1;
}

}  // namespace

void qx_qload_roots(qx_gc_slots &slots)
{
  if (!reading || !qx_eg.qlarray) return;
  for (int32_t i = 0; i < qx_eg.qllimit; i++) slots.push_back(&qx_eg.qlarray[i]);
}

int qread1(worker *w, QX_stream *stream, TAGGED file, TAGGED *result)
{
  /* The term is built from the heap top and only the slots point into it: they are the
   * collector's roots while the read runs. */
  reader r{w, stream, file, w->global_top, 0, nullptr};
  if (qx_eg.qlarray) forget_heap_slots();
  struct read_running {
    bool outer = reading;
    read_running() { reading = true; }
    ~read_running() { reading = outer; }
  } running;
  for (;;) {
    int code = next_byte(r);
    if (code < 0) return 0;
    if (code == 76) {
      *result = term_slot(r, spi_get_long(r));
      return 1;
    }
    read_code(r, code);
  }
}

void expand_qload()
{
  int32_t limit = qx_eg.qllimit, offset = qx_eg.qloffset;
  TAGGED *words = alloc_words(2 * limit);
  std::memcpy(words + offset, qx_eg.qlarray, (size_t)limit * sizeof(TAGGED));
  qx_checkdealloc(qx_eg.qlarray, (size_t)limit * sizeof(TAGGED), QX_SPACE_MISC);
  qx_eg.qlarray = words;
  qx_eg.qllimit = 2 * limit;
  qx_eg.qloffset = 2 * offset;
}

QX_stream *qopen(const char *path)
{
  QX_stream *s = nullptr;
  return QX_fopen(path, nullptr, QX_FO_READ | QX_FO_BINARY, &s) < 0 ? nullptr : s;
}

int qclose(QX_stream *stream) { return QX_fclose(stream, 0) < 0 ? -1 : 0; }

void qx_qload_claim(emul_info *clause)
{
  unlink_pending(&qx_eg.qlpending, clause);
  for (qx_qlinfo *level = qx_eg.qlstack; level; level = level->prev)
    unlink_pending(&level->qlpending, clause);
}

void qx_qload_forget(emul_info *clause)
{
  qx_qload_claim(clause);
  if (qx_eg.latest_bytecode == clause) qx_eg.latest_bytecode = nullptr;
  for (qx_qlinfo *level = qx_eg.qlstack; level; level = level->prev)
    if (level->latest_bytecode == clause) level->latest_bytecode = nullptr;
}

void qx_qload_mark_atoms(void (*mark_code)(emul_info *clause))
{
  auto mark_level = [&](const TAGGED *array, int32_t limit, emul_info *latest, emul_info *pending) {
    if (array) qx_agc_mark_words(array, (size_t)limit);
    if (latest) mark_code(latest);
    mark_code(pending);
  };
  mark_level(qx_eg.qlarray, qx_eg.qllimit, qx_eg.latest_bytecode, qx_eg.qlpending);
  for (qx_qlinfo *level = qx_eg.qlstack; level; level = level->prev)
    mark_level(level->qlarray, level->qllimit, level->latest_bytecode, level->qlpending);
}

void qx_qload_deinit()
{
  while (qx_eg.qlstack) pop_level();
  free_level();
}

const qx_pred_row qx_qload_rows[] = {
    {"$qread", prolog_qread, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$push_qlinfo", prolog_push_qlinfo, 0, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$pop_qlinfo", prolog_pop_qlinfo, 0, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
