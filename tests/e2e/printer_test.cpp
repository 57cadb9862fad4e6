// An instrument printing to plotanix --model pcl on each kind of line: a
// serial line at 8N1 with XON/XOFF (the raster holding 0x11 and 0x13), an
// HP-IB adapter listening only or at the printer's address, and a LAN
// printer's raw port. Each print is
// saved as the page the model draws in process, and the transcript keeps
// its bytes exactly.

#include "plotter_harness.h"
#include "support/adapter_on_usb.h"
#include "support/loopback.h"
#include "support/printer_plot.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>
#include <tuple>

namespace plotanix::testing {
namespace {

// A screen's hard copy: a caption, then raster at 100 dpi in methods 0 and
// 2 whose bytes include XON, XOFF, CR, LF and ESC, then a form feed.
std::string screenPrint() {
    std::string s = "\x1b"
                    "E\x1b*t100R\r\nCH1 500mV\r\n\x1b*r0A";
    for (int y = 0; y < 40; ++y) {
        const char a = static_cast<char>(y % 2 ? 0x11 : 0x13);
        s += "\x1b*b0m6W" + std::string{a, '\x0d', '\x0a', '\x1b', a, static_cast<char>(y)};
        s += "\x1b*b2m3W" + std::string{static_cast<char>(0xFD), a, 0x00};
    }
    return s + "\x1b*rB\f";
}

// The saved page is the one the model draws for the same bytes.
void expectPrinted(const std::string& file, const std::string& print) {
    PrinterPlot expected(PlotterModel::pcl);
    expected.print(print);
    const PageImage& page = expected.page();
    const DecodedPng png = readPng(file);
    ASSERT_EQ(png.width, static_cast<uint32_t>(page.width)) << "the printed area's width";
    ASSERT_EQ(png.height, static_cast<uint32_t>(page.height)) << "the printed area's height";
    long differing = 0;
    for (int y = 0; y < page.height; ++y) {
        for (int x = 0; x < page.width; ++x) {
            const Colour c = page.pixel(x, y); // red in the low byte
            const uint32_t rgb = (c & 0xFF) << 16 | (c & 0xFF00) | (c >> 16 & 0xFF);
            differing += png.pixel(static_cast<uint32_t>(x), static_cast<uint32_t>(y)) != rgb;
        }
    }
    EXPECT_EQ(differing, 0) << "pixels unlike the model's page";
}

TEST(Printing, OnASerialLineAt8N1WithXonXoffTheRasterKeepsItsXonAndXoffBytes) {
    UnattendedPlotter plotanix;
    ASSERT_TRUE(plotanix.start("--model pcl --databits 8 --flow xonxoff --page-gap 1"));
    const std::string print = screenPrint();
    ASSERT_TRUE(plotanix.line.writeMaster(print));
    ASSERT_TRUE(plotanix.saved(1)) << plotanix.journal();
    expectPrinted(plotanix.pages.file(savedPageName(1)), print);
    EXPECT_EQ(plotanix.end(), 0) << plotanix.errors();
    EXPECT_EQ(readFile(plotanix.pages.file("PLOTTER.TXT")),
              transcript::modelMarker("pcl") + print + marker("SAVE PAGE #1") + marker("NEW PAGE"))
        << "every byte kept, binary data included";
}

// A talk-only instrument with the adapter listening only, and one that
// addresses the printer with the adapter at the printer's address.
TEST(Printing, AnInstrumentPrintsThroughTheAdapterListeningOnlyOrAtAnAddress) {
    const std::tuple<std::string, int, std::string> cases[] = {
        {"listen", 1, "On HP-IB, listening only"},
        {"5", 5, "On HP-IB address 5"},
    };
    for (const auto& [gpib, at, answered] : cases) {
        const int address = at; // a lambda takes no structured binding
        const std::string bus = gpib;
        AdapterOnUsb adapter(std::chrono::milliseconds(300));
        UnattendedPlotter plotanix;
        ASSERT_TRUE(plotanix.start(
            "--gpib " + gpib + " " + adapter.path() + " --model pcl --page-gap 1", "", true));
        ASSERT_TRUE(plotanix.said(answered)) << plotanix.journal();
        const std::string print = screenPrint();
        adapter.look([&](sim::SimulatedAdapter& a) {
            EXPECT_TRUE(a.computerSends(address, print)) << bus;
        });
        ASSERT_TRUE(plotanix.saved(1)) << gpib << ": " << plotanix.journal();
        expectPrinted(plotanix.pages.file(savedPageName(1)), print);
        EXPECT_EQ(plotanix.end(), 0) << plotanix.errors();
    }
}

TEST(Printing, AnInstrumentPrintsToTheRawPrinterPortOverTheLan) {
    const int port = [] {
        LoopbackServer probe;
        return probe.port;
    }();
    UnattendedPlotter plotanix;
    ASSERT_TRUE(plotanix.start(
        "--port tcp-listen:" + std::to_string(port) + " --model pcl --page-gap 1", "", true));
    const std::string print = screenPrint();
    {
        UniqueFd instrument;
        ASSERT_TRUE(waitUntil([&] { return (instrument = connectTo(port)).valid(); }));
        ASSERT_TRUE(sendAll(instrument.get(), print));
    } // the job ends with the connection
    ASSERT_TRUE(plotanix.saved(1)) << plotanix.journal();
    expectPrinted(plotanix.pages.file(savedPageName(1)), print);
    EXPECT_EQ(plotanix.end(), 0) << plotanix.errors();
}

} // namespace
} // namespace plotanix::testing
