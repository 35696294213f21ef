#pragma once

// Takes the SQLite work of loading the change-event database off the caller's
// thread. The caller appends inserts and renames to a batch of plain bytes; full
// batches go to one writer thread, which applies them to the store in order.
// A fixed pool of batches bounds the memory and makes the caller wait when the
// writer is that far behind. A failure of the writer is kept and reported by
// every later call, so the caller sees it at its next insert at the latest.
//
// Reading has a thread of its own too: EventReader steps through the rows ahead
// of the caller, into the same kind of fixed pool of byte batches, so that the
// caller only copies the next row out of memory.

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

    // The row is stored later, in order. The writer treats an inode that is
    // stored already as a failure: the caller decides duplicates before this.
    bool AddInsert(const _ChangeEventItem& row, std::string& error);
    // Renames of an inode that is not stored by then fail the writer.
    bool AddRename(int64_t inode, const std::string& oldPath, std::string& error);

    // True (with the message) once the writer thread has failed.
    bool Failed(std::string& error);

    // Applies everything handed over, then stops; the store is the caller's
    // again. False with the first failure of the writer.
    bool Finish(std::string& error);

    // Drops what is not applied yet and stops.
    void Abandon();

private:
    using Batch = std::vector<char>;

    char* Grow(size_t bytes);
    bool HandOver(std::string& error);
    bool Apply(const Batch& batch, std::string& error);
    void Run();
    void Stop(bool abandon);

    EventStore& m_store;
    std::vector<std::unique_ptr<Batch>> m_pool;
    Batch* m_current = nullptr;  // filled by the caller

    std::mutex m_mutex;
    std::condition_variable m_work;   // the thread waits for batches or the stop
    std::condition_variable m_freed;  // the caller waits for an empty batch
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

// Hands out the rows of a store that StartReading readied, in its order. The
// thread starts with the first Next; until Stop the store is its alone.
class EventReader {
public:
    explicit EventReader(EventStore& store);
    ~EventReader();

    EventReader(const EventReader&) = delete;
    EventReader& operator=(const EventReader&) = delete;

    // 0: row holds the next row (every field set); 1: no rows left; -1: reading
    // failed, error set. After 1 or -1 the reader has stopped and says the same.
    int Next(_ChangeEventItem& row, std::string& error);

    // Ends the thread; the store is the caller's again.
    void Stop();

private:
    using Batch = std::vector<char>;
    struct Filled {
        Batch* batch;
        int last;           // 0: more batches follow; 1 or -1: the end of reading
        std::string error;  // with -1
    };

    void Run();
    int Fill(Batch& batch, std::string& error);

    EventStore& m_store;
    std::vector<std::unique_ptr<Batch>> m_pool;

    std::mutex m_mutex;
    std::condition_variable m_filled;  // the caller waits for a filled batch
    std::condition_variable m_freed;   // the thread waits for an empty batch or the stop
    std::deque<Filled> m_full;
    std::vector<Batch*> m_free;
    bool m_stop = false;

    // The caller's side: the batch being read and where.
    Filled m_current{nullptr, 0, std::string()};
    size_t m_position = 0;
    int m_result = 0;  // once 1 or -1: what every later Next returns
    std::string m_error;

    std::thread m_thread;
    bool m_started = false;
    bool m_inline = false;  // no thread could be started: read on the caller's thread
};

}  // namespace snaphost
