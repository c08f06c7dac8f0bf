/* The launcher program. */
#include "launcher.h"

int main(int argc, char **argv) { return qx_main_internal(argc, argv); }
