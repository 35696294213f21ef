#include "tools/snapscan/progress.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace snapscan {

namespace {

// A terminal line is rewritten this often.
constexpr std::chrono::milliseconds kTerminalInterval(500);

// The number after `marker` in text, or -1.
long long NumberAfter(const std::string& text, const std::string& marker) {
    const size_t at = text.find(marker);
    if (at == std::string::npos) return -1;
    const char* start = text.c_str() + at + marker.size();
    char* end = nullptr;
    const long long value = std::strtoll(start, &end, 10);
    return end == start ? -1 : value;
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f s", seconds);
    return text;
}

}  // namespace

ProgressReporter::ProgressReporter(Output& out, Mode mode, bool quiet,
                                   std::chrono::milliseconds interval)
    : m_out(out),
      m_enabled(mode == Mode::kAlways || (mode == Mode::kAuto && !quiet)),
      m_terminal(!out.Json() && ::isatty(STDERR_FILENO) == 1),
      m_interval(m_terminal ? kTerminalInterval : interval) {
    m_phaseStart = m_lastReport = std::chrono::steady_clock::now();
    if (m_enabled) m_thread = std::thread([this] { Run(); });
}

ProgressReporter::~ProgressReporter() { Stop(); }

void ProgressReporter::Phase(const std::string& phase, const std::string& share) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_phase = phase;
    m_share = share;
    m_phaseStart = m_lastReport = std::chrono::steady_clock::now();
    m_items.store(0);
    m_entries.store(0);
    m_attempt.store(0);
}

void ProgressReporter::OnLogLine(const std::string& text) {
    // The plug-in's own words for these moments.
    const long long attempt =
        NumberAfter(text, "Wait for file server to create the ChangeList and recheck. Attempt[");
    if (attempt >= 0) m_attempt.store(static_cast<int>(attempt));
    if (text.rfind("Number of items received by ChangeList", 0) == 0 ||
        text.rfind("Total number of items received by ChangeList", 0) == 0) {
        const long long entries = NumberAfter(text, "]: ");
        if (entries >= 0) m_entries.store(static_cast<uint64_t>(entries));
    }
}

void ProgressReporter::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) return;
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
    if (m_lineShown) m_out.Progress("\r\033[K", false);
}

void ProgressReporter::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto interval = m_interval;
    while (!m_stopping) {
        m_wake.wait_for(lock, interval);
        if (m_stopping) break;
        if (m_phase.empty() || std::chrono::steady_clock::now() - m_lastReport < interval) continue;
        m_lastReport = std::chrono::steady_clock::now();
        Report(false);
    }
}

// Called with m_mutex held.
void ProgressReporter::Report(bool) {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_phaseStart).count();
    const uint64_t items = m_items.load();
    const uint64_t entries = m_entries.load();
    const int attempt = m_attempt.load();
    std::string text = m_phase + (m_share.empty() ? "" : " " + m_share) + ": " + Seconds(elapsed);
    if (attempt > 0) text += ", waiting for the array, attempt " + std::to_string(attempt);
    if (entries > 0) text += ", " + std::to_string(entries) + " changelist entries loaded";
    if (items > 0) {
        text += ", " + std::to_string(items) + " items";
        if (elapsed > 0)
            text += " (" + std::to_string(static_cast<uint64_t>(items / elapsed)) + "/s)";
        if (entries > items && elapsed > 0) {
            const double eta = (entries - items) / (items / elapsed);
            text += ", about " + Seconds(eta) + " left of " + std::to_string(entries);
        }
    }
    if (m_out.Json()) {
        nlohmann::json record = {{"event", "progress"}, {"phase", m_phase}, {"elapsed", elapsed}};
        if (!m_share.empty()) record["share"] = m_share;
        if (attempt > 0) record["attempt"] = attempt;
        if (entries > 0) record["entries"] = entries;
        if (items > 0) record["items"] = items;
        m_out.Emit(record, "");
    } else if (m_terminal) {
        m_out.Progress("\r\033[K" + EscapeControl(text), false);
        m_lineShown = true;
    } else {
        m_out.Progress("snapscan: " + EscapeControl(text));
    }
}

}  // namespace snapscan
