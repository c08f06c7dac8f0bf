/* The number stack: temporary storage for the current propagation step, a bump allocator over
 * a chain of blocks. Each block is twice the size of the one before; blocks stay chained once
 * made, so a restart or a trim reuses them. */
#include "objareas.h"

#include "memman.h"

struct numstack_block {
  numstack_block *next;
  uint32_t size; /* bytes of data */
  alignas(8) char data[];
};

namespace {

constexpr uint32_t QX_NUMSTACK_FIRST = 16 * 1024;

/* The worker whose chain numstack_deinit releases (one worker per engine). */
worker *numstack_owner;

numstack_block *new_block(uint32_t size)
{
  numstack_block *b =
      (numstack_block *)qx_checkalloc(sizeof(numstack_block) + size, QX_SPACE_NUMSTACK);
  b->next = nullptr;
  b->size = size;
  return b;
}

void use_block(worker *w, numstack_block *b, char *top)
{
  w->numstack_cur = b;
  w->numstack_top = top;
  w->numstack_end = b->data + b->size;
}

}  // namespace

void numstack_init(worker *w)
{
  numstack_block *first = new_block(QX_NUMSTACK_FIRST);
  w->numstack_first = first;
  use_block(w, first, first->data);
  numstack_owner = w;
}

void numstack_deinit()
{
  worker *w = numstack_owner;
  if (!w) return;
  for (numstack_block *b = w->numstack_first; b;) {
    numstack_block *next = b->next;
    qx_checkdealloc(b, sizeof(numstack_block) + b->size, QX_SPACE_NUMSTACK);
    b = next;
  }
  w->numstack_first = w->numstack_cur = nullptr;
  w->numstack_top = w->numstack_end = nullptr;
  numstack_owner = nullptr;
}

/* With the end mark set: on to the next block, made twice the current size when none is
 * chained. With the end mark cleared: back to the start of the first block. */
void numstack_overflow(worker *w)
{
  numstack_block *cur = w->numstack_cur;
  if (!w->numstack_end || !cur) {
    use_block(w, w->numstack_first, w->numstack_first->data);
    return;
  }
  if (!cur->next) {
    if (cur->size > UINT32_MAX / 2 - sizeof(numstack_block))
      qx_memory_fault(nullptr, QX_SPACE_NUMSTACK);
    cur->next = new_block(cur->size * 2);
  }
  use_block(w, cur->next, cur->next->data);
}

/* Back to a saved top: the block holding it becomes current; without one (a mark from before a
 * restart, or null) the stack restarts at its first block. */
void numstack_trim(worker *w, char *mark)
{
  for (numstack_block *b = w->numstack_first; b; b = b->next) {
    if (mark >= b->data && mark <= b->data + b->size) {
      use_block(w, b, mark);
      return;
    }
    if (b == w->numstack_cur) break;
  }
  use_block(w, w->numstack_first, w->numstack_first->data);
}
