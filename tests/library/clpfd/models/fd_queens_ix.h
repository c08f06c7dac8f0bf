/* N-queens of indexicals: ne(X, Y, C), X different from Y + C, as two propagating indexicals that
 * each remove one value once the other argument is fixed (a value dependency), written through
 * the test assembler. The model is the linear one's with ne/3 in place of each scalar_product. */
#ifndef QX_FD_QUEENS_IX_H
#define QX_FD_QUEENS_IX_H

#include <string>

#include "../fd_ix_asm.h"
#include "fd_driver.h"

namespace fd_models {

/* The goal that installs ne/3 in module: each indexical's first code word (900, 901) is one the
 * machine skips, which tells the two apart. */
inline std::string install_ne_goal(const std::string &module = "user")
{
  fd_ix_asm::indexical x, y;
  x.pruned = 0;
  x.code = "900 amin1 amin2 plus prune_remove";
  x.link(1, 8);
  y.pruned = 1;
  y.code = "901 amin0 amin2 minus prune_remove";
  y.link(0, 8);
  return fd_ix_asm::install("ne/3", module, 1, {x, y});
}

/* Queens 1..n, each pair kept apart by ne/3 three times (user:ne/3 installed); false when
 * posting fails. Search as the linear model's: ff, minimum value. */
inline bool queens_ix(fd_driver::driver &d, int n)
{
  for (int i = 0; i < n; i++) d.new_var(1, n);
  for (int i = 0; i < n; i++)
    for (int j = i + 1; j < n; j++)
      for (int k : {0, j - i, i - j})
        if (d.post_indexicals("ne", {fd_driver::driver::var(i), fd_driver::driver::var(j),
                                     fd_driver::driver::param(k)}) != 1)
          return false;
  return true;
}

}  // namespace fd_models

#endif
