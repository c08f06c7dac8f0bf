/* Term <-> instance copying.
 *
 * Copying in is a breadth-first (Cheney) scan over a growable word buffer: every compound cell
 * reserves its block at the end of the buffer and its argument cells are converted when the scan
 * reaches them, so no recursion is needed however deep the term. Variables met for the first time
 * are forwarded by writing a marker word (a box-header pattern carrying the body index, which no
 * reference can otherwise lead to) into the variable's own cell; the cells are reset afterwards.
 */
#include "instance.h"

#include <cstring>
#include <unordered_map>
#include <vector>

#include "atoms.h"
#include "memman.h"

int (*qx_dbref_valid_hook)(TAGGED a, TAGGED b) = nullptr;

namespace {

constexpr uint32_t kHeaderBytes = sizeof(instance);
constexpr size_t kKeptWords = 1 << 16;

/* Forward marker: sign bit and low bits 111 like a box header, the body index in bits 3-30. */
inline TAGGED forward_mark(uint32_t index) { return 0x80000007u | (index << 3); }
inline uint32_t forward_index(TAGGED mark) { return (mark & 0x7FFFFFF8u) >> 3; }

inline TAGGED offset_cell(uint32_t index, TAGGED tag) { return (kHeaderBytes + index * 4) | tag; }

/* Whether a cycle can be reached from t: an iterative depth-first walk that colours each
 * compound block while it is on the path (false) and once it is done (true), so that shared
 * subterms are walked once. Variable cells holding a copy's forward marker count as variables. */
bool reaches_cycle(TAGGED t)
{
  struct step {
    const TAGGED *args;
    uint32_t next, count;
  };
  std::unordered_map<const TAGGED *, bool> colour;
  std::vector<step> path;
  auto enter = [&](TAGGED v) {
    v = deref(v);
    const TAGGED *block;
    uint32_t count;
    if (IsLst(v)) {
      block = LstPtr(v);
      count = 2;
    } else if (IsStr(v) && !IsBoxHeader(*StrPtr(v)) && *StrPtr(v) != functor_ref2) {
      block = StrPtr(v);
      count = Arity(*block);
      block++;
    } else {
      return true;
    }
    auto [it, fresh] = colour.try_emplace(block, false);
    if (!fresh) return it->second; /* on the path: a cycle */
    path.push_back({block, 0, count});
    return true;
  };
  if (!enter(t)) return true;
  while (!path.empty()) {
    step &top = path.back();
    if (top.next == top.count) {
      colour[top.args] = true;
      path.pop_back();
    } else if (!enter(top.args[top.next++])) {
      return true;
    }
  }
  return false;
}

/* The buffers of copies in, kept between copies (a copy never starts another one). */
std::vector<TAGGED> body_buffer;
std::vector<TAGGED *> forwarded_buffer;

struct CopyIn {
  std::vector<TAGGED> &body;
  std::vector<TAGGED *> &forwarded; /* variable cells holding a forward marker */
  TAGGED private_ref = 0;
  /* A copy that outgrows the heap in use is of a term with shared subterms or of a cyclic one:
   * it is checked once for a cycle, which would make it grow without end. */
  TAGGED root = 0;
  size_t budget = 0;

  CopyIn() : body(body_buffer), forwarded(forwarded_buffer)
  {
    body.clear();
    forwarded.clear();
  }
  /* A huge term's buffers go, so that one copy does not hold memory for good. */
  ~CopyIn()
  {
    if (body.capacity() > kKeptWords) std::vector<TAGGED>().swap(body);
    if (forwarded.capacity() > kKeptWords) std::vector<TAGGED *>().swap(forwarded);
  }

  /* Dereference a source term; a forwarded variable comes back as its marker. */
  static TAGGED follow(TAGGED t)
  {
    while (IsRef(t)) {
      TAGGED next = *RefPtr(t);
      if (next == t || IsBoxHeader(next)) return next == t ? t : next;
      t = next;
    }
    return t;
  }

  uint32_t reserve(uint32_t words)
  {
    uint32_t at = (uint32_t)body.size();
    if (at + words > budget) {
      if (root && reaches_cycle(root)) qx_memory_fault("cyclic term", QX_SPACE_DATABASE);
      budget = SIZE_MAX;
    }
    body.resize(at + words);
    return at;
  }

  /* A variable cell inside a block (an argument slot that is its own variable) may already hold
   * its forward marker when the block is placed: a reference met earlier forwarded it. Its copy
   * becomes a reference to the cell, which the scan converts like any other; left as it is, the
   * scan would take the marker for a box. No other argument word has the shape of a box header. */
  void forward_cells(uint32_t at, const TAGGED *src, uint32_t n)
  {
    for (uint32_t k = 0; k < n; k++)
      if (IsBoxHeader(body[at + k])) body[at + k] = MakeRef(src + k);
  }

  /* Store at body[at] the block of a compound/box/list source value; returns the tag to use. */
  void place_block(TAGGED value, uint32_t at_cell, bool root)
  {
    if (IsLst(value)) {
      uint32_t at = root ? 0 : reserve(2);
      if (root) body.resize(2);
      const TAGGED *src = LstPtr(value);
      body[at] = src[0];
      body[at + 1] = src[1];
      forward_cells(at, src, 2);
      if (!root) body[at_cell] = offset_cell(at, QX_TAG_LST);
      return;
    }
    const TAGGED *src = StrPtr(value);
    TAGGED head = src[0];
    uint32_t words = IsBoxHeader(head) ? (uint32_t)BoxWords(head) : Arity(head) + 1;
    uint32_t at = root ? 0 : reserve(words);
    if (root) body.resize(words);
    std::memcpy(&body[at], src, words * sizeof(TAGGED));
    if (!IsBoxHeader(head)) forward_cells(at + 1, src + 1, words - 1);
    if (head == functor_ref2) {
      if (qx_dbref_valid_hook && qx_dbref_valid_hook(src[1], src[2])) {
        body[at + 1] = deref(src[1]); /* the two raw words, never pointers */
        body[at + 2] = deref(src[2]);
      } else {
        body[at] = private_ref;
      }
    }
    if (!root) body[at_cell] = offset_cell(at, QX_TAG_STR);
  }

  /* Convert the source cell at body[i] in place. */
  void convert(uint32_t i)
  {
    TAGGED v = follow(body[i]);
    if (IsRef(v)) {
      TAGGED *cell = RefPtr(v);
      *cell = forward_mark(i);
      forwarded.push_back(cell);
      body[i] = offset_cell(i, QX_TAG_REF);
    } else if (IsBoxHeader(v)) {
      body[i] = offset_cell(forward_index(v), QX_TAG_REF);
    } else if (IsLst(v) || IsStr(v)) {
      place_block(v, i, false);
    } else {
      body[i] = v;
    }
  }

  void scan()
  {
    for (uint32_t i = 0; i < body.size(); i++) {
      TAGGED c = body[i];
      if (IsConst(c)) {
        if (IsBoxHeader(c)) {
          i += (uint32_t)BoxWords(c) - 1; /* payload is raw */
        } else if (c == functor_ref2) {
          i += 2; /* validated reference: two raw words */
        }
        continue;
      }
      convert(i);
    }
  }

  void reset_forwarded()
  {
    for (TAGGED *cell : forwarded) *cell = MakeRef(cell);
    forwarded.clear();
  }
};

}  // namespace

instance *qx_copy_to_instance(worker *w, TAGGED term)
{
  return qx_copy_to_instance_room(w, term, nullptr, nullptr);
}

instance *qx_copy_to_instance_room(worker *w, TAGGED term, qx_instance_room_fn room, void *arg)
{
  CopyIn copy;
  copy.private_ref = functor_ref_term2;
  copy.root = term;
  copy.budget = w ? (size_t)(w->global_top - w->heap_start) + 1024 : SIZE_MAX;
  try {
    TAGGED root = CopyIn::follow(term);
    if (IsLst(root) || IsStr(root)) {
      copy.place_block(root, 0, true);
      copy.scan();
    } else {
      /* An atomic or variable root is the whole body; a variable refers to itself. */
      copy.body.push_back(IsRef(root) ? offset_cell(0, QX_TAG_REF) : root);
    }
  } catch (...) {
    copy.reset_forwarded();
    throw;
  }
  copy.reset_forwarded();

  uint32_t words = (uint32_t)copy.body.size();
  uint32_t objsize = kHeaderBytes + words * (uint32_t)sizeof(TAGGED);
  uint32_t extra = room ? room(copy.body.data(), words, arg) : 0;
  uint32_t block = extra ? qx_instance_room_offset(objsize) + extra : objsize;
  instance *ins = (instance *)qx_checkalloc(block, QX_SPACE_DATABASE);
  std::memset(ins, 0, kHeaderBytes);
  ins->objsize = objsize;
  ins->birth = 0;
  ins->death = QX_CLOCK_ALIVE;
  std::memcpy(ins->body, copy.body.data(), words * sizeof(TAGGED));
  return ins;
}

TAGGED qx_copy_from_instance(worker *w, const instance *ins)
{
  uint32_t words = qx_instance_body_words(ins);
  TAGGED *dest = w->global_top;
  const TAGGED *src = ins->body;
  const TAGGED base = (TAGGED)(uintptr_t)dest - kHeaderBytes;
  const TAGGED private_ref = functor_ref_term2;

  for (uint32_t i = 0; i < words; i++) {
    TAGGED c = src[i];
    if (!IsConst(c)) {
      dest[i] = c + base;
    } else if (!IsBoxHeader(c)) {
      dest[i] = c;
      if (c == functor_ref2) {
        dest[i + 1] = src[i + 1];
        dest[i + 2] = src[i + 2];
        i += 2;
      } else if (c == private_ref) {
        dest[i] = functor_ref2;
      }
    } else {
      uint32_t n = (uint32_t)BoxWords(c);
      std::memcpy(dest + i, src + i, n * sizeof(TAGGED));
      i += n - 1;
    }
  }
  w->global_top = dest + words;

  TAGGED first = src[0];
  if (words == 1) return IsRef(first) ? MakeRef(dest) : dest[0];
  if (IsBoxHeader(first) || (IsFunctorCell(first) && Arity(first) > 0)) return MakeStr(dest);
  return MakeLst(dest);
}

void qx_free_instance(instance *ins)
{
  if (ins) qx_checkdealloc(ins, ins->objsize, QX_SPACE_DATABASE);
}
