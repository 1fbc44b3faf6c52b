#include "runtime/memory.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <string>

namespace {

bool AllBytesAre(const void* block, size_t size, unsigned char value) {
  const auto* bytes = static_cast<const unsigned char*>(block);
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] != value) return false;
  }
  return true;
}

TEST(SizedBlock, CarriesItsSizeAndZeroesOnlyNewBytes) {
  void* block = AllocateBlock(24);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(BlockSize(block), 24u);
  EXPECT_TRUE(AllBytesAre(block, 24, 0));

  memset(block, 0xAB, 16);
  block = ResizeBlock(ResizeBlockNoClear(block, 16), 32);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(BlockSize(block), 32u);
  EXPECT_TRUE(AllBytesAre(block, 16, 0xAB));
  EXPECT_TRUE(AllBytesAre(static_cast<char*>(block) + 16, 16, 0));
  FreeBlock(block);
  FreeBlock(nullptr);

  EXPECT_EQ(ResizeBlock(nullptr, 16), nullptr);
  // size + 8 would wrap around to a tiny allocation.
  EXPECT_EQ(AllocateBlock(UINT64_MAX), nullptr);
}

TEST(UserMemory, SizeBelowOneGivesNullOtherwiseASizedBlock) {
  EXPECT_EQ(AllocateMemory(0, 0), nullptr);
  EXPECT_EQ(AllocateMemory(-8, MemoryNoClear), nullptr);
  EXPECT_EQ(AllocateClearedMemory(0), nullptr);

  void* block = AllocateMemory(100, 0);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(BlockSize(block), 100u);
  EXPECT_TRUE(AllBytesAre(block, 100, 0));
  FreeMemory(block);
}

TEST(InitLocale, FoldsCaseBeyondAsciiAndKeepsDotAsDecimalPoint) {
  InitLocale();
  EXPECT_EQ(towlower(0x00C9), 0x00E9u);
  EXPECT_EQ(std::string(setlocale(LC_NUMERIC, nullptr)), "C");
  char text[16];
  snprintf(text, sizeof(text), "%.2f", 2.5);
  EXPECT_STREQ(text, "2.50");
}

}  // namespace
