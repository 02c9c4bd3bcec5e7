#pragma once
#include <QApplication>
#include <QString>

// The text of the general error report: a full stop is appended unless the text ends with one.
QString ErrorReportText(const QString& message);
// Shows the general error report for the exception being handled; the program goes on.
void ReportCurrentException();

// The application object: an exception that leaves an event handler or a timer slot is shown
// in the general error report instead of ending the program.
class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// True once the application's event loop is being torn down.
bool ApplicationTerminating();
