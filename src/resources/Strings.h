// Texts the window shows, kept in one place like the handheld's string table.
#pragma once

inline constexpr char kSettingsCaption[] = "Settings";
inline constexpr char kPortsPageTitle[] = "Ports";
inline constexpr char kTestPageTitle[] = "Test";
inline constexpr char kAboutCaption[] = "About fieldbook";

// The status panes start as wide as these texts (25 and 8 "X").
inline constexpr char kLogPaneWidthText[] = "XXXXXXXXXXXXXXXXXXXXXXXXX";
inline constexpr char kTransferPaneWidthText[] = "XXXXXXXX";

inline constexpr char kPortsPageInfo[] = "Use this page to set the ports";
inline constexpr char kTestPageInfo[] =
    "Use this page to output raw GPS &\r\nBluetooth data to a test window on the\r\nmain display";

inline constexpr char kAboutCopyright[] = "Copyright (C) the fieldbook developers";
