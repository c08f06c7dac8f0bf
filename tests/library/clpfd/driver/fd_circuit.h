/* Random Boolean circuits, shared by the driver's tests, its benchmark and the Gecode program
 * (plain C++, no engine): signals 0..inputs-1 are the inputs, gate g drives signal inputs + g
 * from two earlier signals with one of eight connectives. */
#ifndef QX_FD_CIRCUIT_H
#define QX_FD_CIRCUIT_H

#include <cstdint>
#include <utility>
#include <vector>

namespace fd_circuit {

/* Connectives, in the order of the solver's bool/4 codes: Z = X op Y. */
enum op : int { AND, ANDNOT, NAND, OR, ORNOT, NOR, XOR, EQV };

inline int eval(int op, int x, int y)
{
  switch (op) {
  case AND: return x & y;
  case ANDNOT: return x & !y;
  case NAND: return !(x & y);
  case OR: return x | y;
  case ORNOT: return x | !y;
  case NOR: return !(x | y);
  case XOR: return x ^ y;
  default: return x == y;
  }
}

struct gate {
  int op, a, b; /* output: signal inputs + index */
};

struct circuit {
  int inputs = 0;
  std::vector<gate> gates;
  std::vector<std::pair<int, int>> same; /* signals made equal */
  bool last_one = false;                 /* the last gate's output is 1 */
  int signals() const { return inputs + (int)gates.size(); }
};

/* splitmix64: the one generator of the tests, the benchmark and the Gecode program. */
struct rng {
  uint64_t s;
  uint64_t next()
  {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  int below(int n) { return (int)(next() % (uint64_t)n); }
};

inline circuit make(uint64_t seed, int inputs, int gates, int same, bool last_one)
{
  rng r{seed};
  circuit c;
  c.inputs = inputs;
  c.last_one = last_one;
  for (int g = 0; g < gates; g++) {
    int n = inputs + g;
    c.gates.push_back({r.below(8), r.below(n), r.below(n)});
  }
  for (int k = 0; k < same; k++) {
    int a = r.below(c.signals()), b = r.below(c.signals());
    if (a != b) c.same.push_back({a, b});
  }
  return c;
}

/* Every model by truth-table enumeration of the inputs: the values of all signals. */
inline std::vector<std::vector<int>> models(const circuit &c)
{
  std::vector<std::vector<int>> out;
  for (uint32_t bits = 0; bits < (1u << c.inputs); bits++) {
    std::vector<int> v(c.signals());
    for (int i = 0; i < c.inputs; i++) v[i] = (bits >> i) & 1;
    for (size_t g = 0; g < c.gates.size(); g++)
      v[c.inputs + g] = eval(c.gates[g].op, v[c.gates[g].a], v[c.gates[g].b]);
    bool ok = !c.last_one || c.gates.empty() || v.back() == 1;
    for (auto [a, b] : c.same) ok = ok && v[a] == v[b];
    if (ok) out.push_back(v);
  }
  return out;
}

}  // namespace fd_circuit

#endif
