#include "gui/Window.h"

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>

#include <clocale>
#include <csignal>
#include <cstdio>
#include <memory>
#include <fcntl.h>
#include <unistd.h>

#include "app/ConfigFile.h"
#include "app/GeoidModel.h"
#include "gui/FieldScale.h"
#include "gui/Images.h"
#include "gui/MainFrame.h"
#include "gui/QtFace.h"
#include "platform/Folders.h"

namespace {

// SIGINT and SIGTERM (a logout, a shutdown, Ctrl+C in the terminal) close the
// window like its exit command, so the link is stopped in order. The handler
// only writes a byte; the event loop does the rest.
int g_signalPipe[2] = {-1, -1};

void OnStopSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

// SIGUSR1: a second start of the window asks this one to come to the front.
constexpr char kRaiseByte = 2;

void OnRaiseSignal(int)
{
    const char byte = kRaiseByte;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

} // namespace

void ShowSecondInstanceBox(const QString& text)
{
    QMessageBox box(QMessageBox::Information, QString::fromUtf8(kAppTitle), text, QMessageBox::Ok);
    box.setObjectName(QStringLiteral("secondInstanceBox"));
    FitForTouch(box);
    box.exec();
}

int RunWindow(int argc, char** argv, const APP_OPTIONS& /*options*/)
{
    QApplication qapp(argc, argv);
    // QApplication puts the process in the desktop's locale. Every file fieldbook
    // writes keeps the C locale's decimal point (a comma would split CSV fields
    // and change what the debug files say); the window formats through QLocale.
    std::setlocale(LC_NUMERIC, "C");
    QApplication::setApplicationName(QString::fromUtf8(kAppTitle));
    QApplication::setWindowIcon(ProgramIcon());

    // The boxes before the window: titled with the program's name, never its
    // path, and the settings file's trouble told in the crew's words first,
    // the file's own terms (token, line, path) under "Show Details".
    const QString programPath = QString::fromUtf8(kAppTitle);
    SetConfigMessageHook([](const std::string& text) {
        const std::string& plain = GetConfig().IllegalLineText();
        QMessageBox box(QMessageBox::Warning, QStringLiteral("fieldbook: settings file"), QString::fromStdString(text));
        if (!plain.empty()) {
            box.setText(QString::fromStdString(plain) + QStringLiteral("\n\nThe settings file: ") +
                        QString::fromStdString(ConfigFilePath()));
            box.setDetailedText(QString::fromStdString(text));
        }
        FitForTouch(box);
        box.exec();
    });
    GetConfig().Read();
    SetConfigMessageHook({});
    // Every box from here on (a refused grid, a second start) at the crew's scale.
    SetProgramFieldScale(GetConfig().m_bFullResolution != 0);
    // A geoid grid that cannot be had would leave every height wrong: refused.
    if (std::string refusal; !LoadGeoidModel(GetConfig().m_strGeoid, refusal)) {
        QMessageBox::critical(nullptr, programPath, QString::fromStdString(refusal));
        return 2;
    }
    if (const std::string warning = ConfigPermissionWarning(); !warning.empty()) {
        std::fprintf(stderr, "%s\n", warning.c_str());
        QMessageBox::warning(nullptr, programPath, QString::fromStdString(warning));
    }

    // Until the window is there to come forward, a second start's request is
    // ignored rather than ending this one (SIGUSR1's default).
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGUSR1, &ignore, nullptr);
    // A second copy says which fieldbook runs and where its logs go, brings a
    // running window to the front, and ends; the first stays as it is.
    CSingleInstance instance;
    if (!instance.Acquire("window")) {
        const INSTANCE_HOLDER& holder = instance.Holder();
        const QString text = QString::fromStdString(SecondInstanceText(holder, GetDocumentsFolder()));
        // For a menu launch's journal as much as for a terminal.
        std::fprintf(stderr, "fieldbook: %s\n", text.toUtf8().constData());
        if (holder.face == "window" && holder.pid > 0)
            ::kill(holder.pid, SIGUSR1);
        ShowSecondInstanceBox(text);
        return 1;
    }

    CQtFace face;
    CFieldbookApp app(face);
    CMainFrame frame(app, face, GetConfig().m_bFullResolution != 0);
    // Installed before the start-up second, so that a stop asked for meanwhile
    // is carried out as soon as the event loop runs.
    std::unique_ptr<QSocketNotifier> stopNotifier;
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        stopNotifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(stopNotifier.get(), &QSocketNotifier::activated, &frame, [&frame] {
            char drain[16];
            bool stop = false;
            bool raise = false;
            for (ssize_t n = 0; (n = ::read(g_signalPipe[0], drain, sizeof drain)) > 0;) {
                for (ssize_t i = 0; i < n; ++i)
                    (drain[i] == kRaiseByte ? raise : stop) = true;
            }
            if (raise)
                frame.BringToFront();
            // A logout or a service stop does not wait for a tap.
            if (stop)
                frame.CloseWithoutAsking();
        });
        struct sigaction action {};
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, nullptr);
        ::sigaction(SIGTERM, &action, nullptr);
        struct sigaction raiseAction {};
        raiseAction.sa_handler = OnRaiseSignal;
        sigemptyset(&raiseAction.sa_mask);
        ::sigaction(SIGUSR1, &raiseAction, nullptr);
    }
    app.Start();
    frame.UpdatePanes();
    frame.UpdateSurvey();
    frame.CheckPorts();
    frame.RestoreWindowState();
    frame.show();

    const int status = QApplication::exec();
    frame.RunExitSequence();
    return status;
}
