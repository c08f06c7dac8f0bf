/* Character coders: the registry of classes by loose name, the operations that drive an
   instance, and detection of an encoding from a byte-order mark or a "coding:" line. */
#include <string.h>

#include "qxio_coder_internal.h"

namespace {

const uint32_t unregister_option = 0x1;

/* Canonical class name -> class (the registry's reference), keyed by transformed names. */
qxio_t_hash *func_hash;
/* Every registered spelling (transformed) -> transformed canonical name. */
qxio_t_hash *qxio_charset_canonical_name_hash;

qxio_t_variant pointer_variant(void *pointer)
{
  qxio_t_variant v;
  v.flags = QXIO_VARIANT_POINTER;
  v.u.pointer = pointer;
  return v;
}

qxio_t_variant string_variant(const char *text)
{
  qxio_t_variant v;
  v.flags = QXIO_VARIANT_STRING | QXIO_VARIANT_FLAG_NOT_OWNED;
  v.u.string = text;
  return v;
}

/* Frees a table that has become empty and clears its owner. */
void free_if_empty(qxio_t_hash **table)
{
  if (*table != nullptr && qxio_hash_nentries(*table) == 0) {
    qxio_hash_free(*table);
    *table = nullptr;
  }
}

/* Reads a name in its transformed form, one kept character at a time. */
struct loose_reader {
  const char *p;
  bool after_digit;
};

/* The next kept character, or '\0' at the end of the name. */
char loose_next(loose_reader *reader)
{
  for (; *reader->p != '\0'; reader->p++) {
    char c = *reader->p;
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    bool letter = c >= 'a' && c <= 'z', digit = c >= '0' && c <= '9';
    if (!letter && !digit) continue;
    if (c == '0' && !reader->after_digit) continue;
    reader->p++;
    reader->after_digit = digit;
    return c;
  }
  return '\0';
}

/* Whether the transformed form of name is `loose`. Comparing without making the form lets
   names leave the registry when memory is exhausted (a module stop after a failed start). */
bool loose_equal(const char *name, const char *loose)
{
  loose_reader reader = {name, false};
  for (;; loose++) {
    char c = loose_next(&reader);
    if (c != *loose) return false;
    if (c == '\0') return true;
  }
}

bool loose_empty(const char *name)
{
  loose_reader reader = {name, false};
  return loose_next(&reader) == '\0';
}

/* The transformed form of a name: QXIO_E_PARAMETER_ERROR for an empty one. */
qxio_t_error_code transform(const char *name, char **out)
{
  *out = nullptr;
  if (name == nullptr || loose_empty(name)) return QXIO_E_PARAMETER_ERROR;
  *out = tr22_transform_name(name);
  return *out == nullptr ? QXIO_E_OUT_OF_MEMORY : QXIO_S_NOERR;
}

/* A canonical name (or one explicit name) and its null-terminated aliases (or none). */
struct name_list {
  const char *first;
  const char *const *aliases;
};

bool name_list_has(const name_list *names, const char *loose)
{
  if (names->first != nullptr && loose_equal(names->first, loose)) return true;
  for (const char *const *alias = names->aliases; alias != nullptr && *alias != nullptr; alias++)
    if (loose_equal(*alias, loose)) return true;
  return false;
}

/* QXIO_E_PARAMETER_ERROR when a name is missing or empty once transformed. */
qxio_t_error_code check_names(const name_list *names)
{
  if (names->first == nullptr || loose_empty(names->first)) return QXIO_E_PARAMETER_ERROR;
  for (const char *const *alias = names->aliases; alias != nullptr && *alias != nullptr; alias++)
    if (loose_empty(*alias)) return QXIO_E_PARAMETER_ERROR;
  return QXIO_S_NOERR;
}

void free_names(char **names, size_t count)
{
  for (size_t i = 0; i < count; i++) qxio_free(names[i]);
  qxio_free(names);
}

/* Transforms the canonical name (index 0) and every alias; all or nothing. */
qxio_t_error_code transform_all(const name_list *list, char ***names_out, size_t *count_out)
{
  size_t count = 1;
  while (list->aliases != nullptr && list->aliases[count - 1] != nullptr) count++;
  char **names = static_cast<char **>(qxio_alloc(count * sizeof(char *)));
  if (names == nullptr) return QXIO_E_OUT_OF_MEMORY;
  for (size_t i = 0; i < count; i++) {
    qxio_t_error_code rc = transform(i == 0 ? list->first : list->aliases[i - 1], &names[i]);
    if (rc < 0) {
      free_names(names, i);
      return rc;
    }
  }
  *names_out = names;
  *count_out = count;
  return QXIO_S_NOERR;
}

/* Enters every name under the canonical one; a name already present keeps its entry. On a
   failure the names entered by this call are removed again. */
qxio_t_error_code enter_names(char **names, size_t count)
{
  if (qxio_charset_canonical_name_hash == nullptr) {
    qxio_t_error_code rc = qxio_hash_new(&qxio_charset_canonical_name_hash);
    if (rc < 0) return rc;
  }
  qxio_t_variant canonical = string_variant(names[0]);
  bool *added = static_cast<bool *>(qxio_alloc(count * sizeof(bool)));
  qxio_t_error_code rc = added == nullptr ? QXIO_E_OUT_OF_MEMORY : QXIO_S_NOERR;
  size_t i = 0;
  for (; rc >= 0 && i < count; i++) {
    rc = qxio_hash_put_string(qxio_charset_canonical_name_hash, names[i], &canonical);
    added[i] = rc >= 0;
    if (rc == QXIO_E_FOUND) rc = QXIO_S_NOERR;
  }
  if (rc < 0 && added != nullptr)
    for (size_t j = 0; j < i; j++)
      if (added[j]) qxio_hash_delete_string(qxio_charset_canonical_name_hash, names[j]);
  qxio_free(added);
  free_if_empty(&qxio_charset_canonical_name_hash);
  return rc;
}

/* What a walk over the name table removes: the entries keyed by a name of `names` that lead
   to `canonical` (to anything when it is null), except those keyed by a name of `kept`. */
struct name_removal {
  const name_list *names;
  const char *canonical;
  const name_list *kept;
};

qxio_t_error_code remove_matching(const qxio_t_variant *key, qxio_t_variant *value, void *data)
{
  const name_removal *removal = static_cast<const name_removal *>(data);
  if (name_list_has(removal->names, key->u.string) &&
      (removal->canonical == nullptr || strcmp(value->u.string, removal->canonical) == 0) &&
      (removal->kept == nullptr || !name_list_has(removal->kept, key->u.string)))
    qxio_hash_delete(qxio_charset_canonical_name_hash, key);
  return QXIO_S_NOERR;
}

/* Removes names from the name table as name_removal says; needs no memory. */
void remove_names(const name_list *names, const char *canonical, const name_list *kept)
{
  if (qxio_charset_canonical_name_hash == nullptr) return;
  name_removal removal = {names, canonical, kept};
  qxio_hash_map(qxio_charset_canonical_name_hash, remove_matching, &removal);
  free_if_empty(&qxio_charset_canonical_name_hash);
}

/* Takes a class out of the registry under its key, the func_hash's own copy: the key and
   those of the class's names that lead to it leave the name table (other names of the class
   stay with the entry they lead to), and the registry's reference is dropped. Needs no
   memory. */
void drop_class(const char *key, qxio_t_coder_funcs *funcs)
{
  const name_list key_only = {key, nullptr}, class_names = {funcs->name, funcs->aliases};
  remove_names(&key_only, key, nullptr);
  remove_names(&class_names, key, nullptr);
  qxio_hash_delete_string(func_hash, key); /* frees the key: last */
  qxio_coder_funcs_release(funcs);
}

qxio_t_coder_funcs *registered_class(const char *key)
{
  qxio_t_variant *value = nullptr;
  if (func_hash == nullptr || qxio_hash_get_string(func_hash, key, &value) < 0) return nullptr;
  return static_cast<qxio_t_coder_funcs *>(value->u.pointer);
}

/* Enters a class under a key that has none yet, with its names; all or nothing. */
qxio_t_error_code add_class(const char *key, const name_list *names, qxio_t_coder_funcs *funcs)
{
  if (func_hash == nullptr) {
    qxio_t_error_code rc = qxio_hash_new(&func_hash);
    if (rc < 0) return rc;
  }
  qxio_t_variant value = pointer_variant(funcs);
  qxio_t_error_code rc = qxio_hash_put_string(func_hash, key, &value);
  if (rc >= 0) {
    rc = qxio_register_charset(names->first, names->aliases, 0);
    if (rc < 0) qxio_hash_delete_string(func_hash, key);
  }
  if (rc < 0) {
    free_if_empty(&func_hash);
    return rc;
  }
  qxio_coder_funcs_addref(funcs);
  return QXIO_S_NOERR;
}

/* Registers a class under its key: a class already there is replaced and released, and
   those of its names that lead to the key and are not names of the new class leave the name
   table. The new names are entered first, so that a failure leaves the registry as it was. */
qxio_t_error_code register_class(const char *key, const char *name, qxio_t_coder_funcs *funcs)
{
  const name_list names =
      name != nullptr ? name_list{name, nullptr} : name_list{funcs->name, funcs->aliases};
  qxio_t_variant *entry = nullptr;
  if (func_hash == nullptr || qxio_hash_get_string(func_hash, key, &entry) < 0)
    return add_class(key, &names, funcs);
  qxio_t_error_code rc = qxio_register_charset(names.first, names.aliases, 0);
  if (rc < 0) return rc;
  qxio_t_coder_funcs *old = static_cast<qxio_t_coder_funcs *>(entry->u.pointer);
  const name_list old_names = {old->name, old->aliases};
  remove_names(&old_names, key, &names);
  qxio_coder_funcs_addref(funcs);
  entry->u.pointer = funcs;
  qxio_coder_funcs_release(old);
  return QXIO_S_NOERR;
}

/* A walk over func_hash for the entry whose key is the transformed name. */
struct class_search {
  const char *name;
  const char *key;
  qxio_t_coder_funcs *funcs;
};

qxio_t_error_code match_class(const qxio_t_variant *key, qxio_t_variant *value, void *data)
{
  class_search *search = static_cast<class_search *>(data);
  if (!loose_equal(search->name, key->u.string)) return QXIO_S_NOERR;
  search->key = key->u.string;
  search->funcs = static_cast<qxio_t_coder_funcs *>(value->u.pointer);
  return QXIO_E_FOUND; /* ends the walk */
}

/* Unregisters the class under the name (only if it is funcs, when funcs is given). The key
   is found by comparing loose forms rather than by making one, so that this needs no
   memory. */
void unregister_class(const char *name, qxio_t_coder_funcs *funcs)
{
  if (func_hash == nullptr) return;
  class_search search = {name, nullptr, nullptr};
  qxio_hash_map(func_hash, match_class, &search);
  if (search.key != nullptr && (funcs == nullptr || funcs == search.funcs))
    drop_class(search.key, search.funcs);
  free_if_empty(&func_hash);
}

/* Canonical key for a look-up: the name table's entry, else the transformed name itself. */
qxio_t_error_code lookup_key(const char *name, char **key_out)
{
  qxio_t_error_code rc = transform(name, key_out);
  if (rc < 0) return rc;
  const char *canonical = nullptr;
  if (qxio_charset_canonical_name(*key_out, &canonical) >= 0 && strcmp(canonical, *key_out) != 0) {
    char *copy = qxio_alloc_string(canonical);
    qxio_free(*key_out);
    *key_out = copy;
    if (copy == nullptr) return QXIO_E_OUT_OF_MEMORY;
  }
  return QXIO_S_NOERR;
}

}  // namespace

char *tr22_transform_name(const char *name)
{
  char *out = static_cast<char *>(qxio_alloc(strlen(name) + 1));
  if (out == nullptr) return nullptr;
  loose_reader reader = {name, false};
  size_t n = 0;
  while ((out[n] = loose_next(&reader)) != '\0') n++;
  return out;
}

/* ---- class references ---- */

qxio_t_error_code qxio_coder_default_addref(qxio_t_coder_funcs *funcs)
{
  __atomic_add_fetch(&funcs->refcount, 1, __ATOMIC_RELAXED);
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_coder_default_release(qxio_t_coder_funcs *funcs)
{
  if (__atomic_sub_fetch(&funcs->refcount, 1, __ATOMIC_ACQ_REL) == 0) funcs->destroy(funcs);
  return QXIO_S_NOERR;
}

/* The built-in tables are static: nothing to free. */
void qxio_coder_default_destroy(qxio_t_coder_funcs *funcs) {}

qxio_t_error_code qxio_coder_funcs_addref(qxio_t_coder_funcs *funcs)
{
  return funcs->addref(funcs);
}

qxio_t_error_code qxio_coder_funcs_release(qxio_t_coder_funcs *funcs)
{
  return funcs->release(funcs);
}

/* ---- registry ---- */

/* Unregistering needs no memory, so that a module stop works with memory exhausted. */
qxio_t_error_code qxio_register_charset(const char *canonical, const char *const *aliases,
                                        uint32_t options)
{
  const name_list list = {canonical, aliases};
  qxio_t_error_code rc = check_names(&list);
  if (rc < 0) return rc;
  if (options & unregister_option) {
    remove_names(&list, nullptr, nullptr);
    return QXIO_S_NOERR;
  }
  char **names = nullptr;
  size_t count = 0;
  rc = transform_all(&list, &names, &count);
  if (rc < 0) return rc;
  rc = enter_names(names, count);
  free_names(names, count);
  return rc;
}

qxio_t_error_code qxio_register_coder(const char *name, qxio_t_coder_funcs *funcs, uint32_t options)
{
  if (funcs == nullptr && (name == nullptr || !(options & unregister_option)))
    return QXIO_E_PARAMETER_ERROR;
  const char *spelling = name != nullptr ? name : funcs->name;
  if (spelling == nullptr || loose_empty(spelling)) return QXIO_E_PARAMETER_ERROR;
  if (options & unregister_option) {
    unregister_class(spelling, funcs);
    return QXIO_S_NOERR;
  }
  char *key = tr22_transform_name(spelling);
  if (key == nullptr) return QXIO_E_OUT_OF_MEMORY;
  qxio_t_error_code rc = register_class(key, name, funcs);
  qxio_free(key);
  return rc;
}

qxio_t_error_code qxio_charset_canonical_name(const char *name, const char **canonical_out)
{
  char *key;
  qxio_t_error_code rc = transform(name, &key);
  if (rc < 0) return rc;
  qxio_t_variant *value = nullptr;
  rc = qxio_charset_canonical_name_hash == nullptr
           ? QXIO_E_NOT_FOUND
           : qxio_hash_get_string(qxio_charset_canonical_name_hash, key, &value);
  qxio_free(key);
  if (rc < 0) return rc == QXIO_E_NOT_FOUND ? QXIO_E_CHARSET_NOT_FOUND : rc;
  *canonical_out = value->u.string;
  return QXIO_S_NOERR;
}

int qxio_charset_name_equal(const char *a, const char *b)
{
  const char *ca, *cb;
  if (qxio_charset_canonical_name(a, &ca) < 0 || qxio_charset_canonical_name(b, &cb) < 0) return 0;
  return strcmp(ca, cb) == 0;
}

qxio_t_error_code qxio_char_coder_find(qxio_t_coder_funcs **funcs_out, const char *name,
                                       void *reserved, uint32_t options)
{
  char *key;
  qxio_t_error_code rc = lookup_key(name, &key);
  if (rc < 0) return rc;
  qxio_t_coder_funcs *funcs = registered_class(key);
  qxio_free(key);
  if (funcs == nullptr) return QXIO_E_CHARSET_NOT_FOUND;
  qxio_coder_funcs_addref(funcs);
  if ((options & 0x1) && !(funcs->features & QXIO_CODER_FEATURE_SEEKABLE)) {
    qxio_coder_funcs_release(funcs);
    return QXIO_E_SEEK_ERROR;
  }
  *funcs_out = funcs;
  return QXIO_S_NOERR;
}

/* A start that fails unregisters what it registered, so that the family leaves nothing. */
qxio_t_error_code qxio_coder_register_family(qxio_t_coder_funcs *const *classes, size_t count,
                                             uint32_t deinit)
{
  if (deinit) {
    for (size_t i = count; i-- > 0;) {
      qxio_t_error_code rc = qxio_register_coder(nullptr, classes[i], unregister_option);
      if (rc < 0) return rc;
    }
    return QXIO_S_NOERR;
  }
  for (size_t i = 0; i < count; i++) {
    classes[i]->refcount = 1;
    qxio_t_error_code rc = qxio_register_coder(nullptr, classes[i], 0);
    qxio_coder_funcs_release(classes[i]);
    if (rc < 0) {
      qxio_coder_register_family(classes, i, 1);
      return rc;
    }
  }
  return QXIO_S_NOERR;
}

namespace {

typedef qxio_t_error_code (*family_init)(uint32_t);
const family_init families[] = {qxio_init_char_coder_byte, qxio_init_char_coder_utf8,
                                qxio_init_char_coder_utf16, qxio_init_char_coder_utf32};

/* Stops the first count families, last first; the first failure ends the walk. */
qxio_t_error_code stop_families(size_t count)
{
  while (count > 0) {
    qxio_t_error_code rc = families[--count](1);
    if (rc < 0) return rc;
  }
  return QXIO_S_NOERR;
}

}  // namespace

/* A failed start leaves nothing registered (the failing family has undone its own part), and
   the stop is safe after any start, whole or partial, and needs no memory. */
qxio_t_error_code qxio_init_char_coder(uint32_t deinit)
{
  const size_t nfamilies = sizeof families / sizeof families[0];
  if (deinit) return stop_families(nfamilies);
  for (size_t i = 0; i < nfamilies; i++) {
    qxio_t_error_code rc = families[i](0);
    if (rc < 0) {
      stop_families(i);
      return rc;
    }
  }
  return QXIO_S_NOERR;
}

/* ---- instances ---- */

qxio_t_error_code qxio_char_coder_open(qxio_t_coder_funcs *funcs, qxio_t_coder **coder_out,
                                       const qxio_t_arglist *properties, uint32_t options)
{
  qxio_t_coder *coder = nullptr;
  qxio_t_error_code rc = funcs->open(funcs, &coder, properties, options);
  if (rc >= 0 && (options & QXIO_CODER_OPEN_SEEKABLE) && !(coder->flags & QXIO_CODER_SEEKABLE))
    rc = QXIO_E_SEEK_ERROR;
  if (rc < 0) {
    qxio_char_coder_close(coder);
    return rc;
  }
  *coder_out = coder;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_char_coder_close(qxio_t_coder *coder)
{
  if (coder == nullptr) return QXIO_S_NOERR;
  return coder->funcs->free(coder);
}

qxio_t_error_code qxio_char_coder_encode(qxio_t_coder *coder, const qxio_t_buf *in, size_t *pos,
                                         qxio_t_buf *out, uint32_t options)
{
  size_t at = *pos;
  qxio_t_error_code rc = coder->funcs->encode(coder, in, &at, out, options);
  if (rc == QXIO_E_NOT_ENOUGH_DATA && (options & QXIO_CODER_END_OF_INPUT))
    rc = at < in->extent ? QXIO_E_ENCODING_INVALID : QXIO_E_END_OF_FILE;
  if (rc < 0) return rc;
  *pos = at;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_char_coder_commit(qxio_t_coder *coder)
{
  return coder->funcs->commit(coder);
}

qxio_t_error_code qxio_char_coder_rollback(qxio_t_coder *coder)
{
  return coder->funcs->rollback(coder);
}

qxio_t_error_code qxio_char_coder_seek(qxio_t_coder *coder, int64_t offset, uint32_t options)
{
  qxio_t_error_code rc = coder->funcs->seek(coder, offset, options);
  return rc < 0 ? rc : QXIO_S_NOERR;
}

qxio_t_error_code qxio_char_coder_translate_offset(qxio_t_coder *coder, int64_t offset,
                                                   int64_t *offset_out)
{
  qxio_t_error_code rc = coder->funcs->translate_offset(coder, offset, offset_out);
  return rc < 0 ? rc : QXIO_S_NOERR;
}

qxio_t_error_code qxio_coder_new_instance(qxio_t_coder_funcs *funcs, uint32_t flags,
                                          qxio_t_wchar start, qxio_t_coder **coder_out)
{
  qxio_coder_funcs_addref(funcs);
  qxio_t_coder_byte *st = static_cast<qxio_t_coder_byte *>(qxio_alloc(sizeof *st));
  if (st == nullptr) {
    qxio_coder_funcs_release(funcs);
    return QXIO_E_OUT_OF_MEMORY;
  }
  st->coder.funcs = funcs;
  st->coder.flags = flags;
  st->last_char = start;
  *coder_out = &st->coder;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_coder_free_instance(qxio_t_coder *coder)
{
  qxio_t_coder_funcs *funcs = coder->funcs;
  qxio_free(coder);
  return qxio_coder_funcs_release(funcs);
}

qxio_t_error_code qxio_coder_no_commit(qxio_t_coder *coder) { return QXIO_S_NOERR; }

qxio_t_error_code qxio_coder_out_grow(qxio_t_buf *out, unsigned char **o, unsigned char **oend,
                                      size_t need, size_t want)
{
  size_t used = (size_t)(*o - out->buf);
  out->extent = used;
  size_t step = used > 4096 ? used : 4096;
  size_t n = want < step ? want : step;
  if (n < need) n = need;
  qxio_t_error_code rc = qxio_buf_reserve(out, n);
  if (rc < 0) return rc;
  if (out->writable_size - used < need) return QXIO_E_OUT_OF_MEMORY;
  *o = out->buf + used;
  *oend = out->buf + out->writable_size;
  return QXIO_S_NOERR;
}

/* ---- detection ---- */

namespace {

const uint32_t detect_complete = 0x1, detect_seekable = 0x2;

qxio_t_error_code detected(const char *name, qxio_t_coder_funcs **funcs_out, uint32_t options)
{
  return qxio_char_coder_find(funcs_out, name, nullptr, (options & detect_seekable) ? 0x1 : 0);
}

bool starts_with(const unsigned char *b, size_t n, const char *bytes, size_t length)
{
  return n >= length && memcmp(b, bytes, length) == 0;
}

bool is_line_end(unsigned char c) { return c == '\r' || c == '\n'; }

/* Index of the first "-*-" at or after `from` ending at or before `limit`, else limit. */
size_t find_marker(const unsigned char *b, size_t from, size_t limit)
{
  for (size_t i = from; i + 3 <= limit; i++)
    if (b[i] == '-' && b[i + 1] == '*' && b[i + 2] == '-') return i;
  return limit;
}

/* Position of "coding:" in the section [start, close), at its start or after a space, tab
   or ";", with at least one byte before the close; else close. */
size_t find_coding(const unsigned char *b, size_t start, size_t close)
{
  for (size_t k = start; k + 7 < close; k++) {
    if (k > start && b[k - 1] != ' ' && b[k - 1] != '\t' && b[k - 1] != ';') continue;
    if (memcmp(b + k, "coding:", 7) == 0) return k;
  }
  return close;
}

/* The name after "coding:" (at k) and before the section's close, then its class. */
qxio_t_error_code coding_class(const unsigned char *b, size_t k, size_t close,
                               qxio_t_coder_funcs **funcs_out, uint32_t options)
{
  static const char name_chars[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789!$%&*+-.^_{|}~";
  size_t i = k + 7;
  while (i < close && (b[i] == ' ' || b[i] == '\t')) i++;
  size_t start = i;
  while (i < close && b[i] != '\0' && strchr(name_chars, b[i]) != nullptr) i++;
  if (i == start) return QXIO_E_SYNTAX_ERROR;
  char name[1025];
  memcpy(name, b + start, i - start);
  name[i - start] = '\0';
  return detected(name, funcs_out, options);
}

}  // namespace

qxio_t_error_code bom_encoding_detector(const qxio_t_buf *bytes, qxio_t_coder_funcs **funcs_out,
                                        uint32_t options)
{
  const unsigned char *b = bytes->buf;
  size_t n = bytes->extent;
  const char *name = nullptr;
  if (n >= 4) {
    if (starts_with(b, n, "\x00\x00\xFE\xFF", 4))
      name = "UTF-32 BE";
    else if (starts_with(b, n, "\xFF\xFE\x00\x00", 4))
      name = "UTF-32 LE";
    else if (starts_with(b, n, "\xEF\xBB\xBF", 3))
      name = "UTF-8";
    else if (starts_with(b, n, "\xFE\xFF", 2))
      name = "UTF-16 BE";
    else if (starts_with(b, n, "\xFF\xFE", 2))
      name = "UTF-16 LE";
  } else if (starts_with(b, n, "\xFE\xFF", 2)) {
    name = "UTF-16 BE";
  } else if (starts_with(b, n, "\xEF\xBB\xBF", 3)) {
    name = "UTF-8";
  } else if (!(options & detect_complete)) {
    return QXIO_E_NOT_ENOUGH_DATA;
  } else if (starts_with(b, n, "\xFF\xFE", 2)) {
    name = "UTF-16 LE";
  }
  return name == nullptr ? 1 : detected(name, funcs_out, options);
}

qxio_t_error_code emacs_encoding_detector(const qxio_t_buf *bytes, qxio_t_coder_funcs **funcs_out,
                                          uint32_t options)
{
  const unsigned char *b = bytes->buf;
  const size_t n = bytes->extent < 1024 ? bytes->extent : 1024;
  const qxio_t_error_code give_up =
      ((options & detect_complete) || bytes->extent >= 1024) ? 1 : QXIO_E_NOT_ENOUGH_DATA;
  size_t i = 0;
  while (i < n && is_line_end(b[i])) i++;
  if (n - i < 3) return give_up;
  size_t line_end = i;
  while (line_end < n && !is_line_end(b[line_end])) line_end++;
  size_t open = find_marker(b, i, line_end);
  if (open == line_end) return give_up;
  for (size_t start = open + 3;;) {
    size_t close = start;
    for (;; close++) {
      if (close >= n) return give_up;
      if (is_line_end(b[close])) return 1;
      if (close + 3 <= n && find_marker(b, close, close + 3) == close) break;
    }
    if (close - start >= 8) {
      size_t k = find_coding(b, start, close);
      if (k < close) return coding_class(b, k, close, funcs_out, options);
    }
    start = close + 3;
  }
}

namespace {

typedef qxio_t_error_code (*encoding_detector)(const qxio_t_buf *, qxio_t_coder_funcs **, uint32_t);
const encoding_detector detectors[] = {bom_encoding_detector, emacs_encoding_detector};

/* Result of one walk over the detectors. */
enum walk_outcome { walk_found, walk_failed, walk_wants_more, walk_nothing };

walk_outcome walk_detectors(const qxio_t_buf *bytes, bool complete, uint32_t options,
                            qxio_t_coder_funcs **funcs_out, qxio_t_error_code *failure)
{
  bool wants_more = false;
  for (encoding_detector detector : detectors) {
    qxio_t_error_code rc =
        detector(bytes, funcs_out, (complete ? detect_complete : 0) | (options & detect_seekable));
    if (rc == QXIO_S_NOERR) return walk_found;
    if (rc == QXIO_E_NOT_ENOUGH_DATA) {
      wants_more = true;
    } else if ((rc == QXIO_E_CHARSET_NOT_FOUND && !(options & 0x1)) || rc == QXIO_E_SEEK_ERROR) {
      *failure = rc;
      return walk_failed;
    }
  }
  return wants_more && !complete ? walk_wants_more : walk_nothing;
}

}  // namespace

qxio_t_error_code qxio_detect_file_encoding(QXIO *slot, qxio_t_coder_funcs **funcs_out,
                                            uint32_t options)
{
  if (*slot == nullptr || !((*slot)->flags & (QXIO_LAYER_SEEKABLE | QXIO_LAYER_SEEKABLE_OTHER)))
    return 1;
  qxio_t_buf *bytes = nullptr;
  qxio_t_coder_funcs *funcs = nullptr;
  qxio_t_error_code result = 1;
  for (bool complete = false;;) {
    qxio_t_error_code rc = qxio_read(slot, &bytes, QXIO_READ_BYTES);
    if (rc == QXIO_E_END_OF_FILE && bytes != nullptr && bytes->extent > 0)
      complete = true;
    else if (rc < 0)
      break;
    walk_outcome outcome = walk_detectors(bytes, complete, options, &funcs, &result);
    if (outcome == walk_found) result = QXIO_S_NOERR;
    if (outcome != walk_wants_more) break;
  }
  if (bytes != nullptr && bytes->extent > 0) {
    qxio_t_error_code rc =
        qxio_seek(slot, -(int64_t)bytes->extent, nullptr, bytes, QXIO_SEEK_CUR_ALT);
    if (rc < 0) {
      if (result == QXIO_S_NOERR) qxio_coder_funcs_release(funcs);
      result = rc;
    }
  }
  qxio_buf_free(bytes);
  if (result == QXIO_S_NOERR) *funcs_out = funcs;
  return result;
}
