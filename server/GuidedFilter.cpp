#include "GuidedFilter.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <vector>

namespace vserver {

cv::Mat guidedFilter(const cv::Mat& fullGuide, const cv::Mat& fullInput, int radius, double eps,
                     int subsample) {
    CV_Assert(fullGuide.type() == CV_32FC3 && fullInput.type() == CV_32F &&
              fullGuide.size() == fullInput.size());
    // The linear coefficients vary slowly: they are found on a copy `subsample` times smaller
    // and applied to the guide at its own size.
    subsample = std::max(1, std::min(subsample, std::min(fullGuide.cols, fullGuide.rows) / 4));
    cv::Mat guide = fullGuide;
    cv::Mat input = fullInput;
    if (subsample > 1) {
        const double f = 1.0 / subsample;
        cv::resize(fullGuide, guide, cv::Size(), f, f, cv::INTER_AREA);
        cv::resize(fullInput, input, guide.size(), 0, 0, cv::INTER_AREA);
        radius = std::max(1, (radius + subsample / 2) / subsample);
    }
    const cv::Size window(2 * radius + 1, 2 * radius + 1);
    const auto mean = [&window](const cv::Mat& m) {
        cv::Mat out;
        cv::boxFilter(m, out, CV_32F, window, cv::Point(-1, -1), true, cv::BORDER_REFLECT);
        return out;
    };
    std::vector<cv::Mat> I;
    cv::split(guide, I);
    const cv::Mat meanP = mean(input);
    cv::Mat meanI[3], covIp[3];
    for (int c = 0; c < 3; ++c) {
        meanI[c] = mean(I[c]);
        covIp[c] = mean(I[c].mul(input)) - meanI[c].mul(meanP);
    }
    // The guide's colour covariance in each window: rr, rg, rb, gg, gb, bb.
    cv::Mat var[6];
    for (int i = 0, k = 0; i < 3; ++i) {
        for (int j = i; j < 3; ++j, ++k) var[k] = mean(I[i].mul(I[j])) - meanI[i].mul(meanI[j]);
    }

    // Per window: a = (Sigma + eps)^-1 cov(I, p), b = mean(p) - a . mean(I).
    // Written over cov(I, p) and mean(p) as they are read, to hold fewer full-size maps.
    cv::Mat* a = covIp;
    cv::Mat b = meanP;
    for (int y = 0; y < input.rows; ++y) {
        const float* v[6];
        for (int k = 0; k < 6; ++k) v[k] = var[k].ptr<float>(y);
        const float* cp[3] = {covIp[0].ptr<float>(y), covIp[1].ptr<float>(y),
                              covIp[2].ptr<float>(y)};
        const float* mi[3] = {meanI[0].ptr<float>(y), meanI[1].ptr<float>(y),
                              meanI[2].ptr<float>(y)};
        const float* mp = meanP.ptr<float>(y);
        float* ao[3] = {a[0].ptr<float>(y), a[1].ptr<float>(y), a[2].ptr<float>(y)};
        float* bo = b.ptr<float>(y);
        for (int x = 0; x < input.cols; ++x) {
            const double s00 = v[0][x] + eps, s01 = v[1][x], s02 = v[2][x];
            const double s11 = v[3][x] + eps, s12 = v[4][x], s22 = v[5][x] + eps;
            // Inverse of the symmetric 3x3 matrix by cofactors.
            const double c00 = s11 * s22 - s12 * s12, c01 = s02 * s12 - s01 * s22,
                         c02 = s01 * s12 - s02 * s11, c11 = s00 * s22 - s02 * s02,
                         c12 = s01 * s02 - s00 * s12, c22 = s00 * s11 - s01 * s01;
            const double inv = 1.0 / (s00 * c00 + s01 * c01 + s02 * c02);
            const double p0 = cp[0][x], p1 = cp[1][x], p2 = cp[2][x];
            const double a0 = (c00 * p0 + c01 * p1 + c02 * p2) * inv;
            const double a1 = (c01 * p0 + c11 * p1 + c12 * p2) * inv;
            const double a2 = (c02 * p0 + c12 * p1 + c22 * p2) * inv;
            ao[0][x] = float(a0);
            ao[1][x] = float(a1);
            ao[2][x] = float(a2);
            bo[x] = float(mp[x] - a0 * mi[0][x] - a1 * mi[1][x] - a2 * mi[2][x]);
        }
    }
    const auto smoothed = [&](const cv::Mat& m) {
        cv::Mat out = mean(m);
        if (subsample > 1) cv::resize(out, out, fullInput.size(), 0, 0, cv::INTER_LINEAR);
        return out;
    };
    if (subsample > 1) cv::split(fullGuide, I);
    cv::Mat out = smoothed(b);
    for (int c = 0; c < 3; ++c) out += smoothed(a[c]).mul(I[c]);
    return out;
}

}  // namespace vserver
