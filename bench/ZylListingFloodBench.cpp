// One friend floods a plug-in with listing requests for a large folder while another friend
// browses a small one; three plug-ins in this process, joined by the test host. The listing
// workers sleep in virtual time, and time moves only when every busy worker sleeps, so the
// virtual figures do not depend on the machine: what an enumeration costs in real time is
// printed apart. Prints how long each browse of the other friend took, what the flood left
// waiting (bounded) and the peak memory of the process.
//
// Usage: ZylListingFloodBench [files] [requests per round]   (20000 and 100 by default)
#include "ZylBenchSupport.h"
#include "core/ZylPath.h"
#include "core/ZylPayload.h"
#include "core/ZylProtocol.h"
#include "core/ZylText.h"
#include "share/ZylShareManager.h"
#include "support/ZylTestHost.h"
#include "support/ZylTestShares.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int ZYL_BROWSES = 30;
constexpr uint32_t ZYL_BROWSE_EVERY_MS = 1000;
constexpr uint32_t ZYL_FLOOD_EVERY_MS = 1000;

// The resident memory of this process now, in KiB.
long CurrentRssKiB() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

bool Send(CZylTestNode& from, CZylTestNode& to, uint32_t command, const ZylPayloadWriter& writer) {
    return from.Plugin().SendData(command, writer.Data(), writer.Size(), to.Id(), ZYL_CHANNEL_REQUEST) == 0;
}

// One round of the flood; the number of requests sent.
uint32_t Flood(CZylTestNode& b, CZylTestNode& a, int requests, uint32_t& task) {
    uint32_t sent = 0;
    for (int i = 0; i < requests; ++i) {
        ZylPayloadWriter list;
        list.WriteInt32(static_cast<int32_t>(++task));
        list.Write(CZylDateTime(1200000000));
        list.WriteInt32(1);
        list.WriteString(u"Big");
        sent += Send(b, a, ZYL_CMD_FILE_LIST_REQUEST, list) ? 1 : 0;
    }
    for (int i = 0; i < requests / 5; ++i) {
        ZylPayloadWriter folder;
        folder.Write(CZylDateTime(1200000000));
        folder.WriteString(u"Big");
        sent += Send(b, a, ZYL_CMD_EXPLORER_FOLDER_REQUEST, folder) ? 1 : 0;
    }
    return sent;
}

} // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int requests = argc > 2 ? std::atoi(argv[2]) : 100;
    if (files < 1 || requests < 1) {
        std::fprintf(stderr, "usage: %s [files] [requests per round]\n", argv[0]);
        return 2;
    }
    CZylTestHost host;
    CZylTestNode& a = host.AddNode(u"S1.1000");
    CZylTestNode& b = host.AddNode(u"S1.2000"); // floods
    CZylTestNode& c = host.AddNode(u"S1.3000"); // browses
    if (host.Login(a) != 0 || host.Login(b) != 0 || host.Login(c) != 0) {
        std::fprintf(stderr, "login failed\n");
        return 1;
    }
    host.Connect(a, b);
    host.Connect(a, c);
    host.Tick(20);

    const fs::path big = host.Root() / "big";
    fs::create_directories(big);
    for (int i = 0; i < files; ++i)
        std::ofstream(big / ("file" + std::to_string(i) + ".txt"));
    fs::create_directories(host.Root() / "small");
    std::ofstream(host.Root() / "small" / "one.txt");
    CZylShareManager& shares = a.Plugin().GetShareManager();
    shares.AddShare(
        ZylMakeShare(u"Big", u"big", ZylFromFsPath(host.Root()), 1, ZYL_PRIV_BROWSE | ZYL_PRIV_DOWNLOAD));
    shares.AddShare(ZylMakeShare(u"Small", u"small", ZylFromFsPath(host.Root()), 1, ZYL_PRIV_BROWSE));
    host.Tick(20);
    host.m_vSent.clear();
    const long rssBefore = ZylPeakRssKiB();

    CZylWorkerPool& pool = shares.GetListingPool();
    a.Platform().SetBlockingSleep(true);
    // Virtual time moves only when every busy worker sleeps.
    auto settle = [&] {
        while (!pool.IsQuiet(a.Platform().GetSleepingCount()))
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    };

    std::printf("%d files in the flooded folder, %d file list and %d folder requests every %u ms\n", files,
                requests, requests / 5, ZYL_FLOOD_EVERY_MS);
    uint32_t task = 0, flooded = 0;
    size_t mostWaiting = 0, mostStarted = 0, mostBacklog = 0, busyAnswers = 0, floodPages = 0;
    std::vector<uint32_t> browseMs;
    std::vector<double> browseRealMs;
    std::vector<long> rss; // at each browse
    const uint32_t start = a.Platform().GetTickCount();
    const Clock::time_point realStart = Clock::now();
    uint32_t nextFlood = start, nextBrowse = start + 500;
    uint32_t asked = 0;
    Clock::time_point askedReal;
    while (static_cast<int>(browseMs.size()) < ZYL_BROWSES) {
        const uint32_t now = a.Platform().GetTickCount();
        if (static_cast<int32_t>(now - nextFlood) >= 0) {
            flooded += Flood(b, a, requests, task);
            nextFlood += ZYL_FLOOD_EVERY_MS;
        }
        if (!asked && static_cast<int32_t>(now - nextBrowse) >= 0) {
            ZylPayloadWriter folder;
            folder.Write(CZylDateTime(1200000000));
            folder.WriteString(u"Small");
            Send(c, a, ZYL_CMD_EXPLORER_FOLDER_REQUEST, folder);
            asked = now;
            askedReal = Clock::now();
        }
        settle();
        host.Tick(10);
        for (const auto& pdu : host.m_vSent) {
            if (pdu.from != a.Id())
                continue;
            if (pdu.to == c.Id() && pdu.command == ZYL_CMD_EXPLORER_FOLDER_REPLY && asked) {
                browseMs.push_back(a.Platform().GetTickCount() - asked);
                browseRealMs.push_back(ZylSeconds(Clock::now() - askedReal) * 1000);
                rss.push_back(CurrentRssKiB());
                asked = 0;
                nextBrowse += ZYL_BROWSE_EVERY_MS;
            } else if (pdu.to == b.Id()) {
                busyAnswers += pdu.command == ZYL_CMD_ERROR ? 1 : 0;
                floodPages +=
                    pdu.command == ZYL_CMD_FILE_LIST_REPLY || pdu.command == ZYL_CMD_EXPLORER_FOLDER_REPLY;
            }
        }
        host.m_vSent.clear(); // the host's record of every PDU would otherwise be the largest memory
        mostWaiting = std::max(mostWaiting, pool.GetWaitingCount());
        mostStarted = std::max(mostStarted, pool.GetStartedCount());
        mostBacklog = std::max(mostBacklog, a.Plugin().GetQueuedCount(b.Id(), ZYL_CHANNEL_REQUEST));
    }
    const uint32_t virtualMs = a.Platform().GetTickCount() - start;
    const double realSeconds = ZylSeconds(Clock::now() - realStart);
    a.Platform().SetBlockingSleep(false);

    std::sort(browseMs.begin(), browseMs.end());
    std::sort(browseRealMs.begin(), browseRealMs.end());
    std::printf("other friend's browse under the flood (%d browses): virtual median %u ms, worst %u ms\n",
                ZYL_BROWSES, browseMs[browseMs.size() / 2], browseMs.back());
    std::printf(
        "  real time of the same browses: median %.1f ms, worst %.1f ms (the flood's enumerations run "
        "in real time while virtual time stands)\n",
        browseRealMs[browseRealMs.size() / 2], browseRealMs.back());
    std::printf(
        "flood: %u requests sent, %zu answered \"net busy\", %zu listing pages sent to the flooder in "
        "%.1f virtual s (%.1f real s)\n",
        flooded, busyAnswers, floodPages, virtualMs / 1000.0, realSeconds);
    std::printf("bounds held: at most %zu listings waiting (bound %zu per peer, %zu in all), %zu begun (the "
                "flooder's bound %zu, and the browser's one), %zu PDUs untaken for the flooder\n",
                mostWaiting, pool.GetLimits().waitingPerPeer, pool.GetLimits().waitingTotal, mostStarted,
                pool.GetLimits().startedPerPeer, mostBacklog);
    std::printf("resident memory at the browses: first %.1f MiB, last %.1f MiB, most %.1f MiB; peak %.1f MiB "
                "(%.1f MiB before the flood; three plug-ins and the test host)\n",
                rss.front() / 1024.0, rss.back() / 1024.0, *std::max_element(rss.begin(), rss.end()) / 1024.0,
                ZylPeakRssKiB() / 1024.0, rssBefore / 1024.0);
    return 0;
}
