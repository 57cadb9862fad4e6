#pragma once
// The plotter models made by name: the one place that knows them all, so
// the session and the renderer choose a model without naming its class.

#include "hpgl/plotter.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

namespace plotanix {

// The HP-86B and 7470A models come with the stream's dialect told beside
// them (a hint naming the model that draws what they ignore); automatic is
// the HP-86B's until the stream tells another (told_plotter.h).
std::unique_ptr<Plotter> makePlotter(PlotterModel model, Paper paper, const PlotterParts& parts);
// The model alone, without the dialect told.
std::unique_ptr<Plotter> makeBarePlotter(PlotterModel model, Paper paper,
                                         const PlotterParts& parts);
// The model drawing for a plotter makePlotter made as made (for automatic:
// the one chosen so far), and that model itself.
PlotterModel modelInUse(const Plotter& plotter, PlotterModel made);
Plotter& drawingModel(Plotter& plotter);

// The models by the names --model and the settings take, in the order of
// PlotterModel: the one list the settings, the renderer and their help
// texts read.
struct ModelName {
    std::string_view text;
    PlotterModel value;
};
inline constexpr ModelName modelNames[] = {{"hp86b", PlotterModel::hp86b},
                                           {"7470a", PlotterModel::hp7470a},
                                           {"hpgl2", PlotterModel::hpgl2},
                                           {"pcl", PlotterModel::pcl},
                                           {"escp", PlotterModel::escp}};
// The names as a help text lists them.
inline constexpr std::string_view modelChoices = "hp86b, 7470a, hpgl2, pcl or escp";
// PlotterModel::automatic's name, which the live program takes besides
// those above (the renderer's own choice goes by the same word).
inline constexpr std::string_view automaticName = "auto";

// Whether the model is a printer (its page the area it printed) rather
// than a plotter.
inline constexpr bool isPrinter(PlotterModel model) {
    return model == PlotterModel::pcl || model == PlotterModel::escp;
}

// A model's name as --model takes it (hp86b, 7470a, hpgl2, pcl, escp,
// auto), and back (modelNamed knows the five models only).
std::string_view modelName(PlotterModel model);
std::optional<PlotterModel> modelNamed(std::string_view name);

// Whether the model knows this mnemonic, without making one.
bool plotterKnows(PlotterModel model, std::string_view mnemonic);

// The HP-86B model's reading of a stream, carrying nothing out: each
// mnemonic as the model takes it, and whether a label's text is being read.
// The transcript's reader follows it to know where the model's records stand.
class Hp86bReading {
  public:
    explicit Hp86bReading(std::function<void(std::string_view mnemonic)> taken);
    ~Hp86bReading();
    Hp86bReading(const Hp86bReading&) = delete;
    Hp86bReading& operator=(const Hp86bReading&) = delete;

    void take(uint8_t byte);
    bool inLabel() const;
    // As the model starts a new page: an instruction left open is forgotten.
    void restart();

  private:
    struct Follower;
    std::unique_ptr<Follower> follower_;
};

} // namespace plotanix
