#include "runtime/structure_descriptor.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "runtime/hash_map.h"
#include "runtime/list.h"
#include "runtime/runtime_test_support.h"
#include "runtime/string_stack.h"

namespace {

struct Shelf {
  int32_t id;
  Record records[3];
  char16_t* label;
  int64_t tail;
};
const StructureDescriptor kShelfDescriptor[] = {DescStructArray,
                                                3,
                                                offsetof(Shelf, records),
                                                sizeof(Record),
                                                DescriptorWordOf(kRecordDescriptor),
                                                offsetof(Shelf, label),
                                                DescEnd};

// Containers one level down, inside an embedded structure.
struct Catalog {
  char16_t* title;
  Map* index;
  ListField items;
};
const StructureDescriptor kCatalogDescriptor[] = {offsetof(Catalog, title),
                                                  DescMap,
                                                  offsetof(Catalog, index),
                                                  sizeof(Record),
                                                  11,
                                                  DescriptorWordOf(kRecordDescriptor),
                                                  16,
                                                  DescList,
                                                  offsetof(Catalog, items),
                                                  sizeof(Record),
                                                  DescriptorWordOf(kRecordDescriptor),
                                                  12,
                                                  DescEnd};
struct Library {
  int64_t version;
  Catalog catalog;
  int64_t checksum;
};
const StructureDescriptor kLibraryDescriptor[] = {DescStructure, offsetof(Library, catalog),
                                                  sizeof(Catalog),
                                                  DescriptorWordOf(kCatalogDescriptor), DescEnd};

class StructureDescriptorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterMapHooks();
    RegisterListHooks();
  }
};

TEST(HeapCounter, SeesAStringBlockComeAndGo) {
  if (!kHeapCounted) GTEST_SKIP() << "live heap bytes are counted only in sanitizer builds";
  const int64_t before = LiveHeapBytes();
  char16_t* text = nullptr;
  AssignString(&text, u"counted");
  EXPECT_GT(LiveHeapBytes(), before);
  FreeString(text);
  EXPECT_EQ(LiveHeapBytes(), before);
}

TEST_F(StructureDescriptorTest, NeedsInitOnlyForContainersAtAnyDepth) {
  EXPECT_EQ(DescriptorNeedsInit(nullptr), 0);
  EXPECT_EQ(DescriptorNeedsInit(kRecordDescriptor), 0);
  EXPECT_EQ(DescriptorNeedsInit(kShelfDescriptor), 0);
  EXPECT_EQ(DescriptorNeedsInit(kCatalogDescriptor), 1);
  EXPECT_EQ(DescriptorNeedsInit(kLibraryDescriptor), 1);
  const StructureDescriptor in_array[] = {
      DescStructArray, 2, 0, sizeof(Library), DescriptorWordOf(kLibraryDescriptor), DescEnd};
  EXPECT_EQ(DescriptorNeedsInit(in_array), 1);
  const StructureDescriptor array[] = {0, DescArray, 8, 1, 2, 3, 4, DescEnd};
  EXPECT_EQ(DescriptorNeedsInit(array), 1);
}

TEST_F(StructureDescriptorTest, StringCopiesAreOwnedByTheDestination) {
  const int64_t before = LiveHeapBytes();
  Record source{nullptr, 7, nullptr};
  AssignString(&source.name, u"floppy");
  Record destination{};
  AssignString(&destination.note, u"stale");

  CopyStructure(&destination, sizeof(Record), kRecordDescriptor, &source);
  EXPECT_NE(destination.name, source.name);
  EXPECT_EQ(Text(destination.name), u"floppy");
  EXPECT_EQ(destination.number, 7);
  // The null source note replaces the destination's, whose block must be released.
  EXPECT_EQ(destination.note, nullptr);
  AssignString(&source.name, u"changed");
  EXPECT_EQ(Text(destination.name), u"floppy");

  ClearStructure(&source, kRecordDescriptor);
  ClearStructure(&destination, kRecordDescriptor);
  EXPECT_EQ(LiveHeapBytes(), before);
}

TEST_F(StructureDescriptorTest, NullDescriptorCopiesEveryByte) {
  unsigned char source[24];
  for (unsigned i = 0; i < sizeof(source); ++i)
    source[i] = static_cast<unsigned char>(i + 1);
  unsigned char destination[24] = {};
  CopyStructure(destination, sizeof(destination), nullptr, source);
  EXPECT_EQ(std::memcmp(destination, source, sizeof(source)), 0);
}

TEST_F(StructureDescriptorTest, InlineArrayCopiesEveryElementAndThePlainBytesAround) {
  Shelf source{};
  source.id = 42;
  source.tail = -9;
  const char16_t* names[] = {u"one", u"two", u"three"};
  for (int i = 0; i < 3; ++i) {
    AssignString(&source.records[i].name, names[i]);
    source.records[i].number = i * 10;
  }
  AssignString(&source.label, u"shelf");
  const int64_t before = LiveHeapBytes();

  Shelf destination{};
  CopyStructure(&destination, sizeof(Shelf), kShelfDescriptor, &source);
  EXPECT_EQ(destination.id, 42);
  EXPECT_EQ(destination.tail, -9);
  EXPECT_EQ(Text(destination.label), u"shelf");
  for (int i = 0; i < 3; ++i) {
    EXPECT_NE(destination.records[i].name, source.records[i].name);
    EXPECT_EQ(Text(destination.records[i].name), names[i]);
    EXPECT_EQ(destination.records[i].number, i * 10);
  }
  ClearStructure(&destination, kShelfDescriptor);
  EXPECT_EQ(LiveHeapBytes(), before);
  ClearStructure(&source, kShelfDescriptor);
}

TEST_F(StructureDescriptorTest, CopyOntoItselfChangesNothing) {
  Shelf shelf{};
  AssignString(&shelf.label, u"same");
  AssignString(&shelf.records[1].name, u"kept");
  char16_t* label = shelf.label;
  CopyStructure(&shelf, sizeof(Shelf), kShelfDescriptor, &shelf);
  EXPECT_EQ(shelf.label, label);
  EXPECT_EQ(Text(shelf.label), u"same");
  EXPECT_EQ(Text(shelf.records[1].name), u"kept");
  ClearStructure(&shelf, kShelfDescriptor);
}

TEST_F(StructureDescriptorTest, NestedMapsAndListsAreCreatedCopiedAndReleased) {
  const int64_t before = LiveHeapBytes();
  Library source{};
  InitializeStructure(&source, kLibraryDescriptor);
  ASSERT_NE(source.catalog.index, nullptr);
  ASSERT_NE(source.catalog.items.list, nullptr);
  EXPECT_EQ(source.catalog.index->owner, &source.catalog.index);
  EXPECT_EQ(source.catalog.index->bucket_count, 16u);
  source.version = 3;
  AssignString(&source.catalog.title, u"disks");
  auto* entry = static_cast<Record*>(AddMapElement(source.catalog.index, u"iso", 1));
  AssignString(&entry->name, u"output.iso");
  auto* item = static_cast<Record*>(AddElement(source.catalog.items.list));
  AssignString(&item->note, u"1440 blocks");

  Library copy{};
  InitializeStructure(&copy, kLibraryDescriptor);
  CopyStructure(&copy, sizeof(Library), kLibraryDescriptor, &source);
  EXPECT_EQ(copy.version, 3);
  EXPECT_EQ(Text(copy.catalog.title), u"disks");
  ASSERT_NE(copy.catalog.index, nullptr);
  EXPECT_NE(copy.catalog.index, source.catalog.index);
  EXPECT_EQ(copy.catalog.index->owner, &copy.catalog.index);
  EXPECT_EQ(copy.catalog.index->type_code, 11);
  auto* copied_entry = static_cast<Record*>(FindMapElement(copy.catalog.index, u"iso"));
  ASSERT_NE(copied_entry, nullptr);
  EXPECT_NE(copied_entry->name, entry->name);
  EXPECT_EQ(Text(copied_entry->name), u"output.iso");
  List* copied_list = copy.catalog.items.list;
  ASSERT_NE(copied_list, nullptr);
  EXPECT_NE(copied_list, source.catalog.items.list);
  EXPECT_EQ(copied_list->field, &copy.catalog.items);
  ASSERT_EQ(copied_list->count, 1);
  EXPECT_EQ(Text(static_cast<Record*>(ListElementValue(copied_list->first))->note), u"1440 blocks");

  // A null container in the source leaves none in the destination.
  FreeMap(source.catalog.index);
  EXPECT_EQ(source.catalog.index, nullptr);
  CopyStructure(&copy, sizeof(Library), kLibraryDescriptor, &source);
  EXPECT_EQ(copy.catalog.index, nullptr);
  EXPECT_EQ(copy.catalog.items.list->count, 1);

  ClearStructure(&copy, kLibraryDescriptor);
  ClearStructure(&source, kLibraryDescriptor);
  EXPECT_EQ(LiveHeapBytes(), before);
}

struct WithArrays {
  char16_t* head;
  void* array;
  void* grid;
  int64_t dimensions[2];
  char16_t* tail;
};
const StructureDescriptor kArraysDescriptor[] = {offsetof(WithArrays, head),
                                                 DescArray,
                                                 offsetof(WithArrays, array),
                                                 8,
                                                 1,
                                                 0,
                                                 0,
                                                 DescMultiArray,
                                                 offsetof(WithArrays, grid),
                                                 2,
                                                 8,
                                                 0,
                                                 0,
                                                 4,
                                                 5,
                                                 offsetof(WithArrays, tail),
                                                 DescEnd};

TEST_F(StructureDescriptorTest, ArrayEntriesAreSkippedAsPlainData) {
  WithArrays source{};
  InitializeStructure(&source, kArraysDescriptor);
  EXPECT_EQ(source.array, nullptr);
  EXPECT_EQ(source.dimensions[0], 0);
  int marker = 0;
  source.array = &marker;
  source.grid = &marker;
  source.dimensions[1] = 5;
  AssignString(&source.tail, u"after the arrays");

  WithArrays destination{};
  CopyStructure(&destination, sizeof(WithArrays), kArraysDescriptor, &source);
  EXPECT_EQ(destination.array, &marker);
  EXPECT_EQ(destination.grid, &marker);
  EXPECT_EQ(destination.dimensions[1], 5);
  // The string behind the arrays is still found and deep-copied.
  EXPECT_NE(destination.tail, source.tail);
  EXPECT_EQ(Text(destination.tail), u"after the arrays");
  ClearStructure(&destination, kArraysDescriptor);
  ClearStructure(&source, kArraysDescriptor);
}

}  // namespace
