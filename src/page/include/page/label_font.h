#pragma once
// The label font: "Courier New" at 12 points, resolved through fontconfig
// (Liberation Mono stands in for it on Debian) and rendered with FreeType.
// The page is measured in pixels, so the em height is taken at 96 dots per
// inch whatever the monitor: 16 pixels for 12 points.

#include <memory>
#include <string>

namespace plotanix {

class PageFont {
  public:
    ~PageFont();
    PageFont(const PageFont&) = delete;
    PageFont& operator=(const PageFont&) = delete;

    int emHeight() const;                // pixels
    const std::string& filePath() const; // the face file fontconfig chose

    struct Impl;
    Impl& impl() const { return *impl_; }

  private:
    friend std::unique_ptr<PageFont> loadFont(const std::string& face, int points);
    explicit PageFont(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// The face, or a monospaced substitute; nullptr when no usable face exists
// (labels are then not drawn).
std::unique_ptr<PageFont> loadFont(const std::string& face, int points);

} // namespace plotanix
