#include "platform/Tracing.h"

Q_LOGGING_CATEGORY(lcSerial, "quellor.serial", QtWarningMsg)
Q_LOGGING_CATEGORY(lcTcp, "quellor.tcp", QtWarningMsg)
Q_LOGGING_CATEGORY(lcBridge, "quellor.bridge", QtWarningMsg)
Q_LOGGING_CATEGORY(lcDetect, "quellor.detect", QtWarningMsg)
