#include "core/BPasswrd.h"

#include "core/BCommon.h"
#include "platform/Cp932.h"
#include "ui_BPasswrd.h"

#include <QGuiApplication>
#include <QRegularExpressionValidator>
#include <QScreen>

namespace {

// Trimming as the password entry expects it: every character up to and
// including the blank (control characters too) counts as blank.
QString TrimBlanksAndControls(const QString &text)
{
    qsizetype begin = 0, end = text.size();
    while (begin < end && text.at(begin).unicode() <= ' ')
        ++begin;
    while (end > begin && text.at(end - 1).unicode() <= ' ')
        --end;
    return text.mid(begin, end - begin);
}

} // namespace

TBPasswordDlg::TBPasswordDlg(QWidget *parent) : QDialog(parent), ui(std::make_unique<Ui::TBPasswordDlg>())
{
    ui->setupUi(this);
    ui->Password->setMaxLength(MaxPasswordLength);
    ui->Password->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[\\x20-\\x7E]{0,%1}").arg(MaxPasswordLength)), ui->Password));
    connect(ui->OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

TBPasswordDlg::~TBPasswordDlg() = default;

// Centred on the screen, with the entry ready for typing.
void TBPasswordDlg::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    ui->Password->setFocus();
}

bool ShowPasswordDialog(QWidget *owner, const QString &title, const QString &initialText, QByteArray &result,
                        bool convert, const QString &labelText, QChar passwordChar)
{
    TBPasswordDlg dialog(owner);
    dialog.setWindowTitle((title.isEmpty() ? QStringLiteral("Password") : title) + QStringLiteral(" Dialog Box"));
    dialog.ui->Password->setText(initialText);
    if (passwordChar.isNull()) {
        dialog.ui->Password->setEchoMode(QLineEdit::Normal);
    } else {
        dialog.ui->Password->setEchoMode(QLineEdit::Password);
        dialog.ui->Password->setStyleSheet(
            QStringLiteral("lineedit-password-character: %1").arg(passwordChar.unicode()));
    }
    dialog.ui->EnterLabel->setText(labelText);

    const bool confirmed = dialog.exec() == QDialog::Accepted;
    result = confirmed ? plat::ToCp932(TrimBlanksAndControls(dialog.ui->Password->text())) : QByteArray();
    if (convert)
        result = ConvertPassword(result);
    return confirmed;
}
