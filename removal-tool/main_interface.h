// The removal tool's main interface: its controller and window, made once at launch.
#pragma once

namespace appkit {
class NSApplication;
}

// Creates the environment, the one `Uninstaller` and its window, shows the window and hands
// them to `app` to keep for the life of the process.
void loadMainInterface(appkit::NSApplication& app);
