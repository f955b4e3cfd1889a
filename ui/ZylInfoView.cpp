#include "ui/ZylInfoView.h"

#include "ui/ZylStrings.h"
#include "ui/ZylUi.h"

#include <QApplication>
#include <QScrollBar>
#include <QTextCursor>

CZylInfoView::CZylInfoView(QWidget* parent) : QTextEdit(parent) {
    setObjectName(QStringLiteral("infoView"));
    setReadOnly(true);
    setLineWrapMode(QTextEdit::WidgetWidth);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    document()->setMaximumBlockCount(LINE_LIMIT);
    // The log's fields are separated by tabs: narrow ones keep a line on one line.
    setTabStopDistance(fontMetrics().horizontalAdvance(QLatin1Char(' ')) * 2);
    Append(ZylString(4303), QColor(0, 0, 128));
}

QColor CZylInfoView::LevelColour(int32_t level) {
    switch (level) {
    case 0:
        return {255, 0, 0};
    case 1:
        return {255, 0, 255};
    case 2:
        return {128, 0, 128};
    default:
        return {0, 128, 0};
    }
}

QString CZylInfoView::LevelPrefix(int32_t level) {
    switch (level) {
    case 0:
        return ZylString(4299);
    case 1:
        return ZylString(4300);
    case 2:
        return ZylString(4301);
    default:
        return ZylString(4302);
    }
}

void CZylInfoView::AppendLine(int32_t level, std::u16string_view text) {
    Append(LevelPrefix(level) + ZylQ(text) + QLatin1Char('\n'), LevelColour(level));
}

void CZylInfoView::Append(const QString& text, const QColor& colour) {
    QTextCharFormat format;
    format.setFontFamilies({QApplication::font().family()});
    format.setFontWeight(QFont::Normal);
    format.setForeground(colour);
    QScrollBar* bar = verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text, format);
    // New lines scroll into view unless the person scrolled back to read.
    if (atEnd)
        bar->setValue(bar->maximum());
}
