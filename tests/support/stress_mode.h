/* Whether this test run is one of the collector's stress mode (QX_GC_STRESS=1), known before
 * any engine starts. Cases that fill the memory skip themselves there (near the limit every call
 * collects), and so do cases that never reach the collector. */
#ifndef QX_TEST_STRESS_MODE_H
#define QX_TEST_STRESS_MODE_H

#include <cstdlib>

inline bool stress_mode_run()
{
  const char *stress = std::getenv("QX_GC_STRESS");
  return stress && stress[0] == '1';
}

#endif
