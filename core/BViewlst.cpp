#include "core/BViewlst.h"

#include "core/BAppli.h"
#include "core/BCommon.h"
#include "core/BConfig.h"
#include "core/BLookup.h"
#include "core/BPasswrd.h"
#include "core/BRegistr.h"
#include "ui_BConfig.h"
#include "ui_BViewlst.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMessageBox>
#include <QRegularExpressionValidator>
#include <QStandardPaths>
#include <QStringList>

#include <algorithm>

std::array<ViewerEntry, ViewerTableSize> ViewerTable;
int ViewerCount = 1;

void ClearViewerTable()
{
    ViewerTable.fill(ViewerEntry{});
    ViewerCount = 1;
}

namespace {

// The first of the programs found on the search path, "" when none is.
QString findFirstProgram(const QStringList &programs)
{
    for (const QString &program : programs) {
        const QString path = QStandardPaths::findExecutable(program);
        if (!path.isEmpty())
            return path;
    }
    return {};
}

void addDefaultViewer(const QString &extension, const QString &application, QStringList &extensions)
{
    ViewerTable[ViewerCount] = ViewerEntry{extension, application, ViewerLoaded};
    ++ViewerCount;
    extensions.append(extension);
}

} // namespace

QString CreateDefaultViewers()
{
    ClearViewerTable();
    QStringList extensions;
    const QString soundPlayer =
        findFirstProgram({QStringLiteral("paplay"), QStringLiteral("aplay"), QStringLiteral("play")});
    if (!soundPlayer.isEmpty()) {
        addDefaultViewer(QStringLiteral("wav"), soundPlayer, extensions);
        addDefaultViewer(QStringLiteral("snd"), soundPlayer, extensions);
    }
    const QString videoPlayer =
        findFirstProgram({QStringLiteral("mpv"), QStringLiteral("vlc"), QStringLiteral("totem"),
                          QStringLiteral("mplayer"), QStringLiteral("ffplay")});
    if (!videoPlayer.isEmpty()) {
        addDefaultViewer(QStringLiteral("avi"), videoPlayer, extensions);
        addDefaultViewer(QStringLiteral("mpg"), videoPlayer, extensions);
    }
    return extensions.join(QLatin1Char(','));
}

QString ViewerSettingText()
{
    if (ImageViewer || HtmlViewer < 2)
        return QStringLiteral("Using Internal Image / HTML Viewer");
    if (UsingWindows95)
        return QStringLiteral("Using Windows95 Associations");
    return BuildViewerList(true);
}

bool IsViewerExtension(const QString &extension)
{
    return !extension.isEmpty() && std::none_of(extension.begin(), extension.end(), [](QChar c) {
        return c == QLatin1Char(',') || c.isSpace() || c.category() == QChar::Other_Control;
    });
}

// ---- the viewer list window --------------------------------------------------

namespace {

constexpr char ListFullText[] = "これ以上 Viewer Application の登録はできません.";
constexpr char DeletedText[] = "<Deleted>";

bool IsEnterKey(QEvent *event)
{
    if (event->type() != QEvent::KeyPress)
        return false;
    const int key = static_cast<QKeyEvent *>(event)->key();
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}

void WarnListFull(QWidget *owner)
{
    QMessageBox box(QMessageBox::Warning, QString(), QString::fromUtf8(ListFullText), QMessageBox::Ok, owner);
    box.setObjectName(QStringLiteral("ListFull"));
    box.exec();
}

} // namespace

TBViewerListForm::TBViewerListForm(QWidget *parent)
    : QWidget(parent, Qt::Window), ui(std::make_unique<Ui::TBViewerListForm>())
{
    ui->setupUi(this);
    // Commas separate the stored list; blanks would not survive it either.
    ui->ExtEdit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[^,\\s\\x00-\\x1F\\x7F]*")), ui->ExtEdit));
    ui->ExtEdit->installEventFilter(this);
    ui->AppliEdit->installEventFilter(this);
    ui->ViewerListGrid->viewport()->installEventFilter(this);

    QHeaderView *rows = ui->ViewerListGrid->verticalHeader();
    rows->setSectionsMovable(true);
    // A dragged row header moves the entry; the grid is then refilled in table order.
    connect(rows, &QHeaderView::sectionMoved, this, [this, rows](int, int oldVisual, int newVisual) {
        {
            const QSignalBlocker blocker(rows);
            rows->moveSection(newVisual, oldVisual);
        }
        GridRowMoved(oldVisual + 1, newVisual + 1);
    });
    ui->ViewerListGrid->horizontalHeader()->setSectionsClickable(false);

    connect(ui->ExitButton, &QPushButton::clicked, this, &QWidget::close);
    connect(ui->ClearButton, &QPushButton::clicked, this, &TBViewerListForm::ClearButtonClick);
    connect(ui->EnterButton, &QPushButton::clicked, this, &TBViewerListForm::EnterButtonClick);
    connect(ui->DeleteButton, &QPushButton::clicked, this, &TBViewerListForm::DeleteButtonClick);
    connect(ui->ReferenceButton, &QPushButton::clicked, this, &TBViewerListForm::ReferenceButtonClick);
    connect(ui->ViewerListGrid, &QTableWidget::cellClicked, this, &TBViewerListForm::GridClick);
    connect(ui->ViewerListGrid, &QTableWidget::cellDoubleClicked, this, &TBViewerListForm::GridDblClick);
    connect(ui->Windows95CheckBox, &QCheckBox::toggled, this, &TBViewerListForm::Windows95CheckBoxClick);
    connect(ui->DirectViewCheckBox, &QCheckBox::toggled, this, [](bool on) { ViewingDirect = on; });
    connect(ui->ImageViewerCheckBox, &QCheckBox::toggled, this, [](bool on) { ImageViewer = on; });
    connect(ui->HtmlViewerCheckBox, &QCheckBox::toggled, this, &TBViewerListForm::HtmlViewerCheckBoxClick);
}

TBViewerListForm::~TBViewerListForm() = default;

void TBViewerListForm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (event->spontaneous())
        return;
    if (ViewerCount >= ViewerTableSize)
        WarnListFull(this);
    if (BLookupForm)
        move(BLookupForm->pos() + QPoint(80, 80));
    ClearButtonClick();
    FillGrid();
    ui->HtmlViewerCheckBox->setEnabled(UseWebBrowser || UseHtmlControl);
    ui->ImageViewerCheckBox->setChecked(ImageViewer);
    ui->HtmlViewerCheckBox->setChecked(HtmlViewer < 2);
    ui->Windows95CheckBox->setChecked(UsingWindows95);
    ui->DirectViewCheckBox->setChecked(ViewingDirect);
    Windows95CheckBoxClick();
}

void TBViewerListForm::closeEvent(QCloseEvent *event)
{
    if (BConfigForm)
        BConfigForm->ui->ViewerEdit->setText(ViewerSettingText());
    setWindowState(Qt::WindowNoState);
    QWidget::closeEvent(event);
}

bool TBViewerListForm::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->ViewerListGrid->viewport() && event->type() == QEvent::Resize)
        FitColumns();
    if (!IsEnterKey(event))
        return QWidget::eventFilter(watched, event);
    if (watched == ui->ExtEdit && !ui->ExtEdit->text().isEmpty()) {
        ui->AppliEdit->setFocus();
        return true;
    }
    if (watched == ui->AppliEdit && !ui->AppliEdit->text().isEmpty()) {
        EnterButtonClick();
        return true;
    }
    return false;
}

void TBViewerListForm::FillGrid()
{
    QTableWidget *grid = ui->ViewerListGrid;
    grid->clearContents();
    grid->setRowCount(ViewerCount - 1);
    grid->setColumnCount(2);
    grid->setHorizontalHeaderLabels({QStringLiteral("Ext"), QStringLiteral("Viewer Application")});
    for (int i = 1; i < ViewerCount; ++i)
        ShowEntry(i);
    FitColumns();
}

void TBViewerListForm::ShowEntry(int index)
{
    const ViewerEntry &entry = ViewerTable[index];
    const bool deleted = entry.State == ViewerDeleted || entry.State == ViewerAddedDeleted;
    ui->ViewerListGrid->setItem(index - 1, 0, new QTableWidgetItem(entry.Extension));
    ui->ViewerListGrid->setItem(index - 1, 1,
                                new QTableWidgetItem(deleted ? QString::fromUtf8(DeletedText) : entry.Application));
    FitColumns();
}

void TBViewerListForm::FitColumns()
{
    constexpr int ExtWidth = 64; // the form's width of the extension column, the least
    QTableWidget *grid = ui->ViewerListGrid;
    grid->resizeColumnsToContents();
    grid->setColumnWidth(0, std::max(ExtWidth, grid->columnWidth(0)));
    grid->setColumnWidth(1, std::max(grid->columnWidth(1), grid->viewport()->width() - grid->columnWidth(0)));
}

void TBViewerListForm::SelectRow(int row)
{
    ui->ViewerListGrid->selectRow(row - 1);
}

int TBViewerListForm::SelectedEntry() const
{
    const QModelIndexList rows = ui->ViewerListGrid->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return 0;
    const int index = rows.first().row() + 1;
    return index < ViewerCount ? index : 0;
}

void TBViewerListForm::ClearButtonClick()
{
    ui->ExtEdit->clear();
    ui->AppliEdit->clear();
    ui->ExtEdit->setReadOnly(false);
}

void TBViewerListForm::EnterButtonClick()
{
    const QString extension = ui->ExtEdit->text().toLower();
    const QString application = ui->AppliEdit->text();
    if (extension.isEmpty() || application.isEmpty() || !IsViewerExtension(extension))
        return;
    int target = 1;
    while (target < ViewerCount && ViewerTable[target].Extension != extension)
        ++target;
    ViewerEntry &entry = ViewerTable[target];
    if (target == ViewerCount) {
        if (ViewerCount >= ViewerTableSize) {
            WarnListFull(this);
            return;
        }
        entry.State = ViewerAdded;
        ++ViewerCount;
        ui->ViewerListGrid->setRowCount(ViewerCount - 1);
    } else if (entry.State == ViewerLoaded || entry.State == ViewerDeleted) {
        entry.State = ViewerChanged;
    } else if (entry.State == ViewerAddedDeleted) {
        entry.State = ViewerAdded;
    }
    entry.Extension = extension;
    entry.Application = application;
    ShowEntry(target);
    SelectRow(target);
    ui->ExtEdit->setReadOnly(true);
    ui->ClearButton->setFocus();
}

void TBViewerListForm::DeleteButtonClick()
{
    const int index = SelectedEntry();
    if (index == 0)
        return;
    ViewerEntry &entry = ViewerTable[index];
    entry.Application.clear();
    if (entry.State == ViewerLoaded || entry.State == ViewerChanged)
        entry.State = ViewerDeleted;
    else if (entry.State == ViewerAdded)
        entry.State = ViewerAddedDeleted;
    ShowEntry(index);
    ui->ExtEdit->clear();
    ui->AppliEdit->clear();
}

void TBViewerListForm::ReferenceButtonClick()
{
    TBAppliDlg dialog(this);
    if (dialog.exec() == QDialog::Accepted && !dialog.FileName().isEmpty())
        ui->AppliEdit->setText(dialog.Folder() + QLatin1Char('/') + dialog.FileName());
    ui->AppliEdit->setFocus();
}

void TBViewerListForm::GridClick()
{
    const int index = SelectedEntry();
    if (index == 0)
        return;
    ui->ExtEdit->setReadOnly(true);
    ui->ExtEdit->setText(ViewerTable[index].Extension);
    ui->AppliEdit->setText(ViewerTable[index].Application);
    ui->AppliEdit->setFocus();
}

void TBViewerListForm::GridDblClick()
{
    const int index = SelectedEntry();
    if (index != 0 && !ViewerTable[index].Application.isEmpty())
        OpenWithShell(ViewerTable[index].Application, QString(), QString());
}

void TBViewerListForm::GridRowMoved(int from, int to)
{
    if (from < 1 || to < 1 || from >= ViewerCount || to >= ViewerCount || from == to)
        return;
    auto first = ViewerTable.begin();
    if (from < to)
        std::rotate(first + from, first + from + 1, first + to + 1);
    else
        std::rotate(first + to, first + from, first + from + 1);
    FillGrid();
    SelectRow(to);
    ui->AppliEdit->setFocus();
}

void TBViewerListForm::Windows95CheckBoxClick()
{
    const bool on = ui->Windows95CheckBox->isChecked();
    UsingWindows95 = on;
    for (QWidget *w : std::initializer_list<QWidget *>{ui->ExtEdit, ui->AppliEdit, ui->ReferenceButton,
                                                       ui->EnterButton, ui->DeleteButton, ui->ClearButton,
                                                       ui->ViewerListGrid})
        w->setEnabled(!on);
    (on ? static_cast<QWidget *>(ui->Windows95CheckBox) : ui->ExtEdit)->setFocus();
}

void TBViewerListForm::HtmlViewerCheckBoxClick()
{
    HtmlViewer = !ui->HtmlViewerCheckBox->isChecked() ? 2 : UseWebBrowser ? 0 : 1;
}
