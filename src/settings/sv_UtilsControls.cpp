#include "settings/sv_UtilsControls.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QRadioButton>
#include <functional>

namespace {
// Qt's own inner widgets carry "qt_" names and are no controls of the form; neither is a widget
// without a name. The controls inside either count as their owner's, as the controls on a tab
// page's inner stack do.
void CollectControls(const QObject* parent, QList<QWidget*>& controls) {
    for (QObject* child : parent->children()) {
        auto* control = qobject_cast<QWidget*>(child);
        if (!control)
            continue;
        if (control->objectName().isEmpty() || control->objectName().startsWith(QLatin1String("qt_")))
            CollectControls(control, controls);
        else
            controls << control;
    }
}

QList<QWidget*> NamedControls(const QObject* owner) {
    QList<QWidget*> controls;
    CollectControls(owner, controls);
    return controls;
}

bool HasControls(const QWidget* control) { return !NamedControls(control).isEmpty(); }

QString RadioGroupValue(const QGroupBox* group) {
    const QList<QRadioButton*> buttons = group->findChildren<QRadioButton*>(Qt::FindDirectChildrenOnly);
    for (int i = 0; i < buttons.size(); ++i)
        if (buttons[i]->isChecked())
            return QString::number(i);
    return QStringLiteral("-1");
}

// Runs the visit over the entries the snapshot rules give for the owner's controls.
void VisitEntries(const QObject* owner, const std::function<bool(const QString&, QWidget*)>& visit) {
    for (QWidget* control : NamedControls(owner)) {
        QString value = ControlValueText(control);
        const bool nested = HasControls(control);
        if (value.isEmpty()) {
            if (!nested)
                continue;
            value = control->objectName();
        }
        if (!visit(control->objectName() + QLatin1Char('=') + value, nested ? control : nullptr))
            return;
    }
}
} // namespace

QString ControlValueText(const QWidget* control) {
    if (auto* box = qobject_cast<const QCheckBox*>(control))
        return box->isChecked() ? QStringLiteral("1") : QStringLiteral("0");
    if (auto* group = qobject_cast<const QGroupBox*>(control);
        group && !group->findChildren<QRadioButton*>(Qt::FindDirectChildrenOnly).isEmpty())
        return RadioGroupValue(group);
    if (auto* list = qobject_cast<const QComboBox*>(control))
        return QString::number(list->currentIndex());
    if (auto* edit = qobject_cast<const QLineEdit*>(control))
        return edit->text();
    return {};
}

void TsvControlsList::Add(QString text, std::unique_ptr<TsvControls> nested) {
    Entries.push_back({std::move(text), std::move(nested)});
}

const TsvControlsList::TEntry* TsvControlsList::Find(const QString& text) const {
    for (const TEntry& entry : Entries)
        if (entry.Text.compare(text, Qt::CaseInsensitive) == 0)
            return &entry;
    return nullptr;
}

TsvControls::TsvControls(QObject* owner) : Owner(owner) {
    VisitEntries(Owner, [this](const QString& text, QWidget* nested) {
        Items.Add(text, nested ? std::make_unique<TsvControls>(nested) : nullptr);
        return true;
    });
}

bool TsvControls::IsUnchanged() const {
    bool unchanged = true;
    VisitEntries(Owner, [&](const QString& text, QWidget*) {
        const TsvControlsList::TEntry* entry = Items.Find(text);
        unchanged = entry && (!entry->Nested || entry->Nested->IsUnchanged());
        return unchanged;
    });
    return unchanged;
}
