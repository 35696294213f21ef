// snapscan: drives the snapshot-client plug-in through a backup job the way the
// backup agent does. Parses the command line and hands over to job_runner.
#include <cstdlib>
#include <iostream>
#include <optional>

#include <CLI/CLI.hpp>

#include "tools/snapscan/job_runner.h"
#include "tools/snapscan/job_state.h"
#include "tools/snapscan/output.h"
#include "tools/snapscan/plugin_loader.h"
#include "tools/snapscan/snapshot_listing.h"

namespace {

using namespace snapscan;

struct Common {
    std::string plugin;
    std::string stateDir;
    bool json = false;
    uint32_t clientId = 0;
    uint32_t subclientId = 0;
};

void AddIdentity(CLI::App& command, Common& common, bool subclientRequired = true) {
    command.add_option("--client-id", common.clientId, "the job's client id")->required();
    auto* subclient = command.add_option("--subclient-id", common.subclientId, "the job's subclient id");
    if (subclientRequired) subclient->required();
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
        out.Error("reading the job state", "no job of client " + std::to_string(common.clientId) +
                                               " subclient " + std::to_string(common.subclientId) +
                                               " in " + store.StatePath(common.clientId, common.subclientId) +
                                               "; give --job-id");
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
        if (!out.Json() && (first || snapshot.subclientId != lastSubclient || snapshot.jobId != lastJob))
            out.Emit({}, "subclient " + std::to_string(snapshot.subclientId) + " job " +
                             std::to_string(snapshot.jobId) + ":");
        first = false;
        lastSubclient = snapshot.subclientId;
        lastJob = snapshot.jobId;
        out.Emit({{"event", "snapshot"},
                  {"clientId", common.clientId},
                  {"subclientId", snapshot.subclientId},
                  {"jobId", snapshot.jobId},
                  {"name", snapshot.name},
                  {"id", snapshot.id},
                  {"path", snapshot.path}},
                 "  " + snapshot.name + "  id=" + std::to_string(snapshot.id) + "  " + snapshot.path);
    }
    if (!out.Json() && snapshots.empty())
        out.Emit({}, "no snapshots of client " + std::to_string(common.clientId) +
                         (allSubclients ? "" : " subclient " + std::to_string(common.subclientId)));
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"snapscan: runs backup jobs of NAS shares through the snapshot-client plug-in"};
    app.require_subcommand(1);
    app.fallthrough();

    Common common;
    common.stateDir = JobStateStore::DefaultDirectory();
    app.add_option("--plugin", common.plugin, "the plug-in library (default: beside the binary)");
    app.add_option("--state-dir", common.stateDir, "where job ids are kept")->capture_default_str();
    app.add_flag("--json", common.json, "JSON lines instead of text");

    JobRequest request;
    bool explicitIds = false;
    CLI::App* job = app.add_subcommand("job", "run a backup job: snapshots, changes, cleanup");
    AddIdentity(*job, common);
    job->add_option("--share", request.shares, "a share of the job content (repeatable)")->required();
    job->add_option("--results-dir", request.resultsDir, "the job results directory")->required();
    job->add_option("--map-file", request.mapFile, "the snapshot map file to write")->required();
    job->add_flag("--auto-mount", request.autoMount, "hand the plug-in a content mapper (host:/path shares)");
    auto* jobId = job->add_option("--job-id", request.jobId, "this job's id (bypasses the state directory)");
    job->add_option("--prev-job-id", request.prevJobId, "the previous job's id, 0 for a full job")
        ->needs(jobId);
    job->add_flag("--skip-cleanup", request.skipCleanup, "leave the post-backup cleanup to `snapscan cleanup`");
    job->add_option("--progress-every", request.progressEvery, "progress on stderr every N items (0: none)")
        ->capture_default_str();

    CLI::App* verify = app.add_subcommand("verify", "check that the array supports snap scan");
    AddIdentity(*verify, common, false);

    bool allSubclients = false;
    CLI::App* snapshots = app.add_subcommand("snapshots", "list the client's snapshots on the array");
    AddIdentity(*snapshots, common, false);
    snapshots->add_flag("--all-subclients", allSubclients, "every subclient of the client");

    int64_t cleanupJobId = 0;
    CLI::App* cleanup = app.add_subcommand("cleanup", "post-backup cleanup: keep only one job's snapshots");
    AddIdentity(*cleanup, common);
    cleanup->add_option("--job-id", cleanupJobId, "the job to keep (default: the last delivered job)");

    int64_t failedJobId = 0;
    std::vector<std::string> failedMounts;
    CLI::App* deleteFailed =
        app.add_subcommand("delete-failed", "delete a job's snapshots of shares whose mount failed");
    AddIdentity(*deleteFailed, common);
    deleteFailed->add_option("--job-id", failedJobId, "the job (default: the last job started)");
    deleteFailed->add_option("mounts", failedMounts, "failed shares as HOST:PATH")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? kExitOk : kExitUsage;
    }
    explicitIds = job->count("--job-id") != 0;

    CaptureLoggedErrors();
    Output out(std::cout, std::cerr, common.json);
    if (*snapshots) return ListSnapshots(common, allSubclients, out);

    PluginLibrary library;
    const GetSnapClientFn factory = LoadPlugin(library, common, out);
    if (factory == nullptr) return kExitFailed;

    if (*job) {
        request.clientId = common.clientId;
        request.subclientId = common.subclientId;
        if (explicitIds) return RunJob(factory, request, out).status;
        return RunChainedJob(factory, request, JobStateStore(common.stateDir), out);
    }
    if (*verify) return RunVerify(factory, common.clientId, common.subclientId, out);
    if (*cleanup) {
        if (cleanup->count("--job-id") == 0) {
            const std::optional<int64_t> id = StateJobId(common, false, out);
            if (!id) return kExitFailed;
            cleanupJobId = *id;
        }
        return RunCleanup(factory, common.clientId, common.subclientId, cleanupJobId, out);
    }
    if (deleteFailed->count("--job-id") == 0) {
        const std::optional<int64_t> id = StateJobId(common, true, out);
        if (!id) return kExitFailed;
        failedJobId = *id;
    }
    return RunDeleteFailed(factory, common.clientId, common.subclientId, failedJobId, failedMounts, out);
}
