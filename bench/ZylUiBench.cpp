// The window with long lists, offscreen: a friend's folder of 10,000 entries arrives and fills the
// file list (the listing travels between two plug-ins in this process, the time printed is that
// of the window's handling of the completed listing), and a task list of 2,000 tasks is filled and
// then refreshed once with every row changed, as the once-a-second refresh does. The goal is under
// 100 ms each.
//
// Usage: ZylUiBench [entries] [tasks]   (10000 and 2000 by default)
#include "ZylBenchSupport.h"
#include "core/ZylPath.h"
#include "core/ZylPlatform.h"
#include "core/ZylProtocol.h"
#include "core/ZylText.h"
#include "support/ZylTestFiles.h"
#include "support/ZylTestHost.h"
#include "support/ZylTestShares.h"
#include "ui/ZylFrameWindow.h"
#include "ui/ZylMainFrame.h"
#include "ui/ZylShareView.h"
#include "ui/ZylTaskView.h"
#include "ui/ZylUserView.h"

#include <QApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {
// Times the window's handling of the completed folder listing, the one message that fills the list.
class CZylListingTimer : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (static_cast<uint32_t>(event->type()) != WM_ZYL_FRIEND_FOLDER || m_bInside)
            return false;
        m_bInside = true;
        const auto start = Clock::now();
        QCoreApplication::sendEvent(watched, event);
        m_dSeconds = ZylSeconds(Clock::now() - start);
        m_bInside = false;
        return true;
    }
    double m_dSeconds = -1;
    bool m_bInside = false;
};

CZylMainFrame* FrameOf(CZylTestNode& node) {
    auto* window = static_cast<CZylFrameWindow*>(node.Plugin().GetMainWindow());
    return window ? window->Frame() : nullptr;
}

void Settle(CZylTestHost& host) {
    host.Pump();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}
} // namespace

int main(int argc, char** argv) {
    const int entries = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int tasks = argc > 2 ? std::atoi(argv[2]) : 2000;
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    CZylTestHost host;
    CZylTestNode& a = host.AddNode(u"S1.1000");
    CZylTestNode& b = host.AddNode(u"S2.1000");
    b.m_sDisplayName = u"Bob";
    a.Platform().m_fnCreateWindow = [&a] { return ZylCreateMainWindow(a.Plugin()); };
    if (host.Login(a) != 0 || host.Login(b) != 0) {
        std::fprintf(stderr, "login failed\n");
        return 1;
    }

    // The friend's folder: files of twenty types.
    const fs::path big = host.Root() / "big";
    fs::create_directories(big);
    for (int i = 0; i < entries; ++i)
        ZylWriteFileBytes(big / ("file" + std::to_string(i) + ".t" + std::to_string(i % 20)), "x");
    b.Plugin().GetShareManager().AddShare(ZylMakeShare(u"Big", big, ZYL_PRIV_BROWSE | ZYL_PRIV_DOWNLOAD));

    a.Plugin().ProcessMessage(DLL_P2P_SHOW, 0, 2, reinterpret_cast<intptr_t>(&b.HostId()), 0, 0);
    Settle(host);
    CZylMainFrame* frame = FrameOf(a);
    CZylTreeItem* bob = frame ? frame->GetUserView()->FindFriend(u"S2.1000") : nullptr;
    if (!bob || !host.RunUntil([&] { return bob->childCount() == 1; })) {
        std::fprintf(stderr, "the friend's shares did not arrive\n");
        return 1;
    }
    CZylListingTimer timer;
    frame->installEventFilter(&timer);
    const auto requested = Clock::now();
    frame->GetUserView()->Select(bob->child(0));
    if (!host.RunUntil([&] { return timer.m_dSeconds >= 0; }, 600000)) {
        std::fprintf(stderr, "the listing did not arrive\n");
        return 1;
    }
    const double whole = ZylSeconds(Clock::now() - requested);
    const int rows = frame->GetShareView()->GetRowCount();
    std::printf("file list            %d entries: filled in %.1f ms (%d rows); the whole browse %.2f s\n",
                entries, timer.m_dSeconds * 1000, rows, whole);

    // The task list: every task running, so every row's elapsed time changes with each refresh.
    CZylTaskManager& manager = a.Plugin().GetTaskManager();
    const std::u16string local = ZylFromFsPath(host.Root() / "in");
    // The task database is not written for each task made here: that is the engine's cost.
    const std::u16string database = manager.GetDbPath();
    manager.SetDbPath(u"");
    for (int i = 0; i < tasks; ++i)
        manager.CreateDownloadTask(u"S3.1000", u"Docs\\file" + ZylFromInt(i), false, local, {});
    manager.SetDbPath(database);
    CZylTaskView* view = frame->GetTaskView();
    const auto fillStart = Clock::now();
    view->Clear();
    for (int32_t i = 0; i < manager.GetTaskCount(); ++i)
        view->AddTask(manager.GetTaskAt(i));
    const double fill = ZylSeconds(Clock::now() - fillStart);
    Settle(host);
    a.Platform().m_nTick += 1000; // a second later
    const auto refreshStart = Clock::now();
    view->Refresh();
    const double refresh = ZylSeconds(Clock::now() - refreshStart);
    const auto idleStart = Clock::now();
    view->Refresh(); // within the same second nothing changes
    const double idle = ZylSeconds(Clock::now() - idleStart);
    std::printf(
        "task list            %d tasks: filled in %.1f ms; one refresh with every row changed %.1f ms, "
        "with none changed %.1f ms\n",
        view->GetModel()->GetCount(), fill * 1000, refresh * 1000, idle * 1000);
    std::printf("peak RSS             %ld KiB\n", ZylPeakRssKiB());
    return 0;
}
