/* The architecture mask of saved states: word size, byte order, features, instruction-word
 * form, save kind and the argument registers' offset, packed in one word. */
#ifndef QX_ARCHMASK_H
#define QX_ARCHMASK_H

#include <cstddef>
#include <cstdint>

/* ---- the architecture mask ---- */
struct archmask_fields {
  uint32_t wordsize;  /* 3: 64-bit, else 32-bit */
  uint32_t bigendian; /* byte order of the writer */
  uint32_t bdd;
  uint32_t gauge;
  uint32_t threaded; /* 0: opcode << 1, else opcode << 3 */
  uint32_t total;    /* save kind */
  uint32_t xoffset;  /* argument registers' word offset in the worker */
};
enum : uint32_t {
  QX_SAVE_SELECTED = 0,
  QX_SAVE_ALL_BUT_PROLOG = 2,
  QX_SAVE_ALL = 3,
};
void put_archmask(uint32_t mask, archmask_fields *fields);
uint32_t get_archmask(uint32_t kind);
/* The user text of a mask; an empty string when it does not fit. */
void decode_mask(uint32_t mask, char *buffer, size_t size);

#endif
