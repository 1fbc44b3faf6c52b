#include "files/file_queries.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "runtime/memory.h"
#include "runtime/runtime_test_support.h"
#include "runtime/string_stack.h"

namespace {

namespace fs = std::filesystem;

class FileQueriesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitLocale();
    FreeStringStack();
    InitStringStack();
    char pattern[] = "/tmp/brevik-files-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
  }
  void TearDown() override {
    fs::remove_all(folder_);
    FreeStringStack();
  }

  // Runtime strings keep spare room after their terminator, and StringLength reads the
  // whole aligned 16-byte block that holds it; these test strings get the same room.
  static std::u16string Utf16(const std::string& utf8_ascii) {
    std::u16string text;
    text.reserve(utf8_ascii.size() + 8);
    text.assign(utf8_ascii.begin(), utf8_ascii.end());
    return text;
  }
  static int64_t SizeOf(const std::string& path) { return QueryFileSize(Utf16(path).c_str()); }
  static std::u16string Home() {
    StringMark mark;
    return UserHomeFolder(mark.Offset());
  }

  std::string folder_;
};

TEST_F(FileQueriesTest, SizesOfFilesAndKindsOfOtherPaths) {
  std::ofstream(folder_ + "/empty");
  std::ofstream(folder_ + "/five") << "12345";
  EXPECT_EQ(SizeOf(folder_ + "/empty"), 0);
  EXPECT_EQ(SizeOf(folder_ + "/five"), 5);
  EXPECT_EQ(SizeOf(folder_), FileSizeFolder);
  EXPECT_EQ(SizeOf("/"), FileSizeFolder);
  EXPECT_EQ(SizeOf(folder_ + "/missing"), FileSizeMissing);
  EXPECT_EQ(SizeOf(""), FileSizeMissing);
  EXPECT_EQ(QueryFileSize(nullptr), FileSizeMissing);
  // Devices are not folders: their st_size (0) is the answer.
  EXPECT_EQ(SizeOf("/dev/null"), 0);
}

TEST_F(FileQueriesTest, SymbolicLinksAreFollowed) {
  std::ofstream(folder_ + "/five") << "12345";
  fs::create_directory_symlink(folder_, folder_ + "/to-folder");
  fs::create_symlink(folder_ + "/five", folder_ + "/to-file");
  fs::create_symlink(folder_ + "/nothing", folder_ + "/dangling");
  EXPECT_EQ(SizeOf(folder_ + "/to-folder"), FileSizeFolder);
  EXPECT_EQ(SizeOf(folder_ + "/to-file"), 5);
  EXPECT_EQ(SizeOf(folder_ + "/dangling"), FileSizeMissing);
}

TEST_F(FileQueriesTest, PathsAreConvertedToUtf8) {
  std::ofstream(folder_ + "/caf\xC3\xA9") << "abc";
  std::u16string path = Utf16(folder_ + "/caf");
  path += u'\u00e9';
  EXPECT_EQ(QueryFileSize(path.c_str()), 3);
}

TEST_F(FileQueriesTest, HomeFolderFromTheEnvironmentEndsInASlash) {
  {
    EnvironmentChange home("HOME", "/home/somebody");
    EXPECT_EQ(Home(), u"/home/somebody/");
  }
  {
    EnvironmentChange home("HOME", "/home/somebody/");
    EXPECT_EQ(Home(), u"/home/somebody/");
  }
  EnvironmentChange home("HOME", "/");
  EXPECT_EQ(Home(), u"/");
}

TEST_F(FileQueriesTest, HomeFolderFromThePasswordDatabaseWithoutAUsableHome) {
  passwd* entry = getpwuid(getuid());
  ASSERT_NE(entry, nullptr);
  std::u16string expected = Utf16(entry->pw_dir);
  if (expected.back() != u'/') expected += u'/';
  for (const char* value : {static_cast<const char*>(nullptr), "", "relative/home"}) {
    EnvironmentChange home("HOME", value);
    EXPECT_EQ(Home(), expected) << (value == nullptr ? "unset" : value);
  }
}

TEST_F(FileQueriesTest, EnterBundleContentsMovesToTheExecutablesFolder) {
  fs::path before = fs::current_path();
  fs::current_path(folder_);
  EnterBundleContents();
  fs::path entered = fs::current_path();
  fs::current_path(before);
  EXPECT_EQ(entered, fs::read_symlink("/proc/self/exe").parent_path());
}

}  // namespace
