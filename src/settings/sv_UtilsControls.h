#pragma once
#include <QString>
#include <memory>
#include <vector>

class QObject;
class QWidget;

class TsvControls;

// Entries "name=value", each possibly carrying the nested snapshot of a control that has controls.
class TsvControlsList {
public:
    struct TEntry {
        QString Text;
        std::unique_ptr<TsvControls> Nested;
    };

    void Add(QString text, std::unique_ptr<TsvControls> nested);
    const TEntry* Find(const QString& text) const;  // whole entry, letter case ignored
    int Count() const { return static_cast<int>(Entries.size()); }
    const TEntry& operator[](int index) const { return Entries[static_cast<size_t>(index)]; }

private:
    std::vector<TEntry> Entries;
};

// A snapshot of the values its owner's controls show, to tell later whether the user
// really changed something.
class TsvControls {
public:
    explicit TsvControls(QObject* owner);
    bool IsUnchanged() const;
    const TsvControlsList& List() const { return Items; }

private:
    QObject* Owner;
    TsvControlsList Items;
};

// The value text of one control: check box 1/0, radio group or drop-down list the selected
// index (-1 for none), one-line text field its text, anything else empty.
QString ControlValueText(const QWidget* control);
