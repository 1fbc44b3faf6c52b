#include "runtime/object_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "runtime/memory.h"

namespace {

constexpr int32_t kGadgetRecordSize = 48;
constexpr int32_t kGadgetCapacity = 16;
constexpr uint64_t kResource = 0x5EED;

// Free functions take no context, so the table they act on and the objects they freed (in
// call order) are kept here.
ObjectTable* current_table = nullptr;
std::vector<int64_t> freed;

// A kind that follows the free-function contract for single objects.
void FreeByContract(int64_t object) {
  if (LookupObject(current_table, object) == nullptr) return;
  freed.push_back(object);
  ReleaseObjectSlot(current_table, object);
}

// A kind that breaks the contract and leaves every object in place.
void FreeNothing(int64_t object) {
  freed.push_back(object);
}

void* MakeLive(void* record) {
  if (record) std::memcpy(record, &kResource, sizeof(kResource));
  return record;
}

int64_t HandleOf(const void* record) {
  return reinterpret_cast<int64_t>(record);
}

bool IsZeroFilled(const void* record, size_t size) {
  auto* bytes = static_cast<const unsigned char*>(record);
  return std::all_of(bytes, bytes + size, [](unsigned char b) { return b == 0; });
}

std::vector<int64_t> Enumerate(ObjectTable* table) {
  std::vector<int64_t> objects;
  int64_t object = 0;
  ResetObjectEnumeration(table);
  while (NextObject(table, &object))
    objects.push_back(object);
  return objects;
}

std::vector<int64_t> HandleListNewestFirst(ObjectTable* table) {
  std::vector<int64_t> handles;
  HandleRecord* newer = nullptr;
  for (HandleRecord* record = table->handle_list; record; record = record->next) {
    EXPECT_EQ(record->previous, newer);
    handles.push_back(HandleOf(HandleRecordBody(record)));
    newer = record;
  }
  return handles;
}

class ObjectTableTest : public ::testing::Test {
 protected:
  void SetUp() override { UseTable(FreeByContract); }
  void TearDown() override { DestroyObjectTable(table_); }

  void UseTable(ObjectFreeFunction free_function) {
    DestroyObjectTable(table_);
    table_ = NewObjectTable(kGadgetRecordSize, kGadgetCapacity, free_function);
    ASSERT_NE(table_, nullptr);
    current_table = table_;
    freed.clear();
  }
  void* Create(int64_t object) { return MakeLive(GetOrCreateObject(table_, object)); }
  int64_t CreateHandle() { return HandleOf(Create(AnyObject)); }

  ObjectTable* table_ = nullptr;
};

using ObjectTableGrowth = ObjectTableTest;
using ObjectTableRecreate = ObjectTableTest;
using ObjectTableLookup = ObjectTableTest;
using ObjectTableHandles = ObjectTableTest;
using ObjectTableEnumeration = ObjectTableTest;
using ObjectTableFreeAll = ObjectTableTest;

TEST(ObjectTableNew, RefusesRecordsWithoutPrimaryFieldAndEmptyCapacity) {
  EXPECT_EQ(NewObjectTable(7, 8, nullptr), nullptr);
  EXPECT_EQ(NewObjectTable(48, 0, nullptr), nullptr);
  EXPECT_EQ(NewObjectTable(48, -1, nullptr), nullptr);
}

TEST_F(ObjectTableGrowth, NumberBeyondCapacityGrowsToNumberPlusIncrement) {
  void* three = Create(3);
  void* forty = GetOrCreateObject(table_, 40);
  ASSERT_NE(forty, nullptr);
  EXPECT_EQ(table_->capacity, 56);
  EXPECT_EQ(BlockSize(table_->slots), 56 * sizeof(void*));
  for (int64_t n = 16; n < 56; ++n)
    EXPECT_EQ(table_->slots[n] != nullptr, n == 40) << n;
  EXPECT_TRUE(IsZeroFilled(forty, kGadgetRecordSize));
  EXPECT_EQ(LookupObject(table_, 3), three);
  Create(55);
  EXPECT_EQ(table_->capacity, 56);
  Create(56);
  EXPECT_EQ(table_->capacity, 72);
}

TEST_F(ObjectTableGrowth, RefusedNumbersLeaveTableUnchanged) {
  int64_t handle = CreateHandle();
  void** slots = table_->slots;
  for (int64_t object : {MaxObjectNumber + 1, int64_t{-2}, handle}) {
    EXPECT_EQ(GetOrCreateObject(table_, object), nullptr) << object;
  }
  EXPECT_EQ(table_->capacity, kGadgetCapacity);
  EXPECT_EQ(table_->slots, slots);
  EXPECT_EQ(HandleListNewestFirst(table_), std::vector<int64_t>{handle});
}

TEST_F(ObjectTableRecreate, LiveNumberIsFreedFirstThenItsRecordComesBackCleared) {
  auto* first = static_cast<unsigned char*>(Create(3));
  std::memset(first + 8, 0xAB, kGadgetRecordSize - 8);
  void* second = GetOrCreateObject(table_, 3);
  EXPECT_EQ(freed, std::vector<int64_t>{3});
  EXPECT_EQ(second, first);
  EXPECT_TRUE(IsZeroFilled(second, kGadgetRecordSize));
}

TEST_F(ObjectTableRecreate, RecordIsClearedEvenWhenNoFreeFunctionClearsIt) {
  for (ObjectFreeFunction free_function : {ObjectFreeFunction{nullptr}, FreeNothing}) {
    UseTable(free_function);
    Create(3);
    EXPECT_TRUE(IsZeroFilled(GetOrCreateObject(table_, 3), kGadgetRecordSize));
  }
}

TEST_F(ObjectTableLookup, NumbersNeverCreatedFreedOrBeyondCapacityAreNoObjects) {
  void* freed_record = Create(4);
  ReleaseObjectSlot(table_, 4);
  EXPECT_EQ(table_->slots[4], freed_record);
  for (int64_t object : {int64_t{4}, int64_t{5}, int64_t{16}, int64_t{100}, MaxObjectNumber,
                         AnyObject, int64_t{-2}}) {
    EXPECT_EQ(LookupObject(table_, object), nullptr) << object;
  }
  EXPECT_EQ(table_->capacity, kGadgetCapacity);
}

TEST_F(ObjectTableLookup, IsObjectRefusesAddressesThatAreNoHandleOfThisTable) {
  ObjectTable* other = NewObjectTable(kGadgetRecordSize, kGadgetCapacity, nullptr);
  int64_t foreign_handle = HandleOf(MakeLive(GetOrCreateObject(other, AnyObject)));
  int64_t own_handle = CreateHandle();
  int64_t numbered_record = HandleOf(Create(2));
  uint64_t local = kResource;
  for (int64_t object : {foreign_handle, numbered_record, HandleOf(&local)}) {
    EXPECT_EQ(IsObject(table_, object), nullptr);
  }
  EXPECT_EQ(HandleOf(IsObject(table_, own_handle)), own_handle);
  EXPECT_EQ(HandleOf(IsObject(table_, 2)), numbered_record);
  // A handle whose record is not live yet is in the list: IsObject knows it, LookupObject
  // finds no live object.
  const int64_t half_made = HandleOf(GetOrCreateObject(table_, AnyObject));
  EXPECT_EQ(HandleOf(IsObject(table_, half_made)), half_made);
  EXPECT_EQ(LookupObject(table_, half_made), nullptr);
  DestroyObjectTable(other);
}

TEST_F(ObjectTableHandles, AnyObjectMakesZeroFilledRecordsLinkedNewestFirst) {
  void* half_made = GetOrCreateObject(table_, AnyObject);
  ASSERT_NE(half_made, nullptr);
  EXPECT_TRUE(IsZeroFilled(half_made, kGadgetRecordSize));
  EXPECT_EQ(BlockSize(static_cast<char*>(half_made) - 16), uint64_t{kGadgetRecordSize + 16});
  EXPECT_EQ(LookupObject(table_, HandleOf(half_made)), nullptr);
  int64_t second = CreateHandle();
  int64_t third = CreateHandle();
  EXPECT_EQ(HandleListNewestFirst(table_),
            (std::vector<int64_t>{third, second, HandleOf(half_made)}));
  EXPECT_EQ(HandleOf(LookupObject(table_, second)), second);
}

TEST_F(ObjectTableHandles, ReleaseUnlinksFromAnyPositionAndIgnoresNonObjects) {
  int64_t a = CreateHandle();
  int64_t b = CreateHandle();
  int64_t c = CreateHandle();
  uint64_t local = kResource;
  for (int64_t object : {int64_t{7}, int64_t{100}, HandleOf(&local)}) {
    ReleaseObjectSlot(table_, object);
  }
  EXPECT_EQ(local, kResource);
  ReleaseObjectSlot(table_, b);
  EXPECT_EQ(HandleListNewestFirst(table_), (std::vector<int64_t>{c, a}));
  ReleaseObjectSlot(table_, c);
  EXPECT_EQ(HandleListNewestFirst(table_), std::vector<int64_t>{a});
  ReleaseObjectSlot(table_, a);
  EXPECT_EQ(table_->handle_list, nullptr);
  EXPECT_EQ(LookupObject(table_, a), nullptr);
}

TEST_F(ObjectTableEnumeration, NumberedAscendingThenHandlesInCreationOrder) {
  int64_t a = CreateHandle();
  int64_t b = CreateHandle();
  GetOrCreateObject(table_, AnyObject);
  int64_t c = CreateHandle();
  Create(5);
  Create(2);
  GetOrCreateObject(table_, 7);
  Create(9);
  ReleaseObjectSlot(table_, 9);
  EXPECT_EQ(Enumerate(table_), (std::vector<int64_t>{2, 5, a, b, c}));
}

TEST_F(ObjectTableEnumeration, ReleasingTheNextHandleMovesTheCursorOn) {
  int64_t a = CreateHandle();
  int64_t b = CreateHandle();
  int64_t c = CreateHandle();
  int64_t object = 0;
  ResetObjectEnumeration(table_);
  ASSERT_NE(NextObject(table_, &object), nullptr);
  EXPECT_EQ(object, a);
  ReleaseObjectSlot(table_, b);
  ASSERT_NE(NextObject(table_, &object), nullptr);
  EXPECT_EQ(object, c);
  EXPECT_EQ(NextObject(table_, &object), nullptr);
}

TEST_F(ObjectTableFreeAll, EmptiesSlotsAndHandleList) {
  int64_t a = CreateHandle();
  int64_t b = CreateHandle();
  for (int64_t n : {30, 1, 9})
    Create(n);
  FreeAllObjects(table_);
  EXPECT_EQ(freed, (std::vector<int64_t>{1, 9, 30, b, a}));
  EXPECT_EQ(table_->handle_list, nullptr);
  for (int64_t n : {1, 9, 30})
    EXPECT_TRUE(IsZeroFilled(table_->slots[n], kGadgetRecordSize));
}

TEST_F(ObjectTableFreeAll, EndsEvenWhenTheFreeFunctionLeavesObjectsBehind) {
  UseTable(FreeNothing);
  int64_t half_made = HandleOf(GetOrCreateObject(table_, AnyObject));
  int64_t live = CreateHandle();
  Create(2);
  FreeAllObjects(table_);
  EXPECT_EQ(freed, (std::vector<int64_t>{2, live, half_made}));
  EXPECT_EQ(table_->handle_list, nullptr);
  EXPECT_EQ(LookupObject(table_, 2), nullptr);
}

TEST(ObjectTableCreateOnce, KeepsTheFirstTable) {
  ObjectTable* variable = nullptr;
  ObjectTable* first = CreateObjectTableOnce(&variable, kGadgetRecordSize, 16, nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(CreateObjectTableOnce(&variable, 8, 8, nullptr), first);
  EXPECT_EQ(variable->record_size, kGadgetRecordSize);
  DestroyObjectTable(variable);
}

TEST(ObjectTableModuleGlobals, InitializerRunsOnZeroFilledBlock) {
  static bool saw_zeroes = false;
  void* globals = AllocateModuleGlobals(608, [](void* block) {
    saw_zeroes = IsZeroFilled(block, 608);
    static_cast<int64_t*>(block)[75] = 42;
  });
  ASSERT_NE(globals, nullptr);
  EXPECT_TRUE(saw_zeroes);
  EXPECT_EQ(BlockSize(globals), 608u);
  EXPECT_EQ(static_cast<int64_t*>(ModuleGlobals(globals))[75], 42);
  FreeBlock(globals);
}

}  // namespace
