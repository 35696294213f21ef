// snapscan: drives the snapshot-client plug-in through a backup job the way the
// backup agent does. Parses the command line and hands over to job_runner.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <set>

#include <CLI/CLI.hpp>

#include "host/LogWriter.h"
#include "host/NASSnapUtil.h"
#include "snapscan/Version.h"
#include "host/TZPlatformInfo.h"
#include "tools/snapscan/audit_command.h"
#include "tools/snapscan/config_check.h"
#include "tools/snapscan/job_runner.h"
#include "tools/snapscan/job_state.h"
#include "tools/snapscan/output.h"
#include "tools/snapscan/plugin_loader.h"
#include "tools/snapscan/progress.h"
#include "tools/snapscan/status.h"
#include "tools/snapscan/snapshot_listing.h"

namespace {

using namespace snapscan;

const std::set<std::string> kCommands = {"job",           "verify", "snapshots", "cleanup",
                                         "delete-failed", "check",  "status",    "audit"};

struct Common {
    std::string plugin;
    std::string stateDir;
    bool json = false;
    bool quiet = false;
    bool verbose = false;
    std::string progress = "auto";
    double progressInterval = 5;
    std::string clientText;
    std::string subclientText;
    uint32_t clientId = 0;
    uint32_t subclientId = 0;
};

void AddIdentity(CLI::App& command, Common& common, bool subclientRequired = true) {
    command.add_option("--client-id", common.clientText, "the job's client id (decimal)")
        ->required();
    auto* subclient = command.add_option("--subclient-id", common.subclientText,
                                         "the job's subclient id (decimal)");
    if (subclientRequired) subclient->required();
}

// A plain decimal number in [minimum, maximum]: digits only, no sign, no
// leading zero. "010" is refused rather than read as 10 or, as C would, 8:
// either reading could name another client's snapshots.
bool ParseDecimal(const std::string& text, uint64_t minimum, uint64_t maximum, uint64_t& value,
                  std::string& problem) {
    const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || (text.size() > 1 && text[0] == '0')) {
        problem = "[" + text + "] is not a plain decimal number";
        return false;
    }
    value = 0;
    for (const char c : text) {
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (maximum - digit) / 10) {
            problem = text + " is above " + std::to_string(maximum);
            return false;
        }
        value = value * 10 + digit;
    }
    if (value < minimum) {
        problem = text + " is below " + std::to_string(minimum);
        return false;
    }
    return true;
}

// The first word that is not an option or an option's value: the command.
std::string CommandWord(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--plugin" || word == "--state-dir" || word == "--progress" ||
            word == "--progress-interval") {
            ++i;
            continue;
        }
        if (word.empty() || word[0] == '-') continue;
        return word;
    }
    return std::string();
}

// Loads the plug-in; on failure prints why and returns null.
GetSnapClientFn LoadPlugin(PluginLibrary& library, const Common& common, Output& out) {
    std::string error;
    const std::string path = common.plugin.empty() ? DefaultPluginPath() : common.plugin;
    if (!library.Load(path, error)) {
        out.Error("loading the plug-in", error);
        return nullptr;
    }
    return library.Factory();
}

// The job id of the content's last job from the state directory: the base job
// (last job whose changes were delivered) or the last job started.
std::optional<int64_t> StateJobId(const Common& common, bool lastStarted, Output& out) {
    const JobStateStore store(common.stateDir);
    ContentState state;
    std::string error;
    if (!store.Load(common.clientId, common.subclientId, state, error)) {
        out.Error("reading the job state", error);
        return std::nullopt;
    }
    const int64_t id = lastStarted ? state.lastIssuedJobId : state.baseJobId;
    if (id == 0) {
        out.Error("reading the job state",
                  "no job of client " + std::to_string(common.clientId) + " subclient " +
                      std::to_string(common.subclientId) + " in " +
                      store.StatePath(common.clientId, common.subclientId) + "; give --job-id");
        return std::nullopt;
    }
    return id;
}

int ListSnapshots(const Common& common, bool allSubclients, Output& out) {
    std::vector<OwnSnapshot> snapshots;
    std::string error;
    const std::optional<uint32_t> subclient =
        allSubclients ? std::nullopt : std::optional<uint32_t>(common.subclientId);
    if (!ListOwnSnapshots(common.clientId, subclient, snapshots, error)) {
        out.Error("listing snapshots", error);
        return kExitFailed;
    }
    bool first = true;
    uint32_t lastSubclient = 0;
    int64_t lastJob = 0;
    for (const OwnSnapshot& snapshot : snapshots) {
        if (!out.Json() &&
            (first || snapshot.subclientId != lastSubclient || snapshot.jobId != lastJob))
            out.Emit({}, "subclient " + std::to_string(snapshot.subclientId) + " job " +
                             std::to_string(snapshot.jobId) + ":");
        first = false;
        lastSubclient = snapshot.subclientId;
        lastJob = snapshot.jobId;
        out.Emit(
            {{"event", "snapshot"},
             {"clientId", common.clientId},
             {"subclientId", snapshot.subclientId},
             {"jobId", snapshot.jobId},
             {"name", snapshot.name},
             {"id", snapshot.id},
             {"path", snapshot.path},
             {"created", EpochToUtc(snapshot.created)}},
            "  " + snapshot.name + "  id=" + std::to_string(snapshot.id) + "  " + snapshot.path);
    }
    if (!out.Json() && snapshots.empty())
        out.Emit({}, "no snapshots of client " + std::to_string(common.clientId) +
                         (allSubclients ? "" : " subclient " + std::to_string(common.subclientId)));
    return kExitOk;
}

// The job ids of the content's own snapshots on the array.
ArrayJobIds ContentJobIds(uint32_t clientId, uint32_t subclientId) {
    return [clientId, subclientId](std::set<int64_t>& jobIds, std::string& error) {
        std::vector<OwnSnapshot> snapshots;
        if (!ListOwnSnapshots(clientId, subclientId, snapshots, error)) return false;
        for (const OwnSnapshot& snapshot : snapshots) jobIds.insert(snapshot.jobId);
        return true;
    };
}

// The configuration must read exactly before anything touches the array: an
// unreadable line could be the one that forbids reading shares live.
bool ConfigurationUsable(uint32_t clientId, Output& out) {
    std::string problem;
    if (!TZPlatformInfo::CheckSettings(problem)) {
        out.Error("reading the settings", problem);
        return false;
    }
    NASSnapUtil credentials;
    int lookupId = static_cast<int>(clientId);
    if (!credentials.CheckCredentials(lookupId, problem)) {
        out.Error("reading the credentials", problem);
        return false;
    }
    return true;
}

}  // namespace

static int RunCommand(int argc, char** argv) {
    // Whatever the caller's umask, nothing we create is for others to write.
    ::umask(077);

    const std::string command = CommandWord(argc, argv);
    if (!command.empty() && kCommands.count(command) == 0) {
        std::cerr << "snapscan: unknown command '" << command
                  << "' (commands: job, verify, snapshots, cleanup, delete-failed, check, status, "
                     "audit; see "
                     "snapscan --help)\n";
        return kExitUsage;
    }

    CLI::App app{"snapscan: runs backup jobs of NAS shares through the snapshot-client plug-in"};
    app.require_subcommand(1);
    app.fallthrough();
    app.footer(
        "Exit status: 0 success; 1 a failure (for audit also a missed change or a place not "
        "checked); 2 a bad command line; 3 the job ran, but a share was "
        "not processed or was read from the live file system.\n"
        "Files: settings.ini and credentials.ini in SNAPSCAN_CONFIG_DIR (default /etc/snapscan; "
        "see "
        "snapscan.conf(5)); snapscan.log and events.jsonl in SNAPSCAN_LOG_DIR (default "
        "/var/log/snapscan); job ids in SNAPSCAN_STATE_DIR (root: /var/lib/snapscan, else the XDG "
        "state directory); locks in SNAPSCAN_LOCK_DIR (root: /run/lock/snapscan); the mount table "
        "SNAPSCAN_MOUNT_TABLE (default /proc/self/mounts); the plug-in SNAPSCAN_PLUGIN.");

    Common common;
    common.stateDir = JobStateStore::DefaultDirectory();
    app.add_option("--plugin", common.plugin, "the plug-in library (default: beside the binary)");
    app.add_option("--state-dir", common.stateDir, "where job ids are kept")->capture_default_str();
    app.add_flag("--json", common.json, "JSON lines instead of text");
    app.add_flag("-q,--quiet", common.quiet, "only problems and the one-line summary");
    app.add_flag("-v,--verbose", common.verbose,
                 "log detail 3 for this run, and the plug-in's whole failure text");
    app.add_option("--progress", common.progress, "progress display: auto, always or never")
        ->check(CLI::IsMember({"auto", "always", "never"}))
        ->capture_default_str();
    app.add_option("--progress-interval", common.progressInterval,
                   "seconds between progress lines or records when not on a terminal")
        ->check(CLI::Range(0.1, 3600.0))
        ->capture_default_str();
    app.set_version_flag("--version", std::string("snapscan ") + SNAPSCAN_VERSION);

    JobRequest request;
    std::string jobIdText;
    std::string prevJobIdText;
    bool restart = false;
    CLI::App* job = app.add_subcommand("job", "run a backup job: snapshots, changes, cleanup");
    AddIdentity(*job, common);
    job->add_option("--share", request.shares, "a share of the job content (repeatable)")
        ->required();
    job->add_option("--results-dir", request.resultsDir, "the job results directory")->required();
    job->add_option("--map-file", request.mapFile, "the snapshot map file to write")->required();
    job->add_flag("--auto-mount", request.autoMount,
                  "hand the plug-in a content mapper (host:/path shares)");
    auto* jobId =
        job->add_option("--job-id", jobIdText, "this job's id (bypasses the state directory)");
    job->add_option("--prev-job-id", prevJobIdText, "the previous job's id, 0 for a full job")
        ->needs(jobId);
    job->add_flag("--restart", restart,
                  "with --job-id: this run restarts that job, whose snapshots may exist already")
        ->needs(jobId);
    job->add_flag("--skip-cleanup", request.skipCleanup,
                  "leave the post-backup cleanup to `snapscan cleanup`");
    job->add_option("--progress-every", request.progressEvery,
                    "a line on stderr every N items (0: none)")
        ->capture_default_str();
    job->add_flag("--list-changes", request.listChanges, "text output: a line per changed item");
    std::string changesFormat = "nul";
    auto* changesOut = job->add_option(
        "--changes-out", request.changesOut,
        "write the job's changes to FILE when it hands them on (written whole or not at all; "
        "several shares: FILE.1, FILE.2, ... in --share order for nul)");
    job->add_option("--changes-format", changesFormat,
                    "nul: paths relative to the read path, NUL-terminated, for rsync --from0 "
                    "--files-from, tar --null -T, cpio -0, with FILE.removed listing what to "
                    "delete; jsonl: the item records as --json prints them")
        ->check(CLI::IsMember({"nul", "jsonl"}))
        ->needs(changesOut)
        ->capture_default_str();
    job->add_option("--metrics-file", request.metricsFile,
                    "write the job's outcome as Prometheus text (node_exporter textfile "
                    "collector), atomically, mode 0644");

    CLI::App* verify = app.add_subcommand("verify", "check that the array supports snap scan");
    AddIdentity(*verify, common, false);

    bool allSubclients = false;
    CLI::App* snapshots =
        app.add_subcommand("snapshots", "list the client's snapshots on the array");
    AddIdentity(*snapshots, common, false);
    snapshots->add_flag("--all-subclients", allSubclients, "every subclient of the client");

    bool dryRun = false;
    verify->add_flag("--dry-run", dryRun,
                     "say what the check finds and would enable; change nothing");

    std::string cleanupJobText;
    CLI::App* cleanup =
        app.add_subcommand("cleanup", "post-backup cleanup: keep only one job's snapshots");
    AddIdentity(*cleanup, common);
    cleanup->add_option("--job-id", cleanupJobText,
                        "the job to keep (default: the last delivered job)");
    cleanup->add_flag("--dry-run", dryRun, "list the snapshots it would delete; delete nothing");

    std::string failedJobText;
    std::vector<std::string> failedMounts;
    CLI::App* deleteFailed = app.add_subcommand(
        "delete-failed", "delete a job's snapshots of shares whose mount failed");
    AddIdentity(*deleteFailed, common);
    deleteFailed->add_option("--job-id", failedJobText, "the job (default: the last job started)");
    deleteFailed->add_option("mounts", failedMounts, "failed shares as HOST:PATH")->required();
    deleteFailed->add_flag("--dry-run", dryRun,
                           "list the snapshots it would delete; delete nothing");

    CLI::App* statusCommand = app.add_subcommand(
        "status",
        "per content: the last job, the base job, their outcome and snapshots (read-only)");
    AddIdentity(*statusCommand, common, false);

    std::vector<std::string> checkShares;
    bool checkArray = false;
    CLI::App* check = app.add_subcommand(
        "check", "check settings, credentials and the mount table without touching the array");
    AddIdentity(*check, common, false);
    check->add_option("--share", checkShares, "a share whose mount to check (repeatable)");
    check->add_flag("--array", checkArray, "also log in and check snap-scan support, read-only");

    AuditCommand auditCommand;
    std::string seedText;
    CLI::App* audit = app.add_subcommand("audit",
                                         "prove the changes listed for a snapshot pair against the "
                                         "snapshots themselves (read-only)");
    AddIdentity(*audit, common);
    audit
        ->add_option("--share", auditCommand.share,
                     "the share's path; its snapshots are read below <share>/.snapshot/")
        ->required();
    auto* auditBase = audit->add_option(
        "--base", auditCommand.baseName,
        "the base snapshot's name (default: the one the last job compared against)");
    auto* auditCurrent = audit->add_option(
        "--current", auditCommand.currentName,
        "the current snapshot's name (default: the last job's snapshot of the share)");
    auditBase->needs(auditCurrent);
    auditCurrent->needs(auditBase);
    audit->add_option("--changes", auditCommand.changesFile,
                      "JSON lines of the items a job delivered (`snapscan job --json`) instead "
                      "of the array's changelist");
    audit
        ->add_option("--sample", auditCommand.samplePercent,
                     "compare the entries of this percentage of directories only")
        ->check(CLI::Range(0.001, 100.0))
        ->capture_default_str();
    audit->add_option("--seed", seedText, "which directories a sample takes (decimal, default 0)");
    audit->add_option("--threads", auditCommand.threads, "directories walked at once")
        ->check(CLI::Range(1u, 64u))
        ->capture_default_str();
    std::string identityText = "auto";
    audit
        ->add_option("--identity", identityText,
                     "whether the snapshots show the array's inode numbers and ctimes: auto, "
                     "kept or renumbered (a copy, as arraysim's)")
        ->check(CLI::IsMember({"auto", "kept", "renumbered"}))
        ->capture_default_str();
    audit->add_option("--metrics-file", auditCommand.metricsFile,
                      "write the audit's outcome to FILE (Prometheus text format, for the "
                      "textfile collector; use another file than the job's)");
    audit
        ->add_option("--wait", auditCommand.waitSeconds,
                     "seconds to wait for the array to build the changelist")
        ->check(CLI::Range(0.0, 86400.0))
        ->capture_default_str();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? kExitOk : kExitUsage;
    }

    // Ids: plain decimal, in range; a job id is positive and the previous job's
    // id below it.
    const auto usage = [](const std::string& option, const std::string& problem) {
        std::cerr << "snapscan: " << option << ": " << problem << "\n";
        return kExitUsage;
    };
    uint64_t number = 0;
    std::string problem;
    if (!ParseDecimal(common.clientText, 0, UINT32_MAX, number, problem))
        return usage("--client-id", problem);
    common.clientId = static_cast<uint32_t>(number);
    if (!common.subclientText.empty() || (*job || *cleanup || *deleteFailed || *audit)) {
        if (!ParseDecimal(common.subclientText, 0, UINT32_MAX, number, problem))
            return usage("--subclient-id", problem);
        common.subclientId = static_cast<uint32_t>(number);
    }
    if (!seedText.empty()) {
        if (!ParseDecimal(seedText, 0, UINT64_MAX, number, problem))
            return usage("--seed", problem);
        auditCommand.seed = number;
    }
    const auto jobIdOption = [&](const std::string& option, const std::string& text,
                                 int64_t& id) -> bool {
        if (text.empty()) return true;
        if (!ParseDecimal(text, 1, INT64_MAX, number, problem)) {
            usage(option, problem + " (a job id is a positive decimal number)");
            return false;
        }
        id = static_cast<int64_t>(number);
        return true;
    };
    int64_t cleanupJobId = 0;
    int64_t failedJobId = 0;
    if (!jobIdOption("--job-id", jobIdText, request.jobId) ||
        !jobIdOption("--job-id", cleanupJobText, cleanupJobId) ||
        !jobIdOption("--job-id", failedJobText, failedJobId))
        return kExitUsage;
    if (!prevJobIdText.empty()) {
        if (!ParseDecimal(prevJobIdText, 0, INT64_MAX, number, problem))
            return usage("--prev-job-id", problem);
        request.prevJobId = static_cast<int64_t>(number);
        if (request.prevJobId >= request.jobId)
            return usage("--prev-job-id", prevJobIdText + " is not below the job id " + jobIdText);
    }

    // -v raises the log detail of this run only; settings.ini stays as it is.
    if (common.verbose) {
        ::setenv("SNAPSCAN_LOG_LEVEL", "3", 1);
        // The writer made at load read its level before; a new one reads it now.
        g_ptrLogWriter = CreateFileLogWriter();
    }
    CaptureLoggedErrors();
    Output out(std::cout, std::cerr, common.json,
               common.quiet     ? Verbosity::kQuiet
               : common.verbose ? Verbosity::kVerbose
                                : Verbosity::kNormal,
               STDOUT_FILENO);
    const auto finish = [&out](int status) {
        out.Done(status);
        // A listing cut short on the standard output is a failure, whatever the command found.
        return out.OutputLost() ? kExitFailed : status;
    };
    if (*check) {
        CheckRequest checking{common.clientId, checkShares, checkArray};
        return finish(RunCheck(checking, out));
    }
    if (!ConfigurationUsable(common.clientId, out)) return finish(kExitFailed);
    if (*snapshots) return finish(ListSnapshots(common, allSubclients, out));
    if (*statusCommand) {
        return finish(RunStatus(JobStateStore(common.stateDir), common.clientId,
                                common.subclientText.empty()
                                    ? std::nullopt
                                    : std::optional<uint32_t>(common.subclientId),
                                out));
    }
    if (*audit) {
        // Read-only: no content lock, so that a job is never held up by an audit.
        auditCommand.clientId = common.clientId;
        auditCommand.subclientId = common.subclientId;
        auditCommand.stateDir = common.stateDir;
        auditCommand.identity = identityText == "kept"         ? Identity::kKept
                                : identityText == "renumbered" ? Identity::kRenumbered
                                                               : Identity::kAuto;
        AuditResult audited;
        audited.missed = UINT64_MAX;  // stays so when the audit could not run
        const int status = RunAuditCommand(auditCommand, out, &audited);
        if (!auditCommand.metricsFile.empty())
            WriteAuditMetrics(auditCommand, status,
                              audited.missed == UINT64_MAX ? nullptr : &audited, out);
        return finish(status);
    }
    if (*verify && dryRun) {
        CheckRequest checking{common.clientId, {}, true};
        return finish(RunCheck(checking, out));
    }

    PluginLibrary library;
    const GetSnapClientFn factory = LoadPlugin(library, common, out);
    if (factory == nullptr) return finish(kExitFailed);

    if (*verify) return finish(RunVerify(factory, common.clientId, common.subclientId, out));
    if (dryRun) {
        // What cleanup or delete-failed would delete, from the array's own list.
        const std::optional<int64_t> id =
            *cleanup ? (cleanupJobText.empty() ? StateJobId(common, false, out)
                                               : std::optional<int64_t>(cleanupJobId))
                     : (failedJobText.empty() ? StateJobId(common, true, out)
                                              : std::optional<int64_t>(failedJobId));
        if (!id) return finish(kExitFailed);
        return finish(RunDryDeletion(common.clientId, common.subclientId, *id, cleanup->parsed(),
                                     failedMounts, out));
    }

    // Everything else changes the content's snapshots or state: one run of a
    // content at a time on this machine.
    const int status = WithContentLock(common.clientId, common.subclientId, out, [&]() -> int {
        if (*job) {
            request.clientId = common.clientId;
            request.subclientId = common.subclientId;
            const ArrayJobIds ids = ContentJobIds(common.clientId, common.subclientId);
            ProgressReporter progress(
                out,
                common.progress == "always"  ? ProgressReporter::Mode::kAlways
                : common.progress == "never" ? ProgressReporter::Mode::kNever
                                             : ProgressReporter::Mode::kAuto,
                common.quiet,
                std::chrono::milliseconds(static_cast<int64_t>(common.progressInterval * 1000)));
            ObserveLoggedLines([&progress](const std::string& line) { progress.OnLogLine(line); });
            request.progress = &progress;
            ParseChangesFormat(changesFormat, request.changesFormat);
            request.countOwnSnapshots = [&common](size_t& count, std::string& error) {
                std::vector<OwnSnapshot> own;
                if (!ListOwnSnapshots(common.clientId, common.subclientId, own, error))
                    return false;
                count = own.size();
                return true;
            };
            const int result =
                jobIdText.empty()
                    ? RunChainedJob(factory, request, JobStateStore(common.stateDir), ids, out)
                    : RunGivenJob(factory, request, restart, ids, out);
            ObserveLoggedLines({});
            return result;
        }
        if (*cleanup) {
            if (cleanupJobText.empty()) {
                const std::optional<int64_t> id = StateJobId(common, false, out);
                if (!id) return kExitFailed;
                cleanupJobId = *id;
            }
            return RunCleanup(factory, common.clientId, common.subclientId, cleanupJobId, out);
        }
        if (failedJobText.empty()) {
            const std::optional<int64_t> id = StateJobId(common, true, out);
            if (!id) return kExitFailed;
            failedJobId = *id;
        }
        return RunDeleteFailed(factory, common.clientId, common.subclientId, failedJobId,
                               failedMounts, out);
    });
    return finish(status);
}

int main(int argc, char** argv) {
    // What escapes the commands (memory exhausted, a library's surprise) would otherwise abort
    // with a core dump and no line an operator can act on; it is a failure, never a success.
    try {
        return RunCommand(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "snapscan: internal error: " << e.what() << '\n';
    } catch (...) {
        std::cerr << "snapscan: internal error\n";
    }
    return 1;
}
