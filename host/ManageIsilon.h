#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/CRwError.h"
#include "common/Records.h"
#include "host/SnapHostExport.h"

// Last-error code texts of our own, for failures that never reached the array's
// error body. Everything else is the array's "code" (e.g. "AEC_NOT_FOUND") or the
// HTTP status as decimal text ("500").
namespace ManageIsilonError {
constexpr const char* kConnect = "CONNECT_FAILED";      // no TCP connection / DNS failure
constexpr const char* kTls = "TLS_FAILED";              // handshake, certificate, pinned key
constexpr const char* kTimeout = "TIMEOUT";             // connect time-out or low-speed abort
constexpr const char* kTransport = "TRANSPORT_FAILED";  // connection dropped, other curl errors
constexpr const char* kBadResponse = "BAD_RESPONSE";    // malformed, truncated or mistyped body
constexpr const char* kAuth = "AUTH_FAILED";            // login refused
constexpr const char* kJobFailed = "CHANGELIST_JOB_FAILED";  // changelist job failed or cancelled
constexpr const char* kNotConnected = "NOT_CONNECTED";       // operation before OpenConnection
}  // namespace ManageIsilonError

// One authenticated connection to the array's management REST API (HTTPS, port
// 8080 unless the file server names one). Default-constructed, given file server,
// user and password, then opened. TLS options come from the job's own credentials
// entry (SetCredentialsEntry, NASSnapUtil::GetArrayConnectionOptions). For tests and
// benchmarks only, a file server beginning with "http://" ("http://127.0.0.1:5000")
// is reached over plain HTTP, without TLS; a level -1 line says so at every open.
//
// Every failed operation sets the last error: a code text and a message that
// says what happened. Passwords and session tokens never appear in either, nor
// in any log line. Texts of the array (error messages, paths, states) appear in
// them only as a short excerpt, control bytes written as \xNN and a backslash
// as \\. Not thread-safe: one object is used by one thread at a time.
//
// Everything the array sends is bounded. Each request may take at most
// connectTimeoutSeconds + 4 x lowSpeedTimeSeconds of the credentials entry
// (10 + 4 x 60 = 250 s by default) and is aborted sooner when fewer than one
// byte a second arrives for lowSpeedTimeSeconds; ManageIsilonError::kTimeout
// then. An answer longer than its kind allows is refused (kTransport): a
// changelist page 64 MiB, a snapshot list page 16 MiB, any other answer 1 MiB.
// A paged list whose resume tokens repeat, or that runs to more pages than its
// entries can fill, fails with kBadResponse instead of being followed; for a
// changelist this holds across the calls that read it page by page.
//
// Names are byte strings: paths, snapshot names and tokens come out with the
// exact bytes the array sent, also when they are not UTF-8.
//
// What a failure leaves behind. Out-parameters are written only on success,
// except where an operation says otherwise below; a caller may keep what it
// passed in. The test double of this class keeps the same rules; those that
// need no array (argument checks, what a failed call leaves) it shares with
// this client (platform/manage_isilon_rules.h).
//
// Unread record fields are filled as follows: _IsilonSnapInfo value3 = created
// (epoch s), text4 = state, text6 = alias, value7 = size; _IsilonVersionInfo
// text0 = build, value0 = revision, text1 = type, text2 = version text, text3 =
// cluster name; _ChangeListCreateJobInfo flag0 = allow_multiple_instances,
// number0 = priority, text0 = policy.
class SNAPHOST_API ManageIsilon {
public:
    ManageIsilon();
    ~ManageIsilon();

    ManageIsilon(const ManageIsilon&) = delete;
    ManageIsilon& operator=(const ManageIsilon&) = delete;

    void SetFileServer(const std::string& fileServer) { m_fileServer = fileServer; }
    void SetUser(const std::string& user) { m_userName = ValidateEscSeq(user); }
    void SetPasswd(const std::string& password) { m_password = password; }
    // The credentials entry the connection options come from (the text0 of the
    // _NASArrayInfo the credentials lookup filled). Without it, the options of
    // the entries that name the file server, when they agree.
    void SetCredentialsEntry(const std::string& entry) { m_credentialsEntry = entry; }
    std::string GetFileServer() const { return m_fileServer; }
    void GetLastError(std::string& code, std::string& message) const {
        code = m_lastErrorCode;
        message = m_lastErrorMessage;
    }

    // The user name in the form the array takes: the agent's configuration
    // stores a domain user as "DOMAIN\\\\user" (backslash escaped); each escaped
    // backslash becomes one. Other text is returned unchanged.
    std::string ValidateEscSeq(const std::string& user) const;

    // Logs in (session) or checks the credentials (Basic). True: every later
    // operation may be called. False: not connected (every other operation then
    // fails with ManageIsilonError::kNotConnected); a connection that was open
    // before is not usable either.
    bool OpenConnection();

    // Every snapshot on the array, all pages. The two strings are reserved (pass "").
    // False: `snapshots` is as the caller passed it, even when some pages had
    // been read; the code is the array's (callers read it as a decimal number).
    bool GetSnapshotList(std::vector<_IsilonSnapInfo>& snapshots, const std::string& reserved1,
                         const std::string& reserved2);

    // True: the snapshot of `path` named `name` exists now and id holds its array
    // id. A name in use fails with "AEC_CONFLICT" and leaves id as it was (the
    // caller sets it first); so does every failure before the array answered.
    // Only an answer that named an id and then went wrong (kBadResponse) may
    // have written id.
    bool CreateSnapshot(const std::string& path, const std::string& name, int& id);

    // Deletes the snapshot by name. reserved1 ("Empty") and flags (0) are ignored.
    // An empty name fails with "INVALID_ARGUMENT" before any request (it would
    // address the whole collection); an unknown one with "AEC_NOT_FOUND".
    bool DeleteSnapshot(const std::string& reserved1, const std::string& name, int flags);

    // One entry: the cluster's version. A failure (code 1627 and the message)
    // leaves `versions` as it was.
    CRwError GetVersionInfo(std::vector<_IsilonVersionInfo>& versions);
    // A failure leaves `info` as it was: a partly read answer is not copied.
    CRwError GetChangeListJobInfo(_ChangeListCreateJobInfo& info);
    // Sends info.enabled; `info` is never changed.
    CRwError SetChangeListJobInfo(_ChangeListCreateJobInfo& info);

    // Starts the changelist job for the pair and remembers its id for
    // GetSnapshotChangeList. retainRepState is passed to the job. The ids are
    // never changed; after a failure the job remembered before (if any) stays.
    CRwError CreateSnapshotChangeList(uint64_t& baseId, uint64_t& incrId, bool retainRepState);

    // First call (empty resumeToken in page): fails with "AEC_NOT_FOUND" until the
    // changelist exists and its job has succeeded; a failed or cancelled job fails
    // at once with ManageIsilonError::kJobFailed. Then one page per call: items
    // replaced, paths relative to the changelist's root path beginning with "/",
    // resumeToken non-empty while pages follow.
    // A failure of any call leaves page.items empty (no stale entries of an
    // earlier page, nothing of a half-read one) and page.resumeToken as it was,
    // so the same page can be asked for again; the ids are never changed.
    CRwError GetSnapshotChangeList(uint64_t& baseId, uint64_t& incrId, _IsilonChangeListInfo& page);

    struct Impl;  // the transport: real HTTPS in platform/, scripted in tests

private:
    friend struct Impl;

    std::string m_fileServer;
    std::string m_userName;
    std::string m_password;
    std::string m_credentialsEntry;
    std::string m_lastErrorCode;
    std::string m_lastErrorMessage;
    std::unique_ptr<Impl> m_impl;
};
