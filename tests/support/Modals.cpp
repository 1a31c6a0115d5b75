#include "Modals.h"

#include "core/BPasswrd.h"
#include "ui_BPasswrd.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

namespace testsupport {

ModalAnswers::ModalAnswers()
{
    QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
    timer_.start(5);
}

ModalAnswers &ModalAnswers::then(const QString &name, Answer answer)
{
    answers_.push_back({name, std::move(answer)});
    return *this;
}

void ModalAnswers::poll()
{
    QWidget *dialog = QApplication::activeModalWidget();
    if (!dialog || dialog == last_ || answers_.empty() || dialog->objectName() != answers_.front().name)
        return;
    last_ = dialog;
    const Answer answer = std::move(answers_.front().answer);
    answers_.pop_front();
    answer(dialog);
}

ModalAnswers::Answer EnterPassword(const QString &text)
{
    return [text](QWidget *dialog) {
        auto *password = static_cast<TBPasswordDlg *>(dialog);
        QTest::keyClicks(password->ui->Password, text);
        password->ui->OKBtn->click();
    };
}

ModalAnswers::Answer CancelPassword()
{
    return [](QWidget *dialog) { static_cast<TBPasswordDlg *>(dialog)->ui->CancelBtn->click(); };
}

ModalAnswers::Answer PressButton(int standardButton)
{
    return [standardButton](QWidget *dialog) {
        static_cast<QMessageBox *>(dialog)->button(static_cast<QMessageBox::StandardButton>(standardButton))->click();
    };
}

ModalAnswers::Answer ChooseFile(const QString &path)
{
    return [path](QWidget *dialog) {
        auto *files = static_cast<QFileDialog *>(dialog);
        files->selectFile(path);
        static_cast<QDialog *>(files)->accept(); // QFileDialog::accept, through its public base
    };
}

} // namespace testsupport
