#include "app/places.h"

#include <QStandardPaths>
#include <QString>
#include <string>

#include "app/field_texts.h"
#include "files/file_queries.h"
#include "runtime/qstring_bridge.h"
#include "runtime/string_utils.h"

bool IsFolder(const char16_t* path) {
  return QueryFileSize(path) == FileSizeFolder;
}

bool IsExistingFile(const char16_t* path) {
  return QueryFileSize(path) >= 0;
}

namespace {

StringVariable Kept(char16_t* (*query)(StringResultPosition)) {
  StringMark mark;
  query(mark.Offset());
  return std::move(mark).Keep();
}

}  // namespace

StringVariable DesktopFolder() {
  return Kept(&UserDesktopFolder);
}

StringVariable DocumentsFolder() {
  return Kept(&UserDocumentsFolder);
}

StringVariable BundledToolIn(const char16_t* program_folder, const char16_t* name) {
  if (*program_folder == u'\0') return StringVariable(name);
  for (const char16_t* place : {u"", u"../libexec/brevik/"}) {
    StringMark mark;
    AppendStrings({program_folder, place, name});
    StringVariable candidate = std::move(mark).Keep();
    if (IsExistingFile(candidate.Get())) return candidate;
  }
  return StringVariable(name);
}

StringVariable BundledTool(const char16_t* name) {
  return BundledToolIn(Kept(&ProgramFolder).Get(), name);
}

StringVariable SystemToolPath(const char16_t* name) {
  const QString tool = StringToQString(name);
  QString found = QStandardPaths::findExecutable(tool);
  if (found.isEmpty()) {
    found = QStandardPaths::findExecutable(tool,
                                           {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
  }
  StringMark mark;
  QStringToStringStackResult(found, mark.Offset());
  return std::move(mark).Keep();
}

StringVariable ImagePath(const char16_t* folder, const char16_t* name) {
  StringMark mark;
  AppendStrings({folder, u"/", name});
  return std::move(mark).Keep();
}

ImagePlace ImagePlaceIn(int64_t field, const char16_t* default_name) {
  const StringVariable text = TrimmedGadgetText(field);
  const char16_t* whole = text.Get();
  const char16_t* last_slash = nullptr;
  for (const char16_t* unit = whole; *unit != u'\0'; ++unit) {
    if (*unit == u'/') last_slash = unit;
  }
  ImagePlace place;
  const char16_t* name = last_slash == nullptr ? whole : last_slash + 1;
  place.name = *name == u'\0' ? default_name : name;
  if (last_slash == nullptr) {
    place.folder = DesktopFolder();
  } else if (last_slash == whole) {
    place.folder = u"/";
  } else {
    place.folder = std::u16string(whole, last_slash).c_str();
  }
  // The root folder already ends in its "/".
  place.path = last_slash == whole ? ImagePath(u"", place.name.Get())
                                   : ImagePath(place.folder.Get(), place.name.Get());
  return place;
}

StringVariable MissingFolderText(const char16_t* folder) {
  // Copied first: a StringStack result would move as the text is built on the stack.
  const StringVariable kept(folder);
  StringMark mark;
  AppendStrings({u"Folder ", kept.Get(), u" not found"});
  return std::move(mark).Keep();
}
