// Drag and drop, the receiving end: gadget views and window backgrounds that the application
// registers take drops of text, local files, an image or a private value, and each drop
// becomes an EvDropOnGadget or EvDropOnWindow event whose payload is a DropRecord.
//
// Every gadget view forwards its drag handlers to KzDragDrop with its gadget number and
// window -1; the window content view does so through the window layer's hooks, which
// InitDragDrop installs, with gadget -1 and its window number. A view takes only what it was
// registered for with EnableGadgetDrop or EnableWindowDrop, so a view nobody registered
// refuses every drag. Main thread only.
#pragma once

#include <Qt>
#include <QtContainerFwd>
#include <cstdint>

#include "runtime/string_stack.h"

class QDragMoveEvent;
class QDropEvent;
class QImage;
class QString;
class QWidget;

// What a view accepts, a bit set.
inline constexpr int32_t DropTypeText = 0x1;     // text/plain
inline constexpr int32_t DropTypeFiles = 0x2;    // URLs naming local files
inline constexpr int32_t DropTypeImage = 0x4;    // anything QMimeData::hasImage decodes
inline constexpr int32_t DropTypePrivate = 0x8;  // "kz.private." formats carrying an integer
inline constexpr int32_t DropTypeAll = 0xF;

// Private formats are the MIME formats whose names begin with this.
inline constexpr char PrivateFormatPrefix[] = "kz.private.";

// A DropRecord's format: the four-character code of what was dropped, its characters
// big-endian in the number.
inline constexpr uint32_t FormatText = 0x54455854;     // 'TEXT'
inline constexpr uint32_t FormatPicture = 0x50494354;  // 'PICT'
inline constexpr uint32_t FormatFiles = 0x68667320;    // 'hfs '
inline constexpr uint32_t FormatPrivate = 0x6B7A7064;  // 'kzpd'

// A DropRecord's action.
inline constexpr int32_t DragOperationCopy = 1;
inline constexpr int32_t DragOperationLink = 2;
inline constexpr int32_t DragOperationMove = 16;

// The payload of the drop events; a zeroed sized block that owns the objects it points to.
// ReleaseDropRecord frees it.
struct DropRecord {
  uint32_t format;
  int32_t private_value;  // FormatPrivate: the dropped integer; otherwise 0
  // The furthest-reaching operation the source allowed: Move before Link before Copy. It
  // says what the source would permit, not what was done: the drop itself is always
  // completed as the operation offered while dragging, Copy whenever the source allows it.
  int32_t action;
  int32_t x;  // the drop position in the receiving view, from its top-left corner
  int32_t y;
  QString* text;       // FormatText: the text; FormatFiles: the paths joined with "\n"
  QImage* image;       // FormatPicture: the image, Format_RGBA8888
  QStringList* files;  // FormatFiles: the paths, one per entry
};

// The payload release of both drop events: releases what the record holds and the record.
// Null is ignored.
void ReleaseDropRecord(void* record);

class KzDragDrop {
 public:
  // The operation offered to a drag that enters or moves over view, also set on the event:
  // the first of Copy, Move, Link that the source allows. Qt::IgnoreAction refuses the
  // drag: the view was not registered for any type the drag carries, the source allows
  // none of the three, or the view's window has its input blocked.
  static Qt::DropAction draggingEntered(QWidget* view, QDragMoveEvent* sender);
  static Qt::DropAction draggingUpdated(QWidget* view, QDragMoveEvent* sender);
  // Whether the drop may go ahead; Qt has no step of its own for this, so the view asks it
  // before performDragOperation. Always true.
  static bool prepareForDragOperation(QWidget* view, QDropEvent* sender);
  // Reads the first type the view accepts, in the order image, files, text, private, into
  // a DropRecord and posts it: EvDropOnWindow (object and window = window) for gadget -1,
  // else EvDropOnGadget for the gadget in view's window. True when an event was posted;
  // false, with the drop refused, when nothing the view accepts could be read.
  static bool performDragOperation(QWidget* view, QDropEvent* sender, int64_t gadget,
                                   int64_t window);
};

// Registers the gadget's view, or window's background, for drops of types. A non-null
// private_type names the one "kz.private." format accepted for DropTypePrivate; null or ""
// accepts any. A call replaces the earlier registration; types 0 refuses all drops again.
// Unknown numbers are ignored.
void EnableGadgetDrop(int64_t gadget, int32_t types, const char16_t* private_type = nullptr);
void EnableWindowDrop(int64_t window, int32_t types, const char16_t* private_type = nullptr);

// The record of the current event when that is a drop event, else null. Valid until the
// next event is taken.
const DropRecord* CurrentDropRecord();

// Readers of a record; null reads as nothing (0, the empty string, null).
uint32_t DropFormat(const DropRecord* record);
int32_t DropPrivateValue(const DropRecord* record);
int32_t DropSourceAction(const DropRecord* record);
int32_t DropX(const DropRecord* record);
int32_t DropY(const DropRecord* record);
// The text as a StringStack result at p.
char16_t* DropText(const DropRecord* record, StringResultPosition p);
int64_t CountDropFiles(const DropRecord* record);
// The path of file index (from 0) at p; the empty string outside the list.
char16_t* DropFile(const DropRecord* record, int64_t index, StringResultPosition p);
// Owned by the record.
const QImage* DropImage(const DropRecord* record);

// Has the window layer send its content views' drags here. Start-up, from InitGadgets.
void InitDragDrop();
