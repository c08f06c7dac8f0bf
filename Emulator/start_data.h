/* The engine's persistent start data: the stored argument vector and the boot directory. Both
 * are owned copies in the internal encoding (QX_malloc blocks), kept until replaced or until
 * qx_free_start_data. */
#ifndef QX_START_DATA_H
#define QX_START_DATA_H

/* Stores argv[0..argc-1] as the argument vector (public API, orvalis.h): flags bit 0 converts
 * each text from the operating system's encoding; every text must make an atom. 1, or 0 with
 * error 14 leaving the stored vector as it was. */
int QX_set_argv(int argc, char **argv, int flags);
/* The stored arguments (not copies). */
int qx_argc();
const char *const *qx_argv_ienc();

/* The boot directory (not a copy; null before it is set) and its replacement by a copy of path
 * (null clears it): 1, or 0 when memory runs out (the old one is kept then). */
const char *qx_boot_path_ienc();
int qx_set_boot_path(const char *path);
/* The boot directory followed by "../" and rel, expanded (as a directory when rel ends with
 * "/"): a QX_malloc text, or null. */
char *librarypath_ienc(const char *rel);

void qx_free_start_data();

#endif
