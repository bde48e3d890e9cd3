// main() of the GUI tests: the offscreen platform, a private runtime folder
// (so no real Tavrin of the user is ever reached through the bus), one
// QApplication with the platform loop hosted in it, then the tests.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <filesystem>
#include <string>

#include "LoopHost.h"

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::string rt = (std::filesystem::temp_directory_path() / "tavrin-gui-XXXXXX").string();
    if (mkdtemp(rt.data())) setenv("XDG_RUNTIME_DIR", rt.c_str(), 1);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    TLoopHost host;
    int r = RUN_ALL_TESTS();
    std::error_code ec;
    std::filesystem::remove_all(rt, ec);
    return r;
}
