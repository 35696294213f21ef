#include "tools/arraysim/synthetic_changelist.h"

#include <algorithm>

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

private:
    uint64_t PresentAndRenames(uint64_t present) const {
        return present + Picked(present - Picked(present, m_dupPpm), m_renamePpm);
    }
    bool Renamed(uint64_t u) const { return Picked(u + 1, m_renamePpm) > Picked(u, m_renamePpm); }
    static uint64_t Lin(uint64_t unit) { return kFirstLin + unit * 4; }
    std::string Dir(uint64_t u) const { return m_root + "/d" + std::to_string(u / kUnitsPerDir); }
    std::string UnitPath(uint64_t u, bool renamed) const {
        if (u % kUnitsPerDir == 0) return Dir(u) + (renamed ? "_moved" : "");
        return Dir(u) + (renamed ? "/r" : "/f") + std::to_string(u);
    }

    ChangeEntry Unit(uint64_t u) const {
        ChangeEntry e;
        e.id = Lin(u);
        e.type = u % kUnitsPerDir == 0 ? "directory" : "regular";
        e.size = static_cast<int64_t>((u * 7919) % 100000);
        int64_t t = 1700000000 + static_cast<int64_t>(u % 10000000);
        int64_t ns = static_cast<int64_t>((u * 1000) % 1000000000);
        e.atime = {t, ns};
        e.ctime = {t, ns};
        e.mtime = {t, ns};
        return e;
    }

    ChangeEntry Removed(ChangeEntry e) const {
        e.id |= kRemovedLinBit;
        if (!m_removedType.empty()) e.type = m_removedType;
        return e;
    }

    ChangeEntry At(uint64_t i) const {
        if (i < m_present) {
            uint64_t dupsUpTo = Picked(i + 1, m_dupPpm);
            uint64_t u = i - dupsUpTo;
            ChangeEntry e = Unit(u);
            bool dup = i > 0 && dupsUpTo > Picked(i, m_dupPpm);
            if (dup) {
                e.type = "regular";
                e.path = Dir(u) + "/h" + std::to_string(u) + "_" + std::to_string(i);
            } else {
                e.path = UnitPath(u, Renamed(u));
            }
            return e;
        }
        uint64_t j = i - m_present;
        if (j < m_renames) {
            uint64_t u =
                ((j + 1) * kPpm + m_renamePpm - 1) / m_renamePpm - 1;  // the (j+1)-th renamed unit
            ChangeEntry e = Unit(u);
            e.path = UnitPath(u, false);
            return Removed(e);
        }
        uint64_t k = j - m_renames;
        ChangeEntry e = Unit(m_units + k);
        e.type = "regular";
        e.path = m_root + "/gone/g" + std::to_string(k);
        return Removed(e);
    }

    std::string m_root, m_removedType;
    uint64_t m_dupPpm = 0, m_renamePpm = 0;
    uint64_t m_present = 0, m_units = 0, m_renames = 0, m_pure = 0;
};

}  // namespace

std::unique_ptr<ChangelistSource> MakeSyntheticChangelist(const SyntheticOptions& options,
                                                          const std::string& rootPath,
                                                          const std::string& removedTypeText) {
    return std::make_unique<SyntheticChangelist>(options, rootPath, removedTypeText);
}

}  // namespace arraysim
