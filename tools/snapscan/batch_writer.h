#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace snapscan {

// Writes batches of bytes on a thread of its own, in the order they were
// handed over, so that the kernel's copying of one batch into a file overlaps
// the making of the next. At most a few batches wait: a slow file holds the
// caller back instead of filling memory. Where no thread can be started the
// batches are written at once, on the caller's thread.
class BatchWriter {
public:
    // `write` takes one batch; it runs on the writer thread, never twice at once.
    explicit BatchWriter(std::function<void(const std::string&)> write);
    ~BatchWriter();  // writes what is still waiting
    BatchWriter(const BatchWriter&) = delete;
    BatchWriter& operator=(const BatchWriter&) = delete;

    // Takes the bytes of `batch` and leaves it empty (an emptied earlier batch,
    // its memory kept, when there is one).
    void HandOff(std::string& batch);

    // Returns once every batch handed over has been written.
    void Drain();

private:
    void Run();

    std::function<void(const std::string&)> m_write;
    std::mutex m_mutex;
    std::condition_variable m_ready, m_done;
    std::deque<std::string> m_batches;
    std::vector<std::string> m_spare;
    bool m_writing = false;  // the thread holds a batch
    bool m_stop = false;
    bool m_started = false;
    bool m_inline = false;
    std::thread m_thread;
};

}  // namespace snapscan
