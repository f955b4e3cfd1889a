// The info pane: a read-only text that starts with the safety notice in dark blue and then shows
// every log line the log hands the window, with its level's prefix and colour.
#pragma once

#include <QTextEdit>

#include <cstdint>
#include <string_view>

class CZylInfoView : public QTextEdit {
    Q_OBJECT
public:
    // The lines kept; older ones leave the top, so a long session cannot grow without limit.
    static constexpr int LINE_LIMIT = 5000;

    explicit CZylInfoView(QWidget* parent);
    // The level's prefix, the text and a line feed, in the level's colour (levels 0 to 3).
    void AppendLine(int32_t level, std::u16string_view text);
    static QColor LevelColour(int32_t level);
    static QString LevelPrefix(int32_t level);

private:
    void Append(const QString& text, const QColor& colour);
};
