#include "tools/snapscan/batch_writer.h"

#include <system_error>
#include <utility>

namespace snapscan {

namespace {

constexpr size_t kBatchesQueued = 4;

}  // namespace

BatchWriter::BatchWriter(std::function<void(const std::string&)> write)
    : m_write(std::move(write)) {}

BatchWriter::~BatchWriter() {
    if (!m_started) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_ready.notify_one();
    m_thread.join();
}

void BatchWriter::HandOff(std::string& batch) {
    if (batch.empty()) return;
    if (!m_started && !m_inline) {
        try {
            m_thread = std::thread(&BatchWriter::Run, this);
            m_started = true;
        } catch (const std::system_error&) {
            m_inline = true;
        }
    }
    if (m_inline) {
        m_write(batch);
        batch.clear();
        return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_done.wait(lock, [this] { return m_batches.size() < kBatchesQueued; });
    m_batches.push_back(std::move(batch));
    if (!m_spare.empty()) {
        batch = std::move(m_spare.back());
        m_spare.pop_back();
    } else {
        batch = std::string();
    }
    batch.clear();
    lock.unlock();
    m_ready.notify_one();
}

void BatchWriter::Drain() {
    if (!m_started) return;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_done.wait(lock, [this] { return m_batches.empty() && !m_writing; });
}

void BatchWriter::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_ready.wait(lock, [this] { return !m_batches.empty() || m_stop; });
        if (m_batches.empty()) return;
        std::string batch = std::move(m_batches.front());
        m_batches.pop_front();
        m_writing = true;
        lock.unlock();
        m_write(batch);
        batch.clear();
        lock.lock();
        m_writing = false;
        m_spare.push_back(std::move(batch));
        m_done.notify_all();
    }
}

}  // namespace snapscan
