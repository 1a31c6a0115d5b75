// Replacing a pair all or nothing: a process killed before any step of a
// replacement or of its finishing, or a step that fails, leaves each file of
// the pair, once the pair is opened again, either old or new byte for byte,
// and no work file.
#include "platform/PairReplace.h"
#include "support/TempEnv.h"

#include <QDirIterator>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

enum class Act { Kill, Fail };

// Act at the hit-th time the named step comes.
struct Fault {
    std::string step;
    int hit;
    Act act;
};

struct FaultsAt {
    explicit FaultsAt(std::vector<Fault> faults)
    {
        plat::testing::PairReplaceStep = [faults, hits = std::map<std::string, int>()](const char *step) mutable {
            const int hit = ++hits[step];
            for (const Fault &f : faults) {
                if (f.step == step && f.hit == hit && f.act == Act::Kill)
                    ::raise(SIGKILL);
                if (f.step == step && f.hit == hit)
                    return false;
            }
            return true;
        };
    }
    ~FaultsAt() { plat::testing::PairReplaceStep = nullptr; }
};

std::string Describe(const std::vector<Fault> &faults)
{
    std::string text;
    for (const Fault &f : faults)
        text += (f.act == Act::Kill ? " kill " : " fail ") + f.step + ' ' + std::to_string(f.hit);
    return text;
}

// Runs work with the faults; in a child process when one of them kills it.
void RunWith(const std::vector<Fault> &faults, const std::function<void()> &work)
{
    const bool kills = std::any_of(faults.begin(), faults.end(), [](const Fault &f) { return f.act == Act::Kill; });
    const pid_t child = kills ? ::fork() : 0;
    ASSERT_GE(child, 0);
    if (child == 0) {
        FaultsAt at(faults);
        work();
        if (kills)
            ::_exit(0);
        return;
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "never reached the step";
}

class PairReplaceTest : public testsupport::TempEnvTest {};

TEST_F(PairReplaceTest, KilledOrFailedAtAnyStepTheOpenedPairIsOldOrNew)
{
    struct Row {
        std::vector<Fault> replace, finish; // during the replacement, during its finishing
        bool swapWork;                      // another file put under a work file's name after the kill
        bool isNew;
    };
    const Row rows[] = {
        {{{"intent", 1, Act::Kill}}, {}, false, false},
        {{{"create", 1, Act::Kill}}, {}, false, false},
        {{{"create", 2, Act::Kill}}, {}, false, false},
        {{{"link", 1, Act::Kill}}, {}, false, false},
        {{{"link", 2, Act::Kill}}, {}, false, false},
        {{{"intent", 3, Act::Kill}}, {}, false, false},
        {{{"rename", 1, Act::Kill}}, {}, false, true},
        {{{"rename", 2, Act::Kill}}, {}, false, true},
        {{{"clean", 1, Act::Kill}}, {}, false, true},
        {{{"rename", 2, Act::Kill}}, {{"rename", 1, Act::Kill}}, false, true},
        {{{"rename", 2, Act::Kill}}, {{"clean", 1, Act::Kill}}, false, true},
        {{{"rename", 2, Act::Kill}}, {}, true, false},
        {{{"link", 2, Act::Fail}}, {}, false, false},
        {{{"rename", 2, Act::Fail}}, {}, false, false},
        {{{"rename", 2, Act::Fail}, {"restore", 1, Act::Kill}}, {}, false, false},
        {{{"rename", 2, Act::Fail}, {"restore", 1, Act::Fail}}, {}, false, false},
    };
    const auto at = [&](const char *name) { return env.file(QStringLiteral("store/") + QLatin1String(name)); };
    const QString intent = at("Work$$$$.job");
    for (const Row &row : rows) {
        SCOPED_TRACE(Describe(row.replace) + "; finishing:" + Describe(row.finish) + (row.swapWork ? "; swapped" : ""));
        env.writeFile(QStringLiteral("store/pair.dat"), "old index");
        env.writeFile(QStringLiteral("store/sub/pair.txt"), "old text");
        RunWith(row.replace, [&] {
            plat::PairReplace replace(intent);
            QFile *newIndex = replace.stage(at("pair.dat"), at("Work$$$$.dat"), nullptr);
            QFile *newText = replace.stage(at("sub/pair.txt"), at("Work$$$$.txt"), nullptr);
            ASSERT_TRUE(newIndex && newText);
            newIndex->write("new index");
            newText->write("new text");
            EXPECT_FALSE(replace.commit(nullptr));
        });
        if (row.swapWork) { // a file of its own, made while the work file still holds its inode
            env.writeFile(QStringLiteral("store/planted"), "planted");
            ASSERT_TRUE(::rename(QFile::encodeName(at("planted")), QFile::encodeName(at("Work$$$$.txt"))) == 0);
        }
        if (!row.finish.empty())
            RunWith(row.finish, [&] { plat::FinishPairReplace(intent); });

        EXPECT_TRUE(plat::FinishPairReplace(intent));
        EXPECT_EQ(env.readFile(QStringLiteral("store/pair.dat")), row.isNew ? "new index" : "old index");
        EXPECT_EQ(env.readFile(QStringLiteral("store/sub/pair.txt")), row.isNew ? "new text" : "old text");
        QStringList files;
        for (QDirIterator it(at(""), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
            files << QDir(at("")).relativeFilePath(it.next());
        files.sort();
        EXPECT_EQ(files, QStringList({QStringLiteral("pair.dat"), QStringLiteral("sub/pair.txt")}));
    }
}

} // namespace
