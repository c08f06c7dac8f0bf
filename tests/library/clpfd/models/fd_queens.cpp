/* N-queens through the driver: three linear disequations per pair of queens. */
#include "fd_models.h"

namespace fd_models {

bool queens(fd_driver::driver &d, int n)
{
  for (int i = 0; i < n; i++)
    if (d.new_var(0, n - 1) < 0) return false;
  for (int i = 0; i < n; i++)
    for (int j = i + 1; j < n; j++)
      for (int rhs : {0, j - i, i - j})
        if (d.post_linear({{1, i}, {-1, j}}, 4, rhs) != 1) return false;
  return true;
}

fd_driver::driver::options queens_search()
{
  fd_driver::driver::options o;
  o.rule = fd_driver::choice::ff;
  return o;
}

}  // namespace fd_models
