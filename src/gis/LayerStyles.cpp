#include "gis/LayerStyles.h"

#include <cstdio>
#include <ctime>
#include <gdal_priv.h>
#include <ogrsf_frmts.h>
#include <vector>

#include "gis/GdalErrors.h"
#include "gis/GisFormats.h"
#include "point/ColourNames.h"
#include "gis/GisSchema.h"
#include "platform/ClassicNumbers.h"

namespace {

// The track view's depth classes, shallow to deep (src/gui TrackView), and its
// track line.
constexpr const char* kDepthColours[] = {"249,208,60,255",  "244,162,58,255", "232,109,58,255", "207,67,79,255",
                                         "163,42,107,255",  "115,31,124,255", "69,27,120,255",  "28,16,80,255"};
// Utility elevations, low to high: deep blue to pale green, apart from depth.
constexpr const char* kElevationColours[] = {"8,29,88,255",    "37,52,148,255",  "34,94,168,255",  "29,145,192,255",
                                             "65,182,196,255", "127,205,187,255", "199,233,180,255", "237,248,177,255"};
constexpr int kClasses = 8;
constexpr const char* kTrackColour = "112,112,120,255";
// Labels from 1:2500 in: a few metres between points still leaves them room.
constexpr int kLabelScale = 2500;

std::string Number(double value)
{
    CClassicNumbers classic;
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

// A symbol layer's property; QGIS reads this form in every 3.x release.
std::string Prop(const char* name, const std::string& value)
{
    return std::string("<prop k=\"") + name + "\" v=\"" + value + "\"/>";
}

std::string Option(const char* name, const std::string& value, const char* type = "QString")
{
    return std::string("<Option name=\"") + name + "\" value=\"" + value + "\" type=\"" + type + "\"/>";
}

// A point marker of the given colour. hollowWhenNotOk: the fill goes clear and
// the outline takes the class colour where QualityOK is false.
std::string MarkerSymbol(const std::string& name, const char* colour, bool hollowWhenNotOk,
                         const char* shape = "circle", const char* size = "2.4")
{
    std::string s = "<symbol type=\"marker\" name=\"" + name +
                    "\" alpha=\"1\" clip_to_extent=\"1\" force_rhr=\"0\">"
                    "<layer class=\"SimpleMarker\" enabled=\"1\" pass=\"0\" locked=\"0\">" + Prop("name", shape) +
                    Prop("color", colour) + Prop("outline_color", "35,35,35,255") + Prop("outline_style", "solid") +
                    Prop("outline_width", "0.2") + Prop("outline_width_unit", "MM") + Prop("size", size) +
                    Prop("size_unit", "MM");
    if (hollowWhenNotOk) {
        // type 3: an expression-based property. &quot; quotes the field name.
        const std::string notOk = "&quot;QualityOK&quot; IS NOT NULL AND NOT &quot;QualityOK&quot;";
        s += "<data_defined_properties><Option type=\"Map\">" + Option("name", "") +
             "<Option name=\"properties\" type=\"Map\">"
             "<Option name=\"fillColor\" type=\"Map\">" +
             Option("active", "true", "bool") +
             Option("expression", "if(" + notOk + ", '0,0,0,0', @symbol_color)") + Option("type", "3", "int") +
             "</Option><Option name=\"outlineColor\" type=\"Map\">" + Option("active", "true", "bool") +
             Option("expression", "if(" + notOk + ", @symbol_color, '35,35,35,255')") + Option("type", "3", "int") +
             "</Option><Option name=\"outlineWidth\" type=\"Map\">" + Option("active", "true", "bool") +
             Option("expression", "if(" + notOk + ", 0.6, 0.2)") + Option("type", "3", "int") +
             "</Option></Option>" + Option("type", "collection") + "</Option></data_defined_properties>";
    }
    return s + "</layer></symbol>";
}

// Class limits as a legend shows them: two decimals and the unit, whatever
// precision the limits have.
std::string ClassLabel(double lower, double upper, const char* unit)
{
    CClassicNumbers classic;
    char text[96];
    std::snprintf(text, sizeof text, "%.2f - %.2f%s", lower, upper, unit);
    return text;
}

void WidenEmptyRange(double& low, double& high)
{
    if (!(high > low)) {
        low -= 0.5;
        high = low + 1.0;
    }
}

std::string Graduated(const char* attribute, double low, double high, const char* const* colours, const char* unit,
                      bool hollowWhenNotOk, const char* shape = "circle", const char* size = "2.4")
{
    WidenEmptyRange(low, high);
    std::string ranges = "<ranges>";
    std::string symbols = "<symbols>";
    for (int i = 0; i < kClasses; ++i) {
        const double lower = low + (high - low) * i / kClasses;
        const double upper = i + 1 == kClasses ? high : low + (high - low) * (i + 1) / kClasses;
        const std::string index = std::to_string(i);
        ranges += "<range lower=\"" + Number(lower) + "\" upper=\"" + Number(upper) + "\" symbol=\"" + index +
                  "\" label=\"" + ClassLabel(lower, upper, unit) + "\" render=\"true\"/>";
        symbols += MarkerSymbol(index, colours[i], hollowWhenNotOk, shape, size);
    }
    return std::string("<renderer-v2 type=\"graduatedSymbol\" attr=\"") + attribute +
           "\" graduatedMethod=\"GraduatedColor\" symbollevels=\"0\" forceraster=\"0\" enableorderby=\"0\">" +
           ranges + "</ranges>" + symbols + "</symbols>" + "<classificationMethod id=\"EqualInterval\"/>" +
           "</renderer-v2>";
}

// The survey points: a rule per depth class (as the graduated classes, a
// point below the gate drawn hollow in its class), then a rule that rings
// every point below the gate with a triangle, so the legend has an entry for
// them and a printed map marks them. A graduated renderer has no room for
// that entry.
std::string DepthRules(double low, double high, const char* unit)
{
    WidenEmptyRange(low, high);
    const std::string depth = "&quot;Depth&quot;";
    std::string rules = "<rules key=\"{fieldbook-root}\">";
    std::string symbols = "<symbols>";
    for (int i = 0; i < kClasses; ++i) {
        const double lower = low + (high - low) * i / kClasses;
        const double upper = i + 1 == kClasses ? high : low + (high - low) * (i + 1) / kClasses;
        const std::string index = std::to_string(i);
        const std::string filter = depth + " &gt;= " + Number(lower) + " AND " + depth +
                                   (i + 1 == kClasses ? " &lt;= " : " &lt; ") + Number(upper);
        rules += "<rule key=\"{fieldbook-depth-" + index + "}\" symbol=\"" + index + "\" filter=\"" + filter +
                 "\" label=\"" + ClassLabel(lower, upper, unit) + "\"/>";
        symbols += MarkerSymbol(index, kDepthColours[i], true);
    }
    const std::string gate = std::to_string(kClasses);
    rules += "<rule key=\"{fieldbook-gate}\" symbol=\"" + gate +
             "\" filter=\"&quot;QualityOK&quot; IS NOT NULL AND NOT &quot;QualityOK&quot;\" "
             "label=\"below the quality gate\"/>";
    symbols += "<symbol type=\"marker\" name=\"" + gate +
               "\" alpha=\"1\" clip_to_extent=\"1\" force_rhr=\"0\">"
               "<layer class=\"SimpleMarker\" enabled=\"1\" pass=\"0\" locked=\"0\">" +
               Prop("name", "triangle") + Prop("color", "0,0,0,0") + Prop("outline_color", "25,25,25,255") +
               Prop("outline_style", "solid") + Prop("outline_width", "0.4") + Prop("outline_width_unit", "MM") +
               Prop("size", "4.2") + Prop("size_unit", "MM") + "</layer></symbol>";
    return "<renderer-v2 type=\"RuleRenderer\" symbollevels=\"0\" forceraster=\"0\" enableorderby=\"0\">" +
           rules + "</rules>" + symbols + "</symbols></renderer-v2>";
}

std::string LogLabels()
{
    return "<labeling type=\"simple\"><settings calloutType=\"simple\">"
           "<text-style fieldName=\"Log\" isExpression=\"0\" fontSize=\"8\" fontSizeUnit=\"Point\" "
           "textColor=\"32,32,32,255\" textOpacity=\"1\" fontWeight=\"50\" fontItalic=\"0\" namedStyle=\"\">"
           "<text-buffer bufferDraw=\"1\" bufferSize=\"0.8\" bufferSizeUnits=\"MM\" "
           "bufferColor=\"255,255,255,255\" bufferOpacity=\"0.8\"/></text-style>"
           "<placement placement=\"0\" dist=\"1.2\" distUnits=\"MM\"/>"
           // scaleMin is the largest scale shown (0: no limit), scaleMax the
           // smallest: from 1:2500 in.
           "<rendering scaleVisibility=\"1\" scaleMin=\"0\" scaleMax=\"" +
           std::to_string(kLabelScale) + "\" obstacle=\"1\"/></settings></labeling>";
}

std::string Document(const std::string& body, bool labels)
{
    return std::string("<!DOCTYPE qgis PUBLIC 'http://mrcc.com/qgis.dtd' 'SYSTEM'>\n"
                       "<qgis version=\"3.22.0\" styleCategories=\"Symbology|Labeling\" labelsEnabled=\"") +
           (labels ? "1" : "0") + "\">" + body + "</qgis>\n";
}

struct STYLE_ROW {
    std::string layer;
    std::string geometryColumn;
    std::string qml;
    // QGIS's name of the layer's geometry type ("Point", "Line"): its
    // PostgreSQL provider loads a default style only for the layer's own type
    // (or none), and a row of another type leaves the layer a single symbol.
    std::string type;
};

std::string GeometryTypeName(OGRwkbGeometryType type)
{
    switch (wkbFlatten(type)) {
    case wkbPoint:
    case wkbMultiPoint:
        return "Point";
    case wkbLineString:
    case wkbMultiLineString:
        return "Line";
    case wkbPolygon:
    case wkbMultiPolygon:
        return "Polygon";
    default:
        return "Unknown geometry";
    }
}

const char* const kPgStyleTable =
    // QGIS's own layout of the table (its PostgreSQL provider creates the same).
    "CREATE TABLE IF NOT EXISTS public.layer_styles ("
    "id SERIAL PRIMARY KEY, f_table_catalog varchar, f_table_schema varchar, f_table_name varchar, "
    "f_geometry_column varchar, stylename text, styleqml xml, stylesld xml, useasdefault boolean, "
    "description text, owner varchar(63) DEFAULT CURRENT_USER, ui xml, "
    "update_time timestamp DEFAULT CURRENT_TIMESTAMP, type varchar)";

std::string Quoted(const std::string& text)
{
    std::string out = "'";
    for (char c : text) {
        out += c;
        if (c == '\'')
            out += '\'';
    }
    return out + "'";
}

// GeoPackage: the table as an attributes table through OGR, with QGIS's column
// names; QGIS's OGR provider reads it by these names.
OGRLayer* GpkgStyleTable(GDALDataset& dataset, std::string& error)
{
    if (OGRLayer* existing = dataset.GetLayerByName(kStyleTable))
        return existing;
    const char* options[] = {"FID=id", nullptr};
    OGRLayer* layer = dataset.CreateLayer(kStyleTable, nullptr, wkbNone, const_cast<char**>(options));
    if (layer == nullptr) {
        error = "cannot create " + std::string(kStyleTable);
        return nullptr;
    }
    struct Column {
        const char* name;
        OGRFieldType type;
        OGRFieldSubType subtype;
        int width;
    };
    const Column columns[] = {
        {"f_table_catalog", OFTString, OFSTNone, 256}, {"f_table_schema", OFTString, OFSTNone, 256},
        {"f_table_name", OFTString, OFSTNone, 256},    {"f_geometry_column", OFTString, OFSTNone, 256},
        {"styleName", OFTString, OFSTNone, 30},        {"styleQML", OFTString, OFSTNone, 0},
        {"styleSLD", OFTString, OFSTNone, 0},          {"useAsDefault", OFTInteger, OFSTBoolean, 0},
        {"description", OFTString, OFSTNone, 0},       {"owner", OFTString, OFSTNone, 30},
        {"ui", OFTString, OFSTNone, 30},               {"update_time", OFTDateTime, OFSTNone, 0},
    };
    for (const Column& c : columns) {
        OGRFieldDefn field(c.name, c.type);
        field.SetSubType(c.subtype);
        field.SetWidth(c.width);
        if (layer->CreateField(&field) != OGRERR_NONE) {
            error = std::string("cannot create ") + kStyleTable + "." + c.name;
            return nullptr;
        }
    }
    return layer;
}

bool WriteGpkgRows(GDALDataset& dataset, const std::vector<STYLE_ROW>& rows, std::string& error)
{
    CGdalMessages messages;
    OGRLayer* table = GpkgStyleTable(dataset, error);
    if (table == nullptr)
        return false;
    for (const STYLE_ROW& row : rows) {
        dataset.ExecuteSQL(("DELETE FROM layer_styles WHERE f_table_name = " + Quoted(row.layer) +
                            " AND styleName = " + Quoted(kStyleName))
                               .c_str(),
                           nullptr, nullptr);
        OGRFeature feature(table->GetLayerDefn());
        feature.SetField("f_table_catalog", "");
        feature.SetField("f_table_schema", "");
        feature.SetField("f_table_name", row.layer.c_str());
        feature.SetField("f_geometry_column", row.geometryColumn.c_str());
        feature.SetField("styleName", kStyleName);
        feature.SetField("styleQML", row.qml.c_str());
        feature.SetField("styleSLD", "");
        feature.SetField("useAsDefault", 1);
        feature.SetField("description", "fieldbook default style");
        feature.SetField("owner", "");
        feature.SetField("ui", "");
        // QGIS takes the newest default of a layer.
        const time_t now = ::time(nullptr);
        struct tm utc {};
        ::gmtime_r(&now, &utc);
        feature.SetField("update_time", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                         static_cast<float>(utc.tm_sec), 100);
        if (table->CreateFeature(&feature) != OGRERR_NONE) {
            error = messages.LastError("cannot write the style of " + row.layer);
            return false;
        }
    }
    return true;
}

bool WritePgRows(GDALDataset& dataset, const std::vector<STYLE_ROW>& rows, const std::string& schema,
                 std::string& error)
{
    CGdalMessages messages;
    dataset.ExecuteSQL(kPgStyleTable, nullptr, nullptr);
    // A table an older QGIS made lacks the type column.
    dataset.ExecuteSQL("ALTER TABLE public.layer_styles ADD COLUMN IF NOT EXISTS type varchar", nullptr, nullptr);
    for (const STYLE_ROW& row : rows) {
        const std::string where = " WHERE f_table_schema = " + Quoted(schema) + " AND f_table_name = " +
                                  Quoted(row.layer) + " AND stylename = " + Quoted(kStyleName);
        dataset.ExecuteSQL(("DELETE FROM public.layer_styles" + where).c_str(), nullptr, nullptr);
        // Other defaults of the layer stand back: QGIS takes the newest default.
        const std::string insert =
            "INSERT INTO public.layer_styles (f_table_catalog, f_table_schema, f_table_name, f_geometry_column, "
            "stylename, styleqml, stylesld, useasdefault, description, type) VALUES (current_database(), " +
            Quoted(schema) + ", " + Quoted(row.layer) + ", " + Quoted(row.geometryColumn) + ", " +
            Quoted(kStyleName) + ", XMLPARSE(DOCUMENT " + Quoted(row.qml) + "), NULL, true, " +
            Quoted("fieldbook default style") + ", " + Quoted(row.type) + ")";
        dataset.ExecuteSQL(insert.c_str(), nullptr, nullptr);
    }
    if (messages.HadError()) {
        error = messages.LastError("cannot write layer_styles");
        return false;
    }
    return true;
}

// MIN and MAX of a column; false when the layer or column is missing or
// holds no value. Quoted names: PostgreSQL keeps the columns' letter case.
bool ColumnRange(GDALDataset& dataset, const char* layer, const char* column, double& low, double& high)
{
    OGRLayer* source = dataset.GetLayerByName(layer);
    if (source == nullptr || source->GetLayerDefn()->GetFieldIndex(column) < 0)
        return false;
    const std::string sql = std::string("SELECT MIN(\"") + column + "\"), MAX(\"" + column + "\") FROM \"" + layer + "\"";
    CGdalMessages messages;
    OGRLayer* result = dataset.ExecuteSQL(sql.c_str(), nullptr, nullptr);
    if (result == nullptr)
        return false;
    bool found = false;
    if (OGRFeatureUniquePtr row{result->GetNextFeature()}; row && row->IsFieldSetAndNotNull(0) &&
                                                            row->IsFieldSetAndNotNull(1)) {
        low = row->GetFieldAsDouble(0);
        high = row->GetFieldAsDouble(1);
        found = true;
    }
    dataset.ReleaseResultSet(result);
    return found;
}

// The types and their colours that utility_lines holds.
void UtilityTypes(GDALDataset& dataset, std::vector<std::pair<std::string, std::string>>& types)
{
    OGRLayer* source = dataset.GetLayerByName(kUtilityLinesLayer);
    if (source == nullptr || source->GetLayerDefn()->GetFieldIndex("UtilityType") < 0 ||
        source->GetLayerDefn()->GetFieldIndex("Colour") < 0)
        return;
    CGdalMessages messages;
    OGRLayer* result = dataset.ExecuteSQL(
        (std::string("SELECT DISTINCT \"UtilityType\", \"Colour\" FROM \"") + kUtilityLinesLayer + "\"").c_str(),
        nullptr, nullptr);
    if (result == nullptr)
        return;
    for (auto& row : *result)
        types.emplace_back(row->GetFieldAsString(0), row->GetFieldAsString(1));
    dataset.ReleaseResultSet(result);
}

std::string LineSymbol(const std::string& name, const std::string& colour, const char* width)
{
    return "<symbol type=\"line\" name=\"" + name +
           "\" alpha=\"1\" clip_to_extent=\"1\" force_rhr=\"0\"><layer class=\"SimpleLine\" enabled=\"1\" "
           "pass=\"0\" locked=\"0\">" +
           Prop("line_color", colour) + Prop("line_style", "solid") + Prop("line_width", width) +
           Prop("line_width_unit", "MM") + Prop("capstyle", "round") + Prop("joinstyle", "round") + "</layer></symbol>";
}

std::string QmlText(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

// The utility lines, each type in its colour; labelled along the line with
// the id and the depth range ("Feeder 12 0.85-1.20 m").
std::string UtilityLinesQml(const std::vector<std::pair<std::string, std::string>>& types)
{
    std::string categories = "<categories>";
    std::string symbols = "<symbols>";
    for (size_t i = 0; i < types.size(); ++i) {
        const uint32_t rgb = ColourRgb(types[i].second);
        char colour[32];
        std::snprintf(colour, sizeof colour, "%u,%u,%u,255", (rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
        const std::string index = std::to_string(i);
        categories += "<category value=\"" + QmlText(types[i].first) + "\" symbol=\"" + index + "\" label=\"" +
                      QmlText(types[i].first) + "\" render=\"true\"/>";
        symbols += LineSymbol(index, colour, "0.8");
    }
    const std::string label = "concat(&quot;UtilityId&quot;, ' ', format_number(&quot;MinDepth&quot;, 2), "
                              "'-', format_number(&quot;MaxDepth&quot;, 2), ' m')";
    return "<renderer-v2 type=\"categorizedSymbol\" attr=\"UtilityType\" symbollevels=\"0\" forceraster=\"0\" "
           "enableorderby=\"0\">" +
           categories + "</categories>" + symbols + "</symbols>" + "</renderer-v2>" +
           "<labeling type=\"simple\"><settings calloutType=\"simple\">"
           "<text-style fieldName=\"" + label + "\" isExpression=\"1\" fontSize=\"8\" fontSizeUnit=\"Point\" "
           "textColor=\"32,32,32,255\" textOpacity=\"1\" fontWeight=\"50\" fontItalic=\"0\" namedStyle=\"\">"
           "<text-buffer bufferDraw=\"1\" bufferSize=\"0.8\" bufferSizeUnits=\"MM\" "
           "bufferColor=\"255,255,255,255\" bufferOpacity=\"0.8\"/></text-style>"
           "<placement placement=\"2\" dist=\"1\" distUnits=\"MM\" placementFlags=\"10\"/>"
           "<rendering obstacle=\"1\"/></settings></labeling>";
}

} // namespace

STYLE_RANGES StyleRangesOf(GDALDataset& dataset)
{
    STYLE_RANGES ranges;
    double low = 0.0, high = 0.0;
    if (ColumnRange(dataset, kPointLayer, "Depth", low, high)) {
        ranges.dfDepthMin = low;
        ranges.dfDepthMax = high;
    }
    // A layer written before Depth was metres keeps the protocol's units.
    if (OGRLayer* points = dataset.GetLayerByName(kPointLayer))
        ranges.bDepthMetres = MapSurveyFields(*points).bMetric;
    if (ColumnRange(dataset, kUtilityLayer, "UtilityElevation", low, high)) {
        ranges.dfElevationMin = low;
        ranges.dfElevationMax = high;
    }
    UtilityTypes(dataset, ranges.utilityTypes);
    return ranges;
}

std::string LayerStyleQml(const std::string& layer, const STYLE_RANGES& ranges)
{
    if (layer == kPointLayer)
        return Document(DepthRules(ranges.dfDepthMin, ranges.dfDepthMax, ranges.bDepthMetres ? " m" : "") +
                            LogLabels(),
                        true);
    // A small diamond inside the survey point's ring: drawn over a survey
    // point, the utility point leaves its ring (hollow below the gate) in sight.
    if (layer == kUtilityLayer)
        return Document(Graduated("UtilityElevation", ranges.dfElevationMin, ranges.dfElevationMax,
                                  kElevationColours, " m", true, "diamond", "1.2"),
                        false);
    if (layer == kUtilityLinesLayer)
        return Document(UtilityLinesQml(ranges.utilityTypes), true);
    if (layer == kTrackLayer)
        return Document(std::string("<renderer-v2 type=\"singleSymbol\" symbollevels=\"0\" forceraster=\"0\" "
                                    "enableorderby=\"0\"><symbols>"
                                    "<symbol type=\"line\" name=\"0\" alpha=\"1\" clip_to_extent=\"1\" "
                                    "force_rhr=\"0\"><layer class=\"SimpleLine\" enabled=\"1\" pass=\"0\" "
                                    "locked=\"0\">") +
                            Prop("line_color", kTrackColour) + Prop("line_style", "solid") +
                            Prop("line_width", "0.5") + Prop("line_width_unit", "MM") + Prop("capstyle", "round") +
                            Prop("joinstyle", "round") + "</layer></symbol></symbols></renderer-v2>",
                        false);
    return {};
}

bool WriteLayerStyles(GDALDataset& dataset, const STYLE_RANGES& ranges, std::string& error,
                      const std::string& schema)
{
    std::vector<STYLE_ROW> rows;
    for (const char* name : {kPointLayer, kTrackLayer, kUtilityLayer, kUtilityLinesLayer}) {
        OGRLayer* layer = dataset.GetLayerByName(name);
        if (layer == nullptr)
            continue;
        rows.push_back({name, layer->GetGeometryColumn(), LayerStyleQml(name, ranges), GeometryTypeName(layer->GetGeomType())});
    }
    if (rows.empty())
        return true;
    const std::string driver = dataset.GetDriver() != nullptr ? dataset.GetDriver()->GetDescription() : "";
    if (driver == "PostgreSQL")
        return WritePgRows(dataset, rows, schema, error);
    if (driver == "GPKG")
        return WriteGpkgRows(dataset, rows, error);
    error = "QGIS reads default styles only from a GeoPackage or PostgreSQL, not " + driver;
    return false;
}
