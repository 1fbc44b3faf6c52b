// The application shell: the application object, the application menu with its delegate,
// the installed menu bar, and the routes by which the system asks the program to end.
//
// Every way of quitting (the Quit item, Ctrl+Q, SIGTERM/SIGINT/SIGHUP, the session
// manager, a QEvent::Quit) becomes EvMenuItem with item QuitMenuItem, and the program does
// not end by itself: the main loop decides. The event's subtype says who asked (see
// QuitByUser). Main thread only.
#pragma once

#include <QObject>
#include <cstdint>

// The subtype of the quit event when the user asked for it, with the Quit item or Ctrl+Q:
// the program may still ask whether the user means it, say when a quit would throw away work
// under way, and drop the event when the answer is no. The system's requests (the signals,
// the session manager's logout, a QEvent::Quit) keep subtype 0, as does any other poster:
// each is an order that no question may hold up, since nobody may be there to answer it.
inline constexpr int64_t QuitByUser = 1;

class KzMenuItem;
class QAction;
class QMenu;
class QWidget;

// Target of the application menu's items and of window menu items. Each posts EvMenuItem
// carrying as window the number whose menu bar is installed: -1 for DefaultMenuBar.
class KzMenuDelegate : public QObject {
 public:
  int64_t windowID() const { return window_id_; }
  void setWindowID(int64_t id) { window_id_ = id; }

  void preferences();  // PreferencesMenuItem
  void about();        // AboutMenuItem
  void terminate();    // QuitMenuItem, subtype QuitByUser; the application does not end
  // A window menu's item: nothing while the item's window is blocked; the item's tag and its
  // window's number otherwise; tag and window 0 for a menu without a window.
  void eventHandler(const KzMenuItem* item);

 private:
  int64_t window_id_ = -1;
};

// Made by StartApplication and kept for the life of the process. Read-only for callers.
extern KzMenuDelegate* MenuDelegate;
// The application menu ("About <program>" ... "Quit <program>") and the item that carries it
// at index 0 of whichever menu bar is installed.
extern QMenu* ApplicationMenu;
extern QAction* ApplicationMenuItem;
// The menu bar installed at start: it holds only the application menu item.
extern QMenu* DefaultMenuBar;

// Creates the KzApplication from the stored command line, installs the termination routes
// (SIGTERM, SIGINT, SIGHUP, the session manager's quit), builds the application menu and
// installs DefaultMenuBar for window -1. Runs once at start-up; a second call does nothing.
void StartApplication();

// Returns a new empty menu bar; the first call also builds the application menu. A menu bar
// is a QMenu of top-level items: no QMenuBar widget takes room from a window's content.
QMenu* BuildApplicationMenu();
// Moves the application menu item to index 0 of menu_bar, makes it the installed menu bar
// and gives the menu delegate window as its window.
void InstallMenuBar(QMenu* menu_bar, int64_t window);
// The installed menu bar.
QMenu* MainMenuBar();

// Gives window the application menu's shortcuts, which then work in every active window
// (application-wide context) while window is visible. InitMenus has OpenWindow do this for
// every window it opens.
void AttachApplicationShortcuts(QWidget* window);

// The operating system's version code, computed once: on Linux 10090, the code for a
// system without a detailed version; on macOS SystemVersionCodeFor the running version.
int64_t SystemVersionCode();
// 10.10 ... 10.15 give 10100 ... 10150, 11 ... 15 give 11000 ... 15000, 16 and later 99999,
// every other version 10090.
int64_t SystemVersionCodeFor(int major, int minor);
