#pragma once
// Answers the modal dialogs that a handler under test opens, in order: each
// answer runs once the application's active modal widget carries its object
// name ("TBPasswordDlg", a message box's or file dialog's own name).
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <deque>
#include <functional>

namespace testsupport {

class ModalAnswers {
public:
    using Answer = std::function<void(QWidget *dialog)>;

    ModalAnswers();
    // Queues an answer for the next modal dialog named name.
    ModalAnswers &then(const QString &name, Answer answer);
    // Every queued answer has run.
    bool done() const { return answers_.empty(); }

private:
    void poll();

    struct Pending {
        QString name;
        Answer answer;
    };
    std::deque<Pending> answers_;
    QPointer<QWidget> last_; // the dialog answered last, never answered twice
    QTimer timer_;
};

// Common answers.
// Types text into the password dialog's edit and confirms it.
ModalAnswers::Answer EnterPassword(const QString &text);
// Cancels the password dialog.
ModalAnswers::Answer CancelPassword();
// Presses a message box's button.
ModalAnswers::Answer PressButton(int standardButton);
// Chooses a file in a file dialog.
ModalAnswers::Answer ChooseFile(const QString &path);

} // namespace testsupport
