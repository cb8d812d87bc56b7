#include "support/ProjTools.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "support/ChildProcess.h"
#include "support/ScratchDir.h"

std::vector<std::array<double, 3>> Cs2cs(const std::string& from, const std::string& to,
                                          const std::vector<std::array<double, 3>>& points)
{
    ScratchDir dir;
    const std::string input = dir.File("in.txt");
    const std::string output = dir.File("out.txt");
    {
        std::ofstream in(input);
        in.precision(12);
        for (const auto& p : points)
            in << p[0] << ' ' << p[1] << ' ' << p[2] << '\n';
    }
    ChildProcess cs2cs;
    int status = -1;
    if (!cs2cs.Start({"/usr/bin/cs2cs", "-f", "%.6f", from, to, input}, {}, output, "") ||
        !cs2cs.Wait(std::chrono::seconds(60), &status) || status != 0)
        return {};
    std::vector<std::array<double, 3>> result;
    std::ifstream out(output);
    std::string line;
    while (std::getline(out, line)) {
        std::array<double, 3> p{};
        std::string a, b, c;
        std::istringstream fields(line);
        fields >> a >> b >> c;
        // cs2cs writes "*" for a value it could not compute.
        const auto value = [](const std::string& t) { return t == "*" ? HUGE_VAL : std::stod(t); };
        p = {value(a), value(b), value(c)};
        result.push_back(p);
    }
    return result.size() == points.size() ? result : std::vector<std::array<double, 3>>{};
}
