#include "gui/shell/application.h"

#include <QAction>
#include <QApplication>
#include <QFileInfo>
#include <QMenu>
#include <QPointer>
#include <QSessionManager>
#include <thread>
#include <vector>

#ifdef Q_OS_MACOS
#include <QOperatingSystemVersion>
#endif

#include "gui/events/event_queue.h"
#include "gui/events/kz_application.h"
#include "gui/shell/menus.h"
#include "gui/shell/termination_signals.h"
#include "gui/windows/windows.h"
#include "runtime/program_arguments.h"

KzMenuDelegate* MenuDelegate = nullptr;
QMenu* ApplicationMenu = nullptr;
QAction* ApplicationMenuItem = nullptr;
QMenu* DefaultMenuBar = nullptr;

namespace {

// QApplication keeps a reference to the count for its whole life.
int ApplicationArgumentCount = 0;
char* FallbackArgumentVector[] = {const_cast<char*>("brevik"), nullptr};

QMenu* InstalledMenuBar = nullptr;
int64_t SystemVersionCache = -1;

// The windows that Hide minimised, for Show All to bring back; a window may close meanwhile.
std::vector<QPointer<QWidget>> HiddenWindows;

void ConnectSessionManager(KzApplication* app) {
  // Logging out asks the session manager's question; the answer is always "not yet",
  // and the main loop ends the program through the quit event instead.
  QObject::connect(app, &QGuiApplication::commitDataRequest, app, [](QSessionManager& manager) {
    manager.cancel();
    RequestTermination();
  });
}

QString ExecutableName() {
  return QFileInfo(QCoreApplication::applicationFilePath()).fileName();
}

// Hiding an application has no counterpart on Linux; minimising its windows is the nearest.
void HideApplication() {
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (!window->isVisible() || window->isMinimized()) continue;
    window->setWindowState(window->windowState() | Qt::WindowMinimized);
    HiddenWindows.emplace_back(window);
  }
}

// Brings back what Hide minimised; windows the user minimised stay so.
void ShowAllWindows() {
  for (const QPointer<QWidget>& window : HiddenWindows) {
    if (window.isNull() || !window->isMinimized()) continue;
    window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
  }
  HiddenWindows.clear();
}

QAction* AddItem(const QString& title, const QKeySequence& shortcut = QKeySequence()) {
  QAction* item = ApplicationMenu->addAction(title);
  item->setShortcut(shortcut);
  item->setShortcutContext(Qt::ApplicationShortcut);
  return item;
}

void BuildApplicationMenuItems() {
  const QString name = ExecutableName();
  ApplicationMenu = new QMenu(QString());
  // About and Preferences have no target: nothing in the program answers them, so they
  // stay inactive, shortcut included.
  AddItem(QStringLiteral("About ") + name)->setEnabled(false);
  ApplicationMenu->addSeparator();
  AddItem(QStringLiteral("Preferences\u2026"), QKeySequence(Qt::CTRL | Qt::Key_Comma))
      ->setEnabled(false);
  ApplicationMenu->addSeparator();
  ApplicationMenu->addMenu(new QMenu(QStringLiteral("Services"), ApplicationMenu));
  ApplicationMenu->addSeparator();
  QObject::connect(AddItem(QStringLiteral("Hide ") + name, QKeySequence(Qt::CTRL | Qt::Key_H)),
                   &QAction::triggered, &HideApplication);
  // Other programs' windows are out of reach here.
  AddItem(QStringLiteral("Hide Others"), QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_H))
      ->setEnabled(false);
  QObject::connect(AddItem(QStringLiteral("Show All")), &QAction::triggered, &ShowAllWindows);
  ApplicationMenu->addSeparator();
  QObject::connect(AddItem(QStringLiteral("Quit ") + name, QKeySequence(Qt::CTRL | Qt::Key_Q)),
                   &QAction::triggered, MenuDelegate, &KzMenuDelegate::terminate);
  ApplicationMenuItem = new QAction(QStringLiteral("Apple"), ApplicationMenu);
  ApplicationMenuItem->setMenu(ApplicationMenu);
}

}  // namespace

void KzMenuDelegate::preferences() {
  NotifyEvent(EvMenuItem, PreferencesMenuItem, window_id_, 0);
}

void KzMenuDelegate::about() {
  NotifyEvent(EvMenuItem, AboutMenuItem, window_id_, 0);
}

void KzMenuDelegate::terminate() {
  NotifyEvent(EvMenuItem, QuitMenuItem, window_id_, QuitByUser);
}

void KzMenuDelegate::eventHandler(const KzMenuItem* item) {
  const KzMenuObject* object = item->representedObject();
  if (object == nullptr || object->menu() == nullptr) return;
  const MenuRecord* record = object->menu();
  if (record->window == nullptr) {
    NotifyEvent(EvMenuItem, item->tag(), 0, 0);
    return;
  }
  const int64_t window = WindowNumberOf(record->window);
  const WindowRecord* window_record = WindowExists(window);
  if (window_record != nullptr && window_record->blocker != nullptr) return;
  NotifyEvent(EvMenuItem, item->tag(), window, 0);
}

void StartApplication() {
  if (QCoreApplication::instance() != nullptr) return;
  // The per-user default that hides the touch bar's function row and the autorelease
  // pool have no counterpart here; Qt's deferred deletion takes the pool's place.
  char** argv = ProgramArgumentVector;
  ApplicationArgumentCount = ProgramArgumentCount;
  if (argv == nullptr || ApplicationArgumentCount < 1) {
    argv = FallbackArgumentVector;
    ApplicationArgumentCount = 1;
  }
  auto* app = new KzApplication(ApplicationArgumentCount, argv);
  ConnectSessionManager(app);
  InstallTerminationSignals();
  MenuDelegate = new KzMenuDelegate;
  DefaultMenuBar = BuildApplicationMenu();
  InstallMenuBar(DefaultMenuBar, -1);
  if (ThreadSafeMode != 0) std::thread([] {}).detach();
}

QMenu* BuildApplicationMenu() {
  auto* menu_bar = new QMenu;
  if (ApplicationMenu == nullptr) BuildApplicationMenuItems();
  return menu_bar;
}

void InstallMenuBar(QMenu* menu_bar, int64_t window) {
  if (menu_bar == nullptr || ApplicationMenuItem == nullptr) return;
  if (InstalledMenuBar != nullptr) InstalledMenuBar->removeAction(ApplicationMenuItem);
  const QList<QAction*> items = menu_bar->actions();
  menu_bar->insertAction(items.isEmpty() ? nullptr : items.first(), ApplicationMenuItem);
  InstalledMenuBar = menu_bar;
  MenuDelegate->setWindowID(window);
}

QMenu* MainMenuBar() {
  return InstalledMenuBar;
}

void AttachApplicationShortcuts(QWidget* window) {
  if (ApplicationMenu == nullptr) return;
  for (QAction* item : ApplicationMenu->actions()) {
    if (!item->shortcut().isEmpty()) window->addAction(item);
  }
}

int64_t SystemVersionCodeFor(int major, int minor) {
  if (major > 15) return 99999;
  if (major >= 11) return 11000 + (major - 11) * 1000;
  if (major == 10 && minor >= 10 && minor <= 15) return 10000 + 10 * minor;
  return 10090;
}

int64_t SystemVersionCode() {
  if (SystemVersionCache != -1) return SystemVersionCache;
#ifdef Q_OS_MACOS
  const QOperatingSystemVersion version = QOperatingSystemVersion::current();
  SystemVersionCache = SystemVersionCodeFor(version.majorVersion(), version.minorVersion());
#else
  SystemVersionCache = 10090;
#endif
  return SystemVersionCache;
}
