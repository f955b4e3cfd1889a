// The share manager on its own: finding shares, the users of one, enumeration, and the share database:
// its exact lines, files it must not trust (set aside, never lost), a failed save.
#include "share/ZylShareManager.h"

#include "core/ZylDbFile.h"
#include "core/ZylPath.h"
#include "core/ZylProtocol.h"
#include "core/ZylText.h"
#include "plugin/ZylInterface.h"
#include "support/ZylFakePlatform.h"
#include "support/ZylTempDir.h"
#include "support/ZylTestFiles.h"
#include "support/ZylTestShares.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace fs = std::filesystem;

namespace {

std::unique_ptr<CZylShareObject> MakeShare(std::u16string shareName, std::u16string name, std::u16string path,
                                           int32_t folder) {
    auto share = ZylMakeShare(shareName, name, path, folder);
    share->SetType(folder ? u"Folder" : u"TXT File");
    CZylDateTime time;
    time.SetDateTime(2007, 5, 6, 7, 8, 9, 0, 0);
    share->SetTime(time);
    return share;
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
        ZylWriteFileBytes(File(), ZylToUtf16Le(text));
        return manager.LoadSave(1);
    }
    CZylShareObject& Add(std::u16string shareName, std::u16string name, std::u16string path, int32_t folder) {
        auto share = MakeShare(shareName, name, path, folder);
        CZylShareObject& added = *share;
        EXPECT_EQ(manager.AddShare(std::move(share)), 0);
        return added;
    }
    // The names EnumFiles finds, sorted.
    std::vector<std::u16string> Names(std::u16string_view folder, bool recursive, std::u16string_view root) {
        ZylShareList list;
        EXPECT_GE(manager.EnumFiles(folder, list, recursive, root), 0);
        std::vector<std::u16string> names;
        for (const auto& item : list)
            names.push_back(item->GetName());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::u16string Name(int32_t i) { return manager.GetShare(i)->GetShareName(); }
    CZylFakePlatform platform;
    CZylInterface plugin;
    CZylShareManager& manager;
};

void Touch(const fs::path& path, size_t size = 0) {
    ZylWriteFileBytes(path, std::string(size, 'x'));
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

TEST(ZylShareManagerFind, NamesCompareWithoutCaseFirstWinsAndPathsCompareExactlyWithTheFolderFlag) {
    CZylTempDir dir;
    SHAREDB m(dir);
    CZylShareObject* found = nullptr;
    m.Add(u"A", u"one", u"/x", 1);
    m.Add(u"a", u"two", u"/x", 1);
    EXPECT_EQ(m.manager.RemoveShare(u"a"), 0); // the first of them
    EXPECT_EQ(m.manager.GetShare(0)->GetName(), u"two");
    EXPECT_EQ(m.manager.RemoveShare(u"zzz"), -1);
    EXPECT_EQ(m.manager.FindShareByName(u"b", &found), -1);
    EXPECT_EQ(found, nullptr);
    CZylShareObject& folder = m.Add(u"Docs", u"b", u"/a", 1);
    EXPECT_EQ(m.manager.IsPathShared(u"/A/B", 1, &found), 0); // another folder where case counts
    EXPECT_EQ(m.manager.IsPathShared(u"/a/b", 0, &found), 0);
    EXPECT_EQ(found, &folder); // handed back although the flag differs
    CZylShareObject& file = m.Add(u"File", u"b", u"/a/", 0);
    EXPECT_EQ(m.manager.IsPathShared(u"/a/b", 0, &found), 1);
    EXPECT_EQ(found, &file);
    EXPECT_EQ(m.manager.GetShareLocalPath(file), u"/a/b");
}

TEST(ZylShareUsers, LimitIsComparedUnsignedAndEntriesCarryCounters) {
    CZylShareObject share;
    share.SetLimitedUserNumber(0);
    EXPECT_EQ(share.IsUserLimitReached(), 0); // unlimited by default
    share.SetUnlimitedUserNumber(0);
    EXPECT_EQ(share.IsUserLimitReached(), 1); // a limit of 0 is reached with nobody
    share.SetLimitedUserNumber(-1);
    EXPECT_EQ(share.IsUserLimitReached(), 0);
    // A user without any right on the share takes no place; the same user again adds nothing.
    const CZylDateTime now(1200000000);
    share.AddCurrentUser({u"S1.9000", {}, 0, 0}, now);
    share.SetLimitedUserNumber(1);
    EXPECT_EQ(share.IsUserLimitReached(), 0);
    share.SetLimitedUserNumber(2);
    share.AddPrivilegedUser({u"S1.1000", {}, ZYL_PRIVILEGED_USER, ZYL_PRIV_UPLOAD});
    share.AddPrivilegedUser({u"S1.2000", {}, ZYL_PRIVILEGED_USER, ZYL_PRIV_BROWSE});
    share.AddCurrentUser({u"S1.1000", {}, 0, 0}, now);
    share.AddCurrentUser({u"s1.1000", {}, 0, 0}, now);
    EXPECT_EQ(share.IsUserLimitReached(), 0);
    EXPECT_EQ(share.GetCurrentUserCount(), 2);
    share.AddCurrentUser({u"S1.2000", {}, 0, 0}, now);
    EXPECT_EQ(share.IsUserLimitReached(), 1);
    share.RemoveCurrentUser(u"S1.2000");
    EXPECT_EQ(share.IsUserLimitReached(), 0);
    // Entries carry their counters, the first one added staying (its time: the browse tests).
    share.ClearUsers();
    share.AddCurrentUser({u"S1.1000", {}, 2, 1}, now);
    share.AddCurrentUser({u"S1.1000", {}, 0, 0}, now);
    EXPECT_EQ(share.GetCurrentUserCount(), 1); // the first entry is found as well as any
    ZYLSHAREUSER* user = nullptr;
    ASSERT_EQ(share.FindCurrentUser(u"S1.1000", &user), 0);
    share.ReleaseCurrentUser(u"S1.1000", 1); // no such kind
    EXPECT_EQ(std::make_pair(user->downloads, user->uploads), std::make_pair(2, 1));
    for (int32_t kind : {2, 4, 4}) // a release without a start stays at 0
        share.ReleaseCurrentUser(u"S1.1000", kind);
    EXPECT_EQ(std::make_pair(user->downloads, user->uploads), std::make_pair(1, 0));
}

TEST(ZylShareManagerEnum, EntriesCarryFolderAndTypeAndWhatMustNotBeListedIsLeftOutAtEveryDepth) {
    CZylTempDir dir;
    const fs::path top = dir.Path() / "top";
    Touch(top / "a.txt", 5);
    Touch(top / "b");
    Touch(top / "inner/ok.txt");
    // Left out: links out, names that cannot travel, dangling links, 2 GiB files; a cycle ends.
    Touch(top / "back\\slash.txt");
    Touch(dir.Path() / "outside/secret.txt");
    fs::create_directory_symlink(dir.Path() / "outside", top / "link-out");
    fs::create_symlink(dir.Path() / "outside/secret.txt", top / "file-out");
    fs::create_directory_symlink(top / "inner", top / "link-in");
    fs::create_directory_symlink(top, top / "inner/loop");
    fs::create_symlink(top / "gone", top / "dangling");
    Touch(top / "huge.bin");
    fs::resize_file(top / "huge.bin", 0x80000000ull);
    SHAREDB m(dir);
    const std::u16string root = dir.WidePath(u"top");
    EXPECT_EQ(m.Names(root, false, root),
              (std::vector<std::u16string>{u"a.txt", u"b", u"inner", u"link-in"}));
    EXPECT_EQ(m.Names(root, true, root), (std::vector<std::u16string>{u"a.txt", u"b", u"ok.txt"}));
    // Entries hold their folder (no slash) and type, asked once per extension whatever its case.
    const uint32_t lookups = m.platform.m_nTypeLookups;
    Touch(top / "c.TXT", 1);
    Touch(top / "d.Az", 1); // both ends of the alphabet fold: one new extension, one lookup
    Touch(top / "e.aZ", 1);
    ZylShareList list;
    ASSERT_EQ(m.manager.EnumFiles(root + u"/", list, false, root), 7);
    for (const auto& item : list) {
        EXPECT_EQ(item->GetPath(), root);
        EXPECT_EQ(item->GetType(), item->GetFolder()         ? u"Folder"
                                   : item->GetName() == u"b" ? u"File"
                                   : item->GetName() < u"d"  ? u"TXT File"
                                                             : u"AZ File");
    }
    EXPECT_EQ(m.platform.m_nTypeLookups, lookups + 1);
    // Recursion lists only files, the deepest first, each under its share path.
    list.clear();
    ASSERT_EQ(m.manager.EnumFiles(root, list, true, root), 6);
    EXPECT_EQ(list[0]->GetName(), u"ok.txt");
    EXPECT_EQ(CZylShareManager::FileSharePath(ZylFromFsPath(dir.Path()) + u"/", u"docs", *list.back()),
              u"docs\\" + list.back()->GetName());
    // A file lists nothing; a stopped enumeration ends.
    list.clear();
    EXPECT_EQ(m.manager.EnumFiles(root + u"/a.txt", list, true), 0);
    const std::atomic<bool> stop{true};
    EXPECT_EQ(m.manager.EnumFiles(root, list, true, {}, &stop), ZYL_ENUM_STOPPED);
    EXPECT_TRUE(list.empty());
}

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
        const std::u16string records =
            u"NoUpload=0\nShareNum=2\n[ShareObjectBegin]\nShareName=Docs\nShareTime=2008-01-10 21:20:00\n"
            u"Name=papers\nPath=/home/u/work\nSize=0\nbUnlimitedUserNumber=1\nnLimitedUserNumber=10\n"
            u"Time=2007-05-06 07:08:09\nType=Folder\nbFolder=1\nPrivilegedUsers=0\n[ShareObjectEnd]\n"
            u"[ShareObjectBegin]\nShareName=Notes\nShareTime=2008-01-10 21:20:00\nName=a=b.txt\n"
            u"Path=/home/u\nSize=1234\nbUnlimitedUserNumber=0\nnLimitedUserNumber=-1\n"
            u"Time=2007-05-06 07:08:09\nType=TXT File\nbFolder=0\nPrivilegedUsers=2\n[begin]\nid=Everyone\n"
            u"type=0\nprivilege=1\n[end]\n[begin]\nid=S1.2000\ntype=2\nprivilege=6\n[end]\n"
            u"[ShareObjectEnd]\n";
        // Written when the share was added, not only at logout: UTF-16LE, no byte-order mark, LF only.
        EXPECT_EQ(ZylReadFileBytes(db.File()), ZylToUtf16Le(kHeader + records));
        EXPECT_FALSE(db.manager.IsModified());
        db.manager.SetNoUpload(1);
        EXPECT_EQ(ZylReadFileBytes(db.File()).find(ZylToUtf16Le(kHeader + u"NoUpload=1\n")), 0u);
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
    const CZylShareObject& single = *db.manager.GetShare(1);
    EXPECT_EQ(std::make_tuple(single.GetShareName(), single.GetSize(), single.GetType()),
              std::make_tuple(u"\u6587\u4EF6", 0xFFFFFFF0u, u"edited"));
    EXPECT_EQ(single.GetShareTime().ToText(), u"2011-03-13 07:06:40");
    ASSERT_EQ(db.manager.LoadSave(0), 0);
    EXPECT_EQ(ZylReadFileBytes(db.File()), written);
}

TEST(ZylShareDb, AnyVersionIsTakenButAFileOfAnotherUserWhoseOwnerCannotBeToldOrShortOfItsCountIsSetAside) {
    CZylTempDir dir;
    {
        SHAREDB db(dir);
        db.manager.AddShare(MakeShare(u"One", u"a", u"/x", 1));
        const std::u16string other = u"#zyl share file, version=9.9\n#id=s1.1000\nNoUpload=1\nShareNum=1\n";
        ASSERT_EQ(db.Load(other + Record(u"Three", u"c", u"/a=b")), 0);
        EXPECT_TRUE(db.manager.GetDbNotice().empty());
        EXPECT_EQ(db.manager.GetNoUpload(), 1);
        ASSERT_EQ(db.manager.GetShareCount(), 1);
        EXPECT_EQ(db.Name(0), u"Three");
        // Only the first "=" separates.
        EXPECT_EQ(std::make_pair(db.manager.GetShare(0)->GetPath(), db.manager.GetShare(0)->GetSize()),
                  std::make_pair(std::u16string(u"/a=b"), 7u));
        // An empty file holds nothing to keep: no shares, and nothing set aside.
        ASSERT_EQ(db.Load(u""), 0);
        EXPECT_EQ(db.manager.GetShareCount(), 0);
        EXPECT_TRUE(db.manager.GetDbNotice().empty());
        fs::remove(db.File());
    }
    const std::u16string body = u"NoUpload=1\nShareNum=1\n" + Record(u"Docs", u"d", u"/x");
    const char *aside = "the share database was set aside as ", *damaged = ".damaged-20080110-212000";
    // Another user's, a damaged header, and whole records fewer than the count says.
    for (const auto& [text, suffix, notice, kept] :
         std::vector<std::tuple<std::u16string, const char*, const char*, int32_t>>{
             {u"#zyl share file, version=Beta0.1\n#id=S1.9999\n" + body, ".foreign-20080110-212000",
              "the share database of S1.9999 was set aside as ", 0},
             {u"#zyl share file, version=Beta0.1\n#ld=S1.1000\n" + body, damaged, aside, 0},
             {kHeader + u"NoUpload=0\nShareNum=3\n" + Record(u"A", u"a", u"/x") + Record(u"B", u"b", u"/y"),
              damaged, aside, 2}}) {
        SHAREDB db(dir);
        ASSERT_EQ(db.Load(text), 0);
        EXPECT_EQ(db.manager.GetShareCount(), kept);
        EXPECT_EQ(db.manager.GetNoUpload(), 0);
        EXPECT_EQ(fs::exists(db.File()), kept > 0);
        const fs::path setAside = fs::path(db.File()) += suffix;
        EXPECT_EQ(ZylReadFileBytes(setAside), ZylToUtf16Le(text));
        EXPECT_EQ(ZylToUtf8(db.manager.GetDbNotice()).find(notice), 0u)
            << ZylToUtf8(db.manager.GetDbNotice());
        fs::remove(setAside);
        fs::remove(db.File());
    }
}

TEST(ZylShareDb, ADamagedFileKeepsEveryWholeRecordAndIsSetAsideWithTheRest) {
    CZylTempDir dir;
    SHAREDB db(dir);
    // A changed header byte, a record without Size (values shift), ones without a share name, item name
    // or folder, one cut short, and a wrong count.
    std::u16string shifted = Record(u"Shifted", u"s", u"/x");
    shifted.erase(shifted.find(u"Size=7\n"), 7);
    const std::u16string text = u"#zyl share file, versio=Beta0.1\n#id=S1.1000\nNoUpload=1\nShareNum=9\n" +
                                Record(u"First", u"f", u"/x") + shifted + Record(u"", u"e", u"/x") +
                                Record(u"Root", u"", u"/") + Record(u"NoPath", u"n", u"") +
                                Record(u"Second", u"g", u"/y") +
                                u"[ShareObjectBegin]\nShareName=Cut\nShareTime=";
    ASSERT_EQ(db.Load(text), 0);
    ASSERT_EQ(db.manager.GetShareCount(), 2);
    EXPECT_EQ(db.Name(0), u"First");
    EXPECT_EQ(db.Name(1), u"Second");
    EXPECT_EQ(db.manager.GetShare(1)->GetPath(), u"/y");
    EXPECT_EQ(db.manager.GetNoUpload(), 1);
    // The whole file is kept beside (what was read is the database now: the node tests load it clean).
    EXPECT_EQ(ZylReadFileBytes(fs::path(db.File()) += ".damaged-20080110-212000"), ZylToUtf16Le(text));
    EXPECT_EQ(ZylToUtf8(db.manager.GetDbNotice()),
              "the share database was set aside as " + db.File().string() +
                  ".damaged-20080110-212000; 2 shares read from it are kept");
    // A stray line between whole records is damage even where the header and the count are right.
    ASSERT_EQ(db.Load(kHeader + u"NoUpload=0\nShareNum=2\n" + Record(u"A", u"a", u"/x") + u"stray\n" +
                      Record(u"B", u"b", u"/x")),
              0);
    EXPECT_EQ(db.manager.GetShareCount(), 2);
    EXPECT_TRUE(fs::exists(fs::path(db.File()) += ".damaged-20080110-212000-2"));
}

TEST(ZylShareDb, DamagedCountsDoNotRunAwayAndOverlongValuesAreCutToTheirFields) {
    CZylTempDir dir;
    SHAREDB db(dir);
    const std::u16string longName(300, u'n'); // the line stays within what one read takes
    const std::u16string head =
        u"NoUpload=0\nShareNum=2000000000\n[ShareObjectBegin]\nShareName=Docs\nShareTime=x\nName=n\n"
        u"Path=/p\nSize=1\nbUnlimitedUserNumber=1\nnLimitedUserNumber=10\nTime=x\nType=t\nbFolder=1\n"
        u"PrivilegedUsers=2000000000\n[begin]\nid=S1.2000\ntype=2\nprivilege=65539\n[end]\n"
        u"[ShareObjectEnd]\n[ShareObjectBegin]\nShareName=";
    const std::u16string tail =
        u"\nPath=/p\nSize=1\nbUnlimitedUserNumber=1\nnLimitedUserNumber=10\nTime=\nType=t\nbFolder=1\n"
        u"PrivilegedUsers=1\n[begin]\nid=S1.200000000000000000000000\ntype=2\nprivilege=1\n[end]\n"
        u"[ShareObjectEnd]\n";
    ASSERT_EQ(db.Load(kHeader + head + longName + u"\nShareTime=\nName=" + longName + tail), 0);
    // The record whose entries run to the end of the file is not whole; the one it ran over is.
    ASSERT_EQ(db.manager.GetShareCount(), 1);
    EXPECT_FALSE(db.manager.GetDbNotice().empty());
    CZylShareObject& share = *db.manager.GetShare(0);
    EXPECT_EQ(share.GetShareName(), longName.substr(0, 259));
    EXPECT_EQ(share.GetName().size(), 259u);
    EXPECT_EQ(share.GetPrivilegedUser(0)->id, u"S1.20000000000000000");
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
    const fs::path blocker = fs::path(db.File()) += ".tmp";
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
