// KzGadgetFunctions: the operations of one gadget. The base class gives every operation its
// default, which for most is to do nothing and return 0; each kind overrides what applies to
// it. The creation protocol that every kind follows is at the end of this header.
#pragma once

#include <QColor>
#include <QFont>
#include <QObject>
#include <QString>
#include <cstdint>
#include <optional>

class KzControl;
class QImage;
class QWidget;
struct GadgetRecord;

class KzGadgetFunctions : public QObject {
 public:
  KzGadgetFunctions() = default;

  // Registers the gadget under number (AnyObject: a new handle), in the window of the
  // current gadget list; a number in use frees its old gadget first. Tags the view and, for
  // a control, makes this object the target of its action. Null when the table has no room
  // for the number; nothing is registered then.
  GadgetRecord* setup(int64_t number, int32_t type, QWidget* view, QWidget* container,
                      int32_t flags);
  // Takes over an existing record from its functions object, which is released. The action
  // of a control keeps its signal and comes here from now on; any other signal of the view
  // that the old object handled (a field's edits, a panel's selection) is cut with it, so
  // this suits buttons, whose functions need nothing but the action.
  void reuse(GadgetRecord* record, int32_t type);

  // The gadget's number or handle; its events and bindings carry it.
  int64_t gadgetID() const { return GadgetID; }
  GadgetRecord* gadget() const { return Gadget; }
  // Cuts the ties to the record and the view before the record is released: nothing the
  // view still emits reaches this object afterwards.
  void detach();

  // Posts EvGadgetNotify for this gadget with the subtype; nothing once detached.
  // False when the gadget is gone after the callbacks (or was before): this object may then
  // be deleted already, and a caller that goes on using it after posting must stop.
  bool SendEvent(int64_t subtype);
  // The action of a control: SubtypeAction.
  virtual void EventHandler();
  // Called while the gadget is released.
  virtual void FreeGadget();

  // Activates the gadget's window and gives the view the keyboard focus.
  virtual void ActivateGadget();
  virtual void GadgetToolTip(const QString& text);
  // What assistive technology says the gadget is, in place of what it shows.
  virtual void GadgetAccessibleName(const QString& text);
  virtual void HideGadget(int32_t hide);
  // Controls only: enabled exactly when disable is zero.
  virtual void DisableGadget(int32_t disable);
  virtual int64_t GadgetX(int32_t mode);
  virtual int64_t GadgetY(int32_t mode);
  virtual int64_t GadgetWidth();
  virtual int64_t GadgetHeight();
  virtual void ResizeGadget(int32_t x, int32_t y, int32_t width, int32_t height);
  // Controls only; nullopt for other views.
  virtual void SetGadgetFont(const QFont& font);
  virtual std::optional<QFont> GetGadgetFont();
  virtual int64_t AddGadgetItem(int32_t position, const QString& text, const QImage* image,
                                int32_t flags);
  virtual void RemoveGadgetItem(int32_t item);
  virtual void ClearGadgetItems();
  virtual int64_t CountGadgetItems();
  virtual void AddGadgetColumn(int32_t position, const QString& title, int32_t width);
  virtual void RemoveGadgetColumn(int32_t column);
  // Controls only: the integer value.
  virtual void SetGadgetState(int32_t state);
  virtual int64_t GetGadgetState();
  virtual void SetGadgetItemState(int32_t item, int32_t state);
  virtual int64_t GetGadgetItemState(int32_t item);
  virtual void SetGadgetItemImage(int32_t item, const QImage* image);
  // Controls only: the string value; other views answer an empty string.
  virtual void SetGadgetText(const QString& text);
  virtual QString GetGadgetText();
  virtual void SetGadgetItemText(int32_t item, const QString& text, int32_t column);
  virtual QString GetGadgetItemText(int32_t item, int32_t column);
  virtual void SetGadgetAttribute(int32_t attribute, int64_t value);
  virtual int64_t GetGadgetAttribute(int32_t attribute);
  virtual void SetGadgetItemAttribute(int32_t item, int32_t attribute, int64_t value,
                                      int32_t column);
  virtual int64_t GetGadgetItemAttribute(int32_t item, int32_t attribute, int32_t column);
  virtual void SetGadgetColor(int32_t type, const QColor& color);
  virtual QColor GetGadgetColor(int32_t type);
  virtual void SetGadgetItemColor(int32_t item, int32_t type, const QColor& color, int32_t column);
  virtual QColor GetGadgetItemColor(int32_t item, int32_t type, int32_t column);
  virtual void SetGadgetItemData(int32_t item, int64_t value);
  virtual int64_t GetGadgetItemData(int32_t item);
  virtual void OpenGadgetList(int32_t item);

 protected:
  bool isControl() const { return control_ != nullptr; }
  KzControl* control() const { return control_; }

  int64_t GadgetID = 0;
  GadgetRecord* Gadget = nullptr;  // not owned; null once detached

 private:
  KzControl* control_ = nullptr;  // the view as a control, null for other views
};

// The creation protocol, shared by every kind:
//   1. make the view with its frame and the kind's functions object;
//   2. setup(), and AbandonCreation() when that fails;
//   3. configure the view for the kind;
//   4. AddToCurrentView();
//   5. return CreationResult().

// Deletes what a failed creation made; returns the failure result 0.
int64_t AbandonCreation(QWidget* view, KzGadgetFunctions* functions);
// The new view joins the current gadget view. Without one (a panel before its first item)
// the gadget is registered but placed nowhere: its view stays a hidden parentless widget.
void AddToCurrentView(QWidget* view);
// The handle for AnyObject, the view's address otherwise; nonzero either way.
int64_t CreationResult(int64_t number, const GadgetRecord* record);
