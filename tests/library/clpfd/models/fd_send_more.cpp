/* SEND+MORE = MONEY through the driver, as one linear equation. */
#include "fd_models.h"

namespace fd_models {

bool pairwise_different(fd_driver::driver &d, int first, int count)
{
  for (int a = 0; a < count; a++)
    for (int b = a + 1; b < count; b++)
      if (d.post_linear({{1, first + a}, {-1, first + b}}, 4, 0) != 1) return false;
  return true;
}

bool send_more(fd_driver::driver &d)
{
  enum { S, E, N, D, M, O, R, Y };
  int first = d.var_count();
  for (int k = 0; k < 8; k++)
    if (d.new_var(0, 9) != first + k) return false;
  auto at = [first](int k) { return first + k; };
  /* 1000S + 100E + 10N + D + 1000M + 100O + 10R + E = 10000M + 1000O + 100N + 10E + Y */
  if (d.post_linear({{1000, at(S)},
                     {91, at(E)},
                     {-90, at(N)},
                     {1, at(D)},
                     {-9000, at(M)},
                     {-900, at(O)},
                     {10, at(R)},
                     {-1, at(Y)}},
                    3, 0) != 1)
    return false;
  return pairwise_different(d, first, 8) && d.post_linear({{1, at(S)}}, 4, 0) == 1 &&
         d.post_linear({{1, at(M)}}, 4, 0) == 1;
}

}  // namespace fd_models
