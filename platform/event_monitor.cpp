// The change-event database of one snapshot pair.
//
// Loading is built around the order in which the array lists a changelist:
// entries in ascending inode order, then the removed entries, again ascending.
// So the input is normally two ascending runs, and whether a row's inode is
// stored already can be told without asking the database:
// - in the first run a repeated inode is always the previous row's;
// - in the second run it is the previous row's, or one of the first run, found
//   by merging against the first run's inodes, which were spilled to a work
//   file in order.
// With the answer known at once, the SQLite work itself goes to a writer thread
// and the caller only queues the row. Any other order still gives right
// answers: at the first step down inside the second run the writer is drained
// and stopped, and from then on every row is checked by the database itself
// (an INSERT OR IGNORE on the inode key), on the caller's thread.
//
// Reading works the same way round: a reader thread steps through the table
// ahead of GetNextEvent, a few batches at most, and GetNextEvent copies the next
// row out of memory. The thread starts with the first GetNextEvent after
// PrepareSelectQuery, so a store that cannot be read fails that very call.
#include "host/CSnapDiffEventMonitor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <new>

#include "host/FXErrorUtil.h"
#include "host/LogWriter.h"
#include "host/TZPlatformInfo.h"
#include "platform/event_monitor_inode_run.h"
#include "platform/event_monitor_store.h"
#include "platform/event_monitor_reader.h"
#include "platform/event_monitor_writer.h"

namespace {

constexpr uint32_t kFunctionFailed = 1627;
constexpr uint32_t kOutOfMemory = 14;
constexpr const char* kSettingsSection = "~FileSystemAgent";
constexpr const char* kKeepSetting = "bKeepSnapDiffDatabase";
// SQLite's companions of a database file, left by an interrupted run in another
// journal mode; none of them may survive into a new database.
constexpr const char* kCompanionSuffixes[] = {"", "-journal", "-wal", "-shm"};

std::string DatabasePath(const std::string& directory, uint64_t baseId, uint64_t incrId) {
    std::string path = directory;
    if (!path.empty() && path.back() != '/') path += '/';
    path += "snapdiff_" + std::to_string(baseId) + "_" + std::to_string(incrId) + ".db";
    return path;
}

bool RemoveDatabaseFiles(const std::string& path, std::string& error) {
    for (const char* suffix : kCompanionSuffixes) {
        const std::string file = path + suffix;
        if (unlink(file.c_str()) != 0 && errno != ENOENT) {
            error = "Cannot remove [" + file + "]: " + strerror(errno);
            return false;
        }
    }
    return true;
}

bool KeepDatabaseSetting() {
    int value = 0;
    return TZPlatformInfo().getRegInt(kSettingsSection, kKeepSetting, &value) && value != 0;
}

}  // namespace

struct CSnapDiffEventMonitor::Impl {
    enum class State { kNotCreated, kLoading, kReading, kFailed };
    // How InsertEvent tells a stored inode, see the top of this file.
    enum class Order { kFirstRun, kSecondRun, kAnyOrder };

    std::string directory;
    std::string path;
    State state = State::kNotCreated;
    bool created = false;  // a file of ours may be there
    CRwError failure;      // what put the database in kFailed

    Order order = Order::kFirstRun;
    bool haveLast = false;  // last: the previous inode of the current run
    int64_t last = 0;
    snaphost::InodeRunFile firstRun;
    bool firstHave = false;  // firstInode: the merge position in the first run
    int64_t firstInode = 0;

    snaphost::EventStore store;
    std::unique_ptr<snaphost::EventWriter> writer;
    std::unique_ptr<snaphost::EventReader> reader;  // while reading

    bool atEnd = false;
    bool readFailed = false;

    uint64_t storedRows = 0;
    uint64_t duplicateRows = 0;
    uint64_t renamedRows = 0;

    CRwError Fail(const FXCodeLocation& location, const std::string& message) {
        failure = FXErrorUtil::ErrorWin32(location, kFunctionFailed, "%s", message.c_str());
        state = State::kFailed;
        return failure;
    }

    CRwError NotLoading(const FXCodeLocation& location) {
        switch (state) {
            case State::kFailed:
                return CRwError(failure).Push(location);
            case State::kNotCreated:
                return FXErrorUtil::ErrorWin32(location, kFunctionFailed,
                                               "The event database [%s] is not created",
                                               path.c_str());
            default:
                return FXErrorUtil::ErrorWin32(location, kFunctionFailed,
                                               "The event database [%s] is being read; rows can "
                                               "no longer be added",
                                               path.c_str());
        }
    }

    // Stops loading work in progress; the store is closed afterwards.
    void TearDown(bool keepLoadedRows) {
        reader.reset();
        if (writer) {
            std::string ignored;
            if (keepLoadedRows)
                writer->Finish(ignored);
            else
                writer->Abandon();
            writer.reset();
        }
        firstRun.Close();
        store.Close();
    }

    // Rows are read ahead of GetNextEvent on a thread of the reader's own.
    bool StartReader() {
        try {
            reader.reset(new snaphost::EventReader(store, storedRows));
            return true;
        } catch (const std::bad_alloc&) {
            state = State::kFailed;
            failure = FXErrorUtil::ErrorWin32(FX_HERE, kOutOfMemory);
            return false;
        }
    }

    bool SwitchToAnyOrder(std::string& error) {
        if (writer) {
            const bool finished = writer->Finish(error);
            writer.reset();
            if (!finished) return false;
        }
        firstRun.Close();
        order = Order::kAnyOrder;
        SNAP_LOG(1,
                 "Rows of [%s] arrive out of order at inode %" PRId64
                 "; duplicates are looked up in the database from here on",
                 path.c_str(), last);
        return true;
    }

    // A row of the first run goes to the table of that run, one of the second
    // run to the table of later rows (see the store).
    bool Queue(const _ChangeEventItem& row, std::string& error) {
        const snaphost::EventStore::Table table = order == Order::kFirstRun
                                                      ? snaphost::EventStore::kEvents
                                                      : snaphost::EventStore::kLater;
        if (storedRows == 0) {
            // The first row goes to the store at once, on the caller's thread
            // (the writer's thread starts with its first full batch): a database
            // that cannot be written fails this very call, not the end of the
            // load after every entry was taken as received.
            bool added = false;
            if (!store.Insert(snaphost::FieldsOf(row), table, added, error)) return false;
            if (!added) {
                error = "The inode " + std::to_string(row.inode) + " of the first row of [" + path +
                        "] was stored already";
                return false;
            }
        } else if (!writer->AddInsert(row, table, error)) {
            return false;
        }
        ++storedRows;
        return true;
    }

    // The first-run and second-run cases of InsertEvent; false on failure.
    bool InsertInOrder(const _ChangeEventItem& row, bool& duplicate, std::string& error) {
        const int64_t inode = row.inode;
        if (order == Order::kFirstRun) {
            if (haveLast && inode == last) {
                duplicate = true;
                return true;
            }
            if (!haveLast || inode > last) {
                last = inode;
                haveLast = true;
                return firstRun.Append(inode, error) && Queue(row, error);
            }
            // The first step down: the second run begins.
            if (!firstRun.StartReading(error) || !firstRun.Next(firstInode, firstHave, error))
                return false;
            order = Order::kSecondRun;
            haveLast = false;
        }
        if (haveLast && inode < last) {
            if (!SwitchToAnyOrder(error)) return false;
            return InsertAnyOrder(row, duplicate, error);
        }
        bool stored = haveLast && inode == last;
        while (!stored && firstHave && firstInode < inode) {
            if (!firstRun.Next(firstInode, firstHave, error)) return false;
        }
        stored = stored || (firstHave && firstInode == inode);
        last = inode;
        haveLast = true;
        if (stored) {
            duplicate = true;
            return true;
        }
        return Queue(row, error);
    }

    // The row goes to the first run's table, unless the table of later rows
    // holds its inode already.
    bool InsertAnyOrder(const _ChangeEventItem& row, bool& duplicate, std::string& error) {
        bool later = false;
        if (!store.Contains(row.inode, snaphost::EventStore::kLater, later, error)) return false;
        bool added = false;
        if (!later &&
            !store.Insert(snaphost::FieldsOf(row), snaphost::EventStore::kEvents, added, error))
            return false;
        duplicate = !added;
        if (added) ++storedRows;
        return true;
    }
};

CSnapDiffEventMonitor::CSnapDiffEventMonitor(const std::string& jobResultsDir, uint64_t baseId,
                                             uint64_t incrId)
    : m_impl(new Impl) {
    m_impl->directory = jobResultsDir;
    m_impl->path = DatabasePath(jobResultsDir, baseId, incrId);
}

CSnapDiffEventMonitor::~CSnapDiffEventMonitor() {
    Impl& d = *m_impl;
    if (!d.created) return;
    const bool keep = KeepDatabaseSetting();
    d.TearDown(keep);
    if (keep) {
        SNAP_LOG(0, "Event database [%s] kept (setting %s)", d.path.c_str(), kKeepSetting);
        return;
    }
    std::string error;
    if (!RemoveDatabaseFiles(d.path, error)) SNAP_LOG(-1, "%s", error.c_str());
}

CRwError CSnapDiffEventMonitor::Create() {
    Impl& d = *m_impl;
    try {
        d.TearDown(false);
        d.state = Impl::State::kNotCreated;
        d.order = Impl::Order::kFirstRun;
        d.haveLast = d.firstHave = false;
        d.atEnd = d.readFailed = false;
        d.storedRows = d.duplicateRows = d.renamedRows = 0;
        d.created = true;

        std::string error;
        if (!RemoveDatabaseFiles(d.path, error)) return d.Fail(FX_HERE, error);
        // Created here, owner-only and exclusively, so that SQLite opens a file
        // nobody else could have prepared or read.
        const int fd = open(d.path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            S_IRUSR | S_IWUSR);
        if (fd < 0) {
            const int code = errno;
            return d.Fail(FX_HERE,
                          "Cannot create the event database [" + d.path + "]: " + strerror(code));
        }
        const bool modeSet = fchmod(fd, S_IRUSR | S_IWUSR) == 0;
        const int modeErrno = errno;
        close(fd);
        if (!modeSet) {
            unlink(d.path.c_str());
            return d.Fail(FX_HERE, "Cannot restrict the mode of the event database [" + d.path +
                                       "]: " + strerror(modeErrno));
        }
        if (!d.store.Open(d.path, error) || !d.firstRun.Open(d.directory, error)) {
            d.TearDown(false);
            std::string ignored;
            RemoveDatabaseFiles(d.path, ignored);
            return d.Fail(FX_HERE, error);
        }
        d.writer.reset(new snaphost::EventWriter(d.store));
        d.state = Impl::State::kLoading;
        SNAP_LOG(1, "Event database [%s] created", d.path.c_str());
        return CRwError::Success();
    } catch (const std::bad_alloc&) {
        d.TearDown(false);
        d.state = Impl::State::kFailed;
        d.failure = FXErrorUtil::ErrorWin32(FX_HERE, kOutOfMemory);
        return d.failure;
    }
}

CRwError CSnapDiffEventMonitor::InsertEvent(const _ChangeEventItem& row, bool& duplicate) {
    Impl& d = *m_impl;
    duplicate = false;
    if (d.state != Impl::State::kLoading) return d.NotLoading(FX_HERE);
    try {
        std::string error;
        if (d.writer && d.writer->Failed(error)) return d.Fail(FX_HERE, error);
        const bool ok = d.order == Impl::Order::kAnyOrder ? d.InsertAnyOrder(row, duplicate, error)
                                                          : d.InsertInOrder(row, duplicate, error);
        if (!ok) return d.Fail(FX_HERE, error);
        if (duplicate) ++d.duplicateRows;
        return CRwError::Success();
    } catch (const std::bad_alloc&) {
        d.state = Impl::State::kFailed;
        d.failure = FXErrorUtil::ErrorWin32(FX_HERE, kOutOfMemory);
        return d.failure;
    }
}

CRwError CSnapDiffEventMonitor::UpdateRenameEvent(const _ChangeEventItem& row) {
    Impl& d = *m_impl;
    if (d.state != Impl::State::kLoading) return d.NotLoading(FX_HERE);
    try {
        std::string error;
        if (d.writer && d.writer->Failed(error)) return d.Fail(FX_HERE, error);
        if (d.order != Impl::Order::kAnyOrder) {
            // The row of the inode just inserted is stored or handed over, whether
            // it was a duplicate or not; for any other the writer looks it up.
            const bool stored = d.haveLast && row.inode == d.last;
            if (!d.writer->AddRename(row.inode, row.path, stored, error))
                return d.Fail(FX_HERE, error);
        } else {
            bool found = false;
            if (!d.store.Contains(row.inode, found, error)) return d.Fail(FX_HERE, error);
            if (!found)
                return d.Fail(FX_HERE, "No stored row with inode " + std::to_string(row.inode) +
                                           " for the rename from [" + row.path + "] in [" + d.path +
                                           "]");
            if (!d.store.Rename(row.inode, row.path.data(), row.path.size(), error))
                return d.Fail(FX_HERE, error);
        }
        ++d.renamedRows;
        return CRwError::Success();
    } catch (const std::bad_alloc&) {
        d.state = Impl::State::kFailed;
        d.failure = FXErrorUtil::ErrorWin32(FX_HERE, kOutOfMemory);
        return d.failure;
    }
}

CRwError CSnapDiffEventMonitor::PrepareSelectQuery() {
    Impl& d = *m_impl;
    std::string error;
    switch (d.state) {
        case Impl::State::kNotCreated:
        case Impl::State::kFailed:
            return d.NotLoading(FX_HERE);
        case Impl::State::kReading:
            d.reader.reset();  // its thread stops before the store is rewound
            if (!d.store.StartReading(error)) return d.Fail(FX_HERE, error);
            if (!d.StartReader()) return d.failure;
            d.atEnd = d.readFailed = false;
            return CRwError::Success();
        case Impl::State::kLoading:
            break;
    }
    if (d.writer) {
        const bool finished = d.writer->Finish(error);
        d.writer.reset();
        if (!finished) return d.Fail(FX_HERE, error);
    }
    d.firstRun.Close();
    if (!d.store.StartReading(error)) return d.Fail(FX_HERE, error);
    if (!d.StartReader()) return d.failure;
    d.state = Impl::State::kReading;
    d.atEnd = d.readFailed = false;
    SNAP_LOG(1,
             "Event database [%s] loaded: %" PRIu64 " rows, %" PRIu64 " duplicates, %" PRIu64
             " renames, %s",
             d.path.c_str(), d.storedRows, d.duplicateRows, d.renamedRows,
             d.order == Impl::Order::kAnyOrder ? "out of order" : "in order");
    return CRwError::Success();
}

int CSnapDiffEventMonitor::GetNextEvent(_ChangeEventItem& row) {
    Impl& d = *m_impl;
    if (d.state != Impl::State::kReading) {
        SNAP_LOG(-1, "The event database [%s] is not ready for reading", d.path.c_str());
        return -1;
    }
    if (d.readFailed) {
        SNAP_LOG(-1, "Reading the event database [%s] failed before", d.path.c_str());
        return -1;
    }
    if (d.atEnd) return 1;
    try {
        std::string error;
        const int result = d.reader->Next(row, error);
        if (result == 1) d.atEnd = true;
        if (result < 0) {
            d.readFailed = true;
            SNAP_LOG(-1, "%s", error.c_str());
        }
        return result;
    } catch (const std::bad_alloc&) {
        d.readFailed = true;
        SNAP_LOG(-1, "Out of memory reading the event database [%s]", d.path.c_str());
        return -1;
    }
}

std::string CSnapDiffEventMonitor::Path() const { return m_impl->path; }
