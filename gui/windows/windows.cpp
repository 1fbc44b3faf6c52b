#include "gui/windows/windows.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cstring>

#include "gui/events/event_binding.h"
#include "gui/events/event_loop.h"
#include "gui/events/event_queue.h"
#include "gui/windows/gadget_list.h"
#include "gui/windows/kz_window.h"
#include "gui/windows/window_views.h"
#include "runtime/memory.h"
#include "runtime/object_table.h"
#include "runtime/qstring_bridge.h"

ObjectTable* WindowTable = nullptr;
WindowHooks WindowModuleHooks = {};

namespace {

constexpr int32_t ResizableFlags = WinResizable | WinZoomButton | WinOpenZoomed;
constexpr int32_t MiniaturizableFlags = WinMiniaturizeButton | WinOpenMiniaturized;

// The overlay's size: larger than any content it has to cover.
constexpr int BlockerExtent = 4096;

struct TitleBarButton {
  Qt::WindowType hint;
  int32_t KzDisabledView::*was_enabled;
};

constexpr TitleBarButton TitleBarButtons[] = {
    {Qt::WindowCloseButtonHint, &KzDisabledView::close_button_enabled},
    {Qt::WindowMinimizeButtonHint, &KzDisabledView::minimize_button_enabled},
    {Qt::WindowMaximizeButtonHint, &KzDisabledView::maximize_button_enabled},
};

int32_t EffectiveFlags(int32_t flags) {
  if ((flags & WinBorderless) != 0) return flags;
  flags |= WinTitled;
  if ((flags & (WinZoomButton | WinMiniaturizeButton)) != 0) flags |= WinClosable;
  return flags;
}

// The title-bar hints count only with CustomizeWindowHint. The maximise button is the zoom
// button, which every resizable window has.
Qt::WindowFlags QtWindowFlags(int32_t effective) {
  if ((effective & WinBorderless) != 0) return Qt::Window | Qt::FramelessWindowHint;
  Qt::WindowFlags flags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
  flags.setFlag(Qt::WindowCloseButtonHint, (effective & WinClosable) != 0);
  flags.setFlag(Qt::WindowMinimizeButtonHint, (effective & MiniaturizableFlags) != 0);
  flags.setFlag(Qt::WindowMaximizeButtonHint, (effective & ResizableFlags) != 0);
  return flags;
}

QPoint PrimaryScreenOrigin() {
  QScreen* screen = QGuiApplication::primaryScreen();
  return screen != nullptr ? screen->geometry().topLeft() : QPoint();
}

// Offset that centres inner on outer, truncated like every position the runtime reads back.
int CentredOffset(int outer, int inner) {
  return static_cast<int>(outer * 0.5 - inner * 0.5);
}

bool IsOnScreen(const QWidget* window) {
  return window->isVisible() && !window->isMinimized();
}

void FillRecord(WindowRecord* record, KzWindow* window, KzWindowEvents* events) {
  record->window = window;
  record->events = events;
  // Qt's active window may be one that closed a moment ago and awaits deletion.
  record->previous_key = QApplication::activeWindow();
  record->content_min_size[0] = window->minimumWidth();
  record->content_min_size[1] = window->minimumHeight();
  record->content_max_size[0] = window->maximumWidth();
  record->content_max_size[1] = window->maximumHeight();
}

// A Qt parent would own the child window and delete it behind the window table's back; a
// transient parent keeps the child above its parent without owning it.
void AttachToParent(KzWindow* window, QWidget* parent) {
  QWindow* parent_handle = parent->window()->windowHandle();
  if (parent_handle != nullptr) window->windowHandle()->setTransientParent(parent_handle);
}

void DetachFromParent(KzWindow* window) {
  if (QWindow* handle = window->windowHandle()) handle->setTransientParent(nullptr);
}

void ShowWindow(KzWindow* window, int32_t flags) {
  if ((flags & WinNoFocus) != 0) {
    window->setAttribute(Qt::WA_ShowWithoutActivating);
    window->show();
    return;
  }
  window->show();
  window->raise();
  window->activateWindow();
}

// Runs for hidden windows too: a window state set while hidden applies when it shows.
void ApplyOpeningState(KzWindow* window, int32_t flags) {
  Qt::WindowState state = Qt::WindowNoState;
  if ((flags & WinOpenZoomed) != 0) state = Qt::WindowMaximized;
  if ((flags & WinOpenMiniaturized) != 0) state = Qt::WindowMinimized;
  if (state == Qt::WindowNoState) return;
  SuppressEvents();
  window->setWindowState(window->windowState() | state);
  ResumeEvents();
  // Qt applies the maximised size later, when the window system answers; the zoom of the
  // opening must not ride on that resize.
  window->delegate()->clearZoomEvent();
}

KzWindow* NewPlatformWindow(int32_t x, int32_t y, int32_t width, int32_t height,
                            int32_t effective) {
  auto* window = new KzWindow;
  window->setWindowFlags(QtWindowFlags(effective));
  // Qt knows a window's frame only from its native window; placing the frame needs it.
  window->winId();
  window->resize(width, height);
  window->setResizable((effective & ResizableFlags) != 0);
  // QWidget::move places a top-level window's frame, title bar included.
  window->move(PrimaryScreenOrigin() + QPoint(x, y));
  return window;
}

// Only the key window hands its status on, and only when some window was key as it opened.
KzWindow* ChooseNextKeyWindow(const WindowRecord* closing) {
  if (closing->previous_key == nullptr || !closing->window->isActiveWindow()) return nullptr;
  KzWindow* candidate = nullptr;
  int64_t number = 0;
  ResetObjectEnumeration(WindowTable);
  while (auto* record = static_cast<WindowRecord*>(NextObject(WindowTable, &number))) {
    KzWindow* window = record->window;
    if (window == closing->window || !IsOnScreen(window)) continue;
    if (window == closing->previous_key) return window;
    if (candidate == nullptr) candidate = window;
  }
  return candidate;
}

void RemoveBlocker(WindowRecord* record) {
  KzDisabledView* blocker = record->blocker;
  Qt::WindowFlags flags = record->window->windowFlags();
  for (const TitleBarButton& button : TitleBarButtons) {
    if (blocker->*button.was_enabled != 0) flags |= button.hint;
  }
  record->window->replaceTitleBarFlags(flags);
  // The overlay's own handlers never call out, so it cannot be inside one of them now.
  delete blocker;
  record->blocker = nullptr;
}

void AddBlocker(WindowRecord* record) {
  KzWindow* window = record->window;
  auto* blocker = new KzDisabledView(window->contentView());
  blocker->setGeometry(0, 0, BlockerExtent, BlockerExtent);
  blocker->raise();
  blocker->show();
  record->blocker = blocker;
  window->setFocus();
  Qt::WindowFlags flags = window->windowFlags();
  for (const TitleBarButton& button : TitleBarButtons) {
    blocker->*button.was_enabled = flags.testFlag(button.hint) ? 1 : 0;
    flags.setFlag(button.hint, false);
  }
  window->replaceTitleBarFlags(flags);
}

// The keyboard-shortcut hook of the event loop: the shortcuts of the key press's window,
// in order; the first that matches posts its item and takes the key.
bool AskWindowShortcuts(QObject* receiver, const QKeyEvent* event, int64_t* window, int32_t* item) {
  const int64_t number = WindowNumberOf(static_cast<QWidget*>(receiver)->window());
  if (number == -1) return false;
  WindowRecord* record = WindowExists(number);
  // A blocked window takes no input, its keyboard shortcuts included.
  if (record == nullptr || record->shortcuts == nullptr || record->blocker != nullptr) {
    return false;
  }
  for (const KzWindowShortcut* shortcut : *record->shortcuts) {
    if (!shortcut->isEventMatch(event, item)) continue;
    *window = number;
    return true;
  }
  return false;
}

}  // namespace

int64_t OpenWindow(int64_t number, int32_t x, int32_t y, int32_t width, int32_t height,
                   const char16_t* title, int32_t flags, QWidget* parent) {
  if (WindowTable == nullptr) return 0;
  if (x == DefaultPosition || y == DefaultPosition) flags |= WinCentreOnScreen;
  const int32_t effective = EffectiveFlags(flags);
  if ((effective & WinOpenZoomed) != 0) {
    width = std::max(width, 1);
    height = std::max(height, 1);
  }
  KzWindow* window = NewPlatformWindow(x, y, width, height, effective);
  auto* record = static_cast<WindowRecord*>(GetOrCreateObject(WindowTable, number));
  if (record == nullptr) {
    delete window;
    return 0;
  }
  const int64_t id = number == AnyObject ? reinterpret_cast<int64_t>(record) : number;
  window->setRecord(record);
  auto* events = new KzWindowEvents(window);
  events->connectWithID(window, id);
  FillRecord(record, window, events);
  window->setWindowTitle(StringToQString(title));
  if (parent != nullptr) {
    if ((flags & WinHidden) == 0) AttachToParent(window, parent);
    record->parent = parent;
  }
  // Placing and showing send the window's first moves and resizes: they are the opening,
  // not news for the program.
  SuppressEvents();
  PlaceWindow(window, effective, parent);
  ResumeEvents();
  if (WindowModuleHooks.window_opened != nullptr) WindowModuleHooks.window_opened(window);
  if ((flags & WinHidden) == 0) ShowWindow(window, flags);
  ApplyOpeningState(window, flags);
  events->finishOpening((flags & WinOpenZoomed) != 0 && (flags & WinOpenMiniaturized) == 0);
  // The content view shows Qt's window background, as the window itself would.
  window->setContentView(new KzFlippedWindowView(id));
  if ((flags & WinKeepGadgetList) == 0) KzGadgetList::setWindow(window);
  return number == AnyObject ? id : reinterpret_cast<int64_t>(window);
}

void PlaceWindow(QWidget* window, int32_t flags, QWidget* parent) {
  const QSize frame = window->frameGeometry().size();
  if ((flags & WinCentreOnScreen) != 0) {
    // Qt's global coordinates put each screen at its own origin, which a window on a
    // second screen needs added.
    const QScreen* screen = window->screen();
    if (screen == nullptr) return;
    const QRect area = screen->geometry();
    window->move(area.x() + CentredOffset(area.width(), frame.width()),
                 area.y() + CentredOffset(area.height(), frame.height()));
    return;
  }
  if ((flags & WinCentreOnParent) == 0) return;
  const QWidget* reference = parent != nullptr ? parent : QApplication::activeWindow();
  if (reference == nullptr) return;
  const QRect area = reference->frameGeometry();
  window->move(area.x() + CentredOffset(area.width(), frame.width()),
               area.y() + CentredOffset(area.height(), frame.height()));
}

void CloseWindow(int64_t number) {
  if (WindowTable == nullptr) return;
  if (number == AnyObject) {
    FreeAllObjects(WindowTable);
    return;
  }
  auto* record = static_cast<WindowRecord*>(LookupObject(WindowTable, number));
  if (record == nullptr) return;
  UnbindWindowHandlers(number);
  if (WindowModuleHooks.free_window_gadgets != nullptr) {
    WindowModuleHooks.free_window_gadgets(number);
  }
  KzWindow* window = record->window;
  KzWindow* next_key = ChooseNextKeyWindow(record);
  if (WindowModuleHooks.release_window_menu != nullptr) {
    WindowModuleHooks.release_window_menu(window);
  }
  if (record->parent != nullptr) DetachFromParent(window);
  window->closeWindow();
  PurgeWindowEvents(number);
  if (next_key != nullptr) next_key->activateWindow();
}

WindowRecord* WindowExists(int64_t number) {
  if (WindowTable == nullptr) return nullptr;
  return static_cast<WindowRecord*>(LookupObject(WindowTable, number));
}

KzWindow* NativeWindow(int64_t number) {
  WindowRecord* record = WindowExists(number);
  return record != nullptr ? record->window : nullptr;
}

int64_t WindowNumberOf(const QWidget* window) {
  const auto* kz_window = dynamic_cast<const KzWindow*>(window);
  if (kz_window == nullptr || kz_window->delegate() == nullptr) return -1;
  return kz_window->delegate()->windowID();
}

void SizeWindow(int64_t number, int32_t width, int32_t height) {
  KzWindow* window = NativeWindow(number);
  if (window == nullptr) return;
  if (window->isResizable()) {
    window->resize(width, height);
  } else {
    window->setFixedSize(width, height);
  }
}

void BlockWindowInput(int64_t number, int32_t block) {
  WindowRecord* record = WindowExists(number);
  if (record == nullptr) return;
  if (record->blocker != nullptr) RemoveBlocker(record);
  if (block != 0) AddBlocker(record);
}

std::unique_ptr<QPainter> WindowDrawingContext(WindowRecord* record, int32_t width,
                                               int32_t height) {
  if (record == nullptr || width < 1 || height < 1) return nullptr;
  const uint64_t bytes = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 4;
  KzWindowOutputView* view = record->output_view;
  if (view != nullptr && view->bitmap().size() == QSize(width, height)) {
    std::memset(record->output_pixels, 0, bytes);
  } else {
    FreeWindowOutput(record);
    record->output_pixels = static_cast<uint8_t*>(AllocateBlock(bytes));
    if (record->output_pixels == nullptr) return nullptr;
    view = new KzWindowOutputView(record->window->contentView());
    view->setGeometry(0, 0, width, height);
    view->raise();
    view->show();
    record->output_view = view;
  }
  view->setBitmap(QImage(record->output_pixels, width, height, static_cast<qsizetype>(width) * 4,
                         QImage::Format_RGBA8888_Premultiplied));
  return std::make_unique<QPainter>(&view->bitmap());
}

void FreeWindowOutput(WindowRecord* record) {
  if (record == nullptr) return;
  // The view goes first: its bitmap reads the pixel buffer.
  delete record->output_view;
  record->output_view = nullptr;
  FreeBlock(record->output_pixels);
  record->output_pixels = nullptr;
}

bool AddWindowShortcut(int64_t number, std::unique_ptr<KzWindowShortcut> shortcut) {
  WindowRecord* record = WindowExists(number);
  if (record == nullptr || shortcut == nullptr) return false;
  if (record->shortcuts == nullptr) record->shortcuts = new std::vector<KzWindowShortcut*>;
  record->shortcuts->push_back(shortcut.release());
  return true;
}

bool AddWindowTimer(int64_t number, QTimer* timer) {
  WindowRecord* record = WindowExists(number);
  if (record == nullptr || timer == nullptr) return false;
  // As the window's child the timer cannot be deleted by a parent of its own meanwhile.
  timer->setParent(record->window);
  if (record->timers == nullptr) record->timers = new std::vector<QTimer*>;
  record->timers->push_back(timer);
  return true;
}

void InitWindows() {
  if (WindowTable != nullptr) return;
  WindowTable = NewObjectTable(sizeof(WindowRecord), 8, &CloseWindow);
  InitGadgetLists();
  // The activation policy has no counterpart here: every Qt application is a regular one.
  SetKeyboardShortcutHook(&AskWindowShortcuts);
}
