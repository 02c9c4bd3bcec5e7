#pragma once
#include <QMap>
#include <QString>

#include "serial/LineSettings.h"

// The line as the settings file keeps it under RS\: what is stored there, each value that is none
// its setting may hold read as its default.
TLineSettings ReadLineSettings();
// The line's values by their keys, as the file holds them.
QMap<QString, QString> StoredLine(const TLineSettings& line);
