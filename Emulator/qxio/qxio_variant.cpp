/* Tagged variants, the argument lists of open and push operations, and time-outs. */
#include <math.h>
#include <string.h>

#include "qxio_internal.h"

namespace {

qxio_t_variant_type variant_type(const qxio_t_variant *variant)
{
  return static_cast<qxio_t_variant_type>(variant->flags & QXIO_VARIANT_TYPE_MASK);
}

}  // namespace

qxio_t_error_code qxio_get_arg_variant(const qxio_t_arglist *list, const char *key,
                                       const qxio_t_variant **variant_out)
{
  for (const qxio_t_property *p = list; variant_type(&p->v) != QXIO_VARIANT_END; p++) {
    if (p->key != nullptr && strcmp(p->key, key) == 0) {
      if (variant_out != nullptr) *variant_out = &p->v;
      return QXIO_S_NOERR;
    }
  }
  return QXIO_E_NOT_FOUND;
}

qxio_t_error_code qxio_get_arg(const qxio_t_arglist *list, const char *key,
                               qxio_t_variant_type type, void **value_out)
{
  const qxio_t_variant *variant = nullptr;
  qxio_t_error_code rc = qxio_get_arg_variant(list, key, &variant);
  if (rc < 0) return rc;
  if (variant_type(variant) != type) return QXIO_E_NOT_FOUND;
  if (type == QXIO_VARIANT_STRING) {
    if (value_out != nullptr) *value_out = const_cast<char *>(variant->u.string);
  } else if (type == QXIO_VARIANT_POINTER) {
    if (value_out != nullptr) *value_out = variant->u.pointer;
  } else {
    return QXIO_E_NOT_SUPPORTED;
  }
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_get_arg_string(const qxio_t_arglist *list, const char *key,
                                      const char **text_out)
{
  void *value = nullptr;
  qxio_t_error_code rc = qxio_get_arg(list, key, QXIO_VARIANT_STRING, &value);
  if (rc >= 0 && text_out != nullptr) *text_out = static_cast<const char *>(value);
  return rc;
}

void qxio_variant_free(qxio_t_variant *variant)
{
  if (variant == nullptr) return;
  uint32_t flags = variant->flags;
  if ((flags & QXIO_VARIANT_TYPE_MASK) == QXIO_VARIANT_STRING &&
      !(flags & QXIO_VARIANT_FLAG_NOT_OWNED))
    qxio_free(const_cast<char *>(variant->u.string));
  variant->flags = 0;
  if (flags & QXIO_VARIANT_FLAG_ALLOCATED) qxio_free(variant);
}

/* NaN and infinities are refused with the out-of-range numbers: NaN fails every comparison,
   so the range test is written to let only numbers inside it through. */
qxio_t_error_code qxio_double_to_timespec(double seconds, qxio_t_timespec *timespec_out)
{
  if (!(seconds >= 0.0 && seconds < 2147483648.0)) return QXIO_E_PARAMETER_ERROR;
  double whole = floor(seconds);
  double nsec = floor((seconds - whole) * 1e9);
  timespec_out->sec = static_cast<int64_t>(whole);
  /* a fraction just below 1 may round up to a whole second of nanoseconds */
  timespec_out->nsec = nsec > 999999999.0 ? 999999999L : static_cast<long>(nsec);
  return QXIO_S_NOERR;
}
