#include "support/Hub.h"

#include <QPlainTextEdit>

#include "platform/LogEcho.h"

int THubRecorder::Count(int msg) const {
    int count = 0;
    for (const auto& [number, wParam] : Messages)
        count += number == msg;
    return count;
}

bool THubRecorder::event(QEvent* event) {
    if (event->type() != TWinMessage::EventType())
        return QObject::event(event);
    const auto* message = static_cast<TWinMessage*>(event);
    Messages.append({message->Msg, message->WParam});
    return true;
}

TSides::TSides() {
    Params.SetParts(&Rs, &Tcp);
    Dist.Echo.reset();
}

// The log's lines with the time stamps taken off.
QStringList TSides::Log() const {
    QStringList lines;
    for (const QString& line : Dist.Memo1->toPlainText().split('\n', Qt::SkipEmptyParts)) {
        qsizetype at = line.indexOf(QLatin1String(" RS: "));
        if (at < 0)
            at = line.indexOf(QLatin1String(" TCP: "));
        lines << (at < 0 ? line : line.mid(at + 1));
    }
    return lines;
}
