/* Data areas: the empty worker, heap growth without moving, the trail/choicepoint block's
 * growth with its nodes, trimming, unmapping, the environment sizes and the data-segment limit. */
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "gc.h"
#include "memtest_support.h"
#include "objareas.h"
#include "test_engine.h"

namespace {

constexpr size_t KiB = 1024;
constexpr size_t MiB = 1024 * 1024;

size_t heap_committed(const worker *w)
{
  return (size_t)((char *)w->stack_start - (char *)w->heap_start);
}
size_t block_size(const worker *w)
{
  return (size_t)((char *)w->choice_start - (char *)w->trail_start);
}

/* True when [p, p + bytes) is mapped in this process. */
bool mapped(const void *p, size_t bytes)
{
  uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
  void *start = (void *)((uintptr_t)p & ~(page - 1));
  return msync(start, bytes, MS_ASYNC) == 0;
}

TEST(Areas, InitLeavesAnEmptyWorker)
{
  TestEngine e;
  worker *w = e.w;
  EXPECT_EQ(w->global_top, w->heap_start + QX_HEAP_RESERVED_CELLS); /* the reserved slots' terms */
  EXPECT_EQ(w->global_uncond, w->global_top);
  EXPECT_EQ(w->node_, w->choice_start);
  EXPECT_EQ(w->trail_start[0], 0u);
  EXPECT_EQ(w->trail_top, w->trail_start + 1);
  EXPECT_EQ(w->local_top, w->local_start);
  EXPECT_EQ(w->local_uncond, w->local_start);
  EXPECT_GE((char *)w->local_start, (char *)w->heap_end); /* the local stack lies above the heap */
  EXPECT_LT((char *)w->stack_start, (char *)w->heap_end);
  EXPECT_LT((char *)w->local_end, (char *)w->local_max);
  w->stack_start[-1] = 1; /* committed memory is writable */
  ((char *)w->local_end)[-1] = 1;
  EXPECT_EQ(w->heap_warn, w->int_heap_warn);
  EXPECT_EQ(w->heap_warn_soft, w->heap_warn);
  EXPECT_LE(w->heap_warn, w->stack_start);
}

TEST(Areas, CallOverflowCommitsMoreAndNeverMovesTheHeap)
{
  TestEngine e;
  worker *w = e.w;
  qx_eg.current_gcmargin = 64; /* KiB */
  qx_eg.current_gcmode =
      atom_off; /* the growth path: what is made here is garbage to a collection */
  TAGGED *heap = w->heap_start;
  TAGGED *old_fence = w->stack_start;
  for (TAGGED *p = w->global_top; p < w->global_top + 1000; p++)
    *p = MakeSmall((int32_t)(p - heap));
  w->global_top += 1000;
  w->term[0] = MakeRef(w->global_top - 1);
  size_t stacks0 = qx_space_in_use(QX_SPACE_STACKS);
  uint32_t words = (uint32_t)(old_fence - w->global_top) + 100000;
  call_overflow(w, words, 1);
  EXPECT_EQ(w->heap_start, heap);
  EXPECT_EQ(w->term[0], MakeRef(w->global_top - 1));
  EXPECT_GT((size_t)(w->stack_start - w->global_top), (size_t)words);
  for (TAGGED *p = heap + QX_HEAP_RESERVED_CELLS; p < w->global_top; p++)
    ASSERT_EQ(*p, MakeSmall((int32_t)(p - heap)));
  w->stack_start[-1] = 7; /* the new part is usable */
  EXPECT_EQ(w->heap_warn, w->stack_start - 64 * KiB / sizeof(TAGGED));
  EXPECT_EQ(w->heap_warn_soft, w->heap_warn);
  EXPECT_EQ(w->int_heap_warn, w->heap_warn);
  EXPECT_EQ(qx_space_in_use(QX_SPACE_STACKS),
            stacks0 + (size_t)(w->stack_start - old_fence) * sizeof(TAGGED));
  TAGGED *fence = w->stack_start;
  call_overflow(w, 10, 0); /* room enough: nothing changes */
  EXPECT_EQ(w->stack_start, fence);
}

TEST(Areas, CallOverflowKeepsAPendingEventRequest)
{
  TestEngine e;
  worker *w = e.w;
  qx_eg.current_gcmargin = 16;
  w->heap_warn_soft = nullptr; /* an event was requested */
  call_overflow(w, (uint32_t)(w->stack_start - w->global_top) + 10, 0);
  EXPECT_EQ(w->heap_warn_soft, nullptr);
  EXPECT_EQ(w->int_heap_warn, w->stack_start - 16 * KiB / sizeof(TAGGED));
}

/* A GC margin of 4 GiB and 16 KiB is no 16 KiB one (its bytes counted in 32 bits would wrap):
 * no heap can keep it, so the warning limit goes to the heap's start. */
TEST(Areas, AMarginBeyondTheAddressSpaceIsNotWrapped)
{
  TestEngine e;
  worker *w = e.w;
  qx_eg.current_gcmargin = (4u << 20) + 16; /* KiB */
  qx_eg.current_gcmode = atom_off;
  call_overflow(w, (uint32_t)(w->stack_start - w->global_top) + 10, 0);
  EXPECT_EQ(w->int_heap_warn, w->heap_start);
}

TEST(Areas, CallOverflowBeyondTheReservationIsAMemoryFault)
{
  TestEngine e;
  worker *w = e.w;
  TAGGED *fence = w->stack_start;
  qx_fault f =
      catch_fault([&] { call_overflow(w, (uint32_t)(w->heap_end - w->global_top) + 1, 0); });
  EXPECT_EQ(f.kind, QX_FAULT_MEMORY);
  EXPECT_EQ(f.category, QX_SPACE_STACKS);
  EXPECT_EQ(w->stack_start, fence);
  memman_reinit();
}

TEST(Areas, LocalOverflowCommitsMoreOfTheLocalStack)
{
  TestEngine e;
  worker *w = e.w;
  frame *start = w->local_start;
  size_t room = (size_t)((char *)w->local_end - (char *)w->local_top);
  local_overflow(w, (uint32_t)room + 4096);
  EXPECT_EQ(w->local_start, start);
  EXPECT_GE((size_t)((char *)w->local_end - (char *)w->local_top), room + 4096);
  ((char *)w->local_end)[-1] = 1;
  qx_fault f = catch_fault(
      [&] { local_overflow(w, (uint32_t)((char *)w->local_max - (char *)w->local_top) + 1); });
  EXPECT_EQ(f.kind, QX_FAULT_MEMORY);
  memman_reinit();
}

/* ---- the trail/choicepoint block ---- */

/* A fake choicepoint of nregs saved registers, pushed as the interpreter would. */
void push_node(worker *w, alt_code *alt, int nregs, TAGGED fill)
{
  alt->nregs = (uint16_t)nregs;
  alt->node_size = (int16_t)(sizeof(node) + nregs * sizeof(TAGGED));
  node *n = (node *)((char *)w->node_ - alt->node_size);
  std::memset(n, 0, alt->node_size);
  n->next_alt = alt;
  n->trail_top = w->trail_top;
  n->global_top = w->global_top;
  for (int i = 0; i < nregs; i++) n->term[i] = fill + MakeSmall(i);
  w->node_ = n;
}

void push_trail(worker *w, int count, TAGGED *heap_cell)
{
  for (int i = 0; i < count; i++) *w->trail_top++ = MakeRef(heap_cell + i);
}

/* Maps a page just above the block, so that it cannot grow in place; null when the page was
 * taken already (then it cannot grow in place either). */
void *block_guard(worker *w)
{
  size_t page = (size_t)sysconf(_SC_PAGESIZE);
  void *p = mmap(w->choice_start, page, PROT_NONE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  if (p != (void *)w->choice_start) { /* an old kernel took it as a hint */
    munmap(p, page);
    return nullptr;
  }
  return p;
}

TEST(Areas, ChoiceOverflowMovesNodesAndRebasesTheirTrailTops)
{
  TestEngine e;
  worker *w = e.w;
  alt_code alts[3] = {};
  TAGGED *cells = w->global_top;
  w->global_top += 64; /* the trailed cells are older than every node: the entries stay */
  push_trail(w, 5, cells);
  push_node(w, &alts[0], 3, MakeSmall(1000)); /* oldest */
  push_trail(w, 7, cells + 10);
  push_node(w, &alts[1], 0, MakeSmall(2000));
  w->current_query = w->node_;
  w->node_->next_alt = (alt_code *)((uintptr_t)&alts[1] | 1); /* marked for collection */
  push_trail(w, 2, cells + 30);
  push_node(w, &alts[2], 9, MakeSmall(3000)); /* newest */
  push_trail(w, 4, cells + 40);

  std::vector<TAGGED> trail(w->trail_start, w->trail_top);
  std::vector<size_t> saved_index;
  std::vector<std::vector<TAGGED>> regs;
  for (node *n = w->node_; n < w->choice_start; n = (node *)((char *)n + NodeAlt(n)->node_size)) {
    saved_index.push_back((size_t)(n->trail_top - w->trail_start));
    regs.emplace_back(n->term, n->term + NodeAlt(n)->nregs);
  }
  ASSERT_EQ(saved_index.size(), 3u);
  size_t node_bytes = (size_t)((char *)w->choice_start - (char *)w->node_);
  size_t query_off = (size_t)((char *)w->choice_start - (char *)w->current_query);
  size_t old_size = block_size(w);
  TAGGED *old_start = w->trail_start;
  size_t page = (size_t)sysconf(_SC_PAGESIZE);
  void *guard = block_guard(w);

  uint32_t pad = (uint32_t)(((char *)w->node_ - (char *)w->trail_top) / sizeof(TAGGED)) + 4096;
  choice_overflow(w, pad);
  if (guard) munmap(guard, page);

  EXPECT_NE(w->trail_start, old_start); /* it had to move */
  EXPECT_GT(block_size(w), old_size);
  EXPECT_GE((size_t)((char *)w->node_ - (char *)w->trail_top), pad * sizeof(TAGGED));
  EXPECT_EQ(std::vector<TAGGED>(w->trail_start, w->trail_top), trail);
  EXPECT_EQ((size_t)((char *)w->choice_start - (char *)w->node_), node_bytes);
  EXPECT_EQ((size_t)((char *)w->choice_start - (char *)w->current_query), query_off);
  EXPECT_EQ(NodeAlt(w->current_query), &alts[1]);
  size_t i = 0;
  node *n = w->node_;
  for (; n < w->choice_start && i < 3; n = (node *)((char *)n + NodeAlt(n)->node_size), i++) {
    EXPECT_EQ((size_t)(n->trail_top - w->trail_start), saved_index[i]) << i;
    EXPECT_EQ(std::vector<TAGGED>(n->term, n->term + NodeAlt(n)->nregs), regs[i]) << i;
  }
  EXPECT_EQ(n, w->choice_start);
  EXPECT_EQ((uintptr_t)w->current_query->next_alt & 1, 1u); /* the mark travels with the node */
}

TEST(Areas, ChoiceOverflowAfterATrailPushKeepsThePush)
{
  TestEngine e;
  worker *w = e.w;
  alt_code alt = {};
  TAGGED *cell = w->global_top;
  w->global_top += 64; /* older than the node: the entries stay */
  push_node(w, &alt, 2, MakeSmall(5));
  size_t pushed = 0;
  while ((char *)w->node_ - (char *)w->trail_top >= 2048) {
    *w->trail_top++ = MakeRef(cell + pushed % 64);
    pushed++;
  }
  size_t old_size = block_size(w);
  qx_trail_check(w);
  EXPECT_GT(block_size(w), old_size);
  EXPECT_GE((char *)w->node_ - (char *)w->trail_top, 2048);
  ASSERT_EQ((size_t)(w->trail_top - w->trail_start), pushed + 1);
  EXPECT_EQ(w->trail_top[-1], MakeRef(cell + (pushed - 1) % 64));
  EXPECT_EQ(w->node_->trail_top, w->trail_start + 1);
}

TEST(Areas, TrimcoreReturnsMemoryAboveTheTops)
{
  TestEngine e;
  worker *w = e.w;
  qx_eg.current_gcmargin = 64;
  size_t heap0 = heap_committed(w);
  size_t block0 = block_size(w);
  call_overflow(w, (uint32_t)(8 * MiB / sizeof(TAGGED)), 0);
  local_overflow(w, (uint32_t)(2 * MiB));
  choice_overflow(w, (uint32_t)(block0 / sizeof(TAGGED)) + 100);
  size_t grown = qx_space_in_use(QX_SPACE_STACKS);
  trimcore(w, 0);
  EXPECT_EQ(heap_committed(w), heap0);
  EXPECT_GT(block_size(w), block0); /* mode 0 leaves the trail/choicepoint block */
  EXPECT_LT(qx_space_in_use(QX_SPACE_STACKS), grown);
  EXPECT_EQ(w->heap_warn, w->stack_start - 64 * KiB / sizeof(TAGGED));
  trimcore(w, 1);
  EXPECT_EQ(block_size(w), block0);
  EXPECT_EQ(w->node_, w->choice_start);
  EXPECT_EQ(w->trail_start[0], 0u);
  w->stack_start[-1] = 1;
  /* the heap top bounds the trim */
  call_overflow(w, (uint32_t)(8 * MiB / sizeof(TAGGED)), 0);
  w->global_top += 6 * MiB / sizeof(TAGGED);
  trimcore(w, 0);
  EXPECT_GE((size_t)(w->stack_start - w->global_top), 64 * KiB / sizeof(TAGGED));
}

TEST(Areas, DeinitUnmapsBothReservations)
{
  size_t stacks0;
  worker w{};
  {
    EXPECT_EQ(memman_init(), 0);
    stacks0 = qx_space_in_use(QX_SPACE_STACKS);
    ASSERT_EQ(init_stacks(&w), 0);
    EXPECT_GT(qx_space_in_use(QX_SPACE_STACKS), stacks0);
  }
  void *heap = w.heap_start;
  void *local = w.local_start;
  void *top_of_reservation = (char *)w.local_max - 1;
  void *trail = w.trail_start;
  EXPECT_TRUE(mapped(heap, 4096));
  EXPECT_TRUE(mapped(trail, 4096));
  deinit_stacks(&w);
  EXPECT_FALSE(mapped(heap, 4096));
  EXPECT_FALSE(mapped(local, 4096));
  EXPECT_FALSE(mapped(top_of_reservation, 1));
  EXPECT_FALSE(mapped(trail, 4096));
  EXPECT_EQ(qx_space_in_use(QX_SPACE_STACKS), stacks0);
  EXPECT_EQ(w.heap_start, nullptr);
  memman_deinit();
}

/* ---- sizes from the environment ---- */

TEST(AreasEnv, StackSizesTakeEffect)
{
  EnvGuard g("GLOBALSTKSIZE", "8M");
  EnvGuard l("LOCALSTKSIZE", "1m");
  EnvGuard t("TRAILSTKSIZE", "64K");
  EnvGuard c("CHOICESTKSIZE", "192k");
  TestEngine e;
  EXPECT_EQ(heap_committed(e.w), 8 * MiB);
  EXPECT_EQ((size_t)((char *)e.w->local_end - (char *)e.w->local_start), 1 * MiB);
  EXPECT_EQ(block_size(e.w), 256 * KiB);
}

TEST(AreasEnv, GrowthFactorSetsTheGrowthStep)
{
  EnvGuard g("GLOBALSTKSIZE", "4M");
  EnvGuard f("GROWTHFACTOR", "50");
  TestEngine e;
  qx_eg.current_gcmargin = 4;
  call_overflow(e.w, (uint32_t)(e.w->stack_start - e.w->global_top), 0);
  EXPECT_EQ(heap_committed(e.w), 6 * MiB); /* 4M grown by half */
  size_t block = block_size(e.w);
  choice_overflow(e.w, (uint32_t)(block / sizeof(TAGGED)));
  EXPECT_EQ(block_size(e.w), block + block / 2);
}

TEST(AreasEnv, IncrementSizeIsTheLeastHeapStep)
{
  EnvGuard g("GLOBALSTKSIZE", "4M");
  EnvGuard i("PROLOGINCSIZE", "16M");
  TestEngine e;
  qx_eg.current_gcmargin = 4;
  call_overflow(e.w, (uint32_t)(e.w->stack_start - e.w->global_top), 0);
  EXPECT_EQ(heap_committed(e.w), 20 * MiB);
}

TEST(AreasEnv, InitSizeIsTheFirstCommitOfHeapAndLocalStack)
{
  EnvGuard g("GLOBALSTKSIZE", "2M");
  EnvGuard l("LOCALSTKSIZE", "1M");
  EnvGuard i("PROLOGINITSIZE", "16M");
  TestEngine e;
  EXPECT_EQ(heap_committed(e.w), 15 * MiB);
  EXPECT_EQ((size_t)((char *)e.w->local_end - (char *)e.w->local_start), 1 * MiB);
}

TEST(AreasEnv, KeepSizeBoundsTrimcore)
{
  EnvGuard g("GLOBALSTKSIZE", "2M");
  EnvGuard k("PROLOGKEEPSIZE", "12M");
  TestEngine e;
  qx_eg.current_gcmargin = 4;
  call_overflow(e.w, (uint32_t)(30 * MiB / sizeof(TAGGED)), 0);
  EXPECT_GT(heap_committed(e.w), 30 * MiB);
  trimcore(e.w, 0);
  EXPECT_EQ(heap_committed(e.w), 12 * MiB);
}

TEST(AreasEnv, MaxSizeBoundsReservationAndCommits)
{
  EnvGuard m("PROLOGMAXSIZE", "64M");
  TestEngine e;
  worker *w = e.w;
  qx_eg.current_gcmargin = 4;
  EXPECT_LE((size_t)((char *)w->local_max - (char *)w->heap_start), 64 * MiB);
  void *blocks = QX_malloc(20 * MiB); /* blocks and areas share the ceiling */
  ASSERT_NE(blocks, nullptr);
  qx_fault f = catch_fault([&] { call_overflow(w, (uint32_t)(44 * MiB / sizeof(TAGGED)), 0); });
  EXPECT_EQ(f.kind, QX_FAULT_MEMORY);
  EXPECT_EQ(f.category, QX_SPACE_STACKS);
  memman_reinit();
  QX_free(blocks);
  call_overflow(w, (uint32_t)(44 * MiB / sizeof(TAGGED)), 0);
  EXPECT_GT(heap_committed(w), 44 * MiB);
}

/* ---- the data-segment limit ---- */

/* Exit codes of the limit children: 0 the fault came as expected, 77 the reservation is too
 * small to tell the limit from its end. */
int heap_growth_under_limit()
{
  TestEngine e;
  worker *w = e.w;
  qx_eg.current_gcmargin = 64;
  qx_eg.current_gcmode =
      atom_off; /* the growth path: what is made here is garbage to a collection */
  if ((size_t)((char *)w->heap_end - (char *)w->heap_start) < 256 * MiB) return 77;
  ready_the_exception_path();
  limit_data_segment(64 * MiB);
  TAGGED *heap = w->heap_start;
  qx_fault f = catch_fault([&] {
    for (int i = 0; i < 1000; i++) {
      call_overflow(w, (uint32_t)(4 * MiB / sizeof(TAGGED)), 0);
      w->global_top += 4 * MiB / sizeof(TAGGED);
      w->global_top[-1] = 1;
    }
  });
  if (f.kind != QX_FAULT_MEMORY || f.category != QX_SPACE_STACKS) return 2;
  if (w->heap_start != heap || heap_committed(w) > 80 * MiB) return 3;
  w->global_top[-1] = 2; /* what was committed stays usable */
  return 0;
}

int block_growth_under_limit()
{
  TestEngine e;
  worker *w = e.w;
  ready_the_exception_path();
  limit_data_segment(32 * MiB);
  qx_fault f = catch_fault([&] {
    /* near the limit a growth takes what the request needs: a page at a time here */
    for (int i = 0; i < 20000; i++)
      choice_overflow(w, (uint32_t)(block_size(w) / sizeof(TAGGED)) + 1);
  });
  if (f.kind != QX_FAULT_MEMORY || f.category != QX_SPACE_STACKS) return 2;
  if (w->trail_start[0] != 0 || w->node_ != w->choice_start || block_size(w) > 64 * MiB) return 3;
  return 0;
}

TEST(AreasLimit, HeapGrowthPastTheDataLimitIsAMemoryFault)
{
  if (in_fresh_child()) _exit(heap_growth_under_limit());
  int status = run_test_in_fresh_process("AreasLimit.HeapGrowthPastTheDataLimitIsAMemoryFault");
  if (status == 77) GTEST_SKIP() << "heap reservation below 256 MiB";
  EXPECT_EQ(status, 0);
}

TEST(AreasLimit, TrailBlockGrowthPastTheDataLimitIsAMemoryFault)
{
  if (in_fresh_child()) _exit(block_growth_under_limit());
  EXPECT_EQ(run_test_in_fresh_process("AreasLimit.TrailBlockGrowthPastTheDataLimitIsAMemoryFault"),
            0);
}

}  // namespace
