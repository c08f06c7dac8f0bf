/* External objects: native data named in Prolog through a registered link. A term reaches a
 * link only through an atom whose name encodes the link's address ("$ptr " and the address in
 * base 16, least significant digit first, with the letters A to P for the digits 0 to 15), so
 * that once atom collection has removed that atom no term can reach the object any more.
 *
 * Links sit on one list, newest first; a lookup accepts an address only while its link is on
 * the list, so a stale atom never reaches freed memory. A finalised link whose atom still exists
 * keeps its memory until the atom is gone: a term may hold that atom, and a new link at the same
 * address would have the same name, so the stale term would reach the new object. Engine thread
 * only. */
#include <cstring>

#include "api_internal.h"
#include "atoms.h"

namespace {

const char LINK_PREFIX[] = "$ptr ";
constexpr size_t LINK_PREFIX_LEN = sizeof LINK_PREFIX - 1;
/* One letter per hexadecimal digit of an address. */
constexpr size_t LINK_DIGITS = 2 * sizeof(void *);
/* "$ptr ", the digits and the NUL: 14 bytes on this 32-bit target. */
constexpr size_t LINK_NAME_BYTES = LINK_PREFIX_LEN + LINK_DIGITS + 1;

QX_external_object_type all_types;
QX_external_object_link all_links;
/* Finalised links whose atom still existed, linked through next. */
QX_external_object_link retired_links;

void default_finalizer(void *, void *) {}

int default_putter(QX_term_ref t, QX_external_object_link link)
{
  return QX_external_object_default_putter_helper(t, link, init_atom_check("$external_object", 0));
}

/* The link atom's name of an address; no digits for a null address. */
void link_name(const void *address, char (&name)[LINK_NAME_BYTES])
{
  std::memcpy(name, LINK_PREFIX, LINK_PREFIX_LEN);
  size_t at = LINK_PREFIX_LEN;
  for (uintptr_t bits = (uintptr_t)address; bits != 0; bits >>= 4)
    name[at++] = (char)('A' + (bits & 0xF));
  name[at] = '\0';
}

/* The address a link atom's name encodes: false unless the name is "$ptr " and one to
 * LINK_DIGITS letters A to P. */
bool decode_link_name(const char *name, uintptr_t *address)
{
  if (std::strncmp(name, LINK_PREFIX, LINK_PREFIX_LEN) != 0) return false;
  const char *digits = name + LINK_PREFIX_LEN;
  size_t count = std::strlen(digits);
  if (count == 0 || count > LINK_DIGITS) return false;
  uintptr_t value = 0;
  for (size_t i = count; i-- > 0;) {
    if (digits[i] < 'A' || digits[i] > 'P') return false;
    value = (value << 4) | (uintptr_t)(digits[i] - 'A');
  }
  *address = value;
  return true;
}

/* The list slot that holds link, or null when the link is not on the list. */
QX_external_object_link *slot_of(QX_external_object_link link)
{
  for (QX_external_object_link *at = &all_links; *at != nullptr; at = &(*at)->next)
    if (*at == link) return at;
  return nullptr;
}

/* Whether the atom that names link exists (the lookup creates nothing). */
bool link_atom_exists(QX_external_object_link link)
{
  char name[LINK_NAME_BYTES];
  link_name(link, name);
  return init_atom_check(name, 1) != 0;
}

/* Calls the type's finaliser, then clears the link (which is off the list) and frees it, or
 * retires it while its atom exists. */
void finalize_link(QX_external_object_link link)
{
  QX_external_object_type type = link->object_type;
  void *data = link->data;
  link->data = nullptr;
  link->object_type = nullptr;
  link->next = nullptr;
  type->finalizer(data, type->type_data);
  if (link_atom_exists(link)) {
    link->next = retired_links;
    retired_links = link;
  } else {
    QX_free(link);
  }
}

/* Frees the retired links whose atom has been collected since. */
void free_forgotten_links()
{
  for (QX_external_object_link *at = &retired_links; *at != nullptr;) {
    QX_external_object_link link = *at;
    if (link_atom_exists(link)) {
      at = &link->next;
    } else {
      *at = link->next;
      QX_free(link);
    }
  }
}

bool type_matches(QX_external_object_link link, QX_external_object_type type)
{
  return type == nullptr || link->object_type == type;
}

/* Walk step of the collection: links whose atom is gone leave the list onto a chain of their
 * own, finalised after the walk so that a finaliser may touch the list freely. */
void *take_if_unreachable(QX_external_object_link link, void *chain)
{
  if (link_atom_exists(link)) return nullptr;
  QX_external_object_link *head = (QX_external_object_link *)chain;
  link->next = *head;
  *head = link;
  return link;
}

}  // namespace

QX_external_object_type QX_register_external_object_type(QX_external_object_finalizer finalizer,
                                                         QX_external_object_putter putter,
                                                         void *type_data)
{
  QX_external_object_type type =
      (QX_external_object_type)QX_malloc(sizeof(QX_external_object_info_));
  if (type == nullptr) return nullptr;
  type->finalizer = finalizer != nullptr ? finalizer : default_finalizer;
  type->putter = putter != nullptr ? putter : default_putter;
  type->type_data = type_data;
  type->next = all_types;
  all_types = type;
  return type;
}

QX_external_object_link QX_register_external_object(void *data, QX_external_object_type type)
{
  if (type == nullptr) return nullptr;
  free_forgotten_links();
  QX_external_object_link link =
      (QX_external_object_link)QX_malloc(sizeof(QX_external_object_link_));
  if (link == nullptr) return nullptr;
  link->data = data;
  link->object_type = type;
  link->next = all_links;
  all_links = link;
  return link;
}

int QX_put_external_object(QX_term_ref t, QX_external_object_link link)
{
  if (link == nullptr) return 0;
  return link->object_type->putter(t, link) ? 1 : 0;
}

int QX_put_external_object_link(QX_term_ref t, QX_external_object_link link)
{
  if (link == nullptr) return 0;
  char name[LINK_NAME_BYTES];
  link_name(link, name);
  TAGGED atom = init_atom_check(name, 0);
  return atom != 0 && QX_put_atom(t, atom);
}

int QX_put_weak_external_object_link(QX_term_ref t, QX_external_object_link link)
{
  return QX_put_external_object_link(t, link);
}

int QX_external_object_default_putter_helper(QX_term_ref t, QX_external_object_link link,
                                             QX_atom name)
{
  QX_term_ref atom = QX_new_term_ref();
  if (atom == 0) return 0;
  int ok = QX_put_external_object_link(atom, link) && QX_cons_functor(t, name, 1, atom);
  QX_reset_term_refs(atom);
  return ok;
}

int QX_get_external_object(QX_term_ref t, QX_external_object_link *link)
{
  TAGGED x = qx_ref_get(qx_w, t);
  if (!IsCompound(x) || IsLst(x)) return 0;
  TAGGED arg = deref(StrArg(x, 1));
  uintptr_t address;
  if (!IsAtom(arg) || !decode_link_name(atom_name(arg), &address)) return 0;
  QX_external_object_link found = (QX_external_object_link)address;
  if (slot_of(found) == nullptr) return 0;
  *link = found;
  return 1;
}

void *QX_get_external_object_data(QX_external_object_link link) { return link->data; }

QX_external_object_type QX_get_external_object_type(QX_external_object_link link)
{
  return link->object_type;
}

int QX_unlink_external_object(QX_external_object_link link, int finalize)
{
  QX_external_object_link *at = link != nullptr ? slot_of(link) : nullptr;
  if (at == nullptr) return 0;
  *at = link->next;
  link->next = nullptr;
  if (finalize) finalize_link(link);
  return 1;
}

int QX_finalize_external_object(QX_term_ref t, int *found)
{
  QX_external_object_link link;
  int ok = QX_get_external_object(t, &link) && QX_unlink_external_object(link, 1);
  if (found != nullptr) *found = ok;
  return ok;
}

void *QX_map_external_objects(QX_external_object_type type, QX_external_object_map_fn function,
                              void *argument, int mode)
{
  for (QX_external_object_link *at = &all_links; *at != nullptr;) {
    QX_external_object_link link = *at;
    if (!type_matches(link, type)) {
      at = &link->next;
      continue;
    }
    *at = link->next;
    link->next = nullptr;
    void *result = function(link, argument);
    if (result == nullptr) {
      /* back where it was */
      link->next = *at;
      *at = link;
      at = &link->next;
    } else if (mode == 0) {
      link->next = all_links;
      all_links = link;
      return result;
    } else if (mode == 1) {
      return result;
    }
  }
  return nullptr;
}

/* Atom collection is what makes a link atom disappear; until the collector runs, an atom once
 * made stays, and only links whose atom was never made are finalised here. */
void qx_free_retired_external_objects(void)
{
  while (QX_external_object_link link = retired_links) {
    retired_links = link->next;
    QX_free(link);
  }
}

int QX_garbage_collect_external_objects(QX_external_object_type type)
{
  free_forgotten_links();
  QX_external_object_link chain = nullptr;
  QX_map_external_objects(type, take_if_unreachable, &chain, 2);
  int count = 0;
  while (chain != nullptr) {
    QX_external_object_link link = chain;
    chain = link->next;
    finalize_link(link);
    count++;
  }
  return count;
}
