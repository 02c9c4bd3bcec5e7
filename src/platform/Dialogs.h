#pragma once
#include <QString>
#include <QStringList>
#include <deque>
#include <memory>

enum class TBoxIcon { Error, Question };
enum class TBoxButtons { Ok, YesNo, YesNoCancel };
enum class TBoxAnswer { Ok, Yes, No, Cancel };

struct TBox {
    QString Caption;
    QString Text;
    TBoxIcon Icon;
    TBoxButtons Buttons;
};

// Every modal message box of the program goes through this interface, so that tests can
// answer them and a headless run can report them on standard error.
class TDialogs {
public:
    virtual ~TDialogs() = default;
    virtual TBoxAnswer Show(const TBox& box) = 0;
};

TDialogs& Dialogs();
void SetDialogs(std::unique_ptr<TDialogs> dialogs);

// Error box with an OK button, captioned with the application title.
void ShowErrorBox(const QString& text);
// Confirmation box ("Confirm", question icon); Yes is the default button.
TBoxAnswer AskQuestion(const QString& text, TBoxButtons buttons);

class QMessageBox;
// The box TQtDialogs shows for the box described.
std::unique_ptr<QMessageBox> MessageBoxFor(const TBox& box);

class TQtDialogs : public TDialogs {
public:
    TBoxAnswer Show(const TBox& box) override;
};

// Writes the text to standard error and takes the default answer.
class THeadlessDialogs : public TDialogs {
public:
    TBoxAnswer Show(const TBox& box) override;
};

// For tests: records every box and answers from a queue; an empty queue answers OK to an
// error box and Cancel (or No) to a question, the answer that changes least.
class TScriptedDialogs : public TDialogs {
public:
    TBoxAnswer Show(const TBox& box) override;

    std::deque<TBoxAnswer> Answers;
    QStringList Texts;
    std::deque<TBox> Boxes;
};
