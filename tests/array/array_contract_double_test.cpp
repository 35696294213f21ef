// The scripted double of the array client against the table the real client
// also runs (array_client_sim_test): the plug-in's tests use the double, so it
// must fail where and as the real client fails.
#include <gtest/gtest.h>

#include "tests/array/array_contract.h"
#include "tests/doubles/scripted_array.h"

namespace {

using snapscan_test::ArrayOp;
using snapscan_test::ChangeListPage;
using snapscan_test::ScriptedArray;

class DoubleDriver : public array_contract::Driver {
public:
    DoubleDriver() {
        ScriptedArray::Get().Reset();
        m_array.SetFileServer("array");
        m_array.SetUser("backup");
        m_array.SetPasswd("secret");
        EXPECT_TRUE(m_array.OpenConnection());
    }
    ~DoubleDriver() override { ScriptedArray::Get().Reset(); }

    ManageIsilon& Array() override { return m_array; }

    void ReadyChangelist(uint64_t& base, uint64_t& incr) override {
        base = 1;
        incr = 2;
        ScriptedArray& script = ScriptedArray::Get();
        script.changeListPages.clear();
        for (const char* token : {"next", ""}) {
            ChangeListPage page;
            page.items.resize(2);
            page.items.front().path = "/f";
            page.resumeToken = token;
            script.changeListPages.push_back(page);
        }
    }

    void FailNextChangelistPage() override {
        ScriptedArray::Get().FailNext(ArrayOp::GetSnapshotChangeList, 1, "503", "busy");
    }

private:
    ManageIsilon m_array;
};

TEST(ArrayContract, ScriptedDouble) {
    DoubleDriver driver;
    array_contract::RunArrayContract(driver);
}

}  // namespace
