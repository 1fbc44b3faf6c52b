#include "app/choices.h"

#include <QSettings>
#include <QStandardPaths>
#include <QString>
#include <cstdint>

#include "app/controls.h"
#include "gui/gadgets/gadgets.h"
#include "runtime/qstring_bridge.h"
#include "runtime/string_stack.h"

namespace {

// A field remembered by its text, or a choice by its state.
struct RememberedField {
  const char* key;
  int64_t gadget;
  bool by_state;
};

constexpr RememberedField kRemembered[] = {
    {"iso/source", GadgetSourcePath, false},         {"iso/saveAs", GadgetIsoImagePath, false},
    {"floppy/saveAs", GadgetFloppyImagePath, false}, {"floppy/format", GadgetFloppyFormat, true},
    {"floppy/size", GadgetFloppySize, true},         {"floppy/label", GadgetFloppyLabel, false},
};

// Looked up at each use rather than once, so that the folder follows XDG_CONFIG_HOME and HOME
// as they are now.
QString SettingsFile() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         QStringLiteral("/brevik/brevik.conf");
}

}  // namespace

void RestoreChoices() {
  const QSettings settings(SettingsFile(), QSettings::IniFormat);
  for (const RememberedField& field : kRemembered) {
    const QVariant value = settings.value(QLatin1String(field.key));
    if (!value.isValid()) continue;
    // A choice out of its list chooses nothing, and the caller's default stands.
    if (field.by_state) {
      const int index = value.toInt();
      if (index >= 0 && index < CountGadgetItems(field.gadget)) SetGadgetState(field.gadget, index);
      continue;
    }
    StringMark mark;
    SetGadgetText(field.gadget, QStringToStringStackResult(value.toString(), mark.Offset()));
  }
}

void StoreChoices() {
  QSettings settings(SettingsFile(), QSettings::IniFormat);
  for (const RememberedField& field : kRemembered) {
    if (field.by_state) {
      settings.setValue(QLatin1String(field.key), static_cast<int>(GetGadgetState(field.gadget)));
      continue;
    }
    StringMark mark;
    settings.setValue(QLatin1String(field.key),
                      StringToQString(GetGadgetText(field.gadget, mark.Offset())));
  }
}
