// The reader threads of the change-event database, recycling their batches
// through fixed pools.
#include "platform/event_monitor_reader.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <system_error>

#include "platform/event_monitor_batch.h"

namespace snaphost {

namespace {

// Whole rows, each a RowHeader and its texts. A batch is handed over once it
// holds this much, or at the end of its chunk; one row may go beyond.
constexpr size_t kReadBatchBytes = 512 * 1024;
constexpr size_t kReadBatchCount = 3;  // per thread
// Rows per chunk, about a batch's worth. The chunks cut the range of inodes into
// parts of equal width, as many as the rows stored would fill at this many each
// if they were spread evenly; a database of fewer rows than two chunks' is read
// by one thread.
constexpr uint64_t kChunkRows = 4096;

}  // namespace

EventReader::EventReader(EventStore& store, uint64_t rows) : m_store(store), m_rows(rows) {
    m_lanes[0].store = &m_store;
    m_lanes[1].store = &m_second;
}

EventReader::~EventReader() { Stop(); }

// Chunk `chunk` of the range of inodes stored, cut into m_chunks parts of equal
// width; false when that part holds no inode at all (the range is narrower than
// the count of chunks). The arithmetic is on 128 bits: the range may span every
// value of 64.
bool EventReader::ChunkRange(size_t chunk, int64_t& first, int64_t& last) const {
    using Wide = unsigned __int128;
    const Wide span =
        static_cast<Wide>(static_cast<uint64_t>(m_last) - static_cast<uint64_t>(m_first)) + 1;
    const Wide begin = span * chunk / m_chunks;
    const Wide end = span * (chunk + 1) / m_chunks;
    if (end == begin) return false;
    first = static_cast<int64_t>(static_cast<uint64_t>(m_first) + static_cast<uint64_t>(begin));
    last = static_cast<int64_t>(static_cast<uint64_t>(m_first) + static_cast<uint64_t>(end - 1));
    return true;
}

// Rows of the store's current range into the batch until it is full; 0 when it
// is, 1 when the range is read to its end, -1 on failure (error set). The rows
// are written in place into the batch's reserved bytes, and the batch is cut to
// what it holds at the end, rather than grown row by row.
int EventReader::Fill(EventStore& store, Batch& batch, std::string& error) {
    batch.resize(batch.capacity());
    size_t used = 0;
    int result = 0;
    while (used < kReadBatchBytes) {
        EventFields fields;
        result = store.NextFields(fields, error);
        if (result != 0) break;
        RowHeader header;
        header.inode = fields.inode;
        header.changeTime = fields.changeTime;
        header.modifiedTime = fields.modifiedTime;
        header.accessTime = fields.accessTime;
        header.size = fields.size;
        header.isRename = fields.isRename;
        header.extraNumber = fields.extraNumber;
        header.pathLength = fields.pathLength;
        header.changeTypeLength = fields.changeTypeLength;
        header.oldPathLength = fields.oldPathLength;
        const size_t bytes =
            sizeof header + fields.pathLength + fields.changeTypeLength + fields.oldPathLength;
        if (used + bytes > batch.size()) batch.resize(used + bytes);
        char* out = batch.data() + used;
        memcpy(out, &header, sizeof header);
        out += sizeof header;
        memcpy(out, fields.path, fields.pathLength);
        out += fields.pathLength;
        memcpy(out, fields.changeType, fields.changeTypeLength);
        out += fields.changeTypeLength;
        memcpy(out, fields.oldPath, fields.oldPathLength);
        used += bytes;
    }
    batch.resize(used);
    return result;
}

// A lane's thread: its chunks, one after the other, each in as many batches as
// it takes, the last of them marked.
void EventReader::Run(Lane& lane, size_t firstChunk) {
    for (size_t chunk = firstChunk; chunk < m_chunks; chunk += m_laneCount) {
        int64_t first = 0, last = 0;
        const bool any = ChunkRange(chunk, first, last);
        std::string error;
        bool failed = any && !lane.store->ReadRange(first, last, error);
        bool chunkEnd = !any || failed;
        do {
            Batch* batch = nullptr;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                AwaitBatch(lock, m_wake, [&] { return !lane.free.empty() || m_stop; });
                if (m_stop) return;
                batch = lane.free.back();
                lane.free.pop_back();
            }
            Filled filled;
            filled.batch = batch;
            if (chunkEnd) {
                batch->clear();
            } else {
                try {
                    const int result = Fill(*lane.store, *batch, error);
                    failed = result < 0;
                    chunkEnd = result != 0;
                } catch (const std::bad_alloc&) {
                    batch->clear();
                    failed = chunkEnd = true;
                    error = "Out of memory reading the event database";
                }
            }
            filled.chunkEnd = chunkEnd;
            filled.failed = failed;
            if (failed) filled.error = error;
            std::lock_guard<std::mutex> lock(m_mutex);
            lane.full.push_back(std::move(filled));
        } while (!chunkEnd);
        if (failed) return;
    }
}

// Makes the lanes' pools, then starts their threads; false when not even the
// first could be started (the first lane's pool then serves the caller's thread).
bool EventReader::StartLanes() {
    for (size_t i = 0; i < m_laneCount; ++i) {
        Lane& lane = m_lanes[i];
        for (size_t b = 0; b < kReadBatchCount; ++b) {
            lane.pool.push_back(std::make_unique<Batch>());
            lane.pool.back()->reserve(kReadBatchBytes + 4096);
            lane.free.push_back(lane.pool.back().get());
        }
    }
    for (size_t i = 0; i < m_laneCount; ++i) {
        try {
            m_lanes[i].thread = std::thread(&EventReader::Run, this, std::ref(m_lanes[i]), i);
            m_lanes[i].started = true;
        } catch (const std::system_error&) {
            // Without the second thread the first would wait for chunks nobody
            // reads: the caller's thread reads them all instead.
            if (i > 0) StopLanes();
            return false;
        }
    }
    return true;
}

void EventReader::StopLanes() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    for (Lane& lane : m_lanes) {
        if (lane.started) lane.thread.join();
        lane.started = false;
    }
}

// The range of inodes, its chunks and the lanes that read them. False on failure,
// error set.
bool EventReader::Begin(std::string& error) {
    m_begun = true;
    bool any = false;
    if (!m_store.Bounds(m_first, m_last, any, error)) return false;
    if (!any) {
        m_chunks = 0;
        return true;
    }
    m_chunks = static_cast<size_t>(std::max<uint64_t>(1, m_rows / kChunkRows));
    // The second connection is only a help: without it, one thread reads all.
    std::string ignored;
    m_laneCount = m_chunks >= 2 && m_second.OpenForReading(m_store.Path(), ignored) ? 2 : 1;
    if (m_laneCount == 1) m_chunks = 1;
    if (StartLanes()) return true;
    // No thread: everything on the caller's thread, through the loading connection.
    m_inline = true;
    m_laneCount = 1;
    m_chunks = 1;
    for (Lane& lane : m_lanes) lane.full.clear();
    return m_store.ReadRange(m_first, m_last, error);
}

int EventReader::Next(_ChangeEventItem& row, std::string& error) {
    while (m_current.batch == nullptr || m_position >= m_current.batch->size()) {
        if (m_current.batch != nullptr) {
            // The batch is read out: it may end its chunk, or the reading.
            if (m_current.failed) {
                m_result = -1;
                m_error = m_current.error;
            } else if (m_current.chunkEnd) {
                ++m_chunk;
            }
            if (!m_inline) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_currentLane->free.push_back(m_current.batch);
            }
            m_current = Filled();
        }
        if (m_result == 0 && !m_begun && !Begin(m_error)) m_result = -1;
        if (m_result == 0 && m_chunk >= m_chunks) m_result = 1;
        if (m_result != 0) {
            error = m_error;
            Stop();
            return m_result;
        }
        if (m_inline) {
            m_currentLane = &m_lanes[0];
            m_current.batch = m_lanes[0].pool.front().get();
            const int result = Fill(m_store, *m_current.batch, m_current.error);
            m_current.failed = result < 0;
            m_current.chunkEnd = result != 0;
        } else {
            Lane& lane = m_lanes[m_chunk % m_laneCount];
            std::unique_lock<std::mutex> lock(m_mutex);
            AwaitBatch(lock, m_wake, [&] { return !lane.full.empty(); });
            m_current = std::move(lane.full.front());
            lane.full.pop_front();
            m_currentLane = &lane;
        }
        m_position = 0;
    }
    const char* in = m_current.batch->data() + m_position;
    RowHeader header;
    memcpy(&header, in, sizeof header);
    in += sizeof header;
    row.inode = header.inode;
    row.changeTime = header.changeTime;
    row.modifiedTime = header.modifiedTime;
    row.accessTime = header.accessTime;
    row.size = header.size;
    row.isRename = header.isRename;
    row.extraNumber = header.extraNumber;
    row.path.assign(in, header.pathLength);
    in += header.pathLength;
    row.changeType.assign(in, header.changeTypeLength);
    in += header.changeTypeLength;
    row.oldPath.assign(in, header.oldPathLength);
    in += header.oldPathLength;
    m_position = static_cast<size_t>(in - m_current.batch->data());
    return 0;
}

void EventReader::Stop() {
    StopLanes();
    m_second.Close();
}

}  // namespace snaphost
