/* Making a clause's code from its instance body.
 *
 * Template cells are made by a depth-first walk in the order the interpreter meets the cells at
 * run time (arguments left to right, each one whole before the next), which is what makes the
 * first-occurrence marks right; a ground compound is not walked but named in the instance. The
 * body is compiled in execution order: conjunctions in line, disjunctions and if-then-else with
 * nodes that resume at their else branch, \+ as (G -> fail ; true). A variable first met in only
 * one of two branches that both go on is given a fresh value at the end of the other, so whatever
 * follows may read it. Control constructs nested deeper than kMaxDepth run as terms and
 * conjunctions are made in a loop, which keeps the maker's recursion bounded.
 */
#include "clause_code.h"

#include <algorithm>

#include "atoms.h"
#include "wam_internal.h"

namespace {

constexpr int kMaxDepth = 64;

/* Arguments still to make: the next block word, the next body index, how many are left. */
struct Run {
  uint32_t dest;
  uint32_t src;
  uint32_t left;
};

/* The maker's buffers, kept from one clause to the next. */
struct Buffers {
  std::vector<uint32_t> info, starts, blocks, instr, slot_of;
  std::vector<uint8_t> seen;
  std::vector<Run> runs;
  std::vector<TAGGED> rights;
  /* A huge clause's buffers go, so that one clause does not hold memory for good. */
  void trim()
  {
    constexpr size_t kKept = 1 << 16;
    for (auto *v : {&info, &starts, &blocks, &instr, &slot_of})
      if (v->capacity() > kKept) std::vector<uint32_t>().swap(*v);
    if (seen.capacity() > kKept) std::vector<uint8_t>().swap(seen);
    if (runs.capacity() > kKept) std::vector<Run>().swap(runs);
    if (rights.capacity() > kKept) std::vector<TAGGED>().swap(rights);
  }
} buffers;

/* The body's blocks, which an instance lays out one after the other in the order they were met
 * (the root first, children after their parents). Per block start: its words with those of its
 * compound arguments, times two, plus one when a variable is in it. */
void analyse(const TAGGED *body, uint32_t words, std::vector<uint32_t> &info)
{
  info.assign(words, 0);
  if (words < 2) return;
  std::vector<uint32_t> &starts = buffers.starts;
  starts.clear();
  for (uint32_t i = 0; i < words;) {
    TAGGED c = body[i];
    starts.push_back(i);
    i += IsBoxHeader(c)                     ? (uint32_t)BoxWords(c)
         : IsFunctorCell(c) && Arity(c) > 0 ? 1 + Arity(c)
                                            : 2;
  }
  for (size_t k = starts.size(); k-- > 0;) {
    uint32_t s = starts[k];
    TAGGED c = body[s];
    if (IsBoxHeader(c)) {
      info[s] = (uint32_t)BoxWords(c) << 1;
      continue;
    }
    bool str = IsFunctorCell(c) && Arity(c) > 0;
    uint32_t first = str ? s + 1 : s, n = str ? Arity(c) : 2;
    uint32_t size = n + (str ? 1 : 0), vars = 0;
    for (uint32_t i = first; i < first + n; i++) {
      TAGGED a = body[i];
      if (IsRef(a)) {
        vars = 1;
      } else if (!IsConst(a)) {
        uint32_t child = info[((a & ~(TAGGED)3) - (uint32_t)sizeof(instance)) >> 2];
        size += child >> 1;
        vars |= child & 1;
      }
    }
    info[s] = size << 1 | vars;
  }
}

struct Maker {
  const TAGGED *body;
  std::vector<uint32_t> &blocks;
  std::vector<uint32_t> &instr;   /* the body's instructions */
  std::vector<uint32_t> &info;    /* from analyse() */
  std::vector<uint32_t> &slot_of; /* body index of a variable -> slot + 1 (made when needed) */
  std::vector<uint8_t> &seen;     /* per slot: met on every path to here */
  std::vector<Run> &runs;         /* cell()'s stack */
  std::vector<TAGGED> &rights;    /* goal()'s stack: right sides of conjunctions still to make */
  uint32_t nvars = 0;
  uint32_t words;

  Maker(const TAGGED *b, uint32_t n)
      : body(b), blocks(buffers.blocks), instr(buffers.instr), info(buffers.info),
        slot_of(buffers.slot_of), seen(buffers.seen), runs(buffers.runs), rights(buffers.rights),
        words(n)
  {
    analyse(b, n, info);
    blocks.clear();
    instr.clear();
    slot_of.clear();
    seen.clear();
    runs.clear();
    rights.clear();
  }
  ~Maker() { buffers.trim(); }

  static uint32_t index(TAGGED offset_cell)
  {
    return ((offset_cell & ~(TAGGED)3) - (uint32_t)sizeof(instance)) >> 2;
  }
  uint32_t new_slot()
  {
    seen.push_back(0);
    return nvars++;
  }
  uint32_t &slot_entry(TAGGED var)
  {
    if (slot_of.empty()) slot_of.resize(words, 0);
    return slot_of[index(var)];
  }
  uint32_t var_cell(TAGGED c)
  {
    uint32_t &s = slot_entry(c);
    if (s == 0) s = new_slot() + 1;
    bool first = !seen[s - 1];
    seen[s - 1] = 1;
    return qx_t_var(s - 1, first);
  }
  bool met(TAGGED var)
  {
    uint32_t s = slot_entry(var);
    return s && seen[s - 1];
  }

  /* The template cell of instance cell c; *heap grows by the heap words it takes when built (a
   * variable's first occurrence inside a block is the block's cell itself). */
  uint32_t cell(TAGGED c, uint32_t *heap);
  uint32_t place(TAGGED c, uint32_t *heap);

  /* Compiles goal g; answers whether control goes on after it. `tail`: nothing follows in the
   * body; cut_slot: the slot of the condition a cut is local to, or -1 for the clause. */
  bool goal(TAGGED g, bool tail, int64_t cut_slot, int depth);
  bool single(TAGGED g, bool tail, int64_t cut_slot, int depth);
  bool control(TAGGED g, TAGGED f, bool tail, int64_t cut_slot, int depth);
  bool branches(TAGGED cond, TAGGED then, TAGGED otherwise, bool ite, bool tail, int64_t cut_slot,
                int depth);
  void call(TAGGED g, TAGGED f, bool tail, int inline_kind);
  void term_goal(TAGGED g, bool tail, int64_t cut_slot);
  uint32_t emit(uint32_t word)
  {
    instr.push_back(word);
    return (uint32_t)instr.size() - 1;
  }
  uint32_t here() const { return (uint32_t)instr.size(); }
  void inits(const std::vector<uint8_t> &have, const std::vector<uint8_t> &need)
  {
    for (uint32_t s = 0; s < need.size(); s++)
      if (need[s] && !have[s]) {
        emit(QX_OP_INIT);
        emit(s);
      }
  }
};

uint32_t Maker::cell(TAGGED c, uint32_t *heap)
{
  if (IsConst(c)) return c;
  if (IsRef(c)) return var_cell(c);
  /* Depth first with an explicit stack of argument runs; the top-level cell is placed first. */
  uint32_t result = place(c, heap);
  while (!runs.empty()) {
    Run &run = runs.back();
    uint32_t dest = run.dest++, src = run.src++;
    if (--run.left == 0) runs.pop_back();
    TAGGED arg = body[src];
    uint32_t t = IsConst(arg) ? arg : IsRef(arg) ? var_cell(arg) : place(arg, heap);
    blocks[dest] = t;
  }
  return result;
}

/* A block whose argument cells in the body are all variables or constants. */
bool flat(const TAGGED *args, uint32_t n)
{
  for (uint32_t i = 0; i < n; i++)
    if (!IsConst(args[i]) && !IsRef(args[i])) return false;
  return true;
}

/* The cell of compound c: the instance's own block when ground, else a block of the code whose
 * arguments are left as a run on the stack. */
uint32_t Maker::place(TAGGED c, uint32_t *heap)
{
  uint32_t src = index(c);
  *heap += info[src] >> 1;
  if (!(info[src] & 1)) return qx_t_ground(c & ~(TAGGED)3, TagOf(c));
  uint32_t at = (uint32_t)blocks.size();
  if (IsLst(c)) {
    blocks.resize(at + 2);
    runs.push_back(Run{at, src, 2});
    return qx_t_block(at, QX_T_LST, flat(body + src, 2));
  }
  TAGGED f = body[src];
  uint32_t n = Arity(f);
  blocks.resize(at + 1 + n);
  blocks[at] = qx_t_functor(f);
  runs.push_back(Run{at + 1, src + 1, n});
  return qx_t_block(at, QX_T_STR, flat(body + src + 1, n));
}

/* True when the instance subterm c holds the variable whose canonical cell is at body index v. */
bool holds_var(const TAGGED *body, TAGGED c, uint32_t v)
{
  std::vector<TAGGED> todo{c};
  while (!todo.empty()) {
    TAGGED t = todo.back();
    todo.pop_back();
    if (IsConst(t)) continue;
    uint32_t at = Maker::index(t);
    if (IsRef(t)) {
      if (at == v) return true;
      continue;
    }
    uint32_t n = IsLst(t) ? 2 : IsBoxHeader(body[at]) ? 0 : Arity(body[at]);
    uint32_t first = IsLst(t) ? at : at + 1;
    for (uint32_t i = 0; i < n; i++) todo.push_back(body[first + i]);
  }
  return false;
}

void Maker::call(TAGGED g, TAGGED f, bool tail, int inline_kind)
{
  uint32_t arity = IsAtom(g) ? 0 : Arity(f);
  const TAGGED *args = IsAtom(g) ? nullptr : body + index(g) + 1;
  uint32_t at = emit(QX_OP_CALL | arity << 8 | (tail ? QX_CALL_LAST : 0));
  emit(0); /* heap words */
  emit(f);
  emit(0); /* the site's cache */
  emit(0);
  uint32_t heap = 0;
  if (inline_kind == QX_INLINE_UNIFY) {
    /* X = T (or T = X) with X met here first and not inside T: X takes T's value. */
    for (int side = 0; side < 2; side++) {
      TAGGED x = args[side], t = args[1 - side];
      if (!IsRef(x) || met(x) || holds_var(body, t, index(x))) continue;
      instr.push_back(var_cell(x));
      uint32_t value = cell(t, &heap);
      if (IsRef(t) && qx_t_first(value)) heap++;
      instr.push_back(value);
      instr[at] |= (uint32_t)QX_INLINE_ASSIGN << QX_CALL_INLINE_SHIFT;
      instr[at + 1] = heap;
      return;
    }
  }
  bool seen_vars = inline_kind == QX_INLINE_NONE;
  for (uint32_t i = 0; i < arity; i++) {
    uint32_t t = cell(args[i], &heap);
    if (IsRef(args[i]) && qx_t_first(t)) heap++; /* a variable argument of its own */
    seen_vars &= (t & 7) == QX_T_VAR;
    instr.push_back(t);
  }
  instr[at] |= (uint32_t)inline_kind << QX_CALL_INLINE_SHIFT | (seen_vars ? QX_CALL_SEEN : 0);
  instr[at + 1] = heap;
}

void Maker::term_goal(TAGGED g, bool tail, int64_t cut_slot)
{
  uint32_t at =
      emit(QX_OP_GOAL | (tail ? QX_CALL_LAST : 0) | (cut_slot >= 0 ? QX_GOAL_LOCAL_CUT : 0));
  emit(0);
  if (cut_slot >= 0) emit((uint32_t)cut_slot);
  uint32_t heap = 0;
  uint32_t t = cell(g, &heap);
  if (IsRef(g) && qx_t_first(t)) heap++;
  instr.push_back(t);
  instr[at + 1] = heap;
}

/* A conjunction, nested either way, is its goals in order: the right sides wait on a stack, so
 * that no shape of conjunction makes the maker recurse. */
bool Maker::goal(TAGGED g, bool tail, int64_t cut_slot, int depth)
{
  size_t base = rights.size();
  for (;;) {
    while (IsStr(g) && body[index(g)] == functor_comma2) {
      rights.push_back(body[index(g) + 2]);
      g = body[index(g) + 1];
    }
    bool last = rights.size() == base;
    bool goes_on = single(g, tail && last, cut_slot, depth);
    if (last || !goes_on) {
      rights.resize(base);
      return goes_on;
    }
    g = rights.back();
    rights.pop_back();
  }
}

/* A goal other than a conjunction. */
bool Maker::single(TAGGED g, bool tail, int64_t cut_slot, int depth)
{
  TAGGED f = IsAtom(g) ? g : IsStr(g) ? body[index(g)] : 0;
  int kind = f && !IsBoxHeader(f) ? qx_goal_kind(f) : QX_GOAL_TERM;
  if (depth >= kMaxDepth && kind >= QX_GOAL_DISJ && kind <= QX_GOAL_NOT) kind = QX_GOAL_TERM;
  if (kind > QX_GOAL_FAIL && kind < QX_GOAL_INLINE) kind = QX_GOAL_TERM; /* own rules */
  switch (kind) {
  case QX_GOAL_PRED: call(g, f, tail, QX_INLINE_NONE); return !tail;
  case QX_GOAL_TRUE: break;
  case QX_GOAL_FAIL: emit(QX_OP_FAIL); return false;
  case QX_GOAL_CUT:
    if (cut_slot < 0) {
      emit(QX_OP_CUT);
    } else {
      emit(QX_OP_CUT_LOCAL);
      emit((uint32_t)cut_slot);
    }
    break;
  case QX_GOAL_DISJ:
  case QX_GOAL_ARROW:
  case QX_GOAL_NOT: return control(g, f, tail, cut_slot, depth);
  default:
    if (kind >= QX_GOAL_INLINE)
      call(g, f, tail, kind - (int)QX_GOAL_INLINE + (int)QX_INLINE_UNIFY);
    else
      term_goal(g, tail, cut_slot);
    return !tail;
  }
  if (tail) emit(QX_OP_PROCEED);
  return !tail;
}

bool Maker::control(TAGGED g, TAGGED f, bool tail, int64_t cut_slot, int depth)
{
  const TAGGED *args = body + index(g) + 1;
  if (f == qx_K.not_) return branches(args[0], 0, atom_true, true, tail, cut_slot, depth);
  if (f == qx_K.arrow) return branches(args[0], args[1], atom_fail, true, tail, cut_slot, depth);
  TAGGED left = args[0];
  if (IsStr(left) && body[index(left)] == qx_K.arrow) {
    const TAGGED *ite = body + index(left) + 1;
    return branches(ite[0], ite[1], args[1], true, tail, cut_slot, depth);
  }
  return branches(0, left, args[1], false, tail, cut_slot, depth);
}

/* (Cond -> Then ; Otherwise) when ite (Then 0: fail, as \+ makes it), else (Then ; Otherwise).
 * Layout: the node; the condition and THEN; the first branch and a jump to its fix-ups; the other
 * branch, its fix-ups and a jump past; the first branch's fix-ups. */
bool Maker::branches(TAGGED cond, TAGGED then, TAGGED otherwise, bool ite, bool tail,
                     int64_t cut_slot, int depth)
{
  uint32_t slot = 0;
  if (ite) {
    slot = new_slot();
    emit(QX_OP_ITE);
    emit(slot);
  } else {
    emit(QX_OP_DISJ);
  }
  uint32_t else_at = emit(0);
  std::vector<uint8_t> at_start = seen;
  bool first_goes_on = true;
  if (ite) {
    first_goes_on = goal(cond, false, slot, depth + 1);
    if (first_goes_on) {
      emit(QX_OP_THEN);
      emit(slot);
    }
  }
  if (first_goes_on && then) {
    first_goes_on = goal(then, tail, cut_slot, depth + 1);
  } else if (first_goes_on) {
    emit(QX_OP_FAIL);
    first_goes_on = false;
  }
  std::vector<uint8_t> after_first = seen;
  uint32_t first_jump = 0;
  if (first_goes_on) {
    emit(QX_OP_JUMP);
    first_jump = emit(0);
  }
  instr[else_at] = here();
  seen = at_start;
  seen.resize(after_first.size(), 0);
  bool second_goes_on = goal(otherwise, tail, cut_slot, depth + 1);
  std::vector<uint8_t> after_second = seen;
  after_first.resize(after_second.size(), 0);
  bool both = first_goes_on && second_goes_on;
  uint32_t second_jump = 0;
  if (both) {
    inits(after_second, after_first);
    emit(QX_OP_JUMP);
    second_jump = emit(0);
  }
  if (first_goes_on) {
    instr[first_jump] = here();
    if (both) inits(after_first, after_second);
  }
  if (both) {
    instr[second_jump] = here();
    for (size_t s = 0; s < after_first.size(); s++) after_first[s] |= after_second[s];
  }
  seen = first_goes_on ? after_first : after_second;
  return first_goes_on || second_goes_on;
}

}  // namespace

void qx_code_make(const TAGGED *body, uint32_t words, uint32_t code_offset,
                  std::vector<uint32_t> &code, qx_code_shape *shape)
{
  Maker m(body, words);
  const TAGGED *head = nullptr; /* the head's block: functor and arguments */
  TAGGED goals = atom_true;
  if (words > 1 && body[0] == qx_K.neck) {
    if (!IsConst(body[1])) head = body + Maker::index(body[1]);
    goals = body[2];
  } else if (words > 1 && IsFunctorCell(body[0]) && Arity(body[0]) > 0) {
    head = body;
  }
  uint32_t arity = head ? Arity(head[0]) : 0;
  code.assign(arity + 1, 0);
  shape->head_heap = 0;
  for (uint32_t i = 0; i < arity; i++) code[i] = m.cell(head[1 + i], &shape->head_heap);
  shape->head_vars = m.nvars;
  if (goals != atom_true) m.goal(goals, true, -1, 0);
  shape->blocks = arity + 1;
  /* The word before the blocks: how far back the instance starts. */
  code[arity] = code_offset + shape->blocks * (uint32_t)sizeof(uint32_t);
  code.insert(code.end(), m.blocks.begin(), m.blocks.end());
  shape->body = m.instr.empty() ? QX_NO_BODY : (uint32_t)code.size();
  code.insert(code.end(), m.instr.begin(), m.instr.end());
  shape->nvars = m.nvars;
}
