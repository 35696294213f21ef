// Paging a large synthetic changelist from the emulator through the array
// client (HTTP, JSON parsing, records with relative paths) against a baseline
// that fetches the same pages with plain libcurl and parses nothing. Both run
// in the same process against the same emulator; the ratio is printed last.
//
//   array_client_bench [entries=1000000] [rounds=3]

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "tests/support/arraysim_process.h"
#include "tests/support/bench_support.h"
#include "host/LogWriter.h"
#include "host/ManageIsilon.h"
#include "platform/manage_isilon_json.h"

namespace {

constexpr const char* kUser = "bench";
constexpr const char* kPassword = "bench-password";

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

size_t Collect(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

size_t CsrfHeader(char* data, size_t size, size_t count, void* user) {
    std::string line(data, size * count);
    const char* prefix = "Set-Cookie: isicsrf=";
    if (line.rfind(prefix, 0) == 0) {
        std::string value = line.substr(std::strlen(prefix));
        *static_cast<std::string*>(user) = value.substr(0, value.find_first_of(";\r\n"));
    }
    return size * count;
}

// The resume token of a page, found by text search from the end: the baseline
// must follow the pages but parses nothing.
std::string ResumeOf(const std::string& body) {
    size_t at = body.rfind("\"resume\":\"");
    if (at == std::string::npos) return std::string();
    at += 10;
    return body.substr(at, body.find('"', at) - at);
}

// Plain libcurl over one kept-alive connection: login, then every page.
bool Baseline(const std::string& url, const std::string& pair, size_t& pages, size_t& bytes,
              std::string& firstPage) {
    CURL* curl = curl_easy_init();
    std::string body, csrf;
    curl_easy_setopt(curl, CURLOPT_COOKIEFILE, "");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &CsrfHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &csrf);
    std::string login = std::string("{\"username\":\"") + kUser + "\",\"password\":\"" + kPassword +
                        "\",\"services\":[\"platform\"]}";
    std::string target = url + "/session/1/session";
    curl_easy_setopt(curl, CURLOPT_URL, target.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, login.c_str());
    long status = 0;
    bool ok = curl_easy_perform(curl) == CURLE_OK;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    ok = ok && status == 201;
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, ("X-CSRF-Token: " + csrf).c_str());
    headers = curl_slist_append(headers, ("Referer: " + url + "/").c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    std::string page = url + "/platform/1/snapshot/changelists/" + pair + "/lins?limit=1000";
    pages = bytes = 0;
    while (ok) {
        body.clear();
        curl_easy_setopt(curl, CURLOPT_URL, page.c_str());
        ok = curl_easy_perform(curl) == CURLE_OK;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        ok = ok && status == 200;
        if (pages++ == 0) firstPage = body;
        bytes += body.size();
        std::string resume = ResumeOf(body);
        if (resume.empty()) break;
        char* escaped = curl_easy_escape(curl, resume.data(), static_cast<int>(resume.size()));
        page = url + "/platform/1/snapshot/changelists/" + pair + "/lins?resume=" + escaped;
        curl_free(escaped);
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return ok;
}

// The array client, from the first request for the changelist to its last page.
bool Client(ManageIsilon& array, uint64_t base, uint64_t incr, size_t& entries, size_t& pages) {
    _IsilonChangeListInfo page;
    entries = pages = 0;
    do {
        if (array.GetSnapshotChangeList(base, incr, page).IsError()) return false;
        entries += page.items.size();
        ++pages;
    } while (!page.resumeToken.empty());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned long entriesWanted = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;

    char pattern[] = "/tmp/snapscan-array-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string root = pattern;
    std::filesystem::create_directories(root + "/config");
    setenv("SNAPSCAN_CONFIG_DIR", (root + "/config").c_str(), 1);
    setenv("SNAPSCAN_LOG_DIR", (root + "/log").c_str(), 1);
    g_ptrLogWriter = CreateFileLogWriter();

    ArraySimProcess sim;
    std::string error;
    if (!sim.Start(ARRAYSIM_PATH, root,
                   {"--synthetic", std::to_string(entriesWanted), "--user", kUser, "--password",
                    kPassword},
                   error)) {
        std::fprintf(stderr, "arraysim: %s\n", error.c_str());
        return 1;
    }
    {
        std::ofstream credentials(root + "/config/credentials.ini");
        credentials << "[client 1]\nfileServer = " << sim.Url() << "\nuser = " << kUser
                    << "\npassword = " << kPassword << "\n";
    }
    chmod((root + "/config/credentials.ini").c_str(), 0600);

    ManageIsilon array;
    array.SetFileServer(sim.Url());
    array.SetUser(kUser);
    array.SetPasswd(kPassword);
    std::vector<_IsilonSnapInfo> snapshots;
    if (!array.OpenConnection() || !array.GetSnapshotList(snapshots, "", "") ||
        snapshots.size() < 2) {
        std::string code, message;
        array.GetLastError(code, message);
        std::fprintf(stderr, "array client: %s %s\n", code.c_str(), message.c_str());
        return 1;
    }
    uint64_t base = static_cast<uint64_t>(snapshots[0].id),
             incr = static_cast<uint64_t>(snapshots[1].id);
    if (array.CreateSnapshotChangeList(base, incr, true).IsError()) return 1;
    const std::string pair = std::to_string(base) + "_" + std::to_string(incr);

    // Warm-up: the emulator builds its synthetic pages lazily.
    size_t entries = 0, pages = 0, bytes = 0, basePages = 0;
    std::string firstPage;
    if (!Client(array, base, incr, entries, pages)) return 1;

    double bestClient = 1e100, bestBaseline = 1e100;
    bench::Best baseCpu, baseSimCpu, clientCpu, clientSimCpu;
    const std::string simPid = bench::FirstChildPid();
    for (int round = 0; round < rounds; ++round) {
        bench::CpuSpent baseSpent, clientSpent;
        Clock::time_point start = Clock::now();
        const double fetched = bench::Measured(
            simPid,
            [&] { return Baseline(sim.Url(), pair, basePages, bytes, firstPage) ? 1.0 : 0; },
            baseSpent);
        if (fetched == 0) {
            std::fprintf(stderr, "baseline fetch failed\n");
            return 1;
        }
        bestBaseline = std::min(bestBaseline, Seconds(start));
        start = Clock::now();
        const double listed = bench::Measured(
            simPid, [&] { return Client(array, base, incr, entries, pages) ? 1.0 : 0; },
            clientSpent);
        if (listed == 0) {
            std::string code, message;
            array.GetLastError(code, message);
            std::fprintf(stderr, "array client: %s %s\n", code.c_str(), message.c_str());
            return 1;
        }
        bestClient = std::min(bestClient, Seconds(start));
        using bench::MicrosPerEntry;
        std::printf(
            "round %d: CPU us/entry: baseline %.2f + emulator %.2f, client %.2f + emulator %.2f "
            "(load %.2f)\n",
            round + 1, MicrosPerEntry(baseSpent.self, entries),
            MicrosPerEntry(baseSpent.sim, entries), MicrosPerEntry(clientSpent.self, entries),
            MicrosPerEntry(clientSpent.sim, entries), bench::Load());
        baseCpu.Lowest(MicrosPerEntry(baseSpent.self, entries));
        baseSimCpu.Lowest(MicrosPerEntry(baseSpent.sim, entries));
        clientCpu.Lowest(MicrosPerEntry(clientSpent.self, entries));
        clientSimCpu.Lowest(MicrosPerEntry(clientSpent.sim, entries));
    }
    sim.Stop();
    std::filesystem::remove_all(root);

    // The client's own share of the work: reading one page into the records,
    // with no network and no emulator.
    simdjson::ondemand::parser parser;
    _IsilonChangeListInfo parsed;
    std::string problem;
    const int kParseRounds = 200;
    Clock::time_point parseStart = Clock::now();
    for (int i = 0; i < kParseRounds; ++i) {
        std::string body = firstPage;
        if (!arrayjson::ParseChangelistPage(parser, body, "/ifs/data/synthetic", parsed, problem)) {
            std::fprintf(stderr, "parse: %s\n", problem.c_str());
            return 1;
        }
    }
    const double parseRate = parsed.items.size() * kParseRounds / Seconds(parseStart);

    const double clientRate = entries / bestClient, baselineRate = entries / bestBaseline;
    std::printf("changelist: %zu entries in %zu pages (%.1f MB of JSON), best of %d rounds\n",
                entries, pages, bytes / 1e6, rounds);
    std::printf("baseline (plain libcurl, no parsing): %.0f entries/s (%.2f s)\n", baselineRate,
                bestBaseline);
    std::printf("array client (GetSnapshotChangeList): %.0f entries/s (%.2f s)\n", clientRate,
                bestClient);
    std::printf("page reading alone (one page, in memory, copy included): %.0f entries/s\n",
                parseRate);
    std::printf(
        "CPU us/entry (lowest): baseline %.2f + emulator %.2f, client %.2f + emulator %.2f\n",
        baseCpu.value, baseSimCpu.value, clientCpu.value, clientSimCpu.value);
    std::printf("ratio client/baseline: %.2f (goal >= 0.5: %s)\n", clientRate / baselineRate,
                bench::Verdict(clientRate / baselineRate >= 0.5));
    std::printf("load average at end: %.2f\n", bench::Load());
    return basePages == pages ? 0 : 1;
}
