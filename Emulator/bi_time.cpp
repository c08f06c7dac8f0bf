/* Built-ins of the wall-clock time and of the I/O library's system properties.
 *
 *   $time(-T)   $datime(-Y, -Mo, -D, -H, -Mi, -S)   $datime(+T, -Y, -Mo, -D, -H, -Mi, -S)
 *   $mktime(+Y, +Mo, +D, +H, +Mi, +S, -T)
 *   $get_system_property(+Name, +Source, ?Value)   $get_system_properties(+Source, -List)
 *   $set_system_property(+Name, +Value)
 *
 * Times are seconds since the epoch as 64-bit integers, so that dates past 2038 hold.
 */
#include <cstring>
#include <ctime>

#include "atoms.h"
#include "builtins.h"
#include "memman.h"
#include "numbers.h"
#include "objareas.h"
#include "orvalis.h"
#include "system.h"
#include "unify.h"

static_assert(sizeof(time_t) == 8, "32-bit trees are built with _TIME_BITS=64");

namespace {

/* Unifies the six fields of a broken-down time with term[first..first+5]. */
bool unify_broken_down(worker *w, const struct tm &t, int first)
{
  const int32_t fields[6] = {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                             t.tm_hour,        t.tm_min,     t.tm_sec};
  for (int i = 0; i < 6; i++)
    if (!cunify(w, w->term[first + i], MakeSmall(fields[i]))) return false;
  return true;
}

int prolog_time(worker *w)
{
  call_overflow(w, 8, 1);
  return cunify(w, w->term[0], make_int64(w, (int64_t)time(nullptr)));
}

int prolog_datime6(worker *w)
{
  time_t now = time(nullptr);
  struct tm t;
  return localtime_r(&now, &t) != nullptr && unify_broken_down(w, t, 0);
}

int prolog_datime7(worker *w)
{
  int64_t seconds;
  if (!qx_get_int64(deref(w->term[0]), &seconds)) return 0;
  time_t when = seconds;
  struct tm t;
  return localtime_r(&when, &t) != nullptr && unify_broken_down(w, t, 1);
}

int prolog_mktime(worker *w)
{
  int32_t field[6];
  for (int i = 0; i < 6; i++) {
    TAGGED t = deref(w->term[i]);
    if (!IsSmall(t)) return 0;
    field[i] = GetSmall(t);
  }
  struct tm t;
  std::memset(&t, 0, sizeof t);
  t.tm_year = field[0] - 1900;
  t.tm_mon = field[1] - 1;
  t.tm_mday = field[2];
  t.tm_hour = field[3];
  t.tm_min = field[4];
  t.tm_sec = field[5];
  t.tm_isdst = -1;
  /* -1 is also the second before the epoch: only a call that failed leaves tm_wday as it was */
  t.tm_wday = -1;
  time_t result = mktime(&t);
  if (result == (time_t)-1 && t.tm_wday == -1) return 0;
  call_overflow(w, 8, 7);
  return cunify(w, w->term[6], make_int64(w, (int64_t)result));
}

/* The flags of a property source for a single lookup and for the whole list; -1 for another
 * term. */
int source_flags(TAGGED source, bool whole_list)
{
  const char *name = qx_atom_arg(source);
  if (name == nullptr) return -1;
  if (std::strcmp(name, "merged") == 0) return whole_list ? 3 : 0;
  if (std::strcmp(name, "properties") == 0) return 1;
  if (std::strcmp(name, "environment") == 0) return whole_list ? 7 : 2;
  return -1;
}

int prolog_get_system_property(worker *w)
{
  const char *name = qx_atom_arg(w->term[0]);
  int flags = source_flags(w->term[1], false);
  if (name == nullptr || flags < 0) return 0;
  char *value = nullptr;
  if (QX_get_system_property(name, &value, flags) < 0 || value == nullptr) {
    QX_free(value);
    return 0;
  }
  bool ok = qx_unify_atom_text(w, w->term[2], value);
  QX_free(value);
  return ok;
}

int prolog_get_system_properties(worker *w)
{
  int flags = source_flags(w->term[0], true);
  char **block = nullptr;
  if (flags < 0 || QX_system_properties(&block, flags) < 0 || block == nullptr) return 0;
  size_t n = 0;
  while (block[n]) n++;
  bool ok = true;
  call_overflow(w, (uint32_t)(5 * n + 2), 2);
  TAGGED list = atom_nil;
  for (size_t i = n; ok && i-- > 0;) {
    const char *key = block[i];
    TAGGED k = init_atom_check(key, 0);
    TAGGED v = init_atom_check(key + std::strlen(key) + 1, 0);
    ok = k && v;
    TAGGED *cells = w->global_top;
    cells[0] = MakeFunctor(atom_equal, 2);
    cells[1] = k;
    cells[2] = v;
    cells[3] = MakeStr(cells);
    cells[4] = list;
    w->global_top += 5;
    list = MakeLst(cells + 3);
  }
  QX_free(block);
  return ok && cunify(w, w->term[1], list);
}

int prolog_set_system_property(worker *w)
{
  const char *name = qx_atom_arg(w->term[0]);
  const char *value = qx_atom_arg(w->term[1]);
  return name && value && QX_set_system_property(name, value, 0) >= 0;
}

}  // namespace

const qx_pred_row qx_bi_time_rows[] = {
    {"$time", prolog_time, 1, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$datime", prolog_datime6, 6, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$datime", prolog_datime7, 7, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$mktime", prolog_mktime, 7, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$get_system_property", prolog_get_system_property, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$get_system_properties", prolog_get_system_properties, 2, BUILTIN_DET, QX_MOD_PROLOG,
     nullptr},
    {"$set_system_property", prolog_set_system_property, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
