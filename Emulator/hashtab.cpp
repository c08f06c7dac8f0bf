/* sw_on_key: open addressing with linear probing over key/value word pairs.
 *
 * The table never gets more than three quarters full, so a probe always meets an empty node. An
 * absent key's node holds the table's `otherwise` value, so a lookup of a missing key reads it;
 * growth takes that value from any empty node of the old table. Positions depend only on the
 * key and the slot count: a table copied byte for byte (saved indexicals) works as it was.
 */
#include "hashtab.h"

#include "memman.h"

static size_t table_bytes(uint32_t slots) { return 8 + 8 * (size_t)slots; }

/* A deterministic mix of the key's bits; the low bits of tagged words are mostly tag. */
static uint32_t key_hash(TAGGED key)
{
  uint32_t h = key;
  h ^= h >> 16;
  h *= 0x7feb352dU;
  h ^= h >> 15;
  h *= 0x846ca68bU;
  h ^= h >> 16;
  return h;
}

static sw_on_key *alloc_table(uint32_t slots, TAGGED otherwise)
{
  sw_on_key *t = (sw_on_key *)qx_checkalloc(table_bytes(slots), QX_SPACE_MISC);
  t->mask_and_flags = (slots - 1) << 3;
  t->count = 0;
  for (uint32_t i = 0; i < slots; i++) {
    t->node[i].key = 0;
    t->node[i].value = otherwise;
  }
  return t;
}

sw_on_key *new_switch_on_key(uint32_t size, TAGGED otherwise)
{
  uint32_t slots = 1;
  while (slots < size) slots <<= 1;
  return alloc_table(slots, otherwise);
}

sw_on_key_node *incore_gethash(sw_on_key *table, TAGGED key)
{
  uint32_t mask = table->mask_and_flags >> 3;
  uint32_t i = key_hash(key) & mask;
  for (uint32_t probes = 0; probes <= mask; probes++) {
    sw_on_key_node *n = &table->node[i];
    if (n->key == key || n->key == 0) return n;
    i = (i + 1) & mask;
  }
  return nullptr; /* only a table filled behind dyn_puthash's back has no empty node */
}

/* Due when one more key would make the table more than three quarters full. */
int expansion_due(sw_on_key *table) { return (table->count + 1) * 4 > sw_on_key_slots(table) * 3; }

void expand_sw_on_key(sw_on_key **table)
{
  sw_on_key *old = *table;
  uint32_t slots = sw_on_key_slots(old);
  TAGGED otherwise = 0;
  for (uint32_t i = 0; i < slots; i++)
    if (old->node[i].key == 0) {
      otherwise = old->node[i].value;
      break;
    }
  sw_on_key *t = alloc_table(slots * 2, otherwise);
  t->mask_and_flags |= old->mask_and_flags & 7;
  for (uint32_t i = 0; i < slots; i++)
    if (old->node[i].key != 0) *incore_gethash(t, old->node[i].key) = old->node[i];
  t->count = old->count;
  dispose_switch_on_key(old);
  *table = t;
}

sw_on_key_node *dyn_puthash(sw_on_key **table, TAGGED key)
{
  sw_on_key_node *n = incore_gethash(*table, key);
  if (n->key == key) return n;
  if (expansion_due(*table)) {
    expand_sw_on_key(table);
    n = incore_gethash(*table, key);
  }
  n->key = key;
  (*table)->count++;
  return n;
}

void dispose_switch_on_key(sw_on_key *table)
{
  if (table) qx_checkdealloc(table, table_bytes(sw_on_key_slots(table)), QX_SPACE_MISC);
}
