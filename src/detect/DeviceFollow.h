#pragma once
#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>

class QTimer;
class TDistForm;
class TFormParams;
class TPortWatch;
class TRSForm;

// Keeps track of the serial ports that come and go, and finds the device again when it comes
// back on another port: while the configured device does not answer, each port that appears is
// probed once the line is free, and the first where the device answers becomes the configured port.
class TDeviceFollow : public QObject {
public:
    TDeviceFollow(TDistForm* dist, TRSForm* rs, TFormParams* params);
    ~TDeviceFollow() override;

    // Takes the ports present as known and starts watching; the enumeration's sources are read now.
    void Start();
    // The probe's outcome is in (ReportProbeResult).
    void ProbeReported();

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
    bool LineIdle() const;
    bool MayOpen(const TCandidate& candidate) const;
    void ProbeNext();
    void Conclude();
    void Adopt(const QString& entry);
    QString Configured() const;
    void Stop();

    TDistForm* Dist;
    TRSForm* Rs;
    TFormParams* Params;
    TPortWatch* Ports = nullptr;
    QTimer* Tick;
    QList<TCandidate> Candidates;
    QString Probing;  // the entry whose probe is out
    QString From;     // the configured port when it went out
    bool SecondTry = false;
    bool Reported = false;
    uint8_t Result = 0;
    QByteArray Status;
};
