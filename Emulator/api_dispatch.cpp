/* The two dispatch tables, the engine's API struct, and the small host hooks and support
 * functions that live in the tables. */
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "api_support.h"
#include "atoms.h"
#include "orvalis_slots.h"
#include "startup.h"
#include "qxio.h"
#include "streams.h"
#include "support.h"
#include "wcx.h"

namespace {

/* A table as laid out in memory: the header, N slots and the closing pair. */
template <size_t N>
struct table_block {
  uint32_t size;
  const char *name;
  uint32_t version;
  qx_dispatch_slot slot[N + 1];
};

#define QX_SLOT_FN(k, f) {#f, (qx_api_fn)&f},
#define QX_SLOT_NONE(k, f) {#f, nullptr},
#define QX_SLOT_WAIT(k, f) {#f, (qx_api_fn)&qx_api_waiting},

typedef table_block<QX_ORVALIS_H_SLOT_COUNT> orvalis_h_block;
typedef table_block<QX_SUPPORT_H_SLOT_COUNT> support_h_block;

const orvalis_h_block orvalis_h = {
    sizeof(orvalis_h_block),
    "orvalis.h",
    QX_API_VERSION,
    {QX_ORVALIS_H_SLOTS(QX_SLOT_FN, QX_SLOT_NONE, QX_SLOT_WAIT){nullptr, nullptr}}};
const support_h_block support_h = {
    sizeof(support_h_block),
    "support.h",
    QX_API_VERSION,
    {QX_SUPPORT_H_SLOTS(QX_SLOT_FN, QX_SLOT_NONE, QX_SLOT_WAIT){nullptr, nullptr}}};

/* Clients compiled elsewhere find slot k's function at byte 16 + 8k: the layout is the
 * interface. */
static_assert(sizeof(orvalis_h_block) == 1580 && QX_ORVALIS_H_SLOT_COUNT == 195);
static_assert(sizeof(support_h_block) == 348 && QX_SUPPORT_H_SLOT_COUNT == 41);
#define QX_SLOT_OFFSET(block)                                                                      \
  static_assert(offsetof(block, slot) == 12 && sizeof(qx_dispatch_slot) == 8 &&                    \
                offsetof(qx_dispatch_slot, fn) == 4);
QX_SLOT_OFFSET(orvalis_h_block)
QX_SLOT_OFFSET(support_h_block)
#define QX_SLOT_AT(k, f) static_assert(offsetof(orvalis_h_block, slot[k].fn) == 16 + 8 * (k));
QX_ORVALIS_H_SLOTS(QX_SLOT_AT, QX_SLOT_AT, QX_SLOT_AT)
#undef QX_SLOT_AT
#define QX_SLOT_AT(k, f) static_assert(offsetof(support_h_block, slot[k].fn) == 16 + 8 * (k));
QX_SUPPORT_H_SLOTS(QX_SLOT_AT, QX_SLOT_AT, QX_SLOT_AT)
#undef QX_SLOT_AT
/* A type the slot list gives is the type a resource calls the function with. */
#define QX_SLOT_TYPE(f, ...)                                                                       \
  static_assert(std::is_same_v<decltype(&::f), qx_slot_fn<__VA_ARGS__>>, #f);
QX_ORVALIS_H_TYPED(QX_SLOT_TYPE)
QX_SUPPORT_H_TYPED(QX_SLOT_TYPE)
#undef QX_SLOT_TYPE

ORVALIS_API_STRUCT default_orvalis_api_struct = {
    (const qx_dispatch_table *)&orvalis_h, (const qx_dispatch_table *)&support_h, nullptr, nullptr};

constexpr int BROLIN_KEY = 40102;
void *brolin_magic;
int brolin_threadservermode;

QX_SetWindowTitleHook set_title_hook;
void *set_title_cookie;
QX_GetWindowTitleHook get_title_hook;
void *get_title_cookie;

}  // namespace

ORVALIS_API_STRUCT *QX_get_dispatch_40102(void *) { return &default_orvalis_api_struct; }

void init_qxenv(worker *w, ORVALIS_API_STRUCT *env, void *stash)
{
  env->dispatch_API_ORVALIS_H = default_orvalis_api_struct.dispatch_API_ORVALIS_H;
  env->dispatch_API_SUPPORT_H = default_orvalis_api_struct.dispatch_API_SUPPORT_H;
  env->stash = stash;
  env->fli_data = (qx_fli_info **)w;
}

int qx_api_waiting(void)
{
  qx_set_errno(QX_ERR_UNKNOWN);
  return 0;
}

/* ---- window title ---- */

namespace {
/* Installs a hook with its cookie and answers the previous hook. */
template <class Hook>
Hook install_hook(Hook &slot, void *&cookie_slot, Hook hook, void *cookie)
{
  Hook previous = slot;
  slot = hook;
  cookie_slot = cookie;
  return previous;
}
}  // namespace

QX_SetWindowTitleHook QX_set_set_window_title_hook(QX_SetWindowTitleHook hook, void *cookie)
{
  return install_hook(set_title_hook, set_title_cookie, hook, cookie);
}

QX_GetWindowTitleHook QX_set_get_window_title_hook(QX_GetWindowTitleHook hook, void *cookie)
{
  return install_hook(get_title_hook, get_title_cookie, hook, cookie);
}

void set_window_title(const char *title)
{
  if (set_title_hook) {
    set_title_hook(set_title_cookie, title);
    return;
  }
  TAGGED a = QX_atom_from_string(title);
  if (!a) return;
  QX_register_atom(a);
  if (qx_eg.current_window_title) QX_unregister_atom(qx_eg.current_window_title);
  qx_eg.current_window_title = a;
}

const char *get_window_title(void)
{
  if (get_title_hook) return get_title_hook(get_title_cookie);
  if (qx_eg.current_window_title) return QX_string_from_atom(qx_eg.current_window_title);
  return nullptr; /* the emulator version text, once start-up provides it */
}

/* ---- host bridge words and small queries ---- */

int qx_set_brolin_magic(void *magic, int key)
{
  if (key != BROLIN_KEY) return 0;
  brolin_magic = magic;
  return 1;
}
void *qx_get_brolin_magic(int key) { return key == BROLIN_KEY ? brolin_magic : nullptr; }
int qx_set_brolin_threadservermode(int mode, int key)
{
  if (key != BROLIN_KEY) return 0;
  brolin_threadservermode = mode;
  return 1;
}
int qx_get_brolin_threadservermode(int *mode, int key)
{
  if (key != BROLIN_KEY) return 0;
  *mode = brolin_threadservermode;
  return 1;
}
int qx_get_mem_usage(void) { return 0; }
int qx_is_development_system(void) { return 0; }

int QX_latin1_chartype(int c) { return c >= 0 && c <= 255 ? qx_char_class(c) : -1; }

/* ---- encodings over the I/O library's coders ---- */

struct QX_encoding_ {
  qxio_t_coder_funcs *funcs; /* a reference on the class */
};

namespace {

/* The coder class of name (a reference the caller releases), or null with the API error. */
qxio_t_coder_funcs *find_encoding(const char *name)
{
  if (!name || !wci_valid_string(name)) {
    qx_set_errno(name ? QX_ERR_STRING : QX_ERR_NULL_STRING);
    return nullptr;
  }
  qxio_t_coder_funcs *funcs = nullptr;
  if (qxio_char_coder_find(&funcs, name, nullptr, 0) < 0 || !funcs) {
    qx_set_errno(QX_ERR_DOMAIN_ERROR);
    return nullptr;
  }
  return funcs;
}

/* Runs the bytes of in through a new coder of the encoding's class (decode: bytes to codes) and
 * hands out the result as a QX_malloc block. */
int convert(QX_encoding encoding, const void *data, size_t size, bool decode, void **out,
            size_t *out_size)
{
  if (!encoding) {
    qx_set_errno(QX_ERR_DOMAIN_ERROR);
    return 0;
  }
  qxio_t_coder *coder = nullptr;
  if (qxio_char_coder_open(encoding->funcs, &coder, nullptr, decode ? QXIO_CODER_OPEN_DECODE : 0) <
      0) {
    qx_set_errno(QX_ERR_DOMAIN_ERROR);
    return 0;
  }
  qxio_t_buf *in = qxio_buf_alloc(data, size, 0);
  qxio_t_buf *result = qxio_buf_alloc(nullptr, 0, 0);
  size_t pos = 0;
  int ok = in && result &&
           qxio_char_coder_encode(coder, in, &pos, result,
                                  QXIO_CODER_END_OF_INPUT | QXIO_CODER_STRICT) >= 0 &&
           pos == size;
  if (ok) {
    *out_size = result->extent;
    *out = QX_malloc(*out_size ? *out_size : 1);
    ok = *out != nullptr;
    if (ok) std::memcpy(*out, result->buf, *out_size);
  }
  if (in) qxio_buf_free(in);
  if (result) qxio_buf_free(result);
  qxio_char_coder_close(coder);
  if (!ok) qx_set_errno(QX_ERR_DOMAIN_ERROR);
  return ok;
}

}  // namespace

int QX_get_encoding(const char *name, const char **canonical)
{
  qxio_t_coder_funcs *funcs = find_encoding(name);
  if (!funcs) return 0;
  qxio_coder_funcs_release(funcs);
  if (qxio_charset_canonical_name(name, canonical) < 0) *canonical = funcs->name;
  return 1;
}

QX_encoding QX_encoding_open(const char *name)
{
  qxio_t_coder_funcs *funcs = find_encoding(name);
  if (!funcs) return nullptr;
  QX_encoding e = (QX_encoding)QX_malloc(sizeof(QX_encoding_));
  if (!e) {
    qxio_coder_funcs_release(funcs);
    qx_set_errno(QX_ERR_SYSTEM_ERROR);
    return nullptr;
  }
  e->funcs = funcs;
  return e;
}

int QX_encoding_release(QX_encoding encoding)
{
  if (!encoding) return 0;
  qxio_coder_funcs_release(encoding->funcs);
  QX_free(encoding);
  return 1;
}

int QX_encode_from_codes(QX_encoding encoding, const int32_t *codes, size_t n,
                         unsigned char **bytes, size_t *size)
{
  return convert(encoding, codes, n * sizeof(int32_t), false, (void **)bytes, size);
}

int QX_encode_to_codes(QX_encoding encoding, const unsigned char *bytes, size_t size,
                       int32_t **codes, size_t *n)
{
  size_t out_size = 0;
  if (!convert(encoding, bytes, size, true, (void **)codes, &out_size)) return 0;
  *n = out_size / sizeof(int32_t);
  return 1;
}

/* ---- support functions ---- */

definition *find_def_in_module(mod_def *module, TAGGED key)
{
  return module ? find_definition(module, key, nullptr, 0) : nullptr;
}

int init_ds(void)
{
  worker *w = qx_w;
  if (!w) return 0;
  deinit_stacks(w);
  return init_stacks(w) == 0;
}

void qx_exitmsg(int code, const char *format, ...)
{
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::exit(code);
}

TAGGED MakeSmall_checked(long value)
{
  if (!SmallFits(value)) QX_raise_fault("MakeSmall_checked: integer out of range");
  return MakeSmall((int32_t)value);
}

worker *get_current_worker(void) { return qx_w; }
