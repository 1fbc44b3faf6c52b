// The views of a window: the content view that reports background clicks and redraws, the
// overlay that blocks input, and the view that shows a window's drawing bitmap.
#pragma once

#include <QImage>
#include <QWidget>
#include <cstdint>

// A plain container with its origin at the top left. Qt's coordinates are top-down already,
// so this is a QWidget under the runtime's name; panel pages and splitter halves use it too.
class Kz_NSFlippedView : public QWidget {
 public:
  explicit Kz_NSFlippedView(QWidget* parent = nullptr);
};

// The content view of every window. Clicks that reach it (the window background, or a child
// that ignores the click) and each repaint become events of its window.
class KzFlippedWindowView : public Kz_NSFlippedView {
 public:
  explicit KzFlippedWindowView(int64_t window_id, QWidget* parent = nullptr);

  int64_t windowID() const { return window_id_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void Post(int32_t kind);

  int64_t window_id_;
  // Qt has no click count: a press counts 1, the press Qt reports as a double click 2.
  int click_count_ = 0;
};

// A transparent overlay that swallows every mouse click and offers no context menu. It
// remembers which title-bar buttons were enabled before it blocked a window.
class KzDisabledView : public QWidget {
 public:
  explicit KzDisabledView(QWidget* parent);

  int32_t close_button_enabled = 0;
  int32_t minimize_button_enabled = 0;
  int32_t maximize_button_enabled = 0;

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
};

// Shows a window's drawing bitmap. The image wraps a pixel buffer that the window record
// owns; the view never outlives that buffer.
class KzWindowOutputView : public QWidget {
 public:
  explicit KzWindowOutputView(QWidget* parent);

  QImage& bitmap() { return bitmap_; }
  void setBitmap(const QImage& bitmap) { bitmap_ = bitmap; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QImage bitmap_;
};
