/* Magic squares through the driver: one equation per line, pairwise disequations. */
#include "fd_models.h"

namespace fd_models {

bool magic_square(fd_driver::driver &d, int n)
{
  int first = d.var_count(), cells = n * n, sum = n * (cells + 1) / 2;
  for (int k = 0; k < cells; k++)
    if (d.new_var(1, cells) != first + k) return false;
  auto at = [&](int r, int c) { return first + r * n + c; };
  std::vector<std::vector<fd_driver::driver::lin_term>> lines(2 * n + 2);
  for (int r = 0; r < n; r++)
    for (int c = 0; c < n; c++) {
      lines[r].push_back({1, at(r, c)});
      lines[n + c].push_back({1, at(r, c)});
    }
  for (int k = 0; k < n; k++) {
    lines[2 * n].push_back({1, at(k, k)});
    lines[2 * n + 1].push_back({1, at(k, n - 1 - k)});
  }
  for (const auto &line : lines)
    if (d.post_linear(line, 3, sum) != 1) return false;
  return pairwise_different(d, first, cells);
}

fd_driver::driver::options magic_search()
{
  fd_driver::driver::options o;
  o.rule = fd_driver::choice::ff;
  return o;
}

}  // namespace fd_models
