/* An independent oracle of global_cardinality with costs (fd_gcc_cost_oracle.cpp): the loop of
 * the cost variant by cycle cancelling and Bellman-Ford, for fd_costgcc_loop_hook, and the
 * figures of a block's graph computed the same way.
 */
#ifndef QX_FD_GCC_COST_ORACLE_H
#define QX_FD_GCC_COST_ORACLE_H

#include <vector>

#include "fd_gcc.h"

namespace fd_gcc_cost_oracle {

/* The cost variant's loop, the block's flows optimised from scratch: false on failure. */
bool loop(ORVALIS_API_STRUCT *api, worker *w, gcc_graph *b, int64_t fixed);

/* Per flow: the optimal total over every variable (flow 1 negated), the regret of each pair
 * (x, k) of an active variable's list whose value has flow (indexed like the block's matrix,
 * GCC_REGRET_INF when no flow uses the arc), and whether the block's flow was not optimal. The
 * block's flows are left as they were. */
struct figures {
  int64_t total[2];
  std::vector<int32_t> regret[2];
  bool moved[2];
};
figures compute(gcc_graph *b);

}  // namespace fd_gcc_cost_oracle

#endif
