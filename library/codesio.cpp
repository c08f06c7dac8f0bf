/* The codesio resource: Prolog streams over lists of character codes. A read stream delivers the
 * codes of a text; a write stream collects the codes written to it, which $stream_to_codes/3
 * hands back as a list. Both are user streams of one class (the address of codes_to_stream) in
 * text mode, so the callbacks exchange 32-bit codes. */
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "datadefs.h"
#include "memman.h"
#include "streams.h"
#include "wcx.h"

static ORVALIS_API_STRUCT *qx_codesio_api;
#define QX_RESOURCE_API qx_codesio_api
#include "orvalis.h"
#include "qxlibres.h"

namespace {

/* Set while the maker still owns the record: a close from a failing QX_create_stream then frees
 * nothing, and the maker frees the record once. */
constexpr uint32_t CODESIO_CREATING = 0x4;
constexpr size_t CODE_BYTES = sizeof(uint32_t);

const void *codesio_class() { return (const void *)codes_to_stream; }

void codesio_free(codesio_data *data)
{
  QX_free(data->buffer);
  QX_free(data);
}

/* The codes of text into data's buffer: 0, or QXIO_E_ERROR at a malformed sequence. */
int codesio_decode(codesio_data *data, const char *text)
{
  while (*text) {
    int32_t code;
    int used = QX_wci_code(&code, text);
    if (used == 0) return QXIO_E_ERROR;
    data->buffer[data->count++] = (uint32_t)code;
    text += used;
  }
  return 0;
}

void codesio_init(int) {}

void codesio_deinit(int)
{
  QX_fclose((QX_stream *)codesio_class(), QX_FC_FORCE | QX_FC_USER_CLASS);
}

void (*const codesio_funcs[])() = {(void (*)())codes_to_stream, (void (*)())open_buf_stream,
                                   (void (*)())stream_to_codes, nullptr};
const char *const codesio_names[] = {"$codes_to_stream", "$open_buf_stream", "$stream_to_codes"};
const int codesio_arities[] = {2, 1, 3};

const qx_foreign_pred codesio_preds[] = {
    {"$codes_to_stream", "+string -address"},
    {"$open_buf_stream", "-address"},
    {"$stream_to_codes", "+address -term -term"},
    {nullptr, nullptr},
};

}  // namespace

const qx_foreign_interface qx_codesio_interface = {"codesio", "prolog", codesio_preds};

int qx_main_QXENV_codesio(void *params)
{
  return qx_libres_entry(
      params, &qx_codesio_api,
      {codesio_funcs, codesio_names, codesio_arities, codesio_init, codesio_deinit});
}

int codesio_stream(const char *text, QX_stream **stream)
{
  *stream = nullptr;
  auto *data = (codesio_data *)QX_malloc(sizeof(codesio_data));
  if (!data) return QXIO_E_OUT_OF_MEMORY;
  size_t capacity = text ? std::strlen(text) : CODESIO_INITIAL_CAPACITY;
  *data = {(uint32_t *)QX_malloc((capacity ? capacity : 1) * CODE_BYTES),
           text ? CODESIO_READ : CODESIO_WRITE, 0, text ? 0 : (uint32_t)capacity};
  if (!data->buffer) {
    QX_free(data);
    return QXIO_E_OUT_OF_MEMORY;
  }
  int rc = text ? codesio_decode(data, text) : 0;
  if (rc == 0) {
    data->direction |= CODESIO_CREATING;
    rc = QX_create_stream(data, codesio_class(), text ? codesio_user_read : nullptr,
                          text ? nullptr : codesio_user_write, nullptr, nullptr, codesio_user_close,
                          nullptr, nullptr, nullptr, QX_CS_TEXT, stream);
    data->direction &= ~CODESIO_CREATING;
  }
  if (rc < 0) {
    codesio_free(data);
    *stream = nullptr;
    return rc;
  }
  return 0;
}

int codesio_user_read(void *user_data, void *buffer, size_t *size, uint32_t)
{
  auto *data = (codesio_data *)user_data;
  size_t room = *size / CODE_BYTES;
  *size = 0;
  if (data->position >= data->count) return QXIO_E_END_OF_FILE;
  if (room == 0) return QXIO_E_PARAMETER_ERROR;
  size_t n = std::min(room, (size_t)(data->count - data->position));
  std::memcpy(buffer, data->buffer + data->position, n * CODE_BYTES);
  data->position += (uint32_t)n;
  *size = n * CODE_BYTES;
  return 0;
}

/* Takes the whole codes offered and reports them in *size; a trailing part of a code is left
 * to the caller, and an offer of less than one code is refused. When the buffer cannot grow the
 * codes held stay and none of the new ones are taken. */
int codesio_user_write(void *user_data, const void *buffer, size_t *size, uint32_t)
{
  auto *data = (codesio_data *)user_data;
  size_t n = *size / CODE_BYTES;
  bool partial_only = n == 0 && *size != 0;
  *size = 0;
  if (n == 0) return partial_only ? QXIO_E_PARAMETER_ERROR : 0;
  if (n > data->count - data->position) {
    size_t capacity = 2 * (size_t)data->count;
    if (capacity < data->position + n) capacity = data->count + n;
    if (capacity > std::min<size_t>(UINT32_MAX, SIZE_MAX / CODE_BYTES)) return QXIO_E_OUT_OF_MEMORY;
    auto *grown = (uint32_t *)QX_realloc(data->buffer, capacity * CODE_BYTES);
    if (!grown) return QXIO_E_OUT_OF_MEMORY;
    data->buffer = grown;
    data->count = (uint32_t)capacity;
  }
  std::memcpy(data->buffer + data->position, buffer, n * CODE_BYTES);
  data->position += (uint32_t)n;
  *size = n * CODE_BYTES;
  return 0;
}

int codesio_user_close(void **data_slot, uint32_t options)
{
  auto *data = (codesio_data *)*data_slot;
  if (options & QXIO_USER_CLOSE_READ) data->direction &= ~CODESIO_READ;
  if (options & QXIO_USER_CLOSE_WRITE) data->direction &= ~CODESIO_WRITE;
  if (data->direction != 0) return 0;
  codesio_free(data);
  *data_slot = nullptr;
  return 0;
}

void codes_to_stream(const char *text, void **stream)
{
  QX_stream *made = nullptr;
  codesio_stream(text, &made);
  *stream = made;
}

void open_buf_stream(void **stream) { codes_to_stream(nullptr, stream); }

void stream_to_codes(void *stream, QX_term_ref codes, QX_term_ref tail)
{
  void *user_data = nullptr;
  if (QX_get_stream_user_data((QX_stream *)stream, codesio_class(), &user_data) < 0 ||
      !(((codesio_data *)user_data)->direction & CODESIO_WRITE) ||
      QX_flush_output((QX_stream *)stream, 0) < 0) {
    QX_put_string(codes, "error");
    return;
  }
  auto *data = (codesio_data *)user_data;
  QX_term_ref code = QX_new_term_ref();
  bool built = code && QX_put_variable(tail) && QX_put_term(codes, tail);
  for (uint32_t i = data->position; built && i-- > 0;)
    built = QX_put_integer(code, (long)data->buffer[i]) && QX_cons_list(codes, code, codes);
  if (!built) QX_put_string(codes, "error");
}
