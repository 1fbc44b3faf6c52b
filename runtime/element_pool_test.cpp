#include "runtime/element_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

namespace {

ElementPoolBlock* BlockOf(void* element) {
  return *reinterpret_cast<ElementPoolBlock**>(static_cast<char*>(element) - sizeof(void*));
}

// Walks a block list, checking its back links on the way.
std::vector<ElementPoolBlock*> Blocks(ElementPoolBlock* head) {
  std::vector<ElementPoolBlock*> blocks;
  for (ElementPoolBlock* block = head; block; block = block->next) {
    EXPECT_EQ(block->previous, blocks.empty() ? nullptr : blocks.back());
    blocks.push_back(block);
  }
  return blocks;
}

std::vector<void*> AllocateMany(ElementPool* pool, int count) {
  std::vector<void*> elements;
  for (int i = 0; i < count; ++i)
    elements.push_back(AllocateElement(pool));
  return elements;
}

// Allocates `count` elements and returns, for every block the pool made on the way, the
// slot total it had before and the new block's capacity.
std::vector<std::pair<uint64_t, uint64_t>> GrowBy(ElementPool* pool, int count) {
  std::vector<std::pair<uint64_t, uint64_t>> growth;
  for (int i = 0; i < count; ++i) {
    uint64_t before = pool->total_slots;
    if (AllocateElement(pool) == nullptr) {
      ADD_FAILURE() << "allocation " << i << " failed";
      break;
    }
    if (pool->total_slots != before) growth.emplace_back(before, pool->total_slots - before);
  }
  return growth;
}

TEST(ElementPoolSlots, SizeRoundsToWholeWordsAfterTheBlockWord) {
  const std::pair<uint64_t, uint64_t> cases[] = {{0, 8},   {1, 16},  {8, 16}, {24, 32},
                                                 {25, 40}, {31, 40}, {56, 64}};
  for (auto [element_size, slot_size] : cases) {
    ElementPool* pool = NewElementPool(element_size, 16, 256, 0);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->slot_size, slot_size) << "element size " << element_size;
    FreeElementPool(pool);
  }
  EXPECT_EQ(NewElementPool(~uint64_t{0}, 16, 256, 0), nullptr);
}

TEST(ElementPoolSlots, ElementsStayPutAndAligned) {
  ElementPool* pool = NewElementPool(25, 16, 65536, 0);
  std::vector<void*> elements = AllocateMany(pool, 1000);
  for (size_t i = 0; i < elements.size(); ++i) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(elements[i]) % 8, 0u);
    std::memset(elements[i], static_cast<int>(i % 251), 25);
  }
  // Churn around the survivors: every other element freed, then as many allocated again.
  for (size_t i = 0; i < elements.size(); i += 2)
    FreeElement(pool, elements[i]);
  std::vector<void*> refill = AllocateMany(pool, 700);
  for (void* element : refill)
    std::memset(element, 0xEE, 25);
  for (size_t i = 1; i < elements.size(); i += 2) {
    unsigned char expected[25];
    std::memset(expected, static_cast<int>(i % 251), sizeof expected);
    ASSERT_EQ(std::memcmp(elements[i], expected, sizeof expected), 0) << "element " << i;
  }
  FreeElementPool(pool);
}

TEST(ElementPoolBlocks, SeventeenthElementOpensSecondBlock) {
  ElementPool* pool = NewElementPool(56, 16, 65536, 0);
  std::vector<void*> first = AllocateMany(pool, 16);
  ElementPoolBlock* block = BlockOf(first[0]);
  EXPECT_EQ(block->capacity, 16);
  EXPECT_EQ(pool->total_slots, 16u);
  EXPECT_EQ(Blocks(pool->partial_blocks).size(), 0u);
  EXPECT_EQ(Blocks(pool->full_blocks), std::vector<ElementPoolBlock*>{block});
  for (void* element : first)
    EXPECT_EQ(BlockOf(element), block);

  void* seventeenth = AllocateElement(pool);
  EXPECT_NE(BlockOf(seventeenth), block);
  EXPECT_EQ(Blocks(pool->partial_blocks), std::vector<ElementPoolBlock*>{BlockOf(seventeenth)});
  EXPECT_EQ(pool->total_slots, 32u);
  FreeElementPool(pool);
}

TEST(ElementPoolBlocks, BlockIsReleasedWhenEverySlotUsedIsBack) {
  ElementPool* pool = NewElementPool(56, 16, 65536, 0);
  std::vector<void*> elements = AllocateMany(pool, 21);
  // The first block is full, the second has used 5 of 16 slots.
  for (int i = 15; i >= 0; --i)
    FreeElement(pool, elements[i]);
  EXPECT_EQ(pool->total_slots, 16u);
  EXPECT_EQ(pool->full_blocks, nullptr);
  EXPECT_EQ(Blocks(pool->partial_blocks), std::vector<ElementPoolBlock*>{BlockOf(elements[16])});

  for (int i = 16; i < 21; ++i)
    FreeElement(pool, elements[i]);
  EXPECT_EQ(pool->total_slots, 0u);
  EXPECT_EQ(pool->partial_blocks, nullptr);
  FreeElementPool(pool);
}

TEST(ElementPoolBlocks, FullBlockGivenASlotBackServesTheNextAllocation) {
  ElementPool* pool = NewElementPool(56, 16, 65536, 0);
  std::vector<void*> elements = AllocateMany(pool, 33);
  ElementPoolBlock* first = BlockOf(elements[0]);
  ElementPoolBlock* second = BlockOf(elements[16]);
  ElementPoolBlock* third = BlockOf(elements[32]);

  FreeElement(pool, elements[5]);
  EXPECT_EQ(Blocks(pool->partial_blocks), (std::vector<ElementPoolBlock*>{first, third}));
  EXPECT_EQ(Blocks(pool->full_blocks), std::vector<ElementPoolBlock*>{second});

  EXPECT_EQ(AllocateElement(pool), elements[5]);
  EXPECT_EQ(Blocks(pool->full_blocks), (std::vector<ElementPoolBlock*>{first, second}));
  EXPECT_EQ(Blocks(pool->partial_blocks), std::vector<ElementPoolBlock*>{third});
  FreeElementPool(pool);
}

TEST(ElementPoolBlocks, OneSlotBlocksLiveOnTheFullList) {
  ElementPool* pool = NewElementPool(8, 1, 1, 0);
  void* a = AllocateElement(pool);
  void* b = AllocateElement(pool);
  EXPECT_EQ(pool->partial_blocks, nullptr);
  EXPECT_EQ(Blocks(pool->full_blocks), (std::vector<ElementPoolBlock*>{BlockOf(b), BlockOf(a)}));
  FreeElement(pool, b);
  EXPECT_EQ(Blocks(pool->full_blocks), std::vector<ElementPoolBlock*>{BlockOf(a)});
  EXPECT_EQ(pool->total_slots, 1u);
  FreeElement(pool, a);
  EXPECT_EQ(pool->full_blocks, nullptr);
  FreeElementPool(pool);
}

TEST(ElementPoolBlocks, NewBlocksGrowWithThePool) {
  ElementPool* pool = NewElementPool(56, 16, 65536, 0);
  auto growth = GrowBy(pool, 6000);
  ASSERT_FALSE(growth.empty());
  EXPECT_EQ(growth.front(), std::make_pair(uint64_t{0}, uint64_t{16}));
  for (auto [before, capacity] : growth) {
    EXPECT_EQ(capacity, std::max<uint64_t>(16, before / 256 * 16)) << "at " << before << " slots";
  }
  auto past_4096 =
      std::find_if(growth.begin(), growth.end(), [](auto g) { return g.first >= 4096; });
  ASSERT_NE(past_4096, growth.end());
  EXPECT_EQ(past_4096->second, 256u);
  FreeElementPool(pool);
}

TEST(ElementPoolBlocks, BlockSizeStaysWithinMinimumAndMaximum) {
  ElementPool* pool = NewElementPool(8, 40, 64, 0);
  auto growth = GrowBy(pool, 3000);
  EXPECT_EQ(growth.front().second, 40u);
  EXPECT_EQ(growth.back().second, 64u);
  for (auto [before, capacity] : growth)
    EXPECT_LE(capacity, 64u);
  FreeElementPool(pool);
}

TEST(ElementPoolBlocks, ClearReleasesEveryBlockAndPoolStaysUsable) {
  ElementPool* pool = NewElementPool(56, 16, 65536, 0);
  std::vector<void*> elements = AllocateMany(pool, 40);
  FreeElement(pool, elements[3]);
  ClearElementPool(pool);
  EXPECT_EQ(pool->total_slots, 0u);
  EXPECT_EQ(pool->full_blocks, nullptr);
  EXPECT_EQ(pool->partial_blocks, nullptr);
  ASSERT_NE(AllocateElement(pool), nullptr);
  EXPECT_EQ(pool->total_slots, 16u);
  FreeElementPool(pool);
}

TEST(ElementPoolBlocks, ClearedElementIsZeroEvenInAReusedSlot) {
  ElementPool* pool = NewElementPool(52, 16, 65536, 0);
  void* keeps_block = AllocateElement(pool);
  void* dirty = AllocateElement(pool);
  std::memset(dirty, 0xAB, 56);
  FreeElement(pool, dirty);
  auto* cleared = static_cast<unsigned char*>(AllocateClearedElement(pool));
  ASSERT_EQ(cleared, dirty);
  EXPECT_TRUE(std::all_of(cleared, cleared + 56, [](unsigned char c) { return c == 0; }));
  FreeElement(pool, cleared);
  FreeElement(pool, keeps_block);
  FreeElementPool(pool);
}

// Slot sizes below are unusual on purpose, so that no other user of shared pools in this
// process can hold a reference to the same pool.
TEST(ElementPoolSharing, EqualSlotSizeAndFlagsShareOnePool) {
  ElementPool* first = NewElementPool(1000, 16, 65536, PoolShared);
  ElementPool* second = NewElementPool(996, 16, 65536, PoolShared);  // Same 1008-byte slots.
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(second, first);
  ASSERT_NE(first->share, nullptr);
  EXPECT_EQ(first->share->reference_count, 2u);
  EXPECT_EQ(first->share->pool, first);
  EXPECT_FALSE(first->locked);

  ElementPool* locked = NewElementPool(1000, 16, 65536, PoolShared | PoolThreadSafe);
  ElementPool* wider = NewElementPool(1008, 16, 65536, PoolShared);
  EXPECT_NE(locked, first);
  EXPECT_TRUE(locked->locked);
  EXPECT_NE(wider, first);

  ASSERT_NE(AllocateElement(first), nullptr);
  FreeElementPool(first);
  EXPECT_EQ(second->share->reference_count, 1u);
  EXPECT_EQ(second->total_slots, 16u);
  void* element = AllocateElement(second);
  ASSERT_NE(element, nullptr);
  FreeElement(second, element);
  FreeElementPool(second);

  // The last release destroyed the pool and its live element's block with it.
  ElementPool* fresh = NewElementPool(1000, 16, 65536, PoolShared);
  EXPECT_EQ(fresh->share->reference_count, 1u);
  EXPECT_EQ(fresh->total_slots, 0u);
  FreeElementPool(fresh);
  FreeElementPool(locked);
  FreeElementPool(wider);
}

TEST(ElementPoolSharing, OnlyLowBitsEqualToOneLock) {
  ElementPool* queue_pool = NewElementPool(56, 16, 256, 2);
  ElementPool* other = NewElementPool(56, 16, 256, 2);
  EXPECT_NE(queue_pool, other);
  EXPECT_EQ(queue_pool->share, nullptr);
  EXPECT_FALSE(queue_pool->locked);
  ElementPool* three = NewElementPool(56, 16, 256, 3);
  EXPECT_FALSE(three->locked);
  ElementPool* one = NewElementPool(56, 16, 256, PoolThreadSafe);
  EXPECT_TRUE(one->locked);
  for (ElementPool* pool : {queue_pool, other, three, one})
    FreeElementPool(pool);
}

TEST(ElementPoolThreads, LockedPoolSurvivesTwoThreads) {
  ElementPool* pool = NewElementPool(24, 16, 65536, PoolThreadSafe);
  auto work = [pool](uint64_t tag) {
    std::vector<uint64_t*> mine;
    for (int round = 0; round < 200; ++round) {
      for (int i = 0; i < 64; ++i) {
        auto* element = static_cast<uint64_t*>(AllocateElement(pool));
        ASSERT_NE(element, nullptr);
        element[0] = tag;
        element[1] = static_cast<uint64_t>(i);
        mine.push_back(element);
      }
      // Free the older half, checking no other thread was handed the same slot.
      for (size_t i = 0; i < mine.size() / 2; ++i) {
        ASSERT_EQ(mine[i][0], tag);
        FreeElement(pool, mine[i]);
      }
      mine.erase(mine.begin(), mine.begin() + static_cast<std::ptrdiff_t>(mine.size() / 2));
    }
    for (uint64_t* element : mine) {
      ASSERT_EQ(element[0], tag);
      FreeElement(pool, element);
    }
  };
  std::thread a(work, 0xA);
  std::thread b(work, 0xB);
  a.join();
  b.join();
  EXPECT_EQ(pool->total_slots, 0u);
  EXPECT_EQ(pool->full_blocks, nullptr);
  EXPECT_EQ(pool->partial_blocks, nullptr);
  FreeElementPool(pool);
}

}  // namespace
