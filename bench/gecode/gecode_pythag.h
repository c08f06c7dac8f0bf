/* bench_fd_gecode's row of Pythagorean triples, the model of bench_fd_pythag.h: a, b, c in
 * 1..cmax, their squares by mult, a < b, a bounds-consistent linear sum A + B = C; a, b, c
 * labelled in order from the smallest value. Included after Gecode's headers. */
#ifndef QX_GECODE_PYTHAG_H
#define QX_GECODE_PYTHAG_H

namespace gecode_pythag {

class Pythag : public Gecode::Space {
public:
  explicit Pythag(int cmax) : x(*this, 3, 1, cmax), sq(*this, 3, 1, cmax * cmax)
  {
    using namespace Gecode;
    for (int k = 0; k < 3; k++) mult(*this, x[k], x[k], sq[k]);
    rel(*this, x[0], IRT_LE, x[1]);
    linear(*this, IntArgs({1, 1, -1}), sq, IRT_EQ, 0, IPL_BND);
    branch(*this, x, INT_VAR_NONE(), INT_VAL_MIN());
  }
  Pythag(Pythag &other) : Gecode::Space(other)
  {
    x.update(*this, other.x);
    sq.update(*this, other.sq);
  }
  Gecode::Space *copy() override { return new Pythag(*this); }

private:
  Gecode::IntVarArray x, sq;
};

}  // namespace gecode_pythag

#endif
