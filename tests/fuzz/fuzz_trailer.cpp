/* Fuzz target of the trailer scan of resources appended to files. The input is a file's whole
 * contents, held in a block of exactly its size. Checked for every input:
 * - every read the scan and the lookup make lies inside the file;
 * - every resource kept starts at or after the file's start, ends at or before it, and its
 *   length fits in memory;
 * - looking a kept resource up by its name property gives a resource whose bytes are those of
 *   the file at its offset (the first match of the list, as the lookup promises);
 * - a name that no property holds is not found. */
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "qxio.h"
#include "resources.h"

namespace {

struct memory_file {
  const unsigned char *bytes;
  size_t size;
};

int read_at(void *stream, int64_t offset, void *into, size_t n)
{
  memory_file *f = (memory_file *)stream;
  CHECK(offset >= 0 && (uint64_t)offset <= f->size && n <= f->size - (size_t)offset);
  std::memcpy(into, f->bytes + offset, n);
  return 0;
}

void close_file(void *) {}

const qx_t_resource_source_funcs_ memory_funcs = {read_at, close_file};

const char *property(const qx_t_meta_info_ *info, const char *key)
{
  for (const qx_t_meta_info_property_ *p = info->properties; p; p = p->next)
    if (!std::strcmp(p->key, key)) return p->value;
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  static bool started = (qxio_init(nullptr, nullptr, 0), true);
  (void)started;
  std::vector<unsigned char> exact(data, data + size);
  memory_file file = {exact.data(), size};
  qx_t_meta_info_header_ *h = new_meta_info_header();
  CHECK(h != nullptr);
  h->stream = &file;
  h->funcs = &memory_funcs;
  h->stream_length = (int64_t)size;
  qx_scan_meta_info(h);
  for (qx_t_meta_info_ *info = h->infos; info; info = info->next) {
    CHECK(info->file_offset >= 0 && info->length >= 0);
    CHECK(info->file_offset + info->length <= (int64_t)size);
    const char *name = property(info, "name");
    if (!name) continue;
    unsigned char *bytes = nullptr;
    size_t length = 0;
    CHECK(qx_meta_info_lookup(h, name, &bytes, &length) == 0);
    /* the first resource whose name or file matches is the one handed out */
    const qx_t_meta_info_ *first = h->infos;
    for (; first; first = first->next) {
      const char *n = property(first, "name"), *f = property(first, "file");
      size_t fl = f ? std::strlen(f) : 0, nl = std::strlen(name);
      if ((n && !std::strcmp(n, name)) || (f && fl >= nl && !std::strcmp(f + fl - nl, name))) break;
    }
    CHECK(first != nullptr && first->data == bytes && (int64_t)length == first->length);
    CHECK(length == 0 || std::memcmp(bytes, exact.data() + first->file_offset, length) == 0);
  }
  unsigned char *bytes = nullptr;
  size_t length = 0;
  const char unlikely[] = "\x01no such resource\x02";
  bool held = false;
  for (qx_t_meta_info_ *info = h->infos; info; info = info->next) {
    const char *f = property(info, "file"), *n = property(info, "name");
    held = held || (n && !std::strcmp(n, unlikely)) || (f && std::strstr(f, unlikely));
  }
  if (!held) CHECK(qx_meta_info_lookup(h, unlikely, &bytes, &length) == QXIO_E_NOT_FOUND);
  free_meta_info_header(h);
  return 0;
}
