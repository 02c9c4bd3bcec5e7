#include "platform/ErrorReport.h"

#include "platform/Dialogs.h"
#include "platform/Exception.h"
#include "platform/SyncQueue.h"

QString ErrorReportText(const QString& message) {
    return message.endsWith(QLatin1Char('.')) ? message : message + QLatin1Char('.');
}

void ReportCurrentException() {
    QString text;
    try {
        throw;
    } catch (const EQuellorError& error) {
        text = error.Message;
    } catch (const std::exception& error) {
        text = QString::fromUtf8(error.what());
    } catch (...) {
        text = QStringLiteral("Unknown error");
    }
    ShowErrorBox(ErrorReportText(text));
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Quellor"));
    setQuitOnLastWindowClosed(false);
    TSyncQueue::Instance();
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ReportCurrentException();
        return true;
    }
}

bool ApplicationTerminating() { return QCoreApplication::closingDown(); }
