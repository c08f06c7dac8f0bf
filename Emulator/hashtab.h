/* sw_on_key: open-addressing tables of key/value word pairs; one contiguous block of
 * 8 + 8 * slots bytes: word 0 = (slots - 1) << 3 with three flag bits, word 1 = count, then the
 * nodes. Key 0 marks a free node. The table doubles when more than three quarters full. */
#ifndef QX_HASHTAB_H
#define QX_HASHTAB_H

#include <cstdint>

#include "datadefs.h" /* sw_on_key */

sw_on_key *new_switch_on_key(uint32_t size, TAGGED otherwise = 0);
sw_on_key_node *incore_gethash(sw_on_key *table, TAGGED key);
sw_on_key_node *dyn_puthash(sw_on_key **table, TAGGED key);
int expansion_due(sw_on_key *table);
/* Doubles the table; new empty nodes get the value the old empty ones hold (otherwise). */
void expand_sw_on_key(sw_on_key **table);
void dispose_switch_on_key(sw_on_key *table);

#endif
