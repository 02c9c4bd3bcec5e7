#pragma once
#include <QDir>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>

#include "detect/EnumDevices.h"

// A fake /sys, /dev and port map under one temporary folder.
class TFakeSystem {
public:
    TFakeSystem() {
        QDir().mkpath(Sys("class/tty"));
        QDir().mkpath(Dev());
        QDir().mkpath(Map());
    }
    QString Sys(const QString& path = {}) const { return Root.path() + "/sys/" + path; }
    QString Dev(const QString& name = {}) const { return Root.path() + "/dev/" + name; }
    QString Map(const QString& name = {}) const { return Root.path() + "/ports/" + name; }

    // A tty whose device folder is `device` (below sys/devices), with the given driver and attributes.
    void AddTty(const QString& name, const QString& device, const QString& driver,
                const QMap<QString, QString>& attributes = {}, const QString& ttyAttributes = {}) {
        const QString deviceDir = Sys("devices/" + device);
        const QString ttyDir = deviceDir + "/tty/" + name;
        QDir().mkpath(ttyDir);
        QFile::link(deviceDir, ttyDir + "/device");
        QDir().mkpath(Sys("bus/drivers/" + driver));
        QFile::link(Sys("bus/drivers/" + driver), deviceDir + "/driver");
        for (auto it = attributes.begin(); it != attributes.end(); ++it)
            Write(Sys("devices/" + it.key()), it.value());
        if (!ttyAttributes.isEmpty())
            Write(ttyDir + "/type", ttyAttributes);
        QFile::link(ttyDir, Sys("class/tty/" + name));
        Write(Dev(name), "");
    }
    void AddVirtual(const QString& name) {
        QDir().mkpath(Sys("devices/virtual/tty/" + name));
        QFile::link(Sys("devices/virtual/tty/" + name), Sys("class/tty/" + name));
    }
    static void Write(const QString& path, const QString& text) {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(text.toUtf8() + "\n");
    }
    TEnumSources Sources() const {
        TEnumSources sources;
        sources.SysfsRoot = Root.path() + "/sys";
        sources.DevRoot = Root.path() + "/dev";
        sources.MapFolder = Map();
        sources.IsPlaceholder = [this](const QString& node) { return Placeholders.contains(node); };
        return sources;
    }

    QStringList Placeholders;
    QTemporaryDir Root;
};
