// One download of a large file between two plug-ins in this process, joined by the test host, with
// time advanced as fast as the work allows; next to it a plain copy of the same file. Prints the
// throughput of both, their ratio, and the peak memory of the process, which the window of
// requests must bound whatever the size of the file.
//
// Usage: ZylTransferBench [MiB]   (256 by default)
#include "ZylBenchSupport.h"
#include "core/ZylPath.h"
#include "core/ZylText.h"
#include "share/ZylShareManager.h"
#include "support/ZylTestHost.h"
#include "transfer/ZylTaskManager.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

} // namespace

int main(int argc, char** argv) {
    const size_t mib = argc > 1 ? static_cast<size_t>(std::atoi(argv[1])) : 256;
    if (mib == 0 || mib > 2047) {
        std::fprintf(stderr, "size in MiB: 1 to 2047\n");
        return 2;
    }
    const size_t bytes = mib * ZYL_CHUNK;

    CZylTestHost host;
    CZylTestNode& a = host.AddNode(u"S1.1000");
    CZylTestNode& b = host.AddNode(u"S1.1001");
    if (host.Login(a) != 0 || host.Login(b) != 0) {
        std::fprintf(stderr, "login failed\n");
        return 1;
    }
    host.Connect(a, b);
    host.Tick(20);

    const fs::path source = host.Root() / "source.bin";
    if (!ZylWriteRandomFile(source, bytes, 20080110)) {
        std::fprintf(stderr, "cannot write %s\n", source.c_str());
        return 1;
    }
    auto share = std::make_unique<CZylShareObject>();
    share->SetShareName(u"Big");
    share->SetName(u"source.bin");
    share->SetPath(ZylFromFsPath(host.Root()));
    share->SetFolder(0);
    share->AddPrivilegedUser(ZYLPRIVILEGEDUSER{u"Everyone", u"Everyone", 0, 3});
    a.Plugin().GetShareManager().AddShare(std::move(share));
    const long rssBefore = ZylPeakRssKiB();

    const fs::path downloads = host.Root() / "downloads";
    const Clock::time_point start = Clock::now();
    CZylTask* task = b.Plugin().GetTaskManager().CreateDownloadTask(u"S1.1000", u"Big", false,
                                                                    ZylFromFsPath(downloads), {});
    if (!task) {
        std::fprintf(stderr, "no task\n");
        return 1;
    }
    uint64_t ticks = 0;
    const uint64_t limit = bytes / 1000 + 100000; // far more than a working transfer needs
    while (!task->m_bFinished && ticks < limit) {
        host.Tick(10);
        ++ticks;
        // The host keeps a record of every PDU for tests; the benchmark does not need it.
        if (host.m_vSent.size() > 256)
            host.m_vSent.clear();
    }
    const double transfer = ZylSeconds(Clock::now() - start);
    host.m_vSent.clear();
    const long rssAfter = ZylPeakRssKiB();
    if (!task->m_bFinished) {
        std::fprintf(stderr, "the transfer did not finish (%d of %zu bytes)\n", task->m_nCurrentSize, bytes);
        return 1;
    }
    const fs::path received = downloads / "Big";
    const bool identical = ZylSameFiles(source, received);

    const fs::path copy = host.Root() / "copy.bin";
    const Clock::time_point copyStart = Clock::now();
    const bool copied = CopyFile(source, copy);
    const double plain = ZylSeconds(Clock::now() - copyStart);

    const double mb = static_cast<double>(bytes) / 1e6;
    std::printf("file                 %zu MiB (%zu bytes)\n", mib, bytes);
    std::printf("transfer             %.3f s, %.1f MB/s, %llu ticks of 10 ms (%.1f s of plug-in time)\n",
                transfer, mb / transfer, static_cast<unsigned long long>(ticks),
                static_cast<double>(ticks) / 100.0);
    std::printf("plain copy           %.3f s, %.1f MB/s%s\n", plain, mb / plain, copied ? "" : " (failed)");
    std::printf("ratio                %.1f (transfer time / copy time)\n", transfer / plain);
    std::printf("peak RSS             %ld KiB before the transfer, %ld KiB after\n", rssBefore, rssAfter);
    std::printf("received             %s\n", identical ? "byte-identical" : "DIFFERENT");
    return identical && copied ? 0 : 1;
}
