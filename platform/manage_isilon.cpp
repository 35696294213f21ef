// The array client: libcurl with one easy handle per connection object, reused
// for every request so that the TCP and TLS connection stays open between them.

#include "host/ManageIsilon.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>

#include <curl/curl.h>
#include <nlohmann/json.hpp>
#include <simdjson.h>

#include "host/FXErrorUtil.h"
#include "host/LogWriter.h"
#include "host/NASSnapUtil.h"
#include "platform/manage_isilon_address.h"
#include "platform/manage_isilon_failure.h"
#include "platform/manage_isilon_json.h"
#include "platform/manage_isilon_rules.h"
#include "snapscan/Version.h"

namespace {

constexpr long kLogoutTimeoutSeconds = 5;  // the destructor must not hang on a dead array
// A whole request may take the connect time-out plus this many low-speed
// windows: an array that answers slowly but steadily still gets through, one
// that trickles a few bytes a second cannot hold a request for ever.
constexpr long kLowSpeedWindowsPerRequest = 4;

// Longest answer taken per kind of request. A changelist page of the 1000
// entries asked for, each with a path of 4 KiB of escaped bytes, stays well
// inside its bound, and so does an array that pages larger than asked; a
// snapshot page of 1000 snapshots of long paths inside its own; everything
// else (version, job type, jobs, creation, deletion, errors) is small.
constexpr size_t kSmallAnswerBytes = size_t(1) << 20;
constexpr size_t kSnapshotPageBytes = size_t(16) << 20;
constexpr size_t kChangelistPageBytes = size_t(64) << 20;
constexpr unsigned kPageLimit = 1000;

// Paged lists. A list may run to one page per entry it announces plus a few
// empty ones; without an announcement, to the fixed bound. Snapshots are
// counted as well, since their records stay in memory until the list ends.
constexpr uint64_t kSpareChangelistPages = 100;
constexpr uint64_t kMaxChangelistPages = uint64_t(1) << 20;
constexpr uint64_t kMaxSnapshots = 200000;
constexpr uint64_t kMaxSnapshotPages = kMaxSnapshots + 1000;
// Tokens remembered per list. A cycle through more distinct tokens than this
// still ends at the page bound.
constexpr size_t kMaxRememberedTokens = size_t(1) << 16;
constexpr uint32_t kFunctionFailed = 1627;
constexpr const char* kNotFound = "AEC_NOT_FOUND";

constexpr const char* kSessionPath = "/session/1/session";
constexpr const char* kSnapshotsPath = "/platform/1/snapshot/snapshots";
constexpr const char* kClusterConfigPath = "/platform/1/cluster/config";
constexpr const char* kJobTypePath = "/platform/1/job/types/ChangelistCreate";
constexpr const char* kJobsPath = "/platform/3/job/jobs";
constexpr const char* kChangelistsPath = "/platform/1/snapshot/changelists/";

void GlobalInitOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string WithoutQuery(const std::string& path) { return path.substr(0, path.find('?')); }

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// A Set-Cookie header line: name and value of its cookie, when it is `name`.
bool CookieValue(const char* line, size_t size, const char* name, std::string& value) {
    static const char kSetCookie[] = "set-cookie:";
    const size_t prefix = sizeof(kSetCookie) - 1;
    if (size <= prefix || strncasecmp(line, kSetCookie, prefix) != 0) return false;
    std::string_view rest(line + prefix, size - prefix);
    rest.remove_prefix(std::min(rest.size(), rest.find_first_not_of(" \t")));
    size_t nameSize = std::strlen(name);
    if (rest.size() <= nameSize || rest.compare(0, nameSize, name) != 0 || rest[nameSize] != '=')
        return false;
    rest.remove_prefix(nameSize + 1);
    value.assign(rest.substr(0, rest.find_first_of(";\r\n")));
    return true;
}

// The resume tokens of one paged list. An array that hands out a token it
// handed out before for another page leads the reader round in a circle, one
// that hands out fresh tokens for ever never ends; both are refused. Asking
// again for a page (with the token it was reached by) may bring the same token
// back without counting as a circle.
class ResumeTrail {
public:
    void Start(uint64_t maxPages) {
        m_from.clear();
        m_pages = 0;
        m_maxPages = maxPages;
    }

    // `sent` brought a page whose token is `received` (empty: the last page).
    // False with problem set when that token must not be followed.
    bool Follow(const std::string& sent, const std::string& received, std::string& problem) {
        ++m_pages;
        if (received.empty()) return true;
        const uint64_t from = Hash(sent), to = Hash(received);
        if (!sent.empty() && m_from.size() < kMaxRememberedTokens)
            m_from.emplace(from, kUnknownOrigin);  // joined mid-list: where it came from is unknown
        auto known = m_from.find(to);
        if (received == sent || (known != m_from.end() && known->second != from)) {
            problem = "the array sent a resume token it had sent before, after " +
                      std::to_string(m_pages) + " pages: its pages go round in a circle";
            return false;
        }
        if (m_pages >= m_maxPages) {
            problem = "the array sent more than " + std::to_string(m_maxPages) +
                      " pages, more than its entries can fill";
            return false;
        }
        if (known == m_from.end() && m_from.size() < kMaxRememberedTokens) m_from.emplace(to, from);
        return true;
    }

    uint64_t Pages() const { return m_pages; }

private:
    static constexpr uint64_t kUnknownOrigin = 0;
    static uint64_t Hash(const std::string& token) {
        const uint64_t hash = std::hash<std::string>()(token);
        return hash == kUnknownOrigin ? 1 : hash;
    }

    std::unordered_map<uint64_t, uint64_t> m_from;  // token -> the token that brought it
    uint64_t m_pages = 0;
    uint64_t m_maxPages = 0;
};

}  // namespace

struct ManageIsilon::Impl {
    explicit Impl(ManageIsilon& owner) : self(owner) {}
    ~Impl() {
        Logout();
        if (headers) curl_slist_free_all(headers);
        if (curl) curl_easy_cleanup(curl);
    }

    ManageIsilon& self;
    CURL* curl = nullptr;
    curl_slist* headers = nullptr;
    char curlError[CURL_ERROR_SIZE] = {};
    arrayaddress::Address address;
    ArrayConnectionOptions options;
    bool connected = false;
    bool sessionOpen = false;
    std::string csrfToken;  // sent back as X-CSRF-Token; never logged
    std::string sessionId;  // only kept to scrub it from texts
    bool headersStale = true;
    bool waitingForChangelist = false;  // a 404 now means "not built yet", not a fault

    std::string body;  // the last answer; its buffer serves every request
    size_t bodyLimit = kSmallAnswerBytes;
    bool bodyTooLarge = false;
    long requestTimeoutSeconds = 0;
    long status = 0;
    simdjson::ondemand::parser parser;

    // The changelist job this object started and the root path of the last pair read.
    bool jobStarted = false;
    uint64_t jobId = 0, jobBase = 0, jobIncr = 0;
    bool haveRoot = false;
    uint64_t rootBase = 0, rootIncr = 0;
    std::string rootPath;
    uint64_t rootEntries = arrayjson::kUnknownEntries;
    // Kept between the calls that read one changelist page by page.
    ResumeTrail changelistTrail;
    bool trailActive = false;
    uint64_t trailBase = 0, trailIncr = 0;

    void StartChangelistTrail(uint64_t base, uint64_t incr) {
        uint64_t maxPages = kMaxChangelistPages;
        if (rootEntries != arrayjson::kUnknownEntries)
            maxPages = std::min(maxPages, rootEntries + kSpareChangelistPages);
        changelistTrail.Start(maxPages);
        trailActive = true;
        trailBase = base;
        trailIncr = incr;
    }

    static size_t OnBody(char* data, size_t size, size_t count, void* user) {
        Impl* impl = static_cast<Impl*>(user);
        size_t bytes = size * count;
        if (impl->body.size() + bytes > impl->bodyLimit) {
            impl->bodyTooLarge = true;
            return 0;
        }
        impl->body.append(data, bytes);
        return bytes;
    }

    // The array may hand out a new session or CSRF token in any answer.
    static size_t OnHeader(char* data, size_t size, size_t count, void* user) {
        Impl* impl = static_cast<Impl*>(user);
        size_t bytes = size * count;
        std::string value;
        if (CookieValue(data, bytes, "isicsrf", value)) {
            if (value != impl->csrfToken) {
                impl->csrfToken.swap(value);
                impl->headersStale = true;
            }
        } else if (CookieValue(data, bytes, "isisessid", value)) {
            impl->sessionId.swap(value);
        }
        return bytes;
    }

    std::vector<std::string_view> Secrets() const {
        return {self.m_password, csrfToken, sessionId};
    }

    // A text of the array inside a message of ours: scrubbed, escaped and short.
    std::string Quote(std::string_view text) const {
        return arrayfailure::Excerpt(text, Secrets(), arrayfailure::kMaxExcerptBytes);
    }

    void SetFailure(const std::string& code, const std::string& message) {
        std::vector<std::string_view> secrets = Secrets();
        self.m_lastErrorCode = arrayfailure::ScrubSecrets(code, secrets);
        self.m_lastErrorMessage = arrayfailure::ScrubSecrets(message, secrets);
        SNAP_LOG(waitingForChangelist && status == 404 ? 1 : -1,
                 "Array request failed: code [%s] %s", self.m_lastErrorCode.c_str(),
                 self.m_lastErrorMessage.c_str());
    }

    void RebuildHeaders() {
        if (headers) curl_slist_free_all(headers);
        headers = nullptr;
        headers = curl_slist_append(headers, "Accept: application/json");
        headers = curl_slist_append(headers, "Content-Type: application/json");
        headers = curl_slist_append(headers, "Expect:");
        if (!options.basicAuth) {
            headers = curl_slist_append(headers, ("Origin: " + address.baseUrl).c_str());
            headers = curl_slist_append(headers, ("Referer: " + address.baseUrl + "/").c_str());
            if (!csrfToken.empty())
                headers = curl_slist_append(headers, ("X-CSRF-Token: " + csrfToken).c_str());
        }
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        headersStale = false;
    }

    // Applies everything that stays the same for every request of the connection.
    bool Configure(std::string& problem) {
        if (!curl) curl = curl_easy_init();
        if (!curl) {
            problem = "could not create a curl handle";
            return false;
        }
        curl_easy_reset(curl);
        curl_easy_setopt(curl, CURLOPT_COOKIEFILE, "");     // cookie engine on, in memory only
        curl_easy_setopt(curl, CURLOPT_COOKIELIST, "ALL");  // nothing of an earlier session
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, curlError);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Impl::OnBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Impl::OnHeader);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(curl, CURLOPT_USERAGENT, "snapscan/" SNAPSCAN_VERSION);
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, address.plainHttp ? "http" : "https");
        curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
        const long connectSeconds =
            options.connectTimeoutSeconds > 0 ? options.connectTimeoutSeconds : 10L;
        const long lowSpeedSeconds =
            options.lowSpeedTimeSeconds > 0 ? options.lowSpeedTimeSeconds : 60L;
        requestTimeoutSeconds = connectSeconds + kLowSpeedWindowsPerRequest * lowSpeedSeconds;
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connectSeconds);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, lowSpeedSeconds);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, requestTimeoutSeconds);
        // A pinned key without a CA file stands instead of a CA: arrays mostly
        // present self-signed certificates, and the key itself identifies the
        // array (curl checks the pin whether or not it verifies the chain).
        const bool pinOnly = !options.pinnedPublicKey.empty() && options.caFile.empty();
        const bool verifyChain = !options.insecure && !pinOnly;
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, verifyChain ? 1L : 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, verifyChain ? 2L : 0L);
        if (!options.caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, options.caFile.c_str());
        if (!options.pinnedPublicKey.empty())
            curl_easy_setopt(curl, CURLOPT_PINNEDPUBLICKEY, options.pinnedPublicKey.c_str());
        if (options.basicAuth) {
            curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
            curl_easy_setopt(curl, CURLOPT_USERNAME, self.m_userName.c_str());
            curl_easy_setopt(curl, CURLOPT_PASSWORD, self.m_password.c_str());
        }
        csrfToken.clear();
        sessionId.clear();
        headersStale = true;
        return true;
    }

    // One exchange. Afterwards `status` and `body` hold the answer; the curl code
    // is returned.
    CURLcode Perform(const char* method, const std::string& path, const std::string* request,
                     size_t answerLimit) {
        if (headersStale) RebuildHeaders();
        bodyLimit = answerLimit;
        bodyTooLarge = false;
        // The buffer is kept for the next answer, but not one grown by a kind
        // of answer far larger than this one may be (an endless body, mostly).
        if (body.capacity() > 2 * answerLimit + simdjson::SIMDJSON_PADDING)
            std::string().swap(body);
        // An announced length over the limit is refused before any of it is read.
        curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(answerLimit));
        std::string url = address.baseUrl + path;
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        if (request) {
            curl_easy_setopt(curl, CURLOPT_POST, 1L);
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request->data());
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(request->size()));
        } else {
            curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
        }
        curl_easy_setopt(
            curl, CURLOPT_CUSTOMREQUEST,
            std::strcmp(method, "GET") == 0 || std::strcmp(method, "POST") == 0 ? nullptr : method);
        body.clear();
        status = 0;
        curlError[0] = '\0';
        CURLcode rc = curl_easy_perform(curl);
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        return rc;
    }

    void LogExchange(int level, const char* method, const std::string& path, CURLcode rc) {
        if (g_ptrLogWriter->GetLevel() < level) return;
        curl_off_t micros = 0;
        curl_easy_getinfo(curl, CURLINFO_TOTAL_TIME_T, &micros);
        std::string shortPath = WithoutQuery(path);
        SNAP_LOG(level, "%s %s -> %s %ld in %.1f ms, %zu bytes", method, shortPath.c_str(),
                 rc == CURLE_OK ? "HTTP" : "failed, HTTP", status, micros / 1000.0, body.size());
    }

    void Fail(const char* operation, const char* method, const std::string& path, CURLcode rc,
              const std::string& badBody, bool login) {
        arrayfailure::Outcome outcome;
        std::string url = address.baseUrl + WithoutQuery(path);
        outcome.operation = operation;
        outcome.method = method;
        outcome.url = url;
        outcome.curlCode = rc;
        std::string tooLarge;
        if (bodyTooLarge || rc == CURLE_FILESIZE_EXCEEDED) {
            tooLarge = "the answer is longer than the " + std::to_string(bodyLimit) +
                       " bytes allowed for this request";
            outcome.curlDetail = tooLarge;
        } else {
            outcome.curlDetail = curlError;
        }
        outcome.httpStatus = status;
        outcome.body = &body;
        outcome.badBody = badBody;
        outcome.login = login;
        outcome.secrets = Secrets();
        arrayfailure::Failure failure = arrayfailure::Describe(parser, outcome);
        SetFailure(failure.code, failure.message);
    }

    // A request whose answer must be a 2xx. A session that expired is renewed
    // once. False: the last error is set.
    bool Send(const char* operation, const char* method, const std::string& path,
              const std::string* request = nullptr, int logLevel = 2,
              size_t answerLimit = kSmallAnswerBytes) {
        for (int attempt = 0;; ++attempt) {
            CURLcode rc = Perform(method, path, request, answerLimit);
            LogExchange(logLevel, method, path, rc);
            if (rc == CURLE_OK && status >= 200 && status < 300) return true;
            if (rc == CURLE_OK && status == 401 && !options.basicAuth && attempt == 0) {
                SNAP_LOG(1, "Session on [%s] not accepted, logging in again",
                         address.baseUrl.c_str());
                sessionOpen = false;
                if (!Login(operation)) return false;
                continue;
            }
            Fail(operation, method, path, rc, std::string(), options.basicAuth && status == 401);
            return false;
        }
    }

    // A 2xx answer whose body turned out unusable.
    void BadBody(const char* operation, const char* method, const std::string& path,
                 const std::string& problem) {
        Fail(operation, method, path, CURLE_OK, problem, false);
    }

    bool Login(const char* operation) {
        std::string request;
        {
            nlohmann::json login = {{"username", self.m_userName},
                                    {"password", self.m_password},
                                    {"services", {"platform"}}};
            request = login.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        }
        CURLcode rc = Perform("POST", kSessionPath, &request, kSmallAnswerBytes);
        std::fill(request.begin(), request.end(), '\0');
        LogExchange(1, "POST", kSessionPath, rc);
        if (rc != CURLE_OK || status < 200 || status >= 300) {
            Fail(operation, "POST", kSessionPath, rc, std::string(), true);
            return false;
        }
        sessionOpen = true;
        if (csrfToken.empty())
            SNAP_LOG(1, "Array [%s] sent no CSRF token with the session", address.baseUrl.c_str());
        return true;
    }

    void Logout() {
        if (!curl || !sessionOpen) return;
        sessionOpen = false;
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, kLogoutTimeoutSeconds);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kLogoutTimeoutSeconds);
        CURLcode rc = Perform("DELETE", kSessionPath, nullptr, kSmallAnswerBytes);
        LogExchange(1, "DELETE", kSessionPath, rc);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, requestTimeoutSeconds);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT,
                         options.connectTimeoutSeconds > 0 ? options.connectTimeoutSeconds : 10L);
    }

    bool RequireConnection(const char* operation) {
        if (connected) return true;
        SetFailure(
            ManageIsilonError::kNotConnected,
            std::string(operation) + ": no open connection to the array (OpenConnection first)");
        return false;
    }

    std::string Escape(const std::string& text) {
        char* escaped = curl_easy_escape(curl, text.data(), static_cast<int>(text.size()));
        if (!escaped) throw std::bad_alloc();
        std::string result(escaped);
        curl_free(escaped);
        return result;
    }

    CRwError Failed(const FXCodeLocation& location) {
        return FXErrorUtil::ErrorWin32(location, kFunctionFailed, "%s",
                                       self.m_lastErrorMessage.c_str());
    }

    // The root path of the pair's changelist; a missing changelist is "not ready".
    bool LoadChangelistRoot(const char* operation, uint64_t base, uint64_t incr) {
        std::string path = kChangelistsPath + std::to_string(base) + "_" + std::to_string(incr);
        waitingForChangelist = true;
        bool sent = Send(operation, "GET", path);
        waitingForChangelist = false;
        if (!sent) {
            if (status == 404) self.m_lastErrorCode = kNotFound;
            return false;
        }
        std::string problem;
        if (!arrayjson::ParseChangelistRoot(parser, body, rootPath, problem, &rootEntries)) {
            BadBody(operation, "GET", path, problem);
            return false;
        }
        haveRoot = true;
        rootBase = base;
        rootIncr = incr;
        return true;
    }

    // The job this object started for the pair: ready, not yet, or failed.
    bool CheckJob(const char* operation) {
        std::string path = std::string(kJobsPath) + "/" + std::to_string(jobId);
        waitingForChangelist = true;
        bool sent = Send(operation, "GET", path);
        waitingForChangelist = false;
        if (!sent) {
            if (status != 404) return false;
            // The array forgets finished jobs; whether the changelist exists decides.
            SNAP_LOG(1, "Changelist job [%llu] is unknown to the array", (unsigned long long)jobId);
            return true;
        }
        std::string state, problem;
        if (!arrayjson::ParseJobState(parser, body, state, problem)) {
            BadBody(operation, "GET", path, problem);
            return false;
        }
        if (state == "succeeded") return true;
        std::string pair =
            "[" + std::to_string(jobBase) + "] and [" + std::to_string(jobIncr) + "]";
        if (StartsWith(state, "failed") || StartsWith(state, "cancelled")) {
            SetFailure(ManageIsilonError::kJobFailed,
                       std::string(operation) + ": changelist job " + std::to_string(jobId) +
                           " for snapshots " + pair + " ended in state " + Quote(state));
            return false;
        }
        self.m_lastErrorCode = kNotFound;
        self.m_lastErrorMessage = std::string(operation) + ": changelist not ready: job " +
                                  std::to_string(jobId) + " for snapshots " + pair + " is " +
                                  Quote(state);
        SNAP_LOG(1, "%s", self.m_lastErrorMessage.c_str());
        return false;
    }
};

// Nothing may escape to the plug-in: an exception (memory, mostly) becomes a
// failure of the operation.
template <typename Body>
static bool Guarded(ManageIsilon::Impl& impl, const char* operation, Body&& body) {
    try {
        return body();
    } catch (const std::exception& e) {
        impl.SetFailure(ManageIsilonError::kTransport,
                        std::string(operation) + ": internal failure: " + e.what());
    } catch (...) {
        impl.SetFailure(ManageIsilonError::kTransport,
                        std::string(operation) + ": internal failure");
    }
    return false;
}

ManageIsilon::ManageIsilon() : m_impl(new Impl(*this)) {}

ManageIsilon::~ManageIsilon() = default;

std::string ManageIsilon::ValidateEscSeq(const std::string& user) const {
    std::string result;
    result.reserve(user.size());
    for (size_t i = 0; i < user.size(); ++i) {
        result += user[i];
        if (user[i] == '\\' && i + 1 < user.size() && user[i + 1] == '\\') ++i;
    }
    return result;
}

bool ManageIsilon::OpenConnection() {
    Impl& impl = *m_impl;
    return Guarded(impl, "OpenConnection", [&] {
        m_lastErrorCode.clear();
        m_lastErrorMessage.clear();
        impl.Logout();
        impl.connected = false;
        impl.jobStarted = false;
        impl.haveRoot = false;
        impl.trailActive = false;
        std::string problem;
        if (!arrayaddress::Parse(m_fileServer, impl.address, problem)) {
            impl.SetFailure(ManageIsilonError::kConnect, "OpenConnection: " + problem);
            return false;
        }
        GlobalInitOnce();
        impl.options = ArrayConnectionOptions();
        NASSnapUtil credentials;
        credentials.Initialize();
        if (!credentials.GetArrayConnectionOptions(m_credentialsEntry, m_fileServer,
                                                   impl.options)) {
            impl.options = ArrayConnectionOptions();
            SNAP_LOG(1, "No connection options for file server [%s], using the defaults",
                     m_fileServer.c_str());
        }
        if (impl.address.plainHttp) {
            // Said once per process and file server: a job opens several
            // connections, and the same warning on each would bury the log.
            static std::mutex warnedMutex;
            static std::set<std::string> warned;
            std::lock_guard<std::mutex> lock(warnedMutex);
            if (warned.insert(m_fileServer).second)
                SNAP_LOG(-1, "File server [%s] is reached over plain HTTP, without TLS",
                         m_fileServer.c_str());
        } else if (impl.options.insecure)
            SNAP_LOG(-1, "TLS certificate verification is off for file server [%s]",
                     m_fileServer.c_str());
        else if (!impl.options.pinnedPublicKey.empty() && impl.options.caFile.empty())
            SNAP_LOG(1, "File server [%s] is trusted by its pinned public key",
                     m_fileServer.c_str());
        if (!impl.Configure(problem)) {
            impl.SetFailure(ManageIsilonError::kTransport, "OpenConnection: " + problem);
            return false;
        }
        if (impl.options.basicAuth) {
            // Basic sends the credentials with every request; one cheap request checks them.
            if (!impl.Send("OpenConnection", "GET", kClusterConfigPath, nullptr, 1)) return false;
        } else if (!impl.Login("OpenConnection")) {
            return false;
        }
        impl.connected = true;
        SNAP_LOG(1, "Connected to file server [%s] as [%s] (%s)", m_fileServer.c_str(),
                 m_userName.c_str(), impl.options.basicAuth ? "basic" : "session");
        return true;
    });
}

bool ManageIsilon::GetSnapshotList(std::vector<_IsilonSnapInfo>& snapshots, const std::string&,
                                   const std::string&) {
    Impl& impl = *m_impl;
    return Guarded(impl, "GetSnapshotList", [&] {
        if (!impl.RequireConnection("GetSnapshotList")) return false;
        std::vector<_IsilonSnapInfo> all;
        std::string path = std::string(kSnapshotsPath) + "?limit=" + std::to_string(kPageLimit);
        std::string resume, sent, problem;
        ResumeTrail trail;
        trail.Start(kMaxSnapshotPages);
        for (;;) {
            if (!impl.Send("GetSnapshotList", "GET", path, nullptr, 2, kSnapshotPageBytes))
                return false;
            if (!arrayjson::ParseSnapshotPage(impl.parser, impl.body, all, resume, problem)) {
                impl.BadBody("GetSnapshotList", "GET", path, problem);
                return false;
            }
            if (all.size() > kMaxSnapshots) {
                impl.BadBody(
                    "GetSnapshotList", "GET", path,
                    "the array lists more than " + std::to_string(kMaxSnapshots) + " snapshots");
                return false;
            }
            if (!trail.Follow(sent, resume, problem)) {
                impl.BadBody("GetSnapshotList", "GET", path, problem);
                return false;
            }
            if (resume.empty()) break;
            sent = resume;
            path = std::string(kSnapshotsPath) + "?resume=" + impl.Escape(resume);
        }
        snapshots.swap(all);
        SNAP_LOG(2, "File server [%s] has %zu snapshots", m_fileServer.c_str(), snapshots.size());
        return true;
    });
}

bool ManageIsilon::CreateSnapshot(const std::string& path, const std::string& name, int& id) {
    Impl& impl = *m_impl;
    return Guarded(impl, "CreateSnapshot", [&] {
        if (!impl.RequireConnection("CreateSnapshot")) return false;
        std::string code, message;
        if (!arrayrules::CheckSnapshotRequest("CreateSnapshot", path, name, code, message)) {
            impl.SetFailure(code, message);
            return false;
        }
        std::string request = nlohmann::json{{"name", name}, {"path", path}}.dump(
            -1, ' ', false, nlohmann::json::error_handler_t::replace);
        if (!impl.Send("CreateSnapshot", "POST", kSnapshotsPath, &request, 1)) return false;
        std::string problem;
        if (!arrayjson::ParseCreatedSnapshotId(impl.parser, impl.body, id, problem)) {
            impl.BadBody("CreateSnapshot", "POST", kSnapshotsPath, problem);
            return false;
        }
        SNAP_LOG(1, "Created snapshot [%s] of [%s], id %d", name.c_str(), path.c_str(), id);
        return true;
    });
}

bool ManageIsilon::DeleteSnapshot(const std::string&, const std::string& name, int) {
    Impl& impl = *m_impl;
    return Guarded(impl, "DeleteSnapshot", [&] {
        if (!impl.RequireConnection("DeleteSnapshot")) return false;
        std::string code, message;
        if (!arrayrules::CheckSnapshotName("DeleteSnapshot", name, code, message)) {
            impl.SetFailure(code, message);
            return false;
        }
        std::string path = std::string(kSnapshotsPath) + "/" + impl.Escape(name);
        if (!impl.Send("DeleteSnapshot", "DELETE", path, nullptr, 1)) return false;
        SNAP_LOG(1, "Deleted snapshot [%s]", name.c_str());
        return true;
    });
}

CRwError ManageIsilon::GetVersionInfo(std::vector<_IsilonVersionInfo>& versions) {
    Impl& impl = *m_impl;
    bool ok = Guarded(impl, "GetVersionInfo", [&] {
        if (!impl.RequireConnection("GetVersionInfo")) return false;
        if (!impl.Send("GetVersionInfo", "GET", kClusterConfigPath)) return false;
        _IsilonVersionInfo version;
        std::string problem;
        if (!arrayjson::ParseVersion(impl.parser, impl.body, version, problem)) {
            impl.BadBody("GetVersionInfo", "GET", kClusterConfigPath, problem);
            return false;
        }
        versions.clear();
        versions.push_back(std::move(version));
        return true;
    });
    return ok ? CRwError::Success() : impl.Failed(FX_HERE);
}

CRwError ManageIsilon::GetChangeListJobInfo(_ChangeListCreateJobInfo& info) {
    Impl& impl = *m_impl;
    bool ok = Guarded(impl, "GetChangeListJobInfo", [&] {
        if (!impl.RequireConnection("GetChangeListJobInfo")) return false;
        if (!impl.Send("GetChangeListJobInfo", "GET", kJobTypePath)) return false;
        std::string problem;
        if (!arrayjson::ParseChangelistJobType(impl.parser, impl.body, info, problem)) {
            impl.BadBody("GetChangeListJobInfo", "GET", kJobTypePath, problem);
            return false;
        }
        return true;
    });
    return ok ? CRwError::Success() : impl.Failed(FX_HERE);
}

CRwError ManageIsilon::SetChangeListJobInfo(_ChangeListCreateJobInfo& info) {
    Impl& impl = *m_impl;
    bool ok = Guarded(impl, "SetChangeListJobInfo", [&] {
        if (!impl.RequireConnection("SetChangeListJobInfo")) return false;
        std::string request = nlohmann::json{{"enabled", info.enabled}}.dump();
        return impl.Send("SetChangeListJobInfo", "PUT", kJobTypePath, &request, 1);
    });
    return ok ? CRwError::Success() : impl.Failed(FX_HERE);
}

CRwError ManageIsilon::CreateSnapshotChangeList(uint64_t& baseId, uint64_t& incrId,
                                                bool retainRepState) {
    Impl& impl = *m_impl;
    bool ok = Guarded(impl, "CreateSnapshotChangeList", [&] {
        if (!impl.RequireConnection("CreateSnapshotChangeList")) return false;
        nlohmann::json params = {{"older_snapid", baseId},
                                 {"newer_snapid", incrId},
                                 {"retain_repstate", retainRepState}};
        std::string request = nlohmann::json{
            {"type", "ChangelistCreate"},
            {"changelistcreate_params",
             params}}.dump();
        if (!impl.Send("CreateSnapshotChangeList", "POST", kJobsPath, &request, 1)) return false;
        uint64_t jobId = 0;
        std::string problem;
        if (!arrayjson::ParseJobId(impl.parser, impl.body, jobId, problem)) {
            impl.BadBody("CreateSnapshotChangeList", "POST", kJobsPath, problem);
            return false;
        }
        impl.jobStarted = true;
        impl.jobId = jobId;
        impl.jobBase = baseId;
        impl.jobIncr = incrId;
        SNAP_LOG(1, "Changelist job [%llu] started for snapshots [%llu] and [%llu]",
                 (unsigned long long)jobId, (unsigned long long)baseId, (unsigned long long)incrId);
        return true;
    });
    return ok ? CRwError::Success() : impl.Failed(FX_HERE);
}

CRwError ManageIsilon::GetSnapshotChangeList(uint64_t& baseId, uint64_t& incrId,
                                             _IsilonChangeListInfo& page) {
    Impl& impl = *m_impl;
    static const char* const kOperation = "GetSnapshotChangeList";
    const std::string sentToken = page.resumeToken;
    bool ok = Guarded(impl, kOperation, [&] {
        if (!impl.RequireConnection(kOperation)) return false;
        std::string lins =
            kChangelistsPath + std::to_string(baseId) + "_" + std::to_string(incrId) + "/lins";
        if (page.resumeToken.empty()) {
            if (impl.jobStarted && impl.jobBase == baseId && impl.jobIncr == incrId &&
                !impl.CheckJob(kOperation))
                return false;
            if (!impl.LoadChangelistRoot(kOperation, baseId, incrId)) return false;
            impl.StartChangelistTrail(baseId, incrId);
            lins += "?limit=" + std::to_string(kPageLimit);
        } else {
            if ((!impl.haveRoot || impl.rootBase != baseId || impl.rootIncr != incrId) &&
                !impl.LoadChangelistRoot(kOperation, baseId, incrId))
                return false;
            if (!impl.trailActive || impl.trailBase != baseId || impl.trailIncr != incrId)
                impl.StartChangelistTrail(baseId, incrId);
            lins += "?resume=" + impl.Escape(page.resumeToken);
        }
        if (!impl.Send(kOperation, "GET", lins, nullptr, 3, kChangelistPageBytes)) return false;
        std::string sent = page.resumeToken, problem;
        if (!arrayjson::ParseChangelistPage(impl.parser, impl.body, impl.rootPath, page, problem)) {
            impl.BadBody(kOperation, "GET", lins, problem);
            return false;
        }
        // The caller asks again while a token comes back: a token that leads
        // back to a page already read would keep it asking for ever.
        if (!impl.changelistTrail.Follow(sent, page.resumeToken, problem)) {
            impl.BadBody(kOperation, "GET", lins, problem);
            return false;
        }
        return true;
    });
    if (ok) return CRwError::Success();
    arrayrules::LeaveFailedPage(page, sentToken);
    return impl.Failed(FX_HERE);
}
