#include <gtest/gtest.h>

#include <sstream>

#include <boost/make_shared.hpp>
#include <nlohmann/json.hpp>

#include "host_env.h"
#include "host/FXErrorUtil.h"
#include "host/ISendEventInterface.h"

namespace snapscan_platform_test {
namespace {

class EventSenderTest : public HostEnvTest {
protected:
    std::vector<nlohmann::json> Events() {
        std::vector<nlohmann::json> events;
        std::istringstream in(ReadFile(logDir + "/events.jsonl"));
        std::string line;
        while (std::getline(in, line)) {
            EXPECT_TRUE(nlohmann::json::accept(line)) << line;
            if (nlohmann::json::accept(line)) events.push_back(nlohmann::json::parse(line));
        }
        return events;
    }
};

TEST_F(EventSenderTest, EachEventIsOneJsonLine) {
    auto sender = ISendEventInterface::GetInstance();
    ASSERT_TRUE(sender);
    CRwError posted = FXErrorUtil::ErrorEventMessage(FX_HERE, 0x110000A5);
    posted << "/ifs/data" << boost::any(uint64_t{18446744073709551615ull});
    EXPECT_FALSE(sender->PostEvent(posted, 6, 0).IsError());
    CRwError sent = FXErrorUtil::ErrorEventMessage(FX_HERE, 0x11000094);
    sent << std::string("bad\xff utf8").c_str();
    EXPECT_FALSE(sender->SendEvent(sent, 0, 0).IsError());

    const std::vector<nlohmann::json> events = Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["id"], "0x110000A5");
    EXPECT_EQ(events[0]["arguments"],
              nlohmann::json::parse(R"(["/ifs/data", 18446744073709551615])"));
    EXPECT_EQ(events[0]["severity"], 6);
    EXPECT_EQ(events[0]["operation"], "post");
    EXPECT_TRUE(events[0]["time"].is_string());
    EXPECT_EQ(events[1]["id"], "0x11000094");
    EXPECT_EQ(events[1]["operation"], "send");
    EXPECT_EQ(events[1]["severity"], 0);
    ASSERT_EQ(events[1]["arguments"].size(), 1u);  // kept, the bad byte replaced

    EXPECT_NE(LogText().find("0x110000A5"), std::string::npos);
    EXPECT_NE(LogText().find("/ifs/data"), std::string::npos);
}

class CountingSender : public ISendEventInterface {
public:
    CRwError PostEvent(const CRwError&, int, int) override {
        ++posted;
        return CRwError::Success();
    }
    CRwError SendEvent(const CRwError&, int, int) override { return CRwError::Success(); }
    int posted = 0;
};

TEST_F(EventSenderTest, ReplacedSenderReceivesEventsUntilRestored) {
    auto counting = boost::make_shared<CountingSender>();
    ISendEventInterface::SetInstance(counting);
    ISendEventInterface::GetInstance()->PostEvent(
        FXErrorUtil::ErrorEventMessage(FX_HERE, 0x11000093), 6, 0);
    EXPECT_EQ(counting->posted, 1);
    EXPECT_TRUE(Events().empty());

    ISendEventInterface::SetInstance(nullptr);
    auto restored = ISendEventInterface::GetInstance();
    ASSERT_TRUE(restored);
    EXPECT_NE(restored.get(), counting.get());
    restored->PostEvent(FXErrorUtil::ErrorEventMessage(FX_HERE, 0x11000093), 6, 0);
    EXPECT_EQ(Events().size(), 1u);
}

}  // namespace
}  // namespace snapscan_platform_test
