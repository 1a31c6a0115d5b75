#include "MainWindow.h"

#include "core/BLookup.h"
#include "core/BRegistr.h"
#include "platform/RecordFile.h"
#include "tel/BTelLog.h"

namespace testsupport {

TBLookupForm *StartMainWindow(const TempEnv &env)
{
    LoadIniFile(env.path());
    StartParameter('A') = QStringLiteral("1");
    auto *form = new TBLookupForm();
    LoadSettings();
    return form;
}

std::vector<MessageRecord> StoredTels()
{
    return StoredTels(TelDataFile());
}

std::vector<MessageRecord> StoredTels(const QString &dataFile)
{
    plat::RecordFile file(dataFile, MessageRecord::Size);
    std::vector<MessageRecord> all;
    QByteArray image;
    if (file.open()) {
        for (qint64 i = 1; file.read(i, image); ++i)
            all.push_back(MessageRecord::decode(image));
    }
    return all;
}

} // namespace testsupport
