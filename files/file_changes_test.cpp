#include "files/file_changes.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "runtime/memory.h"
#include "runtime/runtime_test_support.h"
#include "runtime/string_stack.h"

namespace {

namespace fs = std::filesystem;

class FileChangesTest : public FreshStringStackTest {
 protected:
  void SetUp() override {
    FreshStringStackTest::SetUp();
    InitLocale();
    char pattern[] = "/tmp/brevik-changes-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
  }
  void TearDown() override {
    fs::remove_all(folder_);
    FreshStringStackTest::TearDown();
  }

  static std::u16string Wide(const std::string& utf8) {
    std::u16string text = fs::path(utf8).u16string();
    text.reserve(text.size() + 8);
    return text;
  }
  static std::string Narrow(const char16_t* text) {
    return fs::path(std::u16string(text)).string();
  }

  std::string Temporary(const std::string& beside) {
    StringMark mark;
    return Narrow(CreateTemporaryFileBeside(Wide(beside).c_str(), mark.Offset()));
  }

  std::string folder_;
};

TEST_F(FileChangesTest, TemporaryFilesAreNewHiddenAndBesideTheirTarget) {
  const std::string target = folder_ + "/Empty_Floppy.img";
  const std::string first = Temporary(target);
  const std::string second = Temporary(target);
  ASSERT_FALSE(first.empty());
  EXPECT_NE(first, second);
  EXPECT_EQ(fs::path(first).parent_path(), fs::path(folder_));
  EXPECT_TRUE(fs::path(first).filename().string().starts_with(".Empty_Floppy.img."));
  EXPECT_EQ(fs::file_size(first), 0u);
  EXPECT_FALSE(fs::exists(target));
  EXPECT_TRUE(Temporary(folder_ + "/missing/x.img").empty());
}

TEST_F(FileChangesTest, ALongestLegalNameStillGetsATemporaryName) {
  // 255 bytes, and a two-byte character where the name must be cut.
  std::string name = std::string(230, 'n') + "\xc3\xa9" + std::string(23, 'e');
  const std::string temporary = Temporary(folder_ + "/" + name);
  ASSERT_FALSE(temporary.empty());
  EXPECT_LE(fs::path(temporary).filename().string().size(), 255u);
}

TEST_F(FileChangesTest, ReplaceMovesOverAnExistingFileAndRemoveDeletes) {
  const std::string from = folder_ + "/new";
  const std::string to = folder_ + "/old";
  std::ofstream(from) << "new";
  std::ofstream(to) << "old";
  EXPECT_TRUE(ReplaceFile(Wide(from).c_str(), Wide(to).c_str()));
  EXPECT_FALSE(fs::exists(from));
  std::ifstream in(to);
  std::string text;
  in >> text;
  EXPECT_EQ(text, "new");
  EXPECT_TRUE(RemoveFile(Wide(to).c_str()));
  EXPECT_FALSE(RemoveFile(Wide(to).c_str()));
  EXPECT_FALSE(ReplaceFile(Wide(from).c_str(), Wide(to).c_str()));
}

}  // namespace
