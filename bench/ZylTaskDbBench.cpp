// The task database at the sizes users reach: 10,000 tasks of one file each, and one folder task of
// 10,000 files. Each is written (every line, one write, one sync, the rename) and read back a few
// times; prints the median time of a save and of a load, and their sum.
//
// Usage: ZylTaskDbBench [tasks [runs]]   (10000 tasks, 7 runs by default)
#include "ZylBenchSupport.h"
#include "core/ZylPath.h"
#include "core/ZylText.h"
#include "plugin/ZylInterface.h"
#include "support/ZylFakePlatform.h"
#include "support/ZylTempDir.h"
#include "transfer/ZylTaskManager.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// A file record with names of a usual length, part of it fetched.
std::unique_ptr<CZylTaskFile> MakeFile(const std::u16string& remote, const std::u16string& folder,
                                       const std::u16string& name, int32_t size) {
    auto file = std::make_unique<CZylTaskFile>();
    file->m_sRemoteName = remote;
    file->m_sLocalPath = folder;
    file->m_sLocalName = name;
    file->m_nFileSize = size;
    file->m_nFileOffset = size / 3;
    file->m_tLastModifiedTime.SetDateTime(2008, 1, 10, 21, 20, 0, 0, 0);
    return file;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Saves and loads the manager's tasks runs times; false when a save or a load failed or the load
// did not give back every task.
bool Measure(const char* label, CZylTaskManager& tasks, int runs) {
    const int32_t count = tasks.GetTaskCount();
    std::vector<double> saves, loads;
    for (int run = 0; run < runs; ++run) {
        Clock::time_point start = Clock::now();
        if (tasks.LoadSave(0) != 0)
            return false;
        saves.push_back(ZylSeconds(Clock::now() - start));
        start = Clock::now();
        if (tasks.LoadSave(1) != 0 || tasks.GetTaskCount() != count)
            return false;
        loads.push_back(ZylSeconds(Clock::now() - start));
    }
    const double save = Median(saves) * 1000, load = Median(loads) * 1000;
    std::printf("%-28s save %.1f ms, load %.1f ms, load + save %.1f ms (medians of %d)\n", label, save, load,
                save + load, runs);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 7;
    if (count < 1 || count > 1000000 || runs < 1 || runs > 100) {
        std::fprintf(stderr, "usage: ZylTaskDbBench [tasks (1 to 1000000) [runs (1 to 100)]]\n");
        return 2;
    }
    CZylTempDir temp;
    CZylFakePlatform platform;
    CZylInterface plugin(platform);
    CZylTaskManager& tasks = plugin.GetTaskManager();
    tasks.SetLoginId(u"S1.1001");
    tasks.SetUserList(&plugin.GetUserList());
    // Made without a database path, so that adding a task writes nothing yet.
    const std::u16string folder = temp.WidePath(u"downloads");
    for (int i = 0; i < count; ++i) {
        const std::u16string n = ZylFromInt(i);
        CZylTask* task = tasks.CreateDownloadTask(u"S1.1000", u"Music\\albums\\live\\track " + n + u".mp3",
                                                  false, folder, {});
        if (!task) {
            std::fprintf(stderr, "no task\n");
            return 1;
        }
        task->m_vFiles.push_back(
            MakeFile(task->GetTaskName(), folder, u"/track " + n + u".mp3", 4000000 + i));
        task->m_bFileListEnd = 1;
        task->m_nFileIndex = 0;
        task->m_nTotalSize = 4000000 + i;
        task->m_nCurrentSize = task->m_vFiles[0]->m_nFileOffset;
        task->StopTask();
    }
    const fs::path db = temp.Path() / "fst-S1.1001.fsd";
    tasks.SetDbPath(ZylFromFsPath(db));
    bool ok = Measure((std::to_string(count) + " tasks of one file").c_str(), tasks, runs);
    std::printf("%-28s %ju bytes\n", "", static_cast<uintmax_t>(fs::file_size(db)));

    tasks.DeleteAllTasks();
    tasks.SetDbPath(u"");
    CZylTask* task = tasks.CreateDownloadTask(u"S1.1000", u"Music\\albums", true, folder, {});
    if (!task) {
        std::fprintf(stderr, "no task\n");
        return 1;
    }
    for (int i = 0; i < count; ++i) {
        const std::u16string n = ZylFromInt(i);
        task->m_vFiles.push_back(
            MakeFile(u"Music\\albums\\disc " + ZylFromInt(i / 20) + u"\\track " + n + u".mp3", folder,
                     u"/albums/disc " + ZylFromInt(i / 20) + u"/track " + n + u".mp3", 4000000 + i));
    }
    task->m_bFileListEnd = 1;
    task->m_nFileIndex = count / 2;
    task->StopTask();
    tasks.SetDbPath(ZylFromFsPath(db));
    ok = Measure(("one task of " + std::to_string(count) + " files").c_str(), tasks, runs) && ok;
    std::printf("%-28s %ju bytes\n", "", static_cast<uintmax_t>(fs::file_size(db)));
    if (!ok)
        std::fprintf(stderr, "a save or a load failed\n");
    return ok ? 0 : 1;
}
