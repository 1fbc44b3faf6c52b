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

struct RememberedField {
  const char* key;
  int64_t gadget;
};

constexpr RememberedField kRemembered[] = {
    {"iso/source", GadgetSourcePath},
    {"iso/saveAs", GadgetIsoImagePath},
    {"floppy/saveAs", GadgetFloppyImagePath},
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
    StringMark mark;
    SetGadgetText(field.gadget, QStringToStringStackResult(value.toString(), mark.Offset()));
  }
}

void StoreChoices() {
  QSettings settings(SettingsFile(), QSettings::IniFormat);
  for (const RememberedField& field : kRemembered) {
    StringMark mark;
    settings.setValue(QLatin1String(field.key),
                      StringToQString(GetGadgetText(field.gadget, mark.Offset())));
  }
}
