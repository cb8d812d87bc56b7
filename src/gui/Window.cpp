#include "gui/Window.h"

#include <QApplication>
#include <QMessageBox>

#include "app/ConfigFile.h"
#include "gui/Images.h"
#include "gui/MainFrame.h"
#include "gui/QtFace.h"
#include "platform/Folders.h"

int RunWindow(int argc, char** argv, const APP_OPTIONS& /*options*/)
{
    QApplication qapp(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(kAppTitle));
    QApplication::setWindowIcon(ProgramIcon());

    // The configuration is read before the application exists on the handheld:
    // its message box is titled with the program's full path.
    const QString programPath = QApplication::applicationFilePath();
    SetConfigMessageHook([programPath](const std::string& text) {
        QMessageBox::warning(nullptr, programPath, QString::fromStdString(text));
    });
    GetConfig().Read();
    SetConfigMessageHook({});

    // A second copy ends without a word and leaves the first where it is.
    CSingleInstance instance;
    if (!instance.Acquire())
        return 1;

    CQtFace face;
    CFieldbookApp app(face);
    CMainFrame frame(app, face, GetConfig().m_bFullResolution != 0);
    app.Start();
    frame.UpdatePanes();
    frame.show();
    const int status = QApplication::exec();
    frame.RunExitSequence();
    return status;
}
