// Every test process works in its own temporary config and runtime folders, on Qt's offscreen
// platform, with scripted message boxes, and with every COM name mapped to a path that does
// not exist, so that no test reaches a real device.
#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "platform/Dialogs.h"
#include "platform/ErrorReport.h"
#include "support/Pty.h"

int main(int argc, char** argv) {
    QTemporaryDir root(QDir::tempPath() + QStringLiteral("/quellor-test-XXXXXX"));
    const QString config = root.path() + QStringLiteral("/config");
    const QString runtime = root.path() + QStringLiteral("/runtime");
    QDir().mkpath(config);
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_CONFIG_HOME", config.toUtf8());
    qputenv("XDG_RUNTIME_DIR", runtime.toUtf8());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qunsetenv("DISPLAY");
    qunsetenv("WAYLAND_DISPLAY");
    MapEveryPortNowhere();
    ::testing::InitGoogleTest(&argc, argv);
    TApplication app(argc, argv);
    SetDialogs(std::make_unique<TScriptedDialogs>());
    return RUN_ALL_TESTS();
}
