/* Resource profiles: piecewise-constant heights over time as sorted lists of segments, for the
 * scheduling and placement constraints; and the solver's random generator, which picks free points.
 *
 * Segments are recycled through the solver's free pool, else taken from the number stack, so a
 * profile lives only as long as the propagator run that reset the pool with fd_init_profile.
 */
#include <climits>
#include <cmath>

#include "fd.h"

/* Wichmann-Hill generator: one state for the process, reseeded at the start of every profile run so
 * that each run draws the same numbers. */
static int32_t wh_s1 = 27134, wh_s2 = 9213, wh_s3 = 17773;

double crandom()
{
  wh_s1 = 171 * wh_s1 % 30269;
  wh_s2 = 172 * wh_s2 % 30307;
  wh_s3 = 170 * wh_s3 % 30323;
  return std::fmod(wh_s1 / 30269.0 + wh_s2 / 30307.0 + wh_s3 / 30323.0, 1.0);
}

void fd_init_profile(ORVALIS_API_STRUCT *api)
{
  fd_state(api)->profile_pool = nullptr;
  wh_s1 = 27134;
  wh_s2 = 9213;
  wh_s3 = 17773;
}

profile *fd_profile_cons(ORVALIS_API_STRUCT *api, worker *w, long begin, long end, long erg,
                         profile *next)
{
  struct fd_state *fd = fd_state(api);
  profile *p = fd->profile_pool;
  if (p)
    fd->profile_pool = p->next;
  else
    p = (profile *)fd_temp_alloc(api, w, sizeof(profile));
  p->begin = begin;
  p->end = end;
  p->erg = erg;
  p->next = next;
  return p;
}

void fd_profile_dispose(ORVALIS_API_STRUCT *api, profile *p)
{
  if (!p) return;
  profile *last = p;
  while (last->next) last = last->next;
  last->next = fd_state(api)->profile_pool;
  fd_state(api)->profile_pool = p;
}

profile *fd_profile_copy(ORVALIS_API_STRUCT *api, worker *w, profile *p)
{
  profile *head = nullptr, **tail = &head;
  for (; p; p = p->next) {
    *tail = fd_profile_cons(api, w, p->begin, p->end, p->erg, nullptr);
    tail = &(*tail)->next;
  }
  return head;
}

namespace {
/* Builds a profile behind a dummy head whose end no segment can begin at: appending extends the
 * last segment when the new one continues it at the same height, and drops zero heights. */
struct profile_builder {
  ORVALIS_API_STRUCT *api;
  worker *w;
  profile head;
  profile *last;

  profile_builder(ORVALIS_API_STRUCT *a, worker *wk)
      : api(a), w(wk), head{0, LONG_MAX, 0, nullptr}, last(&head)
  {}
  profile_builder(const profile_builder &) = delete;
  void add(long begin, long end, long erg)
  {
    if (erg == 0 || begin >= end) return;
    if (last->end == begin && last->erg == erg) {
      last->end = end;
      return;
    }
    last->next = fd_profile_cons(api, w, begin, end, erg, nullptr);
    last = last->next;
  }
};
}  // namespace

/* Adds h over b..e-1 in one pass. c is where the update has got to; every old segment goes back to
 * the pool as soon as its fields are read, so the result may reuse it. */
profile *fd_profile_update(ORVALIS_API_STRUCT *api, worker *w, profile *p, long b, long e, long h)
{
  struct fd_state *fd = fd_state(api);
  profile_builder out(api, w);
  long c = b;
  bool done = b >= e;
  while (p) {
    long sb = p->begin, se = p->end, sh = p->erg;
    profile *next = p->next;
    p->next = fd->profile_pool;
    fd->profile_pool = p;
    p = next;
    if (done || se <= c) {
      out.add(sb, se, sh);
      continue;
    }
    if (sb > c) { /* a gap before the segment */
      out.add(c, sb < e ? sb : e, h);
      if (sb >= e) {
        done = true;
        out.add(sb, se, sh);
        continue;
      }
      c = sb;
    }
    out.add(sb, c, sh); /* the part before c, if any */
    out.add(c, se < e ? se : e, sh + h);
    if (se > e) {
      out.add(e, se, sh);
      done = true;
    } else {
      c = se;
    }
  }
  if (!done && c < e) out.add(c, e, h);
  return out.head.next;
}

long fd_profile_get(profile *p, long t)
{
  for (; p && p->begin <= t; p = p->next)
    if (t < p->end) return p->erg;
  return 0;
}

long fd_profile_max(profile *p, long lo, long hi)
{
  long max = 0;
  for (; p && p->begin < hi; p = p->next)
    if (p->end > lo && p->erg > max) max = p->erg;
  return max;
}

int fd_profile_at_most(profile *p, long limit)
{
  for (; p; p = p->next)
    if (p->erg > limit) return 0;
  return 1;
}

int fd_profile_next(profile *p, long *begin, long *end, long *erg, profile **rest)
{
  if (!p) return 0;
  *begin = p->begin;
  *end = p->end;
  *erg = p->erg;
  *rest = p->next;
  return 1;
}

/* Chooses a zero-height gap within lo..hi-1 by reservoir sampling over the gaps between busy
 * blocks (runs of touching segments), then a point in it; both uniformly. */
int fd_profile_zero_at(profile *p, long lo, long hi, long *point)
{
  if (lo >= hi) return 0;
  /* an empty profile leaves the whole range as the one gap */
  long g0 = lo, g1 = hi;
  bool empty = p == nullptr, chosen = empty;
  long c = lo;
  int gaps = 0;
  auto offer = [&](long from, long to) {
    gaps++;
    if (1.0 / gaps > crandom()) {
      g0 = from;
      g1 = to;
      chosen = true;
    }
  };
  while (p && c < hi) {
    long b = p->begin, e = p->end;
    for (p = p->next; p && p->begin == e; p = p->next) e = p->end;
    if (b > c) offer(c, b < hi ? b : hi);
    if (e > c) c = e;
  }
  if (!empty && c < hi) offer(c, hi);
  if (!chosen) return 0;
  *point = g1 - g0 == 1 ? g0 : g0 + (long)((double)(g1 - g0) * crandom());
  return 1;
}
