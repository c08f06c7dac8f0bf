/* bench_fd_gecode's row of the domain-consistent linear equation: 3x1 + 5x2 + ... + 17x8 = 200
 * over 0..9 with Gecode's linear at domain consistency, every solution by input order and
 * smallest value first (the same model as bench/bench_fd_aclinear.h). */
#ifndef QX_GECODE_ACLINEAR_H
#define QX_GECODE_ACLINEAR_H

#include <gecode/int.hh>
#include <gecode/search.hh>

class AcLinear : public Gecode::Space {
public:
  AcLinear() : x(*this, 8, 0, 9)
  {
    Gecode::IntArgs a;
    for (int i = 0; i < 8; i++) a << 3 + 2 * i;
    Gecode::linear(*this, a, x, Gecode::IRT_EQ, 200, Gecode::IPL_DOM);
    Gecode::branch(*this, x, Gecode::INT_VAR_NONE(), Gecode::INT_VAL_MIN());
  }
  AcLinear(AcLinear &other) : Gecode::Space(other) { x.update(*this, other.x); }
  Gecode::Space *copy() override { return new AcLinear(*this); }

private:
  Gecode::IntVarArray x;
};

#endif
