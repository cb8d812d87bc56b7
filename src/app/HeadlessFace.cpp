#include "app/HeadlessFace.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <poll.h>
#include <cstdlib>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/ConfigFile.h"
#include "app/FieldbookView.h"
#include "app/GeoidModel.h"
#include "app/PortList.h"
#include "link/LinkOwner.h"
#include "platform/Folders.h"
#include "surveylog/RecordProcessing.h"
#include "surveylog/SurveyLog.h"

std::string JournalPrefix(int priority)
{
    // journald hands a service "JOURNAL_STREAM=<device>:<inode>" of the
    // stream it reads; stderr still being that stream means our lines land
    // there and "<4>" (sd-daemon's warning level) is read as the priority.
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr)
        return {};
    unsigned long long device = 0;
    unsigned long long inode = 0;
    struct stat st {};
    if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2 || ::fstat(STDERR_FILENO, &st) != 0)
        return {};
    return st.st_dev == device && st.st_ino == inode ? "<" + std::to_string(priority) + ">" : "";
}

void WriteWarning(const std::string& text, int priority)
{
    const std::string prefix = JournalPrefix(priority);
    std::string lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines += prefix + text.substr(start, end - start) + "\n";
        start = end + 1;
    }
    std::fputs(lines.c_str(), stderr);
    std::fflush(stderr);
}

void CHeadlessFace::Line(const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::fputs(text.c_str(), m_out);
    std::fputc('\n', m_out);
    std::fflush(m_out);
}

void CHeadlessFace::OnBitmapChanged(int controlId, int bitmapId)
{
    // Picture and lamp of a link change together: the pictures tell it all.
    std::lock_guard<std::mutex> lock(m_pictureMutex);
    int* last = controlId == IDC_BLUETOOTH_ICON ? &m_lastBluetoothIcon
                : controlId == IDC_GPS_ICON     ? &m_lastGpsIcon
                                                : nullptr;
    if (last == nullptr || *last == bitmapId)
        return;
    *last = bitmapId;
    if (controlId == IDC_BLUETOOTH_ICON)
        Line(bitmapId == IDB_BLUETOOTH_UP ? "Bluetooth link up" : "Bluetooth link down");
    else
        Line(bitmapId == IDB_GPS_FIX ? "GPS fix" : "GPS no fix");
}

void CHeadlessFace::OnRawData(const std::string& chunk)
{
    // Locator frames are binary: show them printable, one echo per line.
    std::string text = "Raw: ";
    for (unsigned char c : chunk) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            text += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
        }
    }
    Line(text);
}

void CHeadlessFace::OnNotice(const std::string& text, bool warning)
{
    if (!warning) {
        Line(text);
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    WriteWarning(text);
}

void CHeadlessFace::OnRunningChanged(bool running)
{
    const std::string pane = TransferPaneText(running);
    if (pane == m_lastTransfer)
        return;
    m_lastTransfer = pane;
    Line(pane);
}

void CHeadlessFace::ReportLog(const std::string& fileName, size_t count)
{
    if (fileName != m_lastFile || count < m_lastCount) {
        m_lastFile = fileName;
        m_lastCount = count;
        Line("Log: " + fileName + " (" + std::to_string(count) + ")");
        return;
    }
    while (m_lastCount < count) {
        ++m_lastCount;
        Line("Log: " + fileName + " (" + std::to_string(m_lastCount) + ")");
    }
}

int RunHeadless(const APP_OPTIONS& /*options*/)
{
    // Signals are taken by the main loop only: block them before any thread starts.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    SetConfigMessageHook([](const std::string& text) { WriteWarning(text); }); // the configuration's messages go to stderr
    GetConfig().Read();
    // A geoid grid that cannot be had would leave every height wrong: refused.
    if (std::string refusal; !LoadGeoidModel(GetConfig().m_strGeoid, refusal)) {
        WriteWarning(refusal, kJournalError);
        return 2;
    }
    if (const std::string warning = ConfigPermissionWarning(); !warning.empty())
        WriteWarning(warning);

    CSingleInstance instance;
    if (!instance.Acquire("service")) {
        WriteWarning("fieldbook: " + SecondInstanceText(instance.Holder(), GetDocumentsFolder()), kJournalError);
        return 1;
    }

    CHeadlessFace face(stdout);
    face.Line("Documents folder: " + GetDocumentsFolder());
    face.Line("Configuration file: " + ConfigFilePath());
    face.Line("Ports folder: " + GetPortsFolder());
    face.Line("Survey logs: " + GetLogFolder());
    if (const std::string notice = LogFolderNotice(); !notice.empty())
        face.Line(notice);
    if (GetConfig().m_strGpsd.empty())
        face.Line("GPS port: COM" + std::to_string(GetConfig().m_nGpsPort));
    else
        face.Line("GPS port: gpsd " + GetConfig().m_strGpsd);
    face.Line("Locator port: COM" + std::to_string(GetConfig().m_nBluetoothPort));
    // The link only learns "no such device", again and again: say once which it
    // is, and again whenever that changes.
    const int gpsPort = GetConfig().m_strGpsd.empty() ? GetConfig().m_nGpsPort : 0;
    const int bluetoothPort = GetConfig().m_nBluetoothPort;
    PORT_HINTS portHints;
    auto tellPorts = [&] {
        const PORT_HINTS now = CheckPorts(gpsPort, bluetoothPort);
        for (const std::string& line : PortHintChanges(portHints, now, gpsPort, bluetoothPort))
            face.OnNotice(line, line == now.shared);
        portHints = now;
    };
    tellPorts();
    auto portsChecked = std::chrono::steady_clock::now();

    CFieldbookApp app(face);
    app.Start();
    CSurveyLog* log = CSurveyLog::GetInstance();
    face.ReportLog(log->GetFileName(), log->GetSavedCount());

    // The main loop sleeps until a signal comes or a point is queued; it looks
    // again after 25 ms only while points are left over, and after kIdleMs in
    // any case.
    const int signalFd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    constexpr int kTickMs = 25;
    constexpr int kIdleMs = 5000;
    bool pending = true;
    for (;;) {
        pollfd wait[3] = {{signalFd, POLLIN, 0}, {face.RecordQueued().Fd(), POLLIN, 0}, {app.ControlFd(), POLLIN, 0}};
        // Without a signal descriptor the signals are taken between ticks.
        const int timeout = (pending || signalFd < 0) ? kTickMs : kIdleMs;
        if (::poll(wait, 3, timeout) < 0 && errno != EINTR)
            pending = true;
        if ((wait[2].revents & POLLIN) != 0)
            app.ServeControl();
        int sig = 0;
        signalfd_siginfo info{};
        if (signalFd >= 0) {
            if (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
                sig = static_cast<int>(info.ssi_signo);
        } else {
            const timespec none{0, 0};
            sig = sigtimedwait(&signals, nullptr, &none);
        }
        if (sig == SIGINT || sig == SIGTERM)
            break;
        if (sig == SIGHUP)
            app.NewLog();
        face.RecordQueued().Take();
        pending = false;
        if (face.TimerRunning()) {
            SurveyTimerProc();
            pending = RecordsWaiting();
        }
        face.ReportLog(log->GetFileName(), log->GetSavedCount());
        if (std::chrono::steady_clock::now() - portsChecked >= std::chrono::seconds(1)) {
            portsChecked = std::chrono::steady_clock::now();
            tellPorts();
        }
    }
    if (signalFd >= 0)
        ::close(signalFd);

    // The run's tally for whoever reads the end of the output.
    if (const CFieldbookView* view = app.View(); view != nullptr && view->PointsBelowGate() > 0)
        face.Line("GPS: " + std::to_string(view->PointsBelowGate()) + " points of this run below " +
                  GateText(view->QualityGate()));
    app.ExitSequence();
    face.Line("Stopped");
    return 0;
}
