/* The reified and related constraints le_iff/3, eq_iff/3, in_set_iff/3, oneof/3 and abs/2, posted
 * as global constraints and run by the propagation loop; a search driver supplies the hook that
 * merges two FD variables the engine unifies. Random instances are checked against brute force
 * over the distinct variables.
 */
#include <functional>
#include <memory>
#include <random>
#include <set>

#include "driver/fd_driver.h"
#include "fd_kernel_env.h"
#include "gc.h"

namespace {

/* The relation of each constraint over argument values (in_set_iff's set is a bit mask of
 * -4..4, passed as a). */
bool holds(const std::string &k, const std::vector<int> &v, int set = 0)
{
  if (k == "le_iff") return v[2] == (v[0] <= v[1]);
  if (k == "eq_iff") return v[2] == (v[0] == v[1]);
  if (k == "in_set_iff") return v[1] == (v[0] >= -4 && v[0] <= 4 && (set >> (v[0] + 4) & 1));
  if (k == "oneof") return v[2] == v[0] || v[2] == v[1];
  return v[1] == (v[0] < 0 ? -v[0] : v[0]); /* abs */
}

/* An FD set term of the values of a mask over -4..4 (bit v + 4). */
std::string set_term(int mask)
{
  std::string s = "[";
  for (int v = -4; v <= 4; v++) {
    if (!(mask >> (v + 4) & 1) || (v > -4 && mask >> (v + 3) & 1)) continue;
    int h = v;
    while (h < 4 && mask >> (h + 5) & 1) h++;
    s += (s.size() > 1 ? ",[" : "[") + std::to_string(v) + "|" + std::to_string(h) + "]";
  }
  return s + "]";
}

}  // namespace

class FdReified : public FdKernelTest {
protected:
  FdReified()
  {
    hooks = std::make_unique<fd_driver::driver>(api);
    /* prop: the loop to its end. post(C, G): C posted with a state of each variable argument
     * and its attribute (in_set_iff: X, XA, S, B, BA), then Handle and Stamp. codes(Vs, Cs):
     * each domain as a bit mask over -4..4 (bit V + 4). */
    consult("prop :- clpfd:'$fd_evaluate_indexical'(_, R), prop(R).\n"
            "prop(0).\n"
            "prop(1) :- prop.\n"
            "prop(R) :- R > 1, throw(handed_back(R)).\n"
            "attr(X, A) :- clpfd:'$fd_arg_attribute'(X, 0, A).\n"
            "pairs([], [H, 0], []).\n"
            "pairs([X|Xs], [X, A|L], [dom(X)|Su]) :- attr(X, A), pairs(Xs, L, Su).\n"
            "state(in_set_iff(X, S, B), [X, XA, S, B, BA, _, 0], [dom(X), dom(B)]) :- !, "
            "attr(X, XA), attr(B, BA).\n"
            "state(C, L, Su) :- C =.. [_|Args], pairs(Args, L, Su).\n"
            "post(C, G) :- state(C, L, Su0), S =.. [s|L], "
            "( functor(C, eq_iff, 3) -> Su = [] ; Su = Su0 ), clpfd:'$fd_begin', "
            "clpfd:'$fd_post_global'(C, S, 0, C, Su, G).\n"
            "codes([], []).\n"
            "codes([V|Vs], [C|Cs]) :- code(V, C), codes(Vs, Cs).\n"
            "code(V, C) :- integer(V), !, C is 1 << (V + 4).\n"
            "code(V, C) :- attr(V, v(_, _, M, _)), mval(M, dom(S, _, _, _)), set_bits(S, 0, C).\n"
            "mval('$mutable'(V0, _), V) :- ( V0 = '$mutable'(_, _) -> mval(V0, V) ; V = V0 ).\n"
            "set_bits([], B, B).\n"
            "set_bits([[L|H]|T], B0, B) :- B1 is B0 \\/ ((1 << (H + 5)) - (1 << (L + 4))), "
            "set_bits(T, B1, B).\n"
            "dom(V, D) :- integer(V), !, D = V.\n"
            "dom(V, D) :- attr(V, v(_, _, M, _)), mval(M, dom(D, _, _, _)).\n"
            "doms([], []).\n"
            "doms([V|Vs], [D|Ds]) :- dom(V, D), doms(Vs, Ds).\n"
            "dead(G, 1) :- arg(4, G, D), nonvar(D), !.\n"
            "dead(_, 0).\n"
            "undone(G, T, R) :- ( call(G), assertz(seen(T)), fail ; true ), "
            "( retract(seen(R)) -> true ; R = failed ).\n");
  }
  ~FdReified() override { hooks.reset(); }

  std::unique_ptr<fd_driver::driver> hooks;
};

/* The Part's edge cases and the alias cases: the domains after the loop and whether the
 * constraint is entailed. */
TEST_F(FdReified, EdgeCases)
{
  const struct {
    const char *setup, *constraint, *vars, *expected;
  } cases[] = {
      {"X in 1..3, Y in 5..9", "le_iff(X, Y, B)", "[X, Y, B]", "r([[[1|3]],[[5|9]],1],1)"},
      {"X in 0..10, Y in 3..20", "le_iff(X, Y, 0)", "[X, Y]", "r([[[4|10]],[[3|9]]],0)"},
      {"X = 5, Y in 0..9", "le_iff(X, Y, 1)", "[X, Y]", "r([5,[[5|9]]],1)"},
      {"X = 3, Y in 1..5", "eq_iff(X, Y, 0)", "[Y]", "r([[[1|2],[4|5]]],1)"},
      {"X in 1..3, Y in 4..6", "eq_iff(X, Y, B)", "[B]", "r([0],1)"},
      {"X in 1..3", "in_set_iff(X, [], B)", "[X, B]", "r([[[1|3]],0],1)"},
      {"X = 1, Y = 2, Z in 0..5", "oneof(X, Y, Z)", "[Z]", "r([[[1|2]]],1)"},
      {"X in -3..5", "abs(X, Y)", "[X, Y]", "r([[[-3|5]],[[0|5]]],0)"},
      {"X in -5.. -2, Y in 0..3", "abs(X, Y)", "[X, Y]", "r([[[-3|-2]],[[2|3]]],0)"},
  };
  for (const auto &c : cases) {
    std::string setup = c.setup, goal;
    /* "V in L..H" and "V = N" */
    for (size_t at = 0; at < setup.size();) {
      size_t end = setup.find(", ", at);
      std::string part = setup.substr(at, end == std::string::npos ? std::string::npos : end - at);
      size_t in = part.find(" in ");
      if (in != std::string::npos) {
        size_t dots = part.find("..");
        part = "clpfd:'$fd_in_interval'(" + part.substr(0, in) + ", " +
               part.substr(in + 4, dots - in - 4) + ", " + part.substr(dots + 2) + ", 0)";
      }
      goal += part + ", ";
      at = end == std::string::npos ? setup.size() : end + 2;
    }
    goal = "undone((" + goal + "post(" + c.constraint + ", G), prop, dead(G, E), doms(" + c.vars +
           ", D)), r(D, E), R)";
    SCOPED_TRACE(goal);
    ASSERT_EQ(run(goal), 1) << exception();
    EXPECT_EQ(var("R"), c.expected);
  }
}
