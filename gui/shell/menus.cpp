#include "gui/shell/menus.h"

#include <QApplication>
#include <QMenu>

#include "gui/shell/application.h"
#include "gui/windows/kz_window.h"
#include "gui/windows/windows.h"
#include "runtime/object_table.h"

ObjectTable* MenuTable = nullptr;

namespace {

// The first record of window (of kind MenuKindMenuBar only, when asked); its number goes to
// *number.
MenuRecord* FindWindowMenu(const QWidget* window, bool menu_bar_only, int64_t* number) {
  if (MenuTable == nullptr) return nullptr;
  ResetObjectEnumeration(MenuTable);
  while (auto* record = static_cast<MenuRecord*>(NextObject(MenuTable, number))) {
    if (record->window != window) continue;
    if (menu_bar_only && record->kind != MenuKindMenuBar) continue;
    return record;
  }
  return nullptr;
}

}  // namespace

KzMenuItem::KzMenuItem(const QString& title, int64_t tag, KzMenuObject* represented_object,
                       QObject* parent)
    : QAction(title, parent), tag_(tag), represented_object_(represented_object) {
  if (MenuDelegate == nullptr) return;
  connect(this, &QAction::triggered, MenuDelegate, [this] { MenuDelegate->eventHandler(this); });
}

void ReleaseMenu(int64_t number) {
  if (MenuTable == nullptr) return;
  if (number == AnyObject) {
    FreeAllObjects(MenuTable);
    return;
  }
  auto* record = static_cast<MenuRecord*>(LookupObject(MenuTable, number));
  if (record == nullptr) return;
  if (record->menu != nullptr && record->menu == MainMenuBar()) InstallMenuBar(DefaultMenuBar, -1);
  // A menu may be released from a callback of its own item, which is still running.
  for (QObject* object : record->owned) {
    if (object != nullptr) object->deleteLater();
  }
  if (record->menu != nullptr) record->menu->deleteLater();
  ReleaseObjectSlot(MenuTable, number);
}

void ReleaseWindowMenu(QWidget* window) {
  int64_t number = 0;
  if (FindWindowMenu(window, false, &number) != nullptr) ReleaseMenu(number);
}

void SwitchToWindowMenuBar(QWidget* window) {
  int64_t number = 0;
  MenuRecord* record = FindWindowMenu(window, true, &number);
  if (record != nullptr) InstallMenuBar(record->menu, WindowNumberOf(window));
}

void InitMenus() {
  if (MenuTable != nullptr) return;
  MenuTable = NewObjectTable(sizeof(MenuRecord), 8, &ReleaseMenu);
  WindowModuleHooks.release_window_menu = &ReleaseWindowMenu;
  WindowModuleHooks.install_window_menu_bar = &SwitchToWindowMenuBar;
  WindowModuleHooks.window_opened = &AttachApplicationShortcuts;
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (dynamic_cast<KzWindow*>(window) != nullptr) AttachApplicationShortcuts(window);
  }
}
