#include "report/ReportCommand.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <unistd.h>

#include <QGuiApplication>

#include "report/ReportModel.h"
#include "report/ReportPdf.h"

namespace {

// Qt's own chatter (a missing runtime folder, font notes) is no message of
// this program; its errors still are.
void QtMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "fieldbook-report: %s\n", message.toLocal8Bit().constData());
}

std::string TemporaryBeside(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return folder + "." + name + "." + std::to_string(::getpid()) + ".tmp";
}

bool SyncFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

} // namespace

std::string ReportUsageText()
{
    return "Usage: fieldbook-report [--crs EPSG:n] [--paper a4|letter] [--map RASTER] -o REPORT.pdf INPUT...\n"
           "The client's report of a utility survey as a PDF: the job, a map of the utilities\n"
           "in their colour codes with the depths, tables of the utilities and the points,\n"
           "and the quality and method statement.\n"
           "  INPUT           survey logs (with their companion records) or fieldbook GeoPackages\n"
           "  -o REPORT.pdf   the report (replaced when it exists)\n"
           "  --crs CRS       the map grid (default: the survey's UTM zone of WGS 84)\n"
           "  --paper NAME    a4 (default) or letter\n"
           "  --map RASTER    a georeferenced raster drawn under the map\n"
           "  --help, --version\n"
           "Exit status: 0, or 2 when an input, the grid or the raster cannot be used\n"
           "(no report is left behind then).\n";
}

int ParseReportCommandLine(int argc, char** argv, REPORT_REQUEST& request, std::FILE* out, std::FILE* err)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc) {
                std::fprintf(err, "fieldbook-report: %s needs a value (see --help)\n", argv[i]);
                return false;
            }
            into = argv[++i];
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(ReportUsageText().c_str(), out);
            return 0;
        }
        if (arg == "--version") {
            std::fprintf(out, "fieldbook-report %s\n", FIELDBOOK_VERSION);
            return 0;
        }
        if (arg == "-o" || arg == "--output") {
            if (!value(request.output))
                return 2;
        } else if (arg == "--crs") {
            if (!value(request.crs))
                return 2;
        } else if (arg == "--map") {
            if (!value(request.mapRaster))
                return 2;
        } else if (arg == "--paper") {
            std::string paper;
            if (!value(paper))
                return 2;
            if (paper != "a4" && paper != "letter") {
                std::fprintf(err, "fieldbook-report: --paper takes a4 or letter, not %s\n", paper.c_str());
                return 2;
            }
            request.bLetter = paper == "letter";
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(err, "fieldbook-report: unknown option %s (see --help)\n", argv[i]);
            return 2;
        } else {
            request.inputs.emplace_back(arg);
        }
    }
    if (request.output.empty() || request.inputs.empty()) {
        std::fprintf(err, "fieldbook-report: %s (see --help)\n",
                     request.output.empty() ? "-o REPORT.pdf is needed" : "no input given");
        return 2;
    }
    return -1;
}

bool MakeReport(const REPORT_REQUEST& request, std::string& error)
{
    for (const std::string& input : request.inputs) {
        if (input == request.output) {
            error = "the report would replace its input " + input;
            return false;
        }
    }
    if (!request.mapRaster.empty() && !CheckMapRaster(request.mapRaster, error))
        return false;
    std::vector<REPORT_SURVEY> surveys;
    if (!ReadReportSurveys(request.inputs, surveys, error))
        return false;
    REPORT_MODEL model;
    if (!BuildReportModel(std::move(surveys), request.crs, model, error))
        return false;
    REPORT_PAPER paper;
    paper.bLetter = request.bLetter;
    paper.mapRaster = request.mapRaster;
    paper.version = FIELDBOOK_VERSION;
    const std::string temporary = TemporaryBeside(request.output);
    // Qt's writer says nothing of a file it cannot create: try first.
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot write " + request.output + ": " + std::strerror(errno);
        return false;
    }
    ::close(fd);
    if (!WriteReportPdf(model, paper, temporary, error) || !SyncFile(temporary)) {
        if (error.empty())
            error = "cannot write " + request.output + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    if (::rename(temporary.c_str(), request.output.c_str()) != 0) {
        error = "cannot write " + request.output + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

int RunReportCommand(int argc, char** argv, std::FILE* out, std::FILE* err)
{
    REPORT_REQUEST request;
    const int status = ParseReportCommandLine(argc, argv, request, out, err);
    if (status >= 0)
        return status;
    // No display is needed: the pages are drawn with the offscreen platform.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    qInstallMessageHandler(QtMessages);
    std::unique_ptr<QGuiApplication> app;
    if (QGuiApplication::instance() == nullptr) {
        static int qtArgc = 1;
        static char name[] = "fieldbook-report";
        static char* qtArgv[] = {name, nullptr};
        app = std::make_unique<QGuiApplication>(qtArgc, qtArgv);
    }
    std::string error;
    if (!MakeReport(request, error)) {
        std::fprintf(err, "fieldbook-report: %s\n", error.c_str());
        return 2;
    }
    std::fprintf(out, "fieldbook-report: wrote %s\n", request.output.c_str());
    return 0;
}
