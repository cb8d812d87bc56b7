// Dialog templates kept as data: the form, the settings pages and both shapes of
// the About box. Places are in dialog units, as drawn for the handheld's dialog
// font; a face converts them with that font's average character size.
#pragma once

#include <cstddef>

// Dialog templates.
enum : int {
    IDD_ABOUTBOX = 100,      // portrait About box
    IDD_FIELDBOOK_FORM = 101,
    IDD_TEST_SETTINGS = 152,
    IDD_ABOUTBOX_WIDE = 200, // landscape About box, same controls as 100
    IDD_PORT_SETTINGS = 201,
};

// Controls. Ids repeat across templates, as the pages reuse them.
enum : int {
    IDC_OK = 1,
    IDC_INFO_TEXT = 1001,      // information box of both pages; the form's test window
    IDC_TEST_WINDOW = 1001,
    IDC_GPS_PORT_LIST = 1023,
    IDC_BLUETOOTH_PORT_LIST = 1024,
    IDC_GPS_BOX = 1027,        // enabled box (Ports), echo box (Test)
    IDC_BLUETOOTH_BOX = 1028,
    IDC_GPS_LABEL = 1045,
    IDC_BLUETOOTH_LABEL = 1046,
    IDC_ABOUT_VERSION = 1047,
    IDC_ABOUT_COPYRIGHT = 1048,
    IDC_ABOUT_LOGS = 1049,
    IDC_PORT_LABEL = 1049,
    IDC_ENABLED_LABEL = 1050,
    IDC_ABOUT_ICON = 201,
    IDC_STATIC = -1,           // a control nothing refers to
};

// Image resources besides the indicator bitmaps (those are in link/LinkOwner.h).
enum : int {
    IDR_MAINFRAME = 128,       // program icon; small toolbar (14 x 16 images)
    IDR_MAINFRAME_FULL = 129,  // large toolbar (28 x 32 images)
};

enum class DLG_KIND {
    Label,        // text, left aligned
    CentredLabel,
    Picture,      // bitmap; nResource is the bitmap shown first
    Icon,         // icon; nResource is the icon
    TextWindow,   // multi-line edit with border and vertical scroll bar (the test window)
    InfoBox,      // disabled multi-line edit: information text
    DropList,     // drop-down list, entries sorted as text
    CheckBox,     // automatic check box, text (if any) right of the box
    CheckBoxLeft, // automatic check box, text left of the box
    Button,
};

struct DLG_CONTROL {
    int nId;
    DLG_KIND kind;
    int x, y, cx, cy; // dialog units
    const char* pszText;
    int nResource;
};

struct DLG_TEMPLATE {
    int nId;
    int cx, cy; // dialog units
    const char* pszCaption;
    const char* pszFont;
    int nPointSize;
    const DLG_CONTROL* pControls;
    size_t nControls;
};

// nullptr when there is no such template.
const DLG_TEMPLATE* FindDialogTemplate(int templateId);
const DLG_CONTROL* FindDialogControl(const DLG_TEMPLATE& dialogTemplate, int controlId);

struct DLG_RECT {
    int x, y, cx, cy;
};

// Dialog units to pixels for a font whose average character is avgCharWidth
// pixels wide and charHeight pixels high: a horizontal unit is a quarter of the
// average width, a vertical unit an eighth of the height, rounded to nearest.
DLG_RECT DialogUnitsToPixels(const DLG_RECT& units, int avgCharWidth, int charHeight);
