/* A program linked with its symbols exported, so that data resources are found as symbols of
 * the program. It prints, for each name on its command line, "NAME: " and the data, size and
 * time found, or "NAME: none", then the number of symbol lookups made. A table entry named
 * "_0x2Ftable" shadows the symbol of the same name. */
#include <cstdio>
#include <cstring>

#include "memman.h"
#include "orvalis.h"
#include "qxio.h"

#define BLOB_HEADER(size, time)                                                                    \
  'O', 'r', 'v', 'a', 'l', 'i', 's', ' ', 'R', 'e', 's', 'o', 'u', 'r', 'c', 'e', 0, 0, 0, 0, 0,   \
      0, 0, size, 0, 0, 0, 0, 0, 0, 0, time

extern "C" {
/* "/dl.blob" and "/table" as symbols; "/bad" with a wrong magic. */
extern const unsigned char OrvalisResource__0x2Fdl_0x2Eblob[];
const unsigned char OrvalisResource__0x2Fdl_0x2Eblob[] = {BLOB_HEADER(3, 9), 'd', 'l', '!'};
extern const unsigned char OrvalisResource__0x2Ftable[];
const unsigned char OrvalisResource__0x2Ftable[] = {BLOB_HEADER(3, 1), 's', 'y', 'm'};
extern const unsigned char OrvalisResource__0x2Fbad[];
const unsigned char OrvalisResource__0x2Fbad[] = {
    'o', 'r', 'v', 'a', 'l', 'i', 's', ' ', 'R', 'e', 's', 'o', 'u', 'r', 'c', 'e', 0,
    0,   0,   0,   0,   0,   0,   1,   0,   0,   0,   0,   0,   0,   0,   0,   'x'};
}

static const unsigned char table_blob[] = {BLOB_HEADER(5, 2), 't', 'a', 'b', 'l', 'e'};
static qx_named_resource<sizeof "_0x2Ftable"> table_record = {table_blob, "_0x2Ftable"};
static const char *const pre_map[] = {table_record.name, nullptr};
static const QX_pre_linkage_fn pre_linkage[] = {nullptr, nullptr};

int main(int argc, char **argv)
{
  std::memset(&qx_eg, 0, sizeof qx_eg);
  if (qxio_init(nullptr, nullptr, 0) != 0 || memman_init() != 0) return 2;
  qx_set_linked_resources(pre_map, pre_linkage);
  for (int i = 1; i < argc; i++) {
    const unsigned char *data;
    size_t size;
    uint32_t mtime;
    if (orvalis_resource_find_data(argv[i], &data, &size, &mtime))
      std::printf("%s: %.*s %zu %u\n", argv[i], (int)size, (const char *)data, size, mtime);
    else
      std::printf("%s: none\n", argv[i]);
  }
  uint32_t symbol_lookups, appended_lookups;
  qx_resource_lookup_counts(&symbol_lookups, &appended_lookups);
  std::printf("symbol lookups %u\n", symbol_lookups);
  return 0;
}
