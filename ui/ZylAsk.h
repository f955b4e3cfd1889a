// Every modal question the window asks a person goes through this one interface: the pickers of
// folders and files, OK/Cancel confirmations, messages, the dialogs and the context menus. The Qt
// implementation shows them; tests answer from a script, so nothing ever waits on a person.
#pragma once

#include <QString>
#include <QStringList>

#include <memory>

class QAction;
class QDialog;
class QMenu;
class QPoint;
class QWidget;

class IZylAsk {
public:
    enum Icon { ZYL_ASK_INFORMATION, ZYL_ASK_EXCLAMATION, ZYL_ASK_ERROR };

    virtual ~IZylAsk() = default;
    // An existing folder; empty when cancelled.
    virtual QString PickFolder(QWidget* parent, const QString& title) = 0;
    // Existing files (one unless several); empty when cancelled.
    virtual QStringList PickFiles(QWidget* parent, const QString& title, const QString& filter,
                                  bool several) = 0;
    // The path to save under; empty when cancelled.
    virtual QString PickSaveFile(QWidget* parent, const QString& title, const QString& filter,
                                 const QString& proposed) = 0;
    // True for OK, false for Cancel.
    virtual bool Confirm(QWidget* parent, const QString& text) = 0;
    virtual void Message(QWidget* parent, const QString& text, Icon icon) = 0;
    // Runs a modal dialog; its result (QDialog::Accepted or Rejected).
    virtual int RunDialog(QDialog& dialog) = 0;
    // Shows a context menu at a global position; the chosen action or null.
    virtual QAction* RunMenu(QMenu& menu, const QPoint& globalPos) = 0;
};

// The questions on screen: QFileDialog, QMessageBox, QDialog::exec and QMenu::exec.
std::shared_ptr<IZylAsk> ZylMakeQtAsk();
