/* Whether two terms are the same up to a one-to-one renaming of their variables, floats compared
 * bit for bit (0.0 is not -0.0). An explicit stack, so that deep terms cost no C++ frames. */
#ifndef QX_TERM_VARIANT_H
#define QX_TERM_VARIANT_H

#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "datadefs.h"
#include "termops.h"

inline bool variant_terms(worker *w, TAGGED a, TAGGED b)
{
  std::map<TAGGED, TAGGED> there, back;
  std::vector<std::pair<TAGGED, TAGGED>> todo{{a, b}};
  while (!todo.empty()) {
    auto [x, y] = todo.back();
    todo.pop_back();
    x = deref(x), y = deref(y);
    if (IsRef(x) || IsRef(y)) {
      if (!IsRef(x) || !IsRef(y)) return false;
      auto [i, fresh_x] = there.insert({x, y});
      auto [j, fresh_y] = back.insert({y, x});
      if (i->second != y || j->second != x || fresh_x != fresh_y) return false;
    } else if (IsFloat(x) || IsFloat(y)) {
      double u = IsFloat(x) ? FloatValue(x) : 0, v = IsFloat(y) ? FloatValue(y) : 1;
      if (!IsFloat(x) || !IsFloat(y) || std::memcmp(&u, &v, sizeof u) != 0) return false;
    } else if (IsLst(x) && IsLst(y)) {
      todo.push_back({LstHead(x), LstHead(y)});
      todo.push_back({LstTail(x), LstTail(y)});
    } else if (IsStr(x) && IsStr(y) && !IsBox(x) && !IsBox(y)) {
      if (StrFunctor(x) != StrFunctor(y)) return false;
      for (uint32_t k = 1; k <= Arity(StrFunctor(x)); k++)
        todo.push_back({StrArg(x, (int)k), StrArg(y, (int)k)});
    } else if (compare_terms(w, x, y) != 0) {
      return false;
    }
  }
  return true;
}

#endif
