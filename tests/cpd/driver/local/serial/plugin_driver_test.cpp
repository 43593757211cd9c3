// The driver object the host holds: addressing of packets, the closed state, the host's queries.
#include "plugin_host.h"

namespace cpd::test {
namespace {

class PluginDriver : public PluginHost {
  protected:
    void SetUp() override {
        PluginHost::SetUp();
        if (!HasFatalFailure()) {
            OpenAdapter();
        }
    }
    CpdRawDriver* Raw() { return static_cast<CpdRawDriver*>(mDriver.get()); }
};

TEST_F(PluginDriver, RefusesPacketForOtherDevice) {
    EXPECT_EQ(Deliver(BaudRate(kDevId + 1, 115200)), -1);
    EXPECT_EQ(mLog.Count("this packet is other device myDevId: 33, DevId: 34\\n"), 1u);
    EXPECT_EQ(mLog.Count("cmd: 2006 \\n"), 0u) << "the redirection never saw it";
    EXPECT_NE(mAdapter->Settings()->baud, 115200);
}

TEST_F(PluginDriver, MatchesOnLowByteOfDeviceId) {
    mDriver.reset();
    Open(mAdapter->Description(), 0x321);
    ASSERT_NE(mDriver, nullptr);
    EXPECT_EQ(Deliver(BaudRate(0x21, 115200)), 0);
    EXPECT_EQ(mAdapter->Settings()->baud, 115200);
    EXPECT_EQ(Deliver(BaudRate(0x03, 1200)), -1);
}

TEST_F(PluginDriver, PacketAfterCloseIsDroppedUnserved) {
    EXPECT_EQ(mDriver->Close(false), 0);
    EXPECT_EQ(Deliver(BaudRate(kDevId, 115200)), 0);
    EXPECT_EQ(mLog.Count("operator not init"), 1u);
    EXPECT_EQ(mLog.Count("cmd: 2006 \\n"), 0u);
}

TEST_F(PluginDriver, SecondCloseOnlyLogs) {
    EXPECT_EQ(mDriver->Close(false), 0);
    EXPECT_EQ(mDriver->Close(true), 0);
    EXPECT_EQ(mLog.Count("close\\n"), 2u);
    EXPECT_EQ(mLog.Count("enter \\n"), 1u) << "only the first Close reaches the redirection";
    EXPECT_EQ(mAdapter->OpenCount(), 0);
}

TEST_F(PluginDriver, AnswersHostQueriesWithFixedDefaults) {
    EXPECT_EQ(mDriver->GetTypeName(), "RawDrv");
    uint16_t out = 0;
    EXPECT_EQ(mDriver->HostOp5(3, &out, nullptr), -1);
    EXPECT_EQ(out, 5382);
    EXPECT_EQ(mDriver->HostOp2(), 0);
    EXPECT_EQ(mDriver->HostOp4(nullptr), 0);
}

TEST_F(PluginDriver, DriverObjIsSerialViewSharingTheRedirection) {
    std::shared_ptr<DriverObj> obj = Raw()->GetDriverObj();
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(obj->GetTypeName(), "serial");
    EXPECT_FALSE(obj->ObjQuery1());

    // The host's reference keeps the redirection, and so the port, alive past Close.
    EXPECT_EQ(mDriver->Close(false), 0);
    EXPECT_EQ(Raw()->GetDriverObj(), nullptr);
    EXPECT_EQ(mAdapter->OpenCount(), 1);
    obj.reset();
    EXPECT_EQ(mAdapter->OpenCount(), 0);
}

}  // namespace
}  // namespace cpd::test
