/* Fuzz target of the internal-encoding decoder and of atom interning. The input, up to its
 * first NUL, is the text. Checked for every input:
 * - wci_valid_string accepts it exactly when an independent decoder does (UTF-8 shape, 1 to 6
 *   bytes, shortest form only, code 0 as C0 80);
 * - a valid text decodes code by code to the independent decoder's codes, each taking
 *   QX_wci_len bytes and re-encoding to the same bytes, the lengths summing to the text's;
 *   on an invalid text the decoder stops where the independent one finds the fault;
 * - at every byte offset, a code the decoder accepts re-encodes to the bytes it consumed;
 * - init_atom_check of a valid text gives an atom whose name and length are the text's, found
 *   again in find-only mode, flagged ASCII exactly when every byte is; an invalid text gives 0
 *   in every mode and leaves the table as it was. */
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "atoms.h"
#include "datadefs.h"
#include "fuzz_check.h"
#include "memman.h"
#include "wcx.h"

namespace {

/* The atom table is refilled from scratch after this many atoms, well below its limit. */
constexpr uint32_t REFILL_AT = 200000;

void start_engine()
{
  std::memset(&qx_eg, 0, sizeof qx_eg);
  CHECK(memman_init() == 0);
  CHECK(init_atoms() == 0);
  clear_ch_type_hash();
}

/* One code at p by counting the lead byte's high bits: its byte count (0 when malformed). */
int oracle_code(const unsigned char *p, int32_t *code)
{
  int ones = 0;
  while (ones < 8 && (p[0] & (0x80 >> ones))) ones++;
  if (ones == 0) return *code = p[0], 1;
  if (ones == 1 || ones > 6) return 0;
  uint32_t value = p[0] & (0xFFu >> (ones + 1));
  for (int i = 1; i < ones; i++) {
    if ((p[i] >> 6) != 2) return 0;
    value = value << 6 | (p[i] & 0x3F);
  }
  /* shortest form: the payload needs more bits than the next shorter form carries */
  int payload_bits = 32 - (value == 0 ? 32 : __builtin_clz(value));
  int shorter_bits = ones == 2 ? 7 : 5 * (ones - 1) + 1;
  if (value == 0 && ones == 2) return *code = 0, 2;
  if (payload_bits <= shorter_bits) return 0;
  *code = (int32_t)value;
  return ones;
}

/* The codes of a text, and the offset of its first fault (-1 when valid). */
long oracle_decode(const std::string &text, std::vector<int32_t> *codes)
{
  const unsigned char *p = (const unsigned char *)text.c_str();
  for (size_t at = 0; at < text.size();) {
    int32_t code;
    int n = oracle_code(p + at, &code);
    if (n == 0) return (long)at;
    codes->push_back(code);
    at += (size_t)n;
  }
  return -1;
}

void check_decoding(const char *text, size_t length, const std::vector<int32_t> &codes, long fault)
{
  size_t at = 0;
  for (size_t k = 0;; k++) {
    if (fault >= 0 && at == (size_t)fault) break;
    if (at == length) {
      CHECK(k == codes.size());
      return;
    }
    int32_t code;
    int n = QX_wci_code(&code, text + at);
    CHECK(n > 0 && k < codes.size() && code == codes[k]);
    CHECK(n == QX_wci_len(code));
    char again[8];
    CHECK(QX_code_wci(again, code) == n && std::memcmp(again, text + at, (size_t)n) == 0);
    at += (size_t)n;
  }
  int32_t code;
  CHECK(QX_wci_code(&code, text + at) == 0);
}

/* Wherever the decoder accepts a code, the code's encoding is exactly the bytes consumed (so no
 * two byte sequences decode alike and none runs over the terminating NUL). */
void check_every_offset(const char *text, size_t length)
{
  for (size_t at = 0; at <= length; at++) {
    int32_t code;
    int n = QX_wci_code(&code, text + at);
    if (n == 0) continue;
    CHECK(at + (size_t)n <= length);
    char again[8];
    CHECK(QX_code_wci(again, code) == n && std::memcmp(again, text + at, (size_t)n) == 0);
  }
}

void check_atom(const char *text, size_t length, bool valid)
{
  if (qx_eg.atom_count >= REFILL_AT) {
    deinit_atoms();
    memman_deinit();
    start_engine();
  }
  uint32_t count = qx_eg.atom_count;
  TAGGED found = init_atom_check(text, 1);
  CHECK(qx_eg.atom_count == count);
  TAGGED made = init_atom_check(text, 0);
  if (!valid) {
    CHECK(found == 0 && made == 0 && init_atom_check(text, 2) == 0);
    CHECK(qx_eg.atom_count == count);
    return;
  }
  CHECK(made != 0 && IsAtom(made));
  CHECK(found == 0 ? qx_eg.atom_count == count + 1 : found == made && qx_eg.atom_count == count);
  CHECK(init_atom_check(text, 1) == made);
  const atom *record = atom_record(made);
  CHECK(record != nullptr && record->length == length && std::strcmp(record->name, text) == 0);
  bool ascii = true;
  for (size_t i = 0; i < length; i++) ascii = ascii && (unsigned char)text[i] < 0x80;
  CHECK(record->is_ascii == ascii);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  static bool started = (start_engine(), true);
  (void)started;
  std::string text((const char *)data, size);
  text.resize(std::strlen(text.c_str()));
  /* an exact-size copy: a read past the NUL is caught by AddressSanitizer */
  std::vector<char> exact(text.c_str(), text.c_str() + text.size() + 1);
  const char *p = exact.data();

  std::vector<int32_t> codes;
  long fault = oracle_decode(text, &codes);
  CHECK(wci_valid_string(p) == (fault < 0 ? 1 : 0));
  check_decoding(p, text.size(), codes, fault);
  check_every_offset(p, text.size());
  check_atom(p, text.size(), fault < 0);
  return 0;
}
