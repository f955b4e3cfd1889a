#include "zylhost/ZylDesktopApp.h"

#include "zylhost/ZylContactWindow.h"

#include "host/ZylHostDefaults.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
int g_aSignalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char byte = 1;
    // Nothing more can be done in a signal handler if the pipe is full: one byte is enough.
    [[maybe_unused]] const ssize_t written = write(g_aSignalPipe[1], &byte, 1);
}
} // namespace

CZylDesktopApp::CZylDesktopApp(ZYLDESKTOPSTART start, IZylPrompts& prompts)
    : m_start(std::move(start)), m_rPrompts(prompts), m_host(prompts) {
    connect(&m_host, &CZylDesktopHost::UsersChanged, this, &CZylDesktopApp::BrowseWhenOnline);
    connect(&m_host, &CZylDesktopHost::SessionEnded, this, [this] { m_bSessionEnded = true; });
}

CZylDesktopApp::~CZylDesktopApp() {
    m_pWindow.reset();
    m_host.Logout();
}

void CZylDesktopApp::WatchSignals() {
    if (g_aSignalPipe[0] < 0) {
        if (pipe2(g_aSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
    }
    m_pSignals = new QSocketNotifier(g_aSignalPipe[0], QSocketNotifier::Read, this);
    connect(m_pSignals, &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        while (read(g_aSignalPipe[0], bytes, sizeof bytes) > 0) {
        }
        Interrupt();
    });
}

void CZylDesktopApp::Interrupt() {
    m_bInterrupted = true;
    // A question open now is answered "cancel"; the logout follows once it has closed.
    if (QWidget* modal = QApplication::activeModalWidget())
        modal->close();
    QTimer::singleShot(0, this, [this] {
        if (m_pWindow) {
            m_pWindow->RequestLogout(false);
            OnWindowFinished(false);
        }
    });
}

bool CZylDesktopApp::Start() {
    QString problem;
    bool ask = m_start.bAskFirst;
    for (;;) {
        if (m_bInterrupted) {
            m_nExitCode = 0;
            return false;
        }
        if (ask) {
            ZYLLOGINFORM form{QString::fromStdString(m_start.login.sUser),
                              QString::fromStdString(m_start.login.sPassword),
                              QStringLiteral("%1:%2")
                                  .arg(QString::fromStdString(m_start.login.sBrokerHost))
                                  .arg(m_start.login.nBrokerPort)};
            if (!m_rPrompts.AskLogin(form, problem) || m_bInterrupted) {
                m_nExitCode = 0; // giving up is no failure
                return false;
            }
            m_start.login.sUser = form.sUser.toStdString();
            m_start.login.sPassword = form.sPassword.toStdString();
            ZYLBROKERADDRESS address;
            if (const std::string error = ZylParseBrokerAddress(form.sBroker.toStdString(), address);
                !error.empty()) {
                problem = QStringLiteral("The broker is given as HOST:PORT, like 127.0.0.1:1883.");
                m_rPrompts.ShowError(problem);
                continue;
            }
            m_start.login.sBrokerHost = address.sHost;
            m_start.login.nBrokerPort = address.nPort;
        }
        QApplication::setOverrideCursor(Qt::WaitCursor);
        const QString failure = m_host.Login(m_start.login);
        QApplication::restoreOverrideCursor();
        if (failure.isEmpty())
            break;
        m_rPrompts.ShowError(failure);
        if (m_host.IsFailureFinal()) {
            m_nExitCode = 1;
            return false;
        }
        problem = failure;
        ask = true;
    }

    m_sBroker = QStringLiteral("%1:%2")
                    .arg(QString::fromStdString(m_start.login.sBrokerHost))
                    .arg(m_start.login.nBrokerPort);
    m_bSessionEnded = false;
    m_pWindow = std::make_unique<CZylContactWindow>(m_host, m_rPrompts, m_sBroker);
    connect(m_pWindow.get(), &CZylContactWindow::Finished, this, &CZylDesktopApp::OnWindowFinished);
    m_pWindow->show();
    if (m_start.bOpenSharing)
        m_host.OpenSharing();
    BrowseWhenOnline();
    return true;
}

void CZylDesktopApp::BrowseWhenOnline() {
    if (m_start.sBrowse.isEmpty() || !m_host.IsLoggedIn() || !m_host.IsOnline(m_start.sBrowse))
        return;
    const QString id = std::exchange(m_start.sBrowse, QString());
    m_host.BrowseShares(id);
}

void CZylDesktopApp::OnWindowFinished(bool again) {
    if (!m_pWindow)
        return;
    // The window may be inside its own signal: it goes once that is over.
    m_pWindow.release()->deleteLater();
    if (again && !m_bInterrupted) {
        m_start.login.sPassword.clear();
        m_start.bAskFirst = true;
        m_start.bOpenSharing = false;
        QTimer::singleShot(0, this, [this] {
            if (!Start())
                emit Finished(m_nExitCode);
        });
        return;
    }
    m_nExitCode = m_bSessionEnded ? 1 : 0;
    emit Finished(m_nExitCode);
}
