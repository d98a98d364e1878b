#include "GuidedFilter.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <vector>

namespace vserver {

GuidedCoefficients guidedCoefficients(const cv::Mat& guide, const cv::Mat& input, int radius,
                                      double eps) {
    CV_Assert(guide.type() == CV_32FC3 && input.type() == CV_32F && guide.size() == input.size());
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
    GuidedCoefficients out;
    for (int c = 0; c < 3; ++c) out.a[c] = mean(a[c]);
    out.b = mean(b);
    return out;
}

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
    GuidedCoefficients k = guidedCoefficients(guide, input, radius, eps);
    const auto smoothed = [&](const cv::Mat& m) {
        if (subsample == 1) return m;
        cv::Mat out;
        cv::resize(m, out, fullInput.size(), 0, 0, cv::INTER_LINEAR);
        return out;
    };
    std::vector<cv::Mat> I;
    cv::split(fullGuide, I);
    cv::Mat out = smoothed(k.b).clone();
    for (int c = 0; c < 3; ++c) out += smoothed(k.a[c]).mul(I[c]);
    return out;
}

cv::Mat guidedUpsample(const GuidedCoefficients& k, const cv::Mat& bgr) {
    CV_Assert(bgr.type() == CV_8UC3 && !k.b.empty());
    cv::Mat packed;
    cv::merge(std::vector<cv::Mat>{k.a[0], k.a[1], k.a[2], k.b}, packed);
    const int cw = packed.cols, ch = packed.rows;
    // Bilinear, pixel centres aligned as cv::resize aligns them.
    const auto taps = [](int n, int from, std::vector<int>& lo, std::vector<int>& hi,
                         std::vector<float>& w) {
        lo.resize(n);
        hi.resize(n);
        w.resize(n);
        const double scale = double(from) / n;
        for (int i = 0; i < n; ++i) {
            const double s = std::clamp((i + 0.5) * scale - 0.5, 0.0, double(from - 1));
            lo[i] = int(s);
            hi[i] = std::min(lo[i] + 1, from - 1);
            w[i] = float(s - lo[i]);
        }
    };
    std::vector<int> x0, x1, y0, y1;
    std::vector<float> wx, wy;
    taps(bgr.cols, cw, x0, x1, wx);
    taps(bgr.rows, ch, y0, y1, wy);
    cv::Mat out(bgr.size(), CV_8U);
    constexpr float kByte = 1.0f / 255;
    for (int y = 0; y < bgr.rows; ++y) {
        const cv::Vec4f* r0 = packed.ptr<cv::Vec4f>(y0[y]);
        const cv::Vec4f* r1 = packed.ptr<cv::Vec4f>(y1[y]);
        const float v = wy[y];
        const uchar* in = bgr.ptr<uchar>(y);
        uchar* o = out.ptr<uchar>(y);
        for (int x = 0; x < bgr.cols; ++x) {
            const float u = wx[x];
            const cv::Vec4f top = r0[x0[x]] * (1 - u) + r0[x1[x]] * u;
            const cv::Vec4f bottom = r1[x0[x]] * (1 - u) + r1[x1[x]] * u;
            const cv::Vec4f c = top * (1 - v) + bottom * v;
            const float q =
                c[3] + kByte * (c[0] * in[3 * x] + c[1] * in[3 * x + 1] + c[2] * in[3 * x + 2]);
            o[x] = cv::saturate_cast<uchar>(255 * q);
        }
    }
    return out;
}

}  // namespace vserver
