#include "core/BAppli.h"

#include "core/BFolder.h"
#include "ui_BAppli.h"

#include <QDir>
#include <QFileSystemModel>

TBAppliDlg *BAppliDlg = nullptr;

TBAppliDlg::TBAppliDlg(QWidget *parent)
    : QDialog(parent), ui(std::make_unique<Ui::TBAppliDlg>())
{
    ui->setupUi(this);
    SetUpFolderList(ui->DriveBox, ui->DirBox);
    Files = new QFileSystemModel(this);
    Files->setFilter(QDir::Files | QDir::NoDotAndDotDot);
    Files->sort(0);
    ui->FileBox->setModel(Files);
    // The file list follows the folder list.
    connect(ui->DirBox->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this] { ui->FileBox->setRootIndex(Files->setRootPath(Folder())); });
    connect(ui->OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

TBAppliDlg::~TBAppliDlg() = default;

void TBAppliDlg::SetFolder(const QString &folder)
{
    SetListFolder(ui->DirBox, folder);
}

QString TBAppliDlg::Folder() const
{
    return ListFolder(ui->DirBox);
}

void TBAppliDlg::SelectFile(const QString &name)
{
    ui->FileBox->setCurrentIndex(Files->index(QDir(Folder()).filePath(name)));
}

QString TBAppliDlg::FileName() const
{
    const QModelIndex index = ui->FileBox->currentIndex();
    return index.isValid() ? Files->fileName(index) : QString();
}
