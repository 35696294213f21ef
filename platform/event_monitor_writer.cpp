// The writer thread of the change-event database. Batches are
// byte buffers so that passing a row on costs a few copies and no allocation;
// they are recycled through fixed pools.
#include "platform/event_monitor_writer.h"

#include <cstring>
#include <new>
#include <system_error>

#include "platform/event_monitor_batch.h"

namespace snaphost {

namespace {

constexpr size_t kBatchBytes = 256 * 1024;
// One batch filled by the caller, the rest queued or being applied.
constexpr size_t kBatchCount = 4;

// An insert into either table; a rename of a row known to be stored, or of one
// the writer must look up.
enum : char { kInsertOp = 'I', kInsertLaterOp = 'J', kRenameOp = 'R', kRenameLookupOp = 'L' };

struct RenameHeader {
    int64_t inode;
    uint64_t oldPathLength;
};

}  // namespace

EventWriter::EventWriter(EventStore& store) : m_store(store) {
    for (size_t i = 0; i < kBatchCount; ++i) {
        m_pool.push_back(std::make_unique<Batch>());
        m_pool.back()->reserve(kBatchBytes + 4096);
        if (i == 0)
            m_current = m_pool.back().get();
        else
            m_free.push_back(m_pool.back().get());
    }
}

EventWriter::~EventWriter() { Abandon(); }

char* EventWriter::Grow(size_t bytes) {
    const size_t old = m_current->size();
    m_current->resize(old + bytes);
    return m_current->data() + old;
}

bool EventWriter::AddInsert(const _ChangeEventItem& row, EventStore::Table table,
                            std::string& error) {
    if (m_finished) {
        error = "The event writer has stopped";
        return false;
    }
    RowHeader header;
    header.inode = row.inode;
    header.changeTime = row.changeTime;
    header.modifiedTime = row.modifiedTime;
    header.accessTime = row.accessTime;
    header.size = row.size;
    header.isRename = row.isRename;
    header.extraNumber = row.extraNumber;
    header.pathLength = row.path.size();
    header.changeTypeLength = row.changeType.size();
    header.oldPathLength = row.oldPath.size();
    char* out =
        Grow(1 + sizeof header + row.path.size() + row.changeType.size() + row.oldPath.size());
    *out++ = table == EventStore::kLater ? kInsertLaterOp : kInsertOp;
    memcpy(out, &header, sizeof header);
    out += sizeof header;
    memcpy(out, row.path.data(), row.path.size());
    out += row.path.size();
    memcpy(out, row.changeType.data(), row.changeType.size());
    out += row.changeType.size();
    memcpy(out, row.oldPath.data(), row.oldPath.size());
    return m_current->size() < kBatchBytes || HandOver(error);
}

bool EventWriter::AddRename(int64_t inode, const std::string& oldPath, bool stored,
                            std::string& error) {
    if (m_finished) {
        error = "The event writer has stopped";
        return false;
    }
    RenameHeader header;
    header.inode = inode;
    header.oldPathLength = oldPath.size();
    char* out = Grow(1 + sizeof header + oldPath.size());
    *out++ = stored ? kRenameOp : kRenameLookupOp;
    memcpy(out, &header, sizeof header);
    memcpy(out + sizeof header, oldPath.data(), oldPath.size());
    return m_current->size() < kBatchBytes || HandOver(error);
}

bool EventWriter::HandOver(std::string& error) {
    if (!m_started && !m_inline) {
        try {
            m_thread = std::thread(&EventWriter::Run, this);
            m_started = true;
        } catch (const std::system_error&) {
            m_inline = true;
        }
    }
    if (m_inline) {
        const bool applied = Apply(*m_current, error);
        m_current->clear();
        if (!applied) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_error = error;
            m_failed.store(true, std::memory_order_release);
        }
        return applied;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_full.push_back(m_current);
    m_current = nullptr;
    AwaitBatch(lock, m_wake, [this] { return !m_free.empty(); });
    m_current = m_free.back();
    m_free.pop_back();
    if (m_failed.load(std::memory_order_relaxed)) {
        error = m_error;
        return false;
    }
    return true;
}

// Runs of inserts go to the store in groups, which costs it far less per row
// than one statement each. A rename goes to a table of its own, so the group
// waiting to be stored goes on filling; only a rename whose row must be looked
// up first stores the inserts before it.
bool EventWriter::Apply(const Batch& batch, std::string& error) {
    EventFields group[EventStore::kGroupRows];
    size_t grouped = 0;
    EventStore::Table groupTable = EventStore::kEvents;
    auto storeGroup = [&]() {
        size_t stored = 0;
        const bool ok = m_store.InsertGroup(group, grouped, groupTable, stored, error);
        if (ok && stored != grouped) {
            error = "An inode of " + std::to_string(group[0].inode) + " to " +
                    std::to_string(group[grouped - 1].inode) + " reached the event database twice";
        }
        const bool applied = ok && stored == grouped;
        grouped = 0;
        return applied;
    };
    const char* in = batch.data();
    const char* end = in + batch.size();
    while (in < end) {
        const char op = *in++;
        if (op == kInsertOp || op == kInsertLaterOp) {
            const EventStore::Table table =
                op == kInsertLaterOp ? EventStore::kLater : EventStore::kEvents;
            if (grouped > 0 && table != groupTable && !storeGroup()) return false;
            groupTable = table;
            RowHeader header;
            memcpy(&header, in, sizeof header);
            in += sizeof header;
            EventFields& fields = group[grouped++];
            fields.inode = header.inode;
            fields.changeTime = header.changeTime;
            fields.modifiedTime = header.modifiedTime;
            fields.accessTime = header.accessTime;
            fields.size = header.size;
            fields.isRename = header.isRename;
            fields.extraNumber = header.extraNumber;
            fields.path = in;
            fields.pathLength = header.pathLength;
            in += header.pathLength;
            fields.changeType = in;
            fields.changeTypeLength = header.changeTypeLength;
            in += header.changeTypeLength;
            fields.oldPath = in;
            fields.oldPathLength = header.oldPathLength;
            in += header.oldPathLength;
            if (grouped == EventStore::kGroupRows && !storeGroup()) return false;
        } else {
            RenameHeader header;
            memcpy(&header, in, sizeof header);
            in += sizeof header;
            // The two halves of a rename arrive one after the other, so the row
            // it names is nearly always among the rows not stored yet: changed
            // there, it costs no statement of its own.
            EventFields* pending = nullptr;
            for (size_t i = grouped; i > 0 && pending == nullptr; --i)
                if (group[i - 1].inode == header.inode) pending = &group[i - 1];
            if (pending != nullptr) {
                pending->oldPath = in;
                pending->oldPathLength = header.oldPathLength;
                pending->isRename = 1;
                in += header.oldPathLength;
                continue;
            }
            if (op == kRenameLookupOp) {
                if (grouped > 0 && !storeGroup()) return false;
                bool found = false;
                if (!m_store.Contains(header.inode, found, error)) return false;
                if (!found) {
                    error = "No stored row with inode " + std::to_string(header.inode) +
                            " for the rename from [" + std::string(in, header.oldPathLength) + "]";
                    return false;
                }
            }
            if (!m_store.Rename(header.inode, in, header.oldPathLength, error)) return false;
            in += header.oldPathLength;
        }
    }
    return grouped == 0 || storeGroup();
}

void EventWriter::Run() {
    for (;;) {
        Batch* batch = nullptr;
        bool skip = false;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            AwaitBatch(lock, m_wake, [this] { return !m_full.empty() || m_stop; });
            if (m_full.empty()) return;
            batch = m_full.front();
            m_full.pop_front();
            skip = m_abandon || m_failed.load(std::memory_order_relaxed);
        }
        std::string error;
        const bool applied = skip || Apply(*batch, error);
        batch->clear();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!applied && !m_failed.load(std::memory_order_relaxed)) {
                m_error = error;
                m_failed.store(true, std::memory_order_release);
            }
            m_free.push_back(batch);
        }
    }
}

bool EventWriter::Failed(std::string& error) {
    if (!m_failed.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    error = m_error;
    return true;
}

void EventWriter::Stop(bool abandon) {
    if (!m_started) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!abandon && m_current != nullptr && !m_current->empty()) {
            m_full.push_back(m_current);
            m_current = nullptr;
        }
        m_stop = true;
        m_abandon = abandon;
    }
    m_wake.notify_one();
    m_thread.join();
    m_started = false;
}

bool EventWriter::Finish(std::string& error) {
    if (m_finished) {
        error = "The event writer has stopped";
        return false;
    }
    m_finished = true;
    if (m_started) {
        Stop(false);
    } else if (m_current != nullptr && !m_current->empty()) {
        // Too few rows to have needed the thread: apply them here.
        std::string inlineError;
        const bool applied = Apply(*m_current, inlineError);
        m_current->clear();
        if (!applied) {
            error = inlineError;
            return false;
        }
    }
    if (m_failed.load(std::memory_order_acquire)) {
        error = m_error;
        return false;
    }
    return true;
}

void EventWriter::Abandon() {
    m_finished = true;
    Stop(true);
}

}  // namespace snaphost
