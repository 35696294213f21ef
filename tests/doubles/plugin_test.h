#pragma once

// Base fixture of the plug-in tests: a fresh scripted array, a capturing log
// writer (level 3), a capturing event sender, a sleep recorder, a temporary
// configuration directory and an empty mount table, all undone after each test.
// Helpers make an initialised client for the common case.

#include <list>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "host/FXErrorUtil.h"
#include "snapclient/IsilonSnapClient.h"
#include "tests/doubles/capturing_event_sender.h"
#include "tests/doubles/capturing_log_writer.h"
#include "tests/doubles/scripted_array.h"
#include "tests/doubles/sleep_recorder.h"
#include "tests/doubles/snap_client_peer.h"
#include "tests/support/temp_files.h"

namespace snapscan_test {

using Peer = CIsilonSnapClientTest;

struct JobIds {
    LONGLONG jobId = 789;
    ULONG clientId = 12;
    ULONG appType = 33;
    ULONG subclientId = 345;
    LONGLONG prevJobId = 700;
};

class PluginTest : public ::testing::Test {
protected:
    PluginTest();
    ~PluginTest() override;

    // Credentials for ids.clientId (file server "array.test", user "backup",
    // password "pw-secret"), then Initialize with no content mapper and a map file
    // in the work directory. Fails the test when Initialize fails.
    std::unique_ptr<CIsilonSnapClient> MakeClient(const JobIds& ids = JobIds(),
                                                  const ContentMapperAPIPtr& mapper = {});
    CRwError Initialize(CIsilonSnapClient& client, const JobIds& ids,
                        const ContentMapperAPIPtr& mapper = {});

    std::string MapFile() const { return config.WorkDir() + "/snapmap.txt"; }

    TempConfig config;
    MountTableFile mounts;
    CapturingLogWriter log;
    CapturingEventSender events;
    SleepRecorder sleeps;
    ScriptedArray& array;
};

// The code of a failure: the system error number, or the event id for events.
inline uint32_t CodeOf(const CRwError& error) {
    const int32_t event = FXErrorUtil::EventIdOf(error);
    return event != 0 ? static_cast<uint32_t>(event) : FXErrorUtil::Win32CodeOf(error);
}

}  // namespace snapscan_test
