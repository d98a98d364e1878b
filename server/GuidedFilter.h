#pragma once

#include <opencv2/core.hpp>

namespace vserver {

// Edge-aware smoothing of `input` (CV_32F) steered by the colours of `guide` (CV_32FC3, 0..1):
// within each window of radius `radius` the output is a linear function of the guide's colour,
// so it follows the guide's edges and softens where the guide itself is soft, such as hair.
// `eps` is the colour variance below which a window is treated as flat. With `subsample` above
// one the filter's coefficients are found on a copy that many times smaller, which costs about
// its square less and changes the result little.
cv::Mat guidedFilter(const cv::Mat& guide, const cv::Mat& input, int radius, double eps,
                     int subsample = 1);

}  // namespace vserver
