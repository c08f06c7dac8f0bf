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
  return "clpfd:'$fd_arg_attribute'(" + x + ", 1, XA" + n + "), clpfd:'$fd_arg_attribute'(" + y +
         ", 1, YA" + n + "), clpfd:'$fd_arg_attribute'(" + z + ", 1, ZA" + n +
         "), clpfd:'$fd_post_global'(" + c + ", bs(" + x + ", XA" + n + ", " + y + ", YA" + n +
         ", " + z + ", ZA" + n + ", " + op + ", _, 0), 0, " + c + ", [dom(" + x + "), dom(" + y +
         "), dom(" + z + ")], G" + n + ")";
}

/* Fresh 0..1 variables V0..Vn-1. */
std::string fresh(int n)
{
  std::string s = "true";
  for (int k = 0; k < n; k++) s += ", clpfd:'$fd_in_interval'(V" + std::to_string(k) + ", 0, 1, 0)";
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
    std::string goal = fresh(n) + ", Vs = " + var_list(n) + ", undone((clpfd:'$fd_begin', " +
                       post(g, 0, op) +
                       ", bool_prop, codes(Vs, C), dead(G0, E)), C-E, L), codes(Vs, B)";
    EXPECT_EQ(run(goal), 1) << goal << exception();
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
        int n = 0;
        for (int a : g.arg) n = std::max(n, a - 1);
        std::string what = "op " + std::to_string(op) + " " + term(g.arg[0]) + " " +
                           term(g.arg[1]) + " " + term(g.arg[2]);
        SCOPED_TRACE(what);
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
        if (o.entailed)
          for (int a = 0; a < 1 << n; a++)
            if (within(a, o.domains, n))
              EXPECT_NE(std::find(ms.begin(), ms.end(), a), ms.end())
                  << "entailed, not a model " << a;
      }
    }
  EXPECT_EQ(runs, 8 * (8 + 12 + 12 + 5));
}
