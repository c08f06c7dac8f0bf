/* Term support: the standard order of terms, list lengths, and conversions between code lists,
 * code arrays and texts in the internal encoding. */
#include "termops.h"

#include <cstring>

#include "atoms.h"
#include "memman.h"
#include "numbers.h"
#include "objareas.h"
#include "unify.h"
#include "wcx.h"

/* ---- standard order ---- */

enum order_class { ORDER_VAR, ORDER_NUMBER, ORDER_ATOM, ORDER_COMPOUND };

static order_class class_of(TAGGED t)
{
  if (IsVar(t)) return ORDER_VAR;
  if (IsNumber(t)) return ORDER_NUMBER;
  if (IsAtom(t)) return ORDER_ATOM;
  return ORDER_COMPOUND;
}

/* The code at s, or -1 at the end; a malformed byte stands for itself. */
static int32_t code_at(const unsigned char *s)
{
  if (*s == 0) return -1;
  int32_t code;
  return QX_wci_code(&code, (const char *)s) ? code : *s;
}

/* Names compare by code points. Byte order agrees with it except for code 0 (C0 80), so the
 * common prefix is skipped bytewise and the codes at the first difference are decoded from the
 * start of the sequence that holds it. */
static int compare_names(const char *a, const char *b)
{
  const unsigned char *s = (const unsigned char *)a, *t = (const unsigned char *)b;
  size_t i = 0;
  while (s[i] == t[i] && s[i] != 0) i++;
  if (s[i] == t[i]) return 0;
  while (i > 0 && (s[i] & 0xC0) == 0x80) i--;
  int32_t cs = code_at(s + i), ct = code_at(t + i);
  return cs < ct ? -1 : 1;
}

static int compare_atoms(TAGGED a, TAGGED b)
{
  return a == b ? 0 : compare_names(atom_name(a), atom_name(b));
}

/* Compare one pair; a compound pair of the same name and arity pushes its arguments as a run and
 * answers 0, so the caller goes on with its first argument. */
static int compare_pair(worker *w, uint32_t &depth, TAGGED a, TAGGED b)
{
  a = deref(a);
  b = deref(b);
  if (a == b) return 0;
  order_class ca = class_of(a), cb = class_of(b);
  if (ca != cb) return ca < cb ? -1 : 1;
  switch (ca) {
  case ORDER_VAR: return a < b ? -1 : 1;
  case ORDER_NUMBER: return qx_compare_numbers(a, b);
  case ORDER_ATOM: return compare_atoms(a, b);
  default: break;
  }
  TAGGED fa = IsLst(a) ? MakeFunctor(atom_dot, 2) : StrFunctor(a);
  TAGGED fb = IsLst(b) ? MakeFunctor(atom_dot, 2) : StrFunctor(b);
  if (Arity(fa) != Arity(fb)) return Arity(fa) < Arity(fb) ? -1 : 1;
  int c = compare_atoms(FunctorName(fa), FunctorName(fb));
  if (c == 0 && Arity(fa) > 0)
    qx_runs_push(w, depth, IsLst(a) ? LstPtr(a) : StrArgs(a), IsLst(b) ? LstPtr(b) : StrArgs(b),
                 Arity(fa));
  return c;
}

int compare_terms(worker *w, TAGGED t1, TAGGED t2)
{
  uint32_t depth = 0;
  do {
    int c = compare_pair(w, depth, t1, t2);
    if (c != 0) return c;
  } while (qx_runs_next(w, depth, t1, t2));
  return 0;
}

/* ---- lists ---- */

/* Floyd's check: a second pointer moves at half speed; meeting it again means a cycle. */
long list_length(TAGGED t)
{
  TAGGED slow = t;
  long n = 0;
  for (;;) {
    t = deref(t);
    if (t == atom_nil) return n;
    if (!IsLst(t)) return IsVar(t) ? QX_LIST_PARTIAL : QX_LIST_NOT_LIST;
    t = LstTail(t);
    n++;
    if ((n & 1) == 0) {
      slow = LstTail(deref(slow));
      if (deref(slow) == deref(t) && IsLst(deref(t))) return QX_LIST_NOT_LIST;
    }
  }
}

/* The code an element stands for: a non-negative small integer or, with QX_CODES_CHARS, a
 * one-character atom. */
static bool element_code(TAGGED e, int flags, int32_t *code)
{
  e = deref(e);
  if (IsSmall(e) && GetSmall(e) >= 0) {
    *code = GetSmall(e);
    return true;
  }
  if ((flags & QX_CODES_CHARS) && IsAtom(e)) {
    const char *name = atom_name(e);
    int n = QX_wci_code(code, name);
    return n > 0 && name[n] == 0;
  }
  return false;
}

/* Walk a code list: each code goes to visit; answers the count, or a negative QX_CODES_ code. */
template <class Visit>
static long walk_codes(TAGGED list, int flags, Visit visit)
{
  long n = 0;
  for (;;) {
    list = deref(list);
    if (list == atom_nil || ((flags & QX_CODES_PARTIAL) && IsVar(list))) return n;
    if (!IsLst(list)) return QX_CODES_NOT_LIST;
    int32_t code;
    if (!element_code(LstHead(list), flags, &code)) return QX_CODES_BAD_ELEMENT;
    visit(code);
    list = LstTail(list);
    n++;
  }
}

int qx_list_to_codes(TAGGED list, int32_t **array, int flags)
{
  *array = nullptr;
  long n = list_length(list) == QX_LIST_NOT_LIST ? QX_CODES_NOT_LIST
                                                 : walk_codes(list, flags, [](int32_t) {});
  if (n <= 0) return (int)n;
  int32_t *codes = (int32_t *)QX_malloc((size_t)n * sizeof(int32_t));
  if (!codes) return QX_CODES_NO_MEMORY;
  long i = 0;
  walk_codes(list, flags, [&](int32_t code) { codes[i++] = code; });
  *array = codes;
  return (int)n;
}

/* Encodes codes while they fit in n bytes; the rest of the list (the term itself when it is not a
 * list) is returned, 0 when an element is not a code. */
TAGGED qx_list_to_n_codes(TAGGED list, size_t n, size_t *count, char *buffer)
{
  size_t used = 0;
  for (;;) {
    list = deref(list);
    if (!IsLst(list)) break;
    int32_t code;
    if (!element_code(LstHead(list), 0, &code)) {
      list = 0;
      break;
    }
    size_t len = (size_t)QX_wci_len(code);
    if (used + len > n) break;
    QX_code_wci(buffer + used, code);
    used += len;
    list = LstTail(list);
  }
  *count = used;
  return list;
}

/* The text of a proper code list, NUL-terminated: in the shared scratch buffer for mode 0 (valid
 * until the next user of that buffer), in a new QX_malloc block for mode 1. */
int qx_list_to_string(TAGGED term, int mode, char **text)
{
  if (list_length(term) < 0) return 0;
  size_t bytes = 0;
  if (walk_codes(term, 0, [&](int32_t code) { bytes += (size_t)QX_wci_len(code); }) < 0) return 0;
  char *out = mode == 1 ? (char *)QX_malloc(bytes + 1) : qx_scratch(bytes + 1);
  if (!out) return 0;
  size_t used = 0;
  walk_codes(term, 0, [&](int32_t code) { used += (size_t)QX_code_wci(out + used, code); });
  out[used] = 0;
  *text = out;
  return 1;
}

/* ---- building lists ---- */

/* The next code of the first n bytes of text at *pos; a byte that starts no complete, well-formed
 * sequence inside the n bytes stands for itself. The sequence is decoded from a NUL-terminated
 * copy, so the decoder never reads past the n bytes. */
static int32_t next_text_code(const char *text, size_t n, size_t *pos)
{
  char seq[7] = {0};
  size_t avail = n - *pos < 6 ? n - *pos : 6;
  std::memcpy(seq, text + *pos, avail);
  int32_t code;
  int len = QX_wci_code(&code, seq);
  if (len > 0) {
    *pos += (size_t)len;
    return code;
  }
  *pos += 1;
  return (unsigned char)seq[0];
}

/* Make `words` free on the heap; term[0..live-1] and the tail (parked in term[live]) survive. */
static TAGGED make_room(worker *w, uint32_t words, TAGGED tail, int live)
{
  if (!qx_heap_short(w, words)) return tail;
  w->term[live] = tail;
  call_overflow(w, words, live + 1);
  return w->term[live];
}

/* Lays the list of count elements got from next() ending in tail; room for 5 words an element
 * (a pair and a boxed integer) was made. 0, with nothing built, when a code has no character
 * atom (a negative code, or a full atom table). */
template <class Next>
static TAGGED lay_list(worker *w, size_t count, TAGGED tail, int as_codes, Next next)
{
  TAGGED *cells = w->global_top;
  w->global_top += 2 * count;
  for (size_t i = 0; i < count; i++) {
    int32_t code = next();
    TAGGED element = as_codes ? make_integer(w, code) : qx_char_atom(code);
    if (element == 0) {
      w->global_top = cells;
      return 0;
    }
    cells[2 * i] = element;
    cells[2 * i + 1] = i + 1 < count ? MakeLst(cells + 2 * i + 2) : tail;
  }
  return MakeLst(cells);
}

TAGGED qx_n_ints_to_list(worker *w, size_t n, const int32_t *codes, TAGGED tail, int as_codes,
                         uint32_t extra, int live)
{
  if (n == 0) return tail;
  tail = make_room(w, (uint32_t)(5 * n + 129 + extra), tail, live);
  size_t i = 0;
  return lay_list(w, n, tail, as_codes, [&] { return codes[i++]; });
}

TAGGED qx_n_codes_to_list(worker *w, size_t n, const char *text, TAGGED tail, int live)
{
  size_t count = 0;
  for (size_t pos = 0; pos < n; count++) next_text_code(text, n, &pos);
  if (count == 0) return tail;
  tail = make_room(w, (uint32_t)(5 * count + 129), tail, live);
  size_t pos = 0;
  return lay_list(w, count, tail, 1, [&] { return next_text_code(text, n, &pos); });
}
