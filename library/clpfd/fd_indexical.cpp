/* Indexical storage: installing compiled indexicals in a definition, posting them for a call,
 * linking them after their first run, and carrying them through saved states.
 *
 * A definition's indexicals live in malloc'd memory: four chains of indexical_info records, each
 * with its linkage, code and literal arrays. FD-set literals are blocks laid out as a boxed number
 * (header, then a list cell and an interval pair per interval) and hash-table literals are
 * sw_on_key tables; both are referenced from the literal array by tagged pointers.
 *
 * Posted code refers to its definition by address. The solver keeps the set of definitions it
 * made FD-defined, with their module and functor, and accepts a definition address only when it
 * is in that set and its module still resolves the functor to it.
 */
#include <cstring>
#include <map>
#include <vector>

#include "fd_indexical.h"
#include "fd_propagate.h"

namespace {

/* Bounds of what an installed or restored indexical may hold. */
constexpr uint32_t MAX_CODE_WORDS = 1u << 16, MAX_LITERALS = 1u << 12, MAX_LINKAGE = 255;
constexpr uint32_t MAX_INTERVALS = 1u << 14, MAX_TABLE_SLOTS = 1u << 16;
constexpr uint32_t POST_WORDS_BASE = 29, LINK_WORDS = 294, ROOM_EXTRA = 128;
constexpr TAGGED functor_slash2 = qx_char_atom_fixed('/') | (2u << QX_ARITY_SHIFT);

/* ---- the definitions the solver made FD-defined ---- */

struct fd_definition {
  TAGGED module; /* the module's name */
  TAGGED key;    /* functor word, or the atom of an arity-0 predicate */
};

std::map<definition *, fd_definition> &fd_defined()
{
  static std::map<definition *, fd_definition> defined;
  return defined;
}

/* A definition address the solver made FD-defined and that is still in place. */
definition *known_definition(ORVALIS_API_STRUCT *api, const void *p)
{
  auto it = fd_defined().find((definition *)p);
  if (it == fd_defined().end()) return nullptr;
  mod_def *m = find_module(it->second.module, 0);
  definition *d = m ? find_definition(m, it->second.key, nullptr, 0) : nullptr;
  if (d != it->first || d->predtyp != FD_CONSTRAINT || !d->fd_info) return nullptr;
  return d;
}

/* Whether def holds code of its own that making it FD-defined would have to drop: clauses,
 * compiled code, a native function. No slot of the engine's tables drops them. */
bool holds_code(const definition *def)
{
  return def->predtyp != FD_CONSTRAINT && def->predtyp != ENTER_UNDEFINED &&
         (def->first_clause || def->code.code || def->predtyp != ENTER_INTERPRETED);
}

/* Makes def FD-defined with empty chains, or keeps the chains it has; null when def holds code
 * of its own (holds_code). */
fd_info *init_fd_constraint(ORVALIS_API_STRUCT *api, definition *def)
{
  if (holds_code(def)) return nullptr;
  if (!def->fd_info) {
    void *chains = qx_checkalloc(QX_FD_INFO_BYTES, QX_FD_INFO_SPACE);
    std::memset(chains, 0, QX_FD_INFO_BYTES);
    def->fd_info = chains;
  }
  update_exports(def, FD_CONSTRAINT);
  fd_defined()[def] = {def->module->name, def->functor};
  return (fd_info *)def->fd_info;
}

/* ---- literal blocks ---- */

/* Header word of an FD-set block of k intervals: a boxed number to the collector. */
inline TAGGED set_header(uint32_t k) { return (TAGGED)(-25 - 16 * (4 * (int32_t)k - 1)); }
inline uint32_t set_block_bytes(TAGGED header)
{
  return (uint32_t)(-((SIGNED_TAGGED)header >> 4)) * 4;
}
inline uint32_t table_bytes(const sw_on_key *t) { return (t->mask_and_flags & ~7u) + 16; }

/* Links the cells of an FD-set block of k intervals: interval j's list cell is words 1 + 4j and
 * 2 + 4j, its pair words 3 + 4j and 4 + 4j. */
void link_set_block(TAGGED *block, uint32_t k)
{
  for (uint32_t j = 0; j < k; j++) {
    block[1 + 4 * j] = MakeLst(block + 3 + 4 * j);
    block[2 + 4 * j] = j + 1 < k ? MakeLst(block + 5 + 4 * j) : atom_nil;
  }
}

inline bool is_set_literal(TAGGED t) { return IsStr(t); }
inline bool is_table_literal(TAGGED t) { return IsLst(t); }
inline TAGGED set_of_literal(TAGGED t) { return t + 5; } /* the block's first list cell */
inline sw_on_key *table_of_literal(TAGGED t) { return (sw_on_key *)(uintptr_t)(t - 2); }

void free_literals(ORVALIS_API_STRUCT *api, TAGGED *literals, uint32_t n)
{
  if (!literals) return;
  for (uint32_t i = 0; i < n; i++) {
    TAGGED t = literals[i];
    if (is_set_literal(t))
      qx_checkdealloc(StrPtr(t), set_block_bytes(*StrPtr(t)), QX_SPACE_SOLVER);
    else if (is_table_literal(t))
      dispose_switch_on_key(table_of_literal(t));
  }
  qx_checkdealloc(literals, n * sizeof(TAGGED), QX_SPACE_SOLVER);
}

void free_record(ORVALIS_API_STRUCT *api, indexical_info *ix)
{
  if (ix->linkage)
    qx_checkdealloc(ix->linkage, ix->length_of_linkage * sizeof(ix_byte), QX_SPACE_SOLVER);
  if (ix->code)
    qx_checkdealloc(ix->code, ix->length_of_bytecode * sizeof(ix_byte), QX_SPACE_SOLVER);
  free_literals(api, ix->literals, ix->length_of_literals);
  qx_checkdealloc(ix, sizeof(indexical_info), QX_SPACE_SOLVER);
}

template <typename T>
T *zeroed_array(ORVALIS_API_STRUCT *api, uint32_t n)
{
  if (n == 0) return nullptr;
  T *p = (T *)qx_checkalloc(n * sizeof(T), QX_SPACE_SOLVER);
  std::memset(p, 0, n * sizeof(T));
  return p;
}

indexical_info *new_record(ORVALIS_API_STRUCT *api, definition *def)
{
  indexical_info *ix = (indexical_info *)qx_checkalloc(sizeof(indexical_info), QX_SPACE_SOLVER);
  std::memset(ix, 0, sizeof *ix);
  ix->pred = def;
  return ix;
}

/* ---- the code walk shared by installation, saving and restoring ---- */

/* Stack effect of the straight-line opcodes: words popped before the first push, and the net
 * change; ends stop the walk. Control transfers (61-64, 69, 70) stop it too: from there on the
 * machine checks its depth as it runs. */
struct stack_effect {
  int8_t pops, net;
  bool end;
};
constexpr stack_effect PUSH{0, 1, false}, POP1{2, -1, false}, SAME{1, 0, false}, END0{0, 0, true},
    END1{1, 0, true}, END2{2, 0, true}, CONTROL{-1, 0, false};
constexpr stack_effect effects[IX_LAST_OPCODE + 1] = {
    SAME,    PUSH,    SAME,    SAME,    POP1,    POP1, POP1, POP1, SAME, SAME,    /* 0 */
    POP1,    POP1,    POP1,    POP1,    POP1,    POP1, POP1, POP1, PUSH, POP1,    /* 10 */
    POP1,    SAME,    SAME,    SAME,    POP1,    PUSH, PUSH, PUSH, PUSH, PUSH,    /* 20 */
    PUSH,    PUSH,    PUSH,    PUSH,    PUSH,    PUSH, PUSH, PUSH, PUSH, PUSH,    /* 30 */
    PUSH,    PUSH,    SAME,    SAME,    SAME,    END0, END1, END1, END2, END1,    /* 40 */
    END1,    END1,    END1,    END0,    END1,    END1, END2, END1, END1, END1,    /* 50 */
    END1,    CONTROL, CONTROL, CONTROL, CONTROL, PUSH, PUSH, PUSH, PUSH, CONTROL, /* 60 */
    CONTROL, PUSH,    END0,    POP1,    POP1,    POP1, POP1, POP1, POP1, POP1,    /* 70 */
    SAME,    SAME,    SAME,    END2,    END2,    POP1, POP1,                      /* 80 */
};

/* Where the code first pops below the stack base or pushes past the registers, following its
 * straight-line start; -1 when it does not (or the depth is not known statically). */
int32_t depth_fault(const ix_byte *code, uint32_t length)
{
  int depth = 0;
  for (uint32_t i = 0; i < length; i += 1 + ix_operands(code[i])) {
    if (code[i] > IX_LAST_OPCODE) continue;
    const stack_effect &e = effects[code[i]];
    if (e.pops < 0) return -1;
    if (depth < e.pops || depth + e.net > IX_STACK_LIMIT) return (int32_t)i;
    if (e.end) return -1;
    depth += e.net;
  }
  return -1;
}

/* What a code position must hold, from the instruction walk. */
enum operand_role : uint8_t { ROLE_OPCODE, ROLE_PLAIN, ROLE_SET, ROLE_TABLE };

/* Marks every code word with its role: false when an opcode's operands run past the end. The
 * first word is the one $fd_indexical_data answers and relocation does not visit: it must be an
 * opcode without operands (or a word the machine skips). */
bool walk_code(const ix_byte *code, uint32_t length, uint8_t *roles, uint32_t *fault)
{
  for (uint32_t i = 0; i < length;) {
    int n = ix_operands(code[i]);
    roles[i] = ROLE_OPCODE;
    if ((i == 0 && n != 0) || i + (uint32_t)n >= length) {
      *fault = i;
      return false;
    }
    for (int k = 1; k <= n; k++) roles[i + k] = ROLE_PLAIN;
    if (code[i] == 41) roles[i + 1] = ROLE_SET;   /* a constant, or an FD-set literal */
    if (code[i] == 69) roles[i + 1] = ROLE_TABLE; /* a hash-table literal */
    i += 1 + (uint32_t)n;
  }
  return true;
}

/* In saved code a literal reference is the literal's index: for 41 as a list-tagged word, so that
 * it never reads as an immediate constant. */
inline ix_byte set_index_word(uint32_t i) { return (i << 2) | QX_TAG_LST; }

}  // namespace

bool relocate_bytecode(ix_byte *code, uint32_t length, const TAGGED *literals, uint32_t n_literals,
                       int to_index)
{
  for (uint32_t i = 1; i < length;) {
    ix_byte op = code[i];
    uint32_t n = (uint32_t)ix_operands(op);
    if (i + n >= length) return false;
    ix_byte &operand = code[i + 1];
    if (op == 41 && !IsConst(operand)) {
      uint32_t k = 0;
      if (to_index) {
        while (k < n_literals &&
               !(is_set_literal(literals[k]) && set_of_literal(literals[k]) == operand))
          k++;
        if (k == n_literals) return false;
        operand = set_index_word(k);
      } else {
        k = operand >> 2;
        if (!IsLst(operand) || k >= n_literals || !is_set_literal(literals[k])) return false;
        operand = set_of_literal(literals[k]);
      }
    } else if (op == 69) {
      uint32_t k = 0;
      if (to_index) {
        while (k < n_literals && !(is_table_literal(literals[k]) && literals[k] - 2 == operand))
          k++;
        if (k == n_literals) return false;
        operand = k;
      } else {
        k = operand;
        if (k >= n_literals || !is_table_literal(literals[k])) return false;
        operand = literals[k] - 2;
      }
    }
    i += 1 + n;
  }
  return true;
}

/* ---- installation ---- */

namespace {

/* What $fd_install refuses: a type or domain error naming the culprit term. */
struct refusal {
  bool type = false;
  const char *what = nullptr;
  TAGGED culprit = 0;
  int argument = 5;
};

bool refuse(refusal *r, bool type, const char *what, TAGGED culprit)
{
  r->type = type;
  r->what = what;
  r->culprit = culprit;
  return false;
}

/* The elements of a proper list of at most max elements. */
bool list_elements(TAGGED list, uint32_t max, std::vector<TAGGED> *out, refusal *r)
{
  out->clear();
  TAGGED l = deref(list);
  for (; IsLst(l); l = deref(LstTail(l))) {
    if (out->size() == max) return refuse(r, false, "indexical_length", list);
    out->push_back(deref(LstHead(l)));
  }
  return l == atom_nil || refuse(r, true, "list", list);
}

bool small_in(TAGGED t, int32_t lo, int32_t hi, int32_t *v)
{
  t = deref(t);
  if (!IsSmall(t) || GetSmall(t) < lo || GetSmall(t) > hi) return false;
  *v = GetSmall(t);
  return true;
}

/* A plain literal: a small integer, inf, sup or []. */
bool plain_constant(TAGGED t)
{
  return IsSmall(t) || t == atom_inf || t == atom_sup || t == atom_nil;
}

inline bool is_token(TAGGED t, TAGGED functor) { return IsStr(t) && StrFunctor(t) == functor; }

/* Intervals of an FD set: sorted, disjoint and not adjacent, inf only first, sup only last. */
bool proper_intervals(const std::vector<std::pair<TAGGED, TAGGED>> &set, size_t *bad)
{
  for (size_t j = 0; j < set.size(); j++) {
    auto [lo, hi] = set[j];
    bool ok = (IsSmall(lo) || (lo == atom_inf && j == 0)) &&
              (IsSmall(hi) || (hi == atom_sup && j + 1 == set.size())) &&
              (!IsSmall(lo) || !IsSmall(hi) || GetSmall(lo) <= GetSmall(hi)) &&
              (j == 0 || GetSmall(lo) > GetSmall(set[j - 1].second) + 1);
    if (!ok) {
      *bad = j;
      return false;
    }
  }
  return !set.empty() || (*bad = 0, false);
}

/* An FD-set literal block from a list of [Min|Max] intervals; null after refusing. */
TAGGED *set_block(ORVALIS_API_STRUCT *api, TAGGED intervals, refusal *r)
{
  std::vector<TAGGED> list;
  if (!list_elements(intervals, MAX_INTERVALS, &list, r)) return nullptr;
  std::vector<std::pair<TAGGED, TAGGED>> set;
  for (TAGGED i : list) {
    if (!IsLst(i)) return refuse(r, false, "fd_interval", i), nullptr;
    set.emplace_back(deref(LstHead(i)), deref(LstTail(i)));
  }
  size_t bad;
  if (!proper_intervals(set, &bad))
    return refuse(r, false, set.empty() ? "fd_set" : "fd_interval",
                  set.empty() ? intervals : list[bad]),
           nullptr;
  uint32_t k = (uint32_t)set.size();
  TAGGED *block = (TAGGED *)qx_checkalloc((1 + 4 * k) * sizeof(TAGGED), QX_SPACE_SOLVER);
  block[0] = set_header(k);
  for (uint32_t j = 0; j < k; j++) {
    block[3 + 4 * j] = set[j].first;
    block[4 + 4 * j] = set[j].second;
  }
  link_set_block(block, k);
  return block;
}

inline TAGGED table_word(const sw_on_key *t) { return (TAGGED)(uintptr_t)t + QX_TAG_LST; }

/* A hash-table literal from a list of Key-Value pairs of plain constants, stored in *literal as
 * it grows (so that it is freed with the record if a later allocation fails). */
bool table_literal(ORVALIS_API_STRUCT *api, TAGGED pairs, refusal *r, TAGGED *literal)
{
  std::vector<TAGGED> list;
  if (!list_elements(pairs, MAX_TABLE_SLOTS / 2, &list, r)) return false;
  for (TAGGED p : list)
    if (!IsStr(p) || StrFunctor(p) != functor_minus2 || !plain_constant(deref(StrArg(p, 1))) ||
        !plain_constant(deref(StrArg(p, 2))))
      return refuse(r, false, "indexical_pair", p);
  sw_on_key *table = new_switch_on_key(2, 0);
  *literal = table_word(table);
  for (TAGGED p : list) {
    /* a table that grows is replaced: the old one is freed only once the new one is made */
    dyn_puthash(&table, deref(StrArg(p, 1)))->value = deref(StrArg(p, 2));
    *literal = table_word(table);
  }
  return true;
}

/* Where a code word came from: its relocation must match the role the walk gives its position. */
enum origin : uint8_t { FROM_PLAIN, FROM_SET, FROM_TABLE };

struct builder {
  ORVALIS_API_STRUCT *api;
  struct fd_state *fd;
  uint32_t arity;
  refusal *r;

  bool literals(indexical_info *ix, TAGGED list, TAGGED length)
  {
    std::vector<TAGGED> items;
    int32_t n;
    if (!list_elements(list, MAX_LITERALS, &items, r)) return false;
    if (!small_in(length, 0, (int32_t)MAX_LITERALS, &n) || (uint32_t)n != items.size())
      return refuse(r, false, "indexical_length", length);
    ix->literals = zeroed_array<TAGGED>(api, (uint32_t)n);
    ix->length_of_literals = (uint32_t)n;
    /* Constants first, so that a refused block leaves no half-filled word behind. */
    for (uint32_t i = 0; i < (uint32_t)n; i++) {
      TAGGED t = items[i];
      if (plain_constant(t)) {
        ix->literals[i] = t;
      } else if (is_token(t, fd->token_d)) {
        TAGGED *block = set_block(api, deref(StrArg(t, 1)), r);
        if (!block) return false;
        ix->literals[i] = MakeStr(block);
      } else if (is_token(t, fd->token_h)) {
        if (!table_literal(api, deref(StrArg(t, 1)), r, &ix->literals[i])) return false;
      } else {
        ix->literals[i] = MakeSmall(0);
        return refuse(r, false, "indexical_literal", t);
      }
    }
    return true;
  }

  bool linkage(indexical_info *ix, TAGGED list, TAGGED length)
  {
    std::vector<TAGGED> items;
    int32_t n = 0, a = 0, m = 0;
    if (!list_elements(list, MAX_LINKAGE, &items, r)) return false;
    if (!small_in(length, 0, (int32_t)MAX_LINKAGE, &n) || (uint32_t)n != items.size())
      return refuse(r, false, "indexical_length", length);
    for (TAGGED p : items)
      if (!IsStr(p) || Arity(StrFunctor(p)) != 2 ||
          !small_in(StrArg(p, 1), 0, (int32_t)arity - 1, &a) || !small_in(StrArg(p, 2), 0, 31, &m))
        return refuse(r, false, "indexical_linkage", p);
    ix->linkage = zeroed_array<ix_byte>(api, (uint32_t)n);
    ix->length_of_linkage = (uint32_t)n;
    for (uint32_t i = 0; i < (uint32_t)n; i++) {
      small_in(StrArg(items[i], 1), 0, (int32_t)arity - 1, &a);
      small_in(StrArg(items[i], 2), 0, 31, &m);
      ix->linkage[i] = (ix_byte)m + ((ix_byte)a << IX_LINK_ARG_SHIFT);
    }
    return true;
  }

  bool code(indexical_info *ix, TAGGED list, TAGGED length)
  {
    std::vector<TAGGED> items;
    int32_t n, v;
    if (!list_elements(list, MAX_CODE_WORDS, &items, r)) return false;
    if (!small_in(length, 1, (int32_t)MAX_CODE_WORDS, &n) || (uint32_t)n != items.size())
      return refuse(r, false, "indexical_length", length);
    std::vector<uint8_t> from(items.size(), FROM_PLAIN), roles(items.size(), ROLE_PLAIN);
    ix->code = zeroed_array<ix_byte>(api, (uint32_t)n);
    ix->length_of_bytecode = (uint32_t)n;
    for (uint32_t i = 0; i < (uint32_t)n; i++) {
      TAGGED t = items[i];
      ix_byte &word = ix->code[i];
      if (IsSmall(t)) {
        word = (ix_byte)GetSmall(t);
        continue;
      }
      bool literal =
          is_token(t, fd->token_t) || is_token(t, fd->token_d) || is_token(t, fd->token_h);
      if (literal && !small_in(StrArg(t, 1), 0, (int32_t)ix->length_of_literals - 1, &v))
        return refuse(r, false, "indexical_literal_reference", t);
      TAGGED lit = literal ? ix->literals[v] : 0;
      if (is_token(t, fd->token_a) && small_in(StrArg(t, 1), QX_SMALL_MIN, QX_SMALL_MAX, &v)) {
        word = MakeSmall(v);
      } else if (is_token(t, fd->token_l) && small_in(StrArg(t, 1), 0, n - 1, &v)) {
        word = (ix_byte)v;
      } else if (is_token(t, fd->token_t) && !is_set_literal(lit) && !is_table_literal(lit)) {
        word = lit;
      } else if (is_token(t, fd->token_d) && is_set_literal(lit)) {
        word = set_of_literal(lit);
        from[i] = FROM_SET;
      } else if (is_token(t, fd->token_h) && is_table_literal(lit)) {
        word = lit - 2;
        from[i] = FROM_TABLE;
      } else {
        return refuse(r, false, literal ? "indexical_literal_reference" : "indexical_code", t);
      }
    }
    uint32_t fault = 0;
    if (!walk_code(ix->code, (uint32_t)n, roles.data(), &fault))
      return refuse(r, false, "indexical_operands", items[fault]);
    for (uint32_t i = 0; i < (uint32_t)n; i++) {
      bool ok = roles[i] == ROLE_SET     ? from[i] == FROM_SET || IsConst(ix->code[i])
                : roles[i] == ROLE_TABLE ? from[i] == FROM_TABLE
                                         : from[i] == FROM_PLAIN;
      if (!ok) return refuse(r, false, "indexical_literal_reference", items[i]);
    }
    int32_t deep = depth_fault(ix->code, (uint32_t)n);
    if (deep >= 0) return refuse(r, false, "indexical_stack_depth", items[(uint32_t)deep]);
    return true;
  }

  /* One record from (Linkage, LinkageLength, Pruned, Code, CodeLength, Literals, LiteralsLength). */
  indexical_info *record(TAGGED e, uint32_t chain)
  {
    int32_t pruned;
    if (!IsStr(e) || Arity(StrFunctor(e)) != 7) return refuse(r, true, "indexical", e), nullptr;
    if (!small_in(StrArg(e, 3), 0, (int32_t)arity - 1, &pruned))
      return refuse(r, false, "indexical_pruned", deref(StrArg(e, 3))), nullptr;
    indexical_info *ix = new_record(api, nullptr);
    ix->pruned = (uint8_t)pruned;
    ix->checking = (chain >> 1) & 1;
    ix->truth_value = chain & 1;
    bool built;
    try {
      built = literals(ix, StrArg(e, 6), StrArg(e, 7)) && linkage(ix, StrArg(e, 1), StrArg(e, 2)) &&
              code(ix, StrArg(e, 4), StrArg(e, 5));
    } catch (...) { /* a memory fault: what was built goes, the fault goes on */
      free_record(api, ix);
      throw;
    }
    if (built) return ix;
    free_record(api, ix);
    return nullptr;
  }
};

void free_chain(ORVALIS_API_STRUCT *api, indexical_info *chain)
{
  while (chain) {
    indexical_info *next = chain->next;
    free_record(api, chain);
    chain = next;
  }
}

void raise_refusal(ORVALIS_API_STRUCT *api, worker *w, const refusal &r)
{
  if (r.type)
    fd_type_error(api, r.what, r.culprit, r.argument);
  else
    fd_domain_error(api, r.what, r.culprit, r.argument);
  fd_native_fail(api);
}

}  // namespace

void free_fd_info(ORVALIS_API_STRUCT *api, indexical_info *chain) { free_chain(api, chain); }

long prolog_fd_install_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref name_arity,
                                      QX_term_ref module, long chain, long count, QX_term_ref list)
{
  worker *w = fd_worker(api);
  struct fd_state *fd = fd_state(api);
  TAGGED spec = fd_ref_get(api, name_arity), mod = fd_ref_get(api, module);
  refusal r;
  int32_t arity;
  if (!IsStr(spec) || StrFunctor(spec) != functor_slash2 || !IsAtom(deref(StrArg(spec, 1))) ||
      !small_in(StrArg(spec, 2), 0, (int32_t)QX_MAX_ARITY, &arity)) {
    fd_type_error(api, "predicate_indicator", spec, 1);
    fd_native_fail(api);
    return 0;
  }
  if (!IsAtom(mod)) {
    fd_type_error(api, "atom", mod, 2);
    fd_native_fail(api);
    return 0;
  }
  if (chain < 0 || chain > 3) {
    fd_domain_error(api, "indexical_chain", MakeSmall((int32_t)chain), 3);
    fd_native_fail(api);
    return 0;
  }
  std::vector<TAGGED> items;
  r.argument = 5;
  if (!list_elements(fd_ref_get(api, list), MAX_CODE_WORDS, &items, &r)) {
    raise_refusal(api, w, r);
    return 0;
  }
  if (count != (long)items.size()) {
    fd_domain_error(api, "indexical_length", MakeSmall((int32_t)count), 4);
    fd_native_fail(api);
    return 0;
  }
  TAGGED name = deref(StrArg(spec, 1));
  mod_def *m = find_module(mod, 1);
  definition *def =
      find_definition(m, arity ? MakeFunctor(name, (uint32_t)arity) : name, nullptr, 1);
  if (def->properties.builtin_row || def->imported_from || holds_code(def)) {
    fd_permission_error(
        api, "modify", def->properties.dynamic ? "dynamic_procedure" : "static_procedure", spec, 1);
    fd_native_fail(api);
    return 0;
  }
  /* Every record is built before the chain changes: a refused one leaves it as it was. */
  builder b{api, fd, (uint32_t)arity, &r};
  indexical_info *first = nullptr, **last = &first;
  fd_info *info;
  try {
    for (TAGGED e : items) {
      indexical_info *ix = b.record(e, (uint32_t)chain);
      if (!ix) {
        free_chain(api, first);
        raise_refusal(api, w, r);
        return 0;
      }
      ix->pred = def;
      *last = ix;
      last = &ix->next;
    }
    info = init_fd_constraint(api, def);
  } catch (...) { /* a memory fault: the new records go, the installed chain stays */
    free_chain(api, first);
    throw;
  }
  indexical_info *old = info->info[chain];
  info->info[chain] = first;
  free_chain(api, old);
  return 1;
}

/* ---- posting and linking ---- */

namespace {

constexpr uint32_t IX_WORDS = 11; /* ix/7 and its status mutable */
constexpr int CODE_IX_BACK = 1;   /* appended to queue 0 */

inline ix_byte value_bit(const indexical_info *ix)
{
  return ix->checking ? IX_LINK_VALUE_CHECK : IX_LINK_VALUE_PROP;
}
inline indexical_info *info_of(TAGGED ix)
{
  return (indexical_info *)fd_word_address(deref(StrArg(ix, 1)));
}

TAGGED *fresh_var(worker *w)
{
  TAGGED *cell = fd_heap_words(w, 1);
  *cell = MakeRef(cell);
  return cell;
}

TAGGED *make_pair(worker *w, TAGGED functor, TAGGED a, TAGGED b)
{
  TAGGED *p = fd_heap_words(w, 3);
  p[0] = functor;
  p[1] = a;
  p[2] = b;
  return p;
}

/* The terms of one posting; the caller made room for every record. */
struct poster {
  ORVALIS_API_STRUCT *api;
  worker *w;
  struct fd_state *fd;
  TAGGED args, attrs, b, battr;
  TAGGED e3, e4, e5; /* entailment of checking chains; B' and entailment of propagating ones */

  void post(indexical_info *info, int chain)
  {
    bool checking = chain >= 2;
    TAGGED *r = fd_heap_words(w, IX_WORDS);
    r[0] = functor_ix7;
    r[1] = fd_address_word(info);
    r[2] = args;
    r[3] = MakeStr(r + 8);
    r[4] = checking ? e3 : e5;
    r[5] = checking ? b : e4;
    r[6] = attrs;
    r[7] = battr;
    r[8] = functor_mutable2;
    r[9] = MakeSmall((int32_t)FD_ST_INDEXICAL);
    r[10] = MakeSmall(0);
    TAGGED ix = MakeStr(r);
    /* The unbound arguments it must wait for, in linkage order. */
    TAGGED deps = atom_nil, *tail = &deps;
    for (uint32_t i = 0; i < info->length_of_linkage; i++) {
      ix_byte word = info->linkage[i];
      TAGGED x = deref(StrArg(args, (int)(word >> IX_LINK_ARG_SHIFT) + 1));
      if (!(word & value_bit(info)) || !IsVar(x)) continue;
      TAGGED *cell = fd_heap_words(w, 2);
      cell[0] = x;
      cell[1] = atom_nil;
      *tail = MakeLst(cell);
      tail = &cell[1];
    }
    if (!checking && IsVar(b)) {
      TAGGED *iff = fd_heap_words(w, 5);
      iff[0] = functor_iff4;
      iff[1] = ix;
      iff[2] = b;
      iff[3] = MakeSmall(chain);
      iff[4] = e3;
      fd_link(api, w, b, fd->functor_val,
              MakeStr(make_pair(w, functor_minus2, deps, MakeStr(iff))));
    } else if (deps == atom_nil) {
      fd_enqueue_general(api, w, ix, CODE_IX_BACK);
    } else {
      TAGGED rest = deref(LstTail(deps));
      fd_link(api, w, deref(LstHead(deps)), fd->functor_val,
              MakeStr(make_pair(w, functor_minus2, rest, ix)));
    }
  }
};

/* A compound of the given arity. */
bool arguments_of(TAGGED t, uint32_t arity)
{
  return IsStr(t) && !IsBoxHeader(StrFunctor(t)) && Arity(StrFunctor(t)) == arity;
}

}  // namespace

void prolog_fd_post_reified_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref pred,
                                           QX_term_ref args, QX_term_ref attrs, QX_term_ref b,
                                           QX_term_ref battr)
{
  worker *w = fd_worker(api);
  struct fd_state *fd = fd_state(api);
  TAGGED p = fd_ref_get(api, pred);
  definition *def = IsSmall(p) ? known_definition(api, fd_word_address(p)) : nullptr;
  if (!def) {
    fd_type_error(api, "fd_definition", p, 1);
    fd_native_fail(api);
    return;
  }
  uint32_t arity = def->proc.arity;
  for (QX_term_ref ref : {args, attrs})
    if (!arguments_of(fd_ref_get(api, ref), arity)) {
      fd_type_error(api, "compound", fd_ref_get(api, ref), ref == args ? 2 : 3);
      fd_native_fail(api);
      return;
    }
  TAGGED bv = fd_ref_get(api, b);
  bool chains[4] = {IsVar(bv) || bv == MakeSmall(0), IsVar(bv) || bv == MakeSmall(1), IsVar(bv),
                    IsVar(bv)};
  if (!IsVar(bv) && !IsSmall(bv)) {
    fd_type_error(api, "integer", bv, 4);
    fd_native_fail(api);
    return;
  }
  fd->constraints++;
  fd_sync(api, w);
  auto *info = (fd_info *)def->fd_info;
  uint32_t n = 0;
  for (int c = 0; c < 4; c++)
    for (indexical_info *ix = chains[c] ? info->info[c] : nullptr; ix; ix = ix->next) n++;
  if (n == 0) return;
  for (int i = 0; i < FD_LIVE; i++) w->term[i] = atom_nil;
  fd_room(api, w, n * (2 * arity + POST_WORDS_BASE) + ROOM_EXTRA);
  poster post{api,
              w,
              fd,
              fd_ref_get(api, args),
              fd_ref_get(api, attrs),
              fd_ref_get(api, b),
              fd_ref_get(api, battr),
              0,
              0,
              0};
  post.e3 = MakeRef(fresh_var(w));
  post.e4 = MakeRef(fresh_var(w));
  post.e5 = MakeRef(fresh_var(w));
  std::vector<indexical_info *> order;
  for (int c = 0; c < 4; c++) {
    if (!chains[c]) continue;
    /* Those that prune a bound argument first, latest first; then the others in chain order. */
    order.clear();
    for (indexical_info *ix = info->info[c]; ix; ix = ix->next)
      if (!IsVar(deref(StrArg(post.args, ix->pruned + 1)))) order.insert(order.begin(), ix);
    for (indexical_info *ix = info->info[c]; ix; ix = ix->next)
      if (IsVar(deref(StrArg(post.args, ix->pruned + 1)))) order.push_back(ix);
    for (indexical_info *ix : order) post.post(ix, c);
  }
}

void fd_link_indexical(ORVALIS_API_STRUCT *api, worker *w, TAGGED ix)
{
  struct fd_state *fd = fd_state(api);
  ix = deref(ix);
  if (fd_status(ix) & FD_ST_LINKED) return;
  indexical_info *info = info_of(ix);
  fd_room(api, w, LINK_WORDS * info->length_of_linkage + ROOM_EXTRA, &ix, 1);
  for (uint32_t i = 0; i < info->length_of_linkage; i++) {
    ix_byte word = info->linkage[i];
    if ((word & value_bit(info)) || !(word & IX_LINK_MASK)) continue;
    TAGGED x = deref(StrArg(deref(StrArg(ix, 2)), (int)(word >> IX_LINK_ARG_SHIFT) + 1));
    if (IsVar(x)) fd_link(api, w, x, fd->linkage_keys[word & IX_LINK_MASK], ix);
  }
  fd_set_status(api, w, ix, fd_status(ix) | FD_ST_LINKED);
}

/* ---- looking definitions and indexicals up ---- */

namespace {

indexical_info *known_indexical(ORVALIS_API_STRUCT *api, const void *p)
{
  for (auto &[d, where] : fd_defined()) {
    if (!known_definition(api, d)) continue;
    for (indexical_info *chain : ((fd_info *)d->fd_info)->info)
      for (indexical_info *ix = chain; ix; ix = ix->next)
        if (ix == p) return ix;
  }
  return nullptr;
}

}  // namespace

void prolog_fd_find_definition_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref head,
                                              QX_term_ref module, QX_term_ref def)
{
  TAGGED h = fd_ref_get(api, head), m = fd_ref_get(api, module);
  TAGGED key = IsAtom(h) ? h : IsCompound(h) && IsStr(h) ? StrFunctor(h) : 0;
  if (!key || !IsAtom(m)) {
    fd_type_error(api, key ? "atom" : "callable", key ? m : h, key ? 2 : 1);
    fd_native_fail(api);
    return;
  }
  mod_def *md = find_module(m, 0);
  definition *d = md ? find_definition(md, key, nullptr, 0) : nullptr;
  while (d && d->imported_from) d = d->imported_from;
  d = d ? known_definition(api, d) : nullptr;
  fd_ref_put(api, def, d ? fd_address_word(d) : MakeSmall(0));
}

long prolog_fd_indexical_data_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref info,
                                             QX_term_ref kind)
{
  TAGGED t = fd_ref_get(api, info);
  indexical_info *ix = IsSmall(t) ? known_indexical(api, fd_word_address(t)) : nullptr;
  if (!ix) {
    fd_type_error(api, "indexical", t, 1);
    fd_native_fail(api);
    return 0;
  }
  fd_ref_put(api, kind, MakeSmall(ix->checking * 2 + ix->truth_value));
  return (long)(int32_t)ix->code[0];
}

/* ---- saved states ---- */

namespace {

typedef uint32_t (*writer_fn)(const void *, uint32_t, saverest_info *);
/* The saved-state reader: nonzero when it read all the bytes asked for. */
typedef int (*reader_fn)(void *, uint32_t, saverest_info *);

/* A literal block as saved: the set's cell words as offsets from the block's start, so that the
 * same literal saves to the same bytes wherever it lives (the restorer relinks them). */
std::vector<TAGGED> saved_set_block(const TAGGED *block)
{
  uint32_t words = set_block_bytes(block[0]) / 4, k = (words - 1) / 4;
  std::vector<TAGGED> out(block, block + words);
  for (uint32_t j = 0; j < k; j++) {
    out[1 + 4 * j] = (3 + 4 * j) * 4 + QX_TAG_LST;
    out[2 + 4 * j] = j + 1 < k ? (5 + 4 * j) * 4 + QX_TAG_LST : atom_nil;
  }
  return out;
}

bool save_record(const indexical_info *ix, saverest_record r, writer_fn write, saverest_info *info)
{
  r.w2 =
      ix->truth_value | ix->checking << 1 | ix->length_of_linkage << 2 | (uint32_t)ix->pruned << 10;
  r.w3 = ix->length_of_bytecode;
  r.w4 = ix->length_of_literals;
  if (!write(&r, sizeof r, info)) return false;
  if (ix->length_of_linkage && !write(ix->linkage, ix->length_of_linkage * 4, info)) return false;
  if (ix->length_of_literals) {
    std::vector<TAGGED> words(ix->literals, ix->literals + ix->length_of_literals);
    for (TAGGED &t : words)
      if (is_set_literal(t))
        t = set_block_bytes(*StrPtr(t)) + 1;
      else if (is_table_literal(t))
        t = (table_of_literal(t)->mask_and_flags & ~7u) + 18;
    if (!write(words.data(), (uint32_t)words.size() * 4, info)) return false;
    for (uint32_t i = 0; i < ix->length_of_literals; i++) {
      TAGGED t = ix->literals[i];
      if (is_set_literal(t)) {
        std::vector<TAGGED> block = saved_set_block(StrPtr(t));
        if (!write(block.data(), (uint32_t)block.size() * 4, info)) return false;
      } else if (is_table_literal(t)) {
        if (!write(table_of_literal(t), table_bytes(table_of_literal(t)), info)) return false;
      }
    }
  }
  std::vector<ix_byte> code(ix->code, ix->code + ix->length_of_bytecode);
  if (!relocate_bytecode(code.data(), (uint32_t)code.size(), ix->literals, ix->length_of_literals,
                         1))
    return false;
  return write(code.data(), (uint32_t)code.size() * 4, info) != 0;
}

/* Reads n words into a fresh array (none for n = 0). */
template <typename T>
bool read_array(ORVALIS_API_STRUCT *api, T **out, uint32_t n, reader_fn read, saverest_info *info)
{
  *out = zeroed_array<T>(api, n);
  return n == 0 || read(*out, n * sizeof(T), info);
}

/* One saved literal block over its announcing word: false when the word or the block is not one
 * the saver writes. */
bool read_literal(ORVALIS_API_STRUCT *api, TAGGED word, TAGGED *literal, reader_fn read,
                  saverest_info *info)
{
  if (IsStr(word)) {
    uint32_t bytes = word - 1, words = bytes / 4, k = words > 0 ? (words - 1) / 4 : 0;
    if (bytes % 4 || words != 1 + 4 * k || k == 0 || k > MAX_INTERVALS) return false;
    TAGGED *block = (TAGGED *)qx_checkalloc(bytes, QX_SPACE_SOLVER);
    *literal = MakeStr(block);
    if (!read(block, bytes, info)) {
      block[0] = set_header(k); /* so that it is freed with its size */
      return false;
    }
    bool header = block[0] == set_header(k);
    block[0] = set_header(k);
    std::vector<std::pair<TAGGED, TAGGED>> set;
    for (uint32_t j = 0; j < k; j++) set.emplace_back(block[3 + 4 * j], block[4 + 4 * j]);
    size_t bad;
    link_set_block(block, k);
    return header && proper_intervals(set, &bad);
  }
  if (IsLst(word)) {
    if (word < 18 || (word - 18) % 8) return false;
    uint32_t slots = ((word - 18) >> 3) + 1;
    if (slots > MAX_TABLE_SLOTS || (slots & (slots - 1))) return false;
    sw_on_key *table = new_switch_on_key(slots, 0);
    *literal = table_word(table);
    bool whole = read(table, word - 2, info);
    bool shape = (table->mask_and_flags & ~7u) == word - 18;
    table->mask_and_flags = (slots - 1) << 3;
    uint32_t empty = 0;
    for (uint32_t i = 0; i < slots; i++) empty += table->node[i].key == 0;
    return whole && shape && empty > 0;
  }
  *literal = word;
  return IsConst(word);
}

bool read_record(ORVALIS_API_STRUCT *api, indexical_info *ix, uint32_t arity, reader_fn read,
                 saverest_info *info)
{
  if (!read_array(api, &ix->linkage, ix->length_of_linkage, read, info)) return false;
  for (uint32_t i = 0; i < ix->length_of_linkage; i++)
    if ((ix->linkage[i] >> IX_LINK_ARG_SHIFT) >= arity || (ix->linkage[i] & 0xE0)) return false;
  std::vector<TAGGED> words(ix->length_of_literals);
  if (!words.empty() && !read(words.data(), (uint32_t)words.size() * 4, info)) return false;
  ix->literals = zeroed_array<TAGGED>(api, ix->length_of_literals);
  for (uint32_t i = 0; i < ix->length_of_literals; i++)
    if (!read_literal(api, words[i], &ix->literals[i], read, info)) return false;
  if (!read_array(api, &ix->code, ix->length_of_bytecode, read, info)) return false;
  std::vector<uint8_t> roles(ix->length_of_bytecode);
  uint32_t fault;
  return walk_code(ix->code, ix->length_of_bytecode, roles.data(), &fault) &&
         relocate_bytecode(ix->code, ix->length_of_bytecode, ix->literals, ix->length_of_literals,
                           0) &&
         depth_fault(ix->code, ix->length_of_bytecode) < 0;
}

}  // namespace

int fd_save_hook(void *cookie, saverest_record *record, definition *def, writer_fn write,
                 saverest_info *info)
{
  auto *chains = (fd_info *)def->fd_info;
  if (!chains) return 1;
  for (indexical_info *chain : chains->info)
    for (indexical_info *ix = chain; ix; ix = ix->next)
      if (!save_record(ix, *record, write, info)) return 0;
  return 1;
}

int fd_restore_hook(void *cookie, saverest_record *record, reader_fn read, saverest_info *info)
{
  auto *api = (ORVALIS_API_STRUCT *)cookie;
  auto *def = (definition *)(uintptr_t)record->w1;
  uint32_t packed = record->w2, arity = def->proc.arity;
  if ((packed >> 10) >= arity || record->w3 == 0 || record->w3 > MAX_CODE_WORDS ||
      record->w4 > MAX_LITERALS || def->properties.builtin_row || def->imported_from)
    return 0;
  indexical_info *ix = new_record(api, def);
  ix->pruned = (uint8_t)(packed >> 10);
  ix->checking = (packed >> 1) & 1;
  ix->truth_value = packed & 1;
  ix->length_of_linkage = (packed >> 2) & 255;
  ix->length_of_bytecode = record->w3;
  ix->length_of_literals = record->w4;
  fd_info *chains;
  try {
    chains = read_record(api, ix, arity, read, info) ? init_fd_constraint(api, def) : nullptr;
  } catch (...) { /* a memory fault: the record goes, the fault goes on */
    free_record(api, ix);
    throw;
  }
  if (!chains) {
    free_record(api, ix);
    return 0;
  }
  indexical_info **end = &chains->info[packed & 3];
  while (*end) end = &(*end)->next;
  *end = ix;
  return 1;
}

void fd_destructor_hook(void *cookie, void *chain)
{
  auto *api = (ORVALIS_API_STRUCT *)cookie;
  if (!chain) return;
  fd_defined().erase(((indexical_info *)chain)->pred);
  free_chain(api, (indexical_info *)chain);
}

namespace {

/* Makes an FD-defined definition undefined, as the engine does: its chains and declarations go
 * and calling it is an existence error again. */
void undefine(ORVALIS_API_STRUCT *api, definition *def)
{
  auto *chains = (fd_info *)def->fd_info;
  def->fd_info = nullptr;
  fd_defined().erase(def);
  for (indexical_info *chain : chains->info) free_chain(api, chain);
  qx_checkdealloc(chains, QX_FD_INFO_BYTES, QX_FD_INFO_SPACE);
  qx_forget_definition(def);
  update_exports(def, ENTER_UNDEFINED);
}

}  // namespace

void fd_release_indexicals(ORVALIS_API_STRUCT *api)
{
  std::map<definition *, fd_definition> defined;
  defined.swap(fd_defined());
  for (auto &[d, where] : defined) {
    fd_defined().insert({d, where}); /* so that it is known while it goes */
    if (known_definition(api, d)) undefine(api, d);
    fd_defined().erase(d);
  }
}
