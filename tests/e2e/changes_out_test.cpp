// The changes a job hands to standard tools: a mirror of a share kept by one
// rsync run per incremental job, exactly as the README's recipe does it, must
// equal the job's snapshot after every round of random changes.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/e2e/e2e_harness.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using namespace snapscan_e2e;

bool HaveRsync() {
    for (const char* dir : {"/usr/bin", "/bin", "/usr/local/bin"}) {
        if (::access((std::string(dir) + "/rsync").c_str(), X_OK) == 0) return true;
    }
    return false;
}

// A tree as a map of relative path to type, permissions and content (or link
// target); ".snapshot" at the top is the array's, not the share's.
std::map<std::string, std::string> Walk(const fs::path& root) {
    std::map<std::string, std::string> tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string relative = it->path().lexically_relative(root).native();
        if (it.depth() == 0 && it->path().filename() == ".snapshot") {
            it.disable_recursion_pending();
            continue;
        }
        struct stat info;
        EXPECT_EQ(::lstat(it->path().c_str(), &info), 0) << it->path();
        std::string entry = std::to_string(info.st_mode) + ":";
        if (S_ISREG(info.st_mode))
            entry += ReadFile(it->path());
        else if (S_ISLNK(info.st_mode))
            entry += fs::read_symlink(it->path()).native();
        tree[relative] = entry;
    }
    return tree;
}

// Random changes to a share: seeded, so that a failing round can be replayed.
class Mutator {
public:
    Mutator(fs::path share, unsigned seed) : m_share(std::move(share)), m_random(seed) {}

    // A name with the awkward bytes names on a NAS carry.
    std::string Name() {
        static const char* const kPieces[] = {
            "plain",     "with space", "quote'\"s", "\xff\xfe-latin1", "caf\xc3\xa9", "new\nline",
            "tab\there", "-dash",      "*star?",    "back\\slash",     "x:y",         ".hidden"};
        return std::string(kPieces[Pick(std::size(kPieces))]) + "-" + std::to_string(++m_counter);
    }

    void Round(int changes) {
        for (int i = 0; i < changes; ++i) Change();
    }

    void Populate(int entries) {
        for (int i = 0; i < entries; ++i) {
            if (Pick(4) == 0)
                fs::create_directories(RandomDir() / Name());
            else
                WriteFile(RandomDir() / Name(), Content());
        }
    }

    std::vector<std::string> journal;

private:
    size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(m_random); }

    std::string Content() { return "content " + std::to_string(++m_counter) + "\n"; }

    std::vector<fs::path> Entries(bool directories) {
        std::vector<fs::path> found;
        for (auto it = fs::recursive_directory_iterator(m_share);
             it != fs::recursive_directory_iterator(); ++it) {
            if (it.depth() == 0 && it->path().filename() == ".snapshot") {
                it.disable_recursion_pending();
                continue;
            }
            if (it->is_directory() == directories) found.push_back(it->path());
        }
        std::sort(found.begin(), found.end());  // the walk's order is not the seed's
        return found;
    }

    fs::path RandomDir() {
        std::vector<fs::path> dirs = Entries(true);
        dirs.push_back(m_share);
        return dirs[Pick(dirs.size())];
    }

    void Change() {
        const std::vector<fs::path> files = Entries(false);
        const std::vector<fs::path> dirs = Entries(true);
        switch (Pick(10)) {
            case 0: {  // a new deep tree
                fs::path dir = RandomDir();
                for (size_t depth = 1 + Pick(5); depth > 0; --depth) {
                    dir /= Name();
                    fs::create_directories(dir);
                    WriteFile(dir / Name(), Content());
                }
                journal.push_back("tree " + dir.native());
                return;
            }
            case 1: {
                const fs::path file = RandomDir() / Name();
                WriteFile(file, Content());
                journal.push_back("add " + file.native());
                return;
            }
            case 2:
                if (files.empty()) return;
                {
                    const fs::path& file = files[Pick(files.size())];
                    WriteFile(file, ReadFile(file) + Content());
                    journal.push_back("edit " + file.native());
                }
                return;
            case 3:
                if (files.empty()) return;
                {
                    const fs::path& file = files[Pick(files.size())];
                    fs::remove(file);
                    journal.push_back("delete " + file.native());
                }
                return;
            case 4:
                if (dirs.empty()) return;
                {
                    const fs::path& dir = dirs[Pick(dirs.size())];
                    fs::remove_all(dir);
                    journal.push_back("delete tree " + dir.native());
                }
                return;
            case 5:
            case 6:
                if (files.empty()) return;
                {
                    const fs::path& file = files[Pick(files.size())];
                    const fs::path to = (Pick(2) ? file.parent_path() : RandomDir()) / Name();
                    fs::rename(file, to);
                    journal.push_back("move " + file.native() + " -> " + to.native());
                }
                return;
            case 7:
            case 8:
                if (dirs.empty()) return;
                {
                    const fs::path& dir = dirs[Pick(dirs.size())];
                    fs::path target = RandomDir();
                    // Not into itself; then now and again a new entry takes the old name.
                    if (target.native().rfind(dir.native(), 0) == 0) target = m_share;
                    const fs::path to = target / Name();
                    fs::rename(dir, to);
                    journal.push_back("move tree " + dir.native() + " -> " + to.native());
                    if (Pick(2) == 0) {
                        fs::create_directories(dir);
                        WriteFile(dir / Name(), Content());
                        journal.push_back("new tree at the old name " + dir.native());
                    } else if (Pick(2) == 0) {
                        WriteFile(dir, Content());
                        journal.push_back("file at the old name " + dir.native());
                    }
                }
                return;
            default:
                if (files.empty()) return;
                {  // a file becomes a directory of the same name
                    const fs::path& file = files[Pick(files.size())];
                    fs::remove(file);
                    fs::create_directories(file);
                    WriteFile(file / Name(), Content());
                    journal.push_back("file to tree " + file.native());
                }
                return;
        }
    }

    fs::path m_share;
    std::mt19937 m_random;
    unsigned m_counter = 0;
};

class ChangesOutTest : public E2eTest {
protected:
    // Runs a program; its exit status.
    int Run(const std::vector<std::string>& argv) {
        const pid_t pid = Spawn(argv, dir / "run.out", dir / "run.err");
        int status = 0;
        if (pid <= 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
        return WEXITSTATUS(status);
    }

    // One job and the mirror's update, by the example script the README shows.
    Result MirrorShare(const fs::path& share, const fs::path& mirror, const fs::path& work) {
        const ScopedEnvironment cli("SNAPSCAN", SNAPSCAN_CLI);
        const ScopedEnvironment plugin("SNAPSCAN_PLUGIN", SNAPSCAN_PLUGIN);
        Result result;
        result.status = Run({"/bin/sh", SNAPSCAN_SOURCE_DIR "/deploy/examples/mirror-share", "1",
                             "1", share.native(), mirror.native(), work.native()});
        result.out = ReadFile(dir / "run.out");
        result.err = ReadFile(dir / "run.err");
        return result;
    }

    // The read path of `share` from the job's map file.
    static std::string ReadPath(const fs::path& share, const fs::path& work) {
        const std::string map = ReadFile(work / "map");
        const std::string prefix = "m:" + share.native() + "/:";
        if (map.rfind(prefix, 0) != 0 || map.size() < prefix.size() + 2) return std::string();
        return map.substr(prefix.size(), map.size() - prefix.size() - 2);  // ":\n"
    }

    struct ScopedEnvironment {
        ScopedEnvironment(const char* name, const char* value) : name(name) {
            ::setenv(name, value, 1);
        }
        ~ScopedEnvironment() { ::unsetenv(name); }
        const char* name;
    };
};

TEST_F(ChangesOutTest, RsyncOfEachJobsListKeepsAMirrorEqualToItsSnapshot) {
    ASSERT_TRUE(HaveRsync()) << "rsync is needed (scripts/bootstrap installs it)";
    const fs::path share = Share("s1");
    const fs::path mirror = dir / "mirror";
    constexpr unsigned kSeed = 20261210;
    Mutator mutator(share, kSeed);
    mutator.Populate(60);

    // The full job has no list: the mirror starts as a copy of its snapshot.
    const fs::path work = dir / "work";
    const std::string list = (work / "changes").native();
    Result full = MirrorShare(share, mirror, work);
    ASSERT_EQ(full.status, 0) << full.out << full.err;
    EXPECT_FALSE(fs::exists(list));
    EXPECT_EQ(Walk(mirror), Walk(ReadPath(share, work)));

    for (int round = 1; round <= 5; ++round) {
        SCOPED_TRACE("seed " + std::to_string(kSeed) + ", round " + std::to_string(round));
        mutator.Round(12);
        Result job = MirrorShare(share, mirror, work);
        ASSERT_EQ(job.status, 0) << job.out << job.err;
        EXPECT_THAT(job.out, HasSubstr("succeeded (exit 0): 1 shares (1 incremental)"));
        ASSERT_TRUE(fs::exists(list));
        ASSERT_TRUE(fs::exists(list + ".removed"));
        const std::string readPath = ReadPath(share, work);
        ASSERT_THAT(readPath, HasSubstr("/.snapshot/TZOP_1_1_" + std::to_string(round + 1) + "_"));
        const auto expected = Walk(readPath);
        const auto got = Walk(mirror);
        EXPECT_EQ(got, expected);
        if (got != expected) {
            for (const auto& line : mutator.journal) ADD_FAILURE() << line;
            break;
        }
        mutator.journal.clear();
    }
    // The job leaves only its two lists beside them, no temporary file.
    std::vector<std::string> beside;
    for (const auto& entry : fs::directory_iterator(work))
        if (entry.path().filename().native().rfind("changes", 0) == 0)
            beside.push_back(entry.path().filename());
    std::sort(beside.begin(), beside.end());
    EXPECT_EQ(beside, (std::vector<std::string>{"changes", "changes.removed"}));
}

TEST_F(ChangesOutTest, JsonLinesAreTheItemRecordsAndSharesGetTheirOwnLists) {
    const std::vector<std::string> shares = {Share("s1"), Share("s2")};
    ASSERT_EQ(Job(1, 1, shares, "full").status, 0);
    WriteFile(fs::path(shares[0]) / "new one", "1\n");
    fs::rename(fs::path(shares[1]) / "d1", fs::path(shares[1]) / "d1 renamed");

    const std::string jsonl = (dir / "items.jsonl").native();
    Result job = Job(1, 1, shares, "jsonl", {"--changes-out", jsonl, "--changes-format", "jsonl"});
    ASSERT_EQ(job.status, 0) << job.err;
    std::vector<nlohmann::json> printed = job.Records("item");
    std::vector<nlohmann::json> written;
    std::istringstream lines(ReadFile(jsonl));
    for (std::string line; std::getline(lines, line);)
        written.push_back(nlohmann::json::parse(line));
    ASSERT_FALSE(printed.empty());
    ASSERT_EQ(written.size(), printed.size());
    for (size_t i = 0; i < printed.size(); ++i) {
        printed[i].erase("time");
        ASSERT_TRUE(written[i].contains("time"));
        written[i].erase("time");
        EXPECT_EQ(written[i], printed[i]);
    }

    // NUL lists, one pair per share in --share order; the renamed directory
    // comes with its entries, its old name is in the removed list.
    fs::rename(fs::path(shares[1]) / "d1 renamed", fs::path(shares[1]) / "d1 again");
    const std::string list = (dir / "list").native();
    job = Job(1, 1, shares, "nul", {"--changes-out", list});
    ASSERT_EQ(job.status, 0) << job.err;
    EXPECT_FALSE(fs::exists(list));
    EXPECT_EQ(ReadFile(list + ".1"), std::string());
    EXPECT_EQ(ReadFile(list + ".1.removed"), std::string());
    const std::string copied = ReadFile(list + ".2");
    for (const char* path : {"d1 again", "d1 again/f1", "d1 again/sub", "d1 again/sub/f2"})
        EXPECT_THAT(copied, HasSubstr(std::string(path) + '\0')) << path;
    EXPECT_EQ(ReadFile(list + ".2.removed"), std::string("d1 renamed") + '\0');

    // A job that does not hand its changes on leaves no list, not even an old one.
    const Result failed =
        Job(1, 1, {shares[0], Share("nowhere")}, "notProcessed", {"--changes-out", list});
    EXPECT_EQ(failed.status, 3) << failed.err;
    for (const char* suffix : {".1", ".1.removed", ".2", ".2.removed"})
        EXPECT_FALSE(fs::exists(list + suffix)) << suffix;
    const Result usage = Snapscan({"job", "--client-id", "1", "--subclient-id", "1", "--share",
                                   shares[0], "--results-dir", (dir / "r").native(), "--map-file",
                                   (dir / "r" / "map").native(), "--changes-format", "jsonl"});
    EXPECT_EQ(usage.status, 2);
    EXPECT_THAT(usage.err, HasSubstr("--changes-out"));
}

}  // namespace
