/* Compiled-code helpers: what a walker of compiled clauses can learn from the instruction tables,
 * the try-node layout, and the shared failure and else codes. */
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "insns.h"
#include "wam.h"

TEST(Insns, OnlyTheTryChainHasAKnownFormat)
{
  int known = 0;
  for (int i = 0; i < QX_INSTRUCTIONS; i++)
    if (insn_fmt[i] != QX_INSN_UNKNOWN || insn_class[i] != QX_INSN_UNKNOWN) known++;
  EXPECT_EQ(known, 1);
  EXPECT_EQ(insn_fmt[QX_INSN_TRY], QX_INSN_FMT_TRY);
  EXPECT_NE(insn_class[QX_INSN_TRY], QX_INSN_CLASS_LEAVES)
      << "a try chain branches inside its clause";
}

TEST(Insns, OperandKindsOfTheFormats)
{
  /* rows of the relocation walk's format table */
  const std::pair<int, const char *> rows[] = {
      {13, "x"},     {20, "x"},     {23, "p"},    {24, "Lph"}, {27, "n"},   {31, "hLph"},
      {36, "hLp"},   {39, "$"},     {41, "hwa"},  {44, "hxa"}, {46, "hxn"}, {49, "hxcxx"},
      {52, "hxxcc"}, {55, "hccc"},  {61, "Lhh"},  {63, "L"},   {67, "$"},   {71, "wa"},
      {74, "K"},     {77, "x"},     {83, "xcxx"}, {87, "xc"},  {91, "xx"},  {92, "xxcc"},
      {98, "xxx"},   {100, "xxxx"}, {106, "xh"},  {109, "h"},  {110, "P"},  {111, "P"},
  };
  for (auto [fmt, kinds] : rows) EXPECT_STREQ(qx_insn_operands(fmt), kinds) << "format " << fmt;
  for (int fmt : {0, 12, 21, 22, 28, 29, 112, 200, (int)QX_INSN_FMT_TRY, (int)QX_INSN_UNKNOWN})
    EXPECT_STREQ(qx_insn_operands(fmt), "") << "format " << fmt;
}

TEST(Insns, TryNodeEntryLayout)
{
  uint16_t code[8] = {};
  static const int target = 0;
  uint16_t *end = asm_try_insn(code + 1, &target, 0x1234, 0xBEEF);
  EXPECT_EQ(end, code + 6);
  EXPECT_EQ(code[0], 0);
  EXPECT_EQ(code[1] >> 3, QX_INSN_TRY) << "the instruction word carries the number shifted by 3";
  EXPECT_EQ(code[2], 0x1234);
  EXPECT_EQ(code[3], 0xBEEF);
  uint32_t address;
  std::memcpy(&address, code + 4, sizeof address);
  EXPECT_EQ(address, (uint32_t)(uintptr_t)&target);
  EXPECT_EQ(code[6], 0);
  EXPECT_EQ(large_insn_offset(code), -1);
}

TEST(Insns, SharedFailureAndElseCodesExistBeforeTheEngineStarts)
{
  ASSERT_NE(failcode, nullptr);
  ASSERT_NE(elsecode, nullptr);
  EXPECT_NE(failcode, elsecode);
  EXPECT_EQ(failcode->node_size, (int16_t)sizeof(node));
  EXPECT_EQ(failcode->op, QX_ALT_FAILCODE);
  /* the interned codes of those kinds are the shared objects */
  EXPECT_EQ(qx_alt(QX_ALT_FAILCODE, 0), failcode);
  EXPECT_EQ(qx_alt(QX_ALT_BARRIER, 0), elsecode);
}
