/* The solver benchmarks' engine: the clpfd resource linked in and loaded by
 * load_clpfd_resource/0, its natives predicates of module clpfd. */
#ifndef QX_BENCH_FD_COMMON_H
#define QX_BENCH_FD_COMMON_H

#include "bench_common.h"
#include "fd_kernel.h"
#include "foreign.h"

namespace bench_fd {

inline int entry(void *params) { return qx_main_QXENV_clpfd((QX_MAINFUN_PARAMS_STRUCT *)params); }
inline const char *const pre_map[] = {"clpfd", nullptr};
inline const QX_pre_linkage_fn pre_linkage[] = {entry, nullptr};
inline const qx_foreign_interface *const interfaces[] = {&qx_clpfd_interface, nullptr};

/* Loads the resource into e's engine: its instance's API handle (the program exits when the
 * resource does not load). */
inline ORVALIS_API_STRUCT *load_clpfd(BenchEngine &e)
{
  qx_set_linked_resources(pre_map, pre_linkage);
  qx_set_linked_interfaces(interfaces);
  if (e.run("load_clpfd_resource") != 1) {
    std::fprintf(stderr, "the clpfd resource does not load\n");
    std::exit(1);
  }
  for (qx_open_resource *r = qx_eg.open_resources; r; r = r->next)
    if (r->rname == atom_clpfd) return &r->qxenv;
  std::exit(1);
}

}  // namespace bench_fd

#endif
