/* The atom table: records by index through the chunk table, interned through a chained hash
 * table on the 28-bit hash of the name. */
#include "atoms.h"

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstring>
#include <functional>
#include <vector>

#include "datadefs.h"
#include "gc.h"
#include "memman.h"
#include "orvalis.h"
#include "wcx.h"

static constexpr uint32_t QX_ATOM_HASH_INITIAL = 1024;
static constexpr int QX_ATOM_ALLOC = QX_SPACE_ATOM | QX_MAY_FAIL;

/* FNV-1a over the bytes, folded to 28 bits: the same on every run, so saved tables agree. */
static uint32_t name_hash(const char *name, size_t length)
{
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < length; i++) {
    h ^= (unsigned char)name[i];
    h *= 16777619u;
  }
  return (h ^ (h >> 28)) & 0x0FFFFFFFu;
}

static size_t record_size(uint32_t length) { return offsetof(atom, name) + length + 1; }

/* Indexes freed by atom collection, taken again before the table grows. */
static std::vector<uint32_t> free_indexes;
/* The stress mode asks for a collection whenever the table grew. */
static bool grew_since_collection;
/* Atoms to make, beyond the margin, before the next automatic collection (qx_agc_space). */
static uint32_t agc_spacing;

/* ---- flags ---- */

/* The classes of a name's characters, gathered in one pass. */
struct name_scan {
  uint32_t count = 0;
  bool alnum_tail = true; /* every character after the first is a letter, digit or _ */
  bool all_symbol = true;
  bool all_punct = true;
  bool escapes = false;
  int first_class = 0;
};

static bool is_punct_class(int c)
{
  switch (c) {
  case CH_BANG:
  case CH_BAR:
  case CH_COMMA:
  case CH_LPAR:
  case CH_RPAR:
  case CH_LBRACE:
  case CH_RBRACE:
  case CH_LBRACK:
  case CH_RBRACK:
  case CH_SEMICOLON: return true;
  default: return false;
  }
}

static name_scan scan_name(const char *name)
{
  name_scan s;
  int32_t code;
  for (const char *p = name; *p; s.count++) {
    int n = QX_wci_code(&code, p);
    int c = n ? qx_char_class(code) : CH_UNDECIDED;
    p += n ? n : 1;
    if (s.count == 0)
      s.first_class = c;
    else if (c != CH_LC && c != CH_UC && c != CH_DIGIT && c != CH_UNDERSCORE)
      s.alnum_tail = false;
    s.all_symbol = s.all_symbol && c == CH_SYMBOL;
    s.all_punct = s.all_punct && is_punct_class(c);
    /* quote and backslash are always escaped; layout other than space and characters of no
     * decided class may be, so they send the writer through its per-character pass */
    if (code == '\'' || code == '\\' || (c == CH_WHITE && code != ' ') || c == CH_UNDECIDED || !n)
      s.escapes = true;
  }
  return s;
}

/* Whether the name reads back as the same atom without quotes: a word of letters, digits and
 * underscores starting with a lower-case letter; a run of symbol characters that is neither the
 * end token "." nor the start of a comment; the solo atoms. */
static bool plain_name(const char *name, const name_scan &s)
{
  if (s.count == 0) return false;
  if (s.first_class == CH_LC && s.alnum_tail) return true;
  if (s.all_symbol) return std::strcmp(name, ".") != 0 && std::strncmp(name, "/*", 2) != 0;
  if (s.count == 1 &&
      (s.first_class == CH_BANG || s.first_class == CH_SEMICOLON || s.first_class == CH_SOLO))
    return true;
  return std::strcmp(name, "[]") == 0 || std::strcmp(name, "{}") == 0;
}

static void set_flags(atom *a)
{
  name_scan s = scan_name(a->name);
  bool ascii = true;
  for (uint32_t i = 0; i < a->length; i++) ascii = ascii && (unsigned char)a->name[i] < 0x80;
  a->is_ascii = ascii;
  a->is_symbolchars = s.count > 0 && s.all_symbol;
  a->is_punctchars = s.count > 0 && s.all_punct;
  a->needs_escaping = s.escapes;
  a->needs_quoting = !plain_name(a->name, s);
}

/* ---- the table ---- */

static atom **slot_of(uint32_t index)
{
  return &qx_eg.atom_chunks[index / QX_ATOM_CHUNK_SIZE][index % QX_ATOM_CHUNK_SIZE];
}

/* Doubles the hash table; on allocation failure the old one stays (chains just get longer). */
static void grow_hash()
{
  uint32_t size = qx_eg.atom_hash_size * 2;
  atom **table = (atom **)qx_checkalloc(size * sizeof(atom *), QX_ATOM_ALLOC);
  if (!table) return;
  std::memset(table, 0, size * sizeof(atom *));
  for (uint32_t i = 0; i < qx_eg.atom_hash_size; i++) {
    for (atom *a = qx_eg.atom_hash[i], *next; a; a = next) {
      next = a->next;
      a->next = table[a->hash & (size - 1)];
      table[a->hash & (size - 1)] = a;
    }
  }
  qx_checkdealloc(qx_eg.atom_hash, qx_eg.atom_hash_size * sizeof(atom *), QX_SPACE_ATOM);
  qx_eg.atom_hash = table;
  qx_eg.atom_hash_size = size;
}

static atom *find_atom(const char *text, size_t length, uint32_t hash)
{
  for (atom *a = qx_eg.atom_hash[hash & (qx_eg.atom_hash_size - 1)]; a; a = a->next)
    if (a->hash == hash && a->length == length && std::memcmp(a->name, text, length) == 0) return a;
  return nullptr;
}

/* A new atom counts toward the next automatic collection; the interpreter's event check runs it. */
static void count_new_atom(bool grew)
{
  qx_eg.atoms_made++;
  grew_since_collection |= grew;
  if (qx_w && qx_agc_due()) qx_w->heap_warn_soft = nullptr;
}

/* Makes the record at a freed index, else at the next one; null when the table is full or memory
 * is out (a freed index taken stays free then). */
static atom *make_atom(const char *text, size_t length, uint32_t hash)
{
  bool reuse = !free_indexes.empty();
  uint32_t index = reuse ? free_indexes.back() : qx_eg.atom_count;
  if (index >= QX_MAX_ATOMS || length > UINT32_MAX - 64) return nullptr;
  atom ***chunk = &qx_eg.atom_chunks[index / QX_ATOM_CHUNK_SIZE];
  if (!*chunk) {
    *chunk = (atom **)qx_checkalloc(QX_ATOM_CHUNK_SIZE * sizeof(atom *), QX_ATOM_ALLOC);
    if (!*chunk) return nullptr;
    std::memset(*chunk, 0, QX_ATOM_CHUNK_SIZE * sizeof(atom *));
  }
  atom *a = (atom *)qx_checkalloc(record_size((uint32_t)length), QX_ATOM_ALLOC);
  if (!a) return nullptr;
  std::memset(a, 0, offsetof(atom, name));
  a->hash = hash;
  a->index = index;
  a->length = (uint32_t)length;
  std::memcpy(a->name, text, length + 1);
  set_flags(a);
  a->next = qx_eg.atom_hash[hash & (qx_eg.atom_hash_size - 1)];
  qx_eg.atom_hash[hash & (qx_eg.atom_hash_size - 1)] = a;
  *slot_of(index) = a;
  if (reuse)
    free_indexes.pop_back();
  else
    qx_eg.atom_count = index + 1;
  if (++qx_eg.atom_live > qx_eg.atom_hash_size) grow_hash();
  count_new_atom(!reuse);
  return a;
}

TAGGED init_atom_check(const char *text, int mode)
{
  if (!text || mode < 0 || mode > 2 || !qx_eg.atom_hash || !wci_valid_string(text)) return 0;
  size_t length = std::strlen(text);
  uint32_t hash = name_hash(text, length);
  atom *a = find_atom(text, length, hash);
  if (!a && mode != 1) a = make_atom(text, length, hash);
  if (!a) return 0;
  if (mode == 2) a->refcount = 255; /* the fixed atoms are never collected */
  return MakeAtom(a->index);
}

/* ---- creation and teardown ---- */

/* Checks that the fixed atoms sit at the indexes the constants of atoms.h name. */
static bool fixed_atoms_in_place()
{
  for (uint32_t i = 0; i < QX_FIXED_NAMED_COUNT; i++)
    if (std::strcmp(atom_name(MakeAtom(i)), qx_fixed::names[i]) != 0) return false;
  for (uint32_t c = 0; c < 256; c++)
    if (qx_eg.one_char_atoms[c] != qx_char_atom_fixed(c)) return false;
  return true;
}

/* Makes the named fixed atoms and then the one-character atoms, filling their cache. */
static bool make_fixed_atoms()
{
  for (uint32_t i = 0; i < QX_FIXED_NAMED_COUNT; i++)
    if (!init_atom_check(qx_fixed::names[i], 2)) return false;
  for (int32_t c = 0; c < 256; c++) {
    char buf[8];
    buf[QX_code_wci(buf, c)] = 0;
    qx_eg.one_char_atoms[c] = init_atom_check(buf, 2);
    if (!qx_eg.one_char_atoms[c]) return false;
  }
  return true;
}

int init_atoms()
{
  qx_eg.atom_count = 0;
  qx_eg.atom_live = 0;
  qx_eg.atom_chunks = (atom ***)qx_checkalloc(QX_ATOM_CHUNKS * sizeof(atom **), QX_ATOM_ALLOC);
  qx_eg.atom_hash = (atom **)qx_checkalloc(QX_ATOM_HASH_INITIAL * sizeof(atom *), QX_ATOM_ALLOC);
  qx_eg.atom_hash_size = QX_ATOM_HASH_INITIAL;
  if (qx_eg.atom_chunks && qx_eg.atom_hash) {
    std::memset(qx_eg.atom_chunks, 0, QX_ATOM_CHUNKS * sizeof(atom **));
    std::memset(qx_eg.atom_hash, 0, QX_ATOM_HASH_INITIAL * sizeof(atom *));
    if (make_fixed_atoms()) {
      bool in_place = fixed_atoms_in_place();
      assert(in_place && "fixed atom order differs from atoms.h");
      if (in_place) return 0;
    }
  }
  deinit_atoms();
  return 1;
}

void deinit_atoms()
{
  if (qx_eg.atom_chunks) {
    for (uint32_t k = 0; k < QX_ATOM_CHUNKS; k++) {
      atom **chunk = qx_eg.atom_chunks[k];
      if (!chunk) continue;
      for (uint32_t i = 0; i < QX_ATOM_CHUNK_SIZE; i++)
        if (chunk[i]) qx_checkdealloc(chunk[i], record_size(chunk[i]->length), QX_SPACE_ATOM);
      qx_checkdealloc(chunk, QX_ATOM_CHUNK_SIZE * sizeof(atom *), QX_SPACE_ATOM);
    }
    qx_checkdealloc(qx_eg.atom_chunks, QX_ATOM_CHUNKS * sizeof(atom **), QX_SPACE_ATOM);
  }
  if (qx_eg.atom_hash)
    qx_checkdealloc(qx_eg.atom_hash, qx_eg.atom_hash_size * sizeof(atom *), QX_SPACE_ATOM);
  qx_eg.atom_chunks = nullptr;
  qx_eg.atom_hash = nullptr;
  qx_eg.atom_hash_size = 0;
  qx_eg.atom_count = 0;
  qx_eg.atom_live = 0;
  qx_eg.atoms_made = 0;
  std::memset(qx_eg.one_char_atoms, 0, sizeof qx_eg.one_char_atoms);
  std::vector<uint32_t>().swap(free_indexes);
  grew_since_collection = false;
  agc_spacing = 0;
}

/* ---- access ---- */

atom *atom_record(TAGGED t)
{
  if (!IsFunctorCell(t) || !qx_eg.atom_chunks) return nullptr;
  uint32_t index = AtomIndex(t);
  if (index >= qx_eg.atom_count) return nullptr;
  return *slot_of(index);
}

const char *atom_name(TAGGED t)
{
  atom *a = atom_record(t);
  return a ? a->name : nullptr;
}

TAGGED qx_char_atom(int32_t code)
{
  if (code < 0) return 0;
  if (code < 256) return qx_eg.one_char_atoms[code];
  char buf[8];
  buf[QX_code_wci(buf, code)] = 0;
  return init_atom_check(buf, 0);
}

/* Functor words count for their name. A count that reached 255 stays there: the atom is then
 * kept for good. */
int QX_register_atom(TAGGED t)
{
  atom *a = atom_record(FunctorName(t));
  if (!a) {
    qx_set_errno(QX_ERR_TYPE_ERROR);
    return 0;
  }
  if (a->refcount < 255) a->refcount++;
  return 1;
}

int QX_unregister_atom(TAGGED t)
{
  atom *a = atom_record(FunctorName(t));
  if (!a) {
    qx_set_errno(QX_ERR_TYPE_ERROR);
    return 0;
  }
  if (a->refcount > 0 && a->refcount < 255) a->refcount--;
  return 1;
}

/* ---- atom collection ---- */

void qx_agc_mark_word(TAGGED t)
{
  if (!IsFunctorCell(t)) return;
  uint32_t index = AtomIndex(t);
  if (index >= qx_eg.atom_count) return;
  atom *a = *slot_of(index);
  if (a) a->marked = 1;
}

void qx_agc_mark_words(const TAGGED *words, size_t n)
{
  for (size_t i = 0; i < n; i++) qx_agc_mark_word(words[i]);
}

void qx_agc_keep_all()
{
  for (uint32_t i = 0; i < qx_eg.atom_count; i++)
    if (atom *a = *slot_of(i)) a->refcount = 255;
}

void qx_agc_space(uint32_t atoms) { agc_spacing = atoms; }

uint32_t qx_agc_spacing()
{
  return qx_eg.current_agcmargin > agc_spacing ? qx_eg.current_agcmargin : agc_spacing;
}

bool qx_agc_due()
{
  return (qx_gc_stress && grew_since_collection) ||
         (qx_eg.current_agcmargin > 0 && qx_eg.atoms_made > qx_agc_spacing());
}

/* Frees every atom neither marked nor referenced, along the hash chains (which hold every atom),
 * and clears the marks of the others. Freed indexes are reused lowest first. */
uint32_t qx_agc_sweep()
{
  free_indexes.reserve(free_indexes.size() + qx_eg.atom_live); /* may throw: nothing freed yet */
  uint32_t freed = 0;
  for (uint32_t b = 0; b < qx_eg.atom_hash_size; b++) {
    for (atom **at = &qx_eg.atom_hash[b]; *at;) {
      atom *a = *at;
      if (a->marked || a->refcount > 0) {
        a->marked = 0;
        at = &a->next;
        continue;
      }
      free_indexes.push_back(a->index);
      *at = a->next;
      *slot_of(a->index) = nullptr;
      qx_checkdealloc(a, record_size(a->length), QX_SPACE_ATOM);
      freed++;
    }
  }
  std::sort(free_indexes.begin(), free_indexes.end(), std::greater<uint32_t>());
  qx_eg.atom_live -= freed;
  qx_eg.atoms_made = 0;
  grew_since_collection = false;
  return freed;
}
