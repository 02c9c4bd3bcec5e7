#pragma once
#include <QString>
#include <cstdio>

// Copies log lines to a stream (standard error in a headless run). A run of lines identical
// but for the time stamp is written once, followed by "repeated N times", so that a missing
// device cannot flood a journal.
class TLogEcho {
public:
    explicit TLogEcho(FILE* stream = stderr) : Stream(stream) {}
    ~TLogEcho() { Flush(); }

    // stamp: the time stamp, written before the text; text: what is compared.
    void Echo(const QString& stamp, const QString& text);
    void Flush();

private:
    FILE* Stream;
    QString Last;
    bool HasLast = false;
    int Repeats = 0;
};
