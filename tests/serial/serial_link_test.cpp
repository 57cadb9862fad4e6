// The serial link against a real pseudo-terminal pair: the test is the
// computer on the master side. Timing bounds are generous: these run under
// the sanitizers on a busy machine.

#include "serial/serial_link.h"
#include "support/pty_pair.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <grp.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace plotanix;
using namespace std::chrono_literals;
using plotanix::testing::PtyPair;
using plotanix::testing::waitUntil;
using Clock = std::chrono::steady_clock;

// The reason under "can't open the serial port", and for EACCES the remedy
// naming the device's own group.
TEST(SerialDevicePath, OpenErrorsComeWithTheirReason) {
    using plotanix::explainOpenError;
    using Lines = std::vector<std::string>;
    EXPECT_EQ(explainOpenError("/dev/x", EBUSY), Lines{"/dev/x: in use by another program"});
    EXPECT_EQ(explainOpenError("/dev/x", ENOENT), Lines{"/dev/x: No such file or directory"});
    EXPECT_EQ(explainOpenError("/dev/x", EACCES), Lines{"/dev/x: Permission denied"});
    EXPECT_EQ(explainOpenError("/dev/x", unsupportedSpeed), Lines{"/dev/x: unsupported speed"});
    EXPECT_EQ(openErrorReason(ENOTTY), "not a serial device");
    char path[] = "/tmp/plotanix-device-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    const group* owner = getgrnam("dialout");
    if (owner != nullptr && chown(path, static_cast<uid_t>(-1), owner->gr_gid) == 0) {
        EXPECT_EQ(explainOpenError(path, EACCES),
                  (Lines{std::string(path) + ": Permission denied",
                         "Add yourself to the group dialout (sudo usermod -aG dialout $USER), "
                         "then log in again."}));
    }
    unlink(path);
}

// The framing each setting asks for, as termios carries it to the driver (a
// pseudo-terminal keeps no framing, so the settings are checked here).
TEST(LineFraming, EachSettingGivesItsTerminalFlags) {
    const tcflag_t framing = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    struct Case {
        LineSettings line;
        tcflag_t cflag; // of the framing bits
        tcflag_t iflag; // of IXON, IXOFF
        speed_t speed;
        const char* shown;
    };
    const Case cases[] = {
        {{}, CS7, 0, B9600, "9600 7N1"},
        {{115200, 8, Parity::none, 1, FlowControl::none}, CS8, 0, B115200, "115200 8N1"},
        {{75, 7, Parity::even, 1, FlowControl::none}, CS7 | PARENB, 0, B75, "75 7E1"},
        {{2400, 7, Parity::odd, 2, FlowControl::none},
         CS7 | PARENB | PARODD | CSTOPB,
         0,
         B2400,
         "2400 7O2"},
        {{9600, 7, Parity::mark, 1, FlowControl::none},
         CS7 | PARENB | PARODD | CMSPAR,
         0,
         B9600,
         "9600 7M1"},
        {{9600, 8, Parity::space, 1, FlowControl::none},
         CS8 | PARENB | CMSPAR,
         0,
         B9600,
         "9600 8S1"},
        {{230400, 8, Parity::none, 1, FlowControl::xonxoff},
         CS8,
         IXON | IXOFF,
         B230400,
         "230400 8N1 xonxoff"},
        {{19200, 8, Parity::none, 1, FlowControl::rtscts},
         CS8 | CRTSCTS,
         0,
         B19200,
         "19200 8N1 rtscts"},
    };
    for (const Case& c : cases) {
        termios tio{};
        tio.c_cflag = framing; // whatever was set before is replaced
        tio.c_iflag = IXON | IXOFF | INPCK;
        ASSERT_TRUE(applyLineSettings(tio, c.line)) << c.shown;
        EXPECT_EQ(tio.c_cflag & framing, c.cflag) << c.shown;
        EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), c.iflag) << c.shown;
        // Errors arrive marked, never as NUL or as a garbled byte.
        EXPECT_NE(tio.c_iflag & PARMRK, 0U) << c.shown;
        EXPECT_NE(tio.c_iflag & INPCK, 0U) << c.shown;
        EXPECT_EQ(cfgetospeed(&tio), c.speed) << c.shown;
        EXPECT_EQ(describeLine(c.line), c.shown);
    }
    for (const LineSettings bad : {LineSettings{12345}, LineSettings{9600, 9}}) {
        termios tio{};
        EXPECT_FALSE(applyLineSettings(tio, bad)) << bad.baud << " " << bad.dataBits;
    }
}

// A byte that came with a framing or parity error is dropped and counted,
// however the marks fall between reads; a real 0xFF stays one byte.
TEST(LineFraming, MarkedErrorsAreCountedAndDropped) {
    struct Case {
        std::vector<std::string> reads;
        std::string data;
        int64_t errors;
    };
    const Case cases[] = {
        {{"PA1,1;"}, "PA1,1;", 0},
        {{std::string("\xff\0P\xff\0A", 6)}, "", 2},
        {{std::string("P\xff\0\x81"
                      "A",
                      5)},
         "PA",
         1},
        {{std::string("\xff\0\0", 3)}, "", 1}, // a break
        {{"\xff\xff", "x"}, "\xffx", 0},
        {{"P\xff", std::string("\0", 1), "QA"}, "PA", 1},
        {{"\xff", "\xff"}, "\xff", 0},
    };
    for (const Case& c : cases) {
        MarkedInput marks;
        std::string data;
        for (std::string read : c.reads) {
            auto* bytes = reinterpret_cast<uint8_t*>(read.data());
            data.append(read.data(), marks.decode(bytes, read.size()));
        }
        EXPECT_EQ(data, c.data) << ::testing::PrintToString(c.reads);
        EXPECT_EQ(marks.errors(), c.errors) << ::testing::PrintToString(c.reads);
    }
}

class SerialLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok()) << pty.error();
        ASSERT_TRUE(link.openSerialPort(pty.slavePath()));
    }
    // One readSerial of up to n bytes, and how long it took.
    std::string readChunk(int n = 256, long long* ms = nullptr) {
        std::string buffer(static_cast<size_t>(n), '\0');
        const auto start = Clock::now();
        const int got =
            link.readSerial(std::span(reinterpret_cast<uint8_t*>(buffer.data()), buffer.size()));
        if (ms != nullptr) *ms = (Clock::now() - start) / 1ms;
        buffer.resize(static_cast<size_t>(std::max(got, 0)));
        return buffer;
    }

    PtyPair pty;
    SerialLink link;
};

// A second opener is refused, and its calls do nothing.
TEST_F(SerialLinkTest, TakesTheLineAtNineThousandSixHundredBaudAndHoldsItAlone) {
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.masterFd(), &tio), 0); // the slave's settings
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & (CSTOPB | CRTSCTS), 0U);
    SerialLink second;
    EXPECT_FALSE(second.openSerialPort(pty.slavePath()));
    uint8_t buffer[1];
    EXPECT_EQ(second.readSerial(buffer) + second.writeSerial("OI\r\n"), 0);
    link.closeSerialPort();
    EXPECT_TRUE(second.openSerialPort(pty.slavePath()));
}

// Silence ends a read after 10 ms a byte asked for plus 100 ms.
TEST_F(SerialLinkTest, SilenceEndsAReadAfterItsTotalTime) {
    for (const auto& [n, atLeast, atMost] :
         {std::tuple(256, 2550, 3300), std::tuple(1, 100, 700)}) {
        long long ms = 0;
        EXPECT_EQ(readChunk(n, &ms), "");
        EXPECT_GE(ms, atLeast) << n;
        EXPECT_LE(ms, atMost) << n;
    }
}

TEST_F(SerialLinkTest, APauseOverTheIntervalSplitsTheStream) {
    std::thread computer([&] {
        pty.writeMaster("0123456789");
        std::this_thread::sleep_for(150ms);
        pty.writeMaster("abcdefghij");
    });
    EXPECT_EQ(readChunk(), "0123456789");
    EXPECT_EQ(readChunk(), "abcdefghij");
    computer.join();
}

TEST_F(SerialLinkTest, QueuedBytesAreTakenWithoutWaitingForTheTotalTime) {
    std::string sent;
    for (int i = 0; i < 300; ++i)
        sent += static_cast<char>('A' + i % 26);
    ASSERT_TRUE(pty.writeMaster(sent));
    ASSERT_TRUE(waitUntil([&] { return link.serialInputWaiting() == 300; }));
    long long ms = 0, restMs = 0;
    const std::string first = readChunk(256, &ms), rest = readChunk(256, &restMs);
    EXPECT_LT(ms, 500);
    EXPECT_LT(restMs, 1000);
    EXPECT_EQ(first.size(), 256U);
    EXPECT_EQ(first + rest, sent);
}

TEST_F(SerialLinkTest, EveryByteValuePassesUnchangedBothWays) {
    std::string all;
    for (int b = 0; b < 0x80; ++b)
        all += static_cast<char>(b);
    ASSERT_TRUE(pty.writeMaster(all));
    std::string received;
    for (int i = 0; i < 20 && received.size() < all.size(); ++i)
        received += readChunk();
    EXPECT_EQ(received, all);
    // XOFF (0x13) has just come in: with flow control on, this would stall.
    const std::string text = all.substr(1); // NUL ends a text
    EXPECT_EQ(link.writeSerial(text.c_str()), 127);
    EXPECT_EQ(pty.readMaster(text.size(), 3s), text);
}

// With XON/XOFF flow control the host's XON and XOFF pace the replies and
// never reach the plotter.
TEST(SerialLinkFlow, XonAndXoffAreFlowControlNotData) {
    PtyPair pty;
    SerialLink link;
    ASSERT_TRUE(
        link.openSerialPort(pty.slavePath(), {9600, 8, Parity::none, 1, FlowControl::xonxoff}));
    ASSERT_TRUE(pty.writeMaster("PA1,1;\x13\x11OI;"));
    std::string received;
    uint8_t buffer[256];
    for (int i = 0; i < 10 && received.size() < 9; ++i)
        received.append(reinterpret_cast<char*>(buffer),
                        static_cast<size_t>(link.readSerial(buffer)));
    EXPECT_EQ(received, "PA1,1;OI;");
}

// The host asks for XON/XOFF (the 7470A's ESC.H) while the line is open:
// from then on the driver takes them, until the request is withdrawn; the
// request outlives a reopening.
TEST(SerialLinkFlow, TheHostsRequestTakesHoldAtOnceAndOutlivesAReopening) {
    PtyPair pty;
    SerialLink link;
    ASSERT_TRUE(link.openSerialPort(pty.slavePath(), {9600, 8, Parity::none, 1}));
    const auto passes = [&](const std::string& sent) {
        EXPECT_TRUE(pty.writeMaster(sent));
        std::string received;
        uint8_t buffer[256];
        for (int i = 0; i < 3; ++i)
            received.append(reinterpret_cast<char*>(buffer),
                            static_cast<size_t>(link.readSerial(std::span(buffer).first(4))));
        return received;
    };
    const auto ixon = [&] {
        termios tio{};
        EXPECT_EQ(tcgetattr(pty.masterFd(), &tio), 0);
        return (tio.c_iflag & IXON) != 0;
    };
    EXPECT_EQ(passes("A\x13\x11"
                     "B"),
              "A\x13\x11"
              "B");
    link.requestFlowControl(FlowControl::xonxoff);
    EXPECT_TRUE(ixon());
    EXPECT_EQ(passes("A\x13\x11"
                     "B"),
              "AB");
    EXPECT_EQ(link.flowControl(), FlowControl::xonxoff);
    link.closeSerialPort();
    ASSERT_TRUE(link.openSerialPort(pty.slavePath(), {9600, 8, Parity::none, 1}));
    EXPECT_TRUE(ixon());
    link.requestFlowControl(FlowControl::none);
    EXPECT_FALSE(ixon());
    EXPECT_EQ(passes("A\x13\x11"
                     "B"),
              "A\x13\x11"
              "B");
}

// The stable names under /dev/serial/by-id are long links to the device.
TEST(SerialLinkFlow, APortOfAnyLengthIsFollowedToItsDevice) {
    PtyPair pty;
    char dir[] = "/tmp/plotanix-by-id-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string link =
        std::string(dir) + "/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0" + std::string(40, 'x');
    ASSERT_EQ(symlink(pty.slavePath().c_str(), link.c_str()), 0);
    SerialLink line;
    EXPECT_TRUE(line.openSerialPort(link)) << line.openError();
    line.closeSerialPort();
    unlink(link.c_str());
    rmdir(dir);
}

// The program's signal pipe: a read ends at once and takes nothing more
// while it stands, so a computer that keeps sending cannot hold up an ending.
TEST_F(SerialLinkTest, TheInterruptDescriptorCutsAReadShort) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    link.setInterruptDescriptor(pipeFds[0]);
    std::thread signalArrives([&] {
        std::this_thread::sleep_for(100ms);
        ASSERT_EQ(write(pipeFds[1], "x", 1), 1);
    });
    long long ms = 0;
    EXPECT_EQ(readChunk(256, &ms), "");
    signalArrives.join();
    EXPECT_LT(ms, 1500);
    pollfd still = {pipeFds[0], POLLIN, 0};
    EXPECT_EQ(poll(&still, 1, 0), 1) << "the read must not consume the interrupt";

    ASSERT_TRUE(pty.writeMaster("12345"));
    ASSERT_TRUE(waitUntil([&] { return link.serialInputWaiting() == 5; }));
    EXPECT_EQ(readChunk(256, &ms), "");
    EXPECT_LT(ms, 90);
    link.setInterruptDescriptor(-1);
    EXPECT_EQ(readChunk(5), "12345");
    close(pipeFds[0]);
    close(pipeFds[1]);
}

// The turnaround delay: the bytes go out after it, or as soon as the signal
// pipe becomes readable, so a reply's delay never holds up an ending.
TEST_F(SerialLinkTest, ASignalEndsTheTurnaroundDelay) {
    auto start = Clock::now();
    EXPECT_EQ(link.writeSerialAfter(200, "A"), 1);
    EXPECT_GE(Clock::now() - start, 200ms);
    EXPECT_EQ(pty.readMaster(1, 3s), "A");
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    link.setInterruptDescriptor(pipeFds[0]);
    std::thread signalArrives([&] {
        std::this_thread::sleep_for(100ms);
        ASSERT_EQ(write(pipeFds[1], "x", 1), 1);
    });
    start = Clock::now();
    EXPECT_EQ(link.writeSerialAfter(60000, "B"), 1);
    signalArrives.join();
    EXPECT_LT(Clock::now() - start, 10s);
    EXPECT_EQ(pty.readMaster(1, 3s), "B");
    close(pipeFds[0]);
    close(pipeFds[1]);
}

} // namespace
