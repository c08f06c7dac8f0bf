/* Instances: relocatable copies of terms outside the stacks (clauses, recorded terms, stored
 * exceptions, collected solutions).
 *
 * A 48-byte header followed by the body, a heap image of the term beginning with its root: a
 * compound root's functor at word 12 and its arguments after it, a list root's pair at word 12, or
 * the one cell of an atomic or variable root. Substructures follow in breadth-first order, so a
 * recorded f(B, [X1, X2, ...]) keeps B at word 13 and X1, X2, ... at words 15, 17, .... Internal
 * pointers are byte offsets from the instance's start carrying their tag; a variable refers to its
 * own offset; atoms and functor cells are stored as they are; boxed numbers are inline with both
 * headers; '$ref'/2 is followed by its two raw words. Nothing else needs relocation.
 */
#ifndef QX_INSTANCE_H
#define QX_INSTANCE_H

#include <cstddef>
#include <cstdint>

#include "datadefs.h"

/* Copy a term into a new instance (qx_checkalloc'd, space QX_SPACE_DATABASE, header zeroed but
 * objsize, birth/death = alive). Attributed variables are copied as plain variables. */
instance *qx_copy_to_instance(worker *w, TAGGED term);
/* The same with room for `room(body, words, arg)` more bytes after the body, starting at the
 * 8-aligned offset qx_instance_room_offset(objsize) from the instance. Such a block is freed by
 * its owner, who knows its size; objsize still counts the header and body only. */
typedef uint32_t (*qx_instance_room_fn)(const TAGGED *body, uint32_t words, void *arg);
instance *qx_copy_to_instance_room(worker *w, TAGGED term, qx_instance_room_fn room, void *arg);
static inline uint32_t qx_instance_room_offset(uint32_t objsize) { return (objsize + 7) & ~7u; }
/* Heap words needed to copy the instance's term out. */
static inline uint32_t qx_instance_heap_words(const instance *ins)
{
  return qx_instance_body_words(ins);
}
/* Copy the term out to the heap top (the caller made qx_instance_heap_words room); one linear pass. */
TAGGED qx_copy_from_instance(worker *w, const instance *ins);
void qx_free_instance(instance *ins);

/* Database references '$ref'(Addr + 3, Stamp): validation hook installed by the database. A
 * '$ref'/2 term that does not validate is stored under a private functor and renamed back. */
extern int (*qx_dbref_valid_hook)(TAGGED a, TAGGED b);

#endif
