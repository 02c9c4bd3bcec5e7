#pragma once
#include <QLoggingCategory>

// Tracing, off by default: QT_LOGGING_RULES="quellor.*=true" (or one category) switches it on.
// quellor.serial shows the bytes written and read in hex.
Q_DECLARE_LOGGING_CATEGORY(lcSerial)
Q_DECLARE_LOGGING_CATEGORY(lcTcp)
Q_DECLARE_LOGGING_CATEGORY(lcBridge)
Q_DECLARE_LOGGING_CATEGORY(lcDetect)
