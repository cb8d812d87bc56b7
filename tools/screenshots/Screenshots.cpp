// fieldbook-screenshots OUTDIR: draws the main window (links down, links up,
// test window with echo), the settings sheet's two pages and the About box in
// both shapes on Qt's offscreen platform, and saves them as PNG files.
// Everything runs on scratch folders; no port is opened but empty ones.
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTabWidget>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/Application.h"
#include "app/ConfigFile.h"
#include "gui/AboutDlg.h"
#include "gui/DialogLayout.h"
#include "gui/MainFrame.h"
#include "gui/QtFace.h"
#include "gui/SettingsSheet.h"
#include "link/LinkOwner.h"
#include "platform/Clock.h"
#include "platform/Folders.h"
#include "surveylog/SurveyLog.h"

namespace {

std::string MakeScratch(const char* what)
{
    std::string pattern = std::string("/tmp/fieldbook-shots-") + what + "-XXXXXX";
    const char* made = ::mkdtemp(pattern.data());
    return made != nullptr ? std::string(made) + "/" : std::string();
}

void Settle()
{
    for (int i = 0; i < 20; ++i)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
}

bool Save(QWidget& widget, const QString& folder, const char* name)
{
    Settle();
    const QString path = QDir(folder).filePath(QString::fromUtf8(name));
    const bool saved = widget.grab().save(path, "PNG");
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", path.toLocal8Bit().constData());
    return saved;
}

void Echo(CFieldbookView& view, const std::string& text)
{
    view.ShowRawData(reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "Usage: fieldbook-screenshots OUTDIR\n");
        return 2;
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication qapp(argc, argv);
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);

    const std::string documents = MakeScratch("documents");
    const std::string ports = MakeScratch("ports");
    const std::string logs = MakeScratch("logs");
    if (documents.empty() || ports.empty() || logs.empty())
        return 1;
    SetDocumentsFolder(documents);
    SetPortsFolder(ports);
    SetLogFolder(logs);
    for (const char* name : {"COM1", "COM4", "COM5", "COM10"})
        std::ofstream(ports + name).flush();
    const LOCAL_TIME time{2026, 6, 12, 14, 30, 5};
    SetLocalTimeForTest(&time);
    CSurveyLog::GetInstance()->SetNewFileWait(std::chrono::milliseconds(0));

    bool ok = true;
    {
        CQtFace face;
        CFieldbookApp app(face);
        CMainFrame frame(app, face, false);
        app.Start();
        frame.UpdatePanes();
        frame.resize(360, 300);
        frame.show();
        CFieldbookView& view = *app.View();
        ok &= Save(frame, out, "main-link-down.png");

        // What the reader threads report once a carrier and a fix are there.
        view.SetBitmap(IDC_BLUETOOTH_ICON, IDB_BLUETOOTH_UP);
        view.SetBitmap(IDC_BLUETOOTH_LAMP, IDB_LAMP_GREEN);
        view.SetBitmap(IDC_GPS_ICON, IDB_GPS_FIX);
        view.SetBitmap(IDC_GPS_LAMP, IDB_LAMP_GREEN);
        ok &= Save(frame, out, "main-link-up.png");

        view.SetTestFlags(true, false);
        view.LayoutTestWindow(true);
        Echo(view, "$GPGGA,143005.00,5230.1200,N,01322.4500,E,1,08,1.0,34.2,M,39.5,M,,*6A");
        Echo(view, "$GPZDA,143005.00,12,06,2026,00,00*6E");
        Echo(view, "$GPGGA,143006.00,5230.1214,N,01322.4511,E,1,08,1.0,34.3,M,39.5,M,,*69");
        Echo(view, "$GPZDA,143006.00,12,06,2026,00,00*6D");
        ok &= Save(frame, out, "main-test-window.png");

        view.StopLink();
        int gpsPort = 0;
        int bluetoothPort = 0;
        view.GetPorts(gpsPort, bluetoothPort);
        CSettingsSheet sheet({gpsPort, bluetoothPort, true, false}, {}, &frame);
        sheet.show();
        ok &= Save(sheet, out, "settings-ports.png");
        sheet.Pages()->setCurrentIndex(1);
        ok &= Save(sheet, out, "settings-test.png");
        sheet.hide();

        CAboutDlg about(&frame);
        about.show();
        ok &= Save(about, out, "about-portrait.png");
        about.resize(DialogSizeToPixels(about, 210, 129));
        ok &= Save(about, out, "about-landscape.png");
        about.hide();

        frame.RunExitSequence();
    }
    SetLocalTimeForTest(nullptr);
    std::error_code ec;
    for (const std::string& folder : {documents, ports, logs})
        std::filesystem::remove_all(folder, ec);
    return ok ? 0 : 1;
}
