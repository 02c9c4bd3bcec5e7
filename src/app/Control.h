#pragma once
#include <QByteArray>
#include <QJsonObject>
#include <QPointer>
#include <QString>
#include <vector>

#include "app/Reload.h"
#include "platform/SingleInstance.h"

struct TWindows;

// The requests a running bridge answers on its local socket besides "show", each a first word.
namespace control {
inline const QByteArray Journal = "journal";
inline const QByteArray SensitiveJournal = "journal sensitive";
inline const QByteArray Status = "status";
inline const QByteArray Check = "check";
inline const QByteArray Detect = "detect";
inline const QByteArray Reload = "reload";
} // namespace control

// The name of the running bridge's socket: the default bridge's, or with "-NAME" the named one's.
QString ControlSocketName(const QString& instance);

// What a running bridge answers those who ask it: its journal, its status, Check Device, Start
// without a browser, and a reload of its settings. Answers are one JSON object on a line of its
// own; Start's asker hears each port of the pass on a line of text ahead of it.
class TControl {
public:
    TControl(TWindows& windows, const QString& instance);
    ~TControl();
    TControl(const TControl&) = delete;
    TControl& operator=(const TControl&) = delete;

    // The limits on askers at once of each kind.
    static void SetLimits(TShowServer& server);
    void Answer(const QByteArray& request, QObject* asker, const TShowServer::TAnswer& answer);
    QJsonObject Status() const;
    // Reads the settings file again and logs what it did, after a line saying who asked.
    TReloadReport Reload(const QByteArray& asker);

private:
    // An asker waiting for a check or a pass; one that left is dropped when the next comes.
    struct TAsker {
        QPointer<QObject> Asker;
        TShowServer::TAnswer Answer;
    };
    void AnswerCheck(QObject* asker, const TShowServer::TAnswer& answer);
    void AnswerDetect(QObject* asker, const TShowServer::TAnswer& answer);
    void AnswerReload(const TShowServer::TAnswer& answer);
    void TellPass(const QByteArray& line);
    void PassConcluded();

    TWindows& Windows;
    QString Instance;
    std::vector<TAsker> CheckAskers;
    std::vector<TAsker> PassAskers;
};

// The device's state as the status gives it: "answers", "silent", "port-error" or "unknown".
QString DeviceState(uint8_t probeResult);
