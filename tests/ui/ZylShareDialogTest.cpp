// Sharing through the dialogs: adding folders and files, the properties and permissions, the
// refusals and validation messages, cancelling; and the file list's icons.
#include "ZylUiFixture.h"

#include "core/ZylProtocol.h"
#include "ui/ZylFileIcons.h"

#include <QHelpEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTest>
#include <QToolTip>
#include <QTreeWidget>

namespace {
template <typename T> T* Find(QDialog& dialog, const char* name) {
    T* widget = dialog.findChild<T*>(QLatin1String(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

void Ok(QDialog& dialog) {
    Find<QPushButton>(dialog, "okButton")->click();
}
} // namespace

TEST_F(CZylUiTest, SharesAreAddedEditedAndCancelledThroughTheDialogsWithTheirMessages) {
    std::filesystem::create_directories(Data("a") / "docs");
    std::filesystem::create_directories(Data("a") / "more");
    ZylWriteFileBytes(Data("a") / "song.mp3", std::string(3000, 's'));
    ASSERT_EQ(Open(*m_pA, 1), 0);
    CZylMainFrame* frame = Frame(*m_pA);
    CZylScriptedAsk& ask = Ask(*m_pA);
    CZylShareManager& shares = m_pA->Plugin().GetShareManager();

    ask.m_qFolders.push_back(QStringLiteral("/"));
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_ADD_SHARED_FOLDER));
    EXPECT_EQ(ask.m_vMessages.back(), ZylString(4235));

    // A name and, with a limit, a number are needed; the dialog stays open until they are there.
    ask.m_qFolders.push_back(ZylQtPath(Data("a") / "docs"));
    ask.m_qDialogs.push_back([&](QDialog& dialog) {
        auto* name = Find<QLineEdit>(dialog, "shareNameEdit");
        EXPECT_EQ(name->text(), QStringLiteral("docs"));
        name->clear();
        Ok(dialog);
        EXPECT_EQ(ask.m_vMessages.back(), ZylString(4223));
        EXPECT_EQ(dialog.result(), QDialog::Rejected);
        name->setText(QStringLiteral("Docs"));
        Find<QRadioButton>(dialog, "limitedRadio")->click();
        auto* limit = Find<QLineEdit>(dialog, "limitEdit");
        EXPECT_EQ(limit->text(), QStringLiteral("10"));
        limit->clear();
        Ok(dialog);
        EXPECT_EQ(ask.m_vMessages.back(), ZylString(4224));
        QTest::keyClicks(limit, "3");
        Ok(dialog);
    });
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_ADD_SHARED_FOLDER));
    CZylShareObject* docs = nullptr;
    ASSERT_GE(shares.FindShareByName(u"Docs", &docs), 0);
    EXPECT_EQ(docs->GetUnlimitedUserNumber(), 0);
    EXPECT_EQ(docs->GetLimitedUserNumber(), 3);
    EXPECT_EQ(docs->GetType(), u"ZYL共享目录");
    ASSERT_EQ(docs->GetPrivilegedUserCount(), 1)
        << "confirmed without permissions: Everyone may browse and download";
    EXPECT_EQ(docs->GetEveryonePrivilege(), ZYL_PRIV_BROWSE | ZYL_PRIV_DOWNLOAD);
    EXPECT_NE(Child(frame->GetUserView()->GetLocalRoot(), "Docs"), nullptr);
    EXPECT_EQ(frame->GetShareView()->GetLayout(), CZylFileListModel::ZYL_LAYOUT_LOCAL_SHARES);
    EXPECT_EQ(frame->GetShareView()->GetRow(0).shareName, QStringLiteral("Docs"));

    ask.m_qFolders.push_back(ZylQtPath(Data("a") / "docs"));
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_ADD_SHARED_FOLDER));
    EXPECT_EQ(ask.m_vMessages.back(), ZylString(4236));
    ask.m_qFolders.push_back(ZylQtPath(Data("a") / "more"));
    ask.m_qDialogs.push_back([](QDialog& dialog) { dialog.reject(); });
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_ADD_SHARED_FOLDER));
    EXPECT_EQ(shares.GetShareCount(), 1) << "the properties were cancelled";

    // A name in use (in another case) is refused and the dialog opens again.
    ask.m_qFolders.push_back(ZylQtPath(Data("a") / "more"));
    ask.m_qDialogs.push_back([](QDialog& dialog) {
        Find<QLineEdit>(dialog, "shareNameEdit")->setText(QStringLiteral("docs"));
        Ok(dialog);
    });
    ask.m_qDialogs.push_back([](QDialog& dialog) {
        EXPECT_EQ(Find<QLineEdit>(dialog, "shareNameEdit")->text(), QStringLiteral("docs"));
        Find<QLineEdit>(dialog, "shareNameEdit")->setText(QStringLiteral("More"));
        Ok(dialog);
    });
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_ADD_SHARED_FOLDER));
    EXPECT_EQ(ask.m_vMessages.back(), ZylString(4228));
    EXPECT_EQ(shares.GetShareCount(), 2);

    // A file share: no tree item, a row of its own.
    ask.m_qFiles.push_back({ZylQtPath(Data("a") / "song.mp3")});
    ask.m_qDialogs.push_back([](QDialog& dialog) { Ok(dialog); });
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_ADD_SHARED_FILE));
    CZylShareObject* song = nullptr;
    ASSERT_GE(shares.FindShareByName(u"song.mp3", &song), 0);
    EXPECT_EQ(song->GetSize(), 3000u);
    EXPECT_EQ(Child(frame->GetUserView()->GetLocalRoot(), "song.mp3"), nullptr);
    EXPECT_EQ(frame->GetShareView()->GetRow(Row(frame->GetShareView(), "song.mp3")).sizeText,
              QStringLiteral("2KB"));

    // Properties with the name unchanged save without the duplicate message; the permissions:
    // "Everyone" can be neither removed nor edited, a friend added through the host's picker can.
    m_pA->m_vPickedUsers = {u"S2.1000", u"S2.1000"};
    const size_t messages = ask.m_vMessages.size();
    frame->GetUserView()->Select(Child(frame->GetUserView()->GetLocalRoot(), "Docs"));
    ask.m_qDialogs.push_back([&](QDialog& dialog) {
        Find<QLineEdit>(dialog, "remarkEdit")->setText(QStringLiteral("photos"));
        Find<QPushButton>(dialog, "permissionsButton")->click();
        Ok(dialog);
    });
    ask.m_qDialogs.push_back([](QDialog& dialog) {
        auto* users = Find<QTreeWidget>(dialog, "userList");
        auto* rights = Find<QTableWidget>(dialog, "rightsList");
        EXPECT_FALSE(rights->isEnabled()) << "no one's rights before a row is chosen";
        users->setCurrentItem(users->topLevelItem(0));
        EXPECT_FALSE(rights->isEnabled()) << "Everyone's rights are not edited here";
        Find<QPushButton>(dialog, "removeButton")->click();
        EXPECT_EQ(users->topLevelItemCount(), 1);
        Find<QPushButton>(dialog, "addButton")->click();
        ASSERT_EQ(users->topLevelItemCount(), 2) << "a friend picked twice is listed once";
        EXPECT_EQ(users->topLevelItem(1)->text(0), QStringLiteral("Bob"));
        users->setCurrentItem(users->topLevelItem(1));
        EXPECT_TRUE(rights->isEnabled());
        EXPECT_EQ(rights->item(2, 2)->checkState(), Qt::Checked) << "upload starts denied";
        rights->item(2, 1)->setCheckState(Qt::Checked);
        EXPECT_EQ(rights->item(2, 2)->checkState(), Qt::Unchecked);
        Ok(dialog);
    });
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_PROPERTIES));
    EXPECT_EQ(ask.m_vMessages.size(), messages);
    EXPECT_EQ(m_pA->m_vPickCalls.back().first, ZYL_PICK_PERMISSION);
    EXPECT_EQ(m_pA->m_vPickCalls.back().second, u"选择好友");
    EXPECT_EQ(docs->GetType(), u"photos");
    EXPECT_EQ(docs->GetUserPrivilege(u"S2.1000"), ZYL_PRIV_BROWSE | ZYL_PRIV_DOWNLOAD | ZYL_PRIV_UPLOAD);
    EXPECT_EQ(docs->GetEveryonePrivilege(), ZYL_PRIV_BROWSE | ZYL_PRIV_DOWNLOAD);
    // Hovering over a share shows what everybody may do, how many have rights of their own, who is there.
    CZylUserView* view = frame->GetUserView();
    view->expandAll();
    const QPoint at = view->visualItemRect(Child(view->GetLocalRoot(), "Docs")).center();
    QHelpEvent hover(QEvent::ToolTip, at, view->viewport()->mapToGlobal(at));
    QCoreApplication::sendEvent(view->viewport(), &hover);
    EXPECT_EQ(QToolTip::text(), QStringLiteral("Docs\n浏览 下载 +1个\n0个连接用户"));
    EXPECT_EQ(frame->GetUserView()->ToolTipFor(Child(frame->GetUserView()->GetLocalRoot(), "More")),
              QStringLiteral("More\n浏览 下载\n0个连接用户")); // no users beyond Everyone
    const std::u16string file = ZylReadUtf16LeFile(ZylToFsPath(shares.GetDbPath()));
    EXPECT_NE(file.find(u"Type=photos\nbFolder=1\nPrivilegedUsers=2\n"), std::u16string::npos);

    // Cancelling the selected rows of the local shares' list removes exactly those shares.
    CZylUserView* tree = frame->GetUserView();
    tree->Select(tree->GetLocalRoot());
    CZylShareView* list = frame->GetShareView();
    list->SelectRows({Row(list, "more"), Row(list, "song.mp3")});
    list->GetCurrentView()->setFocus();
    ask.m_qConfirms.push_back(false);
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_CANCEL_SHARES));
    EXPECT_EQ(shares.GetShareCount(), 3) << "cancelled";
    list->SelectRows({Row(list, "more"), Row(list, "song.mp3")});
    list->GetCurrentView()->setFocus();
    ask.m_qConfirms.push_back(true);
    ASSERT_TRUE(Trigger(*m_pA, ZYL_ID_CANCEL_SHARES));
    EXPECT_EQ(ask.m_vAsked.back(), QStringLiteral("confirm:") + ZylString(4282));
    EXPECT_EQ(shares.GetShareCount(), 1);
    EXPECT_EQ(Names(list), QStringList{"docs"});
    EXPECT_EQ(tree->GetLocalRoot()->childCount(), 1);
}

TEST_F(CZylUiTest, FileTypeIconsAreCachedPerExtensionWithProgramsAndUnknownTypesApart) {
    CZylFileIcons icons;
    const int text = icons.GetImageIndex(QStringLiteral("a.txt"), false);
    EXPECT_GT(text, CZylFileIcons::ZYL_IMAGE_PROGRAM);
    EXPECT_EQ(icons.GetImageIndex(QStringLiteral("B.TXT"), false), text) << "extensions compare without case";
    EXPECT_EQ(icons.GetImageIndex(QStringLiteral("x.zzqq"), false), CZylFileIcons::ZYL_IMAGE_UNKNOWN);
    EXPECT_EQ(icons.GetCacheSize(), 2) << "an unknown type is cached too";
    const int count = icons.GetCount();
    EXPECT_EQ(icons.GetImageIndex(QStringLiteral("setup.EXE"), true), CZylFileIcons::ZYL_IMAGE_PROGRAM);
    EXPECT_EQ(&icons.GetLarge(count), &icons.GetLarge(0)) << "an index past the end gives the first image";
    // A local file marked executable is a program as well; its own icon is never cached.
    ZylWriteFileBytes(Data("tool"), "#!/bin/sh\n");
    std::filesystem::permissions(Data("tool"), std::filesystem::perms::owner_exec,
                                 std::filesystem::perm_options::add);
    EXPECT_EQ(icons.GetImageIndex(QStringLiteral("tool"), true, ZylQtPath(Data("tool"))),
              CZylFileIcons::ZYL_IMAGE_PROGRAM);
    ZylWriteFileBytes(Data("plain.txt"), "x");
    ZylWriteFileBytes(Data("setup.exe"), "x");
    EXPECT_EQ(icons.GetImageIndex(QStringLiteral("setup.exe"), true, ZylQtPath(Data("setup.exe"))),
              CZylFileIcons::ZYL_IMAGE_PROGRAM)
        << "a program by its name, whatever its mode";
    EXPECT_EQ(icons.GetImageIndex(QStringLiteral("plain.txt"), true, ZylQtPath(Data("plain.txt"))), text)
        << "a local file not marked executable is no program";
    const int own = icons.GetImageIndex(QStringLiteral("tool"), false, ZylQtPath(Data("tool")));
    EXPECT_EQ(own, count);
    EXPECT_EQ(icons.GetImageIndex(QStringLiteral("tool"), false, ZylQtPath(Data("tool"))), count + 1);
    EXPECT_EQ(icons.GetCacheSize(), 2);
}
