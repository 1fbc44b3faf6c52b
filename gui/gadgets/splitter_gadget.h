// Splitter gadgets: two gadgets side by side, or one above the other, with a divider
// between them that the user drags. Each gadget fills its half. The splitter posts
// SubtypeAction once at creation and each time its halves were laid out anew.
#pragma once

#include <QRect>
#include <QSplitter>
#include <QSplitterHandle>
#include <cstdint>

#include "gui/gadgets/gadget_functions.h"
#include "gui/gadgets/gadget_view.h"

class KzSplitterGadgetFunctions;

inline constexpr int32_t SplitterFlagVertical = 1;    // halves side by side, divider upright
inline constexpr int32_t SplitterFlagKeepFirst = 4;   // resizing keeps the first half's size
inline constexpr int32_t SplitterFlagKeepSecond = 8;  // ... the second's; KeepFirst wins

// Gadget attributes of splitters.
inline constexpr int32_t SplitterAttributeFirstMinimum = 1;   // the divider's least position
inline constexpr int32_t SplitterAttributeSecondMinimum = 2;  // the second half's least size
inline constexpr int32_t SplitterAttributeFirstGadget = 3;    // set: put that gadget there
inline constexpr int32_t SplitterAttributeSecondGadget = 4;

class KzSplitterView final : public KzGadgetViewOf<QSplitter> {
 public:
  explicit KzSplitterView(const QRect& frame);

  // Null once the gadget is released.
  KzSplitterGadgetFunctions* functions() const { return alreadyDestroyed() ? nullptr : Functions; }
  void setFunctions(KzSplitterGadgetFunctions* functions) { Functions = functions; }

  // The divider's thickness.
  int dividerThickness() const { return handleWidth(); }
  // Moves the divider; Qt reports the move through splitterMoved.
  void setDividerPosition(int position) { moveSplitter(position, 1); }
  // Lays out the halves at once. Qt would wait for the resize event, which it holds back
  // while the splitter is hidden.
  void adjustSubviews() { refresh(); }

  // The new frame keeps the first or the second half's size as the flags ask.
  void setGadgetFrame(const QRect& frame) override;

 protected:
  QSplitterHandle* createHandle() override;

 private:
  KzSplitterGadgetFunctions* Functions = nullptr;
};

// The divider. Dragged, it stops at the minimum sizes of the halves; Qt would only keep it
// from the ends of the splitter.
class KzSplitterHandle final : public QSplitterHandle {
 public:
  KzSplitterHandle(Qt::Orientation orientation, KzSplitterView* splitter);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  int Pick(const QPoint& point) const;

  // Where in the handle the drag took hold of it.
  int press_offset_ = 0;
};

class KzSplitterGadgetFunctions final : public KzGadgetFunctions {
 public:
  // Makes the split view and its two halves this object's.
  void attach(KzSplitterView* splitter, QWidget* first_view, QWidget* second_view);
  // Moves the gadget into the first or the second half and records its number there. The
  // view that was in the half moves out to the splitter's parent and lives on there. False,
  // with nothing changed, when there is no such gadget, or when it is the splitter or holds
  // it.
  bool placeGadget(int64_t gadget, bool first);

  // The gadget in the half, if any, fills it.
  void resizeView(QWidget* half);
  // The divider position: the first half's width, or its height for halves one above the
  // other.
  int64_t GetGadgetState() override;
  void SetGadgetState(int32_t position) override;
  // The second half's width, or its height for halves one above the other.
  int64_t secondHalfExtent() const;
  void SetGadgetAttribute(int32_t attribute, int64_t value) override;
  int64_t GetGadgetAttribute(int32_t attribute) override;

  // The least and the greatest divider position a drag may reach.
  int constrainMinCoordinate() const;
  int constrainMaxCoordinate() const;
  // Lays out both halves and posts SubtypeAction.
  // False when the action's callbacks freed the gadget.
  bool splitViewDidResizeSubviews();

 private:
  // The splitter's extent across its halves.
  int Extent() const;

  KzSplitterView* Splitter = nullptr;
  int64_t FirstMinimumSize = 0;
  int64_t SecondMinimumSize = 0;
  int64_t FirstGadgetID = 0;
  int64_t SecondGadgetID = 0;
  QWidget* FirstView = nullptr;
  QWidget* SecondView = nullptr;
};

// first and second name the gadgets for the two halves; a number without a gadget leaves
// its half empty. Returns the handle for AnyObject, else the view's address; 0 on failure.
int64_t CreateSplitterGadget(int64_t number, int32_t x, int32_t y, int32_t width, int32_t height,
                             int64_t first, int64_t second, int32_t flags = 0);
