#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "tools/snapscan/output.h"

namespace snapscan {

// Progress of a long job while the plug-in works: the phase, how long it has
// run, and what the plug-in said of it (changelist attempts, entries loaded) or
// what the CLI counted (items delivered, of the announced total). On a terminal
// one line on stderr, rewritten in place; otherwise a line every few seconds;
// in JSON mode a {"event":"progress"} record on stdout every few seconds.
class ProgressReporter {
public:
    enum class Mode { kAuto, kAlways, kNever };

    // `quiet`: progress only with kAlways. `interval`: how often a line or a
    // record comes when not on a terminal.
    ProgressReporter(Output& out, Mode mode, bool quiet,
                     std::chrono::milliseconds interval = std::chrono::seconds(5));
    ~ProgressReporter();
    ProgressReporter(const ProgressReporter&) = delete;
    ProgressReporter& operator=(const ProgressReporter&) = delete;

    // A new phase ("taking snapshots", "changelist", "delivering", "cleanup") of
    // `share` ("" for the whole job); counters start again.
    void Phase(const std::string& phase, const std::string& share = "");
    // Items delivered so far in the current phase.
    void Items(uint64_t count) { m_items.store(count, std::memory_order_relaxed); }
    // A line the plug-in logged: it tells the changelist attempts and entries.
    void OnLogLine(const std::string& text);
    // The changelist entries the plug-in said it loaded in the current phase.
    uint64_t Entries() const { return m_entries.load(); }
    // Ends the progress display (the terminal line is cleared).
    void Stop();

private:
    void Run();
    void Report(bool final);

    Output& m_out;
    bool m_enabled;
    bool m_terminal;
    std::chrono::milliseconds m_interval;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::string m_phase;
    std::string m_share;
    std::chrono::steady_clock::time_point m_phaseStart;
    std::chrono::steady_clock::time_point m_lastReport;
    std::atomic<uint64_t> m_items{0};
    std::atomic<uint64_t> m_entries{0};
    std::atomic<int> m_attempt{0};
    bool m_lineShown = false;
    std::thread m_thread;
};

}  // namespace snapscan
