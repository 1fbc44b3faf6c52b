// KzWindow, the top-level widget of a numbered window, and KzWindowEvents, its delegate,
// which turns the window's Qt events into runtime events.
#pragma once

#include <QObject>
#include <QWidget>
#include <cstdint>

class KzWindowEvents;
struct WindowRecord;

class KzWindow : public QWidget {
 public:
  KzWindow();
  ~KzWindow() override;

  // The window's record, null before OpenWindow registers it and after it closes.
  WindowRecord* record() const { return record_; }
  void setRecord(WindowRecord* record) { record_ = record; }

  KzWindowEvents* delegate() const { return delegate_; }
  void setDelegate(KzWindowEvents* delegate) { delegate_ = delegate; }

  QWidget* contentView() const { return content_view_; }
  // The view fills the window from now on; a previous content view is deleted later.
  void setContentView(QWidget* view);

  // Only a window whose input is not blocked becomes key.
  bool canBecomeKeyWindow() const;

  // A fixed-size window is Qt's reading of a style without the resizable bit.
  bool isResizable() const { return resizable_; }
  void setResizable(bool resizable);

  // Changes the title-bar hints without recreating the native window. QWidget's
  // setWindowFlags would recreate it, and that hides the window.
  void replaceTitleBarFlags(Qt::WindowFlags flags);

  // Closing as CloseWindow needs it: the delegate's windowWillClose runs, the window hides
  // and is deleted later. QWidget::close() will not do: while Qt delivers a close request
  // to this window, whose callback may well close it, a nested close() does nothing.
  void closeWindow();

 protected:
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool focusNextPrevChild(bool next) override;

 private:
  void BecomeKey();
  void ResignKey();

  WindowRecord* record_ = nullptr;
  KzWindowEvents* delegate_ = nullptr;
  QWidget* content_view_ = nullptr;
  bool resizable_ = true;
};

// The window's delegate: every notification posts NotifyEvent(kind, id, id, 0), id being
// the window's number or handle. It belongs to its window and deletes itself when the
// window closes.
class KzWindowEvents : public QObject {
 public:
  explicit KzWindowEvents(KzWindow* window);

  // Stores window and id, clears the pending zoom event and becomes the window's delegate.
  void connectWithID(KzWindow* window, int64_t id);
  int64_t windowID() const { return window_id_; }
  // The kind the next resize posts before EvResized, 0 for none.
  int32_t zoomEvent() const { return zoom_event_; }
  void clearZoomEvent() { zoom_event_ = 0; }
  // The end of the opening: the window's place and size as they are now are known to the
  // program, and so is the zoom of the opening (zoomed: the window system applies it
  // later), so that neither is posted as a move or resize.
  void finishOpening(bool zoomed);

  // Posts EvCloseRequest; the window stays open.
  void windowShouldClose();
  // Releases what the record holds and the record itself; the window has no delegate
  // afterwards.
  void windowWillClose();
  // False when a callback closed the window.
  bool kzHandleResizeEvent();
  void windowDidResize();
  void windowDidEnterFullScreen();
  void windowDidExitFullScreen();
  void windowDidMove();
  void windowDidBecomeKey();
  void windowDidResignKey();
  void windowDidMiniaturize();
  void windowDidDeminiaturize();
  // Qt reports the zoom direction itself: maximising enlarges, leaving maximised restores.
  // The resize that follows posts the zoom event before its EvResized.
  void windowShouldZoom(bool enlarging);
  // Sorts a window-state change into the notifications above.
  void windowDidChangeState(Qt::WindowStates before, Qt::WindowStates after);

 private:
  // Posts the event for this window; false when a callback closed the window meanwhile.
  bool Post(int32_t kind);

  KzWindow* window_instance_ = nullptr;
  int64_t window_id_ = -1;
  int32_t zoom_event_ = 0;
  // The place and size the program knows: Qt repeats them as the window system confirms
  // them, and only a change is news.
  QPoint known_position_;
  QSize known_size_;
  bool opening_ = true;  // until finishOpening: Qt's first moves and resizes are the opening
  bool opening_zoom_ = false;
};
