#pragma once
// The product's registry keys as the utilities program sees them: the keys
// under "Software\ZK" of both roots, their values shown as text, and deleting
// them. Every read takes a fresh copy of the root's file; every change goes
// through the registry layer's locked read-modify-write.
#include "platform/Registry.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace utl {

// One line of the key list.
struct KeyListEntry {
    plat::RootKey root = plat::RootKey::CurrentUser;
    QString keyPath;   // under the root: "Software\ZK\Kalvex", or "Software\ZK" for a root entry
    QString shownName; // the root's product text + "\" + subkey name; that text alone for a root entry
};

// "HKEY_CURRENT_USER\Software\ZK" or "HKEY_LOCAL_MACHINE\SOFTWARE\ZK".
QString ProductRootText(plat::RootKey root);

// The product keys of HKEY_CURRENT_USER, then those of HKEY_LOCAL_MACHINE,
// subkeys in the registry's order; withRoots puts each root's own entry
// before its subkeys. A root without the product key adds nothing. Lines of a
// root's file that could not be read (and so are missing from what is listed,
// shown and saved) add their report lines to unread.
// Throws plat::RegistryError when a root's file cannot be read.
std::vector<KeyListEntry> ListProductKeys(bool withRoots, QStringList &unread);

// One value as shown: its name, kind (0 string, 1 double word, 2 anything
// else) and its data in the saved file's form.
struct ShownValue {
    QString name;
    int kind = 0;
    QString data;
};

// One key of the shown tree with its full name and values.
struct ShownKey {
    QString fullName;
    std::vector<ShownValue> values;
};

// The key of entry as read now, with its subtree; nothing when it is gone.
// Lines of the root's file that could not be read add their report lines to unread.
std::optional<plat::RegKey> ReadEntryKey(const KeyListEntry &entry, QStringList &unread);

// The value table of a key read by ReadEntryKey, named from shownName: the key
// itself when it holds values, then every subkey at any depth, in the order
// a saved file lists them.
std::vector<ShownKey> ReadSubKeyValues(const plat::RegKey &key, const QString &shownName);

// The report lines that show the table.
QStringList ShowKeyValues(const std::vector<ShownKey> &table);

// Pads text with blanks to width bytes of CP932 (after it, or before it with
// padBefore); cuts a longer one to width on a character boundary.
QString PadString(const QString &text, int width, bool padBefore = false);

// Deletes entry's key with its whole tree and returns the report line: deleted,
// could not be deleted, or no longer there.
QString DeleteProductKey(const KeyListEntry &entry);

} // namespace utl
