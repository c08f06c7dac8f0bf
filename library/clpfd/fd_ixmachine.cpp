/* The indexical machine: evaluates one posted ix/7 record with a stack machine over tagged words
 * (worker term slots from IX_STACK_BASE up), prunes its argument or decides its check, and ends
 * the run with the record's status update; plus the set helpers its instructions use.
 *
 * Values on the stack are small integers, inf and sup, FD sets ([] or a list of [Min|Max]) in
 * temporary storage, on the heap or in a literal block, code addresses (small integers) and
 * attribute terms. Nothing here allocates heap words before the run's single pruning, which ends
 * it, so the heap terms the run reads (Args, Attrs, domains) stay put while it works; the record
 * itself is parked in term slot 0 across everything after that.
 */
#include <algorithm>
#include <iterator>

#include "fd_bounds.h"
#include "fd_indexical.h"
#include "fd_propagate.h"
#include "fd_sets.h"

/* ---- the operand table ---- */

namespace {

/* Operand words after each opcode, looked up once per instruction. */
struct operand_table {
  uint8_t words[IX_LAST_OPCODE + 1] = {};
  constexpr operand_table()
  {
    for (ix_byte op :
         {18, 21, 22, 23, 25, 29, 33, 37, 41, 42, 43, 44, 52, 61, 62, 63, 65, 80, 81, 82})
      words[op] = 1;
    words[64] = words[69] = 2;
  }
};
constexpr operand_table operand_words;

}  // namespace

int ix_operands(ix_byte opcode)
{
  return opcode <= IX_LAST_OPCODE ? operand_words.words[opcode] : 0;
}

/* ---- set helpers ---- */

namespace {

/* Bounds as 64-bit integers for sums: inf and sup far outside the small-integer range, so that
 * a sum involving one stays beyond the range on its side. */
constexpr int64_t WIDE_INF = -(INT64_C(1) << 40), WIDE_SUP = INT64_C(1) << 40;

int64_t wide(TAGGED b)
{
  if (IsSmall(b)) return GetSmall(b);
  return b == atom_inf ? WIDE_INF : WIDE_SUP;
}

/* Clamps a wide value to the points just outside the range, where inf and sup stand. */
int64_t clamp(int64_t v) { return std::clamp<int64_t>(v, FDS_INF, FDS_SUP); }

struct wide_interval {
  int64_t lo, hi;
};

/* The set of n intervals (any order, overlapping or not), each clipped to lo..hi. */
TAGGED merge_intervals(ORVALIS_API_STRUCT *api, worker *w, wide_interval *v, size_t n, int64_t lo,
                       int64_t hi)
{
  size_t kept = 0;
  for (size_t i = 0; i < n; i++) {
    int64_t a = clamp(std::max(v[i].lo, lo)), b = clamp(std::min(v[i].hi, hi));
    if (a <= b) v[kept++] = {a, b};
  }
  std::sort(v, v + kept,
            [](const wide_interval &x, const wide_interval &y) { return x.lo < y.lo; });
  fds_builder out(api, w);
  for (size_t i = 0; i < kept;) {
    int64_t a = v[i].lo, b = v[i].hi;
    for (i++; i < kept && v[i].lo <= b + 1; i++) b = std::max(b, v[i].hi);
    out.add(fds_bound((int32_t)a), fds_bound((int32_t)b));
  }
  return out.close(atom_nil);
}

/* The pointwise sum (sign 1) or difference (sign -1) of two sets, clipped to lo..hi. */
TAGGED pointwise(ORVALIS_API_STRUCT *api, worker *w, TAGGED s1, TAGGED s2, TAGGED lo, TAGGED hi,
                 int sign)
{
  size_t n1 = 0, n2 = 0;
  for (TAGGED l = s1; IsLst(l); l = fds_next(l)) n1++;
  for (TAGGED l = s2; IsLst(l); l = fds_next(l)) n2++;
  if (!n1 || !n2) return atom_nil;
  auto *v = (wide_interval *)fd_temp_alloc(api, w, n1 * n2 * sizeof(wide_interval));
  size_t n = 0;
  for (TAGGED a = s1; IsLst(a); a = fds_next(a))
    for (TAGGED b = s2; IsLst(b); b = fds_next(b)) {
      TAGGED *x = fds_interval(a), *y = fds_interval(b);
      if (sign > 0)
        v[n++] = {wide(x[0]) + wide(y[0]), wide(x[1]) + wide(y[1])};
      else
        v[n++] = {wide(x[0]) - wide(y[1]), wide(x[1]) - wide(y[0])};
    }
  return merge_intervals(api, w, v, n, wide(lo), wide(hi));
}

/* The residues of lo..hi modulo m, as a range rlo..rhi (m's residue range) with the residues of
 * an interval narrower than |m| exact, in at most two intervals; floor (floored modulo) or
 * truncated remainder of a non-negative interval. */
TAGGED residues(ORVALIS_API_STRUCT *api, worker *w, int64_t lo, int64_t hi, int64_t m, int64_t rlo,
                int64_t rhi)
{
  int64_t size = m < 0 ? -m : m;
  fds_builder out(api, w);
  if (lo > WIDE_INF / 2 && hi < WIDE_SUP / 2 && hi - lo + 1 < size) {
    int64_t r1 = lo % m, r2 = hi % m;
    if (r1 != 0 && (r1 < 0) != (m < 0)) r1 += m;
    if (r2 != 0 && (r2 < 0) != (m < 0)) r2 += m;
    if (r1 <= r2) {
      out.add(MakeSmall((int32_t)r1), MakeSmall((int32_t)r2));
    } else {
      out.add(MakeSmall((int32_t)rlo), MakeSmall((int32_t)r2));
      out.add(MakeSmall((int32_t)r1), MakeSmall((int32_t)rhi));
    }
  } else {
    out.add(MakeSmall((int32_t)rlo), MakeSmall((int32_t)rhi));
  }
  return out.close(atom_nil);
}

}  // namespace

TAGGED fd_multiples(ORVALIS_API_STRUCT *api, worker *w, TAGGED n, TAGGED k)
{
  if (!IsSmall(n) || !IsSmall(k)) {
    fd_state(api)->fd_overflow = 1;
    return atom_nil;
  }
  int64_t count = GetSmall(n), step = GetSmall(k);
  if (count < 0) return atom_nil;
  if (!SmallFits(count * step)) {
    fd_state(api)->fd_overflow = 1;
    return atom_nil;
  }
  fds_builder out(api, w);
  if (step == 0) {
    out.add(MakeSmall(0), MakeSmall(0));
  } else if (step == 1 || step == -1) {
    out.add(MakeSmall((int32_t)std::min<int64_t>(0, count * step)),
            MakeSmall((int32_t)std::max<int64_t>(0, count * step)));
  } else {
    for (int64_t i = 0; i <= count; i++) {
      TAGGED v = MakeSmall((int32_t)(step > 0 ? i * step : (count - i) * step));
      out.add(v, v);
    }
  }
  return out.close(atom_nil);
}

TAGGED fd_setrem_interval(ORVALIS_API_STRUCT *api, worker *w, TAGGED min, TAGGED max, TAGGED m)
{
  int64_t lo = wide(min), hi = wide(max), size = GetSmall(m);
  if (lo >= 0) return residues(api, w, lo, hi, size, 0, size - 1);
  if (hi > 0)
    return fd_interval(api, w, MakeSmall((int32_t)(1 - size)), MakeSmall((int32_t)(size - 1)));
  /* x rem m = -((-x) rem m) below 0: the residues of the mirrored interval, mirrored back */
  TAGGED positive = residues(api, w, -hi, -lo, size, 0, size - 1);
  return fd_neg_offset(api, w, positive, MakeSmall(0));
}

TAGGED fd_plus(ORVALIS_API_STRUCT *api, worker *w, TAGGED s1, TAGGED s2, TAGGED lo, TAGGED hi)
{
  return pointwise(api, w, s1, s2, lo, hi, 1);
}

TAGGED fd_minus(ORVALIS_API_STRUCT *api, worker *w, TAGGED s1, TAGGED s2, TAGGED lo, TAGGED hi)
{
  return pointwise(api, w, s1, s2, lo, hi, -1);
}

/* ---- the machine ---- */

namespace {

enum ix_end {
  IX_NEXT, /* not an end: go on with the next instruction */
  IX_DONE,
  IX_GIVE_UP,
  IX_ENTAILED,
  IX_DISENTAILED,
  IX_UNDECIDED,
  IX_FAIL,
  IX_FAIL_UNCOUNTED,
  IX_OVERFLOW,
  IX_ERROR
};

bool is_bound(TAGGED t) { return fds_is_bound(t); }
bool is_set(TAGGED t) { return t == atom_nil || IsLst(t); }

/* An interval inf..inf or sup..sup in a set: its values left the small-integer range. */
bool degenerate(TAGGED set)
{
  for (TAGGED l = set; IsLst(l); l = fds_next(l))
    if (fds_interval(l)[0] == atom_sup || fds_interval(l)[1] == atom_inf) return true;
  return false;
}

/* Arguments of Args or Attrs: a list's two, a structure's; none of other terms. */
uint32_t term_arity(TAGGED term)
{
  if (IsLst(term)) return 2;
  return IsStr(term) ? Arity(StrFunctor(term)) : 0;
}
TAGGED *term_cells(TAGGED term) { return IsLst(term) ? LstPtr(term) : StrArgs(term); }

/* The dom/4 words of the argument whose Attrs cell is attr_cell; null when it has none. The usual
 * attribute, whose domain mutable holds the dom/4 itself, is read inline (as fd_attr_dom reads it,
 * from the attribute dereferenced once). */
QX_HOT_INLINE TAGGED *arg_dom(const TAGGED *attr_cell)
{
  TAGGED attr = deref(*attr_cell);
  if (!IsStr(attr)) return nullptr;
  TAGGED value = deref(StrArg(deref(StrArg(attr, 3)), 1));
  if (IsStr(value) && StrFunctor(value) == FD_FUNCTOR_DOM4) return StrPtr(value);
  TAGGED d = fd_attr_dom_chain(attr);
  return d ? StrPtr(d) : nullptr;
}

/* The argument a run prunes, X: its dom/4 words and its cells in Args and Attrs. Nothing on the
 * heap changes before the run's pruning, which ends it, so the words found stay valid. */
struct target {
  TAGGED *dom, *attr_cell, *var_cell;

  /* Whether X's bounds lie within lo..hi, so that pruning X to lo..hi leaves it as it is. */
  bool within(TAGGED lo, TAGGED hi) const
  {
    return fds_val(lo) <= fds_val(deref(dom[2])) && fds_val(hi) >= fds_val(deref(dom[3]));
  }
  /* Whether the small integer v lies outside X's bounds, so that removing it leaves X as it is. */
  bool outside(TAGGED v) const
  {
    TAGGED lo = deref(dom[2]), hi = deref(dom[3]);
    if (IsSmall(lo) && IsSmall(hi)) /* small integers compare as their words do */
      return (SIGNED_TAGGED)v < (SIGNED_TAGGED)lo || (SIGNED_TAGGED)v > (SIGNED_TAGGED)hi;
    return fds_val(v) < fds_val(lo) || fds_val(v) > fds_val(hi);
  }
  /* X's view in *x, loaded as dvar_init_ix loads it; its cells are the record's own. */
  dvar *load(dvar *x) const
  {
    *x = dvar{};
    x->set = deref(dom[1]);
    x->min = deref(dom[2]);
    x->max = deref(dom[3]);
    x->cookie = deref(dom[4]);
    x->attr_ref = attr_cell;
    x->var_ref = var_cell;
    x->flags = DV_SET_CURRENT | (x->min == x->max ? DV_FIXED : 0) |
               (IsLst(fds_next(x->set)) ? 0 : DV_INTERVAL);
    return x;
  }
};

/* The end after a pruning's change mask: exported right away, so that later readers see it. */
ix_end exported(ORVALIS_API_STRUCT *api, worker *w, int mask, dvar *x, TAGGED self)
{
  if (mask < 0) return fd_state(api)->fd_overflow ? IX_OVERFLOW : IX_FAIL;
  if (mask > 0) dvar_export_ix(api, w, x, self);
  return IX_DONE;
}

/* 49 X =\= v for the small integer v. */
QX_HOT_INLINE ix_end remove_value(ORVALIS_API_STRUCT *api, worker *w, const target &t, TAGGED v)
{
  if (t.outside(v)) return IX_DONE;
  if (dvar_remove_value_ix(api, w, t.dom, t.attr_cell, t.var_cell, v) >= 0) return IX_DONE;
  return fd_state(api)->fd_overflow ? IX_OVERFLOW : IX_FAIL;
}

/* 46 X =< b, 47 X >= b, 49 X =\= b, 51 X = b for the bound b; x the view to load X into. */
ix_end prune_target(ORVALIS_API_STRUCT *api, worker *w, const target &t, dvar *x, int op, TAGGED b)
{
  if (op == 46) {
    if (b == atom_inf) return IX_OVERFLOW;
    if (t.within(atom_inf, b)) return IX_DONE;
    return exported(api, w, dvar_fix_interval_t(t.load(x), atom_inf, b), x, 0);
  }
  if (op == 47) {
    if (b == atom_sup) return IX_OVERFLOW;
    if (t.within(b, atom_sup)) return IX_DONE;
    return exported(api, w, dvar_fix_interval_t(t.load(x), b, atom_sup), x, 0);
  }
  if (!IsSmall(b)) return IX_OVERFLOW;
  if (op == 51)
    return t.within(b, b) ? IX_DONE : exported(api, w, dvar_fix_interval_t(t.load(x), b, b), x, 0);
  return remove_value(api, w, t, b);
}

class machine {
public:
  /* attrs and ent: the record's Attrs and Dead, dereferenced. */
  machine(ORVALIS_API_STRUCT *api, worker *w, const indexical_info *info, TAGGED ix, TAGGED attrs,
          TAGGED ent)
      : api(api), w_(w), info_(info), ent_(ent), stack_(&w->term[IX_STACK_BASE])
  {
    TAGGED args = deref(StrArg(ix, 2));
    nargs_ = std::min(term_arity(args), term_arity(attrs));
    args_ = nargs_ ? term_cells(args) : nullptr;
    attrs_ = nargs_ ? term_cells(attrs) : nullptr;
  }

  /* Runs the code; fixed: the entailment flag to start with. */
  ix_end run(bool fixed)
  {
    e_ = fixed;
    return run();
  }
  int truth() const { return t_; }
  bool all_fixed() const { return e_; }
  const char *error() const { return error_; }

private:
  /* ---- stack ---- */
  ix_end fault(const char *what)
  {
    error_ = what;
    return IX_ERROR;
  }
  bool push(TAGGED v)
  {
    if (depth_ >= (uint32_t)IX_STACK_LIMIT) return false;
    stack_[depth_++] = v;
    return true;
  }
  bool pop(TAGGED *v)
  {
    if (depth_ <= 1) return false; /* something stays below for the instruction's top */
    *v = stack_[--depth_];
    return true;
  }
  bool pop_last(TAGGED *v)
  {
    if (depth_ == 0) return false;
    *v = stack_[--depth_];
    return true;
  }
  TAGGED &top() { return stack_[depth_ - 1]; }

  /* ---- arguments ---- */
  /* dom/4 of argument k, or null when there is no such argument. Nothing on the heap changes
   * before the run's pruning, which ends it, so a domain found once is kept for the run. */
  TAGGED *dom(ix_byte k)
  {
    if (k >= IX_CACHED_DOMS) return find_dom(k);
    if (!(cached_ >> k & 1)) {
      doms_[k] = find_dom(k);
      cached_ |= 1u << k;
    }
    return doms_[k];
  }
  /* dom/4 of argument k, looked up afresh. */
  TAGGED *find_dom(ix_byte k) const { return k < nargs_ ? arg_dom(attrs_ + k) : nullptr; }
  static bool fixed(const TAGGED *d) { return d[2] == d[3]; }

  TAGGED &local(uint32_t k)
  {
    if (!locals_set_) {
      std::fill(std::begin(locals_), std::end(locals_), MakeSmall(0));
      locals_set_ = true;
    }
    return locals_[k];
  }

  /* ---- operands ---- */
  ix_byte operand(int i) const { return info_->code[pc_ + 1 + i]; }

  ix_end unary(int op);
  ix_end binary(int op);
  ix_end argument_read(int op);
  ix_end read_field(ix_byte k, int field, bool entailment);
  ix_end read_argument(int op);
  ix_end prune(int op);
  ix_end check(int op);
  ix_end control(int op);
  ix_end run();

  ix_end arith(TAGGED b, int op);
  TAGGED residue_set(TAGGED set, int32_t m, bool rem);
  ix_end singleton(TAGGED v, TAGGED *out);
  ix_end prune_set(TAGGED set, TAGGED self);
  ix_end prune_by(int op, TAGGED b) { return prune_target(api, w_, x_target(), &x_, op, b); }
  ix_end pruned(int mask, TAGGED self) { return exported(api, w_, mask, &x_, self); }
  ix_end check_value(TAGGED v, int t);
  ix_end check_interval(TAGGED a, TAGGED b);
  ix_end decide(bool entailed, int t)
  {
    t_ = t;
    return entailed ? IX_ENTAILED : IX_DISENTAILED;
  }
  target x_target()
  {
    uint32_t k = info_->pruned;
    return {dom(k), attrs_ + k, args_ + k};
  }
  /* X's view from the dom/4 the run has found already (the caller checked that there is one). */
  dvar *load_x() { return x_target().load(&x_); }
  bool x_within(TAGGED lo, TAGGED hi) { return x_target().within(lo, hi); }

  ORVALIS_API_STRUCT *api; /* the handle the engine calls go through (QX_RESOURCE_API) */
  worker *w_;
  const indexical_info *info_;
  TAGGED ent_;
  TAGGED *stack_;
  uint32_t nargs_;        /* the arguments that have an attribute */
  TAGGED *args_, *attrs_; /* the cells of Args and Attrs */
  static constexpr uint32_t IX_CACHED_DOMS = 32;
  uint32_t cached_ = 0; /* bit k: doms_[k] holds argument k's dom/4 (or null) */
  TAGGED *doms_[IX_CACHED_DOMS];
  uint32_t depth_ = 0;
  uint32_t pc_ = 0;
  uint32_t next_ = 0; /* where the instruction continues */
  bool e_ = true;
  int t_ = 1;
  TAGGED locals_[IX_LOCALS];
  bool locals_set_ = false; /* the locals start at 0, set on first use */
  const char *error_ = nullptr;
  dvar x_;
};

ix_end machine::singleton(TAGGED v, TAGGED *out)
{
  if (!is_bound(v)) return fault("indexical value is no bound");
  if (!IsSmall(v)) return IX_OVERFLOW;
  *out = fd_interval(api, w_, v, v);
  return IX_NEXT;
}

/* top := top op b for the arithmetic instructions: 19 plus, 20 minus, 21/42/80 times, 22/43/81
 * divide rounding down, 23/44/82 rounding up, 24 modulo, 85 remainder. */
ix_end machine::arith(TAGGED b, int op)
{
  TAGGED a = top();
  if (!is_bound(a) || !is_bound(b)) return fault("indexical arithmetic on no bound");
  TAGGED r;
  switch (op) {
  case 19:
    if ((a == atom_inf && b == atom_sup) || (a == atom_sup && b == atom_inf)) return IX_GIVE_UP;
    r = fd_safe_plus(a, b);
    break;
  case 20:
    if (!IsSmall(a) && a == b) return IX_GIVE_UP;
    r = fd_safe_minus(a, b);
    break;
  case 21:
  case 42:
  case 80: r = fd_safe_mul(a, b); break;
  case 22:
  case 43:
  case 81:
  case 23:
  case 44:
  case 82:
    if (b == MakeSmall(0)) return IX_GIVE_UP;
    r = fd_safe_div(a, b, op == 23 || op == 44 || op == 82);
    break;
  default: /* 24, 85 */
    if (b == MakeSmall(0) || !IsSmall(a)) return IX_GIVE_UP;
    if (!IsSmall(b)) return IX_NEXT;
    if (op == 24)
      r = MakeSmall(fast_modi(GetSmall(a), GetSmall(b)));
    else
      r = MakeSmall(GetSmall(b) == -1 ? 0 : GetSmall(a) % GetSmall(b));
    break;
  }
  if (r == FD_UNDEFINED) return IX_GIVE_UP;
  top() = r;
  return IX_NEXT;
}

/* {x mod m} (floored, the sign of m) or, with rem, {x rem m} (truncated, the sign of x) over a
 * set; the remainder takes each interval crossing 0 in two parts. */
TAGGED machine::residue_set(TAGGED set, int32_t m, bool rem)
{
  int64_t size = m < 0 ? -(int64_t)m : m;
  size_t n = 0;
  for (TAGGED l = set; IsLst(l); l = fds_next(l)) n++;
  auto *v = (wide_interval *)fd_temp_alloc(api, w_, (4 * n + 1) * sizeof(wide_interval));
  size_t k = 0;
  for (TAGGED l = set; IsLst(l); l = fds_next(l)) {
    TAGGED lo = fds_interval(l)[0], hi = fds_interval(l)[1];
    TAGGED parts[2][2] = {{lo, hi}, {MakeSmall(0), hi}};
    int count = 1;
    if (rem && wide(lo) < 0 && wide(hi) > 0) {
      parts[0][1] = MakeSmall(-1);
      count = 2;
    }
    for (int p = 0; p < count; p++) {
      TAGGED s =
          rem ? fd_setrem_interval(api, w_, parts[p][0], parts[p][1], MakeSmall((int32_t)size))
              : residues(api, w_, wide(lo), wide(hi), m, m > 0 ? 0 : m + 1, m > 0 ? m - 1 : 0);
      for (; IsLst(s); s = fds_next(s))
        v[k++] = {wide(fds_interval(s)[0]), wide(fds_interval(s)[1])};
    }
  }
  return merge_intervals(api, w_, v, k, WIDE_INF, WIDE_SUP);
}

/* Instructions that replace the top by a function of it. */
ix_end machine::unary(int op)
{
  if (depth_ == 0) return fault("indexical stack underflow");
  TAGGED a = top();
  switch (op) {
  case 0: return singleton(a, &top());
  case 2:
  case 3:
    if (!is_bound(a)) return fault("indexical interval of no bound");
    if (a == (op == 2 ? atom_inf : atom_sup))
      top() = atom_nil;
    else
      top() = op == 2 ? fd_interval(api, w_, atom_inf, a) : fd_interval(api, w_, a, atom_sup);
    return IX_NEXT;
  case 8:
    if (!is_bound(a)) return fault("indexical complement of no bound");
    if (!IsSmall(a)) return IX_OVERFLOW;
    top() = fd_compl_interval(api, w_, a, a);
    return IX_NEXT;
  case 9:
    if (!is_set(a)) return fault("indexical complement of no set");
    top() = fd_complement(api, w_, a);
    return IX_NEXT;
  default: return fault("indexical opcode");
  }
}

/* Instructions that pop b and replace the top by a function of it and b. */
ix_end machine::binary(int op)
{
  TAGGED b;
  if (!pop(&b)) return fault("indexical stack underflow");
  TAGGED a = top(), r;
  bool set_a = is_set(a), set_b = is_set(b), bound_a = is_bound(a), bound_b = is_bound(b);
  switch (op) {
  case 4:
    if (!bound_a || !bound_b) return fault("indexical interval of no bound");
    if (a == b && !IsSmall(a)) return IX_OVERFLOW;
    r = a == atom_sup || b == atom_inf || fds_val(a) > fds_val(b) ? atom_nil
                                                                  : fd_interval(api, w_, a, b);
    break;
  case 5:
  case 6:
    if (!set_a || !bound_b) return fault("indexical shift of no set");
    r = fd_lsh(api, w_, a, op == 5 ? b : fd_safe_negate(b));
    if (degenerate(r)) return IX_OVERFLOW;
    break;
  case 7:
  case 86: {
    if (!set_a || !bound_b) return fault("indexical residues of no set");
    if (b == MakeSmall(0)) return IX_GIVE_UP;
    if (!IsSmall(b)) return IX_NEXT;
    r = residue_set(a, GetSmall(b), op == 86);
    break;
  }
  case 10:
  case 14: {
    if (!bound_a || !bound_b) return fault("indexical value is no bound");
    if (op == 14 && a != b) {
      r = atom_nil;
      break;
    }
    if (!IsSmall(a) || !IsSmall(b)) return IX_OVERFLOW;
    r = op == 10 ? fd_pair(api, w_, a, b) : fd_interval(api, w_, b, b);
    break;
  }
  case 11:
  case 12: {
    TAGGED set = op == 11 ? a : b, v = op == 11 ? b : a;
    if (!is_set(set) || !is_bound(v)) return fault("indexical insertion into no set");
    if (!IsSmall(v)) return IX_OVERFLOW;
    r = fd_insert_into(api, w_, v, set);
    break;
  }
  case 13:
  case 17:
  case 79:
    if (!set_a || !set_b) return fault("indexical set operation on no set");
    r = op == 13   ? fd_union(api, w_, a, b)
        : op == 17 ? fd_intersection(api, w_, a, b)
                   : fd_subtract(api, w_, a, b);
    break;
  case 15:
  case 77:
    if (!bound_a || !set_b) return fault("indexical membership in no set");
    if (fd_member(a, b) == (op == 15)) return singleton(a, &top());
    r = atom_nil;
    break;
  case 16:
    if (!set_a || !bound_b) return fault("indexical membership in no set");
    if (!fd_member(b, a)) {
      r = atom_nil;
      break;
    }
    return singleton(b, &top());
  case 73:
    if (!set_a || !bound_b) return fault("indexical negation of no set");
    r = fd_neg_offset(api, w_, a, b);
    if (degenerate(r)) return IX_OVERFLOW;
    break;
  case 74:
  case 75:
    if (!set_a || !set_b) return fault("indexical pointwise operation on no set");
    r = pointwise(api, w_, a, b, atom_inf, atom_sup, op == 74 ? 1 : -1);
    if (degenerate(r)) return IX_OVERFLOW;
    break;
  case 76:
    if (!bound_a || !bound_b) return fault("indexical value is no bound");
    if (a != b) return singleton(a, &top());
    r = atom_nil;
    break;
  case 78:
    if (!set_a || !bound_b) return fault("indexical deletion from no set");
    r = fd_delete(api, w_, a, b);
    break;
  default: return fault("indexical opcode");
  }
  top() = r;
  return IX_NEXT;
}

/* Pushes field 1 (the set), 2 (min), 3 (max) or 4 (size) of argument k's dom/4; with entailment,
 * a domain not fixed clears the entailment flag. */
ix_end machine::read_field(ix_byte k, int field, bool entailment)
{
  TAGGED *d = dom(k);
  if (!d) return fault("indexical argument out of range");
  if (entailment && !fixed(d)) e_ = false;
  return push(field == 1 ? deref(d[1]) : d[field]) ? IX_NEXT : fault("indexical stack overflow");
}

/* 25 to 40 and 65 to 68, in groups of four (the argument named by the operand, then arguments 0,
 * 1 and 2): push the min without touching the entailment flag, the set, the min, the max, the
 * size. */
ix_end machine::read_argument(int op)
{
  static constexpr int fields[] = {2, 1, 2, 3, 4};
  int group = op >= 65 ? 4 : (op - 25) / 4, i = op >= 65 ? op - 65 : (op - 25) % 4;
  return read_field(i == 0 ? operand(0) : (ix_byte)(i - 1), fields[group], group != 0);
}

/* Instructions that push a local or argument 1's attribute, or multiply and divide by a local or
 * a fixed argument. */
ix_end machine::argument_read(int op)
{
  ix_byte k = op == 71 ? 1 : operand(0);
  if (op == 18 || op >= 80) {
    if (k >= IX_LOCALS) return fault("indexical local out of range");
    if (op == 18) return push(local(k)) ? IX_NEXT : fault("indexical stack overflow");
    if (depth_ == 0) return fault("indexical stack underflow");
    return arith(local(k), op);
  }
  TAGGED *d = dom(k);
  if (!d) return fault("indexical argument out of range");
  if (op == 71) return push(deref(attrs_[k])) ? IX_NEXT : fault("indexical stack overflow");
  /* 42 to 44 */
  if (depth_ == 0) return fault("indexical stack underflow");
  if (!fixed(d)) { /* a value dependency read before it is fixed: nothing to conclude */
    e_ = false;
    return IX_GIVE_UP;
  }
  return arith(d[2], op);
}

/* Prunes X to a set: one interval as bounds, several as a set. */
ix_end machine::prune_set(TAGGED set, TAGGED self)
{
  if (set == atom_nil) return IX_FAIL;
  if (degenerate(set)) return IX_OVERFLOW;
  if (!IsLst(fds_next(set))) return pruned(dvar_fix_interval_t(&x_, fd_min(set), fd_max(set)), 0);
  return pruned(dvar_fix_set(api, &x_, set, w_), self);
}

ix_end machine::prune(int op)
{
  TAGGED a, b;
  if (!dom(info_->pruned)) return fault("indexical prunes no argument");
  switch (op) {
  case 46:
  case 47:
  case 49:
  case 51:
    if (!pop_last(&b)) return fault("indexical stack underflow");
    if (!is_bound(b)) return fault("indexical pruning to no bound");
    return prune_by(op, b);
  case 48:
    if (!pop_last(&b) || !pop_last(&a)) return fault("indexical stack underflow");
    if (!is_bound(a) || !is_bound(b)) return fault("indexical pruning to no bound");
    if (a == b && !IsSmall(a)) return IX_OVERFLOW;
    return x_within(a, b) ? IX_DONE : pruned(dvar_fix_interval_t(load_x(), a, b), 0);
  case 50:
    if (!pop_last(&b)) return fault("indexical stack underflow");
    if (!is_set(b)) return fault("indexical pruning by no set");
    if (degenerate(b)) return IX_OVERFLOW;
    return pruned(dvar_prune_set(api, load_x(), b, w_), 0);
  case 52:
    if (!pop_last(&b)) return fault("indexical stack underflow");
    if (!is_set(b)) return fault("indexical pruning to no set");
    load_x();
    return prune_set(b, operand(0) ? ent_ : 0);
  default: /* 83, 84 */
    if (!pop_last(&b) || !pop_last(&a)) return fault("indexical stack underflow");
    if (!is_set(a) || !is_set(b)) return fault("indexical pruning to no set");
    load_x();
    return prune_set(pointwise(api, w_, a, b, x_.min, x_.max, op == 83 ? 1 : -1), 0);
  }
}

/* X = v: undecided while X may still take v. */
ix_end machine::check_value(TAGGED v, int t)
{
  if (!fixed(dom(info_->pruned))) {
    if (dvar_contains_value_t(&x_, v)) return IX_UNDECIDED;
    return decide(false, t);
  }
  return decide(x_.min == v, t);
}

ix_end machine::check_interval(TAGGED a, TAGGED b)
{
  int t = info_->truth_value;
  if (a == b) return IsSmall(a) ? check_value(a, t) : decide(false, t);
  if (fds_val(a) > fds_val(b)) return decide(false, t);
  int code = dvar_compare_interval_t(api, &x_, a, b, w_);
  if (code == 1 || code == 3) return decide(true, t);
  return code == 4 ? decide(false, t) : IX_UNDECIDED;
}

ix_end machine::check(int op)
{
  TAGGED a, b = 0;
  if (!dom(info_->pruned)) return fault("indexical prunes no argument");
  load_x();
  int t = info_->truth_value;
  if (op == 53) return decide(true, t);
  if (op == 56 && !pop_last(&b)) return fault("indexical stack underflow");
  if (!pop_last(&a)) return fault("indexical stack underflow");
  switch (op) {
  case 54:
  case 55:
  case 56:
    if (op == 54) b = a, a = atom_inf;
    if (op == 55) b = atom_sup;
    if (!is_bound(a) || !is_bound(b)) return fault("indexical check of no bound");
    return check_interval(a, b);
  case 57:
  case 59:
    if (!is_bound(a)) return fault("indexical check of no bound");
    return check_value(a, op == 57 ? 1 - t : t);
  default: { /* 58 X not in S, 60 X in S */
    if (!is_set(a)) return fault("indexical check of no set");
    bool in = op == 60;
    if (a == atom_nil) return decide(!in, t);
    if (fixed(dom(info_->pruned))) return decide(fd_member(x_.min, a) == in, t);
    int code = dvar_compare_set(api, &x_, a, w_);
    if (code == 4) return decide(!in, t);
    if (code == 1 || code == 3) return decide(in, t);
    return IX_UNDECIDED;
  }
  }
}

/* Jumps: conditions, the union loop and the case dispatch. */
ix_end machine::control(int op)
{
  uint32_t length = info_->length_of_bytecode;
  TAGGED s, v;
  switch (op) {
  case 61:
  case 62:
    if (!pop_last(&s) || !is_set(s)) return fault("indexical condition on no set");
    if ((s == atom_nil) == (op == 62)) {
      next_ = operand(0);
      return push(op == 61 ? fd_interval(api, w_, atom_inf, atom_sup) : atom_nil)
                 ? IX_NEXT
                 : fault("indexical stack overflow");
    }
    return IX_NEXT;
  case 63: {
    if (depth_ == 0) return fault("indexical stack underflow");
    s = top();
    if (!is_set(s)) return fault("indexical union over no set");
    top() = atom_nil;
    ix_byte end = operand(0);
    next_ = end;
    if (s == atom_nil) return IX_NEXT;
    if (fd_min(s) == atom_inf || fd_max(s) == atom_sup) return IX_GIVE_UP;
    if (end < 2 || end > length) return fault("indexical union loop without its step");
    ix_byte k = info_->code[end - 2], body = info_->code[end - 1];
    if (k >= IX_LOCALS) return fault("indexical local out of range");
    if (!push(s)) return fault("indexical stack overflow");
    fd_first_and_rest(api, w_, s, &local(k), &top());
    next_ = body;
    return IX_NEXT;
  }
  case 64: {
    TAGGED value, rest;
    if (!pop(&value) || !pop(&rest)) return fault("indexical stack underflow");
    if (!is_set(value) || !is_set(rest) || !is_set(top()))
      return fault("indexical union of no set");
    top() = fd_union(api, w_, top(), value);
    ix_byte k = operand(0);
    if (k >= IX_LOCALS) return fault("indexical local out of range");
    if (rest == atom_nil) return IX_NEXT;
    if (!push(rest)) return fault("indexical stack overflow");
    fd_first_and_rest(api, w_, rest, &local(k), &top());
    next_ = operand(1);
    return IX_NEXT;
  }
  case 69: {
    if (depth_ == 0) return fault("indexical stack underflow");
    auto *table = (sw_on_key *)(uintptr_t)operand(0);
    sw_on_key_node *node = top() ? incore_gethash(table, top()) : nullptr;
    if (!node || node->key != top()) {
      top() = atom_nil;
      next_ = operand(1);
      return IX_NEXT;
    }
    if (!IsSmall(node->value)) return fault("indexical case without its code");
    top() = MakeSmall((int32_t)operand(1));
    next_ = (uint32_t)GetSmall(node->value);
    return IX_NEXT;
  }
  default: /* 70 */
    if (!pop(&v)) return fault("indexical stack underflow");
    if (!IsSmall(top()) || GetSmall(top()) < 0) return fault("indexical return without its case");
    next_ = (uint32_t)GetSmall(top());
    top() = v;
    return IX_NEXT;
  }
}

ix_end machine::run()
{
  const ix_byte *code = info_->code;
  uint32_t length = info_->length_of_bytecode;
  if (!code) return fault("indexical code ends without an end");
  for (;;) {
    if (pc_ >= length) return fault("indexical code ends without an end");
    ix_byte op = code[pc_];
    if (op > IX_LAST_OPCODE) {
      pc_++;
      continue;
    }
    uint32_t operands = operand_words.words[op];
    if (length - pc_ <= operands) return fault("indexical operands beyond the code");
    next_ = pc_ + 1 + operands;
    ix_end end;
    switch (op) {
    case 1:
      end = push(fd_interval(api, w_, atom_inf, atom_sup)) ? IX_NEXT
                                                           : fault("indexical stack overflow");
      break;
    case 41: end = push((TAGGED)operand(0)) ? IX_NEXT : fault("indexical stack overflow"); break;
    case 0:
    case 2:
    case 3:
    case 8:
    case 9: end = unary(op); break;
    case 21:
    case 22:
    case 23:
      if (depth_ == 0) return fault("indexical stack underflow");
      end = arith((TAGGED)operand(0), op);
      break;
    case 45: end = IX_DONE; break;
    case 46:
    case 47:
    case 48:
    case 49:
    case 50:
    case 51:
    case 52:
    case 83:
    case 84: end = prune(op); break;
    case 53:
    case 54:
    case 55:
    case 56:
    case 57:
    case 58:
    case 59:
    case 60: end = check(op); break;
    case 61:
    case 62:
    case 63:
    case 64:
    case 69:
    case 70: end = control(op); break;
    case 72: end = IX_FAIL_UNCOUNTED; break;
    case 19:
    case 20:
    case 24:
    case 85: {
      TAGGED b;
      if (!pop(&b)) return fault("indexical stack underflow");
      if (op <= 20 && IsSmall(b) && IsSmall(top())) { /* the sum of two integers, as arith */
        int32_t a = GetSmall(top());
        top() = fd_saturate(op == 19 ? a + GetSmall(b) : a - GetSmall(b), a);
        end = IX_NEXT;
      } else {
        end = arith(b, op);
      }
      break;
    }
    default:
      end = (op >= 25 && op <= 40) || (op >= 65 && op <= 68) ? read_argument(op)
            : op == 18 || (op >= 42 && op <= 44) || op == 71 || (op >= 80 && op <= 82)
                ? argument_read(op)
                : binary(op);
      break;
    }
    if (end != IX_NEXT) return end;
    if (next_ >= length) return fault("indexical jump beyond the code");
    pc_ = next_;
  }
}

/* The value read of opcode op: amin, min or max of an argument, 0 for any other. */
int plan_field(ix_byte op)
{
  if (op >= 25 && op <= 28) return IX_PLAN_AMIN;
  if (op >= 33 && op <= 36) return IX_PLAN_MIN;
  return op >= 37 && op <= 40 ? IX_PLAN_MAX : 0;
}

/* The plan of code that is two values (reads of an argument, literal small integers), plus or
 * minus and 46, 47, 49 or 51, with skipped words anywhere before the pruning. */
ix_plan decode_plan(const indexical_info *info)
{
  ix_plan p = {};
  p.kind = IX_PLAN_NONE;
  const ix_byte *code = info->code;
  uint32_t n = info->length_of_bytecode, pc = 0;
  auto next = [&]() -> int64_t {
    while (code && pc < n && code[pc] > IX_LAST_OPCODE) pc++;
    return code && pc < n ? code[pc++] : -1;
  };
  for (int i = 0; i < 2; i++) {
    int64_t op = next();
    if (op == 41) {
      if (pc >= n || !IsSmall(code[pc])) return p;
      p.field[i] = IX_PLAN_LITERAL;
      p.literal[i] = code[pc++];
      continue;
    }
    p.field[i] = (uint8_t)(op >= 0 ? plan_field((ix_byte)op) : 0);
    if (!p.field[i]) return p;
    uint32_t k = (uint32_t)(op - 25) % 4;
    if (k == 0) {
      if (pc >= n || code[pc] > 255) return p;
      k = code[pc++] + 1;
    }
    p.arg[i] = (uint8_t)(k - 1);
  }
  int64_t arith = next(), prune = next();
  if ((arith != 19 && arith != 20) || (prune != 46 && prune != 47 && prune != 49 && prune != 51))
    return p;
  p.kind = IX_PLAN_VALUE;
  p.subtract = arith == 20;
  p.prune = (uint8_t)prune;
  return p;
}

/* A run of code that decoded to a two-value pruning, without the machine: the reads, the sum or
 * difference and the pruning as the instructions do them. IX_NEXT when a read finds no domain or a
 * value that is no small integer: nothing has changed, and the machine runs the code, its
 * entailment flag starting as *fixed. Otherwise the run's end, *fixed telling whether the values
 * read (other than amin's) were fixed. Then the run ends entailed, unless the pruning fails: its
 * Dead, the unbound variable ent, is bound before the pruning, so that the records sharing it are
 * not queued by the pruning's wake only to be found dead (the end's entailment binds nothing
 * more). Inline in evaluate_indexical, its one caller, which hands over its words without a call. */
QX_HOT_INLINE ix_end run_value_plan(ORVALIS_API_STRUCT *api, worker *w, const indexical_info *info,
                                    TAGGED ix, TAGGED attrs, TAGGED ent, bool *fixed)
{
  const ix_plan &p = info->plan;
  TAGGED args = deref(StrArg(ix, 2));
  uint32_t n = std::min(term_arity(args), term_arity(attrs));
  if (n == 0) return IX_NEXT;
  TAGGED *argv = term_cells(args), *attrv = term_cells(attrs), v[2];
  /* value i of the plan; false when the argument it reads has no domain. An argument posted as a
   * small integer has that one value as its domain: it is read from Args, without the walk to its
   * domain record. (A variable bound since is read through its attribute: a unification's hooks
   * may run before each of its variables has its domain.) */
  auto read = [&](int i) __attribute__((always_inline)) {
    if (p.field[i] == IX_PLAN_LITERAL) {
      v[i] = p.literal[i];
      return true;
    }
    if (p.arg[i] >= n) return false;
    TAGGED a = argv[p.arg[i]];
    if (IsSmall(a)) {
      v[i] = a;
      return true;
    }
    const TAGGED *d = arg_dom(attrv + p.arg[i]);
    if (!d) return false;
    if (p.field[i] != IX_PLAN_AMIN && d[2] != d[3]) *fixed = false;
    v[i] = d[p.field[i] == IX_PLAN_MAX ? 3 : 2];
    return true;
  };
  if (!read(0) || !read(1)) return IX_NEXT;
  uint32_t k = info->pruned;
  TAGGED *d = k < n ? arg_dom(attrv + k) : nullptr;
  if (!IsSmall(v[0]) || !IsSmall(v[1]) || !d) {
    *fixed = true;
    return IX_NEXT;
  }
  int32_t x = GetSmall(v[0]), y = GetSmall(v[1]), r = p.subtract ? x - y : x + y;
  /* fd_saturate in 32 bits: r, of two small integers, is a 32-bit integer */
  bool fits = (uint32_t)(r - QX_SMALL_MIN) <= (uint32_t)(QX_SMALL_MAX - QX_SMALL_MIN);
  TAGGED b = fits ? MakeSmall(r) : x < 0 ? atom_inf : atom_sup;
  target t{d, attrv + k, argv + k};
  if (*fixed) fd_bind(api, w, ent, MakeSmall(1));
  if (p.prune == 49 && IsSmall(b)) return remove_value(api, w, t, b);
  dvar view;
  return prune_target(api, w, t, &view, p.prune, b);
}

/* The machine's run of the code: its end, its truth value in *t and its entailment flag, which
 * starts as *fixed, in *fixed. An error is raised here. Out of line, so that the runs without the
 * machine keep their own frame small. */
[[gnu::noinline]] ix_end run_machine(ORVALIS_API_STRUCT *api, worker *w, const indexical_info *info,
                                     TAGGED ix, TAGGED attrs, TAGGED ent, bool *fixed, int *t)
{
  machine m(api, w, info, ix, attrs, ent);
  ix_end end = m.run(*fixed);
  *t = m.truth();
  *fixed = m.all_fixed();
  /* the stack's slots may hold temporary words: no root of a collection may see them */
  w->term[IX_STACK_BASE] = w->term[IX_STACK_BASE + 1] = atom_nil;
  if (end == IX_ERROR) fd_system_error(api, m.error());
  return end;
}

/* Fixes B' to the truth value: through its attribute when it has one, else bound plainly. */
bool tell_truth(ORVALIS_API_STRUCT *api, worker *w, int t)
{
  TAGGED b = deref(StrArg(deref(w->term[0]), 5));
  if (!IsVar(b)) return true;
  TAGGED attr = fd_var_attribute(api, w, b);
  if (!attr) {
    fd_bind(api, w, b, MakeSmall(t));
    return true;
  }
  TAGGED cells[2] = {attr, b};
  fd_roots root(api, cells, 2);
  dvar d;
  dvar_init_ix(&d, &cells[0], &cells[1]);
  int mask = dvar_fix_interval_t(&d, MakeSmall(t), MakeSmall(t));
  if (mask < 0) return false;
  if (mask > 0) dvar_export_ix(api, w, &d, 0);
  return true;
}

/* Counts an entailment and binds the Dead of the record ix to t, unless it is bound already. */
QX_HOT_INLINE void bind_ent(ORVALIS_API_STRUCT *api, worker *w, TAGGED ix, int t)
{
  fd_state(api)->entailments++;
  TAGGED ent = deref(StrArg(ix, FD_ARG_DEAD));
  if (IsVar(ent)) fd_bind(api, w, ent, MakeSmall(t));
}

}  // namespace

bool evaluate_indexical(ORVALIS_API_STRUCT *api, worker *w, TAGGED ix)
{
  struct fd_state *fd = fd_state(api);
  ix = deref(ix);
  TAGGED ent = deref(StrArg(ix, FD_ARG_DEAD));
  if (!IsVar(ent)) return true; /* dead */
  TAGGED info_word = deref(StrArg(ix, 1)), attrs = deref(StrArg(ix, 6));
  if (!IsSmall(info_word) || info_word == MakeSmall(0) || !IsCompound(attrs)) {
    fd_system_error(api, "malformed indexical record");
    fd_native_fail(api);
    return false;
  }
  auto *info = (indexical_info *)fd_word_address(info_word);
  if (info->plan.kind == IX_PLAN_UNKNOWN) info->plan = decode_plan(info);
  fd->resumptions++;
  w->numstack_end = nullptr;
  w->term[0] = ix;
  w->term[1] = w->term[2] = atom_nil;
  bool fixed = true;
  int t = 1;
  ix_end end = info->plan.kind == IX_PLAN_VALUE
                   ? run_value_plan(api, w, info, ix, attrs, ent, &fixed)
                   : IX_NEXT;
  if (end == IX_NEXT) end = run_machine(api, w, info, ix, attrs, ent, &fixed, &t);
  ix = deref(w->term[0]); /* a tell may have moved it */
  bool dead = false;      /* Dead bound here */
  switch (end) {
  case IX_ERROR: fd_native_fail(api); return false;
  case IX_FAIL: fd->failures++; [[fallthrough]];
  case IX_FAIL_UNCOUNTED: fd_native_fail(api); return false;
  case IX_OVERFLOW:
    fd->fd_overflow = 1;
    fd_check_overflow(api, deref(StrArg(ix, 2)));
    return false;
  case IX_DISENTAILED:
    t = 1 - t;
    if (!fixed) break;
    [[fallthrough]];
  case IX_ENTAILED:
    bind_ent(api, w, ix, t);
    dead = true;
    if (!tell_truth(api, w, t)) {
      fd->failures++;
      fd_native_fail(api);
      return false;
    }
    ix = deref(w->term[0]);
    break;
  case IX_DONE:
  case IX_GIVE_UP:
    if (fixed) bind_ent(api, w, ix, t);
    dead = fixed;
    break;
  default: break;
  }
  /* the status update: no longer queued (unless it asked to be queued again), linked once; a
   * mutable whose Value is a small integer is the last of its chain */
  TAGGED sm = deref(StrArg(ix, FD_ARG_STATUS)), value = StrArg(sm, 1);
  if (!IsSmall(value)) sm = fd_mutable_walk(sm, &value);
  uint32_t old = (uint32_t)GetSmall(value), status = old & ~FD_ST_RUNNING;
  if (!(status & FD_ST_REQUEUE)) status &= ~FD_ST_QUEUED;
  if (status != old) {
    fd_trail_mutable(api, w, sm);
    StrPtr(sm)[1] = MakeSmall((int32_t)status);
  }
  if (!(status & FD_ST_LINKED) && !dead && !fd_dead(ix)) fd_link_indexical(api, w, ix);
  return !fd->fd_overflow || fd_check_overflow(api, deref(StrArg(deref(w->term[0]), 2))) != 0;
}
