/* Number stack: doubling blocks, restart after clearing the end mark, trimming across blocks. */
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "objareas.h"
#include "test_engine.h"

namespace {

struct Block {
  char *start;
  size_t size;
};

/* Bump-allocates `bytes` as callers do: overflow until the record fits. */
char *push(worker *w, size_t bytes)
{
  while (w->numstack_top + bytes > w->numstack_end) numstack_overflow(w);
  char *p = w->numstack_top;
  w->numstack_top += bytes;
  return p;
}

/* Fills the current block to its end with bytes derived from their position, then moves on;
 * answers the block it filled. */
Block fill_and_advance(worker *w)
{
  Block b{w->numstack_top, (size_t)(w->numstack_end - w->numstack_top)};
  for (size_t i = 0; i < b.size; i++) b.start[i] = (char)((uintptr_t)(b.start + i) * 31 >> 3);
  w->numstack_top = w->numstack_end;
  numstack_overflow(w);
  return b;
}

bool intact(const Block &b)
{
  for (size_t i = 0; i < b.size; i++)
    if (b.start[i] != (char)((uintptr_t)(b.start + i) * 31 >> 3)) return false;
  return true;
}

TEST(Numstack, OverflowDoublesAndKeepsEarlierBlocks)
{
  TestEngine e;
  worker *w = e.w;
  std::vector<Block> blocks;
  for (int i = 0; i < 5; i++) blocks.push_back(fill_and_advance(w));
  for (size_t i = 1; i < blocks.size(); i++) {
    EXPECT_EQ(blocks[i].size, 2 * blocks[i - 1].size) << i;
    EXPECT_EQ(((uintptr_t)blocks[i].start) & 7, 0u);
  }
  EXPECT_EQ((size_t)(w->numstack_end - w->numstack_top), 2 * blocks.back().size);
  for (const Block &b : blocks) EXPECT_TRUE(intact(b));
}

TEST(Numstack, ClearedEndMarkRestartsAtTheFirstBlockAndReusesTheChain)
{
  TestEngine e;
  worker *w = e.w;
  char *first = w->numstack_top;
  Block b1 = fill_and_advance(w);
  Block b2 = fill_and_advance(w);
  fill_and_advance(w);
  size_t bytes = qx_space_in_use(QX_SPACE_NUMSTACK);
  w->numstack_end = nullptr; /* discard all temporary storage */
  numstack_overflow(w);
  EXPECT_EQ(w->numstack_top, first);
  EXPECT_EQ(w->numstack_end, b1.start + b1.size);
  w->numstack_top = w->numstack_end;
  numstack_overflow(w);
  EXPECT_EQ(w->numstack_top, b2.start); /* the chained block again, not a new one */
  EXPECT_EQ(qx_space_in_use(QX_SPACE_NUMSTACK), bytes);
}

TEST(Numstack, TrimAcrossBlocksReturnsToTheMark)
{
  TestEngine e;
  worker *w = e.w;
  char *a = push(w, 1000);
  std::memset(a, 'a', 1000);
  char *mark = w->numstack_top;
  Block rest{mark, (size_t)(w->numstack_end - mark)};
  char *first_end = w->numstack_end;
  push(w, rest.size);        /* fills block 1 */
  char *b = push(w, 5000);   /* block 2 */
  char *c = push(w, 100000); /* a later, larger block */
  ASSERT_NE(b, c);
  size_t bytes = qx_space_in_use(QX_SPACE_NUMSTACK);
  numstack_trim(w, mark);
  EXPECT_EQ(w->numstack_top, mark);
  EXPECT_EQ(w->numstack_end, first_end);
  for (int i = 0; i < 1000; i++) ASSERT_EQ(a[i], 'a');
  push(w, rest.size);
  EXPECT_EQ(push(w, 5000), b); /* the released blocks are reused */
  EXPECT_EQ(qx_space_in_use(QX_SPACE_NUMSTACK), bytes);
  char *mark2 = w->numstack_top;
  push(w, 64);
  numstack_trim(w, mark2); /* a mark in the current block */
  EXPECT_EQ(w->numstack_top, mark2);
}

TEST(Numstack, TrimToAMarkOutsideTheChainRestarts)
{
  TestEngine e;
  worker *w = e.w;
  char *first = w->numstack_top;
  push(w, 200000);
  numstack_trim(w, nullptr);
  EXPECT_EQ(w->numstack_top, first);
}

TEST(Numstack, LargeRecordFindsABlockThatHoldsIt)
{
  TestEngine e;
  worker *w = e.w;
  char *p = push(w, 1 << 20);
  EXPECT_LE(p + (1 << 20), w->numstack_end);
  std::memset(p, 0x33, 1 << 20);
}

TEST(Numstack, DeinitReleasesEveryBlock)
{
  TestEngine e;
  push(e.w, 1 << 20);
  EXPECT_GT(qx_space_in_use(QX_SPACE_NUMSTACK), (size_t)(1 << 20));
  numstack_deinit();
  EXPECT_EQ(qx_space_in_use(QX_SPACE_NUMSTACK), 0u);
  EXPECT_EQ(e.w->numstack_top, nullptr);
  numstack_init(e.w); /* the engine's teardown releases it again */
}

}  // namespace
