#pragma once

// Takes the SQLite work of reading the change-event database off the caller's
// thread: EventReader steps through the rows ahead of the caller, into a fixed
// pool of byte batches (the writer's kind, event_monitor_batch.h), so that the
// caller only copies the next row out of memory.

#include <condition_variable>
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
    using Batch = RowBatch;
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
    // Either side waits for the other by timed sleeps (AwaitBatch); only the
    // stop is notified.
    std::condition_variable m_wake;
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
