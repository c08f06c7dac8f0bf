/* System properties and the environment API: the one lookup through which the engine reads its
 * configuration by name (start options, then the I/O library's properties and environment copy,
 * then the process environment), the public API over it and the readers of boolean and size
 * settings used at initialisation. */
#include <cstring>

#include "atoms.h"
#include "builtins.h"
#include "memman.h"
#include "orvalis.h"
#include "qxio.h"
#include "unify.h"
#include "wcx.h"

namespace {

/* The accepted start options, until start-up applies them (the block stays the caller's). */
const QX_options_ *initial_options;

constexpr size_t FIRST_VALUE_BYTES = 20;
/* Settings read into a fixed buffer: longer values count as malformed. */
constexpr size_t SETTING_BYTES = 100;

/* Copies a value and its NUL into a caller's buffer; the size is always set to what is needed. */
int copy_value(const char *value, char *buffer, size_t *size)
{
  size_t needed = std::strlen(value) + 1;
  size_t room = *size;
  *size = needed;
  if (room < needed) return QXIO_E_INSUFFICIENT_BUFFER;
  std::memcpy(buffer, value, needed);
  return QXIO_S_NOERR;
}

const char *start_option_value(const char *key)
{
  if (initial_options == nullptr) return nullptr;
  for (uint32_t i = 0; i < initial_options->noptions; i++) {
    const QX_option_ &o = initial_options->options[i];
    if (o.type == QX_OPTION_PROP && qxio_compare_environment_keys(o.prop.key, key) == 0)
      return o.prop.value;
  }
  return nullptr;
}

/* One lookup into a caller's buffer. */
int lookup(const char *key, char *buffer, size_t *size, int mode)
{
  if (mode & 1) return qxio_get_system_property(key, buffer, size, (mode & 2) ? 3 : 2);
  if (const char *value = start_option_value(key)) return copy_value(value, buffer, size);
  return qxio_get_system_property(key, buffer, size, (mode & 2) ? 1 : 0);
}

/* A lookup into a block of its own, retried once at the size the first attempt reported. */
int lookup_allocated(const char *key, char **value, int mode)
{
  if (!qx_memman_running()) return QXIO_E_INTERNAL_ERROR;
  size_t room = FIRST_VALUE_BYTES;
  for (int attempt = 0; attempt < 2; attempt++) {
    char *block = (char *)QX_malloc(room);
    if (block == nullptr) return QXIO_E_OUT_OF_MEMORY;
    size_t needed = room;
    int rc = lookup(key, block, &needed, mode);
    if (rc >= 0) {
      if (value != nullptr)
        *value = block;
      else
        QX_free(block);
      return QXIO_S_NOERR;
    }
    QX_free(block);
    if (rc != QXIO_E_INSUFFICIENT_BUFFER) return rc;
    room = needed;
  }
  return QXIO_E_INTERNAL_ERROR;
}

bool valid_options(const QX_options_ *options)
{
  if (options->version != QX_OPTIONS_VERSION) return false;
  if (options->options == nullptr) return options->noptions == 0;
  for (uint32_t i = 0; i < options->noptions; i++) {
    const QX_option_ &o = options->options[i];
    if (o.type == QX_OPTION_PROP && o.prop.key != nullptr && o.prop.value != nullptr) continue;
    if (o.type != QX_OPTION_RESERVED) return false;
  }
  return true;
}

/* A setting read into a fixed buffer, or null. */
const char *read_setting(const char *key, char (&buffer)[SETTING_BYTES], int flags)
{
  size_t size = sizeof buffer;
  return qx_getenv_internal(key, buffer, &size, flags);
}

int read_boolean(const char *key, int default_value, int flags)
{
  char buffer[SETTING_BYTES];
  const char *text = read_setting(key, buffer, flags);
  int value;
  return text != nullptr && str_to_boolean(text, &value) == 0 ? value : default_value;
}

bool same_word_any_case(const char *text, const char *word)
{
  for (; *word != '\0'; text++, word++) {
    char c = *text >= 'A' && *text <= 'Z' ? (char)(*text - 'A' + 'a') : *text;
    if (c != *word) return false;
  }
  return *text == '\0';
}

const char *skip_blanks(const char *p)
{
  while (*p == ' ' || *p == '\t') p++;
  return p;
}

/* "$getenv"(Key, Value): the value of the key named by the atom Key, as an atom. */
int prolog_getenv(worker *w)
{
  TAGGED key = deref(w->term[0]);
  if (!IsAtom(key)) return 0;
  char *value = qx_getenv_internal(atom_name(key), nullptr, nullptr, 1);
  if (value == nullptr) return 0;
  TAGGED atom = init_atom_check(value, 0);
  QX_free(value);
  return atom != 0 && cunify(w, w->term[1], atom);
}

}  // namespace

/* ---- start options ---- */

int qx_set_initial_options(const QX_options_ *options)
{
  if (options != nullptr && !valid_options(options)) return 0;
  initial_options = options;
  return 1;
}

int QX_set_initial_options(const QX_options_ *options)
{
  if (qx_memman_running()) return 0;
  return qx_set_initial_options(options);
}

int qx_apply_initial_options(void)
{
  const QX_options_ *options = initial_options;
  initial_options = nullptr;
  if (options == nullptr || options->options == nullptr) return QXIO_S_NOERR;
  for (uint32_t i = 0; i < options->noptions; i++) {
    const QX_option_ &o = options->options[i];
    if (o.type != QX_OPTION_PROP) continue;
    int rc = qxio_set_system_property(o.prop.key, o.prop.value, 0);
    if (rc < 0) return rc;
  }
  return QXIO_S_NOERR;
}

/* ---- lookups ---- */

int qx_get_system_property_internal(const char *key, char *buffer, size_t *size, char **value,
                                    int mode)
{
  if (key == nullptr) return QXIO_E_PARAMETER_ERROR;
  if (buffer == nullptr || size == nullptr) return lookup_allocated(key, value, mode);
  int rc = lookup(key, buffer, size, mode);
  if (rc >= 0 && value != nullptr) *value = buffer;
  return rc;
}

int QX_get_system_property(const char *key, char **value, int flags)
{
  if (value != nullptr) *value = nullptr;
  int mode = ((flags & 1) ? 2 : 0) | ((flags & 2) ? 1 : 0);
  return qx_get_system_property_internal(key, nullptr, nullptr, value, mode);
}

int QX_set_system_property(const char *key, const char *value, int flags)
{
  (void)flags;
  return qxio_set_system_property(key, value, 0);
}

char *QX_getenv(const char *key)
{
  if (key == nullptr) {
    qx_set_errno(QX_ERR_NULL_STRING);
    return nullptr;
  }
  char *value = nullptr;
  return QX_get_system_property(key, &value, 0) == 0 ? value : nullptr;
}

int QX_setenv(const char *key, const char *value)
{
  if (key == nullptr || value == nullptr) {
    qx_set_errno(QX_ERR_NULL_STRING);
    return 1;
  }
  return QX_set_system_property(key, value, 0) == 0 ? 0 : 1;
}

int QX_system_properties(char ***block, int flags)
{
  uint32_t options = ((flags & 2) ? 0 : 2) | ((flags & 4) ? 4 : 0);
  char **pairs = nullptr;
  size_t size = 0;
  int rc = qxio_get_system_properties(&pairs, &size, options);
  if (rc < 0) return rc;
  char **copy = (char **)QX_malloc(size);
  if (copy == nullptr) {
    qxio_free(pairs);
    return QXIO_E_OUT_OF_MEMORY;
  }
  size_t count = 0;
  while (pairs[count] != nullptr) count++;
  char *text = (char *)(copy + count + 1);
  const char *end = (const char *)copy + size;
  rc = QXIO_S_NOERR;
  for (size_t i = 0; i < count && rc == QXIO_S_NOERR; i++) {
    size_t key_bytes = std::strlen(pairs[i]) + 1;
    size_t value_bytes = std::strlen(pairs[i] + key_bytes) + 1;
    if (key_bytes + value_bytes > (size_t)(end - text)) {
      rc = QXIO_E_INTERNAL_ERROR;
      break;
    }
    std::memcpy(text, pairs[i], key_bytes + value_bytes);
    if (!(flags & 1)) text[key_bytes - 1] = '=';
    copy[i] = text;
    text += key_bytes + value_bytes;
  }
  copy[count] = nullptr;
  qxio_free(pairs);
  if (rc < 0 || block == nullptr) {
    QX_free(copy);
    return rc;
  }
  *block = copy;
  return QXIO_S_NOERR;
}

char **QX_copy_environ(void)
{
  char **block = nullptr;
  return QX_system_properties(&block, 0) == 0 ? block : nullptr;
}

char *qx_getenv_internal(const char *key, char *buffer, size_t *size, int flags)
{
  if ((flags & 3) == 0) return nullptr;
  int mode = ((flags & 4) ? 2 : 0) | ((flags & 8) ? 1 : 0);
  char *value = nullptr;
  if (qx_get_system_property_internal(key, buffer, size, &value, mode) < 0) return nullptr;
  if ((flags & 2) || wci_valid_string(value)) return value;
  if (value != buffer) QX_free(value);
  return nullptr;
}

char *qx_getenv_anyenc(const char *key, char *buffer, size_t *size)
{
  return qx_getenv_internal(key, buffer, size, 2);
}

int qx_checkenv(const char *key)
{
  char probe[1];
  size_t size = 0;
  int rc = qx_get_system_property_internal(key, probe, &size, nullptr, 0);
  return rc >= 0 || rc == QXIO_E_INSUFFICIENT_BUFFER;
}

/* ---- settings ---- */

int get_boolean_property(const char *key, int default_value)
{
  return read_boolean(key, default_value, 6);
}

int get_boolean(const char *key, int default_value) { return read_boolean(key, default_value, 2); }

size_t get_stack_size(const char *key, size_t default_value, size_t minimum)
{
  char buffer[SETTING_BYTES];
  const char *text = read_setting(key, buffer, 2);
  size_t value;
  if (text == nullptr || str_to_size(text, &value) != 0) value = default_value;
  return value > minimum ? value : minimum;
}

int str_to_boolean(const char *text, int *value)
{
  if (text == nullptr) return QXIO_E_ERROR;
  if (same_word_any_case(text, "yes")) {
    *value = 1;
    return QXIO_S_NOERR;
  }
  if (same_word_any_case(text, "no")) {
    *value = 0;
    return QXIO_S_NOERR;
  }
  return QXIO_E_ERROR;
}

/* Leading blanks, decimal digits, blanks, then K (times 1024, at most 4194303), M (times
 * 1048576, at most 4095) or G (times 1073741824, at most 3) in either case; other trailing text
 * is ignored. No digits, or a value beyond 32 bits, is malformed. */
int str_to_size(const char *text, size_t *value)
{
  if (text == nullptr) return QXIO_E_MISC_ERROR_1;
  const char *p = skip_blanks(text);
  if (*p < '0' || *p > '9') return QXIO_E_MISC_ERROR_1;
  uint64_t number = 0;
  for (; *p >= '0' && *p <= '9'; p++) {
    number = number * 10 + (uint64_t)(*p - '0');
    if (number > UINT32_MAX) return QXIO_E_MISC_ERROR_1;
  }
  p = skip_blanks(p);
  uint64_t unit = 1, limit = UINT32_MAX;
  switch (*p) {
  case 'K':
  case 'k': unit = 1024, limit = 4194303; break;
  case 'M':
  case 'm': unit = 1048576, limit = 4095; break;
  case 'G':
  case 'g': unit = 1073741824, limit = 3; break;
  default: break;
  }
  if (number > limit) return QXIO_E_MISC_ERROR_1;
  *value = (size_t)(number * unit);
  return QXIO_S_NOERR;
}

const qx_pred_row qx_api_properties_rows[] = {
    {"$getenv", prolog_getenv, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
