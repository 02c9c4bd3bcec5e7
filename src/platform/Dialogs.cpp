#include "platform/Dialogs.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <cstdio>

namespace {
std::unique_ptr<TDialogs>& Current() {
    static std::unique_ptr<TDialogs> dialogs = std::make_unique<TQtDialogs>();
    return dialogs;
}

QMessageBox::StandardButtons QtButtons(TBoxButtons buttons) {
    switch (buttons) {
    case TBoxButtons::Ok: return QMessageBox::Ok;
    case TBoxButtons::YesNo: return QMessageBox::Yes | QMessageBox::No;
    case TBoxButtons::YesNoCancel: return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    }
    return QMessageBox::Ok;
}

TBoxAnswer FromQt(int button) {
    switch (button) {
    case QMessageBox::Yes: return TBoxAnswer::Yes;
    case QMessageBox::No: return TBoxAnswer::No;
    case QMessageBox::Cancel: return TBoxAnswer::Cancel;
    default: return TBoxAnswer::Ok;
    }
}

TBoxAnswer DefaultAnswer(TBoxButtons buttons) {
    return buttons == TBoxButtons::Ok ? TBoxAnswer::Ok : TBoxAnswer::Yes;
}
} // namespace

TDialogs& Dialogs() { return *Current(); }

void SetDialogs(std::unique_ptr<TDialogs> dialogs) { Current() = std::move(dialogs); }

void ShowErrorBox(const QString& text) {
    Dialogs().Show({QCoreApplication::applicationName(), text, TBoxIcon::Error, TBoxButtons::Ok});
}

TBoxAnswer AskQuestion(const QString& text, TBoxButtons buttons) {
    return Dialogs().Show({QStringLiteral("Confirm"), text, TBoxIcon::Question, buttons});
}

// A box is answered, not resized: its frame has no minimise and maximise buttons.
std::unique_ptr<QMessageBox> MessageBoxFor(const TBox& box) {
    auto message = std::make_unique<QMessageBox>(box.Icon == TBoxIcon::Error ? QMessageBox::Critical
                                                                              : QMessageBox::Question,
                                                 box.Caption, box.Text, QtButtons(box.Buttons));
    message->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    if (box.Buttons != TBoxButtons::Ok)
        message->setDefaultButton(QMessageBox::Yes);
    if (box.Buttons == TBoxButtons::YesNoCancel)
        message->setEscapeButton(QMessageBox::Cancel);
    return message;
}

TBoxAnswer TQtDialogs::Show(const TBox& box) { return FromQt(MessageBoxFor(box)->exec()); }

TBoxAnswer THeadlessDialogs::Show(const TBox& box) {
    std::fprintf(stderr, "%s: %s\n", qPrintable(box.Caption), qPrintable(box.Text));
    std::fflush(stderr);
    return DefaultAnswer(box.Buttons);
}

TBoxAnswer TScriptedDialogs::Show(const TBox& box) {
    Texts << box.Text;
    Boxes.push_back(box);
    if (!Answers.empty()) {
        const TBoxAnswer answer = Answers.front();
        Answers.pop_front();
        return answer;
    }
    switch (box.Buttons) {
    case TBoxButtons::Ok: return TBoxAnswer::Ok;
    case TBoxButtons::YesNo: return TBoxAnswer::No;
    case TBoxButtons::YesNoCancel: return TBoxAnswer::Cancel;
    }
    return TBoxAnswer::Ok;
}
