#pragma once

#include <opencv2/core.hpp>

namespace vserver {

// The guided filter's output is, in each window, a linear function of the guide's colour:
// q = b + a . I. These are its coefficients (CV_32F maps, averaged over the windows), found
// for `input` (CV_32F) under `guide` (CV_32FC3, 0..1, blue green red).
struct GuidedCoefficients {
    cv::Mat a[3];
    cv::Mat b;
};
GuidedCoefficients guidedCoefficients(const cv::Mat& guide, const cv::Mat& input, int radius,
                                      double eps);

// Edge-aware smoothing of `input` (CV_32F) steered by the colours of `guide` (CV_32FC3, 0..1):
// within each window of radius `radius` the output is a linear function of the guide's colour,
// so it follows the guide's edges and softens where the guide itself is soft, such as hair.
// `eps` is the colour variance below which a window is treated as flat. With `subsample` above
// one the filter's coefficients are found on a copy that many times smaller, which costs about
// its square less and changes the result little.
cv::Mat guidedFilter(const cv::Mat& guide, const cv::Mat& input, int radius, double eps,
                     int subsample = 1);

// Coefficients found on a smaller copy applied to the full-size 8-bit BGR picture: the output
// (8-bit, 0..255) follows the picture's own edges at its full resolution. Row by row, so no
// full-size map but the output is held.
cv::Mat guidedUpsample(const GuidedCoefficients& coefficients, const cv::Mat& bgr);

}  // namespace vserver
