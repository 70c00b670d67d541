// The I2C entity against corvantis-sim: reads and writes to a device that
// answers and to one that does not, and the argument checks.
#include "devlib/I2CClass.h"

#include <gtest/gtest.h>

#include "devlib/Module.h"
#include "tests/devlib_module/SimModule.h"

using namespace Halvern::Corvantis;
using simtest::SimModule;

namespace {

constexpr uint8_t kDevice = 0x40;
constexpr uint8_t kAbsent = 0x42;

class I2CClassTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::writeFile(dir.file("sim.json"), R"({"i2c": [64]})");
        sim = std::make_unique<SimModule>(
            std::vector<std::string>{"--config", dir.file("sim.json"), "--tcp", "127.0.0.1:0"});
        ASSERT_TRUE(sim->ok());
        module = std::make_unique<Module>(2);
        ASSERT_EQ(module->connectFromSpec(sim->tcpSpec()), aErrNone);
        i2c.init(module.get(), 0);
    }

    testsupport::TempDir dir;
    std::unique_ptr<SimModule> sim;
    std::unique_ptr<Module> module;
    I2CClass i2c;
};

TEST_F(I2CClassTest, WriteAndRead) {
    const uint8_t zeros[2] = {0, 0};
    EXPECT_EQ(i2c.write(kDevice, 2, zeros), aErrNone);
    uint8_t buffer[23];
    EXPECT_EQ(i2c.read(kDevice, sizeof(buffer), buffer), aErrNone);
    EXPECT_EQ(i2c.setPullup(true), aErrNone);
    EXPECT_EQ(i2c.setPullup(false), aErrNone);
}

TEST_F(I2CClassTest, AbsentDeviceReportsTheBusStatus) {
    const uint8_t zeros[2] = {0, 0};
    EXPECT_EQ(i2c.write(kAbsent, 2, zeros), aErrIO);
    uint8_t buffer[4];
    EXPECT_EQ(i2c.read(kAbsent, sizeof(buffer), buffer), aErrIO);
}

TEST_F(I2CClassTest, ArgumentChecks) {
    uint8_t buffer[24] = {};
    EXPECT_EQ(i2c.read(kDevice, 24, buffer), aErrSize);
    EXPECT_EQ(i2c.write(kDevice, 24, buffer), aErrSize);
    EXPECT_EQ(i2c.setSpeed(4), aErrParam);
    uint8_t speed = 0xEE;
    ASSERT_EQ(i2c.getSpeed(&speed), aErrNone);
    EXPECT_EQ(speed, 0);
    ASSERT_EQ(i2c.setSpeed(3), aErrNone);
    ASSERT_EQ(i2c.getSpeed(&speed), aErrNone);
    EXPECT_EQ(speed, 3);
    // A later init resets the speed.
    i2c.init(module.get(), 0);
    ASSERT_EQ(i2c.getSpeed(&speed), aErrNone);
    EXPECT_EQ(speed, 0);
    EXPECT_EQ(i2c.getSpeed(nullptr), aErrParam);
    // Writes at the fastest speed still work.
    ASSERT_EQ(i2c.setSpeed(3), aErrNone);
    EXPECT_EQ(i2c.write(kDevice, 1, buffer), aErrNone);
}

TEST(I2CClassWithoutModule, AnswersResource) {
    I2CClass i2c;
    uint8_t buffer[2] = {};
    EXPECT_EQ(i2c.write(kDevice, 2, buffer), aErrResource);
    EXPECT_EQ(i2c.read(kDevice, 2, buffer), aErrResource);
}

} // namespace
