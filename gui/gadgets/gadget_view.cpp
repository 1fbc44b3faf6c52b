#include "gui/gadgets/gadget_view.h"

#include <algorithm>
#include <limits>

#include "gui/gadgets/gadget_table.h"

void KzGadgetView::ReleaseUnlessDestroyed(const QWidget* self) {
  if (Kz_alreadyDestroyed) return;
  const GadgetRecord* record = GadgetExists(Kz_tag);
  if (record == nullptr || record->view != self) return;
  ReleaseGadget(Kz_tag);
}

KzGadgetView* AsGadgetView(QWidget* widget) {
  return dynamic_cast<KzGadgetView*>(widget);
}

int32_t KzControl::intValue() const {
  return LeadingInt32(stringValue());
}

void KzControl::setIntValue(int32_t value) {
  setStringValue(QString::number(value));
}

KzControl* AsControl(QWidget* widget) {
  return dynamic_cast<KzControl*>(widget);
}

int32_t LeadingInt32(const QString& text) {
  qsizetype i = 0;
  while (i < text.size() && text[i].isSpace())
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
  // The magnitude stops at 2^31, the magnitude of the least int32_t; a positive value
  // saturates one below it.
  constexpr int64_t Limit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    magnitude = std::min(magnitude * 10 + (text[i].unicode() - u'0'), Limit);
  }
  if (negative) return static_cast<int32_t>(-magnitude);
  return static_cast<int32_t>(std::min(magnitude, Limit - 1));
}

QString EscapeMnemonics(QString text) {
  return text.replace(u'&', QStringLiteral("&&"));
}

QString UnescapeMnemonics(QString text) {
  return text.replace(QStringLiteral("&&"), QStringLiteral("&"));
}

void SetPaletteColor(QWidget* widget, QPalette::ColorRole role, const QColor& color) {
  QPalette palette = widget->palette();
  palette.setColor(role, color);
  widget->setPalette(palette);
}
