#include "app/UnitAbout.h"

#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>

#include "platform/ShellOpen.h"

namespace {
QLabel* Text(QWidget* parent, const char* name, const QString& text, int top) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->move(24, top);
    label->adjustSize();
    return label;
}
} // namespace

TFormAbout::TFormAbout(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("FormAbout"));
    setWindowTitle(QStringLiteral("About"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(272, 213);
    TextName = Text(this, "TextName", QStringLiteral("Quellor"), 24);
    QFont bold = TextName->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.4);
    TextName->setFont(bold);
    TextName->adjustSize();
    TextVer = Text(this, "TextVer", QStringLiteral("TextVer"), 56);
    MakerLine = Text(this, "MakerLine", QStringLiteral("Made by the Quellor team"), 88);
    LabelURL = Text(this, "LabelURL", QLatin1String(MakerURL), 120);
    LabelURL->setStyleSheet(QStringLiteral("color: blue;"));
    LabelURL->setCursor(Qt::PointingHandCursor);
    LabelURL->installEventFilter(this);
    Button1 = new QPushButton(QStringLiteral("OK"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(104, 168, 75, 25);
    connect(Button1, &QPushButton::clicked, this, &QWidget::hide);

    TextVer->setText(QStringLiteral("Version: 1.2"));
    TextVer->adjustSize();
    for (QWidget* control : {static_cast<QWidget*>(TextName), static_cast<QWidget*>(TextVer),
                             static_cast<QWidget*>(MakerLine), static_cast<QWidget*>(LabelURL)})
        CenterControl(control);
}

void TFormAbout::CenterControl(QWidget* control) {
    const int d = frameGeometry().width() - control->width();
    if (d > 0)
        control->move(d / 2, control->y());
}

void TFormAbout::LabelURLClick() { ShellOpen(LabelURL->text()); }

bool TFormAbout::eventFilter(QObject* watched, QEvent* event) {
    if (watched == LabelURL && event->type() == QEvent::MouseButtonRelease) {
        LabelURLClick();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void TFormAbout::showEvent(QShowEvent* event) {
    if (!Placed) {
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            move(screen->availableGeometry().center() - rect().center());
        Placed = true;
    }
    QDialog::showEvent(event);
}
