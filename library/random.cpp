/* The random resource: a Wichmann-Hill generator (three small-modulus congruential streams summed
 * into a float in [0, 1)) and a shift-register bit generator, one process-wide state that the
 * Prolog side reads and sets to repeat a sequence. */
#include "datadefs.h"

static ORVALIS_API_STRUCT *qx_random_api;
#define QX_RESOURCE_API qx_random_api
#include "orvalis.h"
#include "qxlibres.h"

namespace {

constexpr int32_t ZKR_MOD_X = 30269, ZKR_MOD_Y = 30307, ZKR_MOD_Z = 30323;
constexpr zkr_state ZKR_INITIAL = {27134, 9213, 17773, 425005073};

zkr_state zkr = ZKR_INITIAL;
double zkr_rx, zkr_ry, zkr_rz; /* the reciprocals of the moduli */

void zkr_step()
{
  zkr.x = 171 * zkr.x % ZKR_MOD_X;
  zkr.y = 172 * zkr.y % ZKR_MOD_Y;
  zkr.z = 170 * zkr.z % ZKR_MOD_Z;
}

/* The sum of the three streams' fractions, in [0, 3). */
double zkr_sum() { return zkr.x * zkr_rx + zkr.y * zkr_ry + zkr.z * zkr_rz; }

void rand_init(int)
{
  zkr = ZKR_INITIAL;
  zkr_rx = 1.0 / ZKR_MOD_X;
  zkr_ry = 1.0 / ZKR_MOD_Y;
  zkr_rz = 1.0 / ZKR_MOD_Z;
}

void rand_deinit(int) {}

void (*const random_funcs[])() = {(void (*)())ZKRget, (void (*)())ZKRput, (void (*)())ZKRnxt,
                                  (void (*)())ZKRmyb, (void (*)())ZKRbit, nullptr};
const char *const random_names[] = {"ZKRget", "ZKRput", "ZKRnxt", "ZKRmyb", "ZKRbit"};
const int random_arities[] = {4, 5, 1, 3, 1};

const qx_foreign_pred random_preds[] = {
    {"ZKRget", "-integer -integer -integer -integer"},
    {"ZKRput", "+integer +integer +integer +integer [-integer]"},
    {"ZKRnxt", "[-float]"},
    {"ZKRmyb", "+integer +integer [-integer]"},
    {"ZKRbit", "[-integer]"},
    {nullptr, nullptr},
};

}  // namespace

const qx_foreign_interface qx_random_interface = {"random", "prolog", random_preds};

int qx_main_QXENV_random(void *params)
{
  return qx_libres_entry(params, &qx_random_api,
                         {random_funcs, random_names, random_arities, rand_init, rand_deinit});
}

void ZKRget(long *x, long *y, long *z, long *b)
{
  *x = zkr.x;
  *y = zkr.y;
  *z = zkr.z;
  *b = (long)zkr.b;
}

long ZKRput(long x, long y, long z, long b)
{
  if (x < 1 || x >= ZKR_MOD_X || y < 1 || y >= ZKR_MOD_Y || z < 1 || z >= ZKR_MOD_Z || b == 0)
    return 0;
  zkr = {(int32_t)x, (int32_t)y, (int32_t)z, (uint32_t)b & 0x3FFFFFFF};
  return 1;
}

double ZKRnxt(void)
{
  zkr_step();
  double s = zkr_sum();
  return s - (double)(int)s;
}

/* 1 with probability p/q (unsigned). The generator steps once whatever the answer; q = 0 (and
 * so p = 0) is no chance at all rather than a division by zero. */
long ZKRmyb(long p, long q)
{
  zkr_step();
  uint32_t up = (uint32_t)p, uq = (uint32_t)q;
  if (up > uq || uq == 0) return 0;
  uint64_t r = (uint64_t)(uq * zkr_sum());
  return up > r % uq ? 1 : 0;
}

long ZKRbit(void)
{
  uint32_t doubled = zkr.b << 1;
  if (doubled & 0x40000000) {
    zkr.b = doubled ^ 71;
    return 1;
  }
  zkr.b = doubled;
  return 0;
}
