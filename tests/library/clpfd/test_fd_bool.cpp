/* The Boolean connective bool/4, posted as a global constraint and run by the propagation loop,
 * against a truth-table oracle: the 0/1 assignments of the distinct variables.
 */
#include <random>

#include "fd_kernel_env.h"

namespace {

/* Z = X op Y. */
int relation(int op, int x, int y)
{
  switch (op) {
  case 0: return x & y;
  case 1: return x & !y;
  case 2: return !(x & y);
  case 3: return x | y;
  case 4: return x | !y;
  case 5: return !(x | y);
  case 6: return x ^ y;
  default: return x == y;
  }
}

/* A connective over signals: each of X, Y, Z a constant (0, 1) or variable 2 + k; variables with
 * the same k are one variable. */
struct gate {
  int op;
  int arg[3];
};

std::string term(int a) { return a < 2 ? std::to_string(a) : "V" + std::to_string(a - 2); }
std::string show(const gate &g, const std::string &op)
{
  return "op " + op + " " + term(g.arg[0]) + " " + term(g.arg[1]) + " " + term(g.arg[2]);
}
/* The number of distinct variables of a gate. */
int vars(const gate &g)
{
  int n = 0;
  for (int a : g.arg) n = std::max(n, a - 1);
  return n;
}

std::string var_list(int n)
{
  std::string s = "[";
  for (int k = 0; k < n; k++) s += (k ? ", V" : "V") + std::to_string(k);
  return s + "]";
}

/* Posts a gate in a fresh level's queue; its global is Gi. */
std::string post(const gate &g, int i, const std::string &op)
{
  std::string x = term(g.arg[0]), y = term(g.arg[1]), z = term(g.arg[2]), n = std::to_string(i);
  std::string c = "bool(" + x + ", " + y + ", " + z + ", " + op + ")";
  return "'$fd_arg_attribute'(" + x + ", 1, XA" + n + "), '$fd_arg_attribute'(" + y + ", 1, YA" +
         n + "), '$fd_arg_attribute'(" + z + ", 1, ZA" + n + "), '$fd_post_global'(" + c + ", bs(" +
         x + ", XA" + n + ", " + y + ", YA" + n + ", " + z + ", ZA" + n + ", " + op +
         ", _, 0), 0, " + c + ", [dom(" + x + "), dom(" + y + "), dom(" + z + ")], G" + n + ")";
}

/* Fresh 0..1 variables V0..Vn-1. */
std::string fresh(int n)
{
  std::string s = "true";
  for (int k = 0; k < n; k++) s += ", '$fd_in_interval'(V" + std::to_string(k) + ", 0, 1, 0)";
  return s;
}

/* The 0/1 assignments of n variables (bit k the value of variable k) that satisfy the gates. */
std::vector<int> models(const std::vector<gate> &gates, int n)
{
  std::vector<int> out;
  for (int a = 0; a < 1 << n; a++) {
    bool ok = true;
    for (const gate &g : gates) {
      int v[3];
      for (int k = 0; k < 3; k++) v[k] = g.arg[k] < 2 ? g.arg[k] : a >> (g.arg[k] - 2) & 1;
      ok = ok && relation(g.op, v[0], v[1]) == v[2];
    }
    if (ok) out.push_back(a);
  }
  return out;
}

/* Whether assignment a lies in the domains: two bits per variable (bit 0 value 0, bit 1 value 1). */
bool within(int a, int domains, int n)
{
  for (int k = 0; k < n; k++)
    if (!(domains >> (2 * k) >> (a >> k & 1) & 1)) return false;
  return true;
}

int all_open(int n) { return (1 << 2 * n) - 1; }

}  // namespace

class FdBool : public FdKernelTest {
protected:
  FdBool()
  {
    /* bool_prop: the loop to its end; codes(Vs, C): the domains of Vs, two bits per variable. */
    consult("bool_prop :- clpfd:'$fd_evaluate_indexical'(_, R), bool_prop(R).\n"
            "bool_prop(0).\n"
            "bool_prop(1) :- bool_prop.\n"
            "bool_prop(R) :- R > 1, throw(handed_back(R)).\n"
            "codes([], 0).\n"
            "codes([V|Vs], C) :- codes(Vs, C0), bits(V, B), C is C0 << 2 \\/ B.\n"
            "bits(V, B) :- integer(V), !, B is 1 << V.\n"
            "bits(V, B) :- clpfd:'$fd_arg_attribute'(V, 1, v(_, _, M, _)), mval(M, dom(S, _, _, "
            "_)), set_bits(S, 0, B).\n"
            "mval('$mutable'(V0, _), V) :- ( V0 = '$mutable'(_, _) -> mval(V0, V) ; V = V0 ).\n"
            "set_bits([], B, B).\n"
            "set_bits([[L|H]|T], B0, B) :- B1 is B0 \\/ ((1 << (H + 1)) - (1 << L)), "
            "set_bits(T, B1, B).\n"
            "dead(G, 1) :- arg(4, G, D), nonvar(D), !.\n"
            "dead(_, 0).\n"
            "rerun(G) :- dead(G, 1), !.\n"
            "rerun(G) :- G = global(M, C, _, _, _), mval(M, S), "
            "clpfd:'$fd_dispatch_global_fast'(C, S, _, A, G, 1), "
            "clpfd:'$fd_prune_and_enqueue'(A, G).\n"
            "rerun_all([]).\n"
            "rerun_all([G|Gs]) :- rerun(G), rerun_all(Gs).\n"
            "undone(G, T, R) :- ( call(G), assertz(bool_seen(T)), fail ; true ), "
            "( retract(bool_seen(R)) -> true ; R = failed ).\n");
  }

  struct outcome {
    bool failed;
    int domains; /* after the loop */
    bool entailed;
    int restored; /* after backtracking over the run */
  };

  /* Posts one gate on fresh variables and runs the loop, then backtracks over the run. */
  outcome run_gate(const gate &g, int n, const std::string &op)
  {
    std::string goal = fresh(n) + ", Vs = " + var_list(n) + ", undone(('$fd_begin', " +
                       post(g, 0, op) +
                       ", bool_prop, codes(Vs, C), dead(G0, E)), C-E, L), codes(Vs, B)";
    fd_undo_scope undo(w);
    EXPECT_EQ(go(goal), 1) << goal << exception();
    outcome o{};
    o.restored = std::stoi(var("B"));
    std::string l = var("L");
    o.failed = l == "failed";
    if (!o.failed) {
      size_t dash = l.find(',');
      o.domains = std::stoi(l.substr(l.find('(') + 1));
      o.entailed = l[dash + 1] == '1';
    }
    return o;
  }
};

/* Every cell of every op with every alias pattern of its unbound variables: failure only without
 * models; an entailed run only with models left; every model kept; every value left is part of
 * a model; backtracking restores the domains. */
TEST_F(FdBool, EveryCellAgainstTheTruthTable)
{
  int runs = 0;
  for (int op = 0; op < 8; op++)
    for (int cell = 0; cell < 27; cell++) {
      int cls[3] = {cell / 9, cell / 3 % 3, cell % 3};
      /* alias patterns: restricted growth strings over the unbound positions */
      std::vector<gate> patterns{{op, {}}};
      for (int k = 0; k < 3; k++) {
        std::vector<gate> next;
        for (gate g : patterns) {
          if (cls[k] < 2) {
            g.arg[k] = cls[k];
            next.push_back(g);
            continue;
          }
          int used = 0;
          for (int j = 0; j < k; j++) used = std::max(used, g.arg[j] - 1);
          for (int v = 0; v <= used; v++) {
            g.arg[k] = 2 + v;
            next.push_back(g);
          }
        }
        patterns = next;
      }
      for (const gate &g : patterns) {
        int n = vars(g);
        SCOPED_TRACE(show(g, std::to_string(op)));
        std::vector<int> ms = models({g}, n);
        outcome o = run_gate(g, n, std::to_string(op));
        runs++;
        EXPECT_EQ(o.restored, all_open(n));
        EXPECT_EQ(o.failed, ms.empty());
        if (o.failed) continue;
        for (int m : ms) EXPECT_TRUE(within(m, o.domains, n)) << "lost model " << m;
        int support = 0;
        for (int m : ms)
          support |= [&] {
            int bits = 0;
            for (int k = 0; k < n; k++) bits |= 1 << (2 * k + (m >> k & 1));
            return bits;
          }();
        EXPECT_EQ(o.domains & ~support, 0) << "unsupported values";
        for (int a = 0; o.entailed && a < 1 << n; a++)
          if (within(a, o.domains, n)) {
            EXPECT_NE(std::find(ms.begin(), ms.end(), a), ms.end())
                << "entailed, not a model " << a;
          }
      }
    }
  EXPECT_EQ(runs, 8 * (8 + 12 + 12 + 5));
}

/* The four cells that fix one variable to two values (through two of its views) end in failure:
 * the run's actions carry the fail of the second export, applying them fails, and so does the
 * loop. */
TEST_F(FdBool, ContradictoryAssignmentsFailThroughTheSecondExport)
{
  const gate cells[] = {{1, {2, 2, 1}}, {4, {2, 2, 0}}, {2, {2, 2, 2}}, {5, {2, 2, 2}}};
  for (const gate &g : cells) {
    std::string op = std::to_string(g.op);
    SCOPED_TRACE(show(g, op));
    ASSERT_EQ(go(fresh(1) + ", '$fd_begin', " + post(g, 0, op) +
                 ", G0 = global(M, C, _, _, _), mval(M, S), "
                 "'$fd_dispatch_global_fast'(C, S, _, A, G0, R), "
                 "( '$fd_prune_and_enqueue'(A, G0) -> P = applied ; P = failed )"),
              1)
        << exception();
    EXPECT_EQ(var("R") + " " + var("A") + " " + var("P"), "1 [exit,fail] failed");
    EXPECT_EQ(run_gate(g, 1, op).failed, true);
  }
}

/* An op outside 0..7 suspends whatever the variables are; a state whose op is no integer, or that
 * is too short, raises an error; so does '$fd_bool'/3 called from Prolog without a global record. */
TEST_F(FdBool, BadOps)
{
  const gate shapes[] = {{0, {2, 3, 1}}, {0, {1, 1, 0}}, {0, {2, 2, 2}}, {0, {2, 3, 4}}};
  for (const char *op : {"8", "-1", "1000", "1099511627776", "-1099511627776"})
    for (const gate &g : shapes) {
      int n = vars(g);
      SCOPED_TRACE(show(g, op));
      outcome o = run_gate(g, n, op);
      EXPECT_FALSE(o.failed);
      EXPECT_FALSE(o.entailed);
      EXPECT_EQ(o.domains, all_open(n));
    }
  const struct {
    std::string op, error;
  } bad[] = {{"a", "type_error(integer,a)"},
             {"1.5", "type_error(integer,1.5)"},
             {"f(1)", "type_error(integer,f(1))"},
             {"\"\"", "type_error(integer,[])"},
             {"_", "instantiation_error"}};
  for (const auto &b : bad) {
    SCOPED_TRACE(b.op);
    std::string goal = fresh(2) + ", '$fd_begin', " + post({0, {2, 3, 1}}, 0, b.op) +
                       ", catch(bool_prop, error(E, _), true)";
    ASSERT_EQ(go(goal), 1) << exception();
    EXPECT_EQ(var("E"), b.error);
  }
  ASSERT_EQ(go(fresh(1) + ", '$fd_begin', '$fd_post_global'(bool(V0, 1, 1, 0), "
                          "bs(V0, _, 1, _, 1, _), 0, bool(V0, 1, 1, 0), [dom(V0)], _), "
                          "catch(bool_prop, error(E, _), true)"),
            1)
      << exception();
  EXPECT_EQ(var("E"), "type_error(compound,bs(_,_,1,_,1,_))");
  /* a value outside 0..1, or a variable with no domain, has no model */
  for (const char *state : {"bs(V0, A, 5, A, 1, A, 0)", "bs(V0, A, x, A, 1, A, 3)",
                            "bs(V0, A, W, foo, 1, A, 3)", "bs(V0, A, W, v(1), 1, A, 3)"}) {
    SCOPED_TRACE(state);
    ASSERT_EQ(go(fresh(1) + ", '$fd_arg_attribute'(V0, 1, A), '$fd_begin', " +
                 "'$fd_post_global'(bool(V0, V0, V0, 0), " + state +
                 ", 0, bool(V0), [dom(V0)], _), \\+ bool_prop"),
              1)
        << exception();
  }
  ASSERT_EQ(go("'$fd_in_interval'(V, 0, 1, 0), "
               "catch('$fd_bool'(bs(V, _, 1, _, 1, _, 0), _, _), error(E, _), true)"),
            1)
      << exception();
  EXPECT_NE(var("E"), "_") << "no global record: an error";
}

/* Random circuits, some signals one variable, some fixed after posting so that the gates run
 * again: the loop keeps every model and fails only without one; at its fixpoint a rerun of each
 * live gate prunes nothing; backtracking restores every domain. */
TEST_F(FdBool, CircuitsAtTheirFixpoint)
{
  std::mt19937 random(22);
  for (int round = 0; round < 150; round++) {
    fd_undo_scope undo(w);
    const int n = 8;
    std::vector<gate> gates(3 + random() % 4);
    for (gate &g : gates) {
      g.op = (int)(random() % 8);
      for (int &a : g.arg) a = 2 + (int)(random() % n);
    }
    std::string goal = fresh(n) + ", Vs = " + var_list(n) + ", undone(('$fd_begin'";
    std::string gs = "[";
    for (size_t i = 0; i < gates.size(); i++) {
      goal += ", " + post(gates[i], (int)i, std::to_string(gates[i].op));
      gs += (i ? ", G" : "G") + std::to_string(i);
    }
    std::vector<gate> all = gates;
    for (int k = 0; k < n; k++)
      if (random() % 4 == 0) {
        int v = (int)(random() % 2);
        goal += ", '$fd_in_interval'(V" + std::to_string(k) + ", " + std::to_string(v) + ", " +
                std::to_string(v) + ", 0)";
        all.push_back({7, {2 + k, 1, v}}); /* Vk = 1 as (Vk equals 1) = v */
      }
    goal += ", bool_prop, codes(Vs, C), '$fd_begin', rerun_all(" + gs +
            "]), bool_prop, codes(Vs, C2)), C-C2, L), codes(Vs, B)";
    SCOPED_TRACE(goal);
    ASSERT_EQ(go(goal), 1) << exception();
    std::vector<int> ms = models(all, n);
    EXPECT_EQ(std::stoi(var("B")), all_open(n));
    std::string l = var("L");
    if (l == "failed") {
      EXPECT_TRUE(ms.empty());
      continue;
    }
    int domains = std::stoi(l.substr(l.find('(') + 1)),
        after = std::stoi(l.substr(l.find(',') + 1));
    EXPECT_EQ(after, domains) << "a rerun at the fixpoint pruned";
    for (int m : ms) EXPECT_TRUE(within(m, domains, n)) << "lost model " << m;
  }
}

/* A gate with one variable, its domain over 0..3 maybe wider than 0..1 or with holes: where the
 * given values force one value on it the run fixes it, or fails without that value; where they
 * allow both it is left as it is; where they allow none the run fails. */
TEST_F(FdBool, OneVariableOfAnyDomain)
{
  for (int c = 0; c < 8 * 3 * 4; c++) /* op, the variable's place, the two values given */
    for (const char *set : {"[[0|1]]", "[[1|2]]", "[[2|3]]", "[[0|0],[2|2]]", "[[1|1],[3|3]]",
                            "[[0|3]]", "[[0|1],[3|3]]", "[[0|0],[2|3]]"}) {
      int op = c / 12, k = c / 4 % 3, allowed = 0; /* bit v: the gate holds with the variable v */
      gate g{op, {}};
      for (int j = 0, n = 0; j < 3; j++) g.arg[j] = j == k ? 2 : c >> n++ & 1;
      for (int v = 0; v < 2; v++) {
        int a[3] = {g.arg[0], g.arg[1], g.arg[2]};
        a[k] = v;
        allowed |= (relation(op, a[0], a[1]) == a[2]) << v;
      }
      std::string goal = "'$fd_in_set'(V0, " + std::string(set) +
                         ", 0), bits(V0, D), undone(('$fd_begin', " +
                         post(g, 0, std::to_string(op)) + ", bool_prop, bits(V0, M)), M, R)";
      SCOPED_TRACE(goal);
      fd_undo_scope undo(w);
      ASSERT_EQ(go(goal), 1) << exception();
      int after = allowed == 3 ? std::stoi(var("D")) : allowed & std::stoi(var("D"));
      EXPECT_EQ(var("R"), after ? std::to_string(after) : "failed");
    }
}
