/* The launcher as the test build makes it, its table without the states' blobs: the runtime
 * state is found where it is appended to this program's own file and the application where
 * QX_EMBEDDED_RESOURCES_PATH names. */
#include "launcher.h"
#include "null_table.h"

int main(int argc, char **argv)
{
  without_linked_states();
  return qx_main_internal(argc, argv);
}
