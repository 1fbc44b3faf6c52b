// Numbered windows: the window table, opening with its flags and placement rules, closing
// with everything that belongs to a window, input blocking and the drawing bitmap.
//
// A window is a KzWindow (kz_window.h) whose content view is a KzFlippedWindowView and whose
// delegate, a KzWindowEvents, turns Qt's window events into runtime events. A window closes
// only through CloseWindow; its close button merely posts EvCloseRequest. Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

class KzDisabledView;
class KzWindow;
class KzWindowEvents;
class KzWindowOutputView;
class QDragMoveEvent;
class QDropEvent;
class QKeyEvent;
class QPainter;
class QTimer;
class QWidget;
struct ObjectTable;

// A coordinate of OpenWindow that asks for the default place: centred on the screen.
inline constexpr int32_t DefaultPosition = -65535;

// OpenWindow flags. The values are part of the application interface.
inline constexpr int32_t WinHidden = 0x1;  // neither shown nor attached to its parent
inline constexpr int32_t WinResizable = 0x2;
inline constexpr int32_t WinClosable = 0x4;            // close button
inline constexpr int32_t WinTitled = 0x8;              // title bar; added unless WinBorderless
inline constexpr int32_t WinZoomButton = 0x10;         // resizable; implies WinClosable
inline constexpr int32_t WinMiniaturizeButton = 0x20;  // minimise button; implies WinClosable
inline constexpr int32_t WinCentreOnScreen = 0x40;     // implied by a DefaultPosition coordinate
inline constexpr int32_t WinBorderless = 0x80;         // no title bar; no implied flags are added
inline constexpr int32_t WinCentreOnParent = 0x100;    // on the parent, else on the key window
inline constexpr int32_t WinOpenZoomed = 0x200;        // maximised after opening; also resizable
inline constexpr int32_t WinOpenMiniaturized = 0x400;  // minimised after opening; wins over zoomed
inline constexpr int32_t WinKeepGadgetList = 0x1000;   // the current gadget list stays as it is
inline constexpr int32_t WinNoFocus = 0x2000;          // shown without being activated

// A keyboard shortcut of one window, asked for every key press in that window before Qt
// dispatches it.
class KzWindowShortcut {
 public:
  virtual ~KzWindowShortcut() = default;
  // True when the key press is this shortcut's; *item then holds the menu item number that
  // the EvMenuItem event carries.
  virtual bool isEventMatch(const QKeyEvent* event, int32_t* item) const = 0;
};

// The window table's record; the window field is the live marker. The record is a zeroed
// block, so what it owns is held through plain pointers.
struct WindowRecord {
  KzWindow* window;
  // Given at opening, recorded even for a hidden window. Only compared after opening: the
  // child detaches itself from its side, so a parent that went away first is never touched.
  QWidget* parent;
  KzWindowEvents* events;
  std::vector<QTimer*>* timers;               // owned; stopped and deleted when the window closes
  std::vector<KzWindowShortcut*>* shortcuts;  // owned; asked in order, deleted at close
  KzDisabledView* blocker;                    // the overlay while input is blocked, else null
  // The active window when this one opened, possibly gone since: compared, never
  // dereferenced.
  QWidget* previous_key;
  double content_min_size[2];  // width, height right after creation
  double content_max_size[2];
  KzWindowOutputView* output_view;
  uint8_t* output_pixels;  // sized block under the output view's bitmap
};

// Created by InitWindows; its free function is CloseWindow, so FreeAllObjects closes every
// window.
extern ObjectTable* WindowTable;

// Opens window number (or AnyObject) with a content area of exactly width x height. x and y
// place the frame's top-left corner, title bar included, relative to the primary screen;
// DefaultPosition in either centres the window on its screen. A null title reads as "".
// Returns the handle for AnyObject, otherwise the KzWindow's address (NativeWindow gives it
// typed); 0 when no record could be had. A number in use closes its window first.
int64_t OpenWindow(int64_t number, int32_t x, int32_t y, int32_t width, int32_t height,
                   const char16_t* title, int32_t flags = WinClosable, QWidget* parent = nullptr);

// Closes the window and everything belonging to it: bindings, gadgets, menu, queued events,
// output, timers and shortcuts. When it was the key window, key status goes back to the
// window that was key when it opened, or else to the first other visible window. AnyObject
// closes every window; an unknown number does nothing.
void CloseWindow(int64_t number);

// The live record of a number or handle, null when there is none.
WindowRecord* WindowExists(int64_t number);
KzWindow* NativeWindow(int64_t number);
// The window's number or handle; -1 for anything that is not an open KzWindow.
int64_t WindowNumberOf(const QWidget* window);

// Gives the window a content area of width x height, its frame's top-left corner staying
// where it is. A window that the user cannot resize keeps the new size fixed. An unknown
// number does nothing.
void SizeWindow(int64_t number, int32_t width, int32_t height);

// Non-zero block lays a KzDisabledView over the content, disables the title-bar buttons and
// keeps the window from becoming key; zero removes it and re-enables the buttons it
// disabled. Blocking is not counted: a second block replaces the first.
void BlockWindowInput(int64_t number, int32_t block);

// A painter over a zeroed width x height RGBA bitmap (premultiplied alpha) shown above the
// window's content, or null when memory runs out or a size is below 1. The same size keeps
// the view and clears its bitmap. The caller owns the painter and must end it (destroy it)
// before the next WindowDrawingContext, FreeWindowOutput or CloseWindow of the window.
std::unique_ptr<QPainter> WindowDrawingContext(WindowRecord* record, int32_t width, int32_t height);
// Removes the output view and frees its bitmap; null or a record without output is ignored.
void FreeWindowOutput(WindowRecord* record);

// The centring step of OpenWindow: WinCentreOnScreen centres the frame on the window's
// screen; otherwise WinCentreOnParent centres it on parent, or on the active window when
// parent is null. The size is kept; without either flag nothing happens.
void PlaceWindow(QWidget* window, int32_t flags, QWidget* parent);

// The window takes the shortcut and asks it for the window's key presses, in the order of
// adding. False (and the shortcut is destroyed) when the window does not exist.
bool AddWindowShortcut(int64_t number, std::unique_ptr<KzWindowShortcut> shortcut);
// The window takes the timer and stops and deletes it when it closes. False, with the timer
// left to the caller, when the window does not exist.
bool AddWindowTimer(int64_t number, QTimer* timer);

// Creates the window table and the gadget-list state and installs the keyboard-shortcut
// hook of the event loop. Start-up, after InitEvents; a second call does nothing.
void InitWindows();

// Calls from the window layer into modules that link after it. Each is a plain function
// pointer that the later module installs from its start routine; a null hook is skipped.
struct WindowHooks {
  // Frees the gadgets of a closing window. The gadget module's start routine installs
  // FreeWindowGadgets.
  void (*free_window_gadgets)(int64_t window);
  // Releases the menu record of a closing window. InitMenus (shell) installs
  // ReleaseWindowMenu.
  void (*release_window_menu)(QWidget* window);
  // Installs the window's own menu bar when it becomes key, before EvBecameKey is posted.
  // InitMenus installs the menu-bar switching.
  void (*install_window_menu_bar)(QWidget* window);
  // Called for every window OpenWindow creates, before it is shown. InitMenus installs the
  // routine that gives each window the application menu's shortcuts.
  void (*window_opened)(QWidget* window);
  // Drags over and drops on a window's background; without them drags are refused. The
  // drag-and-drop module installs them: drop receives gadget -1 and the window's number.
  void (*drag_entered)(QWidget* view, QDragMoveEvent* event);
  void (*drag_updated)(QWidget* view, QDragMoveEvent* event);
  void (*drop)(QWidget* view, QDropEvent* event, int64_t gadget, int64_t window);
};
extern WindowHooks WindowModuleHooks;
