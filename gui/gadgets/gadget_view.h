// What every gadget view has in common: the gadget number it carries, the release of its
// gadget when Qt destroys it first, the frame setter that some kinds react to, and the drag
// methods that go to KzDragDrop. Controls (buttons, fields, labels) also implement
// KzControl, through which the base gadget operations reach their values.
#pragma once

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QPalette>
#include <QRect>
#include <QString>
#include <QWidget>
#include <cstdint>

#include "gui/gadgets/drag_drop.h"

class KzGadgetFunctions;

class KzGadgetView {
 public:
  KzGadgetView() = default;
  KzGadgetView(const KzGadgetView&) = delete;
  KzGadgetView& operator=(const KzGadgetView&) = delete;
  virtual ~KzGadgetView() = default;

  // The gadget's number or handle; replaces the platform's own tag.
  void setTag(int64_t tag) { Kz_tag = tag; }
  int64_t tag() const { return Kz_tag; }
  // True once the gadget's record has been released, so that destroying the view does not
  // release the number again (it may belong to a new gadget by then).
  void setAlreadyDestroyed(bool destroyed) { Kz_alreadyDestroyed = destroyed; }
  bool alreadyDestroyed() const { return Kz_alreadyDestroyed; }

  // Every frame the runtime sets goes through here, so that a kind can react to its new
  // frame at once, also while it is hidden and Qt holds back its resize events.
  virtual void setGadgetFrame(const QRect& frame) = 0;

 protected:
  // The destructor's part: releases the gadget unless that happened already. self is this
  // view. A view destroyed before it was registered (its creation failed) carries a tag that
  // may be another gadget's, so only a record that names self is released.
  void ReleaseUnlessDestroyed(const QWidget* self);

 private:
  int64_t Kz_tag = 0;
  bool Kz_alreadyDestroyed = false;
};

// A gadget view over the Qt widget Base.
template <class Base>
class KzGadgetViewOf : public Base, public KzGadgetView {
 public:
  KzGadgetViewOf() = default;
  // Runs after the kind's own destructor: a FreeGadget hook called from here may use the
  // view only as its Qt base class.
  ~KzGadgetViewOf() override { ReleaseUnlessDestroyed(this); }

  void setGadgetFrame(const QRect& frame) override { this->setGeometry(frame); }

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override { KzDragDrop::draggingEntered(this, event); }
  void dragMoveEvent(QDragMoveEvent* event) override { KzDragDrop::draggingUpdated(this, event); }
  void dropEvent(QDropEvent* event) override {
    if (!KzDragDrop::prepareForDragOperation(this, event)) {
      event->ignore();
      return;
    }
    KzDragDrop::performDragOperation(this, event, tag(), -1);
  }
};

// The gadget view behind a widget, null for any other widget.
KzGadgetView* AsGadgetView(QWidget* widget);

// The value protocol of the views that are controls. The base gadget operations read and
// set text and state through it and connect the control's action to its functions object.
class KzControl {
 public:
  KzControl() = default;
  KzControl(const KzControl&) = delete;
  KzControl& operator=(const KzControl&) = delete;
  virtual ~KzControl() = default;

  virtual QString stringValue() const = 0;
  virtual void setStringValue(const QString& value) = 0;
  // By default the integer value is the string value read as a number: leading blanks, an
  // optional sign and digits, saturating at the 32-bit limits; 0 without digits.
  virtual int32_t intValue() const;
  virtual void setIntValue(int32_t value);
  // Makes target's EventHandler the control's action, replacing an earlier target.
  virtual void setTarget(KzGadgetFunctions* target) = 0;
};

KzControl* AsControl(QWidget* widget);

// The integer a text starts with, read as intValue reads it.
int32_t LeadingInt32(const QString& text);

// Qt's buttons and tabs read "&" as a mnemonic marker; a text escaped here shows every "&"
// as itself, and UnescapeMnemonics gives the text back.
QString EscapeMnemonics(QString text);
QString UnescapeMnemonics(QString text);

// Sets one colour role of the widget in every colour group.
void SetPaletteColor(QWidget* widget, QPalette::ColorRole role, const QColor& color);
