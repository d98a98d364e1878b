#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vserver {

class SegmentationNets;

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

// Separates the subject of a photo from its background. With a segmentation network the network
// tells the subject's likelihood at its own input size; the photo then guides that likelihood
// back to the photo's size, so the edge follows the picture. Without one, or for a picture the
// network cannot take (a few pixels, or a long thin strip), the classical method: a model of the
// backdrop is learnt from the picture's border: its dominant colours, and where the border does not
// fit them (a subject cut by the edge; on a busy backdrop, a long run of even hue along the bottom
// or a side), that part is left to the subject. A plain backdrop (studio white, a wall, a table, a
// gradient) is split off by colour distance to the backdrop surface fitted over the picture, then
// settled by GrabCut; a busy one is cut by GrabCut seeded from the border. Both run on a copy of
// about 512 px. Regions enclosed by the subject stay unless they are large and clearly backdrop.
// The edge is refined on a copy of up to 1024 px: over a plain backdrop each edge pixel's alpha is
// read from where its colour lies between backdrop and subject (so hair gets partial alpha),
// otherwise a guided filter softens it; the backdrop's colour is then taken out of the edge pixels.
class BackgroundRemover final {
public:
    struct Settings {
        int workingSize = 512;  // long side of the copy the cut runs on
        int refineSize = 1024;  // long side of the copy the soft edge is refined on
        int iterations = 5;     // most GrabCut iterations
        int jpegQuality = 92;
    };

    // The cut-out of one picture.
    struct Matte {
        cv::Mat alpha;     // full size, 8-bit: 255 on the subject, 0 on the background
        cv::Mat backdrop;  // 8-bit BGR, smaller: the background colour near each edge pixel
    };

    // `nets`, when given, outlives the remover; one is leased for each job.
    explicit BackgroundRemover(Settings settings, SegmentationNets* nets = nullptr);
    BackgroundRemover() : BackgroundRemover(Settings{}) {}
    explicit BackgroundRemover(SegmentationNets* nets) : BackgroundRemover(Settings{}, nets) {}

    // Whether this picture's cut-out comes from the network.
    bool usesNetwork(cv::Size size) const;

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

    // The same picture always gives the same matte, on any thread.
    Matte matte(const cv::Mat& bgr) const;
    cv::Mat foregroundAlpha(const cv::Mat& bgr) const { return matte(bgr).alpha; }

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
    // The network's matte, or none where the classical cut is to be trusted instead.
    std::optional<Matte> networkMatte(const cv::Mat& bgr, cv::Size workingSize) const;
    // The subject at the working size, 255 on it; `plain` tells whether the backdrop is.
    cv::Mat subjectMask(const cv::Mat& work, bool& plain) const;
    // Soft alpha at the refining size and the backdrop colour along its edge.
    Matte refine(const cv::Mat& bgr, const cv::Mat& subject, bool plain) const;
    // Refines one area of the refining copy: alpha and backdrop are written in place.
    static void refineArea(const cv::Mat& guide, const cv::Mat& soft, const cv::Mat& hard,
                           bool plain, int radius, cv::Mat alpha, cv::Mat backdrop);
    // The matte with its alpha brought to the picture's size.
    static Matte finished(const cv::Mat& bgr, const cv::Mat& alpha, Matte& matte);

    Settings settings_;
    SegmentationNets* nets_ = nullptr;
};

}  // namespace vserver
