#include "runtime/hash_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/list.h"
#include "runtime/memory.h"
#include "runtime/runtime_test_support.h"
#include "runtime/string_stack.h"

namespace {

// A value holding a map and a list of records besides its own string.
struct Folder {
  char16_t* name;
  Map* index;
  ListField items;
};
const StructureDescriptor kFolderDescriptor[] = {offsetof(Folder, name),
                                                 DescMap,
                                                 offsetof(Folder, index),
                                                 sizeof(Record),
                                                 11,
                                                 DescriptorWordOf(kRecordDescriptor),
                                                 8,
                                                 DescList,
                                                 offsetof(Folder, items),
                                                 sizeof(Record),
                                                 DescriptorWordOf(kRecordDescriptor),
                                                 12,
                                                 DescEnd};

class MapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterMapHooks();
    RegisterListHooks();
  }
  void TearDown() override {
    FreeMap(map_);
    FreeMap(other_);
  }

  // Keys in iteration order; moves the position.
  static std::vector<std::u16string> Keys(Map* map) {
    std::vector<std::u16string> keys;
    ResetMap(map);
    while (void* value = NextMapElement(map))
      keys.emplace_back(MapElementKey(value));
    return keys;
  }

  static int64_t* AddNumber(Map* map, const char16_t* key, int64_t number) {
    auto* value = static_cast<int64_t*>(AddMapElement(map, key, 1));
    *value = number;
    return value;
  }

  Map* map_ = nullptr;
  Map* other_ = nullptr;
};

TEST(MapHash, MultipliesBy65599AndWrapsAt32Bits) {
  EXPECT_EQ(HashKey(u"A"), 65u);
  EXPECT_EQ(HashKey(u"AB"), 4264001u);
  EXPECT_EQ(HashKey(u"ABC"), 541327426u);
  EXPECT_EQ(HashKey(u"Brevik"), 2355624899u);
  EXPECT_EQ(HashKey(u""), 0u);
  EXPECT_EQ(HashKey(nullptr), 0u);
  EXPECT_EQ(HashKeyNoCase(u"bREVIK"), HashKey(u"brevik"));
  EXPECT_NE(HashKey(u"bREVIK"), HashKey(u"brevik"));
}

TEST_F(MapTest, ZeroAndOneBucketsGiveOneWorkingChain) {
  for (int32_t buckets : {0, 1, -3}) {
    ASSERT_NE(NewMap(8, 0, nullptr, &map_, buckets), nullptr);
    EXPECT_EQ(map_->bucket_count, 1u);
    AddNumber(map_, u"a", 1);
    AddNumber(map_, u"b", 2);
    AddNumber(map_, u"c", 3);
    EXPECT_EQ(Keys(map_), (std::vector<std::u16string>{u"c", u"b", u"a"}));
    ASSERT_NE(FindMapElement(map_, u"b"), nullptr);
    DeleteMapElement(map_);
    EXPECT_EQ(FindMapElement(map_, u"b"), nullptr);
    EXPECT_EQ(*static_cast<int64_t*>(FindMapElement(map_, u"a")), 1);
    EXPECT_EQ(*static_cast<int64_t*>(FindMapElement(map_, u"c")), 3);
    EXPECT_EQ(map_->element_count, 2u);
  }
}

TEST_F(MapTest, ReplaceModeReturnsTheSameValueZeroedAndModeZeroShadows) {
  NewMap(24, 0, nullptr, &map_, 16);
  void* first = AddMapElement(map_, u"key", 1);
  std::memset(first, 0xAB, 24);
  void* again = AddMapElement(map_, u"key", 1);
  EXPECT_EQ(again, first);
  const unsigned char zeros[24] = {};
  EXPECT_EQ(std::memcmp(again, zeros, sizeof(zeros)), 0);
  EXPECT_EQ(map_->element_count, 1u);

  void* twin = AddMapElement(map_, u"key", 0);
  EXPECT_NE(twin, first);
  EXPECT_EQ(map_->element_count, 2u);
  EXPECT_EQ(FindMapElement(map_, u"key"), twin);
  DeleteMapElement(map_);
  EXPECT_EQ(FindMapElement(map_, u"key"), first);
}

TEST_F(MapTest, ReplaceModeReleasesAndRenewsTheOldValue) {
  NewMap(sizeof(Folder), 0, kFolderDescriptor, &map_, 8);
  ASSERT_TRUE(map_->flags & MapInitValues);
  auto* folder = static_cast<Folder*>(AddMapElement(map_, u"docs", 1));
  ASSERT_NE(folder->index, nullptr);
  ASSERT_NE(folder->items.list, nullptr);
  const int64_t renewed = LiveHeapBytes();
  AssignString(&folder->name, u"Documents");
  auto* record = static_cast<Record*>(AddMapElement(folder->index, u"a", 1));
  AssignString(&record->name, u"a.txt");
  AddElement(folder->items.list);

  EXPECT_EQ(AddMapElement(map_, u"docs", 1), folder);
  EXPECT_EQ(folder->name, nullptr);
  ASSERT_NE(folder->index, nullptr);
  EXPECT_EQ(folder->index->element_count, 0u);
  EXPECT_EQ(folder->items.list->count, 0);
  EXPECT_EQ(LiveHeapBytes(), renewed);
}

TEST_F(MapTest, FindOrAddCreatesZeroedOrReturnsTheExistingValue) {
  NewMap(8, 0, nullptr, &map_, 16);
  auto* value = static_cast<int64_t*>(FindOrAddMapElement(map_, u"new"));
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(*value, 0);
  *value = 77;
  EXPECT_EQ(FindOrAddMapElement(map_, u"new"), value);
  EXPECT_EQ(*value, 77);
  EXPECT_EQ(map_->element_count, 1u);
  // A null key is the empty key.
  void* empty = FindOrAddMapElement(map_, nullptr);
  EXPECT_EQ(FindMapElement(map_, u""), empty);
}

TEST_F(MapTest, DeletingEveryElementDuringOneIterationVisitsEachOnce) {
  for (int32_t buckets : {1, 7, 1024}) {
    NewMap(8, 0, nullptr, &map_, buckets);
    std::vector<std::u16string> inserted;
    for (int i = 0; i < 100; ++i) {
      inserted.push_back(u"k" + std::u16string(1, static_cast<char16_t>(u'0' + i % 10)) +
                         std::u16string(1, static_cast<char16_t>(u'0' + i / 10)));
      AddNumber(map_, inserted.back().c_str(), i);
    }
    std::vector<std::u16string> visited;
    ResetMap(map_);
    while (void* value = NextMapElement(map_)) {
      visited.emplace_back(MapElementKey(value));
      DeleteMapElement(map_);
    }
    std::sort(inserted.begin(), inserted.end());
    std::sort(visited.begin(), visited.end());
    EXPECT_EQ(visited, inserted) << buckets << " buckets";
    EXPECT_EQ(map_->element_count, 0u);
    EXPECT_TRUE(Keys(map_).empty());
  }
}

TEST_F(MapTest, DeletingEveryOtherElementKeepsTheRestInOrder) {
  NewMap(8, 0, nullptr, &map_, 3);
  for (const char16_t* key : {u"a", u"b", u"c", u"d", u"e", u"f", u"g"})
    AddNumber(map_, key, 0);
  const std::vector<std::u16string> all = Keys(map_);
  std::vector<std::u16string> kept;
  ResetMap(map_);
  bool drop = true;
  while (void* value = NextMapElement(map_)) {
    if (drop) {
      DeleteMapElement(map_);
    } else {
      kept.emplace_back(MapElementKey(value));
    }
    drop = !drop;
  }
  EXPECT_EQ(kept.size(), all.size() / 2);
  EXPECT_EQ(Keys(map_), kept);
}

TEST_F(MapTest, DeleteAfterFindLetsTheIterationContinue) {
  NewMap(8, 0, nullptr, &map_, 1);
  for (const char16_t* key : {u"a", u"b", u"c"})
    AddNumber(map_, key, 0);  // chain c, b, a
  ASSERT_NE(FindMapElement(map_, u"b"), nullptr);
  void* back = DeleteMapElement(map_);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(Text(MapElementKey(back)), u"c");
  EXPECT_EQ(Text(MapElementKey(NextMapElement(map_))), u"a");
  EXPECT_EQ(NextMapElement(map_), nullptr);
  EXPECT_EQ(DeleteMapElement(map_), nullptr);

  ASSERT_NE(FindMapElement(map_, u"c"), nullptr);
  EXPECT_EQ(DeleteMapElement(map_), nullptr);
  EXPECT_EQ(Text(MapElementKey(NextMapElement(map_))), u"a");

  // The head of a later bucket: the walk goes on from that bucket, not from the start.
  NewMap(8, 0, nullptr, &other_, 4);
  other_->flags |= MapIntegerKeys;
  for (int64_t key : {4, 1, 5, 2})
    AddMapElementByNumber(other_, key, 0);
  ASSERT_NE(FindMapElementByNumber(other_, 5), nullptr);
  EXPECT_EQ(DeleteMapElement(other_), nullptr);
  std::vector<int64_t> rest;
  while (void* value = NextMapElement(other_))
    rest.push_back(MapElementNumber(value));
  EXPECT_EQ(rest, (std::vector<int64_t>{1, 2}));
}

// Regression: a failed lookup must not leave a wrong predecessor behind for the delete.
TEST_F(MapTest, FailedFindLeavesTheCurrentElementDeletable) {
  NewMap(8, 0, nullptr, &map_, 1);
  AddNumber(map_, u"a", 1);
  AddNumber(map_, u"b", 2);  // chain b, a
  ASSERT_NE(FindMapElement(map_, u"a"), nullptr);
  EXPECT_EQ(FindMapElement(map_, u"missing"), nullptr);
  DeleteMapElement(map_);
  EXPECT_EQ(Keys(map_), std::vector<std::u16string>{u"b"});
  EXPECT_EQ(map_->element_count, 1u);
}

TEST_F(MapTest, NoCaseKeysFindTheSameElement) {
  InitLocale();
  NewMap(8, 0, nullptr, &map_, 64);
  map_->flags |= MapNoCase;
  int64_t* value = AddNumber(map_, u"Disk Image", 5);
  EXPECT_EQ(FindMapElement(map_, u"dISK iMAGE"), value);
  EXPECT_EQ(AddMapElement(map_, u"DISK IMAGE", 1), value);
  EXPECT_EQ(map_->element_count, 1u);
  int64_t* umlaut = AddNumber(map_, u"\u00C4pfel", 6);
  EXPECT_EQ(FindMapElement(map_, u"\u00E4PFEL"), umlaut);

  NewMap(8, 0, nullptr, &other_, 64);
  AddNumber(other_, u"Disk Image", 5);
  EXPECT_EQ(FindMapElement(other_, u"disk image"), nullptr);
}

// Keys of 15 units and less live in the key pool, copied by width class; longer ones on the
// heap. Every length is stored unit for unit, and keys that share a bucket and a hash prefix
// are still told apart by their units.
TEST_F(MapTest, KeysOfEveryLengthAreKeptToldApartAndReleased) {
  std::vector<std::u16string> keys;
  for (size_t length : {0, 1, 2, 3, 4, 5, 7, 8, 9, 11, 14, 15, 16, 300}) {
    std::u16string key;
    for (size_t i = 0; i < length; ++i)
      key += static_cast<char16_t>(u'a' + i % 26 + (i / 26) * 0x100);
    keys.push_back(key);
  }
  const int64_t heap_before = LiveHeapBytes();
  NewMap(8, 0, nullptr, &map_, 1);
  for (const std::u16string& key : keys)
    AddNumber(map_, key.c_str(), static_cast<int64_t>(key.size()));
  AddNumber(map_, u"ab", 2);
  for (const std::u16string& key : keys) {
    auto* value = static_cast<int64_t*>(FindMapElement(map_, key.c_str()));
    ASSERT_NE(value, nullptr) << key.size();
    EXPECT_EQ(*value, static_cast<int64_t>(key.size()));
    EXPECT_EQ(std::u16string(MapElementKey(value)), key);
  }
  EXPECT_EQ(FindMapElement(map_, u"abcdefghijklmnp"), nullptr);
  EXPECT_EQ(FindMapElement(map_, u"ba"), nullptr);
  FreeMap(map_);
  if (kHeapCounted) {
    EXPECT_EQ(LiveHeapBytes(), heap_before);
  }
}

TEST_F(MapTest, NegativeIntegerKeysLandInsideTheBucketArray) {
  NewMap(8, 0, nullptr, &map_, 1024);
  map_->flags |= MapIntegerKeys;
  const int64_t keys[] = {-1, -1024, -1025, INT64_MIN, INT64_MAX, 0, 5};
  for (int64_t key : keys)
    *static_cast<int64_t*>(AddMapElementByNumber(map_, key, 1)) = key / 2;
  for (int64_t key : keys) {
    auto* value = static_cast<int64_t*>(FindMapElementByNumber(map_, key));
    ASSERT_NE(value, nullptr) << key;
    EXPECT_EQ(*value, key / 2);
    EXPECT_EQ(MapElementNumber(value), key);
  }
  // As unsigned numbers -1, -1025 and 2^63 - 1 all leave 1023 when divided by 1024.
  std::vector<int64_t> last_bucket;
  for (MapElement* element = map_->buckets[1023]; element; element = element->next) {
    last_bucket.push_back(element->key.number);
  }
  EXPECT_EQ(last_bucket, (std::vector<int64_t>{INT64_MAX, -1025, -1}));
  EXPECT_EQ(FindMapElementByNumber(map_, -2), nullptr);
  // String operations do not apply to integer keys, nor the reverse.
  EXPECT_EQ(AddMapElement(map_, u"1", 1), nullptr);
  EXPECT_EQ(FindMapElement(map_, u"1"), nullptr);
  NewMap(8, 0, nullptr, &other_, 16);
  EXPECT_EQ(AddMapElementByNumber(other_, 1, 1), nullptr);
}

TEST_F(MapTest, CopyRefusesDifferentTypesSizesAndKeyKinds) {
  NewMap(8, 1, nullptr, &map_, 16);
  AddNumber(map_, u"a", 1);
  NewMap(8, 2, nullptr, &other_, 16);
  EXPECT_EQ(CopyMap(map_, 1, other_, 2, 1), 0);
  EXPECT_EQ(other_->element_count, 0u);
  EXPECT_EQ(CopyMap(map_, 1, nullptr, 1, 1), 0);
  NewMap(16, 1, nullptr, &other_, 16);
  EXPECT_EQ(CopyMap(map_, 1, other_, 1, 1), 0);
  NewMap(8, 1, nullptr, &other_, 16);
  other_->flags |= MapIntegerKeys;
  EXPECT_EQ(CopyMap(map_, 1, other_, 1, 1), 0);
  EXPECT_EQ(other_->element_count, 0u);
}

TEST_F(MapTest, CopyDuplicatesValuesDeeplyAndKeepsTheSourcePosition) {
  NewMap(sizeof(Record), 4, kRecordDescriptor, &map_, 16);
  for (const char16_t* key : {u"a", u"b", u"c"}) {
    auto* record = static_cast<Record*>(AddMapElement(map_, key, 1));
    AssignString(&record->name, key);
    record->number = key[0];
  }
  Record* b = static_cast<Record*>(FindMapElement(map_, u"b"));
  NewMap(sizeof(Record), 4, kRecordDescriptor, &other_, 3);
  AssignString(&static_cast<Record*>(AddMapElement(other_, u"a", 1))->note, u"old");
  AddMapElement(other_, u"z", 1);

  ASSERT_EQ(CopyMap(map_, 4, other_, 4, 0), 1);
  EXPECT_EQ(map_->current, reinterpret_cast<MapElement*>(b) - 1);
  EXPECT_EQ(other_->element_count, 5u);  // "a" twice, "z" kept

  ASSERT_EQ(CopyMap(map_, 4, other_, 4, 1), 1);
  std::vector<std::u16string> keys = Keys(other_);
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(keys, (std::vector<std::u16string>{u"a", u"b", u"c"}));
  auto* copied = static_cast<Record*>(FindMapElement(other_, u"b"));
  EXPECT_NE(copied->name, b->name);
  EXPECT_EQ(Text(copied->name), u"b");
  EXPECT_EQ(copied->number, u'b');
  AssignString(&b->name, u"changed");
  EXPECT_EQ(Text(copied->name), u"b");

  EXPECT_EQ(CopyMap(map_, 4, map_, 4, 1), 1);
  EXPECT_EQ(map_->element_count, 3u);
}

TEST_F(MapTest, FreeMapNullsItsVariableAndNewMapFreesTheOldOne) {
  const int64_t before = LiveHeapBytes();
  NewMap(sizeof(Record), 0, kRecordDescriptor, &map_, 32);
  AssignString(&static_cast<Record*>(AddMapElement(map_, u"k", 1))->name, u"value");
  ASSERT_NE(NewMap(sizeof(Record), 0, kRecordDescriptor, &map_, 32), nullptr);
  EXPECT_NE(map_, nullptr);
  EXPECT_EQ(map_->element_count, 0u);
  FreeMap(map_);
  EXPECT_EQ(map_, nullptr);
  EXPECT_EQ(LiveHeapBytes(), before);
  FreeMap(nullptr);
}

TEST_F(MapTest, MapsOfOneValueSizeShareAPool) {
  NewMap(40, 0, nullptr, &map_, 4);
  NewMap(40, 9, nullptr, &other_, 8);
  Map* third = nullptr;
  NewMap(48, 0, nullptr, &third, 4);
  EXPECT_EQ(map_->pool, other_->pool);
  EXPECT_NE(third->pool, map_->pool);
  FreeMap(third);
  AddMapElement(map_, u"x", 1);
  FreeMap(map_);
  EXPECT_NE(AddMapElement(other_, u"still works", 1), nullptr);
}

// Folders hold strings, a map and a list of records with strings of their own: every
// block made on the way has to be gone after the maps are freed.
TEST_F(MapTest, NestedContainersReleaseEverythingTheyMade) {
  const int64_t before = LiveHeapBytes();
  NewMap(sizeof(Folder), 5, kFolderDescriptor, &map_, 16);
  for (int i = 0; i < 20; ++i) {
    std::u16string key = u"folder" + std::u16string(1, static_cast<char16_t>(u'A' + i));
    auto* folder = static_cast<Folder*>(AddMapElement(map_, key.c_str(), 1));
    AssignString(&folder->name, key.c_str());
    for (const char16_t* name : {u"x", u"y", u"z"}) {
      AssignString(&static_cast<Record*>(AddMapElement(folder->index, name, 1))->note, name);
    }
    AssignString(&static_cast<Record*>(AddElement(folder->items.list))->name, u"item");
  }
  const int64_t filled = LiveHeapBytes();
  if (kHeapCounted) {
    EXPECT_GT(filled, before);
  }

  NewMap(sizeof(Folder), 5, kFolderDescriptor, &other_, 64);
  ASSERT_EQ(CopyMap(map_, 5, other_, 5, 1), 1);
  auto* copy = static_cast<Folder*>(FindMapElement(other_, u"folderC"));
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(Text(copy->name), u"folderC");
  EXPECT_NE(copy->index, static_cast<Folder*>(FindMapElement(map_, u"folderC"))->index);
  EXPECT_EQ(Text(static_cast<Record*>(FindMapElement(copy->index, u"y"))->note), u"y");
  EXPECT_EQ(copy->items.list->count, 1);

  ClearMap(other_);
  EXPECT_EQ(other_->element_count, 0u);
  FreeMap(other_);
  EXPECT_EQ(LiveHeapBytes(), filled);
  FreeMap(map_);
  EXPECT_EQ(LiveHeapBytes(), before);
}

}  // namespace
