/* The classic models posted through the search driver, each in its own file; the Gecode program
 * states the same models with the same constraints and search. Each answers false when posting
 * fails or raises (the driver's error or the pending exception tells which). */
#ifndef QX_FD_MODELS_H
#define QX_FD_MODELS_H

#include <string>
#include <vector>

#include "fd_driver.h"
#include "fd_circuit.h"
#include "fd_jobshop.h"

namespace fd_models {

/* x_a - x_b different from 0 for every pair of the variables first..first+count-1: one
 * scalar_product of relation 4 per pair. */
bool pairwise_different(fd_driver::driver &d, int first, int count);

/* N-queens: queen i's row is variable i (0..n-1); per pair of queens q_i - q_j differs from 0,
 * j - i and i - j, each a scalar_product of relation 4. Search: ff, minimum value. */
bool queens(fd_driver::driver &d, int n);
fd_driver::driver::options queens_search();

/* A constraint over a list of variables posted by key: all_different or circuit (state
 * [Entries, NDead]), all_distinct (state [Entries, NDeadVars, NDeadVals, Flags, dom]),
 * bc_alldiff (state [Entries, NDead, Wake], its daemons on the wake key given);
 * a key of another state layout adds its case here. */
fd_driver::driver::posting distinct(const char *key, const std::vector<int> &vars,
                                    const char *wake = "minmax");
/* N-queens with three distinctness constraints of the key: the rows q_i (variables 0..n-1, values
 * 0..n-1), q_i + i and q_i - i (variables n..2n-1 and 2n..3n-1, each tied to q_i by an
 * equation). Search: the rows in order, smallest value. */
bool queens_distinct(fd_driver::driver &d, int n, const char *key, const char *wake = "minmax");

/* SEND+MORE = MONEY: variables S E N D M O R Y (indices 0..7), digits 0..9; one equation,
 * pairwise different, S and M not 0. Search: in order, minimum value. */
bool send_more(fd_driver::driver &d);

/* Magic square of order n: variable r*n + c, values 1..n*n; rows, columns and both diagonals
 * sum to n(n*n+1)/2, pairwise different. Search: ff, minimum value. */
bool magic_square(fd_driver::driver &d, int n);
fd_driver::driver::options magic_search();

/* Job-shop: start s and end e per operation (e = s + d by an equation), e at most the next
 * operation's s in each job, per pair of operations sharing a machine le_iff(e_a, s_b, B1),
 * le_iff(e_b, s_a, B2) and bool or(B1, B2) = 1; the makespan at least every job's end. */
struct jobshop {
  std::vector<std::vector<int>> start, end; /* variable indices per job and operation */
  std::vector<int> before;                  /* B1 of each disjunction, in fd_jobshop's order */
  int makespan = -1;
  /* The search variables: every B1, then every start; the search minimises the makespan,
   * labelling the B1s in order with 1 first, then the starts with their minimum. */
  std::vector<int> vars() const;
  fd_driver::driver::options search() const;
};
bool jobshop_model(fd_driver::driver &d, const fd_jobshop::instance &p, jobshop *out);
/* The same instance with one disjoint1 per machine over the operations' starts (fixed
 * durations) and s + duration =< next s in each job; no end variables and no B1s. Search:
 * smallest minimum first, minimum value, minimising the makespan. cumulative: one cumulative of
 * limit 1 per machine instead, with these option flags. */
bool jobshop_unary_model(fd_driver::driver &d, const fd_jobshop::instance &p, jobshop *out,
                         bool cumulative = false, int flags = 0);
fd_driver::driver::options jobshop_unary_search(const jobshop &js);

}  // namespace fd_models

#endif
