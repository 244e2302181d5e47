#include "ppapi/cpp/var.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ppapi/cpp/var_array.h"
#include "ppapi/cpp/var_dictionary.h"
#include "ppplatform/browser.h"

namespace {

class Thing : public pp::platform::ResourceObject {};

TEST(VarTest, TypesAndConversions) {
  EXPECT_TRUE(pp::Var().is_undefined());
  EXPECT_TRUE(pp::Var(pp::Var::Null()).is_null());
  EXPECT_TRUE(pp::Var(true).AsBool());
  EXPECT_TRUE(pp::Var(int32_t{5}).is_int());
  EXPECT_TRUE(pp::Var(5.5).is_double());
  EXPECT_TRUE(pp::Var(5.5).is_number());
  EXPECT_FALSE(pp::Var("5").is_number());
  EXPECT_EQ("text", pp::Var(std::string("text")).AsString());
  // Numbers become int32 by truncation toward zero.
  EXPECT_EQ(47, pp::Var(47.9).AsInt());
  EXPECT_EQ(-2, pp::Var(-2.7).AsInt());
  EXPECT_EQ(2147483647, pp::Var(1e12).AsInt());
  EXPECT_DOUBLE_EQ(3.0, pp::Var(int32_t{3}).AsDouble());
  // Another type gives the neutral value.
  EXPECT_EQ(0, pp::Var("47").AsInt());
  EXPECT_FALSE(pp::Var(int32_t{1}).AsBool());
  EXPECT_EQ("", pp::Var(1.0).AsString());
  EXPECT_TRUE(pp::Var(int32_t{1}).AsResource().is_null());
}

TEST(VarTest, EqualityByValueOrIdentity) {
  EXPECT_EQ(pp::Var("a"), pp::Var(std::string("a")));
  EXPECT_NE(pp::Var(int32_t{1}), pp::Var(1.0));
  pp::VarDictionary one;
  pp::VarDictionary same(one);
  EXPECT_EQ(one, same);
  EXPECT_NE(pp::Var(one), pp::Var(pp::VarDictionary()));
}

TEST(VarTest, DictionariesAreSharedBetweenCopies) {
  pp::VarDictionary data;
  EXPECT_TRUE(data.Set(pp::Var("videoTrack"), pp::Var(int32_t{1})));
  EXPECT_FALSE(data.Set(pp::Var(int32_t{1}), pp::Var(true)));
  pp::Var as_var = data;
  pp::VarDictionary view(as_var);
  view.Set(pp::Var("crop"), pp::Var("x"));
  EXPECT_TRUE(data.HasKey(pp::Var("crop")));
  EXPECT_TRUE(data.Get(pp::Var("missing")).is_undefined());
  view.Set(pp::Var("videoTrack"), pp::Var(int32_t{2}));
  EXPECT_EQ(2, data.Get(pp::Var("videoTrack")).AsInt());
  pp::VarArray keys = data.GetKeys();
  ASSERT_EQ(2u, keys.GetLength());
  EXPECT_EQ("videoTrack", keys.Get(0).AsString());
  EXPECT_EQ("crop", keys.Get(1).AsString());
  data.Delete(pp::Var("crop"));
  EXPECT_FALSE(view.HasKey(pp::Var("crop")));
  // A var that is no dictionary gives a null one.
  EXPECT_TRUE(pp::VarDictionary(pp::Var("text")).is_null());
  EXPECT_TRUE(pp::VarDictionary(pp::Var("text")).Get(pp::Var("a")).is_undefined());
}

TEST(VarTest, ArraysGrowAndKeepOrder) {
  pp::VarArray array;
  EXPECT_TRUE(array.Set(2, pp::Var("c")));
  EXPECT_EQ(3u, array.GetLength());
  EXPECT_TRUE(array.Get(0).is_undefined());
  EXPECT_TRUE(array.Get(9).is_undefined());
  EXPECT_TRUE(array.SetLength(1));
  EXPECT_EQ(1u, array.GetLength());
  EXPECT_TRUE(pp::VarArray(pp::Var(1.0)).is_null());
}

TEST(VarTest, ResourcesKeepTheirObjectAlive) {
  std::weak_ptr<pp::platform::ResourceObject> watch;
  pp::Var var;
  {
    auto thing = std::make_shared<Thing>();
    watch = thing;
    var = pp::Var(pp::Resource(thing));
  }
  ASSERT_TRUE(var.is_resource());
  EXPECT_FALSE(watch.expired());
  pp::Resource resource = var.AsResource();
  EXPECT_NE(0, resource.pp_resource());
  EXPECT_NE(nullptr, resource.object_as<Thing>());
  EXPECT_EQ(pp::Var(resource), var);
  var = pp::Var();
  resource = pp::Resource();
  EXPECT_TRUE(watch.expired());
  EXPECT_TRUE(pp::Var(pp::Resource()).is_null());
}

TEST(VarTest, DeepCopySharesNothingMutable) {
  pp::VarDictionary inner;
  inner.Set(pp::Var("width"), pp::Var(int32_t{640}));
  pp::VarArray list;
  list.Set(0, inner);
  pp::VarDictionary outer;
  outer.Set(pp::Var("list"), list);
  pp::VarDictionary copy(pp::platform::DeepCopy(outer));
  inner.Set(pp::Var("width"), pp::Var(int32_t{1}));
  pp::VarDictionary copied_inner(pp::VarArray(copy.Get(pp::Var("list"))).Get(0));
  EXPECT_EQ(640, copied_inner.Get(pp::Var("width")).AsInt());
  EXPECT_NE(pp::Var(outer), pp::Var(copy));
}

}  // namespace

namespace {

std::vector<std::string> KeysOf(const pp::VarDictionary& dictionary) {
  std::vector<std::string> names;
  pp::VarArray keys = dictionary.GetKeys();
  for (uint32_t i = 0; i < keys.GetLength(); ++i) names.push_back(keys.Get(i).AsString());
  return names;
}

}  // namespace

TEST(VarTest, DictionaryKeysKeepFirstSetOrderThroughChanges) {
  pp::VarDictionary dictionary;
  const int kCount = 20000;
  for (int i = kCount - 1; i >= 0; --i) dictionary.Set(pp::Var("k" + std::to_string(i)), pp::Var(i));
  // Setting again changes the value, not the place.
  dictionary.Set(pp::Var("k7"), pp::Var("seven"));
  for (int i = 0; i < kCount; i += 2) dictionary.Delete(pp::Var("k" + std::to_string(i)));
  // Back after a delete: at the end.
  dictionary.Set(pp::Var("k0"), pp::Var("zero"));
  std::vector<std::string> keys = KeysOf(dictionary);
  ASSERT_EQ(static_cast<size_t>(kCount / 2 + 1), keys.size());
  EXPECT_EQ("k19999", keys.front());
  EXPECT_EQ("k1", keys[keys.size() - 2]);
  EXPECT_EQ("k0", keys.back());
  for (int i = 0; i < kCount; ++i) {
    pp::Var key("k" + std::to_string(i));
    bool kept = i % 2 == 1 || i == 0;
    EXPECT_EQ(kept, dictionary.HasKey(key)) << i;
    if (i == 0) {
      EXPECT_EQ(pp::Var("zero"), dictionary.Get(key));
    } else if (i == 7) {
      EXPECT_EQ(pp::Var("seven"), dictionary.Get(key));
    } else if (kept) {
      EXPECT_EQ(pp::Var(i), dictionary.Get(key)) << i;
    } else {
      EXPECT_TRUE(dictionary.Get(key).is_undefined()) << i;
    }
  }
  // Copies share the dictionary, index included.
  pp::VarDictionary view(static_cast<pp::Var>(dictionary));
  view.Delete(pp::Var("k1"));
  EXPECT_FALSE(dictionary.HasKey(pp::Var("k1")));
  EXPECT_EQ(static_cast<size_t>(kCount / 2), KeysOf(dictionary).size());
}
