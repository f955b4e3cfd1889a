// Transfers made with the mouse: downloads by the menu and by dragging to the task list, uploads,
// the task list's texts, the options and the task limit, and the picture of both windows.
#include "ZylUiFixture.h"

#include "core/ZylProtocol.h"
#include "core/ZylText.h"

#include <QCheckBox>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QTreeView>

#include <fmt/format.h>

// Catches what the window opens with the desktop's services.
class CZylUrlCatcher : public QObject {
    Q_OBJECT
public Q_SLOTS:
    void Open(const QUrl& url) { m_vUrls.push_back(url); }

public:
    QList<QUrl> m_vUrls;
};

class CZylTransferWindowTest : public CZylUiTest {
protected:
    // A browses B's share and shows its contents.
    CZylShareView* BrowseShare(const char* share) {
        EXPECT_EQ(Open(*m_pA, 2, m_pB), 0);
        CZylMainFrame* frame = Frame(*m_pA);
        CZylTreeItem* bob = frame->GetUserView()->FindFriend(u"S2.1000");
        EXPECT_TRUE(WaitFor([&] { return Child(bob, share) != nullptr; }));
        frame->GetUserView()->Select(Child(bob, share));
        EXPECT_TRUE(WaitFor([&] { return frame->GetShareView()->GetRowCount() > 0; }));
        return frame->GetShareView();
    }
    CZylTaskManager& TasksA() { return m_pA->Plugin().GetTaskManager(); }
    // What the window asked the engine for with the task at i: its kind, user, share path, folder
    // flag and local folder and name (the transfers themselves are the engine's tests).
    std::string Made(int32_t i) {
        const CZylTask& task = *TasksA().GetTaskAt(i);
        const CZylTaskItem& item = *task.GetObjectRecord();
        return fmt::format("{} {} {} {} {} {}", task.m_nType, ZylToUtf8(task.m_sUserID),
                           ZylToUtf8(item.m_sRemoteName), task.m_bFolder, ZylToUtf8(item.m_sLocalPath),
                           ZylToUtf8(item.m_sLocalName));
    }
    std::string Dir(const char* name) const { return Data(name).string(); }
};

TEST_F(CZylTransferWindowTest, DownloadsByTheMenuAndByDraggingToTheTaskListAndUploadsFilesAndAFolder) {
    ZylMakeDocs(Data("b") / "Docs");
    Share(*m_pB, u"Docs", Data("b") / "Docs", ZYL_PRIV_BROWSE | ZYL_PRIV_DOWNLOAD);
    std::filesystem::create_directories(Data("b") / "inbox");
    Share(*m_pB, u"Inbox", Data("b") / "inbox", ZYL_PRIV_BROWSE | ZYL_PRIV_UPLOAD);
    CZylShareView* list = BrowseShare("Docs");
    CZylMainFrame* frame = Frame(*m_pA);
    CZylScriptedAsk& ask = Ask(*m_pA);

    // One file row: the person names the file.
    list->SelectRows({Row(list, "readme.txt")});
    list->GetCurrentView()->setFocus();
    ask.m_qSaveFiles.push_back(ZylQtPath(Data("in1") / "mine.txt"));
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_DOWNLOAD));
    EXPECT_EQ(ask.m_vAsked.back(), QStringLiteral("save:保存文件"));
    EXPECT_EQ(ask.m_sProposed, QStringLiteral("readme.txt"));
    ASSERT_EQ(frame->GetTaskView()->GetModel()->GetCount(), 1);
    EXPECT_EQ(Made(0), "2 S2.1000 Docs\\readme.txt 0 " + Dir("in1") + " mine.txt");
    // Two rows, or a folder row: a folder is asked for and each row makes its task.
    list->SelectRows({Row(list, "2005"), Row(list, "readme.txt")});
    ask.m_qFolders.push_back(ZylQtPath(Data("in2")));
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_DOWNLOAD));
    EXPECT_EQ(ask.m_vAsked.back(), QStringLiteral("folder:保存文件夹"));
    ASSERT_EQ(TasksA().GetTaskCount(), 3);
    EXPECT_EQ(Made(1), "2 S2.1000 Docs\\2005 1 " + Dir("in2") + " 2005");
    EXPECT_EQ(Made(2), "2 S2.1000 Docs\\readme.txt 0 " + Dir("in2") + " readme.txt");
    // Dragged onto the task list.
    list->SelectRows({Row(list, "2005")});
    std::unique_ptr<QMimeData> dragged(
        list->GetModel()->mimeData(list->GetSelectionModel()->selectedIndexes()));
    ASSERT_NE(dragged, nullptr);
    ask.m_qFolders.push_back(ZylQtPath(Data("in3")));
    QWidget* target = frame->GetTaskView()->viewport();
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, dragged.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, dragged.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &drop);
    ASSERT_EQ(TasksA().GetTaskCount(), 4);
    EXPECT_EQ(Made(3), "2 S2.1000 Docs\\2005 1 " + Dir("in3") + " 2005");

    // Uploads into a share that takes them: files, and a folder.
    ZylWriteFileBytes(Data("up") / "one.txt", "1");
    ZylWriteFileBytes(Data("up") / "two.txt", "2");
    ZylWriteFileBytes(Data("up") / "album" / "x.txt", "x");
    frame->GetUserView()->Select(Child(frame->GetUserView()->FindFriend(u"S2.1000"), "Inbox"));
    frame->GetUserView()->setFocus();
    ask.m_qFiles.push_back({ZylQtPath(Data("up") / "one.txt"), ZylQtPath(Data("up") / "two.txt")});
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_UPLOAD_FILES));
    EXPECT_EQ(ask.m_vAsked.back(), QStringLiteral("files:打开文件"));
    ask.m_qFolders.push_back(ZylQtPath(Data("up") / "album"));
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_UPLOAD_FOLDER));
    ASSERT_EQ(TasksA().GetTaskCount(), 7);
    EXPECT_EQ(frame->GetTaskView()->GetModel()->GetCount(), 7);
    EXPECT_EQ(Made(4), "4 S2.1000 Inbox 0 " + Dir("up") + " one.txt");
    EXPECT_EQ(Made(5), "4 S2.1000 Inbox 0 " + Dir("up") + " two.txt");
    EXPECT_EQ(Made(6), "4 S2.1000 Inbox 1 " + Dir("up") + "/album album");

    // At the task limit nothing more is made, neither way.
    TasksA().SetMaxTaskNumber(1);
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_UPLOAD_FOLDER));
    EXPECT_EQ(ask.m_vMessages.back(), ZylString(4212));
    frame->GetUserView()->Select(Child(frame->GetUserView()->FindFriend(u"S2.1000"), "Docs"));
    ask.m_vMessages.clear();
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_DOWNLOAD));
    EXPECT_EQ(ask.m_vMessages, std::vector<QString>{ZylString(4212)});
    EXPECT_EQ(TasksA().GetTaskCount(), 7);
}

TEST_F(CZylTransferWindowTest, TheTaskListShowsSizesSpeedTimesAndFinishedTasksByTheSwitch) {
    const std::u16string in = ZylFromFsPath(Data("in"));
    CZylTask* empty = TasksA().CreateDownloadTask(u"S2.1000", u"Docs\\x", false, in, {});
    CZylTask* small = TasksA().CreateDownloadTask(u"S2.1000", u"Docs\\y", false, in, {});
    CZylTask* stopped = TasksA().CreateDownloadTask(u"S2.1000", u"Docs\\z", false, in, {});
    CZylTask* done = TasksA().CreateDownloadTask(u"S2.1000", u"Docs\\w", false, in, {});
    small->m_nTotalSize = 1023;
    stopped->StopTask();
    stopped->m_nTimeSpent = 100 * 3600 + 61;
    stopped->m_nTotalSize = 4096;
    done->m_bRunning = 0; // as a finished task is left
    done->m_bFinished = 1;
    ASSERT_EQ(Open(*m_pA, 1), 0);
    CZylTaskView* view = Frame(*m_pA)->GetTaskView();
    CZylTaskModel* model = view->GetModel();
    ASSERT_EQ(model->GetCount(), 3) << "no finished task while the switch is off";
    QStringList headers;
    for (int column = 0; column < CZylTaskModel::COLUMNS; ++column)
        headers << model->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
    EXPECT_EQ(headers, (QStringList{"任务名", "完成", "类型", "大小", "速度", "已用时", "估计剩余时间",
                                    "本地路径", "开始时间"}));
    EXPECT_EQ(model->GetText(0, 0), QStringLiteral("S2.1000\\\\Docs\\x"));
    EXPECT_EQ(model->GetText(0, 2), QStringLiteral("下载"));
    EXPECT_EQ(model->GetText(0, 3), QString()) << "size 0";
    EXPECT_EQ(model->GetText(1, 3), QStringLiteral("0KB")) << "1023 bytes";
    EXPECT_EQ(model->GetText(0, 4), QStringLiteral("0.00")) << "a new row's speed has no unit";

    Tick(1000);
    EXPECT_EQ(model->GetText(0, 4), QStringLiteral("0.00KB/S"));
    EXPECT_EQ(model->GetImage(0), 0);
    EXPECT_EQ(model->GetText(2, 1), QStringLiteral("0%"));
    EXPECT_EQ(model->GetText(2, 3), QStringLiteral("4KB"));
    EXPECT_EQ(model->GetText(2, 4), QStringLiteral("0KB/S"));
    EXPECT_EQ(model->GetText(2, 5), QStringLiteral("100:01:01"));
    EXPECT_EQ(model->GetText(2, 6), QStringLiteral("未知"));
    EXPECT_EQ(model->GetImage(2), 2);

    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_SHOW_FINISHED));
    ASSERT_EQ(model->GetCount(), 4);
    EXPECT_TRUE(
        ZylMenuEntry(*view->BuildContextMenu(), ZYL_ID_SHOW_FINISHED)->isChecked()); // the menu shows it
    CZylMainFrame* frame = Frame(*m_pA);
    view->SelectRows({0});
    EXPECT_FALSE(frame->IsCommandEnabled(ZYL_ID_OPEN_FILE)) << "an unfinished task has nothing to open";
    view->SelectRows({3});
    EXPECT_TRUE(frame->IsCommandEnabled(ZYL_ID_OPEN_FILE));
    view->setFocus();
    EXPECT_FALSE(frame->IsCommandEnabled(ZYL_ID_START_TASKS)) << "a finished task is not started again";
    EXPECT_FALSE(frame->IsCommandEnabled(ZYL_ID_OPEN_FOLDER));
    EXPECT_EQ(model->GetText(3, 1), QStringLiteral("100%"));
    EXPECT_EQ(model->GetText(3, 6), QStringLiteral("0"));
    EXPECT_EQ(model->GetImage(3), 3);
    // A double click on a finished task opens its file.
    CZylUrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "Open");
    const QPoint running = view->visualRect(model->index(0, 0)).center();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, running);
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, running);
    EXPECT_TRUE(catcher.m_vUrls.isEmpty()) << "an unfinished task has nothing to open";
    const QPoint finished = view->visualRect(model->index(3, 0)).center();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, finished);
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, finished);
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    EXPECT_EQ(catcher.m_vUrls, QList<QUrl>{QUrl::fromLocalFile(ZylQtPath(Data("in") / "w"))});
    // A task that finishes while shown is written once more, then left alone.
    small->m_bFinished = 1;
    Tick(1000);
    EXPECT_EQ(model->GetText(1, 1), QStringLiteral("100%"));
    EXPECT_EQ(small->m_bFinishShown, 1);
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_SHOW_FINISHED));
    EXPECT_EQ(model->GetCount(), 2) << "off again: the finished rows go";

    // Deleting the selected task through the list.
    view->setFocus();
    view->SelectRows({0});
    Ask(*m_pA).m_qConfirms.push_back(true);
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_DELETE_TASKS));
    EXPECT_EQ(Ask(*m_pA).m_vAsked.back(), QStringLiteral("confirm:") + ZylString(4222));
    EXPECT_EQ(empty->m_bRemoved, 1);
    EXPECT_EQ(model->GetCount(), 1);

    // With the friend tree's root in focus, deleting means every task of every friend.
    CZylUserView* tree = Frame(*m_pA)->GetUserView();
    tree->Select(tree->GetFriendsRoot());
    tree->setFocus();
    Ask(*m_pA).m_qConfirms.push_back(false);
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_DELETE_TASKS));
    EXPECT_EQ(Ask(*m_pA).m_vAsked.back(), QStringLiteral("confirm:") + ZylString(4255));
    EXPECT_EQ(model->GetCount(), 1);

    // The list's context menu: starting the stopped task, which the menu offers only while the list
    // is in focus.
    view->SelectRows({0});
    EXPECT_FALSE(frame->IsCommandEnabled(ZYL_ID_START_TASKS));
    view->setFocus();
    EXPECT_TRUE(frame->IsCommandEnabled(ZYL_ID_START_TASKS));
    Ask(*m_pA).m_qMenuPicks.push_back(ZylMenuName(ZYL_ID_START_TASKS));
    QContextMenuEvent menu(QContextMenuEvent::Mouse, QPoint(5, 5),
                           view->viewport()->mapToGlobal(QPoint(5, 5)));
    QCoreApplication::sendEvent(view->viewport(), &menu);
    Settle();
    EXPECT_EQ(stopped->m_bRunning, 1);
    EXPECT_TRUE(frame->IsCommandEnabled(ZYL_ID_STOP_TASKS));
    tree->setFocus();
    EXPECT_FALSE(frame->IsCommandEnabled(ZYL_ID_STOP_TASKS)) << "only while the list is in focus";
    EXPECT_TRUE(frame->IsCommandEnabled(ZYL_ID_STOP_ALL)) << "one active task is enough";
    // With finished tasks shown, a removed task's row goes too.
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_SHOW_FINISHED));
    const int shown = model->GetCount();
    model->GetTask(0)->RemoveTask();
    Tick(1000);
    EXPECT_EQ(model->GetCount(), shown - 1);

    // A finished folder upload opens the local folder itself.
    std::filesystem::create_directories(Data("out"));
    CZylTask* sent =
        TasksA().CreateUploadTask(u"S2.1000", ZylFromFsPath(Data("out")), u"out", true, u"Docs", {});
    ASSERT_NE(sent, nullptr);
    sent->StopTask();
    sent->m_bFinished = 1;
    Tick(1000);
    view->setFocus();
    view->SelectRows({model->GetCount() - 1});
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "Open");
    EXPECT_TRUE(Trigger(*m_pA, ZYL_ID_OPEN_FOLDER));
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    EXPECT_EQ(catcher.m_vUrls.back(), QUrl::fromLocalFile(ZylQtPath(Data("out"))));
}

TEST_F(CZylTransferWindowTest, OptionsAreStoredInBothDatabases) {
    ASSERT_EQ(Open(*m_pA, 1), 0);
    Ask(*m_pA).m_qDialogs.push_back([](QDialog& dialog) {
        auto* limited = dialog.findChild<QCheckBox*>("taskLimitCheck");
        auto* limit = dialog.findChild<QLineEdit*>("taskLimitEdit");
        limited->click();
        EXPECT_EQ(limit->text(), QStringLiteral("50"));
        limit->clear();
        EXPECT_FALSE(dialog.findChild<QPushButton*>("okButton")->isEnabled()) << "a limit needs its number";
        QTest::keyClicks(limit, "3");
        dialog.findChild<QCheckBox*>("noUploadCheck")->click();
        dialog.findChild<QCheckBox*>("autoStartCheck")->click();
        dialog.findChild<QPushButton*>("okButton")->click();
    });
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_OPTIONS));
    EXPECT_EQ(m_pA->Plugin().GetShareManager().GetNoUpload(), 1);
    EXPECT_EQ(TasksA().GetMaxTaskNumber(), 3);
    EXPECT_EQ(TasksA().GetAutoStartAllTasks(), 1);
    const std::u16string tasks = ZylReadUtf16LeFile(ZylToFsPath(TasksA().GetDbPath()));
    EXPECT_NE(tasks.find(u"MaxTaskNumber=3\n"), std::u16string::npos);
    EXPECT_NE(tasks.find(u"AutoStartAllTasks=1\n"), std::u16string::npos);
    const std::u16string shares =
        ZylReadUtf16LeFile(ZylToFsPath(m_pA->Plugin().GetShareManager().GetDbPath()));
    EXPECT_NE(shares.find(u"NoUpload=1\n"), std::u16string::npos);

    // Clearing the limit stores -1.
    Ask(*m_pA).m_qDialogs.push_back([](QDialog& dialog) {
        EXPECT_EQ(dialog.findChild<QLineEdit*>("taskLimitEdit")->text(), QStringLiteral("3"));
        dialog.findChild<QCheckBox*>("taskLimitCheck")->click();
        dialog.findChild<QPushButton*>("okButton")->click();
    });
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_OPTIONS));
    EXPECT_EQ(TasksA().GetMaxTaskNumber(), -1);
}

// Both windows after a browse and with a download under way, as a person sees them; with
// ZYLFS_UI_RENDER set to a folder, they are saved there as PNG pictures.
TEST_F(CZylTransferWindowTest, ABrowseAndARunningDownloadAsAPersonSeesThem) {
    ZylMakeDocs(Data("b") / "Docs", 20000);
    ZylWriteFileBytes(Data("b") / "Docs" / "holiday.avi", std::string(8 << 20, 'v'));
    ZylWriteFileBytes(Data("b") / "Docs" / "budget.ods", std::string(30000, 'o'));
    ZylWriteFileBytes(Data("b") / "Docs" / "photo.jpg", std::string(90000, 'p'));
    ZylWriteFileBytes(Data("b") / "Docs" / "setup.exe", std::string(5000, 'x'));
    std::filesystem::create_directories(Data("b") / "Music" / "live");
    Share(*m_pB, u"Docs", Data("b") / "Docs", ZYL_PRIV_BROWSE | ZYL_PRIV_DOWNLOAD);
    Share(*m_pB, u"Music", Data("b") / "Music", ZYL_PRIV_BROWSE);
    std::filesystem::create_directories(Data("a") / "pictures");
    Share(*m_pA, u"Pictures", Data("a") / "pictures", ZYL_PRIV_BROWSE | ZYL_PRIV_DOWNLOAD);
    ASSERT_EQ(Open(*m_pB, 1), 0);
    CZylShareView* list = BrowseShare("Docs");
    ASSERT_TRUE(WaitFor([&] { return Row(list, "holiday.avi") >= 0; }));

    list->SelectRows({Row(list, "holiday.avi")});
    list->GetCurrentView()->setFocus();
    Ask(*m_pA).m_qSaveFiles.push_back(ZylQtPath(Data("in") / "holiday.avi"));
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_DOWNLOAD));
    CZylTask* task = TasksA().GetTaskAt(0);
    // Past 40% the file data stops coming, so that the picture shows the download under way.
    bool hold = false;
    m_pB->m_fnDrop = [&hold](const ZYLSENTPDU& pdu) {
        return hold && pdu.command == ZYL_CMD_FILE_DATA_REPLY;
    };
    ASSERT_TRUE(WaitFor([&] { return hold = task->m_nPercent >= 40; }));
    Tick(2000); // the task list's refresh, a full second into the run
    CZylTaskModel* model = Frame(*m_pA)->GetTaskView()->GetModel();
    ASSERT_EQ(model->GetCount(), 1);
    EXPECT_EQ(model->GetText(0, 3), QStringLiteral("8192KB"));
    EXPECT_TRUE(model->GetText(0, 4).endsWith(QStringLiteral("KB/S")));
    EXPECT_NE(model->GetText(0, 4), QStringLiteral("0KB/S")) << "a running download has a speed";
    EXPECT_NE(model->GetText(0, 6), ZylString(4274)) << "and an estimate of the time left";
    EXPECT_LT(model->GetText(0, 1).chopped(1).toInt(), 100);

    if (const QByteArray folder = qgetenv("ZYLFS_UI_RENDER"); !folder.isEmpty()) {
        const QDir out(QString::fromLocal8Bit(folder));
        ASSERT_TRUE(out.mkpath(QStringLiteral(".")));
        EXPECT_TRUE(Frame(*m_pA)->grab().save(out.filePath(QStringLiteral("window-browse-download.png"))));
        EXPECT_TRUE(Frame(*m_pB)->grab().save(out.filePath(QStringLiteral("window-local-shares.png"))));
    }
}

#include "ZylTransferWindowTest.moc"
