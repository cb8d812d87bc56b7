// fieldbook-icons OUTDIR SIZE...: saves the program icon, as the window draws
// it, as OUTDIR/<SIZE>x<SIZE>/apps/fieldbook.png for each size (the layout of an
// icon theme). Runs on Qt's offscreen platform; no display is needed.
#include <QDir>
#include <QGuiApplication>
#include <QPixmap>
#include <cstdio>
#include <cstdlib>

#include "gui/Images.h"

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "Usage: fieldbook-icons OUTDIR SIZE...\n");
        return 2;
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    const QString outDir = QString::fromLocal8Bit(argv[1]);
    for (int i = 2; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        if (size < 8 || size > 1024) {
            std::fprintf(stderr, "fieldbook-icons: size %s is not 8 to 1024\n", argv[i]);
            return 2;
        }
        const QString folder = outDir + QString("/%1x%1/apps").arg(size);
        if (!QDir().mkpath(folder) || !ProgramIconImage(size).save(folder + "/fieldbook.png", "PNG")) {
            std::fprintf(stderr, "fieldbook-icons: cannot write %s\n", qPrintable(folder + "/fieldbook.png"));
            return 1;
        }
    }
    return 0;
}
