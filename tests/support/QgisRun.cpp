#include "support/QgisRun.h"

#include <chrono>
#include <sstream>

#include "support/ChildProcess.h"
#include "support/ScratchDir.h"

namespace {

// Prints one tab-separated line per layer: name, valid, features, renderer,
// attribute, classes, labels, label field, first colour, legend labels
// (joined by '|'), first symbol's size, "end"; then RENDERED.
constexpr const char* kScript = R"(
import sys
from qgis.core import (QgsApplication, QgsVectorLayer, QgsMapSettings, QgsMapRendererSequentialJob,
                       QgsRectangle, QgsDataSourceUri)
from qgis.PyQt.QtCore import QSize
from qgis.PyQt.QtGui import QColor

source, png, width, height, provider = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
names = sys.argv[6:]
app = QgsApplication([], False)
app.initQgis()
layers = []
for name in names:
    if provider == 'postgres':
        # As Add PostGIS Layers does: schema, table, geometry column, key, and
        # the geometry type and SRID it finds in the database.
        uri = QgsDataSourceUri(source)
        uri.setDataSource('public', name, 'geom', '', 'fid')
        found = QgsVectorLayer(uri.uri(False), name, 'postgres', QgsVectorLayer.LayerOptions(False))
        uri.setWkbType(found.wkbType())
        uri.setSrid(str(found.crs().postgisSrid()))
        layer = QgsVectorLayer(uri.uri(False), name, 'postgres')
    else:
        layer = QgsVectorLayer(source + '|layername=' + name, name, 'ogr')
    fields = [name, str(int(layer.isValid()))]
    if layer.isValid():
        r = layer.renderer()
        attr, classes, colour = '', 0, ''
        if r.type() == 'graduatedSymbol':
            # The list holds the symbols: keep it while they are read.
            ranges = r.ranges()
            attr, classes = r.classAttribute(), len(ranges)
            colour = ranges[0].symbol().color().name(QColor.HexArgb) if classes else ''
        elif r.type() == 'singleSymbol':
            colour = r.symbol().color().name(QColor.HexArgb)
        elif r.type() == 'RuleRenderer':
            rules = r.rootRule().children()
            classes = len(rules)
            colour = rules[0].symbol().color().name(QColor.HexArgb) if classes else ''
        labels = layer.labelsEnabled() and layer.labeling() is not None
        field = layer.labeling().settings().fieldName if labels else ''
        # The legend as a user sees it, and the first marker's size (mm).
        items = r.legendSymbolItems()
        legend = '|'.join(item.label() for item in items)
        size = ''
        for item in items:
            if item.symbol() is not None and hasattr(item.symbol(), 'size'):
                size = '%.2f' % item.symbol().size()
                break
        fields += [str(layer.featureCount()), r.type(), attr, str(classes), str(int(labels)), field, colour,
                   legend, size]
        layers.append(layer)
    print('\t'.join(fields + ['end']), flush=True)
extent = QgsRectangle()
for layer in layers:
    extent.combineExtentWith(layer.extent())
extent.scale(1.1)
settings = QgsMapSettings()
settings.setLayers(list(reversed(layers)))
settings.setDestinationCrs(layers[0].crs() if layers else settings.destinationCrs())
settings.setExtent(extent)
settings.setOutputSize(QSize(width, height))
settings.setBackgroundColor(QColor(247, 246, 240))
job = QgsMapRendererSequentialJob(settings)
job.start()
job.waitForFinished()
print('RENDERED' if job.renderedImage().save(png, 'PNG') else 'NOT RENDERED', flush=True)
app.exitQgis()
)";

} // namespace

const QGIS_LAYER* QGIS_RESULT::Find(const std::string& name) const
{
    for (const QGIS_LAYER& layer : layers) {
        if (layer.name == name)
            return &layer;
    }
    return nullptr;
}

QGIS_RESULT QgisOpenAndRender(const std::string& source, const std::vector<std::string>& layers,
                              const std::string& png, int width, int height, const std::string& provider)
{
    QGIS_RESULT result;
    ScratchDir dir;
    const std::string script = dir.File("render.py");
    WriteWholeFile(script, kScript);
    std::vector<std::string> argv = {"/usr/bin/python3", script, source, png, std::to_string(width),
                                     std::to_string(height), provider};
    argv.insert(argv.end(), layers.begin(), layers.end());
    ChildProcess python;
    int status = -1;
    // QGIS keeps its settings and caches under HOME: a scratch one leaves the
    // user's alone.
    if (!python.Start(argv, {"QT_QPA_PLATFORM=offscreen", "HOME=" + dir.Path(), "XDG_RUNTIME_DIR=" + dir.Path()},
                      dir.File("out.txt"), dir.File("err.txt")) ||
        !python.Wait(std::chrono::seconds(120), &status)) {
        result.error = "python3 did not run or did not end";
        return result;
    }
    std::istringstream out(ReadWholeFile(dir.File("out.txt")));
    std::string line;
    while (std::getline(out, line)) {
        if (line == "RENDERED") {
            result.bRan = true;
            continue;
        }
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');)
            f.push_back(field);
        if (f.size() < 2)
            continue;
        QGIS_LAYER layer;
        layer.name = f[0];
        layer.bValid = f[1] == "1";
        if (f.size() >= 10) {
            layer.nFeatures = std::stol(f[2]);
            layer.renderer = f[3];
            layer.attribute = f[4];
            layer.nClasses = std::stoi(f[5]);
            layer.bLabels = f[6] == "1";
            layer.labelField = f[7];
            layer.firstColour = f[8];
        }
        if (f.size() >= 12) {
            std::istringstream labels(f[9]);
            for (std::string label; std::getline(labels, label, '|');)
                layer.legend.push_back(label);
            layer.dfSymbolSize = f[10].empty() ? 0.0 : std::stod(f[10]);
        }
        result.layers.push_back(layer);
    }
    if (!result.bRan || status != 0)
        result.error = "exit status " + std::to_string(status) + ": " + ReadWholeFile(dir.File("err.txt"));
    return result;
}
