// fieldbook: the window, or with --headless the same logger without one.
#include <cstdio>
#include <memory>
#include <string>

#include "app/Application.h"
#include "app/GeoidModel.h"
#include "app/HeadlessFace.h"
#include "app/MapBackdrop.h"
#include "gis/GeoPackageKeeper.h"
#include "gis/GeoidGrid.h"
#include "gis/MapRaster.h"
#include "platform/Folders.h"
#ifdef FIELDBOOK_HAVE_GUI
#include "gui/Window.h"
#endif

int main(int argc, char** argv)
{
    APP_OPTIONS options;
    std::string out;
    std::string error;
    switch (ParseCommandLine(argc, argv, options, out, error)) {
    case ParseResult::Exit:
        std::fputs(out.c_str(), stdout);
        return 0;
    case ParseResult::UsageError:
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    case ParseResult::Run:
        break;
    }
    ApplyFolders(options);
    for (const std::string& warning : CreateMissingFolders())
        std::fprintf(stderr, "%s\n", warning.c_str());
    SetLogCompanionFactory([](std::function<void(const std::string&)> notice) {
        auto keeper = std::make_unique<CGeoPackageKeeper>(std::move(notice));
        // What a crash or a power cut left short is caught up in the background.
        keeper->CatchUpFolder(GetLogFolder());
        return std::unique_ptr<ISurveyLogObserver>(std::move(keeper));
    });
    SetGeoidModelFactory(OpenGeoidGrid);
    SetMapBackdropFactory(OpenMapRaster);
    if (options.bHeadless)
        return RunHeadless(options);
#ifdef FIELDBOOK_HAVE_GUI
    // The window has no status line at start: the terminal or the session's
    // journal learns where the logs go.
    if (const std::string notice = LogFolderNotice(); !notice.empty())
        std::fprintf(stderr, "%s\n", notice.c_str());
    return RunWindow(argc, argv, options);
#else
    std::fprintf(stderr, "fieldbook: this build has no window; run it with --headless\n");
    return 2;
#endif
}
