#include "BackgroundRemover.h"

#include "GuidedFilter.h"
#include "SegmentationNet.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <malloc.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace vserver {

namespace {

// Below this size (on the working copy) there is too little to model the
// colours of subject and background; all of the picture is kept.
constexpr int kMinCutSide = 16;
// Every removal starts its random draws from here.
constexpr std::uint64_t kSeed = 0x76'6f'72'70'61'6e'65ULL;
// The border band the backdrop is learnt from, as a share of the long side.
constexpr double kBandFraction = 0.05;
constexpr int kBorderClusters = 6;
// A cluster belongs to the backdrop when it covers this share of the top side, or this share
// of the bottom, the left and the right side (a floor), or this share of the whole border.
constexpr double kTopShare = 0.1;
constexpr double kSidesShare = 0.35;
constexpr double kBorderShare = 0.5;
// Colour distances (8-bit Lab units): the least distance that still counts as a fit, and the
// most residual noise around the fitted backdrop that still counts as plain.
constexpr float kMinReach = 10.0f;
constexpr float kMaxReach = 30.0f;
constexpr float kPlainNoise = 9.0f;
// A band pixel of another cluster still fits within this share of a backdrop colour's reach.
constexpr float kBandReach = 0.6f;
// A stretch of the band fits when its mean distance is within this share of the reach.
constexpr float kStretchReach = 1.3f;
constexpr float kBusyStretchReach = 2.5f;
// On a busy backdrop: a stretch of the border is of even hue when its spread of hue is below this
// share of the border's median, and this many even stretches in a row are a subject's.
constexpr double kEvenHue = 0.6;
constexpr int kEvenRun = 3;
// GrabCut rounds on the working copy once colour distance has placed the labels; the share of
// the pixels an iteration must still move for another to follow; and on a busy backdrop, how far
// (as a share of the long side) the full-size cut may move the outline of the half-size one.
constexpr int kSettleIterations = 2;
constexpr double kSettledShare = 0.005;
constexpr double kSureDistanceFraction = 1.0 / 64;
// Regions inside the subject above this share of the picture may be holes.
constexpr double kLargeHole = 0.01;
// Subject pieces below this share of the picture are noise.
constexpr double kSpeck = 0.002;
// Soft edge: guided filter radius as a share of the long side, and its flatness threshold.
constexpr double kEdgeRadiusFraction = 1.0 / 200;
constexpr double kEdgeEps = 1e-3;
// The guided filter finds its coefficients on a copy this many times smaller.
constexpr int kGuideSubsample = 2;
// Plain backdrops: the least colour difference (0..1 per channel) between subject and backdrop
// for which an edge pixel's alpha is read from its colour, the least share of a window that
// must be subject or backdrop for its mean colour to count, and shares below noise.
constexpr float kMinContrast = 0.08f;
constexpr float kMinShare = 0.02f;
constexpr float kNoiseShare = 0.1f;
// Edge pixels below this alpha are decontaminated as if they had it.
constexpr unsigned kMinUnmixAlpha = 90;
// The network takes pictures with a short side of this many pixels and a long side at most this
// many times longer; it would only see a smear of the others, squeezed into its square input.
constexpr int kMinNetSide = 16;
constexpr int kMaxNetAspect = 6;
// The guided filter that brings the network's likelihood to the photo: its flatness threshold.
constexpr double kNetEdgeEps = 1e-3;
// How much steeper the network's edge is made about one half.
constexpr double kNetEdgeGain = 1.5;
// The network's subject is nothing below this share of the picture.
constexpr double kNetLeast = 0.01;

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

cv::Mat scaledToLongSide(const cv::Mat& image, int longSide) {
    const int current = std::max(image.cols, image.rows);
    if (current <= longSide) return image;
    const double factor = double(longSide) / current;
    cv::Mat scaled;
    cv::resize(image, scaled, cv::Size(), factor, factor, cv::INTER_AREA);
    return scaled;
}

// What the border says about the backdrop.
struct BorderModel {
    cv::Mat band;                    // 255 on the border band
    cv::Mat fits;                    // 255 on the band where it fits the backdrop's colours
    std::vector<cv::Vec3f> centres;  // the backdrop's colours (Lab)
    std::vector<float> reach;        // how far from each colour still fits
    bool plain = false;              // the backdrop is one smooth surface
    cv::Mat surface;                 // that surface over the picture (Lab, plain only)
    float noise = 0;                 // RMS distance of the band's fit from the surface
};

// Smooth backdrop: a quadratic in x and y per channel, fitted to the points by least squares.
cv::Mat quadraticTerms(const std::vector<cv::Point>& points, cv::Size size) {
    cv::Mat terms(static_cast<int>(points.size()), 6, CV_32F);
    for (int i = 0; i < terms.rows; ++i) {
        const float x = 2.0f * points[i].x / size.width - 1;
        const float y = 2.0f * points[i].y / size.height - 1;
        float* t = terms.ptr<float>(i);
        t[0] = 1;
        t[1] = x;
        t[2] = y;
        t[3] = x * x;
        t[4] = x * y;
        t[5] = y * y;
    }
    return terms;
}

void fitSurface(const cv::Mat& lab, BorderModel& model) {
    std::vector<cv::Point> points;
    cv::findNonZero(model.fits, points);
    // Every third point is plenty and keeps the fit cheap.
    std::vector<cv::Point> used;
    for (std::size_t i = 0; i < points.size(); i += 3) used.push_back(points[i]);
    if (used.size() < 12) return;
    cv::Mat values(static_cast<int>(used.size()), 3, CV_32F);
    for (int i = 0; i < values.rows; ++i) {
        const cv::Vec3f v = lab.at<cv::Vec3f>(used[i]);
        for (int c = 0; c < 3; ++c) values.at<float>(i, c) = v[c];
    }
    cv::Mat terms = quadraticTerms(used, lab.size());
    cv::Mat coefficients;
    cv::solve(terms, values, coefficients, cv::DECOMP_SVD);
    // Once more without the worst tenth, which is mostly subject or shadow on the border.
    cv::Mat residual = terms * coefficients - values;
    cv::Mat distance;
    cv::reduce(residual.mul(residual), distance, 1, cv::REDUCE_SUM);
    cv::Mat sorted;
    cv::sort(distance, sorted, cv::SORT_EVERY_COLUMN + cv::SORT_ASCENDING);
    const float cutoff = sorted.at<float>(static_cast<int>(sorted.rows * 0.9));
    std::vector<int> kept;
    for (int i = 0; i < distance.rows; ++i) {
        if (distance.at<float>(i) <= cutoff) kept.push_back(i);
    }
    cv::Mat keptTerms(static_cast<int>(kept.size()), 6, CV_32F);
    cv::Mat keptValues(static_cast<int>(kept.size()), 3, CV_32F);
    for (int i = 0; i < keptTerms.rows; ++i) {
        terms.row(kept[i]).copyTo(keptTerms.row(i));
        values.row(kept[i]).copyTo(keptValues.row(i));
    }
    cv::solve(keptTerms, keptValues, coefficients, cv::DECOMP_SVD);
    residual = keptTerms * coefficients - keptValues;
    model.noise = static_cast<float>(std::sqrt(cv::sum(residual.mul(residual))[0] / kept.size()));
    model.plain = model.noise <= kPlainNoise;
    if (!model.plain) return;

    model.surface.create(lab.size(), CV_32FC3);
    const cv::Mat k = coefficients;  // 6 x 3
    for (int y = 0; y < lab.rows; ++y) {
        const float fy = 2.0f * y / lab.rows - 1;
        cv::Vec3f* out = model.surface.ptr<cv::Vec3f>(y);
        for (int x = 0; x < lab.cols; ++x) {
            const float fx = 2.0f * x / lab.cols - 1;
            const float t[6] = {1, fx, fy, fx * fx, fx * fy, fy * fy};
            for (int c = 0; c < 3; ++c) {
                float v = 0;
                for (int i = 0; i < 6; ++i) v += t[i] * k.at<float>(i, c);
                out[x][c] = v;
            }
        }
    }
}

BorderModel learnBorder(const cv::Mat& lab) {
    const int w = lab.cols;
    const int h = lab.rows;
    // At least two pixels wide, but never more than a quarter of the short side.
    const int b =
        std::min(std::max(2, static_cast<int>(std::lround(std::max(w, h) * kBandFraction))),
                 std::min(w, h) / 4);
    BorderModel model;
    model.band = cv::Mat(lab.size(), CV_8U, cv::Scalar(255));
    model.band(cv::Rect(b, b, w - 2 * b, h - 2 * b)).setTo(cv::Scalar(0));

    // Sides: 0 top, 1 bottom, 2 left, 3 right; the corners go with top and bottom.
    std::vector<cv::Point> points;
    cv::findNonZero(model.band, points);
    const int n = static_cast<int>(points.size());
    cv::Mat samples(n, 3, CV_32F);
    std::vector<int> side(n);
    for (int i = 0; i < n; ++i) {
        const cv::Point p = points[i];
        const cv::Vec3f v = lab.at<cv::Vec3f>(p);
        for (int c = 0; c < 3; ++c) samples.at<float>(i, c) = v[c];
        side[i] = p.y < b ? 0 : p.y >= h - b ? 1 : p.x < b ? 2 : 3;
    }

    cv::Mat labels, centres;
    cv::Mat meanRow, deviation;
    cv::meanStdDev(samples.reshape(3, n), meanRow, deviation);
    if (cv::norm(deviation) < 1.0) {
        // One flat colour all round.
        labels = cv::Mat::zeros(n, 1, CV_32S);
        centres = meanRow.reshape(1, 1);
        centres.convertTo(centres, CV_32F);
    } else {
        cv::kmeans(samples, kBorderClusters, labels,
                   cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 10, 0.5), 1,
                   cv::KMEANS_PP_CENTERS, centres);
    }
    const int k = centres.rows;
    std::vector<std::array<int, 4>> count(k, {0, 0, 0, 0});
    std::array<int, 4> sideTotal = {0, 0, 0, 0};
    std::vector<double> spread(k, 0.0);
    for (int i = 0; i < n; ++i) {
        const int label = labels.at<int>(i);
        ++count[label][side[i]];
        ++sideTotal[side[i]];
        spread[label] += cv::norm(samples.row(i), centres.row(label), cv::NORM_L2SQR);
    }
    std::vector<bool> backdrop(k, false);
    int largest = 0;
    for (int c = 0; c < k; ++c) {
        const auto share = [&](int s) { return double(count[c][s]) / std::max(1, sideTotal[s]); };
        const int total = count[c][0] + count[c][1] + count[c][2] + count[c][3];
        const bool floor =
            share(1) >= kSidesShare && share(2) >= kSidesShare && share(3) >= kSidesShare;
        backdrop[c] = share(0) >= kTopShare || floor || total >= kBorderShare * n;
        const int largestTotal =
            count[largest][0] + count[largest][1] + count[largest][2] + count[largest][3];
        if (total > largestTotal) largest = c;
    }
    if (std::find(backdrop.begin(), backdrop.end(), true) == backdrop.end())
        backdrop[largest] = true;
    for (int c = 0; c < k; ++c) {
        if (!backdrop[c]) continue;
        const int total = count[c][0] + count[c][1] + count[c][2] + count[c][3];
        const cv::Vec3f centre(centres.at<float>(c, 0), centres.at<float>(c, 1),
                               centres.at<float>(c, 2));
        model.centres.push_back(centre);
        const float deviation = static_cast<float>(std::sqrt(spread[c] / std::max(1, total)));
        model.reach.push_back(std::clamp(2.5f * deviation, kMinReach, kMaxReach));
    }

    // The band fits where its cluster is a backdrop one or its colour is well within reach of
    // one, and wherever a stretch of it is on the whole near the backdrop's colours: k-means
    // splits a textured backdrop's colours anywhere, while a subject cut by the edge differs
    // along all of its stretch. Lone pixels that do not fit are noise.
    const int stretch = std::max(2 * b, std::max(w, h) / 16);
    const int perSide = (std::max(w, h) + stretch - 1) / stretch;
    std::vector<double> stretchSum(4 * perSide, 0.0);
    std::vector<int> stretchCount(4 * perSide, 0);
    std::vector<float> nearest(n);
    std::vector<int> where(n);
    for (int i = 0; i < n; ++i) {
        const cv::Vec3f v(samples.ptr<float>(i));
        float best = std::numeric_limits<float>::max();
        for (std::size_t c = 0; c < model.centres.size(); ++c) {
            best =
                std::min(best, static_cast<float>(cv::norm(v - model.centres[c])) / model.reach[c]);
        }
        nearest[i] = best;
        where[i] = side[i] * perSide + (side[i] < 2 ? points[i].x : points[i].y) / stretch;
        stretchSum[where[i]] += best;
        ++stretchCount[where[i]];
    }
    const auto markFits = [&](float stretchReach) {
        model.fits = cv::Mat::zeros(lab.size(), CV_8U);
        for (int i = 0; i < n; ++i) {
            const bool fits = backdrop[labels.at<int>(i)] || nearest[i] <= kBandReach ||
                              stretchSum[where[i]] <= stretchReach * stretchCount[where[i]];
            if (fits) model.fits.at<uchar>(points[i]) = 255;
        }
        cv::Mat misfits = model.band & ~model.fits;
        cv::morphologyEx(misfits, misfits, cv::MORPH_OPEN,
                         cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3)));
        model.fits = model.band & ~misfits;
    };
    markFits(kStretchReach);
    fitSurface(lab, model);
    // On a busy backdrop any colour may turn up anywhere along the border: only stretches far
    // from all of the backdrop's colours are left to the subject.
    if (model.plain) return model;
    markFits(kBusyStretchReach);

    // Yet a busy backdrop's hue changes all along the border, while a subject cut by the bottom
    // or a side edge shows there as a long run of even hue. Such runs are left to the subject.
    std::vector<double> chroma[2] = {std::vector<double>(4 * perSide, 0.0),
                                     std::vector<double>(4 * perSide, 0.0)};
    std::vector<double> chromaSq(4 * perSide, 0.0);
    for (int i = 0; i < n; ++i) {
        const float* v = samples.ptr<float>(i);
        chroma[0][where[i]] += v[1];
        chroma[1][where[i]] += v[2];
        chromaSq[where[i]] += double(v[1]) * v[1] + double(v[2]) * v[2];
    }
    std::vector<double> hueSpread(4 * perSide, -1.0);
    std::vector<double> spreads;
    for (int j = 0; j < 4 * perSide; ++j) {
        const int m = stretchCount[j];
        if (m < b) continue;  // a sliver at the end of a side
        const double ma = chroma[0][j] / m, mb = chroma[1][j] / m;
        hueSpread[j] = std::sqrt(std::max(0.0, chromaSq[j] / m - ma * ma - mb * mb));
        spreads.push_back(hueSpread[j]);
    }
    if (spreads.empty()) return model;
    std::nth_element(spreads.begin(), spreads.begin() + spreads.size() / 2, spreads.end());
    const double even = kEvenHue * spreads[spreads.size() / 2];
    std::vector<char> subjectRun(4 * perSide, 0);
    for (int side = 1; side < 4; ++side) {
        const auto isEven = [&](int k) {
            const double d = hueSpread[side * perSide + k];
            return d >= 0 && d <= even;
        };
        for (int first = 0; first < perSide;) {
            int last = first;
            while (last < perSide && isEven(last)) ++last;
            if (last - first >= kEvenRun) {
                for (int k = first; k < last; ++k) subjectRun[side * perSide + k] = 1;
            }
            first = std::max(last, first + 1);
        }
    }
    for (int i = 0; i < n; ++i) {
        if (subjectRun[where[i]]) model.fits.at<uchar>(points[i]) = 0;
    }
    return model;
}

// Distance to the fitted backdrop in units of its fit radius; a shadow (darker, same hue) counts
// as just within it.
cv::Mat plainDistance(const cv::Mat& lab, const BorderModel& model) {
    const float reach = std::max(kMinReach, 3.5f * model.noise);
    cv::Mat distance(lab.size(), CV_32F);
    for (int y = 0; y < lab.rows; ++y) {
        const cv::Vec3f* p = lab.ptr<cv::Vec3f>(y);
        const cv::Vec3f* s = model.surface.ptr<cv::Vec3f>(y);
        float* d = distance.ptr<float>(y);
        for (int x = 0; x < lab.cols; ++x) {
            const cv::Vec3f diff = p[x] - s[x];
            d[x] = static_cast<float>(cv::norm(diff)) / reach;
            const float chroma = std::hypot(diff[1], diff[2]);
            const bool shadow = p[x][0] < s[x][0] && p[x][0] > 0.4f * s[x][0] && chroma <= reach;
            if (shadow) d[x] = std::min(d[x], 0.95f);
        }
    }
    return distance;
}

// Distance to the nearest backdrop colour, in units of that colour's reach.
cv::Mat clusterDistance(const cv::Mat& lab, const BorderModel& model) {
    cv::Mat distance(lab.size(), CV_32F);
    for (int y = 0; y < lab.rows; ++y) {
        const cv::Vec3f* p = lab.ptr<cv::Vec3f>(y);
        float* d = distance.ptr<float>(y);
        for (int x = 0; x < lab.cols; ++x) {
            float best = std::numeric_limits<float>::max();
            for (std::size_t c = 0; c < model.centres.size(); ++c) {
                best = std::min(
                    best, static_cast<float>(cv::norm(p[x] - model.centres[c])) / model.reach[c]);
            }
            d[x] = best;
        }
    }
    return distance;
}

// Of the candidate background regions (255), those that touch the backdrop's part of the border,
// or are large and clearly backdrop-coloured (mean distance within half the fit radius).
cv::Mat reachedBackground(const cv::Mat& candidate, const cv::Mat& fits, const cv::Mat& distance) {
    cv::Mat labels, stats, centroids;
    const int count = cv::connectedComponentsWithStats(candidate, labels, stats, centroids, 4);
    std::vector<char> keep(count, 0);
    std::vector<double> sum(count, 0.0);
    for (int y = 0; y < labels.rows; ++y) {
        const int* l = labels.ptr<int>(y);
        const uchar* f = fits.ptr<uchar>(y);
        const float* d = distance.ptr<float>(y);
        for (int x = 0; x < labels.cols; ++x) {
            if (l[x] == 0) continue;
            if (f[x]) keep[l[x]] = 1;
            sum[l[x]] += d[x];
        }
    }
    const double large = kLargeHole * candidate.total();
    for (int i = 1; i < count; ++i) {
        const int area = stats.at<int>(i, cv::CC_STAT_AREA);
        if (area >= large && sum[i] / area <= 0.5) keep[i] = 1;
    }
    cv::Mat out(candidate.size(), CV_8U);
    for (int y = 0; y < labels.rows; ++y) {
        const int* l = labels.ptr<int>(y);
        uchar* o = out.ptr<uchar>(y);
        for (int x = 0; x < labels.cols; ++x) o[x] = (l[x] != 0 && keep[l[x]]) ? 255 : 0;
    }
    return out;
}

// Removes pieces of the subject too small to be more than noise.
void dropSpecks(cv::Mat& subject) {
    cv::Mat labels, stats, centroids;
    const int count = cv::connectedComponentsWithStats(subject, labels, stats, centroids, 8);
    const double least = kSpeck * subject.total();
    for (int i = 1; i < count; ++i) {
        if (stats.at<int>(i, cv::CC_STAT_AREA) < least) subject.setTo(cv::Scalar(0), labels == i);
    }
}

// The mean colour of `image` over the pixels of `mask` (255) in each window, and the share of
// the window they make up.
cv::Mat localMean(const cv::Mat& image, const cv::Mat& mask, cv::Size window, cv::Mat& share) {
    CV_Assert(image.type() == CV_32FC3 && mask.type() == CV_8U);
    // Written pixel by pixel, as these maps are the largest a job holds.
    cv::Mat weighted(image.size(), CV_32FC3);
    for (int y = 0; y < image.rows; ++y) {
        const cv::Vec3f* in = image.ptr<cv::Vec3f>(y);
        const uchar* m = mask.ptr<uchar>(y);
        cv::Vec3f* out = weighted.ptr<cv::Vec3f>(y);
        for (int x = 0; x < image.cols; ++x) out[x] = m[x] ? in[x] : cv::Vec3f();
    }
    cv::Mat mean;
    cv::boxFilter(weighted, mean, CV_32F, window);
    weighted.release();
    cv::Mat weight;
    mask.convertTo(weight, CV_32F, 1.0 / 255);
    cv::boxFilter(weight, share, CV_32F, window);
    for (int y = 0; y < image.rows; ++y) {
        cv::Vec3f* out = mean.ptr<cv::Vec3f>(y);
        const float* s = share.ptr<float>(y);
        for (int x = 0; x < image.cols; ++x) out[x] /= s[x] + 1e-6f;
    }
    return mean;
}

// The backdrop near each edge pixel, 8-bit, from its local mean (the picture itself where there
// is none near).
void edgeBackdrop(const cv::Mat& guide, cv::Mat& backdrop, const cv::Mat& weight, cv::Mat out) {
    guide.copyTo(backdrop, weight < kMinShare);
    backdrop.convertTo(out, CV_8UC3, 255);
}

// Runs GrabCut on a labelled mask until the labels settle.
void cut(const cv::Mat& image, cv::Mat& mask, int maxIterations) {
    // The cut needs samples of both sides to model their colours.
    const int subject = cv::countNonZero(mask & 1);
    if (subject == 0 || subject == static_cast<int>(mask.total())) return;
    cv::Mat bgdModel;
    cv::Mat fgdModel;
    cv::Mat previous = mask & 1;
    const int settled = std::max(1, static_cast<int>(mask.total() * kSettledShare));
    for (int i = 0; i < maxIterations; ++i) {
        cv::grabCut(image, mask, cv::Rect(), bgdModel, fgdModel, 1,
                    i == 0 ? cv::GC_INIT_WITH_MASK : cv::GC_EVAL);
        cv::Mat current = mask & 1;
        const int changed = cv::countNonZero(current != previous);
        // Stop once an iteration moves fewer than kSettledShare of the pixels, or
        // nothing is left of the subject.
        if ((i > 0 && changed < settled) || cv::countNonZero(current) == 0) break;
        previous = current;
    }
}

// The first cut from a rough start is by far the slowest, as its colour models are still far
// off: it runs on a half-size copy, and the undecided labels of the mask take its outcome.
void coarseCut(const cv::Mat& work, cv::Mat& mask, int maxIterations) {
    const cv::Mat coarse = scaledToLongSide(work, std::max(work.cols, work.rows) / 2);
    if (std::min(coarse.cols, coarse.rows) < kMinCutSide) return;
    cv::Mat coarseMask;
    cv::resize(mask, coarseMask, coarse.size(), 0, 0, cv::INTER_NEAREST);
    cut(coarse, coarseMask, maxIterations);
    cv::Mat seed;
    cv::resize((coarseMask & 1) * 255, seed, work.size(), 0, 0, cv::INTER_LINEAR);
    const cv::Mat undecided = (mask == cv::GC_PR_FGD) | (mask == cv::GC_PR_BGD);
    mask.setTo(cv::Scalar(cv::GC_PR_BGD), undecided & (seed <= 127));
    mask.setTo(cv::Scalar(cv::GC_PR_FGD), undecided & (seed > 127));
    // The full-size cut only settles the outline: what lies well inside or outside the coarse
    // one is decided, which spares the cut most of its work on a detailed photo.
    const int reach = std::max(
        2, static_cast<int>(std::lround(std::max(work.cols, work.rows) * kSureDistanceFraction)));
    const cv::Mat disc =
        cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * reach + 1, 2 * reach + 1));
    const cv::Mat subject = seed > 127;
    cv::Mat inside, outside;
    cv::erode(subject, inside, disc);
    cv::erode(~subject, outside, disc);
    mask.setTo(cv::Scalar(cv::GC_FGD), undecided & inside);
    mask.setTo(cv::Scalar(cv::GC_BGD), undecided & outside);
}

}  // namespace

BackgroundRemover::BackgroundRemover(Settings settings, SegmentationNets* nets)
    : settings_(settings), nets_(nets) {}

bool BackgroundRemover::usesNetwork(cv::Size size) const {
    const int shortSide = std::min(size.width, size.height);
    const int longSide = std::max(size.width, size.height);
    return nets_ && shortSide >= kMinNetSide && longSide <= kMaxNetAspect * shortSide;
}

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

BackgroundRemover::Matte BackgroundRemover::matte(const cv::Mat& bgr) const {
    CV_Assert(bgr.type() == CV_8UC3 && !bgr.empty());
    // GrabCut and k-means draw from the thread's generator, which otherwise carries over from
    // the previous request served on this thread.
    cv::theRNG() = cv::RNG(kSeed);
    const cv::Mat work = scaledToLongSide(bgr, settings_.workingSize);
    if (std::min(work.cols, work.rows) < kMinCutSide) {
        return Matte{cv::Mat(bgr.size(), CV_8U, cv::Scalar(255)), cv::Mat()};
    }
    if (usesNetwork(bgr.size())) {
        if (std::optional<Matte> net = networkMatte(bgr, work.size())) return std::move(*net);
    }
    bool plain = false;
    const cv::Mat subject = subjectMask(work, plain);
    return refine(bgr, subject, plain);
}

std::optional<BackgroundRemover::Matte> BackgroundRemover::networkMatte(
    const cv::Mat& bgr, cv::Size workingSize) const {
    cv::Mat likely;
    {
        SegmentationNets::Lease lease(*nets_);
        likely = lease.net().likelihood(bgr);
    }
    // Where the network sees next to nothing (a subject cut by the frame over a busy backdrop,
    // say), the classical cut stands.
    cv::Mat net;
    cv::resize(likely, net, workingSize, 0, 0, cv::INTER_AREA);
    if (cv::countNonZero(net > 0.5f) < kNetLeast * net.total()) return std::nullopt;
    const cv::Mat small = scaledToLongSide(bgr, settings_.refineSize);
    cv::Mat soft;
    cv::resize(
        likely, soft, small.size(), 0, 0,
        small.cols < likely.cols && small.rows < likely.rows ? cv::INTER_AREA : cv::INTER_LINEAR);
    likely.release();
    cv::Mat guide;
    small.convertTo(guide, CV_32FC3, 1.0 / 255);
    const int radius = std::max(
        2, static_cast<int>(std::lround(std::max(small.cols, small.rows) * kEdgeRadiusFraction)));
    Matte matte;
    matte.alpha = guidedUpsample(guidedCoefficients(guide, soft, radius, kNetEdgeEps), bgr);
    // The network's edge is a ramp a few of its pixels wide; steepened about one half it keeps
    // its place and its soft strands but no longer spreads a hard outline over several pixels.
    matte.alpha.convertTo(matte.alpha, CV_8U, kNetEdgeGain, 127.5 * (1 - kNetEdgeGain));
    // The backdrop near the edge, for taking its colour out of the edge pixels.
    const cv::Mat hard = soft > 0.5f;
    cv::Mat grown;
    cv::dilate(
        hard, grown,
        cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * radius + 1, 2 * radius + 1)));
    cv::Mat weight;
    cv::Mat backdrop = localMean(guide, ~grown, cv::Size(8 * radius + 1, 8 * radius + 1), weight);
    matte.backdrop.create(small.size(), CV_8UC3);
    edgeBackdrop(guide, backdrop, weight, matte.backdrop);
    return matte;
}

cv::Mat BackgroundRemover::subjectMask(const cv::Mat& work, bool& plain) const {
    cv::Mat lab;
    cv::cvtColor(work, lab, cv::COLOR_BGR2Lab);
    lab.convertTo(lab, CV_32FC3);
    const BorderModel model = learnBorder(lab);
    plain = model.plain;
    const cv::Mat distance = model.plain ? plainDistance(lab, model) : clusterDistance(lab, model);

    cv::Mat mask(work.size(), CV_8U);
    if (model.plain) {
        // Colour distance first: what is like the backdrop and joined to its part of the border
        // is background, the rest subject; the cut only settles a few pixels either side.
        const cv::Mat outer = reachedBackground(distance <= 1.0, model.fits, distance);
        const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(7, 7));
        cv::Mat sureOuter, sureInner;
        cv::erode(outer, sureOuter, kernel);
        cv::erode(~outer, sureInner, kernel);
        mask.setTo(cv::Scalar(cv::GC_PR_BGD), outer);
        mask.setTo(cv::Scalar(cv::GC_PR_FGD), ~outer);
        mask.setTo(cv::Scalar(cv::GC_BGD), sureOuter & (distance <= 0.5));
        mask.setTo(cv::Scalar(cv::GC_FGD), sureInner & (distance > 2.0));
    } else {
        // A busy backdrop: everything inside the band is left to the cut, which models the
        // backdrop from the band's fitting part.
        mask.setTo(cv::Scalar(cv::GC_PR_FGD));
    }
    mask.setTo(cv::Scalar(cv::GC_BGD), model.fits);
    if (!model.plain) coarseCut(work, mask, settings_.iterations);
    // After the colour distance the labels are close and a few rounds settle them; a busy
    // backdrop's colour models need more after the coarse cut.
    cut(work, mask,
        model.plain ? std::min(kSettleIterations, settings_.iterations) : settings_.iterations);

    // GC_FGD and GC_PR_FGD are the odd labels.
    cv::Mat subject = (mask & 1) * 255;
    const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(3, 3));
    cv::morphologyEx(subject, subject, cv::MORPH_OPEN, kernel);
    cv::morphologyEx(subject, subject, cv::MORPH_CLOSE, kernel);
    dropSpecks(subject);
    // Holes: background the cut left inside the subject goes back to it unless it is joined to
    // the backdrop or is large and clearly backdrop-coloured.
    return ~reachedBackground(~subject, model.fits, distance);
}

BackgroundRemover::Matte BackgroundRemover::refine(const cv::Mat& bgr, const cv::Mat& subject,
                                                   bool plain) const {
    const cv::Mat small = scaledToLongSide(bgr, settings_.refineSize);
    cv::Mat guide;
    small.convertTo(guide, CV_32FC3, 1.0 / 255);
    cv::Mat soft;
    cv::resize(subject, soft, small.size(), 0, 0, cv::INTER_LINEAR);
    const cv::Mat hard = soft > 127;
    soft.convertTo(soft, CV_32F, 1.0 / 255);

    const int radius = std::max(
        2, static_cast<int>(std::lround(std::max(small.cols, small.rows) * kEdgeRadiusFraction)));
    const cv::Size window(8 * radius + 1, 8 * radius + 1);
    cv::Mat alpha = hard.clone();
    Matte matte;
    small.copyTo(matte.backdrop);
    // Only the neighbourhood of the edge is refined: the rest keeps the cut as it is.
    cv::Mat edge;
    cv::morphologyEx(hard, edge, cv::MORPH_GRADIENT, cv::Mat());
    const cv::Rect area = cv::boundingRect(edge);
    if (area.empty()) return finished(bgr, alpha, matte);
    const int margin = 3 * radius + window.width;
    const cv::Rect roi = (area + cv::Point(-margin, -margin) + cv::Size(2 * margin, 2 * margin)) &
                         cv::Rect(cv::Point(), small.size());
    refineArea(guide(roi), soft(roi), hard(roi), plain, radius, alpha(roi), matte.backdrop(roi));
    return finished(bgr, alpha, matte);
}

void BackgroundRemover::refineArea(const cv::Mat& guide, const cv::Mat& soft, const cv::Mat& hard,
                                   bool plain, int radius, cv::Mat alpha, cv::Mat backdropOut) {
    const cv::Size window(8 * radius + 1, 8 * radius + 1);
    guidedFilter(guide, soft, radius, kEdgeEps, kGuideSubsample).convertTo(alpha, CV_8U, 255);
    const auto disc = [](int r) {
        return cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * r + 1, 2 * r + 1));
    };
    cv::Mat grown, shrunk;
    cv::dilate(hard, grown, disc(radius));
    cv::erode(hard, shrunk, disc(radius));
    cv::Mat backdropWeight;
    cv::Mat backdrop = localMean(guide, ~grown, window, backdropWeight);

    if (plain) {
        // Over a plain backdrop a mixed pixel is I = aF + (1 - a)B, with B the backdrop and F
        // the subject nearby: a is where I falls on the line from B to F. This also reaches
        // strands of hair a little off the cut.
        cv::Mat subjectWeight;
        const cv::Mat front = localMean(guide, shrunk, window, subjectWeight);
        cv::Mat zone;
        cv::dilate(hard, zone, disc(3 * radius));
        zone &= ~shrunk;
        for (int y = 0; y < alpha.rows; ++y) {
            const uchar* z = zone.ptr<uchar>(y);
            const cv::Vec3f* in = guide.ptr<cv::Vec3f>(y);
            const cv::Vec3f* f = front.ptr<cv::Vec3f>(y);
            const cv::Vec3f* b = backdrop.ptr<cv::Vec3f>(y);
            const float* fw = subjectWeight.ptr<float>(y);
            const float* bw = backdropWeight.ptr<float>(y);
            uchar* a = alpha.ptr<uchar>(y);
            for (int x = 0; x < alpha.cols; ++x) {
                if (!z[x] || fw[x] < kMinShare || bw[x] < kMinShare) continue;
                const cv::Vec3f span = f[x] - b[x];
                const float length = span.dot(span);
                if (length < kMinContrast * kMinContrast) continue;
                float share = (in[x] - b[x]).dot(span) / length;
                if (share < kNoiseShare) share = 0;
                a[x] = cv::saturate_cast<uchar>(255 * std::min(1.0f, share));
            }
        }
        hard.copyTo(alpha, ~zone);
    } else {
        // Only the edge takes the filtered alpha; away from it the cut stands.
        hard.copyTo(alpha, ~grown | shrunk);
    }

    edgeBackdrop(guide, backdrop, backdropWeight, backdropOut);
}

BackgroundRemover::Matte BackgroundRemover::finished(const cv::Mat& bgr, const cv::Mat& alpha,
                                                     Matte& matte) {
    if (alpha.size() != bgr.size()) {
        cv::resize(alpha, matte.alpha, bgr.size(), 0, 0, cv::INTER_LINEAR);
    } else {
        matte.alpha = alpha;
    }
    return matte;
}

std::vector<unsigned char> BackgroundRemover::render(const cv::Mat& bgr,
                                                     const RemovalOptions& options) const {
    const Matte cutOut = matte(bgr);
    // The cut's working buffers go back to the system before the result's are made, so a job's
    // peak is the larger of the two rather than their sum.
    malloc_trim(0);
    const cv::Mat& alpha = cutOut.alpha;
    const bool keepAlpha = options.format == OutputFormat::Png && !options.background;
    const Rgb colour = options.background.value_or(Rgb{});
    const unsigned back[3] = {colour.b, colour.g, colour.r};
    // Where the backdrop estimate is for each column and row of the picture.
    std::vector<int> column(bgr.cols, 0);
    std::vector<int> row(bgr.rows, 0);
    if (!cutOut.backdrop.empty()) {
        for (int x = 0; x < bgr.cols; ++x) column[x] = x * cutOut.backdrop.cols / bgr.cols;
        for (int y = 0; y < bgr.rows; ++y) row[y] = y * cutOut.backdrop.rows / bgr.rows;
    }
    cv::Mat output(bgr.size(), keepAlpha ? CV_8UC4 : CV_8UC3);
    const int channels = output.channels();
    for (int y = 0; y < bgr.rows; ++y) {
        const unsigned char* src = bgr.ptr<unsigned char>(y);
        const unsigned char* a = alpha.ptr<unsigned char>(y);
        const unsigned char* behind =
            cutOut.backdrop.empty() ? nullptr : cutOut.backdrop.ptr<unsigned char>(row[y]);
        unsigned char* dst = output.ptr<unsigned char>(y);
        for (int x = 0; x < bgr.cols; ++x) {
            const unsigned w = a[x];
            int pixel[3] = {src[3 * x], src[3 * x + 1], src[3 * x + 2]};
            if (w > 0 && w < 255 && behind) {
                // Take the backdrop's share out of an edge pixel: F = B + (I - B) / alpha.
                const unsigned char* b = behind + 3 * column[x];
                const int unmix = static_cast<int>(std::max(w, kMinUnmixAlpha));
                for (int c = 0; c < 3; ++c) {
                    pixel[c] = std::clamp(b[c] + (pixel[c] - b[c]) * 255 / unmix, 0, 255);
                }
            }
            unsigned char* o = dst + channels * x;
            if (keepAlpha) {
                // What is fully transparent has no colour to keep.
                for (int c = 0; c < 3; ++c) o[c] = w ? static_cast<unsigned char>(pixel[c]) : 0;
                o[3] = static_cast<unsigned char>(w);
            } else {
                for (int c = 0; c < 3; ++c) {
                    o[c] = static_cast<unsigned char>(
                        (static_cast<unsigned>(pixel[c]) * w + back[c] * (255 - w) + 127) / 255);
                }
            }
        }
    }

    std::vector<unsigned char> encoded;
    bool ok = false;
    if (options.format == OutputFormat::Png) {
        // Run-length matching compresses a photo about as well as the default and in half the
        // time, all the more as fully transparent pixels carry no colour.
        ok = cv::imencode(".png", output, encoded,
                          {cv::IMWRITE_PNG_COMPRESSION, 1, cv::IMWRITE_PNG_STRATEGY,
                           cv::IMWRITE_PNG_STRATEGY_RLE});
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
