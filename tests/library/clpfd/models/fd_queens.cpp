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

namespace fd_models {

fd_driver::driver::posting distinct(const char *key, const std::vector<int> &vars, const char *wake)
{
  using drv = fd_driver::driver;
  std::vector<drv::tmpl> list;
  for (int x : vars) list.push_back(drv::t_var(x));
  drv::posting p{key, {drv::t_list(list)}, {drv::t_entries(vars)}};
  if (std::string(key) == "all_different" || std::string(key) == "circuit")
    p.state.push_back(drv::t_int(0)); /* NDead */
  if (std::string(key) == "all_distinct")
    for (drv::tmpl t : {drv::t_int(0), drv::t_int(0), drv::t_int(0), drv::t_atom("dom")})
      p.state.push_back(t);
  if (std::string(key) == "bc_alldiff")
    for (drv::tmpl t : {drv::t_int(0), drv::t_atom(wake)}) p.state.push_back(t); /* NDead, wake */
  return p;
}

bool queens_distinct(fd_driver::driver &d, int n, const char *key, const char *wake)
{
  std::vector<int> q, up, down;
  for (int i = 0; i < n; i++) q.push_back(d.new_var(0, n - 1));
  for (int i = 0; i < n; i++) up.push_back(d.new_var(i, n - 1 + i));
  for (int i = 0; i < n; i++) down.push_back(d.new_var(-i, n - 1 - i));
  for (int i = 0; i < n; i++)
    if (q[i] < 0 || up[i] < 0 || down[i] < 0 || d.post_linear({{1, up[i]}, {-1, q[i]}}, 3, i) != 1 ||
        d.post_linear({{1, down[i]}, {-1, q[i]}}, 3, -i) != 1)
      return false;
  for (const std::vector<int> *vs : {&q, &up, &down})
    if (d.post_state(distinct(key, *vs, wake)) != 1) return false;
  return true;
}

}  // namespace fd_models
