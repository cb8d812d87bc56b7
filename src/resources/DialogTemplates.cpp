#include "resources/DialogTemplates.h"

#include <iterator>

#include "link/LinkOwner.h"
#include "resources/Strings.h"

namespace {

constexpr char kDialogFont[] = "MS Shell Dlg";

// The main form: both link pictures with their lamps, and the test window
// between them (placed over the whole form when it is shown).
constexpr DLG_CONTROL kForm[] = {
    {IDC_BLUETOOTH_ICON, DLG_KIND::Picture, 7, 61, 24, 22, nullptr, IDB_BLUETOOTH_UP},
    {IDC_GPS_ICON, DLG_KIND::Picture, 7, 15, 24, 22, nullptr, IDB_GPS_FIX},
    {IDC_TEST_WINDOW, DLG_KIND::TextWindow, 7, 39, 143, 20, nullptr, 0},
    {IDC_GPS_LABEL, DLG_KIND::Label, 41, 22, 14, 8, "GPS", 0},
    {IDC_BLUETOOTH_LABEL, DLG_KIND::Label, 41, 68, 32, 8, "Bluetooth", 0},
    {IDC_GPS_LAMP, DLG_KIND::Picture, 101, 21, 11, 10, nullptr, IDB_LAMP_RED},
    {IDC_BLUETOOTH_LAMP, DLG_KIND::Picture, 101, 67, 11, 10, nullptr, IDB_LAMP_RED},
};

// Drop-down heights include the opened list.
constexpr DLG_CONTROL kPortSettings[] = {
    {IDC_GPS_PORT_LIST, DLG_KIND::DropList, 31, 65, 53, 111, nullptr, 0},
    {IDC_GPS_LABEL, DLG_KIND::Label, 50, 40, 14, 8, "GPS", 0},
    {IDC_BLUETOOTH_PORT_LIST, DLG_KIND::DropList, 97, 65, 53, 111, nullptr, 0},
    {IDC_BLUETOOTH_LABEL, DLG_KIND::Label, 107, 40, 32, 8, "Bluetooth", 0},
    {IDC_PORT_LABEL, DLG_KIND::CentredLabel, 7, 67, 19, 8, "Port", 0},
    {IDC_INFO_TEXT, DLG_KIND::InfoBox, 7, 7, 143, 21, nullptr, 0},
    {IDC_ENABLED_LABEL, DLG_KIND::CentredLabel, 7, 91, 31, 8, "Enabled", 0},
    {IDC_GPS_BOX, DLG_KIND::CheckBox, 49, 90, 16, 10, nullptr, 0},
    {IDC_BLUETOOTH_BOX, DLG_KIND::CheckBox, 115, 90, 16, 10, nullptr, 0},
};

constexpr DLG_CONTROL kTestSettings[] = {
    {IDC_GPS_BOX, DLG_KIND::CheckBoxLeft, 15, 42, 51, 10, "GPS", 0},
    {IDC_BLUETOOTH_BOX, DLG_KIND::CheckBoxLeft, 15, 62, 51, 10, "Bluetooth", 0},
    {IDC_INFO_TEXT, DLG_KIND::InfoBox, 15, 7, 130, 31, nullptr, 0},
};

constexpr char kAboutVersion[] = "fieldbook version " FIELDBOOK_VERSION;

// Portrait: the lines under the icon.
constexpr DLG_CONTROL kAboutPortrait[] = {
    {IDC_ABOUT_ICON, DLG_KIND::Icon, 12, 12, 20, 20, nullptr, IDR_MAINFRAME},
    {IDC_ABOUT_VERSION, DLG_KIND::Label, 12, 44, 132, 8, kAboutVersion, 0},
    {IDC_ABOUT_COPYRIGHT, DLG_KIND::Label, 12, 58, 132, 8, kAboutCopyright, 0},
    {IDC_ABOUT_LOGS, DLG_KIND::Label, 12, 72, 132, 28, "", 0},
    {IDC_OK, DLG_KIND::Button, 53, 105, 50, 14, "OK", 0},
};

// Landscape: the lines beside the icon.
constexpr DLG_CONTROL kAboutLandscape[] = {
    {IDC_ABOUT_ICON, DLG_KIND::Icon, 12, 12, 20, 20, nullptr, IDR_MAINFRAME},
    {IDC_ABOUT_VERSION, DLG_KIND::Label, 42, 14, 160, 8, kAboutVersion, 0},
    {IDC_ABOUT_COPYRIGHT, DLG_KIND::Label, 42, 28, 160, 8, kAboutCopyright, 0},
    {IDC_ABOUT_LOGS, DLG_KIND::Label, 42, 42, 160, 28, "", 0},
    {IDC_OK, DLG_KIND::Button, 80, 105, 50, 14, "OK", 0},
};

constexpr DLG_TEMPLATE kTemplates[] = {
    {IDD_ABOUTBOX, 156, 129, kAboutCaption, kDialogFont, 8, kAboutPortrait, std::size(kAboutPortrait)},
    {IDD_FIELDBOOK_FORM, 157, 96, "", kDialogFont, 8, kForm, std::size(kForm)},
    {IDD_TEST_SETTINGS, 160, 90, kTestPageTitle, kDialogFont, 8, kTestSettings, std::size(kTestSettings)},
    {IDD_ABOUTBOX_WIDE, 210, 129, kAboutCaption, kDialogFont, 8, kAboutLandscape, std::size(kAboutLandscape)},
    {IDD_PORT_SETTINGS, 157, 145, kPortsPageTitle, kDialogFont, 8, kPortSettings, std::size(kPortSettings)},
};

int MulDivRound(int value, int numerator, int denominator)
{
    const long long product = static_cast<long long>(value) * numerator;
    const long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator : (product - half) / denominator);
}

} // namespace

const DLG_TEMPLATE* FindDialogTemplate(int templateId)
{
    for (const DLG_TEMPLATE& t : kTemplates) {
        if (t.nId == templateId)
            return &t;
    }
    return nullptr;
}

const DLG_CONTROL* FindDialogControl(const DLG_TEMPLATE& dialogTemplate, int controlId)
{
    for (size_t i = 0; i < dialogTemplate.nControls; ++i) {
        if (dialogTemplate.pControls[i].nId == controlId)
            return &dialogTemplate.pControls[i];
    }
    return nullptr;
}

DLG_RECT DialogUnitsToPixels(const DLG_RECT& units, int avgCharWidth, int charHeight)
{
    // Corners are converted, not the size, so that neighbouring controls that
    // touch in dialog units still touch in pixels.
    const int left = MulDivRound(units.x, avgCharWidth, 4);
    const int top = MulDivRound(units.y, charHeight, 8);
    const int right = MulDivRound(units.x + units.cx, avgCharWidth, 4);
    const int bottom = MulDivRound(units.y + units.cy, charHeight, 8);
    return {left, top, right - left, bottom - top};
}
