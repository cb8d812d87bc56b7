#include "app/GeoidModel.h"

#include <atomic>
#include <utility>
#include <vector>

namespace {
GeoidModelFactory g_factory;
// Every model loaded stays until the program ends: the survey log's companion
// reads the one in force on its own thread, and the settings may switch grids
// while it runs. A grid is a few megabytes and a run switches a handful of times.
std::vector<std::unique_ptr<IGeoidModel>> g_loaded;
std::atomic<const IGeoidModel*> g_current{nullptr};
} // namespace

void SetGeoidModelFactory(GeoidModelFactory factory)
{
    g_factory = std::move(factory);
}

bool LoadGeoidModel(const std::string& grid, std::string& message)
{
    message.clear();
    if (grid.empty()) {
        g_current.store(nullptr);
        return true;
    }
    for (const auto& model : g_loaded) {
        if (model->Name() == grid) {
            g_current.store(model.get());
            return true;
        }
    }
    std::string reason = "this build has no geoid grids";
    std::unique_ptr<IGeoidModel> model = g_factory ? g_factory(grid, reason) : nullptr;
    if (!model) {
        message = "fieldbook: geoid grid " + grid + " cannot be used (" + reason +
                  "); install it where PROJ finds it, or set GPS#GEOID#RECEIVER";
        return false;
    }
    g_current.store(model.get());
    g_loaded.push_back(std::move(model));
    return true;
}

const IGeoidModel* GetGeoidModel()
{
    return g_current.load();
}
