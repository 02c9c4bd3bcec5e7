#include "support/Pty.h"

#include "SimDevice.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <gtest/gtest.h>
#include <QThread>
#include <QFile>
#include <QTcpServer>
#include <poll.h>
#include <unistd.h>

#include "SimDevice.h"
#include "platform/Dialogs.h"
#include "serial/PortNames.h"

TPty::TPty() : SlavePath(OpenDeviceSide(Master)) {}

TPty::~TPty() { CloseMaster(); }

void TPty::CloseMaster() {
    if (Master >= 0)
        ::close(Master);
    Master = -1;
}

// On the GUI thread the program must go on reading the line while the device waits to write.
void TPty::Write(const QByteArray& bytes) {
    const bool guiThread = QThread::currentThread() == QCoreApplication::instance()->thread();
    QElapsedTimer timer;
    timer.start();
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(Master, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (timer.elapsed() > 20000) {
            ADD_FAILURE() << "the line took only " << done << " of " << bytes.size() << " bytes";
            return;
        }
        if (guiThread)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd entry{Master, POLLOUT, 0};
        ::poll(&entry, 1, guiThread ? 5 : 100);
    }
}

QByteArray TPty::Read(int atLeast, std::chrono::milliseconds wait) {
    QByteArray got;
    QElapsedTimer timer;
    timer.start();
    while (got.size() < atLeast && timer.elapsed() < wait.count()) {
        char buffer[65536];
        const ssize_t n = ::read(Master, buffer, sizeof buffer);
        if (n > 0) {
            got.append(buffer, n);
            continue;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd entry{Master, POLLIN, 0};
        ::poll(&entry, 1, 5);
    }
    return got;
}

void MapEveryPortNowhere() {
    const QString folder = PortMapFolder();
    QDir().mkpath(folder);
    for (int n = 1; n <= 255; ++n) {
        PointLink(folder + QStringLiteral("/COM%1").arg(n), QStringLiteral("/nonexistent/quellor-test/COM%1").arg(n));
    }
}

void MapPort(int number, const QString& node) {
    PointLink(PortMapFolder() + QStringLiteral("/COM%1").arg(number), node);
}

TScriptedDialogs& FreshDialogs() {
    auto* dialogs = dynamic_cast<TScriptedDialogs*>(&Dialogs());
    if (!dialogs) {
        SetDialogs(std::make_unique<TScriptedDialogs>());
        dialogs = dynamic_cast<TScriptedDialogs*>(&Dialogs());
    }
    dialogs->Answers.clear();
    dialogs->Texts.clear();
    dialogs->Boxes.clear();
    return *dialogs;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > limit.count())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        ::usleep(1000);
    }
    return true;
}

quint16 FreeTcpPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::AnyIPv4, 0);
    return probe.serverPort();
}

TScriptedDialogs& ScriptedDialogs() { return *dynamic_cast<TScriptedDialogs*>(&Dialogs()); }

TBlockedConfigFolder::TBlockedConfigFolder()
    : Config(qEnvironmentVariable("XDG_CONFIG_HOME")), Blocker(Config + QStringLiteral("/blocked")) {
    QFile file(Blocker);
    file.open(QIODevice::WriteOnly);
    qputenv("XDG_CONFIG_HOME", Blocker.toUtf8());
}

TBlockedConfigFolder::~TBlockedConfigFolder() {
    qputenv("XDG_CONFIG_HOME", Config.toUtf8());
    QFile::remove(Blocker);
}
