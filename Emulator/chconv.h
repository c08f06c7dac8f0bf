/* The character conversion table of Prolog text input. While the char_conversion flag is on and
 * the table holds pairs, the tokenizer maps every character it reads outside quoted items
 * through conv_char. */
#ifndef QX_CHCONV_H
#define QX_CHCONV_H

#include <cstdint>

/* At engine start: empties the table and sets the flag to on. */
void init_char_conversion();
/* The image of code: the to-code of its pair, else code itself. One step only: the image is
 * not converted again. */
int32_t conv_char(int32_t code);
/* Maps from to to (replacing an existing pair), or removes the pair of from when to equals from.
 * false only when a new pair finds the table full. */
bool qx_add_char_conversion(int32_t from, int32_t to);

constexpr uint32_t QX_CHARCONV_MAX = 1024;

#endif
