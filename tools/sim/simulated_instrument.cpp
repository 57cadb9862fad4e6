#include "simulated_instrument.h"

#include <algorithm>
#include <cmath>

namespace plotanix::sim {

namespace {

std::string number(double value) {
    return std::to_string(std::lround(value));
}

// A graticule of 10 by 8 divisions in user units 0..1000 by 0..800.
std::string graticule() {
    std::string plot = "SP1;PU0,0;PD1000,0,1000,800,0,800,0,0;";
    for (int x = 100; x < 1000; x += 100)
        plot += "PU" + std::to_string(x) + ",0;PD" + std::to_string(x) + ",800;";
    for (int y = 100; y < 800; y += 100)
        plot += "PU0," + std::to_string(y) + ";PD1000," + std::to_string(y) + ";";
    return plot;
}

// A trace of points across the graticule, level(x) from 0 to 1.
template <typename Level> std::string trace(int pen, Level level) {
    std::string plot = "SP" + std::to_string(pen) + ";";
    for (int x = 0; x <= 1000; x += 10) {
        plot += (x == 0    ? "PU"
                 : x == 10 ? "PD"
                           : ",") +
                std::to_string(x) + "," + number(800 * std::clamp(level(x / 1000.0), 0.0, 1.0));
        if (x == 0) plot += ";";
    }
    return plot + ";PU;";
}

} // namespace

void SimulatedInstrument::answers(std::string trigger, std::vector<Message> messages) {
    answers_.push_back({std::move(trigger), std::move(messages)});
}

void SimulatedInstrument::hear(std::string_view bytes) {
    heard_ += bytes;
    heardLine_ += bytes;
    // Each command line ends at its LF (the adapter's terminator).
    size_t end = 0;
    while ((end = heardLine_.find('\n')) != std::string::npos) {
        const std::string line = heardLine_.substr(0, end);
        heardLine_.erase(0, end + 1);
        if (!endless_.empty()) talking_ = true;
        for (const Answer& answer : answers_) {
            if (line.find(answer.trigger) == std::string::npos) continue;
            if (saying_.empty()) nextAt_ = Clock::now() + answer.messages.front().gap;
            saying_.insert(saying_.end(), answer.messages.begin(), answer.messages.end());
        }
    }
}

SimulatedInstrument::Talk SimulatedInstrument::talk(size_t most) {
    if (talking_) {
        Talk talk;
        while (talk.bytes.size() + endless_.size() <= most)
            talk.bytes += endless_;
        return talk;
    }
    const auto now = Clock::now();
    if (saying_.empty() || now < nextAt_) return {};
    Message& message = saying_.front();
    Talk talk{message.bytes.substr(said_, most), false};
    said_ += talk.bytes.size();
    if (said_ < message.bytes.size()) return talk;
    talk.eoi = message.eoi;
    const bool goesOn = message.eoi;
    saying_.pop_front();
    said_ = 0;
    // One that stops in the middle says nothing more.
    if (!goesOn) saying_.clear();
    if (!saying_.empty()) nextAt_ = now + saying_.front().gap;
    return talk;
}

std::vector<std::string> hp8753Records() {
    std::vector<std::string> records = {"\x03;;;;DF;IM;", "IP250,279,10250,7479;SC0,1000,0,800;"};
    records.push_back(graticule());
    // A band-pass filter's transmission, in pieces as the analyzer sends it.
    const std::string response = trace(2, [](double x) {
        const double detune = (x - 0.5) * 12;
        return 0.85 / std::sqrt(1 + detune * detune * detune * detune);
    });
    for (size_t at = 0; at < response.size(); at += 400)
        records.push_back(response.substr(at, 400));
    records.push_back("SP1;PA20,760;LBCH1: S21  log MAG  10 dB/  REF 0 dB\x03;"
                      "PA20,20;LBSTART 100.000 MHz      STOP 200.000 MHz\x03;");
    records.push_back("PA0 ,0 PU");
    return records;
}

std::string spectrumPlot() {
    return "IN;IP250,279,10250,7479;SC0,1000,0,800;" + graticule() +
           trace(3,
                 [](double x) {
                     const double peak = std::exp(-std::pow((x - 0.5) * 60, 2));
                     const double harmonic = 0.4 * std::exp(-std::pow((x - 0.8) * 60, 2));
                     return 0.08 + 0.03 * std::sin(x * 377) + 0.8 * peak + harmonic;
                 }) +
           "SP1;PA20,760;LBREF 0.0 dBm  ATTEN 10 dB  10 dB/\x03;PA20,20;"
           "LBCENTER 100.0 MHz  SPAN 20.0 MHz\x03;SP0;";
}

std::vector<std::string> hp3577aMessages() {
    return {"IN;IP250,279,10250,7479;SC0,1000,0,800;" + graticule(),
            trace(2, [](double x) { return 0.5 + 0.3 * std::cos(x * 9); }) + "SP0;"};
}

SimulatedInstrument instrumentFor(std::string_view recipe, int address,
                                  std::chrono::milliseconds gap) {
    SimulatedInstrument instrument(address);
    auto messages = [gap](const std::vector<std::string>& parts) {
        std::vector<SimulatedInstrument::Message> list;
        for (const std::string& part : parts)
            list.push_back({part, gap, true});
        return list;
    };
    if (recipe == "hp8753") {
        instrument.answers("OPC?;SING;", {{"1\n", gap, true}});
        instrument.answers("OUTPPLOT;", messages(hp8753Records()));
    } else if (recipe == "hp8566b" || recipe == "hp8568b") {
        instrument.answers("PLOT 0,0,40000,40000", messages({spectrumPlot()}));
    } else if (recipe == "hp8560e") {
        instrument.answers("PLOT 550,279,9750,7479;", messages(hp8753Records()));
    } else if (recipe == "hp3577a") {
        instrument.answers("PLA", messages(hp3577aMessages()));
    } else if (recipe == "tek-tds") {
        instrument.answers("HARDCopy STARt", messages({spectrumPlot()}));
    }
    return instrument;
}

std::string plotOf(std::string_view recipe) {
    std::vector<std::string> parts;
    if (recipe == "hp8753" || recipe == "hp8560e") parts = hp8753Records();
    if (recipe == "hp8566b" || recipe == "hp8568b" || recipe == "tek-tds") parts = {spectrumPlot()};
    if (recipe == "hp3577a") parts = hp3577aMessages();
    std::string plot;
    for (const std::string& part : parts)
        plot += part;
    return plot;
}

} // namespace plotanix::sim
