#include "tests/doubles/plugin_test.h"

namespace snapscan_test {

PluginTest::PluginTest() : array(ScriptedArray::Get()) { array.Reset(); }

PluginTest::~PluginTest() { array.Reset(); }

CRwError PluginTest::Initialize(CIsilonSnapClient& client, const JobIds& ids,
                                const ContentMapperAPIPtr& mapper) {
    return client.Initialize(ids.jobId, ids.clientId, ids.appType, ids.subclientId,
                             config.WorkDir(), "extra", MapFile(), ids.prevJobId, 1, 2, 3, mapper);
}

std::unique_ptr<CIsilonSnapClient> PluginTest::MakeClient(const JobIds& ids,
                                                          const ContentMapperAPIPtr& mapper) {
    config.SetCredentials(ids.clientId, "array.test", "backup", "pw-secret");
    auto client = std::make_unique<CIsilonSnapClient>();
    const CRwError result = Initialize(*client, ids, mapper);
    EXPECT_FALSE(result.IsError()) << result.AsString();
    return client;
}

}  // namespace snapscan_test
