/* Resources appended to files: the records of the trailer scan and the lookup.
 *
 * A resource appended to a file is followed by a text trailer, read backwards from the file's
 * end:
 *   "\n# META_INFO_SUFFIX 1", property lines "\n# key=\"value\"", "\n# META_INFO_SUFFIX END\n".
 * The resource's bytes end just before the trailer's first line feed; the required property
 * `size` ("0x" and hexadecimal digits) gives their number. Several trailers may be chained: the
 * scan looks for another one ending just before each header line.
 *
 * The scan and the lookup read a file only through a source (its length and a read at an
 * offset), so that they never read outside the file whatever its bytes are. Records are
 * allocated with qxio_alloc.
 */
#ifndef QX_RESOURCES_H
#define QX_RESOURCES_H

#include <cstddef>
#include <cstdint>

struct qx_t_meta_info_property_ {
  char *key; /* owned copies */
  char *value;
  qx_t_meta_info_property_ *next;
};

struct qx_t_meta_info_ {
  int64_t file_offset; /* where the data begin */
  int64_t length;      /* 0 <= file_offset, file_offset + length <= the file's length */
  unsigned char *data; /* once loaded, else null */
  qx_t_meta_info_property_ *properties;
  qx_t_meta_info_ *next;
};

/* How the scan reaches a file: read_at reads exactly n bytes at offset (0 or an error); close
 * releases the handle. */
struct qx_t_resource_source_funcs_ {
  int (*read_at)(void *stream, int64_t offset, void *into, size_t n);
  void (*close)(void *stream);
};

struct qx_t_meta_info_header_ {
  void *stream; /* the open file, handed to funcs */
  const qx_t_resource_source_funcs_ *funcs;
  int64_t stream_length;
  qx_t_meta_info_ *infos;
  qx_t_meta_info_header_ *next;
};

/* The backwards reader: buf holds the chunk that begins at file position stream_pos, of which
 * the first `held` bytes are still to be served (from the last). */
constexpr size_t QX_BACKWARDS_CHUNK = 100;
struct qx_t_backwards_stream_ {
  const qx_t_meta_info_header_ *file;
  int64_t stream_length;
  int64_t stream_pos;
  size_t held;
  unsigned char buf[QX_BACKWARDS_CHUNK];
};

/* The byte before the current position, moving back by one; -1 at the start of the file; or a
 * negative error. */
int get_backwards_byte(qx_t_backwards_stream_ *reader);
/* 0 when the byte read backwards is `byte`, QXIO_E_NOT_FOUND for another, else -1 or the error. */
int backwards_looking_at_byte(qx_t_backwards_stream_ *reader, int byte);

/* Scans the file of header from its end and adds what it finds to header->infos. 0 when the
 * scan ended at a place that is no trailer end, else the error that ended it; resources found
 * before an error stay. */
int qx_scan_meta_info(qx_t_meta_info_header_ *header);
/* The first resource of the list of files whose `name` property is name or whose `file`
 * property ends with name, its data loaded on first use (owned by the record). 0 with data and
 * size, QXIO_E_NOT_FOUND, or the error of loading (the resource then stays unloaded). */
int qx_meta_info_lookup(qx_t_meta_info_header_ *list, const char *name, unsigned char **data,
                        size_t *size);

qx_t_meta_info_header_ *new_meta_info_header(void);
/* Each frees the whole list; freeing a header closes its stream. */
void free_meta_info_header(qx_t_meta_info_header_ *list);
void free_meta_info(qx_t_meta_info_ *list);
void free_meta_info_property(qx_t_meta_info_property_ *list);

#endif
