// Where an export's files go, and how they get there without ever standing
// half written under the asked name or removing what is not ours. Every file a
// format writes is made in a staging folder beside the destination
// (".fieldbook-export-XXXXXX"), read back once closed, synced, and only then
// put in place all or nothing (a rename that fails puts back those before it;
// a crash among them is completed by the next export into the folder, from
// the journal the staging folder keeps), never over a file that appeared
// while the export ran; a failure leaves the destination as it was. An output that is, holds or would replace one of the inputs is
// refused before anything is written; an existing output is replaced only
// when asked (--overwrite), and then only the files the format writes.
#pragma once

#include <map>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "gis/GisFormats.h"

class CSurveyDataset;

class CStagedOutput {
public:
    CStagedOutput() = default;
    ~CStagedOutput();
    CStagedOutput(const CStagedOutput&) = delete;
    CStagedOutput& operator=(const CStagedOutput&) = delete;

    // Works out the files of output for format and checks them against the
    // inputs (paths as given) and what stands there. False with the reason.
    bool Plan(const GIS_FORMAT& format, const std::string& output, bool bOverwrite,
              const std::vector<std::string>& inputs, std::string& error);
    // An existing appendable output (a GeoPackage) is written in place: its
    // own transactions keep it whole.
    bool InPlace() const { return m_bInPlace; }
    // Makes the staging folder; the paths to create the datasets at follow.
    bool Stage(std::string& error);
    const std::string& PointPath() const { return m_pointPath; }
    const std::string& TrackPath() const { return m_trackPath; } // empty: in the points' dataset

    // Reads the closed output back with GDAL: every feature must be there
    // (a full disk leaves files that end early, or that no reader opens).
    // Points without a position count when the format keeps them (placed of
    // pointFeatures have one).
    bool Verify(size_t pointFeatures, size_t placed, size_t trackFeatures, std::string& error) const;
    // Syncs the staged files and renames them into place.
    bool Publish(std::string& error);

private:
    bool CheckDestination(const std::string& path, std::string& error) const;
    bool OthersFile(const std::string& name, std::string& owner) const;

    const GIS_FORMAT* m_format = nullptr;
    std::string m_folder;     // destination folder
    std::string m_pointName;  // file names in it
    std::string m_trackName;
    std::string m_staging;    // the staging folder, once made
    std::string m_pointPath;
    std::string m_trackPath;
    bool m_bInPlace = false;
    bool m_bOverwrite = false;
    std::vector<std::pair<dev_t, ino_t>> m_inputs;
    int m_lockFd = -1; // the staging folder, locked while this export lives
    // Files under the output's names when staging began: only these may be
    // replaced, never one that appeared since.
    std::map<std::string, std::pair<dev_t, ino_t>> m_standing;
};

// "<stem>_track<ext>" beside path, ext being path's own extension when it is
// one of the format's ("out.json" gives "out_track.json").
std::string TrackSiblingPath(const std::string& path, const GIS_FORMAT& format);
