#include "Composites.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <vector>

namespace composites {

namespace {

constexpr int kSuper = 4;  // shapes are drawn this many times larger, then averaged down

cv::Mat noise(cv::RNG& rng, cv::Size size, int type, double sigma) {
    cv::Mat out(size, type);
    rng.fill(out, cv::RNG::NORMAL, cv::Scalar::all(0), cv::Scalar::all(sigma));
    return out;
}

// Smooth random colour field: noise blurred to the given scale, stretched to +-amplitude.
cv::Mat field(cv::RNG& rng, cv::Size size, double scale, double amplitude) {
    const cv::Size small(std::max(2, int(size.width / scale)),
                         std::max(2, int(size.height / scale)));
    cv::Mat coarse = noise(rng, small, CV_32FC3, 1.0);
    cv::Mat out;
    cv::resize(coarse, out, size, 0, 0, cv::INTER_CUBIC);
    return out * amplitude;
}

cv::Mat backdropImage(Backdrop kind, cv::Size size, cv::RNG& rng, const cv::Mat& shadowOf) {
    const int w = size.width;
    const int h = size.height;
    cv::Mat out(size, CV_32FC3);
    switch (kind) {
        case Backdrop::Studio: {
            const double cx = w / 2.0;
            const double cy = h / 2.0;
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    const double r = std::hypot((x - cx) / w, (y - cy) / h);
                    const float v = float(243 - 40 * r * r);
                    out.at<cv::Vec3f>(y, x) = cv::Vec3f(v + 2, v, v - 2);
                }
            }
            // A soft shadow cast down and to the right of the subject.
            cv::Mat shadow;
            const cv::Mat shift = (cv::Mat_<double>(2, 3) << 1, 0, w * 0.03, 0, 1, h * 0.04);
            cv::warpAffine(shadowOf, shadow, shift, size);
            cv::GaussianBlur(shadow, shadow, cv::Size(), std::max(w, h) * 0.015);
            std::vector<cv::Mat> ch;
            cv::split(out, ch);
            for (cv::Mat& c : ch) c = c.mul(1.0 - 0.35 * shadow);
            cv::merge(ch, out);
            out += noise(rng, size, CV_32FC3, 2.0);
            break;
        }
        case Backdrop::Gradient: {
            const cv::Vec3f from(225, 190, 140);  // BGR: light blue
            const cv::Vec3f to(170, 215, 235);    // pale sand
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    const float t = float(0.6 * x / w + 0.4 * y / h);
                    out.at<cv::Vec3f>(y, x) = from * (1 - t) + to * t;
                }
            }
            out += noise(rng, size, CV_32FC3, 2.0);
            break;
        }
        case Backdrop::Textured: {
            const double period = std::max(w, h) / 90.0;
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    const double weave =
                        std::sin(x * 2 * CV_PI / period) * std::sin(y * 2 * CV_PI / period);
                    const float v = float(22 * weave);
                    out.at<cv::Vec3f>(y, x) = cv::Vec3f(150 + v, 175 + v, 195 + v);
                }
            }
            out += field(rng, size, std::max(w, h) / 6.0, 10.0);
            out += noise(rng, size, CV_32FC3, 6.0);
            break;
        }
        case Backdrop::Busy: {
            out.setTo(cv::Scalar(120, 130, 125));
            const double big = std::max(w, h);
            out += field(rng, size, big / 4, 45.0);
            out += field(rng, size, big / 16, 30.0);
            out += field(rng, size, big / 64, 18.0);
            out += noise(rng, size, CV_32FC3, 5.0);
            break;
        }
    }
    return out;
}

// Subject colours: a base with stripes, blotches and grain.
cv::Mat texture(cv::Size size, cv::Vec3f base, cv::RNG& rng) {
    cv::Mat out(size, CV_32FC3, cv::Scalar(base[0], base[1], base[2]));
    const double period = std::max(size.width, size.height) / 40.0;
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
            const float s = float(12 * std::sin((x + 0.5 * y) * 2 * CV_PI / period));
            out.at<cv::Vec3f>(y, x) += cv::Vec3f(s, s, s);
        }
    }
    out += field(rng, size, std::max(size.width, size.height) / 10.0, 12.0);
    out += noise(rng, size, CV_32FC3, 4.0);
    return out;
}

}  // namespace

const char* name(Subject subject) {
    static const char* const names[] = {"label", "hair", "bottom edge", "side edge"};
    return names[int(subject)];
}

const char* name(Backdrop backdrop) {
    static const char* const names[] = {"studio", "gradient", "textured", "busy"};
    return names[int(backdrop)];
}

Composite make(Subject subject, Backdrop backdrop, cv::Size size, unsigned seed) {
    cv::RNG rng(seed * 7919u + unsigned(subject) * 31u + unsigned(backdrop));
    const int W = size.width * kSuper;
    const int H = size.height * kSuper;
    const auto P = [W, H](double fx, double fy) { return cv::Point(int(fx * W), int(fy * H)); };
    const auto S = [W, H](double fx, double fy) { return cv::Size(int(fx * W), int(fy * H)); };
    const int thin = kSuper;  // one pixel of the result

    cv::Mat shape(H, W, CV_8U, cv::Scalar(0));
    cv::Mat inlay(H, W, CV_8U, cv::Scalar(0));  // the label, part of the subject
    cv::Vec3f colour;
    switch (subject) {
        case Subject::Label:
            colour = cv::Vec3f(40, 70, 150);  // brown
            cv::ellipse(shape, P(0.5, 0.52), S(0.2, 0.34), 0, 0, 360, 255, cv::FILLED);
            cv::rectangle(inlay, cv::Rect(P(0.44, 0.45), S(0.12, 0.09)), 255, cv::FILLED);
            break;
        case Subject::Hair: {
            colour = cv::Vec3f(35, 60, 95);  // dark brown
            cv::ellipse(shape, P(0.5, 0.55), S(0.17, 0.25), 0, 0, 360, 255, cv::FILLED);
            for (int i = 0; i < 160; ++i) {
                const double a = CV_PI * (1.05 + 0.9 * rng.uniform(0.0, 1.0));
                const double len = rng.uniform(0.06, 0.14);
                const double bend = rng.uniform(-0.6, 0.6);
                std::vector<cv::Point> strand;
                for (int k = 0; k <= 12; ++k) {
                    const double t = k / 12.0;
                    const double ang = a + bend * t;
                    const double r = 0.85 + t * len / 0.2;
                    strand.push_back(
                        P(0.5 + 0.17 * r * std::cos(ang), 0.55 + 0.25 * r * std::sin(ang)));
                }
                cv::polylines(shape, strand, false, 255, thin, cv::LINE_8);
            }
            break;
        }
        case Subject::Bottom:
            colour = cv::Vec3f(150, 80, 40);  // blue shirt
            cv::ellipse(shape, P(0.5, 1.0), S(0.3, 0.42), 0, 180, 360, 255, cv::FILLED);
            cv::rectangle(shape, cv::Rect(P(0.2, 0.9), S(0.6, 0.11)), 255, cv::FILLED);
            cv::ellipse(shape, P(0.5, 0.38), S(0.11, 0.15), 0, 0, 360, 255, cv::FILLED);
            break;
        case Subject::Side:
            colour = cv::Vec3f(60, 140, 50);  // green
            cv::ellipse(shape, P(1.0, 0.5), S(0.32, 0.3), 0, 0, 360, 255, cv::FILLED);
            cv::ellipse(shape, P(0.62, 0.66), S(0.12, 0.06), 20, 0, 360, 255, cv::FILLED);
            break;
    }
    cv::Mat alpha;
    cv::resize(shape, alpha, size, 0, 0, cv::INTER_AREA);
    cv::Mat inlayAlpha;
    cv::resize(inlay, inlayAlpha, size, 0, 0, cv::INTER_AREA);

    cv::Mat shadowOf;
    alpha.convertTo(shadowOf, CV_32F, 1.0 / 255);
    const cv::Mat back = backdropImage(backdrop, size, rng, shadowOf);
    cv::Mat front = texture(size, colour, rng);
    // The label is off-white with dark print lines on it.
    cv::Mat label(size, CV_32FC3, cv::Scalar(238, 240, 242));
    for (int y = 0; y < size.height; y += std::max(3, size.height / 60)) {
        label.row(y).setTo(cv::Scalar(60, 60, 60));
    }
    cv::Mat labelW;
    inlayAlpha.convertTo(labelW, CV_32F, 1.0 / 255);
    cv::Mat labelW3;
    cv::merge(std::vector<cv::Mat>{labelW, labelW, labelW}, labelW3);
    front = front.mul(cv::Scalar::all(1.0) - labelW3) + label.mul(labelW3);

    cv::Mat a3;
    cv::merge(std::vector<cv::Mat>{shadowOf, shadowOf, shadowOf}, a3);
    cv::Mat picture = front.mul(a3) + back.mul(cv::Scalar::all(1.0) - a3);
    Composite out;
    picture.convertTo(out.bgr, CV_8UC3);
    out.alpha = alpha;
    return out;
}

const char* name(Scene scene) {
    static const char* const names[] = {"studio", "gradient", "photo", "blurred photo"};
    return names[int(scene)];
}

const char* name(Placement placement) {
    static const char* const names[] = {"centred", "bottom edge", "cut by a side"};
    return names[int(placement)];
}

const char* const kStampFolder = "/usr/share/tuxpaint/stamps";
const char* const kStamps[20] = {
    "animals/mammals/cats/tiger_sumatran.png",
    "animals/mammals/bears/european-bear.png",
    "animals/mammals/rodents/squirrel.png",
    "animals/mammals/giraffe.png",
    "animals/marsupials/koala.png",
    "animals/birds/pink_flamingo.png",
    "animals/amphibians/frog.png",
    "food/fruit/Strawberry2.png",
    "food/fruit/Cherry_Stella.png",
    "food/fruit/cherimoya.png",
    "food/fruit/Apricot_whole.png",
    "food/vegetables/broccoli.png",
    "plants/flowers/anemone_red.png",
    "plants/flowers/daffodil.png",
    "plants/mushrooms/cep.png",
    "household/tools/cementmixer.png",
    "household/Lightbulb.png",
    "vehicles/emergency/firetruck.png",
    "vehicles/wheel_tractor.png",
    "military/paratrooper.png",
};
const char* const kHeldOutStamps[20] = {
    "animals/mammals/bovines/gnu-baby.png",
    "animals/birds/helmeted_guineafowl.png",
    "animals/mammals/aquatic/otter.png",
    "animals/mammals/cats/lion-2.png",
    "animals/mammals/rodents/capybara.png",
    "animals/mammals/pig_golden2.png",
    "animals/birds/crowned_crane.png",
    "animals/mammals/rhino_black.png",
    "food/spices/ginger.png",
    "food/fruit/orange_seville.png",
    "food/fruit/kiwi.png",
    "plants/trees/rambutan.png",
    "plants/thyme.png",
    "plants/trees/holm_oak.png",
    "vehicles/flight/balloon360.png",
    "vehicles/garbagetruck.png",
    "vehicles/construction/dumper.png",
    "vehicles/race/indycar.png",
    "people/fireman200b.png",
    "household/toilet.png",
};

Composite stamp(const std::string& stampPath, Scene scene, Placement placement, cv::Size size,
                const std::string& photo) {
    const cv::Mat rgba = cv::imread(stampPath, cv::IMREAD_UNCHANGED);
    if (rgba.empty() || rgba.channels() != 4 || rgba.depth() != CV_8U) return {};
    // The object fills about half of the picture's height or 60 % of its width.
    const double fit = std::min(0.55 * size.height / rgba.rows, 0.6 * size.width / rgba.cols);
    cv::Mat scaled;
    cv::resize(rgba, scaled, cv::Size(), fit, fit, fit < 1 ? cv::INTER_AREA : cv::INTER_CUBIC);
    cv::Point at((size.width - scaled.cols) / 2, (size.height - scaled.rows) / 2);
    if (placement == Placement::Bottom) at.y = size.height - scaled.rows * 9 / 10;
    if (placement == Placement::Side) at.x = size.width - scaled.cols * 2 / 3;

    Composite out;
    out.alpha = cv::Mat::zeros(size, CV_8U);
    cv::Mat front = cv::Mat::zeros(size, CV_8UC3);
    const cv::Rect inside = cv::Rect(at, scaled.size()) & cv::Rect(cv::Point(), size);
    const cv::Mat part = scaled(inside - at);
    cv::extractChannel(part, out.alpha(inside), 3);
    cv::cvtColor(part, front(inside), cv::COLOR_BGRA2BGR);

    cv::RNG rng(unsigned(scene) * 131u + unsigned(placement) * 17u + unsigned(size.width));
    cv::Mat weight;
    out.alpha.convertTo(weight, CV_32F, 1.0 / 255);
    cv::Mat back;
    if (scene == Scene::Studio || scene == Scene::Gradient) {
        back = backdropImage(scene == Scene::Studio ? Backdrop::Studio : Backdrop::Gradient, size,
                             rng, weight);
    } else {
        const cv::Mat picture = cv::imread(photo, cv::IMREAD_COLOR);
        if (picture.empty()) return {};
        // Covers the frame, its centre kept.
        const double cover =
            std::max(double(size.width) / picture.cols, double(size.height) / picture.rows);
        cv::Mat covered;
        cv::resize(picture, covered, cv::Size(), cover, cover, cv::INTER_CUBIC);
        covered(cv::Rect((covered.cols - size.width) / 2, (covered.rows - size.height) / 2,
                         size.width, size.height))
            .convertTo(back, CV_32FC3);
        if (scene == Scene::BlurredPhoto)
            cv::GaussianBlur(back, back, cv::Size(), std::max(size.width, size.height) / 120.0);
    }
    cv::Mat frontF, w3;
    front.convertTo(frontF, CV_32FC3);
    cv::merge(std::vector<cv::Mat>{weight, weight, weight}, w3);
    const cv::Mat picture = frontF.mul(w3) + back.mul(cv::Scalar::all(1.0) - w3);
    picture.convertTo(out.bgr, CV_8UC3);
    return out;
}

Score score(const cv::Mat& alpha, const cv::Mat& truth, int reach) {
    CV_Assert(alpha.size() == truth.size() && alpha.type() == CV_8U && truth.type() == CV_8U);
    const cv::Mat a = alpha > 127;
    const cv::Mat t = truth > 127;
    Score s;
    const int unionArea = cv::countNonZero(a | t);
    s.iou = unionArea ? double(cv::countNonZero(a & t)) / unionArea : 1.0;

    // Along the edge: `reach` pixels either side of the true outline, and every partial pixel.
    const cv::Mat k =
        cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * reach + 1, 2 * reach + 1));
    cv::Mat grown, shrunk;
    cv::dilate(t, grown, k);
    cv::erode(t, shrunk, k);
    const cv::Mat band = (grown & ~shrunk) | ((truth > 0) & (truth < 255));
    cv::Mat diff;
    cv::absdiff(alpha, truth, diff);
    const int n = cv::countNonZero(band);
    s.boundaryError = n ? cv::sum(diff & band)[0] / 255.0 / n : 0.0;
    return s;
}

}  // namespace composites
