#include "BackgroundRemover.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace vserver {

namespace {

// Below this size (on the working copy) there is too little to model the
// colours of subject and background; the inner rectangle is used as is.
constexpr int kMinCutSide = 16;

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

BackgroundRemover::BackgroundRemover(Settings settings) : settings_(settings) {}

std::optional<cv::Size> BackgroundRemover::declaredSize(const std::string& bytes) {
    const auto byte = [&bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const auto be16 = [&byte](std::size_t i) { return (byte(i) << 8) | byte(i + 1); };
    const auto be32 = [&byte](std::size_t i) {
        return (std::uint32_t(byte(i)) << 24) | (std::uint32_t(byte(i + 1)) << 16) |
               (std::uint32_t(byte(i + 2)) << 8) | std::uint32_t(byte(i + 3));
    };

    // PNG: the signature, then the IHDR chunk with width and height.
    static const char pngSignature[] = "\x89PNG\r\n\x1a\n";
    if (bytes.size() >= 24 && bytes.compare(0, 8, pngSignature, 8) == 0) {
        if (bytes.compare(12, 4, "IHDR") != 0) return std::nullopt;
        const std::uint32_t width = be32(16);
        const std::uint32_t height = be32(20);
        if (width == 0 || height == 0 || width > 0x7fffffff || height > 0x7fffffff) {
            return std::nullopt;
        }
        return cv::Size(static_cast<int>(width), static_cast<int>(height));
    }

    // JPEG: walk the marker segments up to the first start-of-frame.
    if (bytes.size() < 4 || byte(0) != 0xFF || byte(1) != 0xD8) return std::nullopt;
    std::size_t i = 2;
    while (i + 4 <= bytes.size()) {
        if (byte(i) != 0xFF) return std::nullopt;
        const unsigned marker = byte(i + 1);
        if (marker == 0xFF) {  // fill byte
            ++i;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {  // no length
            i += 2;
            continue;
        }
        const std::size_t length = static_cast<std::size_t>(be16(i + 2));
        const bool startOfFrame =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (startOfFrame) {
            if (i + 9 > bytes.size()) return std::nullopt;
            const int height = be16(i + 5);
            const int width = be16(i + 7);
            if (width == 0 || height == 0) return std::nullopt;
            return cv::Size(width, height);
        }
        if (marker == 0xDA || length < 2) return std::nullopt;  // scan data before any frame
        i += 2 + length;
    }
    return std::nullopt;
}

cv::Mat BackgroundRemover::decode(const std::string& bytes) {
    const std::optional<cv::Size> size = declaredSize(bytes);
    if (!size || std::int64_t(size->width) * size->height > kMaxPixels) return {};
    try {
        const cv::Mat raw(1, static_cast<int>(bytes.size()), CV_8U,
                          const_cast<char*>(bytes.data()));
        // IMREAD_COLOR applies the EXIF orientation and yields 8-bit BGR for
        // grey, paletted, 16-bit and alpha inputs alike.
        return cv::imdecode(raw, cv::IMREAD_COLOR);
    } catch (const cv::Exception&) {
        return {};
    }
}

cv::Mat BackgroundRemover::foregroundAlpha(const cv::Mat& bgr) const {
    CV_Assert(bgr.type() == CV_8UC3 && !bgr.empty());
    const cv::Mat work = scaledToLongSide(bgr, settings_.workingSize);
    const cv::Rect inner = innerRect(work.size());
    if (inner.width <= 0 || inner.height <= 0) {
        // No room for a background band: everything is subject.
        return cv::Mat(bgr.size(), CV_8U, cv::Scalar(255));
    }

    cv::Mat mask(work.size(), CV_8U, cv::Scalar(cv::GC_BGD));
    mask(inner).setTo(cv::Scalar(cv::GC_PR_FGD));
    if (std::min(work.cols, work.rows) >= kMinCutSide) {
        const int coarseSide = settings_.workingSize / 2;
        if (std::max(work.cols, work.rows) > coarseSide) {
            // Coarse to fine: the first cut from a rectangle is by far the
            // slowest, as its colour models are still mostly background. Run
            // it on a half-size copy and start the full cut from its outcome.
            const cv::Mat coarse = scaledToLongSide(work, coarseSide);
            cv::Mat coarseMask(coarse.size(), CV_8U, cv::Scalar(cv::GC_BGD));
            const cv::Rect coarseInner = innerRect(coarse.size());
            if (std::min(coarse.cols, coarse.rows) >= kMinCutSide && coarseInner.area() > 0) {
                coarseMask(coarseInner).setTo(cv::Scalar(cv::GC_PR_FGD));
                cut(coarse, coarseMask, settings_.iterations);
                cv::Mat seed;
                cv::resize((coarseMask & 1) * 255, seed, work.size(), 0, 0, cv::INTER_LINEAR);
                mask(inner).setTo(cv::Scalar(cv::GC_PR_BGD));
                mask.setTo(cv::Scalar(cv::GC_PR_FGD), seed > 127);
                mask.rowRange(0, inner.y).setTo(cv::Scalar(cv::GC_BGD));
                mask.rowRange(inner.y + inner.height, mask.rows).setTo(cv::Scalar(cv::GC_BGD));
                mask.colRange(0, inner.x).setTo(cv::Scalar(cv::GC_BGD));
                mask.colRange(inner.x + inner.width, mask.cols).setTo(cv::Scalar(cv::GC_BGD));
            }
        }
        cut(work, mask, settings_.iterations);
    }

    // GC_FGD and GC_PR_FGD are the odd labels.
    cv::Mat foreground = (mask & 1) * 255;
    // Drop isolated specks and fill pinholes left by the cut.
    const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(3, 3));
    cv::morphologyEx(foreground, foreground, cv::MORPH_OPEN, kernel);
    cv::morphologyEx(foreground, foreground, cv::MORPH_CLOSE, kernel);

    const double scale = double(work.cols) / bgr.cols;
    cv::Mat alpha;
    if (work.size() != bgr.size()) {
        cv::resize(foreground, alpha, bgr.size(), 0, 0, cv::INTER_LINEAR);
    } else {
        alpha = foreground;
    }
    // Feather the edge over about half a pixel of the working copy.
    const double sigma = std::max(1.0, 0.5 / scale);
    cv::GaussianBlur(alpha, alpha, cv::Size(), sigma);
    return alpha;
}

cv::Mat BackgroundRemover::scaledToLongSide(const cv::Mat& image, int longSide) {
    const int current = std::max(image.cols, image.rows);
    if (current <= longSide) return image;
    const double factor = double(longSide) / current;
    cv::Mat scaled;
    cv::resize(image, scaled, cv::Size(), factor, factor, cv::INTER_AREA);
    return scaled;
}

cv::Rect BackgroundRemover::innerRect(cv::Size size) const {
    const int bandX =
        std::max(1, static_cast<int>(std::lround(size.width * settings_.borderFraction)));
    const int bandY =
        std::max(1, static_cast<int>(std::lround(size.height * settings_.borderFraction)));
    return cv::Rect(bandX, bandY, size.width - 2 * bandX, size.height - 2 * bandY);
}

void BackgroundRemover::cut(const cv::Mat& image, cv::Mat& mask, int maxIterations) {
    // The cut needs samples of both sides to model their colours.
    if (cv::countNonZero(mask & 1) == 0) return;
    cv::Mat bgdModel;
    cv::Mat fgdModel;
    cv::Mat previous = mask & 1;
    const int settled = std::max(1, static_cast<int>(mask.total() / 1000));
    for (int i = 0; i < maxIterations; ++i) {
        cv::grabCut(image, mask, cv::Rect(), bgdModel, fgdModel, 1,
                    i == 0 ? cv::GC_INIT_WITH_MASK : cv::GC_EVAL);
        cv::Mat current = mask & 1;
        const int changed = cv::countNonZero(current != previous);
        // Stop once an iteration moves fewer than 0.1% of the pixels, or
        // nothing is left of the subject.
        if ((i > 0 && changed < settled) || cv::countNonZero(current) == 0) break;
        previous = current;
    }
}

std::vector<unsigned char> BackgroundRemover::render(const cv::Mat& bgr,
                                                     const RemovalOptions& options) const {
    const cv::Mat alpha = foregroundAlpha(bgr);
    cv::Mat output;
    if (options.format == OutputFormat::Png && !options.background) {
        cv::cvtColor(bgr, output, cv::COLOR_BGR2BGRA);
        cv::insertChannel(alpha, output, 3);
    } else {
        const Rgb colour = options.background.value_or(Rgb{});
        const unsigned back[3] = {colour.b, colour.g, colour.r};
        output.create(bgr.size(), CV_8UC3);
        for (int y = 0; y < bgr.rows; ++y) {
            const unsigned char* src = bgr.ptr<unsigned char>(y);
            const unsigned char* a = alpha.ptr<unsigned char>(y);
            unsigned char* dst = output.ptr<unsigned char>(y);
            for (int x = 0; x < bgr.cols; ++x) {
                const unsigned w = a[x];
                const unsigned inv = 255 - w;
                for (int c = 0; c < 3; ++c) {
                    dst[3 * x + c] = static_cast<unsigned char>(
                        (src[3 * x + c] * w + back[c] * inv + 127) / 255);
                }
            }
        }
    }

    std::vector<unsigned char> encoded;
    bool ok = false;
    if (options.format == OutputFormat::Png) {
        ok = cv::imencode(".png", output, encoded, {cv::IMWRITE_PNG_COMPRESSION, 1});
    } else {
        ok = cv::imencode(".jpg", output, encoded,
                          {cv::IMWRITE_JPEG_QUALITY, settings_.jpegQuality});
    }
    if (!ok || encoded.empty()) throw std::runtime_error("image encoding failed");
    return encoded;
}

std::optional<Rgb> BackgroundRemover::parseColour(const std::string& text) {
    if (text.size() != 7 || text[0] != '#') return std::nullopt;
    int v[6];
    for (int i = 0; i < 6; ++i) {
        v[i] = hexValue(text[static_cast<std::size_t>(i) + 1]);
        if (v[i] < 0) return std::nullopt;
    }
    return Rgb{static_cast<std::uint8_t>(v[0] * 16 + v[1]),
               static_cast<std::uint8_t>(v[2] * 16 + v[3]),
               static_cast<std::uint8_t>(v[4] * 16 + v[5])};
}

std::optional<OutputFormat> BackgroundRemover::parseFormat(const std::string& text) {
    if (text == "png") return OutputFormat::Png;
    if (text == "jpg") return OutputFormat::Jpg;
    return std::nullopt;
}

const char* BackgroundRemover::extension(OutputFormat format) {
    return format == OutputFormat::Png ? ".png" : ".jpg";
}

const char* BackgroundRemover::contentType(OutputFormat format) {
    return format == OutputFormat::Png ? "image/png" : "image/jpeg";
}

}  // namespace vserver
