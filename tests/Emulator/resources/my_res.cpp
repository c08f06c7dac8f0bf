/* A foreign resource built as a shared object from the public header alone: every call into
 * the engine goes through the dispatch table of the API struct the engine hands over. It is
 * loaded under the name my-res, whose entry function is qx_main_QXENV_my_0x2Dres. */
#define QX_RESOURCE_API res_api
#include "orvalis.h"
#include "resource_entry.h"
#include "support.h"

namespace {

ORVALIS_API_STRUCT *res_api;

int init_calls, deinit_calls;

void res_init(ORVALIS_API_STRUCT *api, int reason)
{
  res_api = api;
  init_calls++;
  if (reason == 99) QX_fail();
}
void res_deinit(ORVALIS_API_STRUCT *api, int reason) { deinit_calls++; }

/* twice(+integer, [-integer]) */
long twice(ORVALIS_API_STRUCT *, long x) { return 2 * x; }

/* make_point(-term): point(X, abc, [1, 2]) built through the slots, X = the calls so far. */
void make_point(ORVALIS_API_STRUCT *, QX_term_ref out)
{
  QX_term_ref x = QX_new_term_ref(), a = QX_new_term_ref(), l = QX_new_term_ref();
  QX_term_ref tail = QX_new_term_ref();
  QX_put_integer(x, init_calls * 10 + deinit_calls);
  QX_put_atom(a, QX_atom_from_string("abc"));
  QX_put_list_codes(l, tail, "\x01\x02");
  QX_cons_functor(out, QX_atom_from_string("point"), 3, x, a, l);
}

/* same(+term, +term): unifies, or fails. */
void same(ORVALIS_API_STRUCT *, QX_term_ref a, QX_term_ref b)
{
  if (!QX_unify(a, b)) QX_fail();
}

/* raise(+term): throws the term. */
void raise(ORVALIS_API_STRUCT *, QX_term_ref t) { QX_raise_exception(t); }

/* counts(-integer, -integer) */
void counts(ORVALIS_API_STRUCT *, long *inits, long *deinits)
{
  *inits = init_calls;
  *deinits = deinit_calls + (get_current_worker() ? 0 : 100); /* a support slot */
}

void (*const funcs[])() = {(void (*)())twice, (void (*)())make_point, (void (*)())same,
                           (void (*)())raise, (void (*)())counts,     nullptr};
const char *const names[] = {"twice", "make_point", "same", "raise", "counts", nullptr};
const int arities[] = {2, 1, 2, 1, 2, 0};

}  // namespace

extern "C" __attribute__((visibility("default"))) int
qx_main_QXENV_my_0x2Dres(QX_MAINFUN_PARAMS_STRUCT *p)
{
  return fill_resource_entry(p, funcs, names, arities, res_init, res_deinit);
}
