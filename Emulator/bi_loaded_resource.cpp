/* loaded_resource/1: the names of the foreign resources loaded now, one per solution. No
 * resource loader is linked in yet, so the list is empty. */
#include <string>
#include <vector>

#include "builtins.h"
#include "saverest.h"

std::vector<std::string> qx_loaded_resource_names() { return {}; }

namespace {

int prolog_loaded_resource(worker *w)
{
  (void)w;
  return 0; /* no solutions while no resource is loaded */
}

}  // namespace

const qx_pred_row qx_bi_loaded_resource_rows[] = {
    {"loaded_resource", prolog_loaded_resource, 1, ENTER_C_NONDET, QX_MOD_PROLOG,
     prolog_loaded_resource},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
