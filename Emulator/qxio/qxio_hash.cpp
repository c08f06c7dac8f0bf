/* A small chained hash table keyed by variants (the layer-class registry and other name tables). */
#include <string.h>

#include "qxio_internal.h"

namespace {

const size_t hash_chains = 13;

uint32_t type_of(const qxio_t_variant *v) { return v->flags & QXIO_VARIANT_TYPE_MASK; }

/* Strings hash as h * 31 + byte; pointers and integers sign-extend, flag sets zero-extend;
   other types all hash to all ones. */
uint64_t variant_hash(const qxio_t_variant *v)
{
  switch (type_of(v)) {
  case QXIO_VARIANT_STRING: {
    uint64_t h = 0;
    for (const unsigned char *s = reinterpret_cast<const unsigned char *>(v->u.string); *s; s++)
      h = h * 31 + *s;
    return h;
  }
  case QXIO_VARIANT_POINTER:
    return static_cast<uint64_t>(static_cast<int64_t>(reinterpret_cast<intptr_t>(v->u.pointer)));
  case QXIO_VARIANT_INT: return static_cast<uint64_t>(static_cast<int64_t>(v->u.integer));
  case QXIO_VARIANT_FLAGS: return v->u.flags;
  default: return ~static_cast<uint64_t>(0);
  }
}

bool keys_equal(const qxio_t_variant *a, const qxio_t_variant *b)
{
  if (a == b) return true;
  if (type_of(a) != type_of(b)) return false;
  switch (type_of(a)) {
  case QXIO_VARIANT_STRING: return strcmp(a->u.string, b->u.string) == 0;
  case QXIO_VARIANT_POINTER: return a->u.pointer == b->u.pointer;
  case QXIO_VARIANT_FLAGS: return a->u.flags == b->u.flags;
  case QXIO_VARIANT_INT: return a->u.integer == b->u.integer;
  default: return false;
  }
}

/* The slot that holds the link of `key` (or the null slot at the end of its chain). */
qxio_t_hash_link **find_slot(qxio_t_hash *hash, const qxio_t_variant *key)
{
  uint64_t h = variant_hash(key);
  qxio_t_hash_link **slot = &hash->links[h % hash->nlinks];
  while (*slot != nullptr && !((*slot)->hash == h && keys_equal(&(*slot)->key, key)))
    slot = &(*slot)->next;
  return slot;
}

/* Copies a variant into a link: a string into owned storage, anything else as it is. The
   link's variants are embedded records, so they never carry the "allocated record" bit. */
qxio_t_error_code copy_variant(qxio_t_variant *to, const qxio_t_variant *from)
{
  *to = *from;
  if (type_of(from) == QXIO_VARIANT_STRING) {
    char *copy = qxio_alloc_string(from->u.string);
    if (copy == nullptr) {
      to->flags = 0;
      return QXIO_E_OUT_OF_MEMORY;
    }
    to->u.string = copy;
    to->flags &= ~QXIO_VARIANT_FLAG_NOT_OWNED;
  }
  to->flags &= ~QXIO_VARIANT_FLAG_ALLOCATED;
  return QXIO_S_NOERR;
}

void free_link(qxio_t_hash_link *link)
{
  qxio_variant_free(&link->key);
  qxio_variant_free(&link->value);
  qxio_free(link);
}

qxio_t_variant string_key(const char *text)
{
  qxio_t_variant key;
  key.flags = QXIO_VARIANT_STRING | QXIO_VARIANT_FLAG_NOT_OWNED;
  key.u.string = text;
  return key;
}

}  // namespace

qxio_t_error_code qxio_hash_new(qxio_t_hash **hash_out)
{
  qxio_t_hash *hash = static_cast<qxio_t_hash *>(qxio_alloc(sizeof(qxio_t_hash)));
  if (hash == nullptr) return QXIO_E_OUT_OF_MEMORY;
  hash->links =
      static_cast<qxio_t_hash_link **>(qxio_alloc(hash_chains * sizeof(qxio_t_hash_link *)));
  if (hash->links == nullptr) {
    qxio_free(hash);
    return QXIO_E_OUT_OF_MEMORY;
  }
  for (size_t i = 0; i < hash_chains; i++) hash->links[i] = nullptr;
  hash->nentries = 0;
  hash->nlinks = hash_chains;
  *hash_out = hash;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_hash_put(qxio_t_hash *hash, const qxio_t_variant *key,
                                const qxio_t_variant *value)
{
  qxio_t_hash_link **slot = find_slot(hash, key);
  if (*slot != nullptr) return QXIO_E_FOUND;
  qxio_t_hash_link *link = static_cast<qxio_t_hash_link *>(qxio_alloc(sizeof(qxio_t_hash_link)));
  if (link == nullptr) return QXIO_E_OUT_OF_MEMORY;
  link->hash = variant_hash(key);
  link->next = nullptr;
  link->key.flags = 0;
  link->value.flags = 0;
  if (copy_variant(&link->key, key) < 0 || copy_variant(&link->value, value) < 0) {
    free_link(link);
    return QXIO_E_OUT_OF_MEMORY;
  }
  *slot = link;
  hash->nentries++;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_hash_put_string(qxio_t_hash *hash, const char *text,
                                       const qxio_t_variant *value)
{
  qxio_t_variant key = string_key(text);
  return qxio_hash_put(hash, &key, value);
}

qxio_t_error_code qxio_hash_get(qxio_t_hash *hash, const qxio_t_variant *key,
                                qxio_t_variant **value_out)
{
  qxio_t_hash_link *link = *find_slot(hash, key);
  if (link == nullptr) return QXIO_E_NOT_FOUND;
  if (value_out != nullptr) *value_out = &link->value;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_hash_get_string(qxio_t_hash *hash, const char *text,
                                       qxio_t_variant **value_out)
{
  qxio_t_variant key = string_key(text);
  return qxio_hash_get(hash, &key, value_out);
}

qxio_t_error_code qxio_hash_delete(qxio_t_hash *hash, const qxio_t_variant *key)
{
  qxio_t_hash_link **slot = find_slot(hash, key);
  qxio_t_hash_link *link = *slot;
  if (link == nullptr) return QXIO_E_NOT_FOUND;
  *slot = link->next;
  free_link(link);
  hash->nentries--;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_hash_delete_string(qxio_t_hash *hash, const char *text)
{
  qxio_t_variant key = string_key(text);
  return qxio_hash_delete(hash, &key);
}

qxio_t_error_code qxio_hash_map(qxio_t_hash *hash, qxio_t_hash_map_fun fun, void *data)
{
  qxio_t_error_code rc = QXIO_E_ERROR;
  for (size_t i = 0; i < hash->nlinks; i++) {
    /* the next link is taken first, so that the callback may delete the entry it is given */
    qxio_t_hash_link *next = nullptr;
    for (qxio_t_hash_link *link = hash->links[i]; link != nullptr; link = next) {
      next = link->next;
      rc = fun(&link->key, &link->value, data);
      if (rc < 0) return rc;
    }
  }
  return rc;
}

size_t qxio_hash_nentries(const qxio_t_hash *hash) { return hash->nentries; }

void qxio_hash_free(qxio_t_hash *hash)
{
  if (hash == nullptr) return;
  for (size_t i = 0; i < hash->nlinks; i++) {
    qxio_t_hash_link *link = hash->links[i];
    while (link != nullptr) {
      qxio_t_hash_link *next = link->next;
      free_link(link);
      link = next;
    }
  }
  qxio_free(hash->links);
  qxio_free(hash);
}
