#pragma once
#include <QString>
#include <exception>
#include <string>

// Base of the program's own errors: a message text meant for the user.
class EQuellorError : public std::exception {
public:
    explicit EQuellorError(QString message) : Message(std::move(message)), Utf8(Message.toStdString()) {}
    const char* what() const noexcept override { return Utf8.c_str(); }

    QString Message;

private:
    std::string Utf8;
};

// Raises "Range check error": a value outside the range its use allows.
[[noreturn]] inline void RaiseRangeError() { throw EQuellorError(QStringLiteral("Range check error")); }
