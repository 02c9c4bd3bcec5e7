#pragma once
#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>

#include "bridge/Line.h"

class TDistForm;
class TFormParams;
class TRSForm;

// The detection pass of Start: every serial port present is probed in turn, one ask of the line
// each, and the port where the device answered best becomes the configured one.
class TDetection {
public:
    TDetection(TLine* line, TRSForm* rs, TFormParams* params, TDistForm* window, QObject* hub);

    void StartDetection();
    // The configured port first when the settings were saved, then USB ports before the others;
    // the configured port is added when it is not present.
    void ArrangePorts(QStringList& list) const;
    bool Running() const { return PassMode == 1; }
    // Asks for the next port of the list, or ends the pass after the last.
    void NextPort();
    // The rates a port is tried at when the device does not answer at the configured one: that
    // one first, then the common ones, most likely first, none twice.
    static QList<uint32_t> SearchRates(uint32_t configured);

    // Told of each try as its ask is made ("COMn=description" and the rate, 0: the configured
    // one), of what it answered, and of the pass's end, for an asker who follows the pass.
    std::function<void(const QString& entry, uint32_t baud)> OnTrying;
    std::function<void(const QString& entry, uint32_t baud, uint8_t result)> OnTried;
    std::function<void()> OnConcluded;

    // 0 before the first pass, 1 during one, 2 after.
    uint8_t PassMode = 0;
    QStringList PortList;
    // Ports asked so far.
    int32_t PortIndex = 0;
    uint8_t BestResult = 0;
    int32_t BestIndex = 0;
    QString BestIdentity;
    // The rate the best answer came at; 0: the configured one.
    uint32_t BestBaud = 0;
    // The port the last pass found and stored, "COMn=description"; empty when it stored none.
    QString Stored;

private:
    void AskPort(uint32_t baud);
    bool SearchesOn(uint8_t result) const;
    void StepDone(const TProbeOutcome& outcome);
    void Conclude();

    TLine* Line;
    TRSForm* Rs;
    TFormParams* Params;
    TDistForm* Window;
    QObject* Hub;
    // The rates of the port under way and the one its ask is at.
    QList<uint32_t> Rates;
    qsizetype RateIndex = 0;
};
