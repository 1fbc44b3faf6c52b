#include "files/file_queries.h"

#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <QStandardPaths>

#include "runtime/qstring_bridge.h"
#include "runtime/text_conversion.h"

namespace {

// Room for the strings of one password entry when the system gives no size.
constexpr size_t kPasswordBufferSize = 16384;

bool IsAbsolute(const char* path) {
  return path != nullptr && path[0] == '/';
}

// A relative or empty $HOME names no folder by itself; the password database is asked
// instead.
std::string HomeFromEnvironment() {
  const char* home = getenv("HOME");
  return IsAbsolute(home) ? std::string(home) : std::string();
}

std::string HomeFromPasswordDatabase() {
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> strings(suggested > 0 ? static_cast<size_t>(suggested) : kPasswordBufferSize);
  passwd entry;
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, strings.data(), strings.size(), &found) != 0) return {};
  if (found == nullptr || !IsAbsolute(found->pw_dir)) return {};
  return found->pw_dir;
}

// The folder of /proc/self/exe; an executable at the root gives "/". Empty when the link
// cannot be read whole.
std::string ExecutableFolder() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  // A path that fills the buffer may have been cut short.
  if (length <= 0 || static_cast<size_t>(length) >= sizeof path) return {};
  path[length] = '\0';
  char* last_slash = strrchr(path, '/');
  if (last_slash == nullptr) return {};
  last_slash[last_slash == path ? 1 : 0] = '\0';
  return path;
}

}  // namespace

int64_t QueryFileSize(const char16_t* path) {
  if (path == nullptr) return FileSizeMissing;
  char* utf8 = StringToUtf8Copy(path);
  struct stat info;
  int result = stat(utf8, &info);
  FreeConvertedCopy(utf8);
  if (result != 0) return FileSizeMissing;
  if (S_ISDIR(info.st_mode)) return FileSizeFolder;
  return info.st_size;
}

char16_t* UserHomeFolder(StringResultPosition p) {
  std::string home = HomeFromEnvironment();
  if (home.empty()) home = HomeFromPasswordDatabase();
  if (home.empty()) return SetEmptyStringResult(p);
  if (home.back() != '/') home.push_back('/');
  return Utf8ToStringStack(home.c_str(), p);
}

char16_t* UserDesktopFolder(StringResultPosition p) {
  return QStringToStringStackResult(
      QStandardPaths::writableLocation(QStandardPaths::DesktopLocation), p);
}

char16_t* UserDocumentsFolder(StringResultPosition p) {
  return QStringToStringStackResult(
      QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation), p);
}

char16_t* ProgramFolder(StringResultPosition p) {
  std::string folder = ExecutableFolder();
  if (folder.empty()) return SetEmptyStringResult(p);
  if (folder.back() != '/') folder.push_back('/');
  return Utf8ToStringStack(folder.c_str(), p);
}

void EnterBundleContents() {
  const std::string folder = ExecutableFolder();
  // A folder that cannot be entered leaves the working directory as it was.
  if (!folder.empty()) [[maybe_unused]]
    int entered = chdir(folder.c_str());
}

void BringProcessToFront() {}
