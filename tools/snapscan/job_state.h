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
    // For `snapscan status` (UTC, RFC 3339; "" when not known):
    std::string lastStartedAt;    // when the latest job started
    std::string lastFinishedAt;   // when it ended ("" while it runs, or when it was killed)
    int lastStatus = -1;          // its exit status; -1 while it runs or when it was killed
    std::string baseDeliveredAt;  // when the base job's changes were all handed on
};

// Checks that a directory the CLI keeps its own files in can be trusted: owned
// by the user running (or root) and not writable by group or others. "" when
// it can, else why not.
std::string DistrustDirectory(const std::string& directory);

class JobStateStore {
public:
    explicit JobStateStore(std::string directory) : m_directory(std::move(directory)) {}

    // $SNAPSCAN_STATE_DIR; else /var/lib/snapscan for root; else
    // $XDG_STATE_HOME/snapscan, else <home>/.local/state/snapscan with the home
    // directory from $HOME or the password database. Never a shared temporary
    // directory: state there is wiped at boot and others could plant files in
    // it. "" when no home directory is known.
    static std::string DefaultDirectory();

    const std::string& Directory() const { return m_directory; }
    std::string StatePath(uint32_t clientId, uint32_t subclientId) const;

    // A missing file is a content without jobs (all ids 0). A file that cannot be
    // read or parsed is an error: guessing would silently turn the next job into
    // a full job or, worse, compare against the wrong base. So is a state file
    // that is a link, is not the running user's, or lies in a directory others
    // can write: whoever could plant it could choose the next job's base.
    bool Load(uint32_t clientId, uint32_t subclientId, ContentState& state,
              std::string& error) const;

    // Replaces the file atomically and durably (a temporary file beside it,
    // opened without following links, written and synced, renamed over it, and
    // the directory synced), creating the directory (0700) when needed.
    bool Save(uint32_t clientId, uint32_t subclientId, const ContentState& state,
              std::string& error) const;

private:
    std::string m_directory;
};

// Exclusive lock of one content while anything that changes its snapshots or
// its state runs (a job, a cleanup, a deletion of failed shares): a cleanup
// during a job would delete the snapshot the job reads. There is one lock per
// content on the machine, in one directory whatever the state directory, so
// that runs with different state directories exclude each other too. Released
// when the object goes (or the process ends).
class ContentLock {
public:
    ContentLock() = default;
    ~ContentLock();
    ContentLock(const ContentLock&) = delete;
    ContentLock& operator=(const ContentLock&) = delete;

    // $SNAPSCAN_LOCK_DIR; else /run/lock/snapscan for root; else
    // $XDG_RUNTIME_DIR/snapscan; else the user's default state directory.
    static std::string DefaultDirectory();

    // False with a reason when the lock is held by another process or cannot be
    // made safely (a link, another user's file, a directory others can write).
    bool Acquire(uint32_t clientId, uint32_t subclientId, std::string& error);

private:
    int m_fd = -1;
};

}  // namespace snapscan
