#include "ui/ZylAsk.h"
#include "ui/ZylStrings.h"

#include <QAction>
#include <QDialog>
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>

namespace {
class CZylQtAsk final : public IZylAsk {
public:
    QString PickFolder(QWidget* parent, const QString& title) override {
        return QFileDialog::getExistingDirectory(parent, title);
    }

    QStringList PickFiles(QWidget* parent, const QString& title, const QString& filter,
                          bool several) override {
        if (several)
            return QFileDialog::getOpenFileNames(parent, title, {}, filter);
        const QString file = QFileDialog::getOpenFileName(parent, title, {}, filter);
        return file.isEmpty() ? QStringList() : QStringList{file};
    }

    QString PickSaveFile(QWidget* parent, const QString& title, const QString& filter,
                         const QString& proposed) override {
        return QFileDialog::getSaveFileName(parent, title, proposed, filter);
    }

    bool Confirm(QWidget* parent, const QString& text) override {
        return QMessageBox::question(parent, ZylString(4237), text, QMessageBox::Ok | QMessageBox::Cancel,
                                     QMessageBox::Ok) == QMessageBox::Ok;
    }

    void Message(QWidget* parent, const QString& text, Icon icon) override {
        const QMessageBox::Icon shown = icon == ZYL_ASK_INFORMATION ? QMessageBox::Information
                                        : icon == ZYL_ASK_ERROR     ? QMessageBox::Critical
                                                                    : QMessageBox::Warning;
        QMessageBox box(shown, ZylString(4237), text, QMessageBox::Ok, parent);
        box.exec();
    }

    int RunDialog(QDialog& dialog) override { return dialog.exec(); }

    QAction* RunMenu(QMenu& menu, const QPoint& globalPos) override { return menu.exec(globalPos); }
};
} // namespace

std::shared_ptr<IZylAsk> ZylMakeQtAsk() {
    return std::make_shared<CZylQtAsk>();
}
