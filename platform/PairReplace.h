#pragma once
// Replacing files that belong together (an index and its text, and whatever
// else must change with them) all or nothing, also across a failure half-way
// and across a kill of the process.
//
// New contents are written to work files that lie beside an intent file and
// carry its base name ("Work$$$$.dat" beside "Work$$$$.job"). The intent file
// names the work files and their targets before any work file exists, and it
// is only ever replaced whole (written aside, flushed, renamed over). commit()
// makes the work files durable, keeps each old target as a hard link beside
// its work file ("Work$$$$.dat.old"), records in the intent that the new
// files now count, and renames the work files over their targets one by one.
//
// FinishPairReplace brings back order after a kill: callers run it whenever
// they open the files again and at start-up. While the intent has not been
// marked committed the old files count: the work files go. Once it has, the
// renames still pending are done; when one of them cannot be done, every
// target gets its old file back. In the end the kept old files and the
// intent go too. A commit that fails in the process does the same before it
// returns. So every target is afterwards either its old or its new file,
// byte for byte, and no work file is left; only when even putting an old
// file back fails does the intent stay, to be finished at the next open.
//
// A file placed under a work file's name by someone else (a peer's received
// file) never moves: a rename is done only on the file whose identity the
// intent recorded, and the intent names work files beside itself only.
#include <QFile>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

namespace plat {

class PairReplace {
public:
    // intentFile: the intent's path, "<folder>/<base name>.<suffix>".
    explicit PairReplace(QString intentFile);
    // Without a commit the targets stay as they are and the work files go.
    ~PairReplace();
    PairReplace(const PairReplace &) = delete;
    PairReplace &operator=(const PairReplace &) = delete;

    // A new, empty work file (with the target's permissions) that replaces
    // target on commit; null, with *error set, when it cannot be made. work
    // lies beside the intent file and begins with its base name and a dot;
    // target is an existing file inside the intent's folder. The first call
    // finishes what a replacement killed earlier left.
    QFile *stage(const QString &target, const QString &work, QString *error);

    // Makes the staged files the targets' contents. False, with *error set,
    // when the old files are still (or again) in place.
    bool commit(QString *error);

    struct Intent;

private:
    const QString intentFile_;
    std::unique_ptr<Intent> intent_;
    std::vector<std::unique_ptr<QFile>> works_;
    bool settled_ = false; // committed, or left for FinishPairReplace
};

// Completes or undoes the replacement an intent file left and removes its
// work files; true when nothing is pending afterwards (also when there is no
// intent file).
bool FinishPairReplace(const QString &intentFile, QString *error = nullptr);

namespace testing {
// For tests only: called before each step of a replacement and of its
// finishing, with the step's name: "intent" (an intent file is renamed into
// place), "create" (a work file is created), "link" (an old target is kept),
// "rename" (a work file goes over its target), "restore" (an old file goes
// back), "clean" (the work files, the kept old files and the intent go).
// Returning false makes the step fail as a failed system call would.
extern std::function<bool(const char *step)> PairReplaceStep;
} // namespace testing

} // namespace plat
