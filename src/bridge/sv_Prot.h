#pragma once
#include <QByteArray>
#include <QList>
#include <cstdint>

// The receive queue: the serial side appends each block it reads; the dispatcher drains
// everything that has gathered when its turn comes.
class TsvProt {
public:
    virtual ~TsvProt() = default;
    virtual bool PutChunk(const QByteArray& chunk);
    // The first non-empty block (empty blocks on the way are dropped); 0 and empty when none is left.
    virtual int32_t TakeChunk(QByteArray& text);
    virtual void PassThrough(const QByteArray& in, QByteArray& out);

private:
    QList<QByteArray> Items;
};
