// The share database file: its exact lines, reading it back, the files it must not trust (another
// user's, damaged, cut short), which are set aside and never lost, and a save that fails half way.
#include "share/ZylShareManager.h"

#include "core/ZylDbFile.h"
#include "core/ZylPath.h"
#include "core/ZylText.h"
#include "plugin/ZylInterface.h"
#include "support/ZylFakePlatform.h"
#include "support/ZylTempDir.h"
#include "support/ZylTestFiles.h"
#include "support/ZylTestShares.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

void WriteText(const fs::path& path, std::u16string_view text) {
    ZylWriteFileBytes(path, ZylToUtf16Le(text));
}

// One plug-in's share manager with its database in a temporary folder, not logged in.
struct SHAREDB {
    explicit SHAREDB(const CZylTempDir& dir) : plugin(platform), manager(plugin.GetShareManager()) {
        manager.SetLoginId(u"S1.1000");
        manager.SetDbPath(dir.WidePath(u"fss-S1.1000.fsd"));
    }
    fs::path File() const { return ZylToFsPath(manager.GetDbPath()); }
    // Writes the file and loads it.
    int32_t Load(std::u16string_view text) {
        WriteText(File(), text);
        return manager.LoadSave(1);
    }

    CZylFakePlatform platform;
    CZylInterface plugin;
    CZylShareManager& manager;
};

std::unique_ptr<CZylShareObject> MakeShare(std::u16string shareName, std::u16string name, std::u16string path,
                                           int32_t folder) {
    auto share = ZylMakeShare(shareName, name, path, folder);
    share->SetType(folder ? u"Folder" : u"TXT File");
    CZylDateTime time;
    time.SetDateTime(2007, 5, 6, 7, 8, 9, 0, 0);
    share->SetTime(time);
    return share;
}

const std::u16string kHeader = u"#zyl share file, version=Beta0.1\n#id=S1.1000\n";

// One whole share record with one right for "Everyone".
std::u16string Record(std::u16string_view shareName, std::u16string_view name, std::u16string_view path) {
    return u"[ShareObjectBegin]\nShareName=" + std::u16string(shareName) +
           u"\nShareTime=2008-01-10 21:20:00\nName=" + std::u16string(name) + u"\nPath=" +
           std::u16string(path) +
           u"\nSize=7\nbUnlimitedUserNumber=1\nnLimitedUserNumber=10\nTime=2007-05-06 07:08:09\n"
           u"Type=Folder\nbFolder=1\nPrivilegedUsers=1\n[begin]\nid=Everyone\ntype=0\nprivilege=1\n[end]\n"
           u"[ShareObjectEnd]\n";
}

} // namespace

TEST(ZylShareDb, WrittenFileHasExactlyTheLinesAndEveryFieldReadIsWrittenAgainAsItWas) {
    CZylTempDir dir;
    std::string written;
    {
        SHAREDB db(dir);
        db.manager.AddShare(MakeShare(u"Docs", u"papers", u"/home/u/work", 1));
        auto file = MakeShare(u"Notes", u"a=b.txt", u"/home/u", 0);
        file->SetSize(1234);
        file->SetUnlimitedUserNumber(0);
        file->SetLimitedUserNumber(-1);
        file->AddPrivilegedUser({u"Everyone", u"shown name", 0, 1});
        file->AddPrivilegedUser({u"S1.2000", u"shown name", 2, 6});
        db.manager.AddShare(std::move(file));
        const std::u16string expected =
            kHeader +
            u"NoUpload=0\nShareNum=2\n"
            u"[ShareObjectBegin]\nShareName=Docs\nShareTime=2008-01-10 "
            u"21:20:00\nName=papers\nPath=/home/u/work\n"
            u"Size=0\nbUnlimitedUserNumber=1\nnLimitedUserNumber=10\nTime=2007-05-06 07:08:09\nType=Folder\n"
            u"bFolder=1\nPrivilegedUsers=0\n[ShareObjectEnd]\n"
            u"[ShareObjectBegin]\nShareName=Notes\nShareTime=2008-01-10 "
            u"21:20:00\nName=a=b.txt\nPath=/home/u\n"
            u"Size=1234\nbUnlimitedUserNumber=0\nnLimitedUserNumber=-1\nTime=2007-05-06 07:08:09\n"
            u"Type=TXT File\nbFolder=0\nPrivilegedUsers=2\n"
            u"[begin]\nid=Everyone\ntype=0\nprivilege=1\n[end]\n[begin]\nid=S1.2000\ntype=2\nprivilege=6\n["
            u"end]\n"
            u"[ShareObjectEnd]\n";
        // Written when the share was added, not only at logout: UTF-16LE, no byte-order mark, LF only.
        EXPECT_EQ(ZylReadFileBytes(db.File()), ZylToUtf16Le(expected));
        EXPECT_FALSE(db.manager.IsModified());

        db.manager.SetNoUpload(1);
        EXPECT_EQ(ZylReadFileBytes(db.File()).substr(0, ZylToUtf16Le(kHeader + u"NoUpload=1\n").size()),
                  ZylToUtf16Le(kHeader + u"NoUpload=1\n"));
        db.manager.RemoveShare(u"docs");
        EXPECT_NE(ZylReadFileBytes(db.File()).find(
                      ZylToUtf16Le(u"ShareNum=1\n[ShareObjectBegin]\nShareName=Notes\n")),
                  std::string::npos);

        db.platform.m_nCalendarTime = 1300000000;
        auto single = MakeShare(u"\u6587\u4EF6", u"\u00E9t\u00E9.mp3", u"/home/u/music", 0);
        single->SetSize(0xFFFFFFF0u);
        db.manager.AddShare(std::move(single));
        // Editing a share and saving it, as the window does.
        db.manager.GetShare(1)->SetType(u"edited");
        ASSERT_EQ(db.manager.SaveChanges(), 0);
        written = ZylReadFileBytes(db.File());
    }
    SHAREDB db(dir);
    ASSERT_EQ(db.manager.LoadSave(1), 0);
    EXPECT_FALSE(db.manager.IsModified());
    EXPECT_EQ(db.manager.GetNoUpload(), 1);
    ASSERT_EQ(db.manager.GetShareCount(), 2);
    EXPECT_EQ(db.manager.GetShare(1)->GetShareName(), u"\u6587\u4EF6");
    EXPECT_EQ(db.manager.GetShare(1)->GetSize(), 0xFFFFFFF0u);
    EXPECT_EQ(db.manager.GetShare(1)->GetShareTime().ToText(), u"2011-03-13 07:06:40");
    EXPECT_EQ(db.manager.GetShare(1)->GetType(), u"edited");
    // Display names are not stored; fetching with the host fills them (the id without a name).
    CZylShareObject& notes = *db.manager.GetShare(0);
    EXPECT_EQ(notes.GetPrivilegedUser(1)->name, u"");
    EXPECT_EQ(notes.GetPrivilegedUser(1, &db.plugin.GetHost())->name, u"S1.2000");
    ASSERT_EQ(db.manager.LoadSave(0), 0);
    EXPECT_EQ(ZylReadFileBytes(db.File()), written);
}

TEST(ZylShareDb, LoadingReplacesWhatWasHeldAndTakesAnyVersionAndTheIdInAnotherCase) {
    CZylTempDir dir;
    SHAREDB db(dir);
    db.manager.AddShare(MakeShare(u"One", u"a", u"/x", 1));
    db.manager.AddShare(MakeShare(u"Two", u"b", u"/x", 1));
    ASSERT_EQ(db.Load(u"#zyl share file, version=9.9\n#id=s1.1000\nNoUpload=1\nShareNum=1\n" +
                      Record(u"Three", u"c", u"/a=b")),
              0);
    EXPECT_TRUE(fs::exists(db.File()));
    EXPECT_TRUE(db.manager.GetDbNotice().empty());
    EXPECT_EQ(db.manager.GetNoUpload(), 1);
    ASSERT_EQ(db.manager.GetShareCount(), 1);
    EXPECT_EQ(db.manager.GetShare(0)->GetShareName(), u"Three");
    EXPECT_EQ(db.manager.GetShare(0)->GetPath(), u"/a=b"); // only the first "=" separates
    EXPECT_EQ(db.manager.GetShare(0)->GetSize(), 7u);

    fs::remove(db.File());
    ASSERT_EQ(db.manager.LoadSave(1), 0); // no file yet: no shares
    EXPECT_EQ(db.manager.GetShareCount(), 0);
    // An empty file holds nothing to keep: it is no database yet.
    ASSERT_EQ(db.Load(u""), 0);
    EXPECT_TRUE(db.manager.GetDbNotice().empty());
}

TEST(ZylShareDb, AFileOfAnotherUserOrWhoseOwnerCannotBeToldIsSetAsideWholeAndNothingLoaded) {
    CZylTempDir dir;
    const std::u16string body = u"NoUpload=1\nShareNum=1\n" + Record(u"Docs", u"d", u"/x");
    struct CASE {
        std::u16string text;
        const char* aside;
        const char* notice;
    };
    for (const CASE& c : {
             CASE{u"#zyl share file, version=Beta0.1\n#id=S1.9999\n" + body, ".foreign-20080110-212000",
                  "the share database of S1.9999 was set aside as "},
             CASE{u"#zyl share file, version=Beta0.1\n#ld=S1.1000\n" + body, ".damaged-20080110-212000",
                  "the share database was set aside as "},
         }) {
        SHAREDB db(dir);
        ASSERT_EQ(db.Load(c.text), 0);
        EXPECT_EQ(db.manager.GetShareCount(), 0);
        EXPECT_EQ(db.manager.GetNoUpload(), 0);
        EXPECT_FALSE(fs::exists(db.File()));
        const fs::path aside = fs::path(db.File()) += c.aside;
        EXPECT_EQ(ZylReadFileBytes(aside), ZylToUtf16Le(c.text));
        EXPECT_EQ(ZylToUtf8(db.manager.GetDbNotice()).find(c.notice), 0u)
            << ZylToUtf8(db.manager.GetDbNotice());
        fs::remove(aside);
    }
}

TEST(ZylShareDb, ADamagedFileKeepsEveryWholeRecordAndIsSetAsideWithTheRest) {
    CZylTempDir dir;
    SHAREDB db(dir);
    // A changed byte in the first line; a record without its Size line (every later value would be
    // shifted); records without a share name, without an item name (the root) or without a folder;
    // and a last record the file ends inside of. The count does not match either.
    std::u16string shifted = Record(u"Shifted", u"s", u"/x");
    shifted.erase(shifted.find(u"Size=7\n"), 7);
    const std::u16string text = u"#zyl share file, versio=Beta0.1\n#id=S1.1000\nNoUpload=1\nShareNum=9\n" +
                                Record(u"First", u"f", u"/x") + shifted + Record(u"", u"e", u"/x") +
                                Record(u"Root", u"", u"/") + Record(u"NoPath", u"n", u"") +
                                Record(u"Second", u"g", u"/y") +
                                u"[ShareObjectBegin]\nShareName=Cut\nShareTime=";
    ASSERT_EQ(db.Load(text), 0);
    ASSERT_EQ(db.manager.GetShareCount(), 2);
    EXPECT_EQ(db.manager.GetShare(0)->GetShareName(), u"First");
    EXPECT_EQ(db.manager.GetShare(1)->GetShareName(), u"Second");
    EXPECT_EQ(db.manager.GetShare(1)->GetPath(), u"/y");
    EXPECT_EQ(db.manager.GetNoUpload(), 1);
    // The whole file is kept beside; what was read is the database now, and it loads clean.
    EXPECT_EQ(ZylReadFileBytes(fs::path(db.File()) += ".damaged-20080110-212000"), ZylToUtf16Le(text));
    EXPECT_EQ(ZylToUtf8(db.manager.GetDbNotice()),
              "the share database was set aside as " + db.File().string() +
                  ".damaged-20080110-212000; 2 shares read from it are kept");
    SHAREDB again(dir);
    ASSERT_EQ(again.manager.LoadSave(1), 0);
    EXPECT_EQ(again.manager.GetShareCount(), 2);
    EXPECT_TRUE(again.manager.GetDbNotice().empty());
}

TEST(ZylShareDb, DamagedCountsDoNotRunAwayAndOverlongValuesAreCutToTheirFields) {
    CZylTempDir dir;
    SHAREDB db(dir);
    const std::u16string longName(300, u'n'); // the line stays within what one read takes
    ASSERT_EQ(db.Load(kHeader +
                      u"NoUpload=0\nShareNum=2000000000\n"
                      u"[ShareObjectBegin]\nShareName=Docs\nShareTime=x\nName=n\nPath=/p\nSize=1\n"
                      u"bUnlimitedUserNumber=1\nnLimitedUserNumber=10\nTime=x\nType=t\nbFolder=1\n"
                      u"PrivilegedUsers=2000000000\n[begin]\nid=S1.2000\ntype=2\nprivilege=65539\n"
                      u"[end]\n[ShareObjectEnd]\n[ShareObjectBegin]\nShareName=" +
                      longName + u"\nShareTime=\nName=" + longName +
                      u"\nPath=/p\nSize=1\nbUnlimitedUserNumber=1\n"
                      u"nLimitedUserNumber=10\nTime=\nType=t\nbFolder=1\nPrivilegedUsers=1\n[begin]\n"
                      u"id=S1.200000000000000000000000\ntype=2\nprivilege=1\n[end]\n[ShareObjectEnd]\n"),
              0);
    // The record whose entries run to the end of the file is not whole; the one it ran over is.
    ASSERT_EQ(db.manager.GetShareCount(), 1);
    EXPECT_FALSE(db.manager.GetDbNotice().empty());
    CZylShareObject& share = *db.manager.GetShare(0);
    EXPECT_EQ(share.GetShareName(), longName.substr(0, 259));
    EXPECT_EQ(share.GetName().size(), 259u);
    EXPECT_EQ(share.GetPrivilegedUser(0)->id, u"S1.20000000000000000");

    // Whole records, but fewer than the count says: the file is set aside all the same.
    CZylTempDir otherDir;
    SHAREDB fewer(otherDir);
    ASSERT_EQ(fewer.Load(kHeader + u"NoUpload=0\nShareNum=3\n" + Record(u"A", u"a", u"/x") +
                         Record(u"B", u"b", u"/y")),
              0);
    EXPECT_EQ(fewer.manager.GetShareCount(), 2);
    EXPECT_FALSE(fewer.manager.GetDbNotice().empty());
}

TEST(ZylShareDb, FailedSaveLeavesTheOldFileWholeAndSharesThatCannotBeStoredAreRefused) {
    CZylTempDir dir;
    SHAREDB db(dir);
    for (auto* bad : {u"", u"a\\b", u"a\nb"})
        EXPECT_EQ(db.manager.AddShare(MakeShare(bad, u"a", u"/x", 1)), -1);
    for (const std::u16string& bad : {std::u16string(), std::u16string(u"line\nfeed"),
                                      std::u16string(260, u'x'), std::u16string(u"x/..")})
        EXPECT_EQ(db.manager.AddShare(MakeShare(u"a", bad, bad.empty() ? u"/" : u"/x", 1)), -1);
    EXPECT_EQ(db.manager.AddShare(MakeShare(u"a", u"x", u"relative", 1)), -1);
    EXPECT_EQ(db.manager.AddShare(nullptr), -1);
    EXPECT_FALSE(fs::exists(db.File()));

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

    // Without a path there is nothing to load or save.
    db.manager.SetDbPath(u"");
    EXPECT_EQ(db.manager.LoadSave(1), -1);
    EXPECT_EQ(db.manager.LoadSave(0), -1);
}
