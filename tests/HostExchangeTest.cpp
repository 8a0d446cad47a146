// The module's end of the driver host exchange, at its edges: a request of
// exactly the request area's size goes, one byte more stays here (and the
// host with it); a later driver's path too long for a request is refused with
// its own code; a host that answers a load without a handshake, or with the
// handshake of the other bitness, is ended.
#include <gtest/gtest.h>

#include <string>

#include "driver/HostProtocol.h"
#include "driver/HostedDriver.h"
#include "platform/Environment.h"
#include "platform/File.h"
#include "platform/HostProcess.h"
#include "tests/support/TestSupport.h"

namespace {

std::string HostProgram(const std::string& name) {
    return testing_support::ExecutableFolder() + "/" + name + platform::kProgramSuffix;
}
std::string OwnHost() { return HostProgram("KestavDriverHost" + std::to_string(sizeof(void*) * 8)); }
// As Init names it (".dll"; the library of this system loads).
std::string Recording() { return testing_support::DriverLibraryPath("Kestav", "recording"); }

// SetOption with two texts making its frame `size` bytes.
driverhost::Request RequestOfSize(std::size_t size) {
    driverhost::Request request;
    request.entry = 27;
    request.textCount = 2;
    std::vector<std::uint8_t> frame;
    driverhost::Encode(request, &frame);
    const std::size_t texts = size - frame.size();
    request.texts[0] = std::string(texts / 2, 'a');
    request.texts[1] = std::string(texts - texts / 2, 'b');
    return request;
}

class HostExchangeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!platform::kDriverHostAvailable) GTEST_SKIP() << "no driver host on this platform";
    }
    testing_support::ScopedTempFolder temp;
};

TEST_F(HostExchangeTest, ARequestOfTheAreasSizeGoesOneByteMoreStays) {
    std::uint32_t error = 0;
    auto host = driver::HostedDriver::Start(OwnHost(), Recording(), 30, &error);
    ASSERT_NE(host, nullptr) << error;
    const driverhost::Request fits = RequestOfSize(driverhost::kRequestArea);
    std::vector<std::uint8_t> frame;
    driverhost::Encode(fits, &frame);
    ASSERT_EQ(frame.size(), driverhost::kRequestArea);
    EXPECT_NO_THROW(host->Call(fits));
    EXPECT_THROW(host->Call(RequestOfSize(driverhost::kRequestArea + 1)), driver::RequestTooLarge);
    EXPECT_TRUE(host->Alive()) << "a request that does not fit costs nothing else";
    EXPECT_NO_THROW(host->Call(fits));
}

// A later driver for the kept host: a path no request can carry is refused
// with 206 before anything is sent (the host stays for the next); one that
// fits loads.
TEST_F(HostExchangeTest, ALaterDriversPathTooLongForARequest) {
    std::uint32_t error = 0;
    auto host = driver::HostedDriver::Start(OwnHost(), Recording(), 30, &error);
    ASSERT_NE(host, nullptr) << error;
    ASSERT_TRUE(host->Unload());
    EXPECT_FALSE(host->Load(std::string(driverhost::kRequestArea, 'p'), 30, &error));
    EXPECT_EQ(error, 206u);
    EXPECT_TRUE(host->Alive());
    EXPECT_TRUE(host->Load(Recording(), 30, &error)) << error;
}

// A host that answers a later load with anything but its own handshake is
// no driver host: ended, its process gone, 1067.
TEST_F(HostExchangeTest, ALoadAnsweredWithoutTheHostsHandshakeEndsTheHost) {
    for (const char* mode : {"noshake", "otherbits"}) {
        SCOPED_TRACE(mode);
        platform::SetEnvironment("KST_BROKEN_HOST", mode);
        std::uint32_t error = 0;
        auto host = driver::HostedDriver::Start(HostProgram("broken-host"), Recording(), 30, &error);
        ASSERT_NE(host, nullptr) << error;
        const std::uint32_t pid = host->ProcessId();
        ASSERT_TRUE(host->Unload());
        EXPECT_FALSE(host->Load(Recording(), 30, &error));
        EXPECT_EQ(error, 1067u);
        EXPECT_FALSE(host->Alive());
        EXPECT_FALSE(testing_support::ProcessIsRunning(pid)) << "the host was left running";
    }
    platform::SetEnvironment("KST_BROKEN_HOST", "");
}

}  // namespace
