// Entities against corvantis-sim: gets and sets of every width, error
// replies, byte arrays over several packets (sizes 0, 24, 50 and 1000, chunks
// out of order, buffers too small) and entities without a module.
#include "devlib/Entity.h"

#include <gtest/gtest.h>

#include <vector>

#include "devlib/Module.h"
#include "tests/devlib_module/SimModule.h"

using namespace Halvern::Corvantis;
using simtest::SimModule;
using simtest::Transport;

namespace {

constexpr uint8_t kSystem = 3;
constexpr uint8_t kOptionLED = 4;
constexpr uint8_t kOptionModel = 8;
constexpr uint8_t kOptionSerial = 9;
constexpr uint8_t kOptionVoltage = 12;
constexpr uint8_t kOptionName = 32;
constexpr uint8_t kOptionUniqueId = 39;

class EntityTest : public ::testing::TestWithParam<Transport> {
protected:
    void start(std::vector<std::string> extra = {}) {
        std::vector<std::string> flags = simtest::transportFlags(GetParam());
        flags.insert(flags.end(), extra.begin(), extra.end());
        sim = std::make_unique<SimModule>(flags);
        ASSERT_TRUE(sim->ok());
        module = std::make_unique<Module>(2);
        ASSERT_EQ(module->connectFromSpec(GetParam() == Transport::TCP ? sim->tcpSpec()
                                                                       : sim->serialSpec()),
                  aErrNone);
        entity.init(module.get(), kSystem, 0);
    }

    std::unique_ptr<SimModule> sim;
    std::unique_ptr<Module> module;
    EntityClass entity;
};

TEST_P(EntityTest, GetsAndSetsOfEveryWidth) {
    ASSERT_NO_FATAL_FAILURE(start({"--option", "12=4321000"}));
    uint32_t serial = 0;
    ASSERT_EQ(entity.getUEI32(kOptionSerial, &serial), aErrNone);
    EXPECT_EQ(serial, simtest::kSimSerial);
    uint32_t voltage = 0;
    ASSERT_EQ(entity.getUEI32(kOptionVoltage, &voltage), aErrNone);
    EXPECT_EQ(voltage, 4321000u);

    ASSERT_EQ(entity.setUEI8(kOptionLED, 1), aErrNone);
    uint8_t led = 0;
    ASSERT_EQ(entity.getUEI8(kOptionLED, &led), aErrNone);
    EXPECT_EQ(led, 1);
    ASSERT_EQ(entity.setUEI8(kOptionLED, 0), aErrNone);
    ASSERT_EQ(entity.getUEI8(kOptionLED, &led), aErrNone);
    EXPECT_EQ(led, 0);

    // A get with a sub-index: the unique identifier word by word.
    uint32_t word = 0;
    EXPECT_EQ(entity.getUEI32(kOptionUniqueId, 1, &word), aErrNone);
    EXPECT_EQ(entity.getUEI32(kOptionUniqueId, 9, &word), aErrIndexRange);

    EXPECT_EQ(entity.callUEI(10), aErrNone); // save
    EXPECT_EQ(entity.getIndex(), 0);
}

TEST_P(EntityTest, ErrorRepliesSurfaceAsTheModulesCode) {
    ASSERT_NO_FATAL_FAILURE(start({"--error", "3:12:21", "--error", "3:4:29"}));
    uint32_t value = 0xA5A5A5A5;
    EXPECT_EQ(entity.getUEI32(kOptionVoltage, &value), aErrUnimplemented);
    EXPECT_EQ(value, 0xA5A5A5A5u);
    uint8_t led = 0x5A;
    EXPECT_EQ(entity.getUEI8(kOptionLED, &led), aErrInvalidOption);
    EXPECT_EQ(led, 0x5A);
    EXPECT_EQ(entity.setUEI8(kOptionLED, 1), aErrInvalidOption);
    // A set of a read-only option and an option nobody has.
    EXPECT_EQ(entity.setUEI8(kOptionModel, 3), aErrInvalidOption);
    EXPECT_EQ(entity.getUEI8(60, &led), aErrInvalidOption);
    // An entity class the module does not have.
    EntityClass other;
    other.init(module.get(), 77, 0);
    EXPECT_EQ(other.getUEI8(1, &led), aErrInvalidEntity);
}

TEST_P(EntityTest, ByteArraysRoundTrip) {
    ASSERT_NO_FATAL_FAILURE(start());
    for (size_t length : {size_t{0}, size_t{24}, size_t{50}, size_t{1000}}) {
        SCOPED_TRACE(length);
        std::vector<uint8_t> data(length);
        for (size_t i = 0; i < length; ++i) {
            data[i] = static_cast<uint8_t>(i * 13 + length);
        }
        ASSERT_EQ(entity.setUEIBytes(kOptionName, data.data(), data.size()), aErrNone);
        std::vector<uint8_t> back(1100, 0xEE);
        size_t count = 12345;
        ASSERT_EQ(entity.getUEIBytes(kOptionName, back.data(), back.size(), &count), aErrNone);
        ASSERT_EQ(count, length);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
        EXPECT_EQ(back[length], 0xEE); // nothing written past the value
    }
}

TEST_P(EntityTest, ByteArrayChunksOutOfOrderAreReassembled) {
    ASSERT_NO_FATAL_FAILURE(start({"--reorder-chunks"}));
    std::vector<uint8_t> data(60);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i);
    }
    ASSERT_EQ(entity.setUEIBytes(kOptionName, data.data(), data.size()), aErrNone);
    std::vector<uint8_t> back(100);
    size_t count = 0;
    ASSERT_EQ(entity.getUEIBytes(kOptionName, back.data(), back.size(), &count), aErrNone);
    ASSERT_EQ(count, 60u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
}

TEST_P(EntityTest, ByteArrayTooLargeForTheBuffer) {
    ASSERT_NO_FATAL_FAILURE(start());
    std::vector<uint8_t> data(60, 0x42);
    ASSERT_EQ(entity.setUEIBytes(kOptionName, data.data(), data.size()), aErrNone);
    std::vector<uint8_t> back(50, 0);
    size_t count = 0;
    EXPECT_EQ(entity.getUEIBytes(kOptionName, back.data(), back.size(), &count), aErrMemory);
    EXPECT_LE(count, 50u);
    // The link stays usable: the leftover chunk is dropped by the next drain
    // and a later exchange works.
    EXPECT_EQ(entity.drainUEI(kOptionName), aErrNone);
    uint32_t serial = 0;
    EXPECT_EQ(entity.getUEI32(kOptionSerial, &serial), aErrNone);
}

TEST_P(EntityTest, ByteArrayArgumentChecks) {
    ASSERT_NO_FATAL_FAILURE(start());
    uint8_t buffer[8];
    size_t count = 7;
    EXPECT_EQ(entity.getUEIBytes(kOptionName, nullptr, 8, &count), aErrParam);
    EXPECT_EQ(entity.getUEIBytes(kOptionName, buffer, 0, &count), aErrParam);
    EXPECT_EQ(entity.getUEIBytes(kOptionName, buffer, 8, nullptr), aErrParam);
    EXPECT_EQ(entity.setUEIBytes(kOptionName, nullptr, 3), aErrParam);
}

TEST_P(EntityTest, SilentModuleTimesOut) {
    ASSERT_NO_FATAL_FAILURE(start({"--silent-after", "3"}));
    uint32_t value = 0;
    aErr last = aErrNone;
    // Whatever got through before the simulator fell silent, a later get
    // ends in a time-out rather than a hang or a stale value.
    for (int i = 0; i < 5 && last != aErrTimeout; ++i) {
        last = entity.getUEI32(kOptionSerial, &value);
    }
    EXPECT_EQ(last, aErrTimeout);
    EXPECT_EQ(entity.awaitUEI32Val(kOptionSerial, &value, 0), aErrTimeout);
    uint8_t buffer[64];
    size_t count = 0;
    EXPECT_EQ(entity.getUEIBytes(kOptionName, buffer, sizeof(buffer), &count), aErrTimeout);
}

INSTANTIATE_TEST_SUITE_P(Transports, EntityTest,
                         ::testing::Values(Transport::TCP, Transport::Serial),
                         [](const ::testing::TestParamInfo<Transport>& info) {
                             return simtest::transportName(info.param);
                         });

TEST(EntityWithoutModule, AnswersResourceAndLeavesOutputs) {
    EntityClass entity;
    uint8_t byte = 0x77;
    EXPECT_EQ(entity.getUEI8(1, &byte), aErrResource);
    EXPECT_EQ(byte, 0x77);
    uint32_t word = 0x77;
    EXPECT_EQ(entity.getUEI32(1, &word), aErrResource);
    EXPECT_EQ(word, 0x77u);
    EXPECT_EQ(entity.setUEI8(1, 1), aErrResource);
    EXPECT_EQ(entity.callUEI(10), aErrResource);
    EXPECT_EQ(entity.sendPacket(73, 0, nullptr), aErrResource);
    entity.init(nullptr, 3, 0);
    EXPECT_EQ(entity.drainUEI(1), aErrResource);
    size_t count = 0;
    EXPECT_EQ(entity.getUEIBytes(1, &byte, 1, &count), aErrResource);
}

TEST(EntityWithoutModule, ByteCountCheck) {
    EntityClass entity;
    struct Case {
        size_t count;
        size_t unit;
        aErr result;
        size_t after;
    };
    const Case cases[] = {
        {16, 4, aErrNone, 4}, {0, 4, aErrNone, 0},  {18, 4, aErrMemory, 18},
        {7, 1, aErrNone, 7},  {8, 0, aErrParam, 8},
    };
    for (const Case& c : cases) {
        size_t count = c.count;
        EXPECT_EQ(entity.getUEIBytesCheck(&count, c.unit), c.result) << c.count << "/" << c.unit;
        EXPECT_EQ(count, c.after);
    }
    EXPECT_EQ(entity.getUEIBytesCheck(nullptr, 4), aErrParam);
}

} // namespace
