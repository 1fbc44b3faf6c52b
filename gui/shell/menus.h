// The menu table: menus that belong to windows, their release, and the switching of the
// installed menu bar to the key window's own.
//
// Nothing in this program makes window menus, so the table stays empty and DefaultMenuBar
// stays installed; the rules here are what makers of window menus rely on. Main thread only.
#pragma once

#include <QAction>
#include <QObject>
#include <cstdint>

class QMenu;
class QWidget;
struct ObjectTable;

// The only menu kind that is ever installed as a menu bar.
inline constexpr uint32_t MenuKindMenuBar = 0;

// The menu table's record. owned[0] is the live marker, so a record needs at least one
// owned object.
struct MenuRecord {
  QObject* owned[3];  // deleted with the record; none of them is the menu
  uint32_t kind;
  QWidget* window;  // the window the menu belongs to, or null
  QMenu* menu;      // for MenuKindMenuBar the menu bar; deleted with the record
};

// Created by InitMenus; its free function is ReleaseMenu.
extern ObjectTable* MenuTable;

// The represented object of a window menu's items: the record of their menu.
class KzMenuObject : public QObject {
 public:
  explicit KzMenuObject(MenuRecord* menu) : menu_(menu) {}

  MenuRecord* menu() const { return menu_; }

 private:
  MenuRecord* menu_;
};

// An item of a window menu. Choosing it runs the menu delegate's eventHandler, which posts
// EvMenuItem with the item's tag as the item number.
class KzMenuItem : public QAction {
 public:
  KzMenuItem(const QString& title, int64_t tag, KzMenuObject* represented_object,
             QObject* parent = nullptr);

  int64_t tag() const { return tag_; }
  KzMenuObject* representedObject() const { return represented_object_; }

 private:
  int64_t tag_;
  KzMenuObject* represented_object_;
};

// Releases a menu record (AnyObject: all of them). An installed menu bar gives way to
// DefaultMenuBar with window -1 first. Unknown numbers do nothing.
void ReleaseMenu(int64_t number);
// Releases the first record whose window is window, whatever its kind.
void ReleaseWindowMenu(QWidget* window);
// Installs the first menu bar record of window, if it has one, for the window's number;
// otherwise the installed menu bar stays.
void SwitchToWindowMenuBar(QWidget* window);

// Creates the menu table and installs the window layer's menu hooks: menu release at
// closing, menu-bar switching when a window becomes key, and the application shortcuts of
// every window that opens (windows already open get them now). Start-up, after InitWindows.
void InitMenus();
