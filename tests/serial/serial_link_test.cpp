// The serial link against a real pseudo-terminal pair: the test is the
// computer on the master side. Timing bounds are generous: these run under
// the sanitizers on a busy machine.

#include "line_served.h"
#include "serial/serial_link.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <grp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace plotanix;
using namespace std::chrono_literals;
using plotanix::testing::PtyPair;
using plotanix::testing::serve;
using plotanix::testing::Served;
using plotanix::testing::waitUntil;
using Clock = std::chrono::steady_clock;

// The reason under "can't open the serial port", and for EACCES the remedy
// naming the device's own group.
TEST(SerialDevicePath, OpenErrorsComeWithTheirReason) {
    using plotanix::explainOpenError;
    using Lines = std::vector<std::string>;
    EXPECT_EQ(explainOpenError("/dev/x", EBUSY), Lines{"/dev/x: in use by another program"});
    EXPECT_EQ(explainOpenError("/dev/x", ENOENT, "/nonexistent", "/nonexistent"),
              Lines{"/dev/x: No such file or directory; no serial devices found"});
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

// A device not there: the serial devices that are, from a /dev and a /sys
// of the test's own: adapters, their names by id, and the ttyS ports with a
// UART; not the consoles, nor the ttyS the kernel makes for every possible
// port.
TEST(SerialDevicePath, AMissingDeviceListsThoseThatAreThere) {
    plotanix::testing::TempDir root;
    const auto make = [&](const std::string& path, const std::string& text = "") {
        std::filesystem::create_directories(std::filesystem::path(root.file(path)).parent_path());
        plotanix::testing::writeFile(root.file(path), text);
    };
    for (const char* device :
         {"dev/ttyUSB10", "dev/ttyUSB2", "dev/ttyACM0", "dev/ttyS0", "dev/ttyS1", "dev/ttyS2",
          "dev/tty0", "dev/console", "dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0"})
        make(device);
    for (const auto& [port, type] : {std::pair{"ttyS0", "4\n"}, {"ttyS1", "0\n"}})
        make("sys/class/tty/" + std::string(port) + "/type", type);
    const std::vector<std::string> present = {"/dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0",
                                              "/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyUSB2",
                                              "/dev/ttyUSB10"};
    EXPECT_EQ(serialDevicesPresent(root.file("dev"), root.file("sys")), present);
    EXPECT_EQ(explainOpenError("/dev/ttyUSB0", ENOENT, root.file("dev"), root.file("sys")),
              std::vector<std::string>{
                  "/dev/ttyUSB0: No such file or directory; serial devices here: "
                  "/dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0, /dev/ttyACM0, /dev/ttyS0, "
                  "/dev/ttyUSB2, /dev/ttyUSB10"});
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

// What the line delivers within the time, as the program takes it.
std::string takeAvailable(SerialLink& link, size_t n, std::chrono::milliseconds within = 3s) {
    return serve(
               link, [n](const Served& s) { return s.bytes.size() >= n; }, {}, within)
        .bytes;
}

// The queued replies written when their time has come and the line takes
// them: false when the time is up first.
bool sendQueued(SerialLink& link, std::chrono::milliseconds within = 3s) {
    const auto sent = [&](const Served&) { return !link.replyDue() && !link.replyWaitsForRoom(); };
    serve(link, sent, {}, within);
    return sent({});
}

class SerialLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok()) << pty.error();
        ASSERT_TRUE(link.openSerialPort(pty.slavePath()));
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
    EXPECT_EQ(second.readAvailable(buffer), -1);
    EXPECT_EQ(second.writeSerial("OI\r\n"), 0);
    EXPECT_FALSE(second.replyDue());
    link.closeSerialPort();
    EXPECT_TRUE(second.openSerialPort(pty.slavePath()));
}

// A tty that hangs up (a USB adapter pulled out) gives empty reads, as a
// quiet one does: the hang-up is the line lost at once, not silence.
TEST_F(SerialLinkTest, AHangUpIsTheLineLostAtOnce) {
    if (ioctl(link.fileDescriptor(), TIOCVHANGUP) != 0)
        GTEST_SKIP() << "no hang-up without CAP_SYS_ADMIN: " << std::strerror(errno);
    uint8_t buffer[16];
    bool arrived = true;
    EXPECT_EQ(link.readAvailable(buffer, &arrived), -1);
    EXPECT_FALSE(arrived);
    EXPECT_TRUE(link.lineLost());
}

// A chunk's read ends 100 ms after its latest byte, or 10 ms a byte asked
// for plus 100 ms after it began, whichever comes first.
TEST(ReadTiming, AChunkEndsAfterItsIntervalOrItsTotalTime) {
    const Clock::time_point start{};
    const struct {
        int maxCount;
        std::vector<int> arrivalsMs;
        int deadlineMs;
    } cases[] = {
        {256, {}, 2660},         {1, {}, 110},     {256, {0}, 100},
        {256, {0, 50, 90}, 190}, {10, {150}, 200}, {1, {50}, 110},
    };
    for (const auto& c : cases) {
        ReadTiming timing(start, c.maxCount);
        for (const int ms : c.arrivalsMs)
            timing.byteArrived(start + std::chrono::milliseconds(ms));
        EXPECT_EQ(timing.deadline() - start, std::chrono::milliseconds(c.deadlineMs))
            << c.maxCount << " " << ::testing::PrintToString(c.arrivalsMs);
    }
}

TEST_F(SerialLinkTest, QueuedBytesAreTakenWithoutWaiting) {
    std::string sent;
    for (int i = 0; i < 300; ++i)
        sent += static_cast<char>('A' + i % 26);
    ASSERT_TRUE(pty.writeMaster(sent));
    ASSERT_TRUE(waitUntil([&] { return link.serialInputWaiting() == 300; }));
    uint8_t buffer[256];
    const auto start = Clock::now();
    EXPECT_EQ(link.readAvailable(buffer), 256);
    EXPECT_EQ(link.readAvailable(buffer), 44);
    EXPECT_EQ(link.readAvailable(buffer), 0);
    EXPECT_LT(Clock::now() - start, 500ms);
}

// Data the adapter's set-up read and gave back comes first, as it was: its
// marks were already taken out, and a 0xFF in it is a data byte.
TEST_F(SerialLinkTest, DataGivenBackComesFirstAndUnchanged) {
    ASSERT_TRUE(pty.writeMaster("B"));
    link.unread(std::string("\xff\0A", 3));
    EXPECT_EQ(takeAvailable(link, 4), std::string("\xff\0AB", 4));
}

TEST_F(SerialLinkTest, EveryByteValuePassesUnchangedBothWays) {
    std::string all;
    for (int b = 0; b < 0x80; ++b)
        all += static_cast<char>(b);
    ASSERT_TRUE(pty.writeMaster(all));
    EXPECT_EQ(takeAvailable(link, all.size()), all);
    // XOFF (0x13) has just come in: with flow control on, this would stall.
    EXPECT_EQ(link.writeSerial(all), 128);
    EXPECT_TRUE(sendQueued(link));
    EXPECT_EQ(pty.readMaster(all.size(), 3s), all);
}

// A reply waits in the queue, never in the call: its delay counts from
// when it was written (or from when the reply before it went), the bytes
// after it wait their turn, and the line's drain is waited for without
// anyone sleeping.
TEST_F(SerialLinkTest, RepliesAreQueuedWithTheirDelayAndGoInOrder) {
    auto start = Clock::now();
    link.waitOutputDrained();
    EXPECT_EQ(link.writeSerialAfter(300, "7"), 1);
    link.waitOutputDrained();
    EXPECT_EQ(link.writeSerial("470A\r"), 5);
    link.replyComplete();
    EXPECT_EQ(link.writeSerialAfter(100, "2"), 1);
    EXPECT_EQ(link.writeSerial("4\r"), 2);
    link.replyComplete();
    EXPECT_LT(Clock::now() - start, 100ms) << "a call waited";
    link.sendReplies(Clock::now());
    EXPECT_EQ(pty.masterInputWaiting(), 0) << "sent before its delay";
    ASSERT_TRUE(link.replyDue());
    EXPECT_GE(*link.replyDue() - start, 300ms);
    EXPECT_LT(*link.replyDue() - start, 400ms);
    EXPECT_TRUE(sendQueued(link));
    EXPECT_GE(Clock::now() - start, 400ms) << "the second delay runs after the first reply";
    EXPECT_EQ(pty.readMaster(9, 3s), "7470A\r24\r");

    // The longest delay holds the queue; dropping it (the line gone) frees it.
    start = Clock::now();
    EXPECT_EQ(link.writeSerialAfter(54612, "X"), 1);
    EXPECT_LT(Clock::now() - start, 100ms);
    EXPECT_FALSE(sendQueued(link, 200ms));
    link.closeSerialPort();
    EXPECT_FALSE(link.replyDue());
}

// A host that reads no reply cannot grow the queue without bound: past the
// limit, new replies are dropped whole, never cut, and that is said once.
TEST_F(SerialLinkTest, RepliesNobodyReadsAreBoundedAndDroppedWhole) {
    std::vector<std::string> notes;
    link.onNote([&](const std::string& text) { notes.push_back(text); });
    const std::string reply(1000, 'r');
    for (int i = 0; i < 200; ++i) {
        link.writeSerial(reply.substr(0, 500));
        link.writeSerial(reply.substr(500));
        link.replyComplete();
    }
    EXPECT_EQ(notes.size(), 1u);
    // 66 replies of 1,000 bytes are taken before 64 KiB are queued.
    std::string received;
    const auto deadline = Clock::now() + 10s;
    while (Clock::now() < deadline && (link.replyDue() || link.replyWaitsForRoom())) {
        link.sendReplies(Clock::now());
        received += pty.readMaster(4096, 10ms);
    }
    received += pty.readMaster(66000 - received.size(), 1s);
    EXPECT_EQ(received.size(), 66000u);
}

// The host asks for XON/XOFF (the 7470A's ESC.H) while the line is open:
// from then on the driver takes them, until the request is withdrawn; the
// request outlives a reopening.
TEST(SerialLinkFlow, TheHostsRequestTakesHoldAtOnceAndOutlivesAReopening) {
    PtyPair pty;
    SerialLink link;
    ASSERT_TRUE(link.openSerialPort(pty.slavePath(), {9600, 8, Parity::none, 1}));
    // What reaches the plotter of the bytes sent, up to the "." that ends them.
    const auto passes = [&](const std::string& sent) {
        EXPECT_TRUE(pty.writeMaster(sent + "."));
        std::string received;
        waitUntil([&] {
            received += takeAvailable(link, 1, 10ms);
            return received.ends_with('.');
        });
        return received.substr(0, received.find('.'));
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

// A printer asks for XON and XOFF inbound only: on a line set up with them
// the driver paces the host (IXOFF) but takes none out of the data (no
// IXON): raster rows hold 0x11 and 0x13. A line set up without keeps none.
TEST(SerialLinkFlow, APrinterPacesTheHostAndKeepsXonAndXoffInItsData) {
    for (const FlowControl setUp : {FlowControl::xonxoff, FlowControl::none}) {
        PtyPair pty;
        SerialLink link;
        ASSERT_TRUE(link.openSerialPort(pty.slavePath(), {9600, 8, Parity::none, 1, setUp}));
        link.requestFlowControl(FlowControl::inboundXonxoff);
        termios tio{};
        ASSERT_EQ(tcgetattr(pty.masterFd(), &tio), 0);
        const bool xonxoff = setUp == FlowControl::xonxoff;
        EXPECT_EQ((tio.c_iflag & IXOFF) != 0, xonxoff) << "the host is paced when set up so";
        EXPECT_EQ(tio.c_iflag & IXON, 0u) << "no XON or XOFF is taken from the data";
        EXPECT_TRUE(pty.writeMaster("A\x13\x11"
                                    "B."));
        std::string received;
        waitUntil([&] {
            received += takeAvailable(link, 1, 10ms);
            return received.ends_with('.');
        });
        EXPECT_EQ(received, "A\x13\x11"
                            "B.")
            << "set up with xonxoff: " << xonxoff;
    }
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

} // namespace
