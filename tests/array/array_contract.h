#pragma once

// Cases the real array client (against arraysim) and the scripted double must
// answer alike, so that the plug-in's tests against the double hold for the
// real client. Each side supplies a driver; RunArrayContract runs the table.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "host/ManageIsilon.h"

namespace array_contract {

class Driver {
public:
    virtual ~Driver() = default;
    // A connected client.
    virtual ManageIsilon& Array() = 0;
    // The ids of a pair whose changelist is ready and runs to two pages or more.
    virtual void ReadyChangelist(uint64_t& base, uint64_t& incr) = 0;
    // The next request for a changelist page fails (the array answers 503).
    virtual void FailNextChangelistPage() = 0;
};

enum class Step {
    kDeleteNoName,
    kDeleteUnknown,
    kCreateNotUtf8Path,
    kCreateNotUtf8Name,
    kCreateNoName,
    kFirstPageFails,
    kLaterPageFails
};

struct Case {
    const char* name;
    Step step;
    const char* code;  // expected last-error code; nullptr: the array's own
};

constexpr Case kCases[] = {
    // An empty name would address the whole snapshot collection: refused before any request.
    {"delete without a name", Step::kDeleteNoName, "INVALID_ARGUMENT"},
    {"delete of an unknown snapshot", Step::kDeleteUnknown, "AEC_NOT_FOUND"},
    // JSON carries UTF-8 only: other bytes would be replaced and another directory snapshotted.
    {"create of a path that is not UTF-8", Step::kCreateNotUtf8Path, "INVALID_ARGUMENT"},
    {"create under a name that is not UTF-8", Step::kCreateNotUtf8Name, "INVALID_ARGUMENT"},
    {"create without a name", Step::kCreateNoName, "INVALID_ARGUMENT"},
    // A failed page call leaves no entries behind and the token as it was.
    {"first changelist page fails", Step::kFirstPageFails, nullptr},
    {"later changelist page fails", Step::kLaterPageFails, nullptr},
};

inline void RunArrayContract(Driver& driver) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        ManageIsilon& array = driver.Array();
        std::string code, message;
        switch (c.step) {
            case Step::kDeleteNoName:
                EXPECT_FALSE(array.DeleteSnapshot("Empty", "", 0));
                break;
            case Step::kDeleteUnknown:
                EXPECT_FALSE(array.DeleteSnapshot("Empty", "no-such-snapshot", 0));
                break;
            case Step::kCreateNotUtf8Path:
            case Step::kCreateNotUtf8Name:
            case Step::kCreateNoName: {
                const std::string path = c.step == Step::kCreateNotUtf8Path
                                             ? "/ifs/data/caf\xE9"  // Latin-1, as some shares are
                                             : "/ifs/data";
                const std::string name = c.step == Step::kCreateNoName        ? ""
                                         : c.step == Step::kCreateNotUtf8Name ? "snap\xC3("
                                                                              : "contract-snap";
                int id = -1;
                EXPECT_FALSE(array.CreateSnapshot(path, name, id));
                break;
            }
            case Step::kFirstPageFails:
            case Step::kLaterPageFails: {
                uint64_t base = 0, incr = 0;
                driver.ReadyChangelist(base, incr);
                _IsilonChangeListInfo page;
                page.items.resize(1);  // a stale entry of the caller's
                if (c.step == Step::kLaterPageFails) {
                    ASSERT_FALSE(array.GetSnapshotChangeList(base, incr, page).IsError());
                    ASSERT_FALSE(page.resumeToken.empty());
                    ASSERT_FALSE(page.items.empty());
                }
                const std::string token = page.resumeToken;
                driver.FailNextChangelistPage();
                EXPECT_TRUE(array.GetSnapshotChangeList(base, incr, page).IsError());
                EXPECT_TRUE(page.items.empty());
                EXPECT_EQ(page.resumeToken, token);
                break;
            }
        }
        array.GetLastError(code, message);
        if (c.code) {
            EXPECT_EQ(code, c.code) << message;
        }
        EXPECT_FALSE(message.empty());
    }
}

}  // namespace array_contract
