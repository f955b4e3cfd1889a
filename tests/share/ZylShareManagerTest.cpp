// The share manager's own operations: finding shares, mapping share paths, the gate that keeps
// every request inside its share, and the folder enumeration behind every listing.
#include "share/ZylShareManager.h"

#include "core/ZylPath.h"
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

struct MANAGER {
    MANAGER() : plugin(platform), manager(plugin.GetShareManager()) {}
    CZylShareObject& Add(std::u16string shareName, std::u16string name, std::u16string path, int32_t folder) {
        auto share = ZylMakeShare(shareName, name, path, folder);
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
    CZylFakePlatform platform;
    CZylInterface plugin;
    CZylShareManager& manager;
};

void Touch(const fs::path& path, size_t size = 0) {
    ZylWriteFileBytes(path, std::string(size, 'x'));
}

} // namespace

TEST(ZylShareManagerFind, NamesCompareWithoutCaseFirstWinsAndPathsCompareExactlyWithTheFolderFlag) {
    MANAGER m;
    CZylShareObject& first = m.Add(u"A", u"one", u"/x", 1);
    m.Add(u"a", u"two", u"/x", 1);
    CZylShareObject* found = nullptr;
    EXPECT_EQ(m.manager.ShareExists(u"a", CZylDateTime(), &found), 1);
    EXPECT_EQ(found, &first);
    EXPECT_EQ(m.manager.FindShareByName(u"b", &found), -1);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(m.manager.ShareNameExists(u"A"), 1);
    EXPECT_EQ(m.manager.RemoveShare(u"a"), 0); // the first of them
    EXPECT_EQ(m.manager.GetShare(0)->GetName(), u"two");
    EXPECT_EQ(m.manager.RemoveShare(u"zzz"), -1);

    CZylShareObject& folder = m.Add(u"Docs", u"b", u"/a", 1);
    EXPECT_EQ(m.manager.IsPathShared(u"/A/B", 1, &found), 0); // another folder where case counts
    EXPECT_EQ(m.manager.IsPathShared(u"/a/b", 0, &found), 0);
    EXPECT_EQ(found, &folder); // handed back although the flag differs
    CZylShareObject& file = m.Add(u"File", u"b", u"/a/", 0);
    EXPECT_EQ(m.manager.IsPathShared(u"/a/b", 0, &found), 1);
    EXPECT_EQ(found, &file);
    EXPECT_EQ(m.manager.GetShareLocalPath(file), u"/a/b");
}

TEST(ZylShareManagerPath, GateRefusesEverythingOutsideTheShare) {
    CZylTempDir dir;
    const fs::path root = dir.Path();
    fs::create_directories(root / "work/papers/2005");
    Touch(root / "secret/key");
    fs::create_directory_symlink(root / "secret", root / "work/papers/out");
    fs::create_directory_symlink(root / "work/papers/2005", root / "work/papers/in");

    MANAGER m;
    m.Add(u"Docs", u"papers", dir.WidePath(u"work"), 1);
    CZylShareObject* share = nullptr;
    std::u16string local;
    EXPECT_EQ(m.manager.ResolveSharePath(u"Docs", share, local), ZYL_SHARE_PATH_OK);
    EXPECT_EQ(local, dir.WidePath(u"work/papers"));
    EXPECT_EQ(m.manager.ResolveSharePath(u"docs\\2005\\", share, local), ZYL_SHARE_PATH_OK);
    EXPECT_EQ(local, dir.WidePath(u"work/papers/2005/"));
    EXPECT_EQ(m.manager.ResolveSharePath(u"Docs\\in\\new.txt", share, local), ZYL_SHARE_PATH_OK);
    EXPECT_EQ(m.manager.ResolveSharePath(u"Docsx", share, local), ZYL_SHARE_PATH_NO_SHARE);
    EXPECT_EQ(share, nullptr);

    for (std::u16string_view bad :
         {u"Docs\\..", u"Docs\\..\\..", u"Docs\\.", u"Docs\\2005\\..\\..\\secret", u"Docs\\\\2005",
          u"Docs\\a/../../secret", u"Docs\\out", u"Docs\\out\\key"}) {
        share = nullptr;
        EXPECT_EQ(m.manager.ResolveSharePath(bad, share, local), ZYL_SHARE_PATH_UNSAFE) << ZylToUtf8(bad);
        EXPECT_NE(share, nullptr);
        EXPECT_TRUE(local.empty());
    }
}

TEST(ZylShareManagerEnum, EntriesCarryTheirFolderTimeAndATypeAskedOncePerExtension) {
    CZylTempDir dir;
    const fs::path root = dir.Path() / "top";
    fs::create_directories(root / "sub1");
    fs::create_directories(root / "sub2");
    Touch(root / "a.txt", 5);
    Touch(root / "b", 0);
    CZylDateTime stamp;
    stamp.SetDateTime(2007, 5, 6, 7, 8, 0, 0, 0);
    fs::file_time_type when;
    ASSERT_TRUE(ZylTimeToFileTime(stamp, when));
    fs::last_write_time(root / "a.txt", when);

    MANAGER m;
    ZylShareList list;
    ASSERT_EQ(m.manager.EnumFiles(dir.WidePath(u"top/"), list, false), 4);
    for (const auto& item : list)
        EXPECT_EQ(item->GetPath(), dir.WidePath(u"top"));
    const CZylShareObject& a = *(list[2]->GetName() == u"a.txt" ? list[2] : list[3]);
    EXPECT_EQ(a.GetType(), u"TXT File"); // from the platform's type names
    EXPECT_EQ(a.GetTime().ToText(), u"2007-05-06 07:08:00");
    EXPECT_EQ(a.GetTime().GetZone(), 0);

    // The type is asked once per extension, whatever its case.
    Touch(root / "c.TXT", 1);
    const uint32_t lookups = m.platform.m_nTypeLookups;
    list.clear();
    ASSERT_EQ(m.manager.EnumFiles(dir.WidePath(u"top/"), list, false), 5);
    for (const auto& item : list)
        EXPECT_EQ(item->GetType(), item->GetFolder()         ? u"Folder"
                                   : item->GetName() == u"b" ? u"File"
                                                             : u"TXT File");
    EXPECT_EQ(m.platform.m_nTypeLookups, lookups);

    // A file lists nothing; a stopped enumeration ends.
    ZylShareList none;
    EXPECT_EQ(m.manager.EnumFiles(dir.WidePath(u"top/a.txt"), none, true), 0);
    const std::atomic<bool> stop{true};
    EXPECT_EQ(m.manager.EnumFiles(dir.WidePath(u"top"), none, true, {}, &stop), ZYL_ENUM_STOPPED);
    EXPECT_TRUE(none.empty());
}

TEST(ZylShareManagerEnum, RecursionListsOnlyFilesDeepestFirst) {
    CZylTempDir dir;
    const fs::path root = dir.Path() / "top";
    fs::create_directories(root / "empty");
    Touch(root / "top.txt");
    Touch(root / "sub/mid.txt");
    Touch(root / "sub/deeper/low.txt");

    MANAGER m;
    ZylShareList list;
    ASSERT_EQ(m.manager.EnumFiles(dir.WidePath(u"top"), list, true), 3);
    EXPECT_EQ(std::vector<std::u16string>({list[0]->GetName(), list[1]->GetName(), list[2]->GetName()}),
              (std::vector<std::u16string>{u"low.txt", u"mid.txt", u"top.txt"}));
    EXPECT_EQ(list[0]->GetPath(), dir.WidePath(u"top/sub/deeper"));

    // The path each is reported under, for a share "Docs" of the folder top.
    const std::u16string parent = ZylFromFsPath(dir.Path());
    EXPECT_EQ(CZylShareManager::FileSharePath(parent, u"docs", *list[0]), u"docs\\sub\\deeper\\low.txt");
    EXPECT_EQ(CZylShareManager::FileSharePath(parent + u"/", u"docs", *list[2]), u"docs\\top.txt");
}

TEST(ZylShareManagerEnum, LeavesOutWhatMustNotOrCannotBeListed) {
    CZylTempDir dir;
    const fs::path root = dir.Path() / "top";
    Touch(dir.Path() / "outside/secret.txt");
    Touch(root / "inner/ok.txt");
    Touch(root / "back\\slash.txt");
    fs::create_directory_symlink(dir.Path() / "outside", root / "link-out");
    fs::create_symlink(dir.Path() / "outside/secret.txt", root / "file-out");
    fs::create_directory_symlink(root / "inner", root / "link-in");
    fs::create_directory_symlink(root, root / "inner/loop"); // a cycle back to the top
    fs::create_symlink(root / "gone", root / "dangling");
    // A file of 2 GiB (sparse, nothing is written).
    Touch(root / "huge.bin");
    fs::resize_file(root / "huge.bin", 0x80000000ull);

    MANAGER m;
    const std::u16string top = dir.WidePath(u"top");
    EXPECT_EQ(m.Names(top, false, top), (std::vector<std::u16string>{u"inner", u"link-in"}));
    // With recursion every file is reached once, the cycle ends, nothing outside shows.
    EXPECT_EQ(m.Names(top, true, top), std::vector<std::u16string>{u"ok.txt"});
}
