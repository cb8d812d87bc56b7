// A private X server for tests and scripts that need a real display: Xvfb on a
// display number it picks itself (-displayfd), no TCP, its screen kept as an
// XWD file in a scratch folder. Stopped, and waited for, when the object goes.
#pragma once

#include <string>
#include <sys/types.h>

#include "support/ScratchDir.h"

class XvfbServer {
public:
    XvfbServer() = default;
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // Starts the server with one screen of width x height x 24 and waits (up
    // to 15 s) until it takes connections. False, with the reason, otherwise.
    bool Start(int width, int height, std::string& why);
    void Stop();

    // ":N", for DISPLAY.
    const std::string& Display() const { return m_display; }
    // The screen's contents as an XWD image, kept up to date by the server.
    std::string ScreenFile() const { return m_dir.File("Xvfb_screen0"); }

private:
    ScratchDir m_dir;
    pid_t m_pid = -1;
    std::string m_display;
};
