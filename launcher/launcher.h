/* The launcher: boots the engine, restores the application's saved state, runs prolog:main/0
 * and ends with its exit code. Every engine call goes through the public dispatch table. */
#ifndef QX_LAUNCHER_H
#define QX_LAUNCHER_H

#include "linked_resources.h" /* qx_pre_map and qx_pre_linkage */

/* main's work: user_main's exit code. */
int qx_main_internal(int argc, char **argv);
/* Boots with the boot file restored and runs the application; the process's exit code. */
int user_main(int argc, char **argv);
/* The same with the start flags given (bit 0: restore the boot file). */
int qx_launch(int argc, char **argv, int init_flags);
/* The kind of a pending '$reserved'(N) exception, with its code in *code; -1 for anything
 * else. */
int get_reserved_exception(int *code);
/* A hook run before start; nothing to do. */
int SU_initialize(int argc, char **argv);

#endif
