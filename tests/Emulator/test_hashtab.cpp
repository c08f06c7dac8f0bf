#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "atoms.h"
#include "hashtab.h"
#include "memman.h"

class HashTab : public ::testing::Test {
protected:
  HashTab() { EXPECT_EQ(memman_init(), 0); }
  ~HashTab() override { memman_deinit(); }
};

static uint32_t word(const sw_on_key *t, int i) { return ((const uint32_t *)t)[i]; }

TEST_F(HashTab, LayoutIsHeaderWordsThenNodes)
{
  sw_on_key *t = new_switch_on_key(8, MakeSmall(-1));
  EXPECT_EQ(word(t, 0), 7u << 3);
  EXPECT_EQ(word(t, 1), 0u);
  for (int i = 0; i < 8; i++) {
    EXPECT_EQ(word(t, 2 + 2 * i), 0u);            /* key: free */
    EXPECT_EQ(word(t, 3 + 2 * i), MakeSmall(-1)); /* value preset */
  }
  sw_on_key_node *n = dyn_puthash(&t, MakeAtom(77));
  n->value = MakeSmall(5);
  EXPECT_EQ(word(t, 1), 1u);
  int found = 0;
  for (int i = 0; i < 8; i++)
    if (word(t, 2 + 2 * i) == MakeAtom(77)) {
      EXPECT_EQ(word(t, 3 + 2 * i), MakeSmall(5));
      EXPECT_EQ((const void *)n, (const void *)((const uint32_t *)t + 2 + 2 * i));
      found++;
    }
  EXPECT_EQ(found, 1);
  dispose_switch_on_key(t);
}

TEST_F(HashTab, SizeRoundsUpToAPowerOfTwo)
{
  uint32_t sizes[][2] = {{0, 1}, {1, 1}, {2, 2}, {3, 4}, {5, 8}, {32, 32}, {33, 64}};
  for (auto &s : sizes) {
    sw_on_key *t = new_switch_on_key(s[0]);
    EXPECT_EQ(sw_on_key_slots(t), s[1]) << s[0];
    EXPECT_EQ(word(t, 0), (s[1] - 1) << 3);
    dispose_switch_on_key(t);
  }
}

TEST_F(HashTab, AbsentKeyGivesTheEmptyNodeWithTheDefault)
{
  sw_on_key *t = new_switch_on_key(4, atom_fail);
  sw_on_key_node *n = incore_gethash(t, MakeSmall(9));
  EXPECT_EQ(n->key, 0u);
  EXPECT_EQ(n->value, atom_fail);
  dispose_switch_on_key(t);
}

/* Grows past three quarters: never fuller than that, every key kept, defaults kept. */
TEST_F(HashTab, HundredThousandKeysWithGrowth)
{
  const TAGGED otherwise = MakeSmall(-7);
  sw_on_key *t = new_switch_on_key(2, otherwise);
  std::map<TAGGED, TAGGED> oracle;
  std::mt19937 rng(3);
  for (int i = 0; i < 100000; i++) {
    TAGGED key = (i % 3 == 0)   ? MakeSmall((int32_t)(rng() >> 4))
                 : (i % 3 == 1) ? MakeAtom(rng() & 0xFFFFF)
                                : (TAGGED)(rng() & ~7u) | 1;
    if (key == 0) continue;
    sw_on_key_node *n = dyn_puthash(&t, key);
    EXPECT_EQ(n->key, key);
    if (!oracle.count(key)) {
      EXPECT_EQ(n->value, otherwise) << "a new key starts with the default";
    }
    n->value = MakeSmall(i);
    oracle[key] = MakeSmall(i);
    ASSERT_LE(t->count * 4, sw_on_key_slots(t) * 3);
  }
  EXPECT_EQ(t->count, oracle.size());
  EXPECT_EQ(word(t, 1), oracle.size());
  uint32_t slots = sw_on_key_slots(t);
  EXPECT_EQ(slots & (slots - 1), 0u);
  EXPECT_GT(t->count * 4, slots / 2 * 3); /* doubled only when the half size was too small */
  for (auto &kv : oracle) {
    sw_on_key_node *n = incore_gethash(t, kv.first);
    ASSERT_EQ(n->key, kv.first);
    ASSERT_EQ(n->value, kv.second);
  }
  int free_nodes = 0;
  for (uint32_t i = 0; i < slots; i++)
    if (t->node[i].key == 0) {
      free_nodes++;
      ASSERT_EQ(t->node[i].value, otherwise);
    }
  EXPECT_EQ((uint32_t)free_nodes, slots - t->count);
  sw_on_key_node *missing = incore_gethash(t, MakeSmall(-123456789));
  EXPECT_EQ(missing->key, 0u);
  dispose_switch_on_key(t);
}

TEST_F(HashTab, DoublesOnlyWhenMoreThanThreeQuartersWouldBeFull)
{
  sw_on_key *t = new_switch_on_key(8);
  for (int i = 1; i <= 5; i++) dyn_puthash(&t, MakeSmall(i));
  EXPECT_EQ(expansion_due(t), 0);
  dyn_puthash(&t, MakeSmall(6)); /* exactly three quarters */
  EXPECT_EQ(sw_on_key_slots(t), 8u);
  EXPECT_EQ(expansion_due(t), 1);
  dyn_puthash(&t, MakeSmall(6)); /* present: no growth */
  EXPECT_EQ(sw_on_key_slots(t), 8u);
  dyn_puthash(&t, MakeSmall(7));
  EXPECT_EQ(sw_on_key_slots(t), 16u);
  EXPECT_EQ(t->count, 7u);
  expand_sw_on_key(&t);
  EXPECT_EQ(sw_on_key_slots(t), 32u);
  for (int i = 1; i <= 7; i++) EXPECT_EQ(incore_gethash(t, MakeSmall(i))->key, MakeSmall(i));
  dispose_switch_on_key(t);
}

/* A table copied byte for byte over a new one of the same size works as before (saved literals). */
TEST_F(HashTab, ByteCopyOfATableFindsTheSameKeys)
{
  sw_on_key *t = new_switch_on_key(4);
  for (int i = 1; i <= 40; i++) dyn_puthash(&t, MakeAtom((uint32_t)i * 977))->value = MakeSmall(i);
  uint32_t first = word(t, 0);
  uint32_t literal = (first & ~7u) + 18;
  sw_on_key *copy = new_switch_on_key(((literal - 18) >> 3) + 1);
  ASSERT_EQ(sw_on_key_slots(copy), sw_on_key_slots(t));
  std::memcpy(copy, t, literal - 2);
  for (int i = 1; i <= 40; i++)
    EXPECT_EQ(incore_gethash(copy, MakeAtom((uint32_t)i * 977))->value, MakeSmall(i));
  dispose_switch_on_key(t);
  dispose_switch_on_key(copy);
}
