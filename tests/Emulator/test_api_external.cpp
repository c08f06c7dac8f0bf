/* External objects: the link atom's encoding, lookups, finalisation, walks and collection. */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api_fixture.h"
#include "atoms.h"

namespace {

struct finalized {
  void *data, *type_data;
};
std::vector<finalized> finalizer_calls;

void counting_finalizer(void *data, void *type_data)
{
  finalizer_calls.push_back({data, type_data});
}

/* Answers the link when its data is the argument, else null. */
void *match_data(QX_external_object_link link, void *argument)
{
  return QX_get_external_object_data(link) == argument ? link : nullptr;
}

/* Records the data of every link it sees and answers null. */
void *record_data(QX_external_object_link link, void *argument)
{
  ((std::vector<void *> *)argument)->push_back(QX_get_external_object_data(link));
  return nullptr;
}

class ExternalTest : public ApiTest {
protected:
  ExternalTest()
  {
    QX_map_external_objects(nullptr, finalize_all, nullptr, 2); /* whatever earlier tests left */
    finalizer_calls.clear();
    type = QX_register_external_object_type(counting_finalizer, nullptr, &type_word);
    other = QX_register_external_object_type(counting_finalizer, nullptr, &other_word);
  }
  ~ExternalTest() override
  {
    QX_map_external_objects(nullptr, finalize_all, nullptr, 2);
    finalizer_calls.clear();
  }
  static void *finalize_all(QX_external_object_link link, void *)
  {
    link->object_type->finalizer(link->data, link->object_type->type_data);
    QX_free(link);
    return link;
  }

  /* The term a link's putter builds. */
  QX_term_ref put(QX_external_object_link link)
  {
    QX_term_ref t = QX_new_term_ref();
    EXPECT_EQ(QX_put_external_object(t, link), 1);
    return t;
  }
  /* The data of the link that the term names, or "none". */
  static std::string lookup(QX_term_ref t)
  {
    QX_external_object_link link;
    if (!QX_get_external_object(t, &link)) return "none";
    return std::to_string((intptr_t)QX_get_external_object_data(link));
  }
  std::string lookup(const std::string &text) { return lookup(ref(text)); }
  std::vector<void *> walk(QX_external_object_type of)
  {
    std::vector<void *> seen;
    EXPECT_EQ(QX_map_external_objects(of, record_data, &seen, 0), nullptr);
    return seen;
  }
  static void *data(intptr_t n) { return (void *)n; }

  int type_word = 0, other_word = 0;
  QX_external_object_type type, other;
};

TEST_F(ExternalTest, LinkAtomSpellsTheAddressLeastSignificantDigitFirst)
{
  const struct {
    uintptr_t address;
    const char *name;
  } cases[] = {{0x12345678, "$ptr IHGFEDCB"},
               {0x10, "$ptr AB"},
               {0xF, "$ptr P"},
               {0xFFFFFFFF, "$ptr PPPPPPPP"}};
  for (const auto &c : cases) {
    QX_term_ref strong = QX_new_term_ref(), weak = QX_new_term_ref();
    ASSERT_EQ(QX_put_external_object_link(strong, (QX_external_object_link)c.address), 1);
    ASSERT_EQ(QX_put_weak_external_object_link(weak, (QX_external_object_link)c.address), 1);
    QX_atom a, b;
    ASSERT_TRUE(QX_get_atom(strong, &a) && QX_get_atom(weak, &b));
    EXPECT_STREQ(QX_string_from_atom(a), c.name);
    EXPECT_EQ(a, b);
  }
  QX_term_ref t = QX_new_term_ref();
  EXPECT_EQ(QX_put_external_object_link(t, nullptr), 0);
  EXPECT_EQ(QX_put_external_object(t, nullptr), 0);
}

TEST_F(ExternalTest, LookupAcceptsOnlyLettersAToPOfARegisteredLink)
{
  QX_external_object_link link = QX_register_external_object(data(7), type);
  ASSERT_NE(link, nullptr);
  QX_term_ref term = put(link);
  QX_atom name;
  int arity;
  ASSERT_TRUE(QX_get_functor(term, &name, &arity));
  EXPECT_STREQ(QX_string_from_atom(name), "$external_object");
  EXPECT_EQ(arity, 1);
  EXPECT_EQ(lookup(term), "7");
  /* only argument 1 counts, whatever the functor */
  QX_term_ref atom = QX_new_term_ref(), more = QX_new_term_ref(), any = QX_new_term_ref();
  ASSERT_EQ(QX_put_weak_external_object_link(atom, link), 1);
  ASSERT_TRUE(QX_cons_functor(any, QX_atom_from_string("any"), 2, atom, more));
  EXPECT_EQ(lookup(any), "7");
  EXPECT_EQ(lookup(atom), "none") << "the bare atom is no object term";
  const char *refused[] = {
      "f('$ptr 1')",
      "f('$ptr ')",
      "f('$ptr a')",
      "f('$ptr Q')",
      "f('$ptr AAAAAAAAA')",
      "f('$ptrA')",
      "f('$ptr IHGFEDCB')",
      "'$ptr IHGFEDCB'",
      "f(X)",
      "f(1)",
      "['$ptr AB']",
      "g",
  };
  for (const char *text : refused) EXPECT_EQ(lookup(text), "none") << text;
}

TEST_F(ExternalTest, UnlinkAndFinalizeHappenOnce)
{
  QX_external_object_link kept = QX_register_external_object(data(1), type);
  QX_external_object_link gone = QX_register_external_object(data(2), type);
  QX_term_ref kept_term = put(kept), gone_term = put(gone);

  /* finalised through its term: once, with the data and the type's word */
  int found = -1;
  EXPECT_EQ(QX_finalize_external_object(gone_term, &found), 1);
  EXPECT_EQ(found, 1);
  ASSERT_EQ(finalizer_calls.size(), 1u);
  EXPECT_EQ(finalizer_calls[0].data, data(2));
  EXPECT_EQ(finalizer_calls[0].type_data, &type_word);
  EXPECT_EQ(QX_finalize_external_object(gone_term, &found), 0);
  EXPECT_EQ(found, 0);
  EXPECT_EQ(lookup(gone_term), "none");
  EXPECT_EQ(finalizer_calls.size(), 1u);

  /* unlinked without finalising: no longer decodes, and the finaliser never runs */
  EXPECT_EQ(QX_unlink_external_object(kept, 0), 1);
  EXPECT_EQ(lookup(kept_term), "none");
  EXPECT_EQ(QX_unlink_external_object(kept, 1), 0);
  EXPECT_EQ(QX_finalize_external_object(kept_term, &found), 0);
  EXPECT_EQ(finalizer_calls.size(), 1u);
  QX_free(kept);
}

TEST_F(ExternalTest, WalkModesPutBackLeaveOutOrGoOn)
{
  QX_external_object_link a1 = QX_register_external_object(data(1), type);
  QX_external_object_link b = QX_register_external_object(data(10), other);
  QX_external_object_link a2 = QX_register_external_object(data(2), type);
  QX_external_object_link a3 = QX_register_external_object(data(3), type);
  (void)a2;
  (void)a3;
  EXPECT_EQ(walk(type), (std::vector<void *>{data(3), data(2), data(1)}));
  EXPECT_EQ(walk(nullptr), (std::vector<void *>{data(3), data(2), data(10), data(1)}));

  /* mode 0: the found link moves to the head */
  EXPECT_EQ(QX_map_external_objects(type, match_data, data(1), 0), a1);
  EXPECT_EQ(walk(nullptr), (std::vector<void *>{data(1), data(3), data(2), data(10)}));
  /* a link of another type is not offered */
  EXPECT_EQ(QX_map_external_objects(type, match_data, data(10), 0), nullptr);
  EXPECT_EQ(walk(nullptr).size(), 4u);

  /* mode 1: the found link stays out and the walk stops */
  EXPECT_EQ(QX_map_external_objects(nullptr, match_data, data(3), 1), a3);
  EXPECT_EQ(walk(nullptr), (std::vector<void *>{data(1), data(2), data(10)}));
  QX_free(a3);

  /* mode 2: every found link stays out and the walk goes on to the end */
  std::vector<QX_external_object_link> taken;
  auto collect = [](QX_external_object_link link, void *list) -> void * {
    ((std::vector<QX_external_object_link> *)list)->push_back(link);
    return link;
  };
  EXPECT_EQ(QX_map_external_objects(type, collect, &taken, 2), nullptr);
  EXPECT_EQ(taken, (std::vector<QX_external_object_link>{a1, a2}));
  EXPECT_EQ(walk(nullptr), (std::vector<void *>{data(10)}));
  for (QX_external_object_link link : taken) QX_free(link);
  EXPECT_EQ(QX_get_external_object_type(b), other);
  EXPECT_TRUE(finalizer_calls.empty());
}

TEST_F(ExternalTest, CollectionFinalisesLinksWhoseAtomIsAbsentExactlyOnce)
{
  QX_external_object_link never_named = QX_register_external_object(data(1), type);
  QX_external_object_link named = QX_register_external_object(data(2), type);
  QX_external_object_link of_other = QX_register_external_object(data(3), other);
  QX_term_ref named_term = put(named);
  EXPECT_EQ(QX_garbage_collect_external_objects(type), 1);
  ASSERT_EQ(finalizer_calls.size(), 1u);
  EXPECT_EQ(finalizer_calls[0].data, data(1));
  EXPECT_EQ(QX_garbage_collect_external_objects(type), 0);
  EXPECT_EQ(finalizer_calls.size(), 1u);
  EXPECT_EQ(lookup(named_term), "2");
  /* a null type matches every type */
  EXPECT_EQ(QX_garbage_collect_external_objects(nullptr), 1);
  EXPECT_EQ(finalizer_calls.back().data, data(3));
  EXPECT_EQ(walk(nullptr), (std::vector<void *>{data(2)}));
  (void)never_named;
  (void)of_other;
}

}  // namespace
