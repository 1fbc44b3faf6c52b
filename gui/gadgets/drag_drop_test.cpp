#include "gui/gadgets/drag_drop.h"

#include <gtest/gtest.h>

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QImage>
#include <QMimeData>
#include <QUrl>
#include <string>

#include "gui/gadgets/gadget_test_support.h"
#include "gui/gadgets/string_gadget.h"

namespace {

// Qt's drag manager sends the moves and the drop to the widget that accepted the enter, an
// ancestor of the view under the cursor perhaps; the drop or a leave ends the drag. Both
// answer the accepted action, Qt::IgnoreAction when refused.
Qt::DropAction Enter(QWidget* view, const QMimeData& data, Qt::DropActions allowed) {
  QDragEnterEvent enter(QPoint(5, 5), allowed, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(view, &enter);
  QDragLeaveEvent leave;
  QApplication::sendEvent(view, &leave);
  return enter.isAccepted() ? enter.dropAction() : Qt::IgnoreAction;
}

Qt::DropAction Drop(QWidget* view, const QMimeData& data, Qt::DropActions allowed = Qt::CopyAction,
                    QPointF at = QPointF(5, 5)) {
  QDragEnterEvent enter(at.toPoint(), allowed, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(view, &enter);
  QDragMoveEvent move(at.toPoint(), allowed, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(view, &move);
  QDropEvent drop(at, allowed, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(view, &drop);
  return drop.isAccepted() ? drop.dropAction() : Qt::IgnoreAction;
}

// Takes queued events up to the first drop, which becomes current; EvNone when none came.
int64_t TakeDrop() {
  for (int64_t kind = WaitForEvent(0); kind != EvNone; kind = WaitForEvent(0)) {
    if (kind == EvDropOnGadget || kind == EvDropOnWindow) return kind;
  }
  return EvNone;
}

// The record of the drop that data makes on view; null when refused.
const DropRecord* Dropped(QWidget* view, const QMimeData& data) {
  Drop(view, data);
  return TakeDrop() != EvNone ? CurrentDropRecord() : nullptr;
}

std::u16string Text(const DropRecord* record) {
  StringMark mark;
  return DropText(record, mark.Offset());
}

std::u16string File(const DropRecord* record, int64_t index) {
  StringMark mark;
  return DropFile(record, index, mark.Offset());
}

int Releases = 0;
void CountRelease(void* record) {
  ++Releases;
  ReleaseDropRecord(record);
}

class DragDropTest : public GadgetTest {
 protected:
  void SetUp() override {
    GadgetTest::SetUp();
    CreateStringGadget(1, 10, 10, 200, 25, u"");
    view_ = GadgetExists(1)->view;
    text_.setText("words");
  }

  QWidget* view_ = nullptr;
  QMimeData text_;
};

TEST_F(DragDropTest, LocalFilesOntoAGadgetArriveOneByOne) {
  EnableGadgetDrop(1, DropTypeFiles);
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile("/tmp/a b.iso"), QUrl("https://example.org/c"),
                QUrl::fromLocalFile("/tmp/odd\nname")});

  ASSERT_EQ(Drop(view_, data), Qt::CopyAction);

  ASSERT_EQ(TakeDrop(), EvDropOnGadget);
  EXPECT_EQ(CurrentEventObject(), 1);
  EXPECT_EQ(CurrentEventWindow(), 0);
  const DropRecord* record = CurrentDropRecord();
  EXPECT_EQ(DropFormat(record), FormatFiles);
  EXPECT_EQ(DropSourceAction(record), DragOperationCopy);
  EXPECT_EQ(Text(record), u"/tmp/a b.iso\n/tmp/odd\nname");
  // The web link is no file; the line feed in a name does not split it.
  ASSERT_EQ(CountDropFiles(record), 2);
  EXPECT_EQ(File(record, 1), u"/tmp/odd\nname");
  EXPECT_EQ(File(record, 2), u"");
}

TEST_F(DragDropTest, TheFirstTypeTakenIsImageThenFilesThenTextThenPrivate) {
  EnableGadgetDrop(1, DropTypeAll);
  QImage image(3, 2, QImage::Format_ARGB32);
  image.fill(QColor(10, 20, 30, 128));
  QMimeData all;
  all.setData("kz.private.row", "7");
  all.setText("caption");
  all.setUrls({QUrl::fromLocalFile("/tmp/f")});
  all.setImageData(image);

  const DropRecord* record = Dropped(view_, all);
  ASSERT_NE(DropImage(record), nullptr);
  EXPECT_EQ(DropImage(record)->format(), QImage::Format_RGBA8888);
  EXPECT_EQ(DropImage(record)->pixelColor(2, 1), QColor(10, 20, 30, 128));
  EXPECT_EQ(Text(record), u"");
  // Bytes under the image format that decode to nothing leave the choice to the next type.
  all.setData("application/x-qt-image", "not an image");
  EXPECT_EQ(DropFormat(Dropped(view_, all)), FormatFiles);
  all.removeFormat("text/uri-list");
  EXPECT_EQ(DropFormat(Dropped(view_, all)), FormatText);
  all.removeFormat("text/plain");
  EXPECT_EQ(DropFormat(Dropped(view_, all)), FormatPrivate);
}

TEST_F(DragDropTest, AViewTakesOnlyWhatItWasRegisteredForAndNothingWhileBlocked) {
  text_.setImageData(QImage(1, 1, QImage::Format_RGB32));
  QMimeData link;
  link.setUrls({QUrl("https://example.org/")});
  QMimeData foreign;
  foreign.setData("application/x-row", "1");

  // A line edit takes drops by default; a gadget does not until it is registered.
  EXPECT_EQ(Enter(view_, text_, Qt::CopyAction), Qt::IgnoreAction);
  EXPECT_EQ(Dropped(Window()->contentView(), text_), nullptr);
  EnableGadgetDrop(1, DropTypeText);
  EXPECT_EQ(DropFormat(Dropped(view_, text_)), FormatText);
  BlockWindowInput(0, 1);
  EXPECT_EQ(Dropped(view_, text_), nullptr);
  BlockWindowInput(0, 0);
  EnableGadgetDrop(1, DropTypeFiles | DropTypePrivate);
  EXPECT_EQ(Enter(view_, text_, Qt::CopyAction), Qt::IgnoreAction);
  EXPECT_EQ(Enter(view_, link, Qt::CopyAction), Qt::IgnoreAction);
  EXPECT_EQ(Enter(view_, foreign, Qt::CopyAction), Qt::IgnoreAction);
  EnableGadgetDrop(1, 0);
  EXPECT_FALSE(view_->acceptDrops());
}

TEST_F(DragDropTest, PrivateFormatsCarryAnInteger) {
  EnableGadgetDrop(1, DropTypePrivate);
  QMimeData data;
  for (const auto& [text, value] :
       {std::pair{"42", 42}, {" -17 apples", -17}, {"many", 0}, {"99999999999", 2147483647}}) {
    SCOPED_TRACE(text);
    data.setData("kz.private.row", text);
    const DropRecord* record = Dropped(view_, data);
    EXPECT_EQ(DropFormat(record), FormatPrivate);
    EXPECT_EQ(DropPrivateValue(record), value);
    EXPECT_EQ(Text(record), u"");
  }

  QMimeData both;
  both.setData("kz.private.other", "1");
  both.setData("kz.private.row", "2");
  EXPECT_EQ(DropPrivateValue(Dropped(view_, both)), 1);  // the drag's own order
  EnableGadgetDrop(1, DropTypePrivate, u"kz.private.row");
  EXPECT_EQ(DropPrivateValue(Dropped(view_, both)), 2);
  both.removeFormat("kz.private.row");
  EXPECT_EQ(Dropped(view_, both), nullptr);
}

TEST_F(DragDropTest, CopyIsOfferedFirstWhileTheRecordNamesTheFurthestOperationAllowed) {
  EnableGadgetDrop(1, DropTypeText);
  struct Case {
    Qt::DropActions allowed;
    Qt::DropAction offered;
    int32_t recorded;
  };
  for (const Case& c : {Case{Qt::CopyAction | Qt::MoveAction, Qt::CopyAction, DragOperationMove},
                        Case{Qt::CopyAction | Qt::LinkAction, Qt::CopyAction, DragOperationLink},
                        Case{Qt::MoveAction | Qt::LinkAction, Qt::MoveAction, DragOperationMove},
                        Case{Qt::LinkAction, Qt::LinkAction, DragOperationLink},
                        Case{Qt::CopyAction, Qt::CopyAction, DragOperationCopy}}) {
    SCOPED_TRACE(c.allowed.toInt());
    EXPECT_EQ(Enter(view_, text_, c.allowed), c.offered);
    // A source told Move would delete what it gave.
    EXPECT_EQ(Drop(view_, text_, c.allowed), c.offered);
    ASSERT_EQ(TakeDrop(), EvDropOnGadget);
    EXPECT_EQ(DropSourceAction(CurrentDropRecord()), c.recorded);
  }
  EXPECT_EQ(Enter(view_, text_, Qt::IgnoreAction), Qt::IgnoreAction);
}

TEST_F(DragDropTest, DropsOnAWindowBackgroundNameTheWindow) {
  OpenWindow(3, 50, 50, 300, 200, u"Three");
  EnableWindowDrop(3, DropTypeText);
  Drop(NativeWindow(3)->contentView(), text_, Qt::CopyAction, QPointF(30.9, 70.6));
  ASSERT_EQ(TakeDrop(), EvDropOnWindow);
  EXPECT_EQ(CurrentEventObject(), 3);
  EXPECT_EQ(CurrentEventWindow(), 3);
  EXPECT_EQ(DropX(CurrentDropRecord()), 30);
  EXPECT_EQ(DropY(CurrentDropRecord()), 70);

  // Refused by the gadget under the cursor, the drag goes to the background behind it.
  EnableWindowDrop(0, DropTypeText);
  Drop(view_, text_);
  ASSERT_EQ(TakeDrop(), EvDropOnWindow);
  EXPECT_EQ(CurrentEventObject(), 0);
  EXPECT_EQ(DropX(CurrentDropRecord()), 15);
}

TEST_F(DragDropTest, TheRecordLivesUntilTheNextEventIsTaken) {
  EnableGadgetDrop(1, DropTypeText);
  Drop(view_, text_);
  ASSERT_EQ(EventQueue.tail->payloadRelease, &ReleaseDropRecord);
  EventQueue.tail->payloadRelease = &CountRelease;
  Releases = 0;
  int foreign = 0;
  PostUserEvent(EvDropOnGadget, 0, 1, 0, &foreign);

  ASSERT_EQ(TakeDrop(), EvDropOnGadget);
  // CurrentDropRecord vouches only for payloads that ReleaseDropRecord releases.
  EXPECT_EQ(Text(static_cast<const DropRecord*>(CurrentEventPayload())), u"words");
  EXPECT_EQ(Releases, 0);
  ASSERT_EQ(TakeDrop(), EvDropOnGadget);
  EXPECT_EQ(Releases, 1);
  EXPECT_EQ(CurrentEventPayload(), &foreign);
  EXPECT_EQ(CurrentDropRecord(), nullptr);
}

// The queue would drop the event without releasing its payload; LeakSanitizer checks.
TEST_F(DragDropTest, NoDropIsTakenWhileEventsAreSuppressed) {
  EnableGadgetDrop(1, DropTypeText);
  SuppressEvents();
  const Qt::DropAction action = Drop(view_, text_);
  ResumeEvents();

  EXPECT_EQ(action, Qt::IgnoreAction);
  EXPECT_EQ(TakeDrop(), EvNone);
}

}  // namespace
