#pragma once

#include <cstdint>
#include <string>

namespace snapscan {

// The job ids of one content (a client and subclient), kept between runs so that
// successive jobs chain: the first job is a full job, each later one compares
// against the last job whose changes were all delivered.
//
// Why the base moves only when a job's changes were delivered: a job that fails
// after its snapshots were taken has not handed its changes on. Were it the next
// job's base, the changes between the old base and the failed job would never be
// backed up. Its snapshots are neither kept nor needed: the next job's start-time
// retention keeps only that job's own and its previous job's snapshots, and a
// failed job runs no post-backup cleanup, so the old base's snapshots survive.
struct ContentState {
    int64_t lastIssuedJobId = 0;  // the latest job started, whatever became of it
    int64_t baseJobId = 0;        // the latest job whose changes were all delivered; 0: none
};

class JobStateStore {
public:
    explicit JobStateStore(std::string directory) : m_directory(std::move(directory)) {}

    // $SNAPSCAN_STATE_DIR, else $XDG_STATE_HOME/snapscan, else ~/.local/state/snapscan.
    static std::string DefaultDirectory();

    const std::string& Directory() const { return m_directory; }
    std::string StatePath(uint32_t clientId, uint32_t subclientId) const;

    // A missing file is a content without jobs (all ids 0). A file that cannot be
    // read or parsed is an error: guessing would silently turn the next job into
    // a full job or, worse, compare against the wrong base.
    bool Load(uint32_t clientId, uint32_t subclientId, ContentState& state, std::string& error) const;

    // Replaces the file atomically (written beside it, then renamed), creating the
    // directory when needed.
    bool Save(uint32_t clientId, uint32_t subclientId, const ContentState& state,
              std::string& error) const;

private:
    std::string m_directory;
};

// Exclusive lock of one content while a job or a cleanup of it runs: two jobs of
// the same content at once would delete each other's snapshots. Released when
// the object goes (or the process ends).
class ContentLock {
public:
    ContentLock() = default;
    ~ContentLock();
    ContentLock(const ContentLock&) = delete;
    ContentLock& operator=(const ContentLock&) = delete;

    // False with a reason when the lock is held by another process or cannot be made.
    bool Acquire(const JobStateStore& store, uint32_t clientId, uint32_t subclientId,
                 std::string& error);

private:
    int m_fd = -1;
};

}  // namespace snapscan
