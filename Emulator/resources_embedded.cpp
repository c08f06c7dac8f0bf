/* Data resources carried by the executable: the linked-in table first, then the program's own
 * dynamic symbols, then resources appended to files. Blobs of the first two routes carry a
 * magic text, their size and their modification time; appended resources are used as stored.
 */
#include <dlfcn.h>

#include <cstring>

#include "datadefs.h"
#include "memman.h"
#include "orvalis.h"

namespace {

const char RESOURCE_MAGIC[] = "Orvalis Resource";
constexpr size_t RESOURCE_MAGIC_LENGTH = sizeof RESOURCE_MAGIC - 1;
const char RESOURCE_SYMBOL_PREFIX[] = "OrvalisResource_";

uint32_t symbol_lookups, appended_lookups;

bool is_c_name_char(unsigned char c)
{
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

/* The low 32 bits of a big-endian 8-byte number. */
uint32_t low_word_big_endian(const unsigned char *p)
{
  return (uint32_t)p[4] << 24 | (uint32_t)p[5] << 16 | (uint32_t)p[6] << 8 | p[7];
}

/* The blob of the linked-in table whose name is c_name; null when the walk meets a null blob
 * or the table's end first. */
const unsigned char *table_blob(const char *c_name)
{
  const char *const *map = qx_eg.fli_pre_map;
  int (*const *linkage)(void *) = qx_eg.fli_pre_linkage;
  if (!map || !linkage) return nullptr;
  for (size_t i = 0; map[i]; i++) {
    if (linkage[i] || std::strcmp(map[i], c_name) != 0) continue;
    const unsigned char *blob;
    std::memcpy(&blob, map[i] - sizeof blob, sizeof blob);
    return blob;
  }
  return nullptr;
}

}  // namespace

void qx_set_linked_resources(const char *const *pre_map, const QX_pre_linkage_fn *pre_linkage)
{
  qx_eg.fli_pre_map = pre_map;
  qx_eg.fli_pre_linkage = pre_linkage;
}

char *qx_ensure_c_name(const char *text)
{
  size_t n = 0;
  for (const unsigned char *p = (const unsigned char *)text; *p; p++)
    n += is_c_name_char(*p) ? 1 : 5;
  char *name = (char *)QX_malloc(n + 1);
  if (!name) return nullptr;
  static const char HEX[] = "0123456789ABCDEF";
  char *out = name;
  for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
    if (is_c_name_char(*p)) {
      *out++ = (char)*p;
      continue;
    }
    std::memcpy(out, "_0x", 3);
    out[3] = HEX[*p >> 4];
    out[4] = HEX[*p & 0xF];
    out += 5;
  }
  *out = 0;
  return name;
}

const unsigned char *get_resource_data(const char *name, size_t *size)
{
  *size = 0;
  symbol_lookups++;
  char *c_name = qx_ensure_c_name(name);
  if (!c_name) return nullptr;
  size_t prefix = sizeof RESOURCE_SYMBOL_PREFIX - 1, n = std::strlen(c_name);
  char *symbol = (char *)QX_malloc(prefix + n + 1);
  const unsigned char *blob = nullptr;
  if (symbol) {
    std::memcpy(symbol, RESOURCE_SYMBOL_PREFIX, prefix);
    std::memcpy(symbol + prefix, c_name, n + 1);
    if (void *program = dlopen(nullptr, RTLD_LAZY)) {
      blob = (const unsigned char *)dlsym(program, symbol);
      dlclose(program);
    }
    QX_free(symbol);
  }
  QX_free(c_name);
  return blob;
}

int orvalis_resource_find_data(const char *name, const unsigned char **data, size_t *size,
                               uint32_t *mtime)
{
  char *c_name = qx_ensure_c_name(name);
  if (!c_name) return 0;
  const unsigned char *blob = table_blob(c_name);
  QX_free(c_name);
  size_t ignored;
  if (!blob) blob = get_resource_data(name, &ignored);
  if (!blob) {
    if (!get_boolean_property("QX_ALLOW_EMBEDDED_RESOURCE", 1)) return 0;
    appended_lookups++;
    unsigned char *bytes;
    size_t length;
    if (find_embedded_resource(name, &bytes, &length) < 0) return 0;
    *data = bytes;
    *size = length;
    *mtime = 0;
    return 1;
  }
  if (std::memcmp(blob, RESOURCE_MAGIC, RESOURCE_MAGIC_LENGTH) != 0) return 0;
  *size = low_word_big_endian(blob + 16);
  *mtime = low_word_big_endian(blob + 24);
  *data = blob + QX_RESOURCE_BLOB_HEADER;
  return 1;
}

void qx_resource_lookup_counts(uint32_t *symbol, uint32_t *appended)
{
  *symbol = symbol_lookups;
  *appended = appended_lookups;
}
