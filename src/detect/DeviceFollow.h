#pragma once
#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>

#include "bridge/Line.h"

class QTimer;
class TDetection;
class TDeviceProbe;
class TDistForm;
class TFormParams;
class TPortWatch;
class TRSForm;

// Keeps track of the serial ports that come and go, and finds the device again when it comes
// back on another port: while the configured device does not answer, each port that appears is
// asked for by the line's probe, and the first where the same device answers (its identity file
// says so) becomes the configured port. A port another bridge of this user is set to is never asked.
class TDeviceFollow : public QObject {
public:
    TDeviceFollow(TLine* line, TRSForm* rs, TFormParams* params, TDistForm* window, TDeviceProbe* probe,
                  TDetection* detection);
    ~TDeviceFollow() override;

    // Takes the ports present as known and starts watching; the enumeration's sources are read now.
    void Start();
    // Start was pressed: the follower's asks end "cancelled" and nothing is adopted.
    void Cancel();

    // The settings files of this program's bridges are PortBase.conf and PortBase-NAME.conf.
    QString ProgramBase;

    // The device answers on port now, no longer on from (empty when no port was configured).
    std::function<void(const QString& port, const QString& from)> OnMoved;

private:
    struct TCandidate {
        QString Entry;
        QElapsedTimer Since;
        bool SecondTry = false;  // probed again on the port left open
    };

    void PortAdded(const QString& entry);
    void PortRemoved(const QString& name);
    void ShowPorts();
    void Step();
    bool MayOpen(const TCandidate& candidate) const;
    bool OtherBridgesPort(const QString& name) const;
    void ProbeNext();
    void Concluded(const TProbeOutcome& outcome);
    bool SameDevice(const QString& identity, uint8_t result) const;
    void Adopt(const QString& entry, const QString& identity);
    QString Configured() const;
    void Stop();

    TLine* Line;
    TRSForm* Rs;
    TFormParams* Params;
    TDistForm* Window;
    TDeviceProbe* Probe;
    TDetection* Detection;
    TPortWatch* Ports = nullptr;
    QTimer* Tick;
    QList<TCandidate> Candidates;
    QString Probing;  // the entry whose ask is out
    QString From;     // the configured port when it went out
    bool SecondTry = false;
};
