#pragma once
// The device as the test plays it on a pty, and the line seeing it answer.
#include <QByteArray>
#include <cstdint>

#include "bridge/Line.h"
#include "support/Net.h"
#include "support/Program.h"
#include "support/Pty.h"

// The device on the line's port, played on the pty, answers a probe, so that the line holds it for
// answering. The line is started on that port and idle; it is idle again after.
void MakeDeviceAnswer(TLine& line, TPty& device);

// COM1 is a pty on which the test plays the device; the program starts up on it with its server on
// a free port, framing on, and the check timer stopped. The port map points COM1 nowhere again
// once it is gone.
struct TPlayedDevice {
    static const QByteArray Request;

    explicit TPlayedDevice(TProgram& program);
    ~TPlayedDevice();
    TPlayedDevice(const TPlayedDevice&) = delete;
    TPlayedDevice& operator=(const TPlayedDevice&) = delete;

    // The client's request reaches the device: the line is busy with the client until Answer.
    void Ask(TClient& client);
    // The device answers the request on the line at once, and the client has the whole answer.
    void Answer(TClient& client);
    // The same with an answer that declares no end: it ends once the device has been quiet, and
    // the client has it `ms` after its last byte, on the clock `now` the test set as tick source.
    void AnswerAfter(TClient& client, uint32_t& now, uint32_t ms);

    TPty Device;
    quint16 Port;
    TProgram& Program;
};
