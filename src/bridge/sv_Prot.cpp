#include "bridge/sv_Prot.h"

bool TsvProt::PutChunk(const QByteArray& chunk) {
    Items.append(chunk);
    return true;
}

int32_t TsvProt::TakeChunk(QByteArray& text) {
    text.clear();
    while (!Items.isEmpty()) {
        text = Items.takeFirst();
        if (!text.isEmpty())
            break;
    }
    return static_cast<int32_t>(text.size());
}

void TsvProt::PassThrough(const QByteArray& in, QByteArray& out) { out = in; }
