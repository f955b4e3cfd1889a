// Two plug-ins with their windows in one process: the test host carries their PDUs, the windows
// are the real ones (offscreen), and every question to the person is answered from a script.
#pragma once

#include "support/ZylTestFiles.h"
#include "support/ZylTestHost.h"
#include "support/ZylTestShares.h"

#include "ui/ZylAddressBar.h"
#include "ui/ZylAsk.h"
#include "ui/ZylFrameWindow.h"
#include "ui/ZylInfoView.h"
#include "ui/ZylMainFrame.h"
#include "ui/ZylShareView.h"
#include "ui/ZylStrings.h"
#include "ui/ZylTaskView.h"
#include "ui/ZylTray.h"
#include "ui/ZylUi.h"
#include "ui/ZylUiEvents.h"
#include "ui/ZylUserView.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QMenu>

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>

// The person, as a script: answers are taken in order; a question without an answer fails the
// test and is cancelled.
class CZylScriptedAsk : public IZylAsk {
public:
    QString PickFolder(QWidget*, const QString& title) override { return Take(m_qFolders, u"folder", title); }
    QStringList PickFiles(QWidget*, const QString& title, const QString&, bool) override {
        return Take(m_qFiles, u"files", title);
    }
    QString PickSaveFile(QWidget*, const QString& title, const QString&, const QString& proposed) override {
        m_sProposed = proposed;
        return Take(m_qSaveFiles, u"save", title);
    }
    bool Confirm(QWidget*, const QString& text) override { return Take(m_qConfirms, u"confirm", text); }
    void Message(QWidget*, const QString& text, Icon) override {
        m_vAsked.push_back(QStringLiteral("message:") + text);
        m_vMessages.push_back(text);
    }
    int RunDialog(QDialog& dialog) override {
        auto script = Take(m_qDialogs, u"dialog", dialog.objectName());
        if (script)
            script(dialog);
        return dialog.result();
    }
    QAction* RunMenu(QMenu& menu, const QPoint&) override {
        const QString name = Take(m_qMenuPicks, u"menu", menu.objectName());
        for (QAction* action : menu.findChildren<QAction*>())
            if (action->objectName() == name && action->isEnabled())
                return action;
        return nullptr;
    }

    std::deque<QString> m_qFolders;
    std::deque<QStringList> m_qFiles;
    std::deque<QString> m_qSaveFiles;
    std::deque<bool> m_qConfirms;
    std::deque<std::function<void(QDialog&)>> m_qDialogs;
    std::deque<QString> m_qMenuPicks; // the object name of the entry to choose
    std::vector<QString> m_vAsked;    // "kind:title" of every question, in order
    std::vector<QString> m_vMessages;
    QString m_sProposed;

private:
    template <typename T> T Take(std::deque<T>& answers, const char16_t* kind, const QString& what) {
        m_vAsked.push_back(QString::fromUtf16(kind) + QLatin1Char(':') + what);
        if (answers.empty()) {
            ADD_FAILURE() << "unexpected question " << m_vAsked.back().toStdString();
            return T{};
        }
        T answer = std::move(answers.front());
        answers.pop_front();
        return answer;
    }
};

// The views name each context-menu entry after its command.
inline QString ZylMenuName(int id) {
    return QStringLiteral("menu%1").arg(id);
}
inline QAction* ZylMenuEntry(const QMenu& menu, int id) {
    QAction* action = menu.findChild<QAction*>(ZylMenuName(id));
    EXPECT_NE(action, nullptr) << "no menu entry for command " << id;
    return action;
}

inline QString ZylQtPath(const std::filesystem::path& path) {
    return QString::fromStdString(path.string());
}

// A friend's folder to browse: two levels of folders and files of known sizes.
inline void ZylMakeDocs(const std::filesystem::path& docs, size_t aBytes = 2047) {
    ZylWriteFileBytes(docs / "2005" / "inner" / "b.txt", "b");
    ZylWriteFileBytes(docs / "2005" / "a.txt", std::string(aBytes, 'a'));
    ZylWriteFileBytes(docs / "readme.txt", std::string(2048, 'r'));
}

class CZylUiTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_pA = &AddNode(u"S1.1000", u"Alice");
        m_pB = &AddNode(u"S2.1000", u"Bob");
        ASSERT_EQ(m_host.Login(*m_pA), 0);
        ASSERT_EQ(m_host.Login(*m_pB), 0);
    }
    void TearDown() override {
        CZylTray::Availability() = [] { return false; };
    }

    CZylTestNode& AddNode(const std::u16string& id, const std::u16string& name) {
        CZylTestNode& node = m_host.AddNode(id);
        node.m_sDisplayName = name;
        auto ask = std::make_shared<CZylScriptedAsk>();
        m_mAsk[&node] = ask;
        node.Platform().m_fnCreateWindow = [&node, ask] { return ZylCreateMainWindow(node.Plugin(), ask); };
        return node;
    }

    CZylScriptedAsk& Ask(CZylTestNode& node) { return *m_mAsk[&node]; }
    CZylMainFrame* Frame(CZylTestNode& node) {
        auto* window = static_cast<CZylFrameWindow*>(node.Plugin().GetMainWindow());
        return window ? window->Frame() : nullptr;
    }
    // Code 3 as the host sends it.
    int32_t Open(CZylTestNode& node, int32_t mode, CZylTestNode* user = nullptr) {
        const int32_t result = node.Plugin().ProcessMessage(
            DLL_P2P_SHOW, 0, mode, user ? reinterpret_cast<intptr_t>(&user->HostId()) : 0, 0, 0);
        Settle();
        return result;
    }
    // Delivers what the host holds and what the windows posted, until nothing moves.
    void Settle() {
        for (int i = 0; i < 4; ++i) {
            m_host.Pump();
            QCoreApplication::sendPostedEvents();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QCoreApplication::processEvents();
        }
    }
    bool WaitFor(const std::function<bool()>& condition, uint32_t ms = 60000) {
        return m_host.RunUntil(
            [&] {
                QCoreApplication::sendPostedEvents();
                return condition();
            },
            ms);
    }
    // Time moves on (the windows' timers run with it).
    void Tick(uint32_t ms) {
        m_host.Tick(ms);
        Settle();
    }
    // Runs a command as its menu entry would (its state is brought up to date first).
    bool Trigger(CZylTestNode& node, int id) {
        CZylMainFrame* frame = Frame(node);
        frame->UpdateCommands();
        QAction* action = frame->GetAction(id);
        if (!action->isEnabled())
            return false;
        action->trigger();
        Settle();
        return true;
    }

    std::filesystem::path Data(const char* name) const { return m_host.Root() / name; }
    CZylShareObject& Share(CZylTestNode& node, const std::u16string& name, const std::filesystem::path& item,
                           uint16_t everyone) {
        auto share = ZylMakeShare(name, item, everyone);
        CZylShareObject* raw = share.get();
        EXPECT_EQ(node.Plugin().GetShareManager().AddShare(std::move(share)), 0);
        return *raw;
    }
    static CZylTreeItem* Child(QTreeWidgetItem* item, const QString& text) {
        return CZylUserView::ChildByText(item, text);
    }
    static QStringList Names(CZylShareView* list) {
        QStringList names;
        for (int i = 0; i < list->GetRowCount(); ++i)
            names << list->GetRow(i).name;
        return names;
    }
    // Frames alive in the process (deleted ones are gone once posted deletions ran).
    static int CountFrames() {
        int n = 0;
        for (QWidget* widget : QApplication::topLevelWidgets())
            n += qobject_cast<CZylMainFrame*>(widget) ? 1 : 0;
        return n;
    }
    static int Row(CZylShareView* list, const QString& name) {
        for (int i = 0; i < list->GetRowCount(); ++i)
            if (list->GetRow(i).name == name)
                return i;
        return -1;
    }

    std::map<CZylTestNode*, std::shared_ptr<CZylScriptedAsk>> m_mAsk; // outlives the windows
    CZylTestHost m_host;
    CZylTestNode* m_pA = nullptr;
    CZylTestNode* m_pB = nullptr;
};
