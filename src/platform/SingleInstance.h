#pragma once
#include <QHash>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>
#include <sys/types.h>

class QLocalServer;
class QLocalSocket;

// The per-user folder for the lock file and the show-request socket:
// $XDG_RUNTIME_DIR, else quellor-<uid> in the temporary folder ($TMPDIR, default /tmp).
QString RuntimeFolder();
// Why the runtime folder may not be used, as a sentence naming it; empty when it may. The fallback
// is created private when missing and must be the user's own and closed to others, or another
// user could hold the lock or answer for the show-request socket.
QString RuntimeFolderProblem();
// What keeps the folder from being a private folder of the user: the folder created with mode
// 0700 when missing, then it must be a real folder, owned by the user and closed to others.
QString PrivateFolderProblem(const QString& path, uid_t user);
// A name turned into a file name: characters other than letters, digits, '.', '-' and '_'
// become '_'.
QString SafeFileName(const QString& name);

// The lock that lets one copy run: an exclusive flock on a file named after the lock.
// The kernel drops it when the holder dies, so a crashed copy never blocks the next start.
class TInstanceLock {
public:
    explicit TInstanceLock(const QString& name);
    ~TInstanceLock();
    TInstanceLock(const TInstanceLock&) = delete;
    TInstanceLock& operator=(const TInstanceLock&) = delete;

    // False only when another process holds the lock; a lock file that cannot be made
    // counts as being the first copy.
    bool TryAcquire();

private:
    QString Path;
    int Fd = -1;
};

// The running copy's listener for a second copy's request to show itself, and for other requests
// of the same user: one line each, answered with the bytes OnRequest hands over, then closed.
class TShowServer : public QObject {
public:
    TShowServer(const QString& windowClass, std::function<void()> onShow, QObject* parent = nullptr);
    bool IsListening() const;

    // Hands the asker its answer (empty: none) and closes; on this server's thread, once. Does
    // nothing once the asker left.
    using TAnswer = std::function<void(const QByteArray& answer)>;
    // Takes a request line other than "show" (without its line end) and answers it, at once or
    // later. The asker object lives until the asker left or had its answer, so that work done for
    // the answer can be tied to it and dropped with it.
    std::function<void(const QByteArray& request, QObject* asker, TAnswer answer)> OnRequest;

    // Hands the asker a part of its answer now, a whole line or more; the asker stays connected
    // for the rest. An asker that lets TellLimit bytes pile up unread is dropped.
    static void Tell(QObject* asker, const QByteArray& part);
    static constexpr qsizetype TellLimit = qsizetype(64) << 10;

    // An asker that never reads would keep its answer in memory: answers wait for their readers
    // at most this long, and only this many at once of one kind (the request's first word), those
    // still being made among them; a request beyond them gets no answer. MostAtOnce sets another
    // number for a kind.
    static constexpr int AnswerPatienceMs = 30000;
    static constexpr int MostAnswersAwaitingReaders = 2;
    QHash<QByteArray, int> MostAtOnce;
    // An asker that sends no whole request line this long is closed, and beyond MostAskers
    // connected at once a newcomer is closed at once: idle connections cannot use up descriptors.
    int RequestPatienceMs = 5000;
    int MostAskers = 64;
    // While its answer is being made (a large journal takes its build tens of seconds on busy
    // cores) an asker gets a KeepAlive byte this often, so that it can tell a bridge at work from
    // one that is stuck. AskRunning drops them.
    static constexpr char KeepAlive = ' ';
    int KeepAliveMs = 2000;

private:
    void Accept();
    void Take(QLocalSocket* client);
    int AnswersAwaitingReaders(const QByteArray& kind) const;

    QLocalServer* Server;
    std::function<void()> OnShow;
};

// Asks the running copy to show its window. False when no running copy's window was found.
bool RequestShow(const QString& windowClass);

// Asks the running copy one request line and returns all it answers before it closes, without the
// keep-alive bytes ahead of it; none when no running copy was found. Waits up to timeoutMs for each
// step, a keep-alive byte counting as one. With onLine the answer is read as lines, each handed
// over as it comes without its end and the keep-alive bytes ahead of it, and all of them returned.
// The whole answer may take totalMs at most (-1: no limit); what came until then is returned.
std::optional<QByteArray> AskRunning(const QString& windowClass, const QByteArray& request, int timeoutMs = 10000,
                                     const std::function<void(const QByteArray& line)>& onLine = {}, int totalMs = -1);
