#include "tools/arraysim/synthetic_changelist.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "tools/arraysim/json_bytes.h"

namespace arraysim {

namespace {

constexpr uint64_t kPpm = 1000000;
constexpr uint64_t kFirstLin = 4300000000ULL;
constexpr uint64_t kUnitsPerDir = 1000;

// Bresenham spread: how many of the first n items are picked at `ppm` parts per million.
uint64_t Picked(uint64_t n, uint64_t ppm) { return n * ppm / kPpm; }

class SyntheticChangelist : public ChangelistSource {
public:
    SyntheticChangelist(const SyntheticOptions& o, std::string root, std::string removedType)
        : m_root(std::move(root)), m_removedType(std::move(removedType)) {
        AppendJsonString(m_rootJson, m_root);
        m_rootJson = m_rootJson.substr(1, m_rootJson.size() - 2);
        AppendJsonString(m_removedTypeJson, m_removedType);
        m_dupPpm = std::min<uint64_t>(o.duplicatePpm, kPpm / 2);  // index 0 is never a duplicate
        m_renamePpm = std::min<uint64_t>(o.renamePpm, kPpm);
        uint64_t n = o.entries;
        uint64_t pure = Picked(n, std::min<uint64_t>(o.removePpm, kPpm));
        uint64_t budget = n - pure;
        // Largest present count whose renames still fit; the rest become pure removals.
        uint64_t lo = 0, hi = budget;
        while (lo < hi) {
            uint64_t mid = lo + (hi - lo + 1) / 2;
            if (PresentAndRenames(mid) <= budget)
                lo = mid;
            else
                hi = mid - 1;
        }
        m_present = lo;
        m_units = m_present - Picked(m_present, m_dupPpm);
        m_renames = Picked(m_units, m_renamePpm);
        m_pure = n - m_present - m_renames;
    }

    uint64_t Size() const override { return m_present + m_renames + m_pure; }

    void Read(uint64_t offset, uint64_t count, std::vector<ChangeEntry>* out) const override {
        uint64_t end = std::min(Size(), offset + std::min(count, Size()));
        for (uint64_t i = offset; i < end; ++i) out->push_back(At(i));
    }

    // Written straight from each entry's shape: no entry, no path string, no escaping but the
    // root's, done once; the fixed pieces of an entry go through a buffer on the stack. The
    // emulator then costs the benchmarks far less than the client it serves, so that their
    // figures are the client's.
    uint64_t AppendPageItems(uint64_t offset, uint64_t count, std::string& out) const override {
        uint64_t end = std::min(Size(), offset + std::min(count, Size()));
        char buffer[512];  // the longest run between the root and the type is under 300 bytes
        for (uint64_t i = offset; i < end; ++i) {
            const Shape shape = ShapeAt(i);
            const uint64_t u = shape.unit;
            char* at = buffer;
            if (i != offset) *at++ = ',';
            at = Put(at, "{\"id\":\"");
            at = PutNumber(at, Lin(u) | (shape.removed ? kRemovedLinBit : 0));
            at = Put(at, "\",\"path\":\"");
            out.append(buffer, at);
            out.append(m_rootJson);
            at = PutPathTail(buffer, shape);
            at = Put(at, "\",\"type\":");
            out.append(buffer, at);
            out.append(TypeJson(shape));
            at = Put(buffer, ",\"size\":");
            at = PutNumber(at, SizeOf(u));
            // The three times are equal: one text, three keys.
            const FileTime time = Time(u);
            char timeText[64];
            char* timeEnd = Put(timeText, "{\"sec\":");
            timeEnd = PutNumber(timeEnd, time.sec);
            timeEnd = Put(timeEnd, ",\"nsec\":");
            timeEnd = PutNumber(timeEnd, time.nsec);
            *timeEnd++ = '}';
            for (const char* key : {",\"atime\":", ",\"ctime\":", ",\"mtime\":"}) {
                at = Put(at, key);
                at = std::copy(timeText, timeEnd, at);
            }
            *at++ = '}';
            out.append(buffer, at);
        }
        return end > offset ? end - offset : 0;
    }

private:
    // Where an entry stands: a unit (one inode) at its own path, possibly renamed; a duplicate of
    // a unit at another path (a hard link); or a unit removed for good.
    enum class Place { kUnit, kRenamedUnit, kDuplicate, kGone };
    struct Shape {
        uint64_t unit = 0;
        uint64_t index = 0;  // the entry's index (duplicates) or its number among the gone
        Place place = Place::kUnit;
        bool removed = false;
    };

    uint64_t PresentAndRenames(uint64_t present) const {
        return present + Picked(present - Picked(present, m_dupPpm), m_renamePpm);
    }
    bool Renamed(uint64_t u) const { return Picked(u + 1, m_renamePpm) > Picked(u, m_renamePpm); }
    static uint64_t Lin(uint64_t unit) { return kFirstLin + unit * 4; }
    static bool IsDirectory(uint64_t u) { return u % kUnitsPerDir == 0; }
    static int64_t SizeOf(uint64_t u) { return static_cast<int64_t>((u * 7919) % 100000); }
    static FileTime Time(uint64_t u) {
        return {1700000000 + static_cast<int64_t>(u % 10000000),
                static_cast<int64_t>((u * 1000) % 1000000000)};
    }

    Shape ShapeAt(uint64_t i) const {
        Shape shape;
        if (i < m_present) {
            uint64_t dupsUpTo = Picked(i + 1, m_dupPpm);
            shape.unit = i - dupsUpTo;
            shape.index = i;
            bool dup = i > 0 && dupsUpTo > Picked(i, m_dupPpm);
            shape.place = dup                   ? Place::kDuplicate
                          : Renamed(shape.unit) ? Place::kRenamedUnit
                                                : Place::kUnit;
            return shape;
        }
        shape.removed = true;
        uint64_t j = i - m_present;
        if (j < m_renames) {
            // The (j+1)-th renamed unit, at the path it had before.
            shape.unit = ((j + 1) * kPpm + m_renamePpm - 1) / m_renamePpm - 1;
            return shape;
        }
        shape.index = j - m_renames;
        shape.unit = m_units + shape.index;
        shape.place = Place::kGone;
        return shape;
    }

    template <size_t N>
    static char* Put(char* at, const char (&text)[N]) {
        return std::copy(text, text + N - 1, at);
    }
    static char* Put(char* at, const char* text) {
        return std::copy(text, text + strlen(text), at);
    }
    template <typename Number>
    static char* PutNumber(char* at, Number value) {
        return std::to_chars(at, at + 24, value).ptr;
    }

    // The path below the root, which needs no escaping: "/d<dir>", "/d<dir>_moved",
    // "/d<dir>/f<unit>", "/d<dir>/r<unit>", "/d<dir>/h<unit>_<index>" or "/gone/g<index>";
    // at most 70 bytes.
    static char* PutPathTail(char* at, const Shape& shape) {
        const uint64_t u = shape.unit;
        if (shape.place == Place::kGone) return PutNumber(Put(at, "/gone/g"), shape.index);
        at = PutNumber(Put(at, "/d"), u / kUnitsPerDir);
        if (shape.place == Place::kDuplicate) {
            at = PutNumber(Put(at, "/h"), u);
            *at++ = '_';
            return PutNumber(at, shape.index);
        }
        const bool renamed = shape.place == Place::kRenamedUnit;
        if (IsDirectory(u)) return renamed ? Put(at, "_moved") : at;
        return PutNumber(Put(at, renamed ? "/r" : "/f"), u);
    }

    // Duplicates and removals for good are files; removed entries may carry the configured type.
    static bool IsDirectoryEntry(const Shape& shape) {
        return IsDirectory(shape.unit) && shape.place != Place::kDuplicate &&
               shape.place != Place::kGone;
    }
    const std::string& TypeText(const Shape& shape) const {
        if (shape.removed && !m_removedType.empty()) return m_removedType;
        return IsDirectoryEntry(shape) ? kDirectory : kRegular;
    }
    const std::string& TypeJson(const Shape& shape) const {
        if (shape.removed && !m_removedType.empty()) return m_removedTypeJson;
        return IsDirectoryEntry(shape) ? kDirectoryJson : kRegularJson;
    }

    ChangeEntry At(uint64_t i) const {
        const Shape shape = ShapeAt(i);
        ChangeEntry e;
        e.id = Lin(shape.unit) | (shape.removed ? kRemovedLinBit : 0);
        char tail[80];
        e.path = m_root;
        e.path.append(tail, PutPathTail(tail, shape));
        e.type = TypeText(shape);
        e.size = SizeOf(shape.unit);
        e.atime = e.ctime = e.mtime = Time(shape.unit);
        return e;
    }

    static const std::string kDirectory, kRegular, kDirectoryJson, kRegularJson;

    std::string m_rootJson;  // the root as JSON string content, without its quotes
    std::string m_removedTypeJson;
    std::string m_root, m_removedType;
    uint64_t m_dupPpm = 0, m_renamePpm = 0;
    uint64_t m_present = 0, m_units = 0, m_renames = 0, m_pure = 0;
};

const std::string SyntheticChangelist::kDirectory = "directory";
const std::string SyntheticChangelist::kRegular = "regular";
const std::string SyntheticChangelist::kDirectoryJson = "\"directory\"";
const std::string SyntheticChangelist::kRegularJson = "\"regular\"";

}  // namespace

std::unique_ptr<ChangelistSource> MakeSyntheticChangelist(const SyntheticOptions& options,
                                                          const std::string& rootPath,
                                                          const std::string& removedTypeText) {
    return std::make_unique<SyntheticChangelist>(options, rootPath, removedTypeText);
}

}  // namespace arraysim
