/* A stand-in for the second runtime instance: it exports the getter of its dispatch table, whose
 * slot 150 records the shared state it is handed. Built with QX_REFUSE_STATE it stands for the
 * third instance, which refuses the state. */
#include "orvalis.h"

namespace {

QX_multi_qx_state *adopted;
int adoptions;

int set_state(QX_multi_qx_state *state)
{
  adopted = state;
#ifdef QX_REFUSE_STATE
  return 0;
#else
  return ++adoptions == 1;
#endif
}

struct {
  uint32_t size;
  const char *name;
  uint32_t version;
  qx_dispatch_slot slot[196];
} table = {1580, "orvalis.h", QX_API_VERSION, {}};

ORVALIS_API_STRUCT api = {(const qx_dispatch_table *)&table, nullptr, nullptr, nullptr};

}  // namespace

extern "C" __attribute__((visibility("default"))) ORVALIS_API_STRUCT *QX_get_dispatch_40102(void *)
{
  table.slot[150] = {"QX_set_multi_qx_state", (qx_api_fn)&set_state};
  return &api;
}

/* What the test reads back: the state adopted and how often slot 150 was called. */
extern "C" __attribute__((visibility("default"))) QX_multi_qx_state *instance_adopted(int *count)
{
  *count = adoptions;
  return adopted;
}
