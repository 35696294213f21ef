#include "tools/arraysim/server.h"

#include <signal.h>

#include <algorithm>
#include <fstream>

#include "tools/arraysim/connection_drop.h"
#include "tools/arraysim/json_bytes.h"
#include "tools/arraysim/lins_edit.h"
#include "tools/arraysim/server_impl.h"

namespace arraysim {

namespace {

constexpr size_t kRequestLogMax = 10000;
constexpr size_t kThreads = 16;

bool IsLoopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

std::string BasicAuthHint() { return "Basic realm=\"papi\""; }

void SendUnauthorized(httplib::Response& res, const std::string& why) {
    SendError(res, ApiError{401, "", "authorization required"});
    // Only for people reading traces: the array itself says nothing more.
    res.set_header("X-Arraysim-Auth", why);
    res.set_header("WWW-Authenticate", BasicAuthHint());
}

std::string SessionCookie(const std::string& name, const std::string& value, bool tls,
                          bool httpOnly) {
    return name + "=" + value + "; path=/" + (httpOnly ? "; HttpOnly" : "") +
           (tls ? "; Secure" : "");
}

void Malform(httplib::Response& res) {
    std::string body = res.body.substr(0, res.body.size() / 2) + "\x01{\"broken";
    res.set_content(body, "application/json");
}

// Only a changelist page is edited; another answer the rule matches is served as it is.
void EditEntries(httplib::Response& res, const FaultRule& rule) {
    std::string page = res.body;
    if (rule.action == FaultAction::kDropEntry) {
        if (DropLinsEntry(page, rule.entryPath) == 0) return;
    } else {
        ChangeEntry entry;
        entry.id = rule.entryId;
        entry.path = rule.entryPath;
        entry.type = rule.entryType;
        if (!AddLinsEntry(page, entry)) return;
    }
    res.set_content(page, "application/json");
}

void Truncate(httplib::Response& res) {
    if (res.body.empty()) return;
    auto body = std::make_shared<std::string>(std::move(res.body));
    res.body.clear();
    std::string type = res.get_header_value("Content-Type");
    res.headers.erase("Content-Type");
    res.set_content_provider(body->size(), type.empty() ? "application/json" : type,
                             [body](size_t offset, size_t length, httplib::DataSink& sink) {
                                 size_t half = body->size() / 2;
                                 if (offset >= half)
                                     return false;  // the peer sees the connection close
                                 sink.write(body->data() + offset, std::min(length, half - offset));
                                 return true;
                             });
}

// The answer's body, chunkBytes at a time with a pause between: an array that keeps the
// connection busy without ever finishing in reasonable time. Stops when the peer goes away.
void Trickle(httplib::Response& res, size_t chunkBytes, int64_t intervalMs) {
    auto body = std::make_shared<std::string>(std::move(res.body));
    res.body.clear();
    std::string type = res.get_header_value("Content-Type");
    res.headers.erase("Content-Type");
    res.set_content_provider(
        body->size(), type.empty() ? "application/json" : type,
        [body, chunkBytes, intervalMs](size_t offset, size_t length, httplib::DataSink& sink) {
            if (offset >= body->size()) return false;
            if (offset != 0) std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
            return sink.write(body->data() + offset,
                              std::min({length, chunkBytes, body->size() - offset}));
        });
}

// A 200 whose JSON body never ends: an object with one string that grows for ever.
void Endless(httplib::Response& res) {
    res.status = 200;
    res.body.clear();
    res.headers.erase("Content-Type");
    auto started = std::make_shared<bool>(false);
    res.set_chunked_content_provider(
        "application/json", [started](size_t, httplib::DataSink& sink) {
            static const std::string kStart = "{\"lins\":[],\"snapshots\":[],\"resume\":\"";
            static const std::string kFill(64 * 1024, 'a');
            if (!*started) {
                *started = true;
                return sink.write(kStart.data(), kStart.size());
            }
            return sink.write(kFill.data(), kFill.size());
        });
}

// The request without its resume argument: a forged token of a resume_cycle rule leads back to
// the first page.
bool ResumesFromForgedToken(const FaultRule& rule, const httplib::Request& req) {
    if (!req.has_param("resume")) return false;
    const std::string token = req.get_param_value("resume");
    return std::find(rule.tokens.begin(), rule.tokens.end(), token) != rule.tokens.end();
}

void SetResume(httplib::Response& res, const std::string& token) {
    if (res.status != 200) return;
    nlohmann::json body = nlohmann::json::parse(res.body, nullptr, false);
    if (!body.is_object()) return;
    body["resume"] = token;
    res.set_content(DumpBytes(body), "application/json");
}

}  // namespace

void SendJson(httplib::Response& res, int status, const nlohmann::json& body) {
    res.status = status;
    res.set_content(DumpBytes(body), "application/json");
}

void SendError(httplib::Response& res, const ApiError& error) {
    res.status = error.status;
    res.set_content(ErrorBody(error), "application/json");
}

bool ParseJsonBody(const httplib::Request& req, httplib::Response& res, nlohmann::json* body) {
    *body = nlohmann::json::parse(req.body, nullptr, false);
    if (body->is_discarded() || !body->is_object()) {
        SendError(res, ApiError::BadRequest("Request body is not a JSON object"));
        return false;
    }
    return true;
}

ArraySim::Impl::Impl(SimOptions o)
    : options(std::move(o)),
      snapshots(options),
      sessions(options.sessionIdleSec, options.sessionMaxSec) {
    changelistType.enabled = options.changelistCreateEnabled;
    jobDelayMs = options.jobDelayMs;
    changelistDelayMs = options.changelistDelayMs;
    failNextJobs = options.failNextJobs;
}

void ArraySim::Impl::Api(const std::string& method, const std::string& pattern,
                         const Handler& handler) {
    auto wrapped = [this, handler](const httplib::Request& req, httplib::Response& res) {
        Serve(handler, req, res);
    };
    if (method == "GET")
        server->Get(pattern, wrapped);
    else if (method == "POST")
        server->Post(pattern, wrapped);
    else if (method == "PUT")
        server->Put(pattern, wrapped);
    else if (method == "DELETE")
        server->Delete(pattern, wrapped);
}

void ArraySim::Impl::Serve(const Handler& handler, const httplib::Request& req,
                           httplib::Response& res) {
    std::optional<FaultRule> fault = faults.Match(req.method, req.path);
    if (fault && fault->delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(fault->delayMs));
    std::string auth = "none";
    auto record = [&] {  // caller holds mu
        if (requestLog.size() >= kRequestLogMax) requestLog.erase(requestLog.begin());
        nlohmann::json entry = {
            {"method", req.method}, {"path", req.path}, {"auth", auth}, {"status", res.status}};
        if (fault) entry["fault"] = fault->id;
        requestLog.push_back(std::move(entry));
    };
    auto log = [&] {
        std::lock_guard<std::mutex> lock(mu);
        record();
    };
    if (fault) {
        switch (fault->action) {
            case FaultAction::kError:
                SendError(res, ApiError{fault->status, fault->code, fault->message});
                return log();
            case FaultAction::kHtml:
                res.status = fault->status;
                res.set_content(HtmlErrorPage(fault->status, req.path), "text/html");
                return log();
            case FaultAction::kDrop:
                ShutdownConnection(port, req.remote_addr, req.remote_port);
                res.status = 500;
                res.set_header("Connection", "close");
                return log();
            case FaultAction::kEndless:
                Endless(res);
                return log();
            case FaultAction::kExpireSessions: {
                std::lock_guard<std::mutex> lock(mu);
                sessions.ExpireAll();
                break;
            }
            default:
                break;
        }
    }

    std::lock_guard<std::mutex> lock(mu);
    std::string sessionId;
    bool isLogin = req.path == "/session/1/session" && req.method == "POST";
    if (!isLogin) {
        std::string why;
        if (req.has_header("Authorization")) {
            std::string user, password;
            if (DecodeBasicAuth(req.get_header_value("Authorization"), user, password) &&
                user == options.user && password == options.password) {
                auth = "basic";
            } else {
                why = "bad basic credentials";
            }
        } else {
            sessionId = CookieValue(req.get_header_value("Cookie"), "isisessid");
            Session* s = sessionId.empty() ? nullptr : sessions.Use(sessionId);
            if (!s) {
                why = sessionId.empty() ? "no credentials" : "unknown or expired session";
            } else if (!req.has_header("X-CSRF-Token") ||
                       req.get_header_value("X-CSRF-Token") != s->csrf) {
                why = "CSRF token missing or wrong";
            } else if (!req.has_header("Referer") && !req.has_header("Origin")) {
                why = "Referer or Origin missing";
            } else {
                auth = "session";
            }
        }
        if (auth == "none") {
            SendUnauthorized(res, why);
            return record();
        }
    }

    if (fault && fault->action == FaultAction::kResumeCycle &&
        ResumesFromForgedToken(*fault, req)) {
        httplib::Request first = req;
        first.params.erase("resume");
        handler(first, res);
    } else {
        handler(req, res);
    }

    if (fault) {
        if (fault->action == FaultAction::kTrickle)
            Trickle(res, fault->chunkBytes, fault->intervalMs);
        if (fault->action == FaultAction::kResumeCycle)
            SetResume(res, fault->tokens[(fault->fired - 1) % fault->tokens.size()]);
        if (fault->action == FaultAction::kMalformed) Malform(res);
        if (fault->action == FaultAction::kTruncate) Truncate(res);
        if (fault->action == FaultAction::kBody) res.set_content(fault->body, "application/json");
        if ((fault->action == FaultAction::kDropEntry || fault->action == FaultAction::kAddEntry) &&
            res.status == 200)
            EditEntries(res, *fault);
        if (fault->action == FaultAction::kRotateSession && auth == "session") {
            std::string fresh = sessions.Rotate(sessionId);
            res.set_header("Set-Cookie", SessionCookie("isisessid", fresh, tls, true));
        }
    }
    record();
}

ArraySim::ArraySim(SimOptions options) : m_impl(std::make_unique<Impl>(std::move(options))) {}

ArraySim::~ArraySim() { Stop(); }

bool ArraySim::Start(std::string& error) {
    Impl& im = *m_impl;
    const SimOptions& o = im.options;
    if (!IsLoopback(o.bind)) {
        error = "refusing to listen on " + o.bind + ": loopback only";
        return false;
    }
    if (o.root.empty() && o.synthetic.entries == 0) {
        error = "a root directory is needed unless the changelist is synthetic";
        return false;
    }
    if (o.certFile.empty() != o.keyFile.empty()) {
        error = "TLS needs both a certificate and a key";
        return false;
    }
    if (o.pageSize == 0) {
        error = "page size must be positive";
        return false;
    }
    if (!o.faultsFile.empty()) {
        std::ifstream in(o.faultsFile);
        nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
        if (!in || j.is_discarded() || !j.is_object()) {
            error = "cannot read fault file " + o.faultsFile + " as a JSON object";
            return false;
        }
        std::vector<int> ids;
        if (j.contains("rules") && !im.faults.Add(j["rules"], ids, error)) return false;
        if (j.contains("control") && !im.ApplyControl(j["control"], error)) return false;
    }
    if (o.synthetic.entries > 0) {
        im.snapshots.AddSynthetic("synthetic_base", o.synthetic.path);
        im.snapshots.AddSynthetic("synthetic_new", o.synthetic.path);
    }

    // A peer that goes away mid-answer must not take the process with it (TLS writes use write()).
    signal(SIGPIPE, SIG_IGN);
    if (!o.certFile.empty()) {
        auto ssl = std::make_unique<httplib::SSLServer>(o.certFile.c_str(), o.keyFile.c_str());
        if (!ssl->is_valid()) {
            error = "cannot load TLS certificate " + o.certFile + " or key " + o.keyFile;
            return false;
        }
        im.server = std::move(ssl);
        im.tls = true;
    } else {
        im.server = std::make_unique<httplib::Server>();
    }
    httplib::Server& srv = *im.server;
    srv.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    // Headers and body go out in separate writes: without this every kept-alive answer waits
    // for the peer's delayed ACK.
    srv.set_tcp_nodelay(true);
    srv.set_keep_alive_max_count(100000);
    srv.set_keep_alive_timeout(o.keepAliveSec);
    srv.set_payload_max_length(16 << 20);
    srv.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request& req, httplib::Response& res) {
            if (!res.body.empty() || res.content_provider_)
                return httplib::Server::HandlerResponse::Unhandled;
            res.set_content(HtmlErrorPage(res.status, req.path), "text/html");
            return httplib::Server::HandlerResponse::Handled;
        }));
    srv.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, const std::exception_ptr& ep) {
            std::string what = "internal error";
            try {
                if (ep) std::rethrow_exception(ep);
            } catch (const std::exception& e) {
                what = e.what();
            } catch (...) {
            }
            SendError(res, ApiError{500, "AEC_SYSTEM_INTERNAL_ERROR", what});
        });
    im.RegisterControlRoutes();
    im.RegisterApiRoutes();

    im.port = o.port == 0 ? srv.bind_to_any_port(o.bind)
                          : (srv.bind_to_port(o.bind, o.port) ? o.port : -1);
    if (im.port <= 0) {
        error = "cannot listen on " + o.bind + ":" + std::to_string(o.port);
        im.server.reset();
        return false;
    }
    im.thread = std::thread([&srv] { srv.listen_after_bind(); });
    return true;
}

void ArraySim::Stop() {
    Impl& im = *m_impl;
    if (!im.server) return;
    // stop() is a no-op until the accept loop runs; a Stop right after Start must not miss it.
    for (int i = 0; i < 5000 && !im.server->is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    im.server->stop();
    ShutdownAllConnections(im.port);
    if (im.thread.joinable()) im.thread.join();
    im.server.reset();
}

int ArraySim::Port() const { return m_impl->port; }
bool ArraySim::Tls() const { return m_impl->tls; }

std::string ArraySim::Url() const {
    const std::string& bind = m_impl->options.bind;
    std::string host = bind.find(':') != std::string::npos ? "[" + bind + "]" : bind;
    return std::string(Tls() ? "https" : "http") + "://" + host + ":" + std::to_string(Port());
}

bool ArraySim::AddFaults(const nlohmann::json& rules, std::string& error) {
    std::vector<int> ids;
    return m_impl->faults.Add(rules, ids, error);
}

bool ArraySim::Control(const nlohmann::json& control, std::string& error) {
    std::lock_guard<std::mutex> lock(m_impl->mu);
    return m_impl->ApplyControl(control, error);
}

}  // namespace arraysim
