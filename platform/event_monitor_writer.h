#pragma once

// Takes the SQLite work of loading the change-event database off the caller's
// thread. The caller appends inserts and renames to a batch of plain bytes; full
// batches go to one writer thread, which applies them to the store in order.
// A fixed pool of batches bounds the memory and makes the caller wait when the
// writer is that far behind. A failure of the writer is kept and reported by
// every later call, so the caller sees it at its next insert at the latest.
// Reading has a thread of its own too (event_monitor_reader.h).

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/Records.h"
#include "platform/event_monitor_batch.h"
#include "platform/event_monitor_store.h"

namespace snaphost {

class EventWriter {
public:
    // The store must outlive the writer and must not be used by anyone else until
    // Finish or Abandon returned.
    explicit EventWriter(EventStore& store);
    ~EventWriter();

    EventWriter(const EventWriter&) = delete;
    EventWriter& operator=(const EventWriter&) = delete;

    // The row is stored later, in order, in `table`. The writer treats an inode
    // that is stored already as a failure: the caller decides duplicates before this.
    bool AddInsert(const _ChangeEventItem& row, EventStore::Table table, std::string& error);
    // Renames of an inode that is not stored by then fail the writer. `stored`:
    // the caller knows the row is stored or handed over (the previous insert was
    // of that inode), so the writer need not look it up.
    bool AddRename(int64_t inode, const std::string& oldPath, bool stored, std::string& error);

    // True (with the message) once the writer thread has failed.
    bool Failed(std::string& error);

    // Applies everything handed over, then stops; the store is the caller's
    // again. False with the first failure of the writer.
    bool Finish(std::string& error);

    // Drops what is not applied yet and stops.
    void Abandon();

private:
    using Batch = RowBatch;

    char* Grow(size_t bytes);
    bool HandOver(std::string& error);
    bool Apply(const Batch& batch, std::string& error);
    void Run();
    void Stop(bool abandon);

    EventStore& m_store;
    std::vector<std::unique_ptr<Batch>> m_pool;
    Batch* m_current = nullptr;  // filled by the caller

    std::mutex m_mutex;
    // Either side waits for the other by timed sleeps (AwaitBatch); only the
    // stop is notified.
    std::condition_variable m_wake;
    std::deque<Batch*> m_full;
    std::vector<Batch*> m_free;
    bool m_stop = false;
    bool m_abandon = false;
    std::string m_error;
    std::atomic<bool> m_failed{false};

    std::thread m_thread;
    bool m_started = false;
    bool m_inline = false;  // no thread could be started: apply on the caller's thread
    bool m_finished = false;
};

}  // namespace snaphost
