// Items are written without a JSON tree and in batches, for speed: every line must still be byte
// for byte what the record and text of the item say, whatever bytes its names carry, and no
// item may be held back past the next record.
#include <cctype>
#include <cstdio>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tools/snapscan/output.h"

namespace {

using snapscan::Output;

FileServerSnapshotCompareItem Item(int32_t kind, std::string path, std::string oldPath = "") {
    FileServerSnapshotCompareItem item;
    item.type = kind;
    item.path = std::move(path);
    item.oldPath = std::move(oldPath);
    item.info.inode = 18446744073709551615ULL;
    item.info.mode = 0100644;
    item.info.size = 123456789012ULL;
    item.info.accessTime = 1700000000;
    item.info.modifiedTime = 0;
    item.info.changeTime = 1700000002;
    return item;
}

// What Emit(ItemRecord(...), ItemText(...)) writes: the JSON library's dump of the record with
// its time, or the text line.
std::string Expected(bool json, const std::string& share, const FileServerSnapshotCompareItem& item,
                     const std::string& time) {
    if (!json) return snapscan::ItemText(item) + "\n";
    nlohmann::json record = snapscan::ItemRecord(share, item);
    record["time"] = time;
    return record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string TimeOf(const std::string& line) {
    const size_t at = line.rfind("\"time\":\"");
    return at == std::string::npos ? std::string() : line.substr(at + 8, 24);
}

// Every number at its widest, of a kind the record does not know: the longest line head.
FileServerSnapshotCompareItem Widest() {
    FileServerSnapshotCompareItem item = Item(-2147483647 - 1, "/w", "/v");
    item.info.mode = 4294967295U;
    item.info.size = item.info.accessTime = item.info.modifiedTime = item.info.changeTime =
        18446744073709551615ULL;
    return item;
}

// Times given as access, modification, change.
FileServerSnapshotCompareItem SameTimes(uint64_t access, uint64_t modified, uint64_t change) {
    FileServerSnapshotCompareItem item = Item(2, "/t");
    item.info.accessTime = access;
    item.info.modifiedTime = modified;
    item.info.changeTime = change;
    return item;
}

TEST(ItemOutputTest, LinesEqualRecordAndText) {
    struct Case {
        const char* name;
        FileServerSnapshotCompareItem item;
        std::string share;
    };
    std::string everyControl;
    for (int c = 1; c < 0x20; ++c) everyControl += static_cast<char>(c);
    const Case kCases[] = {
        {"plain", Item(2, "/mnt/s/d0/f1"), "/mnt/s"},
        {"renamed", Item(3, "/mnt/s/new name", "/mnt/s/old name"), "/mnt/s"},
        {"removed", Item(4, "/mnt/s/gone"), "/mnt/s"},
        {"quotes and backslashes", Item(2, "/a \"q\" \\ b\\\\", "/o\\\"ld"), "/s \"x\""},
        {"every control byte and DEL", Item(3, "/c" + everyControl + "\x7f", everyControl), "/s"},
        {"UTF-8 of two, three and four bytes", Item(2, "/\xc3\xa9/\xe2\x82\xac/\xf0\x9f\x98\x80"),
         "/\xc3\xa9"},
        {"not UTF-8: a lone continuation byte", Item(2, "/bad\x80name"), "/s"},
        {"not UTF-8: Latin-1 in the old path", Item(3, "/new", "/caf\xe9"), "/s"},
        {"not UTF-8: overlong form", Item(4, "/\xc0\xafx"), "/s"},
        {"not UTF-8: the share", Item(2, "/p"), "/s\xff"},
        {"empty path", Item(2, ""), ""},
        {"widest numbers, unknown kind", Widest(), "/s"},
        {"three equal times", SameTimes(1700000005, 1700000005, 1700000005), "/s"},
        {"change time equal to access time", SameTimes(42, 7, 42), "/s"},
        {"modification time equal to access time", SameTimes(42, 42, 0), "/s"},
    };
    for (const bool json : {true, false}) {
        for (const Case& c : kCases) {
            SCOPED_TRACE(std::string(c.name) + (json ? " (JSON)" : " (text)"));
            std::ostringstream out, err;
            // After a plain item in the same batch: a line given up for the JSON library's
            // replacement must not take the earlier one with it.
            const FileServerSnapshotCompareItem before = Item(2, "/mnt/s/before");
            {
                Output output(out, err, json);
                output.EmitItem("/mnt/s", before);
                output.EmitItem(c.share, c.item);
            }
            const std::string text = out.str();
            const size_t firstEnd = text.find('\n') + 1;
            const std::string first = text.substr(0, firstEnd), line = text.substr(firstEnd);
            EXPECT_EQ(first, Expected(json, "/mnt/s", before, TimeOf(first)));
            EXPECT_EQ(line, Expected(json, c.share, c.item, TimeOf(line)));
            if (json) {
                EXPECT_EQ(TimeOf(line).size(), 24u) << line;
                EXPECT_TRUE(nlohmann::json::accept(line)) << line;
            }
        }
    }
}

// What text lines show of a name, byte by byte: control bytes, DEL and backslash as \xHH.
std::string EscapedByteByByte(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || byte == '\\') {
            char escape[5];
            snprintf(escape, sizeof escape, "\\x%02x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out;
}

// Plain bytes are passed over eight at a time: a byte that needs escaping, or starts a UTF-8
// sequence or a bad one, must be found at every place of such a group of eight, in the path,
// the old path and the share alike, and in text lines as in JSON.
TEST(ItemOutputTest, SpecialBytesAtEveryPlaceOfAWord) {
    const std::string kSpecials[] = {
        "\"",   "\\",       std::string(1, '\x01'), "\x1f", " ",
        "\x7f", "\xc3\xa9", "\xf0\x9f\x98\x80",     "\xff", "\xe2\x82"};
    for (const std::string& special : kSpecials) {
        for (size_t place = 0; place < 18; ++place) {
            const std::string name = "/" + std::string(place, 'a') + special + "bcdefghijk";
            SCOPED_TRACE("byte " + std::to_string(static_cast<unsigned char>(special[0])) +
                         " after " + std::to_string(place + 1) + " bytes");
            EXPECT_EQ(EscapedByteByByte(name), snapscan::EscapeControl(name));
            for (int field = 0; field < 3; ++field) {
                const FileServerSnapshotCompareItem item =
                    Item(3, field == 0 ? name : "/p", field == 1 ? name : "/o");
                const std::string share = field == 2 ? name : "/s";
                std::ostringstream out, err;
                {
                    Output output(out, err, true);
                    output.EmitItem(share, item);
                }
                const std::string line = out.str();
                EXPECT_EQ(line, Expected(true, share, item, TimeOf(line)));
            }
        }
    }
}

// Items wait in a batch, but never behind a later record or the end of the output.
TEST(ItemOutputTest, BatchedItemsKeepTheirPlace) {
    for (const bool json : {true, false}) {
        SCOPED_TRACE(json ? "JSON" : "text");
        std::ostringstream out, err;
        {
            Output output(out, err, json);
            output.EmitItem("/s", Item(2, "/s/first"));
            output.Emit({{"event", "shareDone"}}, "done");
            output.EmitItem("/s", Item(4, "/s/last"));
        }
        const std::string text = out.str();
        const size_t first = text.find("/s/first"),
                     done = text.find("shareDone") == std::string::npos ? text.find("done\n")
                                                                        : text.find("shareDone"),
                     last = text.find("/s/last");
        ASSERT_NE(first, std::string::npos) << text;
        ASSERT_NE(done, std::string::npos) << text;
        ASSERT_NE(last, std::string::npos) << text;
        EXPECT_LT(first, done);
        EXPECT_LT(done, last);
    }
}

// Many batches go to the stream through the writer thread: every item arrives once and in
// order, and the records and progress lines written between them keep their place.
TEST(ItemOutputTest, ManyBatchesArriveWholeAndInOrder) {
    constexpr int kItems = 30000;  // about 40 batches in JSON, 15 in text
    for (const bool json : {true, false}) {
        SCOPED_TRACE(json ? "JSON" : "text");
        std::ostringstream both;
        {
            Output output(both, both, json);
            for (int i = 0; i < kItems; ++i) {
                if (i % 7000 == 0)
                    output.Emit({{"event", "mark"}, {"at", i}}, "mark " + std::to_string(i));
                if (i % 10000 == 5000) output.Progress("progress " + std::to_string(i));
                output.EmitItem("/s", Item(2, "/s/f" + std::to_string(i)));
            }
        }
        std::istringstream lines(both.str());
        std::string line;
        int nextItem = 0, nextMark = 0, nextProgress = 5000;
        while (std::getline(lines, line)) {
            const size_t at = line.find("/s/f");
            if (line.find("mark") != std::string::npos) {
                EXPECT_EQ(nextItem, nextMark) << line;
                nextMark += 7000;
            } else if (line.rfind("progress ", 0) == 0) {
                EXPECT_EQ("progress " + std::to_string(nextItem), line);
                EXPECT_EQ(nextProgress, nextItem);
                nextProgress += 10000;
            } else {
                ASSERT_NE(at, std::string::npos) << line;
                const std::string expected = "/s/f" + std::to_string(nextItem);
                EXPECT_EQ(expected, line.substr(at, expected.size())) << line;
                EXPECT_FALSE(std::isdigit(static_cast<unsigned char>(line[at + expected.size()])))
                    << line;
                ++nextItem;
            }
        }
        EXPECT_EQ(kItems, nextItem);
        EXPECT_EQ(35000, nextMark);
        EXPECT_EQ(35000, nextProgress);
    }
}

// Where both streams reach one terminal, failure and progress lines come after the items
// written before them.
TEST(ItemOutputTest, ErrorStreamLinesFollowEarlierItems) {
    struct Case {
        const char* name;
        void (*write)(Output&);
        const char* text;
    };
    const Case kCases[] = {
        {"failure", [](Output& o) { o.Error("reading", "broken"); }, "snapscan: reading failed"},
        {"progress", [](Output& o) { o.Progress("snapscan: 1 items"); }, "snapscan: 1 items"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        std::ostringstream both;
        {
            Output output(both, both, false);
            output.EmitItem("/s", Item(2, "/s/first"));
            c.write(output);
        }
        const std::string text = both.str();
        ASSERT_NE(text.find("/s/first"), std::string::npos) << text;
        ASSERT_NE(text.find(c.text), std::string::npos) << text;
        EXPECT_LT(text.find("/s/first"), text.find(c.text)) << text;
    }
}

// Quiet text output lists no items; JSON carries them always.
TEST(ItemOutputTest, QuietTextListsNoItems) {
    std::ostringstream out, err;
    {
        Output output(out, err, false, snapscan::Verbosity::kQuiet);
        output.EmitItem("/s", Item(2, "/s/f"));
    }
    EXPECT_EQ(out.str(), "");
}

// Items the standard output could not take make the run a failure, said on the error stream.
TEST(ItemOutputTest, LostOutputIsSaidAndNotASuccess) {
    for (const bool json : {false, true}) {
        SCOPED_TRACE(json ? "json" : "text");
        std::ostringstream out, err;
        Output output(out, err, json);
        output.EmitItem("/s", Item(2, "/s/f"));
        EXPECT_FALSE(output.OutputLost());
        out.setstate(std::ios::badbit);  // as a full disk leaves the stream
        output.EmitItem("/s", Item(2, "/s/g"));
        output.Done(0);
        EXPECT_TRUE(output.OutputLost());
        EXPECT_NE(err.str().find("writing the standard output failed"), std::string::npos)
            << err.str();
    }
}

}  // namespace
