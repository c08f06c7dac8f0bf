/* The Boolean connective Z = X op Y over three 0/1 variables, a stateless global constraint.
 *
 * State: bool-state(X, XAttr, Y, YAttr, Z, ZAttr, Op, ...); the output state is the input state.
 * Each run classifies X, Y and Z as 0, 1 or unbound (2) and carries out one cell of a decision
 * table indexed by ((Op*3 + x)*3 + y)*3 + z. A cell is a short list of branches, each guarded by
 * an alias test between two of its unbound variables (or by none) and tried in order: it entails,
 * fails, suspends, or fixes some variables and entails. Where a cell fixes two views of the same
 * variable to different values, the second export finds the first value and fails the run.
 */
#include <array>

#include "fd_kernel.h"

namespace {

enum alias_test : uint8_t { ALWAYS, X_IS_Y, X_IS_Z, Y_IS_Z };

struct branch {
  uint8_t test = ALWAYS;
  int8_t outcome = 0; /* 1 entailed (after the assignments), 0 suspended, -1 failed */
  uint8_t fix = 0;    /* bit k: variable k (X, Y, Z) is fixed */
  uint8_t value = 0;  /* bit k: to 1 (else to 0) */
};

struct cell {
  branch b[4];
};

constexpr int CELLS = 8 * 27;

/* A cell written as branches separated by ';', each an optional alias test "xy:", "xz:" or "yz:"
 * followed by E (entailed), F (fail), S (suspend) or assignments such as X1Y0. */
consteval cell parse_cell(const char *text)
{
  cell c{};
  int n = 0;
  for (const char *p = text; *p;) {
    branch &b = c.b[n++];
    if (p[0] >= 'a' && p[2] == ':') {
      b.test = p[0] == 'x' ? (p[1] == 'y' ? X_IS_Y : X_IS_Z) : Y_IS_Z;
      p += 3;
    }
    if (*p == 'E' || *p == 'F' || *p == 'S') {
      b.outcome = *p == 'E' ? 1 : *p == 'F' ? -1 : 0;
      p++;
    } else {
      b.outcome = 1;
      for (; *p == 'X' || *p == 'Y' || *p == 'Z'; p += 2) {
        uint8_t bit = (uint8_t)(1u << (*p - 'X'));
        b.fix |= bit;
        if (p[1] == '1') b.value |= bit;
      }
    }
    if (*p == ';') p++;
  }
  return c;
}

/* Per op nine rows (X Y = 00, 01, 0?, 10, 11, 1?, ?0, ?1, ??), per row the columns Z = 0, Z = 1,
 * Z unbound. */
constexpr const char *CELL_TEXT[CELLS] = {
    /* 0: Z = X and Y */
    "E", "F", "Z0", "E", "F", "Z0", "E", "F", "Z0",           //
    "E", "F", "Z0", "F", "E", "Z1", "Y0", "Y1", "S",          //
    "E", "F", "Z0", "X0", "X1", "S", "xy:X0;S", "X1Y1", "S",  //
    /* 1: Z = X and not Y */
    "E", "F", "Z0", "E", "F", "Z0", "E", "F", "Z0",                   //
    "F", "E", "Z1", "E", "F", "Z0", "Y1", "Y0", "yz:F;S",             //
    "X0", "X1", "S", "E", "F", "Z0", "S", "X1Y0", "xy:Z0;yz:X0Y0;S",  //
    /* 2: Z = not (X and Y) */
    "F", "E", "Z1", "F", "E", "Z1", "F", "E", "Z1",                                //
    "F", "E", "Z1", "E", "F", "Z0", "Y1", "Y0", "yz:F;S",                          //
    "F", "E", "Z1", "X1", "X0", "xz:F;S", "X1Y1", "xy:X0;S", "xz:X1Y0;yz:X0Y1;S",  //
    /* 3: Z = X or Y */
    "E", "F", "Z0", "F", "E", "Z1", "Y0", "Y1", "S",          //
    "F", "E", "Z1", "F", "E", "Z1", "F", "E", "Z1",           //
    "X0", "X1", "S", "F", "E", "Z1", "X0Y0", "xy:X1;S", "S",  //
    /* 4: Z = X or not Y */
    "F", "E", "Z1", "E", "F", "Z0", "Y1", "Y0", "yz:F;S",             //
    "F", "E", "Z1", "F", "E", "Z1", "F", "E", "Z1",                   //
    "F", "E", "Z1", "X0", "X1", "S", "X0Y1", "S", "xy:Z1;yz:X1Y1;S",  //
    /* 5: Z = not (X or Y) */
    "F", "E", "Z1", "E", "F", "Z0", "Y1", "Y0", "yz:F;S",                          //
    "E", "F", "Z0", "E", "F", "Z0", "E", "F", "Z0",                                //
    "X1", "X0", "xz:F;S", "E", "F", "Z0", "xy:X1;S", "X0Y0", "xz:X0Y1;yz:X1Y0;S",  //
    /* 6: Z = X xor Y */
    "E", "F", "Z0", "F", "E", "Z1", "Y0", "Y1", "S",                              //
    "F", "E", "Z1", "E", "F", "Z0", "Y1", "Y0", "yz:F;S",                         //
    "X0", "X1", "S", "X1", "X0", "xz:F;S", "S", "xy:F;S", "xy:Z0;xz:Y0;yz:X0;S",  //
    /* 7: Z = (X equals Y) */
    "F", "E", "Z1", "E", "F", "Z0", "Y1", "Y0", "yz:F;S",                         //
    "E", "F", "Z0", "F", "E", "Z1", "Y0", "Y1", "S",                              //
    "X1", "X0", "xz:F;S", "X0", "X1", "S", "xy:F;S", "S", "xy:Z1;xz:Y1;yz:X1;S",  //
};

consteval std::array<cell, CELLS> make_table()
{
  std::array<cell, CELLS> table{};
  for (int i = 0; i < CELLS; i++) table[i] = parse_cell(CELL_TEXT[i]);
  return table;
}

constexpr std::array<cell, CELLS> TABLE = make_table();

/* deref for a state's word, its usual shapes first: no reference, or one to an unbound cell or to
 * a value. */
[[gnu::always_inline]] inline TAGGED state_deref(TAGGED t)
{
  if (!IsRef(t)) return t;
  TAGGED cell = *RefPtr(t);
  return cell == t || !IsRef(cell) ? cell : deref(cell);
}

/* The table value of a state's variable: 0 or 1 bound, 2 unbound, -1 anything else. */
int classify(TAGGED x, TAGGED attr)
{
  /* a box's header is no functor */
  if (IsVar(x)) return IsStr(attr) && StrFunctor(attr) == functor_v4 ? 2 : -1;
  return x == MakeSmall(0) ? 0 : x == MakeSmall(1) ? 1 : -1;
}

/* The dom/4 record of an attribute read from the state: in one look where its domain mutable
 * holds the record itself, else through fd_attr_dom. */
[[gnu::always_inline]] inline TAGGED *attr_dom(TAGGED attr)
{
  TAGGED dom = fd_attr_own_dom(attr);
  return StrPtr(dom ? dom : fd_attr_dom(attr));
}

/* Fixes the variable var with attribute attr, both as read from the state, to v, as a view's fix
 * and export would: the tell of the value and its waking when the domain is an interval of finite
 * size that holds v and more; nothing when it is v alone. False, having done nothing, for the
 * other domains and in debugging mode. */
bool fix_direct(ORVALIS_API_STRUCT *api, worker *w, TAGGED var, TAGGED attr, int v, int *outcome)
{
  TAGGED *dom = attr_dom(attr);
  if (fd_state(api)->debugging || !fd_dom_small_interval(dom)) return false;
  TAGGED min = dom[2], max = dom[3];
  if (GetSmall(min) > v || GetSmall(max) < v) {
    *outcome = -1;
    return true;
  }
  if (min == max) return true;
  fd_tell_narrowed_dom(api, w, attr, var, dom, v, v, 0);
  return true;
}

/* Carries out one cell: 1 entailed, 0 suspended, -1 failed. cells holds the variable and the
 * attribute of X, Y and Z in turn, read from the state; the variables' views are made for the
 * ones the cell fixes, with cells as their roots. A single fix is told directly where it can be. */
int run_cell(ORVALIS_API_STRUCT *api, worker *w, const cell &c, TAGGED cells[6])
{
  for (const branch &b : c.b) {
    bool taken = b.test == ALWAYS || (b.test == X_IS_Y && cells[0] == cells[2]) ||
                 (b.test == X_IS_Z && cells[0] == cells[4]) ||
                 (b.test == Y_IS_Z && cells[2] == cells[4]);
    if (!taken) continue;
    if (!b.fix) return b.outcome;
    if ((b.fix & (b.fix - 1)) == 0) {
      int k = b.fix == 1 ? 0 : b.fix == 2 ? 1 : 2, outcome = b.outcome;
      if (fix_direct(api, w, cells[2 * k], cells[2 * k + 1], b.value >> k & 1, &outcome))
        return outcome;
    }
    fd_roots keep(api, cells, 6);
    dvar d[3];
    for (int k = 0; k < 3; k++) {
      if (!(b.fix >> k & 1)) continue;
      dvar_init(&d[k], &cells[2 * k + 1], &cells[2 * k]);
      TAGGED v = MakeSmall(b.value >> k & 1);
      if (dvar_fix_interval_t(&d[k], v, v) < 0) return -1;
      dvar_pruning_done(api, w, &d[k]);
    }
    /* Each view was loaded before any export: one that names a variable exported already sees
     * its new domain in the export and fails on a different value. */
    for (int k = 0; k < 3; k++)
      if (b.fix >> k & 1) dvar_export_do(api, w, &d[k]);
    return b.outcome;
  }
  return 0;
}

}  // namespace

void prolog_fd_bool_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                                   QX_term_ref actions)
{
  worker *w = fd_global_run(api, state0);
  if (!w) return;
  TAGGED s = w->term[0];
  if (!IsStr(s) || IsBox(s) || Arity(StrFunctor(s)) < 7) {
    fd_type_error(api, "compound", s, 0);
    fd_native_fail(api);
    return;
  }
  TAGGED op = deref(StrArg(s, 7));
  if (!IsInteger(op)) {
    if (IsVar(op))
      fd_instantiation_error(api, 0);
    else
      fd_type_error(api, "integer", op, 0);
    fd_native_fail(api);
    return;
  }
  int outcome = 0;
  if (IsSmall(op) && GetSmall(op) >= 0 && GetSmall(op) <= 7) {
    TAGGED cells[6];
    int index = (int)GetSmall(op);
#pragma GCC unroll 3
    for (int k = 0; k < 3; k++) {
      TAGGED x = state_deref(StrArg(s, 2 * k + 1)), attr = state_deref(StrArg(s, 2 * k + 2));
      int value = classify(x, attr);
      if (value < 0) {
        outcome = -1; /* a value outside 0..1, or a variable with no domain: no model */
        break;
      }
      index = index * 3 + value;
      cells[2 * k] = x;
      cells[2 * k + 1] = attr;
    }
    if (outcome == 0) outcome = run_cell(api, w, TABLE[index], cells);
  }
  fd_ref_put(api, state, w->term[0]);
  dvar_export_done(api, w, actions, outcome);
}
