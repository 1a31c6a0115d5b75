#include "ProgramState.h"

#include "MainWindow.h"
#include "archive/LHA32.h"
#include "archive/ZIP32.h"
#include "core/BAppli.h"
#include "core/BCommon.h"
#include "core/BConfig.h"
#include "core/BEditor.h"
#include "core/BFinger.h"
#include "core/BFolder.h"
#include "core/BHostlst.h"
#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "core/BServer.h"
#include "core/BTcpServ.h"
#include "core/BUdpServ.h"
#include "core/BViewlst.h"
#include "platform/ArchiverLibrary.h"
#include "olc/BOlcLog.h"
#include "olc/BOlcLogMnt.h"
#include "tel/BAccLst.h"
#include "tel/BRecvTel.h"
#include "tel/BTelLog.h"
#include "tel/BTelServ.h"

#include <QApplication>
#include <QPlainTextEdit>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>

namespace testsupport {

namespace {

template <typename T>
T Snapshot(const T &value)
{
    return value;
}
template <typename T>
T Snapshot(const std::atomic<T> &value)
{
    return value.load();
}
template <typename T>
T Snapshot(const plat::Synchronized<T> &value)
{
    return value.value();
}
template <typename T, size_t N>
std::array<T, N> Snapshot(const std::array<std::atomic<T>, N> &values)
{
    std::array<T, N> copy{};
    for (size_t i = 0; i < N; ++i)
        copy[i] = values[i].load();
    return copy;
}

template <typename T, typename U>
void Restore(T &global, const U &saved)
{
    global = saved;
}
template <typename T, size_t N>
void Restore(std::array<std::atomic<T>, N> &global, const std::array<T, N> &saved)
{
    for (size_t i = 0; i < N; ++i)
        global[i] = saved[i];
}

// Lines that threads of the case logged and no memo has taken yet.
void DropPendingLogLines()
{
    QPlainTextEdit scratch;
    SetLogMemo(&scratch);
    QCoreApplication::processEvents();
    SetLogMemo(nullptr);
}

void RestoreEnvironment(const QProcessEnvironment &saved)
{
    const QProcessEnvironment now = QProcessEnvironment::systemEnvironment();
    for (const QString &name : now.keys()) {
        if (!saved.contains(name))
            qunsetenv(name.toLocal8Bit().constData());
    }
    for (const QString &name : saved.keys()) {
        if (!now.contains(name) || now.value(name) != saved.value(name))
            qputenv(name.toLocal8Bit().constData(), saved.value(name).toLocal8Bit());
    }
}

class GuardListener : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo &) override { guard_ = std::make_unique<ProgramStateGuard>(); }
    void OnTestEnd(const ::testing::TestInfo &) override { guard_.reset(); }

    std::unique_ptr<ProgramStateGuard> guard_;
};

} // namespace

template <typename T>
void ProgramStateGuard::keep(T &global)
{
    restores_.push_back([&global, saved = Snapshot(global)] { Restore(global, saved); });
}

ProgramStateGuard::ProgramStateGuard()
{
    // Start parameters and registry settings.
    for (auto *text : {&ProgramDirectory, &RegistryKeyPath, &RegistryPathText, &ProgramVersion, &StoredVersion,
                       &MainDirectory, &LogDirectory, &TextDirectory, &SendDirectory, &ListDirectory,
                       &TempDirectory, &StayDirectory, &LogFileName, &ListFileName, &LastEditFile, &LogLebel,
                       &QuotationMark, &OlcDirectory, &OlcClientDirectory, &AccountDirectory, &AccClientDirectory,
                       &AutoReplyRichFile, &AutoReplyPlainFile, &LastSentTextFile})
        keep(*text);
    for (auto *text : {&TelegDirectory, &TelegFileName, &ArrivalChime, &CustomEditor, &AutoReplyFile})
        keep(*text);
    for (auto *flag : {&RepeatTransmit, &PlainTransmit, &PasswordsEncoded, &ImageViewer, &UsingWindows95,
                       &ViewingDirect, &UseWebBrowser, &UseHtmlControl})
        keep(*flag);
    for (auto *number : {&TelegPointer, &TimeOutValue, &HtmlViewer, &ClientInterval})
        keep(*number);
    for (auto *password : {&MySelfPW, &TELPW, &OLCPW})
        keep(*password);
    keep(ApplicationHandle);
    keep(RegistryChoice);
    keep(StartParameters);
    keep(RegistryRootKey);
    keep(ReqVersionUp);
    keep(MainPosition);
    keep(ClientTimer);
    keep(AskMainDirectoryChange);

    // The activity log, the viewer table and the host list.
    keep(LogLebelNumber);
    keep(LogToFile);
    keep(LastLogFileHandle);
    keep(ViewerTable);
    keep(ViewerCount);
    keep(HostListFile);
    keep(HostListCount);
    keep(CurrentHost);
    keep(ForwardHost);

    // The main program block: this host, the channels and the seams to the system.
    keep(StartingUp);
    keep(LocalHostName);
    keep(LocalAddresses);
    keep(OpenMessageId);
    keep(CloseMessageId);
    keep(ChannelStates);
    for (auto *kind : {&TelSendWindowKind, &OlcClientWindowKind, &AccountClientWindowKind})
        keep(*kind);
    keep(EndProcessNow);
    keep(RebootMachine);

    // The servers and the TEL receiving side.
    keep(TcpServerSocket);
    keep(TcpServerAlive);
    keep(ConnectionCount);
    keep(ConnectionSockets);
    keep(ConnectionsClosed);
    keep(AutoCloseSeconds);
    keep(UdpServerSocket);
    keep(CgiSocket);
    keep(UdpServerAlive);
    keep(ReplySlots);
    keep(AccountListSeam);
    keep(AccountListFile);
    keep(AccountListCount);
    keep(TelServerEnabled);
    keep(ServerDeadlines.HandshakeMs);
    keep(ServerDeadlines.ElementMs);
    keep(ServerDeadlines.ProgressMs);
    keep(RateWindowMs);
    keep(ApplicationHelpFile);
    keep(WaitingTels);
    keep(TelFollowUp);

    // The OLC server folders that client and reader windows hold open.
    keep(OlcOpenServerFolders);

    // The window globals.
    keep(BLookupForm);
    keep(BHostListForm);
    keep(BEditorForm);
    keep(BAppliDlg);
    keep(BConfigForm);
    keep(BFingerForm);
    keep(BFolderDlg);
    keep(BAccountListForm);
    keep(BRecvTelegramForm);
    keep(BTelLogForm);
    keep(BOlcLogForm);

    for (QWidget *window : QApplication::topLevelWidgets())
        windows_.append(window);
}

ProgramStateGuard::~ProgramStateGuard()
{
    if (!StopServers())
        ADD_FAILURE() << "a server, a connection or a thread of this case did not end";
    // Windows and log lines that threads of the case posted come first, so
    // that none of them arrives in the next case.
    DropPendingLogLines();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    // Deleting one window may delete others that it owns.
    QList<QPointer<QWidget>> leftOpen;
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (!windows_.contains(window))
            leftOpen.append(window);
    }
    for (const QPointer<QWidget> &window : leftOpen)
        delete window.data();
    for (const auto &restore : restores_)
        restore();
    RestoreEnvironment(environment_);
    KeepOnlyArchiverLibraries(ArchiverLibraryNames());
}

QStringList ArchiverLibraryNames()
{
    return {QStringLiteral("UNLHA32.DLL"), QStringLiteral("UNZIP32.DLL"), QStringLiteral("ZIP32J.DLL"),
            QStringLiteral("LMZIP32.DLL")};
}

void KeepOnlyArchiverLibraries(const QStringList &present)
{
    FreeLhaLibrary();
    FreeZipLibraries();
    for (const QString &library : ArchiverLibraryNames())
        plat::SetArchiverLibraryPresent(library, present.contains(library));
}

void GuardEveryTestCase()
{
    ::testing::UnitTest::GetInstance()->listeners().Append(new GuardListener);
}

} // namespace testsupport
