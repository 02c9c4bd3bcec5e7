#pragma once
#include <QObject>
#include <functional>
#include <utility>

#include "bridge/sv_TCP.h"
#include "support/LinePeek.h"
#include "bridge/Line.h"
#include "platform/Dialogs.h"
#include "platform/WinMessage.h"
#include "settings/UtilsRegistry.h"
#include "support/Net.h"
#include "support/Program.h"

// Holds back the main window's client-data messages: the tests hand client data to the
// dispatcher themselves, at the moment they choose.
class TReadGate : public QObject {
protected:
    bool eventFilter(QObject*, QEvent* event) override {
        return event->type() == TWinMessage::EventType() && static_cast<TWinMessage*>(event)->Msg == WM_SV_TCP_READ;
    }
};

// Nothing of an exchange is left behind: the line is idle and free for the next.
inline void ExpectNoExchange(TLine& line) {
    const TLinePeek dist = Peek(line);
    EXPECT_EQ(dist.State, dsIdle);
    EXPECT_EQ(dist.Exchange.CurrentClient, 0u);
    EXPECT_TRUE(dist.Exchange.Answer.isEmpty());
    EXPECT_TRUE(dist.Exchange.RequestRest.isEmpty());
    EXPECT_FALSE(dist.Exchange.Framer.has_value());
    EXPECT_EQ(dist.Exchange.Handed, 0);
    EXPECT_EQ(dist.Exchange.Orphan, orNone);
    EXPECT_FALSE(dist.TimerEnd->isActive());
}

// The program started up on COM1, which is the pty; the check timer does not run by itself.
// Framing is off unless asked for, and then the host check too: the dispatcher then keeps the
// quiet rule alone and writes requests as they arrive.
struct TBridge {
    TPty Device;
    quint16 Port = FreeTcpPort();
    TProgram Program{"DispatcherTest"};
    TLine& Line = Program.Line();
    TReadGate Gate;
    // What the line does when the idle probe is due; a test that wants it puts it back.
    std::function<void()> IdleProbe;

    // configure: writes further settings before the program starts.
    explicit TBridge(int sendDelay = 100, bool framing = false, const std::function<void()>& configure = {}) {
        MapPort(1, Device.SlavePath);
        SettingsWriteInteger("RS\\COM", 1);
        SettingsWriteInteger("TCP\\Port", Port);
        SettingsWriteInteger("TCP\\Delay", sendDelay);
        SettingsWriteInteger("TCP\\Framing", framing ? 1 : 0);
        SettingsWriteString("TCP\\Listen", QString());
        SettingsWriteString("TCP\\AllowedHosts", framing ? QString() : QStringLiteral("*"));
        if (configure)
            configure();
        FreshDialogs();
        Program.Main().StartUp();
        Peek(Line).TimerCheck->stop();
        // The idle probe would write to the device whenever a test's clock says it is due.
        IdleProbe = std::exchange(Line.OnIdle, nullptr);
        Program.Main().installEventFilter(&Gate);
    }
    ~TBridge() { MapPort(1, "/nonexistent/quellor-test/COM1"); }

    // A client whose request the TCP side holds, announced to nobody yet.
    int32_t Connect(TClient& client, const QByteArray& request) {
        const int before = Program.Tcp().LastClientId;
        EXPECT_TRUE(WaitUntil([&] { return Program.Tcp().LastClientId > before; }));
        const int32_t id = Program.Tcp().LastClientId;
        client.Send(request);
        // A refused request takes its record with it.
        EXPECT_TRUE(WaitUntil([&] {
            const TClientRecord* record = Program.Tcp().Clients.FindById(id);
            return !record || record->Received >= request.size();
        }));
        return id;
    }
    // Hands a client's data to the line. A request that is not yet whole first has what its
    // client already sent read; the test ends that wait at once instead of at its quiet time.
    void TakeUp(int32_t id) {
        Line.OnClientData(id);
        if (!Program.Tcp().Room.PresenceCheckRunning())
            return;
        Program.Tcp().TimerPresenceTimer();
        Line.OnClientData(id);
    }
    // The timer's state as the dispatcher left it; the test then drives the ticks itself.
    int TakeTimerEnd() {
        const int interval = Peek(Line).TimerEnd->isActive() ? Peek(Line).TimerEnd->interval() : 0;
        Peek(Line).TimerEnd->stop();
        return interval;
    }
};

// The same with framing on and the host check: answers end where their heads say.
struct TFramed : TBridge {
    TFramed() : TBridge(100, true) {}
    // A client whose request has reached the device.
    int32_t Ask(TClient& client, const QByteArray& request) {
        const int32_t id = Connect(client, request);
        TakeUp(id);
        EXPECT_EQ(Device.Read(static_cast<int>(request.size())), request);
        return id;
    }
};
