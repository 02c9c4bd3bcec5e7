#pragma once
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

#include "bridge/Line.h"
#include "platform/HubMessages.h"

class QObject;
class TLogSink;
class TRSForm;

// What a probe told of the port, from nothing yet to the device's identity file.
enum TProbeResult : uint8_t {
    prNone = 0,
    prProgress = 1,
    prComError = 2,
    prTimeOut = 3,
    prUnknown = 4,
    prHttp = 5,
    prFoundId = 6,
    prFoundDevice = 7
};

// A probe outcome read: its result, and for an answer the text shown (the body for prFoundDevice).
struct TProbeReading {
    uint8_t Result = prNone;
    QByteArray Text;
};
TProbeReading ReadOutcome(const TProbeOutcome& outcome);
// The device's identity in an answer that holds one: the body of its identity file.
QString IdentityOf(const TProbeReading& reading);

// The device's status as the probes tell it: every probe's outcome is shown, logged when it
// changed, and the first good probe of a port chosen by hand records whose device it is. Asks the
// line for the idle probe and Check Device.
class TDeviceProbe {
public:
    TDeviceProbe(TLine* line, TRSForm* rs, TLogSink* log, QObject* hub);

    // Check Device reopens the port first; the idle probe does not.
    void StartProbe(bool reopen);
    void Report(const TProbeOutcome& outcome);
    // Hears how the Check Device under way or waiting for the line ends, called off included;
    // none waiting: the next one's.
    void AwaitCheck(std::function<void(const TProbeOutcome&)> then);
    // Those waiting go before the check ends (their owner is taken down).
    void ForgetCheckWaiters() { CheckWaiters.clear(); }

    // A Check Device called off before its result (the settings were saved): the status text
    // shows the last result again.
    std::function<void()> OnCheckCalledOff;

    QByteArray StatusText;
    QByteArray LastLoggedStatus;
    uint8_t ProbeResult = prNone;
    // The identity the device of the last probe answered with; empty when it gave none.
    QString Identity;

private:
    void RecordIdentity(const TProbeOutcome& outcome, const TProbeReading& reading);

    void CheckEnded(const TProbeOutcome& outcome);

    std::vector<std::function<void(const TProbeOutcome&)>> CheckWaiters;
    TLine* Line;
    TRSForm* Rs;
    TLogSink* Log;
    QObject* Hub;
};
