#include "gui/gadgets/drag_drop.h"

#include <QDragMoveEvent>
#include <QDropEvent>
#include <QImage>
#include <QMimeData>
#include <QStringList>
#include <QUrl>
#include <QVariant>
#include <QWidget>
#include <utility>

#include "gui/events/event_queue.h"
#include "gui/gadgets/gadget_table.h"
#include "gui/gadgets/gadget_view.h"
#include "gui/windows/kz_window.h"
#include "gui/windows/windows.h"
#include "runtime/memory.h"
#include "runtime/qstring_bridge.h"

namespace {

// A view's registration rides on it as dynamic properties, so it goes away with the view
// and a gadget number that is reused starts unregistered.
constexpr char TypesProperty[] = "kzDropTypes";
constexpr char PrivateTypeProperty[] = "kzDropPrivateType";

struct Registration {
  int32_t types;
  QString private_type;  // empty: any private format
};

Registration RegistrationOf(const QWidget* view) {
  return {view->property(TypesProperty).toInt(), view->property(PrivateTypeProperty).toString()};
}

void Register(QWidget* view, int32_t types, const char16_t* private_type) {
  types &= DropTypeAll;
  view->setProperty(TypesProperty, types);
  view->setProperty(PrivateTypeProperty, StringToQString(private_type));
  view->setAcceptDrops(types != 0);
}

// The first private format of the drag, in the drag's own order, that the registration
// accepts; empty for none.
QString PrivateFormat(const QMimeData& data, const Registration& registration) {
  if (!(registration.types & DropTypePrivate)) return {};
  for (const QString& format : data.formats()) {
    if (!format.startsWith(QLatin1String(PrivateFormatPrefix))) continue;
    if (registration.private_type.isEmpty() || format == registration.private_type) return format;
  }
  return {};
}

// A link from a web browser is a URL too, but no file that the application could open.
QStringList LocalFiles(const QMimeData& data) {
  QStringList files;
  if (!data.hasUrls()) return files;
  for (const QUrl& url : data.urls()) {
    if (url.isLocalFile()) files.append(url.toLocalFile());
  }
  return files;
}

// Tests presence only: decoding an image on every mouse move would be too dear, so an image
// that turns out unreadable is found at the drop.
bool CarriesAcceptedType(const QMimeData& data, const Registration& registration) {
  if ((registration.types & DropTypeImage) && data.hasImage()) return true;
  if ((registration.types & DropTypeFiles) && !LocalFiles(data).isEmpty()) return true;
  if ((registration.types & DropTypeText) && data.hasText()) return true;
  return !PrivateFormat(data, registration).isEmpty();
}

// The overlay of a blocked window lets drags through to the content view beneath it, but a
// window whose input is blocked takes none.
bool InputBlocked(const QWidget* view) {
  const WindowRecord* record = WindowExists(WindowNumberOf(view->window()));
  return record != nullptr && record->blocker != nullptr;
}

// Qt knows no generic operation, the one the target picks; Copy, which takes its place, is
// also the one that never asks the source to delete what it gave.
Qt::DropAction OfferedAction(Qt::DropActions allowed) {
  for (Qt::DropAction action : {Qt::CopyAction, Qt::MoveAction, Qt::LinkAction}) {
    if (allowed.testFlag(action)) return action;
  }
  return Qt::IgnoreAction;
}

int32_t SourceAction(Qt::DropActions allowed) {
  if (allowed.testFlag(Qt::MoveAction)) return DragOperationMove;
  if (allowed.testFlag(Qt::LinkAction)) return DragOperationLink;
  return DragOperationCopy;
}

// The action the view offers for the event; Qt::IgnoreAction when it refuses.
Qt::DropAction ActionFor(const QWidget* view, const QDropEvent& event) {
  const QMimeData* data = event.mimeData();
  if (data == nullptr || InputBlocked(view)) return Qt::IgnoreAction;
  if (!CarriesAcceptedType(*data, RegistrationOf(view))) return Qt::IgnoreAction;
  return OfferedAction(event.possibleActions());
}

Qt::DropAction Answer(QDropEvent* event, Qt::DropAction action) {
  event->setDropAction(action);
  event->setAccepted(action != Qt::IgnoreAction);
  return action;
}

// Each reader fills the record from one type and answers whether the drag had it readable.
using Reader = bool (*)(const QMimeData& data, const Registration& registration,
                        DropRecord* record);

bool ReadImage(const QMimeData& data, const Registration& registration, DropRecord* record) {
  if (!(registration.types & DropTypeImage) || !data.hasImage()) return false;
  const QImage image = qvariant_cast<QImage>(data.imageData());
  if (image.isNull()) return false;
  record->format = FormatPicture;
  record->image = new QImage(image.convertToFormat(QImage::Format_RGBA8888));
  return true;
}

bool ReadFiles(const QMimeData& data, const Registration& registration, DropRecord* record) {
  if (!(registration.types & DropTypeFiles)) return false;
  QStringList files = LocalFiles(data);
  if (files.isEmpty()) return false;
  record->format = FormatFiles;
  record->text = new QString(files.join(u'\n'));
  // Kept apart as well: a name on Linux may itself hold a line feed.
  record->files = new QStringList(std::move(files));
  return true;
}

bool ReadText(const QMimeData& data, const Registration& registration, DropRecord* record) {
  if (!(registration.types & DropTypeText) || !data.hasText()) return false;
  record->format = FormatText;
  record->text = new QString(data.text());
  return true;
}

bool ReadPrivate(const QMimeData& data, const Registration& registration, DropRecord* record) {
  const QString format = PrivateFormat(data, registration);
  if (format.isEmpty()) return false;
  record->format = FormatPrivate;
  record->private_value = LeadingInt32(QString::fromUtf8(data.data(format)));
  return true;
}

// A drag that offers both an image and text is taken as an image.
constexpr Reader Readers[] = {&ReadImage, &ReadFiles, &ReadText, &ReadPrivate};

// The record for a drop the view accepts; null when none of its types could be read.
DropRecord* ReadDrop(const QWidget* view, const QDropEvent& event) {
  auto* record = static_cast<DropRecord*>(AllocateBlock(sizeof(DropRecord)));
  if (record == nullptr) return nullptr;
  const Registration registration = RegistrationOf(view);
  for (Reader read : Readers) {
    if (!read(*event.mimeData(), registration, record)) continue;
    record->action = SourceAction(event.possibleActions());
    // Qt's coordinates run top-down like the runtime's; the cast truncates toward zero.
    record->x = static_cast<int32_t>(event.position().x());
    record->y = static_cast<int32_t>(event.position().y());
    return record;
  }
  FreeBlock(record);
  return nullptr;
}

QWidget* ContentViewOf(int64_t window) {
  const KzWindow* native = NativeWindow(window);
  return native != nullptr ? native->contentView() : nullptr;
}

}  // namespace

void ReleaseDropRecord(void* payload) {
  auto* record = static_cast<DropRecord*>(payload);
  if (record == nullptr) return;
  delete record->text;
  delete record->image;
  delete record->files;
  FreeBlock(record);
}

Qt::DropAction KzDragDrop::draggingEntered(QWidget* view, QDragMoveEvent* sender) {
  return Answer(sender, ActionFor(view, *sender));
}

Qt::DropAction KzDragDrop::draggingUpdated(QWidget* view, QDragMoveEvent* sender) {
  return Answer(sender, ActionFor(view, *sender));
}

bool KzDragDrop::prepareForDragOperation(QWidget*, QDropEvent*) {
  return true;
}

bool KzDragDrop::performDragOperation(QWidget* view, QDropEvent* sender, int64_t gadget,
                                      int64_t window) {
  const Qt::DropAction action = ActionFor(view, *sender);
  // While events are suppressed the queue drops a post without releasing its payload.
  DropRecord* record =
      action != Qt::IgnoreAction && EventSuppressDepth == 0 ? ReadDrop(view, *sender) : nullptr;
  if (record == nullptr) {
    Answer(sender, Qt::IgnoreAction);
    return false;
  }
  // The drop completes as the operation offered while dragging, never as the record's
  // action: a source told Move deletes what it gave.
  Answer(sender, action);
  if (gadget == -1) {
    NotifyEventWithPayload(EvDropOnWindow, window, window, 0, record, &ReleaseDropRecord);
  } else {
    NotifyEventWithPayload(EvDropOnGadget, gadget, WindowNumberOf(view->window()), 0, record,
                           &ReleaseDropRecord);
  }
  return true;
}

void EnableGadgetDrop(int64_t gadget, int32_t types, const char16_t* private_type) {
  const GadgetRecord* record = GadgetExists(gadget);
  if (record == nullptr) return;
  Register(record->view, types, private_type);
}

void EnableWindowDrop(int64_t window, int32_t types, const char16_t* private_type) {
  QWidget* view = ContentViewOf(window);
  if (view == nullptr) return;
  Register(view, types, private_type);
}

const DropRecord* CurrentDropRecord() {
  if (CurrentEvent.kind != EvDropOnWindow && CurrentEvent.kind != EvDropOnGadget) return nullptr;
  // The application may post events of these kinds itself, with payloads of its own.
  if (CurrentEvent.payloadRelease != &ReleaseDropRecord) return nullptr;
  return static_cast<const DropRecord*>(CurrentEvent.payload);
}

uint32_t DropFormat(const DropRecord* record) {
  return record != nullptr ? record->format : 0;
}

int32_t DropPrivateValue(const DropRecord* record) {
  return record != nullptr ? record->private_value : 0;
}

int32_t DropSourceAction(const DropRecord* record) {
  return record != nullptr ? record->action : 0;
}

int32_t DropX(const DropRecord* record) {
  return record != nullptr ? record->x : 0;
}

int32_t DropY(const DropRecord* record) {
  return record != nullptr ? record->y : 0;
}

char16_t* DropText(const DropRecord* record, StringResultPosition p) {
  if (record == nullptr || record->text == nullptr) return SetEmptyStringResult(p);
  return QStringToStringStackResult(*record->text, p);
}

int64_t CountDropFiles(const DropRecord* record) {
  return record != nullptr && record->files != nullptr ? record->files->size() : 0;
}

char16_t* DropFile(const DropRecord* record, int64_t index, StringResultPosition p) {
  if (index < 0 || index >= CountDropFiles(record)) return SetEmptyStringResult(p);
  return QStringToStringStackResult(record->files->at(index), p);
}

const QImage* DropImage(const DropRecord* record) {
  return record != nullptr ? record->image : nullptr;
}

void InitDragDrop() {
  WindowModuleHooks.drag_entered = [](QWidget* view, QDragMoveEvent* event) {
    KzDragDrop::draggingEntered(view, event);
  };
  WindowModuleHooks.drag_updated = [](QWidget* view, QDragMoveEvent* event) {
    KzDragDrop::draggingUpdated(view, event);
  };
  WindowModuleHooks.drop = [](QWidget* view, QDropEvent* event, int64_t gadget, int64_t window) {
    if (!KzDragDrop::prepareForDragOperation(view, event)) {
      event->ignore();
      return;
    }
    KzDragDrop::performDragOperation(view, event, gadget, window);
  };
}
