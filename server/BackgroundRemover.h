#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vserver {

enum class OutputFormat { Png, Jpg };

struct Rgb {
    std::uint8_t r = 255;
    std::uint8_t g = 255;
    std::uint8_t b = 255;
};

struct RemovalOptions {
    OutputFormat format = OutputFormat::Png;
    // Composite onto this colour; without it a PNG keeps an alpha channel and
    // a JPG goes onto white.
    std::optional<Rgb> background;
};

// Separates the subject of a photo from its background with GrabCut. The cut
// runs on a copy of about 512 px (seeded by a cut on a half-size copy), with
// an outer band of the picture taken as background; its mask is scaled back
// to full size and feathered.
class BackgroundRemover final {
public:
    struct Settings {
        int workingSize = 512;         // long side of the copy GrabCut runs on
        int iterations = 5;            // most GrabCut iterations per pass
        double borderFraction = 0.05;  // width of the background band, per side
        int jpegQuality = 92;
    };

    explicit BackgroundRemover(Settings settings);
    BackgroundRemover() : BackgroundRemover(Settings{}) {}

    // Decoding refuses pictures above this many pixels: a file of a few
    // megabytes can declare a picture that would take gigabytes to hold.
    static constexpr std::int64_t kMaxPixels = 50'000'000;

    // The pixel size a PNG or JPEG file declares in its header, before any
    // rotation. Empty for other data, or when the header cannot be read.
    static std::optional<cv::Size> declaredSize(const std::string& bytes);

    // Decodes a PNG or JPEG file into an 8-bit BGR image with the EXIF
    // orientation applied. Empty when the bytes are not such an image, or it
    // has more than kMaxPixels.
    static cv::Mat decode(const std::string& bytes);

    // Full-size 8-bit alpha: 255 on the subject, 0 on the background,
    // feathered along the edge.
    cv::Mat foregroundAlpha(const cv::Mat& bgr) const;

    // The encoded result file. Throws cv::Exception or std::runtime_error
    // when encoding fails.
    std::vector<unsigned char> render(const cv::Mat& bgr, const RemovalOptions& options) const;

    // "#RRGGBB" (hexadecimal digits of either case).
    static std::optional<Rgb> parseColour(const std::string& text);
    // "png" or "jpg".
    static std::optional<OutputFormat> parseFormat(const std::string& text);
    static const char* extension(OutputFormat format);
    static const char* contentType(OutputFormat format);

private:
    static cv::Mat scaledToLongSide(const cv::Mat& image, int longSide);
    cv::Rect innerRect(cv::Size size) const;
    // Runs GrabCut on a labelled mask until the labels settle.
    static void cut(const cv::Mat& image, cv::Mat& mask, int maxIterations);

    Settings settings_;
};

}  // namespace vserver
