// The TEL log window and the operations on a whole pair behind it: reading
// records in bulk, the erase mark, compaction and the check of another pair.
#include "tel/BTelLog.h"

#include "core/BCommon.h"
#include "core/BLookup.h"
#include "core/BPasswrd.h"
#include "core/BRegistr.h"
#include "core/RichView.h"
#include "core/ScrollImage.h"
#include "platform/DayDate.h"
#include "platform/ModifierKey.h"
#include "platform/PairReplace.h"
#include "platform/RecordFile.h"
#include "platform/ShortString.h"
#include "platform/WinMessages.h"
#include "platform/WinSock.h"
#include "tel/BRecvTel.h"
#include "tel/BTelServ.h"
#include "ui_BLookup.h"
#include "ui_BTelLog.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QSet>
#include <QShowEvent>
#include <QStatusBar>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <sys/stat.h>

TBTelLogForm *BTelLogForm = nullptr;
std::shared_mutex TelStoreGate;

namespace {

namespace O = MessageRecordOffset;
constexpr int RecordSize = MessageRecord::Size;
// Records read at once when a search or compaction walks the whole log.
constexpr qint64 ScanChunk = 4096;

constexpr char UpdateCaption[] = "Update";
constexpr char ViewCaption[] = "View";
constexpr char BackCaption[] = "Back";
constexpr char PrintCaption[] = "Print";
constexpr char ReadCaption[] = "Read";
constexpr char ListCaption[] = "List";
constexpr char ErasedText[] = "<<Erased>>";
constexpr char HtmlDocText[] = "<<HTML DOC>>";
constexpr char NothingMoreText[] = "... Nothing More TEL ...";
constexpr char WorkName[] = "Work$$$$";

enum Column { NumberColumn, TypeColumn, AddressColumn, HandleColumn, DateColumn, StartColumn, BytesColumn, FileColumn };

bool Fail(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
    return false;
}

QByteArray TitleBytes(const char *image)
{
    return plat::DecodeShortBytes(image + O::Title, MessageRecordCapacity::Title);
}

qint32 ReadInt(const char *image, int offset)
{
    return qFromLittleEndian<qint32>(image + offset);
}

void WriteInt(char *image, int offset, qint32 value)
{
    qToLittleEndian<qint32>(value, image + offset);
}

// The gate and both locks of the pair in use, in their order; none for another pair.
class PairLocks {
public:
    explicit PairLocks(const TelLogPair &pair)
        : gate_(TelStoreGate, std::defer_lock), text_(TelTextLock, std::defer_lock), data_(TelDataLock, std::defer_lock)
    {
        if (!pair.inUse())
            return;
        gate_.lock();
        text_.lock();
        data_.lock();
    }

private:
    std::unique_lock<std::shared_mutex> gate_;
    std::unique_lock<std::recursive_mutex> text_, data_;
};

// The first record index from `from` toward `to` (both included, either
// direction) whose image matches; -1 when none does. Reads in chunks.
qint64 FindTelRecord(const TelLogPair &pair, qint64 from, qint64 to, const std::function<bool(const char *)> &match)
{
    QFile file(pair.dataFile());
    if (from < 1 || to < 1 || !file.open(QIODevice::ReadOnly))
        return -1;
    const int step = from <= to ? 1 : -1;
    for (qint64 i = from; step > 0 ? i <= to : i >= to;) {
        const qint64 lo = step > 0 ? i : std::max(to, i - ScanChunk + 1);
        const qint64 hi = step > 0 ? std::min(to, i + ScanChunk - 1) : i;
        if (!file.seek(lo * RecordSize))
            return -1;
        const QByteArray block = file.read((hi - lo + 1) * RecordSize);
        const qint64 got = block.size() / RecordSize;
        for (qint64 j = step > 0 ? lo : hi; step > 0 ? j <= hi : j >= lo; j += step)
            if (j - lo < got && match(block.constData() + (j - lo) * RecordSize))
                return j;
        i = step > 0 ? hi + 1 : lo - 1;
    }
    return -1;
}

qint32 WaitingCount()
{
    std::lock_guard lock(WaitingTelsLock);
    return WaitingTels;
}

// Grid texts of a record.
QStringList RowTexts(const MessageRecord &r)
{
    QString address = plat::inet_ntoa(r.Address);
    if (r.Flags & (MessageRecord::StayFlag | MessageRecord::SerialFlag))
        address = r.UserId + QStringLiteral(" : ") + address;
    const QDateTime when = plat::FromDayDate(r.DateTime);
    return {IntToZeroStr(r.Number, 5),
            r.Erased ? QLatin1String(ErasedText) : r.Title,
            address,
            r.Handle,
            plat::FormatShortDate(when) + QLatin1Char(' ') + plat::FormatLongTime(when),
            IntToZeroStr(r.Start, 9),
            IntToZeroStr(r.Bytes, 9),
            (r.Flags & MessageRecord::HtmlFlag) ? QLatin1String(HtmlDocText) : r.FileName};
}

// The reader view's header, from a grid row's texts. A Stay row shows its
// address without the user ID, and the user ID and handle below a line.
QString ReaderHead(const QStringList &c)
{
    const QString crlf = QStringLiteral("\r\n");
    const QString separator = QStringLiteral(" : ");
    const bool stay = c[TypeColumn].contains(QLatin1String("Stay"));
    QString head = QStringLiteral("Number   : ") + c[NumberColumn] + crlf + QStringLiteral("Type     : ") + c[TypeColumn] + crlf;
    if (stay)
        head += QStringLiteral("IP Addr  : ") + c[AddressColumn].section(separator, 1) + crlf;
    else
        head += QStringLiteral("IP Addr  : ") + c[AddressColumn] + crlf + QStringLiteral("Handle   : ") + c[HandleColumn] + crlf;
    head += QStringLiteral("DateTime : ") + c[DateColumn] + crlf + QStringLiteral("Bytes    : ") + c[BytesColumn];
    if (stay)
        head += crlf + QString(50, QLatin1Char('-')) + crlf + QStringLiteral("User ID  : ") +
                c[AddressColumn].section(separator, 0, 0) + crlf + QStringLiteral("Handle   : ") + c[HandleColumn];
    return head;
}

// ---- compaction ------------------------------------------------------------------

// A file of a replacement of a pair in its folder: the work files that
// become the pair (".dat", ".txt") and the intent file beside them (".job").
QString TelLogWorkFile(const TelLogPair &pair, const char *extension)
{
    return pair.folder + QLatin1Char('/') + QLatin1String(WorkName) + QLatin1String(extension);
}

// Writes the kept records and bodies of a pair into its work files and
// replaces the pair by them, both files or neither.
class Compactor {
public:
    Compactor(const TelLogPair &pair, TelLogCompaction &result)
        : pair_(pair), result_(result), data_(pair.dataFile()), text_(pair.textFile()), replace_(TelLogWorkFile(pair, ".job"))
    {
    }

    bool Run(QString *error)
    {
        if (!data_.open(QIODevice::ReadOnly) || !text_.open(QIODevice::ReadOnly))
            return Fail(error, data_.isOpen() ? text_.errorString() : data_.errorString());
        workData_ = replace_.stage(pair_.dataFile(), TelLogWorkFile(pair_, ".dat"), error);
        workText_ = workData_ ? replace_.stage(pair_.textFile(), TelLogWorkFile(pair_, ".txt"), error) : nullptr;
        if (!workText_)
            return false;
        textSize_ = text_.size();
        for (qint64 first = 0;; first += ScanChunk) {
            QByteArray block = data_.read(ScanChunk * RecordSize);
            if (block.size() < RecordSize)
                break;
            for (qint64 k = 0; k + RecordSize <= block.size(); k += RecordSize)
                if (!Take(first + k / RecordSize, block.data() + k, error))
                    return false;
        }
        if (data_.error() != QFile::NoError)
            return Fail(error, data_.errorString());
        result_.kept = std::max<qint64>(0, written_ - 1);
        data_.close();
        text_.close();
        return replace_.commit(error);
    }

    // The received files of erased file TELs that no kept TEL names (a name
    // an erased TEL freed can have been taken again): only plain names, only
    // regular files.
    void DeleteErasedFiles() const
    {
        for (const QString &name : erasedFiles_) {
            const QFileInfo info(pair_.folder + QLatin1Char('/') + name);
            if (!keptFiles_.contains(name) && info.isFile() && !info.isSymLink())
                QFile::remove(info.filePath());
        }
    }

private:
    bool Take(qint64 index, char *image, QString *error)
    {
        const QByteArray title = TitleBytes(image);
        // The header record always stays record 0.
        if (index > 0 && image[O::Erased]) {
            Drop(index, title, image);
            return true;
        }
        if (title.contains("<<Text>>") && !CopyBody(image, error))
            return false;
        if (image[O::Flags] & MessageRecord::FileFlag)
            keptFiles_.insert(plat::DecodeShortString(image + O::FileName, MessageRecordCapacity::FileName));
        WriteInt(image, O::Number, static_cast<qint32>(written_));
        if (workData_->write(image, RecordSize) != RecordSize)
            return Fail(error, workData_->errorString());
        ++written_;
        return true;
    }

    void Drop(qint64 index, const QByteArray &title, const char *image)
    {
        if (title.contains("Recv  <<File>>")) {
            const QString name = SafeBaseName(MessageRecord::decode(QByteArray(image, RecordSize)).FileName);
            if (!name.isEmpty())
                erasedFiles_.append(name);
        }
        if (TelegPointer > index)
            ++result_.beforePointer;
        else if (title.startsWith("Recv"))
            ++result_.unread;
    }

    // Copies the part of the body that lies inside the text file; a record
    // pointing outside keeps only that part (Bytes shrinks to it).
    bool CopyBody(char *image, QString *error)
    {
        const qint64 start = std::clamp<qint64>(ReadInt(image, O::Start), 0, textSize_);
        const qint64 end = std::clamp<qint64>(qint64(ReadInt(image, O::Start)) + ReadInt(image, O::Bytes), start, textSize_);
        if (offset_ + (end - start) > std::numeric_limits<qint32>::max())
            return Fail(error, QStringLiteral("TEL text file is full : ") + workText_->fileName());
        // Bodies mostly follow one another: reading on keeps the read buffer.
        if (text_.pos() != start && !text_.seek(start))
            return Fail(error, text_.errorString());
        for (qint64 left = end - start; left > 0;) {
            const QByteArray piece = text_.read(std::min<qint64>(left, MaxTelBody));
            if (piece.isEmpty())
                return Fail(error, QStringLiteral("short read : ") + text_.fileName());
            if (workText_->write(piece) != piece.size())
                return Fail(error, workText_->errorString());
            left -= piece.size();
        }
        WriteInt(image, O::Start, static_cast<qint32>(offset_));
        WriteInt(image, O::Bytes, static_cast<qint32>(end - start));
        offset_ += end - start;
        return true;
    }

    const TelLogPair &pair_;
    TelLogCompaction &result_;
    QFile data_, text_;
    plat::PairReplace replace_;
    QFile *workData_ = nullptr, *workText_ = nullptr;
    qint64 textSize_ = 0, offset_ = 0, written_ = 0;
    QStringList erasedFiles_;
    QSet<QString> keptFiles_;
};

} // namespace

// ---- the pair ----------------------------------------------------------------------

bool TelBodyInside(const MessageRecord &record, qint64 textSize)
{
    return record.Start >= 0 && record.Bytes >= 0 && record.Bytes <= MaxTelBody &&
           qint64(record.Start) + record.Bytes <= textSize;
}

QString TelLogPair::dataFile() const
{
    return folder + QLatin1Char('/') + name + QStringLiteral(".dat");
}

QString TelLogPair::textFile() const
{
    return folder + QLatin1Char('/') + name + QStringLiteral(".txt");
}

// The folder is compared by what it is, not how it is spelt: reached through
// a symbolic link it is still the folder of the pair in use.
bool TelLogPair::inUse() const
{
    const QFileInfo data(dataFile()), used(TelDataFile());
    struct stat mine {}, theirs {};
    return data.fileName() == used.fileName() && ::stat(QFile::encodeName(data.path()).constData(), &mine) == 0 &&
           ::stat(QFile::encodeName(used.path()).constData(), &theirs) == 0 && mine.st_dev == theirs.st_dev &&
           mine.st_ino == theirs.st_ino;
}

qint64 CountTelRecords(const TelLogPair &pair)
{
    const qint64 size = plat::FileSize(pair.dataFile());
    return std::max<qint64>(0, size / RecordSize - 1);
}

std::vector<MessageRecord> ReadTelRecords(const TelLogPair &pair, qint64 first, qint64 n)
{
    std::vector<MessageRecord> records;
    QFile file(pair.dataFile());
    if (first < 0 || n <= 0 || !file.open(QIODevice::ReadOnly) || !file.seek(first * RecordSize))
        return records;
    const QByteArray block = file.read(n * RecordSize);
    for (qint64 k = 0; k + RecordSize <= block.size(); k += RecordSize)
        records.push_back(MessageRecord::decode(block.mid(k, RecordSize)));
    return records;
}

int ToggleTelErased(const TelLogPair &pair, qint64 index, QString *error)
{
    PairLocks locks(pair);
    plat::RecordFile file(pair.dataFile(), RecordSize);
    QByteArray image;
    if (index < 1 || !file.open() || !file.read(index, image)) {
        Fail(error, file.errorString().isEmpty() ? QStringLiteral("no TEL %1").arg(index) : file.errorString());
        return -1;
    }
    image[O::Erased] = image[O::Erased] ? 0 : 1;
    if (!file.write(index, image) || !file.sync()) {
        Fail(error, file.errorString());
        return -1;
    }
    return image[O::Erased];
}

bool FinishTelLogReplace(const TelLogPair &pair, QString *error)
{
    PairLocks locks(pair);
    return plat::FinishPairReplace(TelLogWorkFile(pair, ".job"), error);
}

bool CompactTelLog(const TelLogPair &pair, TelLogCompaction &result, QString *error)
{
    result = {};
    PairLocks locks(pair);
    Compactor compactor(pair, result);
    if (!compactor.Run(error))
        return false;
    compactor.DeleteErasedFiles();
    if (!pair.inUse())
        return true;
    TelegPointer = std::max(0, TelegPointer - result.beforePointer);
    std::lock_guard waitingLock(WaitingTelsLock);
    WaitingTels = std::max(0, WaitingTels - result.unread);
    return true;
}

// ---- the window --------------------------------------------------------------------

TBTelLogForm::TBTelLogForm(QWidget *parent)
    : QWidget(parent, Qt::Window), ui(std::make_unique<Ui::TBTelLogForm>()), ScreenPopup(new QMenu(this)),
      FullScreen(ScreenPopup->addAction(QStringLiteral("Full Screen"))), OpenDialog(new QFileDialog(this))
{
    ui->setupUi(this);
    ScreenPopup->setObjectName(QStringLiteral("ScreenPopup"));
    FullScreen->setObjectName(QStringLiteral("FullScreen"));
    FullScreen->setCheckable(true);
    OpenDialog->setObjectName(QStringLiteral("OpenDialog"));
    OpenDialog->setOption(QFileDialog::DontUseNativeDialog);
    OpenDialog->setFileMode(QFileDialog::ExistingFile);
    OpenDialog->setNameFilter(QStringLiteral("TEL Log (*.dat)"));
    FormCreate();
    ConnectHandlers();
}

TBTelLogForm::~TBTelLogForm()
{
    if (BTelLogForm == this)
        BTelLogForm = nullptr;
}

// The HTML display is the local-only HTML view of the receive window; the
// grid gets its columns; every component reports keys for the shift request.
void TBTelLogForm::FormCreate()
{
    HtmlControl = TRecvHtmlView::InsertAfter(ui->RecvSImage, [this](const QUrl &url) { Status(url.toString()); });

    QTableWidget *grid = ui->TelegGrid;
    grid->setColumnCount(8);
    grid->setHorizontalHeaderLabels({QString(), QStringLiteral("TEL Type"), QStringLiteral("IP Addr"),
                                     QStringLiteral("Handle"), QStringLiteral("Date"), QStringLiteral("Start"),
                                     QStringLiteral("Bytes"), QStringLiteral("FileName")});
    grid->verticalHeader()->hide();
    grid->verticalHeader()->setDefaultSectionSize(grid->fontMetrics().height() + 6);
    grid->setWordWrap(false);
    FitColumns();
    grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    grid->setSelectionMode(QAbstractItemView::SingleSelection);
    grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ui->TelLogRich->SetHeadHeight(85);

    installEventFilter(this);
    for (QWidget *child : findChildren<QWidget *>())
        child->installEventFilter(this);
}

void TBTelLogForm::ConnectHandlers()
{
    connect(ui->ExitButton, &QPushButton::clicked, this, &TBTelLogForm::ExitButtonClick);
    connect(ui->SwitchButton, &QPushButton::clicked, this, &TBTelLogForm::SwitchButtonClick);
    connect(ui->NextButton, &QPushButton::clicked, this, &TBTelLogForm::NextButtonClick);
    connect(ui->LastButton, &QPushButton::clicked, this, &TBTelLogForm::LastButtonClick);
    connect(ui->EraseButton, &QPushButton::clicked, this, &TBTelLogForm::EraseButtonClick);
    connect(ui->UpdateButton, &QPushButton::clicked, this, &TBTelLogForm::UpdateButtonClick);
    connect(ui->OKButton, &QPushButton::clicked, this, &TBTelLogForm::OKButtonClick);
    connect(ui->ChangeButton, &QPushButton::clicked, this, &TBTelLogForm::ChangeButtonClick);
    for (QRadioButton *option : {ui->NumberOption, ui->DateOption, ui->IpAddressOption})
        connect(option, &QRadioButton::clicked, this, &TBTelLogForm::OptionGroupClick);
    for (QRadioButton *direction : {ui->UpDirection, ui->DownDirection})
        connect(direction, &QRadioButton::clicked, this, &TBTelLogForm::DirectionGroupClick);
    connect(ui->OptionEdit, &QLineEdit::textEdited, this, &TBTelLogForm::OptionChange);
    connect(ui->TelegGrid, &QTableWidget::currentCellChanged, this, [this](int row) { Current = row + 1; });
    connect(ui->TelegGrid, &QTableWidget::cellClicked, this, &TBTelLogForm::TelegGridClick);
    connect(ui->TelegGrid, &QTableWidget::cellDoubleClicked, this, &TBTelLogForm::TelegGridDblClick);
    connect(ui->FolderEdit, &QLineEdit::editingFinished, this, &TBTelLogForm::FolderEditExit);
    connect(ui->FileEdit, &QLineEdit::editingFinished, this, &TBTelLogForm::FileEditExit);
    for (QLineEdit *edit : {ui->FolderEdit, ui->FileEdit})
        connect(edit, &QLineEdit::textEdited, ui->ChangeButton, [this] { ui->ChangeButton->setEnabled(true); });
    connect(ui->QuoteEdit, &QLineEdit::editingFinished, this, &TBTelLogForm::QuoteEditExit);
    connect(FullScreen, &QAction::triggered, this, &TBTelLogForm::FullScreenClick);
}

void TBTelLogForm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TBTelLogForm::FormShow()
{
    move(MainPosition.Left + 70, MainPosition.Top + 70);
    ShiftRequest = false;
    Shown = Wanted = TelLogPair{TelegDirectory, TelegFileName};
    setWindowState(Qt::WindowNoState);
    ui->TopPanel->show();
    ui->BottomPanel->show();
    FullScreen->setChecked(false);
    Status({});
    ui->OptionEdit->clear();
    ui->NumberOption->setChecked(true);
    ui->InputLabel->setText(QStringLiteral("nnnn"));
    ui->DownDirection->setChecked(true);
    ui->OKButton->setEnabled(false);
    ui->ChangeButton->setEnabled(false);
    ui->FolderEdit->setText(Shown.folder);
    ui->FileEdit->setText(Shown.name);
    ui->QuoteEdit->setText(QuotationMark);
    ui->TelLogRich->PopupQuote = QuotationMark;
    LoadTail();
}

void TBTelLogForm::closeEvent(QCloseEvent *event)
{
    FormClose();
    event->accept();
}

void TBTelLogForm::FormClose()
{
    setWindowState(Qt::WindowNoState);
    if (BLookupForm && BLookupForm->ui->TelButton->isEnabled())
        BLookupForm->ui->TelButton->setFocus();
}

void TBTelLogForm::ExitButtonClick()
{
    close();
}

// Key preview: a key pressed with Shift as the only modifier arms the
// alternate action of the next Next, Last or Back; double clicks on the
// folder and file edits open their dialogs.
bool TBTelLogForm::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress &&
        plat::ArmingModifier(*static_cast<QKeyEvent *>(event)) == Qt::ShiftModifier)
        ShiftRequest = true;
    if (event->type() == QEvent::MouseButtonDblClick && watched == ui->FolderEdit) {
        FolderEditDblClick();
        return true;
    }
    if (event->type() == QEvent::MouseButtonDblClick && watched == ui->FileEdit) {
        FileEditDblClick();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TBTelLogForm::contextMenuEvent(QContextMenuEvent *event)
{
    ScreenPopup->exec(event->globalPos());
}

// ---- pages ------------------------------------------------------------------------

void TBTelLogForm::LoadTail()
{
    RecordCount = CountTelRecords(Shown);
    if (RecordCount == 0) {
        Page.clear();
        ui->TelegGrid->setRowCount(0);
        First = Last = 0;
        Current = 0;
    } else {
        FillPage(std::max<qint64>(1, RecordCount - (PageSize - 1)), RecordCount);
        SelectRow(1);
    }
    ShowList();
    ui->SwitchButton->setFocus();
}

void TBTelLogForm::FillPage(qint64 first, qint64 last)
{
    Page = ReadTelRecords(Shown, first, last - first + 1);
    First = first;
    Last = first + qint64(Page.size()) - 1;
    QTableWidget *grid = ui->TelegGrid;
    grid->setRowCount(0); // no stale selection survives the refill
    grid->setRowCount(int(Page.size()));
    for (int row = 0; row < int(Page.size()); ++row) {
        const QStringList texts = RowTexts(Page[row]);
        for (int column = 0; column < texts.size(); ++column)
            grid->setItem(row, column, new QTableWidgetItem(texts[column]));
    }
    FitColumns();
    Current = 0;
}

// The columns' own widths, widened where this font needs more to show a text whole.
void TBTelLogForm::FitColumns()
{
    static constexpr int Widths[] = {40, 128, 112, 72, 64, 72, 72, 128};
    QTableWidget *grid = ui->TelegGrid;
    grid->resizeColumnsToContents();
    for (int column = 0; column < grid->columnCount(); ++column)
        grid->setColumnWidth(column, std::max(Widths[column], grid->columnWidth(column)));
}

void TBTelLogForm::SelectRow(int row)
{
    if (row < 1 || row > int(Page.size()))
        return;
    ui->TelegGrid->setCurrentCell(row - 1, NumberColumn);
    ui->TelegGrid->selectRow(row - 1);
    Current = row;
}

void TBTelLogForm::GoToRecord(qint64 n)
{
    if (n < 1 || n > RecordCount)
        return;
    qint64 first = n;
    if (n < PageSize)
        first = 1;
    else if (RecordCount - n < PageSize - 1)
        first = RecordCount - (PageSize - 1);
    FillPage(first, std::min(RecordCount, first + PageSize - 1));
    SelectRow(int(n - First + 1));
}

// With the reader view open it follows the selection.
void TBTelLogForm::FollowSelection(QWidget *keepFocus)
{
    ShiftRequest = false;
    if (ui->SwitchButton->text() != QLatin1String(ListCaption))
        return;
    OpenReader();
    keepFocus->setFocus();
}

void TBTelLogForm::NothingMore(int row)
{
    ShiftRequest = false;
    ui->TelLogRich->Clear();
    Status(QLatin1String(NothingMoreText));
    SelectRow(row);
    ui->ExitButton->setFocus();
}

// Next and Last start alike: the Update caption back, no status, the
// displays hidden; false, said so, when the log holds no TEL.
bool TBTelLogForm::StartPaging()
{
    SetUpdateCaption(UpdateCaption);
    Status({});
    HideDisplays();
    if (RecordCount == 0)
        NothingMore(0);
    return RecordCount != 0;
}

void TBTelLogForm::NextButtonClick()
{
    if (!StartPaging())
        return;
    const int row = Current + 1;
    const qint64 oldLast = Last;
    if (row <= int(Page.size()) && !ShiftRequest) {
        SelectRow(row);
    } else if (RecordCount - Last >= PageSize) {
        FillPage(oldLast + 1, oldLast + PageSize);
        SelectRow(ShiftRequest ? int(Page.size()) : 1);
    } else if (RecordCount > Last) {
        FillPage(std::max<qint64>(1, RecordCount - (PageSize - 1)), RecordCount);
        SelectRow(ShiftRequest ? int(Page.size()) : int(oldLast + 1 - First + 1));
    } else {
        return NothingMore(int(Page.size()));
    }
    FollowSelection(ui->NextButton);
}

void TBTelLogForm::LastButtonClick()
{
    if (!StartPaging())
        return;
    const int row = Current - 1;
    const qint64 oldFirst = First;
    if (row >= 1 && !ShiftRequest) {
        SelectRow(row);
    } else if (oldFirst - 1 >= PageSize) {
        FillPage(oldFirst - PageSize, oldFirst - 1);
        SelectRow(ShiftRequest ? 1 : PageSize);
    } else if (oldFirst > 1) {
        FillPage(1, std::min<qint64>(RecordCount, PageSize));
        SelectRow(ShiftRequest ? 1 : int(oldFirst - 1));
    } else {
        return NothingMore(1);
    }
    FollowSelection(ui->LastButton);
}

// ---- search -----------------------------------------------------------------------

void TBTelLogForm::OptionGroupClick()
{
    ui->InputLabel->setText(ui->DateOption->isChecked()        ? QStringLiteral("yyyy/mm/dd")
                            : ui->IpAddressOption->isChecked() ? QStringLiteral("aaa.bbb.ccc.ddd")
                                                               : QStringLiteral("nnnn"));
    ui->OptionEdit->clear();
    ui->OptionEdit->setFocus();
}

void TBTelLogForm::DirectionGroupClick()
{
    ui->OKButton->setEnabled(true);
    ui->OptionEdit->setFocus();
}

void TBTelLogForm::OptionChange()
{
    ui->OKButton->setEnabled(true);
}

void TBTelLogForm::OKButtonClick()
{
    ui->OKButton->setEnabled(false);
    const QString text = ui->OptionEdit->text();
    if (ui->NumberOption->isChecked())
        return GoToRecord(VersionNumber(text));
    if (RecordCount == 0)
        return;
    const qint64 start = Current > 0 ? First + Current - 1 : 1;
    const bool up = ui->UpDirection->isChecked();
    if (ui->DateOption->isChecked())
        return GoToRecord(SearchDate(start, std::floor(ParseDateText(text)), up));
    const qint64 found = SearchAddress(start, text, up);
    if (found > 0)
        GoToRecord(found);
}

// Up: the first record from start back whose time is not later than the
// date, else record 1; down: the first from start on not earlier, else the last.
qint64 TBTelLogForm::SearchDate(qint64 start, double date, bool up) const
{
    const auto when = [](const char *image) { return qFromLittleEndian<double>(image + O::DateTime); };
    const qint64 found =
        up ? FindTelRecord(Shown, start, 1, [&](const char *image) { return when(image) <= date; })
           : FindTelRecord(Shown, start, RecordCount, [&](const char *image) { return when(image) >= date; });
    return found > 0 ? found : up ? 1 : RecordCount;
}

// The nearest record beyond start whose dotted address is exactly the text.
qint64 TBTelLogForm::SearchAddress(qint64 start, const QString &address, bool up) const
{
    const quint32 wanted = plat::inet_addr(address);
    if (plat::inet_ntoa(wanted) != address)
        return -1; // no stored address reads as this text
    const auto match = [wanted](const char *image) {
        quint32 stored;
        std::memcpy(&stored, image + O::Address, sizeof stored);
        return stored == wanted;
    };
    return up ? (start > 1 ? FindTelRecord(Shown, start - 1, 1, match) : -1)
              : (start < RecordCount ? FindTelRecord(Shown, start + 1, RecordCount, match) : -1);
}

// ---- the grid and the reader view -----------------------------------------------

void TBTelLogForm::TelegGridClick()
{
    Current = ui->TelegGrid->currentRow() + 1;
    ui->SwitchButton->setFocus();
}

void TBTelLogForm::TelegGridDblClick()
{
    Current = ui->TelegGrid->currentRow() + 1;
    OpenReader();
    ui->NextButton->setFocus();
}

void TBTelLogForm::SwitchButtonClick()
{
    if (ui->SwitchButton->text() == QLatin1String(ReadCaption)) {
        if (Current == 0)
            return;
        OpenReader();
        ui->NextButton->setFocus();
        return;
    }
    ShowList();
}

void TBTelLogForm::ShowList()
{
    SetUpdateCaption(UpdateCaption);
    Status({});
    ShowPane(ui->TelegGrid);
    ui->SwitchButton->setText(QLatin1String(ReadCaption));
}

void TBTelLogForm::OpenReader()
{
    if (Current < 1 || Current > int(Page.size()))
        return;
    const MessageRecord &record = Page[Current - 1];
    QStringList c;
    for (int column = 0; column < 8; ++column)
        c << ui->TelegGrid->item(Current - 1, column)->text();
    SetUpdateCaption(UpdateCaption);
    ui->SwitchButton->setText(QLatin1String(ListCaption));
    ShowPane(ui->TelLogRich);
    Status({});
    TRichView *rich = ui->TelLogRich;
    rich->Clear();
    rich->AddHead(ReaderHead(c));
    if (c[TypeColumn] == QLatin1String(ErasedText))
        return Status(QStringLiteral("Erase marked."));
    if (c[TypeColumn].contains(QLatin1String("<<Text>>")))
        return ShowTextBody(record);
    ShowFileTel(c[FileColumn], c[TypeColumn].contains(QLatin1String("Recv")));
}

// The body only from inside the text file: a record pointing elsewhere shows
// an error line instead.
void TBTelLogForm::ShowTextBody(const MessageRecord &record)
{
    if (!TelBodyInside(record, plat::FileSize(Shown.textFile()))) {
        ui->TelLogRich->AddText(QStringLiteral("*** TEL Text Error : TEL ") + IntToZeroStr(record.Number, 5) +
                                QStringLiteral(" lies outside ") + Shown.textFile() + QStringLiteral(" ***"));
        return;
    }
    const QByteArray body = plat::ReadFileAt(Shown.textFile(), record.Start, record.Bytes);
    const QString temp = TempDirectory + QStringLiteral("/Temp.html");
    if ((record.Flags & MessageRecord::HtmlFlag) && HtmlViewer < 2 && WriteTempHtml(temp, body)) {
        File = temp;
        return ShowHtmlInside();
    }
    ui->TelLogRich->LoadFromBuffer(body);
    SetUpdateCaption(PrintCaption, true);
}

// A file TEL: its name, and a received file as a viewer shows it.
void TBTelLogForm::ShowFileTel(const QString &shownName, bool received)
{
    ui->TelLogRich->AddText(QStringLiteral("\r\nFile Name << ") + shownName + QStringLiteral(" >>"));
    if (!received)
        return;
    const MessageRecord &record = Page[Current - 1];
    if (SafeBaseName(record.FileName).isEmpty())
        return Status(QStringLiteral("*** Bad File Name : ") + EscapeControls(record.FileName));
    QString path, application;
    if (!FindReceivedFileViewer(this, ui->TelLogRich, record, Shown.folder, path, application))
        return;
    if (!QFileInfo::exists(path))
        return Status(QStringLiteral("Deleted the File."));
    File = path;
    Viewer = application;
    if (!ViewingDirect)
        return SetUpdateCaption(ViewCaption, true);
    if (QFileInfo(path).suffix().toLower() == QLatin1String("rtf"))
        ui->TelLogRich->LoadFromBuffer(plat::ReadFileAt(path, 0, MaxTelBody));
    else
        ShowFileInside();
}

// ---- displays --------------------------------------------------------------------

void TBTelLogForm::ShowPane(QWidget *pane)
{
    for (QWidget *w : {static_cast<QWidget *>(ui->TelegGrid), static_cast<QWidget *>(ui->TelLogRich),
                       static_cast<QWidget *>(ui->RecvSImage), static_cast<QWidget *>(HtmlControl)})
        w->setVisible(w == pane);
}

// Next and Last leave the picture and the HTML display for the text view or the grid.
void TBTelLogForm::HideDisplays()
{
    ShowPane(ui->SwitchButton->text() == QLatin1String(ListCaption) ? static_cast<QWidget *>(ui->TelLogRich)
                                                                     : static_cast<QWidget *>(ui->TelegGrid));
}

void TBTelLogForm::ShowFileInside()
{
    if (ImageViewer && IsImageFile(File))
        ShowImageInside();
    else if (HtmlViewer < 2 && IsHtmlFile(File))
        ShowHtmlInside();
    else
        OpenWithViewer(Viewer, File);
}

void TBTelLogForm::ShowHtmlInside()
{
    SetUpdateCaption(BackCaption);
    ShowPane(HtmlControl);
    HtmlControl->ShowFile(File);
}

void TBTelLogForm::ShowImageInside()
{
    QString error;
    if (!ui->RecvSImage->LoadFromFile(File, &error))
        return Status(QStringLiteral("*** ") + error);
    ShowPane(ui->RecvSImage);
    Status(File);
}

// The browser's forward (Shift) does not exist here: the HTML control goes back.
void TBTelLogForm::HtmlBack()
{
    ShiftRequest = false;
    HtmlControl->Back();
}

void TBTelLogForm::SetUpdateCaption(const char *caption, bool focus)
{
    ui->UpdateButton->setText(QLatin1String(caption));
    if (focus)
        ui->UpdateButton->setFocus();
}

void TBTelLogForm::Status(const QString &text)
{
    if (text.isEmpty())
        ui->RecvStatusBar->clearMessage();
    else
        ui->RecvStatusBar->showMessage(text);
}

void TBTelLogForm::FullScreenClick()
{
    const bool full = FullScreen->isChecked();
    ui->TopPanel->setVisible(!full);
    ui->BottomPanel->setVisible(!full);
}

void TBTelLogForm::QuoteEditExit()
{
    if (!ui->QuoteEdit->text().isEmpty())
        QuotationMark = ui->QuoteEdit->text();
    ui->TelLogRich->PopupQuote = QuotationMark;
}

// ---- erase and compaction --------------------------------------------------------

void TBTelLogForm::EraseButtonClick()
{
    SetUpdateCaption(UpdateCaption);
    if (Current < 1 || Current > int(Page.size()))
        return;
    QString error;
    const int mark = ToggleTelErased(Shown, First + Current - 1, &error);
    if (mark < 0)
        return Status(QStringLiteral("*** Erase Error : ") + error);
    MessageRecord &record = Page[Current - 1];
    record.Erased = std::uint8_t(mark);
    ui->TelegGrid->item(Current - 1, TypeColumn)->setText(mark ? QLatin1String(ErasedText) : record.Title);
}

void TBTelLogForm::UpdateButtonClick()
{
    const QString caption = ui->UpdateButton->text();
    if (caption == QLatin1String(UpdateCaption))
        Compact();
    else if (caption == QLatin1String(ViewCaption))
        ShowFileInside();
    else if (caption == QLatin1String(BackCaption))
        HtmlBack();
    else
        ui->TelLogRich->Print();
}

void TBTelLogForm::Compact()
{
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(),
                    QStringLiteral("実行すると,消去ﾏｰｸをつけられた TEL(送受信とも)はﾌｫﾙﾀﾞの中から物理的にも削除されます.\r\n"
                                   "よろしいですか?"),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setObjectName(QStringLiteral("CompactQuestion"));
    if (box.exec() != QMessageBox::Yes)
        return;
    TelLogCompaction result;
    QString error;
    if (!CompactTelLog(Shown, result, &error)) {
        WriteLog(ALPHA, QStringLiteral("*** TEL Log Update Error : ") + error);
        return Status(QStringLiteral("*** Update Error : ") + error);
    }
    if (Shown.inUse()) {
        SaveSettingsReported();
        if (BLookupForm)
            BLookupForm->ui->RecvNumLabel->setText(QStringLiteral("[ %1 ]").arg(WaitingCount()));
        // Announcements of TELs stored before the compaction may still wait
        // in the queue with the old count: the count is told again after them.
        QMetaObject::invokeMethod(
            this, [] { plat::BroadcastToForms(WaitingTelsMessage, 1, WaitingCount() - 1); }, Qt::QueuedConnection);
    }
    LoadTail();
}

// ---- another pair ------------------------------------------------------------------

void TBTelLogForm::FolderEditExit()
{
    QString folder = ui->FolderEdit->text();
    while (folder.size() > 1 && (folder.endsWith(QLatin1Char('/')) || folder.endsWith(QLatin1Char('\\'))))
        folder.chop(1);
    Wanted.folder = folder;
}

void TBTelLogForm::FileEditExit()
{
    Wanted.name = ui->FileEdit->text();
}

void TBTelLogForm::FolderEditDblClick()
{
    QFileDialog dialog(this);
    dialog.setObjectName(QStringLiteral("FolderDialog"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setDirectory(Wanted.folder);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    ui->FolderEdit->setText(dialog.selectedFiles().constFirst());
    FolderEditExit();
    ui->ChangeButton->setEnabled(true);
}

void TBTelLogForm::FileEditDblClick()
{
    OpenDialog->setDirectory(Wanted.folder);
    if (OpenDialog->exec() != QDialog::Accepted || OpenDialog->selectedFiles().isEmpty())
        return;
    const QFileInfo chosen(OpenDialog->selectedFiles().constFirst());
    ui->FolderEdit->setText(chosen.absolutePath());
    ui->FileEdit->setText(chosen.completeBaseName());
    FolderEditExit();
    FileEditExit();
    ui->ChangeButton->setEnabled(true);
}

// Only a pair whose header record names it and whose text file is there is
// taken, once a compaction of it that a kill cut short is finished.
void TBTelLogForm::ChangeButtonClick()
{
    FolderEditExit();
    FileEditExit();
    QString error;
    const bool finished = FinishTelLogReplace(Wanted, &error);
    if (!finished)
        Status(QStringLiteral("*** ") + error);
    const std::vector<MessageRecord> header = finished ? ReadTelRecords(Wanted, 0, 1) : std::vector<MessageRecord>();
    QFile text(Wanted.textFile());
    const bool accepted = !header.empty() && !Wanted.name.isEmpty() && header.front().FileName == Wanted.name &&
                          QFileInfo(text.fileName()).isFile() && text.open(QIODevice::ReadOnly);
    if (accepted) {
        Shown = Wanted;
        LoadTail();
    } else {
        Wanted = Shown;
        ui->FolderEdit->setText(Shown.folder);
        ui->FileEdit->setText(Shown.name);
    }
    ui->ChangeButton->setEnabled(false);
}
