// Transfers between two plug-ins in this process, joined by the test host, with time advanced as
// fast as the work allows:
// - one download of a large file, and next to it a plain copy of the same file: the throughput of
//   both, their ratio, and the peak memory of the process, which the pieces in flight must bound
//   whatever the size of the file;
// - a folder of many tiny files downloaded, then uploaded: the time each takes, which the task
//   database's writes and the round trips between the files decide.
//
// Usage: ZylTransferBench [MiB [files]]   (256 MiB and 2000 files by default; 0 skips a case)
#include "ZylBenchSupport.h"
#include "core/ZylPath.h"
#include "core/ZylText.h"
#include "share/ZylShareManager.h"
#include "support/ZylTestHost.h"
#include "support/ZylTestShares.h"
#include "transfer/ZylTaskManager.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

bool CopyFile(const fs::path& from, const fs::path& to) {
    std::FILE* in = std::fopen(from.c_str(), "rb");
    std::FILE* out = std::fopen(to.c_str(), "wb");
    bool ok = in && out;
    std::vector<char> buffer(ZYL_CHUNK);
    while (ok) {
        const size_t n = std::fread(buffer.data(), 1, buffer.size(), in);
        if (n == 0)
            break;
        ok = std::fwrite(buffer.data(), 1, n, out) == n;
    }
    if (in)
        std::fclose(in);
    if (out)
        ok = std::fclose(out) == 0 && ok;
    return ok;
}

// Ticks until the task is finished; the ticks taken, or -1 when it stopped or ran past the limit.
// listed receives the seconds until the task's file list was complete.
int64_t RunTask(CZylTestHost& host, const CZylTask& task, uint64_t limit, double* listed = nullptr) {
    const Clock::time_point start = Clock::now();
    uint64_t ticks = 0;
    while (!task.m_bFinished && ticks < limit) {
        host.Tick(10);
        ++ticks;
        // The host keeps a record of every PDU for tests; the benchmark does not need it.
        if (host.m_vSent.size() > 256)
            host.m_vSent.clear();
        if (!task.m_bRunning && !task.m_bFinished)
            return -1;
        if (!task.m_bFileListEnd)
            std::this_thread::yield(); // the serving side's listing runs on a thread of its own
        else if (listed && *listed < 0)
            *listed = ZylSeconds(Clock::now() - start);
    }
    host.m_vSent.clear();
    return task.m_bFinished ? static_cast<int64_t>(ticks) : -1;
}

bool SameTrees(const fs::path& a, const fs::path& b, size_t& files) {
    files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(a)) {
        if (!entry.is_regular_file())
            continue;
        ++files;
        if (!ZylSameFiles(entry.path(), b / fs::relative(entry.path(), a)))
            return false;
    }
    return true;
}

int LargeFile(CZylTestHost& host, CZylTestNode& a, CZylTestNode& b, size_t mib) {
    const size_t bytes = mib * ZYL_CHUNK;
    const fs::path source = host.Root() / "source.bin";
    if (!ZylWriteRandomFile(source, bytes, 20080110)) {
        std::fprintf(stderr, "cannot write %s\n", source.c_str());
        return 1;
    }
    a.Plugin().GetShareManager().AddShare(ZylMakeShare(u"Big", source, 3));
    const long rssBefore = ZylPeakRssKiB();

    const fs::path downloads = host.Root() / "downloads";
    const Clock::time_point start = Clock::now();
    CZylTask* task = b.Plugin().GetTaskManager().CreateDownloadTask(u"S1.1000", u"Big", false,
                                                                    ZylFromFsPath(downloads), {});
    if (!task) {
        std::fprintf(stderr, "no task\n");
        return 1;
    }
    const int64_t ticks = RunTask(host, *task, bytes / 1000 + 100000); // far more than needed
    const double transfer = ZylSeconds(Clock::now() - start);
    const long rssAfter = ZylPeakRssKiB();
    if (ticks < 0) {
        std::fprintf(stderr, "the transfer did not finish (%d of %zu bytes)\n", task->m_nCurrentSize, bytes);
        return 1;
    }
    const fs::path received = downloads / "Big";
    const bool identical = ZylSameFiles(source, received);

    const fs::path copy = host.Root() / "copy.bin";
    const Clock::time_point copyStart = Clock::now();
    const bool copied = CopyFile(source, copy);
    const double plain = ZylSeconds(Clock::now() - copyStart);
    fs::remove(copy);
    fs::remove(received);
    fs::remove(source);

    const double mb = static_cast<double>(bytes) / 1e6;
    std::printf("file                 %zu MiB (%zu bytes)\n", mib, bytes);
    std::printf("transfer             %.3f s, %.1f MB/s, %lld ticks of 10 ms (%.1f s of plug-in time)\n",
                transfer, mb / transfer, static_cast<long long>(ticks), static_cast<double>(ticks) / 100.0);
    std::printf("plain copy           %.3f s, %.1f MB/s%s\n", plain, mb / plain, copied ? "" : " (failed)");
    std::printf("ratio                %.2f (transfer MB/s / copy MB/s)\n", plain / transfer);
    std::printf("peak RSS             %ld KiB before the transfer, %ld KiB after\n", rssBefore, rssAfter);
    std::printf("received             %s\n", identical ? "byte-identical" : "DIFFERENT");
    return identical && copied ? 0 : 1;
}

// Times one task made by make, from its making to its end, and the part until its list was there.
bool TimeTask(CZylTestHost& host, const char* label, size_t files, const std::function<CZylTask*()>& make,
              const fs::path& from, const fs::path& to) {
    const Clock::time_point start = Clock::now();
    CZylTask* task = make();
    double listed = -1;
    const int64_t ticks = task ? RunTask(host, *task, 1000000, &listed) : -1;
    const double seconds = ZylSeconds(Clock::now() - start);
    size_t compared = 0;
    const bool same = ticks >= 0 && SameTrees(from, to, compared) && compared == files;
    std::printf("%-20s %.3f s (%.3f s after the list was there), %lld ticks of 10 ms, %s\n", label, seconds,
                seconds - std::max(listed, 0.0), static_cast<long long>(ticks),
                same ? "byte-identical" : "DIFFERENT OR UNFINISHED");
    return same;
}

int SmallFiles(CZylTestHost& host, CZylTestNode& a, CZylTestNode& b, size_t files) {
    const fs::path tree = host.Root() / "small";
    for (size_t i = 0; i < files; ++i) {
        // A few folders, as a real tree has them.
        const fs::path path = tree / ("d" + std::to_string(i % 10)) / ("f" + std::to_string(i) + ".txt");
        fs::create_directories(path.parent_path());
        std::FILE* out = std::fopen(path.c_str(), "wb");
        if (!out || std::fwrite("abc", 1, 3, out) != 3 || std::fclose(out) != 0) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
    }
    a.Plugin().GetShareManager().AddShare(ZylMakeShare(u"Small", tree, 7));
    const fs::path downloads = host.Root() / "small-down";
    const fs::path inbox = host.Root() / "inbox";
    fs::create_directories(inbox);
    a.Plugin().GetShareManager().AddShare(ZylMakeShare(u"Inbox", inbox, 7));

    std::printf("small files          %zu of 3 bytes in 10 folders\n", files);
    const bool down = TimeTask(
        host, "download", files,
        [&] {
            return b.Plugin().GetTaskManager().CreateDownloadTask(u"S1.1000", u"Small", true,
                                                                  ZylFromFsPath(downloads), {});
        },
        tree, downloads / "Small");
    const bool up = TimeTask(
        host, "upload", files,
        [&] {
            return b.Plugin().GetTaskManager().CreateUploadTask(
                u"S1.1000", ZylFromFsPath(downloads / "Small"), u"Small", true, u"Inbox", {});
        },
        tree, inbox / "Small");
    return down && up ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const long mib = argc > 1 ? std::atol(argv[1]) : 256;
    const long files = argc > 2 ? std::atol(argv[2]) : 2000;
    if (mib < 0 || mib > 2047 || files < 0 || files > 100000) {
        std::fprintf(stderr, "usage: ZylTransferBench [MiB (0 to 2047) [files (0 to 100000)]]\n");
        return 2;
    }

    CZylTestHost host;
    CZylTestNode& a = host.AddNode(u"S1.1000");
    CZylTestNode& b = host.AddNode(u"S1.1001");
    if (host.Login(a) != 0 || host.Login(b) != 0) {
        std::fprintf(stderr, "login failed\n");
        return 1;
    }
    host.Connect(a, b);
    host.Tick(20);

    int result = 0;
    if (mib > 0)
        result |= LargeFile(host, a, b, static_cast<size_t>(mib));
    if (files > 0)
        result |= SmallFiles(host, a, b, static_cast<size_t>(files));
    return result;
}
