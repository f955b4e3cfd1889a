// The share database file: its exact lines, reading it back, the files it must not trust (another
// user's, damaged, cut short) and a save that fails half way.
#include "share/ZylShareManager.h"

#include "core/ZylDbFile.h"
#include "plugin/ZylInterface.h"
#include "core/ZylPath.h"
#include "support/ZylFakePlatform.h"
#include "support/ZylTempDir.h"
#include "support/ZylTestFiles.h"
#include "support/ZylTestShares.h"

#include <gtest/gtest.h>

#include <chrono>

namespace fs = std::filesystem;

namespace {

void WriteText(const fs::path& path, std::u16string_view text) {
    ZylWriteFileBytes(path, ZylToUtf16Le(text));
}

CZylDateTime Time(int32_t year, uint32_t month, uint32_t day, uint32_t hour, uint32_t minute,
                  uint32_t second) {
    CZylDateTime value;
    value.SetDateTime(year, month, day, hour, minute, second, 0, 0);
    return value;
}

ZYLPRIVILEGEDUSER Entry(std::u16string id, int32_t type, uint16_t privilege) {
    ZYLPRIVILEGEDUSER entry;
    entry.id = std::move(id);
    entry.name = u"shown name";
    entry.type = type;
    entry.privilege = privilege;
    return entry;
}

// One plug-in's share manager with its database in a temporary folder, not logged in.
struct SHAREDB {
    explicit SHAREDB(const CZylTempDir& dir, std::u16string login = u"S1.1000")
        : plugin(platform), manager(plugin.GetShareManager()) {
        manager.SetLoginId(login);
        manager.SetDbPath(dir.WidePath(u"fss-S1.1000.fsd"));
    }
    fs::path File() const { return ZylToFsPath(manager.GetDbPath()); }

    CZylFakePlatform platform;
    CZylInterface plugin;
    CZylShareManager& manager;
};

std::unique_ptr<CZylShareObject> MakeShare(std::u16string shareName, std::u16string name, std::u16string path,
                                           int32_t folder) {
    auto share = ZylMakeShare(shareName, name, path, folder);
    share->SetType(folder ? u"Folder" : u"TXT File");
    share->SetTime(Time(2007, 5, 6, 7, 8, 9));
    return share;
}

const std::u16string kHeader = u"#zyl share file, version=Beta0.1\n#id=S1.1000\n";

} // namespace

TEST(ZylShareDb, WrittenFileHasExactlyTheLines) {
    CZylTempDir dir;
    SHAREDB db(dir);
    db.manager.AddShare(MakeShare(u"Docs", u"papers", u"/home/u/work", 1));
    auto file = MakeShare(u"Notes", u"a=b.txt", u"/home/u", 0);
    file->SetSize(1234);
    file->SetUnlimitedUserNumber(0);
    file->SetLimitedUserNumber(-1);
    file->AddPrivilegedUser(Entry(u"Everyone", 0, 1));
    file->AddPrivilegedUser(Entry(u"S1.2000", 2, 6));
    db.manager.AddShare(std::move(file));

    const std::u16string expected = kHeader + u"NoUpload=0\n"
                                              u"ShareNum=2\n"
                                              u"[ShareObjectBegin]\n"
                                              u"ShareName=Docs\n"
                                              u"ShareTime=2008-01-10 21:20:00\n"
                                              u"Name=papers\n"
                                              u"Path=/home/u/work\n"
                                              u"Size=0\n"
                                              u"bUnlimitedUserNumber=1\n"
                                              u"nLimitedUserNumber=10\n"
                                              u"Time=2007-05-06 07:08:09\n"
                                              u"Type=Folder\n"
                                              u"bFolder=1\n"
                                              u"PrivilegedUsers=0\n"
                                              u"[ShareObjectEnd]\n"
                                              u"[ShareObjectBegin]\n"
                                              u"ShareName=Notes\n"
                                              u"ShareTime=2008-01-10 21:20:00\n"
                                              u"Name=a=b.txt\n"
                                              u"Path=/home/u\n"
                                              u"Size=1234\n"
                                              u"bUnlimitedUserNumber=0\n"
                                              u"nLimitedUserNumber=-1\n"
                                              u"Time=2007-05-06 07:08:09\n"
                                              u"Type=TXT File\n"
                                              u"bFolder=0\n"
                                              u"PrivilegedUsers=2\n"
                                              u"[begin]\n"
                                              u"id=Everyone\n"
                                              u"type=0\n"
                                              u"privilege=1\n"
                                              u"[end]\n"
                                              u"[begin]\n"
                                              u"id=S1.2000\n"
                                              u"type=2\n"
                                              u"privilege=6\n"
                                              u"[end]\n"
                                              u"[ShareObjectEnd]\n";
    // Written when the share was added, not only at logout: UTF-16LE, no byte-order mark, LF only.
    EXPECT_EQ(ZylReadFileBytes(db.File()), ZylToUtf16Le(expected));
    EXPECT_FALSE(db.manager.IsModified());

    db.manager.SetNoUpload(1);
    EXPECT_EQ(ZylReadFileBytes(db.File()).substr(0, ZylToUtf16Le(kHeader + u"NoUpload=1\n").size()),
              ZylToUtf16Le(kHeader + u"NoUpload=1\n"));
    db.manager.RemoveShare(u"docs");
    EXPECT_NE(
        ZylReadFileBytes(db.File()).find(ZylToUtf16Le(u"ShareNum=1\n[ShareObjectBegin]\nShareName=Notes\n")),
        std::string::npos);
}

TEST(ZylShareDb, RoundTripKeepsEveryField) {
    CZylTempDir dir;
    {
        SHAREDB db(dir);
        auto docs = MakeShare(u"Docs", u"papers", u"/home/u/work", 1);
        docs->SetUnlimitedUserNumber(0);
        docs->SetLimitedUserNumber(3);
        docs->AddPrivilegedUser(Entry(u"Everyone", 0, 1));
        docs->AddPrivilegedUser(Entry(u"S2.2000", 2, 7));
        db.manager.AddShare(std::move(docs));
        db.platform.m_nCalendarTime = 1300000000;
        auto single = MakeShare(u"\u6587\u4EF6", u"\u00E9t\u00E9.mp3", u"/home/u/music", 0);
        single->SetSize(0xFFFFFFF0u);
        single->SetTime(Time(1999, 12, 31, 23, 59, 58));
        db.manager.AddShare(std::move(single));
        db.manager.AddShare(MakeShare(u"Empty", u"e", u"/e", 1));
        db.manager.SetNoUpload(1);
        // Editing a share and saving it, as the window does.
        db.manager.GetShare(2)->SetType(u"edited");
        ASSERT_EQ(db.manager.SaveChanges(), 0);
    }
    SHAREDB db(dir);
    ASSERT_EQ(db.manager.LoadSave(1), 0);
    EXPECT_FALSE(db.manager.IsModified());
    EXPECT_EQ(db.manager.GetNoUpload(), 1);
    ASSERT_EQ(db.manager.GetShareCount(), 3);

    const CZylShareObject& docs = *db.manager.GetShare(0);
    EXPECT_EQ(docs.GetShareName(), u"Docs");
    EXPECT_EQ(docs.GetName(), u"papers");
    EXPECT_EQ(docs.GetPath(), u"/home/u/work");
    EXPECT_EQ(docs.GetFolder(), 1);
    EXPECT_EQ(docs.GetType(), u"Folder");
    EXPECT_EQ(docs.GetUnlimitedUserNumber(), 0);
    EXPECT_EQ(docs.GetLimitedUserNumber(), 3);
    EXPECT_EQ(docs.GetShareTime().ToText(), u"2008-01-10 21:20:00");
    EXPECT_EQ(docs.GetTime().ToText(), u"2007-05-06 07:08:09");
    ASSERT_EQ(docs.GetPrivilegedUserCount(), 2);
    CZylShareObject& editable = *db.manager.GetShare(0);
    EXPECT_EQ(editable.GetPrivilegedUser(0)->id, u"Everyone");
    EXPECT_EQ(editable.GetPrivilegedUser(0)->type, 0);
    EXPECT_EQ(editable.GetPrivilegedUser(0)->privilege, 1);
    EXPECT_EQ(editable.GetPrivilegedUser(1)->id, u"S2.2000");
    EXPECT_EQ(editable.GetPrivilegedUser(1)->type, 2);
    EXPECT_EQ(editable.GetPrivilegedUser(1)->privilege, 7);
    // Display names are not stored; fetching with the host fills them (the id without a name).
    EXPECT_EQ(editable.GetPrivilegedUser(1)->name, u"");
    EXPECT_EQ(editable.GetPrivilegedUser(1, &db.plugin.GetHost())->name, u"S2.2000");

    const CZylShareObject& single = *db.manager.GetShare(1);
    EXPECT_EQ(single.GetShareName(), u"\u6587\u4EF6");
    EXPECT_EQ(single.GetName(), u"\u00E9t\u00E9.mp3");
    EXPECT_EQ(single.GetSize(), 0xFFFFFFF0u);
    EXPECT_EQ(single.GetFolder(), 0);
    EXPECT_EQ(single.GetShareTime().ToText(), u"2011-03-13 07:06:40");
    EXPECT_EQ(single.GetTime().ToText(), u"1999-12-31 23:59:58");
    EXPECT_EQ(single.GetUnlimitedUserNumber(), 1);
    EXPECT_EQ(single.GetPrivilegedUserCount(), 0);
    EXPECT_EQ(db.manager.GetShare(2)->GetType(), u"edited");
}

TEST(ZylShareDb, LoadingReplacesWhatWasHeld) {
    CZylTempDir dir;
    SHAREDB db(dir);
    db.manager.AddShare(MakeShare(u"One", u"a", u"/x", 1));
    db.manager.AddShare(MakeShare(u"Two", u"b", u"/x", 1));
    WriteText(db.File(), kHeader + u"NoUpload=0\nShareNum=1\n[ShareObjectBegin]\nShareName=Three\n");
    ASSERT_EQ(db.manager.LoadSave(1), 0);
    ASSERT_EQ(db.manager.GetShareCount(), 1);
    EXPECT_EQ(db.manager.GetShare(0)->GetShareName(), u"Three");

    fs::remove(db.File());
    ASSERT_EQ(db.manager.LoadSave(1), 0); // no file yet: no shares
    EXPECT_EQ(db.manager.GetShareCount(), 0);
}

TEST(ZylShareDb, FileOfAnotherUserOrDamagedHeaderIsDeleted) {
    CZylTempDir dir;
    for (const std::u16string& text :
         {std::u16string(u"#zyl share file, version=Beta0.1\n#id=S1.9999\nNoUpload=1\nShareNum=0\n"),
          std::u16string(u"garbage\n#id=S1.1000\nNoUpload=1\nShareNum=0\n"), std::u16string(u"")}) {
        SHAREDB db(dir);
        WriteText(db.File(), text);
        ASSERT_EQ(db.manager.LoadSave(1), 0);
        EXPECT_EQ(db.manager.GetShareCount(), 0);
        EXPECT_EQ(db.manager.GetNoUpload(), 0);
        EXPECT_FALSE(fs::exists(db.File()));
    }
}

TEST(ZylShareDb, HeaderAcceptsAnyVersionAndIdInAnotherCase) {
    CZylTempDir dir;
    SHAREDB db(dir);
    WriteText(db.File(), u"#zyl share file, version=9.9\n#id=s1.1000\nNoUpload=1\nShareNum=1\n"
                         u"[ShareObjectBegin]\nShareName=Docs\nShareTime=2008-01-10 21:20:00\nName=n\n"
                         u"Path=C:\\a=b\nSize=7\n");
    ASSERT_EQ(db.manager.LoadSave(1), 0);
    EXPECT_TRUE(fs::exists(db.File()));
    EXPECT_EQ(db.manager.GetNoUpload(), 1);
    ASSERT_EQ(db.manager.GetShareCount(), 1);
    EXPECT_EQ(db.manager.GetShare(0)->GetPath(), u"C:\\a=b"); // only the first "=" separates
    EXPECT_EQ(db.manager.GetShare(0)->GetSize(), 7u);
}

TEST(ZylShareDb, CutShortFileReadsAsEmptyValues) {
    CZylTempDir dir;
    SHAREDB db(dir);
    WriteText(db.File(), kHeader +
                             u"NoUpload=0\nShareNum=2\n"
                             u"[ShareObjectBegin]\nShareName=Docs\nShareTime=2008-01-10 21:20:00\n"
                             u"Name=papers\nPath=/w\nSize=3\nbUnlimitedUserNumber=0\nnLimitedUserNumber=4\n"
                             u"Time=not a time\nType=Folder\nbFolder=1\nPrivilegedUsers=1\n[begin]\nid=S1.2");
    ASSERT_EQ(db.manager.LoadSave(1), 0);
    ASSERT_EQ(db.manager.GetShareCount(), 2);
    CZylShareObject& first = *db.manager.GetShare(0);
    EXPECT_EQ(first.GetName(), u"papers");
    EXPECT_EQ(first.GetLimitedUserNumber(), 4);
    EXPECT_EQ(first.GetTime().GetKind(), CZylDateTime::Null); // a time that does not parse
    ASSERT_EQ(first.GetPrivilegedUserCount(), 1);
    EXPECT_EQ(first.GetPrivilegedUser(0)->id, u"S1.2");
    EXPECT_EQ(first.GetPrivilegedUser(0)->privilege, 0);

    const CZylShareObject& second = *db.manager.GetShare(1);
    EXPECT_EQ(second.GetShareName(), u"");
    EXPECT_EQ(second.GetPath(), u"");
    EXPECT_EQ(second.GetSize(), 0u);
    EXPECT_EQ(second.GetUnlimitedUserNumber(), 0);
    EXPECT_EQ(second.GetLimitedUserNumber(), 0);
    EXPECT_EQ(second.GetFolder(), 0);
}

TEST(ZylShareDb, DamagedCountsDoNotRunAway) {
    CZylTempDir dir;
    SHAREDB db(dir);
    WriteText(db.File(), kHeader +
                             u"NoUpload=0\nShareNum=2000000000\n"
                             u"[ShareObjectBegin]\nShareName=Docs\nShareTime=x\nName=n\nPath=/p\nSize=1\n"
                             u"bUnlimitedUserNumber=1\nnLimitedUserNumber=10\nTime=x\nType=t\nbFolder=1\n"
                             u"PrivilegedUsers=2000000000\n[begin]\nid=S1.2000\ntype=2\nprivilege=65539\n"
                             u"[end]\n");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(db.manager.LoadSave(1), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    // The records that are there, and one empty record where the file ends.
    ASSERT_EQ(db.manager.GetShareCount(), 2);
    CZylShareObject& share = *db.manager.GetShare(0);
    ASSERT_EQ(share.GetPrivilegedUserCount(), 2);
    EXPECT_EQ(share.GetPrivilegedUser(0)->privilege, 3); // the low 16 bits
    EXPECT_EQ(share.GetPrivilegedUser(1)->id, u"");
}

TEST(ZylShareDb, OverlongValuesAreCutToTheirFields) {
    CZylTempDir dir;
    SHAREDB db(dir);
    const std::u16string longName(300, u'n'); // the line stays within what one read takes
    WriteText(db.File(),
              kHeader + u"NoUpload=0\nShareNum=1\n[ShareObjectBegin]\nShareName=" + longName +
                  u"\nShareTime=\nName=" + longName +
                  u"\nPath=/p\nSize=1\nbUnlimitedUserNumber=1\n"
                  u"nLimitedUserNumber=10\nTime=\nType=t\nbFolder=1\nPrivilegedUsers=1\n[begin]\n"
                  u"id=S1.200000000000000000000000\ntype=2\nprivilege=1\n[end]\n[ShareObjectEnd]\n");
    ASSERT_EQ(db.manager.LoadSave(1), 0);
    ASSERT_EQ(db.manager.GetShareCount(), 1);
    CZylShareObject& share = *db.manager.GetShare(0);
    EXPECT_EQ(share.GetShareName().size(), 259u);
    EXPECT_EQ(share.GetName().size(), 259u);
    EXPECT_EQ(share.GetPrivilegedUser(0)->id, u"S1.20000000000000000");
}

TEST(ZylShareDb, FailedSaveLeavesTheOldFileWhole) {
    CZylTempDir dir;
    SHAREDB db(dir);
    db.manager.AddShare(MakeShare(u"Docs", u"papers", u"/home/u/work", 1));
    const std::string before = ZylReadFileBytes(db.File());
    ASSERT_FALSE(before.empty());

    // The temporary file cannot be made: the write fails before anything replaces the file.
    fs::path blocker = db.File();
    blocker += ".tmp";
    fs::create_directory(blocker);
    EXPECT_EQ(db.manager.AddShare(MakeShare(u"More", u"m", u"/m", 1)), 0);
    EXPECT_EQ(ZylReadFileBytes(db.File()), before);
    EXPECT_TRUE(db.manager.IsModified()); // still to be saved

    fs::remove(blocker);
    ASSERT_EQ(db.manager.SaveChanges(), 0);
    SHAREDB again(dir);
    ASSERT_EQ(again.manager.LoadSave(1), 0);
    EXPECT_EQ(again.manager.GetShareCount(), 2);
}

TEST(ZylShareDb, NoPathNoLoadOrSave) {
    CZylFakePlatform platform;
    CZylInterface plugin(platform);
    EXPECT_EQ(plugin.GetShareManager().LoadSave(1), -1);
    EXPECT_EQ(plugin.GetShareManager().LoadSave(0), -1);
}

TEST(ZylShareDb, SharesThatCannotBeStoredAreRefused) {
    CZylTempDir dir;
    SHAREDB db(dir);
    EXPECT_EQ(db.manager.AddShare(nullptr), -1);
    EXPECT_EQ(db.manager.AddShare(MakeShare(u"", u"a", u"/x", 1)), -1);
    EXPECT_EQ(db.manager.AddShare(MakeShare(u"a\\b", u"a", u"/x", 1)), -1);
    EXPECT_EQ(db.manager.AddShare(MakeShare(u"root", u"", u"/", 1)), -1);
    EXPECT_EQ(db.manager.AddShare(MakeShare(u"a\nb", u"a", u"/x", 1)), -1);
    EXPECT_EQ(db.manager.AddShare(MakeShare(u"a", u"line\nfeed", u"/x", 1)), -1);
    EXPECT_EQ(db.manager.AddShare(MakeShare(u"a", std::u16string(260, u'x'), u"/x", 1)), -1);
    EXPECT_EQ(db.manager.GetShareCount(), 0);
    EXPECT_FALSE(fs::exists(db.File()));
}
