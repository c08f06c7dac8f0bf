// An allocator hook that runs out of memory once a budget of allocations is spent, and counts
// what goes through it, for the tests that make a start fail at every possible allocation.
#ifndef QXIO_BUDGET_ALLOC_H
#define QXIO_BUDGET_ALLOC_H

#include <stdlib.h>

#include <atomic>

#include "qxio.h"

namespace qxio_test {

// Worker threads of the library allocate too: the counts are atomic.
struct Budget {
  std::atomic<long> allocations{0}, frees{0};
  std::atomic<long> remaining{-1}; /* -1: no limit */
  std::atomic<long> attempts{0};   /* allocations asked for */
  std::atomic<long> fail_at{-1};   /* the attempt of this number fails, and only that one */
  bool resizes_count = false;      /* a resize spends the budget too, and fails once it is spent */
};

// Takes one allocation from the budget; false once it is spent.
inline bool spend(Budget *budget)
{
  if (budget->remaining == 0) return false;
  if (budget->remaining > 0) budget->remaining--;
  return true;
}

inline void *budget_hook(void *cookie, void *pointer, size_t size)
{
  Budget *budget = static_cast<Budget *>(cookie);
  if (pointer == nullptr) {
    if (budget->attempts++ == budget->fail_at) return nullptr;
    if (!spend(budget)) return nullptr;
    budget->allocations++;
    return malloc(size);
  }
  if (size == 0) {
    budget->frees++;
    free(pointer);
    return nullptr;
  }
  if (budget->resizes_count && !spend(budget)) return nullptr;
  return realloc(pointer, size);
}

// Routes the library's memory through a budget for the scope's life, then back to the
// default allocator.
class BudgetScope {
public:
  explicit BudgetScope(Budget *budget) { qxio_init_allocator(budget_hook, budget, 0); }
  ~BudgetScope() { qxio_init_allocator(nullptr, nullptr, 0); }
  BudgetScope(const BudgetScope &) = delete;
  BudgetScope &operator=(const BudgetScope &) = delete;
};

}  // namespace qxio_test

#endif
