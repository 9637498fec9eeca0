// The link logic on a recording fake: the order of line settings, modem-line changes, command bytes and
// settle delays of an open, the adapter's probe order and speed choice, and how a gone device is told
// from a silent one. Time is the fake's, so a 1.6 s open takes no time at all.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recording_platform.h"
#include "serial_link.h"

namespace {

using quorlin::SerialLink;
using Log = std::vector<std::string>;

constexpr int32_t kDirect = 0;
constexpr int32_t kAdapter = 1;

// What an open sent, read from the log: the speeds the probe byte went out at, the command bytes,
// whether every command byte went out with RTS off, and whether every sleep was one settle delay.
struct OpenTrace {
    std::vector<int32_t> probe_speeds;
    std::vector<std::string> commands;
    bool commands_with_rts_off = true;
    bool every_sleep_is_a_settle_delay = true;
};

OpenTrace Trace(const Log& log) {
    OpenTrace trace;
    int32_t speed = 0;
    bool rts = false;
    for (const std::string& entry : log) {
        if (entry.rfind("speed ", 0) == 0) {
            speed = std::stoi(entry.substr(6));
        } else if (entry == "RTS on" || entry == "RTS off") {
            rts = entry == "RTS on";
        } else if (entry.rfind("write ", 0) == 0) {
            const std::string bytes = entry.substr(6);
            if (bytes == "0F") {
                trace.probe_speeds.push_back(speed);
            } else {
                trace.commands.push_back(bytes);
            }
            trace.commands_with_rts_off = trace.commands_with_rts_off && !rts;
        } else if (entry.rfind("sleep ", 0) == 0) {
            trace.every_sleep_is_a_settle_delay = trace.every_sleep_is_a_settle_delay && entry == "sleep 100";
        }
    }
    return trace;
}

TEST(AdapterOpen, SendsItsCommandsWithRtsOffAndSettlesAfterEveryStep) {
    RecordingPlatform platform;
    platform.adapter_speed = 9600;
    SerialLink link(platform);
    ASSERT_EQ(link.Open(1, 115200, kAdapter), 1);
    const Log expected = {
        "open COM1",
        // Start-up at 38400 with both modem lines on.
        "speed 38400", "DTR on", "RTS on", "sleep 100",
        // The probe at 9600: RTS off, the echo of an earlier probe thrown away, the probe byte.
        "speed 9600", "RTS off", "sleep 100", "discard input", "write 0F", "sleep 100", "RTS on", "sleep 100",
        // The adapter answered: switch it to 115200 with 0x07 "6" "Q", RTS off throughout.
        "RTS off", "sleep 100", "write 07", "sleep 100", "write 36", "sleep 100", "write 51", "sleep 100",
        // Follow it, RTS back on.
        "speed 115200", "RTS on", "sleep 100"};
    EXPECT_EQ(platform.log, expected);
    EXPECT_EQ(platform.adapter_speed, 115200);
}

TEST(AdapterOpen, ProbeOrderSpeedChoiceAndDuration) {
    struct Case {
        const char* name;
        int32_t adapter_speed;  // 0: no adapter
        std::chrono::milliseconds echo_delay;
        int32_t requested;
        int32_t result;
        std::vector<int32_t> probes;
        std::vector<std::string> commands;
        int32_t final_speed;
        int64_t open_ms;
    };
    const std::vector<int32_t> all = {9600, 38400, 115200, 57600, 19200};
    const Case cases[] = {
        {"found_at_once", 9600, {}, 38400, 1, {9600}, {"07", "34", "51"}, 38400, 900},
        {"found_at_the_fourth_probe",
         57600,
         {},
         19200,
         1,
         {9600, 38400, 115200, 57600},
         {"07", "33", "51"},
         19200,
         1800},
        {"found_at_the_last_probe", 19200, {}, 57600, 1, all, {"07", "35", "51"}, 57600, 2100},
        {"unlisted_speed_is_9600_code_2", 38400, {}, 4800, 1, {9600, 38400}, {"07", "32", "51"}, 9600, 1200},
        {"no_adapter", 0, {}, 9600, -1, all, {}, 19200, 1600},
        {"echo_later_than_the_settle_delay",
         9600,
         std::chrono::milliseconds(150),
         9600,
         -1,
         all,
         {},
         19200,
         1600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingPlatform platform;
        platform.adapter_speed = c.adapter_speed;
        platform.echo_delay = c.echo_delay;
        SerialLink link(platform);
        const auto start = platform.now;
        EXPECT_EQ(link.Open(3, c.requested, kAdapter), c.result);
        EXPECT_EQ(RecordingPlatform::Ms(platform.now - start), c.open_ms);
        const OpenTrace trace = Trace(platform.log);
        EXPECT_EQ(trace.probe_speeds, c.probes);
        EXPECT_EQ(trace.commands, c.commands);
        EXPECT_TRUE(trace.commands_with_rts_off);
        EXPECT_TRUE(trace.every_sleep_is_a_settle_delay);
        EXPECT_EQ(platform.line_speed, c.final_speed);
        EXPECT_TRUE(platform.rts) << "RTS is on at every other time";
        EXPECT_EQ(link.IsOpen(), c.result == 1);
        EXPECT_EQ(platform.log.back() == "close", c.result != 1) << "a failed set-up closes the port";
    }
}

TEST(DirectOpen, SetsTheSpeedWithBothLinesOnAndSettlesOnce) {
    const struct {
        int32_t requested;
        int32_t speed;
    } cases[] = {{115200, 115200}, {4800, 9600}, {0, 9600}};
    for (const auto& c : cases) {
        RecordingPlatform platform;
        SerialLink link(platform);
        EXPECT_EQ(link.Open(2, c.requested, kDirect), 1);
        const Log expected = {"open COM2", "speed " + std::to_string(c.speed), "DTR on", "RTS on",
                              "sleep 100"};
        EXPECT_EQ(platform.log, expected) << c.requested;
    }
}

TEST(Open, RefusedPortNumbersTouchNoDeviceAndAnAbsentDeviceIsNotOpened) {
    RecordingPlatform platform;
    SerialLink link(platform);
    EXPECT_EQ(link.Open(0, 9600, kDirect), 0);
    EXPECT_EQ(link.Open(257, 9600, kAdapter), 0);
    EXPECT_TRUE(platform.log.empty());
    platform.device_present = false;
    EXPECT_EQ(link.Open(256, 9600, kDirect), 0);
    EXPECT_EQ(platform.log, Log{"open COM256"});
}

TEST(Write, GoesOutTwoMillisecondsAfterTheCallBegan) {
    RecordingPlatform platform;
    SerialLink link(platform);
    ASSERT_EQ(link.Open(1, 9600, kDirect), 1);
    platform.log.clear();
    EXPECT_TRUE(link.Write("VOL\r", 4, platform.now));
    EXPECT_EQ(platform.log, (Log{"sleep 2", "write 56 4F 4C 0D"}));
    // A call that began long enough ago does not wait again.
    platform.log.clear();
    EXPECT_TRUE(link.Write("ACK\r", 4, platform.now - std::chrono::milliseconds(5)));
    EXPECT_EQ(platform.log, (Log{"write 41 43 4B 0D"}));
}

TEST(DeviceState, GoneIsToldApartFromSilentAndStaysUntilClosed) {
    using Status = quorlin::ReadResult::Status;
    struct Case {
        const char* name;
        void (*fail)(RecordingPlatform&);
        void (*use)(SerialLink&);
        int32_t state;
    };
    auto read = [](SerialLink& link) { EXPECT_EQ(link.ReadLine(), -1); };
    const Case cases[] = {
        {"silent", [](RecordingPlatform&) {}, read, 1},
        {"read_fails_gone", [](RecordingPlatform& p) { p.read_status = Status::kGone; }, read, -1},
        {"read_fails_otherwise", [](RecordingPlatform& p) { p.read_status = Status::kFailed; }, read, 1},
        {"poll_reports_hang_up",
         [](RecordingPlatform& p) { p.wait_result = {.readable = true, .gone = true}; }, read, -1},
        {"poll_fails_otherwise", [](RecordingPlatform& p) { p.wait_result = {.failed = true}; }, read, 1},
        {"write_fails_gone", [](RecordingPlatform& p) { p.write_outcome = quorlin::WriteOutcome::kGone; },
         [](SerialLink& link) { EXPECT_FALSE(link.Write("ACK\r", 4, link.Now())); }, -1},
        {"write_times_out", [](RecordingPlatform& p) { p.write_outcome = quorlin::WriteOutcome::kFailed; },
         [](SerialLink& link) { EXPECT_FALSE(link.Write("ACK\r", 4, link.Now())); }, 1},
        {"purge_meets_gone", [](RecordingPlatform& p) { p.read_status = Status::kGone; },
         [](SerialLink& link) { link.Clear(); }, -1},
        {"device_says_gone_when_asked", [](RecordingPlatform& p) { p.gone_when_asked = true; },
         [](SerialLink&) {}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingPlatform platform;
        SerialLink link(platform);
        EXPECT_EQ(link.State(), 0);
        ASSERT_EQ(link.Open(1, 9600, kDirect), 1);
        EXPECT_EQ(link.State(), 1);
        c.fail(platform);
        c.use(link);
        EXPECT_EQ(link.State(), c.state);
        // The device looks well again: a gone device stays gone all the same, until the port is closed.
        platform = RecordingPlatform{};
        EXPECT_EQ(link.State(), c.state);
        EXPECT_TRUE(link.Close());
        EXPECT_EQ(link.State(), 0);
        ASSERT_EQ(link.Open(1, 9600, kDirect), 1);
        EXPECT_EQ(link.State(), 1);
    }
}

}  // namespace
