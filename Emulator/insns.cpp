/* Compiled-code helpers: instruction tables, operand kinds, the try-node assembler and the shared
 * failure and else codes. */
#include "insns.h"

#include <cstring>

#include "wam.h"

namespace {

constexpr std::array<uint8_t, QX_INSTRUCTIONS> only_try(uint8_t try_value)
{
  std::array<uint8_t, QX_INSTRUCTIONS> t{};
  for (uint8_t &v : t) v = QX_INSN_UNKNOWN;
  t[QX_INSN_TRY] = try_value;
  return t;
}

/* Format values and their operand kinds; values not listed have no operands. */
struct FormatRow {
  uint8_t first, last;
  const char *operands;
};
constexpr FormatRow formats[] = {
    {13, 20, "x"},     {23, 23, "p"},    {24, 24, "Lph"},  {25, 25, "z"},     {26, 26, "Z"},
    {27, 27, "n"},     {30, 30, "hp"},   {31, 31, "hLph"}, {32, 32, "hz"},    {33, 33, "hZ"},
    {34, 34, "hn"},    {35, 35, "hLph"}, {36, 36, "hLp"},  {37, 37, "hLph"},  {38, 38, "hc"},
    {39, 39, "$"},     {40, 40, "hw"},   {41, 41, "hwa"},  {42, 42, "ha"},    {43, 43, "hc"},
    {44, 44, "hxa"},   {45, 46, "hxn"},  {47, 48, "hxc"},  {49, 49, "hxcxx"}, {50, 51, "hxc"},
    {52, 52, "hxxcc"}, {53, 53, "hc"},   {54, 54, "hcc"},  {55, 55, "hccc"},  {56, 56, "Lph"},
    {57, 57, "Lhh"},   {58, 58, "Lp"},   {59, 59, "Lph"},  {60, 60, "Lh"},    {61, 61, "Lhh"},
    {62, 63, "L"},     {64, 64, "c"},    {65, 65, "Lhh"},  {66, 66, "h"},     {67, 67, "$"},
    {68, 69, "hx"},    {70, 70, "w"},    {71, 71, "wa"},   {72, 72, "a"},     {73, 73, "h"},
    {74, 74, "K"},     {75, 75, "c"},    {76, 77, "x"},    {78, 78, "xa"},    {79, 80, "xn"},
    {81, 82, "xc"},    {83, 83, "xcxx"}, {84, 85, "xh"},   {86, 87, "xc"},    {88, 91, "xx"},
    {92, 92, "xxcc"},  {93, 93, "c"},    {94, 94, "cc"},   {95, 95, "ccc"},   {96, 98, "xxx"},
    {99, 100, "xxxx"}, {101, 106, "xh"}, {107, 109, "h"},  {110, 111, "P"},
};

alt_code fail_object{QX_ALT_FAILCODE, 0, 0, 0, 0, 0, (int16_t)sizeof(node), 0, nullptr};
alt_code else_object{QX_ALT_BARRIER, 0, 0, 0, 0, 0, (int16_t)sizeof(node), 0, nullptr};

}  // namespace

const std::array<uint8_t, QX_INSTRUCTIONS> insn_fmt = only_try(QX_INSN_FMT_TRY);
const std::array<uint8_t, QX_INSTRUCTIONS> insn_class = only_try(QX_INSN_CLASS_STAYS);

alt_code *const failcode = &fail_object;
alt_code *const elsecode = &else_object;

const char *qx_insn_operands(int fmt)
{
  for (const FormatRow &row : formats)
    if (fmt >= row.first && fmt <= row.last) return row.operands;
  return "";
}

uint16_t *asm_try_insn(uint16_t *position, const void *address, uint16_t a, uint16_t b)
{
  uint32_t target = (uint32_t)(uintptr_t)address;
  position[0] = (uint16_t)(QX_INSN_TRY << 3);
  position[1] = a;
  position[2] = b;
  std::memcpy(position + 3, &target, sizeof target); /* halfword-aligned only */
  return position + 5;
}

int large_insn_offset(const void *insn)
{
  (void)insn;
  return -1;
}
