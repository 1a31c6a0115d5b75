#include "archive/FILTERS.h"

#include "archive/Archiver.h"
#include "platform/Cp932.h"

#include <QFile>

QString UnsetMarker()
{
    return QString(QChar(u'\0'));
}

bool IsUnset(const QString &value)
{
    return value.size() == 1 && value.at(0) == QChar(u'\0');
}

void TArchiverOptions::Reset()
{
    for (Shortint *number : {&a,  &c,  &e,  &f,  &h,   &i,  &l,   &m,   &n,   &o,   &p,   &r,   &s,  &t,
                             &u,  &x,  &y,  &z,  &jc,  &jd, &je,  &jf,  &jh,  &ji,  &jm,  &jn,  &jp, &jr,
                             &jss, &jw, &jyc, &jyd, &jyk, &jyn, &jyo, &ga, &gd, &ge, &gf, &gj, &gm, &gn,
                             &go, &gp, &gs, &gu, &gw})
        *number = -1;
    for (QString *text : {&w, &jo, &job, &jz, &gr})
        *text = UnsetMarker();
    jx.clear();
    UserOptions.clear();
    UserFileList.clear();
    ResFileName.clear();
    PackFilter = pfArchiver;
    ResFileUsage = TResFileUsage(ruOnPack) | ruOnUnpack | ruOnRemoveItem;
}

// ---- file lists ---------------------------------------------------------------

namespace {

struct NameCollector {
    QStringList &names;

    void operator()(const QByteArray &text) const { names.append(plat::FromCp932(text)); }
    void operator()(const char *text) const
    {
        if (text)
            names.append(plat::FromCp932(QByteArray(text)));
    }
    void operator()(const QString &text) const { names.append(text); }
    void operator()(const char *const *array) const
    {
        for (; array && *array; ++array)
            names.append(plat::FromCp932(QByteArray(*array)));
    }
    void operator()(const QStringList *lines) const
    {
        if (lines)
            names.append(*lines);
    }
    void operator()(const QVariant &value) const
    {
        const int type = value.typeId();
        if (type == QMetaType::QVariantList || type == QMetaType::QStringList) {
            for (const QVariant &element : value.toList())
                names.append(element.toString());
        } else {
            names.append(value.toString());
        }
    }
    // Objects other than string lists, numbers, Booleans and characters.
    template <typename Other>
    void operator()(const Other &) const
    {
    }
};

// A text in double quotes. A text holding a double quote would end the
// quoting early and hand the rest to the library as switches.
QString Quoted(const QString &text)
{
    if (text.contains(QLatin1Char('"')))
        throw EArchiver(text + QStringLiteral(" : 名前に \" を含むため指定できません。"));
    return QLatin1Char('"') + text + QLatin1Char('"');
}

} // namespace

QStringList FileListNames(const TFileList &items)
{
    QStringList names;
    for (const TFileListItem &item : items)
        std::visit(NameCollector{names}, item);
    return names;
}

// ---- command lines ----------------------------------------------------------------

void TCmdOpt::Add(const QString &piece)
{
    Text += QLatin1Char(' ') + piece;
}

void TCmdOpt::AddInt(const QString &switchName, int value)
{
    if (value != -1)
        Add(QLatin1Char('-') + switchName + QString::number(value));
}

void TCmdOpt::AddQuoted(const QString &switchName, const QString &value)
{
    if (IsUnset(value))
        return;
    QString switchText;
    if (!switchName.isEmpty())
        switchText = switchName.startsWith(QLatin1Char(' ')) ? switchName.mid(1) : QLatin1Char('-') + switchName;
    Add(Quoted(switchText + value));
}

void TCmdOpt::AddDir(const QString &switchName, const QString &dir)
{
    if (dir.isEmpty() || IsUnset(dir))
        return;
    AddQuoted(switchName, dir.endsWith(QLatin1Char('/')) ? dir : dir + QLatin1Char('/'));
}

QString TCmdOpt::CommandName(const QString &name) const
{
    const bool folder = name.endsWith(QLatin1Char('/')) || name.endsWith(QLatin1Char('\\'));
    const QString entries = folder ? name + QLatin1Char('*') : name;
    return NameFilter ? NameFilter(entries) : entries;
}

void TCmdOpt::AddName(const QString &switchName, const QString &name)
{
    AddQuoted(switchName, CommandName(name));
}

void TCmdOpt::AddList(const QString &switchName, const TFileList &items)
{
    for (const QString &name : FileListNames(items))
        AddName(switchName, name);
}

void TCmdOpt::WriteResponseFile(const TFileList &items, const QString &fileName)
{
    QString text;
    for (const QString &name : FileListNames(items))
        text += Quoted(CommandName(name)) + QStringLiteral("\r\n");
    const QByteArray lines = LibraryText(text);
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw EFileError(QStringLiteral("Cannot create file \"%1\". %2").arg(fileName, file.errorString()));
    if (file.write(lines) != lines.size() || !file.flush())
        throw EFileError(QStringLiteral("Cannot write file \"%1\". %2").arg(fileName, file.errorString()));
    file.close();
    AddQuoted(QString(), QLatin1Char('@') + fileName);
}
