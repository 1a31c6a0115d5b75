#include "core/BFolder.h"

#include "ui_BFolder.h"

#include <QComboBox>
#include <QDir>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QTreeView>

TBFolderDlg *BFolderDlg = nullptr;

namespace {

QFileSystemModel *FolderModel(const QTreeView *dirBox)
{
    return qobject_cast<QFileSystemModel *>(dirBox->model());
}

} // namespace

void SetUpFolderList(QComboBox *driveBox, QTreeView *dirBox)
{
    auto *model = new QFileSystemModel(dirBox);
    model->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
    model->setRootPath(QDir::rootPath());
    dirBox->setModel(model);
    // The folder names alone: size, type and date say nothing about a folder.
    for (int column = 1; column < model->columnCount(); ++column)
        dirBox->hideColumn(column);
    dirBox->header()->hide();
    dirBox->sortByColumn(0, Qt::AscendingOrder);
    dirBox->setSortingEnabled(true);
    // Folders are read in the background: once the chosen folder's parents
    // are read, the list shows it.
    QObject::connect(model, &QFileSystemModel::directoryLoaded, dirBox, [dirBox, model](const QString &path) {
        const QString current = model->filePath(dirBox->currentIndex());
        if (current == path || current.startsWith(path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/')))
            dirBox->scrollTo(dirBox->currentIndex());
    });
    // A read folder is sorted a moment later, which moves the rows below it.
    QObject::connect(model, &QAbstractItemModel::layoutChanged, dirBox,
                     [dirBox] { dirBox->scrollTo(dirBox->currentIndex()); });
    for (const QFileInfo &drive : QDir::drives())
        driveBox->addItem(drive.absoluteFilePath());
    QObject::connect(driveBox, &QComboBox::currentTextChanged, dirBox,
                     [dirBox](const QString &drive) { SetListFolder(dirBox, drive); });
}

void SetListFolder(QTreeView *dirBox, const QString &folder)
{
    const QModelIndex index = FolderModel(dirBox)->index(QDir::cleanPath(folder));
    if (!index.isValid())
        return;
    dirBox->setCurrentIndex(index);
    dirBox->expand(index);
    dirBox->scrollTo(index);
}

QString ListFolder(const QTreeView *dirBox)
{
    QString folder = FolderModel(dirBox)->filePath(dirBox->currentIndex());
    if (folder.size() > 1 && (folder.endsWith(QLatin1Char('/')) || folder.endsWith(QLatin1Char('\\'))))
        folder.chop(1);
    return folder;
}

TBFolderDlg::TBFolderDlg(QWidget *parent)
    : QDialog(parent), ui(std::make_unique<Ui::TBFolderDlg>())
{
    ui->setupUi(this);
    SetUpFolderList(ui->DriveBox, ui->DirBox);
    connect(ui->OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

TBFolderDlg::~TBFolderDlg() = default;

void TBFolderDlg::SetFolder(const QString &folder)
{
    SetListFolder(ui->DirBox, folder);
}

QString TBFolderDlg::Folder() const
{
    return ListFolder(ui->DirBox);
}
