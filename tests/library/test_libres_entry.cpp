/* The entry protocol of the three library resources, with hand-made parameter blocks and API
 * structs: the answers for other versions and missing handles, and tables that agree with each
 * resource's interface data. */
#include <cstring>
#include <sstream>
#include <string>

#include "libres_test.h"

namespace {

struct resource {
  const char *name;
  QX_pre_linkage_fn entry;
  const qx_foreign_interface *interface;
};
const resource resources[] = {
    {"timeout", qx_main_QXENV_timeout, &qx_timeout_interface},
    {"codesio", qx_main_QXENV_codesio, &qx_codesio_interface},
    {"random", qx_main_QXENV_random, &qx_random_interface},
};

bool untouched(const QX_MAINFUN_PARAMS_STRUCT &b, int flags)
{
  return b.flags == flags && !b.funcs && !b.prednames && !b.arities && !b.init_fun && !b.deinit_fun;
}

int words(const char *text)
{
  std::istringstream in(text);
  std::string word;
  int n = 0;
  while (in >> word) n++;
  return n;
}

TEST(LibresEntry, OtherVersionsAnswerTwoAndMissingHandlesOne)
{
  const struct {
    uint32_t block_version, api_version;
    int answer;
  } versions[] = {
      {0x30001, 0x301C3, 0}, {0x30001, 0x3FFFF, 0}, {0x30000, 0x301C3, 2}, {0x30002, 0x301C3, 2},
      {0x40001, 0x301C3, 2}, {0x30001, 0x301C2, 2}, {0x30001, 0x401C3, 2}, {0x30001, 0x201C3, 2},
      {0x30001, 0x3, 2},     {0x30001, 0, 2},
  };
  for (const resource &r : resources) {
    for (const auto &v : versions) {
      libres_api api(v.api_version);
      QX_MAINFUN_PARAMS_STRUCT block = libres_block(&api.api);
      block.version = v.block_version;
      EXPECT_EQ(r.entry(&block), v.answer)
          << r.name << std::hex << " block " << v.block_version << " api " << v.api_version;
      if (v.answer != 0) {
        EXPECT_TRUE(untouched(block, QX_MAINFUN_LOAD)) << r.name;
      }
    }
    /* another block version wins over a missing handle */
    QX_MAINFUN_PARAMS_STRUCT block = libres_block(nullptr);
    block.version = 0x30000;
    EXPECT_EQ(r.entry(&block), 2) << r.name;
    block.version = QX_MAINFUN_PARAMS_VERSION;
    EXPECT_EQ(r.entry(&block), 1) << r.name;
    EXPECT_TRUE(untouched(block, QX_MAINFUN_LOAD));
    libres_api no_table;
    no_table.api.dispatch_API_ORVALIS_H = nullptr;
    block = libres_block(&no_table.api);
    EXPECT_EQ(r.entry(&block), 1) << r.name;
    EXPECT_TRUE(untouched(block, QX_MAINFUN_LOAD));
    EXPECT_EQ(r.entry(nullptr), 1) << r.name;
  }
}

TEST(LibresEntry, TablesAgreeWithTheInterfaceDataOnLoadAndUnload)
{
  for (const resource &r : resources) {
    EXPECT_STREQ(r.interface->resource, r.name);
    EXPECT_STREQ(r.interface->module, "prolog");
    for (int flags : {QX_MAINFUN_LOAD, QX_MAINFUN_UNLOAD}) {
      libres_api api;
      QX_MAINFUN_PARAMS_STRUCT block = libres_block(&api.api, flags);
      ASSERT_EQ(r.entry(&block), 0) << r.name;
      EXPECT_EQ(block.flags, flags | QX_MAINFUN_PLAIN_INIT);
      EXPECT_EQ(block.version, QX_MAINFUN_PARAMS_VERSION);
      EXPECT_EQ(block.qxenv, &api.api);
      ASSERT_TRUE(block.funcs && block.prednames && block.arities) << r.name;
      EXPECT_TRUE(block.init_fun && block.deinit_fun) << r.name;
      int n = 0;
      for (; block.funcs[n]; n++) {
        const qx_foreign_pred &p = r.interface->preds[n];
        ASSERT_NE(p.name, nullptr) << r.name << " has more functions than interface entries";
        EXPECT_STREQ(block.prednames[n], p.name);
        EXPECT_EQ(block.arities[n], words(p.args)) << p.name;
      }
      EXPECT_EQ(r.interface->preds[n].name, nullptr) << r.name << " interface entry " << n;
    }
  }
}

}  // namespace
