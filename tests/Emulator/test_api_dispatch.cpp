/* The dispatch tables, the host words and small functions they carry, the encodings over the
 * I/O library's coders, the runtime-instance handshake and the API mutexes. */
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api_fixture.h"
#include "api_support.h"
#include "gc.h"
#include "saverest.h"
#include "qxio.h"
#include "wcx.h"

namespace {

const qx_dispatch_table *public_table()
{
  return QX_get_dispatch_40102(nullptr)->dispatch_API_ORVALIS_H;
}
const qx_dispatch_table *support_table()
{
  return QX_get_dispatch_40102(nullptr)->dispatch_API_SUPPORT_H;
}

/* The slots of a table up to the closing pair, read as a client reads them: by byte offset. */
std::vector<qx_dispatch_slot> slots_of(const qx_dispatch_table *t)
{
  std::vector<qx_dispatch_slot> out;
  const char *base = (const char *)t;
  for (size_t k = 0;; k++) {
    qx_dispatch_slot s;
    std::memcpy(&s.name, base + 12 + 8 * k, 4);
    std::memcpy(&s.fn, base + 16 + 8 * k, 4);
    if (!s.name && !s.fn) break;
    out.push_back(s);
  }
  return out;
}

TEST(DispatchTables, HeadersNamesAndUnavailableSlots)
{
  struct Case {
    const qx_dispatch_table *table;
    uint32_t size;
    const char *name;
    size_t slots;
    std::vector<size_t> unavailable;
  } cases[] = {
      {public_table(), 1580, "orvalis.h", 195, {3, 75, 96, 97, 99, 103}},
      {support_table(), 348, "support.h", 41, {31, 32, 33}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.table->size, c.size);
    EXPECT_STREQ(c.table->name, c.name);
    EXPECT_EQ(c.table->version, 0x301C3u);
    std::vector<qx_dispatch_slot> slots = slots_of(c.table);
    ASSERT_EQ(slots.size(), c.slots);
    EXPECT_EQ(12 + 8 * slots.size() + 8, c.size); /* header, slots and the closing pair */
    for (size_t k = 0; k < slots.size(); k++) {
      bool gone = std::find(c.unavailable.begin(), c.unavailable.end(), k) != c.unavailable.end();
      ASSERT_NE(slots[k].name, nullptr) << k;
      EXPECT_EQ(slots[k].fn == nullptr, gone) << k << " " << slots[k].name;
      if (gone) {
        EXPECT_EQ(std::string(slots[k].name), "unavailable_api_" + std::to_string(k + 1));
      }
    }
  }
  /* Slots named after functions hold those functions. */
  std::vector<qx_dispatch_slot> pub = slots_of(public_table());
  EXPECT_STREQ(pub[27].name, "QX_put_integer");
  EXPECT_EQ(pub[27].fn, (qx_api_fn)&QX_put_integer);
  EXPECT_STREQ(pub[150].name, "QX_set_multi_qx_state");
  EXPECT_EQ(pub[150].fn, (qx_api_fn)&QX_set_multi_qx_state);
  EXPECT_STREQ(pub[194].name, "QX_set_system_property");
  std::vector<qx_dispatch_slot> sup = slots_of(support_table());
  EXPECT_STREQ(sup[40].name, "single_attribute");
  EXPECT_EQ(sup[10].fn, (qx_api_fn)&get_current_worker);
  /* the collector's entry points and the solver's hook installer */
  struct {
    size_t slot;
    const char *name;
    qx_api_fn fn;
  } engine_side[] = {{18, "QX_install_fd_hooks", (qx_api_fn)&QX_install_fd_hooks},
                     {20, "intoRelocationChain", (qx_api_fn)&intoRelocationChain},
                     {30, "markTerm", (qx_api_fn)&markTerm}};
  for (const auto &e : engine_side) {
    EXPECT_STREQ(sup[e.slot].name, e.name);
    EXPECT_EQ(sup[e.slot].fn, e.fn) << e.name;
  }
}

TEST(DispatchTables, OneEngineStructAndInitQxenv)
{
  ORVALIS_API_STRUCT *a = QX_get_dispatch_40102(nullptr);
  ORVALIS_API_STRUCT *b = QX_get_dispatch_40102((void *)1);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->stash, nullptr);
  EXPECT_EQ(a->fli_data, nullptr);
  ORVALIS_API_STRUCT env{};
  worker w{};
  int stash;
  init_qxenv(&w, &env, &stash);
  EXPECT_EQ(env.dispatch_API_ORVALIS_H, a->dispatch_API_ORVALIS_H);
  EXPECT_EQ(env.dispatch_API_SUPPORT_H, a->dispatch_API_SUPPORT_H);
  EXPECT_EQ(env.stash, &stash);
  EXPECT_EQ((void *)env.fli_data, (void *)&w);
}

TEST(DispatchTables, BrolinWordsOnlyWithTheKey)
{
  int x, mode = -1;
  EXPECT_EQ(qx_set_brolin_magic(&x, 40101), 0);
  EXPECT_EQ(qx_get_brolin_magic(40102), nullptr);
  EXPECT_EQ(qx_set_brolin_magic(&x, 40102), 1);
  EXPECT_EQ(qx_set_brolin_magic(nullptr, 0), 0);
  EXPECT_EQ(qx_get_brolin_magic(40102), &x);
  EXPECT_EQ(qx_get_brolin_magic(40103), nullptr);
  EXPECT_EQ(qx_set_brolin_threadservermode(7, 1), 0);
  EXPECT_EQ(qx_get_brolin_threadservermode(&mode, 1), 0);
  EXPECT_EQ(mode, -1);
  EXPECT_EQ(qx_set_brolin_threadservermode(7, 40102), 1);
  EXPECT_EQ(qx_get_brolin_threadservermode(&mode, 40102), 1);
  EXPECT_EQ(mode, 7);
}

class DispatchEngine : public ApiTest {};

TEST_F(DispatchEngine, WindowTitleHooksAndStoredTitle)
{
  static std::string seen;
  auto setter = [](void *cookie, const char *title) { seen = *(std::string *)cookie + title; };
  auto getter = [](void *cookie) -> const char * { return (const char *)cookie; };
  EXPECT_EQ(get_window_title(), nullptr);
  set_window_title("one");
  set_window_title("two");
  EXPECT_STREQ(get_window_title(), "two");
  /* The title atom is registered: only the current one. */
  EXPECT_EQ(atom_record(init_atom_check("two", 1)) != nullptr, true);
  std::string prefix = "set:";
  EXPECT_EQ(QX_set_set_window_title_hook(setter, &prefix), nullptr);
  set_window_title("three");
  EXPECT_EQ(seen, "set:three");
  EXPECT_STREQ(get_window_title(), "two");
  EXPECT_EQ(QX_set_get_window_title_hook(getter, (void *)"got"), nullptr);
  EXPECT_STREQ(get_window_title(), "got");
  EXPECT_EQ(QX_set_set_window_title_hook(nullptr, nullptr), setter);
  EXPECT_EQ(QX_set_get_window_title_hook(nullptr, nullptr), getter);
}

TEST_F(DispatchEngine, Latin1ChartypeFollowsTheClassTable)
{
  struct {
    int code, type;
  } cases[] = {
      {'a', CH_LC},     {'Z', CH_UC},   {'_', CH_UNDERSCORE}, {'0', CH_DIGIT}, {' ', CH_WHITE},
      {'+', CH_SYMBOL}, {'(', CH_LPAR}, {'!', CH_BANG},       {0xE9, CH_LC},   {0xC9, CH_UC},
      {-1, -1},         {256, -1},      {0x3B1, -1}};
  for (auto c : cases) EXPECT_EQ(QX_latin1_chartype(c.code), c.type) << c.code;
  for (int c = 0; c < 256; c++) EXPECT_EQ(QX_latin1_chartype(c), qx_char_class(c)) << c;
}

TEST_F(DispatchEngine, EncodingsThroughTheCoders)
{
  const char *canonical = nullptr;
  ASSERT_EQ(QX_get_encoding("utf8", &canonical), 1);
  ASSERT_NE(canonical, nullptr);
  qx_set_errno(0);
  EXPECT_EQ(QX_get_encoding("no-such-set", &canonical), 0);
  EXPECT_EQ(QX_get_errno(), QX_ERR_DOMAIN_ERROR);
  EXPECT_EQ(QX_encoding_open("\xff"), nullptr);
  EXPECT_EQ(QX_get_errno(), QX_ERR_STRING);

  QX_encoding utf8 = QX_encoding_open("UTF-8");
  QX_encoding latin1 = QX_encoding_open("ISO-8859-1");
  ASSERT_TRUE(utf8 && latin1);
  const int32_t codes[] = {'a', 0xE9, 0x20AC};
  unsigned char *bytes = nullptr;
  size_t size = 0;
  ASSERT_EQ(QX_encode_from_codes(utf8, codes, 3, &bytes, &size), 1);
  EXPECT_EQ(std::string((char *)bytes, size), "a\xc3\xa9\xe2\x82\xac");
  int32_t *back = nullptr;
  size_t n = 0;
  ASSERT_EQ(QX_encode_to_codes(utf8, bytes, size, &back, &n), 1);
  ASSERT_EQ(n, 3u);
  EXPECT_EQ(std::memcmp(back, codes, sizeof codes), 0);
  QX_free(back);
  /* The euro sign has no Latin-1 byte; a stray continuation byte is no UTF-8. */
  unsigned char *none = nullptr;
  EXPECT_EQ(QX_encode_from_codes(latin1, codes, 3, &none, &size), 0);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(QX_encode_from_codes(latin1, codes, 2, &none, &size), 1);
  EXPECT_EQ(std::string((char *)none, size), "a\xe9");
  const unsigned char bad[] = {'a', 0x80};
  back = nullptr;
  EXPECT_EQ(QX_encode_to_codes(utf8, bad, 2, &back, &n), 0);
  EXPECT_EQ(back, nullptr);
  QX_free(bytes);
  QX_free(none);
  EXPECT_EQ(QX_encoding_release(utf8), 1);
  EXPECT_EQ(QX_encoding_release(latin1), 1);
  EXPECT_EQ(QX_encoding_release(nullptr), 0);
}

TEST_F(DispatchEngine, SupportFunctionsOfNoPart)
{
  TAGGED key = MakeFunctor(init_atom_check("only_here", 0), 1);
  mod_def *m = find_module(init_atom_check("support_mod", 0), 1);
  EXPECT_EQ(find_def_in_module(m, key), nullptr);
  definition *d = find_definition(m, key, nullptr, 1);
  EXPECT_EQ(find_def_in_module(m, key), d);
  /* No fall back to the system module. */
  EXPECT_EQ(find_def_in_module(m, MakeFunctor(init_atom_check("atom_codes", 0), 2)), nullptr);
  EXPECT_EQ(MakeSmall_checked(QX_SMALL_MAX), MakeSmall(QX_SMALL_MAX));
  EXPECT_EQ(MakeSmall_checked(QX_SMALL_MIN), MakeSmall(QX_SMALL_MIN));
  EXPECT_EQ(get_current_worker(), qx_w);
  EXPECT_EQ(qx_get_mem_usage(), 0);
  EXPECT_EQ(qx_is_development_system(), 0);
}

TEST(SupportFunctions, MakeSmallCheckedFaultsOutOfRangeAndExitmsgExits)
{
  EXPECT_THROW(MakeSmall_checked((long)QX_SMALL_MAX + 1), qx_fault);
  EXPECT_EXIT(qx_exitmsg(3, "gone %d", 7), testing::ExitedWithCode(3), "gone 7");
}

/* ---- runtime instances (each case runs in a process of its own: the state is per process) ---- */

TEST(RuntimeInstances, FirstCallSelfThenInstance02ThenNoFile)
{
  QX_get_dispatch_fn get = nullptr;
  void *handle = (void *)1;
  ASSERT_EQ(QX_load_orvalis_run_time(&get, &handle), 1);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(get, &QX_get_dispatch_40102);
  /* This instance made the state: it adopts no other. */
  EXPECT_EQ(QX_set_multi_qx_state(nullptr), 0);

  ASSERT_EQ(QX_load_orvalis_run_time(&get, &handle), 1);
  ASSERT_NE(handle, nullptr);
  auto adopted = (QX_multi_qx_state * (*)(int *)) dlsym(handle, "instance_adopted");
  ASSERT_NE(adopted, nullptr);
  EXPECT_EQ((void *)get, dlsym(handle, "QX_get_dispatch_40102"));
  int count = 0;
  QX_multi_qx_state *state = adopted(&count);
  EXPECT_NE(state, nullptr);
  EXPECT_EQ(count, 1);

  /* Instance 03 refuses the state: -1, outputs untouched, and the library is closed again. */
  QX_get_dispatch_fn before = get;
  std::string dir = QX_BUILD_DIR "/tests/libqxrt4-1-2-instance-";
  EXPECT_EQ(QX_load_orvalis_run_time(&get, &handle), -1);
  EXPECT_EQ(get, before);
  EXPECT_EQ(dlopen((dir + "03.so").c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
  /* Instance 04 has no file. */
  EXPECT_EQ(QX_load_orvalis_run_time(&get, &handle), -1);
  EXPECT_EQ(get, before);
  adopted(&count);
  EXPECT_EQ(count, 1);
}

TEST(RuntimeInstances, SecondSetStateAnswersZero)
{
  QX_multi_qx_state *fake = nullptr;
  ASSERT_EQ(multi_qx_init(), 1);
  EXPECT_EQ(QX_set_multi_qx_state(fake), 0);
  EXPECT_EQ(QX_set_multi_qx_state(fake), 0);
}

/* ---- API mutexes ---- */

TEST(ApiMutex, ZeroedUnlockRecursiveAndDestroy)
{
  QX_mutex m = nullptr;
  qx_set_errno(0);
  EXPECT_EQ(QX_mutex_unlock(&m), 0);
  EXPECT_EQ(QX_get_errno(), QX_ERR_UNKNOWN);
  EXPECT_EQ(QX_mutex_destroy(&m), 1);
  EXPECT_EQ(m, nullptr);
  ASSERT_EQ(QX_mutex_lock(&m), 1);
  ASSERT_EQ(QX_mutex_lock(&m), 1); /* recursive */
  EXPECT_NE(m, nullptr);
  /* Another thread cannot take it until both locks are released. */
  auto try_other = [&] {
    int got = -1;
    std::thread t([&] {
      got = pthread_mutex_trylock((pthread_mutex_t *)m) == 0;
      if (got) pthread_mutex_unlock((pthread_mutex_t *)m);
    });
    t.join();
    return got;
  };
  EXPECT_EQ(try_other(), 0);
  EXPECT_EQ(QX_mutex_unlock(&m), 1);
  EXPECT_EQ(try_other(), 0);
  EXPECT_EQ(QX_mutex_unlock(&m), 1);
  EXPECT_EQ(try_other(), 1);
  EXPECT_EQ(QX_mutex_destroy(&m), 1);
  EXPECT_EQ(m, nullptr);
}

TEST(ApiMutex, FourThreadsCountExactly)
{
  QX_mutex m = nullptr; /* made by whichever thread locks first */
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&] {
      for (int i = 0; i < 1000000; i++) {
        QX_mutex_lock(&m);
        counter++;
        QX_mutex_unlock(&m);
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(counter, 4000000);
  QX_mutex_destroy(&m);
}

void *failing_alloc(void *, void *pointer, size_t size)
{
  if (!pointer) return nullptr;
  std::free(pointer);
  return nullptr;
}

TEST(ApiMutex, AllocationFailureLocksNothing)
{
  QX_mutex m = nullptr;
  qxio_init_allocator(failing_alloc, nullptr, 0);
  qx_set_errno(0);
  int locked = QX_mutex_lock(&m);
  int err = QX_get_errno();
  qxio_init_allocator(nullptr, nullptr, 0);
  EXPECT_EQ(locked, 0);
  EXPECT_EQ(err, QX_ERR_UNKNOWN);
  EXPECT_EQ(m, nullptr);
  /* Nothing was locked, and the mutex works once memory is there. */
  EXPECT_EQ(QX_mutex_unlock(&m), 0);
  EXPECT_EQ(QX_mutex_lock(&m), 1);
  EXPECT_EQ(QX_mutex_unlock(&m), 1);
  QX_mutex_destroy(&m);
}

}  // namespace
