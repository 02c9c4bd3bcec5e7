#pragma once
#include <QList>
#include <QObject>
#include <utility>

#include "app/Hub.h"
#include "bridge/Line.h"
#include "detect/DistForm.h"
#include "bridge/sv_RS.h"
#include "bridge/sv_TCP.h"
#include "platform/WinMessage.h"
#include "settings/sv_params.h"

// Stands in for the main window: records every message posted to it.
class THubRecorder : public QObject {
public:
    QList<std::pair<int, intptr_t>> Messages;
    int Count(int msg) const;

protected:
    bool event(QEvent* event) override;
};

// The two ends of the bridge with the settings dialog and the Information window, posting to a recorder.
struct TSides {
    THubRecorder Hub;
    TFormParams Params{&Hub};
    TDistForm Dist;
    TLine Line{&Dist};
    TTCPForm Tcp{&Params, &Dist, &Hub};
    TRSForm Rs{&Params, &Line, &Dist, &Hub};
    TSides();
    QStringList Log() const;
};
