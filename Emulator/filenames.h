/* File names and the engine's current directory.
 *
 * Every file name that Prolog code hands to the engine is made absolute here: a leading "~" or
 * "~user", a "$VAR" prefix, a base directory or the engine's own current directory (cwd_ienc,
 * kept apart from the process's), then "." and ".." folded and trailing slashes dropped. Names
 * and results are texts in the internal encoding; results are QX_malloc blocks the caller frees,
 * null on failure. Expansion is pure text work: before a result goes to the I/O library, which
 * takes UTF-8, qx_file_name_check refuses what the system could not be given whole. */
#ifndef QX_FILENAMES_H
#define QX_FILENAMES_H

#include <cstddef>
#include <cstdint>

/* Expansion options. */
enum : int {
  QX_EXPAND_DIRECTORY = 1,    /* the result names a directory and ends with "/" */
  QX_EXPAND_ABSOLUTE = 2,     /* the name must already be absolute */
  QX_EXPAND_NO_VARIABLES = 4, /* a leading "$" is an ordinary character */
  QX_EXPAND_NO_TILDE = 8,     /* a leading "~" is an ordinary character (home directories) */
  QX_EXPAND_ROOT_DOT = 16,    /* the root comes back as "/." */
  QX_EXPAND_ROOT_OK = 32,     /* the root comes back as "/" */
};

/* name against base (when non-empty, else cwd_ienc). */
char *qx_expand_file_name_internal(const char *name, const char *base, int options);
/* base, when given, is expanded as a directory first; else cwd_ienc is the base. */
char *qx_expand_file_name(const char *name, const char *base, int options);
/* The home directory of user (null or "": the current user), expanded with options | 13. */
char *qx_user_directory(const char *user, int options);
/* 0 when path can be handed to the I/O library whole (strict UTF-8, so no code 0, no surrogate
 * and nothing above 0x10FFFF); else QXIO_E_INVALID_NAME. */
int qx_file_name_check(const char *path);

/* The engine's current directory (not a copy; null before init_once_file). */
const char *qx_cwd_ienc();
/* Option word of QX_set_current_dir: bit 1 leaves the process's directory alone, bit 2 the
 * engine's and the I/O library's cached one. */
extern uint32_t qx_set_current_dir_default_options;
enum : uint32_t { QX_CHDIR_KEEP_PROCESS = 1, QX_CHDIR_KEEP_ENGINE = 2 };

/* Path helpers: pure text functions. */
/* Length of path's root; 0 for a relative path. */
int qx_get_root_len(const char *path);
/* Answers the end of path. *root_end: after the root (null without one); *base: after the last
 * "/" behind the root; *suffix: the last "." in the base name, or null. Any may be null. */
const char *qx_split_path(const char *path, const char **root_end, const char **base,
                          const char **suffix);
/* Offset of the "/" that ends path's parent directory (a trailing "/" leaves the last component
 * as the base name); 0 when there is no parent. */
size_t parent_dir_end(const char *path);
/* Copies: the parent directory with its final "/" (null without a parent); the base name,
 * without its suffix when strip_suffix is nonzero. */
char *qx_dirname(const char *path);
char *qx_basename(const char *path, int strip_suffix);
/* The suffix of the base name (from its last "."), or null. */
const char *qx_path_suffix(const char *path);

/* At engine start: the start directory (QX_STARTUP_DIR, else the process's working directory)
 * becomes cwd_ienc and the system property QX_STARTUP_DIR, the I/O library's temporary directory
 * the property QX_TEMP_DIR. 1 when both were found and stored, else 0. */
int init_once_file();
/* Frees cwd_ienc. */
void deinit_file();

/* The running program's path: argv0 itself when it holds a "/", else the first regular file
 * argv0 names in a directory of the colon-separated list in the environment variable env_name.
 * Null without a match; running out of memory is a memory fault. */
char *resolve_argv_execpath(const char *argv0, const char *env_name);

#endif
