#pragma once

#include <opencv2/core.hpp>

// The cut-out vorpane-server made before its backdrop model: GrabCut from a rectangle that takes
// the outer 5 % of each side as background, coarse to fine, then a feathered edge. Kept here only
// so bench_cutout can show both side by side.
cv::Mat oldForegroundAlpha(const cv::Mat& bgr);
