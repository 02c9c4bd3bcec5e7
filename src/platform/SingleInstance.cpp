#include "platform/SingleInstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QRegularExpression>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/file.h>
#include <unistd.h>

namespace {
const QByteArray ShowRequest = "show\n";

QString SocketPath(const QString& windowClass) {
    return RuntimeFolder() + QLatin1Char('/') + SafeFileName(windowClass);
}
} // namespace

QString RuntimeFolder() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(runtime).exists())
        return runtime;
    return QStringLiteral("%1/quellor-%2").arg(QDir::tempPath()).arg(getuid());
}

QString RuntimeFolderProblem() {
    const QString folder = RuntimeFolder();
    return folder == qEnvironmentVariable("XDG_RUNTIME_DIR") ? QString() : PrivateFolderProblem(folder, getuid());
}

QString PrivateFolderProblem(const QString& path, uid_t user) {
    const QByteArray name = QFile::encodeName(path);
    if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST)
        return QStringLiteral("The runtime folder %1 cannot be created: %2.").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    struct stat status {};
    if (::lstat(name.constData(), &status) != 0)
        return QStringLiteral("The runtime folder %1 cannot be read: %2.").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    if (!S_ISDIR(status.st_mode))
        return QStringLiteral("The runtime folder %1 is not a folder.").arg(path);
    if (status.st_uid != user)
        return QStringLiteral("The runtime folder %1 belongs to another user (uid %2).").arg(path).arg(status.st_uid);
    if ((status.st_mode & 077) != 0)
        return QStringLiteral("The runtime folder %1 is open to other users (mode %2).")
            .arg(path, QString::number(status.st_mode & 07777, 8).rightJustified(4, QLatin1Char('0')));
    return {};
}

QString SafeFileName(const QString& name) {
    QString safe = name;
    static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9._-]"));
    return safe.replace(unsafe, QStringLiteral("_"));
}

TInstanceLock::TInstanceLock(const QString& name)
    : Path(RuntimeFolder() + QLatin1Char('/') + SafeFileName(name) + QStringLiteral(".lock")) {}

TInstanceLock::~TInstanceLock() {
    if (Fd >= 0)
        ::close(Fd);
}

bool TInstanceLock::TryAcquire() {
    if (Fd < 0)
        Fd = ::open(QFile::encodeName(Path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (Fd < 0)
        return true;
    return ::flock(Fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
}

TShowServer::TShowServer(const QString& windowClass, std::function<void()> onShow, QObject* parent)
    : QObject(parent), Server(new QLocalServer(this)), OnShow(std::move(onShow)) {
    const QString path = SocketPath(windowClass);
    // Only the lock holder gets here, so a socket file left by a copy that died is stale.
    QLocalServer::removeServer(path);
    Server->setSocketOptions(QLocalServer::UserAccessOption);
    Server->listen(path);
    connect(Server, &QLocalServer::newConnection, this, &TShowServer::Accept);
}

bool TShowServer::IsListening() const { return Server->isListening(); }

namespace {
// Set on an asker from its request until the last of its answer is in its socket.
const char* const AnswerUnderWay = "quellorAnswerUnderWay";
// An answer goes into the socket a slice at a time as the asker takes it: copied in whole, tens
// of MiB would hold the GUI thread for as long as the copy takes, and be held twice meanwhile.
constexpr qsizetype AnswerSliceBytes = qsizetype(64) << 10;

void HandOver(QLocalSocket* client, const QByteArray& answer) {
    struct TRest {
        qsizetype Offset = 0;
        QMetaObject::Connection Written;
    };
    const auto rest = std::make_shared<TRest>();
    const auto next = [client, answer, rest] {
        while (rest->Offset < answer.size() && client->bytesToWrite() < AnswerSliceBytes) {
            const qsizetype slice = std::min(AnswerSliceBytes, answer.size() - rest->Offset);
            client->write(answer.constData() + rest->Offset, slice);
            rest->Offset += slice;
        }
        if (rest->Offset < answer.size())
            return;
        QObject::disconnect(rest->Written);
        client->setProperty(AnswerUnderWay, false);
        client->disconnectFromServer();
    };
    rest->Written = QObject::connect(client, &QLocalSocket::bytesWritten, client, next);
    next();
}
} // namespace

int TShowServer::AnswersAwaitingReaders() const {
    const QList<QLocalSocket*> clients = Server->findChildren<QLocalSocket*>();
    return static_cast<int>(std::count_if(clients.begin(), clients.end(), [](const QLocalSocket* c) {
        return c->bytesToWrite() > 0 || c->property(AnswerUnderWay).toBool();
    }));
}

void TShowServer::Accept() {
    while (QLocalSocket* client = Server->nextPendingConnection()) {
        connect(client, &QLocalSocket::readyRead, this, [this, client] { Take(client); });
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
    }
}

// A request is one line; what comes before its end waits for the rest of it. What comes after it
// is read and dropped, so that an asker that leaves is seen to leave.
void TShowServer::Take(QLocalSocket* client) {
    if (client->property(AnswerUnderWay).isValid()) {
        client->readAll();
        return;
    }
    if (!client->canReadLine()) {
        if (client->bytesAvailable() > 1024)
            client->disconnectFromServer();
        return;
    }
    const QByteArray line = client->readLine().trimmed();
    const QPointer<QLocalSocket> asker(client);
    const TAnswer answer = [asker, handed = std::make_shared<bool>(false)](const QByteArray& bytes) {
        if (!asker || *handed)
            return;
        *handed = true;
        QTimer::singleShot(AnswerPatienceMs, asker, [asker] { asker->abort(); });
        HandOver(asker, bytes);
    };
    const bool taken = line + '\n' != ShowRequest && OnRequest && AnswersAwaitingReaders() < MostAnswersAwaitingReaders;
    client->setProperty(AnswerUnderWay, true);
    if (line + '\n' == ShowRequest)
        OnShow();
    if (!taken) {
        answer({});
        return;
    }
    auto* keepAlive = new QTimer(client);
    connect(keepAlive, &QTimer::timeout, client, [client, keepAlive] {
        if (client->property(AnswerUnderWay).toBool())
            client->write(&KeepAlive, 1);
        else
            keepAlive->deleteLater();
    });
    keepAlive->start(KeepAliveMs);
    OnRequest(line, client, answer);
}

bool RequestShow(const QString& windowClass) {
    QLocalSocket socket;
    socket.connectToServer(SocketPath(windowClass));
    if (!socket.waitForConnected(1000))
        return false;
    socket.write(ShowRequest);
    socket.waitForBytesWritten(1000);
    socket.disconnectFromServer();
    return true;
}

std::optional<QByteArray> AskRunning(const QString& windowClass, const QByteArray& request, int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(SocketPath(windowClass));
    if (!socket.waitForConnected(timeoutMs))
        return std::nullopt;
    socket.write(request + '\n');
    socket.waitForBytesWritten(timeoutMs);
    QByteArray answer;
    while (socket.state() == QLocalSocket::ConnectedState && socket.waitForReadyRead(timeoutMs))
        answer += socket.readAll();
    answer += socket.readAll();
    const qsizetype start = std::find_if(answer.cbegin(), answer.cend(), [](char c) { return c != TShowServer::KeepAlive; }) - answer.cbegin();
    return answer.sliced(start);
}
