#include "platform/SingleInstance.h"

#include <QDeadlineTimer>
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
// Set once the last part of the answer is handed over, before all of it is in the socket.
const char* const AnswerHanded = "quellorAnswerHanded";
// The request's first word: the limit on answers at once is kept for each kind.
const char* const AskerKind = "quellorAskerKind";
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

int TShowServer::AnswersAwaitingReaders(const QByteArray& kind) const {
    const QList<QLocalSocket*> clients = Server->findChildren<QLocalSocket*>();
    return static_cast<int>(std::count_if(clients.begin(), clients.end(), [&kind](const QLocalSocket* c) {
        return c->property(AskerKind).toByteArray() == kind &&
               (c->bytesToWrite() > 0 || c->property(AnswerUnderWay).toBool());
    }));
}

void TShowServer::Accept() {
    while (QLocalSocket* client = Server->nextPendingConnection()) {
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        if (Server->findChildren<QLocalSocket*>().size() > MostAskers) {
            client->abort();
            continue;
        }
        connect(client, &QLocalSocket::readyRead, this, [this, client] { Take(client); });
        QTimer::singleShot(RequestPatienceMs, client, [client] {
            if (!client->property(AnswerUnderWay).isValid())
                client->abort();
        });
    }
}

void TShowServer::Tell(QObject* asker, const QByteArray& part) {
    auto* client = qobject_cast<QLocalSocket*>(asker);
    if (!client || client->state() != QLocalSocket::ConnectedState || !client->property(AnswerUnderWay).toBool() ||
        client->property(AnswerHanded).toBool())
        return;
    if (client->bytesToWrite() + part.size() > TellLimit) {
        client->abort();
        return;
    }
    client->write(part);
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
    const qsizetype space = line.indexOf(' ');
    const QByteArray kind = space < 0 ? line : line.first(space);
    const QPointer<QLocalSocket> asker(client);
    const TAnswer answer = [asker, handed = std::make_shared<bool>(false)](const QByteArray& bytes) {
        if (!asker || *handed)
            return;
        *handed = true;
        asker->setProperty(AnswerHanded, true);
        QTimer::singleShot(AnswerPatienceMs, asker, [asker] { asker->abort(); });
        HandOver(asker, bytes);
    };
    const bool taken = line + '\n' != ShowRequest && OnRequest &&
                       AnswersAwaitingReaders(kind) < MostAtOnce.value(kind, MostAnswersAwaitingReaders);
    client->setProperty(AskerKind, kind);
    client->setProperty(AnswerUnderWay, true);
    if (line + '\n' == ShowRequest)
        OnShow();
    if (!taken) {
        answer({});
        return;
    }
    // Only ahead of the answer: inside it a keep-alive byte would be a byte of the answer.
    auto* keepAlive = new QTimer(client);
    connect(keepAlive, &QTimer::timeout, client, [client, keepAlive] {
        if (client->property(AnswerHanded).toBool())
            keepAlive->deleteLater();
        else
            client->write(&KeepAlive, 1);
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

namespace {
// Each whole line as it comes, without its end and the keep-alive bytes ahead of it.
void HandLines(QByteArray& pending, QByteArray& answer, const std::function<void(const QByteArray&)>& onLine, bool last) {
    qsizetype end = 0;
    while ((end = pending.indexOf('\n')) >= 0 || (last && !pending.isEmpty())) {
        QByteArray line = end >= 0 ? pending.first(end) : pending;
        pending.remove(0, end >= 0 ? end + 1 : pending.size());
        line.remove(0, std::find_if(line.cbegin(), line.cend(), [](char c) { return c != TShowServer::KeepAlive; }) - line.cbegin());
        if (line.isEmpty())
            continue;
        answer += line + '\n';
        onLine(line);
    }
}
} // namespace

std::optional<QByteArray> AskRunning(const QString& windowClass, const QByteArray& request, int timeoutMs,
                                     const std::function<void(const QByteArray& line)>& onLine, int totalMs) {
    const QDeadlineTimer deadline(totalMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(totalMs));
    QLocalSocket socket;
    socket.connectToServer(SocketPath(windowClass));
    if (!socket.waitForConnected(timeoutMs))
        return std::nullopt;
    socket.write(request + '\n');
    socket.waitForBytesWritten(timeoutMs);
    QByteArray pending;
    QByteArray answer;
    auto take = [&](bool last) {
        pending += socket.readAll();
        if (onLine)
            HandLines(pending, answer, onLine, last);
    };
    const auto step = [&] {
        return deadline.isForever() ? timeoutMs : static_cast<int>(std::min<qint64>(timeoutMs, deadline.remainingTime()));
    };
    while (socket.state() == QLocalSocket::ConnectedState && !deadline.hasExpired() && socket.waitForReadyRead(step()))
        take(false);
    take(true);
    if (onLine)
        return answer;
    const qsizetype start = std::find_if(pending.cbegin(), pending.cend(), [](char c) { return c != TShowServer::KeepAlive; }) - pending.cbegin();
    return pending.sliced(start);
}
