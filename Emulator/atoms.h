/* The atom table: records found by index through up to 128 chunks of 8192 slots, interned by a
 * 28-bit hash of the name (internal encoding). The fixed initial atoms come first, in the order of
 * QX_FIXED_ATOMS, then the one-character atoms not already among them. */
#ifndef QX_ATOMS_H
#define QX_ATOMS_H

#include <cstddef>
#include <cstdint>

#include "termdefs.h"

struct atom {
  atom *next; /* hash chain */
  uint32_t hash : 28;
  uint32_t : 4;
  uint32_t is_punctchars : 1;  /* 1 */
  uint32_t is_symbolchars : 1; /* 2 */
  uint32_t is_ascii : 1;       /* 4: pure ASCII name */
  uint32_t needs_escaping : 1; /* 8: holds characters escaped inside quotes */
  uint32_t needs_quoting : 1;  /* 16: must be quoted to read back */
  uint32_t marked : 1;         /* 32: atom garbage collection */
  uint32_t index : 25;
  uint8_t refcount; /* saturates at 255, which is sticky */
  uint32_t length;  /* bytes of name */
  char name[1];     /* NUL-terminated, internal encoding */
};

constexpr uint32_t QX_ATOM_CHUNKS = 128;
constexpr uint32_t QX_ATOM_CHUNK_SIZE = 8192;
constexpr uint32_t QX_MAX_ATOMS = 1048575;

/* X(identifier, "name"): the fixed initial atoms in index order. Atom 0 is the empty list. */
#define QX_FIXED_ATOMS(X)                                                                          \
  X(nil, "[]")                                                                                     \
  X(dot, ".")                                                                                      \
  X(curly, "{}") X(true, "true") X(fail, "fail") X(comma, ",") X(semicolon, ";") X(colon, ":")     \
      X(mutable, "$mutable") X(os_linux, "linux") X(inf, "inf") X(sup, "sup") X(v, "v")            \
          X(exit, "exit") X(on, "on") X(off, "off") X(error, "error") X(free, "$free") X(ix, "ix") \
              X(global, "global") X(daemon, "daemon") X(iff, "iff") X(call, "call")                \
                  X(clpfd, "clpfd") X(user, "user") X(prolog, "prolog") X(ref, "$ref")             \
                      X(reserved, "$reserved") X(dom, "dom") X(fdlists, "$fdlists")                \
                          X(cleanup, "$cleanup") X(attrs, "$attrs") X(no_attr, "$no_attr")         \
                              X(attr_unify_hook, "attr_unify_hook") X(codes, "codes")              \
                                  X(chars, "chars") X(atom, "atom") X(portable, "portable")        \
                                      X(end_of_file, "end_of_file") X(empty, "")                   \
                                          X(alignments, "alignments") X(structs, "structs")        \
                                              X(ref_term, "$ref_term")

enum qx_fixed_atom_index : uint32_t {
#define QX_X(id, text) QX_ATOM_INDEX_##id,
  QX_FIXED_ATOMS(QX_X)
#undef QX_X
      QX_FIXED_NAMED_COUNT
};

/* Named tagged atoms: atom_nil, atom_true, ... */
#define QX_X(id, text) constexpr TAGGED atom_##id = (QX_ATOM_INDEX_##id << 3) | QX_TAG_ATOM;
QX_FIXED_ATOMS(QX_X)
#undef QX_X

namespace qx_fixed {
constexpr const char *names[] = {
#define QX_X(id, text) text,
    QX_FIXED_ATOMS(QX_X)
#undef QX_X
};
/* Index of the one-character atom of code c (< 256) in the fixed order: an earlier named atom of
 * that one character keeps its index; the others follow the named atoms in code order. */
constexpr uint32_t char_atom_index(uint32_t c)
{
  uint32_t skipped = 0;
  for (uint32_t i = 0; i < QX_FIXED_NAMED_COUNT; i++) {
    const char *n = names[i];
    bool one = c != 0 && c < 128 && n[0] == (char)c && n[1] == 0;
    if (one) return i;
    if (n[0] != 0 && n[1] == 0 && (unsigned char)n[0] < c) skipped++;
  }
  return QX_FIXED_NAMED_COUNT + c - skipped;
}
}  // namespace qx_fixed

constexpr TAGGED qx_char_atom_fixed(uint32_t c)
{
  return (qx_fixed::char_atom_index(c) << 3) | QX_TAG_ATOM;
}
constexpr TAGGED atom_minus = qx_char_atom_fixed('-');
constexpr TAGGED atom_equal = qx_char_atom_fixed('=');
constexpr TAGGED atom_plus = qx_char_atom_fixed('+');

/* Functor words used across the engine. */
constexpr TAGGED functor_mutable2 = atom_mutable | (2u << QX_ARITY_SHIFT);
constexpr TAGGED functor_free1 = atom_free | (1u << QX_ARITY_SHIFT);
constexpr TAGGED functor_ref2 = atom_ref | (2u << QX_ARITY_SHIFT);
/* '$ref'/2 terms that are not database references are stored under this functor. */
constexpr TAGGED functor_ref_term2 = atom_ref_term | (2u << QX_ARITY_SHIFT);
constexpr TAGGED functor_cleanup2 = atom_cleanup | (2u << QX_ARITY_SHIFT);
constexpr TAGGED functor_colon2 = atom_colon | (2u << QX_ARITY_SHIFT);
constexpr TAGGED functor_comma2 = atom_comma | (2u << QX_ARITY_SHIFT);
constexpr TAGGED functor_minus2 = atom_minus | (2u << QX_ARITY_SHIFT);
constexpr TAGGED functor_v4 = atom_v | (4u << QX_ARITY_SHIFT);

/* Create the table and the fixed atoms; 0 on success. */
int init_atoms();
void deinit_atoms();
/* mode 0 find or create, 1 find only, 2 fixed initial atom; 0 when invalid or impossible. */
TAGGED init_atom_check(const char *text, int mode);
/* The record of an atom (or of a functor word's name). */
atom *atom_record(TAGGED atom_or_functor);
const char *atom_name(TAGGED atom_or_functor);
/* The one-character atom of a code (any code; 0..255 from the cache). */
TAGGED qx_char_atom(int32_t code);
/* QX_register_atom and QX_unregister_atom (orvalis.h) keep an atom alive for native code across
 * atom collection. */

/* Atom collection. An atom survives when it is marked (qx_agc_mark_word on a word naming it, as
 * an atom or a functor) or its reference count is above 0; the others are freed and their
 * indexes reused by later atoms. qx_atom_gc marks every root it knows (atom_gc.cpp) and frees
 * the rest; it answers the number of atoms freed. */
void qx_agc_mark_word(TAGGED word);
void qx_agc_mark_words(const TAGGED *words, size_t n);
void qx_agc_mark_instance(const struct instance *ins); /* its term's words; null: none */
void qx_agc_mark_clause(const struct instance *ins);   /* and of its clause code */
uint32_t qx_agc_sweep();
/* Every atom that exists now is never collected. */
void qx_agc_keep_all();
uint32_t qx_atom_gc(struct worker *w);
struct qx_agc_stats {
  uint64_t collections;
  uint64_t atoms_freed;
  double seconds;
  uint64_t area_words; /* words of the worker's areas walked by the markings */
};
const qx_agc_stats *qx_agc_statistics();
/* Whether an automatic collection is due: more than qx_agc_spacing() atoms made since the last
 * one (none while current_agcmargin is 0), or, in the stress mode, the table grew. The
 * interpreter collects at its next event check. */
bool qx_agc_due();
/* Each collection sets how many atoms to make before the next one is due, so that what a
 * collection walks is paid for by the atoms made since: qx_agc_spacing() is the larger of that
 * and current_agcmargin. */
void qx_agc_space(uint32_t atoms);
uint32_t qx_agc_spacing();

#endif
