/* Compiled clause objects.
 *
 * The engine does not run compiled code, but saved states and quick-load files carry it: such a
 * clause is kept as an opaque object on its definition's chain, so that it survives a restore and
 * calling it reports that compiled code is not supported. An object is a 16-byte header followed
 * by the code as 16-bit instruction words and operands; objsize counts the whole object.
 */
#ifndef QX_EMULCODE_H
#define QX_EMULCODE_H

#include "datadefs.h"

struct alt_code;

struct emul_info {
  emul_info *next;    /* the next clause of the definition */
  alt_code *elsecode; /* where a failing clause goes: the shared failure code */
  uint32_t ix : 9;    /* first-argument index flags */
  uint32_t objsize : 23;
  TAGGED filename; /* source-file atom, or the empty list */
  uint16_t emulcode[];
};
static_assert(sizeof(emul_info) == 16, "a clause object's header is 16 bytes");

/* The largest object the 23-bit size field holds. */
constexpr uint32_t QX_EMUL_INFO_MAX = (1u << 23) - 8;

/* A zeroed object of objsize bytes (16 <= objsize <= QX_EMUL_INFO_MAX) with its size set and its
 * else-code the shared failure code; null when the size is out of range or memory runs out. */
emul_info *qx_alloc_emul_info(uint32_t objsize);
void qx_free_emul_info(emul_info *clause);

/* Append a clause to a definition of compiled code (entry kinds 0-3): the definition then holds
 * code of an emulator this engine cannot run. key is the clause's first-argument key (0 none). */
void insert_compactcode(definition *def, emul_info *clause, int ix, TAGGED key);
/* The first compiled clause of a definition (null when it holds none). */
emul_info *qx_first_compiled_clause(const definition *def);
/* Atom collection: marks the atoms of each clause of a chain, found by the code walk, or, when
 * the code cannot be walked, every 32 bits at each 16-bit position (operands are 2-aligned). */
void qx_mark_code_atoms(emul_info *chain);
/* Free every compiled clause of a definition. Importers share the chain: only the owner frees. */
void qx_free_compiled_clauses(definition *def);

#endif
