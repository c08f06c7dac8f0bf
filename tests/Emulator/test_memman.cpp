/* Memory manager: QX_malloc family, engine blocks and their accounting, the ceiling, user
 * block sources, and the fault path through the recovery stack. */
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "memman.h"
#include "memtest_support.h"

namespace {

bool aligned8(const void *p) { return ((uintptr_t)p & 7) == 0; }

/* The manager on its own, for tests that need it started without the rest of the engine. */
class Manager {
public:
  Manager() { EXPECT_EQ(memman_init(), 0); }
  ~Manager() { memman_deinit(); }
};

TEST(Memman, MallocZeroGivesDistinctUsableBlocks)
{
  Manager m;
  char *a = (char *)QX_malloc(0);
  char *b = (char *)QX_malloc(0);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  QX_free(a);
  QX_free(b);
  QX_free(nullptr); /* no effect */
}

TEST(Memman, ReallocKeepsContentsWhenGrowingAndShrinking)
{
  Manager m;
  unsigned char *p = (unsigned char *)QX_realloc(nullptr, 100); /* null acts as malloc */
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 100; i++) p[i] = (unsigned char)(i * 7 + 1);
  p = (unsigned char *)QX_realloc(p, 300000);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(aligned8(p));
  p[299999] = 0xAB;
  for (int i = 0; i < 100; i++) ASSERT_EQ(p[i], (unsigned char)(i * 7 + 1)) << i;
  p = (unsigned char *)QX_realloc(p, 10);
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 10; i++) ASSERT_EQ(p[i], (unsigned char)(i * 7 + 1)) << i;
  QX_free(p);
}

TEST(Memman, CallocZeroesAndRefusesOverflowingProducts)
{
  Manager m;
  EXPECT_EQ(QX_calloc(0x10000, 0x10000), nullptr); /* 2^32 bytes on a 32-bit target */
  EXPECT_EQ(QX_calloc(SIZE_MAX, 2), nullptr);
  EXPECT_EQ(QX_malloc(SIZE_MAX - 4), nullptr); /* header would overflow the size */
  unsigned char *p = (unsigned char *)QX_calloc(1000, 3);
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 3000; i++) ASSERT_EQ(p[i], 0) << i;
  QX_free(p);
  void *z = QX_calloc(0, 8);
  EXPECT_NE(z, nullptr);
  QX_free(z);
}

TEST(Memman, StrdupCopiesText)
{
  Manager m;
  const char *text = "h\xc3\xa9llo";
  char *copy = QX_strdup(text);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, text);
  EXPECT_STREQ(copy, text);
  QX_free(copy);
  EXPECT_EQ(QX_strdup(nullptr), nullptr);
}

TEST(Memman, EveryBlockIsEightAligned)
{
  Manager m;
  std::vector<void *> blocks;
  for (size_t size = 0; size < 300; size++) {
    void *p = QX_malloc(size);
    void *q = qx_checkalloc(size, QX_SPACE_MISC);
    EXPECT_TRUE(aligned8(p)) << size;
    EXPECT_TRUE(aligned8(q)) << size;
    q = qx_checkrealloc(q, size, size * 3 + 1, QX_SPACE_MISC);
    EXPECT_TRUE(aligned8(q)) << size;
    qx_checkdealloc(q, size * 3 + 1, QX_SPACE_MISC);
    blocks.push_back(p);
  }
  for (void *p : blocks) QX_free(p);
}

TEST(Memman, CategoryCountersBalance)
{
  Manager m;
  size_t atom0 = qx_space_in_use(QX_SPACE_ATOM);
  size_t db0 = qx_space_in_use(QX_SPACE_DATABASE);
  size_t foreign0 = qx_space_in_use(QX_SPACE_FOREIGN);
  void *a = qx_checkalloc(1000, QX_SPACE_ATOM);
  void *d = qx_checkalloc(24, QX_SPACE_DATABASE | QX_MAY_FAIL); /* the bit is not a category */
  EXPECT_EQ(qx_space_in_use(QX_SPACE_ATOM), atom0 + 1000);
  EXPECT_EQ(qx_space_in_use(QX_SPACE_DATABASE), db0 + 24);
  a = qx_checkrealloc(a, 1000, 5000, QX_SPACE_ATOM);
  EXPECT_EQ(qx_space_in_use(QX_SPACE_ATOM), atom0 + 5000);
  a = qx_checkrealloc(a, 5000, 40, QX_SPACE_ATOM);
  EXPECT_EQ(qx_space_in_use(QX_SPACE_ATOM), atom0 + 40);
  void *f = QX_malloc(100);
  EXPECT_EQ(qx_space_in_use(QX_SPACE_FOREIGN), foreign0 + 108); /* size plus the header */
  f = QX_realloc(f, 20);
  EXPECT_EQ(qx_space_in_use(QX_SPACE_FOREIGN), foreign0 + 28);
  QX_free(f);
  qx_checkdealloc(a, 40, QX_SPACE_ATOM);
  qx_checkdealloc(d, 24, QX_SPACE_DATABASE);
  EXPECT_EQ(qx_space_in_use(QX_SPACE_ATOM), atom0);
  EXPECT_EQ(qx_space_in_use(QX_SPACE_DATABASE), db0);
  EXPECT_EQ(qx_space_in_use(QX_SPACE_FOREIGN), foreign0);
}

TEST(Memman, CeilingFromPrologMaxSize)
{
  EnvGuard max("PROLOGMAXSIZE", "16M");
  Manager m;
  EXPECT_EQ(qx_memman_config()->max_size, (size_t)16 << 20);
  EXPECT_EQ(QX_malloc((size_t)17 << 20), nullptr);
  void *p = QX_malloc((size_t)8 << 20);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(QX_malloc((size_t)9 << 20), nullptr); /* the sum would pass the ceiling */
  EXPECT_EQ(QX_realloc(p, (size_t)20 << 20), nullptr);
  QX_free(p);
  p = QX_malloc((size_t)9 << 20); /* freed bytes count no more */
  EXPECT_NE(p, nullptr);
  QX_free(p);
}

TEST(Memman, MayFailBitAnswersNullWhereTheManagerWouldFault)
{
  EnvGuard max("PROLOGMAXSIZE", "4M");
  Manager m;
  size_t misc0 = qx_space_in_use(QX_SPACE_MISC);
  EXPECT_EQ(qx_checkalloc((size_t)5 << 20, QX_SPACE_MISC | QX_MAY_FAIL), nullptr);
  EXPECT_EQ(qx_space_in_use(QX_SPACE_MISC), misc0);
  char *b = (char *)qx_checkalloc(64, QX_SPACE_SOLVER);
  std::strcpy(b, "kept");
  EXPECT_EQ(qx_checkrealloc(b, 64, (size_t)5 << 20, QX_SPACE_SOLVER | QX_MAY_FAIL), nullptr);
  EXPECT_STREQ(b, "kept"); /* a refused resize leaves the block */
  qx_fault f = catch_fault([] { qx_checkalloc((size_t)5 << 20, QX_SPACE_PROGRAM); });
  EXPECT_EQ(f.kind, QX_FAULT_MEMORY);
  EXPECT_EQ(f.category, QX_SPACE_PROGRAM);
  f = catch_fault([&] { qx_checkrealloc(b, 64, (size_t)5 << 20, QX_SPACE_SOLVER); });
  EXPECT_EQ(f.kind, QX_FAULT_MEMORY);
  EXPECT_EQ(f.category, QX_SPACE_SOLVER);
  memman_reinit();
  qx_checkdealloc(b, 64, QX_SPACE_SOLVER);
}

TEST(Memman, UnknownEnvironmentSwitchesAreHarmless)
{
  EnvGuard a("QX_USE_MALLOC", "yes");
  EnvGuard b("QX_MALLOC_MALLOCS", "1");
  EnvGuard c("QX_CHECKALLOC_MALLOCS", "1");
  EnvGuard d("PROLOGMAXSIZE", "12x"); /* malformed: no ceiling */
  Manager m;
  EXPECT_EQ(qx_memman_config()->max_size, 0u);
  void *p = QX_malloc(100);
  EXPECT_NE(p, nullptr);
  QX_free(p);
}

/* ---- user hooks ---- */

struct HookBlock {
  char *raw;
  size_t size;
};

struct HookLog {
  int inits = 0;
  int deinits = 0;
  int init_answer = 1;
  bool refuse = false;
  unsigned skew = 0;
  std::map<void *, HookBlock> live; /* block handed out -> its system block and size */
};

int hook_init(void *cookie)
{
  HookLog *log = (HookLog *)cookie;
  log->inits++;
  return log->init_answer;
}
void hook_deinit(void *cookie) { ((HookLog *)cookie)->deinits++; }
/* Hands out deliberately misaligned blocks: 1 to 7 bytes past an 8-aligned address. */
void *hook_alloc(size_t size, void *cookie)
{
  HookLog *log = (HookLog *)cookie;
  if (log->refuse) return nullptr;
  log->skew = log->skew % 7 + 1;
  char *raw = (char *)std::malloc(size + 16);
  char *p = (char *)(((uintptr_t)raw + 7) & ~(uintptr_t)7) + log->skew;
  log->live[p] = HookBlock{raw, size};
  return p;
}
void hook_free(void *block, size_t size, void *cookie)
{
  HookLog *log = (HookLog *)cookie;
  auto it = log->live.find(block);
  ASSERT_NE(it, log->live.end()) << "freed a block the hook never handed out";
  EXPECT_EQ(it->second.size, size);
  std::free(it->second.raw);
  log->live.erase(it);
}

/* Installs the hooks for the test and puts the system allocator back afterwards. */
class HookedManager {
public:
  explicit HookedManager(HookLog *log)
  {
    EXPECT_EQ(qx_memman_set_hooks(0, hook_init, hook_deinit, hook_alloc, hook_free, log), 1);
  }
  ~HookedManager()
  {
    memman_deinit();
    EXPECT_EQ(qx_memman_set_hooks(1, nullptr, nullptr, nullptr, nullptr, nullptr), 1);
  }
};

TEST(MemmanHooks, BlocksFromMisalignedHooksAreEightAligned)
{
  HookLog log;
  HookedManager hooks(&log);
  set_memalloc_default(); /* the hooks stay in force */
  ASSERT_EQ(memman_init(), 0);
  EXPECT_EQ(log.inits, 1);
  std::vector<std::pair<void *, size_t>> engine_blocks;
  std::vector<void *> foreign_blocks;
  for (size_t size = 0; size < 40; size++) {
    void *p = QX_malloc(size);
    void *q = qx_checkalloc(size + 1, QX_SPACE_ATOM);
    ASSERT_TRUE(aligned8(p)) << size;
    ASSERT_TRUE(aligned8(q)) << size;
    std::memset(p, 0x5A, size);
    std::memset(q, 0xA5, size + 1);
    foreign_blocks.push_back(p);
    engine_blocks.emplace_back(q, size + 1);
  }
  EXPECT_EQ(log.live.size(), 80u);                        /* every block came from the hook */
  char *r = (char *)QX_realloc(foreign_blocks[10], 5000); /* no realloc hook: copy */
  ASSERT_TRUE(aligned8(r));
  for (int i = 0; i < 10; i++) ASSERT_EQ((unsigned char)r[i], 0x5A);
  foreign_blocks[10] = r;
  for (void *p : foreign_blocks) QX_free(p);
  for (auto &b : engine_blocks) qx_checkdealloc(b.first, b.second, QX_SPACE_ATOM);
  EXPECT_TRUE(log.live.empty()); /* each block went back to the hook with its size */
  memman_deinit();
  EXPECT_EQ(log.deinits, 1);
}

TEST(MemmanHooks, ExhaustedHookGivesNullOrFault)
{
  HookLog log;
  HookedManager hooks(&log);
  ASSERT_EQ(memman_init(), 0);
  log.refuse = true;
  EXPECT_EQ(QX_malloc(16), nullptr);
  EXPECT_EQ(qx_checkalloc(16, QX_SPACE_MISC | QX_MAY_FAIL), nullptr);
  qx_fault f = catch_fault([] { qx_checkalloc(16, QX_SPACE_DATABASE); });
  EXPECT_EQ(f.kind, QX_FAULT_MEMORY);
  EXPECT_EQ(f.category, QX_SPACE_DATABASE);
  memman_reinit();
}

TEST(MemmanHooks, OnlyTheTwoShapesAreAcceptedAndOnlyBeforeStart)
{
  HookLog log;
  EXPECT_EQ(qx_memman_set_hooks(1, hook_init, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(qx_memman_set_hooks(0, hook_init, hook_deinit, nullptr, hook_free, &log), 0);
  EXPECT_EQ(qx_memman_set_hooks(2, hook_init, hook_deinit, hook_alloc, hook_free, &log), 0);
  Manager m;
  EXPECT_EQ(qx_memman_set_hooks(0, hook_init, hook_deinit, hook_alloc, hook_free, &log), 0);
  EXPECT_EQ(qx_memman_set_hooks(1, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
  void *p = QX_malloc(8); /* still the system allocator */
  EXPECT_TRUE(log.live.empty());
  QX_free(p);
}

TEST(MemmanHooks, FailingInitHookFailsTheStart)
{
  HookLog log;
  log.init_answer = 0;
  HookedManager hooks(&log);
  EXPECT_NE(memman_init(), 0);
  EXPECT_EQ(log.inits, 1);
}

/* ---- faults ---- */

TEST(MemmanFaults, AbortEnvReceivesMemoryFaultWithItsMessage)
{
  Manager m;
  static jmp_buf env;
  volatile int jumps = 0;
  qx_set_abort_env(&env);
  if (setjmp(env) == 0) {
    qx_memory_fault("the test's table", QX_SPACE_ATOM);
    ADD_FAILURE() << "qx_memory_fault returned";
  } else {
    jumps = jumps + 1;
  }
  EXPECT_EQ(jumps, 1);
  EXPECT_STREQ(qx_get_abort_err_ienc(), "out of memory in the test's table");
  if (setjmp(env) == 0)
    QX_raise_fault("segmentation violation");
  else
    jumps = jumps + 1;
  EXPECT_EQ(jumps, 2); /* the environment stays installed */
  EXPECT_STREQ(qx_get_abort_err_ienc(), "segmentation violation");
  qx_set_abort_env(nullptr);
  EXPECT_EQ(qx_recovery_top(), nullptr);
  memman_reinit();
}

TEST(MemmanFaults, InnermostEntryTakesTheFault)
{
  Manager m;
  static jmp_buf env;
  volatile int jumped = 0;
  qx_set_abort_env(&env);
  if (setjmp(env) == 0) {
    qx_fault f = catch_fault([] { QX_raise_fault("inner"); }); /* API entry inside */
    EXPECT_EQ(f.kind, QX_FAULT_MESSAGE);
    EXPECT_STREQ(f.what(), "inner");
    QX_raise_fault("outer"); /* the API entry is gone */
  } else {
    jumped = 1;
  }
  EXPECT_EQ(jumped, 1);
  EXPECT_STREQ(qx_get_abort_err_ienc(), "outer");
  qx_set_abort_env(nullptr);
}

TEST(MemmanFaults, AbortEnvSetInsideAnEntryLeavesWithIt)
{
  Manager m;
  static jmp_buf env;
  {
    qx_recovery_scope emulator(QX_RECOVERY_EMULATOR);
    qx_set_abort_env(&env); /* e.g. set by foreign code the emulator called */
    EXPECT_EQ(qx_recovery_top()->kind, QX_RECOVERY_ABORT_ENV);
  }
  EXPECT_EQ(qx_recovery_top(), nullptr);
  qx_set_abort_env(nullptr); /* removing an entry that has gone already is harmless */
  EXPECT_EQ(qx_recovery_top(), nullptr);
}

TEST(MemmanFaults, ForeignEntryLandsAndRedeliversToTheEngine)
{
  Manager m;
  qx_fault f = catch_fault([] {
    static jmp_buf env;
    static qx_recovery foreign;
    qx_recovery_push(&foreign, QX_RECOVERY_FOREIGN, &env);
    if (setjmp(env) == 0)
      qx_memory_fault(nullptr, QX_SPACE_SOLVER); /* as from a foreign C function */
    qx_recovery_pop(&foreign);
    EXPECT_EQ(qx_recovery_top()->kind, QX_RECOVERY_API);
    qx_fault_redeliver();
  });
  EXPECT_EQ(f.kind, QX_FAULT_MEMORY);
  EXPECT_EQ(f.category, QX_SPACE_SOLVER);
  EXPECT_STREQ(f.what(), "out of memory");
  memman_reinit();
}

TEST(MemmanFaults, WithoutRecoveryPointTheCallerSeesTheFaultAndTheMessage)
{
  Manager m;
  ASSERT_EQ(qx_recovery_top(), nullptr);
  testing::internal::CaptureStderr();
  bool caught = false;
  try {
    QX_raise_fault("no entry here");
  } catch (const qx_fault &f) {
    caught = f.kind == QX_FAULT_MESSAGE;
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(caught);
  EXPECT_NE(err.find("no entry here"), std::string::npos);
}

TEST(MemmanFaults, FromASignalHandlerOnlyJumpEntriesQualify)
{
  EXPECT_EXIT(
      {
        Manager m;
        qx_recovery_scope api(QX_RECOVERY_API);
        qx_recovery_signal_context(1);
        QX_raise_fault("bus error");
      },
      testing::ExitedWithCode(1), "! bus error");
  Manager m;
  static jmp_buf env;
  volatile int jumped = 0;
  qx_set_abort_env(&env);
  if (setjmp(env) == 0) {
    qx_recovery_scope api(QX_RECOVERY_API); /* skipped: a signal handler cannot throw */
    qx_recovery_signal_context(1);
    QX_raise_fault("bus error");
  } else {
    jumped = 1;
  }
  EXPECT_EQ(jumped, 1);
  EXPECT_EQ(qx_recovery_top()->kind, QX_RECOVERY_ABORT_ENV);
  qx_set_abort_env(nullptr);
  qx_fault f = catch_fault([] { QX_raise_fault("later"); }); /* signal context has ended */
  EXPECT_EQ(f.kind, QX_FAULT_MESSAGE);
}

TEST(MemmanFaults, FreeingAForeignPointerFaultsInsteadOfCorrupting)
{
  Manager m;
  alignas(8) unsigned char fake[64];
  std::memset(fake, 0x11, sizeof fake);
  qx_fault f = catch_fault([&] { QX_free(fake + 8); });
  EXPECT_EQ(f.kind, QX_FAULT_MESSAGE);
  EXPECT_NE(std::string(f.what()).find("QX_free"), std::string::npos);
  f = catch_fault([&] { QX_realloc(fake + 8, 100); });
  EXPECT_EQ(f.kind, QX_FAULT_MESSAGE);
}

}  // namespace
