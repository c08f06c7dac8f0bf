/* A test engine with simulated choicepoints: real node records pushed below choice_start with the
 * saved trail top, heap top, local top and wake state, so that conditional trailing, undoing and
 * cuts can be exercised without the interpreter. */
#ifndef QX_CHOICEPOINT_FIXTURE_H
#define QX_CHOICEPOINT_FIXTURE_H

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "atoms.h"
#include "objareas.h"
#include "test_engine.h"
#include "unify.h"

class ChoicepointTest : public ::testing::Test {
protected:
  ChoicepointTest()
  {
    test_alt_.node_size = (int16_t)sizeof(node);
    bottom_uncond_ = w->global_uncond;
    bottom_local_uncond_ = w->local_uncond;
  }
  ~ChoicepointTest() override { qx_unify_deinit(w); }

  /* Nodes are found by depth from choice_start: the area moves when it grows. */
  node *node_at(int depth)
  {
    return (node *)((char *)w->choice_start - (depth + 1) * sizeof(node));
  }
  int depth() const { return depth_; }

  void push_choicepoint()
  {
    choice_overflow(w, QX_TRAIL_MARGIN_CELLS + (uint32_t)(sizeof(node) / sizeof(TAGGED)));
    node *n = node_at(depth_++);
    std::memset((void *)n, 0, sizeof(node));
    n->next_alt = &test_alt_;
    n->trail_top = w->trail_top;
    n->global_top = w->global_top;
    n->local_top = w->local_top;
    n->wake_len = w->wake_len;
    n->wake_count = w->wake_count;
    w->node_ = n;
    w->global_uncond = w->global_top;
    w->local_uncond = w->local_top;
  }
  /* Undo to the newest choicepoint and pop it. */
  void backtrack()
  {
    node *n = w->node_;
    qx_untrail_to(w, n->trail_top);
    w->global_top = n->global_top;
    w->local_top = n->local_top;
    w->wake_len = n->wake_len;
    w->wake_count = n->wake_count;
    pop();
  }
  /* Remove the newest choicepoint without undoing anything. */
  void cut() { pop(); }

  std::vector<TAGGED> heap_image() const
  {
    return std::vector<TAGGED>(w->heap_start, w->global_top);
  }
  std::vector<TAGGED> trail_image() const
  {
    return std::vector<TAGGED>(w->trail_start, w->trail_top);
  }
  uint32_t trail_words() const { return (uint32_t)(w->trail_top - w->trail_start); }

  /* A fresh local-stack variable cell (above the heap). */
  TAGGED local_var()
  {
    TAGGED *cell = (TAGGED *)w->local_top;
    w->local_top = (frame *)(cell + 2);
    *cell = MakeRef(cell);
    return *cell;
  }
  /* '$mutable'(Value, 0) on the heap. */
  TAGGED mutable_term(TAGGED value)
  {
    TAGGED *p = w->global_top;
    p[0] = functor_mutable2;
    p[1] = value;
    p[2] = MakeSmall(0);
    w->global_top += 3;
    return MakeStr(p);
  }
  /* A boxed one-limb integer laid by hand (the value must lie outside the small range). */
  TAGGED box_int(int32_t v)
  {
    TAGGED *p = w->global_top;
    p[0] = QX_BIGNUM1_HEADER;
    p[1] = (TAGGED)v;
    p[2] = QX_BIGNUM1_HEADER;
    w->global_top += 3;
    return MakeStr(p);
  }
  TAGGED box_float(double d)
  {
    TAGGED *p = w->global_top;
    p[0] = QX_FLOAT_HEADER;
    std::memcpy(p + 1, &d, sizeof d);
    p[3] = QX_FLOAT_HEADER;
    w->global_top += 4;
    return MakeStr(p);
  }

  TestEngine engine;
  worker *w = engine.w;

private:
  void pop()
  {
    depth_--;
    w->node_ = depth_ ? node_at(depth_ - 1) : w->choice_start;
    w->global_uncond = depth_ ? w->node_->global_top : bottom_uncond_;
    w->local_uncond = depth_ ? w->node_->local_top : bottom_local_uncond_;
  }

  alt_code test_alt_{};
  int depth_ = 0;
  TAGGED *bottom_uncond_;
  frame *bottom_local_uncond_;
};

#endif
