#include "OldCutout.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kWorkingSize = 512;
constexpr int kIterations = 5;
constexpr double kBorderFraction = 0.05;
constexpr int kMinCutSide = 16;

cv::Mat scaledToLongSide(const cv::Mat& image, int longSide) {
    const int current = std::max(image.cols, image.rows);
    if (current <= longSide) return image;
    const double factor = double(longSide) / current;
    cv::Mat scaled;
    cv::resize(image, scaled, cv::Size(), factor, factor, cv::INTER_AREA);
    return scaled;
}

cv::Rect innerRect(cv::Size size) {
    const int bandX = std::max(1, static_cast<int>(std::lround(size.width * kBorderFraction)));
    const int bandY = std::max(1, static_cast<int>(std::lround(size.height * kBorderFraction)));
    return cv::Rect(bandX, bandY, size.width - 2 * bandX, size.height - 2 * bandY);
}

void cut(const cv::Mat& image, cv::Mat& mask, int maxIterations) {
    if (cv::countNonZero(mask & 1) == 0) return;
    cv::Mat bgdModel, fgdModel;
    cv::Mat previous = mask & 1;
    const int settled = std::max(1, static_cast<int>(mask.total() / 1000));
    for (int i = 0; i < maxIterations; ++i) {
        cv::grabCut(image, mask, cv::Rect(), bgdModel, fgdModel, 1,
                    i == 0 ? cv::GC_INIT_WITH_MASK : cv::GC_EVAL);
        cv::Mat current = mask & 1;
        const int changed = cv::countNonZero(current != previous);
        if ((i > 0 && changed < settled) || cv::countNonZero(current) == 0) break;
        previous = current;
    }
}

}  // namespace

cv::Mat oldForegroundAlpha(const cv::Mat& bgr) {
    const cv::Mat work = scaledToLongSide(bgr, kWorkingSize);
    const cv::Rect inner = innerRect(work.size());
    if (inner.width <= 0 || inner.height <= 0) return cv::Mat(bgr.size(), CV_8U, cv::Scalar(255));

    cv::Mat mask(work.size(), CV_8U, cv::Scalar(cv::GC_BGD));
    mask(inner).setTo(cv::Scalar(cv::GC_PR_FGD));
    if (std::min(work.cols, work.rows) >= kMinCutSide) {
        const int coarseSide = kWorkingSize / 2;
        if (std::max(work.cols, work.rows) > coarseSide) {
            const cv::Mat coarse = scaledToLongSide(work, coarseSide);
            cv::Mat coarseMask(coarse.size(), CV_8U, cv::Scalar(cv::GC_BGD));
            const cv::Rect coarseInner = innerRect(coarse.size());
            if (std::min(coarse.cols, coarse.rows) >= kMinCutSide && coarseInner.area() > 0) {
                coarseMask(coarseInner).setTo(cv::Scalar(cv::GC_PR_FGD));
                cut(coarse, coarseMask, kIterations);
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
        cut(work, mask, kIterations);
    }

    cv::Mat foreground = (mask & 1) * 255;
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
    const double sigma = std::max(1.0, 0.5 / scale);
    cv::GaussianBlur(alpha, alpha, cv::Size(), sigma);
    return alpha;
}
