#pragma once
#include <QFile>
#include <QProcessEnvironment>
#include <QString>
#include <QTimer>

#include "app/StartUp.h"
#include "app/UnitAbout.h"
#include "app/Sv_aMain.h"
#include "bridge/Line.h"
#include "detect/Detection.h"
#include "detect/DeviceFollow.h"
#include "detect/DeviceProbe.h"
#include "detect/DistForm.h"
#include "bridge/sv_RS.h"
#include "bridge/sv_TCP.h"
#include "settings/sv_params.h"

// The program's six windows in this test process, as the entry creates them, without the
// tray and without start-up; the closing flags are cleared for each.
struct TProgram {
    explicit TProgram(const QString& programBaseName = QStringLiteral("Quellor"), const QString& instance = {});
    ~TProgram();

    TFrmMainRSServ& Main() { return *W.Main; }
    TFormParams& Params() { return *W.Params; }
    TDistForm& Dist() { return *W.Dist; }
    TLine& Line() { return *W.Line; }
    TDeviceProbe& Probe() { return *W.Probe; }
    TDetection& Detection() { return *W.Detection; }
    TDeviceFollow& Follower() { return *W.Follower; }
    TTCPForm& Tcp() { return *W.Tcp; }
    TRSForm& Rs() { return *W.Rs; }
    QStringList LogLines() const;

    TWindows W;
};

// The environment for a run of the real program: this process's private folders, headless.
QProcessEnvironment ProgramEnvironment();
