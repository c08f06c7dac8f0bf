/* The quick-load reader: one term per call from a stream of codes, with compiled clause objects
 * assembled from their bytecode.
 *
 * Ownership of clause objects: an object made by code 75 belongs to the quick-load level (the
 * array of $push_qlinfo) that read it until a definition takes it (insert_compactcode). Objects
 * no definition took are freed when their level is popped and at engine shutdown; a term read
 * at that level must not be used to reach them afterwards.
 */
#ifndef QX_QLOAD_H
#define QX_QLOAD_H

#include <cstdint>

#include "datadefs.h"
#include "streams.h"

/* The array's shape: a fresh array and the largest one (beyond it a slot is a format error). */
constexpr int32_t QX_QL_FRESH_WORDS = 2048;
constexpr int32_t QX_QL_FRESH_OFFSET = 1024;
constexpr int32_t QX_QL_MAX_WORDS = 1 << 22;

/* Reads codes up to and including code 76: 1 with *result, 0 at end of file. Format errors are
 * faults (QX_raise_fault); a read error is thrown as qx_qload_read_error. */
int qread1(worker *w, QX_stream *stream, TAGGED file, TAGGED *result);
struct qx_qload_read_error {
  int code;
};

/* Doubles the array: the words move up by qloffset, then qllimit and qloffset double. */
void expand_qload();

/* Opens a quick-load file for reading (binary): null on failure. */
QX_stream *qopen(const char *path);
/* 0, or -1 when closing fails. */
int qclose(QX_stream *stream);

/* A definition takes a clause object: the reader no longer frees it. */
void qx_qload_claim(emul_info *clause);
/* A clause object is being freed: the reader forgets it as the latest object. */
void qx_qload_forget(emul_info *clause);
/* Frees every level's array and the objects no definition took. */
void qx_qload_deinit();
/* Atom collection: marks the atoms of the quick-load arrays of every level and passes each
 * level's clause objects no definition took (and the latest one) to mark_code. */
void qx_qload_mark_atoms(void (*mark_code)(emul_info *clause));

#endif
