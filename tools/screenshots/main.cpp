// Saves pictures of the program's windows, as a user sees them, into the folder given:
// the main window with the device silent and answering, the About box, the settings and the
// Information window, which lists the ports this machine really has. Runs in a private profile
// and opens no port for transfers.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QTemporaryDir>

#include "app/StartUp.h"
#include "app/Sv_aMain.h"
#include "app/UnitAbout.h"
#include "bridge/DistUnit.h"
#include "settings/sv_params.h"

namespace {
void Save(QWidget& window, const QString& path) {
    window.show();
    QApplication::processEvents();
    window.grab().save(path);
}
} // namespace

int main(int argc, char** argv) {
    QTemporaryDir profile;
    qputenv("XDG_CONFIG_HOME", profile.path().toUtf8());
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(out);
    TWindows windows;
    CreateWindows(windows, QStringLiteral("Quellor"));
    TFrmMainRSServ& main = *windows.Main;
    TDistForm& dist = *windows.Dist;
    main.UpdateStatus();
    main.StaticTextDevice->setText(QStringLiteral("COM3: Time Out"));
    Save(main, out + QStringLiteral("/main-silent.png"));
    dist.DeviceOk = true;
    dist.AnswerTime = 12;
    dist.StatusText = "COM3: Found Device\r\nid=demo-device;fw=1.0";
    main.WMSvDistState();
    Save(main, out + QStringLiteral("/main-answering.png"));
    Save(*windows.About, out + QStringLiteral("/about.png"));
    windows.Params->ComboBox_PortRS->setCurrentIndex(2);
    Save(*windows.Params, out + QStringLiteral("/settings.png"));
    dist.AddLogLine("RS: Open COM3", true);
    dist.AddLogLine("TCP: Listen", true);
    dist.AddLogLine(dist.StatusText, true);
    dist.AddLogLine("----------------", false);
    dist.BtEnumRSClick();
    Save(dist, out + QStringLiteral("/information.png"));
    return 0;
}
