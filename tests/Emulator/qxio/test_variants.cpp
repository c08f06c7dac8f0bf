// Variants, argument lists, time-out conversion and the chained hash table.
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <limits>
#include <string>
#include <vector>

#include "qxio.h"

namespace {

qxio_t_variant string_variant(const char *text, uint32_t extra_flags = QXIO_VARIANT_FLAG_NOT_OWNED)
{
  return {QXIO_VARIANT_STRING | extra_flags, {.string = text}};
}
qxio_t_variant int_variant(int32_t value) { return {QXIO_VARIANT_INT, {.integer = value}}; }
qxio_t_variant pointer_variant(void *value) { return {QXIO_VARIANT_POINTER, {.pointer = value}}; }
qxio_t_variant flags_variant(uint32_t value) { return {QXIO_VARIANT_FLAGS, {.flags = value}}; }
qxio_t_variant int64_variant(int64_t value) { return {QXIO_VARIANT_INT64, {.int64 = value}}; }

// ---- argument lists ----

TEST(ArgLists, FirstMatchingKeyWinsAndEndStopsTheSearch)
{
  int target = 0;
  const qxio_t_property list[] = {qxio_arg_string("pathname", "/tmp/first"),
                                  qxio_arg_pointer("read-char-coder qxio_t_coder", &target),
                                  qxio_arg_string("pathname", "/tmp/second"), qxio_arg_end(),
                                  qxio_arg_string("hidden", "x")};
  const char *path = nullptr;
  ASSERT_EQ(0, qxio_get_arg_string(list, "pathname", &path));
  EXPECT_STREQ("/tmp/first", path);
  void *pointer = nullptr;
  ASSERT_EQ(0, qxio_get_arg(list, "read-char-coder qxio_t_coder", QXIO_VARIANT_POINTER, &pointer));
  EXPECT_EQ(&target, pointer);
  EXPECT_EQ(QXIO_E_NOT_FOUND, qxio_get_arg_string(list, "hidden", &path));
  EXPECT_EQ(QXIO_E_NOT_FOUND, qxio_get_arg_string(list, "pathnam", &path));
  const qxio_t_variant *variant = nullptr;
  ASSERT_EQ(0, qxio_get_arg_variant(list, "pathname", &variant));
  EXPECT_EQ(&list[0].v, variant);
}

TEST(ArgLists, EmptyListFindsNothing)
{
  const qxio_t_property list[] = {qxio_arg_end()};
  const qxio_t_variant *variant = nullptr;
  EXPECT_EQ(QXIO_E_NOT_FOUND, qxio_get_arg_variant(list, "pathname", &variant));
  EXPECT_EQ(nullptr, variant);
}

TEST(ArgLists, TypeMismatchIsNotFoundAndUnfetchableTypesAreNotSupported)
{
  const qxio_t_property list[] = {qxio_arg_int("count", 42), qxio_arg_string("name", "n"),
                                  qxio_arg_end()};
  void *value = nullptr;
  EXPECT_EQ(QXIO_E_NOT_FOUND, qxio_get_arg(list, "count", QXIO_VARIANT_STRING, &value));
  EXPECT_EQ(QXIO_E_NOT_SUPPORTED, qxio_get_arg(list, "count", QXIO_VARIANT_INT, &value));
  EXPECT_EQ(QXIO_E_NOT_FOUND, qxio_get_arg(list, "name", QXIO_VARIANT_POINTER, &value));
  EXPECT_EQ(QXIO_E_NOT_FOUND, qxio_get_arg(list, "missing", QXIO_VARIANT_INT, &value));
  EXPECT_EQ(nullptr, value);
  const qxio_t_variant *variant = nullptr;
  ASSERT_EQ(0, qxio_get_arg_variant(list, "count", &variant));
  EXPECT_EQ(42, variant->u.integer);
}

// ---- variants ----

TEST(Variants, FreeReleasesOwnedStringsAndAllocatedRecords)
{
  qxio_t_variant owned = string_variant(qxio_alloc_string("owned"), 0);
  qxio_variant_free(&owned);  // a leak here is caught by the leak checker
  EXPECT_EQ(0u, owned.flags);

  char stack_text[] = "stack";
  qxio_t_variant borrowed = string_variant(stack_text);
  qxio_variant_free(&borrowed);  // freeing the stack text would be caught
  EXPECT_EQ(0u, borrowed.flags);
  EXPECT_STREQ("stack", stack_text);

  qxio_t_variant *record = static_cast<qxio_t_variant *>(qxio_alloc(sizeof(qxio_t_variant)));
  *record = string_variant(qxio_alloc_string("both"), QXIO_VARIANT_FLAG_ALLOCATED);
  qxio_variant_free(record);  // frees value and record

  qxio_variant_free(nullptr);
}

// ---- time-outs ----

TEST(Timeouts, SecondsSplitIntoWholeSecondsAndNanoseconds)
{
  qxio_t_timespec ts{-1, -1};
  ASSERT_EQ(0, qxio_double_to_timespec(1.5, &ts));
  EXPECT_EQ(1, ts.sec);
  EXPECT_EQ(500000000, ts.nsec);
  ASSERT_EQ(0, qxio_double_to_timespec(0.0, &ts));
  EXPECT_EQ(0, ts.sec);
  EXPECT_EQ(0, ts.nsec);
  ASSERT_EQ(0, qxio_double_to_timespec(86400.25, &ts));
  EXPECT_EQ(86400, ts.sec);
  EXPECT_EQ(250000000, ts.nsec);
  ASSERT_EQ(0, qxio_double_to_timespec(2147483647.0, &ts));
  EXPECT_EQ(2147483647L, ts.sec);
}

TEST(Timeouts, NanosecondsStayBelowOneSecond)
{
  qxio_t_timespec ts{};
  ASSERT_EQ(0, qxio_double_to_timespec(std::nextafter(1.0, 0.0), &ts));
  EXPECT_EQ(0, ts.sec);
  EXPECT_LE(ts.nsec, 999999999L);
  EXPECT_GE(ts.nsec, 999999998L);
}

TEST(Timeouts, NegativeHugeAndNotANumberAreRejected)
{
  qxio_t_timespec ts{7, 7};
  const double bad[] = {-0.001,
                        -1.0,
                        2147483648.0,
                        1e300,
                        std::numeric_limits<double>::infinity(),
                        -std::numeric_limits<double>::infinity(),
                        std::numeric_limits<double>::quiet_NaN(),
                        -std::numeric_limits<double>::quiet_NaN()};
  for (double seconds : bad) {
    EXPECT_EQ(QXIO_E_PARAMETER_ERROR, qxio_double_to_timespec(seconds, &ts)) << seconds;
    EXPECT_EQ(7, ts.sec);
    EXPECT_EQ(7, ts.nsec);
  }
}

// ---- hash table ----

class HashTable : public ::testing::Test {
protected:
  qxio_t_hash *hash = nullptr;
  void SetUp() override { ASSERT_EQ(0, qxio_hash_new(&hash)); }
  void TearDown() override { qxio_hash_free(hash); }
  size_t chain_length(size_t chain)
  {
    size_t n = 0;
    for (qxio_t_hash_link *link = hash->links[chain]; link != nullptr; link = link->next) n++;
    return n;
  }
};

TEST_F(HashTable, NewTableHasThirteenEmptyChains)
{
  EXPECT_EQ(13u, hash->nlinks);
  EXPECT_EQ(0u, qxio_hash_nentries(hash));
  for (size_t i = 0; i < 13; i++) EXPECT_EQ(nullptr, hash->links[i]);
}

TEST_F(HashTable, SameStringKeyTwiceKeepsTheFirstValue)
{
  qxio_t_variant one = int_variant(1), two = int_variant(2);
  ASSERT_EQ(0, qxio_hash_put_string(hash, "key", &one));
  EXPECT_EQ(QXIO_E_FOUND, qxio_hash_put_string(hash, "key", &two));
  EXPECT_EQ(1u, qxio_hash_nentries(hash));
  qxio_t_variant *value = nullptr;
  ASSERT_EQ(0, qxio_hash_get_string(hash, "key", &value));
  EXPECT_EQ(1, value->u.integer);
}

TEST_F(HashTable, StringAndPointerWithTheSameHashAreDifferentKeys)
{
  // "a" hashes to 97, and so does a pointer with the value 97: both land in chain 97 % 13
  qxio_t_variant pointer_key = pointer_variant(reinterpret_cast<void *>(97));
  qxio_t_variant for_string = int_variant(10), for_pointer = int_variant(20);
  ASSERT_EQ(0, qxio_hash_put_string(hash, "a", &for_string));
  ASSERT_EQ(0, qxio_hash_put(hash, &pointer_key, &for_pointer));
  EXPECT_EQ(2u, chain_length(97 % 13));
  qxio_t_variant *value = nullptr;
  ASSERT_EQ(0, qxio_hash_get_string(hash, "a", &value));
  EXPECT_EQ(10, value->u.integer);
  ASSERT_EQ(0, qxio_hash_get(hash, &pointer_key, &value));
  EXPECT_EQ(20, value->u.integer);
  ASSERT_EQ(0, qxio_hash_delete_string(hash, "a"));
  EXPECT_EQ(QXIO_E_NOT_FOUND, qxio_hash_get_string(hash, "a", nullptr));
  EXPECT_EQ(0, qxio_hash_get(hash, &pointer_key, nullptr));
}

TEST_F(HashTable, ChainsFollowTheStringAndIntegerHashes)
{
  // "ab" = 97 * 31 + 98 = 3105, 3105 % 13 = 11; the empty string hashes to 0
  qxio_t_variant v = int_variant(0);
  ASSERT_EQ(0, qxio_hash_put_string(hash, "ab", &v));
  ASSERT_EQ(0, qxio_hash_put_string(hash, "", &v));
  EXPECT_EQ(1u, chain_length(11));
  EXPECT_EQ(1u, chain_length(0));
  // the integer -1 sign-extends: (2^64 - 1) % 13 = 2; the flag set 0xFFFFFFFF zero-extends:
  // (2^32 - 1) % 13 = 8
  qxio_t_variant minus_one = int_variant(-1), all_flags = flags_variant(0xFFFFFFFFu);
  ASSERT_EQ(0, qxio_hash_put(hash, &minus_one, &v));
  ASSERT_EQ(0, qxio_hash_put(hash, &all_flags, &v));
  EXPECT_EQ(1u, chain_length(2));
  EXPECT_EQ(1u, chain_length(8));
}

TEST_F(HashTable, SixtyFourBitKeysNeverMatchAnotherRecord)
{
  qxio_t_variant key = int64_variant(5), v = int_variant(1);
  ASSERT_EQ(0, qxio_hash_put(hash, &key, &v));
  ASSERT_EQ(0, qxio_hash_put(hash, &key, &v));
  EXPECT_EQ(2u, qxio_hash_nentries(hash));
  EXPECT_EQ(QXIO_E_NOT_FOUND, qxio_hash_get(hash, &key, nullptr));
  EXPECT_EQ(QXIO_E_NOT_FOUND, qxio_hash_delete(hash, &key));
  // the stored key record itself is equal to itself
  const qxio_t_variant *stored = &hash->links[(~static_cast<uint64_t>(0)) % 13]->key;
  EXPECT_EQ(0, qxio_hash_get(hash, stored, nullptr));
}

TEST_F(HashTable, PutCopiesStringsIntoOwnedStorage)
{
  char key_text[] = "name";
  char value_text[] = "value";
  qxio_t_variant value = string_variant(value_text);
  ASSERT_EQ(0, qxio_hash_put_string(hash, key_text, &value));
  strcpy(key_text, "XXXX");
  strcpy(value_text, "YYYYY");
  qxio_t_variant *stored = nullptr;
  ASSERT_EQ(0, qxio_hash_get_string(hash, "name", &stored));
  EXPECT_STREQ("value", stored->u.string);
  EXPECT_NE(value_text, stored->u.string);
  EXPECT_EQ(QXIO_E_NOT_FOUND, qxio_hash_get_string(hash, "XXXX", nullptr));
  ASSERT_EQ(0, qxio_hash_delete_string(hash, "name"));  // the copies are freed
  EXPECT_EQ(QXIO_E_NOT_FOUND, qxio_hash_delete_string(hash, "name"));
  EXPECT_EQ(0u, qxio_hash_nentries(hash));
}

struct map_log {
  std::vector<int> seen;
  int stop_at;  // the call (from 1) that answers -5; 0 for none
};

qxio_t_error_code log_entry(const qxio_t_variant *key, qxio_t_variant *value, void *data)
{
  map_log *log = static_cast<map_log *>(data);
  log->seen.push_back(key->u.integer);
  if (static_cast<int>(log->seen.size()) == log->stop_at) return -5;
  return 100 + key->u.integer;
}

TEST_F(HashTable, MapWalksChainByChainInChainOrder)
{
  map_log log{{}, 0};
  EXPECT_EQ(QXIO_E_ERROR, qxio_hash_map(hash, log_entry, &log));
  EXPECT_TRUE(log.seen.empty());
  for (int i : {13, 0, 14, 1, 25}) {
    qxio_t_variant key = int_variant(i), value = int_variant(0);
    ASSERT_EQ(0, qxio_hash_put(hash, &key, &value));
  }
  EXPECT_EQ(125, qxio_hash_map(hash, log_entry, &log));  // the last callback's answer
  EXPECT_EQ((std::vector<int>{13, 0, 14, 1, 25}), log.seen);
  log = {{}, 3};
  EXPECT_EQ(-5, qxio_hash_map(hash, log_entry, &log));
  EXPECT_EQ((std::vector<int>{13, 0, 14}), log.seen);
}

qxio_t_error_code delete_visited(const qxio_t_variant *key, qxio_t_variant *value, void *data)
{
  return qxio_hash_delete(static_cast<qxio_t_hash *>(data), key);
}

TEST_F(HashTable, MapCallbackMayDeleteTheEntryItIsGiven)
{
  for (const char *text : {"x", "y", "z", "xx", "yy"}) {
    qxio_t_variant value = string_variant(text);
    ASSERT_EQ(0, qxio_hash_put_string(hash, text, &value));
  }
  EXPECT_EQ(0, qxio_hash_map(hash, delete_visited, hash));
  EXPECT_EQ(0u, qxio_hash_nentries(hash));
}

}  // namespace
