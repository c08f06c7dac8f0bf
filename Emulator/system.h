/* Support shared by the system built-ins: argument readers, the process exit that keeps the
 * output already written, the engine's file-access test, and the compiled-code walkers of the
 * engine-information built-ins. */
#ifndef QX_SYSTEM_H
#define QX_SYSTEM_H

#include <cstdint>
#include <vector>

#include "datadefs.h"

/* The name of an atom argument, or null for any other term. */
const char *qx_atom_arg(TAGGED t);
/* A small or one-limb boxed integer argument. */
bool qx_int32_arg(TAGGED t, int32_t *value);
/* Unifies t with the atom of text; false when the atom cannot be made or does not unify. */
bool qx_unify_atom_text(worker *w, TAGGED t, const char *text);
/* Unifies argument register `reg` with a list of the atoms in reverse order of the vector;
 * term[0..live-1] (reg among them) are roots while the room is made. */
bool qx_unify_atom_list(worker *w, int reg, const std::vector<TAGGED> &atoms, int live);

/* Ends the process with code at once, but only after user_output and user_error have been
 * flushed and their workers have written everything out; nothing else of the shutdown runs. */
[[noreturn]] void qx_exit_keeping_output(int code);
/* Flushes user_output and user_error through to their devices. */
void qx_flush_user_output();

/* Access test of path (internal encoding) with the I/O library's mode bits: a name the URL layer
 * recognises is answered here (-10504 for a directory test, -10502 for write or create, else 0);
 * any other goes to the library. 0 or a negative code. */
int qx_test_file_access(const char *path, uint32_t mode);
bool is_readable_file_ienc(const char *path);
bool is_file_ienc(const char *path);
bool is_dir_ienc(const char *path);

/* The clause that contains pc among every module's compiled definitions, then among the other
 * code objects: its module, name, arity, source information and index (see "$pc_info"/6). */
struct emul_info;
struct qx_pc_location {
  TAGGED module, name, info;
  int arity;
  uint32_t index;
  const emul_info *clause;
};
bool pc_info(uintptr_t pc, qx_pc_location *where);

/* Code objects that belong to no definition (arity -1: unknown owner); the list owns them (and
 * their next links) and frees them with qx_free_code_objects. */
void qx_add_code_object(emul_info *object, TAGGED module, TAGGED name, int arity);
void qx_free_code_objects();
/* Atom collection: marks the owners' names and passes the chain of objects to mark_code. */
void qx_code_objects_mark_atoms(void (*mark_code)(emul_info *chain));

/* The disassembler and the predicate printer: the clauses of a predicate as a list (interpreted
 * clauses as terms, compiled ones as code(Address, Halfwords)); the code around an address on
 * the current output; a predicate's description on the current output. */
TAGGED da_predicate(worker *w, definition *def);
void da_code(uintptr_t address);
void wr_predicate(definition *def);
/* The definition named name (any arity, the first found) of a module; the module is not made. */
definition *qx_find_named_predicate(TAGGED module_name, TAGGED name);

#endif
