/* System properties and the library's copy of the process environment. A lookup sees the
   properties set by the program first and the environment copy second, so the engine can
   override variables for the library without touching the process environment. Nothing is
   locked: the engine thread and library start-up are the only users. */
#include <langinfo.h>
#include <locale.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>

#include "qxio_internal.h"

extern char **environ;

namespace {

/* The environment copy (a compact environment), or null before start. */
char **env_copy;
size_t env_copy_size;

/* Set properties: a null-terminated array of separately allocated key/value entries. */
char **qxio_environ;
size_t qxio_environ_count;

/* The set properties as a compact environment, built on demand, dropped on every change. */
char **qxio_environ_internal_cache;
size_t qxio_environ_internal_cache_size;

const char *entry_value(const char *entry) { return entry + strlen(entry) + 1; }

size_t entry_length(const char *entry)
{
  size_t key_length = strlen(entry) + 1;
  return key_length + strlen(entry + key_length) + 1;
}

size_t compact_count(char *const *block)
{
  size_t count = 0;
  while (block[count] != nullptr) count++;
  return count;
}

/* Builds a compact environment from key/value entries. */
qxio_t_error_code build_compact(const char *const *entries, size_t count, char ***block_out,
                                size_t *size_out)
{
  size_t size = (count + 1) * sizeof(char *);
  for (size_t i = 0; i < count; i++) size += entry_length(entries[i]);
  char **block = static_cast<char **>(qxio_alloc(size));
  if (block == nullptr) return QXIO_E_OUT_OF_MEMORY;
  char *text = reinterpret_cast<char *>(block + count + 1);
  for (size_t i = 0; i < count; i++) {
    size_t length = entry_length(entries[i]);
    memcpy(text, entries[i], length);
    block[i] = text;
    text += length;
  }
  block[count] = nullptr;
  *block_out = block;
  if (size_out != nullptr) *size_out = size;
  return QXIO_S_NOERR;
}

/* Copies a value into a caller's buffer: the size is always set to what is needed. */
qxio_t_error_code copy_out(const char *value, char *buffer, size_t *size)
{
  size_t needed = strlen(value) + 1;
  size_t available = *size;
  *size = needed;
  if (buffer == nullptr || available < needed) return QXIO_E_INSUFFICIENT_BUFFER;
  memcpy(buffer, value, needed);
  return QXIO_S_NOERR;
}

const char *compact_lookup(char *const *block, const char *key)
{
  for (size_t i = 0; block[i] != nullptr; i++) {
    if (strcmp(block[i], key) == 0) return entry_value(block[i]);
  }
  return nullptr;
}

/* Index of the set property with this key, or qxio_environ_count. */
size_t set_property_index(const char *key)
{
  size_t i = 0;
  while (i < qxio_environ_count && strcmp(qxio_environ[i], key) != 0) i++;
  return i;
}

void drop_cache(void)
{
  qxio_free(qxio_environ_internal_cache);
  qxio_environ_internal_cache = nullptr;
  qxio_environ_internal_cache_size = 0;
}

/* Loose match of a character-set name with UTF-8 (case and "-" or "_" ignored). */
bool names_utf8(const char *name)
{
  char folded[16];
  size_t n = 0;
  for (const char *p = name; *p != '\0' && n < sizeof folded - 1; p++) {
    if (*p != '-' && *p != '_') folded[n++] = static_cast<char>(*p | 0x20);
  }
  folded[n] = '\0';
  return strcmp(folded, "utf8") == 0;
}

bool is_ascii(const char *text)
{
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
    if (*p >= 0x80) return false;
  }
  return true;
}

/* Writes `text` converted from the system's encoding to UTF-8 at `out` (when not null) and
   answers the bytes written, NUL included. Text that the system's set does not decode is read
   as ISO-8859-1: under a UTF-8 locale that is text that is not valid UTF-8, under other
   locales any byte of 0x80 or more. */
size_t system_text_to_utf8(const char *text, bool system_utf8, char *out)
{
  size_t length = strlen(text);
  bool keep = is_ascii(text) || (system_utf8 && qxio_is_legal_utf8_string(text, length, 0) >= 0);
  if (keep) {
    if (out != nullptr) memcpy(out, text, length + 1);
    return length + 1;
  }
  size_t n = 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
    if (*p < 0x80) {
      if (out != nullptr) out[n] = static_cast<char>(*p);
      n++;
    } else {
      if (out != nullptr) {
        out[n] = static_cast<char>(0xC0 | (*p >> 6));
        out[n + 1] = static_cast<char>(0x80 | (*p & 0x3F));
      }
      n += 2;
    }
  }
  if (out != nullptr) out[n] = '\0';
  return n + 1;
}

bool compact_is_utf8(char *const *block)
{
  for (size_t i = 0; block[i] != nullptr; i++) {
    const char *value = entry_value(block[i]);
    if (qxio_is_legal_utf8_string(block[i], strlen(block[i]), 0) < 0 ||
        qxio_is_legal_utf8_string(value, strlen(value), 0) < 0)
      return false;
  }
  return true;
}

/* Rebuilds a compact environment with every key and value converted from the system's
   encoding (with the ISO-8859-1 fallback). */
qxio_t_error_code convert_compact(char *const *block, char ***block_out, size_t *size_out)
{
  char *charset = nullptr;
  bool system_utf8 = qxio_unix_default_charset(&charset, 0) >= 0 && names_utf8(charset);
  qxio_free(charset);
  size_t count = compact_count(block);
  size_t size = (count + 1) * sizeof(char *);
  for (size_t i = 0; i < count; i++)
    size += system_text_to_utf8(block[i], system_utf8, nullptr) +
            system_text_to_utf8(entry_value(block[i]), system_utf8, nullptr);
  char **converted = static_cast<char **>(qxio_alloc(size));
  if (converted == nullptr) return QXIO_E_OUT_OF_MEMORY;
  char *text = reinterpret_cast<char *>(converted + count + 1);
  for (size_t i = 0; i < count; i++) {
    converted[i] = text;
    text += system_text_to_utf8(block[i], system_utf8, text);
    text += system_text_to_utf8(entry_value(block[i]), system_utf8, text);
  }
  converted[count] = nullptr;
  *block_out = converted;
  *size_out = size;
  return QXIO_S_NOERR;
}

/* Splits each "key=value" of the process environment into a key/value entry; an entry
   without "=" gets an empty value. */
qxio_t_error_code copy_process_environment(char ***block_out, size_t *size_out)
{
  char **process_env = environ;
  if (process_env == nullptr) return QXIO_E_IMPOSSIBLE_ERROR;
  size_t count = compact_count(process_env);
  size_t size = (count + 1) * sizeof(char *);
  for (size_t i = 0; i < count; i++)
    size += strlen(process_env[i]) + (strchr(process_env[i], '=') != nullptr ? 1 : 2);
  char **block = static_cast<char **>(qxio_alloc(size));
  if (block == nullptr) return QXIO_E_OUT_OF_MEMORY;
  char *text = reinterpret_cast<char *>(block + count + 1);
  char *end = reinterpret_cast<char *>(block) + size;
  for (size_t i = 0; i < count; i++) {
    const char *entry = process_env[i];
    const char *equals = strchr(entry, '=');
    size_t key_length = equals != nullptr ? static_cast<size_t>(equals - entry) : strlen(entry);
    const char *value = equals != nullptr ? equals + 1 : "";
    size_t value_length = strlen(value);
    /* the environment may have changed since it was sized */
    if (process_env[i] == nullptr ||
        key_length + value_length + 2 > static_cast<size_t>(end - text)) {
      qxio_free(block);
      return QXIO_E_WOULD_BLOCK;
    }
    block[i] = text;
    memcpy(text, entry, key_length);
    text[key_length] = '\0';
    memcpy(text + key_length + 1, value, value_length + 1);
    text += key_length + value_length + 2;
  }
  block[count] = nullptr;
  if (compact_is_utf8(block)) {
    *block_out = block;
    *size_out = size;
    return QXIO_S_NOERR;
  }
  qxio_t_error_code rc = convert_compact(block, block_out, size_out);
  qxio_free(block);
  return rc;
}

void drop_env_copy(void)
{
  qxio_free(env_copy);
  env_copy = nullptr;
  env_copy_size = 0;
}

qxio_t_error_code refresh_env_copy(void)
{
  char **block = nullptr;
  size_t size = 0;
  qxio_t_error_code rc = copy_process_environment(&block, &size);
  if (rc < 0) return rc;
  qxio_free(env_copy);
  env_copy = block;
  env_copy_size = size;
  return QXIO_S_NOERR;
}

qxio_t_error_code ensure_cache(void)
{
  if (qxio_environ_internal_cache != nullptr) return QXIO_S_NOERR;
  static const char *const no_entries[] = {nullptr};
  const char *const *entries = qxio_environ != nullptr ? qxio_environ : no_entries;
  return build_compact(entries, qxio_environ_count, &qxio_environ_internal_cache,
                       &qxio_environ_internal_cache_size);
}

void free_set_properties(void)
{
  for (size_t i = 0; i < qxio_environ_count; i++) qxio_free(qxio_environ[i]);
  qxio_free(qxio_environ);
  qxio_environ = nullptr;
  qxio_environ_count = 0;
  drop_cache();
}

/* Reads a property into a 100-byte buffer; false when absent, too long or failing. */
bool read_short_property(const char *key, char (&value)[100])
{
  size_t size = sizeof value;
  return qxio_get_system_property(key, value, &size, 0) >= 0;
}

const char *skip_blanks(const char *p)
{
  while (*p == ' ' || *p == '\t') p++;
  return p;
}

/* The rank of the text unit at p for key ordering: end of key lowest, then C0 80 (the
   internal form of NUL), then every other byte by value. */
int key_unit(const unsigned char *p, size_t *width)
{
  *width = 1;
  if (*p == 0) return -1;
  if (p[0] == 0xC0 && p[1] == 0x80) {
    *width = 2;
    return 0;
  }
  return p[0] + 1;
}

}  // namespace

size_t qxio_compact_env_size(char *const *block)
{
  size_t count = compact_count(block);
  size_t size = (count + 1) * sizeof(char *);
  for (size_t i = 0; i < count; i++) size += entry_length(block[i]);
  return size;
}

int qxio_compare_environment_keys(const char *key_a, const char *key_b)
{
  const unsigned char *a = reinterpret_cast<const unsigned char *>(key_a);
  const unsigned char *b = reinterpret_cast<const unsigned char *>(key_b);
  for (;;) {
    size_t width_a = 0, width_b = 0;
    int unit_a = key_unit(a, &width_a);
    int unit_b = key_unit(b, &width_b);
    if (unit_a != unit_b) return unit_a < unit_b ? -1 : 1;
    if (unit_a == -1) return 0;
    a += width_a;
    b += width_b;
  }
}

qxio_t_error_code qxio_set_system_property(const char *key, const char *value, uint32_t options)
{
  if (key == nullptr || value == nullptr) return QXIO_E_PARAMETER_ERROR;
  size_t index = set_property_index(key);
  if (index < qxio_environ_count && strcmp(entry_value(qxio_environ[index]), value) == 0)
    return QXIO_S_NOERR;
  size_t key_length = strlen(key) + 1;
  size_t value_length = strlen(value) + 1;
  char *entry = static_cast<char *>(qxio_alloc(key_length + value_length));
  if (entry == nullptr) return QXIO_E_OUT_OF_MEMORY;
  memcpy(entry, key, key_length);
  memcpy(entry + key_length, value, value_length);
  if (index == qxio_environ_count) {
    char **grown =
        static_cast<char **>(qxio_realloc(qxio_environ, (qxio_environ_count + 2) * sizeof(char *)));
    if (grown == nullptr) {
      qxio_free(entry);
      return QXIO_E_OUT_OF_MEMORY;
    }
    qxio_environ = grown;
    qxio_environ[qxio_environ_count] = nullptr;
    qxio_environ[++qxio_environ_count] = nullptr;
  }
  drop_cache();
  char *old_entry = qxio_environ[index];
  qxio_environ[index] = entry;
  qxio_free(old_entry);
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_get_system_property(const char *key, char *buffer, size_t *size,
                                           uint32_t options)
{
  if ((options & 3) == 3) return QXIO_E_PARAMETER_ERROR;
  if (!(options & 2)) {
    size_t index = set_property_index(key);
    if (index < qxio_environ_count) return copy_out(entry_value(qxio_environ[index]), buffer, size);
    if (options & 1) return QXIO_E_NOT_FOUND;
  }
  return qxio_unix_getenv(key, buffer, size, 0);
}

char *qxio_get_system_property_allocate(const char *key, uint32_t options)
{
  size_t size = 20;
  char *value = static_cast<char *>(qxio_alloc(size));
  for (int attempt = 0; attempt < 2 && value != nullptr; attempt++) {
    qxio_t_error_code rc = qxio_get_system_property(key, value, &size, options);
    if (rc >= 0) return value;
    qxio_free(value);
    value = rc == QXIO_E_INSUFFICIENT_BUFFER && attempt == 0 ? static_cast<char *>(qxio_alloc(size))
                                                             : nullptr;
  }
  qxio_free(value);
  return nullptr;
}

int qxio_get_boolean_system_property(const char *key, int default_value)
{
  char value[100];
  if (!read_short_property(key, value)) return default_value;
  if (strcasecmp(value, "yes") == 0 || strcasecmp(value, "true") == 0) return 1;
  if (strcasecmp(value, "no") == 0 || strcasecmp(value, "false") == 0) return 0;
  return default_value;
}

/* Decimal with optional "-" and a K, M or G suffix; out of the 32-bit range gives the default. */
int32_t qxio_get_ssize_system_property(const char *key, int32_t default_value)
{
  char value[100];
  if (!read_short_property(key, value)) return default_value;
  const char *p = skip_blanks(value);
  bool negative = *p == '-';
  if (negative) p = skip_blanks(p + 1);
  int64_t number = 0;
  for (; *p >= '0' && *p <= '9'; p++) {
    number = number * 10 + (negative ? -(*p - '0') : (*p - '0'));
    if (number > INT32_MAX || number < INT32_MIN) return default_value;
  }
  p = skip_blanks(p);
  int64_t magnitude = number < 0 ? -number : number;
  int64_t unit = 1, limit = 0;
  if (*p == 'K' || *p == 'k')
    unit = 1024, limit = 2097151;
  else if (*p == 'M' || *p == 'm')
    unit = 1048576, limit = 2047;
  else if (*p == 'G' || *p == 'g')
    unit = 1073741824, limit = 1;
  if (unit > 1 && magnitude > limit) return default_value;
  return static_cast<int32_t>(number * unit);
}

qxio_t_error_code qxio_get_system_properties(char ***block_out, size_t *size_out, uint32_t options)
{
  if (options & 0x10) {
    qxio_t_error_code rc = refresh_env_copy();
    if (rc < 0) return rc;
  }
  if (block_out == nullptr) return QXIO_S_NOERR;
  qxio_t_error_code rc = ensure_cache();
  if (rc < 0) return rc;
  char *empty[] = {nullptr};
  char **environment = env_copy;
  size_t environment_size = env_copy_size;
  char **fresh = nullptr;
  if (environment == nullptr && !(options & 2)) {
    rc = copy_process_environment(&fresh, &environment_size);
    if (rc < 0) return rc;
    environment = fresh;
  }
  char **properties = (options & 4) ? empty : qxio_environ_internal_cache;
  size_t properties_size = (options & 4) ? sizeof empty : qxio_environ_internal_cache_size;
  if (options & 2) environment = empty, environment_size = sizeof empty;
  size_t size = 0;
  rc = qxio_merge_compact_envs(properties, properties_size, environment, environment_size,
                               block_out, &size, 4 | (options & 1));
  qxio_free(fresh);
  if (rc < 0) return rc;
  if (options & 8) {
    for (char **entry = *block_out; *entry != nullptr; entry++) (*entry)[strlen(*entry)] = '=';
  }
  if (size_out != nullptr) *size_out = size;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_make_compact_env(const char *const *entries, char ***block_out,
                                        size_t *size_out, uint32_t options)
{
  size_t count = 0;
  while (entries[count] != nullptr) count++;
  if (!(options & 1)) return build_compact(entries, count, block_out, size_out);
  /* key=value texts: the same block with the first "=" of each entry made a NUL */
  for (size_t i = 0; i < count; i++) {
    const char *equals = strchr(entries[i], '=');
    if (equals == nullptr || equals == entries[i]) return QXIO_E_PARAMETER_ERROR;
  }
  size_t size = (count + 1) * sizeof(char *);
  for (size_t i = 0; i < count; i++) size += strlen(entries[i]) + 1;
  char **block = static_cast<char **>(qxio_alloc(size));
  if (block == nullptr) return QXIO_E_OUT_OF_MEMORY;
  char *text = reinterpret_cast<char *>(block + count + 1);
  for (size_t i = 0; i < count; i++) {
    size_t length = strlen(entries[i]);
    block[i] = text;
    memcpy(text, entries[i], length + 1);
    text[strchr(entries[i], '=') - entries[i]] = '\0';
    text += length + 1;
  }
  block[count] = nullptr;
  *block_out = block;
  if (size_out != nullptr) *size_out = size;
  return QXIO_S_NOERR;
}

/* Joins a and b; unless option 0x1 only the first entry of each key is kept (a hides b);
   option 0x4 keeps merge order instead of key order. */
qxio_t_error_code qxio_merge_compact_envs(char *const *a, size_t size_a, char *const *b,
                                          size_t size_b, char ***block_out, size_t *size_out,
                                          uint32_t options)
{
  if ((options & 6) == 6) return QXIO_E_PARAMETER_ERROR;
  size_t count_a = compact_count(a);
  size_t count = count_a + compact_count(b);
  /* entries and their merge positions side by side, in one scratch block */
  const char **entries =
      static_cast<const char **>(qxio_alloc(count * (sizeof(char *) + sizeof(size_t))));
  if (entries == nullptr) return QXIO_E_OUT_OF_MEMORY;
  size_t *order = reinterpret_cast<size_t *>(entries + count);
  for (size_t i = 0; i < count; i++) {
    entries[i] = i < count_a ? a[i] : b[i - count_a];
    order[i] = i;
  }
  std::sort(order, order + count, [&](size_t x, size_t y) {
    int c = qxio_compare_environment_keys(entries[x], entries[y]);
    return c != 0 ? c < 0 : x < y;
  });
  size_t kept = count;
  if (!(options & 1)) {
    auto same_key = [&](size_t x, size_t y) {
      return qxio_compare_environment_keys(entries[x], entries[y]) == 0;
    };
    kept = static_cast<size_t>(std::unique(order, order + count, same_key) - order);
  }
  if (options & 4) std::sort(order, order + kept);
  /* the kept entries in their final order */
  const char **result = static_cast<const char **>(qxio_alloc((kept + 1) * sizeof(char *)));
  qxio_t_error_code rc = QXIO_E_OUT_OF_MEMORY;
  if (result != nullptr) {
    for (size_t i = 0; i < kept; i++) result[i] = entries[order[i]];
    rc = build_compact(result, kept, block_out, size_out);
    qxio_free(result);
  }
  qxio_free(entries);
  return rc;
}

qxio_t_error_code qxio_unix_getenv(const char *key, char *buffer, size_t *size, uint32_t options)
{
  if (env_copy != nullptr && !(options & 2)) {
    const char *value = compact_lookup(env_copy, key);
    return value != nullptr ? copy_out(value, buffer, size) : QXIO_E_NOT_FOUND;
  }
  if (env_copy == nullptr && (options & 1)) return QXIO_E_INVALID_STATE;
  const char *value = getenv(key);
  return value != nullptr ? copy_out(value, buffer, size) : QXIO_E_NOT_FOUND;
}

qxio_t_error_code qxio_unix_get_environ(char ***block_out, size_t *size_out, uint32_t options)
{
  if (options & 2) {
    if (options & 5) return QXIO_E_PARAMETER_ERROR;
    return copy_process_environment(block_out, size_out);
  }
  if (!(options & 1)) return QXIO_E_PARAMETER_ERROR;
  if ((options & 4) || env_copy == nullptr) {
    qxio_t_error_code rc = refresh_env_copy();
    if (rc < 0) return rc;
  }
  *block_out = env_copy;
  if (size_out != nullptr) *size_out = env_copy_size;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_unix_default_charset(char **name_out, uint32_t options)
{
  const char *codeset = nl_langinfo(CODESET);
  const char *name = codeset;
  if (name == nullptr || name[0] == '\0') {
    const char *locale = setlocale(LC_CTYPE, nullptr);
    if (locale == nullptr) return QXIO_E_NOT_FOUND;
    if (locale[0] == '\0' || locale[0] == '/') return QXIO_E_NOT_SUPPORTED;
    const char *dot = strrchr(locale, '.');
    name = dot != nullptr ? dot + 1 : locale;
  }
  char *copy = qxio_alloc_string(name);
  if (copy == nullptr) return QXIO_E_OUT_OF_MEMORY;
  *name_out = copy;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_init_environment(uint32_t options)
{
  if (options & 1) {
    drop_env_copy();
    free_set_properties();
    return QXIO_S_NOERR;
  }
  qxio_t_error_code rc = refresh_env_copy();
  if (rc < 0) return rc;
  if (qxio_environ == nullptr) {
    qxio_environ = static_cast<char **>(qxio_alloc(sizeof(char *)));
    if (qxio_environ == nullptr) {
      /* a failed start keeps nothing */
      drop_env_copy();
      return QXIO_E_OUT_OF_MEMORY;
    }
    qxio_environ[0] = nullptr;
  }
  return QXIO_S_NOERR;
}
