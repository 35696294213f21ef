// CompareSnapshots against the scripted array and the real change-event
// database: which share is compared, how failures come back, how long the
// client waits for the array to build the changelist, and how pages are read.

#include <algorithm>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/FXErrorUtil.h"
#include "host/HostSleep.h"
#include "tests/doubles/fake_clock.h"
#include "tests/snapclient/compare_fixture.h"

namespace snapscan_test {
namespace {

const char kWaitKey[] = "IsilonChangeListGenerationWaitTime";
const char kSourceLine[] = "Source volume[/mnt/share], Local volume[/local/share]";
const char kCompareLine[] =
    "Compare snapshots Current:[TZOP_12_345_789_a1] Prev:[TZOP_12_345_700_a1]";

std::string TotalLine(uint64_t base, uint64_t incr, uint64_t count) {
    return "Total number of items received by ChangeList for snapshots [BASE][" +
           std::to_string(base) + "] and [INCR][" + std::to_string(incr) +
           "]: " + std::to_string(count) + " ";
}

std::string AttemptLine(int attempt) {
    return "Wait for file server to create the ChangeList and recheck. Attempt[" +
           std::to_string(attempt) + "]";
}

std::vector<std::string> Args(const ScriptedArray& array, ArrayOp op, size_t index) {
    std::vector<std::string> values;
    for (const ArrayCall& call : array.CallsOf(op)) values.push_back(call.args.at(index));
    return values;
}

FileServerSnapshotCompareItem Sentinel() {
    FileServerSnapshotCompareItem item;
    item.type = 42;
    item.path = "untouched";
    return item;
}

// ---------------------------------------------------------------------------
// Which share a source volume selects.

struct SelectionCase {
    const char* name;
    std::vector<ShareFixture> shares;
    const char* source;
    bool compared;                        // false: "Could not compare snapshots for path"
    const char* volume;                   // the source without its trailing "/"
    std::vector<std::string> createArgs;  // BASE, INCR, "1" of the changelist request
};

TEST_F(CompareTest, SourceVolumeSelectsTheFirstShareWithThatScanPath) {
    const ShareFixture other{"/mnt/other", "TZOP_12_345_789_b2", 44, "TZOP_12_345_700_b2", 33};
    const ShareFixture twin{"/mnt/share", "TZOP_12_345_789_a1", 66, "TZOP_12_345_700_a1", 55};
    const ShareFixture slashed{"/mnt/s2/", "TZOP_12_345_789_c3", 88, "TZOP_12_345_700_c3", 77};
    // Laid out by hand: one case per block of lines.
    // clang-format off
    const SelectionCase cases[] = {
        {"exact scan path", {kShare}, "/mnt/share", true, "/mnt/share", {"11", "22", "1"}},
        {"trailing slash removed", {kShare}, "/mnt/share/", true, "/mnt/share", {"11", "22", "1"}},
        {"later share in the list", {other, kShare}, "/mnt/share", true, "/mnt/share", {"11", "22", "1"}},
        {"first of two with the same scan path", {kShare, twin}, "/mnt/share", true, "/mnt/share",
         {"11", "22", "1"}},
        {"letter case differs", {kShare}, "/MNT/Share", false, "/MNT/Share", {}},
        {"prefix of a scan path", {kShare}, "/mnt/sha", false, "/mnt/sha", {}},
        {"below a scan path", {kShare}, "/mnt/share/sub", false, "/mnt/share/sub", {}},
        {"scan path stored with its slash", {slashed}, "/mnt/s2/", false, "/mnt/s2", {}},
        {"no shares at all", {}, "/mnt/share", false, "/mnt/share", {}},
    };
    // clang-format on
    for (const SelectionCase& c : cases) {
        SCOPED_TRACE(c.name);
        array.Reset();
        log.Clear();
        SetShares(c.shares);

        ItemSource next = Sentinel;
        const CRwError result = Compare(c.source, next);

        const std::string sourceLine =
            std::string("Source volume[") + c.volume + "], Local volume[/local/share]";
        if (c.compared) {
            ASSERT_FALSE(result.IsError()) << result.AsString();
            EXPECT_EQ(Args(array, ArrayOp::CreateSnapshotChangeList, 0),
                      std::vector<std::string>{c.createArgs[0]});
            EXPECT_EQ(Args(array, ArrayOp::CreateSnapshotChangeList, 1),
                      std::vector<std::string>{c.createArgs[1]});
            EXPECT_EQ(Args(array, ArrayOp::CreateSnapshotChangeList, 2),
                      std::vector<std::string>{c.createArgs[2]});
            EXPECT_EQ(ClientTexts(0),
                      (std::vector<std::string>{sourceLine, kCompareLine, TotalLine(11, 22, 0)}));
            EXPECT_EQ(next().type, 5);
        } else {
            ASSERT_TRUE(result.IsError());
            EXPECT_EQ(FXErrorUtil::Win32CodeOf(result), 1627u);
            EXPECT_EQ(FXErrorUtil::MessageOf(result),
                      std::string("Could not compare snapshots for path [") + c.volume + "]");
            EXPECT_EQ(ClientTexts(0), std::vector<std::string>{sourceLine});
            EXPECT_TRUE(ClientTexts(-1).empty()) << log.Dump();
            EXPECT_EQ(array.objectsCreated, 0) << "the array must not be contacted";
            EXPECT_EQ(next().type, 42);
        }
        EXPECT_EQ(array.LiveObjects(), 0);
    }
}

// ---------------------------------------------------------------------------
// Failures: code, message, trail, log, event and what the array saw.

struct Fault {
    ArrayOp op;
    int first;  // 1-based call number of the first failing call
    int count;
    const char* code;
    const char* message;
    uint32_t win32;
};

enum class Origin {
    Client,      // built by CompareSnapshots itself
    ArrayError,  // the array client's failure, passed on with one more frame
    SentEvent,   // the event that was sent, passed on with one more frame
};

struct FailureCase {
    const char* name;
    std::vector<ShareFixture> shares;
    std::optional<int> waitSetting;
    std::vector<Fault> faults;
    std::vector<ChangeListPage> pages;
    // expected
    Origin origin;
    uint32_t win32;
    std::string message;                // FXErrorUtil::MessageOf
    std::optional<std::string> pushed;  // message of the frame CompareSnapshots pushed
    std::vector<std::string> level0;
    std::vector<std::string> errors;  // level -1
    std::vector<std::string> ops;
    std::optional<std::vector<EventArg>> event;  // arguments of event 0x11000094
    int sleeps;
    bool databaseCreated;
};

TEST_F(CompareTest, FailuresLeaveTheItemSourceAndReportWhatHappened) {
    const std::string couldNot = "Could not compare snapshots for path [/mnt/share]";
    const std::vector<std::string> upToCompare{kSourceLine, kCompareLine};
    const std::vector<std::string> noOps;
    const std::vector<std::string> openOnly{"OpenConnection"};
    const std::vector<std::string> firstPage{"OpenConnection", "CreateSnapshotChangeList",
                                             "GetSnapshotChangeList"};
    const std::string unableBetween =
        "Unable to get the snapshot changelist between snapshots [BASE][11] and [INCR][22]";
    const ChangeListPage pageA{{Entry("5", "/a")}, "t1"};
    const ChangeListPage pageB{{Entry("6", "/b")}, "t2"};

    // Laid out by hand: one case per block of lines.
    // clang-format off
    const FailureCase cases[] = {
        {"previous snapshot name missing",
         {{"/mnt/share", "cur", 22, "", 11}}, {}, {}, {},
         Origin::Client, 1627, couldNot, std::nullopt,
         {kSourceLine}, {"Current snapshot[cur] or prev snapshot[] is not valid"}, noOps,
         std::nullopt, 0, false},
        {"previous snapshot id 0",
         {{"/mnt/share", "cur", 22, "prev", 0}}, {}, {}, {},
         Origin::Client, 1627, couldNot, std::nullopt,
         {kSourceLine}, {"Current snapshot[cur] or prev snapshot[prev] is not valid"}, noOps,
         std::nullopt, 0, false},
        {"current snapshot name missing",
         {{"/mnt/share", "", 22, "prev", 11}}, {}, {}, {},
         Origin::Client, 1627, couldNot, std::nullopt,
         {kSourceLine}, {"Current snapshot[] or prev snapshot[prev] is not valid"}, noOps,
         std::nullopt, 0, false},
        {"current snapshot id 0",
         {{"/mnt/share", "cur", 0, "prev", 11}}, {}, {}, {},
         Origin::Client, 1627, couldNot, std::nullopt,
         {kSourceLine}, {"Current snapshot[cur] or prev snapshot[prev] is not valid"}, noOps,
         std::nullopt, 0, false},
        {"first share of a scan path unusable, a later one usable",
         {{"/mnt/share", "cur", 0, "prev", 11}, kShare}, {}, {}, {},
         Origin::Client, 1627, couldNot, std::nullopt,
         {kSourceLine}, {"Current snapshot[cur] or prev snapshot[prev] is not valid"}, noOps,
         std::nullopt, 0, false},
        {"connection refused",
         {kShare}, {}, {{ArrayOp::OpenConnection, 1, 1, "AUTH_FAILED", "login refused", 1627}}, {},
         Origin::Client, 1627,
         "Unable to connect to array:[array.test]. Please check connectivity to the array and "
         "check the array management settings.",
         std::nullopt, upToCompare, {}, openOnly, std::nullopt, 0, false},
        {"changelist creation refused",
         {kShare}, {},
         {{ArrayOp::CreateSnapshotChangeList, 1, 1, "AEC_FORBIDDEN", "Privilege check failed", 5}}, {},
         Origin::ArrayError, 5, "Privilege check failed",
         std::string("Unable to create snapshot changelist between snapshots [BASE][11] and [INCR][22]."),
         upToCompare, {}, {"OpenConnection", "CreateSnapshotChangeList"}, std::nullopt, 0, false},
        {"first page refused, ids beyond 32 bits",
         {{"/mnt/share", "TZOP_12_345_789_a1", 18446744073709551615ULL, "TZOP_12_345_700_a1",
           4294967297ULL}},
         {}, {{ArrayOp::GetSnapshotChangeList, 1, 1, "AEC_BAD_REQUEST", "Invalid snapshot id", 1627}},
         {},
         Origin::Client, 1627,
         "Unable to get the snapshot changelist between snapshots [BASE][4294967297] and "
         "[INCR][18446744073709551615], Error:[AEC_BAD_REQUEST][Invalid snapshot id]",
         std::nullopt,
         {kSourceLine, kCompareLine,
          "Unable to get the snapshot changelist between snapshots [BASE][4294967297] and "
          "[INCR][18446744073709551615], Error:[AEC_BAD_REQUEST][Invalid snapshot id]"},
         {}, firstPage,
         std::vector<EventArg>{uint64_t{4294967297ULL}, uint64_t{18446744073709551615ULL},
                               std::string("Invalid snapshot id")},
         0, false},
        {"first page code differs from not-found only in case: no waiting",
         {kShare}, {}, {{ArrayOp::GetSnapshotChangeList, 1, 1, "aec_not_found", "lower", 1627}}, {},
         Origin::Client, 1627,
         "Unable to get the snapshot changelist between snapshots [BASE][11] and [INCR][22], "
         "Error:[aec_not_found][lower]",
         std::nullopt,
         {kSourceLine, kCompareLine,
          "Unable to get the snapshot changelist between snapshots [BASE][11] and [INCR][22], "
          "Error:[aec_not_found][lower]"},
         {}, firstPage, std::vector<EventArg>{uint64_t{11}, uint64_t{22}, std::string("lower")}, 0,
         false},
        {"not ready and a wait below one poll: one request only",
         {kShare}, -1,
         {{ArrayOp::GetSnapshotChangeList, 1, 2, "AEC_NOT_FOUND", "Changelist 11_22 not found", 1627}},
         {},
         Origin::Client, 1627,
         "Unable to get the snapshot changelist between snapshots [BASE][11] and [INCR][22], "
         "Error:[AEC_NOT_FOUND][Changelist 11_22 not found]",
         std::nullopt,
         {kSourceLine, kCompareLine,
          "Registry key[IsilonChangeListGenerationWaitTime] set to value[-1]", AttemptLine(1),
          "Unable to get the snapshot changelist between snapshots [BASE][11] and [INCR][22], "
          "Error:[AEC_NOT_FOUND][Changelist 11_22 not found]"},
         {}, firstPage,
         std::vector<EventArg>{uint64_t{11}, uint64_t{22}, std::string("Changelist 11_22 not found")},
         1, false},
        {"second page not found: no waiting",
         {kShare}, {}, {{ArrayOp::GetSnapshotChangeList, 2, 1, "AEC_NOT_FOUND", "gone", 1627}},
         {pageA},
         Origin::SentEvent, 0, "", unableBetween, upToCompare, {},
         {"OpenConnection", "CreateSnapshotChangeList", "GetSnapshotChangeList",
          "GetSnapshotChangeList"},
         std::vector<EventArg>{uint64_t{11}, uint64_t{22}, std::string("gone")}, 0, true},
        {"third page refused",
         {kShare}, {},
         {{ArrayOp::GetSnapshotChangeList, 3, 1, "500", "Internal Server Error", 1627}},
         {pageA, pageB},
         Origin::SentEvent, 0, "", unableBetween, upToCompare, {},
         {"OpenConnection", "CreateSnapshotChangeList", "GetSnapshotChangeList",
          "GetSnapshotChangeList", "GetSnapshotChangeList"},
         std::vector<EventArg>{uint64_t{11}, uint64_t{22}, std::string("Internal Server Error")}, 0,
         true},
    };
    // clang-format on

    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        client = MakeClient();
        Peer::Array(*client).reset();
        array.Reset();
        log.Clear();
        events.Clear();
        sleeps.Clear();
        if (c.waitSetting)
            config.SetSetting(kWaitKey, *c.waitSetting);
        else
            config.RemoveSetting(kWaitKey);
        SetShares(c.shares);
        for (const Fault& f : c.faults)
            for (int i = 0; i < f.count; ++i)
                array.FailNth(f.op, f.first + i, f.code, f.message, f.win32);
        QueuePages(c.pages);

        ItemSource next = Sentinel;
        const CRwError result = Compare("/mnt/share", next);

        ASSERT_TRUE(result.IsError());
        const FXErrorPrivate* detail = result.Detail();
        ASSERT_NE(detail, nullptr);
        ASSERT_FALSE(detail->trail.empty());
        EXPECT_EQ(FXErrorUtil::Win32CodeOf(result), c.win32) << result.AsString();
        EXPECT_EQ(FXErrorUtil::EventIdOf(result), c.origin == Origin::SentEvent ? 0x11000094 : 0);
        EXPECT_EQ(FXErrorUtil::MessageOf(result), c.message);
        EXPECT_NE(detail->trail.back().function.find("CompareSnapshots"), std::string::npos)
            << "created or pushed elsewhere: " << detail->trail.back().function;
        if (c.pushed) {
            ASSERT_GE(detail->trail.size(), 2u);
            EXPECT_EQ(detail->trail.back().message, *c.pushed);
        } else {
            EXPECT_EQ(detail->trail.size(), 1u) << result.AsString();
        }

        EXPECT_EQ(ClientTexts(0), c.level0) << log.Dump();
        EXPECT_EQ(ClientTexts(-1), c.errors) << log.Dump();
        EXPECT_EQ(array.OpSequence(), c.ops);
        EXPECT_EQ(array.LiveObjects(), 0) << "the comparison's connection must be closed";

        const std::vector<RecordedEvent> sent = events.Events();
        if (c.event) {
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(sent[0].operation, "send");
            EXPECT_EQ(sent[0].eventId, 0x11000094);
            EXPECT_EQ(sent[0].arguments, *c.event);
            EXPECT_EQ(sent[0].severity, 0);
            EXPECT_EQ(sent[0].reserved, 0);
            if (c.origin == Origin::SentEvent) {
                EXPECT_EQ(sent[0].event.Detail(), detail);
            }
        } else {
            EXPECT_TRUE(sent.empty());
        }
        if (c.origin == Origin::ArrayError) {
            EXPECT_EQ(array.lastReturnedError.Detail(), detail);
        }

        const std::vector<SleepCall> slept = sleeps.Calls();
        ASSERT_EQ(slept.size(), static_cast<size_t>(c.sleeps));
        for (const SleepCall& call : slept) EXPECT_EQ(call.milliseconds, 5000u);

        EXPECT_EQ(Peer::EventMonitor(*client) != nullptr, c.databaseCreated);
        const FileServerSnapshotCompareItem untouched = next();
        EXPECT_EQ(untouched.type, 42);
        EXPECT_EQ(untouched.path, "untouched");
    }
}

// ---------------------------------------------------------------------------
// An entry that names nothing below the share, or has no inode number, is a bad
// answer: the comparison fails as for a changelist page that cannot be read,
// and no item source is handed out, so the job does not pass for delivered.

struct RefusedEntryCase {
    const char* name;
    std::string path;
    std::string inode;
    std::string problem;  // in the event and the level -1 line
};

std::string PathProblem(const std::string& printable) {
    return "the entry path [" + printable + "] does not name an entry below the share";
}

std::string InodeProblem(const std::string& printable) {
    return "the inode [" + printable + "] of the entry [/f] is not a decimal number of 64 bits";
}

TEST_F(CompareTest, EntriesOutsideTheShareOrWithoutAnInodeNumberFailTheComparison) {
    const RefusedEntryCase cases[] = {
        {"parent components", "/../../etc/shadow", "12", PathProblem("/../../etc/shadow")},
        {"parent component further down", "/a/b/../../../x", "12", PathProblem("/a/b/../../../x")},
        {"last component is a parent", "/a/..", "12", PathProblem("/a/..")},
        {"dot component", "/a/./b", "12", PathProblem("/a/./b")},
        {"path is a dot", "/.", "12", PathProblem("/.")},
        {"empty component", "/a//b", "12", PathProblem("/a//b")},
        {"leading double slash", "//etc/shadow", "12", PathProblem("//etc/shadow")},
        {"trailing slash", "/a/", "12", PathProblem("/a/")},
        {"NUL byte", std::string("/a\0/../b", 8), "12", PathProblem("/a\\x00/../b")},
        {"NUL byte alone", std::string("/ok\0", 4), "12", PathProblem("/ok\\x00")},
        {"no leading slash: a sibling of the share", "2/x", "12", PathProblem("2/x")},
        {"empty path", "", "12", PathProblem("")},
        {"line feed shown escaped", "/../a\nb", "12", PathProblem("/../a\\x0Ab")},
        {"inode with colons", "/f", "1:0003:0001", InodeProblem("1:0003:0001")},
        {"inode with a sign", "/f", "+8", InodeProblem("+8")},
        {"negative inode", "/f", "-5", InodeProblem("-5")},
        {"inode with blanks", "/f", " 42", InodeProblem(" 42")},
        {"inode with trailing text", "/f", "42 ", InodeProblem("42 ")},
        {"inode in hexadecimal", "/f", "0x10", InodeProblem("0x10")},
        {"empty inode", "/f", "", InodeProblem("")},
        {"inode beyond 64 bits", "/f", "18446744073709551616",
         InodeProblem("18446744073709551616")},
        {"leading zeros do not hide a value beyond 64 bits", "/f", "0018446744073709551616",
         InodeProblem("0018446744073709551616")},
    };
    const std::string unableBetween =
        "Unable to get the snapshot changelist between snapshots [BASE][11] and [INCR][22]";
    for (const RefusedEntryCase& c : cases) {
        SCOPED_TRACE(c.name);
        client = MakeClient();
        Peer::Array(*client).reset();
        array.Reset();
        log.Clear();
        events.Clear();
        SetShares({kShare});
        // A good page first: what was loaded before the bad entry must not
        // make the comparison pass either.
        QueuePages(
            {{{Entry("5", "/ok")}, "t1"}, {{Entry(c.inode, c.path), Entry("7", "/after")}, ""}});

        ItemSource next = Sentinel;
        const CRwError result = Compare("/mnt/share", next);

        ASSERT_TRUE(result.IsError());
        EXPECT_EQ(FXErrorUtil::EventIdOf(result), 0x11000094);
        const FXErrorPrivate* detail = result.Detail();
        ASSERT_NE(detail, nullptr);
        ASSERT_GE(detail->trail.size(), 2u);
        EXPECT_EQ(detail->trail.back().message, unableBetween);
        EXPECT_NE(detail->trail.back().function.find("CompareSnapshots"), std::string::npos);

        const std::vector<RecordedEvent> sent = events.Events();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].eventId, 0x11000094);
        EXPECT_EQ(sent[0].arguments,
                  (std::vector<EventArg>{uint64_t{11}, uint64_t{22}, c.problem}));
        EXPECT_EQ(sent[0].event.Detail(), detail);
        EXPECT_EQ(ClientTexts(-1),
                  std::vector<std::string>{
                      "Refused changelist entry between snapshots [BASE][11] and [INCR][22]: " +
                      c.problem})
            << log.Dump();
        EXPECT_EQ(ClientTexts(0), (std::vector<std::string>{kSourceLine, kCompareLine}))
            << "no total: the changelist was not taken";
        EXPECT_EQ(array.LiveObjects(), 0);
        const FileServerSnapshotCompareItem untouched = next();
        EXPECT_EQ(untouched.type, 42);
        EXPECT_EQ(untouched.path, "untouched");
    }
}

// ---------------------------------------------------------------------------
// Waiting for the array to build the changelist. Sleeps return at once, so
// the clock stays put and the wait limit is never reached unless it is negative.

struct WaitCase {
    const char* name;
    std::optional<std::string> setting;  // as written in settings.ini
    int notReady;                        // "AEC_NOT_FOUND" answers before the first page
    std::optional<int> loggedValue;      // the "Registry key" line's value, if any
};

TEST_F(CompareTest, NotReadyAnswersAreRetriedEveryFiveSecondsWithinTheWait) {
    const WaitCase cases[] = {
        {"no setting, ready at once", std::nullopt, 0, std::nullopt},
        {"no setting, three answers not ready", std::nullopt, 3, std::nullopt},
        {"large setting, two answers not ready", "100000", 2, 100000},
        {"setting 1, ready at once", "1", 0, 1},
        {"setting not a number counts as absent", "soon", 1, std::nullopt},
    };
    for (const WaitCase& c : cases) {
        SCOPED_TRACE(c.name);
        array.Reset();
        log.Clear();
        sleeps.Clear();
        if (c.setting)
            config.SetSetting(kWaitKey, *c.setting);
        else
            config.RemoveSetting(kWaitKey);
        if (c.notReady > 0)
            array.FailNext(ArrayOp::GetSnapshotChangeList, c.notReady, "AEC_NOT_FOUND",
                           "Changelist 11_22 not found");
        QueuePages({ChangeListPage{{Entry("9", "/f")}, ""}});

        ItemSource next;
        const CRwError result = Compare("/mnt/share", next);
        ASSERT_FALSE(result.IsError()) << result.AsString();

        std::vector<std::string> expected{kSourceLine, kCompareLine};
        if (c.loggedValue)
            expected.push_back("Registry key[IsilonChangeListGenerationWaitTime] set to value[" +
                               std::to_string(*c.loggedValue) + "]");
        for (int attempt = 1; attempt <= c.notReady; ++attempt)
            expected.push_back(AttemptLine(attempt));
        expected.push_back(TotalLine(11, 22, 1));
        EXPECT_EQ(ClientTexts(0), expected) << log.Dump();

        EXPECT_EQ(array.CallCount(ArrayOp::GetSnapshotChangeList), c.notReady + 1);
        for (const std::string& token : Args(array, ArrayOp::GetSnapshotChangeList, 2))
            EXPECT_EQ(token, "");
        const std::vector<SleepCall> slept = sleeps.Calls();
        ASSERT_EQ(slept.size(), static_cast<size_t>(c.notReady));
        for (const SleepCall& call : slept) EXPECT_EQ(call.milliseconds, 5000u);
        EXPECT_TRUE(events.Events().empty());
        ASSERT_TRUE(next);
        EXPECT_EQ(next().path, "/mnt/share/f");
    }
}

TEST_F(CompareTest, WaitSettingZeroMeansTheDefaultWait) {
    config.SetSetting(kWaitKey, 0);
    array.FailNext(ArrayOp::GetSnapshotChangeList, 1, "AEC_NOT_FOUND",
                   "Changelist 11_22 not found");
    QueuePages({ChangeListPage{{Entry("9", "/f")}, ""}});
    // The poll moves the clock 5 s on: past a wait of 0 s, within the default.
    FakeClock clock;

    ItemSource next;
    const CRwError result = Compare("/mnt/share", next);

    ASSERT_FALSE(result.IsError()) << result.AsString();
    EXPECT_EQ(sleeps.Calls().size(), 1u);
    EXPECT_EQ(array.CallCount(ArrayOp::GetSnapshotChangeList), 2);
    EXPECT_EQ(ClientTexts(0), (std::vector<std::string>{kSourceLine, kCompareLine, AttemptLine(1),
                                                        TotalLine(11, 22, 1)}))
        << log.Dump();
}

// A changelist that never gets ready: the client polls every 5 s while at
// most the wait has passed since the first request, then gives up with the
// changelist failure and its event. The clock moves only by the sleeps.
struct ExpiryCase {
    const char* name;
    std::optional<int> setting;
    int requests;  // first request plus one per poll still within the wait
};

TEST_F(CompareTest, APositiveWaitExpiresAfterTheLastPollWithinIt) {
    const ExpiryCase cases[] = {
        {"wait below one poll", 4, 1},
        {"wait of exactly one poll", 5, 2},
        {"wait of two polls", 10, 3},
        {"wait between polls", 12, 3},
        {"default wait of 180 s", std::nullopt, 37},
        {"0 means the default", 0, 37},
    };
    for (const ExpiryCase& c : cases) {
        SCOPED_TRACE(c.name);
        array.Reset();
        log.Clear();
        events.Clear();
        sleeps.Clear();
        if (c.setting)
            config.SetSetting(kWaitKey, *c.setting);
        else
            config.RemoveSetting(kWaitKey);
        array.FailAlways(ArrayOp::GetSnapshotChangeList, "AEC_NOT_FOUND",
                         "Changelist 11_22 not found");
        FakeClock clock;
        const time_t start = clock.Now();

        ItemSource next = Sentinel;
        const CRwError result = Compare("/mnt/share", next);

        ASSERT_TRUE(result.IsError());
        EXPECT_EQ(FXErrorUtil::Win32CodeOf(result), 1627u);
        EXPECT_EQ(FXErrorUtil::MessageOf(result),
                  "Unable to get the snapshot changelist between snapshots [BASE][11] and "
                  "[INCR][22], Error:[AEC_NOT_FOUND][Changelist 11_22 not found]");
        EXPECT_EQ(array.CallCount(ArrayOp::GetSnapshotChangeList), c.requests);
        EXPECT_EQ(sleeps.Calls().size(), static_cast<size_t>(c.requests));
        EXPECT_EQ(clock.Now() - start, 5 * c.requests);
        const std::vector<std::string> texts = ClientTexts(0);
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(std::count(texts.begin(), texts.end(), AttemptLine(c.requests)), 1);
        EXPECT_EQ(std::count(texts.begin(), texts.end(), AttemptLine(c.requests + 1)), 0);
        ASSERT_EQ(events.Events().size(), 1u);
        EXPECT_EQ(events.Events()[0].eventId, 0x11000094);
        EXPECT_EQ(next().type, 42) << "no item source is handed out";
    }
}

// ---------------------------------------------------------------------------
// Paging: every page is requested with the token of the one before; the total
// counts every entry read.

struct PagingCase {
    const char* name;
    std::vector<ChangeListPage> pages;
    std::vector<std::string> tokensSent;
    uint64_t total;
    size_t items;  // distinct entries (inode and path) delivered before the end item
};

TEST_F(CompareTest, PagesAreReadUntilTheResumeTokenIsEmpty) {
    const PagingCase cases[] = {
        {"empty changelist", {}, {""}, 0, 0},
        {"page without entries but with a token",
         {{{}, "t1"}, {{Entry("1", "/a")}, ""}},
         {"", "t1"},
         1,
         1},
        {"three pages",
         {{{Entry("1", "/a"), Entry("2", "/b")}, "t1"},
          {{}, "t2"},
          {{Entry("3", "/c"), Entry("4", "/d"), Entry("5", "/e")}, ""}},
         {"", "t1", "t2"},
         5,
         5},
        // The same entry twice is one item; /a2, another path of inode 1 (a
        // hard link), is an item of its own.
        {"duplicates count in the total",
         {{{Entry("1", "/a"), Entry("1", "/a")}, "t1"}, {{Entry("1", "/a2")}, ""}},
         {"", "t1"},
         3,
         2},
    };
    for (const PagingCase& c : cases) {
        SCOPED_TRACE(c.name);
        array.Reset();
        log.Clear();
        QueuePages(c.pages);

        ItemSource next;
        const CRwError result = Compare("/mnt/share", next);
        ASSERT_FALSE(result.IsError()) << result.AsString();

        EXPECT_EQ(Args(array, ArrayOp::GetSnapshotChangeList, 2), c.tokensSent);
        EXPECT_EQ(Args(array, ArrayOp::GetSnapshotChangeList, 0),
                  std::vector<std::string>(c.tokensSent.size(), "11"));
        EXPECT_EQ(Args(array, ArrayOp::GetSnapshotChangeList, 1),
                  std::vector<std::string>(c.tokensSent.size(), "22"));
        EXPECT_EQ(ClientTexts(0), (std::vector<std::string>{kSourceLine, kCompareLine,
                                                            TotalLine(11, 22, c.total)}));
        EXPECT_EQ(array.LiveObjects(), 0);
        ASSERT_TRUE(next);
        const std::vector<FileServerSnapshotCompareItem> items = Drain(next);
        ASSERT_EQ(items.size(), c.items + 1);
        EXPECT_EQ(items.back().type, 5);
    }
}

TEST_F(CompareTest, ConnectsWithTheJobsCredentialsAndRequestsTheChangelistOnce) {
    ItemSource next;
    ASSERT_FALSE(Compare("/mnt/share", next).IsError());

    const std::vector<ArrayCall> opens = array.CallsOf(ArrayOp::OpenConnection);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].args, (std::vector<std::string>{"array.test", "backup", "pw-secret"}));
    const std::vector<ArrayCall> creates = array.CallsOf(ArrayOp::CreateSnapshotChangeList);
    ASSERT_EQ(creates.size(), 1u);
    EXPECT_EQ(creates[0].args, (std::vector<std::string>{"11", "22", "1"}));
    // One connection object, made for this call and gone with it.
    EXPECT_EQ(array.objectsCreated, 1);
    EXPECT_EQ(array.LiveObjects(), 0);
    for (const ArrayCall& call : array.calls) EXPECT_EQ(call.object, 1);
    EXPECT_EQ(Peer::Array(*client), nullptr) << "the job's connection is not reopened";
    for (const LogLine& line : log.Lines())
        EXPECT_EQ(line.text.find("pw-secret"), std::string::npos) << line.text;
}

}  // namespace
}  // namespace snapscan_test
