#include "surveylog/ModeNames.h"

#include <cstring>

namespace {

struct ModeRow {
    int code;
    const char* name;
};

// Ascending by code; code 11 has no row.
constexpr ModeRow kModes[] = {
    {1, "POWER"},      {2, "RADIO"},      {3, "PASSIVE"},    {4, "CATV"},       {5, "CPS"},
    {6, "ELF"},        {7, "8KFF"},       {8, "CDFF"},       {9, "163"},        {10, "208"},
    {12, "220CD"},     {13, "256CD"},     {14, "273"},       {15, "280CD"},     {16, "285CD"},
    {17, "320CD"},     {18, "340"},       {19, "380CD"},     {20, "400"},       {21, "440"},
    {22, "460"},       {23, "460CD"},     {24, "480"},       {25, "484"},       {26, "491"},
    {27, "512"},       {28, "560"},       {29, "570"},       {30, "577"},       {31, "584"},
    {32, "624"},       {33, "640"},       {34, "680CDI"},    {35, "760"},       {36, "800CDI"},
    {37, "815"},       {38, "870"},       {39, "920"},       {40, "920CDI"},    {41, "940"},
    {42, "968CDI"},    {43, "982"},       {44, "1090"},      {45, "1168CDI"},   {46, "1248CDI"},
    {47, "1450"},      {48, "4096"},      {49, "4096CD"},    {50, "8K"},        {51, "8440"},
    {52, "9K8"},       {53, "33K"},       {54, "65K"},       {55, "82K"},       {56, "83.0K"},
    {57, "83K"},       {58, "131K"},      {59, "200K"},      {60, "MARKER"},    {61, "CUSTOM"},
    {62, "POWER 50"},  {63, "POWER 60"},  {64, "POWER 150"}, {65, "POWER 180"}, {66, "POWER 250"},
    {67, "POWER 300"}, {68, "POWER 350"}, {69, "POWER 420"}, {70, "POWER 450"}, {71, "POWER 540"},
    {72, "CUSTOM CD"},
};
static_assert(sizeof(kModes) / sizeof(kModes[0]) == 71, "71 named modes");

} // namespace

void ModeNameFromCode(int code, char* buffer)
{
    for (const ModeRow& row : kModes) {
        if (row.code == code) {
            std::strcpy(buffer, row.name);
            return;
        }
    }
    std::strcpy(buffer, "-1");
}

int ModeCodeFromName(const char* text)
{
    if (text == nullptr)
        return 0;
    for (const ModeRow& row : kModes) {
        if (std::strcmp(text, row.name) == 0)
            return row.code;
    }
    return 0;
}
