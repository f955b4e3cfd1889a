// How zylhost runs: the login (the form is asked for while something is missing or went wrong),
// the contact window, and the end: the window closed, the user logged out, or SIGINT/SIGTERM,
// which log out as closing the window does, without asking.
#pragma once

#include "zylhost/ZylDesktopHost.h"

#include <QObject>
#include <QPointer>

#include <memory>

class CZylContactWindow;
class QSocketNotifier;

struct ZYLDESKTOPSTART {
    ZYLDESKTOPLOGIN login;
    bool bAskFirst = false;    // the user or the password is missing
    bool bOpenSharing = false; // open the plug-in's window once logged in
    QString sBrowse;           // open it on this friend's shares once the friend is online
};

class CZylDesktopApp : public QObject {
    Q_OBJECT
public:
    CZylDesktopApp(ZYLDESKTOPSTART start, IZylPrompts& prompts);
    ~CZylDesktopApp() override;

    // Logs in, asking as long as the person tries, and shows the contact window. False when the
    // person gave up or nothing can work; ExitCode says which.
    bool Start();
    int ExitCode() const { return m_nExitCode; }
    CZylDesktopHost& Host() { return m_host; }
    CZylContactWindow* Window() const { return m_pWindow.get(); }
    // Ends as an interrupt does: logs out without asking.
    void Interrupt();

    // Turns SIGINT and SIGTERM into Interrupt of this object; once per program.
    void WatchSignals();

signals:
    void Finished(int exitCode);

private:
    void OnWindowFinished(bool again);
    void BrowseWhenOnline();

    ZYLDESKTOPSTART m_start;
    IZylPrompts& m_rPrompts;
    CZylDesktopHost m_host;
    std::unique_ptr<CZylContactWindow> m_pWindow;
    QPointer<QSocketNotifier> m_pSignals;
    QString m_sBroker;
    int m_nExitCode = 0;
    bool m_bInterrupted = false;
    bool m_bSessionEnded = false;
};
