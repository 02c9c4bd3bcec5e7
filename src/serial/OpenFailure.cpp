#include "serial/OpenFailure.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <grp.h>
#include <map>
#include <mutex>
#include <tuple>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "serial/PortNames.h"

namespace {
const QString ReadmeHint = QStringLiteral(" (see \"When the port will not open\" in the README)");
const QStringList Grabbers = {QStringLiteral("ModemManager"), QStringLiteral("brltty")};

// What the user knows the port as: the target of its map entry, else the node itself.
QString ShownNode(const QString& name) {
    const TPortTarget target = ResolvePort(name);
    const QFileInfo info(target.Node);
    return target.Mapped && info.isSymLink() ? info.symLinkTarget() : target.Node;
}

TOpenFacts::TMembership Membership(gid_t gid) {
    std::vector<gid_t> held(static_cast<size_t>(std::max(0, getgroups(0, nullptr))));
    held.resize(static_cast<size_t>(std::max(0, getgroups(static_cast<int>(held.size()), held.data()))));
    if (getegid() == gid || std::find(held.begin(), held.end(), gid) != held.end())
        return TOpenFacts::InSession;
    const passwd* user = getpwuid(getuid());
    const group* entry = getgrgid(gid);
    if (!user || !entry)
        return TOpenFacts::NotMember;
    for (char** member = entry->gr_mem; *member; ++member)
        if (std::strcmp(*member, user->pw_name) == 0)
            return TOpenFacts::MemberNotInSession;
    return TOpenFacts::NotMember;
}

void AddGroup(TOpenFacts& facts) {
    struct stat info {};
    if (::stat(QFile::encodeName(facts.Node).constData(), &info) != 0)
        return;
    const group* entry = getgrgid(info.st_gid);
    facts.Group = entry ? QString::fromLocal8Bit(entry->gr_name) : QString::number(info.st_gid);
    facts.Membership = Membership(info.st_gid);
}

bool HoldsNode(const QString& processDir, const QString& node) {
    const QDir fds(processDir + QStringLiteral("/fd"));
    for (const QString& fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot))
        if (QFileInfo(fds.filePath(fd)).symLinkTarget() == node)
            return true;
    return false;
}

void AddHolders(TOpenFacts& facts, const QString& procRoot) {
    const QString node = QFileInfo(facts.Node).canonicalFilePath();
    const QDir proc(procRoot);
    for (const QString& pid : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (pid.toInt() <= 0)
            continue;
        QFile commFile(proc.filePath(pid + QStringLiteral("/comm")));
        if (!commFile.open(QIODevice::ReadOnly))
            continue;
        const QString comm = QString::fromLocal8Bit(commFile.readAll()).trimmed();
        if (Grabbers.contains(comm) && facts.Grabber.isEmpty()) {
            facts.Grabber = comm;
            facts.GrabberPid = pid.toInt();
        }
        if (facts.Holder.isEmpty() && !node.isEmpty() && HoldsNode(proc.filePath(pid), node)) {
            facts.Holder = comm + QStringLiteral(" (pid ") + pid + QLatin1Char(')');
            facts.HolderPid = pid.toInt();
        }
    }
}

QString Comm(const QString& procRoot, int pid) {
    QFile file(procRoot + QLatin1Char('/') + QString::number(pid) + QStringLiteral("/comm"));
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()).trimmed() : QString();
}

// One failure of one node: the node's identity and attributes (any change of owner, group or
// mode changes its ctime), so that a node replaced or changed is explained afresh.
struct TFailureKey {
    QString Name, Node, SetUpError, ProcRoot;
    int Error = 0;
    dev_t Dev = 0, Rdev = 0;
    ino_t Ino = 0;
    long CtimeSec = 0, CtimeNsec = 0;

    auto Tie() const { return std::tie(Name, Node, SetUpError, ProcRoot, Error, Dev, Rdev, Ino, CtimeSec, CtimeNsec); }
    bool operator<(const TFailureKey& other) const { return Tie() < other.Tie(); }
};

struct TKeptFailure {
    TOpenFailure Failure;
    // The processes it names, by pid and name, so that one that ended (or a reused pid) shows.
    int HolderPid = 0, GrabberPid = 0;
    QString HolderComm, GrabberComm;
    std::chrono::steady_clock::time_point Since;
};

constexpr auto KeepAtMost = std::chrono::minutes(1);
std::mutex KeptLock;
std::map<TFailureKey, TKeptFailure> Kept;

bool StillTrue(const TKeptFailure& kept, const QString& procRoot) {
    if (std::chrono::steady_clock::now() - kept.Since > KeepAtMost)
        return false;
    if (kept.HolderPid > 0 && Comm(procRoot, kept.HolderPid) != kept.HolderComm)
        return false;
    return kept.GrabberPid <= 0 || Comm(procRoot, kept.GrabberPid) == kept.GrabberComm;
}

TOpenFailure Permission(const TOpenFacts& facts, const QString& start) {
    const QString denied = QStringLiteral(", permission denied");
    if (facts.Membership == TOpenFacts::MemberNotInSession)
        return {start + denied + QStringLiteral(": your user is in the group ") + facts.Group +
                    QStringLiteral(", but this session began before that: log in again"),
                QStringLiteral("permission denied: log in again")};
    if (facts.Membership == TOpenFacts::NotMember && !facts.Group.isEmpty() && facts.Group != QLatin1String("root"))
        return {start + denied + QStringLiteral(": add your user to the group ") + facts.Group +
                    QStringLiteral(" (sudo usermod -aG ") + facts.Group + QStringLiteral(" $USER), then log in again"),
                QStringLiteral("permission denied (group ") + facts.Group + QLatin1Char(')')};
    return {start + denied + QStringLiteral(" to your user") + ReadmeHint, QStringLiteral("permission denied")};
}

TOpenFailure Busy(const TOpenFacts& facts, const QString& start) {
    const QString inUse = QStringLiteral(", which is in use by another program");
    if (!facts.Holder.isEmpty())
        return {start + inUse + QStringLiteral(": ") + facts.Holder, QStringLiteral("in use by ") + facts.Holder};
    if (!facts.Grabber.isEmpty())
        return {start + inUse + QStringLiteral(", perhaps ") + facts.Grabber + QStringLiteral(", which is running") +
                    ReadmeHint,
                QStringLiteral("in use (") + facts.Grabber + QStringLiteral("?)")};
    return {start + inUse + ReadmeHint, QStringLiteral("in use by another program")};
}
} // namespace

TOpenFailure DescribeOpenFailure(const TOpenFacts& facts) {
    const QString start = facts.Name == facts.Node ? facts.Node : facts.Name + QStringLiteral(" is ") + facts.Node;
    if (!facts.SetUpError.isEmpty())
        return {start + QStringLiteral(", which opened but refused the line settings (") + facts.SetUpError +
                    QLatin1Char(')'),
                QStringLiteral("line settings refused")};
    switch (facts.Error) {
    case ENOENT:
        return {start + QStringLiteral(", which does not exist (is the device plugged in?)"),
                facts.Node + QStringLiteral(" does not exist")};
    case ENXIO:
    case ENODEV:
        return {start + QStringLiteral(", which has no device behind it (is the device plugged in?)"),
                QStringLiteral("no device behind ") + facts.Node};
    case EACCES:
    case EPERM: return Permission(facts, start);
    case EBUSY:
    case EWOULDBLOCK: return Busy(facts, start);
    case -1: return {start + QStringLiteral(", which is not a serial port"), QStringLiteral("not a serial port")};
    default: {
        const QString reason = QString::fromLocal8Bit(std::strerror(facts.Error));
        return {start + QStringLiteral(", which cannot be opened: ") + reason, reason};
    }
    }
}

TOpenFailure ExplainOpenFailure(const QString& name, int error, const QString& setUpError, const QString& procRoot) {
    TOpenFacts facts;
    facts.Name = name;
    facts.Node = ShownNode(name);
    facts.Error = error;
    facts.SetUpError = setUpError;
    TFailureKey key{name, facts.Node, setUpError, procRoot, error};
    if (struct stat info {}; ::stat(QFile::encodeName(facts.Node).constData(), &info) == 0) {
        key.Dev = info.st_dev;
        key.Rdev = info.st_rdev;
        key.Ino = info.st_ino;
        key.CtimeSec = info.st_ctim.tv_sec;
        key.CtimeNsec = info.st_ctim.tv_nsec;
    }
    const std::lock_guard lock(KeptLock);
    if (const auto kept = Kept.find(key); kept != Kept.end()) {
        if (StillTrue(kept->second, procRoot))
            return kept->second.Failure;
        Kept.erase(kept);
    }
    if (error == EACCES || error == EPERM)
        AddGroup(facts);
    if (error == EBUSY || error == EWOULDBLOCK)
        AddHolders(facts, procRoot);
    const TOpenFailure failure = DescribeOpenFailure(facts);
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(Kept, [&](const auto& entry) { return now - entry.second.Since > KeepAtMost; });
    Kept[key] = {failure, facts.HolderPid, facts.GrabberPid, facts.HolderPid > 0 ? Comm(procRoot, facts.HolderPid) : QString(),
                 facts.GrabberPid > 0 ? Comm(procRoot, facts.GrabberPid) : QString(), now};
    return failure;
}

void ForgetOpenFailure(const QString& name) {
    const std::lock_guard lock(KeptLock);
    std::erase_if(Kept, [&](const auto& entry) { return entry.first.Name == name; });
}
